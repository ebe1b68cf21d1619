// Redo of the simulated source's changes: row inserts, multi-row inserts, updates,
// deletes and locks as undo 5.1 + layer-11 redo in one record, commits and rollbacks
// (with the compensation redo of every undone change, in reverse order), savepoint
// rollbacks, DDL, sequence cache refills, audit tags and unrelated system activity.
// Supplemental logging follows the configured mode: every heap undo carries the 20-byte
// header; updates add the identifying key columns (or all columns).
#include <sqlite3.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lib/log/log.h"
#include "sim/source/catalog.h"
#include "sim/source/ora_value.h"
#include "sim/source/sim_db.h"
#include "sim/source/sim_txn.h"

namespace ks::sim {

using namespace ks::redo;

namespace {
std::vector<ks_colval_t> &scratch_vals(int which) {
  static thread_local std::vector<ks_colval_t> v[4];
  return v[which];
}
// Stored image of a row: Oracle leaves trailing NULL columns out of the row piece.
int stored_count(const std::vector<ks_val_t> &v) {
  int n = int(v.size());
  while (n > 0 && v[size_t(n) - 1].is_null) n--;
  return n;
}
void to_colvals(const std::vector<ks_val_t> &v, int n, std::vector<ks_colval_t> *out) {
  out->resize(size_t(n));
  for (int i = 0; i < n; i++) {
    const ks_val_t &x = v[size_t(i)];
    (*out)[size_t(i)] = x.is_null ? ks_colval_t{nullptr, -1}
                                  : ks_colval_t{reinterpret_cast<const uint8_t *>(x.b.data()), int(x.b.size())};
  }
}
constexpr uint32_t kSegObjn = 14;  // SYS.SEG$ (not captured: system activity)
// A LONG value too long to travel in a row change: its row is stored as pieces.
bool long_value(const ks_col_t &c, const ks_val_t &x) {
  return c.is_long() && !x.is_null && x.b.size() > size_t(kLongInline);
}
}  // namespace

int ks_sim_db::new_xid(uint64_t *xid) {
  for (;;) {
    const uint32_t nsegs = uint32_t(busy_.size() / kUndoSlots);
    for (uint32_t tries = 0; tries < nsegs; tries++) {
      uint32_t usn = next_usn_ % nsegs + 1;
      next_usn_++;
      uint32_t start = uint32_t(rng_() % kUndoSlots);
      for (uint32_t k = 0; k < kUndoSlots; k++) {
        uint32_t slot = (start + k) % kUndoSlots;
        size_t i = size_t(usn - 1) * kUndoSlots + slot;
        if (busy_[i]) continue;
        busy_[i] = 1;
        wrap_[i]++;
        *xid = make_xid(uint16_t(usn), uint16_t(slot), wrap_[i]);
        return 0;
      }
    }
    // Every slot is taken: one more segment comes online, its slots never used yet.
    if (nsegs >= kMaxUndoSegs) break;
    wrap_.resize(wrap_.size() + kUndoSlots, 0);
    busy_.resize(busy_.size() + kUndoSlots, 0);
    next_usn_ = nsegs;
  }
  KS_ERROR("no free transaction slot in %u undo segments.", kMaxUndoSegs);
  return -1;
}

void ks_sim_db::free_xid(uint64_t xid) {
  size_t i = size_t(xid_usn(xid) - 1) * kUndoSlots + xid_slot(xid);
  if (i < busy_.size()) busy_[i] = 0;
}

void ks_sim_db::rec_begin(uint8_t vld, uint32_t con) {
  if (vld == 0) vld = write_start_ ? uint8_t(KS_REDO_VLD_NORMAL | KS_REDO_VLD_LONG) : KS_REDO_VLD_NORMAL;
  if (con == kOwnCon) con = cfg_.con_uid;
  rec_.begin(next_scn(), vld, con, now(), con_id(con));
}

// A record that follows the last one within the same change (index upkeep): the next SCN,
// drawn without the random source so that the workload's choices stay what they were.
void ks_sim_db::rec_begin_follow(uint32_t con) {
  if (con == kOwnCon) con = cfg_.con_uid;
  rec_.begin(++scn_, write_start_ ? uint8_t(KS_REDO_VLD_NORMAL | KS_REDO_VLD_LONG) : KS_REDO_VLD_NORMAL, con, now(),
             con_id(con));
}

// Container ids as a container database numbers them: the root 1, our pluggable database
// the first one created (3), the other container the next.
uint16_t ks_sim_db::con_id(uint32_t con_uid) const {
  if (con_uid == 0) return 0;
  if (con_uid == kRootConUid) return 1;
  return con_uid == cfg_.con_uid ? 3 : 4;
}

// The segment of t is the one the next row operations change: segment header at its first
// block, in tablespace USERS (4) as SYS.TAB$ has it.
void ks_sim_db::rec_segment(const ks_table_t *t) { rec_.set_segment(t->objn, t->file << 22 | t->seg_block, 4); }

// Blocks of a table's segment beside its rows (rows start past the eight blocks its segment
// takes first): its space bitmap block, and the header and leaf block of its primary key.
namespace {
uint32_t bitmap_dba(const ks_table_t *t) { return t->file << 22 | (t->seg_block + 1); }
uint32_t pk_leaf_dba(const ks_table_t *t) { return t->file << 22 | (t->seg_block + 5); }
}  // namespace

// Primary-key upkeep of row changes, in a record of its own after the row's: the old key's
// leaf row goes (old non-null), the new one comes (nv non-null). In a rollback (rb_code 6
// or 11) the leaf change has no undo and a 5.6 / 5.11 names the index.
int ks_sim_db::index_record(ks_txn_t *tx, ks_table_t *t, const std::vector<ks_val_t> *old,
                            const std::vector<ks_val_t> *nv, ks_rowref_t ref, uint8_t rb_code) {
  if (t->pk_objn == 0 || t->pk.empty()) return 0;
  std::vector<ks_colval_t> key(t->pk.size());
  rec_begin_follow();
  uint64_t scn = scn_;
  for (const std::vector<ks_val_t> *v : {old, nv}) {
    if (v == nullptr) continue;
    for (size_t k = 0; k < t->pk.size(); k++) {
      const ks_val_t &x = (*v)[size_t(t->pk[k])];
      key[k] = x.is_null ? ks_colval_t{nullptr, -1}
                         : ks_colval_t{reinterpret_cast<const uint8_t *>(x.b.data()), int(x.b.size())};
    }
    rec_.index_change(tx->xid, t->pk_objn, pk_leaf_dba(t), v == nv, key.data(), int(key.size()), ref, rb_code == 0);
  }
  if (rb_code != 0) rec_.rollback_undo(rb_code, tx->xid, t->pk_objn);
  return rec_end(scn);
}

uint32_t ks_sim_db::noise_con() {
  if (cfg_.pdb.empty()) return 0;
  return rng_() & 1 ? kRootConUid : cfg_.con_uid;
}

int ks_sim_db::rec_end(uint64_t scn) {
  const int rc = rec_.finish();
  if (rc == ks_redo_record::kRecTooWide) {
    KS_ERROR("redo record with a row piece of more than %d columns.", ks_redo_record::kMaxPieceCols);
    return -1;
  }
  if (rc != 0) {
    KS_ERROR("redo record too large (more than %d bytes).", KS_REDO_MAX_RECORD);
    return -1;
  }
  if (writer_->current() < 0) {
    KS_ERROR("instance %s is shut down.", insts_[cur_inst_]->name.c_str());
    return -1;
  }
  if (writer_->append(rec_, scn) != 0) return -1;
  write_start_ = false;
  return 0;
}

ks_rowref_t ks_sim_db::alloc_row(ks_table_t *t) {
  if (t->next_slot >= t->slots_per_block || t->cur_block == 0) {
    uint32_t &nb = next_file_block_[t->file & 15];
    if (t->cur_block == 0) t->cur_block = t->seg_block;
    t->cur_block = std::max(t->cur_block + 1, nb + 1);
    nb = t->cur_block;
    t->next_slot = 0;
  }
  return ks_rowref_t{t->file << 22 | t->cur_block, t->next_slot++};
}

// Space upkeep of an insert into the row's block: a block taking its first row changes state
// in the segment's space bitmap (13.22), one taking its last is marked full (13.28).
void ks_sim_db::space_upkeep(const ks_table_t *t, ks_rowref_t ref) {
  if (ref.slot == 0) rec_.space_change(22, bitmap_dba(t), ref.dba);
  if (ref.slot + 1 >= t->slots_per_block) rec_.space_change(28, bitmap_dba(t), ref.dba);
}

// A row enters the table's storage, in the place of a row gone for good when there is one.
uint32_t ks_sim_db::store_row(ks_table_t *t, ks_row_t row) {
  row.live = true;
  row.live_pos = uint32_t(t->live.size());
  uint32_t ri;
  if (!t->spare.empty()) {
    ri = t->spare.back();
    t->spare.pop_back();
    t->rows[ri] = std::move(row);
  } else {
    ri = uint32_t(t->rows.size());
    t->rows.push_back(std::move(row));
  }
  t->live.push_back(ri);
  return ri;
}

ks_txn_t *ks_sim_db::begin() {
  uint64_t xid;
  if (new_xid(&xid) != 0) return nullptr;
  // Reuse a finished transaction, with the memory its lists already hold.
  ks_txn_t *p = nullptr;
  for (auto &slot : txns_) {
    if (!slot) slot = std::make_unique<ks_txn_t>();
    if (slot->done || slot->xid == 0) {
      p = slot.get();
      break;
    }
  }
  if (!p) {
    txns_.push_back(std::make_unique<ks_txn_t>());
    p = txns_.back().get();
  }
  p->xid = xid;
  p->started = false;
  p->done = false;
  p->inst = int(cur_inst_);
  p->undo.clear();
  p->exp.clear();
  p->sps.clear();
  return p;
}

// The undo-segment header vector goes with the first change of a transaction, with the
// session's information: all of it (5.19) for a session's first transaction, the current
// schema (5.20) for the others. A session of ours runs 16 transactions; each run of the
// program starts a new one.
int ks_sim_db::txn_start(ks_txn_t *tx, const std::string &user) {
  if (!tx->started) {
    rec_.undo_seg_header(xid_usn(tx->xid), xid_slot(tx->xid), xid_sqn(tx->xid));
    rec_.session(session_txns_++ % 16 == 0, user);
    tx->started = true;
  }
  return 0;
}

int ks_sim_db::insert(ks_txn_t *tx, ks_table_t *t, std::vector<ks_val_t> vals) {
  if (!tx || tx->done || vals.size() != t->cols.size()) return -1;
  if (t->iot) return iot_insert(tx, t, std::move(vals));
  if (!lob_inner_)
    for (size_t i = 0; i < vals.size(); i++)
      if (ks_lob_out_of_line(t->cols[i], vals[i])) return lob_insert(tx, t, std::move(vals));
  int n = stored_count(vals);
  ks_row_t row;
  ks_rowref_t ref = place_row(t, vals, n, &row.pieces);
  if (!row.pieces.empty()) {
    if (insert_pieces(tx, t, vals, row.pieces, 0) != 0) return -1;
  } else {
    auto &cv = scratch_vals(0);
    to_colvals(vals, n, &cv);
    rec_begin();
    uint64_t scn = scn_;
    rec_segment(t);
    txn_start(tx, t->owner);
    ks_suplog_t sup;
    sup.op = kSupOpInsert;
    sup.redo_scid = 1;
    rec_.undo_of_insert(tx->xid, t->objn, ref, sup);
    rec_.set_row_image(compressed_shape(t));
    rec_.redo_irp(ref, cv.data(), n);
    space_upkeep(t, ref);
    if (rec_end(scn) != 0) return -1;
  }
  if (index_record(tx, t, nullptr, &vals, ref) != 0) return -1;
  row.dba = ref.dba;
  row.slot = ref.slot;
  row.v = std::move(vals);
  row_inserted(tx, t, std::move(row));
  return 0;
}

void ks_sim_db::row_inserted(ks_txn_t *tx, ks_table_t *t, ks_row_t row) {
  uint32_t ri = store_row(t, std::move(row));
  inserted_.assign(1, ri);
  t->dirty = true;
  tx->undo.push_back({ks_undo_t::kIns, t, {ri}, {}, {}});
  if (expect_) {
    ks_expect_t e;
    e.op = "INSERT";
    e.t = t;
    for (size_t i = 0; i < t->cols.size(); i++) e.newv.emplace_back(int(i), t->rows[ri].v[i]);
    tx->exp.push_back(std::move(e));
  }
}

int ks_sim_db::insert_multi(ks_txn_t *tx, ks_table_t *t, std::vector<std::vector<ks_val_t>> rows) {
  if (!tx || tx->done || rows.empty() || rows.size() > t->slots_per_block) return -1;
  for (auto &r : rows)
    if (r.size() != t->cols.size() || whole_row(t, r, {0, 0}) != 0) return -1;
  if (t->iot) return iot_insert_multi(tx, t, std::move(rows));
  // A LOB out of line is written by a LOB operation of its own row insert.
  for (auto &r : rows)
    for (size_t i = 0; i < r.size(); i++)
      if (ks_lob_out_of_line(t->cols[i], r[i])) {
        KS_ERROR("multi-row insert into %s.%s with a LOB out of line.", t->owner.c_str(), t->name.c_str());
        return -1;
      }
  // All rows of a quick multi-row insert go to one block.
  if (t->next_slot + rows.size() > t->slots_per_block) t->next_slot = t->slots_per_block;
  std::vector<ks_rowref_t> refs;
  for (size_t i = 0; i < rows.size(); i++) refs.push_back(alloc_row(t));
  std::vector<std::vector<ks_colval_t>> cvs(rows.size());
  std::vector<const ks_colval_t *> rp(rows.size());
  std::vector<int> nc(rows.size());
  for (size_t i = 0; i < rows.size(); i++) {
    nc[i] = stored_count(rows[i]);
    to_colvals(rows[i], nc[i], &cvs[i]);
    rp[i] = cvs[i].data();
  }
  rec_begin();
  uint64_t scn = scn_;
  rec_segment(t);
  txn_start(tx, t->owner);
  ks_suplog_t sup;
  sup.op = kSupOpInsert;
  sup.redo_scid = 1;
  rec_.undo_of_qmi(tx->xid, t->objn, refs[0].dba, refs[0].slot, uint16_t(rows.size()), sup);
  rec_.set_row_image(t->compress != 0);
  rec_.redo_qmi(refs[0].dba, refs[0].slot, rp.data(), nc.data(), int(rows.size()));
  space_upkeep(t, refs.front());
  if (refs.back().slot != refs.front().slot) space_upkeep(t, refs.back());
  if (rec_end(scn) != 0) return -1;
  for (size_t i = 0; i < rows.size(); i++)
    if (index_record(tx, t, nullptr, &rows[i], refs[i]) != 0) return -1;
  rows_inserted(tx, t, std::move(rows), refs);
  return 0;
}

void ks_sim_db::rows_inserted(ks_txn_t *tx, ks_table_t *t, std::vector<std::vector<ks_val_t>> rows,
                              const std::vector<ks_rowref_t> &refs) {
  ks_undo_t u{ks_undo_t::kQmi, t, {}, {}, {}};
  ks_expect_t e;
  e.op = "QUICK INSERT";
  e.t = t;
  inserted_.clear();
  for (size_t i = 0; i < rows.size(); i++) {
    ks_row_t row;
    row.dba = refs[i].dba;
    row.slot = refs[i].slot;
    if (expect_) e.rows.push_back(rows[i]);
    row.v = std::move(rows[i]);
    uint32_t ri = store_row(t, std::move(row));
    u.rows.push_back(ri);
    inserted_.push_back(ri);
  }
  t->dirty = true;
  tx->undo.push_back(std::move(u));
  if (expect_) tx->exp.push_back(std::move(e));
}

void ks_sim_db::build_suplog_update(const ks_table_t *t, const std::vector<int> &changed,
                                    std::vector<int> *pick) const {
  pick->clear();
  if (cfg_.suplog == kSupAll ||
      ((cfg_.suplog == kSupPk || cfg_.suplog == kSupPkUi) && t->pk.empty() && t->uk.empty())) {
    for (size_t i = 0; i < t->cols.size(); i++) pick->push_back(int(i));
  } else if (cfg_.suplog == kSupPk) {
    *pick = t->pk.empty() ? t->uk : t->pk;
  } else if (cfg_.suplog == kSupPkUi) {
    *pick = t->pk;
    for (int c : t->uk)
      if (std::find(pick->begin(), pick->end(), c) == pick->end()) pick->push_back(c);
  }
  std::sort(pick->begin(), pick->end(),
            [&](int a, int b) { return t->cols[size_t(a)].segcol < t->cols[size_t(b)].segcol; });
  // A changed column's old value is in the undo already.
  pick->erase(std::remove_if(pick->begin(), pick->end(),
                             [&](int c) { return std::find(changed.begin(), changed.end(), c) != changed.end(); }),
              pick->end());
}

int ks_sim_db::update(ks_txn_t *tx, ks_table_t *t, uint32_t ri, const std::vector<int> &cols_in,
                      std::vector<ks_val_t> vals) {
  if (!tx || tx->done || ri >= t->rows.size() || !t->rows[ri].live || cols_in.size() != vals.size() || cols_in.empty())
    return -1;
  for (int c : cols_in)
    if (c < 0 || size_t(c) >= t->cols.size()) return -1;
  if (t->iot) return iot_update(tx, t, ri, cols_in, std::move(vals));
  if (!lob_inner_)
    for (size_t i = 0; i < cols_in.size(); i++)
      if (ks_lob_out_of_line(t->cols[size_t(cols_in[i])], vals[i]))
        return lob_update(tx, t, ri, cols_in, std::move(vals));
  // Per-call lists reuse their memory: updates are the commonest change of the OLTP mix.
  static thread_local std::vector<size_t> order;
  static thread_local std::vector<uint16_t> colno, sscid;
  static thread_local std::vector<int> pick;
  static thread_local std::vector<ks_colval_t> scv, ocv, ncv;
  // Changed columns in segment order.
  order.resize(cols_in.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return t->cols[size_t(cols_in[a])].segcol < t->cols[size_t(cols_in[b])].segcol;
  });
  std::vector<int> cols;
  std::vector<ks_val_t> nv, old;
  cols.reserve(order.size());
  nv.reserve(order.size());
  old.reserve(order.size());
  ks_row_t &r = t->rows[ri];
  colno.clear();
  for (size_t i : order) {
    int c = cols_in[i];
    cols.push_back(c);
    nv.push_back(std::move(vals[i]));
    colno.push_back(uint16_t(t->cols[size_t(c)].segcol - 1));
    old.push_back(r.v[size_t(c)]);
  }
  build_suplog_update(t, cols, &pick);
  sscid.clear();
  scv.clear();
  for (int c : pick) {
    const ks_val_t &v = r.v[size_t(c)];
    sscid.push_back(uint16_t(t->cols[size_t(c)].segcol));
    scv.push_back(v.is_null ? ks_colval_t{nullptr, -1}
                            : ks_colval_t{reinterpret_cast<const uint8_t *>(v.b.data()), int(v.b.size())});
  }
  to_colvals(old, int(old.size()), &ocv);
  to_colvals(nv, int(nv.size()), &ncv);
  ks_suplog_t sup;
  sup.op = kSupOpUpdate;
  sup.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
  sup.undo_scid = sup.redo_scid = uint16_t(t->cols[size_t(cols[0])].segcol);
  sup.ncol = int(sscid.size());
  sup.scid = sscid.data();
  sup.val = scv.data();
  ks_rowref_t ref{r.dba, r.slot};
  // What extract should deliver, recorded before the change's records, between which other
  // transactions may change rows (with this function's lists).
  if (expect_) {
    ks_expect_t e;
    e.op = "UPDATE";
    e.t = t;
    for (size_t i = 0; i < cols.size(); i++) e.newv.emplace_back(cols[i], nv[i]);
    for (int c : pick) e.oldv.emplace_back(c, r.v[size_t(c)]);
    for (size_t i = 0; i < cols.size(); i++) e.oldv.emplace_back(cols[i], old[i]);
    tx->exp.push_back(std::move(e));
  }
  const std::vector<ks_piece_t> before = r.pieces;
  // A LONG that gets a value too long for a row change moves the row, into pieces.
  bool long_now = false;
  for (size_t i = 0; i < cols.size(); i++) long_now |= long_value(t->cols[size_t(cols[i])], nv[i]);
  const bool migrate = long_now || outgrows_block(r, cols, nv);
  bool overwrite = false;
  if (migrate) {
    if (migrate_row(tx, t, r, cols, nv, sup) != 0) return -1;
  } else if (!r.pieces.empty()) {
    if (update_pieces(tx, t, r, cols, old, nv, sup, 0) != 0) return -1;
  } else if ((overwrite = compressed_shape(t))) {
    if (overwrite_update(tx, t, r, cols, nv) != 0) return -1;
  } else {
    rec_begin();
    uint64_t scn = scn_;
    rec_segment(t);
    txn_start(tx, t->owner);
    rec_.undo_of_update(tx->xid, t->objn, ref, colno.data(), ocv.data(), int(colno.size()), sup, stored_count(r.v));
    rec_.redo_urp(ref, colno.data(), ncv.data(), int(colno.size()));
    if (rec_end(scn) != 0) return -1;
  }
  // A key that changes moves in its index: the old leaf row goes, the new one comes.
  bool key_changed = false;
  for (int c : cols) key_changed |= std::find(t->pk.begin(), t->pk.end(), c) != t->pk.end();
  if (key_changed) {
    std::vector<ks_val_t> after = r.v;
    for (size_t i = 0; i < cols.size(); i++) after[size_t(cols[i])] = nv[i];
    if (index_record(tx, t, &r.v, &after, ref) != 0) return -1;
  }
  for (size_t i = 0; i < cols.size(); i++) r.v[size_t(cols[i])] = std::move(nv[i]);
  t->dirty = true;
  tx->undo.push_back({ks_undo_t::kUpd, t, {ri}, std::move(cols), std::move(old)});
  tx->undo.back().migrated = migrate;
  tx->undo.back().overwrite = overwrite;
  tx->undo.back().pieces = before;
  return 0;
}

