// The chain buffer through one life: rows in progress saved, more of them than the
// header holds, rows spilled for size and for lack of room in the region, a stop that
// writes the information file (printed by rowcat), a start that restores everything, and
// the clean-up that leaves no file behind. Then damaged files, spill files that cannot be
// written, and rowcat's options.
#include "extract/redo/chain_buffer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/testutil.h"

namespace {

struct CatRun {
  int status;
  std::string out, err;
};

CatRun rowcat(const std::vector<std::string> &args, const std::string &dir) {
  std::string cmd = std::string(KS_BIN_DIR) + "/rowcat";
  for (const auto &a : args) cmd += " '" + a + "'";
  cmd += " >" + dir + "out.txt 2>" + dir + "err.txt";
  int rc = system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, kstest::read_file(dir + "out.txt"), kstest::read_file(dir + "err.txt")};
}

std::vector<uint8_t> record(size_t n, uint8_t seed) {
  std::vector<uint8_t> r(n);
  for (size_t i = 0; i < n; ++i) r[i] = static_cast<uint8_t>(seed + i * 7);
  return r;
}

ks_chain_piece_t piece(uint32_t head, uint16_t slot, uint8_t flag = 0) {
  ks_chain_piece_t p{};
  p.cr_rdba = head;
  p.cr_slot = slot;
  p.pc_rdba = head + 1;
  p.flag = flag;
  return p;
}

// The records of row ci, in the order read back, each cut to the given lengths.
std::vector<std::vector<uint8_t>> records(const ks_chain_ctx_t *c, int ci, const std::vector<size_t> &lens) {
  std::vector<ks_chain_piece_t> ps(64);
  int n = ks_chain_pieces(c, ci, ps.data(), 64);
  std::vector<std::vector<uint8_t>> out;
  for (int k = 0; k < n; ++k) {
    if (ps[k].blks == 0) continue;
    std::vector<uint8_t> b(ps[k].blks * KS_CHAIN_BLK_SZ);
    EXPECT_EQ(ks_chain_piece_data(c, ci, &ps[k], b.data(), b.size()), 0);
    b.resize(lens[out.size()]);
    out.push_back(b);
  }
  return out;
}

int save(ks_chain_ctx_t *c, ks_chain_piece_t p, const uint8_t *rec, int len, uint8_t op) {
  return ks_chain_save_piece(c, &p, rec, len, op, nullptr);
}

class ChainBuffer : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(home.file("data/u1").c_str(), 0755);
    info = home.file("data/u1/c1.chr");
  }
  void TearDown() override { ks_chain_free(&ctx); }
  kstest::TempHome home;
  std::string info;
  std::vector<uint8_t> region = std::vector<uint8_t>(KS_CHAIN_BUF_SZ);
  ks_chain_ctx_t ctx{};
};

