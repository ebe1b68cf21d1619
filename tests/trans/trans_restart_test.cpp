// Stopping with open transactions and starting again: the save file, spill files, the
// reopened trail file, and damaged files refusing the start.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/trans/trans_fixture.h"

using namespace kstest;
using ::testing::HasSubstr;

namespace {

void patch_u32(const std::string &path, off_t at, uint32_t v) {
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, &v, 4, at), 4);
  close(fd);
}

}  // namespace

TEST_F(TransTest, OpenTransactionsSurviveAStopAndCommitWholeAndOnce) {
  ASSERT_EQ(open(3), 0);
  const uint64_t mem = xid_of(1, 1, 1), big = xid_of(1, 2, 1), done = xid_of(1, 3, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300), done, 1), 0);
  ASSERT_EQ(commit(done, 2), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300, 0, 1), mem, 3), 0);
  ASSERT_EQ(add(short_rec(KS_OPC_TAG, 3), mem, 3), 0);
  add_bytes(big, 4, 6000);
  ASSERT_TRUE(t.slot[1].flag & KS_SLOT_SPILLED);
  const uint32_t tail_before = t.fhdr.tail;
  ASSERT_EQ(ks_trans_close(&t), 0);
  EXPECT_TRUE(file_exists(save_file()));
  EXPECT_TRUE(file_exists(spill(big, 4)));
  TrailFile closed = read_trail(trail(3));
  EXPECT_EQ(closed.fh.tail, tail_before);  // header from memory, no marker
  EXPECT_EQ(closed.fh.last_scn, 2u);
  EXPECT_FALSE(closed.has_marker);

  // Start again with more slots: the saved ones come back in the first slots.
  params(20, 4096);
  ASSERT_EQ(open(3), 0);
  EXPECT_EQ(t.nslot, 2);
  EXPECT_EQ(t.tail, static_cast<int>(tail_before));
  EXPECT_EQ(t.fhdr.last_scn, 2u);
  EXPECT_EQ(read_trail(trail(3)).fh.last_scn, KS_SCN_OPEN);  // on disk: open again
  EXPECT_EQ(read_trail(trail(3)).fh.last_xid, 0u);
  EXPECT_EQ(t.slot[0].xid, mem);
  EXPECT_TRUE(t.slot[0].flag & KS_SLOT_TAG);

  ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 200, 0, 2), mem, 5), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_DELETE, 500, 0, 3), big, 6), 0);
  ASSERT_EQ(commit(big, 7), 0);
  ASSERT_EQ(commit(mem, 8), 0);
  EXPECT_FALSE(file_exists(spill(big, 4)));
  ASSERT_EQ(ks_trans_close(&t), 0);
  EXPECT_FALSE(file_exists(save_file()));  // nothing open at this stop

  TrailFile tf = read_trail(trail(3));
  ASSERT_EQ(tf.trans.size(), 3u);
  EXPECT_EQ(tf.trans[0].th.xid, done);
  EXPECT_EQ(tf.trans[1].th.xid, big);
  EXPECT_EQ(tf.trans[1].th.tlen, 32u + 6000u + 500u + 16u);
  EXPECT_EQ(tf.trans[1].th.nlcr, 3u);
  EXPECT_EQ(tf.trans[2].th.xid, mem);
  EXPECT_EQ(tf.trans[2].th.flag, KS_TH_TRANS | KS_TH_TAG);
  EXPECT_EQ(tf.trans[2].th.nlcr, 3u);
  EXPECT_EQ(tf.trans[2].th.tlen, 32u + 300 + 200 + 16);
  Rec r1 = full_rec(KS_OPC_INSERT, 300, 0, 1), r2 = full_rec(KS_OPC_UPDATE, 200, 0, 2);
  EXPECT_EQ(tf.trans[2].body.substr(0, 500), std::string(reinterpret_cast<char *>(r1.bytes()), 300) +
                                                 std::string(reinterpret_cast<char *>(r2.bytes()), 200));
  EXPECT_EQ(tf.fh.last_scn, 8u);
  EXPECT_EQ(tf.fh.tail, static_cast<uint32_t>(tf.trans[2].offset + tf.trans[2].th.tlen));
}

TEST_F(TransTest, MoreSavedTransactionsThanMaxTransRefusesTheStart) {
  params(5, 4096);
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(1, 1, 1), 1), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(1, 2, 1), 1), 0);
  ASSERT_EQ(ks_trans_close(&t), 0);
  params(1, 4096);
  EXPECT_EQ(open(), KS_RC_STOP);  // the process stops for the operator
  EXPECT_THAT(last_message(), HasSubstr("holds 2 open transactions, more than max_trans (1) allows: raise "
                                        "the max_trans parameter of U.C."));
  EXPECT_EQ(t.buf, nullptr);
  EXPECT_TRUE(file_exists(save_file()));  // kept for a start with the right setting
  params(2, 4096);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(t.nslot, 2);
}

