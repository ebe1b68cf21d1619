// The process table and the command protocol carried by the system queue.
//
// Process table: max_procs entries of ks_ps_task_t in the system area of segment 0,
// 8-byte aligned after the configuration. The manager fills an entry (pid, com_uk,
// comid, restarts) before the child it started looks for it; the child marks status 1
// (ks_ps_start). pid -1 = free entry.
//
// Commands: a message on the system queue addressed to the receiver's pid, followed by
// the command signal SIGRTMIN+1. All integers in messages are big-endian:
//   0-3 code, 4-7 sender pid, 8-39 unit, 40-71 component, 72.. NUL-terminated text.
// A reply is a four-byte big-endian code queued for the sender: 0 done, 99 failed, 1
// (to a stop) nothing to stop.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#define KS_CMD_STOP_PROCESS 1
#define KS_CMD_STOP_MANAGER 2
#define KS_CMD_START_EXTRACT 3
#define KS_CMD_STOP_EXTRACT 4
#define KS_CMD_START_APPLY 5
#define KS_CMD_STOP_APPLY 6
#define KS_REPLY_OK 0
#define KS_REPLY_FAIL 99
#define KS_REPLY_NOT_RUNNING 1  // a stop found the component neither running nor due to restart
#define KS_CMD_HDR 72           // code, pid, unit, component
#define KS_CMD_BUFSZ 1024       // receive buffer of every command reader
#define KS_CMD_SIGNAL (SIGRTMIN + 1)
// Exit status of a component that stopped because it cannot go on with its present
// configuration (a limit such as max_trans is reached): starting it again unchanged
// would only stop it again, so the manager leaves it down for the operator.
#define KS_EXIT_OPERATOR 78

typedef struct __ks_ps_task_s {
  uint32_t restarts;  // automatic restarts of the component since it was last started by
                      // an operator; non-zero tells the process that the run before it
                      // ended without a clean stop
  uint32_t com_uk;    // the component's configuration-file reference
  int32_t comid;      // index of the component in the loaded configuration, -1 none
  int32_t pid;        // -1 = free entry
  int32_t status;     // 1 once the process has started (ks_ps_start)
  int32_t rsv;        // redo thread of the process (0 when single-threaded)
} ks_ps_task_t;
static_assert(sizeof(ks_ps_task_t) == 24);
static_assert(offsetof(ks_ps_task_t, restarts) == 0);
static_assert(offsetof(ks_ps_task_t, com_uk) == 4);
static_assert(offsetof(ks_ps_task_t, comid) == 8);
static_assert(offsetof(ks_ps_task_t, pid) == 12);
static_assert(offsetof(ks_ps_task_t, status) == 16);

int ks_ps_init();
int ks_ps_start();
int ks_ps_set_com_index();
// The entry whose pid is pid, or null.
ks_ps_task_t *ks_ps_find(pid_t pid);
// How many times (one second apart) ks_ps_start looks for its entry; 5 unless a test
// shortens it.
void ks_ps_set_start_tries(int tries);

// The status table: what each component process last published about itself, kept in
// the system area after the process table and found through the named position
// KS_PS_STAT_KEY. Unlike a process-table entry, a slot outlives its process: a component
// that died still shows the position it last reached, and its next run takes the same
// slot (by com_uk and redo thread). A slot whose component left the configuration is
// taken by the next component that finds no slot of its own and no free one.
//
// One writer per slot (the component), any number of readers: the writer makes seq odd
// while it changes the slot and even again after; a reader copies the slot and keeps the
// copy only when seq was even and unchanged around it (ks_ps_stat_read).
#define KS_PS_STAT_KEY "PSSTAT"
#define KS_PS_STAT_RUNNING 1u  // state: the process runs, or ended without a clean stop
#define KS_PS_STAT_STOPPED 2u  // state: the process stopped cleanly
#define KS_PS_STAT_IDLE 0x1u   // flags: caught up with its source, waiting for more
#define KS_PS_STAT_NC 8        // not-captured counters (by reason) a slot holds

