// The capture process's working records and process globals: the context record that
// every capture step receives, the 8 MiB work area and its fixed cuts, the redo reader,
// the log descriptor, the redo byte address and the source session. There is exactly one instance of each, owned by the
// extract process; the context record only points at them. Types of other areas (dictionary, miner, transaction table,
// database layer) are known here by name only.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "lib/fmt/ckp_format.h"
#include "oci/oci.h"

// ---------------------------------------------------------------------------------------
// Types owned by other areas, used through pointers.
typedef struct __ks_dict_s ks_dict_t;
typedef struct __ks_miner_s ks_miner_t;
typedef struct __ks_trans_s ks_trans_t;
typedef struct __ks_ps_task_s ks_ps_task_t;
typedef struct __ks_cfg_db_s ks_cfg_db_t;
typedef struct __ks_cfg_inst_s ks_cfg_inst_t;

// ---------------------------------------------------------------------------------------
// Redo byte address: the first byte of the next redo record to read. byt 0 means "the
// first record that starts in block blk".
typedef struct __ks_rba_s {
  uint32_t sqn;
  uint32_t blk;
  uint32_t byt;
} ks_rba_t;

// Log descriptor flag bits.
#define KS_LOGF_ASM 0x1
#define KS_LOGF_ARCHIVED 0x2
#define KS_LOGF_ONLINE 0x4
#define KS_LOGF_CURRENT 0x8
#define KS_LOGF_OVERWRITTEN 0x10     // a block carries a later sequence
#define KS_LOGF_END 0x20             // the next block is not yet written for this sequence
#define KS_LOGF_CONT_UNWRITTEN 0x40  // a record's continuation block is not yet written
#define KS_LOGF_BAD_CHECKSUM 0x80    // block bad_blk fails its checksum
#define KS_LOGF_NO_CHECKSUM 0x100    // block checksums are not verified (the operator's choice)
#define KS_LOGF_BIG_ENDIAN 0x10000
// Bits that describe the log found by a locate; the others survive a locate.
#define KS_LOGF_KIND_MASK (KS_LOGF_ASM | KS_LOGF_ARCHIVED | KS_LOGF_ONLINE | KS_LOGF_CURRENT)

typedef struct __ks_logf_s {
  int flag;
  int vsn;      // major version in the top byte, minor in the next
  int cls_usn;  // undo segment header block class base: 11 (v10) or 15 (v11 on)
  int vhsz;     // change-vector header size: 24 below v12, 32 from v12 on
  int blks;     // blocks of the log that hold redo, counting block 0
  int blk_sz;   // redo block size in bytes
  int diff;
  int arch_thrd;  // archival thread of an archived log, 0 for an online log
  int asm_fno;
  int asm_gi;
  uint32_t sqn;      // the sequence the log was located for
  uint32_t bad_blk;  // with KS_LOGF_BAD_CHECKSUM: the block that failed
  char name[1024];
} ks_logf_t;

// Byte layouts of the redo files are in lib/fmt/redo_format.h, the checkpoint record's
// in lib/fmt/ckp_format.h.

// ---------------------------------------------------------------------------------------
// ASM storage of the reader: the disk groups and disks of the source, opened once per
// reader, and the extent map of the open log (in xt_buf).
#define KS_ASM_EXTERN 0x1
#define KS_ASM_NORMAL 0x2
#define KS_ASM_HIGH 0x4
#define KS_ASM_BIG 0x40000000  // the group's metadata is big-endian

typedef struct __ks_asm_grp_s {
  int flag;
  int dg_num;   // ASM group number
  int blk_sz;   // metadata block size
  int au_sz;    // allocation unit size in bytes
  int f1dsk;    // index in dsk[] of the disk holding the first AU of file 1 (the directory)
  int f1au;     // that allocation unit
  int dsk_ofs;  // index in dsk[] of the group's first disk
  int ndsk;     // the group's disks, consecutive in dsk[]
  char name[32];
} ks_asm_grp_t;

typedef struct __ks_asm_dsk_s {
  int dskno;  // disk number within its group
  int dskfd;  // local descriptor or the agent's; -1 when closed
} ks_asm_dsk_t;

// Extent map in xt_buf: the header, then one pointer per data extent (mirror copies are
// not kept: of every xrs pointers on disk, the first).
typedef struct __ks_asm_xdb_s {
  uint32_t xcnt;  // data extents of the file once loaded
  uint32_t xrs;   // copies per extent (1, 2 or 3)
  uint32_t strpwdth;
  uint32_t strpsz;
} ks_asm_xdb_t;

typedef struct __ks_asm_xptr_s {
  uint32_t aun;
  uint16_t dsk;
  uint8_t flg;
  uint8_t chk;
} ks_asm_xptr_t;
static_assert(sizeof(ks_asm_xdb_t) == 16 && sizeof(ks_asm_xptr_t) == 8, "extent map layout");
#define KS_ASM_MAX_XTNT ((KS_BUF_XT_SZ - sizeof(ks_asm_xdb_t)) / sizeof(ks_asm_xptr_t))

// Reader flag bits.
#define KS_RDR_ASM 0x1
#define KS_RDR_REMOTE 0x2
#define KS_RDR_LOST 0x1000

