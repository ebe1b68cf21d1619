// The text parser of the configuration commands: words, parenthesised lists of
// key=value items (values may be nested lists), keys abbreviated by prefix, values
// stripped of blanks and quotes, owner.table names and the include, exclude and mapping
// sets built from them.
//
// Quotes (single or double) make one piece of text wherever they appear, so a comma,
// parenthesis or equals sign inside a quoted value is never structure. Nothing here
// touches the editing buffer except apply_set.
#include <stdio.h>

#include <cctype>
#include <cstdarg>
#include <cstring>

#include "console/kesh.h"
#include "lib/util.h"

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view v) {
  while (!v.empty() && blank(v.front())) v.remove_prefix(1);
  while (!v.empty() && blank(v.back())) v.remove_suffix(1);
  return v;
}

// Position after the quoted text that starts at s[p] (its closing quote included, or
// the end of s when it never closes).
size_t skip_quoted(std::string_view s, size_t p) {
  char q = s[p++];
  while (p < s.size() && s[p] != q) p++;
  return p < s.size() ? p + 1 : p;
}

// True when text has a blank outside quotes.
bool bare_blank(std::string_view s) {
  for (size_t p = 0; p < s.size();) {
    if (s[p] == '"' || s[p] == '\'') {
      p = skip_quoted(s, p);
      continue;
    }
    if (blank(s[p])) return true;
    p++;
  }
  return false;
}

// Position of the first c at the top level of s (outside quotes and parentheses), or npos.
size_t find_top(std::string_view s, char c) {
  int depth = 0;
  for (size_t p = 0; p < s.size();) {
    char ch = s[p];
    if (ch == '"' || ch == '\'') {
      p = skip_quoted(s, p);
      continue;
    }
    if (ch == c && depth == 0) return p;
    if (ch == '(')
      depth++;
    else if (ch == ')')
      depth--;
    p++;
  }
  return std::string_view::npos;
}

// An owner.table name, upper-cased outside double quotes; both parts required.
bool owner_table(std::string_view text, char *owner, char *table) {
  std::string t(trim(text));
  if (t.empty() || bare_blank(t) || find_top(t, '.') == std::string_view::npos) return false;
  ks_get_owner_object(t.c_str(), owner, table, 1);
  return owner[0] != '\0' && table[0] != '\0';
}

}  // namespace

std::string ks_parse_value(std::string_view v) {
  v = trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v.remove_prefix(1);
    v.remove_suffix(1);
  }
  return std::string(v);
}

