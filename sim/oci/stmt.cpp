// Statement calls of liborasim: prepare, binds and defines with array strides, execute
// (queries, array DML with batch errors and returned ROWIDs, DDL) and array fetch. The
// translated text and the SQLite statement are kept on the OCI statement handle and
// reused while the text and the current schema stay the same, so an array of N rows
// costs one SQLite prepare and N bind/step/reset rounds inside one transaction.
#pragma GCC visibility push(default)
#include "oci/oci_api.h"
#pragma GCC visibility pop

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sim/oci/sim.h"

using namespace orasim;

namespace orasim {

void stmt_reset(Stmt *s) {
  if (s->sst != nullptr) sqlite3_finalize(s->sst);
  s->sst = nullptr;
  s->db = nullptr;
  s->translated = false;
  s->cursor = false;
  s->pending = false;
}

void stmt_free(Stmt *s) {
  stmt_reset(s);
  for (Bind *b : s->binds) delete b;
  for (Define *d : s->defs) delete d;
  delete s;
}

ub2 stmt_type(const Stmt *s) {
  switch (s->tr.kind) {
    case kSelect:
      return 1;
    case kUpdate:
      return 2;
    case kDelete:
      return 3;
    case kInsert:
      return 4;
    case kCreate:
      return 5;
    case kDrop:
      return 6;
    default:
      return 0;
  }
}

}  // namespace orasim

