// Values between Oracle's bind forms and SQLite. Stored forms (what a person reading the
// file with sqlite3 expects): NUMBER as INTEGER when integral and within 64 bits, as
// REAL when it has at most 15 significant digits (a double holds those exactly), else
// TEXT with the exact decimal; DATE / TIMESTAMP as ISO-8601 TEXT; character data as
// UTF-8 TEXT; RAW as BLOB. Every read of the caller's arrays honours its strides and
// lengths and goes through memcpy (the arrays need not be aligned).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "lib/bytes.h"
#include "lib/ora/ora_date.h"
#include "lib/ora/ora_number.h"
#include "sim/oci/sim.h"

namespace orasim {

namespace {

int significant_digits(const char *txt) {
  int n = 0;
  bool started = false;
  int trailing_zeros = 0;
  for (const char *p = txt; *p; p++) {
    if (*p < '0' || *p > '9') continue;
    if (*p != '0') started = true;
    if (!started) continue;
    n++;
    trailing_zeros = (*p == '0') ? trailing_zeros + 1 : 0;
  }
  return n - trailing_zeros;
}

// Interval forms: YEAR TO MONTH is 4 bytes of years + 2^31 and a byte of months + 60;
// DAY TO SECOND is 4 bytes of days + 2^31, hour, minute and second + 60 and 4 bytes of
// nanoseconds + 2^31, all big-endian.
int interval_to_text(ub2 dty, const uint8_t *b, int len, std::string *out) {
  char buf[64];
  if (dty == KS_SQLT_INTERVAL_YM) {
    if (len != 5) return -1;
    int64_t y = static_cast<int64_t>(ks::load_be32(b)) - 0x80000000LL;
    int m = b[4] - 60;
    bool neg = y < 0 || m < 0;
    snprintf(buf, sizeof buf, "%c%lld-%02d", neg ? '-' : '+', static_cast<long long>(y < 0 ? -y : y), m < 0 ? -m : m);
  } else {
    if (len != 11) return -1;
    int64_t d = static_cast<int64_t>(ks::load_be32(b)) - 0x80000000LL;
    int h = b[4] - 60, mi = b[5] - 60, s = b[6] - 60;
    int64_t ns = static_cast<int64_t>(ks::load_be32(b + 7)) - 0x80000000LL;
    bool neg = d < 0 || h < 0 || mi < 0 || s < 0 || ns < 0;
    snprintf(buf, sizeof buf, "%c%lld %02d:%02d:%02d.%09lld", neg ? '-' : '+', static_cast<long long>(llabs(d)), abs(h),
             abs(mi), abs(s), static_cast<long long>(llabs(ns)));
  }
  *out = buf;
  return 0;
}

int interval_from_text(ub2 dty, const char *t, uint8_t *b) {
  int sign = 1;
  while (*t == ' ') t++;
  if (*t == '+' || *t == '-') sign = (*t++ == '-') ? -1 : 1;
  if (dty == KS_SQLT_INTERVAL_YM) {
    long long y;
    int m;
    if (sscanf(t, "%lld-%d", &y, &m) != 2 || m < 0 || m > 11) return -1;
    ks::store_be32(b, static_cast<uint32_t>(sign * y + 0x80000000LL));
    b[4] = static_cast<uint8_t>(sign * m + 60);
    return 5;
  }
  long long d, ns = 0;
  int h, mi, s;
  char frac[16] = "";
  int n = sscanf(t, "%lld %d:%d:%d.%9[0-9]", &d, &h, &mi, &s, frac);
  if (n < 4) return -1;
  if (n == 5) {
    size_t fl = strlen(frac);
    ns = atoll(frac);
    for (size_t k = fl; k < 9; k++) ns *= 10;
  }
  ks::store_be32(b, static_cast<uint32_t>(sign * d + 0x80000000LL));
  b[4] = static_cast<uint8_t>(sign * h + 60);
  b[5] = static_cast<uint8_t>(sign * mi + 60);
  b[6] = static_cast<uint8_t>(sign * s + 60);
  ks::store_be32(b + 7, static_cast<uint32_t>(sign * ns + 0x80000000LL));
  return 11;
}

ub2 pick_csid(ub2 csid, ub1 form, ub2 env_csid, ub2 env_ncsid) {
  if (csid != 0) return csid;
  return form == SQLCS_NCHAR ? env_ncsid : env_csid;
}

// A NUMBER's text as the SQLite value of the stored form.
void bind_decimal(sqlite3_stmt *sst, int idx, const char *txt, int len) {
  if (significant_digits(txt) <= 15)
    sqlite3_bind_double(sst, idx, strtod(txt, nullptr));
  else
    sqlite3_bind_text(sst, idx, txt, len, SQLITE_TRANSIENT);
}

// The common NUMBERs without a detour through text: integers within 64 bits and
// decimals of at most 15 significant digits (m / 10^k of two exact doubles is the
// correctly rounded value, the same double strtod gives). False: not handled here.
bool bind_number_fast(sqlite3_stmt *sst, int idx, const uint8_t *b, int len) {
  if (len < 2 || len > 12) return false;
  bool neg = !(b[0] & 0x80);
  int n = len - 1;
  if (neg && b[len - 1] == 102) n--;
  if (n < 1 || n > 10) return false;
  int exp = neg ? 62 - b[0] : b[0] - 193;
  uint64_t m = 0;
  for (int i = 0; i < n; i++) {
    int d = neg ? 101 - b[i + 1] : b[i + 1] - 1;
    if (d < 0 || d > 99 || (i == 0 && d == 0)) return false;
    m = m * 100 + static_cast<uint64_t>(d);
  }
  // value = m * 100^(exp - n + 1)
  int scale = exp - n + 1;
  if (scale >= 0) {
    if (exp > 8) return false;  // may not fit in 63 bits: the exact path decides
    for (int k = 0; k < scale; k++) m *= 100;
    sqlite3_bind_int64(sst, idx, neg ? -static_cast<int64_t>(m) : static_cast<int64_t>(m));
    return true;
  }
  int k10 = -2 * scale;
  if ((m % 10) == 0) {  // last base-100 digit ends in 0: one decimal digit fewer
    m /= 10;
    k10--;
  }
  if (m >= 1000000000000000ull || k10 > 22) return false;  // more than 15 digits
  static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  double d = static_cast<double>(m) / kPow10[k10];
  sqlite3_bind_double(sst, idx, neg ? -d : d);
  return true;
}

}  // namespace

std::string rowid_text(int64_t rowid) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  char buf[19];
  uint64_t v = static_cast<uint64_t>(rowid);
  for (int k = 17; k >= 0; k--) {
    buf[k] = kDigits[v & 63];
    v >>= 6;
  }
  buf[18] = '\0';
  return buf;
}

