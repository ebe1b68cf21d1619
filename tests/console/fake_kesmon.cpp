// A stand-in manager for the console's start-manager tests: creates the system segment
// and its queue, becomes ready (unless KS_FAKE_MANAGER=nostatus), answers every command
// with 0 (99 for a start of an apply) and records it in <home>tmp/kesmon.log, and on
// "stop the manager" replies, removes the segment and exits. It gives up by itself
// after a minute so a failed test never leaves it behind.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"

namespace {
volatile sig_atomic_t g_stop = 0;
void on_term(int) { g_stop = 1; }
void on_cmd(int) {}
}  // namespace

int main(int argc, char **argv) {
  if (ks_log_init("kesmon", 0) != 0) return 1;
  const std::string home = ks_get_home_dir();
  FILE *log = fopen((home + "tmp/kesmon.log").c_str(), "a");
  if (log == nullptr) return 1;
  setvbuf(log, nullptr, _IOLBF, 0);
  fprintf(log, "args");
  for (int i = 1; i < argc; ++i) fprintf(log, " %s", argv[i]);
  fprintf(log, "\n");
  if (FILE *pf = fopen((home + "tmp/kesmon.pid").c_str(), "w")) {
    fprintf(pf, "%d\n", int(getpid()));
    fclose(pf);
  }
  signal(SIGTERM, on_term);
  signal(KS_CMD_SIGNAL, on_cmd);
  if (ks_shm_create() != 0) {
    fprintf(log, "create failed: %s\n", ks_log_get_message());
    return 1;
  }
  ks_shm_mark_sys_used();  // the header's blocks, before the queue takes its own
  if (ks_shm_q_create() != 0) {
    fprintf(log, "create failed: %s\n", ks_log_get_message());
    ks_shm_remove();
    return 1;
  }
  const char *mode = getenv("KS_FAKE_MANAGER");
  if (mode == nullptr || std::strcmp(mode, "nostatus") != 0) ks_shm_get_sys_ptr()->status = KS_SHM_STATUS_READY;
  const time_t give_up = time(nullptr) + 60;
  while (!g_stop && time(nullptr) < give_up) {
    uint8_t buf[KS_CMD_BUFSZ];
    int rc = 0;
    int n = ks_shm_deq(int(getpid()), sizeof buf, buf, &rc);
    if (n < 0) {
      usleep(20000);
      continue;
    }
    ks_ps_cmd_t cmd;
    if (ks_ps_parse_command(buf, n, &cmd) != 0) continue;
    fprintf(log, "cmd %d %s %s [%s]\n", cmd.code, cmd.unit, cmd.com, cmd.param);
    ks_ps_reply(cmd.pid, cmd.code == KS_CMD_START_APPLY ? KS_REPLY_FAIL : KS_REPLY_OK);
    if (cmd.code == KS_CMD_STOP_MANAGER) break;
  }
  ks_shm_remove();
  fprintf(log, "exit\n");
  fclose(log);
  return 0;
}
