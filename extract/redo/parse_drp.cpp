// Delete row piece 11.3: one DELETE LCR whose old image is the undo's before image of the
// whole row (supplemental key columns first for cluster members), one field per value
// or, for a compressed block's row, the whole row image in one field. LONG and LOB values are
// not carried in old images. Invariants: values come only from fields of the checked
// undo vector; a column not stored in the row is a NULL old value.
#include "extract/redo/redo.h"
#include "extract/redo/row_image.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_drp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  if (m->flag & KS_MN_PIECE) return 0;
  if (m->undo == nullptr) return ks_parse_kdo_rollback(ex, vbuf, crp);
  if (m->sup == nullptr) {
    KS_ERROR("supplemental log not found.");
    return -1;
  }
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, m->undo) < 0) return -1;
  const uint8_t *h = ks_cv_field(&cv, 4, R::KS_REDO_IRP_SIZE);
  if (!h) {
    KS_ERROR("DRP chained row not match with undo.");
    return -1;
  }
  uint8_t fb = h[R::KS_REDO_KDO_FLAG];
  if (fb & R::KS_REDO_ROW_CLUSTER_KEY) return 0;
  if (!(fb & R::KS_REDO_ROW_FIRST) || !(fb & R::KS_REDO_ROW_LAST)) {
    KS_ERROR("DRP chained row not match with undo.");
    return -1;
  }
  ks_row_image_t ri;
  if (ks_row_image_read(ex, &cv, h, 5, "DRP", &ri) < 0) return -1;
  ks_lcr_b lb;
  ks_lcr_start(ex, &lb, m->ti, KS_OPC_DELETE);
  uint32_t n = 0;
  if ((fb & R::KS_REDO_ROW_CLUSTER_MEMBER) && ks_lcr_sup(ex, &lb, true, true, &n) < 0) return -1;
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  int ntc = static_cast<int>(t->ncol);
  int scid = crp->undo_scid ? crp->undo_scid : 1;
  int pos = 0;
  for (int i = 0; i < ri.n; i++, scid++) {
    int ci = ks_get_column(cols, ntc, scid);
    if (ci < 0) return ks_no_column(ex, scid);
    pos = ci + 1;
    const ks_dict_col_t *c = &cols[ci];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    uint32_t len = ri.len[i];
    if (len == 0) {
      ks_lcr_col(&lb, c, ks_col_flag(c, true) | KS_CH_NULL, nullptr, 0);
    } else if (ks_is_long_or_lob(c->ctyp)) {
      continue;
    } else {
      ks_lcr_col(&lb, c, ks_col_flag(c, true), ri.p[i], len);
    }
    n++;
  }
  for (int i = pos; i < ntc; i++) {
    const ks_dict_col_t *c = &cols[i];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    ks_lcr_col(&lb, c, ks_col_flag(c, true) | KS_CH_NULL, nullptr, 0);
    n++;
  }
  auto *rh = reinterpret_cast<ks_lcr_rh_t *>(lb.base);
  rh->opos = KS_LCR_RH_SZ;
  rh->nold = n;
  return ks_lcr_finish(ex, &lb, "DELETE");
}
