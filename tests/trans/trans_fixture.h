// Shared by the transaction-table tests: a private home with the unit's data folder, a
// transaction table opened with chosen parameters, record builders and a trail reader.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "extract/trans/trans.h"
#include "lib/log/log.h"
#include "tests/testutil.h"

namespace kstest {

inline int g_max_trans = 0;
inline int g_trans_sz = 0;
inline int test_params(int *max_trans, int *trans_sz) {
  *max_trans = g_max_trans;
  *trans_sz = g_trans_sz;
  return 0;
}

inline uint64_t xid_of(uint64_t usn, uint64_t slot, uint64_t sqn) { return usn << 48 | slot << 32 | sqn; }

// One record, 8-byte aligned as the LCR work area is.
struct Rec {
  std::vector<uint64_t> mem;
  ks_lcr_rh_t *rh() { return reinterpret_cast<ks_lcr_rh_t *>(mem.data()); }
  uint8_t *bytes() { return reinterpret_cast<uint8_t *>(mem.data()); }
  uint32_t rlen() { return ks_lcr_u32(mem.data(), 0); }
};

// A full record of rlen bytes (at least 96), its body filled with a pattern.
inline Rec full_rec(uint32_t opc, uint32_t rlen, uint32_t flag = 0, uint8_t fill = 0x5A) {
  Rec r;
  r.mem.assign((rlen + 7) / 8, 0);
  ks_lcr_rh_t h = {};
  h.rlen = rlen;
  h.flag = flag;
  h.opc = opc;
  h.opos = KS_LCR_RH_SZ;
  std::strcpy(h.ownr, "SCOTT");
  std::strcpy(h.onam, "EMP");
  std::memcpy(r.bytes(), &h, sizeof h);
  for (uint32_t i = KS_LCR_RH_SZ; i < rlen; i++) r.bytes()[i] = static_cast<uint8_t>(fill + i);
  return r;
}

inline Rec short_rec(uint32_t opc, uint32_t dlen = 0) {
  Rec r;
  r.mem.assign((16 + dlen + 7) / 8, 0);
  ks_lcr_rhs_t h = {16 + dlen, KS_RH_SHORT, opc, dlen};
  std::memcpy(r.bytes(), &h, sizeof h);
  return r;
}

struct TrailTrans {
  ks_lcr_th_t th;
  std::string body;  // bytes after the 32-byte header
  long offset;
};

struct TrailFile {
  ks_trail_fh_t fh = {};
  std::vector<TrailTrans> trans;
  bool has_marker = false;
  long marker_at = -1;
  size_t size = 0;
};

// Reads a trail file written by the writer: walks the transactions from 64 to the end of
// the data (the on-disk tail of an open file lags) and notes an end-of-file marker.
inline TrailFile read_trail(const std::string &path) {
  TrailFile tf;
  std::string d = read_file(path);
  tf.size = d.size();
  if (d.size() < 64) return tf;
  std::memcpy(&tf.fh, d.data(), 64);
  size_t off = 64;
  while (off + 32 <= d.size()) {
    ks_lcr_th_t th;
    std::memcpy(&th, d.data() + off, 32);
    if (th.flag & KS_TH_EOF) {
      tf.has_marker = true;
      tf.marker_at = static_cast<long>(off);
      break;
    }
    if (th.tlen < 32 || off + th.tlen > d.size()) break;
    tf.trans.push_back({th, d.substr(off + 32, th.tlen - 32), static_cast<long>(off)});
    off += th.tlen;
  }
  return tf;
}

class TransTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::strcpy(unit_name, "U");
    std::strcpy(com_name, "C");
    mkdir(home.file("data/U").c_str(), 0755);
    x_rac = 0;
    x_thrd = 0;
    x_last_scn = 0;
    ks_trans_set_param_source(test_params);
    params(10, 4096);
  }
  void TearDown() override {
    if (t.buf != nullptr) ks_trans_close(&t);
    ks_trans_set_param_source(nullptr);
  }
  void params(int max_trans, int trans_sz) {
    g_max_trans = max_trans;
    g_trans_sz = trans_sz;
  }
  // Opens a fresh table for trail file number fseq.
  int open(int fseq = 0) {
    t = {};
    t.fd = -1;
    t.fseq = fseq;
    ex = {};
    ex.t = &t;
    return ks_trans_open(&t);
  }
  int add(Rec r, uint64_t xid, uint64_t scn, uint32_t sct = 1000) {
    return ks_append_lcr(&ex, r.rh(), xid, scn, sct);
  }
  int commit(uint64_t xid, uint64_t scn, uint32_t sct = 2000) {
    return add(short_rec(KS_OPC_COMMIT), xid, scn, sct);
  }
  // Adds records of rlen at most 60000 whose lengths sum to total bytes.
  void add_bytes(uint64_t xid, uint64_t scn, uint64_t total) {
    while (total > 0) {
      uint64_t n = total > 60000 ? 60000 : total;
      if (total - n > 0 && total - n < 96) n -= 96;
      ASSERT_EQ(add(full_rec(KS_OPC_INSERT, static_cast<uint32_t>(n)), xid, scn), 0);
      total -= n;
    }
  }
  std::string trail(int n) const { return home.file("data/U/C_" + std::to_string(n) + ".dat"); }
  std::string spill(uint64_t xid, uint64_t sscn) const {
    return home.file("data/U/C_" + std::to_string(xid) + "." + std::to_string(sscn));
  }
  std::string save_file() const { return home.file("data/U/t_C.trans"); }
  std::string last_message() const { return ks_log_get_message(); }

  TempHome home;
  ks_trans_t t = {};
  ks_extr_t ex = {};
};

}  // namespace kstest
