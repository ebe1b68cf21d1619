// Leaf operations of index-organised tables, whose rows are the leaf rows of their
// primary key: an insert (10.2, one row, or an array of rows as one QUICK INSERT), a
// delete (10.4, its before image from the undo's restore) and an update of non-key
// columns (10.35) become changes built as the heap handlers build theirs. An update of the
// key arrives as a delete of the old leaf row and an insert of the new one, and is
// delivered as that pair. A row continued in the overflow segment is built from all its
// records once the last is in (ks_iot_chained_row). Leaf operations this build does not
// read, of a captured table,
// are handed back as KS_RC_IOT_NOT_DECODED for the dispatcher to report.
// Invariants: every value is read inside its checked field; a key or row that does not
// parse refuses the change (logged); leaf redo of other indexes is passed over.
#include "extract/redo/redo.h"
#include "extract/redo/row_value.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

namespace {

// The record's undo named a captured index-organised table: its leaf redo is a row change.
bool iot_change(ks_extr_t *ex) { return ex->m->objn != 0 && ex->d != nullptr && (ks_tab(ex)->flag & KS_TAB_IOT) != 0; }

// Dictionary positions of the table's primary-key columns, in dictionary order: their
// count, or -1 past what is decoded (logged).
int key_columns(ks_extr_t *ex, int *idx) {
  const ks_dict_tab_t *t = ks_tab(ex);
  const ks_dict_col_t *cols = ks_tab_cols(ex);
  int n = 0;
  for (uint32_t i = 0; i < t->ncol; i++) {
    if (!(cols[i].flag & KS_COL_PK)) continue;
    if (n == KS_DICT_IOT_MAX_KEYS) {
      KS_ERROR("too many primary keys in table \"%s\".\"%s\".", ex->d->sch[t->ui].name, t->name);
      return -1;
    }
    idx[n++] = static_cast<int>(i);
  }
  return n;
}

// The column entries of one row image being built: new values, or an old image (key flags;
// LONG and LOB before images are not carried, as for heap deletes).
struct Image {
  ks_extr_t *ex;
  ks_lcr_b *lb;
  bool old;
  bool big;
  uint32_t n = 0;  // entries written
  int scid = 1;    // segment column id of the next row column
  int pos = 0;     // dictionary positions up to here have had their value
};

int entry(Image &im, const ks_dict_col_t *c, const ks_row_val_t &v) {
  im.n++;
  const uint32_t f = ks_col_flag(c, im.old);
  if (v.null || v.len == 0) {
    ks_lcr_col(im.lb, c, f | KS_CH_NULL, nullptr, 0);
    return 0;
  }
  if (!im.old) return ks_lcr_value(im.lb, c, f, const_cast<uint8_t *>(v.p), v.len);
  if (ks_is_long_or_lob(c->ctyp)) {
    im.n--;
    return 0;
  }
  ks_lcr_col(im.lb, c, f, v.p, v.len);
  return 0;
}

int past_field(ks_extr_t *ex, const char *what) {
  const ks_dict_tab_t *t = ks_tab(ex);
  KS_ERROR("IOT %s of table \"%s\".\"%s\" goes past its field (XID: %d.%d.%d).", what, ex->d->sch[t->ui].name, t->name,
           KS_XID_ARGS(ex->m->xid));
  return -1;
}

// The key columns from [p, end). 0 / -1 (logged).
int key_part(Image &im, const uint8_t *p, const uint8_t *end) {
  int idx[KS_DICT_IOT_MAX_KEYS];
  const int nk = key_columns(im.ex, idx);
  if (nk < 0) return -1;
  const ks_dict_col_t *cols = ks_tab_cols(im.ex);
  for (int k = 0; k < nk; k++) {
    ks_row_val_t v;
    if (ks_row_value(&p, end, im.big, &v) < 0) return past_field(im.ex, "key");
    const ks_dict_col_t *c = &cols[idx[k]];
    im.scid = static_cast<int>(c->scid) + 1;
    if (idx[k] + 1 > im.pos) im.pos = idx[k] + 1;
    if (c->flag & KS_COL_NOCAPTURE) continue;
    if (entry(im, c, v) < 0) return -1;
  }
  return 0;
}

// The non-key part of a leaf row at [p, end): row header, then its columns by running
// segment column id. A row continued in the overflow segment is taken only when next is
// given: it gets the next piece's row id (0.0 for a whole row). 0 / -1 (logged).
int row_part(Image &im, const uint8_t *p, const uint8_t *end, ks_rowid_t *next = nullptr) {
  if (end - p < R::KS_REDO_LEAF_ROW_HEADER) return past_field(im.ex, "row");
  const uint8_t fb = p[0];
  const int cc = p[R::KS_REDO_LEAF_ROW_COLUMNS];
  if (next) *next = ks_rowid_t{0, 0};
  if (!(fb & R::KS_REDO_ROW_FIRST) || (!(fb & R::KS_REDO_ROW_LAST) && !next)) {
    KS_ERROR("IOT chained row not match with undo.");
    return -1;
  }
  if (!(fb & R::KS_REDO_ROW_LAST)) {
    if (end - p < R::KS_REDO_LEAF_ROW_NEXT_HEADER) return past_field(im.ex, "row");
    *next =
        ks_rowid_t{ks::load_be32(p + R::KS_REDO_LEAF_ROW_HEADER), ks::load_be16(p + R::KS_REDO_LEAF_ROW_HEADER + 4)};
    p += R::KS_REDO_LEAF_ROW_NEXT_HEADER - R::KS_REDO_LEAF_ROW_HEADER;
  }
  p += R::KS_REDO_LEAF_ROW_HEADER;
  ks_dict_col_t *cols = ks_tab_cols(im.ex);
  const int ntc = static_cast<int>(ks_tab(im.ex)->ncol);
  for (int i = 0; i < cc; i++, im.scid++) {
    ks_row_val_t v;
    if (ks_row_value(&p, end, im.big, &v) < 0) return past_field(im.ex, "row");
    const int ci = ks_get_column(cols, ntc, im.scid);
    if (ci < 0) return ks_no_column(im.ex, im.scid);
    if (ci + 1 > im.pos) im.pos = ci + 1;
    if (cols[ci].flag & KS_COL_NOCAPTURE) continue;
    if (entry(im, &cols[ci], v) < 0) return -1;
  }
  return 0;
}

// NULL entries for the captured columns the row does not store (past its last one).
void null_rest(Image &im) {
  const ks_dict_col_t *cols = ks_tab_cols(im.ex);
  const int ntc = static_cast<int>(ks_tab(im.ex)->ncol);
  for (int i = im.pos; i < ntc; i++) {
    if (cols[i].flag & KS_COL_NOCAPTURE) continue;
    ks_lcr_col(im.lb, &cols[i], ks_col_flag(&cols[i], im.old) | KS_CH_NULL, nullptr, 0);
    im.n++;
  }
}

inline const uint8_t *end_of(const ks_cv_t &cv, int k) { return cv.v + cv.off[k] + cv.len[k]; }

// Undo field 4 of the record: the leaf operation that undoes this change, or -1.
int undo_leaf_op(ks_extr_t *ex, ks_cv_t *ucv) {
  if (ks_cv_in_record(ex, ucv, ex->m->undo) < 0) return -1;
  const uint8_t *u4 = ks_cv_field(ucv, 4, 1);
  return u4 ? u4[0] : -1;
}

// Changed columns of a 10.35 (numbers in field k, values from field k + 1) as entries,
// their segment column ids from scid0 (0: the numbers count from 0); *count gets the
// columns walked.
int changed_columns(Image &im, const ks_cv_t &cv, int k, int scid0, uint32_t *count) {
  const int nn = ks_cv_len(&cv, k) < 0 ? 0 : cv.len[k] / 2;
  const uint8_t *nums = cv.v + cv.off[k];
  const uint16_t first = nn ? ks::load16(nums, cv.big) : 0;
  ks_dict_col_t *cols = ks_tab_cols(im.ex);
  const int ntc = static_cast<int>(ks_tab(im.ex)->ncol);
  *count = 0;
  for (int i = 0; i < nn; i++) {
    const int num = ks::load16(nums + 2 * i, cv.big);
    const int scid = scid0 ? num - first + scid0 : num + 1;
    const int ci = ks_get_column(cols, ntc, scid);
    if (ci < 0) return ks_no_column(im.ex, scid);
    const int vk = k + 1 + i;
    if (vk > cv.nf) {
      KS_ERROR("IOT update column %d of %d missing.", i + 1, nn);
      return -1;
    }
    ks_row_val_t v{cv.v + cv.off[vk], cv.len[vk], cv.len[vk] == 0};
    if (entry(im, &cols[ci], v) < 0) return -1;
    (*count)++;
  }
  return 0;
}

}  // namespace

