// The Oracle-dialect front: translates the statements this system issues into SQLite and
// refuses anything else with an Oracle-style error, never guessing. Names: unquoted
// identifiers are upper-cased and quoted (so OBJ# and V$LOG survive), quoted ones keep
// their case; a table owner.name / "owner"."name" becomes the one SQLite table
// "OWNER.NAME"; a bare table name is "<current schema>.NAME" when that table exists,
// else "NAME". Placeholders :n become ?k by order of appearance (OCI binds by position);
// "rownum < n" becomes a LIMIT; "returning rowid into :n" becomes RETURNING rowid with an
// output bind; nvl and bitand are SQL functions registered on every connection.
#include <cctype>
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

std::string quote(const std::string &name) {
  std::string q = "\"";
  for (char c : name) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

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

  // owner.name | name, quoted or not, and an optional alias. Emits the SQLite table.
  int table_ref(bool allow_alias, std::string *resolved = nullptr) {
    if (cur().t != kIdent && cur().t != kQIdent) return refuse(903, "invalid table name");
    if (cur().t == kIdent && is_keyword(cur().s)) return refuse(903, "invalid table name");
    std::string a = cur().s, b;
    i++;
    if (is_op(".")) {
      i++;
      if (cur().t != kIdent && cur().t != kQIdent) return refuse(903, "invalid table name");
      b = cur().s;
      i++;
    }
    std::string name;
    if (!b.empty()) {
      name = a + "." + b;
      out->owner = a;
      out->name = b;
    } else if (a == "DUAL") {
      name = "";
    } else {
      std::string with_schema = schema + "." + a;
      name = (!schema.empty() && table_exists(db, with_schema)) || !table_exists(db, a) ? with_schema : a;
      out->owner = schema;
      out->name = a;
    }
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
      if (t.t == kQIdent) {
        emit(quote(t.s));
        i++;
        continue;
      }
      // Identifiers and keywords.
      if (t.s == "FROM" || t.s == "JOIN") {
        emit(t.s);
        i++;
        if (is_op("(")) continue;  // a subquery
        int rc = table_ref(true);
        if (rc) return rc;
        while (t.s == "FROM" && is_op(",")) {
          emit(",");
          i++;
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

  int create() {
    i++;
    if (!is("TABLE")) return refuse(3001, "only CREATE TABLE is supported");
    i++;
    emit("CREATE TABLE");
    std::string table;
    // A new table always goes into the named or the current schema.
    if (cur().t != kIdent && cur().t != kQIdent) return refuse(903, "invalid table name");
    std::string a = cur().s, b;
    i++;
    if (is_op(".")) {
      i++;
      b = cur().s;
      i++;
    }
    out->owner = b.empty() ? schema : a;
    out->name = b.empty() ? a : b;
    table = out->owner + "." + out->name;
    out->table = table;
    emit(quote(table));
    if (!is_op("(")) return refuse(906, "missing left parenthesis");
    i++;
    emit("(");
    bool first = true;
    while (true) {
      if (cur().t != kIdent && cur().t != kQIdent) return refuse(904, "invalid column name");
      if (cur().t == kIdent && (cur().s == "CONSTRAINT" || cur().s == "PRIMARY" || cur().s == "UNIQUE")) {
        // A table constraint: pass it through as written.
        if (!first) emit(",");
        int depth = 0;
        while (cur().t != kEnd && !(depth == 0 && (is_op(",") || is_op(")")))) {
          if (is_op("(")) depth++;
          if (is_op(")")) depth--;
          emit(cur().t == kQIdent ? quote(cur().s) : cur().s);
          i++;
        }
      } else {
        ColDef col;
        col.name = cur().s;
        i++;
        if (cur().t != kIdent) return refuse(902, "invalid datatype");
        col.type = cur().s;
        i++;
        if (col.type == "LONG" && is("RAW")) {
          col.type = "LONG RAW";
          i++;
        }
        if (is_op("(")) {
          i++;
          if (cur().t == kNumber) col.length = atol(cur().s.c_str());
          while (cur().t != kEnd && !is_op(")")) i++;
          if (!is_op(")")) return refuse(907, "missing right parenthesis");
          i++;
          if (is("BYTE") || is("CHAR")) i++;
        }
        if (col.type == "NUMBER" || col.type == "INTEGER") col.length = 22;
        if (col.type == "DATE") col.length = 7;
        if (col.type == "TIMESTAMP") col.length = 11;
        if (!first) emit(",");
        emit(quote(col.name));
        std::string stype = sqlite_type(col.type);
        if (!stype.empty()) emit(stype);
        // Column constraints: NOT NULL, NULL, DEFAULT x, PRIMARY KEY, UNIQUE.
        while (cur().t != kEnd && !is_op(",") && !is_op(")")) {
          if (is("NOT") && peek().t == kIdent && peek().s == "NULL") col.nullable = false;
          emit(cur().t == kQIdent ? quote(cur().s) : cur().s);
          i++;
        }
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
    out->kind = kCreate;
    return 0;
  }

  int drop() {
    i++;
    if (!is("TABLE")) return refuse(3001, "only DROP TABLE is supported");
    i++;
    emit("DROP TABLE");
    std::string table;
    int rc = table_ref(false, &table);
    if (rc) return rc;
    out->table = table;
    while (is("PURGE") || is("CASCADE") || is("CONSTRAINTS")) i++;
    if (cur().t != kEnd) return refuse(933, "SQL command not properly ended");
    out->kind = kDrop;
    return 0;
  }

  int truncate() {
    i++;
    if (!is("TABLE")) return refuse(3001, "only TRUNCATE TABLE is supported");
    i++;
    emit("DELETE FROM");
    int rc = table_ref(false);
    if (rc) return rc;
    if (cur().t != kEnd) return refuse(933, "SQL command not properly ended");
    out->kind = kOther;
    return 0;
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
    else if (w == "ALTER" || w == "BEGIN" || w == "DECLARE" || w == "MERGE" || w == "LOCK" || w == "GRANT" ||
             w == "COMMENT" || w == "RENAME")
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

}  // namespace

void register_functions(sqlite3 *db) {
  sqlite3_create_function(db, "NVL", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, fn_nvl, nullptr, nullptr);
  sqlite3_create_function(db, "BITAND", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, fn_bitand, nullptr, nullptr);
}

int translate(const std::string &text, const std::string &schema, sqlite3 *db, Translated *out, std::string *detail) {
  *out = Translated();
  std::vector<Tok> tk;
  int rc = tokenize(text, &tk, detail);
  if (rc) return rc;
  Translator tr{tk, schema, db, out, detail};
  return tr.run();
}

}  // namespace orasim
