// The delivery process's context, its process globals and the operations its parts
// call on one another. One process, one thread: the globals are the single instances
// the replay steps share; signal handlers only set or clear x_loop and x_cmd_set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "apply/lcr_view.h"
#include "lib/fmt/error_format.h"

// Columns of one table (the database's limit); an LCR claiming more is malformed.
#define KS_MAX_COLS 1000
#define KS_SQLTXT_SIZE 65536

// The 5 MiB work block and its fixed cuts.
#define KS_AP_RBUF_SIZE 2097152
#define KS_AP_ABUF_SIZE 2097152
#define KS_AP_TBUF_SIZE 1048576
#define KS_AP_WORK_SIZE (KS_AP_RBUF_SIZE + KS_AP_ABUF_SIZE + KS_AP_TBUF_SIZE)

typedef struct __ks_ap_buffer_s {
  int rsz;  // read buffer size
  int asz;  // array buffer size
  int tsz;  // transaction-file buffer size
  int rsv;
  uint8_t *base;  // start of the block (what is freed)
  uint8_t *rbuf;  // read buffer = base
  uint8_t *abuf;  // array buffer = rbuf + rsz, or a larger heap block (ks_ap_grow_abuf)
  uint8_t *tbuf;  // transaction-file buffer = abuf + asz, or a larger heap block
  uint8_t *dbuf;  // records being replayed now: rbuf, or tbuf inside a transaction file
} ks_ap_buffer_t;

// The reader of one trail: a single-instance source has one (thread 0), a clustered
// source one per redo thread, merged by commit SCN. Each holds the bytes it read in its
// own buffer, so switching between trails reads nothing twice.
typedef struct __ks_ap_reader_s {
  uint32_t flag;  // bit 0: the file being read has ended (marker met)
  uint32_t tfno;  // number of the open trail file
  int rfd;        // its descriptor, -1 when none
  int thr;        // redo thread of the trail, 0 for a single-instance source
  int64_t ofs;    // file offset of the next read (the first byte not yet consumed)
  uint8_t *buf;   // its read buffer (rsz bytes), nullptr: the work block's
  int64_t bofs;   // file offset of buf[0]
  int64_t blen;   // bytes of buf holding file data
  // Every transaction of this thread committed below wmark has been read: the largest
  // commit SCN or heartbeat mark met so far (0: nothing known yet).
  uint64_t wmark;
  // When lim_on, the replay stops before a transaction whose (commit SCN, thread) is not
  // below (lim_scn, lim_thr): another trail may still hold one that comes first.
  uint32_t lim_on;
  uint32_t lim_thr;
  uint64_t lim_scn;
  // Last transaction replayed (ckp_) and last committed (cmt_) from this trail; for the
  // reader being replayed the live values are x_ckp_* and x_cmt_*.
  uint32_t ckp_fno, cmt_fno;
  uint32_t ckp_sct, cmt_sct;
  uint64_t ckp_scn, ckp_xid;
  uint64_t cmt_scn, cmt_xid;
} ks_ap_reader_t;

// (scn, thr) comes before (lscn, lthr): the order the transactions of several trails are
// replayed in (commit SCN, then thread).
inline bool ks_ap_key_before(uint64_t scn, uint32_t thr, uint64_t lscn, uint32_t lthr) {
  return scn < lscn || (scn == lscn && thr < lthr);
}

// Trails of one clustered source merged at most (one per redo thread).
#define KS_AP_MAX_THREADS 64

// Row header of the array: where the row's LCR, its transaction and (quick inserts)
// its values are.
typedef struct __ks_arh_s {
  uint32_t rpos;  // offset of the row's LCR in dbuf
  uint32_t rsv;
  uint32_t tpos;  // offset of its transaction header in rbuf
  uint32_t dpos;  // offset of the row's values in dbuf (quick inserts), else 0
} ks_arh_t;
static_assert(sizeof(ks_arh_t) == 16);

struct __ks_oci_bnd_s;
struct __ks_ap_db_s;
typedef struct __ks_ap_db_s ks_ap_db_t;

