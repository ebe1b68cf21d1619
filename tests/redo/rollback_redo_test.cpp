// Rollback redo (row operations without undo, with a 5.6 or 5.11) met in the middle of
// other sessions' redo: a full rollback of a transaction other than the previous record's
// is dropped without an error line (its ROLLBACK discards the transaction anyway), while a
// rollback to a savepoint that cannot be placed is still reported as a fault. Records are
// encoded in memory with the simulated source's record builder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "extract/redo/redo_format.h"
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
};
std::vector<Seen> g_seen;

int tap(ks_extr_t *, ks_lcr_rh_t *rh, uint64_t xid, uint64_t, uint32_t) {
  g_seen.push_back({rh->opc, rh->flag, xid});
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
    log_.vsn = static_cast<int>(R::kVsn10);
    log_.vhsz = 24;
    log_.cls_usn = 11;
    ex_.b = &buf_;
    ex_.l = &log_;
    ex_.m = &x_miner;
    ex_.d = &dict_;
    rec_.setup(false, R::kVsn10);
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
  void insert(uint64_t xid, uint16_t slot) {
    rec_.begin(scn_++, 1, 0, 0);
    ks_suplog_t sup;
    ks_rowref_t r{0x01000100, slot};
    rec_.undo_of_insert(xid, kEmp, r, sup);
    rec_.redo_irp(r, nullptr, 0);
    parse();
  }
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
