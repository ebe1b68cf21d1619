// Loaded dictionary: capacities, table and column lookups, loading damaged files, and
// writing a changed dictionary back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "extract/dict/dict.h"
#include "lib/log/log.h"
#include "tests/dict/catalogue.h"
#include "tests/testutil.h"

extern volatile sig_atomic_t x_loop;

using kstest::TempHome;

namespace {

// A dictionary file built from records, in the file layout.
struct FileBuilder {
  std::vector<ks_dict_sch_t> sch;
  std::vector<ks_dict_tab_t> tab;
  std::vector<ks_dict_col_t> col;
  std::vector<ks_dict_map_t> map;
  std::vector<ks_dict_seq_t> seq;
  uint32_t flag = 0, seqn = 0;

  void table(uint32_t objn, const char *name, uint32_t ncol, uint32_t flag_ = 0) {
    if (sch.empty()) sch.push_back({0, 0, "APP"});
    ks_dict_tab_t t = {};
    t.flag = flag_;
    t.objn = objn;
    t.ncol = ncol;
    t.cidx = static_cast<uint32_t>(col.size());
    snprintf(t.name, sizeof t.name, "%s", name);
    tab.push_back(t);
    for (uint32_t i = 0; i < ncol; i++) {
      ks_dict_col_t c = {};
      c.cid = c.scid = i + 1;
      snprintf(c.name, sizeof c.name, "C%u", i + 1);
      col.push_back(c);
    }
  }
  void alias(uint32_t objn, uint32_t owner) {
    ks_dict_tab_t t = {};
    t.flag = KS_TAB_ALIAS;
    t.objn = objn;
    t.ncol = owner;
    tab.push_back(t);
  }
  std::string bytes() const {
    ks_dict_fhd_t fh = {};
    fh.flag = flag;
    fh.nsch = static_cast<uint32_t>(sch.size());
    fh.ntab = static_cast<uint32_t>(tab.size());
    fh.ncol = static_cast<uint32_t>(col.size());
    fh.nmap = static_cast<uint32_t>(map.size());
    fh.nseq = static_cast<uint32_t>(seq.size());
    fh.seqn = seqn;
    std::string b(KS_DICT_TAB_OFS, '\0');
    memcpy(b.data(), &fh, sizeof fh);
    if (!sch.empty()) memcpy(b.data() + KS_DICT_SCH_OFS, sch.data(), sch.size() * sizeof(ks_dict_sch_t));
    b.append(reinterpret_cast<const char *>(tab.data()), tab.size() * sizeof(ks_dict_tab_t));
    b.append(reinterpret_cast<const char *>(col.data()), col.size() * sizeof(ks_dict_col_t));
    b.append(reinterpret_cast<const char *>(map.data()), map.size() * sizeof(ks_dict_map_t));
    b.append(reinterpret_cast<const char *>(seq.data()), seq.size() * sizeof(ks_dict_seq_t));
    return b;
  }
};

struct Block {
  uint8_t *base = nullptr;
  ks_dict_t d = {};
  ~Block() { free(base); }
  int load(const std::string &path) {
    int rc = ks_dict_load_block(path.c_str(), malloc, free, &base);
    if (rc == 0) ks_dict_attach(base, &d);
    return rc;
  }
};

}  // namespace

TEST(DictLoad, CapacitiesLeaveRoomForDdlWithFloors) {
  ks_dict_fhd_t fh = {};
  ks_dict_cap_t cap;
  fh.nsch = 3;
  fh.ntab = 10;
  fh.ncol = 100;
  fh.nseq = 0;
  ks_dict_capacity(&fh, &cap);
  EXPECT_EQ(cap.max_sch, 128u);
  EXPECT_EQ(cap.max_tab, 2000u);
  EXPECT_EQ(cap.max_col, 20000u);
  EXPECT_EQ(cap.max_seq, 256u);
  fh.nsch = 120;
  fh.ntab = 5000;
  fh.ncol = 16667;  // * 12 / 10 rounds down to 20000
  fh.nseq = 1000;
  ks_dict_capacity(&fh, &cap);
  EXPECT_EQ(cap.max_sch, 144u);
  EXPECT_EQ(cap.max_tab, 6000u);
  EXPECT_EQ(cap.max_col, 20000u);
  EXPECT_EQ(cap.max_seq, 1200u);
  EXPECT_EQ(ks_dict_block_size(&cap, 3), 56u + 40 * 144 + 56 * 6000 + 56 * 20000 + 128 * 3 + 48 * 1200);
}

