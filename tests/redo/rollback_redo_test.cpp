// Rollback redo (row operations without undo, with a 5.6 or 5.11) met in the middle of
// other sessions' redo: a full rollback of a transaction other than the previous record's
// is dropped without an error line (its ROLLBACK discards the transaction anyway), while a
// rollback to a savepoint that cannot be placed is still reported as a fault. Also here,
// with the same records: a record whose changes reach a real transaction table only part
// way is taken back whole, the last piece of a row stored as pieces included, and a value
// split over pieces is delivered whole. Records are encoded in memory with the simulated
// source's record builder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "extract/trans/trans.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"
#include "sim/source/redo_encode.h"
#include "tests/testutil.h"

namespace {

namespace R = ks::redo;
using ks::sim::ks_redo_record;
using ks::sim::ks_rowref_t;
using ks::sim::ks_suplog_t;

constexpr uint32_t kEmp = 74501;  // APP.EMP in the fixture dictionary

struct Seen {
  uint32_t opc;
  uint32_t flag;
  uint64_t xid;
  std::vector<ks_lcr_ch_t> cols;  // the column entries
};
std::vector<Seen> g_seen;

int tap(ks_extr_t *, ks_lcr_rh_t *rh, uint64_t xid, uint64_t, uint32_t) {
  Seen s{rh->opc, rh->flag, xid, {}};
  const uint8_t *p = reinterpret_cast<const uint8_t *>(rh);
  for (uint32_t at = KS_LCR_RH_SZ; at + KS_LCR_CH_SZ <= rh->rlen;) {
    s.cols.push_back(ks_lcr_load<ks_lcr_ch_t>(p + at));
    if (s.cols.back().alen == 0) break;
    at += s.cols.back().alen;
  }
  g_seen.push_back(s);
  return 0;
}

class RollbackRedo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dict_path = std::string(KS_TEST_DATA_DIR) + "/redo/rollback_le_v10_b512.dict";
    ASSERT_EQ(ks_dict_load_block(dict_path.c_str(), malloc, free, &block_), 0);
    ks_dict_attach(block_, &dict_);
    mem_.resize(KS_BUF_TOTAL);
    ks_cut_buffer(&buf_, mem_.data());
    log_.vsn = static_cast<int>(R::KS_REDO_VSN10);
    log_.vhsz = 24;
    log_.cls_usn = 11;
    ex_.b = &buf_;
    ex_.l = &log_;
    ex_.m = &x_miner;
    ex_.d = &dict_;
    rec_.setup(false, R::KS_REDO_VSN10);
    x_lcr_tap = tap;
    g_seen.clear();
    ks_log_inf.log_level = KS_LOG_ERROR;
  }
  void TearDown() override {
    x_lcr_tap = nullptr;
    free(block_);
  }
  void parse() {
    ASSERT_EQ(rec_.finish(), 0);
    std::memcpy(buf_.record, rec_.data(), rec_.size());
    ks_parse_record(&ex_, static_cast<int>(rec_.size()));
  }
  // One insert of row r with no column (a piece of a row when fb is set), and the commit
  // of its transaction when asked, decoded: ks_parse_record's result.
  int insert_rc(uint64_t xid, ks_rowref_t r, const ks_suplog_t &sup, bool with_commit, uint8_t fb = 0,
                ks_rowref_t next = {0, 0}) {
    rec_.begin(scn_++, 1, 0, 0);
    if (fb) rec_.set_piece(fb, next);
    rec_.undo_of_insert(xid, kEmp, r, sup);
    rec_.redo_irp(r, nullptr, 0);
    if (with_commit) rec_.commit(xid, false);
    EXPECT_EQ(rec_.finish(), 0);
    std::memcpy(buf_.record, rec_.data(), rec_.size());
    return ks_parse_record(&ex_, static_cast<int>(rec_.size()));
  }
  void insert(uint64_t xid, uint16_t slot) { insert_rc(xid, ks_rowref_t{0x01000100, slot}, ks_suplog_t{}, false); }
  // The redo that undoes an insert: 11.3 with its supplemental header, then 5.6 or 5.11.
  void undo_insert(uint64_t xid, uint16_t slot, uint8_t code) {
    rec_.begin(scn_++, 1, 0, 0);
    ks_suplog_t sup;
    rec_.redo_drp(ks_rowref_t{0x01000100, slot}, &sup);
    rec_.rollback_undo(code, xid, kEmp);
    parse();
  }

  kstest::TempHome home_;
  uint8_t *block_ = nullptr;
  ks_dict_t dict_{};
  std::vector<uint8_t> mem_;
  ks_buffer_t buf_{};
  ks_logf_t log_{};
  ks_extr_t ex_{};
  ks_redo_record rec_;
  uint64_t scn_ = 5000000;
};

