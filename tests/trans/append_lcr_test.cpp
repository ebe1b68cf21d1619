// Collecting, committing and writing transactions, with transactions built in memory.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/trans/trans_fixture.h"

using namespace kstest;
using ::testing::HasSubstr;

namespace {

uint32_t rec_u32(const std::string &body, size_t off) {
  uint32_t v;
  std::memcpy(&v, body.data() + off, 4);
  return v;
}

}  // namespace

TEST_F(TransTest, TagOnlyTransactionIsWrittenWithItsCommitAndTheTagFlag) {
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(3, 4, 5);
  ASSERT_EQ(add(short_rec(KS_OPC_TAG, 8), x, 100), 0);
  ASSERT_EQ(commit(x, 101, 777), 0);
  EXPECT_EQ(t.nslot, 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  const ks_lcr_th_t &th = tf.trans[0].th;
  EXPECT_EQ(th.flag, 0x40000002u);
  EXPECT_EQ(th.nlcr, 1u);
  EXPECT_EQ(th.tlen, 48u);
  EXPECT_EQ(th.cscn, 101u);
  EXPECT_EQ(th.csct, 777u);
  EXPECT_EQ(th.xid, x);
  EXPECT_EQ(rec_u32(tf.trans[0].body, 8), KS_OPC_COMMIT);
  // The in-memory header follows the writes; the file's header still says "open".
  EXPECT_EQ(t.fhdr.tail, 64u + 48u);
  EXPECT_EQ(t.fhdr.last_scn, 101u);
  EXPECT_EQ(tf.fh.last_scn, KS_SCN_OPEN);
  EXPECT_EQ(tf.fh.first_scn, 101u);
  EXPECT_EQ(tf.fh.first_xid, x);
}

TEST_F(TransTest, CommitOrRollbackOfAnUnseenTransactionIsIgnored) {
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(commit(xid_of(1, 1, 1), 50), 0);
  EXPECT_EQ(add(short_rec(KS_OPC_ROLLBACK), xid_of(1, 2, 1), 51), 0);
  EXPECT_EQ(t.nslot, 0);
  EXPECT_FALSE(file_exists(trail(0)));
}

TEST_F(TransTest, CommitAtOrBelowTheFilterScnIsDroppedAndAboveIsWritten) {
  x_last_scn = 500;
  ASSERT_EQ(open(), 0);
  const uint64_t a = xid_of(1, 1, 1), b = xid_of(1, 2, 1), c = xid_of(1, 3, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), a, 400), 0);
  ASSERT_EQ(commit(a, 500), 0);
  // A spilled one dropped by the filter takes its spill file with it.
  add_bytes(b, 450, 5000);
  ASSERT_TRUE(file_exists(spill(b, 450)));
  ASSERT_EQ(commit(b, 499), 0);
  EXPECT_FALSE(file_exists(spill(b, 450)));
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), c, 400), 0);
  ASSERT_EQ(commit(c, 501), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  EXPECT_EQ(tf.trans[0].th.xid, c);
  EXPECT_EQ(t.nslot, 0);
}

TEST_F(TransTest, ImageOfExactlyTheBufferSizeStaysInMemoryAndOneByteMoreSpills) {
  ASSERT_EQ(open(), 0);
  const uint64_t a = xid_of(2, 1, 9), b = xid_of(2, 2, 9);
  // 32 + 4064 = 4096 = trans_sz.
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 4064), a, 10), 0);
  EXPECT_EQ(t.slot[0].dlen, 4096u);
  EXPECT_FALSE(t.slot[0].flag & KS_SLOT_SPILLED);
  EXPECT_FALSE(file_exists(spill(a, 10)));
  // 32 + 3969 + 96 = 4097: the whole image moves to the spill file.
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 3969), b, 11), 0);
  EXPECT_FALSE(t.slot[1].flag & KS_SLOT_SPILLED);
  ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 96), b, 12), 0);
  ASSERT_TRUE(t.slot[1].flag & KS_SLOT_SPILLED);
  EXPECT_EQ(file_size(spill(b, 11)) + t.wlen, static_cast<off_t>(t.slot[1].dlen));
  // Both commit to identical record bytes whatever the path they took.
  ASSERT_EQ(commit(a, 20), 0);
  ASSERT_EQ(commit(b, 21), 0);
  EXPECT_FALSE(file_exists(spill(b, 11)));
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.tlen, 4096u + 16u);
  EXPECT_EQ(tf.trans[1].th.nlcr, 3u);
  EXPECT_EQ(tf.trans[1].th.flag, KS_TH_TRANS);
  Rec r = full_rec(KS_OPC_INSERT, 3969);
  EXPECT_EQ(tf.trans[1].body.substr(0, 3969), std::string(reinterpret_cast<char *>(r.bytes()), 3969));
}

