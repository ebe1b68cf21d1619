// Oracle NUMBER internal form <-> decimal text, integers and doubles.
// Layout kept here: byte 0 is the base-100 exponent (193 + e for positive values,
// 62 - e for negative ones, 0x80 alone for zero); digits follow most significant first,
// stored as d + 1 (positive) or 101 - d (negative); a negative value with fewer than 20
// digits ends with 102. Value = sum d[i] * 100^(e - i). Every decoder checks the bytes
// and never reads past len.
#include "lib/ora/ora_number.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A decoded NUMBER: sign, base-100 exponent of the first digit, digits 0..99.
struct Num {
  bool neg = false;
  int inf = 0;  // +1 / -1 for Oracle's infinities
  int exp = 0;
  int n = 0;  // 0 means zero
  uint8_t d[20] = {};
};

int floor_div2(int v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

int decode(const uint8_t *b, int len, Num *x) {
  *x = Num();
  if (b == nullptr || len < 1 || len > KS_ORA_NUMBER_MAX) return -1;
  uint8_t e = b[0];
  if (len == 1 && e == 0x80) return 0;
  if (len == 1 && e == 0x00) {
    x->inf = -1;
    x->neg = true;
    return 0;
  }
  if (len == 2 && e == 0xFF && b[1] == 101) {
    x->inf = 1;
    return 0;
  }
  if (e & 0x80) {
    x->exp = e - 193;
    int n = len - 1;
    if (n < 1 || n > 20) return -1;
    for (int i = 0; i < n; i++) {
      if (b[i + 1] < 1 || b[i + 1] > 100) return -1;
      x->d[i] = static_cast<uint8_t>(b[i + 1] - 1);
    }
    x->n = n;
  } else {
    x->neg = true;
    x->exp = 62 - e;
    int n = len - 1;
    if (n >= 1 && b[len - 1] == 102) n--;
    if (n < 1 || n > 20) return -1;
    for (int i = 0; i < n; i++) {
      if (b[i + 1] < 2 || b[i + 1] > 101) return -1;
      x->d[i] = static_cast<uint8_t>(101 - b[i + 1]);
    }
    x->n = n;
  }
  // Trailing zero digits are not canonical but harmless; a leading zero is not a NUMBER.
  if (x->d[0] == 0) return -1;
  while (x->n > 0 && x->d[x->n - 1] == 0) x->n--;
  return 0;
}

int encode(const Num &x, uint8_t *out) {
  if (x.inf > 0) {
    out[0] = 0xFF;
    out[1] = 101;
    return 2;
  }
  if (x.inf < 0) {
    out[0] = 0x00;
    return 1;
  }
  if (x.n == 0) {
    out[0] = 0x80;
    return 1;
  }
  if (x.exp > 62) return -1;
  if (x.exp < -65) {
    out[0] = 0x80;
    return 1;
  }  // below NUMBER's range: zero, as Oracle does
  if (!x.neg) {
    out[0] = static_cast<uint8_t>(193 + x.exp);
    for (int i = 0; i < x.n; i++) out[i + 1] = static_cast<uint8_t>(x.d[i] + 1);
    return x.n + 1;
  }
  out[0] = static_cast<uint8_t>(62 - x.exp);
  for (int i = 0; i < x.n; i++) out[i + 1] = static_cast<uint8_t>(101 - x.d[i]);
  if (x.n < 20) {
    out[x.n + 1] = 102;
    return x.n + 2;
  }
  return x.n + 1;
}

}  // namespace

