// The simulated source's logs against what a database writes beyond the fields the decoder
// needs, in every version and byte order: block types and checksums, file headers and
// their SCNs across log switches, log-write headers (one at block 2 of every log, also of
// logs begun because the previous one was full), record and vector headers, transaction
// start, undo and commit fields, index and space upkeep, all consistent with the model's
// catalogue.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "extract/redo/redo.h"
#include "lib/fmt/redo_checksum.h"
#include "lib/fmt/redo_format.h"
#include "sim/source/sim_db.h"
#include "sim/source/workload.h"
#include "tests/testutil.h"

using namespace ks::sim;
using namespace ks::redo;

namespace {

std::vector<std::vector<int64_t>> rows_of(sqlite3 *db, const char *sql) {
  std::vector<std::vector<int64_t>> out;
  sqlite3_stmt *s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), SQLITE_OK) << sql;
  while (s && sqlite3_step(s) == SQLITE_ROW) {
    std::vector<int64_t> r;
    for (int c = 0; c < sqlite3_column_count(s); c++) r.push_back(sqlite3_column_int64(s, c));
    out.push_back(r);
  }
  sqlite3_finalize(s);
  return out;
}

struct Rec {
  uint32_t blk, off, len;
  std::string b;  // the record's bytes
};

// Records of a log from block 2 up to nab (exclusive), as the block walk finds them.
std::vector<Rec> walk(const std::string &f, uint32_t bs, uint32_t nab, bool big) {
  std::vector<Rec> out;
  uint32_t blk = 2, off = KS_REDO_BH_SIZE;
  while (blk < nab) {
    if (bs - off < uint32_t(KS_REDO_MIN_RECORD_ROOM)) {
      blk++, off = KS_REDO_BH_SIZE;
      continue;
    }
    const uint8_t *p = reinterpret_cast<const uint8_t *>(f.data()) + size_t(blk) * bs + off;
    uint32_t len = ks::load32(p, big);
    if (len == 0) {
      blk++, off = KS_REDO_BH_SIZE;
      continue;
    }
    Rec r{blk, off, len, {}};
    while (r.b.size() < len) {
      uint32_t n = std::min<uint32_t>(len - uint32_t(r.b.size()), bs - off);
      r.b.append(f, size_t(blk) * bs + off, n);
      off += n;
      if (off == bs) blk++, off = KS_REDO_BH_SIZE;
    }
    out.push_back(std::move(r));
  }
  return out;
}

// Two log groups in the home's data directory.
std::vector<ks_log_group_t> two_groups(const kstest::TempHome &home) {
  std::vector<ks_log_group_t> groups(2);
  for (int g = 0; g < 2; g++) {
    groups[size_t(g)].group = g + 1;
    groups[size_t(g)].path = home.path() + "data/redo" + std::to_string(g + 1) + ".log";
  }
  return groups;
}

}  // namespace

