// Encoding of redo records and change vectors for the simulated source; see the header.
#include "sim/source/redo_encode.h"

#include <cstring>

namespace ks::sim {

using namespace ks::redo;

namespace {
constexpr int kMaxFields = 1100;
const uint8_t kZero[256] = {};
}  // namespace

void ks_redo_record::begin(uint64_t scn, uint8_t vld, uint32_t con_uid, uint32_t ts) {
  uint32_t hs = uint32_t(record_header_size(vld));
  std::memset(buf_, 0, hs);
  buf_[KS_REDO_RH_VLD] = vld;
  put16(buf_ + KS_REDO_RH_SCN_WRAP, uint16_t(scn >> 32));
  put32(buf_ + KS_REDO_RH_SCN_BASE, uint32_t(scn));
  put32(buf_ + KS_REDO_RH_CON_UID, con_uid);
  if (vld & KS_REDO_VLD_LONG) put32(buf_ + KS_REDO_RH_TIME, ts);
  len_ = hs;
  nvec_ = 0;
  overflow_ = false;
}

void ks_redo_record::vector(uint8_t layer, uint8_t code, uint16_t cls, uint32_t dba, const ks_field_t *f, int n) {
  uint32_t e0 = uint32_t(2 * (n + 1));
  uint32_t size = uint32_t(vhsz_) + align4(e0);
  for (int i = 0; i < n; i++) size += align4(f[i].len);
  if (overflow_ || len_ + size > kCapacity || n >= 32767) {
    overflow_ = true;
    return;
  }
  uint8_t *v = buf_ + len_;
  std::memset(v, 0, size_t(vhsz_) + align4(e0));
  v[KS_REDO_CV_LAYER] = layer;
  v[KS_REDO_CV_CODE] = code;
  put16(v + KS_REDO_CV_CLASS, cls);
  put32(v + KS_REDO_CV_DBA, dba);
  uint8_t *la = v + vhsz_;
  put16(la, uint16_t(e0));
  for (int i = 0; i < n; i++) put16(la + 2 * (i + 1), uint16_t(f[i].len));
  uint8_t *p = la + align4(e0);
  for (int i = 0; i < n; i++) {
    uint32_t a = align4(f[i].len);
    if (f[i].len) std::memcpy(p, f[i].p, f[i].len);
    std::memset(p + f[i].len, 0, a - f[i].len);
    p += a;
  }
  len_ += size;
  nvec_++;
}

int ks_redo_record::finish() {
  if (overflow_) return -1;
  put32(buf_ + KS_REDO_RH_LENGTH, len_);
  return 0;
}

void ks_redo_record::undo_seg_header(uint16_t usn) {
  ks_field_t f[1] = {{kZero, KS_REDO_UH_SIZE}};
  vector(5, 2, undo_header_class(usn), undo_header_dba(usn), f, 1);
}

void ks_redo_record::undo_common(uint64_t xid, uint32_t objn, uint8_t layer, uint8_t *ubh, uint8_t *uri) {
  std::memset(ubh, 0, KS_REDO_UBH_SIZE);
  std::memset(uri, 0, KS_REDO_URI_SIZE);
  put16(ubh + KS_REDO_UBH_USN, xid_usn(xid));
  put16(ubh + KS_REDO_UBH_SLOT, xid_slot(xid));
  put32(ubh + KS_REDO_UBH_SQN, xid_sqn(xid));
  put32(uri + KS_REDO_URI_OBJN, objn);
  uri[KS_REDO_URI_LAYER] = layer;
}

// hdr must hold KS_REDO_SUP_SIZE_LONG bytes, arrays 4 * ncol bytes.
int ks_redo_record::add_suplog(const ks_suplog_t &s, ks_field_t *f, int n, uint8_t *hdr, uint8_t *arrays) {
  int hl = s.long_hdr ? KS_REDO_SUP_SIZE_LONG : KS_REDO_SUP_SIZE;
  std::memset(hdr, 0, size_t(hl));
  hdr[KS_REDO_SUP_FLAGS] = s.flags;
  put16(hdr + KS_REDO_SUP_COLUMNS, uint16_t(s.ncol));
  put16(hdr + KS_REDO_SUP_UNDO_SCID, s.undo_scid);
  put16(hdr + KS_REDO_SUP_REDO_SCID, s.redo_scid);
  if (s.long_hdr) {
    put32(hdr + KS_REDO_SUP_HEAD_DBA, s.head_dba);
    put16(hdr + KS_REDO_SUP_HEAD_SLOT, s.head_slot);
  }
  f[n++] = {hdr, uint32_t(hl)};
  // With no supplemental columns the number and length arrays are absent altogether.
  if (s.ncol == 0) return n;
  uint8_t *nums = arrays, *lens = arrays + 2 * s.ncol;
  for (int i = 0; i < s.ncol; i++) {
    put16(nums + 2 * i, s.scid[i]);
    put16(lens + 2 * i, s.val[i].len < 0 ? KS_REDO_SUP_NULL_LENGTH : uint16_t(s.val[i].len));
  }
  f[n++] = {nums, uint32_t(2 * s.ncol)};
  f[n++] = {lens, uint32_t(2 * s.ncol)};
  for (int i = 0; i < s.ncol && n < kMaxFields; i++)
    f[n++] = {s.val[i].p, s.val[i].len < 0 ? 0u : uint32_t(s.val[i].len)};
  return n;
}

namespace {
// Scratch for one vector: field list, header buffers and supplemental arrays.
struct Scratch {
  ks_field_t f[kMaxFields];
  uint8_t ubh[KS_REDO_UBH_SIZE], uri[KS_REDO_URI_SIZE], kdo[64], sup[KS_REDO_SUP_SIZE_LONG];
  uint8_t arrays[4 * 1000];
  uint8_t colno[2 * 1000];
};
thread_local Scratch t_s;

// Appends one field per column value (a NULL is an empty field), leaving room for the
// supplemental header and its arrays; returns the new field count.
int add_values(ks_field_t *f, int n, const ks_colval_t *val, int nv) {
  for (int i = 0; i < nv && n < kMaxFields - 8; i++) f[n++] = {val[i].p, val[i].len < 0 ? 0u : uint32_t(val[i].len)};
  return n;
}
}  // namespace

uint8_t *ks_redo_record::kdo_header(uint32_t dba, uint8_t code, int size) {
  uint8_t *h = t_s.kdo;
  std::memset(h, 0, size_t(size));
  put32(h + KS_REDO_KDO_DBA, dba);
  h[KS_REDO_KDO_OP] = code;
  return h;
}

int ks_redo_record::undo_fields(uint64_t xid, uint32_t objn, uint8_t layer, int hdr_size) {
  Scratch &s = t_s;
  undo_common(xid, objn, layer, s.ubh, s.uri);
  s.f[0] = {s.ubh, KS_REDO_UBH_SIZE};
  s.f[1] = {s.uri, KS_REDO_URI_SIZE};
  s.f[2] = {kZero, KS_REDO_UNDO_FIELD3_SIZE};
  s.f[3] = {hdr_size ? s.kdo : kZero, uint32_t(hdr_size ? hdr_size : 16)};
  return 4;
}

void ks_redo_record::undo_vector(int n, const ks_suplog_t *sup, uint16_t usn) {
  Scratch &s = t_s;
  if (sup) n = add_suplog(*sup, s.f, n, s.sup, s.arrays);
  vector(5, 1, undo_block_class(usn), undo_block_dba(usn), s.f, n);
}

void ks_redo_record::undo_of_insert(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_suplog_t &sup) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_DRP, KS_REDO_DRP_SIZE);
  put16(h + KS_REDO_DRP_SLOT, r.slot);
  int n = undo_fields(xid, objn, 11, KS_REDO_DRP_SIZE);
  undo_vector(n, &sup, xid_usn(xid));
}

