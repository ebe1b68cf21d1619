// The Oracle-dialect front: translates the statements this system issues into SQLite and
// refuses anything else with an Oracle-style error, never guessing. Names: unquoted
// identifiers are upper-cased and quoted (so OBJ# and V$LOG survive), quoted ones keep
// their case; a table owner.name / "owner"."name" becomes the one SQLite table
// "OWNER.NAME"; a bare table name is "<current schema>.NAME" when that table exists,
// else "NAME". Placeholders :n become ?k by order of appearance (OCI binds by position);
// "rownum < n" becomes a LIMIT; "returning rowid into :n" becomes RETURNING rowid with an
// output bind; nvl and bitand are SQL functions registered on every connection.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/oci/sim.h"

namespace orasim {

namespace {

enum TokType { kIdent, kQIdent, kString, kNumber, kBindTok, kOp, kEnd };

struct Tok {
  TokType t;
  std::string s;  // kIdent upper-cased; kQIdent without quotes; others as written
};

bool ident_char(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '#' || c == '$'; }

int tokenize(const std::string &in, std::vector<Tok> *out, std::string *detail) {
  size_t i = 0, n = in.size();
  while (i < n) {
    char c = in[i];
    if (isspace(static_cast<unsigned char>(c))) {
      i++;
      continue;
    }
    if (c == '-' && i + 1 < n && in[i + 1] == '-') {
      while (i < n && in[i] != '\n') i++;
      continue;
    }
    if (c == '/' && i + 1 < n && in[i + 1] == '*') {
      size_t e = in.find("*/", i + 2);
      if (e == std::string::npos) {
        *detail = "unterminated comment";
        return 900;
      }
      i = e + 2;
      continue;
    }
    if (isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t b = i;
      while (i < n && ident_char(in[i])) i++;
      std::string w = in.substr(b, i - b);
      for (char &ch : w) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
      out->push_back({kIdent, w});
      continue;
    }
    if (c == '"') {
      size_t e = in.find('"', i + 1);
      if (e == std::string::npos || e == i + 1) {
        *detail = "bad quoted identifier";
        return 1740;
      }
      out->push_back({kQIdent, in.substr(i + 1, e - i - 1)});
      i = e + 1;
      continue;
    }
    if (c == '\'') {
      size_t b = i++;
      for (;;) {
        if (i >= n) {
          *detail = "unterminated string";
          return 1756;
        }
        if (in[i] == '\'') {
          if (i + 1 < n && in[i + 1] == '\'') {
            i += 2;
            continue;
          }
          i++;
          break;
        }
        i++;
      }
      out->push_back({kString, in.substr(b, i - b)});
      continue;
    }
    if (isdigit(static_cast<unsigned char>(c)) ||
        (c == '.' && i + 1 < n && isdigit(static_cast<unsigned char>(in[i + 1])))) {
      size_t b = i;
      while (i < n && (isdigit(static_cast<unsigned char>(in[i])) || in[i] == '.')) i++;
      if (i < n && (in[i] == 'e' || in[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (in[j] == '+' || in[j] == '-')) j++;
        if (j < n && isdigit(static_cast<unsigned char>(in[j]))) {
          i = j;
          while (i < n && isdigit(static_cast<unsigned char>(in[i]))) i++;
        }
      }
      out->push_back({kNumber, in.substr(b, i - b)});
      continue;
    }
    if (c == ':') {
      size_t b = ++i;
      while (i < n && (isalnum(static_cast<unsigned char>(in[i])) || in[i] == '_')) i++;
      if (i == b) {
        *detail = "bad bind variable";
        return 1036;
      }
      out->push_back({kBindTok, in.substr(b, i - b)});
      continue;
    }
    static const char *const two[] = {"<=", ">=", "<>", "!=", "||", "^="};
    bool done = false;
    for (const char *t : two) {
      if (in.compare(i, 2, t) == 0) {
        out->push_back({kOp, std::string(t) == "^=" ? "<>" : t});
        i += 2;
        done = true;
        break;
      }
    }
    if (done) continue;
    if (strchr(",().=<>+-*/;%", c) != nullptr) {
      if (c == ';') {
        i++;
        continue;
      }  // a trailing terminator is harmless
      out->push_back({kOp, std::string(1, c)});
      i++;
      continue;
    }
    *detail = std::string("unexpected character '") + c + "'";
    return 911;
  }
  out->push_back({kEnd, ""});
  return 0;
}

const char *const kKeywords[] = {
    "SELECT",    "FROM",       "WHERE",   "AND",    "OR",       "NOT",   "NULL",     "IS",         "IN",     "AS",
    "ORDER",     "BY",         "GROUP",   "HAVING", "ASC",      "DESC",  "DISTINCT", "ALL",        "UNION",  "MINUS",
    "INTERSECT", "INSERT",     "INTO",    "VALUES", "UPDATE",   "SET",   "DELETE",   "RETURNING",  "CREATE", "TABLE",
    "DROP",      "LIKE",       "BETWEEN", "EXISTS", "CASE",     "WHEN",  "THEN",     "ELSE",       "END",    "JOIN",
    "ON",        "INNER",      "LEFT",    "RIGHT",  "OUTER",    "CROSS", "FOR",      "PRIMARY",    "KEY",    "UNIQUE",
    "DEFAULT",   "CONSTRAINT", "CHECK",   "ESCAPE", "TRUNCATE", "PURGE", "CASCADE",  "CONSTRAINTS"};

bool is_keyword(const std::string &w) {
  for (const char *k : kKeywords)
    if (w == k) return true;
  return false;
}

// v between q characters, a q inside doubled: a SQLite identifier or string literal.
std::string enclose(const std::string &v, char q) {
  std::string r(1, q);
  for (char c : v) {
    if (c == q) r += q;
    r += c;
  }
  return r + q;
}
std::string quote(const std::string &name) { return enclose(name, '"'); }
std::string lit(const std::string &v) { return enclose(v, '\''); }

bool table_exists(sqlite3 *db, const std::string &name) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, "select 1 from sqlite_master where type in ('table','view') and name=?1", -1, &st,
                         nullptr) != SQLITE_OK)
    return false;
  sqlite3_bind_text(st, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  bool found = sqlite3_step(st) == SQLITE_ROW;
  sqlite3_finalize(st);
  return found;
}

struct Translator {
  const std::vector<Tok> &tk;
  const std::string &schema;
  sqlite3 *db;
  Translated *out;
  std::string *detail;
  size_t i = 0;
  std::string sql;
  int nbind = 0;    // placeholders seen, in order
  long limit = -1;  // from rownum
  bool for_update = false;
  size_t from_pos = std::string::npos;  // where the first top-level FROM was written
  std::string from_table;
  int ntables = 0;