int ks_sim_db::remove(ks_txn_t *tx, ks_table_t *t, uint32_t ri) {
  if (!tx || tx->done || ri >= t->rows.size() || !t->rows[ri].live) return -1;
  if (t->iot) return iot_remove(tx, t, ri);
  ks_row_t &r = t->rows[ri];
  int n = stored_count(r.v);
  auto &cv = scratch_vals(0);
  to_colvals(r.v, n, &cv);
  ks_suplog_t sup;
  sup.op = kSupOpDelete;
  sup.undo_scid = 1;
  ks_rowref_t ref{r.dba, r.slot};
  if (!r.pieces.empty()) {
    if (delete_pieces(tx, t, r, 0) != 0) return -1;
  } else {
    if (whole_row(t, r.v, ref) != 0) return -1;
    rec_begin();
    uint64_t scn = scn_;
    rec_segment(t);
    txn_start(tx, t->owner);
    rec_.set_row_image(compressed_shape(t));
    rec_.undo_of_delete(tx->xid, t->objn, ref, cv.data(), n, sup);
    rec_.redo_drp(ref);
    if (rec_end(scn) != 0) return -1;
  }
  if (index_record(tx, t, &r.v, nullptr, ref) != 0) return -1;
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

int ks_sim_db::lock_row(ks_txn_t *tx, ks_table_t *t, uint32_t ri) {
  if (!tx || tx->done || ri >= t->rows.size() || !t->rows[ri].live) return -1;
  if (t->iot) return 0;  // a leaf row lock changes no row: not logged here
  ks_rowref_t ref{t->rows[ri].dba, t->rows[ri].slot};
  // A lock is logged as an update that changes nothing.
  ks_suplog_t sup;
  sup.op = kSupOpUpdate;
  rec_begin();
  uint64_t scn = scn_;
  rec_segment(t);
  txn_start(tx, t->owner);
  rec_.undo_of_lock(tx->xid, t->objn, ref, &sup);
  rec_.redo_lkr(ref);
  if (rec_end(scn) != 0) return -1;
  tx->undo.push_back({ks_undo_t::kLock, t, {ri}, {}, {}});
  return 0;
}

int ks_sim_db::audit(ks_txn_t *tx, const std::string &tag) {
  if (!tx || tx->done) return -1;
  rec_begin();
  uint64_t scn = scn_;
  txn_start(tx, "SYSTEM");
  rec_.audit(tag);
  return rec_end(scn);
}

int ks_sim_db::savepoint(ks_txn_t *tx, const std::string &name) {
  if (!tx || tx->done) return -1;
  tx->sps.emplace_back(name, tx->undo.size(), tx->exp.size());
  return 0;
}

// Compensation redo for undo entries [upto, end) in reverse order: the row operation that
// undoes the change, without undo, with its supplemental header and a 5.6 (full rollback)
// or 5.11 (rollback to savepoint) naming the object and the transaction slot.
int ks_sim_db::undo_change(ks_txn_t *tx, size_t upto, bool partial) {
  const uint8_t rb_code = partial ? 11 : 6;
  while (tx->undo.size() > upto) {
    ks_undo_t u = std::move(tx->undo.back());
    tx->undo.pop_back();
    ks_table_t *t = u.t;
    if (u.kind == ks_undo_t::kLoad) {
      unload(t, u.rows);
      continue;
    }
    if (t->iot) {
      if (iot_undo(tx, u, rb_code) != 0) return -1;
      continue;
    }
    if (u.kind == ks_undo_t::kQmi) {
      if (undo_qmi(tx, t, u.rows, rb_code) != 0) return -1;
      continue;
    }
    ks_suplog_t sup;
    for (size_t k = u.rows.size(); k-- > 0;) {
      uint32_t ri = u.rows[k];
      ks_row_t &r = t->rows[ri];
      ks_rowref_t ref{r.dba, r.slot};
      // The key the rollback takes out of the primary key (gone) and puts back (back).
      std::vector<ks_val_t> gone;
      const std::vector<ks_val_t> *back = nullptr;
      bool key_moves = u.kind == ks_undo_t::kIns || u.kind == ks_undo_t::kQmi || u.kind == ks_undo_t::kDel;
      for (int c : u.cols) key_moves |= std::find(t->pk.begin(), t->pk.end(), c) != t->pk.end();
      key_moves &= t->pk_objn != 0;
      if (key_moves && u.kind != ks_undo_t::kDel) gone = r.v;
      if (key_moves && u.kind != ks_undo_t::kIns && u.kind != ks_undo_t::kQmi) back = &r.v;
      // A row stored as pieces is undone piece by piece, a record each.
      const bool pieced = !r.pieces.empty() && u.kind != ks_undo_t::kLock;
      uint64_t scn = 0;
      if (!pieced) {
        rec_begin();
        scn = scn_;
        rec_segment(t);
      }
      switch (u.kind) {
        case ks_undo_t::kIns:
        case ks_undo_t::kQmi: {  // taken above
          sup.op = kSupOpInsert;
          if (pieced) {
            if (delete_pieces(tx, t, r, rb_code) != 0) return -1;
          } else {
            rec_.redo_drp(ref, &sup);
          }
          t->unlink(ri);
          r.v.clear();
          t->spare.push_back(ri);
          break;
        }
        case ks_undo_t::kDel: {
          int n = stored_count(r.v);
          auto &cv = scratch_vals(1);
          to_colvals(r.v, n, &cv);
          sup.op = kSupOpDelete;
          sup.redo_scid = 1;
          if (pieced) {
            if (insert_pieces(tx, t, r.v, r.pieces, rb_code) != 0) return -1;
          } else {
            rec_.redo_irp(ref, cv.data(), n, &sup);
          }
          sup.redo_scid = 0;
          r.live = true;
          r.live_pos = uint32_t(t->live.size());
          t->live.push_back(ri);
          break;
        }
        case ks_undo_t::kUpd: {
          std::vector<uint16_t> colno;
          for (int c : u.cols) colno.push_back(uint16_t(t->cols[size_t(c)].segcol - 1));
          auto &cv = scratch_vals(1);
          to_colvals(u.old, int(u.old.size()), &cv);
          ks_suplog_t us;
          us.op = kSupOpUpdate;
          us.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
          us.undo_scid = us.redo_scid = uint16_t(t->cols[size_t(u.cols[0])].segcol);
          if (u.migrated) {
            for (size_t i = 0; i < u.cols.size(); i++) r.v[size_t(u.cols[i])] = u.old[i];
            if (unmigrate_row(tx, t, r, u.pieces, rb_code) != 0) return -1;
          } else if (pieced) {
            if (update_pieces(tx, t, r, u.cols, {}, u.old, us, rb_code, u.pieces) != 0) return -1;
          } else if (u.overwrite) {
            overwrite_back(t, r, u);
          } else {
            rec_.redo_urp(ref, colno.data(), cv.data(), int(colno.size()), &us);
          }
          for (size_t i = 0; i < u.cols.size(); i++) r.v[size_t(u.cols[i])] = u.old[i];
          break;
        }
        case ks_undo_t::kLock:
          rec_.redo_lkr(ref);
          break;
        case ks_undo_t::kLoad:  // taken above
          break;
      }
      if (!pieced) {
        rec_.rollback_undo(rb_code, tx->xid, t->objn);
        if (rec_end(scn) != 0) return -1;
      }
      if (key_moves && index_record(tx, t, gone.empty() ? nullptr : &gone, back, ref, rb_code) != 0) return -1;
      t->dirty = true;
      if (u.kind != ks_undo_t::kQmi) break;
    }
  }
  return 0;
}

// A quick multi-row insert is undone as its undo says, by one quick multi-row delete of
// the whole set (one record, so one change to cancel for a reader); then the primary key
// loses each row's entry, last row first.
int ks_sim_db::undo_qmi(ks_txn_t *tx, ks_table_t *t, const ks_rowlist_t &rows, uint8_t rb_code) {
  if (rows.size() == 0) return 0;
  rec_begin();
  const uint64_t scn = scn_;
  rec_segment(t);
  ks_suplog_t sup;
  sup.op = kSupOpInsert;
  rec_.redo_qmd(t->rows[rows[0]].dba, uint16_t(rows.size()), sup);
  rec_.rollback_undo(rb_code, tx->xid, t->objn);
  if (rec_end(scn) != 0) return -1;
  for (size_t k = rows.size(); k-- > 0;) {
    ks_row_t &r = t->rows[rows[k]];
    const ks_rowref_t ref{r.dba, r.slot};
    const std::vector<ks_val_t> gone = std::move(r.v);
    t->unlink(rows[k]);
    r.v.clear();
    t->spare.push_back(rows[k]);
    if (t->pk_objn != 0 && index_record(tx, t, &gone, nullptr, ref, rb_code) != 0) return -1;
  }
  t->dirty = true;
  return 0;
}

int ks_sim_db::rollback_to(ks_txn_t *tx, const std::string &name) {
  if (!tx || tx->done) return -1;
  for (size_t i = tx->sps.size(); i-- > 0;) {
    if (std::get<0>(tx->sps[i]) != name) continue;
    size_t nu = std::get<1>(tx->sps[i]), ne = std::get<2>(tx->sps[i]);
    tx->sps.resize(i + 1);  // the savepoint itself stays
    if (undo_change(tx, nu, true) != 0) return -1;
    if (tx->exp.size() > ne) tx->exp.resize(ne);
    return 0;
  }
  KS_ERROR("savepoint \"%s\" never established in this session or is invalid.", name.c_str());
  return -1;
}

// The 5.4 record that ends a transaction.
int ks_sim_db::commit_record(uint64_t xid, bool rollback, uint64_t *scn) {
  rec_begin();
  *scn = scn_;
  rec_.commit(xid, rollback);
  if (rec_end(*scn) != 0) return -1;
  // Until the log writer has written it, the current SCN readers are shown stays below it.
  ks_inst_t &in = *insts_[cur_inst_];
  if (in.held_commit == 0) in.held_commit = *scn;
  return 0;
}

// After a user commit the log writer may write; a write that empties its buffer makes the
// next record start a new redo write.
int ks_sim_db::commit_point() {
  if (writer_->commit_point() != 0) return -1;
  if (writer_->idle()) {
    write_start_ = true;
    insts_[cur_inst_]->held_commit = 0;
  }
  return publish_scn();
}

int ks_sim_db::commit(ks_txn_t *tx) {
  if (!tx || tx->done) return -1;
  tx->done = true;
  free_xid(tx->xid);
  if (!tx->started) return 0;  // nothing changed: no redo
  uint64_t scn;
  if (commit_record(tx->xid, false, &scn) != 0 || commit_point() != 0) return -1;
  commits_++;
  if (times_ != nullptr) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    fprintf(times_, "%llu %lld.%06ld\n", static_cast<unsigned long long>(scn), static_cast<long long>(ts.tv_sec),
            ts.tv_nsec / 1000);
  }
  write_expect(tx, scn);
  for (auto &u : tx->undo)
    if (u.kind == ks_undo_t::kDel) {
      ks_row_t &r = u.t->rows[u.rows[0]];
      r.v.clear();
      r.v.shrink_to_fit();
      u.t->spare.push_back(u.rows[0]);
    }
  tx->undo.clear();
  tx->exp.clear();
  return 0;
}