void ks_redo_record::undo_of_delete(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_colval_t *old, int nold,
                                    const ks_suplog_t &sup) {
  Scratch &s = t_s;
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_IRP, KS_REDO_IRP_SIZE);
  h[KS_REDO_KDO_FLAG] = KS_REDO_ROW_WHOLE;
  h[KS_REDO_IRP_COLUMNS] = uint8_t(nold);
  put16(h + KS_REDO_IRP_SLOT, r.slot);
  int n = undo_fields(xid, objn, 11, KS_REDO_IRP_SIZE);
  n = add_values(s.f, n, old, nold);
  undo_vector(n, &sup, xid_usn(xid));
}

void ks_redo_record::undo_of_update(uint64_t xid, uint32_t objn, ks_rowref_t r, const uint16_t *colno,
                                    const ks_colval_t *old, int nc, const ks_suplog_t &sup, int stored) {
  Scratch &s = t_s;
  int nv = 0;  // columns with a before-image value (ascending input: they come first)
  while (nv < nc && colno[nv] < stored) nv++;
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_URP, KS_REDO_URP_SIZE);
  h[KS_REDO_KDO_FLAG] = KS_REDO_ROW_WHOLE;
  put16(h + KS_REDO_URP_SLOT, r.slot);
  h[KS_REDO_URP_COLUMNS] = uint8_t(nv);
  for (int i = 0; i < nv; i++) put16(s.colno + 2 * i, colno[i]);
  for (int i = nv; i < nc; i++) put16(s.colno + 2 * i, colno[nc - 1 - (i - nv)]);
  int n = undo_fields(xid, objn, 11, KS_REDO_URP_SIZE);
  s.f[n++] = {s.colno, uint32_t(2 * nc)};
  n = add_values(s.f, n, old, nv);
  undo_vector(n, &sup, xid_usn(xid));
}

