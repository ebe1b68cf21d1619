// The end-to-end environment; see the header. Processes are found by their program
// path: the manager starts every component as <home>bin/<program>, and this home is the
// test's own, so a scan of /proc names exactly the processes of this installation.
#include "tests/e2e/e2e_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kstest {

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// argv of a process as words ("" when it is gone).
std::vector<std::string> cmdline(pid_t pid) {
  std::string raw = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> words;
  size_t p = 0;
  while (p < raw.size()) {
    size_t e = raw.find('\0', p);
    if (e == std::string::npos) e = raw.size();
    words.push_back(raw.substr(p, e - p));
    p = e + 1;
  }
  return words;
}

bool alive(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  // A zombie has exited already; only its parent's wait is missing.
  std::string st = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t rp = st.rfind(')');
  return !(rp != std::string::npos && rp + 2 < st.size() && st[rp + 2] == 'Z');
}

// Processes running <home>bin/<program>, with "-c com" when com is given, and "-t thread"
// when thread is not 0.
std::vector<pid_t> find_programs(const std::string &home, const char *program, const char *com, int thread = 0) {
  std::vector<pid_t> out;
  DIR *d = opendir("/proc");
  if (d == nullptr) return out;
  const std::string prefix = home + "bin/";
  while (dirent *e = readdir(d)) {
    char *end = nullptr;
    long pid = strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid <= 0) continue;
    auto argv = cmdline(pid_t(pid));
    if (argv.empty() || argv[0].compare(0, prefix.size(), prefix) != 0) continue;
    if (program != nullptr && argv[0] != prefix + program) continue;
    bool match = com == nullptr, thread_match = thread == 0;
    for (size_t i = 1; i + 1 < argv.size(); i++) {
      if (com != nullptr && argv[i] == "-c" && argv[i + 1] == com) match = true;
      if (thread != 0 && argv[i] == "-t" && argv[i + 1] == std::to_string(thread)) thread_match = true;
    }
    match = match && thread_match;
    if (match && alive(pid_t(pid))) out.push_back(pid_t(pid));
  }
  closedir(d);
  return out;
}

bool sql_exec(sqlite3 *db, const std::string &sql, std::string *why) {
  char *err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) == SQLITE_OK) return true;
  *why = sql + ": " + (err ? err : "?");
  sqlite3_free(err);
  return false;
}

}  // namespace

E2eEnv::E2eEnv(const SourceOpts &opts) {
  setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
  unsetenv("ORASIM_HOME");
  unsetenv("ORASIM_FAULTS");
  for (const char *dir : {"bin", "sim", "tmp"}) mkdir(path(dir).c_str(), 0755);
  if (opts.absolute_names) sim_dir_ = quote(path("sim"));
  instances_ = opts.instances;
  for (const char *p :
       {"kesmon", "extract", "apply", "kesh", "orasim", "markedit", "trailcat", "schemacat", "errcat", "kesfeed"}) {
    if (symlink((std::string(KS_BIN_DIR) + "/" + p).c_str(), path(std::string("bin/") + p).c_str()) != 0) {
      why_ = std::string("link bin/") + p;
      return;
    }
  }
  std::string out;
  const std::string cluster = instances_ > 0 ? " --instances " + std::to_string(instances_) : "";
  if (sh("bin/orasim create -d " + sim_dir_ + " -n SRC --log-size 1M --groups 3" + cluster + " " + opts.create, &out) !=
          0 ||
      sh("bin/orasim create -d " + sim_dir_ + " -n TGT", &out) != 0) {
    why_ = "orasim create: " + out;
    return;
  }
  if (opts.seed_rows != 0 &&
      sh("bin/orasim run -d " + sim_dir_ + " -n SRC --txns 0 --no-expect --seed " + std::to_string(opts.seed_rows),
         &out) != 0) {
    why_ = "orasim seed: " + out;
    return;
  }
  if (!opts.setup_script.empty() && !run_script(opts.setup_script, &out)) {
    why_ = "setup script: " + out;
    return;
  }
  ok_ = true;
}

