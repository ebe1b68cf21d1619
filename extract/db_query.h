// Queries of the source database through the access layer, as the capture steps run
// them: one statement, integer binds, a few defined columns, one row (or a batch).
#pragma once

#include "extract/extract.h"

// One select-list column: type index of the layer's type table, slot size, and where the
// value of one row is copied (vsz bytes; text is NUL-terminated within them).
typedef struct __ks_qcol_s {
  uint32_t ctype;
  uint32_t vsz;
  void *out;
} ks_qcol_t;

#define KS_QT_STR 16  // NUL-terminated text
#define KS_QT_INT 17  // signed integer
#define KS_QT_UIN 18  // unsigned integer

// Runs sql with binds :1..:nbind (32-bit integers) and fetches up to nrows rows of the nc
// columns; row r of column c lands at cols[c].out + r * cols[c].vsz. A kept statement is
// prepared on first use and stays open; any other is closed before returning. Every
// failure is logged with the layer's message and closes the statement.
// → the number of rows fetched (0 = none), or -1.
int ks_db_query(ks_oci_ses_t *se, ks_oci_stmt_t *st, bool keep, const char *sql, const int32_t *binds, int nbind,
                const ks_qcol_t *cols, int nc, int nrows);
// Runs sql (no binds, statement not kept) and fetches every row in batches: each row is
// copied into cols[c].out (one row's slot) and handed to row(ctx), which returns 0 to go
// on or -1 to stop (the statement is then closed and -1 returned; row logs its reason).
// → the number of rows seen, or -1.
int ks_db_query_each(ks_oci_ses_t *se, const char *sql, const ks_qcol_t *cols, int nc, int (*row)(void *ctx),
                     void *ctx);
