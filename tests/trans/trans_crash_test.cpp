// A crash after the table was saved while running: the restart resumes the trail after
// the last whole record of its newest file (what the lost run wrote after the checkpoint
// stays, and is not written again), takes the save file of the checkpoint's generation,
// and still finds the spill files of the transactions it restores.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "tests/trans/trans_fixture.h"

using namespace kstest;

namespace {

class TransCrashTest : public TransTest {
 protected:
  // The process dies: nothing is saved, descriptors and memory just go.
  void crash() { ks_trans_free_table(&t); }
  // Start-up from a checkpoint that names generation gen and trail offset tail.
  int restart(uint32_t gen, uint32_t tail, int fseq = 0) {
    t = {};
    t.fd = -1;
    t.fseq = fseq;
    t.gen = gen;
    t.resume_tail = tail;
    t.flag = KS_TRANS_KEEP_SPILLS;
    ex = {};
    ex.t = &t;
    return ks_trans_open(&t);
  }
  int save(uint32_t gen) {
    t.gen = gen;
    return ks_trans_save(&t);
  }
};

// The lost run rolled over after the save, and a reader may already be in the newer file:
// nothing it may have read is cut or written again, only the torn record at the very end.
TEST_F(TransCrashTest, RestartAfterARollOverContinuesTheNewestFileAndWritesEachTransactionOnce) {
  ASSERT_EQ(restart(0, 0), 0);
  const uint64_t a = xid_of(1, 1, 1), b = xid_of(1, 2, 1), m = xid_of(1, 3, 1), c = xid_of(1, 4, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), a, 1), 0);
  ASSERT_EQ(commit(a, 2), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300, 0, 1), m, 3), 0);
  ASSERT_EQ(save(1), 0);
  const uint32_t saved_tail = static_cast<uint32_t>(t.tail);
  EXPECT_EQ(read_trail(trail(0)).fh.tail, saved_tail);  // on disk with the save
  EXPECT_EQ(read_trail(trail(0)).fh.last_scn, KS_SCN_OPEN);

  // The lost run goes on after the save: B into file 0, then M rolls over into file 1.
  auto redo_after_save = [&]() {
    ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 250, 0, 2), b, 4), 0);
    ASSERT_EQ(commit(b, 5), 0);
    ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 150, 0, 3), m, 6), 0);
    ASSERT_EQ(commit(m, 7), 0);
  };
  t.max_tsz = static_cast<int>(t.tail) + 300;  // B fits, M does not
  redo_after_save();
  ASSERT_EQ(t.fseq, 1);
  ASSERT_EQ(ks_flush_trail(&t), 0);
  const TrailFile before0 = read_trail(trail(0));
  const std::string file1 = read_file(trail(1));
  crash();
  ASSERT_TRUE(before0.has_marker);
  // The crash tore the next record being written.
  std::string torn = file1 + std::string("\x40\x00\x00\x00\x00\x00\x00\x40", 8) + std::string(40, 'x');
  write_file(trail(1), torn);

  // The start from the checkpoint (file 0, the saved offset): file 0 stays as it was, the
  // torn bytes of file 1 are cut, writing goes on there; M is open again with its first
  // record, and B and M, which the same redo brings again, are not written twice.
  ASSERT_EQ(restart(1, saved_tail), 0) << last_message();
  EXPECT_EQ(t.fseq, 1);
  EXPECT_EQ(read_trail(trail(0)).size, before0.size);
  EXPECT_EQ(read_file(trail(1)).substr(64), file1.substr(64));
  ASSERT_EQ(t.nslot, 1);
  EXPECT_EQ(t.slot[0].xid, m);
  EXPECT_EQ(t.slot[0].nlcr, 1u);
  redo_after_save();
  EXPECT_EQ(t.nslot, 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 120), c, 8), 0);
  ASSERT_EQ(commit(c, 9), 0);
  ASSERT_EQ(ks_trans_close(&t), 0);

  const TrailFile f0 = read_trail(trail(0)), f1 = read_trail(trail(1));
  EXPECT_EQ(f0.size, before0.size);
  ASSERT_EQ(f0.trans.size(), 2u);
  EXPECT_EQ(f0.trans[0].th.xid, a);
  EXPECT_EQ(f0.trans[1].th.xid, b);
  EXPECT_TRUE(f0.has_marker);
  ASSERT_EQ(f1.trans.size(), 2u);
  EXPECT_EQ(f1.trans[0].th.xid, m);
  EXPECT_EQ(f1.trans[0].th.nlcr, 3u);
  EXPECT_EQ(f1.trans[1].th.xid, c);
  EXPECT_EQ(f1.fh.last_scn, 9u);
  EXPECT_EQ(f1.size, file1.size() + f1.trans[1].th.tlen);

  // Damage that is not a torn end refuses the start, naming the file and the offset.
  std::string bad = read_file(trail(1));
  bad.replace(static_cast<size_t>(f1.trans[0].offset), 4, std::string("\x08\0\0\0", 4));  // below 32, bytes follow
  write_file(trail(1), bad);
  ASSERT_EQ(restart(2, saved_tail), -1);
  EXPECT_NE(last_message().find("corrupt trail file " + trail(1) + " at offset 64"), std::string::npos)
      << last_message();
}

