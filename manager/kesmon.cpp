// kesmon, the manager of an installation. Started by the console as
//   <home>bin/kesmon -id <console pid>
// it owns the system segment: it replaces a segment left by a manager that died,
// refuses to run beside a live one, creates the segment and semaphores, loads the
// configuration, lays out the process table and the system queue, publishes its pid
// and sets status 2. It then serves commands 2 to 6 from the queue (woken by the
// command signal or, at the latest, every second), answers each with 0 or 99, reaps its
// children, restarts those that ended without a clean stop (mon_proc.cpp), and on
// "stop manager" or SIGTERM stops every component and removes the
// segment and semaphores before it exits.
//
// Signals are blocked and taken synchronously with sigtimedwait, so no handler ever
// runs inside the allocator or the queue.
#include "manager/kesmon.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/sem.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"

int x_grace_ms = 10000;
std::deque<std::vector<uint8_t>> x_pending;

namespace {

volatile sig_atomic_t x_run = 1;

sigset_t managed_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  sigaddset(&set, KS_CMD_SIGNAL);
  return set;
}

void usage() { fprintf(stderr, "usage: kesmon -id <console pid>\n"); }

// Standard input from /dev/null; standard output and error (ours and the children's)
// into <home>log/kesmon.out, away from the console's terminal.
void detach_stdio() {
  int in = open("/dev/null", O_RDONLY);
  if (in >= 0) {
    dup2(in, 0);
    if (in > 2) close(in);
  }
  std::string out = std::string(ks_get_home_dir()) + "log/kesmon.out";
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
  }
}

int startup() {
  int rc = ks_shm_remove_stale();
  if (rc == 2 && mon_stop_orphans(6 * x_grace_ms) == 0) rc = ks_shm_remove_stale();
  if (rc == 1) {
    KS_ERROR("manager already running.");
    return -1;
  }
  if (rc == 2) {
    KS_ERROR("components of a stopped manager still running.");
    return -1;
  }
  if (rc != 0) return -1;
  rc = ks_shm_create();
  if (rc == -2) {
    KS_ERROR("manager already running.");
    return -1;
  }
  if (rc != 0) {
    KS_ERROR("create shared memory error.");
    return -1;
  }
  KS_DEBUG("create shared memory ok ...");
  // The system area (configuration, process table) is laid out before its blocks are
  // marked used; the queue is then the first allocation after it.
  if (ks_cfg_load() != 0) {
    KS_ERROR("load config error.");
    return -2;
  }
  KS_DEBUG("load config ok ...");
  if (ks_ps_init() != 0) {
    KS_ERROR("init process table error.");
    return -2;
  }
  ks_shm_mark_sys_used();
  if (ks_shm_q_create() != 0) {
    KS_ERROR("create system queue error.");
    return -2;
  }
  ks_sysinfo_t *si = ks_shm_get_sys_ptr();
  si->pid = getpid();
  __atomic_store_n(&si->status, KS_SHM_STATUS_READY, __ATOMIC_RELEASE);
  KS_INFO("manager started, pid %d ...", int(getpid()));
  return 0;
}

// Waits until pid has taken what is queued for it (a reply), so removing the semaphores
// does not fail its read; gives up after a few seconds or when pid is gone.
void wait_reply_taken(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    if (ks_shm_q_count(pid) <= 0) return;
    if (kill(pid, 0) != 0 && errno == ESRCH) return;
    usleep(50 * 1000);
  }
}

void reply(pid_t pid, int code) {
  int rc = ks_ps_reply(pid, code);
  if (rc == -1) {
    KS_ERROR("send command reply to %d error.", int(pid));
  } else if (rc == -2) {
    // The sender is gone: nobody will read the reply, so it must not stay queued.
    uint8_t b[8];
    int r;
    ks_shm_deq(pid, sizeof b, b, &r);
  }
}

