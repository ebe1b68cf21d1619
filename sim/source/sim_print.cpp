// Canonical printing and comparison of tables; see the header.
#include "sim/source/sim_print.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "lib/log/log.h"
#include "oci/oci.h"
#include "sim/source/catalog.h"
#include "sim/source/ora_value.h"

namespace ks::sim {

namespace {

struct Col {
  std::string name, type;
};

int columns(sqlite3 *db, const std::string &owner, const std::string &table, std::vector<Col> *out) {
  sqlite3_stmt *s = nullptr;
  const char *sql =
      "SELECT \"COLUMN_NAME\", \"DATA_TYPE\" FROM \"KS$COLUMNS\" WHERE \"OWNER\" = ? AND \"TABLE_NAME\" = ? "
      "ORDER BY \"COLUMN_ID\"";
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
    KS_ERROR("read column list: %s", sqlite3_errmsg(db));
    return -1;
  }
  sqlite3_bind_text(s, 1, owner.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 2, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(s) == SQLITE_ROW)
    out->push_back({reinterpret_cast<const char *>(sqlite3_column_text(s, 0)),
                    reinterpret_cast<const char *>(sqlite3_column_text(s, 1))});
  sqlite3_finalize(s);
  return 0;
}

int user_tables(sqlite3 *db, std::vector<std::string> *out) {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT DISTINCT \"OWNER\", \"TABLE_NAME\" FROM \"KS$COLUMNS\" ORDER BY 1, 2", -1, &s,
                         nullptr) != SQLITE_OK) {
    KS_ERROR("read table list: %s", sqlite3_errmsg(db));
    return -1;
  }
  while (sqlite3_step(s) == SQLITE_ROW)
    out->push_back(std::string(reinterpret_cast<const char *>(sqlite3_column_text(s, 0))) + "." +
                   reinterpret_cast<const char *>(sqlite3_column_text(s, 1)));
  sqlite3_finalize(s);
  return 0;
}

// LOB and LONG columns: values of any length, compared whole.
bool unbounded(const std::string &type) {
  return type == "CLOB" || type == "NCLOB" || type == "BLOB" || type == "LONG" || type == "LONG RAW";
}

// One value in canonical text by its Oracle type.
std::string canon(sqlite3_stmt *s, int c, const std::string &type) {
  int t = sqlite3_column_type(s, c);
  if (t == SQLITE_NULL) return "NULL";
  if (t == SQLITE_BLOB || type == "RAW" || type == "BLOB" || type == "LONG RAW") {
    const void *p = sqlite3_column_blob(s, c);
    return "X'" + ks_hex(std::string_view(static_cast<const char *>(p), size_t(sqlite3_column_bytes(s, c)))) + "'";
  }
  std::string text;
  if (t == SQLITE_INTEGER) {
    text = std::to_string(sqlite3_column_int64(s, c));
  } else if (t == SQLITE_FLOAT) {
    char b[64];
    snprintf(b, sizeof b, "%.15g", sqlite3_column_double(s, c));
    text = b;
  } else {
    text.assign(reinterpret_cast<const char *>(sqlite3_column_text(s, c)), size_t(sqlite3_column_bytes(s, c)));
  }
  std::string b, out;
  if (type == "NUMBER") {
    if (ks_num_from_text(text, &b) == 0 && ks_num_to_text(b, &out) == 0) return out;
    return text;
  }
  if (type == "DATE" || type == "TIMESTAMP") {
    if (ks_date_from_text(text, &b, true) == 0 && ks_date_to_text(b, &out) == 0) return out;
    return text;
  }
  return ks_sql_quote(text);
}

