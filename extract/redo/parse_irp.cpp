// Insert row piece 11.2: one INSERT LCR per whole row, every captured column present
// (columns the row does not store are NULL), from one field per value or from the whole
// row image of a compressed block's row. Pieces of chained rows only leave their
// next-piece row id for the chain buffer. Invariants: values are read only from fields
// of the checked vector; a not-captured column still consumes its value field.
#include "extract/redo/redo.h"
#include "extract/redo/row_image.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_irp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  if (m->undo == nullptr) return ks_parse_kdo_rollback(ex, vbuf, crp);
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_IRP_SIZE);
  if (!h) {
    KS_ERROR("IRP row header too short.");
    return -1;
  }
  // A whole row image holds every value: it needs no supplemental header to be built,
  // only the captured table its undo named.
  if (m->sup == nullptr && !(h[R::KS_REDO_KDO_OP_FLAGS] & R::KS_REDO_KDO_ROW_IMAGE)) {
    KS_ERROR("supplemental log not found.");
    return -1;
  }
  if (m->sup == nullptr && m->objn == 0) return KS_RC_NOT_CAPTURED;
  if (!(m->flag & KS_MN_PIECE) && ks_insert_lob_skip(ex)) return 0;
  uint8_t fb = h[R::KS_REDO_KDO_FLAG];
  if (m->flag & KS_MN_PIECE) {
    crp->rn_rdba = ks::load32(h + R::KS_REDO_IRP_NEXT_DBA, cv.big);
    crp->rn_slot = ks::load16(h + R::KS_REDO_IRP_NEXT_SLOT, cv.big);
    crp->rfb = fb;
    return 0;
  }
  if (fb & R::KS_REDO_ROW_CLUSTER_KEY) return 0;
  if (!(fb & R::KS_REDO_ROW_FIRST) || !(fb & R::KS_REDO_ROW_LAST)) {
    KS_ERROR("IRP chained row not match with undo.");
    return -1;
  }
  ks_row_image_t ri;
  if (ks_row_image_read(ex, &cv, h, 3, "IRP", &ri) < 0) return -1;
  ks_lcr_b lb;
  ks_lcr_start(ex, &lb, m->ti, KS_OPC_INSERT);
  uint32_t n = 0;
  if ((fb & R::KS_REDO_ROW_CLUSTER_MEMBER) && (m->sup == nullptr || ks_lcr_sup(ex, &lb, false, true, &n) < 0))
    return -1;
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  int ntc = static_cast<int>(t->ncol);
  int scid = crp->redo_scid ? crp->redo_scid : 1;
  int pos = 0;
  for (int i = 0; i < ri.n; i++, scid++) {
    int ci = ks_get_column(cols, ntc, scid);
    if (ci < 0) return ks_no_column(ex, scid);
    pos = ci + 1;
    const ks_dict_col_t *c = &cols[ci];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    if (ks_lcr_value(&lb, c, ks_col_flag(c, false), ri.p[i], ri.len[i]) < 0) return -1;
    n++;
  }
  for (int i = pos; i < ntc; i++) {
    const ks_dict_col_t *c = &cols[i];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    ks_lcr_col(&lb, c, ks_col_flag(c, false) | KS_CH_NULL, nullptr, 0);
    n++;
  }
  auto *rh = reinterpret_cast<ks_lcr_rh_t *>(lb.base);
  rh->nnew = n;
  return ks_lcr_finish(ex, &lb, "INSERT");
}