int ks_sim_db::rollback(ks_txn_t *tx) {
  if (!tx || tx->done) return -1;
  if (undo_change(tx, 0, false) != 0) return -1;
  tx->done = true;
  free_xid(tx->xid);
  if (!tx->started) return 0;
  uint64_t scn;
  if (commit_record(tx->xid, true, &scn) != 0 || commit_point() != 0) return -1;
  rollbacks_++;
  tx->exp.clear();
  return 0;
}

int ks_sim_db::switch_log() {
  // The switch takes an SCN of its own, the new log's first change: the current SCN is
  // never below the current log's first change, even after switches in a row.
  int rc = writer_->switch_log(++scn_, now());
  write_start_ = true;
  insts_[cur_inst_]->held_commit = 0;
  return rc;
}

void ks_sim_db::write_expect(ks_txn_t *tx, uint64_t scn) {
  if (!expect_) return;
  auto val = [](const ks_val_t &v) { return v.is_null ? std::string("null") : "\"" + ks_hex(v.b) + "\""; };
  std::string line = "{\"xid\": \"" + std::to_string(xid_usn(tx->xid)) + "." + std::to_string(xid_slot(tx->xid)) + "." +
                     std::to_string(xid_sqn(tx->xid)) + "\", \"scn\": " + std::to_string(scn) + ", \"changes\": [";
  bool first = true;
  for (const auto &e : tx->exp) {
    if (!first) line += ", ";
    first = false;
    line += "{\"op\": \"" + e.op + "\", \"owner\": \"" + e.t->owner + "\", \"table\": \"" + e.t->name + "\"";
    auto list = [&](const char *key, const std::vector<std::pair<int, ks_val_t>> &l) {
      line += std::string(", \"") + key + "\": [";
      for (size_t i = 0; i < l.size(); i++)
        line += (i ? ", [\"" : "[\"") + e.t->cols[size_t(l[i].first)].name + "\", " + val(l[i].second) + "]";
      line += "]";
    };
    if (e.op == "QUICK INSERT") {
      line += ", \"columns\": [";
      for (size_t i = 0; i < e.t->cols.size(); i++) line += (i ? ", \"" : "\"") + e.t->cols[i].name + "\"";
      line += "], \"rows\": [";
      for (size_t r = 0; r < e.rows.size(); r++) {
        line += r ? ", [" : "[";
        for (size_t i = 0; i < e.rows[r].size(); i++) line += (i ? ", " : "") + val(e.rows[r][i]);
        line += "]";
      }
      line += "]";
    } else {
      // As the decoder prints them: an empty image is left out (an overwrite that
      // changes no value has no new one).
      if (e.op != "DELETE" && !e.newv.empty()) list("new", e.newv);
      if (e.op != "INSERT" && !e.oldv.empty()) list("old", e.oldv);
    }
    line += "}";
  }
  line += "]}\n";
  fputs(line.c_str(), expect_);
}