// Rows of owner.table as sorted canonical lines; -2 when the table is missing. *widest,
// when given, gets the longest value in bytes of each LOB or LONG column.
int rows(sqlite3 *db, const std::string &qname, const std::vector<Col> &cols, std::vector<std::string> *out,
         std::vector<size_t> *widest = nullptr) {
  std::string sql = "SELECT ";
  for (size_t i = 0; i < cols.size(); i++) sql += (i ? ", \"" : "\"") + cols[i].name + "\"";
  sql += " FROM \"" + qname + "\"";
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    std::string m = sqlite3_errmsg(db);
    if (m.find("no such table") != std::string::npos) return -2;
    KS_ERROR("read %s: %s", qname.c_str(), m.c_str());
    return -1;
  }
  if (widest != nullptr) widest->assign(cols.size(), 0);
  while (sqlite3_step(s) == SQLITE_ROW) {
    std::string line = "(";
    for (size_t i = 0; i < cols.size(); i++) {
      line += (i ? ", " : "") + canon(s, int(i), cols[i].type);
      if (widest != nullptr && unbounded(cols[i].type))
        (*widest)[i] = std::max((*widest)[i], size_t(sqlite3_column_bytes(s, int(i))));
    }
    out->push_back(line + ")");
  }
  sqlite3_finalize(s);
  std::sort(out->begin(), out->end());
  return 0;
}

bool split(const std::string &q, std::string *owner, std::string *table) {
  size_t d = q.find('.');
  if (d == std::string::npos) return false;
  *owner = q.substr(0, d);
  *table = q.substr(d + 1);
  return true;
}

}  // namespace

sqlite3 *ks_sim_open_ro(const std::string &path) {
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    KS_ERROR("open database \"%s\": %s", path.c_str(), db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 10000);
  return db;
}

int ks_sim_print(sqlite3 *db, const std::vector<std::string> &tables_in, FILE *out) {
  std::vector<std::string> tables = tables_in;
  if (tables.empty() && user_tables(db, &tables) != 0) return -1;
  for (const auto &q : tables) {
    std::string owner, table;
    std::vector<Col> cols;
    if (!split(q, &owner, &table) || columns(db, owner, table, &cols) != 0 || cols.empty()) {
      KS_ERROR("table %s not found.", q.c_str());
      return -1;
    }
    std::vector<std::string> r;
    if (rows(db, q, cols, &r) != 0) {
      KS_ERROR("table %s not found.", q.c_str());
      return -1;
    }
    fprintf(out, "TABLE %s (%zu rows)\n(", q.c_str(), r.size());
    for (size_t i = 0; i < cols.size(); i++)
      fprintf(out, "%s%s %s", i ? ", " : "", cols[i].name.c_str(), cols[i].type.c_str());
    fprintf(out, ")\n");
    for (const auto &l : r) fprintf(out, "%s\n", l.c_str());
  }
  return 0;
}

