// Builds redo records: the record header, change vectors with their length arrays and
// 4-byte aligned fields, and the change vectors of every operation the simulated source
// logs (undo 5.1 of heap row operations with the supplemental-log header, layer 11 row
// redo, 5.2, 5.4, 5.6/5.11, 5.20, 24.1 and vectors of other layers). Encoding is exact:
// integers go out in the log's byte order. Besides the fields the reader decodes it writes
// what a database writes around them (vector header SCNs and sequences, undo addresses,
// ITL redo, row header flags, commit times, session vectors, index and space upkeep), and
// zeros only where a database writes zeros; set up bare, it writes the decoded fields
// alone, zeros elsewhere.
// A record never exceeds the largest record a reader accepts; overflow marks it failed.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/fmt/redo_format.h"

namespace ks::sim {

// One field of a change vector.
struct ks_field_t {
  const uint8_t *p;
  uint32_t len;
};

// A column value in a row image: len < 0 is NULL.
struct ks_colval_t {
  const uint8_t *p;
  int len;
};

// Byte 0 of the supplemental-log header: the operation of the row change the record belongs
// to (a rollback's record carries the operation it undoes), so that a reader holding the
// pieces of a row knows what they build before it has them all.
constexpr uint8_t kSupOpUpdate = 1, kSupOpInsert = 2, kSupOpDelete = 4;

// Supplemental-log header and columns of a heap undo record.
struct ks_suplog_t {
  uint8_t op = 0;  // kSupOp...; 0 leaves the byte as hand-made records have it
  uint8_t flags = redo::KS_REDO_SUP_FIRST | redo::KS_REDO_SUP_LAST;  // plus KS_REDO_SUP_UPDATE for updates
  uint16_t undo_scid = 0;
  uint16_t redo_scid = 0;
  bool long_hdr = false;  // 28 bytes with the head row id
  uint32_t head_dba = 0;
  uint16_t head_slot = 0;
  int ncol = 0;
  const uint16_t *scid = nullptr;  // segment column ids
  const ks_colval_t *val = nullptr;
};

// A row piece of a block a direct-path load writes: its flag byte, values and the row id
// of its next piece (read when the flag byte lacks the last-piece bit).
struct ks_dp_piece_t {
  uint8_t fb;
  const ks_colval_t *val;
  int n;
  uint32_t next_dba;
  uint16_t next_slot;
};

// The row a change is about.
struct ks_rowref_t {
  uint32_t dba;
  uint16_t slot;
};

class ks_redo_record {
 public:
  static constexpr uint32_t kCapacity = redo::KS_REDO_MAX_RECORD;

  void setup(bool big, uint32_t vsn, bool bare = false) {
    big_ = big;
    vsn_ = vsn;
    vhsz_ = redo::vhsz_of(vsn);
    cls_usn_ = redo::cls_usn_of(vsn);
    bare_ = bare;
  }
  bool big() const { return big_; }
  int vhsz() const { return vhsz_; }
  int cls_usn() const { return cls_usn_; }
  uint32_t vsn() const { return vsn_; }

