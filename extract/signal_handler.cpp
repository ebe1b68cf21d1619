// extract's signal handlers. They only store into the two sig_atomic_t flags the loops
// poll; all work happens in the main flow. Installed without SA_RESTART, so a signal
// cuts a sleep short and a stop is acted on without waiting out a retry delay.
#include <cerrno>
#include <csignal>
#include <cstring>

#include "extract/extract.h"
#include "lib/log/log.h"

void ks_sig_terminate(int sig) {
  if (sig == SIGTERM) x_loop = 0;
}

void ks_sig_null(int) {}

void ks_sig_command(int) { x_cmd_set = 1; }

int ks_set_signal_handlers() {
  struct sigaction sa;
  for (int sig = 1; sig <= 31; sig++) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sig == SIGTERM)
      sa.sa_handler = ks_sig_terminate;
    else if (sig == SIGCONT)
      sa.sa_handler = ks_sig_null;
    else
      sa.sa_handler = SIG_IGN;
    if (sigaction(sig, &sa, nullptr) != 0) {
      KS_ERROR("set signal handler error.\nsigaction(): %s", strerror(errno));
      return -1;
    }
  }
  std::memset(&sa, 0, sizeof sa);
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sa.sa_handler = ks_sig_command;
  if (sigaction(SIGRTMIN + 1, &sa, nullptr) != 0) {
    KS_ERROR("set COMMAND signal handler error.\nsigaction(): %s", strerror(errno));
    return -1;
  }
  return 0;
}
