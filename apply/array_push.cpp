// The array engine: consecutive row changes with the same statement text are collected
// column by column into bind arrays in the array buffer and applied with one execution.
// Invariants: descriptors are laid out and bound only when the text changes (or after a
// LOB/LONG row, which runs alone); a row is placed only after every value of it has been
// checked to fit its slot, so nothing is copied past a slot and a LOB column without a
// value or an empty-LOB mark is never bound with what an earlier row left there; error
// records are built from the row's LCR while it is still in the record buffer (the
// replay executes collected rows before that buffer is refilled); a failing row costs
// its error record only.
#include <cstdio>

#include "apply/apply_db.h"
#include "apply/bind_value.h"
#include "lib/log/log.h"

namespace {

enum BindKind : uint8_t { B_SCALAR, B_LOB, B_LONG, B_KEY, B_ROWID };

struct BindRef {
  const ks_col_view *c;  // null for the ROWID
  BindKind kind;
};

BindRef s_binds[2 * KS_MAX_COLS + 1];
uint32_t s_vsz[2 * KS_MAX_COLS + 1];

constexpr uint32_t kRowidType = 16;  // NUL-terminated string, by type index
constexpr uint32_t kRowidSlot = 24;
constexpr uint32_t kMaxSlot = 65535;  // lengths are 16-bit in the bind arrays

bool is_char(uint32_t t) { return t == KS_TYP_VARCHAR2 || t == KS_TYP_CHAR; }

// The binds of the row just parsed into x_cols, in the order the statement text numbers
// its placeholders. Returns their number.
int bind_order(const ks_lcr_cols_t &lc, bool *has_lob_long) {
  int n = 0;
  *has_lob_long = false;
  for (uint32_t i = 0; i < lc.nnew; i++)
    if (ks_ct_is_scalar(lc.newc[i].ctyp)) s_binds[n++] = {&lc.newc[i], B_SCALAR};
  for (uint32_t i = 0; i < lc.nnew; i++)
    if (ks_ct_is_lob(lc.newc[i].ctyp)) {
      s_binds[n++] = {&lc.newc[i], B_LOB};
      *has_lob_long = true;
    }
  for (uint32_t i = 0; i < lc.nnew; i++)
    if (ks_ct_is_long(lc.newc[i].ctyp)) {
      s_binds[n++] = {&lc.newc[i], B_LONG};
      *has_lob_long = true;
      if (lc.opc == KS_OPC_INSERT) break;  // an insert lists only the first LONG
    }
  for (uint32_t i = 0; i < lc.nold; i++)
    if (!(lc.oldc[i].flag & KS_CH_NULL)) s_binds[n++] = {&lc.oldc[i], B_KEY};
  if (lc.nold > 0) s_binds[n++] = {nullptr, B_ROWID};
  return n;
}

uint32_t slot_size(const BindRef &b) {
  switch (b.kind) {
    case B_ROWID:
      return kRowidSlot;
    case B_LOB:
      if (b.c->flag & KS_CH_EMPTY_LOB) return sizeof(OCILobLocator *);
      return b.c->ctyp == KS_TYP_CLOB ? 8000 : 4000;
    case B_LONG:
      return (b.c->flag & KS_CH_DYNAMIC) ? 0 : 4000;
    default:
      return b.c->clen == 0 ? 1 : b.c->clen;
  }
}

// Why this row cannot be placed, or null.
const char *check_row(int n) {
  static char why[160];
  for (int i = 0; i < n; i++) {
    const BindRef &b = s_binds[i];
    if (b.kind == B_ROWID || (b.c->flag & KS_CH_NULL)) continue;
    if (b.kind == B_LOB && !(b.c->flag & (KS_CH_LOB_DATA | KS_CH_EMPTY_LOB))) {
      std::snprintf(why, sizeof why, "LOB column \"%.40s\" carries neither its value nor an empty-LOB mark.",
                    b.c->name);
      return why;
    }
    if (b.kind == B_LONG && (b.c->flag & KS_CH_DYNAMIC)) continue;
    if (b.kind == B_LOB && (b.c->flag & KS_CH_EMPTY_LOB)) continue;
    uint32_t slot = slot_size(b);
    if (b.c->dlen > slot || slot > kMaxSlot) {
      std::snprintf(why, sizeof why, "value of column \"%.40s\" (%u bytes) is longer than its slot (%u bytes).",
                    b.c->name, b.c->dlen, slot);
      return why;
    }
  }
  return nullptr;
}

void fill_descriptor(ks_oci_bnd_t &d, const BindRef &b, bool has_lob_long) {
  std::memset(&d, 0, sizeof d);
  if (b.kind == B_ROWID) {
    d.flag = 0;
    d.ctype = kRowidType;
    return;
  }
  const ks_col_view &c = *b.c;
  bool national = (c.flag & KS_CH_NATIONAL) != 0;
  d.flag = KS_OCI_BND_EXTTYPE;
  d.ctype = c.ctyp;
  switch (b.kind) {
    case B_LOB:
      if (c.flag & KS_CH_LOB_DATA) d.ctype = c.ctyp == KS_TYP_CLOB ? KS_TYP_VARCHAR2 : KS_TYP_RAW;
      if (c.ctyp == KS_TYP_CLOB) {
        d.flag |= KS_OCI_BND_CHARSET | (national ? KS_OCI_BND_NCHAR : 0);
        d.csid = static_cast<uint32_t>(x_lob_csid);
      }
      break;
    case B_LONG:
      if (c.flag & KS_CH_DYNAMIC) d.flag |= KS_OCI_BND_PIECEWISE;
      if (c.ctyp == KS_TYP_LONG) {
        d.flag |= KS_OCI_BND_CHARSET;
        d.csid = static_cast<uint32_t>(x_csid);
      }
      break;
    default:
      if (is_char(c.ctyp)) {
        d.flag |= KS_OCI_BND_CHARSET | (national ? KS_OCI_BND_NCHAR : 0);
        d.csid = static_cast<uint32_t>(national ? x_ncsid : x_csid);
      }
      if (b.kind == B_KEY && has_lob_long && c.clen > 1000) d.flag |= KS_OCI_BND_MAXDATA;
      break;
  }
}

uint8_t *align8(uint8_t *p) {
  auto v = reinterpret_cast<uintptr_t>(p);
  return reinterpret_cast<uint8_t *>((v + 7) & ~uintptr_t{7});
}

void set_row(ks_oci_bnd_t &d, int r, const void *val, uint32_t len, uint32_t ctyp = 0) {
  d.indp[r] = 0;
  d.alenp[r] = static_cast<uint16_t>(len);
  if (len > 0) ks_bind_copy(d.valp + static_cast<size_t>(r) * d.vsz, static_cast<const uint8_t *>(val), len, ctyp);
}

void set_null(ks_oci_bnd_t &d, int r) {
  d.indp[r] = -1;
  d.alenp[r] = 0;
}

bool is_upd_del(int opc) { return opc == KS_OPC_UPDATE || opc == KS_OPC_DELETE; }

void row_error(ks_apply_t *ap, int r, int ecode, const char *msg) {
  const ks_arh_t &h = ap->x->ah[r];
  ks_error_for_row(ap->b->rbuf + h.tpos, ecode, msg, ap->b->dbuf + h.rpos, h.dpos ? ap->b->dbuf + h.dpos : nullptr);
}

}  // namespace

