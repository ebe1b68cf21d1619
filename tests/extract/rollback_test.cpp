// Rolled-back work never reaches the trail: extract captures from the simulated source
// while sessions roll back to savepoints and roll back whole transactions, and trailcat's
// view of the trail (discarded records left out) must equal what the source committed,
// as the source itself records it; redocat prints the same redo as the trail shows it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "lib/ora/ora_date.h"
#include "lib/ora/ora_number.h"
#include "sim/source/sim_db.h"
#include "sim/source/workload.h"
#include "tests/extract/extract_env.h"

namespace {

using ks::sim::ks_sim_db;
using kstest::sh;
using kstest::unhex;
const auto &lines = kstest::split_lines;

// ---- the trail as trailcat prints it ----------------------------------------------------

// Committed transactions, one line each: "<xid> <scn>" and then every record not marked
// discarded as "| <op> <owner>.<table> <section>: <column>=<value> ...". Also collects
// each column's type as printed, to render the source's values the same way.
std::vector<std::string> trail_view(const std::string &out, std::map<std::string, std::string> *types) {
  std::vector<std::string> done;
  std::string cur, table;
  bool skip = false, in_trans = false, qmi = false;
  for (const std::string &l : lines(out)) {
    if (l.rfind("SCN: ", 0) == 0) {
      cur = "scn " + l.substr(5, l.find(',') - 5);
      in_trans = true;
    } else if (!in_trans) {
      continue;
    } else if (l.rfind("XID: ", 0) == 0) {
      cur += " xid " + l.substr(l.find('(') + 1);
      cur.pop_back();
    } else if (!in_trans) {
      continue;
    } else if (l.rfind("LCR [Discard]", 0) == 0) {
      skip = true;
    } else if (l.rfind("---------------------------------", 0) == 0) {
      skip = false;
    } else if (skip) {
      continue;
    } else if (l == "LCR Op: COMMIT") {
      done.push_back(cur);
      in_trans = false;
    } else if (l.rfind("LCR Op: ", 0) == 0) {
      // "LCR Op: INSERT  Owner: OLTP, Table: CUSTOMERS"
      size_t o = l.find("  Owner: "), t = l.find(", Table: ");
      if (o == std::string::npos || t == std::string::npos) {
        cur += " | " + l.substr(8);
        continue;
      }
      table = l.substr(o + 9, t - o - 9) + "." + l.substr(t + 9);
      qmi = l.compare(8, o - 8, "QUICK INSERT") == 0;
      cur += " | " + l.substr(8, o - 8) + " " + table;
    } else if (l == "New Image:") {
      cur += " new:";
    } else if (l == "Old Image:") {
      cur += " old:";
    } else if (l.rfind("row [", 0) == 0) {
      cur += " row:";
    } else if (l.rfind("Column Name: ", 0) == 0) {
      size_t c = l.find(", Type: "), e = l.find(", Length: ");
      std::string col = l.substr(13, c - 13);
      (*types)[table + "." + col] = l.substr(c + 8, e - c - 8);
      if (!qmi) cur += " " + col + "=";  // a quick insert lists its columns once, before its rows
    } else if (l.rfind("  [", 0) == 0) {
      cur += l.substr(l.find("] ") + 2) + ";";
    }
  }
  return done;
}

// ---- the source's record of what it committed -----------------------------------------

// A value as trailcat prints one of that type.
std::string render(const std::string &type, bool null, const std::string &hex) {
  if (null) return "NULL";
  std::string b = unhex(hex);
  auto *p = reinterpret_cast<const uint8_t *>(b.data());
  char s[KS_ORA_NUMBER_TEXT_MAX];
  if (type == "VARCHAR2" || type == "CHAR" || type == "NVARCHAR2" || type == "NCHAR") return b;
  if (type == "NUMBER" && ks_ora_number_to_text(p, static_cast<int>(b.size()), s, sizeof s) >= 0) return s;
  ks_ora_dt_t dt;
  if ((type == "DATE" || type == "TIMESTAMP") && b.size() >= 7 &&
      ks_ora_date_decode(p, type == "DATE" ? 7 : static_cast<int>(std::min<size_t>(b.size(), 11)), &dt) == 0) {
    snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d", dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second);
    std::string r = s;
    if (type == "TIMESTAMP") r += "." + std::to_string(dt.nsec);
    return r;
  }
  std::string u;
  for (char c : hex) u += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return u;
}

// Minimal reader of the source's JSON lines: strings, null, arrays, objects.
struct Json {
  const std::string &s;
  size_t p = 0;
  void ws() {
    while (p < s.size() && (s[p] == ' ' || s[p] == ',' || s[p] == ':')) p++;
  }
  std::string str() {
    ws();
    std::string r;
    if (s[p] != '"') return r;
    for (p++; p < s.size() && s[p] != '"'; p++) {
      if (s[p] == '\\') p++;
      r += s[p];
    }
    p++;
    return r;
  }
  bool null() {
    ws();
    if (s.compare(p, 4, "null") == 0) {
      p += 4;
      return true;
    }
    return false;
  }
  bool open(char c) {
    ws();
    if (p < s.size() && s[p] == c) {
      p++;
      return true;
    }
    return false;
  }
  std::string number() {
    ws();
    size_t b = p;
    while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) p++;
    return s.substr(b, p - b);
  }
};

