// The redo writer against the hand-typed fixtures (byte for byte) and its block rules:
// spanning, the 23-byte rule, padding at writes, log switch, archiving, overwrite.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "lib/fmt/redo_format.h"
#include "sim/source/ora_value.h"
#include "sim/source/redo_log.h"
#include "sim/source/sim_db.h"
#include "sim/source/workload.h"
#include "tests/testutil.h"

using namespace ks::sim;
using namespace ks::redo;

namespace {

std::string fixture(const std::string &name) {
  return kstest::read_file(std::string(KS_TEST_DATA_DIR) + "/redo/" + name);
}

std::string unhex(const std::string &h) {
  std::string b;
  EXPECT_EQ(ks_unhex(h, &b), 0) << h;
  return b;
}

// Values given as hex, "" for NULL.
struct Vals {
  std::vector<std::string> b;
  std::vector<ks_colval_t> v;
  Vals(std::initializer_list<const char *> hex) {
    for (const char *h : hex) b.push_back(unhex(h));
    size_t i = 0;
    for (const char *h : hex) {
      v.push_back(*h ? ks_colval_t{reinterpret_cast<const uint8_t *>(b[i].data()), int(b[i].size())}
                     : ks_colval_t{nullptr, -1});
      i++;
    }
  }
  const ks_colval_t *data() const { return v.data(); }
  int n() const { return int(v.size()); }
};

// Writes one log through the real writer into a temporary directory.
struct Log {
  kstest::TempHome home;
  ks_redo_cfg_t cfg;
  ks_redo_writer w;
  ks_redo_record r;
  std::vector<ks_log_event_t> events;
  std::vector<std::string> arch;
  Log(uint32_t bs, bool big, uint32_t vsn, uint32_t log_blocks, uint32_t seq, bool archive = true, int ngroups = 2) {
    cfg.blk_sz = bs;
    cfg.big = big;
    cfg.vsn = vsn;
    cfg.log_blocks = log_blocks;
    cfg.archive = archive;
    cfg.sync = false;
    cfg.arch_dir = home.path() + "tmp";
    // The fixtures hold the fields the reader decodes and zeros elsewhere.
    cfg.bare = true;
    std::vector<ks_log_group_t> groups;
    std::vector<std::string> paths;
    for (int g = 1; g <= ngroups; g++) {
      ks_log_group_t grp;
      grp.group = g;
      grp.path = home.path() + "data/redo" + std::to_string(g) + ".log";
      paths.push_back(grp.path);
      groups.push_back(grp);
    }
    EXPECT_EQ(ks_redo_writer::create_groups(cfg, paths), 0);
    w.set_listener([this](const ks_log_event_t &e) {
      events.push_back(e);
      if (!e.arch_path.empty()) arch.push_back(e.arch_path);
      return 0;
    });
    EXPECT_EQ(w.open(cfg, groups, -1, 0, seq, 1), 0);
    r.setup(big, vsn, true);
  }
  uint64_t scn_ = 0;
  void begin(uint64_t scn, uint8_t vld = 1, uint32_t con = 0, uint32_t ts = 0) {
    scn_ = scn;
    r.begin(scn, vld, con, ts);
  }
  void end() {
    ASSERT_EQ(r.finish(), 0);
    ASSERT_EQ(w.append(r, scn_), 0);
  }
  std::string online(int g = 0) { return kstest::read_file(w.groups()[size_t(g)].path); }
  std::string archived() {
    EXPECT_EQ(w.switch_log(scn_ + 1, 0), 0);
    EXPECT_FALSE(arch.empty());
    return arch.empty() ? std::string() : kstest::read_file(arch.back());
  }
};

ks_suplog_t sup_ins() {
  ks_suplog_t s;
  s.redo_scid = 1;
  return s;
}
ks_suplog_t sup_del() {
  ks_suplog_t s;
  s.undo_scid = 1;
  return s;
}

void expect_same(const std::string &got, const std::string &want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++)
    ASSERT_EQ(uint8_t(got[i]), uint8_t(want[i])) << "first difference at byte " << i << " (block " << i / 512 << ")";
}

void write_insert_fixture(Log &l) {
  const uint64_t x5 = make_xid(5, 3, 1207), x6 = make_xid(6, 14, 88);
  l.begin(169552899);
  l.r.undo_seg_header(5);
  l.r.undo_of_insert(x5, 74501, {0x01c00085, 0}, sup_ins());
  Vals a{"c102", "414c494345", "787c010f0b1f01", "c10b", "666972737420726f77"};
  l.r.redo_irp({0x01c00085, 0}, a.data(), a.n());
  l.end();
  l.begin(169552902);
  l.r.undo_of_insert(x5, 74501, {0x01c00085, 1}, sup_ins());
  Vals b{"c103", "424f42"};
  l.r.redo_irp({0x01c00085, 1}, b.data(), b.n());
  l.end();
  l.begin(169552905);
  l.r.undo_of_insert(x5, 74501, {0x01c00085, 2}, sup_ins());
  Vals c{"c104", "", "787b0c1f183c3c"};
  l.r.redo_irp({0x01c00085, 2}, c.data(), c.n());
  l.end();
  l.begin(169552908);
  l.r.undo_seg_header(6);
  l.r.undo_of_insert(x6, 74503, {0x01c00090, 0}, sup_ins());
  Vals d{"c202", "63406578616d706c652e6f7267", "005a006f00eb", "4341524f4c202020202020202020202020202020"};
  l.r.redo_irp({0x01c00090, 0}, d.data(), d.n());
  l.end();
  l.begin(169552911);
  l.r.commit(x5, false);
  l.end();
  l.begin(169552914);
  l.r.commit(x6, false);
  l.end();
}

}  // namespace

TEST(RedoFixture, InsertsAndCommitsInBothByteOrders) {
  for (bool big : {false, true}) {
    Log l(512, big, KS_REDO_VSN19, 2048, 101);
    write_insert_fixture(l);
    expect_same(l.archived(), fixture(big ? "insert_be_v19_b512.redo" : "insert_le_v19_b512.redo"));
  }
}

