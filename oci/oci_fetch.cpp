// Array defines and fetch. A define set lays its column arrays out in the caller's
// buffer: per column the value array, then indicator, length and return-code arrays,
// each start aligned to 8 bytes, nc * 32 bytes reserved for that alignment; nothing is
// written past buf + buf_sz.
#include <cstdint>

#include "lib/bytes.h"
#include "lib/log/log.h"
#include "oci/oci.h"

namespace {
inline uint8_t *align8(uint8_t *base, uint8_t *p) {
  uintptr_t off = static_cast<uintptr_t>(p - base);
  return base + ((off + 7) & ~static_cast<uintptr_t>(7));
}
}  // namespace

int ks_oci_prepare_buffer(ks_oci_ds_t *ds) {
  long rowlen = 0;
  for (int i = 0; i < ds->nc; i++) {
    if (ds->df[i].flag & KS_OCI_DEF_PIECEWISE) ds->df[i].vsz = 0;
    rowlen += static_cast<long>(ds->df[i].vsz) + 6;
  }
  long rows = rowlen > 0 ? (static_cast<long>(ds->buf_sz) - static_cast<long>(ds->nc) * 32) / rowlen : 0;
  if (rows <= 0) {
    KS_ERROR("fetch buffer size too small (%d)", ds->buf_sz);
    ds->nrows = 0;
    return -1;
  }
  uint8_t *p = ds->buf;
  for (int i = 0; i < ds->nc; i++) {
    ks_oci_def_t *d = &ds->df[i];
    p = align8(ds->buf, p);
    if (d->vsz == 0) {
      d->valp = nullptr;
    } else {
      d->valp = p;
      p += rows * d->vsz;
    }
    p = align8(ds->buf, p);
    d->indp = reinterpret_cast<int16_t *>(p);
    p += rows * 2;
    p = align8(ds->buf, p);
    d->alenp = reinterpret_cast<uint16_t *>(p);
    p += rows * 2;
    p = align8(ds->buf, p);
    d->rcodep = reinterpret_cast<uint16_t *>(p);
    p += rows * 2;
  }
  ds->nrows = static_cast<int>(rows);
  return 0;
}

int ks_oci_auto_define(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, ks_oci_ds_t *ds) {
  if (ds->buf != nullptr && ds->buf_sz > 0) {
    if (ks_oci_prepare_buffer(ds) < 0) {
      ks_oci_set_error_code(-1);
      ks_oci_set_message("fetch buffer size too small.");
      return -1;
    }
  }
  for (int i = 0; i < ds->nc; i++) {
    ks_oci_def_t *d = &ds->df[i];
    ub4 mode = OCI_DEFAULT;
    if (d->flag & KS_OCI_DEF_PIECEWISE) {
      d->vsz = 2147483647u;
      mode = OCI_DYNAMIC_FETCH;
    }
    if (!(d->flag & KS_OCI_DEF_EXTTYPE) && d->ctype >= KS_OCI_NTYPES) {
      ks_oci_set_error_code(-1);
      ks_oci_set_message("define type index out of range.");
      KS_ERROR("OCIDefineByPos()");
      return -1;
    }
    ub2 dty = (d->flag & KS_OCI_DEF_EXTTYPE) ? static_cast<ub2>(d->ctype) : oci_data_type[d->ctype];
    if (ks_oci_check(c->errhp,
                     x_oci.OCIDefineByPos(stmt->stmtp, &d->defp, c->errhp, static_cast<ub4>(i + 1), d->valp,
                                          static_cast<sb4>(d->vsz), dty, d->indp, d->alenp, d->rcodep, mode)) != 0) {
      KS_ERROR("OCIDefineByPos()");
      return -1;
    }
    if (ds->nrows > 1) {
      if (ks_oci_check(c->errhp, x_oci.OCIDefineArrayOfStruct(d->defp, c->errhp, d->vsz, 2, 2, 2)) != 0) {
        KS_ERROR("OCIDefineArrayOfStruct()");
        return -1;
      }
    }
  }
  return 0;
}

int ks_oci_fetch(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int nrows, int *rrows) {
  int r = ks_oci_check(
      c->errhp, x_oci.OCIStmtFetch2(stmt->stmtp, c->errhp, static_cast<ub4>(nrows), OCI_FETCH_NEXT, 0, OCI_DEFAULT));
  if (r == OCI_NEED_DATA) return 2;
  if (r != OCI_SUCCESS && r != OCI_NO_DATA && r != OCI_SUCCESS_WITH_INFO) {
    KS_ERROR("OCIStmtFetch()");
    return -1;
  }
  // A warning (a value cut to its slot) still delivered rows; the text stays in the buffer.
  int saved = ks_oci_get_error_code();
  ub4 got = 0;
  if (ks_oci_check(c->errhp, x_oci.OCIAttrGet(stmt->stmtp, OCI_HTYPE_STMT, &got, nullptr, OCI_ATTR_ROWS_FETCHED,
                                              c->errhp)) != 0) {
    KS_ERROR("Rows Fetched - OCIAttrGet()");
    return -1;
  }
  if (r == OCI_SUCCESS_WITH_INFO) ks_oci_set_error_code(saved);
  *rrows = static_cast<int>(got);
  return r == OCI_NO_DATA ? 1 : 0;
}

int ks_oci_long_value(const ks_oci_def_t *d, int k, const uint8_t **data, uint32_t *len) {
  if (d->indp[k] == -1) return 1;
  const uint8_t *slot = d->valp + static_cast<size_t>(k) * d->vsz;
  uint32_t room = d->vsz > 4 ? d->vsz - 4 : 0;
  uint32_t n = static_cast<uint32_t>(ks::load<int32_t>(slot));
  *data = slot + 4;
  *len = n < room ? n : room;
  // A value cut to its slot has a non-zero indicator (its length, or -2 when too long for it).
  return d->indp[k] != 0 || n > room ? 2 : 0;
}
