// The database access layer: connections, statements, column-wise array binds and
// defines, execution with batch errors, fetch, the process-wide error state, character
// sets, LOB locators, piecewise values, transactions and session settings. Every call
// goes through the OCI function table of oci_api.h. Operations return 0 on success and
// -1 on failure unless stated; on failure ks_oci_get_error_code()/ks_oci_get_message()
// hold the database error. Not thread-safe: one error state per process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "oci/oci_api.h"

#define KS_OCI_MSG_SZ 16384

// Connection, owned by the caller.
typedef struct __ks_oci_ses_s {
  int mode;           // cleared on connect
  OCIEnv *envhp;      // environment
  OCIError *errhp;    // error handle used by every call
  OCISvcCtx *svchp;   // service context
  OCIServer *srvhp;   // server (attach, receive time-out)
  OCISession *usrhp;  // user session (credentials, current schema)
  OCIError *errbp1;   // extra error handles for batch-error rows, allocated on first use
  OCIError *errbp2;
} ks_oci_ses_t;

typedef struct __ks_oci_stmt_s {
  OCIStmt *stmtp;  // null when not allocated
} ks_oci_stmt_t;

// Bind flag bits.
#define KS_OCI_BND_EXTTYPE 0x1     // ctype is an OCI external type code, not a table index
#define KS_OCI_BND_PIECEWISE 0x2   // data supplied at execution time
#define KS_OCI_BND_NCHAR 0x4       // national character set form
#define KS_OCI_BND_CHARSET 0x1000  // set the bind's character set form and id
#define KS_OCI_BND_MAXDATA 0x2000  // set the bind's maximum data size to 4000

// One bind placeholder; row r's value is at valp + r * vsz.
typedef struct __ks_oci_bnd_s {
  uint32_t flag;
  uint32_t csid;
  uint32_t ctype;
  uint32_t vsz;
  OCIBind *bndp;
  int16_t *indp;
  uint16_t *alenp;
  uint16_t *rcodep;
  uint8_t *valp;
} ks_oci_bnd_t;
static_assert(sizeof(ks_oci_bnd_t) == 56, "bind descriptor layout");
static_assert(offsetof(ks_oci_bnd_t, bndp) == 16 && offsetof(ks_oci_bnd_t, valp) == 48, "bind descriptor layout");

#define KS_OCI_DEF_PIECEWISE 0x1  // column fetched piecewise (LONG): no value slot
#define KS_OCI_DEF_EXTTYPE 0x2    // ctype is an OCI external type code, not a table index

// One select-list column.
typedef struct __ks_oci_def_s {
  uint32_t flag;
  uint32_t ctype;  // index into oci_data_type, or the type code with KS_OCI_DEF_EXTTYPE
  uint32_t vsz;    // value slot size
  OCIDefine *defp;
  int16_t *indp;
  uint16_t *alenp;
  uint16_t *rcodep;
  uint8_t *valp;
} ks_oci_def_t;
static_assert(sizeof(ks_oci_def_t) == 56, "define descriptor layout");
static_assert(offsetof(ks_oci_def_t, defp) == 16, "define descriptor layout");

// A define set: nc columns laid out in the caller's buffer.
typedef struct __ks_oci_ds_s {
  int nc;     // number of columns
  int nrows;  // rows per fetch, computed from buf_sz
  int buf_sz;
  uint8_t *buf;      // caller's buffer
  ks_oci_def_t *df;  // nc descriptors
} ks_oci_ds_t;

// LOB operation.
typedef struct __ks_oci_lob_s {
  uint64_t byte_amt;
  uint64_t char_amt;
  uint64_t buf_sz;
  uint64_t offset;  // 1-based
  uint32_t flag;
  uint16_t csid;
  uint8_t csfrm;  // 2 national, else implicit
  uint8_t piece;  // 1 first, 2 next, 3 last, else the only piece
  OCILobLocator *locp;
  uint8_t *buf;
} ks_oci_lob_t;
static_assert(sizeof(ks_oci_lob_t) == 56, "LOB operation layout");

// Piecewise operation.
typedef struct __ks_oci_pw_s {
  uint32_t htyp;  // 1 bind handle, 2 define handle
  uint32_t alen;
  uint32_t piece;  // 1 first, 3 last, 4 only, else next
  int16_t ind;
  uint16_t rcode;
  void *hndp;
  uint8_t *buf;
} ks_oci_pw_t;
static_assert(sizeof(ks_oci_pw_t) == 32, "piecewise operation layout");

