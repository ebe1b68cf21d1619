// Faults injected from outside the process, for reliability tests: rows of the table
// "KS$FAULTS" (KIND, ARG, ERR) in the database file and the environment variable
// ORASIM_FAULTS ("kind:arg:err;..."). refuse: sessions fail with ORA-01034 while the row
// exists; drop_after: the session is lost (ORA-03114) after ARG more calls;
// fail_exec: the ARG-th execution from now fails with ORA-ERR; fail_from: so do the
// ARG-th and every later one, while the row exists (a tablespace that stays full until
// its row is deleted, as space comes back when a file is added). A fault that fired is
// removed from the table (after the transaction in progress ends, so the removal is
// never rolled back with it) and never fires again in this process.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "sim/oci/sim.h"

namespace orasim {

namespace {

std::set<std::string> &fired_rows() {
  static std::set<std::string> s;  // "<path>#<rowid>"
  return s;
}

std::string row_key(const Session *s, int64_t rowid) { return s->srv->path + "#" + std::to_string(rowid); }

int64_t data_version(sqlite3 *db) {
  sqlite3_stmt *st = nullptr;
  int64_t v = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA data_version", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return v;
}

void read_table(Session *s) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(s->srv->db, "SELECT rowid, KIND, ARG, ERR FROM \"KS$FAULTS\"", -1, &st, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(st);
    return;
  }
  std::set<int64_t> present;
  while (sqlite3_step(st) == SQLITE_ROW) {
    int64_t id = sqlite3_column_int64(st, 0);
    present.insert(id);
    if (fired_rows().count(row_key(s, id)) != 0) continue;
    bool known = false;
    for (const Fault &f : s->faults) known = known || f.key == id;
    if (known) continue;
    Fault f;
    f.key = id;
    const char *k = reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
    f.kind = k != nullptr ? k : "";
    f.arg = static_cast<long>(sqlite3_column_int64(st, 2));
    f.err = sqlite3_column_int(st, 3);
    s->faults.push_back(f);
  }
  sqlite3_finalize(st);
  // A row deleted from outside withdraws its fault.
  for (size_t k = 0; k < s->faults.size();) {
    if (s->faults[k].key > 0 && present.count(s->faults[k].key) == 0)
      s->faults.erase(s->faults.begin() + static_cast<long>(k));
    else
      k++;
  }
}

void remove_fired(Session *s) {
  if (!sqlite3_get_autocommit(s->srv->db)) return;  // later, once the transaction ended
  for (size_t k = 0; k < s->faults.size();) {
    Fault &f = s->faults[k];
    if (f.fired && f.key > 0) {
      sqlite3_stmt *st = nullptr;
      if (sqlite3_prepare_v2(s->srv->db, "DELETE FROM \"KS$FAULTS\" WHERE rowid=?1", -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(st, 1, f.key);
        // Once the row is gone its id may be reused by a new fault: forget it.
        if (sqlite3_step(st) == SQLITE_DONE) fired_rows().erase(row_key(s, f.key));
      }
      sqlite3_finalize(st);
    }
    if (f.fired)
      s->faults.erase(s->faults.begin() + static_cast<long>(k));
    else
      k++;
  }
}

void fire(Session *s, Fault &f) {
  f.fired = true;
  if (f.key > 0) fired_rows().insert(row_key(s, f.key));
}

}  // namespace

void faults_load(Session *s) {
  s->faults.clear();
  const char *env = getenv("ORASIM_FAULTS");
  if (env != nullptr) {
    std::string all = env;
    size_t pos = 0;
    int64_t n = 0;
    while (pos <= all.size()) {
      size_t end = all.find(';', pos);
      if (end == std::string::npos) end = all.size();
      std::string item = all.substr(pos, end - pos);
      pos = end + 1;
      if (item.empty()) continue;
      Fault f;
      f.key = -(++n);
      size_t c1 = item.find(':');
      f.kind = item.substr(0, c1);
      if (c1 != std::string::npos) {
        f.arg = atol(item.c_str() + c1 + 1);
        size_t c2 = item.find(':', c1 + 1);
        if (c2 != std::string::npos) f.err = atoi(item.c_str() + c2 + 1);
      }
      s->faults.push_back(f);
    }
  }
  read_table(s);
  s->data_version = data_version(s->srv->db);
}

void faults_refresh(Session *s) {
  remove_fired(s);
  int64_t v = data_version(s->srv->db);
  if (v == s->data_version) return;
  s->data_version = v;
  read_table(s);
}

bool faults_refused(Session *s, int *err) {
  for (const Fault &f : s->faults) {
    if (f.kind == "refuse") {
      *err = f.err != 0 ? f.err : 1034;
      return true;
    }
  }
  return false;
}

int faults_on_execute(Session *s) {
  for (Fault &f : s->faults) {
    if (f.fired) continue;
    if (f.kind == "fail_from") {
      // Counts down to its first failure and then fails every execution.
      if (f.arg > 1) {
        f.arg--;
        continue;
      }
      f.arg = 0;
      return f.err != 0 ? f.err : 600;
    }
    if (f.kind != "fail_exec") continue;
    if (--f.arg <= 0) {
      fire(s, f);
      return f.err != 0 ? f.err : 600;
    }
  }
  return 0;
}

bool faults_on_call(Session *s) {
  for (Fault &f : s->faults) {
    if (f.fired || f.kind != "drop_after") continue;
    if (f.arg-- <= 0) {
      fire(s, f);
      return true;
    }
  }
  return false;
}

}  // namespace orasim
