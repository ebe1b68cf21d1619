// Replay into a target database served by the stand-in OCI library over SQLite: values
// of every scalar type as a person reads them in the table, array executions, batch
// errors and unmatched rows in the error file, the checkpoint row, and exactly-once
// replay across a stop between commit points.
#include "apply/apply_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "lib/log/log.h"
#include "lib/ora/ora_number.h"
#include "lib/util.h"
#include "tests/apply/trail_build.h"
#include "tests/fuzz.h"
#include "tests/testutil.h"

using tb::Col;

namespace {

std::string num(long v) {
  uint8_t b[KS_ORA_NUMBER_MAX];
  int n = ks_ora_number_from_int64(v, b);
  return std::string(reinterpret_cast<char *>(b), static_cast<size_t>(n));
}
std::string numtxt(const char *t) {
  uint8_t b[KS_ORA_NUMBER_MAX];
  int n = ks_ora_number_from_text(t, b);
  return std::string(reinterpret_cast<char *>(b), static_cast<size_t>(n));
}
// DATE: century+100, year+100, month, day, hour+1, minute+1, second+1.
std::string date(int y, int mo, int d, int h, int mi, int s) {
  std::string r;
  for (int v : {y / 100 + 100, y % 100 + 100, mo, d, h + 1, mi + 1, s + 1}) r.push_back(static_cast<char>(v));
  return r;
}
Col ncol(const std::string &n, std::optional<std::string> v) { return {n, 2, 22, v}; }
Col vcol(const std::string &n, std::optional<std::string> v) { return {n, 1, 30, v}; }

std::string row_insert(const std::string &table, long id, const std::string &name) {
  return tb::lcr(1, "KS", table, {ncol("ID", num(id)), vcol("NAME", name)});
}

class ApplyDb : public ::testing::Test {
 protected:
  kstest::TempHome home;
  std::string db_path;
  std::vector<uint8_t> block;
  ks_ap_item_t unused{};

  static std::string lib() { return std::string(KS_LIB_DIR) + "/liborasim.so"; }

  void SetUp() override {
    if (access(lib().c_str(), R_OK) != 0) GTEST_SKIP() << "stand-in OCI library not built";
    ks_reset_home_dir();
    std::snprintf(unit_name, 32, "U1");
    std::snprintf(com_name, 32, "AP");
    std::snprintf(prev_name, 32, "EX");
    ks_log_init("AP", 0);
    mkdir(home.file("data/U1").c_str(), 0755);
    mkdir(home.file("error/U1").c_str(), 0755);
    mkdir(home.file("log/U1").c_str(), 0755);
    setenv("KESTRO_OCI_LIB", lib().c_str(), 1);
    db_path = home.file("target.db");
    kstest::write_file(db_path, "");
    x_loop = 1;
    x_cmd_set = 0;
    x_unit_fault = 0;
    ks_error_discard();
    x_apply_self = 0;
    x_csid = 873;
    x_ncsid = 2000;
    x_lob_csid = 873;
    std::memset(&x_cfg, 0, sizeof x_cfg);
    std::memset(&x_array, 0, sizeof x_array);
    block.assign(KS_AP_WORK_SIZE, 0);
    ks_ap_cut_buffer(&x_buf, block.data());
    x_app = {&x_buf, &x_rdr[0], &x_ado, &x_array};
    ASSERT_EQ(connect(), 0) << ks_oci_get_message();
    ddl("create table KS.T (ID number primary key, NAME varchar2(30))");
  }
  void TearDown() override {
    if (x_ado.se != nullptr && x_ado.se->envhp != nullptr) disconnect();
    if (x_rdr[0].rfd >= 0) close(x_rdr[0].rfd);
    x_rdr[0].rfd = -1;
    ks_log_close();
  }