// ---- DDL ----

int ks_sim_db::create_user(const std::string &name) {
  if (users_.count(name)) {
    KS_ERROR("user %s already exists.", name.c_str());
    return -1;
  }
  uint32_t no = next_user_++;
  users_[name] = no;
  ks_ddl_t d;
  if (ddl_begin(&d, "SYS") != 0 ||
      sys_insert(&d, "USER$", std::to_string(no) + ", " + ks_sql_quote(name) + ", 1, '" + clock_text() + "'") != 0)
    return -1;
  return ddl_end(&d, 0, "create user " + name + " identified by values 'S:0'", "SYS", name, 7);
}

ks_table_t *ks_sim_db::table(const std::string &owner, const std::string &name) {
  for (auto &t : tables_)
    if (t->owner == owner && t->name == name) return t.get();
  return nullptr;
}

ks_sequence_t *ks_sim_db::sequence(const std::string &owner, const std::string &name) {
  for (auto &s : seqs_)
    if (s->owner == owner && s->name == name) return s.get();
  return nullptr;
}

// ---- unrelated activity ----

int ks_sim_db::noise() {
  std::mt19937_64 &r = rng_;
  int kind = int(r() % (cfg_.other_con_uid ? 5 : 4));
  uint32_t dba = (1u << 22) | uint32_t(r() % 50000 + 200);
  uint32_t con = kind < 4 ? noise_con() : cfg_.other_con_uid;
  switch (kind) {
    case 0: {  // block cleanout and space management, no transaction
      rec_begin(uint8_t(write_start_ ? KS_REDO_VLD_SECOND | KS_REDO_VLD_LONG : KS_REDO_VLD_SECOND), con);
      uint64_t scn = scn_;
      uint32_t s41[1] = {24}, s1322[1] = {12};
      rec_.other(4, 1, 1, dba, s41, 1);
      rec_.other(13, 22, 8, dba | 0x80, s1322, 1);
      return rec_end(scn);
    }
    case 1:
    case 2: {  // a recursive transaction on the dictionary: segment and space bitmap changes
      uint64_t xid;
      if (new_xid(&xid) != 0) return -1;
      rec_begin(0, con);
      uint64_t scn = scn_;
      rec_.set_segment(kSegObjn, ks_sys_segment(kSegObjn), 0);
      rec_.undo_seg_header(xid_usn(xid), xid_slot(xid), xid_sqn(xid));
      rec_.undo_other(xid, 0, 13, xid_usn(xid));
      uint32_t s13[2] = {20, 8};
      rec_.other(13, uint8_t(kind == 1 ? 5 : 6), 4, dba, s13, 2);
      if (rec_end(scn) != 0) return -1;
      rec_begin(0, con);
      scn = scn_;
      rec_.undo_other(xid, 0, 22, xid_usn(xid));
      uint32_t s22[2] = {16, 12};
      rec_.other(22, 5, 1, dba + 1, s22, 2);
      if (rec_end(scn) != 0) return -1;
      // An update of SEG$, which no capture follows.
      std::string v;
      ks_num_from_int(int64_t(r() % 100000), &v);
      uint16_t colno[1] = {4};
      ks_colval_t cv[1] = {{reinterpret_cast<const uint8_t *>(v.data()), int(v.size())}};
      ks_suplog_t sup;
      sup.op = kSupOpUpdate;
      sup.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_LAST | KS_REDO_SUP_UPDATE;
      sup.undo_scid = sup.redo_scid = 5;
      ks_rowref_t ref{0x00400000u | uint32_t(r() % 900 + 100), uint16_t(r() % 40)};
      rec_begin(0, con);
      scn = scn_;
      rec_.undo_of_update(xid, kSegObjn, ref, colno, cv, 1, sup);
      rec_.redo_urp(ref, colno, cv, 1);
      if (rec_end(scn) != 0) return -1;
      rec_begin(0, con);
      scn = scn_;
      rec_.commit(xid, false);
      free_xid(xid);
      return rec_end(scn);
    }
    case 3: {  // undo of undo-layer changes and other layers (5.5, 14.x, 26.x)
      uint64_t xid;
      if (new_xid(&xid) != 0) return -1;
      rec_begin(uint8_t(write_start_ ? KS_REDO_VLD_SECOND | KS_REDO_VLD_LONG : KS_REDO_VLD_SECOND), con);
      uint64_t scn = scn_;
      rec_.undo_other(xid, 0, 5, xid_usn(xid));
      uint32_t s[3] = {8, 4, 16};
      rec_.other(5, 5, uint16_t(rec_.undo_block_class(xid_usn(xid))), ks_redo_record::undo_block_dba(xid_usn(xid)), s,
                 2);
      rec_.other(14, 4, 4, dba, s, 3);
      rec_.other(26, 4, 1, dba + 2, s, 1);
      free_xid(xid);
      return rec_end(scn);
    }
    default: {  // another container's transaction, on an object number we also use
      if (tables_.empty()) return 0;
      ks_table_t *t = tables_[size_t(r() % tables_.size())].get();
      uint64_t xid;
      if (new_xid(&xid) != 0) return -1;
      std::string id;
      ks_num_from_int(int64_t(r() % 1000000), &id);
      ks_colval_t cv[1] = {{reinterpret_cast<const uint8_t *>(id.data()), int(id.size())}};
      ks_rowref_t ref{(9u << 22) | uint32_t(r() % 10000), uint16_t(r() % 50)};
      uint8_t vld = write_start_ ? uint8_t(KS_REDO_VLD_NORMAL | KS_REDO_VLD_LONG) : KS_REDO_VLD_NORMAL;
      rec_.begin(next_scn(), vld, cfg_.other_con_uid, now(), con_id(cfg_.other_con_uid));
      uint64_t scn = scn_;
      rec_.set_segment(t->objn, (9u << 22) | t->seg_block, 4);
      rec_.undo_seg_header(xid_usn(xid), xid_slot(xid), xid_sqn(xid));
      ks_suplog_t sup;
      sup.op = kSupOpInsert;
      sup.redo_scid = 1;
      rec_.undo_of_insert(xid, t->objn, ref, sup);
      rec_.redo_irp(ref, cv, 1);
      if (rec_end(scn) != 0) return -1;
      rec_.begin(next_scn(), KS_REDO_VLD_NORMAL, cfg_.other_con_uid, now(), con_id(cfg_.other_con_uid));
      scn = scn_;
      rec_.commit(xid, false);
      free_xid(xid);
      return rec_end(scn);
    }
  }
}

