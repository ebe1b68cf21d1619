// Copying one LCR value into its bind slot. Values are bound in the source database's
// internal forms, which the target accepts as they are, except BINARY_FLOAT and
// BINARY_DOUBLE: their stored form (big-endian, sign bit flipped for positive values,
// every bit inverted for negative ones, so that bytes sort like numbers) is not the
// native float the bind type expects, and is turned back into it here.
#pragma once

#include <cstdint>
#include <cstring>

#include "apply/lcr_view.h"

inline void ks_bind_copy(uint8_t *dst, const uint8_t *src, uint32_t len, uint32_t ctyp) {
  if ((ctyp == KS_TYP_BFLOAT && len == 4) || (ctyp == KS_TYP_BDOUBLE && len == 8)) {
    bool positive = (src[0] & 0x80) != 0;
    for (uint32_t i = 0; i < len; i++) {
      uint8_t b = src[len - 1 - i];  // big-endian to host (little-endian) order
      if (positive)
        b = i == len - 1 ? static_cast<uint8_t>(b & 0x7F) : b;
      else
        b = static_cast<uint8_t>(~b);
      dst[i] = b;
    }
    return;
  }
  std::memcpy(dst, src, len);
}
