// The undo vector 5.1 of a row change: the transaction, the changed table (the capture
// filter: objects outside the dictionary drop the record silently), the undone row
// operation's row ids for the chain piece and the supplemental-log header that the row
// handler of the same record reads. Invariants: the miner's undo is set before any test;
// every fixed offset is read only from a field long enough to hold it; with no dictionary
// (ex->d null) every row undo is passed over.
#include "extract/redo/redo.h"
#include "extract/redo/redo_format.h"
#include "lib/bytes.h"
#include "lib/log/log.h"

namespace R = ks::redo;

namespace {

// Read the supplemental header at field k (if any) into the miner and the piece.
// 1 when there is none, 0 when read, -1 when malformed.
int read_sup(ks_extr_t *ex, const ks_cv_t &cv, int k, ks_chain_piece_t *crp, uint8_t *pflags) {
  if (k > cv.nf) return 1;
  int l = cv.len[k];
  if (l != R::kSupSize && l != R::kSupSizeLong) {
    KS_ERROR("error supplemental log length [%d].", l);
    return -1;
  }
  uint8_t *s = cv.v + cv.off[k];
  ex->m->sup = s;
  ex->m->slen = static_cast<uint32_t>(l);
  ex->m->supk = k;
  crp->nsc = ks::load16(s + R::kSupColumns, cv.big);
  crp->undo_scid = ks::load16(s + R::kSupUndoScid, cv.big);
  crp->redo_scid = ks::load16(s + R::kSupRedoScid, cv.big);
  *pflags = s[R::kSupFlags];
  return 0;
}

}  // namespace

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
    case 3: case 18: cnt = 0; break;
    case 5: cnt = 1; break;
    case 35: cnt = ks_cv_len(&cv, 6) < 0 ? 0 : ks_cv_len(&cv, 6) / 2 + 1; break;
    default:
      KS_ERROR("unknow row operation [10.%d] in undo.", code);
      return -1;
  }
  uint8_t pf = 0;
  int rc = read_sup(ex, cv, 6 + cnt, crp, &pf);
  if (rc != 0) return rc < 0 ? -1 : 0;
  if ((pf & R::kSupFirst) && (pf & R::kSupLast)) return 0;
  ex->m->flag |= KS_MN_PIECE;
  if (pf & R::kSupLast) ex->m->flag |= KS_MN_COMPLETE;
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
  const uint8_t *f1 = ks_cv_field(&cv, 1, R::kUbhSize);
  const uint8_t *f2 = ks_cv_field(&cv, 2, R::kUriLayer + 1);
  if (!f1 || !f2) return -9;  // not a row undo this build reads
  uint64_t xid = R::make_xid(ks::load16(f1 + R::kUbhUsn, big), ks::load16(f1 + R::kUbhSlot, big),
                             ks::load32(f1 + R::kUbhSqn, big));
  int layer = f2[R::kUriLayer];
  if (layer == 26) {
    // LOB data: no row change of its own here, but a LOB of a captured table must be
    // known as such when the record's LOB vector is reported.
    int ti = ks_lookup_table(ex->d, static_cast<int>(ks::load32(f2 + R::kUriObjn, big)));
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
  uint32_t objn = ks::load32(f2 + R::kUriObjn, big);
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
  int code = f4[R::kKdoOp] & R::kKdoOpMask;
  int l4 = cv.len[4];
  int cnt = 0;
  switch (code) {
    case R::kOpIrp:
    case R::kOpOrp:
      if (l4 < R::kIrpSize) goto short_header;
      crp->pc_rdba = ks::load32(f4 + R::kKdoDba, big);
      crp->pc_slot = ks::load16(f4 + R::kIrpSlot, big);
      crp->un_rdba = ks::load32(f4 + R::kIrpNextDba, big);
      crp->un_slot = ks::load16(f4 + R::kIrpNextSlot, big);
      crp->ufb = f4[R::kKdoFlag];
      cnt = f4[R::kIrpColumns];
      break;
    case R::kOpDrp:
      if (l4 < R::kDrpSize) goto short_header;
      crp->pc_rdba = ks::load32(f4 + R::kKdoDba, big);
      crp->pc_slot = ks::load16(f4 + R::kDrpSlot, big);
      break;
    case R::kOpLkr:
      break;
    case R::kOpUrp: {
      if (l4 < R::kUrpSize) goto short_header;
      crp->pc_rdba = ks::load32(f4 + R::kKdoDba, big);
      crp->pc_slot = ks::load16(f4 + R::kUrpSlot, big);
      crp->ufb = f4[R::kKdoFlag];
      int n5 = ks_cv_len(&cv, 5);
      int ne = n5 < 0 ? 0 : n5 / 2;
      if (ne == 0) {
        cnt = f4[R::kUrpColumns];
      } else {
        const uint8_t *a = cv.v + cv.off[5];
        uint16_t first = ks::load16(a, big);
        cnt = 1;
        for (int i = 1; i < ne; i++)
          if (ks::load16(a + 2 * i, big) > first) cnt++;
        // Columns the old row piece did not store (trailing NULLs the update sets) are
        // listed last, in descending order, with no value field; the header's count
        // holds only the columns that have a before-image value.
        if (f4[R::kUrpColumns] < cnt) cnt = f4[R::kUrpColumns];
      }
      cnt += 1;  // the column-number array itself
      break;
    }
    case R::kOpCfa:
      if (l4 < R::kCfaSize) goto short_header;
      crp->pc_rdba = ks::load32(f4 + R::kKdoDba, big);
      crp->pc_slot = ks::load16(f4 + R::kCfaSlot, big);
      crp->un_rdba = ks::load32(f4 + R::kCfaNextDba, big);
      crp->un_slot = ks::load16(f4 + R::kCfaNextSlot, big);
      break;
    case 10:
      return 0;
    case R::kOpQmd:
      crp->pc_rdba = ks::load32(f4 + R::kKdoDba, big);
      crp->pc_slot = 0;
      break;
    case 14:
      return -9;
    case R::kOpLmn:
      crp->pc_rdba = ks::load32(f4 + R::kKdoDba, big);
      crp->flag |= KS_CP_LMN;
      break;
    default:
      KS_ERROR("unknow row operation [11.%d] in undo.", code);
      return -1;
  }
  {
    uint8_t pf = 0;
    int rc = read_sup(ex, cv, 5 + cnt, crp, &pf);
    if (rc != 0) return rc < 0 ? -1 : 0;
    if ((pf & R::kSupFirst) && (pf & R::kSupLast) && !(m->slen == R::kSupSizeLong && code == R::kOpOrp))
      return 0;
    m->flag |= KS_MN_PIECE;
    if (pf & R::kSupLast) m->flag |= KS_MN_COMPLETE;
    if (m->slen == R::kSupSizeLong) {
      crp->cr_rdba = ks::load32(m->sup + R::kSupHeadDba, big);
      crp->cr_slot = ks::load16(m->sup + R::kSupHeadSlot, big);
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