TEST_F(ChainBuffer, RowsSurviveAStopSpillAndOverflowWithoutLoss) {
  ASSERT_EQ(ks_chain_open(&ctx, region.data(), KS_CHAIN_BUF_SZ, info.c_str(), 4), 0);  // no file yet: empty

  // Row A: a record of exactly one block, then one a byte over, then a forwarding address.
  auto a1 = record(8192, 1), a2 = record(8193, 2);
  ASSERT_EQ(save(&ctx, piece(0x1000010, 3), a1.data(), 8192, 0x10), 0);
  ASSERT_EQ(save(&ctx, piece(0x1000010, 3, KS_CP_LMN), a2.data(), 8193, 0x10), 0);
  ASSERT_EQ(save(&ctx, piece(0x1000010, 3, KS_CP_CFA), a1.data(), 100, 0x10), 0);
  int ra = ks_chain_find(&ctx, 0x1000010, 3);
  ASSERT_EQ(ra, 0);
  ks_chain_row_t r = ks_chain_get_row(&ctx, ra);
  EXPECT_EQ(r.nrec, 3u);
  EXPECT_EQ(r.dlen, 8192u + 8193u + 100u);
  EXPECT_EQ(r.flag, KS_CP_LMN);
  EXPECT_EQ(ks_chain_get(region.data(), KS_CHAIN_NCRP), 3u);  // the forwarding address: its piece, no blocks

  // Row B: a first piece without a head row id is keyed on its own row id, where the
  // later piece naming it as head finds it.
  ks_chain_piece_t b1{};
  b1.pc_rdba = 0x2000020;
  b1.pc_slot = 5;
  auto b = record(300, 9);
  ASSERT_EQ(ks_chain_save_piece(&ctx, &b1, b.data(), 300, 0x58, nullptr), 0);
  ASSERT_EQ(save(&ctx, piece(0x2000020, 5), b.data(), 300, 0x18), 0);
  int rb = ks_chain_find(&ctx, 0x2000020, 5);
  ASSERT_GE(rb, 0);
  EXPECT_EQ(ks_chain_get_row(&ctx, rb).nrec, 2u);
  EXPECT_EQ(ks_chain_get_row(&ctx, rb).op, 0x58);

  // Forty more rows: the header's 32 entries run out and nothing is refused.
  for (uint32_t i = 0; i < 40; ++i) ASSERT_EQ(save(&ctx, piece(0x3000000 + i, 1), b.data(), 50, 0), 0);
  EXPECT_EQ(ks_chain_get(region.data(), KS_CHAIN_NROW), 42u);
  EXPECT_EQ(ks_chain_find(&ctx, 0x3000000 + 39, 1), KS_CHAIN_ROWS + 9);

  // Row D goes over 1 MiB and moves to its files; row E finds the region short of blocks
  // (five 900000-byte rows need more than 508 blocks) and is spilled under 1 MiB.
  std::vector<size_t> dl = {300000, 300000, 300000, 300000};
  for (size_t k = 0; k < dl.size(); ++k)
    ASSERT_EQ(save(&ctx, piece(0x4000000, 7), record(dl[k], uint8_t(k)).data(), int(dl[k]), 0), 0);
  std::string dfile = home.file("data/u1/c1_67108864_7_0.crd");
  EXPECT_TRUE(kstest::file_exists(dfile));
  for (uint32_t i = 0; i < 5; ++i)
    ASSERT_EQ(save(&ctx, piece(0x5000000 + i, 1), record(900000, 50).data(), 900000, 0), 0);
  EXPECT_EQ(kstest::sh("ls " + home.file("data/u1") + " | grep -c '^c1_838860.*_1_[0-9]*.crd$'"), "1\n");

  ASSERT_EQ(ks_chain_close(&ctx, 5), 0);
  std::string img = kstest::read_file(info);
  EXPECT_GT(img.size(), size_t(KS_CHAIN_BUF_SZ));  // the extra rows follow the image

  CatRun cat = rowcat({"-f", info}, home.path());
  EXPECT_EQ(cat.status, 0) << cat.err;
  EXPECT_NE(cat.out.find("\nChained Head Information:\n\n# of chained row piece: "), std::string::npos);
  EXPECT_NE(cat.out.find("# of chained rows: 48\n\nChined Row Information:\n\n"
                         "index: 0, rid: 1000010.3, dlen: 16485, #rec: 3, op: 16, flag: 1\n"),
            std::string::npos);
  EXPECT_NE(cat.out.find("index: 47, rid: 5000004.1, dlen: 900000, #rec: 1, op: 0, flag: 0\n"), std::string::npos);
  EXPECT_NE(cat.out.find("\nChained Row Piece Information:\n\nrid: 1000010.3, start block#: 0, blks: 1\n"
                         "rid: 1000010.3, start block#: 1, blks: 2\n"),
            std::string::npos);

  // A start from the checkpoint of the image gets everything back, the spilled rows
  // through their files.
  std::vector<uint8_t> again(KS_CHAIN_BUF_SZ, 0xee);
  ASSERT_EQ(ks_chain_open(&ctx, again.data(), KS_CHAIN_BUF_SZ, info.c_str(), 5), 0);
  EXPECT_EQ(ks_chain_get(again.data(), KS_CHAIN_NROW), 48u);
  EXPECT_EQ(records(&ctx, ks_chain_find(&ctx, 0x1000010, 3), {8192, 8193}),
            (std::vector<std::vector<uint8_t>>{a1, a2}));
  int rd = ks_chain_find(&ctx, 0x4000000, 7);
  ASSERT_EQ(save(&ctx, piece(0x4000000, 7), record(10, 99).data(), 10, 0), 0);
  dl.push_back(10);
  std::vector<std::vector<uint8_t>> want;
  for (size_t k = 0; k < dl.size(); ++k) want.push_back(record(dl[k], k < 4 ? uint8_t(k) : 99));
  EXPECT_EQ(records(&ctx, rd, dl), want);  // in save order, across the move to the files
  EXPECT_EQ(ks_chain_find(&ctx, 0x3000000 + 39, 1), KS_CHAIN_ROWS + 9);

  // The last piece taken back (its record is read again): the row is as before it.
  ks_chain_unsave(&ctx, rd, 10);
  dl.pop_back();
  want.pop_back();
  EXPECT_EQ(records(&ctx, rd, dl), want);

  // Every row assembled, then a checkpoint: until it is on disk, the image and spill files
  // a restart from the one before needs are still there; then no file is left.
  for (int ci = ks_chain_rows(&ctx) - 1; ci >= 0; --ci) ks_chain_clear_row(&ctx, ci);
  EXPECT_EQ(ks_chain_get(again.data(), KS_CHAIN_NROW), 0u);
  EXPECT_EQ(ks_chain_get(again.data(), KS_CHAIN_NCRP), 0u);
  ASSERT_EQ(ks_chain_close(&ctx, 6), 0);
  EXPECT_FALSE(kstest::file_exists(info));
  EXPECT_TRUE(kstest::file_exists(info + ".prev"));
  EXPECT_TRUE(kstest::file_exists(dfile));
  std::vector<uint8_t> third(KS_CHAIN_BUF_SZ);
  ks_chain_ctx_t back{};
  ASSERT_EQ(ks_chain_open(&back, third.data(), KS_CHAIN_BUF_SZ, info.c_str(), 5), 0);  // killed before it
  EXPECT_EQ(ks_chain_get(third.data(), KS_CHAIN_NROW), 48u);
  ks_chain_free(&back);
  ks_chain_release(&ctx);
  EXPECT_FALSE(kstest::file_exists(dfile));
  EXPECT_EQ(kstest::sh("ls " + home.file("data/u1")), "");
}