  // Start-up as the process does it: connect, checkpoint, statements.
  int connect() {
    std::memset(&x_ado, 0, sizeof x_ado);
    x_ado.se = &x_ado.sess;
    std::string cs = "sim:" + db_path;
    if (ks_oci_connect(x_ado.se, "KS", "pw", cs.c_str(), 1) != 0) return -1;
    uint32_t fno;
    uint64_t scn, xid;
    if (ks_get_checkpoint(&x_ado, 0, &fno, &scn, &xid) != 0) return -1;
    ckp = {fno, scn, xid};
    if (ks_oci_get_statement(x_ado.se, &x_ado.st_ap) != 0) return -1;
    if (ks_prepare_checkpoint_stmt(&x_ado) != 0) return -1;
    if (ks_oci_lob_new_empty(x_ado.se, &x_empty_locp) != 0) return -1;
    std::memset(&x_array, 0, sizeof x_array);
    x_ckp_scn = scn;
    x_ckp_xid = xid;
    return 0;
  }
  void disconnect() {
    ks_oci_rollback(x_ado.se);
    ks_disconnect_db(&x_ado);
    std::memset(&x_ado, 0, sizeof x_ado);
  }
  void ddl(const char *sql) {
    ks_oci_stmt_t st{};
    ASSERT_EQ(ks_oci_get_statement(x_ado.se, &st), 0);
    ASSERT_EQ(ks_oci_prepare_statement(x_ado.se, &st, sql), 0) << ks_oci_get_message();
    ASSERT_GE(ks_oci_execute(x_ado.se, &st, 1, 0), 0) << ks_oci_get_message();
    ks_oci_close_statement(x_ado.se, &st);
  }
  std::string trail(uint32_t fno) { return home.file("data/U1/EX_" + std::to_string(fno) + ".dat"); }
  void write_trail(uint32_t fno, const std::vector<std::string> &txns, bool closed = true) {
    std::string body;
    for (const auto &t : txns) body += t;
    auto th = [](const std::string &t) { return reinterpret_cast<const uint8_t *>(t.data()); };
    std::string f = tb::file_header(fno, ks_th_cscn(th(txns.front())), ks_th_xid(th(txns.front())),
                                    closed ? ks_th_cscn(th(txns.back())) : ~0ull,
                                    closed ? ks_th_xid(th(txns.back())) : 0, 64 + static_cast<uint32_t>(body.size())) +
                    body + (closed ? tb::eof_marker() : "");
    kstest::write_file(trail(fno), f);
  }
  // The main read loop over what is written; max_reads limits it (a stop between
  // commit points). 1 at the end of the data, 2 waiting for the next file.
  int drive(int max_reads = 1 << 30) {
    for (int reads = 0; reads < max_reads; reads++) {
      if (x_rdr[0].flag & 1) {
        if (ks_open_trail_file(&x_app, x_rdr[0].tfno + 1, 0, 0) < 0) return 2;
        x_ckp_fno = x_rdr[0].tfno;
      }
      ssize_t n = ks_read_data(x_rdr[0].rfd, x_buf.rbuf, static_cast<size_t>(x_buf.rsz), x_rdr[0].ofs);
      if (n <= 0) return n < 0 ? -1 : 1;
      int rc = ks_apply_buffer(&x_app, static_cast<int>(n));
      if (rc < 0) return rc;
    }
    return 0;
  }
  int start() {
    x_unit_fault = 0;
    x_cmt_fno = ckp.fno;
    x_ckp_scn = x_cmt_scn = ckp.scn;
    x_ckp_xid = x_cmt_xid = ckp.xid;
    int rc = ks_open_trail_file(&x_app, ckp.fno, ckp.scn, ckp.xid);
    if (rc == 0) x_ckp_fno = x_rdr[0].tfno;
    return rc;
  }
  // Changes the target file from outside, as a DBA or a test harness would.
  void target_sql(const std::string &sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  // Rows of a query on the target file, columns joined by "|", NULL as "~".
  std::vector<std::string> query(const std::string &sql) {
    std::vector<std::string> out;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return {"open failed"};
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      out.push_back(std::string("prepare failed: ") + sqlite3_errmsg(db));
    } else {
      while (sqlite3_step(st) == SQLITE_ROW) {
        std::string r;
        for (int i = 0; i < sqlite3_column_count(st); i++) {
          if (i) r += "|";
          const unsigned char *t = sqlite3_column_text(st, i);
          r += t ? reinterpret_cast<const char *>(t) : "~";
        }
        out.push_back(r);
      }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }
  std::string log_text() {
    char d[16];
    ks_get_date(d);
    return kstest::read_file(home.file(std::string("log/U1/AP_") + d + ".log"));
  }
  static int count(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
  }
  struct Err {
    uint32_t ecode;
    std::string msg;
    uint32_t opc;
  };
  std::vector<Err> errors() {
    std::string f = kstest::read_file(home.file("error/U1/AP_error.dat"));
    std::vector<Err> out;
    for (size_t p = 0; p + 32 <= f.size();) {
      uint32_t elen = ks::load<uint32_t>(f.data() + p);
      Err e{ks::load<uint32_t>(f.data() + p + 8), std::string(f.data() + p + 32), 0};
      e.opc = ks::load<uint32_t>(f.data() + p + 32 + e.msg.size() + 1 + 8);
      out.push_back(e);
      if (elen < 32) break;
      p += elen;
    }
    return out;
  }

  struct {
    uint32_t fno;
    uint64_t scn, xid;
  } ckp{};
};

}  // namespace

TEST_F(ApplyDb, FirstStartCreatesTheCheckpointRowWithZeros) {
  EXPECT_EQ(ckp.fno, 0u);
  EXPECT_EQ(ckp.scn, 0u);
  auto rows = query("select FILE_NO, SCN, XID, trim(UNIT_NAME), trim(APP_NAME) from \"KS.KS_APPLY_CKP\"");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], "0|0|0|U1|AP");
  // Another component of the same target gets its own row; ours is untouched.
  std::snprintf(com_name, 32, "AP2");
  disconnect();
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  EXPECT_EQ(query("select count(*) from \"KS.KS_APPLY_CKP\"")[0], "2");
  std::snprintf(com_name, 32, "AP");
}

TEST_F(ApplyDb, EveryScalarTypeLandsAsAPersonReadsIt) {
  ddl("create table KS.ALLT (ID number primary key, N number, V varchar2(30), C char(5), D date, "
      "TS timestamp, R raw(8), NV nvarchar2(10), BF binary_float, BD binary_double)");
  std::string ts = date(2026, 12, 8, 2, 22, 48) + std::string("\x07\x5B\xCD\x15", 4);  // .123456789
  std::string nv("\x00h\x00i", 4);                                                     // "hi" in AL16UTF16
  std::vector<Col> full = {ncol("ID", num(1)),
                           ncol("N", numtxt("-12.5")),
                           vcol("V", std::string("text")),
                           {"C", 96, 5, std::string("ab   ")},
                           {"D", 12, 7, date(2026, 12, 8, 2, 22, 48)},
                           {"TS", 180, 11, ts},
                           {"R", 23, 8, std::string("\x01\xFF", 2)},
                           {"NV", 1, 20, nv, 0x2},
                           {"BF", 100, 4, std::string("\xBF\xC0\x00\x00", 4)},
                           {"BD", 101, 8, std::string("\xC0\x04\x00\x00\x00\x00\x00\x00", 8)}};
  std::vector<Col> nulls = {ncol("ID", num(2)), ncol("N", std::nullopt), vcol("V", std::nullopt)};
  std::string upd = tb::lcr(2, "KS", "ALLT", {vcol("V", std::string("changed"))}, {ncol("ID", num(1))});
  std::string del = tb::lcr(3, "KS", "ALLT", {}, {ncol("ID", num(2))});
  std::string q = tb::qmi("KS", "ALLT", {ncol("ID", std::nullopt), ncol("N", std::nullopt), vcol("V", std::nullopt)},
                          {{num(10), num(100), std::string("q1")}, {num(11), std::nullopt, std::string("q2")}});
  write_trail(0, {tb::trans({tb::lcr(1, "KS", "ALLT", full), tb::lcr(1, "KS", "ALLT", nulls)}, 100, 1),
                  tb::trans({upd, del, q}, 110, 2)});
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(drive(), 2);
  EXPECT_EQ(query("select ID, N, V, C, D, TS, case when R is null then '~' else hex(R) end, NV, BF, BD from "
                  "\"KS.ALLT\" order by ID"),
            (std::vector<std::string>{
                "1|-12.5|changed|ab   |2026-12-08 02:22:48|2026-12-08 02:22:48.123456789|01FF|hi|1.5|2.5",
                "10|100|q1|~|~|~|~|~|~|~", "11|~|q2|~|~|~|~|~|~|~"}));
  EXPECT_TRUE(errors().empty());
  EXPECT_EQ(query("select FILE_NO, SCN, XID from \"KS.KS_APPLY_CKP\"")[0], "0|110|2");
}

