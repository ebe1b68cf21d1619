// extract run as a process on a private installation, the test acting as the manager.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/extract/extract_env.h"

namespace {

struct Outcome {
  int status;
  std::string err;
};

Outcome run_plain(const std::string &args) {
  std::string cmd = std::string(KS_BIN_DIR) + "/extract " + args + " 2>&1";
  Outcome o{-1, ""};
  o.err = kstest::sh(cmd, &o.status);
  return o;
}

}  // namespace

TEST(ExtractProcess, HelpPrintsTheBannerAndOnlyTheSecondPassRejectsIt) {
  kstest::TempHome home;
  mkdir(home.file("log/U").c_str(), 0755);
  Outcome alone = run_plain("-h");
  EXPECT_EQ(alone.status, 255);
  EXPECT_NE(alone.err.find("Release 6.0.0.0"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(home.file("log/U")));

  Outcome named = run_plain("-u U -c C -h");
  EXPECT_EQ(named.status, 255);
  EXPECT_NE(named.err.find("Release 6.0.0.0"), std::string::npos);
  char date[16];
  ks_get_date(date);
  std::string errors = kstest::read_file(home.file(std::string("log/U/error") + date + ".log"));
  EXPECT_NE(errors.find("Invalid option \"-h\"."), std::string::npos);
  EXPECT_NE(errors.find("parse arguments error."), std::string::npos);
}

TEST(ExtractProcess, StopWhileTheDatabaseRefusesEndsThroughTheErrorExitLeavingTheCheckpoint) {
  for (bool by_command : {true, false}) {
    SCOPED_TRACE(by_command ? "stop command" : "SIGTERM");
    kstest::ExtractEnv env;
    ASSERT_TRUE(env.ok());
    // A checkpoint closed by an earlier run: it must come through byte for byte.
    ks_ckp_t c{};
    c.flag = KS_CKP_CLOSED;
    c.rba_sqn = 41;
    c.rba_blk = 7;
    std::string saved(reinterpret_cast<char *>(&c), sizeof c);
    kstest::write_file(env.ckp_path(), saved);

    pid_t pid = env.start({}, {"KESTRO_OCI_LIB=/nonexistent/libnone.so"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(env.wait_log("database not avaliable, retry after 10 seconds.")) << env.info_log();
    EXPECT_EQ(env.entry()->status, 2);
    if (by_command)
      ASSERT_TRUE(env.stop());
    else
      kill(pid, SIGTERM);
    EXPECT_EQ(env.wait_exit(5000), 255);  // the retry wait is cut short
    EXPECT_EQ(env.entry()->status, 9);
    EXPECT_NE(env.info_log().find("process exit for error ..."), std::string::npos);
    EXPECT_EQ(kstest::read_file(env.ckp_path()), saved);
  }
}