// External type codes by type index (ctype of binds without bit 0 and of defines).
#define KS_OCI_NTYPES 19
extern const uint16_t oci_data_type[KS_OCI_NTYPES];

// Error state.
int ks_oci_check(OCIError *errhp, sword status);
int ks_oci_get_error_code();
const char *ks_oci_get_message();
void ks_oci_set_error_code(int code);
void ks_oci_set_message(const char *text);

// Connections and statements.
int ks_oci_connect(ks_oci_ses_t *c, const char *uname, const char *passwd, const char *tns, int mode);
int ks_oci_disconnect(ks_oci_ses_t *c);
int ks_oci_get_statement(ks_oci_ses_t *c, ks_oci_stmt_t *stmt);
int ks_oci_close_statement(ks_oci_ses_t *c, ks_oci_stmt_t *stmt);
int ks_oci_prepare_statement(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, const char *sqltxt);

// Binding, defining, executing, fetching.
int ks_oci_auto_bind(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, ks_oci_bnd_t *bc, int ncols, int nrows);
int ks_oci_prepare_buffer(ks_oci_ds_t *ds);
int ks_oci_auto_define(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, ks_oci_ds_t *ds);
// 0 done, 1 no data, 2 more data needed, 3 done with a warning, -1 error.
int ks_oci_execute(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int iters, int rowoff);
int ks_oci_execute_batch(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int iters, int rowoff);
// 0 rows fetched, 1 end of data (rrows set), 2 piecewise value pending, -1 error.
int ks_oci_fetch(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int nrows, int *rrows);
int ks_oci_get_batch_errors(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int *num);
int ks_oci_get_array_error(ks_oci_ses_t *c, int ei, int *rowoff);
// Row k's value of a column defined as SQLT_LVC or SQLT_LVB (any length, preceded by its
// sb4 length in the slot): 0 with *data and *len set, 1 when NULL, 2 when cut to the slot
// (the part that fits is set).
int ks_oci_long_value(const ks_oci_def_t *d, int k, const uint8_t **data, uint32_t *len);

// Character sets.
int ks_oci_charset_id2name(ks_oci_ses_t *c, int csid, char *name, int nlen);
int ks_oci_charset_name2id(ks_oci_ses_t *c, const char *name);
int ks_oci_set_charset_id(ks_oci_ses_t *c, int csid);
int ks_oci_set_ncharset_id(ks_oci_ses_t *c, int ncsid);
int ks_oci_charset_convert(ks_oci_ses_t *c, int scsid, int tcsid, const void *sdata, int slen, void *tdata, int dlen);

// LOB locators.
int ks_oci_define_lob(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int ctyp, OCILobLocator **locp);
int ks_oci_lob_new_empty(ks_oci_ses_t *c, OCILobLocator **locp);
int ks_oci_lob_free(ks_oci_ses_t *c, OCILobLocator *locp);
int ks_oci_lob_open(ks_oci_ses_t *c, OCILobLocator *locp, int flag);
int ks_oci_lob_isopen(ks_oci_ses_t *c, OCILobLocator *locp);
int ks_oci_lob_close(ks_oci_ses_t *c, OCILobLocator *locp);
int ks_oci_lob_write(ks_oci_ses_t *c, ks_oci_lob_t *lob);
int ks_oci_lob_trim(ks_oci_ses_t *c, ks_oci_lob_t *lob, uint64_t nlen);
int ks_oci_lob_erase(ks_oci_ses_t *c, ks_oci_lob_t *lob);

// Piecewise values, transactions, session settings.
int ks_oci_set_piece_info(ks_oci_ses_t *c, ks_oci_pw_t *pw);
int ks_oci_commit(ks_oci_ses_t *c, int flag);
int ks_oci_rollback(ks_oci_ses_t *c);
int ks_oci_set_current_schema(ks_oci_ses_t *c, const char *schema);
int ks_oci_get_current_schema(ks_oci_ses_t *c, char *schema);  // schema holds 32 bytes
int ks_oci_set_timeout(ks_oci_ses_t *c, int sec);
