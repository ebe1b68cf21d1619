// The source catalogue as extract reads it: every statement it issues against the source,
// word for word, through the database layer loaded with liborasim, against a database
// created and written by the simulator (archive mode, log switches), with the binds and
// result types extract uses (integer thread#/sequence#, integer bytes/blocksize, unsigned
// 64-bit SCN, 520-byte names), and while the simulator keeps writing: in every state of
// the catalogue a reader can see, the current SCN is held by a log extract can find.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "oci/oci.h"
#include "sim/source/sim_db.h"
#include "sim/source/workload.h"
#include "tests/testutil.h"

using namespace ks::sim;

namespace {

// Define type indexes (see oci_data_type): NUL-terminated text, signed and unsigned ints.
constexpr uint32_t kStr = 16, kInt = 17, kUint = 18;

struct Val {
  bool null = false;
  std::string s;
  int64_t i = 0;
  uint64_t u = 0;
};
using Row = std::vector<Val>;

// A bind as extract gives it: an integer (thread#, sequence#, obj#) or a name.
struct Bind {
  bool text;
  int i = 0;
  std::string s;
  Bind(int v) : text(false), i(v) {}
  Bind(const char *v) : text(true), s(v) {}
  Bind(const std::string &v) : text(true), s(v) {}
};

class Catalogue : public ::testing::Test {
 protected:
  kstest::TempHome home;
  std::string dbfile;
  ks_oci_ses_t c{};
  ks_oci_stmt_t st{};

  void SetUp() override {
    setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
    unsetenv("ORASIM_FAULTS");
    ks_db_cfg_t cfg;
    cfg.dir = home.path() + "db";
    cfg.name = "SRC";
    cfg.redo.log_blocks = 256;
    cfg.redo.sync = false;
    cfg.groups = 3;
    cfg.pdb = "PDB1";
    cfg.con_uid = 3141592653u;
    ks_sim_db db;
    ASSERT_EQ(db.create(cfg), 0);
    ks_oltp_cfg_t o;
    o.txns = 300;
    ASSERT_EQ(ks_oltp_run(db, o), 0);
    ASSERT_EQ(db.close(), 0);
    dbfile = cfg.dir + "/SRC.db";
    ASSERT_EQ(ks_oci_connect(&c, "kestro", "secret", ("sim:" + dbfile).c_str(), 1), 0) << ks_oci_get_message();
  }
  void TearDown() override {
    if (st.stmtp != nullptr) ks_oci_close_statement(&c, &st);
    ks_oci_disconnect(&c);
  }

  // Runs sql with integer binds; types gives each select-list column's define type and
  // slot size (text columns get size bytes).
  int run(const std::string &sql, std::vector<Row> *rows, const std::vector<std::pair<uint32_t, uint32_t>> &types,
          const std::vector<Bind> &binds = {}) {
    rows->clear();
    if (st.stmtp != nullptr) ks_oci_close_statement(&c, &st);
    if (ks_oci_get_statement(&c, &st) != 0 || ks_oci_prepare_statement(&c, &st, sql.c_str()) != 0) return -1;
    std::vector<std::vector<uint8_t>> bv(binds.size(), std::vector<uint8_t>(128));
    std::vector<int16_t> bind_ind(binds.size(), 0);
    std::vector<uint16_t> bind_len(binds.size()), bind_rc(binds.size(), 0);
    std::vector<ks_oci_bnd_t> bc(binds.size());
    for (size_t i = 0; i < binds.size(); i++) {
      bc[i].flag = KS_OCI_BND_EXTTYPE;
      bc[i].ctype = binds[i].text ? SQLT_CHR : SQLT_INT;
      bc[i].vsz = 128;
      if (binds[i].text) {
        memcpy(bv[i].data(), binds[i].s.data(), binds[i].s.size());
        bind_len[i] = uint16_t(binds[i].s.size());
      } else {
        int v = binds[i].i;
        memcpy(bv[i].data(), &v, sizeof v);
        bc[i].vsz = sizeof v;
        bind_len[i] = sizeof v;
      }
      bc[i].indp = &bind_ind[i];
      bc[i].alenp = &bind_len[i];
      bc[i].rcodep = &bind_rc[i];
      bc[i].valp = bv[i].data();
    }
    if (!bc.empty() && ks_oci_auto_bind(&c, &st, bc.data(), int(bc.size()), 1) != 0) return -1;
    std::vector<ks_oci_def_t> df(types.size());
    for (size_t i = 0; i < types.size(); i++) {
      df[i].ctype = types[i].first;
      df[i].vsz = types[i].second;
    }
    std::vector<uint8_t> buf(16384);
    ks_oci_ds_t ds{int(df.size()), 0, int(buf.size()), buf.data(), df.data()};
    if (ks_oci_auto_define(&c, &st, &ds) != 0) return -1;
    if (ks_oci_execute(&c, &st, 0, 0) != 0) return -1;
    int rr, r;
    do {
      r = ks_oci_fetch(&c, &st, 2, &rr);
      if (r < 0) return -1;
      for (int k = 0; k < rr; k++) {
        Row row;
        for (auto &d : df) {
          Val v;
          const uint8_t *p = d.valp + size_t(k) * d.vsz;
          v.null = d.indp[k] == -1;
          if (d.ctype == kStr)
            v.s = reinterpret_cast<const char *>(p);
          else if (d.ctype == kInt && d.vsz == 4) {
            int32_t x;
            memcpy(&x, p, 4);
            v.i = x;
          } else if (d.ctype == kInt) {
            memcpy(&v.i, p, 8);
          } else
            memcpy(&v.u, p, 8);
          row.push_back(v);
        }
        rows->push_back(row);
      }
    } while (r == 0);
    return 0;
  }

