// A recording stand-in for the array engine and the target: rows pushed join the open
// transaction, commits make them durable together with the checkpoint, rollbacks drop
// them. Lets the replay tests check what reached the target and where it was committed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct StubDb {
  struct Ckp {
    uint32_t fno;
    uint64_t scn, xid;
  };
  std::vector<std::string> pending, committed;  // "OWNER.TABLE:opc:first value"
  std::vector<int> executions;                  // rows per execution
  std::vector<Ckp> commits;
  Ckp ckp{0, 0, 0};
  int rollbacks = 0;
  int stop_after_pushes = -1;  // clears x_loop after that many pushes
  int pushes = 0;
  int fail_push_at = -1;   // the n-th push fails (engine error)
  int unit_fault_at = -1;  // the n-th push fails the unit with unit_fault
  int unit_fault = 0;
  void reset() { *this = StubDb(); }
};
extern StubDb g_db;
