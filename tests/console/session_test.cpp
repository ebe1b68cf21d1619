// Scripted console sessions against the built kesh: what is saved reads back exactly,
// the prompt tracks unsaved edits, rejected commands change nothing, multi-line
// commands wait for their terminator, Ctrl+C and end of input behave.
#include "tests/console/session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "lib/cfg/cfg.h"
#include "tests/testutil.h"

namespace {

using kstest::prompts_of;
using kstest::run_kesh;

const char kFullConfig[] =
    "add db SRC (storage_asm=yes, remote=yes, cdb=cdb1, pdb='sales', user=kes, password=\"s3;cr/t\")\n"
    "  (instance_name=orcl1, thread=1, host=10.0.0.1, port=1521, service=orcl, tns=ORCL1, agent_port=7000)\n"
    "  (instance_name=orcl2, thread=2, host=10.0.0.2, port=1521, service=orcl, tns=ORCL2, agent_port=7001);\n"
    "add db TGT (user=rep, password=hidden2)\n"
    "  (instance_name=tgt1, thread=1, host=tgt.example, port=1522, service=tsvc, tns=TGT);\n"
    "add unit u1;\n"
    "add extract ext1 (unit=u1, db=SRC, next=app1, max_trans=1000, trans_size=64,\n"
    "  interval=5, net_timeout=30, restart=3,\n"
    "  tables=(scott.emp, scott.dept, hr.*), exclude=(scott.bonus),\n"
    "  mapping=(scott.emp=hist.emp_h, \"Mixed\".*=MIX.*))\n"
    "/\n"
    "add apply app1 (unit=u1, db=TGT, prev=ext1, max_trans=50, interval=1, net_timeout=10, sync_sequence=yes);\n"
    "save config\n"
    "exit\n";

const char kReadBack[] =
    "list db\n"
    "list unit\n"
    "desc db SRC\n"
    "desc db TGT\n"
    "desc extract u1.ext1\n"
    "desc apply u1.app1\n";

const char kReadBackOut[] =
    "KESH> Database: SRC\nDatabase: TGT\n2 rows listed\n\n\nCommand \"list\" complete.\n\n"
    "KESH> Unit: u1\n  Extract: ext1\n    Apply: app1\n1 rows listed\n\n\nCommand \"list\" complete.\n\n"
    "KESH> Database: SRC\n   Storage: ASM\n      Node: remote\n       CDB: CDB1\n       PDB: SALES\n"
    "      User: kes\n  Password: ******\n"
    "Instance: orcl1\n    thread: 1\n      link: 10.0.0.1:1521/orcl\n       tns: ORCL1\nagent port: 7000\n"
    "Instance: orcl2\n    thread: 2\n      link: 10.0.0.2:1521/orcl\n       tns: ORCL2\nagent port: 7001\n"
    "\nCommand \"desc\" complete.\n\n"
    "KESH> Database: TGT\n   Storage: FILE\n      Node: local\n       CDB: \n       PDB: \n"
    "      User: rep\n  Password: ******\n"
    "Instance: tgt1\n    thread: 1\n      link: tgt.example:1522/tsvc\n       tns: TGT\nagent port: 0\n"
    "\nCommand \"desc\" complete.\n\n"
    "KESH> Unit: u1\n\nExtract: ext1\n     Program: extract\n   Source DB: SRC\n   Target DB: \n"
    "Previous COM: \n    Next COM: app1\nParameter:\nMax Transactions: 1000\nTransaction Size: 64\n"
    "  Idle Wait Time: 5\n    Net Time Out: 30\n   Restart Limit: 3\n  Block Checksum: on\n"
    "      Trail Size: 256 MiB\n   Sync Sequence: no\n"
    "Include Tables:\n\"SCOTT\".\"EMP\"\n\"SCOTT\".\"DEPT\"\n\"HR\".\"*\"\n"
    "Exclude Tables:\n\"SCOTT\".\"BONUS\"\n"
    "Mapping Tables:\n\"SCOTT\".\"EMP\"=\"HIST\".\"EMP_H\"\n\"Mixed\".\"*\"=\"MIX\".\"*\"\n"
    "\nCommand \"desc\" complete.\n\n"
    "KESH> Unit: u1\n\n  Apply: app1\n     Program: apply\n   Source DB: \n   Target DB: TGT\n"
    "Previous COM: ext1\n    Next COM: \nParameter:\nMax Transactions: 50\nTransaction Size: 0\n"
    "  Idle Wait Time: 1\n    Net Time Out: 10\n   Restart Limit: 10\n   Sync Sequence: yes\n"
    "Include Tables:\nExclude Tables:\nMapping Tables:\n"
    "\nCommand \"desc\" complete.\n\n"
    "KESH> ";

// The stored configuration, opened the way the processes open it.
struct Stored {
  Stored() { ok = ks_cfg_open_file(&cfg, omsg) == 0; }
  ~Stored() {
    cfg.flag &= ~KS_CFG_MODIFIED;
    ks_cfg_close_file(&cfg, omsg);
  }
  ks_cfg_t cfg{};
  char omsg[KS_CFG_MSGSZ];
  bool ok = false;
};

class Session : public ::testing::Test {
 protected:
  kstest::TempHome home;
};

TEST_F(Session, SavedConfigurationReadsBackExactlyInANewSession) {
  auto w = run_kesh(kFullConfig);
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.err, "");
  for (const char *cmd : {"add", "add", "add", "add", "add", "save"})
    EXPECT_NE(w.out.find(std::string("Command \"") + cmd + "\" complete."), std::string::npos);
  EXPECT_EQ(w.out.find("execute error"), std::string::npos) << w.out;

