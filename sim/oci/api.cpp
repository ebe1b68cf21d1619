// The exported OCI functions of liborasim: handles and descriptors, environment, server
// attach (connect strings "sim:<path>" and descriptors naming a service), sessions,
// attributes, errors, character sets and transactions. Statement and piecewise calls
// live in stmt.cpp, LOB calls in lob.cpp. No C++ exception leaves an exported function: each body runs under guard().
#pragma GCC visibility push(default)
#include "oci/oci_api.h"
#pragma GCC visibility pop

#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "sim/oci/sim.h"

using namespace orasim;

namespace {

std::string sim_home() {
  const char *h = getenv("ORASIM_HOME");
  std::string dir;
  if (h != nullptr && h[0] != '\0') {
    dir = h;
  } else {
    const char *k = getenv("KESTRO_HOME");
    dir = k != nullptr ? k : ".";
    if (!dir.empty() && dir.back() != '/') dir += '/';
    dir += "sim";
  }
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The value of (KEY=value) in a connect descriptor, "" when absent.
std::string descriptor_value(const std::string &link, const char *key) {
  std::string up = link;
  for (char &c : up) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  size_t p = up.find(std::string("(") + key);
  if (p == std::string::npos) return "";
  size_t eq = link.find('=', p), end = link.find(')', p);
  if (eq == std::string::npos || end == std::string::npos || eq > end) return "";
  return trim(link.substr(eq + 1, end - eq - 1));
}

// The database file a connect string names; *err is the Oracle error when it cannot be
// opened (a missing file is never created).
std::string resolve_link(const std::string &link_in, int *err, std::string *detail) {
  std::string link = trim(link_in);
  std::string service;
  if (link.rfind("sim:", 0) == 0) {
    std::string path = link.substr(4);
    struct stat sb;
    if (path.empty() || stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) {
      *err = 1034;
      *detail = "no database file " + path;
      return "";
    }
    return path;
  }
  std::string up = link;
  for (char &c : up) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  size_t p = up.find("SERVICE_NAME");
  if (p == std::string::npos) p = up.find("SID");
  if (p != std::string::npos) {
    size_t eq = link.find('=', p);
    size_t end = link.find(')', eq == std::string::npos ? p : eq);
    if (eq != std::string::npos)
      service = trim(link.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1));
  } else if (link.empty()) {
    const char *sid = getenv("ORACLE_SID");
    service = sid != nullptr ? sid : "";
  } else if (link.find('(') == std::string::npos) {
    size_t slash = link.rfind('/');  // easy connect host:port/service, or a bare service name
    service = slash == std::string::npos ? link : link.substr(slash + 1);
  }
  if (service.empty() || service.find('/') != std::string::npos || service.find("..") != std::string::npos) {
    *err = 12154;
    return "";
  }
  std::string path = sim_home() + service + ".db";
  struct stat sb;
  if (stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) {
    *err = 12514;
    *detail = "";
    return "";
  }
  return path;
}

// True when the instance's redo thread is closed: the instance is shut down.
bool instance_down(sqlite3 *db, long long number) {
  sqlite3_stmt *st = nullptr;
  const char *q =
      "SELECT 1 FROM \"V$THREAD\" t JOIN \"V$INSTANCE\" i ON i.\"THREAD#\" = t.\"THREAD#\" "
      "WHERE i.INSTANCE_NUMBER = ?1 AND t.STATUS = 'CLOSED'";
  bool down = false;
  if (sqlite3_prepare_v2(db, q, -1, &st, nullptr) == SQLITE_OK) {  // no v$thread: a database made before threads
    sqlite3_bind_int64(st, 1, number);
    down = sqlite3_step(st) == SQLITE_ROW;
  }
  sqlite3_finalize(st);
  return down;
}

// A database of several instances answers v$instance for the one the descriptor names
// (INSTANCE_NAME), else for its first: the session sees that row only. -1: no such
// instance, -2: the instance is shut down and takes no connection (a service without an
// instance name is served by the first instance that is up).
int choose_instance(sqlite3 *db, const std::string &name) {
  // Unquoted column names: a catalogue without them fails to prepare rather than reading
  // the names as text.
  sqlite3_stmt *st = nullptr;
  const char *q = name.empty()
                      ? "SELECT i.INSTANCE_NUMBER, (SELECT count(*) FROM \"V$INSTANCE\") FROM \"V$INSTANCE\" i "
                        "WHERE NOT EXISTS (SELECT 1 FROM \"V$THREAD\" t WHERE t.\"THREAD#\" = i.\"THREAD#\" "
                        "AND t.STATUS = 'CLOSED') ORDER BY i.INSTANCE_NUMBER LIMIT 1"
                      : "SELECT INSTANCE_NUMBER, 2 FROM \"V$INSTANCE\" WHERE upper(INSTANCE_NAME) = upper(?1)";
  if (sqlite3_prepare_v2(db, q, -1, &st, nullptr) != SQLITE_OK && name.empty()) {
    sqlite3_finalize(st);  // a database made before threads were shown: its first instance
    q = "SELECT min(INSTANCE_NUMBER), count(*) FROM \"V$INSTANCE\"";
    st = nullptr;
    sqlite3_prepare_v2(db, q, -1, &st, nullptr);
  }
  if (st == nullptr) return name.empty() ? 0 : -1;  // not a source database: there is no instance to choose
  sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  const bool found = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL;
  const long long k = found ? sqlite3_column_int64(st, 0) : 0, n = found ? sqlite3_column_int64(st, 1) : 0;
  sqlite3_finalize(st);
  if (!found && name.empty()) {
    // Instances, but none up: the database is not available. None at all: not a source.
    bool any = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM \"V$INSTANCE\"", -1, &st, nullptr) == SQLITE_OK)
      any = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return any ? -2 : 0;
  }
  if (!found) return -1;
  if (instance_down(db, k)) return -2;
  if (n < 2) return 0;  // one instance: v$instance is its own
  const std::string view =
      "CREATE TEMP VIEW \"V$INSTANCE\" AS SELECT * FROM main.\"V$INSTANCE\" WHERE INSTANCE_NUMBER = " +
      std::to_string(k);
  return sqlite3_exec(db, view.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : -1;
}

