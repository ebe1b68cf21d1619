// The simulated source database: determinism, the workloads, the redo they leave,
// canonical print, diff against a target reached through the database layer, and the
// orasim command line. (The catalogue as extract reads it: catalog_oci_test.cpp.)
#include "sim/source/sim_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lib/fmt/redo_format.h"
#include "sim/source/ora_value.h"
#include "sim/source/sim_print.h"
#include "sim/source/workload.h"
#include "tests/testutil.h"

using namespace ks::sim;

namespace {

// Rows of a query of the file itself (SQLite text), columns separated by '|'.
std::vector<std::string> query(sqlite3 *db, const std::string &sql, std::vector<std::string> binds = {}) {
  sqlite3_stmt *s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db) << "\n" << sql;
  std::vector<std::string> rows;
  if (!s) return rows;
  for (size_t i = 0; i < binds.size(); i++) sqlite3_bind_text(s, int(i) + 1, binds[i].c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(s) == SQLITE_ROW) {
    std::string r;
    for (int c = 0; c < sqlite3_column_count(s); c++) {
      const unsigned char *t = sqlite3_column_text(s, c);
      r += (c ? "|" : "") + std::string(t ? reinterpret_cast<const char *>(t) : "NULL");
    }
    rows.push_back(r);
  }
  sqlite3_finalize(s);
  return rows;
}

ks_db_cfg_t small_cfg(const std::string &dir) {
  ks_db_cfg_t c;
  c.dir = dir;
  c.name = "SRC";
  c.redo.log_blocks = 256;
  c.redo.sync = false;
  c.groups = 3;
  return c;
}

std::string run_cmd(const std::string &cmd, int *status) { return kstest::sh(cmd + " 2>&1", status); }

}  // namespace

TEST(OraValue, NumbersDatesAndNationalText) {
  struct {
    const char *text, *hex;
  } nums[] = {{"0", "80"},           {"1", "c102"},
              {"21", "c116"},        {"100", "c202"},
              {"-1", "3e6466"},      {"12.5", "c10d33"},
              {"0.001", "bf0b"},     {"0.1", "c00b"},
              {"-12.5", "3e593366"}, {"123456789012345678", "c90d23394f5b0d23394f"}};
  for (auto &n : nums) {
    std::string b, t;
    ASSERT_EQ(ks_num_from_text(n.text, &b), 0) << n.text;
    EXPECT_EQ(ks_hex(b), n.hex) << n.text;
    ASSERT_EQ(ks_num_to_text(b, &t), 0);
    EXPECT_EQ(t, n.text);
  }
  std::string b, t;
  ASSERT_EQ(ks_num_from_text("1e5", &b), 0);
  ASSERT_EQ(ks_num_to_text(b, &t), 0);
  EXPECT_EQ(t, "100000");
  ks_num_from_scaled(-1234, 1, &b);  // -12.34 without going through text
  ASSERT_EQ(ks_num_to_text(b, &t), 0);
  EXPECT_EQ(t, "-12.34");
  ks_num_from_scaled(500, 1, &b);
  ASSERT_EQ(ks_num_to_text(b, &t), 0);
  EXPECT_EQ(t, "5");
  EXPECT_EQ(ks_num_from_text("", &b), -1);
  EXPECT_EQ(ks_num_from_text("12x", &b), -1);
  EXPECT_EQ(ks_num_to_text("", &t), -1);
  ASSERT_EQ(ks_date_from_text("2024-01-15 10:30:00", &b, false), 0);
  EXPECT_EQ(ks_hex(b), "787c010f0b1f01");
  ASSERT_EQ(ks_date_from_text("2026-12-08 02:22:48.000000123", &b, true), 0);
  EXPECT_EQ(b.size(), 11u);
  ASSERT_EQ(ks_date_to_text(b, &t), 0);
  EXPECT_EQ(t, "2026-12-08 02:22:48.000000123");
  EXPECT_EQ(ks_date_from_text("2026-13-01 00:00:00", &b, false), -1);
  EXPECT_EQ(ks_date_from_text("2026-01-01 00:00:00.5", &b, false), -1);
  ASSERT_EQ(ks_utf8_to_utf16be("Zoë", &b), 0);
  EXPECT_EQ(ks_hex(b), "005a006f00eb");
  ASSERT_EQ(ks_utf16be_to_utf8(b, &t), 0);
  EXPECT_EQ(t, "Zoë");
  EXPECT_EQ(ks_utf8_to_utf16be("\xff", &b), -1);
}