void handle(const uint8_t *msg, int len) {
  ks_ps_cmd_t cmd;
  if (ks_ps_parse_command(msg, len, &cmd) != 0) {
    KS_ERROR("invalid command message of %d bytes.", len);
    if (len >= 8) reply(cmd.pid, KS_REPLY_FAIL);
    return;
  }
  KS_INFO("command %d from %d: \"%s\".\"%s\" %s", cmd.code, int(cmd.pid), cmd.unit, cmd.com, cmd.param);
  int code = KS_REPLY_FAIL;
  switch (cmd.code) {
    case KS_CMD_STOP_MANAGER:
      mon_stop_all(6 * x_grace_ms);
      x_run = 0;
      reply(cmd.pid, KS_REPLY_OK);
      wait_reply_taken(cmd.pid);
      return;
    case KS_CMD_START_EXTRACT:
      code = mon_start_component(cmd, KS_CFG_COM_EXTRACT);
      break;
    case KS_CMD_STOP_EXTRACT:
      code = mon_stop_component(cmd, KS_CFG_COM_EXTRACT);
      break;
    case KS_CMD_START_APPLY:
      code = mon_start_component(cmd, KS_CFG_COM_APPLY);
      break;
    case KS_CMD_STOP_APPLY:
      code = mon_stop_component(cmd, KS_CFG_COM_APPLY);
      break;
    default:
      KS_ERROR("invalid command %d.", cmd.code);
      break;
  }
  reply(cmd.pid, code);
}

void serve_commands() {
  uint8_t buf[KS_CMD_BUFSZ];
  while (x_run) {
    if (!x_pending.empty()) {
      std::vector<uint8_t> m = std::move(x_pending.front());
      x_pending.pop_front();
      handle(m.data(), int(m.size()));
      continue;
    }
    int n = mon_take(buf, sizeof buf);
    if (n == -2) continue;
    if (n <= 0) return;
    if (n == 4) {
      KS_WARN("late command reply ignored.");
      continue;
    }
    handle(buf, n);
  }
}

bool semaphores_lost() { return semctl(shm_inf.semid, 0, GETVAL) < 0 && (errno == EIDRM || errno == EINVAL); }

}  // namespace

int main(int argc, char **argv) {
  pid_t console = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-id") == 0 && i + 1 < argc) {
      console = pid_t(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "-h") == 0) {
      ks_print_copyright();
      usage();
      return 0;
    } else {
      usage();
      return 1;
    }
  }
  if (ks_log_init("kesmon", 0) != 0) {
    fprintf(stderr, "KESTRO_HOME not set.\n");
    return 1;
  }
  if (const char *g = getenv("KESMON_GRACE_MS")) {
    int v = std::atoi(g);
    if (v > 0) x_grace_ms = v;
  }
  if (const char *g = getenv("KESMON_RESTART_MS")) {
    int v = std::atoi(g);
    if (v > 0) x_restart_ms = v;
  }
  setsid();  // outlive the console's terminal session
  detach_stdio();
  signal(SIGPIPE, SIG_IGN);
  sigset_t set = managed_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  KS_INFO("manager starting for console %d ...", int(console));

  int rc = startup();
  if (rc != 0) {
    if (rc == -2) ks_shm_remove();
    KS_ERROR("manager start error.");
    ks_log_close();
    return 1;
  }

  int64_t next_due = -1;
  while (x_run) {
    // Woken by a signal, at the latest every second, or when a restart is due.
    const int64_t wait_ms = next_due >= 0 && next_due < 1000 ? next_due : 1000;
    struct timespec ts = {time_t(wait_ms / 1000), long(wait_ms % 1000) * 1000000L};
    siginfo_t info;
    int sig = sigtimedwait(&set, &info, &ts);
    if (sig == SIGTERM || sig == SIGINT || sig == SIGQUIT) {
      KS_INFO("signal %d received, manager stopping ...", sig);
      mon_stop_all(6 * x_grace_ms);
      break;
    }
    mon_reap();
    if (semaphores_lost()) {
      // Someone removed our IPC objects: nothing can be served any more.
      KS_ERROR("semaphore set removed, manager exits.");
      mon_stop_all(0);
      ks_shm_detach();
      ks_log_close();
      return 1;
    }
    serve_commands();
    next_due = mon_restart_due();
  }
  mon_reap();
  ks_shm_remove();
  KS_INFO("manager stopped ...");
  ks_log_close();
  return 0;
}
