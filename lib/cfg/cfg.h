// The configuration store: "config.db" under <home>config/ and its snapshot in the
// configuration area of the system segment.
//
// The file is a sequence of 4096-byte blocks, each a 32-byte header and fixed-size items
// of one type; blocks of a type are chained through next_blk, and a new file has exactly
// blocks 0..8, block n heading the chain of type n. Items are addressed by a reference,
// (block << 16) | item. Integers are native little-endian uint32; names are 32-byte,
// NUL-terminated (at most 31 characters). An item with an empty name is free (parameter
// items, which have no name, carry KS_CFG_PARM_USED in rsv instead).
//
// The shared area is written by the manager (load) and by the console (reload); every
// other process only reads it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#define KS_CFG_BLKSZ 4096
#define KS_CFG_BH_SZ 32
#define KS_CFG_GROW (9 * KS_CFG_BLKSZ)  // a new file, and every buffer growth
#define KS_CFG_BLK_USED 0x10000000u
#define KS_CFG_NONE 0xFFFFFFFFu  // no block / no reference
#define KS_CFG_OPEN 0x80000000u  // ks_cfg_t.flag: file open
#define KS_CFG_MODIFIED 0x80u    // ks_cfg_t.flag: unsaved edits
#define KS_CFG_NAME 32
#define KS_CFG_MAX_THREADS 64  // redo threads of one clustered source
#define KS_CFG_PARM_USED 1u    // ks_cfg_fparm_t.rsv of an item in use
// Lookups return references as int: blocks stay below 0x8000 so none is negative.
#define KS_CFG_MAX_BLKS 0x7FFFu
#define KS_CFG_MSGSZ 1024  // room every omsg buffer must have

// Block types (block n of a new file has type n).
#define KS_CFG_T_FH 0
#define KS_CFG_T_DB 1
#define KS_CFG_T_INST 2
#define KS_CFG_T_UNIT 3
#define KS_CFG_T_COM 4
#define KS_CFG_T_PARM 5
#define KS_CFG_T_INC 6
#define KS_CFG_T_EXC 7
#define KS_CFG_T_MAP 8
#define KS_CFG_NTYPES 9

// Flags with a meaning to the delivered programs.
#define KS_CFG_DB_ASM 0x10u           // database storage is ASM
#define KS_CFG_DB_REMOTE 0x20u        // redo read through the reader agent
#define KS_CFG_PARM_TXFLAG8 0x1u      // apply also replays transactions flagged 0x8
#define KS_CFG_PARM_SEQ 0x2u          // sequence changes captured and synchronised
#define KS_CFG_PARM_NO_CHECKSUM 0x4u  // extract does not verify redo block checksums
// extract: roll-over size of a trail file in MiB, in the parameter flag's bits 16-27 (the
// item has no free field; older writers leave the bits 0), 0 meaning the default 256 MiB.
#define KS_CFG_PARM_TRAIL_SHIFT 16
#define KS_CFG_PARM_TRAIL_MASK 0x0FFF0000u
#define KS_CFG_PARM_TRAIL_MAX 2047u  // MiB: a trail file's offsets are 31-bit
#define KS_CFG_SET_ALL 0x1u          // include/exclude/mapping item names table "*"
#define KS_CFG_COM_EXTRACT 1
#define KS_CFG_COM_APPLY 2
// A component's automatic restarts after it ended without a clean stop (the manager's):
// 0 in the file means the default limit, KS_CFG_RESTART_OFF none, any other value the
// limit of consecutive failed runs.
#define KS_CFG_RESTART_OFF 0xFFFFFFFFu
#define KS_CFG_RESTART_DEFAULT 10u
// The limit a component's restart value stands for (0 when restarts are off).
inline uint32_t ks_cfg_restart_limit(uint32_t v) {
  return v == 0 ? KS_CFG_RESTART_DEFAULT : v == KS_CFG_RESTART_OFF ? 0u : v;
}

