// "config.db" and its shared snapshot: the new file, block chains and their growth and
// reuse, owner lists, messages, corrupt files, load, reload and parameter lookup.
#include "lib/cfg/cfg.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "lib/shm/shm.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace {

std::string nm(const char *prefix, int i) {
  char b[40];
  std::snprintf(b, sizeof b, "%s%d", prefix, i);
  return b;
}

class Config : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0) << omsg; }
  void TearDown() override {
    cfg.flag &= ~KS_CFG_MODIFIED;
    ks_cfg_close_file(&cfg, omsg);
  }
  std::string path() const { return home.file("config/config.db"); }
  void save() { ASSERT_EQ(ks_cfg_save(&cfg, omsg), 0) << omsg; }
  int add_db(const std::string &name) {
    ks_cfg_fdb_t d{};
    std::snprintf(d.name, sizeof d.name, "%s", name.c_str());
    return ks_cfg_add_db(&cfg, &d, omsg);
  }
  int add_inst(const char *db, const char *name, uint32_t thrd) {
    ks_cfg_finst_t i{};
    std::strcpy(i.inst_name, name);
    i.thrd = thrd;
    return ks_cfg_add_inst(&cfg, db, &i, omsg);
  }
  int add_unit(const std::string &name) {
    ks_cfg_funit_t u{};
    std::snprintf(u.un_name, sizeof u.un_name, "%s", name.c_str());
    return ks_cfg_add_unit(&cfg, &u, omsg);
  }
  int add_com(const char *unit, const char *name, uint32_t type, uint32_t max_trans = 0) {
    ks_cfg_fcom_t c{};
    std::strcpy(c.name, name);
    c.com_typ = type;
    std::strcpy(c.src_db, "SRC");
    if (ks_cfg_add_com(&cfg, unit, &c, omsg) != 0) return -1;
    ks_cfg_fparm_t p{};
    p.max_trans = max_trans;
    return ks_cfg_add_param(&cfg, unit, name, &p, omsg);
  }
  ks_cfg_fbh_t *blk(uint32_t b) { return ks_cfg_block(&cfg, b); }

  kstest::TempHome home;
  ks_cfg_t cfg{};
  char omsg[KS_CFG_MSGSZ] = {};
};

TEST_F(Config, FreshInstallationGetsNineBlocksAndTheHomeKey) {
  EXPECT_EQ(kstest::read_file(path()).size(), 9u * 4096);
  const uint32_t per_block[9] = {101, 23, 26, 101, 18, 169, 56, 56, 29};
  for (uint32_t n = 0; n < 9; ++n) {
    ks_cfg_fbh_t *h = blk(n);
    EXPECT_EQ(h->blk_flg, 0x10000000u);
    EXPECT_EQ(h->blk_typ, n);
    EXPECT_EQ(h->blk_num, n);
    EXPECT_EQ(h->next_blk, 0xFFFFFFFFu);
    EXPECT_EQ(h->max_entry, per_block[n]);
    EXPECT_EQ(h->hwm_item, 0u);
    EXPECT_EQ(h->frcnt, per_block[n]);
  }
  ks_cfg_fh_t *fh = ks_cfg_file_header(&cfg);
  EXPECT_EQ(fh->ipckey, 0u);
  EXPECT_EQ(fh->shm_sz, 0x10000000u);
  EXPECT_EQ(fh->max_dbs, 64u);
  EXPECT_EQ(fh->max_insts, 128u);
  EXPECT_EQ(fh->max_units, 32u);
  EXPECT_EQ(fh->max_comps, 256u);
  EXPECT_EQ(fh->max_params, 64u);
  EXPECT_EQ(fh->max_procs, 512u);
  key_t key;
  uint64_t sz;
  ASSERT_EQ(ks_cfg_get_key(&key, &sz), 0);
  EXPECT_EQ(key, ftok(home.path().c_str(), 1000));
  EXPECT_EQ(sz, 0x10000000u);
  fh->ipckey = 0x4b53;
  fh->shm_sz = 0x3000000;
  save();
  ASSERT_EQ(ks_cfg_get_key(&key, &sz), 0);
  EXPECT_EQ(key, 0x4b53);
  EXPECT_EQ(sz, 0x3000000u);
  unlink(path().c_str());  // no file at all: the home's key and the default size
  ASSERT_EQ(ks_cfg_get_key(&key, &sz), 0);
  EXPECT_EQ(key, ftok(home.path().c_str(), 1000));
  EXPECT_EQ(sz, 0x10000000u);
}

