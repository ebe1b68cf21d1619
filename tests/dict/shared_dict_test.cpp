// The dictionary in the system segment: the component's sets read from config.db, the
// export with them, the load and its published position, and another process opening
// the same block through that position.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "extract/dict/exp_dict.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"
#include "tests/dict/catalogue.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

using namespace dicttest;

namespace {

template <class T>
T set_item(const char *schema, const char *table) {
  T it{};
  snprintf(it.schema, sizeof it.schema, "%s", schema);
  snprintf(it.table, sizeof it.table, "%s", table);
  if (strcmp(table, "*") == 0) it.flag = KS_CFG_SET_ALL;
  return it;
}

int owned_allocations() {
  int n = 0;
  for (const auto &a : ks_shm_get_sys_ptr()->au) n += a.pid == getpid();
  return n;
}

class SharedDict : public ::testing::Test {
 protected:
  void SetUp() override {
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_t cfg;
    ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0) << omsg;
    ks_cfg_file_header(&cfg)->shm_sz = 32 * 1024 * 1024;
    ks_cfg_funit_t u{};
    strcpy(u.un_name, "U");
    ASSERT_EQ(ks_cfg_add_unit(&cfg, &u, omsg), 0) << omsg;
    for (const char *name : {"C", "OTHER"}) {
      ks_cfg_fcom_t c{};
      strcpy(c.name, name);
      c.com_typ = KS_CFG_COM_EXTRACT;
      ASSERT_EQ(ks_cfg_add_com(&cfg, "U", &c, omsg), 0) << omsg;
    }
    auto inc1 = set_item<ks_cfg_finc_t>("SALES", "*");
    auto inc2 = set_item<ks_cfg_finc_t>("HR", "EMP");
    ASSERT_EQ(ks_cfg_add_include(&cfg, "U", "C", &inc1, omsg), 0) << omsg;
    ASSERT_EQ(ks_cfg_add_include(&cfg, "U", "C", &inc2, omsg), 0) << omsg;
    auto exc = set_item<ks_cfg_fexc_t>("SALES", "AUDIT_LOG");
    ASSERT_EQ(ks_cfg_add_exclude(&cfg, "U", "C", &exc, omsg), 0) << omsg;
    auto map = set_item<ks_cfg_fmap_t>("HR", "EMP");
    strcpy(map.map_schema, "HR2");
    strcpy(map.map_table, "EMPLOYEE");
    ASSERT_EQ(ks_cfg_add_map(&cfg, "U", "C", &map, omsg), 0) << omsg;
    cfg.flag |= KS_CFG_MODIFIED;
    ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0) << omsg;
    mkdir(home.file("dict/U").c_str(), 0755);
    strcpy(unit_name, "U");
    strcpy(com_name, "C");

    guard = std::make_unique<kstest::IpcGuard>();
    ASSERT_EQ(ks_shm_create(), 0) << ks_log_get_message();
    ASSERT_EQ(ks_cfg_load(), 0) << ks_log_get_message();
    ks_shm_mark_sys_used();
  }

  // The source: SALES whole with a partitioned table and an excluded one, HR.EMP with a
  // dropped column (segment column ids 1 and 3).
  void export_source() {
    Catalogue cat(home.file("src.db"));
    cat.sys_objects();
    cat.set_next_obj(5000);
    orders = cat.table("SALES", "ORDERS", {{"ID", 2, 22, 1}, {"AMOUNT"}}, 32);
    part = cat.partition(orders);
    audit = cat.table("SALES", "AUDIT_LOG", {{"ID"}});
    Col sal{"SAL"};
    sal.segcol = 3;
    emp = cat.table("HR", "EMP", {{"EMPNO"}, sal});
    ks_dict_sets_t sets;
    ASSERT_EQ(ks_dict_read_sets("U", "C", &sets), 0) << ks_log_get_message();
    SqliteQuery q(cat.db());
    ASSERT_EQ(ks_export_dict_run(&q, &sets, home.file("dict/U/C.dict").c_str()), 0) << ks_log_get_message();
  }

  kstest::TempHome home;
  std::unique_ptr<kstest::IpcGuard> guard;
  int orders = 0, part = 0, audit = 0, emp = 0;
};

}  // namespace

