// A source whose logs and archives live in ASM disk groups, captured end to end: read
// from the disk images directly, and through the reader agent on the loopback. Both runs
// switch logs every few seconds, crash the extract in the middle and read a stretch of
// redo from archived copies only; the target must end equal to the source.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "tests/agent_env.h"
#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;
using kstest::SourceOpts;

const std::string kMix = "--concurrency 4 --rollback 10 --multi 20 --savepoint 20 ";

void replicate(const std::string &layout, bool through_agent) {
  // 4 MiB logs: with 64 KiB units a log needs more extents than its directory entry holds.
  E2eEnv env(SourceOpts{"--log-size 4M " + layout, 1, "", true});
  ASSERT_TRUE(env.ok()) << env.why();
  std::unique_ptr<kstest::FeedAgent> agent;
  if (through_agent) {
    agent = std::make_unique<kstest::FeedAgent>(env.path("bin/kesfeed"), env.path("feed"), env.path("sim"));
    ASSERT_TRUE(agent->ok());
    env.set_source_items("storage_asm=yes, remote=yes", "agent_port=" + std::to_string(agent->port()));
  } else {
    env.set_source_items("storage_asm=yes", "");
  }
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();

  // Switches while the extract reads the online logs, and a crash in the middle.
  ASSERT_TRUE(env.start_workload(kMix + "--txns 800 --seed 21 --switch-every 40"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract()) << env.why();
  ASSERT_TRUE(env.wait_workload()) << env.why();
  EXPECT_TRUE(env.wait_identical(90)) << env.last_diff() << env.component_log("ext1");

  // With the extract stopped the workload switches through more logs than there are
  // groups: that redo can only come from the archived copies.
  ASSERT_TRUE(env.stop_extract()) << env.why();
  ASSERT_TRUE(env.start_workload(kMix + "--txns 400 --seed 22 --switch-every 30"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.start_extract()) << env.why();
  EXPECT_TRUE(env.wait_identical(90)) << env.last_diff() << env.component_log("ext1");

  const std::string log = env.component_log("ext1");
  EXPECT_NE(log.find("open log file: \"+"), std::string::npos) << log;
  EXPECT_NE(log.find("/ARCHIVELOG/"), std::string::npos) << log;
  EXPECT_EQ(env.error_file_size(), 0);
  EXPECT_EQ(env.unexpected_errors(), "");
}

// Normal redundancy, small units (indirect extents), fine-striped online logs, archives in
// a second group; read from the images.
TEST(AsmSource, MirroredGroupWithIndirectExtentsReadLocally) {
  replicate("--asm DATA --asm-disks 3 --asm-redundancy normal --asm-au 64K --asm-arch FRA", false);
}

// High redundancy, big-endian metadata, coarse online logs; read through kesfeed.
TEST(AsmSource, BigEndianGroupReadThroughTheAgent) {
  replicate("--asm DATA --asm-disks 4 --asm-redundancy high --asm-big-endian --asm-stripe coarse", true);
}

}  // namespace
