// The status a capture process publishes in its slot of the status table, for the
// console's "info": the redo position and SCN reached, the trail file and offset written,
// the last commit written with its time, whether the redo written so far has all been
// read, and the records not captured by reason. Called wherever the position moves; each
// call is a few stores into shared memory.
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "extract/trans/trans.h"
#include "lib/cfg/cfg.h"
#include "lib/ps/ps.h"

static_assert(KS_NC_REASONS <= KS_PS_STAT_NC, "not-captured reasons fit a status slot");

void ks_publish_status(const ks_rba_t *pos, int how) {
  ks_ps_stat_t *slot = ks_ps_stat_mine(x_pst, KS_CFG_COM_EXTRACT);
  if (slot == nullptr) return;
  const ks_extr_t *ex = &x_extr;
  ks_ps_stat_begin(slot);
  slot->rba_sqn = pos->sqn;
  slot->rba_blk = pos->blk;
  slot->rba_byt = pos->byt;
  if (ex->m != nullptr) slot->scn = ex->m->scn;
  if (ex->t != nullptr) {
    slot->trail_fno = static_cast<uint32_t>(ex->t->fseq);
    slot->trail_ofs = static_cast<uint64_t>(ex->t->tail);
    // A new trail file's header names no transaction yet: the last one stays shown.
    if (ex->t->fhdr.last_scn != KS_SCN_OPEN && ex->t->fhdr.last_scn != 0) {
      slot->cmt_scn = ex->t->fhdr.last_scn;
      slot->cmt_sct = ex->t->last_csct;
    }
  }
  for (int r = 0; r < KS_NC_REASONS; ++r) slot->nc[r] = ks_not_captured_count(r);
  ks_ps_stat_publish_end(slot, how);
}