TEST(DictLoad, RecordsLandInTheirAreasAndTheHandlePointsAtThem) {
  TempHome h;
  FileBuilder f;
  f.flag = KS_DICT_IOT;
  f.seqn = 77;
  ks_dict_sch_t s = {};
  snprintf(s.name, sizeof s.name, "APP");
  f.sch.push_back(s);
  f.table(100, "A", 2);
  f.table(200, "B", 3);
  f.map.push_back({"APP", "APP2", "", ""});
  ks_dict_seq_t q = {};
  q.objn = 300;
  snprintf(q.name, sizeof q.name, "S1");
  f.seq.push_back(q);
  std::string path = h.file("d.dict");
  kstest::write_file(path, f.bytes());
  Block b;
  ASSERT_EQ(b.load(path), 0);
  for (int i = 0; i < 8; i++) EXPECT_EQ(b.base[i], 0);
  EXPECT_EQ(b.d.flag, KS_DICT_IOT);
  EXPECT_EQ(b.d.hdr->flag, KS_DICT_IOT);
  EXPECT_EQ(b.d.hdr->status, 0u);
  EXPECT_EQ(b.d.hdr->seqn, 77u);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(b.d.sch), b.base + 56);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(b.d.tab), b.base + 56 + 40 * 128);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(b.d.col), b.base + 56 + 40 * 128 + 56 * 2000);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(b.d.map), b.base + 56 + 40 * 128 + 56 * 2000 + 56 * 20000);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(b.d.seq), b.base + 56 + 40 * 128 + 56 * 2000 + 56 * 20000 + 128);
  EXPECT_STREQ(b.d.sch[0].name, "APP");
  EXPECT_STREQ(b.d.tab[1].name, "B");
  EXPECT_STREQ(b.d.col[4].name, "C3");
  EXPECT_STREQ(b.d.map[0].map_schema, "APP2");
  EXPECT_STREQ(b.d.seq[0].name, "S1");
}

TEST(DictLoad, DamagedOrTruncatedFilesAreRefusedWithoutAllocatingForThem) {
  TempHome h;
  FileBuilder f;
  f.table(100, "A", 2);
  f.table(200, "B", 3);
  std::string good = f.bytes();
  std::string path = h.file("d.dict");
  static int allocs;
  allocs = 0;
  auto counting = [](size_t n) -> void * {
    allocs++;
    return malloc(n);
  };
  uint8_t *base = nullptr;

  kstest::write_file(path, good.substr(0, 20));
  EXPECT_EQ(ks_dict_load_block(path.c_str(), counting, free, &base), -1);
  EXPECT_TRUE(dicttest::logged("read dictionary head error."));

  kstest::write_file(path, good.substr(0, good.size() - 1));  // last column cut
  EXPECT_EQ(ks_dict_load_block(path.c_str(), counting, free, &base), -1);
  EXPECT_TRUE(dicttest::logged("need 8584 bytes, file has 8583")) << ks_log_get_message();

  std::string huge = good;
  ks_dict_fhd_t fh;
  memcpy(&fh, huge.data(), sizeof fh);
  fh.ncol = 0xffffffff;
  memcpy(huge.data(), &fh, sizeof fh);
  kstest::write_file(path, huge);
  EXPECT_EQ(ks_dict_load_block(path.c_str(), counting, free, &base), -1);
  EXPECT_EQ(allocs, 0);
  EXPECT_EQ(base, nullptr);

  EXPECT_EQ(ks_dict_load_block(h.file("none.dict").c_str(), counting, free, &base), -1);
  EXPECT_TRUE(dicttest::logged("open " + h.file("none.dict") + ": No such file or directory"));

  // A failed allocation is reported as such.
  kstest::write_file(path, good);
  auto none = [](size_t) -> void * { return nullptr; };
  EXPECT_EQ(ks_dict_load_block(path.c_str(), none, free, &base), -1);
  EXPECT_TRUE(dicttest::logged("allocate shared memory error."));
}

