// DDL of the simulated source. A statement changes the dictionary tables of the catalogue
// and, as a database does, logs every dictionary row it inserts, updates or deletes as an
// ordinary row change of that table (undo 5.1 with 11.2, 11.5 or 11.3), in the same
// transaction as the statement's own record (24.1); readers of the redo rebuild their
// dictionary from those rows. The model's tables and sequences follow the dictionary.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/log/log.h"
#include "sim/source/catalog.h"
#include "sim/source/ora_value.h"
#include "sim/source/sim_db.h"
#include "sim/source/sim_txn.h"

namespace ks::sim {

using namespace ks::redo;

namespace {

constexpr uint32_t kSeqObjn = 74;  // SYS.SEQ$

// Dictionary flags a database keeps: an object in the recycle bin, a column set unused.
constexpr int kObjInBin = 128;
constexpr int kColUnused = 0x8000 | 0x20;

// DDL types of the statement record.
enum : uint8_t {
  kDdlCreateTable = 1,
  kDdlCreateIndex = 9,
  kDdlDropIndex = 10,
  kDdlDropTable = 12,
  kDdlCreateSeq = 13,
  kDdlAlterSeq = 14,
  kDdlAlterTable = 15,
  kDdlDropSeq = 16,
  kDdlTruncate = 85,
  kDdlPurgeTable = 198,
};

std::string num(int64_t v) { return std::to_string(v); }
std::string opt(int v) { return v ? std::to_string(v) : "NULL"; }

// Rows of a dictionary table matching where, with their row ids, in the internal format
// of its columns (NUMBER, VARCHAR2, DATE).
int sys_rows(sqlite3 *db, const ks_sys_table_t &st, const std::string &where,
             std::vector<std::pair<int64_t, std::vector<ks_val_t>>> *out) {
  std::string sql = std::string("SELECT rowid, * FROM \"SYS.") + st.name + "\" WHERE " + where + " ORDER BY rowid";
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    KS_ERROR("sqlite prepare error: %s\nstatement: %.200s", sqlite3_errmsg(db), sql.c_str());
    return -1;
  }
  int rc = 0;
  while (rc == 0 && sqlite3_step(s) == SQLITE_ROW) {
    std::vector<ks_val_t> v(st.cols.size());
    for (size_t i = 0; i < st.cols.size() && rc == 0; i++) {
      int c = int(i) + 1;
      if (sqlite3_column_type(s, c) == SQLITE_NULL) continue;
      const char *p = reinterpret_cast<const char *>(sqlite3_column_text(s, c));
      std::string text(p ? p : "", size_t(sqlite3_column_bytes(s, c)));
      v[i].is_null = false;
      if (st.cols[i].type == kTypeNumber)
        rc = ks_num_from_text(text, &v[i].b);
      else if (st.cols[i].type == kTypeDate)
        rc = ks_date_from_text(text, &v[i].b, false);
      else
        v[i].b = text;
      if (rc != 0) KS_ERROR("bad value in SYS.%s column %s: %s", st.name, st.cols[i].name, text.c_str());
    }
    out->emplace_back(sqlite3_column_int64(s, 0), std::move(v));
  }
  sqlite3_finalize(s);
  return rc;
}

std::vector<ks_colval_t> colvals(const std::vector<ks_val_t> &v, size_t n) {
  std::vector<ks_colval_t> cv(n);
  for (size_t i = 0; i < n; i++)
    cv[i] = v[i].is_null ? ks_colval_t{nullptr, -1}
                         : ks_colval_t{reinterpret_cast<const uint8_t *>(v[i].b.data()), int(v[i].b.size())};
  return cv;
}

// A recycle-bin name: BIN$, 22 characters of an object's global id in base 64, ==$0.
std::string bin_name(std::mt19937_64 &rng) {
  static const char k64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s = "BIN$";
  for (int i = 0; i < 22; i++) s += k64[rng() % 64];
  return s + "==$0";
}

}  // namespace

// ---- the DDL transaction and its dictionary rows ----

int ks_sim_db::ddl_begin(ks_ddl_t *d, const std::string &user) {
  d->tx = begin();
  d->user = user;
  if (!d->tx || exec("SAVEPOINT ks_ddl") != 0) return -1;
  d->db = this;
  return 0;
}

void ks_sim_db::ddl_abort(ks_ddl_t *d) {
  d->db = nullptr;
  exec("ROLLBACK TO ks_ddl");
  exec("RELEASE ks_ddl");
  if (d->tx->done) return;
  d->tx->done = true;
  uint64_t scn;
  if (d->tx->started && commit_record(d->tx->xid, true, &scn) != 0)
    KS_ERROR("the failed DDL transaction could not be rolled back in the redo.");
  free_xid(d->tx->xid);
}

int ks_sim_db::ddl_end(ks_ddl_t *d, uint32_t objn, const std::string &text, const std::string &owner,
                       const std::string &name, uint8_t type) {
  ks_txn_t *tx = d->tx;
  if (exec("RELEASE ks_ddl") != 0) return -1;
  d->db = nullptr;
  rec_begin();
  uint64_t scn = scn_;
  txn_start(tx, d->user);
  rec_.ddl(tx->xid, objn, text, owner, name, type);
  tx->done = true;
  free_xid(tx->xid);
  if (rec_end(scn) != 0 || commit_record(tx->xid, false, &scn) != 0) return -1;
  return commit_point();
}

