// This component's lists read from the configuration file: order, whole-schema items,
// mappings, the 32-schema limit and a missing component.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "apply/apply.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace {

class LoadConfig : public ::testing::Test {
 protected:
  kstest::TempHome home;
  std::unique_ptr<kstest::IpcGuard> guard;
  ks_cfg_t cfg{};
  char omsg[KS_CFG_MSGSZ] = "";

  void SetUp() override {
    ks_reset_home_dir();
    std::snprintf(unit_name, 32, "U1");
    std::snprintf(com_name, 32, "AP");
    ASSERT_TRUE(kstest::set_config_header(32ull << 20));
    guard = std::make_unique<kstest::IpcGuard>();
    cfg.fd = -1;
    ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0) << omsg;
    ks_cfg_funit_t u{};
    std::snprintf(u.un_name, 32, "U1");
    ASSERT_EQ(ks_cfg_add_unit(&cfg, &u, omsg), 0) << omsg;
    ks_cfg_fcom_t c{};
    std::snprintf(c.name, 32, "AP");
    c.com_typ = 2;
    ASSERT_EQ(ks_cfg_add_com(&cfg, "U1", &c, omsg), 0) << omsg;
  }
  void inc(const char *s, const char *t) {
    ks_cfg_finc_t it{};
    it.flag = std::strcmp(t, "*") == 0 ? KS_CFG_SET_ALL : 0;
    std::snprintf(it.schema, 32, "%s", s);
    std::snprintf(it.table, 32, "%s", t);
    ASSERT_EQ(ks_cfg_add_include(&cfg, "U1", "AP", &it, omsg), 0) << omsg;
  }
  void exc(const char *s, const char *t) {
    ks_cfg_fexc_t it{};
    it.flag = std::strcmp(t, "*") == 0 ? KS_CFG_SET_ALL : 0;
    std::snprintf(it.schema, 32, "%s", s);
    std::snprintf(it.table, 32, "%s", t);
    ASSERT_EQ(ks_cfg_add_exclude(&cfg, "U1", "AP", &it, omsg), 0) << omsg;
  }
  void map(const char *s, const char *t, const char *ms, const char *mt) {
    ks_cfg_fmap_t it{};
    it.flag = std::strcmp(t, "*") == 0 ? KS_CFG_SET_ALL : 0;
    std::snprintf(it.schema, 32, "%s", s);
    std::snprintf(it.table, 32, "%s", t);
    std::snprintf(it.map_schema, 32, "%s", ms);
    std::snprintf(it.map_table, 32, "%s", mt);
    ASSERT_EQ(ks_cfg_add_map(&cfg, "U1", "AP", &it, omsg), 0) << omsg;
  }
  // Saves the file and makes the segment the lists are allocated from.
  void save() {
    ASSERT_EQ(ks_cfg_save(&cfg, omsg), 0) << omsg;
    ks_cfg_close_file(&cfg, omsg);
    ASSERT_EQ(ks_shm_create(), 0) << ks_log_get_message();
    ks_shm_mark_sys_used();
  }
  void TearDown() override { guard.reset(); }
};

std::string lookup(const ks_ap_cfg_t &c, const char *o, const char *t) {
  char mo[32], mn[32];
  return ks_lookup_table(&c, o, t, mo, mn) ? std::string("1:") + mo + "." + mn : "0";
}

}  // namespace

TEST_F(LoadConfig, ListsComeFromTheComponentsItems) {
  inc("S", "*");
  inc("R", "T1");
  exc("S", "SECRET");
  map("S", "*", "S2", "");
  save();
  ks_ap_cfg_t c{};
  ASSERT_EQ(ks_load_config(&c), 0);
  EXPECT_EQ(c.nisch, 2u);
  EXPECT_EQ(c.nitab, 1u);
  EXPECT_EQ(c.nesch, 1u);
  EXPECT_EQ(c.netab, 1u);
  EXPECT_EQ(c.nmap, 1u);
  EXPECT_EQ(lookup(c, "S", "ANY"), "1:S2.");
  EXPECT_EQ(lookup(c, "S", "SECRET"), "0");
  EXPECT_EQ(lookup(c, "R", "T1"), "1:.");
  EXPECT_EQ(lookup(c, "R", "T2"), "0");
  ks_ap_cfg_free(&c);
}

TEST_F(LoadConfig, MissingComponentAndTooManySchemasFail) {
  for (int i = 0; i < 33; i++) {
    char s[8];
    std::snprintf(s, sizeof s, "S%d", i);
    exc(s, "*");
  }
  save();
  ks_ap_cfg_t c{};
  EXPECT_EQ(ks_load_config(&c), -1);
  EXPECT_EQ(c.base, nullptr);
  std::snprintf(com_name, 32, "NOPE");
  EXPECT_EQ(ks_load_config(&c), -1);
}