TEST_F(ApplyDb, HundredInsertsAreOnePrepareOneBindOneExecution) {
  std::vector<std::string> rows;
  for (int i = 0; i < 100; i++) rows.push_back(row_insert("T", i, "n" + std::to_string(i)));
  std::string ins_upd_ins = tb::trans(
      {row_insert("T", 1000, "a"), tb::lcr(2, "KS", "T", {vcol("NAME", std::string("b"))}, {ncol("ID", num(1000))}),
       row_insert("T", 1001, "c")},
      200, 2);
  write_trail(0, {tb::trans(rows, 100, 1)});
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(drive(), 2);
  std::string log = log_text();
  EXPECT_EQ(count(log, "SQL: insert into \"KS\".\"T\""), 1);
  EXPECT_EQ(count(log, "100 rows bind, 100 rows executed."), 1);
  EXPECT_EQ(query("select count(*) from \"KS.T\"")[0], "100");

  write_trail(1, {ins_upd_ins});
  EXPECT_EQ(drive(), 2);
  log = log_text();
  // The insert statement is still current from the first file and is reused; the
  // update and the insert after it each need their own.
  EXPECT_EQ(count(log, "SQL: "), 3);
  EXPECT_EQ(count(log, "1 row bind, 1 row executed."), 3);
  EXPECT_EQ(query("select NAME from \"KS.T\" where ID >= 1000 order by ID"), (std::vector<std::string>{"b", "c"}));
}

TEST_F(ApplyDb, UniqueViolationInRowThreeOfTenCostsOneRecord) {
  ddl("insert into KS.T (ID, NAME) values (3, 'old')");
  std::vector<std::string> rows;
  for (int i = 1; i <= 10; i++) rows.push_back(row_insert("T", i, "new"));
  write_trail(0, {tb::trans(rows, 100, 1)});
  ASSERT_EQ(start(), 0);
  drive();
  auto errs = errors();
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].ecode, 1u);
  EXPECT_NE(errs[0].msg.find("ORA-00001"), std::string::npos) << errs[0].msg;
  EXPECT_EQ(query("select count(*) from \"KS.T\" where NAME = 'new'")[0], "9");
  EXPECT_EQ(query("select NAME from \"KS.T\" where ID = 3")[0], "old");
  EXPECT_NE(log_text().find("10 rows bind, 9 rows executed."), std::string::npos);
}

TEST_F(ApplyDb, UpdatesAndDeletesThatFindNoRowAreRecordedWithCodeZero) {
  ddl("insert into KS.T (ID, NAME) values (1, 'one')");
  ddl("insert into KS.T (ID, NAME) values (3, 'three')");
  auto upd = [](long id, const char *v) {
    return tb::lcr(2, "KS", "T", {vcol("NAME", std::string(v))}, {ncol("ID", num(id))});
  };
  write_trail(0, {tb::trans({upd(1, "x"), upd(2, "y"), upd(3, "z")}, 100, 1),
                  tb::trans({tb::lcr(3, "KS", "T", {}, {ncol("ID", num(42))})}, 110, 2)});
  ASSERT_EQ(start(), 0);
  drive();
  auto errs = errors();
  ASSERT_EQ(errs.size(), 2u);
  for (const auto &e : errs) {
    EXPECT_EQ(e.ecode, 0u);
    EXPECT_EQ(e.msg, "table row not matched.");
  }
  EXPECT_EQ(errs[0].opc, 2u);
  EXPECT_EQ(errs[1].opc, 3u);
  EXPECT_EQ(query("select NAME from \"KS.T\" order by ID"), (std::vector<std::string>{"x", "z"}));
  EXPECT_NE(log_text().find("3 rows bind, 2 rows executed."), std::string::npos);
}

TEST_F(ApplyDb, MissingTableRecordsEveryRowAndReplayGoesOn) {
  write_trail(0, {tb::trans({row_insert("NOPE", 1, "a"), row_insert("NOPE", 2, "b")}, 100, 1),
                  tb::trans({row_insert("T", 7, "ok")}, 110, 2)});
  ASSERT_EQ(start(), 0);
  drive();
  auto errs = errors();
  ASSERT_EQ(errs.size(), 2u);
  EXPECT_EQ(errs[0].ecode, 942u);
  EXPECT_EQ(query("select ID from \"KS.T\""), (std::vector<std::string>{"7"}));
}