namespace {

// Translate and prepare for this connection and schema unless already done.
sword ensure_prepared(Stmt *st, Session *ses, Error *e) {
  sqlite3 *db = ses->srv->db;
  if (st->translated && st->sst != nullptr && st->db == db && st->tr_schema == ses->schema) return OCI_SUCCESS;
  stmt_reset(st);
  std::string detail;
  int code = translate(st->text, ses->schema, db, &st->tr, &detail);
  if (code != 0) {
    set_error(e, code, detail);
    return OCI_ERROR;
  }
  int rc = sqlite3_prepare_v3(db, st->tr.sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st->sst, nullptr);
  if (rc != SQLITE_OK) {
    set_sqlite_error(e, db, rc);
    sqlite3_finalize(st->sst);
    st->sst = nullptr;
    return OCI_ERROR;
  }
  st->translated = true;
  st->db = db;
  st->tr_schema = ses->schema;
  return OCI_SUCCESS;
}

Bind *bind_at(Stmt *st, int pos) {
  return pos >= 1 && static_cast<size_t>(pos) <= st->binds.size() ? st->binds[static_cast<size_t>(pos) - 1] : nullptr;
}

// Bind the input placeholders for array row r. 0 or an Oracle error number.
int bind_row(Stmt *st, ub4 r) {
  const Env *env = st->env;
  for (int k = 1; k <= st->tr.ninput; k++) {
    Bind *b = bind_at(st, k);
    if (b == nullptr) return 1008;
    int code = bind_value(b, st->sst, k, r, env->csid, env->ncsid);
    if (code != 0) return code;
  }
  return 0;
}

void put_rowid(Bind *b, ub4 r, const std::string *rowid) {
  uint8_t *ind = b->indp != nullptr ? b->indp + static_cast<size_t>(r) * b->iskip : nullptr;
  uint8_t *alen = b->alenp != nullptr ? b->alenp + static_cast<size_t>(r) * b->askip : nullptr;
  if (rowid == nullptr) {
    int16_t m1 = -1;
    uint16_t z = 0;
    if (ind != nullptr) memcpy(ind, &m1, 2);
    if (alen != nullptr) memcpy(alen, &z, 2);
    return;
  }
  uint8_t *v = b->valp != nullptr ? b->valp + static_cast<size_t>(r) * b->vskip : nullptr;
  size_t cap = b->vsz > 0 ? static_cast<size_t>(b->vsz) : 0;
  size_t room = b->dty == SQLT_STR ? (cap > 0 ? cap - 1 : 0) : cap;
  size_t n = std::min(rowid->size(), room);
  if (v != nullptr) {
    memcpy(v, rowid->data(), n);
    if (b->dty == SQLT_STR && cap > 0) v[n] = '\0';
  }
  int16_t zero = 0;
  uint16_t len = static_cast<uint16_t>(n);
  if (ind != nullptr) memcpy(ind, &zero, 2);
  if (alen != nullptr) memcpy(alen, &len, 2);
}

// The step of one array row: 0, or an Oracle error with *e filled.
int run_row(Stmt *st, ub4 r, Error *rowerr) {
  sqlite3_stmt *sst = st->sst;
  int code = bind_row(st, r);
  if (code != 0) {
    set_error(rowerr, code, code == 1008 ? "" : "row " + std::to_string(r));
    sqlite3_reset(sst);
    return code;
  }
  Bind *out = st->tr.returning_pos ? bind_at(st, st->tr.returning_pos) : nullptr;
  bool got = false;
  std::string rowid;
  int rc;
  while ((rc = sqlite3_step(sst)) == SQLITE_ROW) {
    if (!got) rowid = rowid_text(sqlite3_column_int64(sst, 0));
    got = true;
  }
  if (rc != SQLITE_DONE) {
    set_sqlite_error(rowerr, st->db, rc);
    sqlite3_reset(sst);
    if (out != nullptr) put_rowid(out, r, nullptr);
    return rowerr->rec.code;
  }
  sqlite3_reset(sst);
  st->row_count += static_cast<ub4>(sqlite3_changes(st->db));
  if (out != nullptr) put_rowid(out, r, got ? &rowid : nullptr);
  return 0;
}

// The next bind after position `after` whose value comes at execution time, or null.
Bind *next_piecewise(Stmt *st, ub4 after) {
  for (int k = static_cast<int>(after) + 1; k <= st->tr.ninput; k++) {
    Bind *b = bind_at(st, k);
    if (b != nullptr && (b->mode & OCI_DATA_AT_EXEC)) return b;
  }
  return nullptr;
}

// Values bound for execution time: the first execution asks for the first one's data
// (OCI_NEED_DATA), each further execution takes the piece set on its bind, and the row
// runs once the last piece of the last such value has come. OCI_SUCCESS: run the row.
sword gather_pieces(Stmt *st, Error *e, ub4 iters) {
  if (st->pw_bind == 0) {
    Bind *b = next_piecewise(st, 0);
    if (b == nullptr) return OCI_SUCCESS;
    if (iters != 1) {
      set_error(e, 3001, "values at execution time for more than one row");
      return OCI_ERROR;
    }
    for (Bind *x : st->binds)
      if (x != nullptr) {
        x->pw_data.clear();
        x->pw_null = x->pw_done = x->pw_set = false;
      }
    st->pw_bind = b->pos;
    return OCI_NEED_DATA;
  }
  Bind *b = bind_at(st, static_cast<int>(st->pw_bind));
  if (b == nullptr || !b->pw_set) {
    set_error(e, 3129);
    return OCI_ERROR;
  }
  b->pw_set = false;
  if (b->pw_null)
    b->pw_data.clear();
  else if (b->pw_len > 0)
    b->pw_data.append(reinterpret_cast<const char *>(b->pw_buf), b->pw_len);
  if (b->pw_piece != OCI_LAST_PIECE && b->pw_piece != OCI_ONE_PIECE) return OCI_NEED_DATA;
  b->pw_done = true;
  Bind *next = next_piecewise(st, b->pos);
  st->pw_bind = next != nullptr ? next->pos : 0;
  return next != nullptr ? OCI_NEED_DATA : OCI_SUCCESS;
}

sword execute_dml(Stmt *st, Error *e, ub4 iters, ub4 rowoff, ub4 mode) {
  if (iters == 0) {
    set_error(e, 24333);
    return OCI_ERROR;
  }
  if (sword pw = gather_pieces(st, e, iters); pw != OCI_SUCCESS) return pw;
  if (st->tr.returning_pos && bind_at(st, st->tr.returning_pos) == nullptr) {
    set_error(e, 1008);
    return OCI_ERROR;
  }
  sqlite3 *db = st->db;
  if (sqlite3_get_autocommit(db)) {
    int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      set_sqlite_error(e, db, rc);
      return OCI_ERROR;
    }
  }
  bool batch = (mode & OCI_BATCH_ERRORS) != 0;
  Error rowerr;
  for (ub4 r = rowoff; r < rowoff + iters; r++) {
    if (run_row(st, r, &rowerr) == 0) continue;
    if (sqlite3_get_autocommit(db)) {
      // SQLite rolled the whole transaction back (disk full, I/O error): the rows of
      // earlier executions are gone too, so this is a lost session, not a failed row.
      drop_session(st->svc->ses);
      set_error(e, 3113, rowerr.rec.msg);
      return OCI_ERROR;
    }
    if (!batch) {
      e->has = true;
      e->rec = rowerr.rec;
      return OCI_ERROR;
    }
    RowErr re;
    re.offset = r;
    re.err = rowerr.rec;
    e->rows.push_back(re);
  }
  st->num_errors = static_cast<ub4>(e->rows.size());
  if (st->num_errors > 0) {
    set_error(e, 24381);
    return OCI_ERROR;
  }
  return OCI_SUCCESS;
}

