// extract capturing from the simulated source while it writes: online and archived logs
// through log switches, the wait at the end of the current log, the stop and the restart
// from the checkpoint. Every record handed on is logged with its position (detail level),
// which is what these tests follow.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "lib/fmt/redo_checksum.h"
#include "lib/fmt/redo_format.h"
#include "tests/extract/extract_env.h"

namespace {

using kstest::checkpoint;
using kstest::oci_env;
using kstest::orasim;
using kstest::Rba;
using kstest::records;

// A fault for the stand-in database, taken by sessions already open.
bool add_fault(const kstest::ExtractEnv &env, const std::string &kind, int arg, int err) {
  sqlite3 *db = nullptr;
  if (sqlite3_open(env.home().file("sim/SRC.db").c_str(), &db) != SQLITE_OK) return false;
  sqlite3_busy_timeout(db, 5000);
  std::string sql =
      "CREATE TABLE IF NOT EXISTS \"KS$FAULTS\"(KIND TEXT, ARG INTEGER, ERR INTEGER);"
      "INSERT INTO \"KS$FAULTS\" VALUES('" +
      kind + "'," + std::to_string(arg) + "," + std::to_string(err) + ")";
  bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

int markedit(const std::string &args) {
  std::string cmd = std::string(KS_BIN_DIR) + "/markedit " + args + " 2>/dev/null";
  int st = system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(ExtractCapture, FollowsSwitchesWaitsAtTheEndAndResumesExactlyWhereItStopped) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  // Logs of this size take the workload below in 14 sequences (3 switches asked for, the
  // others because a log is full).
  ASSERT_EQ(orasim(env, "create --log-size 112K --groups 3"), 0);

  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file, continue after 1 seconds ...")) << env.info_log();
  // The first start begins at the database's current SCN: the created database's, moved on
  // by the reads of it (a database's SCN keeps moving while it is idle).
  const std::string log = env.info_log();
  const size_t at = log.find("Start SCN: ");
  ASSERT_NE(at, std::string::npos) << log;
  const unsigned long start_scn = std::stoul(log.substr(at + 11));
  EXPECT_GE(start_scn, 1000001ul);
  EXPECT_LT(start_scn, 1000100ul);
  EXPECT_NE(env.info_log().find("process startup, analyze redo log from sequence# 1\n"), std::string::npos);
  EXPECT_EQ(env.entry()->status, 3);

  // The source writes while capture runs: 13 switches over 3 online logs, so most logs are
  // read from their archived copies once the online file has been reused.
  int rc = -1;
  std::thread writer([&] { rc = orasim(env, "run --txns 300 --switch-every 100 --realtime --rate 300 --no-expect"); });
  writer.join();
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(env.wait_log("analyze", 1));
  ASSERT_TRUE(env.wait_log("open log file: \"", 14)) << env.info_log();
  int ends = kstest::ExtractEnv::occurrences(env.info_log(), "reach the end of log file");
  ASSERT_TRUE(env.wait_log("reach the end of log file", ends + 1));
  ASSERT_TRUE(env.stop());
  EXPECT_EQ(env.wait_exit(), 0) << env.error_log();
  EXPECT_NE(env.info_log().find("break from main loop, process exit normally ..."), std::string::npos);

  std::string first_run = env.info_log();
  std::vector<Rba> seen = records(first_run);
  ASSERT_GT(seen.size(), 300u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(std::get<0>(seen.front()), 1u);
  EXPECT_GE(std::get<0>(seen.back()), 13u);  // the last switch may leave 14 empty
  // The only error allowed: a switched log's successor not yet in the catalogue, which
  // is waited for.
  EXPECT_EQ(kstest::ExtractEnv::occurrences(env.error_log(), "ERROR at"),
            kstest::ExtractEnv::occurrences(env.error_log(), " not found.\n"))
      << env.error_log();

  ks_ckp_t c = checkpoint(env);
  EXPECT_EQ(c.flag & (KS_CKP_OPEN | KS_CKP_CLOSED), static_cast<uint32_t>(KS_CKP_CLOSED));
  EXPECT_EQ(c.rba_sqn, 14u);
  EXPECT_GT(Rba(c.rba_sqn, c.rba_blk, c.rba_byt), seen.back());
  EXPECT_EQ(c.blk_sz, 512u);
  EXPECT_EQ(c.vsn, 0x13000000u);
  EXPECT_STREQ(c.chs_name, "AL32UTF8");

  // Restart: from the checkpoint, not from the current SCN; the new records follow on.
  env.release_entry();
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("process startup, analyze redo log from sequence# ", 2)) << env.info_log();
  EXPECT_NE(env.info_log().find("process startup, analyze redo log from sequence# 14\n", first_run.size()),
            std::string::npos);
  ASSERT_EQ(orasim(env, "run --txns 40 --no-expect"), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file",
                           kstest::ExtractEnv::occurrences(env.info_log(), "reach the end of log file") + 1));
  ASSERT_TRUE(env.stop());
  EXPECT_EQ(env.wait_exit(), 0);
  std::string second_run = env.info_log().substr(first_run.size());
  EXPECT_EQ(second_run.find("Start SCN"), std::string::npos);
  std::vector<Rba> more = records(second_run);
  ASSERT_FALSE(more.empty());
  EXPECT_GT(more.front(), seen.back());
  if (c.rba_byt != 0) {
    EXPECT_EQ(more.front(), Rba(c.rba_sqn, c.rba_blk, c.rba_byt));
  }
  EXPECT_TRUE(std::is_sorted(more.begin(), more.end()));
}

TEST(ExtractCapture, CrashLeavesTheCheckpointOpenUntilMarkeditClosesItThenCaptureResumes) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create --log-size 64K --groups 3"), 0);
  ASSERT_EQ(orasim(env, "run --txns 30 --no-expect"), 0);
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file"));
  ASSERT_TRUE(env.stop());
  ASSERT_EQ(env.wait_exit(), 0);
  ks_ckp_t saved = checkpoint(env);
  env.release_entry();

  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file", 2));
  env.crash();
  EXPECT_EQ(checkpoint(env).flag & KS_CKP_OPEN, static_cast<uint32_t>(KS_CKP_OPEN));
  std::string before = kstest::read_file(env.ckp_path());

