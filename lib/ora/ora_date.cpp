// Oracle DATE / TIMESTAMP / TIMESTAMP WITH TIME ZONE internal forms.
// Layout kept here: century + 100, year of century + 100, month, day, hour + 1,
// minute + 1, second + 1; then (TIMESTAMP) the fraction in nanoseconds as 4 big-endian
// bytes; then (WITH TIME ZONE) zone hours + 20 and zone minutes + 60, in which case the
// first 11 bytes hold UTC. Years before Christ use the same formula and come out negative.
#include "lib/ora/ora_date.h"

#include <cstdio>
#include <cstring>

#include "lib/bytes.h"

namespace {

bool leap(int y) {
  if (y < 0) y = y + 1;  // proleptic: 1 BC behaves like year 0
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int month_days(int y, int m) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && leap(y)) ? 29 : days[m - 1];
}

// Shift the fields by a number of minutes (zone conversion), carrying through days.
void add_minutes(ks_ora_dt_t *d, int mins) {
  int t = d->hour * 60 + d->minute + mins;
  int dd = 0;
  while (t < 0) {
    t += 1440;
    dd--;
  }
  while (t >= 1440) {
    t -= 1440;
    dd++;
  }
  d->hour = t / 60;
  d->minute = t % 60;
  for (; dd > 0; dd--) {
    if (++d->day > month_days(d->year, d->month)) {
      d->day = 1;
      if (++d->month > 12) {
        d->month = 1;
        d->year = d->year == -1 ? 1 : d->year + 1;
      }
    }
  }
  for (; dd < 0; dd++) {
    if (--d->day < 1) {
      if (--d->month < 1) {
        d->month = 12;
        d->year = d->year == 1 ? -1 : d->year - 1;
      }
      d->day = month_days(d->year, d->month);
    }
  }
}

