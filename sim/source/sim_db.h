// The simulated source database: schemas, heap tables with object numbers and columns,
// keys, sequences, rows stored in blocks with row ids, transactions with XIDs and an SCN
// clock, and the redo every change produces (through ks_redo_record / ks_redo_writer).
// The model lives in memory while a workload runs and is kept in one SQLite file: the
// catalogue (v$ views and sys. dictionary tables, named as liborasim serves them), the
// user tables as "OWNER.TABLE" with readable values, and the model's own state (KS$...).
// Invariants: every committed change has been written to the current log before its
// commit record; SCNs only grow; the current SCN readers see is never below the first
// change of the current log, whose switch they see whole (one catalogue transaction);
// the same seed and the same calls give the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/source/asm_store.h"
#include "sim/source/redo_encode.h"
#include "sim/source/redo_log.h"

struct sqlite3;

namespace ks::sim {

// A column value in Oracle's internal format; null when is_null. A LOB column's value is
// its locator as the row stores it (holding the data when it is kept in the row), and
// lob its contents (CLOB and NCLOB as UTF-8 text).
struct ks_val_t {
  bool is_null = true;
  std::string b;
  std::string lob;
  static ks_val_t null() { return {}; }
  static ks_val_t of(std::string s) { return ks_val_t{false, std::move(s)}; }
  bool operator==(const ks_val_t &o) const { return is_null == o.is_null && (is_null || (b == o.b && lob == o.lob)); }
};

struct ks_col_t {
  std::string name;
  int col_no = 0;  // col#
  int segcol = 0;  // segcol#: position in the stored row
  int type = 0;    // type#
  int length = 0;  // bytes (characters for NVARCHAR2 columns count twice)
  int precision = 0, scale = 0;
  int csform = 1;  // 1 database character set, 2 national
  bool not_null = false;
  std::string deflt;        // default expression text, "" for none
  bool securefile = false;  // a LOB column stored as SecureFile (else BasicFile)
  uint32_t lob_objn = 0;    // a LOB column's segment (lob$.lobj#)
  std::string type_name() const;
  bool is_lob() const;
  bool is_long() const;
};

// One piece of a row stored as several: where it is and which stored columns it holds. A
// value too long for the room its piece has left is split: its first part ends the piece
// and the rest starts the next one, the column counting in both.
struct ks_piece_t {
  uint32_t dba = 0;
  uint16_t slot = 0;
  uint16_t first = 0;  // index of its first column
  uint16_t ncol = 0;
  uint16_t skip = 0;  // bytes of its first column the piece before holds (0: it starts here)
  uint16_t cut = 0;   // where its last column's part ends when the value goes on (0: it ends here)
  uint16_t room = 0;  // bytes the piece may take in its block
};

// A row too wide (more than 255 columns) or too long for one block is stored as pieces,
// each at most this many columns and bytes; a piece cut for length starts a new block. A
// value is split when at least kSplitRoom bytes are left for its first part. A piece after
// which its block takes other rows keeps kGrowRoom bytes of its block free to grow in.
constexpr int kPieceCols = 255;
constexpr int kPieceBytes = 7800;
constexpr int kSplitRoom = 400;
constexpr int kGrowRoom = kPieceBytes / 10;
// A LONG value longer than this is stored in parts over several pieces.
constexpr int kLongInline = 4000;

// Stored columns of a row (trailing NULLs are not stored), the values piece p holds (a
// split value by its part) and the row flag byte of piece i of a row's pieces.
int ks_stored_count(const std::vector<ks_val_t> &v);
void ks_piece_vals(const std::vector<ks_val_t> &v, const ks_piece_t &p, std::vector<ks_colval_t> *out);
uint8_t ks_piece_fb(const std::vector<ks_piece_t> &pc, size_t i);

struct ks_row_t {
  uint32_t dba = 0;  // the row's head piece
  uint16_t slot = 0;
  bool live = true;
  uint32_t live_pos = 0;
  std::vector<ks_val_t> v;
  std::vector<ks_piece_t> pieces;  // empty when the row is one piece
};

struct ks_table_t {
  uint32_t objn = 0;
  uint32_t user_no = 0;
  std::string owner, name;
  std::vector<ks_col_t> cols;  // in segcol order
  std::vector<int> pk;         // column indexes of the primary key
  std::vector<int> uk;         // column indexes of a unique key (optional)
  uint32_t pk_objn = 0, uk_objn = 0, pk_con = 0, uk_con = 0;
  // Index-organised (organization index): the rows are the leaf rows of the primary key,
  // whose columns lead the table; with an overflow segment (its table object ovf_objn).
  bool iot = false;
  uint32_t ovf_objn = 0;
  // storage
  uint32_t file = 4, seg_block = 0, cur_block = 0;
  uint16_t next_slot = 0, slots_per_block = 64;
  std::vector<ks_row_t> rows;
  std::vector<uint32_t> live;   // indexes of live rows
  std::vector<uint32_t> spare;  // indexes of rows gone for good (their storage is reused)
  bool dirty = false;           // rows differ from the SQLite copy
  // Table compression: 0 none, kCompressBasic, kCompressOltp. Rows of such a table are
  // logged now and then as a database logs rows of compressed blocks; comp_seq, counting
  // its changes, picks which (the same run gives the same redo).
  int compress = 0;
  uint32_t comp_seq = 0;
  std::string sql_name() const { return "\"" + owner + "." + name + "\""; }

