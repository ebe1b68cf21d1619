// Quick multi-insert: one LCR carrying many rows of one table (column descriptors, then
// rows of 2-byte-length-prefixed values) goes straight into the bind arrays. Invariants:
// every value length is checked against the record and against its slot before a byte
// is copied; the rows are executed before this returns, so their error records (the
// descriptors and that one row) are built while the LCR is still in memory.
#include <cstdio>

#include "apply/apply_db.h"
#include "apply/bind_value.h"
#include "lib/log/log.h"

namespace {

uint32_t s_vsz[KS_MAX_COLS];

bool charset_col(uint32_t t) { return t == KS_TYP_VARCHAR2 || t == KS_TYP_CHAR || t == KS_TYP_LONG; }

int new_statement(ks_apply_t *ap, int len, int64_t row_len) {
  ks_array_t *x = ap->x;
  ks_ap_db_t *a = ap->a;
  const ks_lcr_cols_t &lc = x_cols;
  x->flag = 0;
  x->slen = 0;  // until prepared and bound, no statement is current
  x->ncol = static_cast<int>(lc.nold);
  x->opc = KS_OPC_QMI;
  x->max_rows = ks_array_rows(ap, x->ncol, row_len);
  if (x->max_rows < 1) return -1;
  std::memcpy(x->sqltxt, x_sqltxt, static_cast<size_t>(len) + 1);
  KS_DEBUG("SQL: %s", x->sqltxt);
  for (uint32_t i = 0; i < lc.nold; i++) {
    const ks_col_view &c = lc.oldc[i];
    s_vsz[i] = ks_ct_is_long(c.ctyp) ? 4000 : (c.clen == 0 ? 1 : c.clen);
    if (s_vsz[i] > 65535) {
      KS_ERROR("column \"%s\" of %u bytes cannot be bound.", c.name, c.clen);
      return -1;
    }
  }
  if (ks_array_layout(ap, s_vsz) < 0) return -1;
  for (uint32_t i = 0; i < lc.nold; i++) {
    const ks_col_view &c = lc.oldc[i];
    ks_oci_bnd_t &d = x->bc[i];
    bool national = (c.flag & KS_CH_NATIONAL) != 0;
    d.flag = KS_OCI_BND_EXTTYPE;
    d.ctype = c.ctyp;
    d.csid = 0;
    d.bndp = nullptr;
    if (charset_col(c.ctyp)) {
      d.flag |= KS_OCI_BND_CHARSET | (national ? KS_OCI_BND_NCHAR : 0);
      d.csid = static_cast<uint32_t>(national ? x_ncsid : x_csid);
    }
  }
  if (ks_oci_prepare_statement(a->se, &a->st_ap, x->sqltxt) != 0) {
    KS_ERROR("prepare statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  if (ks_oci_auto_bind(a->se, &a->st_ap, x->bc, x->ncol, 2) != 0) {
    KS_ERROR("bind data error.\n%s", ks_oci_get_message());
    return -1;
  }
  x->slen = len;
  return 0;
}

}  // namespace

int ks_perform_qmi(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  ks_array_t *x = ap->x;
  int ncol = 0;
  int64_t row_len = 0;
  int len = ks_array_next_text(ap, rhdr, true, &ncol, &row_len);
  if (len < 0) return -1;
  if (row_len == 0) return 0;
  if (len != x->slen || x->opc != KS_OPC_QMI || std::memcmp(x_sqltxt, x->sqltxt, static_cast<size_t>(len)) != 0) {
    if (new_statement(ap, len, row_len) < 0) return -1;
  }
  const ks_lcr_cols_t &lc = x_cols;
  uint32_t rlen = ks_rh_rlen(rhdr);
  // Rows start after the last descriptor.
  uint32_t pos = KS_LCR_RH_SZ;
  for (uint32_t i = 0; i < lc.nold; i++) pos += lc.oldc[i].alen;
  for (uint32_t row = 0; row < lc.nnew; row++) {
    // Check the whole row first: lengths inside the record, then inside their slots.
    uint32_t p = pos;
    for (uint32_t i = 0; i < lc.nold; i++) {
      if (rlen - p < 2) goto malformed;
      uint16_t vl = ks::load<uint16_t>(rhdr + p);
      if (vl > rlen - p - 2) goto malformed;
      p += 2u + vl;
    }
    {
      uint32_t q = pos;
      for (uint32_t i = 0; i < lc.nold; i++) {
        uint16_t vl = ks::load<uint16_t>(rhdr + q);
        if (vl > x->bc[i].vsz) {
          char why[160];
          std::snprintf(why, sizeof why, "value of column \"%.40s\" (%u bytes) is longer than its slot (%u bytes).",
                        lc.oldc[i].name, static_cast<unsigned>(vl), x->bc[i].vsz);
          KS_ERROR("%s", why);
          ks_error_for_row(ap->b->rbuf + tp, 0, why, rhdr, rhdr + pos);
          goto next_row;
        }
        q += 2u + vl;
      }
    }
    if (x->nrow >= x->max_rows && ks_array_execute(ap) < 0) return -1;  // logged where it failed
    {
      int r = x->nrow;
      ks_arh_t &h = x->ah[r];
      h.rpos = static_cast<uint32_t>(rhdr - ap->b->dbuf);
      h.rsv = 0;
      h.tpos = tp;
      h.dpos = static_cast<uint32_t>(rhdr + pos - ap->b->dbuf);
      p = pos;
      for (uint32_t i = 0; i < lc.nold; i++) {
        ks_oci_bnd_t &d = x->bc[i];
        uint16_t vl = ks::load<uint16_t>(rhdr + p);
        if (vl == 0) {
          d.indp[r] = -1;
          d.alenp[r] = 0;
        } else {
          d.indp[r] = 0;
          d.alenp[r] = vl;
          ks_bind_copy(d.valp + static_cast<size_t>(r) * d.vsz, rhdr + p + 2, vl, lc.oldc[i].ctyp);
        }
        p += 2u + vl;
      }
      x->nrow++;
    }
  next_row:
    pos = p;
  }
  if (ks_array_execute(ap) < 0) return -1;  // logged where it failed
  return 0;

malformed:
  ks_array_execute(ap);
  char ownr[32], onam[32];
  ks_rh_name(rhdr, KS_RH_OWNR_OFS, ownr);
  ks_rh_name(rhdr, KS_RH_ONAM_OFS, onam);
  KS_ERROR("quick insert LCR of \"%s\".\"%s\": row values run past the record.", ownr, onam);
  ks_error_for_row(ap->b->rbuf + tp, 0, "quick insert row values run past the record.", rhdr, nullptr);
  return -1;
}
