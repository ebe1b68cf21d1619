// Record decoding from records built in memory: which records are taken (SCN window,
// container, ignored and 68-byte headers, vectors that end a record or are passed over),
// how the undo vector finds its supplemental header and what it says about pieces of a
// chained row, and the redo of rollbacks.
#include <gtest/gtest.h>

#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"
#include "tests/redo/redo_builder.h"

namespace {

using namespace redotest;

constexpr uint32_t kObjn = 74501;  // APP.EMP of the dictionary below
const std::string kDict = std::string(KS_TEST_DATA_DIR) + "/redo/rollback_le_v10_b512.dict";

// Commit (or rollback) of usn.slot.sqn.
Vec commit(const Decoder &d, uint16_t usn, uint16_t slot, uint32_t sqn, bool rollback = false) {
  Field f(20, d.big());
  f.u16(0, slot).u32(4, sqn).u8(16, rollback ? 0x16 : 0x12);
  return Vec{5, 4, static_cast<uint16_t>(d.cls_usn() + 2 * usn), 0, {f.b}};
}

// Undo vector 5.1 of usn.slot.sqn for a row operation whose header is op_header, then the
// undo column fields, then the supplemental header (when sup is not empty).
Vec undo(const Decoder &d, uint16_t usn, uint16_t slot, uint32_t sqn, const Bytes &op_header,
         const std::vector<Bytes> &values, const Bytes &sup) {
  Field ubh(20, d.big()), uri(24, d.big());
  ubh.u16(8, usn).u16(10, slot).u32(12, sqn);
  uri.u32(0, kObjn).u8(16, 11);
  Vec v{5, 1, static_cast<uint16_t>(d.cls_usn() + 2 * usn + 1), 0, {ubh.b, uri.b, Bytes(8), op_header}};
  v.fields.insert(v.fields.end(), values.begin(), values.end());
  if (!sup.empty()) v.fields.push_back(sup);
  return v;
}

Bytes sup_header(const Decoder &d, uint8_t flags, size_t len = 20, uint32_t head_dba = 0, uint16_t head_slot = 0) {
  Field s(len, d.big());
  s.u8(1, flags);
  if (len == 28) s.u32(20, head_dba).u16(24, head_slot);
  return s.b;
}

Bytes op_header(const Decoder &d, uint8_t op, size_t len) {
  Field h(len, d.big());
  h.u8(10, op);
  return h.b;
}

// The 5.6 of a rollback record: the object and the transaction slot.
// The 5.6 of a full rollback (its block class one above the undo segment's) or the 5.11
// of a rollback to a savepoint.
Vec undo_applied(const Decoder &d, uint16_t usn, uint8_t slot, uint8_t code = 6) {
  Field f(24, d.big());
  f.u32(0, kObjn).u8(18, slot);
  return Vec{5, code, static_cast<uint16_t>(d.cls_usn() + 2 * usn + (code == 6 ? 1 : 0)), 0, {f.b}};
}

TEST(RedoAcceptance, ScnWindowContainerAndIgnoredRecords) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    Decoder d(kDict, 19, big);
    ASSERT_TRUE(d.ok());
    auto rec = [&](uint64_t scn, RecordOpts o = {}) {
      return record_bytes(scn, {commit(d, 2, 3, 4)}, d.vhsz(), big, o);
    };

    x_start_scn = 0x100000010ULL;
    x_end_scn = 0x100000020ULL;
    EXPECT_EQ(d.parse(rec(0x10000000FULL)), 0);
    EXPECT_TRUE(d.lcrs.empty());
    EXPECT_EQ(d.parse(rec(0x100000010ULL)), 0);
    EXPECT_EQ(d.parse(rec(0x100000020ULL)), 0);
    ASSERT_EQ(d.lcrs.size(), 2u);
    EXPECT_EQ(d.lcrs[0].scn, 0x100000010ULL);
    EXPECT_EQ(d.lcrs[1].scn, 0x100000020ULL);
    EXPECT_EQ(d.parse(rec(0x100000021ULL)), -10);  // past the end: reading stops here
    EXPECT_EQ(d.lcrs.size(), 2u);
    x_start_scn = x_end_scn = 0;
    d.lcrs.clear();

