// The transaction table: slots that each collect the records of one open source
// transaction, found by XID through a hash index; the slot array grows as transactions
// open, up to the configured most open at once. A slot's image lives in a buffer taken
// from the table's pool only as large as the image needs (growing in steps up to
// trans_sz), and continues in a spill file of its own beyond that, or when the pool's
// memory budget is spent (the largest images go to their files first). The trail writer
// state; the save file of open transactions. One instance, x_trans, per capture process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "extract/extract.h"
#include "lib/fmt/save_format.h"
#include "lib/fmt/trail_format.h"

// What a transaction keeps and delivers, for the table and for the inspection tool that
// shows transactions as the trail holds them. The slot flags a record adds:
inline uint32_t ks_trans_record_flags(uint32_t rflag, uint32_t opc) {
  return (opc == KS_OPC_DDL ? KS_SLOT_DDL : 0) | ((rflag & KS_RH_SYSOBJ) ? KS_SLOT_SYSOBJ : 0) |
         ((rflag & KS_RH_ROLLBACK) ? KS_SLOT_ROLLBACK : 0);
}
// Whether a transaction with slot flags sflag keeps a record: once a DDL statement is in,
// only the dictionary changes that DDL tracing needs and the end of the transaction are.
inline bool ks_trans_keeps(uint32_t sflag, uint32_t rflag, uint32_t opc) {
  return !(sflag & KS_SLOT_DDL) || (rflag & KS_RH_SYSOBJ) || opc == KS_OPC_COMMIT || opc == KS_OPC_ROLLBACK;
}
// Dictionary changes are for DDL tracing only: without a DDL statement they deliver nothing.
inline bool ks_trans_nothing_to_deliver(uint32_t sflag) { return (sflag & KS_SLOT_SYSOBJ) && !(sflag & KS_SLOT_DDL); }
// Table flag: some slot carries KS_SLOT_COMMITTED.
constexpr int KS_TRANS_PENDING = 0x1;
// Table flag: commits are gathered and written to the trail several at a time (the
// capture loop sets it and calls ks_flush_trail after each walk); without it every commit
// is written at once.
constexpr int KS_TRANS_GATHER = 0x2;
// Most commits one gathered write takes, and the byte count that triggers the write.
constexpr int KS_TRANS_QMAX = 128;
constexpr uint32_t KS_TRANS_QBYTES = 1048576;
// Table flag: spill files of transactions that left the table (copied into the trail,
// rolled back, or delivered by an earlier run) are deleted only at the next saved
// checkpoint (ks_trans_release_spills), since a crash before it resumes transactions
// that still need them.
constexpr int KS_TRANS_KEEP_SPILLS = 0x4;

// Buffer sizes of the pool: 512 bytes doubling up to trans_sz (the last one trans_sz).
constexpr int KS_TRANS_NCLASS = 24;
constexpr uint32_t KS_TRANS_MIN_BUF = 512;

// XIDs of one commit SCN a restart remembers as already in the trail.
constexpr int KS_TRANS_DONE_MAX = 64;