  const Tok &cur() const { return tk[i]; }
  const Tok &peek(size_t k = 1) const { return tk[std::min(i + k, tk.size() - 1)]; }
  bool is(const char *kw) const { return cur().t == kIdent && cur().s == kw; }
  bool is_op(const char *op) const { return cur().t == kOp && cur().s == op; }
  void emit(const std::string &s) {
    if (!sql.empty()) {
      char last = sql.back();
      if (!(last == '(' || last == '.' || last == ' ' || s == ")" || s == "," || s == ".")) sql += ' ';
    }
    sql += s;
  }

  int refuse(int code, const std::string &why) {
    *detail = why;
    return code;
  }

  // The SQLite table of owner a, table b, or of table a when b is empty; out->owner and
  // out->name take the Oracle names.
  std::string resolve(const std::string &a, const std::string &b) {
    if (!b.empty()) {
      out->owner = a;
      out->name = b;
      return a + "." + b;
    }
    std::string with_schema = schema + "." + a;
    out->owner = schema;
    out->name = a;
    return (!schema.empty() && table_exists(db, with_schema)) || !table_exists(db, a) ? with_schema : a;
  }

  // a or a.b, quoted or not.
  int dotted(std::string *a, std::string *b, const char *why) {
    if (cur().t != kIdent && cur().t != kQIdent) return refuse(903, why);
    *a = cur().s;
    b->clear();
    i++;
    if (!is_op(".")) return 0;
    i++;
    if (cur().t != kIdent && cur().t != kQIdent) return refuse(903, why);
    *b = cur().s;
    i++;
    return 0;
  }

  // [owner.]name of a new or named object; the owner is the current schema when absent.
  int object_name(std::string *owner, std::string *name) {
    std::string a, b;
    if (int rc = dotted(&a, &b, "invalid name")) return rc;
    *owner = b.empty() ? schema : a;
    *name = b.empty() ? a : b;
    return 0;
  }

  // [owner.]table of an existing table: its SQLite name, owner and name in out.
  int table_name(std::string *table) {
    std::string a, b;
    if (int rc = dotted(&a, &b, "invalid table name")) return rc;
    *table = resolve(a, b);
    out->table = *table;
    return 0;
  }

  // An integer literal with its sign.
  int signed_number(std::string *v) {
    std::string sign;
    if (is_op("-") || is_op("+")) {
      if (is_op("-")) sign = "-";
      i++;
    }
    if (cur().t != kNumber) return refuse(1722, "");
    *v = sign + cur().s;
    i++;
    return 0;
  }

  void step(const std::string &q, int none = 0) { out->steps.push_back({q, none}); }

  // owner.name | name, quoted or not, and an optional alias. Emits the SQLite table.
  int table_ref(bool allow_alias, std::string *resolved = nullptr) {
    if (cur().t != kIdent && cur().t != kQIdent) return refuse(903, "invalid table name");
    if (cur().t == kIdent && is_keyword(cur().s)) return refuse(903, "invalid table name");
    std::string a, b;
    if (int rc = dotted(&a, &b, "invalid table name")) return rc;
    std::string name = b.empty() && a == "DUAL" ? "" : resolve(a, b);
    // A target that never had a sequence still answers the sequence query (no rows).
    if ((name == "SYS.SEQ$" || name == "SYS.OBJ$" || name == "SYS.USER$") && !table_exists(db, name))
      ensure_dictionary(db);
    if (resolved != nullptr) *resolved = name;
    if (name.empty()) {  // "from dual": SQLite selects without a table
      if (sql.size() >= 4 && sql.compare(sql.size() - 4, 4, "FROM") == 0) sql.resize(sql.size() - 5);
    } else {
      emit(quote(name));
    }
    if (allow_alias && cur().t == kIdent && !is_keyword(cur().s) && cur().s != "ROWNUM") {
      emit(quote(cur().s));
      i++;
    } else if (allow_alias && cur().t == kQIdent) {
      emit(quote(cur().s));
      i++;
    }
    return 0;
  }

