// Row changes of index-organised tables. Their rows are the leaf rows of the primary key:
// every change is leaf redo of that index (its object number in the undo and in the 5.6 /
// 5.11 of a rollback), one record per leaf row: an insert (undone by a purge), a delete
// (undone by a restore that carries the whole row), an update of non-key columns (undone by
// the old values of those columns), and an update of the key as the delete of the old leaf
// row and the insert of the new one. A multi-row insert is one array insert; its rollback
// one record purging every row. A row of a table with an overflow segment whose non-key
// part is longer than kIotThreshold keeps in its leaf row the leading non-key columns that
// fit in half of it, and the rest in one row piece of the overflow segment (its row id
// follows from the leaf row's): such a row is inserted as the overflow piece and then the
// leaf row (two records), deleted as the leaf row and then the piece. An update of its
// non-key columns that keeps the split changes the leaf row's columns as any non-key update
// and the overflow piece's by an update of that piece (the key as its supplemental
// columns), a change each; one that moves the split, or makes a row spill, moves the row as
// a delete and an insert. A multi-row insert with rows that spill writes their overflow
// pieces first, one quick multi-row insert of the overflow segment, then the array insert
// whose leaf rows name them. Both records of a row follow each other, as the change is
// keyed on the table until its last record.
#include <algorithm>

#include "lib/log/log.h"
#include "sim/source/sim_db.h"
#include "sim/source/sim_txn.h"