#define KS_AR_EXEC_NOW 0x1    // the row holds a LOB or LONG value: execute it alone
#define KS_AR_LONG_WAIT 0x2   // a LONG value is awaited piece by piece
#define KS_AR_NEW_STMT 0x100  // lay out, prepare and bind with the next row

typedef struct __ks_array_s {
  int flag;
  int max_rows;               // rows the arrays hold for the current statement
  int nrow;                   // rows collected, not executed
  int ncol;                   // bind placeholders of the current statement
  int opc;                    // LCR opcode of the current statement
  int slen;                   // length of the current statement text, 0 = none
  struct __ks_oci_bnd_s *bc;  // bind descriptors, at the start of the array buffer
  ks_arh_t *ah;               // one row header per collected row
  char sqltxt[KS_SQLTXT_SIZE];
} ks_array_t;

typedef struct __ks_apply_s {
  ks_ap_buffer_t *b;
  ks_ap_reader_t *r;
  ks_ap_db_t *a;
  ks_array_t *x;
} ks_apply_t;

// Include, exclude and mapping lists.
typedef struct __ks_ap_schema_s {
  uint32_t flag;  // bit 0: the whole schema
  uint32_t rsv;
  char name[32];
} ks_ap_schema_t;
static_assert(sizeof(ks_ap_schema_t) == 40);

// A table key: the table name and the index of its schema in the schema array of the
// same list, kept apart (a joined "name + index" text would make table T1 of schema 1
// and table T of schema 11 the same key).
typedef struct __ks_ap_table_s {
  char name[32];
  uint32_t sch;
  uint32_t rsv;
} ks_ap_table_t;
static_assert(sizeof(ks_ap_table_t) == 40);

typedef struct __ks_ap_mapping_s {
  char schema[32];
  char map_schema[32];
  char table[32];  // beginning with "*": the whole schema
  char map_table[32];
} ks_ap_mapping_t;
static_assert(sizeof(ks_ap_mapping_t) == 128);

typedef struct __ks_ap_cfg_s {
  uint32_t flag;  // bit 0: lists loaded
  uint32_t nesch, nisch;
  uint32_t netab, nitab;
  uint32_t nmap;
  uint8_t *base;  // the one block holding every array below
  ks_ap_schema_t *esch, *isch;
  ks_ap_table_t *etab, *itab;
  ks_ap_mapping_t *map;
} ks_ap_cfg_t;

// One configured include, exclude or mapping item as read from the configuration.
typedef struct __ks_ap_item_s {
  uint32_t flag;  // bit 0: table "*" (whole schema)
  char schema[32];
  char table[32];
  char map_schema[32];
  char map_table[32];
} ks_ap_item_t;

#define KS_AP_MAX_SCHEMAS 32

// Process globals.
extern char prev_name[32];
extern char x_curr_schema[32];
extern volatile int x_loop;
extern volatile int x_cmd_set;
extern int x_reset;
extern uint32_t x_tfno;
extern uint64_t x_start_scn;
extern uint64_t x_start_xid;
extern int x_apply_self;
extern int x_sync_seq;
extern int x_read_wait;
extern int x_net_tmout;
extern int x_csid, x_ncsid, x_lob_csid;
extern uint32_t x_ckp_fno;
extern uint64_t x_ckp_scn;
extern uint64_t x_ckp_xid;
extern uint32_t x_ckp_sct;  // commit time stamp of the transaction x_ckp_scn names (status only)
// The checkpoint of the last commit that succeeded: where the replay starts again when
// the open unit has to be rolled back.
extern uint32_t x_cmt_fno;
extern uint64_t x_cmt_scn;
extern uint64_t x_cmt_xid;
extern uint32_t x_cmt_sct;
extern ks_ap_cfg_t x_cfg;
extern char x_sqltxt[KS_SQLTXT_SIZE];
extern ks_apply_t x_app;
extern ks_ap_buffer_t x_buf;
extern ks_ap_reader_t x_rdr[KS_AP_MAX_THREADS];  // x_nrdr of them in use, by thread
extern int x_nrdr;
extern ks_array_t x_array;