TEST_F(TransTest, SpilledTransactionBelowOneMebibyteIsCopiedAndAtOneMebibyteGoesByReference) {
  ASSERT_EQ(open(), 0);
  const uint64_t a = xid_of(4, 1, 1), b = xid_of(4, 2, 1);
  // Collected sizes 1048575 and 1048576, COMMIT (16 bytes) and header (32) included.
  add_bytes(a, 30, 1048575 - 32 - 16);
  add_bytes(b, 31, 1048576 - 32 - 16);
  ASSERT_EQ(commit(a, 40), 0);
  EXPECT_FALSE(file_exists(spill(a, 30)));
  ASSERT_EQ(commit(b, 41), 0);
  ASSERT_TRUE(file_exists(spill(b, 31)));

  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.tlen, 1048575u);
  EXPECT_EQ(tf.trans[0].th.flag, KS_TH_TRANS);
  const std::string path = spill(b, 31);
  EXPECT_EQ(tf.trans[1].th.flag, 0x40000001u);
  EXPECT_EQ(tf.trans[1].th.tlen, 32u + path.size() + 1);
  EXPECT_EQ(tf.trans[1].body, path + std::string(1, '\0'));
  // The referenced file holds the records from offset 32, ending with the COMMIT, and
  // its reserved first bytes carry the transaction header.
  std::string sp = read_file(path);
  ASSERT_EQ(sp.size(), 1048576u);
  EXPECT_EQ(rec_u32(sp, sp.size() - 16 + 8), KS_OPC_COMMIT);
  ks_lcr_th_t sh;
  std::memcpy(&sh, sp.data(), 32);
  EXPECT_EQ(sh.xid, b);
  EXPECT_EQ(sh.cscn, 41u);
  EXPECT_EQ(sh.nlcr, tf.trans[1].th.nlcr);
}

TEST_F(TransTest, InMemoryTransactionOfOneMebibyteAlsoGoesByReference) {
  // A slot buffer configured above 1 MiB must not put a transaction in-line that a reader
  // could not hold.
  params(2, 2 * 1048576);
  ASSERT_EQ(open(), 0);
  const uint64_t a = xid_of(4, 3, 1);
  add_bytes(a, 30, 1048576 - 32 - 16);
  EXPECT_FALSE(t.slot[0].flag & KS_SLOT_SPILLED);
  ASSERT_EQ(commit(a, 40), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  EXPECT_EQ(tf.trans[0].th.flag, 0x40000001u);
  EXPECT_EQ(read_file(spill(a, 30)).size(), 1048576u);
}

TEST_F(TransTest, RollOverHappensOnlyWhenTailPlusLengthPassesTheLimit) {
  ASSERT_EQ(open(7), 0);
  const uint64_t a = xid_of(5, 1, 1), b = xid_of(5, 2, 1), c = xid_of(5, 3, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), a, 1), 0);
  ASSERT_EQ(commit(a, 2), 0);
  // Pretend the file has grown to just below the limit (sparse), then add a transaction
  // of length L = 248 that ends exactly at 268435456.
  const uint32_t L = 32 + 200 + 16;
  t.tail = static_cast<int>(268435456u - L);
  t.fhdr.tail = static_cast<uint32_t>(t.tail);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), b, 3), 0);
  ASSERT_EQ(commit(b, 4), 0);
  EXPECT_EQ(t.fseq, 7);
  EXPECT_EQ(t.tail, 268435456);
  // The file is now exactly full: any transaction passes the limit and opens the next file.
  const uint32_t T = static_cast<uint32_t>(t.tail);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), c, 5), 0);
  ASSERT_EQ(commit(c, 6), 0);
  EXPECT_EQ(t.fseq, 8);

  int fd = ::open(trail(7).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ks_trail_fh_t fh;
  ks_lcr_th_t mk;
  ASSERT_EQ(pread(fd, &fh, 64, 0), 64);
  ASSERT_EQ(pread(fd, &mk, 32, T), 32);
  close(fd);
  EXPECT_EQ(fh.tail, T);
  EXPECT_EQ(fh.fno, 7u);
  EXPECT_EQ(fh.last_scn, 4u);
  EXPECT_EQ(fh.last_xid, b);
  EXPECT_EQ(mk.tlen, 32u);
  EXPECT_EQ(mk.flag, KS_TH_EOF);
  EXPECT_EQ(mk.nlcr, 0u);
  EXPECT_EQ(mk.xid, 0u);
  EXPECT_EQ(file_size(trail(7)), static_cast<off_t>(T + 32));

  TrailFile next = read_trail(trail(8));
  EXPECT_EQ(next.fh.fno, 8u);
  EXPECT_EQ(next.fh.first_scn, 6u);
  EXPECT_EQ(next.fh.first_xid, c);
  ASSERT_EQ(next.trans.size(), 1u);
  EXPECT_EQ(next.trans[0].offset, 64);
  unlink(trail(7).c_str());  // 256 MiB, even if sparse
}

