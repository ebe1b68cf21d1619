// The Oracle statements this system issues, word for word, served by liborasim from a
// catalogue laid out as the simulated source writes it; the target checkpoint cycle;
// faults injected from outside the process; statements the stand-in must refuse.
#include <cinttypes>

#include "tests/oci/oci_fixture.h"

using namespace ocitest;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class SqlTest : public OciTest {
 protected:
  void SetUp() override {
    OciTest::SetUp();
    exec_sql(dbpath, R"(
      create table "V$INSTANCE" ("THREAD#" INTEGER);
      insert into "V$INSTANCE" values (1);
      create table "V$DATABASE" (LOG_MODE TEXT, SUPPLEMENTAL_LOG_DATA_MIN TEXT, SUPPLEMENTAL_LOG_DATA_PK TEXT,
                                 FORCE_LOGGING TEXT, CURRENT_SCN INTEGER);
      insert into "V$DATABASE" values ('ARCHIVELOG', 'YES', 'NO', 'YES', 1234567);
      create table "DBA_SUPPLEMENTAL_LOGGING" (PRIMARY_KEY TEXT);
      insert into "DBA_SUPPLEMENTAL_LOGGING" values ('YES');
      create table "DBA_PDBS" (PDB_NAME TEXT, CON_UID INTEGER);
      insert into "DBA_PDBS" values ('PDB1', 3141592);
      create table "V$NLS_PARAMETERS" (PARAMETER TEXT, VALUE TEXT);
      insert into "V$NLS_PARAMETERS" values ('NLS_LANGUAGE', 'AMERICAN'), ('NLS_CHARACTERSET', 'AL32UTF8'),
                                            ('NLS_NCHAR_CHARACTERSET', 'AL16UTF16');
      create table "V$ARCHIVED_LOG" ("SEQUENCE#" INTEGER, "THREAD#" INTEGER, "FIRST_CHANGE#" INTEGER,
                                     "NEXT_CHANGE#" INTEGER, STANDBY_DEST TEXT, STATUS TEXT, BLOCKS INTEGER,
                                     BLOCK_SIZE INTEGER, "ARCHIVAL_THREAD#" INTEGER, NAME TEXT);
      insert into "V$ARCHIVED_LOG" values (10, 1, 100, 200, 'NO', 'A', 1000, 512, 1, '/arch/1_10.arc'),
                                          (10, 1, 100, 200, 'YES', 'A', 1000, 512, 1, '/standby/1_10.arc'),
                                          (11, 1, 200, 300, 'NO', 'D', 1000, 512, 1, '/arch/1_11.arc');
      create table "V$LOG" ("GROUP#" INTEGER, "THREAD#" INTEGER, "SEQUENCE#" INTEGER, BYTES INTEGER,
                            BLOCKSIZE INTEGER, STATUS TEXT, "FIRST_CHANGE#" INTEGER);
      insert into "V$LOG" values (1, 1, 11, 52428800, 512, 'INACTIVE', 200), (2, 1, 12, 52428800, 512, 'CURRENT', 300);
      create table "V$LOGFILE" ("GROUP#" INTEGER, MEMBER TEXT, TYPE TEXT);
      insert into "V$LOGFILE" values (1, '/redo/redo01a.log', 'ONLINE'), (1, '/redo/redo01b.log', 'ONLINE'),
                                     (2, '+DATA/redo02.log', 'ONLINE');
      create table "SYS.USER$" ("USER#" INTEGER, NAME TEXT);
      insert into "SYS.USER$" values (0, 'SYS'), (100, 'SCOTT');
      create table "SYS.OBJ$" ("OBJ#" INTEGER, "OWNER#" INTEGER, NAME TEXT, FLAGS INTEGER);
      insert into "SYS.OBJ$" values (18, 0, 'OBJ$', 0), (4, 0, 'TAB$', 0), (500, 100, 'EMP', 0), (501, 100, 'TMP', 2),
                                    (502, 100, 'EMP_PK', 0), (503, 100, 'SEQ1', 0), (510, 100, 'EMP_P1', 0);
      create table "SYS.TAB$" ("OBJ#" INTEGER, PROPERTY INTEGER, COLS INTEGER, "BOBJ#" INTEGER);
      insert into "SYS.TAB$" values (18, 0, 2, NULL), (4, 0, 2, NULL), (500, 32, 3, NULL), (501, 0, 1, NULL);
      create table "SYS.COL$" ("OBJ#" INTEGER, "COL#" INTEGER, "SEGCOL#" INTEGER, "INTCOL#" INTEGER, "TYPE#" INTEGER,
                               LENGTH INTEGER, CHARSETFORM INTEGER, NAME TEXT, DEFLENGTH INTEGER, "NULL$" INTEGER,
                               PROPERTY INTEGER);
      insert into "SYS.COL$" values (500, 1, 1, 1, 2, 22, 0, 'EMPNO', NULL, 1, 0),
                                    (500, 2, 2, 2, 1, 10, 1, 'ENAME', 4, 0, 0),
                                    (500, 3, 3, 3, 12, 7, 0, 'HIRED', NULL, 0, 0),
                                    (500, 4, 0, 4, 1, 10, 1, 'VIRT', NULL, 0, 0),
                                    (18, 1, 1, 1, 2, 22, 0, 'OBJ#', NULL, 1, 0), (18, 2, 2, 2, 1, 128, 1, 'NAME', NULL, 1, 0),
                                    (4, 1, 1, 1, 2, 22, 0, 'OBJ#', NULL, 1, 0), (4, 2, 2, 2, 2, 22, 0, 'PROPERTY', NULL, 1, 0),
                                    (501, 1, 1, 1, 2, 22, 0, 'X', NULL, 0, 0);
      create table "SYS.IND$" ("OBJ#" INTEGER, "BO#" INTEGER, "TYPE#" INTEGER, PROPERTY INTEGER, FLAGS INTEGER);
      insert into "SYS.IND$" values (502, 500, 1, 1, 0);
      create table "SYS.ICOL$" ("OBJ#" INTEGER, "COL#" INTEGER);
      insert into "SYS.ICOL$" values (502, 1);
      create table "SYS.CDEF$" ("OBJ#" INTEGER, "CON#" INTEGER, "TYPE#" INTEGER, ENABLED INTEGER);
      insert into "SYS.CDEF$" values (500, 7, 2, 1), (500, 8, 3, NULL);
      create table "SYS.CCOL$" ("OBJ#" INTEGER, "CON#" INTEGER, "COL#" INTEGER);
      insert into "SYS.CCOL$" values (500, 7, 1), (500, 8, 2);
      create table "SYS.LOB$" ("OBJ#" INTEGER, "IND#" INTEGER, "COL#" INTEGER, PROPERTY INTEGER);
      create table "SYS.TABPART$" ("OBJ#" INTEGER, "BO#" INTEGER);
      insert into "SYS.TABPART$" values (510, 500);
      create table "SYS.TABSUBPART$" ("OBJ#" INTEGER, "POBJ#" INTEGER);
      create table "SYS.TABCOMPART$" ("OBJ#" INTEGER, "BO#" INTEGER);
      create table "SYS.SEQ$" ("OBJ#" INTEGER);
      insert into "SYS.SEQ$" values (503);
    )");
    ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  }

  // Runs a query with text or integer binds and returns every row as text.
  int run(const std::string &sql, Rows *rows, const std::vector<std::string> &binds = {}, int ncols = 0) {
    rows->clear();
    prepare(sql);
    std::vector<Col> cols;
    cols.reserve(binds.size());
    std::vector<ks_oci_bnd_t> bc;
    for (const std::string &b : binds) {
      cols.emplace_back(1, 64);
      cols.back().set_str(0, b);
      bc.push_back(cols.back().bnd(SQLT_CHR));
    }
    if (!bc.empty() && ks_oci_auto_bind(&c, &st, bc.data(), static_cast<int>(bc.size()), 1) != 0) return -1;
    if (ncols == 0) {
      std::string s = sql.substr(0, sql.find("from"));
      ncols = 1;
      int depth = 0;
      for (char ch : s) {
        depth += ch == '(' ? 1 : ch == ')' ? -1 : 0;
        if (ch == ',' && depth == 0) ncols++;
      }
    }
    std::vector<ks_oci_def_t> df(static_cast<size_t>(ncols));
    for (auto &d : df) {
      d.ctype = 16;  // NUL-terminated string
      d.vsz = 64;
    }
    std::vector<uint8_t> buf(4096);
    ks_oci_ds_t ds{ncols, 0, static_cast<int>(buf.size()), buf.data(), df.data()};
    if (ks_oci_auto_define(&c, &st, &ds) != 0) return -1;
    if (ks_oci_execute(&c, &st, 0, 0) != 0) return -1;
    int rr, r;
    do {
      r = ks_oci_fetch(&c, &st, 2, &rr);  // small fetches: several calls per query
      if (r < 0) return -1;
      for (int k = 0; k < rr; k++) {
        std::vector<std::string> row;
        for (auto &d : df) row.push_back(d.indp[k] == -1 ? "NULL" : reinterpret_cast<char *>(d.valp + k * 64));
        rows->push_back(row);
      }
    } while (r == 0);
    return 0;
  }

  std::string col0(const Rows &rows) {
    std::string s;
    for (auto &r : rows) s += (s.empty() ? "" : "|") + r[0];
    return s;
  }
};

}  // namespace

