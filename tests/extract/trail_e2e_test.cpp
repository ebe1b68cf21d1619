// Capture end to end: orasim writes an OLTP workload (every column type it has, NULLs and
// trailing NULLs, multi-row inserts, updates of some columns, deletes, rollbacks,
// savepoint rollbacks, interleaved transactions, log switches) in both byte orders and
// versions 10, 11, 12 and 19; extract captures it into trail files; trailcat prints them;
// every committed transaction must hold exactly the changes orasim recorded, in order,
// with the same old and new images.
// Changes cancelled by a rollback to a savepoint are still in the trail, followed by
// the discard marks of their rollback redo; they are resolved here the way the commit
// will resolve them: each mark cancels the latest change of its transaction still
// standing, which must be the same table and the inverse operation.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "lib/ora/ora_date.h"
#include "lib/ora/ora_number.h"
#include "tests/extract/extract_env.h"

namespace {

using kstest::sh;
using kstest::split_lines;
using kstest::unhex;

// ---- the trail side, from trailcat's text -------------------------------------------

struct Change {
  std::string op, table;                       // table as OWNER.TABLE
  bool rollback = false;                       // a discard mark of rollback redo
  std::vector<std::string> neu, old, cols;     // "NAME=[len] text"; QUICK INSERT: cols and rows
  std::vector<std::vector<std::string>> rows;  // "[len] text"
  std::string text() const {
    std::string s = op + " " + table;
    for (const auto &c : neu) s += "\n  new " + c;
    for (const auto &c : old) s += "\n  old " + c;
    for (const auto &c : cols) s += "\n  col " + c;
    for (const auto &r : rows) {
      s += "\n  row";
      for (const auto &v : r) s += " | " + v;
    }
    return s;
  }
};

struct Txn {
  std::string xid, scn;
  std::vector<Change> ch;
  std::string text() const {
    std::string s = "XID " + xid + " SCN " + scn;
    for (const auto &c : ch) s += "\n" + c.text();
    return s;
  }
};

// Column types by OWNER.TABLE and column name, as trailcat names them.
std::map<std::string, std::string> types;

std::vector<Txn> parse_trailcat(const std::string &out) {
  std::vector<Txn> txns;
  Change *cur = nullptr;
  bool in_old = false, discard = false;
  std::string col;
  for (const std::string &l : split_lines(out)) {
    if (l.rfind("=====", 0) == 0) {
      txns.emplace_back();
      cur = nullptr;
    } else if (txns.empty()) {
      continue;
    } else if (l.rfind("XID: ", 0) == 0) {
      size_t a = l.find('('), b = l.find(')');
      txns.back().xid = l.substr(a + 1, b - a - 1);
    } else if (l.rfind("SCN: ", 0) == 0) {
      txns.back().scn = l.substr(5, l.find(',') - 5);
    } else if (l.rfind("LCR [Discard]", 0) == 0) {
      discard = l.find("[Rollbacked]") != std::string::npos;
    } else if (l.rfind("LCR Op: ", 0) == 0) {
      Change c;
      size_t o = l.find("  Owner: ");
      c.op = l.substr(8, o == std::string::npos ? std::string::npos : o - 8);
      if (o != std::string::npos) {
        size_t t = l.find(", Table: ", o);
        if (t == std::string::npos) t = l.find(", Object: ", o);
        c.table = l.substr(o + 9, t - o - 9) + "." + l.substr(l.find(": ", t) + 2);
      }
      c.rollback = discard;
      discard = false;
      in_old = false;
      txns.back().ch.push_back(c);
      cur = &txns.back().ch.back();
    } else if (!cur) {
      continue;
    } else if (l == "Old Image:") {
      in_old = true;
    } else if (l.rfind("row [", 0) == 0) {
      cur->rows.emplace_back();
    } else if (l.rfind("Column Name: ", 0) == 0) {
      size_t t = l.find(", Type: ");
      col = l.substr(13, t - 13);
      types[cur->table + "." + col] = l.substr(t + 8, l.find(", Length: ") - t - 8);
      if (cur->op == "QUICK INSERT") cur->cols.push_back(col);
    } else if (l.rfind("  [", 0) == 0) {
      if (cur->op == "QUICK INSERT") {
        if (!cur->rows.empty()) cur->rows.back().push_back(l.substr(2));
      } else {
        (in_old ? cur->old : cur->neu).push_back(col + "=" + l.substr(2));
      }
    }
  }
  return txns;
}

// ---- the expected side, from orasim's record ------------------------------------------

// A value as trailcat prints it for a column of that type ("[len] text").
std::string value_text(const std::string &type, bool null, const std::string &hexv) {
  if (null) return "[0] NULL";
  std::string b = unhex(hexv);
  const auto *v = reinterpret_cast<const uint8_t *>(b.data());
  const int n = static_cast<int>(b.size());
  std::string up;
  for (char c : hexv) up += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::string t;
  if (type == "VARCHAR2" || type == "CHAR" || type == "NVARCHAR2" || type == "NCHAR") {
    t = b;
  } else if (type == "NUMBER") {
    char s[KS_ORA_NUMBER_TEXT_MAX];
    t = n == 0 ? "" : ks_ora_number_to_text(v, n, s, sizeof s) < 0 ? up : s;
  } else if (type == "DATE" || type == "TIMESTAMP") {
    ks_ora_dt_t dt;
    bool frac = type == "TIMESTAMP";
    if (n < 7) {
      t = "";
    } else if (ks_ora_date_decode(v, frac && n >= 11 ? 11 : 7, &dt) < 0) {
      t = up;
    } else {
      char s[64];
      snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d", dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second);
      t = s;
      if (frac) t += "." + std::to_string(dt.nsec);
    }
  } else {
    t = up;
  }
  return "[" + std::to_string(n) + "] " + t;
}

// Minimal reader of orasim's JSON lines: strings, null, arrays, objects with string keys.
struct Json {
  enum Kind { kNull, kStr, kNum, kArr, kObj } kind = kNull;
  std::string s;
  std::vector<Json> a;
  std::vector<std::pair<std::string, Json>> o;
  const Json &operator[](const std::string &k) const {
    static const Json none;
    for (const auto &p : o)
      if (p.first == k) return p.second;
    return none;
  }
};

Json parse_json(const std::string &t, size_t &i) {
  auto ws = [&] {
    while (i < t.size() && isspace(static_cast<unsigned char>(t[i]))) i++;
  };
  auto str = [&] {
    std::string s;
    for (i++; i < t.size() && t[i] != '"'; i++) {
      if (t[i] == '\\') i++;
      s += t[i];
    }
    i++;
    return s;
  };
  ws();
  Json j;
  if (t[i] == '"') {
    j.kind = Json::kStr;
    j.s = str();
  } else if (t[i] == '[') {
    j.kind = Json::kArr;
    i++;
    for (ws(); t[i] != ']'; ws()) {
      j.a.push_back(parse_json(t, i));
      ws();
      if (t[i] == ',') i++;
    }
    i++;
  } else if (t[i] == '{') {
    j.kind = Json::kObj;
    i++;
    for (ws(); t[i] != '}'; ws()) {
      std::string k = str();
      ws();
      i++;  // ':'
      j.o.emplace_back(k, parse_json(t, i));
      ws();
      if (t[i] == ',') i++;
    }
    i++;
  } else if (t.compare(i, 4, "null") == 0) {
    i += 4;
  } else {
    j.kind = Json::kNum;
    while (i < t.size() && (isdigit(static_cast<unsigned char>(t[i])) || t[i] == '-')) j.s += t[i++];
  }
  return j;
}

std::vector<Txn> parse_expected(const std::string &file) {
  std::vector<Txn> txns;
  for (const std::string &l : split_lines(file)) {
    if (l.empty()) continue;
    size_t i = 0;
    Json j = parse_json(l, i);
    Txn x;
    x.xid = j["xid"].s;
    x.scn = j["scn"].s;
    for (const Json &c : j["changes"].a) {
      Change ch;
      ch.op = c["op"].s;
      ch.table = c["owner"].s + "." + c["table"].s;
      auto pairs = [&](const Json &list, std::vector<std::string> &out) {
        for (const Json &p : list.a) {
          const std::string &name = p.a[0].s;
          out.push_back(name + "=" + value_text(types[ch.table + "." + name], p.a[1].kind == Json::kNull, p.a[1].s));
        }
      };
      pairs(c["new"], ch.neu);
      pairs(c["old"], ch.old);
      for (const Json &n : c["columns"].a) ch.cols.push_back(n.s);
      for (const Json &r : c["rows"].a) {
        ch.rows.emplace_back();
        for (size_t k = 0; k < r.a.size(); k++)
          ch.rows.back().push_back(
              value_text(types[ch.table + "." + ch.cols[k]], r.a[k].kind == Json::kNull, r.a[k].s));
      }
      x.ch.push_back(ch);
    }
    txns.push_back(x);
  }
  return txns;
}

// The operation whose rollback redo carries op.
std::string undone_by(const std::string &op) {
  if (op == "DELETE") return "INSERT";
  if (op == "INSERT") return "DELETE";
  if (op == "QUICK DELETE") return "QUICK INSERT";
  return op;
}

// Applies the rollback marks and keeps what a target must receive: the workload's own
// row changes. Schema set-up and sequence upkeep are not part of orasim's record.
std::vector<Txn> resolve(const std::vector<Txn> &in, std::vector<std::string> *faults, int *marks) {
  std::vector<Txn> out;
  for (const Txn &t : in) {
    Txn r{t.xid, t.scn, {}};
    for (const Change &c : t.ch) {
      if (c.op == "COMMIT" || c.op == "DDL" || c.op == "SYNC SEQUENCE" || c.table.rfind("SYS.", 0) == 0) continue;
      if (!c.rollback) {
        r.ch.push_back(c);
        continue;
      }
      if (r.ch.empty() || r.ch.back().table != c.table || r.ch.back().op != undone_by(c.op)) {
        faults->push_back("XID " + t.xid + ": rollback mark " + c.op + " " + c.table + " cancels " +
                          (r.ch.empty() ? std::string("nothing") : r.ch.back().op + " " + r.ch.back().table));
        continue;
      }
      r.ch.pop_back();
      ++*marks;
    }
    // Nothing left to deliver (only row locks, or all rolled back to a savepoint): a
    // transaction without changes need not reach the trail at all.
    if (!r.ch.empty()) out.push_back(r);
  }
  return out;
}

std::vector<std::string> trail_files(const std::string &dir) {
  std::vector<std::pair<int, std::string>> found;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      int n = 0;
      char tail[8] = "";
      if (sscanf(e->d_name, "E1_%d.da%1s", &n, tail) == 2 && std::string(tail) == "t") found.emplace_back(n, e->d_name);
    }
    closedir(d);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto &f : found) out.push_back(dir + "/" + f.second);
  return out;
}

