// The column values of a heap row piece, whichever way the redo lays them out: one field
// per column (the usual layout), or the whole row image in one field, in the block row
// format, as rows of compressed blocks are logged. The block row format is also that of
// the rows of a quick multi-row insert.
#pragma once

#include <cstdint>

#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"

// One column in the block row format at p (before end): a length byte (0 to 250), 0xFE and
// a u16 length, or 0xFF for NULL. The bytes it takes (> 0), and its value: *len bytes
// (0 for NULL) at p + *hl; 0 when it goes past end; -1 when the length byte is none of
// those (a value a compressed block keeps once for its rows, which the redo does not carry).
inline int ks_block_row_column(const uint8_t *p, const uint8_t *end, bool big, int *hl, uint32_t *len) {
  namespace R = ks::redo;
  if (p >= end) return 0;
  *hl = 1;
  if (p[0] == R::KS_REDO_QMI_NULL) {
    *len = 0;
  } else if (p[0] == R::KS_REDO_QMI_LONG) {
    if (end - p < 3) return 0;
    *len = ks::load16(p + 1, big);
    *hl = 3;
  } else if (p[0] <= R::KS_REDO_QMI_SHORT_MAX) {
    *len = p[0];
  } else {
    return -1;
  }
  if (static_cast<uint32_t>(end - p - *hl) < *len) return 0;
  return *hl + static_cast<int>(*len);
}

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