  // The general stream up to the end or a stop keyword at depth 0.
  int stream(const std::vector<std::string> &stops) {
    int depth = 0;
    while (cur().t != kEnd) {
      const Tok &t = cur();
      if (depth == 0 && t.t == kIdent) {
        for (const std::string &s : stops)
          if (t.s == s) return 0;
      }
      if (t.t == kOp) {
        if (t.s == "(") depth++;
        if (t.s == ")") {
          if (depth == 0) return 0;
          depth--;
        }
        emit(t.s);
        i++;
        continue;
      }
      if (t.t == kString || t.t == kNumber) {
        emit(t.s);
        i++;
        continue;
      }
      if (t.t == kBindTok) {
        emit("?" + std::to_string(++nbind));
        i++;
        continue;
      }
      // [owner.]sequence.NEXTVAL: the next value, handed out by KS_NEXTVAL.
      if (t.t == kIdent || t.t == kQIdent) {
        bool own = peek(2).t != kEnd && peek(3).t == kOp && peek(3).s == "." && peek(4).t == kIdent &&
                   peek(4).s == "NEXTVAL" && peek().t == kOp && peek().s == ".";
        bool bare = !own && peek().t == kOp && peek().s == "." && peek(2).t == kIdent && peek(2).s == "NEXTVAL";
        if (own || bare) {
          std::string owner = own ? t.s : schema, name = own ? peek(2).s : t.s;
          emit("KS_NEXTVAL(" + lit(owner) + ", " + lit(name) + ")");
          i += own ? 5 : 3;
          continue;
        }
      }
      if (t.t == kQIdent) {
        emit(quote(t.s));
        i++;
        continue;
      }
      // Identifiers and keywords.
      if (t.s == "FROM" || t.s == "JOIN") {
        bool first = t.s == "FROM" && depth == 0 && from_pos == std::string::npos;
        size_t at = sql.size();
        emit(t.s);
        i++;
        ntables++;
        if (is_op("(")) continue;  // a subquery
        std::string name;
        int rc = table_ref(true, first ? &name : nullptr);
        if (rc) return rc;
        if (first) {
          from_pos = at;
          from_table = name;
        }
        while (t.s == "FROM" && is_op(",")) {
          emit(",");
          i++;
          ntables++;
          if ((rc = table_ref(true)) != 0) return rc;
        }
        continue;
      }
      if (t.s == "ROWNUM") {
        i++;
        std::string op = cur().t == kOp ? cur().s : "";
        if ((op == "<" || op == "<=" || op == "=") && peek().t == kNumber) {
          long n = atol(peek().s.c_str());
          long lim = op == "<" ? n - 1 : (op == "=" ? (n == 1 ? 1 : 0) : n);
          if (lim < 0) lim = 0;
          if (limit < 0 || lim < limit) limit = lim;
          i += 2;
          emit("1=1");
          continue;
        }
        return refuse(3001, "only rownum < n, rownum <= n and rownum = 1 are supported");
      }
      if (t.s == "FOR" && peek().t == kIdent && peek().s == "UPDATE") {
        for_update = true;  // SQLite serialises writers; the row lock is implicit
        i += 2;
        continue;
      }
      if (t.s == "MINUS") {
        emit("EXCEPT");
        i++;
        continue;
      }
      if (t.s == "ROWID") {
        emit("rowid");
        i++;
        continue;
      }
      if (t.s == "SYSDATE") {
        emit("strftime('%Y-%m-%d %H:%M:%S','now')");
        i++;
        continue;
      }
      if (t.s == "NEXTVAL" || t.s == "CURRVAL" || t.s == "CONNECT" || t.s == "PRIOR" || t.s == "START")
        return refuse(3001, "unsupported construct " + t.s);
      if (is_keyword(t.s) || (peek().t == kOp && peek().s == "(")) {
        emit(t.s);  // keyword or function name
        i++;
        continue;
      }
      emit(quote(t.s));
      i++;
    }
    return 0;
  }

  int returning(std::string *ret_sql) {
    // RETURNING rowid INTO :n
    i++;
    if (!is("ROWID")) return refuse(3001, "only RETURNING ROWID INTO is supported");
    i++;
    if (!is("INTO")) return refuse(925, "missing INTO keyword");
    i++;
    if (cur().t != kBindTok) return refuse(1036, "missing bind variable after INTO");
    out->returning_pos = ++nbind;
    i++;
    *ret_sql = " RETURNING rowid";
    return 0;
  }

  int select() {
    int rc = stream({});
    if (rc) return rc;
    if (cur().t != kEnd) return refuse(933, "unexpected ')'");
    if (for_update && ntables == 1 && from_pos != std::string::npos && !from_table.empty()) {
      // The row id goes last, so select-list positions stay those of the statement.
      sql.insert(from_pos, ", rowid AS \"KS$ROWID\"");
      out->lob_table = quote(from_table);
      out->rowid_last = true;
    }
    if (limit >= 0) sql += " LIMIT " + std::to_string(limit);
    out->kind = kSelect;
    return 0;
  }

  int insert() {
    emit("INSERT");
    i++;
    if (!is("INTO")) return refuse(925, "missing INTO keyword");
    emit("INTO");
    i++;
    int rc = table_ref(false);
    if (rc) return rc;
    rc = stream({"RETURNING"});
    if (rc) return rc;
    std::string ret;
    if (is("RETURNING") && (rc = returning(&ret)) != 0) return rc;
    if (cur().t != kEnd) return refuse(933, "SQL command not properly ended");
    sql += ret;
    out->kind = kInsert;
    return 0;
  }

  // UPDATE t SET ... WHERE c [RETURNING] and DELETE FROM t WHERE c [RETURNING]. With a
  // rownum limit the row is chosen by a subquery, since SQLite's UPDATE has no LIMIT here.
  int update_delete(bool is_update) {
    std::string table;
    int rc;
    if (is_update) {
      emit("UPDATE");
      i++;
      if ((rc = table_ref(false, &table)) != 0) return rc;
      if (cur().t == kIdent && !is_keyword(cur().s)) return refuse(3001, "table aliases in UPDATE are not supported");
      if (!is("SET")) return refuse(971, "missing SET keyword");
      if ((rc = stream({"WHERE", "RETURNING"})) != 0) return rc;
    } else {
      emit("DELETE");
      i++;
      if (is("FROM")) i++;
      emit("FROM");
      if ((rc = table_ref(false, &table)) != 0) return rc;
      if (cur().t == kIdent && !is_keyword(cur().s)) return refuse(3001, "table aliases in DELETE are not supported");
    }
    std::string head = sql, cond;
    if (is("WHERE")) {
      i++;
      sql.clear();
      if ((rc = stream({"RETURNING"})) != 0) return rc;
      cond = sql;
    }
    std::string ret;
    if (is("RETURNING") && (rc = returning(&ret)) != 0) return rc;
    if (cur().t != kEnd) return refuse(933, "SQL command not properly ended");
    sql = head;
    if (limit >= 0) {
      sql += " WHERE rowid IN (SELECT rowid FROM " + quote(table) + (cond.empty() ? "" : " WHERE " + cond) + " LIMIT " +
             std::to_string(limit) + ")";
    } else if (!cond.empty()) {
      sql += " WHERE " + cond;
    }
    sql += ret;
    out->kind = is_update ? kUpdate : kDelete;
    return 0;
  }

  // Declared types keep SQLite from converting what is bound: a NUMBER column has none,
  // so an exact decimal bound as text is not rounded to a double by numeric affinity.
  static std::string sqlite_type(const std::string &t) {
    if (t == "NUMBER" || t == "INTEGER" || t == "INT" || t == "SMALLINT" || t == "FLOAT" || t == "DECIMAL" ||
        t == "NUMERIC")
      return "";
    if (t == "BINARY_FLOAT" || t == "BINARY_DOUBLE") return "REAL";
    if (t == "RAW" || t == "BLOB" || t == "LONG RAW") return "BLOB";
    return "TEXT";
  }

