// Oracle NUMBER and DATE/TIMESTAMP internal forms: known byte images, round trips and
// refusal of bytes or text that are not values.
#include "lib/ora/ora_number.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/ora/ora_date.h"

namespace {

std::vector<uint8_t> num(const char *txt) {
  uint8_t b[KS_ORA_NUMBER_MAX];
  int n = ks_ora_number_from_text(txt, b);
  if (n < 0) return {};
  return std::vector<uint8_t>(b, b + n);
}

std::string text(const std::vector<uint8_t> &b) {
  char t[KS_ORA_NUMBER_TEXT_MAX];
  if (ks_ora_number_to_text(b.data(), static_cast<int>(b.size()), t, sizeof t) < 0) return "ERR";
  return t;
}

}  // namespace

TEST(OraNumber, KnownImagesMatchOracleBytes) {
  EXPECT_EQ(num("0"), (std::vector<uint8_t>{0x80}));
  EXPECT_EQ(num("1"), (std::vector<uint8_t>{0xC1, 0x02}));
  EXPECT_EQ(num("100"), (std::vector<uint8_t>{0xC2, 0x02}));
  EXPECT_EQ(num("123.45"), (std::vector<uint8_t>{0xC2, 0x02, 0x18, 0x2E}));
  EXPECT_EQ(num("0.5"), (std::vector<uint8_t>{0xC0, 0x33}));
  EXPECT_EQ(num("-1"), (std::vector<uint8_t>{0x3E, 0x64, 0x66}));
  EXPECT_EQ(num("-123.45"), (std::vector<uint8_t>{0x3D, 0x64, 0x4E, 0x38, 0x66}));
  EXPECT_EQ(num("1e2"), num("100"));
  EXPECT_EQ(num(" +000100.000 "), num("100"));
}

TEST(OraNumber, TextRoundTripsAndRounding) {
  for (const char *t : {"0", "1", "-1", "10", "99", "100", "101", "0.01", "-0.001", "123456789012345678901234567890",
                        "3.14159265358979323846264338327950288", "-98765.4321", "1e125", "1e-130"}) {
    std::vector<uint8_t> b = num(t);
    ASSERT_FALSE(b.empty()) << t;
    EXPECT_EQ(num(text(b).c_str()), b) << t;
  }
  EXPECT_EQ(text(num("1e-130")), std::string("0.") + std::string(129, '0') + "1");
  EXPECT_EQ(text(num("12.50")), "12.5");
  // 41 nines round up to 1e41; digits past the 40th are rounded half up.
  EXPECT_EQ(text(num("99999999999999999999999999999999999999999")), "1" + std::string(41, '0'));
  EXPECT_EQ(num("1e126").size(), 0u);  // out of range
  EXPECT_EQ(num("12a").size(), 0u);
  EXPECT_EQ(num("").size(), 0u);
  EXPECT_EQ(num("-").size(), 0u);
  EXPECT_EQ(num("1.2.3").size(), 0u);
}

TEST(OraNumber, IntegersAndDoubles) {
  for (int64_t v : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{100}, int64_t{-4200}, INT64_MAX, INT64_MIN}) {
    uint8_t b[KS_ORA_NUMBER_MAX];
    int n = ks_ora_number_from_int64(v, b);
    int64_t back = 7;
    ASSERT_EQ(ks_ora_number_to_int64(b, n, &back), 0) << v;
    EXPECT_EQ(back, v);
    EXPECT_EQ(text(std::vector<uint8_t>(b, b + n)), std::to_string(v));
  }
  uint8_t b[KS_ORA_NUMBER_MAX];
  int n = ks_ora_number_from_uint64(UINT64_MAX, b);
  uint64_t u = 0;
  ASSERT_EQ(ks_ora_number_to_uint64(b, n, &u), 0);
  EXPECT_EQ(u, UINT64_MAX);
  int64_t s;
  EXPECT_EQ(ks_ora_number_to_int64(b, n, &s), -1);  // too large for int64
  std::vector<uint8_t> frac = num("2.5");
  EXPECT_EQ(ks_ora_number_to_int64(frac.data(), static_cast<int>(frac.size()), &s), -1);
  double d = 0;
  ASSERT_EQ(ks_ora_number_to_double(frac.data(), static_cast<int>(frac.size()), &d), 0);
  EXPECT_EQ(d, 2.5);
  n = ks_ora_number_from_double(0.1, b);
  EXPECT_EQ(text(std::vector<uint8_t>(b, b + n)), "0.1");
}

