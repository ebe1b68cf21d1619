// Local LOB data vectors of SecureFile LOBs: 26.6 loads new data, 26.2 fills data into
// existing LOB space. Each becomes one LOB WRITE of the operation its LOB id names,
// after the row change and LOB SELECT that the operation's first data needs.
// Invariants: data is copied only from inside its field; amounts never run below 0.
#include <algorithm>

#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace {

// One piece of len data bytes at the descriptor's offset.
int local_write(ks_extr_t *ex, ks_llb_t *l, const uint8_t *data, uint32_t len) {
  l->amnt -= std::min(len, l->amnt);
  uint32_t amount = len;
  uint64_t offset = l->offset;
  if (ks_llb_byte_units(ex, l)) {
    amount /= 2;
    offset = offset / 2 + 1;
  }
  l->offset += len;
  if (ks_lob_lcr(ex, KS_OPC_LOB_WRITE, l->amnt == 0 ? KS_RH_LOB_LAST : 0, amount, offset, data, len) < 0) return -1;
  KS_DETAIL("append local LOB WRITE LCR (XID: %d.%d.%d)", KS_XID_ARGS(ex->m->xid));
  return 0;
}

// The descriptor of a LOB id and its table made the miner's; rc 0 with l null when the
// operation writes no data (trim, erase).
int operation_of(ks_extr_t *ex, const uint8_t *lob_id, ks_llb_t **out) {
  *out = nullptr;
  ks_llb_t *l = ks_llb_find_id(lob_id);
  if (l == nullptr) return KS_RC_NOT_CAPTURED;
  if (l->op == KS_LLB_OP_TRIM || l->op == KS_LLB_OP_ERASE) return 0;
  if (int rc = ks_llb_table(ex, l->objn); rc != 0) return rc;
  if (!(l->flag & KS_LLB_LOCAL_SEL)) {
    if (int rc = ks_lob_first_data(ex, l); rc != 0) return rc;
    l->flag |= KS_LLB_LOCAL_SEL;
  }
  *out = l;
  return 0;
}

}  // namespace

int ks_parse_local_lob_fill(ks_extr_t *ex, uint8_t *vbuf) {
  if (ex->m->undo == nullptr) return 0;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *f3 = ks_cv_field(&cv, 3, 1);
  if (f3 == nullptr) {
    KS_ERROR("local LOB fill without its KDLI field.");
    return -1;
  }
  const uint32_t id_at = f3[0] == 4 ? 12 : f3[0] == 1 ? 1 : 0;
  if (id_at == 0) {
    KS_ERROR("unknown KDLI opt[0x%x].", f3[0]);
    return -1;
  }
  if (cv.len[3] < id_at + 10) {
    KS_ERROR("local LOB fill KDLI field too short (%d bytes).", cv.len[3]);
    return -1;
  }
  ks_llb_t *l = nullptr;
  if (int rc = operation_of(ex, f3 + id_at, &l); rc != 0 || l == nullptr) return rc;
  const uint8_t *f4 = ks_cv_field(&cv, 4, 8);
  const uint32_t len = f4 ? ks::load16(f4 + 4, cv.big) : 0;
  if (f4 == nullptr || cv.len[4] < 8 + len) {
    KS_ERROR("local LOB fill data field too short (%d bytes).", ks_cv_len(&cv, 4));
    return -1;
  }
  ex->m->xid = l->xid;
  return local_write(ex, l, f4 + 8, len);
}

int ks_parse_local_lob_load(ks_extr_t *ex, uint8_t *vbuf) {
  ks_miner_t *m = ex->m;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *f2 = ks_cv_field(&cv, 2, 24), *f3 = ks_cv_field(&cv, 3, 54), *f5 = ks_cv_field(&cv, 5, 16);
  if (f2 == nullptr || f3 == nullptr || f5 == nullptr) {
    KS_ERROR("local LOB load vector incomplete.");
    return -1;
  }
  const uint64_t xid =
      ks::redo::make_xid(ks::load16(f2 + 16, cv.big), ks::load16(f2 + 18, cv.big), ks::load32(f2 + 20, cv.big));
  ks_llb_t *l = nullptr;
  if (int rc = operation_of(ex, f3 + 12, &l); rc != 0 || l == nullptr) return rc;
  if (ks::load32(f5 + 12, cv.big) != l->objn) {
    KS_ERROR("not the same table operated.");
    return -1;
  }
  const uint32_t len = ks::load16(f3 + 52, cv.big);
  if (ks_cv_len(&cv, 4) < static_cast<int>(len)) {
    KS_ERROR("local LOB load holds %d data bytes, its amount is %u.", ks_cv_len(&cv, 4), len);
    return -1;
  }
  m->xid = xid;
  m->pxid = xid;
  return local_write(ex, l, len ? ks_cv_field(&cv, 4) : nullptr, len);
}