TEST_F(RollbackRedo, InterleavedFullRollbackIsDroppedQuietlySavepointRollbackIsAFault) {
  const uint64_t a = R::make_xid(4, 10, 900), b = R::make_xid(6, 1, 55);
  insert(a, 1);
  insert(b, 2);
  ASSERT_EQ(g_seen.size(), 2u);

  KS_ERROR("mark");
  undo_insert(a, 1, 6);  // full rollback of a, after b's record
  EXPECT_EQ(g_seen.size(), 2u);
  EXPECT_NE(std::string(ks_log_get_message()).find("mark"), std::string::npos) << ks_log_get_message();

  undo_insert(a, 1, 11);  // rollback to a savepoint of a, after b's record: the change would stand
  EXPECT_EQ(g_seen.size(), 2u);
  // Refused by the handler: reported as a change not decoded, with its operation.
  EXPECT_NE(std::string(ks_log_get_message()).find("change not decoded (rba="), std::string::npos)
      << ks_log_get_message();

  undo_insert(b, 2, 6);  // b's own rollback right after its change: a discard LCR for b
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[2].opc, KS_OPC_DELETE);
  EXPECT_EQ(g_seen[2].flag & (KS_RH_DISCARD | KS_RH_ROLLBACK), KS_RH_DISCARD | KS_RH_ROLLBACK);
  EXPECT_EQ(g_seen[2].xid, b);
}

}  // namespace

namespace {

// A record of an insert and its commit, for a transaction table whose buffer holds
// exactly three inserts: the commit must go to the spill file, which cannot be made the
// first time. The record is held and leaves nothing; its retry is taken whole.
TEST_F(RollbackRedo, ARecordHeldPartWayLeavesNoTraceInTheTransactionTableAndItsRetryIsTakenWhole) {
  std::strcpy(unit_name, "U");
  std::strcpy(com_name, "C");
  ASSERT_EQ(mkdir(home_.file("data/U").c_str(), 0755), 0);
  const uint64_t a = R::make_xid(3, 4, 5);
  auto record = [&](uint16_t slot, bool with_commit) {
    return insert_rc(a, ks_rowref_t{0x01000100, slot}, ks_suplog_t{}, with_commit);
  };
  x_lcr_tap = nullptr;
  ks_trans_t t{};
  t.fd = -1;
  ex_.t = &t;
  // The size of one insert's record in the table.
  ASSERT_EQ(ks_trans_init_table(&t, 8, 65536, 1 << 20), 0);
  ASSERT_EQ(record(1, false), 0);
  ASSERT_EQ(t.nslot, 1);
  const uint32_t one = static_cast<uint32_t>(t.slot[0].dlen) - KS_LCR_TH_SZ;
  ks_trans_free_table(&t);

  t = {};
  t.fd = -1;
  t.max_tsz = 1 << 30;
  std::vector<uint8_t> work(KS_TRANS_TBUF_SZ);  // where a spilled image is read back
  t.tbuf = work.data();
  ASSERT_EQ(ks_trans_init_table(&t, 8, static_cast<int>(KS_LCR_TH_SZ + 3 * one), 1 << 20), 0);
  ASSERT_EQ(record(1, false), 0);
  ASSERT_EQ(record(2, false), 0);
  char spill[PATH_MAX];
  ks_spill_file_name(spill, sizeof spill, a, t.slot[0].sscn);
  ASSERT_EQ(mkdir(spill, 0755), 0);
  const uint64_t scn = scn_;
  EXPECT_EQ(record(3, true), KS_RC_HOLD);
  EXPECT_EQ(t.slot[0].dlen, KS_LCR_TH_SZ + 2 * one);
  EXPECT_EQ(t.slot[0].nlcr, 2u);
  EXPECT_FALSE(t.slot[0].flag & (KS_SLOT_SPILLED | KS_SLOT_COMMITTED));
  char trail[PATH_MAX];
  ks_trail_file_name(trail, sizeof trail, 0);
  EXPECT_FALSE(kstest::file_exists(trail));

  ASSERT_EQ(rmdir(spill), 0);
  scn_ = scn;  // the same record, read again
  EXPECT_EQ(record(3, true), 0);
  EXPECT_EQ(t.nslot, 0);
  const std::string data = kstest::read_file(trail);
  ASSERT_GE(data.size(), KS_TRAIL_FH_SZ + KS_LCR_TH_SZ);
  const auto th = ks_lcr_load<ks_lcr_th_t>(reinterpret_cast<const uint8_t *>(data.data()) + KS_TRAIL_FH_SZ);
  EXPECT_EQ(th.nlcr, 4u);  // three inserts and the commit, each once
  EXPECT_EQ(th.xid, a);
  if (t.fd >= 0) close(t.fd);
  ks_trans_free_table(&t);
  ex_.t = nullptr;
}

}  // namespace

