// Redo written while a transaction rolls back (heap row operations with no undo vector
// in their record): a header-only LCR marked discard + rollback redo that lets delivery
// cancel the change it undoes. The record carries no wrap sequence: its transaction is
// the previous record's when that one holds the same undo segment slot, else the open
// transaction that holds the slot. Invariants: the 5.6/5.11 search stays inside the
// record; a record whose transaction is not open appends nothing.
#include "extract/redo/redo.h"
#include "extract/redo/row_image.h"
#include "extract/trans/trans.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

uint64_t ks_rollback_xid(ks_extr_t *ex, uint32_t usn, uint32_t slot) {
  const uint64_t pxid = ex->m->pxid;
  if (pxid != 0 && ((usn << 16) | slot) == static_cast<uint32_t>(pxid >> 32)) return pxid;
  // Other sessions' changes often come between a change and its rollback. An undo segment
  // slot belongs to one open transaction at a time, so the slot names the transaction.
  return ks_trans_find_open(ex->t, usn, slot);
}

namespace {

// The redo operation of the last chained rollback piece decoded, for a supplemental log
// that does not name the undone operation.
int x_rb_code = 0;

}  // namespace

int ks_rollback_vector(ks_extr_t *ex, uint32_t *usn, uint32_t *slot, uint32_t *objn, bool *partial) {
  ks_miner_t *m = ex->m;
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  const int vhsz = ex->l->vhsz;
  uint8_t *v = m->rec + R::record_header_size(m->rec[R::KS_REDO_RH_VLD]);
  uint8_t *end = m->rec + m->rlen;
  ks_cv_t rb;
  while (v < end) {
    if (ks_cv_open(&rb, v, static_cast<uint32_t>(end - v), vhsz, big) < 0) break;
    if (v[R::KS_REDO_CV_LAYER] == 5 && (v[R::KS_REDO_CV_CODE] == 6 || v[R::KS_REDO_CV_CODE] == 11)) {
      const uint8_t *f1 = ks_cv_field(&rb, 1, R::KS_REDO_RB_SLOT + 1);
      if (!f1) return -1;
      int cls = ks::load16(v + R::KS_REDO_CV_CLASS, big);
      if (v[R::KS_REDO_CV_CODE] == 6) cls -= 1;
      if (cls < ex->l->cls_usn) return -1;
      *usn = static_cast<uint32_t>(cls - ex->l->cls_usn) / 2;
      *objn = ks::load32(f1 + R::KS_REDO_RB_OBJN, big);
      *slot = f1[R::KS_REDO_RB_SLOT];
      *partial = v[R::KS_REDO_CV_CODE] == 11;
      return 0;
    }
    v += rb.size;
  }
  KS_DEBUG("not found op 5.6 or op 5.11.");
  return -1;
}

// The transaction a rollback record belongs to, or 0 (logged when it matters).
uint64_t ks_rollback_owner(ks_extr_t *ex, uint32_t usn, uint32_t slot, bool partial) {
  ks_miner_t *m = ex->m;
  const uint64_t xid = ks_rollback_xid(ex, usn, slot);
  if (xid == 0) {
    // No open transaction holds the slot: none of its changes is being collected, so
    // there is nothing to cancel. A full rollback (5.6) is routine; a rollback to a
    // savepoint (5.11) that cannot be placed stays an error, naming the record.
    if (!partial) {
      KS_DEBUG("rollback redo of a transaction not being collected, dropped.");
      return 0;
    }
    KS_ERROR(
        "partial rollback xid not same as previous record (rba=%06x.%08x.%04x, undo slot %u.%u, previous XID: "
        "%d.%d.%d).",
        m->rba.sqn, m->rba.blk, m->rba.byt, usn, slot, KS_XID_ARGS(m->pxid));
  }
  return xid;
}

namespace {

// An update undone that only changed a LOB locator with no in-row data: the LOB's own
// rollback stands for it. The single value is field k of cv, its column redo_scid.
int lob_update_opc(ks_extr_t *ex, const ks_cv_t &cv, int nv, int k, int redo_scid, uint32_t *opc) {
  if (nv != 1 || k > cv.nf || cv.len[k] == 0) return 0;
  ks_dict_col_t *cols = ks_tab_cols(ex);
  int ci = ks_get_column(cols, static_cast<int>(ks_tab(ex)->ncol), redo_scid);
  if (ci < 0) return ks_no_column(ex, redo_scid);
  if (ks_is_lob(cols[ci].ctyp)) {
    uint8_t *lob = nullptr;
    int dlen = 0;
    if (ks_parse_lob_inrow(cv.v + cv.off[k], cv.len[k], &lob, &dlen) < 0 || dlen == 0) *opc = KS_OPC_LOB_ROLLBACK;
  }
  return 0;
}

}  // namespace

