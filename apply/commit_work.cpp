// Commit points on the target: the checkpoint rows move inside the same transaction as
// the data it covers, so a commit makes both durable together and a rollback loses both.
// A failure here is a failure of the whole unit: it is never committed in part.
#include "apply/apply_db.h"

namespace {

int unit_error(const char *what) { return ks_unit_db_fail(what, ks_oci_get_error_code(), ks_oci_get_message()); }

}  // namespace

int ks_commit_work(ks_apply_t *ap) {
  ks_ap_db_t *a = ap->a;
  // Every trail's position moves with the data: a restart resumes each exactly.
  for (int k = 0; k < x_nrdr; k++)
    if (ks_update_checkpoint(a, &x_rdr[k]) < 0) return unit_error("update checkpoint error.");
  // The unit's error records go out once nothing but the commit itself can fail.
  if (ks_error_flush() < 0) return -1;
  if (ks_oci_commit(a->se, 0) == 0) return 0;
  if (ks_oci_get_error_code() == 22297) {
    // Open LOBs at commit: the commit is done; close the LOB that was left open.
    ks_oci_lob_close(a->se, x_lob.locp);
    return 0;
  }
  return unit_error("commit work error.");
}

int ks_rollback_work(ks_apply_t *ap) {
  ap->x->nrow = 0;
  ks_lob_discard(ap);
  return ks_oci_rollback(ap->a->se);
}