 public:
  // The log catalogue as extract reads it, in one state of the database: "" when it is
  // consistent, else what is wrong. last: the current SCN seen before (never goes back).
  std::string log_catalogue_fault(uint64_t *last) {
    std::vector<Row> rows;
    auto err = [](const std::string &what) { return what + ": " + ks_oci_get_message(); };
    if (run("select current_scn from v$database", &rows, {{kUint, 8}}) != 0 || rows.size() != 1)
      return err("current SCN");
    const uint64_t cur = rows[0][0].u;
    const std::string scn = std::to_string(cur);
    if (cur < *last) return "the current SCN went back from " + std::to_string(*last) + " to " + scn;
    *last = cur;
    // The log holding it: an archived log covering it, else the newest online log begun
    // at or before it.
    if (run("select sequence# from v$archived_log\nwhere thread#=1 and " + scn + "<next_change#\nand " + scn +
                ">=first_change#\nand standby_dest='NO' and status<>'D'",
            &rows, {{kInt, 8}}) != 0)
      return err("archived log of the current SCN");
    if (rows.empty() && run("select nvl(max(sequence#), 0) from v$log where thread#=1 and " + scn + " >= first_change#",
                            &rows, {{kInt, 8}}) != 0)
      return err("online log of the current SCN");
    if (rows.size() != 1 || rows[0][0].i <= 0) return "no log holds the current SCN " + scn;
    // One current log, the newest, begun at or before the current SCN, where extract
    // finds it by its sequence; the newest archived log ends where it begins.
    if (run("select sequence#, first_change# from v$log where thread#=1 and status='CURRENT'", &rows,
            {{kInt, 8}, {kUint, 8}}) != 0)
      return err("current log");
    if (rows.size() != 1) return std::to_string(rows.size()) + " current logs";
    const int64_t seq = rows[0][0].i;
    const uint64_t first = rows[0][1].u;
    if (first > cur)
      return "the current SCN " + scn + " is below the current log's first change " + std::to_string(first);
    if (run("select nvl(max(sequence#), 0) from v$log where thread#=1", &rows, {{kInt, 8}}) != 0 || rows.size() != 1)
      return err("newest log");
    if (rows[0][0].i != seq) return "the current log " + std::to_string(seq) + " is not the newest";
    if (run("select l.bytes/l.blocksize, l.blocksize, l.status, f.member from v$log l, v$logfile f\nwhere f.group# = "
            "l.group# and l.thread#=:1\nand l.sequence#=:2 and f.type='ONLINE' and rownum<2",
            &rows, {{kInt, 8}, {kInt, 8}, {kStr, 64}, {kStr, 520}}, {1, int(seq)}) != 0 ||
        rows.size() != 1 || rows[0][2].s != "CURRENT")
      return "the current log " + std::to_string(seq) + " is not found by its sequence";
    if (run("select sequence#, next_change# from v$archived_log where thread#=1 order by sequence# desc", &rows,
            {{kInt, 8}, {kUint, 8}}) != 0)
      return err("archived logs");
    if (!rows.empty() && (rows[0][0].i != seq - 1 || rows[0][1].u != first))
      return "the newest archived log " + std::to_string(rows[0][0].i) + " ends at " + std::to_string(rows[0][1].u) +
             ", the current log " + std::to_string(seq) + " begins at " + std::to_string(first);
    return "";
  }
};

const std::pair<uint32_t, uint32_t> I{kInt, 8}, U{kUint, 8}, S{kStr, 64}, N{kStr, 520};

}  // namespace

