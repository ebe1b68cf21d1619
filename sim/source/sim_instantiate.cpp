// Instantiation of a target and the naming rules it shares with diff; see the header.
#include "sim/source/sim_instantiate.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "lib/log/log.h"
#include "sim/source/ora_value.h"

namespace ks::sim {

namespace {

// Bind type indexes of the database layer (oci_data_type): values go to the target in the
// same Oracle forms apply binds, so the target stores them exactly as apply would and a
// later update or delete by key finds the row.
constexpr uint32_t kBindChr = 0, kBindNum = 1, kBindDat = 3, kBindTimestamp = 4, kBindBin = 9, kBindClob = 12,
                   kBindBlob = 13;
constexpr uint32_t kUtf8Csid = 873;  // the source's text is UTF-8 whatever NLS_LANG says
constexpr size_t kBatchRows = 500;

enum class Kind { kNum, kDate, kTimestamp, kRaw, kText };

struct Col {
  std::string name, type;
  int length = 0, precision = 0, scale = 0;
  bool not_null = false;
  Kind kind = Kind::kText;
};

std::string upper(std::string s) {
  for (char &c : s) c = char(toupper(uint8_t(c)));
  return s;
}

bool valid_name(const std::string &s) { return !s.empty() && s.size() <= 128 && s.find('"') == std::string::npos; }

// "OWNER.TABLE" into its parts, or OWNER alone (table empty) when there is no dot.
bool split_name(const std::string &q, std::string *owner, std::string *table) {
  size_t d = q.find('.');
  *owner = upper(q.substr(0, d));
  *table = d == std::string::npos ? "" : upper(q.substr(d + 1));
  return valid_name(*owner) && (d == std::string::npos || valid_name(*table));
}

std::string text_col(sqlite3_stmt *s, int c) {
  const unsigned char *t = sqlite3_column_text(s, c);
  return t ? reinterpret_cast<const char *>(t) : "";
}

int user_tables(sqlite3 *db, std::vector<std::pair<std::string, std::string>> *out) {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT DISTINCT \"OWNER\", \"TABLE_NAME\" FROM \"KS$COLUMNS\" ORDER BY 1, 2", -1, &s,
                         nullptr) != SQLITE_OK) {
    KS_ERROR("read the source's table list: %s", sqlite3_errmsg(db));
    return -1;
  }
  while (sqlite3_step(s) == SQLITE_ROW) out->emplace_back(text_col(s, 0), text_col(s, 1));
  sqlite3_finalize(s);
  return 0;
}

bool matches(const std::string &owner, const std::string &table, const std::string &p_owner,
             const std::string &p_table) {
  return owner == p_owner && (p_table == "*" || p_table == table);
}

Kind kind_of(const std::string &type) {
  if (type == "NUMBER") return Kind::kNum;
  if (type == "DATE") return Kind::kDate;
  if (type == "TIMESTAMP") return Kind::kTimestamp;
  if (type == "RAW" || type == "BLOB" || type == "LONG RAW") return Kind::kRaw;
  return Kind::kText;
}

