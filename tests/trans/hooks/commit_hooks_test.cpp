// The writer's side of the commit-time steps (rollback resolution, DDL tracing): this
// program brings its own ks_check_rollback and ks_trace_ddl, standing in for the real ones,
// so each outcome those steps may return is exercised.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/trans/trans_fixture.h"

using namespace kstest;
using ::testing::HasSubstr;

namespace {
int rollback_calls = 0;
int trace_calls = 0;
int trace_result = 0;
bool trace_rebuild_in_tbuf = false;
}  // namespace

int ks_check_rollback(ks_extr_t *ex, ks_lcr_th_t *thdr) {
  (void)ex;
  rollback_calls++;
  // Mark the first record discarded, as resolution does; its result is not looked at.
  auto *img = reinterpret_cast<uint8_t *>(thdr);
  ks_lcr_set_u32(img, 32 + 4, ks_lcr_u32(img, 32 + 4) | KS_RH_DISCARD);
  return -1;
}

// Rewrites the image to the DDL record (first record) and a COMMIT, in place or in tbuf.
int ks_trace_ddl(ks_extr_t *ex, ks_lcr_th_t *thdr, int tbsz) {
  (void)tbsz;
  trace_calls++;
  if (trace_result != 0) return trace_result;
  auto *img = reinterpret_cast<uint8_t *>(thdr);
  uint8_t *out = trace_rebuild_in_tbuf ? ex->t->tbuf : img;
  const uint32_t ddl_len = ks_lcr_u32(img, 32);
  ks_lcr_th_t th = ks_lcr_load<ks_lcr_th_t>(img);
  std::memmove(out + 32, img + 32, ddl_len);
  ks_lcr_rhs_t c = {16, KS_RH_SHORT, KS_OPC_COMMIT, 0};
  std::memcpy(out + 32 + ddl_len, &c, 16);
  th.tlen = 32 + ddl_len + 16;
  th.nlcr = 2;
  ks_lcr_store(out, th);
  return 0;
}

class CommitHooks : public TransTest {
 protected:
  void SetUp() override {
    TransTest::SetUp();
    rollback_calls = trace_calls = trace_result = 0;
    trace_rebuild_in_tbuf = false;
  }
  void ddl_transaction(uint64_t x) {
    ASSERT_EQ(add(full_rec(KS_OPC_DDL, 120), x, 1), 0);
    ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300, KS_RH_SYSOBJ), x, 2), 0);
    ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 200, KS_RH_SYSOBJ), x, 3), 0);
  }
};

TEST_F(CommitHooks, RollbackResolutionRunsOnlyWithRollbackRedoAndItsMarksAreWritten) {
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(1, 1, 1), 1), 0);
  ASSERT_EQ(commit(xid_of(1, 1, 1), 2), 0);
  EXPECT_EQ(rollback_calls, 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(1, 2, 1), 3), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_DELETE, 96, KS_RH_ROLLBACK | KS_RH_DISCARD), xid_of(1, 2, 1), 4), 0);
  ASSERT_EQ(commit(xid_of(1, 2, 1), 5), 0);  // its -1 does not stop the write
  EXPECT_EQ(rollback_calls, 1);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  uint32_t flag;
  std::memcpy(&flag, tf.trans[1].body.data() + 4, 4);
  EXPECT_EQ(flag, KS_RH_DISCARD);
}

TEST_F(CommitHooks, TracedDdlTransactionIsWrittenAsRewrittenInPlaceOrInTheWorkBuffer) {
  ASSERT_EQ(open(), 0);
  ddl_transaction(xid_of(2, 1, 1));
  ASSERT_EQ(commit(xid_of(2, 1, 1), 4), 0);
  trace_rebuild_in_tbuf = true;
  ddl_transaction(xid_of(2, 2, 1));
  ASSERT_EQ(commit(xid_of(2, 2, 1), 5), 0);
  EXPECT_EQ(trace_calls, 2);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  for (const auto &tr : tf.trans) {
    EXPECT_EQ(tr.th.tlen, 32u + 120 + 16);
    EXPECT_EQ(tr.th.nlcr, 2u);
    EXPECT_EQ(tr.th.flag, KS_TH_TRANS | KS_TH_DDL);
  }
}

TEST_F(CommitHooks, TracingThatDeliversNothingDropsTheTransactionAndItsSpillFile) {
  ASSERT_EQ(open(), 0);
  trace_result = -9;
  const uint64_t x = xid_of(3, 1, 1);
  ddl_transaction(x);
  add_bytes(x, 4, 5000);  // sys-object rows, now spilled
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 5000, KS_RH_SYSOBJ), x, 4), 0);
  ASSERT_TRUE(file_exists(spill(x, 1)));
  ASSERT_EQ(commit(x, 6), 0);
  EXPECT_FALSE(file_exists(spill(x, 1)));
  EXPECT_FALSE(file_exists(trail(0)));
  EXPECT_EQ(t.nslot, 0);
}

TEST_F(CommitHooks, TracingErrorFailsTheCommitAndKeepsTheTransaction) {
  ASSERT_EQ(open(), 0);
  trace_result = -1;
  ddl_transaction(xid_of(4, 1, 1));
  // Kept as a commit not yet written: capture holds until it can be.
  EXPECT_EQ(commit(xid_of(4, 1, 1), 6), 0);
  EXPECT_THAT(last_message(), HasSubstr("trace DDL error."));
  EXPECT_TRUE(t.flag & KS_TRANS_PENDING);
  EXPECT_EQ(t.nslot, 1);
}

TEST_F(CommitHooks, FailedWriteAfterTracingRetriesWithoutTracingAgain) {
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(mkdir(trail(0).c_str(), 0755), 0);
  ddl_transaction(xid_of(5, 1, 1));
  EXPECT_EQ(commit(xid_of(5, 1, 1), 6), 0);
  EXPECT_TRUE(t.flag & KS_TRANS_PENDING);
  EXPECT_EQ(trace_calls, 1);
  ASSERT_EQ(rmdir(trail(0).c_str()), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(5, 2, 1), 7), 0);
  ASSERT_EQ(commit(xid_of(5, 2, 1), 8), 0);
  EXPECT_EQ(trace_calls, 1);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.nlcr, 2u);
  EXPECT_EQ(tf.trans[0].th.flag, KS_TH_TRANS | KS_TH_DDL);
}
