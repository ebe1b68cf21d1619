// Redo block checksums as capture meets them: in the current online log a bad block is
// read again (a block caught while the database writes it passes on the next read, one
// that stays bad is reported with its number until it is good); in an archived log it
// stops capture before the block, naming file and block, and once the operator puts a
// good copy back a restart captures the rest. Across all runs every record of the log is
// handed on exactly once. redocat reports the same block. Also the reading of header
// SCNs whose wrap carries a flag bit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "lib/fmt/redo_checksum.h"
#include "lib/fmt/redo_format.h"
#include "tests/extract/extract_env.h"

namespace {

using kstest::checkpoint;
using kstest::oci_env;
using kstest::orasim;
using kstest::Rba;
constexpr uint32_t kBs = 512;

// Records listed by redocat's text.
std::vector<Rba> listed(const std::string &text) {
  std::vector<Rba> out;
  for (const std::string &l : kstest::split_lines(text)) {
    unsigned s, b, o;
    if (sscanf(l.c_str(), "RECORD rba %u.%u.%u", &s, &b, &o) == 3) out.emplace_back(s, b, o);
  }
  return out;
}

std::string read_block(const std::string &path, uint32_t blk) {
  std::string b(kBs, '\0');
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0 || pread(fd, b.data(), kBs, off_t(blk) * kBs) != ssize_t(kBs)) ADD_FAILURE() << path;
  if (fd >= 0) close(fd);
  return b;
}
void write_block(const std::string &path, uint32_t blk, const std::string &b) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0 || pwrite(fd, b.data(), kBs, off_t(blk) * kBs) != ssize_t(kBs)) ADD_FAILURE() << path;
  if (fd >= 0) close(fd);
}

// Gives the block its right checksum (a no-op once the source writes checksums itself),
// then damages one byte of it; returns the good block.
std::string damage(const std::string &path, uint32_t blk) {
  std::string good = read_block(path, blk);
  ks::redo::set_block_checksum(reinterpret_cast<uint8_t *>(good.data()), kBs);
  std::string bad = good;
  bad[kBs - 5] = static_cast<char>(bad[kBs - 5] ^ 0x5A);
  write_block(path, blk, bad);
  return good;
}

int ends(const kstest::ExtractEnv &env) {
  return kstest::ExtractEnv::occurrences(env.info_log(), "reach the end of log file");
}

uint32_t sequence_of(const std::string &block) {
  return ks::load_le32(reinterpret_cast<const uint8_t *>(block.data()) + ks::redo::KS_REDO_BH_SEQUENCE);
}

}  // namespace