// ---- rows stored as pieces ----------------------------------------------------------------
// Each piece's change is a record of its own, with a 28-byte supplemental header naming the
// head piece: the first record of the change carries the first-piece flag, the last one the
// last-piece flag, so that a reader holds the pieces until the row is complete (records of
// other transactions may come between them).

namespace {
// A database sets this bit besides the update bit on the first piece of some chained deletes;
// readers do not decode it.
constexpr uint8_t kSupDeleteHead = 0x40;

// Bytes a value of len bytes (or the part of one) takes in a row piece: its length byte
// (three for values over 250) and bytes; a NULL (len < 0) its length byte only.
int stored_bytes(int len) { return len < 0 ? 1 : len + (len > 250 ? 3 : 1); }
int piece_bytes(const ks_val_t &x) { return stored_bytes(x.is_null ? -1 : int(x.b.size())); }

// The values piece p holds of row v, split values by their parts.
void piece_vals(const std::vector<ks_val_t> &v, const ks_piece_t &p, std::vector<ks_colval_t> *out) {
  out->resize(p.ncol);
  for (size_t j = 0; j < p.ncol; j++) {
    const ks_val_t &x = v[p.first + j];
    if (x.is_null) {
      (*out)[j] = {nullptr, -1};
      continue;
    }
    const size_t to = j + 1 == p.ncol && p.cut ? std::min<size_t>(p.cut, x.b.size()) : x.b.size();
    const size_t from = j == 0 ? std::min<size_t>(p.skip, to) : 0;
    (*out)[j] = {reinterpret_cast<const uint8_t *>(x.b.data()) + from, int(to - from)};
  }
}

int piece_size(const std::vector<ks_val_t> &v, const ks_piece_t &p) {
  std::vector<ks_colval_t> cv;
  piece_vals(v, p, &cv);
  int n = 0;
  for (const ks_colval_t &c : cv) n += stored_bytes(c.len);
  return n;
}

// Room in its block of a piece after which the block takes other rows.
uint16_t grow_room(int bytes) { return uint16_t(std::min(kPieceBytes, bytes + kGrowRoom)); }

// Row flag byte of piece i: the head, the piece with the row's first column (the head but
// for a migrated row, whose head is a stub holding none), the last piece, and the values
// split with the pieces around it say so.
uint8_t piece_fb(const std::vector<ks_piece_t> &pc, size_t i) {
  const size_t first = pc[0].ncol == 0 && pc.size() > 1 ? 1 : 0;
  uint8_t fb = i == 0 ? KS_REDO_ROW_HEAD : 0;
  if (i == first) fb |= KS_REDO_ROW_FIRST;
  if (i + 1 == pc.size()) fb |= KS_REDO_ROW_LAST;
  if (pc[i].skip) fb |= KS_REDO_ROW_PREV_CONT;
  if (pc[i].cut) fb |= KS_REDO_ROW_NEXT_CONT;
  return fb;
}

ks_rowref_t piece_ref(const ks_piece_t &p) { return ks_rowref_t{p.dba, p.slot}; }

ks_rowref_t piece_next(const std::vector<ks_piece_t> &pc, size_t i) {
  return i + 1 < pc.size() ? piece_ref(pc[i + 1]) : ks_rowref_t{0, 0};
}

bool same_place(const ks_piece_t &a, const ks_piece_t &b) { return a.dba == b.dba && a.slot == b.slot; }

// Supplemental header of record k of nrec of one change (operation op) of a row stored as
// pieces.
ks_suplog_t piece_sup(const std::vector<ks_piece_t> &pc, size_t k, size_t nrec, uint8_t op, uint8_t extra) {
  ks_suplog_t s;
  s.op = op;
  s.flags = uint8_t((k == 0 ? KS_REDO_SUP_FIRST : 0) | (k + 1 == nrec ? KS_REDO_SUP_LAST : 0) | extra);
  s.long_hdr = true;
  s.head_dba = pc[0].dba;
  s.head_slot = pc[0].slot;
  return s;
}

// The piece holding stored column c (the first of two holding a split value); a column
// past the stored ones (a trailing NULL) goes to the last piece.
size_t piece_of(const std::vector<ks_piece_t> &pc, int c) {
  for (size_t i = 0; i < pc.size(); i++)
    if (c < pc[i].first + pc[i].ncol) return i;
  return pc.size() - 1;
}

// The pieces as an update giving the row the values after leaves them: a trailing NULL
// column that gets a value joins the last piece.
std::vector<ks_piece_t> pieces_after(const std::vector<ks_piece_t> &pc, const std::vector<ks_val_t> &after) {
  std::vector<ks_piece_t> pa = pc;
  ks_piece_t &last = pa.back();
  last.ncol = uint16_t(std::max(int(last.ncol), stored_count(after) - last.first));
  return pa;
}

std::vector<ks_val_t> updated(const std::vector<ks_val_t> &v, const std::vector<int> &cols,
                              const std::vector<ks_val_t> &nv) {
  std::vector<ks_val_t> after = v;
  for (size_t i = 0; i < cols.size(); i++) after[size_t(cols[i])] = nv[i];
  return after;
}
}  // namespace

