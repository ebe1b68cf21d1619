// Connections and statement handles: connect (environment, error handle, server attach,
// session begin), disconnect in reverse order, statement allocation, release and
// prepare, and the session settings (current schema, receive time-out). Every handle
// freed is cleared in its record, so a repeated disconnect is harmless.
#include <cstring>

#include "lib/log/log.h"
#include "oci/oci.h"

namespace {

int fail(const char *msg) {
  ks_oci_set_error_code(-1);
  ks_oci_set_message(msg);
  return -1;
}

// Frees whatever a failed connect allocated, keeping the error that made it fail: the
// callers retry without limit, and each attempt starts from a cleared record.
void release_after_failure(ks_oci_ses_t *c) {
  int code = ks_oci_get_error_code();
  static char msg[KS_OCI_MSG_SZ];
  memcpy(msg, ks_oci_get_message(), KS_OCI_MSG_SZ);
  if (c->usrhp != nullptr) x_oci.OCIHandleFree(c->usrhp, OCI_HTYPE_SESSION);
  if (c->srvhp != nullptr) {
    if (c->errhp != nullptr) x_oci.OCIServerDetach(c->srvhp, c->errhp, OCI_DEFAULT);
    x_oci.OCIHandleFree(c->srvhp, OCI_HTYPE_SERVER);
  }
  if (c->svchp != nullptr) x_oci.OCIHandleFree(c->svchp, OCI_HTYPE_SVCCTX);
  if (c->errhp != nullptr) x_oci.OCIHandleFree(c->errhp, OCI_HTYPE_ERROR);
  if (c->envhp != nullptr) x_oci.OCIHandleFree(c->envhp, OCI_HTYPE_ENV);
  memset(c, 0, sizeof *c);
  ks_oci_set_error_code(code);
  ks_oci_set_message(msg);
}

int connect_steps(ks_oci_ses_t *c, const char *uname, const char *passwd, const char *tns, int mode);

}  // namespace

int ks_oci_connect(ks_oci_ses_t *c, const char *uname, const char *passwd, const char *tns, int mode) {
  memset(c, 0, sizeof *c);
  if (ks_oci_load() < 0) return -1;
  if (connect_steps(c, uname, passwd, tns, mode) == 0) return 0;
  release_after_failure(c);
  return -1;
}

namespace {

int connect_steps(ks_oci_ses_t *c, const char *uname, const char *passwd, const char *tns, int mode) {
  ub4 envmode = OCI_DEFAULT;
  if (!(mode & 0x1)) {
    if (mode & 0x2) envmode |= OCI_OBJECT;
    if (mode & 0x4) envmode |= OCI_THREADED;
  }
  if (x_oci.OCIEnvCreate(&c->envhp, envmode, nullptr, nullptr, nullptr, nullptr, 0, nullptr) != OCI_SUCCESS ||
      c->envhp == nullptr)
    return fail("create OCI enviroment error.");
  if (x_oci.OCIHandleAlloc(c->envhp, reinterpret_cast<void **>(&c->errhp), OCI_HTYPE_ERROR, 0, nullptr) != OCI_SUCCESS)
    return fail("allocate error handle failed.");
  if (ks_oci_check(c->errhp, x_oci.OCIHandleAlloc(c->envhp, reinterpret_cast<void **>(&c->svchp), OCI_HTYPE_SVCCTX, 0,
                                                  nullptr)) != 0)
    return -1;
  if (ks_oci_check(c->errhp, x_oci.OCIHandleAlloc(c->envhp, reinterpret_cast<void **>(&c->srvhp), OCI_HTYPE_SERVER, 0,
                                                  nullptr)) != 0)
    return -1;
  const char *link = (tns != nullptr) ? tns : "";
  if (ks_oci_check(c->errhp, x_oci.OCIServerAttach(c->srvhp, c->errhp, reinterpret_cast<const OraText *>(link),
                                                   static_cast<sb4>(strlen(link)), OCI_DEFAULT)) != 0)
    return -1;
  if (ks_oci_check(c->errhp, x_oci.OCIAttrSet(c->svchp, OCI_HTYPE_SVCCTX, c->srvhp, 0, OCI_ATTR_SERVER, c->errhp)) != 0)
    return -1;
  if (ks_oci_check(c->errhp, x_oci.OCIHandleAlloc(c->envhp, reinterpret_cast<void **>(&c->usrhp), OCI_HTYPE_SESSION, 0,
                                                  nullptr)) != 0)
    return -1;
  const char *u = uname != nullptr ? uname : "";
  const char *p = passwd != nullptr ? passwd : "";
  if (ks_oci_check(c->errhp, x_oci.OCIAttrSet(c->usrhp, OCI_HTYPE_SESSION, const_cast<char *>(u),
                                              static_cast<ub4>(strlen(u)), OCI_ATTR_USERNAME, c->errhp)) != 0)
    return -1;
  if (ks_oci_check(c->errhp, x_oci.OCIAttrSet(c->usrhp, OCI_HTYPE_SESSION, const_cast<char *>(p),
                                              static_cast<ub4>(strlen(p)), OCI_ATTR_PASSWORD, c->errhp)) != 0)
    return -1;
  int r = ks_oci_check(c->errhp, x_oci.OCISessionBegin(c->svchp, c->errhp, c->usrhp, OCI_CRED_RDBMS, OCI_DEFAULT));
  if (r != 0 && r != OCI_SUCCESS_WITH_INFO) return -1;  // a warning such as an expiring password is accepted
  if (ks_oci_check(c->errhp, x_oci.OCIAttrSet(c->svchp, OCI_HTYPE_SVCCTX, c->usrhp, 0, OCI_ATTR_SESSION, c->errhp)) !=
      0)
    return -1;
  return 0;
}

}  // namespace