TEST_F(ApplyDb, StopBetweenCommitPointsThenRestartAppliesEachTransactionOnce) {
  std::vector<std::string> txns;
  for (int t = 0; t < 40; t++) {
    std::vector<std::string> rows;
    for (int k = 0; k < 3; k++) rows.push_back(row_insert("T", t * 10 + k, "r"));
    txns.push_back(tb::trans(rows, 1000 + t, 500 + t));
  }
  write_trail(0, std::vector<std::string>(txns.begin(), txns.begin() + 20));
  write_trail(1, std::vector<std::string>(txns.begin() + 20, txns.end()), false);
  x_buf.rsz = static_cast<int>(txns[0].size() * 3 + 50);  // a commit point every three transactions
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(drive(4), 0);
  int applied = std::stoi(query("select count(*) from \"KS.T\"")[0]);
  EXPECT_EQ(applied, 36);
  // The next transaction is replayed and executed but not yet committed when the
  // process stops: the stop rolls it back, and the checkpoint row still names the last
  // commit.
  ASSERT_EQ(ks_read_data(x_rdr[0].rfd, x_buf.rbuf, static_cast<size_t>(x_buf.rsz), x_rdr[0].ofs), x_buf.rsz);
  ASSERT_EQ(ks_do_transaction(&x_app, x_buf.rbuf), 0);
  ASSERT_EQ(ks_array_execute(&x_app), 0);
  disconnect();
  EXPECT_EQ(query("select count(*) from \"KS.T\"")[0], std::to_string(applied));
  auto row = query("select FILE_NO, SCN, XID from \"KS.KS_APPLY_CKP\"")[0];
  EXPECT_EQ(row, "0|" + std::to_string(1000 + applied / 3 - 1) + "|" + std::to_string(500 + applied / 3 - 1));

  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(drive(), 1);
  EXPECT_EQ(query("select count(*), count(distinct ID) from \"KS.T\"")[0], "120|120");
  EXPECT_EQ(query("select FILE_NO, SCN, XID from \"KS.KS_APPLY_CKP\"")[0], "1|1039|539");
  EXPECT_TRUE(errors().empty());
}

// The target refuses for lack of space at the checkpoint update of the second commit
// point, after a row of it was refused for a duplicate key, and then at every execution
// until space returns. Nothing of the refused unit is committed, no row goes to the
// error file for the lack of space, the duplicate is recorded once, and when space
// returns the replay from the checkpoint applies every row once.
TEST_F(ApplyDb, TargetOutOfSpaceForAWhileLosesAndDoublesNothing) {
  std::vector<std::string> txns;
  for (int t = 0; t < 12; t++) {
    std::vector<std::string> rows;
    for (int k = 0; k < 3; k++) rows.push_back(row_insert("T", t * 10 + k, "r"));
    txns.push_back(tb::trans(rows, 1000 + t, 500 + t));
  }
  write_trail(0, txns);
  x_buf.rsz = static_cast<int>(txns[0].size() * 3 + 50);  // a commit point every three transactions
  target_sql(
      "insert into \"KS.T\" (ID, NAME) values (41, 'there before');"
      "create table \"KS$FAULTS\" (KIND TEXT, ARG INTEGER, ERR INTEGER);"
      "insert into \"KS$FAULTS\" values ('fail_from', 4, 1653)");
  ASSERT_EQ(start(), 0);
  for (int attempt = 0; attempt < 2; attempt++) {
    ASSERT_EQ(attempt == 0 ? drive() : (ks_replay_restart(&x_app) == 0 ? drive() : -9), KS_REPLAY_RETRY);
    EXPECT_EQ(query("select count(*) from \"KS.T\"")[0], "10");
    EXPECT_EQ(query("select FILE_NO, SCN, XID from \"KS.KS_APPLY_CKP\"")[0], "0|1002|502");
    EXPECT_TRUE(errors().empty());
    EXPECT_NE(x_unit_why, std::string()) << "the reason is kept for the retry loop's message";
    EXPECT_NE(std::string(x_unit_why).find("ORA-01653"), std::string::npos) << x_unit_why;
  }
  EXPECT_EQ(log_text().find("ORA-01653"), std::string::npos) << "logged by the retry loop only";
  target_sql("delete from \"KS$FAULTS\"");
  ASSERT_EQ(ks_replay_restart(&x_app), 0);
  EXPECT_EQ(drive(), 2);
  EXPECT_EQ(query("select count(*), count(distinct ID) from \"KS.T\"")[0], "36|36");
  EXPECT_EQ(query("select NAME from \"KS.T\" where ID = 41")[0], "there before");
  EXPECT_EQ(query("select FILE_NO, SCN, XID from \"KS.KS_APPLY_CKP\"")[0], "0|1011|511");
  auto errs = errors();
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].ecode, 1u);
}

TEST_F(ApplyDb, MappedAndFilteredTablesThroughATrail) {
  ddl("create table KS2.U1 (ID number primary key, NAME varchar2(30))");
  auto item = [](const char *s, const char *t, const char *ms = "", const char *mt = "") {
    ks_ap_item_t it{};
    it.flag = t[0] == '*';
    std::snprintf(it.schema, 32, "%s", s);
    std::snprintf(it.table, 32, "%s", t);
    std::snprintf(it.map_schema, 32, "%s", ms);
    std::snprintf(it.map_table, 32, "%s", mt);
    return it;
  };
  ks_ap_item_t inc = item("KS", "*"), exc = item("KS", "SECRET"), map = item("KS", "T1", "KS2", "U1");
  ASSERT_EQ(ks_ap_cfg_build(&x_cfg, &exc, 1, &inc, 1, &map, 1, std::malloc), 0);
  write_trail(0, {tb::trans({row_insert("T1", 1, "mapped"), row_insert("T", 2, "own"), row_insert("SECRET", 3, "x"),
                             tb::lcr(1, "OTHER", "T", {ncol("ID", num(4)), vcol("NAME", std::string("y"))})},
                            100, 1)});
  ASSERT_EQ(start(), 0);
  drive();
  ks_ap_cfg_release(&x_cfg, std::free);
  EXPECT_EQ(query("select ID, NAME from \"KS2.U1\""), (std::vector<std::string>{"1|mapped"}));
  EXPECT_EQ(query("select ID, NAME from \"KS.T\""), (std::vector<std::string>{"2|own"}));
  EXPECT_TRUE(errors().empty());
}