// The direct-path load stores its rows in the same pieces.
int ks_stored_count(const std::vector<ks_val_t> &v) { return stored_count(v); }
void ks_piece_vals(const std::vector<ks_val_t> &v, const ks_piece_t &p, std::vector<ks_colval_t> *out) {
  piece_vals(v, p, out);
}
uint8_t ks_piece_fb(const std::vector<ks_piece_t> &pc, size_t i) { return piece_fb(pc, i); }

uint64_t ks_sim_db::piece_begin(const ks_table_t *t) {
  rec_begin();
  rec_segment(t);
  return scn_;
}

int ks_sim_db::piece_end(ks_txn_t *tx, uint64_t scn, bool last) {
  if (rec_end(scn) != 0) return -1;
  if (last || !between_ || in_between_) return 0;
  in_between_ = true;
  const int rc = between_(tx);
  in_between_ = false;
  return rc;
}

int ks_sim_db::whole_row(const ks_table_t *t, const std::vector<ks_val_t> &v, ks_rowref_t at) const {
  const int n = stored_count(v);
  int bytes = 0;
  for (int i = 0; i < n; i++) bytes += piece_bytes(v[size_t(i)]);
  if (n <= kPieceCols && bytes <= kPieceBytes) return 0;
  KS_ERROR("row %u.%u.%u of %s.%s (%d columns, %d bytes) does not fit in one row piece and has no pieces.",
           at.dba >> 22, at.dba & 0x3FFFFF, at.slot, t->owner.c_str(), t->name.c_str(), n, bytes);
  return -1;
}

ks_rowref_t ks_sim_db::place_row(ks_table_t *t, const std::vector<ks_val_t> &v, int n, std::vector<ks_piece_t> *out) {
  out->clear();
  const ks_rowref_t head = alloc_row(t);
  out->push_back({head.dba, head.slot, 0, 0});
  int bytes = 0;
  for (int i = 0; i < n; i++) {
    const ks_val_t &x = v[size_t(i)];
    int from = 0;  // bytes of x the pieces before hold
    // A LONG longer than a value a row change carries is kept in parts of at most that.
    const int limit = long_value(t->cols[size_t(i)], x) ? kLongInline : kPieceBytes;
    for (;;) {
      ks_piece_t &p = out->back();
      const int b = x.is_null ? 1 : stored_bytes(int(x.b.size()) - from);
      const bool too_long = (p.ncol > 0 || limit < kPieceBytes) && bytes + b > limit;
      if (!too_long && p.ncol < kPieceCols) {
        p.ncol++;
        bytes += b;
        break;
      }
      // A piece cut for width stays in the block (whatever room the table's rows leave
      // there); one cut for length fills its block, ending with the first part of a value
      // that has room enough left, and the next piece starts a new block.
      const int part = limit - bytes - 3;  // its length takes three bytes
      if (too_long && p.ncol < kPieceCols && !x.is_null && limit - bytes >= kSplitRoom) {
        p.ncol++;
        from += part;
        p.cut = uint16_t(from);
        bytes = kPieceBytes;
      }
      p.room = too_long ? uint16_t(kPieceBytes) : grow_room(bytes);
      if (too_long) t->next_slot = t->slots_per_block;
      const ks_rowref_t ref = too_long ? alloc_row(t) : ks_rowref_t{p.dba, t->next_slot++};
      out->push_back({ref.dba, ref.slot, uint16_t(i), 0, uint16_t(from)});
      bytes = 0;
    }
  }
  out->back().room = grow_room(bytes);
  if (out->size() == 1) out->clear();
  return head;
}