int ks_sim_db::sys_log(ks_ddl_t *d, uint32_t so, int64_t rowid, const std::vector<ks_val_t> *old,
                       const std::vector<ks_val_t> *nv) {
  // Each dictionary table's rows in their own blocks of file 1, 64 to a block.
  ks_rowref_t ref{1u << 22 | (0x10000u + so * 0x400u + uint32_t(rowid / 64)), uint16_t(rowid % 64)};
  rec_begin();
  uint64_t scn = scn_;
  rec_.set_segment(so, ks_sys_segment(so), 0);
  txn_start(d->tx, d->user);
  ks_suplog_t sup;
  if (!old) {
    size_t n = nv->size();
    while (n > 0 && (*nv)[n - 1].is_null) n--;  // trailing NULL columns are not stored
    auto cv = colvals(*nv, n);
    sup.op = kSupOpInsert;
    sup.redo_scid = 1;
    rec_.undo_of_insert(d->tx->xid, so, ref, sup);
    rec_.redo_irp(ref, cv.data(), int(n));
  } else if (!nv) {
    size_t n = old->size();
    while (n > 0 && (*old)[n - 1].is_null) n--;
    auto cv = colvals(*old, n);
    sup.op = kSupOpDelete;
    sup.undo_scid = 1;
    rec_.undo_of_delete(d->tx->xid, so, ref, cv.data(), int(n), sup);
    rec_.redo_drp(ref);
  } else {
    // The dictionary's own code updates whole rows: every column is in the change.
    auto ov = colvals(*old, old->size());
    auto cv = colvals(*nv, nv->size());
    std::vector<uint16_t> colno(nv->size());
    for (size_t i = 0; i < colno.size(); i++) colno[i] = uint16_t(i);
    sup.op = kSupOpUpdate;
    sup.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
    sup.undo_scid = sup.redo_scid = 1;
    rec_.undo_of_update(d->tx->xid, so, ref, colno.data(), ov.data(), int(ov.size()), sup);
    rec_.redo_urp(ref, colno.data(), cv.data(), int(cv.size()));
  }
  return rec_end(scn);
}

int ks_sim_db::sys_insert(ks_ddl_t *d, const char *tab, const std::string &values) {
  const ks_sys_table_t *st = ks_sys_table(tab);
  if (!st || exec((std::string("INSERT INTO \"SYS.") + tab + "\" VALUES (" + values + ")").c_str()) != 0) return -1;
  std::vector<std::pair<int64_t, std::vector<ks_val_t>>> rows;
  if (sys_rows(db_, *st, "rowid = " + num(sqlite3_last_insert_rowid(db_)), &rows) != 0 || rows.size() != 1) return -1;
  return sys_log(d, st->objn, rows[0].first, nullptr, &rows[0].second);
}

int ks_sim_db::sys_update(ks_ddl_t *d, const char *tab, const std::string &set, const std::string &where) {
  const ks_sys_table_t *st = ks_sys_table(tab);
  std::vector<std::pair<int64_t, std::vector<ks_val_t>>> before;
  if (!st || sys_rows(db_, *st, where, &before) != 0) return -1;
  for (auto &b : before) {
    std::string at = "rowid = " + num(b.first);
    std::vector<std::pair<int64_t, std::vector<ks_val_t>>> after;
    if (exec((std::string("UPDATE \"SYS.") + tab + "\" SET " + set + " WHERE " + at).c_str()) != 0 ||
        sys_rows(db_, *st, at, &after) != 0 || after.size() != 1 ||
        sys_log(d, st->objn, b.first, &b.second, &after[0].second) != 0)
      return -1;
  }
  return 0;
}

int ks_sim_db::sys_delete(ks_ddl_t *d, const char *tab, const std::string &where) {
  const ks_sys_table_t *st = ks_sys_table(tab);
  std::vector<std::pair<int64_t, std::vector<ks_val_t>>> before;
  if (!st || sys_rows(db_, *st, where, &before) != 0) return -1;
  for (auto &b : before)
    if (sys_log(d, st->objn, b.first, &b.second, nullptr) != 0) return -1;
  return exec((std::string("DELETE FROM \"SYS.") + tab + "\" WHERE " + where).c_str());
}

// ---- tables ----

int ks_sim_db::user_table_sql(const ks_table_t &t) {
  // The table's copy in the catalogue file holds every stored column in segment order;
  // its readable column list only those in use.
  std::string sql = "DROP TABLE IF EXISTS " + t.sql_name() +
                    ";\nDELETE FROM \"KS$COLUMNS\" WHERE \"OWNER\" = " + ks_sql_quote(t.owner) +
                    " AND \"TABLE_NAME\" = " + ks_sql_quote(t.name) + ";\n";
  std::string create = "CREATE TABLE " + t.sql_name() + " (";
  char b[512];
  for (size_t i = 0; i < t.cols.size(); i++) {
    const ks_col_t &c = t.cols[i];
    if (c.col_no > 0) {
      snprintf(b, sizeof b, "INSERT INTO \"KS$COLUMNS\" VALUES (%s, %s, %s, %d, '%s', %d, '%s');\n",
               ks_sql_quote(t.owner).c_str(), ks_sql_quote(t.name).c_str(), ks_sql_quote(c.name).c_str(), c.col_no,
               c.type_name().c_str(), c.length, c.not_null ? "N" : "Y");
      sql += b;
    }
    const char *aff = c.type == kTypeNumber                                                 ? "NUMERIC"
                      : c.type == kTypeRaw || c.type == kTypeLongRaw || c.type == kTypeBlob ? "BLOB"
                                                                                            : "TEXT";
    create += (i ? ", \"" : "\"") + c.name + "\" " + aff + (c.not_null ? " NOT NULL" : "");
  }
  return exec((sql + create + ");").c_str());
}