namespace {

// Define type indexes of the database layer (oci_data_type) by Oracle column type: the
// target's values come back in Oracle's own forms and are rendered like the source's.
constexpr uint32_t kDefNum = 1, kDefDate = 3, kDefTimestamp = 4, kDefRaw = 9, kDefStr = 16;

struct TargetCol {
  uint32_t flag, ctype, vsz;
};

// LOB and LONG values are compared whole, fetched in the forms that carry a 4-byte length
// into a slot one byte longer than the source's longest value of the column: a target
// value that does not fit is longer than every source value, so it comes back cut and
// still differs.
TargetCol target_col(const std::string &type, size_t widest) {
  if (type == "NUMBER") return {0, kDefNum, 22};
  if (type == "DATE") return {0, kDefDate, 7};
  if (type == "TIMESTAMP") return {0, kDefTimestamp, 11};
  if (type == "RAW") return {0, kDefRaw, 2000};
  const uint32_t whole = uint32_t(std::min<size_t>(widest + 1 + 4, INT32_MAX - 8));
  if (type == "BLOB" || type == "LONG RAW") return {KS_OCI_DEF_EXTTYPE, SQLT_LVB, whole};
  if (unbounded(type)) return {KS_OCI_DEF_EXTTYPE, SQLT_LVC, whole};
  return {0, kDefStr, 4 * 4000 + 1};  // any character value in UTF-8, with its NUL
}

std::string target_canon(const ks_oci_def_t &d, int k, const std::string &type) {
  if (d.indp[k] == -1) return "NULL";
  if (d.flag & KS_OCI_DEF_EXTTYPE) {
    const uint8_t *p = nullptr;
    uint32_t n = 0;
    int rc = ks_oci_long_value(&d, k, &p, &n);
    std::string v(reinterpret_cast<const char *>(p), n);
    std::string text = d.ctype == SQLT_LVB ? "X'" + ks_hex(v) + "'" : ks_sql_quote(v);
    return rc == 2 ? text + "..." : text;  // a cut value shows what came back of it
  }
  const uint8_t *p = d.valp + size_t(k) * d.vsz;
  std::string_view v(reinterpret_cast<const char *>(p), d.alenp[k]);
  std::string out;
  switch (d.ctype) {
    case kDefNum:
      return ks_num_to_text(v, &out) == 0 ? out : "?";
    case kDefDate:
    case kDefTimestamp:
      return ks_date_to_text(v, &out) == 0 ? out : "?";
    case kDefRaw:
      return "X'" + ks_hex(v) + "'";
    default:
      (void)type;
      return ks_sql_quote(reinterpret_cast<const char *>(p));
  }
}

// Rows a query of the target returns, as canonical lines in the order they come; -2 when
// a table or view it reads is missing there, -1 on any other failure.
// widest: the source's longest value of each column in bytes (LOB and LONG columns).
int target_query(ks_oci_ses_t *c, const std::string &sql, const std::vector<Col> &cols, std::vector<std::string> *out,
                 const std::vector<size_t> &widest = {}) {
  ks_oci_stmt_t st{};
  std::vector<ks_oci_def_t> df(cols.size());
  size_t row_sz = 0;
  for (size_t i = 0; i < cols.size(); i++) {
    TargetCol t = target_col(cols[i].type, i < widest.size() ? widest[i] : 0);
    df[i].flag = t.flag;
    df[i].ctype = t.ctype;
    df[i].vsz = t.vsz;
    row_sz += t.vsz + 8;
  }
  // Up to 64 rows a fetch, fewer when the row is long: rows with large LOBs come one at a time.
  const size_t per_fetch = std::clamp<size_t>((size_t(16) << 20) / std::max<size_t>(row_sz, 1), 1, 64);
  if (row_sz * per_fetch + cols.size() * 32 > size_t(INT32_MAX)) {
    KS_ERROR("a row of %zu bytes is too long to fetch.", row_sz);
    return -1;
  }
  std::vector<uint8_t> buf(std::max<size_t>(row_sz * per_fetch + cols.size() * 32, 1 << 20));
  ks_oci_ds_t ds{int(df.size()), 0, int(buf.size()), buf.data(), df.data()};
  int rc = 0;
  if (ks_oci_get_statement(c, &st) != 0 || ks_oci_prepare_statement(c, &st, sql.c_str()) != 0 ||
      ks_oci_auto_define(c, &st, &ds) != 0 || ks_oci_execute(c, &st, 0, 0) != 0) {
    rc = ks_oci_get_error_code() == 942 ? -2 : -1;
  } else {
    int rr, r;
    do {
      r = ks_oci_fetch(c, &st, ds.nrows, &rr);
      if (r < 0) break;
      for (int k = 0; k < rr; k++) {
        std::string line = "(";
        for (size_t i = 0; i < cols.size(); i++) line += (i ? ", " : "") + target_canon(df[i], k, cols[i].type);
        out->push_back(line + ")");
      }
    } while (r == 0);
    if (r < 0) rc = -1;
  }
  if (st.stmtp != nullptr) ks_oci_close_statement(c, &st);
  return rc;
}

// Rows of owner.table in the target as sorted canonical lines; -2 when the table is
// missing there, -1 on any other failure (logged).
int target_rows(ks_oci_ses_t *c, const std::string &owner, const std::string &table, const std::vector<Col> &cols,
                const std::vector<size_t> &widest, std::vector<std::string> *out) {
  std::string sql = "select ";
  for (size_t i = 0; i < cols.size(); i++) sql += (i ? ", \"" : "\"") + cols[i].name + "\"";
  sql += " from \"" + owner + "\".\"" + table + "\"";
  int rc = target_query(c, sql, cols, out, widest);
  if (rc == -1) KS_ERROR("read %s.%s from the target: %s", owner.c_str(), table.c_str(), ks_oci_get_message());
  std::sort(out->begin(), out->end());
  return rc;
}

// The definition of a table: its columns' names and types in their order, as canonical
// lines. The target's comes from its dictionary views, or from the stand-in's own column
// list where it has no such views; empty when the table is missing or the target keeps
// neither.
int source_definition(const std::vector<Col> &cols, std::vector<std::string> *out) {
  for (const auto &c : cols) out->push_back("(" + ks_sql_quote(c.name) + ", " + ks_sql_quote(c.type) + ")");
  return 0;
}

int target_definition(ks_oci_ses_t *c, const std::string &owner, const std::string &table,
                      std::vector<std::string> *out) {
  const std::vector<Col> cols = {{"COLUMN_NAME", "VARCHAR2"}, {"DATA_TYPE", "VARCHAR2"}};
  std::string where =
      " where owner = " + ks_sql_quote(owner) + " and table_name = " + ks_sql_quote(table) + " order by column_id";
  int rc = target_query(c, "select column_name, data_type from all_tab_columns" + where, cols, out);
  if (rc == -2) {
    out->clear();
    rc = target_query(c, "select column_name, data_type from ks$columns" + where, cols, out);
  }
  // A target that keeps no column list at all has its definitions checked by its rows alone.
  if (rc == -2) out->clear();
  if (rc == -1)
    KS_ERROR("read the columns of %s.%s from the target: %s", owner.c_str(), table.c_str(), ks_oci_get_message());
  return rc == -1 ? -1 : 0;
}

// Sequences of the source (owner.name, the value its dictionary row has reached).
int source_sequences(sqlite3 *db, std::vector<std::pair<std::string, int64_t>> *out) {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT u.\"NAME\", o.\"NAME\", s.\"HIGHWATER\" FROM \"SYS.SEQ$\" s JOIN \"SYS.OBJ$\" o ON "
                         "o.\"OBJ#\" = s.\"OBJ#\" JOIN \"SYS.USER$\" u ON u.\"USER#\" = o.\"OWNER#\" ORDER BY 1, 2",
                         -1, &s, nullptr) != SQLITE_OK) {
    KS_ERROR("read sequence list: %s", sqlite3_errmsg(db));
    return -1;
  }
  while (sqlite3_step(s) == SQLITE_ROW)
    out->emplace_back(std::string(reinterpret_cast<const char *>(sqlite3_column_text(s, 0))) + "." +
                          reinterpret_cast<const char *>(sqlite3_column_text(s, 1)),
                      sqlite3_column_int64(s, 2));
  sqlite3_finalize(s);
  return 0;
}