int bind_value(Bind *b, sqlite3_stmt *sst, int idx, ub4 r, ub2 env_csid, ub2 env_ncsid) {
  const uint8_t *v;
  long len;
  if (b->mode & OCI_DATA_AT_EXEC) {
    // The value gathered from its pieces.
    if (!b->pw_done) return 3129;
    if (b->pw_null) return sqlite3_bind_null(sst, idx) == SQLITE_OK ? 0 : 600;
    v = reinterpret_cast<const uint8_t *>(b->pw_data.data());
    len = static_cast<long>(b->pw_data.size());
  } else {
    if (b->indp != nullptr) {
      int16_t ind = ks::load<int16_t>(b->indp + static_cast<size_t>(r) * b->iskip);
      if (ind == -1) return sqlite3_bind_null(sst, idx) == SQLITE_OK ? 0 : 600;
    }
    v = b->valp != nullptr ? b->valp + static_cast<size_t>(r) * b->vskip : nullptr;
    len = b->vsz;
    if (b->alenp != nullptr) len = ks::load<uint16_t>(b->alenp + static_cast<size_t>(r) * b->askip);
    if (len < 0) len = 0;
    if (v == nullptr && len > 0) return 1008;
  }
  switch (b->dty) {
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_LNG:
    case SQLT_STR: {
      if (b->dty == SQLT_STR)
        len = static_cast<long>(strnlen(reinterpret_cast<const char *>(v), static_cast<size_t>(len)));
      if (len == 0) return sqlite3_bind_null(sst, idx) == SQLITE_OK ? 0 : 600;  // '' is NULL in Oracle
      ub2 cs = pick_csid(b->csid, b->csform, env_csid, env_ncsid);
      if (charset_is_utf8(cs)) {
        sqlite3_bind_text(sst, idx, reinterpret_cast<const char *>(v), static_cast<int>(len), SQLITE_STATIC);
        return 0;
      }
      if (charset_convert(cs, 873, v, static_cast<size_t>(len), &b->scratch) < 0) return 12715;
      sqlite3_bind_text(sst, idx, b->scratch.data(), static_cast<int>(b->scratch.size()), SQLITE_STATIC);
      return 0;
    }
    case SQLT_NUM: {
      if (bind_number_fast(sst, idx, v, static_cast<int>(len))) return 0;
      int64_t iv;
      if (ks_ora_number_to_int64(v, static_cast<int>(len), &iv) == 0) {
        sqlite3_bind_int64(sst, idx, iv);
        return 0;
      }
      char txt[KS_ORA_NUMBER_TEXT_MAX];
      int n = ks_ora_number_to_text(v, static_cast<int>(len), txt, sizeof txt);
      if (n < 0) return 1722;
      bind_decimal(sst, idx, txt, n);
      return 0;
    }
    case SQLT_INT:
    case SQLT_UIN: {
      if (len != 1 && len != 2 && len != 4 && len != 8) return 3115;
      bool u = b->dty == SQLT_UIN;
      int64_t iv = 0;
      if (len == 1) iv = u ? static_cast<int64_t>(v[0]) : static_cast<int64_t>(static_cast<int8_t>(v[0]));
      if (len == 2) iv = u ? static_cast<int64_t>(ks::load<uint16_t>(v)) : ks::load<int16_t>(v);
      if (len == 4) iv = u ? static_cast<int64_t>(ks::load<uint32_t>(v)) : ks::load<int32_t>(v);
      if (len == 8) {
        uint64_t uv = ks::load<uint64_t>(v);
        if (u && uv > static_cast<uint64_t>(INT64_MAX)) {
          char txt[24];
          int n = snprintf(txt, sizeof txt, "%llu", static_cast<unsigned long long>(uv));
          sqlite3_bind_text(sst, idx, txt, n, SQLITE_TRANSIENT);
          return 0;
        }
        iv = static_cast<int64_t>(uv);
      }
      sqlite3_bind_int64(sst, idx, iv);
      return 0;
    }
    case SQLT_IBFLOAT:
    case SQLT_IBDOUBLE: {
      double d;
      if (b->dty == SQLT_IBFLOAT && len == 4)
        d = ks::load<float>(v);
      else if (b->dty == SQLT_IBDOUBLE && len == 8)
        d = ks::load<double>(v);
      else
        return 3115;
      sqlite3_bind_double(sst, idx, d);
      return 0;
    }
    case SQLT_DAT:
    case KS_SQLT_TIMESTAMP:
    case KS_SQLT_TIMESTAMP_TZ:
    case KS_SQLT_TIMESTAMP_LTZ: {
      char txt[KS_ORA_DATE_TEXT_MAX];
      int n = ks_ora_date_to_text(v, static_cast<int>(len), txt, sizeof txt);
      if (n < 0) return 1858;
      sqlite3_bind_text(sst, idx, txt, n, SQLITE_TRANSIENT);
      return 0;
    }
    case KS_SQLT_INTERVAL_YM:
    case KS_SQLT_INTERVAL_DS: {
      if (interval_to_text(b->dty, v, static_cast<int>(len), &b->scratch) < 0) return 1867;
      sqlite3_bind_text(sst, idx, b->scratch.data(), static_cast<int>(b->scratch.size()), SQLITE_STATIC);
      return 0;
    }
    case SQLT_BIN:
    case SQLT_LBI:
      if (len == 0) return sqlite3_bind_null(sst, idx) == SQLITE_OK ? 0 : 600;
      sqlite3_bind_blob(sst, idx, v, static_cast<int>(len), SQLITE_STATIC);
      return 0;
    case SQLT_CLOB:
    case SQLT_BLOB:
      return bind_locator(b, v, len, sst, idx);
    default:
      return 3115;
  }
}

