// Tables with table compression replicated exactly: inserts whose rows come as whole row
// images, single and multi-row, updates logged as overwrites of the whole row with no
// supplemental header (on a table with a primary key and on one without any key, where
// every column finds the row), deletes whose undo is a row image, mixed with the ordinary
// shapes, savepoint rollbacks and rolled back transactions among them; extract is killed
// with -9 while the workload runs. The target ends equal to the source, apply's error file
// stays empty and no change is reported as not captured.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;
using kstest::SourceOpts;

TEST(Compress, CompressedTablesThroughKillEndIdentical) {
  E2eEnv env(SourceOpts{});
  ASSERT_TRUE(env.ok()) << env.why();
  // The compressed tables exist, with a first few rows, before the target is made.
  ASSERT_TRUE(env.start_workload("--txns 4 --seed 3 --compress 100"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  const std::string mix =
      "--concurrency 4 --compress 70 --savepoint 25 --rollback 10 --multi 10 --rate 150 --realtime ";
  ASSERT_TRUE(env.start_workload(mix + "--txns 200 --seed 21"));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  ASSERT_TRUE(env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract()) << env.why();
  ASSERT_TRUE(env.wait_workload(300)) << env.why();
  ASSERT_TRUE(env.start_workload(mix + "--txns 100 --seed 22"));
  ASSERT_TRUE(env.wait_workload(300)) << env.why();
  EXPECT_TRUE(env.wait_identical(120)) << env.last_diff() << env.component_log("ext1");
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  const std::string ext = env.component_log("ext1");
  EXPECT_EQ(ext.find("change not decoded"), std::string::npos) << ext;
  EXPECT_EQ(ext.find("not in the redo"), std::string::npos) << ext;
}

}  // namespace