TEST_F(Config, TwentyFourthDatabaseSpillsIntoAnAppendedBlock) {
  for (int i = 0; i < 23; ++i) ASSERT_EQ(add_db(nm("DB", i)), 0) << omsg;
  EXPECT_EQ(cfg.hwm_blk, 9u);
  EXPECT_EQ(blk(1)->frcnt, 0u);
  ASSERT_EQ(add_db("DB23"), 0) << omsg;
  EXPECT_EQ(cfg.hwm_blk, 10u);
  EXPECT_EQ(blk(1)->next_blk, 9u);
  EXPECT_EQ(blk(9)->blk_typ, 1u);
  EXPECT_EQ(blk(9)->hwm_item, 1u);
  EXPECT_EQ(ks_cfg_lookup_db(&cfg, "DB23"), int((9 << 16) | 0));
  EXPECT_EQ(ks_cfg_lookup_db(&cfg, "DB22"), int((1 << 16) | 22));
  save();
  EXPECT_EQ(kstest::read_file(path()).size(), 10u * 4096);
}

TEST_F(Config, BufferGrowsBeyondItsFirstSizeAndSurvivesReopen) {
  ks_cfg_fh_t *fh = ks_cfg_file_header(&cfg);
  fh->max_dbs = 1000;
  for (int i = 0; i < 23 * 20; ++i) ASSERT_EQ(add_db(nm("D", i)), 0) << omsg;
  EXPECT_EQ(cfg.hwm_blk, 9u + 19);
  save();
  ks_cfg_close_file(&cfg, omsg);
  ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0) << omsg;
  EXPECT_EQ(ks_cfg_lookup_db(&cfg, "D459"), int(((9 + 18) << 16) | 22));
}

TEST_F(Config, NamesAreCutToThirtyOneCharacters) {
  const std::string longname(40, 'N');
  ASSERT_EQ(add_unit(longname), 0);
  ks_cfg_funit_t *u = static_cast<ks_cfg_funit_t *>(ks_cfg_item(&cfg, uint32_t(ks_cfg_lookup_unit(&cfg, "NNN"))));
  EXPECT_EQ(u, nullptr);
  int ref = ks_cfg_lookup_unit(&cfg, longname.c_str());
  ASSERT_GE(ref, 0);
  u = static_cast<ks_cfg_funit_t *>(ks_cfg_item(&cfg, uint32_t(ref)));
  EXPECT_EQ(std::string(u->un_name), std::string(31, 'N'));
  EXPECT_EQ(add_unit(longname + "X"), -1);  // the same unit once cut
  EXPECT_STREQ(omsg, ("Unit \"" + std::string(31, 'N') + "\" exist").c_str());
}