TEST(RedoFields, EveryVersionAndByteOrderWritesWhatADatabaseWritesConsistently) {
  const uint32_t versions[] = {KS_REDO_VSN10, KS_REDO_VSN11, KS_REDO_VSN12, KS_REDO_VSN19, KS_REDO_VSN23};
  for (uint32_t vsn : versions)
    for (bool big : {false, true}) {
      SCOPED_TRACE("version " + std::to_string(vsn_major(vsn)) + (big ? " big" : " little"));
      const bool v12 = vsn_major(vsn) >= 12, v19 = vsn_major(vsn) >= 19;
      kstest::TempHome home;
      ks_db_cfg_t c;
      c.dir = home.path() + "db";
      c.name = "SRC";
      c.redo.vsn = vsn;
      c.redo.big = big;
      c.redo.blk_sz = big ? 1024 : 512;
      c.redo.log_blocks = big ? 100 : 200;  // small: most switches happen because a log is full
      c.redo.sync = false;
      c.seed = 7 + vsn_major(vsn);
      if (v12) c.pdb = "PDB1", c.con_uid = 0x5295f656;
      const uint32_t bs = c.redo.blk_sz;
      std::string dbpath;
      {
        ks_sim_db db;
        ASSERT_EQ(db.create(c), 0);
        ASSERT_EQ(ks_oltp_setup(db, 3), 0);
        ks_oltp_cfg_t w;
        w.txns = 200;
        w.seed = 3;
        ASSERT_EQ(ks_oltp_run(db, w), 0);
        ASSERT_EQ(db.switch_log(), 0);  // one switch asked for, the others forced by full logs
        ASSERT_EQ(db.close(), 0);
        dbpath = db.db_path();
      }
      sqlite3 *sql = nullptr;
      ASSERT_EQ(sqlite3_open(dbpath.c_str(), &sql), SQLITE_OK);
      const int64_t dbid = rows_of(sql, "SELECT \"DBID\" FROM \"V$DATABASE\"")[0][0];
      std::map<int64_t, std::vector<int64_t>> tabs;  // objn -> dataobj, ts, file, block
      for (auto &r : rows_of(sql, "SELECT \"OBJ#\", \"DATAOBJ#\", \"TS#\", \"FILE#\", \"BLOCK#\" FROM \"SYS.TAB$\""))
        tabs[r[0]] = {r[1], r[2], r[3], r[4]};
      std::map<int64_t, int64_t> index_of;  // table objn -> its primary key's objn
      for (auto &r : rows_of(sql, "SELECT \"OBJ#\", \"BO#\" FROM \"SYS.IND$\"")) index_of[r[1]] = r[0];
      std::vector<std::vector<int64_t>> logs =
          rows_of(sql, "SELECT \"SEQUENCE#\", \"FIRST_CHANGE#\", \"NEXT_CHANGE#\" FROM \"V$ARCHIVED_LOG\" ORDER BY 1");
      std::vector<std::string> names;
      {
        sqlite3_stmt *s = nullptr;
        ASSERT_EQ(
            sqlite3_prepare_v2(sql, "SELECT \"NAME\" FROM \"V$ARCHIVED_LOG\" ORDER BY \"SEQUENCE#\"", -1, &s, nullptr),
            SQLITE_OK);
        while (sqlite3_step(s) == SQLITE_ROW)
          names.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(s, 0)));
        sqlite3_finalize(s);
      }
      sqlite3_close(sql);
      ASSERT_GE(logs.size(), 4u) << "the workload must fill several logs";

      uint64_t prev_next_scn = 0, prev_last_scn = 0;
      std::map<uint32_t, int> row_inserts, leaf_inserts;  // by table objn / by index objn
      int sessions = 0, space = 0, first_undos = 0;
      for (size_t li = 0; li < logs.size(); li++) {
        SCOPED_TRACE("sequence " + std::to_string(logs[li][0]));
        const std::string f = kstest::read_file(names[li]);
        const uint8_t *d = reinterpret_cast<const uint8_t *>(f.data());
        ASSERT_EQ(f.size() % bs, 0u);
        const uint32_t nblk = uint32_t(f.size() / bs);
        // Blocks: type bytes and a checksum that holds, block 0 included (a checksum that
        // comes out 0 is not taken for "checksums off": the XOR itself must be 0).
        for (uint32_t b = 0; b < nblk; b++) {
          const uint8_t *p = d + size_t(b) * bs;
          ASSERT_EQ(p[0], b == 0 ? 0x00 : 0x01) << "block " << b;
          ASSERT_EQ(p[1], 0x22) << "block " << b;
          ASSERT_EQ(block_xor(p, bs), 0) << "block " << b;
        }
        // Block 0 and the file header.
        EXPECT_EQ(ks::load32(d + KS_REDO_FH0_FILE_TYPE, big), KS_REDO_FILE_TYPE);
        EXPECT_EQ(ks::load32(d + KS_REDO_FH0_BLOCKS, big), c.redo.log_blocks);
        const uint8_t *h = d + bs;
        const uint32_t nab = ks::load32(h + KS_REDO_FH1_NEXT_BLOCK, big);
        EXPECT_EQ(nab, nblk);
        EXPECT_EQ(int64_t(ks::load32(h + KS_REDO_FH1_DBID, big)), dbid);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(h + KS_REDO_FH1_DB_NAME), 3), "SRC");
        EXPECT_EQ(ks::load16(h + KS_REDO_FH1_THREAD, big), 1);
        const uint16_t flag = v12 ? KS_REDO_SCN_WRAP_FLAG : 0;
        for (int at : {KS_REDO_FH1_RESETLOGS_SCN, KS_REDO_FH1_FIRST_SCN, KS_REDO_FH1_NEXT_SCN})
          EXPECT_EQ(ks::load16(h + at + 4, big) & KS_REDO_SCN_WRAP_FLAG, flag);
        const uint64_t first = load_scn6(h + KS_REDO_FH1_FIRST_SCN, big),
                       next = load_scn6(h + KS_REDO_FH1_NEXT_SCN, big);
        EXPECT_EQ(int64_t(first), logs[li][1]);
        EXPECT_EQ(int64_t(next), logs[li][2]);
        if (li > 0) {
          EXPECT_EQ(first, prev_next_scn);
        }
        if (li > 0) {
          EXPECT_GT(first, prev_last_scn);
        }
        EXPECT_NE(ks::load32(h + KS_REDO_FH1_FIRST_TIME, big), 0u);
        EXPECT_GE(ks::load32(h + KS_REDO_FH1_NEXT_TIME, big), ks::load32(h + KS_REDO_FH1_FIRST_TIME, big));
        char desc[80];
        snprintf(desc, sizeof desc, "T 0001, S %010u, SCN 0x%016llx-0x%016llx", uint32_t(logs[li][0]),
                 static_cast<unsigned long long>(first), static_cast<unsigned long long>(next));
        EXPECT_STREQ(reinterpret_cast<const char *>(h + KS_REDO_FH1_DESCRIPTION), desc);
        prev_next_scn = next;

        // Records: every log opens with a log-write header at block 2, offset 16; each
        // write's length reaches the next write's first block, its SCN is its first
        // record's, and the next write's SCN is at least the one announced.
        std::vector<Rec> recs = walk(f, bs, nab, big);
        ASSERT_FALSE(recs.empty());
        ASSERT_EQ(recs[0].blk, 2u);
        ASSERT_EQ(recs[0].off, uint32_t(KS_REDO_BH_SIZE));
        uint32_t lwn_blk = 0, lwn_len = 0;
        uint64_t lwn_next = 0, last_scn = 0;
        for (const Rec &r : recs) {
          const uint8_t *p = reinterpret_cast<const uint8_t *>(r.b.data());
          const uint64_t scn =
              uint64_t(ks::load16(p + KS_REDO_RH_SCN_WRAP, big)) << 32 | ks::load32(p + KS_REDO_RH_SCN_BASE, big);
          EXPECT_GE(scn, first);
          EXPECT_LT(scn, next);
          EXPECT_GE(scn, last_scn);
          last_scn = scn;
          EXPECT_EQ(ks::load16(p + KS_REDO_RH_SUBSCN, big), 1);
          const uint32_t con = ks::load32(p + KS_REDO_RH_CON_UID, big);
          EXPECT_TRUE(v12 ? (con == 1 || con == c.con_uid) : con == 0) << con;
          const uint8_t vld = p[KS_REDO_RH_VLD];
          if ((vld & KS_REDO_VLD_LONG) && ks::load16(p + KS_REDO_LWN_MARK, big) == 1) {
            if (lwn_blk != 0) {
              EXPECT_EQ(r.blk, lwn_blk + lwn_len);
              EXPECT_GE(scn, lwn_next);
            }
            lwn_blk = r.blk;
            lwn_len = ks::load32(p + KS_REDO_LWN_BLOCKS, big);
            EXPECT_EQ(ks::load32(p + KS_REDO_LWN_BLOCKS2, big), lwn_len);
            EXPECT_GE(lwn_len, 1u);
            EXPECT_EQ(load_scn6(p + KS_REDO_LWN_SCN, big), scn);
            lwn_next = load_scn6(p + KS_REDO_LWN_NEXT_SCN, big);
            EXPECT_GT(lwn_next, scn);
          } else {
            ASSERT_NE(&r, &recs[0]) << "a log opens without a log-write header";
            EXPECT_GE(r.blk, lwn_blk);
          }
          // Vectors.
          const int vh = vhsz_of(vsn);
          uint32_t at = uint32_t(record_header_size(vld));
          uint64_t txn_xid = 0;  // of the 5.2 of this record
          uint16_t txn_useq = 0;
          uint8_t txn_urec = 0;
          bool first_undo = false, row_undo = false;
          while (at < r.len) {
            const uint8_t *v = p + at;
            const uint8_t layer = v[KS_REDO_CV_LAYER], code = v[KS_REDO_CV_CODE];
            const uint32_t dba = ks::load32(v + KS_REDO_CV_DBA, big);
            const int nf = field_count(v, vh, big);
            auto field = [&](int k) { return v + field_offset(v, vh, big, k); };
            auto flen = [&](int k) { return field_length(v, vh, big, k); };
            EXPECT_EQ(ks::load16(v + KS_REDO_CV_AFN, big), dba >> 22);
            EXPECT_EQ(ks::load16(v + KS_REDO_CV_KIND, big), layer == 5 ? 0xFFFF : 1);
            const uint64_t prev = load_scn6(v + KS_REDO_CV_PREV_SCN, big);
            EXPECT_NE(prev, 0u);
            EXPECT_LE(prev, scn);
            EXPECT_GE(v[KS_REDO_CV_SEQ], 1);
            if (layer == 5) {
              EXPECT_EQ(ks::load16(v + KS_REDO_CV_OBJ, big), 0xFFFF);
            }
            if (v12) {
              EXPECT_EQ(ks::load16(v + KS_REDO_CV_CON_ID, big), con == 0 ? 0 : con == 1 ? 1 : 3);
            }
            const uint16_t usn = uint16_t((ks::load16(v + KS_REDO_CV_CLASS, big) - cls_usn_of(vsn)) / 2);
            if (layer == 5 && code == 2) {
              const uint8_t *u = field(1);
              txn_xid = make_xid(usn, ks::load16(u + KS_REDO_UH_SLOT, big), ks::load32(u + KS_REDO_UH_SQN, big));
              txn_useq = ks::load16(u + KS_REDO_UH_UBA_SEQ, big);
              txn_urec = u[KS_REDO_UH_UBA_REC];
              EXPECT_EQ(ks::load32(u + KS_REDO_UH_UBA_DBA, big), dba + 1);
              EXPECT_EQ(ks::load16(u + KS_REDO_UH_FLAGS, big), con == 1 ? KS_REDO_UH_FLAGS_ROOT : KS_REDO_UH_FLAGS_PDB);
              EXPECT_EQ(nf, v12 && con != 0 ? 2 : 1);
              if (nf == 2) {
                EXPECT_EQ(ks::load32(field(2), big), con);
              }
              first_undo = true;
            } else if (layer == 5 && (code == 19 || code == 20)) {
              sessions++;
              EXPECT_LT(nf, 6) << "a session vector is not an audit tag";
            } else if (layer == 5 && code == 1) {
              const uint8_t *u1 = field(1), *u2 = field(2);
              const uint64_t xid =
                  make_xid(ks::load16(u1 + KS_REDO_UBH_USN, big), ks::load16(u1 + KS_REDO_UBH_SLOT, big),
                           ks::load32(u1 + KS_REDO_UBH_SQN, big));
              const uint32_t objn = ks::load32(u2 + KS_REDO_URI_OBJN, big);
              const uint8_t ul = u2[KS_REDO_URI_LAYER], uc = u2[KS_REDO_URI_CODE];
              if (first_undo) {
                // The 5.2's transaction and undo address are those of its first undo.
                EXPECT_EQ(xid, txn_xid);
                EXPECT_EQ(ks::load16(u1 + KS_REDO_UBH_UBA_SEQ, big), txn_useq);
                EXPECT_EQ(u1[KS_REDO_UBH_UBA_REC], txn_urec);
                EXPECT_EQ(ks::load16(u2 + KS_REDO_URI_FLAGS, big), KS_REDO_URI_FIRST);
                EXPECT_EQ(flen(2), v19 ? KS_REDO_URI_SIZE_FIRST : KS_REDO_URI_SIZE);
                EXPECT_EQ(field(3)[KS_REDO_ITL_OP], 4);
                EXPECT_EQ(ks::load32(field(3) + KS_REDO_ITL_SQN, big), xid_sqn(xid));
                first_undos++;
              } else {
                EXPECT_EQ(flen(2), KS_REDO_URI_SIZE);
                EXPECT_EQ(field(3)[KS_REDO_ITL_OP], 3);
              }
              EXPECT_EQ(field(3)[KS_REDO_ITL_FLAGS], KS_REDO_ITL_FLAGS_VALUE);
              first_undo = false;
              row_undo |= ul == 11;
              EXPECT_EQ(ks::load16(u1 + KS_REDO_UBH_RSIZE, big) > 0, true);
              EXPECT_TRUE((ul == 11 && uc == 1) || (ul == 10 && uc == KS_REDO_IDX_UNDO_CODE) || objn == 0)
                  << int(ul) << "." << int(uc);
              auto t = tabs.find(objn);
              if (ul == 11 && t != tabs.end() && objn >= 1000) {
                // Data object number, tablespace and segment header as the catalogue has them.
                EXPECT_EQ(int64_t(ks::load32(u2 + KS_REDO_URI_DATAOBJ, big)), t->second[0]);
                EXPECT_EQ(int64_t(ks::load32(u2 + KS_REDO_URI_TS, big)), t->second[1]);
                const uint8_t *k = field(4);
                EXPECT_EQ(ks::load32(k + KS_REDO_KDO_SEG_DBA, big), uint32_t(t->second[2] << 22 | t->second[3]));
                EXPECT_EQ(k[KS_REDO_KDO_ITL], 1);
                if ((k[KS_REDO_KDO_OP] & KS_REDO_KDO_OP_MASK) == KS_REDO_OP_DRP) {
                  EXPECT_EQ(k[KS_REDO_KDO_OP], 0x23);
                }
              } else if (ul == 10) {
                bool found = false;
                for (auto &e : index_of) found |= e.second == objn;
                EXPECT_TRUE(found) << "index undo of object " << objn;
              }
            } else if (layer == 11) {
              EXPECT_EQ(flen(1), KS_REDO_ITL_REDO_SIZE);
              EXPECT_EQ(field(1)[KS_REDO_ITL_OP], 1);
              const uint32_t objn_lo = ks::load16(v + KS_REDO_CV_OBJ, big);
              if (code == KS_REDO_OP_IRP && row_undo)
                for (auto &t : tabs)
                  if (t.first >= 1000 && (t.first & 0xFFFF) == objn_lo && uint32_t(t.second[2]) == dba >> 22)
                    row_inserts[uint32_t(t.first)]++;
              if (code == KS_REDO_OP_URP) {
                // NULL bitmap: a bit per changed column whose value is empty.
                const uint8_t *k = field(2);
                const int cc = k[KS_REDO_URP_COLUMNS];
                for (int i = 0; i < cc; i++)
                  EXPECT_EQ((k[KS_REDO_URP_NULLS + i / 8] >> (i % 8)) & 1, flen(4 + i) == 0 ? 1 : 0) << "column " << i;
              }
            } else if (layer == 10 && code == KS_REDO_IDX_INSERT) {
              leaf_inserts[ks::load16(v + KS_REDO_CV_OBJ, big)]++;
            } else if (layer == 13 && (code == 22 || code == 28)) {
              space++;
            } else if (layer == 5 && code == 4) {
              ASSERT_EQ(nf, 4);
              EXPECT_EQ(flen(1), KS_REDO_CMT_SIZE);
              EXPECT_EQ(ks::load32(field(1) + KS_REDO_CMT_F1_NINE, big), 9u);
              EXPECT_EQ(ks::load32(field(3) + KS_REDO_CMT_TIME, big), ks::load32(field(4), big));
              EXPECT_NE(ks::load32(field(4), big), 0u);
            }
            at += vector_size(v, vh, big);
          }
          EXPECT_EQ(at, r.len);
        }
        if (lwn_blk != 0) {
          EXPECT_EQ(lwn_blk + lwn_len, nab);
        }
        EXPECT_LT(last_scn, next);
        prev_last_scn = last_scn;
      }
      // Every row inserted into a table with a primary key has its leaf row.
      int checked = 0;
      for (auto &ri : row_inserts) {
        auto ix = index_of.find(ri.first);
        if (ix == index_of.end()) continue;
        EXPECT_GE(leaf_inserts[uint32_t(ix->second) & 0xFFFF], ri.second) << "table " << ri.first;
        checked++;
      }
      EXPECT_GT(checked, 0);
      EXPECT_GT(sessions, 0);
      EXPECT_GT(space, 0);
      EXPECT_GT(first_undos, 0);
    }
}

