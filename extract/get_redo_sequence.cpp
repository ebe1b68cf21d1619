// The log sequence of this thread that holds a given SCN: an archived log whose range
// covers it, else the latest online log that began at or before it.
#include <cstdio>

#include "extract/db_query.h"
#include "lib/log/log.h"

int ks_get_redo_sequence(ks_extr_t *ex, uint64_t scn, uint32_t *seq) {
  char sql[512];
  unsigned long s = static_cast<unsigned long>(scn);
  snprintf(sql, sizeof sql,
           "select sequence# from v$archived_log\nwhere thread#=%d and %lu<next_change#\nand %lu>=first_change#\n"
           "and standby_dest='NO' and status<>'D'",
           x_thrd, s, s);
  int64_t v = 0;
  ks_qcol_t col{KS_QT_INT, sizeof v, &v};
  ks_oci_stmt_t st{};
  int rows = ks_db_query(ex->a->se, &st, false, sql, nullptr, 0, &col, 1, 1);
  if (rows < 0) return -1;
  if (rows == 0) {
    snprintf(sql, sizeof sql, "select nvl(max(sequence#), 0) from v$log where thread#=%d and %lu >= first_change#",
             x_thrd, s);
    v = 0;
    rows = ks_db_query(ex->a->se, &st, false, sql, nullptr, 0, &col, 1, 1);
    if (rows < 0) return -1;
    if (rows == 0 || v <= 0) {
      KS_ERROR("redo log sequence# not found by SCN %lu", s);
      return -1;
    }
  }
  *seq = static_cast<uint32_t>(v);
  return 0;
}