  // A column definition at the cursor: name, type and length, then its clauses up to
  // the next ',' or ')' of this level. *def is the SQLite text. Adding a column keeps
  // only its DEFAULT clause, since SQLite adds no column with other constraints; the
  // nullability is in the catalogue either way.
  int column_def(ColDef *col, std::string *def, bool adding) {
    if (cur().t != kIdent && cur().t != kQIdent) return refuse(904, "invalid column name");
    col->name = cur().s;
    i++;
    if (cur().t != kIdent) return refuse(902, "invalid datatype");
    if (int rc = column_type(col)) return rc;
    *def = quote(col->name);
    std::string stype = sqlite_type(col->type);
    if (!stype.empty()) *def += " " + stype;
    int depth = 0;
    while (cur().t != kEnd && !(depth == 0 && (is_op(",") || is_op(")")))) {
      // A primary key column is NOT NULL as well.
      if ((is("NOT") || is("PRIMARY")) && peek().t == kIdent && (peek().s == "NULL" || peek().s == "KEY"))
        col->nullable = false;
      if (adding) {
        if (is("DEFAULT")) {
          i++;
          std::string v;
          if (cur().t == kString) {
            v = cur().s;
            i++;
          } else if (int rc = signed_number(&v)) {
            return rc;
          }
          *def += " DEFAULT " + v;
          continue;
        }
      } else {
        if (is_op("(")) depth++;
        if (is_op(")")) depth--;
        *def += " " + (cur().t == kQIdent ? quote(cur().s) : cur().s);
      }
      i++;
    }
    return 0;
  }

  // The type at the cursor with its length, as the catalogue records it.
  int column_type(ColDef *col) {
    col->type = cur().s;
    i++;
    if (col->type == "LONG" && is("RAW")) {
      col->type = "LONG RAW";
      i++;
    }
    if (is_op("(")) {
      i++;
      if (cur().t == kNumber) col->length = atol(cur().s.c_str());
      while (cur().t != kEnd && !is_op(")")) i++;
      if (!is_op(")")) return refuse(907, "missing right parenthesis");
      i++;
      if (is("BYTE") || is("CHAR")) i++;
    }
    if (col->type == "NUMBER" || col->type == "INTEGER") col->length = 22;
    if (col->type == "DATE") col->length = 7;
    if (col->type == "TIMESTAMP") col->length = 11;
    return 0;
  }

  std::string catalogue_row(const ColDef &c, const std::string &id) {
    return "INSERT INTO \"KS$COLUMNS\" SELECT " + lit(out->owner) + ", " + lit(out->name) + ", " + lit(c.name) + ", " +
           id + ", " + lit(c.type) + ", " + std::to_string(c.length) + ", " + (c.nullable ? "'Y'" : "'N'");
  }
  std::string of_table() const { return " WHERE OWNER = " + lit(out->owner) + " AND TABLE_NAME = " + lit(out->name); }

  int create() {
    i++;
    bool unique = false;
    bool replace = is("OR") && peek().t == kIdent && peek().s == "REPLACE";
    if (replace) i += 2;
    if (is("EDITIONABLE") || is("NONEDITIONABLE")) i++;
    if (is("TRIGGER")) return create_trigger(replace);
    if (replace) return refuse(3001, "CREATE OR REPLACE is served for triggers only");
    if (is("UNIQUE") || is("BITMAP")) {
      unique = is("UNIQUE");
      i++;
    }
    if (is("INDEX")) return create_index(unique);
    if (is("SEQUENCE")) return sequence(0);
    if (!is("TABLE")) return refuse(3001, "only CREATE TABLE, INDEX and SEQUENCE are supported");
    i++;
    emit("CREATE TABLE");
    // A new table always goes into the named or the current schema.
    std::string owner, name;
    if (int rc = object_name(&owner, &name)) return rc;
    out->owner = owner;
    out->name = name;
    out->table = owner + "." + name;
    emit(quote(out->table));
    if (!is_op("(")) return refuse(906, "missing left parenthesis");
    i++;
    emit("(");
    bool first = true;
    while (true) {
      if (cur().t != kIdent && cur().t != kQIdent) return refuse(904, "invalid column name");
      if (!first) emit(",");
      if (cur().t == kIdent && (cur().s == "CONSTRAINT" || cur().s == "PRIMARY" || cur().s == "UNIQUE")) {
        // A table constraint: pass it through as written.
        int depth = 0;
        while (cur().t != kEnd && !(depth == 0 && (is_op(",") || is_op(")")))) {
          if (is_op("(")) depth++;
          if (is_op(")")) depth--;
          emit(cur().t == kQIdent ? quote(cur().s) : cur().s);
          i++;
        }
      } else {
        ColDef col;
        std::string def;
        if (int rc = column_def(&col, &def, false)) return rc;
        emit(def);
        out->cols.push_back(col);
      }
      first = false;
      if (is_op(",")) {
        i++;
        continue;
      }
      if (is_op(")")) {
        i++;
        break;
      }
      return refuse(907, "missing right parenthesis");
    }
    emit(")");
    // Physical attributes (storage, tablespace, cache, logging ...) mean nothing here.
    int id = 0;
    for (const ColDef &c : out->cols) step(catalogue_row(c, std::to_string(++id)));
    out->kind = kCreate;
    return 0;
  }

  // CREATE [UNIQUE] INDEX [owner.]name ON table (columns or expressions); physical
  // attributes after the list mean nothing here.
  int create_index(bool unique) {
    i++;
    std::string owner, name, table;
    if (int rc = object_name(&owner, &name)) return rc;
    if (!is("ON")) return refuse(969, "missing ON keyword");
    i++;
    if (int rc = table_name(&table)) return rc;
    if (!is_op("(")) return refuse(906, "missing left parenthesis");
    sql.clear();
    i++;
    if (int rc = stream({})) return rc;
    if (!is_op(")")) return refuse(907, "missing right parenthesis");
    step(std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX " + quote(owner + "." + name) + " ON " +
         quote(table) + " (" + sql + ")");
    sql.clear();
    return ddl_done(true);
  }