typedef struct __ks_trans_s {
  int flag;
  int max_tsz;    // trail file roll-over size
  int max_slots;  // most transactions open at once (max_trans)
  int nslot;      // occupied slots
  int fseq;       // current trail file number
  int fd;         // open trail file, -1 when none
  int tail;       // write offset in the trail file
  uint8_t *buf;   // the table's single allocation
  uint8_t *tbuf;  // 1 MiB work buffer (= buf)
  ks_trans_slot_t *slot;
  ks_trail_fh_t fhdr;  // in-memory header of the current trail file
  // Gather queue: slots of committed transactions in commit order whose images lie in
  // [tail - qlen, tail) of the current trail file once written; the header values of
  // the file before the first of them, to restore when the write fails.
  int nq;
  uint32_t qlen;
  uint64_t q_last_scn;
  uint64_t q_last_xid;
  int q[KS_TRANS_QMAX];
  // Commit time stamp of the last transaction written or queued (the one fhdr.last_scn
  // names), for the status the process publishes.
  uint32_t last_csct;
  // Restart state shared with the checkpoint (set before ks_trans_open): the save-file
  // generation the checkpoint names (0: any), and the trail offset it was taken at in
  // file fseq (0: the file header's tail).
  uint32_t gen;
  uint32_t resume_tail;
  // Memory budget of the image pool in bytes (set before ks_trans_open; 0: the default).
  size_t mem_max;
  // The largest commit SCN or heartbeat SCN in the trail: a heartbeat only ever raises it.
  uint64_t top_scn;
  // What a restart found already in the trail: every commit below done_scn, and those at
  // done_scn whose XIDs are in done_xid. The redo read again from the checkpoint brings
  // them back, and they are not written a second time.
  uint64_t done_scn;
  int ndone;
  uint64_t done_xid[KS_TRANS_DONE_MAX];
  // Slots allocated in the array (it grows by doubling as transactions open), the
  // largest in-memory image, the pool's bytes (buffers held by slots and free ones).
  int nalloc;
  int trans_sz;
  size_t mem_used;
  // Hash index by the XID's undo segment and slot (the part a partial XID knows too):
  // bucket heads, and per slot the next slot of its chain, or of the free list for a
  // free slot; -1 ends a chain.
  int32_t *hhead;
  int32_t *hnext;
  uint32_t hmask;
  int32_t free_head;
  // Spill file descriptors left open for appending (bounded, see KS_TRANS_MAX_FDS).
  int nfd;
  int nclass;
  uint32_t csize[KS_TRANS_NCLASS];
  uint8_t *pool[KS_TRANS_NCLASS];  // free buffers of each size, linked through their first bytes
  // Write-behind buffer of spill-file appends (KS_TRANS_WBUF_SZ bytes, taken at the first
  // spill): wlen bytes of records of slot wslot not yet in its file; none when wlen is 0.
  // That slot's image is its file followed by these bytes, so whatever reads, measures or
  // cuts the file writes them first (ks_trans_flush_spill).
  uint8_t *wbuf;
  uint32_t wlen;
  int wslot;
} ks_trans_t;

// Most transactions open at once when max_trans is not set: the slot headers cost 72
// bytes each, and a transaction that stays small takes a buffer of 512 bytes, so 65,536
// open transactions take about 5 MiB of headers and 32 MiB of buffers; busy sources
// run with several thousand open.
constexpr int KS_TRANS_DEF_MAX = 65536;
constexpr int KS_TRANS_DEF_SZ = 32768;
constexpr size_t KS_TRANS_TBUF_SZ = 1048576;
// Default memory budget of the image pool (at least 8 buffers of trans_sz).
constexpr size_t KS_TRANS_DEF_MEM = 64u << 20;
// Spill files kept open for appending: beyond this many, all are closed and reopened
// when they are next appended to, so thousands of spilled transactions do not exhaust
// the process's descriptors.
constexpr int KS_TRANS_MAX_FDS = 256;
// Records appended to a spill file are gathered up to this many bytes per write: a load
// is one transaction of many block images, and a write each would cost more than the
// decoding. A record this large or larger is written at once.
constexpr uint32_t KS_TRANS_WBUF_SZ = 1048576;

extern ks_trans_t x_trans;