TEST_F(SqlTest, SourceAttributeQueriesWordForWord) {
  Rows rows;
  ASSERT_EQ(run("select thread# from v$instance", &rows), 0) << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "1");
  ASSERT_EQ(
      run("select log_mode, supplemental_log_data_min, supplemental_log_data_pk, force_logging from v$database", &rows),
      0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"ARCHIVELOG", "YES", "NO", "YES"}));
  ASSERT_EQ(run("select PRIMARY_KEY from dba_supplemental_logging", &rows), 0) << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "YES");
  ASSERT_EQ(run("select con_uid from dba_pdbs where pdb_name='PDB1'", &rows), 0) << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "3141592");
  ASSERT_EQ(run("select parameter, value from v$nls_parameters\n"
                "where parameter='NLS_CHARACTERSET' or parameter='NLS_NCHAR_CHARACTERSET'",
                &rows),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1] + "," + rows[1][1], "AL32UTF8,AL16UTF16");
  ASSERT_EQ(run("select current_scn from v$database", &rows), 0) << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "1234567");
}

TEST_F(SqlTest, RedoLogLocationQueriesWordForWord) {
  Rows rows;
  ASSERT_EQ(run("select sequence# from v$archived_log\nwhere thread#=1 and 150<next_change#\nand 150>=first_change#\n"
                "and standby_dest='NO' and status<>'D'",
                &rows),
            0)
      << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "10");
  ASSERT_EQ(run("select nvl(max(sequence#), 0) from v$log where thread#=1 and 350 >= first_change#", &rows), 0)
      << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "12");
  ASSERT_EQ(run("select nvl(max(sequence#), 0) from v$log where thread#=2 and 350 >= first_change#", &rows), 0);
  EXPECT_EQ(col0(rows), "0");
  const char *alog =
      "select blocks, block_size, archival_thread#, name\nfrom v$archived_log\n"
      "where thread#=:1 and sequence#=:2 and standby_dest='NO' and status<>'D'";
  ASSERT_EQ(run(alog, &rows, {"1", "10"}, 4), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"1000", "512", "1", "/arch/1_10.arc"}));
  ASSERT_EQ(run(alog, &rows, {"1", "11"}, 4), 0);  // deleted copy: not used
  EXPECT_TRUE(rows.empty());
  const char *olog =
      "select l.bytes/l.blocksize, l.blocksize, l.status, f.member from v$log l, v$logfile f\n"
      "where f.group# = l.group# and l.thread#=:1\nand l.sequence#=:2 and f.type='ONLINE' and rownum<2";
  ASSERT_EQ(run(olog, &rows, {"1", "11"}, 4), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);  // two members, one row
  EXPECT_EQ(rows[0][0], "102400");
  EXPECT_EQ(rows[0][2], "INACTIVE");
  ASSERT_EQ(run(olog, &rows, {"1", "12"}, 4), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][2] + " " + rows[0][3], "CURRENT +DATA/redo02.log");
}