TEST_F(TransTest, OversizedTransactionStartsAFreshFileAndIsNeverSplit) {
  ASSERT_EQ(open(), 0);
  t.max_tsz = 4096;  // a small limit stands for 256 MiB
  const uint64_t a = xid_of(6, 1, 1), b = xid_of(6, 2, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), a, 1), 0);
  ASSERT_EQ(commit(a, 2), 0);
  add_bytes(b, 3, 6000);  // larger than the limit by itself
  ASSERT_EQ(commit(b, 4), 0);
  EXPECT_EQ(t.fseq, 1);
  TrailFile f1 = read_trail(trail(1));
  ASSERT_EQ(f1.trans.size(), 1u);
  EXPECT_EQ(f1.trans[0].th.tlen, 32u + 6000u + 16u);
  // The fresh file takes the next one too, and rolls over only after it.
  const uint64_t c = xid_of(6, 3, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), c, 5), 0);
  ASSERT_EQ(commit(c, 6), 0);
  EXPECT_EQ(t.fseq, 2);
  EXPECT_TRUE(read_trail(trail(1)).has_marker);
}

TEST_F(TransTest, PartialXidsJoinTheSlotOfTheirUndoSegmentAndSlot) {
  ASSERT_EQ(open(), 0);
  const uint64_t full = xid_of(5, 3, 100), part = xid_of(5, 3, 0xFFFFFFFF);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), full, 1), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 100), part, 2), 0);
  EXPECT_EQ(t.nslot, 1);
  EXPECT_EQ(t.slot[0].nlcr, 2u);
  // A slot opened by a partial XID takes later full XIDs of the same segment and slot.
  const uint64_t p2 = xid_of(7, 2, 0xFFFFFFFF), f2 = xid_of(7, 2, 55);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), p2, 3), 0);
  EXPECT_TRUE(t.slot[1].flag & KS_SLOT_PARTIAL);
  ASSERT_EQ(add(full_rec(KS_OPC_DELETE, 100), f2, 4), 0);
  EXPECT_EQ(t.nslot, 2);
  ASSERT_EQ(commit(f2, 5), 0);
  ASSERT_EQ(commit(full, 6), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.nlcr, 3u);
  EXPECT_EQ(tf.trans[0].th.xid, p2);
  EXPECT_EQ(tf.trans[1].th.nlcr, 3u);
  EXPECT_EQ(tf.trans[1].th.xid, full);
}

TEST_F(TransTest, AfterADdlRecordOnlySystemObjectChangesAreStored) {
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(8, 1, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_DDL, 120), x, 1), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 150), x, 2), 0);                // dropped
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 160, KS_RH_SYSOBJ), x, 3), 0);  // kept
  ASSERT_EQ(add(short_rec(KS_OPC_TAG, 4), x, 3), 0);                    // dropped
  EXPECT_EQ(t.slot[0].nlcr, 2u);
  EXPECT_EQ(t.slot[0].flag & (KS_SLOT_DDL | KS_SLOT_SYSOBJ | KS_SLOT_TAG), KS_SLOT_DDL | KS_SLOT_SYSOBJ);
  // Tracing delivers a DDL only for a schema of the dictionary; this table has none.
  ASSERT_EQ(commit(x, 4), 0);
  EXPECT_EQ(read_trail(trail(0)).trans.size(), 0u);
}