void ks_bind_key_column(ks_oci_bnd_t *d, const ks_col_view *c) {
  ks_oci_bnd_t laid = *d;
  fill_descriptor(*d, {c, B_KEY}, true);
  d->vsz = laid.vsz;
  d->indp = laid.indp;
  d->alenp = laid.alenp;
  d->rcodep = laid.rcodep;
  d->valp = laid.valp;
  set_row(*d, 0, c->val, c->dlen, c->ctyp);
}

int ks_array_capacity(int asz, int ncol, int64_t row_len) {
  // Descriptors, the 8-byte rounding of the row headers, and up to 7 bytes of padding
  // per column that keeps every column's arrays 8-byte aligned.
  int64_t room = int64_t{asz} - int64_t{ncol} * int64_t{sizeof(ks_oci_bnd_t)} - 8 - int64_t{ncol} * 8;
  int64_t per_row = int64_t{ncol} * 6 + row_len + int64_t{sizeof(ks_arh_t)};
  if (room <= 0 || row_len < 0 || per_row <= 0) return 0;
  int64_t rows = room / per_row;
  return static_cast<int>(rows > 32767 ? 32767 : rows);
}

int ks_array_rows(ks_apply_t *ap, int ncol, int64_t row_len) {
  int rows = ks_array_capacity(ap->b->asz, ncol, row_len);
  if (rows < 1 && row_len > 0 && row_len <= int64_t{KS_LCR_MAX_SZ}) {
    // A row wider than the whole buffer (a wide table's long values): the buffer grows
    // to take it alone. Called only with no rows collected, and a new statement lays its
    // arrays out again.
    const int64_t need =
        int64_t{ncol} * (int64_t{sizeof(ks_oci_bnd_t)} + 8 + 6) + 8 + row_len + int64_t{sizeof(ks_arh_t)} + 8;
    if (ks_ap_grow_abuf(ap->b, static_cast<size_t>(need)) == 0) rows = ks_array_capacity(ap->b->asz, ncol, row_len);
  }
  if (rows < 1) {
    KS_ERROR("one row of %d binds (%lld bytes) does not fit the array buffer.", ncol, static_cast<long long>(row_len));
    return -1;
  }
  return rows;
}

