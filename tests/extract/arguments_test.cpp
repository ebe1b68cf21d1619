// extract's two passes over its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/extract.h"
#include "lib/log/log.h"
#include "tests/testutil.h"

namespace {

class Arguments : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    unit_name[0] = com_name[0] = '\0';
    x_thrd = 0;
    x_need_dict = 0;
    x_start_scn = x_end_scn = x_last_scn = x_last_xid = 0;
  }
  int first(std::vector<const char *> a) {
    reset();
    args_ = {"extract"};
    args_.insert(args_.end(), a.begin(), a.end());
    return parse_unit_name(static_cast<int>(args_.size()), const_cast<char **>(args_.data()));
  }
  int second() {
    ks_log_init("argtest", 0);
    return parse_arguments(static_cast<int>(args_.size()), const_cast<char **>(args_.data()));
  }
  std::string errors() {
    char date[16];
    ks_get_date(date);
    return kstest::read_file(home_.file(std::string("log/error") + date + ".log"));
  }
  std::vector<const char *> args_;
  kstest::TempHome home_;
};

}  // namespace

TEST_F(Arguments, EveryOptionTakesItsValue) {
  ASSERT_EQ(first({"-u", "unit1", "-c", "ext1", "-t", "2", "-d", "-sscn", "18446744073709551615", "-escn", "500",
                   "-fscn", "400", "-fxid", "281479271809045"}),
            0);
  EXPECT_STREQ(unit_name, "unit1");
  EXPECT_STREQ(com_name, "ext1");
  EXPECT_EQ(x_thrd, 2);
  unit_name[0] = '\0';  // the log of this test goes to the home's log folder
  ASSERT_EQ(second(), 0);
  EXPECT_EQ(x_need_dict, 1);
  EXPECT_EQ(x_start_scn, 18446744073709551615ull);
  EXPECT_EQ(x_end_scn, 500u);
  EXPECT_EQ(x_last_scn, 400u);
  EXPECT_EQ(x_last_xid, 281479271809045ull);
}

TEST_F(Arguments, FirstPassNeedsUnitAndComponentAndLongNamesAreCut) {
  EXPECT_EQ(first({"-c", "ext1"}), -1);
  EXPECT_EQ(first({"-u", "unit1", "-c"}), -1);  // a value option last ends the walk
  EXPECT_EQ(first({"-u", "abcdefghijklmnopqrstuvwxyz0123456789", "-c", "x", "-sscn", "-u"}), 0);
  EXPECT_EQ(std::string(unit_name), "abcdefghijklmnopqrstuvwxyz01234");
}

TEST_F(Arguments, SecondPassRejectsWithTheOptionsMessage) {
  struct Case {
    std::vector<const char *> args;
    const char *msg;
  } cases[] = {
      {{"-u", "u", "-c", "c", "-sscn"}, "not specify start SCN."},
      {{"-u", "u", "-c", "c", "-escn"}, "not specify end SCN."},
      {{"-u", "u", "-c", "c", "-fscn"}, "not specify filter SCN."},
      {{"-u", "u", "-c", "c", "-fxid"}, "not specify filter XID."},
      {{"-u", "u", "-c", "c", "-h"}, "Invalid option \"-h\"."},
      {{"-u", "u", "-c", "c", "-sscn", "12x"}, "invalid value \"12x\" of option \"-sscn\"."},
      {{"-u", "u", "-c", "c", "-escn", "18446744073709551616"}, "invalid value"},
      {{"-u", "u", "-c", "c", "extra"}, "Invalid option \"extra\"."},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.msg);
    reset();
    ASSERT_EQ(first(c.args), 0);
    unit_name[0] = '\0';
    EXPECT_EQ(second(), -1);
    EXPECT_NE(errors().find(c.msg), std::string::npos);
  }
}