// The source's description of a table: columns in order with their types, lengths,
// precision and scale (from the dictionary when it has them), and the primary key.
int describe(sqlite3 *db, const std::string &owner, const std::string &table, std::vector<Col> *cols,
             std::vector<std::string> *pk) {
  static const char kCols[] =
      "SELECT k.\"COLUMN_NAME\", k.\"DATA_TYPE\", k.\"DATA_LENGTH\", k.\"NULLABLE\", c.\"PRECISION#\", c.\"SCALE\" "
      "FROM \"KS$COLUMNS\" k "
      "LEFT JOIN \"SYS.USER$\" u ON u.\"NAME\" = k.\"OWNER\" "
      "LEFT JOIN \"SYS.OBJ$\" o ON o.\"OWNER#\" = u.\"USER#\" AND o.\"NAME\" = k.\"TABLE_NAME\" AND o.\"TYPE#\" = 2 "
      "LEFT JOIN \"SYS.COL$\" c ON c.\"OBJ#\" = o.\"OBJ#\" AND c.\"NAME\" = k.\"COLUMN_NAME\" "
      "WHERE k.\"OWNER\" = ?1 AND k.\"TABLE_NAME\" = ?2 ORDER BY k.\"COLUMN_ID\"";
  static const char kKey[] =
      "SELECT c.\"NAME\" FROM \"SYS.USER$\" u "
      "JOIN \"SYS.OBJ$\" o ON o.\"OWNER#\" = u.\"USER#\" AND o.\"TYPE#\" = 2 "
      "JOIN \"SYS.CDEF$\" d ON d.\"OBJ#\" = o.\"OBJ#\" AND d.\"TYPE#\" = 2 "
      "JOIN \"SYS.CCOL$\" k ON k.\"CON#\" = d.\"CON#\" "
      "JOIN \"SYS.COL$\" c ON c.\"OBJ#\" = o.\"OBJ#\" AND c.\"COL#\" = k.\"COL#\" "
      "WHERE u.\"NAME\" = ?1 AND o.\"NAME\" = ?2 ORDER BY k.\"POS#\"";
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, kCols, -1, &s, nullptr) != SQLITE_OK) {
    KS_ERROR("read the columns of %s.%s: %s", owner.c_str(), table.c_str(), sqlite3_errmsg(db));
    return -1;
  }
  sqlite3_bind_text(s, 1, owner.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 2, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(s) == SQLITE_ROW) {
    Col c;
    c.name = text_col(s, 0);
    c.type = text_col(s, 1);
    c.length = sqlite3_column_int(s, 2);
    c.not_null = text_col(s, 3) == "N";
    c.precision = sqlite3_column_int(s, 4);
    c.scale = sqlite3_column_int(s, 5);
    c.kind = kind_of(c.type);
    cols->push_back(c);
  }
  sqlite3_finalize(s);
  for (const Col &c : *cols)
    if (!valid_name(c.name)) {
      KS_ERROR("column name \"%s\" of %s.%s cannot be created on the target.", c.name.c_str(), owner.c_str(),
               table.c_str());
      return -1;
    }
  // A source file without the dictionary tables has no key to copy; the table is still
  // created (apply identifies rows by the key columns the trail carries).
  if (sqlite3_prepare_v2(db, kKey, -1, &s, nullptr) != SQLITE_OK) return 0;
  sqlite3_bind_text(s, 1, owner.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 2, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(s) == SQLITE_ROW) pk->push_back(text_col(s, 0));
  sqlite3_finalize(s);
  return 0;
}

// LOB and LONG columns take no length; an empty LOB is not NULL.
bool is_lob(const std::string &type) { return type == "CLOB" || type == "NCLOB" || type == "BLOB"; }
bool unbounded(const std::string &type) { return is_lob(type) || type == "LONG" || type == "LONG RAW"; }

std::string column_type(const Col &c) {
  std::string t = c.type;
  int chars = c.type == "NVARCHAR2" || c.type == "NCHAR" ? c.length / 2 : c.length;
  if (c.kind == Kind::kNum) {
    if (c.precision > 0)
      t += "(" + std::to_string(c.precision) + (c.scale != 0 ? "," + std::to_string(c.scale) : "") + ")";
  } else if ((c.kind == Kind::kText || c.kind == Kind::kRaw) && !unbounded(c.type)) {
    t += "(" + std::to_string(std::max(chars, 1)) + ")";
  }
  return t;
}

std::string create_text(const std::string &owner, const std::string &table, const std::vector<Col> &cols,
                        const std::vector<std::string> &pk) {
  std::string sql = "create table \"" + owner + "\".\"" + table + "\" (";
  for (size_t i = 0; i < cols.size(); i++)
    sql += (i ? ", \"" : "\"") + cols[i].name + "\" " + column_type(cols[i]) + (cols[i].not_null ? " not null" : "");
  if (!pk.empty()) {
    sql += ", primary key (";
    for (size_t i = 0; i < pk.size(); i++) sql += (i ? ", \"" : "\"") + pk[i] + "\"";
    sql += ")";
  }
  return sql + ")";
}

