// Rollback resolution at commit, through the writer: transactions collected with their
// rollback-redo records are committed and the flags read back from the trail (in memory)
// or from the transaction's own file (by reference).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "extract/extract.h"
#include "tests/trans/trans_fixture.h"

using namespace kstest;
using ::testing::HasSubstr;

namespace {

constexpr uint32_t RB = KS_RH_ROLLBACK | KS_RH_DISCARD;  // as the decoder builds rollback redo

// "<opc>[d][r]" per record: d discarded, r rollback redo.
std::string marks(const std::string &recs, size_t from = 0, size_t limit = ~size_t(0)) {
  std::string out;
  size_t n = 0;
  for (size_t off = from; off + 12 <= recs.size() && n < limit; n++) {
    uint32_t rlen = ks_lcr_u32(recs.data(), off), flag = ks_lcr_u32(recs.data(), off + 4),
             opc = ks_lcr_u32(recs.data(), off + 8);
    if (rlen < 16) return out + " <bad length>";
    if (!out.empty()) out += ' ';
    out += std::to_string(opc);
    if (flag & KS_RH_DISCARD) out += 'd';
    if (flag & KS_RH_ROLLBACK) out += 'r';
    off += rlen;
  }
  return out;
}

class CheckRollback : public TransTest {
 protected:
  void SetUp() override {
    TransTest::SetUp();
    ASSERT_EQ(open(), 0);
    // The capture process's work area, whose scratch cut holds the index.
    work.assign(KS_BUF_TOTAL / 8, 0);
    ks_cut_buffer(&buf, reinterpret_cast<uint8_t *>(work.data()));
    ex.b = &buf;
  }
  // Collects records (opc, flag) of one transaction, commits it and returns the marks of
  // its records as written.
  std::string run(uint64_t x, const std::vector<std::pair<uint32_t, uint32_t>> &recs) {
    uint64_t scn = ++next_scn;
    for (auto [opc, flag] : recs) {
      uint32_t rlen = flag & RB ? KS_LCR_RH_SZ : 160;
      if (opc == KS_OPC_LOB_WRITE) rlen = 140;
      EXPECT_EQ(add(full_rec(opc, rlen, flag), x, scn), 0);
    }
    EXPECT_EQ(commit(x, ++next_scn), 0);
    TrailFile tf = read_trail(trail(0));
    if (tf.trans.empty()) return "<nothing written>";
    return marks(tf.trans.back().body);
  }

