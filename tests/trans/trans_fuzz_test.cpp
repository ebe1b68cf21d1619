// Damaged restart files as extract's restart reads them: the checkpoint, the save file
// of the transactions open at the stop, their spill file and the trail file reopened
// where the last run left it. A mutated set refuses the start or restores transactions
// that then commit whole; never a crash or a read outside the buffers (the sanitizer
// build runs it).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "extract/extract.h"
#include "tests/fuzz.h"
#include "tests/trans/trans_fixture.h"

using namespace kstest;

TEST_F(TransTest, MutatedRestartFilesRefuseTheStartOrRestoreWholeTransactions) {
  const std::string dir = home.file("data/U");
  ASSERT_EQ(open(3), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300), xid_of(1, 3, 1), 1), 0);
  ASSERT_EQ(commit(xid_of(1, 3, 1), 2), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300, 0, 1), xid_of(1, 1, 1), 3), 0);
  ASSERT_EQ(add(short_rec(KS_OPC_TAG, 3), xid_of(1, 1, 1), 3), 0);
  add_bytes(xid_of(1, 2, 1), 4, 6000);  // spilled
  t.gen = 7;
  ASSERT_EQ(ks_trans_save(&t), 0);
  ks_ckp_t base{};
  base.last_fno = 3;
  base.rsv[KS_CKP_RSV_TAIL] = static_cast<uint32_t>(t.tail);
  base.rsv[KS_CKP_RSV_GEN] = 7;
  base.rsv[KS_CKP_RSV_FNO] = 3;
  ASSERT_EQ(ks_trans_close(&t), 0);
  std::map<std::string, std::string> files;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    files[e.path().filename().string()] = kstest::read_file(e.path().string());
  files["C.ckp"] = std::string(reinterpret_cast<const char *>(&base), sizeof base);
  std::vector<std::string> names;
  for (const auto &f : files) names.push_back(f.first);

  const int level = ks_log_inf.log_level;
  ks_log_inf.log_level = KS_LOG_ERROR + 1;
  FuzzLoop loop("restart files", 0.2);
  SCOPED_TRACE("seed " + std::to_string(loop.seed()));
  uint64_t restored = 0;
  while (loop.more() && !HasFailure()) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string &victim = names[loop.below(static_cast<uint32_t>(names.size()))];
    for (const auto &f : files) {
      std::string b = f.second;
      if (f.first == victim) loop.mutate(b, 0);
      kstest::write_file(dir + "/" + f.first, b);
    }
    // The restart as extract's start-up makes it from the checkpoint.
    ks_ckp_t ckp{};
    if (ks_read_check_point(&ckp) != 0) continue;
    t = {};
    t.fd = -1;
    t.fseq = static_cast<int>(ckp.last_fno);
    const bool same_file = ckp.rsv[KS_CKP_RSV_FNO] == ckp.last_fno;
    t.gen = ckp.rsv[KS_CKP_RSV_GEN];
    t.resume_tail = same_file ? ckp.rsv[KS_CKP_RSV_TAIL] : 0;
    if (same_file && t.gen != 0 && t.resume_tail == 0) t.resume_tail = KS_TRAIL_FH_SZ;
    t.flag |= KS_TRANS_KEEP_SPILLS;
    ex = {};
    ex.t = &t;
    if (ks_trans_open(&t) != 0) {
      ASSERT_EQ(t.buf, nullptr) << "a refused start leaves nothing allocated";
      continue;
    }
    restored++;
    // What came back commits: restored images and spill files are read again here.
    std::vector<uint64_t> open_xids;
    for (int i = 0; i < t.max_slots; i++)
      if (t.slot[i].xid != 0) open_xids.push_back(t.slot[i].xid);
    for (uint64_t xid : open_xids) commit(xid, 10);
    ks_trans_close(&t);
  }
  ks_log_inf.log_level = level;
  EXPECT_GT(restored, 0u);
}
