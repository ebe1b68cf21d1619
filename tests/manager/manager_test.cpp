// kesmon on a temporary home: start-up, the command protocol as the console uses it,
// components started and stopped through the queue (a stand-in program plays extract
// and apply), reaping of killed components and their automatic restarts, one manager
// per home, and a clean exit that leaves no IPC objects.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/bytes.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace {

bool wait_until(const std::function<bool()> &pred, int ms = 5000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

class Manager : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = signal(KS_CMD_SIGNAL, SIG_IGN);  // replies come with the command signal
    ASSERT_EQ(symlink(KS_BIN_DIR "/kesmon", home.file("bin/kesmon").c_str()), 0);
    ASSERT_EQ(symlink(KS_BIN_DIR "/fake_component", home.file("bin/fake_component").c_str()), 0);
    write_config();
    guard = std::make_unique<kstest::IpcGuard>();
    ks_shm_set_attach_wait(1);
  }

  void TearDown() override {
    // Whatever a failed test left running is killed: components first, then managers.
    if (shm_inf.status == 1) {
      auto *ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
      for (int i = 0; ps != nullptr && i < 16; ++i)
        if (ps[i].pid > 0) kill(ps[i].pid, SIGKILL);
    }
    for (pid_t p : managers_) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
    guard.reset();
    ks_shm_set_attach_wait(5);
    signal(KS_CMD_SIGNAL, old_);
  }

  void write_config() {
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_t cfg;
    ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0);
    ks_cfg_fh_t *fh = ks_cfg_file_header(&cfg);
    fh->shm_sz = 32 * 1024 * 1024;
    fh->max_procs = 16;
    ks_cfg_fdb_t db{};
    std::strcpy(db.name, "RAC");
    ASSERT_EQ(ks_cfg_add_db(&cfg, &db, omsg), 0);
    std::strcpy(db.name, "ONE");
    ASSERT_EQ(ks_cfg_add_db(&cfg, &db, omsg), 0);
    ks_cfg_finst_t in{};
    std::strcpy(in.inst_name, "R1");
    in.thrd = 1;
    ASSERT_EQ(ks_cfg_add_inst(&cfg, "RAC", &in, omsg), 0);
    std::strcpy(in.inst_name, "R2");
    in.thrd = 2;
    ASSERT_EQ(ks_cfg_add_inst(&cfg, "RAC", &in, omsg), 0);
    std::strcpy(in.inst_name, "O1");
    ASSERT_EQ(ks_cfg_add_inst(&cfg, "ONE", &in, omsg), 0);
    ks_cfg_funit_t u{};
    std::strcpy(u.un_name, "U1");
    ASSERT_EQ(ks_cfg_add_unit(&cfg, &u, omsg), 0);
    add_com(&cfg, "ERAC", KS_CFG_COM_EXTRACT, "RAC", "fake_component");
    add_com(&cfg, "EONE", KS_CFG_COM_EXTRACT, "ONE", "fake_component");
    add_com(&cfg, "A1", KS_CFG_COM_APPLY, "", "fake_component");
    add_com(&cfg, "NOPROG", KS_CFG_COM_APPLY, "", "no_such_program");
    add_com(&cfg, "ONCE", KS_CFG_COM_APPLY, "", "fake_component", 1);
    add_com(&cfg, "AOFF", KS_CFG_COM_APPLY, "", "fake_component", KS_CFG_RESTART_OFF);
    cfg.flag |= KS_CFG_MODIFIED;
    ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0);
  }
  static void add_com(ks_cfg_t *cfg, const char *name, uint32_t type, const char *src, const char *prog,
                      uint32_t restart = 0) {
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_fcom_t c{};
    c.restart = restart;
    std::strcpy(c.name, name);
    std::strcpy(c.pname, prog);
    std::strcpy(c.src_db, src);
    c.com_typ = type;
    ASSERT_EQ(ks_cfg_add_com(cfg, "U1", &c, omsg), 0) << omsg;
    ks_cfg_fparm_t p{};
    ASSERT_EQ(ks_cfg_add_param(cfg, "U1", name, &p, omsg), 0) << omsg;
  }

  pid_t start_manager() {
    std::string path = home.file("bin/kesmon");
    std::string me = std::to_string(getpid());
    pid_t pid = fork();
    if (pid == 0) {
      setenv("KESMON_GRACE_MS", "1000", 1);
      setenv("KESMON_RESTART_MS", "200", 1);
      execl(path.c_str(), path.c_str(), "-id", me.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    managers_.push_back(pid);
    return pid;
  }
  // Attached and the manager pid reports ready.
  bool ready(pid_t pid) {
    return wait_until([&] {
      if (ks_shm_attach() != 0) return false;
      ks_sysinfo_t *si = ks_shm_get_sys_ptr();
      if (si->pid != pid) {  // a segment on its way out: look again
        ks_shm_detach();
        return false;
      }
      return __atomic_load_n(&si->status, __ATOMIC_ACQUIRE) == KS_SHM_STATUS_READY;
    });
  }
  // Exit status of a manager, -1 when it does not end within ms.
  int wait_exit(pid_t pid, int ms = 5000) {
    int st = 0;
    if (!wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, ms)) return -1;
    managers_.erase(std::remove(managers_.begin(), managers_.end(), pid), managers_.end());
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  // Sends a command as the console does → the reply code, -1 on time-out.
  int command(int code, const char *unit = "", const char *com = "", const char *param = "") {
    uint8_t msg[KS_CMD_BUFSZ];
    int n = ks_ps_make_command(msg, code, getpid(), unit, com, param);
    if (ks_ps_send(ks_shm_get_sys_ptr()->pid, msg, n) != 0) return -1;
    int result = -1;
    wait_until(
        [&] {
          uint8_t r[KS_CMD_BUFSZ];
          int rc;
          if (ks_shm_deq(getpid(), sizeof r, r, &rc) != 4) return false;
          result = int(ks::load_be32(r));
          return true;
        },
        30000);
    return result;
  }
  std::vector<ks_ps_task_t> entries() {
    std::vector<ks_ps_task_t> v;
    auto *ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
    for (int i = 0; i < 16; ++i)
      if (ps[i].pid != -1) v.push_back(ps[i]);
    return v;
  }
  int used_blocks() {
    const ks_shm_seg_t &g = ks_shm_get_sys_ptr()->seg[0];
    int n = 0;
    for (uint32_t b = 0; b < g.blen; ++b) n += ks_bit_test(g.bitmap, b);
    return n;
  }
  std::string fake_file(pid_t pid, const char *ext) {
    char b[64];
    snprintf(b, sizeof b, "tmp/fake_%d.%s", int(pid), ext);
    return home.file(b);
  }
  std::string args_of(pid_t pid) { return kstest::read_file(fake_file(pid, "args")); }
  // Every log line the manager wrote so far.
  std::string manager_log() {
    std::string all;
    for (const auto &f : std::filesystem::directory_iterator(home.file("log")))
      if (f.path().filename().string().rfind("kesmon", 0) == 0) all += kstest::read_file(f.path().string());
    return all;
  }
  // The processes of a component.
  std::vector<ks_ps_task_t> of(const char *com) {
    std::vector<ks_ps_task_t> v;
    const int c = ks_cfg_find_com(ks_cfg_area(), "U1", com);
    for (const auto &t : entries())
      if (t.comid == c) v.push_back(t);
    return v;
  }
  // Waits until the component runs n processes other than those of before, all started.
  std::vector<ks_ps_task_t> back(const char *com, const std::vector<ks_ps_task_t> &before, size_t n = 1) {
    std::vector<ks_ps_task_t> now;
    wait_until([&] {
      now = of(com);
      if (now.size() != n) return false;
      for (const auto &t : now) {
        if (t.status != 1) return false;
        for (const auto &b : before)
          if (b.pid == t.pid) return false;
      }
      return true;
    });
    return now;
  }
  bool stopped_cleanly(pid_t pid) { return kstest::file_exists(fake_file(pid, "stopped")); }

  kstest::TempHome home;
  std::unique_ptr<kstest::IpcGuard> guard;
  std::vector<pid_t> managers_;
  sighandler_t old_ = SIG_DFL;
};

TEST_F(Manager, RunsComponentsThroughTheQueueAndLeavesNothingBehind) {
  pid_t mgr = start_manager();
  ASSERT_TRUE(ready(mgr));
  ks_cfg_bh_t *bh = ks_cfg_area();
  ASSERT_NE(bh, nullptr);
  EXPECT_EQ(bh->n_comps, 6u);
  EXPECT_NE(ks_shm_get_q_ptr(), nullptr);
  EXPECT_EQ(entries().size(), 0u);
  const int idle_blocks = used_blocks();

  // A clustered source: one process per redo thread, each told its thread.
  ASSERT_EQ(command(KS_CMD_START_EXTRACT, "U1", "ERAC", "-sscn 100  -d"), 0);
  std::vector<ks_ps_task_t> e = entries();
  ASSERT_EQ(e.size(), 2u);
  const int erac = ks_cfg_find_com(bh, "U1", "ERAC");
  for (const auto &t : e) {
    EXPECT_EQ(t.comid, erac);
    EXPECT_EQ(t.com_uk, ks_cfg_coms(bh)[erac].com_uk);
  }
  ASSERT_TRUE(wait_until([&] {
    for (const auto &t : entries())
      if (t.status != 1) return false;
    return true;
  }));
  std::string a0 = args_of(e[0].pid), a1 = args_of(e[1].pid);
  EXPECT_EQ(a0, "-u U1 -c ERAC -t " + std::to_string(e[0].rsv) + " -sscn 100 -d");
  EXPECT_NE(e[0].rsv, e[1].rsv);
  EXPECT_TRUE(a1.find("-t ") != std::string::npos) << a1;
  EXPECT_TRUE(wait_until([&] { return used_blocks() == idle_blocks + 2; }));  // each holds 1 MiB

  EXPECT_EQ(command(KS_CMD_START_EXTRACT, "U1", "ERAC"), 99);  // already running
  EXPECT_EQ(command(KS_CMD_START_APPLY, "U1", "ERAC"), 99);    // not an apply
  EXPECT_EQ(command(KS_CMD_START_EXTRACT, "U1", "NOSUCH"), 99);
  EXPECT_EQ(command(KS_CMD_START_APPLY, "U1", "NOPROG"), 99);  // program missing
  EXPECT_EQ(command(9, "U1", "ERAC"), 99);
  EXPECT_EQ(entries().size(), 2u);

  // A single-instance source gets no thread option.
  ASSERT_EQ(command(KS_CMD_START_EXTRACT, "U1", "EONE"), 0);
  ASSERT_EQ(entries().size(), 3u);

  // Stop: both threads hear command 1, answer, free their memory and exit.
  ASSERT_EQ(command(KS_CMD_STOP_EXTRACT, "U1", "ERAC"), 0);
  EXPECT_TRUE(stopped_cleanly(e[0].pid));
  EXPECT_TRUE(stopped_cleanly(e[1].pid));
  // An acknowledged stop is trusted to finish; the exit may trail the reply a little.
  EXPECT_TRUE(wait_until([&] { return entries().size() == 1; }));
  e = entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(args_of(e[0].pid), "-u U1 -c EONE");
  EXPECT_EQ(command(KS_CMD_STOP_EXTRACT, "U1", "ERAC"), KS_REPLY_NOT_RUNNING);  // already stopped

  // A component killed outright: the manager reaps it and frees what it held.
  ASSERT_EQ(command(KS_CMD_START_APPLY, "U1", "A1"), 0);
  pid_t apply_pid = -1;
  for (const auto &t : entries())
    if (t.comid == ks_cfg_find_com(bh, "U1", "A1")) apply_pid = t.pid;
  ASSERT_GT(apply_pid, 0);
  ASSERT_TRUE(wait_until([&] { return used_blocks() == idle_blocks + 2; }));
  kill(apply_pid, SIGKILL);
  EXPECT_TRUE(wait_until([&] { return ks_ps_find(apply_pid) == nullptr; }));
  EXPECT_TRUE(wait_until([&] { return used_blocks() == idle_blocks + 1; }));
  EXPECT_EQ(command(KS_CMD_START_APPLY, "U1", "A1"), 0);  // and it can start again, before its restart
  EXPECT_EQ(of("A1").size(), 1u);

  // Stop manager: every component is stopped, then the segment and semaphores go.
  ASSERT_EQ(command(KS_CMD_STOP_MANAGER), 0);
  std::vector<ks_ps_task_t> last = entries();
  EXPECT_EQ(wait_exit(mgr), 0);
  for (const auto &t : last) EXPECT_TRUE(t.pid == -1 || kill(t.pid, 0) != 0);
  ks_shm_detach();
  EXPECT_TRUE(guard->gone());
}

TEST_F(Manager, OneManagerPerHomeAndADeadOnesSegmentIsReplaced) {
  pid_t first = start_manager();
  ASSERT_TRUE(ready(first));
  pid_t second = start_manager();
  EXPECT_EQ(wait_exit(second), 1);
  EXPECT_EQ(ks_shm_get_sys_ptr()->pid, first);
  EXPECT_EQ(kill(first, 0), 0);

  kill(first, SIGKILL);  // leaves its segment and semaphores behind
  EXPECT_EQ(wait_exit(first), 128 + SIGKILL);
  ks_shm_detach();
  EXPECT_FALSE(guard->gone());
  pid_t third = start_manager();
  ASSERT_TRUE(ready(third));
  EXPECT_EQ(command(KS_CMD_STOP_MANAGER), 0);
  EXPECT_EQ(wait_exit(third), 0);
  ks_shm_detach();
  EXPECT_TRUE(guard->gone());
}

// kill -9 of the manager leaves its components running, out of reach of any command;
// the next manager stops them in order (SIGTERM) instead of refusing to start.
TEST_F(Manager, ComponentsOfAKilledManagerAreStoppedByTheNextOne) {
  pid_t first = start_manager();
  ASSERT_TRUE(ready(first));
  ASSERT_EQ(command(KS_CMD_START_EXTRACT, "U1", "EONE"), 0);
  std::vector<ks_ps_task_t> e = entries();
  ASSERT_EQ(e.size(), 1u);
  ASSERT_TRUE(wait_until([&] { return entries().size() == 1 && entries()[0].status == 1; }));
  kill(first, SIGKILL);
  EXPECT_EQ(wait_exit(first), 128 + SIGKILL);
  ks_shm_detach();
  EXPECT_EQ(kill(e[0].pid, 0), 0);  // runs on, an orphan
  pid_t second = start_manager();
  ASSERT_TRUE(wait_until([&] { return ready(second); }, 15000));
  EXPECT_TRUE(stopped_cleanly(e[0].pid));
  EXPECT_EQ(entries().size(), 0u);
  ASSERT_EQ(command(KS_CMD_START_EXTRACT, "U1", "EONE"), 0);
  EXPECT_EQ(entries().size(), 1u);
  EXPECT_EQ(command(KS_CMD_STOP_MANAGER), 0);
  EXPECT_EQ(wait_exit(second, 15000), 0);
  ks_shm_detach();
  EXPECT_TRUE(guard->gone());
}

TEST_F(Manager, ComponentThatIgnoresStopIsKilled) {
  pid_t mgr = start_manager();
  ASSERT_TRUE(ready(mgr));
  ASSERT_EQ(command(KS_CMD_START_EXTRACT, "U1", "EONE", "-deaf"), 0);
  std::vector<ks_ps_task_t> e = entries();
  ASSERT_EQ(e.size(), 1u);
  ASSERT_TRUE(wait_until([&] { return entries().size() == 1 && entries()[0].status == 1; }));
  EXPECT_EQ(command(KS_CMD_STOP_EXTRACT, "U1", "EONE"), 0);
  EXPECT_EQ(entries().size(), 0u);
  EXPECT_NE(kill(e[0].pid, 0), 0);
  EXPECT_FALSE(stopped_cleanly(e[0].pid));
  // SIGTERM to the manager stops it like the stop command.
  kill(mgr, SIGTERM);
  EXPECT_EQ(wait_exit(mgr), 0);
  ks_shm_detach();
  EXPECT_TRUE(guard->gone());
}

// A component that ends without a clean stop comes back with the same options, after a
// delay that doubles with each failure in a row, up to its limit; the count of restarts
// is in its process-table entry. A clean end (its own, or a stop) is never followed by a
// restart, and a stop cancels one that is pending.
TEST_F(Manager, ComponentsThatDieComeBackUntilTheirLimit) {
  pid_t mgr = start_manager();
  ASSERT_TRUE(ready(mgr));
  ASSERT_EQ(command(KS_CMD_START_APPLY, "U1", "A1", "-scn 5 -xid 7"), 0);
  std::vector<ks_ps_task_t> a = back("A1", {});
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].restarts, 0u);
  for (uint32_t n = 1; n <= 3; ++n) {
    kill(a[0].pid, SIGKILL);
    std::vector<ks_ps_task_t> again = back("A1", a);
    ASSERT_EQ(again.size(), 1u) << manager_log();
    EXPECT_EQ(again[0].restarts, n);
    EXPECT_EQ(args_of(again[0].pid), "-u U1 -c A1 -scn 5 -xid 7");
    a = again;
  }
  std::string log = manager_log();
  for (const char *delay : {"in 200 ms (failure 1 of at most 10", "in 400 ms (failure 2", "in 800 ms (failure 3"})
    EXPECT_NE(log.find(delay), std::string::npos) << delay << "\n" << log;
  EXPECT_NE(log.find("component \"U1\".\"A1\" (process "), std::string::npos) << log;
  EXPECT_NE(log.find("killed by signal 9 without a clean stop"), std::string::npos) << log;

  // An end of its own with status 0 (SIGTERM is an orderly stop) is clean.
  kill(a[0].pid, SIGTERM);
  EXPECT_TRUE(wait_until([&] { return of("A1").empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(of("A1").empty());
  EXPECT_EQ(command(KS_CMD_STOP_APPLY, "U1", "A1"), KS_REPLY_NOT_RUNNING);

  // A stop while the restart is pending cancels it.
  ASSERT_EQ(command(KS_CMD_START_APPLY, "U1", "A1"), 0);
  a = back("A1", {});
  ASSERT_EQ(a.size(), 1u);
  kill(a[0].pid, SIGKILL);
  ASSERT_TRUE(wait_until([&] { return of("A1").empty(); }));
  EXPECT_EQ(command(KS_CMD_STOP_APPLY, "U1", "A1"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(of("A1").empty());

  // Limit 1: one restart, then it stays down; restarts off: none.
  ASSERT_EQ(command(KS_CMD_START_APPLY, "U1", "ONCE"), 0);
  std::vector<ks_ps_task_t> o = back("ONCE", {});
  ASSERT_EQ(o.size(), 1u);
  kill(o[0].pid, SIGKILL);
  std::vector<ks_ps_task_t> o2 = back("ONCE", o);
  ASSERT_EQ(o2.size(), 1u);
  kill(o2[0].pid, SIGKILL);
  ASSERT_EQ(command(KS_CMD_START_APPLY, "U1", "AOFF"), 0);
  std::vector<ks_ps_task_t> f = back("AOFF", {});
  ASSERT_EQ(f.size(), 1u);
  kill(f[0].pid, SIGKILL);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(of("ONCE").empty());
  EXPECT_TRUE(of("AOFF").empty());
  log = manager_log();
  EXPECT_NE(log.find("\"U1\".\"ONCE\" failed 2 times in a row: not restarted again (limit 1)"), std::string::npos)
      << log;
  EXPECT_NE(log.find("automatic restart of \"U1\".\"AOFF\" is off"), std::string::npos) << log;

  // A clustered source comes back whole: the thread still running stops in order first.
  ASSERT_EQ(command(KS_CMD_START_EXTRACT, "U1", "ERAC"), 0);
  std::vector<ks_ps_task_t> r = back("ERAC", {}, 2);
  ASSERT_EQ(r.size(), 2u);
  kill(r[0].pid, SIGKILL);
  std::vector<ks_ps_task_t> r2 = back("ERAC", r, 2);
  ASSERT_EQ(r2.size(), 2u) << manager_log();
  EXPECT_TRUE(stopped_cleanly(r[1].pid));
  for (const auto &t : r2) EXPECT_EQ(t.restarts, 1u);
  EXPECT_NE(r2[0].rsv, r2[1].rsv);

  ASSERT_EQ(command(KS_CMD_STOP_MANAGER), 0);
  EXPECT_EQ(wait_exit(mgr), 0);
  ks_shm_detach();
  EXPECT_TRUE(guard->gone());
}

}  // namespace
