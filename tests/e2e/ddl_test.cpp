// Schema changes replicated with the rows around them: two schemas, one delivered under
// another owner on the target, go through CREATE TABLE, ALTER TABLE ADD/DROP/MODIFY/RENAME
// COLUMN, table RENAME, TRUNCATE, DROP TABLE to the recycle bin, CREATE/DROP INDEX and
// CREATE/DROP SEQUENCE with sequence use, interleaved with DML. Extract is killed with -9
// between a DDL and the DML that follows it, and later stopped and started without
// re-reading the dictionary from the source; the target ends equal in definitions, rows
// and sequence values. A CREATE TABLE the target refuses (it has the table already) is in
// the error file, and replay goes on past it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;
using kstest::SourceOpts;

// Both schemas exist, with one table each, before the target is made from the source.
const char kSetup[] =
    "create user APP; create user HR;"
    "create table APP.T (ID number primary key, NAME varchar2(20));"
    "insert into APP.T values (1, 'one'); commit;"
    "create table HR.E (ID number primary key, V varchar2(10), W number);"
    "insert into HR.E values (1, 'a', 10); insert into HR.E values (2, 'b', 20); commit;"
    "create table APP.X (ID number primary key, V varchar2(10));";

TEST(Ddl, SchemaChangesOfTwoSchemasOneMappedReplicateThroughKillAndRestart) {
  SourceOpts o;
  o.seed_rows = 0;
  o.setup_script = kSetup;
  E2eEnv env(o);
  ASSERT_TRUE(env.ok()) << env.why();
  // The target gets APP.X under the name APP.Y, which the source creates later; the source
  // drops APP.X before capture starts.
  ASSERT_TRUE(env.instantiate({"APP", "HR"}, {{"HR.E", "REP.E"}, {"APP.X", "APP.Y"}})) << env.why();
  std::string out;
  ASSERT_TRUE(env.run_script("drop table APP.X purge;", &out)) << out;
  ASSERT_TRUE(env.configure("tables=(app.*, hr.*), sync_sequence=yes",
                            "tables=(app.*, hr.*), mapping=(hr.*=rep.*), sync_sequence=yes"))
      << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  const std::string diff_args = "--map HR=REP --sequences";
  const auto identical = [&](const char *step) {
    EXPECT_TRUE(env.wait_identical(90, diff_args))
        << step << "\n"
        << env.last_diff() << env.component_log("ext1") << env.component_log("app1");
  };

  // A row before the new column, then the column; extract dies right after the DDL.
  ASSERT_TRUE(
      env.run_script("insert into APP.T values (2, 'two'); commit;"
                     "alter table APP.T add (EXTRA number);",
                     &out))
      << out;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(env.kill_extract() && env.reset_extract_checkpoint() && env.start_extract(true, "")) << env.why();
  ASSERT_TRUE(
      env.run_script("insert into APP.T values (3, 'three', 7); update APP.T set EXTRA = 8 where ID = 2;"
                     "commit;"
                     "create table HR.D (ID number primary key, V varchar2(10), N number);"
                     "create sequence HR.S cache 3;"
                     "insert into HR.D values (HR.S.NEXTVAL, 'a', 1); insert into HR.D values "
                     "(HR.S.NEXTVAL, 'b', 2); insert into HR.D values (HR.S.NEXTVAL, 'c', 3);"
                     "insert into HR.D values (HR.S.NEXTVAL, 'd', 4); commit;"
                     "alter table HR.E rename column V to TAG;"
                     "update HR.E set TAG = 'z' where ID = 1; commit;"
                     "alter table HR.E drop column W;"
                     "insert into HR.E values (3, 'c'); commit;"
                     "alter table APP.T modify (NAME varchar2(40));"
                     "insert into APP.T values (4, 'a longer name than twenty', NULL); commit;"
                     "create index HR.D_V on HR.D (V);"
                     "create table APP.GONE (ID number primary key);"
                     "insert into APP.GONE values (1); commit;"
                     "drop table APP.GONE;",
                     &out))
      << out;
  identical("after the kill");
  // Row 1 was committed before the column existed and row 2 without a value for it;
  // rows 3 and 4 and the update of 2 came after it.
  ASSERT_EQ(env.sh("bin/orasim print -d sim -n TGT APP.T", &out), 0) << out;
  EXPECT_NE(out.find("(1, 'one', NULL)"), std::string::npos) << out;
  EXPECT_NE(out.find("(2, 'two', 8)"), std::string::npos) << out;
  EXPECT_NE(out.find("(3, 'three', 7)"), std::string::npos) << out;

  // A clean stop and a start that keeps the dictionary extract wrote itself.
  ASSERT_TRUE(env.stop_extract() && env.start_extract(true, "")) << env.why();
  ASSERT_TRUE(
      env.run_script("alter table HR.D rename to D2;"
                     "insert into HR.D2 values (HR.S.NEXTVAL, 'e', 5); commit;"
                     "truncate table APP.T;"
                     "insert into APP.T values (5, 'after truncate', 9); commit;"
                     "drop index HR.D_V;"
                     "create sequence APP.Q start with 100 increment by 5;"
                     "insert into APP.T values (APP.Q.NEXTVAL, 'q', 1); commit;"
                     "drop sequence HR.S;"
                     "delete from HR.D2 where ID = 1; commit;"
                     "create table APP.Y (ID number primary key, V varchar2(10));"
                     "insert into APP.Y values (1, 'y'); insert into APP.Y values (2, 'z'); commit;",
                     &out))
      << out;
  identical("after the restart");
  // The refused statement is in the error file; the rows of APP.Y went into the table the
  // target already had.
  std::string errs;
  ASSERT_EQ(env.sh("bin/errcat -f error/u1/app1_error.dat", &errs), 0) << errs;
  EXPECT_NE(errs.find("create table APP.Y"), std::string::npos) << errs;
  EXPECT_NE(errs.find("955"), std::string::npos) << errs;
  EXPECT_EQ(env.count_rows("TGT", "APP.Y"), 2);
  // Its refusal is the only error logged.
  const std::string elog = env.unexpected_errors();
  EXPECT_NE(elog.find("ORA-00955"), std::string::npos) << elog;
  EXPECT_EQ(elog.find("ORA-", elog.find("ORA-00955") + 1), std::string::npos) << elog;

  // What went away on the source is gone from the target: the renamed table's old name,
  // the dropped table.
  EXPECT_LT(env.count_rows("TGT", "REP.D"), 0);
  EXPECT_LT(env.count_rows("TGT", "APP.GONE"), 0);
  EXPECT_EQ(env.count_rows("TGT", "REP.D2"), 4);

  // The dictionary extract keeps, saved with its checkpoint, shows the tables as they are
  // now.
  for (int w = 0; w < 300; w++) {
    ASSERT_EQ(env.sh("bin/schemacat -f dict/u1/ext1.dict", &out), 0) << out;
    if (out.find("name: HR.D2\n") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(out.find("name: HR.D2\n"), std::string::npos) << out;
  EXPECT_NE(out.find("name: TAG\n"), std::string::npos) << out;
  EXPECT_NE(out.find("name: EXTRA\n"), std::string::npos) << out;
}

}  // namespace