TEST_F(SqlTest, DictionaryExportQueriesWordForWord) {
  Rows rows;
  ASSERT_EQ(run("select t.obj#, t.property, o.name, c.col#, c.segcol#, c.type#, c.length,\nc.charsetform, c.name, "
                "nvl(c.deflength, 0), c.null$, c.property\nfrom sys.tab$ t, sys.user$ u, sys.obj$ o, sys.col$ c\n"
                "where t.obj# = o.obj#\nand o.owner# = u.user#\nand bitand(t.property, 1) = 0\n"
                "and bitand(o.flags, 128) = 0\nand bitand(o.flags, 2) = 0\nand c.obj# = o.obj#\nand c.segcol# > 0\n"
                "and u.name = :1\norder by t.obj#, c.segcol#, c.intcol#\n",
                &rows, {"SCOTT"}, 12),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 3u);  // the temporary table and the virtual column are left out
  EXPECT_EQ(rows[1][8] + " " + rows[1][9], "ENAME 4");
  EXPECT_EQ(rows[0][9], "0");  // nvl of a NULL default length
  ASSERT_EQ(run("select tp.obj#, tp.bo#\nfrom sys.tabpart$ tp, sys.user$ u, sys.obj$ o\nwhere tp.obj# = o.obj#\n"
                "and o.owner# = u.user#\nand u.name = :1\norder by tp.obj#\n",
                &rows, {"SCOTT"}, 2),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0] + "," + rows[0][1], "510,500");
  ASSERT_EQ(run("select sp.obj#, o.obj#\nfrom sys.tabsubpart$ sp, sys.tabcompart$ tp, sys.user$ u, sys.obj$ o\n"
                "where sp.pobj# = tp.obj#\nand tp.bo# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\n"
                "order by sp.obj#\n",
                &rows, {"SCOTT"}, 2),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(
      run("select t.obj#, t.bobj#\nfrom sys.tab$ t, sys.user$ u, sys.obj$ o\nwhere bitand(t.property, 512) = 512\n"
          "and t.obj# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\norder by t.obj#\n",
          &rows, {"SCOTT"}, 2),
      0)
      << ks_oci_get_message();
  ASSERT_EQ(run("select i.obj#, i.bo#\nfrom sys.ind$ i, sys.user$ u, sys.obj$ o\nwhere i.type# = 4\n"
                "and i.obj# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\norder by i.obj#\n",
                &rows, {"SCOTT"}, 2),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(run("select l.ind#, l.obj#\nfrom sys.obj$ o, sys.user$ u, sys.lob$ l\nwhere bitand(l.property, 2050) = 0\n"
                "and l.obj# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\norder by l.ind#\n",
                &rows, {"SCOTT"}, 2),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(run("select o.obj#, o.flags, t.cols, t.property\nfrom sys.obj$ o, sys.tab$ t, sys.user$ u\n"
                "where t.obj# = o.obj#\nand u.user# = o.owner#\nand u.name = :1\nand o.name = :2\n",
                &rows, {"SCOTT", "EMP"}, 4),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0] + "," + rows[0][2] + "," + rows[0][3], "500,3,32");
  ASSERT_EQ(run("select col#, segcol#, type#, length, charsetform,\nname, nvl(deflength, 0), null$, property\n"
                "from sys.col$\nwhere obj# = :1\nand segcol# > 0\norder by segcol#\n",
                &rows, {"500"}, 9),
            0)
      << ks_oci_get_message();
  EXPECT_EQ(rows.size(), 3u);
  ASSERT_EQ(run("select ic.col#\nfrom sys.icol$ ic, sys.ind$ i\nwhere ic.obj# = i.obj#\nand i.bo# = :1\n"
                "and bitand(i.property, 1) = 1\nand bitand(i.flags, 1) = 0\n",
                &rows, {"500"}, 1),
            0)
      << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "1");
  ASSERT_EQ(run("select cc.col#, cd.type#\nfrom sys.cdef$ cd, sys.ccol$ cc\nwhere cd.obj# = cc.obj#\n"
                "and cd.con# = cc.con#\nand (cd.type# = 2 or cd.type# = 3)\nand cd.enabled is not null\n"
                "and cd.obj# = :1\n",
                &rows, {"500"}, 2),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);  // the disabled unique key is left out
  EXPECT_EQ(rows[0][1], "2");
  ASSERT_EQ(run("select obj# from sys.tabpart$ where bo# = :1", &rows, {"500"}, 1), 0) << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "510");
  ASSERT_EQ(run("select sp.obj#\nfrom sys.tabcompart$ tp, sys.tabsubpart$ sp\nwhere sp.pobj# = tp.obj#\n"
                "and tp.bo# = :1\n",
                &rows, {"500"}, 1),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(run("select obj# from sys.tab$ where bitand(property, 512) = 512 and bobj# = :1", &rows, {"500"}, 1), 0)
      << ks_oci_get_message();
  ASSERT_EQ(run("select obj# from sys.ind$ where type# = 4 and bo# = :1", &rows, {"500"}, 1), 0)
      << ks_oci_get_message();
  ASSERT_EQ(run("select ind# from sys.lob$ where bitand(property, 2050) = 0 and obj# = :1", &rows, {"500"}, 1), 0)
      << ks_oci_get_message();
  ASSERT_EQ(run("select o.obj#, ic.col#\nfrom sys.user$ u, sys.obj$ o, sys.ind$ i, sys.icol$ ic\n"
                "where ic.obj# = i.obj#\nand bitand(i.property, 1) = 1\nand i.bo# = o.obj#\nand u.user# = o.owner#\n"
                "and u.name = :1\n",
                &rows, {"SCOTT"}, 2),
            0)
      << ks_oci_get_message();
  EXPECT_EQ(rows.size(), 1u);
  ASSERT_EQ(run("select o.obj#, cc.col#, cd.type#\nfrom sys.obj$ o, sys.user$ u, sys.cdef$ cd, sys.ccol$ cc\n"
                "where cd.obj# = cc.obj#\nand cd.con# = cc.con#\nand (cd.type# = 2 or cd.type# = 3)\n"
                "and cd.enabled is not null\nand cc.obj# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\n",
                &rows, {"SCOTT"}, 3),
            0)
      << ks_oci_get_message();
  EXPECT_EQ(rows.size(), 1u);
  ASSERT_EQ(run("select obj#, col# from sys.lob$ where bitand(property, 2048)=2048", &rows, {}, 2), 0)
      << ks_oci_get_message();
  ASSERT_EQ(run("select s.obj#, o.name\nfrom sys.obj$ o, sys.seq$ s, sys.user$ u\nwhere s.obj# = o.obj#\n"
                "and o.owner# = u.user#\nand u.name = :1\norder by s.obj#\n",
                &rows, {"SCOTT"}, 2),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1], "SEQ1");
}

