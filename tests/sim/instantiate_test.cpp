// Instantiation of a target from the simulated source, and the table selection and name
// mapping it shares with diff: the copied rows must be stored the way apply stores them
// (else later updates by key miss), nothing may be doubled or half copied, and diff must
// compare a mapped table with its mapped name.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "oci/oci.h"
#include "sim/source/sim_db.h"
#include "sim/source/sim_instantiate.h"
#include "sim/source/sim_print.h"
#include "sim/source/workload.h"
#include "tests/testutil.h"

using namespace ks::sim;

namespace {

std::string run_cmd(const std::string &cmd, int *status) { return kstest::sh(cmd + " 2>&1", status); }

std::string one(sqlite3 *db, const std::string &sql) {
  sqlite3_stmt *s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db) << "\n" << sql;
  std::string r;
  if (s && sqlite3_step(s) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(s); c++) {
      const unsigned char *t = sqlite3_column_text(s, c);
      r += (c ? "|" : "") + std::string(t ? reinterpret_cast<const char *>(t) : "NULL");
    }
  }
  sqlite3_finalize(s);
  return r;
}

// Two schemas with every column type the model has, NULLs, decimals, a composite key and
// a table without a key.
const char kScript[] =
    "create user APP; create user HR;"
    "create table APP.T (ID number(10) primary key, AMOUNT number(12,2), NAME varchar2(30), NICK nvarchar2(10),"
    "  CODE char(3), BORN date, SEEN timestamp, TOKEN raw(8));"
    "create table APP.LOG (MSG varchar2(40));"
    "create table HR.EMP (DEPT number, NO number, NAME varchar2(20) not null, primary key (DEPT, NO));"
    "insert into APP.T values (1, 12.5, 'Zoë', 'Zoë', 'AB', DATE '2026-01-02 03:04:05', "
    "  TIMESTAMP '2026-01-02 03:04:05.25', HEXTORAW('00ff10'));"
    "insert into APP.T values (2, -0.01, NULL, NULL, NULL, NULL, NULL, NULL);"
    "insert into APP.T values (12345678, 1234567890.99, 'x', 'y', 'z', NULL, NULL, NULL);"
    "insert into APP.LOG values ('hello');"
    "insert into HR.EMP values (1, 1, 'Ann'); insert into HR.EMP values (1, 2, 'Bob'); commit;";

class Instantiate : public ::testing::Test {
 protected:
  kstest::TempHome home;
  std::string src_path, dst_path;
  sqlite3 *src = nullptr;
  ks_oci_ses_t ses{};

  void SetUp() override {
    setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
    unsetenv("ORASIM_FAULTS");
    ks_db_cfg_t cfg;
    cfg.dir = home.path() + "db";
    cfg.name = "SRC";
    cfg.redo.log_blocks = 256;
    cfg.redo.sync = false;
    ks_sim_db db;
    ASSERT_EQ(db.create(cfg), 0);
    ASSERT_EQ(ks_script_run(db, kScript), 0);
    ASSERT_EQ(db.close(), 0);
    src_path = cfg.dir + "/SRC.db";
    dst_path = home.path() + "TGT.db";
    kstest::write_file(dst_path, "");  // an empty file is an empty target database
    src = ks_sim_open_ro(src_path);
    ASSERT_NE(src, nullptr);
    ASSERT_EQ(ks_oci_connect(&ses, "ks", "ks", ("sim:" + dst_path).c_str(), 1), 0) << ks_oci_get_message();
  }
  void TearDown() override {
    ks_oci_disconnect(&ses);
    sqlite3_close(src);
  }
  std::vector<ks_sim_map_t> maps(const std::vector<std::string> &texts) {
    std::vector<ks_sim_map_t> m(texts.size());
    for (size_t i = 0; i < texts.size(); i++) EXPECT_EQ(ks_sim_map_parse(texts[i], &m[i]), 0) << texts[i];
    return m;
  }
  std::string orasim(const std::string &args, int *st) {
    return run_cmd(std::string(KS_BIN_DIR) + "/orasim " + args, st);
  }
};