// A small archived log typed here field by field from what databases write (version 19,
// a pluggable database, 1024-byte blocks): block 0, the file header, and one transaction
// (10.12.572 inserts a row and commits), its first record opening the log's only write.
// Values are typed as numbers and stored in the log's byte order; checksums follow their
// rule (the XOR of the block's 16-bit words is 0). The writer, given the same model
// values, must write the same bytes.
TEST(RedoFields, HandTypedLogIsWrittenByteForByteInBothByteOrders) {
  struct F {
    uint32_t at;
    int width;  // 1, 2 or 4; 0: text
    uint32_t v;
    const char *text;
  };
  const uint32_t T0 = redo_time(2026, 12, 8, 10, 0, 0), B = 1024, R = 2 * B + 16, R2 = R + 592;
  const uint32_t V1 = R + 68, V2 = V1 + 76, V3 = V2 + 108, V4 = V3 + 212, C = R2 + 24;
  // ITL redo with the transaction 10.12.572 and its undo address (block, sequence 1, record 1).
  auto itl = [](uint32_t at, uint32_t op) {
    return std::vector<F>{{at, 1, op, nullptr},     {at + 1, 1, 0x0d, nullptr},  {at + 4, 2, 10, nullptr},
                          {at + 6, 2, 12, nullptr}, {at + 8, 4, 0x23c, nullptr}, {at + 12, 4, 0x00C00A21, nullptr},
                          {at + 16, 2, 1, nullptr}, {at + 18, 1, 1, nullptr}};
  };
  std::vector<F> fields = {
      // block 0: type, file type, block size, blocks after it, magic
      {0, 1, 0x00, nullptr},
      {1, 1, 0x22, nullptr},
      {4, 4, 0xFFC00000, nullptr},
      {20, 4, B, nullptr},
      {24, 4, 8, nullptr},
      {28, 4, 0x7A7B7C7D, nullptr},
      // block 1: block header, version, DBID, name, control sequence, size, activation,
      // description, next available block, resetlogs, thread, first and next SCN and times
      // (12c and later flag the SCN wraps)
      {B + 0, 1, 0x01, nullptr},
      {B + 1, 1, 0x22, nullptr},
      {B + 4, 4, 1, nullptr},
      {B + 8, 4, 15, nullptr},
      {B + 12, 2, 0x8000, nullptr},
      {B + 20, 4, 0x13000000, nullptr},
      {B + 24, 4, 0x593aa8ae, nullptr},
      {B + 28, 0, 0, "FREE"},
      {B + 36, 4, 0x43c, nullptr},
      {B + 40, 4, 8, nullptr},
      {B + 44, 4, B, nullptr},
      {B + 48, 2, 2, nullptr},
      {B + 50, 2, 2, nullptr},
      {B + 52, 4, 0x593a4bae, nullptr},
      {B + 92, 0, 0, "T 0001, S 0000000015, SCN 0x0000000000229606-0x0000000000229a45"},
      {B + 156, 4, 3, nullptr},
      {B + 160, 4, 0x4903676e, nullptr},
      {B + 164, 4, 1, nullptr},
      {B + 168, 2, 0x8000, nullptr},
      {B + 176, 2, 1, nullptr},
      {B + 180, 4, 0x229606, nullptr},
      {B + 184, 2, 0x8000, nullptr},
      {B + 188, 4, T0, nullptr},
      {B + 192, 4, 0x229a45, nullptr},
      {B + 196, 2, 0x8000, nullptr},
      {B + 200, 4, T0 + 60, nullptr},
      // block 2: header, first record at 16
      {2 * B, 1, 0x01, nullptr},
      {2 * B + 1, 1, 0x22, nullptr},
      {2 * B + 4, 4, 2, nullptr},
      {2 * B + 8, 4, 15, nullptr},
      {2 * B + 12, 2, 0x8010, nullptr},
      // record 1: 68-byte header opening the write: length, VLD, SCN, sub-SCN, container uid,
      // write marker, its length in blocks (twice), its SCN, the next write's SCN, time
      {R, 4, 592, nullptr},
      {R + 4, 1, 0x05, nullptr},
      {R + 8, 4, 0x229607, nullptr},
      {R + 12, 2, 1, nullptr},
      {R + 16, 4, 0x5295f656, nullptr},
      {R + 26, 2, 1, nullptr},
      {R + 28, 4, 1, nullptr},
      {R + 32, 4, 1, nullptr},
      {R + 40, 4, 0x229607, nullptr},
      {R + 56, 4, 0x22960a, nullptr},
      {R + 64, 4, T0 + 1, nullptr},
      // 5.2: class 15 + 2 * 10, file 3, undo kind, undo segment header block, previous change,
      // sequence 1, container id 3; slot, sequence, undo address, flags, size; container uid
      {V1, 1, 5, nullptr},
      {V1 + 1, 1, 2, nullptr},
      {V1 + 2, 2, 35, nullptr},
      {V1 + 4, 2, 3, nullptr},
      {V1 + 6, 2, 0xFFFF, nullptr},
      {V1 + 8, 4, 0x00C00A20, nullptr},
      {V1 + 12, 4, 0x229606, nullptr},
      {V1 + 20, 1, 1, nullptr},
      {V1 + 22, 2, 0xFFFF, nullptr},
      {V1 + 24, 2, 3, nullptr},
      {V1 + 32, 2, 6, nullptr},
      {V1 + 34, 2, 32, nullptr},
      {V1 + 36, 2, 4, nullptr},
      {V1 + 40, 2, 12, nullptr},
      {V1 + 44, 4, 0x23c, nullptr},
      {V1 + 48, 4, 0x00C00A21, nullptr},
      {V1 + 52, 2, 1, nullptr},
      {V1 + 54, 1, 1, nullptr},
      {V1 + 56, 2, 0x0052, nullptr},
      {V1 + 58, 2, 0x0088, nullptr},
      {V1 + 72, 4, 0x5295f656, nullptr},
      // 5.19: the session's first transaction: id and serial, user, machine, OS user, program
      {V2, 1, 5, nullptr},
      {V2 + 1, 1, 19, nullptr},
      {V2 + 6, 2, 0xFFFF, nullptr},
      {V2 + 12, 4, 0x229606, nullptr},
      {V2 + 20, 1, 1, nullptr},
      {V2 + 22, 2, 0xFFFF, nullptr},
      {V2 + 24, 2, 3, nullptr},
      {V2 + 32, 2, 12, nullptr},
      {V2 + 34, 2, 8, nullptr},
      {V2 + 36, 2, 3, nullptr},
      {V2 + 38, 2, 11, nullptr},
      {V2 + 40, 2, 6, nullptr},
      {V2 + 42, 2, 30, nullptr},
      {V2 + 44, 4, 0x2c2, nullptr},
      {V2 + 48, 4, 0xb805, nullptr},
      {V2 + 52, 0, 0, "APP"},
      {V2 + 56, 0, 0, "orasim-host"},
      {V2 + 68, 0, 0, "oracle"},
      {V2 + 76, 0, 0, "orasim@orasim-host (TNS V1-V3)"},
      // 5.1: undo block class 36; record size, space, flags, XID, undo sequence and record;
      // object and data object 74501, tablespace 4, 11.1, slot, first-undo flag (76 bytes);
      // ITL op 4 (below); delete-row-piece undo (0x23) of the row with
      // the segment header, maxFr, flags and ITL; supplemental header
      {V3, 1, 5, nullptr},
      {V3 + 1, 1, 1, nullptr},
      {V3 + 2, 2, 36, nullptr},
      {V3 + 4, 2, 3, nullptr},
      {V3 + 6, 2, 0xFFFF, nullptr},
      {V3 + 8, 4, 0x00C00A21, nullptr},
      {V3 + 12, 4, 0x229606, nullptr},
      {V3 + 20, 1, 1, nullptr},
      {V3 + 22, 2, 0xFFFF, nullptr},
      {V3 + 24, 2, 3, nullptr},
      {V3 + 32, 2, 12, nullptr},
      {V3 + 34, 2, 20, nullptr},
      {V3 + 36, 2, 76, nullptr},
      {V3 + 38, 2, 32, nullptr},
      {V3 + 40, 2, 20, nullptr},
      {V3 + 42, 2, 20, nullptr},
      {V3 + 44, 2, 168, nullptr},
      {V3 + 46, 2, 0x1f10, nullptr},
      {V3 + 48, 2, 0x12, nullptr},
      {V3 + 52, 2, 10, nullptr},
      {V3 + 54, 2, 12, nullptr},
      {V3 + 56, 4, 0x23c, nullptr},
      {V3 + 60, 2, 1, nullptr},
      {V3 + 62, 1, 1, nullptr},
      {V3 + 64, 4, 74501, nullptr},
      {V3 + 68, 4, 74501, nullptr},
      {V3 + 72, 4, 4, nullptr},
      {V3 + 80, 1, 11, nullptr},
      {V3 + 81, 1, 1, nullptr},
      {V3 + 82, 1, 12, nullptr},
      {V3 + 84, 2, 0x0008, nullptr},
      {V3 + 172, 4, 0x0600008b, nullptr},
      {V3 + 176, 4, 0x0600000a, nullptr},
      {V3 + 180, 2, 0x12fa, nullptr},
      {V3 + 182, 1, 0x23, nullptr},
      {V3 + 183, 1, 0x01, nullptr},
      {V3 + 184, 1, 1, nullptr},
      {V3 + 188, 2, 0, nullptr},
      {V3 + 193, 1, 0x0c, nullptr},
      {V3 + 200, 2, 1, nullptr},
      // 11.2: data block, file 24, previous change, object number's low 16 bits; ITL redo op 1
      // (below); insert-row-piece header (lock byte 1); two values
      {V4, 1, 11, nullptr},
      {V4 + 1, 1, 2, nullptr},
      {V4 + 2, 2, 1, nullptr},
      {V4 + 4, 2, 24, nullptr},
      {V4 + 6, 2, 1, nullptr},
      {V4 + 8, 4, 0x0600008b, nullptr},
      {V4 + 12, 4, 0x229606, nullptr},
      {V4 + 20, 1, 1, nullptr},
      {V4 + 22, 2, 0x2305, nullptr},
      {V4 + 24, 2, 3, nullptr},
      {V4 + 32, 2, 10, nullptr},
      {V4 + 34, 2, 24, nullptr},
      {V4 + 36, 2, 48, nullptr},
      {V4 + 38, 2, 2, nullptr},
      {V4 + 40, 2, 5, nullptr},
      {V4 + 68, 4, 0x0600008b, nullptr},
      {V4 + 72, 4, 0x0600000a, nullptr},
      {V4 + 76, 2, 0x12fa, nullptr},
      {V4 + 78, 1, 2, nullptr},
      {V4 + 79, 1, 0x01, nullptr},
      {V4 + 80, 1, 1, nullptr},
      {V4 + 84, 1, 0x2c, nullptr},
      {V4 + 85, 1, 1, nullptr},
      {V4 + 86, 1, 2, nullptr},
      {V4 + 110, 2, 0, nullptr},
      {V4 + 116, 1, 0xc1, nullptr},
      {V4 + 117, 1, 0x02, nullptr},
      {V4 + 120, 0, 0, "ALICE"},
      // record 2: the commit, 24-byte header; 5.4 on the undo segment header changed at the
      // first record's SCN; slot, sequence, 9, flag; last undo address and space; time twice
      {R2, 4, 132, nullptr},
      {R2 + 4, 1, 0x01, nullptr},
      {R2 + 8, 4, 0x229609, nullptr},
      {R2 + 12, 2, 1, nullptr},
      {R2 + 16, 4, 0x5295f656, nullptr},
      {C, 1, 5, nullptr},
      {C + 1, 1, 4, nullptr},
      {C + 2, 2, 35, nullptr},
      {C + 4, 2, 3, nullptr},
      {C + 6, 2, 0xFFFF, nullptr},
      {C + 8, 4, 0x00C00A20, nullptr},
      {C + 12, 4, 0x229607, nullptr},
      {C + 20, 1, 1, nullptr},
      {C + 22, 2, 0xFFFF, nullptr},
      {C + 24, 2, 3, nullptr},
      {C + 32, 2, 10, nullptr},
      {C + 34, 2, 20, nullptr},
      {C + 36, 2, 16, nullptr},
      {C + 38, 2, 24, nullptr},
      {C + 40, 2, 4, nullptr},
      {C + 44, 2, 12, nullptr},
      {C + 48, 4, 0x23c, nullptr},
      {C + 56, 4, 9, nullptr},
      {C + 60, 1, 0x12, nullptr},
      {C + 64, 4, 0x00C00A21, nullptr},
      {C + 68, 2, 1, nullptr},
      {C + 70, 1, 1, nullptr},
      {C + 72, 2, 0x1f10, nullptr},
      {C + 88, 4, T0 + 2, nullptr},
      {C + 104, 4, T0 + 2, nullptr},
  };
  for (auto &v : {itl(V3 + 140, 4), itl(V4 + 44, 1)}) fields.insert(fields.end(), v.begin(), v.end());
  static_assert(R2 == 2 * 1024 + 16 + 592, "record 2 follows record 1");
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big endian" : "little endian");
    std::string want(3 * B, '\0');
    uint8_t *w = reinterpret_cast<uint8_t *>(want.data());
    for (const F &f : fields) {
      if (f.width == 0)
        std::memcpy(w + f.at, f.text, std::strlen(f.text));
      else if (f.width == 1)
        w[f.at] = uint8_t(f.v);
      else if (f.width == 2)
        ks::store16(w + f.at, uint16_t(f.v), big);
      else
        ks::store32(w + f.at, f.v, big);
    }
    for (uint32_t b = 0; b < 3; b++) set_block_checksum(w + size_t(b) * B, B);

    kstest::TempHome home;
    ks_redo_cfg_t cfg;
    cfg.blk_sz = B;
    cfg.big = big;
    cfg.vsn = KS_REDO_VSN19;
    cfg.log_blocks = 8;
    cfg.sync = false;
    cfg.arch_dir = home.path() + "tmp";
    cfg.dbid = 0x593aa8ae;
    cfg.db_name = "FREE";
    cfg.activation = 0x593a4bae;
    cfg.resetlogs_id = 0x4903676e;
    cfg.resetlogs_scn = 1;
    std::vector<ks_log_group_t> groups = two_groups(home);
    std::string arch;
    ks_redo_writer wr;
    ASSERT_EQ(ks_redo_writer::create_groups(cfg, {groups[0].path, groups[1].path}), 0);
    wr.set_listener([&](const ks_log_event_t &e) {
      if (!e.arch_path.empty()) arch = e.arch_path;
      return 0;
    });
    ASSERT_EQ(wr.open(cfg, groups, -1, 0, 15, 0x229606, T0), 0);
    ks_redo_record r;
    r.setup(big, KS_REDO_VSN19);
    const uint64_t xid = make_xid(10, 12, 0x23c);
    const uint32_t con = 0x5295f656;
    r.begin(0x229607, KS_REDO_VLD_NORMAL, con, T0 + 1, 3);  // the writer gives it the long header
    r.set_segment(74501, 0x0600000a, 4);
    r.undo_seg_header(10, 12, 0x23c);
    r.session(true, "APP");
    ks_suplog_t sup;
    sup.redo_scid = 1;
    r.undo_of_insert(xid, 74501, {0x0600008b, 0}, sup);
    const uint8_t id[2] = {0xc1, 0x02};
    const ks_colval_t vals[2] = {{id, 2}, {reinterpret_cast<const uint8_t *>("ALICE"), 5}};
    r.redo_irp({0x0600008b, 0}, vals, 2);
    ASSERT_EQ(r.finish(), 0);
    ASSERT_EQ(wr.append(r, 0x229607), 0);
    r.begin(0x229609, KS_REDO_VLD_NORMAL, con, T0 + 2, 3);
    r.commit(xid, false);
    ASSERT_EQ(r.finish(), 0);
    ASSERT_EQ(wr.append(r, 0x229609), 0);
    ASSERT_EQ(wr.switch_log(0x229a45, T0 + 60), 0);
    const std::string got = kstest::read_file(arch);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++)
      ASSERT_EQ(uint8_t(got[i]), uint8_t(want[i]))
          << "first difference at byte " << i << " (block " << i / B << ", +" << i % B << ")";
  }
}

