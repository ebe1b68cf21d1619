// Dictionary export from a source catalogue: what the file holds for schemas captured
// whole, single tables, exclusions, mappings, partitions, IOT and LOB segments, keys and
// sequences; overflow into temporary files; failures that must leave nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "extract/dict/exp_dict.h"
#include "lib/log/log.h"
#include "tests/dict/catalogue.h"
#include "tests/testutil.h"

using namespace dicttest;
using kstest::TempHome;

namespace {

struct Loaded {
  uint8_t *base = nullptr;
  ks_dict_t d = {};
  ~Loaded() { free(base); }
  int load(const std::string &path) {
    int rc = ks_dict_load_block(path.c_str(), malloc, free, &base);
    if (rc == 0) ks_dict_attach(base, &d);
    return rc;
  }
  const ks_dict_tab_t *table(const char *schema, const char *name) const {
    for (uint32_t i = 0; i < d.hdr->ntab; i++) {
      const ks_dict_tab_t &t = d.tab[i];
      if (!(t.flag & KS_TAB_ALIAS) && strcmp(t.name, name) == 0 && strcmp(d.sch[t.ui].name, schema) == 0) return &t;
    }
    return nullptr;
  }
  const ks_dict_col_t *column(const ks_dict_tab_t *t, const char *name) const {
    for (uint32_t i = 0; i < t->ncol; i++)
      if (strcmp(d.col[t->cidx + i].name, name) == 0) return &d.col[t->cidx + i];
    return nullptr;
  }
  int lookup(uint32_t objn) { return ks_lookup_table(&d, static_cast<int>(objn)); }
};

std::string tmp_files(const TempHome &h) {
  std::string names;
  for (const auto &e : std::filesystem::directory_iterator(h.file("tmp"))) names += e.path().filename().string() + " ";
  return names;
}

// The source of the main scenario and the object numbers the checks need.
struct Scenario {
  Catalogue cat;
  int customers, orders, part1, part2, docs, docs_lobind, iot, iot_over, iot_top, audit, temp;
  int emp, emp_cp, emp_sp1, emp_sp2, dept, seq_a, seq_b, hr_seq;
  ks_dict_sets_t sets;

  explicit Scenario(const std::string &path) : cat(path) {
    cat.sys_objects();
    cat.set_next_obj(70000);
    customers = cat.table("SALES", "CUSTOMERS",
                          {{"ID", 2, 22, 1},
                           {"NAME", 1, 100, 0, 5},
                           {"EMAIL", 1, 200},
                           {"NOTE", 1, 400, 0, 0, 2},
                           {"OLD", 2, 22, 0, 0, 1, 0x8000}});
    cat.constraint(customers, 2, {1});
    cat.index(customers, 1, 1, 0, {3});
    orders = cat.table("SALES", "ORDERS", {{"ID", 2, 22, 1}, {"CUST_ID"}, {"AMOUNT"}}, 32);
    cat.constraint(orders, 2, {1});
    cat.constraint(orders, 3, {2}, false);  // disabled: no flag
    part1 = cat.partition(orders);
    part2 = cat.partition(orders);
    docs = cat.table("SALES", "DOCS", {{"ID"}, {"BODY", 112, 4000}, {"PIC", 113, 4000}});
    cat.lob(docs, 2, 2048);             // SecureFile: no index alias
    docs_lobind = cat.lob(docs, 3, 0);  // BasicFile: its index is an alias
    iot = cat.table("SALES", "IOT_T", {{"ID", 2, 22, 1}, {"VAL"}}, 64);
    iot_over = cat.overflow(iot);
    iot_top = cat.index(iot, 4, 1, 0, {1});
    audit = cat.table("SALES", "AUDIT_LOG", {{"ID"}, {"TXT", 1, 50}});
    temp = cat.table("SALES", "GTT", {{"ID"}}, 0, 2);
    seq_b = cat.sequence("SALES", "ORDER_SEQ");
    seq_a = cat.sequence("SALES", "CUST_SEQ");
    // HR: single tables, created with falling object numbers.
    cat.set_next_obj(60000);
    emp = cat.table("HR", "EMP", {{"EMPNO", 2, 22, 1}, {"ENAME", 1, 30}, {"DEPTNO"}}, 32);
    emp_cp = cat.composite_partition(emp);
    emp_sp1 = cat.subpartition(emp_cp);
    emp_sp2 = cat.subpartition(emp_cp);
    cat.set_next_obj(50000);
    dept = cat.table("HR", "DEPT", {{"DEPTNO", 2, 22, 1}, {"DNAME", 1, 30}});
    cat.constraint(dept, 2, {1});
    cat.index(dept, 1, 1, 0, {2});
    hr_seq = cat.sequence("HR", "EMP_SEQ");
    cat.table("HR", "SALGRADE", {{"GRADE"}});  // not configured

    sets.inc = {include("SALES", "*"), include("HR", "EMP"), include("HR", "DEPT")};
    sets.exc = {exclude("SALES", "AUDIT_LOG"), exclude("HR", "SALGRADE")};
    sets.map = {mapping("SALES", "*", "SALES_T", ""), mapping("HR", "EMP", "HR2", "EMPLOYEE"),
                mapping("HR", "NOPE", "X", "Y"), mapping("OTHER", "*", "Z", "")};
  }
};

}  // namespace

