// String helpers for command parsing and Oracle object names. ASCII only: names in
// commands and dictionaries are compared byte-wise outside A-Z / a-z.
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "lib/util.h"

namespace {
inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
}  // namespace

char *ks_str_ltrim(char *s) {
  while (*s == ' ' || *s == '\t' || *s == '\n') s++;
  return s;
}

char *ks_str_rtrim(char *s) {
  size_t n = strlen(s);
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r')) s[--n] = '\0';
  return s;
}

uint32_t ks_str_to_u4(const char *s) {
  uint32_t v = 0;
  for (; *s != '\0'; s++) v = v * 10 + static_cast<uint32_t>(*s - '0');
  return v;
}

uint64_t ks_str_to_u8(const char *s) {
  uint64_t v = 0;
  for (; *s != '\0'; s++) v = v * 10 + static_cast<uint64_t>(*s - '0');
  return v;
}

int ks_str_to_num(const char *s, uint64_t max, uint64_t *out) {
  if (*s == '\0') return -1;
  uint64_t v = 0;
  for (; *s != '\0'; s++) {
    if (*s < '0' || *s > '9') return -1;
    auto d = static_cast<uint64_t>(*s - '0');
    if (d > max || v > (max - d) / 10) return -1;
    v = v * 10 + d;
  }
  *out = v;
  return 0;
}

int ks_str_icmp(const char *a, const char *b) {
  for (;; a++, b++) {
    int d = static_cast<unsigned char>(lower(*a)) - static_cast<unsigned char>(lower(*b));
    if (d != 0 || *a == '\0') return d;
  }
}

int ks_str_nicmp(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    int d = static_cast<unsigned char>(lower(a[i])) - static_cast<unsigned char>(lower(b[i]));
    if (d != 0 || a[i] == '\0') return d;
  }
  return 0;
}

char *ks_str_toupper(char *s) {
  for (char *p = s; *p != '\0'; p++) *p = upper(*p);
  return s;
}

char *ks_str_tolower(char *s) {
  for (char *p = s; *p != '\0'; p++) *p = lower(*p);
  return s;
}

int ks_str_get_token(const char *s, int pos, char *token, int tlen) {
  token[0] = '\0';
  if (s == nullptr || pos < 1) return 0;
  int idx = 0;
  const char *p = s;
  while (*p != '\0') {
    while (is_space(*p)) p++;
    if (*p == '\0') break;
    const char *start = p;
    while (*p != '\0' && !is_space(*p)) p++;
    if (++idx == pos) {
      int n = static_cast<int>(p - start);
      if (n > tlen) n = tlen;
      memcpy(token, start, static_cast<size_t>(n));
      token[n] = '\0';
      return n;
    }
  }
  return 0;
}

namespace {

// One name part at p: double-quoted (kept exactly), single-quoted, or bare up to '.'.
// Returns the position after the part; *quoted tells whether it was double-quoted.
const char *take_part(const char *p, char *out, bool stop_at_dot, bool *dquoted) {
  size_t n = 0;
  *dquoted = false;
  if (*p == '"' || *p == '\'') {
    char q = *p++;
    *dquoted = (q == '"');
    while (*p != '\0' && *p != q) {
      if (n < 31) out[n++] = *p;
      p++;
    }
    if (*p == q) p++;
  } else {
    while (*p != '\0' && !(stop_at_dot && *p == '.')) {
      if (n < 31) out[n++] = *p;
      p++;
    }
  }
  out[n] = '\0';
  return p;
}

}  // namespace

int ks_get_owner_object(const char *str, char *ownr, char *objnm, int ups) {
  ownr[0] = '\0';
  objnm[0] = '\0';
  if (str == nullptr) return -1;
  const char *p = str;
  while (is_space(*p)) p++;
  char first[32];
  bool first_dq;
  const char *after = take_part(p, first, true, &first_dq);
  if (*after == '.') {
    bool obj_dq;
    take_part(after + 1, objnm, false, &obj_dq);
    memcpy(ownr, first, 32);
    if (ups) {
      if (!first_dq) ks_str_toupper(ownr);
      if (!obj_dq) ks_str_toupper(objnm);
    }
  } else if (*p == '"' || *p == '\'') {
    // A quoted name not followed by a dot is an object without owner.
    memcpy(objnm, first, 32);
    if (ups && !first_dq) ks_str_toupper(objnm);
  } else {
    size_t n = strlen(p);
    if (n > 31) n = 31;
    memcpy(objnm, p, n);
    objnm[n] = '\0';
    ks_str_rtrim(objnm);
    if (ups) ks_str_toupper(objnm);
  }
  return 0;
}

int ks_str_replace_owner(char *ddltxt, size_t cap, const char *owner, const char *map_owner) {
  const auto ident = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '#'; };
  const std::string_view in(ddltxt), own(owner);
  std::string out;
  int n = 0;
  // Every name qualified by the owner, wherever it stands (the table of CREATE INDEX ...
  // ON, a REFERENCES clause): a name at the start of a token followed by a dot. String
  // literals are passed over, and so is every part after a dot.
  for (size_t i = 0; i < in.size();) {
    const char c = in[i];
    const bool quoted = c == '"';
    size_t end = i + 1;  // one past the token
    if (c == '\'' || quoted) {
      end = in.find(c, i + 1);
      end = end == std::string_view::npos ? in.size() : end + 1;
    } else if (ident(c)) {
      while (end < in.size() && ident(in[end])) end++;
    }
    const std::string_view name = quoted ? in.substr(i + 1, end - i - 2) : in.substr(i, end - i);
    const bool qualifier = (quoted || ident(c)) && end < in.size() && in[end] == '.' && (i == 0 || in[i - 1] != '.');
    if (qualifier && name.size() == own.size() &&
        (quoted ? name == own : ks_str_nicmp(name.data(), owner, own.size()) == 0)) {
      out += quoted ? std::string("\"") + map_owner + "\"" : std::string(map_owner);
      n++;
    } else {
      out += in.substr(i, end - i);
    }
    i = end;
  }
  if (out.size() + 1 > cap) return -1;
  memcpy(ddltxt, out.c_str(), out.size() + 1);
  return n;
}
