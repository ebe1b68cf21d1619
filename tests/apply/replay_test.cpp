// Trail positioning and replay: where a start position lands, how buffers are walked,
// where commits fall and what they carry, large transactions from their files, skipped
// records, mapping, stops and restarts, and corrupt lengths that must not loop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "apply/apply.h"
#include "lib/log/log.h"
#include "lib/util.h"
#include "tests/apply/replay_stub.h"
#include "tests/apply/trail_build.h"
#include "tests/testutil.h"

using tb::Col;

namespace {

std::string ins(const std::string &id, const std::string &table = "T") {
  return tb::lcr(1, "S", table, {Col{"ID", 1, 20, id}});
}

class Replay : public ::testing::Test {
 protected:
  kstest::TempHome home;
  std::vector<uint8_t> block;
  ks_array_t *arr = nullptr;

  void SetUp() override {
    ks_reset_home_dir();
    std::snprintf(unit_name, 32, "U1");
    std::snprintf(com_name, 32, "AP");
    std::snprintf(prev_name, 32, "EX");
    mkdir(home.file("data/U1").c_str(), 0755);
    g_db.reset();
    x_loop = 1;
    x_cmd_set = 0;
    x_unit_fault = 0;
    ks_error_discard();
    x_apply_self = 0;
    x_sync_seq = 0;
    x_ckp_fno = 0;
    x_ckp_scn = x_ckp_xid = 0;
    std::memset(&x_cfg, 0, sizeof x_cfg);
    arr = new ks_array_t();
    x_app = {&x_buf, &x_rdr[0], nullptr, arr};
    sizes(KS_AP_RBUF_SIZE, KS_AP_TBUF_SIZE);
    x_rdr[0] = {0, 0, -1, 0, 0};
  }
  void TearDown() override {
    if (x_rdr[0].rfd >= 0) close(x_rdr[0].rfd);
    x_rdr[0].rfd = -1;
    ks_ap_cfg_release(&x_cfg, std::free);
    delete arr;
  }
  // Small buffers make every boundary case reachable with a few records.
  void sizes(int rsz, int tsz) {
    block.assign(static_cast<size_t>(rsz) + KS_AP_ABUF_SIZE + static_cast<size_t>(tsz), 0);
    ks_ap_cut_buffer(&x_buf, block.data());
    x_buf.rsz = rsz;
    x_buf.tsz = tsz;
    x_buf.abuf = x_buf.rbuf + rsz;
    x_buf.tbuf = x_buf.abuf + x_buf.asz;
  }
  std::string trail(uint32_t fno) { return home.file("data/U1/EX_" + std::to_string(fno) + ".dat"); }
  // A closed trail file holding the given transactions (scn, xid taken from them).
  void write_trail(uint32_t fno, const std::vector<std::string> &txns, bool closed = true) {
    std::string body;
    for (const auto &t : txns) body += t;
    uint64_t first = ks_th_cscn(reinterpret_cast<const uint8_t *>(txns.front().data()));
    uint64_t fx = ks_th_xid(reinterpret_cast<const uint8_t *>(txns.front().data()));
    uint64_t last = ks_th_cscn(reinterpret_cast<const uint8_t *>(txns.back().data()));
    uint64_t lx = ks_th_xid(reinterpret_cast<const uint8_t *>(txns.back().data()));
    uint32_t tail = 64 + static_cast<uint32_t>(body.size());
    std::string f = closed ? tb::file_header(fno, first, fx, last, lx, tail) + body + tb::eof_marker()
                           : tb::file_header(fno, first, fx, ~0ull, 0, 64) + body;
    kstest::write_file(trail(fno), f);
  }
  // The main loop: read, replay, move to the next file at its marker. Returns 1 at the
  // end of what is written, 2 while the next file does not exist, 0 at a stop, -1 on error.
  int drive() {
    for (;;) {
      if (x_rdr[0].flag & 1) {
        if (ks_open_trail_file(&x_app, x_rdr[0].tfno + 1, 0, 0) < 0) return 2;
        x_ckp_fno = x_rdr[0].tfno;
      }
      ssize_t n = ks_read_data(x_rdr[0].rfd, x_buf.rbuf, static_cast<size_t>(x_buf.rsz), x_rdr[0].ofs);
      if (n < 0) return -1;
      if (n == 0) return 1;
      int rc = ks_apply_buffer(&x_app, static_cast<int>(n));
      if (rc < 0) return rc;
      if (!x_loop) return 0;
    }
  }
  int start(uint32_t fno, uint64_t scn, uint64_t xid) {
    x_unit_fault = 0;
    x_cmt_fno = fno;
    x_ckp_scn = x_cmt_scn = scn;
    x_ckp_xid = x_cmt_xid = xid;
    int rc = ks_open_trail_file(&x_app, fno, scn, xid);
    if (rc == 0) x_ckp_fno = x_rdr[0].tfno;
    return rc;
  }
  // Records in the error file: (SCN of the transaction, message).
  std::vector<std::pair<uint64_t, std::string>> errors() {
    std::string f = kstest::read_file(home.file("error/U1/AP_error.dat"));
    std::vector<std::pair<uint64_t, std::string>> out;
    for (size_t p = 0; p + 32 <= f.size(); p += ks::load<uint32_t>(f.data() + p))
      out.emplace_back(ks::load<uint64_t>(f.data() + p + 16), std::string(f.data() + p + 32));
    return out;
  }
};

}  // namespace

