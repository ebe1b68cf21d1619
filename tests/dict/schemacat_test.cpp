// schemacat over hand-made dictionary files: options, line formats, and files that are
// short, truncated or carry impossible counts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/fmt/dict_format.h"
#include "tests/dict/catalogue.h"
#include "tests/testutil.h"

using dicttest::run_program;
using kstest::TempHome;

namespace {

const std::string kCat = KS_BIN_DIR "/schemacat";

template <class T>
void put(std::string *buf, size_t ofs, const T &rec) {
  if (buf->size() < ofs + sizeof rec) buf->resize(ofs + sizeof rec, '\0');
  memcpy(buf->data() + ofs, &rec, sizeof rec);
}

template <class T>
T named(const char *name) {
  T r = {};
  snprintf(r.name, sizeof r.name, "%s", name);
  return r;
}

// One schema with a table of two columns (the second with segcol# 3 after a dropped
// column), an alias entry pointing at it, and a schema-level map.
std::string small_file() {
  std::string b(KS_DICT_TAB_OFS, '\0');
  ks_dict_fhd_t fh = {};
  fh.nsch = 1;
  fh.ntab = 2;
  fh.ncol = 2;
  fh.nmap = 1;
  put(&b, 0, fh);
  auto s = named<ks_dict_sch_t>("APP");
  s.flag = KS_SCH_ALL | KS_SCH_MAP;
  put(&b, KS_DICT_SCH_OFS, s);
  auto t = named<ks_dict_tab_t>("T1");
  t.flag = KS_TAB_MAP;
  t.objn = 500;
  t.ncol = 2;
  put(&b, KS_DICT_TAB_OFS, t);
  ks_dict_tab_t a = {};
  a.flag = KS_TAB_ALIAS;
  a.objn = 501;
  a.ncol = 500;
  put(&b, KS_DICT_TAB_OFS + 56, a);
  auto c1 = named<ks_dict_col_t>("ID");
  c1.flag = KS_COL_NOTNULL | KS_COL_PK;
  c1.cid = 1;
  c1.scid = 1;
  c1.ctyp = 2;
  c1.clen = 22;
  auto c2 = named<ks_dict_col_t>("TXT");
  c2.cid = 3;
  c2.scid = 3;
  c2.ctyp = 1;
  c2.clen = 4000;
  put(&b, KS_DICT_TAB_OFS + 112, c1);
  put(&b, KS_DICT_TAB_OFS + 168, c2);
  ks_dict_map_t m = {};
  snprintf(m.schema, sizeof m.schema, "APP");
  snprintf(m.map_schema, sizeof m.map_schema, "APP2");
  put(&b, KS_DICT_TAB_OFS + 224, m);
  return b;
}

const char *kSchemaPart =
    "-------------------- Schema --------------------\n\n"
    "flag: 0011, map index:  0, name: APP\n\n"
    "-------------------- Tables --------------------\n\n";
const char *kMapPart =
    "-------------------- Mapping --------------------\n\n"
    "\"APP\".\"\" = \"APP2\".\"\"\n\n";

}  // namespace

TEST(Schemacat, PrintsSchemasTablesColumnsAliasesAndASchemaMapWithEmptyTableNames) {
  TempHome h;
  std::string f = h.file("a.dict");
  kstest::write_file(f, small_file());
  std::string out, err;
  ASSERT_EQ(run_program(kCat, {"-f", f}, &out, &err), 0) << err;
  EXPECT_EQ(out, std::string(kSchemaPart) +
                     "##TAB##  flag: 0010, obj#: 500, cols: 2, name: APP.T1\n"
                     "COL[ 0]  flag: 0005, col#:  1, segcol#:  1, type:   2, length:   22, name: ID\n"
                     "COL[ 1]  flag: 0000, col#:  3, segcol#:  3, type:   1, length: 4000, name: TXT\n\n"
                     "##SUB##  flag: 1000, obj#: 501, bo#: 500\n\n\n" +
                     kMapPart);
  // Tables only; "-t" alone changes nothing.
  ASSERT_EQ(run_program(kCat, {"-s", "-t", "-f", f}, &out, &err), 0) << err;
  EXPECT_EQ(out, std::string(kSchemaPart) +
                     "##TAB##  flag: 0010, obj#: 500, cols: 2, name: APP.T1\n\n"
                     "##SUB##  flag: 1000, obj#: 501, bo#: 500\n\n\n" +
                     kMapPart);
  // "-t" with a name prints that table only.
  ASSERT_EQ(run_program(kCat, {"-s", "-t", "APP.NONE", "-f", f}, &out, &err), 0) << err;
  EXPECT_EQ(out, std::string(kSchemaPart) + "\n" + kMapPart);
}