TEST_F(SqlTest, TargetCheckpointCycleCreatesTableInsertsAndUpdates) {
  const std::string where = "\nwhere KS_HOME='/home/ks/' and UNIT_NAME='U1' and APP_NAME='APP1'";
  const std::string read = "select FILE_NO, SCN, XID from KS_APPLY_CKP" + where;
  prepare(read);
  EXPECT_EQ(ks_oci_execute(&c, &st, 0, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 942);
  prepare(
      "create table KS_APPLY_CKP\n(KS_HOME    char(256),\n UNIT_NAME  char(32),\n APP_NAME   char(32),\n"
      " FILE_NO    number,\n SCN        number,\n XID        number)\nstorage (buffer_pool keep) cache");
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  EXPECT_EQ(db("select DATA_TYPE || ':' || DATA_LENGTH from \"KS$COLUMNS\" where TABLE_NAME='KS_APPLY_CKP' "
               "order by COLUMN_ID"),
            "CHAR:256|CHAR:32|CHAR:32|NUMBER:22|NUMBER:22|NUMBER:22");
  prepare(
      "insert into KS_APPLY_CKP (KS_HOME, UNIT_NAME, APP_NAME, FILE_NO, SCN, XID)\n"
      "values ('/home/ks/', 'U1', 'APP1', 0, 0, 0)");
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select count(*) from \"APP.KS_APPLY_CKP\""), "1");  // in the login user's schema

  uint32_t fno = 3;
  uint64_t scn = 0xFFFFFFFFFFFFFFF0ull, xid = (uint64_t{5} << 48) | (uint64_t{7} << 32) | 99;
  prepare("update KS_APPLY_CKP set FILE_NO=:1, SCN=:2, XID=:3" + where);
  ks_oci_bnd_t bc[3] = {};
  bc[0] = {KS_OCI_BND_EXTTYPE, 0, SQLT_UIN, 4, nullptr, nullptr, nullptr, nullptr, reinterpret_cast<uint8_t *>(&fno)};
  bc[1] = {KS_OCI_BND_EXTTYPE, 0, SQLT_UIN, 8, nullptr, nullptr, nullptr, nullptr, reinterpret_cast<uint8_t *>(&scn)};
  bc[2] = {KS_OCI_BND_EXTTYPE, 0, SQLT_UIN, 8, nullptr, nullptr, nullptr, nullptr, reinterpret_cast<uint8_t *>(&xid)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 3, 1), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  fno = 4;  // the binds point at the variables: each execution writes their value then
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);

  prepare(read);
  ks_oci_def_t df[3] = {};
  df[0] = {0, 18, 4, nullptr, nullptr, nullptr, nullptr, nullptr};
  df[1] = {0, 18, 8, nullptr, nullptr, nullptr, nullptr, nullptr};
  df[2] = {0, 18, 8, nullptr, nullptr, nullptr, nullptr, nullptr};
  alignas(8) uint8_t buf[256];
  ks_oci_ds_t ds{3, 0, 256, buf, df};
  ASSERT_EQ(ks_oci_auto_define(&c, &st, &ds), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 0, 0), 0) << ks_oci_get_message();
  int rr = 0;
  ASSERT_GE(ks_oci_fetch(&c, &st, 1, &rr), 0) << ks_oci_get_message();
  ASSERT_EQ(rr, 1);
  uint32_t f;
  uint64_t s, x;
  memcpy(&f, df[0].valp, 4);
  memcpy(&s, df[1].valp, 8);
  memcpy(&x, df[2].valp, 8);
  EXPECT_EQ(f, 4u);
  EXPECT_EQ(s, scn);  // above 2^63: kept exact as decimal text
  EXPECT_EQ(x, xid);
}