TEST_F(Catalogue, AttributesCharsetsAndScnAsExtractReadsThem) {
  std::vector<Row> rows;
  ASSERT_EQ(run("select thread# from v$instance", &rows, {{kInt, 4}}), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].i, 1);
  ASSERT_EQ(run("select log_mode, supplemental_log_data_min, supplemental_log_data_pk, force_logging from v$database",
                &rows, {S, S, S, S}),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].s + rows[0][1].s + rows[0][2].s + rows[0][3].s, "ARCHIVELOGYESYESYES");
  ASSERT_EQ(run("select PRIMARY_KEY from dba_supplemental_logging", &rows, {S}), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].s, "YES");
  ASSERT_EQ(run("select con_uid from dba_pdbs where pdb_name='PDB1'", &rows, {U}), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].u, 3141592653u);
  ASSERT_EQ(run("select parameter, value from v$nls_parameters\nwhere parameter='NLS_CHARACTERSET' or "
                "parameter='NLS_NCHAR_CHARACTERSET'",
                &rows, {{kStr, 32}, {kStr, 32}}),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 2u);
  std::string chs, nchs;
  for (auto &r : rows) (r[0].s == "NLS_CHARACTERSET" ? chs : nchs) = r[1].s;
  EXPECT_EQ(ks_oci_charset_name2id(&c, chs.c_str()), 873);    // AL32UTF8
  EXPECT_EQ(ks_oci_charset_name2id(&c, nchs.c_str()), 2000);  // AL16UTF16
  ASSERT_EQ(run("select current_scn from v$database", &rows, {U}), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_GT(rows[0][0].u, 1000000u);
}

TEST_F(Catalogue, EveryLogIsFoundBySequenceAndScn) {
  std::vector<Row> arch, rows;
  ASSERT_EQ(
      run("select sequence#, first_change#, next_change# from v$archived_log order by sequence#", &arch, {I, U, U}), 0)
      << ks_oci_get_message();
  ASSERT_GE(arch.size(), 2u) << "the workload switches logs";
  for (const Row &a : arch) {
    uint64_t scn = a[1].u;
    std::string q = "select sequence# from v$archived_log\nwhere thread#=" + std::to_string(1) + " and " +
                    std::to_string(scn) + "<next_change#\nand " + std::to_string(scn) +
                    ">=first_change#\nand standby_dest='NO' and status<>'D'";
    ASSERT_EQ(run(q, &rows, {I}), 0) << ks_oci_get_message();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].i, a[0].i);
    ASSERT_EQ(run("select blocks, block_size, archival_thread#, name\nfrom v$archived_log\nwhere thread#=:1 and "
                  "sequence#=:2 and standby_dest='NO' and status<>'D'",
                  &rows, {I, I, I, N}, {1, int(a[0].i)}),
              0)
        << ks_oci_get_message();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1].i, 512);
    EXPECT_EQ(rows[0][2].i, 1);
    EXPECT_EQ(kstest::read_file(rows[0][3].s).size(), size_t(rows[0][0].i + 1) * 512)
        << "blocks counts the redo blocks, not the header block";
  }
  ASSERT_EQ(run("select current_scn from v$database", &rows, {U}), 0);
  uint64_t cur = rows[0][0].u;
  ASSERT_EQ(run("select nvl(max(sequence#), 0) from v$log where thread#=" + std::to_string(1) + " and " +
                    std::to_string(cur) + " >= first_change#",
                &rows, {I}),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  int cur_seq = int(rows[0][0].i);
  EXPECT_EQ(cur_seq, int(arch.back()[0].i) + 1);
  ASSERT_EQ(run("select l.bytes/l.blocksize, l.blocksize, l.status, f.member from v$log l, v$logfile f\nwhere f.group# "
                "= l.group# and l.thread#=:1\nand l.sequence#=:2 and f.type='ONLINE' and rownum<2",
                &rows, {I, I, S, N}, {1, cur_seq}),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1].i, 512);
  EXPECT_EQ(rows[0][2].s, "CURRENT");
  EXPECT_EQ(kstest::read_file(rows[0][3].s).size(), size_t(rows[0][0].i + 1) * 512)
      << "bytes does not count the header block either";
  // A sequence that does not exist yet: no row.
  ASSERT_EQ(run("select l.bytes/l.blocksize, l.blocksize, l.status, f.member from v$log l, v$logfile f\nwhere f.group# "
                "= l.group# and l.thread#=:1\nand l.sequence#=:2 and f.type='ONLINE' and rownum<2",
                &rows, {I, I, S, N}, {1, cur_seq + 1}),
            0);
  EXPECT_TRUE(rows.empty());
}