Env *env_of(const void *parent) {
  const Handle *h = static_cast<const Handle *>(parent);
  if (h == nullptr || h->magic != kMagic) return nullptr;
  switch (h->htype) {
    case OCI_HTYPE_ENV:
      return const_cast<Env *>(static_cast<const Env *>(h));
    case OCI_HTYPE_ERROR:
      return static_cast<const Error *>(h)->env;
    case OCI_HTYPE_SVCCTX:
      return static_cast<const SvcCtx *>(h)->env;
    case OCI_HTYPE_SERVER:
      return static_cast<const Server *>(h)->env;
    case OCI_HTYPE_SESSION:
      return static_cast<const Session *>(h)->env;
    case OCI_HTYPE_STMT:
      return static_cast<const Stmt *>(h)->env;
    default:
      return nullptr;
  }
}

void end_transaction(sqlite3 *db, bool commit) {
  if (db != nullptr && !sqlite3_get_autocommit(db))
    sqlite3_exec(db, commit ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
}

template <typename T>
sword copy_out(void *attr, ub4 *sizep, T v) {
  if (attr == nullptr) return OCI_ERROR;
  memcpy(attr, &v, sizeof v);
  if (sizep != nullptr) *sizep = sizeof v;
  return OCI_SUCCESS;
}

ub2 read_ub2(const void *attr, ub4 size) {
  if (size == 1) return *static_cast<const ub1 *>(attr);
  ub2 v;
  memcpy(&v, attr, sizeof v);
  return v;
}

}  // namespace

namespace orasim {

// Session checks shared by the calls that reach the database: 0 to go on, else the
// status to return (the error is set).
sword session_call(Session *s, Error *e) {
  if (s == nullptr || !s->begun || s->srv == nullptr || s->srv->db == nullptr) {
    set_error(e, 1012);
    return OCI_ERROR;
  }
  if (s->dropped) {
    set_error(e, 3114);
    return OCI_ERROR;
  }
  faults_refresh(s);
  if (faults_on_call(s)) {
    drop_session(s);
    set_error(e, 3114);
    return OCI_ERROR;
  }
  return OCI_SUCCESS;
}

void drop_session(Session *s) {
  end_transaction(s->srv->db, false);
  lobs_end_transaction(s);
  faults_refresh(s);  // removes the fault that fired, now that no transaction is open
  s->dropped = true;
}

}  // namespace orasim