  // Takes row ri out of the live rows (its slot stays allocated).
  void unlink(uint32_t ri) {
    ks_row_t &r = rows[ri];
    const uint32_t pos = r.live_pos, last = live.back();
    live[pos] = last;
    rows[last].live_pos = pos;
    live.pop_back();
    r.live = false;
  }
};

constexpr int kCompressBasic = 1, kCompressOltp = 2;

struct ks_sequence_t {
  uint32_t objn = 0;
  std::string owner, name;
  int64_t next = 1, increment = 1, cache = 20, highwater = 1;
};

enum ks_suplog_mode { kSupMin = 0, kSupPk = 1, kSupPkUi = 2, kSupAll = 3 };

// Container uids in record headers: the root of a container database is always 1;
// kOwnCon asks for the source's own uid (its pluggable database's, or 0 without one).
constexpr uint32_t kRootConUid = 1;
constexpr uint32_t kOwnCon = 0xFFFFFFFFu;

struct ks_db_cfg_t {
  std::string dir;  // directory of the database
  std::string name = "ORASIM";
  uint32_t db_block = 8192;  // data block size (rows per block)
  ks_redo_cfg_t redo;        // redo block size, byte order, version, thread, log size, archive
  int groups = 3;            // online log groups (of each instance)
  // A clustered database of this many instances (threads 1..n, named <name>1..<name>n),
  // one SCN sequence for all; 0 is a single instance writing thread redo.thread.
  int instances = 0;
  int suplog = kSupPk;
  bool force_logging = true;
  std::string charset = "AL32UTF8";
  std::string ncharset = "AL16UTF16";
  std::string pdb;             // pluggable database name ("" for none)
  uint32_t con_uid = 0;        // the pluggable database's uid stamped in its records; 0 without one
  uint32_t other_con_uid = 0;  // records of another container are interleaved when not 0
  int noise = 30;              // unrelated system activity per 100 transactions (may exceed 100)
  uint64_t seed = 1;
  std::string start_time = "2026-01-01 00:00:00";
  // Logs and archives in disk group asm_grp.name (plain files when empty), archives in a
  // second group asm_arch when named; images in <dir>/asm.
  ks_asm_cfg_t asm_grp;
  std::string asm_arch;
  bool asm_fine = true;  // online logs fine striped (archives are always coarse)
};

// One change as extract should see it, kept for end-to-end checks.
struct ks_expect_t {
  std::string op;  // INSERT, UPDATE, DELETE, QUICK INSERT
  const ks_table_t *t = nullptr;
  std::vector<std::pair<int, ks_val_t>> newv, oldv;  // column index, value (old: supplemental first)
  std::vector<std::vector<ks_val_t>> rows;           // QUICK INSERT rows
};

struct ks_txn_t;
struct ks_undo_t;
struct ks_lob_op_t;
struct ks_rowlist_t;

// A LOB whose contents take at most this many bytes is kept in its row, in the locator.
constexpr int kLobInRow = 3964;
// A LOB value kept out of line: its locator only names it.
constexpr size_t kLobLocatorOut = 20;
inline bool ks_lob_out_of_line(const ks_col_t &c, const ks_val_t &v) {
  return c.is_lob() && !v.is_null && v.b.size() == kLobLocatorOut;
}

// One instance of the database: the redo thread it writes, its log groups' writer, whether
// the thread is open, and what the log writer still holds of its commits.
constexpr int kMaxInstances = 16;
struct ks_inst_t {
  uint32_t thread = 1;
  std::string name;
  bool open = true;
  ks_redo_writer writer;
  bool write_start = true;   // its next record begins a redo write
  uint64_t held_commit = 0;  // SCN of the first commit appended and not yet written (0: none)
};

class ks_sim_db {
 public:
  ks_sim_db();
  ~ks_sim_db();
  ks_sim_db(const ks_sim_db &) = delete;
  ks_sim_db &operator=(const ks_sim_db &) = delete;