  // A trigger is recorded with its table and status; its body is not run here, which is
  // what a replication target wants anyway (the trigger's work arrives through the
  // trail, and replay disables a replicated trigger).
  int create_trigger(bool replace) {
    i++;
    std::string owner, name, table;
    if (int rc = object_name(&owner, &name)) return rc;
    int depth = 0;
    while (cur().t != kEnd && !(depth == 0 && is("ON"))) {
      if (is_op("(")) depth++;
      if (is_op(")")) depth--;
      i++;
    }
    if (!is("ON")) return refuse(969, "missing ON keyword");
    i++;
    if (int rc = table_name(&table)) return rc;
    std::string key = " WHERE OWNER = " + lit(owner) + " AND TRIGGER_NAME = " + lit(name);
    if (replace) step("DELETE FROM \"KS$TRIGGERS\"" + key);
    step("INSERT INTO \"KS$TRIGGERS\" (OWNER, TRIGGER_NAME, TABLE_OWNER, TABLE_NAME, STATUS) SELECT " + lit(owner) +
             ", " + lit(name) + ", " + lit(out->owner) + ", " + lit(out->name) +
             ", 'ENABLED' WHERE NOT EXISTS (SELECT 1 FROM \"KS$TRIGGERS\"" + key + ")",
         4081);
    return ddl_done(true);
  }

  // Sequences live in SYS.OBJ$ / SYS.SEQ$, laid out as the simulated source keeps them;
  // HIGHWATER is the next value NEXTVAL hands out.
  int sequence(int what) {  // 0 create, 1 alter, 2 drop
    i++;
    std::string owner, name;
    if (int rc = object_name(&owner, &name)) return rc;
    std::string obj =
        "(SELECT o.\"OBJ#\" FROM \"SYS.OBJ$\" o JOIN \"SYS.USER$\" u ON u.\"USER#\" = o.\"OWNER#\" "
        "WHERE u.\"NAME\" = " +
        lit(owner) + " AND o.\"NAME\" = " + lit(name) + " AND o.\"TYPE#\" = 6)";
    if (what == 2) {
      step("DELETE FROM \"SYS.SEQ$\" WHERE \"OBJ#\" = " + obj, 2289);
      step("DELETE FROM \"SYS.OBJ$\" WHERE \"OBJ#\" = " + obj);
      return ddl_done(false);
    }
    std::string inc, start, minv, maxv, cyc, cache;
    while (cur().t == kIdent) {
      std::string w = cur().s;
      i++;
      int rc = 0;
      if (w == "INCREMENT" && is("BY")) {
        i++;
        rc = signed_number(&inc);
      } else if ((w == "START" || w == "RESTART") && is("WITH")) {
        i++;
        rc = signed_number(&start);
      } else if (w == "MINVALUE") {
        rc = signed_number(&minv);
      } else if (w == "MAXVALUE") {
        rc = signed_number(&maxv);
      } else if (w == "CACHE") {
        rc = signed_number(&cache);
      } else if (w == "NOMINVALUE" || w == "NOMAXVALUE") {
        (w == "NOMINVALUE" ? minv : maxv) = "-";  // the default of its direction
      } else if (w == "CYCLE" || w == "NOCYCLE") {
        cyc = w == "CYCLE" ? "1" : "0";
      } else if (w == "NOCACHE") {
        cache = "0";
      } else if (w != "ORDER" && w != "NOORDER" && w != "KEEP" && w != "NOKEEP" && w != "SCALE" && w != "NOSCALE" &&
                 w != "SESSION" && w != "GLOBAL" && w != "RESTART") {
        rc = refuse(933, "SQL command not properly ended");
      }
      if (rc) return rc;
    }
    bool desc = !inc.empty() && inc[0] == '-';
    const char *kMax = "9999999999999999999999999999", *kMin = "-999999999999999999999999999";
    if (minv == "-") minv = desc ? kMin : "1";
    if (maxv == "-") maxv = desc ? "-1" : kMax;
    if (what == 1) {
      std::string set;
      auto put = [&](const char *col, const std::string &v) {
        if (!v.empty()) set += (set.empty() ? "" : ", ") + std::string(col) + " = " + v;
      };
      put("\"INCREMENT$\"", inc);
      put("\"MINVALUE\"", minv);
      put("\"MAXVALUE\"", maxv.empty() ? "" : lit(maxv));
      put("\"CYCLE#\"", cyc);
      put("\"CACHE\"", cache);
      put("\"HIGHWATER\"", start);
      if (set.empty()) return refuse(2286, "");
      step("UPDATE \"SYS.SEQ$\" SET " + set + " WHERE \"OBJ#\" = " + obj, 2289);
      return ddl_done(false);
    }
    if (inc.empty()) inc = "1";
    if (minv.empty()) minv = desc ? kMin : "1";
    if (maxv.empty()) maxv = desc ? "-1" : kMax;
    if (start.empty()) start = desc ? maxv : minv;
    step("INSERT INTO \"SYS.USER$\" (\"USER#\", \"NAME\", \"TYPE#\") SELECT n, " + lit(owner) +
         ", 1 FROM (SELECT COALESCE(MAX(\"USER#\"), 0) + 1 AS n FROM \"SYS.USER$\") WHERE NOT EXISTS (SELECT 1 FROM "
         "\"SYS.USER$\" WHERE \"NAME\" = " +
         lit(owner) + ")");
    step(
        "INSERT INTO \"SYS.OBJ$\" (\"OBJ#\", \"OWNER#\", \"NAME\", \"NAMESPACE\", \"TYPE#\", \"CTIME\", \"STATUS\", "
        "\"FLAGS\") SELECT (SELECT COALESCE(MAX(\"OBJ#\"), 0) + 1 FROM \"SYS.OBJ$\"), u.\"USER#\", " +
            lit(name) + ", 1, 6, strftime('%Y-%m-%d %H:%M:%S', 'now'), 1, 0 FROM \"SYS.USER$\" u WHERE u.\"NAME\" = " +
            lit(owner) + " AND " + obj + " IS NULL",
        955);
    step(
        "INSERT INTO \"SYS.SEQ$\" (\"OBJ#\", \"INCREMENT$\", \"MINVALUE\", \"MAXVALUE\", \"CYCLE#\", \"ORDER$\", "
        "\"CACHE\", \"HIGHWATER\", \"FLAGS\") VALUES (" +
        obj + ", " + inc + ", " + minv + ", " + lit(maxv) + ", " + (cyc.empty() ? "0" : cyc) + ", 0, " +
        (cache.empty() ? "20" : cache) + ", " + start + ", 0)");
    return ddl_done(false);
  }

