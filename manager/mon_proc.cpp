// Starting, stopping and reaping the manager's children.
//
// A child is recorded in a free process-table entry (com_uk, comid, thread, pid) before
// it may run: it waits on a pipe until the entry is written, so ks_ps_start always finds
// it. A second close-on-exec pipe reports an exec failure. A stop asks politely first
// (command 1, whose reply shows the process heard it); one that neither answers nor exits
// in time gets SIGTERM and then SIGKILL. A process that acknowledged is trusted to finish
// its shutdown (saving its position and open transactions) and is never killed for being
// slow, except when the whole manager stops. Every exited child is reaped: its entry is
// cleared, its shared memory freed and messages still queued for it dropped.
//
// A component whose process ended without a clean stop (killed, or an exit status other
// than 0) while the manager was not stopping it is started again after a delay that
// doubles with each consecutive failure (x_restart_ms, up to 60 times as much), and
// only up to its limit of consecutive failures (the component's restart value); a run
// that lasted 120 times the base delay counts as healthy and starts the count again.
// Except a component that exits with KS_EXIT_OPERATOR: it stopped at a limit of its
// configuration, and stays down until the operator has changed it and starts it.
// The whole component is restarted: the other processes of a clustered source are
// stopped in order first, so that the dictionary block they share is loaded afresh.
// Each restarted process finds the number of automatic restarts in its process-table
// entry, which also tells it that the run before it did not end cleanly. An operator's
// start or stop replaces whatever restart was pending.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "manager/kesmon.h"

int x_restart_ms = 5000;

