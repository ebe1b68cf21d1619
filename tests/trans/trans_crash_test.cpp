// A crash after the table was saved while running: the restart resumes the trail at the
// offset saved with the checkpoint (cutting off what the lost run wrote after it), takes
// the save file of the checkpoint's generation, and still finds the spill files of the
// transactions it restores.
#include <gtest/gtest.h>
#include <unistd.h>

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

TEST_F(TransCrashTest, RestartResumesAtTheSavedOffsetAndWritesEachTransactionOnce) {
  ASSERT_EQ(restart(0, 0), 0);
  const uint64_t a = xid_of(1, 1, 1), b = xid_of(1, 2, 1), m = xid_of(1, 3, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), a, 1), 0);
  ASSERT_EQ(commit(a, 2), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300, 0, 1), m, 3), 0);
  ASSERT_EQ(save(1), 0);
  const uint32_t saved_tail = static_cast<uint32_t>(t.tail);
  EXPECT_EQ(read_trail(trail(0)).fh.tail, saved_tail);  // on disk with the save
  EXPECT_EQ(read_trail(trail(0)).fh.last_scn, KS_SCN_OPEN);

  // The lost run goes on after the save: it writes B and M, even rolls over to file 1.
  auto redo_after_save = [&]() {
    ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 250, 0, 2), b, 4), 0);
    ASSERT_EQ(commit(b, 5), 0);
    ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 150, 0, 3), m, 6), 0);
    ASSERT_EQ(commit(m, 7), 0);
  };
  redo_after_save();
  ASSERT_EQ(ks_close_trail_file(&t), 0);
  crash();
  ASSERT_GT(read_trail(trail(0)).size, saved_tail);
  EXPECT_TRUE(read_trail(trail(0)).has_marker);

  // The operator's reset, then the start from the checkpoint: the file ends at the saved
  // offset again (no marker, no B), and M is open with its first record only.
  ASSERT_EQ(restart(1, saved_tail), 0) << last_message();
  TrailFile f = read_trail(trail(0));
  EXPECT_EQ(f.size, saved_tail);
  ASSERT_EQ(f.trans.size(), 1u);
  EXPECT_FALSE(f.has_marker);
  EXPECT_EQ(t.fhdr.last_scn, 2u);
  ASSERT_EQ(t.nslot, 1);
  EXPECT_EQ(t.slot[0].xid, m);
  EXPECT_EQ(t.slot[0].nlcr, 1u);

  // The same redo again: every transaction is in the trail once, whole.
  redo_after_save();
  ASSERT_EQ(ks_trans_close(&t), 0);
  f = read_trail(trail(0));
  ASSERT_EQ(f.trans.size(), 3u);
  EXPECT_EQ(f.trans[0].th.xid, a);
  EXPECT_EQ(f.trans[1].th.xid, b);
  EXPECT_EQ(f.trans[2].th.xid, m);
  EXPECT_EQ(f.trans[2].th.nlcr, 3u);
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
  ASSERT_EQ(restart(1, 64), 0) << last_message();
  EXPECT_EQ(t.nslot, 1);
  EXPECT_EQ(t.slot[0].xid, m);
  EXPECT_EQ(read_trail(trail(0)).size, 64u);
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

}  // namespace