// A sequence of the target has caught up when its dictionary row has reached the
// source's: values handed out on the source are never handed out again on the target.
int diff_sequences(sqlite3 *src, ks_oci_ses_t *dst, FILE *out, const std::vector<ks_sim_map_t> &maps) {
  std::vector<std::pair<std::string, int64_t>> seqs;
  if (source_sequences(src, &seqs) != 0) return -1;
  int differ = 0;
  for (const auto &[q, hw] : seqs) {
    std::string owner, name;
    split(q, &owner, &name);
    auto [t_owner, t_name] = ks_sim_map_name(maps, owner, name);
    std::vector<std::string> v;
    int rc = target_query(dst,
                          "select s.highwater from sys.seq$ s, sys.obj$ o, sys.user$ u where s.obj# = o.obj# and "
                          "o.owner# = u.user# and u.name = " +
                              ks_sql_quote(t_owner) + " and o.name = " + ks_sql_quote(t_name),
                          {{"HIGHWATER", "NUMBER"}}, &v);
    if (rc == -2) {
      fprintf(out, "sequences not compared: the target's sequence dictionary cannot be read\n");
      return 1;
    }
    if (rc != 0) {
      KS_ERROR("read sequence %s.%s from the target: %s", t_owner.c_str(), t_name.c_str(), ks_oci_get_message());
      return -1;
    }
    if (v.empty()) {
      fprintf(out, "%s: sequence missing in target\n", q.c_str());
      differ = 1;
    } else if (atoll(v[0].c_str() + 1) < hw) {
      fprintf(out, "%s: sequence at %lld in source, %s in target\n", q.c_str(), static_cast<long long>(hw),
              v[0].substr(1, v[0].size() - 2).c_str());
      differ = 1;
    }
  }
  return differ;
}

