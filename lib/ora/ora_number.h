// Oracle NUMBER in its internal form (1..22 bytes: an exponent byte and up to 20
// base-100 digits, with a 102 terminator after negative values shorter than 21 bytes)
// converted to and from decimal text, 64-bit integers and doubles. Pure functions: no
// allocation, no logging, safe on any input bytes.
#pragma once

#include <cstdint>

// Longest internal form and the buffer that holds any decimal text we produce
// (127 integer digits, or "-0." and 170 fraction digits, plus the NUL).
#define KS_ORA_NUMBER_MAX 22
#define KS_ORA_NUMBER_TEXT_MAX 176

// Decimal text without exponent ("0", "-12.5", "0.001"), NUL-terminated. "~" and "-~"
// stand for the positive and negative infinities Oracle can store. Returns the text
// length, or -1 for bytes that are not a NUMBER or a buffer that is too small.
int ks_ora_number_to_text(const uint8_t *num, int len, char *out, int osz);

// Parses "[+-]digits[.digits][e[+-]digits]" (surrounding blanks allowed) into out
// (KS_ORA_NUMBER_MAX bytes). More than 40 significant digits are rounded half up, as
// Oracle does. Returns the internal length, or -1 for text that is not a number or a
// value outside NUMBER's range.
int ks_ora_number_from_text(const char *txt, uint8_t *out);

// 0 and the value when the NUMBER is an integer inside the range, else -1.
int ks_ora_number_to_int64(const uint8_t *num, int len, int64_t *v);
int ks_ora_number_to_uint64(const uint8_t *num, int len, uint64_t *v);
// The internal form of an integer; returns its length.
int ks_ora_number_from_int64(int64_t v, uint8_t *out);
int ks_ora_number_from_uint64(uint64_t v, uint8_t *out);

// Nearest double (0 / -1 as above; infinities give HUGE_VAL).
int ks_ora_number_to_double(const uint8_t *num, int len, double *v);
// The value with at most 15 significant digits (a double's exact decimal round trip),
// -1 for NaN. Infinities map to Oracle's infinities.
int ks_ora_number_from_double(double v, uint8_t *out);