TEST(RedoFixture, UpdateWithSupplementalKeyAndDeleteV11) {
  Log l(1024, false, KS_REDO_VSN11, 4096, 203);
  const uint64_t x = make_xid(7, 18, 3344), y = make_xid(9, 2, 77);
  uint16_t cn[2] = {3, 4}, sc[2] = {1, 2};
  Vals sv{"c20b02", "c103"};
  ks_suplog_t s;
  s.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
  s.undo_scid = s.redo_scid = 4;
  s.ncol = 2;
  s.scid = sc;
  s.val = sv.data();
  l.begin(0x00b40003);
  l.r.undo_seg_header(7);
  Vals old{"c106", "4e"}, nw{"c108", "53"};
  l.r.undo_of_update(x, 74502, {0x01800104, 4}, cn, old.data(), 2, s);
  l.r.redo_urp({0x01800104, 4}, cn, nw.data(), 2);
  l.end();
  l.begin(0x00b40006);
  Vals row{"c20b02", "c102", "00ff10ee", "c10d", "4e"};
  l.r.undo_of_delete(x, 74502, {0x01800104, 3}, row.data(), row.n(), sup_del());
  l.r.redo_drp({0x01800104, 3});
  l.end();
  l.begin(0x00b40009);
  l.r.commit(x, false);
  l.end();
  l.begin(0x00b4000c);
  l.r.undo_seg_header(9);
  uint16_t cn2[1] = {3};
  Vals sv2{"c108", ""}, old2{""}, nw2{"4441564520202020202020202020202020202020"};
  s.val = sv2.data();
  l.r.undo_of_update(y, 74503, {0x01800120, 0}, cn2, old2.data(), 1, s);
  l.r.redo_urp({0x01800120, 0}, cn2, nw2.data(), 1);
  l.end();
  l.begin(0x00b4000f);
  l.r.commit(y, false);
  l.end();
  expect_same(l.archived(), fixture("upd_del_le_v11_b1024.redo"));
}

// Updates that set columns the row piece did not store: the undo names them after the
// stored ones, highest first, and carries no value for them.
TEST(RedoFixture, UpdateOfTrailingNullColumnsBothByteOrders) {
  for (bool big : {false, true}) {
    Log l(512, big, big ? KS_REDO_VSN11 : KS_REDO_VSN19, 1024, big ? 312 : 311);
    const uint64_t x = make_xid(3, 9, 4711);
    uint16_t sc[1] = {1};
    ks_suplog_t s;
    s.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
    s.undo_scid = s.redo_scid = 2;
    s.ncol = 1;
    s.scid = sc;
    Vals k1{"c102"}, k2{"c103"};
    uint16_t cn[3] = {1, 3, 4};
    Vals old{"4142", "", ""}, nw{"4344", "58", "59"};
    s.val = k1.data();
    l.begin(0x200A10001ull);
    l.r.undo_seg_header(3);
    l.r.undo_of_update(x, 74520, {0x01C000A0, 0}, cn, old.data(), 3, s, 2);
    l.r.redo_urp({0x01C000A0, 0}, cn, nw.data(), 3);
    l.end();
    uint16_t cn2[2] = {1, 4};
    Vals old2{"", ""}, nw2{"4546", "5a"};
    s.val = k2.data();
    l.begin(0x200A10004ull);
    l.r.undo_of_update(x, 74520, {0x01C000A0, 1}, cn2, old2.data(), 2, s, 1);
    l.r.redo_urp({0x01C000A0, 1}, cn2, nw2.data(), 2);
    l.end();
    l.begin(0x200A10007ull);
    l.r.commit(x, false);
    l.end();
    expect_same(l.archived(), fixture(big ? "upd_trail_be_v11_b512.redo" : "upd_trail_le_v19_b512.redo"));
  }
}

TEST(RedoFixture, UpdateDeleteBigEndianV10SpanningTwoBlocks) {
  Log l(512, true, KS_REDO_VSN10, 1024, 204);
  const uint64_t x = make_xid(4, 31, 65540);
  const ks_rowref_t r6{0x00400a11, 6}, r7{0x00400a11, 7}, r0{0x00400a11, 0};
  uint16_t sc[1] = {1};
  Vals sv{"c103"};
  ks_suplog_t s;
  s.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
  s.undo_scid = s.redo_scid = 2;
  s.ncol = 1;
  s.scid = sc;
  s.val = sv.data();
  l.begin(0x0023ca83);
  l.r.undo_seg_header(4);
  uint16_t cn[2] = {1, 3};
  Vals old{"424f42", "c10b"}, nw{"524f42455254", "c115"};
  l.r.undo_of_update(x, 74501, r6, cn, old.data(), 2, s);
  l.r.redo_urp(r6, cn, nw.data(), 2);
  l.end();
  l.begin(0x0023ca86);
  Vals row{"c104", "455645", "7878021d090101"};
  l.r.undo_of_delete(x, 74501, r7, row.data(), row.n(), sup_del());
  l.r.redo_drp(r7);
  l.end();
  l.begin(0x0023ca89);
  uint16_t cn3[1] = {4};
  Vals sv3{"c102"}, old3{"666972737420726f77"}, nw3{""};
  s.undo_scid = s.redo_scid = 5;
  s.val = sv3.data();
  l.r.undo_of_update(x, 74501, r0, cn3, old3.data(), 1, s);
  l.r.redo_urp(r0, cn3, nw3.data(), 1);
  l.end();
  l.begin(0x0023ca8c);
  l.r.commit(x, false);
  l.end();
  expect_same(l.archived(), fixture("upd_del_be_v10_b512.redo"));
}

