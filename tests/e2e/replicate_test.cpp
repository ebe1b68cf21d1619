// A mixed workload replicated exactly: the OLTP mix (inserts, updates, deletes,
// multi-row inserts, rollbacks, several transactions open at once) on the source, and
// a target that ends equal to it with nothing in apply's error file.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;

TEST(Replicate, MixedWorkloadEndsIdenticalWithoutErrors) {
  E2eEnv env;
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  ASSERT_TRUE(env.start_workload("--txns 600 --seed 2 --concurrency 6 --rollback 10 --multi 20 --savepoint 20"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0);
  EXPECT_EQ(env.unexpected_errors(), "");
  env.stop_all();
  EXPECT_EQ(env.pid_of("ext1"), -1);
  EXPECT_EQ(env.pid_of("app1"), -1);
}

}  // namespace
