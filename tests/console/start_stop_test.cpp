// start and stop: without a manager, against a manager played by this test (the
// messages on the queue and the replies that decide each result), against a stand-in
// manager program started by kesh itself, and end to end with the real manager and a
// stand-in component when the manager is built.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/kesh.h"
#include "lib/bytes.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "tests/console/session.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace {

using kstest::run_kesh;

void noop(int) {}

// Standard error of this process, captured while a console function runs in-process.
class CaptureStderr {
 public:
  CaptureStderr() {
    fflush(stderr);
    saved_ = dup(2);
    std::snprintf(path_, sizeof path_, "/tmp/kesh_err.XXXXXX");
    int fd = mkstemp(path_);
    dup2(fd, 2);
    close(fd);
  }
  std::string done() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    std::string s = kstest::read_file(path_);
    unlink(path_);
    return s;
  }

 private:
  int saved_;
  char path_[64];
};

TEST(StartStop, WithoutManagerStartsAskForItAndStopsReportNothingRunning) {
  kstest::TempHome home;
  kstest::IpcGuard guard;
  auto r = run_kesh(
      "start extract u1.e1\n"
      "start extract\n"
      "start apply u1.a1 param text\n"
      "stop extract u1.e1\n"
      "stop apply u1.a1\n"
      "stop manager\n"
      "start engine\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "Start manager first.\nStart manager first.\nStart manager first.\n"
            "Extract not started.\nApply not started.\nManager not started.\n"
            "Unknown server type \"engine\".\n");
  auto count = [&](const std::string &t) {
    size_t n = 0;
    for (size_t p = r.out.find(t); p != std::string::npos; p = r.out.find(t, p + 1)) n++;
    return n;
  };
  // Nothing was started or stopped: every one of them failed.
  EXPECT_EQ(count("complete."), 0u) << r.out;
  EXPECT_EQ(count("Command \"start\" execute error"), 4u) << r.out;
  EXPECT_EQ(count("Command \"stop\" execute error"), 3u) << r.out;
  EXPECT_TRUE(guard.gone());
}

// This test process plays the manager: it owns the segment and answers from a thread.
class PlayedManager : public ::testing::Test {
 protected:
  struct Got {
    int len;
    ks_ps_cmd_t cmd;
  };
  void SetUp() override {
    ASSERT_TRUE(kstest::set_config_header(32 * 1024 * 1024));
    ASSERT_EQ(ks_shm_create(), 0) << ks_log_get_message();
    ks_shm_mark_sys_used();  // before the queue, which must not land on the header
    ASSERT_EQ(ks_shm_q_create(), 0);
    ks_shm_get_sys_ptr()->status = KS_SHM_STATUS_READY;
    struct sigaction sa {};
    sa.sa_handler = noop;
    sigaction(KS_CMD_SIGNAL, &sa, &old_);
  }
  void TearDown() override {
    stop_ = true;
    if (server_.joinable()) server_.join();
    sigaction(KS_CMD_SIGNAL, &old_, nullptr);
  }
  // Answers every command: reply_for(code) → reply, or -1 to stay silent.
  template <typename F>
  void serve(F reply_for) {
    server_ = std::thread([this, reply_for] {
      while (!stop_) {
        uint8_t buf[KS_CMD_BUFSZ];
        int rc = 0;
        int n = ks_shm_deq(int(getpid()), sizeof buf, buf, &rc);
        if (n < 0) {
          usleep(5000);
          continue;
        }
        Got g{n, {}};
        ks_ps_parse_command(buf, n, &g.cmd);
        {
          std::lock_guard<std::mutex> l(mu_);
          got_.push_back(g);
        }
        int reply = reply_for(g.cmd.code);
        if (reply >= 0) ks_ps_reply(g.cmd.pid, reply);
      }
    });
  }
  std::vector<Got> got() {
    std::lock_guard<std::mutex> l(mu_);
    return got_;
  }

  kstest::TempHome home;
  kstest::IpcGuard guard;
  std::thread server_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Got> got_;
  struct sigaction old_ {};
};