TEST(RedoFixture, RollbackRedoWithUndoRecordRollbackV10) {
  Log l(512, false, KS_REDO_VSN10, 1024, 109);
  const uint64_t a = make_xid(4, 10, 900), b = make_xid(6, 1, 55), c = make_xid(7, 3, 61), d = make_xid(8, 4, 70);
  ks_suplog_t plain;
  auto ins = [&](uint64_t scn, uint64_t x, uint16_t usn, uint16_t slot, Vals v) {
    l.begin(scn);
    l.r.undo_seg_header(usn);
    l.r.undo_of_insert(x, 74501, {0x00400c00, slot}, sup_ins());
    l.r.redo_irp({0x00400c00, slot}, v.data(), v.n());
    l.end();
  };
  ins(0x004c4b43, a, 4, 0, Vals{"c133", "54454d50", "", "", ""});
  l.begin(0x004c4b46);
  l.r.redo_drp({0x00400c00, 0}, &plain);
  l.r.rollback_undo(6, a, 74501);
  l.end();
  l.begin(0x004c4b49);
  l.r.commit(a, true);
  l.end();
  ins(0x004c4b4c, b, 6, 1, Vals{"c134", "4b454550", "", "", ""});
  l.begin(0x004c4b4f);
  l.r.commit(b, false);
  l.end();
  ins(0x004c4b52, c, 7, 2, Vals{"c135", "474f4e45", "", "", ""});
  ins(0x004c4b55, d, 8, 3, Vals{"c136", "4f54484552", "", "", ""});
  l.begin(0x004c4b58);
  l.r.redo_drp({0x00400c00, 2}, &plain);
  l.r.rollback_undo(6, c, 74501);
  l.end();
  l.begin(0x004c4b5b);
  l.r.commit(c, true);
  l.end();
  l.begin(0x004c4b5e);
  l.r.commit(d, false);
  l.end();
  expect_same(l.archived(), fixture("rollback_le_v10_b512.redo"));
}

// Rows of compressed blocks: inserts whose row is one row image, overwrites of the whole
// row with no supplemental header (one side a row image, the other a field per value), a
// delete whose undo is a row image, an overwrite undone by rollback redo.
TEST(RedoFixture, CompressedRowsBothByteOrders) {
  const std::string note =
      ks_hex(std::string("Packed rows keep repeated values once per block. Packed rows keep repeated values once per "
                         "block. Packed rows keep repeated values once per block. Packed rows keep repeated values "
                         "once per block. Packed rows keep repeated values once per block. Packed rows keep repeated "
                         "values once per block. Packed")
                 .substr(0, 300));
  for (bool big : {false, true}) {
    Log l(big ? 1024 : 512, big, big ? KS_REDO_VSN11 : KS_REDO_VSN19, 1024, big ? 422 : 421);
    const uint64_t a = make_xid(4, 7, 1500), b = make_xid(6, 3, 42);
    const ks_rowref_t s{0x01C00140, 0}, j{0x01C00150, 0};
    uint64_t scn = 0x13A500020ull;
    auto rec = [&](auto &&body) {
      l.begin(scn);
      scn += 3;
      body();
      l.end();
    };
    Vals stock0{"c102", "41423132", "", note.c_str()}, stock1{"c102", "41423132", "c10b", note.c_str()};
    Vals j1{"6c6564676572"}, j2{"6c6564676572", "c104", "706f73746564"}, j3{"6c6564676572", "c105"};
    rec([&] {
      l.r.undo_seg_header(4);
      l.r.undo_of_insert(a, 74620, s, sup_ins());
      l.r.set_row_image(true);
      l.r.redo_irp(s, stock0.data(), stock0.n());
    });
    rec([&] {
      l.r.undo_of_insert(a, 74621, j, sup_ins());
      l.r.set_row_image(true);
      l.r.redo_irp(j, j1.data(), j1.n());
    });
    rec([&] {
      l.r.set_row_image(true);
      l.r.undo_of_overwrite(a, 74620, s, stock0.data(), stock0.n());
      l.r.set_row_image(false);
      l.r.redo_irp(s, stock1.data(), stock1.n(), nullptr, KS_REDO_OP_ORP);
    });
    rec([&] {
      l.r.undo_of_overwrite(a, 74621, j, j1.data(), j1.n());
      l.r.set_row_image(true);
      l.r.redo_irp(j, j2.data(), j2.n(), nullptr, KS_REDO_OP_ORP);
    });
    rec([&] {
      l.r.set_row_image(true);
      l.r.undo_of_delete(a, 74620, s, stock1.data(), stock1.n(), sup_del());
      l.r.redo_drp(s);
    });
    rec([&] { l.r.commit(a, false); });
    rec([&] {
      l.r.undo_seg_header(6);
      l.r.undo_of_overwrite(b, 74621, j, j2.data(), j2.n());
      l.r.set_row_image(true);
      l.r.redo_irp(j, j3.data(), j3.n(), nullptr, KS_REDO_OP_ORP);
    });
    rec([&] {
      l.r.set_row_image(true);
      l.r.redo_irp(j, j2.data(), j2.n(), nullptr, KS_REDO_OP_ORP);
      l.r.rollback_undo(6, b, 74621);
    });
    rec([&] { l.r.commit(b, true); });
    expect_same(l.archived(), fixture(big ? "comp_be_v11_b1024.redo" : "comp_le_v19_b512.redo"));
  }
}

TEST(RedoFixture, CurrentLogBigEndianV10RecordSpanningThreeBlocks) {
  Log l(1024, true, KS_REDO_VSN10, 10, 208);
  const uint64_t a = make_xid(2, 40, 1201), b = make_xid(3, 8, 1300);
  std::string y669(669 * 2, '7'), y1841, y689;
  for (int i = 0; i < 669; i++) y669[size_t(2 * i + 1)] = '9';
  y1841.reserve(3682);
  for (int i = 0; i < 1841; i++) y1841 += "79";
  for (int i = 0; i < 689; i++) y689 += "79";
  auto ins = [&](uint64_t scn, uint64_t x, bool first, uint16_t slot, const char *id, const char *name,
                 const std::string &big) {
    l.begin(scn);
    if (first) l.r.undo_seg_header(xid_usn(x));
    l.r.undo_of_insert(x, 74501, {0x00400b00, slot}, sup_ins());
    Vals v{id, name, "", "", big.c_str()};
    l.r.redo_irp({0x00400b00, slot}, v.data(), v.n());
    l.end();
  };
  ins(0x002f4d63, a, true, 0, "c115", "42494730", y669);
  ins(0x002f4d66, a, false, 1, "c116", "42494731", y1841);
  l.begin(0x002f4d69);
  l.r.commit(a, false);
  l.end();
  ASSERT_EQ(l.w.flush(), 0);  // a log write ends here: the next record starts a new block
  ins(0x002f4d6c, b, true, 2, "c117", "42494732", y689);
  l.begin(0x002f4d6f);
  l.r.commit(b, false);
  l.end();
  ASSERT_EQ(l.w.flush(), 0);
  expect_same(l.online(), fixture("walk_be_v10_b1024.redo"));
}