E2eEnv::~E2eEnv() {
  if (workload_ > 0) {
    kill(workload_, SIGKILL);
    waitpid(workload_, nullptr, 0);
  }
  stop_all();
  if (!guard_) guard_ = std::make_unique<IpcGuard>();
  guard_.reset();
}

int E2eEnv::sh(const std::string &cmd, std::string *out, int timeout_s) const {
  std::string file = path("tmp/sh.out");
  std::string line = "cd " + quote(home_.path()) + " && timeout -k 5 " + std::to_string(timeout_s) + " sh -c " +
                     quote(cmd) + " >" + quote(file) + " 2>&1";
  int st = system(line.c_str());
  if (out != nullptr) *out = read_file(file);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

bool E2eEnv::run_script(const std::string &script_text, std::string *out) {
  write_file(path("tmp/script.sql"), script_text);
  std::string o;
  int rc = sh("bin/orasim run -d " + sim_dir_ + " -n SRC --no-expect --script tmp/script.sql", &o, 120);
  if (out != nullptr) *out = o;
  return rc == 0;
}

bool E2eEnv::instantiate(const std::vector<std::string> &owners, const std::map<std::string, std::string> &rename) {
  sqlite3 *db = nullptr;
  if (sqlite3_open(path("sim/TGT.db").c_str(), &db) != SQLITE_OK) {
    why_ = "open target";
    sqlite3_close(db);
    return false;
  }
  sqlite3_busy_timeout(db, 5000);
  bool ok = sql_exec(db, "attach " + quote(path("sim/SRC.db")) + " as s", &why_);
  // The source's own definitions, so that the target stores values exactly as the
  // source does.
  std::vector<std::pair<std::string, std::string>> tables;  // name, create statement
  sqlite3_stmt *st = nullptr;
  if (ok && sqlite3_prepare_v2(db, "select name, sql from s.sqlite_master where type='table'", -1, &st, nullptr) ==
                SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string name = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
      const unsigned char *sql = sqlite3_column_text(st, 1);
      for (const auto &o : owners)
        if (name.compare(0, o.size() + 1, o + ".") == 0 && sql != nullptr)
          tables.emplace_back(name, reinterpret_cast<const char *>(sql));
    }
  }
  sqlite3_finalize(st);
  ok = ok && sql_exec(db, "begin", &why_);
  for (const auto &[name, sql] : tables) {
    if (!ok) break;
    auto it = rename.find(name);
    const std::string to = it == rename.end() ? name : it->second;
    const std::string owner = name.substr(0, name.find('.')), table = name.substr(name.find('.') + 1);
    const std::string towner = to.substr(0, to.find('.')), ttable = to.substr(to.find('.') + 1);
    std::string create = sql;
    size_t q = create.find('"' + name + '"');
    if (q != std::string::npos) create.replace(q, name.size() + 2, '"' + to + '"');
    ok = sql_exec(db, create, &why_) &&
         sql_exec(db, "insert into main.\"" + to + "\" select * from s.\"" + name + "\"", &why_) &&
         sql_exec(db,
                  "insert into main.\"KS$COLUMNS\" select " + quote(towner) + ", " + quote(ttable) +
                      ", COLUMN_NAME, COLUMN_ID, DATA_TYPE, DATA_LENGTH, NULLABLE from s.\"KS$COLUMNS\" "
                      "where OWNER=" +
                      quote(owner) + " and TABLE_NAME=" + quote(table),
                  &why_);
  }
  ok = ok && sql_exec(db, "commit", &why_);
  sqlite3_close(db);
  if (ok && tables.empty()) {
    why_ = "no table to instantiate";
    ok = false;
  }
  return ok;
}

bool E2eEnv::kesh(const std::string &commands, std::string *out) const {
  write_file(path("tmp/kesh.in"), commands + "\nexit\n");
  std::string o;
  int rc = sh("bin/kesh < tmp/kesh.in", &o, 90);
  if (out != nullptr) *out = o;
  return rc == 0 && o.find("error") == std::string::npos && o.find("Invalid") == std::string::npos;
}