#define KS_CFG_REF(blk, item) ((uint32_t(blk) << 16) | uint32_t(item))
#define KS_CFG_REF_BLK(ref) ((uint32_t(ref) >> 16) & 0xFFFFu)
#define KS_CFG_REF_ITEM(ref) (uint32_t(ref) & 0xFFFFu)

typedef struct __ks_cfg_fbh_s {
  uint32_t blk_flg;  // KS_CFG_BLK_USED, 0 = free block
  uint32_t blk_typ;
  uint32_t blk_num;    // own index
  uint32_t next_blk;   // next block of the type, KS_CFG_NONE at the end
  uint32_t max_entry;  // (4096 - 32) / item size
  uint32_t hwm_item;   // items ever used
  uint32_t frcnt;      // free items
  uint32_t spare;
} ks_cfg_fbh_t;
static_assert(sizeof(ks_cfg_fbh_t) == 32);
static_assert(offsetof(ks_cfg_fbh_t, next_blk) == 12);
static_assert(offsetof(ks_cfg_fbh_t, max_entry) == 16);
static_assert(offsetof(ks_cfg_fbh_t, hwm_item) == 20);
static_assert(offsetof(ks_cfg_fbh_t, frcnt) == 24);

typedef struct __ks_cfg_fh_s {
  uint32_t ipckey;  // 0 = ftok(<home>, 1000)
  uint32_t rsv;
  uint64_t shm_sz;  // total shared size in bytes
  uint32_t max_dbs, max_insts, max_units, max_comps, max_params, max_procs;
} ks_cfg_fh_t;
static_assert(sizeof(ks_cfg_fh_t) == 40);
static_assert(offsetof(ks_cfg_fh_t, shm_sz) == 8);
static_assert(offsetof(ks_cfg_fh_t, max_dbs) == 16);
static_assert(offsetof(ks_cfg_fh_t, max_procs) == 36);

typedef struct __ks_cfg_fdb_s {
  uint32_t flag;  // KS_CFG_DB_ASM, KS_CFG_DB_REMOTE
  uint32_t type;
  uint32_t ref_num;  // first instance
  uint32_t rsv;
  char name[32], cdb[32], pdb[32], dbuser[32], passwd[32];
} ks_cfg_fdb_t;
static_assert(sizeof(ks_cfg_fdb_t) == 176);
static_assert(offsetof(ks_cfg_fdb_t, name) == 16);
static_assert(offsetof(ks_cfg_fdb_t, passwd) == 144);

typedef struct __ks_cfg_finst_s {
  uint32_t next_num;  // next instance of the database
  uint32_t db_num;    // reference of the database
  uint32_t flag;
  uint32_t thrd;   // redo thread
  uint32_t vport;  // listener port
  uint32_t aport;  // reader agent port
  char inst_name[32], svc_name[32], vip[32], tns[32];
} ks_cfg_finst_t;
static_assert(sizeof(ks_cfg_finst_t) == 152);
static_assert(offsetof(ks_cfg_finst_t, inst_name) == 24);
static_assert(offsetof(ks_cfg_finst_t, tns) == 120);

typedef struct __ks_cfg_funit_s {
  uint32_t flag;
  uint32_t ref_num;  // first component
  char un_name[32];
} ks_cfg_funit_t;
static_assert(sizeof(ks_cfg_funit_t) == 40);
static_assert(offsetof(ks_cfg_funit_t, un_name) == 8);

typedef struct __ks_cfg_fcom_s {
  uint32_t flag;
  uint32_t next_num;                 // next component of the unit
  uint32_t com_typ;                  // KS_CFG_COM_EXTRACT / KS_CFG_COM_APPLY
  uint32_t para_num;                 // parameter item
  uint32_t in_num, ex_num, map_num;  // first include, exclude, mapping item
  uint32_t restart;                  // automatic restarts: 0 default, KS_CFG_RESTART_OFF, else the limit
  char name[32], pname[32], src_db[32], tgt_db[32], prev[32], next[32];
} ks_cfg_fcom_t;
static_assert(sizeof(ks_cfg_fcom_t) == 224);
static_assert(offsetof(ks_cfg_fcom_t, para_num) == 12);
static_assert(offsetof(ks_cfg_fcom_t, map_num) == 24);
static_assert(offsetof(ks_cfg_fcom_t, restart) == 28);
static_assert(offsetof(ks_cfg_fcom_t, name) == 32);
static_assert(offsetof(ks_cfg_fcom_t, next) == 192);