TEST(RedoFixture, PluggableDatabaseLongHeadersV19) {
  Log l(1024, false, KS_REDO_VSN19, 2048, 411);
  const uint32_t p1 = 3141592653u, p2 = 1385559638u;
  const uint64_t a = make_xid(13, 1, 500), b = make_xid(21, 7, 9000), c = make_xid(13, 2, 501);
  l.begin(0x0a200003, 5, p1, 0x45bcc880);
  l.r.undo_seg_header(13);
  l.r.undo_of_insert(a, 74501, {0x01c00400, 0}, sup_ins());
  Vals v1{"c147", "50444231524f57", "787c0303010101", "", ""};
  l.r.redo_irp({0x01c00400, 0}, v1.data(), v1.n());
  l.end();
  l.begin(0x0a200006, 5, p2, 0x45bcc887);
  l.r.undo_seg_header(21);
  l.r.undo_of_insert(b, 81200, {0x02400010, 0}, sup_ins());
  Vals v2{"444241", "44617461626173652061646d696e", "c233"};
  l.r.redo_irp({0x02400010, 0}, v2.data(), v2.n());
  l.end();
  l.begin(0x0a200009, 5, p2, 0x45bcc88e);
  uint16_t cn[1] = {2}, sc[1] = {1};
  Vals sv{"444241"}, old{"c233"}, nw{"c238"};
  ks_suplog_t s;
  s.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
  s.undo_scid = s.redo_scid = 3;
  s.ncol = 1;
  s.scid = sc;
  s.val = sv.data();
  l.r.undo_of_update(b, 81200, {0x02400010, 0}, cn, old.data(), 1, s);
  l.r.redo_urp({0x02400010, 0}, cn, nw.data(), 1);
  l.end();
  l.begin(0x0a20000c, 5, p1, 0x45bcc895);
  l.r.commit(a, false);
  l.end();
  l.begin(0x0a20000f, 5, p2, 0x45bcc89c);
  l.r.commit(b, false);
  l.end();
  l.begin(0x0a200012, 5, p1, 0x45bcc8a3);
  l.r.undo_seg_header(13);
  l.r.undo_of_insert(c, 74501, {0x01c00400, 1}, sup_ins());
  Vals v3{"c148", "50444231524f5732", "", "", ""};
  l.r.redo_irp({0x01c00400, 1}, v3.data(), v3.n());
  l.end();
  l.begin(0x0a200015, 5, p1, 0x45bcc8aa);
  l.r.commit(c, false);
  l.end();
  expect_same(l.archived(), fixture("pdb_le_v19_b1024.redo"));
}

// ---- block rules, checked by walking the written log as a reader does ----

namespace {
struct Walked {
  uint32_t blk, off, len;
};
// Walks blocks 2.. of a log: the block header sequence, the 23-byte rule, zero lengths,
// spanning; returns the records found (their start) or stops at the first foreign block.
std::vector<Walked> walk(const std::string &f, bool big, uint32_t seq, std::string *err) {
  std::vector<Walked> out;
  const auto *d = reinterpret_cast<const uint8_t *>(f.data());
  uint32_t bs = ks::load32(d + KS_REDO_FH0_BLOCK_SIZE, big);
  uint32_t nab = ks::load32(d + bs + KS_REDO_FH1_NEXT_BLOCK, big);
  uint32_t nblk = nab == KS_REDO_NEXT_BLOCK_CURRENT ? uint32_t(f.size() / bs) : nab;
  uint32_t b = 2, off = 0;
  while (b < nblk) {
    const uint8_t *p = d + size_t(b) * bs;
    if (ks::load32(p + KS_REDO_BH_SEQUENCE, big) != seq) break;
    if (ks::load32(p + KS_REDO_BH_BLOCK_NO, big) != b) {
      *err = "block number";
      break;
    }
    uint16_t fro = ks::load16(p + KS_REDO_BH_FIRST_RECORD, big);
    if (!(fro & KS_REDO_BH_FIRST_RECORD_FLAG)) {
      *err = "0x8000 missing";
      break;
    }
    if (off == 0) off = fro & KS_REDO_BH_FIRST_RECORD_MASK;
    if (off == 0 || bs - off < uint32_t(KS_REDO_MIN_RECORD_ROOM)) {
      b++;
      off = 0;
      continue;
    }
    uint32_t len = ks::load32(p + off, big);
    if (len == 0) {
      b++;
      off = 0;
      continue;
    }
    out.push_back({b, off, len});
    uint32_t left = len, o = off;
    uint32_t take = std::min(left, bs - o);
    left -= take;
    o += take;
    while (left > 0) {
      b++;
      if (b >= nblk) {
        *err = "record runs past the log";
        return out;
      }
      const uint8_t *q = d + size_t(b) * bs;
      if (ks::load32(q + KS_REDO_BH_SEQUENCE, big) != seq) {
        *err = "continuation block of another sequence";
        return out;
      }
      take = std::min(left, bs - KS_REDO_BH_SIZE);
      left -= take;
      o = KS_REDO_BH_SIZE + take;
    }
    off = o;
    if (off == bs) b++, off = 0;
  }
  return out;
}
}  // namespace