TEST_F(TransTest, StartWithoutSaveFileOrTrailFileBeginsEmpty) {
  ASSERT_EQ(open(12), 0);
  EXPECT_EQ(t.nslot, 0);
  EXPECT_EQ(t.fd, -1);
  EXPECT_EQ(t.max_slots, 10);
  EXPECT_EQ(t.max_tsz, 268435456);
  for (int i = 0; i < t.nalloc; i++) {
    EXPECT_EQ(t.slot[i].xid, 0u);
    EXPECT_EQ(t.slot[i].buf, nullptr);
    EXPECT_EQ(t.slot[i].fd, -1);
  }
}

TEST_F(TransTest, DefaultsApplyWhenParametersAreNotSet) {
  params(0, 0);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(t.max_slots, 65536);
  EXPECT_EQ(t.trans_sz, 32768);
  EXPECT_EQ(t.mem_max, 64u << 20);
}

TEST_F(TransTest, SavedTransactionLargerThanTheNewBufferIsRestoredAsSpilled) {
  params(4, 16384);
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(3, 3, 3);
  add_bytes(x, 9, 12000);
  ASSERT_FALSE(t.slot[0].flag & KS_SLOT_SPILLED);
  ASSERT_EQ(ks_trans_close(&t), 0);

  params(4, 4096);
  ASSERT_EQ(open(), 0);
  EXPECT_TRUE(t.slot[0].flag & KS_SLOT_SPILLED);
  EXPECT_EQ(t.slot[0].dlen, 32u + 12000u);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), x, 10), 0);
  ASSERT_EQ(commit(x, 11), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  EXPECT_EQ(tf.trans[0].th.tlen, 32u + 12000u + 100u + 16u);
  EXPECT_FALSE(file_exists(spill(x, 9)));
}

TEST_F(TransTest, SpilledTransactionRestoredWithALargerBufferKeepsAppendingToItsFile) {
  params(4, 4096);
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(3, 4, 3);
  add_bytes(x, 9, 5000);
  ASSERT_EQ(ks_trans_close(&t), 0);
  params(4, 65536);  // the whole image would now fit in the buffer, but lives in the file
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), x, 10), 0);
  ASSERT_EQ(commit(x, 11), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  EXPECT_EQ(tf.trans[0].th.tlen, 32u + 5000u + 100u + 16u);
}

TEST_F(TransTest, MissingSpillFileIsReportedAtCommitNotAtStart) {
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(3, 5, 3);
  add_bytes(x, 9, 5000);
  ASSERT_EQ(ks_trans_close(&t), 0);
  unlink(spill(x, 9).c_str());
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(t.slot[0].fd, -1);
  EXPECT_EQ(add(full_rec(KS_OPC_INSERT, 100), x, 10), KS_RC_STOP);  // never recreated from nothing
  EXPECT_FALSE(file_exists(spill(x, 9)));
}

TEST_F(TransTest, CorruptTrailFileRefusesTheStartNamingFileAndOffset) {
  ASSERT_EQ(open(), 0);
  for (uint64_t i = 1; i <= 3; i++) {
    ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), xid_of(1, i, 1), i), 0);
    ASSERT_EQ(commit(xid_of(1, i, 1), 10 + i), 0);
  }
  ASSERT_EQ(ks_trans_close(&t), 0);
  const uint32_t len = 32 + 200 + 16;

  // The second transaction's length below 32.
  patch_u32(trail(0), 64 + len, 31);
  EXPECT_EQ(open(), -1);
  EXPECT_THAT(last_message(),
              HasSubstr(trail(0) + " at offset " + std::to_string(64 + len) + ": transaction length 31 below 32."));
  EXPECT_EQ(t.buf, nullptr);

  // Its first record's length running past the transaction.
  patch_u32(trail(0), 64 + len, len);
  patch_u32(trail(0), 64 + len + 32, 5000);
  EXPECT_EQ(open(), -1);
  EXPECT_THAT(last_message(), HasSubstr(trail(0) + " at offset " + std::to_string(64 + len + 32) +
                                        ": record length runs past the transaction."));

  // A header tail past the end of the file.
  patch_u32(trail(0), 64 + len + 32, 200);
  patch_u32(trail(0), 4, 100000);
  EXPECT_EQ(open(), -1);
  EXPECT_THAT(last_message(), HasSubstr("at offset 4: tail 100000"));

  patch_u32(trail(0), 4, 64 + 3 * len);
  EXPECT_EQ(open(), 0);
}