TEST_F(TransTest, SystemObjectChangesWithoutDdlAreNeverWritten) {
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(8, 2, 1), y = xid_of(8, 3, 1);
  add_bytes(x, 1, 5000);  // spilled, so its file must go too
  ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 160, KS_RH_SYSOBJ), x, 2), 0);
  ASSERT_EQ(commit(x, 3), 0);
  EXPECT_FALSE(file_exists(spill(x, 1)));
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), y, 4), 0);
  ASSERT_EQ(commit(y, 5), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  EXPECT_EQ(tf.trans[0].th.xid, y);
  EXPECT_EQ(tf.fh.first_xid, y);
}

TEST_F(TransTest, RollbackForgetsTheTransactionAndDeletesItsSpillFile) {
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(9, 1, 1);
  add_bytes(x, 1, 9000);
  ASSERT_TRUE(file_exists(spill(x, 1)));
  ASSERT_EQ(add(short_rec(KS_OPC_ROLLBACK), x, 2), 0);
  EXPECT_FALSE(file_exists(spill(x, 1)));
  EXPECT_EQ(t.nslot, 0);
  EXPECT_EQ(t.slot[0].xid, 0u);
  // The freed slot serves the next transaction from a clean state.
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(9, 2, 1), 3), 0);
  EXPECT_EQ(t.slot[0].dlen, 132u);
  EXPECT_EQ(t.slot[0].fd, -1);
}

TEST_F(TransTest, MaxTransReachedStopsBeforeTheRecordAndARestartWithMoreGoesOn) {
  params(2, 4096);
  ASSERT_EQ(open(), 0);
  const uint64_t a = xid_of(1, 1, 1), b = xid_of(1, 2, 1), c = xid_of(1, 3, 1);
  Rec ra = full_rec(KS_OPC_INSERT, 100, 0, 1), rb = full_rec(KS_OPC_INSERT, 5000, 0, 2),
      rc = full_rec(KS_OPC_INSERT, 300, 0, 3);
  ASSERT_EQ(add(ra, a, 1), 0);
  ASSERT_EQ(add(rb, b, 2), 0);  // spilled
  EXPECT_EQ(add(rc, c, 3), KS_RC_STOP);
  EXPECT_THAT(last_message(), HasSubstr("2 transactions are open, the most max_trans allows: raise the "
                                        "max_trans parameter of U.C and start again."));
  // Nothing of the record was taken.
  EXPECT_EQ(t.nslot, 2);
  EXPECT_EQ(ks_trans_find_open(&t, 1, 3), 0u);
  EXPECT_FALSE(file_exists(spill(c, 3)));
  // The process stops with its checkpoint before the record; raised, the restart takes it.
  ASSERT_EQ(ks_trans_close(&t), 0);
  params(3, 4096);
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(add(rc, c, 3), 0);
  ASSERT_EQ(commit(c, 4), 0);
  ASSERT_EQ(commit(a, 5), 0);
  ASSERT_EQ(commit(b, 6), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 3u);
  Rec *want[] = {&rc, &ra, &rb};
  const uint64_t order[] = {c, a, b};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(tf.trans[i].th.xid, order[i]);
    EXPECT_EQ(tf.trans[i].th.nlcr, 2u);
    EXPECT_EQ(tf.trans[i].body.substr(0, want[i]->rlen()),
              std::string(reinterpret_cast<char *>(want[i]->bytes()), want[i]->rlen()));
  }
}

TEST_F(TransTest, RecordWithAnImpossibleLengthIsRefused) {
  ASSERT_EQ(open(), 0);
  Rec r = full_rec(KS_OPC_INSERT, 100);
  ks_lcr_set_u32(r.bytes(), 0, 8);
  EXPECT_EQ(ks_append_lcr(&ex, r.rh(), xid_of(1, 1, 1), 1, 1), -1);
  EXPECT_EQ(t.nslot, 0);
}

TEST_F(TransTest, CommitWhoseTrailWriteFailsIsKeptAndWrittenBeforeTheNextOne) {
  ASSERT_EQ(open(), 0);
  // A directory where the trail file should be makes its creation fail.
  ASSERT_EQ(mkdir(trail(0).c_str(), 0755), 0);
  const uint64_t a = xid_of(2, 1, 1), b = xid_of(2, 2, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), a, 1), 0);
  EXPECT_EQ(commit(a, 10), 0);  // taken: it waits in its slot, the table says so
  EXPECT_TRUE(t.flag & KS_TRANS_PENDING);
  EXPECT_EQ(t.nslot, 1);
  EXPECT_TRUE(t.slot[0].flag & KS_SLOT_COMMITTED);
  // A partial XID of the same undo segment and slot never joins the committed one.
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(2, 1, 0xFFFFFFFF), 11), 0);
  EXPECT_EQ(t.nslot, 2);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), b, 11), 0);
  ASSERT_EQ(rmdir(trail(0).c_str()), 0);
  ASSERT_EQ(commit(b, 12), 0);
  EXPECT_EQ(t.nslot, 1);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.xid, a);
  EXPECT_EQ(tf.trans[1].th.xid, b);
}

