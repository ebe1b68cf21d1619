// The unit's data folder (trail, spill, save and checkpoint files) on a file system that
// fills up in the middle of a workload: capture must hold its redo position while the
// trail cannot be written, say so about once a minute rather than per record, and, once
// space is given back, go on so that the target ends up identical with nothing lost or
// doubled, across a restart as well.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int count_of(const std::string &hay, const std::string &needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

// A small tmpfs over a folder, with what the folder held copied in; when it goes, the
// environment's processes are stopped first and the file system is then unmounted.
class SmallFs {
 public:
  SmallFs(E2eEnv &env, const std::string &rel, const std::string &size) : env_(env), dir_(env.path(rel)) {
    std::string out;
    const std::string keep = dir_ + ".keep";
    ok_ = env_.sh("mv " + dir_ + " " + keep + " && mkdir " + dir_ + " && mount -t tmpfs -o size=" + size + " tmpfs " +
                      dir_ + " && cp -a " + keep + "/. " + dir_ + "/",
                  &out) == 0;
    mounted_ = ok_;
    if (!ok_) why_ = out;
  }
  ~SmallFs() {
    if (!mounted_) return;
    env_.stop_all();
    umount2(dir_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }
  const std::string &why() const { return why_; }
  bool resize(const std::string &size) {
    std::string out;
    bool ok = env_.sh("mount -o remount,size=" + size + " " + dir_, &out) == 0;
    if (!ok) why_ = out;
    return ok;
  }

 private:
  E2eEnv &env_;
  std::string dir_;
  bool ok_ = false;
  bool mounted_ = false;
  std::string why_;
};

TEST(FullDisk, TrailOnAFullFileSystemHoldsCaptureAndLosesOrDoublesNothingOnceSpaceReturns) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting the small file system for the trail needs root";
  E2eEnv env;
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  SmallFs fs(env, "data/u1", "600k");
  ASSERT_TRUE(fs.ok()) << fs.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();

  const std::string mix = "--concurrency 4 --rollback 10 --multi 20 --savepoint 20 ";
  ASSERT_TRUE(env.start_workload(mix + "--txns 1500 --seed 21"));
  ASSERT_TRUE(env.wait_workload(300)) << env.why();
  bool full = false;
  for (int i = 0; i < 600 && !full; i++) {
    full = env.component_log("ext1").find("write trail file error") != std::string::npos;
    if (!full) sleep_ms(100);
  }
  ASSERT_TRUE(full) << "the trail never filled the file system" << env.component_log("ext1");
  // Held for several idle waits: the retries are not logged one by one.
  sleep_ms(4000);
  EXPECT_GT(env.pid_of("ext1"), 0) << env.component_log("ext1");
  EXPECT_LE(count_of(env.error_log(), "write trail file error"), 2) << env.error_log();
  EXPECT_EQ(count_of(env.error_log(), "until the trail file can be written"), 1) << env.error_log();

  ASSERT_TRUE(fs.resize("256m")) << fs.why();
  EXPECT_TRUE(env.wait_identical(120)) << env.last_diff() << env.component_log("ext1") << env.component_log("app1");
  EXPECT_NE(env.component_log("ext1").find("capture goes on at rba="), std::string::npos) << env.component_log("ext1");

  // Full again (a filler file takes what is left), and this time stopped while it holds:
  // the exit saves nothing it cannot, so the checkpoint stays at the last position saved
  // with its open transactions. Space back, the operator's reset where the exit could not
  // close the checkpoint, a start: the target catches up with nothing lost or doubled.
  env.sh("dd if=/dev/zero of=data/u1/filler bs=1M count=300 2>/dev/null; true");
  const std::string held = "until the trail file can be written";  // each retry, at debug level too
  const int holds = count_of(env.component_log("ext1"), "capture goes on at rba=");
  const int held_before = count_of(env.component_log("ext1"), held);
  ASSERT_TRUE(env.start_workload(mix + "--txns 1000 --seed 22"));
  ASSERT_TRUE(env.wait_workload(300)) << env.why();
  full = false;
  for (int i = 0; i < 600 && !full; i++) {
    full = count_of(env.component_log("ext1"), held) > held_before + 1;
    if (!full) sleep_ms(100);
  }
  ASSERT_TRUE(full) << env.error_log();
  ASSERT_TRUE(env.stop_extract()) << env.why();
  ASSERT_TRUE(env.sh("rm -f data/u1/filler") == 0);
  if (!env.start_extract()) {
    EXPECT_NE(env.component_log("ext1").find("initialize needed"), std::string::npos) << env.component_log("ext1");
    ASSERT_TRUE(env.reset_extract_checkpoint()) << env.why();
    ASSERT_TRUE(env.start_extract()) << env.why();
  }
  EXPECT_EQ(count_of(env.component_log("ext1"), "capture goes on at rba="), holds);
  EXPECT_TRUE(env.wait_identical(120)) << env.last_diff() << env.component_log("ext1") << env.component_log("app1");

  // A stop and a start after both episodes: what was delivered is not delivered again.
  ASSERT_TRUE(env.stop_extract()) << env.why();
  ASSERT_TRUE(env.stop_apply()) << env.why();
  ASSERT_TRUE(env.start_extract()) << env.why();
  ASSERT_TRUE(env.start_apply()) << env.why();
  ASSERT_TRUE(env.start_workload(mix + "--txns 200 --seed 23"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("ext1") << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");

  const std::string errors = env.error_log();
  EXPECT_EQ(errors.find("more transaction slot needed"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("append LCR to transaction error"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("not supported"), std::string::npos) << errors;
  ASSERT_TRUE(env.stop_extract()) << env.why();
  EXPECT_NE(env.component_log("ext1").find("records of captured tables not captured: 0."), std::string::npos);
}

}  // namespace