int ks_iot_chained_row(ks_extr_t *ex, int opc, const ks_cv_t *leaf, int kf, const ks_iot_piece_fn &piece) {
  const bool del = opc == KS_OPC_DELETE;
  if (leaf->nf < kf + 1) {
    KS_ERROR("IOT chained %s without its leaf row.", del ? "delete" : "insert");
    return -1;
  }
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, ex->m->ti, opc);
  Image im{ex, &lb, del, leaf->big};
  ks_rowid_t next{0, 0};
  if (key_part(im, leaf->v + leaf->off[kf], end_of(*leaf, kf)) < 0 ||
      row_part(im, leaf->v + leaf->off[kf + 1], end_of(*leaf, kf + 1), &next) < 0)
    return -1;
  ks_dict_col_t *cols = ks_tab_cols(ex);
  const int ntc = static_cast<int>(ks_tab(ex)->ncol);
  // The overflow pieces, each a heap row piece: its header, then one field per column.
  for (int hops = 0; next.dba != 0 || next.slot != 0; hops++) {
    const ks_cv_t *cv = nullptr;
    int hk = 0;
    const uint8_t *h = nullptr;
    if (hops > KS_CHAIN_ROWS || !piece(next, &cv, &hk) || !(h = ks_cv_field(cv, hk, R::KS_REDO_IRP_SIZE))) {
      KS_ERROR("next piece not found.");
      return -1;
    }
    const uint8_t fb = h[R::KS_REDO_KDO_FLAG];
    const int cc = h[R::KS_REDO_IRP_COLUMNS];
    KS_DEBUG("fb=%02x, cc=%d", fb, cc);
    if (fb & (R::KS_REDO_ROW_FIRST | R::KS_REDO_ROW_HEAD) || cc > cv->nf - hk) {
      KS_ERROR("IOT chained row not match with undo.");
      return -1;
    }
    for (int i = 0; i < cc; i++, im.scid++) {
      const int ci = ks_get_column(cols, ntc, im.scid);
      if (ci < 0) return ks_no_column(ex, im.scid);
      if (ci + 1 > im.pos) im.pos = ci + 1;
      if (cols[ci].flag & KS_COL_NOCAPTURE) continue;
      const int k = hk + 1 + i;
      const ks_row_val_t v{cv->v + cv->off[k], cv->len[k], cv->len[k] == 0};
      if (entry(im, &cols[ci], v) < 0) return -1;
    }
    next = (fb & R::KS_REDO_ROW_LAST) ? ks_rowid_t{0, 0}
                                      : ks_rowid_t{ks::load32(h + R::KS_REDO_IRP_NEXT_DBA, cv->big),
                                                   ks::load16(h + R::KS_REDO_IRP_NEXT_SLOT, cv->big)};
  }
  null_rest(im);
  if (del) {
    rh->opos = KS_LCR_RH_SZ;
    rh->nold = im.n;
  } else {
    rh->nnew = im.n;
  }
  return ks_lcr_finish(ex, &lb, del ? "chained IOT DELETE" : "chained IOT INSERT");
}

