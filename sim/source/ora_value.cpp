// Oracle NUMBER, DATE and TIMESTAMP encodings and the character conversions used by the
// simulated source. NUMBER: exponent byte then base-100 digits; positive numbers store
// digit + 1 under exponent 0xC1 + e, negative ones 101 - digit under 0x3E - e and a
// trailing 0x66 when fewer than 20 digits; zero is 0x80.
#include "sim/source/ora_value.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ks::sim {

int ks_num_from_text(std::string_view t, std::string *out) {
  out->clear();
  bool neg = false;
  size_t i = 0;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
  std::string ip, fp;
  bool dot = false, any = false;
  for (; i < t.size(); i++) {
    char c = t[i];
    if (c == '.' && !dot) { dot = true; continue; }
    if (c < '0' || c > '9') return -1;
    any = true;
    (dot ? fp : ip) += c;
  }
  if (!any) return -1;
  size_t z = 0;
  while (z < ip.size() && ip[z] == '0') z++;
  ip.erase(0, z);
  while (!fp.empty() && fp.back() == '0') fp.pop_back();
  if (ip.empty() && fp.empty()) { out->push_back(char(0x80)); return 0; }
  // Pad to whole base-100 digit pairs around the decimal point.
  if (ip.size() % 2) ip.insert(ip.begin(), '0');
  if (fp.size() % 2) fp += '0';
  std::string all = ip;
  all.append(fp);
  int exp = int(ip.size() / 2) - 1;  // base-100 exponent of the first pair
  size_t start = 0;
  while (start + 2 <= all.size() && all[start] == '0' && all[start + 1] == '0') { start += 2; exp--; }
  size_t end = all.size();
  while (end >= start + 2 && all[end - 1] == '0' && all[end - 2] == '0') end -= 2;
  if (end - start > 40) end = start + 40;  // 20 base-100 digits at most
  if (exp > 62 || exp < -65) return -1;
  if (!neg) {
    out->push_back(char(0xC1 + exp));
    for (size_t k = start; k < end; k += 2) out->push_back(char((all[k] - '0') * 10 + (all[k + 1] - '0') + 1));
  } else {
    out->push_back(char(0x3E - exp));
    for (size_t k = start; k < end; k += 2) out->push_back(char(101 - ((all[k] - '0') * 10 + (all[k + 1] - '0'))));
    if ((end - start) / 2 < 20) out->push_back(char(0x66));
  }
  return 0;
}

void ks_num_from_int(int64_t v, std::string *out) {
  char b[32];
  snprintf(b, sizeof b, "%lld", (long long)v);
  ks_num_from_text(b, out);
}

int ks_num_to_text(std::string_view n, std::string *out) {
  out->clear();
  if (n.empty()) return -1;
  uint8_t e = uint8_t(n[0]);
  if (e == 0x80 && n.size() == 1) {
    out->push_back('0');
    return 0;
  }
  bool neg = e < 0x80;
  int exp;
  std::string digits;  // base-100 digits as pairs of decimal characters
  size_t len = n.size();
  if (neg) {
    exp = 0x3E - e;
    if (len > 1 && uint8_t(n[len - 1]) == 0x66) len--;
    for (size_t i = 1; i < len; i++) {
      int d = 101 - uint8_t(n[i]);
      if (d < 0 || d > 99) return -1;
      digits += char('0' + d / 10), digits += char('0' + d % 10);
    }
  } else {
    exp = e - 0xC1;
    for (size_t i = 1; i < len; i++) {
      int d = uint8_t(n[i]) - 1;
      if (d < 0 || d > 99) return -1;
      digits += char('0' + d / 10), digits += char('0' + d % 10);
    }
  }
  if (digits.empty()) return -1;
  // Decimal point sits after (exp + 1) pairs.
  int point = (exp + 1) * 2;
  std::string ip, fp;
  if (point <= 0) {
    ip = "0";
    fp.assign(size_t(-point), '0');
    fp.append(digits);
  } else if (size_t(point) >= digits.size()) {
    ip = digits;
    ip.append(size_t(point) - digits.size(), '0');
  } else {
    ip = digits.substr(0, size_t(point));
    fp = digits.substr(size_t(point));
  }
  size_t z = 0;
  while (z + 1 < ip.size() && ip[z] == '0') z++;
  ip.erase(0, z);
  while (!fp.empty() && fp.back() == '0') fp.pop_back();
  if (neg) out->push_back('-');
  *out += ip;
  if (!fp.empty()) {
    out->push_back('.');
    out->append(fp);
  }
  return 0;
}

