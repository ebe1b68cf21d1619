// Idle waits woken by inotify, falling back to a sleep; see the header for the protocol.
#include "lib/wait/wait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lib/log/log.h"

namespace {

constexpr uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr uint32_t kDirEvents = IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF;

int64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Whether an event counts: any on a file, one on a file of the wanted names in a folder.
bool counts(const ks_wait_t *w, const struct inotify_event &ev, const char *name) {
  if (ev.len == 0) return true;
  const size_t n = strnlen(name, ev.len), p = strlen(w->prefix), s = strlen(w->suffix);
  return n >= p + s && std::strncmp(name, w->prefix, p) == 0 && std::strncmp(name + n - s, w->suffix, s) == 0;
}

// Reads every queued event; true when any of them counts. A watch the kernel dropped
// (its file deleted) is forgotten, so the next look sets a new one.
bool drain(ks_wait_t *w) {
  bool any = false;
  alignas(struct inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(w->ifd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t p = 0; p + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
      struct inotify_event ev;
      std::memcpy(&ev, buf + p, sizeof ev);
      if (ev.wd == w->wd && counts(w, ev, buf + p + sizeof ev)) any = true;
      if ((ev.mask & IN_IGNORED) && ev.wd == w->wd) {
        w->wd = -1;
        w->dev = 0;
        w->ino = 0;
      }
      p += static_cast<ssize_t>(sizeof ev + ev.len);
    }
  }
  return any;
}

// The watch could not be set: the waits sleep until a look sets one.
int fall_back(ks_wait_t *w, const char *what, int err) {
  if (w->wd >= 0) inotify_rm_watch(w->ifd, w->wd);
  w->wd = -1;
  if (!w->warned) {
    w->warned = true;
    KS_WARN("cannot watch %s for new data (%s); waiting the idle wait between looks instead.", what, strerror(err));
  }
  return -1;
}

// Watches `path` (standing for the file or folder with st) with `mask`, or keeps the
// watch already on it; forgets the changes reported so far.
int look(ks_wait_t *w, const char *path, const struct stat &st, uint32_t mask, const char *what) {
  if (w->wd >= 0 && w->dev == st.st_dev && w->ino == st.st_ino) {
    drain(w);
    if (w->wd >= 0) return 0;  // else dropped just now: set again below
  }
  // A watch that could not be set is tried again at every look: a limit reached now may
  // be lifted later, and a failed attempt costs one system call.
  w->dev = st.st_dev;
  w->ino = st.st_ino;
  if (w->ifd < 0) {
    w->ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w->ifd < 0) return fall_back(w, what, errno);
  }
  if (w->wd >= 0) inotify_rm_watch(w->ifd, w->wd);
  w->wd = inotify_add_watch(w->ifd, path, mask);
  if (w->wd < 0) return fall_back(w, what, errno);
  drain(w);  // events of the previous watch
  return 0;
}

}  // namespace

void ks_wait_close(ks_wait_t *w) {
  if (w->ifd >= 0) close(w->ifd);
  w->ifd = -1;
  w->wd = -1;
  w->dev = 0;
  w->ino = 0;
}

int ks_wait_look(ks_wait_t *w, int fd, const char *name) {
  char what[600], path[64];
  std::snprintf(what, sizeof what, "\"%s\"", name);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    int err = fd < 0 ? EBADF : errno;
    w->dev = 0;
    w->ino = 0;
    return fall_back(w, what, err);
  }
  // The descriptor's own file, whatever name it has now.
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  w->prefix[0] = w->suffix[0] = '\0';
  return look(w, path, st, kFileEvents, what);
}

int ks_wait_look_dir(ks_wait_t *w, const char *dir, const char *prefix, const char *suffix) {
  std::snprintf(w->prefix, sizeof w->prefix, "%s", prefix);
  std::snprintf(w->suffix, sizeof w->suffix, "%s", suffix);
  char what[600];
  std::snprintf(what, sizeof what, "folder \"%s\"", dir);
  struct stat st;
  if (stat(dir, &st) != 0) {
    int err = errno;
    w->dev = 0;
    w->ino = 0;
    return fall_back(w, what, err);
  }
  return look(w, dir, st, kDirEvents | IN_ONLYDIR, what);
}

int ks_wait_idle(ks_wait_t *w, int timeout_ms) {
  if (timeout_ms < 0) timeout_ms = 0;
  struct timespec ts = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
  if (w->ifd < 0 || w->wd < 0) return nanosleep(&ts, nullptr) == 0 ? KS_WAIT_SLEPT : KS_WAIT_SIGNAL;
  const int64_t until = now_ms() + timeout_ms;
  for (;;) {
    const int64_t left = until - now_ms();
    if (left <= 0) return KS_WAIT_TIMEOUT;
    struct pollfd p = {w->ifd, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) return KS_WAIT_SIGNAL;
    if (rc < 0) return nanosleep(&ts, nullptr) == 0 ? KS_WAIT_SLEPT : KS_WAIT_SIGNAL;  // never a spin
    if (rc == 0) return KS_WAIT_TIMEOUT;
    if (drain(w)) return KS_WAIT_DATA;  // else only other files of the folder changed
  }
}

bool ks_wait_note_due(ks_wait_t *w, int seconds) {
  const int64_t now = now_ms();
  if (w->noted_ms != 0 && now - w->noted_ms < static_cast<int64_t>(seconds) * 1000) return false;
  w->noted_ms = now;
  return true;
}