int ks_parse_iot_lin(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  if (m->undo == nullptr) return ks_parse_index_rollback(ex, vbuf);
  if (!iot_change(ex)) return 0;
  if (m->flag & KS_MN_PIECE) {
    crp->flag |= KS_CP_IOT_INSERT;
    return 0;  // built once the row's last record is in
  }
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_LEAF_HDR_SIZE);
  if (!h || cv.nf < 3) {
    KS_ERROR("IOT leaf insert incomplete.");
    return -1;
  }
  if (h[R::KS_REDO_LEAF_FLAGS] & R::KS_REDO_LEAF_ARRAY) return ks_parse_iot_lai(ex, vbuf);
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, m->ti, KS_OPC_INSERT);
  Image im{ex, &lb, false, cv.big};
  if (key_part(im, cv.v + cv.off[3], end_of(cv, 3)) < 0) return -1;
  if (cv.nf >= 4 && row_part(im, cv.v + cv.off[4], end_of(cv, 4)) < 0) return -1;
  null_rest(im);
  rh->nnew = im.n;
  return ks_lcr_finish(ex, &lb, "IOT INSERT");
}

int ks_parse_iot_lde(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  if (m->undo == nullptr) return ks_parse_index_rollback(ex, vbuf);
  if (!iot_change(ex)) return 0;
  if (m->flag & KS_MN_PIECE) {
    crp->flag |= KS_CP_IOT_DELETE;
    return 0;
  }
  ks_cv_t ucv;
  const int op = undo_leaf_op(ex, &ucv);
  if (op != R::KS_REDO_LEAF_RESTORE) {
    KS_ERROR("not kdxlre operation [%d]", op);
    return -1;
  }
  if (ucv.nf < 6) {
    KS_ERROR("IOT delete without the row in its undo (XID: %d.%d.%d).", KS_XID_ARGS(m->xid));
    return -1;
  }
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, m->ti, KS_OPC_DELETE);
  Image im{ex, &lb, true, ucv.big};
  if (key_part(im, ucv.v + ucv.off[5], end_of(ucv, 5)) < 0) return -1;
  if (row_part(im, ucv.v + ucv.off[6], end_of(ucv, 6)) < 0) return -1;
  null_rest(im);
  rh->opos = KS_LCR_RH_SZ;
  rh->nold = im.n;
  return ks_lcr_finish(ex, &lb, "IOT DELETE");
}

