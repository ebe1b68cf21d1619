// Row operations that matter inside a chained row: overwrite row piece 11.6 (outside one,
// the update of a compressed block's row: parse_comp.cpp), lock /
// modify with no column change 11.16 and change forwarding address 11.8. They record row
// ids in the chain piece, which the dispatcher then saves with the record. Invariants:
// fixed offsets are read only from fields long enough to hold them.
#include "extract/redo/redo.h"
#include "extract/redo/row_image.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_orp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  if (m->undo == nullptr) return ks_parse_kdo_rollback(ex, vbuf, crp);
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_IRP_SIZE);
  if (!h) {
    KS_ERROR("ORP row header too short.");
    return -1;
  }
  crp->rfb = h[R::KS_REDO_KDO_FLAG];
  if (m->flag & KS_MN_PIECE) {
    crp->rn_rdba = ks::load32(h + R::KS_REDO_IRP_NEXT_DBA, cv.big);
    crp->rn_slot = ks::load16(h + R::KS_REDO_IRP_NEXT_SLOT, cv.big);
    return 0;
  }
  // An undo that named no captured table leaves nothing to build.
  if (m->objn == 0) return KS_RC_NOT_CAPTURED;
  return ks_parse_orp_update(ex, &cv, h);
}

namespace {
// Head row id from a 28-byte supplemental header in field 3, when the vector has one.
int head_rowid(const ks_cv_t &cv, ks_chain_piece_t *crp) {
  if (cv.nf < 3) return 0;
  int l = cv.len[3];
  if (l != R::KS_REDO_SUP_SIZE_LONG) {
    KS_ERROR("supplemental log length (%d) error.", l);
    return -1;
  }
  const uint8_t *s = cv.v + cv.off[3];
  crp->cr_rdba = ks::load32(s + R::KS_REDO_SUP_HEAD_DBA, cv.big);
  crp->cr_slot = ks::load16(s + R::KS_REDO_SUP_HEAD_SLOT, cv.big);
  return 0;
}
}  // namespace

int ks_parse_lmn(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  if (ex->m->undo == nullptr) return ks_parse_kdo_rollback(ex, vbuf, crp);
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *h = ks_cv_field(&cv, 2, 4);
  if (!h) return -1;
  uint32_t dba = ks::load32(h + R::KS_REDO_KDO_DBA, cv.big);
  if (head_rowid(cv, crp) < 0) return -1;
  if (crp->cr_rdba == 0 && crp->cr_slot == 0) {
    // The first piece of a row change whose supplemental header names no head: the row
    // is keyed on this piece's own row id, which the later pieces name as their head.
    crp->pc_rdba = dba;
    crp->pc_slot = ks_cv_len(&cv, 2) >= R::KS_REDO_LKR_SLOT + 2 ? ks::load16(h + R::KS_REDO_LKR_SLOT, cv.big) : 0;
  } else if (crp->cr_rdba == dba) {
    crp->pc_rdba = crp->cr_rdba;
    crp->pc_slot = crp->cr_slot;
  } else {
    crp->pc_rdba = dba;
    crp->pc_slot = 0;
  }
  return 0;
}

int ks_parse_cfa(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp) {
  if (ex->m->undo == nullptr) return ks_parse_kdo_rollback(ex, vbuf, crp);
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_CFA_SIZE);
  if (!h) {
    KS_ERROR("CFA row header too short.");
    return -1;
  }
  if (head_rowid(cv, crp) < 0) return -1;
  // A forwarding address changes a piece of a row whose change is in progress: the
  // piece's next-piece row id, applied to the piece saved before when the row is built.
  // For a row with nothing in progress it changes nothing that is delivered.
  if (!(ex->m->flag & KS_MN_PIECE) || ks_chain_find(ks_chain_of(ex), crp->cr_rdba, crp->cr_slot) < 0) return -9;
  crp->flag |= KS_CP_CFA;
  crp->pc_rdba = ks::load32(h + R::KS_REDO_KDO_DBA, cv.big);
  crp->pc_slot = ks::load16(h + R::KS_REDO_CFA_SLOT, cv.big);
  crp->rn_rdba = ks::load32(h + R::KS_REDO_CFA_NEXT_DBA, cv.big);
  crp->rn_slot = ks::load16(h + R::KS_REDO_CFA_NEXT_SLOT, cv.big);
  return 0;
}