TEST_F(PlayedManager, RequestsCarryTheCommandAndTheReplyDecidesTheResult) {
  serve([](int code) { return code == KS_CMD_START_APPLY ? KS_REPLY_FAIL : KS_REPLY_OK; });
  kstest::KeshSession s;
  s.write(
      "start extract u1.e1 -x 'y z'\n"
      "stop extract u1.e1\n"
      "start apply u1.a1\n"
      "stop apply u1.a1\n"
      "stop manager\n");
  const pid_t kesh = s.pid();
  ASSERT_EQ(s.finish(), 0);
  EXPECT_EQ(s.err(), "Start apply error.\nStop manager success.\n");
  const char *results[] = {"\nCommand \"start\" complete.\n", "\nCommand \"stop\" complete.\n",
                           "\nCommand \"start\" execute error\n", "\nCommand \"stop\" complete.\n",
                           "\nCommand \"stop\" complete.\n"};
  size_t at = 0;
  for (const char *want : results) {
    at = s.out().find(want, at);
    ASSERT_NE(at, std::string::npos) << want << " in " << s.out();
    at++;
  }
  std::vector<Got> g = got();
  ASSERT_EQ(g.size(), 5u);
  const int codes[] = {3, 4, 5, 6, 2};
  const int lens[] = {72 + 8 + 1, 72, 72 + 1, 72, 8};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(g[size_t(i)].cmd.code, codes[i]);
    EXPECT_EQ(g[size_t(i)].len, lens[i]) << i;
    EXPECT_EQ(g[size_t(i)].cmd.pid, g[0].cmd.pid);
  }
  EXPECT_EQ(g[0].cmd.pid, kesh);
  EXPECT_STREQ(g[0].cmd.unit, "u1");
  EXPECT_STREQ(g[0].cmd.com, "e1");
  EXPECT_STREQ(g[0].cmd.param, "-x 'y z'");
  EXPECT_STREQ(g[2].cmd.com, "a1");
  EXPECT_STREQ(g[2].cmd.param, "");
  // Nothing is left on the queue for anyone.
  EXPECT_EQ(ks_shm_q_count(-1), 0);
}

TEST_F(PlayedManager, SilentManagerTimesOutAndAnOldReplyIsNotTakenForTheAnswer) {
  // The manager is another process that never answers (and ignores the command signal).
  pid_t mgr = fork();
  ASSERT_GE(mgr, 0);
  if (mgr == 0) {
    signal(KS_CMD_SIGNAL, SIG_IGN);
    for (int i = 0; i < 600; ++i) usleep(100000);
    _exit(0);
  }
  ks_shm_get_sys_ptr()->pid = mgr;
  uint8_t stale[4];
  ks::store_be32(stale, 0);
  ASSERT_EQ(ks_shm_enq(int(getpid()), 4, stale), 0);  // left over from an earlier request
  ks_set_reply_wait(1);
  CaptureStderr cap;
  int rc = ks_start_extract("u1", "e1", "");
  std::string err = cap.done();
  ks_set_reply_wait(30);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err, "Receive command reply time out.\n");
  // The request waits for the manager, untouched.
  EXPECT_EQ(ks_shm_q_count(mgr), 1);
  kill(mgr, SIGKILL);
  waitpid(mgr, nullptr, 0);
  // A segment whose manager is gone counts as no manager at all.
  CaptureStderr cap2;
  rc = ks_stop_extract("u1", "e1");
  EXPECT_EQ(cap2.done(), "Extract not started.\n");
  EXPECT_EQ(rc, -1);
}

// kesh starts the manager program itself: here a stand-in that only answers.
class StartedManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kstest::set_config_header(32 * 1024 * 1024));
    link_ = home.file("bin/kesmon");
    ASSERT_EQ(symlink((std::string(KS_BIN_DIR) + "/ks_fake_kesmon").c_str(), link_.c_str()), 0);
  }
  void TearDown() override {
    std::string pid = kstest::read_file(home.file("tmp/kesmon.pid"));
    if (!pid.empty()) kill(pid_t(std::atoi(pid.c_str())), SIGKILL);
    unsetenv("KS_FAKE_MANAGER");
  }
  kstest::TempHome home;
  kstest::IpcGuard guard;
  std::string link_;
};

TEST_F(StartedManager, StartManagerRunsItOnceAndStopManagerEndsIt) {
  kstest::KeshSession s;
  const pid_t kesh = s.pid();
  s.write("start manager\nstart manager\nstart extract u1.e1 now\nstop manager\nstop manager\n");
  ASSERT_EQ(s.finish(), 0);
  EXPECT_EQ(s.err(), "Manager startup already.\nStop manager success.\nManager not started.\n");
  const char *results[] = {"\"start\" complete.", "\"start\" execute error", "\"start\" complete.",
                           "\"stop\" complete.", "\"stop\" execute error"};
  size_t at = 0;
  for (const char *want : results) {
    at = s.out().find(want, at);
    ASSERT_NE(at, std::string::npos) << want << " in " << s.out();
  }
  std::string log = kstest::read_file(home.file("tmp/kesmon.log"));
  EXPECT_EQ(log, "args -id " + std::to_string(kesh) + "\ncmd 3 u1 e1 [now]\ncmd 2   []\nexit\n");
  for (int i = 0; i < 100 && !guard.gone(); ++i) usleep(20000);
  EXPECT_TRUE(guard.gone());
}

