// Include, exclude and mapping lists: which objects are replicated and under which
// names, for tables (every LCR) and owners (DDL and sequences).
#include <gtest/gtest.h>

#include <cstdlib>

#include "apply/apply.h"

namespace {

ks_ap_item_t item(const char *schema, const char *table, const char *ms = "", const char *mt = "") {
  ks_ap_item_t it{};
  it.flag = std::strcmp(table, "*") == 0 ? 1 : 0;
  std::snprintf(it.schema, 32, "%s", schema);
  std::snprintf(it.table, 32, "%s", table);
  std::snprintf(it.map_schema, 32, "%s", ms);
  std::snprintf(it.map_table, 32, "%s", mt);
  return it;
}

struct Lists {
  std::vector<ks_ap_item_t> exc, inc, map;
  ks_ap_cfg_t cfg{};
  int build() {
    return ks_ap_cfg_build(&cfg, exc.data(), static_cast<int>(exc.size()), inc.data(), static_cast<int>(inc.size()),
                           map.data(), static_cast<int>(map.size()), std::malloc);
  }
  ~Lists() { ks_ap_cfg_release(&cfg, std::free); }
  // "1:OWNER.NAME" / "0" for tables, "1:OWNER" / "0" for owners ("" = unmapped).
  std::string table(const char *o, const char *t) {
    char mo[32], mn[32];
    int r = ks_lookup_table(&cfg, o, t, mo, mn);
    return r ? std::string("1:") + mo + "." + mn : "0";
  }
  std::string owner(const char *o) {
    char mo[32];
    int r = ks_lookup_owner(&cfg, o, mo);
    return r ? std::string("1:") + mo : "0";
  }
};

}  // namespace

TEST(Lookup, NoListsOrNotLoadedReplicatesEverythingUnderItsOwnName) {
  ks_ap_cfg_t none{};
  char mo[32] = "junk", mn[32] = "junk";
  EXPECT_EQ(ks_lookup_table(&none, "S", "T", mo, mn), 1);
  EXPECT_STREQ(mo, "");
  EXPECT_STREQ(mn, "");
  Lists l;
  ASSERT_EQ(l.build(), 0);
  EXPECT_EQ(l.table("S", "T"), "1:.");
  EXPECT_EQ(l.owner("S"), "1:");
}

TEST(Lookup, ExcludeWholeSchemaOrOneTable) {
  Lists l;
  l.exc = {item("S", "*"), item("R", "T1")};
  ASSERT_EQ(l.build(), 0);
  EXPECT_EQ(l.table("S", "ANY"), "0");
  EXPECT_EQ(l.owner("S"), "0");
  EXPECT_EQ(l.table("R", "T1"), "0");
  EXPECT_EQ(l.table("R", "T2"), "1:.");
  EXPECT_EQ(l.owner("R"), "0");  // any schema named in the exclude list loses its DDL
  EXPECT_EQ(l.table("Q", "T1"), "1:.");
  EXPECT_EQ(l.owner("Q"), "1:");
}

TEST(Lookup, IncludeTablesAndSchemas) {
  Lists l;
  l.inc = {item("S", "T1"), item("A", "*")};
  ASSERT_EQ(l.build(), 0);
  EXPECT_EQ(l.table("S", "T1"), "1:.");
  EXPECT_EQ(l.table("S", "T2"), "0");
  EXPECT_EQ(l.table("A", "X"), "1:.");
  EXPECT_EQ(l.table("B", "T1"), "0");
  EXPECT_EQ(l.owner("S"), "1:");
  EXPECT_EQ(l.owner("B"), "0");
  EXPECT_EQ(l.table("s", "T1"), "0");  // names are case-sensitive
}