TEST_F(Catalogue, DictionaryExportStatements) {
  std::vector<Row> rows;
  const std::string tabcols =
      "select t.obj#, t.property, o.name, c.col#, c.segcol#, c.type#, c.length,\nc.charsetform, c.name, "
      "nvl(c.deflength, 0), c.null$, c.property\nfrom sys.tab$ t, sys.user$ u, sys.obj$ o, sys.col$ c\nwhere t.obj# = "
      "o.obj#\nand o.owner# = u.user#\nand bitand(t.property, 1) = 0\nand bitand(o.flags, 128) = 0\nand "
      "bitand(o.flags, 2) = 0\nand c.obj# = o.obj#\nand c.segcol# > 0\nand u.name = :1\norder by t.obj#, c.segcol#, "
      "c.intcol#\n";
  ASSERT_EQ(run(tabcols, &rows, {I, U, N, I, I, I, I, I, N, I, I, U}, {"OLTP"}), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 7u + 7u + 5u + 3u);
  const Row &nick = rows[2];  // CUSTOMERS.NICK: NVARCHAR2(30), 60 bytes, national form
  EXPECT_EQ(nick[2].s, "CUSTOMERS");
  EXPECT_EQ(nick[3].i, 3);
  EXPECT_EQ(nick[5].i, 1);
  EXPECT_EQ(nick[6].i, 60);
  EXPECT_EQ(nick[7].i, 2);
  EXPECT_EQ(nick[8].s, "NICK");
  EXPECT_FALSE(nick[9].null);
  const std::string one =
      "select o.obj#, o.flags, t.cols, t.property\nfrom sys.obj$ o, sys.tab$ t, sys.user$ u\nwhere t.obj# = "
      "o.obj#\nand u.user# = o.owner#\nand u.name = :1\nand o.name = :2\n";
  for (const char *n : {"TAB$", "OBJ$", "IND$", "ICOL$", "COL$", "CDEF$", "CCOL$", "LOB$", "TABPART$", "TABSUBPART$",
                        "TABCOMPART$", "SEQ$"}) {
    ASSERT_EQ(run(one, &rows, {I, U, I, U}, {"SYS", n}), 0) << ks_oci_get_message();
    EXPECT_EQ(rows.size(), 1u) << n;
  }
  ASSERT_EQ(run(one, &rows, {I, U, I, U}, {"OLTP", "ORDER_LINES"}), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  int objn = int(rows[0][0].i);
  EXPECT_EQ(rows[0][2].i, 5);
  ASSERT_EQ(run("select col#, segcol#, type#, length, charsetform,\nname, nvl(deflength, 0), null$, property\nfrom "
                "sys.col$\nwhere obj# = :1\nand segcol# > 0\norder by segcol#\n",
                &rows, {I, I, I, I, I, N, I, I, U}, {objn}),
            0)
      << ks_oci_get_message();
  EXPECT_EQ(rows.size(), 5u);
  ASSERT_EQ(run("select ic.col#\nfrom sys.icol$ ic, sys.ind$ i\nwhere ic.obj# = i.obj#\nand i.bo# = :1\nand "
                "bitand(i.property, 1) = 1\nand bitand(i.flags, 1) = 0\n",
                &rows, {I}, {objn}),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0].i + rows[1][0].i, 3);
  ASSERT_EQ(run("select cc.col#, cd.type#\nfrom sys.cdef$ cd, sys.ccol$ cc\nwhere cd.obj# = cc.obj#\nand cd.con# = "
                "cc.con#\nand (cd.type# = 2 or cd.type# = 3)\nand cd.enabled is not null\nand cd.obj# = :1\n",
                &rows, {I, I}, {objn}),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1].i, 2);
  ASSERT_EQ(run("select o.obj#, ic.col#\nfrom sys.user$ u, sys.obj$ o, sys.ind$ i, sys.icol$ ic\nwhere ic.obj# = "
                "i.obj#\nand bitand(i.property, 1) = 1\nand i.bo# = o.obj#\nand u.user# = o.owner#\nand u.name = :1\n",
                &rows, {I, I}, {"OLTP"}),
            0)
      << ks_oci_get_message();
  EXPECT_EQ(rows.size(), 4u);
  ASSERT_EQ(run("select o.obj#, cc.col#, cd.type#\nfrom sys.obj$ o, sys.user$ u, sys.cdef$ cd, sys.ccol$ cc\nwhere "
                "cd.obj# = cc.obj#\nand cd.con# = cc.con#\nand (cd.type# = 2 or cd.type# = 3)\nand cd.enabled is not "
                "null\nand cc.obj# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\n",
                &rows, {I, I, I}, {"OLTP"}),
            0)
      << ks_oci_get_message();
  EXPECT_EQ(rows.size(), 4u);
  ASSERT_EQ(run("select s.obj#, o.name\nfrom sys.obj$ o, sys.seq$ s, sys.user$ u\nwhere s.obj# = o.obj#\nand o.owner# "
                "= u.user#\nand u.name = :1\norder by s.obj#\n",
                &rows, {I, N}, {"OLTP"}),
            0)
      << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1].s, "SEQ_ID");
  for (const char *q :
       {"select tp.obj#, tp.bo#\nfrom sys.tabpart$ tp, sys.user$ u, sys.obj$ o\nwhere tp.obj# = o.obj#\nand o.owner# = "
        "u.user#\nand u.name = :1\norder by tp.obj#\n",
        "select sp.obj#, o.obj#\nfrom sys.tabsubpart$ sp, sys.tabcompart$ tp, sys.user$ u, sys.obj$ o\nwhere sp.pobj# "
        "= tp.obj#\nand tp.bo# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\norder by sp.obj#\n",
        "select t.obj#, t.bobj#\nfrom sys.tab$ t, sys.user$ u, sys.obj$ o\nwhere bitand(t.property, 512) = 512\nand "
        "t.obj# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\norder by t.obj#\n",
        "select i.obj#, i.bo#\nfrom sys.ind$ i, sys.user$ u, sys.obj$ o\nwhere i.type# = 4\nand i.obj# = o.obj#\nand "
        "o.owner# = u.user#\nand u.name = :1\norder by i.obj#\n",
        "select l.ind#, l.obj#\nfrom sys.obj$ o, sys.user$ u, sys.lob$ l\nwhere bitand(l.property, 2050) = 0\nand "
        "l.obj# = o.obj#\nand o.owner# = u.user#\nand u.name = :1\norder by l.ind#\n"}) {
    ASSERT_EQ(run(q, &rows, {I, I}, {"OLTP"}), 0) << ks_oci_get_message() << "\n" << q;
    EXPECT_TRUE(rows.empty()) << q;  // no partitions, IOTs or LOBs in this model
  }
  // The same per table, as the export of one table asks them.
  for (const char *q :
       {"select obj# from sys.tabpart$ where bo# = :1",
        "select sp.obj#\nfrom sys.tabcompart$ tp, sys.tabsubpart$ sp\nwhere sp.pobj# = tp.obj#\nand tp.bo# = :1\n",
        "select obj# from sys.tab$ where bitand(property, 512) = 512 and bobj# = :1",
        "select obj# from sys.ind$ where type# = 4 and bo# = :1",
        "select ind# from sys.lob$ where bitand(property, 2050) = 0 and obj# = :1"}) {
    ASSERT_EQ(run(q, &rows, {I}, {objn}), 0) << ks_oci_get_message() << "\n" << q;
    EXPECT_TRUE(rows.empty()) << q;
  }
  ASSERT_EQ(run("select obj#, col# from sys.lob$ where bitand(property, 2048)=2048", &rows, {I, I}), 0)
      << ks_oci_get_message();
  EXPECT_TRUE(rows.empty());
}