TEST(DictExport, ScenarioFileHoldsExactlyTheCapturedObjectsWithFlagsKeysMapsAndSequences) {
  TempHome h;
  Scenario s(h.file("src.db"));
  SqliteQuery q(s.cat.db());
  std::string path = h.file("dict/U/C.dict");
  mkdir(h.file("dict/U").c_str(), 0755);
  ASSERT_EQ(ks_export_dict_run(&q, &s.sets, path.c_str()), 0) << ks_log_get_message();
  EXPECT_EQ(tmp_files(h), "");

  Loaded l;
  ASSERT_EQ(l.load(path), 0);
  const ks_dict_hdr_t &hd = *l.d.hdr;
  EXPECT_EQ(hd.flag, KS_DICT_IOT);
  EXPECT_EQ(hd.seqn, 12u);  // SEQ$ is the twelfth system object
  ASSERT_EQ(hd.nsch, 3u);
  EXPECT_STREQ(l.d.sch[0].name, "SYS");
  EXPECT_STREQ(l.d.sch[1].name, "SALES");
  EXPECT_EQ(l.d.sch[1].flag, KS_SCH_ALL | KS_SCH_MAP);
  EXPECT_EQ(l.d.sch[1].mpi, 0u);
  EXPECT_STREQ(l.d.sch[2].name, "HR");
  EXPECT_EQ(l.d.sch[2].flag, 0u);

  // Ascending object numbers throughout, although HR's tables were exported last.
  for (uint32_t i = 1; i < hd.ntab; i++) EXPECT_LT(l.d.tab[i - 1].objn, l.d.tab[i].objn) << i;
  // 12 system tables, SALES: 5 tables (the temporary one skipped) + 2 partitions + LOB
  // index + overflow + top index, HR: 2 tables + 2 subpartitions.
  EXPECT_EQ(hd.ntab, 12u + 5 + 5 + 2 + 2);
  EXPECT_EQ(l.table("SALES", "GTT"), nullptr);

  const ks_dict_tab_t *tab = l.table("SYS", "TAB$");
  ASSERT_NE(tab, nullptr);
  EXPECT_EQ(tab->flag, KS_TAB_SYSOBJ);

  const ks_dict_tab_t *cu = l.table("SALES", "CUSTOMERS");
  ASSERT_NE(cu, nullptr);
  ASSERT_EQ(cu->ncol, 5u);
  EXPECT_EQ(l.column(cu, "ID")->flag, KS_COL_NOTNULL | KS_COL_PK);
  EXPECT_EQ(l.column(cu, "NAME")->flag, KS_COL_DEFAULT);
  EXPECT_EQ(l.column(cu, "EMAIL")->flag, KS_COL_UK);
  EXPECT_EQ(l.column(cu, "NOTE")->flag, KS_COL_NCHAR);
  EXPECT_EQ(l.column(cu, "OLD")->flag, KS_COL_NOCAPTURE);
  EXPECT_EQ(l.column(cu, "EMAIL")->clen, 200u);

  const ks_dict_tab_t *orders = l.table("SALES", "ORDERS");
  ASSERT_NE(orders, nullptr);
  EXPECT_EQ(l.column(orders, "ID")->flag, KS_COL_NOTNULL | KS_COL_PK);
  EXPECT_EQ(l.column(orders, "CUST_ID")->flag, 0u);  // its unique key is disabled
  EXPECT_EQ(l.lookup(s.part1), orders - l.d.tab);
  EXPECT_EQ(l.lookup(s.part2), orders - l.d.tab);

  const ks_dict_tab_t *docs = l.table("SALES", "DOCS");
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(docs->flag, KS_TAB_LOB);
  EXPECT_EQ(l.column(docs, "BODY")->flag, KS_COL_SECUREFILE);
  EXPECT_EQ(l.column(docs, "PIC")->flag, 0u);
  EXPECT_EQ(l.lookup(s.docs_lobind), docs - l.d.tab);

  const ks_dict_tab_t *iot = l.table("SALES", "IOT_T");
  ASSERT_NE(iot, nullptr);
  EXPECT_EQ(iot->flag, KS_TAB_IOT);
  EXPECT_EQ(l.lookup(s.iot_over), iot - l.d.tab);
  EXPECT_EQ(l.lookup(s.iot_top), iot - l.d.tab);

  // The excluded table is in the file but lookups do not find it.
  const ks_dict_tab_t *audit = l.table("SALES", "AUDIT_LOG");
  ASSERT_NE(audit, nullptr);
  EXPECT_EQ(audit->flag, KS_TAB_NOCAPTURE);
  EXPECT_EQ(l.lookup(s.audit), -1);
  EXPECT_EQ(l.lookup(s.temp), -1);

  const ks_dict_tab_t *emp = l.table("HR", "EMP");
  ASSERT_NE(emp, nullptr);
  EXPECT_EQ(emp->flag, KS_TAB_MAP);
  EXPECT_EQ(emp->mpi, 1u);
  EXPECT_EQ(l.lookup(s.emp_sp1), emp - l.d.tab);
  EXPECT_EQ(l.lookup(s.emp_sp2), emp - l.d.tab);
  const ks_dict_tab_t *dept = l.table("HR", "DEPT");
  ASSERT_NE(dept, nullptr);
  EXPECT_EQ(l.column(dept, "DEPTNO")->flag, KS_COL_NOTNULL | KS_COL_PK);
  EXPECT_EQ(l.column(dept, "DNAME")->flag, KS_COL_UK);
  EXPECT_EQ(l.table("HR", "SALGRADE"), nullptr);

  // Two map records: the schema map and the table map; the others are dropped.
  ASSERT_EQ(hd.nmap, 2u);
  EXPECT_STREQ(l.d.map[0].schema, "SALES");
  EXPECT_STREQ(l.d.map[0].map_schema, "SALES_T");
  EXPECT_STREQ(l.d.map[0].table, "");
  EXPECT_STREQ(l.d.map[1].table, "EMP");
  EXPECT_STREQ(l.d.map[1].map_schema, "HR2");
  EXPECT_STREQ(l.d.map[1].map_table, "EMPLOYEE");

  // Sequences of SALES only (HR is not captured whole), ascending object numbers.
  ASSERT_EQ(hd.nseq, 2u);
  EXPECT_EQ(l.d.seq[0].objn, static_cast<uint32_t>(s.seq_b));
  EXPECT_STREQ(l.d.seq[0].name, "ORDER_SEQ");
  EXPECT_EQ(l.d.seq[1].objn, static_cast<uint32_t>(s.seq_a));
  EXPECT_EQ(l.d.seq[1].ui, 1u);

  // The printed file, line for line.
  std::string out, err;
  EXPECT_EQ(run_program(KS_BIN_DIR "/schemacat", {"-f", path}, &out, &err), 0) << err;
  EXPECT_EQ(out, kstest::read_file(KS_TEST_DATA_DIR "/dict/scenario_schemacat.txt"));
  EXPECT_EQ(err, "");

  // A second start finds the file and does no database work.
  std::string before = kstest::read_file(path);
  SqliteQuery again(s.cat.db());
  EXPECT_EQ(ks_export_dict_run(&again, &s.sets, path.c_str()), 0);
  EXPECT_EQ(again.runs, 0);
  EXPECT_EQ(kstest::read_file(path), before);
}

