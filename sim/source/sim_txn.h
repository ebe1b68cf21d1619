// Transactions of the simulated source: their XID, what must be undone on rollback
// (oldest first) and the changes extract is expected to deliver at commit.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "sim/source/sim_db.h"

namespace ks::sim {

constexpr uint32_t kUndoSegs = 10;   // undo segments 1..10
constexpr uint32_t kUndoSlots = 48;  // transaction-table slots per segment

struct ks_undo_t {
  enum Kind { kIns, kDel, kUpd, kQmi, kLock } kind;
  ks_table_t *t;
  std::vector<uint32_t> rows;  // row indexes in t->rows
  std::vector<int> cols;       // updated columns
  std::vector<ks_val_t> old;   // their values before the update
};

struct ks_txn_t {
  uint64_t xid = 0;
  bool started = false;  // the undo-segment header (5.2) has been logged
  bool done = false;
  std::vector<ks_undo_t> undo;
  std::vector<ks_expect_t> exp;
  // savepoint name, undo entries and expected changes at the savepoint
  std::vector<std::tuple<std::string, size_t, size_t>> sps;
};

}  // namespace ks::sim