  auto r = run_kesh(kReadBack);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kReadBackOut);

  // The password is stored, quotes stripped, terminators inside quotes kept; never shown.
  std::string file = kstest::read_file(home.file("config/config.db"));
  EXPECT_NE(file.find(std::string("s3;cr/t\0", 8)), std::string::npos);
  EXPECT_EQ(r.out.find("s3;cr"), std::string::npos);
  EXPECT_EQ(w.out.find("hidden2"), std::string::npos);

  // A "*" table sets the flag bit of its item; instances keep their order.
  Stored st;
  ASSERT_TRUE(st.ok) << st.omsg;
  int c = ks_cfg_lookup_com(&st.cfg, "u1", "ext1");
  ASSERT_GE(c, 0);
  auto *com = static_cast<ks_cfg_fcom_t *>(ks_cfg_item(&st.cfg, uint32_t(c)));
  int all = 0, items = 0;
  for (uint32_t ref = com->in_num; ref != KS_CFG_NONE; ref = ks_cfg_next(&st.cfg, ref), ++items) {
    auto *inc = static_cast<ks_cfg_finc_t *>(ks_cfg_item(&st.cfg, ref));
    EXPECT_EQ((inc->flag & KS_CFG_SET_ALL) != 0, std::strcmp(inc->table, "*") == 0) << inc->table;
    all += (inc->flag & KS_CFG_SET_ALL) != 0;
  }
  EXPECT_EQ(items, 3);
  EXPECT_EQ(all, 1);
  auto *map = static_cast<ks_cfg_fmap_t *>(ks_cfg_item(&st.cfg, ks_cfg_next(&st.cfg, com->map_num)));
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->flag & KS_CFG_SET_ALL, KS_CFG_SET_ALL);
  EXPECT_EQ(com->com_typ, uint32_t(KS_CFG_COM_EXTRACT));
  // Each unit has its four directories.
  for (const char *d : {"log/u1", "dict/u1", "data/u1", "error/u1"}) {
    struct stat sb;
    EXPECT_TRUE(stat(home.file(d).c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) << d;
  }
}

