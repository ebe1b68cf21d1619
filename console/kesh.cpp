// kesh: the operator's console. Reads commands from standard input (a terminal or a
// pipe), runs them through the command table and prints one result line per command.
//
// Start-up attaches the system segment when a manager runs (a missing segment only
// means it does not), installs the signal handlers and reads commands until "exit" or
// the end of input. The editing buffer is never written back implicitly: unsaved
// changes are lost at exit, as the "*" in the prompt warns.
#include "console/kesh.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "lib/util.h"

namespace {

void on_sigchld(int) {
  int saved = errno;
  for (;;) {
    pid_t p = waitpid(-1, nullptr, WNOHANG);
    if (p > 0) continue;
    if (p < 0 && errno == EINTR) continue;
    break;
  }
  errno = saved;
}

void on_sigint(int) { x_intr = 1; }

// A console killed by a signal leaves the terminal as it found it.
void on_fatal(int sig) {
  ks_input_restore();
  signal(sig, SIG_DFL);
  raise(sig);
}

// Back from Ctrl+Z: the shell has put its own terminal modes in place meanwhile.
void on_cont(int) {
  int saved = errno;
  ks_input_reapply();
  errno = saved;
}

// The command signal only has to interrupt the sleep between reply polls.
void on_sigcmd(int) {}

int install(int sig, void (*fn)(int), int flags, const char *what) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = fn;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  if (sigaction(sig, &sa, nullptr) != 0) {
    kesh::err("Set %s handler error.\nsigaction(): %s", what, strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int main() {
  if (ks_log_init("kesh", 0) != 0) {
    fprintf(stderr, "KESTRO_HOME is not set or its config/log.conf cannot be read.\n");
    return 255;
  }
  if (ks_shm_attach() != 0 && errno != ENOENT) {
    fprintf(stderr, "Attach shared memory error.\n");
    return 255;
  }
  if (install(SIGCHLD, on_sigchld, SA_RESTART | SA_NOCLDSTOP, "SIGCHLD") != 0 ||
      install(SIGINT, on_sigint, 0, "SIGINT") != 0 || install(KS_CMD_SIGNAL, on_sigcmd, SA_RESTART, "SIGCMD") != 0)
    return 255;
  ks_input_setup();
  for (int sig : {SIGTERM, SIGHUP, SIGQUIT}) install(sig, on_fatal, 0, "SIGTERM");
  install(SIGCONT, on_cont, SA_RESTART, "SIGCONT");
  if (isatty(STDIN_FILENO)) ks_print_copyright();

  for (;;) {
    fputs((x_cfg.flag & KS_CFG_MODIFIED) ? "*KESH> " : "KESH> ", stdout);
    fflush(stdout);
    x_intr = 0;
    int r = ks_input_command(&x_input);
    if (r == KS_IN_ABANDON) continue;
    char *text = ks_str_rtrim(ks_str_ltrim(x_input.cmdbuf));
    if (r == KS_IN_EOF) {
      if (*text != '\0') {
        char word[32];
        ks_str_get_token(text, 1, word, 31);
        kesh::err("Command \"%s\" not ended by \";\" or \"/\" at end of input: not run.\n", word);
      }
      break;
    }
    if (*text == '\0') continue;
    if (std::strcmp(text, "exit") == 0) break;
    ks_run_command(text);
    x_input.tail = 0;
    x_input.cmdbuf[0] = '\0';
  }

  ks_input_restore();
  int rc = 0;
  if (shm_inf.status == 1 && ks_shm_detach() != 0) {
    fprintf(stderr, "Detach shared memory error\n%s\n", ks_log_get_message());
    rc = 255;
  }
  char omsg[KS_CFG_MSGSZ];
  x_cfg.flag &= ~KS_CFG_MODIFIED;  // unsaved edits are dropped, never written at exit
  ks_cfg_close_file(&x_cfg, omsg);
  ks_log_close();
  return rc;
}