int ks_array_layout(ks_apply_t *ap, const uint32_t *vsz) {
  ks_array_t *x = ap->x;
  uint8_t *abuf = ap->b->abuf;
  const uint64_t rows = static_cast<uint64_t>(x->max_rows);
  // Measure first, in 64 bits: slot sizes come from the trail, and nothing is laid out
  // unless every column's arrays end inside the buffer.
  const uint64_t start = reinterpret_cast<uintptr_t>(abuf);
  auto up8 = [](uint64_t v) { return (v + 7) & ~uint64_t{7}; };
  uint64_t end = up8(start + static_cast<uint64_t>(x->ncol) * sizeof(ks_oci_bnd_t)) + rows * sizeof(ks_arh_t);
  for (int i = 0; i < x->ncol; i++) end = up8(end) + rows * (6 + uint64_t{vsz[i]});
  if (end - start > static_cast<uint64_t>(ap->b->asz)) {
    KS_ERROR("%d rows of %d binds (%llu bytes) do not fit the array buffer (%d bytes).", x->max_rows, x->ncol,
             static_cast<unsigned long long>(end - start), ap->b->asz);
    return -1;
  }
  auto *bc = reinterpret_cast<ks_oci_bnd_t *>(abuf);
  x->bc = bc;
  uint8_t *p = align8(abuf + static_cast<size_t>(x->ncol) * sizeof(ks_oci_bnd_t));
  x->ah = reinterpret_cast<ks_arh_t *>(p);
  p += rows * sizeof(ks_arh_t);
  for (int i = 0; i < x->ncol; i++) {
    ks_oci_bnd_t &d = bc[i];
    p = align8(p);
    d.indp = reinterpret_cast<int16_t *>(p);
    p += rows * 2;
    d.alenp = reinterpret_cast<uint16_t *>(p);
    p += rows * 2;
    d.rcodep = reinterpret_cast<uint16_t *>(p);
    p += rows * 2;
    if (vsz[i] > 0) {
      d.vsz = vsz[i];
      d.valp = p;
      p += rows * vsz[i];
    } else {
      d.vsz = 2147483647;  // piecewise: the value comes at execution time
      d.valp = nullptr;
    }
  }
  return 0;
}

