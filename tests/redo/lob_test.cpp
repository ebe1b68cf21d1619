// LOB capture beyond what the fixture logs' expected lines show: a CLOB of a multi-byte
// source carries two bytes per character, the LOB operations in flight survive a save and
// restore of their state (and damaged state is refused), and in-row locators claiming
// more than an in-row LOB can hold are rejected.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
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
