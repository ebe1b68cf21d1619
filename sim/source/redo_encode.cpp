// Encoding of redo records and change vectors for the simulated source; see the header.
#include "sim/source/redo_encode.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "lib/fmt/block_format.h"

namespace ks::sim {

using namespace ks::redo;

namespace {
constexpr int kMaxFields = 1100;
const uint8_t kZero[256] = {};
// Values a database writes that our model has no source for (realistic figures, as real
// logs show them): an undo record's flags, the free-space figure of a row block header
// (maxFr), the size in a transaction's undo header, how many undo records an undo block
// takes before the next one (its sequence then grows) and the free bytes of an empty one.
constexpr uint16_t kUndoRecFlags = 0x0012;
constexpr uint16_t kMaxFr = 0x12fa;
constexpr uint16_t kUndoHeaderSize = 0x0088;
constexpr uint8_t kUndoRecsPerBlock = 0x40;
constexpr uint16_t kUndoBlockSpace = 0x1f80;
}  // namespace

void ks_redo_record::begin(uint64_t scn, uint8_t vld, uint32_t con_uid, uint32_t ts, uint16_t con_id) {
  uint32_t hs = uint32_t(record_header_size(vld));
  std::memset(buf_, 0, hs);
  row_fb_ = KS_REDO_ROW_WHOLE;
  row_next_ = {0, 0};
  row_image_ = false;
  leaf_next_ = {0, 0};
  buf_[KS_REDO_RH_VLD] = vld;
  put16(buf_ + KS_REDO_RH_SCN_WRAP, uint16_t(scn >> 32));
  put32(buf_ + KS_REDO_RH_SCN_BASE, uint32_t(scn));
  if (!bare_) put16(buf_ + KS_REDO_RH_SUBSCN, 1);
  put32(buf_ + KS_REDO_RH_CON_UID, con_uid);
  if (vld & KS_REDO_VLD_LONG) put32(buf_ + KS_REDO_RH_TIME, ts);
  len_ = hs;
  nvec_ = 0;
  overflow_ = false;
  too_wide_ = false;
  ts_ = ts;
  scn_ = scn;
  con_uid_ = con_uid;
  con_id_ = con_id;
  rec_xid_ = 0;
  first_undo_ = false;
}

void ks_redo_record::vector(uint8_t layer, uint8_t code, uint16_t cls, uint32_t dba, const ks_field_t *f, int n,
                            uint32_t objn) {
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
  if (!bare_) {
    put16(v + KS_REDO_CV_AFN, uint16_t(dba >> 22));
    put16(v + KS_REDO_CV_KIND, layer == 5 ? 0xFFFF : 1);
    // The block's previous change: the last one this run wrote, or, for a block it has not
    // changed yet, the SCN just before (a block never changes before it exists).
    uint64_t prev = scn_ > 1 ? scn_ - 1 : 1;
    uint8_t seq = 1;
    if (blk_chg_.empty()) blk_chg_.assign(size_t(1) << kBlkChgBits, ks_blk_chg_t{0, 0, 0});
    ks_blk_chg_t &c = blk_chg_[(dba * 0x9E3779B1u) >> (32 - kBlkChgBits)];
    if (c.scn != 0 && c.dba == dba) {
      prev = c.scn;
      if (prev == scn_) seq = uint8_t(c.seq + 1);
    }
    c = ks_blk_chg_t{dba, seq, scn_};
    store_scn6(v + KS_REDO_CV_PREV_SCN, prev, big_);
    v[KS_REDO_CV_SEQ] = seq;
    put16(v + KS_REDO_CV_OBJ, layer == 5 ? 0xFFFF : uint16_t(objn));
    if (vhsz_ >= KS_REDO_CV_HEADER32) put16(v + KS_REDO_CV_CON_ID, con_id_);
  }
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
  if (overflow_) return kRecTooLarge;
  if (too_wide_) return kRecTooWide;
  put32(buf_ + KS_REDO_RH_LENGTH, len_);
  return 0;
}

void ks_redo_record::undo_seg_header(uint16_t usn, uint16_t slot, uint32_t sqn) {
  if (bare_) {
    ks_field_t f[1] = {{kZero, KS_REDO_UH_SIZE}};
    vector(5, 2, undo_header_class(usn), undo_header_dba(usn), f, 1);
    return;
  }
  // The undo address is that of the transaction's first undo record, the next of its segment.
  const ks_uba_t &u = uba_[usn & 0xFF];
  const bool next_block = u.rec >= kUndoRecsPerBlock;
  uint8_t h[KS_REDO_UH_SIZE] = {}, con[4];
  put16(h + KS_REDO_UH_SLOT, slot);
  put32(h + KS_REDO_UH_SQN, sqn);
  put32(h + KS_REDO_UH_UBA_DBA, undo_block_dba(usn));
  put16(h + KS_REDO_UH_UBA_SEQ, uint16_t(next_block ? u.seq + 1 : u.seq));
  h[KS_REDO_UH_UBA_REC] = uint8_t(next_block ? 1 : u.rec + 1);
  put16(h + KS_REDO_UH_FLAGS, con_uid_ == 1 ? KS_REDO_UH_FLAGS_ROOT : KS_REDO_UH_FLAGS_PDB);
  put16(h + KS_REDO_UH_USIZE, kUndoHeaderSize);
  put32(con, con_uid_);
  // From 12.1 a container database names the transaction's container.
  const bool cdb = con_uid_ != 0 && vsn_ >= KS_REDO_VSN12;
  ks_field_t f[2] = {{h, KS_REDO_UH_SIZE}, {con, 4}};
  vector(5, 2, undo_header_class(usn), undo_header_dba(usn), f, cdb ? 2 : 1);
  first_undo_ = true;
}

void ks_redo_record::session(bool first, std::string_view user) {
  if (bare_) return;
  auto text = [](std::string_view t) {
    return ks_field_t{reinterpret_cast<const uint8_t *>(t.data()), uint32_t(t.size())};
  };
  // Session id and serial number.
  uint8_t id[8];
  put32(id, 0x100 + uint32_t(scn_ % 997));
  put32(id + 4, 0x2000 + uint32_t(scn_ % 65521));
  if (first) {
    ks_field_t f[5] = {
        {id, 8}, text(user), text("orasim-host"), text("oracle"), text("orasim@orasim-host (TNS V1-V3)")};
    vector(5, 19, 0, 0, f, 5);
  } else {
    // Five fields at most: a sixth is where an audit vector holds its tag.
    ks_field_t f[3] = {{id, 8}, text(user), text(user)};
    vector(5, 20, 0, 0, f, 3);
  }
}

void ks_redo_record::undo_common(uint64_t xid, uint32_t objn, uint8_t layer, uint8_t *ubh, uint8_t *uri) {
  std::memset(ubh, 0, KS_REDO_UBH_SIZE);
  std::memset(uri, 0, KS_REDO_URI_SIZE_FIRST);
  put16(ubh + KS_REDO_UBH_USN, xid_usn(xid));
  put16(ubh + KS_REDO_UBH_SLOT, xid_slot(xid));
  put32(ubh + KS_REDO_UBH_SQN, xid_sqn(xid));
  put32(uri + KS_REDO_URI_OBJN, objn);
  uri[KS_REDO_URI_LAYER] = layer;
  if (bare_) return;
  ks_uba_t &u = uba_[xid_usn(xid) & 0xFF];
  if (u.rec >= kUndoRecsPerBlock) {
    u.seq++;
    u.rec = 0;
  }
  u.rec++;
  rec_xid_ = xid;
  rec_useq_ = u.seq;
  rec_urec_ = u.rec;
  put16(ubh + KS_REDO_UBH_SPACE, uint16_t(kUndoBlockSpace - 0x70 * u.rec));
  put16(ubh + KS_REDO_UBH_FLAGS, kUndoRecFlags);
  put16(ubh + KS_REDO_UBH_UBA_SEQ, u.seq);
  ubh[KS_REDO_UBH_UBA_REC] = u.rec;
  // A table never truncated or moved keeps its object number as data object number.
  put32(uri + KS_REDO_URI_DATAOBJ, objn);
  put32(uri + KS_REDO_URI_TS, objn == 0 ? 0 : seg_ts_);
  uri[KS_REDO_URI_CODE] = layer == 10 ? KS_REDO_IDX_UNDO_CODE : 1;
  uri[KS_REDO_URI_SLOT] = uint8_t(xid_slot(xid));
  if (first_undo_) put16(uri + KS_REDO_URI_FLAGS, KS_REDO_URI_FIRST);
}

uint32_t ks_redo_record::itl_redo(uint8_t *p) {
  std::memset(p, 0, KS_REDO_ITL_REDO_SIZE);
  p[KS_REDO_ITL_OP] = 1;
  p[KS_REDO_ITL_FLAGS] = KS_REDO_ITL_FLAGS_VALUE;
  if (rec_xid_ != 0) {
    put16(p + KS_REDO_ITL_USN, xid_usn(rec_xid_));
    put16(p + KS_REDO_ITL_SLOT, xid_slot(rec_xid_));
    put32(p + KS_REDO_ITL_SQN, xid_sqn(rec_xid_));
    put32(p + KS_REDO_ITL_UBA_DBA, undo_block_dba(xid_usn(rec_xid_)));
    put16(p + KS_REDO_ITL_UBA_SEQ, rec_useq_);
    p[KS_REDO_ITL_UBA_REC] = rec_urec_;
  }
  return KS_REDO_ITL_REDO_SIZE;
}

void ks_redo_record::kdo_fields(uint8_t *h, bool undo) {
  if (bare_) return;
  put32(h + KS_REDO_KDO_SEG_DBA, seg_dba_);
  put16(h + KS_REDO_KDO_MAXFR, kMaxFr);
  if (undo && (h[KS_REDO_KDO_OP] & KS_REDO_KDO_OP_MASK) == KS_REDO_OP_DRP) h[KS_REDO_KDO_OP] |= KS_REDO_KDO_UNDO_BIT;
  h[KS_REDO_KDO_OP_FLAGS] = 0x01;
  h[KS_REDO_KDO_ITL] = 1;
}

void ks_redo_record::irp_piece(uint8_t *h) {
  h[KS_REDO_KDO_FLAG] = row_fb_;
  put32(h + KS_REDO_IRP_NEXT_DBA, row_next_.dba);
  put16(h + KS_REDO_IRP_NEXT_SLOT, row_next_.slot);
}

void ks_redo_record::urp_nulls(uint8_t *h, const ks_colval_t *val, int n) {
  if (bare_) return;
  for (int i = 0; i < n; i++)
    if (val[i].len <= 0) h[KS_REDO_URP_NULLS + i / 8] |= uint8_t(1u << (i % 8));
}

// hdr must hold KS_REDO_SUP_SIZE_LONG bytes, arrays 4 * ncol bytes.
int ks_redo_record::add_suplog(const ks_suplog_t &s, ks_field_t *f, int n, uint8_t *hdr, uint8_t *arrays) {
  int hl = s.long_hdr ? KS_REDO_SUP_SIZE_LONG : KS_REDO_SUP_SIZE;
  std::memset(hdr, 0, size_t(hl));
  if (!bare_) hdr[0] = s.op;
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
  uint8_t ubh[KS_REDO_UBH_SIZE], uri[KS_REDO_URI_SIZE_FIRST], kdo[64], sup[KS_REDO_SUP_SIZE_LONG];
  uint8_t itl[KS_REDO_ITL_BEGIN_SIZE], ritl[KS_REDO_ITL_REDO_SIZE];
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

// Bytes of a value in the block row format.
uint32_t block_row_size(const ks_colval_t &v) {
  return v.len < 0 ? 1u : (v.len <= KS_REDO_QMI_SHORT_MAX ? 1u : 3u) + uint32_t(v.len);
}
}  // namespace

int ks_redo_record::row_values(uint8_t *h, int n, const ks_colval_t *val, int nv) {
  if (!row_image_) return add_values(t_s.f, n, val, nv);
  // The whole row in one field, marked in the operation flags.
  static thread_local uint8_t image[0xFFFF];
  uint32_t need = 0;
  for (int i = 0; i < nv; i++) need += block_row_size(val[i]);
  if (need > sizeof image) {
    overflow_ = true;
    return n;
  }
  uint32_t off = 0;
  for (int i = 0; i < nv; i++) off += row_value(image + off, val[i]);
  h[KS_REDO_KDO_OP_FLAGS] |= KS_REDO_KDO_ROW_IMAGE;
  t_s.f[n++] = {image, off};
  return n;
}

uint8_t *ks_redo_record::kdo_header(uint32_t dba, uint8_t code, int size) {
  uint8_t *h = t_s.kdo;
  std::memset(h, 0, size_t(size));
  put32(h + KS_REDO_KDO_DBA, dba);
  h[KS_REDO_KDO_OP] = code;
  return h;
}

int ks_redo_record::undo_fields(uint64_t xid, uint32_t objn, uint8_t layer, int hdr_size) {
  Scratch &s = t_s;
  const bool first = first_undo_;
  undo_common(xid, objn, layer, s.ubh, s.uri);
  first_undo_ = false;
  s.f[0] = {s.ubh, KS_REDO_UBH_SIZE};
  s.f[3] = {hdr_size ? s.kdo : kZero, uint32_t(hdr_size ? hdr_size : 16)};
  if (bare_) {
    s.f[1] = {s.uri, KS_REDO_URI_SIZE};
    s.f[2] = {kZero, KS_REDO_UNDO_FIELD3_SIZE};
    return 4;
  }
  // From 19c the first undo of a transaction has a longer record header.
  s.f[1] = {s.uri, uint32_t(first && vsn_major(vsn_) >= 19 ? KS_REDO_URI_SIZE_FIRST : KS_REDO_URI_SIZE)};
  // ITL redo: the transaction takes an ITL of the block with its first change (op 4, with
  // the XID and undo address), later changes only touch it (op 3).
  std::memset(s.itl, 0, sizeof s.itl);
  s.itl[KS_REDO_ITL_OP] = first ? 4 : 3;
  s.itl[KS_REDO_ITL_FLAGS] = KS_REDO_ITL_FLAGS_VALUE;
  if (first) {
    put16(s.itl + KS_REDO_ITL_USN, xid_usn(xid));
    put16(s.itl + KS_REDO_ITL_SLOT, xid_slot(xid));
    put32(s.itl + KS_REDO_ITL_SQN, xid_sqn(xid));
    put32(s.itl + KS_REDO_ITL_UBA_DBA, undo_block_dba(xid_usn(xid)));
    put16(s.itl + KS_REDO_ITL_UBA_SEQ, rec_useq_);
    s.itl[KS_REDO_ITL_UBA_REC] = rec_urec_;
  }
  s.f[2] = {s.itl, uint32_t(first ? KS_REDO_ITL_BEGIN_SIZE : KS_REDO_UNDO_FIELD3_SIZE)};
  if (hdr_size) kdo_fields(s.kdo, true);
  return 4;
}

void ks_redo_record::undo_vector(int n, const ks_suplog_t *sup, uint16_t usn) {
  Scratch &s = t_s;
  if (sup) n = add_suplog(*sup, s.f, n, s.sup, s.arrays);
  if (!bare_) {
    uint32_t size = 0;  // the undo record's size in its block
    for (int i = 0; i < n; i++) size += align4(s.f[i].len);
    put16(s.ubh + KS_REDO_UBH_RSIZE, uint16_t(size));
  }
  vector(5, 1, undo_block_class(usn), undo_block_dba(usn), s.f, n);
}

ks_field_t ks_redo_record::redo_field1() {
  if (bare_) return {kZero, KS_REDO_KDO_FIELD1_SIZE};
  return {t_s.ritl, itl_redo(t_s.ritl)};
}

void ks_redo_record::undo_of_insert(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_suplog_t &sup) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_DRP, KS_REDO_DRP_SIZE);
  put16(h + KS_REDO_DRP_SLOT, r.slot);
  int n = undo_fields(xid, objn, 11, KS_REDO_DRP_SIZE);
  undo_vector(n, &sup, xid_usn(xid));
}