  // The end of a DDL whose work is in its steps; `attributes`: words after it are
  // physical attributes, skipped.
  int ddl_done(bool attributes) {
    if (attributes)
      while (cur().t != kEnd) i++;
    if (cur().t != kEnd) return refuse(933, "SQL command not properly ended");
    sql = "SELECT 1";
    out->kind = kAlter;
    return 0;
  }

  int alter() {
    i++;
    if (is("SEQUENCE")) return sequence(1);
    if (is("TRIGGER")) {
      i++;
      std::string owner, name;
      if (int rc = object_name(&owner, &name)) return rc;
      std::string status = is("DISABLE") ? "'DISABLED'" : is("ENABLE") ? "'ENABLED'" : is("COMPILE") ? "STATUS" : "";
      if (status.empty()) return refuse(933, "SQL command not properly ended");
      i++;
      step("UPDATE \"KS$TRIGGERS\" SET STATUS = " + status + " WHERE OWNER = " + lit(owner) +
               " AND TRIGGER_NAME = " + lit(name),
           4080);
      return ddl_done(false);
    }
    if (!is("TABLE")) return refuse(3001, "only ALTER TABLE, SEQUENCE and TRIGGER are supported");
    i++;
    std::string table;
    if (int rc = table_name(&table)) return rc;
    std::string qt = quote(table);
    if (is("ADD")) {
      i++;
      bool paren = is_op("(");
      if (paren) i++;
      if (is("CONSTRAINT") || is("PRIMARY") || is("UNIQUE") || is("FOREIGN") || is("CHECK"))
        return refuse(3001, "constraints are not kept by this library");
      do {
        if (is_op(",")) i++;
        ColDef c;
        std::string def;
        if (int rc = column_def(&c, &def, true)) return rc;
        step("ALTER TABLE " + qt + " ADD COLUMN " + def);
        step(catalogue_row(c, "COALESCE(MAX(COLUMN_ID), 0) + 1") + " FROM \"KS$COLUMNS\"" + of_table());
      } while (paren && is_op(","));
      if (paren && !is_op(")")) return refuse(907, "missing right parenthesis");
      if (paren) i++;
    } else if (is("MODIFY")) {
      i++;
      bool paren = is_op("(");
      if (paren) i++;
      do {
        if (is_op(",")) i++;
        if (cur().t != kIdent && cur().t != kQIdent) return refuse(904, "invalid column name");
        ColDef c;
        c.name = cur().s;
        i++;
        std::string set;
        if (cur().t == kIdent && !is("NOT") && !is("NULL") && !is("DEFAULT") && !is("CONSTRAINT")) {
          if (int rc = column_type(&c)) return rc;
          set = "DATA_TYPE = " + lit(c.type) + ", DATA_LENGTH = " + std::to_string(c.length);
        }
        while (cur().t != kEnd && !is_op(",") && !is_op(")")) {
          bool not_null = is("NOT") && peek().t == kIdent && peek().s == "NULL";
          if (is("NULL") || not_null)
            set += std::string(set.empty() ? "" : ", ") + "NULLABLE = " + (not_null ? "'N'" : "'Y'");
          i += not_null ? 2 : 1;
        }
        // The column must exist in the table itself, whatever the catalogue holds (named
        // with its table, or SQLite would read an unknown one as a string).
        step("SELECT " + qt + "." + quote(c.name) + " FROM " + qt + " LIMIT 0");
        if (!set.empty()) step("UPDATE \"KS$COLUMNS\" SET " + set + of_table() + " AND COLUMN_NAME = " + lit(c.name));
      } while (paren && is_op(","));
      if (paren && !is_op(")")) return refuse(907, "missing right parenthesis");
      if (paren) i++;
    } else if (is("DROP") || (is("SET") && peek().t == kIdent && peek().s == "UNUSED")) {
      // A column set unused is gone for every statement: the target drops it.
      i += is("DROP") ? 1 : 2;
      std::vector<std::string> names;
      if (is("COLUMN")) {
        i++;
        if (cur().t != kIdent && cur().t != kQIdent) return refuse(904, "invalid column name");
        names.push_back(cur().s);
        i++;
      } else if (is_op("(")) {
        i++;
        while (cur().t == kIdent || cur().t == kQIdent) {
          names.push_back(cur().s);
          i++;
          if (!is_op(",")) break;
          i++;
        }
        if (!is_op(")")) return refuse(907, "missing right parenthesis");
        i++;
      } else {
        return refuse(3001, "constraints are not kept by this library");
      }
      for (const std::string &c : names) {
        step("ALTER TABLE " + qt + " DROP COLUMN " + quote(c));
        step("UPDATE \"KS$COLUMNS\" SET COLUMN_ID = COLUMN_ID - 1" + of_table() +
             " AND COLUMN_ID > (SELECT COLUMN_ID FROM \"KS$COLUMNS\"" + of_table() + " AND COLUMN_NAME = " + lit(c) +
             ")");
        step("DELETE FROM \"KS$COLUMNS\"" + of_table() + " AND COLUMN_NAME = " + lit(c));
      }
      while (is("CASCADE") || is("CONSTRAINTS") || is("CHECKPOINT") || cur().t == kNumber) i++;
    } else if (is("RENAME")) {
      i++;
      if (is("TO")) {
        i++;
        return rename_table(qt);
      }
      if (!is("COLUMN")) return refuse(3001, "only RENAME TO and RENAME COLUMN are supported");
      i++;
      if (cur().t != kIdent && cur().t != kQIdent) return refuse(904, "invalid column name");
      std::string from = cur().s;
      i++;
      if (!is("TO")) return refuse(946, "missing TO keyword");
      i++;
      if (cur().t != kIdent && cur().t != kQIdent) return refuse(904, "invalid column name");
      step("ALTER TABLE " + qt + " RENAME COLUMN " + quote(from) + " TO " + quote(cur().s));
      step("UPDATE \"KS$COLUMNS\" SET COLUMN_NAME = " + lit(cur().s) + of_table() + " AND COLUMN_NAME = " + lit(from));
      i++;
    } else {
      return refuse(3001, "only ADD, MODIFY, DROP, SET UNUSED and RENAME of columns are supported");
    }
    return ddl_done(false);
  }