int ks_sim_db::sys_table_rows(ks_ddl_t *d, const ks_table_t &t) {
  std::string now = "'" + clock_text() + "'";
  std::string obj = num(t.objn), user = num(t.user_no);
  if (sys_insert(d, "OBJ$",
                 obj + ", " + obj + ", " + user + ", " + ks_sql_quote(t.name) + ", 1, NULL, 2, " + now + ", " + now +
                     ", " + now + ", 1, 0") != 0 ||
      sys_insert(d, "TAB$",
                 obj + ", " + obj + ", 4, " + num(t.file) + ", " + num(t.seg_block) + ", NULL, " +
                     num(int64_t(t.cols.size())) + ", " + num(536870912 | (t.iot ? 64 : 0)) + ", 0") != 0)
    return -1;
  // The overflow segment of an index-organised table: a table object of its own (property
  // 512) whose base object is the table.
  if (t.ovf_objn != 0) {
    std::string ovf = num(t.ovf_objn);
    if (sys_insert(d, "OBJ$",
                   ovf + ", " + ovf + ", " + user + ", " + ks_sql_quote("SYS_IOT_OVER_" + obj) + ", 1, NULL, 2, " +
                       now + ", " + now + ", " + now + ", 1, 0") != 0 ||
        sys_insert(
            d, "TAB$",
            ovf + ", " + ovf + ", 4, " + num(t.file) + ", " + num(t.seg_block + 6) + ", " + obj + ", 0, 512, 0") != 0)
      return -1;
  }
  for (const ks_col_t &c : t.cols) {
    bool chr = c.type == kTypeVarchar2 || c.type == kTypeChar || c.type == kTypeClob || c.type == kTypeLong;
    if (sys_insert(d, "COL$",
                   obj + ", " + num(c.col_no) + ", " + num(c.segcol) + ", " + num(c.length) + ", " + num(c.segcol) +
                       ", " + ks_sql_quote(c.name) + ", " + num(c.type) + ", " + num(c.length) + ", 0, " +
                       opt(c.precision) + ", " + opt(c.scale) + ", " + num(c.not_null) + ", " +
                       (c.deflt.empty() ? "NULL, NULL" : num(int64_t(c.deflt.size())) + ", " + ks_sql_quote(c.deflt)) +
                       ", " + num(c.segcol) + ", 0, " + num(chr ? (c.csform == 2 ? 2000 : 873) : 0) + ", " +
                       num(chr ? c.csform : 0)) != 0)
      return -1;
    // A LOB column's segment; property 2048 marks SecureFile storage.
    if (c.is_lob() && sys_insert(d, "LOB$",
                                 obj + ", " + num(c.col_no) + ", " + num(c.segcol) + ", " + num(c.lob_objn) +
                                     ", 0, 4, " + num(c.securefile ? 2048 : 0)) != 0)
      return -1;
  }
  if (t.pk.empty()) return 0;
  std::string ind = num(t.pk_objn), con = num(t.pk_con), n = num(int64_t(t.pk.size()));
  if (sys_insert(d, "OBJ$",
                 ind + ", " + ind + ", " + user + ", " + ks_sql_quote(("PK_" + t.name).substr(0, 128)) +
                     ", 4, NULL, 1, " + now + ", " + now + ", " + now + ", 1, 0") != 0 ||
      sys_insert(d, "IND$", ind + ", " + ind + ", " + obj + ", " + n + ", " + (t.iot ? "4" : "1") + ", 0, 1") != 0 ||
      sys_insert(d, "CDEF$", con + ", " + obj + ", " + n + ", 2, 1, 0") != 0)
    return -1;
  for (size_t k = 0; k < t.pk.size(); k++) {
    const ks_col_t &c = t.cols[size_t(t.pk[k])];
    std::string pos = num(int64_t(k) + 1);
    if (sys_insert(
            d, "ICOL$",
            ind + ", " + obj + ", " + num(c.col_no) + ", " + pos + ", " + num(c.segcol) + ", " + num(c.segcol)) != 0 ||
        sys_insert(d, "CCOL$", con + ", " + obj + ", " + num(c.col_no) + ", " + pos + ", " + num(c.segcol)) != 0)
      return -1;
  }
  return 0;
}

int ks_sim_db::create_table(const std::string &owner, const std::string &name, std::vector<ks_col_t> cols,
                            const std::vector<std::string> &pk, const std::string &ddl_text, int org) {
  auto u = users_.find(owner);
  if (u == users_.end()) {
    KS_ERROR("user %s does not exist.", owner.c_str());
    return -1;
  }
  if (table(owner, name)) {
    KS_ERROR("name %s.%s is already used by an existing object.", owner.c_str(), name.c_str());
    return -1;
  }
  if (cols.empty() || cols.size() > 1000) {
    KS_ERROR("table %s.%s: between 1 and 1000 columns.", owner.c_str(), name.c_str());
    return -1;
  }
  auto t = std::make_unique<ks_table_t>();
  t->objn = next_objn_++;
  t->user_no = u->second;
  t->owner = owner;
  t->name = name;
  int est = 8;
  for (size_t i = 0; i < cols.size(); i++) {
    cols[i].col_no = int(i) + 1;
    cols[i].segcol = int(i) + 1;
    est += 1 + std::min(cols[i].length, 40);
    if (cols[i].is_lob()) cols[i].lob_objn = next_objn_++;
  }
  t->cols = std::move(cols);
  for (const auto &k : pk) {
    bool found = false;
    for (size_t i = 0; i < t->cols.size(); i++)
      if (t->cols[i].name == k) t->pk.push_back(int(i)), t->cols[i].not_null = true, found = true;
    if (!found) {
      KS_ERROR("invalid identifier %s in the primary key of %s.%s.", k.c_str(), owner.c_str(), name.c_str());
      return -1;
    }
  }
  if (org != 0) {
    // The rows are the leaf rows of the key, which leads them: orasim takes the key
    // columns first, in key order, and values that fit a leaf row.
    bool ok = !t->pk.empty();
    for (size_t k = 0; k < t->pk.size(); k++) ok &= t->pk[k] == int(k);
    for (const ks_col_t &c : t->cols) ok &= !c.is_lob() && !c.is_long();
    if (!ok) {
      KS_ERROR(
          "index-organised table %s.%s: the primary key must lead its columns, in key order, and no column may "
          "be a LOB or a LONG.",
          owner.c_str(), name.c_str());
      return -1;
    }
    t->iot = true;
    if (org == 2) t->ovf_objn = next_objn_++;
  }
  t->file = 4 + t->objn % 4;
  uint32_t &nb = next_file_block_[t->file & 15];
  if (nb < 128) nb = 128;
  t->seg_block = nb + 1;
  nb += 8;
  t->cur_block = 0;
  t->slots_per_block = uint16_t(std::clamp(int(cfg_.db_block - 100) / est, 1, 255));
  if (!t->pk.empty()) {
    t->pk_objn = next_objn_++;
    t->pk_con = next_con_++;
  }
  ks_ddl_t d;
  char b[256];
  snprintf(b, sizeof b, "INSERT INTO \"KS$SEGMENTS\" VALUES (%u, %u, %u, %u, %u, %u);", t->objn, t->file, t->seg_block,
           t->cur_block, t->next_slot, t->slots_per_block);
  if (ddl_begin(&d, owner) != 0 || sys_table_rows(&d, *t) != 0 || exec(b) != 0 || user_table_sql(*t) != 0) return -1;
  uint32_t objn = t->objn;
  tables_.push_back(std::move(t));
  return ddl_end(&d, objn, ddl_text, owner, name, kDdlCreateTable);
}

