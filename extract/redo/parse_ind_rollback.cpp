// Leaf operations of index-organised tables that are not row changes of their own: the
// redo a rollback writes (a purge undoes an insert, a restore undoes a delete, a non-key
// update undoes a non-key update), each turned into a header-only rollback LCR that lets
// delivery cancel the change it undoes; and purge, restore, keydata and older non-key
// updates with an undo, which a captured table's rows never get from the changes this
// build decodes and which are therefore reported rather than passed over. Leaf redo of
// ordinary indexes (and of LOB indexes) is passed over: their table's own records stand
// for the change. Invariants: the record's 5.6 / 5.11 names the object and the
// transaction; a record whose transaction is not being collected appends nothing.
#include "extract/redo/redo.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_index_rollback(ks_extr_t *ex, uint8_t *vbuf) {
  ks_miner_t *m = ex->m;
  uint32_t usn = 0, slot = 0, objn = 0;
  bool partial = false;
  // Upkeep of other indexes is passed over without ending the record: what follows in it
  // is read as before.
  if (ks_rollback_vector(ex, &usn, &slot, &objn, &partial) < 0) return 0;
  const int ti = ks_lookup_table(ex->d, static_cast<int>(objn));
  if (ti < 0 || !(ex->d->tab[ti].flag & KS_TAB_IOT)) return 0;
  m->ti = ti;
  m->objn = objn;
  const uint64_t xid = ks_rollback_owner(ex, usn, slot, partial);
  if (xid == 0) return partial ? -1 : KS_RC_NOT_CAPTURED;
  m->xid = xid;
  m->pxid = xid;  // the rollback of several changes comes as a run of records
  uint32_t opc;
  switch (vbuf[R::KS_REDO_CV_CODE]) {
    case R::KS_REDO_LEAF_PURGE:
      opc = KS_OPC_INDEX_DELETE;
      break;
    case R::KS_REDO_LEAF_RESTORE:
      opc = KS_OPC_INDEX_INSERT;
      break;
    case R::KS_REDO_LEAF_NONKEY:
      opc = KS_OPC_INDEX_UPDATE;
      break;
    default:
      // Keydata updates and the older non-key form are not decoded as changes, so no
      // change of theirs stands to be cancelled: a rollback LCR would cancel another one.
      return KS_RC_IOT_NOT_DECODED;
  }
  if (ks_emit_rollback(ex, ti, opc) < 0) return -1;
  KS_DETAIL("append rollback INDEX LCR (XID: %d.%d.%d)", KS_XID_ARGS(xid));
  return KS_RC_NOT_CAPTURED;
}

int ks_parse_iot_leaf_other(ks_extr_t *ex, uint8_t *vbuf) {
  ks_miner_t *m = ex->m;
  if (m->undo == nullptr) return ks_parse_index_rollback(ex, vbuf);
  if (m->objn == 0 || ex->d == nullptr || !(ks_tab(ex)->flag & KS_TAB_IOT)) return 0;
  return KS_RC_IOT_NOT_DECODED;
}