TEST(Schemacat, FileShorterThanTheHeaderAreaIsNotCompleted) {
  TempHome h;
  std::string f = h.file("short.dict");
  kstest::write_file(f, small_file().substr(0, 8191));
  std::string out, err;
  EXPECT_EQ(run_program(kCat, {"-f", f}, &out, &err), 255);
  EXPECT_EQ(err, "read " + f + ": not completed.\nprint dictionary error.\n");
  EXPECT_EQ(out, "");
  EXPECT_EQ(run_program(kCat, {"-f", h.file("missing.dict")}, &out, &err), 255);
  EXPECT_EQ(err, "open " + h.file("missing.dict") + ": No such file or directory\nprint dictionary error.\n");
}

TEST(Schemacat, TruncatedOrDamagedFilePrintsWhatItHasThenReportsTheDamageAndFails) {
  TempHome h;
  std::string f = h.file("cut.dict");
  // The second column record is cut in half.
  kstest::write_file(f, small_file().substr(0, KS_DICT_TAB_OFS + 168 + 20));
  std::string out, err;
  EXPECT_EQ(run_program(kCat, {"-f", f}, &out, &err), 255);
  EXPECT_NE(err.find(f + ": dictionary damaged at header (offset 16): schemas 1, tables 2, columns 2, maps 1, "
                         "sequences 0 need 8544 bytes, file has 8380.\n"),
            std::string::npos)
      << err;
  EXPECT_NE(out.find("name: ID\n"), std::string::npos);
  EXPECT_EQ(out.find("name: TXT"), std::string::npos);

  // Counts far beyond the file, a schema index and a column range out of bounds.
  std::string b = small_file();
  ks_dict_fhd_t fh;
  memcpy(&fh, b.data(), sizeof fh);
  fh.ntab = 0xffffffff;
  fh.ncol = 0x7fffffff;
  fh.nmap = 0x7fffffff;
  memcpy(b.data(), &fh, sizeof fh);
  ks_dict_tab_t t;
  memcpy(&t, b.data() + KS_DICT_TAB_OFS, sizeof t);
  t.ui = 77;
  t.cidx = 0xfffffff0;
  t.ncol = 0x7fffffff;
  memcpy(b.data() + KS_DICT_TAB_OFS, &t, sizeof t);
  kstest::write_file(f, b);
  EXPECT_EQ(run_program(kCat, {"-f", f}, &out, &err), 255);
  EXPECT_NE(out.find("##TAB##  flag: 0010, obj#: 500, cols: 2147483647, name: .T1\n\n"), std::string::npos);
  EXPECT_NE(err.find("dictionary damaged at header (offset 16): schemas 1, tables 4294967295"), std::string::npos)
      << err;

  // Counts the file holds, but stored indexes out of their areas: each is named with the
  // offset of its record.
  const struct {
    size_t ofs, field;
    uint32_t value;
    const char *text;
  } spoilt[] = {
      {KS_DICT_TAB_OFS, offsetof(ks_dict_tab_t, ui), 1,
       "table 0 (offset 8192): schema index 1, the file has 1 schemas"},
      {KS_DICT_TAB_OFS, offsetof(ks_dict_tab_t, ncol), 3,
       "table 0 (offset 8192): first column 0 and 3 columns, the file has 2 columns"},
      {KS_DICT_TAB_OFS, offsetof(ks_dict_tab_t, mpi), 1,
       "table 0 (offset 8192): map index 1, the file has 1 map records"},
      {KS_DICT_SCH_OFS, offsetof(ks_dict_sch_t, mpi), 5,
       "schema 0 (offset 40): map index 5, the file has 1 map records"},
  };
  for (const auto &sp : spoilt) {
    b = small_file();
    memcpy(b.data() + sp.ofs + sp.field, &sp.value, 4);
    kstest::write_file(f, b);
    EXPECT_EQ(run_program(kCat, {"-f", f}, &out, &err), 255) << sp.text;
    EXPECT_EQ(err, f + ": dictionary damaged at " + sp.text + ".\nprint dictionary error.\n");
  }
}

TEST(Schemacat, OptionErrorsPrintTheUsageAndFail) {
  const std::string usage =
      "usage: schemacat [options]\n  -h    print this message\n  -s    print tables only\n  -t    print one "
      "table\n  -f    input file name\n\n";
  std::string out, err;
  EXPECT_EQ(run_program(kCat, {"-h"}, &out, &err), 255);
  EXPECT_EQ(err, usage);
  EXPECT_EQ(run_program(kCat, {"-x"}, &out, &err), 255);
  EXPECT_EQ(err, "invalid option [-x]\n" + usage);
  EXPECT_EQ(run_program(kCat, {"-s", "-f"}, &out, &err), 255);
  EXPECT_EQ(err, "not specify input file name.\n" + usage);
  EXPECT_EQ(run_program(kCat, {"-ss"}, &out, &err), 255);
  EXPECT_EQ(out, "");
}