    // Ignored records yield nothing, not even their time stamp.
    d.ex()->m->sct = 77;
    EXPECT_EQ(d.parse(rec(5, {0x0D, 0, 999})), 0);
    EXPECT_EQ(d.parse(rec(5, {0x09, 0, 0})), 0);
    EXPECT_TRUE(d.lcrs.empty());
    EXPECT_EQ(d.ex()->m->sct, 77u);
    // A 68-byte header sets the time stamp; a 24-byte header keeps it.
    d.parse(rec(6, {0x05, 0, 1234}));
    d.parse(rec(7));
    ASSERT_EQ(d.lcrs.size(), 2u);
    EXPECT_EQ(d.lcrs[0].sct, 1234u);
    EXPECT_EQ(d.lcrs[1].sct, 1234u);
    d.lcrs.clear();

    // A pluggable database's capture takes its own container's records only.
    d.ex()->flag |= KS_EXTR_PDB;
    d.ex()->con_uid = 3141592653u;
    d.parse(rec(8, {0x01, 1385559638u, 0}));
    EXPECT_TRUE(d.lcrs.empty());
    d.parse(rec(9, {0x01, 3141592653u, 0}));
    EXPECT_EQ(d.lcrs.size(), 1u);
  }
}

TEST(RedoAcceptance, UnhandledLayer11CodesEndTheRecordOtherLayersArePassedOver) {
  Decoder d(kDict, 11, true);
  ASSERT_TRUE(d.ok());
  Vec other{11, 0, 1, 0, {Bytes(8), Bytes(30)}};
  for (uint8_t code : {0, 1, 7, 9, 10, 13, 14, 15, 18, 19, 200}) {
    other.code = code;
    d.parse(record_bytes(10, {other, commit(d, 1, 1, 1)}, d.vhsz(), true));
  }
  EXPECT_TRUE(d.lcrs.empty()) << "a commit after an unhandled 11.x was taken";
  // Other layers, and unlisted codes of layers 5 and 10, are skipped by their size.
  for (auto [layer, code] : {std::pair{4, 1}, {13, 22}, {5, 2}, {10, 36}, {10, 1}, {22, 5}, {24, 2}}) {
    other.layer = static_cast<uint8_t>(layer);
    other.code = static_cast<uint8_t>(code);
    d.parse(record_bytes(11, {other, commit(d, 1, 1, 1)}, d.vhsz(), true));
  }
  EXPECT_EQ(d.lcrs.size(), 7u);
}

TEST(RedoAcceptance, VectorsRunningPastTheRecordAreRefusedWithAMessage) {
  Decoder d(kDict, 19, false);
  ASSERT_TRUE(d.ok());
  Bytes r = record_bytes(10, {commit(d, 1, 1, 1)}, d.vhsz(), false);
  Bytes cut(r.begin(), r.end() - 4);  // the commit's field loses its last bytes
  EXPECT_EQ(d.parse(cut), 0);
  EXPECT_NE(std::string(ks_log_get_message()).find("goes past the record"), std::string::npos);
  Bytes bad = r;
  ks::store16(bad.data() + 24 + d.vhsz(), 1, false);  // odd length array size
  EXPECT_EQ(d.parse(bad), 0);
  EXPECT_NE(std::string(ks_log_get_message()).find("bad length array"), std::string::npos);
  EXPECT_TRUE(d.lcrs.empty());
}

