// DDL on the simulated source: each statement's dictionary rows as row changes of the
// dictionary tables in the statement's own transaction, the catalogue as the dictionary
// export reads it after each step, and diff finding a target whose definition lags.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extract/dict/exp_dict.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "oci/oci.h"
#include "tests/testutil.h"

namespace {

std::string run_cmd(const std::string &cmd, int *status) { return kstest::sh(cmd + " 2>&1", status); }

struct Source {
  const kstest::TempHome &home;
  std::string bin = KS_BIN_DIR;
  int step = 0;

  void configure() {
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_t cfg;
    ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0) << omsg;
    ks_cfg_funit_t u{};
    strcpy(u.un_name, "U");
    ks_cfg_fcom_t c{};
    strcpy(c.name, "C");
    c.com_typ = KS_CFG_COM_EXTRACT;
    ASSERT_EQ(ks_cfg_add_unit(&cfg, &u, omsg), 0) << omsg;
    ASSERT_EQ(ks_cfg_add_com(&cfg, "U", &c, omsg), 0) << omsg;
    for (const char *s : {"APP", "HR"}) {
      ks_cfg_finc_t i{};
      strcpy(i.schema, s);
      strcpy(i.table, "*");
      i.flag = KS_CFG_SET_ALL;
      ASSERT_EQ(ks_cfg_add_include(&cfg, "U", "C", &i, omsg), 0) << omsg;
    }
    cfg.flag |= KS_CFG_MODIFIED;
    ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0) << omsg;
    mkdir(home.file("dict").c_str(), 0755);
    mkdir(home.file("dict/U").c_str(), 0755);
    setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
  }
  // A new source database, configured for capture.
  void create() {
    int st = -1;
    std::string out = run_cmd(bin + "/orasim create -d " + home.file("sim") + " -n SRC", &st);
    ASSERT_EQ(st, 0) << out;
    configure();
  }
  // Runs a script; the redo it wrote as redocat prints it.
  std::string run(const std::string &script) {
    std::string f = home.file("step" + std::to_string(++step) + ".sql");
    kstest::write_file(f, script);
    int st = -1;
    std::string out = run_cmd(bin + "/orasim run -d " + home.file("sim") + " -n SRC --no-expect --script " + f, &st);
    EXPECT_EQ(st, 0) << out;
    return out;
  }
  // The dictionary exported from the catalogue now, as schemacat prints it.
  std::string dictionary() {
    std::string path = home.file("dict/U/C.dict");
    unlink(path.c_str());
    ks_oci_ses_t se{};
    EXPECT_EQ(ks_oci_connect(&se, "KS", "KS", ("sim:" + home.file("sim/SRC.db")).c_str(), 1), 0)
        << ks_oci_get_message();
    char unit[] = "U", com[] = "C";
    EXPECT_EQ(ks_export_dict(&se, unit, com), 0) << ks_log_get_message();
    ks_oci_disconnect(&se);
    int st = -1;
    std::string out = run_cmd(bin + "/schemacat -f " + path, &st);
    EXPECT_EQ(st, 0) << out;
    return out;
  }
  std::string redo(const std::string &opt) {
    int st = -1;
    std::string out = run_cmd(bin + "/redocat -f " + home.file("sim/SRC/onlinelog/redo01.log") + " -d " +
                                  home.file("dict/U/C.dict") + " " + opt,
                              &st);
    EXPECT_EQ(st, 0) << out;
    return out;
  }
};

// Transactions of redocat's listing: for each, its DDL text ("" for none) and its
// dictionary row changes in order ("INSERT COL$ UPDATE TAB$ ..."), and its whole text.
struct Txn {
  std::string ddl, sys, text;
};
std::vector<Txn> transactions(const std::string &listing) {
  std::vector<Txn> v;
  const std::string sep = "=================================================================\n";
  for (size_t p = listing.find(sep); p != std::string::npos;) {
    size_t e = listing.find(sep, p + sep.size());
    Txn t;
    t.text = listing.substr(p, e == std::string::npos ? std::string::npos : e - p);
    for (size_t l = t.text.find("LCR Op: "); l != std::string::npos; l = t.text.find("LCR Op: ", l + 1)) {
      std::string line = t.text.substr(l + 8, t.text.find('\n', l) - l - 8);
      if (line.compare(0, 3, "DDL") == 0) {
        size_t b = t.text.find('\n', l) + 1;
        t.ddl = t.text.substr(b, t.text.find('\n', b) - b);
      } else if (line.find("Owner: SYS, Table: ") != std::string::npos) {
        t.sys +=
            (t.sys.empty() ? "" : " ") + line.substr(0, line.find(' ')) + " " + line.substr(line.find("Table: ") + 7);
      }
    }
    v.push_back(t);
    p = e;
  }
  return v;
}

