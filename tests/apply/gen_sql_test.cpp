// Statement texts byte for byte, placeholder numbering and row lengths; malformed and
// oversized LCRs are refused rather than turned into wrong SQL.
#include <gtest/gtest.h>

#include "apply/apply.h"
#include "apply/bind_value.h"
#include "tests/apply/trail_build.h"

using tb::Col;

namespace {

struct Made {
  int rc, ncol;
  int64_t row_len;
  std::string text;
};

Made make(const std::string &rec) {
  static char buf[KS_SQLTXT_SIZE];
  Made m{};
  m.rc = ks_make_sqltext(reinterpret_cast<const uint8_t *>(rec.data()), buf, &m.ncol, &m.row_len);
  m.text = buf;
  return m;
}

Col num(const std::string &n, std::optional<std::string> v = std::string("\xC1\x02")) { return {n, 2, 22, v}; }
Col vc(const std::string &n, std::optional<std::string> v = std::string("x")) { return {n, 1, 30, v}; }

}  // namespace

TEST(GenSql, InsertListsScalarsThenLobsThenTheFirstLong) {
  Col clob{"L", 112, 4000, std::string("abc"), 0x200};
  Col lng{"G", 8, 0, std::string("long"), 0};
  Col lng2{"G2", 24, 0, std::string("raw"), 0};
  auto m = make(tb::lcr(1, "S", "T", {num("A"), clob, lng, vc("B"), lng2}));
  EXPECT_EQ(m.text, "insert into \"S\".\"T\" (\"A\",\"B\",\"L\",\"G\") values (:1,:2,:3,:4)");
  EXPECT_EQ(m.rc, static_cast<int>(m.text.size()));
  EXPECT_EQ(m.ncol, 4);
  EXPECT_EQ(m.row_len, 22 + 30 + 8000 + 4000);
}

TEST(GenSql, UpdateNumbersSetThenKeysThenRowidAndSkipsNullKeys) {
  Col blob{"BL", 113, 4000, std::nullopt};
  auto m = make(tb::lcr(2, "S", "T", {vc("B"), blob, num("C")}, {num("A"), vc("D", std::nullopt)}));
  EXPECT_EQ(m.text,
            "update \"S\".\"T\" set \"B\"=:1,\"C\"=:2,\"BL\"=:3 where 1=1 and \"A\"=:4 and \"D\" is null"
            " and rownum<2 returning rowid into :5");
  EXPECT_EQ(m.ncol, 5);
  EXPECT_EQ(m.row_len, 30 + 22 + 4000 + 22 + 30 + 24);

  auto k = make(tb::lcr(2, "S", "T", {vc("B")}, {vc("K", std::nullopt)}));
  EXPECT_EQ(k.text, "update \"S\".\"T\" set \"B\"=:1 where 1=1 and \"K\" is null and rownum<2 returning rowid into :2");
  EXPECT_EQ(k.ncol, 2);
}

TEST(GenSql, DeleteUsesKeysAndRowid) {
  auto m = make(tb::lcr(3, "Own", "tab", {}, {num("ID"), vc("N")}));
  EXPECT_EQ(m.text,
            "delete from \"Own\".\"tab\" where 1=1 and \"ID\"=:1 and \"N\"=:2 and rownum<2 returning rowid into :3");
  EXPECT_EQ(m.ncol, 3);
  EXPECT_EQ(m.row_len, 22 + 30 + 24);
}

TEST(GenSql, NothingToBuildGivesAnEmptyText) {
  for (const std::string &rec :
       {tb::lcr(3, "S", "T", {}, {}), tb::lcr(1, "S", "T", {}), tb::lcr(2, "S", "T", {}, {num("A")}),
        tb::lcr(6, "S", "T", {num("A")}), tb::short_rec(8)}) {
    auto m = make(rec);
    EXPECT_EQ(m.rc, 0);
    EXPECT_EQ(m.text, "");
    EXPECT_EQ(m.ncol, 0);
    EXPECT_EQ(m.row_len, 0);
  }
}

TEST(GenSql, SameShapeSameTextAndNullPatternChangesIt) {
  auto a = make(tb::lcr(2, "S", "T", {vc("B", "1")}, {num("A", std::string("\xC1\x03")), vc("D", "p")}));
  auto b = make(tb::lcr(2, "S", "T", {vc("B", "other")}, {num("A", std::string("\xC2\x02")), vc("D", "q")}));
  auto c = make(tb::lcr(2, "S", "T", {vc("B", "1")}, {num("A"), vc("D", std::nullopt)}));
  EXPECT_EQ(a.text, b.text);
  EXPECT_NE(a.text, c.text);
}