int ks_parse_iot_lcnu(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  if (m->undo == nullptr) return ks_parse_index_rollback(ex, vbuf);
  if (!iot_change(ex)) return 0;
  if (m->flag & KS_MN_PIECE) return KS_RC_IOT_NOT_DECODED;
  ks_cv_t cv, ucv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const int op = undo_leaf_op(ex, &ucv);
  if (op != R::KS_REDO_LEAF_NONKEY) {
    // An update undone otherwise (for instance by the older non-key form) is not read.
    KS_ERROR("IOT update undone by leaf operation [10.%d].", op);
    return KS_RC_IOT_NOT_DECODED;
  }
  if (cv.nf < 3 || ucv.nf < 6) {
    KS_ERROR("IOT update incomplete (XID: %d.%d.%d).", KS_XID_ARGS(m->xid));
    return -1;
  }
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, m->ti, KS_OPC_UPDATE);
  Image nw{ex, &lb, false, cv.big};
  uint32_t nnew = 0;
  if (changed_columns(nw, cv, 3, crp->redo_scid, &nnew) < 0) return -1;
  rh->nnew = nw.n;
  rh->opos = lb.pos;
  // Old image: the key, which names the row on the target, then the changed columns'
  // before image, NULL for those the old row did not store.
  Image od{ex, &lb, true, ucv.big};
  if (key_part(od, ucv.v + ucv.off[5], end_of(ucv, 5)) < 0) return -1;
  uint32_t nb = 0;
  if (changed_columns(od, ucv, 6, crp->undo_scid, &nb) < 0) return -1;
  if (nb < nnew) {
    const int first = ks::load16(cv.v + cv.off[3], cv.big);
    ks_dict_col_t *cols = ks_tab_cols(ex);
    const int ntc = static_cast<int>(ks_tab(ex)->ncol);
    for (uint32_t i = nb; i < nnew; i++) {
      const int num = ks::load16(cv.v + cv.off[3] + 2 * i, cv.big);
      const int scid = crp->redo_scid ? num - first + crp->redo_scid : num + 1;
      const int ci = ks_get_column(cols, ntc, scid);
      if (ci < 0) return ks_no_column(ex, scid);
      ks_lcr_col(&lb, &cols[ci], ks_col_flag(&cols[ci], false) | KS_CH_NULL, nullptr, 0);
      od.n++;
    }
  }
  rh->nold = od.n;
  if (od.n == 0) rh->opos = 0;
  return ks_lcr_finish(ex, &lb, "IOT UPDATE");
}

