// Many transactions open at once: each reaches the trail whole and once although the
// pool's budget holds only part of their images, across a stop and restart in the middle
// of them; a save file of the fixed-size table of earlier versions is still restored.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "tests/trans/trans_fixture.h"

using namespace kstest;

namespace {

int open_descriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) n++;
    closedir(d);
  }
  return n;
}

std::string bytes_of(Rec &r) { return std::string(reinterpret_cast<char *>(r.bytes()), r.rlen()); }

}  // namespace

TEST_F(TransTest, TenThousandOpenTransactionsAreCapturedExactlyAcrossARestart) {
  constexpr int kOpen = 10000;
  params(0, 4096);
  mem_max = 6u << 20;  // short of room for all images: the largest go to their files
  ASSERT_EQ(open(), 0);
  auto xid = [](int i) { return xid_of(1 + i % 600, i / 600, 7 + i % 3); };
  std::map<uint64_t, std::string> want;
  std::map<uint64_t, uint32_t> nrec;
  uint64_t scn = 100;
  auto put = [&](int i, uint32_t rlen) {
    Rec r = full_rec(KS_OPC_INSERT, rlen, 0, static_cast<uint8_t>(i));
    ASSERT_EQ(add(r, xid(i), scn++), 0) << "transaction " << i;
    want[xid(i)] += bytes_of(r);
    nrec[xid(i)]++;
  };
  // Every transaction opens, some grow, a tenth past trans_sz.
  for (int i = 0; i < kOpen; i++) put(i, 100 + (i * 37) % 300);
  for (int i = 0; i < kOpen; i += 5) put(i, 600 + i % 2000);
  for (int i = 0; i < kOpen; i += 10) put(i, 3000 + i % 1000);
  EXPECT_EQ(t.nslot, kOpen);
  EXPECT_LE(t.mem_used, mem_max);
  int spilled = 0;
  for (int i = 0; i < t.nalloc; i++) spilled += (t.slot[i].flag & KS_SLOT_SPILLED) != 0;
  EXPECT_GT(spilled, kOpen / 10);  // more than those past trans_sz
  EXPECT_LT(open_descriptors(), KS_TRANS_MAX_FDS + 64);

  ASSERT_EQ(ks_trans_close(&t), 0);
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(t.nslot, kOpen);
  for (int i = 0; i < kOpen; i++) put(i, 96 + i % 200);

  // Commits in a shuffled order, each after one more change of the transaction.
  std::vector<int> order(kOpen);
  for (int i = 0; i < kOpen; i++) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (int i : order) {
    Rec c = short_rec(KS_OPC_COMMIT);
    ASSERT_EQ(add(c, xid(i), scn++), 0) << "transaction " << i;
    want[xid(i)] += bytes_of(c);
    nrec[xid(i)]++;
  }
  EXPECT_EQ(t.nslot, 0);

  std::vector<TrailTrans> got;
  for (int f = 0; f <= t.fseq; f++) {
    TrailFile tf = read_trail(trail(f));
    got.insert(got.end(), tf.trans.begin(), tf.trans.end());
  }
  ASSERT_EQ(got.size(), static_cast<size_t>(kOpen));
  for (size_t k = 0; k < got.size(); k++) {
    const ks_lcr_th_t &th = got[k].th;
    ASSERT_EQ(th.xid, xid(order[k])) << "commit " << k;
    std::string body = got[k].body;
    if (th.flag & KS_TH_BYREF) body = read_file(body.c_str()).substr(32);
    ASSERT_EQ(th.nlcr, nrec[th.xid]) << "commit " << k;
    ASSERT_EQ(body, want[th.xid]) << "commit " << k;
  }
}

TEST_F(TransTest, SaveFileOfTheFixedSizeTableIsRestored) {
  // Written as earlier versions did: one record per slot of a 200-slot table (buffer
  // capacity, descriptor and address of that run in them), then the in-memory images.
  const uint64_t mem = xid_of(4, 1, 9), spilled = xid_of(4, 2, 9);
  Rec r1 = full_rec(KS_OPC_INSERT, 300, 0, 1), r2 = full_rec(KS_OPC_UPDATE, 5000, 0, 2);
  std::string hdr(32, '\0');
  std::vector<ks_trans_slot_t> rec(200);
  for (auto &s : rec) s = {32768, 0, 0, 0, 9, 0, 0, 0, 0, 0, reinterpret_cast<uint8_t *>(0x7f0012345678)};
  rec[3] = {32768, KS_SLOT_TAG, 32 + 300, 1, 11, 50, 0, mem, 40, 0, reinterpret_cast<uint8_t *>(0x7f00aa)};
  rec[150] = {32768, KS_SLOT_SPILLED, 32 + 5000, 1, 12, 51, 0, spilled, 41, 0, nullptr};
  ks_trans_fhd_t fhd = {0, 2, 200, 0};
  std::string file(reinterpret_cast<char *>(&fhd), sizeof fhd);
  file += std::string(reinterpret_cast<char *>(rec.data()), rec.size() * sizeof(ks_trans_slot_t));
  file += hdr + bytes_of(r1);
  write_file(save_file(), file);
  write_file(spill(spilled, 41), hdr + bytes_of(r2));

  params(0, 0);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(t.nslot, 2);
  ASSERT_EQ(commit(spilled, 60), 0);
  ASSERT_EQ(commit(mem, 61), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.xid, spilled);
  EXPECT_EQ(tf.trans[0].body.substr(0, 5000), bytes_of(r2));
  EXPECT_EQ(tf.trans[1].th.xid, mem);
  EXPECT_EQ(tf.trans[1].th.flag, KS_TH_TRANS | KS_TH_TAG);
  EXPECT_EQ(tf.trans[1].body.substr(0, 300), bytes_of(r1));
  EXPECT_EQ(tf.trans[1].th.nlcr, 2u);
}
