// Tables with table compression in the simulated source. A database logs a row of a
// compressed block as one field holding the whole row image, and an update of such a row
// as an overwrite of the whole row whose undo holds the old row and no supplemental-log
// header; rows it has decompressed again go back to the ordinary shapes. The source mixes
// both: of a compressed table's changes, three in four take the compressed shapes. What
// extract should make of an overwrite is recorded as such: the columns whose value
// differs, and for the old image the key (the primary key, else the unique key, else every
// column) with the changed columns' before images.
#include <sqlite3.h>

#include <cstdio>

#include "lib/log/log.h"
#include "sim/source/catalog.h"
#include "sim/source/sim_db.h"
#include "sim/source/sim_txn.h"

namespace ks::sim {

namespace {

// The row as its piece stores it: trailing NULL columns left out.
void stored_image(const std::vector<ks_val_t> &v, std::vector<ks_colval_t> *out) {
  size_t n = v.size();
  while (n > 0 && v[n - 1].is_null) n--;
  out->clear();
  for (size_t i = 0; i < n; i++)
    out->push_back(v[i].is_null ? ks_colval_t{nullptr, -1}
                                : ks_colval_t{reinterpret_cast<const uint8_t *>(v[i].b.data()), int(v[i].b.size())});
}

bool differs(const ks_val_t &a, const ks_val_t &b) { return a.is_null != b.is_null || (!a.is_null && a.b != b.b); }

bool in(const std::vector<int> &l, int c) {
  for (int x : l)
    if (x == c) return true;
  return false;
}

constexpr const char *kCreate =
    "CREATE TABLE IF NOT EXISTS \"KS$COMPRESSION\" (\"OBJ#\" INTEGER PRIMARY KEY, \"KIND\" INTEGER)";

}  // namespace

int ks_sim_db::set_compression(ks_table_t *t, int kind) {
  char sql[160];
  snprintf(sql, sizeof sql, "INSERT OR REPLACE INTO \"KS$COMPRESSION\" VALUES (%u, %d)", t->objn, kind);
  if (exec(kCreate) != 0 || exec(sql) != 0) return -1;
  t->compress = kind;
  return 0;
}

int ks_sim_db::load_compression() {
  if (exec(kCreate) != 0) return -1;
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT \"OBJ#\", \"KIND\" FROM \"KS$COMPRESSION\"", -1, &s, nullptr) != SQLITE_OK) {
    KS_ERROR("sqlite prepare error: %s", sqlite3_errmsg(db_));
    return -1;
  }
  while (sqlite3_step(s) == SQLITE_ROW) {
    const auto objn = uint32_t(sqlite3_column_int64(s, 0));
    for (auto &t : tables_)
      if (t->objn == objn) t->compress = sqlite3_column_int(s, 1);
  }
  sqlite3_finalize(s);
  return 0;
}

bool ks_sim_db::compressed_shape(ks_table_t *t) {
  if (t->compress == 0) return false;
  for (const auto &c : t->cols)
    if (c.is_lob() || c.is_long()) return false;
  return t->comp_seq++ % 4 != 3;
}

int ks_sim_db::overwrite_update(ks_txn_t *tx, ks_table_t *t, const ks_row_t &r, const std::vector<int> &cols,
                                const std::vector<ks_val_t> &nv) {
  std::vector<ks_val_t> after = r.v;
  for (size_t i = 0; i < cols.size(); i++) after[size_t(cols[i])] = nv[i];
  static thread_local std::vector<ks_colval_t> ocv, ncv;
  stored_image(r.v, &ocv);
  stored_image(after, &ncv);
  const ks_rowref_t ref{r.dba, r.slot};
  rec_begin();
  uint64_t scn = scn_;
  rec_segment(t);
  txn_start(tx, t->owner);
  // Each image one field or one per value, as the block held the row.
  rec_.set_row_image(t->comp_seq % 2 == 0);
  rec_.undo_of_overwrite(tx->xid, t->objn, ref, ocv.data(), int(ocv.size()));
  rec_.set_row_image(t->comp_seq % 3 != 0);
  rec_.redo_irp(ref, ncv.data(), int(ncv.size()), nullptr, redo::KS_REDO_OP_ORP);
  if (rec_end(scn) != 0) return -1;
  if (expect_ && !tx->exp.empty()) {
    ks_expect_t &e = tx->exp.back();
    e.newv.clear();
    e.oldv.clear();
    const std::vector<int> &key = !t->pk.empty() ? t->pk : t->uk;
    for (size_t i = 0; i < t->cols.size(); i++) {
      const bool ch = differs(r.v[i], after[i]);
      if (ch) e.newv.emplace_back(int(i), after[i]);
      if (ch || key.empty() || in(key, int(i))) e.oldv.emplace_back(int(i), r.v[i]);
    }
  }
  return 0;
}

void ks_sim_db::overwrite_back(ks_table_t *t, const ks_row_t &r, const ks_undo_t &u) {
  std::vector<ks_val_t> before = r.v;
  for (size_t i = 0; i < u.cols.size(); i++) before[size_t(u.cols[i])] = u.old[i];
  static thread_local std::vector<ks_colval_t> cv;
  stored_image(before, &cv);
  rec_.set_row_image(t->comp_seq++ % 2 == 0);
  rec_.redo_irp({r.dba, r.slot}, cv.data(), int(cv.size()), nullptr, redo::KS_REDO_OP_ORP);
}

}  // namespace ks::sim