int ks_parse_iot_lai(ks_extr_t *ex, uint8_t *vbuf) {
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  return ks_iot_array(ex, cv, nullptr);
}

int ks_iot_array(ks_extr_t *ex, const ks_cv_t &cv, const ks_iot_rows_fn *ovf) {
  ks_miner_t *m = ex->m;
  const bool big = cv.big;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_LEAF_HDR_SIZE);
  const int nrows = h ? ks::load16(h + R::KS_REDO_LEAF_ROWS, big) : 0;
  const uint8_t *klen = ks_cv_field(&cv, 4, static_cast<uint32_t>(2 * nrows));
  const uint8_t *rlen = ks_cv_field(&cv, 6, static_cast<uint32_t>(2 * nrows));
  if (!h || !klen || !rlen) {
    KS_ERROR("IOT array insert incomplete (XID: %d.%d.%d).", KS_XID_ARGS(m->xid));
    return -1;
  }
  int idx[KS_DICT_IOT_MAX_KEYS];
  const int nk = key_columns(ex, idx);
  if (nk < 0) return -1;
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  const int ntc = static_cast<int>(t->ncol);
  // The rows' values go by dictionary position: the key columns must lead the table, as
  // an index-organised table's segment column order has them.
  for (int k = 0; k < nk; k++)
    if (idx[k] != k) {
      KS_ERROR("IOT \"%s\".\"%s\": key column %d is not at its position.", ex->d->sch[t->ui].name, t->name, k + 1);
      return -1;
    }
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, m->ti, KS_OPC_QMI);
  uint32_t nd = 0;
  for (int i = 0; i < ntc; i++) {
    if (cols[i].flag & KS_COL_NOCAPTURE) continue;
    ks_lcr_col(&lb, &cols[i], ks_col_flag(&cols[i], false), nullptr, 0);
    nd++;
  }
  const uint8_t *kp = cv.v + cv.off[3], *kend = end_of(cv, 3);
  const uint8_t *rp = cv.v + cv.off[5], *rend = end_of(cv, 5);
  // The overflow rows: those of the block the current leaf row names, taken in order.
  const ks_cv_t *qv = nullptr;
  const uint8_t *qp = nullptr, *qend = nullptr;
  uint32_t qdba = 0;
  int qleft = 0;
  for (int r = 0; r < nrows; r++) {
    const uint32_t kl = ks::load16(klen + 2 * r, big), rl = ks::load16(rlen + 2 * r, big);
    if (static_cast<uint32_t>(kend - kp) < kl) return past_field(ex, "array key");
    if (static_cast<uint32_t>(rend - rp) < rl || rl < static_cast<uint32_t>(R::KS_REDO_LEAF_ROW_HEADER))
      return past_field(ex, "array row");
    const uint8_t *p = kp, *e = kp + kl;
    for (int k = 0; k < nk; k++) {
      ks_row_val_t v;
      if (ks_row_value(&p, e, big, &v) < 0) return past_field(ex, "array key");
      if (!(cols[k].flag & KS_COL_NOCAPTURE)) ks_lcr_raw(&lb, v.p, static_cast<uint16_t>(v.len));
    }
    p = rp;
    e = rp + rl;
    const bool spilled = !(p[0] & R::KS_REDO_ROW_LAST);
    if (!(p[0] & R::KS_REDO_ROW_FIRST) || (spilled && !ovf)) {
      KS_ERROR("row data not completed.");
      return -1;
    }
    const int cc = p[R::KS_REDO_LEAF_ROW_COLUMNS];
    if (nk + cc > ntc) {
      KS_ERROR("IOT array row stores %d columns, table has %d.", nk + cc, ntc);
      return -1;
    }
    uint32_t next_dba = 0;
    uint16_t next_slot = 0;
    if (spilled) {
      if (rl < static_cast<uint32_t>(R::KS_REDO_LEAF_ROW_NEXT_HEADER)) return past_field(ex, "array row");
      next_dba = ks::load_be32(p + R::KS_REDO_LEAF_ROW_HEADER);
      next_slot = ks::load_be16(p + R::KS_REDO_LEAF_ROW_HEADER + 4);
      p += R::KS_REDO_LEAF_ROW_NEXT_HEADER - R::KS_REDO_LEAF_ROW_HEADER;
    }
    p += R::KS_REDO_LEAF_ROW_HEADER;
    for (int c = nk; c < nk + cc; c++) {
      ks_row_val_t v;
      if (ks_row_value(&p, e, big, &v) < 0) return past_field(ex, "array row");
      if (!(cols[c].flag & KS_COL_NOCAPTURE)) ks_lcr_raw(&lb, v.p, static_cast<uint16_t>(v.len));
    }
    int done = nk + cc;
    if (spilled) {
      if (!qv || next_dba != qdba) {
        qv = (*ovf)(next_dba);
        const uint8_t *qh = qv ? ks_cv_field(qv, 2, R::KS_REDO_QM_SIZE) : nullptr;
        qp = qv ? ks_cv_field(qv, 4) : nullptr;
        if (!qh || !qp) {
          KS_ERROR("record not include kdo qmi vector.");
          return -1;
        }
        qend = qp + qv->len[4];
        qdba = next_dba;
        qleft = ks::load16(qh + R::KS_REDO_QM_ROWS, qv->big);
      }
      if (qleft-- <= 0 || qend - qp < R::KS_REDO_QMI_ROW_HEADER) {
        KS_ERROR("rowid slot [%d] not found.", next_slot);
        return -1;
      }
      const int oc = qp[R::KS_REDO_LEAF_ROW_COLUMNS];  // a row header as the leaf row's
      if (done + oc > ntc) {
        KS_ERROR("IOT array row stores %d columns, table has %d.", done + oc, ntc);
        return -1;
      }
      qp += R::KS_REDO_QMI_ROW_HEADER;
      for (int c = done; c < done + oc; c++) {
        ks_row_val_t v;
        if (ks_row_value(&qp, qend, qv->big, &v) < 0) return past_field(ex, "overflow row");
        if (!(cols[c].flag & KS_COL_NOCAPTURE)) ks_lcr_raw(&lb, v.p, static_cast<uint16_t>(v.len));
      }
      done += oc;
    }
    for (int c = done; c < ntc; c++)
      if (!(cols[c].flag & KS_COL_NOCAPTURE)) ks_lcr_raw(&lb, nullptr, 0);
    kp += kl;
    rp += rl;
  }
  rh->nold = nd;
  rh->nnew = static_cast<uint32_t>(nrows);
  return ks_lcr_finish(ex, &lb, "IOT QMI");
}
