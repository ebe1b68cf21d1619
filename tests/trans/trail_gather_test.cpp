// Gathered trail writes (the capture loop's mode): queued commits reach the file only at
// the flush, in commit order with commits that cannot wait (spilled ones), byte for byte
// what one write per commit produces; a failed gathered write loses nothing and keeps the
// order; queued slots are never joined by later changes and give way to new transactions.
#include <fcntl.h>
#include <unistd.h>

#include "tests/trans/trans_fixture.h"

namespace kstest {
namespace {

class GatherTest : public TransTest {
 protected:
  // Three small transactions, a spilled one, then two small ones again.
  void workload() {
    for (uint64_t i = 1; i <= 6; i++) {
      const uint64_t x = xid_of(3, i, 7);
      if (i == 4)
        add_bytes(x, 10 * i, 6000);  // past the 4096-byte slot buffer: spilled
      else
        ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100 + static_cast<uint32_t>(i)), x, 10 * i), 0);
      ASSERT_EQ(commit(x, 10 * i + 1), 0);
    }
  }
};

TEST_F(GatherTest, QueuedCommitsAreWrittenAtTheFlushInOrderAndAsSingleWritesWouldBe) {
  ASSERT_EQ(open(), 0);
  workload();
  ASSERT_EQ(ks_trans_close(&t), 0);
  const std::string single = read_file(trail(0));
  ASSERT_EQ(unlink(trail(0).c_str()), 0);

  ASSERT_EQ(open(), 0);
  t.flag |= KS_TRANS_GATHER;
  for (uint64_t i = 1; i <= 3; i++) {
    const uint64_t x = xid_of(3, i, 7);
    ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100 + static_cast<uint32_t>(i)), x, 10 * i), 0);
    ASSERT_EQ(commit(x, 10 * i + 1), 0);
  }
  EXPECT_EQ(t.nq, 1);  // 10 slots: at most 2 queued, so the second commit wrote both
  EXPECT_EQ(read_trail(trail(0)).trans.size(), 2u);
  EXPECT_EQ(t.nslot, 1);
  ASSERT_EQ(ks_flush_trail(&t), 0);
  EXPECT_EQ(t.nslot, 0);
  EXPECT_EQ(read_trail(trail(0)).trans.size(), 3u);
  ASSERT_EQ(ks_trans_close(&t), 0);
  ASSERT_EQ(unlink(trail(0).c_str()), 0);

  ASSERT_EQ(open(), 0);
  t.flag |= KS_TRANS_GATHER;
  workload();
  ASSERT_EQ(ks_trans_close(&t), 0);  // writes what is still queued
  EXPECT_EQ(read_file(trail(0)), single);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 6u);
  for (size_t i = 0; i < 6; i++) EXPECT_EQ(tf.trans[i].th.xid, xid_of(3, i + 1, 7));
}

TEST_F(GatherTest, FailedGatheredWriteIsRetriedBeforeTheNextCommitAndNothingIsLost) {
  ASSERT_EQ(open(), 0);
  t.flag |= KS_TRANS_GATHER;
  const uint64_t a = xid_of(4, 1, 1), b = xid_of(4, 2, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), a, 1), 0);
  ASSERT_EQ(commit(a, 2), 0);
  ASSERT_EQ(t.nq, 1);
  // A later change of a partial XID of the same undo slot never joins the queued commit.
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(4, 1, 0xFFFFFFFF), 3), 0);
  EXPECT_EQ(t.nslot, 2);
  ASSERT_EQ(ks_append_lcr(&ex, short_rec(KS_OPC_ROLLBACK).rh(), xid_of(4, 1, 0xFFFFFFFF), 4, 1), 0);

  // The trail descriptor turns read-only: the gathered write fails.
  const int wfd = t.fd;
  t.fd = ::open(trail(0).c_str(), O_RDONLY);
  ASSERT_GE(t.fd, 0);
  EXPECT_EQ(ks_flush_trail(&t), -1);
  EXPECT_EQ(t.nq, 0);
  EXPECT_EQ(t.nslot, 1);
  EXPECT_TRUE(t.slot[0].flag & KS_SLOT_COMMITTED);
  EXPECT_EQ(t.tail, 64);
  ::close(t.fd);
  t.fd = wfd;

  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300), b, 5), 0);
  ASSERT_EQ(commit(b, 6), 0);
  ASSERT_EQ(ks_trans_close(&t), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.xid, a);
  EXPECT_EQ(tf.trans[1].th.xid, b);
  EXPECT_EQ(tf.fh.tail, 64u + tf.trans[0].th.tlen + tf.trans[1].th.tlen);
  EXPECT_EQ(tf.fh.last_xid, b);
}

TEST_F(GatherTest, QueuedSlotsAreWrittenWhenANewTransactionNeedsRoom) {
  params(8, 4096);  // a quarter of the table: two commits queued at most
  ASSERT_EQ(open(), 0);
  t.flag |= KS_TRANS_GATHER;
  for (uint64_t i = 1; i <= 7; i++) ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(5, i, 1), i), 0);
  const uint64_t a = xid_of(5, 1, 1);
  ASSERT_EQ(commit(a, 10), 0);
  EXPECT_EQ(t.nq, 1);
  EXPECT_EQ(t.nslot, 7);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(5, 8, 1), 11), 0);  // the last free slot
  EXPECT_EQ(t.nq, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(5, 9, 1), 12), 0);  // takes the queued one's
  EXPECT_EQ(t.nq, 0);
  EXPECT_EQ(t.nslot, 8);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  EXPECT_EQ(tf.trans[0].th.xid, a);
}

}  // namespace
}  // namespace kstest