  // Create a new database in cfg.dir (fails when it exists), or open an existing one.
  int create(const ks_db_cfg_t &cfg);
  int open(const std::string &dir, const std::string &name);
  // Write rows, state and catalogue back and close the log. Idempotent.
  int close();
  // Path of the SQLite file (<dir>/<name>.db).
  std::string db_path() const;
  const ks_db_cfg_t &cfg() const { return cfg_; }
  sqlite3 *sql() const { return db_; }

  // ---- schema (each DDL is its own transaction: the dictionary rows it changes as row
  // changes of the dictionary tables, its 24.1 record and a commit in the redo) ----
  int create_user(const std::string &name);
  // org: 0 heap, 1 index-organised, 2 index-organised with an overflow segment.
  int create_table(const std::string &owner, const std::string &name, std::vector<ks_col_t> cols,
                   const std::vector<std::string> &pk, const std::string &ddl_text, int org = 0);
  // A dropped table goes to the recycle bin under a BIN$ name (its dictionary rows stay,
  // renamed) unless purge is set; purge_table removes a table from the bin by that name,
  // or by its own name (the last one of that name dropped).
  int drop_table(const std::string &owner, const std::string &name, bool purge = false);
  int purge_table(const std::string &owner, const std::string &name);
  // ALTER TABLE: a column added goes after every stored column and existing rows are not
  // rewritten (they end before it); a column dropped is removed from every row; a column
  // set unused stays in the rows under a hidden name until the table is dropped.
  int add_column(ks_table_t *t, ks_col_t c, const std::string &text);
  int drop_column(ks_table_t *t, const std::string &col, bool set_unused, const std::string &text);
  // Changes type, length and nullability of the column named c.name.
  int modify_column(ks_table_t *t, const ks_col_t &c, const std::string &text);
  int rename_column(ks_table_t *t, const std::string &from, const std::string &to, const std::string &text);
  int rename_table(ks_table_t *t, const std::string &to, const std::string &text);
  int truncate_table(ks_table_t *t, const std::string &text);
  // Indexes other than a table's primary key: dictionary rows only (no index redo).
  int create_index(ks_table_t *t, const std::string &name, const std::vector<std::string> &cols, bool unique,
                   const std::string &text);
  int drop_index(const std::string &owner, const std::string &name, const std::string &text);
  int create_sequence(const std::string &owner, const std::string &name, int64_t start, int64_t cache,
                      int64_t increment = 1);
  int alter_sequence(ks_sequence_t *s, int64_t increment, int64_t cache, const std::string &text);
  int drop_sequence(const std::string &owner, const std::string &name);
  ks_table_t *table(const std::string &owner, const std::string &name);
  const std::vector<std::unique_ptr<ks_table_t>> &tables() const { return tables_; }
  // Next value of a sequence (the dictionary row is updated in redo when the cache is used up).
  int64_t nextval(ks_sequence_t *s, ks_txn_t *tx);
  ks_sequence_t *sequence(const std::string &owner, const std::string &name);