  // Start a record. vld bit 0x04 selects the 68-byte header with the time stamp. con_id:
  // the container's id in vector headers (0 without containers, 1 the root, 3 the first
  // pluggable database).
  void begin(uint64_t scn, uint8_t vld, uint32_t con_uid, uint32_t ts, uint16_t con_id = 0);
  // Append a change vector with n fields; objn is the object whose block changes (its low
  // 16 bits go in the header of data-block vectors).
  void vector(uint8_t layer, uint8_t code, uint16_t cls, uint32_t dba, const ks_field_t *f, int n, uint32_t objn = 0);
  // The segment the next row and index operations change: its object number, the block
  // address of its segment header and its tablespace.
  void set_segment(uint32_t objn, uint32_t seg_dba, uint32_t ts) {
    seg_objn_ = objn;
    seg_dba_ = seg_dba;
    seg_ts_ = ts;
  }
  // The row piece the record's next insert-row-piece or update-row-piece headers (undo or
  // redo) describe, when the row is stored as several pieces: its row flag byte and the row
  // id of the row's next piece (zero on the last piece). begin() goes back to a whole row.
  void set_piece(uint8_t fb, ks_rowref_t next) {
    row_fb_ = fb;
    row_next_ = next;
  }
  // The record's next row values (of an insert or overwrite row piece, in redo or undo) go
  // as one field holding the whole row image in the block row format, marked in the
  // operation flags, as a database logs rows of compressed blocks; begin() goes back to
  // one field per value. An 11.11 takes the mark alone (its rows are images already).
  void set_row_image(bool on) { row_image_ = on; }
  // The leaf rows the record's next leaf vectors log continue in the overflow segment at
  // next (dba 0: they are whole). begin() goes back to whole leaf rows.
  void set_leaf_next(ks_rowref_t next) { leaf_next_ = next; }
  // Store the length; 0 and the record length, kRecTooLarge when the record overflowed, or
  // kRecTooWide when a row piece it logs has more columns than a piece holds (its count is
  // one byte): such a record is never written.
  static constexpr int kRecTooLarge = -1, kRecTooWide = -2;
  static constexpr int kMaxPieceCols = 255;
  int finish();
  const uint8_t *data() const { return buf_; }
  uint32_t size() const { return len_; }
  uint32_t time() const { return ts_; }
  uint32_t vectors() const { return nvec_; }
  bool empty() const { return nvec_ == 0; }

  // ---- semantic vectors ----
  uint16_t undo_header_class(uint16_t usn) const { return uint16_t(cls_usn_ + 2 * usn); }
  uint16_t undo_block_class(uint16_t usn) const { return uint16_t(cls_usn_ + 2 * usn + 1); }
  static uint32_t undo_header_dba(uint16_t usn) { return 0x00C00000u + uint32_t(usn) * 0x100 + 0x20; }
  static uint32_t undo_block_dba(uint16_t usn) { return undo_header_dba(usn) + 1; }