TEST_F(Catalogue, ReadsWhileTheSimulatorWrites) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ks_sim_db db;
    int rc = db.open(home.path() + "db", "SRC");
    ks_oltp_cfg_t o;
    o.txns = 600;
    o.seed = 7;
    if (rc == 0) rc = ks_oltp_run(db, o);
    if (rc == 0) rc = db.close();
    _exit(rc == 0 ? 0 : 1);
  }
  std::vector<Row> rows;
  uint64_t last = 0;
  int st_rc = 0, done = 0;
  for (int k = 0; k < 100000 && !done; k++) {
    done = waitpid(pid, &st_rc, WNOHANG) == pid;
    ASSERT_EQ(run("select current_scn from v$database", &rows, {U}), 0) << ks_oci_get_message();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_GE(rows[0][0].u, last) << "the SCN never goes back";
    last = rows[0][0].u;
    // The current SCN and the online logs in one statement, hence one state: read in
    // two, the writer may switch past every online log in between (the older logs are
    // then found archived, as the test above reads them).
    ASSERT_EQ(run("select nvl(max(l.sequence#), 0) from v$log l, v$database d\nwhere l.thread#=1 and d.current_scn >= "
                  "l.first_change#",
                  &rows, {I}),
              0)
        << ks_oci_get_message();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_GT(rows[0][0].i, 0);
  }
  if (!done) {
    ASSERT_EQ(waitpid(pid, &st_rc, 0), pid);
  }
  EXPECT_TRUE(WIFEXITED(st_rc) && WEXITSTATUS(st_rc) == 0);
}