namespace ks::sim {

using namespace ks::redo;

namespace {

ks_colval_t colval(const ks_val_t &x) {
  return x.is_null ? ks_colval_t{nullptr, -1}
                   : ks_colval_t{reinterpret_cast<const uint8_t *>(x.b.data()), int(x.b.size())};
}

// The key columns (the table's first ones) and the stored non-key columns (up to the last
// one not NULL) of row values v.
void split_row(const ks_table_t *t, const std::vector<ks_val_t> &v, std::vector<ks_colval_t> *key,
               std::vector<ks_colval_t> *row) {
  const size_t nk = t->pk.size();
  key->clear();
  row->clear();
  for (size_t k = 0; k < nk; k++) key->push_back(colval(v[k]));
  size_t last = nk;
  for (size_t i = nk; i < v.size(); i++)
    if (!v[i].is_null) last = i + 1;
  for (size_t i = nk; i < last; i++) row->push_back(colval(v[i]));
}

// A leaf row holds at most this many bytes and one row header's count of columns.
int leaf_fits(const ks_table_t *t, const std::vector<ks_val_t> &v) {
  size_t bytes = 0;
  for (const ks_val_t &x : v) bytes += x.is_null ? 1 : x.b.size() + (x.b.size() > 250 ? 3 : 1);
  if (bytes <= size_t(kPieceBytes) && v.size() - t->pk.size() <= 255) return 0;
  KS_ERROR("row of index-organised table %s.%s too long for a leaf row (%zu bytes).", t->owner.c_str(), t->name.c_str(),
           bytes);
  return -1;
}

bool key_changes(const ks_table_t *t, const std::vector<int> &cols) {
  return std::any_of(cols.begin(), cols.end(), [&](int c) { return size_t(c) < t->pk.size(); });
}

constexpr size_t kIotThreshold = 150;

size_t stored_bytes(const ks_colval_t &c) { return c.len < 0 ? 1 : size_t(c.len) + (c.len > 250 ? 3 : 1); }

// Non-key columns of row the leaf row keeps: all of them unless the row spills.
size_t leaf_keeps(const ks_table_t *t, const std::vector<ks_colval_t> &row) {
  if (t->ovf_objn == 0) return row.size();
  size_t total = 0, keep = 0, head = 0;
  for (const ks_colval_t &c : row) total += stored_bytes(c);
  if (total <= kIotThreshold) return row.size();
  while (keep < row.size() && head + stored_bytes(row[keep]) <= kIotThreshold / 2) head += stored_bytes(row[keep++]);
  return keep;
}

bool spills(const ks_table_t *t, const std::vector<ks_val_t> &v) {
  std::vector<ks_colval_t> key, row;
  split_row(t, v, &key, &row);
  return leaf_keeps(t, row) < row.size();
}

// Where the overflow piece of the row at leaf row ref is.
ks_rowref_t overflow_ref(ks_rowref_t ref) { return ks_rowref_t{ref.dba | 1u << 21, ref.slot}; }

// Table columns from which on a spilled row's values are in its overflow piece: the same
// before and after an update of non-key columns, else 0 (the row moves: it spills on one
// side only, or its leaf row keeps another number of columns).
size_t overflow_from(const ks_table_t *t, const std::vector<ks_val_t> &before, const std::vector<ks_val_t> &after) {
  std::vector<ks_colval_t> key, row;
  split_row(t, before, &key, &row);
  const size_t kb = leaf_keeps(t, row), n = row.size();
  split_row(t, after, &key, &row);
  const size_t ka = leaf_keeps(t, row);
  return kb == ka && kb < n ? t->pk.size() + kb : 0;
}

}  // namespace

int ks_sim_db::iot_leaf(ks_txn_t *tx, ks_table_t *t, ks_rowref_t ref, uint8_t code, const std::vector<ks_val_t> &v,
                        uint8_t rb_code) {
  static thread_local std::vector<ks_colval_t> key, row;
  split_row(t, v, &key, &row);
  const size_t keep = leaf_keeps(t, row);
  if (keep < row.size()) return iot_leaf_spilled(tx, t, ref, code, key, row, keep, rb_code);
  rec_begin();
  const uint64_t scn = scn_;
  rec_.set_segment(t->pk_objn, t->file << 22 | t->seg_block, 4);
  if (rb_code == 0) {
    txn_start(tx, t->owner);
    ks_suplog_t sup;
    sup.op = code == KS_REDO_LEAF_INSERT ? kSupOpInsert : kSupOpDelete;
    rec_.undo_of_leaf(tx->xid, t->pk_objn, ref.dba,
                      code == KS_REDO_LEAF_INSERT ? KS_REDO_LEAF_PURGE : KS_REDO_LEAF_RESTORE, key.data(),
                      int(key.size()), row.data(), int(row.size()), nullptr, sup);
  }
  rec_.redo_leaf(code, ref.dba, key.data(), int(key.size()), row.data(), int(row.size()));
  if (rb_code != 0) rec_.rollback_undo(rb_code, tx->xid, t->pk_objn);
  return rec_end(scn);
}

int ks_sim_db::iot_leaf_spilled(ks_txn_t *tx, ks_table_t *t, ks_rowref_t ref, uint8_t code,
                                const std::vector<ks_colval_t> &key, const std::vector<ks_colval_t> &row, size_t keep,
                                uint8_t rb_code) {
  const ks_rowref_t ovf = overflow_ref(ref);
  const bool adds = code == KS_REDO_LEAF_INSERT || code == KS_REDO_LEAF_RESTORE;
  const uint8_t op = code == KS_REDO_LEAF_INSERT ? kSupOpInsert : kSupOpDelete;
  // The overflow piece: inserted before the leaf row that points at it, deleted after it.
  auto piece = [&](bool first) {
    rec_begin();
    const uint64_t scn = scn_;
    rec_.set_segment(t->ovf_objn, t->file << 22 | (t->seg_block + 6), 4);
    rec_.set_piece(KS_REDO_ROW_LAST, ks_rowref_t{0, 0});
    const ks_colval_t *cv = row.data() + keep;
    const int n = int(row.size() - keep);
    if (rb_code == 0) {
      ks_suplog_t sup;
      sup.op = op;
      sup.flags = first ? KS_REDO_SUP_FIRST : KS_REDO_SUP_LAST;
      txn_start(tx, t->owner);
      if (adds) {
        rec_.undo_of_insert(tx->xid, t->ovf_objn, ovf, sup);
        rec_.redo_irp(ovf, cv, n);
      } else {
        rec_.undo_of_delete(tx->xid, t->ovf_objn, ovf, cv, n, sup);
        rec_.redo_drp(ovf);
      }
    } else {
      if (adds)
        rec_.redo_irp(ovf, cv, n);
      else
        rec_.redo_drp(ovf);
      rec_.rollback_undo(rb_code, tx->xid, t->ovf_objn);
    }
    return rec_end(scn);
  };
  auto leaf = [&](bool first) {
    rec_begin();
    const uint64_t scn = scn_;
    rec_.set_segment(t->pk_objn, t->file << 22 | t->seg_block, 4);
    rec_.set_leaf_next(ovf);
    if (rb_code == 0) {
      txn_start(tx, t->owner);
      ks_suplog_t sup;
      sup.op = op;
      sup.flags = first ? KS_REDO_SUP_FIRST : KS_REDO_SUP_LAST;
      rec_.undo_of_leaf(tx->xid, t->pk_objn, ref.dba,
                        code == KS_REDO_LEAF_INSERT ? KS_REDO_LEAF_PURGE : KS_REDO_LEAF_RESTORE, key.data(),
                        int(key.size()), row.data(), int(keep), nullptr, sup);
    }
    rec_.redo_leaf(code, ref.dba, key.data(), int(key.size()), row.data(), int(keep));
    if (rb_code != 0) rec_.rollback_undo(rb_code, tx->xid, t->pk_objn);
    return rec_end(scn);
  };
  if (adds) return piece(true) != 0 || leaf(false) != 0 ? -1 : 0;
  return leaf(true) != 0 || piece(false) != 0 ? -1 : 0;
}

int ks_sim_db::iot_split_update(ks_txn_t *tx, ks_table_t *t, const ks_row_t &r, const std::vector<int> &cols,
                                const std::vector<ks_val_t> &old, const std::vector<ks_val_t> &nv, size_t ovf_from,
                                uint8_t rb_code) {
  std::vector<ks_colval_t> key, row;
  split_row(t, r.v, &key, &row);
  const ks_rowref_t ref{r.dba, r.slot};
  const size_t npk = t->pk.size();
  // The changed columns of each part (cols come in column order, as a change numbers
  // them from its first one).
  std::vector<size_t> in_leaf, in_ovf;
  for (size_t i = 0; i < cols.size(); i++) (size_t(cols[i]) < ovf_from ? in_leaf : in_ovf).push_back(i);
  auto part = [&](const std::vector<size_t> &which, size_t base, std::vector<uint16_t> *colno,
                  std::vector<ks_colval_t> *ocv, std::vector<ks_colval_t> *ncv) {
    for (size_t i : which) {
      colno->push_back(uint16_t(size_t(cols[i]) - base));
      ocv->push_back(colval(old[i]));
      ncv->push_back(colval(nv[i]));
    }
  };
  auto expect = [&](const std::vector<size_t> &which) {
    if (!expect_ || rb_code != 0) return;
    ks_expect_t e;
    e.op = "UPDATE";
    e.t = t;
    for (size_t i : which) e.newv.emplace_back(cols[i], nv[i]);
    for (size_t k = 0; k < npk; k++) e.oldv.emplace_back(int(k), r.v[k]);
    for (size_t i : which) e.oldv.emplace_back(cols[i], old[i]);
    tx->exp.push_back(std::move(e));
  };
  auto sup_of = [&](const std::vector<size_t> &which) {
    ks_suplog_t sup;
    sup.op = kSupOpUpdate;
    sup.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
    sup.undo_scid = sup.redo_scid = uint16_t(t->cols[size_t(cols[which[0]])].segcol);
    return sup;
  };
  // The leaf row's columns: a non-key update of the leaf row.
  auto leaf = [&]() {
    if (in_leaf.empty()) return 0;
    std::vector<uint16_t> colno;
    std::vector<ks_colval_t> ocv, ncv;
    part(in_leaf, 0, &colno, &ocv, &ncv);
    for (uint16_t &c : colno) c = uint16_t(t->cols[c].segcol - 1);
    expect(in_leaf);
    rec_begin();
    const uint64_t scn = scn_;
    rec_.set_segment(t->pk_objn, t->file << 22 | t->seg_block, 4);
    if (rb_code == 0) {
      txn_start(tx, t->owner);
      rec_.undo_of_leaf(tx->xid, t->pk_objn, ref.dba, KS_REDO_LEAF_NONKEY, key.data(), int(key.size()), ocv.data(),
                        int(ocv.size()), colno.data(), sup_of(in_leaf));
    }
    rec_.redo_leaf(KS_REDO_LEAF_NONKEY, ref.dba, nullptr, 0, ncv.data(), int(ncv.size()), colno.data());
    if (rb_code != 0) rec_.rollback_undo(rb_code, tx->xid, t->pk_objn);
    return rec_end(scn);
  };
  // The overflow piece's columns: an update of that row piece, numbered from its first
  // column, the key as its supplemental columns (the piece does not hold it).
  auto overflow = [&]() {
    if (in_ovf.empty()) return 0;
    std::vector<uint16_t> colno, sscid;
    std::vector<ks_colval_t> ocv, ncv;
    part(in_ovf, ovf_from, &colno, &ocv, &ncv);
    for (size_t k = 0; k < npk; k++) sscid.push_back(uint16_t(t->cols[k].segcol));
    ks_suplog_t sup = sup_of(in_ovf);
    sup.ncol = int(npk);
    sup.scid = sscid.data();
    sup.val = key.data();
    expect(in_ovf);
    const ks_rowref_t ovf = overflow_ref(ref);
    rec_begin();
    const uint64_t scn = scn_;
    rec_.set_segment(t->ovf_objn, t->file << 22 | (t->seg_block + 6), 4);
    rec_.set_piece(KS_REDO_ROW_LAST, ks_rowref_t{0, 0});
    if (rb_code == 0) {
      txn_start(tx, t->owner);
      rec_.undo_of_update(tx->xid, t->ovf_objn, ovf, colno.data(), ocv.data(), int(colno.size()), sup,
                          int(t->cols.size() - ovf_from));
      rec_.redo_urp(ovf, colno.data(), ncv.data(), int(colno.size()));
    } else {
      rec_.redo_urp(ovf, colno.data(), ncv.data(), int(colno.size()), &sup);
      rec_.rollback_undo(rb_code, tx->xid, t->ovf_objn);
    }
    return rec_end(scn);
  };
  // A rollback undoes them in the reverse order.
  if (rb_code == 0) return leaf() != 0 || overflow() != 0 ? -1 : 0;
  return overflow() != 0 || leaf() != 0 ? -1 : 0;
}

int ks_sim_db::iot_insert(ks_txn_t *tx, ks_table_t *t, std::vector<ks_val_t> vals) {
  if (leaf_fits(t, vals) != 0) return -1;
  ks_row_t row;
  const ks_rowref_t ref = alloc_row(t);
  if (iot_leaf(tx, t, ref, KS_REDO_LEAF_INSERT, vals, 0) != 0) return -1;
  row.dba = ref.dba;
  row.slot = ref.slot;
  row.v = std::move(vals);
  row_inserted(tx, t, std::move(row));
  return 0;
}

int ks_sim_db::iot_insert_multi(ks_txn_t *tx, ks_table_t *t, std::vector<std::vector<ks_val_t>> rows) {
  if (rows.size() > 1024) return -1;
  for (auto &r : rows)
    if (leaf_fits(t, r) != 0) return -1;
  std::vector<std::vector<ks_colval_t>> keys(rows.size()), vals(rows.size());
  std::vector<const ks_colval_t *> kp(rows.size()), rp(rows.size()), op;
  std::vector<int> nc(rows.size()), onc;
  std::vector<ks_rowref_t> refs, next(rows.size(), ks_rowref_t{0, 0});
  // All rows in one block, so that the overflow pieces of those that spill are in one
  // block too: inserted first by one quick multi-row insert of the overflow segment, in
  // the order of their leaf rows.
  if (t->next_slot + rows.size() > t->slots_per_block) t->next_slot = t->slots_per_block;
  for (size_t i = 0; i < rows.size(); i++) refs.push_back(alloc_row(t));
  for (size_t i = 0; i < rows.size(); i++) {
    split_row(t, rows[i], &keys[i], &vals[i]);
    kp[i] = keys[i].data();
    rp[i] = vals[i].data();
    const size_t keep = leaf_keeps(t, vals[i]);
    nc[i] = int(keep);
    if (keep == vals[i].size()) continue;
    next[i] = overflow_ref(refs[i]);
    op.push_back(vals[i].data() + keep);
    onc.push_back(int(vals[i].size() - keep));
  }
  const auto first = std::find_if(next.begin(), next.end(), [](ks_rowref_t r) { return r.dba != 0; });
  ks_suplog_t sup;
  sup.op = kSupOpInsert;
  if (!op.empty()) {
    rec_begin();
    const uint64_t scn = scn_;
    rec_.set_segment(t->ovf_objn, t->file << 22 | (t->seg_block + 6), 4);
    txn_start(tx, t->owner);
    sup.flags = KS_REDO_SUP_FIRST;
    rec_.undo_of_qmi(tx->xid, t->ovf_objn, first->dba, first->slot, uint16_t(op.size()), sup);
    rec_.redo_qmi(first->dba, first->slot, op.data(), onc.data(), int(op.size()));
    if (rec_end(scn) != 0) return -1;
    sup.flags = KS_REDO_SUP_LAST;
  }
  rec_begin();
  const uint64_t scn = scn_;
  rec_.set_segment(t->pk_objn, t->file << 22 | t->seg_block, 4);
  txn_start(tx, t->owner);
  rec_.undo_of_leaf(tx->xid, t->pk_objn, refs[0].dba, KS_REDO_LEAF_PURGE, kp[0], int(t->pk.size()), nullptr, 0, nullptr,
                    sup);
  rec_.redo_leaf_array(refs[0].dba, kp.data(), int(t->pk.size()), rp.data(), nc.data(), int(rows.size()), next.data());
  if (rec_end(scn) != 0) return -1;
  rows_inserted(tx, t, std::move(rows), refs);
  return 0;
}

int ks_sim_db::iot_update(ks_txn_t *tx, ks_table_t *t, uint32_t ri, const std::vector<int> &cols_in,
                          std::vector<ks_val_t> vals) {
  ks_row_t &r = t->rows[ri];
  const ks_rowref_t ref{r.dba, r.slot};
  // Changed columns in segment order, with their old values.
  std::vector<size_t> order(cols_in.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return cols_in[a] < cols_in[b]; });
  std::vector<int> cols;
  std::vector<ks_val_t> nv, old;
  for (size_t i : order) {
    if (!cols.empty() && cols.back() == cols_in[i]) continue;
    cols.push_back(cols_in[i]);
    nv.push_back(std::move(vals[i]));
    old.push_back(r.v[size_t(cols_in[i])]);
  }
  std::vector<ks_val_t> after = r.v;
  for (size_t i = 0; i < cols.size(); i++) after[size_t(cols[i])] = nv[i];
  if (leaf_fits(t, after) != 0) return -1;
  const size_t ovf_from = key_changes(t, cols) ? 0 : overflow_from(t, r.v, after);
  if (ovf_from != 0) {
    // A spilled row keeping its split: the leaf row's columns change in the leaf, the
    // others in the overflow piece, a change each.
    if (iot_split_update(tx, t, r, cols, old, nv, ovf_from, 0) != 0) return -1;
  } else if (key_changes(t, cols) || spills(t, r.v) || spills(t, after)) {
    // The row moves in the index (or between its leaf and the overflow segment): its old
    // leaf row goes, the new one comes.
    if (iot_leaf(tx, t, ref, KS_REDO_LEAF_DELETE, r.v, 0) != 0 ||
        iot_leaf(tx, t, ref, KS_REDO_LEAF_INSERT, after, 0) != 0)
      return -1;
    if (expect_) {
      ks_expect_t d, i;
      d.op = "DELETE";
      i.op = "INSERT";
      d.t = i.t = t;
      for (size_t c = 0; c < t->cols.size(); c++)
        d.oldv.emplace_back(int(c), r.v[c]), i.newv.emplace_back(int(c), after[c]);
      tx->exp.push_back(std::move(d));
      tx->exp.push_back(std::move(i));
    }
  } else {
    std::vector<uint16_t> colno;
    std::vector<ks_colval_t> ocv, ncv, key, row;
    for (size_t i = 0; i < cols.size(); i++) {
      colno.push_back(uint16_t(t->cols[size_t(cols[i])].segcol - 1));
      ocv.push_back(colval(old[i]));
      ncv.push_back(colval(nv[i]));
    }
    split_row(t, r.v, &key, &row);
    ks_suplog_t sup;
    sup.op = kSupOpUpdate;
    sup.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
    sup.undo_scid = sup.redo_scid = uint16_t(t->cols[size_t(cols[0])].segcol);
    rec_begin();
    const uint64_t scn = scn_;
    rec_.set_segment(t->pk_objn, t->file << 22 | t->seg_block, 4);
    txn_start(tx, t->owner);
    rec_.undo_of_leaf(tx->xid, t->pk_objn, ref.dba, KS_REDO_LEAF_NONKEY, key.data(), int(key.size()), ocv.data(),
                      int(ocv.size()), colno.data(), sup);
    rec_.redo_leaf(KS_REDO_LEAF_NONKEY, ref.dba, nullptr, 0, ncv.data(), int(ncv.size()), colno.data());
    if (rec_end(scn) != 0) return -1;
    if (expect_) {
      ks_expect_t e;
      e.op = "UPDATE";
      e.t = t;
      for (size_t i = 0; i < cols.size(); i++) e.newv.emplace_back(cols[i], nv[i]);
      for (size_t k = 0; k < t->pk.size(); k++) e.oldv.emplace_back(int(k), r.v[k]);
      for (size_t i = 0; i < cols.size(); i++) e.oldv.emplace_back(cols[i], old[i]);
      tx->exp.push_back(std::move(e));
    }
  }
  r.v = std::move(after);
  t->dirty = true;
  tx->undo.push_back({ks_undo_t::kUpd, t, {ri}, std::move(cols), std::move(old)});
  return 0;
}