void ks_redo_record::undo_of_delete(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_colval_t *old, int nold,
                                    const ks_suplog_t &sup, uint8_t code) {
  undo_row(xid, objn, r, old, nold, &sup, code);
}

void ks_redo_record::undo_of_overwrite(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_colval_t *old, int nold) {
  undo_row(xid, objn, r, old, nold, nullptr, KS_REDO_OP_ORP);
}

void ks_redo_record::undo_row(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_colval_t *old, int nold,
                              const ks_suplog_t *sup, uint8_t code) {
  uint8_t *h = kdo_header(r.dba, code, KS_REDO_IRP_SIZE);
  irp_piece(h);
  piece_cols(nold);
  h[KS_REDO_IRP_COLUMNS] = uint8_t(nold);
  if (!bare_) h[KS_REDO_IRP_LOCK] = 1;
  put16(h + KS_REDO_IRP_SLOT, r.slot);
  int n = undo_fields(xid, objn, 11, KS_REDO_IRP_SIZE);
  n = row_values(h, n, old, nold);
  undo_vector(n, sup, xid_usn(xid));
}

void ks_redo_record::undo_of_update(uint64_t xid, uint32_t objn, ks_rowref_t r, const uint16_t *colno,
                                    const ks_colval_t *old, int nc, const ks_suplog_t &sup, int stored) {
  Scratch &s = t_s;
  int nv = 0;  // columns with a before-image value (ascending input: they come first)
  while (nv < nc && colno[nv] < stored) nv++;
  const int hs = bare_ ? KS_REDO_URP_SIZE : urp_header_size(nv);
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_URP, hs);
  h[KS_REDO_KDO_FLAG] = row_fb_;
  put16(h + KS_REDO_URP_SLOT, r.slot);
  piece_cols(nv);
  h[KS_REDO_URP_COLUMNS] = uint8_t(nv);
  urp_nulls(h, old, nv);
  for (int i = 0; i < nv; i++) put16(s.colno + 2 * i, colno[i]);
  for (int i = nv; i < nc; i++) put16(s.colno + 2 * i, colno[nc - 1 - (i - nv)]);
  int n = undo_fields(xid, objn, 11, hs);
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