TEST_F(SqlTest, StatementsOutsideTheDialectAreRefusedWithOracleErrors) {
  struct {
    const char *sql;
    int code;
  } cases[] = {{"alter table t add constraint t_pk primary key (id)", 3001},
               {"merge into t using s on (t.a = s.a) when matched then update set t.b = s.b", 3001},
               {"selec * from t", 900},
               {"select a from t where rownum > 5", 3001},
               {"select s.currval from dual", 3001},
               {"select 'unterminated from dual", 1756},
               {"select a from t where a = @x", 911},
               {"insert into t values (1) returning a into :1", 3001},
               {"update t set a = 1 where b = 2 extra", 900}};
  for (auto &k : cases) {
    prepare(k.sql);
    EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1) << k.sql;
    EXPECT_EQ(ks_oci_get_error_code(), k.code) << k.sql << ": " << ks_oci_get_message();
    char pfx[16];
    snprintf(pfx, sizeof pfx, "ORA-%05d: ", k.code);
    EXPECT_EQ(std::string(ks_oci_get_message()).rfind(pfx, 0), 0u) << ks_oci_get_message();
  }
  Rows rows;
  ASSERT_EQ(run("select 1 + 1 from dual", &rows, {}, 1), 0) << ks_oci_get_message();
  EXPECT_EQ(col0(rows), "2");
  // An iteration count of zero is an error for DML.
  prepare("insert into \"APP\".\"U\" (\"K\") values (1)");
  EXPECT_EQ(ks_oci_execute(&c, &st, 0, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 24333);
  // A placeholder without a bind.
  prepare("insert into \"APP\".\"U\" (\"K\") values (:1)");
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1008);
}