TEST_F(Config, DuplicatesAndMissingOwnersAreRefusedWithTheirMessages) {
  ASSERT_EQ(add_db("SRC"), 0);
  EXPECT_EQ(add_db("SRC"), -1);
  EXPECT_STREQ(omsg, "Database \"SRC\" exist");
  ASSERT_EQ(add_inst("SRC", "I1", 1), 0);
  EXPECT_EQ(add_inst("SRC", "I1", 2), -1);
  EXPECT_STREQ(omsg, "Instance \"SRC\".\"I1\" exist");
  EXPECT_EQ(add_inst("NODB", "I1", 1), -1);
  EXPECT_STREQ(omsg, "Database \"NODB\" not found");
  EXPECT_EQ(add_com("NOUNIT", "C", 1), -1);
  EXPECT_STREQ(omsg, "Unit \"NOUNIT\" not found");
  ASSERT_EQ(add_unit("U"), 0);
  ASSERT_EQ(add_com("U", "C", 1), 0);
  EXPECT_EQ(add_com("U", "C", 2), -1);
  EXPECT_STREQ(omsg, "Component \"U\".\"C\" exist");
  ks_cfg_finc_t inc{};
  std::strcpy(inc.schema, "SCOTT");
  std::strcpy(inc.table, "EMP");
  ASSERT_EQ(ks_cfg_add_include(&cfg, "U", "C", &inc, omsg), 0);
  EXPECT_EQ(ks_cfg_add_include(&cfg, "U", "C", &inc, omsg), -1);
  EXPECT_STREQ(omsg, "Include set item \"SCOTT\".\"EMP\" exist");
  EXPECT_EQ(ks_cfg_add_include(&cfg, "U", "D", &inc, omsg), -1);
  EXPECT_STREQ(omsg, "Component \"U\".\"D\" not found");
  ks_cfg_fexc_t exc{};
  std::strcpy(exc.schema, "SCOTT");
  std::strcpy(exc.table, "EMP");
  ASSERT_EQ(ks_cfg_add_exclude(&cfg, "U", "C", &exc, omsg), 0);  // sets are separate
  ks_cfg_fmap_t map{};
  std::strcpy(map.schema, "SCOTT");
  std::strcpy(map.table, "*");
  std::strcpy(map.map_schema, "TIGER");
  map.flag = KS_CFG_SET_ALL;
  ASSERT_EQ(ks_cfg_add_map(&cfg, "U", "C", &map, omsg), 0);
  EXPECT_EQ(ks_cfg_add_map(&cfg, "U", "C", &map, omsg), -1);
  EXPECT_STREQ(omsg, "Mapping set item \"SCOTT\".\"*\" exist");
  EXPECT_EQ(ks_cfg_delete_exclude(&cfg, "U", "C", &exc, omsg), 0);
  EXPECT_EQ(ks_cfg_delete_exclude(&cfg, "U", "C", &exc, omsg), -1);
  EXPECT_STREQ(omsg, "Exclude set item \"SCOTT\".\"EMP\" not found");
  EXPECT_EQ(ks_cfg_delete_db(&cfg, "NODB", omsg), -1);
  EXPECT_STREQ(omsg, "Database \"NODB\" not found");
  EXPECT_EQ(ks_cfg_delete_inst(&cfg, "SRC", "I9", omsg), -1);
  EXPECT_STREQ(omsg, "Instance \"SRC\".\"I9\" not found");
  EXPECT_EQ(ks_cfg_delete_com(&cfg, "U", "D", omsg), -1);
  EXPECT_STREQ(omsg, "Component \"U\".\"D\" not found");
}