  ASSERT_GT(env.start({}, oci_env()), 0);
  EXPECT_EQ(env.wait_exit(), 255);
  EXPECT_NE(env.error_log().find("process exit abnormal, initialize needed."), std::string::npos);
  EXPECT_NE(env.error_log().find("read check point file error."), std::string::npos);
  EXPECT_EQ(kstest::read_file(env.ckp_path()), before);
  env.release_entry();

  ASSERT_EQ(markedit("-f " + env.ckp_path() + " -c"), 0);
  size_t mark = env.info_log().size();
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file", 3));
  std::string run = env.info_log().substr(mark);
  EXPECT_NE(run.find("process startup, analyze redo log from sequence# " + std::to_string(saved.rba_sqn) + "\n"),
            std::string::npos);
  EXPECT_EQ(run.find("Start SCN"), std::string::npos);
  ASSERT_TRUE(env.stop());
  EXPECT_EQ(env.wait_exit(), 0);
}

TEST(ExtractCapture, EndScnStopsAtTheFirstRecordAboveItAndARestartResumesThere) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create --log-size 64K --groups 3"), 0);
  ASSERT_EQ(orasim(env, "run --txns 60 --no-expect"), 0);
  ASSERT_GT(env.start({"-sscn", "1000001", "-escn", "1000100"}, oci_env()), 0);
  EXPECT_EQ(env.wait_exit(), 0) << env.error_log();
  EXPECT_NE(env.info_log().find("break from main loop, process exit normally ..."), std::string::npos);
  std::vector<Rba> first = records(env.info_log());
  ASSERT_FALSE(first.empty());
  ks_ckp_t c = checkpoint(env);
  Rba stop(c.rba_sqn, c.rba_blk, c.rba_byt);
  // The record above the end SCN was met but not taken: the position is at it.
  EXPECT_EQ(stop, first.back());
  env.release_entry();

  size_t mark = env.info_log().size();
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file"));
  ASSERT_TRUE(env.stop());
  EXPECT_EQ(env.wait_exit(), 0);
  std::vector<Rba> next = records(env.info_log().substr(mark));
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next.front(), stop);
}