bool E2eEnv::configure(const std::string &extract_sets, const std::string &apply_sets,
                       const std::string &extract_params) {
  std::string x = extract_sets.empty() ? "" : ", " + extract_sets;
  std::string a = apply_sets.empty() ? "" : ", " + apply_sets;
  std::string p = extract_params.empty() ? "" : ", " + extract_params;
  a += ", restart=" + restart_;
  p += ", restart=" + restart_;
  std::string out;
  const std::string inst_items = src_inst_items_.empty() ? "" : ", " + src_inst_items_;
  std::string insts = "  (instance_name=src1, thread=1, host=127.0.0.1, port=1521, service=SRC" + inst_items + ")";
  if (instances_ > 0) insts.clear();
  for (int k = 1; k <= instances_; k++)
    insts += "\n  (instance_name=SRC" + std::to_string(k) + ", thread=" + std::to_string(k) +
             ", host=127.0.0.1, port=1521, service=SRC" + inst_items + ")";
  bool ok =
      kesh("add db SRC (user=ks, password=ks" + (src_db_items_.empty() ? "" : ", " + src_db_items_) + ")\n" + insts +
               ";\n"
               "add db TGT (user=ks, password=ks)\n"
               "  (instance_name=tgt1, thread=1, host=127.0.0.1, port=1521, service=TGT);\n"
               "add unit u1;\n"
               "add extract ext1 (unit=u1, db=SRC, next=app1, interval=1" +
               p + x +
               ");\n"
               "add apply app1 (unit=u1, db=TGT, prev=ext1, interval=1" +
               a +
               ");\n"
               "save config\n",
           &out);
  if (!ok) why_ = "kesh: " + out;
  // The key is known once the configuration exists.
  if (ok && !guard_) guard_ = std::make_unique<IpcGuard>();
  return ok;
}

void E2eEnv::remember_pids() {
  for (pid_t p : find_programs(home_.path(), nullptr, nullptr)) seen_.insert(p);
}

pid_t E2eEnv::pid_of(const char *com) const {
  auto v = find_programs(home_.path(), nullptr, com);
  return v.empty() ? -1 : v.front();
}

pid_t E2eEnv::pid_of_thread(const char *com, int thread) const {
  auto v = find_programs(home_.path(), nullptr, com, thread);
  return v.empty() ? -1 : v.front();
}

bool E2eEnv::wait_gone(pid_t pid, int timeout_ms) {
  for (int w = 0; w < timeout_ms; w += 20) {
    if (!alive(pid)) return true;
    sleep_ms(20);
  }
  return false;
}

bool E2eEnv::wait_running(const char *com, int timeout_ms) {
  for (int w = 0; w < timeout_ms; w += 20) {
    if (pid_of(com) > 0) {
      remember_pids();
      return true;
    }
    sleep_ms(20);
  }
  return false;
}

bool E2eEnv::start_manager() {
  std::string out;
  if (!guard_) guard_ = std::make_unique<IpcGuard>();
  bool ok = kesh("start manager", &out);
  remember_pids();
  if (!ok || find_programs(home_.path(), "kesmon", nullptr).empty()) {
    why_ = "start manager: " + out;
    return false;
  }
  return true;
}