// Where the undo vector finds its supplemental header: after the undo column values,
// whose number depends on the undone operation.
TEST(RedoUndo, SupplementalHeaderFollowsTheUndoColumnValues) {
  for (bool big : {false, true}) {
    Decoder d(kDict, 10, big);
    ASSERT_TRUE(d.ok());
    ks_chain_piece_t piece{};
    auto run = [&](const Vec &v) {
      Bytes r = record_bytes(20, {v}, d.vhsz(), big);
      ks_miner_t *m = d.ex()->m;
      m->rec = r.data();
      m->rlen = static_cast<uint32_t>(r.size());
      m->sup = nullptr;
      m->supk = 0;
      m->flag = 0;
      piece = {};
      return ks_parse_undo(d.ex(), r.data() + 24, &piece);
    };
    auto cols = [&](std::initializer_list<uint16_t> n) {
      Field f(2 * n.size(), big);
      size_t i = 0;
      for (uint16_t c : n) f.u16(2 * i++, c);
      return f.b;
    };
    const Bytes sup = sup_header(d, 0x0C), val(3, 'x');
    Field urp(28, big);
    urp.u8(10, 5).u8(23, 2);
    // Numbers 3, 5, 7, all with a before image (the header counts 3): three values.
    Field urp3(28, big);
    urp3.u8(10, 5).u8(23, 3);
    ASSERT_EQ(run(undo(d, 1, 2, 3, urp3.b, {cols({3, 5, 7}), val, val, val}, sup)), 0);
    EXPECT_EQ(d.ex()->m->supk, 9);
    // Numbers 3, 9, 8 with a header count of 1: 9 and 8 are trailing NULLs the update
    // sets, listed highest first without value fields.
    Field urp1(28, big);
    urp1.u8(10, 5).u8(23, 1);
    ASSERT_EQ(run(undo(d, 1, 2, 3, urp1.b, {cols({3, 9, 8}), val}, sup)), 0);
    EXPECT_EQ(d.ex()->m->supk, 7);
    EXPECT_EQ(d.ex()->m->slen, 20u);
    // Numbers 3, 1: one value counts (only numbers above the first add one).
    ASSERT_EQ(run(undo(d, 1, 2, 3, urp.b, {cols({3, 1}), val}, sup)), 0);
    EXPECT_EQ(d.ex()->m->supk, 7);
    // Empty array: the header's count (2) is used.
    ASSERT_EQ(run(undo(d, 1, 2, 3, urp.b, {Bytes(), val, val}, sup)), 0);
    EXPECT_EQ(d.ex()->m->supk, 8);
    // Insert-row-piece undo: the column count at +18.
    Field irp(48, big);
    irp.u8(10, 2).u8(18, 2);
    ASSERT_EQ(run(undo(d, 1, 2, 3, irp.b, {val, val}, sup)), 0);
    EXPECT_EQ(d.ex()->m->supk, 7);
    // Nothing after the values: no supplemental data, a whole change.
    ASSERT_EQ(run(undo(d, 1, 2, 3, irp.b, {val, val}, Bytes())), 0);
    EXPECT_EQ(d.ex()->m->sup, nullptr);
    EXPECT_EQ(d.ex()->m->flag, 0u);
    // A header of another length is refused.
    EXPECT_EQ(run(undo(d, 1, 2, 3, irp.b, {val, val}, Bytes(24))), -1);
    EXPECT_NE(std::string(ks_log_get_message()).find("error supplemental log length [24]."), std::string::npos);
    EXPECT_EQ(d.ex()->m->xid, ks::redo::make_xid(1, 2, 3));
  }
}

TEST(RedoUndo, PieceFlagsAndTheHeadRowOfAChainedRow) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    Decoder d(kDict, 19, big);
    ASSERT_TRUE(d.ok());
    ks_chain_piece_t piece{};
    auto run = [&](uint8_t op, const Bytes &sup) {
      Field h(48, big);
      h.u8(10, op).u8(18, 1);
      Bytes r = record_bytes(20, {undo(d, 1, 2, 3, h.b, {Bytes(2)}, sup)}, d.vhsz(), big);
      ks_miner_t *m = d.ex()->m;
      m->rec = r.data();
      m->rlen = static_cast<uint32_t>(r.size());
      m->flag = 0;
      piece = {};
      return ks_parse_undo(d.ex(), r.data() + 24, &piece);
    };
    const uint32_t kPieceOnly = KS_MN_PIECE, kPieceLast = KS_MN_PIECE | KS_MN_COMPLETE;
    ASSERT_EQ(run(2, sup_header(d, 0x0C)), 0);
    EXPECT_EQ(d.ex()->m->flag, 0u);
    ASSERT_EQ(run(2, sup_header(d, 0x0C, 28, 0x01020304, 0x0506)), 0);
    EXPECT_EQ(d.ex()->m->flag, 0u);  // whole row: a 28-byte header alone does not chain
    ASSERT_EQ(run(6, sup_header(d, 0x0C, 28, 0x01020304, 0x0506)), 0);
    EXPECT_EQ(d.ex()->m->flag, kPieceLast);  // except on an overwrite
    ASSERT_EQ(run(2, sup_header(d, 0x08, 28, 0x01020304, 0x0506)), 0);
    EXPECT_EQ(d.ex()->m->flag, kPieceOnly);
    EXPECT_EQ(piece.cr_rdba, 0x01020304u);
    EXPECT_EQ(piece.cr_slot, 0x0506);
    ASSERT_EQ(run(2, sup_header(d, 0x04)), 0);
    EXPECT_EQ(d.ex()->m->flag, kPieceLast);
    EXPECT_EQ(piece.cr_rdba, 0u);
  }
}