TEST(DictExport, SchemaCapturedWholeAndByTableGetsTwoSchemaRecordsAndTheExcludeHitsBothCopies) {
  TempHome h;
  Catalogue cat(h.file("src.db"));
  cat.sys_objects();
  int t = cat.table("A", "T", {{"ID"}});
  ks_dict_sets_t sets;
  sets.inc = {include("A", "T"), include("A", "*")};
  sets.exc = {exclude("A", "T")};
  SqliteQuery q(cat.db());
  std::string path = h.file("dict/a.dict");
  ASSERT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), 0) << ks_log_get_message();
  Loaded l;
  ASSERT_EQ(l.load(path), 0);
  ASSERT_EQ(l.d.hdr->nsch, 3u);
  EXPECT_STREQ(l.d.sch[1].name, "A");
  EXPECT_EQ(l.d.sch[1].flag, 0u);
  EXPECT_STREQ(l.d.sch[2].name, "A");
  EXPECT_EQ(l.d.sch[2].flag, KS_SCH_ALL);
  EXPECT_EQ(l.d.hdr->ntab, 14u);
  // Whichever copy the search meets, the table is excluded.
  EXPECT_EQ(l.lookup(t), -1);
}

TEST(DictExport, MissingIncludedTableFailsAndLeavesNoFiles) {
  TempHome h;
  Catalogue cat(h.file("src.db"));
  cat.sys_objects();
  ks_dict_sets_t sets;
  sets.inc = {include("HR", "NOPE")};
  SqliteQuery q(cat.db());
  std::string path = h.file("dict/a.dict");
  EXPECT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), -1);
  EXPECT_TRUE(logged("table \"HR\".\"NOPE\" not found.")) << ks_log_get_message();
  EXPECT_FALSE(kstest::file_exists(path));
  EXPECT_FALSE(kstest::file_exists(path + ".tmp"));
}