bool E2eEnv::start_extract(bool wait_ready, const std::string &options) {
  std::string out;
  const auto count = [](const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
  };
  const std::string ready = "analyze redo log from sequence#";
  // Every thread's process of a clustered source, each with its own log and checkpoint.
  std::vector<std::string> names;
  for (int k = 1; k <= instances_; k++) names.push_back("ext1_" + std::to_string(k));
  if (names.empty()) names.push_back("ext1");
  std::vector<int> before;
  for (const auto &n : names) before.push_back(count(component_log(n.c_str()), ready));
  bool ok = kesh("start extract u1.ext1 " + options, &out) && wait_running("ext1", 10000);
  if (!wait_ready) return ok;
  for (size_t i = 0; ok && i < names.size(); i++) {
    // Changes committed before extract has taken its start position would be neither in
    // the instantiated target nor captured: wait until it reads redo.
    for (int w = 0; ok && count(component_log(names[i].c_str()), ready) <= before[i]; w += 20) {
      if (w > 30000 || pid_of("ext1") <= 0) ok = false;
      sleep_ms(20);
    }
    // A first start has its start point once the checkpoint holds a position: a crash
    // before that would start again from a later point.
    for (int w = 0; ok; w += 20) {
      std::string ckp = read_file(path("data/u1/" + names[i] + ".ckp"));
      if (ckp.size() >= 12 && (ckp[8] | ckp[9] | ckp[10] | ckp[11]) != 0) break;
      if (w > 30000 || pid_of("ext1") <= 0) ok = false;
      sleep_ms(20);
    }
  }
  if (!ok) why_ = "start extract: " + out + component_log("ext1");
  return ok;
}

bool E2eEnv::start_pipeline() { return start_manager() && start_extract() && start_apply(); }

std::string E2eEnv::manager_log() const {
  std::string all;
  DIR *d = opendir(path("log").c_str());
  if (d == nullptr) return all;
  std::vector<std::string> names;
  while (dirent *e = readdir(d))
    if (std::strncmp(e->d_name, "kesmon", 6) == 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto &n : names) all += read_file(path("log/") + n);
  return all;
}

pid_t E2eEnv::wait_restarted(const char *com, pid_t old_pid, int timeout_ms) {
  for (int w = 0; w < timeout_ms; w += 50) {
    pid_t p = pid_of(com);
    if (p > 0 && p != old_pid) {
      seen_.insert(p);
      return p;
    }
    sleep_ms(50);
  }
  why_ = std::string(com) + " not restarted by the manager:\n" + manager_log();
  return -1;
}

std::string E2eEnv::component_log(const char *com) const {
  std::string all;
  DIR *d = opendir(path("log/u1").c_str());
  if (d == nullptr) return all;
  std::vector<std::string> names;
  const std::string prefix = std::string(com) + "_";
  while (dirent *e = readdir(d))
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto &n : names) all += read_file(path("log/u1/") + n);
  return all;
}

bool E2eEnv::start_apply() {
  std::string out;
  bool ok = kesh("start apply u1.app1", &out) && wait_running("app1", 10000);
  if (!ok) why_ = "start apply: " + out;
  return ok;
}

bool E2eEnv::stop_extract() {
  pid_t pid = pid_of("ext1");
  std::string out;
  bool ok = kesh("stop extract u1.ext1", &out);
  if (pid > 0 && !wait_gone(pid, 30000)) ok = false;
  if (!ok) why_ = "stop extract: " + out;
  return ok;
}

bool E2eEnv::stop_apply() {
  pid_t pid = pid_of("app1");
  std::string out;
  bool ok = kesh("stop apply u1.app1", &out);
  if (pid > 0 && !wait_gone(pid, 30000)) ok = false;
  if (!ok) why_ = "stop apply: " + out;
  return ok;
}

bool E2eEnv::kill_extract(int thread) {
  pid_t pid = pid_of_thread("ext1", thread);
  if (pid <= 0) return false;
  kill(pid, SIGKILL);
  return wait_gone(pid, 10000);
}

bool E2eEnv::kill_apply() {
  pid_t pid = pid_of("app1");
  if (pid <= 0) return false;
  kill(pid, SIGKILL);
  return wait_gone(pid, 10000);
}

bool E2eEnv::kill_manager() {
  auto v = find_programs(home_.path(), "kesmon", nullptr);
  if (v.size() != 1) return false;
  kill(v[0], SIGKILL);
  return wait_gone(v[0], 10000);
}

bool E2eEnv::reset_extract_checkpoint(int thread) {
  std::string out;
  const std::string ckp = thread == 0 ? "ext1.ckp" : "ext1_" + std::to_string(thread) + ".ckp";
  bool ok = sh("bin/markedit -f data/u1/" + ckp + " -c", &out) == 0;
  if (!ok) why_ = "markedit: " + out;
  return ok;
}