// Failure of the open unit (everything replayed since the last commit). Once set nothing
// more is committed: the unit is rolled back and either replayed again from the last
// checkpoint after a wait (the target refused for lack of space), or after connecting
// again (the session was lost), or the process stops with its checkpoint before the
// unit. Rows the target judged one by one (constraint violations, unmatched rows) are
// not unit failures: they go to the error file. A higher kind outranks a lower one.
#define KS_UF_RETRY 1  // lack of space or a stuck archiver on the target: wait and retry
#define KS_UF_LOST 2   // the session is lost (target down, session killed): reconnect
#define KS_UF_STOP 3   // unwritable error record, unreadable input: stop
extern int x_unit_fault;
extern char x_unit_why[512];
// What a database error means for the unit: KS_UF_RETRY, KS_UF_LOST, KS_UF_STOP, or 0
// when it is an error of the row itself.
int ks_db_error_kind(int code);
// Marks the open unit failed: a stop outranks a retry (and replaces its reason).
void ks_unit_fail(int kind, const char *why);
// Marks the unit failed by a database error that is not a row's own (the code decides
// between retry and stop; an unknown one stops), logs it unless it is lack of space, -1.
int ks_unit_db_fail(const char *what, int code, const char *msg);

// Cuts the work block into its buffers (releasing any grown ones).
void ks_ap_cut_buffer(ks_ap_buffer_t *b, uint8_t *base);
// A record or a row larger than its buffer of the work block: the transaction-file
// buffer (dbuf following it when it points there) or the array buffer is replaced by a
// heap block of at least need bytes, kept for later records. What the old buffer held
// is not carried over, so the caller grows it only when nothing in it is still in use.
// 0, or -1 (logged) when the memory cannot be had.
int ks_ap_grow_tbuf(ks_ap_buffer_t *b, size_t need);
int ks_ap_grow_abuf(ks_ap_buffer_t *b, size_t need);

// The column entries of one LCR, split into its images (quick inserts: the column
// descriptors in oldc). Filled by ks_lcr_parse; one instance serves the whole process.
typedef struct __ks_lcr_cols_s {
  uint32_t rlen, opc, nnew, nold, opos;
  ks_col_view newc[KS_MAX_COLS];
  ks_col_view oldc[KS_MAX_COLS];
} ks_lcr_cols_t;
extern ks_lcr_cols_t x_cols;
// Reads the header and column entries of a row LCR (opcodes 1, 2, 3, 4, 15); -1 when the
// record is malformed or has more columns than a table can.
int ks_lcr_parse(const uint8_t *rhdr, ks_lcr_cols_t *lc);

// Statement texts (gen_sql). row_len sums the slot bytes of one row in 64 bits: declared
// lengths come from the trail and are not trusted to keep an int sum from wrapping.
int ks_make_sqltext(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len);
int ks_make_insert_sql(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len);
int ks_make_update_sql(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len);
int ks_make_delete_sql(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len);
int ks_make_qmi_sql(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len);
int ks_make_lob_select_sql(const uint8_t *rhdr, char *sqltxt, int *ncol);

// Object lists (lookup_table).
int ks_ap_cfg_build(ks_ap_cfg_t *acfg, const ks_ap_item_t *exc, int nexc, const ks_ap_item_t *inc, int ninc,
                    const ks_ap_item_t *map, int nmap, void *(*alloc)(size_t));
void ks_ap_cfg_release(ks_ap_cfg_t *acfg, void (*release)(void *));
int ks_lookup_table(const ks_ap_cfg_t *acfg, const char *owner, const char *oname, char *m_owner, char *m_name);
int ks_lookup_owner(const ks_ap_cfg_t *acfg, const char *owner, char *m_owner);
int ks_ap_table_comp(const void *a, const void *b);
// Reads this component's lists from the configuration file into one shared-memory block.
int ks_load_config(ks_ap_cfg_t *acfg);
void ks_ap_cfg_free(ks_ap_cfg_t *acfg);

// Error file (error_record); the record's layout is in lib/fmt/error_format.h.
int ks_write_error_record(ks_err_rec_t *erec, const char *emsg, const uint8_t *record, const uint8_t *rdata);
// Error record for a row whose transaction header is at thdr. The records of the open
// unit are held until ks_error_flush writes them, right before the unit commits (after
// its checkpoint update, in ks_commit_work), so a
// unit rolled back and replayed again does not record its rows twice. A record that
// cannot be kept marks the unit KS_UF_STOP.
int ks_error_for_row(const uint8_t *thdr, int ecode, const char *emsg, const uint8_t *record, const uint8_t *rdata);
int ks_error_flush();
void ks_error_discard();
// Records taken by ks_error_for_row since the process started.
extern uint32_t x_err_count;