typedef struct __ks_ps_stat_s {
  uint32_t seq;       // odd while the owner writes
  uint32_t com_uk;    // the component's configuration-file reference, 0 = free slot
  int32_t thrd;       // redo thread (0 when single-threaded)
  int32_t pid;        // the process that last owned the slot
  uint32_t com_typ;   // KS_CFG_COM_EXTRACT / KS_CFG_COM_APPLY
  uint32_t state;     // KS_PS_STAT_RUNNING / KS_PS_STAT_STOPPED
  uint32_t restarts;  // automatic restarts when the process started
  uint32_t flags;     // KS_PS_STAT_IDLE
  int64_t started;    // when the process took the slot (seconds since 1970)
  int64_t updated;    // last publication
  uint32_t rba_sqn;   // extract: the next redo record to read
  uint32_t rba_blk;
  uint32_t rba_byt;
  uint32_t trail_fno;  // extract: the trail file written; apply: the trail file read
  uint64_t trail_ofs;  // extract: its write offset; apply: the next byte to replay
  uint64_t scn;        // extract: SCN of the last redo record read; apply: 0
  uint64_t cmt_scn;    // commit SCN of the last transaction written (extract) or applied
  uint32_t cmt_sct;    // its commit time as the redo time stamp, 0 none yet
  uint32_t rsv;
  uint64_t nc[KS_PS_STAT_NC];  // extract: records of captured tables not captured, by reason
} ks_ps_stat_t;
static_assert(sizeof(ks_ps_stat_t) == 160);
static_assert(offsetof(ks_ps_stat_t, com_uk) == 4);
static_assert(offsetof(ks_ps_stat_t, thrd) == 8);
static_assert(offsetof(ks_ps_stat_t, pid) == 12);
static_assert(offsetof(ks_ps_stat_t, com_typ) == 16);
static_assert(offsetof(ks_ps_stat_t, state) == 20);
static_assert(offsetof(ks_ps_stat_t, restarts) == 24);
static_assert(offsetof(ks_ps_stat_t, flags) == 28);
static_assert(offsetof(ks_ps_stat_t, started) == 32);
static_assert(offsetof(ks_ps_stat_t, updated) == 40);
static_assert(offsetof(ks_ps_stat_t, rba_sqn) == 48);
static_assert(offsetof(ks_ps_stat_t, trail_fno) == 60);
static_assert(offsetof(ks_ps_stat_t, trail_ofs) == 64);
static_assert(offsetof(ks_ps_stat_t, scn) == 72);
static_assert(offsetof(ks_ps_stat_t, cmt_scn) == 80);
static_assert(offsetof(ks_ps_stat_t, cmt_sct) == 88);
static_assert(offsetof(ks_ps_stat_t, nc) == 96);

// The table's header: slot count, then the slots (8-byte aligned).
typedef struct __ks_ps_stat_hdr_s {
  uint32_t n;
  uint32_t rsv;
} ks_ps_stat_hdr_t;
static_assert(sizeof(ks_ps_stat_hdr_t) == 8);

// What a component's publication says of it: working, caught up with its source and
// waiting for more, or stopped cleanly (the last one it makes).
enum { KS_PUB_BUSY, KS_PUB_IDLE, KS_PUB_STOPPED };

// Lays out the table of n slots at the end of the system area and names its position
// (manager, from ks_ps_init) → 0, -1.
int ks_ps_stat_init(int n);
// The slots and their count, or null (no table in the attached segment).
ks_ps_stat_t *ks_ps_stat_table(int *n);
// The slot of this process's component (com_uk and thread of its process-table entry),
// taken and marked running with pid, start time and restarts; null (logged) when the
// table is missing or full. The position fields keep what the last run published.
ks_ps_stat_t *ks_ps_stat_claim(const ks_ps_task_t *me, uint32_t com_typ);
// The slot of this process, claimed at the first call (once: a full table is logged once
// and the process runs on without one); null without one or without an entry me.
ks_ps_stat_t *ks_ps_stat_mine(const ks_ps_task_t *me, uint32_t com_typ);
// The writer's brackets around a change of its slot (updated is set by the end).
void ks_ps_stat_begin(ks_ps_stat_t *s);
void ks_ps_stat_end(ks_ps_stat_t *s);
// ks_ps_stat_end of a publication: sets the idle flag and the clean stop as how says.
void ks_ps_stat_publish_end(ks_ps_stat_t *s, int how);
// A consistent copy of a slot → true; false when the writer kept changing it.
bool ks_ps_stat_read(const ks_ps_stat_t *s, ks_ps_stat_t *out);

// A decoded command message.
typedef struct __ks_ps_cmd_s {
  int code;
  pid_t pid;  // sender: where the reply goes
  char unit[32];
  char com[32];
  char param[KS_CMD_BUFSZ - KS_CMD_HDR];
} ks_ps_cmd_t;

// Builds a command message into buf (KS_CMD_BUFSZ bytes) → its length, -1 when the
// parameter text does not fit. Code 2 carries code and pid only; codes 3 and 5 carry
// the text; the others stop at the component name.
int ks_ps_make_command(uint8_t *buf, int code, pid_t sender, const char *unit, const char *com, const char *param);
// Decodes a received message of len bytes → 0, -1 when it is shorter than its code needs.
int ks_ps_parse_command(const uint8_t *msg, int len, ks_ps_cmd_t *cmd);
// Queues msg for pid and sends it the command signal → 0, -1.
int ks_ps_send(pid_t pid, const void *msg, int len);
// Queues the four-byte reply code for pid and signals it → 0; -1 when it cannot be
// queued; -2 when it was queued but the signal could not be sent.
int ks_ps_reply(pid_t pid, int code);

// The command executor shared by extract and apply: takes the message addressed to this
// process, stops the main loop on code 1 (clears *loop), logs any other code as
// invalid, and replies 0 to the sender. empty_msg is logged when nothing is addressed
// to this process. → 0, or -1 when nothing could be read or the reply not queued.
int ks_ps_execute_command(volatile sig_atomic_t *loop, const char *empty_msg);