// width digits of v, zero-padded.
void put_digits(char *out, int *k, uint32_t v, int width) {
  for (int i = width - 1; i >= 0; i--) {
    out[*k + i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  *k += width;
}

int parse_int(const char *&p, int maxdig, int *v) {
  int n = 0, val = 0;
  while (n < maxdig && *p >= '0' && *p <= '9') {
    val = val * 10 + (*p++ - '0');
    n++;
  }
  *v = val;
  return n;
}

}  // namespace

int ks_ora_date_valid(const ks_ora_dt_t *d) {
  if (d->year < -4712 || d->year > 9999 || d->year == 0) return 0;
  if (d->month < 1 || d->month > 12) return 0;
  if (d->day < 1 || d->day > month_days(d->year, d->month)) return 0;
  if (d->hour < 0 || d->hour > 23 || d->minute < 0 || d->minute > 59) return 0;
  if (d->second < 0 || d->second > 59 || d->nsec > 999999999u) return 0;
  if (d->tz_min < -12 * 60 || d->tz_min > 14 * 60) return 0;
  return 1;
}

int ks_ora_date_decode(const uint8_t *b, int len, ks_ora_dt_t *dt) {
  if (b == nullptr || dt == nullptr || (len != 7 && len != 11 && len != 13)) return -1;
  ks_ora_dt_t d{};
  d.year = (b[0] - 100) * 100 + (b[1] - 100);
  d.month = b[2];
  d.day = b[3];
  d.hour = b[4] - 1;
  d.minute = b[5] - 1;
  d.second = b[6] - 1;
  if (len >= 11) d.nsec = ks::load_be32(b + 7);
  if (len == 13) {
    // Named-region zones set the top bit of the hour byte; only numeric offsets are kept.
    if (b[11] & 0x80) return -1;
    d.tz_min = (b[11] - 20) * 60 + (b[12] - 60);
    if (!ks_ora_date_valid(&d)) return -1;
    add_minutes(&d, d.tz_min);
  }
  if (!ks_ora_date_valid(&d)) return -1;
  *dt = d;
  return 0;
}

int ks_ora_date_encode(const ks_ora_dt_t *dt, uint8_t *out, int len) {
  if (dt == nullptr || out == nullptr || (len != 7 && len != 11 && len != 13)) return -1;
  if (!ks_ora_date_valid(dt)) return -1;
  ks_ora_dt_t d = *dt;
  if (len == 13) add_minutes(&d, -d.tz_min);
  if (d.year < -4712 || d.year > 9999 || d.year == 0) return -1;
  int c = d.year >= 0 ? d.year / 100 : -((-d.year) / 100);
  int y = d.year - c * 100;
  out[0] = static_cast<uint8_t>(c + 100);
  out[1] = static_cast<uint8_t>(y + 100);
  out[2] = static_cast<uint8_t>(d.month);
  out[3] = static_cast<uint8_t>(d.day);
  out[4] = static_cast<uint8_t>(d.hour + 1);
  out[5] = static_cast<uint8_t>(d.minute + 1);
  out[6] = static_cast<uint8_t>(d.second + 1);
  if (len >= 11) ks::store_be32(out + 7, d.nsec);
  if (len == 13) {
    int h = dt->tz_min >= 0 ? dt->tz_min / 60 : -((-dt->tz_min) / 60);
    out[11] = static_cast<uint8_t>(h + 20);
    out[12] = static_cast<uint8_t>(dt->tz_min - h * 60 + 60);
  }
  return len;
}

int ks_ora_date_to_text(const uint8_t *b, int len, char *out, int osz) {
  ks_ora_dt_t d;
  if (out == nullptr || ks_ora_date_decode(b, len, &d) < 0) return -1;
  char tmp[KS_ORA_DATE_TEXT_MAX + 8];
  // Written digit by digit: this runs once per date value replicated.
  int k = 0;
  int y = d.year;
  if (y < 0) {
    tmp[k++] = '-';
    y = -y;
  }
  put_digits(tmp, &k, static_cast<uint32_t>(y), 4);
  const int fields[5] = {d.month, d.day, d.hour, d.minute, d.second};
  const char seps[5] = {'-', '-', ' ', ':', ':'};
  for (int f = 0; f < 5; f++) {
    tmp[k++] = seps[f];
    put_digits(tmp, &k, static_cast<uint32_t>(fields[f]), 2);
  }
  if (d.nsec != 0) {
    tmp[k++] = '.';
    put_digits(tmp, &k, d.nsec, 9);
  }
  tmp[k] = '\0';
  if (len == 13) {
    int a = d.tz_min < 0 ? -d.tz_min : d.tz_min;
    k += snprintf(tmp + k, sizeof tmp - static_cast<size_t>(k), " %c%02d:%02d", d.tz_min < 0 ? '-' : '+', a / 60,
                  a % 60);
  }
  if (k + 1 > osz) return -1;
  memcpy(out, tmp, static_cast<size_t>(k) + 1);
  return k;
}

int ks_ora_date_from_text(const char *txt, uint8_t *out, int len) {
  if (txt == nullptr) return -1;
  ks_ora_dt_t d{};
  const char *p = txt;
  while (*p == ' ') p++;
  bool bc = false;
  if (*p == '-') {
    bc = true;
    p++;
  }
  if (parse_int(p, 4, &d.year) < 4 || *p++ != '-') return -1;
  if (bc) d.year = -d.year;
  if (parse_int(p, 2, &d.month) < 1 || *p++ != '-') return -1;
  if (parse_int(p, 2, &d.day) < 1) return -1;
  if (*p == ' ' || *p == 'T') {
    p++;
    if (parse_int(p, 2, &d.hour) < 1 || *p++ != ':') return -1;
    if (parse_int(p, 2, &d.minute) < 1) return -1;
    if (*p == ':') {
      p++;
      if (parse_int(p, 2, &d.second) < 1) return -1;
      if (*p == '.') {
        p++;
        uint32_t ns = 0;
        int n = 0;
        for (; *p >= '0' && *p <= '9'; p++, n++)
          if (n < 9) ns = ns * 10 + static_cast<uint32_t>(*p - '0');
        if (n == 0) return -1;
        for (; n < 9; n++) ns *= 10;
        d.nsec = ns;
      }
    }
  }
  while (*p == ' ') p++;
  if (*p == 'Z') {
    p++;
  } else if (*p == '+' || *p == '-') {
    int sg = *p++ == '-' ? -1 : 1, h, m = 0;
    if (parse_int(p, 2, &h) < 1) return -1;
    if (*p == ':') {
      p++;
      if (parse_int(p, 2, &m) < 1) return -1;
    }
    d.tz_min = sg * (h * 60 + m);
  }
  while (*p == ' ') p++;
  if (*p != '\0') return -1;
  if (len != 13) d.tz_min = 0;
  return ks_ora_date_encode(&d, out, len);
}