int ks_sim_db::insert_pieces(ks_txn_t *tx, ks_table_t *t, const std::vector<ks_val_t> &v,
                             const std::vector<ks_piece_t> &pc, uint8_t rb_code) {
  std::vector<ks_colval_t> cv;
  // A database writes a row's pieces from its tail, each knowing its successor's row id.
  for (size_t k = 0; k < pc.size(); k++) {
    const size_t i = pc.size() - 1 - k;
    const ks_rowref_t ref = piece_ref(pc[i]);
    ks_suplog_t sup = piece_sup(pc, k, pc.size(), rb_code == 0 ? kSupOpInsert : kSupOpDelete, 0);
    sup.redo_scid = uint16_t(t->cols[pc[i].first].segcol);
    piece_vals(v, pc[i], &cv);
    uint64_t scn = piece_begin(t);
    rec_.set_piece(piece_fb(pc, i), piece_next(pc, i));
    if (rb_code == 0) {
      txn_start(tx, t->owner);
      rec_.undo_of_insert(tx->xid, t->objn, ref, sup);
      rec_.redo_irp(ref, cv.data(), int(cv.size()));
      space_upkeep(t, ref);
    } else {
      rec_.redo_irp(ref, cv.data(), int(cv.size()), &sup);
      rec_.rollback_undo(rb_code, tx->xid, t->objn);
    }
    if (piece_end(tx, scn, k + 1 == pc.size()) != 0) return -1;
  }
  return 0;
}

int ks_sim_db::delete_pieces(ks_txn_t *tx, ks_table_t *t, const ks_row_t &r, uint8_t rb_code) {
  const std::vector<ks_piece_t> &pc = r.pieces;
  std::vector<ks_colval_t> cv;
  for (size_t i = 0; i < pc.size(); i++) {
    const ks_rowref_t ref = piece_ref(pc[i]);
    ks_suplog_t sup = piece_sup(pc, i, pc.size(), rb_code == 0 ? kSupOpDelete : kSupOpInsert, 0);
    uint64_t scn = piece_begin(t);
    if (rb_code == 0) {
      // The head piece of a delete is logged as the row's own, with the short header.
      if (i == 0) {
        sup.long_hdr = false;
        sup.flags |= KS_REDO_SUP_UPDATE | kSupDeleteHead;
      }
      sup.undo_scid = uint16_t(t->cols[pc[i].first].segcol);
      txn_start(tx, t->owner);
      rec_.set_piece(piece_fb(pc, i), piece_next(pc, i));
      piece_vals(r.v, pc[i], &cv);
      rec_.undo_of_delete(tx->xid, t->objn, ref, cv.data(), int(cv.size()), sup);
      rec_.redo_drp(ref);
    } else {
      rec_.redo_drp(ref, &sup);
      rec_.rollback_undo(rb_code, tx->xid, t->objn);
    }
    if (piece_end(tx, scn, i + 1 == pc.size()) != 0) return -1;
  }
  return 0;
}