  // 5.2: a transaction takes its undo-segment slot (first change of a transaction); slot
  // and sqn complete its XID. The next 5.1 is the transaction's first undo.
  void undo_seg_header(uint16_t usn, uint16_t slot = 0, uint32_t sqn = 0);
  // 5.19 (a session's first transaction: user, machine, program) or 5.20 (current schema):
  // the session information a transaction's first record carries.
  void session(bool first, std::string_view user);
  // Upkeep of an index of the current segment for one row: undo 5.1 of 10.22 (unless the
  // change undoes one, in a rollback) and the leaf row insert 10.2 (or delete 10.4) of key
  // (its columns' values) pointing at row r.
  void index_change(uint64_t xid, uint32_t index_objn, uint32_t leaf_dba, bool insert, const ks_colval_t *key, int n,
                    ks_rowref_t r, bool undo = true);
  // Index-organised tables, whose rows are the leaf rows of their primary key (index objn
  // in the undo, leaf block leaf_dba): the 5.1 undo of a leaf change (code 3 purge, the
  // undo of an insert: the key; 5 restore, the undo of a delete: the key and the non-key
  // row; 35 non-key update: the key, the changed columns' numbers colno and their old
  // values in row), with the supplemental header; and the leaf redo (2 insert and 5
  // restore: the key and the non-key row; 3 purge and 4 delete: the key; 35: colno and the
  // new values in row). A rollback's leaf redo has no undo and no supplemental header.
  void undo_of_leaf(uint64_t xid, uint32_t objn, uint32_t leaf_dba, uint8_t code, const ks_colval_t *key, int nkey,
                    const ks_colval_t *row, int nrow, const uint16_t *colno, const ks_suplog_t &sup);
  void redo_leaf(uint8_t code, uint32_t leaf_dba, const ks_colval_t *key, int nkey, const ks_colval_t *row, int nrow,
                 const uint16_t *colno = nullptr);
  // 10.2 array insert of nrows leaf rows: keys[i] (nkey values) and rows[i] (nrow[i], const ks_rowref_t *next =
  // nullptr); with next, row i continues in the overflow segment at next[i] (dba 0: it is whole).
  void redo_leaf_array(uint32_t leaf_dba, const ks_colval_t *const *keys, int nkey, const ks_colval_t *const *rows,
                       const int *nrow, int nrows, const ks_rowref_t *next = nullptr);
  // Segment-space upkeep around an insert: 13.22 (a block takes rows: its state in the
  // space bitmap block changes) or 13.28 (a block is full).
  void space_change(uint8_t code, uint32_t bitmap_dba, uint32_t data_dba);
  // 5.1 undo of an insert (the undo deletes the row piece).
  void undo_of_insert(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_suplog_t &sup);
  // 5.1 undo of a delete (the undo re-inserts the before image).
  // With code KS_REDO_OP_ORP the undo overwrites the row piece in place (the undo of a row
  // migrating out of its block).
  void undo_of_delete(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_colval_t *old, int nold,
                      const ks_suplog_t &sup, uint8_t code = redo::KS_REDO_OP_IRP);
  // 5.1 undo of an overwrite of a whole row with no supplemental header (an update of a
  // row of a compressed block): the old row, put back by an overwrite.
  void undo_of_overwrite(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_colval_t *old, int nold);
  // 5.1 undo of an update: colno are 0-based column numbers within the row piece, in
  // ascending order. stored is the number of columns the old row piece holds: changed
  // columns at or beyond it were trailing NULLs and go last, in descending order, with
  // no value field; the header counts only the columns before them.
  void undo_of_update(uint64_t xid, uint32_t objn, ks_rowref_t r, const uint16_t *colno, const ks_colval_t *old, int n,
                      const ks_suplog_t &sup, int stored = 0xFFFF);
  // 5.1 undo of a quick multi-row insert (quick multi-row delete of nrows rows).
  void undo_of_qmi(uint64_t xid, uint32_t objn, uint32_t dba, uint16_t first_slot, uint16_t nrows,
                   const ks_suplog_t &sup);
  // 5.1 undo of a row lock (select for update).
  void undo_of_lock(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_suplog_t *sup);
  // 5.1 undo of a lock/modify of a row piece without column change (a piece of a chained
  // row an update leaves as it is).
  void undo_of_lmn(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_suplog_t &sup);
  // 5.1 undo of a change of forwarding address: piece r pointed at old_next, the row id of
  // its next piece before that piece moved.
  void undo_of_cfa(uint64_t xid, uint32_t objn, ks_rowref_t r, ks_rowref_t old_next, const ks_suplog_t &sup);
  // 5.1 of another undone layer (e.g. index or dictionary maintenance): objn and layer only.
  void undo_other(uint64_t xid, uint32_t objn, uint8_t layer, uint16_t usn);

  // 11.2 insert row piece. With sup non-null the supplemental header follows the values
  // (the redo of a rollback).
  // With code KS_REDO_OP_ORP (11.6) the piece is overwritten in place.
  void redo_irp(ks_rowref_t r, const ks_colval_t *val, int n, const ks_suplog_t *sup = nullptr,
                uint8_t code = redo::KS_REDO_OP_IRP);
  // 11.3 delete row piece.
  void redo_drp(ks_rowref_t r, const ks_suplog_t *sup = nullptr);
  // 11.5 update row piece.
  void redo_urp(ks_rowref_t r, const uint16_t *colno, const ks_colval_t *val, int n, const ks_suplog_t *sup = nullptr);
  // 11.8 change forwarding address: piece r now points at next; the supplemental header
  // (28 bytes, naming the row's head) follows the row operation header.
  void redo_cfa(ks_rowref_t r, ks_rowref_t next, const ks_suplog_t &sup);
  // 11.11 quick multi-row insert: rows of ncol[i] values each.
  void redo_qmi(uint32_t dba, uint16_t first_slot, const ks_colval_t *const *rows, const int *ncol, int nrows);
  // 11.12 quick multi-row delete of the nrows rows a quick multi-row insert put in block
  // dba: how a rollback takes the whole set back out, with the supplemental header of
  // its undo.
  void redo_qmd(uint32_t dba, uint16_t nrows, const ks_suplog_t &sup);
  // 11.4 lock row; 11.16 lock/modify without column change.
  void redo_lkr(ks_rowref_t r);
  void redo_lmn(ks_rowref_t r);
  // 11.x that readers do not capture (e.g. 11.19 array update), header only.
  void redo_other11(uint8_t code, uint32_t dba);

