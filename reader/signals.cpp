// Signals of the daemon and its workers: SIGTERM and SIGQUIT ask for the stop, SIGCHLD
// reaps finished workers; every other signal is ignored or blocked.
#include <sys/wait.h>

#include <cerrno>
#include <initializer_list>

#include "reader/kesfeed.h"

namespace {

void on_stop(int) { x_stop_server = 1; }

void on_child(int) {
  const int saved = errno;
  pid_t pid;
  while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
    for (pid_t &c : x_child) {
      if (c == pid) {
        c = -1;
        x_nlinks = x_nlinks - 1;
        break;
      }
    }
  }
  errno = saved;
}

int set_handler(int sig, void (*fn)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a signal ends the accept wait at once
  return sigaction(sig, &sa, nullptr);
}

}  // namespace

int ks_setsignals() {
  for (int sig = 1; sig < 32; sig++)
    if (sig != SIGKILL && sig != SIGSTOP) set_handler(sig, SIG_IGN);
  if (set_handler(SIGCHLD, on_child) < 0 || set_handler(SIGPIPE, SIG_IGN) < 0 || set_handler(SIGALRM, SIG_IGN) < 0 ||
      set_handler(SIGINT, SIG_IGN) < 0 || set_handler(SIGTERM, on_stop) < 0 || set_handler(SIGQUIT, on_stop) < 0)
    return -1;
  sigset_t set;
  sigfillset(&set);
  for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGQUIT}) sigdelset(&set, sig);
  return sigprocmask(SIG_SETMASK, &set, nullptr) == 0 ? 0 : -1;
}

// A new worker is recorded with SIGCHLD held back, so that a worker ending at once is
// reaped only after its slot has been taken.
void ks_block_sigchld(bool block) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}
