// The column values of a heap row piece, whichever way the redo lays them out: one field
// per column (the usual layout), or the whole row image in one field, in the block row
// format (row_value.h), as rows of compressed blocks are logged.
#pragma once

#include <cstdint>

#include "extract/redo/redo.h"
#include "extract/redo/row_value.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"

// The values of a row piece: n columns (the header's count), column i at p[i], len[i]
// bytes (0: NULL).
struct ks_row_image_t {
  int n;
  bool image;  // the row came as one field
  uint8_t *p[256];
  uint32_t len[256];
};
// Reads the row of the insert / overwrite row piece header h in cv, whose values start at
// field k. 0; -1 when a value is missing or the image is not whole (logged, what names the
// operation); -2 when a value is not in the record (logged).
int ks_row_image_read(ks_extr_t *ex, const ks_cv_t *cv, const uint8_t *h, int k, const char *what, ks_row_image_t *ri);
// The number of fields the row values of header h take: 1 for a row image, else its count.
inline int ks_row_fields(const uint8_t *h) {
  namespace R = ks::redo;
  return (h[R::KS_REDO_KDO_OP_FLAGS] & R::KS_REDO_KDO_ROW_IMAGE) ? 1 : h[R::KS_REDO_IRP_COLUMNS];
}

// An overwrite (11.6) of a whole row with no chained row in progress, as an update of a
// row of a compressed block is logged: one UPDATE LCR from the new row in cv (header h)
// and the old row in the record's undo. 0 / -1 (logged).
int ks_parse_orp_update(ks_extr_t *ex, const ks_cv_t *cv, const uint8_t *h);