// A write larger than the writer holds back goes out in parts: the block with its header
// goes to disk before the write's length is known and is written again, with a checksum
// that holds, when the write ends. The current log's header holds its checksum too.
TEST(RedoFields, AWriteThatGoesOutInPartsHasItsHeaderCompletedOnDisk) {
  for (bool big : {false, true}) {
    kstest::TempHome home;
    ks_redo_cfg_t cfg;
    cfg.big = big;
    cfg.log_blocks = 40000;
    cfg.sync = false;
    cfg.flush_bytes = 64u << 20;
    cfg.arch_dir = home.path() + "tmp";
    std::vector<ks_log_group_t> groups = two_groups(home);
    ks_redo_writer wr;
    ASSERT_EQ(ks_redo_writer::create_groups(cfg, {groups[0].path, groups[1].path}), 0);
    ASSERT_EQ(wr.open(cfg, groups, -1, 0, 1, 1000, 77), 0);
    ks_redo_record r;
    r.setup(big, cfg.vsn);
    const uint32_t sizes[1] = {8000};
    uint64_t scn = 1001;
    auto add = [&](int n) {
      for (int i = 0; i < n; i++, scn++) {
        r.begin(scn, KS_REDO_VLD_NORMAL, 0, 78);
        r.other(4, 1, 1, 0x01000100, sizes, 1);
        ASSERT_EQ(r.finish(), 0);
        ASSERT_EQ(wr.append(r, scn), 0);
      }
      ASSERT_EQ(wr.flush(), 0);
    };
    add(700);  // about 5.6 MB: more than the writer holds back
    const uint32_t first_end = wr.next_block();
    add(3);
    const std::string f = kstest::read_file(groups[0].path);
    const uint8_t *d = reinterpret_cast<const uint8_t *>(f.data());
    for (uint32_t b = 0; b < wr.next_block(); b++) ASSERT_TRUE(block_checksum_ok(d + size_t(b) * 512, 512)) << b;
    EXPECT_EQ(ks::load32(d + 512 + KS_REDO_FH1_NEXT_BLOCK, big), KS_REDO_NEXT_BLOCK_CURRENT);
    const uint8_t *h = d + 2 * 512 + KS_REDO_BH_SIZE;
    EXPECT_EQ(ks::load16(h + KS_REDO_LWN_MARK, big), 1);
    EXPECT_EQ(ks::load32(h + KS_REDO_LWN_BLOCKS, big), first_end - 2);
    EXPECT_EQ(load_scn6(h + KS_REDO_LWN_NEXT_SCN, big), 1001u + 700);
    const uint8_t *h2 = d + size_t(first_end) * 512 + KS_REDO_BH_SIZE;
    EXPECT_EQ(ks::load16(h2 + KS_REDO_LWN_MARK, big), 1);
    EXPECT_EQ(load_scn6(h2 + KS_REDO_LWN_SCN, big), 1001u + 700);
    EXPECT_EQ(ks::load32(h2 + KS_REDO_LWN_BLOCKS, big), wr.next_block() - first_end);
    ASSERT_EQ(wr.close(), 0);
  }
}

namespace {
// One row-piece change as written: its row operation (redo code), whether it is the
// compensation of a rollback, its row id, supplemental header and the flag byte, next
// piece and column count of the inserted row piece it logs (redo of an insert, undo of a
// delete); a change of forwarding address gives the next piece it sets and, undone, the
// one it had.
struct PieceRec {
  uint16_t objn = 0;
  uint8_t op = 0;
  bool comp = false;
  uint32_t dba = 0, head_dba = 0, next_dba = 0, old_next_dba = 0;
  uint16_t slot = 0, head_slot = 0, next_slot = 0, old_next_slot = 0;
  uint32_t slen = 0;
  uint8_t sop = 0, sflags = 0, fb = 0;
  int ncol = 0;
};

// The archived logs of a simulated database, oldest first.
std::vector<std::string> archived_logs(const std::string &dbpath) {
  std::vector<std::string> out;
  sqlite3 *sql = nullptr;
  EXPECT_EQ(sqlite3_open(dbpath.c_str(), &sql), SQLITE_OK);
  sqlite3_stmt *st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(sql, "SELECT \"NAME\" FROM \"V$ARCHIVED_LOG\" ORDER BY \"SEQUENCE#\"", -1, &st, nullptr),
            SQLITE_OK);
  while (st && sqlite3_step(st) == SQLITE_ROW)
    out.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  sqlite3_close(sql);
  return out;
}

