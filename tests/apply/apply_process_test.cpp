// The apply program as the manager runs it on a temporary home: command line, start-up
// against the stand-in target (checkpoint table created), replay of trail files that
// grow while it runs, a stop through the queue, a restart that continues after the
// checkpoint, -reset / -scn -xid -fno positioning, the checkpoint table of old gaining its
// thread column, and the merged trails of a clustered source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "apply/apply.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ora/ora_number.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "tests/apply/trail_build.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

using tb::Col;

namespace {

bool wait_until(const std::function<bool()> &pred, int ms = 20000) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return pred();
}

std::string num(long v) {
  uint8_t b[KS_ORA_NUMBER_MAX];
  int n = ks_ora_number_from_int64(v, b);
  return std::string(reinterpret_cast<char *>(b), static_cast<size_t>(n));
}

std::string ins(long id) {
  return tb::lcr(1, "KS", "T", {{"ID", 2, 22, num(id)}, {"NAME", 1, 30, "r" + std::to_string(id)}});
}

class ApplyProcess : public ::testing::Test {
 protected:
  kstest::TempHome home;
  std::unique_ptr<kstest::IpcGuard> guard;
  pid_t mgr = -1;
  sighandler_t old_ = SIG_DFL;

  static std::string lib() { return std::string(KS_LIB_DIR) + "/liborasim.so"; }

  void SetUp() override {
    if (access(lib().c_str(), R_OK) != 0) GTEST_SKIP() << "stand-in OCI library not built";
    ks_reset_home_dir();
    old_ = signal(KS_CMD_SIGNAL, SIG_IGN);
    setenv("KESTRO_OCI_LIB", lib().c_str(), 1);
    unsetenv("ORASIM_HOME");
    for (const char *d : {"data/U1", "error/U1", "log/U1", "sim"}) mkdir(home.file(d).c_str(), 0755);
    ASSERT_EQ(symlink(KS_BIN_DIR "/kesmon", home.file("bin/kesmon").c_str()), 0);
    ASSERT_EQ(symlink(KS_BIN_DIR "/apply", home.file("bin/apply").c_str()), 0);
    write_config();
    guard = std::make_unique<kstest::IpcGuard>();
    ks_shm_set_attach_wait(1);
    // The target: an empty database file served under the service name TGT.
    kstest::write_file(home.file("sim/TGT.db"), "");
    sql("create table \"KS.T\" (ID INTEGER PRIMARY KEY, NAME TEXT)");
    sql("create table \"KS$COLUMNS\" (OWNER TEXT, TABLE_NAME TEXT, COLUMN_NAME TEXT, COLUMN_ID INTEGER, "
        "DATA_TYPE TEXT, DATA_LENGTH INTEGER, NULLABLE TEXT)");
    sql("insert into \"KS$COLUMNS\" values ('KS','T','ID',1,'NUMBER',22,'N'), ('KS','T','NAME',2,'VARCHAR2',30,'Y')");
    mgr = start_manager();
    ASSERT_TRUE(ready());
  }
  void TearDown() override {
    if (shm_inf.status == 1) {
      auto *ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
      for (int i = 0; ps != nullptr && i < 16; ++i)
        if (ps[i].pid > 0) kill(ps[i].pid, SIGKILL);
    }
    if (mgr > 0) {
      kill(mgr, SIGKILL);
      waitpid(mgr, nullptr, 0);
    }
    guard.reset();
    ks_shm_set_attach_wait(5);
    signal(KS_CMD_SIGNAL, old_);
  }

  int threads_ = 0;  // redo threads of the upstream extract's source, 0: single-instance