void ks_redo_record::undo_of_lmn(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_suplog_t &sup) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_LMN, KS_REDO_KDO_OTHER_SIZE);
  put16(h + KS_REDO_LKR_SLOT, r.slot);
  int n = undo_fields(xid, objn, 11, KS_REDO_KDO_OTHER_SIZE);
  undo_vector(n, &sup, xid_usn(xid));
}

uint8_t *ks_redo_record::cfa_header(ks_rowref_t r, ks_rowref_t next) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_CFA, KS_REDO_CFA_SIZE);
  put32(h + KS_REDO_CFA_NEXT_DBA, next.dba);
  put16(h + KS_REDO_CFA_NEXT_SLOT, next.slot);
  put16(h + KS_REDO_CFA_SLOT, r.slot);
  return h;
}

void ks_redo_record::undo_of_cfa(uint64_t xid, uint32_t objn, ks_rowref_t r, ks_rowref_t old_next,
                                 const ks_suplog_t &sup) {
  cfa_header(r, old_next);
  int n = undo_fields(xid, objn, 11, KS_REDO_CFA_SIZE);
  undo_vector(n, &sup, xid_usn(xid));
}

void ks_redo_record::undo_other(uint64_t xid, uint32_t objn, uint8_t layer, uint16_t usn) {
  int n = undo_fields(xid, objn, layer, 0);
  undo_vector(n, nullptr, usn);
}