std::vector<std::string> expected_view(const std::string &expect, const std::map<std::string, std::string> &types) {
  std::vector<std::string> done;
  auto type_of = [&](const std::string &table, const std::string &col) {
    auto it = types.find(table + "." + col);
    return it == types.end() ? std::string("?") : it->second;
  };
  for (const std::string &l : lines(expect)) {
    if (l.empty()) continue;
    Json j{l};
    j.open('{');
    j.str();  // xid
    std::string xid = j.str();
    j.str();  // scn
    std::string cur = "scn " + j.number() + " xid " + xid;
    j.str();  // changes
    j.open('[');
    while (j.open('{')) {
      std::map<std::string, std::string> f;
      std::string op, table, body;
      std::vector<std::string> qcols;
      for (;;) {
        std::string key = j.str();
        if (key.empty()) break;
        if (key == "op")
          op = j.str();
        else if (key == "owner")
          table = j.str() + table;
        else if (key == "table")
          table += "." + j.str();
        else if (key == "new" || key == "old") {
          body += " " + key + ":";
          j.open('[');
          while (j.open('[')) {
            std::string c = j.str();
            bool n = j.null();
            std::string v = n ? "" : j.str();
            j.open(']');
            body += " " + c + "=" + render(type_of(table, c), n, v) + ";";
          }
          j.open(']');
        } else if (key == "columns") {
          j.open('[');
          for (std::string c = j.str(); !c.empty(); c = j.str()) qcols.push_back(c);
          j.open(']');
        } else if (key == "rows") {
          j.open('[');
          while (j.open('[')) {
            body += " row:";
            for (size_t k = 0; k < qcols.size(); k++) {
              bool n = j.null();
              std::string v = n ? "" : j.str();
              body += render(type_of(table, qcols[k]), n, v) + ";";
            }
            j.open(']');
          }
          j.open(']');
        }
        if (j.open('}')) break;
      }
      cur += " | " + op + " " + table + body;
    }
    done.push_back(cur);
  }
  return done;
}

// ---- running the pipeline -----------------------------------------------------------------

// Captures from start_scn to the end of the current log and prints every trail file.
std::string capture(kstest::ExtractEnv &env, uint64_t start_scn) {
  std::vector<std::string> env_vars = {"KESTRO_OCI_LIB=" KS_LIB_DIR "/liborasim.so"};
  if (env.start({"-sscn", std::to_string(start_scn)}, env_vars) <= 0) return "";
  bool ended = env.wait_log("reach the end of log file");
  EXPECT_TRUE(ended) << env.info_log();
  EXPECT_TRUE(env.stop());
  EXPECT_EQ(env.wait_exit(), 0) << env.error_log();
  std::string out;
  for (int n = 0; n < 100; n++) {
    std::string f = env.home().file("data/U1/E1_" + std::to_string(n) + ".dat");
    if (!kstest::file_exists(f)) continue;
    out += sh(std::string(KS_BIN_DIR) + "/trailcat -f " + f + " 2>/dev/null");
  }
  return out;
}

