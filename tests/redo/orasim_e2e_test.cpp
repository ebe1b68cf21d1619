// End to end against the simulated source: orasim writes redo for an OLTP workload
// (inserts, multi-row inserts, updates, deletes, rollbacks, savepoint rollbacks,
// interleaved transactions) in both byte orders and several versions; the dictionary is
// exported through the stand-in OCI library; redocat decodes the log; the committed
// transactions, with rolled-back changes cancelled by their rollback redo, must equal
// orasim's own record of what it did.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/redo/orasim_source.h"
#include "tests/testutil.h"

namespace {

using kstest::sh;

std::vector<std::string> lines(const std::string &s) {
  std::vector<std::string> v;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t e = s.find('\n', pos);
    if (e == std::string::npos) e = s.size();
    if (e > pos) v.push_back(s.substr(pos, e - pos));
    pos = e + 1;
  }
  return v;
}

std::string field(const std::string &l, const std::string &key) {
  std::string k = "\"" + key + "\": ";
  size_t p = l.find(k);
  if (p == std::string::npos) return "";
  p += k.size();
  size_t e = l[p] == '"' ? l.find('"', p + 1) + 1 : l.find_first_of(",}", p);
  return l.substr(p, e - p);
}

// Committed transactions from redocat's change lines, in commit order, as orasim records
// them: rollback redo cancels the latest change of its transaction still standing.
std::vector<std::string> decode(const std::string &out) {
  std::map<std::string, std::vector<std::string>> open;
  std::vector<std::string> done;
  for (const std::string &l : lines(out)) {
    std::string op = field(l, "op"), xid = field(l, "xid");
    if (op == "\"COMMIT\"") {
      auto it = open.find(xid);
      if (it != open.end()) {
        auto &v = it->second;
        std::string t = "{\"xid\": " + xid + ", \"scn\": " + field(l, "scn") + ", \"changes\": [";
        for (size_t i = 0; i < v.size(); i++) t += (i ? ", " : "") + v[i];
        done.push_back(t + "]}");
      }
      open.erase(xid);
    } else if (op == "\"DDL\"" || field(l, "owner") == "\"SYS\"") {
      continue;  // schema set-up and sequence table: orasim records the workload's rows only
    } else if (op == "\"ROLLBACK\"") {
      open.erase(xid);
    } else if (l.find("\"rollback_redo\": true") != std::string::npos) {
      auto &v = open[xid];
      if (!v.empty()) v.pop_back();
    } else {
      size_t p = l.find(", \"new\": ");
      if (p == std::string::npos) p = l.find(", \"old\": ");
      if (p == std::string::npos) p = l.find(", \"columns\": ");
      std::string body = p == std::string::npos ? "}" : l.substr(p);
      open[xid].push_back("{\"op\": " + op + ", \"owner\": " + field(l, "owner") + ", \"table\": " + field(l, "table") +
                          body);
    }
  }
  return done;
}

// Row changes by "OWNER.TABLE OP", from orasim's committed transactions or from the
// lines of redocat -S (schema set-up and the sequence table left out, as above).
std::map<std::string, int> expected_counts(const std::string &expect) {
  auto text = [](const std::string &q) { return q.size() < 2 ? q : q.substr(1, q.size() - 2); };
  std::map<std::string, int> n;
  for (const std::string &l : lines(expect))
    for (size_t p = 0; (p = l.find("{\"op\": ", p)) != std::string::npos; p++) {
      std::string c = l.substr(p);
      n[text(field(c, "owner")) + "." + text(field(c, "table")) + " " + text(field(c, "op"))]++;
    }
  return n;
}
std::map<std::string, int> summary_counts(const std::string &out) {
  std::map<std::string, int> n;
  bool in = false;
  for (const std::string &l : lines(out)) {
    if (l.rfind("row changes of committed transactions", 0) == 0)
      in = true;
    else if (l.rfind("  ", 0) != 0)
      in = false;
    else if (in && l.rfind("  SYS.", 0) != 0)
      n[l.substr(2, l.rfind(':') - 2)] = atoi(l.c_str() + l.rfind(':') + 1);
  }
  return n;
}

