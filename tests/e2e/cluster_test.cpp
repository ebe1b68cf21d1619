// A clustered source end to end: one extract process per redo thread, apply merging the
// threads' trails in commit order. Updates of the same rows come from different instances,
// so a transaction applied out of order leaves a wrong value behind and orasim diff sees
// it; a doubled or lost one shows the same way (or as an apply error).
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// After a crash of one of its processes, the operator stops what is left of the extract
// and starts it again (the manager's restart is off in these tests).
bool restart_extract(E2eEnv &env, int thread) {
  return env.stop_extract() && env.reset_extract_checkpoint(thread) && env.start_extract();
}

// Two instances: work spread over both, then instance 2 idle while instance 1 works, then
// instance 2 shut down between two runs and its extract restarted while it is down.
TEST(ClusterE2e, TwoThreadsIdleAndShutDownInstance) {
  E2eEnv env(kstest::SourceOpts{.instances = 2});
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();

  // Instance 2 idle from the start: its extract creates its trail with a heartbeat alone,
  // or apply, waiting for every thread's trail, would never begin.
  ASSERT_TRUE(env.start_workload("--instance 1 --txns 100 --rate 400 --realtime --concurrency 2 --seed 10"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.wait_identical(30)) << env.last_diff() << env.component_log("app1");

  ASSERT_TRUE(env.start_workload("--instances 1,2 --txns 800 --rate 400 --realtime --concurrency 4 --seed 11"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("app1");

  // Instance 2 idle for two minutes while instance 1 works: apply keeps up all along (the
  // target matches half-way and at the end), as thread 2's extract tells how far its
  // thread is known to be complete.
  for (int half = 0; half < 2; half++) {
    ASSERT_TRUE(env.start_workload("--instance 1 --txns 1200 --rate 20 --realtime --concurrency 2 --seed " +
                                   std::to_string(12 + 100 * half)));
    ASSERT_TRUE(env.wait_workload(120)) << env.why();
    ASSERT_TRUE(env.wait_identical(10)) << env.last_diff() << env.component_log("app1");
  }

  // Instance 2 shut down in the middle: its thread is closed and archived, its extract
  // reads it to its end. Started again while the instance is down, it connects through
  // instance 1 and still reads thread 2.
  ASSERT_TRUE(env.start_workload("--instances 1,2 --txns 400 --rate 400 --realtime --concurrency 4 --seed 13"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  std::string out;
  ASSERT_EQ(env.sh("bin/orasim shutdown -d sim -n SRC --instance 2", &out), 0) << out;
  ASSERT_TRUE(env.start_workload("--instance 1 --txns 400 --rate 400 --realtime --concurrency 2 --seed 14"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("app1");
  ASSERT_TRUE(env.kill_extract(2) && restart_extract(env, 2)) << env.why() << env.component_log("ext1_2");
  EXPECT_NE(env.component_log("ext1_2").find("connected to SRC through instance SRC1"), std::string::npos)
      << env.component_log("ext1_2");
  ASSERT_TRUE(env.start_workload("--instance 1 --txns 300 --rate 400 --realtime --concurrency 2 --seed 15"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  // The down instance is reported as a warning; nothing is an error.
  EXPECT_EQ(env.unexpected_errors().find("ERROR"), std::string::npos) << env.unexpected_errors();
}

// The target's rows of OLTP.HOLD as "ID=V;" in ID order.
std::string target_rows(const E2eEnv &env) {
  std::string rows;
  sqlite3 *db = nullptr;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_open_v2(env.path("sim/TGT.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "select ID, V from \"OLTP.HOLD\" order by ID", -1, &st, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    while (sqlite3_step(st) == SQLITE_ROW)
      rows += std::to_string(sqlite3_column_int64(st, 0)) + "=" + std::to_string(sqlite3_column_int64(st, 1)) + ";";
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

// Three instances, trails rolling over every MiB, and 20 rounds of work on all three
// instances, each with a kill -9 of one randomly chosen extract process or of apply at a
// random moment. The target must stay equal to the source and apply must report nothing.
TEST(ClusterE2e, ThreeThreadsKilledAtRandomOverTwentyRounds) {
  const unsigned seed = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  E2eEnv env(kstest::SourceOpts{.instances = 3});
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure("tables=(oltp.*)", "", "trail_size=1")) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  for (int round = 0; round < 20; round++) {
    const int victim = int(rng() % 4);  // 0: apply, else that thread's extract
    SCOPED_TRACE("round " + std::to_string(round) + ", victim " + std::to_string(victim));
    ASSERT_TRUE(env.start_workload("--instances 1,2,3 --txns 600 --rate 800 --realtime --concurrency 4 --seed " +
                                   std::to_string(100 + round)));
    sleep_ms(int(100 + rng() % 600));
    if (victim == 0) {
      ASSERT_TRUE(env.kill_apply() && env.start_apply()) << env.why();
    } else {
      ASSERT_TRUE(env.kill_extract(victim) && restart_extract(env, victim))
          << env.why() << env.component_log(("ext1_" + std::to_string(victim)).c_str());
    }
    ASSERT_TRUE(env.wait_workload()) << env.why();
    if (round % 5 == 4) {
      ASSERT_TRUE(env.wait_identical(90)) << env.last_diff() << env.component_log("app1");
    }
    ASSERT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  }
  // Several files per thread: the kills came around roll-overs too.
  EXPECT_TRUE(kstest::file_exists(env.path("data/u1/ext1_3_1.dat")));
  EXPECT_EQ(env.unexpected_errors(), "");
}

// Thread 2's extract held back (stopped) while both instances update one row in turn:
// apply must not pass what thread 2 delivered, so none of these updates reaches the
// target (applying thread 1's alone would leave its values there). Released, it catches up.
TEST(ClusterE2e, ApplyWaitsForTheThreadHeldBack) {
  kstest::SourceOpts opts{.instances = 2};
  opts.setup_script =
      "CREATE TABLE OLTP.HOLD (ID NUMBER, V NUMBER, PRIMARY KEY (ID));\n"
      "INSERT INTO OLTP.HOLD VALUES (1, 0); COMMIT;\n";
  E2eEnv env(opts);
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  const pid_t held = env.pid_of_thread("ext1", 2);
  ASSERT_GT(held, 0);
  ASSERT_EQ(kill(held, SIGSTOP), 0);
  struct Release {
    pid_t pid;
    ~Release() { kill(pid, SIGCONT); }
  } release{held};
  std::string script, out;
  for (int i = 1; i <= 20; i++)
    script += "INSTANCE " + std::to_string(2 - i % 2) + "; UPDATE OLTP.HOLD SET V = " + std::to_string(i) +
              " WHERE ID = 1; COMMIT;\n";
  script += "INSTANCE 1; INSERT INTO OLTP.HOLD VALUES (2, 21); COMMIT;\n";
  ASSERT_TRUE(env.run_script(script, &out)) << out;
  // Thread 1's extract delivers all of it meanwhile; apply must hold it back.
  sleep_ms(5000);
  EXPECT_EQ(target_rows(env), "1=0;");
  ASSERT_EQ(kill(held, SIGCONT), 0);
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  EXPECT_EQ(env.unexpected_errors(), "");
}

}  // namespace