void ks_redo_record::redo_irp(ks_rowref_t r, const ks_colval_t *val, int nv, const ks_suplog_t *sup, uint8_t code) {
  Scratch &s = t_s;
  uint8_t *h = kdo_header(r.dba, code, KS_REDO_IRP_SIZE);
  irp_piece(h);
  piece_cols(nv);
  h[KS_REDO_IRP_COLUMNS] = uint8_t(nv);
  put16(h + KS_REDO_IRP_SLOT, r.slot);
  kdo_fields(h, false);
  if (!bare_) h[KS_REDO_IRP_LOCK] = 1;
  s.f[0] = redo_field1();
  s.f[1] = {h, KS_REDO_IRP_SIZE};
  int n = row_values(h, 2, val, nv);
  if (sup) n = add_suplog(*sup, s.f, n, s.sup, s.arrays);
  vector(11, code, 1, r.dba, s.f, n, seg_objn_);
}

void ks_redo_record::redo_drp(ks_rowref_t r, const ks_suplog_t *sup) {
  Scratch &s = t_s;
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_DRP, KS_REDO_DRP_SIZE);
  put16(h + KS_REDO_DRP_SLOT, r.slot);
  kdo_fields(h, false);
  s.f[0] = redo_field1();
  s.f[1] = {h, KS_REDO_DRP_SIZE};
  int n = 2;
  if (sup) n = add_suplog(*sup, s.f, n, s.sup, s.arrays);
  vector(11, KS_REDO_OP_DRP, 1, r.dba, s.f, n, seg_objn_);
}

void ks_redo_record::redo_urp(ks_rowref_t r, const uint16_t *colno, const ks_colval_t *val, int nc,
                              const ks_suplog_t *sup) {
  Scratch &s = t_s;
  const int hs = bare_ ? KS_REDO_URP_SIZE : urp_header_size(nc);
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_URP, hs);
  h[KS_REDO_KDO_FLAG] = row_fb_;
  put16(h + KS_REDO_URP_SLOT, r.slot);
  piece_cols(nc);
  h[KS_REDO_URP_COLUMNS] = uint8_t(nc);
  kdo_fields(h, false);
  urp_nulls(h, val, nc);
  for (int i = 0; i < nc; i++) put16(s.colno + 2 * i, colno[i]);
  s.f[0] = redo_field1();
  s.f[1] = {h, uint32_t(hs)};
  s.f[2] = {s.colno, uint32_t(2 * nc)};
  int n = add_values(s.f, 3, val, nc);
  if (sup) n = add_suplog(*sup, s.f, n, s.sup, s.arrays);
  vector(11, KS_REDO_OP_URP, 1, r.dba, s.f, n, seg_objn_);
}

void ks_redo_record::redo_cfa(ks_rowref_t r, ks_rowref_t next, const ks_suplog_t &sup) {
  Scratch &s = t_s;
  uint8_t *h = cfa_header(r, next);
  kdo_fields(h, false);
  s.f[0] = redo_field1();
  s.f[1] = {h, KS_REDO_CFA_SIZE};
  // The header alone: it names the row the changed piece belongs to.
  ks_suplog_t head = sup;
  head.long_hdr = true;
  head.ncol = 0;
  int n = add_suplog(head, s.f, 2, s.sup, s.arrays);
  vector(11, KS_REDO_OP_CFA, 1, r.dba, s.f, n, seg_objn_);
}