TEST_F(Session, PromptShowsUnsavedChangesUntilSaveOrReset) {
  auto r = run_kesh(
      "list db\n"
      "add unit u1;\n"      // -> *
      "list unit\n"         // stays *
      "reset config\n"      // -> plain
      "add unit 'bad/';\n"  // refused: stays plain
      "add unit u2;\n"      // -> *
      "save config\n"       // -> plain
      "delete unit u2\n"    // -> *
      "reset config\n"
      "modify unit u2 (name=u3);\n"
      "save config\n");
  ASSERT_EQ(r.status, 0);
  std::vector<std::string> want = {"KESH> ",  "KESH> ", "*KESH> ", "*KESH> ", "KESH> ",  "KESH> ",
                                   "*KESH> ", "KESH> ", "*KESH> ", "KESH> ",  "*KESH> ", "KESH> "};
  EXPECT_EQ(prompts_of(r.out), want) << r.out;
  auto l = run_kesh("list unit\n");
  EXPECT_NE(l.out.find("Unit: u3\n1 rows listed\n"), std::string::npos) << l.out;
}

TEST_F(Session, SaveWithoutConfigWordIsRefusedAndWritesNothing) {
  auto r = run_kesh("add unit u1;\nsave\nsave conf\nexit\n");
  EXPECT_EQ(r.err, "Invalid \"save\" command\nInvalid \"save\" command\n");
  EXPECT_NE(r.out.find("\nCommand \"save\" execute error\n\n*KESH> "), std::string::npos) << r.out;
  auto l = run_kesh("list unit\n");
  EXPECT_NE(l.out.find("KESH> 0 rows listed\n"), std::string::npos) << l.out;
  EXPECT_FALSE(kstest::file_exists(home.file("config/config.db.tmp")));
}