// A source value in the Oracle form it is bound with; *null when it is NULL (an empty
// character value is NULL, as in Oracle).
int source_value(sqlite3_stmt *s, int c, const Col &col, std::string *b, bool *null) {
  b->clear();
  int t = sqlite3_column_type(s, c);
  *null = t == SQLITE_NULL;
  if (*null) return 0;
  if (col.kind == Kind::kRaw || t == SQLITE_BLOB) {
    b->assign(static_cast<const char *>(sqlite3_column_blob(s, c)), size_t(sqlite3_column_bytes(s, c)));
    if (col.kind != Kind::kRaw && col.kind != Kind::kText) return -1;
    *null = b->empty() && !is_lob(col.type);
    return 0;
  }
  std::string text;
  if (t == SQLITE_FLOAT) {
    // NUMERIC affinity keeps a fraction of at most 15 digits as a double.
    char d[64];
    snprintf(d, sizeof d, "%.15g", sqlite3_column_double(s, c));
    text = d;
  } else {
    text.assign(reinterpret_cast<const char *>(sqlite3_column_text(s, c)), size_t(sqlite3_column_bytes(s, c)));
  }
  switch (col.kind) {
    case Kind::kNum:
      return ks_num_from_text(text, b);
    case Kind::kDate:
      return ks_date_from_text(text, b, false);
    case Kind::kTimestamp:
      return ks_date_from_text(text, b, true);
    default:
      *b = std::move(text);
      *null = b->empty() && !is_lob(col.type);
      return 0;
  }
}

uint32_t bind_type(Kind k) {
  switch (k) {
    case Kind::kNum:
      return kBindNum;
    case Kind::kDate:
      return kBindDat;
    case Kind::kTimestamp:
      return kBindTimestamp;
    case Kind::kRaw:
      return kBindBin;
    default:
      return kBindChr;
  }
}

// One statement on the target, run once; the database error code, 0 on success.
int run_once(ks_oci_ses_t *c, const std::string &sql) {
  ks_oci_stmt_t st{};
  int rc = 0;
  if (ks_oci_get_statement(c, &st) != 0 || ks_oci_prepare_statement(c, &st, sql.c_str()) != 0 ||
      ks_oci_execute(c, &st, sql.rfind("select", 0) == 0 ? 0 : 1, 0) < 0)
    rc = ks_oci_get_error_code() != 0 ? ks_oci_get_error_code() : -1;
  if (st.stmtp != nullptr) ks_oci_close_statement(c, &st);
  return rc;
}