namespace {
// Undo and redo of one piece of a row inserted as pieces.
struct PieceRec {
  uint16_t slot;
  uint8_t sup_flags, fb;
  uint16_t next;
};
}  // namespace

// A row inserted as two pieces whose last record the transaction table holds: the piece
// that record brought is taken back with the change, and the retry builds the row once.
TEST_F(RollbackRedo, TheHeldLastPieceOfARowIsTakenBackAndTheRowBuiltOnceOnItsRetry) {
  std::strcpy(unit_name, "U");
  std::strcpy(com_name, "C");
  ASSERT_EQ(mkdir(home_.file("data/U").c_str(), 0755), 0);
  const uint64_t a = R::make_xid(3, 4, 6);
  const uint32_t kDba = 0x01000200;
  auto record = [&](const PieceRec &p, bool with_commit) {
    ks_suplog_t sup;
    sup.flags = p.sup_flags;
    sup.long_hdr = true;
    sup.head_dba = kDba;
    sup.head_slot = 1;
    sup.op = 2;
    return insert_rc(a, ks_rowref_t{kDba, p.slot}, sup, with_commit, p.fb, ks_rowref_t{p.next ? kDba : 0, p.next});
  };
  x_lcr_tap = nullptr;
  ks_trans_t t{};
  t.fd = -1;
  t.max_tsz = 1 << 30;
  std::vector<uint8_t> work(KS_TRANS_TBUF_SZ);
  t.tbuf = work.data();
  ex_.t = &t;
  ASSERT_EQ(ks_trans_init_table(&t, 8, 200, 1 << 20), 0);  // the row's change does not fit in the slot
  const PieceRec tail{2, R::KS_REDO_SUP_FIRST, R::KS_REDO_ROW_LAST, 0};
  const PieceRec head{1, R::KS_REDO_SUP_LAST, R::KS_REDO_ROW_HEAD | R::KS_REDO_ROW_FIRST, 2};
  ASSERT_EQ(record(tail, false), 0);
  ASSERT_EQ(t.nslot, 0);  // a piece alone is no change yet
  char spill[PATH_MAX];
  ks_spill_file_name(spill, sizeof spill, a, scn_ - 1);
  ASSERT_EQ(mkdir(spill, 0755), 0);  // the spill file cannot be made: the table holds
  const uint64_t scn = scn_;
  EXPECT_EQ(record(head, true), KS_RC_HOLD);
  EXPECT_EQ(ks_chain_get_row(&x_chain, ks_chain_find(&x_chain, kDba, 1)).nrec, 1u);  // the head taken back
  ASSERT_EQ(rmdir(spill), 0);
  scn_ = scn;
  EXPECT_EQ(record(head, true), 0);
  EXPECT_EQ(ks_chain_find(&x_chain, kDba, 1), -1);
  char trail[PATH_MAX];
  ks_trail_file_name(trail, sizeof trail, 0);
  const std::string data = kstest::read_file(trail);
  ASSERT_GE(data.size(), KS_TRAIL_FH_SZ + KS_LCR_TH_SZ);
  const auto th = ks_lcr_load<ks_lcr_th_t>(reinterpret_cast<const uint8_t *>(data.data()) + KS_TRAIL_FH_SZ);
  EXPECT_EQ(th.nlcr, 2u);  // the row's insert and the commit
  if (t.fd >= 0) close(t.fd);
  ks_trans_free_table(&t);
  ex_.t = nullptr;
}