// DDL commits the transaction in progress first and is committed by itself, as Oracle
// does; the statement, its further steps and the catalogue rows that describe the
// result go together or not at all.
sword execute_ddl(Stmt *st, Error *e) {
  sqlite3 *db = st->db;
  if (!sqlite3_get_autocommit(db)) {
    int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      set_sqlite_error(e, db, rc);
      return OCI_ERROR;
    }
  }
  if (st->svc != nullptr) lobs_end_transaction(st->svc->ses);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  ensure_dictionary(db);
  int rc = sqlite3_step(st->sst);
  sqlite3_reset(st->sst);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    set_sqlite_error(e, db, rc);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return OCI_ERROR;
  }
  for (const Step &s : st->tr.steps) {
    rc = sqlite3_exec(db, s.sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK || (s.none != 0 && sqlite3_changes(db) == 0)) {
      if (rc != SQLITE_OK)
        set_sqlite_error(e, db, rc);
      else
        set_error(e, s.none);
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return OCI_ERROR;
    }
  }
  rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    set_sqlite_error(e, db, rc);
    return OCI_ERROR;
  }
  // The statement's own schema changed: prepare again on the next execution.
  stmt_reset(st);
  return OCI_SUCCESS;
}

// Deliver up to nrows rows into the defines.
sword fetch_rows(Stmt *st, Error *e, ub4 nrows) {
  ub4 k = 0;
  bool cut = false;
  int ncols = sqlite3_column_count(st->sst);
  for (Define *d : st->defs) {
    if (d != nullptr && static_cast<int>(d->pos) > ncols) {
      set_error(e, 1007);
      return OCI_ERROR;
    }
    if (d != nullptr && d->vsz == 2147483647) {
      set_error(e, 3001, "piecewise fetch is not served by this library");
      return OCI_ERROR;
    }
  }
  while (k < nrows && st->pending) {
    for (Define *d : st->defs) {
      if (d == nullptr) continue;
      int code = fetch_value(d, st->sst, static_cast<int>(d->pos) - 1, k, st->env->csid, st->env->ncsid);
      if (code == 1406) {
        cut = true;
      } else if (code != 0) {
        set_error(e, code);
        st->rows_fetched = k;
        return OCI_ERROR;
      }
    }
    k++;
    int rc = sqlite3_step(st->sst);
    if (rc == SQLITE_ROW) continue;
    st->pending = false;
    if (rc != SQLITE_DONE) {
      set_sqlite_error(e, st->db, rc);
      st->rows_fetched = k;
      st->row_count += k;
      return OCI_ERROR;
    }
  }
  st->rows_fetched = k;
  st->row_count += k;
  if (k < nrows) {
    set_error(e, 1403);
    return OCI_NO_DATA;
  }
  if (cut) {
    set_error(e, 1406);
    return OCI_SUCCESS_WITH_INFO;
  }
  return OCI_SUCCESS;
}

}  // namespace