  std::vector<uint64_t> work;
  ks_buffer_t buf = {};
  uint64_t next_scn = 10;
};

TEST_F(CheckRollback, EachRollbackCancelsTheLatestChangeStillStanding) {
  // Insert then its rollback; an earlier insert stays.
  EXPECT_EQ(run(xid_of(1, 1, 1), {{KS_OPC_INSERT, 0}, {KS_OPC_INSERT, 0}, {KS_OPC_DELETE, RB}}), "1 1d 3dr 7");
  // Update then its rollback.
  EXPECT_EQ(run(xid_of(1, 2, 1), {{KS_OPC_DELETE, 0}, {KS_OPC_UPDATE, 0}, {KS_OPC_UPDATE, RB}}), "3 2d 2dr 7");
  // Nested savepoints: the inner rollback first, then the outer one passes over what is
  // already cancelled.
  EXPECT_EQ(run(xid_of(1, 3, 1), {{KS_OPC_INSERT, 0},
                                  {KS_OPC_INSERT, 0},
                                  {KS_OPC_UPDATE, 0},
                                  {KS_OPC_UPDATE, RB},
                                  {KS_OPC_DELETE, 0},
                                  {KS_OPC_INSERT, RB},
                                  {KS_OPC_DELETE, RB},
                                  {KS_OPC_UPDATE, 0}}),
            "1 1d 2d 2dr 3d 1dr 3dr 2 7");
  // Two rollbacks in a row cancel the two latest changes.
  EXPECT_EQ(run(xid_of(1, 4, 1), {{KS_OPC_INSERT, 0}, {KS_OPC_UPDATE, 0}, {KS_OPC_UPDATE, RB}, {KS_OPC_DELETE, RB}}),
            "1d 2d 2dr 3dr 7");
}

TEST_F(CheckRollback, RollbackWithNothingToCancelIsLoggedAndTheRestStillResolved) {
  const uint64_t x = xid_of(2, 1, 1);
  EXPECT_EQ(run(x, {{KS_OPC_DELETE, RB}, {KS_OPC_INSERT, 0}, {KS_OPC_INSERT, 0}, {KS_OPC_DELETE, RB}}),
            "3dr 1 1d 3dr 7");
  // The first rollback finds nothing: no earlier change.
  EXPECT_THAT(last_message(),
              HasSubstr("transaction \"" + std::to_string(x) + "\" opc=3, not found record to rollback."));
}

TEST_F(CheckRollback, LongPiecesGoWithTheirChange) {
  EXPECT_EQ(run(xid_of(3, 1, 1), {{KS_OPC_INSERT, 0},
                                  {KS_OPC_UPDATE, 0},
                                  {KS_OPC_LONG_WRITE, 0},
                                  {KS_OPC_LONG_WRITE, 0},
                                  {KS_OPC_LONG_WRITE, KS_RH_LONG_END},
                                  {KS_OPC_UPDATE, RB}}),
            "1 2d 10d 10d 10d 2dr 7");
  // Pieces with no change before them: the record is malformed and nothing is marked.
  EXPECT_EQ(run(xid_of(3, 2, 1), {{KS_OPC_LONG_WRITE, 0}, {KS_OPC_LONG_WRITE, 0}, {KS_OPC_UPDATE, RB}}), "10 10 2dr 7");
}

TEST_F(CheckRollback, LobOperationsGoWithTheirChange) {
  // LOB SELECT and its writes, then a LOB ROLLBACK: all three discarded, the row stays.
  EXPECT_EQ(run(xid_of(4, 1, 1), {{KS_OPC_INSERT, 0},
                                  {KS_OPC_LOB_SELECT, 0},
                                  {KS_OPC_LOB_WRITE, 0},
                                  {KS_OPC_LOB_WRITE, 0},
                                  {KS_OPC_LOB_ROLLBACK, RB}}),
            "1 15d 12d 12d 50dr 7");
  // Trim and erase are reversed with the select that located the LOB.
  EXPECT_EQ(run(xid_of(4, 2, 1),
                {{KS_OPC_LOB_SELECT, 0}, {KS_OPC_LOB_TRIM, 0}, {KS_OPC_LOB_ERASE, 0}, {KS_OPC_LOB_ROLLBACK, RB}}),
            "15d 13d 14d 50dr 7");
  // A row insert written with its LOB data: the rollback of the row takes the LOB
  // records with it.
  EXPECT_EQ(
      run(xid_of(4, 3, 1),
          {{KS_OPC_UPDATE, 0}, {KS_OPC_INSERT, 0}, {KS_OPC_LOB_SELECT, 0}, {KS_OPC_LOB_WRITE, 0}, {KS_OPC_DELETE, RB}}),
      "2 1d 15d 12d 3dr 7");
  // The UPDATE built from the operation's first locator vector (LOB set empty) goes with
  // it; an ordinary update of the same statement before it stays.
  EXPECT_EQ(run(xid_of(4, 5, 1), {{KS_OPC_UPDATE, 0},
                                  {KS_OPC_UPDATE, KS_RH_FROM_LLB},
                                  {KS_OPC_LOB_SELECT, 0},
                                  {KS_OPC_LOB_WRITE, 0},
                                  {KS_OPC_LOB_ROLLBACK, RB}}),
            "2 2d 15d 12d 50dr 7");
  // A LOB ROLLBACK that meets an insert does not match: nothing is marked.
  EXPECT_EQ(run(xid_of(4, 4, 1), {{KS_OPC_INSERT, 0}, {KS_OPC_LOB_ROLLBACK, RB}}), "1 50dr 7");
  EXPECT_THAT(last_message(), HasSubstr("LOB operation rollback error, record not matched (opc=1)"));
}

TEST_F(CheckRollback, OutOfRowLobRollback) {
  // After an update it acts as a LOB ROLLBACK of the update.
  EXPECT_EQ(run(xid_of(5, 1, 1), {{KS_OPC_INSERT, 0}, {KS_OPC_UPDATE, 0}, {KS_OPC_OUT_LOB_ROLLBACK, RB}}),
            "1 2d 51dr 7");
  // Followed by a LOB ROLLBACK it gives way to it: one change is cancelled, not two.
  EXPECT_EQ(run(xid_of(5, 2, 1), {{KS_OPC_INSERT, 0},
                                  {KS_OPC_LOB_SELECT, 0},
                                  {KS_OPC_LOB_WRITE, 0},
                                  {KS_OPC_OUT_LOB_ROLLBACK, RB},
                                  {KS_OPC_LOB_ROLLBACK, RB}}),
            "1 15d 12d 51d 50dr 7");
  // After the rollback of a row insert it is resolved before it: the LOB records first,
  // then the row, and nothing is left unmatched.
  EXPECT_EQ(run(xid_of(5, 3, 1), {{KS_OPC_UPDATE, 0},
                                  {KS_OPC_INSERT, 0},
                                  {KS_OPC_LOB_SELECT, 0},
                                  {KS_OPC_LOB_WRITE, 0},
                                  {KS_OPC_DELETE, RB},
                                  {KS_OPC_OUT_LOB_ROLLBACK, RB}}),
            "2 1d 15d 12d 3dr 51dr 7");
  // As the first record it ends the resolution: nothing else is marked.
  const uint64_t x = xid_of(5, 4, 1);
  EXPECT_EQ(run(x, {{KS_OPC_OUT_LOB_ROLLBACK, RB}, {KS_OPC_INSERT, 0}, {KS_OPC_DELETE, RB}}), "51dr 1 3dr 7");
  EXPECT_THAT(last_message(),
              HasSubstr("transaction \"" + std::to_string(x) + "\" opc=51, not found record to rollback."));
}

TEST_F(CheckRollback, IndexDeleteAndInsertPairReversesOneUpdate) {
  EXPECT_EQ(run(xid_of(6, 1, 1),
                {{KS_OPC_INSERT, 0}, {KS_OPC_UPDATE, 0}, {KS_OPC_INDEX_DELETE, RB}, {KS_OPC_INDEX_INSERT, RB}}),
            "1 2d 63dr 61dr 7");
  // Index rollbacks of other kinds each cancel a change.
  EXPECT_EQ(run(xid_of(6, 2, 1),
                {{KS_OPC_INSERT, 0}, {KS_OPC_INSERT, 0}, {KS_OPC_INDEX_INSERT, RB}, {KS_OPC_INDEX_UPDATE, RB}}),
            "1d 1d 61dr 62dr 7");
}

TEST_F(CheckRollback, ResolutionRunsOnceWhenTheTrailWriteIsRetried) {
  ASSERT_EQ(mkdir(trail(0).c_str(), 0755), 0);
  const uint64_t x = xid_of(7, 1, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 160), x, 1), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 160), x, 2), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_DELETE, 96, RB), x, 3), 0);
  EXPECT_EQ(commit(x, 4), 0);
  ASSERT_EQ(rmdir(trail(0).c_str()), 0);
  EXPECT_EQ(run(xid_of(7, 2, 1), {{KS_OPC_INSERT, 0}}), "1 7");
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(marks(tf.trans[0].body), "1 1d 3dr 7");
}

