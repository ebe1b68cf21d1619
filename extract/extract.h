// The capture process's context record and the process globals that the capture steps
// share. One instance of each working record exists per process; every step receives the
// context ks_extr_t and reaches the others through it. Records owned by steps that are
// not built yet are declared here as incomplete types so the context keeps its full shape.
#pragma once

#include <csignal>
#include <cstdint>

typedef struct __ks_reader_s ks_reader_t;
typedef struct __ks_adb_s ks_adb_t;
typedef struct __ks_buffer_s ks_buffer_t;
typedef struct __ks_dict_s ks_dict_t;
typedef struct __ks_logf_s ks_logf_t;
typedef struct __ks_miner_s ks_miner_t;
typedef struct __ks_trans_s ks_trans_t;

typedef struct __ks_extr_s {
  uint32_t flag;     // 0x1: the source is a pluggable database
  uint32_t con_uid;  // container uid of the pluggable database, else 0
  ks_reader_t *r;
  ks_adb_t *a;
  ks_buffer_t *b;
  ks_dict_t *d;
  ks_logf_t *l;
  ks_miner_t *m;
  ks_trans_t *t;
  uint8_t *llb;
  uint8_t *llba;
} ks_extr_t;

// unit_name and com_name live with the runtime's logging (lib/log/log.h).
extern volatile sig_atomic_t x_loop;     // 0 ends the process
extern volatile sig_atomic_t x_cmd_set;  // a command is waiting
extern int x_thrd;                       // redo thread
extern int x_rac;                        // 1: per-thread file names
extern uint64_t x_last_scn;              // transactions committed at or below it are dropped
extern uint64_t x_last_xid;
extern ks_extr_t x_extr;
