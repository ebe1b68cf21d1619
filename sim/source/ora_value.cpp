// The simulated source's value helpers: std::string adapters over the shared NUMBER and
// DATE conversions (lib/ora owns the encodings; nothing here re-implements them), plus the
// national-character (UTF-16BE) and hex conversions the model alone needs.
#include "sim/source/ora_value.h"

#include <cstring>

#include "lib/ora/ora_date.h"
#include "lib/ora/ora_number.h"

namespace ks::sim {

int ks_num_from_text(std::string_view t, std::string *out) {
  out->clear();
  char buf[KS_ORA_NUMBER_TEXT_MAX];
  if (t.empty() || t.size() >= sizeof buf) return -1;
  memcpy(buf, t.data(), t.size());
  buf[t.size()] = 0;
  uint8_t b[KS_ORA_NUMBER_MAX];
  int n = ks_ora_number_from_text(buf, b);
  if (n < 0) return -1;
  out->assign(reinterpret_cast<const char *>(b), size_t(n));
  return 0;
}

void ks_num_from_int(int64_t v, std::string *out) { ks_num_from_scaled(v, 0, out); }

void ks_num_from_scaled(int64_t v, int pairs, std::string *out) {
  uint8_t b[KS_ORA_NUMBER_MAX];
  int n = ks_ora_number_from_int64(v, b);
  // Dividing by 100^pairs only moves the base-100 exponent: up the byte for negative
  // values (their exponent is stored complemented), down for positive ones.
  if (v != 0) b[0] = uint8_t(v < 0 ? b[0] + pairs : b[0] - pairs);
  out->assign(reinterpret_cast<const char *>(b), size_t(n));
}

int ks_num_to_text(std::string_view n, std::string *out) {
  out->clear();
  char buf[KS_ORA_NUMBER_TEXT_MAX];
  int len = ks_ora_number_to_text(reinterpret_cast<const uint8_t *>(n.data()), int(n.size()), buf, int(sizeof buf));
  if (len < 0) return -1;
  out->assign(buf, size_t(len));
  return 0;
}

int ks_num_to_int(std::string_view n, int64_t *v) {
  return ks_ora_number_to_int64(reinterpret_cast<const uint8_t *>(n.data()), int(n.size()), v);
}

int ks_date_from_text(std::string_view t, std::string *out, bool timestamp) {
  out->clear();
  char buf[KS_ORA_DATE_TEXT_MAX];
  if (t.empty() || t.size() >= sizeof buf) return -1;
  // A DATE has no fraction: refuse one rather than dropping it silently.
  if (!timestamp && t.find('.') != std::string_view::npos) return -1;
  memcpy(buf, t.data(), t.size());
  buf[t.size()] = 0;
  uint8_t b[11];
  if (ks_ora_date_from_text(buf, b, timestamp ? 11 : 7) < 0) return -1;
  // A TIMESTAMP whose fraction is zero is stored in the 7-byte form.
  size_t len = timestamp && (b[7] | b[8] | b[9] | b[10]) ? 11 : 7;
  out->assign(reinterpret_cast<const char *>(b), len);
  return 0;
}

int ks_date_to_text(std::string_view d, std::string *out) {
  out->clear();
  if (d.size() != 7 && d.size() != 11) return -1;
  char buf[KS_ORA_DATE_TEXT_MAX];
  int len = ks_ora_date_to_text(reinterpret_cast<const uint8_t *>(d.data()), int(d.size()), buf, int(sizeof buf));
  if (len < 0) return -1;
  out->assign(buf, size_t(len));
  return 0;
}

int ks_utf8_to_utf16be(std::string_view in, std::string *out) {
  out->clear();
  for (size_t i = 0; i < in.size();) {
    uint8_t c = uint8_t(in[i]);
    uint32_t cp;
    int n;
    if (c < 0x80)
      cp = c, n = 1;
    else if ((c & 0xE0) == 0xC0)
      cp = c & 0x1F, n = 2;
    else if ((c & 0xF0) == 0xE0)
      cp = c & 0x0F, n = 3;
    else if ((c & 0xF8) == 0xF0)
      cp = c & 0x07, n = 4;
    else
      return -1;
    if (i + size_t(n) > in.size()) return -1;
    for (int k = 1; k < n; k++) {
      uint8_t cc = uint8_t(in[i + size_t(k)]);
      if ((cc & 0xC0) != 0x80) return -1;
      cp = cp << 6 | (cc & 0x3F);
    }
    i += size_t(n);
    auto put = [&](uint32_t u) {
      out->push_back(char(u >> 8));
      out->push_back(char(u & 0xFF));
    };
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return 0;
}

int ks_utf16be_to_utf8(std::string_view in, std::string *out) {
  out->clear();
  if (in.size() % 2) return -1;
  for (size_t i = 0; i < in.size(); i += 2) {
    uint32_t u = uint32_t(uint8_t(in[i])) << 8 | uint8_t(in[i + 1]);
    if (u >= 0xD800 && u < 0xDC00) {
      if (i + 4 > in.size()) return -1;
      uint32_t l = uint32_t(uint8_t(in[i + 2])) << 8 | uint8_t(in[i + 3]);
      if (l < 0xDC00 || l > 0xDFFF) return -1;
      u = 0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00);
      i += 2;
    }
    if (u < 0x80)
      out->push_back(char(u));
    else if (u < 0x800)
      out->push_back(char(0xC0 | u >> 6)), out->push_back(char(0x80 | (u & 0x3F)));
    else if (u < 0x10000)
      out->push_back(char(0xE0 | u >> 12)), out->push_back(char(0x80 | ((u >> 6) & 0x3F))),
          out->push_back(char(0x80 | (u & 0x3F)));
    else
      out->push_back(char(0xF0 | u >> 18)), out->push_back(char(0x80 | ((u >> 12) & 0x3F))),
          out->push_back(char(0x80 | ((u >> 6) & 0x3F))), out->push_back(char(0x80 | (u & 0x3F)));
  }
  return 0;
}

std::string ks_hex(std::string_view b) {
  static const char *x = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (char c : b) s += x[uint8_t(c) >> 4], s += x[uint8_t(c) & 15];
  return s;
}

int ks_unhex(std::string_view h, std::string *out) {
  out->clear();
  if (h.size() % 2) return -1;
  auto v = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  for (size_t i = 0; i < h.size(); i += 2) {
    int a = v(h[i]), b = v(h[i + 1]);
    if (a < 0 || b < 0) return -1;
    out->push_back(char(a << 4 | b));
  }
  return 0;
}

}  // namespace ks::sim