// The transaction whose DDL text starts with ddl.
const Txn *ddl_txn(const std::vector<Txn> &v, const std::string &ddl) {
  for (const auto &t : v)
    if (t.ddl.compare(0, ddl.size(), ddl) == 0) return &t;
  return nullptr;
}

std::string table_of(const std::string &dict, const std::string &name) {
  size_t p = dict.find("name: " + name + "\n");
  if (p == std::string::npos) return "";
  p = dict.rfind("##TAB##", p);
  return dict.substr(p, dict.find("\n\n", p) - p);
}

TEST(SimDdl, StatementsWriteTheirDictionaryRowsInTheirTransactionAndTheExportFollows) {
  kstest::TempHome home;
  Source src{home};
  src.create();
  int st = -1;
  std::string out;
  src.run(
      "create user APP; create user HR;"
      "create table APP.T (ID number primary key, NAME varchar2(20));"
      "insert into APP.T values (1, 'a'); commit;"
      "create table HR.E (ID number primary key, V varchar2(10), W number, X number);"
      "create sequence HR.S cache 3;"
      "insert into HR.E values (HR.S.NEXTVAL, 'a', 1, 1); insert into HR.E values (HR.S.NEXTVAL, 'b', 2, 2);"
      "insert into HR.E values (HR.S.NEXTVAL, 'c', 3, 3); insert into HR.E values (HR.S.NEXTVAL, 'd', 4, 4);"
      "commit;");
  std::string d = src.dictionary();
  EXPECT_NE(table_of(d, "APP.T").find("cols: 2"), std::string::npos) << d;
  EXPECT_NE(table_of(d, "HR.E").find("cols: 4"), std::string::npos) << d;
  // A target made now lags behind every later change of definition.
  std::string tgt = home.file("TGT.db");
  kstest::write_file(tgt, "");  // an empty target database
  out = run_cmd(src.bin + "/orasim instantiate " + home.file("sim/SRC.db") + " " + tgt, &st);
  ASSERT_EQ(st, 0) << out;

  src.run(
      "alter table APP.T add (EXTRA number);"
      "insert into APP.T values (2, 'b', 7); commit;"
      "alter table APP.T rename column NAME to TITLE;"
      "alter table APP.T modify (TITLE varchar2(40) not null);"
      "create unique index HR.E_V on HR.E (V);"
      "alter table HR.E drop column W;"
      "alter table HR.E set unused column X;"
      "update HR.E set V = 'z' where ID = 1; commit;");
  d = src.dictionary();
  std::string t = table_of(d, "APP.T"), e = table_of(d, "HR.E");
  EXPECT_NE(t.find("col#:  2, segcol#:  2, type:   1, length:   40, name: TITLE"), std::string::npos) << t;
  EXPECT_NE(t.find("col#:  3, segcol#:  3, type:   2, length:   22, name: EXTRA"), std::string::npos) << t;
  EXPECT_NE(e.find("cols: 3"), std::string::npos) << e;
  EXPECT_NE(e.find("col#:  0, segcol#:  3"), std::string::npos) << e;  // X set unused, still stored
  EXPECT_EQ(e.find("name: W"), std::string::npos) << e;
  // Rows stored before the column was added end before it; rows after it carry it.
  std::vector<Txn> v = transactions(src.redo(""));
  const Txn *before = nullptr, *after = nullptr;
  for (const auto &x : v) {
    if (x.text.find("Owner: APP, Table: T\nNew Image:\nColumn Name: ID, Type: NUMBER, Length: 22\n  [2] 1\n") !=
        std::string::npos)
      before = &x;
    if (x.text.find("Owner: APP, Table: T\nNew Image:\nColumn Name: ID, Type: NUMBER, Length: 22\n  [2] 2\n") !=
        std::string::npos)
      after = &x;
  }
  ASSERT_TRUE(before && after);
  EXPECT_NE(before->text.find("Column Name: EXTRA, Type: NUMBER, Length: 22\n  [0] NULL\n"), std::string::npos)
      << before->text;
  EXPECT_NE(after->text.find("Column Name: EXTRA, Type: NUMBER, Length: 22\n  [2] 7\n"), std::string::npos)
      << after->text;
  // The target lacks the new column and still has the old ones.
  out = run_cmd(src.bin + "/orasim diff " + home.file("sim/SRC.db") + " " + tgt, &st);
  EXPECT_EQ(st, 1) << out;
  for (const char *l : {"APP.T: definitions differ\n", "  - column ('EXTRA', 'NUMBER')\n",
                        "  - column ('TITLE', 'VARCHAR2')\n", "  + column ('NAME', 'VARCHAR2')\n",
                        "HR.E: definitions differ\n", "  + column ('W', 'NUMBER')\n", "  + column ('X', 'NUMBER')\n"})
    EXPECT_NE(out.find(l), std::string::npos) << l << out;
  // Sequences: a target whose sequence has not reached the source's value differs.
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(tgt.c_str(), &db), SQLITE_OK);
  std::string copy = "ATTACH '" + home.file("sim/SRC.db") + "' AS s;";
  for (const char *x : {"SEQ$", "OBJ$", "USER$"})
    copy += std::string("DROP TABLE IF EXISTS \"SYS.") + x + "\"; CREATE TABLE \"SYS." + x +
            "\" AS SELECT * FROM s.\"SYS." + x + "\";";  // the target may have made its own
  EXPECT_EQ(sqlite3_exec(db, (copy + "UPDATE \"SYS.SEQ$\" SET HIGHWATER = 4").c_str(), nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  out = run_cmd(src.bin + "/orasim diff --sequences " + home.file("sim/SRC.db") + " " + tgt + " HR.E", &st);
  EXPECT_EQ(st, 1) << out;
  EXPECT_NE(out.find("HR.S: sequence at 7 in source, 4 in target\n"), std::string::npos) << out;

  src.run(
      "alter table HR.E rename to E2;"
      "truncate table APP.T;"
      "drop index HR.E_V;"
      "alter sequence HR.S increment by 2 cache 10;"
      "insert into HR.E2 (ID, V) values (HR.S.NEXTVAL, 'n'); commit;"
      "drop table APP.T;");
  d = src.dictionary();
  EXPECT_EQ(table_of(d, "APP.T"), "") << d;  // in the recycle bin
  EXPECT_NE(table_of(d, "HR.E2").find("cols: 3"), std::string::npos) << d;
  src.run(
      "purge table APP.T;"
      "drop sequence HR.S;"
      "drop table HR.E2 purge;"
      "create table APP.T (ID number primary key);");
  d = src.dictionary();
  EXPECT_NE(table_of(d, "APP.T").find("cols: 1"), std::string::npos) << d;
  EXPECT_EQ(table_of(d, "HR.E2"), "") << d;

  // Each statement with the dictionary rows a database writes for it, in one transaction.
  v = transactions(src.redo(""));
  const std::pair<const char *, const char *> expect[] = {
      {"create table APP.T (ID number primary key, NAME",
       "INSERT OBJ$ INSERT TAB$ INSERT COL$ INSERT COL$ INSERT OBJ$ INSERT IND$ INSERT CDEF$ INSERT ICOL$ "
       "INSERT CCOL$"},
      {"create sequence HR.S start with 1 cache 3", "INSERT OBJ$ INSERT SEQ$"},
      {"alter table APP.T add (EXTRA number)", "INSERT COL$ UPDATE TAB$ UPDATE OBJ$"},
      {"alter table APP.T rename column NAME to TITLE", "UPDATE COL$ UPDATE OBJ$"},
      {"alter table APP.T modify", "UPDATE COL$ UPDATE OBJ$"},
      {"create unique index HR.E_V", "INSERT OBJ$ INSERT IND$ INSERT ICOL$"},
      {"alter table HR.E drop column W", "DELETE COL$ UPDATE COL$ UPDATE COL$ UPDATE TAB$ UPDATE OBJ$"},
      {"alter table HR.E set unused column X", "UPDATE COL$ UPDATE OBJ$"},
      {"alter table HR.E rename to E2", "UPDATE OBJ$"},
      {"truncate table APP.T", "UPDATE OBJ$"},
      {"drop index HR.E_V", "DELETE ICOL$ DELETE IND$ DELETE OBJ$"},
      {"alter sequence HR.S increment by 2 cache 10", "UPDATE SEQ$"},
      {"drop table APP.T AS \"BIN$", "UPDATE OBJ$ UPDATE OBJ$"},
      {"purge table APP.\"BIN$",
       "DELETE OBJ$ DELETE ICOL$ DELETE IND$ DELETE CCOL$ DELETE CDEF$ DELETE COL$ DELETE COL$ DELETE COL$ "
       "DELETE TAB$ DELETE OBJ$"},
      {"drop sequence HR.S", "DELETE SEQ$ DELETE OBJ$"},
      {"drop table HR.E2 purge",
       "DELETE OBJ$ DELETE ICOL$ DELETE IND$ DELETE CCOL$ DELETE CDEF$ DELETE COL$ DELETE COL$ DELETE COL$ "
       "DELETE TAB$ DELETE OBJ$"},
  };
  for (const auto &[text, sys] : expect) {
    const Txn *x = ddl_txn(v, text);
    ASSERT_TRUE(x) << text;
    EXPECT_EQ(x->sys, sys) << text << "\n" << x->text;
  }
  // Values as the reader takes them: the added column's name and place, the renamed table.
  EXPECT_NE(ddl_txn(v, "alter table APP.T add")
                ->text.find("Column Name: NAME, Type: VARCHAR2, Length: 128\n  [5] "
                            "EXTRA\nColumn Name: TYPE#, Type: NUMBER, Length: 22\n"),
            std::string::npos);
  EXPECT_NE(ddl_txn(v, "alter table HR.E rename")->text.find("[2] E2\n"), std::string::npos);
}

}  // namespace

