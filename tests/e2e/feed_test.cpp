// Capture through the reader agent (remote=yes) end to end: the agent and its workers
// killed in the middle of a run and started again, a worker stalled past net_timeout,
// and logs read only from their archived copies, all through kesfeed on the loopback.
// The target ends equal to the source, with nothing lost or delivered twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;
using kstest::SourceOpts;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The agent of one test: its daemon and workers, found by pid and parent pid, and
// killed by pid when the test ends.
struct Agent {
  E2eEnv &env;
  int port = kstest::free_port();
  std::string home = env.path("feed");

  explicit Agent(E2eEnv &e) : env(e) {
    mkdir(home.c_str(), 0755);
    kstest::write_file(home + "/kesfeed.conf", "allow " + env.path("sim") + "\n");
  }
  ~Agent() { kill_all(); }
  bool start() const {
    std::string out;
    return env.sh("KESFEED_HOME=" + home + " bin/kesfeed -a 127.0.0.1 -p " + std::to_string(port) + " start", &out) ==
           0;
  }
  pid_t daemon() const {
    std::string pid = kstest::read_file(home + "/kesfeed.pid");
    if (pid.empty() || kstest::read_file("/proc/" + pid + "/cmdline").find("kesfeed") == std::string::npos) return -1;
    return std::stoi(pid);
  }
  std::vector<pid_t> workers() const {
    std::vector<pid_t> out;
    const pid_t d = daemon();
    if (d < 0) return out;
    std::string kids = kstest::read_file("/proc/" + std::to_string(d) + "/task/" + std::to_string(d) + "/children");
    size_t p = 0;
    while (p < kids.size()) {
      size_t e = kids.find(' ', p);
      if (e == std::string::npos) e = kids.size();
      if (e > p) out.push_back(std::stoi(kids.substr(p, e - p)));
      p = e + 1;
    }
    return out;
  }
  void kill_all() const {
    const pid_t d = daemon();
    if (d < 0) return;
    std::vector<pid_t> w = workers();
    kill(d, SIGKILL);
    for (pid_t p : w) {
      kill(p, SIGCONT);
      kill(p, SIGKILL);
    }
    for (int i = 0; i < 100 && kill(d, 0) == 0; i++) sleep_ms(20);
  }
};

const std::string kMix = "--concurrency 4 --rollback 10 --multi 20 --savepoint 20 ";

TEST(RemoteReader, CaptureThroughTheAgentOutlivesItsDeathAStallAndReadsArchivedCopies) {
  E2eEnv env(SourceOpts{"", 1, "", true});
  ASSERT_TRUE(env.ok()) << env.why();
  Agent agent(env);
  ASSERT_TRUE(agent.start());
  env.set_source_items("remote=yes", "agent_port=" + std::to_string(agent.port));
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure("tables=(oltp.*)", "", "net_timeout=2")) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  ASSERT_EQ(agent.workers().size(), 1u);

  // The agent and its worker die in the middle of a run with log switches; the extract
  // waits for it and goes on where it was once it is back.
  ASSERT_TRUE(env.start_workload(kMix + "--txns 600 --seed 11 --switch-every 30"));
  sleep_ms(1000);
  agent.kill_all();
  sleep_ms(500);
  ASSERT_TRUE(agent.start());
  ASSERT_TRUE(env.wait_workload()) << env.why();
  EXPECT_TRUE(env.wait_identical(90)) << env.last_diff() << env.component_log("ext1");
  std::string log = env.component_log("ext1");
  EXPECT_NE(log.find("agent not avaliable, retry after 10 seconds."), std::string::npos) << log;

  // A worker that stops answering: after net_timeout the extract drops the connection and
  // is served by a new worker; the stalled one ends once it runs again.
  // Reconnected: its next look for redo, after a wait of up to 10 seconds, brings a worker.
  for (int i = 0; i < 300 && agent.workers().size() != 1; i++) sleep_ms(50);
  std::vector<pid_t> w = agent.workers();
  ASSERT_EQ(w.size(), 1u);
  ASSERT_EQ(kill(w[0], SIGSTOP), 0);
  ASSERT_TRUE(env.start_workload(kMix + "--txns 300 --seed 12 --switch-every 40"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  EXPECT_TRUE(env.wait_identical(90)) << env.last_diff() << env.component_log("ext1");
  kill(w[0], SIGCONT);
  EXPECT_NE(env.error_log().find("Wait data from agent timeout."), std::string::npos) << env.error_log();
  for (int i = 0; i < 100 && agent.workers().size() != 1; i++) sleep_ms(50);
  EXPECT_EQ(agent.workers().size(), 1u);

  // With extract stopped the workload switches through more logs than there are groups:
  // that redo is read from the archived copies, through the agent too.
  ASSERT_TRUE(env.stop_extract()) << env.why();
  ASSERT_TRUE(env.start_workload(kMix + "--txns 300 --seed 13 --switch-every 40"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.start_extract()) << env.why();
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("ext1");
  log = env.component_log("ext1");
  EXPECT_NE(log.find("/archivelog/"), std::string::npos) << log;
  EXPECT_EQ(env.error_file_size(), 0);
  std::string out;
  EXPECT_EQ(env.sh("KESFEED_HOME=" + agent.home + " bin/kesfeed stop", &out), 0);
  EXPECT_EQ(out, "kesfeed server terminated !\n\n");
}

}  // namespace
