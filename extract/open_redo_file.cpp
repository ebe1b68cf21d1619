// Opening the located log for reading. Opening the next log closes the previous one, so
// the reader never holds more than one log descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "extract/asm.h"
#include "extract/extract.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// Through the agent, with the read area as request and reply buffer. The previous log's
// descriptor is forgotten even when its close fails: the agent ends the connection
// after a failed close, and a lost connection drops all its descriptors.
int open_remote_log(ks_extr_t *ex) {
  ks_reader_t *r = ex->r;
  ks_logf_t *l = ex->l;
  ks_buffer_t *b = ex->b;
  if (r->lfd >= 0) {
    const int fd = r->lfd;
    r->lfd = -1;
    if (ks_close_file_remote(ex, fd, b->rd_buf, b->rd_sz) < 0) {
      KS_ERROR("close remote log file error.\npath: \"%s\"", l->name);
      return -1;
    }
  }
  int fd = ks_open_file_remote(ex, b->rd_buf, b->rd_sz, l->name);
  if (fd < 0) {
    KS_ERROR("open remote log file error.\npath: \"%s\"", l->name);
    return -1;
  }
  r->lfd = fd;
  return 0;
}

}  // namespace

int ks_open_redo_file(ks_extr_t *ex) {
  ks_reader_t *r = ex->r;
  ks_logf_t *l = ex->l;
  if (l->flag & KS_LOGF_ASM) return ks_asm_open_log(ex);
  if (r->flag & KS_RDR_REMOTE) return open_remote_log(ex);
  if (r->lfd >= 0) {
    close(r->lfd);
    r->lfd = -1;
  }
  int fd = ks_open_file(l->name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    KS_ERROR("open \"%s\": %s", l->name, strerror(errno));
    return -1;
  }
  r->lfd = fd;
  return 0;
}