int ks_emit_rollback(ks_extr_t *ex, int ti, uint32_t opc) {
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, ti, opc);
  rh->flag = KS_RH_DISCARD | KS_RH_ROLLBACK;
  rh->opos = KS_LCR_RH_SZ;  // no old image: it would start at the end of the header
  return ks_lcr_finish(ex, &lb, "rollback");
}

int ks_parse_kdo_rollback(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const bool big = cv.big;
  int code = vbuf[R::KS_REDO_CV_CODE];
  const uint8_t *h = ks_cv_field(&cv, 2, 1);
  int hl = ks_cv_len(&cv, 2);
  int cnt = 0;
  switch (code) {
    case R::KS_REDO_OP_IRP:
    case R::KS_REDO_OP_ORP:
      if (!h || hl <= R::KS_REDO_IRP_COLUMNS) return -1;
      cnt = ks_row_fields(h);
      break;
    case R::KS_REDO_OP_URP:
      if (!h || hl <= R::KS_REDO_URP_COLUMNS) return -1;
      cnt = h[R::KS_REDO_URP_COLUMNS] + 1;
      break;
    case R::KS_REDO_OP_LKR:
      if (!h || hl < R::KS_REDO_LKR_SIZE) return -1;
      crp->cr_rdba = ks::load32(h + R::KS_REDO_KDO_DBA, big);
      crp->cr_slot = ks::load16(h + R::KS_REDO_LKR_SLOT, big);
      break;
    case R::KS_REDO_OP_DRP:
    case R::KS_REDO_OP_CFA:
    case R::KS_REDO_OP_QMD:
    case R::KS_REDO_OP_LMN:
      break;
    default:
      KS_ERROR("unknown operation [%d].", code);
      return -1;
  }
  int k = 3 + cnt;
  // The undo of an update of a compressed block's row overwrites the whole row back and,
  // like the change it undoes, has no supplemental header.
  const bool overwrite = code == R::KS_REDO_OP_ORP && k > cv.nf;
  if (k > cv.nf && !overwrite) return -9;
  uint8_t *s = nullptr;
  uint8_t pf = R::KS_REDO_SUP_FIRST | R::KS_REDO_SUP_LAST;
  if (!overwrite) {
    int sl = cv.len[k];
    if (sl != R::KS_REDO_SUP_SIZE && sl != R::KS_REDO_SUP_SIZE_LONG) {
      KS_ERROR("error supplemental log length [%d].", sl);
      return -1;
    }
    s = cv.v + cv.off[k];
    m->sup = s;
    m->slen = static_cast<uint32_t>(sl);
    pf = s[R::KS_REDO_SUP_FLAGS];
  }
  if (!(pf & R::KS_REDO_SUP_FIRST) || !(pf & R::KS_REDO_SUP_LAST)) {
    m->flag |= KS_MN_PIECE;
    if (pf & R::KS_REDO_SUP_LAST)
      m->flag |= KS_MN_COMPLETE;
    else if (pf & R::KS_REDO_SUP_FIRST)
      m->flag |= KS_MN_ROLLBACK;
    crp->nsc = ks::load16(s + R::KS_REDO_SUP_COLUMNS, big);
    crp->undo_scid = ks::load16(s + R::KS_REDO_SUP_UNDO_SCID, big);
    crp->redo_scid = ks::load16(s + R::KS_REDO_SUP_REDO_SCID, big);
    if (m->slen == R::KS_REDO_SUP_SIZE_LONG) {
      crp->cr_rdba = ks::load32(s + R::KS_REDO_SUP_HEAD_DBA, big);
      crp->cr_slot = ks::load16(s + R::KS_REDO_SUP_HEAD_SLOT, big);
    }
  }
  uint32_t usn = 0, slot = 0, objn = 0;
  bool partial = false;
  if (ks_rollback_vector(ex, &usn, &slot, &objn, &partial) < 0) return -1;
  int ti = ks_lookup_table(ex->d, static_cast<int>(objn));
  if (ti < 0) return -9;
  // A piece of an index-organised row in its overflow segment is undone with the row's
  // leaf record, whose rollback stands for the change; an update of the overflow piece
  // alone is a change of its own and gets its rollback here.
  if ((ex->d->tab[ti].flag & KS_TAB_IOT) && (m->flag & KS_MN_PIECE)) return -9;
  m->ti = ti;
  m->objn = objn;
  if (m->flag & KS_MN_PIECE) {
    crp->flag |= KS_CP_ROLLBACK;
    x_rb_code = code;
    return 0;
  }
  // Undoing a row lock changes no column and is never delivered, whichever transaction
  // it belongs to.
  if (code == R::KS_REDO_OP_LKR) return -9;
  const uint64_t xid = ks_rollback_owner(ex, usn, slot, partial);
  if (xid == 0) return partial ? -1 : -9;
  m->xid = xid;
  m->pxid = xid;  // the rollback of several changes comes as a run of records
  uint32_t opc;
  switch (code) {
    case R::KS_REDO_OP_IRP:
      opc = KS_OPC_INSERT;
      break;
    case R::KS_REDO_OP_DRP:
      opc = KS_OPC_DELETE;
      break;
    case R::KS_REDO_OP_QMD:
      opc = KS_OPC_QMD;
      break;
    case R::KS_REDO_OP_ORP:
      if (!overwrite) {
        KS_ERROR("unexpected opc [%d]", code);
        return -9;
      }
      opc = KS_OPC_UPDATE;
      break;
    case R::KS_REDO_OP_URP:
      opc = KS_OPC_UPDATE;
      if (lob_update_opc(ex, cv, h[R::KS_REDO_URP_COLUMNS], 4, ks::load16(s + R::KS_REDO_SUP_REDO_SCID, big), &opc) < 0)
        return -1;
      break;
    default:
      KS_ERROR("unexpected opc [%d]", code);
      return -9;
  }
  if (ks_emit_rollback(ex, ti, opc) < 0) return -1;
  return -9;
}