  void write_config() {
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_t cfg;
    ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0);
    ks_cfg_fh_t *fh = ks_cfg_file_header(&cfg);
    fh->shm_sz = 32 * 1024 * 1024;
    fh->max_procs = 16;
    ks_cfg_fdb_t db{};
    std::strcpy(db.name, "TGT");
    std::strcpy(db.dbuser, "KS");
    std::strcpy(db.passwd, "pw");
    ASSERT_EQ(ks_cfg_add_db(&cfg, &db, omsg), 0) << omsg;
    ks_cfg_finst_t in{};
    std::strcpy(in.inst_name, "T1");
    std::strcpy(in.vip, "localhost");
    std::strcpy(in.svc_name, "TGT");
    in.vport = 1521;
    ASSERT_EQ(ks_cfg_add_inst(&cfg, "TGT", &in, omsg), 0) << omsg;
    ks_cfg_funit_t u{};
    std::strcpy(u.un_name, "U1");
    ASSERT_EQ(ks_cfg_add_unit(&cfg, &u, omsg), 0) << omsg;
    if (threads_ > 0) {
      // A clustered source, its instances given out of thread order, and its extract.
      ks_cfg_fdb_t src{};
      std::strcpy(src.name, "SRC");
      std::strcpy(src.dbuser, "KS");
      std::strcpy(src.passwd, "pw");
      ASSERT_EQ(ks_cfg_add_db(&cfg, &src, omsg), 0) << omsg;
      for (int t = threads_; t >= 1; t--) {
        ks_cfg_finst_t si{};
        std::snprintf(si.inst_name, sizeof si.inst_name, "SRC%d", t);
        std::strcpy(si.vip, "localhost");
        std::strcpy(si.svc_name, "SRC");
        si.vport = 1521;
        si.thrd = static_cast<uint32_t>(t);
        ASSERT_EQ(ks_cfg_add_inst(&cfg, "SRC", &si, omsg), 0) << omsg;
      }
    }
    // The extract EX (of a clustered source only) and the apply AP it feeds.
    for (uint32_t type : {KS_CFG_COM_EXTRACT, KS_CFG_COM_APPLY}) {
      if (type == KS_CFG_COM_EXTRACT && threads_ == 0) continue;
      ks_cfg_fcom_t c{};
      const bool ex = type == KS_CFG_COM_EXTRACT;
      std::strcpy(c.name, ex ? "EX" : "AP");
      std::strcpy(ex ? c.src_db : c.tgt_db, ex ? "SRC" : "TGT");
      std::strcpy(ex ? c.next : c.prev, ex ? "AP" : "EX");
      c.com_typ = type;
      ASSERT_EQ(ks_cfg_add_com(&cfg, "U1", &c, omsg), 0) << omsg;
    }
    ks_cfg_fparm_t p{};
    p.idle_wait = 1;
    ASSERT_EQ(ks_cfg_add_param(&cfg, "U1", "AP", &p, omsg), 0) << omsg;
    cfg.flag |= KS_CFG_MODIFIED;
    ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0);
  }
  pid_t start_manager() {
    std::string path = home.file("bin/kesmon");
    std::string me = std::to_string(getpid());
    pid_t pid = fork();
    if (pid == 0) {
      setenv("KESMON_GRACE_MS", "3000", 1);
      setenv("KESMON_RESTART_MS", "200", 1);
      execl(path.c_str(), path.c_str(), "-id", me.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    return pid;
  }
  bool ready() {
    return wait_until([&] {
      if (ks_shm_attach() != 0) return false;
      ks_sysinfo_t *si = ks_shm_get_sys_ptr();
      if (si->pid != mgr) {
        ks_shm_detach();
        return false;
      }
      return __atomic_load_n(&si->status, __ATOMIC_ACQUIRE) == KS_SHM_STATUS_READY;
    });
  }
  int command(int code, const char *param = "") {
    uint8_t msg[KS_CMD_BUFSZ];
    int n = ks_ps_make_command(msg, code, getpid(), "U1", "AP", param);
    if (ks_ps_send(ks_shm_get_sys_ptr()->pid, msg, n) != 0) return -1;
    int result = -1;
    wait_until(
        [&] {
          uint8_t r[KS_CMD_BUFSZ];
          int rc;
          if (ks_shm_deq(getpid(), sizeof r, r, &rc) != 4) return false;
          result = static_cast<int>(ks::load_be32(r));
          return true;
        },
        30000);
    return result;
  }
  bool apply_running() {
    auto *ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
    for (int i = 0; i < 16; ++i)
      if (ps[i].pid > 0 && kill(ps[i].pid, 0) == 0) return true;
    return false;
  }
  void sql(const std::string &text) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(home.file("sim/TGT.db").c_str(), &db), SQLITE_OK);
    char *err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
  }
  std::string query(const std::string &text) {
    sqlite3 *db = nullptr;
    std::string out;
    if (sqlite3_open_v2(home.file("sim/TGT.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return "?";
    sqlite3_stmt *st = nullptr;
    // Rows joined with ";", their columns with "|".
    if (sqlite3_prepare_v2(db, text.c_str(), -1, &st, nullptr) == SQLITE_OK)
      for (int r = 0; sqlite3_step(st) == SQLITE_ROW; r++) {
        if (r > 0) out += ";";
        for (int i = 0; i < sqlite3_column_count(st); i++) {
          const unsigned char *t = sqlite3_column_text(st, i);
          out += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char *>(t) : "~");
        }
      }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }
  // Transactions [from, to) of 5 rows each; ids t*10 .. t*10+4, SCN 100 + t, XID 500 + t.
  static std::vector<std::string> txns(int from, int to) {
    std::vector<std::string> v;
    for (int t = from; t < to; t++) {
      std::vector<std::string> rows;
      for (int k = 0; k < 5; k++) rows.push_back(ins(t * 10 + k));
      v.push_back(tb::trans(rows, 100 + t, 500 + t));
    }
    return v;
  }
  void write_trail(uint32_t fno, const std::vector<std::string> &t, bool closed, int thr = 0) {
    std::string body;
    for (const auto &x : t) body += x;
    auto th = [](const std::string &x) { return reinterpret_cast<const uint8_t *>(x.data()); };
    std::string f = tb::file_header(fno, ks_th_cscn(th(t.front())), ks_th_xid(th(t.front())),
                                    closed ? ks_th_cscn(th(t.back())) : ~0ull, closed ? ks_th_xid(th(t.back())) : 0,
                                    64 + static_cast<uint32_t>(body.size())) +
                    body + (closed ? tb::eof_marker() : "");
    // In place, as the writer does: the bytes already there stay the same, the file grows.
    std::string path =
        home.file("data/U1/EX_" + (thr > 0 ? std::to_string(thr) + "_" : "") + std::to_string(fno) + ".dat");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
    close(fd);
  }
  // Records in the error file and how many carry ORA-00001's number.
  std::pair<int, int> error_records() {
    std::string f = kstest::read_file(home.file("error/U1/AP_error.dat"));
    int n = 0, dup = 0;
    for (size_t p = 0; p + 32 <= f.size(); n++) {
      uint32_t elen = ks::load<uint32_t>(f.data() + p);
      dup += ks::load<uint32_t>(f.data() + p + 8) == 1;
      if (elen < 32) break;
      p += elen;
    }
    return {n, dup};
  }
  // The day's error log, or the information log of a process.
  std::string log(const std::string &name = "error") {
    char d[16];
    ks_get_date(d);
    return kstest::read_file(home.file("log/U1/" + name + std::string(d) + ".log"));
  }
  std::string rows() { return query("select count(*), count(distinct ID) from \"KS.T\""); }
  std::string ckp() { return query("select FILE_NO, SCN, XID from \"KS.KS_APPLY_CKP\""); }
};

}  // namespace