extern "C" {

sword OCIStmtPrepare(OCIStmt *stmtp, OCIError *errhp, const OraText *stmt, ub4 stmt_len, ub4 language, ub4 mode) {
  (void)language, (void)mode;
  return guard([&]() -> sword {
    Stmt *st = as<Stmt>(stmtp, OCI_HTYPE_STMT);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || e == nullptr || stmt == nullptr) return OCI_INVALID_HANDLE;
    std::string text(reinterpret_cast<const char *>(stmt), stmt_len);
    if (text != st->text || !st->translated) {
      // A new text needs new binds and defines, as with Oracle's client.
      stmt_reset(st);
      st->text = text;
      for (Bind *b : st->binds) delete b;
      for (Define *d : st->defs) delete d;
      st->binds.clear();
      st->defs.clear();
    } else if (st->sst != nullptr) {
      sqlite3_reset(st->sst);
    }
    st->cursor = false;
    st->pending = false;
    st->rows_fetched = 0;
    st->row_count = 0;
    st->num_errors = 0;
    st->pw_bind = 0;
    return OCI_SUCCESS;
  });
}

sword OCIBindByPos(OCIStmt *stmtp, OCIBind **bindp, OCIError *errhp, ub4 position, void *valuep, sb4 value_sz, ub2 dty,
                   void *indp, ub2 *alenp, ub2 *rcodep, ub4 maxarr_len, ub4 *curelep, ub4 mode) {
  (void)maxarr_len, (void)curelep;
  return guard([&]() -> sword {
    Stmt *st = as<Stmt>(stmtp, OCI_HTYPE_STMT);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || e == nullptr || bindp == nullptr) return OCI_INVALID_HANDLE;
    if (position == 0 || position > 65535) {
      set_error(e, 1036);
      return OCI_ERROR;
    }
    if (st->binds.size() < position) st->binds.resize(position, nullptr);
    Bind *&slot = st->binds[position - 1];
    if (slot == nullptr) slot = new Bind();
    Bind *b = slot;
    *b = Bind();
    b->htype = OCI_HTYPE_BIND;
    b->st = st;
    b->pos = position;
    b->valp = static_cast<uint8_t *>(valuep);
    b->vsz = value_sz;
    b->dty = dty;
    b->indp = static_cast<uint8_t *>(indp);
    b->alenp = reinterpret_cast<uint8_t *>(alenp);
    b->rcodep = reinterpret_cast<uint8_t *>(rcodep);
    b->vskip = value_sz > 0 ? static_cast<ub4>(value_sz) : 0;
    b->mode = mode;
    *bindp = reinterpret_cast<OCIBind *>(b);
    return OCI_SUCCESS;
  });
}

sword OCIBindArrayOfStruct(OCIBind *bindp, OCIError *errhp, ub4 pvskip, ub4 indskip, ub4 alskip, ub4 rcskip) {
  (void)errhp;
  return guard([&]() -> sword {
    Bind *b = as<Bind>(bindp, OCI_HTYPE_BIND);
    if (b == nullptr) return OCI_INVALID_HANDLE;
    b->vskip = pvskip;
    b->iskip = indskip;
    b->askip = alskip;
    b->rskip = rcskip;
    return OCI_SUCCESS;
  });
}

sword OCIDefineByPos(OCIStmt *stmtp, OCIDefine **defnp, OCIError *errhp, ub4 position, void *valuep, sb4 value_sz,
                     ub2 dty, void *indp, ub2 *rlenp, ub2 *rcodep, ub4 mode) {
  return guard([&]() -> sword {
    Stmt *st = as<Stmt>(stmtp, OCI_HTYPE_STMT);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || e == nullptr || defnp == nullptr) return OCI_INVALID_HANDLE;
    if (position == 0 || position > 1000) {
      set_error(e, 1007);
      return OCI_ERROR;
    }
    if (st->defs.size() < position) st->defs.resize(position, nullptr);
    Define *&slot = st->defs[position - 1];
    if (slot == nullptr) slot = new Define();
    Define *d = slot;
    *d = Define();
    d->htype = OCI_HTYPE_DEFINE;
    d->st = st;
    d->pos = position;
    d->valp = static_cast<uint8_t *>(valuep);
    d->vsz = (mode & OCI_DYNAMIC_FETCH) ? 2147483647 : value_sz;
    d->dty = dty;
    d->indp = static_cast<uint8_t *>(indp);
    d->rlenp = reinterpret_cast<uint8_t *>(rlenp);
    d->rcodep = reinterpret_cast<uint8_t *>(rcodep);
    d->vskip = value_sz > 0 ? static_cast<ub4>(value_sz) : 0;
    *defnp = reinterpret_cast<OCIDefine *>(d);
    return OCI_SUCCESS;
  });
}