// Insert the rows with one array execution; the columns marked in `empty` are bound as
// the empty LOB locator empty_locp in every row.
int insert_batch(ks_oci_ses_t *c, const std::string &sql, const std::vector<Col> &cols,
                 const std::vector<std::vector<std::pair<bool, std::string>>> &rows, const std::vector<bool> &empty,
                 OCILobLocator *empty_locp) {
  size_t n = rows.size(), nc = cols.size();
  std::vector<ks_oci_bnd_t> bnd(nc);
  std::vector<std::vector<uint8_t>> val(nc);
  std::vector<std::vector<int16_t>> ind(nc, std::vector<int16_t>(n));
  std::vector<std::vector<uint16_t>> len(nc, std::vector<uint16_t>(n)), rcode(nc, std::vector<uint16_t>(n));
  for (size_t i = 0; i < nc; i++) {
    ks_oci_bnd_t &b = bnd[i];
    if (empty[i]) {
      val[i].resize(n * sizeof empty_locp);
      for (size_t r = 0; r < n; r++) {
        memcpy(val[i].data() + r * sizeof empty_locp, &empty_locp, sizeof empty_locp);
        len[i][r] = sizeof empty_locp;
      }
      b.ctype = cols[i].type == "BLOB" ? kBindBlob : kBindClob;
      b.vsz = sizeof empty_locp;
      b.indp = ind[i].data();
      b.alenp = len[i].data();
      b.rcodep = rcode[i].data();
      b.valp = val[i].data();
      continue;
    }
    size_t vsz = 1;
    for (const auto &r : rows) vsz = std::max(vsz, r[i].second.size());
    if (vsz > 65535) {
      KS_ERROR("value of %zu bytes in column %s is too long to bind.", vsz, cols[i].name.c_str());
      return -1;
    }
    val[i].assign(vsz * n, 0);
    for (size_t r = 0; r < n; r++) {
      ind[i][r] = rows[r][i].first ? -1 : 0;
      len[i][r] = uint16_t(rows[r][i].second.size());
      if (!rows[r][i].second.empty())
        memcpy(val[i].data() + r * vsz, rows[r][i].second.data(), rows[r][i].second.size());
    }
    b.ctype = bind_type(cols[i].kind);
    if (cols[i].kind == Kind::kText) {
      b.flag = KS_OCI_BND_CHARSET;
      b.csid = kUtf8Csid;
    }
    b.vsz = uint32_t(vsz);
    b.indp = ind[i].data();
    b.alenp = len[i].data();
    b.rcodep = rcode[i].data();
    b.valp = val[i].data();
  }
  ks_oci_stmt_t st{};
  int rc = 0;
  if (ks_oci_get_statement(c, &st) != 0 || ks_oci_prepare_statement(c, &st, sql.c_str()) != 0 ||
      ks_oci_auto_bind(c, &st, bnd.data(), int(nc), int(n)) != 0 || ks_oci_execute(c, &st, int(n), 0) != 0)
    rc = -1;
  if (st.stmtp != nullptr) ks_oci_close_statement(c, &st);
  return rc;
}

// Insert the rows. A zero-length value bound as data stores NULL, so an empty LOB is
// bound as an empty locator, as apply binds one: rows go in groups by which of their
// LOBs are empty, one array execution each.
int insert_rows(ks_oci_ses_t *c, const std::string &sql, const std::vector<Col> &cols,
                std::vector<std::vector<std::pair<bool, std::string>>> &&rows) {
  std::map<std::vector<bool>, std::vector<std::vector<std::pair<bool, std::string>>>> groups;
  for (auto &r : rows) {
    std::vector<bool> empty(cols.size());
    for (size_t i = 0; i < cols.size(); i++) empty[i] = is_lob(cols[i].type) && !r[i].first && r[i].second.empty();
    groups[empty].push_back(std::move(r));
  }
  OCILobLocator *locp = nullptr;
  int rc = 0;
  for (const auto &[empty, group] : groups) {
    if (locp == nullptr && std::find(empty.begin(), empty.end(), true) != empty.end() &&
        ks_oci_lob_new_empty(c, &locp) != 0) {
      rc = -1;
      break;
    }
    if ((rc = insert_batch(c, sql, cols, group, empty, locp)) != 0) break;
  }
  if (locp != nullptr) ks_oci_lob_free(c, locp);
  return rc;
}

