// The export as extract runs it: sets from config.db, statements through the database
// layer and the stand-in OCI library, against a source created and filled by orasim.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "extract/dict/exp_dict.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "oci/oci.h"
#include "tests/dict/catalogue.h"
#include "tests/testutil.h"

using namespace dicttest;

namespace {

const char *kScript =
    "CREATE USER SALES;\n"
    "CREATE USER HR;\n"
    "CREATE TABLE SALES.CUSTOMERS (ID number(10) primary key, NAME varchar2(60) not null, NOTE nvarchar2(100));\n"
    "CREATE TABLE SALES.ORDERS (ID number primary key, CUST_ID number, AMOUNT number(12,2));\n"
    "CREATE TABLE SALES.AUDIT_LOG (ID number, TXT varchar2(50));\n"
    "CREATE SEQUENCE SALES.ORDER_SEQ;\n"
    "CREATE SEQUENCE SALES.CUST_SEQ;\n"
    "CREATE TABLE HR.EMP (EMPNO number primary key, ENAME varchar2(30));\n"
    "CREATE TABLE HR.DEPT (DEPTNO number primary key, DNAME varchar2(30));\n"
    "CREATE TABLE HR.SALGRADE (GRADE number);\n"
    "CREATE SEQUENCE HR.EMP_SEQ;\n"
    "INSERT INTO SALES.CUSTOMERS VALUES (1, 'A', NULL);\n"
    "COMMIT;\n";

int64_t scalar(sqlite3 *db, const std::string &sql) {
  sqlite3_stmt *st = nullptr;
  int64_t v = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return v;
}

void exec(sqlite3 *db, const std::string &sql) {
  char *err = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "") << sql;
}

template <class T>
T item(const char *schema, const char *table) {
  T it{};
  snprintf(it.schema, sizeof it.schema, "%s", schema);
  snprintf(it.table, sizeof it.table, "%s", table);
  if (strcmp(table, "*") == 0) it.flag = KS_CFG_SET_ALL;
  return it;
}

void configure() {
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0) << omsg;
  ks_cfg_funit_t u{};
  strcpy(u.un_name, "U");
  ASSERT_EQ(ks_cfg_add_unit(&cfg, &u, omsg), 0) << omsg;
  ks_cfg_fcom_t c{};
  strcpy(c.name, "C");
  c.com_typ = KS_CFG_COM_EXTRACT;
  ASSERT_EQ(ks_cfg_add_com(&cfg, "U", &c, omsg), 0) << omsg;
  for (auto [s, t] : {std::pair{"SALES", "*"}, {"HR", "EMP"}, {"HR", "DEPT"}}) {
    auto i = item<ks_cfg_finc_t>(s, t);
    ASSERT_EQ(ks_cfg_add_include(&cfg, "U", "C", &i, omsg), 0) << omsg;
  }
  auto e = item<ks_cfg_fexc_t>("SALES", "AUDIT_LOG");
  ASSERT_EQ(ks_cfg_add_exclude(&cfg, "U", "C", &e, omsg), 0) << omsg;
  auto m1 = item<ks_cfg_fmap_t>("SALES", "*");
  strcpy(m1.map_schema, "SALES_T");
  auto m2 = item<ks_cfg_fmap_t>("HR", "EMP");
  strcpy(m2.map_schema, "HR2");
  strcpy(m2.map_table, "EMPLOYEE");
  ASSERT_EQ(ks_cfg_add_map(&cfg, "U", "C", &m1, omsg), 0) << omsg;
  ASSERT_EQ(ks_cfg_add_map(&cfg, "U", "C", &m2, omsg), 0) << omsg;
  cfg.flag |= KS_CFG_MODIFIED;
  ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0) << omsg;
}

}  // namespace