void E2eEnv::stop_all() {
  remember_pids();
  if (!find_programs(home_.path(), "kesmon", nullptr).empty()) kesh("stop manager");
  // Whatever did not stop in order is killed: a test never leaves a process behind.
  remember_pids();
  for (pid_t p : seen_) {
    if (!wait_gone(p, 15000)) {
      kill(p, SIGKILL);
      wait_gone(p, 5000);
    }
  }
  seen_.clear();
}

bool E2eEnv::start_workload(const std::string &args) {
  const std::string cmd = "cd " + quote(home_.path()) + " && exec bin/orasim run -d " + sim_dir_ +
                          " -n SRC --no-expect " + args + " >tmp/workload.out 2>&1";
  workload_ = fork();
  if (workload_ == 0) {
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  return workload_ > 0;
}

bool E2eEnv::wait_workload(int timeout_s) {
  if (workload_ <= 0) return false;
  for (int w = 0; w < timeout_s * 1000; w += 20) {
    int st = 0;
    if (waitpid(workload_, &st, WNOHANG) == workload_) {
      workload_ = -1;
      if (!(WIFEXITED(st) && WEXITSTATUS(st) == 0)) why_ = "workload: " + read_file(path("tmp/workload.out"));
      return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    sleep_ms(20);
  }
  why_ = "workload did not end in time";
  return false;
}

bool E2eEnv::wait_identical(int timeout_s, const std::string &tables) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    int rc = sh("bin/orasim diff sim/SRC.db sim/TGT.db " + tables, &last_diff_, 60);
    if (rc == 0) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    sleep_ms(300);
  }
}

long E2eEnv::error_file_size() const {
  struct stat st;
  if (stat(path("error/u1/app1_error.dat").c_str(), &st) != 0) return 0;
  return long(st.st_size);
}

std::string E2eEnv::error_log() const {
  std::string all;
  DIR *d = opendir(path("log/u1").c_str());
  if (d == nullptr) return all;
  while (dirent *e = readdir(d))
    if (std::strncmp(e->d_name, "error", 5) == 0) all += read_file(path("log/u1/") + e->d_name);
  closedir(d);
  return all;
}

std::string E2eEnv::unexpected_errors() const {
  // Nothing in a clean run is an error: interleaved rollbacks are placed by their undo
  // slot, and every other message in the unit's error log is a fault.
  return error_log();
}

bool E2eEnv::sql(const char *db, const std::string &stmt) const {
  sqlite3 *h = nullptr;
  bool ok = sqlite3_open(path("sim/" + std::string(db) + ".db").c_str(), &h) == SQLITE_OK;
  std::string why;
  if (ok) {
    sqlite3_busy_timeout(h, 5000);
    ok = sql_exec(h, stmt, &why);
  }
  sqlite3_close(h);
  return ok;
}

long E2eEnv::rows_differing(const std::string &src_table, const std::string &tgt_table) const {
  sqlite3 *h = nullptr;
  long n = -1;
  if (sqlite3_open_v2(path("sim/TGT.db").c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(h, 5000);
    std::string why;
    const std::string s = "s.\"" + src_table + "\"", t = "main.\"" + tgt_table + "\"";
    const std::string q = "select (select count(*) from (select * from " + s + " except select * from " + t +
                          ")) + (select count(*) from (select * from " + t + " except select * from " + s + "))";
    sqlite3_stmt *st = nullptr;
    if (sql_exec(h, "attach " + quote(path("sim/SRC.db")) + " as s", &why) &&
        sqlite3_prepare_v2(h, q.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(h);
  return n;
}

long E2eEnv::count_rows(const char *db, const std::string &table) const {
  sqlite3 *h = nullptr;
  long n = -1;
  if (sqlite3_open_v2(path("sim/" + std::string(db) + ".db").c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(h, 5000);
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(h, ("select count(*) from \"" + table + "\"").c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(h);
  return n;
}

}  // namespace kstest
