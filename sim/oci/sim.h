// Internal state of liborasim, the OCI library over SQLite: handle records, the Oracle
// dialect translator, value conversion between Oracle's bind forms and SQLite values,
// character sets, errors and injected faults. Every handle begins with a magic word and
// its OCI type, checked on entry to each exported call.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "oci/oci_api.h"

namespace orasim {

constexpr uint32_t kMagic = 0x4F53494Du;  // "OSIM"

struct Handle {
  uint32_t magic = kMagic;
  uint32_t htype = 0;
};

struct ErrRec {
  int code = 0;
  std::string msg;  // "ORA-nnnnn: text"
};

struct Error;

struct Env : Handle {
  ub2 csid = 873;    // AL32UTF8 unless NLS_LANG names another
  ub2 ncsid = 2000;  // AL16UTF16
  Error *first_err = nullptr;
};

struct RowErr {
  ub4 offset = 0;
  ErrRec err;
};

struct Error : Handle {
  Env *env = nullptr;
  bool has = false;
  ErrRec rec;
  ub4 row_offset = 0;             // OCI_ATTR_DML_ROW_OFFSET of a per-row error
  std::vector<RowErr> rows;       // per-row errors of the last batch execution
  std::vector<Error *> children;  // row-error handles handed out by OCIParamGet
};

// Faults injected from outside: one entry per KS$FAULTS row or ORASIM_FAULTS item.
struct Fault {
  int64_t key = 0;   // row id in KS$FAULTS, or a negative index for the environment
  std::string kind;  // refuse, drop_after, fail_exec, fail_from
  long arg = 0;      // calls or executions still to go
  int err = 0;
  bool fired = false;
};

struct Server : Handle {
  Env *env = nullptr;
  sqlite3 *db = nullptr;
  std::string path;
  ub4 timeout_ms = 0;
  uint64_t txn = 0;  // counts ended transactions: a LOB locator is good for one only
};

struct Lob;

struct Session : Handle {
  Env *env = nullptr;
  std::string user, password, schema;
  bool begun = false;
  bool dropped = false;  // the connection was lost: every call fails with ORA-03114
  Server *srv = nullptr;
  std::vector<Fault> faults;
  int64_t data_version = -1;
  std::vector<Lob *> open_lobs;  // opened and not yet closed, reported at commit
};

struct SvcCtx : Handle {
  Env *env = nullptr;
  Server *srv = nullptr;
  Session *ses = nullptr;
};

struct Stmt;

struct Bind : Handle {
  Stmt *st = nullptr;
  ub4 pos = 0;
  uint8_t *valp = nullptr;
  sb4 vsz = 0;
  ub2 dty = 0;
  uint8_t *indp = nullptr;
  uint8_t *alenp = nullptr;
  uint8_t *rcodep = nullptr;
  ub4 vskip = 0, iskip = 2, askip = 2, rskip = 2;
  ub2 csid = 0;  // 0: the environment's
  ub1 csform = SQLCS_IMPLICIT;
  ub4 maxdata = 0;
  ub4 mode = 0;
  std::string scratch;  // converted text of the row being executed
  // A value supplied at execution time (OCI_DATA_AT_EXEC), gathered piece by piece:
  // the piece set by OCIStmtSetPieceInfo is taken by the next execution.
  std::string pw_data;
  bool pw_null = false;
  bool pw_done = false;  // its last piece has arrived
  bool pw_set = false;   // a piece waits for the next execution
  const uint8_t *pw_buf = nullptr;
  ub4 pw_len = 0;
  ub1 pw_piece = 0;
};

struct Define : Handle {
  Stmt *st = nullptr;
  ub4 pos = 0;
  uint8_t *valp = nullptr;
  sb4 vsz = 0;
  ub2 dty = 0;
  uint8_t *indp = nullptr;
  uint8_t *rlenp = nullptr;
  uint8_t *rcodep = nullptr;
  ub4 vskip = 0, iskip = 2, rskip = 2, cskip = 2;
  ub2 csid = 0;
  ub1 csform = SQLCS_IMPLICIT;
};

enum Kind {
  kUnknown = 0,
  kSelect = 1,
  kUpdate = 2,
  kDelete = 3,
  kInsert = 4,
  kCreate = 5,
  kDrop = 6,
  kOther = 7,
  kAlter = 8  // any other DDL: its work is in Translated::steps
};

// One SQLite statement of a DDL; when `none` is not 0 and the statement changes no row,
// the DDL fails with that Oracle error (the object it names does not exist).
struct Step {
  std::string sql;
  int none = 0;
};

struct ColDef {
  std::string name, type;
  long length = 0;
  bool nullable = true;
};

// An Oracle statement translated for SQLite.
struct Translated {
  Kind kind = kUnknown;
  std::string sql;
  int ninput = 0;            // input placeholders ?1..?n, in order of appearance
  int returning_pos = 0;     // bind position receiving the returned ROWID, 0 for none
  std::string table;         // CREATE / DROP: the SQLite table name
  std::string owner, name;   // and its Oracle owner and name
  std::vector<ColDef> cols;  // CREATE: the columns
  // DDL: run in order after `sql`, in the DDL's own transaction, together with the
  // catalogue rows that describe the result.
  std::vector<Step> steps;
  // SELECT ... FOR UPDATE of one table: the SQLite table, and the row id added as the
  // last result column so that a LOB column can be fetched as a locator of its row.
  std::string lob_table;
  bool rowid_last = false;
};

struct Stmt : Handle {
  Env *env = nullptr;
  std::string text;
  Translated tr;
  bool translated = false;
  std::string tr_schema;  // the current schema the translation resolved names with
  sqlite3_stmt *sst = nullptr;
  sqlite3 *db = nullptr;       // the connection sst belongs to
  SvcCtx *svc = nullptr;       // set by the last execution
  std::vector<Bind *> binds;   // index = position - 1
  std::vector<Define *> defs;  // index = position - 1
  bool cursor = false;         // a query is open
  bool pending = false;        // sst holds a row not yet delivered
  ub4 rows_fetched = 0;
  ub4 row_count = 0;
  ub4 num_errors = 0;
  ub4 pw_bind = 0;  // position of the bind whose value execution is waiting for, 0 none
};

// A LOB locator: empty (bound to store an empty LOB), or located on one column of one
// row by a SELECT ... FOR UPDATE, within the transaction that selected it.
struct Lob : Handle {
  bool empty = false;
  bool open = false;
  bool located = false;
  bool clob = false;
  Session *ses = nullptr;
  uint64_t txn = 0;
  std::string table, column;  // SQLite names, quoted
  int64_t rowid = 0;
  // A write given in pieces: where the next piece goes, and what has been written.
  bool streaming = false;
  oraub8 stream_pos = 0, stream_bytes = 0, stream_chars = 0;
};

// errors.cpp
void set_error(Error *e, int code, const std::string &detail = std::string());
std::string ora_message(int code, const std::string &detail);
// Map a failed SQLite call to an Oracle error.
void set_sqlite_error(Error *e, sqlite3 *db, int rc);

// charset.cpp
const char *charset_name(ub2 id);
ub2 charset_id(const char *name);
int charset_maxbytes(ub2 id);
// Convert; unconvertible characters become '?'. -1 for an unknown character set.
int charset_convert(ub2 from, ub2 to, const void *src, size_t n, std::string *out);
bool charset_is_utf8(ub2 id);

// sql.cpp: 0, or the Oracle error number with *detail.
int translate(const std::string &text, const std::string &schema, sqlite3 *db, Translated *out, std::string *detail);
void register_functions(sqlite3 *db);
// Creates the dictionary tables of sequences and triggers when missing.
void ensure_dictionary(sqlite3 *db);

// value.cpp: one bound value into the statement (placeholder index idx) for array row r.
// 0, or an Oracle error number.
int bind_value(Bind *b, sqlite3_stmt *sst, int idx, ub4 r, ub2 env_csid, ub2 env_ncsid);
// One column of the current row into define slot r. 0, 1406 when cut (a warning), or an
// Oracle error number.
int fetch_value(Define *d, sqlite3_stmt *sst, int col, ub4 r, ub2 env_csid, ub2 env_ncsid);
// The ROWID text for a SQLite rowid (18 characters).
std::string rowid_text(int64_t rowid);

// lob.cpp
// One column of the current row as a LOB locator into define slot r. 0 or an Oracle
// error number.
int fetch_locator(Define *d, sqlite3_stmt *sst, int col, ub4 r);
// The value a bound locator stands for: an empty LOB, or a copy of its row's LOB. 0 or
// an Oracle error number.
int bind_locator(Bind *b, const uint8_t *v, long len, sqlite3_stmt *sst, int idx);
// The end of a transaction of s: its locators are no longer good; at a commit the LOBs
// still open are closed and reported (true).
bool lobs_end_transaction(Session *s);
void lob_forget(Lob *l);

// fault.cpp
void faults_load(Session *s);
void faults_refresh(Session *s);
// The error an execution must fail with (0 none), counting the call.
int faults_on_execute(Session *s);
// Count a call against drop_after; true when the session is now lost.
bool faults_on_call(Session *s);
bool faults_refused(Session *s, int *err);

// A handle of the expected type, or null.
template <typename T>
T *as(const void *p, uint32_t type) {
  T *h = static_cast<T *>(const_cast<void *>(p));
  if (h == nullptr || h->magic != kMagic || h->htype != type) return nullptr;
  return h;
}

// Runs an exported call's body; nothing thrown (memory exhaustion) crosses the C boundary.
template <typename F>
sword guard(F &&body) {
  try {
    return body();
  } catch (...) {
    return OCI_ERROR;
  }
}

// api.cpp: checks before a call reaches the database (0 to go on, else the status);
// losing a session rolls its transaction back.
sword session_call(Session *s, Error *e);
void drop_session(Session *s);

// stmt.cpp
void stmt_free(Stmt *s);
ub2 stmt_type(const Stmt *s);

}  // namespace orasim