int ks_set_buffer(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  ks_array_t *x = ap->x;
  ks_ap_db_t *a = ap->a;
  bool has_lob_long = false;
  int n = bind_order(x_cols, &has_lob_long);
  if (n != x->ncol) {
    KS_ERROR("row has %d binds, its statement %d.", n, x->ncol);
    return -1;
  }
  if (const char *why = check_row(n)) {
    // Refused rows are recorded and skipped; the statement stays as it is.
    KS_ERROR("%s", why);
    ks_error_for_row(ap->b->rbuf + tp, 0, why, rhdr, nullptr);
    return 0;
  }
  if (x->flag & KS_AR_NEW_STMT) {
    if (has_lob_long) x->flag |= KS_AR_EXEC_NOW;
    // The rows per execution follow the slots of the row that lays the arrays out: the
    // row the text was made from may have been refused, with other declared lengths.
    int64_t row_bytes = 0;
    for (int i = 0; i < n; i++) row_bytes += s_vsz[i] = slot_size(s_binds[i]);
    x->max_rows = ks_array_rows(ap, n, row_bytes);
    if (x->max_rows < 1 || ks_array_layout(ap, s_vsz) < 0) return -1;
    for (int i = 0; i < n; i++) {
      uint32_t vsz = x->bc[i].vsz;
      auto *indp = x->bc[i].indp;
      auto *alenp = x->bc[i].alenp;
      auto *rcodep = x->bc[i].rcodep;
      auto *valp = x->bc[i].valp;
      fill_descriptor(x->bc[i], s_binds[i], has_lob_long);
      x->bc[i].vsz = vsz;
      x->bc[i].indp = indp;
      x->bc[i].alenp = alenp;
      x->bc[i].rcodep = rcodep;
      x->bc[i].valp = valp;
    }
  }
  int r = x->nrow;
  for (int i = 0; i < n; i++) {
    ks_oci_bnd_t &d = x->bc[i];
    const BindRef &b = s_binds[i];
    if (b.kind == B_ROWID || (b.c->flag & KS_CH_NULL)) {
      set_null(d, r);
    } else if (b.kind == B_LOB && (b.c->flag & KS_CH_EMPTY_LOB)) {
      set_row(d, r, &x_empty_locp, sizeof x_empty_locp);
    } else if (b.kind == B_LONG && (b.c->flag & KS_CH_DYNAMIC)) {
      d.indp[r] = 0;
      d.alenp[r] = 0;
    } else {
      set_row(d, r, b.c->val, b.c->dlen, b.c->ctyp);
    }
  }
  if (x->flag & KS_AR_NEW_STMT) {
    if (ks_oci_prepare_statement(a->se, &a->st_ap, x->sqltxt) != 0) {
      KS_ERROR("prepare statement error.\n%s", ks_oci_get_message());
      return -1;
    }
    if (ks_oci_auto_bind(a->se, &a->st_ap, x->bc, x->ncol, (x->flag & KS_AR_EXEC_NOW) ? 1 : 2) != 0) {
      KS_ERROR("bind data error.\n%s", ks_oci_get_message());
      return -1;
    }
    for (int i = 0; i < n; i++)
      if (x->bc[i].flag & KS_OCI_BND_PIECEWISE) {
        x_piece.htyp = 1;
        x_piece.hndp = x->bc[i].bndp;
      }
    x->flag &= ~KS_AR_NEW_STMT;
  }
  x->ah[r].rpos = static_cast<uint32_t>(rhdr - ap->b->dbuf);
  x->ah[r].rsv = 0;
  x->ah[r].tpos = tp;
  x->ah[r].dpos = 0;
  x->nrow++;
  return 0;
}

int ks_array_next_text(ks_apply_t *ap, const uint8_t *rhdr, bool flush, int *ncol, int64_t *row_len) {
  if (flush && ap->x->nrow > 0 && ks_array_execute(ap) < 0) return -1;  // logged where it failed
  int len = ks_make_sqltext(rhdr, x_sqltxt, ncol, row_len);
  if (len < 0) KS_ERROR("generate the SQL text error.");
  return len;
}

int ks_array_push(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  ks_array_t *x = ap->x;
  int ncol = 0;
  int64_t row_len = 0;
  int len = ks_array_next_text(ap, rhdr, x->nrow >= x->max_rows, &ncol, &row_len);
  if (len < 0) return -1;
  if (row_len == 0) return 0;
  if (len != x->slen || std::memcmp(x_sqltxt, x->sqltxt, static_cast<size_t>(len)) != 0) {
    if (x->nrow > 0 && ks_array_execute(ap) < 0) return -1;  // logged where it failed
    int max_rows = ks_array_rows(ap, ncol, row_len);
    if (max_rows < 1) return -1;
    x->flag |= KS_AR_NEW_STMT;
    std::memcpy(x->sqltxt, x_sqltxt, static_cast<size_t>(len) + 1);
    x->slen = len;
    x->opc = static_cast<int>(ks_rh_opc(rhdr));
    x->ncol = ncol;
    x->max_rows = max_rows;
    KS_DEBUG("SQL: %s\n", x->sqltxt);
  }
  if (ks_set_buffer(ap, rhdr, tp) < 0) {
    KS_ERROR("set column array buffer error.");
    return -1;
  }
  if (x->flag & KS_AR_EXEC_NOW) {
    int rc = ks_array_execute(ap);
    x->slen = 0;
    x->sqltxt[0] = '\0';
    x->flag &= ~KS_AR_EXEC_NOW;
    if (rc < 0) return -1;  // logged where it failed
  }
  return 0;
}

// The statement failed for a reason that is not the rows' own (lack of space on the
// target, a lost session): no row was judged, and writing error records for them would
// report rows as failed that are applied when the unit is replayed. The unit is marked
// and nothing of it is committed.
static int unit_failure(ks_array_t *x, int code, const char *msg) {
  x->nrow = 0;
  return ks_unit_db_fail("execute array data error.", code, msg);
}