  // ---- transactions ----
  ks_txn_t *begin();
  int insert(ks_txn_t *tx, ks_table_t *t, std::vector<ks_val_t> vals);
  // Row indexes of the rows the last insert or multi-row insert added.
  const std::vector<uint32_t> &inserted() const { return inserted_; }
  int insert_multi(ks_txn_t *tx, ks_table_t *t, std::vector<std::vector<ks_val_t>> rows);
  // A direct-path load: the rows go to new blocks above the table's high-water mark, each
  // block logged whole (24.6 and its 19.1 image), rows longer than a block's room chained
  // into the next blocks; no row or index redo. A rollback drops the rows without redo.
  // LOB values must be kept in the row.
  int load(ks_txn_t *tx, ks_table_t *t, std::vector<std::vector<ks_val_t>> rows);
  // Update columns cols (indexes) of live row ri with the given values.
  int update(ks_txn_t *tx, ks_table_t *t, uint32_t ri, const std::vector<int> &cols, std::vector<ks_val_t> vals);
  // Table compression of t (kCompress..., 0 none), kept with the database.
  int set_compression(ks_table_t *t, int kind);
  int remove(ks_txn_t *tx, ks_table_t *t, uint32_t ri);
  int lock_row(ks_txn_t *tx, ks_table_t *t, uint32_t ri);
  int savepoint(ks_txn_t *tx, const std::string &name);
  int rollback_to(ks_txn_t *tx, const std::string &name);
  int commit(ks_txn_t *tx);
  int rollback(ks_txn_t *tx);
  int audit(ks_txn_t *tx, const std::string &tag);
  // ---- LOBs: offsets count from 1, in characters (CLOB, NCLOB) or bytes (BLOB); data is
  // text for CLOB and NCLOB, bytes for BLOB. A change that leaves a LOB small enough stays
  // in its row (an ordinary update); one out of line is logged as a LOB operation: its
  // locator stream, the data, and the row change storing the new locator. ----
  // The value of LOB column c holding content (possibly empty, as EMPTY_CLOB()).
  int lob_value(const ks_col_t &c, const std::string &content, ks_val_t *out) const;
  // Writes data at offset (past the end: the gap is filled with blanks or zero bytes).
  int lob_write(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint64_t offset, const std::string &data);
  int lob_append(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, const std::string &data);
  int lob_trim(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint64_t len);
  // Replaces amount characters or bytes from offset with blanks or zero bytes.
  int lob_erase(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint64_t amount, uint64_t offset);
  // Unrelated system activity: redo of other layers and objects, in other transactions.
  int noise();
  // Called between two records of a change of a row stored as pieces, with the transaction
  // making it, and nothing else of it in progress: a database writes the records of other
  // sessions in between. The function may change rows of tables not stored as pieces in
  // other transactions; non-zero fails the change.
  void set_between_pieces(std::function<int(ks_txn_t *)> fn) { between_ = std::move(fn); }
  // Switch the log now.
  int switch_log();
  int flush() { return writer_->flush(); }
  void set_sync(bool sync, uint32_t flush_bytes) {
    for (auto &in : insts_) in->writer.set_sync(sync, flush_bytes);
    for (ks_asm_group *g : {asm_logs_.get(), asm_arch_.get()})
      if (g) g->set_sync(sync);
  }