// Sets up the table and restores the open transactions of the save file: 0; KS_RC_STOP
// when the file holds more than max_trans allows (logged, naming the parameter); -1.
int ks_trans_open(ks_trans_t *t);
// Writes the queued commits and the open trail file's header, saves the open
// transactions and releases the table: 0; -1 when a trail write failed (the commits it
// held are in the save file); KS_TRANS_NOT_SAVED when the save file could not be
// written (the table is kept, and no checkpoint may name a later position).
constexpr int KS_TRANS_NOT_SAVED = -2;
int ks_trans_close(ks_trans_t *t);
// Saves the table while it keeps running: the trail header with the current tail (still
// marked open) and the open transactions in a save file of generation t->gen. The
// previous save file is kept beside it ("<name>.prev") until the next save, so a crash
// before the checkpoint that names the new generation still finds the old one. 0 / -1.
int ks_trans_save(ks_trans_t *t);
// Deletes the spill files that were copied into the trail before the last save.
void ks_trans_release_spills(ks_trans_t *t);
// A spill file whose transaction has left the table: deleted now, or at the next saved
// checkpoint under KS_TRANS_KEEP_SPILLS.
void ks_trans_done_with_spill(const ks_trans_t *t, const char *spill);
// Adds one record to its transaction: 0 (a commit whose trail write failed included: it
// stays in its slot and the table is flagged KS_TRANS_PENDING), -1 for a record it
// refuses, KS_RC_HOLD when a slot or the spill file cannot take it now (nothing of it
// was kept).
int ks_append_lcr(ks_extr_t *ex, ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct);
// A redo record's records as a unit: ks_trans_record_begin before its first one, and
// ks_trans_record_undo when the record is refused part-way, which puts back every slot
// the record has added to since (records, spill-file bytes, slots it opened). A slot
// whose transaction the record has already committed or rolled back is left as it is;
// the undo then returns -1 (else 0).
void ks_trans_record_begin();
int ks_trans_record_undo(ks_trans_t *t);
int ks_new_trail_file(ks_trans_t *t, int sn);
int ks_close_trail_file(ks_trans_t *t);
// Writes the committed transaction of slot sn: 0 when written (or already in the trail
// before a restart), 1 when it joined the gather queue (the slot stays taken,
// KS_SLOT_QUEUED), -1 on failure.
int ks_write_trail_file(ks_extr_t *ex, int sn);
// Writes a heartbeat: every commit of this thread below scn is in the trail before it.
// Only when scn is above everything the trail holds; the gather queue goes first, and a
// trail file is started (or rolled over) for it as for a transaction. sct: the redo time
// stamp of the moment. 1 written, 0 nothing to say, -1 on failure (nothing written).
int ks_write_heartbeat(ks_trans_t *t, uint64_t scn, uint32_t sct);
// Whether a restart found the commit (scn, xid) already in the trail.
bool ks_trans_in_trail(const ks_trans_t *t, uint64_t scn, uint64_t xid);
// XID of the open transaction that holds undo segment usn, transaction slot slot (at most
// one can at a time), or 0 when none is open. For records that carry no wrap sequence.
uint64_t ks_trans_find_open(const ks_trans_t *t, uint32_t usn, uint32_t slot);
// Writes the gather queue in one positioned write and frees its slots. When the write
// fails the slots become committed-but-unwritten (KS_SLOT_COMMITTED) and are written again
// before the next commit, as a failed single write is. 0 / -1.
int ks_flush_trail(ks_trans_t *t);
// Writes the commits whose trail write failed earlier, oldest commit first; 0 or -1.
int ks_flush_pending_commits(ks_extr_t *ex);

// The slot array and its index. ks_trans_init_table sets up an empty table (the pool's
// sizes, the first slots); 0 / -1. ks_trans_take_slot gives a free slot to xid and
// indexes it, growing the array (up to max_slots when limit): its index, -1 when the
// limit is reached, -2 when memory is short. ks_trans_drop_slot frees a slot (its
// descriptor and buffer too; the spill file stays). Slot indexes stay valid while the
// array grows, slot pointers do not.
int ks_trans_init_table(ks_trans_t *t, int max_trans, int trans_sz, size_t mem_max);
int ks_trans_take_slot(ks_trans_t *t, uint64_t xid, bool limit);
void ks_trans_drop_slot(ks_trans_t *t, int sn);
// First slot of the index chain where the slots of xid (and of any XID of the same undo
// segment and slot) are found; the chain goes on through hnext.
inline uint32_t ks_trans_bucket(const ks_trans_t *t, uint64_t xid) {
  const uint64_t key = xid >> 32;
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & t->hmask;
}
inline int32_t ks_trans_chain(const ks_trans_t *t, uint64_t xid) { return t->hhead[ks_trans_bucket(t, xid)]; }