TEST(Lookup, WholeSchemaAndSingleTableMappings) {
  Lists l;
  l.inc = {item("S", "*"), item("R", "*")};
  l.map = {item("S", "*", "S2"), item("R", "T1", "R2", "U1")};
  ASSERT_EQ(l.build(), 0);
  EXPECT_EQ(l.table("S", "ANY"), "1:S2.");
  EXPECT_EQ(l.owner("S"), "1:S2");
  EXPECT_EQ(l.table("R", "T1"), "1:R2.U1");
  EXPECT_EQ(l.table("R", "T2"), "1:.");
  EXPECT_EQ(l.owner("R"), "1:");
}

TEST(Lookup, MappingsHoldWithoutAnIncludeListAndWholeSchemaCountsOnlyWhenFirst) {
  // Without an include list everything is replicated; a mapped schema or table must not
  // land under its source name.
  Lists a;
  a.map = {item("S", "*", "S2"), item("R", "T1", "R2", "U1")};
  a.exc = {item("S", "X")};
  ASSERT_EQ(a.build(), 0);
  EXPECT_EQ(a.table("S", "T"), "1:S2.");
  EXPECT_EQ(a.owner("S"), "0");  // named in the exclude list
  EXPECT_EQ(a.table("S", "X"), "0");
  EXPECT_EQ(a.table("R", "T1"), "1:R2.U1");
  EXPECT_EQ(a.table("R", "T2"), "1:.");
  EXPECT_EQ(a.table("Q", "T"), "1:.");
  Lists o;
  o.map = {item("S", "*", "S2")};
  ASSERT_EQ(o.build(), 0);
  EXPECT_EQ(o.owner("S"), "1:S2");
  EXPECT_EQ(o.owner("Q"), "1:");

  Lists b;
  b.inc = {item("S", "*")};
  b.map = {item("S", "T1", "X", "Y"), item("S", "*", "S2")};
  ASSERT_EQ(b.build(), 0);
  EXPECT_EQ(b.table("S", "T1"), "1:X.Y");
  EXPECT_EQ(b.table("S", "T2"), "1:.");  // the whole-schema mapping is not the first
  EXPECT_EQ(b.owner("S"), "1:S2");       // the owner test takes any whole-schema mapping
}

TEST(Lookup, TableKeysDoNotCollideAcrossSchemaIndexes) {
  // With keys joined as name + index, table T1 of schema #1 and table T of schema #11
  // would be the same text "T11".
  Lists l;
  for (int i = 0; i < 12; i++) {
    char s[8];
    std::snprintf(s, sizeof s, "S%d", i);
    l.exc.push_back(item(s, i == 1 ? "T1" : "OTHER"));
  }
  ASSERT_EQ(l.build(), 0);
  EXPECT_EQ(l.table("S1", "T1"), "0");
  EXPECT_EQ(l.table("S11", "T"), "1:.");
}

TEST(Lookup, ManyKeysAreFoundByBisection) {
  Lists l;
  for (int i = 0; i < 500; i++) {
    char t[16];
    std::snprintf(t, sizeof t, "T%03d", (i * 37) % 500);
    l.inc.push_back(item(i % 2 ? "A" : "B", t));
  }
  ASSERT_EQ(l.build(), 0);
  for (int i = 0; i < 500; i++) {
    char t[16];
    std::snprintf(t, sizeof t, "T%03d", (i * 37) % 500);
    ASSERT_EQ(l.table(i % 2 ? "A" : "B", t), "1:.") << t;
    ASSERT_EQ(l.table(i % 2 ? "B" : "A", t), "0") << t;  // each table is in one schema only
  }
  EXPECT_EQ(l.table("A", "T999"), "0");
}

TEST(Lookup, AtMost32SchemasPerList) {
  Lists ok, bad;
  for (int i = 0; i < 33; i++) {
    char s[8];
    std::snprintf(s, sizeof s, "S%d", i);
    if (i < 32) ok.inc.push_back(item(s, "*"));
    bad.inc.push_back(item(s, "*"));
    ok.exc.push_back(item(s, "T"));  // 32 schemas in one list and 33 items with repeats
  }
  ok.exc.pop_back();
  ok.exc.push_back(item("S0", "U"));
  EXPECT_EQ(ok.build(), 0);
  EXPECT_EQ(bad.build(), -1);
}
