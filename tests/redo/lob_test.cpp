// LOB capture beyond what the fixture logs' expected lines show: a CLOB of a multi-byte
// source carries two bytes per character, the LOB operations in flight survive a save and
// restore of their state (and damaged state is refused), and in-row locators claiming
// more than an in-row LOB can hold are rejected, and a LOB operation beyond the
// descriptors there are is refused out loud while the others complete.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "lib/log/log.h"
#include "tests/redo/redo_builder.h"
#include "tests/testutil.h"

namespace {

std::string fixture(const char *ext) { return std::string(KS_TEST_DATA_DIR) + "/redo/lob_le_v19_b512" + ext; }

}  // namespace

TEST(RedoLob, TwoByteClobCarriesTwiceTheBytesAndTheHeapInsertIsSkipped) {
  std::string out = kstest::sh(std::string(KS_BIN_DIR) + "/redocat -m -j -f " + fixture(".redo") + " -d " +
                               fixture(".dict") + " 2>/dev/null");
  // 8 bytes per block are 4 characters: two pieces of 4, 8 bytes each, 4 characters left.
  EXPECT_NE(out.find("\"amount\": 4, \"offset\": 1, \"data\": \"48454c4c4f2c2057\"}"), std::string::npos) << out;
  EXPECT_NE(out.find("\"amount\": 4, \"offset\": 5, \"data\": \"4f524c4400000000\"}"), std::string::npos) << out;
  size_t inserts = 0;
  for (size_t p = out.find("\"op\": \"INSERT\""); p != std::string::npos; p = out.find("\"op\": \"INSERT\"", p + 1))
    inserts++;
  EXPECT_EQ(inserts, 1u) << "only the INSERT built from the first LLB";
  EXPECT_NE(out.find("\"op\": \"COMMIT\""), std::string::npos);
}

TEST(RedoLob, OperationsInFlightSurviveSaveAndRestore) {
  std::vector<uint8_t> mem(KS_BUF_TOTAL);
  ks_buffer_t buf;
  ks_cut_buffer(&buf, mem.data());
  ks_extr_t ex{};
  ex.b = &buf;
  ks_llb_reset();
  std::vector<uint8_t> state(KS_LLB_STATE_MAX);
  EXPECT_EQ(ks_llb_save_state(&ex, state.data(), KS_LLB_STATE_MAX), 0) << "nothing in flight, nothing saved";

  x_llb.flag = KS_LLB_USED | KS_LLB_SECOND | KS_LLB_KEPT;
  x_llb.op = KS_LLB_OP_INSERT;
  x_llb.objn = 74700;
  x_llb.xid = 0x0004000200000384ULL;
  x_llb.vlen = 96;
  x_llb.offset = 1ULL << 40;
  std::memcpy(x_llb.lob_id, "0123456789", 10);
  for (uint32_t i = 0; i < 96; i++) buf.llb_buf[i] = static_cast<uint8_t>(i);
  x_llba[31] = x_llb;
  x_llba[31].sblk = 7;
  x_llba[31].blks = 1;
  x_lob_data[4095] = 0x5A;
  const ks_llb_t cur = x_llb, parked = x_llba[31];

  int n = ks_llb_save_state(&ex, state.data(), KS_LLB_STATE_MAX);
  ASSERT_GT(n, 0);
  EXPECT_EQ(ks_llb_save_state(&ex, state.data(), static_cast<uint32_t>(n) - 1), -1);
  ks_llb_reset();
  std::memset(buf.llb_buf, 0, 96);
  ASSERT_EQ(ks_llb_load_state(&ex, state.data(), static_cast<uint32_t>(n)), 0);
  EXPECT_EQ(std::memcmp(&x_llb, &cur, sizeof cur), 0);
  EXPECT_EQ(std::memcmp(&x_llba[31], &parked, sizeof parked), 0);
  EXPECT_EQ(x_lob_data[4095], 0x5A);
  EXPECT_EQ(buf.llb_buf[95], 95);
  EXPECT_EQ(ks_llb_find(74700, cur.xid), &x_llb);
  EXPECT_EQ(ks_llb_find_id(reinterpret_cast<const uint8_t *>("0123456789")), &x_llb);

  // Cut short or of another kind: refused, nothing half restored.
  EXPECT_EQ(ks_llb_load_state(&ex, state.data(), static_cast<uint32_t>(n) - 1), -1);
  EXPECT_EQ(x_llb.flag, 0u);
  state[0] ^= 1;
  EXPECT_EQ(ks_llb_load_state(&ex, state.data(), static_cast<uint32_t>(n)), -1);
  ks_llb_reset();
}

TEST(RedoLob, InRowLocatorLongerThanAnInRowLobIsRejected) {
  std::vector<uint8_t> loc(36 + 3965);
  uint8_t *p;
  int n;
  loc[28] = 3965 >> 8;
  loc[29] = 3965 & 0xFF;
  EXPECT_EQ(ks_parse_lob_inrow(loc.data(), static_cast<int>(loc.size()), &p, &n), -1);
  loc[29] = 3964 & 0xFF;
  EXPECT_EQ(ks_parse_lob_inrow(loc.data(), static_cast<int>(loc.size()), &p, &n), 0);
  EXPECT_EQ(n, 3964);
}