// Indexes stored in the records that point outside their areas: the decoder would follow
// them into other records or past the block, so the file is refused naming the record.
TEST(DictLoad, RecordIndexesOutsideTheirAreasAreRefusedNamingTheRecord) {
  TempHome h;
  std::string path = h.file("d.dict");
  struct Case {
    const char *text;
    void (*spoil)(FileBuilder &);
  } cases[] = {
      {"dictionary damaged at table 1 (offset 8248): schema index 1, the file has 1 schemas.",
       [](FileBuilder &f) { f.tab[1].ui = 1; }},
      {"dictionary damaged at table 1 (offset 8248): first column 4 and 3 columns, the file has 5 columns.",
       [](FileBuilder &f) { f.tab[1].cidx = 4; }},
      {"dictionary damaged at table 0 (offset 8192): first column 4294967295 and 2 columns, the file has 5 columns.",
       [](FileBuilder &f) { f.tab[0].cidx = 0xffffffff; }},
      {"dictionary damaged at table 0 (offset 8192): first column 0 and 4294967295 columns, the file has 5 columns.",
       [](FileBuilder &f) { f.tab[0].ncol = 0xffffffff; }},
      {"dictionary damaged at table 1 (offset 8248): map index 0, the file has 0 map records.",
       [](FileBuilder &f) { f.tab[1].flag |= KS_TAB_MAP; }},
      {"dictionary damaged at schema 0 (offset 40): map index 3, the file has 0 map records.",
       [](FileBuilder &f) { f.sch[0].flag = KS_SCH_MAP, f.sch[0].mpi = 3; }},
      {"dictionary damaged at sequence 0 (offset 8640): schema index 7, the file has 1 schemas.",
       [](FileBuilder &f) {
         f.seq.push_back({});
         f.seq[0].ui = 7;
       }},
  };
  for (const Case &c : cases) {
    FileBuilder f;
    f.table(100, "A", 2);
    f.table(200, "B", 3);
    f.alias(201, 200);  // ui and cidx of an alias are not used
    f.tab[2].ui = 99;
    f.tab[2].cidx = 99;
    c.spoil(f);
    kstest::write_file(path, f.bytes());
    Block b;
    EXPECT_EQ(b.load(path), -1) << c.text;
    EXPECT_EQ(b.base, nullptr);
    EXPECT_TRUE(dicttest::logged(path + ": " + c.text)) << ks_log_get_message();
  }
}

TEST(DictLookup, AliasesResolveToTheirTableAndExcludedOrMissingObjectsAreAbsent) {
  TempHome h;
  FileBuilder f;
  f.table(100, "A", 2);
  f.alias(101, 100);                       // partition of A
  f.table(200, "X", 1, KS_TAB_NOCAPTURE);  // excluded
  f.alias(201, 200);                       // partition of the excluded table
  f.alias(202, 999);                       // points nowhere
  f.alias(203, 201);                       // alias of an alias (damaged)
  f.table(300, "C", 1, KS_TAB_SYSOBJ);
  std::string path = h.file("d.dict");
  kstest::write_file(path, f.bytes());
  Block b;
  ASSERT_EQ(b.load(path), 0);
  EXPECT_EQ(ks_lookup_table(&b.d, 100), 0);
  EXPECT_EQ(ks_lookup_table(&b.d, 101), 0);
  EXPECT_EQ(ks_lookup_table(&b.d, 200), -1);
  EXPECT_EQ(ks_lookup_table(&b.d, 201), -1);
  EXPECT_EQ(ks_lookup_table(&b.d, 202), -1);
  EXPECT_EQ(ks_lookup_table(&b.d, 203), -1);
  EXPECT_EQ(ks_lookup_table(&b.d, 300), 6);
  EXPECT_EQ(ks_lookup_table(&b.d, 99), -1);
  EXPECT_EQ(ks_lookup_table(&b.d, 301), -1);
  EXPECT_EQ(ks_lookup_table(&b.d, -1), -1);
  EXPECT_EQ(ks_lookup_table_simple(b.d.tab, 7, 101), 0);
  EXPECT_EQ(ks_lookup_table_simple(b.d.tab, 2, 300), -1);  // beyond the given count
  EXPECT_EQ(ks_lookup_table_simple(b.d.tab, 0, 100), -1);
}

TEST(DictLookup, EveryObjectOfALargeDictionaryIsFoundAndGapsAreNot) {
  std::vector<ks_dict_tab_t> tab(4097);
  for (size_t i = 0; i < tab.size(); i++) {
    tab[i] = {};
    tab[i].objn = static_cast<uint32_t>(10 + 2 * i);
  }
  tab.back().objn = 0xfffffff0u;  // object numbers above 2^31 still order correctly
  int n = static_cast<int>(tab.size());
  for (int i = 0; i < n; i++) ASSERT_EQ(ks_lookup_table_simple(tab.data(), n, static_cast<int>(tab[i].objn)), i);
  for (int i = 0; i + 1 < n; i++) ASSERT_EQ(ks_lookup_table_simple(tab.data(), n, 11 + 2 * i), -1);
  EXPECT_EQ(ks_lookup_table_simple(tab.data(), n, 9), -1);
}

