// The console's text parser: lists whose values hold quotes, commas and parentheses,
// abbreviated keys, numbers and owner.table sets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/kesh.h"

namespace {

using kesh::Scanner;

TEST(Parse, ListItemsSplitOnlyAtTopLevelCommasOutsideQuotes) {
  Scanner sc("X (a=1, password='x,y)z', tables=(s.t, s.u)) (b=2)\n");
  EXPECT_EQ(sc.word(), "X");
  std::vector<std::string> items;
  ASSERT_TRUE(sc.list(&items));
  EXPECT_EQ(items, (std::vector<std::string>{"a=1", "password='x,y)z'", "tables=(s.t, s.u)"}));
  ASSERT_TRUE(sc.list(&items));
  EXPECT_EQ(items, (std::vector<std::string>{"b=2"}));
  EXPECT_TRUE(sc.at_end());
  Scanner open("(a=1, b=(2)");
  EXPECT_FALSE(open.list(&items));
  Scanner quote("(a='1)");
  EXPECT_FALSE(quote.list(&items));
  Scanner empty("()");
  ASSERT_TRUE(empty.list(&items));
  EXPECT_TRUE(items.empty());
  Scanner trailing("(a=1,)");
  ASSERT_TRUE(trailing.list(&items));
  EXPECT_EQ(items.back(), "");  // an empty item is kept so that it is refused
}

TEST(Parse, KeysMatchExactlyOrByOneUnambiguousAbbreviation) {
  const char *const keys[] = {"thread", "tns", "trans_size", "tables"};
  EXPECT_EQ(kesh::match_key("TNS", keys, 4), 1);
  EXPECT_EQ(kesh::match_key("thr", keys, 4), 0);
  EXPECT_EQ(kesh::match_key("tab", keys, 4), 3);
  EXPECT_EQ(kesh::match_key("t", keys, 4), -1);  // ambiguous
  EXPECT_EQ(kesh::match_key("tr", keys, 4), 2);
  EXPECT_EQ(kesh::match_key("", keys, 4), -1);
  EXPECT_EQ(kesh::match_key("threads", keys, 4), -1);  // longer than any key
}

TEST(Parse, ValuesLoseBlanksAndSurroundingQuotesOnly) {
  EXPECT_EQ(ks_parse_value("  'a b' "), "a b");
  EXPECT_EQ(ks_parse_value("\"x'y\""), "x'y");
  EXPECT_EQ(ks_parse_value("'a' b 'c'"), "a' b 'c");  // only a matching outer pair goes
  EXPECT_EQ(ks_parse_value("'"), "'");
  EXPECT_EQ(ks_parse_value_upper(" 'cdb$root' "), "CDB$ROOT");
  uint32_t v = 0;
  EXPECT_TRUE(kesh::parse_u32("4294967295", &v));
  EXPECT_EQ(v, 4294967295u);
  EXPECT_FALSE(kesh::parse_u32("4294967296", &v));
  EXPECT_FALSE(kesh::parse_u32("12x", &v));
  EXPECT_FALSE(kesh::parse_u32("", &v));
  EXPECT_FALSE(kesh::parse_u32("-1", &v));
}

TEST(Parse, SetsNeedOwnerAndTableAndMappingsPairStars) {
  std::vector<kesh::SetItem> items;
  std::string bad;
  ASSERT_EQ(kesh::parse_set(kesh::SetKind::kTables, "(scott.emp, \"Mixed\".\"Case\", hr.*)", &items, &bad), 0);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_STREQ(items[0].schema, "SCOTT");
  EXPECT_STREQ(items[0].table, "EMP");
  EXPECT_EQ(items[0].flag, 0u);
  EXPECT_STREQ(items[1].schema, "Mixed");
  EXPECT_STREQ(items[1].table, "Case");
  EXPECT_EQ(items[2].flag, KS_CFG_SET_ALL);
  items.clear();
  ASSERT_EQ(kesh::parse_set(kesh::SetKind::kMapping, "(a.b=c.d, e.*=f.*)", &items, &bad), 0);
  EXPECT_STREQ(items[0].map_schema, "C");
  EXPECT_STREQ(items[0].map_table, "D");
  EXPECT_EQ(items[1].flag, KS_CFG_SET_ALL);
  for (const char *v : {"(emp)", "(scott.)", "(.emp)", "(scott emp.x)", "scott.emp", "(a.b)x"}) {
    items.clear();
    EXPECT_EQ(kesh::parse_set(kesh::SetKind::kTables, v, &items, &bad), -1) << v;
  }
  for (const char *v : {"(a.b)", "(a.b=c)", "(a.*=c.d)", "(a.b=c.*)"}) {
    items.clear();
    EXPECT_EQ(kesh::parse_set(kesh::SetKind::kMapping, v, &items, &bad), -1) << v;
  }
}

TEST(Parse, UnitDotComponentKeepsCase) {
  char u[32], c[32];
  ASSERT_TRUE(kesh::split_unit_com(" Unit1.Ext1 ", u, c));
  EXPECT_STREQ(u, "Unit1");
  EXPECT_STREQ(c, "Ext1");
  EXPECT_FALSE(kesh::split_unit_com("unit1", u, c));
  EXPECT_FALSE(kesh::split_unit_com("unit1.", u, c));
  EXPECT_FALSE(kesh::split_unit_com("", u, c));
}

}  // namespace