TEST_F(SqlTest, FaultsFromTheDatabaseFileAndTheEnvironment) {
  // fail_exec: the 2nd execution from now fails with the given error, once.
  exec_sql(dbpath,
           "create table \"KS$FAULTS\" (KIND TEXT, ARG INTEGER, ERR INTEGER);"
           "insert into \"KS$FAULTS\" values ('fail_exec', 2, 942)");
  prepare("insert into \"APP\".\"U\" (\"K\") values (1)");
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 942);
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select count(*) from \"KS$FAULTS\""), "0");  // consumed
  EXPECT_EQ(db("select count(*) from \"APP.U\""), "2");

  // drop_after: three more calls succeed, then the session is lost and stays lost;
  // its uncommitted work is rolled back.
  exec_sql(dbpath, "insert into \"KS$FAULTS\" values ('drop_after', 3, 0)");
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), 0);
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), 0);
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 3114);
  EXPECT_EQ(ks_oci_commit(&c, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 3114);
  EXPECT_EQ(db("select count(*) from \"APP.U\""), "2");
  ks_oci_close_statement(&c, &st);
  // Ending the lost session fails, as on Oracle, yet every handle is released, so a
  // process that reconnects after each loss does not leak a set of handles each time.
  EXPECT_EQ(ks_oci_disconnect(&c), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 3114);
  EXPECT_EQ(c.usrhp, nullptr);
  EXPECT_EQ(c.srvhp, nullptr);
  EXPECT_EQ(c.svchp, nullptr);
  EXPECT_EQ(c.errhp, nullptr);
  EXPECT_EQ(c.envhp, nullptr);

  // refuse: connections fail while the row exists.
  exec_sql(dbpath, "insert into \"KS$FAULTS\" values ('refuse', 0, 0)");
  EXPECT_EQ(connect(), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1034);
  EXPECT_STREQ(ks_oci_get_message(), "ORA-01034: ORACLE not available");
  ks_oci_disconnect(&c);
  exec_sql(dbpath, "delete from \"KS$FAULTS\"");
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();  // the drop fault fired once only

  // The environment variable works the same way, for sessions begun after it is set.
  setenv("ORASIM_FAULTS", "fail_exec:1:28", 1);
  ks_oci_disconnect(&c);
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  prepare("insert into \"APP\".\"U\" (\"K\") values (1)");
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 28);
  EXPECT_STREQ(ks_oci_get_message(), "ORA-00028: your session has been killed");
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 3114);
  ks_oci_close_statement(&c, &st);
  ks_oci_disconnect(&c);
  setenv("ORASIM_FAULTS", "refuse:0:0", 1);
  EXPECT_EQ(connect(), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1034);
  unsetenv("ORASIM_FAULTS");
}

