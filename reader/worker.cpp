// One worker per client: open, read and close requests on the files the configuration
// allows, until the client goes. The client is anyone who reaches the port, so every path
// is resolved and checked before it is opened, and only descriptors opened for this
// client are read or closed.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/bytes.h"
#include "lib/fmt/agent_format.h"
#include "reader/kesfeed.h"

namespace {

char x_allow[KS_FEED_MAX_ALLOW][KS_FEED_PATH_MAX];  // resolved allowed directories and files
int x_nallow = 0;
int x_fds[KS_FEED_MAX_FDS];

// `p` is the allowed place itself or lies below it.
bool under_allowed(const char *p) {
  for (int i = 0; i < x_nallow; i++) {
    const char *a = x_allow[i];
    const size_t n = strlen(a);
    if (strncmp(p, a, n) != 0) continue;
    if (p[n] == '\0' || p[n] == '/' || (n == 1 && a[0] == '/')) return true;
  }
  return false;
}

// The slot holding fd; slot_of(-1) is a free one.
int slot_of(int fd) {
  for (int i = 0; i < KS_FEED_MAX_FDS; i++)
    if (x_fds[i] == fd) return i;
  return -1;
}

// Serves one open request; false when the worker must end.
bool serve_open(int sock, uint8_t *buf, int flen) {
  // The path must end inside the frame.
  const char *path = reinterpret_cast<const char *>(buf + 8);
  if (flen <= 8 || buf[flen - 1] != 0) {
    ks_feed_log("open request without a terminated path refused.");
    ks_send_error(sock, buf, KS_AGENT_MAX_READ, EINVAL);
    return true;
  }
  char real[KS_FEED_PATH_MAX];
  int fd = -1;
  const int slot = slot_of(-1);
  if (ks_allowed_path(path, real) < 0) {
    const int err = errno;
    if (err == EACCES)
      ks_feed_log("open \"%s\" refused: not in an allowed place.", path);
    else
      ks_feed_log("open \"%s\" error.\n%s", path, strerror(err));
    ks_send_error(sock, buf, KS_AGENT_MAX_READ, err);
    return true;
  }
  if (slot < 0) {
    errno = EMFILE;  // no slot to remember it: the client could never close it
  } else {
    do fd = open(real, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    const int err = errno;
    ks_feed_log("open \"%s\" error.\n%s", path, strerror(err));
    ks_send_error(sock, buf, KS_AGENT_MAX_READ, err);
    return true;
  }
  x_fds[slot] = fd;
  ks::store_be32(buf, 4);
  ks::store_be32(buf + 4, static_cast<uint32_t>(fd));
  if (ks_send_data(sock, buf, 8) < 0) {
    ks_feed_log("send file descriptor error: %s", strerror(errno));
    return false;
  }
  return true;
}

bool serve_close(int sock, uint8_t *buf) {
  const int fd = static_cast<int>(ks::load_be32(buf + 8));
  const int slot = fd < 0 ? -1 : slot_of(fd);
  int rc = -1;
  if (slot < 0) {
    errno = EBADF;
  } else {
    rc = close(fd);
    // Linux releases the descriptor even when close is interrupted: never close it twice.
    if (rc < 0 && errno == EINTR) rc = 0;
    x_fds[slot] = -1;
  }
  if (rc < 0) {
    ks_feed_log("close file error: %s", strerror(errno));
    ks_send_error(sock, buf, KS_AGENT_MAX_READ, errno);
    return false;
  }
  ks::store_be32(buf, 0);
  if (ks_send_data(sock, buf, 4) < 0) {
    ks_feed_log("send file descriptor error: %s", strerror(errno));
    return false;
  }
  return true;
}

bool serve_read(int sock, uint8_t *buf) {
  const int fd = static_cast<int>(ks::load_be32(buf + 8));
  uint32_t size = ks::load_be32(buf + 12);
  const uint64_t offset = ks::load_be64(buf + 16);
  if (size > KS_AGENT_MAX_READ) size = KS_AGENT_MAX_READ;
  size_t got = 0;
  int err = fd < 0 || slot_of(fd) < 0 ? EBADF : 0;
  while (err == 0 && got < size) {
    ssize_t r = pread(fd, buf + got, size - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) err = errno;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (err != 0) {
    ks_feed_log("read file error: %s (fd %d, size %u, offset %llu)", strerror(err), fd, size,
                static_cast<unsigned long long>(offset));
    ks_send_error(sock, buf, KS_AGENT_MAX_READ, err);
    return true;
  }
  uint8_t head[4];
  ks::store_be32(head, static_cast<uint32_t>(got));
  if (ks_send_data(sock, head, 4, got > 0) < 0) {
    ks_feed_log("send data length error: %s", strerror(errno));
    return false;
  }
  if (got > 0 && ks_send_data(sock, buf, got) < 0) {
    ks_feed_log("send data error: %s", strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

int ks_load_config(const char *path, char *msg, size_t msz) {
  FILE *f = fopen(path, "re");
  if (f == nullptr) {
    snprintf(msg, msz, "open config file \"%s\" error: %s", path, strerror(errno));
    return -1;
  }
  x_nallow = 0;
  char line[KS_FEED_PATH_MAX + 64];
  int lno = 0;
  int rc = 0;
  while (rc == 0 && fgets(line, sizeof line, f) != nullptr) {
    lno++;
    std::string s(line);
    if (size_t h = s.find('#'); h != std::string::npos) s.erase(h);
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) continue;
    s = s.substr(b, s.find_last_not_of(" \t\r\n") + 1 - b);
    if (s.compare(0, 6, "allow ") != 0 && s.compare(0, 6, "allow\t") != 0) {
      snprintf(msg, msz, "config file \"%s\" line %d: unknown directive \"%s\"", path, lno, s.c_str());
      rc = -1;
      break;
    }
    std::string p = s.substr(s.find_first_not_of(" \t", 5));
    if (p[0] != '/') {
      snprintf(msg, msz, "config file \"%s\" line %d: \"%s\" is not an absolute path", path, lno, p.c_str());
      rc = -1;
    } else if (x_nallow == KS_FEED_MAX_ALLOW) {
      snprintf(msg, msz, "config file \"%s\" line %d: more than %d allow lines", path, lno, KS_FEED_MAX_ALLOW);
      rc = -1;
    } else if (realpath(p.c_str(), x_allow[x_nallow]) == nullptr) {
      snprintf(msg, msz, "config file \"%s\" line %d: \"%s\": %s", path, lno, p.c_str(), strerror(errno));
      rc = -1;
    } else {
      x_nallow++;
    }
  }
  fclose(f);
  if (rc == 0 && x_nallow == 0) {
    snprintf(msg, msz, "config file \"%s\" allows no path: add \"allow <absolute path>\" lines", path);
    rc = -1;
  }
  return rc;
}

int ks_allowed_path(const char *path, char *out) {
  if (path[0] != '/') {
    errno = EACCES;
    return -1;
  }
  if (realpath(path, out) != nullptr) {
    if (under_allowed(out)) return 0;
    errno = EACCES;
    return -1;
  }
  // A name that does not resolve (a log not written yet) gets its own error only when its
  // folder is an allowed place: elsewhere the reply must not tell what exists.
  const int err = errno;
  std::string dir(path);
  dir.erase(dir.find_last_of('/') + 1);
  char real_dir[KS_FEED_PATH_MAX];
  errno = realpath(dir.c_str(), real_dir) != nullptr && under_allowed(real_dir) ? err : EACCES;
  return -1;
}

void ks_worker(int sock) {
  auto *buf = static_cast<uint8_t *>(malloc(KS_AGENT_MAX_READ));
  if (buf == nullptr) {
    ks_feed_log("allocate memory error: %s", strerror(errno));
    return;
  }
  for (int &fd : x_fds) fd = -1;
  x_stop_server = 0;
  while (!x_stop_server) {
    int n = ks_recv_data(sock, buf, KS_AGENT_MAX_READ);
    if (n == 0) break;
    if (n < 0) {
      ks_feed_log("receive data error: %s", strerror(errno));
      break;
    }
    const uint32_t cmd = ks::load_be32(buf + 4);
    bool go_on = true;
    if (cmd == KS_AGENT_OPEN) {
      go_on = serve_open(sock, buf, n);
    } else if (cmd == KS_AGENT_CLOSE && n >= KS_AGENT_CLOSE_REQ) {
      go_on = serve_close(sock, buf);
    } else if (cmd == KS_AGENT_READ && n >= KS_AGENT_READ_REQ) {
      go_on = serve_read(sock, buf);
    } else {
      ks_feed_log("invalid command: %d", static_cast<int>(cmd));
    }
    if (!go_on) break;
  }
  for (int &fd : x_fds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  free(buf);
}