// Every handle is released even when a step fails: ending a session the server already
// dropped fails, and stopping there would leak the whole set at each reconnect. The
// first failure is still reported.
int ks_oci_disconnect(ks_oci_ses_t *c) {
  if (c == nullptr) return 0;
  if (c->envhp == nullptr && c->errhp == nullptr) return 0;  // never connected, or already released
  if (ks_oci_load() < 0) return -1;
  int rc = 0;
  // Only the first failure is examined, so that its code and message are the ones kept.
  auto step = [&rc, c](sword status) {
    if (rc == 0 && ks_oci_check(c->errhp, status) != 0) rc = -1;
  };
  if (c->svchp != nullptr && c->errhp != nullptr && c->usrhp != nullptr)
    step(x_oci.OCISessionEnd(c->svchp, c->errhp, c->usrhp, OCI_DEFAULT));
  if (c->usrhp != nullptr) {
    step(x_oci.OCIHandleFree(c->usrhp, OCI_HTYPE_SESSION));
    c->usrhp = nullptr;
  }
  if (c->srvhp != nullptr) {
    if (c->errhp != nullptr) step(x_oci.OCIServerDetach(c->srvhp, c->errhp, OCI_DEFAULT));
    step(x_oci.OCIHandleFree(c->srvhp, OCI_HTYPE_SERVER));
    c->srvhp = nullptr;
  }
  if (c->svchp != nullptr) {
    step(x_oci.OCIHandleFree(c->svchp, OCI_HTYPE_SVCCTX));
    c->svchp = nullptr;
  }
  OCIError **errs[] = {&c->errbp2, &c->errbp1, &c->errhp};
  for (OCIError **e : errs) {
    if (*e == nullptr) continue;
    if (x_oci.OCIHandleFree(*e, OCI_HTYPE_ERROR) != OCI_SUCCESS && rc == 0) rc = fail("free error handle failed.");
    *e = nullptr;
  }
  if (c->envhp != nullptr) {
    if (x_oci.OCIHandleFree(c->envhp, OCI_HTYPE_ENV) != OCI_SUCCESS && rc == 0)
      rc = fail("free OCI enviroment handle failed.");
    c->envhp = nullptr;
  }
  return rc;
}

int ks_oci_get_statement(ks_oci_ses_t *c, ks_oci_stmt_t *stmt) {
  if (stmt->stmtp != nullptr) return 0;
  if (c->envhp == nullptr) return fail("not connected.");
  return ks_oci_check(c->errhp, x_oci.OCIHandleAlloc(c->envhp, reinterpret_cast<void **>(&stmt->stmtp), OCI_HTYPE_STMT,
                                                     0, nullptr)) == 0
             ? 0
             : -1;
}

int ks_oci_close_statement(ks_oci_ses_t *c, ks_oci_stmt_t *stmt) {
  (void)c;
  if (stmt->stmtp == nullptr) return 0;
  int r = ks_oci_check(c != nullptr ? c->errhp : nullptr, x_oci.OCIHandleFree(stmt->stmtp, OCI_HTYPE_STMT));
  stmt->stmtp = nullptr;
  return r == 0 ? 0 : -1;
}

int ks_oci_prepare_statement(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, const char *sqltxt) {
  if (stmt->stmtp == nullptr) return fail("statement not allocated.");
  return ks_oci_check(c->errhp, x_oci.OCIStmtPrepare(stmt->stmtp, c->errhp, reinterpret_cast<const OraText *>(sqltxt),
                                                     static_cast<ub4>(strlen(sqltxt)), OCI_NTV_SYNTAX, OCI_DEFAULT)) ==
                 0
             ? 0
             : -1;
}

int ks_oci_set_current_schema(ks_oci_ses_t *c, const char *schema) {
  if (ks_oci_check(c->errhp, x_oci.OCIAttrSet(c->usrhp, OCI_HTYPE_SESSION, const_cast<char *>(schema),
                                              static_cast<ub4>(strlen(schema)), OCI_ATTR_CURRENT_SCHEMA, c->errhp)) !=
      0) {
    KS_ERROR("set current schema - OCIAttrSet()");
    return -1;
  }
  return 0;
}

int ks_oci_get_current_schema(ks_oci_ses_t *c, char *schema) {
  ub4 sz = 0;
  const char *p = nullptr;
  // The attribute comes back as a pointer to the session's own text and its length.
  if (ks_oci_check(c->errhp,
                   x_oci.OCIAttrGet(c->usrhp, OCI_HTYPE_SESSION, &p, &sz, OCI_ATTR_CURRENT_SCHEMA, c->errhp)) != 0) {
    KS_ERROR("get current schema - OCIAttrGet()");
    return -1;
  }
  if (p == nullptr) sz = 0;
  if (sz > 31) sz = 31;
  if (sz > 0) memcpy(schema, p, sz);
  schema[sz] = '\0';
  return 0;
}

int ks_oci_set_timeout(ks_oci_ses_t *c, int sec) {
  ub4 ms = static_cast<ub4>(sec) * 1000u;
  if (ks_oci_check(c->errhp,
                   x_oci.OCIAttrSet(c->srvhp, OCI_HTYPE_SERVER, &ms, 4, OCI_ATTR_RECEIVE_TIMEOUT, c->errhp)) != 0) {
    KS_ERROR("set receive timeout - OCIAttrSet()");
    return -1;
  }
  return 0;
}