void run_case(const std::string &opts, const std::string &run_opts = "") {
  kstest::TempHome home;
  std::string sim = home.file("sim");
  std::string bin = KS_BIN_DIR;
  std::string why;
  ASSERT_TRUE(make_orasim_source(home, opts,
                                 "--txns " + std::string(getenv("KS_REDO_TXNS") ? getenv("KS_REDO_TXNS") : "40") +
                                     " --seed 7 --concurrency 4 --rollback 20 --savepoint 30 --multi 30 " + run_opts +
                                     " --expect " + home.file("expect.jsonl"),
                                 &why))
      << why;
  std::string out =
      sh(bin + "/redocat -j -f " + sim + "/SRC/onlinelog/redo01.log -d " + home.file("dict/U/C.dict") + " 2>&1");
  // KS_REDO_KEEP=<dir> keeps the log and the dictionary (input of the decoding benchmark).
  if (const char *keep = getenv("KS_REDO_KEEP"))
    sh("cp " + sim + "/SRC/onlinelog/redo01.log " + home.file("dict/U/C.dict") + " " + keep);
  // A transaction whose statements changed no row (it only locked rows, or every change
  // was rolled back to a savepoint) has nothing to deliver: capture builds no change for
  // a row lock, so such a transaction may be absent. Both sides drop them.
  auto drop_empty = [](std::vector<std::string> v) {
    std::erase_if(v, [](const std::string &t) { return t.find("\"changes\": []}") != std::string::npos; });
    return v;
  };
  std::vector<std::string> got = drop_empty(decode(out)),
                           want = drop_empty(lines(kstest::read_file(home.file("expect.jsonl"))));
  if (const char *keep = getenv("KS_REDO_KEEP")) {
    std::string g, w;
    for (const auto &t : got) g += t + "\n";
    for (const auto &t : want) w += t + "\n";
    kstest::write_file(std::string(keep) + "/got.jsonl", g);
    kstest::write_file(std::string(keep) + "/want.jsonl", w);
  }
  EXPECT_EQ(got.size(), want.size()) << opts;
  for (size_t i = 0; i < got.size() && i < want.size(); i++) EXPECT_EQ(got[i], want[i]) << opts << " transaction " << i;

  // The summary counts what was committed, rollbacks resolved; without the dictionary the
  // same log is walked whole, with no message, and decodes no row.
  std::string log = sim + "/SRC/onlinelog/redo01.log";
  std::string with = sh(bin + "/redocat -S -f " + log + " -d " + home.file("dict/U/C.dict") + " 2>&1; echo rc=$?");
  std::map<std::string, int> counts = summary_counts(with);
  EXPECT_GE(counts.size(), 6u) << with;
  EXPECT_EQ(counts, expected_counts(kstest::read_file(home.file("expect.jsonl")))) << with;
  std::string without = sh(bin + "/redocat -S -f " + log + " 2>&1; echo rc=$?");
  auto records = [](const std::string &o) { return o.substr(0, o.find("changes by operation")); };
  EXPECT_EQ(records(without), records(with));
  EXPECT_NE(without.find("\nrow changes: none decoded without a dictionary (-d)\n"), std::string::npos) << without;
  EXPECT_NE(without.find("\nrecords of captured tables not captured: 0\nrc=0\n"), std::string::npos) << without;
  std::string text = sh(bin + "/redocat -f " + log + " 2>&1 >/dev/null; echo rc=$?");
  EXPECT_EQ(text, "rc=0\n");
}

TEST(RedoOrasim, LittleEndian19) { run_case("--version 19"); }
TEST(RedoOrasim, BigEndian19) { run_case("--version 19 --big-endian"); }
TEST(RedoOrasim, LittleEndian11) { run_case("--version 11 --block-size 1024"); }
TEST(RedoOrasim, BigEndian10) { run_case("--version 10 --big-endian"); }
TEST(RedoOrasim, LittleEndian12) { run_case("--version 12"); }
// Rows stored as pieces: every value of every row of a 300-column table and of long rows,
// inserted, updated (rows moved), deleted and rolled back, decodes exactly.
TEST(RedoOrasim, ChainedRowsLittleEndian19) { run_case("--version 19", "--chained 70"); }
// Index-organised tables: inserts, array inserts, non-key and key updates, deletes and
// their savepoint rollbacks, all decoded from leaf redo.
TEST(RedoOrasim, IotLittleEndian19) { run_case("--version 19", "--iot 60"); }
TEST(RedoOrasim, IotBigEndian11) { run_case("--version 11 --big-endian", "--iot 60"); }
TEST(RedoOrasim, ChainedRowsBigEndian11) { run_case("--version 11 --big-endian --block-size 1024", "--chained 70"); }
// Rows of compressed tables (whole row images, overwrites with no supplemental header,
// their rollbacks) mixed with the ordinary shapes decode exactly.
TEST(RedoOrasim, CompressedRowsBothByteOrders) {
  run_case("--version 19", "--compress 60");
  run_case("--version 11 --big-endian", "--compress 60");
}

}  // namespace