typedef struct __ks_cfg_fparm_s {
  uint32_t flag;  // KS_CFG_PARM_TXFLAG8, KS_CFG_PARM_SEQ, KS_CFG_PARM_NO_CHECKSUM
  uint32_t max_trans;
  uint32_t trans_sz;
  uint32_t idle_wait;
  uint32_t net_timeout;
  uint32_t rsv;  // KS_CFG_PARM_USED in the file
} ks_cfg_fparm_t;
static_assert(sizeof(ks_cfg_fparm_t) == 24);
static_assert(offsetof(ks_cfg_fparm_t, net_timeout) == 16);

typedef struct __ks_cfg_finclude_s {
  uint32_t flag;  // KS_CFG_SET_ALL
  uint32_t next_num;
  char schema[32], table[32];
} ks_cfg_finc_t;
static_assert(sizeof(ks_cfg_finc_t) == 72);
static_assert(offsetof(ks_cfg_finc_t, schema) == 8);
static_assert(offsetof(ks_cfg_finc_t, table) == 40);

typedef struct __ks_cfg_fexclude_s {
  uint32_t flag;
  uint32_t next_num;
  char schema[32], table[32];
} ks_cfg_fexc_t;
static_assert(sizeof(ks_cfg_fexc_t) == 72);
static_assert(offsetof(ks_cfg_fexc_t, table) == 40);

typedef struct __ks_cfg_fmap_s {
  uint32_t flag;
  uint32_t next_num;
  char schema[32], map_schema[32], table[32], map_table[32];
} ks_cfg_fmap_t;
static_assert(sizeof(ks_cfg_fmap_t) == 136);
static_assert(offsetof(ks_cfg_fmap_t, map_schema) == 40);
static_assert(offsetof(ks_cfg_fmap_t, table) == 72);
static_assert(offsetof(ks_cfg_fmap_t, map_table) == 104);

// The editing buffer (console, and processes reading their sets).
typedef struct __ks_cfg_s {
  uint32_t flag;  // KS_CFG_OPEN, KS_CFG_MODIFIED
  int fd;
  size_t buf_sz;
  uint32_t max_blks;  // blocks the buffer holds
  uint32_t hwm_blk;   // blocks in use (file length / 4096)
  uint8_t *buf;       // the whole file image
  uint64_t base_sum;  // checksum of the file as this buffer last read or wrote it
} ks_cfg_t;

// ---- shared configuration area ----
typedef struct __ks_cfg_bh_s {
  uint32_t max_dbs, max_insts, max_units, max_comps, max_params, max_procs;
  uint32_t n_dbs, n_insts, n_units, n_comps, n_params, n_procs;
  uint32_t db_pos, inst_pos, unit_pos, com_pos, par_pos;  // offsets from the area start
  uint32_t rsv;
} ks_cfg_bh_t;
static_assert(sizeof(ks_cfg_bh_t) == 72);
static_assert(offsetof(ks_cfg_bh_t, n_dbs) == 24);
static_assert(offsetof(ks_cfg_bh_t, db_pos) == 48);
static_assert(offsetof(ks_cfg_bh_t, par_pos) == 64);

typedef struct __ks_cfg_db_s {
  uint32_t flag;
  uint32_t type;
  int32_t ref_num;  // first instance index (its instances are consecutive), -1 none
  uint32_t inst_cnt;
  char name[32], cdb[32], pdb[32], dbuser[32], passwd[32];
} ks_cfg_db_t;
static_assert(sizeof(ks_cfg_db_t) == 176);
static_assert(offsetof(ks_cfg_db_t, name) == 16);