TEST(SimDb, SameSeedSameRedoAndStateSurvivesReopen) {
  kstest::TempHome home;
  std::string logs[2];
  for (int k = 0; k < 2; k++) {
    std::string dir = home.path() + "db" + std::to_string(k);
    ks_db_cfg_t cfg = small_cfg(dir);
    cfg.redo.big = true;
    cfg.redo.vsn = ks::redo::KS_REDO_VSN11;
    {
      ks_sim_db db;
      ASSERT_EQ(db.create(cfg), 0);
      ks_oltp_cfg_t o;
      o.txns = 200;
      o.seed = 42;
      ASSERT_EQ(ks_oltp_run(db, o), 0);
      ASSERT_EQ(db.close(), 0);
    }
    {
      // A second run continues the same log where the first left it.
      ks_sim_db db;
      ASSERT_EQ(db.open(dir, "SRC"), 0);
      ks_oltp_cfg_t o;
      o.txns = 100;
      o.seed = 43;
      ASSERT_EQ(ks_oltp_run(db, o), 0);
      ASSERT_EQ(db.close(), 0);
    }
    for (int g = 1; g <= 3; g++)
      logs[k] += kstest::read_file(dir + "/SRC/onlinelog/redo0" + std::to_string(g) + ".log");
  }
  EXPECT_EQ(logs[0].size(), size_t(3 * 257 * 512));
  EXPECT_TRUE(logs[0] == logs[1]);
  int sa = -1, sb = -1;
  std::string a = run_cmd(std::string(KS_BIN_DIR) + "/orasim print -d " + home.path() + "db0 -n SRC", &sa);
  std::string b = run_cmd(std::string(KS_BIN_DIR) + "/orasim print -d " + home.path() + "db1 -n SRC", &sb);
  EXPECT_EQ(sa, 0);
  EXPECT_EQ(sb, 0);
  EXPECT_EQ(a, b);
  EXPECT_NE(a.find("TABLE OLTP.CUSTOMERS"), std::string::npos);
}

TEST(SimDb, ScriptChangesRowsRedoAndExpectedChanges) {
  kstest::TempHome home;
  ks_db_cfg_t cfg = small_cfg(home.path() + "db");
  cfg.suplog = kSupPk;
  ks_sim_db db;
  ASSERT_EQ(db.create(cfg), 0);
  std::string expect_path = home.path() + "expect.jsonl";
  FILE *ef = fopen(expect_path.c_str(), "w");
  db.set_expect_file(ef);
  const char *script =
      "create user APP;\n"
      "create table APP.EMP (ID number primary key, NAME varchar2(40), HIRED date, NICK nvarchar2(10), CODE char(3), "
      "TAG raw(4));\n"
      "insert into APP.EMP values (1, 'ALICE', DATE '2024-01-15 10:30:00', 'Zoë', 'AB', HEXTORAW('0a0b'));\n"
      "insert into APP.EMP (ID, NAME) values (2, 'BOB');\n"
      "commit;\n"
      "update APP.EMP set NAME = 'ROBERT', HIRED = NULL where ID = 2;\n"
      "savepoint s1;\n"
      "delete from APP.EMP where ID = 1;\n"
      "rollback to savepoint s1;\n"
      "insert into APP.EMP (ID, NAME) values (3, 'it''s');\n"
      "commit;\n"
      "insert into APP.EMP (ID) values (4);\n"
      "rollback;\n";
  ASSERT_EQ(ks_script_run(db, script), 0);
  ks_table_t *t = db.table("APP", "EMP");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->live.size(), 3u);
  EXPECT_EQ(ks_script_run(db, "insert into APP.NOPE values (1);"), -1);
  EXPECT_EQ(ks_script_run(db, "insert into APP.EMP (ID, NAME) values (NULL, 'x');"), -1);
  EXPECT_EQ(ks_script_run(db, "rollback to savepoint nowhere;"), -1);
  ASSERT_EQ(db.close(), 0);
  fclose(ef);
  std::string e = kstest::read_file(expect_path);
  // Two committed transactions with changes: the rolled-back delete and the rolled-back
  // transaction are not expected.
  EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 2);
  EXPECT_EQ(e.find("DELETE"), std::string::npos);
  EXPECT_NE(
      e.find("{\"op\": \"UPDATE\", \"owner\": \"APP\", \"table\": \"EMP\", \"new\": [[\"NAME\", \"524f42455254\"], "
             "[\"HIRED\", null]], \"old\": [[\"ID\", \"c103\"], [\"NAME\", \"424f42\"], [\"HIRED\", null]]}"),
      std::string::npos)
      << e;
  EXPECT_NE(e.find("[\"NICK\", \"005a006f00eb\"], [\"CODE\", \"414220\"], [\"TAG\", \"0a0b\"]"), std::string::npos)
      << e;
  int st = 0;
  std::string out = run_cmd(std::string(KS_BIN_DIR) + "/orasim print -d " + home.path() + "db -n SRC APP.EMP", &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(out,
            "TABLE APP.EMP (3 rows)\n(ID NUMBER, NAME VARCHAR2, HIRED DATE, NICK NVARCHAR2, CODE CHAR, TAG RAW)\n"
            "(1, 'ALICE', 2024-01-15 10:30:00, 'Zoë', 'AB ', X'0a0b')\n"
            "(2, 'ROBERT', NULL, NULL, NULL, NULL)\n"
            "(3, 'it''s', NULL, NULL, NULL, NULL)\n");
}