TEST_F(TransCrashTest, TheSaveFileOfTheCheckpointsGenerationIsRestored) {
  ASSERT_EQ(restart(0, 0), 0);
  const uint64_t m = xid_of(2, 1, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300), m, 3), 0);
  ASSERT_EQ(save(1), 0);
  ASSERT_EQ(commit(m, 4), 0);
  ASSERT_EQ(save(2), 0);  // nothing open any more
  const uint32_t tail = static_cast<uint32_t>(t.tail);
  crash();

  // The checkpoint named generation 2: nothing is open.
  ASSERT_EQ(restart(2, tail), 0) << last_message();
  EXPECT_EQ(t.nslot, 0);
  crash();
  // A crash came between the second save and the checkpoint naming it: generation 1
  // holds M, and the trail goes back to where it was then.
  // M, committed in the trail after it, stays there and is not written again.
  ASSERT_EQ(restart(1, 64), 0) << last_message();
  EXPECT_EQ(t.nslot, 1);
  EXPECT_EQ(t.slot[0].xid, m);
  ASSERT_EQ(commit(m, 4), 0);
  EXPECT_EQ(t.nslot, 0);
  ASSERT_EQ(ks_flush_trail(&t), 0);
  EXPECT_EQ(read_trail(trail(0)).trans.size(), 1u);
  crash();
  // A save file that belongs to no checkpoint is not guessed at.
  ASSERT_EQ(restart(7, 64), -1);
  EXPECT_NE(last_message().find("does not belong to the checkpoint"), std::string::npos) << last_message();
}

// A spill file of a transaction that left the table, committed or rolled back, stays until
// the next save: a crash before it restarts from a checkpoint where the transaction is open.
TEST_F(TransCrashTest, SpillFileOfATransactionThatLeftStaysUntilTheNextSave) {
  ASSERT_EQ(restart(0, 0), 0);
  const uint64_t big = xid_of(3, 1, 1), undone = xid_of(3, 2, 1);
  add_bytes(big, 4, 6000);  // past the 4096-byte slot buffer
  add_bytes(undone, 4, 6000);
  ASSERT_TRUE((t.slot[0].flag & KS_SLOT_SPILLED) && (t.slot[1].flag & KS_SLOT_SPILLED));
  ASSERT_EQ(save(1), 0);
  const uint32_t tail = static_cast<uint32_t>(t.tail);
  ASSERT_EQ(commit(big, 5), 0);
  ASSERT_EQ(add(short_rec(KS_OPC_ROLLBACK), undone, 5), 0);
  EXPECT_EQ(read_trail(trail(0)).trans.size(), 1u);
  EXPECT_TRUE(file_exists(spill(big, 4)));
  EXPECT_TRUE(file_exists(spill(undone, 4)));
  crash();
  // The restart from generation 1 finds both open, with their files.
  ASSERT_EQ(restart(1, tail), 0) << last_message();
  ASSERT_EQ(t.nslot, 2);
  ASSERT_EQ(add(short_rec(KS_OPC_ROLLBACK), undone, 5), 0);
  ASSERT_EQ(save(2), 0);
  ks_trans_release_spills(&t);
  EXPECT_FALSE(file_exists(spill(undone, 4)));
}

