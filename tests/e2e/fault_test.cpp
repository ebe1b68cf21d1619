// Faults and source variants end to end: a source that refuses connections for a while,
// a target stopped and started again, a target out of space for a while, log switches with reading from archived copies
// only, big-endian and version-10 redo, transactions larger than a slot buffer (spilled) and larger than 1 MiB
// (delivered by reference), owner and table mapping, and an excluded table. Each ends with the target equal to what the
// source holds for what is captured.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;
using kstest::SourceOpts;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const std::string kMix = "--concurrency 4 --rollback 10 --multi 20 --savepoint 20 ";

void ready(E2eEnv &env, const std::string &xsets = "tables=(oltp.*)", const std::string &asets = "") {
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  ASSERT_TRUE(env.configure(xsets, asets)) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
}

void replicated(E2eEnv &env, const std::string &workload, const std::string &tables = "") {
  ASSERT_TRUE(env.start_workload(workload));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  EXPECT_TRUE(env.wait_identical(60, tables))
      << env.last_diff() << env.component_log("ext1") << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0);
  EXPECT_EQ(env.unexpected_errors(), "");
}

TEST(Faults, SourceThatDropsTheSessionAndRefusesConnectionsForAWhileLosesNothing) {
  E2eEnv env;
  ready(env);
  // The session is lost after a few calls and every new connection is refused until the
  // fault row goes; the changes made meanwhile are captured after the reconnection.
  ASSERT_TRUE(env.sql("SRC",
                      "create table if not exists \"KS$FAULTS\" (KIND TEXT, ARG INTEGER, ERR INTEGER);"
                      "insert into \"KS$FAULTS\" values ('drop_after', 2, 0), ('refuse', 0, 0)"));
  ASSERT_TRUE(env.start_workload(kMix + "--txns 300 --seed 3 --switch-every 60"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  sleep_ms(1500);
  EXPECT_NE(env.component_log("ext1").find("database not avaliable"), std::string::npos) << env.component_log("ext1");
  ASSERT_TRUE(env.sql("SRC", "delete from \"KS$FAULTS\" where KIND='refuse'"));
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("ext1");
  EXPECT_EQ(env.error_file_size(), 0);
}

TEST(Faults, TargetStoppedAndStartedMidStreamDeliveryResumesByItself) {
  E2eEnv env;
  ready(env);
  const pid_t apply = env.pid_of("app1");
  // The target goes down in the middle of the run: the session is lost (ORA-03114) after
  // 40 more calls, which only the workload's changes make, and every new one is refused
  // (ORA-01034) until it is up again. Set before the run, since delivery keeps up with it.
  ASSERT_TRUE(env.sql("TGT",
                      "create table if not exists \"KS$FAULTS\" (KIND TEXT, ARG INTEGER, ERR INTEGER);"
                      "insert into \"KS$FAULTS\" values ('refuse', 0, 0), ('drop_after', 40, 0)"));
  ASSERT_TRUE(env.start_workload(kMix + "--txns 400 --seed 4 --rate 400 --realtime"));
  const std::string lost = "the target session is lost";
  for (int w = 0; w < 300 && env.component_log("app1").find(lost) == std::string::npos; w++) sleep_ms(100);
  ASSERT_NE(env.component_log("app1").find(lost), std::string::npos) << env.component_log("app1");
  sleep_ms(3500);  // a few refused attempts
  EXPECT_NE(env.error_log().find("ORA-01034"), std::string::npos) << env.error_log();
  ASSERT_TRUE(env.sql("TGT", "delete from \"KS$FAULTS\""));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  // No operator and no restart: the same process connects again and goes on from the
  // target's checkpoint; nothing is lost, doubled or reported failed.
  EXPECT_TRUE(env.wait_identical(90)) << env.last_diff() << env.component_log("app1");
  EXPECT_EQ(env.pid_of("app1"), apply);
  EXPECT_EQ(env.error_file_size(), 0) << env.component_log("app1");
  EXPECT_NE(env.component_log("app1").find("connected to the target again after"), std::string::npos)
      << env.component_log("app1");
}

TEST(Faults, TargetOutOfSpaceForAWhileLosesAndDoublesNothing) {
  E2eEnv env;
  ready(env);
  // From its 30th execution on the target refuses every statement for lack of space,
  // until the row goes (a tablespace full until a file is added to it).
  ASSERT_TRUE(env.sql("TGT",
                      "create table if not exists \"KS$FAULTS\" (KIND TEXT, ARG INTEGER, ERR INTEGER);"
                      "insert into \"KS$FAULTS\" values ('fail_from', 30, 1653)"));
  ASSERT_TRUE(env.start_workload(kMix + "--txns 300 --seed 12"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  const std::string refused = "the target refuses changes for lack of space";
  for (int w = 0; w < 300 && env.component_log("app1").find(refused) == std::string::npos; w++) sleep_ms(100);
  sleep_ms(4000);  // a few attempts meanwhile
  EXPECT_GT(env.pid_of("app1"), 0) << "apply waits for space, it does not stop";
  EXPECT_EQ(env.error_file_size(), 0) << "lack of space is not an error of the rows";
  ASSERT_TRUE(env.sql("TGT", "delete from \"KS$FAULTS\""));
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0);
  const std::string log = env.component_log("app1");
  size_t first = log.find(refused);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(refused, first + 1), std::string::npos) << "logged once, not at every attempt\n" << log;
  EXPECT_NE(log.find("the target accepts changes again after"), std::string::npos) << log;
  const std::string errors = env.error_log();
  size_t ora = errors.find("ORA-01653");
  EXPECT_NE(ora, std::string::npos) << errors;
  EXPECT_EQ(errors.find("ORA-01653", ora + 1), std::string::npos) << errors;
}

TEST(Faults, LogSwitchesAndLogsReadOnlyFromTheirArchivedCopies) {
  E2eEnv env;
  ready(env);
  replicated(env, kMix + "--txns 300 --seed 5 --switch-every 25");
  // With extract stopped, the workload switches through more logs than there are
  // groups: its redo is then only in the archived copies.
  ASSERT_TRUE(env.stop_extract()) << env.why();
  ASSERT_TRUE(env.start_workload(kMix + "--txns 300 --seed 6 --switch-every 40"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.start_extract()) << env.why();
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("ext1");
  EXPECT_EQ(env.error_file_size(), 0);
}

TEST(Faults, BigEndianSourceReplicates) {
  E2eEnv env(SourceOpts{"--big-endian --version 12"});
  ready(env);
  replicated(env, kMix + "--txns 300 --seed 7 --switch-every 100");
}

TEST(Faults, Version10SourceReplicates) {
  E2eEnv env(SourceOpts{"--version 10"});
  ready(env);
  replicated(env, kMix + "--txns 300 --seed 8 --switch-every 100");
}

// One transaction of `rows` rows of about 1900 bytes each into BIG.T.
std::string big_transaction(int first, int rows) {
  std::string pad(1900, 'x');
  std::string s;
  for (int i = 0; i < rows; i++)
    s += "insert into BIG.T (ID, PAD) values (" + std::to_string(first + i) + ", '" + pad.substr(0, 1800 + i % 100) +
         "');\n";
  return s + "update BIG.T set PAD = 'short' where ID = " + std::to_string(first) + ";\ncommit;\n";
}

TEST(Faults, TransactionsLargerThanTheSlotBufferAndThan1MiBArriveWhole) {
  SourceOpts o;
  o.setup_script = "create user BIG; create table BIG.T (ID number primary key, PAD varchar2(2000));";
  E2eEnv env(o);
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate({"OLTP", "BIG"})) << env.why();
  ASSERT_TRUE(env.configure("tables=(oltp.*, big.*)")) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  std::string out;
  // About 60 KiB (past the 32 KiB slot buffer: spilled, copied into the trail) and about
  // 1.2 MiB (by reference to its own file), around small OLTP transactions.
  ASSERT_TRUE(env.run_script(big_transaction(1, 32), &out)) << out;
  ASSERT_TRUE(env.start_workload(kMix + "--txns 100 --seed 9"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.run_script(big_transaction(1000, 650), &out)) << out;
  EXPECT_TRUE(env.wait_identical(60)) << env.last_diff() << env.component_log("app1");
  EXPECT_EQ(env.count_rows("TGT", "BIG.T"), 682);
  EXPECT_EQ(env.error_file_size(), 0);
  EXPECT_EQ(env.unexpected_errors(), "");
}

TEST(Faults, OwnerAndTableMappingDeliverUnderTheMappedNames) {
  SourceOpts o;
  E2eEnv env(o);
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate({"OLTP"}, {{"OLTP.CUSTOMERS", "REP.CUSTOMERS"},
                                         {"OLTP.ORDERS", "REP.ORDERS"},
                                         {"OLTP.ORDER_LINES", "REP.ORDER_LINES"},
                                         {"OLTP.EVENTS", "REP.AUDIT_EVENTS"}}))
      << env.why();
  // A table renamed at capture, and the whole owner mapped to another at delivery (a
  // mapping counts where an include list names the owner).
  ASSERT_TRUE(env.configure("tables=(oltp.*), mapping=(oltp.events=oltp.audit_events)",
                            "tables=(oltp.*), mapping=(oltp.*=rep.*)"))
      << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  ASSERT_TRUE(env.start_workload(kMix + "--txns 300 --seed 10"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  const std::pair<const char *, const char *> pairs[] = {{"OLTP.CUSTOMERS", "REP.CUSTOMERS"},
                                                         {"OLTP.ORDERS", "REP.ORDERS"},
                                                         {"OLTP.ORDER_LINES", "REP.ORDER_LINES"},
                                                         {"OLTP.EVENTS", "REP.AUDIT_EVENTS"}};
  for (int w = 0; w < 600; w++) {
    long diff = 0;
    for (const auto &[s, t] : pairs) diff += env.rows_differing(s, t) != 0 ? 1 : 0;
    if (diff == 0) break;
    sleep_ms(100);
  }
  for (const auto &[s, t] : pairs)
    EXPECT_EQ(env.rows_differing(s, t), 0) << s << " -> " << t << env.component_log("app1");
  EXPECT_EQ(env.error_file_size(), 0);
}

TEST(Faults, ExcludedTableNeverReachesTheTarget) {
  E2eEnv env;
  ready(env, "tables=(oltp.*), exclude=(oltp.events)");
  const long before = env.count_rows("TGT", "OLTP.EVENTS");
  replicated(env, kMix + "--txns 300 --seed 11", "OLTP.CUSTOMERS OLTP.ORDERS OLTP.ORDER_LINES");
  EXPECT_NE(env.count_rows("SRC", "OLTP.EVENTS"), before);  // the source's table did change
  EXPECT_EQ(env.count_rows("TGT", "OLTP.EVENTS"), before);
  EXPECT_NE(env.rows_differing("OLTP.EVENTS", "OLTP.EVENTS"), 0);
}

}  // namespace