// 34 transactions each open a LOB operation before any goes on: one current descriptor
// and 32 parked hold 33 of them; the last is refused and reported, and every one of the
// others, parked or current, still gives its INSERT, LOB SELECT and last LOB WRITE.
TEST(RedoLob, OperationBeyondTheDescriptorsIsRefusedAndReportedTheOthersComplete) {
  using namespace redotest;
  Decoder d(std::string(KS_TEST_DATA_DIR) + "/redo/lobsf_le_v19_b512.dict", 19, false);
  ASSERT_TRUE(d.ok());
  ks_llb_reset();
  ks_reset_not_captured();
  const uint32_t kDocs = 74701;
  const int kTx = 1 + KS_LLB_PARKED + 1;
  auto llb = [&](uint8_t type, const Field &body, std::vector<Bytes> extra = {}) {
    Vec v{11, 17, 1, 0, {Bytes(8), Bytes{type}, body.b}};
    v.fields.insert(v.fields.end(), extra.begin(), extra.end());
    return record_bytes(10, {v}, d.vhsz(), false);
  };
  auto id = [](int i) {
    return std::string("LOBID00") + static_cast<char>('A' + i / 26) + "0" + static_cast<char>('a' + i % 26);
  };
  for (int i = 0; i < kTx; i++) {
    Field f(24, false), key(2, false);
    f.u32(0, kDocs).u16(8, 6).u16(10, static_cast<uint16_t>(i)).u32(12, 100).u8(16, KS_LLB_OP_INSERT);
    key.u8(0, 0xC1).u8(1, static_cast<uint8_t>(i + 2));
    Field scid(2, false), len(2, false);
    scid.u16(0, 1);
    len.u16(0, 2);
    Field lobs(2, false);
    lobs.u16(0, 2);
    const int rc = d.parse(llb(4, f, {lobs.b, Bytes(), scid.b, len.b, Bytes(), Bytes(), key.b}));
    EXPECT_EQ(rc, i < kTx - 1 ? 0 : -1) << i << ": " << ks_log_get_message();
  }
  EXPECT_NE(std::string(ks_log_get_message()).find("op: 11.17"), std::string::npos) << ks_log_get_message();
  EXPECT_EQ(ks_not_captured_count(KS_NC_DECODE), 1u) << "the refused operation is reported";
  for (int i = 0; i < kTx; i++) {
    Field second(64, false), load2(24, false), load3(56, false), load5(16, false), third(20, false), commit(20, false);
    second.u8(0, KS_LLB_OP_INSERT).u16(4, 6).u16(6, static_cast<uint16_t>(i)).u32(8, 100).raw(12, id(i));
    second.u16(22, 2).u32(32, 2).u32(36, kDocs);
    load2.u16(16, 6).u16(18, static_cast<uint16_t>(i)).u32(20, 100);
    load3.raw(12, id(i)).u16(52, 2);
    load5.u32(12, kDocs);
    third.u16(0, 6).u16(2, static_cast<uint16_t>(i)).u32(4, 100).u32(8, kDocs).u32(12, 2);
    commit.u16(0, static_cast<uint16_t>(i)).u32(4, 100).u8(16, 0x12);
    d.parse(llb(1, second));
    d.parse(
        record_bytes(11, {Vec{26, 6, 1, 0, {Bytes(8), load2.b, load3.b, Bytes{'h', 'i'}, load5.b}}}, d.vhsz(), false));
    d.parse(llb(2, third));
    d.parse(record_bytes(12, {Vec{5, 4, static_cast<uint16_t>(d.cls_usn() + 12), 0, {commit.b}}}, d.vhsz(), false));
  }
  std::vector<std::vector<uint32_t>> ops(kTx);
  for (const Lcr &l : d.lcrs) {
    const int slot = static_cast<int>((l.xid >> 32) & 0xFFFF);
    ASSERT_LT(slot, kTx);
    ops[slot].push_back(l.opc());
    if (l.opc() == KS_OPC_LOB_WRITE) {
      EXPECT_TRUE(l.flag() & KS_RH_LOB_LAST);
      EXPECT_EQ(std::string(l.rec.begin() + KS_LCR_RH_SZ + 12, l.rec.end()), "hi");
    }
  }
  const std::vector<uint32_t> whole{KS_OPC_INSERT, KS_OPC_LOB_SELECT, KS_OPC_LOB_WRITE, KS_OPC_COMMIT};
  for (int i = 0; i < kTx - 1; i++) EXPECT_EQ(ops[i], whole) << "transaction " << i;
  // The refused one brings no LOB change of its own (its later vectors find no operation,
  // each reported), and nothing of it goes to another transaction.
  EXPECT_EQ(ops[kTx - 1], std::vector<uint32_t>{KS_OPC_COMMIT});
  EXPECT_GT(ks_not_captured_count(KS_NC_DECODE), 1u);
  EXPECT_FALSE(ks_llb_any()) << "every descriptor released";
  ks_llb_reset();
}