typedef struct __ks_reader_s {
  int flag;
  int asd;  // agent socket, -1 when none
  int lfd;  // open log: local descriptor or the agent's; -1 when none
  int ndg;
  ks_asm_grp_t dg[8];
  ks_asm_dsk_t dsk[64];
} ks_reader_t;

// ---------------------------------------------------------------------------------------
// The 8 MiB work area, cut into fixed consecutive areas.
#define KS_BUF_TOTAL 0x800000
#define KS_BUF_RD_SZ 0x200000
#define KS_BUF_CH_SZ 0x400000
#define KS_BUF_LCR_SZ 0x100000
#define KS_BUF_REC_SZ 0x20000
#define KS_BUF_XT_SZ 0x8000
#define KS_BUF_LLB_SZ 0x8000
#define KS_BUF_TMP_SZ (KS_BUF_LCR_SZ - KS_BUF_REC_SZ - KS_BUF_XT_SZ - KS_BUF_LLB_SZ)
static_assert(KS_BUF_TMP_SZ == 851968, "scratch area size");
static_assert(KS_BUF_RD_SZ + KS_BUF_CH_SZ + KS_BUF_LCR_SZ + KS_BUF_REC_SZ + KS_BUF_XT_SZ + KS_BUF_LLB_SZ +
                      KS_BUF_TMP_SZ ==
                  KS_BUF_TOTAL,
              "the areas fill the work area exactly");

typedef struct __ks_buffer_s {
  uint8_t *base;
  uint8_t *rd_buf;
  int rd_sz;
  uint8_t *ch_buf;
  int ch_sz;
  uint8_t *lcr_buf;
  uint8_t *record;
  int rec_sz;
  uint8_t *xt_buf;
  int xt_sz;
  uint8_t *llb_buf;
  int llb_sz;
  uint8_t *tmp_buf;
  int tmp_sz;
} ks_buffer_t;

// Cut a KS_BUF_TOTAL-byte area into the buffers.
void ks_cut_buffer(ks_buffer_t *b, uint8_t *base);

// ---------------------------------------------------------------------------------------
// Source database session: the layer's connection record embedded, `se` pointing at it,
// and the statements kept prepared for the whole session (log lookups, current SCN).
typedef struct __ks_adb_s {
  ks_oci_ses_t *se;
  ks_oci_ses_t sess;
  ks_oci_stmt_t st_alog;
  ks_oci_stmt_t st_olog;
  ks_oci_stmt_t st_scn;
} ks_adb_t;

// ---------------------------------------------------------------------------------------
// Results of the record handlers, ks_append_lcr and ks_parse_record besides 0 / -1.
// -9: the record is not captured on purpose (system activity, objects outside the capture
//     set): passed over quietly.
// KS_RC_HOLD: a resource is short for now (the trail or a spill file cannot be written,
//     a buffer is full). The record has left no trace; the read position stays at its
//     first byte and the capture loop tries it again after its idle wait.
// KS_RC_STOP: the record can never be taken with the present configuration (a limit
//     is reached). The process stops with its checkpoint before the record.
// -10: the end SCN is reached.
// -1 from ks_parse_record: a change of a captured table in the record could not be
//     turned into changes (a form this build does not decode, or a handler refused it).
//     It has been logged with its position and counted, the record's other changes (its
//     commit above all) were taken, and the walk goes on past it.
#define KS_RC_NOT_CAPTURED (-9)
#define KS_RC_END_SCN (-10)
#define KS_RC_HOLD (-11)
#define KS_RC_STOP (-12)

// ---------------------------------------------------------------------------------------
// The context record passed to every capture step.
#define KS_EXTR_PDB 0x1

