// The heap row change that ends a LOB operation stores the new locator; the LOB records
// already stand for it, so it is skipped. Whatever the answer, the operation is over
// and its descriptor is released. Parked operations are looked at too: the current one
// may have ended while another of the same statement waited.
#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "lib/log/log.h"

namespace {

ks_llb_t *operation(ks_extr_t *ex) { return ks_llb_find(ex->m->objn, ex->m->xid); }

}  // namespace

int ks_insert_lob_skip(ks_extr_t *ex) {
  ks_llb_t *l = operation(ex);
  if (l == nullptr) return 0;
  const bool skip = (l->flag & KS_LLB_SECOND) && l->op == KS_LLB_OP_INSERT &&
                    (l->flag & (KS_LLB_FIRST_DONE | KS_LLB_LOCAL_SEL | KS_LLB_INSERT));
  ks_llb_release(ex, l);
  if (!skip) return 0;
  KS_DETAIL("Skip INSERT after LOB operation (XID: %d.%d.%d).", KS_XID_ARGS(ex->m->xid));
  return 1;
}

int ks_update_lob_skip(ks_extr_t *ex) {
  ks_llb_t *l = operation(ex);
  if (l == nullptr) return 0;
  const uint32_t f = l->flag, op = l->op;
  const bool data = (f & (KS_LLB_FIRST_DONE | KS_LLB_LOCAL_SEL)) != 0;
  const bool skip = ((f & KS_LLB_SECOND) && (op == KS_LLB_OP_TRIM || op == KS_LLB_OP_ERASE || (f & KS_LLB_UPDATE) ||
                                             (op == KS_LLB_OP_UPDATE && data))) ||
                    (op == KS_LLB_OP_102 && data);
  ks_llb_release(ex, l);
  if (!skip) return 0;
  KS_DETAIL("Skip UPDATE after LOB operation (XID: %d.%d.%d).", KS_XID_ARGS(ex->m->xid));
  return 1;
}