void ks_redo_record::undo_of_qmi(uint64_t xid, uint32_t objn, uint32_t dba, uint16_t first_slot, uint16_t nrows,
                                 const ks_suplog_t &sup) {
  uint8_t *h = kdo_header(dba, KS_REDO_OP_QMD, KS_REDO_QM_SIZE);
  put16(h + KS_REDO_QM_ROWS, nrows);
  (void)first_slot;
  int n = undo_fields(xid, objn, 11, KS_REDO_QM_SIZE);
  undo_vector(n, &sup, xid_usn(xid));
}

void ks_redo_record::undo_of_lock(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_suplog_t *sup) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_LKR, KS_REDO_LKR_SIZE);
  put16(h + KS_REDO_LKR_SLOT, r.slot);
  int n = undo_fields(xid, objn, 11, KS_REDO_LKR_SIZE);
  undo_vector(n, sup, xid_usn(xid));
}

void ks_redo_record::undo_other(uint64_t xid, uint32_t objn, uint8_t layer, uint16_t usn) {
  int n = undo_fields(xid, objn, layer, 0);
  undo_vector(n, nullptr, usn);
}

void ks_redo_record::redo_irp(ks_rowref_t r, const ks_colval_t *val, int nv, const ks_suplog_t *sup) {
  Scratch &s = t_s;
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_IRP, KS_REDO_IRP_SIZE);
  h[KS_REDO_KDO_FLAG] = KS_REDO_ROW_WHOLE;
  h[KS_REDO_IRP_COLUMNS] = uint8_t(nv);
  put16(h + KS_REDO_IRP_SLOT, r.slot);
  s.f[0] = {kZero, KS_REDO_KDO_FIELD1_SIZE};
  s.f[1] = {h, KS_REDO_IRP_SIZE};
  int n = add_values(s.f, 2, val, nv);
  if (sup) n = add_suplog(*sup, s.f, n, s.sup, s.arrays);
  vector(11, KS_REDO_OP_IRP, 1, r.dba, s.f, n);
}

void ks_redo_record::redo_drp(ks_rowref_t r, const ks_suplog_t *sup) {
  Scratch &s = t_s;
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_DRP, KS_REDO_DRP_SIZE);
  put16(h + KS_REDO_DRP_SLOT, r.slot);
  s.f[0] = {kZero, KS_REDO_KDO_FIELD1_SIZE};
  s.f[1] = {h, KS_REDO_DRP_SIZE};
  int n = 2;
  if (sup) n = add_suplog(*sup, s.f, n, s.sup, s.arrays);
  vector(11, KS_REDO_OP_DRP, 1, r.dba, s.f, n);
}

void ks_redo_record::redo_urp(ks_rowref_t r, const uint16_t *colno, const ks_colval_t *val, int nc,
                              const ks_suplog_t *sup) {
  Scratch &s = t_s;
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_URP, KS_REDO_URP_SIZE);
  h[KS_REDO_KDO_FLAG] = KS_REDO_ROW_WHOLE;
  put16(h + KS_REDO_URP_SLOT, r.slot);
  h[KS_REDO_URP_COLUMNS] = uint8_t(nc);
  for (int i = 0; i < nc; i++) put16(s.colno + 2 * i, colno[i]);
  s.f[0] = {kZero, KS_REDO_KDO_FIELD1_SIZE};
  s.f[1] = {h, KS_REDO_URP_SIZE};
  s.f[2] = {s.colno, uint32_t(2 * nc)};
  int n = add_values(s.f, 3, val, nc);
  if (sup) n = add_suplog(*sup, s.f, n, s.sup, s.arrays);
  vector(11, KS_REDO_OP_URP, 1, r.dba, s.f, n);
}

