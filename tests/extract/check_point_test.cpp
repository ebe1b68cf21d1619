// The checkpoint file's open/closed guard and what survives a start and an exit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "extract/extract.h"
#include "lib/log/log.h"
#include "tests/testutil.h"

namespace {

class CheckPoint : public ::testing::Test {
 protected:
  void SetUp() override {
    snprintf(unit_name, sizeof unit_name, "u1");
    snprintf(com_name, sizeof com_name, "ext1");
    mkdir(home_.file("data/u1").c_str(), 0755);
    mkdir(home_.file("log/u1").c_str(), 0755);
    ks_log_init(com_name, 0);
    x_rac = 0;
    x_thrd = 1;
  }
  void TearDown() override {
    unit_name[0] = com_name[0] = '\0';
    x_rac = x_thrd = 0;
  }
  std::string path(const char *name = "ext1.ckp") { return home_.file(std::string("data/u1/") + name); }
  std::string errors() {
    char date[16];
    ks_get_date(date);
    return kstest::read_file(home_.file(std::string("log/u1/error") + date + ".log"));
  }
  kstest::TempHome home_;
};

ks_ckp_t from_file(const std::string &data) {
  ks_ckp_t c{};
  std::memcpy(&c, data.data(), std::min(sizeof c, data.size()));
  return c;
}

}  // namespace

TEST_F(CheckPoint, FirstStartCreatesAnOpenRecordAndExitClosesItWithThePosition) {
  ks_ckp_t c;
  std::memset(&c, 0xAB, sizeof c);
  ASSERT_EQ(ks_read_check_point(&c), 0);
  EXPECT_EQ(c.flag, static_cast<uint32_t>(KS_CKP_OPEN));
  EXPECT_EQ(c.thrd, 1u);
  EXPECT_EQ(c.rba_sqn, 0u);
  std::string on_disk = kstest::read_file(path());
  ASSERT_EQ(on_disk.size(), 128u);
  EXPECT_EQ(from_file(on_disk).flag, static_cast<uint32_t>(KS_CKP_OPEN));

  c.rba_sqn = 12;
  c.rba_blk = 345;
  c.rba_byt = 16;
  c.flag |= KS_CKP_BIG_ENDIAN;
  c.rsv[1] = 77;
  snprintf(c.chs_name, sizeof c.chs_name, "AL32UTF8");
  ASSERT_EQ(ks_write_check_point(&c), 0);
  ks_ckp_t back = from_file(kstest::read_file(path()));
  EXPECT_EQ(back.flag, static_cast<uint32_t>(KS_CKP_CLOSED | KS_CKP_BIG_ENDIAN));
  EXPECT_EQ(back.rba_blk, 345u);
  EXPECT_EQ(back.rsv[1], 77u);
  EXPECT_STREQ(back.chs_name, "AL32UTF8");

  // The next start: closed becomes open, the big-endian mark and the rest are kept.
  x_thrd = 3;
  ks_ckp_t again{};
  ASSERT_EQ(ks_read_check_point(&again), 0);
  EXPECT_EQ(again.flag, static_cast<uint32_t>(KS_CKP_OPEN | KS_CKP_BIG_ENDIAN));
  EXPECT_EQ(again.thrd, 3u);
  EXPECT_EQ(again.rba_sqn, 12u);
  EXPECT_EQ(again.rsv[1], 77u);
}

TEST_F(CheckPoint, FileLeftOpenByACrashRefusesTheStartAndStaysUntouched) {
  ks_ckp_t c{};
  ASSERT_EQ(ks_read_check_point(&c), 0);  // the run that then dies
  c.rba_sqn = 9;
  std::string before = kstest::read_file(path());
  ks_ckp_t next{};
  EXPECT_EQ(ks_read_check_point(&next), -1);
  EXPECT_NE(errors().find("process exit abnormal, initialize needed."), std::string::npos);
  EXPECT_EQ(kstest::read_file(path()), before);
}

// Started again by the manager after such a run: the open record is taken as it is, and
// the caller learns whether that run saved its progress into it.
TEST_F(CheckPoint, ARestartAfterACrashResumesFromTheOpenRecord) {
  ks_ckp_t c{};
  ASSERT_EQ(ks_read_check_point(&c), 0);  // a run that dies before saving anything
  ks_ckp_t r1{};
  ASSERT_EQ(ks_read_check_point(&r1, true), 0);
  EXPECT_EQ(r1.flag, static_cast<uint32_t>(KS_CKP_OPEN));
  r1.rba_sqn = 21;
  ASSERT_EQ(ks_save_check_point(&r1), 0);  // this one saves progress, then dies
  EXPECT_EQ(from_file(kstest::read_file(path())).flag, static_cast<uint32_t>(KS_CKP_OPEN | KS_CKP_SAVED));
  ks_ckp_t r2{};
  ASSERT_EQ(ks_read_check_point(&r2, true), 0);
  EXPECT_EQ(r2.flag, static_cast<uint32_t>(KS_CKP_OPEN | KS_CKP_SAVED));
  EXPECT_EQ(r2.rba_sqn, 21u);
  EXPECT_EQ(from_file(kstest::read_file(path())).flag, static_cast<uint32_t>(KS_CKP_OPEN));
  ASSERT_EQ(ks_write_check_point(&r2), 0);  // a clean exit: closed, no saved mark
  EXPECT_EQ(from_file(kstest::read_file(path())).flag, static_cast<uint32_t>(KS_CKP_CLOSED));
  EXPECT_NE(errors().find("check point left open by a run that did not stop cleanly"), std::string::npos);
}

TEST_F(CheckPoint, ClusteredThreadsKeepSeparateFilesAndAMissingUnitFolderIsAnError) {
  x_rac = 1;
  x_thrd = 2;
  ks_ckp_t c{};
  ASSERT_EQ(ks_read_check_point(&c), 0);
  EXPECT_TRUE(kstest::file_exists(path("ext1_2.ckp")));
  EXPECT_FALSE(kstest::file_exists(path()));
  x_thrd = 1;
  ks_ckp_t c1{};
  EXPECT_EQ(ks_read_check_point(&c1), 0);  // thread 1's file is its own, not open
  EXPECT_TRUE(kstest::file_exists(path("ext1_1.ckp")));

  snprintf(unit_name, sizeof unit_name, "nounit");
  ks_ckp_t c2{};
  EXPECT_EQ(ks_read_check_point(&c2), -1);
  EXPECT_EQ(ks_write_check_point(&c2), -1);
}
