// Heartbeats in the trail: written only when they raise what the trail promises, after the
// commits before them, in files of their own when need be; and a restart that finds one
// last does not write again what it covers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/trans/trans_fixture.h"

using namespace kstest;
using ::testing::HasSubstr;

namespace {

TEST_F(TransTest, HeartbeatsRaiseThePromiseAndSurviveARestart) {
  ASSERT_EQ(open(), 0);
  // No trail file yet: the heartbeat starts one, and names it in its header.
  ASSERT_EQ(ks_write_heartbeat(&t, 5, 1157068800), 1);
  EXPECT_EQ(ks_write_heartbeat(&t, 5, 1157068801), 0);
  EXPECT_EQ(ks_write_heartbeat(&t, 3, 1157068801), 0);
  const uint64_t a = xid_of(1, 1, 1), b = xid_of(1, 2, 1), c = xid_of(1, 3, 1), d = xid_of(1, 4, 1);
  ASSERT_EQ(add(full_rec(KS_OPC_QMD, 96), a, 6), 0);
  ASSERT_EQ(commit(a, 8), 0);
  EXPECT_EQ(ks_write_heartbeat(&t, 8, 1), 0);  // the commit at 8 says as much
  ASSERT_EQ(ks_write_heartbeat(&t, 9, 1), 1);
  // A gathered commit goes to the file before the heartbeat that speaks for it.
  t.flag |= KS_TRANS_GATHER;
  ASSERT_EQ(add(full_rec(KS_OPC_QMD, 96), b, 10), 0);
  ASSERT_EQ(commit(b, 12), 0);
  ASSERT_EQ(t.nq, 1);
  ASSERT_EQ(ks_write_heartbeat(&t, 13, 1), 1);
  EXPECT_EQ(t.nq, 0);
  // A heartbeat past the size limit rolls the file over like a transaction.
  t.max_tsz = t.tail + 16;
  ASSERT_EQ(ks_write_heartbeat(&t, 20, 1), 1);
  EXPECT_EQ(t.fseq, 1);

  const TrailFile f0 = read_trail(trail(0)), f1 = read_trail(trail(1));
  EXPECT_EQ(f0.fh.first_scn, 5u);
  EXPECT_EQ(f0.fh.first_xid, 0u);
  EXPECT_EQ(f0.fh.last_scn, 13u);
  EXPECT_EQ(f0.fh.last_xid, 0u);
  EXPECT_TRUE(f0.has_marker);
  ASSERT_EQ(f0.trans.size(), 5u);
  const uint64_t scns[] = {5, 8, 9, 12, 13}, xids[] = {0, a, 0, b, 0};
  for (size_t i = 0; i < 5; i++) {
    EXPECT_EQ(f0.trans[i].th.cscn, scns[i]) << i;
    EXPECT_EQ(f0.trans[i].th.xid, xids[i]) << i;
    if (xids[i] == 0) {
      EXPECT_EQ(f0.trans[i].th.flag, KS_TH_HEARTBEAT);
      EXPECT_EQ(f0.trans[i].th.tlen, 32u);
      EXPECT_EQ(f0.trans[i].th.nlcr, 0u);
    }
  }
  EXPECT_EQ(f0.trans[0].th.csct, 1157068800u);
  ASSERT_EQ(f1.trans.size(), 1u);
  EXPECT_EQ(f1.fh.first_scn, 20u);
  EXPECT_EQ(f1.fh.first_xid, 0u);

  const std::string cmd =
      std::string(KS_BIN_DIR) + "/trailcat -f " + trail(0) + " >" + home.file("out.txt") + " 2>" + home.file("err.txt");
  ASSERT_EQ(system(cmd.c_str()), 0) << read_file(home.file("err.txt"));
  EXPECT_THAT(read_file(home.file("out.txt")), HasSubstr("Heartbeat SCN: 5,  SCN time: 2024-01-01 00:00:00\n"));

  // A crash with C open; the restart from a checkpoint in file 0 goes on in file 1, and of
  // the commits the redo brings again those below the heartbeat are in the trail already.
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 120), c, 14), 0);
  ks_trans_free_table(&t);
  t = {};
  t.fd = -1;
  t.resume_tail = KS_TRAIL_FH_SZ;
  ex = {};
  ex.t = &t;
  ASSERT_EQ(ks_trans_open(&t), 0) << last_message();
  EXPECT_EQ(t.fseq, 1);
  EXPECT_EQ(ks_write_heartbeat(&t, 20, 1), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 120), c, 14), 0);
  ASSERT_EQ(commit(c, 19), 0);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 120), d, 15), 0);
  ASSERT_EQ(commit(d, 20), 0);
  // A commit below a heartbeat already written broke its promise: delivered, and said.
  const uint64_t e = xid_of(1, 5, 1);
  ASSERT_EQ(ks_write_heartbeat(&t, 30, 1), 1);
  ASSERT_EQ(add(full_rec(KS_OPC_INSERT, 120), e, 21), 0);
  ASSERT_EQ(commit(e, 25), 0);
  EXPECT_THAT(last_message(), HasSubstr("committed at SCN 25 reaches the trail after a heartbeat promised every "
                                        "commit below SCN 30"));
  ASSERT_EQ(ks_trans_close(&t), 0);
  const TrailFile g1 = read_trail(trail(1));
  ASSERT_EQ(g1.trans.size(), 4u);
  EXPECT_EQ(g1.trans[1].th.xid, d);
  EXPECT_EQ(g1.trans[3].th.xid, e);
  EXPECT_EQ(read_trail(trail(0)).size, f0.size);
}

}  // namespace