// A row as a difference shows it: a row with large LOBs is cut, not printed in megabytes.
std::string shown_row(const std::string &line) {
  constexpr size_t kShown = 2000;
  if (line.size() <= kShown) return line;
  return line.substr(0, kShown) + "... (" + std::to_string(line.size()) + " characters)";
}

}  // namespace

int ks_sim_diff(sqlite3 *src, ks_oci_ses_t *dst, const std::vector<std::string> &tables_in, FILE *out,
                const std::vector<ks_sim_map_t> &maps, bool sequences) {
  std::vector<std::string> tables = tables_in;
  if (tables.empty() && user_tables(src, &tables) != 0) return -1;
  int differ = 0;
  for (const auto &q : tables) {
    std::string owner, table;
    std::vector<Col> cols;
    if (!split(q, &owner, &table) || columns(src, owner, table, &cols) != 0 || cols.empty()) {
      KS_ERROR("table %s not found in the source.", q.c_str());
      return -1;
    }
    std::vector<std::string> a, b;
    std::vector<size_t> widest;
    if (rows(src, q, cols, &a, &widest) != 0) return -1;
    auto [t_owner, t_table] = ks_sim_map_name(maps, owner, table);
    // Rows are compared only where the definitions agree: columns one side lacks have no values to compare.
    std::vector<std::string> sdef, tdef;
    if (source_definition(cols, &sdef) != 0 || target_definition(dst, t_owner, t_table, &tdef) != 0) return -1;
    if (!tdef.empty() && sdef != tdef) {
      fprintf(out, "%s: definitions differ\n", q.c_str());
      for (const auto &l : sdef)
        if (std::find(tdef.begin(), tdef.end(), l) == tdef.end()) fprintf(out, "  - column %s\n", l.c_str());
      for (const auto &l : tdef)
        if (std::find(sdef.begin(), sdef.end(), l) == sdef.end()) fprintf(out, "  + column %s\n", l.c_str());
      differ = 1;
      continue;
    }
    int rc = target_rows(dst, t_owner, t_table, cols, widest, &b);
    if (rc == -2) {
      if (t_owner == owner && t_table == table)
        fprintf(out, "%s: table missing in target\n", q.c_str());
      else
        fprintf(out, "%s: table missing in target (as %s.%s)\n", q.c_str(), t_owner.c_str(), t_table.c_str());
      differ = 1;
      continue;
    }
    if (rc != 0) return -1;
    std::vector<std::string> only_a, only_b;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(only_a));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(only_b));
    if (only_a.empty() && only_b.empty()) continue;
    differ = 1;
    fprintf(out, "%s: %zu source rows, %zu target rows, %zu only in source, %zu only in target\n", q.c_str(), a.size(),
            b.size(), only_a.size(), only_b.size());
    size_t shown = 0;
    for (const auto &l : only_a)
      if (shown++ < 50) fprintf(out, "  - %s\n", shown_row(l).c_str());
    shown = 0;
    for (const auto &l : only_b)
      if (shown++ < 50) fprintf(out, "  + %s\n", shown_row(l).c_str());
  }
  if (sequences) {
    int rc = diff_sequences(src, dst, out, maps);
    if (rc < 0) return -1;
    differ |= rc;
  }
  return differ;
}

}  // namespace ks::sim