// Records of a spilled transaction wait in memory before they reach its file. A save writes
// them first (the save file records the file's length), a crash loses only those after the
// save, which the redo brings again, and a disk that fills up while they are written holds
// the record (or the commit) with the file cut back to whole records, until there is room.
TEST_F(TransCrashTest, SpillBytesHeldInMemorySurviveASaveACrashAndAFullDisk) {
  ASSERT_EQ(restart(0, 0), 0);
  const uint64_t x = xid_of(4, 1, 1);
  add_bytes(x, 4, 100000);
  ASSERT_TRUE(t.slot[0].flag & KS_SLOT_SPILLED);
  EXPECT_GT(t.wlen, 0u);
  ASSERT_EQ(save(1), 0);
  const uint32_t tail = static_cast<uint32_t>(t.tail);
  EXPECT_EQ(file_size(spill(x, 4)), 32 + 100000);
  auto after_save = [&]() { add_bytes(x, 5, 50000); };
  after_save();
  crash();
  ASSERT_EQ(restart(1, tail), 0) << last_message();
  ASSERT_EQ(t.nslot, 1);
  EXPECT_EQ(t.slot[0].dlen, 32u + 100000u);
  after_save();

  // The disk fills up: room for the file as it is and a little more.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto *was = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(file_size(spill(x, 4))) + 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const off_t whole = file_size(spill(x, 4));
  int rc = 0;
  uint64_t added = 0;
  while ((rc = add(full_rec(KS_OPC_INSERT, 60000), x, 6)) == 0 && added < (2u << 20)) added += 60000;
  EXPECT_EQ(rc, KS_RC_HOLD);
  EXPECT_EQ(file_size(spill(x, 4)), whole);  // cut back to whole records
  EXPECT_EQ(save(2), -1);                    // no save may name a length not on disk
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 60000), x, 6), 0);  // the held record, taken now
  added += 60000;

  // The commit's own write fails the same way: it waits, marked, and goes once there is room.
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  ASSERT_EQ(commit(x, 7), 0);
  EXPECT_TRUE(t.flag & KS_TRANS_PENDING);
  EXPECT_EQ(read_trail(trail(0)).trans.size(), 0u);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  std::signal(SIGXFSZ, was);
  ASSERT_EQ(ks_flush_pending_commits(&ex), 0);
  ASSERT_EQ(ks_flush_trail(&t), 0);
  const TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  EXPECT_EQ(tf.trans[0].th.xid, x);
  EXPECT_EQ(file_size(spill(x, 4)), static_cast<off_t>(32 + 100000 + 50000 + added + 16));  // by reference
}

// A transaction committed by reference after the save: at the restart its file is the
// trail's (a reader may be replaying it) and stays whole; the part of it the redo brings
// again joins a slot of its own and is not delivered a second time.
TEST_F(TransCrashTest, FileOfATransactionDeliveredByReferenceAfterTheSaveStaysWhole) {
  ASSERT_EQ(restart(0, 0), 0);
  const uint64_t x = xid_of(5, 1, 1);
  add_bytes(x, 4, 600000);
  ASSERT_EQ(save(1), 0);
  ASSERT_EQ(t.tail, 0);  // saved before the trail file existed: extract resumes after its header
  const uint32_t tail = KS_TRAIL_FH_SZ;
  add_bytes(x, 5, 600000);  // past 1 MiB: the commit goes by reference
  ASSERT_EQ(commit(x, 7), 0);
  ASSERT_EQ(read_trail(trail(0)).trans.size(), 1u);
  ASSERT_NE(read_trail(trail(0)).trans[0].th.flag & KS_TH_BYREF, 0u);
  const off_t whole = file_size(spill(x, 4));
  crash();
  ASSERT_EQ(restart(1, tail), 0) << last_message();
  EXPECT_EQ(t.nslot, 0);
  EXPECT_EQ(file_size(spill(x, 4)), whole);
  add_bytes(x, 5, 600000);
  ASSERT_EQ(commit(x, 7), 0);
  ASSERT_EQ(ks_trans_close(&t), 0);
  EXPECT_EQ(read_trail(trail(0)).trans.size(), 1u);
  EXPECT_EQ(file_size(spill(x, 4)), whole);
}

}  // namespace