namespace {

void put_ind(Define *d, ub4 r, int16_t ind) {
  if (d->indp != nullptr) ks::store<int16_t>(d->indp + static_cast<size_t>(r) * d->iskip, ind);
}
void put_len(Define *d, ub4 r, size_t len) {
  if (d->rlenp != nullptr)
    ks::store<uint16_t>(d->rlenp + static_cast<size_t>(r) * d->rskip, static_cast<uint16_t>(len));
}
void put_rcode(Define *d, ub4 r, uint16_t rc) {
  if (d->rcodep != nullptr) ks::store<uint16_t>(d->rcodep + static_cast<size_t>(r) * d->cskip, rc);
}

// The column's value as a NUMBER. 0 or an Oracle error.
int column_number(sqlite3_stmt *sst, int col, uint8_t *num, int *len) {
  switch (sqlite3_column_type(sst, col)) {
    case SQLITE_INTEGER:
      *len = ks_ora_number_from_int64(sqlite3_column_int64(sst, col), num);
      return 0;
    case SQLITE_FLOAT:
      *len = ks_ora_number_from_double(sqlite3_column_double(sst, col), num);
      return *len < 0 ? 1722 : 0;
    default: {
      const char *t = reinterpret_cast<const char *>(sqlite3_column_text(sst, col));
      *len = t != nullptr ? ks_ora_number_from_text(t, num) : -1;
      return *len < 0 ? 1722 : 0;
    }
  }
}

// Text of a column as Oracle would convert it to a string (UTF-8).
void column_text(sqlite3_stmt *sst, int col, std::string *out) {
  char buf[64];
  switch (sqlite3_column_type(sst, col)) {
    case SQLITE_INTEGER:
      snprintf(buf, sizeof buf, "%lld", static_cast<long long>(sqlite3_column_int64(sst, col)));
      *out = buf;
      return;
    case SQLITE_FLOAT: {
      uint8_t num[KS_ORA_NUMBER_MAX];
      char txt[KS_ORA_NUMBER_TEXT_MAX];
      int n = ks_ora_number_from_double(sqlite3_column_double(sst, col), num);
      if (n > 0 && ks_ora_number_to_text(num, n, txt, sizeof txt) > 0)
        *out = txt;
      else
        *out = "0";
      return;
    }
    case SQLITE_BLOB: {  // RAW prints as hexadecimal
      const uint8_t *p = static_cast<const uint8_t *>(sqlite3_column_blob(sst, col));
      int n = sqlite3_column_bytes(sst, col);
      out->clear();
      for (int k = 0; k < n; k++) {
        snprintf(buf, sizeof buf, "%02X", p[k]);
        *out += buf;
      }
      return;
    }
    default: {
      const char *t = reinterpret_cast<const char *>(sqlite3_column_text(sst, col));
      out->assign(t != nullptr ? t : "", static_cast<size_t>(sqlite3_column_bytes(sst, col)));
    }
  }
}

}  // namespace

