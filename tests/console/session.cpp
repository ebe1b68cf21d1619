#include "tests/console/session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace kstest {

namespace {
double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
}  // namespace

KeshSession::KeshSession(const std::string &program) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) abort();
  const char *path = program.c_str();
  pid_ = fork();
  if (pid_ < 0) abort();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char *argv[] = {const_cast<char *>(path), nullptr};
    execv(path, argv);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  fcntl(in_, F_SETFL, fcntl(in_, F_GETFL) | O_NONBLOCK);  // never block while its output fills
  outfd_ = out[0];
  errfd_ = err[0];
  signal(SIGPIPE, SIG_IGN);
}

KeshSession::~KeshSession() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, outfd_, errfd_})
    if (fd >= 0) close(fd);
}

void KeshSession::write(const std::string &text) {
  size_t off = 0;
  while (off < text.size() && in_ >= 0) {
    ssize_t n = ::write(in_, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      read_some(10);
      continue;
    }
    if (n <= 0) return;
    off += size_t(n);
  }
}

void KeshSession::close_input() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

int KeshSession::unread_input() const {
  int n = 0;
  if (in_ < 0 || ioctl(in_, FIONREAD, &n) != 0) return 0;
  return n;
}

bool KeshSession::read_some(int ms) {
  struct pollfd p[2] = {{outfd_, POLLIN, 0}, {errfd_, POLLIN, 0}};
  if (outfd_ < 0 && errfd_ < 0) return false;
  int r = poll(p, 2, ms);
  if (r <= 0) return true;
  char buf[4096];
  int *fds[2] = {&outfd_, &errfd_};
  std::string *dst[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (*fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = read(*fds[i], buf, sizeof buf);
    if (n > 0) {
      dst[i]->append(buf, size_t(n));
    } else if (n == 0 || errno != EINTR) {
      close(*fds[i]);
      *fds[i] = -1;
    }
  }
  return true;
}

bool KeshSession::wait_for(const std::string &text, double timeout_s, size_t from) {
  const double end = now_s() + timeout_s;
  while (out_.find(text, from) == std::string::npos) {
    if (now_s() >= end) return false;
    if (!read_some(50)) return out_.find(text, from) != std::string::npos;
  }
  return true;
}

void KeshSession::pump(double secs) {
  const double end = now_s() + secs;
  while (now_s() < end && read_some(20)) {
  }
}

int KeshSession::finish(double timeout_s) {
  close_input();
  const double end = now_s() + timeout_s;
  while (read_some(50))
    if (now_s() >= end) break;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (now_s() >= end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    usleep(10000);
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

KeshRun run_kesh(const std::string &input) {
  KeshSession s;
  s.write(input);
  int st = s.finish();
  return {st, s.out(), s.err()};
}

std::vector<std::string> prompts_of(const std::string &out) {
  std::vector<std::string> v;
  for (size_t p = out.find("KESH> "); p != std::string::npos; p = out.find("KESH> ", p + 6))
    v.push_back(p > 0 && out[p - 1] == '*' ? "*KESH> " : "KESH> ");
  return v;
}

}  // namespace kstest