int ks_sim_db::iot_remove(ks_txn_t *tx, ks_table_t *t, uint32_t ri) {
  ks_row_t &r = t->rows[ri];
  if (iot_leaf(tx, t, ks_rowref_t{r.dba, r.slot}, KS_REDO_LEAF_DELETE, r.v, 0) != 0) return -1;
  if (expect_) {
    ks_expect_t e;
    e.op = "DELETE";
    e.t = t;
    for (size_t i = 0; i < t->cols.size(); i++) e.oldv.emplace_back(int(i), r.v[i]);
    tx->exp.push_back(std::move(e));
  }
  t->unlink(ri);
  t->dirty = true;
  tx->undo.push_back({ks_undo_t::kDel, t, {ri}, {}, {}});
  return 0;
}

int ks_sim_db::iot_undo(ks_txn_t *tx, ks_undo_t &u, uint8_t rb_code) {
  ks_table_t *t = u.t;
  t->dirty = true;
  switch (u.kind) {
    case ks_undo_t::kIns:
    case ks_undo_t::kQmi: {
      // Every row the insert added is purged, in one record.
      static thread_local std::vector<ks_colval_t> key, row;
      rec_begin();
      const uint64_t scn = scn_;
      rec_.set_segment(t->pk_objn, t->file << 22 | t->seg_block, 4);
      for (size_t k = u.rows.size(); k-- > 0;) {
        const ks_row_t &r = t->rows[u.rows[k]];
        split_row(t, r.v, &key, &row);
        rec_.redo_leaf(KS_REDO_LEAF_PURGE, r.dba, key.data(), int(key.size()), nullptr, 0);
      }
      rec_.rollback_undo(rb_code, tx->xid, t->pk_objn);
      if (rec_end(scn) != 0) return -1;
      for (size_t k = 0; k < u.rows.size(); k++) {
        const uint32_t ri = u.rows[k];
        t->unlink(ri);
        t->rows[ri].v.clear();
        t->spare.push_back(ri);
      }
      return 0;
    }
    case ks_undo_t::kDel: {
      ks_row_t &r = t->rows[u.rows[0]];
      if (iot_leaf(tx, t, ks_rowref_t{r.dba, r.slot}, KS_REDO_LEAF_RESTORE, r.v, rb_code) != 0) return -1;
      r.live = true;
      r.live_pos = uint32_t(t->live.size());
      t->live.push_back(u.rows[0]);
      return 0;
    }
    case ks_undo_t::kUpd: {
      ks_row_t &r = t->rows[u.rows[0]];
      const ks_rowref_t ref{r.dba, r.slot};
      std::vector<ks_val_t> before = r.v;
      for (size_t i = 0; i < u.cols.size(); i++) before[size_t(u.cols[i])] = u.old[i];
      const size_t ovf_from = key_changes(t, u.cols) ? 0 : overflow_from(t, before, r.v);
      if (ovf_from != 0) {
        std::vector<ks_val_t> now;
        for (int c : u.cols) now.push_back(r.v[size_t(c)]);
        if (iot_split_update(tx, t, r, u.cols, now, u.old, ovf_from, rb_code) != 0) return -1;
      } else if (key_changes(t, u.cols) || spills(t, r.v) || spills(t, before)) {
        if (iot_leaf(tx, t, ref, KS_REDO_LEAF_PURGE, r.v, rb_code) != 0 ||
            iot_leaf(tx, t, ref, KS_REDO_LEAF_RESTORE, before, rb_code) != 0)
          return -1;
      } else {
        std::vector<uint16_t> colno;
        std::vector<ks_colval_t> ocv;
        for (size_t i = 0; i < u.cols.size(); i++) {
          colno.push_back(uint16_t(t->cols[size_t(u.cols[i])].segcol - 1));
          ocv.push_back(colval(u.old[i]));
        }
        rec_begin();
        const uint64_t scn = scn_;
        rec_.set_segment(t->pk_objn, t->file << 22 | t->seg_block, 4);
        rec_.redo_leaf(KS_REDO_LEAF_NONKEY, ref.dba, nullptr, 0, ocv.data(), int(ocv.size()), colno.data());
        rec_.rollback_undo(rb_code, tx->xid, t->pk_objn);
        if (rec_end(scn) != 0) return -1;
      }
      r.v = std::move(before);
      return 0;
    }
    case ks_undo_t::kLock:
    case ks_undo_t::kLoad:  // loads into index-organised tables are refused
      return 0;
  }
  return 0;
}

}  // namespace ks::sim