TEST_F(TransTest, TrailcatReadsWhatTheWriterWrites) {
  ASSERT_EQ(open(), 0);
  const uint64_t a = xid_of(1, 2, 3), b = xid_of(1, 2, 4);
  ASSERT_EQ(add(full_rec(KS_OPC_QMD, 96), a, 10), 0);
  ASSERT_EQ(add(short_rec(KS_OPC_TAG, 2), a, 10), 0);
  ASSERT_EQ(commit(a, 11, 1157068800), 0);
  add_bytes(b, 12, 1048576 - 48);
  ASSERT_EQ(commit(b, 13), 0);
  t.max_tsz = 1;  // the next commit closes this file with its marker
  ASSERT_EQ(add(full_rec(KS_OPC_QMD, 96), xid_of(1, 2, 5), 14), 0);
  ASSERT_EQ(commit(xid_of(1, 2, 5), 15), 0);

  const std::string cmd =
      std::string(KS_BIN_DIR) + "/trailcat -f " + trail(0) + " >" + home.file("out.txt") + " 2>" + home.file("err.txt");
  ASSERT_EQ(system(cmd.c_str()), 0);
  const std::string out = read_file(home.file("out.txt"));
  EXPECT_THAT(out, HasSubstr("File Number: 0\nFirst SCN:       11  First XID: 1.2.3\n"
                             "Last  SCN:       13  Last  XID: 1.2.4\n"));
  EXPECT_THAT(out, HasSubstr("Data Length: 144,  # of rows: 2\nSCN: 11,  SCN time: 2024-01-01 00:00:00\n"
                             "XID: " +
                             std::to_string(a) +
                             " (1.2.3)\n\n"
                             "LCR Op: QUICK DELETE  Owner: SCOTT, Object: EMP\n---------------------------------\n"
                             "LCR Op: COMMIT\n---------------------------------\n"));
  EXPECT_THAT(out, HasSubstr("Transaction File: " + spill(b, 12) + "\n"));
  EXPECT_EQ(read_file(home.file("err.txt")), "input file work completed.\n");
}

TEST_F(TransTest, ReferencedTransactionLargerThanTheLimitStillStartsANewFile) {
  ASSERT_EQ(open(), 0);
  const uint64_t a = xid_of(3, 1, 1), big = xid_of(3, 2, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), a, 1), 0);
  ASSERT_EQ(commit(a, 2), 0);
  add_bytes(big, 3, 5000);
  // Grow the spilled image to just past 256 MiB without writing it (a sparse file).
  ks_trans_slot_t &s = t.slot[0];
  ASSERT_TRUE(s.flag & KS_SLOT_SPILLED);
  s.dlen = 268435457;
  ASSERT_EQ(ftruncate(s.fd, static_cast<off_t>(s.dlen)), 0);
  ASSERT_EQ(commit(big, 4), 0);
  EXPECT_EQ(t.fseq, 1);
  EXPECT_TRUE(read_trail(trail(0)).has_marker);
  TrailFile f1 = read_trail(trail(1));
  ASSERT_EQ(f1.trans.size(), 1u);
  EXPECT_EQ(f1.trans[0].th.flag, KS_TH_TRANS | KS_TH_BYREF);
  EXPECT_EQ(f1.trans[0].th.tlen, 32u + spill(big, 3).size() + 1);
  unlink(spill(big, 3).c_str());
}

// Rollback redo names only the undo segment and slot; the open transaction holding them is
// the one it belongs to. A transaction whose commit is already taken no longer is.
TEST_F(TransTest, OpenTransactionIsFoundByItsUndoSegmentAndSlot) {
  EXPECT_EQ(ks_trans_find_open(nullptr, 5, 3), 0u);
  ASSERT_EQ(open(), 0);
  const uint64_t a = xid_of(5, 3, 100), partial = xid_of(6, 2, 0xFFFFFFFF), b = xid_of(7, 1, 9);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), b, 1), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), a, 2), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), partial, 3), 0);
  EXPECT_EQ(ks_trans_find_open(&t, 5, 3), a);
  EXPECT_EQ(ks_trans_find_open(&t, 6, 2), partial);
  EXPECT_EQ(ks_trans_find_open(&t, 5, 4), 0u);
  EXPECT_EQ(ks_trans_find_open(&t, 3, 5), 0u);
  ASSERT_EQ(mkdir(trail(0).c_str(), 0755), 0);
  EXPECT_EQ(commit(a, 4), 0);  // kept as committed, to be written later
  EXPECT_TRUE(t.flag & KS_TRANS_PENDING);
  EXPECT_EQ(ks_trans_find_open(&t, 5, 3), 0u);
  EXPECT_EQ(ks_trans_find_open(&t, 7, 1), b);
  ASSERT_EQ(rmdir(trail(0).c_str()), 0);
}