// Every state of the log catalogue a reader can see, not only those a reader happens to
// meet: the simulator stops before each of its statements that starts with nothing
// uncommitted, that is after each change that became visible, and the catalogue is read
// then, through liborasim on its own connection. Switches of full logs, forced switches
// between transactions, and switches in a row on a quiet source.
TEST_F(Catalogue, EveryStateOfTheLogsHoldsTheCurrentScn) {
  ks_sim_db db;
  ASSERT_EQ(db.open(home.path() + "db", "SRC"), 0);
  db.set_sync(false, 0);
  struct Probe {
    Catalogue *t;
    sqlite3 *db;
    uint64_t last = 0;
    int states = 0;
    std::string fault;
  } p{this, db.sql()};
  auto probe = [](unsigned, void *ctx, void *, void *) -> int {
    auto *pr = static_cast<Probe *>(ctx);
    if (pr->fault.empty() && sqlite3_get_autocommit(pr->db)) {
      pr->states++;
      pr->fault = pr->t->log_catalogue_fault(&pr->last);
    }
    return 0;
  };
  ASSERT_EQ(sqlite3_trace_v2(db.sql(), SQLITE_TRACE_STMT, probe, &p), SQLITE_OK);
  const uint64_t switches = db.writer().switches();
  ks_oltp_cfg_t o;
  o.txns = 200;
  o.seed = 11;
  o.switch_every = 30;
  ASSERT_EQ(ks_oltp_run(db, o), 0);
  for (int k = 0; k < 3; k++) ASSERT_EQ(db.switch_log(), 0);
  const uint64_t made = db.writer().switches() - switches;
  EXPECT_GE(made, 8u);
  EXPECT_EQ(p.fault, "");
  EXPECT_GE(uint64_t(p.states), made);
  sqlite3_trace_v2(db.sql(), 0, nullptr, nullptr);
  ASSERT_EQ(db.close(), 0);
  EXPECT_EQ(log_catalogue_fault(&p.last), "");
}

