// Record decoding: the per-record miner state, the chain piece a record may leave for the
// chain buffer, the bounded view of a change vector every handler reads through, and the
// entry points of the vector handlers. Invariants: the dispatcher checks that every
// vector (header, length array and fields) lies inside the record before any handler
// sees it, so handlers that go through ks_cv_t never read past the record buffer; length
// arrays are read in the redo's byte order and never rewritten in place, so the record
// bytes stay as the log holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/chain_buffer.h"
#include "lib/fmt/chain_format.h"
#include "lib/fmt/trail_format.h"

// Miner flag bits.
constexpr uint32_t KS_MN_PIECE = 0x1;     // the record is a piece of a chained row change
constexpr uint32_t KS_MN_ROLLBACK = 0x2;  // a chained rollback must be assembled
constexpr uint32_t KS_MN_COMPLETE = 0x4;  // the saved chain is complete

struct __ks_miner_s {
  int ti;
  int cbl;
  uint32_t flag;
  uint32_t objn;
  uint32_t sct;
  uint32_t slen;
  uint64_t scn;
  uint64_t xid;
  uint64_t pxid;
  uint8_t *undo;
  uint8_t *sup;
  // Of the record being decoded, for handlers that look at other vectors of it and for
  // the inspection tools: its first byte and length, its container uid, whether a
  // 68-byte header has ever been seen, and the type of the last DDL decoded.
  uint8_t *rec;
  uint32_t rlen;
  uint32_t con_uid;
  uint32_t has_sct;
  uint32_t ddl_type;
  int supk;  // field index of the supplemental header in the undo vector
  // Where the record being decoded starts in the log (set by the block walk), so that a
  // record the decoder passes over can be found again by whoever reads the log line.
  ks_rba_t rba;
};

// The chain piece and its flag bits are stored layouts: lib/fmt/chain_format.h.

extern ks_miner_t x_miner;

// Bounded view of one change vector. nf fields (1-based); field k at v + off[k], len[k]
// bytes. Built only for vectors the dispatcher has checked against the record.
constexpr int KS_CV_MAX_FIELDS = 4096;
struct ks_cv_t {
  uint8_t *v;
  bool big;
  int nf;
  uint32_t size;
  uint32_t off[KS_CV_MAX_FIELDS + 1];
  uint16_t len[KS_CV_MAX_FIELDS + 1];
};
// Parse the vector at v with room bytes available; 0, or -1 when the length array or a
// field would lie outside those bytes or the field count is absurd.
int ks_cv_open(ks_cv_t *cv, uint8_t *v, uint32_t room, int vhsz, bool big);
// Field k when it exists and holds at least minlen bytes, else null.
inline uint8_t *ks_cv_field(const ks_cv_t *cv, int k, uint32_t minlen = 0) {
  if (k < 1 || k > cv->nf || cv->len[k] < minlen) return nullptr;
  return cv->v + cv->off[k];
}
inline int ks_cv_len(const ks_cv_t *cv, int k) { return (k < 1 || k > cv->nf) ? -1 : cv->len[k]; }
// Open the vector at v, which lies inside the current record (checked again here).
int ks_cv_in_record(ks_extr_t *ex, ks_cv_t *cv, uint8_t *v);

// Size of the vector at vbuf from its length array (redo byte order).
int ks_skip_vector(ks_extr_t *ex, uint8_t *vbuf);
// Convert n big-endian u16 entries in place (n < 0: count from the first entry / 2).
void ks_length_to_big_endian(uint8_t *ar, int n);

