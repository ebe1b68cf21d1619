// Logs in disk groups: the same seeded workload (log switches, a reopen in the middle) run
// on plain files and in disk images, in several group layouts, then every online and
// archived log found again in the images by a resolver written here from the on-disk
// layout alone (disk headers, the directory as file 1, direct and indirect extent
// pointers, striping), byte for byte equal to the plain run's; every metadata block it
// reads has a valid check word, every copy of every extent is on its own disk and equal to
// the primary, and the catalogue names the files as a reader expects.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lib/bytes.h"
#include "lib/fmt/asm_format.h"
#include "lib/log/log.h"
#include "sim/source/sim_db.h"
#include "sim/source/workload.h"
#include "tests/testutil.h"

using namespace ks::sim;
using ks::load16;
using ks::load32;

namespace {

constexpr uint32_t kB = 4096;

// One disk group as a reader sees it: its disk images and allocation unit.
struct Images {
  std::vector<std::string> disks;
  uint32_t au = 0;
  bool big = false;
  int metadata = 0;   // metadata blocks read and found valid
  int indirect = 0;   // files whose map needed indirect AUs
  std::string fault;  // the first fault found

  std::vector<uint8_t> read(uint16_t dsk, uint64_t off, size_t n) {
    std::vector<uint8_t> b(n);
    FILE *f = dsk < disks.size() ? fopen(disks[dsk].c_str(), "rb") : nullptr;
    if (!f || fseeko(f, off_t(off), SEEK_SET) != 0 || fread(b.data(), 1, n, f) != n) fail("cannot read disk");
    if (f) fclose(f);
    return b;
  }
  void fail(const std::string &what) {
    if (fault.empty()) fault = what;
  }
  // A metadata block of the type, its header and check word verified.
  std::vector<uint8_t> block(uint16_t dsk, uint64_t off, uint8_t type) {
    std::vector<uint8_t> b = read(dsk, off, kB);
    big = b[0] == 0;
    uint32_t x = 0;
    for (uint32_t i = 0; i < kB; i += 4) x ^= load32(b.data() + i, big);
    if (b[1] != KS_ASM_HARD || b[2] != type || b[3] != 1 || x != 0)
      fail("bad metadata block type " + std::to_string(type) + " at disk " + std::to_string(dsk) + " offset " +
           std::to_string(off));
    metadata++;
    return b;
  }