std::string ks_parse_value_upper(std::string_view v) {
  std::string s = ks_parse_value(v);
  for (char &c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

namespace kesh {

void err(const char *fmt, ...) {
  fflush(stdout);  // keeps the two streams in order when they share a terminal or file
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fflush(stderr);
}

Obj object_kind(std::string_view w, bool allow_database) {
  if (w == "db" || (allow_database && w == "database")) return Obj::kDb;
  if (w == "unit") return Obj::kUnit;
  if (w == "extract") return Obj::kExtract;
  if (w == "apply") return Obj::kApply;
  return Obj::kNone;
}

Obj open_object(Scanner &sc, bool allow_database) {
  std::string type = sc.word();
  Obj obj = object_kind(type, allow_database);
  if (obj == Obj::kNone) {
    err("Unknown component type \"%s\".\n", type.c_str());
    return Obj::kNone;
  }
  if (ks_open_config() != 0) return Obj::kNone;
  return obj;
}

void Scanner::skip_blanks() {
  while (p_ < s_.size() && blank(s_[p_])) p_++;
}

bool Scanner::at_end() {
  skip_blanks();
  return p_ >= s_.size();
}

bool Scanner::peek(char c) {
  skip_blanks();
  return p_ < s_.size() && s_[p_] == c;
}

bool Scanner::accept(char c) {
  if (!peek(c)) return false;
  p_++;
  return true;
}

std::string Scanner::word() {
  skip_blanks();
  size_t start = p_;
  while (p_ < s_.size()) {
    char c = s_[p_];
    if (c == '"' || c == '\'') {
      p_ = skip_quoted(s_, p_);
      continue;
    }
    if (blank(c) || c == '(' || c == ')' || c == ',' || c == '=') break;
    p_++;
  }
  return std::string(s_.substr(start, p_ - start));
}

bool Scanner::list(std::vector<std::string> *items) {
  items->clear();
  skip_blanks();
  if (p_ >= s_.size() || s_[p_] != '(') return false;
  size_t p = p_ + 1, item_start = p;
  int depth = 1;
  while (p < s_.size()) {
    char c = s_[p];
    if (c == '"' || c == '\'') {
      size_t e = skip_quoted(s_, p);
      if (e >= s_.size() && s_[e - 1] != c) return false;  // the quote never closes
      p = e;
      continue;
    }
    if (c == '(') {
      depth++;
    } else if (c == ')') {
      if (--depth == 0) {
        std::string_view last = trim(s_.substr(item_start, p - item_start));
        // "()" is an empty list; an empty last item after a comma is kept as an error.
        if (!last.empty() || !items->empty()) items->emplace_back(last);
        p_ = p + 1;
        return true;
      }
    } else if (c == ',' && depth == 1) {
      items->emplace_back(trim(s_.substr(item_start, p - item_start)));
      item_start = p + 1;
    }
    p++;
  }
  return false;
}

std::string_view Scanner::rest() { return trim(s_.substr(p_ < s_.size() ? p_ : s_.size())); }

bool split_item(const std::string &text, Item *it) {
  *it = Item{};
  Scanner sc(text);
  it->key = sc.word();
  if (it->key.empty()) return false;
  if (sc.accept('=')) it->has_eq = true;
  it->value = std::string(sc.rest());
  return true;
}

int match_key(std::string_view key, const char *const *names, int n) {
  if (key.empty()) return -1;
  for (int i = 0; i < n; ++i)
    if (std::strlen(names[i]) == key.size() && ks_str_nicmp(names[i], key.data(), key.size()) == 0) return i;
  int found = -1;
  for (int i = 0; i < n; ++i)
    if (std::strlen(names[i]) > key.size() && ks_str_nicmp(names[i], key.data(), key.size()) == 0) {
      if (found >= 0) return -1;  // ambiguous abbreviation
      found = i;
    }
  return found;
}

bool parse_u32(std::string_view v, uint32_t *out) {
  if (v.empty() || v.size() > 10) return false;
  uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + uint64_t(c - '0');
  }
  if (n > 0xFFFFFFFFull) return false;
  *out = uint32_t(n);
  return true;
}

bool parse_yes_no(std::string_view v, bool *out) {
  std::string s(v);
  if (ks_str_icmp(s.c_str(), "yes") == 0)
    *out = true;
  else if (ks_str_icmp(s.c_str(), "no") == 0)
    *out = false;
  else
    return false;
  return true;
}

bool split_unit_com(std::string_view text, char *unit, char *com) {
  std::string t(trim(text));
  unit[0] = com[0] = '\0';
  if (t.empty() || bare_blank(t)) return false;
  ks_get_owner_object(t.c_str(), unit, com, 0);
  return unit[0] != '\0' && com[0] != '\0';
}

int parse_set(SetKind kind, const std::string &value, std::vector<SetItem> *items, std::string *bad) {
  Scanner sc(value);
  std::vector<std::string> elems;
  if (!sc.list(&elems) || !sc.at_end()) {
    *bad = value;
    return -1;
  }
  for (const std::string &e : elems) {
    SetItem si;
    if (kind == SetKind::kMapping) {
      size_t eq = find_top(e, '=');
      if (eq == std::string::npos || !owner_table(std::string_view(e).substr(0, eq), si.schema, si.table) ||
          !owner_table(std::string_view(e).substr(eq + 1), si.map_schema, si.map_table) ||
          (std::strcmp(si.table, "*") == 0) != (std::strcmp(si.map_table, "*") == 0)) {
        *bad = e;
        return -1;
      }
    } else if (!owner_table(e, si.schema, si.table)) {
      *bad = e;
      return -1;
    }
    if (std::strcmp(si.table, "*") == 0) si.flag = KS_CFG_SET_ALL;
    items->push_back(si);
  }
  return 0;
}

int apply_set(bool add, SetKind kind, const char *unit, const char *com, const std::vector<SetItem> &items) {
  char omsg[KS_CFG_MSGSZ];
  for (const SetItem &si : items) {
    int rc;
    if (kind == SetKind::kMapping) {
      ks_cfg_fmap_t m{};
      m.flag = si.flag;
      std::memcpy(m.schema, si.schema, 32);
      std::memcpy(m.map_schema, si.map_schema, 32);
      std::memcpy(m.table, si.table, 32);
      std::memcpy(m.map_table, si.map_table, 32);
      rc = add ? ks_cfg_add_map(&x_cfg, unit, com, &m, omsg) : ks_cfg_delete_map(&x_cfg, unit, com, &m, omsg);
    } else if (kind == SetKind::kTables) {
      ks_cfg_finc_t t{};
      t.flag = si.flag;
      std::memcpy(t.schema, si.schema, 32);
      std::memcpy(t.table, si.table, 32);
      rc = add ? ks_cfg_add_include(&x_cfg, unit, com, &t, omsg) : ks_cfg_delete_include(&x_cfg, unit, com, &t, omsg);
    } else {
      ks_cfg_fexc_t t{};
      t.flag = si.flag;
      std::memcpy(t.schema, si.schema, 32);
      std::memcpy(t.table, si.table, 32);
      rc = add ? ks_cfg_add_exclude(&x_cfg, unit, com, &t, omsg) : ks_cfg_delete_exclude(&x_cfg, unit, com, &t, omsg);
    }
    if (rc != 0) {
      err("%s\n", omsg);
      return -1;
    }
    mark_modified();
  }
  return 0;
}

ks_cfg_fcom_t *find_com(const char *unit, const char *com) {
  int ref = ks_cfg_lookup_com(&x_cfg, unit, com);
  return ref < 0 ? nullptr : static_cast<ks_cfg_fcom_t *>(ks_cfg_item(&x_cfg, uint32_t(ref)));
}

}  // namespace kesh