int ks_array_execute(ks_apply_t *ap) {
  ks_array_t *x = ap->x;
  ks_ap_db_t *a = ap->a;
  int nrow = x->nrow;
  if (nrow == 0) return 0;
  ks_oci_bnd_t *rowid = is_upd_del(x->opc) ? &x->bc[x->ncol - 1] : nullptr;
  int executed = nrow;
  if (nrow == 1) {
    int rc = ks_oci_execute(a->se, &a->st_ap, 1, 0);
    if (rc < 0 && ks_db_error_kind(ks_oci_get_error_code()) != 0)
      return unit_failure(x, ks_oci_get_error_code(), ks_oci_get_message());
    if (rc < 0) {
      KS_ERROR("execute array data error.\n%s", ks_oci_get_message());
      row_error(ap, 0, ks_oci_get_error_code(), ks_oci_get_message());
      executed = 0;
    } else if (rc == 2) {
      x->flag |= KS_AR_LONG_WAIT;
      ks_long_row_keep(ap->b->dbuf + x->ah[0].rpos, x->ah[0].tpos);
    } else if (rowid != nullptr && rowid->indp[0] == -1) {
      row_error(ap, 0, 0, "table row not matched.");
      executed = 0;
    }
    KS_DEBUG("1 row bind, %d row executed.", executed);
    x->nrow = 0;
    return 0;
  }
  int rc = ks_oci_execute_batch(a->se, &a->st_ap, nrow, 0);
  int nfail = 0;
  if (rc < 0 || rc == 3) {
    // Row errors come back as a failure or as success with a warning; either way the
    // failing rows are listed in the batch errors.
    int scode = ks_oci_get_error_code();
    static char smsg[KS_OCI_MSG_SZ];
    std::snprintf(smsg, sizeof smsg, "%s", ks_oci_get_message());
    if (rc < 0 && ks_db_error_kind(scode) != 0) return unit_failure(x, scode, smsg);
    if (rc < 0) KS_ERROR("batch execute array data error.\n%s", smsg);
    if (ks_oci_get_batch_errors(a->se, &a->st_ap, &nfail) != 0)
      return unit_failure(x, 0, "get batch execute DML error count.");
    // A row refused for lack of space is not at fault either: look at every row error
    // before recording any.
    for (int i = 0; i < nfail; i++) {
      int off = 0;
      if (ks_oci_get_array_error(a->se, i, &off) != 0) return unit_failure(x, 0, "get array index error.");
      if (ks_db_error_kind(ks_oci_get_error_code()) != 0)
        return unit_failure(x, ks_oci_get_error_code(), ks_oci_get_message());
    }
    for (int i = 0; i < nfail; i++) {
      int off = 0;
      ks_oci_get_array_error(a->se, i, &off);
      if (off < 0 || off >= nrow) continue;
      row_error(ap, off, ks_oci_get_error_code(), ks_oci_get_message());
      if (rowid != nullptr) rowid->indp[off] = 0;
    }
    executed -= nfail;
    if (rc < 0 && nfail == 0) {
      // The statement failed as a whole (a missing table): no row was applied, and
      // every row gets its record rather than vanishing.
      for (int r = 0; r < nrow; r++) row_error(ap, r, scode, smsg);
      executed = 0;
      rowid = nullptr;
    }
  }
  if (rowid != nullptr) {
    int judged = nfail > 0 ? nrow - 1 : nrow;
    for (int r = 0; r < judged; r++)
      if (rowid->indp[r] == -1) {
        row_error(ap, r, 0, "table row not matched.");
        executed--;
      }
    if (nfail > 0 && rowid->indp[nrow - 1] == -1) {
      // After row errors the last row's returned ROWID is not reliable: run it alone.
      int lr = ks_oci_execute(a->se, &a->st_ap, nrow, nrow - 1);
      if (lr < 0 && ks_db_error_kind(ks_oci_get_error_code()) != 0)
        return unit_failure(x, ks_oci_get_error_code(), ks_oci_get_message());
      if (lr < 0) {
        KS_ERROR("execute last row data error.\n%s", ks_oci_get_message());
        row_error(ap, nrow - 1, ks_oci_get_error_code(), ks_oci_get_message());
        executed--;
      } else if (rowid->indp[nrow - 1] == -1) {
        row_error(ap, nrow - 1, 0, "table row not matched.");
        executed--;
      }
    }
  }
  KS_DEBUG("%d rows bind, %d rows executed.", nrow, executed);
  x->nrow = 0;
  return 0;
}