void ks_redo_record::redo_qmi(uint32_t dba, uint16_t first_slot, const ks_colval_t *const *rows, const int *ncol,
                              int nrows) {
  Scratch &s = t_s;
  put16(kdo_header(dba, KS_REDO_OP_QMI, KS_REDO_QM_SIZE) + KS_REDO_QM_ROWS, uint16_t(nrows));
  (void)first_slot;
  // Rows are laid out back to back in one field, their lengths in another.
  static thread_local uint8_t rowbuf[KS_REDO_MAX_RECORD];
  uint32_t off = 0;
  bool too_big = nrows > 2000;
  for (int i = 0; i < nrows && !too_big; i++) {
    uint32_t start = off;
    uint32_t need = KS_REDO_QMI_ROW_HEADER;
    for (int c = 0; c < ncol[i]; c++) need += rows[i][c].len < 0 ? 1 : (rows[i][c].len <= KS_REDO_QMI_SHORT_MAX ? 1 : 3) + uint32_t(rows[i][c].len);
    if (off + need > sizeof rowbuf) { too_big = true; break; }
    rowbuf[off++] = KS_REDO_ROW_WHOLE;
    rowbuf[off++] = 0;
    rowbuf[off++] = uint8_t(ncol[i]);
    for (int c = 0; c < ncol[i]; c++) {
      const ks_colval_t &v = rows[i][c];
      if (v.len < 0) {
        rowbuf[off++] = KS_REDO_QMI_NULL;
        continue;
      }
      if (v.len <= KS_REDO_QMI_SHORT_MAX) {
        rowbuf[off++] = uint8_t(v.len);
      } else {
        rowbuf[off++] = KS_REDO_QMI_LONG;
        put16(rowbuf + off, uint16_t(v.len));
        off += 2;
      }
      if (v.len) std::memcpy(rowbuf + off, v.p, size_t(v.len));
      off += uint32_t(v.len);
    }
    put16(s.colno + 2 * i, uint16_t(off - start));
  }
  if (too_big || nrows > int(sizeof s.colno / 2)) {
    overflow_ = true;
    return;
  }
  int n = 0;
  s.f[n++] = {kZero, KS_REDO_KDO_FIELD1_SIZE};
  s.f[n++] = {s.kdo, KS_REDO_QM_SIZE};
  s.f[n++] = {s.colno, uint32_t(2 * nrows)};
  s.f[n++] = {rowbuf, off};
  vector(11, KS_REDO_OP_QMI, 1, dba, s.f, n);
}

void ks_redo_record::redo_lkr(ks_rowref_t r) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_LKR, KS_REDO_LKR_SIZE);
  put16(h + KS_REDO_LKR_SLOT, r.slot);
  ks_field_t f[2] = {{kZero, KS_REDO_KDO_FIELD1_SIZE}, {h, KS_REDO_LKR_SIZE}};
  vector(11, KS_REDO_OP_LKR, 1, r.dba, f, 2);
}

void ks_redo_record::redo_lmn(ks_rowref_t r) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_LMN, KS_REDO_KDO_OTHER_SIZE);
  put16(h + KS_REDO_LKR_SLOT, r.slot);
  ks_field_t f[2] = {{kZero, KS_REDO_KDO_FIELD1_SIZE}, {h, KS_REDO_KDO_OTHER_SIZE}};
  vector(11, KS_REDO_OP_LMN, 1, r.dba, f, 2);
}

void ks_redo_record::redo_other11(uint8_t code, uint32_t dba) {
  ks_field_t f[2] = {{kZero, KS_REDO_KDO_FIELD1_SIZE}, {kdo_header(dba, code, KS_REDO_KDO_OTHER_SIZE), KS_REDO_KDO_OTHER_SIZE}};
  vector(11, code, 1, dba, f, 2);
}

