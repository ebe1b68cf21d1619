// Thousands of transactions open at once on the source. Captured exactly through a clean
// stop and a kill -9 of extract in the middle of them, so that a save file with
// thousands of slots is written, read back and resumed from; and, with max_trans below
// the number open, a stop before the record that would open one more, which the manager
// leaves to the operator and which ends once max_trans has been raised, with nothing
// lost or delivered twice.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "lib/bytes.h"
#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The extract's save file: open transactions (its header's second word) and generation
// (its fourth), -1 without one.
long saved_open(const E2eEnv &env, long *gen = nullptr) {
  const std::string f = kstest::read_file(env.path("data/u1/t_ext1.trans"));
  if (gen != nullptr) *gen = f.size() < 16 ? -1 : long(ks::load<uint32_t>(f.data() + 12));
  return f.size() < 16 ? -1 : long(ks::load<uint32_t>(f.data() + 4));
}

// Waits until a running extract has saved more than `open` transactions in a generation
// other than `old_gen` → that generation, -1 when the time is up.
long wait_saved_open(const E2eEnv &env, long open, long old_gen) {
  for (int w = 0; w < 60000; w += 20) {
    long gen = -1;
    if (saved_open(env, &gen) > open && gen != old_gen) return gen;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

// The checkpoint's redo position as the extract's messages print it.
std::string checkpoint_rba(const E2eEnv &env) {
  const std::string f = kstest::read_file(env.path("data/u1/ext1.ckp"));
  if (f.size() < 20) return "?";
  char b[40];
  snprintf(b, sizeof b, "%06x.%08x.%04x", ks::load<uint32_t>(f.data() + 8), ks::load<uint32_t>(f.data() + 12),
           ks::load<uint32_t>(f.data() + 16));
  return b;
}

int count(const std::string &hay, const std::string &needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

bool wait_exit(const E2eEnv &env, int timeout_s) {
  for (int w = 0; w < timeout_s * 1000; w += 50) {
    if (env.pid_of("ext1") <= 0) return true;
    sleep_ms(50);
  }
  return false;
}

TEST(OpenTransactions, TwoThousandOpenAtOnceThroughStopAndKillNineEndIdentical) {
  E2eEnv env;
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  // 2,000 sessions each holding a transaction open over several changes, with rollbacks
  // and savepoint rollbacks, for at least eight seconds. The extract is stopped once it
  // has saved more than 1,000 open transactions, and killed once the next run has.
  ASSERT_TRUE(
      env.start_workload("--txns 8000 --concurrency 2000 --rate 1000 --realtime --rollback 10 --savepoint 10 "
                         "--seed 11"));
  long gen = wait_saved_open(env, 1000, -1);
  ASSERT_GT(gen, 0) << env.component_log("ext1");
  ASSERT_TRUE(env.stop_extract()) << env.why();
  EXPECT_GT(saved_open(env, &gen), 1000) << "open transactions saved at the stop";
  ASSERT_TRUE(env.start_extract(true, "")) << env.why();
  ASSERT_GT(wait_saved_open(env, 1000, gen), 0) << env.component_log("ext1");
  ASSERT_TRUE(env.kill_extract());
  // The restart resumes from what the killed run saved while it ran.
  ASSERT_TRUE(env.reset_extract_checkpoint()) << env.why();
  ASSERT_TRUE(env.start_extract(true, "")) << env.why();
  ASSERT_TRUE(env.wait_workload()) << env.why();
  EXPECT_TRUE(env.wait_identical(120)) << env.last_diff() << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  EXPECT_EQ(env.unexpected_errors(), "");
}

// The operator's side of the limit: the stop names max_trans, the checkpoint stays before
// the record, the manager does not restart the extract although restarts are on, a start
// with the same configuration stops at the same record, one with max_trans below the
// saved transactions at once, and a start after max_trans is raised with kesh captures
// everything.
TEST(OpenTransactions, MaxTransBelowTheOpenCountStopsForTheOperatorAndResumesOnceRaised) {
  // Short restart delays, so that a restart the manager should not make would be seen.
  setenv("KESMON_RESTART_MS", "200", 1);
  E2eEnv env;
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  env.set_restart("5");
  ASSERT_TRUE(env.configure("tables=(oltp.*)", "", "max_trans=1000")) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  unsetenv("KESMON_RESTART_MS");
  ASSERT_TRUE(env.start_workload("--txns 3000 --concurrency 2000 --rollback 10 --seed 21"));
  ASSERT_TRUE(env.wait_workload()) << env.why();

  const std::string limit = "1000 transactions are open, the most max_trans allows: raise the max_trans parameter of";
  const std::string stops = "capture stops before the redo record at rba=";
  ASSERT_TRUE(wait_exit(env, 60)) << env.component_log("ext1");
  std::string log = env.component_log("ext1");
  ASSERT_EQ(count(log, limit), 1) << log;
  const std::string rba = checkpoint_rba(env);
  ASSERT_EQ(count(log, stops + rba + "."), 1) << rba << "\n" << log;
  EXPECT_EQ(saved_open(env), 1000);
  EXPECT_NE(env.manager_log().find("stopped with status 78: its configuration must change"), std::string::npos)
      << env.manager_log();
  sleep_ms(1500);  // several restart delays
  EXPECT_EQ(env.pid_of("ext1"), -1) << env.manager_log();
  EXPECT_EQ(count(env.manager_log(), "will be restarted"), 0) << env.manager_log();

  // Started again unchanged, it takes back the 1,000 it saved and stops at the same record.
  // (kesh may already see it end, and say so.)
  std::string out;
  env.kesh("start extract u1.ext1", &out);
  for (int w = 0; w < 60000 && count(env.component_log("ext1"), stops) < 2; w += 50) sleep_ms(50);
  ASSERT_TRUE(wait_exit(env, 60)) << env.component_log("ext1");
  log = env.component_log("ext1");
  EXPECT_EQ(count(log, limit), 2) << log;
  EXPECT_EQ(count(log, stops + rba + "."), 2) << log;
  EXPECT_EQ(checkpoint_rba(env), rba);

  // Lowered below what the save file holds, it stops at its start, for the operator too,
  // and leaves the saved transactions and the position as they were.
  const std::string lowered = "holds 1000 open transactions, more than max_trans (500) allows: raise the max_trans";
  ASSERT_TRUE(env.kesh("modify extract u1.ext1 (max_trans=500);\nsave config\nreload config", &out)) << out;
  env.kesh("start extract u1.ext1", &out);
  for (int w = 0; w < 60000 && count(env.component_log("ext1"), lowered) < 1; w += 50) sleep_ms(50);
  ASSERT_TRUE(wait_exit(env, 60)) << env.component_log("ext1");
  EXPECT_EQ(count(env.manager_log(), "stopped with status 78"), 3) << env.manager_log();
  EXPECT_EQ(saved_open(env), 1000);
  EXPECT_EQ(checkpoint_rba(env), rba);

  ASSERT_TRUE(env.kesh("modify extract u1.ext1 (max_trans=4000);\nsave config\nreload config", &out)) << out;
  ASSERT_TRUE(env.start_extract(true, "")) << env.why();
  EXPECT_TRUE(env.wait_identical(120)) << env.last_diff() << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  EXPECT_GT(env.pid_of("ext1"), 0);
  // The stops are the only reports (each message follows its header line).
  std::vector<std::string> lines;
  const std::string errors = env.unexpected_errors();
  for (size_t b = 0, e; b < errors.size(); b = e + 1) {
    e = errors.find('\n', b);
    if (e == std::string::npos) e = errors.size();
    lines.push_back(errors.substr(b, e - b));
    for (const std::string &expected : {limit, stops, lowered, std::string("recovery continued transaction error.")})
      if (lines.back().find(expected) != std::string::npos) {
        lines.resize(lines.size() >= 2 ? lines.size() - 2 : 0);
        break;
      }
  }
  std::string unexpected;
  for (const auto &l : lines)
    if (!l.empty()) unexpected += l + "\n";
  EXPECT_EQ(unexpected, "") << errors;
}

}  // namespace