// Records of a captured table that this build cannot turn into changes are never passed
// over quietly: each gives one error line (reason, position, SCN, XID, table, operation)
// and is counted by reason, while the record's other changes (its commit) are taken; the
// same operations on objects that are not captured stay quiet.
TEST(RedoNotCaptured, UndecodableChangesOfCapturedTablesAreReportedAndCountedTheRestOfTheRecordTaken) {
  Decoder d(kDict, 19, false);
  ASSERT_TRUE(d.ok());
  ks_reset_not_captured();
  const int level = ks_log_inf.log_level;
  ks_log_inf.log_level = KS_LOG_INFO;  // the last message is the last report
  const uint32_t kOther = 999999;      // in no dictionary
  auto msg = [] { return std::string(ks_log_get_message()); };
  auto quiet = [&](const Bytes &r, ks_rba_t rba = {1, 2, 16}) {
    KS_ERROR("mark");
    int rc = d.parse(r, rba);
    EXPECT_EQ(msg().find("not supported"), std::string::npos) << msg();
    return rc;
  };
  Field h(48, false);
  h.u8(10, 2).u8(18, 1);
  Field redo(48, false);
  redo.u8(10, 2).u8(16, 0x28).u8(18, 1);
  const Bytes val(2);

  // Pieces of a chained row wait for the rest of their row: a later piece naming its head
  // (28-byte header), first pieces with a 20-byte header (flags 0x18 and 0x58) keyed on
  // their own row id, and a forwarding address for a row with nothing in progress. None
  // is reported while its transaction may still bring the other pieces; at its commit
  // each row left incomplete is, once, with its first piece's position.
  Vec irp{11, 2, 1, 0, {Bytes(8), redo.b, val, sup_header(d, 0x08, 28, 0x00400c00, 3)}};
  EXPECT_EQ(quiet(record_bytes(30, {undo(d, 1, 2, 3, h.b, {val}, sup_header(d, 0x08, 28, 0x00400c00, 3)), irp},
                               d.vhsz(), false),
                  {0x2a, 0x1234, 0x1f0}),
            0);
  for (uint8_t flags : {0x18, 0x58}) {
    h.u32(0, 0x00500000 + flags).u16(42, 1);
    EXPECT_EQ(quiet(record_bytes(31, {undo(d, 1, 2, 3, h.b, {val}, sup_header(d, flags)), irp}, d.vhsz(), false)), 0);
  }
  Field cfa(32, false);
  cfa.u8(10, 8);
  Field cfa_undo(32, false);
  cfa_undo.u8(10, 8);
  EXPECT_EQ(quiet(record_bytes(32, {undo(d, 1, 2, 3, cfa_undo.b, {}, Bytes()), Vec{11, 8, 1, 0, {Bytes(8), cfa.b}}},
                               d.vhsz(), false)),
            KS_RC_NOT_CAPTURED);
  EXPECT_EQ(ks_not_captured_count(KS_NC_CHAIN), 0u);
  EXPECT_EQ(d.parse(record_bytes(33, {commit(d, 1, 2, 3)}, d.vhsz(), false)), 0);
  EXPECT_EQ(ks_not_captured_count(KS_NC_CHAIN), 3u);
  EXPECT_NE(msg().find("chained row incomplete (rba=00002a.00001234.01f0, SCN: 33, XID: 1.2.3, table: APP.EMP"),
            std::string::npos)
      << msg();
  EXPECT_EQ(d.parse(record_bytes(34, {commit(d, 1, 2, 3)}, d.vhsz(), false)), 0);
  EXPECT_EQ(ks_not_captured_count(KS_NC_CHAIN), 3u);  // reported once: the rows are gone

  // LOB data with no LOB operation in progress (its locator stream names its table)
  // belongs to no table being captured.
  Field ubh(20, false), uri(24, false);
  ubh.u16(8, 7).u16(10, 8).u32(12, 9);
  uri.u32(0, kObjn).u8(16, 26);
  EXPECT_EQ(quiet(record_bytes(44, {Vec{5, 1, 1, 0, {ubh.b, uri.b}}, Vec{26, 2, 1, 0, {Bytes(8), Bytes(8), Bytes(16)}}},
                               d.vhsz(), false)),
            KS_RC_NOT_CAPTURED);
  EXPECT_EQ(quiet(record_bytes(45, {Vec{5, 1, 1, 0, {ubh.b, uri.b}}, Vec{26, 6, 1, 0, {Bytes(8)}}}, d.vhsz(), false)),
            KS_RC_NOT_CAPTURED);
  EXPECT_EQ(ks_not_captured_count(KS_NC_DECODE), 0u);

  // A direct-path load: its 24.6 names the table and the transaction of the block images
  // after it. A cluster block (two tables) and a load without a transaction are not
  // turned into rows: one report for the record; other tables' loads are quiet.
  auto load = [&](uint32_t objn, uint32_t sqn) {
    Field f(16, false);
    f.u32(0, objn).u16(8, sqn ? 5 : 0).u16(10, sqn ? 6 : 0).u32(12, sqn);
    return Vec{24, 6, 1, 0, {f.b}};
  };
  Bytes cluster(64);
  cluster[0] = 1;
  cluster[25] = 2;
  Vec image{19, 1, 1, 0x00400100, {cluster, Bytes{6, 0, 0, 0}}};
  EXPECT_EQ(d.parse(record_bytes(50, {load(kObjn, 77)}, d.vhsz(), false)), 0);
  EXPECT_EQ(d.parse(record_bytes(50, {load(kObjn, 77), image, image}, d.vhsz(), false)), -1);
  EXPECT_NE(msg().find("direct-path load not supported (rba=000001.00000002.0010, SCN: 50, XID: 5.6.77, "
                       "table: APP.EMP, op: 19.1)."),
            std::string::npos)
      << msg();
  EXPECT_EQ(d.parse(record_bytes(51, {load(kObjn, 0), image}, d.vhsz(), false)), -1);
  quiet(record_bytes(51, {load(kOther, 77), image}, d.vhsz(), false));
  quiet(record_bytes(52, {image}, d.vhsz(), false));
  EXPECT_EQ(ks_not_captured_count(KS_NC_LOAD), 2u);
  // A load's LOB block that no row of the load names by its commit: kept until then, then
  // reported once with its own position.
  Bytes lob_blk(40);
  lob_blk[20] = 4;  // bytes of LOB data it holds
  Vec lob_image{19, 1, 1, 0x02400010, {lob_blk, Bytes{0x28, 0, 0, 0}}};
  EXPECT_EQ(quiet(record_bytes(53, {load(kObjn, 78), lob_image}, d.vhsz(), false), {0x2b, 0x10, 0x20}), 0);
  EXPECT_EQ(ks_not_captured_count(KS_NC_LOB), 0u);
  EXPECT_EQ(d.parse(record_bytes(54, {commit(d, 5, 6, 78)}, d.vhsz(), false)), 0);
  EXPECT_EQ(ks_not_captured_count(KS_NC_LOB), 1u);
  EXPECT_NE(msg().find("LOB change not supported (rba=00002b.00000010.0020"), std::string::npos) << msg();

  // Index maintenance of a table that is not index-organised carries no row: quiet.
  Field iuri(24, false);
  iuri.u32(0, kOther).u8(16, 10);
  EXPECT_EQ(quiet(record_bytes(60, {Vec{5, 1, 1, 0, {ubh.b, iuri.b}}, Vec{10, 2, 1, 0, {Bytes(8)}}}, d.vhsz(), false)),
            KS_RC_NOT_CAPTURED);
  EXPECT_EQ(ks_not_captured_count(KS_NC_IOT), 0u);

  // A handler that refuses a change of a captured table (here: no supplemental header):
  // its own line, then the record's report; the commit in the same record still counts.
  Vec plain_irp{11, 2, 1, 0, {Bytes(8), redo.b, val}};
  EXPECT_EQ(d.parse(record_bytes(70, {undo(d, 1, 2, 3, h.b, {val}, Bytes()), plain_irp, commit(d, 1, 2, 3)}, d.vhsz(),
                                 false)),
            -1);
  EXPECT_NE(msg().find("change not decoded (rba=000001.00000002.0010, SCN: 70, XID: 1.2.3, table: APP.EMP, op: 11.2)."),
            std::string::npos)
      << msg();
  EXPECT_EQ(ks_not_captured_count(KS_NC_DECODE), 1u);
  ASSERT_EQ(d.lcrs.size(), 4u);  // after the three commits above
  EXPECT_EQ(d.lcrs[3].opc(), KS_OPC_COMMIT);

  // A change of a table outside the capture set passes over that change only: a commit
  // later in the same record still ends its transaction.
  Field ouri(24, false);
  ouri.u32(0, kOther).u8(16, 11);
  EXPECT_EQ(quiet(record_bytes(80, {Vec{5, 1, 1, 0, {ubh.b, ouri.b}}, plain_irp, commit(d, 7, 8, 9)}, d.vhsz(), false)),
            KS_RC_NOT_CAPTURED);
  ASSERT_EQ(d.lcrs.size(), 5u);
  EXPECT_EQ(d.lcrs[4].opc(), KS_OPC_COMMIT);

  ks_log_not_captured(true);
  EXPECT_NE(msg().find("records of captured tables not captured: 7 (LOB change not supported: 1, direct-path load not "
                       "supported: 2, chained row "
                       "incomplete: 3, change not decoded: 1)."),
            std::string::npos)
      << msg();
  ks_reset_not_captured();
  ks_log_inf.log_level = level;
}