TEST(DictExportOrasim, ExportFromASimulatedSourceHoldsTheConfiguredObjectsAndASecondStartDoesNoDatabaseWork) {
  kstest::TempHome home;
  std::string out, err;
  ASSERT_EQ(run_program(KS_BIN_DIR "/orasim", {"create", "-d", home.file("sim"), "-n", "SRC"}, &out, &err), 0) << err;
  kstest::write_file(home.file("script.sql"), kScript);
  ASSERT_EQ(
      run_program(KS_BIN_DIR "/orasim",
                  {"run", "-d", home.file("sim"), "-n", "SRC", "--script", home.file("script.sql"), "--no-expect"},
                  &out, &err),
      0)
      << out << err;
  std::string dbpath = home.file("sim/SRC.db");

  // orasim has no partitioned tables: give ORDERS two partitions in its catalogue.
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(dbpath.c_str(), &db), SQLITE_OK);
  const std::string objn_of =
      "select o.\"OBJ#\" from \"SYS.OBJ$\" o join \"SYS.USER$\" u on u.\"USER#\" = o.\"OWNER#\" ";
  int64_t orders = scalar(db, objn_of + "where u.NAME = 'SALES' and o.NAME = 'ORDERS'");
  int64_t audit = scalar(db, objn_of + "where u.NAME = 'SALES' and o.NAME = 'AUDIT_LOG'");
  int64_t emp = scalar(db, objn_of + "where u.NAME = 'HR' and o.NAME = 'EMP'");
  int64_t owner = scalar(db, "select \"USER#\" from \"SYS.USER$\" where NAME = 'SALES'");
  int64_t next = scalar(db, "select max(\"OBJ#\") + 1 from \"SYS.OBJ$\"");
  ASSERT_GT(orders, 0);
  ASSERT_GT(audit, 0);
  for (int p = 0; p < 2; p++) {
    std::string o = std::to_string(next + p);
    exec(db, "insert into \"SYS.OBJ$\"(\"OBJ#\", \"DATAOBJ#\", \"OWNER#\", NAME, SUBNAME, \"TYPE#\", FLAGS) values(" +
                 o + "," + o + "," + std::to_string(owner) + ",'ORDERS','P" + std::to_string(p) + "',19,0)");
    exec(db, "insert into \"SYS.TABPART$\" values(" + o + "," + o + "," + std::to_string(orders) + "," +
                 std::to_string(p + 1) + ")");
  }
  exec(db, "update \"SYS.TAB$\" set PROPERTY = PROPERTY | 32 where \"OBJ#\" = " + std::to_string(orders));
  sqlite3_close(db);

  configure();
  mkdir(home.file("dict/U").c_str(), 0755);
  setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
  ks_oci_ses_t se{};
  ASSERT_EQ(ks_oci_connect(&se, "KS", "KS", ("sim:" + dbpath).c_str(), 1), 0) << ks_oci_get_message();
  char unit[] = "U", com[] = "C";
  ASSERT_EQ(ks_export_dict(&se, unit, com), 0) << ks_log_get_message();
  ks_oci_disconnect(&se);

  std::string path = home.file("dict/U/C.dict");
  uint8_t *base = nullptr;
  ASSERT_EQ(ks_dict_load_block(path.c_str(), malloc, free, &base), 0) << ks_log_get_message();
  ks_dict_t d;
  ks_dict_attach(base, &d);
  ASSERT_EQ(d.hdr->nsch, 3u);
  EXPECT_STREQ(d.sch[0].name, "SYS");
  EXPECT_STREQ(d.sch[1].name, "SALES");
  EXPECT_EQ(d.sch[1].flag, KS_SCH_ALL | KS_SCH_MAP);
  EXPECT_STREQ(d.sch[2].name, "HR");
  EXPECT_EQ(d.hdr->seqn, 74u);  // SEQ$ in the simulated catalogue

  std::multiset<std::string> names;
  for (uint32_t i = 0; i < d.hdr->ntab; i++) {
    if (i > 0) {
      EXPECT_LT(d.tab[i - 1].objn, d.tab[i].objn);
    }
    const ks_dict_tab_t &t = d.tab[i];
    if (!(t.flag & KS_TAB_ALIAS) && !(t.flag & KS_TAB_SYSOBJ))
      names.insert(std::string(d.sch[t.ui].name) + "." + t.name);
  }
  EXPECT_EQ(names,
            (std::multiset<std::string>{"SALES.CUSTOMERS", "SALES.ORDERS", "SALES.AUDIT_LOG", "HR.EMP", "HR.DEPT"}));
  int o = ks_lookup_table(&d, static_cast<int>(orders));
  ASSERT_GE(o, 0);
  EXPECT_EQ(ks_lookup_table(&d, static_cast<int>(next)), o);
  EXPECT_EQ(ks_lookup_table(&d, static_cast<int>(next + 1)), o);
  EXPECT_EQ(ks_lookup_table(&d, static_cast<int>(audit)), -1);
  int e = ks_lookup_table(&d, static_cast<int>(emp));
  ASSERT_GE(e, 0);
  EXPECT_EQ(d.tab[e].flag & KS_TAB_MAP, KS_TAB_MAP);
  EXPECT_STREQ(d.map[d.tab[e].mpi].map_table, "EMPLOYEE");
  EXPECT_EQ(d.col[d.tab[e].cidx].flag & KS_COL_PK, KS_COL_PK);
  ASSERT_EQ(d.hdr->nseq, 2u);  // SALES's sequences only
  EXPECT_STREQ(d.seq[0].name, "ORDER_SEQ");
  EXPECT_STREQ(d.seq[1].name, "CUST_SEQ");
  // Columns of CUSTOMERS: the key, a NOT NULL name, a national-character column.
  int c = -1;
  for (uint32_t i = 0; i < d.hdr->ntab; i++)
    if (strcmp(d.tab[i].name, "CUSTOMERS") == 0) c = static_cast<int>(i);
  ASSERT_GE(c, 0);
  ASSERT_EQ(d.tab[c].ncol, 3u);
  EXPECT_EQ(d.col[d.tab[c].cidx].flag & KS_COL_PK, KS_COL_PK);
  EXPECT_EQ(d.col[d.tab[c].cidx + 1].flag & KS_COL_NOTNULL, KS_COL_NOTNULL);
  EXPECT_EQ(d.col[d.tab[c].cidx + 2].flag & KS_COL_NCHAR, KS_COL_NCHAR);
  free(base);

  ASSERT_EQ(run_program(KS_BIN_DIR "/schemacat", {"-s", "-f", path}, &out, &err), 0) << err;
  EXPECT_NE(out.find("##SUB##  flag: 1000, obj#: " + std::to_string(next) + ", bo#: " + std::to_string(orders)),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"HR\".\"EMP\" = \"HR2\".\"EMPLOYEE\"\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\"SALES\".\"\" = \"SALES_T\".\"\"\n"), std::string::npos) << out;

  // The second start: the session is gone, and the export must not need it.
  std::string before = kstest::read_file(path);
  EXPECT_EQ(ks_export_dict(&se, unit, com), 0);
  EXPECT_EQ(kstest::read_file(path), before);
}