  // ---- helpers ----
  // Value of column c from a readable text (NULL when null is true).
  int value_from_text(const ks_col_t &c, const std::string &text, bool null, ks_val_t *out) const;
  int value_to_text(const ks_col_t &c, const ks_val_t &v, std::string *out) const;
  std::mt19937_64 &rng() { return rng_; }
  uint64_t scn() const { return scn_; }
  uint32_t now() const { return uint32_t(clock_); }  // seconds since 1988 in the redo calendar
  void advance_clock(double seconds) { clock_ += seconds; }
  const std::string &clock_text() const;
  const ks_redo_writer &writer() const { return *writer_; }
  // ---- instances (numbered from 1; a database made without instances has one) ----
  int instances() const { return int(insts_.size()); }
  const ks_inst_t &inst(int k) const { return *insts_[size_t(k - 1)]; }
  // The instance whose session runs what follows: its transactions' redo goes to its thread.
  // Refused for an instance that is shut down.
  int set_instance(int k);
  int instance() const { return cur_inst_ + 1; }
  // Shutdown: the thread's current log is completed and archived and the thread closed (no
  // current log until startup, which opens it with the next sequence in the next group).
  // Refused while a transaction of the instance is open.
  int shutdown_instance(int k);
  int startup_instance(int k);
  // Expected changes of committed transactions, one JSON line each, when set.
  void set_expect_file(FILE *f) { expect_ = f; }
  // Each commit's SCN and the wall-clock time its redo was written ("SCN SECONDS\n"), for
  // measuring how long changes take to reach a target.
  void set_commit_times_file(FILE *f) { times_ = f; }
  uint64_t commits() const { return commits_; }
  uint64_t rollbacks() const { return rollbacks_; }