TEST(DictLookup, LookupWaitsWhileTheDictionaryIsBeingChangedUnlessTheProcessStops) {
  TempHome h;
  FileBuilder f;
  f.table(100, "A", 1);
  std::string path = h.file("d.dict");
  kstest::write_file(path, f.bytes());
  Block b;
  ASSERT_EQ(b.load(path), 0);
  b.d.hdr->status = 1;
  std::atomic<bool> done{false};
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_FALSE(done.load());
    __atomic_store_n(&b.d.hdr->status, 0u, __ATOMIC_SEQ_CST);
  });
  EXPECT_EQ(ks_lookup_table(&b.d, 100), 0);
  done = true;
  t.join();
  // A stopping process does not wait.
  b.d.hdr->status = 1;
  x_loop = 0;
  EXPECT_EQ(ks_lookup_table(&b.d, 100), 0);
  x_loop = 1;
}

TEST(DictColumn, DenseIdsAreDirectAndADroppedColumnIsFoundByScan) {
  ks_dict_col_t c[4] = {};
  for (uint32_t i = 0; i < 4; i++) c[i].scid = i + 1;
  EXPECT_EQ(ks_get_column(c, 4, 1), 0);
  EXPECT_EQ(ks_get_column(c, 4, 4), 3);
  EXPECT_EQ(ks_get_column(c, 4, 5), -1);
  EXPECT_EQ(ks_get_column(c, 4, 0), -1);
  // Segment column 2 was dropped: ids 1, 3, 4, 5.
  c[1].scid = 3;
  c[2].scid = 4;
  c[3].scid = 5;
  EXPECT_EQ(ks_get_column(c, 4, 3), 1);
  EXPECT_EQ(ks_get_column(c, 4, 5), 3);
  EXPECT_EQ(ks_get_column(c, 4, 2), -1);
  EXPECT_EQ(ks_get_column(c, 0, 1), -1);
  // The column count bounds the search: the next table's columns are not looked at.
  EXPECT_EQ(ks_get_column(c, 2, 4), -1);
}

TEST(DictSync, CleanDictionaryLeavesTheFileAloneAndADirtyOneRoundTrips) {
  TempHome h;
  snprintf(unit_name, sizeof unit_name, "U");
  snprintf(com_name, sizeof com_name, "C");
  mkdir(h.file("dict/U").c_str(), 0755);
  FileBuilder f;
  f.flag = KS_DICT_IOT;
  f.seqn = 12;
  ks_dict_sch_t s = {};
  snprintf(s.name, sizeof s.name, "APP");
  f.sch.push_back(s);
  f.table(100, "A", 2);
  f.map.push_back({"APP", "APP2", "A", "B"});
  std::string path = h.file("dict/U/C.dict");
  std::string orig = f.bytes();
  kstest::write_file(path, orig);
  Block b;
  ASSERT_EQ(b.load(path), 0);

  // Clean: the file is not even opened (a file we cannot write proves it).
  chmod(path.c_str(), 0444);
  chmod(h.file("dict/U").c_str(), 0555);
  EXPECT_EQ(ks_sync_dict(&b.d), 0);
  // Dirty but the directory refuses the write: fails, stays dirty, file untouched.
  b.d.hdr->flag |= KS_DICT_DIRTY;
  if (geteuid() != 0) {
    EXPECT_EQ(ks_sync_dict(&b.d), -1);
    EXPECT_EQ(b.d.hdr->flag & KS_DICT_DIRTY, KS_DICT_DIRTY);
  }
  EXPECT_EQ(kstest::read_file(path), orig);
  chmod(h.file("dict/U").c_str(), 0755);
  chmod(path.c_str(), 0644);

  // A DDL change: a new table in order and a column; written back and read again.
  b.d.hdr->status = 0;
  b.d.tab[1] = {};
  b.d.tab[1].objn = 150;
  b.d.tab[1].cidx = 2;
  b.d.tab[1].ncol = 1;
  snprintf(b.d.tab[1].name, sizeof b.d.tab[1].name, "NEW");
  b.d.col[2] = {};
  b.d.col[2].scid = 1;
  snprintf(b.d.col[2].name, sizeof b.d.col[2].name, "N1");
  b.d.hdr->ntab = 2;
  b.d.hdr->ncol = 3;
  EXPECT_EQ(ks_sync_dict(&b.d), 0);
  EXPECT_EQ(b.d.hdr->flag & KS_DICT_DIRTY, 0u);
  EXPECT_FALSE(kstest::file_exists(path + ".tmp"));
  Block r;
  ASSERT_EQ(r.load(path), 0);
  EXPECT_EQ(r.d.hdr->flag, KS_DICT_IOT);
  EXPECT_EQ(r.d.hdr->seqn, 12u);
  EXPECT_EQ(r.d.hdr->ntab, 2u);
  EXPECT_EQ(ks_lookup_table(&r.d, 150), 1);
  EXPECT_STREQ(r.d.col[r.d.tab[1].cidx].name, "N1");
  EXPECT_STREQ(r.d.map[0].map_table, "B");
  EXPECT_STREQ(r.d.sch[0].name, "APP");
}