  // ---- LOB operations ----
  // 11.17 LOB locator block of an operation on the row at r: its type (4 first, 1 second,
  // 2 or 3 third) in field 2, the body in field 3, then more fields (the first one's LOB
  // columns and supplemental columns).
  void lob_llb(ks_rowref_t r, uint8_t type, const uint8_t *body, uint32_t blen, const ks_field_t *more, int nmore);
  // 19.1 image of LOB data block dba of LOB segment lobj holding n bytes of the LOB's data
  // (page: its place in the LOB); the block has room for cap bytes.
  void lob_block(uint32_t dba, uint32_t lobj, const uint8_t *lob_id, uint32_t page, const uint8_t *data, uint32_t n,
                 uint32_t cap);
  // SecureFile data: 26.6 new data (load) of table objn's LOB; 26.2 data written over the
  // LOB's existing data at byte at of block dba (fill), after the undo 5.1 it needs.
  void lob_load(uint64_t xid, uint32_t dba, uint32_t objn, uint32_t lobj, const uint8_t *lob_id, const uint8_t *data,
                uint16_t n);
  void lob_fill(uint64_t xid, uint32_t dba, uint32_t objn, uint32_t lobj, const uint8_t *lob_id, uint32_t at,
                const uint8_t *data, uint16_t n);

  // ---- direct-path loads ----
  // 24.6: transaction xid loads table objn; the block images of the record follow.
  void dp_load(uint32_t objn, uint64_t xid);
  // 19.1 image of table block dba of objn, bsz bytes (the block less its cache header):
  // itc ITL entries (the loading transaction in the first), a header extension of ext
  // bytes when ext > 0, a row directory of nslot slots; piece i goes to slot slot[i] (its
  // bytes from the block's end down), the other slots are free, chained in slot order.
  // false when it does not fit in bsz bytes (nothing written).
  bool dp_table_block(uint32_t dba, uint32_t objn, uint64_t xid, uint32_t bsz, int itc, int ext,
                      const ks_dp_piece_t *pc, const uint16_t *slot, int n, int nslot);
  // Bytes of a table block image taken by everything but its rows.
  static int dp_block_overhead(int itc, int ext, int nslot);

  // 5.4 commit (rollback = false) or rollback of a transaction.
  void commit(uint64_t xid, bool rollback);
  // 5.6 (full rollback) or 5.11 (rollback to savepoint) that accompanies rollback redo.
  void rollback_undo(uint8_t code, uint64_t xid, uint32_t objn);
  // 5.20 audit vector carrying a tag.
  void audit(std::string_view tag);
  // 24.1 DDL text by owner on object name (objn), DDL type (1 create, 12 drop, ...).
  void ddl(uint64_t xid, uint32_t objn, std::string_view text, std::string_view owner, std::string_view name,
           uint8_t type);
  // Vector of another layer with zeroed fields of the given sizes.
  void other(uint8_t layer, uint8_t code, uint16_t cls, uint32_t dba, const uint32_t *sizes, int n);