TEST_F(ApplyDb, QuickInsertErrorRecordCarriesItsDescriptorsAndTheFailingRowOnly) {
  ddl("insert into KS.T (ID, NAME) values (2, 'old')");
  std::vector<Col> desc = {ncol("ID", std::nullopt), vcol("NAME", std::nullopt)};
  std::string q =
      tb::qmi("KS", "T", desc, {{num(1), std::string("a")}, {num(2), std::string("dup")}, {num(3), std::nullopt}});
  write_trail(0, {tb::trans({q}, 100, 1)});
  ASSERT_EQ(start(), 0);
  drive();
  EXPECT_EQ(query("select ID, ifnull(NAME, '~') from \"KS.T\" order by ID"),
            (std::vector<std::string>{"1|a", "2|old", "3|~"}));
  std::string f = kstest::read_file(home.file("error/U1/AP_error.dat"));
  ASSERT_GE(f.size(), 32u);
  uint32_t elen = ks::load<uint32_t>(f.data());
  EXPECT_EQ(elen, f.size());
  EXPECT_EQ(ks::load<uint32_t>(f.data() + 8), 1u);
  size_t m = std::strlen(f.data() + 32) + 1;
  size_t dlen = 96 + tb::col_entry(desc[0], false).size() + tb::col_entry(desc[1], false).size();
  EXPECT_EQ(f.substr(32 + m, dlen), q.substr(0, dlen));
  std::string row;
  tb::put16(row, static_cast<uint16_t>(num(2).size()));
  row += num(2);
  tb::put16(row, 3);
  row += "dup";
  EXPECT_EQ(f.substr(32 + m + dlen), row);
}

TEST_F(ApplyDb, ValueLongerThanItsColumnIsRefusedWithARecord) {
  std::string too_long = tb::lcr(1, "KS", "T", {ncol("ID", num(1)), {"NAME", 1, 4, std::string("far too long")}});
  write_trail(0, {tb::trans({too_long, row_insert("T", 2, "ok")}, 100, 1)});
  ASSERT_EQ(start(), 0);
  drive();
  auto errs = errors();
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].ecode, 0u);
  EXPECT_NE(errs[0].msg.find("longer than its slot"), std::string::npos) << errs[0].msg;
  EXPECT_EQ(query("select ID from \"KS.T\""), (std::vector<std::string>{"2"}));
}

// Declared lengths come from the trail: two that add up to 256 in 32-bit arithmetic must
// not make a statement whose arrays are laid out far past the array buffer. Summed in 64
// bits, the row does not fit: it is refused with its transaction, and the replay goes on.
TEST_F(ApplyDb, DeclaredLengthsThatWouldWrapTheRowLengthAreRefused) {
  const std::vector<Col> huge = {{"ID", 2, 0x7FFFFF00u, std::nullopt}, {"NAME", 1, 0x80000200u, std::nullopt}};
  write_trail(0, {tb::trans({tb::lcr(1, "KS", "T", huge)}, 100, 1),
                  tb::trans({tb::qmi("KS", "T", huge, {{num(5), std::string("x")}})}, 110, 2),
                  tb::trans({row_insert("T", 7, "after")}, 120, 3)});
  ASSERT_EQ(start(), 0);
  EXPECT_GE(drive(), 0);
  char d[16];
  ks_get_date(d);
  const std::string err = kstest::read_file(home.file(std::string("log/U1/error") + d + ".log"));
  EXPECT_EQ(count(err, "one row of 2 binds (4294967552 bytes) does not fit the array buffer."), 2) << err;
  EXPECT_EQ(query("select ID from \"KS.T\""), (std::vector<std::string>{"7"}));
}

// Damaged trails as apply reads them, through the array and quick-insert engines into
// the stand-in target: a mutated trail is applied, refused or waited for, never a crash
// or a read or write outside the buffers (the sanitizer build runs it).
TEST_F(ApplyDb, MutatedTrailsAreAppliedOrRefusedWithoutCrashing) {
  ddl("create table KS.L (ID number primary key, DOC clob, PIC blob)");
  std::string upd = tb::lcr(2, "KS", "T", {vcol("NAME", "b")}, {ncol("ID", num(1))});
  std::string del = tb::lcr(3, "KS", "T", {}, {ncol("ID", num(2))});
  std::string q = tb::qmi("KS", "T", {ncol("ID", std::nullopt), vcol("NAME", std::nullopt)},
                          {{num(10), std::string("q")}, {num(11), std::nullopt}});
  std::string lob = tb::lcr(1, "KS", "L",
                            {ncol("ID", num(1)),
                             {"DOC", KS_TYP_CLOB, 4000, std::string("text"), KS_CH_LOB_DATA},
                             {"PIC", KS_TYP_BLOB, 4000, std::string(), KS_CH_EMPTY_LOB}});
  const std::string body = tb::trans({row_insert("T", 1, "a"), row_insert("T", 2, "b"), lob}, 100, 1) +
                           tb::trans({upd, del, q}, 110, 2) + tb::trans({row_insert("T", 3, "c")}, 120, 3);
  kstest::FuzzLoop loop("apply trail", 0.15);
  SCOPED_TRACE("seed " + std::to_string(loop.seed()));
  ks_log_inf.log_level = KS_LOG_ERROR + 1;  // every refusal is logged; the loop wants speed
  uint64_t applied = 0;
  while (loop.more() && !HasFailure()) {
    std::string b = body;
    loop.mutate(b, 0);
    kstest::write_file(trail(0),
                       tb::file_header(0, 100, 1, 120, 3, 64 + static_cast<uint32_t>(b.size())) + b + tb::eof_marker());
    if (x_rdr[0].rfd >= 0) close(x_rdr[0].rfd);
    x_rdr[0] = {0, 0, -1, 0, 0};
    std::memset(&x_array, 0, sizeof x_array);
    ckp = {};
    ASSERT_EQ(start(), 0);
    if (drive(20) >= 0) applied++;
    ks_oci_rollback(x_ado.se);
  }
  EXPECT_GT(applied, 0u);
}

