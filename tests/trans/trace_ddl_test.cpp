// DDL tracing at commit: transactions built by hand from a DDL record and the
// data dictionary rows a source writes with it, committed through the transaction table
// against a loaded dictionary; what the trail receives and what the dictionary becomes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "extract/dict/dict.h"
#include "lib/ora/ora_number.h"
#include "tests/trans/trans_fixture.h"

using namespace kstest;
using ::testing::HasSubstr;

namespace {

struct Val {
  std::string name, v;
};

std::string num(uint64_t n) {
  uint8_t b[KS_ORA_NUMBER_MAX];
  int len = ks_ora_number_from_uint64(n, b);
  return std::string(reinterpret_cast<char *>(b), static_cast<size_t>(len));
}

void entries(std::string *out, const std::vector<Val> &vals) {
  for (const Val &c : vals) {
    ks_lcr_ch_t ch = {};
    ch.nlen = static_cast<uint32_t>(c.name.size() + 1);
    ch.dlen = static_cast<uint32_t>(c.v.size());
    ch.alen = KS_LCR_CH_SZ + ch.nlen + ch.dlen;
    out->append(reinterpret_cast<char *>(&ch), sizeof ch);
    out->append(c.name.c_str(), ch.nlen);
    out->append(c.v);
  }
}

Rec make(const ks_lcr_rh_t &h, const std::string &body) {
  Rec r;
  r.mem.assign((KS_LCR_RH_SZ + body.size() + 7) / 8, 0);
  ks_lcr_rh_t hh = h;
  hh.rlen = static_cast<uint32_t>(KS_LCR_RH_SZ + body.size());
  std::memcpy(r.bytes(), &hh, sizeof hh);
  std::memcpy(r.bytes() + KS_LCR_RH_SZ, body.data(), body.size());
  return r;
}

// A row change of SYS.<table>: inserts carry nw, deletes old, updates both.
Rec sysrow(uint32_t opc, const char *table, const std::vector<Val> &nw, const std::vector<Val> &old = {}) {
  ks_lcr_rh_t h = {};
  h.flag = KS_RH_SYSOBJ;
  h.opc = opc;
  std::strcpy(h.ownr, "SYS");
  std::snprintf(h.onam, sizeof h.onam, "%s", table);
  std::string body;
  entries(&body, nw);
  h.nnew = static_cast<uint32_t>(nw.size());
  h.opos = static_cast<uint32_t>(KS_LCR_RH_SZ + body.size());
  h.nold = static_cast<uint32_t>(old.size());
  entries(&body, old);
  return make(h, body);
}

Rec ddl(const char *owner, const char *name, uint32_t objn, const std::string &text) {
  ks_lcr_rh_t h = {};
  h.opc = KS_OPC_DDL;
  h.nold = objn;
  h.nnew = static_cast<uint32_t>(text.size());
  std::snprintf(h.ownr, sizeof h.ownr, "%s", owner);
  std::snprintf(h.onam, sizeof h.onam, "%s", name);
  return make(h, text);
}

std::vector<Val> col(uint32_t objn, uint32_t cid, const char *name, uint32_t type = 2) {
  return {{"OBJ#", num(objn)}, {"COL#", num(cid)}, {"SEGCOL#", num(cid)}, {"TYPE#", num(type)},
          {"LENGTH", num(22)}, {"NULL$", num(0)},  {"NAME", name},        {"CHARSETFORM", num(0)}};
}

// The statement text and owner of a delivered DDL transaction (DDL record and COMMIT).
struct Delivered {
  std::string owner, text;
  uint32_t nlcr, commit_opc;
};
Delivered delivered(const TrailTrans &tr) {
  ks_lcr_rh_t h;
  std::memcpy(&h, tr.body.data(), sizeof h);
  Delivered d{h.ownr, std::string(tr.body.data() + KS_LCR_RH_SZ, h.nnew - 1), tr.th.nlcr, 0};
  d.commit_opc = ks_lcr_u32(tr.body.data(), h.rlen + 8);
  EXPECT_EQ(tr.body.size(), h.rlen + 16u);
  EXPECT_EQ(h.nnew, d.text.size() + 1);
  return d;
}

class TraceDdl : public TransTest {
 protected:
  // Schema APP, captured whole and delivered as APP2; tables T (100: ID, NAME) and U
  // (300: X), T's columns not the last of the column area.
  void SetUp() override {
    TransTest::SetUp();
    ks_dict_fhd_t fh = {};
    fh.nsch = 1;
    fh.ntab = 2;
    fh.ncol = 3;
    fh.nmap = 1;
    ks_dict_cap_t cap;
    ks_dict_capacity(&fh, &cap);
    block.assign(ks_dict_block_size(&cap, fh.nmap) / 8 + 1, 0);
    auto *base = reinterpret_cast<uint8_t *>(block.data());
    auto *h = reinterpret_cast<ks_dict_hdr_t *>(base + KS_DICT_LEAD_SZ);
    *h = {0, 0, cap.max_sch, 1, cap.max_tab, 2, cap.max_col, 3, cap.max_seq, 0, 1, 0};
    ks_dict_attach(base, &dict);
    dict.sch[0] = {KS_SCH_ALL | KS_SCH_MAP, 0, "APP"};
    std::strcpy(dict.map[0].schema, "APP");
    std::strcpy(dict.map[0].map_schema, "APP2");
    dict.tab[0] = {0, 100, 0, 2, 0, 0, "T"};
    dict.tab[1] = {0, 300, 0, 1, 2, 0, "U"};
    dict.col[0] = {KS_COL_PK, 1, 1, 2, 22, 0, "ID"};
    dict.col[1] = {0, 2, 2, 1, 30, 0, "NAME"};
    dict.col[2] = {0, 1, 1, 2, 22, 0, "X"};
    mkdir(home.file("dict").c_str(), 0755);
    mkdir(home.file("dict/U").c_str(), 0755);
  }
  int open_traced() {
    int rc = open();
    ex.d = &dict;
    return rc;
  }
  // Commits a transaction of the DDL record and the rows; the trail's transactions after.
  std::vector<TrailTrans> run(Rec stmt, std::vector<Rec> rows) {
    const uint64_t x = xid_of(9, ++n, 1);
    EXPECT_EQ(add(stmt, x, 1), 0);
    for (Rec &r : rows) EXPECT_EQ(add(r, x, 2), 0);
    EXPECT_EQ(commit(x, 3), 0);
    return read_trail(trail(0)).trans;
  }
  const ks_dict_tab_t *table(uint32_t objn) {
    int i = ks_lookup_table(&dict, static_cast<int>(objn));
    return i < 0 ? nullptr : &dict.tab[i];
  }
  const ks_dict_col_t *column(uint32_t objn, uint32_t scid) {
    const ks_dict_tab_t *tb = table(objn);
    int c = tb == nullptr ? -1 : ks_get_column(&dict.col[tb->cidx], static_cast<int>(tb->ncol), static_cast<int>(scid));
    return c < 0 ? nullptr : &dict.col[tb->cidx + c];
  }
  std::vector<uint64_t> block;
  ks_dict_t dict = {};
  uint64_t n = 0;
};

TEST_F(TraceDdl, DictionaryFollowsEachStatementAndTheTrailGetsTheMappedStatementAndACommit) {
  ASSERT_EQ(open_traced(), 0);

  // ADD COLUMN: the table's columns move to the end of the area and grow there; a row
  // decoded afterwards finds the new column at its segment position.
  auto tr = run(ddl("APP", "T", 100, "ALTER TABLE APP.T ADD (C3 NUMBER)"),
                {sysrow(KS_OPC_INSERT, "COL$", col(100, 3, "C3"))});
  ASSERT_EQ(tr.size(), 1u);
  Delivered d = delivered(tr[0]);
  EXPECT_EQ(d.owner, "APP2");
  EXPECT_EQ(d.text, "ALTER TABLE APP2.T ADD (C3 NUMBER)");
  EXPECT_EQ(d.nlcr, 2u);
  EXPECT_EQ(d.commit_opc, KS_OPC_COMMIT);
  EXPECT_EQ(tr[0].th.flag, KS_TH_TRANS | KS_TH_DDL);
  ASSERT_NE(column(100, 3), nullptr);
  EXPECT_STREQ(column(100, 3)->name, "C3");
  EXPECT_EQ(column(100, 1)->flag, KS_COL_PK);
  EXPECT_STREQ(column(300, 1)->name, "X");
  EXPECT_EQ(table(100)->ncol, 3u);
  EXPECT_TRUE(dict.hdr->flag & KS_DICT_DIRTY);

  // CREATE TABLE: a new captured table with its key, its partition resolving to it.
  tr = run(ddl("APP", "N", 200, "create table APP.N (A number primary key, B varchar2(10))"),
           {sysrow(KS_OPC_INSERT, "OBJ$", {{"OBJ#", num(200)}, {"NAME", "N"}}),
            sysrow(KS_OPC_INSERT, "TAB$", {{"OBJ#", num(200)}, {"COLS", num(2)}, {"PROPERTY", num(0x20)}}),
            sysrow(KS_OPC_INSERT, "COL$", col(200, 2, "B", 1)), sysrow(KS_OPC_INSERT, "COL$", col(200, 1, "A")),
            sysrow(KS_OPC_INSERT, "TABPART$", {{"OBJ#", num(201)}, {"BO#", num(200)}}),
            sysrow(KS_OPC_INSERT, "CDEF$", {{"OBJ#", num(200)}, {"CON#", num(7)}, {"TYPE#", num(2)}}),
            sysrow(KS_OPC_INSERT, "CCOL$", {{"CON#", num(7)}, {"COL#", num(1)}})});
  ASSERT_EQ(tr.size(), 2u);
  EXPECT_EQ(delivered(tr[1]).text, "create table APP2.N (A number primary key, B varchar2(10))");
  ASSERT_NE(table(200), nullptr);
  EXPECT_STREQ(table(200)->name, "N");
  EXPECT_EQ(table(201), table(200));
  EXPECT_STREQ(column(200, 1)->name, "A");
  EXPECT_EQ(column(200, 1)->flag, KS_COL_PK);
  EXPECT_EQ(column(200, 2)->ctyp, 1u);

  // Sequences come and go.
  run(ddl("APP", "S", 400, "CREATE SEQUENCE APP.S"),
      {sysrow(KS_OPC_INSERT, "OBJ$", {{"OBJ#", num(400)}, {"NAME", "S"}}),
       sysrow(KS_OPC_INSERT, "SEQ$", {{"OBJ#", num(400)}})});
  ASSERT_EQ(dict.hdr->nseq, 1u);
  EXPECT_STREQ(dict.seq[0].name, "S");
  run(ddl("APP", "S", 400, "DROP SEQUENCE APP.S"), {sysrow(KS_OPC_DELETE, "SEQ$", {}, {{"OBJ#", num(400)}})});
  EXPECT_EQ(dict.hdr->nseq, 0u);

  // DROP TABLE to the recycle bin: the table and its segments are gone, the statement
  // is delivered without the bin name; the bin's own objects are not delivered.
  tr = run(ddl("APP", "N", 200, "DROP TABLE APP.N AS \"BIN$q1==$0\""),
           {sysrow(KS_OPC_UPDATE, "OBJ$", {{"NAME", "BIN$q1==$0"}}, {{"OBJ#", num(200)}})});
  ASSERT_EQ(tr.size(), 5u);
  EXPECT_EQ(delivered(tr[4]).text, "DROP TABLE APP2.N");
  EXPECT_EQ(table(200), nullptr);
  EXPECT_EQ(table(201), nullptr);
  tr = run(ddl("APP", "BIN$q1==$0", 200, "DROP TABLE APP.\"BIN$q1==$0\""), {sysrow(KS_OPC_DELETE, "TAB$", {}, {})});
  EXPECT_EQ(tr.size(), 5u);
  tr = run(ddl("APP", "N", 200, "PURGE TABLE APP.\"BIN$q1==$0\""), {sysrow(KS_OPC_DELETE, "TAB$", {}, {})});
  ASSERT_EQ(tr.size(), 6u);
  EXPECT_EQ(delivered(tr[5]).text, "PURGE TABLE APP2.\"N\"");

  // Users are not delivered.
  EXPECT_EQ(run(ddl("APP", "X", 0, "CREATE USER X IDENTIFIED BY Y"), {sysrow(KS_OPC_INSERT, "USER$", {})}).size(), 6u);

  // RENAME COLUMN, then SET UNUSED: the column takes its new name, then leaves capture.
  run(ddl("APP", "T", 100, "ALTER TABLE APP.T RENAME COLUMN C3 TO C4"),
      {sysrow(KS_OPC_UPDATE, "COL$", {{"NAME", "C4"}}, {{"OBJ#", num(100)}, {"NAME", "C3"}})});
  EXPECT_STREQ(column(100, 3)->name, "C4");
  run(ddl("APP", "T", 100, "ALTER TABLE APP.T SET UNUSED (C4)"),
      {sysrow(KS_OPC_UPDATE, "COL$", {{"COL#", num(0)}}, {{"OBJ#", num(100)}, {"COL#", num(3)}})});
  EXPECT_EQ(column(100, 3)->flag & KS_COL_NOCAPTURE, KS_COL_NOCAPTURE);
}

TEST_F(TraceDdl, StatementWhoseRowsCannotBePlacedLeavesTheDictionaryAsItWasAndIsStillDelivered) {
  ASSERT_EQ(open_traced(), 0);
  const std::vector<uint64_t> before = block;
  // A column this table does not have, and rows of another captured table in the same
  // statement: neither change is taken, nor the column added beside them.
  auto tr = run(ddl("APP", "T", 100, "ALTER TABLE APP.T DROP (NOPE)"),
                {sysrow(KS_OPC_INSERT, "COL$", col(100, 3, "C3")),
                 sysrow(KS_OPC_DELETE, "COL$", {}, {{"OBJ#", num(100)}, {"NAME", "NOPE"}})});
  EXPECT_THAT(last_message(), HasSubstr("ALTER TABLE APP.T DROP (NOPE)"));
  run(ddl("APP", "T", 100, "ALTER TABLE APP.T MODIFY (ID NUMBER(10))"),
      {sysrow(KS_OPC_UPDATE, "COL$", {{"LENGTH", num(10)}}, {{"OBJ#", num(100)}, {"NAME", "ID"}}),
       sysrow(KS_OPC_UPDATE, "COL$", {{"LENGTH", num(10)}}, {{"OBJ#", num(300)}, {"NAME", "X"}})});
  // The block is byte for byte as it was but for the change count.
  dict.hdr->status = 0;
  EXPECT_EQ(block, before);
  tr = read_trail(trail(0)).trans;
  ASSERT_EQ(tr.size(), 2u);
  EXPECT_EQ(delivered(tr[0]).text, "ALTER TABLE APP2.T DROP (NOPE)");
}

TEST_F(TraceDdl, RewriteThatOutgrowsTheImageBufferIsBuiltInTheWorkBuffer) {
  ASSERT_EQ(open_traced(), 0);
  std::strcpy(dict.map[0].map_schema, "A_MUCH_LONGER_SCHEMA_NAME");
  const std::string text = "TRUNCATE TABLE APP.T";
  Rec stmt = ddl("APP", "T", 100, text);
  Rec row = sysrow(KS_OPC_UPDATE, "OBJ$", {{"DATAOBJ#", num(101)}}, {{"OBJ#", num(100)}});
  std::vector<uint8_t> img(32 + stmt.rlen() + row.rlen());
  ks_lcr_th_t th = {static_cast<uint32_t>(img.size()), KS_TH_TRANS, 2, 0, 0, 0};
  std::memcpy(img.data(), &th, 32);
  std::memcpy(img.data() + 32, stmt.bytes(), stmt.rlen());
  std::memcpy(img.data() + 32 + stmt.rlen(), row.bytes(), row.rlen());
  const int tbsz = 170;  // the rewrite needs 187 bytes with the long name, 163 with the short
  ASSERT_EQ(ks_trace_ddl(&ex, reinterpret_cast<ks_lcr_th_t *>(img.data()), tbsz), 0);
  ks_lcr_th_t out = ks_lcr_load<ks_lcr_th_t>(t.tbuf);
  ASSERT_EQ(out.nlcr, 2u);
  TrailTrans tr{out, std::string(reinterpret_cast<char *>(t.tbuf) + 32, out.tlen - 32), 0};
  EXPECT_EQ(delivered(tr).text, "TRUNCATE TABLE A_MUCH_LONGER_SCHEMA_NAME.T");
  // In place when it fits.
  std::memset(t.tbuf, 0, 32);
  std::strcpy(dict.map[0].map_schema, "B");
  ASSERT_EQ(ks_trace_ddl(&ex, reinterpret_cast<ks_lcr_th_t *>(img.data()), tbsz), 0);
  EXPECT_EQ(ks_lcr_u32(t.tbuf, 0), 0u);
  EXPECT_EQ(ks_lcr_u32(img.data(), 8), 2u);
}

TEST_F(TraceDdl, DictionaryFileGoesWithTheCheckpointGenerationAndAStaleOneIsPassedOver) {
  char path[512];
  const std::string cur = home.file("dict/U/C.dict");
  dict.hdr->flag |= KS_DICT_DIRTY;
  ASSERT_EQ(ks_dict_checkpoint(&dict, 5), 0);
  EXPECT_FALSE(dict.hdr->flag & KS_DICT_DIRTY);
  EXPECT_EQ(ks_dict_checkpoint(&dict, 6), 0);  // clean: nothing written
  std::strcpy(dict.tab[0].name, "T2");
  dict.hdr->flag |= KS_DICT_DIRTY;
  ASSERT_EQ(ks_dict_checkpoint(&dict, 7), 0);
  // The checkpoint naming 7 was written: the new file. It was not (a crash): the one before.
  ASSERT_EQ(ks_dict_choose_file("U", "C", 7, path, sizeof path), 0);
  EXPECT_EQ(path, cur);
  ASSERT_EQ(ks_dict_choose_file("U", "C", 6, path, sizeof path), 0);
  EXPECT_EQ(path, cur + ".prev");
  uint8_t *b = nullptr;
  ASSERT_EQ(ks_dict_load_block(path, malloc, free, &b), 0);
  ks_dict_t old;
  ks_dict_attach(b, &old);
  EXPECT_STREQ(old.tab[0].name, "T");
  free(b);
  EXPECT_EQ(ks_dict_choose_file("U", "C", 4, path, sizeof path), -1);
}

}  // namespace