// With no dictionary (redocat without one) nothing is captured: index upkeep, row
// changes, LOB data and locators, loads, rollback redo and quick inserts are passed over
// without a report, and commits are still taken.
TEST(RedoNoDictionary, EveryKindOfChangeIsPassedOverAndCommitsAreTaken) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    Decoder d(kDict, big ? 11 : 19, big);
    ASSERT_TRUE(d.ok());
    d.ex()->d = nullptr;
    ks_reset_not_captured();
    Field ubh(20, big), uri(24, big), redo(48, big), load(16, big), body(64, big), qm(24, big);
    ubh.u16(8, 1).u16(10, 2).u32(12, 3);
    redo.u8(10, 2).u8(16, 0x2C).u8(18, 1);
    load.u32(0, kObjn).u16(8, 5).u16(10, 6).u32(12, 77);
    body.u32(0, kObjn);
    qm.u8(10, 11).u16(18, 1);
    auto undo_of = [&](uint8_t layer) {
      uri.u32(0, kObjn).u8(16, layer);
      return Vec{5, 1, static_cast<uint16_t>(d.cls_usn() + 3), 0, {ubh.b, uri.b, Bytes(8), op_header(d, 2, 48)}};
    };
    const std::vector<std::vector<Vec>> records = {
        {undo_of(10), Vec{10, 2, 1, 0, {Bytes(8), Bytes(16)}}},  // index upkeep
        {undo_of(11), Vec{11, 2, 1, 0, {Bytes(8), redo.b, Bytes(2), sup_header(d, 0x0C)}}},
        {undo_of(26), Vec{26, 2, 1, 0, {Bytes(8), Bytes(8), Bytes(16)}}},
        {Vec{11, 17, 1, 0, {Bytes(8), Bytes{4, 0, 0, 0}, body.b}}},
        {Vec{24, 6, 1, 0, {load.b}}, Vec{19, 1, 1, 0, {Bytes(64)}}},
        {Vec{11, 3, 1, 0, {Bytes(8), op_header(d, 3, 20), sup_header(d, 0x0C)}}, undo_applied(d, 1, 2, 11)},
        {Vec{11, 11, 1, 0, {Bytes(8), qm.b, Bytes(2), Bytes(8)}}},
        {commit(d, 1, 2, 3)},
    };
    for (const auto &r : records) {
      int rc = d.parse(record_bytes(20, r, d.vhsz(), big));
      EXPECT_TRUE(rc == 0 || rc == KS_RC_NOT_CAPTURED) << "layer " << int(r[0].layer) << " rc " << rc;
    }
    ASSERT_EQ(d.lcrs.size(), 1u);
    EXPECT_EQ(d.lcrs[0].opc(), KS_OPC_COMMIT);
    for (int reason = 0; reason < KS_NC_REASONS; reason++) EXPECT_EQ(ks_not_captured_count(reason), 0u) << reason;
  }
}

