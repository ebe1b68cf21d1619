// Overwrite row piece 11.6 of a whole row: how an update of a row of a compressed block
// is logged. The undo carries the whole old row and no supplemental-log header, the redo
// the whole new row; either may come one field per value or as one row image. One UPDATE
// LCR: the new values of the columns whose value differs, then the old image: the key
// columns and the changed columns' before images. The key is what apply's WHERE clause
// finds the row by, and with no supplemental header it is taken from the dictionary: the
// primary key, else the unique key, else every column (LONG and LOB values excepted,
// which are never in old images). An overwrite that changes nothing is still delivered
// (with no new value, apply has nothing to run) so that a rollback of it cancels it and
// not the transaction's change before it. Invariants: values only from fields of the
// checked vectors; rows that are pieces of a chained row, or members of a cluster, are
// refused (their other columns are not in the record).
#include <cstring>

#include "extract/redo/redo.h"
#include "extract/redo/row_image.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

namespace {

bool whole(uint8_t fb) {
  return (fb & R::KS_REDO_ROW_FIRST) && (fb & R::KS_REDO_ROW_LAST) &&
         !(fb & (R::KS_REDO_ROW_CLUSTER_KEY | R::KS_REDO_ROW_CLUSTER_MEMBER));
}

// Value of segment column scid in a row: NULL (length 0) beyond the columns it stores
// (and for an id below 1, which only a damaged dictionary gives).
void value_of(const ks_row_image_t &r, int scid, uint8_t **p, uint32_t *len) {
  if (scid >= 1 && scid <= r.n) {
    *p = r.p[scid - 1];
    *len = r.len[scid - 1];
  } else {
    *p = nullptr;
    *len = 0;
  }
}

}  // namespace

int ks_parse_orp_update(ks_extr_t *ex, const ks_cv_t *cv, const uint8_t *h) {
  ks_miner_t *m = ex->m;
  ks_cv_t ucv;
  if (ks_cv_in_record(ex, &ucv, m->undo) < 0) return -1;
  const uint8_t *uh = ks_cv_field(&ucv, 4, R::KS_REDO_IRP_SIZE);
  const int ucode = uh ? (uh[R::KS_REDO_KDO_OP] & R::KS_REDO_KDO_OP_MASK) : 0;
  if (ucode != R::KS_REDO_OP_ORP && ucode != R::KS_REDO_OP_IRP) {
    KS_ERROR("ORP whose undo does not carry the old row (undo operation 11.%d, XID: %d.%d.%d).", ucode,
             KS_XID_ARGS(m->xid));
    return -1;
  }
  if (!whole(h[R::KS_REDO_KDO_FLAG]) || !whole(uh[R::KS_REDO_KDO_FLAG])) {
    KS_ERROR("ORP of a row piece with no chained row in progress (row flags 0x%02x / 0x%02x, XID: %d.%d.%d).",
             h[R::KS_REDO_KDO_FLAG], uh[R::KS_REDO_KDO_FLAG], KS_XID_ARGS(m->xid));
    return -1;
  }
  ks_row_image_t nr, orow;
  if (ks_row_image_read(ex, cv, h, 3, "ORP", &nr) < 0 || ks_row_image_read(ex, &ucv, uh, 5, "ORP undo", &orow) < 0)
    return -1;
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  const int ntc = static_cast<int>(t->ncol);
  uint32_t key = 0;
  for (int i = 0; i < ntc && key != KS_COL_PK; i++)
    if (!(cols[i].flag & KS_COL_NOCAPTURE)) key |= cols[i].flag & (KS_COL_PK | KS_COL_UK);
  key = (key & KS_COL_PK) ? KS_COL_PK : key;  // 0: no key, every column stands for it

  // Columns by segment column id, with whether their value changed.
  static thread_local bool changed[KS_CV_MAX_FIELDS + 1];
  const int top = nr.n > orow.n ? nr.n : orow.n;
  for (int s = 1; s <= top; s++) {
    uint8_t *a, *b;
    uint32_t la, lb;
    value_of(orow, s, &a, &la);
    value_of(nr, s, &b, &lb);
    changed[s] = la != lb || (la != 0 && std::memcmp(a, b, la) != 0);
  }
  ks_lcr_b lb;
  ks_lcr_start(ex, &lb, m->ti, KS_OPC_UPDATE);
  uint32_t nnew = 0, nold = 0;
  for (int s = 1; s <= top; s++) {
    if (!changed[s]) continue;
    int ci = ks_get_column(cols, ntc, s);
    if (ci < 0) return ks_no_column(ex, s);
    const ks_dict_col_t *c = &cols[ci];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    uint8_t *p;
    uint32_t len;
    value_of(nr, s, &p, &len);
    if (ks_lcr_value(&lb, c, ks_col_flag(c, false), p, len) < 0) return -1;
    nnew++;
  }
  auto *rh = reinterpret_cast<ks_lcr_rh_t *>(lb.base);
  rh->nnew = nnew;
  rh->opos = lb.pos;
  for (int ci = 0; ci < ntc; ci++) {
    // Every column, those the old row does not store included: without a key, a NULL
    // is part of what finds the row.
    const ks_dict_col_t *c = &cols[ci];
    const int s = static_cast<int>(c->scid);
    if (s == 0 || (c->flag & KS_COL_NOCAPTURE) || ks_is_long_or_lob(c->ctyp)) continue;
    const bool is_key = key == 0 || (c->flag & key);
    if (!is_key && !(s <= top && changed[s])) continue;
    uint8_t *p;
    uint32_t len;
    value_of(orow, s, &p, &len);
    if (len == 0)
      ks_lcr_col(&lb, c, ks_col_flag(c, true) | KS_CH_NULL, nullptr, 0);
    else
      ks_lcr_col(&lb, c, ks_col_flag(c, true), p, len);
    nold++;
  }
  rh = reinterpret_cast<ks_lcr_rh_t *>(lb.base);
  rh->nold = nold;
  if (nold == 0) rh->opos = 0;
  return ks_lcr_finish(ex, &lb, "UPDATE");
}
