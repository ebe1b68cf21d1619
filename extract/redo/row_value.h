// One column value in the block row format, as leaf rows, quick multi-row inserts and row
// images in blocks store them: a length byte, 0xFE followed by a 2-byte length (in the
// redo's byte order) for longer values, 0xFF for NULL, then the bytes.
#pragma once

#include <cstdint>

#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"

struct ks_row_val_t {
  const uint8_t *p;
  uint32_t len;  // 0 for NULL
  bool null;
};

// Reads the value at *pp, which must end at or before end, and moves *pp past it. 0, or -1
// when the length prefix or the value goes past end, or -2 when the length byte is none of
// the format's (251 to 253: a value a compressed block keeps once for its rows, which the
// redo does not carry); *pp is then left as it was.
inline int ks_row_value(const uint8_t **pp, const uint8_t *end, bool big, ks_row_val_t *out) {
  const uint8_t *p = *pp;
  if (p >= end) return -1;
  uint32_t len;
  if (p[0] == ks::redo::KS_REDO_QMI_NULL) {
    *out = {p + 1, 0, true};
    *pp = p + 1;
    return 0;
  }
  if (p[0] == ks::redo::KS_REDO_QMI_LONG) {
    if (end - p < 3) return -1;
    len = ks::load16(p + 1, big);
    p += 3;
  } else if (p[0] <= ks::redo::KS_REDO_QMI_SHORT_MAX) {
    len = p[0];
    p += 1;
  } else {
    return -2;
  }
  if (static_cast<uint32_t>(end - p) < len) return -1;
  *out = {p, len, false};
  *pp = p + len;
  return 0;
}
