// Restarts during a running workload: kill -9 of extract (then the operator's checkpoint
// reset and a new start) and of apply at random moments, repeated, and orderly stops and
// starts of either; after every round the target must equal the source, with nothing in
// apply's error file. KS_E2E_ITERATIONS and KS_E2E_SEED let a soak run repeat the rounds
// more often or replay one sequence of moments.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;

int env_int(const char *name, int def) {
  const char *v = getenv(name);
  return v != nullptr && *v != '\0' ? atoi(v) : def;
}

enum class Hit { kKillExtract, kKillApply, kKillBoth, kStopExtract, kStopApply };

const char *hit_name(Hit h) {
  switch (h) {
    case Hit::kKillExtract: return "kill -9 extract";
    case Hit::kKillApply: return "kill -9 apply";
    case Hit::kKillBoth: return "kill -9 extract and apply";
    case Hit::kStopExtract: return "stop and start extract";
    case Hit::kStopApply: return "stop and start apply";
  }
  return "?";
}

bool hit(E2eEnv &env, Hit h) {
  switch (h) {
    case Hit::kKillExtract:
      return env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract();
    case Hit::kKillApply:
      return env.kill_apply() && env.start_apply();
    case Hit::kKillBoth:
      return env.kill_apply() && env.kill_extract() && env.reset_extract_checkpoint() &&
             env.start_extract() && env.start_apply();
    case Hit::kStopExtract:
      return env.stop_extract() && env.start_extract();
    case Hit::kStopApply:
      return env.stop_apply() && env.start_apply();
  }
  return false;
}

// Rounds of: a short workload, one hit at a random moment inside it, then the target
// compared with the source.
void rounds(const std::vector<Hit> &kinds, int iterations) {
  const unsigned seed = static_cast<unsigned>(
      env_int("KS_E2E_SEED", static_cast<int>(std::chrono::system_clock::now().time_since_epoch().count() & 0x7fffffff)));
  SCOPED_TRACE("KS_E2E_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  E2eEnv env;
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  for (int i = 0; i < iterations; i++) {
    const Hit h = kinds[rng() % kinds.size()];
    const int at_ms = 20 + static_cast<int>(rng() % 500);
    SCOPED_TRACE("round " + std::to_string(i) + ": " + hit_name(h) + " after " + std::to_string(at_ms) + " ms");
    // About 0.6 s of transactions, so the hit lands while changes are being captured and
    // delivered. Savepoint rollbacks included.
    ASSERT_TRUE(env.start_workload("--txns 150 --rate 250 --realtime --concurrency 4 --rollback 10 --savepoint 20 --seed " +
                                   std::to_string(100 + i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(at_ms));
    ASSERT_TRUE(hit(env, h)) << env.why() << env.component_log("ext1") << env.component_log("app1");
    ASSERT_TRUE(env.wait_workload()) << env.why();
    ASSERT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("app1");
    ASSERT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  }
  EXPECT_EQ(env.unexpected_errors(), "");
}

TEST(Restart, KillNineOfExtractAndApplyAtRandomMomentsEndsIdentical) {
  rounds({Hit::kKillExtract, Hit::kKillApply, Hit::kKillBoth}, env_int("KS_E2E_ITERATIONS", 20));
}

TEST(Restart, StopAndStartOfExtractAndApplyAtRandomMomentsEndsIdentical) {
  rounds({Hit::kStopExtract, Hit::kStopApply}, std::max(4, env_int("KS_E2E_ITERATIONS", 20) / 3));
}

}  // namespace