typedef struct __ks_cfg_inst_s {
  uint32_t flag;
  int32_t db_num;  // index of its database
  uint32_t thrd;
  uint32_t vport;
  uint32_t aport;
  uint32_t rsv;
  char inst_name[32], svc_name[32], vip[32], tns[32];
} ks_cfg_inst_t;
static_assert(sizeof(ks_cfg_inst_t) == 152);
static_assert(offsetof(ks_cfg_inst_t, inst_name) == 24);

typedef struct __ks_cfg_unit_s {
  uint32_t flag;
  int32_t ref_num;  // first component index (a unit's components are consecutive)
  uint32_t com_cnt;
  uint32_t rsv;
  char un_name[32];
} ks_cfg_unit_t;
static_assert(sizeof(ks_cfg_unit_t) == 48);
static_assert(offsetof(ks_cfg_unit_t, un_name) == 16);

typedef struct __ks_cfg_com_s {
  uint32_t flag;
  uint32_t com_typ;
  int32_t un_id;     // index of its unit
  int32_t para_id;   // index of its parameters, -1 none
  uint32_t com_uk;   // the component's file reference: survives reloads
  uint32_t hdr_sno;  // loaded dictionary position, 0/0 until one is loaded
  uint32_t hdr_off;
  uint32_t restart;  // as in the file
  char name[32], pname[32], src_db[32], tgt_db[32], prev[32], next[32];
} ks_cfg_com_t;
static_assert(sizeof(ks_cfg_com_t) == 224);
static_assert(offsetof(ks_cfg_com_t, com_uk) == 16);
static_assert(offsetof(ks_cfg_com_t, hdr_sno) == 20);
static_assert(offsetof(ks_cfg_com_t, restart) == 28);
static_assert(offsetof(ks_cfg_com_t, name) == 32);

typedef ks_cfg_fparm_t ks_cfg_param_t;
static_assert(sizeof(ks_cfg_param_t) == 24);

// ---- file side; omsg receives the failure text (KS_CFG_MSGSZ bytes) ----
// Saves are serialised by a lock on <home>config/config.db.lock, each writes its own
// temporary file, and the file is created 0600 (it holds database passwords) or keeps
// the mode the operator gave it.
int ks_cfg_open_file(ks_cfg_t *cfg, char *omsg);
int ks_cfg_close_file(ks_cfg_t *cfg, char *omsg);
// → 0; -1 on a write failure (the buffer and its descriptor stay as they were);
// KS_CFG_STALE when the file changed since this buffer read it: nothing is written.
#define KS_CFG_STALE (-2)
int ks_cfg_save(ks_cfg_t *cfg, char *omsg);
int ks_cfg_reset(ks_cfg_t *cfg);
int ks_cfg_new_block(ks_cfg_t *cfg, char *omsg);  // → block index, -1
int ks_cfg_free_block(ks_cfg_t *cfg, uint32_t blk);
// A new block of type initialised and linked at the end of the type's chain → index, -1.
int ks_cfg_append_block(ks_cfg_t *cfg, uint32_t type, char *omsg);

// Addressing inside the buffer (null for a reference outside it).
ks_cfg_fbh_t *ks_cfg_block(ks_cfg_t *cfg, uint32_t blk);
void *ks_cfg_item(ks_cfg_t *cfg, uint32_t ref);
ks_cfg_fh_t *ks_cfg_file_header(ks_cfg_t *cfg);
// Item size of a block type, 0 for an unknown type.
uint32_t ks_cfg_item_size(uint32_t type);
// Walks a list of items linked through next_num: ref = ks_cfg_next(cfg, ref).
uint32_t ks_cfg_next(ks_cfg_t *cfg, uint32_t ref);

