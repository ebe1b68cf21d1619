// The operator's guide's restart procedures, run as written: the first start with -d,
// then an orderly stop and a start without -d, a kill -9, "markedit -c" and a start
// without -d, and a kill -9 of the manager followed by "start manager", each while the
// source goes on changing. extract must continue from its
// checkpoint with the dictionary file it keeps, and the target end identical.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;

const std::string kMix = "--rate 250 --realtime --concurrency 4 --rollback 10 ";

TEST(GuideRestart, StopOrKillNineThenStartWithoutDictionaryOptionContinues) {
  E2eEnv env;
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_manager()) << env.why();
  ASSERT_TRUE(env.start_extract(true, "-d")) << env.why();
  ASSERT_TRUE(env.start_apply()) << env.why();
  ASSERT_TRUE(env.start_workload(kMix + "--txns 100 --seed 1"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.wait_identical(60)) << env.last_diff();

  // stop extract U1.EX; changes made while it is down; start extract U1.EX.
  ASSERT_TRUE(env.stop_extract()) << env.why();
  ASSERT_TRUE(env.start_workload(kMix + "--txns 100 --seed 2"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.start_extract(true, "")) << env.why();
  ASSERT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("ext1");

  // A crash in the middle of a workload: markedit -c, then start extract U1.EX.
  ASSERT_TRUE(env.start_workload(kMix + "--txns 150 --seed 3"));
  ASSERT_TRUE(env.kill_extract());
  std::string out;
  EXPECT_FALSE(env.kesh("start extract u1.ext1", &out)) << "a crashed extract must not start unrepaired";
  ASSERT_TRUE(env.reset_extract_checkpoint()) << env.why();
  ASSERT_TRUE(env.start_extract(true, "")) << env.why();
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("ext1");

  // The manager killed: its components run on; the next manager stops them in order, so
  // extract needs no markedit and continues where it stopped.
  ASSERT_TRUE(env.start_workload(kMix + "--txns 150 --seed 5"));
  const pid_t ext = env.pid_of("ext1"), app = env.pid_of("app1");
  ASSERT_TRUE(env.kill_manager());
  EXPECT_EQ(env.pid_of("ext1"), ext);
  EXPECT_EQ(env.pid_of("app1"), app);
  ASSERT_TRUE(env.start_manager()) << env.why() << env.kesmon_out();
  EXPECT_EQ(env.pid_of("ext1"), -1);
  EXPECT_EQ(env.pid_of("app1"), -1);
  ASSERT_TRUE(env.start_extract(true, "")) << env.why();
  ASSERT_TRUE(env.start_apply()) << env.why();
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("ext1");

  // Without a dictionary file, a start without -d says what to do.
  ASSERT_TRUE(env.stop_extract()) << env.why();
  ASSERT_EQ(rename(env.path("dict/u1/ext1.dict").c_str(), env.path("tmp/ext1.dict").c_str()), 0);
  EXPECT_FALSE(env.kesh("start extract u1.ext1", &out));
  EXPECT_NE(out.find("ended at once"), std::string::npos) << out;
  EXPECT_NE(env.error_log().find("not found: start with -d to export it."), std::string::npos) << env.error_log();
  ASSERT_EQ(rename(env.path("tmp/ext1.dict").c_str(), env.path("dict/u1/ext1.dict").c_str()), 0);
  ASSERT_TRUE(env.start_extract(true, "")) << env.why();
  ASSERT_TRUE(env.start_workload(kMix + "--txns 50 --seed 4"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.wait_identical(60)) << env.last_diff();
  EXPECT_EQ(env.error_file_size(), 0);
  EXPECT_EQ(env.error_log().find("get dictionary pointer error"), std::string::npos) << env.error_log();
}

}  // namespace