 private:
  friend struct ks_txn_t;
  int open_sql(bool create);
  void set_identity();
  int load();
  int save();
  // The piece layouts of a table's rows stored as pieces, kept beside its rows.
  int load_pieces(ks_table_t *t);
  int load_compression();
  // Rows of compressed tables: whether the next change of a row of t is logged as a
  // compressed block's row is (as a whole row image, an update as an overwrite); the
  // update written so (expected change and undo entry included), and its rollback.
  bool compressed_shape(ks_table_t *t);
  int overwrite_update(ks_txn_t *tx, ks_table_t *t, const ks_row_t &r, const std::vector<int> &cols,
                       const std::vector<ks_val_t> &nv);
  void overwrite_back(ks_table_t *t, const ks_row_t &r, const ks_undo_t &u);
  int save_pieces(const ks_table_t &t);
  int new_xid(uint64_t *xid);
  void free_xid(uint64_t xid);
  uint64_t next_scn() {
    scn_ += 1 + rng_() % 3;
    return scn_;
  }
  void rec_begin(uint8_t vld = 0, uint32_t con = kOwnCon);
  void rec_begin_follow(uint32_t con = kOwnCon);
  uint16_t con_id(uint32_t con_uid) const;
  void rec_segment(const ks_table_t *t);
  void space_upkeep(const ks_table_t *t, ks_rowref_t ref);
  int index_record(ks_txn_t *tx, ks_table_t *t, const std::vector<ks_val_t> *old, const std::vector<ks_val_t> *nv,
                   ks_rowref_t ref, uint8_t rb_code = 0);
  // Container of a piece of system activity: in a pluggable database, half of it is the
  // root's (uid 1), which the source's readers skip.
  uint32_t noise_con();
  int rec_end(uint64_t scn);
  int txn_start(ks_txn_t *tx, const std::string &user);
  ks_rowref_t alloc_row(ks_table_t *t);
  uint32_t store_row(ks_table_t *t, ks_row_t row);
  // A row inserted (its place and values set) is stored, with its undo and expected change.
  void row_inserted(ks_txn_t *tx, ks_table_t *t, ks_row_t row);
  // The rows of a multi-row insert, at refs.
  void rows_inserted(ks_txn_t *tx, ks_table_t *t, std::vector<std::vector<ks_val_t>> rows,
                     const std::vector<ks_rowref_t> &refs);
  // Columns (indexes, segment order) an update logs as supplemental: the configured key
  // or all columns, less the changed ones.
  void build_suplog_update(const ks_table_t *t, const std::vector<int> &changed, std::vector<int> *pick) const;
  int undo_change(ks_txn_t *tx, size_t upto, bool partial);
  int undo_qmi(ks_txn_t *tx, ks_table_t *t, const ks_rowlist_t &rows, uint8_t rb_code);
  // Rolls back a load: its rows leave the table.
  void unload(ks_table_t *t, const ks_rowlist_t &rows);
  // Rows stored as pieces: place_row places a new row of n stored columns and returns its
  // head, with its pieces (none when the row fits in one); the others write one record per piece,
  // a change with its undo (rb_code 0) or the compensation of a rollback (rb_code 6 or
  // 11). Updates take the changed columns' indexes in segment order and nv the values they
  // get (in a rollback, those restored); a piece an update grows beyond its block's room
  // moves to a new block, its predecessor's forwarding address following it, and the
  // rollback moves it back to where it was in before (the pieces before the update).
  ks_rowref_t place_row(ks_table_t *t, const std::vector<ks_val_t> &v, int n, std::vector<ks_piece_t> *out);
  // A row kept whole is logged as one piece, which holds at most kPieceCols columns and
  // kPieceBytes bytes: one that does not fit (row at, 0.0 for a new one) is refused with an
  // error rather than logged as no database writes it.
  int whole_row(const ks_table_t *t, const std::vector<ks_val_t> &v, ks_rowref_t at) const;
  int insert_pieces(ks_txn_t *tx, ks_table_t *t, const std::vector<ks_val_t> &v, const std::vector<ks_piece_t> &pc,
                    uint8_t rb_code);
  int delete_pieces(ks_txn_t *tx, ks_table_t *t, const ks_row_t &r, uint8_t rb_code);
  int update_pieces(ks_txn_t *tx, ks_table_t *t, ks_row_t &r, const std::vector<int> &cols,
                    const std::vector<ks_val_t> &old, const std::vector<ks_val_t> &nv, const ks_suplog_t &sup,
                    uint8_t rb_code, const std::vector<ks_piece_t> &before = {});
  // Begins a record of a change of a row of t stored as pieces; returns its SCN.
  uint64_t piece_begin(const ks_table_t *t);
  // Ends a record of a change of a row stored as pieces; unless it is the change's last, the
  // records of other transactions may follow (set_between_pieces).
  int piece_end(ks_txn_t *tx, uint64_t scn, bool last);
  // An update that makes a row of one piece outgrow its block, or changes a value split
  // across pieces of a row, or grows a piece past what any block holds, moves the row to new
  // blocks, its head staying in place as a forwarding stub; the rollback of such an update
  // moves it back to its pieces before (r.v then holds the values restored).
  bool outgrows_block(const ks_row_t &r, const std::vector<int> &cols, const std::vector<ks_val_t> &nv) const;
  int migrate_row(ks_txn_t *tx, ks_table_t *t, ks_row_t &r, const std::vector<int> &cols,
                  const std::vector<ks_val_t> &nv, const ks_suplog_t &sup);
  int unmigrate_row(ks_txn_t *tx, ks_table_t *t, ks_row_t &r, const std::vector<ks_piece_t> &before, uint8_t rb_code);
  // Row changes of index-organised tables (sim_iot.cpp): leaf redo of the primary key,
  // one record per leaf row changed; an update of the key deletes the old leaf row and
  // inserts the new one. iot_undo writes the compensation of undo entry u (rb_code 6 or
  // 11) and puts the rows back as they were.
  int iot_insert(ks_txn_t *tx, ks_table_t *t, std::vector<ks_val_t> vals);
  int iot_insert_multi(ks_txn_t *tx, ks_table_t *t, std::vector<std::vector<ks_val_t>> rows);
  int iot_update(ks_txn_t *tx, ks_table_t *t, uint32_t ri, const std::vector<int> &cols, std::vector<ks_val_t> vals);
  int iot_remove(ks_txn_t *tx, ks_table_t *t, uint32_t ri);
  int iot_undo(ks_txn_t *tx, ks_undo_t &u, uint8_t rb_code);
  // One leaf change of row values v in its own record: the undo (unless rb_code) and the
  // redo of leaf operation code.
  int iot_leaf(ks_txn_t *tx, ks_table_t *t, ks_rowref_t ref, uint8_t code, const std::vector<ks_val_t> &v,
               uint8_t rb_code);
  // The same for a row whose non-key columns from keep on are in the overflow segment.
  int iot_leaf_spilled(ks_txn_t *tx, ks_table_t *t, ks_rowref_t ref, uint8_t code, const std::vector<ks_colval_t> &key,
                       const std::vector<ks_colval_t> &row, size_t keep, uint8_t rb_code);
  // An update of non-key columns of a spilled row that keeps its split (the overflow
  // piece holds the columns from ovf_from on): old to nv, or back (rb_code 6 / 11).
  int iot_split_update(ks_txn_t *tx, ks_table_t *t, const ks_row_t &r, const std::vector<int> &cols,
                       const std::vector<ks_val_t> &old, const std::vector<ks_val_t> &nv, size_t ovf_from,
                       uint8_t rb_code);
  int commit_record(uint64_t xid, bool rollback, uint64_t *scn);
  int commit_point();
  // The SCN readers may be told is current: never above a commit that some thread's log
  // writer still holds, so that a reader at the end of a thread's log knows every commit of
  // that thread below it is there. Published now and then, and at switches and close.
  uint64_t safe_scn();
  int publish_scn();
  bool no_instance(int k) const;  // k names no instance (the error is set)
  int open_instances(const std::vector<ks_log_group_t> &all, const std::map<std::string, std::string> &kv);
  std::string state_key(const char *base, size_t i) const;
  std::string thread_sql(size_t i);
  int lock_db();
  void write_expect(ks_txn_t *tx, uint64_t scn);
  int catalog_log_event(size_t i, const ks_log_event_t &e);
  int exec(const char *sql);
  // A DDL transaction: the dictionary rows it changes are changed in the catalogue and
  // logged as row changes of the dictionary tables in its transaction, which ddl_end closes
  // with the statement's own record (24.1) and the commit. Readers of the catalogue see
  // the statement's rows all at once; one that fails half way is undone there and ends in
  // a rollback in the redo.
  struct ks_ddl_t {
    ks_sim_db *db = nullptr;
    ks_txn_t *tx = nullptr;
    std::string user;
    ks_ddl_t() = default;
    ks_ddl_t(const ks_ddl_t &) = delete;
    ks_ddl_t &operator=(const ks_ddl_t &) = delete;
    ~ks_ddl_t() {
      if (db) db->ddl_abort(this);
    }
  };
  void ddl_abort(ks_ddl_t *d);
  int ddl_begin(ks_ddl_t *d, const std::string &user);
  int ddl_end(ks_ddl_t *d, uint32_t objn, const std::string &text, const std::string &owner, const std::string &name,
              uint8_t type);
  // values: the row's SQL value list; set: an SQL SET list; where: an SQL condition.
  int sys_insert(ks_ddl_t *d, const char *tab, const std::string &values);
  int sys_update(ks_ddl_t *d, const char *tab, const std::string &set, const std::string &where);
  int sys_delete(ks_ddl_t *d, const char *tab, const std::string &where);
  // One row change of dictionary table sys_objn: an insert (old null), a delete (nv null)
  // or an update of every column.
  int sys_log(ks_ddl_t *d, uint32_t sys_objn, int64_t rowid, const std::vector<ks_val_t> *old,
              const std::vector<ks_val_t> *nv);
  int sys_table_rows(ks_ddl_t *d, const ks_table_t &t);
  // Deletes the dictionary rows of table objn and of its indexes.
  int purge_rows(ks_ddl_t *d, uint32_t objn);
  int user_table_sql(const ks_table_t &t);
  // LOBs: a CLOB held as two bytes per character out of line (multi-byte character set);
  // the stream of one LOB operation (locator vectors and data, sim_lob.cpp); the update of
  // a LOB's locator that ends it; an insert or update with LOBs out of line.
  bool two_byte(const ks_col_t &c) const;
  int lob_stream(ks_txn_t *tx, ks_table_t *t, const ks_row_t &r, const ks_lob_op_t &op);
  int lob_locator_update(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, ks_val_t nv);
  int lob_insert(ks_txn_t *tx, ks_table_t *t, std::vector<ks_val_t> vals);
  // Writes LOB value nv (out of line) whole into column col of row ri, nset saying whether
  // the stream first empties it; then stores its locator.
  int lob_fill_new(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint16_t nset, ks_val_t nv);
  int lob_update(ks_txn_t *tx, ks_table_t *t, uint32_t ri, const std::vector<int> &cols, std::vector<ks_val_t> vals);
  int lob_change(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint8_t op, uint64_t offset, uint64_t amount,
                 std::string after);
  // A load stores a LOB out of line in data blocks of its own, named by the row's locator:
  // lob_load_node gives the locator v (out of line) the index node naming new blocks for
  // its data; lob_load_blocks logs the blocks of the row's LOBs, one record each;
  // lob_load_unnode takes the node off again (the row as later changes see it).
  int lob_load_node(const ks_col_t &c, ks_val_t *v);
  int lob_load_blocks(ks_txn_t *tx, ks_table_t *t, const std::vector<ks_val_t> &row);
  static void lob_load_unnode(const ks_col_t &c, ks_val_t *v);