// Inserts and deletes of rows of one piece (complete in their record) are counted in *whole
// when given.
std::vector<PieceRec> piece_records(const std::string &f, uint32_t bs, bool big, int vh, uint16_t objn_lo,
                                    uint16_t objn_hi, int *whole = nullptr) {
  std::vector<PieceRec> out;
  const auto *d = reinterpret_cast<const uint8_t *>(f.data());
  for (const Rec &r : walk(f, bs, ks::load32(d + bs + KS_REDO_FH1_NEXT_BLOCK, big), big)) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(r.b.data());
    const uint8_t *undo = nullptr;
    for (uint32_t at = uint32_t(record_header_size(p[KS_REDO_RH_VLD])); at < r.len;
         at += vector_size(p + at, vh, big)) {
      const uint8_t *v = p + at;
      auto field = [&](const uint8_t *w, int k) { return w + field_offset(w, vh, big, k); };
      if (v[KS_REDO_CV_LAYER] == 5 && v[KS_REDO_CV_CODE] == 1 && field(v, 2)[KS_REDO_URI_LAYER] == 11) undo = v;
      const uint16_t objn = ks::load16(v + KS_REDO_CV_OBJ, big);
      if (v[KS_REDO_CV_LAYER] != 11 || objn < objn_lo || objn > objn_hi) continue;
      PieceRec pr;
      pr.objn = objn;
      pr.op = v[KS_REDO_CV_CODE];
      pr.comp = undo == nullptr;
      const uint8_t *k = field(v, 2);
      pr.dba = ks::load32(k + KS_REDO_KDO_DBA, big);
      pr.slot = ks::load16(k + (pr.op == KS_REDO_OP_IRP || pr.op == KS_REDO_OP_ORP ? KS_REDO_IRP_SLOT
                                : pr.op == KS_REDO_OP_URP                          ? KS_REDO_URP_SLOT
                                : pr.op == KS_REDO_OP_CFA                          ? KS_REDO_CFA_SLOT
                                                                                   : KS_REDO_DRP_SLOT),
                           big);
      if (pr.op == KS_REDO_OP_CFA) {
        pr.next_dba = ks::load32(k + KS_REDO_CFA_NEXT_DBA, big);
        pr.next_slot = ks::load16(k + KS_REDO_CFA_NEXT_SLOT, big);
      }
      // The supplemental header follows the column values, in the undo or (compensation)
      // in the redo.
      const uint8_t *sv = undo ? undo : v, *h = undo ? field(undo, 4) : k;
      const uint8_t hop = h[KS_REDO_KDO_OP] & KS_REDO_KDO_OP_MASK;
      if (undo && hop == KS_REDO_OP_CFA) {
        EXPECT_EQ(ks::load32(h + KS_REDO_KDO_DBA, big), ks::load32(k + KS_REDO_KDO_DBA, big));
        EXPECT_EQ(ks::load16(h + KS_REDO_CFA_SLOT, big), pr.slot);
        pr.old_next_dba = ks::load32(h + KS_REDO_CFA_NEXT_DBA, big);
        pr.old_next_slot = ks::load16(h + KS_REDO_CFA_NEXT_SLOT, big);
      }
      const int first = undo ? 5 : 3;
      const int at_sup = hop == KS_REDO_OP_IRP || hop == KS_REDO_OP_ORP ? first + h[KS_REDO_IRP_COLUMNS]
                         : hop == KS_REDO_OP_URP                        ? first + 1 + h[KS_REDO_URP_COLUMNS]
                                                                        : first;
      EXPECT_GE(field_count(sv, vh, big), at_sup);
      const uint8_t *s = field(sv, at_sup);
      pr.slen = field_length(sv, vh, big, at_sup);
      pr.sop = s[0];
      pr.sflags = s[KS_REDO_SUP_FLAGS];
      // A change complete in its record is a row of one piece.
      const uint8_t both = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST;
      if (pr.slen == uint32_t(KS_REDO_SUP_SIZE) && (pr.sflags & both) == both) {
        if (whole && (pr.op == KS_REDO_OP_IRP || pr.op == KS_REDO_OP_DRP)) ++*whole;
        undo = nullptr;
        continue;
      }
      if (pr.slen == uint32_t(KS_REDO_SUP_SIZE_LONG)) {
        pr.head_dba = ks::load32(s + KS_REDO_SUP_HEAD_DBA, big);
        pr.head_slot = ks::load16(s + KS_REDO_SUP_HEAD_SLOT, big);
      }
      // The redo of a change of forwarding address names the head too, in a header of its own.
      if (pr.op == KS_REDO_OP_CFA && undo) {
        EXPECT_EQ(field_length(v, vh, big, 3), uint32_t(KS_REDO_SUP_SIZE_LONG));
        EXPECT_EQ(ks::load32(field(v, 3) + KS_REDO_SUP_HEAD_DBA, big), pr.head_dba);
      }
      // The row piece as it is after the change: the redo of an insert or overwrite, else
      // the undo of a delete.
      const uint8_t *irp = pr.op == KS_REDO_OP_IRP || pr.op == KS_REDO_OP_ORP ? k : hop == KS_REDO_OP_IRP ? h : nullptr;
      if (irp) {
        pr.fb = irp[KS_REDO_KDO_FLAG];
        pr.next_dba = ks::load32(irp + KS_REDO_IRP_NEXT_DBA, big);
        pr.next_slot = ks::load16(irp + KS_REDO_IRP_NEXT_SLOT, big);
        pr.ncol = irp[KS_REDO_IRP_COLUMNS];
      }
      out.push_back(pr);
      undo = nullptr;
    }
  }
  return out;
}

// A database in the home for a workload's logs (one log holds a run).
ks_db_cfg_t workload_cfg(const kstest::TempHome &home) {
  ks_db_cfg_t c;
  c.dir = home.path() + "db";
  c.name = "SRC";
  c.redo.log_blocks = 200000;
  c.redo.sync = false;
  return c;
}

// The one archived log of workload w run on a new database c (handed to seen before it
// closes), or "" (the failure reported).
std::string workload_log(const ks_db_cfg_t &c, const ks_oltp_cfg_t &w,
                         const std::function<void(ks_sim_db &)> &seen = {}) {
  std::string dbpath;
  {
    ks_sim_db db;
    if (db.create(c) != 0 || ks_oltp_run(db, w) != 0) {
      ADD_FAILURE() << "the workload did not run";
      return "";
    }
    if (seen) seen(db);
    EXPECT_EQ(db.switch_log(), 0);
    EXPECT_EQ(db.close(), 0);
    dbpath = db.db_path();
  }
  const std::vector<std::string> logs = archived_logs(dbpath);
  EXPECT_EQ(logs.size(), 1u);
  return logs.size() == 1 ? logs[0] : "";
}

// The summary the reader prints of a log, which it walks finding no malformed change.
std::string clean_summary(const std::string &log) {
  int rc = 0;
  const std::string sum = kstest::sh(std::string(KS_BIN_DIR) + "/redocat -S -f " + log + " 2>/dev/null", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(sum.find("with a malformed change: 0)"), std::string::npos) << sum;
  return sum;
}

// The records of each change of a row stored as pieces, bracketed by the first- and
// last-piece flags.
std::vector<std::vector<PieceRec>> piece_changes(const std::vector<PieceRec> &recs) {
  std::vector<std::vector<PieceRec>> groups;
  bool open = false;
  for (const PieceRec &r : recs) {
    EXPECT_EQ(open, !(r.sflags & KS_REDO_SUP_FIRST)) << "record of a row piece outside a change";
    if (r.sflags & KS_REDO_SUP_FIRST) groups.emplace_back();
    if (groups.empty()) continue;
    groups.back().push_back(r);
    open = !(r.sflags & KS_REDO_SUP_LAST);
  }
  EXPECT_FALSE(open);
  return groups;
}

// The row pieces a change logs whole (inserted, or deleted with their image), walked from
// the head through their next-piece row ids: the columns they hold (a value split across
// two counting once), the pieces met and their blocks. Each piece's flags agree with its
// place in the chain.
int chained_cols(const std::vector<PieceRec> &g, const PieceRec &head, size_t *seen, std::set<uint32_t> *blocks) {
  const bool stub = head.ncol == 0;
  const uint8_t cont = KS_REDO_ROW_PREV_CONT | KS_REDO_ROW_NEXT_CONT;
  EXPECT_EQ(head.fb & ~cont, stub ? KS_REDO_ROW_HEAD : KS_REDO_ROW_HEAD | KS_REDO_ROW_FIRST);
  int cols = 0;
  *seen = 0;
  const PieceRec *at = &head;
  while (at && *seen <= g.size()) {
    ++*seen;
    cols += at->ncol - (at->fb & KS_REDO_ROW_PREV_CONT ? 1 : 0);
    blocks->insert(at->dba);
    if (at->next_dba == 0) break;
    const PieceRec *nx = nullptr;
    for (const PieceRec &r : g)
      if (r.dba == at->next_dba && r.slot == at->next_slot) nx = &r;
    EXPECT_NE(nx, nullptr) << "next piece " << at->next_dba << "." << at->next_slot << " not in the change";
    if (nx == nullptr) return -1;
    EXPECT_EQ(nx->fb & ~cont, (at == &head && stub ? KS_REDO_ROW_FIRST : 0) | (nx->next_dba ? 0 : KS_REDO_ROW_LAST));
    EXPECT_EQ(!!(nx->fb & KS_REDO_ROW_PREV_CONT), !!(at->fb & KS_REDO_ROW_NEXT_CONT));
    at = nx;
  }
  return cols;
}
}  // namespace