TEST_F(SharedDict, SetsComeFromTheComponentInConfigurationOrder) {
  ks_dict_sets_t sets;
  ASSERT_EQ(ks_dict_read_sets("U", "C", &sets), 0) << ks_log_get_message();
  ASSERT_EQ(sets.inc.size(), 2u);
  EXPECT_EQ(sets.inc[0].flag, KS_DICT_ITEM_ALL);
  EXPECT_STREQ(sets.inc[0].schema, "SALES");
  EXPECT_STREQ(sets.inc[1].table, "EMP");
  EXPECT_EQ(sets.inc[1].flag, 0u);
  ASSERT_EQ(sets.exc.size(), 1u);
  EXPECT_STREQ(sets.exc[0].table, "AUDIT_LOG");
  ASSERT_EQ(sets.map.size(), 1u);
  EXPECT_STREQ(sets.map[0].map_schema, "HR2");
  EXPECT_STREQ(sets.map[0].map_table, "EMPLOYEE");

  ks_dict_sets_t other;
  ASSERT_EQ(ks_dict_read_sets("U", "OTHER", &other), 0);
  EXPECT_TRUE(other.inc.empty() && other.exc.empty() && other.map.empty());
  EXPECT_EQ(ks_dict_read_sets("U", "NOPE", &other), -1);
  EXPECT_TRUE(kstest::log_has("component \"U\".\"NOPE\" not exist."));
}

TEST_F(SharedDict, LoadedDictionaryIsOpenedByAnotherProcessThroughThePublishedPosition) {
  export_source();
  ASSERT_EQ(ks_load_dict(unit_name, com_name), 0) << ks_log_get_message();
  ks_dict_t mine{};
  ASSERT_EQ(ks_open_dict(&mine), 0);
  EXPECT_EQ(ks_lookup_table(&mine, part), ks_lookup_table(&mine, orders));

  pid_t pid = fork();
  if (pid == 0) {
    // A separate process of the component: its own attachment, its own handle.
    ks_shm_detach();
    if (ks_shm_attach() != 0) _exit(10);
    ks_dict_t d{};
    if (ks_open_dict(&d) != 0) _exit(11);
    int t = ks_lookup_table(&d, orders);
    if (t < 0 || strcmp(d.tab[t].name, "ORDERS") != 0) _exit(12);
    if (ks_lookup_table(&d, part) != t) _exit(13);
    if (ks_lookup_table(&d, audit) != -1) _exit(14);
    int e = ks_lookup_table(&d, emp);
    if (e < 0 || d.tab[e].ncol != 2) _exit(15);
    // Segment column 3 is the second column record of EMP.
    if (ks_get_column(d.col + d.tab[e].cidx, 2, 3) != 1) _exit(16);
    if (ks_get_column(d.col + d.tab[e].cidx, 2, 2) != -1) _exit(17);
    if (!(d.tab[e].flag & KS_TAB_MAP) || strcmp(d.map[d.tab[e].mpi].map_table, "EMPLOYEE") != 0) _exit(18);
    ks_shm_detach();
    _exit(0);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST_F(SharedDict, UnloadWithdrawsThePositionAndLaterOpensFailCleanly) {
  ks_dict_t d{};
  EXPECT_EQ(ks_open_dict(&d), -1);  // nothing loaded yet
  EXPECT_TRUE(kstest::log_has("get dictionary pointer error."));
  export_source();
  int before = owned_allocations();
  ASSERT_EQ(ks_load_dict(unit_name, com_name), 0) << ks_log_get_message();
  ASSERT_EQ(ks_open_dict(&d), 0);
  EXPECT_EQ(owned_allocations(), before + 1);
  EXPECT_EQ(ks_unload_dict(&d), 0);
  EXPECT_EQ(d.base, nullptr);
  EXPECT_EQ(owned_allocations(), before);
  EXPECT_EQ(ks_open_dict(&d), -1);
  EXPECT_TRUE(kstest::log_has("get dictionary pointer error."));
}

TEST_F(SharedDict, FailedLoadsKeepNoMemory) {
  int before = owned_allocations();
  EXPECT_EQ(ks_load_dict(unit_name, com_name), -1);  // no file yet
  EXPECT_TRUE(kstest::log_has(("open " + home.file("dict/U/C.dict") + ": No such file").c_str()));
  export_source();
  // A component the configuration does not know cannot publish: the block is released.
  strcpy(com_name, "GHOST");
  mkdir(home.file("dict/U").c_str(), 0755);
  ASSERT_EQ(rename(home.file("dict/U/C.dict").c_str(), home.file("dict/U/GHOST.dict").c_str()), 0);
  EXPECT_EQ(ks_load_dict(unit_name, com_name), -1);
  EXPECT_TRUE(kstest::log_has("get config pointer error."));
  EXPECT_EQ(owned_allocations(), before);
  strcpy(com_name, "C");
}
