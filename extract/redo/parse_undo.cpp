// The undo vector 5.1 of a row change: the transaction, the changed table (the capture
// filter: objects outside the dictionary drop the record silently), the undone row
// operation's row ids for the chain piece and the supplemental-log header that the row
// handler of the same record reads. Invariants: the miner's undo is set before any test;
// every fixed offset is read only from a field long enough to hold it; with no dictionary
// (ex->d null) every row undo is passed over.
#include "extract/redo/redo.h"
#include "extract/redo/row_image.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

namespace {

// Read the supplemental header at field k (if any) into the miner and the piece.
// 1 when there is none, 0 when read, -1 when malformed.
int read_sup(ks_extr_t *ex, const ks_cv_t &cv, int k, ks_chain_piece_t *crp, uint8_t *pflags) {
  if (k > cv.nf) return 1;
  int l = cv.len[k];
  if (l != R::KS_REDO_SUP_SIZE && l != R::KS_REDO_SUP_SIZE_LONG) {
    KS_ERROR("error supplemental log length [%d].", l);
    return -1;
  }
  uint8_t *s = cv.v + cv.off[k];
  ex->m->sup = s;
  ex->m->slen = static_cast<uint32_t>(l);
  ex->m->supk = k;
  crp->nsc = ks::load16(s + R::KS_REDO_SUP_COLUMNS, cv.big);
  crp->undo_scid = ks::load16(s + R::KS_REDO_SUP_UNDO_SCID, cv.big);
  crp->redo_scid = ks::load16(s + R::KS_REDO_SUP_REDO_SCID, cv.big);
  *pflags = s[R::KS_REDO_SUP_FLAGS];
  return 0;
}

}  // namespace

int ks_undo_sup_index(const ks_cv_t *cv) {
  const uint8_t *f4 = ks_cv_field(cv, 4, 12);
  if (!f4) return 5;
  int code = f4[R::KS_REDO_KDO_OP] & R::KS_REDO_KDO_OP_MASK;
  int l4 = cv->len[4];
  switch (code) {
    case R::KS_REDO_OP_IRP:
    case R::KS_REDO_OP_ORP:
      return l4 <= R::KS_REDO_IRP_COLUMNS ? 5 : 5 + ks_row_fields(f4);
    case R::KS_REDO_OP_URP: {
      if (l4 <= R::KS_REDO_URP_COLUMNS) return 5;
      int n5 = ks_cv_len(cv, 5);
      int ne = n5 < 0 ? 0 : n5 / 2;
      int cnt;
      if (ne == 0) {
        cnt = f4[R::KS_REDO_URP_COLUMNS];
      } else {
        const uint8_t *a = cv->v + cv->off[5];
        uint16_t first = ks::load16(a, cv->big);
        cnt = 1;
        for (int i = 1; i < ne; i++)
          if (ks::load16(a + 2 * i, cv->big) > first) cnt++;
        // Columns the old row piece did not store (trailing NULLs the update sets) are
        // listed last, in descending order, with no value field; the header's count
        // holds only the columns that have a before-image value.
        if (f4[R::KS_REDO_URP_COLUMNS] < cnt) cnt = f4[R::KS_REDO_URP_COLUMNS];
      }
      return 5 + cnt + 1;  // the column-number array itself, then the values
    }
    default:
      return 5;
  }
}

int ks_parse_iot_undo(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *f4 = ks_cv_field(&cv, 4, 1);
  if (!f4) {
    KS_ERROR("undo record without its operation header.");
    return -1;
  }
  int code = f4[0];
  int cnt;
  switch (code) {
    case 3:
    case 18:
      cnt = 0;
      break;
    case 5:
      cnt = 1;
      break;
    case 35:
      cnt = ks_cv_len(&cv, 6) < 0 ? 0 : ks_cv_len(&cv, 6) / 2 + 1;
      break;
    case R::KS_REDO_LEAF_NONKEY_OLD:
      // The older non-key update: its fields are not read; its redo is reported.
      return 0;
    default:
      KS_ERROR("unknow row operation [10.%d] in undo.", code);
      return -1;
  }
  uint8_t pf = 0;
  int rc = read_sup(ex, cv, 6 + cnt, crp, &pf);
  if (rc != 0) return rc < 0 ? -1 : 0;
  if ((pf & R::KS_REDO_SUP_FIRST) && (pf & R::KS_REDO_SUP_LAST)) return 0;
  ex->m->flag |= KS_MN_PIECE;
  if (pf & R::KS_REDO_SUP_LAST) ex->m->flag |= KS_MN_COMPLETE;
  crp->flag |= KS_CP_IOT;
  crp->cr_rdba = ks_tab(ex)->objn;
  crp->cr_slot = 0;
  return 0;
}