  // The table named in out, whose SQLite table is qt, takes the name at the cursor in
  // the same schema.
  int rename_table(const std::string &qt) {
    if (cur().t != kIdent && cur().t != kQIdent) return refuse(903, "invalid table name");
    std::string to = cur().s;
    i++;
    step("ALTER TABLE " + qt + " RENAME TO " + quote(out->owner + "." + to));
    step("UPDATE \"KS$COLUMNS\" SET TABLE_NAME = " + lit(to) + of_table());
    return ddl_done(false);
  }

  // RENAME old TO new, in the current schema.
  int rename() {
    i++;
    std::string table;
    if (int rc = table_name(&table)) return rc;
    if (!is("TO")) return refuse(946, "missing TO keyword");
    i++;
    return rename_table(quote(table));
  }

  int drop() {
    i++;
    if (is("INDEX")) {
      i++;
      std::string owner, name;
      if (int rc = object_name(&owner, &name)) return rc;
      step("DROP INDEX " + quote(owner + "." + name));
      return ddl_done(true);
    }
    if (is("SEQUENCE")) return sequence(2);
    if (is("TRIGGER")) {
      i++;
      std::string owner, name;
      if (int rc = object_name(&owner, &name)) return rc;
      step("DELETE FROM \"KS$TRIGGERS\" WHERE OWNER = " + lit(owner) + " AND TRIGGER_NAME = " + lit(name), 4080);
      return ddl_done(false);
    }
    if (!is("TABLE")) return refuse(3001, "only DROP TABLE, INDEX, SEQUENCE and TRIGGER are supported");
    i++;
    emit("DROP TABLE");
    std::string table;
    int rc = table_ref(false, &table);
    if (rc) return rc;
    out->table = table;
    while (is("PURGE") || is("CASCADE") || is("CONSTRAINTS")) i++;
    if (cur().t != kEnd) return refuse(933, "SQL command not properly ended");
    step("DELETE FROM \"KS$COLUMNS\" WHERE OWNER || '.' || TABLE_NAME = " + lit(table));
    out->kind = kDrop;
    return 0;
  }

  // TRUNCATE is DDL: it commits what is open and is committed by itself.
  int truncate() {
    i++;
    if (!is("TABLE")) return refuse(3001, "only TRUNCATE TABLE is supported");
    i++;
    std::string table;
    if (int rc = table_name(&table)) return rc;
    step("DELETE FROM " + quote(table));
    while (is("DROP") || is("REUSE") || is("STORAGE") || is("ALL")) i++;
    return ddl_done(false);
  }