int ks_assemble_chained_rollback(ks_extr_t *ex, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  uint32_t usn = 0, slot = 0, objn = 0;
  bool partial = false;
  if (ks_rollback_vector(ex, &usn, &slot, &objn, &partial) < 0) {
    KS_ERROR("rollback operation, not found OP 5.6 or OP 5.11.");
    return -1;
  }
  const uint64_t xid = ks_rollback_owner(ex, usn, slot, partial);
  if (xid == 0) return partial ? -1 : 0;
  int ti = ks_lookup_table(ex->d, static_cast<int>(objn));
  if (ti < 0) return -9;
  m->ti = ti;
  m->objn = objn;
  m->xid = xid;
  m->pxid = xid;
  // The change being undone never became one (its last piece had not come): its pieces
  // go, and there is nothing to cancel.
  const int ci = ks_chain_find_piece(&x_chain, crp);
  if (ci >= 0 && ks_chain_get_meta(&x_chain, ci).xid == xid) {
    KS_DETAIL("rollback of an incomplete chained row (%x.%x), dropped.", crp->cr_rdba, crp->cr_slot);
    ks_chain_clear_row(&x_chain, ci);
    return 0;
  }
  // What the undone change was: the supplemental log says it; else the redo that undoes.
  const int op = m->sup ? m->sup[0] : 0;
  uint32_t opc = 0;
  if (op == 1 || (op == 0 && (x_rb_code == R::KS_REDO_OP_URP || x_rb_code == R::KS_REDO_OP_ORP)))
    opc = KS_OPC_UPDATE;
  else if (op == 2 || (op == 0 && x_rb_code == R::KS_REDO_OP_DRP))
    opc = KS_OPC_DELETE;
  else if (op == 4 || (op == 0 && x_rb_code == R::KS_REDO_OP_IRP))
    opc = KS_OPC_INSERT;
  if (opc == 0) {
    // Without it the change it undoes would stay live: reported and counted.
    KS_ERROR("unexpected opc [%d]", op);
    return -1;
  }
  if (ks_emit_rollback(ex, ti, opc) < 0) return -1;
  KS_DETAIL("append chained rollback LCR (XID: %d.%d.%d)", KS_XID_ARGS(xid));
  return 0;
}