TEST_F(ChainBuffer, RowcatReportsDamageAndBadOptions) {
  ASSERT_EQ(ks_chain_open(&ctx, region.data(), KS_CHAIN_BUF_SZ, info.c_str(), 0), 0);
  for (uint32_t i = 0; i < 33; ++i) ASSERT_EQ(save(&ctx, piece(0x100 + i, 1), region.data(), 10, 0), 0);
  ASSERT_EQ(ks_chain_close(&ctx, 0), 0);
  std::string img = kstest::read_file(info);

  // The extra rows cut short: the header is printed, the damage reported, the run fails;
  // and the capture refuses to start from such a file rather than lose the rows.
  kstest::write_file(info, img.substr(0, img.size() - 5));
  CatRun cat = rowcat({"-f", info}, home.path());
  EXPECT_EQ(cat.status, 255);
  EXPECT_NE(cat.out.find("index: 31, rid: 11f.1"), std::string::npos);
  EXPECT_NE(cat.err.find("print chained row information file error.\n"), std::string::npos);
  EXPECT_EQ(ks_chain_open(&ctx, region.data(), KS_CHAIN_BUF_SZ, info.c_str(), 0), -1);

  // A file shorter than the image prints what it holds; the rest reads as zero.
  kstest::write_file(info, std::string(16, '\0'));
  cat = rowcat({"-f", info}, home.path());
  EXPECT_EQ(cat.status, 0);
  EXPECT_EQ(cat.out,
            "\nChained Head Information:\n\n# of chained row piece: 0\n# of chained rows: 0\n"
            "\nChined Row Information:\n\n\nChained Row Piece Information:\n\n");

  // Spill files that cannot be created: the piece is refused and the row keeps what it had.
  std::string nowhere = home.file("none/c1.chr");
  ASSERT_EQ(ks_chain_open(&ctx, region.data(), KS_CHAIN_BUF_SZ, nowhere.c_str(), 0), 0);
  auto big = record(600000, 3);
  ASSERT_EQ(save(&ctx, piece(0x700, 2), big.data(), 600000, 0), 0);
  EXPECT_EQ(save(&ctx, piece(0x700, 2), big.data(), 600000, 0), -1);
  int ci = ks_chain_find(&ctx, 0x700, 2);
  EXPECT_EQ(ks_chain_get_row(&ctx, ci).nrec, 1u);
  EXPECT_EQ(records(&ctx, ci, {600000}), std::vector<std::vector<uint8_t>>{big});
  EXPECT_EQ(ks_chain_close(&ctx, 0), -1);

  EXPECT_EQ(rowcat({"-h"}, home.path()).status, 255);
  cat = rowcat({"-s"}, home.path());
  EXPECT_EQ(cat.status, 255);
  EXPECT_EQ(cat.err.rfind("invalid option [-s]\nusage: ", 0), 0u);
  EXPECT_EQ(rowcat({"-f"}, home.path()).err.rfind("not specify input file name.\n", 0), 0u);
  cat = rowcat({"-f", home.file("none.chr")}, home.path());
  EXPECT_EQ(cat.status, 255);
  EXPECT_NE(cat.err.find("open " + home.file("none.chr") + ": No such file"), std::string::npos);
}

}  // namespace
