// Bounds-checked reading of LCR column entries and names. Everything read from a trail
// is untrusted: an entry whose lengths do not add up, that reaches past its record or
// whose name is empty or not NUL-terminated makes the whole record malformed (the one
// entry check of the trail format, shared with the tools).
#include "apply/lcr_view.h"

void ks_rh_name(const uint8_t *rh, int ofs, char out[32]) {
  std::memcpy(out, rh + ofs, 31);
  out[31] = '\0';
}

void ks_rh_set_name(uint8_t *rh, int ofs, const char *name) {
  size_t n = strnlen(name, 31);
  std::memset(rh + ofs, 0, 32);
  std::memcpy(rh + ofs, name, n);
}

long ks_lcr_read_cols(const uint8_t *rec, uint32_t rlen, uint32_t off, uint32_t n, ks_col_view *out) {
  uint32_t pos = off;
  const char *why = "";
  for (uint32_t i = 0; i < n; i++) {
    const uint32_t alen = ks_trail_check_column(rec, rlen, pos, &why);
    if (alen == 0) return -1;
    const uint8_t *e = rec + pos;
    ks_col_view &c = out[i];
    c.ent = e;
    c.alen = alen;
    c.flag = ks::load<uint32_t>(e + 4);
    c.ctyp = ks::load<uint32_t>(e + 8);
    c.clen = ks::load<uint32_t>(e + 12);
    c.nlen = ks::load<uint32_t>(e + 16);
    c.dlen = ks::load<uint32_t>(e + 20);
    c.name = reinterpret_cast<const char *>(e + KS_LCR_CH_SZ);
    c.val = e + KS_LCR_CH_SZ + c.nlen;
    pos += alen;
  }
  return static_cast<long>(pos);
}