namespace {

// The DDL a replication target receives, run through the library as apply runs it.
class TargetDdl : public OciTest {
 protected:
  void SetUp() override {
    OciTest::SetUp();
    ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  }
  // 0, or the Oracle error of the statement.
  int exec(const std::string &sql) {
    prepare(sql);
    return ks_oci_execute(&c, &st, 1, 0) == 0 ? 0 : ks_oci_get_error_code();
  }
  // The one value of a one-row query, or "ORA-n".
  std::string value(const std::string &sql) {
    prepare(sql);
    ks_oci_def_t df{};
    df.ctype = 16;
    df.vsz = 32;
    uint8_t buf[128];
    ks_oci_ds_t ds{1, 0, static_cast<int>(sizeof buf), buf, &df};
    int rows = 0;
    if (ks_oci_auto_define(&c, &st, &ds) != 0 || ks_oci_execute(&c, &st, 0, 0) < 0 ||
        ks_oci_fetch(&c, &st, 1, &rows) < 0)
      return "ORA-" + std::to_string(ks_oci_get_error_code());
    return rows == 1 ? std::string(reinterpret_cast<char *>(df.valp)) : "no row";
  }
  std::string columns(const char *table) {
    return db(std::string("select COLUMN_ID || ':' || COLUMN_NAME || ':' || DATA_TYPE || ':' || DATA_LENGTH || ':' || "
                          "NULLABLE from \"KS$COLUMNS\" where OWNER = 'APP' and TABLE_NAME = '") +
              table + "' order by COLUMN_ID");
  }
};

}  // namespace