// Container uids in record headers: 0 everywhere without a pluggable database (even when
// one was asked for); with one, its own uid, the root's 1 for part of the system
// activity, and the other container's when configured.
TEST(RedoWriter, ContainerUidsOfRootPluggableAndPlainDatabases) {
  kstest::TempHome home;
  for (int pdb = 0; pdb < 2; pdb++) {
    ks::sim::ks_db_cfg_t cfg;
    cfg.dir = home.path() + "db" + std::to_string(pdb);
    cfg.name = "SRC";
    cfg.redo.log_blocks = 4096;
    cfg.redo.sync = false;
    cfg.redo.vsn = KS_REDO_VSN19;
    cfg.con_uid = 3141592653u;
    cfg.other_con_uid = 2718281828u;
    cfg.noise = 200;
    if (pdb) cfg.pdb = "PDB1";
    {
      ks::sim::ks_sim_db db;
      ASSERT_EQ(db.create(cfg), 0);
      ks::sim::ks_oltp_cfg_t o;
      o.txns = 100;
      ASSERT_EQ(ks::sim::ks_oltp_run(db, o), 0);
      ASSERT_EQ(db.close(), 0);
    }
    std::map<uint32_t, int> seen;
    for (int g = 1; g <= 3; g++) {
      std::string f = kstest::read_file(cfg.dir + "/SRC/onlinelog/redo0" + std::to_string(g) + ".log");
      if (f.size() < 1024) continue;
      uint32_t seq = ks::load32(reinterpret_cast<const uint8_t *>(f.data()) + 1024 + KS_REDO_BH_SEQUENCE, false);
      std::string err;
      for (const Walked &w : walk(f, false, seq, &err))
        seen[ks::load32(reinterpret_cast<const uint8_t *>(f.data()) + size_t(w.blk) * 512 + w.off + KS_REDO_RH_CON_UID,
                        false)]++;
      EXPECT_EQ(err, "");
    }
    ASSERT_FALSE(seen.empty());
    if (!pdb) {
      EXPECT_EQ(seen.size(), 1u);
      EXPECT_EQ(seen.begin()->first, 0u);
    } else {
      EXPECT_EQ(seen.size(), 3u);
      EXPECT_GT(seen[3141592653u], 0);
      EXPECT_GT(seen[1], 0) << "the root's own activity";
      EXPECT_GT(seen[2718281828u], 0);
    }
  }
}

TEST(RedoWriter, SpanningAndTheTwentyThreeByteRule) {
  for (bool big : {false, true}) {
    Log l(512, big, KS_REDO_VSN19, 64, 7);
    // Records of chosen sizes (records and offsets are multiples of 4, so "23 bytes or
    // fewer" means 20): the first leaves 20 bytes in block 2, the second starts in block 3,
    // and so on through a record spanning four blocks.
    std::vector<uint32_t> sizes = {512 - 16 - 20, 100, 512 - 16 - 100 - 24, 1500, 200};
    std::vector<std::string> pads;
    for (uint32_t sz : sizes) {
      l.begin(100 + sz);
      uint32_t body = sz - 24 - 32 - 4;  // header, vector header, length array
      uint32_t fs[1] = {body};
      l.r.other(4, 1, 1, 0x00400001, fs, 1);
      ASSERT_EQ(l.r.finish(), 0);
      ASSERT_EQ(l.r.size(), sz);
      ASSERT_EQ(l.w.append(l.r, 100 + sz), 0);
    }
    ASSERT_EQ(l.w.flush(), 0);
    std::string err;
    auto recs = walk(l.online(), big, 7, &err);
    ASSERT_EQ(err, "");
    ASSERT_EQ(recs.size(), sizes.size());
    EXPECT_EQ(recs[0].blk, 2u);
    EXPECT_EQ(recs[0].off, 16u);
    EXPECT_EQ(recs[1].blk, 3u);  // the 20 bytes left in block 2 were skipped
    EXPECT_EQ(recs[1].off, 16u);
    EXPECT_EQ(recs[2].blk, 3u);  // exactly 24 bytes are left after this one...
    EXPECT_EQ(recs[2].off, 116u);
    EXPECT_EQ(recs[3].blk, 3u);  // ...so the next record starts there and spans four blocks
    EXPECT_EQ(recs[3].off, 512u - 24);
    for (size_t i = 0; i < sizes.size(); i++) EXPECT_EQ(recs[i].len, sizes[i]);
    // The block where the spanning record continues says no record starts in it.
    std::string f = l.online();
    EXPECT_EQ(ks::load16(f.data() + 4 * 512 + KS_REDO_BH_FIRST_RECORD, big), KS_REDO_BH_FIRST_RECORD_FLAG);
  }
}

TEST(RedoWriter, LogSwitchArchivesAndOverwriteWithoutArchive) {
  for (bool archive : {true, false}) {
    Log l(512, false, KS_REDO_VSN12, 8, 1, archive, 2);
    uint64_t scn = 10;
    // 3 records per block, a log holds blocks 2..8: 21 records; write 50 so that both
    // groups are reused.
    for (int i = 0; i < 50; i++) {
      l.begin(scn);
      uint32_t fs[1] = {100};
      l.r.other(4, 1, 1, 0x00400001, fs, 1);
      l.end();
      scn += 2;
    }
    ASSERT_EQ(l.w.flush(), 0);
    EXPECT_GE(l.w.switches(), 2u);
    EXPECT_EQ(l.w.sequence(), 3u);
    int dones = 0;
    for (auto &e : l.events)
      if (e.kind == ks_log_event_t::kDone) dones++;
    EXPECT_EQ(dones, 2);
    EXPECT_EQ(l.arch.size(), archive ? 2u : 0u);
    if (archive) {
      // The archived copy is the completed log up to its next available block.
      std::string a = kstest::read_file(l.arch[0]);
      uint32_t nab = ks::load32(a.data() + 512 + KS_REDO_FH1_NEXT_BLOCK, false);
      EXPECT_EQ(a.size(), size_t(nab) * 512);
      EXPECT_EQ(nab, 9u);
      EXPECT_EQ(ks::load32(a.data() + 512 + KS_REDO_BH_SEQUENCE, false), 1u);
      std::string err;
      EXPECT_EQ(walk(a, false, 1, &err).size(), 21u);
      EXPECT_EQ(err, "");
    }
    // Group 1 now holds sequence 3 (current, next block unknown) written over sequence 1.
    std::string g1 = l.online(0);
    EXPECT_EQ(ks::load32(g1.data() + 512 + KS_REDO_BH_SEQUENCE, false), 3u);
    EXPECT_EQ(ks::load32(g1.data() + 512 + KS_REDO_FH1_NEXT_BLOCK, false), KS_REDO_NEXT_BLOCK_CURRENT);
    std::string err;
    auto recs = walk(g1, false, 3, &err);
    EXPECT_EQ(recs.size(), 50u - 42u);
    // Past what sequence 3 wrote, the blocks still carry sequence 1.
    EXPECT_EQ(ks::load32(g1.data() + 8 * 512 + KS_REDO_BH_SEQUENCE, false), 1u);
    EXPECT_EQ(l.w.groups()[0].seq, 3u);
    EXPECT_EQ(l.w.groups()[1].status, kLogActive);
  }
}

