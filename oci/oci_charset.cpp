// Character-set names, ids and conversion through OCI, used by extract to learn the
// source's character sets and to convert character data.
#include <cstdio>
#include <cstring>

#include "lib/log/log.h"
#include "oci/oci.h"

int ks_oci_charset_id2name(ks_oci_ses_t *c, int csid, char *name, int nlen) {
  if (ks_oci_check(c->errhp, x_oci.OCINlsCharSetIdToName(c->envhp, reinterpret_cast<OraText *>(name),
                                                         static_cast<size_t>(nlen), static_cast<ub2>(csid))) != 0) {
    KS_ERROR("OCINlsCharSetIdToName()");
    return -1;
  }
  return 0;
}

int ks_oci_charset_name2id(ks_oci_ses_t *c, const char *name) {
  ub2 id = x_oci.OCINlsCharSetNameToId(c->envhp, reinterpret_cast<const OraText *>(name));
  if (id == 0) {
    char msg[128];
    snprintf(msg, sizeof msg, "OCINlsCharSetNameToId() - \"%.64s\" is invalid.", name);
    ks_oci_set_error_code(-1);
    ks_oci_set_message(msg);
    KS_ERROR("OCINlsCharSetNameToId() - \"%s\" is invalid.", name);
    return -1;
  }
  return id;
}

int ks_oci_set_charset_id(ks_oci_ses_t *c, int csid) {
  ub2 id = static_cast<ub2>(csid);
  return ks_oci_check(c->errhp, x_oci.OCIAttrSet(c->envhp, OCI_HTYPE_ENV, &id, 0, OCI_ATTR_ENV_CHARSET_ID, c->errhp)) ==
                 0
             ? 0
             : -1;
}

int ks_oci_set_ncharset_id(ks_oci_ses_t *c, int ncsid) {
  ub2 id = static_cast<ub2>(ncsid);
  return ks_oci_check(c->errhp,
                      x_oci.OCIAttrSet(c->envhp, OCI_HTYPE_ENV, &id, 0, OCI_ATTR_ENV_NCHARSET_ID, c->errhp)) == 0
             ? 0
             : -1;
}

int ks_oci_charset_convert(ks_oci_ses_t *c, int scsid, int tcsid, const void *sdata, int slen, void *tdata, int dlen) {
  size_t out = 0;
  if (ks_oci_check(c->errhp, x_oci.OCINlsCharSetConvert(c->envhp, c->errhp, static_cast<ub2>(tcsid), tdata,
                                                        static_cast<size_t>(dlen), static_cast<ub2>(scsid), sdata,
                                                        static_cast<size_t>(slen), &out)) != 0) {
    KS_ERROR("OCINlsCharSetConvert()");
    return -1;
  }
  return static_cast<int>(out);
}