// A row of a 1000-column table whose values total over 3 MiB, replayed from transaction
// files (each record larger than the transaction-file buffer, each row wider than the
// array buffer): inserted, updated in every column, refused as a duplicate into the error
// file whole, and deleted. trailcat prints it from its transaction file, errcat from the
// error file.
TEST_F(ApplyDb, RowOfOverThreeMebibytesIsInsertedUpdatedRecordedAndDeleted) {
  constexpr int kCols = 999;  // and the key: as many columns as a table has
  std::string create = "create table KS.W (ID number primary key";
  for (int i = 1; i <= kCols; i++) create += ", C" + std::to_string(i) + " varchar2(4000)";
  ddl((create + ")").c_str());
  // Column i holds its number, then the filler up to 3150 bytes.
  auto row = [&](long id, char fill) {
    std::vector<Col> cols = {ncol("ID", num(id))};
    for (int i = 1; i <= kCols; i++) {
      std::string v = std::to_string(i) + fill;
      cols.push_back({"C" + std::to_string(i), 1, 4000, v + std::string(3150 - v.size(), fill)});
    }
    return cols;
  };
  std::vector<Col> changed = row(1, 'b');
  changed.erase(changed.begin());
  const std::string ins = tb::lcr(1, "KS", "W", row(1, 'a'));
  const std::string upd = tb::lcr(2, "KS", "W", changed, {ncol("ID", num(1))});
  const std::string dup = tb::lcr(1, "KS", "W", row(1, 'c'));
  const std::string del = tb::lcr(3, "KS", "W", {}, {ncol("ID", num(1))});
  ASSERT_GT(ins.size(), 3u * 1048576);
  const std::string f1 = home.file("data/U1/EX_1.100"), f2 = home.file("data/U1/EX_2.110"),
                    f3 = home.file("data/U1/EX_3.120");
  // The writer stamps a transaction's file with the header the trail holds for it.
  kstest::write_file(f1, tb::big_ref(f1, 100, 1, 2).substr(0, 32) + tb::big_file({ins}).substr(32));
  kstest::write_file(f2, tb::big_file({upd}));
  kstest::write_file(f3, tb::big_file({dup, del}));
  write_trail(0, {tb::big_ref(f1, 100, 1, 2), tb::big_ref(f2, 110, 2, 2)});
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(drive(), 2);
  const std::string probe =
      "select ID, length(C1), substr(C1, 1, 3), substr(C500, 1, 5), length(C999), "
      "substr(C999, 1, 5), substr(C999, 3150) from \"KS.W\"";
  EXPECT_EQ(query(probe), (std::vector<std::string>{"1|3150|1bb|500bb|3150|999bb|b"}));
  EXPECT_TRUE(errors().empty());

  write_trail(1, {tb::big_ref(f3, 120, 3, 3)});
  EXPECT_EQ(drive(), 2);
  EXPECT_EQ(query("select count(*) from \"KS.W\"")[0], "0");
  auto errs = errors();
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].ecode, 1u);
  EXPECT_EQ(errs[0].opc, 1u);
  const std::string ef = kstest::read_file(home.file("error/U1/AP_error.dat"));
  const size_t m = std::strlen(ef.data() + 32) + 1;
  EXPECT_EQ(ks::load<uint32_t>(ef.data()), ef.size());
  EXPECT_TRUE(ef.compare(32 + m, std::string::npos, dup) == 0) << "the whole failing row is recorded";
  EXPECT_EQ(query("select FILE_NO, SCN, XID from \"KS.KS_APPLY_CKP\"")[0], "1|120|3");
  // Each buffer grew once, for the first such record, and served the others.
  EXPECT_EQ(count(log_text(), "transaction-file buffer grown to"), 1) << log_text();
  EXPECT_EQ(count(log_text(), "array buffer grown to"), 1);

  // The printers: every column of the row, its values whole.
  auto run = [&](const std::string &tool, const std::string &file) {
    const std::string cmd = std::string(KS_BIN_DIR) + "/" + tool + " -f " + file + " >" + home.file("out.txt") + " 2>" +
                            home.file("err.txt");
    EXPECT_EQ(std::system(cmd.c_str()), 0) << kstest::read_file(home.file("err.txt"));
    return kstest::read_file(home.file("out.txt"));
  };
  const std::string c999 = "Column Name: C999, Type: VARCHAR2, Length: 4000\n  [3150] 999";
  std::string out = run("trailcat", f1);
  EXPECT_EQ(count(out, "Column Name: "), kCols + 1);
  EXPECT_EQ(count(out, c999 + "a" + std::string(3150 - 4, 'a') + "\n"), 1);
  EXPECT_EQ(count(out, "LCR Op: INSERT  Owner: KS, Table: W\n"), 1);
  EXPECT_EQ(count(out, "LCR Op: COMMIT\n"), 1);
  EXPECT_EQ(kstest::read_file(home.file("err.txt")), "input file work completed.\n");
  // Cut inside the record: reported, never read past.
  const std::string cut = home.file("cut");
  kstest::write_file(cut, kstest::read_file(f1).substr(0, 32 + 3 * 1048576));
  EXPECT_NE(
      std::system((std::string(KS_BIN_DIR) + "/trailcat -f " + cut + " >/dev/null 2>" + home.file("err.txt")).c_str()),
      0);
  EXPECT_NE(kstest::read_file(home.file("err.txt"))
                .find("incomplete record in " + cut + " at offset 32: 2097152 of " + std::to_string(ins.size()) +
                      " bytes present."),
            std::string::npos)
      << kstest::read_file(home.file("err.txt"));
  out = run("errcat", home.file("error/U1/AP_error.dat"));
  EXPECT_EQ(count(out, c999 + "c" + std::string(3150 - 4, 'c') + "\n"), 1);
}

// A DDL transaction: the statement as the record's payload.
std::string ddl_txn(const std::string &text, const std::string &name, uint64_t scn, uint32_t flag = 0) {
  std::string rec = tb::lcr(KS_OPC_DDL, "SRC", name, {}, {}, flag) + text + std::string(1, '\0');
  ks::store<uint32_t>(reinterpret_cast<uint8_t *>(rec.data()), static_cast<uint32_t>(rec.size()));
  return tb::trans({rec}, scn, scn, 0x40000000 | KS_TH_DDL);
}