TEST(RedoWriter, VersionsSetVectorHeaderAndUndoClass) {
  struct V {
    uint32_t vsn;
    int vhsz, cls;
  } vs[] = {{KS_REDO_VSN10, 24, 11},
            {KS_REDO_VSN11, 24, 15},
            {KS_REDO_VSN12, 32, 15},
            {KS_REDO_VSN19, 32, 15},
            {KS_REDO_VSN23, 32, 15}};
  for (auto v : vs) {
    ks_redo_record r;
    r.setup(false, v.vsn);
    r.begin(5, 1, 0, 0);
    r.commit(make_xid(3, 4, 5), false);
    ASSERT_EQ(r.finish(), 0);
    // A commit has four fields: a length array of 5 entries (12 bytes) and 20 + 16 + 24 + 4.
    const uint32_t cv = uint32_t(v.vhsz + 12 + KS_REDO_CMT_SIZE + 16 + 24 + 4);
    EXPECT_EQ(r.size(), 24 + cv);
    EXPECT_EQ(ks::load16(r.data() + 24 + KS_REDO_CV_CLASS, false), uint16_t(v.cls + 6));
    EXPECT_EQ(vector_size(r.data() + 24, v.vhsz, false), cv);
  }
}

TEST(RedoWriter, RecordOverflowAndBadConfigurationFail) {
  ks_redo_record r;
  r.setup(false, KS_REDO_VSN19);
  r.begin(1, 1, 0, 0);
  uint32_t fs[1] = {4000};
  for (int i = 0; i < 40; i++) r.other(4, 1, 1, 1, fs, 1);
  EXPECT_EQ(r.finish(), -1);
  ks_redo_writer w;
  ks_redo_cfg_t cfg;
  cfg.blk_sz = 500;
  EXPECT_EQ(w.open(cfg, {ks_log_group_t{}}, -1, 0, 1, 1), -1);
  // A record larger than a whole log is refused.
  Log l(512, false, KS_REDO_VSN19, 4, 1);
  l.begin(3);
  uint32_t big[1] = {3000};
  l.r.other(4, 1, 1, 1, big, 1);
  ASSERT_EQ(l.r.finish(), 0);
  EXPECT_EQ(l.w.append(l.r, 3), -1);
}

// ---- the remaining fixtures: quick multi-row inserts, vectors to skip, audit, DDL,
// ignored records, time stamps, a reused log ----

namespace {
// QUICK INSERT rows of an expected.jsonl change line, in order of appearance; a row is a
// list of hex values, "" for NULL.
std::vector<std::vector<std::string>> qmi_rows(const std::string &jsonl) {
  std::vector<std::vector<std::string>> out;
  size_t at = 0;
  while ((at = jsonl.find("\"rows\": [", at)) != std::string::npos) {
    at += 9;
    int depth = 1;
    std::vector<std::string> row;
    while (depth > 0 && at < jsonl.size()) {
      char c = jsonl[at];
      if (c == '[') {
        depth++;
        row.clear();
        at++;
      } else if (c == ']') {
        if (depth == 2) out.push_back(row);
        depth--;
        at++;
      } else if (c == '"') {
        size_t e = jsonl.find('"', at + 1);
        row.push_back(jsonl.substr(at + 1, e - at - 1));
        at = e + 1;
      } else if (jsonl.compare(at, 4, "null") == 0) {
        row.push_back("");
        at += 4;
      } else
        at++;
    }
  }
  return out;
}

// Writes a quick multi-row insert of the given rows (trailing NULLs are not stored, except
// that the last row stores last_nc columns when given).
void qmi(Log &l, uint64_t xid, uint32_t objn, uint32_t dba, const std::vector<std::vector<std::string>> &rows,
         int last_nc = -1) {
  std::vector<std::vector<std::string>> bytes(rows.size());
  std::vector<std::vector<ks_colval_t>> vals(rows.size());
  std::vector<const ks_colval_t *> rp;
  std::vector<int> nc;
  for (size_t i = 0; i < rows.size(); i++) {
    for (const auto &h : rows[i]) bytes[i].push_back(unhex(h));
    int n = int(rows[i].size());
    while (n > 0 && rows[i][size_t(n - 1)].empty()) n--;
    if (i + 1 == rows.size() && last_nc >= 0) n = last_nc;
    for (int c = 0; c < n; c++)
      vals[i].push_back(rows[i][size_t(c)].empty()
                            ? ks_colval_t{nullptr, -1}
                            : ks_colval_t{reinterpret_cast<const uint8_t *>(bytes[i][size_t(c)].data()),
                                          int(bytes[i][size_t(c)].size())});
    rp.push_back(vals[i].data());
    nc.push_back(n);
  }
  l.r.undo_of_qmi(xid, objn, dba, 0, uint16_t(rows.size()), sup_ins());
  l.r.redo_qmi(dba, 0, rp.data(), nc.data(), int(rows.size()));
}
}  // namespace

TEST(RedoFixture, QuickMultiRowInsertsBothByteOrders) {
  {
    Log l(1024, false, KS_REDO_VSN19, 2048, 305);
    auto rows = qmi_rows(fixture("qmi_le_v19_b1024.expected.jsonl"));
    ASSERT_EQ(rows.size(), 4u);
    const uint64_t x = make_xid(11, 5, 4242);
    l.begin(0x0a1c0003);
    l.r.undo_seg_header(11);
    qmi(l, x, 74510, 0x01c00200, rows, 2);  // the last row is stored as two columns, the second NULL
    l.end();
    l.begin(0x0a1c0006);
    l.r.commit(x, false);
    l.end();
    expect_same(l.archived(), fixture("qmi_le_v19_b1024.redo"));
  }
  {
    Log l(512, true, KS_REDO_VSN11, 1024, 306);
    auto rows = qmi_rows(fixture("qmi_be_v11_b512.expected.jsonl"));
    ASSERT_EQ(rows.size(), 4u);
    const uint64_t x = make_xid(12, 9, 31000), y = make_xid(12, 10, 31001);
    const uint64_t w = uint64_t(2) << 32;
    l.begin(w | 0x103);
    l.r.undo_seg_header(12);
    qmi(l, x, 74510, 0x01000300, {rows[0], rows[1], rows[2]});
    l.end();
    l.begin(w | 0x106);
    l.r.commit(x, false);
    l.end();
    l.begin(w | 0x109);
    l.r.undo_seg_header(12);
    qmi(l, y, 74510, 0x01000301, {rows[3]});
    l.end();
    l.begin(w | 0x10c);
    l.r.commit(y, false);
    l.end();
    expect_same(l.archived(), fixture("qmi_be_v11_b512.redo"));
  }
}