  int run() {
    if (cur().t != kIdent) return refuse(900, "");
    const std::string &w = cur().s;
    int rc;
    if (w == "SELECT" || w == "WITH")
      rc = select();
    else if (w == "INSERT")
      rc = insert();
    else if (w == "UPDATE")
      rc = update_delete(true);
    else if (w == "DELETE")
      rc = update_delete(false);
    else if (w == "CREATE")
      rc = create();
    else if (w == "DROP")
      rc = drop();
    else if (w == "TRUNCATE")
      rc = truncate();
    else if (w == "ALTER")
      rc = alter();
    else if (w == "RENAME")
      rc = rename();
    else if (w == "BEGIN" || w == "DECLARE" || w == "MERGE" || w == "LOCK" || w == "GRANT" || w == "COMMENT")
      rc = refuse(3001, w + " statements are not supported by this library");
    else
      rc = refuse(900, "");
    if (rc) return rc;
    out->sql = sql;
    out->ninput = out->returning_pos ? nbind - 1 : nbind;
    return 0;
  }
};

// nvl(a, b): b when a is NULL.
void fn_nvl(sqlite3_context *ctx, int, sqlite3_value **v) {
  sqlite3_result_value(ctx, sqlite3_value_type(v[0]) == SQLITE_NULL ? v[1] : v[0]);
}

// bitand(a, b) on integers; NULL in, NULL out.
void fn_bitand(sqlite3_context *ctx, int, sqlite3_value **v) {
  if (sqlite3_value_type(v[0]) == SQLITE_NULL || sqlite3_value_type(v[1]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  sqlite3_result_int64(ctx, sqlite3_value_int64(v[0]) & sqlite3_value_int64(v[1]));
}

// An error of a SQL function, carried to the caller as its Oracle text.
void fn_error(sqlite3_context *ctx, int code, const std::string &detail) {
  sqlite3_result_error(ctx, ora_message(code, detail).c_str(), -1);
}

// KS_NEXTVAL(owner, name): the sequence's next value, moving its high-water mark past it;
// at its limit a cycling sequence starts again from the other end.
void fn_nextval(sqlite3_context *ctx, int, sqlite3_value **v) {
  sqlite3 *db = sqlite3_context_db_handle(ctx);
  sqlite3_stmt *q = nullptr;
  const char *sel =
      "SELECT s.\"OBJ#\", s.\"INCREMENT$\", s.\"MINVALUE\", s.\"MAXVALUE\", s.\"CYCLE#\", s.\"HIGHWATER\" "
      "FROM \"SYS.SEQ$\" s JOIN \"SYS.OBJ$\" o ON o.\"OBJ#\" = s.\"OBJ#\" JOIN \"SYS.USER$\" u ON u.\"USER#\" = "
      "o.\"OWNER#\" WHERE u.\"NAME\" = ?1 AND o.\"NAME\" = ?2 AND o.\"TYPE#\" = 6";
  if (sqlite3_prepare_v2(db, sel, -1, &q, nullptr) != SQLITE_OK) {
    sqlite3_finalize(q);
    return fn_error(ctx, 2289, "");
  }
  sqlite3_bind_value(q, 1, v[0]);
  sqlite3_bind_value(q, 2, v[1]);
  if (sqlite3_step(q) != SQLITE_ROW) {
    sqlite3_finalize(q);
    return fn_error(ctx, 2289, "");
  }
  // Limits beyond 64 bits (the default MAXVALUE of 28 nines) are as good as none here.
  auto bound = [&](int col) {
    const char *t = reinterpret_cast<const char *>(sqlite3_column_text(q, col));
    return t != nullptr ? strtoll(t, nullptr, 10) : 0;
  };
  int64_t obj = sqlite3_column_int64(q, 0), inc = sqlite3_column_int64(q, 1);
  int64_t minv = bound(2), maxv = bound(3), val = sqlite3_column_int64(q, 5);
  bool cycle = sqlite3_column_int(q, 4) != 0;
  sqlite3_finalize(q);
  if (inc > 0 ? val > maxv : val < minv) {
    std::string name = reinterpret_cast<const char *>(sqlite3_value_text(v[0])) + std::string(".") +
                       reinterpret_cast<const char *>(sqlite3_value_text(v[1]));
    if (!cycle) return fn_error(ctx, 8004, name + ".NEXTVAL " + (inc > 0 ? "exceeds MAXVALUE" : "goes below MINVALUE"));
    val = inc > 0 ? minv : maxv;
  }
  int64_t next;
  if (__builtin_add_overflow(val, inc, &next)) next = inc > 0 ? INT64_MAX : INT64_MIN;
  std::string upd =
      "UPDATE \"SYS.SEQ$\" SET \"HIGHWATER\" = " + std::to_string(next) + " WHERE \"OBJ#\" = " + std::to_string(obj);
  if (sqlite3_exec(db, upd.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    return fn_error(ctx, 600, std::string("sqlite: ") + sqlite3_errmsg(db));
  sqlite3_result_int64(ctx, val);
}

// A trigger's body is PL/SQL, which the tokenizer does not read (":=", strings with
// anything in them): of a CREATE TRIGGER only the part before its first bind, string or
// semicolon is read, which holds the name, the event and the table.
std::string trigger_head(const std::string &text) {
  std::string words;
  for (size_t k = 0; k < text.size() && words.size() < 64; k++) {
    char c = static_cast<char>(toupper(static_cast<unsigned char>(text[k])));
    if (isspace(static_cast<unsigned char>(c))) {
      if (!words.empty() && words.back() != ' ') words += ' ';
    } else {
      words += c;
    }
  }
  for (const char *h : {"CREATE TRIGGER ", "CREATE OR REPLACE TRIGGER ", "CREATE EDITIONABLE TRIGGER ",
                        "CREATE OR REPLACE EDITIONABLE TRIGGER ", "CREATE NONEDITIONABLE TRIGGER ",
                        "CREATE OR REPLACE NONEDITIONABLE TRIGGER "})
    if (words.rfind(h, 0) == 0) return text.substr(0, text.find_first_of(":;'"));
  return text;
}

}  // namespace

void ensure_dictionary(sqlite3 *db) {
  // SYS.USER$, SYS.OBJ$ and SYS.SEQ$ have the columns the simulated source gives them, so
  // a database made by either side serves the other's queries.
  sqlite3_exec(db,
               "CREATE TABLE IF NOT EXISTS \"KS$COLUMNS\" (OWNER TEXT, TABLE_NAME TEXT, COLUMN_NAME TEXT, "
               "COLUMN_ID INTEGER, DATA_TYPE TEXT, DATA_LENGTH INTEGER, NULLABLE TEXT);"
               "CREATE TABLE IF NOT EXISTS \"KS$TRIGGERS\" (OWNER TEXT, TRIGGER_NAME TEXT, TABLE_OWNER TEXT, "
               "TABLE_NAME TEXT, STATUS TEXT);"
               "CREATE TABLE IF NOT EXISTS \"SYS.USER$\" (\"USER#\" INTEGER PRIMARY KEY, \"NAME\" TEXT, "
               "\"TYPE#\" INTEGER, \"CTIME\" TEXT);"
               "CREATE TABLE IF NOT EXISTS \"SYS.OBJ$\" (\"OBJ#\" INTEGER PRIMARY KEY, \"DATAOBJ#\" INTEGER, "
               "\"OWNER#\" INTEGER, \"NAME\" TEXT, \"NAMESPACE\" INTEGER, \"SUBNAME\" TEXT, \"TYPE#\" INTEGER, "
               "\"CTIME\" TEXT, \"MTIME\" TEXT, \"STIME\" TEXT, \"STATUS\" INTEGER, \"FLAGS\" INTEGER);"
               "CREATE TABLE IF NOT EXISTS \"SYS.SEQ$\" (\"OBJ#\" INTEGER PRIMARY KEY, \"INCREMENT$\" INTEGER, "
               "\"MINVALUE\" INTEGER, \"MAXVALUE\" TEXT, \"CYCLE#\" INTEGER, \"ORDER$\" INTEGER, \"CACHE\" "
               "INTEGER, \"HIGHWATER\" INTEGER, \"AUDIT$\" TEXT, \"FLAGS\" INTEGER);",
               nullptr, nullptr, nullptr);
}

void register_functions(sqlite3 *db) {
  sqlite3_create_function(db, "KS_NEXTVAL", 2, SQLITE_UTF8, nullptr, fn_nextval, nullptr, nullptr);
  sqlite3_create_function(db, "NVL", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, fn_nvl, nullptr, nullptr);
  sqlite3_create_function(db, "BITAND", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, fn_bitand, nullptr, nullptr);
}

int translate(const std::string &text, const std::string &schema, sqlite3 *db, Translated *out, std::string *detail) {
  *out = Translated();
  std::vector<Tok> tk;
  int rc = tokenize(trigger_head(text), &tk, detail);
  if (rc) return rc;
  Translator tr{tk, schema, db, out, detail};
  return tr.run();
}

}  // namespace orasim
