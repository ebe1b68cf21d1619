// Direct-path loads replicated exactly: a load of 100,000 generated rows (some longer
// than a block, chained over several, some with LOBs kept in the row, some with LOBs in
// LOB blocks of their own written before or after their row's block) into a table with
// a LOB column, a load of rows without LOBs whose blocks come as multi-row inserts, and
// an INSERT /*+ APPEND */ ... SELECT copying a table; extract is killed with -9 while it
// reads the big load, so its chained rows in progress cross the restart. The target
// ends equal to the source, apply's error file stays empty and nothing is reported
// dropped.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;
using kstest::SourceOpts;

const char kSetup[] =
    "create user L;"
    "create table L.BIG (ID number primary key, NAME varchar2(40), B1 varchar2(4000), B2 varchar2(4000), "
    "B3 varchar2(4000), DOC clob, Q number, D date);"
    "create table L.FLAT (ID number primary key, NAME varchar2(30), AMT number, R raw(16), D date);"
    "create table L.COPY (ID number primary key, NAME varchar2(30), AMT number, R raw(16), D date);"
    "insert into L.FLAT values (1, 'seed', 5, HEXTORAW('0102'), NULL); commit;";

TEST(Load, DirectPathLoadsReplicateThroughAKillDuringTheLoad) {
  SourceOpts o;
  o.seed_rows = 0;
  o.setup_script = kSetup;
  E2eEnv env(o);
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate({"L"})) << env.why();
  ASSERT_TRUE(env.configure("tables=(l.*)", "tables=(l.*)")) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();

  {
    std::ofstream s(env.path("tmp/load.sql"));
    s << "load L.FLAT rows 20000; commit;"
         "load L.BIG rows 100000 chained 2 lobs 10; commit;"
         "insert /*+ append */ into L.COPY select * from L.FLAT; commit;";
  }
  ASSERT_TRUE(env.start_workload("--txns 0 --script tmp/load.sql")) << env.why();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract()) << env.why();
  ASSERT_TRUE(env.wait_workload(300)) << env.why();

  EXPECT_TRUE(env.wait_identical(600)) << env.last_diff() << env.component_log("ext1");
  EXPECT_EQ(env.count_rows("TGT", "L.BIG"), 100000);
  EXPECT_EQ(env.count_rows("TGT", "L.COPY"), 20001);
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  const std::string ext = env.component_log("ext1");
  EXPECT_EQ(ext.find("not supported"), std::string::npos) << ext;
  EXPECT_EQ(ext.find("chained row incomplete"), std::string::npos) << ext;
  EXPECT_EQ(ext.find("change not decoded"), std::string::npos) << ext;
  EXPECT_EQ(ext.find("LOB change not supported"), std::string::npos) << ext;
}

}  // namespace
