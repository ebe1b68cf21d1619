// extract capturing from the simulated source while it writes: online and archived logs
// through log switches, the wait at the end of the current log, the stop and the restart
// from the checkpoint. Every record handed on is logged with its position (detail level),
// which is what these tests follow.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/extract/extract_env.h"

namespace {

typedef std::tuple<uint32_t, uint32_t, uint32_t> Rba;

int orasim(const kstest::ExtractEnv &env, const std::string &args) {
  std::string cmd = std::string(KS_BIN_DIR) + "/orasim " + args + " -d " + env.home().file("sim") +
                    " -n SRC > /dev/null 2>&1";
  int st = system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Positions of the records handed on, in log order, from a piece of the log.
std::vector<Rba> records(const std::string &log) {
  std::vector<Rba> out;
  const std::string key = "REDO RECORD - RBA: 0x";
  for (size_t p = log.find(key); p != std::string::npos; p = log.find(key, p + 1)) {
    unsigned s, b, o;
    if (sscanf(log.c_str() + p + key.size(), "%x.%x.%x", &s, &b, &o) == 3) out.emplace_back(s, b, o);
  }
  return out;
}

std::vector<std::string> oci_env() { return {"KESTRO_OCI_LIB=" KS_LIB_DIR "/liborasim.so"}; }

ks_ckp_t checkpoint(const kstest::ExtractEnv &env) {
  ks_ckp_t c{};
  std::string d = kstest::read_file(env.ckp_path());
  memcpy(&c, d.data(), std::min(d.size(), sizeof c));
  return c;
}

}  // namespace

TEST(ExtractCapture, FollowsSwitchesWaitsAtTheEndAndResumesExactlyWhereItStopped) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create --log-size 64K --groups 3"), 0);

  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file, continue after 1 seconds ...")) << env.info_log();
  EXPECT_NE(env.info_log().find("Start SCN: 1000001"), std::string::npos);
  EXPECT_NE(env.info_log().find("process startup, analyze redo log from sequence# 1\n"), std::string::npos);
  EXPECT_EQ(env.entry()->status, 3);

  // The source writes while capture runs: 13 switches over 3 online logs, so most logs are
  // read from their archived copies once the online file has been reused.
  int rc = -1;
  std::thread writer([&] { rc = orasim(env, "run --txns 300 --switch-every 100 --realtime --rate 300 --no-expect"); });
  writer.join();
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(env.wait_log("analyze", 1));
  ASSERT_TRUE(env.wait_log("open log file: \"", 14)) << env.info_log();
  int ends = kstest::ExtractEnv::occurrences(env.info_log(), "reach the end of log file");
  ASSERT_TRUE(env.wait_log("reach the end of log file", ends + 1));
  ASSERT_TRUE(env.stop());
  EXPECT_EQ(env.wait_exit(), 0) << env.error_log();
  EXPECT_NE(env.info_log().find("break from main loop, process exit normally ..."), std::string::npos);

  std::string first_run = env.info_log();
  std::vector<Rba> seen = records(first_run);
  ASSERT_GT(seen.size(), 300u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(std::get<0>(seen.front()), 1u);
  EXPECT_GE(std::get<0>(seen.back()), 13u);  // the last switch may leave 14 empty
  // The only error allowed: a switched log's successor not yet in the catalogue, which
  // is waited for.
  EXPECT_EQ(kstest::ExtractEnv::occurrences(env.error_log(), "ERROR at"),
            kstest::ExtractEnv::occurrences(env.error_log(), " not found.\n"))
      << env.error_log();

  ks_ckp_t c = checkpoint(env);
  EXPECT_EQ(c.flag & (KS_CKP_OPEN | KS_CKP_CLOSED), static_cast<uint32_t>(KS_CKP_CLOSED));
  EXPECT_EQ(c.rba_sqn, 14u);
  EXPECT_GT(Rba(c.rba_sqn, c.rba_blk, c.rba_byt), seen.back());
  EXPECT_EQ(c.blk_sz, 512u);
  EXPECT_EQ(c.vsn, 0x13000000u);
  EXPECT_STREQ(c.chs_name, "AL32UTF8");

  // Restart: from the checkpoint, not from the current SCN; the new records follow on.
  env.release_entry();
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("process startup, analyze redo log from sequence# ", 2)) << env.info_log();
  EXPECT_NE(env.info_log().find("process startup, analyze redo log from sequence# 14\n", first_run.size()),
            std::string::npos);
  ASSERT_EQ(orasim(env, "run --txns 40 --no-expect"), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file", kstest::ExtractEnv::occurrences(env.info_log(), "reach the end of log file") + 1));
  ASSERT_TRUE(env.stop());
  EXPECT_EQ(env.wait_exit(), 0);
  std::string second_run = env.info_log().substr(first_run.size());
  EXPECT_EQ(second_run.find("Start SCN"), std::string::npos);
  std::vector<Rba> more = records(second_run);
  ASSERT_FALSE(more.empty());
  EXPECT_GT(more.front(), seen.back());
  if (c.rba_byt != 0) {
    EXPECT_EQ(more.front(), Rba(c.rba_sqn, c.rba_blk, c.rba_byt));
  }
  EXPECT_TRUE(std::is_sorted(more.begin(), more.end()));
}