// Rows of more than 255 columns (pieces within a block) and rows longer than a block (pieces
// across blocks): inserts, updates and deletes, and their undoing by a rollback to a
// savepoint, write one record per piece. A change's records are bracketed by the first- and
// last-piece flags and carry its operation; every record names the head piece, but for the
// first record of a delete or update, whose short header names none; the inserted pieces
// chain from the head to the last through their next-piece row ids, a value too long for
// its piece's room continuing in the next. An update that makes a row outgrow its block, or
// changes a split value, moves it: the head becomes a stub forwarding to the moved pieces,
// and a rollback moves it back. One that grows a piece beyond its block's room moves that
// piece alone: inserted anew, deleted, and its predecessor forwarding to it.
TEST(RedoFields, RowsStoredAsPiecesLogOneRecordPerPieceChainedFromTheHead) {
  std::string wide = "create table APP.WIDE (ID number primary key", wide_row = "insert into APP.WIDE values (1";
  for (int i = 1; i < 300; i++) {
    wide += ", C" + std::to_string(i) + " varchar2(20)";
    wide_row += ", 'v" + std::to_string(i) + "'";
  }
  const std::string s4k = "'" + std::string(4000, 'x') + "'", s3k = "'" + std::string(3000, 'y') + "'";
  const std::string script =
      "create user APP;\n" + wide + ");\n" +
      "create table APP.LONGR (ID number primary key, A varchar2(4000), B varchar2(4000), "
      "C varchar2(4000), D varchar2(4000));\n" +
      wide_row + ");\n" + "insert into APP.LONGR values (1, " + s4k + ", " + s4k + ", " + s4k + ", " + s4k + ");\n" +
      "insert into APP.LONGR (ID, A) values (3, 'a');\n"
      "insert into APP.LONGR (ID, A) values (4, 'a');\n"
      "commit;\n"
      "update APP.WIDE set C1 = 'a', C299 = 'b' where ID = 1;\n"
      "update APP.LONGR set C = 'c' where ID = 1;\n"
      "delete from APP.WIDE where ID = 1;\n"
      "update APP.LONGR set B = " +
      s4k + ", C = " + s4k + " where ID = 3;\n" + "update APP.LONGR set D = 'd' where ID = 3;\n" +
      "delete from APP.LONGR where ID = 3;\n" + "insert into APP.LONGR values (5, " + s4k + ", " + s4k +
      ", 'c', 'd');\n" + "update APP.LONGR set D = " + s3k + " where ID = 5;\n" +
      "update APP.LONGR set B = 'b' where ID = 5;\n" + "insert into APP.LONGR values (6, " + s4k + ", " + s4k +
      ", 'c', 'd');\n" +
      "savepoint s1;\n"
      "insert into APP.LONGR values (2, " +
      s4k + ", " + s4k + ", " + s4k + ", " + s4k + ");\n" +
      "delete from APP.LONGR where ID = 1;\n"
      "update APP.LONGR set B = " +
      s4k + ", C = " + s4k + " where ID = 4;\n" + "update APP.LONGR set D = " + s3k + " where ID = 6;\n" +
      "rollback to savepoint s1;\n"
      "commit;\n";
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big" : "little");
    kstest::TempHome home;
    ks_db_cfg_t c;
    c.dir = home.path() + "db";
    c.name = "SRC";
    c.redo.vsn = big ? KS_REDO_VSN11 : KS_REDO_VSN19;
    c.redo.big = big;
    c.redo.log_blocks = 4000;
    c.redo.sync = false;
    std::string dbpath;
    uint16_t wide_objn = 0, long_objn = 0;
    {
      ks_sim_db db;
      ASSERT_EQ(db.create(c), 0);
      ASSERT_EQ(ks_script_run(db, script), 0);
      wide_objn = uint16_t(db.table("APP", "WIDE")->objn);
      long_objn = uint16_t(db.table("APP", "LONGR")->objn);
      EXPECT_EQ(db.table("APP", "WIDE")->live.size(), 0u);
      EXPECT_EQ(db.table("APP", "LONGR")->live.size(), 4u);
      ASSERT_EQ(db.switch_log(), 0);
      ASSERT_EQ(db.close(), 0);
      dbpath = db.db_path();
    }
    std::vector<PieceRec> recs;
    for (const std::string &log : archived_logs(dbpath)) {
      auto more = piece_records(kstest::read_file(log), c.redo.blk_sz, big, vhsz_of(c.redo.vsn),
                                std::min(wide_objn, long_objn), std::max(wide_objn, long_objn));
      recs.insert(recs.end(), more.begin(), more.end());
    }

    const std::vector<std::vector<PieceRec>> groups = piece_changes(recs);
    // Each change: its records, the operation its supplemental headers carry (a rollback's
    // the one it undoes) and the columns its pieces chain from the head (0: not checked).
    struct Want {
      const char *sig;
      uint8_t op;
      int cols;
    };
    const std::vector<Want> want = {{"II", 2, 300},   {"III", 2, 5},    {"UU", 1, 0},     {"LU", 1, 0},
                                    {"DD", 4, 300},   {"OII", 1, 4},    {"LU", 1, 0},     {"DDD", 4, 5},
                                    {"II", 2, 5},     {"LIDC", 1, 0},   {"OID", 1, 5},    {"II", 2, 5},
                                    {"III", 2, 5},    {"DDD", 4, 5},    {"OII", 1, 4},    {"LIDC", 1, 0},
                                    {"rb CID", 1, 0}, {"rb DDO", 1, 0}, {"rb III", 4, 0}, {"rb DDD", 2, 0}};
    std::vector<std::string> sig;
    for (const auto &g : groups) {
      std::string s = g[0].comp ? "rb " : "";
      for (const PieceRec &r : g)
        s += r.op == KS_REDO_OP_IRP   ? 'I'
             : r.op == KS_REDO_OP_DRP ? 'D'
             : r.op == KS_REDO_OP_URP ? 'U'
             : r.op == KS_REDO_OP_ORP ? 'O'
             : r.op == KS_REDO_OP_CFA ? 'C'
                                      : 'L';
      sig.push_back(s);
    }
    std::vector<std::string> want_sig;
    for (const Want &w : want) want_sig.push_back(w.sig);
    ASSERT_EQ(sig, want_sig);

    for (size_t gi = 0; gi < groups.size(); gi++) {
      SCOPED_TRACE("change " + std::to_string(gi));
      const auto &g = groups[gi];
      const bool ins = g[0].op == KS_REDO_OP_IRP, moves = g[0].op == KS_REDO_OP_ORP || g.back().op == KS_REDO_OP_ORP;
      const bool short_first = !g[0].comp && !ins && !moves;
      // A database writes an insert from the tail: its head piece comes last; a move starts
      // (or, undone, ends) with the head.
      const PieceRec &head = moves ? (g[0].op == KS_REDO_OP_ORP ? g.front() : g.back()) : ins ? g.back() : g.front();
      for (size_t i = 0; i < g.size(); i++) {
        EXPECT_EQ(g[i].sop, want[gi].op);
        if (i == 0 && short_first) {
          EXPECT_EQ(g[i].slen, uint32_t(KS_REDO_SUP_SIZE));
          EXPECT_EQ(g[i].sflags, g[i].op == KS_REDO_OP_DRP ? 0x58 : 0x18);
          continue;
        }
        EXPECT_EQ(g[i].slen, uint32_t(KS_REDO_SUP_SIZE_LONG));
        EXPECT_EQ(g[i].head_dba, head.dba);
        EXPECT_EQ(g[i].head_slot, head.slot);
        EXPECT_EQ(g[i].sflags & (KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST),
                  (i == 0 ? KS_REDO_SUP_FIRST : 0) | (i + 1 == g.size() ? KS_REDO_SUP_LAST : 0));
      }
      if (std::string(want[gi].sig) == "LIDC") {
        // The piece moved: inserted elsewhere as it was (flags, successor), deleted, and
        // its predecessor (here the head) forwarding to it instead.
        const PieceRec &in = g[1], &del = g[2], &cfa = g[3];
        EXPECT_EQ(in.fb, del.fb);
        EXPECT_EQ(in.fb & KS_REDO_ROW_PREV_CONT, KS_REDO_ROW_PREV_CONT);
        EXPECT_EQ(in.next_dba, del.next_dba);
        EXPECT_NE(in.dba, del.dba);
        EXPECT_EQ(cfa.dba, cfa.head_dba);
        EXPECT_EQ(cfa.slot, cfa.head_slot);
        EXPECT_EQ(cfa.next_dba, in.dba);
        EXPECT_EQ(cfa.next_slot, in.slot);
        EXPECT_EQ(cfa.old_next_dba, del.dba);
        EXPECT_EQ(cfa.old_next_slot, del.slot);
        if (gi == 15) {
          // Undone record by record: forwarding to the old place, the piece back there, the
          // moved one gone.
          const auto &rb = groups[16];
          EXPECT_EQ(rb[0].next_dba, del.dba);
          EXPECT_EQ(rb[0].next_slot, del.slot);
          EXPECT_EQ(rb[1].dba, del.dba);
          EXPECT_EQ(rb[1].fb, del.fb);
          EXPECT_EQ(rb[2].dba, in.dba);
        }
      }
      if (want[gi].cols == 0) continue;
      // Inserted pieces: from the head, through the next-piece row ids, to the last; a
      // value split ends one piece (0x01) and starts the next (0x02).
      const bool is_wide = want[gi].cols == 300;
      std::set<uint32_t> blocks;
      size_t seen = 0;
      const int cols = chained_cols(g, head, &seen, &blocks);
      // A move also deletes the pieces the row had beside its head.
      EXPECT_EQ(seen, moves ? g.size() - size_t(std::count_if(g.begin(), g.end(),
                                                              [](const PieceRec &r) { return r.op == KS_REDO_OP_DRP; }))
                            : g.size());
      EXPECT_EQ(cols, want[gi].cols);
      EXPECT_EQ(blocks.size(), is_wide ? 1u : seen) << "wide rows stay in a block, long ones cross blocks";
    }
  }
}

// A workload with rows stored as pieces, as a reader meets it: every row change names its
// operation (a change complete in its record by its redo: insert, delete or update), values
// split across pieces continue from a piece flagged 0x01 into one flagged 0x02, pieces move
// with a change of forwarding address, and other transactions' changes come between the
// records of a change of a row stored as pieces. The log walks clean.
TEST(RedoFields, PiecedWorkloadNamesItsOperationsSplitsValuesMovesPiecesAndInterleaves) {
  kstest::TempHome home;
  const ks_db_cfg_t c = workload_cfg(home);
  ks_oltp_cfg_t wl;
  wl.txns = 300;
  wl.seed = 7;
  wl.chained_pct = 50;
  const std::string log = workload_log(c, wl);
  ASSERT_FALSE(log.empty());

  const std::string sum = clean_summary(log);
  EXPECT_NE(sum.find("  11.8: "), std::string::npos) << sum;

  const std::string f = kstest::read_file(log);
  const int vh = vhsz_of(c.redo.vsn);
  std::map<int, int> single;  // redo code * 16 + operation of changes whole in one record
  std::set<uint8_t> ops;
  std::map<std::pair<uint32_t, uint16_t>, uint8_t> fb_at;  // row flags of inserted pieces
  std::vector<std::pair<uint32_t, uint16_t>> continued;    // next pieces of pieces flagged 0x01
  std::map<uint64_t, bool> in_change;                      // transactions inside a pieced change
  int interleaved = 0, cfa = 0;
  for (const Rec &r :
       walk(f, c.redo.blk_sz,
            ks::load32(reinterpret_cast<const uint8_t *>(f.data()) + c.redo.blk_sz + KS_REDO_FH1_NEXT_BLOCK, false),
            false)) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(r.b.data());
    const uint8_t *undo = nullptr;
    for (uint32_t at = uint32_t(record_header_size(p[KS_REDO_RH_VLD])); at < r.len;
         at += vector_size(p + at, vh, false)) {
      const uint8_t *v = p + at;
      auto field = [&](const uint8_t *w, int k) { return w + field_offset(w, vh, false, k); };
      if (v[KS_REDO_CV_LAYER] == 5 && v[KS_REDO_CV_CODE] == 1 && field(v, 2)[KS_REDO_URI_LAYER] == 11) undo = v;
      if (v[KS_REDO_CV_LAYER] != 11 || !undo) continue;
      const uint8_t code = v[KS_REDO_CV_CODE], *k = field(v, 2), *h = field(undo, 4), *u = field(undo, 1);
      cfa += code == KS_REDO_OP_CFA;
      const uint64_t xid = make_xid(ks::load16(u + KS_REDO_UBH_USN, false), ks::load16(u + KS_REDO_UBH_SLOT, false),
                                    ks::load32(u + KS_REDO_UBH_SQN, false));
      const uint8_t hop = h[KS_REDO_KDO_OP] & KS_REDO_KDO_OP_MASK;
      const int at_sup = hop == KS_REDO_OP_IRP || hop == KS_REDO_OP_ORP ? 5 + h[KS_REDO_IRP_COLUMNS]
                         : hop == KS_REDO_OP_URP                        ? 6 + h[KS_REDO_URP_COLUMNS]
                                                                        : 5;
      const uint8_t *sv = undo;
      undo = nullptr;
      if (at_sup > field_count(sv, vh, false)) continue;  // a lock without supplemental data
      const uint8_t *s = field(sv, at_sup);
      const bool whole =
          field_length(sv, vh, false, at_sup) == uint32_t(KS_REDO_SUP_SIZE) &&
          (s[KS_REDO_SUP_FLAGS] & (KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST)) == (KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST);
      ops.insert(s[0]);
      if (whole) single[code * 16 + s[0]]++;
      // A pieced change of another transaction is open: this record comes between its pieces.
      for (const auto &x : in_change) interleaved += x.second && x.first != xid;
      if (!whole) in_change[xid] = !(s[KS_REDO_SUP_FLAGS] & KS_REDO_SUP_LAST);
      if (code == KS_REDO_OP_IRP) {
        const uint8_t fb = k[KS_REDO_KDO_FLAG];
        fb_at[{ks::load32(k + KS_REDO_KDO_DBA, false), ks::load16(k + KS_REDO_IRP_SLOT, false)}] = fb;
        if (fb & KS_REDO_ROW_NEXT_CONT)
          continued.push_back(
              {ks::load32(k + KS_REDO_IRP_NEXT_DBA, false), ks::load16(k + KS_REDO_IRP_NEXT_SLOT, false)});
      }
    }
  }
  EXPECT_EQ(ops, (std::set<uint8_t>{kSupOpUpdate, kSupOpInsert, kSupOpDelete}));
  for (const auto &[key, n] : single) {
    const int code = key / 16, op = key % 16;
    EXPECT_EQ(op, code == KS_REDO_OP_IRP   ? kSupOpInsert
                  : code == KS_REDO_OP_DRP ? kSupOpDelete
                  : code == KS_REDO_OP_QMI ? kSupOpInsert
                                           : kSupOpUpdate)
        << n << " changes of code " << code;
  }
  EXPECT_GT(cfa, 0);
  ASSERT_FALSE(continued.empty());
  for (const auto &n : continued) EXPECT_EQ(fb_at[n] & KS_REDO_ROW_PREV_CONT, KS_REDO_ROW_PREV_CONT);
  EXPECT_GT(interleaved, 0);
}

