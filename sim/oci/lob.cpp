// LOB locators over SQLite values. A locator fetched by a SELECT ... FOR UPDATE names
// its table, column and row id; every write, trim and erase reads the stored value,
// changes it and stores it back inside the session's transaction, so a rollback undoes
// it like any row change. CLOBs are stored as UTF-8 text and counted in characters the
// way the database counts them in its two-byte LOB form (a character outside the basic
// plane is two); BLOBs are bytes. Offsets are 1-based; writing past the end pads (BLOB
// with zero bytes, CLOB with spaces); an erase fills with the same and reports the
// amount it erased. A locator is good for the transaction that selected it only.
#pragma GCC visibility push(default)
#include "oci/oci_api.h"
#pragma GCC visibility pop

#include <algorithm>
#include <cstring>

#include "sim/oci/sim.h"

using namespace orasim;

namespace {

// Characters a UTF-8 lead byte starts, counted as the two-byte form counts them.
inline oraub8 units(unsigned char lead) { return lead >= 0xF0 ? 2 : 1; }
inline bool is_lead(unsigned char c) { return (c & 0xC0) != 0x80; }

oraub8 char_length(const std::string &s) {
  oraub8 n = 0;
  for (unsigned char c : s)
    if (is_lead(c)) n += units(c);
  return n;
}

// Byte position of character k (0-based); the end when the text is shorter.
size_t byte_at(const std::string &s, oraub8 k) {
  oraub8 n = 0;
  for (size_t p = 0; p < s.size(); p++) {
    auto c = static_cast<unsigned char>(s[p]);
    if (!is_lead(c)) continue;
    if (n >= k) return p;
    n += units(c);
  }
  return s.size();
}

// Length in the LOB's unit: characters of a CLOB, bytes of a BLOB.
oraub8 lob_length(const Lob *l, const std::string &v) { return l->clob ? char_length(v) : v.size(); }
size_t lob_byte(const Lob *l, const std::string &v, oraub8 k) {
  return l->clob ? byte_at(v, k) : static_cast<size_t>(std::min<oraub8>(k, v.size()));
}
char pad_char(const Lob *l) { return l->clob ? ' ' : '\0'; }

// The handles of a LOB call, checked: the locator must be located in the service
// context's session, within the transaction that selected it.
struct LobCall {
  SvcCtx *svc;
  Error *e;
  Lob *l;
  sword st;
};
LobCall lob_call(OCISvcCtx *svchp, OCIError *errhp, OCILobLocator *locp) {
  LobCall c{as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX), as<Error>(errhp, OCI_HTYPE_ERROR), as<Lob>(locp, OCI_DTYPE_LOB),
            OCI_SUCCESS};
  if (c.svc == nullptr || c.e == nullptr || c.l == nullptr) {
    c.st = OCI_INVALID_HANDLE;
  } else if ((c.st = session_call(c.svc->ses, c.e)) != OCI_SUCCESS) {
  } else if (!c.l->located || c.l->ses != c.svc->ses) {
    set_error(c.e, 22275, "");
    c.st = OCI_ERROR;
  } else if (c.l->txn != c.svc->ses->srv->txn) {
    set_error(c.e, 22990, "");
    c.st = OCI_ERROR;
  }
  return c;
}

// The stored value of a located LOB. OCI_SUCCESS or OCI_ERROR with e set.
sword read_lob(Lob *l, std::string *v, Error *e) {
  sqlite3 *db = l->ses->srv->db;
  std::string q = "SELECT " + l->column + " FROM " + l->table + " WHERE rowid=?1";
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v2(db, q.c_str(), -1, &st, nullptr);
  if (rc != SQLITE_OK) {
    set_sqlite_error(e, db, rc);
    return OCI_ERROR;
  }
  sqlite3_bind_int64(st, 1, l->rowid);
  rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    const void *p = l->clob ? static_cast<const void *>(sqlite3_column_text(st, 0)) : sqlite3_column_blob(st, 0);
    int n = sqlite3_column_bytes(st, 0);
    v->assign(p != nullptr ? static_cast<const char *>(p) : "", static_cast<size_t>(n));
  } else if (rc == SQLITE_DONE) {
    set_error(e, 22275, "its row no longer exists");
  } else {
    set_sqlite_error(e, db, rc);
  }
  sqlite3_finalize(st);
  return rc == SQLITE_ROW ? OCI_SUCCESS : OCI_ERROR;
}