namespace {

// The automatic restart state of a component started by an operator, by com_uk.
struct Revival {
  uint32_t type = 0;
  std::string param;       // the operator's start options, given again at each restart
  uint32_t restarts = 0;   // automatic restarts since the operator's start
  uint32_t failures = 0;   // consecutive runs that ended without a clean stop
  int64_t started_ms = 0;  // when the current run started
  int64_t due_ms = 0;      // when the pending restart is due, 0 when none is pending
};
std::map<uint32_t, Revival> x_revive;
// Processes the manager is stopping: their end is a clean stop whatever their status.
std::set<pid_t> x_stopping;

struct Table {
  ks_ps_task_t *ps = nullptr;
  int n = 0;
};

Table table() {
  Table t;
  t.ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
  t.n = t.ps != nullptr ? ks_cfg_get_max_process() : 0;
  if (t.n < 0) t.n = 0;
  return t;
}

void clear_entry(ks_ps_task_t &e) {
  e.restarts = 0;
  e.com_uk = 0;
  e.comid = -1;
  e.status = 0;
  e.rsv = 0;
  __atomic_store_n(&e.pid, -1, __ATOMIC_RELEASE);
}

bool alive_child(pid_t pid) { return ks_ps_find(pid) != nullptr; }

void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, long(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

std::vector<std::string> split_words(const char *s) {
  std::vector<std::string> out;
  std::string cur;
  for (; *s != '\0'; ++s) {
    if (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += *s;
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

// Starts one process of component comid → its pid, -1.
pid_t spawn(const ks_cfg_com_t &com, int comid, const char *unit, int thrd, const char *param, uint32_t restarts) {
  Table t = table();
  int slot = 0;
  while (slot < t.n && t.ps[slot].pid != -1) ++slot;
  if (slot == t.n) {
    KS_ERROR("process table full (%d entries).", t.n);
    return -1;
  }
  const std::string path = std::string(ks_get_home_dir()) + "bin/" + com.pname;
  if (access(path.c_str(), X_OK) != 0) {
    KS_ERROR("program %s cannot be executed: %s", path.c_str(), strerror(errno));
    return -1;
  }
  std::vector<std::string> args = {path, "-u", unit, "-c", com.name};
  if (thrd > 0) {
    args.push_back("-t");
    args.push_back(std::to_string(thrd));
  }
  for (auto &w : split_words(param)) args.push_back(std::move(w));
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int go[2], st[2];
  if (pipe2(go, O_CLOEXEC) != 0) {
    KS_ERROR("pipe(): %s", strerror(errno));
    return -1;
  }
  if (pipe2(st, O_CLOEXEC) != 0) {
    KS_ERROR("pipe(): %s", strerror(errno));
    close(go[0]);
    close(go[1]);
    return -1;
  }
  pid_t pid = fork();
  if (pid < 0) {
    KS_ERROR("Start new process error.\nfork(): %s", strerror(errno));
    for (int fd : {go[0], go[1], st[0], st[1]}) close(fd);
    return -1;
  }
  if (pid == 0) {
    // The child runs with default signal handling, nothing blocked, and only the
    // descriptors it needs.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    for (int fd = 3; fd < 1024; ++fd)
      if (fd != go[0] && fd != st[1]) close(fd);
    char c;
    while (read(go[0], &c, 1) < 0 && errno == EINTR) {
    }
    execv(path.c_str(), argv.data());
    int e = errno;
    (void)!write(st[1], &e, sizeof e);
    _exit(127);
  }
  close(go[0]);
  close(st[1]);
  ks_ps_task_t &e = t.ps[slot];
  e.restarts = restarts;
  e.com_uk = com.com_uk;
  e.comid = comid;
  e.status = 0;
  e.rsv = thrd;
  __atomic_store_n(&e.pid, int32_t(pid), __ATOMIC_RELEASE);
  close(go[1]);  // the entry is written: let the child go on
  int err = 0;
  ssize_t n;
  while ((n = read(st[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  close(st[0]);
  if (n == ssize_t(sizeof err)) {
    KS_ERROR("New process execute error.\nexecv(): %s", strerror(err));
    waitpid(pid, nullptr, 0);
    clear_entry(e);
    return -1;
  }
  KS_INFO("process %d started: %s -u %s -c %s%s%s %s", int(pid), path.c_str(), unit, com.name, thrd > 0 ? " -t " : "",
          thrd > 0 ? std::to_string(thrd).c_str() : "", param);
  return pid;
}

// Waits until pid is reaped or deadline passes → true when it is gone.
bool wait_gone(pid_t pid, int64_t deadline) {
  for (;;) {
    mon_reap();
    if (!alive_child(pid)) return true;
    if (mon_now_ms() >= deadline) return false;
    sleep_ms(20);
  }
}

// Sends command 1 to pid and waits for its reply (or its exit) → true when it answered
// or is already gone. Commands for the manager that arrive meanwhile are kept.
bool ask_to_stop(pid_t pid, const char *unit, const char *com) {
  uint8_t msg[KS_CMD_BUFSZ];
  int n = ks_ps_make_command(msg, KS_CMD_STOP_PROCESS, getpid(), unit, com, nullptr);
  if (ks_ps_send(pid, msg, n) != 0) {
    KS_WARN("stop request to process %d not delivered.", int(pid));
    return !alive_child(pid);
  }
  int64_t deadline = mon_now_ms() + x_grace_ms;
  uint8_t buf[KS_CMD_BUFSZ];
  for (;;) {
    int m = mon_take(buf, sizeof buf);
    if (m == 4) return true;
    if (m > 4) {
      x_pending.emplace_back(buf, buf + m);
      continue;
    }
    if (m == -2) continue;
    mon_reap();
    if (!alive_child(pid)) return true;
    if (mon_now_ms() >= deadline) return false;
    sleep_ms(20);
  }
}

struct Victim {
  pid_t pid;
  bool acked;
};

// Stops the given processes; acknowledged ones get patience_ms to exit (not killed when
// patience_ms is negative). → true when all are gone.
bool stop_processes(std::vector<Victim> v, const char *unit, const char *com, int patience_ms) {
  for (auto &p : v) x_stopping.insert(p.pid);
  for (auto &p : v) {
    p.acked = ask_to_stop(p.pid, unit, com);
    if (!p.acked) {
      KS_WARN("process %d did not answer the stop request, sending SIGTERM.", int(p.pid));
      kill(p.pid, SIGTERM);
    }
  }
  const int64_t start = mon_now_ms();
  bool all = true;
  for (auto &p : v) {
    bool gone = wait_gone(p.pid, start + (p.acked ? (patience_ms < 0 ? x_grace_ms : patience_ms) : x_grace_ms / 2));
    if (gone) continue;
    if (p.acked && patience_ms < 0) {
      KS_WARN("process %d acknowledged the stop and is still shutting down.", int(p.pid));
      continue;
    }
    KS_ERROR("process %d still running, sending SIGKILL.", int(p.pid));
    kill(p.pid, SIGKILL);
    if (!wait_gone(p.pid, mon_now_ms() + 2000)) all = false;
  }
  return all;
}

int com_of(const ks_ps_cmd_t &cmd, uint32_t type, ks_cfg_com_t **com) {
  ks_cfg_bh_t *bh = ks_cfg_area();
  int c = bh != nullptr ? ks_cfg_find_com(bh, cmd.unit, cmd.com) : -1;
  if (c < 0) {
    KS_ERROR("component \"%s\".\"%s\" not found.", cmd.unit, cmd.com);
    return -1;
  }
  *com = &ks_cfg_coms(bh)[c];
  if ((*com)->com_typ != type) {
    KS_ERROR("component \"%s\".\"%s\" is not an %s.", cmd.unit, cmd.com,
             type == KS_CFG_COM_EXTRACT ? "extract" : "apply");
    return -1;
  }
  return c;
}

std::vector<Victim> processes_of(uint32_t com_uk) {
  std::vector<Victim> v;
  Table t = table();
  for (int i = 0; i < t.n; ++i)
    if (t.ps[i].pid != -1 && t.ps[i].com_uk == com_uk) v.push_back({t.ps[i].pid, false});
  return v;
}

// The loaded component whose file reference is uk, with its unit's name → its index, -1.
int component_by_uk(uint32_t uk, ks_cfg_com_t **com, char *unit) {
  ks_cfg_bh_t *bh = ks_cfg_area();
  if (bh == nullptr) return -1;
  for (uint32_t i = 0; i < bh->n_comps; ++i) {
    ks_cfg_com_t &c = ks_cfg_coms(bh)[i];
    if (c.com_uk != uk || c.un_id < 0 || uint32_t(c.un_id) >= bh->n_units) continue;
    *com = &c;
    std::snprintf(unit, KS_CFG_NAME, "%.31s", ks_cfg_units(bh)[c.un_id].un_name);
    return int(i);
  }
  return -1;
}

// Starts every process of component c (one per redo thread of a clustered source), all
// or none → 0, -1.
int start_processes(ks_cfg_com_t *com, int c, const char *unit, const char *param, uint32_t restarts) {
  // A dictionary block lives only as long as the processes of its component: with none
  // running, a published position names memory freed when the last one was reaped (a
  // process killed never withdrew it). Cleared, so the new process loads the file.
  __atomic_store_n(&com->hdr_sno, 0u, __ATOMIC_RELEASE);
  __atomic_store_n(&com->hdr_off, 0u, __ATOMIC_RELEASE);
  std::vector<int> threads;
  if (com->com_typ == KS_CFG_COM_EXTRACT) {
    int thr[KS_CFG_MAX_THREADS];
    int n = ks_cfg_db_threads(ks_cfg_area(), com->src_db, thr, KS_CFG_MAX_THREADS);
    if (n > 0) threads.assign(thr, thr + n);
  }
  if (threads.empty()) threads.push_back(0);
  std::vector<Victim> started;
  for (int thrd : threads) {
    pid_t pid = spawn(*com, c, unit, thrd, param, restarts);
    if (pid < 0) {
      // All threads or none: the ones already running are stopped again.
      stop_processes(started, unit, com->name, x_grace_ms);
      return -1;
    }
    started.push_back({pid, false});
  }
  return 0;
}

// A run of component uk ended without a clean stop (or its restart failed): schedules
// the next restart, or gives up when restarts are off or the limit is reached.
void revival_failed(uint32_t uk, const char *unit, const char *com, uint32_t restart_value) {
  auto it = x_revive.find(uk);
  if (it == x_revive.end() || it->second.due_ms != 0) return;  // another process of it already did
  Revival &r = it->second;
  const int64_t now = mon_now_ms();
  if (now - r.started_ms >= int64_t(120) * x_restart_ms) r.failures = 0;  // it ran long enough to count as healthy
  r.failures++;
  const uint32_t limit = ks_cfg_restart_limit(restart_value);
  if (limit == 0) {
    KS_WARN("automatic restart of \"%s\".\"%s\" is off: it stays down.", unit, com);
    x_revive.erase(it);
    return;
  }
  if (r.failures > limit) {
    KS_ERROR("component \"%s\".\"%s\" failed %u times in a row: not restarted again (limit %u); it stays down.", unit,
             com, r.failures, limit);
    x_revive.erase(it);
    return;
  }
  const int64_t most = int64_t(60) * x_restart_ms;
  int64_t delay = x_restart_ms;
  for (uint32_t i = 1; i < r.failures && delay < most; ++i) delay *= 2;
  delay = std::min(delay, most);
  r.due_ms = now + delay;
  KS_WARN("component \"%s\".\"%s\" will be restarted in %lld ms (failure %u of at most %u in a row).", unit, com,
          static_cast<long long>(delay), r.failures, limit);
}

}  // namespace

int64_t mon_now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void mon_reap() {
  for (;;) {
    int st = 0;
    pid_t pid = waitpid(-1, &st, WNOHANG);
    if (pid <= 0) return;
    ks_ps_task_t *e = ks_ps_find(pid);
    if (WIFSIGNALED(st))
      KS_WARN("process %d killed by signal %d.", int(pid), WTERMSIG(st));
    else
      KS_INFO("process %d exited with status %d.", int(pid), WEXITSTATUS(st));
    const bool stopped = x_stopping.erase(pid) != 0;
    const uint32_t uk = e != nullptr ? e->com_uk : 0;
    if (e != nullptr) clear_entry(*e);
    ks_shm_free_process_mem(pid);
    uint8_t buf[KS_CMD_BUFSZ];
    int rc = 0;
    while (ks_shm_deq(pid, sizeof buf, buf, &rc) >= 0 || rc == -2) {
      if (rc == -2) {  // too large for buf: read it whole to drop it
        std::vector<uint8_t> big(KS_Q_NBLKS * KS_Q_PAYLOAD);
        ks_shm_deq(pid, int(big.size()), big.data(), &rc);
      }
    }
    if (e == nullptr || stopped || (WIFEXITED(st) && WEXITSTATUS(st) == 0)) continue;
    ks_cfg_com_t *com = nullptr;
    char unit[KS_CFG_NAME];
    if (x_revive.count(uk) == 0 || component_by_uk(uk, &com, unit) < 0) continue;
    if (WIFEXITED(st) && WEXITSTATUS(st) == KS_EXIT_OPERATOR) {
      KS_ERROR(
          "component \"%s\".\"%s\" (process %d) stopped with status %d: its configuration must change "
          "(the reason is in its log); not restarted automatically.",
          unit, com->name, int(pid), KS_EXIT_OPERATOR);
      x_revive.erase(uk);
      continue;
    }
    if (WIFSIGNALED(st))
      KS_ERROR("component \"%s\".\"%s\" (process %d) killed by signal %d without a clean stop.", unit, com->name,
               int(pid), WTERMSIG(st));
    else
      KS_ERROR("component \"%s\".\"%s\" (process %d) ended with status %d without a clean stop.", unit, com->name,
               int(pid), WEXITSTATUS(st));
    revival_failed(uk, unit, com->name, com->restart);
  }
}

int mon_take(uint8_t *buf, int bufsz) {
  int rc = 0;
  int n = ks_shm_deq(getpid(), bufsz, buf, &rc);
  if (n > 0) return n;
  if (n == 0) {
    KS_ERROR("empty command message dropped.");
    return -2;
  }
  if (rc == -1) return 0;
  if (rc == -2) {
    std::vector<uint8_t> big(KS_Q_NBLKS * KS_Q_PAYLOAD);
    ks_shm_deq(getpid(), int(big.size()), big.data(), &rc);
    KS_ERROR("oversized command message dropped.");
    return -2;
  }
  return -1;
}

int mon_start_component(const ks_ps_cmd_t &cmd, uint32_t type) {
  ks_cfg_com_t *com;
  int c = com_of(cmd, type, &com);
  if (c < 0) return KS_REPLY_FAIL;
  if (!processes_of(com->com_uk).empty()) {
    KS_ERROR("component \"%s\".\"%s\" already running.", cmd.unit, cmd.com);
    return KS_REPLY_FAIL;
  }
  if (x_revive.erase(com->com_uk) != 0)
    KS_INFO("component \"%s\".\"%s\" started by command: its pending automatic restart is dropped.", cmd.unit, cmd.com);
  if (start_processes(com, c, cmd.unit, cmd.param, 0) != 0) return KS_REPLY_FAIL;
  Revival r;
  r.type = type;
  r.param = cmd.param;
  r.started_ms = mon_now_ms();
  x_revive[com->com_uk] = r;
  return KS_REPLY_OK;
}

int mon_stop_component(const ks_ps_cmd_t &cmd, uint32_t type) {
  ks_cfg_com_t *com;
  if (com_of(cmd, type, &com) < 0) return KS_REPLY_FAIL;
  auto r = x_revive.find(com->com_uk);
  const bool pending = r != x_revive.end() && r->second.due_ms != 0;
  if (r != x_revive.end()) x_revive.erase(r);
  std::vector<Victim> v = processes_of(com->com_uk);
  if (v.empty()) {
    if (pending) {
      KS_INFO("component \"%s\".\"%s\" stopped while waiting for its automatic restart: not restarted.", cmd.unit,
              cmd.com);
      return KS_REPLY_OK;
    }
    KS_WARN("component \"%s\".\"%s\" is not running.", cmd.unit, cmd.com);
    return KS_REPLY_NOT_RUNNING;
  }
  return stop_processes(v, cmd.unit, cmd.com, -1) ? KS_REPLY_OK : KS_REPLY_FAIL;
}

int64_t mon_restart_due() {
  const int64_t now = mon_now_ms();
  std::vector<uint32_t> due;
  for (const auto &[uk, r] : x_revive)
    if (r.due_ms != 0 && now >= r.due_ms) due.push_back(uk);
  for (uint32_t uk : due) {
    auto it = x_revive.find(uk);
    if (it == x_revive.end()) continue;  // dropped while an earlier one was handled
    Revival &r = it->second;
    ks_cfg_com_t *com = nullptr;
    char unit[KS_CFG_NAME];
    int c = component_by_uk(uk, &com, unit);
    if (c < 0) {
      KS_ERROR("component %u to restart is no longer in the configuration: not restarted.", uk);
      x_revive.erase(it);
      continue;
    }
    // What still runs of a clustered source stops in order first; a process that does
    // not is not waited for longer than a stop would be.
    std::vector<Victim> rest = processes_of(uk);
    if (!rest.empty()) {
      KS_INFO("stopping the other processes of \"%s\".\"%s\" before its restart.", unit, com->name);
      if (!stop_processes(rest, unit, com->name, x_grace_ms) || !processes_of(uk).empty()) {
        r.due_ms = mon_now_ms() + x_restart_ms;
        continue;
      }
    }
    const uint32_t n = r.restarts + 1;
    if (start_processes(com, c, unit, r.param.c_str(), n) != 0) {
      KS_ERROR("automatic restart %u of \"%s\".\"%s\" failed.", n, unit, com->name);
      r.due_ms = 0;
      revival_failed(uk, unit, com->name, com->restart);
      continue;
    }
    r.restarts = n;
    r.started_ms = mon_now_ms();
    r.due_ms = 0;
    KS_WARN("component \"%s\".\"%s\" restarted automatically (restart %u since it was started).", unit, com->name, n);
  }
  int64_t next = -1;
  for (const auto &[uk, r] : x_revive)
    if (r.due_ms != 0)
      next = std::max<int64_t>(0, next < 0 ? r.due_ms - mon_now_ms() : std::min(next, r.due_ms - mon_now_ms()));
  return next;
}

int mon_stop_orphans(int patience_ms) {
  const std::string bin = std::string(ks_get_home_dir()) + "bin/";
  std::vector<pid_t> signalled;
  const int64_t deadline = mon_now_ms() + patience_ms;
  for (;;) {
    std::vector<pid_t> left(4096);
    int n = ks_shm_stale_components(left.data(), int(left.size()));
    if (n < 0) return -1;
    if (n == 0) return 0;
    left.resize(size_t(std::min(n, int(left.size()))));
    for (pid_t pid : left) {
      if (std::find(signalled.begin(), signalled.end(), pid) != signalled.end()) continue;
      // Only a program of this home: the pid of a component long gone may name another
      // process by now.
      std::string argv0;
      if (FILE *f = fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "r")) {
        for (int c; (c = fgetc(f)) != EOF && c != '\0';) argv0 += char(c);
        fclose(f);
      }
      if (argv0.compare(0, bin.size(), bin) != 0) {
        KS_ERROR("process %d in the table of a stopped manager is not a program of %s: left alone.", int(pid),
                 bin.c_str());
        return -1;
      }
      KS_WARN("process %d (%s) started by a stopped manager is still running, stopping it.", int(pid), argv0.c_str());
      kill(pid, SIGTERM);
      signalled.push_back(pid);
    }
    if (mon_now_ms() >= deadline) {
      KS_ERROR("processes started by a stopped manager did not stop within %d ms.", patience_ms);
      return -1;
    }
    sleep_ms(50);
  }
}

void mon_stop_all(int patience_ms) {
  x_revive.clear();
  Table t = table();
  std::vector<Victim> v;
  for (int i = 0; i < t.n; ++i)
    if (t.ps[i].pid != -1) v.push_back({t.ps[i].pid, false});
  if (v.empty()) return;
  if (patience_ms <= 0) {
    for (auto &p : v) x_stopping.insert(p.pid);
    for (auto &p : v) kill(p.pid, SIGTERM);
    for (auto &p : v)
      if (!wait_gone(p.pid, mon_now_ms() + 2000)) kill(p.pid, SIGKILL);
    for (auto &p : v) wait_gone(p.pid, mon_now_ms() + 2000);
    return;
  }
  stop_processes(v, "", "", patience_ms);
}
