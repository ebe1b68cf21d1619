// A clustered source: instances writing one redo thread each, with one SCN sequence. The
// scenario runs the command line as the acceptance tests do (sessions on several instances
// in one script, shutdown and startup, two runs at once) and reads the result the way
// extract does: the catalogue through the database layer, the logs through the decoder.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "extract/db_query.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"
#include "oci/oci.h"
#include "sim/source/sim_db.h"
#include "sim/source/workload.h"
#include "tests/testutil.h"

using namespace ks::sim;

namespace {

const std::string kBin = KS_BIN_DIR;

// One row of integers (or the first column's text) of a catalogue query, through the layer
// connected with the given descriptor; false when the query fails.
bool query(const std::string &tns, const std::string &sql, std::vector<std::vector<int64_t>> *rows, int ncol) {
  ks_oci_ses_t se{};
  if (ks_oci_connect(&se, "KS", "KS", tns.c_str(), 1) != 0) return false;
  std::vector<int64_t> v(size_t(ncol) * 64);
  std::vector<ks_qcol_t> cols;
  for (int c = 0; c < ncol; c++) cols.push_back({KS_QT_INT, 8, v.data() + c * 64});
  ks_oci_stmt_t st{};
  int n = ks_db_query(&se, &st, false, sql.c_str(), nullptr, 0, cols.data(), ncol, 64);
  ks_oci_disconnect(&se);
  if (n < 0) return false;
  rows->clear();
  for (int r = 0; r < n; r++) {
    rows->emplace_back();
    for (int c = 0; c < ncol; c++) rows->back().push_back(v[size_t(c * 64 + r)]);
  }
  return true;
}

std::string tns(const char *inst) {
  std::string d = "(DESCRIPTION=(ADDRESS=(PROTOCOL=tcp)(HOST=h)(PORT=1))(CONNECT_DATA=(SERVICE_NAME=RAC)";
  if (inst) d += std::string("(INSTANCE_NAME=") + inst + ")";
  return d + "))";
}

// What the logs of one thread hold, as the decoder reads them: every record's SCN in log
// order and the SCNs of its commit records.
struct ThreadRedo {
  std::vector<uint64_t> scns;
  std::set<uint64_t> commits;
};

// Reads one log into r: its header must name thread, and it must decode cleanly.
void read_log(const std::string &path, uint32_t thread, ThreadRedo *r) {
  std::string head = kstest::read_file(path).substr(0, 1024);
  ASSERT_GE(head.size(), 1024u) << path;
  EXPECT_EQ(ks::load16(head.data() + 512 + ks::redo::KS_REDO_FH1_THREAD, false), thread) << path;
  int st = -1;
  const std::string out = kstest::sh(kBin + "/redocat -f " + path + " 2>&1", &st);
  ASSERT_EQ(st, 0) << out;
  uint64_t scn = 0;
  for (const std::string &l : kstest::split_lines(out)) {
    if (l.rfind("RECORD ", 0) == 0) {
      scn = strtoull(l.c_str() + l.find(" scn ") + 5, nullptr, 10);
      r->scns.push_back(scn);
    } else if (l.find(" OP 5.4 ") != std::string::npos) {
      r->commits.insert(scn);
    }
  }
  const std::string sum = kstest::sh(kBin + "/redocat -S -f " + path + " 2>&1", &st);
  EXPECT_NE(sum.find("with a malformed change: 0)"), std::string::npos) << sum;
  EXPECT_NE(sum.find("blocks failing their checksum: 0"), std::string::npos) << sum;
}

// Every log of a thread in sequence order, from the catalogue: archived copies in SCN
// order, then the current log when read_current (one never reused: the decoder has no
// sequence to stop at in a file, where blocks of an older one may follow).
ThreadRedo thread_redo(sqlite3 *db, uint32_t thread, bool read_current) {
  ThreadRedo r;
  sqlite3_stmt *s = nullptr;
  std::string sql =
      "SELECT \"SEQUENCE#\", \"FIRST_CHANGE#\", \"NEXT_CHANGE#\", \"NAME\" FROM \"V$ARCHIVED_LOG\" WHERE "
      "\"THREAD#\" = " +
      std::to_string(thread) + " ORDER BY \"SEQUENCE#\"";
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK);
  int64_t seq = 0, next = 0;
  while (sqlite3_step(s) == SQLITE_ROW) {
    EXPECT_EQ(sqlite3_column_int64(s, 0), seq + 1) << "thread " << thread;
    if (seq > 0) {  // a log begins where the one before ended, or later when the thread was closed between
      EXPECT_GE(sqlite3_column_int64(s, 1), next) << "thread " << thread;
    }
    seq = sqlite3_column_int64(s, 0);
    next = sqlite3_column_int64(s, 2);
    read_log(reinterpret_cast<const char *>(sqlite3_column_text(s, 3)), thread, &r);
  }
  sqlite3_finalize(s);
  sql =
      "SELECT l.\"SEQUENCE#\", f.\"MEMBER\" FROM \"V$LOG\" l JOIN \"V$LOGFILE\" f ON f.\"GROUP#\" = l.\"GROUP#\" "
      "WHERE l.\"STATUS\" = 'CURRENT' AND l.\"THREAD#\" = " +
      std::to_string(thread);
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK);
  int current = 0;
  while (sqlite3_step(s) == SQLITE_ROW) {
    current++;
    EXPECT_EQ(sqlite3_column_int64(s, 0), seq + 1) << "thread " << thread;
    if (read_current) read_log(reinterpret_cast<const char *>(sqlite3_column_text(s, 1)), thread, &r);
  }
  sqlite3_finalize(s);
  EXPECT_EQ(current, 1) << "thread " << thread;
  EXPECT_TRUE(std::is_sorted(r.scns.begin(), r.scns.end())) << "thread " << thread;
  return r;
}

