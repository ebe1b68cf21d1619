// Rollback resolution at commit: matching rollback records with the changes they cancel.
// Not built yet: the transaction is written as collected. Its rollback records already
// carry the discard mark, so readers skip them; the changes they cancel are still
// delivered. Replaced by the real resolution.
#include "extract/trans/trans.h"

int ks_check_rollback(ks_extr_t *ex, ks_lcr_th_t *thdr) {
  (void)ex;
  (void)thdr;
  return 0;
}