TEST_F(Instantiate, CopiedRowsAreStoredAsApplyStoresThemAndDiffMatchesUnderTheMapping) {
  std::vector<std::string> tables;
  ASSERT_EQ(ks_sim_select_tables(src, {"app.*", "HR.EMP"}, {"APP.LOG"}, &tables), 0);
  ASSERT_EQ(tables, (std::vector<std::string>{"APP.T", "HR.EMP"}));
  auto m = maps({"HR=HR2", "APP.T=COPY.T2"});
  char *buf = nullptr;
  size_t len = 0;
  FILE *out = open_memstream(&buf, &len);
  ASSERT_EQ(ks_sim_instantiate(src, &ses, tables, m, out), 0) << ks_log_get_message();
  fclose(out);
  std::string text(buf, len);
  free(buf);
  EXPECT_NE(text.find("APP.T -> COPY.T2: created, 3 rows copied"), std::string::npos) << text;
  EXPECT_NE(text.find("HR.EMP -> HR2.EMP: created, 2 rows copied"), std::string::npos) << text;

  EXPECT_EQ(ks_sim_diff(src, &ses, tables, stderr, m), 0);
  // Without the mapping the tables are not there under their source names.
  EXPECT_EQ(ks_sim_diff(src, &ses, tables, stdout), 1);

  sqlite3 *t = nullptr;
  ASSERT_EQ(sqlite3_open(dst_path.c_str(), &t), SQLITE_OK);
  // Apply binds NUMBER in Oracle's form; the stand-in keeps integral values as integers
  // and short fractions as doubles. Text '1' would never equal a bound 1 in a WHERE.
  EXPECT_EQ(one(t,
                "SELECT typeof(\"ID\"), typeof(\"AMOUNT\"), \"NICK\", \"CODE\", \"BORN\", hex(\"TOKEN\") "
                "FROM \"COPY.T2\" WHERE \"ID\" = 1"),
            "integer|real|Zoë|AB |2026-01-02 03:04:05|00FF10");
  EXPECT_EQ(one(t, "SELECT count(*) FROM \"COPY.T2\" WHERE \"NAME\" IS NULL AND \"TOKEN\" IS NULL"), "1");
  // The target's own catalogue describes the new tables, and the keys came along.
  EXPECT_EQ(one(t,
                "SELECT group_concat(\"COLUMN_NAME\" || ':' || \"DATA_TYPE\" || ':' || \"NULLABLE\", ',') "
                "FROM \"KS$COLUMNS\" WHERE \"OWNER\" = 'HR2' AND \"TABLE_NAME\" = 'EMP'"),
            "DEPT:NUMBER:N,NO:NUMBER:N,NAME:VARCHAR2:N");
  EXPECT_NE(one(t, "SELECT sql FROM sqlite_master WHERE name = 'HR2.EMP'").find("PRIMARY KEY (\"DEPT\", \"NO\")"),
            std::string::npos);
  EXPECT_NE(sqlite3_exec(t, "INSERT INTO \"HR2.EMP\" VALUES (1, 2, 'again')", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(t);

  // A second run finds the tables there and refuses before copying anything again.
  ASSERT_EQ(ks_sim_instantiate(src, &ses, {"HR.EMP"}, m, stdout), -1);
  EXPECT_NE(std::string(ks_log_get_message()).find("HR2.EMP already exists"), std::string::npos);
  EXPECT_EQ(ks_sim_diff(src, &ses, tables, stderr, m), 0);
}

TEST_F(Instantiate, BadNamesAndCollisionsAreRefusedBeforeAnythingIsCreated) {
  ks_sim_map_t m;
  EXPECT_EQ(ks_sim_map_parse("HR", &m), -1);
  EXPECT_EQ(ks_sim_map_parse("HR.EMP=HR2", &m), -1);    // a table onto a schema
  EXPECT_EQ(ks_sim_map_parse("HR.*=HR2.EMP", &m), -1);  // a schema onto a table
  EXPECT_EQ(ks_sim_map_parse("HR=A=B", &m), -1);
  EXPECT_EQ(ks_sim_map_parse("*=X", &m), -1);
  ASSERT_EQ(ks_sim_map_parse("hr.*=hr2.*", &m), 0);
  EXPECT_EQ(m.owner + "|" + m.table + "|" + m.map_owner + "|" + m.map_table, "HR||HR2|");
  // A table's own mapping wins over its schema's.
  auto both = maps({"APP=X", "APP.T=Y.Z"});
  EXPECT_EQ(ks_sim_map_name(both, "APP", "T"), (std::pair<std::string, std::string>{"Y", "Z"}));
  EXPECT_EQ(ks_sim_map_name(both, "APP", "LOG"), (std::pair<std::string, std::string>{"X", "LOG"}));
  EXPECT_EQ(ks_sim_map_name(both, "HR", "EMP"), (std::pair<std::string, std::string>{"HR", "EMP"}));

  std::vector<std::string> tables;
  EXPECT_EQ(ks_sim_select_tables(src, {"APP.NOPE"}, {}, &tables), -1);
  EXPECT_EQ(ks_sim_select_tables(src, {"NOBODY.*"}, {}, &tables), -1);
  EXPECT_EQ(ks_sim_select_tables(src, {"APP"}, {}, &tables), -1);
  ASSERT_EQ(ks_sim_select_tables(src, {}, {"APP.*"}, &tables), 0);
  EXPECT_EQ(tables, std::vector<std::string>{"HR.EMP"});

  // Two source tables onto one target table would mix their rows: nothing is created.
  EXPECT_EQ(ks_sim_instantiate(src, &ses, {"APP.T", "APP.LOG"}, maps({"APP.T=X.Y", "APP.LOG=X.Y"}), stdout), -1);
  EXPECT_EQ(ks_sim_diff(src, &ses, {"APP.T"}, stdout, maps({"APP.T=X.Y"})), 1);
  sqlite3 *t = nullptr;
  ASSERT_EQ(sqlite3_open(dst_path.c_str(), &t), SQLITE_OK);
  EXPECT_EQ(one(t, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'X.%'"), "0");
  sqlite3_close(t);
}

TEST_F(Instantiate, CommandLineInstantiatesAndDiffsWithTheSameMappingAndExclusions) {
  int st = -1;
  std::string args = src_path + " " + dst_path + " -u ks/ks --map APP.*=APP_COPY.* --exclude APP.LOG APP.* HR.*";
  std::string out = orasim("instantiate " + args, &st);
  ASSERT_EQ(st, 0) << out;
  EXPECT_NE(out.find("APP.T -> APP_COPY.T: created, 3 rows copied"), std::string::npos) << out;
  EXPECT_NE(out.find("HR.EMP: created, 2 rows copied"), std::string::npos) << out;
  EXPECT_EQ(out.find("LOG"), std::string::npos) << out;
  out = orasim("diff " + args, &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("identical"), std::string::npos) << out;
  out = orasim("diff " + src_path + " " + dst_path + " APP.T", &st);
  EXPECT_EQ(st, 1) << out;
  EXPECT_NE(out.find("APP.T: table missing in target"), std::string::npos) << out;
  out = orasim("diff " + src_path + " " + dst_path + " --map APP.*=APP_COPY.* APP.LOG", &st);
  EXPECT_EQ(st, 1) << out;
  EXPECT_NE(out.find("APP.LOG: table missing in target (as APP_COPY.LOG)"), std::string::npos) << out;
  out = orasim("instantiate " + args, &st);
  EXPECT_EQ(st, 2) << out;
  EXPECT_NE(out.find("already exists on the target"), std::string::npos) << out;
  out = orasim("instantiate " + src_path + " " + dst_path + " --map BAD", &st);
  EXPECT_EQ(st, 2) << out;
}

TEST_F(Instantiate, ATableThatCannotBeFilledCompletelyIsDroppedAgain) {
  sqlite3 *w = nullptr;
  ASSERT_EQ(sqlite3_open((home.path() + "db/SRC.db").c_str(), &w), SQLITE_OK);
  sqlite3_close(src);
  src = nullptr;
  {
    ks_sim_db db;
    ASSERT_EQ(db.open(home.path() + "db", "SRC"), 0);
    std::string script = "create table APP.BIG (ID number primary key, V varchar2(10));";
    for (int i = 1; i <= 700; i++) script += "insert into APP.BIG values (" + std::to_string(i) + ", 'v');";
    ASSERT_EQ(ks_script_run(db, script + "commit;"), 0);
    ASSERT_EQ(db.close(), 0);
  }
  // A value no NUMBER can hold, in a row the copy reaches after its first batch went in.
  ASSERT_EQ(sqlite3_exec(w, "UPDATE \"APP.BIG\" SET \"ID\" = 'x1' WHERE \"ID\" = 650", nullptr, nullptr, nullptr),
            SQLITE_OK);
  src = ks_sim_open_ro(src_path);
  ASSERT_NE(src, nullptr);
  EXPECT_EQ(ks_sim_instantiate(src, &ses, {"APP.BIG"}, {}, stdout), -1);
  EXPECT_NE(std::string(ks_log_get_message()).find("not a valid NUMBER"), std::string::npos) << ks_log_get_message();
  sqlite3 *t = nullptr;
  ASSERT_EQ(sqlite3_open(dst_path.c_str(), &t), SQLITE_OK);
  EXPECT_EQ(one(t, "SELECT count(*) FROM sqlite_master WHERE name = 'APP.BIG'"), "0");
  EXPECT_EQ(one(t, "SELECT count(*) FROM \"KS$COLUMNS\" WHERE \"TABLE_NAME\" = 'BIG'"), "0");
  // Repaired, the same run copies every row once.
  ASSERT_EQ(sqlite3_exec(w, "UPDATE \"APP.BIG\" SET \"ID\" = 650 WHERE \"ID\" = 'x1'", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(ks_sim_instantiate(src, &ses, {"APP.BIG"}, {}, stdout), 0) << ks_log_get_message();
  EXPECT_EQ(one(t, "SELECT count(*), count(DISTINCT \"ID\") FROM \"APP.BIG\""), "700|700");
  sqlite3_close(t);
  sqlite3_close(w);
}

}  // namespace
