// Insert row piece 11.2: one INSERT LCR per whole row, every captured column present
// (columns the row does not store are NULL). Pieces of chained rows only leave their
// next-piece row id for the chain buffer. Invariants: values are read only from fields
// of the checked vector; a not-captured column still consumes its value field.
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_irp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  if (m->undo == nullptr) return ks_parse_kdo_rollback(ex, vbuf, crp);
  if (m->sup == nullptr) {
    KS_ERROR("supplemental log not found.");
    return -1;
  }
  if (!(m->flag & KS_MN_PIECE) && ks_insert_lob_skip(ex)) return 0;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_IRP_SIZE);
  if (!h) {
    KS_ERROR("IRP row header too short.");
    return -1;
  }
  uint8_t fb = h[R::KS_REDO_KDO_FLAG];
  int ncols = h[R::KS_REDO_IRP_COLUMNS];
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
  ks_lcr_b lb;
  ks_lcr_start(ex, &lb, m->ti, KS_OPC_INSERT);
  uint32_t n = 0;
  if ((fb & R::KS_REDO_ROW_CLUSTER_MEMBER) && ks_lcr_sup(ex, &lb, false, true, &n) < 0) return -1;
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  int ntc = static_cast<int>(t->ncol);
  int scid = crp->redo_scid ? crp->redo_scid : 1;
  int pos = 0;
  for (int i = 0; i < ncols; i++, scid++) {
    int ci = ks_get_column(cols, ntc, scid);
    if (ci < 0) return ks_no_column(ex, scid);
    pos = ci + 1;
    int k = 3 + i;
    if (k > cv.nf) {
      KS_ERROR("IRP column %d of %d missing in the redo.", i + 1, ncols);
      return -1;
    }
    const ks_dict_col_t *c = &cols[ci];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    if (ks_lcr_value(&lb, c, ks_col_flag(c, false), cv.v + cv.off[k], cv.len[k]) < 0) return -1;
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