TEST_F(Replay, PositionsAfterTheCheckpointedTransactionWalkingEitherWay) {
  write_trail(0, {tb::trans({ins("a")}, 10, 1), tb::trans({ins("b")}, 20, 2)});
  write_trail(1, {tb::trans({ins("c")}, 30, 3), tb::trans({ins("d")}, 40, 4)});
  write_trail(2, {tb::trans({ins("e")}, 50, 5), tb::trans({ins("f")}, 60, 6)}, false);

  ASSERT_EQ(start(0, 0, 0), 0);
  EXPECT_EQ(x_rdr[0].tfno, 0u);
  EXPECT_EQ(x_rdr[0].ofs, 64);

  ASSERT_EQ(start(0, 50, 5), 0);  // forward from file 0
  EXPECT_EQ(x_rdr[0].tfno, 2u);
  EXPECT_EQ(x_rdr[0].ofs, 64 + static_cast<int64_t>(tb::trans({ins("e")}, 50, 5).size()));

  ASSERT_EQ(start(2, 10, 1), 0);  // backward from file 2
  EXPECT_EQ(x_rdr[0].tfno, 0u);
  ASSERT_EQ(drive(), 1);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:b", "S.T:1:c", "S.T:1:d", "S.T:1:e", "S.T:1:f"}));
  EXPECT_EQ(g_db.ckp.fno, 2u);
  EXPECT_EQ(g_db.ckp.scn, 60u);
  EXPECT_EQ(g_db.ckp.xid, 6u);
}

TEST_F(Replay, LastTransactionOfAFileContinuesWithTheNextFile) {
  write_trail(0, {tb::trans({ins("a")}, 10, 1), tb::trans({ins("b")}, 20, 2)});
  ASSERT_EQ(start(0, 20, 2), 0);
  EXPECT_EQ(drive(), 2);  // the marker was met; file 1 is not there yet
  EXPECT_TRUE(g_db.committed.empty());
  write_trail(1, {tb::trans({ins("c")}, 30, 3)}, false);
  EXPECT_EQ(drive(), 1);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:c"}));
  EXPECT_EQ(g_db.ckp.fno, 1u);
}

