// DDL tracing at commit: dictionary updates from a DDL transaction's system-table changes
// and the rewrite of the transaction to the DDL statement and its COMMIT.
// Not built yet: the transaction is written as collected (its system-object records
// included, flagged 0x1). Replaced by the real tracing, which rewrites the image in place
// or, when it needs more room than tbsz, rebuilds it in the table's work buffer.
#include "extract/trans/trans.h"

int ks_trace_ddl(ks_extr_t *ex, ks_lcr_th_t *thdr, int tbsz) {
  (void)ex;
  (void)thdr;
  (void)tbsz;
  return 0;
}