// Redo written while a transaction rolls back has no undo vector; its 5.6 names the
// object and the slot, and the transaction is the previous record's.
TEST(RedoRollback, InsertUndoneGivesADiscardDeleteLockUndoneGivesNothingOtherSlotsAreRefused) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    Decoder d(kDict, 10, big);
    ASSERT_TRUE(d.ok());
    const uint64_t xid = ks::redo::make_xid(4, 10, 900);
    auto rollback = [&](uint8_t code, size_t hlen, uint8_t slot, uint8_t ucode = 6) {
      Vec redo{11, code, 1, 0x00400c00, {Bytes(8), op_header(d, code, hlen), sup_header(d, 0x0C)}};
      d.ex()->m->pxid = xid;
      return d.parse(record_bytes(40, {redo, undo_applied(d, 4, slot, ucode)}, d.vhsz(), big));
    };
    rollback(3, 20, 10);
    ASSERT_EQ(d.lcrs.size(), 1u);
    const Lcr &l = d.lcrs[0];
    EXPECT_EQ(l.opc(), static_cast<uint32_t>(KS_OPC_DELETE));
    EXPECT_EQ(l.flag(), 0x101000u);
    EXPECT_EQ(l.rec.size(), 96u);
    EXPECT_EQ(ks::load<uint32_t>(l.rec.data() + 12), 0u);  // no new image
    EXPECT_EQ(ks::load<uint32_t>(l.rec.data() + 16), 0u);  // no old image
    EXPECT_STREQ(reinterpret_cast<const char *>(l.rec.data() + 32), "APP");
    EXPECT_STREQ(reinterpret_cast<const char *>(l.rec.data() + 64), "EMP");
    EXPECT_EQ(l.xid, xid);
    EXPECT_EQ(l.scn, 40u);
    d.lcrs.clear();

    rollback(2, 48, 10);  // a delete undone: the row comes back
    ASSERT_EQ(d.lcrs.size(), 1u);
    EXPECT_EQ(d.lcrs[0].opc(), static_cast<uint32_t>(KS_OPC_INSERT));
    d.lcrs.clear();

    rollback(4, 20, 10);  // a row lock undone
    rollback(4, 20, 11);  // ... even of another transaction
    EXPECT_TRUE(d.lcrs.empty());

    // Slot 11 is neither the previous record's transaction nor an open one: a full
    // rollback of it is passed over quietly, a rollback to a savepoint is refused.
    KS_ERROR("mark");
    rollback(3, 20, 11);
    EXPECT_TRUE(d.lcrs.empty());
    EXPECT_EQ(std::string(ks_log_get_message()).find("partial rollback"), std::string::npos);
    // Refused by the handler ("partial rollback xid not same as previous record"), and so
    // reported as a change not decoded.
    const uint64_t before = ks_not_captured_count(KS_NC_DECODE);
    EXPECT_EQ(rollback(3, 20, 11, 11), -1);
    EXPECT_TRUE(d.lcrs.empty());
    EXPECT_EQ(ks_not_captured_count(KS_NC_DECODE), before + 1);
  }
}

}  // namespace