// A transaction of 1 MiB or more goes by reference: its file is read in 1 MiB chunks and
// the marks are written into it.
TEST_F(CheckRollback, TransactionByReferenceIsResolvedInItsFile) {
  ex.b = nullptr;  // the index then comes from the heap
  const uint64_t x = xid_of(8, 1, 1);
  // 20 records of 60000 bytes: the 18th (from file offset 1020032) crosses the first
  // 1 MiB chunk.
  for (int i = 0; i < 20; i++) ASSERT_EQ(add(full_rec(i == 0 ? KS_OPC_UPDATE : KS_OPC_INSERT, 60000), x, 5), 0);
  for (int i = 0; i < 4; i++) ASSERT_EQ(add(full_rec(KS_OPC_DELETE, 96, RB), x, 6), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 96, RB), x, 6), 0);
  ASSERT_EQ(commit(x, 7), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  ASSERT_TRUE(tf.trans[0].th.flag & KS_TH_BYREF);
  std::string recs = read_file(spill(x, 5)).substr(32);
  // Five cancelled, from the 20th back to the 16th, which lies in the first chunk.
  EXPECT_EQ(marks(recs, 0, 15), "2 1 1 1 1 1 1 1 1 1 1 1 1 1 1");
  EXPECT_EQ(marks(recs, 15 * 60000), "1d 1d 1d 1d 1d 3dr 3dr 3dr 3dr 2dr 7");
}