void ks_redo_record::commit(uint64_t xid, bool rollback) {
  uint8_t c[KS_REDO_CMT_SIZE] = {};
  put16(c + KS_REDO_CMT_SLOT, xid_slot(xid));
  put32(c + KS_REDO_CMT_SQN, xid_sqn(xid));
  c[KS_REDO_CMT_FLAG] = rollback ? KS_REDO_CMT_FLAG_ROLLBACK : KS_REDO_CMT_FLAG_COMMIT;
  ks_field_t f[1] = {{c, KS_REDO_CMT_SIZE}};
  vector(5, 4, undo_header_class(xid_usn(xid)), undo_header_dba(xid_usn(xid)), f, 1);
}

void ks_redo_record::rollback_undo(uint8_t code, uint64_t xid, uint32_t objn) {
  uint8_t b[KS_REDO_RB_SIZE] = {};
  put32(b + KS_REDO_RB_OBJN, objn);
  b[KS_REDO_RB_SLOT] = uint8_t(xid_slot(xid));
  ks_field_t f[1] = {{b, KS_REDO_RB_SIZE}};
  vector(5, code, undo_block_class(xid_usn(xid)), undo_block_dba(xid_usn(xid)), f, 1);
}

void ks_redo_record::audit(std::string_view tag) {
  static thread_local uint8_t b[KS_REDO_AUD_TAG_LONG + 65535];
  uint32_t tl = uint32_t(tag.size() > 65535 ? 65535 : tag.size());
  std::memset(b, 0, KS_REDO_AUD_TAG_LENGTH);
  uint32_t len;
  if (tl < 0xFE) {
    b[KS_REDO_AUD_TAG_LENGTH] = uint8_t(tl);
    std::memcpy(b + KS_REDO_AUD_TAG, tag.data(), tl);
    len = KS_REDO_AUD_TAG + tl;
  } else {
    b[KS_REDO_AUD_TAG_LENGTH] = 0xFE;
    put16(b + KS_REDO_AUD_TAG_LENGTH + 1, uint16_t(tl));
    std::memcpy(b + KS_REDO_AUD_TAG_LONG, tag.data(), tl);
    len = KS_REDO_AUD_TAG_LONG + tl;
  }
  ks_field_t f[6];
  for (int i = 0; i < KS_REDO_AUD_FIELDS; i++) f[i] = {kZero, KS_REDO_AUD_FIELD_SIZE};
  f[5] = {b, len};
  vector(5, 20, 0, 0, f, 6);
}

void ks_redo_record::ddl(uint64_t xid, uint32_t objn, std::string_view text, std::string_view owner,
                         std::string_view name, uint8_t type) {
  uint8_t f1[KS_REDO_DDL_FIELD1_SIZE] = {}, f4[KS_REDO_DDL_FIELD4_SIZE] = {}, f11[KS_REDO_DDL_FIELD11_SIZE] = {};
  put16(f1 + KS_REDO_DDL_USN, xid_usn(xid));
  put16(f1 + KS_REDO_DDL_SLOT, xid_slot(xid));
  put32(f1 + KS_REDO_DDL_SQN, xid_sqn(xid));
  put32(f4 + KS_REDO_DDL_OBJN, objn);
  f11[KS_REDO_DDL_KIND] = 1;
  f11[KS_REDO_DDL_TYPE] = type;
  ks_field_t f[11] = {{f1, KS_REDO_DDL_FIELD1_SIZE},
                      {kZero, 4},
                      {kZero, 4},
                      {f4, KS_REDO_DDL_FIELD4_SIZE},
                      {kZero, 4},
                      {kZero, 4},
                      {kZero, 4},
                      {reinterpret_cast<const uint8_t *>(text.data()), uint32_t(text.size())},
                      {reinterpret_cast<const uint8_t *>(owner.data()), uint32_t(owner.size())},
                      {reinterpret_cast<const uint8_t *>(name.data()), uint32_t(name.size())},
                      {f11, KS_REDO_DDL_FIELD11_SIZE}};
  vector(24, 1, 0, 0, f, 11);
}

void ks_redo_record::other(uint8_t layer, uint8_t code, uint16_t cls, uint32_t dba, const uint32_t *sizes, int n) {
  static thread_local uint8_t zeros[4096];
  ks_field_t f[32];
  if (n > 32) n = 32;
  for (int i = 0; i < n; i++) f[i] = {zeros, sizes[i] > sizeof zeros ? uint32_t(sizeof zeros) : sizes[i]};
  vector(layer, code, cls, dba, f, n);
}

}  // namespace ks::sim