// Compares and returns the trail's view, all transactions in one text.
std::string compare(const std::string &trail, const std::string &expect) {
  if (const char *keep = getenv("KS_ROLLBACK_KEEP")) {
    kstest::write_file(std::string(keep) + "/trail.txt", trail);
    kstest::write_file(std::string(keep) + "/expect.jsonl", expect);
  }
  std::map<std::string, std::string> types;
  std::vector<std::string> got = trail_view(trail, &types);
  std::vector<std::string> want = expected_view(expect, types);
  EXPECT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size() && i < want.size(); i++) EXPECT_EQ(got[i], want[i]) << "transaction " << i;
  std::string all;
  for (const std::string &t : got) all += t + "\n";
  return all;
}

// The committed transactions of a printout, each from its "SCN: " line to its COMMIT.
std::vector<std::string> transaction_blocks(const std::string &out) {
  std::vector<std::string> blocks;
  std::string cur;
  bool in = false;
  for (const std::string &l : lines(out)) {
    if (l.rfind("SCN: ", 0) == 0) {
      in = true;
      cur.clear();
    }
    if (!in) continue;
    cur += l + "\n";
    if (l == "LCR Op: COMMIT") {
      blocks.push_back(cur);
      in = false;
    }
  }
  return blocks;
}

// redocat, given the capture's dictionary, prints each committed transaction of the same
// redo exactly as trailcat prints it from the trail: rollbacks resolved the same way.
void expect_redocat_as_trail(const kstest::ExtractEnv &env, uint64_t start_scn, const std::string &trail) {
  std::string dicts = sh("ls " + env.home().file("dict/U1") + "/*.dict");
  std::string dict = dicts.substr(0, dicts.find('\n'));
  std::string out = sh(std::string(KS_BIN_DIR) + "/redocat -d " + dict + " -s " + std::to_string(start_scn) + " -f " +
                       env.home().file("sim/SRC/onlinelog/redo01.log") + " 2>&1");
  std::vector<std::string> want = transaction_blocks(trail), got = transaction_blocks(out);
  EXPECT_GE(want.size(), 2u) << dicts;
  EXPECT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size() && i < want.size(); i++) EXPECT_EQ(got[i], want[i]) << "transaction " << i;
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
}

}  // namespace