// A commit by reference marks its file; a crash before the next saved checkpoint brings
// the transaction back open from the save, with that file. The marks must not survive
// into the commit that comes again: they would make its rollback records cancel changes
// before the ones they undo. The whole is done twice, as a second crash would.
TEST_F(CheckRollback, ACrashAfterACommitByReferenceResolvesItsRollbacksOnceAgain) {
  ex.b = nullptr;
  const uint64_t x = xid_of(8, 2, 1);
  for (int i = 0; i < 18; i++) ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 60000), x, 5), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 96), x, 5), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 96, RB), x, 6), 0);  // undoes the update
  t.gen = 1;
  ASSERT_EQ(ks_trans_save(&t), 0);
  const uint32_t tail = static_cast<uint32_t>(t.tail);
  auto after_save = [&]() {
    ASSERT_EQ(add(full_rec(KS_OPC_DELETE, 96), x, 7), 0);
    ASSERT_EQ(add(full_rec(KS_OPC_DELETE, 96, RB), x, 7), 0);  // undoes the delete
    ASSERT_EQ(commit(x, 8), 0);
    ASSERT_TRUE(read_trail(trail(0)).trans.at(0).th.flag & KS_TH_BYREF);
    EXPECT_EQ(marks(read_file(spill(x, 5)).substr(32), 17 * 60000), "1 2d 2dr 3d 3dr 7");
  };
  after_save();
  for (int round = 0; round < 2; round++) {
    ks_trans_free_table(&t);  // the process dies
    t = {};
    t.fd = -1;
    t.gen = 1;
    t.resume_tail = tail;
    t.flag = KS_TRANS_KEEP_SPILLS;
    ASSERT_EQ(ks_trans_open(&t), 0) << last_message();
    ASSERT_EQ(t.nslot, 1);
    EXPECT_EQ(marks(read_file(spill(x, 5)).substr(32), 17 * 60000), "1 2 2dr");
    after_save();
  }
  EXPECT_EQ(last_message().find("not found record"), std::string::npos) << last_message();
}

TEST_F(CheckRollback, UnreadableTransactionFileLeavesTheTransactionAsCollected) {
  const uint64_t x = xid_of(9, 1, 1);
  ks_extr_t e = ex;
  std::vector<uint8_t> img(32 + 64, 0);
  ks_lcr_th_t th = {};
  th.flag = KS_TH_TRANS | KS_TH_BYREF;
  th.nlcr = 3;
  th.xid = x;
  std::string path = home.file("data/U/missing");
  th.tlen = static_cast<uint32_t>(32 + path.size() + 1);
  ks_lcr_store(img.data(), th);
  std::memcpy(img.data() + 32, path.c_str(), path.size() + 1);
  EXPECT_EQ(ks_check_rollback(&e, reinterpret_cast<ks_lcr_th_t *>(img.data())), -1);
  EXPECT_THAT(last_message(), HasSubstr("open " + path + ": "));
  // A file cut inside a record is not patched at all.
  Rec a = full_rec(KS_OPC_INSERT, 200), b = full_rec(KS_OPC_DELETE, 96, RB);
  std::string body(32, '\0');
  body.append(reinterpret_cast<char *>(a.bytes()), 200);
  body.append(reinterpret_cast<char *>(b.bytes()), 60);
  write_file(path, body);
  EXPECT_EQ(ks_check_rollback(&e, reinterpret_cast<ks_lcr_th_t *>(img.data())), -1);
  EXPECT_THAT(last_message(), HasSubstr("incomplete record"));
  EXPECT_EQ(read_file(path), body);
}

}  // namespace