TEST_F(Replay, PositionsThatCannotBeFound) {
  write_trail(0, {tb::trans({ins("a")}, 10, 1), tb::trans({ins("b")}, 20, 2)});
  write_trail(1, {tb::trans({ins("c")}, 40, 3)});
  errno = 0;
  EXPECT_EQ(start(5, 0, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(start(0, 5, 9), -1);    // before the first transaction of file 0
  EXPECT_EQ(start(0, 20, 99), -1);  // the SCN is in file 0 but not that XID
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(start(1, 60, 9), -1);  // past the last file: file 2 does not exist
  EXPECT_EQ(errno, ENOENT);
  // Between files 0 and 1 (20 < 30 < 40), from either side: start of file 1.
  ASSERT_EQ(start(0, 30, 7), 0);
  EXPECT_EQ(x_rdr[0].tfno, 1u);
  EXPECT_EQ(x_rdr[0].ofs, 64);
  ASSERT_EQ(start(1, 30, 7), 0);
  EXPECT_EQ(x_rdr[0].tfno, 1u);
  EXPECT_EQ(x_rdr[0].ofs, 64);
}

// After extract crashed and cut its trail back to its checkpoint, the file still being
// written can end before apply's position until the redo brings those transactions again:
// a wait, told apart from a position that is not there, and then the replay goes on.
TEST_F(Replay, PositionBeyondTheEndOfAFileStillBeingWrittenIsWaitedFor) {
  write_trail(0, {tb::trans({ins("a")}, 10, 1)}, false);
  errno = 0;
  EXPECT_EQ(start(0, 20, 2), -1);
  EXPECT_EQ(errno, EAGAIN);
  write_trail(0, {tb::trans({ins("a")}, 10, 1), tb::trans({ins("b")}, 20, 2), tb::trans({ins("c")}, 30, 3)}, false);
  ASSERT_EQ(start(0, 20, 2), 0);
  ASSERT_EQ(drive(), 1);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:c"}));
}

TEST_F(Replay, BufferCutInsideATransactionReadsItAgainWhole) {
  std::vector<std::string> txns;
  for (int i = 0; i < 20; i++) {
    std::string n = std::to_string(i);
    txns.push_back(tb::trans({ins(std::string("r").append(n)), ins(std::string("s").append(n))}, 100 + i, i + 1));
  }
  write_trail(0, txns);
  // Room for a bit more than two transactions per read: cuts fall inside headers and bodies.
  sizes(static_cast<int>(txns[0].size() * 2 + 40), KS_AP_TBUF_SIZE);
  ASSERT_EQ(start(0, 0, 0), 0);
  EXPECT_EQ(drive(), 2);
  ASSERT_EQ(g_db.committed.size(), 40u);
  for (int i = 0; i < 20; i++) EXPECT_EQ(g_db.committed[2 * i], "S.T:1:r" + std::to_string(i));
  EXPECT_EQ(g_db.commits.size(), 10u);  // one per read; the last read also holds the marker
  for (const auto &c : g_db.commits) EXPECT_EQ((c.scn - 100) % 2, 1u);  // after whole pairs only
  EXPECT_EQ(g_db.ckp.scn, 119u);
}

TEST_F(Replay, SkippedTransactionsAndRecords) {
  std::string discarded = tb::lcr(1, "S", "T", {Col{"ID", 1, 20, std::string("gone")}}, {}, 0x00100000);
  write_trail(0, {tb::trans({ins("self")}, 10, 1, 0x40000008),
                  tb::trans({ins("a"), discarded, tb::short_rec(22, "tag"), ins("b")}, 20, 2),
                  tb::trans({tb::commit(), ins("after-commit")}, 30, 3),
                  tb::trans({tb::lcr(6, "S", "T", {}), ins("c")}, 40, 4)});
  ASSERT_EQ(start(0, 0, 0), 0);
  drive();
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:a", "S.T:1:b", "S.T:1:c"}));

  g_db.reset();
  x_apply_self = 1;
  ASSERT_EQ(start(0, 0, 0), 0);
  drive();
  EXPECT_EQ(g_db.committed.front(), "S.T:1:self");
}

TEST_F(Replay, FilteredAndMappedTables) {
  auto item = [](const char *s, const char *t, const char *ms = "", const char *mt = "") {
    ks_ap_item_t it{};
    it.flag = t[0] == '*';
    std::snprintf(it.schema, 32, "%s", s);
    std::snprintf(it.table, 32, "%s", t);
    std::snprintf(it.map_schema, 32, "%s", ms);
    std::snprintf(it.map_table, 32, "%s", mt);
    return it;
  };
  std::vector<ks_ap_item_t> inc = {item("S", "*")}, exc = {item("S", "SECRET")}, map = {item("S", "T1", "S2", "U1")};
  ASSERT_EQ(ks_ap_cfg_build(&x_cfg, exc.data(), 1, inc.data(), 1, map.data(), 1, std::malloc), 0);
  write_trail(0, {tb::trans({ins("1", "T1"), ins("2", "T2"), ins("3", "SECRET"),
                             tb::lcr(1, "OTHER", "T1", {Col{"ID", 1, 20, std::string("4")}})},
                            10, 1)});
  ASSERT_EQ(start(0, 0, 0), 0);
  drive();
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S2.U1:1:1", "S.T2:1:2"}));
}

TEST_F(Replay, LargeTransactionFromItsFileAcrossChunks) {
  std::vector<std::string> recs;
  for (int i = 0; i < 30; i++) {
    recs.push_back(ins("big" + std::to_string(i)));
    if (i % 7 == 3) recs.push_back(tb::lcr(1, "S", "T", {Col{"ID", 1, 20, std::string("x")}}, {}, 0x00100000));
  }
  std::string bigpath = home.file("data/U1/EX_1407.99");
  kstest::write_file(bigpath, tb::big_file(recs));
  write_trail(0,
              {tb::trans({ins("before")}, 10, 1), tb::big_ref(bigpath, 20, 2, 35), tb::trans({ins("after")}, 30, 3)});
  // Chunks of about three records: LCRs straddle every chunk boundary.
  sizes(KS_AP_RBUF_SIZE, static_cast<int>(ins("big10").size() * 3 + 7));
  ASSERT_EQ(start(0, 0, 0), 0);
  drive();
  ASSERT_EQ(g_db.committed.size(), 32u);
  EXPECT_EQ(g_db.committed[0], "S.T:1:before");
  for (int i = 0; i < 30; i++) EXPECT_EQ(g_db.committed[1 + i], "S.T:1:big" + std::to_string(i));
  EXPECT_EQ(g_db.committed[31], "S.T:1:after");
  // Commit before the large transaction, at its end, and at the end of the file.
  ASSERT_EQ(g_db.commits.size(), 3u);
  EXPECT_EQ(g_db.commits[0].scn, 10u);
  EXPECT_EQ(g_db.commits[1].scn, 20u);
  EXPECT_EQ(g_db.commits[2].scn, 30u);
  // Rows were executed before every refill of the transaction buffer, never more than
  // a chunk's worth at once.
  for (int n : g_db.executions) EXPECT_LE(n, 3);
}

TEST_F(Replay, StopInsideALargeTransactionRollsItBackAndRestartsBeforeIt) {
  std::vector<std::string> recs;
  for (int i = 0; i < 10; i++) recs.push_back(ins("big" + std::to_string(i)));
  std::string bigpath = home.file("data/U1/EX_77.5");
  kstest::write_file(bigpath, tb::big_file(recs));
  write_trail(0,
              {tb::trans({ins("before")}, 10, 1), tb::big_ref(bigpath, 20, 2, 11), tb::trans({ins("after")}, 30, 3)});
  sizes(KS_AP_RBUF_SIZE, static_cast<int>(ins("big1").size() * 2));
  g_db.stop_after_pushes = 5;
  ASSERT_EQ(start(0, 0, 0), 0);
  EXPECT_EQ(drive(), 0);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:before"}));
  EXPECT_EQ(g_db.rollbacks, 1);
  EXPECT_EQ(g_db.ckp.scn, 10u);

  // Restart from the checkpoint row: the large transaction is applied once, whole.
  auto ckp = g_db.ckp;
  auto committed = g_db.committed;
  g_db.reset();
  g_db.committed = committed;
  x_loop = 1;
  ASSERT_EQ(start(ckp.fno, ckp.scn, ckp.xid), 0);
  drive();
  ASSERT_EQ(g_db.committed.size(), 12u);
  EXPECT_EQ(g_db.committed[1], "S.T:1:big0");
  EXPECT_EQ(g_db.committed[11], "S.T:1:after");
}

TEST_F(Replay, EveryTransactionOnceAcrossStopsAtAnyPoint) {
  std::vector<std::string> txns0, txns1, expect;
  for (int i = 0; i < 12; i++) {
    std::vector<std::string> rows;
    for (int k = 0; k <= i % 3; k++) {
      rows.push_back(ins(std::to_string(i) + "." + std::to_string(k)));
      expect.push_back("S.T:1:" + std::to_string(i) + "." + std::to_string(k));
    }
    (i < 6 ? txns0 : txns1).push_back(tb::trans(rows, 100 + i, 1000 + i));
  }
  write_trail(0, txns0);
  write_trail(1, txns1, false);
  sizes(600, KS_AP_TBUF_SIZE);
  for (int stop_at = 1; stop_at <= static_cast<int>(expect.size()); stop_at += 2) {
    g_db.reset();
    g_db.stop_after_pushes = stop_at;
    x_loop = 1;
    ASSERT_EQ(start(0, 0, 0), 0);
    drive();  // stops after stop_at rows; the uncommitted part is lost as on a real stop
    g_db.pending.clear();
    auto ckp = g_db.ckp;
    g_db.stop_after_pushes = -1;
    x_loop = 1;
    ASSERT_EQ(start(ckp.fno, ckp.scn, ckp.xid), 0) << stop_at;
    EXPECT_EQ(drive(), 1);
    EXPECT_EQ(g_db.committed, expect) << "stop after " << stop_at << " rows";
  }
}

// A change its engine cannot apply costs its error record only; a failure of the unit
// (the target out of space, a lost session) commits nothing of it, and the replay
// starts again at the last checkpoint: every row once, none in the error file.
TEST_F(Replay, FailuresInTheMiddleOfATransactionCommitNothingOfItSilently) {
  write_trail(0, {tb::trans({ins("a1"), ins("a2"), ins("a3")}, 10, 1), tb::trans({ins("b1")}, 20, 2)});
  g_db.fail_push_at = 2;
  ASSERT_EQ(start(0, 0, 0), 0);
  drive();
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:a1", "S.T:1:a3", "S.T:1:b1"}));
  auto errs = errors();
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].first, 10u);
  unlink(home.file("error/U1/AP_error.dat").c_str());

  // Out of space at the second row of the large transaction, then at the third row of
  // the small one after it: each time what the unit holds is rolled back and replayed.
  std::vector<std::string> recs;
  for (int i = 0; i < 6; i++) recs.push_back(ins("big" + std::to_string(i)));
  std::string bigpath = home.file("data/U1/EX_5.1");
  kstest::write_file(bigpath, tb::big_file(recs));
  write_trail(1, {tb::trans({ins("c1")}, 30, 3), tb::big_ref(bigpath, 40, 4, 7),
                  tb::trans({ins("d1"), ins("d2"), ins("d3")}, 50, 5)});
  g_db.reset();
  sizes(KS_AP_RBUF_SIZE, static_cast<int>(ins("big1").size() * 2));
  g_db.unit_fault = KS_UF_RETRY;
  g_db.unit_fault_at = 3;
  ASSERT_EQ(start(1, 0, 0), 0);
  EXPECT_EQ(drive(), KS_REPLAY_RETRY);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:c1"}));
  EXPECT_EQ(g_db.ckp.scn, 30u);
  EXPECT_EQ(g_db.rollbacks, 1);
  g_db.unit_fault_at = g_db.pushes + 9;  // d3 on the replay
  ASSERT_EQ(ks_replay_restart(&x_app), 0);
  EXPECT_EQ(drive(), KS_REPLAY_RETRY);
  EXPECT_EQ(g_db.committed.size(), 7u);  // c1 and the large transaction, whole
  EXPECT_EQ(g_db.ckp.scn, 40u);
  ASSERT_EQ(ks_replay_restart(&x_app), 0);
  EXPECT_EQ(drive(), 2);
  std::vector<std::string> expect = {"S.T:1:c1"};
  for (int i = 0; i < 6; i++) expect.push_back("S.T:1:big" + std::to_string(i));
  for (const char *d : {"d1", "d2", "d3"}) expect.push_back(std::string("S.T:1:") + d);
  EXPECT_EQ(g_db.committed, expect);
  EXPECT_TRUE(errors().empty());

  // A unit whose session is lost asks for a new connection; one that cannot go on at all
  // stops the replay. Either way with the checkpoint before it and nothing recorded.
  for (int kind : {KS_UF_LOST, KS_UF_STOP}) {
    g_db.reset();
    g_db.unit_fault = kind;
    g_db.unit_fault_at = 2;
    ASSERT_EQ(start(0, 0, 0), 0);
    EXPECT_EQ(drive(), kind == KS_UF_LOST ? KS_REPLAY_RECONNECT : -1);
    EXPECT_TRUE(g_db.committed.empty());
    EXPECT_TRUE(g_db.commits.empty());
    EXPECT_TRUE(errors().empty());
  }
}