TEST(OraNumber, CorruptBytesAreRefused) {
  char t[KS_ORA_NUMBER_TEXT_MAX];
  const uint8_t zero_digit[] = {0xC1, 0x00};
  const uint8_t big_digit[] = {0xC1, 0x66};
  const uint8_t lead_zero[] = {0xC1, 0x01, 0x02};
  EXPECT_EQ(ks_ora_number_to_text(zero_digit, 2, t, sizeof t), -1);
  EXPECT_EQ(ks_ora_number_to_text(big_digit, 2, t, sizeof t), -1);
  EXPECT_EQ(ks_ora_number_to_text(lead_zero, 3, t, sizeof t), -1);
  EXPECT_EQ(ks_ora_number_to_text(zero_digit, 0, t, sizeof t), -1);
  EXPECT_EQ(ks_ora_number_to_text(zero_digit, 23, t, sizeof t), -1);
  std::vector<uint8_t> b = num("123456");
  EXPECT_EQ(ks_ora_number_to_text(b.data(), static_cast<int>(b.size()), t, 4), -1);  // buffer too small
}

TEST(OraDate, DateAndTimestampImages) {
  uint8_t b[13];
  ASSERT_EQ(ks_ora_date_from_text("2026-12-08 02:22:48", b, 7), 7);
  const uint8_t want[] = {120, 126, 12, 8, 3, 23, 49};
  EXPECT_EQ(memcmp(b, want, 7), 0);
  char t[KS_ORA_DATE_TEXT_MAX];
  ASSERT_GT(ks_ora_date_to_text(b, 7, t, sizeof t), 0);
  EXPECT_STREQ(t, "2026-12-08 02:22:48");

  ASSERT_EQ(ks_ora_date_from_text("2026-12-08T02:22:48.123456789", b, 11), 11);
  EXPECT_EQ(b[7], 0x07);
  EXPECT_EQ(b[10], 0x15);  // 123456789 = 0x075BCD15 big-endian
  ks_ora_date_to_text(b, 11, t, sizeof t);
  EXPECT_STREQ(t, "2026-12-08 02:22:48.123456789");
  ks_ora_date_from_text("2026-12-08 02:22:48.5", b, 11);
  ks_ora_date_to_text(b, 11, t, sizeof t);
  EXPECT_STREQ(t, "2026-12-08 02:22:48.500000000");

  ASSERT_EQ(ks_ora_date_from_text("-4712-01-01", b, 7), 7);
  EXPECT_EQ(b[0], 53);
  EXPECT_EQ(b[1], 88);
  ks_ora_date_to_text(b, 7, t, sizeof t);
  EXPECT_STREQ(t, "-4712-01-01 00:00:00");
  ASSERT_EQ(ks_ora_date_from_text("-0044-03-15 12:00:00", b, 7), 7);
  ks_ora_date_to_text(b, 7, t, sizeof t);
  EXPECT_STREQ(t, "-0044-03-15 12:00:00");

  // With a time zone the bytes hold UTC and the text the local time.
  ASSERT_EQ(ks_ora_date_from_text("2026-01-01 00:30:00 +02:00", b, 13), 13);
  EXPECT_EQ(b[1], 125);  // 2025 in UTC
  EXPECT_EQ(b[4], 23);   // 22:30 UTC
  ks_ora_date_to_text(b, 13, t, sizeof t);
  EXPECT_STREQ(t, "2026-01-01 00:30:00 +02:00");
}

TEST(OraDate, InvalidDatesAreRefused) {
  uint8_t b[13];
  EXPECT_EQ(ks_ora_date_from_text("2025-02-29", b, 7), -1);
  EXPECT_EQ(ks_ora_date_from_text("2024-02-29", b, 7), 7);
  EXPECT_EQ(ks_ora_date_from_text("2024-13-01", b, 7), -1);
  EXPECT_EQ(ks_ora_date_from_text("2024-01-01 24:00:00", b, 7), -1);
  EXPECT_EQ(ks_ora_date_from_text("2024-01-01x", b, 7), -1);
  EXPECT_EQ(ks_ora_date_from_text("0000-01-01", b, 7), -1);
  const uint8_t bad[] = {120, 126, 2, 30, 1, 1, 1};
  char t[KS_ORA_DATE_TEXT_MAX];
  EXPECT_EQ(ks_ora_date_to_text(bad, 7, t, sizeof t), -1);
  EXPECT_EQ(ks_ora_date_to_text(bad, 8, t, sizeof t), -1);
}