TEST_F(Config, DeletedItemsAndEmptiedBlocksAreReused) {
  for (int i = 0; i < 24; ++i) ASSERT_EQ(add_db(nm("DB", i)), 0);
  ASSERT_EQ(ks_cfg_delete_db(&cfg, "DB23", omsg), 0);
  EXPECT_EQ(blk(9)->blk_flg, 0u);  // released whole
  EXPECT_EQ(blk(1)->next_blk, 0xFFFFFFFFu);
  EXPECT_EQ(ks_cfg_lookup_db(&cfg, "DB23"), -1);
  // The freed block serves the next type that needs one (maxima raised to get there).
  ks_cfg_file_header(&cfg)->max_units = 200;
  for (int i = 0; i < 102; ++i) ASSERT_EQ(add_unit(nm("U", i)), 0);
  EXPECT_EQ(cfg.hwm_blk, 10u);
  EXPECT_EQ(blk(9)->blk_typ, 3u);
  EXPECT_EQ(blk(3)->next_blk, 9u);
  EXPECT_EQ(ks_cfg_lookup_unit(&cfg, "U101"), int(9 << 16));
  // A hole in a full block is filled before anything grows.
  ASSERT_EQ(ks_cfg_delete_db(&cfg, "DB5", omsg), 0);
  EXPECT_EQ(blk(1)->frcnt, 1u);
  ASSERT_EQ(add_db("NEW"), 0);
  EXPECT_EQ(ks_cfg_lookup_db(&cfg, "NEW"), int((1 << 16) | 5));
  EXPECT_EQ(cfg.hwm_blk, 10u);
  // The head block of a type stays even when it empties.
  for (int i = 0; i < 101; ++i) ASSERT_EQ(ks_cfg_delete_unit(&cfg, (nm("U", i)).c_str(), omsg), 0) << omsg;
  EXPECT_EQ(blk(3)->blk_flg, 0x10000000u);
  EXPECT_EQ(blk(3)->frcnt, 101u);
  EXPECT_EQ(blk(9)->blk_typ, 3u);
}

TEST_F(Config, DeletingOwnersFreesEverythingHangingOffThem) {
  ASSERT_EQ(add_db("SRC"), 0);
  ASSERT_EQ(add_inst("SRC", "I1", 1), 0);
  ASSERT_EQ(add_inst("SRC", "I2", 2), 0);
  ASSERT_EQ(add_inst("SRC", "I3", 3), 0);
  ASSERT_EQ(ks_cfg_delete_inst(&cfg, "SRC", "I2", omsg), 0);
  auto *db = static_cast<ks_cfg_fdb_t *>(ks_cfg_item(&cfg, uint32_t(ks_cfg_lookup_db(&cfg, "SRC"))));
  auto *i1 = static_cast<ks_cfg_finst_t *>(ks_cfg_item(&cfg, db->ref_num));
  ASSERT_STREQ(i1->inst_name, "I1");
  auto *i3 = static_cast<ks_cfg_finst_t *>(ks_cfg_item(&cfg, i1->next_num));
  ASSERT_STREQ(i3->inst_name, "I3");
  EXPECT_EQ(i3->next_num, KS_CFG_NONE);
  ASSERT_EQ(ks_cfg_delete_db(&cfg, "SRC", omsg), 0);
  EXPECT_EQ(blk(2)->frcnt, blk(2)->max_entry);

  ASSERT_EQ(add_unit("U"), 0);
  for (const char *d : {"log/U", "dict/U", "data/U", "error/U"}) mkdir(home.file(d).c_str(), 0755);
  ASSERT_EQ(add_com("U", "E", 1), 0);
  ASSERT_EQ(add_com("U", "A", 2), 0);
  ks_cfg_finc_t inc{};
  std::strcpy(inc.schema, "S");
  std::strcpy(inc.table, "T");
  ASSERT_EQ(ks_cfg_add_include(&cfg, "U", "E", &inc, omsg), 0);
  ASSERT_EQ(ks_cfg_delete_unit(&cfg, "U", omsg), 0) << omsg;
  for (uint32_t t : {3u, 4u, 5u, 6u}) EXPECT_EQ(blk(t)->frcnt, blk(t)->max_entry) << "type " << t;
  EXPECT_FALSE(kstest::file_exists(home.file("log/U")));
  EXPECT_FALSE(kstest::file_exists(home.file("data/U")));
  EXPECT_TRUE(kstest::file_exists(home.file("error/U")));

  // A directory that cannot be removed keeps the unit whole.
  ASSERT_EQ(add_unit("V"), 0);
  mkdir(home.file("dict/V").c_str(), 0755);
  kstest::write_file(home.file("dict/V/keep.dict"), "x");
  EXPECT_EQ(ks_cfg_delete_unit(&cfg, "V", omsg), -1);
  EXPECT_NE(std::strstr(omsg, "Remove sub-directory"), nullptr) << omsg;
  EXPECT_GE(ks_cfg_lookup_unit(&cfg, "V"), 0);
}