TEST_F(Session, RejectedCommandsPrintTheirMessageAndChangeNothing) {
  ASSERT_EQ(run_kesh("add unit u1;\nsave config\n").status, 0);
  auto r = run_kesh(
      "frobnicate all\n"
      "add widget w1;\n"
      "list tables\n"
      "add db X (colour=red);\n"
      "add db X (cdb=A) (instance_name=i1, port=12x);\n"
      "add db X (cdb=A) (instance_name=i1, shoe=9);\n"
      "add db X (cdb=A, (x);\n"
      "add db X (user=an_extremely_long_user_name_over_31);\n"
      "add extract e1 (unit=u1, tables=(scott));\n"
      "add extract e1 (unit=u1, mapping=(a.b=c));\n"
      "add extract e1 (unit=u1, mapping=(a.*=c.d));\n"
      "add apply a1 (unit=u1, trans_size=5);\n"
      "add extract e1 (unit=u1, t=1);\n"
      "add extract e1 (unit=nosuch);\n"
      "modify db NOPE (user=x);\n"
      "modify unit u1 (title=u2);\n"
      "delete db NOPE\n"
      "desc extract u1.nope\n"
      "desc db\n"
      "list db\n"
      "list unit\n");
  EXPECT_EQ(r.err,
            "Unknown component type \"widget\".\n"
            "Unknown component type \"tables\".\n"
            "Invalid database parameter \"colour\"\n"
            "Invalid instance parameter \"port=12x\"\n"
            "Invalid instance parameter \"shoe\"\n"
            "Invalid database parameter \"(cdb=A, (x)\"\n"
            "Invalid database parameter \"user=an_extremely_long_user_name_over_31\"\n"
            "Invalid parameter \"scott\"\n"
            "Invalid parameter \"a.b=c\"\n"
            "Invalid parameter \"a.*=c.d\"\n"
            "Invalid parameter \"trans_size\"\n"
            "Invalid parameter \"t\"\n"
            "Unit \"nosuch\" not found\n"
            "Database \"NOPE\" not found\n"
            "Invalid unit parameter\n(title=u2)\n"
            "Database \"NOPE\" not found\n"
            "Component \"u1\".\"nope\" not found\n"
            "No database name input\n");
  EXPECT_NE(r.out.find("KESH> \nInvalid command \"frobnicate\"\n\nKESH> "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("KESH> 0 rows listed\n\n\nCommand \"list\" complete."), std::string::npos);
  EXPECT_NE(r.out.find("KESH> Unit: u1\n1 rows listed\n"), std::string::npos);
  EXPECT_EQ(r.out.find("*KESH>"), std::string::npos) << "a refused command marked the buffer modified";
}

TEST_F(Session, MultiLineAddWaitsForItsTerminatorWhileListRunsAtOnce) {
  kstest::KeshSession s;
  ASSERT_TRUE(s.wait_for("KESH> ", 10));
  s.write("list db\n");
  ASSERT_TRUE(s.wait_for("Command \"list\" complete.", 10)) << s.out();
  size_t mark = s.out().size();
  s.write("add unit\n");
  s.write("  u9\n");
  s.pump(0.3);
  EXPECT_EQ(s.out().find("Command", mark), std::string::npos) << "add ran before its terminator";
  s.write(";\n");
  ASSERT_TRUE(s.wait_for("Command \"add\" complete.", 10, mark)) << s.out() << s.err();
  s.write("list unit\n");
  EXPECT_TRUE(s.wait_for("Unit: u9\n", 10, mark));
  EXPECT_EQ(s.finish(), 0);
}

TEST_F(Session, InterruptAbandonsThePartialCommand) {
  kstest::KeshSession s;
  ASSERT_TRUE(s.wait_for("KESH> ", 10));
  s.write("add db LOST (cdb=A)\n");
  for (int i = 0; i < 200 && s.unread_input() > 0; ++i) s.pump(0.01);
  s.pump(0.05);
  kill(s.pid(), SIGINT);
  ASSERT_TRUE(s.wait_for("CTRL+C Interrupt input.\nKESH> ", 10)) << s.out();
  s.write("list db\n");
  ASSERT_TRUE(s.wait_for("rows listed", 10));
  EXPECT_NE(s.out().find("0 rows listed"), std::string::npos) << s.out();
  EXPECT_EQ(s.finish(), 0);
  EXPECT_EQ(s.err(), "");
}

TEST_F(Session, EndOfInputLeavesLikeExitAndRunsAFinalLine) {
  auto r = run_kesh("add unit u1;\nlist unit");  // no newline at the end
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Unit: u1\n1 rows listed"), std::string::npos) << r.out;
  // Unsaved edits are lost, as at exit.
  auto l = run_kesh("list unit\n");
  EXPECT_NE(l.out.find("0 rows listed"), std::string::npos);
  // An add never terminated is not run.
  auto a = run_kesh("add unit u2\n");
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.out, "KESH> ");
  EXPECT_NE(a.err.find("not ended"), std::string::npos);
}

TEST_F(Session, HelpAndExitAreExact) {
  auto r = run_kesh("help\nexit\nlist db\n");
  EXPECT_EQ(r.out,
            "KESH> help   - print help message\nstart  - start manager, extract, apply server, etc.\n"
            "stop   - stop manager, extract, apply server, etc.\nadd    - add database, unit, component, etc.\n"
            "modify - modify database, unit, component, etc.\ndelete - delete database, unit, component, etc.\n"
            "save   - save config data\nreload - reload config to memory\nreset  - discard the config change\n"
            "list   - list config information\ndesc   - describe component detail\n"
            "info   - status, position and lag of the components\n\n"
            "\nCommand \"help\" complete.\n\nKESH> ");
}