TEST(DictExport, SourceWithoutTheSystemTablesFails) {
  TempHome h;
  Catalogue cat(h.file("src.db"));
  ks_dict_sets_t sets;
  SqliteQuery q(cat.db());
  EXPECT_EQ(ks_export_dict_run(&q, &sets, h.file("dict/a.dict").c_str()), -1);
  EXPECT_TRUE(logged("table \"SYS\".\"TAB$\" not found.")) << ks_log_get_message();
}

TEST(DictExport, FailureAfterTheFileIsStartedLeavesNeitherDictionaryNorTemporaryFiles) {
  TempHome h;
  Catalogue cat(h.file("src.db"));
  cat.sys_objects();
  for (int i = 0; i < 2100; i++) cat.table("S", "T" + std::to_string(i), {{"ID"}});
  cat.sequence("S", "Q");
  ks_dict_sets_t sets;
  sets.inc = {include("S", "*")};
  std::string path = h.file("dict/a.dict");
  // Count the statements of a good run, then fail the last one (the sequences, after the
  // tables, columns and maps were written).
  int total;
  {
    SqliteQuery q(cat.db());
    ASSERT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), 0);
    total = q.runs;
    EXPECT_NE(q.texts.back().find("sys.seq$"), std::string::npos);
    std::filesystem::remove(path);
  }
  for (int stage : {KS_DQ_EEXECUTE, KS_DQ_EFETCH, KS_DQ_EBIND}) {
    SqliteQuery q(cat.db());
    q.fail_at = total;
    q.fail_stage = stage;
    EXPECT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), -1);
    EXPECT_FALSE(kstest::file_exists(path));
    EXPECT_FALSE(kstest::file_exists(path + ".tmp"));
    EXPECT_EQ(tmp_files(h), "");
  }
  EXPECT_TRUE(logged("export sequence error.")) << ks_log_get_message();
  // The next start exports again from scratch.
  SqliteQuery q(cat.db());
  EXPECT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), 0);
  Loaded l;
  ASSERT_EQ(l.load(path), 0);
  EXPECT_EQ(l.d.hdr->ntab, 2112u);
  EXPECT_EQ(l.d.hdr->nseq, 1u);
}

namespace {
struct ProbeState {
  std::string tmpdir;
  bool seen_tab = false, seen_col = false;
};
void probe_tmp(const char *sql, void *arg) {
  auto *p = static_cast<ProbeState *>(arg);
  if (strstr(sql, "sys.lob$ where bitand(property, 2048)") == nullptr) return;
  for (const auto &e : std::filesystem::directory_iterator(p->tmpdir)) {
    std::string n = e.path().filename().string();
    if (n.ends_with("_tab.dict") && e.file_size() > 0) p->seen_tab = true;
    if (n.ends_with("_col.dict") && e.file_size() > 0) p->seen_col = true;
  }
}
}  // namespace