TEST(SimDb, DiffFindsMissingExtraAndChangedRows) {
  kstest::TempHome home;
  ks_sim_db db;
  ASSERT_EQ(db.create(small_cfg(home.path() + "db")), 0);
  ASSERT_EQ(ks_script_run(db,
                          "create user APP; create table APP.T (ID number primary key, V varchar2(10), D timestamp);"
                          "insert into APP.T values (1, 'a', TIMESTAMP '2026-01-02 03:04:05.5');"
                          "insert into APP.T values (2, 'b', NULL); commit;"),
            0);
  ASSERT_EQ(db.close(), 0);
  std::string src = home.path() + "db/SRC.db", dst = home.path() + "target.db";
  // A target written the way another program would: numbers as text, fractions trimmed.
  sqlite3 *t = nullptr;
  ASSERT_EQ(sqlite3_open(dst.c_str(), &t), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(t,
                         "CREATE TABLE \"APP.T\" (\"ID\", \"V\", \"D\");"
                         "INSERT INTO \"APP.T\" VALUES ('2', 'b', NULL), (1.0, 'a', '2026-01-02 03:04:05.500000000');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  std::string bin = std::string(KS_BIN_DIR) + "/orasim diff " + src + " " + dst;
  int st = -1;
  std::string out = run_cmd(bin, &st);
  EXPECT_EQ(st, 0) << out;
  // The same target named by a connect string, with a login.
  out = run_cmd(std::string(KS_BIN_DIR) + "/orasim diff " + src + " sim:" + dst + " -u app/secret", &st);
  EXPECT_EQ(st, 0) << out;
  ASSERT_EQ(sqlite3_exec(
                t, "UPDATE \"APP.T\" SET \"V\" = 'c' WHERE \"V\" = 'b'; INSERT INTO \"APP.T\" VALUES (9, 'z', NULL);",
                nullptr, nullptr, nullptr),
            SQLITE_OK);
  out = run_cmd(bin, &st);
  EXPECT_EQ(st, 1);
  EXPECT_NE(out.find("APP.T: 2 source rows, 3 target rows, 1 only in source, 2 only in target"), std::string::npos)
      << out;
  EXPECT_NE(out.find("  - (2, 'b', NULL)"), std::string::npos) << out;
  EXPECT_NE(out.find("  + (9, 'z', NULL)"), std::string::npos) << out;
  ASSERT_EQ(sqlite3_exec(t, "DROP TABLE \"APP.T\";", nullptr, nullptr, nullptr), SQLITE_OK);
  out = run_cmd(bin, &st);
  EXPECT_EQ(st, 1);
  EXPECT_NE(out.find("APP.T: table missing in target"), std::string::npos);
  sqlite3_close(t);
  out = run_cmd(std::string(KS_BIN_DIR) + "/orasim diff " + src + " " + home.path() + "nothing.db", &st);
  EXPECT_EQ(st, 2);
}

TEST(SimDb, CommandLineRunsTenThousandTransactionsWithLogSwitches) {
  kstest::TempHome home;
  std::string bin = std::string(KS_BIN_DIR) + "/orasim", dir = home.path() + "src";
  int st = -1;
  std::string out =
      run_cmd(bin + " create -d " + dir + " -n DEMO --log-size 1M --groups 3 --version 19 --big-endian --nosync", &st);
  ASSERT_EQ(st, 0) << out;
  out = run_cmd(bin + " create -d " + dir + " -n DEMO", &st);
  EXPECT_EQ(st, 2) << "an existing database is never overwritten";
  out = run_cmd(bin + " run -d " + dir + " -n DEMO --txns 10000 --seed 7 --concurrency 6 --nosync", &st);
  ASSERT_EQ(st, 0) << out;
  unsigned long long commits = 0, rollbacks = 0, bytes = 0, switches = 0;
  ASSERT_EQ(sscanf(out.c_str(), "%llu commits, %llu rollbacks, %llu redo bytes, %llu log switches", &commits,
                   &rollbacks, &bytes, &switches),
            4)
      << out;
  // Transactions that changed nothing leave no redo and are not counted; 5 more load the
  // first customers.
  EXPECT_LE(commits + rollbacks, 10000u + 5u);
  EXPECT_GE(commits + rollbacks, 9900u);
  EXPECT_GE(switches, 5u);
  std::string e = kstest::read_file(dir + "/DEMO/expected.jsonl");
  EXPECT_EQ(size_t(std::count(e.begin(), e.end(), '\n')), size_t(commits));
  out = run_cmd(bin + " print -d " + dir + " -n DEMO OLTP.ORDERS", &st);
  EXPECT_EQ(st, 0);
  EXPECT_NE(out.find("TABLE OLTP.ORDERS ("), std::string::npos);
  out = run_cmd(bin + " diff " + dir + "/DEMO.db " + dir + "/DEMO.db", &st);
  EXPECT_EQ(st, 0) << out;
  // Every archived log walks cleanly and records of each kind are there.
  sqlite3 *db = ks_sim_open_ro(dir + "/DEMO.db");
  ASSERT_NE(db, nullptr);
  auto arch = query(db, "select NAME from \"V$ARCHIVED_LOG\" order by \"SEQUENCE#\"");
  EXPECT_EQ(arch.size(), switches);
  sqlite3_close(db);
  std::map<uint16_t, int> ops;
  std::map<int, int> vlds;
  for (const auto &p : arch) {
    std::string f = kstest::read_file(p);
    const auto *d = reinterpret_cast<const uint8_t *>(f.data());
    ASSERT_EQ(ks::load32(d + ks::redo::KS_REDO_FH0_MAGIC, false), ks::redo::KS_REDO_MAGIC_BIG_HOST);
    uint32_t nab = ks::load32(d + 512 + ks::redo::KS_REDO_FH1_NEXT_BLOCK, true);
    ASSERT_EQ(f.size(), size_t(nab) * 512);
    // Reassemble records block by block and walk their vectors.
    uint32_t b = 2, off = 0;
    std::string rec;
    while (b < nab) {
      const uint8_t *blk = d + size_t(b) * 512;
      if (off == 0) off = ks::load16(blk + 12, true) & 0x7FFF;
      if (off == 0 || 512 - off < 24) {
        b++;
        off = 0;
        continue;
      }
      uint32_t len = ks::load32(blk + off, true);
      if (len == 0) {
        b++;
        off = 0;
        continue;
      }
      rec.assign(reinterpret_cast<const char *>(blk + off), std::min<uint32_t>(len, 512 - off));
      uint32_t o = off + uint32_t(rec.size());
      while (rec.size() < len) {
        b++;
        ASSERT_LT(b, nab);
        uint32_t n = std::min<uint32_t>(len - uint32_t(rec.size()), 496);
        rec.append(reinterpret_cast<const char *>(d + size_t(b) * 512 + 16), n);
        o = 16 + n;
      }
      const auto *r = reinterpret_cast<const uint8_t *>(rec.data());
      uint8_t vld = r[4];
      vlds[vld]++;
      uint32_t p2 = uint32_t(ks::redo::record_header_size(vld));
      while (p2 < len) {
        ops[ks::redo::op(r[p2], r[p2 + 1])]++;
        p2 += ks::redo::vector_size(r + p2, 32, true);
      }
      ASSERT_EQ(p2, len) << "vectors fill the record exactly";
      off = o;
      if (off == 512) b++, off = 0;
    }
  }
  for (uint16_t want :
       {ks::redo::op(5, 1), ks::redo::op(5, 2), ks::redo::op(5, 4), ks::redo::op(5, 6), ks::redo::op(5, 11),
        ks::redo::op(11, 2), ks::redo::op(11, 3), ks::redo::op(11, 5), ks::redo::op(11, 11), ks::redo::op(11, 4),
        ks::redo::op(4, 1), ks::redo::op(13, 22), ks::redo::op(22, 5)})
    EXPECT_GT(ops[want], 0) << "op " << (want >> 8) << "." << (want & 0xFF);
  for (int v : {1, 2, 5}) EXPECT_GT(vlds[v], 0) << "vld " << v;
}