TEST(ExtractCapture, OverwrittenOnlineLogIsReadFromItsArchiveOrEndsCaptureWithoutArchiving) {
  for (bool archive : {true, false}) {
    SCOPED_TRACE(archive ? "archive mode" : "no archive mode");
    kstest::ExtractEnv env;
    ASSERT_TRUE(env.ok());
    ASSERT_EQ(orasim(env, std::string("create --log-size 64K --groups 2") + (archive ? "" : " --noarchive")), 0);
    ASSERT_EQ(orasim(env, "run --txns 20 --no-expect"), 0);
    pid_t pid = env.start({}, oci_env());
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(env.wait_log("reach the end of log file"));
    // Frozen at the end of the current log while the source moves on two logs: the file
    // it was reading now holds a later sequence.
    kill(pid, SIGSTOP);
    ASSERT_EQ(orasim(env, "run --txns 60 --switch-every 20 --no-expect"), 0);
    kill(pid, SIGCONT);
    if (archive) {
      ASSERT_TRUE(env.wait_log("open log file: \"" + env.home().file("sim/SRC/archivelog/")));
      int ends = kstest::ExtractEnv::occurrences(env.info_log(), "reach the end of log file");
      ASSERT_TRUE(env.wait_log("reach the end of log file", ends + 1));
      ASSERT_TRUE(env.stop());
      EXPECT_EQ(env.wait_exit(), 0);
      std::vector<Rba> seen = records(env.info_log());
      EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
      EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    } else {
      EXPECT_EQ(env.wait_exit(), 255);
      ks_ckp_t c = checkpoint(env);
      EXPECT_NE(env.error_log().find("redo log " + std::to_string(c.rba_sqn) + " has overwritten, process exit."),
                std::string::npos)
          << env.error_log();
      EXPECT_EQ(env.entry()->status, 9);
      EXPECT_EQ(c.flag & KS_CKP_CLOSED, static_cast<uint32_t>(KS_CKP_CLOSED));
    }
  }
}

TEST(ExtractCapture, SessionLostWhileLocatingALogReconnectsAndGoesOn) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create --log-size 64K --groups 3"), 0);
  ASSERT_GT(env.start({}, oci_env()), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file"));
  // The next statement of the session fails as a lost session: the locate after the switch.
  ASSERT_TRUE(add_fault(env, "drop_after", 0, 3114));
  ASSERT_EQ(orasim(env, "run --txns 20 --switch-every 10 --no-expect"), 0);
  ASSERT_TRUE(env.wait_log("re-connect database ok ...")) << env.info_log();
  ASSERT_TRUE(env.wait_log("process startup, analyze redo log from sequence# ", 2));
  int ends = kstest::ExtractEnv::occurrences(env.info_log(), "reach the end of log file");
  ASSERT_TRUE(env.wait_log("reach the end of log file", ends + 1));
  ASSERT_TRUE(env.stop());
  EXPECT_EQ(env.wait_exit(), 0);
  std::vector<Rba> seen = records(env.info_log());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

TEST(ExtractCapture, UnsupportedRedoEndsCaptureThroughTheErrorExitKeepingThePosition) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create --log-size 64K --groups 3"), 0);
  // The current log claims version 9.
  std::string log = env.home().file("sim/SRC/onlinelog/redo01.log");
  std::string d = kstest::read_file(log);
  ks::store_le32(&d[512 + ks::redo::KS_REDO_FH1_VERSION], 0x09200000);
  ks::redo::set_block_checksum(reinterpret_cast<uint8_t *>(&d[512]), 512);  // a header written so, not damaged
  kstest::write_file(log, d);
  ASSERT_GT(env.start({}, oci_env()), 0);
  EXPECT_EQ(env.wait_exit(), 255);
  EXPECT_NE(env.error_log().find("unsupported database version 9.32"), std::string::npos);
  EXPECT_NE(env.error_log().find("mine redo data error, process exit."), std::string::npos);
  ks_ckp_t c = checkpoint(env);
  EXPECT_EQ(c.flag & (KS_CKP_OPEN | KS_CKP_CLOSED), static_cast<uint32_t>(KS_CKP_CLOSED));
  EXPECT_EQ(Rba(c.rba_sqn, c.rba_blk, c.rba_byt), Rba(1, 0, 0));
}

TEST(ExtractCapture, SourceOnAsmOrBehindTheAgentIsNeverReadLocally) {
  for (uint32_t flag : {KS_CFG_DB_ASM, KS_CFG_DB_REMOTE}) {
    kstest::SourceDb db;
    db.flag = flag;
    kstest::ExtractEnv env(db);
    ASSERT_TRUE(env.ok());
    ASSERT_EQ(orasim(env, "create --log-size 64K --groups 3"), 0);
    ASSERT_GT(env.start({}, oci_env()), 0);
    if (flag == KS_CFG_DB_ASM) {
      // A catalogue without disk groups: opening the reader fails and is tried again,
      // the logs are never looked for in the file system.
      ASSERT_TRUE(env.wait_log("retry after 10 seconds.")) << env.error_log();
      EXPECT_NE(env.error_log().find("open ASM disks error."), std::string::npos) << env.error_log();
    } else {
      // No agent listens on the instance's agent port: retried the same way.
      ASSERT_TRUE(env.wait_log("agent not avaliable, retry after 10 seconds.")) << env.error_log();
      EXPECT_NE(env.error_log().find("connect(): Connection refused"), std::string::npos) << env.error_log();
    }
    ASSERT_TRUE(env.stop());
    EXPECT_GE(env.wait_exit(), 0);
    EXPECT_EQ(env.info_log().find("open log file"), std::string::npos);
  }
}