TEST_F(ApplyProcess, ReplaysGrowingTrailsStopsAndContinuesAfterItsCheckpoint) {
  write_trail(0, txns(0, 4), true);
  write_trail(1, txns(4, 6), false);
  ASSERT_EQ(command(KS_CMD_START_APPLY), 0);
  ASSERT_TRUE(wait_until([&] { return rows() == "30|30"; })) << rows();
  EXPECT_TRUE(wait_until([&] { return ckp() == "1|105|505"; })) << ckp();

  // The open file grows while apply waits at its end.
  write_trail(1, txns(4, 8), false);
  ASSERT_TRUE(wait_until([&] { return rows() == "40|40"; })) << rows();

  ASSERT_EQ(command(KS_CMD_STOP_APPLY), 0);
  ASSERT_TRUE(wait_until([&] { return !apply_running(); }));
  EXPECT_EQ(ckp(), "1|107|507");

  // More data while stopped: the restart continues after the checkpoint, once.
  write_trail(1, txns(4, 10), true);
  write_trail(2, txns(10, 11), false);
  ASSERT_EQ(command(KS_CMD_START_APPLY), 0);
  ASSERT_TRUE(wait_until([&] { return rows() == "55|55"; })) << rows();
  EXPECT_TRUE(wait_until([&] { return ckp() == "2|110|510"; })) << ckp();
  EXPECT_FALSE(kstest::file_exists(home.file("error/U1/AP_error.dat")));
  ASSERT_EQ(command(KS_CMD_STOP_APPLY), 0);
  ASSERT_TRUE(wait_until([&] { return !apply_running(); }));

  // -scn/-xid/-fno together start after that transaction: the 15 rows from SCN 108 on
  // come again and collide with themselves (one record per row); nothing else changes.
  ASSERT_EQ(command(KS_CMD_START_APPLY, "-scn 107 -xid 507 -fno 0"), 0);
  ASSERT_TRUE(wait_until([&] { return error_records().first == 15; })) << error_records().first;
  EXPECT_EQ(error_records().second, 15);
  ASSERT_EQ(command(KS_CMD_STOP_APPLY), 0);
  ASSERT_TRUE(wait_until([&] { return !apply_running(); }));
  EXPECT_EQ(rows(), "55|55");

  // -reset wins over the checkpoint and the other options: everything again from file 0.
  ASSERT_EQ(command(KS_CMD_START_APPLY, "-reset -scn 107 -xid 507"), 0);
  ASSERT_TRUE(wait_until([&] { return error_records().first == 15 + 55; })) << error_records().first;
  ASSERT_EQ(command(KS_CMD_STOP_APPLY), 0);
  ASSERT_TRUE(wait_until([&] { return !apply_running(); }));
  EXPECT_EQ(rows(), "55|55");
}