// Stores a LOB's new value in the session's transaction (begun here if none is open).
sword store_lob(Lob *l, const std::string &v, Error *e) {
  sqlite3 *db = l->ses->srv->db;
  if (sqlite3_get_autocommit(db)) {
    int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      set_sqlite_error(e, db, rc);
      return OCI_ERROR;
    }
  }
  std::string q = "UPDATE " + l->table + " SET " + l->column + "=?1 WHERE rowid=?2";
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v2(db, q.c_str(), -1, &st, nullptr);
  if (rc != SQLITE_OK) {
    set_sqlite_error(e, db, rc);
    return OCI_ERROR;
  }
  if (l->clob)
    sqlite3_bind_text(st, 1, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
  else
    sqlite3_bind_blob(st, 1, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st, 2, l->rowid);
  rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) {
    set_sqlite_error(e, db, rc);
    return OCI_ERROR;
  }
  if (sqlite3_changes(db) == 0) {
    set_error(e, 22275, "its row no longer exists");
    return OCI_ERROR;
  }
  return OCI_SUCCESS;
}

// Puts data (already in the stored form) at LOB position pos (0-based, the LOB's unit),
// padding a gap before it and overwriting what it covers.
void splice(const Lob *l, std::string *v, oraub8 pos, const std::string &data) {
  oraub8 len = lob_length(l, *v);
  if (pos > len) v->append(static_cast<size_t>(pos - len), pad_char(l));
  size_t from = lob_byte(l, *v, pos);
  size_t to = lob_byte(l, *v, pos + lob_length(l, data));
  v->replace(from, to - from, data);
}

// Only an open LOB is in its session's list (and a session that ends empties it), so a
// locator that outlives its session never reaches it.
void open_list_remove(Lob *l) {
  if (!l->open || l->ses == nullptr) return;
  auto &v = l->ses->open_lobs;
  v.erase(std::remove(v.begin(), v.end(), l), v.end());
}

}  // namespace

namespace orasim {

int fetch_locator(Define *d, sqlite3_stmt *sst, int col, ub4 r) {
  const Stmt *st = d->st;
  if (!st->tr.rowid_last) return 22275;  // only rows selected FOR UPDATE are located
  Lob *l = nullptr;
  if (d->valp != nullptr) memcpy(&l, d->valp + static_cast<size_t>(r) * d->vskip, sizeof l);
  l = as<Lob>(l, OCI_DTYPE_LOB);
  if (l == nullptr) return 22275;
  open_list_remove(l);
  l->open = false;
  l->streaming = false;
  l->empty = false;
  l->located = false;
  if (sqlite3_column_type(sst, col) == SQLITE_NULL) {
    if (d->indp == nullptr) return 1405;
    int16_t m1 = -1;
    memcpy(d->indp + static_cast<size_t>(r) * d->iskip, &m1, 2);
    return 0;
  }
  const char *name = sqlite3_column_name(sst, col);
  int idcol = sqlite3_column_count(sst) - 1;
  Session *ses = st->svc->ses;
  l->located = true;
  l->clob = d->dty == SQLT_CLOB;
  l->ses = ses;
  l->txn = ses->srv->txn;
  l->table = st->tr.lob_table;
  l->column = "\"" + std::string(name != nullptr ? name : "") + "\"";
  l->rowid = sqlite3_column_int64(sst, idcol);
  if (d->indp != nullptr) {
    int16_t z = 0;
    memcpy(d->indp + static_cast<size_t>(r) * d->iskip, &z, 2);
  }
  return 0;
}

int bind_locator(Bind *b, const uint8_t *v, long len, sqlite3_stmt *sst, int idx) {
  Lob *l = nullptr;
  if (v == nullptr || len < static_cast<long>(sizeof l)) return 22275;
  memcpy(&l, v, sizeof l);
  l = as<Lob>(l, OCI_DTYPE_LOB);
  if (l == nullptr || (!l->empty && !l->located)) return 22275;
  bool clob = b->dty == SQLT_CLOB;
  if (l->empty) {
    int rc = clob ? sqlite3_bind_text(sst, idx, "", 0, SQLITE_STATIC) : sqlite3_bind_zeroblob(sst, idx, 0);
    return rc == SQLITE_OK ? 0 : 600;
  }
  // Binding a located LOB stores a copy of its value.
  Error e;
  if (read_lob(l, &b->scratch, &e) != OCI_SUCCESS) return e.rec.code;
  int rc = clob ? sqlite3_bind_text(sst, idx, b->scratch.data(), static_cast<int>(b->scratch.size()), SQLITE_STATIC)
                : sqlite3_bind_blob(sst, idx, b->scratch.data(), static_cast<int>(b->scratch.size()), SQLITE_STATIC);
  return rc == SQLITE_OK ? 0 : 600;
}

bool lobs_end_transaction(Session *s) {
  if (s->srv != nullptr) s->srv->txn++;
  bool open = !s->open_lobs.empty();
  for (Lob *l : s->open_lobs) {
    l->open = false;
    l->streaming = false;
  }
  s->open_lobs.clear();
  return open;
}

void lob_forget(Lob *l) { open_list_remove(l); }

}  // namespace orasim