TEST(ExtractCapture, ManagerStartsExtractWhichCapturesAndStopsOnTheStopCommand) {
  kstest::SourceDb db;
  db.by_manager = true;
  kstest::ExtractEnv env(db);
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create --log-size 64K --groups 3"), 0);
  ASSERT_EQ(orasim(env, "run --txns 30 --no-expect"), 0);
  for (const char *p : {"kesmon", "extract"})
    ASSERT_EQ(symlink((std::string(KS_BIN_DIR) + "/" + p).c_str(), env.home().file(std::string("bin/") + p).c_str()),
              0);
  std::string me = std::to_string(getpid());
  pid_t mgr = fork();
  if (mgr == 0) {
    setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
    std::string path = env.home().file("bin/kesmon");
    execl(path.c_str(), path.c_str(), "-id", me.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  struct Reap {
    pid_t pid;
    ~Reap() {
      if (shm_inf.status == 1) {
        auto *ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
        for (int i = 0; ps != nullptr && i < 8; ++i)
          if (ps[i].pid > 0) kill(ps[i].pid, SIGKILL);
      }
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  } reap{mgr};
  ks_shm_set_attach_wait(1);
  bool ready = false;
  for (int i = 0; i < 250 && !ready; i++) {
    if (ks_shm_attach() == 0) {
      ks_sysinfo_t *si = ks_shm_get_sys_ptr();
      ready = si->pid == mgr && __atomic_load_n(&si->status, __ATOMIC_ACQUIRE) == KS_SHM_STATUS_READY;
      if (!ready) ks_shm_detach();
    }
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ks_shm_set_attach_wait(5);
  ASSERT_TRUE(ready);
  auto command = [&](int code, const char *param) {
    uint8_t msg[KS_CMD_BUFSZ];
    int n = ks_ps_make_command(msg, code, getpid(), "U1", "E1", param);
    if (ks_ps_send(mgr, msg, n) != 0) return -1;
    for (int waited = 0; waited < 30000; waited += 20) {
      uint8_t r[KS_CMD_BUFSZ];
      int rc;
      if (ks_shm_deq(getpid(), sizeof r, r, &rc) == 4) return static_cast<int>(ks::load_be32(r));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  };
  ASSERT_EQ(command(KS_CMD_START_EXTRACT, "-d"), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file")) << env.info_log() << env.error_log();
  EXPECT_NE(env.info_log().find("process startup, analyze redo log from sequence# "), std::string::npos);
  EXPECT_FALSE(records(env.info_log()).empty());
  ASSERT_EQ(command(KS_CMD_STOP_EXTRACT, ""), 0);
  ASSERT_TRUE(env.wait_log("detach shared memory ok ...")) << env.info_log();
  EXPECT_NE(env.info_log().find("break from main loop, process exit normally ..."), std::string::npos);
  EXPECT_EQ(checkpoint(env).flag & (KS_CKP_OPEN | KS_CKP_CLOSED), static_cast<uint32_t>(KS_CKP_CLOSED));
  uint8_t msg[KS_CMD_BUFSZ];
  int n = ks_ps_make_command(msg, KS_CMD_STOP_MANAGER, getpid(), "", "", nullptr);
  ks_ps_send(mgr, msg, n);
}

TEST(ExtractCapture, StartScnOverridesTheCheckpointAndThreadZeroMeansNoThread) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create --log-size 64K --groups 3"), 0);
  ASSERT_EQ(orasim(env, "run --txns 60 --no-expect"), 0);
  // "-t 0" is no thread at all: the files keep their plain names.
  ASSERT_GT(env.start({"-t", "0", "-sscn", "1000001", "-escn", "1000100"}, oci_env()), 0);
  ASSERT_EQ(env.wait_exit(), 0) << env.error_log();
  std::vector<Rba> first = records(env.info_log());
  ASSERT_GT(first.size(), 1u);
  ks_ckp_t c = checkpoint(env);
  EXPECT_EQ(Rba(c.rba_sqn, c.rba_blk, c.rba_byt), first.back());
  EXPECT_FALSE(kstest::file_exists(env.home().file("data/U1/E1_0.ckp")));
  env.release_entry();

  // The checkpoint now points past the first records; "-sscn" takes capture back to the
  // log holding that SCN all the same, and the same records are handed on again.
  size_t mark = env.info_log().size();
  ASSERT_GT(env.start({"-sscn", "1000001", "-escn", "1000100"}, oci_env()), 0);
  ASSERT_EQ(env.wait_exit(), 0) << env.error_log();
  std::vector<Rba> again = records(env.info_log().substr(mark));
  EXPECT_EQ(again, first);
}