TEST_F(ApplyProcess, BadCommandLinesExitWithFailure) {
  auto run = [&](std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
      std::vector<char *> argv;
      std::string prog = KS_BIN_DIR "/apply";
      argv.push_back(prog.data());
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 2);
      execv(prog.c_str(), argv.data());
      _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  EXPECT_EQ(run({"-h"}), 255);
  EXPECT_EQ(run({"-u", "U1", "-c", "AP", "-h"}), 255);
  EXPECT_EQ(run({"-u", "U1", "-c", "AP", "-scn"}), 255);
  EXPECT_EQ(run({"-u", "U1"}), 255);
  // Values that are not whole decimal numbers in range, and positions given in part,
  // would start the replay somewhere else without a word.
  for (std::vector<std::string> bad : {std::vector<std::string>{"-scn", "12x", "-xid", "5"},
                                       {"-scn", "-5", "-xid", "5"},
                                       {"-scn", "18446744073709551616", "-xid", "5"},
                                       {"-scn", "5", "-xid", ""},
                                       {"-scn", "5", "-xid", "0"},
                                       {"-scn", "5", "-xid", "6", "-fno", "4294967296"},
                                       {"-scn", "5"},
                                       {"-fno", "3"}}) {
    bad.insert(bad.begin(), {"-u", "U1", "-c", "AP"});
    EXPECT_EQ(run(bad), 255) << bad[4] << " " << bad[5];
  }
  std::string log = kstest::read_file(home.file("log/U1/error" + [] {
    char d[16];
    ks_get_date(d);
    return std::string(d);
  }() + ".log"));
  EXPECT_NE(log.find("Invalid option \"-h\"."), std::string::npos) << log;
  EXPECT_NE(log.find("not specify start SCN."), std::string::npos) << log;
  EXPECT_NE(log.find("invalid value \"12x\" of option \"-scn\": a decimal number from 1 to 18446744073709551615 is "
                     "expected."),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("invalid value \"4294967296\" of option \"-fno\": a decimal number from 0 to 4294967295"),
            std::string::npos)
      << log;
  const std::string partial = "options -scn and -xid give a start position only together; -fno only with them.";
  size_t first = log.find(partial);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(partial, first + 1), std::string::npos) << log;
}