  // Disk groups of an ASM database: the logs', the archives' (when another), the store
  // the writer reaches them through. Declared before the writer, which uses them to the end.
  int asm_setup(bool create);
  std::string asm_space_sql();
  std::string asm_alias_sql(const std::string &name);

  ks_db_cfg_t cfg_;
  sqlite3 *db_ = nullptr;
  std::unique_ptr<ks_asm_group> asm_logs_, asm_arch_;
  std::unique_ptr<ks_asm_log_store> asm_store_;
  std::vector<std::unique_ptr<ks_inst_t>> insts_;
  size_t cur_inst_ = 0;
  ks_redo_writer *writer_ = nullptr;  // the current instance's
  ks_redo_record rec_;
  std::mt19937_64 rng_;
  uint64_t scn_ = 0;
  double clock_ = 0;
  uint32_t next_objn_ = 0, next_user_ = 0, next_con_ = 0;
  bool write_start_ = true;    // the next record begins a redo write (68-byte header)
  int lock_fd_ = -1;           // held while this process writes the database
  double published_at_ = 0;    // monotonic time of the last current SCN published
  uint64_t session_txns_ = 0;  // transactions started by this run (sessions take 16 each)
  std::map<std::string, uint32_t> users_;
  std::vector<std::unique_ptr<ks_table_t>> tables_;
  std::vector<std::unique_ptr<ks_sequence_t>> seqs_;
  std::vector<std::unique_ptr<ks_txn_t>> txns_;
  // undo segments 1..n (n = size / kUndoSlots, kUndoSegs or more), slots
  // 0..kUndoSlots-1: wrap counters and use
  std::vector<uint32_t> wrap_;
  std::vector<uint8_t> busy_;
  uint32_t next_usn_ = 0;
  uint32_t next_file_block_[16] = {};
  std::string switch_sql_;  // catalogue rows of the log a switch has finished, until the next log starts
  FILE *expect_ = nullptr;
  FILE *times_ = nullptr;
  std::vector<uint32_t> inserted_;
  std::function<int(ks_txn_t *)> between_;
  bool in_between_ = false;
  uint64_t commits_ = 0, rollbacks_ = 0;
  bool open_ = false;
  mutable uint64_t next_lob_id_ = 0;
  uint32_t next_lob_block_ = 0;
  bool lob_inner_ = false;  // a change that is part of a LOB operation
  mutable uint64_t clock_sec_ = ~0ull;
  mutable std::string clock_txt_;
};

}  // namespace ks::sim