TEST(ClusterSource, InstancesWriteTheirThreadsWithOneScnSequenceAndAreReadPerThread) {
  kstest::TempHome home;
  setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
  const std::string sim = home.file("sim"), orasim = kBin + "/orasim ", d = " -d " + sim + " -n RAC ";
  int st = -1;
  std::string out = kstest::sh(orasim + "create" + d + "--instances 3 --groups 2 --log-size 128K 2>&1", &st);
  ASSERT_EQ(st, 0) << out;

  // Transactions open on two instances at once, one row updated from each in turn; the
  // second instance's log switched and the instance shut down while the first one works on.
  kstest::write_file(home.file("s1.sql"),
                     "CREATE USER APP; CREATE TABLE APP.T (ID NUMBER, V NUMBER, PRIMARY KEY (ID));\n"
                     "INSERT INTO APP.T VALUES (1, 0); COMMIT;\n"
                     "INSTANCE 1; UPDATE APP.T SET V = 1 WHERE ID = 1;\n"
                     "INSTANCE 2; INSERT INTO APP.T VALUES (2, 0);\n"
                     "INSTANCE 1; COMMIT;\n"
                     "INSTANCE 2; UPDATE APP.T SET V = 2 WHERE ID = 1; COMMIT;\n"
                     "INSTANCE 1; UPDATE APP.T SET V = 3 WHERE ID = 1; COMMIT;\n"
                     "INSTANCE 2; ALTER SYSTEM SWITCH LOGFILE; INSERT INTO APP.T VALUES (3, 0); COMMIT;\n"
                     "SHUTDOWN INSTANCE 2; INSTANCE 1; INSERT INTO APP.T VALUES (4, 0);\n");
  out = kstest::sh(
      orasim + "run" + d + "--nosync --expect " + home.file("s1.json") + " --script " + home.file("s1.sql") + " 2>&1",
      &st);
  ASSERT_EQ(st, 0) << out;
  std::vector<uint64_t> expect;  // commit SCNs in commit order
  for (const std::string &l : kstest::split_lines(kstest::read_file(home.file("s1.json"))))
    if (!l.empty()) expect.push_back(strtoull(l.c_str() + l.find("\"scn\": ") + 7, nullptr, 10));
  ASSERT_EQ(expect.size(), 6u);
  const std::vector<uint32_t> by_thread = {1, 1, 2, 1, 2, 1};

  // Instance 2 is down: nothing runs there, and its thread is closed with its last log
  // archived; the descriptor's instance decides what v$instance answers.
  out = kstest::sh(orasim + "run" + d + "--instance 2 --txns 5 --no-expect 2>&1", &st);
  EXPECT_EQ(st, 2);
  EXPECT_NE(out.find("instance RAC2 is shut down."), std::string::npos) << out;
  std::vector<std::vector<int64_t>> rows;
  for (auto [inst, thread] : std::vector<std::pair<const char *, int>>{{nullptr, 1}, {"rac3", 3}}) {
    ASSERT_TRUE(query(tns(inst), "select thread# from v$instance", &rows, 1)) << ks_oci_get_message();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], thread);
  }
  EXPECT_FALSE(query(tns("RAC2"), "select thread# from v$instance", &rows, 1));  // down: no connection
  EXPECT_NE(std::string(ks_oci_get_message()).find("01034"), std::string::npos) << ks_oci_get_message();
  EXPECT_FALSE(query(tns("RAC9"), "select thread# from v$instance", &rows, 1));
  EXPECT_NE(std::string(ks_oci_get_message()).find("12521"), std::string::npos) << ks_oci_get_message();
  ASSERT_TRUE(
      query(tns(nullptr),
            "select thread#, case when status = 'OPEN' then 1 else 0 end, sequence# from v$thread order by thread#",
            &rows, 3))
      << ks_log_get_message();
  ASSERT_EQ(rows, (std::vector<std::vector<int64_t>>{{1, 1, 1}, {2, 0, 2}, {3, 1, 1}}));
  ASSERT_TRUE(query(tns("RAC1"), "select count(*) from v$log where thread#=2 and status='CURRENT'", &rows, 1));
  EXPECT_EQ(rows[0][0], 0);

  // Started again it opens the next sequence and takes connections; meanwhile two runs on
  // two instances at once and one run spreading its sessions over two instances.
  out = kstest::sh(orasim + "startup" + d + "--instance 2 2>&1", &st);
  ASSERT_EQ(st, 0) << out;
  ASSERT_TRUE(query(tns("RAC2"), "select thread# from v$instance", &rows, 1)) << ks_oci_get_message();
  EXPECT_EQ(rows, (std::vector<std::vector<int64_t>>{{2}}));
  out = kstest::sh("(" + orasim + "run" + d + "--instance 1 --txns 150 --nosync --no-expect --seed 3 >/dev/null & " +
                       orasim + "run" + d + "--instance 2 --txns 150 --nosync --no-expect --seed 4 >/dev/null & " +
                       "wait %1 && wait %2) 2>&1",
                   &st);
  ASSERT_EQ(st, 0) << out;
  out = kstest::sh(orasim + "run" + d + "--instances 1,2 --txns 100 --nosync --no-expect --seed 5 2>&1", &st);
  ASSERT_EQ(st, 0) << out;
  for (const char *k : {"1", "2"}) {
    out = kstest::sh(orasim + "switch" + d + "--instance " + k + " 2>&1", &st);
    ASSERT_EQ(st, 0) << out;
  }

  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((sim + "/RAC.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::map<uint32_t, ThreadRedo> th;
  for (uint32_t t = 1; t <= 3; t++) th[t] = thread_redo(db, t, t == 3);
  sqlite3_stmt *s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT \"CURRENT_SCN\" FROM \"V$DATABASE\"", -1, &s, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  const uint64_t current = uint64_t(sqlite3_column_int64(s, 0));
  sqlite3_finalize(s);
  sqlite3_close(db);

  // The script's commits are in the threads of the instances that ran them; every commit
  // is in one thread only, the threads' commits interleave, the idle thread has no redo.
  for (size_t i = 0; i < expect.size(); i++) EXPECT_EQ(th[by_thread[i]].commits.count(expect[i]), 1u) << "commit " << i;
  EXPECT_TRUE(th[3].scns.empty());
  EXPECT_GT(th[1].commits.size(), 150u);
  EXPECT_GT(th[2].commits.size(), 150u);
  std::vector<uint64_t> both;
  std::set_intersection(th[1].commits.begin(), th[1].commits.end(), th[2].commits.begin(), th[2].commits.end(),
                        std::back_inserter(both));
  EXPECT_TRUE(both.empty());
  std::map<uint64_t, uint32_t> merged;  // commit SCN -> thread
  for (uint32_t t : {1u, 2u})
    for (uint64_t c : th[t].commits) merged[c] = t;
  int turns = 0;
  for (auto it = merged.begin(); std::next(it) != merged.end(); ++it) turns += it->second != std::next(it)->second;
  EXPECT_GT(turns, 20);
  EXPECT_GE(current, std::max(th[1].scns.back(), th[2].scns.back()));
}

// With group commit, a commit's redo may wait in its instance's log writer while other
// instances commit: the current SCN readers see stays below it until it is written, and
// a switch of any thread writes what the others hold before it shows its SCN.
TEST(ClusterSource, CurrentScnNeverPassesACommitALogWriterHolds) {
  kstest::TempHome home;
  ks_db_cfg_t cfg;
  cfg.dir = home.path() + "db";
  cfg.name = "RAC";
  cfg.instances = 2;
  cfg.redo.log_blocks = 256;
  cfg.redo.sync = false;
  ks_sim_db db;
  ASSERT_EQ(db.create(cfg), 0) << ks_log_get_message();
  ASSERT_EQ(ks_script_run(db, "CREATE USER APP; CREATE TABLE APP.T (ID NUMBER, PRIMARY KEY (ID));"), 0);
  db.set_sync(false, 1u << 20);
  ks_table_t *t = db.table("APP", "T");
  ASSERT_NE(t, nullptr);
  int id = 0;
  auto commit_on = [&](int inst) {
    EXPECT_EQ(db.set_instance(inst), 0);
    ks_val_t v;
    EXPECT_EQ(db.value_from_text(t->cols[0], std::to_string(++id), false, &v), 0);
    ks_txn_t *tx = db.begin();
    EXPECT_EQ(db.insert(tx, t, {v}), 0);
    EXPECT_EQ(db.commit(tx), 0);
    usleep(60000);  // past the pause between two publications of the current SCN
    return db.scn();
  };
  auto current = [&]() {
    sqlite3_stmt *s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db.sql(), "SELECT \"CURRENT_SCN\" FROM \"V$DATABASE\"", -1, &s, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_step(s), SQLITE_ROW);
    const uint64_t v = uint64_t(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    return v;
  };
  const uint64_t before = current();
  const uint64_t held = commit_on(2);
  commit_on(1);
  commit_on(1);
  EXPECT_GE(current(), before);
  EXPECT_LT(current(), held);
  EXPECT_FALSE(db.inst(2).writer.idle());
  ASSERT_EQ(db.set_instance(1), 0);
  ASSERT_EQ(db.switch_log(), 0);
  EXPECT_TRUE(db.inst(2).writer.idle());
  EXPECT_EQ(current(), db.scn());
  EXPECT_EQ(db.shutdown_instance(3), -1);
  EXPECT_EQ(db.close(), 0);
}

}  // namespace