int ks_sim_db::update_pieces(ks_txn_t *tx, ks_table_t *t, ks_row_t &r, const std::vector<int> &cols,
                             const std::vector<ks_val_t> &old, const std::vector<ks_val_t> &nv, const ks_suplog_t &sup,
                             uint8_t rb_code, const std::vector<ks_piece_t> &before) {
  const std::vector<ks_val_t> after = updated(r.v, cols, nv);
  // The pieces as they stand, record after record.
  std::vector<ks_piece_t> cur = pieces_after(r.pieces, after);
  // The pieces the change logs: those with changed columns, and the head for an update (its
  // record carries the supplemental columns); an update logs them head first, a rollback
  // undoes them from the tail.
  std::vector<size_t> recs;
  for (size_t i = 0; i < cur.size(); i++) {
    bool changed = i == 0 && rb_code == 0;
    for (int c : cols) changed |= piece_of(cur, c) == i;
    if (changed) recs.push_back(i);
  }
  if (rb_code != 0) std::reverse(recs.begin(), recs.end());
  // Pieces that move: grown beyond their block's room (the head never moves alone), or,
  // undone, back to where they were.
  std::vector<char> moves(cur.size(), 0);
  size_t nrec = 0;
  for (size_t i : recs) {
    if (rb_code == 0)
      moves[i] = i > 0 && piece_size(after, cur[i]) > cur[i].room;
    else
      moves[i] = i < before.size() && !same_place(before[i], cur[i]);
    nrec += moves[i] ? 3 : 1;
  }
  std::vector<uint16_t> colno;
  std::vector<ks_val_t> ov, wv;
  std::vector<ks_colval_t> ocv, wcv;
  size_t k = 0;
  for (size_t i : recs) {
    if (moves[i]) {
      const ks_rowref_t prev = piece_ref(cur[i - 1]);
      if (rb_code == 0) {
        // The piece moves to a block of its own: inserted there, deleted here, and its
        // predecessor forwards to it.
        const ks_rowref_t from = piece_ref(cur[i]);
        t->next_slot = t->slots_per_block;
        const ks_rowref_t to = alloc_row(t);
        ks_piece_t np = cur[i];
        np.dba = to.dba;
        np.slot = to.slot;
        np.room = grow_room(piece_size(after, np));
        ks_suplog_t s = piece_sup(cur, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
        s.redo_scid = uint16_t(t->cols[np.first].segcol);
        piece_vals(after, np, &wcv);
        uint64_t scn = piece_begin(t);
        txn_start(tx, t->owner);
        rec_.set_piece(piece_fb(cur, i), piece_next(cur, i));
        rec_.undo_of_insert(tx->xid, t->objn, to, s);
        rec_.redo_irp(to, wcv.data(), int(wcv.size()));
        space_upkeep(t, to);
        if (piece_end(tx, scn, ++k == nrec) != 0) return -1;

        s = piece_sup(cur, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
        s.undo_scid = uint16_t(t->cols[r.pieces[i].first].segcol);
        piece_vals(r.v, r.pieces[i], &ocv);
        scn = piece_begin(t);
        rec_.set_piece(piece_fb(r.pieces, i), piece_next(cur, i));
        rec_.undo_of_delete(tx->xid, t->objn, from, ocv.data(), int(ocv.size()), s);
        rec_.redo_drp(from);
        if (piece_end(tx, scn, ++k == nrec) != 0) return -1;

        s = piece_sup(cur, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
        scn = piece_begin(t);
        rec_.undo_of_cfa(tx->xid, t->objn, prev, from, s);
        rec_.redo_cfa(prev, to, s);
        if (piece_end(tx, scn, ++k == nrec) != 0) return -1;
        cur[i] = np;
      } else {
        // Undone record by record: the forwarding address back, the piece back in its old
        // place with its old values, the moved piece gone.
        const ks_rowref_t moved = piece_ref(cur[i]), back = piece_ref(before[i]);
        ks_suplog_t s = piece_sup(cur, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
        uint64_t scn = piece_begin(t);
        rec_.redo_cfa(prev, back, s);
        rec_.rollback_undo(rb_code, tx->xid, t->objn);
        if (piece_end(tx, scn, ++k == nrec) != 0) return -1;

        cur[i] = before[i];
        s = piece_sup(cur, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
        s.redo_scid = uint16_t(t->cols[cur[i].first].segcol);
        piece_vals(after, cur[i], &wcv);
        scn = piece_begin(t);
        rec_.set_piece(piece_fb(cur, i), piece_next(cur, i));
        rec_.redo_irp(back, wcv.data(), int(wcv.size()), &s);
        rec_.rollback_undo(rb_code, tx->xid, t->objn);
        if (piece_end(tx, scn, ++k == nrec) != 0) return -1;

        s = piece_sup(cur, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
        scn = piece_begin(t);
        rec_.redo_drp(moved, &s);
        rec_.rollback_undo(rb_code, tx->xid, t->objn);
        if (piece_end(tx, scn, ++k == nrec) != 0) return -1;
      }
      continue;
    }
    const ks_rowref_t ref = piece_ref(cur[i]);
    colno.clear();
    ov.clear();
    wv.clear();
    for (size_t j = 0; j < cols.size(); j++) {
      if (piece_of(cur, cols[j]) != i) continue;
      colno.push_back(uint16_t(cols[j] - cur[i].first));
      if (!old.empty()) ov.push_back(old[j]);
      wv.push_back(nv[j]);
    }
    to_colvals(ov, int(ov.size()), &ocv);
    to_colvals(wv, int(wv.size()), &wcv);
    ks_suplog_t s = piece_sup(cur, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
    if (k == 0 && rb_code == 0) {
      s = sup;
      s.flags = uint8_t(KS_REDO_SUP_FIRST | KS_REDO_SUP_UPDATE | (nrec == 1 ? KS_REDO_SUP_LAST : 0));
    }
    s.undo_scid = s.redo_scid = uint16_t(t->cols[size_t(cur[i].first + (colno.empty() ? 0 : colno[0]))].segcol);
    uint64_t scn = piece_begin(t);
    rec_.set_piece(piece_fb(cur, i), piece_next(cur, i));
    if (rb_code != 0) {
      rec_.redo_urp(ref, colno.data(), wcv.data(), int(colno.size()), &s);
      rec_.rollback_undo(rb_code, tx->xid, t->objn);
    } else {
      txn_start(tx, t->owner);
      if (colno.empty()) {
        rec_.undo_of_lmn(tx->xid, t->objn, ref, s);
        rec_.redo_lmn(ref);
      } else {
        rec_.undo_of_update(tx->xid, t->objn, ref, colno.data(), ocv.data(), int(colno.size()), s, r.pieces[i].ncol);
        rec_.redo_urp(ref, colno.data(), wcv.data(), int(colno.size()));
      }
    }
    if (piece_end(tx, scn, ++k == nrec) != 0) return -1;
  }
  r.pieces = rb_code != 0 && !before.empty() ? before : std::move(cur);
  return 0;
}

bool ks_sim_db::outgrows_block(const ks_row_t &r, const std::vector<int> &cols, const std::vector<ks_val_t> &nv) const {
  const std::vector<ks_val_t> after = updated(r.v, cols, nv);
  if (r.pieces.empty()) {
    int bytes = 0;
    for (const ks_val_t &x : after) bytes += piece_bytes(x);
    return bytes > kPieceBytes || stored_count(after) > kPieceCols;
  }
  // A row stored as pieces moves when a split value changes, when its head outgrows its
  // room, or when a piece outgrows what any block holds.
  const std::vector<ks_piece_t> pa = pieces_after(r.pieces, after);
  for (int c : cols) {
    const size_t i = piece_of(pa, c);
    if (pa[i].cut && c + 1 == pa[i].first + pa[i].ncol) return true;
    const int size = piece_size(after, pa[i]);
    if (size > kPieceBytes || (i == 0 && size > pa[i].room)) return true;
  }
  return false;
}

int ks_sim_db::migrate_row(ks_txn_t *tx, ks_table_t *t, ks_row_t &r, const std::vector<int> &cols,
                           const std::vector<ks_val_t> &nv, const ks_suplog_t &sup) {
  const std::vector<ks_val_t> after = updated(r.v, cols, nv);
  const int n = stored_count(after);
  const ks_rowref_t head{r.dba, r.slot};
  // The pieces the row leaves: the row itself when it was whole in its block.
  std::vector<ks_piece_t> was = r.pieces;
  if (was.empty()) {
    if (whole_row(t, r.v, head) != 0) return -1;
    was.push_back({head.dba, head.slot, 0, uint16_t(stored_count(r.v))});
  }
  // The moved row starts in a new block, as pieces when it needs more than one.
  t->next_slot = t->slots_per_block;
  std::vector<ks_piece_t> data;
  const ks_rowref_t first = place_row(t, after, n, &data);
  if (data.empty()) {
    data.push_back({first.dba, first.slot, 0, uint16_t(n)});
    data[0].room = grow_room(piece_size(after, data[0]));
  }
  std::vector<ks_piece_t> pc{{head.dba, head.slot, 0, 0}};
  pc.insert(pc.end(), data.begin(), data.end());
  const size_t nrec = pc.size() + was.size() - 1;
  size_t k = 0;
  std::vector<ks_colval_t> cv;
  // The head is overwritten first: its old image in the undo, the stub forwarding to the
  // moved row in the redo, with the update's supplemental columns.
  ks_suplog_t s = sup;
  s.flags = KS_REDO_SUP_FIRST | KS_REDO_SUP_UPDATE;
  s.long_hdr = true;
  s.head_dba = head.dba;
  s.head_slot = head.slot;
  s.undo_scid = s.redo_scid = 1;
  piece_vals(r.v, was[0], &cv);
  uint64_t scn = piece_begin(t);
  txn_start(tx, t->owner);
  rec_.set_piece(piece_fb(was, 0), piece_next(was, 0));
  rec_.undo_of_delete(tx->xid, t->objn, head, cv.data(), int(cv.size()), s, KS_REDO_OP_ORP);
  rec_.set_piece(piece_fb(pc, 0), piece_next(pc, 0));
  rec_.redo_irp(head, nullptr, 0, nullptr, KS_REDO_OP_ORP);
  if (piece_end(tx, scn, ++k == nrec) != 0) return -1;
  // Then the moved pieces, from the tail.
  for (size_t j = 1; j < pc.size(); j++) {
    const size_t i = pc.size() - j;
    const ks_rowref_t ref = piece_ref(pc[i]);
    ks_suplog_t ps = piece_sup(pc, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
    ps.redo_scid = uint16_t(t->cols[pc[i].first].segcol);
    piece_vals(after, pc[i], &cv);
    scn = piece_begin(t);
    rec_.set_piece(piece_fb(pc, i), piece_next(pc, i));
    rec_.undo_of_insert(tx->xid, t->objn, ref, ps);
    rec_.redo_irp(ref, cv.data(), int(cv.size()));
    space_upkeep(t, ref);
    if (piece_end(tx, scn, ++k == nrec) != 0) return -1;
  }
  // Then the pieces the row had beside its head go.
  for (size_t i = 1; i < was.size(); i++) {
    const ks_rowref_t ref = piece_ref(was[i]);
    ks_suplog_t ps = piece_sup(pc, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
    ps.undo_scid = uint16_t(t->cols[was[i].first].segcol);
    piece_vals(r.v, was[i], &cv);
    scn = piece_begin(t);
    rec_.set_piece(piece_fb(was, i), piece_next(was, i));
    rec_.undo_of_delete(tx->xid, t->objn, ref, cv.data(), int(cv.size()), ps);
    rec_.redo_drp(ref);
    if (piece_end(tx, scn, ++k == nrec) != 0) return -1;
  }
  r.pieces = std::move(pc);
  return 0;
}

int ks_sim_db::unmigrate_row(ks_txn_t *tx, ks_table_t *t, ks_row_t &r, const std::vector<ks_piece_t> &before,
                             uint8_t rb_code) {
  const std::vector<ks_piece_t> &pc = r.pieces;
  std::vector<ks_piece_t> was = before;
  if (was.empty()) was.push_back({r.dba, r.slot, 0, uint16_t(stored_count(r.v))});
  const size_t nrec = pc.size() + was.size() - 1;
  size_t k = 0;
  std::vector<ks_colval_t> cv;
  // In the reverse order of the move: the pieces the row had beside its head come back, the
  // moved pieces go, then the head gets its image back.
  for (size_t j = 1; j + 1 < was.size() + pc.size(); j++) {
    const bool back = j < was.size();
    const size_t i = back ? was.size() - j : j - was.size() + 1;
    ks_suplog_t s = piece_sup(pc, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
    uint64_t scn = piece_begin(t);
    if (back) {
      s.redo_scid = uint16_t(t->cols[was[i].first].segcol);
      piece_vals(r.v, was[i], &cv);
      rec_.set_piece(piece_fb(was, i), piece_next(was, i));
      rec_.redo_irp(piece_ref(was[i]), cv.data(), int(cv.size()), &s);
    } else {
      rec_.redo_drp(piece_ref(pc[i]), &s);
    }
    rec_.rollback_undo(rb_code, tx->xid, t->objn);
    if (piece_end(tx, scn, ++k == nrec) != 0) return -1;
  }
  ks_suplog_t s = piece_sup(pc, k, nrec, kSupOpUpdate, KS_REDO_SUP_UPDATE);
  s.redo_scid = 1;
  piece_vals(r.v, was[0], &cv);
  uint64_t scn = piece_begin(t);
  rec_.set_piece(piece_fb(was, 0), piece_next(was, 0));
  rec_.redo_irp(piece_ref(was[0]), cv.data(), int(cv.size()), &s, KS_REDO_OP_ORP);
  rec_.rollback_undo(rb_code, tx->xid, t->objn);
  if (piece_end(tx, scn, ++k == nrec) != 0) return -1;
  r.pieces = before;
  return 0;
}

}  // namespace ks::sim
