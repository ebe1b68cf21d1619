// A whole installation for end-to-end tests: its own home (and so its own IPC key), the
// built programs linked into <home>bin, a simulated source and an empty target made by
// orasim, the target instantiated from the source, a configuration written by kesh, the
// manager, extract and apply started through kesh, workloads run by orasim, and the
// comparison of both databases with orasim diff. Whatever happens in a test, the
// environment stops every process it started (by pid) and removes the IPC objects of
// its key when it goes.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace kstest {

struct SourceOpts {
  std::string create;           // extra "orasim create" options (byte order, version, ...)
  uint64_t seed_rows = 1;       // seed of the initial rows (0: no OLTP schema at all)
  std::string setup_script;     // run on the source before the target is instantiated
  bool absolute_names = false;  // the source names its logs by absolute paths (a reader agent needs them)
  int instances = 0;            // a clustered source of so many instances, threads 1..N (0: one instance)
};

class E2eEnv {
 public:
  explicit E2eEnv(const SourceOpts &opts = {});
  ~E2eEnv();
  E2eEnv(const E2eEnv &) = delete;
  E2eEnv &operator=(const E2eEnv &) = delete;

  bool ok() const { return ok_; }
  const std::string &why() const { return why_; }
  std::string path(const std::string &rel) const { return home_.file(rel); }

  // Runs a shell command line in the home directory with a time bound; its exit status
  // (124 on timeout) and its standard output and error together in *out.
  int sh(const std::string &cmd, std::string *out = nullptr, int timeout_s = 60) const;

  // Copies the source's tables (definitions, column catalogue rows and current rows) into
  // the target: every table of `owners`, renamed by `rename` ("OWNER.TABLE" → target name).
  bool instantiate(const std::vector<std::string> &owners = {"OLTP"},
                   const std::map<std::string, std::string> &rename = {});

  // Writes the configuration with kesh: databases SRC and TGT, unit u1, extract ext1 with
  // the given set items, apply app1 with its own set items. A clustered source gets one
  // instance entry per thread (instance SRC<k>, thread k), each connecting to its instance.
  bool configure(const std::string &extract_sets = "tables=(oltp.*)", const std::string &apply_sets = "",
                 const std::string &extract_params = "");
  bool kesh(const std::string &commands, std::string *out = nullptr) const;
  // The restart parameter configure gives both components: "no" (the default here, so
  // that a test plays the operator after a crash without the manager racing it), "yes"
  // or a limit.
  void set_restart(const std::string &value) { restart_ = value; }
  // Items added to the source database's definition and to its instance's (configure).
  void set_source_items(const std::string &db_items, const std::string &inst_items) {
    src_db_items_ = db_items;
    src_inst_items_ = inst_items;
  }
  // Waits until the manager has started com again after old_pid ended → its new pid, -1.
  pid_t wait_restarted(const char *com, pid_t old_pid, int timeout_ms = 60000);

  bool start_manager();
  // "start extract u1.ext1 <options>"; returns once it reads redo (or once it runs, when
  // wait_ready is false: a source that refuses connections keeps it from reading).
  bool start_extract(bool wait_ready = true, const std::string &options = "-d");
  // Manager, extract (reading redo) and apply: the pipeline a workload can run against.
  bool start_pipeline();
  bool start_apply();
  bool stop_extract();
  bool stop_apply();
  // kill -9 as a crash would; waits until the manager has seen the process go. On a
  // clustered source, thread names the extract process (0: any one of them).
  bool kill_extract(int thread = 0);
  bool kill_apply();
  // kill -9 of the manager; its components run on.
  bool kill_manager();
  // The operator's repair of the extract checkpoint after a crash (of one thread's
  // checkpoint on a clustered source).
  bool reset_extract_checkpoint(int thread = 0);
  void stop_all();

  pid_t pid_of(const char *com) const;  // -1 when not running
  // The process of com reading redo thread `thread` of a clustered source, -1.
  pid_t pid_of_thread(const char *com, int thread) const;
  int instances() const { return instances_; }

  // Workloads on the source: the OLTP mix (async until wait_workload), or a script file.
  bool start_workload(const std::string &args);
  bool wait_workload(int timeout_s = 120);
  bool run_script(const std::string &script_text, std::string *out = nullptr);

  // Polls orasim diff until the target equals the source (true), or the time is up.
  bool wait_identical(int timeout_s = 60, const std::string &tables = "");
  std::string last_diff() const { return last_diff_; }

  // Every log line of a component written so far (all its daily files).
  std::string component_log(const char *com) const;

  // The apply error file's size (0 when absent) and the unit's error log.
  long error_file_size() const;
  std::string error_log() const;
  // The error log without the lines of known, harmless reports (see the definition).
  std::string unexpected_errors() const;
  std::string kesmon_out() const { return read_file(path("log/kesmon.out")); }
  // Every line of the manager's own log so far.
  std::string manager_log() const;
  // Runs SQL directly on a database file of the stand-in ("SRC" or "TGT").
  bool sql(const char *db, const std::string &stmt) const;
  // Rows of a table that are not in the other (source table vs target table), both ways.
  long rows_differing(const std::string &src_table, const std::string &tgt_table) const;
  // Row count of a table in the target or source (-1 on failure).
  long count_rows(const char *db, const std::string &table) const;

 private:
  bool wait_gone(pid_t pid, int timeout_ms);
  bool wait_running(const char *com, int timeout_ms);
  void remember_pids();

  TempHome home_;
  std::unique_ptr<IpcGuard> guard_;
  bool ok_ = false;
  std::string why_;
  std::string last_diff_;
  pid_t workload_ = -1;
  std::string restart_ = "no";
  std::string src_db_items_, src_inst_items_;
  std::string sim_dir_ = "sim";  // orasim's -d
  int instances_ = 0;
  std::set<pid_t> seen_;  // every process this environment caused, stopped at the end
};

}  // namespace kstest
