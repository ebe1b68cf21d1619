// Trail files rolling over every MiB while extract is killed (kill -9) the moment a new
// file appears, or at a random moment, apply reading all along: the target must equal the
// source, and the trail must hold every transaction once, in commit order, each file but
// the newest closed by its end marker.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "lib/fmt/trail_format.h"
#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;

int trail_files(const E2eEnv &env) {
  int n = 0;
  while (kstest::file_exists(env.path("data/u1/ext1_" + std::to_string(n) + ".dat"))) n++;
  return n;
}

TEST(RollOver, KilledAroundRollOversTheTrailHoldsEveryTransactionOnce) {
  const unsigned seed = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  E2eEnv env;
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure("tables=(oltp.*)", "", "trail_size=1")) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  for (int round = 0; round < 6; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(env.start_workload("--txns 1500 --rate 1000 --realtime --concurrency 4 --rollback 10 --seed " +
                                   std::to_string(300 + round)));
    // Even rounds: right after a roll-over (a new file appeared); odd rounds: anywhere.
    const int files = trail_files(env);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200 + rng() % 1200);
    while (std::chrono::steady_clock::now() < until && (round % 2 == 1 || trail_files(env) == files))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract())
        << env.why() << env.component_log("ext1");
    ASSERT_TRUE(env.wait_workload()) << env.why();
    ASSERT_TRUE(env.wait_identical(90)) << env.last_diff() << env.component_log("app1");
    ASSERT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  }
  const int files = trail_files(env);
  EXPECT_GE(files, 6);

  std::set<std::pair<uint64_t, uint64_t>> seen;
  uint64_t last = 0;
  long transactions = 0, heartbeats = 0;
  for (int f = 0; f < files; f++) {
    const std::string name = env.path("data/u1/ext1_" + std::to_string(f) + ".dat");
    const std::string d = kstest::read_file(name);
    ASSERT_GE(d.size(), KS_TRAIL_FH_SZ) << name;
    size_t off = KS_TRAIL_FH_SZ;
    bool marker = false;
    while (off + KS_LCR_TH_SZ <= d.size()) {
      const ks_lcr_th_t th = ks_lcr_load<ks_lcr_th_t>(d.data() + off);
      if (th.flag & KS_TH_EOF) {
        marker = true;
        break;
      }
      ASSERT_TRUE(ks_trail_tlen_ok(th.tlen) && off + th.tlen <= d.size()) << name << " at " << off;
      ASSERT_GE(th.cscn, last) << name << " at " << off;
      last = th.cscn;
      if (th.flag & KS_TH_TRANS) {
        EXPECT_TRUE(seen.insert({th.cscn, th.xid}).second) << "written twice: " << name << " at " << off;
        transactions++;
      }
      heartbeats += (th.flag & KS_TH_HEARTBEAT) != 0;
      off += th.tlen;
    }
    if (f + 1 < files) {
      EXPECT_TRUE(marker) << name;
      EXPECT_EQ(ks_lcr_u32(d.data(), 4), off) << name << ": the tail its header names";
    } else {
      EXPECT_EQ(off, d.size()) << name;
    }
  }
  std::printf("%d trail files, %ld transactions, %ld heartbeats\n", files, transactions, heartbeats);
  EXPECT_GT(transactions, 6 * 1000);
  EXPECT_GT(heartbeats, 0);
}

}  // namespace
