// A private installation for process tests of extract: its own home and IPC key, a
// configuration with one source database, one unit and one extract component, the
// system segment with the process table, and the manager's part of starting and
// stopping the component (the test plays the manager). Everything it started or created
// is killed or removed when it goes, whether the test passed or not.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "extract/extract.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace kstest {

struct SourceDb {
  uint32_t flag = 0;  // KS_CFG_DB_ASM, KS_CFG_DB_REMOTE
  std::string pdb;
  std::string svc = "SRC";  // the stand-in opens <KESTRO_HOME>sim/<svc>.db
  uint32_t idle_wait = 1;
  bool by_manager = false;      // kesmon makes the segment and starts the component
  std::string schema = "OLTP";  // the captured schema (the built-in workload's)
};

class ExtractEnv {
 public:
  explicit ExtractEnv(const SourceDb &db = {}) {
    // Replies to the test's commands come with the command signal: not to be fatal here.
    signal(SIGRTMIN + 1, SIG_IGN);
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_t cfg;
    ok_ = ks_cfg_open_file(&cfg, omsg) == 0;
    if (!ok_) return;
    ks_cfg_fh_t *fh = ks_cfg_file_header(&cfg);
    fh->shm_sz = 48 * 1024 * 1024;
    fh->max_procs = 8;
    ks_cfg_fdb_t d{};
    d.flag = db.flag;
    snprintf(d.name, sizeof d.name, "SRC");
    snprintf(d.pdb, sizeof d.pdb, "%s", db.pdb.c_str());
    snprintf(d.dbuser, sizeof d.dbuser, "ks");
    snprintf(d.passwd, sizeof d.passwd, "ks");
    ks_cfg_finst_t in{};
    in.thrd = 1;
    in.vport = 1521;
    in.aport = 1;  // no reader agent listens there
    snprintf(in.inst_name, sizeof in.inst_name, "src1");
    snprintf(in.svc_name, sizeof in.svc_name, "%s", db.svc.c_str());
    snprintf(in.vip, sizeof in.vip, "127.0.0.1");
    ks_cfg_funit_t u{};
    snprintf(u.un_name, sizeof u.un_name, "U1");
    ks_cfg_fcom_t c{};
    c.com_typ = KS_CFG_COM_EXTRACT;
    snprintf(c.name, sizeof c.name, "E1");
    snprintf(c.pname, sizeof c.pname, "extract");
    snprintf(c.src_db, sizeof c.src_db, "SRC");
    ks_cfg_fparm_t p{};
    p.idle_wait = db.idle_wait;
    ok_ = ks_cfg_add_db(&cfg, &d, omsg) == 0 && ks_cfg_add_inst(&cfg, "SRC", &in, omsg) == 0 &&
          ks_cfg_add_unit(&cfg, &u, omsg) == 0 && ks_cfg_add_com(&cfg, "U1", &c, omsg) == 0 &&
          ks_cfg_add_param(&cfg, "U1", "E1", &p, omsg) == 0;
    // Every table of the workload's schema is captured.
    ks_cfg_finc_t inc{};
    inc.flag = KS_CFG_SET_ALL;
    snprintf(inc.schema, sizeof inc.schema, "%s", db.schema.c_str());
    snprintf(inc.table, sizeof inc.table, "*");
    ok_ = ok_ && ks_cfg_add_include(&cfg, "U1", "E1", &inc, omsg) == 0;
    cfg.flag |= KS_CFG_MODIFIED;
    ok_ = ks_cfg_close_file(&cfg, omsg) == 0 && ok_;
    if (!ok_) return;
    for (const char *dir : {"log/U1", "data/U1", "dict/U1", "error/U1", "sim"}) mkdir(home_.file(dir).c_str(), 0755);
    guard_ = std::make_unique<IpcGuard>();
    if (db.by_manager) return;
    // The manager's order: segment, configuration, process table, then the queue.
    ok_ = ks_shm_create() == 0 && ks_cfg_load() == 0 && ks_ps_init() == 0;
    if (!ok_) return;
    ks_shm_mark_sys_used();
    ok_ = ks_shm_q_create() == 0;
    ps_ = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
    ks_cfg_bh_t *bh = ks_cfg_area();
    comid_ = ks_cfg_find_com(bh, "U1", "E1");
    com_uk_ = ks_cfg_coms(bh)[comid_].com_uk;
  }