TEST(RedoFixture, OtherLayersAuditDdlAndIgnoredRecordV11) {
  Log l(1024, true, KS_REDO_VSN11, 4096, 310);
  const uint64_t w = uint64_t(1) << 32, x = make_xid(3, 7, 4321);
  uint32_t f24[1] = {24}, f12[1] = {12};
  l.begin(w | 0x2003);
  l.r.other(4, 1, 1, 0x01000500, f24, 1);
  l.end();
  l.begin(w | 0x2006);
  l.r.undo_seg_header(3);
  l.r.undo_of_insert(x, 74501, {0x01000500, 0}, sup_ins());
  l.r.audit("repl:skip");
  Vals a{"c13d", "544147474544", "", "", ""};
  l.r.redo_irp({0x01000500, 0}, a.data(), a.n());
  l.end();
  l.begin(w | 0x2009);
  l.r.other(13, 22, 8, 0x01000480, f12, 1);
  uint16_t cn[1] = {1}, sc[1] = {1};
  Vals sv{"c13d"}, old{"544147474544"}, nw{"5245544147474544"};
  ks_suplog_t s;
  s.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
  s.undo_scid = s.redo_scid = 2;
  s.ncol = 1;
  s.scid = sc;
  s.val = sv.data();
  l.r.undo_of_update(x, 74501, {0x01000500, 0}, cn, old.data(), 1, s);
  l.r.redo_urp({0x01000500, 0}, cn, nw.data(), 1);
  l.r.other(4, 1, 1, 0x01000500, f24, 1);
  l.end();
  l.begin(w | 0x200c);
  l.r.undo_of_insert(x, 74501, {0x01000500, 1}, sup_ins());
  Vals b{"c13e", "4245464f52453139", "", "", ""};
  l.r.redo_irp({0x01000500, 1}, b.data(), b.n());
  l.r.redo_other11(19, 0x01000500);
  l.r.commit(make_xid(3, 9, 999), false);
  l.end();
  l.begin(w | 0x200f, KS_REDO_VLD_NORMAL | KS_REDO_VLD_IGNORE);
  l.r.undo_of_insert(x, 74501, {0x01000500, 2}, sup_ins());
  Vals c{"c13f", "49474e4f524544", "", "", ""};
  l.r.redo_irp({0x01000500, 2}, c.data(), c.n());
  l.end();
  l.begin(w | 0x2012);
  l.r.commit(x, false);
  l.end();
  const uint64_t d = make_xid(8, 4, 100), e = make_xid(8, 5, 101), f = make_xid(9, 6, 77);
  l.begin(w | 0x2015);
  l.r.ddl(d, 74520, "create table APP.T_NEW (A number)", "APP", "T_NEW", 1);
  l.end();
  l.begin(w | 0x2018);
  l.r.ddl(d, 74499, "drop table APP.T_OLD", "APP", "T_OLD", 12);
  l.end();
  l.begin(w | 0x201b);
  l.r.commit(d, false);
  l.end();
  l.begin(w | 0x201e);
  l.r.ddl(e, 91000, "create table SYS.T_SYS (A number)", "SYS", "T_SYS", 1);
  l.end();
  l.begin(w | 0x2021);
  l.r.commit(e, false);
  l.end();
  std::string exp = fixture("misc_be_v11_b1024.expected.jsonl");
  size_t t2 = exp.rfind("\"tag\": \"") + 8;
  std::string tag = unhex(exp.substr(t2, exp.find('"', t2) - t2));
  ASSERT_EQ(tag.size(), 260u);
  l.begin(w | 0x2024);
  l.r.undo_seg_header(9);
  l.r.undo_of_insert(f, 74503, {0x01000520, 0}, sup_ins());
  l.r.audit(tag);
  Vals g{"c109", "65406578616d706c652e6f7267"};
  l.r.redo_irp({0x01000520, 0}, g.data(), g.n());
  l.end();
  l.begin(w | 0x2027);
  l.r.commit(f, false);
  l.end();
  expect_same(l.archived(), fixture("misc_be_v11_b1024.redo"));
}

TEST(RedoFixture, TimeStampsAndIgnoredLongHeaderInCurrentLog) {
  Log l(512, true, KS_REDO_VSN19, 7, 112);
  const uint64_t x = make_xid(14, 3, 2024), y = make_xid(14, 4, 2025);
  auto ins = [&](uint64_t scn, uint8_t vld, uint32_t ts, uint16_t slot, const char *id, const char *name) {
    l.begin(scn, vld, 0, ts);
    if (slot == 0) l.r.undo_seg_header(14);
    l.r.undo_of_insert(x, 74501, {0x01c00500, slot}, sup_ins());
    Vals v{id, name, "", "", ""};
    l.r.redo_irp({0x01c00500, slot}, v.data(), v.n());
    l.end();
  };
  ins(0x0a300003, 5, 0x46555f00, 0, "c151", "5354414d5031");
  ins(0x0a300006, 1, 0, 1, "c152", "5354414d5032");
  ins(0x0a300009, 0x0d, 0x4655860f, 2, "c153", "5354414d5033");
  l.begin(0x0a30000c);
  l.r.commit(x, false);
  l.end();
  l.begin(0x0a30000f, 5, 0, 0x46555f3c);
  l.r.undo_seg_header(14);
  uint16_t cn[1] = {1}, sc[1] = {1};
  Vals sv{"c151"}, old{"5354414d5031"}, nw{"5354414d5039"};
  ks_suplog_t s;
  s.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
  s.undo_scid = s.redo_scid = 2;
  s.ncol = 1;
  s.scid = sc;
  s.val = sv.data();
  l.r.undo_of_update(y, 74501, {0x01c00500, 0}, cn, old.data(), 1, s);
  l.r.redo_urp({0x01c00500, 0}, cn, nw.data(), 1);
  l.end();
  l.begin(0x0a300012);
  l.r.commit(y, false);
  l.end();
  ASSERT_EQ(l.w.flush(), 0);
  expect_same(l.online(), fixture("stamp_be_v19_b512.redo"));
}