// Copy the rows of the source table into the new target table; the row count in *copied.
int copy_rows(sqlite3 *src, ks_oci_ses_t *dst, const std::string &q, const std::string &owner, const std::string &table,
              const std::vector<Col> &cols, uint64_t *copied) {
  std::string sel = "SELECT ", ins = "insert into \"" + owner + "\".\"" + table + "\" (", vals;
  for (size_t i = 0; i < cols.size(); i++) {
    sel += (i ? ", \"" : "\"") + cols[i].name + "\"";
    ins += (i ? ", \"" : "\"") + cols[i].name + "\"";
    vals += (i ? ", :" : ":") + std::to_string(i + 1);
  }
  sel += " FROM \"" + q + "\"";
  ins += ") values (" + vals + ")";
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(src, sel.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    KS_ERROR("read %s from the source: %s", q.c_str(), sqlite3_errmsg(src));
    return -1;
  }
  std::vector<std::vector<std::pair<bool, std::string>>> rows;
  int rc = 0, step;
  while (rc == 0 && (step = sqlite3_step(s)) == SQLITE_ROW) {
    std::vector<std::pair<bool, std::string>> row(cols.size());
    for (size_t i = 0; i < cols.size() && rc == 0; i++) {
      if (source_value(s, int(i), cols[i], &row[i].second, &row[i].first) != 0) {
        KS_ERROR("value of %s.%s in row %llu of the source is not a valid %s.", q.c_str(), cols[i].name.c_str(),
                 (unsigned long long)(*copied + rows.size() + 1), cols[i].type.c_str());
        rc = -1;
      }
    }
    rows.push_back(std::move(row));
    if (rc == 0 && rows.size() == kBatchRows) {
      *copied += rows.size();
      rc = insert_rows(dst, ins, cols, std::move(rows));
      rows.clear();
    }
  }
  if (rc == 0 && step != SQLITE_DONE) {
    KS_ERROR("read %s from the source: %s", q.c_str(), sqlite3_errmsg(src));
    rc = -1;
  }
  sqlite3_finalize(s);
  if (rc == 0 && !rows.empty()) {
    *copied += rows.size();
    rc = insert_rows(dst, ins, cols, std::move(rows));
  }
  if (rc != 0 && ks_oci_get_error_code() != 0)
    KS_ERROR("copy %s to %s.%s: %s", q.c_str(), owner.c_str(), table.c_str(), ks_oci_get_message());
  return rc;
}

}  // namespace

int ks_sim_map_parse(const std::string &text, ks_sim_map_t *out) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || text.find('=', eq + 1) != std::string::npos) {
    KS_ERROR("mapping \"%s\": OWNER[.TABLE]=OWNER[.TABLE] expected.", text.c_str());
    return -1;
  }
  ks_sim_map_t m;
  if (!split_name(text.substr(0, eq), &m.owner, &m.table) ||
      !split_name(text.substr(eq + 1), &m.map_owner, &m.map_table) || m.owner == "*" || m.map_owner == "*") {
    KS_ERROR("mapping \"%s\": bad name.", text.c_str());
    return -1;
  }
  if (m.table == "*") m.table.clear();
  if (m.map_table == "*") m.map_table.clear();
  if (m.table.empty() != m.map_table.empty()) {
    KS_ERROR("mapping \"%s\": a schema maps to a schema and a table to a table.", text.c_str());
    return -1;
  }
  *out = m;
  return 0;
}

std::pair<std::string, std::string> ks_sim_map_name(const std::vector<ks_sim_map_t> &maps, const std::string &owner,
                                                    const std::string &table) {
  for (const auto &m : maps)
    if (!m.table.empty() && m.owner == owner && m.table == table) return {m.map_owner, m.map_table};
  for (const auto &m : maps)
    if (m.table.empty() && m.owner == owner) return {m.map_owner, table};
  return {owner, table};
}

int ks_sim_select_tables(sqlite3 *src, const std::vector<std::string> &patterns,
                         const std::vector<std::string> &exclude, std::vector<std::string> *out) {
  std::vector<std::pair<std::string, std::string>> all;
  if (user_tables(src, &all) != 0) return -1;
  auto parse = [](const std::string &p, std::string *o, std::string *t) {
    if (!split_name(p, o, t) || t->empty()) {
      KS_ERROR("table \"%s\": OWNER.TABLE or OWNER.* expected.", p.c_str());
      return false;
    }
    return true;
  };
  std::set<std::string> chosen;
  for (const auto &p : patterns) {
    std::string o, t;
    if (!parse(p, &o, &t)) return -1;
    bool any = false;
    for (const auto &[owner, table] : all)
      if (matches(owner, table, o, t)) {
        chosen.insert(owner + "." + table);
        any = true;
      }
    if (!any) {
      KS_ERROR("no table of the source matches %s.", p.c_str());
      return -1;
    }
  }
  if (patterns.empty())
    for (const auto &[owner, table] : all) chosen.insert(owner + "." + table);
  for (const auto &p : exclude) {
    std::string o, t;
    if (!parse(p, &o, &t)) return -1;
    for (const auto &[owner, table] : all)
      if (matches(owner, table, o, t)) chosen.erase(owner + "." + table);
  }
  out->assign(chosen.begin(), chosen.end());
  return 0;
}