TEST_F(ApplyProcess, CheckpointTableWithoutThreadsIsUpgradedAndItsPositionKept) {
  // The table as it was before threads, its row after the transaction of SCN 101.
  sql("create table \"KS.KS_APPLY_CKP\" (KS_HOME TEXT, UNIT_NAME TEXT, APP_NAME TEXT, FILE_NO INTEGER, SCN INTEGER, "
      "XID INTEGER)");
  sql("insert into \"KS$COLUMNS\" values ('KS','KS_APPLY_CKP','KS_HOME',1,'CHAR',256,'Y'), "
      "('KS','KS_APPLY_CKP','UNIT_NAME',2,'CHAR',32,'Y'), ('KS','KS_APPLY_CKP','APP_NAME',3,'CHAR',32,'Y'), "
      "('KS','KS_APPLY_CKP','FILE_NO',4,'NUMBER',22,'Y'), ('KS','KS_APPLY_CKP','SCN',5,'NUMBER',22,'Y'), "
      "('KS','KS_APPLY_CKP','XID',6,'NUMBER',22,'Y')");
  sql(std::string("insert into \"KS.KS_APPLY_CKP\" values ('") + ks_get_home_dir() + "', 'U1', 'AP', 0, 101, 501)");
  write_trail(0, txns(0, 4), false);
  ASSERT_EQ(command(KS_CMD_START_APPLY), 0);
  ASSERT_TRUE(wait_until([&] { return rows() == "10|10"; })) << rows() << log();
  EXPECT_TRUE(wait_until([&] {
    return query("select THREAD_NO, FILE_NO, SCN, XID from \"KS.KS_APPLY_CKP\"") == "0|0|103|503";
  })) << query("select * from \"KS.KS_APPLY_CKP\"");
  EXPECT_EQ(query("select min(ID) from \"KS.T\""), "20");
}

namespace {

// The trails of a clustered source's threads, merged: the fixture's source has as many
// redo threads as the parameter.
class ApplyCluster : public ApplyProcess, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    threads_ = GetParam();
    ApplyProcess::SetUp();
    sql("insert into \"KS.T\" values (0, 'none')");
  }
  // A transaction of thread thr at SCN scn: row 0 is renamed after it, so the last one
  // applied shows, and a row of its own comes in, so one applied twice or skipped shows.
  static std::string step(uint64_t scn, int thr) {
    const uint64_t id = scn * 10 + static_cast<uint64_t>(thr);
    std::string name = "v" + std::to_string(scn) + "." + std::to_string(thr);
    return tb::trans(
        {tb::lcr(2, "KS", "T", {{"NAME", 1, 30, name}}, {{"ID", 2, 22, num(0)}}), ins(static_cast<long>(id))}, scn, id);
  }
  std::string last() { return query("select NAME from \"KS.T\" where ID=0"); }
  std::string ckps() { return query("select THREAD_NO, FILE_NO, SCN from \"KS.KS_APPLY_CKP\" order by THREAD_NO"); }
  pid_t apply_pid() {
    auto *ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
    for (int i = 0; i < 16; ++i)
      if (ps[i].pid > 0 && kill(ps[i].pid, 0) == 0) return ps[i].pid;
    return -1;
  }
  // kill -9 of apply; the manager starts it again.
  void crash() {
    pid_t pid = apply_pid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    ASSERT_TRUE(wait_until([&] { return apply_pid() > 0 && apply_pid() != pid; }));
  }
};

}  // namespace