 private:
  void put16(uint8_t *p, uint16_t v) { ks::store16(p, v, big_); }
  void put32(uint8_t *p, uint32_t v) { ks::store32(p, v, big_); }
  // Fills ubh/uri (fields 1-3) of an undo record.
  void undo_common(uint64_t xid, uint32_t objn, uint8_t layer, uint8_t *ubh, uint8_t *uri);
  // Zeroes the scratch row-operation header of the given size and sets its block address
  // and operation code.
  uint8_t *kdo_header(uint32_t dba, uint8_t code, int size);
  // Fields 1-4 of an undo record into the scratch field list (field 4 is the row
  // operation header already built, or 16 zero bytes when hdr_size is 0); returns 4.
  int undo_fields(uint64_t xid, uint32_t objn, uint8_t layer, int hdr_size);
  // Adds the supplemental header (when given) and writes the 5.1 vector of n fields in
  // the undo block of segment usn.
  void undo_vector(int n, const ks_suplog_t *sup, uint16_t usn);
  // Undo of a row piece put back (insert or overwrite code) with its values.
  void undo_row(uint64_t xid, uint32_t objn, ks_rowref_t r, const ks_colval_t *old, int nold, const ks_suplog_t *sup,
                uint8_t code);
  // The row values of header h into the scratch field list from field n: one field each,
  // or the row image (set_row_image); returns the new count.
  int row_values(uint8_t *h, int n, const ks_colval_t *val, int nv);
  // Appends the supplemental header and columns to a field list; returns the new count.
  int add_suplog(const ks_suplog_t &sup, ks_field_t *f, int n, uint8_t *hdr, uint8_t *arrays);
  // ITL redo of a row change (layer-11 field 1) into p: op 1, the transaction and its undo
  // address; returns its size.
  uint32_t itl_redo(uint8_t *p);
  // Field 1 of a row change: the ITL redo, or 8 zero bytes bare.
  ks_field_t redo_field1();
  // Flags and NULL bitmap of a row operation header built by kdo_header.
  void kdo_fields(uint8_t *h, bool undo);
  void urp_nulls(uint8_t *h, const ks_colval_t *val, int n);
  // Row flag byte and next-piece row id of an insert-row-piece header.
  void irp_piece(uint8_t *h);
  // The first two fields of a layer-26 vector (KDLI operation op): its common header and
  // the transaction and LOB block it changes (16 and 24 bytes).
  void kdli_header(uint8_t op, uint64_t xid, uint32_t dba, uint32_t lobj, uint8_t *com, uint8_t *x);
  // One value in the block row format at p (length byte, 0xFE and a u16, or 0xFF for
  // NULL, then the bytes); returns its size.
  uint32_t row_value(uint8_t *p, const ks_colval_t &v);
  // A key (values back to back) and a leaf row (3-byte row header, then the values) at p;
  // return their sizes.
  uint32_t leaf_key(uint8_t *p, const ks_colval_t *key, int n);
  uint32_t leaf_row(uint8_t *p, const ks_colval_t *row, int n);
  ks_rowref_t leaf_next_{0, 0};
  // Change-forwarding-address header of piece r pointing at next.
  uint8_t *cfa_header(ks_rowref_t r, ks_rowref_t next);

  uint8_t buf_[kCapacity + 64];
  uint32_t len_ = 0;
  uint32_t ts_ = 0;
  uint64_t scn_ = 0;
  uint32_t con_uid_ = 0;
  uint16_t con_id_ = 0;
  uint32_t nvec_ = 0;
  bool bare_ = false;
  uint8_t row_fb_ = redo::KS_REDO_ROW_WHOLE;
  ks_rowref_t row_next_{0, 0};
  bool row_image_ = false;
  uint32_t seg_objn_ = 0, seg_dba_ = 0, seg_ts_ = 0;
  // Undo addresses: per undo segment, the sequence of its current undo block and the last
  // record number in it; the next 5.1 is the first of its transaction.
  struct ks_uba_t {
    uint16_t seq = 1;
    uint8_t rec = 0;
  };
  ks_uba_t uba_[256];
  bool first_undo_ = false;
  // The transaction and undo address of the last 5.1 of the record (0: none), for the ITL
  // redo of the row change that follows it.
  uint64_t rec_xid_ = 0;
  uint16_t rec_useq_ = 0;
  uint8_t rec_urec_ = 0;
  // SCN and change sequence of the last change of recently changed blocks, in a table of
  // fixed size indexed by a hash of the block address (a block whose entry another took
  // counts as not changed yet). Allocated with the first vector.
  struct ks_blk_chg_t {
    uint32_t dba;
    uint8_t seq;
    uint64_t scn;
  };
  static constexpr int kBlkChgBits = 16;
  std::vector<ks_blk_chg_t> blk_chg_;
  bool overflow_ = false;
  bool too_wide_ = false;
  // A row piece of n columns: more than a piece holds spoils the record.
  void piece_cols(int n) { too_wide_ |= n > kMaxPieceCols; }
  bool big_ = false;
  uint32_t vsn_ = redo::KS_REDO_VSN19;
  int vhsz_ = 32;
  int cls_usn_ = 15;
};

}  // namespace ks::sim