extern "C" {

sword OCIEnvCreate(OCIEnv **envhpp, ub4 mode, void *ctxp, void *(*malocfp)(void *, size_t),
                   void *(*ralocfp)(void *, void *, size_t), void (*mfreefp)(void *, void *), size_t xtramem_sz,
                   void **usrmempp) {
  (void)mode, (void)ctxp, (void)malocfp, (void)ralocfp, (void)mfreefp, (void)xtramem_sz, (void)usrmempp;
  return guard([&]() -> sword {
    if (envhpp == nullptr) return OCI_INVALID_HANDLE;
    Env *e = new Env();
    e->htype = OCI_HTYPE_ENV;
    // NLS_LANG's character set part ("AMERICAN_AMERICA.WE8MSWIN1252") chooses the client's.
    const char *nls = getenv("NLS_LANG");
    const char *dot = nls != nullptr ? strrchr(nls, '.') : nullptr;
    if (dot != nullptr && charset_id(dot + 1) != 0) e->csid = charset_id(dot + 1);
    *envhpp = reinterpret_cast<OCIEnv *>(e);
    return OCI_SUCCESS;
  });
}

extern "C++" {
// A handle of kind T belonging to env.
template <typename T>
static T *new_child(Env *env) {
  T *h = new T();
  h->env = env;
  return h;
}
}

sword OCIHandleAlloc(const void *parenth, void **hndlpp, ub4 type, size_t xtramem_sz, void **usrmempp) {
  (void)xtramem_sz, (void)usrmempp;
  return guard([&]() -> sword {
    Env *env = env_of(parenth);
    if (env == nullptr || hndlpp == nullptr) return OCI_INVALID_HANDLE;
    Handle *h = nullptr;
    switch (type) {
      case OCI_HTYPE_ERROR: {
        Error *e = new Error();
        e->env = env;
        if (env->first_err == nullptr) env->first_err = e;
        h = e;
        break;
      }
      case OCI_HTYPE_SVCCTX:
        h = new_child<SvcCtx>(env);
        break;
      case OCI_HTYPE_SERVER:
        h = new_child<Server>(env);
        break;
      case OCI_HTYPE_SESSION:
        h = new_child<Session>(env);
        break;
      case OCI_HTYPE_STMT:
        h = new_child<Stmt>(env);
        break;
      default:
        return OCI_INVALID_HANDLE;
    }
    h->htype = type;
    *hndlpp = h;
    return OCI_SUCCESS;
  });
}

sword OCIHandleFree(void *hndlp, ub4 type) {
  return guard([&]() -> sword {
    Handle *h = static_cast<Handle *>(hndlp);
    if (h == nullptr || h->magic != kMagic || h->htype != type) return OCI_INVALID_HANDLE;
    h->magic = 0;
    switch (type) {
      case OCI_HTYPE_ENV:
        delete static_cast<Env *>(h);
        break;
      case OCI_HTYPE_ERROR: {
        Error *e = static_cast<Error *>(h);
        for (Error *c : e->children) delete c;
        if (e->env != nullptr && e->env->first_err == e) e->env->first_err = nullptr;
        delete e;
        break;
      }
      case OCI_HTYPE_SVCCTX:
        delete static_cast<SvcCtx *>(h);
        break;
      case OCI_HTYPE_SERVER: {
        Server *s = static_cast<Server *>(h);
        if (s->db != nullptr) {
          end_transaction(s->db, false);
          sqlite3_close_v2(s->db);
        }
        delete s;
        break;
      }
      case OCI_HTYPE_SESSION:
        lobs_end_transaction(static_cast<Session *>(h));
        delete static_cast<Session *>(h);
        break;
      case OCI_HTYPE_STMT:
        stmt_free(static_cast<Stmt *>(h));
        break;
      default:
        h->magic = kMagic;
        return OCI_INVALID_HANDLE;
    }
    return OCI_SUCCESS;
  });
}

sword OCIServerAttach(OCIServer *srvhp, OCIError *errhp, const OraText *dblink, sb4 dblink_len, ub4 mode) {
  (void)mode;
  return guard([&]() -> sword {
    Server *s = as<Server>(srvhp, OCI_HTYPE_SERVER);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (s == nullptr || e == nullptr) return OCI_INVALID_HANDLE;
    std::string link = dblink != nullptr && dblink_len > 0
                           ? std::string(reinterpret_cast<const char *>(dblink), static_cast<size_t>(dblink_len))
                           : std::string();
    int err = 0;
    std::string detail;
    std::string path = resolve_link(link, &err, &detail);
    if (path.empty()) {
      set_error(e, err);
      return OCI_ERROR;
    }
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close_v2(db);
      set_error(e, 1034);
      return OCI_ERROR;
    }
    sqlite3_busy_timeout(db, s->timeout_ms > 0 ? static_cast<int>(s->timeout_ms) : 10000);
    sqlite3_extended_result_codes(db, 1);
    // A column name that names no column is an error (ORA-00904), as on the database,
    // not a string constant: a statement about a column a table lacks must not run.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    if (int rc = choose_instance(db, descriptor_value(link, "INSTANCE_NAME")); rc != 0) {
      sqlite3_close_v2(db);
      set_error(e, rc == -2 ? 1034 : 12521);
      return OCI_ERROR;
    }
    register_functions(db);
    if (s->db != nullptr) sqlite3_close_v2(s->db);
    s->db = db;
    s->path = path;
    return OCI_SUCCESS;
  });
}

