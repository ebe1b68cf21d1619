// Index-organised tables replicated exactly: a table with a two-column key and one with
// an overflow segment (whose long rows continue there) take inserts, array inserts,
// updates of non-key columns (of the overflow part too) and of the key (the row moves in
// the index), deletes, rollbacks and savepoint rollbacks among the ordinary transactions; extract is killed with -9
// while the workload runs and started again. The target ends equal to the source, apply's error file stays empty, and
// no change of them is reported as not captured.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;
using kstest::SourceOpts;

void replicate_iot(const std::string &create, bool kill) {
  SCOPED_TRACE(create.empty() ? "little-endian 19" : create);
  E2eEnv env(SourceOpts{create});
  ASSERT_TRUE(env.ok()) << env.why();
  // The tables exist, with a first few rows, before the target is made from the source.
  ASSERT_TRUE(env.start_workload("--txns 20 --seed 3 --iot 100"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  const std::string mix = "--concurrency 4 --iot 60 --savepoint 25 --rollback 10 --multi 10 " +
                          std::string(kill ? "--rate 150 --realtime " : "");
  ASSERT_TRUE(env.start_workload(mix + "--txns 300 --seed 11"));
  if (kill) {
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    ASSERT_TRUE(env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract()) << env.why();
  }
  ASSERT_TRUE(env.wait_workload(300)) << env.why();
  EXPECT_TRUE(env.wait_identical(120)) << env.last_diff() << env.component_log("ext1");
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  const std::string ext = env.component_log("ext1");
  EXPECT_EQ(ext.find("not supported"), std::string::npos) << ext;
  EXPECT_EQ(ext.find("change not decoded"), std::string::npos) << ext;
}

TEST(Iot, KeyUpdatesOverflowAndSavepointsThroughKillEndIdentical) { replicate_iot("", true); }

TEST(Iot, BigEndian11EndIdentical) { replicate_iot("--big-endian --version 11", false); }

}  // namespace