TEST_F(Config, ParametersAreSetInPlace) {
  ASSERT_EQ(add_unit("U"), 0);
  ASSERT_EQ(add_com("U", "E", 1, 10), 0);
  ks_cfg_fparm_t p{};
  p.max_trans = 20;
  ASSERT_EQ(ks_cfg_add_param(&cfg, "U", "E", &p, omsg), 0);
  EXPECT_EQ(blk(5)->hwm_item, 1u);
  auto *c = static_cast<ks_cfg_fcom_t *>(ks_cfg_item(&cfg, uint32_t(ks_cfg_lookup_com(&cfg, "U", "E"))));
  EXPECT_EQ(static_cast<ks_cfg_fparm_t *>(ks_cfg_item(&cfg, c->para_num))->max_trans, 20u);
}

TEST_F(Config, SaveResetAndCloseKeepOnlyWhatWasSaved) {
  ASSERT_EQ(add_unit("SAVED"), 0);
  save();
  EXPECT_EQ(cfg.flag & KS_CFG_MODIFIED, 0u);
  ASSERT_EQ(add_unit("DROPPED"), 0);
  ASSERT_EQ(ks_cfg_reset(&cfg), 0);
  EXPECT_GE(ks_cfg_lookup_unit(&cfg, "SAVED"), 0);
  EXPECT_EQ(ks_cfg_lookup_unit(&cfg, "DROPPED"), -1);
  ASSERT_EQ(add_unit("ONCLOSE"), 0);
  cfg.flag |= KS_CFG_MODIFIED;
  ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0);
  ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0);
  EXPECT_GE(ks_cfg_lookup_unit(&cfg, "ONCLOSE"), 0);
}

// Two consoles editing at once: a save based on a file another session changed since
// is refused (nothing written, the session keeps its descriptor), and concurrent
// sessions that reload and redo their change all end in the file, without leftovers.
TEST_F(Config, SessionsEditingAtOnceNeverLoseEachOthersChanges) {
  ks_cfg_t b{};
  ASSERT_EQ(ks_cfg_open_file(&b, omsg), 0) << omsg;
  ASSERT_EQ(add_unit("X"), 0);
  save();
  ks_cfg_funit_t y{};
  std::strcpy(y.un_name, "Y");
  ASSERT_EQ(ks_cfg_add_unit(&b, &y, omsg), 0);
  const std::string before = kstest::read_file(path());
  EXPECT_EQ(ks_cfg_save(&b, omsg), KS_CFG_STALE);
  EXPECT_EQ(std::string(omsg).rfind("configuration changed by another session: reload", 0), 0u) << omsg;
  EXPECT_EQ(kstest::read_file(path()), before);
  EXPECT_GE(b.fd, 0);
  EXPECT_GE(fcntl(b.fd, F_GETFD), 0);  // still open
  ASSERT_EQ(ks_cfg_reset(&b), 0);
  ASSERT_EQ(ks_cfg_add_unit(&b, &y, omsg), 0);
  ASSERT_EQ(ks_cfg_save(&b, omsg), 0) << omsg;
  // The first session is now behind in turn.
  ASSERT_EQ(add_unit("Z"), 0);
  EXPECT_EQ(ks_cfg_save(&cfg, omsg), KS_CFG_STALE);
  b.flag &= ~KS_CFG_MODIFIED;
  ks_cfg_close_file(&b, omsg);

  // Three processes save 8 units each as fast as they can.
  std::vector<pid_t> kids;
  for (int k = 0; k < 3; ++k) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int bad = 0;
      for (int i = 0; i < 8; ++i) {
        ks_cfg_t c{};
        char m[KS_CFG_MSGSZ];
        if (ks_cfg_open_file(&c, m) != 0) _exit(10);
        ks_cfg_funit_t u{};
        std::snprintf(u.un_name, sizeof u.un_name, "P%dU%d", k, i);
        int rc;
        for (int tries = 0; tries < 1000; ++tries) {
          if (ks_cfg_add_unit(&c, &u, m) != 0) _exit(11);
          rc = ks_cfg_save(&c, m);
          if (rc != KS_CFG_STALE) break;
          if (ks_cfg_reset(&c) != 0) _exit(12);
        }
        if (rc != 0) bad++;
        c.flag &= ~KS_CFG_MODIFIED;
        ks_cfg_close_file(&c, m);
      }
      _exit(bad);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int st = -1;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  }
  ks_cfg_t all{};
  ASSERT_EQ(ks_cfg_open_file(&all, omsg), 0) << omsg;
  for (const char *n : {"X", "Y"}) EXPECT_GE(ks_cfg_lookup_unit(&all, n), 0) << n;
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 8; ++i) {
      char n[32];
      std::snprintf(n, sizeof n, "P%dU%d", k, i);
      EXPECT_GE(ks_cfg_lookup_unit(&all, n), 0) << n;
    }
  ks_cfg_close_file(&all, omsg);
  EXPECT_EQ(kstest::sh("ls " + home.file("config")), "config.db\nconfig.db.lock\n");
}

