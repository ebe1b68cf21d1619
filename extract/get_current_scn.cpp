// The source's current SCN, through a statement kept for the session.
#include "extract/db_query.h"
#include "lib/log/log.h"

int ks_get_current_scn(ks_extr_t *ex, uint64_t *scn) {
  *scn = 0;
  ks_qcol_t col{KS_QT_UIN, sizeof *scn, scn};
  int rows = ks_db_query(ex->a->se, &ex->a->st_scn, true, "select current_scn from v$database", nullptr, 0, &col, 1, 1);
  if (rows < 0) return -1;
  if (rows == 0) {
    KS_ERROR("current SCN not found.");
    ks_oci_close_statement(ex->a->se, &ex->a->st_scn);
    return -1;
  }
  return 0;
}
