// One request to the reader agent and its whole reply, over the reader's non-blocking
// socket. Every wait for reply bytes is bounded by net_timeout: an agent that stalls is
// treated as lost, and the capture loop reconnects rather than hang.
#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "extract/extract.h"
#include "lib/fmt/agent_format.h"
#include "lib/log/log.h"

namespace {

int lost(ks_extr_t *ex) {
  ex->r->flag |= KS_RDR_LOST;
  return -1;
}

// Receives exactly n bytes into p. closed_msg names a close by the peer. The socket is
// read first and waited for only when it has nothing: a large reply arrives in many
// pieces, most of them already there.
int recv_all(ks_extr_t *ex, uint8_t *p, size_t n, const char *closed_msg) {
  const int s = ex->r->asd;
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(s, p + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) {
      KS_ERROR("%s", closed_msg);
      return lost(ex);
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      KS_ERROR("receive data error.\nrecv(): %s", strerror(errno));
      return lost(ex);
    }
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(s, &rd);
    timeval tv{x_net_tmout, 0};
    int rc = select(s + 1, &rd, nullptr, nullptr, &tv);
    if (rc == 0) {
      KS_ERROR("Wait data from agent timeout.");
      return lost(ex);
    }
    if (rc < 0 && errno != EINTR) {
      KS_ERROR("Wait data error.\nselect(): %s", strerror(errno));
      return lost(ex);
    }
  }
  return 0;
}

int send_all(ks_extr_t *ex, const uint8_t *p, size_t n) {
  const int s = ex->r->asd;
  size_t sent = 0;
  while (sent < n) {
    ssize_t w = send(s, p + sent, n - sent, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // No room in the socket: wait until there is, bounded like every other wait.
        fd_set wr;
        FD_ZERO(&wr);
        FD_SET(s, &wr);
        timeval tv{x_net_tmout, 0};
        int rc = select(s + 1, nullptr, &wr, nullptr, &tv);
        if (rc == 0) {
          KS_ERROR("send command error.\n%s", strerror(ETIMEDOUT));
          return lost(ex);
        }
        continue;
      }
      KS_ERROR("send command error.\n%s", strerror(errno));
      return lost(ex);
    }
    sent += static_cast<size_t>(w);
  }
  return 0;
}

}  // namespace

int ks_perform_agent_command(ks_extr_t *ex, int clen, uint8_t *cbuf, int rsz, int *rcode) {
  if (ex->r->asd < 0) {
    KS_ERROR("send command error.\n%s", strerror(ENOTCONN));
    return lost(ex);
  }
  if (send_all(ex, cbuf, static_cast<size_t>(clen) + 4) < 0) return -1;
  uint8_t head[4];
  if (recv_all(ex, head, sizeof head, "session closed by server.") < 0) return -1;
  const uint32_t h = ks::load_be32(head);
  const uint32_t len = h & KS_AGENT_LEN_MASK;
  *rcode = (h & KS_AGENT_ERROR) ? -1 : static_cast<int>(len);
  if (len > static_cast<uint32_t>(rsz)) {
    // The unread body would be taken for the next reply: the connection cannot be used
    // any more.
    KS_ERROR("receive buffer too small.");
    return lost(ex);
  }
  return recv_all(ex, cbuf, len, "socket closed by server.");
}
