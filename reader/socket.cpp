// The listener, the accept wait and the framed send and receive of one connection.
// Waits have no timeout: a worker waits for its client as long as the connection lasts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lib/bytes.h"
#include "lib/fmt/agent_format.h"
#include "reader/kesfeed.h"

int ks_create_listener(const char *ip, int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    ks_feed_log("socket(): %s", strerror(errno));
    return -1;
  }
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
    ks_feed_log("setsockopt(): %s", strerror(errno));
    close(s);
    return -1;
  }
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (ip[0] != '\0' && inet_pton(AF_INET, ip, &a.sin_addr) != 1) {
    ks_feed_log("bind(): %s", strerror(EINVAL));
    close(s);
    return -1;
  }
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
    ks_feed_log("bind(): %s", strerror(errno));
    close(s);
    return -1;
  }
  if (listen(s, KS_FEED_MAX_LINKS) < 0) {
    ks_feed_log("listen(): %s", strerror(errno));
    close(s);
    return -1;
  }
  return s;
}

// -1 with errno EINTR when a signal ended the wait (not logged: it is how a stop arrives).
int ks_accept_client(int lsd) {
  fd_set rd;
  FD_ZERO(&rd);
  FD_SET(lsd, &rd);
  int rc = select(lsd + 1, &rd, nullptr, nullptr, nullptr);
  if (rc < 0) {
    if (errno != EINTR) ks_feed_log("wait clicent select(): %s", strerror(errno));
    return -1;
  }
  if (rc == 0) {
    ks_feed_log("wait client select() return zero.");
    errno = EAGAIN;
    return -1;
  }
  sockaddr_in a = {};
  socklen_t len = sizeof a;
  int s = accept4(lsd, reinterpret_cast<sockaddr *>(&a), &len, SOCK_CLOEXEC);
  if (s < 0) {
    if (errno != EINTR) ks_feed_log("accept(): %s", strerror(errno));
    return -1;
  }
  if (len == 0) {
    ks_feed_log("socket length return zero");
    close(s);
    errno = EINVAL;
    return -1;
  }
  return s;
}

namespace {

// Waits until sock is readable; a signal resumes the wait. 0, or -1 logged.
int wait_readable(int sock) {
  for (;;) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(sock, &rd);
    int rc = select(sock + 1, &rd, nullptr, nullptr, nullptr);
    if (rc > 0) return 0;
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0)
      ks_feed_log("wait data select(): %s", strerror(errno));
    else
      ks_feed_log("wait data select() return zero.");
    return -1;
  }
}

// Exactly n bytes into p: n, 0 when the client closed the connection, -1.
long recv_exact(int sock, uint8_t *p, size_t n, const char *what) {
  size_t got = 0;
  while (got < n) {
    if (wait_readable(sock) < 0) return -1;
    ssize_t r = recv(sock, p + got, n - got, 0);
    if (r == 0) return 0;
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      ks_feed_log("%s: %s", what, strerror(errno));
      return -1;
    }
    got += static_cast<size_t>(r);
  }
  return static_cast<long>(n);
}

}  // namespace

int ks_recv_data(int sock, uint8_t *buf, size_t cap) {
  long r = recv_exact(sock, buf, 4, "recv()");
  if (r <= 0) return static_cast<int>(r);
  const uint32_t len = ks::load_be32(buf);
  // Never received past the buffer: a frame that cannot be held is refused whole, and
  // the connection ends, since its unread rest cannot be told from the next request.
  if (len < 4 || len > cap - 4) {
    ks_feed_log("request frame of %u bytes refused: more than the buffer's %zu.", len, cap - 4);
    return -1;
  }
  r = recv_exact(sock, buf + 4, len, "second recv()");
  if (r <= 0) return static_cast<int>(r);
  return static_cast<int>(len + 4);
}

int ks_send_data(int sock, const void *data, size_t n, bool more) {
  const auto *p = static_cast<const uint8_t *>(data);
  size_t sent = 0;
  // Sent first and waited for only when the socket has no room: most sends go at once.
  while (sent < n) {
    ssize_t w = send(sock, p + sent, n - sent, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (w >= 0) {
      sent += static_cast<size_t>(w);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      ks_feed_log("send(): %s", strerror(errno));
      return -1;
    }
    fd_set wr;
    FD_ZERO(&wr);
    FD_SET(sock, &wr);
    if (select(sock + 1, nullptr, &wr, nullptr, nullptr) < 0 && errno != EINTR) {
      ks_feed_log("send data select(): %s", strerror(errno));
      return -1;
    }
  }
  return 0;
}

void ks_send_error(int sock, uint8_t *buf, int bsz, int err) {
  const char *text = strerror(err);
  const size_t room = bsz > 9 ? static_cast<size_t>(bsz) - 9 : 0;  // header, errno, NUL
  const size_t n = std::min(strlen(text), room);
  ks::store_be32(buf, KS_AGENT_ERROR + static_cast<uint32_t>(4 + n + 1));
  ks::store_be32(buf + 4, static_cast<uint32_t>(err));
  memcpy(buf + 8, text, n);
  buf[8 + n] = 0;
  if (ks_send_data(sock, buf, 8 + n + 1) < 0) ks_feed_log("send error message: %s", strerror(errno));
}
