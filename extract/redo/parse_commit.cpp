// Transaction end 5.4 (COMMIT or ROLLBACK) and the audit vector 5.20 that carries a
// session tag: short LCRs for the transaction table. Invariants: the XID of a commit is
// rebuilt from the undo segment of the block class and the slot/sequence of field 1.
#include <cstring>

#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_commit(ks_extr_t *ex, uint8_t *vbuf) {
  ks_miner_t *m = ex->m;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *f = ks_cv_field(&cv, 1, R::KS_REDO_CMT_SIZE);
  if (!f) return -1;
  int cls = ks::load16(vbuf + R::KS_REDO_CV_CLASS, cv.big);
  if (cls < ex->l->cls_usn) return -1;
  uint16_t usn = static_cast<uint16_t>((cls - ex->l->cls_usn) / 2);
  uint64_t xid =
      R::make_xid(usn, ks::load16(f + R::KS_REDO_CMT_SLOT, cv.big), ks::load32(f + R::KS_REDO_CMT_SQN, cv.big));
  m->xid = xid;
  m->pxid = xid;
  ks_lcr_rhs_t rh;
  rh.rlen = KS_LCR_RHS_SZ;
  rh.flag = KS_RH_SHORT;
  rh.opc = (f[R::KS_REDO_CMT_FLAG] & R::KS_REDO_CMT_ROLLBACK_BIT) ? KS_OPC_ROLLBACK : KS_OPC_COMMIT;
  rh.dlen = 0;
  uint8_t *buf = ex->b->lcr_buf;
  std::memcpy(buf, &rh, sizeof(rh));
  if (ks_redo_append(ex, reinterpret_cast<ks_lcr_rh_t *>(buf)) < 0) return -1;
  ks_chain_transaction_end(ex, xid, rh.opc == KS_OPC_COMMIT);
  ks_llb_transaction_end(ex, xid);
  KS_DEBUG("append COMMIT LCR (XID: %d.%d.%d) (SCN: %lu) ...", KS_XID_ARGS(xid), static_cast<unsigned long>(m->scn));
  return 0;
}

int ks_parse_audit(ks_extr_t *ex, uint8_t *vbuf) {
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  // The session information a transaction's first record carries (current schema) has
  // no sixth field: nothing to take.
  const uint8_t *f = ks_cv_field(&cv, 6);
  int fl = ks_cv_len(&cv, 6);
  if (!f || fl <= 7) return 0;
  uint32_t len, start;
  if (fl < R::KS_REDO_AUD_TAG) return 0;
  if (f[R::KS_REDO_AUD_TAG_LENGTH] == 0xFE) {
    if (fl < R::KS_REDO_AUD_TAG_LONG) return 0;
    len = ks::load16(f + R::KS_REDO_AUD_TAG_LENGTH + 1, cv.big);
    start = R::KS_REDO_AUD_TAG_LONG;
  } else {
    len = f[R::KS_REDO_AUD_TAG_LENGTH];
    start = R::KS_REDO_AUD_TAG;
  }
  if (start + len > static_cast<uint32_t>(fl)) {
    KS_ERROR("audit tag length %u goes past its field (%d bytes).", len, fl);
    return -1;
  }
  ks_lcr_rhs_t rh;
  rh.rlen = KS_LCR_RHS_SZ + len;
  rh.flag = KS_RH_SHORT;
  rh.opc = KS_OPC_TAG;
  rh.dlen = len;
  uint8_t *buf = ex->b->lcr_buf;
  std::memcpy(buf, &rh, sizeof(rh));
  if (len) std::memcpy(buf + KS_LCR_RHS_SZ, f + start, len);
  if (ks_redo_append(ex, reinterpret_cast<ks_lcr_rh_t *>(buf)) < 0) return -1;
  KS_DETAIL("append TAG LCR (XID: %d.%d.%d)", KS_XID_ARGS(ex->m->xid));
  return 0;
}
