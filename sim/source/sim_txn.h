// Transactions of the simulated source: their XID, what must be undone on rollback
// (oldest first) and the changes extract is expected to deliver at commit.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "sim/source/sim_db.h"

namespace ks::sim {

constexpr uint32_t kUndoSegs = 10;   // undo segments 1..10 online from the start
constexpr uint32_t kUndoSlots = 48;  // transaction-table slots per segment
// A busy database brings more undo segments online when every slot of those it has is
// taken, so that thousands of transactions can be open at once: up to this many.
constexpr uint32_t kMaxUndoSegs = 250;

// Row indexes of one change in t->rows: one for every change but a multi-row insert, so
// the first is kept inline and only the others take heap memory.
struct ks_rowlist_t {
  uint32_t first = 0;
  uint32_t n = 0;
  std::vector<uint32_t> more;
  ks_rowlist_t() = default;
  ks_rowlist_t(std::initializer_list<uint32_t> l) {
    for (uint32_t r : l) push_back(r);
  }
  size_t size() const { return n; }
  uint32_t operator[](size_t i) const { return i == 0 ? first : more[i - 1]; }
  void push_back(uint32_t r) {
    if (n++ == 0)
      first = r;
    else
      more.push_back(r);
  }
};

struct ks_undo_t {
  enum Kind { kIns, kDel, kUpd, kQmi, kLock, kLoad } kind;
  ks_table_t *t;
  ks_rowlist_t rows;
  std::vector<int> cols;           // updated columns
  std::vector<ks_val_t> old;       // their values before the update
  bool migrated = false;           // the update moved the row out of its block
  bool overwrite = false;          // the update overwrote the whole row (a compressed block's)
  std::vector<ks_piece_t> pieces;  // the row's pieces before an update that moved some
};

struct ks_txn_t {
  uint64_t xid = 0;
  bool started = false;  // the undo-segment header (5.2) has been logged
  bool done = false;
  int inst = 0;  // index of the instance whose session runs it
  std::vector<ks_undo_t> undo;
  std::vector<ks_expect_t> exp;
  // savepoint name, undo entries and expected changes at the savepoint
  std::vector<std::tuple<std::string, size_t, size_t>> sps;
};

}  // namespace ks::sim
