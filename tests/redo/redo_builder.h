// Builds redo records in memory for the decoder tests: change vectors from their fields
// (length array and 4-byte padding as the log holds them) in either byte order and
// header size, and a decoding context over one dictionary file whose changes are
// collected instead of reaching a transaction table.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "lib/bytes.h"

namespace redotest {

using Bytes = std::vector<uint8_t>;

// A field of n zero bytes, then set parts of it in the redo's byte order.
struct Field {
  Bytes b;
  bool big;
  Field(size_t n, bool big_endian) : b(n), big(big_endian) {}
  Field &u8(size_t at, uint8_t v) {
    fit(at + 1);
    b[at] = v;
    return *this;
  }
  Field &u16(size_t at, uint16_t v) {
    fit(at + 2);
    ks::store16(b.data() + at, v, big);
    return *this;
  }
  Field &u32(size_t at, uint32_t v) {
    fit(at + 4);
    ks::store32(b.data() + at, v, big);
    return *this;
  }
  void fit(size_t n) {
    if (b.size() < n) b.resize(n);
  }
  Field &raw(size_t at, const std::string &s) {
    b.resize(std::max(b.size(), at + s.size()));
    memcpy(b.data() + at, s.data(), s.size());
    return *this;
  }
};

struct Vec {
  uint8_t layer, code;
  uint16_t cls = 1;
  uint32_t dba = 0;
  std::vector<Bytes> fields;
};

inline uint32_t pad4(size_t n) { return static_cast<uint32_t>((n + 3) & ~size_t(3)); }

inline Bytes vector_bytes(const Vec &v, int vhsz, bool big) {
  Bytes out(static_cast<size_t>(vhsz));
  out[0] = v.layer;
  out[1] = v.code;
  ks::store16(out.data() + 2, v.cls, big);
  ks::store32(out.data() + 8, v.dba, big);
  size_t e0 = 2 * (v.fields.size() + 1);
  Bytes arr(pad4(e0));
  ks::store16(arr.data(), static_cast<uint16_t>(e0), big);
  for (size_t k = 0; k < v.fields.size(); k++)
    ks::store16(arr.data() + 2 * (k + 1), static_cast<uint16_t>(v.fields[k].size()), big);
  out.insert(out.end(), arr.begin(), arr.end());
  for (const Bytes &f : v.fields) {
    out.insert(out.end(), f.begin(), f.end());
    out.resize(out.size() + (pad4(f.size()) - f.size()));
  }
  return out;
}

struct RecordOpts {
  uint8_t vld = 0x01;
  uint32_t con_uid = 0;
  uint32_t ts = 0;  // 68-byte headers (vld bit 0x04)
};

inline Bytes record_bytes(uint64_t scn, const std::vector<Vec> &vs, int vhsz, bool big, RecordOpts o = {}) {
  size_t hsz = (o.vld & 0x04) ? 68 : 24;
  Bytes r(hsz);
  r[4] = o.vld;
  ks::store16(r.data() + 6, static_cast<uint16_t>(scn >> 32), big);
  ks::store32(r.data() + 8, static_cast<uint32_t>(scn), big);
  ks::store32(r.data() + 16, o.con_uid, big);
  if (hsz == 68) ks::store32(r.data() + 64, o.ts, big);
  for (const Vec &v : vs) {
    Bytes b = vector_bytes(v, vhsz, big);
    r.insert(r.end(), b.begin(), b.end());
  }
  ks::store32(r.data(), static_cast<uint32_t>(r.size()), big);
  return r;
}

// One decoded change, copied out of the decoder's buffer.
struct Lcr {
  Bytes rec;
  uint64_t xid, scn;
  uint32_t sct;
  uint32_t opc() const { return ks::load<uint32_t>(rec.data() + 8); }
  uint32_t flag() const { return ks::load<uint32_t>(rec.data() + 4); }
};

// A decoder over one dictionary file, with the redo's version and byte order.
class Decoder {
 public:
  Decoder(const std::string &dict_file, int major, bool big) : mem_(KS_BUF_TOTAL) {
    ks_cut_buffer(&buf_, mem_.data());
    ok_ = ks_dict_load_block(dict_file.c_str(), malloc, free, &block_) == 0;
    if (ok_) ks_dict_attach(block_, &dict_);
    log_.flag = big ? KS_LOGF_BIG_ENDIAN : 0;
    log_.vhsz = major >= 12 ? 32 : 24;
    log_.cls_usn = major == 10 ? 11 : 15;
    log_.blk_sz = 512;
    ex_.b = &buf_;
    ex_.l = &log_;
    ex_.m = &x_miner;
    ex_.d = &dict_;
    x_miner = ks_miner_t{};
    x_start_scn = 0;
    x_end_scn = 0;
    current = this;
    x_lcr_tap = tap;
  }
  ~Decoder() {
    // The chain buffer stays bound to these work buffers, and the next decoder's may take
    // their address once freed: unbound, it starts afresh on them rather than on the
    // state this decoder left.
    x_chain.buf = nullptr;
    x_lcr_tap = nullptr;
    x_start_scn = 0;
    x_end_scn = 0;
    current = nullptr;
    free(block_);
  }
  bool ok() const { return ok_; }
  int vhsz() const { return log_.vhsz; }
  int cls_usn() const { return log_.cls_usn; }
  bool big() const { return (log_.flag & KS_LOGF_BIG_ENDIAN) != 0; }
  ks_extr_t *ex() { return &ex_; }

  // Decodes one record from an exact-size copy: a read past it is a sanitizer report.
  int parse(const Bytes &r, ks_rba_t rba = {1, 2, 16}) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[r.size()]);
    memcpy(exact.get(), r.data(), r.size());
    uint8_t *saved = buf_.record;
    buf_.record = exact.get();
    x_miner.rba = rba;
    int rc = ks_parse_record(&ex_, static_cast<int>(r.size()));
    buf_.record = saved;
    return rc;
  }

  std::vector<Lcr> lcrs;

 private:
  static int tap(ks_extr_t *, ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct) {
    const auto *p = reinterpret_cast<const uint8_t *>(rh);
    current->lcrs.push_back({Bytes(p, p + ks::load<uint32_t>(p)), xid, scn, sct});
    return 0;
  }
  static inline Decoder *current = nullptr;
  std::vector<uint8_t> mem_;
  ks_buffer_t buf_{};
  uint8_t *block_ = nullptr;
  ks_dict_t dict_{};
  ks_logf_t log_{};
  ks_extr_t ex_{};
  bool ok_ = false;
};

}  // namespace redotest