void ks_redo_record::redo_qmi(uint32_t dba, uint16_t first_slot, const ks_colval_t *const *rows, const int *ncol,
                              int nrows) {
  Scratch &s = t_s;
  uint8_t *h = kdo_header(dba, KS_REDO_OP_QMI, KS_REDO_QM_SIZE);
  put16(h + KS_REDO_QM_ROWS, uint16_t(nrows));
  kdo_fields(h, false);
  // Its rows are row images already: the flag changes nothing in their layout.
  if (row_image_) h[KS_REDO_KDO_OP_FLAGS] |= KS_REDO_KDO_ROW_IMAGE;
  (void)first_slot;
  // Rows are laid out back to back in one field, their lengths in another.
  static thread_local uint8_t rowbuf[KS_REDO_MAX_RECORD];
  uint32_t off = 0;
  bool too_big = nrows > 2000;
  for (int i = 0; i < nrows && !too_big; i++) {
    uint32_t start = off;
    uint32_t need = KS_REDO_QMI_ROW_HEADER;
    for (int c = 0; c < ncol[i]; c++) need += block_row_size(rows[i][c]);
    if (off + need > sizeof rowbuf) {
      too_big = true;
      break;
    }
    rowbuf[off++] = KS_REDO_ROW_WHOLE;
    rowbuf[off++] = bare_ ? 0 : 1;  // lock byte: the transaction's ITL
    piece_cols(ncol[i]);
    rowbuf[off++] = uint8_t(ncol[i]);
    for (int c = 0; c < ncol[i]; c++) off += row_value(rowbuf + off, rows[i][c]);
    put16(s.colno + 2 * i, uint16_t(off - start));
  }
  if (too_big || nrows > int(sizeof s.colno / 2)) {
    overflow_ = true;
    return;
  }
  int n = 0;
  s.f[n++] = redo_field1();
  s.f[n++] = {s.kdo, KS_REDO_QM_SIZE};
  s.f[n++] = {s.colno, uint32_t(2 * nrows)};
  s.f[n++] = {rowbuf, off};
  vector(11, KS_REDO_OP_QMI, 1, dba, s.f, n, seg_objn_);
}

void ks_redo_record::redo_qmd(uint32_t dba, uint16_t nrows, const ks_suplog_t &sup) {
  Scratch &s = t_s;
  uint8_t *h = kdo_header(dba, KS_REDO_OP_QMD, KS_REDO_QM_SIZE);
  put16(h + KS_REDO_QM_ROWS, nrows);
  kdo_fields(h, false);
  s.f[0] = redo_field1();
  s.f[1] = {h, KS_REDO_QM_SIZE};
  int n = add_suplog(sup, s.f, 2, s.sup, s.arrays);
  vector(11, KS_REDO_OP_QMD, 1, dba, s.f, n, seg_objn_);
}

void ks_redo_record::redo_lkr(ks_rowref_t r) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_LKR, KS_REDO_LKR_SIZE);
  put16(h + KS_REDO_LKR_SLOT, r.slot);
  kdo_fields(h, false);
  ks_field_t f[2] = {redo_field1(), {h, KS_REDO_LKR_SIZE}};
  vector(11, KS_REDO_OP_LKR, 1, r.dba, f, 2, seg_objn_);
}

void ks_redo_record::redo_lmn(ks_rowref_t r) {
  uint8_t *h = kdo_header(r.dba, KS_REDO_OP_LMN, KS_REDO_KDO_OTHER_SIZE);
  put16(h + KS_REDO_LKR_SLOT, r.slot);
  kdo_fields(h, false);
  ks_field_t f[2] = {redo_field1(), {h, KS_REDO_KDO_OTHER_SIZE}};
  vector(11, KS_REDO_OP_LMN, 1, r.dba, f, 2, seg_objn_);
}

void ks_redo_record::redo_other11(uint8_t code, uint32_t dba) {
  uint8_t *h = kdo_header(dba, code, KS_REDO_KDO_OTHER_SIZE);
  kdo_fields(h, false);
  ks_field_t f[2] = {redo_field1(), {h, KS_REDO_KDO_OTHER_SIZE}};
  vector(11, code, 1, dba, f, 2, seg_objn_);
}