// Schema changes of a mapped source schema replayed with the rows around them: the table
// is created and grows a column in the mapped schema, rows after the change carry it, a
// DDL the target refuses is recorded with its text and the replay goes on, a trigger
// created with its DDL is disabled, and a sequence behind its source is caught up.
TEST_F(ApplyDb, DdlAndSequencesOfAMappedSchemaFollowTheSource) {
  ks_ap_item_t map{};
  map.flag = 1;
  std::snprintf(map.schema, 32, "SRC");
  std::snprintf(map.table, 32, "*");
  std::snprintf(map.map_schema, 32, "KS");
  ASSERT_EQ(ks_ap_cfg_build(&x_cfg, nullptr, 0, nullptr, 0, &map, 1, std::malloc), 0);
  auto seq_lcr = [](long v) {
    std::string rec = tb::lcr(KS_OPC_SYNC_SEQ, "SRC", "SQ", {}) + num(v);
    uint32_t len = static_cast<uint32_t>(rec.size()), n = static_cast<uint32_t>(num(v).size());
    ks::store<uint32_t>(reinterpret_cast<uint8_t *>(rec.data()), len);
    ks::store<uint32_t>(reinterpret_cast<uint8_t *>(rec.data()) + 12, n);
    return rec;
  };
  auto row = [](long id, const char *name, std::optional<long> qty) {
    std::vector<Col> c = {ncol("ID", num(id)), vcol("NAME", std::string(name))};
    if (qty) c.push_back(ncol("QTY", num(*qty)));
    return tb::lcr(1, "SRC", "D", c);
  };
  x_sync_seq = 1;
  std::snprintf(x_curr_schema, sizeof x_curr_schema, "KS");  // the login user
  write_trail(0, {ddl_txn("create table SRC.D (ID number primary key, NAME varchar2(10))", "D", 100),
                  tb::trans({row(1, "before", std::nullopt)}, 101, 1),
                  ddl_txn("alter table \"SRC\".\"D\" add (QTY number default 0 not null, NOTE varchar2(5))", "D", 102),
                  tb::trans({row(2, "after", 7)}, 103, 2), ddl_txn("create table D (X number)", "D", 104),
                  ddl_txn("alter table D modify (NAME varchar2(40)) ", "D", 105),
                  ddl_txn("create or replace trigger D_TRG before insert on D for each row begin :new.QTY := 1; end;",
                          "D_TRG", 106, 0x10),
                  ddl_txn("create sequence SQ increment by 10 start with 900", "SQ", 107),
                  tb::trans({seq_lcr(1000), seq_lcr(990)}, 108, 3)});
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(drive(), 2) << log_text();  // at the end of the file, waiting for the next
  x_sync_seq = 0;
  ks_ap_cfg_release(&x_cfg, std::free);
  EXPECT_EQ(query("select COLUMN_ID, COLUMN_NAME, DATA_TYPE, DATA_LENGTH, NULLABLE from \"KS$COLUMNS\" where OWNER = "
                  "'KS' and TABLE_NAME = 'D' order by COLUMN_ID"),
            (std::vector<std::string>{"1|ID|NUMBER|22|N", "2|NAME|VARCHAR2|40|Y", "3|QTY|NUMBER|22|N",
                                      "4|NOTE|VARCHAR2|5|Y"}));
  EXPECT_EQ(query("select ID, NAME, QTY from \"KS.D\" order by ID"),
            (std::vector<std::string>{"1|before|0", "2|after|7"}));
  // The refused CREATE is in the error file with its text; everything after it ran.
  auto errs = errors();
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].ecode, 955u);
  EXPECT_NE(errs[0].msg.find("DDL: create table D (X number)"), std::string::npos) << errs[0].msg;
  EXPECT_EQ(errs[0].opc, static_cast<uint32_t>(KS_OPC_DDL));
  // NEXTVAL ran from 900 up to 1000; the lower value that followed changed nothing.
  EXPECT_EQ(query("select s.HIGHWATER, s.INCREMENT$ from \"SYS.SEQ$\" s join \"SYS.OBJ$\" o on o.\"OBJ#\" = "
                  "s.\"OBJ#\" where o.NAME = 'SQ'"),
            (std::vector<std::string>{"1010|10"}));
  EXPECT_EQ(query("select OWNER, TRIGGER_NAME, TABLE_NAME, STATUS from \"KS$TRIGGERS\""),
            (std::vector<std::string>{"KS|D_TRG|D|DISABLED"}));
  EXPECT_EQ(query("select SCN from \"KS.KS_APPLY_CKP\"")[0], "108");
  char schema[32];
  ASSERT_EQ(ks_oci_get_current_schema(x_ado.se, schema), 0);
  EXPECT_STREQ(schema, "KS");
}

// A target out of space when the DDL runs: the DDL is not taken for refused (nothing in
// the error file) but run again when the replay resumes.
TEST_F(ApplyDb, DdlMeetingAFullTargetRunsAgainOnceThereIsSpace) {
  std::snprintf(x_curr_schema, sizeof x_curr_schema, "KS");
  write_trail(0, {ddl_txn("create table SRC.D (ID number)", "D", 100)});
  // The first execution is the checkpoint update of the commit before the DDL.
  target_sql(
      "create table \"KS$FAULTS\" (KIND TEXT, ARG INTEGER, ERR INTEGER);"
      "insert into \"KS$FAULTS\" values ('fail_exec', 2, 1653)");
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(drive(), KS_REPLAY_RETRY);
  EXPECT_EQ(query("select count(*) from sqlite_master where name = 'SRC.D'")[0], "0");
  ASSERT_EQ(ks_replay_restart(&x_app), 0);
  EXPECT_EQ(drive(), 2);
  EXPECT_EQ(query("select count(*) from sqlite_master where name = 'SRC.D'")[0], "1");
  EXPECT_TRUE(errors().empty());
  EXPECT_EQ(query("select SCN from \"KS.KS_APPLY_CKP\"")[0], "100");
}

