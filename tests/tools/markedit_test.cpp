// markedit run as a program on checkpoint files: what it prints, what it changes (only the
// first 40 bytes) and how it refuses bad input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/fmt/ckp_format.h"
#include "tests/testutil.h"

namespace {

struct Outcome {
  int status;
  std::string err;
};

Outcome markedit(const std::string &args) {
  std::string cmd = std::string(KS_BIN_DIR) + "/markedit " + args + " 2>&1";
  Outcome r{-1, ""};
  r.err = kstest::sh(cmd, &r.status);
  return r;
}

std::string usage() {
  return "usage: " + std::string(KS_BIN_DIR) + "/markedit" +
         " [options]\n  -h    print this message\n  -f    input file name\n  -c    set close normal\n"
         "  -rba  set RBA (sqn.blk.byte)\n  -t    set trail file number\n  -p    print check point information\n\n";
}

class Markedit : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = home_.file("data/e.ckp");
    ks_ckp_t c{};
    c.flag = KS_CKP_OPEN | KS_CKP_BIG_ENDIAN;
    c.thrd = 1;
    c.rba_sqn = 107;
    c.rba_blk = 3;
    c.rba_byt = 488;
    c.last_fno = 4;
    c.blks = 2048;
    c.blk_sz = 512;
    c.vsn = 0x0B200000;
    c.cls_usn = 15;
    c.chs_id = 873;
    std::memset(c.chs_name, 'x', sizeof c.chs_name);  // the tail must survive untouched
    std::string d(reinterpret_cast<char *>(&c), sizeof c);
    kstest::write_file(path_, d);
    before_ = d;
  }
  ks_ckp_t now() {
    ks_ckp_t c{};
    std::string d = kstest::read_file(path_);
    std::memcpy(&c, d.data(), std::min(d.size(), sizeof c));
    return c;
  }
  void tail_untouched() { EXPECT_EQ(kstest::read_file(path_).substr(40), before_.substr(40)); }
  kstest::TempHome home_;
  std::string path_, before_;
};

}  // namespace

TEST_F(Markedit, PrintShowsEveryLineAndWritesNothing) {
  Outcome r = markedit("-f " + path_ + " -p");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "           File name: " + path_ +
                       "\n              Status: opened\n     Log file endian: BIG\n"
                       "        Log file RBA: 107.3.488\n     Log file blocks: 2048\n"
                       " Log file block size: 512\n    Log file version: 11.20\nTrail file last seq#: 4\n");
  EXPECT_EQ(kstest::read_file(path_), before_);
}

TEST_F(Markedit, CloseRbaAndTrailChangeOnlyTheirFields) {
  Outcome r = markedit("-f " + path_ + " -c");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "command execute OK.\n");
  EXPECT_EQ(now().flag, static_cast<uint32_t>(KS_CKP_CLOSED | KS_CKP_BIG_ENDIAN));
  EXPECT_NE(markedit("-f " + path_ + " -p").err.find("Status: closed\n"), std::string::npos);

  EXPECT_EQ(markedit("-f " + path_ + " -rba 12.0.0").status, 0);
  EXPECT_EQ(now().rba_sqn, 12u);
  EXPECT_EQ(now().rba_blk, 0u);
  EXPECT_EQ(now().rba_byt, 0u);
  EXPECT_EQ(markedit("-t 9 -f " + path_).status, 0);
  EXPECT_EQ(now().last_fno, 9u);
  EXPECT_EQ(now().blks, 2048u);
  tail_untouched();
}

TEST_F(Markedit, TheLastActionGivenWins) {
  EXPECT_EQ(markedit("-f " + path_ + " -c -p").status, 0);  // only prints
  EXPECT_EQ(kstest::read_file(path_), before_);
  EXPECT_EQ(markedit("-f " + path_ + " -p -c").err, "command execute OK.\n");
  EXPECT_EQ(now().flag, static_cast<uint32_t>(KS_CKP_CLOSED | KS_CKP_BIG_ENDIAN));
}

TEST_F(Markedit, BadArgumentsAndFilesAreRefusedWithoutWriting) {
  struct Case {
    std::string args, out;
  } cases[] = {
      {"-f", "not specify input file name.\n" + usage()},
      {"-f " + path_ + " -rba", "not specify RBA.\n" + usage()},
      {"-f " + path_ + " -rba 12.5", "RBA format error.\n" + usage()},
      {"-f " + path_ + " -t", "not specify trail file number.\n" + usage()},
      {"-f " + path_ + " -x", "invalid option [-x]\n" + usage()},
      {"-h -f " + path_ + " -c", usage()},
      {"-f " + path_, "invalid command.\n"},
      {"-c", "open : No such file or directory\n"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = markedit(c.args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, c.out);
    EXPECT_EQ(kstest::read_file(path_), before_);
  }
  kstest::write_file(path_, before_.substr(0, 39));  // e.g. left by a start that failed
  Outcome r = markedit("-f " + path_ + " -c");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "read check point file not complete.\n");
  EXPECT_EQ(kstest::read_file(path_).size(), 39u);
}