// Two sessions interleave: the record that rolls a session back to its savepoint comes
// right after a change of the other session, and so does the first record of a whole
// rollback; a rolled-back multi-row insert cancels itself only.
TEST(ExtractRollback, SavepointRollbackAfterAnotherSessionsChange) {
  kstest::SourceDb src;
  src.schema = "APP";
  kstest::ExtractEnv env(src);
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create"), 0);
  uint64_t start = 0;
  FILE *expect = fopen(env.home().file("expect.jsonl").c_str(), "w");
  ASSERT_NE(expect, nullptr);
  {
    ks_sim_db db;
    ASSERT_EQ(db.open(env.home().file("sim"), "SRC"), 0) << ks_log_get_message();
    ks::sim::ks_col_t id, v;
    id.name = "ID", id.type = 2, id.length = 22, id.not_null = true;
    v.name = "V", v.type = 1, v.length = 20;
    ASSERT_EQ(db.create_user("APP"), 0);
    ASSERT_EQ(
        db.create_table("APP", "T", {id, v}, {"ID"}, "create table APP.T (ID number primary key, V varchar2(20))"), 0);
    start = db.scn() + 1;
    db.set_expect_file(expect);
    ks::sim::ks_table_t *t = db.table("APP", "T");
    auto row = [&](int i, const char *s) {
      ks::sim::ks_val_t a, b;
      EXPECT_EQ(db.value_from_text(t->cols[0], std::to_string(i), false, &a), 0);
      EXPECT_EQ(db.value_from_text(t->cols[1], s, false, &b), 0);
      return std::vector<ks::sim::ks_val_t>{a, b};
    };
    auto val = [&](const char *s) {
      ks::sim::ks_val_t b;
      EXPECT_EQ(db.value_from_text(t->cols[1], s, false, &b), 0);
      return b;
    };
    ks::sim::ks_txn_t *a = db.begin(), *b = db.begin(), *c = db.begin();
    ASSERT_EQ(db.insert(a, t, row(1, "a1")), 0);
    uint32_t a1 = db.inserted()[0];
    ASSERT_EQ(db.savepoint(a, "S"), 0);
    ASSERT_EQ(db.insert(a, t, row(2, "a2")), 0);
    ASSERT_EQ(db.update(a, t, a1, {1}, {val("a1 changed")}), 0);
    ASSERT_EQ(db.insert(b, t, row(3, "b3")), 0);
    uint32_t b3 = db.inserted()[0];
    ASSERT_EQ(db.rollback_to(a, "S"), 0);  // follows b's insert
    ASSERT_EQ(db.insert(c, t, row(4, "c4")), 0);
    ASSERT_EQ(db.savepoint(b, "S"), 0);
    ASSERT_EQ(db.update(b, t, b3, {1}, {val("b3 changed")}), 0);
    ASSERT_EQ(db.insert(a, t, row(5, "a5")), 0);
    ASSERT_EQ(db.rollback_to(b, "S"), 0);  // follows a's insert
    ASSERT_EQ(db.insert(a, t, row(6, "a6")), 0);
    ASSERT_EQ(db.rollback(c), 0);  // follows a's insert
    // A multi-row insert rolled back to a savepoint taken after other changes: its rows
    // go, and a5 and a6 before it stay.
    ASSERT_EQ(db.savepoint(a, "M"), 0);
    ASSERT_EQ(db.insert_multi(a, t, {row(7, "a7"), row(8, "a8"), row(9, "a9")}), 0);
    ASSERT_EQ(db.rollback_to(a, "M"), 0);
    ASSERT_EQ(db.commit(b), 0);
    ASSERT_EQ(db.commit(a), 0);
    ASSERT_EQ(db.close(), 0);
  }
  fclose(expect);
  std::string trail = capture(env, start);
  std::string want = kstest::read_file(env.home().file("expect.jsonl"));
  ASSERT_EQ(kstest::ExtractEnv::occurrences(want, "\"xid\""), 2) << want;  // a and b committed
  std::string got = compare(trail, want);
  // What the savepoint rollbacks undid is in the trail, marked, and not delivered.
  EXPECT_NE(trail.find("a1 changed"), std::string::npos);
  EXPECT_EQ(got.find("a1 changed"), std::string::npos) << got;
  EXPECT_EQ(got.find("b3 changed"), std::string::npos) << got;
  EXPECT_EQ(got.find("c4"), std::string::npos) << got;
  EXPECT_NE(got.find("a6"), std::string::npos) << got;
  EXPECT_EQ(got.find("a8"), std::string::npos) << got;
  EXPECT_EQ(kstest::ExtractEnv::occurrences(env.error_log(), "partial rollback xid"), 0) << env.error_log();
  expect_redocat_as_trail(env, start, trail);
}

// The source's own workload with savepoint rollbacks, whole rollbacks and eight sessions.
TEST(ExtractRollback, WorkloadWithRollbacksMatchesWhatTheSourceCommitted) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  ASSERT_EQ(orasim(env, "create"), 0);
  uint64_t start = 0;
  {
    // The schema first, so that capture starts with it in the dictionary.
    ks_sim_db db;
    ASSERT_EQ(db.open(env.home().file("sim"), "SRC"), 0) << ks_log_get_message();
    ASSERT_EQ(ks::sim::ks_oltp_setup(db, 7), 0);
    start = db.scn() + 1;
    ASSERT_EQ(db.close(), 0);
  }
  ASSERT_EQ(orasim(env, "run --txns 60 --seed 11 --concurrency 8 --savepoint 30 --rollback 10 --expect " +
                            env.home().file("expect.jsonl")),
            0);
  std::string trail = capture(env, start);
  std::string want = kstest::read_file(env.home().file("expect.jsonl"));
  compare(trail, want);
  EXPECT_NE(trail.find("LCR [Discard] [Rollbacked]"), std::string::npos);
  EXPECT_EQ(kstest::ExtractEnv::occurrences(env.error_log(), "partial rollback xid"), 0) << env.error_log();
  expect_redocat_as_trail(env, start, trail);
}