int ks_num_to_int(std::string_view n, int64_t *v) {
  std::string t;
  if (ks_num_to_text(n, &t) != 0 || t.find('.') != std::string::npos || t.size() > 19) return -1;
  char *end = nullptr;
  errno = 0;
  long long x = strtoll(t.c_str(), &end, 10);
  if (errno != 0 || *end) return -1;
  *v = x;
  return 0;
}

static int two(std::string_view t, size_t at) {
  if (at + 2 > t.size() || t[at] < '0' || t[at] > '9' || t[at + 1] < '0' || t[at + 1] > '9') return -1;
  return (t[at] - '0') * 10 + (t[at + 1] - '0');
}

int ks_date_from_text(std::string_view t, std::string *out, bool timestamp) {
  out->clear();
  if (t.size() < 19 || t[4] != '-' || t[7] != '-' || (t[10] != ' ' && t[10] != 'T') || t[13] != ':' || t[16] != ':')
    return -1;
  int cc = two(t, 0), yy = two(t, 2), mo = two(t, 5), dd = two(t, 8), hh = two(t, 11), mi = two(t, 14), ss = two(t, 17);
  if (cc < 0 || yy < 0 || mo < 1 || mo > 12 || dd < 1 || dd > 31 || hh < 0 || hh > 23 || mi < 0 || mi > 59 || ss < 0 || ss > 59)
    return -1;
  uint32_t ns = 0;
  if (t.size() > 19) {
    if (!timestamp || t[19] != '.' || t.size() > 29 || t.size() == 20) return -1;
    uint32_t scale = 100000000;
    for (size_t i = 20; i < t.size(); i++, scale /= 10) {
      if (t[i] < '0' || t[i] > '9') return -1;
      ns += uint32_t(t[i] - '0') * scale;
    }
  }
  uint8_t b[11] = {uint8_t(cc + 100), uint8_t(yy + 100), uint8_t(mo), uint8_t(dd), uint8_t(hh + 1), uint8_t(mi + 1), uint8_t(ss + 1),
                   uint8_t(ns >> 24), uint8_t(ns >> 16), uint8_t(ns >> 8), uint8_t(ns)};
  out->assign(reinterpret_cast<char *>(b), ns ? 11 : 7);
  return 0;
}

int ks_date_to_text(std::string_view d, std::string *out) {
  if (d.size() != 7 && d.size() != 11) return -1;
  auto u = [&](size_t i) { return int(uint8_t(d[i])); };
  if (u(0) < 100 || u(1) < 100) return -1;  // dates before year 1 are not modelled
  char b[40];
  int n = snprintf(b, sizeof b, "%02d%02d-%02d-%02d %02d:%02d:%02d", u(0) - 100, u(1) - 100, u(2), u(3), u(4) - 1, u(5) - 1, u(6) - 1);
  if (d.size() == 11) {
    uint32_t ns = uint32_t(u(7)) << 24 | uint32_t(u(8)) << 16 | uint32_t(u(9)) << 8 | uint32_t(u(10));
    if (ns) snprintf(b + n, sizeof b - size_t(n), ".%09u", ns);
  }
  *out = b;
  return 0;
}

int ks_utf8_to_utf16be(std::string_view in, std::string *out) {
  out->clear();
  for (size_t i = 0; i < in.size();) {
    uint8_t c = uint8_t(in[i]);
    uint32_t cp;
    int n;
    if (c < 0x80) cp = c, n = 1;
    else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, n = 2;
    else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, n = 3;
    else if ((c & 0xF8) == 0xF0) cp = c & 0x07, n = 4;
    else return -1;
    if (i + size_t(n) > in.size()) return -1;
    for (int k = 1; k < n; k++) {
      uint8_t cc = uint8_t(in[i + size_t(k)]);
      if ((cc & 0xC0) != 0x80) return -1;
      cp = cp << 6 | (cc & 0x3F);
    }
    i += size_t(n);
    auto put = [&](uint32_t u) { out->push_back(char(u >> 8)); out->push_back(char(u & 0xFF)); };
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
    if (u < 0x80) out->push_back(char(u));
    else if (u < 0x800) out->push_back(char(0xC0 | u >> 6)), out->push_back(char(0x80 | (u & 0x3F)));
    else if (u < 0x10000)
      out->push_back(char(0xE0 | u >> 12)), out->push_back(char(0x80 | ((u >> 6) & 0x3F))), out->push_back(char(0x80 | (u & 0x3F)));
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
  auto v = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
  for (size_t i = 0; i < h.size(); i += 2) {
    int a = v(h[i]), b = v(h[i + 1]);
    if (a < 0 || b < 0) return -1;
    out->push_back(char(a << 4 | b));
  }
  return 0;
}

}  // namespace ks::sim