void run_case(const std::string &create_opts) {
  kstest::ExtractEnv env;
  ASSERT_TRUE(env.ok());
  std::string bin = KS_BIN_DIR, sim = " -d " + env.home().file("sim") + " -n SRC";
  ASSERT_EQ(
      system((bin + "/orasim create" + sim + " --log-size 64K --groups 3 " + create_opts + " >/dev/null 2>&1").c_str()),
      0);
  std::string expect = env.home().file("expect.jsonl");
  // KS_TRAIL_TXNS=<n> runs a longer workload by hand; the default keeps the test short.
  std::string txns = getenv("KS_TRAIL_TXNS") ? getenv("KS_TRAIL_TXNS") : "80";
  ASSERT_EQ(system((bin + "/orasim run" + sim + " --txns " + txns +
                    " --seed 11 --concurrency 4 --rollback 20 --savepoint 30 --multi 30 --switch-every 30"
                    " --expect " +
                    expect + " >/dev/null 2>&1")
                       .c_str()),
            0);
  ASSERT_GT(env.start({"-sscn", "1000001"}, {"KESTRO_OCI_LIB=" KS_LIB_DIR "/liborasim.so"}), 0);
  ASSERT_TRUE(env.wait_log("reach the end of log file")) << env.info_log() << env.error_log();
  ASSERT_TRUE(env.stop());
  ASSERT_EQ(env.wait_exit(), 0) << env.error_log();
  EXPECT_EQ(env.error_log().find("ERROR"), std::string::npos) << env.error_log();

  std::vector<std::string> files = trail_files(env.home().file("data/U1"));
  ASSERT_FALSE(files.empty());
  std::string printed;
  for (const std::string &f : files) printed += sh(bin + "/trailcat -f " + f + " 2>/dev/null");
  types.clear();
  std::vector<std::string> faults, none;
  int marks = 0, no_marks = 0;
  std::vector<Txn> got = resolve(parse_trailcat(printed), &faults, &marks);
  std::vector<Txn> want = resolve(parse_expected(kstest::read_file(expect)), &none, &no_marks);
  EXPECT_GT(marks, 0) << "the workload rolled nothing back to a savepoint";
  for (const auto &f : faults) ADD_FAILURE() << create_opts << ": " << f;
  EXPECT_GT(want.size(), 40u);
  EXPECT_EQ(got.size(), want.size()) << create_opts;
  for (size_t i = 0; i < got.size() && i < want.size(); i++) {
    EXPECT_EQ(got[i].text(), want[i].text()) << create_opts << ", transaction " << i;
    if (got[i].text() != want[i].text()) break;  // one difference tells; the rest follow from it
  }
}

}  // namespace

TEST(CaptureTrail, LittleEndian19) { run_case("--version 19"); }
TEST(CaptureTrail, BigEndian19) { run_case("--version 19 --big-endian"); }
TEST(CaptureTrail, LittleEndian12) { run_case("--version 12 --block-size 1024"); }
TEST(CaptureTrail, BigEndian12) { run_case("--version 12 --big-endian"); }
TEST(CaptureTrail, LittleEndian11) { run_case("--version 11 --block-size 1024"); }
TEST(CaptureTrail, BigEndian11) { run_case("--version 11 --big-endian"); }
TEST(CaptureTrail, LittleEndian10) { run_case("--version 10"); }
TEST(CaptureTrail, BigEndian10) { run_case("--version 10 --big-endian"); }
