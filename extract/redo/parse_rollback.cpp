// Redo written while a transaction rolls back (heap row operations with no undo vector
// in their record): a header-only LCR marked discard + rollback redo that lets delivery
// cancel the change it undoes. The record carries no wrap sequence: its transaction is
// the previous record's when that one holds the same undo segment slot, else the open
// transaction that holds the slot. Invariants: the 5.6/5.11 search stays inside the
// record; a record whose transaction is not open appends nothing.
#include "extract/redo/redo.h"
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
      cnt = h[R::KS_REDO_IRP_COLUMNS];
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
  if (k > cv.nf) return -9;
  int sl = cv.len[k];
  if (sl != R::KS_REDO_SUP_SIZE && sl != R::KS_REDO_SUP_SIZE_LONG) {
    KS_ERROR("error supplemental log length [%d].", sl);
    return -1;
  }
  uint8_t *s = cv.v + cv.off[k];
  m->sup = s;
  m->slen = static_cast<uint32_t>(sl);
  uint8_t pf = s[R::KS_REDO_SUP_FLAGS];
  if (!(pf & R::KS_REDO_SUP_FIRST) || !(pf & R::KS_REDO_SUP_LAST)) {
    m->flag |= KS_MN_PIECE;
    if (pf & R::KS_REDO_SUP_LAST)
      m->flag |= KS_MN_COMPLETE;
    else if (pf & R::KS_REDO_SUP_FIRST)
      m->flag |= KS_MN_ROLLBACK;
    crp->nsc = ks::load16(s + R::KS_REDO_SUP_COLUMNS, big);
    crp->undo_scid = ks::load16(s + R::KS_REDO_SUP_UNDO_SCID, big);
    crp->redo_scid = ks::load16(s + R::KS_REDO_SUP_REDO_SCID, big);
    if (sl == R::KS_REDO_SUP_SIZE_LONG) {
      crp->cr_rdba = ks::load32(s + R::KS_REDO_SUP_HEAD_DBA, big);
      crp->cr_slot = ks::load16(s + R::KS_REDO_SUP_HEAD_SLOT, big);
    }
  }
  // The 5.6 / 5.11 of the record names the object and the transaction slot.
  const int vhsz = ex->l->vhsz;
  uint8_t *v = m->rec + R::record_header_size(m->rec[R::KS_REDO_RH_VLD]);
  uint8_t *end = m->rec + m->rlen;
  ks_cv_t rb;
  bool found = false;
  while (v < end) {
    if (ks_cv_open(&rb, v, static_cast<uint32_t>(end - v), vhsz, big) < 0) break;
    if (v[R::KS_REDO_CV_LAYER] == 5 && (v[R::KS_REDO_CV_CODE] == 6 || v[R::KS_REDO_CV_CODE] == 11)) {
      found = true;
      break;
    }
    v += rb.size;
  }
  if (!found) {
    KS_DEBUG("not found op 5.6 or op 5.11.");
    return -1;
  }
  const uint8_t *f1 = ks_cv_field(&rb, 1, R::KS_REDO_RB_SLOT + 1);
  if (!f1) return -1;
  int cls = ks::load16(v + R::KS_REDO_CV_CLASS, big);
  if (v[R::KS_REDO_CV_CODE] == 6) cls -= 1;
  if (cls < ex->l->cls_usn) return -1;
  uint32_t usn = static_cast<uint32_t>(cls - ex->l->cls_usn) / 2;
  uint32_t objn = ks::load32(f1 + R::KS_REDO_RB_OBJN, big);
  uint32_t slot = f1[R::KS_REDO_RB_SLOT];
  int ti = ks_lookup_table(ex->d, static_cast<int>(objn));
  if (ti < 0) return -9;
  if (ex->d->tab[ti].flag & KS_TAB_IOT) return -9;
  m->ti = ti;
  m->objn = objn;
  if (m->flag & KS_MN_PIECE) {
    crp->flag |= KS_CP_ROLLBACK;
    return 0;
  }
  // Undoing a row lock changes no column and is never delivered, whichever transaction
  // it belongs to.
  if (code == R::KS_REDO_OP_LKR) return -9;
  const uint64_t xid = ks_rollback_xid(ex, usn, slot);
  if (xid == 0) {
    // No open transaction holds the slot: none of its changes is being collected, so
    // there is nothing to cancel. A full rollback (5.6) is routine; a rollback to a
    // savepoint (5.11) that cannot be placed stays an error, naming the record.
    if (v[R::KS_REDO_CV_CODE] == 6) {
      KS_DEBUG("rollback redo of a transaction not being collected, dropped.");
      return -9;
    }
    KS_ERROR(
        "partial rollback xid not same as previous record (rba=%06x.%08x.%04x, undo slot %u.%u, previous XID: "
        "%d.%d.%d).",
        m->rba.sqn, m->rba.blk, m->rba.byt, usn, slot, KS_XID_ARGS(m->pxid));
    return -1;
  }
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
    case R::KS_REDO_OP_LKR:
      return -9;
    case R::KS_REDO_OP_URP: {
      opc = KS_OPC_UPDATE;
      int nv = h[R::KS_REDO_URP_COLUMNS];
      if (nv == 1 && k - 1 >= 4 && cv.len[4] > 0) {
        int scid = ks::load16(s + R::KS_REDO_SUP_REDO_SCID, big);
        ks_dict_col_t *cols = ks_tab_cols(ex);
        int ci = ks_get_column(cols, static_cast<int>(ks_tab(ex)->ncol), scid);
        if (ci < 0) return ks_no_column(ex, scid);
        if (ks_is_lob(cols[ci].ctyp)) {
          uint8_t *lob = nullptr;
          int dlen = 0;
          if (ks_parse_lob_inrow(cv.v + cv.off[4], cv.len[4], &lob, &dlen) < 0 || dlen == 0) opc = KS_OPC_LOB_ROLLBACK;
        }
      }
      break;
    }
    default:
      KS_ERROR("unexpected opc [%d]", code);
      return -9;
  }
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, ti, opc);
  rh->flag = KS_RH_DISCARD | KS_RH_ROLLBACK;
  rh->opos = KS_LCR_RH_SZ;  // no old image: it would start at the end of the header
  if (ks_lcr_finish(ex, &lb, "rollback") < 0) return -1;
  return -9;
}
