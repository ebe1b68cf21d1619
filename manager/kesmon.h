// The manager's process control, shared by its command loop (kesmon.cpp) and the code
// that starts, stops and reaps components (mon_proc.cpp).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "lib/ps/ps.h"

// Milliseconds a component gets to answer a stop request; it then gets as long again to
// exit before SIGTERM, and half as long after SIGTERM before SIGKILL.
extern int x_grace_ms;
// Commands that arrived while the manager was waiting for a component's reply.
extern std::deque<std::vector<uint8_t>> x_pending;

int64_t mon_now_ms();
// Reaps every exited child: clears its entry, frees its shared memory and drops queued
// messages addressed to it.
void mon_reap();
// Takes one message addressed to the manager into buf → its length; 0 when none; -1 when
// the queue cannot be read; -2 when an empty or oversized message was read and dropped.
int mon_take(uint8_t *buf, int bufsz);
// Starts every process of the component (one per redo thread of a clustered source)
// → KS_REPLY_OK / KS_REPLY_FAIL.
int mon_start_component(const ks_ps_cmd_t &cmd, uint32_t type);
// Stops every process of the component → KS_REPLY_OK / KS_REPLY_FAIL.
int mon_stop_component(const ks_ps_cmd_t &cmd, uint32_t type);
// Stops every process in the table; gives up waiting for acknowledged ones after
// patience_ms, then kills what is left.
void mon_stop_all(int patience_ms);
// Components left running by a manager that died (kill -9) are no longer reachable by
// any command: each one that runs a program of this installation is sent SIGTERM, which
// makes it stop as in an orderly stop, and waited for up to patience_ms. → 0 when none
// is left, -1 (logged) otherwise.
int mon_stop_orphans(int patience_ms);