int ks_ora_number_to_text(const uint8_t *num, int len, char *out, int osz) {
  Num x;
  if (out == nullptr || osz < 1 || decode(num, len, &x) < 0) return -1;
  char tmp[KS_ORA_NUMBER_TEXT_MAX];
  int k = 0;
  if (x.inf != 0) {
    k = snprintf(tmp, sizeof tmp, "%s", x.inf > 0 ? "~" : "-~");
  } else if (x.n == 0) {
    tmp[k++] = '0';
  } else {
    if (x.neg) tmp[k++] = '-';
    int top = x.exp > 0 ? x.exp : 0;
    int bottom = x.exp - x.n + 1 < 0 ? x.exp - x.n + 1 : 0;
    bool started = false;
    for (int p = top; p >= 0; p--) {  // integer part
      int i = x.exp - p;
      int v = (i >= 0 && i < x.n) ? x.d[i] : 0;
      if (!started) {
        if (v == 0 && p > 0) continue;
        if (v >= 10 || p == 0) {
          if (v >= 10) tmp[k++] = static_cast<char>('0' + v / 10);
          tmp[k++] = static_cast<char>('0' + v % 10);
        } else {
          tmp[k++] = static_cast<char>('0' + v);
        }
        started = true;
        continue;
      }
      tmp[k++] = static_cast<char>('0' + v / 10);
      tmp[k++] = static_cast<char>('0' + v % 10);
    }
    if (bottom < 0) {
      tmp[k++] = '.';
      for (int p = -1; p >= bottom; p--) {
        int i = x.exp - p;
        int v = (i >= 0 && i < x.n) ? x.d[i] : 0;
        tmp[k++] = static_cast<char>('0' + v / 10);
        tmp[k++] = static_cast<char>('0' + v % 10);
      }
      while (tmp[k - 1] == '0') k--;
    }
  }
  if (k + 1 > osz) return -1;
  memcpy(out, tmp, static_cast<size_t>(k));
  out[k] = '\0';
  return k;
}

int ks_ora_number_from_text(const char *txt, uint8_t *out) {
  if (txt == nullptr || out == nullptr) return -1;
  const char *p = txt;
  while (*p == ' ' || *p == '\t') p++;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = (*p++ == '-');
  if (*p == '~') {  // the infinities printed by ks_ora_number_to_text
    p++;
    while (*p == ' ' || *p == '\t') p++;
    if (*p != '\0') return -1;
    Num x;
    x.inf = neg ? -1 : 1;
    return encode(x, out);
  }
  const char *ms = p;
  int ndig = 0, ni = -1;
  for (;; p++) {
    if (*p >= '0' && *p <= '9')
      ndig++;
    else if (*p == '.' && ni < 0)
      ni = ndig;
    else
      break;
  }
  const char *me = p;
  if (ndig == 0) return -1;
  if (ni < 0) ni = ndig;
  long e10 = 0;
  if (*p == 'e' || *p == 'E') {
    p++;
    bool eneg = false;
    if (*p == '+' || *p == '-') eneg = (*p++ == '-');
    if (!(*p >= '0' && *p <= '9')) return -1;
    for (; *p >= '0' && *p <= '9'; p++)
      if (e10 < 100000) e10 = e10 * 10 + (*p - '0');
    if (eneg) e10 = -e10;
  }
  while (*p == ' ' || *p == '\t') p++;
  if (*p != '\0') return -1;

  // Significant digits: sig[s] has decimal exponent top - s.
  char sig[48];
  int nsig = 0;
  long top = 0;
  int t = 0;
  for (const char *q = ms; q < me; q++) {
    if (*q == '.') continue;
    int dv = *q - '0';
    if (nsig == 0 && dv == 0) {
      t++;
      continue;
    }
    if (nsig == 0) top = ni - 1 - t + e10;
    if (nsig < static_cast<int>(sizeof sig)) sig[nsig++] = static_cast<char>(dv);
    t++;
  }
  Num x;
  x.neg = neg;
  if (nsig == 0) return encode(x, out);
  if (top > 200) return -1;
  if (top < -200) return encode(x, out);
  int xtop = floor_div2(static_cast<int>(top));
  int pairs[32] = {};
  int np = 0;
  for (int s = 0; s < nsig; s++) {
    int de = static_cast<int>(top) - s;
    int q = xtop - floor_div2(de);
    if (q >= 32) break;
    pairs[q] += sig[s] * ((de - 2 * floor_div2(de)) == 1 ? 10 : 1);
    if (q + 1 > np) np = q + 1;
  }
  if (np > 20) {
    bool up = pairs[20] >= 50;
    np = 20;
    if (up) {
      int i = 19;
      for (; i >= 0; i--) {
        if (++pairs[i] < 100) break;
        pairs[i] = 0;
      }
      if (i < 0) {  // 99..99 rounded up to 1 followed by zeros
        pairs[0] = 1;
        np = 1;
        xtop++;
      }
    }
  }
  while (np > 0 && pairs[np - 1] == 0) np--;
  x.exp = xtop;
  x.n = np;
  for (int i = 0; i < np; i++) x.d[i] = static_cast<uint8_t>(pairs[i]);
  return encode(x, out);
}