int ks_parse_undo(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
// Field index of the supplemental-log header in the heap row undo cv (layer 11): the
// first field after the undone operation's column values.
int ks_undo_sup_index(const ks_cv_t *cv);
int ks_parse_iot_undo(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
// Leaf operations of index-organised tables. A leaf operation of a captured one that is not
// decoded comes back as KS_RC_IOT_NOT_DECODED (m->ti naming the table): the dispatcher
// reports and counts it and passes over the rest of its change.
constexpr int KS_RC_IOT_NOT_DECODED = -13;
int ks_parse_iot_lin(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_iot_lde(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_iot_lcnu(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_iot_lai(ks_extr_t *ex, uint8_t *vbuf);
// A row of an index-organised table continued in its overflow segment, built from its
// records (m->ti, xid and scn set): the key in field kf of leaf (a 10.2 redo for INSERT, the
// restore of a 10.4's undo for DELETE), the leaf row in field kf + 1, then the overflow
// pieces from the row id it names, each found by piece (its vector and the field of its
// row header, the values in the fields after it; false when the row has no such piece).
// 0 / -1 (logged).
struct ks_rowid_t {
  uint32_t dba;
  uint16_t slot;
};
using ks_iot_piece_fn = std::function<bool(ks_rowid_t rid, const ks_cv_t **cv, int *hk)>;
int ks_iot_chained_row(ks_extr_t *ex, int opc, const ks_cv_t *leaf, int kf, const ks_iot_piece_fn &piece);
// The QUICK INSERT of an array insert (the 10.2 cv, m->ti, xid and scn set). Rows continued
// in the overflow segment go on with the rows, in order, of the quick multi-row insert that
// ovf gives for the block their leaf row names (nullptr: no row may continue). 0 / -1
// (logged).
using ks_iot_rows_fn = std::function<const ks_cv_t *(uint32_t dba)>;
int ks_iot_array(ks_extr_t *ex, const ks_cv_t &cv, const ks_iot_rows_fn *ovf);
// Purge, restore, update keydata, and any other leaf operation (vbuf's code).
int ks_parse_iot_leaf_other(ks_extr_t *ex, uint8_t *vbuf);
// Leaf redo without undo in its record (a rollback): an index INSERT / UPDATE / DELETE
// rollback LCR (then -9, the rest of the record passed over, as for heap rollbacks) for a
// captured index-organised table; leaf redo of other indexes is passed over (0).
int ks_parse_index_rollback(ks_extr_t *ex, uint8_t *vbuf);
int ks_parse_irp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_drp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_urp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_orp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_cfa(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_lmn(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
int ks_parse_qmi(ks_extr_t *ex, uint8_t *vbuf);
int ks_parse_commit(ks_extr_t *ex, uint8_t *vbuf);
int ks_parse_audit(ks_extr_t *ex, uint8_t *vbuf);
int ks_parse_ddl(ks_extr_t *ex, uint8_t *vbuf);
int ks_parse_sequence(ks_extr_t *ex, uint8_t *vbuf);
int ks_parse_kdo_rollback(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp);
// Direct-path loads. 24.6: the loaded table and transaction go to the miner state for the
// block images after it. 19.1: the image by its block type (table or LOB data).
int ks_parse_dp_extra(ks_extr_t *ex, uint8_t *vbuf);
// load: the record began with a 24.6 (a LOB block in it that no LOB operation claims is
// a load's, see ks_parse_load_lob).
int ks_parse_dp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp, bool load);
// A LOB data block a load wrote (blen bytes at block address dba): kept in the chain
// buffer until the row whose locator names it comes, or handed to the row of the load
// already waiting for it, which is then one INSERT with its LOB data. Results as
// ks_parse_data_block's.
int ks_parse_load_lob(ks_extr_t *ex, uint8_t *blk, uint32_t blen, uint32_t dba);
// Chain-buffer keys of what a load's LOBs leave waiting: a LOB block is keyed on its own
// block address with slot KS_DP_LOB_SLOT; a row waiting for its LOB blocks on the row id
// of its last piece, the slot with KS_DP_WAIT_SLOT set.
constexpr uint16_t KS_DP_LOB_SLOT = 0xFFFF, KS_DP_WAIT_SLOT = 0x8000;
// Whether chain-buffer entry ci is one of those; if so, at the commit of its transaction,
// reports it (error line with its position, and a count): nothing joined it.
bool ks_dp_lob_unjoined(ks_extr_t *ex, int ci, bool commit);
// A table block image of blen bytes (crp->pc_rdba its address): its whole rows as one
// QUICK INSERT (one INSERT each when the table has LOBs, whose locators are decoded), the
// pieces of rows chained into later blocks saved in the chain buffer, and rows whose last
// piece it holds as one INSERT. 0; -1 (logged); -9 the table is not captured; KS_RC_HOLD /
// KS_RC_STOP when its changes cannot be taken now (the chain buffer is left as before).
// ks_parse_direct_insert passes over blocks that are not transaction-managed.
int ks_parse_direct_insert(ks_extr_t *ex, uint8_t *blk, uint32_t blen, ks_chain_piece_t *crp);
int ks_parse_data_block(ks_extr_t *ex, uint8_t *blk, uint32_t blen, ks_chain_piece_t *crp);
// Saves the row piece data (dlen bytes) of the row crp names (cr: its first piece) in
// the chain buffer; its entry goes to *ci. 0 / -1.
int ks_save_row_piece(ks_extr_t *ex, const uint8_t *data, int dlen, ks_chain_piece_t *crp, int *ci);
// Releases the saved pieces of the row crp's piece belongs to.
void ks_clear_dp_cr(ks_extr_t *ex, ks_chain_piece_t *crp);
// Builds the INSERT of the row whose last piece (data, dlen bytes, at crp's pc row id)
// has come; the row's chain buffer entry goes to *ci (-1: none found), for the caller to
// release. 0, -1, or KS_RC_HOLD / KS_RC_STOP.
int ks_assemble_dp_chain(ks_extr_t *ex, const uint8_t *data, uint32_t dlen, ks_chain_piece_t *crp, int *ci);
// XID of a rollback record from the undo segment and transaction slot of its 5.6 / 5.11:
// the previous record's XID when it holds that slot, else the open transaction's that
// does; 0 when no open transaction holds it (the record is then dropped). Every handler
// of rollback redo takes its XID from here.
uint64_t ks_rollback_xid(ks_extr_t *ex, uint32_t usn, uint32_t slot);
// The 5.6 / 5.11 of the record being decoded: its undo segment, transaction slot and
// object number, and whether it is a rollback to a savepoint (5.11). 0 / -1.
int ks_rollback_vector(ks_extr_t *ex, uint32_t *usn, uint32_t *slot, uint32_t *objn, bool *partial);
// The transaction a rollback record belongs to (ks_rollback_xid), or 0: routine for a full
// rollback, logged for a rollback to a savepoint that cannot be placed.
uint64_t ks_rollback_owner(ks_extr_t *ex, uint32_t usn, uint32_t slot, bool partial);
// Appends the header-only rollback LCR of op code opc for table ti. 0 / -1.
int ks_emit_rollback(ks_extr_t *ex, int ti, uint32_t opc);
int ks_ora_number_to_int(const uint8_t *data, int dlen);
int ks_parse_lob_inrow(uint8_t *cdata, int clen, uint8_t **lob, int *dlen);
int ks_insert_lob_skip(ks_extr_t *ex);
int ks_update_lob_skip(ks_extr_t *ex);

// ---- chained and migrated rows -------------------------------------------------------------
// The capture process's chain buffer, in the region of its work buffers.
extern ks_chain_ctx_t x_chain;
// x_chain, set on the region of ex's work buffers (in memory only when the process did
// not open it there).
ks_chain_ctx_t *ks_chain_of(ks_extr_t *ex);
// At start-up: restores the rows in progress at the checkpoint of generation ex->t->gen.
int ks_init_chain_buffer(ks_extr_t *ex);
// With every checkpoint (generation ex->t->gen), before the checkpoint is written; and at
// a stop, which also closes the spill files. 0 / -1.
int ks_checkpoint_chain_buffer(ks_extr_t *ex);
int ks_save_chain_buffer(ks_extr_t *ex);
// Once that checkpoint is on disk: what only the previous one needed goes.
void ks_release_chain_buffer();
// Builds the change of the row whose pieces are complete with the record just saved
// (crp): 0, -1 (logged), or -9 when the table is not captured.
int ks_assemble_chained_row(ks_extr_t *ex, ks_chain_piece_t *crp);
// The rollback of a change of a chained row, from the first record that undoes it.
int ks_assemble_chained_rollback(ks_extr_t *ex, ks_chain_piece_t *crp);
// Releases the row in progress of crp's head row id (keyed on its own row id when it has
// no head). Always 0.
int ks_clear_chained_row(uint8_t *cbuf, ks_chain_piece_t *crp);
// At the end of transaction xid: rows of it still in progress can never be completed.
// At a commit each is reported (its first piece's position, row id and transaction) and
// counted; at a rollback they go quietly.
void ks_chain_transaction_end(ks_extr_t *ex, uint64_t xid, bool commit);

// Every LCR the handlers build goes through here: to x_lcr_tap when one is set (the
// inspection tool and tests), else to the transaction table. 0 / -1.
typedef int (*ks_lcr_tap_t)(ks_extr_t *ex, ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct);
extern ks_lcr_tap_t x_lcr_tap;
// Called with every record before it is decoded (the inspection tool prints it).
typedef void (*ks_record_tap_t)(ks_extr_t *ex, int rlen);
extern ks_record_tap_t x_record_tap;
// 0; -1 when the record is refused; KS_RC_HOLD / KS_RC_STOP as the transaction table said
// (ks_parse_record then takes back what the record had added and returns that code,
// whatever the handler makes of it).
int ks_redo_append(ks_extr_t *ex, ks_lcr_rh_t *rh);

// Records of captured tables that the decoder cannot turn into changes: each is logged
// as one error line (reason, position, SCN, XID, owner.table, operation) and counted by
// reason in a fixed table of the process.
enum {
  KS_NC_IOT,     // "index-organised table change not supported"
  KS_NC_LOB,     // "LOB change not supported"
  KS_NC_LOAD,    // "direct-path load not supported"
  KS_NC_CHAIN,   // "chained row incomplete": pieces whose other pieces never came
  KS_NC_DECODE,  // "change not decoded": a handler refused a change it was given
  KS_NC_REASONS
};
// Logs and counts one such record; ti is the table's index in ex->d, or -1 when unknown.
void ks_not_captured(ks_extr_t *ex, int reason, int ti, uint8_t layer, uint8_t code);
const char *ks_not_captured_reason(int reason);
uint64_t ks_not_captured_count(int reason);
// One information line with the counts: always, or only when they changed since the
// last one.
void ks_log_not_captured(bool always);
void ks_reset_not_captured();

// ---- LCR building in ex->b->lcr_buf ------------------------------------------------------
struct ks_lcr_b {
  uint8_t *base;
  uint32_t cap;
  uint32_t pos;
  uint32_t n;  // entries since the last ks_lcr_count
  bool overflow;
};
// Start a full-header record for the table ti of the dictionary (owner/name map rule), in
// the LCR area of the work buffers or, for a record that may outgrow it, in base (cap).
ks_lcr_rh_t *ks_lcr_start(ks_extr_t *ex, ks_lcr_b *lb, int ti, uint32_t opc, uint8_t *base = nullptr, uint32_t cap = 0);
// Append a column entry for dictionary column c; data may be null when dlen is 0.
void ks_lcr_col(ks_lcr_b *lb, const ks_dict_col_t *c, uint32_t flag, const uint8_t *data, uint32_t dlen);
// Base flags of an entry for c: national, plus key flags for old-image entries.
uint32_t ks_col_flag(const ks_dict_col_t *c, bool old);
// Append a row value of a QUICK INSERT record: host-order u16 length, then the bytes (a
// NULL is length 0).
void ks_lcr_raw(ks_lcr_b *lb, const uint8_t *data, uint16_t len);
// Append the finished record; logs and -1 on failure or overflow.
int ks_lcr_finish(ks_extr_t *ex, ks_lcr_b *lb, const char *what);
// Append the supplemental columns of the record's undo as entries (old-image key flags when
// old; not-captured columns skipped when skip_nocap); adds the entries to *count. 0 / -1.
int ks_lcr_sup(ks_extr_t *ex, ks_lcr_b *lb, bool old, bool skip_nocap, uint32_t *count);
// Entry for column c from a row value (length 0 NULL; LOB locators decoded). 0 / -1.
int ks_lcr_value(ks_lcr_b *lb, const ks_dict_col_t *c, uint32_t base_flag, uint8_t *data, uint32_t len);
// Log the missing column and return -1.
int ks_no_column(ks_extr_t *ex, int scid);
inline bool ks_is_lob(uint32_t t) { return t == 112 || t == 113; }
inline bool ks_is_long_or_lob(uint32_t t) { return t == 112 || t == 113 || t == 8 || t == 24; }
inline const ks_dict_tab_t *ks_tab(ks_extr_t *ex) { return &ex->d->tab[ex->m->ti]; }
inline ks_dict_col_t *ks_tab_cols(ks_extr_t *ex) { return ex->d->col + ks_tab(ex)->cidx; }
#define KS_XID_ARGS(x) \
  static_cast<int>((x) >> 48), static_cast<int>(((x) >> 32) & 0xFFFF), static_cast<int>((x)&0xFFFFFFFF)