  struct Map {
    uint32_t xrs = 1, width = 1, strpsz = 0;
    std::vector<std::pair<uint32_t, uint16_t>> ptrs;  // aun, disk
  };
  Map map_of(const std::vector<uint8_t> &e) {
    Map m;
    const uint32_t cnt = load32(e.data() + 52, big), brk = load16(e.data() + 94, big);
    m.xrs = e[66] & 15;
    m.width = e[108];
    m.strpsz = 1u << (e[109] & 31);
    if (m.xrs == 0 || brk > (kB - 1216) / 8 || m.width == 0 || m.strpsz > au) {
      fail("bad directory entry");
      return m;
    }
    auto ptr = [&](const uint8_t *p) { return std::make_pair(load32(p, big), load16(p + 4, big)); };
    for (uint32_t i = 0; i < cnt && i < brk; i++) m.ptrs.push_back(ptr(e.data() + 1216 + i * 8));
    if (cnt > brk) indirect++;
    for (uint32_t i = brk; cnt > brk && m.ptrs.size() < cnt && 1216 + (i + 1) * 8 <= kB; i += m.xrs) {
      auto [aun, dsk] = ptr(e.data() + 1216 + i * 8);
      if (aun == 0xFFFFFFFFu) break;
      for (uint32_t j = 0; j < au / kB && m.ptrs.size() < cnt; j++) {
        std::vector<uint8_t> b = block(dsk, uint64_t(aun) * au + j * kB, 12);
        const uint32_t xsn = load32(b.data() + 32, big), n = load16(b.data() + 36, big);
        if (xsn != m.ptrs.size() / m.xrs || (b[38] & 15) != m.xrs) fail("indirect block out of order");
        for (uint32_t k = 0; k < n; k++) m.ptrs.push_back(ptr(b.data() + 44 + k * 8));
      }
    }
    if (m.ptrs.size() != cnt || m.xrs == 0 || cnt % m.xrs) fail("extent map incomplete");
    // Copies on distinct disks, equal to the primary.
    for (size_t x = 0; x + m.xrs <= m.ptrs.size(); x += m.xrs) {
      std::set<uint16_t> on;
      std::vector<uint8_t> primary = read(m.ptrs[x].second, uint64_t(m.ptrs[x].first) * au, au);
      for (uint32_t c = 0; c < m.xrs; c++) {
        on.insert(m.ptrs[x + c].second);
        if (c > 0 && read(m.ptrs[x + c].second, uint64_t(m.ptrs[x + c].first) * au, au) != primary)
          fail("mirror copy differs");
      }
      if (on.size() != m.xrs) fail("copies on the same disk");
    }
    return m;
  }
  std::vector<uint8_t> read_file(const Map &m, uint64_t from, size_t n) {
    std::vector<uint8_t> out;
    const uint64_t set = uint64_t(au / m.strpsz) * m.width;
    for (uint64_t o = from; o < from + n;) {
      const uint64_t s = o / m.strpsz, x = (s / set) * m.width + s % m.width, r = (s % set) / m.width;
      const size_t len = size_t(std::min<uint64_t>(from + n - o, m.strpsz - o % m.strpsz));
      if (x * m.xrs >= m.ptrs.size()) {
        fail("read past the extent map");
        return out;
      }
      auto [aun, dsk] = m.ptrs[x * m.xrs];
      std::vector<uint8_t> b = read(dsk, uint64_t(aun) * au + r * m.strpsz + o % m.strpsz, len);
      out.insert(out.end(), b.begin(), b.end());
      o += len;
    }
    return out;
  }
  // The contents of file number, n bytes.
  std::vector<uint8_t> file(uint32_t number, size_t n) {
    Map dir;
    for (uint16_t d = 0; d < disks.size() && dir.ptrs.empty(); d++) {
      const std::vector<uint8_t> h = block(d, 0, 1);  // sets the byte order
      const uint32_t f1 = load32(h.data() + 244, big);
      if (f1 != 0) dir = map_of(block(d, uint64_t(f1) * au + kB, 4));
    }
    if (dir.ptrs.empty()) {
      fail("no directory");
      return {};
    }
    const uint32_t nb = au / kB;
    if (number / nb * dir.xrs >= dir.ptrs.size()) {
      fail("file past the directory");
      return {};
    }
    auto [aun, dsk] = dir.ptrs[number / nb * dir.xrs];
    return read_file(map_of(block(dsk, uint64_t(aun) * au + number % nb * kB, 4)), 0, n);
  }
};

struct Layout {
  const char *what;
  bool fine;
  int copies, disks;
  uint32_t au;
  bool big;
  const char *arch;  // archives' group, or null
};

std::vector<uint8_t> bytes_of(const std::string &path) {
  const std::string s = kstest::read_file(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<std::vector<std::string>> query(sqlite3 *db, const std::string &sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) return rows;
  while (sqlite3_step(s) == SQLITE_ROW) {
    rows.emplace_back();
    for (int i = 0; i < sqlite3_column_count(s); i++) {
      const unsigned char *t = sqlite3_column_text(s, i);
      rows.back().push_back(t ? reinterpret_cast<const char *>(t) : "");
    }
  }
  sqlite3_finalize(s);
  return rows;
}

// Runs the workload in two runs of the database (it is reopened between them).
void run_db(const ks_db_cfg_t &cfg) {
  for (int part = 0; part < 2; part++) {
    ks_sim_db db;
    ASSERT_EQ(part == 0 ? db.create(cfg) : db.open(cfg.dir, cfg.name), 0) << ks_log_get_message();
    db.set_sync(false, 0);
    ks_oltp_cfg_t o;
    o.txns = 700;
    o.seed = 7 + uint64_t(part);
    o.switch_every = 300;
    ASSERT_EQ(ks_oltp_run(db, o), 0) << ks_log_get_message();
    ASSERT_EQ(db.close(), 0);
  }
}

}  // namespace

TEST(AsmLogs, EveryLogFoundInTheImagesEqualsThePlainRun) {
  kstest::TempHome home;
  ks_db_cfg_t plain;
  plain.dir = home.path() + "plain";
  plain.redo.log_blocks = 4096;  // 2 MiB logs: more extents than the directory entry holds
  plain.redo.sync = false;
  run_db(plain);
  sqlite3 *pdb = nullptr;
  ASSERT_EQ(sqlite3_open((plain.dir + "/ORASIM.db").c_str(), &pdb), SQLITE_OK);
  const auto parch = query(pdb, "select \"SEQUENCE#\", \"NAME\" from \"V$ARCHIVED_LOG\" order by 1");
  const auto plog = query(pdb, "select \"GROUP#\", \"SEQUENCE#\" from \"V$LOG\" order by 1");
  sqlite3_close(pdb);
  ASSERT_GE(parch.size(), 4u);
  const size_t log_bytes = size_t(plain.redo.log_blocks + 1) * 512;

  const Layout layouts[] = {
      {"fine, normal, 64K", true, 2, 3, 64 << 10, false, nullptr},
      {"coarse, high, 64K, big-endian, archives apart", false, 3, 4, 64 << 10, true, "fra"},
      {"fine, external, 1M, big-endian", true, 1, 2, 1 << 20, true, nullptr},
  };
  int indirect = 0;
  for (const Layout &l : layouts) {
    SCOPED_TRACE(l.what);
    ks_db_cfg_t cfg = plain;
    cfg.dir = home.path() + "asm" + std::to_string(&l - layouts);
    cfg.asm_grp.name = "data";
    cfg.asm_grp.copies = l.copies;
    cfg.asm_grp.disks = l.disks;
    cfg.asm_grp.au = l.au;
    cfg.asm_grp.big = l.big;
    cfg.asm_fine = l.fine;
    if (l.arch) cfg.asm_arch = l.arch;
    run_db(cfg);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((cfg.dir + "/ORASIM.db").c_str(), &db), SQLITE_OK);
    std::map<std::string, Images> groups;
    for (const auto &r : query(db,
                               "select g.\"NAME\", g.\"ALLOCATION_UNIT_SIZE\", g.\"TYPE\", d.\"PATH\" from "
                               "\"V$ASM_DISKGROUP\" g join \"V$ASM_DISK\" d using (\"GROUP_NUMBER\") "
                               "where g.\"STATE\" = 'CONNECTED' order by d.\"GROUP_NUMBER\", d.\"DISK_NUMBER\"")) {
      groups[r[0]].au = uint32_t(std::stoul(r[1]));
      groups[r[0]].disks.push_back(r[3]);
      EXPECT_EQ(r[2], l.copies == 1 ? "EXTERN" : l.copies == 2 ? "NORMAL" : "HIGH");
    }
    ASSERT_EQ(groups.size(), l.arch ? 2u : 1u);
    Images &data = groups["DATA"];
    Images &arch = groups[l.arch ? "FRA" : "DATA"];
    ASSERT_EQ(data.disks.size(), size_t(l.disks));
    auto file_no = [&](int g, const std::string &name) {
      auto r = query(db, "select \"FILE_NUMBER\" from \"V$ASM_ALIAS\" where \"GROUP_NUMBER\" = " + std::to_string(g) +
                             " and \"NAME\" = '" + name + "'");
      return r.size() == 1 ? uint32_t(std::stoul(r[0][0])) : 0u;
    };
    // Online logs: their alias names, found in the images, equal to the plain run's.
    const auto members =
        query(db,
              "select l.\"GROUP#\", l.\"SEQUENCE#\", f.\"MEMBER\" from \"V$LOG\" l join \"V$LOGFILE\" f using "
              "(\"GROUP#\") order by 1");
    ASSERT_EQ(members.size(), plog.size());
    for (size_t i = 0; i < members.size(); i++) {
      const std::string alias = "group_" + members[i][0] + ".log";
      EXPECT_EQ(members[i][2], "+DATA/ORASIM/ONLINELOG/" + alias);
      EXPECT_EQ(members[i][1], plog[i][1]);
      const uint32_t n = file_no(1, alias);
      ASSERT_GE(n, 256u);
      EXPECT_TRUE(data.file(n, log_bytes) == bytes_of(plain.dir + "/ORASIM/onlinelog/redo0" + members[i][0] + ".log"))
          << "online log " << alias;
    }
    // Archives: system names with their file number, equal to the plain run's.
    const auto archs = query(db, "select \"SEQUENCE#\", \"NAME\" from \"V$ARCHIVED_LOG\" order by 1");
    ASSERT_EQ(archs.size(), parch.size());
    for (size_t i = 0; i < archs.size(); i++) {
      const std::string &name = archs[i][1];
      const std::string dir = std::string("+") + (l.arch ? "FRA" : "DATA") + "/ORASIM/ARCHIVELOG/";
      ASSERT_EQ(name.substr(0, dir.size()), dir);
      const std::string last = name.substr(dir.size());
      unsigned seq = 0, n = 0, inc = 0;
      ASSERT_EQ(sscanf(last.c_str(), "thread_1_seq_%u.%u.%u", &seq, &n, &inc), 3) << name;
      EXPECT_EQ(std::to_string(seq), archs[i][0]);
      EXPECT_EQ(file_no(l.arch ? 2 : 1, last), n);
      const std::vector<uint8_t> want = bytes_of(parch[i][1]);
      EXPECT_TRUE(arch.file(n, want.size()) == want) << name;
    }
    for (auto &[name, g] : groups) {
      EXPECT_EQ(g.fault, "") << name;
      EXPECT_EQ(g.big, l.big);
      EXPECT_GT(g.metadata, 0);
      indirect += g.indirect;
    }
    sqlite3_close(db);
  }
  EXPECT_GT(indirect, 0) << "no file needed indirect extents";