typedef struct __ks_extr_s {
  uint32_t flag;
  uint32_t con_uid;
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

// ---------------------------------------------------------------------------------------
// Process globals (unit_name and com_name are the runtime's, see lib/log/log.h).
extern ks_extr_t x_extr;
extern ks_reader_t x_rdr;
extern ks_adb_t x_ado;
extern ks_buffer_t x_buf;
extern ks_logf_t x_log;
extern volatile sig_atomic_t x_loop;
extern volatile sig_atomic_t x_cmd_set;
extern int x_need_dict;
extern int x_thrd;
extern int x_rac;
extern int x_sync_seq;
extern int x_read_wait;
extern int x_net_tmout;
extern uint64_t x_start_scn;
extern uint64_t x_end_scn;
extern uint64_t x_last_scn;
extern uint64_t x_last_xid;
extern ks_ps_task_t *x_pst;
extern ks_ckp_t x_ckp;
extern uint8_t x_lob_data[4096];

// ---------------------------------------------------------------------------------------
// Command line (both passes) and signals.
int parse_unit_name(int argc, char **argv);
int parse_arguments(int argc, char **argv);
void ks_sig_terminate(int sig);
void ks_sig_null(int sig);
void ks_sig_command(int sig);
// Install the process's handlers: terminate, continue, ignore the rest of 1..31, and the
// command signal. 0 / -1.
int ks_set_signal_handlers();

// <home>data/<unit>/<com>.<ext>, or <com>_<thread>.<ext> for a clustered source: the
// files of this component that a thread of a cluster must not share. 0, or -1 when the
// path does not fit in n.
int ks_component_file_path(char *path, size_t n, const char *ext);
// Checkpoint file.
int ks_check_point_path(char *path, size_t n);
// Reads the record and marks it open. One left open by a run that did not exit (a
// crash) is refused, unless accept_open: the process was started again by the manager
// after that run ended, and resumes from the progress it saved (KS_CKP_SAVED in
// ckp->flag tells whether it saved any). 0 / -1.
int ks_read_check_point(ks_ckp_t *ckp, bool accept_open = false);
int ks_write_check_point(ks_ckp_t *ckp);
// Writes ckp while the process runs: the record keeps its open mark, so a crash still
// asks for the operator's reset, and the reset then finds this position. 0 / -1.
int ks_save_check_point(ks_ckp_t *ckp);
// Publishes the process's status (position pos, trail, last commit, not-captured counts)
// in its slot of the status table; how is KS_PUB_BUSY, KS_PUB_IDLE (all redo written so
// far has been read) or KS_PUB_STOPPED (a clean stop, the last call). Nothing without a
// process-table entry.
void ks_publish_status(const ks_rba_t *pos, int how);

// Source database session and attributes.
#define KS_DBA_ARCHIVELOG 0x1
#define KS_DBA_SUPLOG_MIN 0x2
#define KS_DBA_SUPLOG_PK 0x4
#define KS_DBA_FORCE_LOGGING 0x100
// The component's source database entry and the instance read (on a clustered source,
// the one of thread x_thrd), from the shared configuration; logs and -1 when absent.
int ks_get_source_db(ks_cfg_db_t **db, ks_cfg_inst_t **inst);
int ks_connect_db(ks_extr_t *ex);
int ks_disconnect_db(ks_adb_t *a);
int ks_get_thread(ks_extr_t *ex);
int ks_get_db_attribute(ks_extr_t *ex);
int ks_get_con_uid(ks_extr_t *ex);
int ks_get_charset(ks_extr_t *ex, ks_ckp_t *ckp);
int ks_get_current_scn(ks_extr_t *ex, uint64_t *scn);

// Process set-up and commands.
int ks_init_extract();
int ks_execute_command();

// Redo location and reading.
int ks_get_redo_sequence(ks_extr_t *ex, uint64_t scn, uint32_t *seq);
int ks_get_redo_file(ks_extr_t *ex, uint32_t seq);
void ks_init_reader(ks_extr_t *ex);
int ks_open_reader(ks_extr_t *ex);
int ks_close_reader(ks_extr_t *ex);
int ks_open_redo_file(ks_extr_t *ex);
int ks_read_redo_file(ks_extr_t *ex, int blkn, int nblks);

// The reader agent (remote files). Every transport failure (send, timeout, peer close,
// receive error, a reply larger than the buffer) sets KS_RDR_LOST and returns -1; error
// replies leave the connection usable.
// Sends the request in cbuf (its first 4 bytes hold clen, the body length) and receives
// the reply body into cbuf, at most rsz bytes; *rcode: -1 for an error reply (body: errno
// and text), else the body length.
int ks_perform_agent_command(ks_extr_t *ex, int clen, uint8_t *cbuf, int rsz, int *rcode);
int ks_open_file_remote(ks_extr_t *ex, uint8_t *cmd_buf, int cmd_sz, const char *filename);  // → agent's fd / -1
int ks_close_file_remote(ks_extr_t *ex, int fd, uint8_t *cmd_buf, int cmd_sz);
// Bytes read (fewer only at end of file) / -1. The request is built in buf, which holds
// at least max(rsz, 24) bytes.
int ks_read_data_remote(ks_extr_t *ex, int fd, uint8_t *buf, int rsz, uint64_t offset);

// ASM storage.
int ks_open_asm_disk(ks_extr_t *ex);
int ks_load_asm_extent(ks_extr_t *ex, int dgi, int fd, uint32_t aun, uint32_t blkn);
int ks_load_asm_indirect_extent(ks_extr_t *ex, int dgi, int fd, uint32_t aun);
// Whether block n of the log, at blk, may be used: it passes its checksum, or checks are
// off (KS_LOGF_NO_CHECKSUM). When not, KS_LOGF_BAD_CHECKSUM is set and n is in l->bad_blk.
bool ks_redo_block_ok(ks_logf_t *l, const uint8_t *blk, uint32_t n);
// Walks rblks blocks read from rba->blk (see do_read_buffer.cpp). Every block is checked
// with ks_redo_block_ok before anything in it is used: a block that fails stops the walk
// with -1, rba at the first byte of the record being gathered (never past the block).
int ks_do_read_buffer(ks_extr_t *ex, ks_rba_t *rba, int rblks);
// 1 switched, 0 still current; -1 (KS_LOGF_BAD_CHECKSUM when its header block fails
// its checksum).
int ks_log_switched(ks_extr_t *ex);

// Decoding entry for one complete record held in ex->b->record.
int ks_parse_record(ks_extr_t *ex, int rlen);