// config.db holds passwords: a new file is private, and a save keeps the mode the
// operator chose instead of the default of a new file.
TEST_F(Config, ConfigFileIsCreatedPrivateAndKeepsItsMode) {
  struct stat st {};
  ASSERT_EQ(stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(chmod(path().c_str(), 0640), 0);
  ASSERT_EQ(add_db("SRC"), 0);
  save();
  ASSERT_EQ(stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(chmod(path().c_str(), 0600), 0);
  ASSERT_EQ(add_db("TGT"), 0);
  save();
  ASSERT_EQ(stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// What the manager could not load is refused when it is added.
TEST_F(Config, AddsBeyondTheFileMaximaAreRefused) {
  ks_cfg_fh_t *fh = ks_cfg_file_header(&cfg);
  fh->max_dbs = 2;
  fh->max_insts = 1;
  fh->max_units = 1;
  fh->max_comps = 3;
  fh->max_params = 2;
  ASSERT_EQ(add_db("A"), 0);
  ASSERT_EQ(add_db("B"), 0);
  EXPECT_EQ(add_db("C"), -1);
  EXPECT_STREQ(omsg, "reach the maximum database config (2).");
  ASSERT_EQ(add_inst("A", "I1", 1), 0);
  EXPECT_EQ(add_inst("B", "I2", 1), -1);
  EXPECT_STREQ(omsg, "reach the maximum instance config (1).");
  ASSERT_EQ(add_unit("U"), 0);
  EXPECT_EQ(add_unit("V"), -1);
  EXPECT_STREQ(omsg, "reach the maximum unit config (1).");
  ASSERT_EQ(add_com("U", "E1", KS_CFG_COM_EXTRACT), 0) << omsg;
  ASSERT_EQ(add_com("U", "E2", KS_CFG_COM_EXTRACT), 0) << omsg;
  // Components could still grow, but every one takes a parameter item.
  EXPECT_EQ(add_com("U", "E3", KS_CFG_COM_EXTRACT), -1);
  EXPECT_STREQ(omsg, "reach the maximum parameter config (2).");
  EXPECT_EQ(ks_cfg_lookup_com(&cfg, "U", "E3"), -1);
  // Freed room is room again.
  ASSERT_EQ(ks_cfg_delete_db(&cfg, "B", omsg), 0);
  EXPECT_EQ(add_db("C"), 0) << omsg;
}

TEST_F(Config, CorruptFilesAreRefusedAndLeftAsTheyAre) {
  ks_cfg_close_file(&cfg, omsg);
  std::string good = kstest::read_file(path());
  kstest::write_file(path(), good.substr(0, 4096 * 9 - 1));
  EXPECT_EQ(ks_cfg_open_file(&cfg, omsg), -1);
  EXPECT_NE(std::strstr(omsg, "not a whole number of blocks"), nullptr) << omsg;
  std::string bad = good;
  bad[4096 * 4 + 4] = 7;  // block 4 claims type 7
  kstest::write_file(path(), bad);
  EXPECT_EQ(ks_cfg_open_file(&cfg, omsg), -1);
  EXPECT_NE(std::strstr(omsg, "bad header in block 4"), nullptr) << omsg;
  bad = good;
  bad[4096 * 1 + 12] = 50;  // chain link outside the file
  kstest::write_file(path(), bad);
  EXPECT_EQ(ks_cfg_open_file(&cfg, omsg), -1);
  EXPECT_EQ(kstest::read_file(path()), bad);
  kstest::write_file(path(), good);
  EXPECT_EQ(ks_cfg_open_file(&cfg, omsg), 0);
}

// ---------------------------------------------------------------- shared area

class SharedConfig : public Config {
 protected:
  void SetUp() override {
    Config::SetUp();
    ks_cfg_file_header(&cfg)->shm_sz = 32 * 1024 * 1024;
    ASSERT_EQ(add_db("SRC"), 0);
    ASSERT_EQ(add_inst("SRC", "I1", 1), 0);
    ASSERT_EQ(add_inst("SRC", "I2", 2), 0);
    ASSERT_EQ(add_db("TGT"), 0);
    ASSERT_EQ(add_inst("TGT", "T1", 1), 0);
    ASSERT_EQ(add_unit("U1"), 0);
    ASSERT_EQ(add_unit("U2"), 0);
    ASSERT_EQ(add_com("U2", "E2", 1, 5), 0);
    ASSERT_EQ(add_com("U1", "E1", 1, 11), 0);
    ASSERT_EQ(add_com("U1", "A1", 2, 12), 0);
    save();
    guard = std::make_unique<kstest::IpcGuard>();
    ASSERT_EQ(ks_shm_create(), 0) << ks_log_get_message();
  }
  void TearDown() override {
    guard.reset();
    Config::TearDown();
  }
  std::unique_ptr<kstest::IpcGuard> guard;
};

TEST_F(SharedConfig, LoadLaysOutGroupedConsecutiveSlots) {
  ASSERT_EQ(ks_cfg_load(), 0) << ks_log_get_message();
  ks_sysinfo_t *si = ks_shm_get_sys_ptr();
  ks_cfg_bh_t *bh = ks_cfg_area();
  ASSERT_NE(bh, nullptr);
  EXPECT_EQ(si->cfg_ofs, sizeof(ks_sysinfo_t));
  EXPECT_EQ(bh->db_pos, 72u);
  EXPECT_EQ(bh->inst_pos, 72u + 176 * 64);
  EXPECT_EQ(bh->par_pos, 72u + 176 * 64 + 152 * 128 + 48 * 32 + 224 * 256);
  EXPECT_EQ(si->tail_ofs, si->cfg_ofs + bh->par_pos + 24 * 64);
  EXPECT_EQ(bh->n_dbs, 2u);
  EXPECT_EQ(bh->n_insts, 3u);
  EXPECT_EQ(bh->n_units, 2u);
  EXPECT_EQ(bh->n_comps, 3u);
  EXPECT_EQ(bh->n_params, 3u);
  ks_cfg_db_t *db = ks_cfg_dbs(bh);
  EXPECT_EQ(db[0].ref_num, 0);
  EXPECT_EQ(db[0].inst_cnt, 2u);
  EXPECT_EQ(db[1].ref_num, 2);
  EXPECT_EQ(ks_cfg_insts(bh)[1].thrd, 2u);
  EXPECT_EQ(ks_cfg_insts(bh)[2].db_num, 1);
  EXPECT_EQ(db[2].ref_num, -1);  // unused slots
  ks_cfg_unit_t *u = ks_cfg_units(bh);
  EXPECT_STREQ(u[0].un_name, "U1");
  EXPECT_EQ(u[0].ref_num, 0);
  EXPECT_EQ(u[0].com_cnt, 2u);
  EXPECT_EQ(u[1].ref_num, 2);
  ks_cfg_com_t *c = ks_cfg_coms(bh);
  EXPECT_STREQ(c[0].name, "E1");
  EXPECT_STREQ(c[0].pname, "extract");
  EXPECT_STREQ(c[1].pname, "apply");
  EXPECT_EQ(c[1].un_id, 0);
  EXPECT_EQ(c[2].un_id, 1);
  EXPECT_EQ(c[0].com_uk, uint32_t(ks_cfg_lookup_com(&cfg, "U1", "E1")));
  ks_cfg_param_t *p = nullptr;
  ASSERT_EQ(ks_cfg_get_parameter("U1", "A1", &p), 0);
  EXPECT_EQ(p->max_trans, 12u);
  ASSERT_EQ(ks_cfg_get_parameter("U2", "E2", &p), 0);
  EXPECT_EQ(p->max_trans, 5u);
  EXPECT_EQ(ks_cfg_get_parameter("U9", "E2", &p), -1);
  EXPECT_TRUE(kstest::log_has("unit \"U9\" not found.")) << ks_log_get_message();
  EXPECT_EQ(ks_cfg_get_parameter("U1", "E2", &p), -1);
  EXPECT_TRUE(kstest::log_has("component \"E2\" not found.")) << ks_log_get_message();
  EXPECT_EQ(ks_cfg_get_max_process(), 512);
}

TEST_F(SharedConfig, LoadRefusesMoreItemsThanTheMaximaAllow) {
  ks_cfg_file_header(&cfg)->max_dbs = 1;
  save();
  EXPECT_EQ(ks_cfg_load(), -1);
  EXPECT_TRUE(kstest::log_has("load database config data error.")) << ks_log_get_message();
  EXPECT_EQ(ks_cfg_area(), nullptr);
}

TEST_F(SharedConfig, ReloadRefusesGrownMaximaAndKeepsDictionaryPositions) {
  ASSERT_EQ(ks_cfg_load(), 0);
  ks_cfg_bh_t *bh = ks_cfg_area();
  int a1 = ks_cfg_find_com(bh, "U1", "A1");
  ks_cfg_coms(bh)[a1].hdr_sno = 0;
  ks_cfg_coms(bh)[a1].hdr_off = 0x300000;

  ks_cfg_file_header(&cfg)->max_comps = 257;
  ASSERT_EQ(add_com("U1", "NEW", 2), 0);
  save();
  std::string before(reinterpret_cast<char *>(bh), bh->par_pos);
  EXPECT_EQ(ks_cfg_reload(), -1);
  EXPECT_TRUE(kstest::log_has("components limit changed.")) << ks_log_get_message();
  EXPECT_EQ(std::string(reinterpret_cast<char *>(bh), bh->par_pos), before);

  ks_cfg_file_header(&cfg)->max_comps = 256;
  ASSERT_EQ(ks_cfg_delete_com(&cfg, "U1", "E1", omsg), 0);
  save();
  ASSERT_EQ(ks_cfg_reload(), 0) << ks_log_get_message();
  EXPECT_EQ(bh->n_comps, 3u);
  a1 = ks_cfg_find_com(bh, "U1", "A1");
  EXPECT_EQ(a1, 0);
  EXPECT_EQ(ks_cfg_coms(bh)[a1].hdr_off, 0x300000u);
  EXPECT_EQ(ks_cfg_find_com(bh, "U1", "NEW"), 1);
  EXPECT_EQ(ks_cfg_coms(bh)[1].hdr_off, 0u);
}

}  // namespace
