// LOBs and LONGs replicated with the rows around them: CLOB, NCLOB and BLOB columns, each
// BasicFile or SecureFile, in the row or out of it, a multi-byte source character set,
// LONG and LONG RAW values longer than a row piece. Inserts with data, updates that grow,
// shrink, empty or null a LOB, writes at an offset, appends, trims and erases, deletes,
// and a rolled-back savepoint of LOB writes; extract and apply are killed with -9 in the
// middle of the LOB changes of an OLTP workload. The target ends equal to the source,
// LOB and LONG values byte for byte, with an empty error file.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;
using kstest::SourceOpts;

const char kSetup[] =
    "create user L;"
    "create table L.DOCS (ID number primary key, NAME varchar2(20), BODY clob, PIC blob, SPIC blob securefile, "
    "NB nclob securefile);"
    "create table L.OLD (ID number primary key, TXT long);"
    "create table L.OLDR (ID number primary key, BIN long raw);"
    "insert into L.DOCS values (1, 'seed', 'in the row', HEXTORAW('0102'), EMPTY_BLOB(), NULL); commit;";

TEST(Lob, EveryLobKindAndOperationReplicatesThroughKills) {
  SourceOpts o;
  o.setup_script = kSetup;
  E2eEnv env(o);
  ASSERT_TRUE(env.ok()) << env.why();
  // The workload's LOB and LONG tables, made by a first short run.
  ASSERT_TRUE(env.start_workload("--txns 5 --lobs 50 --seed 1") && env.wait_workload()) << env.why();
  ASSERT_TRUE(env.instantiate({"L", "OLTP"})) << env.why();
  ASSERT_TRUE(env.configure("tables=(l.*, oltp.*)", "tables=(l.*, oltp.*)")) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  const auto identical = [&](const char *step) {
    EXPECT_TRUE(env.wait_identical(120)) << step << "\n"
                                         << env.last_diff() << env.component_log("ext1") << env.component_log("app1");
  };
  std::string out;
  ASSERT_TRUE(
      env.run_script("insert into L.DOCS values (2, 'b', RPAD('a', 9000, 'ab'), NULL, RPAD('s', 5000, 's'), "
                     "RPAD('\xc3\xbc', 8000, '\xc3\xbc'));"
                     "insert into L.DOCS values (3, 'c', EMPTY_CLOB(), RPAD('p', 30000, 'pq'), NULL, 'small');"
                     "commit;"
                     "update L.DOCS set NAME = 'c2', BODY = RPAD('x', 5000, 'x') where ID = 1;"
                     "dbms_lob.write(L.DOCS.SPIC, 10, 'XYZ') where ID = 2;"
                     "dbms_lob.writeappend(L.DOCS.SPIC, 'tail') where ID = 2;"
                     "dbms_lob.trim(L.DOCS.BODY, 100) where ID = 2;"
                     "dbms_lob.erase(L.DOCS.BODY, 10, 5) where ID = 2;"
                     "dbms_lob.writeappend(L.DOCS.NB, RPAD('\xe2\x82\xac', 3000, '\xe2\x82\xac')) where ID = 2;"
                     "update L.DOCS set PIC = EMPTY_BLOB() where ID = 2;"
                     "update L.DOCS set NB = NULL where ID = 3;"
                     "savepoint a;"
                     "dbms_lob.write(L.DOCS.BODY, 1, 'zz') where ID = 1;"
                     "dbms_lob.writeappend(L.DOCS.PIC, RPAD('r', 20000, 'r')) where ID = 3;"
                     "rollback to a;"
                     "commit;"
                     "insert into L.OLD values (1, RPAD('l', 9000, 'long'));"
                     "insert into L.OLDR values (1, RPAD('r', 4500, 'r'));"
                     "update L.DOCS set PIC = RPAD('g', 40000, 'gh') where ID = 3;"
                     "delete from L.DOCS where ID = 2;"
                     "commit;",
                     &out))
      << out;
  identical("after the script");

  // A 3 MiB CLOB of two-byte characters and a 10 MiB BLOB in one row; extract, then apply,
  // killed while their LOB writes are under way.
  ASSERT_TRUE(env.run_script(
      "insert into L.DOCS values (4, 'big', RPAD('\xc3\xa9', 3145728, 'ab\xc3\xa9'), RPAD('z', 10485760, 'zy'), "
      "EMPTY_BLOB(), NULL); commit;",
      &out))
      << out;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  ASSERT_TRUE(env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract())
      << env.why() << env.error_log();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ASSERT_TRUE(env.kill_apply() && env.start_apply()) << env.why();
  identical("after the big LOBs");

  // An OLTP workload with LOB and LONG changes of every size; extract, then apply, killed
  // with -9 in the middle of it.
  ASSERT_TRUE(env.start_workload(
      "--txns 120 --rate 60 --realtime --concurrency 4 --lobs 60 --rollback 10 --savepoint 20 --seed 7"));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  ASSERT_TRUE(env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract())
      << env.why() << env.error_log();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(env.kill_apply() && env.start_apply()) << env.why();
  ASSERT_TRUE(env.wait_workload(300)) << env.why();
  identical("after the kills");
  std::string errs;
  env.sh("bin/errcat -f error/u1/app1_error.dat", &errs);
  EXPECT_EQ(env.error_file_size(), 0) << errs;
  EXPECT_EQ(env.unexpected_errors(), "");
}

}  // namespace