// A redo record refused part-way (no room in a spill file) must leave no trace, so that
// the capture can hold its position there and take the record again later: records
// added in memory or to a spill file, and slots it opened, all go back to what they were
// before it.
TEST_F(TransTest, ARecordRefusedPartWayIsTakenBackWholeAndItsRetryIsDeliveredOnce) {
  ASSERT_EQ(open(), 0);
  auto find_slot = [this](uint64_t xid) {
    for (int i = 0; i < t.nalloc; i++)
      if (t.slot[i].xid == xid) return i;
    return -1;
  };
  const uint64_t a = xid_of(4, 1, 1), b = xid_of(4, 2, 1), c = xid_of(4, 3, 1), d = xid_of(4, 4, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 3000), a, 10), 0);
  add_bytes(c, 11, 6000);  // spilled before the record
  const int sa = find_slot(a), sc = find_slot(c);
  ASSERT_GE(sa, 0);
  ASSERT_GE(sc, 0);
  ASSERT_TRUE(t.slot[sc].flag & KS_SLOT_SPILLED);
  const uint64_t c_len = t.slot[sc].dlen;

  // In memory, then spilled by the record; a slot the record opened; a spill file the
  // record grew.
  ks_trans_record_begin();
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 900), a, 12), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 900), a, 12), 0);
  ASSERT_TRUE(t.slot[sa].flag & KS_SLOT_SPILLED);
  ASSERT_EQ(add(full_rec(KS_OPC_DELETE, 200, KS_RH_ROLLBACK), b, 12), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 500), c, 12), 0);
  EXPECT_EQ(t.nslot, 3);
  EXPECT_EQ(ks_trans_record_undo(&t), 0);
  EXPECT_EQ(t.nslot, 2);
  EXPECT_EQ(t.slot[sa].dlen, 32u + 3000u);
  EXPECT_EQ(t.slot[sa].nlcr, 1u);
  EXPECT_EQ(file_size(spill(a, 10)), 32 + 3000);  // the image before the record
  EXPECT_EQ(find_slot(b), -1);
  EXPECT_EQ(t.slot[sc].dlen, c_len);
  EXPECT_EQ(file_size(spill(c, 11)), static_cast<off_t>(c_len));

  // A spill file that cannot be written holds the record; once it can, the same record
  // goes in whole and the transaction reaches the trail with each change once.
  ks_trans_record_begin();
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 500), a, 12), 0);
  ASSERT_EQ(commit(a, 13), 0);
  // A spill file that cannot be made holds the record; once it can, the same record goes
  // in whole and the transaction reaches the trail with each change once.
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 2000), d, 14), 0);
  ASSERT_EQ(mkdir(spill(d, 14).c_str(), 0755), 0);
  for (int attempt = 0; attempt < 2; attempt++) {
    ks_trans_record_begin();
    ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 1000), d, 15), 0);
    const int rc = add(full_rec(KS_OPC_UPDATE, 1500), d, 15);
    if (attempt == 0) {
      EXPECT_EQ(rc, KS_RC_HOLD);
      EXPECT_EQ(ks_trans_record_undo(&t), 0);
      EXPECT_EQ(t.slot[find_slot(d)].dlen, 32u + 2000u);
      ASSERT_EQ(rmdir(spill(d, 14).c_str()), 0);
    } else {
      EXPECT_EQ(rc, 0);
    }
  }
  ASSERT_EQ(commit(d, 16), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.nlcr, 3u);
  EXPECT_EQ(tf.trans[0].th.tlen, 32u + 3000u + 500u + 16u);
  EXPECT_EQ(tf.trans[1].th.nlcr, 4u);
  EXPECT_EQ(tf.trans[1].th.tlen, 32u + 2000u + 1000u + 1500u + 16u);
}
