// Shared by the transaction-table tests: a private home with the unit's data folder, a
// transaction table opened with chosen parameters, record builders and a trail reader.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "extract/trans/trans.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace kstest {

inline off_t file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
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
  // A private installation: unit U with extract component C, and the system segment
  // loaded with that configuration (the table's parameters and memory come from there).
  void SetUp() override {
    std::strcpy(unit_name, "U");
    std::strcpy(com_name, "C");
    mkdir(home.file("data/U").c_str(), 0755);
    x_rac = 0;
    x_thrd = 0;
    x_last_scn = 0;
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_t cfg;
    ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0) << omsg;
    ks_cfg_file_header(&cfg)->shm_sz = 32 * 1024 * 1024;
    ks_cfg_funit_t u{};
    std::strcpy(u.un_name, "U");
    ASSERT_EQ(ks_cfg_add_unit(&cfg, &u, omsg), 0) << omsg;
    ks_cfg_fcom_t c{};
    std::strcpy(c.name, "C");
    c.com_typ = 1;
    ASSERT_EQ(ks_cfg_add_com(&cfg, "U", &c, omsg), 0) << omsg;
    cfg.flag |= KS_CFG_MODIFIED;
    ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0) << omsg;
    guard = std::make_unique<IpcGuard>();
    ASSERT_EQ(ks_shm_create(), 0) << ks_log_get_message();
    ASSERT_EQ(ks_cfg_load(), 0) << ks_log_get_message();
    ks_shm_mark_sys_used();
    params(10, 4096);
  }
  void TearDown() override {
    if (t.buf != nullptr) ks_trans_close(&t);
    guard.reset();
  }
  // Stores the component's parameters and reloads them into the segment.
  void params(int max_trans, int trans_sz) {
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_t cfg;
    ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0) << omsg;
    ks_cfg_fparm_t p{};
    p.max_trans = static_cast<uint32_t>(max_trans);
    p.trans_sz = static_cast<uint32_t>(trans_sz);
    ASSERT_EQ(ks_cfg_add_param(&cfg, "U", "C", &p, omsg), 0) << omsg;
    cfg.flag |= KS_CFG_MODIFIED;
    ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0) << omsg;
    ASSERT_EQ(ks_cfg_reload(), 0) << ks_log_get_message();
  }
  // Opens a fresh table for trail file number fseq.
  int open(int fseq = 0) {
    t = {};
    t.fd = -1;
    t.fseq = fseq;
    t.mem_max = mem_max;
    ex = {};
    ex.t = &t;
    return ks_trans_open(&t);
  }
  int add(Rec r, uint64_t xid, uint64_t scn, uint32_t sct = 1000) { return ks_append_lcr(&ex, r.rh(), xid, scn, sct); }
  int commit(uint64_t xid, uint64_t scn, uint32_t sct = 2000) { return add(short_rec(KS_OPC_COMMIT), xid, scn, sct); }
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
  std::unique_ptr<IpcGuard> guard;
  size_t mem_max = 0;  // the pool's budget at the next open (0: the default)
  ks_trans_t t = {};
  ks_extr_t ex = {};
};

}  // namespace kstest