namespace {

// UTF-16BE of ASCII text and of a few two-byte characters.
std::string u16(const std::string &ascii) {
  std::string r;
  for (char ch : ascii) r += std::string(1, '\0') + ch;
  return r;
}

}  // namespace

// LOBs and LONGs of a source whose CLOBs travel as UTF-16: a CLOB written in three
// pieces and closed, an NCLOB of two-byte characters, a BLOB trimmed to nothing then
// written past its end and erased, a LONG in four pieces; a write without a select and a
// select that finds no row are recorded, and the replay goes on with the next changes.
TEST_F(ApplyDb, LobAndLongChangesReplayOntoTheRowsTheySelect) {
  x_lob_csid = 2000;
  ddl("create table KS.D (ID number primary key, C clob, N nclob, B blob)");
  ddl("create table KS.G (ID number primary key, V long)");
  const Col id1 = ncol("ID", num(1));
  auto lob_col = [](const char *name, uint32_t ctyp, uint32_t flag = 0) {
    return Col{name, ctyp, 4000, std::string(), KS_CH_EMPTY_LOB | flag};
  };
  auto select = [&](const char *name, uint32_t ctyp, const Col &key, uint32_t flag = 0) {
    return tb::lcr(KS_OPC_LOB_SELECT, "KS", "D", {{name, ctyp, 4000, std::nullopt, flag}}, {key}, KS_RH_LOB102);
  };
  auto write = [](uint32_t amount, uint64_t offset, const std::string &data, uint32_t flag = 0) {
    return tb::raw_lcr(KS_OPC_LOB_WRITE, "KS", "D", tb::amount_offset(amount, offset, data), flag);
  };
  std::string trim_body;
  tb::put64(trim_body, 0);
  const std::string nclob = std::string("\0h\0\xE9\0l\0l\0o\x20\xAC", 12);  // "héllo€"
  std::vector<std::string> t1 = {
      tb::lcr(1, "KS", "D",
              {id1, lob_col("C", KS_TYP_CLOB), lob_col("N", KS_TYP_CLOB, KS_CH_NATIONAL), lob_col("B", KS_TYP_BLOB)}),
      select("C", KS_TYP_CLOB, id1),
      write(4000, 1, u16(std::string(4000, 'a'))),
      write(4000, 4001, u16(std::string(4000, 'b'))),
      write(4000, 8001, u16(std::string(4000, 'c')), KS_RH_LOB_LAST),
      select("N", KS_TYP_CLOB, id1, KS_CH_NATIONAL),
      write(6, 1, nclob, KS_RH_LOB_LAST),
      select("B", KS_TYP_BLOB, id1),
      write(4, 1, "\x01\x02\x03\x04"),
      tb::raw_lcr(KS_OPC_LOB_TRIM, "KS", "D", trim_body),
      write(3, 3, "xyz"),
      tb::raw_lcr(KS_OPC_LOB_ERASE, "KS", "D", tb::amount_offset(9, 4)),
      tb::lcr(1, "KS", "G", {id1, {"V", KS_TYP_LONG, 0, std::string(), KS_CH_DYNAMIC}}),
      tb::long_piece("KS", "G", std::string(3000, 'x')),
      tb::long_piece("KS", "G", std::string(3000, 'y')),
      tb::long_piece("KS", "G", "end"),
      tb::long_piece("KS", "G", "", KS_RH_LONG_END),
  };
  const std::string orphan = write(2, 1, u16("zz"));
  const std::string missing = select("C", KS_TYP_CLOB, ncol("ID", num(99)));
  write_trail(0, {tb::trans(t1, 100, 1), tb::trans({orphan, row_insert("T", 2, "after")}, 101, 2),
                  tb::trans({missing, write(2, 1, u16("zz")), row_insert("T", 3, "goes on")}, 102, 3),
                  tb::trans({select("C", KS_TYP_CLOB, id1), write(2, 1, u16("zz"), KS_RH_LOB_LAST)}, 103, 4)});
  ASSERT_EQ(start(), 0);
  drive();
  EXPECT_EQ(x_unit_fault, 0) << x_unit_why;
  EXPECT_EQ(query("select length(C), substr(C, 1, 3), substr(C, 3999, 3), substr(C, 8000, 2), substr(C, 12000), N, "
                  "hex(B) from \"KS.D\""),
            (std::vector<std::string>{"12000|zza|aab|bc|c|h\xC3\xA9llo\xE2\x82\xAC|0000780000"}));
  EXPECT_EQ(query("select length(V), substr(V, 3000, 2), substr(V, 6001) from \"KS.G\""),
            (std::vector<std::string>{"6003|xy|end"}));
  EXPECT_EQ(query("select ID from \"KS.T\" order by ID"), (std::vector<std::string>{"2", "3"}));
  auto errs = errors();
  ASSERT_EQ(errs.size(), 2u);
  EXPECT_EQ(errs[0].msg, "LOB write without a LOB selected before it in its transaction; not applied.");
  EXPECT_EQ(errs[0].opc, uint32_t{KS_OPC_LOB_WRITE});
  EXPECT_EQ(errs[1].msg, "no lob locator selected.");
  EXPECT_EQ(errs[1].opc, uint32_t{KS_OPC_LOB_SELECT});
  EXPECT_EQ(count(log_text(), "1 LOB operations of a LOB that could not be selected were not applied"), 1);

  const std::string cmd = std::string(KS_BIN_DIR) + "/errcat -f " + home.file("error/U1/AP_error.dat") + " >" +
                          home.file("out.txt") + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << kstest::read_file(home.file("out.txt"));
  std::string out = kstest::read_file(home.file("out.txt"));
  EXPECT_EQ(count(out, "LOB WRITE"), 1) << out;
  EXPECT_EQ(count(out, "Amount: 2, Offset: 1\n"), 1) << out;
}