  ~ExtractEnv() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    guard_.reset();
  }

  bool ok() const { return ok_; }
  const TempHome &home() const { return home_; }
  ks_ps_task_t *entry() const { return slot_ >= 0 ? &ps_[slot_] : nullptr; }
  std::string ckp_path() const { return home_.file("data/U1/E1.ckp"); }

  // Starts <build>/bin/extract -u U1 -c E1 -d <args>, recorded in the process table
  // before it looks for its entry, as the manager does. "-d" loads the dictionary
  // (exported from the source at the first start) for the run.
  pid_t start(const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {}) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[1]);
      char c;
      if (read(fds[0], &c, 1) != 1) _exit(120);
      for (const auto &e : env) putenv(const_cast<char *>(e.c_str()));
      std::vector<std::string> all = {"extract", "-u", "U1", "-c", "E1", "-d"};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char *> argv;
      for (auto &a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv((std::string(KS_BIN_DIR) + "/extract").c_str(), argv.data());
      _exit(121);
    }
    close(fds[0]);
    pid_ = pid;
    exited_ = false;
    for (int i = 0; i < 8; i++) {
      if (ps_[i].pid == -1) {
        ps_[i] = {0, com_uk_, comid_, pid, 0, 0};
        slot_ = i;
        break;
      }
    }
    char go = 1;
    if (write(fds[1], &go, 1) != 1) ADD_FAILURE();
    close(fds[1]);
    return pid;
  }

  // The component's information log (every line of its levels) and the unit's error log.
  std::string info_log() const { return read_file(home_.file("log/U1/E1_" + date() + ".log")); }
  std::string error_log() const { return read_file(home_.file("log/U1/error" + date() + ".log")); }

  // Waits until the information log holds text `count` times.
  bool wait_log(const std::string &text, int count = 1, int timeout_ms = 20000) const {
    for (int waited = 0; waited < timeout_ms; waited += 20) {
      if (occurrences(info_log(), text) >= count) return true;
      if (pid_ > 0 && exited_) return occurrences(info_log(), text) >= count;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Sends the stop command through the queue, as the manager does.
  bool stop() {
    uint8_t buf[KS_CMD_BUFSZ];
    int n = ks_ps_make_command(buf, KS_CMD_STOP_PROCESS, getpid(), "U1", "E1", nullptr);
    return n > 0 && ks_ps_send(pid_, buf, n) == 0;
  }

  // The exit status (-1 when it did not end in time; 256 + signal when killed).
  int wait_exit(int timeout_ms = 20000) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
      int st = 0;
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        exited_ = true;
        if (WIFEXITED(st)) return WEXITSTATUS(st);
        return 256 + WTERMSIG(st);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Kills the process as a crash would; its entry is cleared as the manager does.
  void crash() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      ks_shm_free_process_mem(pid_);
      pid_ = -1;
    }
    release_entry();
  }
  void release_entry() {
    if (slot_ >= 0) ps_[slot_] = {0, 0, -1, -1, 0, 0};
    slot_ = -1;
  }

  static int occurrences(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
  }

 private:
  static std::string date() {
    char d[16];
    ks_get_date(d);
    return d;
  }

  TempHome home_;
  std::unique_ptr<IpcGuard> guard_;
  bool ok_ = false;
  bool exited_ = false;
  ks_ps_task_t *ps_ = nullptr;
  int comid_ = -1;
  uint32_t com_uk_ = 0;
  int slot_ = -1;
  pid_t pid_ = -1;
};

// Runs orasim on the environment's source SRC → its exit status.
inline int orasim(const ExtractEnv &env, const std::string &args) {
  std::string cmd =
      std::string(KS_BIN_DIR) + "/orasim " + args + " -d " + env.home().file("sim") + " -n SRC > /dev/null 2>&1";
  int st = system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The environment of an extract that reaches the source through the stand-in library.
inline std::vector<std::string> oci_env() { return {"KESTRO_OCI_LIB=" KS_LIB_DIR "/liborasim.so"}; }

// Positions of the records handed on, in log order, from a piece of extract's log (its
// detail lines).
typedef std::tuple<uint32_t, uint32_t, uint32_t> Rba;
inline std::vector<Rba> records(const std::string &log) {
  std::vector<Rba> out;
  const std::string key = "REDO RECORD - RBA: 0x";
  for (size_t p = log.find(key); p != std::string::npos; p = log.find(key, p + 1)) {
    unsigned s, b, o;
    if (sscanf(log.c_str() + p + key.size(), "%x.%x.%x", &s, &b, &o) == 3) out.emplace_back(s, b, o);
  }
  return out;
}

inline ks_ckp_t checkpoint(const ExtractEnv &env) {
  ks_ckp_t c{};
  std::string d = read_file(env.ckp_path());
  memcpy(&c, d.data(), std::min(d.size(), sizeof c));
  return c;
}

}  // namespace kstest