int fetch_value(Define *d, sqlite3_stmt *sst, int col, ub4 r, ub2 env_csid, ub2 env_ncsid) {
  if (d->dty == SQLT_CLOB || d->dty == SQLT_BLOB) return fetch_locator(d, sst, col, r);
  if (sqlite3_column_type(sst, col) == SQLITE_NULL) {
    put_len(d, r, 0);
    put_rcode(d, r, 1405);
    if (d->indp == nullptr) return 1405;
    put_ind(d, r, -1);
    return 0;
  }
  uint8_t *dst = d->valp != nullptr ? d->valp + static_cast<size_t>(r) * d->vskip : nullptr;
  size_t cap = d->vsz > 0 ? static_cast<size_t>(d->vsz) : 0;
  uint8_t tmp[64];
  size_t n = 0;
  const uint8_t *src = tmp;
  std::string s;
  switch (d->dty) {
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_LNG:
    case SQLT_LVC:
    case SQLT_STR: {
      column_text(sst, col, &s);
      ub2 cs = pick_csid(d->csid, d->csform, env_csid, env_ncsid);
      if (!charset_is_utf8(cs)) {
        std::string conv;
        if (charset_convert(873, cs, s.data(), s.size(), &conv) < 0) return 12715;
        s.swap(conv);
      }
      src = reinterpret_cast<const uint8_t *>(s.data());
      n = s.size();
      break;
    }
    case SQLT_NUM: {
      int len;
      int rc = column_number(sst, col, tmp, &len);
      if (rc) return rc;
      n = static_cast<size_t>(len);
      break;
    }
    case SQLT_INT:
    case SQLT_UIN: {
      int64_t iv = 0;
      uint64_t uv = 0;
      bool is_u = d->dty == SQLT_UIN;
      if (sqlite3_column_type(sst, col) == SQLITE_INTEGER) {
        iv = sqlite3_column_int64(sst, col);
        uv = static_cast<uint64_t>(iv);
        if (is_u && iv < 0) return 1455;
      } else if (sqlite3_column_type(sst, col) == SQLITE_FLOAT) {
        double dv = std::round(sqlite3_column_double(sst, col));
        if (!(dv > -9.2233720368547758e18 && dv < (is_u ? 1.8446744073709552e19 : 9.2233720368547758e18)) ||
            (is_u && dv < 0))
          return 1455;
        iv = static_cast<int64_t>(dv);
        uv = is_u ? static_cast<uint64_t>(dv) : static_cast<uint64_t>(iv);
      } else {
        uint8_t num[KS_ORA_NUMBER_MAX];
        int len;
        if (column_number(sst, col, num, &len) != 0) return 1722;
        if (is_u ? ks_ora_number_to_uint64(num, len, &uv) : ks_ora_number_to_int64(num, len, &iv)) return 1455;
        if (is_u)
          iv = static_cast<int64_t>(uv);
        else
          uv = static_cast<uint64_t>(iv);
      }
      if (cap != 1 && cap != 2 && cap != 4 && cap != 8) return 3115;
      if (cap == 1) tmp[0] = static_cast<uint8_t>(uv);
      if (cap == 2) ks::store<uint16_t>(tmp, static_cast<uint16_t>(uv));
      if (cap == 4) ks::store<uint32_t>(tmp, static_cast<uint32_t>(uv));
      if (cap == 8) ks::store<uint64_t>(tmp, uv);
      n = cap;
      break;
    }
    case SQLT_IBFLOAT:
    case SQLT_IBDOUBLE: {
      double dv = sqlite3_column_double(sst, col);
      if (d->dty == SQLT_IBFLOAT) {
        ks::store<float>(tmp, static_cast<float>(dv));
        n = 4;
      } else {
        ks::store<double>(tmp, dv);
        n = 8;
      }
      break;
    }
    case SQLT_DAT:
    case KS_SQLT_TIMESTAMP:
    case KS_SQLT_TIMESTAMP_TZ:
    case KS_SQLT_TIMESTAMP_LTZ: {
      const char *t = reinterpret_cast<const char *>(sqlite3_column_text(sst, col));
      int want = d->dty == SQLT_DAT ? 7 : d->dty == KS_SQLT_TIMESTAMP_TZ ? 13 : 11;
      int len = t != nullptr ? ks_ora_date_from_text(t, tmp, want) : -1;
      if (len < 0) return 1861;
      n = static_cast<size_t>(len);
      break;
    }
    case KS_SQLT_INTERVAL_YM:
    case KS_SQLT_INTERVAL_DS: {
      const char *t = reinterpret_cast<const char *>(sqlite3_column_text(sst, col));
      int len = t != nullptr ? interval_from_text(d->dty, t, tmp) : -1;
      if (len < 0) return 1867;
      n = static_cast<size_t>(len);
      break;
    }
    case SQLT_BIN:
    case SQLT_LBI:
    case SQLT_LVB:
      src = static_cast<const uint8_t *>(sqlite3_column_blob(sst, col));
      n = static_cast<size_t>(sqlite3_column_bytes(sst, col));
      break;
    default:
      return 3115;
  }
  // The long forms carry their length in the slot's first four bytes, so a value of any
  // size comes back with it (the 16-bit returned length cannot hold it).
  bool prefixed = d->dty == SQLT_LVC || d->dty == SQLT_LVB;
  size_t room = d->dty == SQLT_STR ? (cap > 0 ? cap - 1 : 0) : prefixed ? (cap > 4 ? cap - 4 : 0) : cap;
  size_t copy = n < room ? n : room;
  if (prefixed && dst != nullptr && cap >= 4) {
    ks::store<int32_t>(dst, static_cast<int32_t>(copy));
    dst += 4;
  } else if (prefixed) {
    dst = nullptr;
  }
  if (dst != nullptr && copy > 0) memcpy(dst, src, copy);
  if (d->dty == SQLT_STR && dst != nullptr && cap > 0) dst[copy] = '\0';
  if (d->dty == SQLT_AFC && dst != nullptr && copy < cap) memset(dst + copy, ' ', cap - copy);
  put_len(d, r, d->dty == SQLT_AFC && copy < cap ? cap : prefixed ? std::min<size_t>(copy + 4, 65535) : copy);
  if (copy < n) {  // cut to its slot: the indicator tells the real length
    put_ind(d, r, n > 32767 ? static_cast<int16_t>(-2) : static_cast<int16_t>(n));
    put_rcode(d, r, 1406);
    return 1406;
  }
  put_ind(d, r, 0);
  put_rcode(d, r, 0);
  return 0;
}

}  // namespace orasim