// Rows of an index-organised table with an overflow segment: a row whose non-key part is
// long keeps its leading columns in the leaf row, flagged first piece only (0x28) and naming
// the next piece big-endian after its header, and the rest in a row piece of the overflow
// segment that the same transaction inserted in the record before (last-piece flag, the
// row id the leaf names, a block of the overflow segment's range); short rows stay whole.
// Updates of the overflow part and array inserts change the overflow segment too.
TEST(RedoFields, LongIotRowsSpillIntoTheirOverflowSegment) {
  kstest::TempHome home;
  const ks_db_cfg_t c = workload_cfg(home);
  uint32_t pk = 0, ovf = 0;
  ks_oltp_cfg_t wl;
  wl.txns = 120;
  wl.seed = 5;
  wl.iot_pct = 100;
  const std::string log = workload_log(c, wl, [&](ks_sim_db &db) {
    pk = db.table("OLTP", "IOT_OVF")->pk_objn;
    ovf = db.table("OLTP", "IOT_OVF")->ovf_objn;
  });
  ASSERT_FALSE(log.empty());
  const std::string f = kstest::read_file(log);
  const int vh = vhsz_of(c.redo.vsn);
  const auto *d = reinterpret_cast<const uint8_t *>(f.data());
  std::set<std::pair<uint32_t, uint16_t>> last_pieces;  // overflow pieces of the previous record
  int spilled = 0, whole = 0;
  std::map<int, int> ovf_ops;  // row operations on the overflow segment
  for (const Rec &r : walk(f, c.redo.blk_sz, ks::load32(d + c.redo.blk_sz + KS_REDO_FH1_NEXT_BLOCK, false), false)) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(r.b.data());
    std::set<std::pair<uint32_t, uint16_t>> pieces;
    for (uint32_t at = uint32_t(record_header_size(p[KS_REDO_RH_VLD])); at < r.len;
         at += vector_size(p + at, vh, false)) {
      const uint8_t *v = p + at;
      auto field = [&](int k) { return v + field_offset(v, vh, false, k); };
      const uint16_t objn = ks::load16(v + KS_REDO_CV_OBJ, false);
      if (v[KS_REDO_CV_LAYER] == 11 && objn == uint16_t(ovf)) ovf_ops[v[KS_REDO_CV_CODE]]++;
      if (v[KS_REDO_CV_LAYER] == 11 && v[KS_REDO_CV_CODE] == KS_REDO_OP_IRP && objn == uint16_t(ovf)) {
        const uint8_t *h = field(2);
        EXPECT_EQ(h[KS_REDO_KDO_FLAG], KS_REDO_ROW_LAST);
        EXPECT_NE(ks::load32(h + KS_REDO_KDO_DBA, false) & 1u << 21, 0u);
        pieces.insert({ks::load32(h + KS_REDO_KDO_DBA, false), ks::load16(h + KS_REDO_IRP_SLOT, false)});
      }
      // A single-row leaf insert of the table: key in field 3, the leaf row in field 4.
      if (v[KS_REDO_CV_LAYER] != 10 || v[KS_REDO_CV_CODE] != KS_REDO_LEAF_INSERT || objn != uint16_t(pk) ||
          (field(2)[KS_REDO_LEAF_FLAGS] & KS_REDO_LEAF_ARRAY))
        continue;
      const uint8_t *row = field(4);
      if (row[0] == KS_REDO_ROW_WHOLE) {
        whole++;
        continue;
      }
      ASSERT_EQ(row[0], KS_REDO_ROW_HEAD | KS_REDO_ROW_FIRST);
      ASSERT_GE(field_length(v, vh, false, 4), uint32_t(KS_REDO_LEAF_ROW_NEXT_HEADER));
      const std::pair<uint32_t, uint16_t> next{ks::load_be32(row + KS_REDO_LEAF_ROW_HEADER),
                                               ks::load_be16(row + KS_REDO_LEAF_ROW_HEADER + 4)};
      EXPECT_TRUE(last_pieces.count(next)) << std::hex << next.first << "." << next.second;
      spilled++;
    }
    last_pieces = std::move(pieces);
  }
  EXPECT_GT(spilled, 10);
  EXPECT_GT(whole, 10);
  // Updates of the overflow part update the piece; array inserts insert theirs together.
  EXPECT_GT(ovf_ops[KS_REDO_OP_URP], 0);
  EXPECT_GT(ovf_ops[KS_REDO_OP_QMI], 0);
}

// Rows stored as pieces keep their pieces from one run of the simulator to the next: a
// second run on the same database changes the rows the first left as pieces piece by piece,
// each change naming one head, its deletes and moves chaining every column of the row from
// the head, and never a change of a wide row logged whole. The reader finds nothing
// malformed in either run's log.
TEST(RedoFields, PiecedRowsKeepTheirPiecesAcrossRuns) {
  kstest::TempHome home;
  const ks_db_cfg_t c = workload_cfg(home);
  std::string dbpath;
  uint16_t wide = 0, longr = 0;
  for (int run = 0; run < 2; run++) {
    ks_sim_db db;
    ASSERT_EQ(run == 0 ? db.create(c) : db.open(c.dir, c.name), 0);
    ks_oltp_cfg_t w;
    w.txns = 250;
    w.seed = 7 + uint64_t(run);
    w.chained_pct = 60;
    ASSERT_EQ(ks_oltp_run(db, w), 0) << "run " << run;
    wide = uint16_t(db.table("OLTP", "WIDE")->objn);
    longr = uint16_t(db.table("OLTP", "LONG_ROWS")->objn);
    ASSERT_EQ(db.switch_log(), 0);
    ASSERT_EQ(db.close(), 0);
    dbpath = db.db_path();
  }
  const std::vector<std::string> logs = archived_logs(dbpath);
  ASSERT_EQ(logs.size(), 2u);
  for (const std::string &log : logs) clean_summary(log);
  const int vh = vhsz_of(c.redo.vsn);
  const uint16_t lo = std::min(wide, longr), hi = std::max(wide, longr);
  // The heads of the rows the first run stored as pieces.
  std::set<std::pair<uint32_t, uint16_t>> first_run;
  for (const PieceRec &r : piece_records(kstest::read_file(logs[0]), c.redo.blk_sz, false, vh, lo, hi))
    if (r.slen == uint32_t(KS_REDO_SUP_SIZE_LONG)) first_run.insert({r.head_dba, r.head_slot});
  ASSERT_FALSE(first_run.empty());

  const std::string f = kstest::read_file(logs[1]);
  int whole_wide = 0;
  piece_records(f, c.redo.blk_sz, false, vh, wide, wide, &whole_wide);
  EXPECT_EQ(whole_wide, 0) << "a row of 300 columns is never inserted or deleted as one piece";
  int old_rows = 0, chained = 0;
  for (const auto &g : piece_changes(piece_records(f, c.redo.blk_sz, false, vh, lo, hi))) {
    std::set<std::pair<uint32_t, uint16_t>> heads;
    for (const PieceRec &r : g)
      if (r.slen == uint32_t(KS_REDO_SUP_SIZE_LONG)) heads.insert({r.head_dba, r.head_slot});
    ASSERT_EQ(heads.size(), 1u) << "the records of one change name one head";
    old_rows += first_run.count(*heads.begin()) != 0;
    // A delete logs every piece's image from the head; a move the stub and the moved pieces.
    const bool del = g[0].op == KS_REDO_OP_DRP && !g[0].comp, moves = g[0].op == KS_REDO_OP_ORP;
    if (!del && !moves) continue;
    EXPECT_EQ(g[0].dba, heads.begin()->first);
    EXPECT_EQ(g[0].slot, heads.begin()->second);
    size_t seen = 0;
    std::set<uint32_t> blocks;
    const int cols = chained_cols(g, g[0], &seen, &blocks);
    if (g[0].objn == wide)
      EXPECT_EQ(cols, 300);
    else
      EXPECT_TRUE(cols >= 1 && cols <= 5) << cols;
    chained++;
  }
  EXPECT_GT(old_rows, 0) << "the second run changes rows the first stored as pieces";
  EXPECT_GT(chained, 0);
}