// The image pool. ks_trans_slot_buffer gives slot sn a buffer of at least size bytes (at
// most trans_sz unless must), keeping the image it holds; within the budget, which other
// slots' images are spilled to make room for (never sn's, nor a queued one's). must: the
// buffer is taken even beyond the budget (a commit needs it for a moment). 0, or -1 when
// no buffer is given (the image is unchanged). ks_trans_slot_release returns the buffer.
int ks_trans_slot_buffer(ks_trans_t *t, int sn, uint32_t size, bool must);
void ks_trans_slot_release(ks_trans_t *t, ks_trans_slot_t *s);
// The slot's in-memory image: its buffer, or the header alone when it has none.
const uint8_t *ks_trans_image(const ks_trans_slot_t *s);
// Counts a spill file descriptor left open in a slot; past KS_TRANS_MAX_FDS the others
// are closed (they reopen when appended to).
void ks_trans_note_fd(ks_trans_t *t, const ks_trans_slot_t *keep);
void ks_trans_close_fd(ks_trans_t *t, ks_trans_slot_t *s);
// Writes the slot's image (dlen bytes at img) as its spill file, replacing any older one,
// and marks the slot spilled; the descriptor stays open for appending when keep_open.
// 0 / -1 (nothing changed, no file left).
int ks_spill_image(ks_trans_t *t, ks_trans_slot_t *s, const uint8_t *img, bool keep_open);
// Writes the write-behind buffer to its slot's spill file: 0, -1 (a write failed: the file
// is cut back to whole records and the bytes stay in the buffer), KS_RC_STOP (the file is
// missing). Before anything reads, measures, cuts or records the size of a spill file.
int ks_trans_flush_spill(ks_trans_t *t);
// Frees the table's slot array, index and pool, closing the slots' descriptors.
void ks_trans_free_table(ks_trans_t *t);

// Commit-time steps run on a transaction before it is written.
int ks_check_rollback(ks_extr_t *ex, ks_lcr_th_t *thdr);
// Calls visit(offset, flag, opc) for each record of a transaction's file from offset 32,
// until it returns false; buf is the 1 MiB work buffer the file is read through (a
// record larger than it, up to KS_LCR_MAX_SZ, is visited from its header). 0, or -1 when
// the file cannot be read, is cut short or holds a record of an impossible length.
using ks_trans_visit_t = std::function<bool(uint64_t offs, uint32_t flag, uint32_t opc)>;
int ks_trans_walk_file(int fd, const char *name, uint8_t *buf, const ks_trans_visit_t &visit);
// Rewrites the flag word of the record at offs of a transaction's file. 0 / -1.
int ks_trans_write_flag(int fd, const char *name, uint64_t offs, uint32_t flag);
// Takes back the marks a resolution left in the file of a transaction by reference (name)
// when a restart finds that transaction open again: the commit will come again, with
// redo that may add rollback records, and the resolution then runs on the records as
// collected. fd is the file opened for positioned writes (not appending); reads through
// t's work buffer. 0 / -1.
int ks_unresolve_rollback(ks_trans_t *t, int fd, const char *name);
int ks_trace_ddl(ks_extr_t *ex, ks_lcr_th_t *thdr, int tbsz);

// File names. Each returns the length written (snprintf-style) into name[size].
int ks_trail_file_name(char *name, size_t size, int fno);
int ks_spill_file_name(char *name, size_t size, uint64_t xid, uint64_t sscn);
int ks_trans_save_file_name(char *name, size_t size);

// Where the table takes its parameters and its work buffer from.
// trail_sz: the trail file roll-over size in bytes, 0 when not set.
int ks_trans_get_param(int *max_trans, int *trans_sz, int *trail_sz);
void *ks_trans_mem_alloc(size_t size);
void ks_trans_mem_free(void *p);
