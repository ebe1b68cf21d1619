#include "lib/log/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/testutil.h"

using kstest::TempHome;

namespace {

time_t fake_now = 0;
time_t fake_clock() { return fake_now; }

time_t local_time(int y, int mo, int d, int h, int mi, int s) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return mktime(&t);
}

struct ClockGuard {
  ~ClockGuard() { ks_set_clock(nullptr); }
};

}  // namespace

TEST(Home, TrailingSlashIsAddedOnceWhetherOrNotGiven) {
  setenv("KESTRO_HOME", "/opt/x", 1);
  ks_reset_home_dir();
  EXPECT_STREQ(ks_get_home_dir(), "/opt/x/");
  setenv("KESTRO_HOME", "/opt/x/", 1);
  ks_reset_home_dir();
  EXPECT_STREQ(ks_get_home_dir(), "/opt/x/");
  unsetenv("KESTRO_HOME");
  ks_reset_home_dir();
  EXPECT_STREQ(ks_get_home_dir(), "");
}

// A home longer than its buffer is refused, never cut to name another directory, and no
// process starts its log with it; the longest that fits is kept whole.
TEST(Home, OverlongHomeIsRefusedAndTheLongestThatFitsIsKept) {
  const std::string fits = "/" + std::string(253, 'a');
  setenv("KESTRO_HOME", (fits + "/").c_str(), 1);
  ks_reset_home_dir();
  EXPECT_EQ(std::string(ks_get_home_dir()), fits + "/");
  setenv("KESTRO_HOME", (fits + "a").c_str(), 1);
  ks_reset_home_dir();
  EXPECT_STREQ(ks_get_home_dir(), "");
  EXPECT_EQ(ks_log_init("extract", 0), -1);
  unsetenv("KESTRO_HOME");
  ks_reset_home_dir();
}

TEST(LogInit, MissingHomeFailsAndNoConfigFileIsFine) {
  unsetenv("KESTRO_HOME");
  EXPECT_EQ(ks_log_init("extract", 0), -1);
  TempHome home;
  EXPECT_EQ(ks_log_init("extract", 2), 0);
  EXPECT_STREQ(ks_log_inf.prefix, "extract_2");
  EXPECT_EQ(ks_log_inf.log_level, 5);
  EXPECT_EQ(ks_log_inf.log_type, 1);
  EXPECT_EQ(ks_log_init(nullptr, 0), 0);
  EXPECT_STREQ(ks_log_inf.prefix, "noname");
}

TEST(LogInit, ConfigKeysValuesAndSizeUnits) {
  TempHome home;
  struct Case {
    const char *conf;
    int type;
    int level;
    uint64_t size;
  };
  const Case cases[] = {
      {"logger.type = file_size\nlogger.level=\tinfo\nlogger.file_size = 10M\n", 2, 7, 10ULL << 20},
      {"LOGGER.TYPE=file_size\nlogger.file_size=10X\n", 2, 5, 262144},
      {"logger.type=file_size\n", 2, 5, 262144},
      {"logger.file_size=3k\nlogger.level=error\nno equals sign here\n", 1, 9, 3072},
      {"logger.file_size=2G\nlogger.level=warn\n", 1, 8, 2ULL << 30},
      {"logger.level=debug\n", 1, 6, 0},
  };
  for (const auto &c : cases) {
    kstest::write_file(home.file("config/log.conf"), c.conf);
    ASSERT_EQ(ks_log_init("x", 0), 0) << c.conf;
    EXPECT_EQ(ks_log_inf.log_type, c.type) << c.conf;
    EXPECT_EQ(ks_log_inf.log_level, c.level) << c.conf;
    EXPECT_EQ(ks_log_inf.file_sz, c.size) << c.conf;
  }
}

TEST(LogOutput, ErrorAndInfoLineFormatsAndFilesPerUnit) {
  TempHome home;
  ClockGuard cg;
  fake_now = local_time(2026, 3, 4, 5, 6, 7);
  ks_set_clock(fake_clock);
  ASSERT_EQ(ks_log_init("ext1", 0), 0);
  unit_name[0] = '\0';
  KS_INFO("hello %d", 42);
  ks_log_output_error("shm/shm_q", 77, KS_LOG_ERROR, "bad %s", "thing");
  ks_log_output_error("shm/shm_q", 78, KS_LOG_WARN, "careful");
  ks_log_output_error("shm/shm_q", 79, 4, "odd");
  ks_log_close();
  std::string pid = std::to_string(getpid());
  std::string pad = std::string(6 - std::min<size_t>(6, pid.size()), ' ') + pid;
  std::string err = kstest::read_file(home.file("log/error20260304.log"));
  EXPECT_EQ(err, "2026-03-04 05:06:07 [" + pad + "] ERROR at (shm/shm_q:77)\nbad thing\n" + "2026-03-04 05:06:07 [" +
                     pad + "] WARNING:\ncareful\n");
  std::string inf = kstest::read_file(home.file("log/ext1_20260304.log"));
  // The info file also receives the error text; level 4 is below the default level 5.
  EXPECT_EQ(inf, "05:06:07 INFO   [" + pad + "] hello 42\n" + "2026-03-04 05:06:07 [" + pad +
                     "] ERROR at (shm/shm_q:77)\nbad thing\n" + "2026-03-04 05:06:07 [" + pad +
                     "] WARNING:\ncareful\n");

  // With a unit the files go to log/<unit>/.
  mkdir(home.file("log/u1").c_str(), 0755);
  snprintf(unit_name, sizeof unit_name, "u1");
  ASSERT_EQ(ks_log_init("ext1", 0), 0);
  KS_ERROR("in unit");
  ks_log_close();
  unit_name[0] = '\0';
  EXPECT_NE(kstest::read_file(home.file("log/u1/error20260304.log")).find("in unit\n"), std::string::npos);
}