void ks_redo_record::commit(uint64_t xid, bool rollback) {
  const uint16_t usn = xid_usn(xid);
  uint8_t c[KS_REDO_CMT_SIZE] = {};
  put16(c + KS_REDO_CMT_SLOT, xid_slot(xid));
  put32(c + KS_REDO_CMT_SQN, xid_sqn(xid));
  c[KS_REDO_CMT_FLAG] = rollback ? KS_REDO_CMT_FLAG_ROLLBACK : KS_REDO_CMT_FLAG_COMMIT;
  if (bare_) {
    ks_field_t f[1] = {{c, KS_REDO_CMT_SIZE}};
    vector(5, 4, undo_header_class(usn), undo_header_dba(usn), f, 1);
    return;
  }
  put32(c + KS_REDO_CMT_F1_NINE, 9);
  // The transaction's last undo record and the space of its block; the commit time twice.
  uint8_t u[KS_REDO_CMT_F2_SIZE] = {}, t3[KS_REDO_CMT_F3_SIZE] = {}, t4[KS_REDO_CMT_F4_SIZE];
  const ks_uba_t &a = uba_[usn & 0xFF];
  put32(u + KS_REDO_CMT_UBA_DBA, undo_block_dba(usn));
  put16(u + KS_REDO_CMT_UBA_SEQ, a.seq);
  u[KS_REDO_CMT_UBA_REC] = a.rec;
  put16(u + KS_REDO_CMT_SPACE, uint16_t(kUndoBlockSpace - 0x70 * a.rec));
  put32(t3 + KS_REDO_CMT_TIME, ts_);
  put32(t4, ts_);
  ks_field_t f[4] = {
      {c, KS_REDO_CMT_SIZE}, {u, KS_REDO_CMT_F2_SIZE}, {t3, KS_REDO_CMT_F3_SIZE}, {t4, KS_REDO_CMT_F4_SIZE}};
  vector(5, 4, undo_header_class(usn), undo_header_dba(usn), f, 4);
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

void ks_redo_record::index_change(uint64_t xid, uint32_t index_objn, uint32_t leaf_dba, bool insert,
                                  const ks_colval_t *key, int n, ks_rowref_t r, bool undo) {
  if (bare_) return;
  if (undo) {
    // Undo: restore the leaf as it was (10.22), a 16-byte header naming the leaf block.
    uint8_t *h = kdo_header(leaf_dba, KS_REDO_IDX_UNDO_CODE, 16);
    h[KS_REDO_KDO_ITL] = 1;
    int nf = undo_fields(xid, index_objn, 10, 16);
    undo_vector(nf, nullptr, xid_usn(xid));
  }
  // Redo: the leaf row, its key columns (length byte and bytes, 0xFF for NULL) and the
  // row id of the table row (block and slot).
  static thread_local uint8_t keybuf[4096];
  uint32_t off = 0;
  for (int i = 0; i < n && off + 3 + 255 < sizeof keybuf - 8; i++) {
    if (key[i].len < 0) {
      keybuf[off++] = 0xFF;
      continue;
    }
    uint32_t l = uint32_t(std::min(key[i].len, 250));
    keybuf[off++] = uint8_t(l);
    if (l) std::memcpy(keybuf + off, key[i].p, l);
    off += l;
  }
  uint8_t leaf[16] = {}, rid[8] = {};
  leaf[0] = 1;  // ITL of the transaction
  leaf[1] = insert ? 0 : 1;
  put16(leaf + 2, uint16_t(off));
  put32(rid, r.dba);
  put16(rid + 4, r.slot);
  ks_field_t f[4] = {redo_field1(), {leaf, 16}, {keybuf, off}, {rid, 6}};
  vector(10, insert ? KS_REDO_IDX_INSERT : KS_REDO_IDX_DELETE, 1, leaf_dba, f, 4, index_objn);
}

uint32_t ks_redo_record::row_value(uint8_t *p, const ks_colval_t &v) {
  if (v.len < 0) {
    p[0] = KS_REDO_QMI_NULL;
    return 1;
  }
  uint32_t h = 1;
  if (v.len <= KS_REDO_QMI_SHORT_MAX) {
    p[0] = uint8_t(v.len);
  } else {
    p[0] = KS_REDO_QMI_LONG;
    put16(p + 1, uint16_t(v.len));
    h = 3;
  }
  if (v.len) std::memcpy(p + h, v.p, size_t(v.len));
  return h + uint32_t(v.len);
}

uint32_t ks_redo_record::leaf_key(uint8_t *p, const ks_colval_t *key, int n) {
  uint32_t off = 0;
  for (int i = 0; i < n; i++) off += row_value(p + off, key[i]);
  return off;
}

uint32_t ks_redo_record::leaf_row(uint8_t *p, const ks_colval_t *row, int n) {
  p[0] = KS_REDO_ROW_WHOLE;
  p[1] = bare_ ? 0 : 1;  // lock byte: the transaction's ITL
  piece_cols(n);
  p[KS_REDO_LEAF_ROW_COLUMNS] = uint8_t(n);
  if (leaf_next_.dba == 0) return KS_REDO_LEAF_ROW_HEADER + leaf_key(p + KS_REDO_LEAF_ROW_HEADER, row, n);
  // The row goes on in the overflow segment: the next piece's row id, big-endian whatever
  // the log's byte order, as a block stores it.
  p[0] = KS_REDO_ROW_HEAD | KS_REDO_ROW_FIRST;
  ks::store_be32(p + KS_REDO_LEAF_ROW_HEADER, leaf_next_.dba);
  ks::store_be16(p + KS_REDO_LEAF_ROW_HEADER + 4, leaf_next_.slot);
  return KS_REDO_LEAF_ROW_NEXT_HEADER + leaf_key(p + KS_REDO_LEAF_ROW_NEXT_HEADER, row, n);
}

namespace {
// Keys and rows of the leaf vector being built (a record holds at most this much).
struct LeafScratch {
  uint8_t key[KS_REDO_MAX_RECORD];
  uint8_t row[KS_REDO_MAX_RECORD];
  uint8_t lens[2][4 * 1024];
  uint8_t hdr[KS_REDO_LEAF_HDR_SIZE];
};
thread_local std::unique_ptr<LeafScratch> t_leaf;
LeafScratch &leaf_scratch() {
  if (!t_leaf) t_leaf = std::make_unique<LeafScratch>();
  return *t_leaf;
}
}  // namespace

void ks_redo_record::undo_of_leaf(uint64_t xid, uint32_t objn, uint32_t leaf_dba, uint8_t code, const ks_colval_t *key,
                                  int nkey, const ks_colval_t *row, int nrow, const uint16_t *colno,
                                  const ks_suplog_t &sup) {
  Scratch &s = t_s;
  LeafScratch &l = leaf_scratch();
  int n = undo_fields(xid, objn, 10, 0);
  std::memset(s.kdo, 0, KS_REDO_LEAF_HDR_SIZE);
  s.kdo[0] = code;
  if (!bare_) put32(s.kdo + 4, leaf_dba);
  s.f[3] = {s.kdo, KS_REDO_LEAF_HDR_SIZE};
  s.f[n++] = {l.key, leaf_key(l.key, key, nkey)};
  if (code == KS_REDO_LEAF_RESTORE) {
    s.f[n++] = {l.row, leaf_row(l.row, row, nrow)};
  } else if (code == KS_REDO_LEAF_NONKEY) {
    for (int i = 0; i < nrow; i++) put16(s.colno + 2 * i, colno[i]);
    s.f[n++] = {s.colno, uint32_t(2 * nrow)};
    n = add_values(s.f, n, row, nrow);
  }
  undo_vector(n, &sup, xid_usn(xid));
}

void ks_redo_record::redo_leaf(uint8_t code, uint32_t leaf_dba, const ks_colval_t *key, int nkey,
                               const ks_colval_t *row, int nrow, const uint16_t *colno) {
  Scratch &s = t_s;
  LeafScratch &l = leaf_scratch();
  std::memset(l.hdr, 0, sizeof l.hdr);
  if (!bare_) l.hdr[0] = 1;  // the transaction's ITL
  s.f[0] = redo_field1();
  s.f[1] = {l.hdr, KS_REDO_LEAF_HDR_SIZE};
  int n = 2;
  if (code == KS_REDO_LEAF_NONKEY) {
    for (int i = 0; i < nrow; i++) put16(s.colno + 2 * i, colno[i]);
    s.f[n++] = {s.colno, uint32_t(2 * nrow)};
    n = add_values(s.f, n, row, nrow);
  } else {
    s.f[n++] = {l.key, leaf_key(l.key, key, nkey)};
    if (code == KS_REDO_LEAF_INSERT || code == KS_REDO_LEAF_RESTORE) s.f[n++] = {l.row, leaf_row(l.row, row, nrow)};
  }
  vector(10, code, 1, leaf_dba, s.f, n, seg_objn_);
}

void ks_redo_record::redo_leaf_array(uint32_t leaf_dba, const ks_colval_t *const *keys, int nkey,
                                     const ks_colval_t *const *rows, const int *nrow, int nrows,
                                     const ks_rowref_t *next) {
  Scratch &s = t_s;
  LeafScratch &l = leaf_scratch();
  std::memset(l.hdr, 0, sizeof l.hdr);
  if (!bare_) l.hdr[0] = 1;
  l.hdr[KS_REDO_LEAF_FLAGS] = KS_REDO_LEAF_ARRAY;
  put16(l.hdr + KS_REDO_LEAF_ROWS, uint16_t(nrows));
  uint32_t ko = 0, ro = 0;
  for (int i = 0; i < nrows && i < int(sizeof l.lens[0] / 2); i++) {
    leaf_next_ = next ? next[i] : ks_rowref_t{0, 0};
    uint32_t kl = leaf_key(l.key + ko, keys[i], nkey), rl = leaf_row(l.row + ro, rows[i], nrow[i]);
    put16(l.lens[0] + 2 * i, uint16_t(kl));
    put16(l.lens[1] + 2 * i, uint16_t(rl));
    ko += kl;
    ro += rl;
  }
  leaf_next_ = {0, 0};
  s.f[0] = redo_field1();
  s.f[1] = {l.hdr, KS_REDO_LEAF_HDR_SIZE};
  s.f[2] = {l.key, ko};
  s.f[3] = {l.lens[0], uint32_t(2 * nrows)};
  s.f[4] = {l.row, ro};
  s.f[5] = {l.lens[1], uint32_t(2 * nrows)};
  vector(10, KS_REDO_LEAF_INSERT, 1, leaf_dba, s.f, 6, seg_objn_);
}

void ks_redo_record::space_change(uint8_t code, uint32_t bitmap_dba, uint32_t data_dba) {
  if (bare_) return;
  uint8_t b[8];
  put32(b, data_dba);
  put16(b + 4, 1);                   // the blocks changed
  put16(b + 6, code == 28 ? 1 : 4);  // state: full, or 75-100 % free
  ks_field_t f[1] = {{b, 8}};
  vector(13, code, 8, bitmap_dba, f, 1, seg_objn_);
}

void ks_redo_record::other(uint8_t layer, uint8_t code, uint16_t cls, uint32_t dba, const uint32_t *sizes, int n) {
  static thread_local uint8_t zeros[4096];
  ks_field_t f[32];
  if (n > 32) n = 32;
  for (int i = 0; i < n; i++) f[i] = {zeros, sizes[i] > sizeof zeros ? uint32_t(sizeof zeros) : sizes[i]};
  vector(layer, code, cls, dba, f, n);
}

// LOB operations. Sizes of the fields a database writes around the ones a reader takes:
// the common KDLI header of layer 26, the LOB id and LOB block header, the 26.x
// descriptors.
namespace {
constexpr uint32_t kLobIdLen = 10;
constexpr uint32_t kLobBlockHdr = 36;  // LOB block header before its data
constexpr uint32_t kKdliCommon = 16, kKdliXid = 24, kKdliLoad = 56, kKdliObj = 16, kKdliFill = 24;
constexpr uint8_t kLobBlockType = KS_DP_TYPE_LOB, kLobBlockFormat = 0xA2, kTableBlockFormat = 0xA2;
constexpr uint32_t kBlockTail = 4;    // the tail check closing a block
constexpr uint8_t kKdliOptLobId = 4;  // KDLI option whose LOB id is at +12
}  // namespace

void ks_redo_record::lob_llb(ks_rowref_t r, uint8_t type, const uint8_t *body, uint32_t blen, const ks_field_t *more,
                             int nmore) {
  uint8_t ty[4] = {type, 0, 0, 0};
  static thread_local std::vector<ks_field_t> f;
  f.assign({redo_field1(), {ty, 4}, {body, blen}});
  f.insert(f.end(), more, more + nmore);
  vector(11, 17, 1, r.dba, f.data(), int(f.size()), seg_objn_);
}

void ks_redo_record::lob_block(uint32_t dba, uint32_t lobj, const uint8_t *lob_id, uint32_t page, const uint8_t *data,
                               uint32_t n, uint32_t cap) {
  static thread_local std::vector<uint8_t> b;
  b.assign(kLobBlockHdr + cap, 0);
  std::memcpy(b.data() + 4, lob_id, kLobIdLen);
  put32(b.data() + 16, page);
  put32(b.data() + 20, n);
  put32(b.data() + 24, lobj);
  if (!bare_) store_scn6(b.data() + 28, scn_, big_);
  std::memcpy(b.data() + kLobBlockHdr, data, n);
  uint8_t ty[4] = {kLobBlockType, kLobBlockFormat, 0, 0};
  ks_field_t f[2] = {{b.data(), uint32_t(b.size())}, {ty, 4}};
  vector(19, 1, 1, dba, f, 2, lobj);
}

void ks_redo_record::dp_load(uint32_t objn, uint64_t xid) {
  uint8_t f[KS_DP_LOAD_SIZE] = {};
  put32(f + KS_DP_LOAD_OBJN, objn);
  put16(f + KS_DP_LOAD_USN, xid_usn(xid));
  put16(f + KS_DP_LOAD_SLOT, xid_slot(xid));
  put32(f + KS_DP_LOAD_SQN, xid_sqn(xid));
  ks_field_t fl[1] = {{f, KS_DP_LOAD_SIZE}};
  vector(24, 6, 1, 0, fl, 1, objn);
}

int ks_redo_record::dp_block_overhead(int itc, int ext, int nslot) {
  return KS_DP_BLK_ITL + KS_DP_ITL_SIZE * itc + (ext > 0 ? KS_DP_EXT_FIXED + ext : 0) + KS_DP_DH_DIR + 2 * nslot +
         kBlockTail;
}

bool ks_redo_record::dp_table_block(uint32_t dba, uint32_t objn, uint64_t xid, uint32_t bsz, int itc, int ext,
                                    const ks_dp_piece_t *pc, const uint16_t *slot, int n, int nslot) {
  static thread_local std::vector<uint8_t> b;
  b.assign(bsz, 0);
  uint8_t *p = b.data();
  p[KS_DP_BLK_TYPE] = 1;
  put16(p + KS_DP_BLK_ITC, uint16_t(itc));
  uint8_t *itl = p + KS_DP_BLK_ITL;  // the loader's transaction holds the first entry
  put16(itl + 8, xid_usn(xid));
  put16(itl + 10, xid_slot(xid));
  put32(itl + 12, xid_sqn(xid));
  uint32_t at = uint32_t(KS_DP_BLK_ITL + KS_DP_ITL_SIZE * itc);
  if (ext > 0) {
    p[KS_DP_BLK_FLAGS] |= KS_DP_BLK_EXT;
    put16(p + at + KS_DP_EXT_LENGTH, uint16_t(ext));
    at += uint32_t(KS_DP_EXT_FIXED + ext);
  }
  if (at + KS_DP_DH_DIR + 2 * uint32_t(nslot) + kBlockTail > bsz) return false;
  uint8_t *dh = p + at;
  dh[KS_DP_DH_NTAB] = 1;
  put16(dh + KS_DP_DH_T0_SLOTS, uint16_t(nslot));
  uint8_t *dir = dh + KS_DP_DH_DIR;
  std::vector<bool> used(size_t(nslot), false);
  for (int i = 0; i < n; i++) used[slot[i]] = true;
  int free_head = -1;
  for (int s = nslot; s-- > 0;)
    if (!used[size_t(s)]) {
      put16(dir + 2 * s, uint16_t(free_head));
      free_head = s;
    }
  put16(dh + KS_DP_DH_FREE, uint16_t(free_head));
  // Rows from the end of the block down, as a database fills it.
  uint32_t top = bsz - kBlockTail;
  const uint32_t floor = at + KS_DP_DH_DIR + 2 * uint32_t(nslot);
  for (int i = 0; i < n; i++) {
    const ks_dp_piece_t &r = pc[i];
    uint32_t len = KS_DP_ROW_HEADER + ((r.fb & KS_REDO_ROW_LAST) ? 0 : KS_DP_ROWID);
    for (int c = 0; c < r.n; c++) len += uint32_t(row_value_size(r.val[c].len));
    if (top < floor + len) return false;
    top -= len;
    uint8_t *q = p + top;
    q[0] = r.fb;
    q[1] = 1;  // locked by ITL 1, the loader
    q[2] = uint8_t(r.n);
    q += KS_DP_ROW_HEADER;
    if (!(r.fb & KS_REDO_ROW_LAST)) {
      store_be32(q, r.next_dba);
      store_be16(q + 4, r.next_slot);
      q += KS_DP_ROWID;
    }
    for (int c = 0; c < r.n; c++) {
      const ks_colval_t &v = r.val[c];
      if (v.len < 0) {
        *q++ = KS_ROW_VAL_NULL;
        continue;
      }
      if (v.len > KS_ROW_VAL_SHORT_MAX) {
        *q++ = KS_ROW_VAL_LONG;
        put16(q, uint16_t(v.len));
        q += 2;
      } else {
        *q++ = uint8_t(v.len);
      }
      if (v.len) std::memcpy(q, v.p, size_t(v.len));
      q += v.len;
    }
    put16(dir + 2 * slot[i], uint16_t(top - at));
  }
  uint8_t ty[4] = {KS_DP_TYPE_TABLE, kTableBlockFormat, 0, 0};
  ks_field_t f[2] = {{p, bsz}, {ty, 4}};
  vector(19, 1, 1, dba, f, 2, objn);
  return !overflow_;
}

void ks_redo_record::kdli_header(uint8_t op, uint64_t xid, uint32_t dba, uint32_t lobj, uint8_t *com, uint8_t *x) {
  std::memset(com, 0, kKdliCommon);
  std::memset(x, 0, kKdliXid);
  com[0] = op;
  put32(com + 4, dba);
  put32(x, dba);
  put32(x + 4, lobj);
  put16(x + 16, xid_usn(xid));
  put16(x + 18, xid_slot(xid));
  put32(x + 20, xid_sqn(xid));
}

void ks_redo_record::lob_load(uint64_t xid, uint32_t dba, uint32_t objn, uint32_t lobj, const uint8_t *lob_id,
                              const uint8_t *data, uint16_t n) {
  uint8_t com[kKdliCommon], x[kKdliXid], ld[kKdliLoad] = {}, ob[kKdliObj] = {};
  kdli_header(6, xid, dba, lobj, com, x);
  std::memcpy(ld + 12, lob_id, kLobIdLen);
  put32(ld + 24, dba);
  put16(ld + 52, n);
  put32(ob, lobj);
  put32(ob + 12, objn);
  ks_field_t f[5] = {{com, kKdliCommon}, {x, kKdliXid}, {ld, kKdliLoad}, {data, n}, {ob, kKdliObj}};
  vector(26, 6, 1, dba, f, 5, lobj);
}

void ks_redo_record::lob_fill(uint64_t xid, uint32_t dba, uint32_t objn, uint32_t lobj, const uint8_t *lob_id,
                              uint32_t at, const uint8_t *data, uint16_t n) {
  undo_other(xid, objn, 26, xid_usn(xid));
  static thread_local std::vector<uint8_t> d;
  d.assign(8 + size_t(n), 0);
  put32(d.data(), at);
  put16(d.data() + 4, n);
  std::memcpy(d.data() + 8, data, n);
  uint8_t com[kKdliCommon], fl[kKdliFill] = {}, x[kKdliXid];
  kdli_header(2, xid, dba, lobj, com, x);
  fl[0] = kKdliOptLobId;
  std::memcpy(fl + 12, lob_id, kLobIdLen);
  ks_field_t f[4] = {{com, kKdliCommon}, {x, kKdliXid}, {fl, kKdliFill}, {d.data(), uint32_t(d.size())}};
  vector(26, 2, 1, dba, f, 4, lobj);
}

}  // namespace ks::sim