TEST_P(ApplyCluster, RandomlyKilledReplaysInCommitOrderWaitsForTheSlowThreadAndResumesEachThread) {
  const bool idle3 = GetParam() == 3;
  // Thread 1 runs ahead; thread 2's trail holds its early part only; thread 3, idle after
  // SCN 100, says so with a heartbeat. SCN 106 is on both threads: thread 1 first.
  write_trail(0, {step(101, 1), step(103, 1), step(106, 1), step(107, 1), step(109, 1), step(111, 1)}, true, 1);
  write_trail(0, {step(102, 2), step(104, 2), step(106, 2)}, false, 2);
  if (idle3) write_trail(0, {step(100, 3), tb::heartbeat(200)}, false, 3);
  ASSERT_EQ(command(KS_CMD_START_APPLY), 0);
  // Not past thread 2's last transaction: 107 may still come from it.
  ASSERT_TRUE(wait_until([&] { return last() == "v106.2"; })) << last();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(last(), "v106.2");
  const std::string held = idle3 ? "1|0|106;2|0|106;3|0|100" : "1|0|106;2|0|106";
  EXPECT_EQ(rows(), idle3 ? "8|8" : "7|7");
  // Waiting commits what was done, with the position of every thread, and says why.
  EXPECT_EQ(ckps(), held);
  EXPECT_NE(log("AP_").find("the trail of thread 2 is not yet past SCN 107 of thread 1, retry after 1 seconds."),
            std::string::npos)
      << log("AP_");

  // A crash while waiting: the restart resumes each thread where it stood.
  crash();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(last(), "v106.2");
  EXPECT_EQ(ckps(), held);

  // Thread 2 catches up; thread 1 rolls over to a new file; both then say they are idle.
  write_trail(0, {step(102, 2), step(104, 2), step(106, 2), step(108, 2), step(110, 2), step(112, 2)}, false, 2);
  write_trail(1, {step(113, 1)}, false, 1);
  ASSERT_TRUE(wait_until([&] { return last() == "v112.2"; })) << last();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(last(), "v112.2");  // 113 waits for thread 2 to be past it
  write_trail(0,
              {step(102, 2), step(104, 2), step(106, 2), step(108, 2), step(110, 2), step(112, 2), tb::heartbeat(300)},
              false, 2);
  ASSERT_TRUE(wait_until([&] { return last() == "v113.1"; })) << last();

  // Batches of alternating transactions, apply killed at once after each is written.
  std::vector<std::string> t1{step(113, 1)},
      t2{step(102, 2), step(104, 2), step(106, 2), step(108, 2), step(110, 2), step(112, 2), tb::heartbeat(300)};
  if (idle3) write_trail(0, {step(100, 3), tb::heartbeat(200), tb::heartbeat(100000)}, false, 3);
  uint64_t scn = 400;
  for (int round = 0; round < 4; round++) {
    for (int k = 0; k < 150; k++, scn += 2) {
      t1.push_back(step(scn, 1));
      t2.push_back(step(scn + (k % 3 == 0 ? 0 : 1), 2));
    }
    write_trail(1, t1, false, 1);
    write_trail(0, t2, false, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * round));
    crash();
  }
  // Both threads idle past everything.
  t1.push_back(tb::heartbeat(scn + 10));
  t2.push_back(tb::heartbeat(scn + 10));
  write_trail(1, t1, false, 1);
  write_trail(0, t2, false, 2);
  const long n = 1 + (idle3 ? 1 : 0) + 13 + 4 * 300;
  const std::string all = std::to_string(n) + "|" + std::to_string(n);
  ASSERT_TRUE(wait_until([&] { return rows() == all; })) << rows();
  const std::string end = std::to_string(scn - 1);
  EXPECT_TRUE(wait_until([&] {
    return ckps() == "1|1|" + std::to_string(scn - 2) + ";2|0|" + end + (idle3 ? ";3|0|100" : "");
  })) << ckps();
  EXPECT_EQ(last(), "v" + end + ".2");
  EXPECT_FALSE(kstest::file_exists(home.file("error/U1/AP_error.dat")));
}

INSTANTIATE_TEST_SUITE_P(Threads, ApplyCluster, ::testing::Values(2, 3));