TEST_F(TargetDdl, TablesIndexesSequencesAndTriggersChangeWithTheirCatalogue) {
  ASSERT_EQ(exec("create table D (ID number primary key, NAME varchar2(10), NOTE varchar2(5))"), 0);
  // A DDL commits the transaction in progress, as on the source.
  ASSERT_EQ(exec("insert into D (ID, NAME) values (1, 'a')"), 0);
  ASSERT_EQ(exec("alter table \"APP\".\"D\" add (QTY number default 5 not null, EXTRA char(2))"), 0);
  ASSERT_EQ(ks_oci_rollback(&c), 0);
  EXPECT_EQ(db("select ID || NAME || QTY from \"APP.D\""), "1a5");
  EXPECT_EQ(exec("alter table D add QTY number"), 1430);
  ASSERT_EQ(exec("alter table D modify (NAME varchar2(40) not null, NOTE null)"), 0);
  EXPECT_EQ(exec("alter table D modify (NOPE number)"), 904);
  ASSERT_EQ(exec("alter table D rename column NOTE to REMARK"), 0);
  ASSERT_EQ(exec("alter table D set unused (REMARK)"), 0);  // later columns move up
  EXPECT_EQ(columns("D"), "1:ID:NUMBER:22:N|2:NAME:VARCHAR2:40:N|3:QTY:NUMBER:22:N|4:EXTRA:CHAR:2:Y");
  ASSERT_EQ(exec("alter table D drop column EXTRA"), 0);
  EXPECT_EQ(exec("alter table D drop column EXTRA"), 904);

  ASSERT_EQ(exec("create unique index D_NAME on D (NAME) tablespace USERS"), 0);
  EXPECT_EQ(exec("insert into D (ID, NAME) values (2, 'a')"), 1);
  EXPECT_EQ(exec("create index D_NAME on D (QTY)"), 955);
  ASSERT_EQ(exec("drop index APP.D_NAME"), 0);
  EXPECT_EQ(exec("drop index D_NAME"), 1418);
  ASSERT_EQ(exec("rename D to D2"), 0);
  EXPECT_EQ(columns("D"), "");
  EXPECT_EQ(columns("D2"), "1:ID:NUMBER:22:N|2:NAME:VARCHAR2:40:N|3:QTY:NUMBER:22:N");
  ASSERT_EQ(exec("alter table D2 rename to D3"), 0);
  ASSERT_EQ(exec("truncate table D3"), 0);
  EXPECT_EQ(db("select count(*) from \"APP.D3\""), "0");

  ASSERT_EQ(exec("create trigger D3_TRG before insert on D3 for each row begin :new.QTY := 'x;'; end;"), 0);
  EXPECT_EQ(exec("create trigger D3_TRG after delete on D3 begin null; end;"), 4081);
  ASSERT_EQ(exec("alter trigger APP.D3_TRG disable"), 0);
  EXPECT_EQ(db("select TABLE_NAME || ':' || STATUS from \"KS$TRIGGERS\" where TRIGGER_NAME = 'D3_TRG'"), "D3:DISABLED");
  EXPECT_EQ(exec("alter trigger NOPE enable"), 4080);
  ASSERT_EQ(exec("drop table D3 purge"), 0);
  EXPECT_EQ(columns("D3"), "");

  // Sequences: the dictionary rows the sequence query reads, NEXTVAL cycling at its limit.
  const std::string seq_row =
      " from sys.obj$ o, sys.user$ u, sys.seq$ s where s.obj#=o.obj# and o.owner#=u.user# and u.name='APP' and "
      "o.name='S'";
  EXPECT_EQ(value("select s.highwater" + seq_row), "no row");
  ASSERT_EQ(exec("create sequence S increment by 5 start with 10 maxvalue 20 cycle nocache"), 0);
  EXPECT_EQ(exec("create sequence APP.S"), 955);
  std::string got;
  for (int k = 0; k < 4; k++) got += value("select \"APP\".\"S\".nextval from dual") + " ";
  EXPECT_EQ(got, "10 15 20 1 ");
  ASSERT_EQ(exec("alter sequence S increment by 100 nocycle"), 0);
  EXPECT_EQ(value("select S.nextval from dual"), "6");
  EXPECT_EQ(value("select S.nextval from dual"), "ORA-8004");
  EXPECT_EQ(value("select s.increment$ || ' ' || s.maxvalue || ' ' || s.cycle# || ' ' || s.highwater" + seq_row),
            "100 20 0 106");
  ASSERT_EQ(exec("create sequence DOWN increment by -1"), 0);
  EXPECT_EQ(value("select DOWN.nextval from dual"), "-1");
  ASSERT_EQ(exec("drop sequence S"), 0);
  EXPECT_EQ(exec("drop sequence S"), 2289);
  EXPECT_EQ(exec("alter sequence S cache 10"), 2289);
  EXPECT_EQ(value("select S.nextval from dual"), "ORA-2289");
}