sword OCIDefineArrayOfStruct(OCIDefine *defnp, OCIError *errhp, ub4 pvskip, ub4 indskip, ub4 rlskip, ub4 rcskip) {
  (void)errhp;
  return guard([&]() -> sword {
    Define *d = as<Define>(defnp, OCI_HTYPE_DEFINE);
    if (d == nullptr) return OCI_INVALID_HANDLE;
    d->vskip = pvskip;
    d->iskip = indskip;
    d->rskip = rlskip;
    d->cskip = rcskip;
    return OCI_SUCCESS;
  });
}

// A database's current SCN keeps moving while it is idle, and a reader at a quiet moment
// relies on that to learn how far every thread is complete. Here the SCN moves with the
// commits of an orasim run, which publishes a current SCN that never passes a commit not
// yet in its thread's log; so a read of the current SCN while no run holds the database
// (its lock file is free) takes the next number itself, and a run opening later goes on
// above it.
static void advance_idle_scn(Stmt *st) {
  if (!sqlite3_get_autocommit(st->db)) return;
  static const char kCol[] = "CURRENT_SCN";
  const std::string &t = st->text;
  if (std::search(t.begin(), t.end(), kCol, kCol + sizeof kCol - 1,
                  [](char a, char b) { return toupper(static_cast<unsigned char>(a)) == b; }) == t.end())
    return;
  const std::string &path = st->svc->ses->srv->path;
  if (path.size() < 3 || path.compare(path.size() - 3, 3, ".db") != 0) return;
  const int fd = ::open((path.substr(0, path.size() - 3) + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;  // not a source made by orasim
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    sqlite3_exec(st->db, "UPDATE \"V$DATABASE\" SET \"CURRENT_SCN\" = \"CURRENT_SCN\" + 1", nullptr, nullptr, nullptr);
    flock(fd, LOCK_UN);
  }
  ::close(fd);
}

sword OCIStmtExecute(OCISvcCtx *svchp, OCIStmt *stmtp, OCIError *errhp, ub4 iters, ub4 rowoff,
                     const OCISnapshot *snap_in, OCISnapshot *snap_out, ub4 mode) {
  (void)snap_in, (void)snap_out;
  return guard([&]() -> sword {
    SvcCtx *svc = as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    Stmt *st = as<Stmt>(stmtp, OCI_HTYPE_STMT);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || st == nullptr || e == nullptr) return OCI_INVALID_HANDLE;
    e->rows.clear();
    e->has = false;
    st->num_errors = 0;
    st->row_count = 0;
    st->rows_fetched = 0;
    sword s = session_call(svc->ses, e);
    if (s != OCI_SUCCESS) return s;
    Session *ses = svc->ses;
    if (int code = faults_on_execute(ses)) {
      if (code == 28 || code == 1012 || code == 3113 || code == 3114) drop_session(ses);
      set_error(e, code);
      return OCI_ERROR;
    }
    // The statement sees, and may change or commit, the stored values of LOBs written on
    // this session.
    if (lobs_settle(ses, e) != OCI_SUCCESS) return OCI_ERROR;
    if (st->text.empty()) {
      set_error(e, 900);
      return OCI_ERROR;
    }
    if (ensure_prepared(st, ses, e) != OCI_SUCCESS) return OCI_ERROR;
    st->svc = svc;
    if (mode & OCI_DESCRIBE_ONLY) return OCI_SUCCESS;
    sword r;
    switch (st->tr.kind) {
      case kSelect: {
        advance_idle_scn(st);
        sqlite3_reset(st->sst);
        st->cursor = false;
        st->pending = false;
        if (int code = bind_row(st, 0)) {
          set_error(e, code);
          return OCI_ERROR;
        }
        int rc = sqlite3_step(st->sst);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
          set_sqlite_error(e, st->db, rc);
          sqlite3_reset(st->sst);
          return OCI_ERROR;
        }
        st->cursor = true;
        st->pending = rc == SQLITE_ROW;
        r = iters > 0 ? fetch_rows(st, e, iters) : OCI_SUCCESS;
        break;
      }
      case kCreate:
      case kDrop:
      case kAlter:
        r = execute_ddl(st, e);
        break;
      default:
        r = execute_dml(st, e, iters, rowoff, mode);
        break;
    }
    if (r == OCI_SUCCESS && (mode & OCI_COMMIT_ON_SUCCESS) && !sqlite3_get_autocommit(st->db)) {
      int rc = sqlite3_exec(st->db, "COMMIT", nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) {
        set_sqlite_error(e, st->db, rc);
        return OCI_ERROR;
      }
    }
    return r;
  });
}