TEST_F(StartedManager, ManagerThatNeverGetsReadyFailsTheStart) {
  setenv("KS_FAKE_MANAGER", "nostatus", 1);
  auto r = run_kesh("start manager\n");
  EXPECT_EQ(r.err, "Manager run error status.\n");
  EXPECT_NE(r.out.find("Command \"start\" execute error"), std::string::npos);
}

TEST_F(StartedManager, MissingManagerProgramFailsAtOnce) {
  unlink(link_.c_str());
  auto r = run_kesh("start manager\n");
  EXPECT_EQ(r.err, "New process execute error.\nexecv(): No such file or directory\n");
  EXPECT_NE(r.out.find("Command \"start\" execute error"), std::string::npos);
}

// The real manager, when it is built: start it, start and stop a component, stop it.
TEST(EndToEnd, ManagerStartsAndStopsAComponent) {
  const std::string kesmon = std::string(KS_BIN_DIR) + "/kesmon";
  if (!kstest::file_exists(kesmon)) GTEST_SKIP() << "kesmon is not built in this tree";
  kstest::TempHome home;
  kstest::IpcGuard guard;
  ASSERT_TRUE(kstest::set_config_header(32 * 1024 * 1024));
  ASSERT_EQ(symlink(kesmon.c_str(), home.file("bin/kesmon").c_str()), 0);
  ASSERT_EQ(symlink((std::string(KS_BIN_DIR) + "/ks_test_component").c_str(), home.file("bin/extract").c_str()), 0);
  ASSERT_EQ(run_kesh("add unit u1;\nadd extract e1 (unit=u1);\nsave config\n").status, 0);

  kstest::KeshSession s;
  s.write("start manager\n");
  ASSERT_TRUE(s.wait_for("Command \"start\"", 30)) << s.err();
  ASSERT_NE(s.out().find("Command \"start\" complete."), std::string::npos) << s.err();
  size_t mark = s.out().size();
  s.write("start extract u1.e1\n");
  ASSERT_TRUE(s.wait_for("Command \"start\"", 40, mark));
  EXPECT_NE(s.out().find("Command \"start\" complete.", mark), std::string::npos) << s.err();
  for (int i = 0; i < 200 && !kstest::file_exists(home.file("tmp/e1.started")); ++i) usleep(50000);
  EXPECT_TRUE(kstest::file_exists(home.file("tmp/e1.started")));
  mark = s.out().size();
  s.write("stop extract u1.e1\n");
  ASSERT_TRUE(s.wait_for("Command \"stop\"", 40, mark));
  EXPECT_NE(s.out().find("Command \"stop\" complete.", mark), std::string::npos) << s.err();
  for (int i = 0; i < 200 && !kstest::file_exists(home.file("tmp/e1.stopped")); ++i) usleep(50000);
  EXPECT_TRUE(kstest::file_exists(home.file("tmp/e1.stopped")));
  // Stopping what no longer runs, and a start whose process ends at once, are failures.
  mark = s.out().size();
  s.write("stop extract u1.e1\nstart extract u1.e1 -fail\n");
  ASSERT_TRUE(s.wait_for("Command \"start\"", 40, mark));
  EXPECT_NE(s.out().find("Command \"stop\" execute error", mark), std::string::npos) << s.out();
  EXPECT_NE(s.out().find("Command \"start\" execute error", mark), std::string::npos) << s.out();
  EXPECT_NE(s.err().find("Extract not started.\nStart extract error.\nextract \"u1.e1\" ended at once; the reason "
                         "is in the error log of unit \"u1\".\n"),
            std::string::npos)
      << s.err();
  mark = s.out().size();
  s.write("stop manager\n");
  ASSERT_TRUE(s.wait_for("Command \"stop\"", 40, mark));
  EXPECT_EQ(s.finish(), 0);
  EXPECT_NE(s.err().find("Stop manager success.\n"), std::string::npos) << s.err();
  for (int i = 0; i < 100 && !guard.gone(); ++i) usleep(50000);
  EXPECT_TRUE(guard.gone());
}

}  // namespace
