// The redo reader's life: reset, open for the component's source database, close.
// Logs are read locally, from ASM disks, or through the reader agent on the database host;
// with the agent every log and disk is opened, read and closed through it, never locally.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "extract/asm.h"
#include "extract/extract.h"
#include "lib/cfg/cfg.h"
#include "lib/fmt/agent_format.h"
#include "lib/log/log.h"

namespace {

// Connects to the agent at the instance's vip:aport. The connection is made non-blocking
// first and waited for at most net_timeout, so that an unreachable host delays the
// retry loop by that bound rather than by the system's connect timeout; a signal does
// not end the wait. 0 with the socket in r->asd, or -1 (logged, socket closed).
int connect_agent(ks_reader_t *r, const ks_cfg_inst_t *inst) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(inst->aport != 0 ? inst->aport : KS_AGENT_PORT));
  if (inet_pton(AF_INET, inst->vip, &a.sin_addr) != 1) {
    KS_ERROR("connect(): %s", strerror(EINVAL));
    return -1;
  }
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    KS_ERROR("socket(): %s", strerror(errno));
    return -1;
  }
  // Room for a whole reply of the largest read, set before connecting so that the
  // window offered can use it.
  int room = 2 * KS_AGENT_MAX_READ;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  int fl = fcntl(s, F_GETFL);
  if (fl < 0 || fcntl(s, F_SETFL, fl | O_NONBLOCK) < 0) {
    KS_ERROR("fcntl(): %s", strerror(errno));
    close(s);
    return -1;
  }
  int err = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? 0 : errno;
  if (err == EINPROGRESS || err == EINTR) {
    pollfd p = {s, POLLOUT, 0};
    int rc;
    while ((rc = poll(&p, 1, x_net_tmout * 1000)) < 0 && errno == EINTR) {
    }
    socklen_t len = sizeof err;
    if (rc == 0)
      err = ETIMEDOUT;
    else if (rc < 0)
      err = errno;
    else if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
      err = errno;
  }
  if (err != 0) {
    KS_ERROR("connect(): %s", strerror(err));
    close(s);
    return -1;
  }
  r->asd = s;
  return 0;
}

}  // namespace

void ks_init_reader(ks_extr_t *ex) {
  ks_reader_t *r = ex->r;
  std::memset(r, 0, sizeof *r);
  r->asd = -1;
  r->lfd = -1;
  for (auto &d : r->dsk) d.dskfd = -1;
}

int ks_open_reader(ks_extr_t *ex) {
  ks_init_reader(ex);
  ks_oci_set_error_code(0);
  ks_cfg_db_t *db;
  ks_cfg_inst_t *inst;
  if (ks_get_source_db(&db, &inst) < 0) return -1;
  if (db->flag & 0x10) ex->r->flag |= KS_RDR_ASM;
  if (db->flag & 0x20) ex->r->flag |= KS_RDR_REMOTE;
  if ((ex->r->flag & KS_RDR_REMOTE) && connect_agent(ex->r, inst) < 0) return -1;
  if ((ex->r->flag & KS_RDR_ASM) && ks_open_asm_disk(ex) < 0) {
    KS_ERROR("open ASM disks error.");
    return -1;
  }
  return 0;
}

// On a lost connection the agent has closed every descriptor of it already (and
// nothing could be sent anyway): only the socket goes.
int ks_close_reader(ks_extr_t *ex) {
  ks_reader_t *r = ex->r;
  const bool remote = (r->flag & KS_RDR_REMOTE) != 0;
  int rc = ks_asm_close_disks(ex);
  if (r->lfd >= 0 && !remote) {
    close(r->lfd);
  } else if (r->lfd >= 0 && r->asd >= 0 && !(r->flag & KS_RDR_LOST) &&
             ks_close_file_remote(ex, r->lfd, ex->b->record, ex->b->rec_sz) < 0) {
    KS_ERROR("close remote redo file error.");
    rc = -1;
  }
  r->lfd = -1;
  if (r->asd >= 0) close(r->asd);
  r->asd = -1;
  return rc;
}