// A value split over two pieces of a row and longer than an in-line value: inserted, it
// travels as a long value after the row (one LONG WRITE per piece, then the closing one);
// deleted, its old value is kept whole, never cut to the in-line length.
TEST_F(RollbackRedo, AValueSplitOverPiecesAndLongerThanInLineIsDeliveredWhole) {
  const uint64_t a = R::make_xid(5, 6, 7);
  const uint32_t kDba = 0x01000300;
  const std::vector<uint8_t> id{0xc1, 0x02}, part1(3000, 'a'), part2(1500, 'b');
  const ks::sim::ks_colval_t head_cols[2] = {{id.data(), 2}, {part1.data(), 3000}},
                             tail_cols[1] = {{part2.data(), 1500}};
  auto piece = [&](bool insert, uint16_t slot, uint8_t flags, uint8_t fb, uint16_t next, uint16_t scid) {
    rec_.begin(scn_++, 1, 0, 0);
    ks_suplog_t sup;
    sup.flags = flags;
    sup.long_hdr = true;
    sup.head_dba = kDba;
    sup.head_slot = 1;
    sup.op = insert ? 2 : 4;
    ks_rowref_t r{kDba, slot};
    const ks::sim::ks_colval_t *v = slot == 1 ? head_cols : tail_cols;
    const int n = slot == 1 ? 2 : 1;
    rec_.set_piece(fb, ks_rowref_t{next ? kDba : 0, next});
    if (insert) {
      sup.redo_scid = scid;
      rec_.undo_of_insert(a, kEmp, r, sup);
      rec_.redo_irp(r, v, n);
    } else {
      sup.undo_scid = scid;
      rec_.undo_of_delete(a, kEmp, r, v, n, sup);
      rec_.redo_drp(r);
    }
    parse();
  };
  const uint8_t kHead = R::KS_REDO_ROW_HEAD | R::KS_REDO_ROW_FIRST | R::KS_REDO_ROW_NEXT_CONT;
  const uint8_t kTail = R::KS_REDO_ROW_PREV_CONT | R::KS_REDO_ROW_LAST;
  piece(true, 2, R::KS_REDO_SUP_FIRST, kTail, 0, 2);  // tail first, head last
  piece(true, 1, R::KS_REDO_SUP_LAST, kHead, 2, 1);
  piece(false, 1, R::KS_REDO_SUP_FIRST, kHead, 2, 1);
  piece(false, 2, R::KS_REDO_SUP_LAST, kTail, 0, 2);
  ASSERT_EQ(g_seen.size(), 5u);
  EXPECT_EQ(g_seen[0].opc, KS_OPC_INSERT);
  ASSERT_GE(g_seen[0].cols.size(), 2u);
  EXPECT_EQ(g_seen[0].cols[1].flag & KS_CH_DYNAMIC, KS_CH_DYNAMIC);
  EXPECT_EQ(g_seen[0].cols[1].dlen, 0u);
  EXPECT_EQ(g_seen[1].opc, KS_OPC_LONG_WRITE);
  ASSERT_EQ(g_seen[1].cols.size(), 1u);
  EXPECT_EQ(g_seen[1].cols[0].dlen, 3000u);
  EXPECT_EQ(g_seen[2].cols[0].dlen, 1500u);
  EXPECT_EQ(g_seen[3].opc, KS_OPC_LONG_WRITE);
  EXPECT_EQ(g_seen[3].flag & KS_RH_LONG_END, KS_RH_LONG_END);
  EXPECT_EQ(g_seen[4].opc, KS_OPC_DELETE);
  ASSERT_GE(g_seen[4].cols.size(), 2u);
  EXPECT_EQ(g_seen[4].cols[1].dlen, 4500u);
  EXPECT_EQ(g_seen[4].cols[1].flag & KS_CH_DYNAMIC, 0u);
  for (const Seen &s : g_seen) EXPECT_EQ(s.xid, a);
}
