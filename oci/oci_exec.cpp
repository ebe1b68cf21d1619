// Statement execution and the batch errors of array DML: the per-row error records are
// read through two extra error handles kept in the connection record.
#include <initializer_list>

#include "lib/log/log.h"
#include "oci/oci.h"

namespace {

int execute(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int iters, int rowoff, ub4 mode) {
  int r = ks_oci_check(c->errhp, x_oci.OCIStmtExecute(c->svchp, stmt->stmtp, c->errhp, static_cast<ub4>(iters),
                                                      static_cast<ub4>(rowoff), nullptr, nullptr, mode));
  switch (r) {
    case OCI_SUCCESS:
      return 0;
    case OCI_NO_DATA:
      return 1;
    case OCI_NEED_DATA:
      return 2;
    case OCI_SUCCESS_WITH_INFO:
      return 3;
    default:
      return -1;
  }
}

}  // namespace

int ks_oci_execute(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int iters, int rowoff) {
  return execute(c, stmt, iters, rowoff, OCI_DEFAULT);
}

int ks_oci_execute_batch(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int iters, int rowoff) {
  return execute(c, stmt, iters, rowoff, OCI_BATCH_ERRORS);
}

int ks_oci_get_batch_errors(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int *num) {
  ub4 n = 0;
  if (ks_oci_check(c->errhp, x_oci.OCIAttrGet(stmt->stmtp, OCI_HTYPE_STMT, &n, nullptr, OCI_ATTR_NUM_DML_ERRORS,
                                              c->errhp)) != 0) {
    *num = 0;
    KS_ERROR("Batch Error Numbers - OCIAttrGet()");
    return -1;
  }
  *num = static_cast<int>(n);
  return 0;
}

int ks_oci_get_array_error(ks_oci_ses_t *c, int ei, int *rowoff) {
  for (OCIError **e : {&c->errbp1, &c->errbp2}) {
    if (*e != nullptr) continue;
    if (ks_oci_check(c->errhp,
                     x_oci.OCIHandleAlloc(c->envhp, reinterpret_cast<void **>(e), OCI_HTYPE_ERROR, 0, nullptr)) != 0)
      return -1;
  }
  if (ks_oci_check(c->errbp1, x_oci.OCIParamGet(c->errhp, OCI_HTYPE_ERROR, c->errbp1,
                                                reinterpret_cast<void **>(&c->errbp2), static_cast<ub4>(ei))) != 0)
    return -1;
  ub4 off = 0;
  if (ks_oci_check(c->errbp1, x_oci.OCIAttrGet(c->errbp2, OCI_HTYPE_ERROR, &off, nullptr, OCI_ATTR_DML_ROW_OFFSET,
                                               c->errbp1)) != 0)
    return -1;
  *rowoff = static_cast<int>(off);
  sb4 code = 0;
  static char msg[KS_OCI_MSG_SZ];
  if (x_oci.OCIErrorGet(c->errbp2, 1, nullptr, &code, reinterpret_cast<OraText *>(msg), KS_OCI_MSG_SZ - 1,
                        OCI_HTYPE_ERROR) != OCI_SUCCESS) {
    ks_oci_set_error_code(-1);
    ks_oci_set_message("retrieve error message failed.");
    return 0;
  }
  msg[KS_OCI_MSG_SZ - 1] = '\0';
  ks_oci_set_error_code(code);
  ks_oci_set_message(msg);
  return 0;
}