// Trail consumption (trail_read, apply_buffer).
int ks_open_trail_file(ks_apply_t *ap, uint32_t fno, uint64_t scn, uint64_t xid);
bool ks_trail_file_exists(const ks_ap_reader_t *r, uint32_t fno);
int ks_apply_buffer(ks_apply_t *ap, int dsz);
int ks_do_transaction(ks_apply_t *ap, uint8_t *thdr);
int ks_do_transaction_file(ks_apply_t *ap, uint8_t *thdr);
// ks_do_transaction_file's answer when a stop request ended it before its end: what it
// applied has been rolled back and the transaction must be read again at the next start.
#define KS_TRANS_STOPPED (-2)
// ks_apply_buffer's answer when the target refused for lack of space: the unit was rolled
// back; after a wait ks_replay_restart positions at the last commit and replay goes on.
#define KS_REPLAY_RETRY (-3)
// ks_apply_buffer's answer when the target session was lost: the unit was rolled back (by
// the target, with the session); once connected again, the replay positions at the
// checkpoint the target holds and goes on.
#define KS_REPLAY_RECONNECT (-4)
int ks_replay_restart(ks_apply_t *ap);
// The reader to replay next becomes ap->r: the position of the one replayed so far goes
// back to its reader (none when ap->r is null), the new one's into x_ckp_* and x_cmt_*.
void ks_ap_select(ks_apply_t *ap, ks_ap_reader_t *r);
// Positions of every reader: the live x_ckp_*/x_cmt_* of ap->r stored into it.
void ks_ap_park(ks_apply_t *ap);
// Commits the open unit with the positions of every trail when anything moved since the
// last commit: before a wait, so waiting never holds work uncommitted. 0, or the answer
// ks_apply_buffer would give for a failed unit.
int ks_commit_if_moved(ks_apply_t *ap);
// Publishes the replay position (ap->r), the last commit applied and, with KS_PUB_IDLE,
// that the trail has been read to its end, in the process's slot of the status table;
// KS_PUB_STOPPED marks the clean stop (the last call). Nothing without a process-table
// entry.
void ks_apply_publish_status(const ks_apply_t *ap, int how);

// Engines the replay dispatches to.
// Executes the collected rows first when `flush`, then builds the LCR's statement text
// into x_sqltxt: its length, or -1 (logged).
int ks_array_next_text(ks_apply_t *ap, const uint8_t *rhdr, bool flush, int *ncol, int64_t *row_len);
int ks_array_push(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
int ks_array_execute(ks_apply_t *ap);
int ks_rollback_work(ks_apply_t *ap);  // drop collected rows and roll back
int ks_commit_work(ks_apply_t *ap);
int ks_perform_qmi(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
int ks_perform_lob_select(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
int ks_perform_lob_write(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
int ks_perform_lob_trim(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
int ks_perform_lob_erase(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
int ks_perform_long_data(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
// The LOB and LONG context belongs to one transaction: at its start and its end a LOB
// left open is closed, a LOB selection is forgotten (a write of the next transaction
// never reaches this one's LOB) and a row still waiting for LONG pieces is recorded as
// not applied.
void ks_lob_txn_reset(ks_apply_t *ap);
// Called before every record but a LONG piece: a row still waiting for its LONG value
// gets no more pieces, so it is recorded as not applied.
void ks_long_check(ks_apply_t *ap);
int ks_execute_ddl(ks_apply_t *ap, uint8_t *thdr);
int ks_sync_sequence(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
// Decimal text of an Oracle NUMBER in its internal form into sval (at least
// KS_ORA_NUMBER_TEXT_MAX bytes); empty for bytes that are not a NUMBER. Returns sval.
char *ks_ora_number_to_char(const uint8_t *dval, int dlen, char *sval);
int ks_execute_command();
