// Stand-in for extract and apply in the manager's process tests. It behaves as the
// delivered programs do towards the manager: attaches, finds its process-table entry,
// holds a shared-memory allocation, and serves the stop command with the shared command
// executor. It records its arguments in <home>tmp/fake_<pid>.args and, on a clean stop,
// writes <home>tmp/fake_<pid>.stopped. With the parameter "-deaf" it ignores stop
// commands and SIGTERM, to exercise the manager's escalation.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "lib/util.h"

namespace {
volatile sig_atomic_t x_loop = 1;
volatile sig_atomic_t x_cmd_set = 0;
void on_term(int) { x_loop = 0; }
void on_cmd(int) { x_cmd_set = 1; }

void put(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  if (f != nullptr) {
    fputs(text.c_str(), f);
    fclose(f);
  }
}
}  // namespace

int main(int argc, char **argv) {
  bool deaf = false;
  int thrd = 0;
  std::string args;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) args += ' ';
    args += argv[i];
    if (std::strcmp(argv[i], "-deaf") == 0) deaf = true;
    if (std::strcmp(argv[i], "-u") == 0 && i + 1 < argc) snprintf(unit_name, sizeof unit_name, "%s", argv[i + 1]);
    if (std::strcmp(argv[i], "-c") == 0 && i + 1 < argc) snprintf(com_name, sizeof com_name, "%s", argv[i + 1]);
    if (std::strcmp(argv[i], "-t") == 0 && i + 1 < argc) thrd = atoi(argv[i + 1]);
  }
  char tmpc[512];
  snprintf(tmpc, sizeof tmpc, "%stmp/fake_%d", ks_get_home_dir(), int(getpid()));
  const std::string tmp = tmpc;
  put(tmp + ".args", args);
  if (ks_log_init(com_name, thrd) != 0) return 2;

  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = deaf ? SIG_IGN : on_term;
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = on_cmd;
  sigaction(KS_CMD_SIGNAL, &sa, nullptr);

  if (ks_shm_attach() != 0) return 3;
  if (ks_ps_start() != 0) return 4;
  void *mem = ks_shm_alloc(1024 * 1024);
  if (mem == nullptr) return 5;
  std::memset(mem, 0x5a, 1024 * 1024);

  while (x_loop) {
    if (x_cmd_set) {
      x_cmd_set = 0;
      if (deaf) {
        uint8_t buf[KS_CMD_BUFSZ];
        int rc;
        ks_shm_deq(getpid(), sizeof buf, buf, &rc);  // heard, never answered
      } else {
        ks_ps_execute_command(&x_loop, "no message in command queue.");
      }
      continue;
    }
    usleep(20 * 1000);
  }
  ks_shm_free(mem);
  ks_shm_detach();
  put(tmp + ".stopped", "stopped");
  return 0;
}
