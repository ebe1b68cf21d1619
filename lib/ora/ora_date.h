// Oracle DATE (7 bytes), TIMESTAMP (11 bytes, or 7 when the fraction is zero) and
// TIMESTAMP WITH TIME ZONE (13 bytes, UTC plus the zone offset) in their internal forms,
// converted to and from broken-down fields and ISO-8601 text. Pure functions.
#pragma once

#include <cstdint>

typedef struct __ks_ora_dt_s {
  int year;       // -4712 .. 9999, no year 0
  int month;      // 1..12
  int day;        // 1..31
  int hour;       // 0..23
  int minute;     // 0..59
  int second;     // 0..59
  uint32_t nsec;  // 0..999999999
  int tz_min;     // zone offset in minutes (TIMESTAMP WITH TIME ZONE only)
} ks_ora_dt_t;

// Long enough for "-4712-01-01 00:00:00.123456789 +14:00".
#define KS_ORA_DATE_TEXT_MAX 40

// Bytes -> fields. len 7 (DATE or TIMESTAMP without fraction), 11 (TIMESTAMP) or 13
// (WITH TIME ZONE: the fields are given in the zone's local time). 0, or -1 when the
// bytes are not a valid date.
int ks_ora_date_decode(const uint8_t *b, int len, ks_ora_dt_t *dt);
// Fields -> bytes of length len (7, 11 or 13; 7 drops the fraction). Returns len or -1.
int ks_ora_date_encode(const ks_ora_dt_t *dt, uint8_t *out, int len);

// "YYYY-MM-DD hh:mm:ss", with ".nnnnnnnnn" (nine digits) when the fraction is not zero and
// " +hh:mm" for the 13-byte form. Returns the text length or -1.
int ks_ora_date_to_text(const uint8_t *b, int len, char *out, int osz);
// Parses the text forms above ("YYYY-MM-DD", "YYYY-MM-DD hh:mm[:ss[.f...]]", a 'T'
// separator and a trailing "Z" or "+hh:mm" allowed) into bytes of length len. Returns
// len, or -1 for text that is not a valid date.
int ks_ora_date_from_text(const char *txt, uint8_t *out, int len);

// Calendar check shared by the parsers: 1 when the fields name a real instant.
int ks_ora_date_valid(const ks_ora_dt_t *dt);
