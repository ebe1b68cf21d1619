// The source's database and national character sets, by name and id, kept in the
// checkpoint record so later starts need not ask again.
#include <cstdio>
#include <cstring>

#include "extract/db_query.h"
#include "lib/log/log.h"

int ks_get_charset(ks_extr_t *ex, ks_ckp_t *ckp) {
  char param[2][32];
  char value[2][32];
  ks_qcol_t cols[2] = {{KS_QT_STR, 32, param}, {KS_QT_STR, 32, value}};
  ks_oci_stmt_t st{};
  int rows = ks_db_query(ex->a->se, &st, false,
                         "select parameter, value from v$nls_parameters\n"
                         "where parameter='NLS_CHARACTERSET' or parameter='NLS_NCHAR_CHARACTERSET'",
                         nullptr, 0, cols, 2, 2);
  if (rows < 0) return -1;
  for (int r = 0; r < rows; r++) {
    if (strcmp(param[r], "NLS_CHARACTERSET") == 0)
      snprintf(ckp->chs_name, sizeof ckp->chs_name, "%.31s", value[r]);
    else if (strcmp(param[r], "NLS_NCHAR_CHARACTERSET") == 0)
      snprintf(ckp->nchs_name, sizeof ckp->nchs_name, "%.31s", value[r]);
  }
  int id = ks_oci_charset_name2id(ex->a->se, ckp->chs_name);
  if (id <= 0) {
    KS_ERROR("get database charset id error.");
    return -1;
  }
  ckp->chs_id = static_cast<uint32_t>(id);
  id = ks_oci_charset_name2id(ex->a->se, ckp->nchs_name);
  if (id <= 0) {
    KS_ERROR("get database national charset id error.");
    return -1;
  }
  ckp->nchs_id = static_cast<uint32_t>(id);
  return 0;
}
