// A stand-in component program for the end-to-end start/stop test: started by the
// manager with -u unit -c component, it registers in the process table, marks
// <home>tmp/<component>.started, serves commands until told to stop, then marks
// <home>tmp/<component>.stopped and leaves. It gives up by itself after a minute; given
// -fail it ends at once, as a component with a bad start would.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"

namespace {
volatile sig_atomic_t x_loop = 1;
volatile sig_atomic_t x_cmd_set = 0;
void on_cmd(int) { x_cmd_set = 1; }
void on_term(int) { x_loop = 0; }
void mark(const std::string &path) {
  if (FILE *f = fopen(path.c_str(), "w")) fclose(f);
}
}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0) snprintf(unit_name, sizeof unit_name, "%s", argv[i + 1]);
    if (std::strcmp(argv[i], "-c") == 0) snprintf(com_name, sizeof com_name, "%s", argv[i + 1]);
  }
  if (std::strcmp(argv[argc - 1], "-fail") == 0) return 1;
  if (ks_log_init(com_name, 0) != 0) return 1;
  signal(KS_CMD_SIGNAL, on_cmd);
  signal(SIGTERM, on_term);
  if (ks_shm_attach() != 0 || ks_ps_start() != 0) return 1;
  const std::string base = std::string(ks_get_home_dir()) + "tmp/" + com_name;
  mark(base + ".started");
  const time_t give_up = time(nullptr) + 60;
  while (x_loop && time(nullptr) < give_up) {
    if (x_cmd_set) {
      x_cmd_set = 0;
      while (ks_shm_q_count(int(getpid())) > 0 && ks_ps_execute_command(&x_loop, "no command.") == 0) {
      }
    }
    usleep(20000);
  }
  mark(base + ".stopped");
  ks_shm_detach();
  return 0;
}