TEST(RedoFixture, ReusedLogKeepsOlderSequenceBlocksBeyondItsEnd) {
  Log l(512, false, KS_REDO_VSN19, 9, 97, false, 2);
  // Sequence 97 fills blocks 2..9 of group 1 with one commit per log write.
  for (int i = 0; i < 8; i++) {
    l.begin(0x0a000000);
    l.r.commit(make_xid(1, 1, 1), false);
    l.end();
    ASSERT_EQ(l.w.flush(), 0);
  }
  // Sequences 98..106 come and go; 107 lands in group 1 again.
  for (int s = 97; s < 106; s++) ASSERT_EQ(l.w.switch_log(0x0a100000, 0), 0);
  ASSERT_EQ(l.w.sequence(), 106u);
  ASSERT_EQ(l.w.switch_log(0x0a1d0000, 0), 0);
  ASSERT_EQ(l.w.sequence(), 107u);
  ASSERT_EQ(l.w.current(), 0);
  const uint64_t a = make_xid(3, 21, 5150), b = make_xid(4, 2, 919);
  auto ins = [&](uint64_t scn, uint64_t x, uint16_t slot, const char *id, const char *name, int xs) {
    l.begin(scn);
    if (slot == 0 || slot == 3) l.r.undo_seg_header(xid_usn(x));
    l.r.undo_of_insert(x, 74501, {0x01c00300, slot}, sup_ins());
    std::string big;
    for (int i = 0; i < xs; i++) big += "78";
    Vals v{id, name, "", "", big.c_str()};
    l.r.redo_irp({0x01c00300, slot}, v.data(), v.n());
    l.end();
  };
  ins(0x0a1d0003, a, 0, "c10b", "5730", 133);
  ins(0x0a1d0006, a, 1, "c10c", "5731", 197);
  ins(0x0a1d0009, a, 2, "c10d", "5732", 345);
  l.begin(0x0a1d000c);
  l.r.commit(a, false);
  l.end();
  ASSERT_EQ(l.w.flush(), 0);
  ins(0x0a1d000f, b, 3, "c10e", "5733", 153);
  l.begin(0x0a1d0012);
  l.r.commit(b, false);
  l.end();
  l.begin(0x0a1d0015);
  uint32_t f24[1] = {24}, f12[1] = {12};
  l.r.other(4, 1, 1, 0x01c00300, f24, 1);
  l.r.other(13, 22, 8, 0x01c00280, f12, 1);
  l.end();
  ASSERT_EQ(l.w.switch_log(0x0a1d0020, 0), 0);
  expect_same(l.online(0), fixture("walk_le_v19_b512.redo"));
}

// A small log typed here byte by byte from the layouts: version 12.1 (32-byte vector
// headers), a current log of 8 blocks, one rollback 5.4 with a 68-byte header (VLD 6), the
// root container's uid 1 and an SCN above 2^32, in both byte orders.
TEST(RedoFixture, HandTypedVersion12CurrentLogWithLongHeader) {
  struct Patch {
    size_t at;
    const char *hex;
  };
  const Patch le[] = {
      {20, "00020000"},        {28, "7d7c7b7a"},                             // block 0: size, magic
      {512 + 4, "01000000"},   {512 + 8, "09000000"},   {512 + 12, "0080"},  // block 1 header
      {512 + 20, "0000100c"},  {512 + 40, "08000000"},  {512 + 44, "00020000"}, {512 + 156, "ffffffff"},
      {1024 + 4, "02000000"},  {1024 + 8, "09000000"},  {1024 + 12, "1080"},  // block 2 header
      {1040 + 0, "7c000000"},  {1040 + 4, "06"},        {1040 + 6, "0100"},     {1040 + 8, "44332211"},
      {1040 + 16, "01000000"}, {1040 + 64, "78563412"},                          // record header
      {1108 + 0, "0504"},      {1108 + 2, "1300"},      {1108 + 8, "2002c000"},  // 5.4, class 15 + 2 * 2
      {1108 + 32, "04001400"},                                                   // length array
      {1144 + 0, "0700"},      {1144 + 4, "34120000"},  {1144 + 16, "16"},       // slot, sqn, rollback
  };
  const Patch be[] = {
      {20, "00000200"},        {28, "7a7b7c7d"},        {512 + 4, "00000001"},  {512 + 8, "00000009"},
      {512 + 12, "8000"},      {512 + 20, "0c100000"},  {512 + 40, "00000008"}, {512 + 44, "00000200"},
      {512 + 156, "ffffffff"}, {1024 + 4, "00000002"},  {1024 + 8, "00000009"}, {1024 + 12, "8010"},
      {1040 + 0, "0000007c"},  {1040 + 4, "06"},        {1040 + 6, "0001"},     {1040 + 8, "11223344"},
      {1040 + 16, "00000001"}, {1040 + 64, "12345678"}, {1108 + 0, "0504"},     {1108 + 2, "0013"},
      {1108 + 8, "00c00220"},  {1108 + 32, "00040014"}, {1144 + 0, "0007"},     {1144 + 4, "00001234"},
      {1144 + 16, "16"},
  };
  for (bool big : {false, true}) {
    std::string want(9 * 512, '\0');
    for (const Patch &p :
         big ? std::vector<Patch>(std::begin(be), std::end(be)) : std::vector<Patch>(std::begin(le), std::end(le))) {
      std::string b = unhex(p.hex);
      want.replace(p.at, b.size(), b);
    }
    Log l(512, big, KS_REDO_VSN12, 8, 9);
    l.begin(uint64_t(1) << 32 | 0x11223344, KS_REDO_VLD_SECOND | KS_REDO_VLD_LONG, 1, 0x12345678);
    l.r.commit(make_xid(2, 7, 0x1234), true);
    l.end();
    ASSERT_EQ(l.w.flush(), 0);
    expect_same(l.online(), want);
  }
}