// The disk group queries extract issues run on every database (no rows without disk
// groups) and, on one keeping its logs in a group, give its disks and resolve the online
// logs' alias names and the archives' system names to the files the group holds.
TEST_F(Catalogue, DiskGroupsAndAliasesAsExtractReadsThem) {
  const std::string groups =
      "select dg.group_number, dg.type, dg.block_size, dg.allocation_unit_size,\ndg.name, dsk.disk_number, "
      "dsk.path\nfrom v$asm_diskgroup dg, v$asm_disk dsk\nwhere dg.group_number = dsk.group_number\nand "
      "dg.state='CONNECTED'\norder by dg.group_number, dsk.disk_number\n";
  const auto alias = [](int g, const std::string &name) {
    return "select file_number from v$asm_alias\nwhere group_number=" + std::to_string(g) + " and name='" + name + "'";
  };
  const std::vector<std::pair<uint32_t, uint32_t>> types = {I, S, I, I, S, I, N};
  std::vector<Row> rows;
  ASSERT_EQ(run(groups, &rows, types), 0) << ks_oci_get_message();
  EXPECT_TRUE(rows.empty());
  ASSERT_EQ(run(alias(1, "group_1.log"), &rows, {I}), 0) << ks_oci_get_message();
  EXPECT_TRUE(rows.empty());
  ks_oci_disconnect(&c);

  ks_db_cfg_t cfg;
  cfg.dir = home.path() + "asm";
  cfg.redo.log_blocks = 256;
  cfg.redo.sync = false;
  cfg.asm_grp.name = "data";
  cfg.asm_grp.copies = 2;
  cfg.asm_grp.au = 64 << 10;
  cfg.asm_arch = "fra";
  {
    ks_sim_db db;
    ASSERT_EQ(db.create(cfg), 0) << ks_log_get_message();
    ks_oltp_cfg_t o;
    o.txns = 60;
    o.switch_every = 20;
    ASSERT_EQ(ks_oltp_run(db, o), 0);
    ASSERT_EQ(db.close(), 0);
  }
  ASSERT_EQ(ks_oci_connect(&c, "kestro", "secret", ("sim:" + cfg.dir + "/ORASIM.db").c_str(), 1), 0);
  ASSERT_EQ(run(groups, &rows, types), 0) << ks_oci_get_message();
  ASSERT_EQ(rows.size(), 6u);
  for (size_t i = 0; i < rows.size(); i++) {
    const Row &r = rows[i];
    const int g = int(i / 3) + 1, d = int(i % 3);
    EXPECT_EQ(r[0].i, g);
    EXPECT_EQ(r[1].s, "NORMAL");
    EXPECT_EQ(r[2].i, 4096);
    EXPECT_EQ(r[3].i, 65536);
    EXPECT_EQ(r[4].s, g == 1 ? "DATA" : "FRA");
    EXPECT_EQ(r[5].i, d);
    EXPECT_EQ(r[6].s, cfg.dir + "/asm/" + (g == 1 ? "data_" : "fra_") + std::to_string(d) + ".img");
  }
  ASSERT_EQ(run("select member from v$logfile order by group#", &rows, {N}), 0);
  ASSERT_EQ(rows.size(), 3u);
  std::vector<int64_t> files;
  for (size_t i = 0; i < rows.size(); i++) {
    const std::string name = "group_" + std::to_string(i + 1) + ".log";
    EXPECT_EQ(rows[i][0].s, "+DATA/ORASIM/ONLINELOG/" + name);
    std::vector<Row> f;
    ASSERT_EQ(run(alias(1, name), &f, {I}), 0) << ks_oci_get_message();
    ASSERT_EQ(f.size(), 1u);
    files.push_back(f[0][0].i);
  }
  EXPECT_EQ(files, (std::vector<int64_t>{256, 257, 258}));
  ASSERT_EQ(run("select sequence#, name from v$archived_log order by sequence#", &rows, {I, N}), 0);
  ASSERT_GE(rows.size(), 3u);
  for (size_t i = 0; i < rows.size(); i++) {
    // Archives are numbered in their own group from the first user file on.
    const std::string prefix =
        "+FRA/ORASIM/ARCHIVELOG/thread_1_seq_" + std::to_string(rows[i][0].i) + "." + std::to_string(256 + i) + ".";
    EXPECT_EQ(rows[i][1].s.substr(0, prefix.size()), prefix);
    std::vector<Row> f;
    ASSERT_EQ(run(alias(2, rows[i][1].s.substr(23)), &f, {I}), 0) << ks_oci_get_message();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0][0].i, int64_t(256 + i));
  }
}