// A table whose rows an open transaction changed cannot change its definition.
static bool busy_table(const std::vector<std::unique_ptr<ks_txn_t>> &txns, const ks_table_t *t) {
  for (auto &tx : txns)
    if (tx && !tx->done)
      for (auto &u : tx->undo)
        if (u.t == t) {
          KS_ERROR("resource busy: table %s.%s has uncommitted changes.", t->owner.c_str(), t->name.c_str());
          return true;
        }
  return false;
}

int ks_sim_db::drop_table(const std::string &owner, const std::string &name, bool purge) {
  ks_table_t *t = table(owner, name);
  if (!t) {
    KS_ERROR("table or view %s.%s does not exist.", owner.c_str(), name.c_str());
    return -1;
  }
  if (busy_table(txns_, t)) return -1;
  uint32_t objn = t->objn;
  std::string obj = num(objn), text = "drop table " + owner + "." + name;
  ks_ddl_t d;
  if (ddl_begin(&d, owner) != 0) return -1;
  std::string bin;
  if (purge) {
    text += " purge";
    if (purge_rows(&d, objn) != 0) return -1;
  } else {
    // To the recycle bin: the table and its indexes keep their dictionary rows under
    // names of the bin, and their objects are marked as in it.
    std::vector<std::pair<int64_t, std::vector<ks_val_t>>> idx;
    if (sys_rows(db_, *ks_sys_table("IND$"), "\"BO#\" = " + obj, &idx) != 0) return -1;
    std::vector<int64_t> objs{objn};
    for (const auto &r : idx) objs.push_back(r.first);  // OBJ# is the row id of IND$
    for (int64_t o : objs) {
      std::string in_bin = bin_name(rng_);
      if (bin.empty()) bin = in_bin;
      if (sys_update(&d, "OBJ$", "\"NAME\" = " + ks_sql_quote(in_bin) + ", \"FLAGS\" = \"FLAGS\" | " + num(kObjInBin),
                     "\"OBJ#\" = " + num(o)) != 0)
        return -1;
    }
    text += " AS \"" + bin + "\"";
  }
  std::string sql = "DROP TABLE " + t->sql_name() +
                    ";\nCREATE TABLE IF NOT EXISTS \"KS$RECYCLEBIN\" (\"OWNER\" TEXT, \"ORIGINAL_NAME\" TEXT, "
                    "\"OBJECT_NAME\" TEXT)" +
                    ";\nDELETE FROM \"KS$SEGMENTS\" WHERE \"OBJ#\" = " + obj +
                    ";\nDELETE FROM \"KS$PIECES\" WHERE \"OBJ#\" = " + obj +
                    ";\nDELETE FROM \"KS$COLUMNS\" WHERE \"OWNER\" = " + ks_sql_quote(owner) +
                    " AND \"TABLE_NAME\" = " + ks_sql_quote(name) + ";";
  if (!bin.empty())
    sql += "INSERT INTO \"KS$RECYCLEBIN\" VALUES (" + ks_sql_quote(owner) + ", " + ks_sql_quote(name) + ", " +
           ks_sql_quote(bin) + ");";
  if (exec(sql.c_str()) != 0) return -1;
  for (size_t i = 0; i < tables_.size(); i++)
    if (tables_[i].get() == t) tables_.erase(tables_.begin() + long(i));
  return ddl_end(&d, objn, text, owner, name, kDdlDropTable);
}

int ks_sim_db::purge_rows(ks_ddl_t *d, uint32_t objn) {
  std::string obj = num(objn);
  if (sys_delete(d, "OBJ$", "\"OBJ#\" IN (SELECT \"OBJ#\" FROM \"SYS.IND$\" WHERE \"BO#\" = " + obj + ")") != 0)
    return -1;
  for (const char *tab : {"ICOL$", "IND$"})
    if (sys_delete(d, tab, "\"BO#\" = " + obj) != 0) return -1;
  for (const char *tab : {"CCOL$", "CDEF$", "LOB$", "COL$", "TAB$", "OBJ$"})
    if (sys_delete(d, tab, "\"OBJ#\" = " + obj) != 0) return -1;
  return 0;
}