sword OCIStmtFetch2(OCIStmt *stmtp, OCIError *errhp, ub4 nrows, ub2 orientation, sb4 fetchOffset, ub4 mode) {
  (void)fetchOffset, (void)mode;
  return guard([&]() -> sword {
    Stmt *st = as<Stmt>(stmtp, OCI_HTYPE_STMT);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || e == nullptr) return OCI_INVALID_HANDLE;
    if (orientation != OCI_FETCH_NEXT && orientation != 0) {
      set_error(e, 3001, "only forward fetches are served");
      return OCI_ERROR;
    }
    if (!st->cursor || st->svc == nullptr || st->sst == nullptr) {
      set_error(e, 1002);
      return OCI_ERROR;
    }
    sword s = session_call(st->svc->ses, e);
    if (s != OCI_SUCCESS) return s;
    if (lobs_settle(st->svc->ses, e) != OCI_SUCCESS) return OCI_ERROR;
    if (nrows == 0) {  // cancels the cursor
      st->cursor = false;
      st->pending = false;
      sqlite3_reset(st->sst);
      st->rows_fetched = 0;
      return OCI_SUCCESS;
    }
    sword r = fetch_rows(st, e, nrows);
    if (!st->pending) sqlite3_reset(st->sst);  // releases the read lock at the end
    return r;
  });
}

sword OCIStmtSetPieceInfo(void *hndlp, ub4 type, OCIError *errhp, const void *bufp, ub4 *alenp, ub1 piece,
                          const void *indp, ub2 *rcodep) {
  (void)rcodep;
  return guard([&]() -> sword {
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (e == nullptr) return OCI_INVALID_HANDLE;
    if (type != OCI_HTYPE_BIND) {
      set_error(e, 3001, "pieces of fetched values are not served by this library");
      return OCI_ERROR;
    }
    Bind *b = as<Bind>(hndlp, OCI_HTYPE_BIND);
    if (b == nullptr) return OCI_INVALID_HANDLE;
    if (piece > OCI_LAST_PIECE || alenp == nullptr || (bufp == nullptr && *alenp > 0)) {
      set_error(e, 24801, "");
      return OCI_ERROR;
    }
    int16_t ind = 0;
    if (indp != nullptr) memcpy(&ind, indp, sizeof ind);
    b->pw_buf = static_cast<const uint8_t *>(bufp);
    b->pw_len = *alenp;
    b->pw_piece = piece;
    b->pw_null = ind == -1;
    b->pw_set = true;
    return OCI_SUCCESS;
  });
}

sword OCIStmtGetPieceInfo(OCIStmt *stmtp, OCIError *errhp, void **hndlpp, ub4 *typep, ub1 *in_outp, ub4 *iterp,
                          ub4 *idxp, ub1 *piecep) {
  return guard([&]() -> sword {
    Stmt *st = as<Stmt>(stmtp, OCI_HTYPE_STMT);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (st == nullptr || e == nullptr) return OCI_INVALID_HANDLE;
    Bind *b = st->pw_bind != 0 ? bind_at(st, static_cast<int>(st->pw_bind)) : nullptr;
    if (b == nullptr) {
      set_error(e, 1002);
      return OCI_ERROR;
    }
    if (hndlpp != nullptr) *hndlpp = b;
    if (typep != nullptr) *typep = OCI_HTYPE_BIND;
    if (in_outp != nullptr) *in_outp = OCI_PARAM_IN;
    if (iterp != nullptr) *iterp = 0;
    if (idxp != nullptr) *idxp = 0;
    if (piecep != nullptr) *piecep = b->pw_data.empty() ? OCI_FIRST_PIECE : OCI_NEXT_PIECE;
    return OCI_SUCCESS;
  });
}

}  // extern "C"