sword OCIServerDetach(OCIServer *srvhp, OCIError *errhp, ub4 mode) {
  (void)mode, (void)errhp;
  return guard([&]() -> sword {
    Server *s = as<Server>(srvhp, OCI_HTYPE_SERVER);
    if (s == nullptr) return OCI_INVALID_HANDLE;
    if (s->db != nullptr) {
      end_transaction(s->db, false);  // uncommitted work never survives a disconnect
      sqlite3_close_v2(s->db);
      s->db = nullptr;
    }
    return OCI_SUCCESS;
  });
}

sword OCISessionBegin(OCISvcCtx *svchp, OCIError *errhp, OCISession *usrhp, ub4 credt, ub4 mode) {
  (void)credt, (void)mode;
  return guard([&]() -> sword {
    SvcCtx *svc = as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    Session *s = as<Session>(usrhp, OCI_HTYPE_SESSION);
    if (svc == nullptr || e == nullptr || s == nullptr) return OCI_INVALID_HANDLE;
    if (svc->srv == nullptr || svc->srv->db == nullptr) {
      set_error(e, 3114);
      return OCI_ERROR;
    }
    if (s->user.empty()) {
      set_error(e, 1017);
      return OCI_ERROR;
    }
    s->srv = svc->srv;
    s->dropped = false;
    faults_load(s);
    int err = 0;
    if (faults_refused(s, &err)) {
      set_error(e, err);
      return OCI_ERROR;
    }
    if (s->schema.empty()) {
      s->schema = s->user;
      for (char &c : s->schema) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    s->begun = true;
    svc->ses = s;
    return OCI_SUCCESS;
  });
}

sword OCISessionEnd(OCISvcCtx *svchp, OCIError *errhp, OCISession *usrhp, ub4 mode) {
  (void)mode;
  return guard([&]() -> sword {
    SvcCtx *svc = as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    Session *s = usrhp != nullptr ? as<Session>(usrhp, OCI_HTYPE_SESSION) : (svc != nullptr ? svc->ses : nullptr);
    if (s == nullptr) return OCI_INVALID_HANDLE;
    // Ending a session the server already lost fails as it does on Oracle, though the
    // client's side of it is released all the same.
    bool lost = s->dropped;
    if (s->begun && s->srv != nullptr && !lost) end_transaction(s->srv->db, false);
    lobs_end_transaction(s);
    s->begun = false;
    if (svc != nullptr && svc->ses == s) svc->ses = nullptr;
    if (lost) {
      Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
      if (e != nullptr) set_error(e, 3114);
      return OCI_ERROR;
    }
    return OCI_SUCCESS;
  });
}

sword OCIAttrSet(void *trgthndlp, ub4 trghndltyp, void *attributep, ub4 size, ub4 attrtype, OCIError *errhp) {
  return guard([&]() -> sword {
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    Handle *h = static_cast<Handle *>(trgthndlp);
    if (h == nullptr || h->magic != kMagic || h->htype != trghndltyp) return OCI_INVALID_HANDLE;
    auto text = [&]() { return std::string(static_cast<const char *>(attributep), size); };
    switch (trghndltyp) {
      case OCI_HTYPE_SVCCTX: {
        SvcCtx *svc = static_cast<SvcCtx *>(h);
        if (attrtype == OCI_ATTR_SERVER) {
          svc->srv = as<Server>(attributep, OCI_HTYPE_SERVER);
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_SESSION) {
          svc->ses = as<Session>(attributep, OCI_HTYPE_SESSION);
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_SESSION: {
        Session *s = static_cast<Session *>(h);
        if (attributep == nullptr) break;
        if (attrtype == OCI_ATTR_USERNAME) {
          s->user = text();
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_PASSWORD) {
          s->password = text();
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_CURRENT_SCHEMA) {
          s->schema = text();
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_SERVER: {
        Server *s = static_cast<Server *>(h);
        if (attrtype == OCI_ATTR_RECEIVE_TIMEOUT && attributep != nullptr) {
          memcpy(&s->timeout_ms, attributep, sizeof s->timeout_ms);
          if (s->db != nullptr)
            sqlite3_busy_timeout(s->db, s->timeout_ms > 0 ? static_cast<int>(s->timeout_ms) : 10000);
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_ENV: {
        Env *env = static_cast<Env *>(h);
        if ((attrtype == OCI_ATTR_CHARSET_ID || attrtype == OCI_ATTR_NCHARSET_ID) && attributep != nullptr) {
          ub2 id = read_ub2(attributep, size);
          if (charset_name(id) == nullptr) {
            set_error(e, 12715, std::to_string(id));
            return OCI_ERROR;
          }
          (attrtype == OCI_ATTR_CHARSET_ID ? env->csid : env->ncsid) = id;
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_HTYPE_BIND:
      case OCI_HTYPE_DEFINE: {
        if (attributep == nullptr) break;
        Bind *b = trghndltyp == OCI_HTYPE_BIND ? static_cast<Bind *>(h) : nullptr;
        Define *d = trghndltyp == OCI_HTYPE_DEFINE ? static_cast<Define *>(h) : nullptr;
        if (attrtype == OCI_ATTR_CHARSET_ID) {
          ub2 id = read_ub2(attributep, size == 0 ? 2 : size);
          if (id != 0 && charset_name(id) == nullptr) {
            set_error(e, 12715, std::to_string(id));
            return OCI_ERROR;
          }
          (b != nullptr ? b->csid : d->csid) = id;
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_CHARSET_FORM) {
          ub1 f = *static_cast<const ub1 *>(attributep);
          (b != nullptr ? b->csform : d->csform) = f;
          return OCI_SUCCESS;
        }
        if (attrtype == OCI_ATTR_MAXDATA_SIZE && b != nullptr) {
          memcpy(&b->maxdata, attributep, sizeof b->maxdata);
          return OCI_SUCCESS;
        }
        break;
      }
      case OCI_DTYPE_LOB:
        if (attrtype == OCI_ATTR_LOBEMPTY) {
          static_cast<Lob *>(h)->empty = true;
          return OCI_SUCCESS;
        }
        break;
      default:
        break;
    }
    set_error(e, 24315, std::to_string(attrtype));
    return OCI_ERROR;
  });
}

sword OCIAttrGet(const void *trgthndlp, ub4 trghndltyp, void *attributep, ub4 *sizep, ub4 attrtype, OCIError *errhp) {
  return guard([&]() -> sword {
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    const Handle *h = static_cast<const Handle *>(trgthndlp);
    if (h == nullptr || h->magic != kMagic || h->htype != trghndltyp) return OCI_INVALID_HANDLE;
    switch (trghndltyp) {
      case OCI_HTYPE_STMT: {
        const Stmt *s = static_cast<const Stmt *>(h);
        if (attrtype == OCI_ATTR_ROWS_FETCHED) return copy_out<ub4>(attributep, sizep, s->rows_fetched);
        if (attrtype == OCI_ATTR_ROW_COUNT) return copy_out<ub4>(attributep, sizep, s->row_count);
        if (attrtype == OCI_ATTR_NUM_DML_ERRORS) return copy_out<ub4>(attributep, sizep, s->num_errors);
        if (attrtype == OCI_ATTR_STMT_TYPE) return copy_out<ub2>(attributep, sizep, stmt_type(s));
        break;
      }
      case OCI_HTYPE_ERROR:
        if (attrtype == OCI_ATTR_DML_ROW_OFFSET)
          return copy_out<ub4>(attributep, sizep, static_cast<const Error *>(h)->row_offset);
        break;
      case OCI_HTYPE_SESSION: {
        const Session *s = static_cast<const Session *>(h);
        const std::string *v = attrtype == OCI_ATTR_CURRENT_SCHEMA ? &s->schema
                               : attrtype == OCI_ATTR_USERNAME     ? &s->user
                                                                   : nullptr;
        if (v == nullptr || attributep == nullptr) break;
        const char *p = v->c_str();
        memcpy(attributep, &p, sizeof p);
        if (sizep != nullptr) *sizep = static_cast<ub4>(v->size());
        return OCI_SUCCESS;
      }
      case OCI_HTYPE_SERVER:
        if (attrtype == OCI_ATTR_RECEIVE_TIMEOUT)
          return copy_out<ub4>(attributep, sizep, static_cast<const Server *>(h)->timeout_ms);
        break;
      case OCI_HTYPE_ENV: {
        const Env *env = static_cast<const Env *>(h);
        if (attrtype == OCI_ATTR_CHARSET_ID) return copy_out<ub2>(attributep, sizep, env->csid);
        if (attrtype == OCI_ATTR_NCHARSET_ID) return copy_out<ub2>(attributep, sizep, env->ncsid);
        break;
      }
      default:
        break;
    }
    set_error(e, 24315, std::to_string(attrtype));
    return OCI_ERROR;
  });
}

sword OCIErrorGet(void *hndlp, ub4 recordno, OraText *sqlstate, sb4 *errcodep, OraText *bufp, ub4 bufsiz, ub4 type) {
  return guard([&]() -> sword {
    Error *e = nullptr;
    if (type == OCI_HTYPE_ERROR)
      e = as<Error>(hndlp, OCI_HTYPE_ERROR);
    else if (type == OCI_HTYPE_ENV) {
      Env *env = as<Env>(hndlp, OCI_HTYPE_ENV);
      e = env != nullptr ? env->first_err : nullptr;
    }
    if (e == nullptr) return OCI_INVALID_HANDLE;
    if (!e->has || recordno != 1) return OCI_NO_DATA;
    if (sqlstate != nullptr) memcpy(sqlstate, "HY000", 6);
    if (errcodep != nullptr) *errcodep = e->rec.code;
    if (bufp != nullptr && bufsiz > 0) {
      size_t n = std::min<size_t>(e->rec.msg.size(), bufsiz - 1);
      memcpy(bufp, e->rec.msg.data(), n);
      bufp[n] = '\0';
    }
    return OCI_SUCCESS;
  });
}

sword OCIParamGet(const void *hndlp, ub4 htype, OCIError *errhp, void **parmdpp, ub4 pos) {
  return guard([&]() -> sword {
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (htype != OCI_HTYPE_ERROR) {
      set_error(e, 3001, "describe parameters are not served");
      return OCI_ERROR;
    }
    Error *parent = as<Error>(const_cast<void *>(hndlp), OCI_HTYPE_ERROR);
    if (parent == nullptr || parmdpp == nullptr) return OCI_INVALID_HANDLE;
    if (pos >= parent->rows.size()) {
      set_error(e, 24334, std::to_string(pos));
      return OCI_ERROR;
    }
    Error *target = *parmdpp != nullptr ? as<Error>(*parmdpp, OCI_HTYPE_ERROR) : nullptr;
    if (target == nullptr || target == parent) {
      target = new Error();
      target->htype = OCI_HTYPE_ERROR;
      target->env = parent->env;
      parent->children.push_back(target);
    }
    target->has = true;
    target->rec = parent->rows[pos].err;
    target->row_offset = parent->rows[pos].offset;
    *parmdpp = target;
    return OCI_SUCCESS;
  });
}

sword OCINlsCharSetIdToName(void *hndl, OraText *buf, size_t buflen, ub2 id) {
  return guard([&]() -> sword {
    Env *env = env_of(hndl);
    if (env == nullptr || buf == nullptr) return OCI_INVALID_HANDLE;
    const char *name = charset_name(id);
    if (name == nullptr || strlen(name) + 1 > buflen) {
      set_error(env->first_err, 12715, std::to_string(id));
      return OCI_ERROR;
    }
    memcpy(buf, name, strlen(name) + 1);
    return OCI_SUCCESS;
  });
}

ub2 OCINlsCharSetNameToId(void *hndl, const OraText *name) {
  try {
    if (env_of(hndl) == nullptr) return 0;
    return charset_id(reinterpret_cast<const char *>(name));
  } catch (...) {
    return 0;
  }
}

sword OCINlsCharSetConvert(void *envhp, OCIError *errhp, ub2 dstid, void *dstp, size_t dstlen, ub2 srcid,
                           const void *srcp, size_t srclen, size_t *rsize) {
  return guard([&]() -> sword {
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (env_of(envhp) == nullptr || e == nullptr) return OCI_INVALID_HANDLE;
    std::string out;
    if (charset_convert(srcid, dstid, srcp, srclen, &out) < 0) {
      set_error(e, 12715, std::to_string(charset_name(srcid) == nullptr ? srcid : dstid));
      return OCI_ERROR;
    }
    if (out.size() > dstlen) {
      set_error(e, 6502);
      return OCI_ERROR;
    }
    if (!out.empty()) memcpy(dstp, out.data(), out.size());
    if (rsize != nullptr) *rsize = out.size();
    return OCI_SUCCESS;
  });
}

sword OCINlsNumericInfoGet(void *envhp, OCIError *errhp, sb4 *val, ub2 item) {
  return guard([&]() -> sword {
    Env *env = env_of(envhp);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (env == nullptr || val == nullptr) return OCI_INVALID_HANDLE;
    if (item != OCI_NLS_CHARSET_MAXBYTESZ) {
      set_error(e, 3001, "NLS item " + std::to_string(item));
      return OCI_ERROR;
    }
    *val = charset_maxbytes(env->csid);
    return OCI_SUCCESS;
  });
}

sword OCIDescriptorAlloc(const void *parenth, void **descpp, ub4 type, size_t xtramem_sz, void **usrmempp) {
  (void)xtramem_sz, (void)usrmempp;
  return guard([&]() -> sword {
    if (env_of(parenth) == nullptr || descpp == nullptr || type != OCI_DTYPE_LOB) return OCI_INVALID_HANDLE;
    Lob *l = new Lob();
    l->htype = OCI_DTYPE_LOB;
    *descpp = l;
    return OCI_SUCCESS;
  });
}

sword OCIDescriptorFree(void *descp, ub4 type) {
  return guard([&]() -> sword {
    Lob *l = as<Lob>(descp, OCI_DTYPE_LOB);
    if (l == nullptr || type != OCI_DTYPE_LOB) return OCI_INVALID_HANDLE;
    // A failed store of its changes has no error handle to go to: its session's commit
    // reports it instead.
    lob_forget(l);
    l->magic = 0;
    delete l;
    return OCI_SUCCESS;
  });
}

sword OCITransCommit(OCISvcCtx *svchp, OCIError *errhp, ub4 flags) {
  (void)flags;
  return guard([&]() -> sword {
    SvcCtx *svc = as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || e == nullptr) return OCI_INVALID_HANDLE;
    sword st = session_call(svc->ses, e);
    if (st != OCI_SUCCESS) return st;
    // LOB changes still held by their locators go into the transaction first.
    if (lobs_settle(svc->ses, e) != OCI_SUCCESS) return OCI_ERROR;
    sqlite3 *db = svc->ses->srv->db;
    if (!sqlite3_get_autocommit(db)) {
      int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) {
        set_sqlite_error(e, db, rc);
        return OCI_ERROR;
      }
    }
    faults_refresh(svc->ses);
    if (lobs_end_transaction(svc->ses)) {
      // Committed all the same; the caller is told that LOBs were left open.
      set_error(e, 22297);
      return OCI_ERROR;
    }
    return OCI_SUCCESS;
  });
}

sword OCITransRollback(OCISvcCtx *svchp, OCIError *errhp, ub4 flags) {
  (void)flags;
  return guard([&]() -> sword {
    SvcCtx *svc = as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
    Error *e = as<Error>(errhp, OCI_HTYPE_ERROR);
    if (svc == nullptr || e == nullptr) return OCI_INVALID_HANDLE;
    sword st = session_call(svc->ses, e);
    if (st != OCI_SUCCESS) return st;
    end_transaction(svc->ses->srv->db, false);
    lobs_end_transaction(svc->ses);
    faults_refresh(svc->ses);
    return OCI_SUCCESS;
  });
}

}  // extern "C"
