// The status a delivery process publishes in its slot of the status table, for the
// console's "info": the trail file and offset replayed up to, the commit SCN and time of
// the last transaction applied, and whether the trail has been read to its end. Called
// wherever the replay position moves; each call is a few stores into shared memory.
#include "apply/apply_db.h"
#include "lib/cfg/cfg.h"
#include "lib/ps/ps.h"

void ks_apply_publish_status(const ks_apply_t *ap, int how) {
  ks_ps_stat_t *slot = ks_ps_stat_mine(x_pst, KS_CFG_COM_APPLY);
  if (slot == nullptr) return;
  ks_ps_stat_begin(slot);
  if (ap->r != nullptr) {
    slot->trail_fno = ap->r->tfno;
    slot->trail_ofs = static_cast<uint64_t>(ap->r->ofs);
  }
  slot->cmt_scn = x_cmt_scn;
  if (x_cmt_sct != 0) slot->cmt_sct = x_cmt_sct;
  ks_ps_stat_publish_end(slot, how);
}