TEST_F(Replay, CorruptLengthsEndTheReplayInsteadOfLooping) {
  std::string t = tb::trans({ins("a")}, 10, 1);
  std::string bad = t;
  ks::store<uint32_t>(bad.data(), 8);  // shorter than a header
  write_trail(0, {t, bad});
  ASSERT_EQ(start(0, 0, 0), 0);
  EXPECT_EQ(drive(), -1);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:a"}));

  // A transaction bigger than the whole read buffer.
  g_db.reset();
  std::vector<std::string> rows(40, ins("row"));
  write_trail(1, {tb::trans(rows, 30, 3)});
  sizes(512, KS_AP_TBUF_SIZE);
  ASSERT_EQ(start(1, 0, 0), 0);
  EXPECT_EQ(drive(), -1);

  // An LCR whose length reaches past its transaction: nothing of that transaction is
  // applied, the next one is.
  g_db.reset();
  sizes(KS_AP_RBUF_SIZE, KS_AP_TBUF_SIZE);
  std::string lcr_bad = tb::trans({ins("x1"), ins("x2")}, 50, 5);
  ks::store<uint32_t>(lcr_bad.data() + 32 + ins("x1").size(), 100000);
  write_trail(2, {lcr_bad, tb::trans({ins("y")}, 60, 6)});
  ASSERT_EQ(start(2, 0, 0), 0);
  EXPECT_EQ(drive(), 2);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:y"}));

  // A transaction file that ends without its COMMIT: none of it is applied, one record
  // names it, the replay goes on.
  g_db.reset();
  std::string bigpath = home.file("data/U1/EX_9.9");
  std::string f = tb::big_file({ins("p"), ins("q")});
  kstest::write_file(bigpath, f.substr(0, f.size() - 16));
  write_trail(3, {tb::big_ref(bigpath, 70, 7, 3), tb::trans({ins("z")}, 80, 8)});
  ASSERT_EQ(start(3, 0, 0), 0);
  EXPECT_EQ(drive(), 2);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:z"}));
  auto errs = errors();
  ASSERT_FALSE(errs.empty());
  EXPECT_EQ(errs.back().first, 70u);
  EXPECT_NE(errs.back().second.find("ends without its commit record"), std::string::npos) << errs.back().second;

  // A transaction file that is not there stops the replay before it.
  g_db.reset();
  write_trail(4, {tb::trans({ins("y1")}, 90, 9), tb::big_ref(home.file("data/U1/EX_gone"), 95, 10, 1),
                  tb::trans({ins("y2")}, 99, 11)});
  ASSERT_EQ(start(4, 0, 0), 0);
  EXPECT_EQ(drive(), -1);
  EXPECT_EQ(g_db.committed, (std::vector<std::string>{"S.T:1:y1"}));
  EXPECT_EQ(g_db.ckp.scn, 90u);
}
