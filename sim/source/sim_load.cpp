// Direct-path loads of the simulated source: rows go to new blocks above the high-water
// mark and each block is logged whole, as a database logs a load; see sim_db.h.
#include <algorithm>
#include <cstring>

#include "lib/fmt/block_format.h"
#include "lib/log/log.h"
#include "sim/source/ora_value.h"
#include "sim/source/sim_db.h"
#include "sim/source/sim_txn.h"
#include "sim/source/workload.h"

namespace ks::sim {

using namespace ks::redo;

namespace {

constexpr uint32_t kCacheHeader = 20;  // a block image leaves out the block's cache header
constexpr int kMaxSlots = 255;         // row slots a load puts in one block (and columns in a piece)
constexpr int kMinPart = 100;          // a value is split only when this much of it fits

// Where the pieces of a row go: a row is one whole piece, or pieces as a row stored in
// pieces has (ks_piece_t), each in its block.
struct Placed {
  ks_rowref_t head{};
  std::vector<ks_piece_t> pieces;
};

// One block of the load being filled: its shape and the pieces it takes, as (row, piece;
// -1 for a whole row).
struct Block {
  uint32_t dba = 0;
  int itc = 2, ext = 0;
  int left = 0;  // bytes still free for rows and their directory entries
  int nslot = 0;
  bool gap = false;  // slot 1 stays free (a free slot in the directory)
  std::vector<std::pair<uint32_t, int>> pcs;
};

}  // namespace

int ks_sim_db::load(ks_txn_t *tx, ks_table_t *t, std::vector<std::vector<ks_val_t>> rows) {
  if (!tx || tx->done || rows.empty()) return -1;
  if (t->iot) {
    // Its rows live in the key index's leaves, not in heap blocks a load would format.
    KS_ERROR("direct-path load into index-organised table %s.%s is not supported.", t->owner.c_str(), t->name.c_str());
    return -1;
  }
  // A LOB out of line goes to data blocks of its own, which its locator names.
  std::vector<bool> lob_blocks(rows.size(), false);
  for (size_t ri = 0; ri < rows.size(); ri++) {
    std::vector<ks_val_t> &r = rows[ri];
    if (r.size() != t->cols.size()) return -1;
    for (size_t i = 0; i < r.size(); i++) {
      if (!ks_lob_out_of_line(t->cols[i], r[i])) continue;
      if (t->cols[i].securefile) {
        KS_ERROR("direct-path load into %s.%s with a SecureFile LOB out of line.", t->owner.c_str(), t->name.c_str());
        return -1;
      }
      if (lob_load_node(t->cols[i], &r[i]) != 0) return -1;
      lob_blocks[ri] = true;
    }
  }
  const uint32_t bsz = cfg_.db_block - kCacheHeader;
  std::vector<Block> blocks;
  auto new_block = [&]() {
    Block b;
    const size_t k = blocks.size();
    uint32_t &nb = next_file_block_[t->file & 15];
    nb = std::max(nb, t->cur_block) + 1;
    b.dba = t->file << 22 | nb;
    b.itc = 2 + int(k % 2);
    b.ext = k % 3 == 1 ? 8 : 0;
    b.gap = k % 4 == 3;
    b.left = std::min(int(bsz) - ks_redo_record::dp_block_overhead(b.itc, b.ext, 0), kPieceBytes);
    blocks.push_back(b);
  };
  auto take_slot = [&](Block &b) -> uint16_t {
    if (b.gap && b.nslot == 1) {
      b.nslot++;
      b.left -= 2;
    }
    b.left -= 2;
    return uint16_t(b.nslot++);
  };
  new_block();
  const int empty_room = blocks.back().left;
  std::vector<Placed> placed(rows.size());
  for (uint32_t ri = 0; ri < rows.size(); ri++) {
    const std::vector<ks_val_t> &v = rows[ri];
    const int n = ks_stored_count(v);
    int whole = KS_DP_ROW_HEADER;
    for (int i = 0; i < n; i++) {
      const ks_val_t &x = v[size_t(i)];
      whole += row_value_size(x.is_null ? -1 : int(x.b.size()));
    }
    Placed &pl = placed[ri];
    // A row's directory entry takes 2 bytes, 4 in a block keeping a free slot.
    if (n <= kMaxSlots && whole + 4 <= empty_room) {
      if (whole + 4 > blocks.back().left || blocks.back().nslot + 2 > kMaxSlots) new_block();
      Block &b = blocks.back();
      pl.head = {b.dba, take_slot(b)};
      b.left -= whole;
      b.pcs.emplace_back(ri, -1);
      continue;
    }
    // Chained across blocks: each piece fills what its block has left, a value that
    // does not fit split when enough of it does.
    if (blocks.back().left < kSplitRoom || blocks.back().nslot + 2 > kMaxSlots) new_block();
    auto open_piece = [&](uint16_t first, uint16_t skip) {
      Block &b = blocks.back();
      ks_piece_t p;
      p.dba = b.dba;
      p.slot = take_slot(b);
      p.first = first;
      p.skip = skip;
      b.left -= KS_DP_ROW_HEADER + KS_DP_ROWID;
      b.pcs.emplace_back(ri, int(pl.pieces.size()));
      pl.pieces.push_back(p);
    };
    open_piece(0, 0);
    for (int i = 0; i < n; i++) {
      int from = 0;
      const ks_val_t &x = v[size_t(i)];
      for (;;) {
        Block &b = blocks.back();
        ks_piece_t &p = pl.pieces.back();
        const int need = x.is_null ? 1 : row_value_size(int(x.b.size()) - from);
        if (p.ncol < kMaxSlots && need <= b.left) {
          p.ncol++;
          b.left -= need;
          break;
        }
        const int part = b.left - 3;
        if (p.ncol < kMaxSlots && !x.is_null && part >= kMinPart) {
          p.ncol++;
          from += part;
          p.cut = uint16_t(from);
          b.left = 0;
        }
        p.room = uint16_t(kPieceBytes);
        new_block();
        open_piece(uint16_t(i), uint16_t(from));
      }
    }
    pl.pieces.back().room = uint16_t(kPieceBytes);
    pl.head = {pl.pieces[0].dba, pl.pieces[0].slot};
  }

  // The blocks, one record each: the load information and the block's image.
  const bool lobs = std::any_of(t->cols.begin(), t->cols.end(), [](const ks_col_t &c) { return c.is_lob(); });
  std::vector<std::vector<ks_colval_t>> cvs;
  std::vector<ks_dp_piece_t> dp;
  std::vector<uint16_t> slots;
  std::vector<uint32_t> lob_rows;
  for (size_t bi = 0; bi < blocks.size(); bi++) {
    const Block &b = blocks[bi];
    // The LOB blocks of the rows this block completes come before it, or after it for
    // every third block (the capture process joins them in either order).
    const bool lobs_after = bi % 3 == 2;
    lob_rows.clear();
    cvs.assign(b.pcs.size(), {});
    dp.clear();
    slots.clear();
    // Expected as the capture process builds them: a QUICK INSERT of the whole rows so
    // far ends where a chained row's last piece comes, which is an INSERT.
    ks_expect_t quick;
    quick.op = "QUICK INSERT";
    quick.t = t;
    auto insert_expected = [&](uint32_t ri) {
      if (!expect_) return;
      if (!quick.rows.empty()) tx->exp.push_back(quick);
      quick.rows.clear();
      ks_expect_t e;
      e.op = "INSERT";
      e.t = t;
      for (size_t i = 0; i < t->cols.size(); i++) e.newv.emplace_back(int(i), rows[ri][i]);
      tx->exp.push_back(std::move(e));
    };
    // A row completed by this block: its INSERT, or (like a LOB operation's row, which
    // is expected as no change of its own) the LOB blocks it needs.
    auto row_done = [&](uint32_t ri) {
      if (lob_blocks[ri])
        lob_rows.push_back(ri);
      else
        insert_expected(ri);
    };
    for (size_t k = 0; k < b.pcs.size(); k++) {
      const auto [ri, pi] = b.pcs[k];
      const Placed &pl = placed[ri];
      ks_dp_piece_t d{};
      if (pi < 0) {
        const ks_piece_t whole{pl.head.dba, pl.head.slot, 0, uint16_t(ks_stored_count(rows[ri]))};
        ks_piece_vals(rows[ri], whole, &cvs[k]);
        d.fb = KS_REDO_ROW_WHOLE;
        slots.push_back(pl.head.slot);
        if (lobs) {
          row_done(ri);
        } else if (expect_) {
          quick.rows.push_back(rows[ri]);
        }
      } else {
        const ks_piece_t &p = pl.pieces[size_t(pi)];
        ks_piece_vals(rows[ri], p, &cvs[k]);
        d.fb = ks_piece_fb(pl.pieces, size_t(pi));
        if (size_t(pi) + 1 < pl.pieces.size()) {
          d.next_dba = pl.pieces[size_t(pi) + 1].dba;
          d.next_slot = pl.pieces[size_t(pi) + 1].slot;
        }
        slots.push_back(p.slot);
        if (size_t(pi) + 1 == pl.pieces.size()) row_done(ri);
      }
      d.val = cvs[k].data();
      d.n = int(cvs[k].size());
      dp.push_back(d);
    }
    if (!lobs_after)
      for (uint32_t ri : lob_rows)
        if (lob_load_blocks(tx, t, rows[ri]) != 0) return -1;
    rec_begin();
    const uint64_t scn = scn_;
    rec_segment(t);
    txn_start(tx, t->owner);
    rec_.dp_load(t->objn, tx->xid);
    if (!rec_.dp_table_block(b.dba, t->objn, tx->xid, bsz, b.itc, b.ext, dp.data(), slots.data(), int(dp.size()),
                             b.nslot)) {
      KS_ERROR("direct-path load block 0x%08x of %s.%s does not fit its rows.", b.dba, t->owner.c_str(),
               t->name.c_str());
      return -1;
    }
    if (rec_end(scn) != 0) return -1;
    if (!quick.rows.empty()) tx->exp.push_back(std::move(quick));
    if (lobs_after)
      for (uint32_t ri : lob_rows)
        if (lob_load_blocks(tx, t, rows[ri]) != 0) return -1;
  }

  // The high-water mark moves above the loaded blocks: later inserts start a new block.
  t->cur_block = blocks.back().dba & 0x3FFFFF;
  t->next_slot = t->slots_per_block;

  ks_undo_t u{ks_undo_t::kLoad, t, {}, {}, {}};
  inserted_.clear();
  for (uint32_t ri = 0; ri < rows.size(); ri++) {
    ks_row_t row;
    row.dba = placed[ri].head.dba;
    row.slot = placed[ri].head.slot;
    row.pieces = std::move(placed[ri].pieces);
    row.v = std::move(rows[ri]);
    for (size_t i = 0; i < row.v.size(); i++) lob_load_unnode(t->cols[i], &row.v[i]);
    const uint32_t at = store_row(t, std::move(row));
    u.rows.push_back(at);
    inserted_.push_back(at);
  }
  t->dirty = true;
  tx->undo.push_back(std::move(u));
  return 0;
}

int ks_load_rows(ks_sim_db &db, ks_txn_t *tx, ks_table_t *t, uint64_t n, int chained_pct, int lobs_pct) {
  std::mt19937_64 &g = db.rng();
  auto pct = [&](int p) { return int(g() % 100) < p; };
  auto text = [&](size_t len) {
    static const char *syl[] = {"ka", "lo", "mi", "ne", "ra", "to", "vu", "shi", "an", "el", "or", "que"};
    std::string s;
    while (s.size() < len) s += syl[g() % 12];
    s.resize(len);
    return s;
  };
  const uint64_t base = t->rows.size();
  std::vector<std::vector<ks_val_t>> rows(n);
  for (uint64_t r = 0; r < n; r++) {
    std::vector<ks_val_t> &v = rows[r];
    v.resize(t->cols.size());
    const bool chained = pct(chained_pct), lob = pct(lobs_pct);
    for (size_t i = 0; i < t->cols.size(); i++) {
      const ks_col_t &c = t->cols[i];
      const bool key = std::find(t->pk.begin(), t->pk.end(), int(i)) != t->pk.end() || i == 0;
      if (!key && !c.not_null && !c.is_lob() && pct(10)) continue;  // NULL
      int rc = 0;
      switch (c.type) {
        case kTypeNumber: {
          v[i].is_null = false;
          ks_num_from_int(key ? int64_t(base + r + 1) : int64_t(g() % 1000000), &v[i].b);
          break;
        }
        case kTypeVarchar2:
        case kTypeChar: {
          const size_t cap = size_t(std::min(c.csform == 2 ? c.length / 2 : c.length, 4000));
          const size_t len = chained ? cap : std::min<size_t>(cap, 1 + g() % 30);
          rc = db.value_from_text(c, text(len), false, &v[i]);
          break;
        }
        case kTypeDate:
        case kTypeTimestamp:
          rc = db.value_from_text(c, db.clock_text(), false, &v[i]);
          break;
        case kTypeRaw: {
          std::string b(std::min<size_t>(size_t(c.length), 16), '\0');
          for (char &x : b) x = char(g() % 256);
          v[i] = ks_val_t::of(b);
          break;
        }
        case kTypeClob:
        case kTypeBlob:
          // Most kept in the row (two bytes a character too); one in five of a BasicFile
          // column out of line, over one to three LOB blocks.
          if (lob && !c.securefile && pct(20))
            rc = db.lob_value(c, text(4000 + g() % 16000), &v[i]);
          else if (lob)
            rc = db.lob_value(c, text(1 + g() % 1900), &v[i]);
          break;
        default:
          break;
      }
      if (rc != 0) {
        KS_ERROR("load: no value for column %s of %s.%s.", c.name.c_str(), t->owner.c_str(), t->name.c_str());
        return -1;
      }
    }
  }
  return db.load(tx, t, std::move(rows));
}

void ks_sim_db::unload(ks_table_t *t, const ks_rowlist_t &rows) {
  for (size_t k = rows.size(); k-- > 0;) {
    const uint32_t ri = rows[k];
    ks_row_t &r = t->rows[ri];
    t->unlink(ri);
    r.v.clear();
    r.pieces.clear();
    t->spare.push_back(ri);
  }
  t->dirty = true;
}

}  // namespace ks::sim
