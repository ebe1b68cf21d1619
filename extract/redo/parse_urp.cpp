// Update row piece 11.5: one UPDATE LCR with the changed columns' new values, then the
// old image: supplemental key columns, the changed columns' before image, and NULL old
// values for changed columns the old row piece did not store. Updates of the sequence
// table go to the sequence handler instead. Invariants: values only from fields of the
// checked vectors; LONG and LOB before images are not carried.
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_urp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  if (m->undo == nullptr) return ks_parse_kdo_rollback(ex, vbuf, crp);
  if (m->sup == nullptr) {
    KS_ERROR("supplemental log not found.");
    return -1;
  }
  if (!(m->flag & KS_MN_PIECE) && ks_update_lob_skip(ex)) return 0;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const bool big = cv.big;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_URP_SIZE);
  if (!h) {
    KS_ERROR("URP row header too short.");
    return -1;
  }
  if (h[11] & 0x80) return 0;
  uint8_t fb = h[R::KS_REDO_KDO_FLAG];
  if (fb & R::KS_REDO_ROW_CLUSTER_KEY) return 0;
  if (m->flag & KS_MN_PIECE) {
    crp->rfb = fb;
    return 0;
  }
  if (x_sync_seq && ex->d->hdr->seqn != 0 && m->objn == ex->d->hdr->seqn) return ks_parse_sequence(ex, vbuf);

  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  int ntc = static_cast<int>(t->ncol);
  ks_lcr_b lb;
  ks_lcr_start(ex, &lb, m->ti, KS_OPC_UPDATE);

  // New values: field 3 holds the changed column numbers, values from field 4.
  int nn = ks_cv_len(&cv, 3) < 0 ? 0 : cv.len[3] / 2;
  const uint8_t *nums = nn ? cv.v + cv.off[3] : nullptr;
  uint16_t first = nn ? ks::load16(nums, big) : 0;
  uint32_t nnew = 0;
  int k = 4;
  for (int i = 0; i < nn; i++) {
    int num = ks::load16(nums + 2 * i, big);
    int scid;
    if (crp->redo_scid) {
      if (num < first) continue;
      scid = num - first + crp->redo_scid;
    } else {
      scid = num + 1;
    }
    int ci = ks_get_column(cols, ntc, scid);
    if (ci < 0) return ks_no_column(ex, scid);
    if (k > cv.nf) {
      KS_ERROR("URP column %d of %d missing in the redo.", i + 1, nn);
      return -1;
    }
    const ks_dict_col_t *c = &cols[ci];
    if (ks_lcr_value(&lb, c, ks_col_flag(c, false), cv.v + cv.off[k], cv.len[k]) < 0) return -1;
    k++;
    nnew++;
  }
  auto *rh = reinterpret_cast<ks_lcr_rh_t *>(lb.base);
  rh->nnew = nnew;
  rh->opos = lb.pos;

  uint32_t nold = 0;
  if (ks_lcr_sup(ex, &lb, true, false, &nold) < 0) return -1;

  // Before image from the undo: field 4 URP header, field 5 numbers, values from 6.
  ks_cv_t ucv;
  if (ks_cv_in_record(ex, &ucv, m->undo) < 0) return -1;
  const uint8_t *uh = ks_cv_field(&ucv, 4, R::KS_REDO_URP_SIZE);
  if (!uh) {
    KS_ERROR("URP chained row not match with undo.");
    return -1;
  }
  int no = uh[R::KS_REDO_URP_COLUMNS];
  int n5 = ks_cv_len(&ucv, 5) < 0 ? 0 : ucv.len[5] / 2;
  if (no > n5) no = n5;
  const uint8_t *unums = n5 ? ucv.v + ucv.off[5] : nullptr;
  uint16_t ufirst = n5 ? ks::load16(unums, big) : 0;
  int uk = 6;
  uint32_t nb = 0;
  for (int i = 0; i < no; i++) {
    int num = ks::load16(unums + 2 * i, big);
    int scid;
    if (crp->undo_scid) {
      if (num < ufirst) continue;
      scid = num - ufirst + crp->undo_scid;
    } else {
      scid = num + 1;
    }
    int ci = ks_get_column(cols, ntc, scid);
    if (ci < 0) return ks_no_column(ex, scid);
    if (uk > ucv.nf) {
      KS_ERROR("URP column %d of %d missing in the undo.", i + 1, no);
      return -1;
    }
    const ks_dict_col_t *c = &cols[ci];
    uint32_t len = ucv.len[uk];
    uint8_t *data = ucv.v + ucv.off[uk];
    uk++;
    nb++;
    if (ks_is_long_or_lob(c->ctyp)) continue;
    if (len == 0)
      ks_lcr_col(&lb, c, ks_col_flag(c, true) | KS_CH_NULL, nullptr, 0);
    else
      ks_lcr_col(&lb, c, ks_col_flag(c, true), data, len);
    nold++;
  }
  if (nb < nnew) {
    KS_DEBUG("nnew=%d, nold=%d", static_cast<int>(nnew), static_cast<int>(nb));
    for (int i = static_cast<int>(nb); i < nn && i < static_cast<int>(nnew); i++) {
      int num = ks::load16(nums + 2 * i, big);
      int scid = crp->redo_scid ? num - first + crp->redo_scid : num + 1;
      int ci = ks_get_column(cols, ntc, scid);
      if (ci < 0) return ks_no_column(ex, scid);
      const ks_dict_col_t *c = &cols[ci];
      ks_lcr_col(&lb, c, ks_col_flag(c, false) | KS_CH_NULL, nullptr, 0);
      nold++;
    }
  }
  rh = reinterpret_cast<ks_lcr_rh_t *>(lb.base);
  rh->nold = nold;
  if (nold == 0) rh->opos = 0;
  return ks_lcr_finish(ex, &lb, "UPDATE");
}
