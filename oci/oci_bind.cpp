// Column-wise array binds: one OCI bind per placeholder, value/indicator/length/return
// code arrays with strides vsz, 2, 2, 2, optional character set form/id and maximum size.
#include "lib/log/log.h"
#include "oci/oci.h"

int ks_oci_auto_bind(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, ks_oci_bnd_t *bc, int ncols, int nrows) {
  for (int i = 0; i < ncols; i++) {
    ks_oci_bnd_t *b = &bc[i];
    ub2 type = (b->flag & KS_OCI_BND_EXTTYPE) ? static_cast<ub2>(b->ctype)
               : (b->ctype < KS_OCI_NTYPES)   ? oci_data_type[b->ctype]
                                              : 0;
    if (type == 0) {
      ks_oci_set_error_code(-1);
      ks_oci_set_message("bind type index out of range.");
      KS_ERROR("OCIBindByPos()");
      return -1;
    }
    ub4 mode = (b->flag & KS_OCI_BND_PIECEWISE) ? OCI_DATA_AT_EXEC : OCI_DEFAULT;
    if (ks_oci_check(c->errhp, x_oci.OCIBindByPos(stmt->stmtp, &b->bndp, c->errhp, static_cast<ub4>(i + 1), b->valp,
                                                  static_cast<sb4>(b->vsz), type, b->indp, b->alenp, b->rcodep, 0,
                                                  nullptr, mode)) != 0) {
      KS_ERROR("OCIBindByPos()");
      return -1;
    }
    if (b->flag & KS_OCI_BND_CHARSET) {
      ub1 form = (b->flag & KS_OCI_BND_NCHAR) ? SQLCS_NCHAR : SQLCS_IMPLICIT;
      ub2 csid = static_cast<ub2>(b->csid);
      if (ks_oci_check(c->errhp,
                       x_oci.OCIAttrSet(b->bndp, OCI_HTYPE_BIND, &form, 0, OCI_ATTR_CHARSET_FORM, c->errhp)) != 0 ||
          ks_oci_check(c->errhp, x_oci.OCIAttrSet(b->bndp, OCI_HTYPE_BIND, &csid, 0, OCI_ATTR_CHARSET_ID, c->errhp)) !=
              0) {
        KS_ERROR("OCIAttrSet()");
        return -1;
      }
    }
    if (b->flag & KS_OCI_BND_MAXDATA) {
      ub4 maxsz = 4000;
      if (ks_oci_check(c->errhp,
                       x_oci.OCIAttrSet(b->bndp, OCI_HTYPE_BIND, &maxsz, 0, OCI_ATTR_MAXDATA_SIZE, c->errhp)) != 0) {
        KS_ERROR("OCIAttrSet()");
        return -1;
      }
    }
    if (nrows > 1) {
      if (ks_oci_check(c->errhp, x_oci.OCIBindArrayOfStruct(b->bndp, c->errhp, b->vsz, 2, 2, 2)) != 0) {
        KS_ERROR("OCIBindArrayOfStruct()");
        return -1;
      }
    }
  }
  return 0;
}
