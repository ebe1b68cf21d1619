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
#define KS_CMD_HDR 72        // code, pid, unit, component
#define KS_CMD_BUFSZ 1024    // receive buffer of every command reader
#define KS_CMD_SIGNAL (SIGRTMIN + 1)
// Exit status of a component that stopped because it cannot go on with its present
// configuration (a limit such as max_trans is reached): starting it again unchanged
// would only stop it again, so the manager leaves it down for the operator.
#define KS_EXIT_OPERATOR 78

typedef struct __ks_ps_task_s {
  uint32_t restarts;   // automatic restarts of the component since it was last started by
                       // an operator; non-zero tells the process that the run before it
                       // ended without a clean stop
  uint32_t com_uk;     // the component's configuration-file reference
  int32_t comid;       // index of the component in the loaded configuration, -1 none
  int32_t pid;         // -1 = free entry
  int32_t status;      // 1 once the process has started (ks_ps_start)
  int32_t rsv;         // redo thread of the process (0 when single-threaded)
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

// A decoded command message.
typedef struct __ks_ps_cmd_s {
  int code;
  pid_t pid;           // sender: where the reply goes
  char unit[32];
  char com[32];
  char param[KS_CMD_BUFSZ - KS_CMD_HDR];
} ks_ps_cmd_t;

// Builds a command message into buf (KS_CMD_BUFSZ bytes) → its length, -1 when the
// parameter text does not fit. Code 2 carries code and pid only; codes 3 and 5 carry
// the text; the others stop at the component name.
int ks_ps_make_command(uint8_t *buf, int code, pid_t sender, const char *unit, const char *com,
                       const char *param);
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