int ks_sim_instantiate(sqlite3 *src, ks_oci_ses_t *dst, const std::vector<std::string> &tables,
                       const std::vector<ks_sim_map_t> &maps, FILE *out) {
  // Refuse before creating anything: two source tables mapped onto one target table, or
  // a target table that already exists, would double rows.
  std::set<std::string> targets;
  for (const auto &q : tables) {
    std::string owner, table;
    if (!split_name(q, &owner, &table) || table.empty()) {
      KS_ERROR("table \"%s\": OWNER.TABLE expected.", q.c_str());
      return -1;
    }
    auto [t_owner, t_table] = ks_sim_map_name(maps, owner, table);
    if (!targets.insert(t_owner + "." + t_table).second) {
      KS_ERROR("two source tables map to %s.%s on the target.", t_owner.c_str(), t_table.c_str());
      return -1;
    }
    int rc = run_once(dst, "select 1 from \"" + t_owner + "\".\"" + t_table + "\" where rownum < 2");
    if (rc == 0) {
      KS_ERROR("table %s.%s already exists on the target: drop it, or leave %s out.", t_owner.c_str(), t_table.c_str(),
               q.c_str());
      return -1;
    }
    if (rc != 942) {
      KS_ERROR("look for %s.%s on the target: %s", t_owner.c_str(), t_table.c_str(), ks_oci_get_message());
      return -1;
    }
  }
  for (const auto &q : tables) {
    std::string owner, table;
    split_name(q, &owner, &table);
    auto [t_owner, t_table] = ks_sim_map_name(maps, owner, table);
    std::vector<Col> cols;
    std::vector<std::string> pk;
    if (describe(src, owner, table, &cols, &pk) != 0) return -1;
    if (cols.empty()) {
      KS_ERROR("table %s not found in the source.", q.c_str());
      return -1;
    }
    if (run_once(dst, create_text(t_owner, t_table, cols, pk)) != 0) {
      KS_ERROR("create %s.%s on the target: %s", t_owner.c_str(), t_table.c_str(), ks_oci_get_message());
      return -1;
    }
    uint64_t copied = 0;
    int rc = copy_rows(src, dst, owner + "." + table, t_owner, t_table, cols, &copied);
    if (rc == 0 && ks_oci_commit(dst, 0) != 0) {
      KS_ERROR("commit the rows of %s.%s on the target: %s", t_owner.c_str(), t_table.c_str(), ks_oci_get_message());
      rc = -1;
    }
    if (rc != 0) {
      ks_oci_rollback(dst);
      if (run_once(dst, "drop table \"" + t_owner + "\".\"" + t_table + "\"") != 0)
        KS_ERROR("drop the half-filled %s.%s on the target: %s", t_owner.c_str(), t_table.c_str(),
                 ks_oci_get_message());
      return -1;
    }
    if (t_owner == owner && t_table == table)
      fprintf(out, "%s: created, %llu rows copied\n", q.c_str(), (unsigned long long)copied);
    else
      fprintf(out, "%s -> %s.%s: created, %llu rows copied\n", q.c_str(), t_owner.c_str(), t_table.c_str(),
              (unsigned long long)copied);
  }
  return 0;
}

}  // namespace ks::sim