TEST(GenSql, QuickInsertListsItsDescriptors) {
  Col lng{"G", 8, 0, std::nullopt};
  auto m = make(tb::qmi("S", "T", {num("A"), vc("B"), lng}, {{std::string("\xC1\x02"), std::nullopt, std::nullopt}}));
  EXPECT_EQ(m.text, "insert into \"S\".\"T\" (\"A\",\"B\",\"G\") values (:1,:2,:3)");
  EXPECT_EQ(m.ncol, 3);
  EXPECT_EQ(m.row_len, 22 + 30 + 4000);  // the LONG slot is 4000 whatever its length
}

TEST(GenSql, LobSelectBindsOnlyNonNullKeys) {
  static char buf[KS_SQLTXT_SIZE];
  int ncol = -1;
  std::string rec = tb::lcr(15, "S", "T", {Col{"DOC", 112, 4000, std::nullopt}}, {vc("A", std::nullopt), num("B")});
  int rc = ks_make_lob_select_sql(reinterpret_cast<const uint8_t *>(rec.data()), buf, &ncol);
  EXPECT_GT(rc, 0);
  EXPECT_STREQ(buf, "select \"DOC\" from \"S\".\"T\" where 1=1 and \"A\" is null and \"B\"=:1 for update");
  EXPECT_EQ(ncol, 1);
}

TEST(GenSql, MalformedOrUnsafeLcrsAreRefused) {
  // A column entry whose length reaches past the record.
  std::string rec = tb::lcr(1, "S", "T", {vc("A")});
  ks::store<uint32_t>(rec.data() + 96 + 20, 500);
  EXPECT_EQ(make(rec).rc, -1);
  // A name that is not NUL-terminated inside its entry.
  rec = tb::lcr(1, "S", "T", {vc("AB")});
  rec[96 + 24 + 2] = 'C';
  EXPECT_EQ(make(rec).rc, -1);
  // A double quote in a name would end the identifier.
  EXPECT_EQ(make(tb::lcr(1, "S", "T", {vc("A\" ,\"B")})).rc, -1);
  EXPECT_EQ(make(tb::lcr(1, "S\"x", "T", {vc("A")})).rc, -1);
  // More columns than a table can have.
  rec = tb::lcr(1, "S", "T", {vc("A")});
  ks::store<uint32_t>(rec.data() + 12, 5000);
  EXPECT_EQ(make(rec).rc, -1);
}

TEST(GenSql, TextLongerThanTheScratchIsRefusedNotCut) {
  std::vector<Col> newc, oldc;
  for (int i = 0; i < 1000; i++) {
    char n[32];
    std::snprintf(n, sizeof n, "COLUMN_WITH_A_LONG_NAME_%05d", i);
    newc.push_back(vc(n));
    oldc.push_back(vc(n));
  }
  auto m = make(tb::lcr(2, "S", "T", newc, oldc));
  EXPECT_EQ(m.rc, -1);
  EXPECT_EQ(m.text, "");
  // The same table with half the columns fits.
  newc.resize(500);
  oldc.resize(500);
  EXPECT_GT(make(tb::lcr(2, "S", "T", newc, oldc)).rc, 0);
}

TEST(BindValue, StoredBinaryFloatsBecomeNativeAndOtherTypesAreCopied) {
  auto conv = [](std::string stored, uint32_t ctyp) {
    std::string out(stored.size(), '\0');
    ks_bind_copy(reinterpret_cast<uint8_t *>(out.data()), reinterpret_cast<const uint8_t *>(stored.data()),
                 static_cast<uint32_t>(stored.size()), ctyp);
    return out;
  };
  auto f = [](const std::string &s) {
    float v;
    std::memcpy(&v, s.data(), 4);
    return v;
  };
  auto d = [](const std::string &s) {
    double v;
    std::memcpy(&v, s.data(), 8);
    return v;
  };
  EXPECT_EQ(f(conv(std::string("\xBF\xC0\x00\x00", 4), 100)), 1.5f);
  EXPECT_EQ(f(conv(std::string("\x40\x3F\xFF\xFF", 4), 100)), -1.5f);
  EXPECT_EQ(f(conv(std::string("\x80\x00\x00\x00", 4), 100)), 0.0f);
  EXPECT_EQ(d(conv(std::string("\xC0\x04\x00\x00\x00\x00\x00\x00", 8), 101)), 2.5);
  EXPECT_EQ(d(conv(std::string("\x3F\xFB\xFF\xFF\xFF\xFF\xFF\xFF", 8), 101)), -2.5);
  EXPECT_EQ(conv("\xC1\x02", 2), "\xC1\x02");  // NUMBER bytes stay as they are
}
