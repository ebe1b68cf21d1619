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
#include <string>
#include <vector>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "manager/kesmon.h"

namespace {

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
  e.flag = 0;
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
pid_t spawn(const ks_cfg_com_t &com, int comid, const char *unit, int thrd, const char *param) {
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
  e.flag = 0;
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
  KS_INFO("process %d started: %s -u %s -c %s%s%s %s", int(pid), path.c_str(), unit, com.name,
          thrd > 0 ? " -t " : "", thrd > 0 ? std::to_string(thrd).c_str() : "", param);
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
    if (WIFSIGNALED(st)) KS_WARN("process %d killed by signal %d.", int(pid), WTERMSIG(st));
    else KS_INFO("process %d exited with status %d.", int(pid), WEXITSTATUS(st));
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
  // A dictionary block lives only as long as the processes of its component: with none
  // running, a published position names memory freed when the last one was reaped (a
  // process killed never withdrew it). Cleared, so the new process loads the file.
  __atomic_store_n(&com->hdr_sno, 0u, __ATOMIC_RELEASE);
  __atomic_store_n(&com->hdr_off, 0u, __ATOMIC_RELEASE);
  // One process per redo thread when the source database has several instances.
  std::vector<int> threads;
  ks_cfg_bh_t *bh = ks_cfg_area();
  if (type == KS_CFG_COM_EXTRACT) {
    int d = ks_cfg_find_db(bh, com->src_db);
    if (d >= 0 && ks_cfg_dbs(bh)[d].inst_cnt > 1) {
      const ks_cfg_db_t &db = ks_cfg_dbs(bh)[d];
      for (uint32_t i = 0; i < db.inst_cnt; ++i) threads.push_back(int(ks_cfg_insts(bh)[db.ref_num + int(i)].thrd));
    }
  }
  if (threads.empty()) threads.push_back(0);
  std::vector<Victim> started;
  for (int thrd : threads) {
    pid_t pid = spawn(*com, c, cmd.unit, thrd, cmd.param);
    if (pid < 0) {
      // All threads or none: the ones already running are stopped again.
      stop_processes(started, cmd.unit, cmd.com, x_grace_ms);
      return KS_REPLY_FAIL;
    }
    started.push_back({pid, false});
  }
  return KS_REPLY_OK;
}

int mon_stop_component(const ks_ps_cmd_t &cmd, uint32_t type) {
  ks_cfg_com_t *com;
  if (com_of(cmd, type, &com) < 0) return KS_REPLY_FAIL;
  std::vector<Victim> v = processes_of(com->com_uk);
  if (v.empty()) {
    KS_WARN("component \"%s\".\"%s\" is not running.", cmd.unit, cmd.com);
    return KS_REPLY_OK;
  }
  return stop_processes(v, cmd.unit, cmd.com, -1) ? KS_REPLY_OK : KS_REPLY_FAIL;
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
  Table t = table();
  std::vector<Victim> v;
  for (int i = 0; i < t.n; ++i)
    if (t.ps[i].pid != -1) v.push_back({t.ps[i].pid, false});
  if (v.empty()) return;
  if (patience_ms <= 0) {
    for (auto &p : v) kill(p.pid, SIGTERM);
    for (auto &p : v)
      if (!wait_gone(p.pid, mon_now_ms() + 2000)) kill(p.pid, SIGKILL);
    for (auto &p : v) wait_gone(p.pid, mon_now_ms() + 2000);
    return;
  }
  stop_processes(v, "", "", patience_ms);
}
