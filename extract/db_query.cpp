// The query pattern every source lookup shares: get and prepare the statement (once for
// a kept statement), define the columns into a local buffer, bind, execute, fetch and
// copy the rows out. On any failure the statement is closed, so a kept statement is
// prepared afresh next time and never left half bound.
#include "extract/db_query.h"

#include <cstring>

#include "lib/log/log.h"

namespace {

// The caller decides from the failure's database error whether the session is lost, so
// closing the statement must not replace it.
int fail(ks_oci_ses_t *se, ks_oci_stmt_t *st, const char *what) {
  KS_ERROR("%s\n%s", what, ks_oci_get_message());
  int code = ks_oci_get_error_code();
  ks_oci_close_statement(se, st);
  ks_oci_set_error_code(code);
  return -1;
}

// Row r of the fetched batch into slot `slot` of every column's output.
void copy_row(const ks_qcol_t *cols, const ks_oci_def_t *df, int nc, int r, int slot) {
  for (int c = 0; c < nc; c++) {
    uint8_t *dst = static_cast<uint8_t *>(cols[c].out) + static_cast<size_t>(slot) * cols[c].vsz;
    if (df[c].indp[r] == -1) {
      std::memset(dst, 0, cols[c].vsz);
      continue;
    }
    std::memcpy(dst, df[c].valp + static_cast<size_t>(r) * cols[c].vsz, cols[c].vsz);
    if (cols[c].ctype == KS_QT_STR) dst[cols[c].vsz - 1] = '\0';
  }
}

// One fetch of up to nrows rows into the columns' slots, or (with row) every batch until
// the end of the rows, one row at a time through the first slot.
int run_query(ks_oci_ses_t *se, ks_oci_stmt_t *st, bool keep, const char *sql, const int32_t *binds, int nbind,
              const ks_qcol_t *cols, int nc, int nrows, int (*row)(void *ctx), void *ctx) {
  constexpr int kMaxCols = 8;
  constexpr int kMaxBinds = 4;
  if (nc < 1 || nc > kMaxCols || nbind < 0 || nbind > kMaxBinds || nrows < 1) return -1;

  if (!keep || st->stmtp == nullptr) {
    if (ks_oci_get_statement(se, st) != 0) return fail(se, st, "get statement error.");
    if (ks_oci_prepare_statement(se, st, sql) != 0) return fail(se, st, "prepare statement error.");
  }

  alignas(8) uint8_t buf[8192];
  ks_oci_def_t df[kMaxCols];
  std::memset(df, 0, sizeof df);
  for (int c = 0; c < nc; c++) {
    df[c].ctype = cols[c].ctype;
    df[c].vsz = cols[c].vsz;
  }
  ks_oci_ds_t ds{nc, 0, static_cast<int>(sizeof buf), buf, df};
  if (ks_oci_auto_define(se, st, &ds) != 0) return fail(se, st, "define data output error.");
  if (nrows > ds.nrows) nrows = ds.nrows;

  ks_oci_bnd_t bd[kMaxBinds];
  int32_t bval[kMaxBinds];
  int16_t bind_ind[kMaxBinds] = {};
  uint16_t bind_len[kMaxBinds];
  uint16_t bind_rc[kMaxBinds];
  std::memset(bd, 0, sizeof bd);
  for (int b = 0; b < nbind; b++) {
    bval[b] = binds[b];
    bind_len[b] = sizeof(int32_t);
    bd[b].ctype = KS_QT_INT;
    bd[b].vsz = sizeof(int32_t);
    bd[b].valp = reinterpret_cast<uint8_t *>(&bval[b]);
    bd[b].indp = &bind_ind[b];
    bd[b].alenp = &bind_len[b];
    bd[b].rcodep = &bind_rc[b];
  }
  if (nbind > 0 && ks_oci_auto_bind(se, st, bd, nbind, 1) != 0) return fail(se, st, "bind thread# & sequence# error.");

  if (ks_oci_execute(se, st, 0, 0) < 0) return fail(se, st, "execute statement error.");
  int rows = 0;
  if (row == nullptr) {
    if (ks_oci_fetch(se, st, nrows, &rows) < 0) return fail(se, st, "fetch data error.");
    if (rows > nrows) rows = nrows;
    for (int r = 0; r < rows; r++) copy_row(cols, df, nc, r, r);
  } else {
    for (;;) {
      int got = 0;
      int rc = ks_oci_fetch(se, st, nrows, &got);
      if (rc < 0) return fail(se, st, "fetch data error.");
      if (got > nrows) got = nrows;
      for (int r = 0; r < got; r++) {
        copy_row(cols, df, nc, r, 0);
        rows++;
        if (row(ctx) < 0) {
          ks_oci_close_statement(se, st);
          return -1;
        }
      }
      if (rc == 1 || got == 0) break;
    }
  }

  if (!keep && ks_oci_close_statement(se, st) != 0) {
    KS_ERROR("close statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  return rows;
}

}  // namespace

int ks_db_query(ks_oci_ses_t *se, ks_oci_stmt_t *st, bool keep, const char *sql, const int32_t *binds, int nbind,
                const ks_qcol_t *cols, int nc, int nrows) {
  return run_query(se, st, keep, sql, binds, nbind, cols, nc, nrows, nullptr, nullptr);
}

int ks_db_query_each(ks_oci_ses_t *se, const char *sql, const ks_qcol_t *cols, int nc, int (*row)(void *ctx),
                     void *ctx) {
  ks_oci_stmt_t st{};
  return run_query(se, &st, false, sql, nullptr, 0, cols, nc, 0x7FFFFFFF, row, ctx);
}
