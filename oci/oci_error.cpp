// The process-wide error state of the database layer and the conversion of OCI status
// codes into the layer's results. The message buffer is always NUL-terminated.
#include <cstring>

#include "oci/oci.h"

namespace {
int oci_errcode = 0;
char oci_errmesg[KS_OCI_MSG_SZ];
}  // namespace

const uint16_t oci_data_type[KS_OCI_NTYPES] = {SQLT_CHR,
                                               SQLT_NUM,
                                               SQLT_AFC,
                                               SQLT_DAT,
                                               KS_SQLT_TIMESTAMP,
                                               KS_SQLT_TIMESTAMP_TZ,
                                               KS_SQLT_TIMESTAMP_LTZ,
                                               KS_SQLT_INTERVAL_YM,
                                               KS_SQLT_INTERVAL_DS,
                                               SQLT_BIN,
                                               SQLT_LNG,
                                               SQLT_LBI,
                                               SQLT_CLOB,
                                               SQLT_BLOB,
                                               SQLT_IBFLOAT,
                                               SQLT_IBDOUBLE,
                                               SQLT_STR,
                                               SQLT_INT,
                                               SQLT_UIN};

int ks_oci_get_error_code() { return oci_errcode; }
const char *ks_oci_get_message() { return oci_errmesg; }
void ks_oci_set_error_code(int code) { oci_errcode = code; }

void ks_oci_set_message(const char *text) {
  if (text == nullptr) text = "";
  strncpy(oci_errmesg, text, KS_OCI_MSG_SZ);
  oci_errmesg[KS_OCI_MSG_SZ - 1] = '\0';
}

int ks_oci_check(OCIError *errhp, sword status) {
  oci_errcode = 0;
  switch (status) {
    case OCI_ERROR:
    case OCI_SUCCESS_WITH_INFO: {
      sb4 code = 0;
      oci_errmesg[0] = '\0';
      if (x_oci.OCIErrorGet == nullptr || errhp == nullptr ||
          x_oci.OCIErrorGet(errhp, 1, nullptr, &code, reinterpret_cast<OraText *>(oci_errmesg), KS_OCI_MSG_SZ - 1,
                            OCI_HTYPE_ERROR) != OCI_SUCCESS) {
        oci_errcode = -1;
        ks_oci_set_message("retrieve error message failed.");
        return status;
      }
      oci_errmesg[KS_OCI_MSG_SZ - 1] = '\0';
      oci_errcode = code;
      return status;
    }
    case OCI_SUCCESS:
    case OCI_NEED_DATA:
    case OCI_NO_DATA:
      return status;
    case OCI_STILL_EXECUTING:
      oci_errcode = -1;
      ks_oci_set_message("Error - OCI_STILL_EXECUTING");
      return -1;
    case OCI_INVALID_HANDLE:
      oci_errcode = -1;
      ks_oci_set_message("Error - OCI_INVALID_HANDLE");
      return -1;
    case OCI_CONTINUE:
      oci_errcode = -1;
      ks_oci_set_message("Error - OCI_CONTINUE");
      return -1;
    default:
      oci_errcode = -1;
      ks_oci_set_message("Error - Unknow OCI error");
      return -1;
  }
}