int ks_parse_undo(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  m->undo = vbuf;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const bool big = cv.big;
  const uint8_t *f1 = ks_cv_field(&cv, 1, R::KS_REDO_UBH_SIZE);
  const uint8_t *f2 = ks_cv_field(&cv, 2, R::KS_REDO_URI_LAYER + 1);
  if (!f1 || !f2) return -9;  // not a row undo this build reads
  uint64_t xid = R::make_xid(ks::load16(f1 + R::KS_REDO_UBH_USN, big), ks::load16(f1 + R::KS_REDO_UBH_SLOT, big),
                             ks::load32(f1 + R::KS_REDO_UBH_SQN, big));
  int layer = f2[R::KS_REDO_URI_LAYER];
  if (layer == 26) {
    // LOB data: no row change of its own here, but a LOB of a captured table must be
    // known as such when the record's LOB vector is reported.
    int ti = ks_lookup_table(ex->d, static_cast<int>(ks::load32(f2 + R::KS_REDO_URI_OBJN, big)));
    if (ti >= 0 && !(ex->d->tab[ti].flag & KS_TAB_ALIAS)) {
      m->xid = xid;
      m->objn = ex->d->tab[ti].objn;
      m->ti = ti;
    }
    return 0;
  }
  if (layer == 10) {
    // Index upkeep, unless the dictionary holds index-organised tables. With no
    // dictionary at all (the inspection tool without one) nothing is captured.
    if (ex->d == nullptr || !(ex->d->flag & KS_DICT_IOT)) return -9;
  } else if (layer != 11) {
    return -9;  // undo of system structures (space, index, ...): routine, not captured
  }
  uint32_t objn = ks::load32(f2 + R::KS_REDO_URI_OBJN, big);
  int ti = ks_lookup_table(ex->d, static_cast<int>(objn));
  if (ti < 0) return -9;
  const ks_dict_tab_t *t = &ex->d->tab[ti];
  if (t->flag & KS_TAB_ALIAS) return -9;
  KS_DEBUG("expected table: %s", t->name);
  m->xid = xid;
  m->pxid = xid;
  m->objn = objn;
  m->ti = ti;
  if ((t->flag & KS_TAB_IOT) && layer == 10) return ks_parse_iot_undo(ex, vbuf, crp);

  const uint8_t *f4 = ks_cv_field(&cv, 4, 12);
  if (!f4) {
    KS_ERROR("undo record without its row operation header (XID: %d.%d.%d).", KS_XID_ARGS(xid));
    return -1;
  }
  int code = f4[R::KS_REDO_KDO_OP] & R::KS_REDO_KDO_OP_MASK;
  int l4 = cv.len[4];
  switch (code) {
    case R::KS_REDO_OP_IRP:
    case R::KS_REDO_OP_ORP:
      if (l4 < R::KS_REDO_IRP_SIZE) goto short_header;
      crp->pc_rdba = ks::load32(f4 + R::KS_REDO_KDO_DBA, big);
      crp->pc_slot = ks::load16(f4 + R::KS_REDO_IRP_SLOT, big);
      crp->un_rdba = ks::load32(f4 + R::KS_REDO_IRP_NEXT_DBA, big);
      crp->un_slot = ks::load16(f4 + R::KS_REDO_IRP_NEXT_SLOT, big);
      crp->ufb = f4[R::KS_REDO_KDO_FLAG];
      break;
    case R::KS_REDO_OP_DRP:
      if (l4 < R::KS_REDO_DRP_SIZE) goto short_header;
      crp->pc_rdba = ks::load32(f4 + R::KS_REDO_KDO_DBA, big);
      crp->pc_slot = ks::load16(f4 + R::KS_REDO_DRP_SLOT, big);
      break;
    case R::KS_REDO_OP_LKR:
      break;
    case R::KS_REDO_OP_URP:
      if (l4 < R::KS_REDO_URP_SIZE) goto short_header;
      crp->pc_rdba = ks::load32(f4 + R::KS_REDO_KDO_DBA, big);
      crp->pc_slot = ks::load16(f4 + R::KS_REDO_URP_SLOT, big);
      crp->ufb = f4[R::KS_REDO_KDO_FLAG];
      break;
    case R::KS_REDO_OP_CFA:
      if (l4 < R::KS_REDO_CFA_SIZE) goto short_header;
      crp->pc_rdba = ks::load32(f4 + R::KS_REDO_KDO_DBA, big);
      crp->pc_slot = ks::load16(f4 + R::KS_REDO_CFA_SLOT, big);
      crp->un_rdba = ks::load32(f4 + R::KS_REDO_CFA_NEXT_DBA, big);
      crp->un_slot = ks::load16(f4 + R::KS_REDO_CFA_NEXT_SLOT, big);
      break;
    case 10:
      return 0;
    case R::KS_REDO_OP_QMD:
      crp->pc_rdba = ks::load32(f4 + R::KS_REDO_KDO_DBA, big);
      crp->pc_slot = 0;
      break;
    case 14:
      return -9;
    case R::KS_REDO_OP_LMN:
      crp->pc_rdba = ks::load32(f4 + R::KS_REDO_KDO_DBA, big);
      crp->flag |= KS_CP_LMN;
      break;
    default:
      KS_ERROR("unknow row operation [11.%d] in undo.", code);
      return -1;
  }
  {
    uint8_t pf = 0;
    int rc = read_sup(ex, cv, ks_undo_sup_index(&cv), crp, &pf);
    if (rc != 0) return rc < 0 ? -1 : 0;
    if ((pf & R::KS_REDO_SUP_FIRST) && (pf & R::KS_REDO_SUP_LAST) &&
        !(m->slen == R::KS_REDO_SUP_SIZE_LONG && code == R::KS_REDO_OP_ORP))
      return 0;
    m->flag |= KS_MN_PIECE;
    if (pf & R::KS_REDO_SUP_LAST) m->flag |= KS_MN_COMPLETE;
    if (m->slen == R::KS_REDO_SUP_SIZE_LONG) {
      crp->cr_rdba = ks::load32(m->sup + R::KS_REDO_SUP_HEAD_DBA, big);
      crp->cr_slot = ks::load16(m->sup + R::KS_REDO_SUP_HEAD_SLOT, big);
    }
    if (t->flag & KS_TAB_IOT) {
      crp->flag |= KS_CP_IOT_HEAP;
      crp->cr_rdba = t->objn;
      crp->cr_slot = 0;
    }
    return 0;
  }
short_header:
  KS_ERROR("undo row operation [11.%d] header too short (%d bytes).", code, l4);
  return -1;
}