// Every LOB kind and operation, as one script: LOBs kept in the row are ordinary column
// values the in-row locator decoder reads; LOBs out of line change by their locator
// stream, data (BasicFile block images, SecureFile new data and writes over existing data
// with their undo) and the row change storing the locator, with offsets and amounts in
// the units the reader expects; LONG values over 4000 bytes go in pieces; and diff sees
// one changed LOB byte on a target.
TEST(RedoFields, LobOperationsLogTheirLocatorStreamDataAndLocatorChange) {
  kstest::TempHome home;
  ks_db_cfg_t c;
  c.dir = home.path() + "db";
  c.name = "SRC";
  c.noise = 0;
  c.redo.log_blocks = 20000;
  c.redo.sync = false;
  const std::string script =
      "create user L;\n"
      "create table L.DOCS (ID number primary key, NAME varchar2(20), BODY clob, PIC blob, SPIC blob securefile, "
      "NB nclob securefile);\n"
      "create table L.OLD (ID number primary key, TXT long, BIN long raw);\n"
      "insert into L.DOCS values (1, 'a', 'hello', HEXTORAW('0102'), EMPTY_BLOB(), NULL);\n"
      "insert into L.DOCS values (2, 'b', RPAD('a', 9000, 'ab'), NULL, RPAD('s', 5000, 's'), "
      "RPAD('\xc3\xbc', 8000, '\xc3\xbc'));\n"
      "commit;\n"
      "update L.DOCS set NAME = 'c', BODY = RPAD('x', 5000, 'x') where ID = 1;\n"
      "dbms_lob.write(L.DOCS.SPIC, 10, 'XYZ') where ID = 2;\n"
      "dbms_lob.writeappend(L.DOCS.SPIC, 'tail') where ID = 2;\n"
      "dbms_lob.trim(L.DOCS.BODY, 100) where ID = 2;\n"
      "dbms_lob.erase(L.DOCS.BODY, 10, 5) where ID = 2;\n"
      "update L.DOCS set PIC = EMPTY_BLOB(), NB = NULL where ID = 2;\n"
      "savepoint a;\n"
      "dbms_lob.write(L.DOCS.BODY, 1, 'zz') where ID = 1;\n"
      "rollback to a;\n"
      "commit;\n"
      "insert into L.OLD values (1, RPAD('l', 9000, 'long'), RPAD('r', 4500, 'r'));\n"
      "delete from L.DOCS where ID = 2;\n"
      "commit;\n";
  std::string dbpath;
  uint32_t docs = 0, old = 0;
  {
    ks_sim_db db;
    ASSERT_EQ(db.create(c), 0);
    ASSERT_EQ(ks_script_run(db, script), 0);
    docs = db.table("L", "DOCS")->objn;
    old = db.table("L", "OLD")->objn;
    // A LOB call on a NULL LOB is refused.
    EXPECT_EQ(ks_script_run(db, "dbms_lob.writeappend(L.DOCS.NB, 'x') where ID = 1;"), -1);
    ASSERT_EQ(db.switch_log(), 0);
    ASSERT_EQ(db.close(), 0);
    dbpath = db.db_path();
  }
  const int vh = vhsz_of(c.redo.vsn);
  std::string sig;
  int old_pieces = 0;
  std::vector<std::string> llb1, blocks, loads, fills, inrow;
  for (const std::string &log : archived_logs(dbpath)) {
    const std::string f = kstest::read_file(log);
    const uint32_t nab =
        ks::load32(reinterpret_cast<const uint8_t *>(f.data()) + c.redo.blk_sz + KS_REDO_FH1_NEXT_BLOCK, false);
    for (const Rec &r : walk(f, c.redo.blk_sz, nab, false)) {
      const uint8_t *p = reinterpret_cast<const uint8_t *>(r.b.data());
      for (uint32_t at = uint32_t(record_header_size(p[KS_REDO_RH_VLD])); at < r.len;
           at += vector_size(p + at, vh, false)) {
        const uint8_t *v = p + at;
        auto field = [&](int k) {
          return std::string(reinterpret_cast<const char *>(v + field_offset(v, vh, false, k)),
                             field_length(v, vh, false, k));
        };
        const int layer = v[KS_REDO_CV_LAYER], code = v[KS_REDO_CV_CODE];
        const uint16_t obj = ks::load16(v + KS_REDO_CV_OBJ, false);
        std::string op = std::to_string(layer) + "." + std::to_string(code);
        if (layer == 11 && obj == uint16_t(old)) old_pieces += code == 2;
        if (layer == 5 && code == 1 && field(2)[KS_REDO_URI_LAYER] == 26)
          op += "/26";
        else if (layer == 11 && obj == uint16_t(docs) && code == 17)
          op += "/" + std::to_string(field(2)[0]);
        else if (layer == 11 && obj == uint16_t(docs) && code == 2)
          inrow.push_back(field(5));
        else if (!(layer == 11 && obj == uint16_t(docs)) && layer != 19 && layer != 26)
          continue;
        if (op == "11.17/1") llb1.push_back(field(3));
        if (op == "19.1") blocks.push_back(field(1) + field(2).substr(0, 1));
        if (op == "26.6") loads.push_back(field(3) + field(4));
        if (op == "26.2") fills.push_back(field(3) + field(4));
        sig += (sig.empty() ? "" : " ") + op;
      }
    }
  }
  const std::string stream = "11.17/4 11.17/1 ", end = " 11.17/3";
  EXPECT_EQ(sig,
            // row 1 in its row; row 2: the stream of a BasicFile CLOB (9000 characters,
            // 18000 bytes) that creates the row, the row, then a SecureFile BLOB and a
            // SecureFile NCLOB written into it
            "11.2 " + stream + "19.1 19.1 19.1" + end + " 11.2 " + stream + "26.6" + end + " 11.5 " + stream +
                "26.6 26.6" + end + " 11.5 " +
                // NAME before BODY's stream; write over SecureFile data, append, trim, erase
                "11.5 " + stream + "19.1 19.1" + end + " 11.5 " + stream + "5.1/26 26.2" + end + " 11.5 " + stream +
                "26.6" + end + " 11.5 " + stream.substr(0, stream.size() - 1) + end + " 11.5 " +
                stream.substr(0, stream.size() - 1) + end +
                " 11.5 "
                // emptied and nulled in the row; a write rolled back to its savepoint
                "11.5 " +
                stream + "19.1" + end + " 11.5 11.5 11.3")
      << sig;
  EXPECT_GE(old_pieces, 4) << "LONG and LONG RAW over 4000 bytes are stored in parts";
  // The LLBs' units: BasicFile CLOB characters from 1, SecureFile BLOB bytes from 1,
  // two-byte SecureFile NCLOB bytes from 0.
  ASSERT_GE(llb1.size(), 4u);
  auto u32 = [](const std::string &b, size_t at) { return ks::load32(b.data() + at, false); };
  auto u64 = [](const std::string &b, size_t at) { return ks::load64(b.data() + at, false); };
  EXPECT_EQ(llb1[0][0], 2);
  EXPECT_EQ(u32(llb1[0], 32), 9000u);
  EXPECT_EQ(u64(llb1[0], 52), 1u);
  EXPECT_EQ(llb1[1][0], 1);
  EXPECT_EQ(u32(llb1[1], 32), 5000u);
  EXPECT_EQ(u32(llb1[2], 32), 16000u);
  EXPECT_EQ(u64(llb1[2], 52), 0u);
  EXPECT_EQ(u32(llb1[4], 32), 3u);
  EXPECT_EQ(u64(llb1[4], 52), 10u);
  // Block images name the LOB and carry its data as UTF-16BE.
  ASSERT_EQ(blocks.size(), 6u);
  EXPECT_EQ(blocks[0].substr(4, 10), llb1[0].substr(12, 10));
  EXPECT_EQ(blocks[0].substr(36, 6), std::string("\0a\0a\0b", 6));
  EXPECT_EQ(blocks[0].back(), '\x28');
  EXPECT_EQ(loads[0].substr(12, 10), llb1[1].substr(12, 10));
  EXPECT_EQ(ks::load16(loads[0].data() + 52, false), 5000u);
  EXPECT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0][0], 4);
  EXPECT_EQ(fills[0].substr(24 + 4, 2), std::string("\3\0", 2));
  EXPECT_EQ(fills[0].substr(24 + 8, 3), "XYZ");
  // The in-row locator of row 1's CLOB.
  ASSERT_FALSE(inrow.empty());
  uint8_t *lob = nullptr;
  int dlen = 0;
  ASSERT_EQ(ks_parse_lob_inrow(reinterpret_cast<uint8_t *>(inrow[0].data()), int(inrow[0].size()), &lob, &dlen), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(lob), size_t(dlen)), std::string("\0h\0e\0l\0l\0o", 10));
  // diff against a copy: identical (the empty SPIC copied as an empty LOB, not NULL), then
  // LOBs far larger than one fetch: identical, one byte changed at the very end, empty vs
  // NULL; then one byte changed in a CLOB.
  int st = -1;
  const std::string bin = std::string(KS_BIN_DIR) + "/orasim ", tgt = home.path() + "tgt.db";
  sqlite3 *t = nullptr;
  ASSERT_EQ(sqlite3_open(tgt.c_str(), &t), SQLITE_OK);
  std::string out = kstest::sh(bin + "instantiate " + dbpath + " " + tgt + " 2>&1", &st);
  ASSERT_EQ(st, 0) << out;
  out = kstest::sh(bin + "diff " + dbpath + " " + tgt + " 2>&1", &st);
  EXPECT_EQ(st, 0) << out;
  auto exec = [](sqlite3 *db, const std::string &sql) {
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  };
  // 3 MiB of random bytes and 200 KiB of two-byte characters, the same on both sides.
  const std::string kBig = std::to_string(3 << 20);
  exec(t, "ATTACH '" + dbpath + "' AS s");
  exec(t, "UPDATE s.\"L.DOCS\" SET \"PIC\" = randomblob(" + kBig +
              "), \"BODY\" = replace(hex(zeroblob(102400)), '00', '\xc3\xbc')");
  exec(t, "UPDATE \"L.DOCS\" SET (\"PIC\", \"BODY\") = (SELECT \"PIC\", \"BODY\" FROM s.\"L.DOCS\")");
  out = kstest::sh(bin + "diff " + dbpath + " " + tgt + " 2>&1", &st);
  EXPECT_EQ(st, 0) << out;
  const std::string rows1 = "L.DOCS: 1 source rows, 1 target rows, 1 only in source, 1 only in target";
  auto differs = [&](const std::string &change, const std::string &undo) {
    exec(t, change);
    out = kstest::sh(bin + "diff " + dbpath + " " + tgt + " 2>&1", &st);
    EXPECT_EQ(st, 1) << out.substr(0, 500);
    EXPECT_NE(out.find(rows1), std::string::npos) << out.substr(0, 500);
    exec(t, undo);
  };
  // The last of the 3 MiB changed, in place.
  sqlite3_stmt *q = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(t, "SELECT rowid FROM main.\"L.DOCS\"", -1, &q, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
  const sqlite3_int64 rowid = sqlite3_column_int64(q, 0);
  sqlite3_finalize(q);
  sqlite3_blob *pic = nullptr;
  ASSERT_EQ(sqlite3_blob_open(t, "main", "L.DOCS", "PIC", rowid, 1, &pic), SQLITE_OK) << sqlite3_errmsg(t);
  const int last = sqlite3_blob_bytes(pic) - 1;
  uint8_t byte = 0;
  ASSERT_EQ(sqlite3_blob_read(pic, &byte, 1, last), SQLITE_OK);
  byte ^= 0xFF;
  ASSERT_EQ(sqlite3_blob_write(pic, &byte, 1, last), SQLITE_OK);
  sqlite3_blob_close(pic);
  differs("SELECT 1", "UPDATE \"L.DOCS\" SET \"PIC\" = (SELECT \"PIC\" FROM s.\"L.DOCS\")");
  // An empty LOB is not NULL, either way round.
  differs("UPDATE \"L.DOCS\" SET \"SPIC\" = NULL", "UPDATE \"L.DOCS\" SET \"SPIC\" = zeroblob(0)");
  differs("UPDATE \"L.DOCS\" SET \"NB\" = ''", "UPDATE \"L.DOCS\" SET \"NB\" = NULL");
  exec(t, "DETACH s");
  out = kstest::sh(bin + "diff " + dbpath + " " + tgt + " 2>&1", &st);
  EXPECT_EQ(st, 0) << out.substr(0, 500);
  ASSERT_EQ(
      sqlite3_exec(t, "UPDATE \"L.DOCS\" SET \"BODY\" = substr(\"BODY\", 1, 4000) || 'y' || substr(\"BODY\", 4002)",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(t);
  out = kstest::sh(bin + "diff " + dbpath + " " + tgt + " 2>&1", &st);
  EXPECT_EQ(st, 1) << out;
  EXPECT_NE(out.find("L.DOCS: 1 source rows, 1 target rows, 1 only in source, 1 only in target"), std::string::npos)
      << out;
}