TEST(DictExport, OverflowingTablesAndColumnsGoThroughTemporaryFilesAndStaySorted) {
  TempHome h;
  Catalogue cat(h.file("src.db"));
  cat.sys_objects();
  // 2,001 single tables configured in falling object-number order, 56 columns each: more
  // tables than the table area and more columns (112,056) than the column area holds.
  const int n = 2001, ncols = 56;
  std::vector<Col> cols;
  for (int c = 0; c < ncols; c++) cols.push_back({"C" + std::to_string(c)});
  cat.exec("begin");
  ks_dict_sets_t sets;
  for (int i = 0; i < n; i++) {
    cat.set_next_obj(900000 - 10 * i);
    std::string name = "T" + std::to_string(i);
    cat.table("BIG", name, cols);
    sets.inc.push_back(include("BIG", name));
  }
  // A key on the first table shows that flags set in memory survive the temporary files.
  cat.constraint(900000, 2, {3});
  cat.exec("commit");
  SqliteQuery q(cat.db());
  ProbeState ps{h.file("tmp")};
  q.probe = probe_tmp;
  q.probe_arg = &ps;
  std::string path = h.file("dict/big.dict");
  ASSERT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), 0) << ks_log_get_message();
  EXPECT_TRUE(ps.seen_tab);
  EXPECT_TRUE(ps.seen_col);
  EXPECT_EQ(tmp_files(h), "");

  Loaded l;
  ASSERT_EQ(l.load(path), 0);
  ASSERT_EQ(l.d.hdr->ntab, 12u + n);
  ASSERT_EQ(l.d.hdr->ncol, 24u + n * ncols);
  for (uint32_t i = 1; i < l.d.hdr->ntab; i++) ASSERT_LT(l.d.tab[i - 1].objn, l.d.tab[i].objn) << i;
  // Every table still finds its own columns after the round trip through the files.
  for (int i = 0; i < n; i += 250) {
    int ti = l.lookup(900000 - 10 * i);
    ASSERT_GE(ti, 0);
    const ks_dict_tab_t &t = l.d.tab[ti];
    EXPECT_EQ(std::string(t.name), "T" + std::to_string(i));
    ASSERT_EQ(t.ncol, static_cast<uint32_t>(ncols));
    EXPECT_STREQ(l.d.col[t.cidx].name, "C0");
    EXPECT_STREQ(l.d.col[t.cidx + ncols - 1].name, "C55");
    EXPECT_EQ(l.d.col[t.cidx + 2].flag, i == 0 ? KS_COL_PK : 0u);
  }
}

TEST(DictExport, TheHundredAndTwentyEighthSchemaIsRefused) {
  TempHome h;
  Catalogue cat(h.file("src.db"));
  cat.sys_objects();
  ks_dict_sets_t sets;
  for (int i = 0; i < 127; i++) sets.inc.push_back(include("S" + std::to_string(i), "*"));
  SqliteQuery q(cat.db());
  std::string path = h.file("dict/a.dict");
  // SYS plus 126 configured schemas make 127 records: that fits.
  sets.inc.pop_back();
  ASSERT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), 0) << ks_log_get_message();
  std::filesystem::remove(path);
  sets.inc.push_back(include("S126", "*"));
  EXPECT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), -1);
  EXPECT_FALSE(kstest::file_exists(path));
}

TEST(DictExport, StatementTextsTranslateForTheCatalogue) {
  // The translation the tests rely on keeps literals and turns Oracle names into the
  // catalogue's quoted ones.
  EXPECT_EQ(translate("select t.obj#, nvl(c.deflength, 0) from sys.tab$ t where u.name = :1 and x = 'a#'"),
            "select t.\"OBJ#\", nvl(c.deflength, 0) from \"SYS.TAB$\" t where u.name = ?1 and x = 'a#'");
}

// Changes of an index-organised table with more key columns than capture decodes could
// never be built: the export refuses it by name, once it is captured; excluded, it passes.
TEST(DictExport, IndexOrganisedTableWithMoreThan31KeyColumnsIsRefusedUnlessExcluded) {
  TempHome h;
  Catalogue cat(h.file("src.db"));
  cat.sys_objects();
  auto keyed = [&](const std::string &name, int nk) {
    std::vector<Col> cols;
    std::vector<int> key;
    for (int i = 1; i <= nk + 1; i++) cols.push_back({"C" + std::to_string(i)});
    for (int i = 1; i <= nk; i++) key.push_back(i);
    int t = cat.table("APP", name, cols, 64);
    cat.constraint(t, 2, key);
    cat.index(t, 4, 1, 0, key);
  };
  keyed("K31", 31);
  keyed("K32", 32);
  ks_dict_sets_t sets;
  sets.inc = {include("APP", "*")};
  SqliteQuery q(cat.db());
  std::string path = h.file("dict/a.dict");
  EXPECT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), -1);
  EXPECT_TRUE(logged("index-organised table \"APP\".\"K32\" has 32 primary-key columns; at most 31 can be captured."))
      << ks_log_get_message();
  EXPECT_FALSE(kstest::file_exists(path));
  sets.exc = {include("APP", "K32")};
  EXPECT_EQ(ks_export_dict_run(&q, &sets, path.c_str()), 0) << ks_log_get_message();
}