TEST_F(Session, ModifyChangesOnlyWhatItNames) {
  ASSERT_EQ(run_kesh(kFullConfig).status, 0);
  auto r = run_kesh(
      "modify db SRC (database_name=SRC2, storage_asm=no, instance delete orcl1,\n"
      "  instance add (instance_name=orcl3, thread=3, host=h3, port=1, service=s3));\n"
      "modify extract u1.ext1 (max_trans=7, restart=no, block_checksum=no, sync_sequence=yes, trail_size=4, add "
      "tables=(scott.salgrade), delete "
      "exclude=(scott.bonus),\n"
      "  delete mapping=(\"Mixed\".*=MIX.*), db=SRC2);\n"
      "modify apply u1.ext1 (max_trans=1);\n"
      "modify extract u1.ext1 (delete tables=(no.such));\n"
      "delete apply u1.ext1\n"
      "desc db SRC2\n"
      "desc extract u1.ext1\n"
      "save config\n");
  EXPECT_EQ(r.err,
            "Component \"u1\".\"ext1\" is not an apply\n"
            "Include set item \"NO\".\"SUCH\" not found\n"
            "Component \"u1\".\"ext1\" is not an apply\n");
  EXPECT_NE(r.out.find("Database: SRC2\n   Storage: FILE\n      Node: remote\n       CDB: CDB1\n       PDB: SALES\n"
                       "      User: kes\n  Password: ******\n"
                       "Instance: orcl2\n    thread: 2\n      link: 10.0.0.2:1521/orcl\n       tns: ORCL2\n"
                       "agent port: 7001\n"
                       "Instance: orcl3\n    thread: 3\n      link: h3:1/s3\n       tns: \nagent port: 0\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("   Source DB: SRC2\n"), std::string::npos);
  EXPECT_NE(r.out.find("Max Transactions: 7\nTransaction Size: 64\n  Idle Wait Time: 5\n    Net Time Out: 30\n"
                       "   Restart Limit: off\n  Block Checksum: off\n      Trail Size: 4 MiB\n   Sync Sequence: yes\n"
                       "Include Tables:\n\"SCOTT\".\"EMP\"\n\"SCOTT\".\"DEPT\"\n\"HR\".\"*\"\n\"SCOTT\".\"SALGRADE\"\n"
                       "Exclude Tables:\nMapping Tables:\n\"SCOTT\".\"EMP\"=\"HIST\".\"EMP_H\"\n\n"),
            std::string::npos)
      << r.out;
}

TEST_F(Session, UnitDirectoriesFollowRenameAndDelete) {
  auto r = run_kesh(
      "add unit u1;\n"
      "add unit '../escape';\n"
      "modify unit u1 (name=u2);\n"
      "add unit a_unit_name_that_is_longer_than_31_chars;\n"
      "add unit '-u';\n"
      "add unit 'a b';\n"
      "add extract -c (unit=u2);\n"
      "add apply 'a\tb' (unit=u2);\n"
      "modify unit u2 (name='-x');\n"
      "list unit\n");
  // Names end up as program arguments: a blank or a leading "-" would change the command.
  EXPECT_EQ(r.err,
            "Invalid unit name \"../escape\"\nInvalid unit name \"-u\"\nInvalid unit name \"a b\"\n"
            "Invalid component name \"-c\"\nInvalid component name \"a\tb\"\nInvalid unit parameter\n(name='-x')\n");
  for (const char *d : {"log/", "dict/", "data/", "error/"}) {
    EXPECT_FALSE(kstest::file_exists(home.file(std::string(d) + "u1"))) << d;
    EXPECT_TRUE(kstest::file_exists(home.file(std::string(d) + "u2"))) << d;
    EXPECT_TRUE(kstest::file_exists(home.file(std::string(d) + "a_unit_name_that_is_longer_than")));
  }
  EXPECT_FALSE(kstest::file_exists(home.file("escape")));
  EXPECT_NE(r.out.find("Unit: u2\nUnit: a_unit_name_that_is_longer_than\n2 rows listed\n"), std::string::npos) << r.out;
  auto d = run_kesh("add unit u5;\ndelete unit u5\n");
  EXPECT_EQ(d.err, "");
  for (const char *dir : {"log/u5", "dict/u5", "data/u5"}) EXPECT_FALSE(kstest::file_exists(home.file(dir))) << dir;
}

TEST_F(Session, OverlongInputIsRefused) {
  std::string big = "add unit " + std::string(70000, 'x') + ";\nlist unit\n";
  auto r = run_kesh(big);
  EXPECT_NE(r.out.find("Command text too long.\n"), std::string::npos);
  EXPECT_NE(r.out.find("0 rows listed"), std::string::npos);
}

}  // namespace