  // An archive a run put in the directory but not in the catalogue (the run ended between
  // the two) is no log of the database: the next run drops it and goes on; afterwards the
  // group's files are exactly those the catalogue names.
  ks_asm_cfg_t g;
  g.name = "DATA";
  g.copies = layouts[0].copies;
  g.disks = layouts[0].disks;
  g.au = layouts[0].au;
  char *abs = realpath((home.path() + "asm0").c_str(), nullptr);
  ASSERT_NE(abs, nullptr);
  g.dir = std::string(abs) + "/asm";
  free(abs);
  {
    ks_asm_group grp;
    uint32_t n = 0;
    ASSERT_EQ(grp.open(g), 0) << ks_log_get_message();
    ASSERT_EQ(grp.create_file(300000, false, KS_ASM_FTYPE_ARCHIVELOG, 512, 1, &n), 0);
    ASSERT_EQ(grp.publish(n), 0);
  }
  {
    ks_sim_db db;
    ASSERT_EQ(db.open(home.path() + "asm0", "ORASIM"), 0) << ks_log_get_message();
    for (int k = 0; k < 2; k++) ASSERT_EQ(db.switch_log(), 0);
    ASSERT_EQ(db.close(), 0);
  }
  ks_asm_group grp;
  ASSERT_EQ(grp.open(g), 0) << ks_log_get_message();
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open((home.path() + "asm0/ORASIM.db").c_str(), &db), SQLITE_OK);
  std::set<std::string> named, held;
  for (const auto &r : query(db, "select \"FILE_NUMBER\" from \"V$ASM_ALIAS\" where \"ALIAS_DIRECTORY\" = 'N'"))
    named.insert(r[0]);
  sqlite3_close(db);
  for (const auto &[n, f] : grp.files())
    if (n >= KS_ASM_FIRST_USER_FILE) held.insert(std::to_string(n));
  EXPECT_EQ(held, named);
}