TEST(LogOutput, MessagesAcrossMidnightGoToTwoDatedFiles) {
  TempHome home;
  ClockGuard cg;
  ks_set_clock(fake_clock);
  ASSERT_EQ(ks_log_init("apl", 0), 0);
  fake_now = local_time(2026, 12, 31, 23, 59, 59);
  KS_INFO("last of the year");
  KS_ERROR("err before");
  fake_now += 1;
  KS_INFO("first of the year");
  KS_ERROR("err after");
  ks_log_close();
  EXPECT_NE(kstest::read_file(home.file("log/apl_20261231.log")).find("last of the year"), std::string::npos);
  EXPECT_EQ(kstest::read_file(home.file("log/apl_20261231.log")).find("first of the year"), std::string::npos);
  EXPECT_NE(kstest::read_file(home.file("log/apl_20270101.log")).find("00:00:00 INFO   "), std::string::npos);
  EXPECT_NE(kstest::read_file(home.file("log/error20261231.log")).find("err before"), std::string::npos);
  EXPECT_NE(kstest::read_file(home.file("log/error20270101.log")).find("err after"), std::string::npos);
}

TEST(LogOutput, LevelFilterAndUnwritableLogNeverFailCaller) {
  TempHome home;
  kstest::write_file(home.file("config/log.conf"), "logger.level=warn\n");
  ASSERT_EQ(ks_log_init("lv", 0), 0);
  KS_INFO("not written");
  KS_WARN("written");
  ks_log_close();
  char date[9];
  ks_get_date(date);
  EXPECT_FALSE(kstest::file_exists(home.file(std::string("log/lv_") + date + ".log")));
  EXPECT_NE(kstest::read_file(home.file(std::string("log/error") + date + ".log")).find("written"), std::string::npos);

  // A unit whose log folder does not exist: nothing is written and nothing fails.
  ASSERT_EQ(ks_log_init("lv", 0), 0);
  snprintf(unit_name, sizeof unit_name, "nosuchunit");
  KS_ERROR("lost %d", 1);
  EXPECT_EQ(ks_log_inf.efd, -1);
  EXPECT_NE(std::string(ks_log_get_message()).find("lost 1\n"), std::string::npos);
  unit_name[0] = '\0';
  ks_log_close();
}

TEST(LogOutput, OverlongMessageIsCutToTheBuffer) {
  TempHome home;
  ASSERT_EQ(ks_log_init("big", 0), 0);
  std::string huge(100000, 'x');
  KS_ERROR("%s", huge.c_str());
  std::string msg = ks_log_get_message();
  EXPECT_LT(msg.size(), 65536u);
  EXPECT_EQ(msg.back(), '\n');
  ks_log_close();
}

TEST(TimeText, FormatsAndSourceNames) {
  ClockGuard cg;
  fake_now = local_time(2026, 1, 2, 3, 4, 5);
  ks_set_clock(fake_clock);
  char buf[32];
  ks_get_timestamp(buf);
  EXPECT_STREQ(buf, "2026-01-02 03:04:05");
  ks_get_date(buf);
  EXPECT_STREQ(buf, "20260102");
  ks_get_time(buf);
  EXPECT_STREQ(buf, "03:04:05");
  EXPECT_STREQ(ks_src_name("lib/shm/shm_alloc.cpp"), "shm/shm_alloc");
  EXPECT_STREQ(ks_src_name("extract/extract.cpp"), "extract");
  EXPECT_STREQ(ks_src_name("extract/redo/parse_urp.cpp"), "redo/parse_urp");
  std::string bt = ks_get_build_time();
  EXPECT_EQ(bt.size(), 19u);
  EXPECT_EQ(bt[4], '-');
  EXPECT_EQ(bt[13], ':');
}