int ks_sim_db::purge_table(const std::string &owner, const std::string &name) {
  auto u = users_.find(owner);
  std::vector<std::pair<int64_t, std::vector<ks_val_t>>> rows;
  const ks_sys_table_t *st = ks_sys_table("OBJ$");
  // A table is purged by its recycle-bin name, or by its own: the last one dropped.
  std::string bin = name;
  if (name.compare(0, 4, "BIN$") != 0) {
    sqlite3_stmt *s = nullptr;
    std::string q = "SELECT \"OBJECT_NAME\" FROM \"KS$RECYCLEBIN\" WHERE \"OWNER\" = " + ks_sql_quote(owner) +
                    " AND \"ORIGINAL_NAME\" = " + ks_sql_quote(name) + " ORDER BY rowid DESC";
    if (sqlite3_prepare_v2(db_, q.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
      bin = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
  }
  if (u == users_.end() ||
      sys_rows(db_, *st,
               "\"OWNER#\" = " + num(u->second) + " AND \"NAME\" = " + ks_sql_quote(bin) + " AND \"TYPE#\" = 2",
               &rows) != 0 ||
      rows.empty()) {
    KS_ERROR("table %s.\"%s\" is not in the recycle bin.", owner.c_str(), bin.c_str());
    return -1;
  }
  uint32_t objn = uint32_t(rows[0].first);  // OBJ# is the row id of OBJ$
  ks_ddl_t d;
  if (ddl_begin(&d, owner) != 0 || purge_rows(&d, objn) != 0) return -1;
  if (exec(("DELETE FROM \"KS$RECYCLEBIN\" WHERE \"OBJECT_NAME\" = " + ks_sql_quote(bin)).c_str()) != 0) return -1;
  return ddl_end(&d, objn, "purge table " + owner + ".\"" + bin + "\"", owner, bin, kDdlPurgeTable);
}

int ks_sim_db::add_column(ks_table_t *t, ks_col_t c, const std::string &text) {
  if (busy_table(txns_, t)) return -1;
  for (const auto &x : t->cols)
    if (x.name == c.name) {
      KS_ERROR("column %s is already in %s.%s.", c.name.c_str(), t->owner.c_str(), t->name.c_str());
      return -1;
    }
  int colno = 0;
  for (const auto &x : t->cols) colno = std::max(colno, x.col_no);
  c.col_no = colno + 1;
  c.segcol = int(t->cols.size()) + 1;
  t->cols.push_back(c);
  // Rows stored before it end before the new column: NULL, which a row leaves out.
  for (auto &r : t->rows)
    if (!r.v.empty()) r.v.push_back(ks_val_t::null());
  std::string obj = num(t->objn);
  bool chr = c.type == kTypeVarchar2 || c.type == kTypeChar;
  ks_ddl_t d;
  if (ddl_begin(&d, t->owner) != 0 ||
      sys_insert(&d, "COL$",
                 obj + ", " + num(c.col_no) + ", " + num(c.segcol) + ", " + num(c.length) + ", 0, " +
                     ks_sql_quote(c.name) + ", " + num(c.type) + ", " + num(c.length) + ", 0, " + opt(c.precision) +
                     ", " + opt(c.scale) + ", " + num(c.not_null) + ", NULL, NULL, " + num(c.segcol) + ", 0, " +
                     num(chr ? (c.csform == 2 ? 2000 : 873) : 0) + ", " + num(chr ? c.csform : 0)) != 0 ||
      sys_update(&d, "TAB$", "\"COLS\" = " + num(int64_t(t->cols.size())), "\"OBJ#\" = " + obj) != 0 ||
      sys_update(&d, "OBJ$", "\"MTIME\" = '" + clock_text() + "'", "\"OBJ#\" = " + obj) != 0 || user_table_sql(*t))
    return -1;
  t->dirty = true;
  return ddl_end(&d, t->objn, text, t->owner, t->name, kDdlAlterTable);
}

int ks_sim_db::drop_column(ks_table_t *t, const std::string &col, bool set_unused, const std::string &text) {
  if (busy_table(txns_, t)) return -1;
  size_t ci = 0;
  while (ci < t->cols.size() && (t->cols[ci].name != col || t->cols[ci].col_no == 0)) ci++;
  if (ci == t->cols.size()) {
    KS_ERROR("invalid identifier %s in %s.%s.", col.c_str(), t->owner.c_str(), t->name.c_str());
    return -1;
  }
  for (int k : t->pk)
    if (size_t(k) == ci) {
      KS_ERROR("cannot drop column %s of the primary key of %s.%s.", col.c_str(), t->owner.c_str(), t->name.c_str());
      return -1;
    }
  for (const auto &r : t->rows)
    if (!r.pieces.empty()) {
      KS_ERROR("cannot drop a column of %s.%s: it has rows stored as pieces.", t->owner.c_str(), t->name.c_str());
      return -1;
    }
  if (!t->uk.empty()) {
    KS_ERROR("cannot drop a column of %s.%s: it has a unique key.", t->owner.c_str(), t->name.c_str());
    return -1;
  }
  std::string obj = num(t->objn);
  int colno = t->cols[ci].col_no, segcol = t->cols[ci].segcol;
  ks_ddl_t d;
  if (ddl_begin(&d, t->owner) != 0) return -1;
  // The columns after it move up one place in the table's visible order.
  std::string later = "\"OBJ#\" = " + obj + " AND \"COL#\" > " + num(colno);
  if (set_unused) {
    // A column set unused keeps its place in the stored rows under a hidden name.
    char hidden[64];
    snprintf(hidden, sizeof hidden, "SYS_C%05d_%s$", segcol, clock_text().substr(2, 8).c_str());
    for (char &ch : hidden)
      if (ch == '-') ch = '_';
    t->cols[ci].name = hidden;
    t->cols[ci].col_no = 0;
    if (sys_update(
            &d, "COL$",
            "\"COL#\" = 0, \"NAME\" = " + ks_sql_quote(hidden) + ", \"PROPERTY\" = \"PROPERTY\" | " + num(kColUnused),
            "\"OBJ#\" = " + obj + " AND \"SEGCOL#\" = " + num(segcol)) != 0 ||
        sys_update(&d, "COL$", "\"COL#\" = \"COL#\" - 1", later) != 0)
      return -1;
  } else {
    // A dropped column leaves every stored row, and the segment columns after it move up.
    t->cols.erase(t->cols.begin() + long(ci));
    for (auto &r : t->rows)
      if (r.v.size() > ci) r.v.erase(r.v.begin() + long(ci));
    for (auto &k : t->pk)
      if (size_t(k) > ci) k--;
    if (sys_delete(&d, "COL$", "\"OBJ#\" = " + obj + " AND \"SEGCOL#\" = " + num(segcol)) != 0 ||
        sys_update(&d, "COL$",
                   "\"SEGCOL#\" = \"SEGCOL#\" - 1, \"INTCOL#\" = \"INTCOL#\" - 1, \"OFFSET\" = \"OFFSET\" - 1",
                   "\"OBJ#\" = " + obj + " AND \"SEGCOL#\" > " + num(segcol)) != 0 ||
        sys_update(&d, "COL$", "\"COL#\" = \"COL#\" - 1", later) != 0 ||
        sys_update(&d, "TAB$", "\"COLS\" = " + num(int64_t(t->cols.size())), "\"OBJ#\" = " + obj) != 0)
      return -1;
    for (size_t i = ci; i < t->cols.size(); i++) t->cols[i].segcol--;
  }
  for (auto &c : t->cols)
    if (c.col_no > colno) c.col_no--;
  if (sys_update(&d, "OBJ$", "\"MTIME\" = '" + clock_text() + "'", "\"OBJ#\" = " + obj) != 0 || user_table_sql(*t) != 0)
    return -1;
  t->dirty = true;
  return ddl_end(&d, t->objn, text, t->owner, t->name, kDdlAlterTable);
}

int ks_sim_db::modify_column(ks_table_t *t, const ks_col_t &c, const std::string &text) {
  if (busy_table(txns_, t)) return -1;
  ks_col_t *x = nullptr;
  for (auto &k : t->cols)
    if (k.name == c.name && k.col_no > 0) x = &k;
  if (!x) {
    KS_ERROR("invalid identifier %s in %s.%s.", c.name.c_str(), t->owner.c_str(), t->name.c_str());
    return -1;
  }
  // Values must stay what they are: only a change within the same kind of type.
  if ((x->type == kTypeNumber) != (c.type == kTypeNumber) || x->csform != c.csform) {
    KS_ERROR("column %s of %s.%s to be modified must be empty to change its type.", c.name.c_str(), t->owner.c_str(),
             t->name.c_str());
    return -1;
  }
  size_t ci = size_t(x - t->cols.data());
  for (uint32_t ri : t->live) {
    const ks_val_t &v = t->rows[ri].v[ci];
    if ((c.not_null && v.is_null) || (c.type != kTypeNumber && !v.is_null && int(v.b.size()) > c.length)) {
      KS_ERROR("cannot modify column %s of %s.%s: a row's value does not fit.", c.name.c_str(), t->owner.c_str(),
               t->name.c_str());
      return -1;
    }
  }
  x->type = c.type;
  x->length = c.length;
  x->precision = c.precision;
  x->scale = c.scale;
  x->not_null = c.not_null;
  std::string obj = num(t->objn);
  ks_ddl_t d;
  if (ddl_begin(&d, t->owner) != 0 ||
      sys_update(&d, "COL$",
                 "\"TYPE#\" = " + num(x->type) + ", \"LENGTH\" = " + num(x->length) +
                     ", \"SEGCOLLENGTH\" = " + num(x->length) + ", \"PRECISION#\" = " + opt(x->precision) +
                     ", \"SCALE\" = " + opt(x->scale) + ", \"NULL$\" = " + num(x->not_null),
                 "\"OBJ#\" = " + obj + " AND \"SEGCOL#\" = " + num(x->segcol)) != 0 ||
      sys_update(&d, "OBJ$", "\"MTIME\" = '" + clock_text() + "'", "\"OBJ#\" = " + obj) != 0 || user_table_sql(*t) != 0)
    return -1;
  t->dirty = true;
  return ddl_end(&d, t->objn, text, t->owner, t->name, kDdlAlterTable);
}

int ks_sim_db::rename_column(ks_table_t *t, const std::string &from, const std::string &to, const std::string &text) {
  if (busy_table(txns_, t)) return -1;
  ks_col_t *x = nullptr;
  bool taken = false;
  for (auto &k : t->cols) {
    if (k.name == to) taken = true;
    if (k.name == from && k.col_no > 0) x = &k;
  }
  if (!x || taken) {
    KS_ERROR("cannot rename column %s of %s.%s to %s.", from.c_str(), t->owner.c_str(), t->name.c_str(), to.c_str());
    return -1;
  }
  x->name = to;
  std::string obj = num(t->objn);
  ks_ddl_t d;
  if (ddl_begin(&d, t->owner) != 0 ||
      sys_update(&d, "COL$", "\"NAME\" = " + ks_sql_quote(to),
                 "\"OBJ#\" = " + obj + " AND \"SEGCOL#\" = " + num(x->segcol)) != 0 ||
      sys_update(&d, "OBJ$", "\"MTIME\" = '" + clock_text() + "'", "\"OBJ#\" = " + obj) != 0 || user_table_sql(*t) != 0)
    return -1;
  t->dirty = true;
  return ddl_end(&d, t->objn, text, t->owner, t->name, kDdlAlterTable);
}

int ks_sim_db::rename_table(ks_table_t *t, const std::string &to, const std::string &text) {
  if (busy_table(txns_, t)) return -1;
  if (table(t->owner, to)) {
    KS_ERROR("name %s.%s is already used by an existing object.", t->owner.c_str(), to.c_str());
    return -1;
  }
  std::string from = t->name, obj = num(t->objn);
  ks_ddl_t d;
  if (ddl_begin(&d, t->owner) != 0 ||
      sys_update(&d, "OBJ$", "\"NAME\" = " + ks_sql_quote(to) + ", \"MTIME\" = '" + clock_text() + "'",
                 "\"OBJ#\" = " + obj) != 0 ||
      exec(("DROP TABLE " + t->sql_name() + ";\nDELETE FROM \"KS$COLUMNS\" WHERE \"OWNER\" = " +
            ks_sql_quote(t->owner) + " AND \"TABLE_NAME\" = " + ks_sql_quote(from) + ";")
               .c_str()) != 0)
    return -1;
  t->name = to;
  if (user_table_sql(*t) != 0) return -1;
  t->dirty = true;
  return ddl_end(&d, t->objn, text, t->owner, from, kDdlAlterTable);
}

int ks_sim_db::truncate_table(ks_table_t *t, const std::string &text) {
  if (busy_table(txns_, t)) return -1;
  // The rows go without row changes in the redo; the segment keeps its data object.
  t->rows.clear();
  t->live.clear();
  t->spare.clear();
  t->dirty = true;
  ks_ddl_t d;
  if (ddl_begin(&d, t->owner) != 0 ||
      sys_update(&d, "OBJ$", "\"MTIME\" = '" + clock_text() + "'", "\"OBJ#\" = " + num(t->objn)) != 0)
    return -1;
  return ddl_end(&d, t->objn, text, t->owner, t->name, kDdlTruncate);
}

// ---- indexes ----

int ks_sim_db::create_index(ks_table_t *t, const std::string &name, const std::vector<std::string> &cols, bool unique,
                            const std::string &text) {
  std::vector<std::pair<int64_t, std::vector<ks_val_t>>> rows;
  if (sys_rows(db_, *ks_sys_table("OBJ$"), "\"OWNER#\" = " + num(t->user_no) + " AND \"NAME\" = " + ks_sql_quote(name),
               &rows) != 0)
    return -1;
  std::vector<const ks_col_t *> key;
  for (const auto &c : cols)
    for (const auto &x : t->cols)
      if (x.name == c && x.col_no > 0) key.push_back(&x);
  if (!rows.empty() || key.size() != cols.size() || cols.empty()) {
    KS_ERROR("cannot create index %s.%s on %s.", t->owner.c_str(), name.c_str(), t->name.c_str());
    return -1;
  }
  uint32_t objn = next_objn_++;
  std::string ind = num(objn), obj = num(t->objn), now = "'" + clock_text() + "'";
  ks_ddl_t d;
  if (ddl_begin(&d, t->owner) != 0 ||
      sys_insert(&d, "OBJ$",
                 ind + ", " + ind + ", " + num(t->user_no) + ", " + ks_sql_quote(name) + ", 4, NULL, 1, " + now + ", " +
                     now + ", " + now + ", 1, 0") != 0 ||
      sys_insert(&d, "IND$",
                 ind + ", " + ind + ", " + obj + ", " + num(int64_t(key.size())) + ", 1, 0, " + num(unique)) != 0)
    return -1;
  for (size_t k = 0; k < key.size(); k++)
    if (sys_insert(&d, "ICOL$",
                   ind + ", " + obj + ", " + num(key[k]->col_no) + ", " + num(int64_t(k) + 1) + ", " +
                       num(key[k]->segcol) + ", " + num(key[k]->segcol)) != 0)
      return -1;
  return ddl_end(&d, objn, text, t->owner, name, kDdlCreateIndex);
}

int ks_sim_db::drop_index(const std::string &owner, const std::string &name, const std::string &text) {
  auto u = users_.find(owner);
  std::vector<std::pair<int64_t, std::vector<ks_val_t>>> rows;
  if (u != users_.end() &&
      sys_rows(db_, *ks_sys_table("OBJ$"),
               "\"OWNER#\" = " + num(u->second) + " AND \"NAME\" = " + ks_sql_quote(name) + " AND \"TYPE#\" = 1",
               &rows) != 0)
    return -1;
  uint32_t objn = rows.empty() ? 0 : uint32_t(rows[0].first);
  for (const auto &t : tables_)
    if (objn && t->pk_objn == objn) {
      KS_ERROR("cannot drop index %s.%s: it enforces the primary key of %s.", owner.c_str(), name.c_str(),
               t->name.c_str());
      return -1;
    }
  if (!objn) {
    KS_ERROR("index %s.%s does not exist.", owner.c_str(), name.c_str());
    return -1;
  }
  std::string ind = num(objn);
  ks_ddl_t d;
  if (ddl_begin(&d, owner) != 0 || sys_delete(&d, "ICOL$", "\"OBJ#\" = " + ind) != 0 ||
      sys_delete(&d, "IND$", "\"OBJ#\" = " + ind) != 0 || sys_delete(&d, "OBJ$", "\"OBJ#\" = " + ind) != 0)
    return -1;
  return ddl_end(&d, objn, text, owner, name, kDdlDropIndex);
}

// ---- sequences ----

int ks_sim_db::create_sequence(const std::string &owner, const std::string &name, int64_t start, int64_t cache,
                               int64_t increment) {
  auto u = users_.find(owner);
  // Values are handed out upwards only: a sequence that counts down is not modelled.
  if (u == users_.end() || sequence(owner, name) || increment < 1) {
    KS_ERROR("cannot create sequence %s.%s.", owner.c_str(), name.c_str());
    return -1;
  }
  auto s = std::make_unique<ks_sequence_t>();
  s->objn = next_objn_++;
  s->owner = owner;
  s->name = name;
  s->next = start;
  s->highwater = start;
  s->increment = increment;
  s->cache = cache < 2 ? 20 : cache;
  std::string obj = num(s->objn), now = "'" + clock_text() + "'";
  ks_ddl_t d;
  if (ddl_begin(&d, owner) != 0 ||
      sys_insert(&d, "OBJ$",
                 obj + ", NULL, " + num(u->second) + ", " + ks_sql_quote(name) + ", 1, NULL, 6, " + now + ", " + now +
                     ", " + now + ", 1, 0") != 0 ||
      sys_insert(&d, "SEQ$",
                 obj + ", " + num(s->increment) + ", 1, '9999999999999999999999999999', 0, 0, " + num(s->cache) + ", " +
                     num(start) + ", NULL, 8") != 0)
    return -1;
  uint32_t objn = s->objn;
  seqs_.push_back(std::move(s));
  return ddl_end(&d, objn,
                 "create sequence " + owner + "." + name + " start with " + num(start) +
                     (increment == 1 ? "" : " increment by " + num(increment)) + " cache " +
                     num(cache < 2 ? 20 : cache),
                 owner, name, kDdlCreateSeq);
}

int ks_sim_db::alter_sequence(ks_sequence_t *s, int64_t increment, int64_t cache, const std::string &text) {
  if (increment < 1 || cache < 2) {
    KS_ERROR("invalid INCREMENT or CACHE for sequence %s.%s.", s->owner.c_str(), s->name.c_str());
    return -1;
  }
  // The values cached are given up: the next one is where the dictionary row starts again.
  s->increment = increment;
  s->cache = cache;
  s->highwater = s->next;
  ks_ddl_t d;
  if (ddl_begin(&d, s->owner) != 0 || sys_update(&d, "SEQ$",
                                                 "\"INCREMENT$\" = " + num(increment) + ", \"CACHE\" = " + num(cache) +
                                                     ", \"HIGHWATER\" = " + num(s->next),
                                                 "\"OBJ#\" = " + num(s->objn)) != 0)
    return -1;
  return ddl_end(&d, s->objn, text, s->owner, s->name, kDdlAlterSeq);
}

int ks_sim_db::drop_sequence(const std::string &owner, const std::string &name) {
  for (size_t i = 0; i < seqs_.size(); i++) {
    if (seqs_[i]->owner != owner || seqs_[i]->name != name) continue;
    uint32_t objn = seqs_[i]->objn;
    ks_ddl_t d;
    if (ddl_begin(&d, owner) != 0 || sys_delete(&d, "SEQ$", "\"OBJ#\" = " + num(objn)) != 0 ||
        sys_delete(&d, "OBJ$", "\"OBJ#\" = " + num(objn)) != 0)
      return -1;
    seqs_.erase(seqs_.begin() + long(i));
    return ddl_end(&d, objn, "drop sequence " + owner + "." + name, owner, name, kDdlDropSeq);
  }
  KS_ERROR("sequence %s.%s does not exist.", owner.c_str(), name.c_str());
  return -1;
}

int64_t ks_sim_db::nextval(ks_sequence_t *s, ks_txn_t *tx) {
  (void)tx;
  if (s->next >= s->highwater) {
    // The cache is used up: a recursive transaction raises SEQ$.HIGHWATER in the redo.
    int64_t hw = s->highwater + s->increment * s->cache;
    uint64_t xid;
    if (new_xid(&xid) != 0) return -1;
    std::string objn, oldv, newv;
    ks_num_from_int(s->objn, &objn);
    ks_num_from_int(s->highwater, &oldv);
    ks_num_from_int(hw, &newv);
    uint16_t colno[1] = {7};  // HIGHWATER is the eighth column of SEQ$
    uint16_t sscid[1] = {1};  // OBJ#
    ks_colval_t sv[1] = {{reinterpret_cast<const uint8_t *>(objn.data()), int(objn.size())}};
    ks_colval_t ov[1] = {{reinterpret_cast<const uint8_t *>(oldv.data()), int(oldv.size())}};
    ks_colval_t nv[1] = {{reinterpret_cast<const uint8_t *>(newv.data()), int(newv.size())}};
    ks_suplog_t sup;
    sup.op = kSupOpUpdate;
    sup.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
    sup.undo_scid = sup.redo_scid = 8;
    sup.ncol = 1;
    sup.scid = sscid;
    sup.val = sv;
    ks_rowref_t ref{0x00400000u | (1000 + s->objn % 4000), uint16_t(s->objn % 64)};
    rec_begin();
    uint64_t scn = scn_;
    rec_.set_segment(kSeqObjn, ks_sys_segment(kSeqObjn), 0);
    rec_.undo_seg_header(xid_usn(xid), xid_slot(xid), xid_sqn(xid));
    rec_.undo_of_update(xid, kSeqObjn, ref, colno, ov, 1, sup);
    rec_.redo_urp(ref, colno, nv, 1);
    if (rec_end(scn) != 0 || commit_record(xid, false, &scn) != 0) return -1;
    free_xid(xid);
    s->highwater = hw;
  }
  int64_t v = s->next;
  s->next += s->increment;
  return v;
}

}  // namespace ks::sim