extern "C" {

sword OCILobOpen(OCISvcCtx *svchp, OCIError *errhp, OCILobLocator *locp, ub1 mode) {
  return guard([&]() -> sword {
    auto [svc, e, l, st] = lob_call(svchp, errhp, locp);
    if (st != OCI_SUCCESS) return st;
    if (mode != OCI_LOB_READONLY && mode != OCI_LOB_READWRITE) {
      set_error(e, 24801, "");
      return OCI_ERROR;
    }
    if (l->open) {
      set_error(e, 22293, "");
      return OCI_ERROR;
    }
    l->open = true;
    svc->ses->open_lobs.push_back(l);
    return OCI_SUCCESS;
  });
}

sword OCILobIsOpen(OCISvcCtx *svchp, OCIError *errhp, OCILobLocator *locp, boolean *flag) {
  (void)svchp, (void)errhp;
  return guard([&]() -> sword {
    Lob *l = as<Lob>(locp, OCI_DTYPE_LOB);
    if (l == nullptr || flag == nullptr) return OCI_INVALID_HANDLE;
    *flag = l->open ? 1 : 0;
    return OCI_SUCCESS;
  });
}

sword OCILobClose(OCISvcCtx *svchp, OCIError *errhp, OCILobLocator *locp) {
  (void)svchp;
  return guard([&]() -> sword {
    Lob *l = as<Lob>(locp, OCI_DTYPE_LOB);
    if (l == nullptr) return OCI_INVALID_HANDLE;
    if (!l->open) {
      set_error(as<Error>(errhp, OCI_HTYPE_ERROR), 22289, "");
      return OCI_ERROR;
    }
    open_list_remove(l);
    l->open = false;
    return OCI_SUCCESS;
  });
}

sword OCILobWrite2(OCISvcCtx *svchp, OCIError *errhp, OCILobLocator *locp, oraub8 *byte_amtp, oraub8 *char_amtp,
                   oraub8 offset, void *bufp, oraub8 buflen, ub1 piece, void *ctxp, void *cbfp, ub2 csid, ub1 csfrm) {
  (void)ctxp;
  return guard([&]() -> sword {
    auto [svc, e, l, st] = lob_call(svchp, errhp, locp);
    if (st != OCI_SUCCESS) return st;
    if (byte_amtp == nullptr || char_amtp == nullptr || (bufp == nullptr && buflen > 0) || cbfp != nullptr ||
        piece > OCI_LAST_PIECE) {
      set_error(e, 24801, "");
      return OCI_ERROR;
    }
    bool first = piece == OCI_ONE_PIECE || piece == OCI_FIRST_PIECE;
    if (first && offset == 0) {
      set_error(e, 24801, "offset 0");
      return OCI_ERROR;
    }
    if (!first && !l->streaming) {
      set_error(e, 24801, "a next or last piece without a first");
      return OCI_ERROR;
    }
    // The piece in the stored form, and how much of the caller's buffer it takes.
    std::string data;
    oraub8 take = buflen;
    if (l->clob) {
      ub2 cs = csid != 0 ? csid : (csfrm == SQLCS_NCHAR ? svc->env->ncsid : svc->env->csid);
      if (piece == OCI_ONE_PIECE && *char_amtp == 0 && *byte_amtp > 0) take = std::min(*byte_amtp, buflen);
      if (charset_convert(cs, 873, bufp, static_cast<size_t>(take), &data) < 0) {
        set_error(e, 12715, std::to_string(cs));
        return OCI_ERROR;
      }
      if (piece == OCI_ONE_PIECE && *char_amtp > 0) {
        if (char_length(data) < *char_amtp) {
          set_error(e, 24801, "amount larger than the buffer");
          return OCI_ERROR;
        }
        data.resize(byte_at(data, *char_amtp));
      }
    } else {
      oraub8 amt = *byte_amtp != 0 ? *byte_amtp : *char_amtp;
      if (piece == OCI_ONE_PIECE) {
        if (amt > buflen) {
          set_error(e, 24801, "amount larger than the buffer");
          return OCI_ERROR;
        }
        take = amt;
      }
      data.assign(static_cast<const char *>(bufp), static_cast<size_t>(take));
    }
    std::string v;
    if (read_lob(l, &v, e) != OCI_SUCCESS) return OCI_ERROR;
    oraub8 pos = first ? offset - 1 : l->stream_pos;
    splice(l, &v, pos, data);
    if (store_lob(l, v, e) != OCI_SUCCESS) return OCI_ERROR;
    oraub8 n = lob_length(l, data);
    if (piece == OCI_FIRST_PIECE || piece == OCI_NEXT_PIECE) {
      if (first) l->stream_bytes = l->stream_chars = 0;
      l->streaming = true;
      l->stream_pos = pos + n;
      l->stream_bytes += take;
      l->stream_chars += n;
      return OCI_NEED_DATA;
    }
    if (piece == OCI_LAST_PIECE) {
      take += l->stream_bytes;
      n += l->stream_chars;
      l->streaming = false;
    }
    *byte_amtp = take;
    *char_amtp = l->clob ? n : 0;
    return OCI_SUCCESS;
  });
}

sword OCILobTrim2(OCISvcCtx *svchp, OCIError *errhp, OCILobLocator *locp, oraub8 newlen) {
  return guard([&]() -> sword {
    auto [svc, e, l, st] = lob_call(svchp, errhp, locp);
    if (st != OCI_SUCCESS) return st;
    std::string v;
    if (read_lob(l, &v, e) != OCI_SUCCESS) return OCI_ERROR;
    if (newlen > lob_length(l, v)) {
      set_error(e, 22926, "");
      return OCI_ERROR;
    }
    v.resize(lob_byte(l, v, newlen));
    return store_lob(l, v, e);
  });
}

sword OCILobErase2(OCISvcCtx *svchp, OCIError *errhp, OCILobLocator *locp, oraub8 *amount, oraub8 offset) {
  return guard([&]() -> sword {
    auto [svc, e, l, st] = lob_call(svchp, errhp, locp);
    if (st != OCI_SUCCESS) return st;
    if (amount == nullptr || offset == 0) {
      set_error(e, 24801, "");
      return OCI_ERROR;
    }
    std::string v;
    if (read_lob(l, &v, e) != OCI_SUCCESS) return OCI_ERROR;
    oraub8 len = lob_length(l, v);
    oraub8 n = offset > len ? 0 : std::min(*amount, len - offset + 1);
    *amount = n;
    if (n == 0) return OCI_SUCCESS;
    splice(l, &v, offset - 1, std::string(static_cast<size_t>(n), pad_char(l)));
    return store_lob(l, v, e);
  });
}

}  // extern "C"