int ks_cfg_add_db(ks_cfg_t *cfg, const ks_cfg_fdb_t *db, char *omsg);
int ks_cfg_delete_db(ks_cfg_t *cfg, const char *dbname, char *omsg);
int ks_cfg_lookup_db(ks_cfg_t *cfg, const char *dbname);  // → reference or -1
int ks_cfg_add_inst(ks_cfg_t *cfg, const char *dbname, const ks_cfg_finst_t *inst, char *omsg);
int ks_cfg_delete_inst(ks_cfg_t *cfg, const char *dbname, const char *in_name, char *omsg);
int ks_cfg_add_unit(ks_cfg_t *cfg, const ks_cfg_funit_t *unit, char *omsg);
int ks_cfg_delete_unit(ks_cfg_t *cfg, const char *un_name, char *omsg);
int ks_cfg_lookup_unit(ks_cfg_t *cfg, const char *un_name);
int ks_cfg_add_com(ks_cfg_t *cfg, const char *un_name, const ks_cfg_fcom_t *com, char *omsg);
int ks_cfg_delete_com(ks_cfg_t *cfg, const char *un_name, const char *com_name, char *omsg);
int ks_cfg_lookup_com(ks_cfg_t *cfg, const char *un_name, const char *com_name);
// Sets the component's parameters: the existing item is overwritten, else one is added.
int ks_cfg_add_param(ks_cfg_t *cfg, const char *un_name, const char *com_name, const ks_cfg_fparm_t *par, char *omsg);
int ks_cfg_add_include(ks_cfg_t *cfg, const char *un_name, const char *com_name, const ks_cfg_finc_t *item, char *omsg);
int ks_cfg_delete_include(ks_cfg_t *cfg, const char *un_name, const char *com_name, const ks_cfg_finc_t *item,
                          char *omsg);
int ks_cfg_add_exclude(ks_cfg_t *cfg, const char *un_name, const char *com_name, const ks_cfg_fexc_t *item, char *omsg);
int ks_cfg_delete_exclude(ks_cfg_t *cfg, const char *un_name, const char *com_name, const ks_cfg_fexc_t *item,
                          char *omsg);
int ks_cfg_add_map(ks_cfg_t *cfg, const char *un_name, const char *com_name, const ks_cfg_fmap_t *item, char *omsg);
int ks_cfg_delete_map(ks_cfg_t *cfg, const char *un_name, const char *com_name, const ks_cfg_fmap_t *item, char *omsg);

// IPC key and total shared size from the file header (ftok(<home>, 1000) and 256 MiB
// when the file is absent or unreadable).
int ks_cfg_get_key(key_t *key, uint64_t *shmsz);

// ---- shared side ----
int ks_cfg_load();
int ks_cfg_reload();
int ks_cfg_get_max_process();
int ks_cfg_get_parameter(const char *un_name, const char *com_name, ks_cfg_param_t **param);

// Views of the loaded area (null when not loaded); lookups return an index or -1.
ks_cfg_bh_t *ks_cfg_area();
ks_cfg_db_t *ks_cfg_dbs(ks_cfg_bh_t *bh);
ks_cfg_inst_t *ks_cfg_insts(ks_cfg_bh_t *bh);
ks_cfg_unit_t *ks_cfg_units(ks_cfg_bh_t *bh);
ks_cfg_com_t *ks_cfg_coms(ks_cfg_bh_t *bh);
ks_cfg_param_t *ks_cfg_params(ks_cfg_bh_t *bh);
int ks_cfg_find_unit(ks_cfg_bh_t *bh, const char *un_name);
int ks_cfg_find_com(ks_cfg_bh_t *bh, const char *un_name, const char *com_name);
int ks_cfg_find_db(ks_cfg_bh_t *bh, const char *dbname);
// The redo threads of a clustered source database, ascending and without repeats, into
// thr[0..max): their count, 0 for a single-instance database (read unthreaded), -1 when
// the database is not configured or has more than max threads. The first of them is the
// thread whose extract exports the group's dictionary.
int ks_cfg_db_threads(ks_cfg_bh_t *bh, const char *dbname, int *thr, int max);