TEST_F(TransTest, CorruptSaveFileRefusesTheStartNamingFileAndOffset) {
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(6, 6, 6);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200), x, 1), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 300), x, 2), 0);
  ASSERT_EQ(ks_trans_close(&t), 0);
  const std::string saved = read_file(save_file());
  const off_t img = 16 + 64;  // the image follows the one occupied slot's record

  // The second record claims more bytes than the transaction holds.
  patch_u32(save_file(), img + 32 + 200, 400);
  EXPECT_EQ(open(), -1);
  EXPECT_THAT(last_message(), HasSubstr(save_file() + " at offset " + std::to_string(img + 32 + 200) +
                                        ": transaction 6.6.6: record length runs past the transaction."));

  // The slot's length runs past the end of the file.
  write_file(save_file(), saved);
  patch_u32(save_file(), 16 + 8, 100000);
  EXPECT_EQ(open(), -1);
  EXPECT_THAT(last_message(), HasSubstr("runs past the end of the file"));

  // A truncated file.
  write_file(save_file(), saved.substr(0, 100));
  EXPECT_EQ(open(), -1);
  EXPECT_THAT(last_message(), HasSubstr(save_file() + " at offset 8"));

  write_file(save_file(), saved);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(t.slot[0].nlcr, 2u);
}

TEST_F(TransTest, UnwrittenCommitIsSavedAndWrittenAfterTheRestart) {
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(mkdir(trail(0).c_str(), 0755), 0);
  const uint64_t a = xid_of(2, 1, 1), b = xid_of(2, 2, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), a, 1), 0);
  EXPECT_EQ(commit(a, 10), 0);
  EXPECT_TRUE(t.flag & KS_TRANS_PENDING);
  ASSERT_EQ(ks_trans_close(&t), 0);
  ASSERT_EQ(rmdir(trail(0).c_str()), 0);
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), b, 11), 0);
  ASSERT_EQ(commit(b, 12), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 2u);
  EXPECT_EQ(tf.trans[0].th.xid, a);
  EXPECT_EQ(tf.trans[0].th.nlcr, 2u);
  EXPECT_EQ(tf.trans[1].th.xid, b);
}

TEST_F(TransTest, ClusterSourceNamesFilesByThread) {
  x_rac = 1;
  x_thrd = 2;
  ASSERT_EQ(open(4), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(1, 1, 1), 1), 0);
  ASSERT_EQ(commit(xid_of(1, 1, 1), 2), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 100), xid_of(1, 2, 1), 1), 0);
  ASSERT_EQ(ks_trans_close(&t), 0);
  EXPECT_TRUE(file_exists(home.file("data/U/C_2_4.dat")));
  EXPECT_TRUE(file_exists(home.file("data/U/t_C_2.trans")));
}

TEST_F(TransTest, RandomlyDamagedSaveFileNeverCrashesTheStart) {
  ASSERT_EQ(open(), 0);
  for (uint64_t i = 1; i <= 3; i++) {
    ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 200 + 50 * static_cast<uint32_t>(i)), xid_of(1, i, 1), i), 0);
    ASSERT_EQ(add(short_rec(KS_OPC_TAG, 3), xid_of(1, i, 1), i), 0);
    ASSERT_EQ(add(full_rec(KS_OPC_UPDATE, 120), xid_of(1, i, 1), i), 0);
  }
  ASSERT_EQ(ks_trans_close(&t), 0);
  const std::string saved = read_file(save_file());
  uint32_t seed = 777;
  auto rnd = [&] { return seed = seed * 1103515245 + 12345, (seed >> 8) & 0xFFFFFF; };
  for (int i = 0; i < 80; i++) {
    std::string d = saved;
    for (int k = 0; k < 3; k++) d[rnd() % d.size()] = static_cast<char>(rnd() & 0xFF);
    write_file(save_file(), d);
    int rc = open();
    ASSERT_TRUE(rc == 0 || rc == -1) << "iteration " << i;
    if (rc == 0) {
      // Whatever was accepted is whole: every restored in-memory image walks cleanly.
      for (int s = 0; s < t.nalloc; s++) {
        const ks_trans_slot_t &sl = t.slot[s];
        if (sl.xid == 0 || (sl.flag & KS_SLOT_SPILLED)) continue;
        uint32_t bad;
        const char *why;
        ASSERT_EQ(ks_trail_check_records(sl.buf, static_cast<uint32_t>(sl.dlen), sl.nlcr, &bad, &why), 0)
            << "iteration " << i;
      }
      for (int s = 0; s < t.nalloc; s++) t.slot[s].xid = 0;  // do not save the damage
      t.nslot = 0;
      ASSERT_EQ(ks_trans_close(&t), 0);
    }
  }
}