static int to_magnitude(const uint8_t *num, int len, bool *neg, uint64_t *mag) {
  Num x;
  if (decode(num, len, &x) < 0 || x.inf != 0) return -1;
  *neg = x.neg;
  *mag = 0;
  if (x.n == 0) return 0;
  if (x.exp - x.n + 1 < 0 || x.exp > 9) return -1;  // a fraction, or 21 digits and more
  unsigned __int128 v = 0;
  for (int p = x.exp; p >= 0; p--) {
    int i = x.exp - p;
    v = v * 100 + static_cast<unsigned>((i < x.n) ? x.d[i] : 0);
  }
  if (v > UINT64_MAX) return -1;
  *mag = static_cast<uint64_t>(v);
  return 0;
}

int ks_ora_number_to_int64(const uint8_t *num, int len, int64_t *v) {
  bool neg;
  uint64_t m;
  if (to_magnitude(num, len, &neg, &m) < 0) return -1;
  if (!neg) {
    if (m > static_cast<uint64_t>(INT64_MAX)) return -1;
    *v = static_cast<int64_t>(m);
  } else {
    if (m > static_cast<uint64_t>(INT64_MAX) + 1) return -1;
    *v = static_cast<int64_t>(0 - m);
  }
  return 0;
}

int ks_ora_number_to_uint64(const uint8_t *num, int len, uint64_t *v) {
  bool neg;
  uint64_t m;
  if (to_magnitude(num, len, &neg, &m) < 0 || (neg && m != 0)) return -1;
  *v = m;
  return 0;
}

static int from_magnitude(bool neg, uint64_t m, uint8_t *out) {
  Num x;
  x.neg = neg;
  uint8_t rev[10];
  int n = 0;
  while (m > 0) {
    rev[n++] = static_cast<uint8_t>(m % 100);
    m /= 100;
  }
  if (n == 0) return encode(x, out);
  x.exp = n - 1;
  for (int i = 0; i < n; i++) x.d[i] = rev[n - 1 - i];
  x.n = n;
  while (x.n > 0 && x.d[x.n - 1] == 0) x.n--;
  return encode(x, out);
}

int ks_ora_number_from_int64(int64_t v, uint8_t *out) {
  uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  return from_magnitude(v < 0, m, out);
}

int ks_ora_number_from_uint64(uint64_t v, uint8_t *out) { return from_magnitude(false, v, out); }

int ks_ora_number_to_double(const uint8_t *num, int len, double *v) {
  Num x;
  if (decode(num, len, &x) < 0) return -1;
  if (x.inf != 0) {
    *v = x.inf > 0 ? HUGE_VAL : -HUGE_VAL;
    return 0;
  }
  char txt[KS_ORA_NUMBER_TEXT_MAX];
  if (ks_ora_number_to_text(num, len, txt, sizeof txt) < 0) return -1;
  *v = strtod(txt, nullptr);
  return 0;
}

int ks_ora_number_from_double(double v, uint8_t *out) {
  if (std::isnan(v)) return -1;
  if (std::isinf(v)) {
    Num x;
    x.inf = v > 0 ? 1 : -1;
    return encode(x, out);
  }
  char txt[40];
  snprintf(txt, sizeof txt, "%.15g", v);
  return ks_ora_number_from_text(txt, out);
}