TEST(ExtractChecksum, BadBlocksAreReadAgainOnlineAndStopCaptureInAnArchivedLog) {
  kstest::SourceDb db;
  db.idle_wait = 2;
  kstest::ExtractEnv env(db);
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create --log-size 1M --groups 3"), 0);
  ASSERT_EQ(orasim(env, "run --txns 10 --no-expect"), 0);
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file"));
  ASSERT_TRUE(env.stop());
  ASSERT_EQ(env.wait_exit(), 0);
  env.release_entry();
  const ks_ckp_t c1 = checkpoint(env);

  // The current online log gets more redo while capture is stopped.
  ASSERT_EQ(orasim(env, "run --txns 40 --no-expect"), 0);
  std::string online;
  for (const char *g : {"redo01.log", "redo02.log", "redo03.log"})
    if (sequence_of(read_block(env.home().file(std::string("sim/SRC/onlinelog/") + g), 1)) == c1.rba_sqn)
      online = env.home().file(std::string("sim/SRC/onlinelog/") + g);
  ASSERT_FALSE(online.empty());
  uint32_t last = c1.rba_blk;
  while (sequence_of(read_block(online, last + 1)) == c1.rba_sqn) last++;
  const uint32_t brief = c1.rba_blk + 2, lasting = brief + 3;
  ASSERT_LT(lasting + 2, last);  // complete blocks the source writes no more

  // brief: good again before the next read, never reported. lasting: reported with its
  // number, capture waiting before it, until it is good.
  const std::string good_brief = damage(online, brief), good_lasting = damage(online, lasting);
  size_t mark = env.info_log().size();
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("block " + std::to_string(brief) + " fails its checksum, read again after 2 seconds."))
      << env.info_log().substr(mark);
  write_block(online, brief, good_brief);
  const std::string reported = "redo log \"" + online + "\" block " + std::to_string(lasting) +
                               " fails its checksum, read again every 2 seconds.";
  for (int i = 0; i < 500 && env.error_log().find(reported) == std::string::npos; i++) usleep(20000);
  ASSERT_NE(env.error_log().find(reported), std::string::npos) << env.info_log().substr(mark);
  for (const Rba &r : kstest::records(env.info_log().substr(mark))) EXPECT_LT(r, Rba(c1.rba_sqn, lasting, 0));
  const int stuck = ends(env);
  write_block(online, lasting, good_lasting);
  ASSERT_TRUE(env.wait_log("reach the end of log file", stuck + 1));
  EXPECT_EQ(env.error_log().find("block " + std::to_string(brief) + " "), std::string::npos) << env.error_log();
  ASSERT_TRUE(env.stop());
  ASSERT_EQ(env.wait_exit(), 0);
  env.release_entry();

  // More redo, then a switch: the log is read from its archived copy, which has a bad
  // block after the checkpoint.
  const ks_ckp_t c2 = checkpoint(env);
  ASSERT_EQ(c2.rba_sqn, c1.rba_sqn);
  ASSERT_EQ(orasim(env, "run --txns 40 --no-expect"), 0);
  ASSERT_EQ(orasim(env, "switch"), 0);
  const std::string arch = env.home().file("sim/SRC/archivelog/arch_1_" + std::to_string(c2.rba_sqn) + ".arc");
  const uint32_t damaged = c2.rba_blk + 4;
  const std::string good = damage(arch, damaged);
  mark = env.info_log().size();
  ASSERT_GT(env.start({}, oci_env()), 0);
  EXPECT_EQ(env.wait_exit(), KS_EXIT_OPERATOR);
  const ks_ckp_t c3 = checkpoint(env);
  const Rba stop(c3.rba_sqn, c3.rba_blk, c3.rba_byt);
  char at[32];
  snprintf(at, sizeof at, "%06x.%08x.%04x", c3.rba_sqn, c3.rba_blk, c3.rba_byt);
  EXPECT_NE(env.error_log().find("redo log \"" + arch + "\" block " + std::to_string(damaged) +
                                 " fails its checksum: capture stops before it at rba=" + at +
                                 "; replace the file with a good copy and start again."),
            std::string::npos)
      << env.error_log();
  EXPECT_EQ(c3.rba_sqn, c2.rba_sqn);
  EXPECT_LE(c3.rba_blk, damaged);
  for (const Rba &r : kstest::records(env.info_log().substr(mark))) EXPECT_LT(r, stop);
  env.release_entry();

  // redocat names the same block, walks the whole log all the same, with the dictionary
  // or without, and says so in its exit status.
  const std::string redocat = std::string(KS_BIN_DIR) + "/redocat -f " + arch;
  const std::string dict = " -d " + env.home().file("dict/U1/E1.dict");
  const std::string bare = kstest::sh(redocat + " 2>&1; echo rc=$?");
  EXPECT_NE(bare.find("\nBLOCK " + std::to_string(damaged) + " fails its checksum\n"), std::string::npos) << bare;
  EXPECT_NE(bare.find("\nrc=2\n"), std::string::npos);
  const std::string summary = "\nblocks failing their checksum: 1 (" + std::to_string(damaged) + ")\n";
  EXPECT_NE(kstest::sh(redocat + " -S 2>&1").find(summary), std::string::npos);
  EXPECT_NE(kstest::sh(redocat + dict + " -S 2>&1").find(summary), std::string::npos);

  // The operator puts a good copy back: the rest is captured, and over all the runs every
  // record of the log was handed on once.
  write_block(arch, damaged, good);
  const std::string clean = kstest::sh(redocat + " 2>&1; echo rc=$?");
  EXPECT_EQ(clean.find("fails its checksum"), std::string::npos);
  EXPECT_EQ(listed(clean), listed(bare));
  const int before = ends(env);
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file", before + 1));
  ASSERT_TRUE(env.stop());
  ASSERT_EQ(env.wait_exit(), 0);
  std::vector<Rba> all = kstest::records(env.info_log()), of_log;
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  std::copy_if(all.begin(), all.end(), std::back_inserter(of_log),
               [&](const Rba &r) { return std::get<0>(r) == c2.rba_sqn; });
  EXPECT_EQ(of_log, listed(clean));
  EXPECT_GT(of_log.size(), 100u);
}

// The file header's SCNs: the flag bit of a wrap is no part of the SCN, in either byte
// order; all ones (a log still written) stays "none".
TEST(ExtractChecksum, HeaderScnsAreReadWithoutTheFlagOfTheirWrap) {
  for (bool big : {false, true}) {
    uint8_t b[8] = {};
    ks::store32(b, 0x00229606u, big);
    ks::store16(b + 4, 0x8000, big);
    EXPECT_EQ(ks::redo::load_header_scn(b, big), 0x229606u);
    ks::store16(b + 4, 0x8001, big);
    EXPECT_EQ(ks::redo::load_header_scn(b, big), 0x100229606ull);
    ks::store16(b + 4, 0x0001, big);
    EXPECT_EQ(ks::redo::load_header_scn(b, big), 0x100229606ull);
    ks::store32(b, 0xFFFFFFFFu, big);
    ks::store16(b + 4, 0xFFFF, big);
    EXPECT_EQ(ks::redo::load_header_scn(b, big), ks::redo::KS_REDO_SCN_NONE);
  }
}