namespace {

// A table's key index is known again when the database is opened anew, under its old name
// after a rename: inserts of a later run write their index redo as the first run's did.
TEST(SimDdl, AReopenedDatabaseWritesKeyIndexRedoOfTablesMadeBefore) {
  kstest::TempHome home;
  Source src{home};
  src.create();
  int st = -1;
  const auto leaf_inserts = [&] {
    std::string s = run_cmd(src.bin + "/redocat -S -f " + home.file("sim/SRC/onlinelog/redo01.log"), &st);
    size_t p = s.find("  10.2: ");
    return p == std::string::npos ? 0 : std::atoi(s.c_str() + p + 8);
  };
  src.run("create user APP; create table APP.T (ID number primary key, NAME varchar2(20)); commit;");
  src.run("insert into APP.T values (1, 'a'); commit; alter table APP.T rename to U;");
  EXPECT_EQ(leaf_inserts(), 1);
  src.run("insert into APP.U values (2, 'b'); commit;");
  EXPECT_EQ(leaf_inserts(), 2);
}

// LOB and LONG columns as the dictionary export sees them (type, national form and
// SecureFile storage from the catalogue), and their values as extract reads the redo: a
// LOB kept in the row is its data; a LONG over 4000 bytes comes in LONG WRITE pieces.
TEST(SimDdl, LobAndLongColumnsReachTheExportAndTheirValuesTheReader) {
  kstest::TempHome home;
  Source src{home};
  src.create();
  src.run(
      "create user APP;"
      "create table APP.D (ID number primary key, C clob, N nclob securefile, B blob securefile, L long);"
      "create table APP.R (ID number primary key, LR long raw);"
      "insert into APP.D values (1, 'in the row', NULL, HEXTORAW('00ff'), RPAD('x', 9000, 'xy'));"
      "insert into APP.R values (1, HEXTORAW('0a0b'));"
      "commit;");
  const std::string d = src.dictionary(), t = table_of(d, "APP.D");
  EXPECT_NE(t.find("type: 112, length: 4000, name: C"), std::string::npos) << t;
  EXPECT_NE(t.find("type: 112, length: 4000, name: N"), std::string::npos) << t;
  EXPECT_NE(t.find("type: 113, length: 4000, name: B"), std::string::npos) << t;
  EXPECT_NE(t.find("type:   8, length:    0, name: L"), std::string::npos) << t;
  EXPECT_NE(table_of(d, "APP.R").find("type:  24"), std::string::npos) << d;
  const std::string redo = src.redo("");
  // A CLOB of this multi-byte database holds UTF-16BE in its row too.
  EXPECT_NE(redo.find("Column Name: C, Type: CLOB, Length: 4000\n  [20] 0069006E002000740068006500200072006F0077\n"),
            std::string::npos)
      << redo;
  EXPECT_NE(redo.find("Column Name: L, Type: LONG, Length: 0\n  [0] DYNAMIC\n"), std::string::npos) << redo;
  EXPECT_NE(redo.find("LCR Op: LONG WRITE  Owner: APP, Object: D\n  ["), std::string::npos) << redo;
}

}  // namespace
