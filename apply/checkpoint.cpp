// The target checkpoint: one row per (home, unit, component, redo thread) in KS_APPLY_CKP
// of the target login schema, holding the trail file number and the commit SCN and XID of
// the last transaction replayed from that thread's trail (thread 0: a single-instance
// source). Created when missing, a table of the days before threads gains THREAD_NO in
// place (its row becomes thread 0's), read once at start, and updated for every trail
// right before every commit. Names go into the texts with their single quotes doubled,
// so a home path with a quote cannot break the statements.
#include <cstdio>

#include "apply/apply_db.h"
#include "lib/log/log.h"

namespace {

const char kCreate[] =
    "create table KS_APPLY_CKP\n(KS_HOME    char(256),\n UNIT_NAME  char(32),\n APP_NAME   char(32),\n"
    " FILE_NO    number,\n SCN        number,\n XID        number,\n THREAD_NO  number default 0)\n"
    "storage (buffer_pool keep) cache";
const char kUpgrade[] = "alter table KS_APPLY_CKP add (THREAD_NO number default 0)";

constexpr uint32_t kUint = 18;  // unsigned integer, by type index

// s with its single quotes doubled (at most osz - 1 bytes).
void quoted(const char *s, char *out, size_t osz) {
  size_t j = 0;
  for (size_t i = 0; s[i] != '\0' && j + 2 < osz; i++) {
    if (s[i] == '\'') out[j++] = '\'';
    out[j++] = s[i];
  }
  out[j] = '\0';
}

// The three identifying values, quoted.
struct Ident {
  char home[520], unit[70], com[70];
  Ident() {
    quoted(ks_get_home_dir(), home, sizeof home);
    quoted(unit_name, unit, sizeof unit);
    quoted(com_name, com, sizeof com);
  }
};

int prepare(ks_ap_db_t *a, const char *sql) {
  if (ks_oci_get_statement(a->se, &a->st_cp) != 0) {
    KS_ERROR("get statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  if (ks_oci_prepare_statement(a->se, &a->st_cp, sql) != 0) {
    KS_ERROR("prepare statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  return 0;
}

int run(ks_ap_db_t *a, const char *sql) {
  if (prepare(a, sql) < 0) return -1;
  if (ks_oci_execute(a->se, &a->st_cp, 1, 0) < 0) {
    KS_ERROR("execute statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  return 0;
}

int insert_first_row(ks_ap_db_t *a, const Ident &id, int thr) {
  char sql[1024];
  std::snprintf(sql, sizeof sql,
                "insert into KS_APPLY_CKP (KS_HOME, UNIT_NAME, APP_NAME, THREAD_NO, FILE_NO, SCN, XID)\n"
                "values ('%s', '%s', '%s', %d, 0, 0, 0)",
                id.home, id.unit, id.com, thr);
  if (run(a, sql) < 0) return -1;
  if (ks_oci_commit(a->se, 0) != 0) {
    KS_ERROR("commit transaction error.\n%s", ks_oci_get_message());
    return -1;
  }
  return 0;
}

// The select of the row: 0 with ds defined and executed (rc: the execute's answer), or
// the error code that stopped it (942 no table, 904 no THREAD_NO column), -1 otherwise.
int select_row(ks_ap_db_t *a, const char *sql, ks_oci_ds_t *ds, int *rc) {
  if (ks_oci_get_statement(a->se, &a->st_cp) != 0) {
    KS_ERROR("get statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  // A missing table or column may be reported when the text is prepared or when it runs.
  if (ks_oci_prepare_statement(a->se, &a->st_cp, sql) != 0) {
    int code = ks_oci_get_error_code();
    if (code == 942 || code == 904) return code;
    KS_ERROR("prepare statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  if (ks_oci_auto_define(a->se, &a->st_cp, ds) != 0) {
    KS_ERROR("define data output error.\n%s", ks_oci_get_message());
    return -1;
  }
  *rc = ks_oci_execute(a->se, &a->st_cp, 0, 0);
  if (*rc < 0) {
    int code = ks_oci_get_error_code();
    if (code == 942 || code == 904) return code;
    KS_ERROR("execute statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  return 0;
}

// Values bound to the prepared update, set for each trail before it runs.
uint32_t s_fno = 0;
uint64_t s_scn = 0, s_xid = 0;
uint32_t s_thr = 0;

}  // namespace

int ks_get_checkpoint(ks_ap_db_t *a, int thr, uint32_t *fno, uint64_t *scn, uint64_t *xid) {
  Ident id;
  char sql[1024];
  std::snprintf(sql, sizeof sql,
                "select FILE_NO, SCN, XID from KS_APPLY_CKP\n"
                "where KS_HOME='%s' and UNIT_NAME='%s' and APP_NAME='%s' and THREAD_NO=%d",
                id.home, id.unit, id.com, thr);
  *fno = 0;
  *scn = 0;
  *xid = 0;
  static uint8_t buf[256];
  ks_oci_def_t df[3];
  std::memset(df, 0, sizeof df);
  df[0].ctype = kUint;
  df[0].vsz = 4;
  df[1].ctype = kUint;
  df[1].vsz = 8;
  df[2].ctype = kUint;
  df[2].vsz = 8;
  ks_oci_ds_t ds{3, 0, static_cast<int>(sizeof buf), buf, df};
  int rc = 0;
  int got = select_row(a, sql, &ds, &rc);
  if (got == 904) {
    // A table of the days before threads: its row goes on as thread 0's.
    KS_INFO("checkpoint table KS_APPLY_CKP gains the column THREAD_NO; its rows are thread 0's.");
    if (run(a, kUpgrade) < 0) return -1;
    got = select_row(a, sql, &ds, &rc);
  }
  if (got == 942) {
    if (run(a, kCreate) < 0) return -1;
    return insert_first_row(a, id, thr);
  }
  if (got != 0) {
    if (got > 0) KS_ERROR("read checkpoint error.\n%s", ks_oci_get_message());
    return -1;
  }
  if (rc == 1) return insert_first_row(a, id, thr);  // no row for this component and thread
  int rows = 0;
  rc = ks_oci_fetch(a->se, &a->st_cp, 1, &rows);
  if (rc < 0 || rc == 2) {
    KS_ERROR("fetch data error.\n%s", ks_oci_get_message());
    return -1;
  }
  if (rows >= 1) {
    *fno = ks::load<uint32_t>(df[0].valp);
    *scn = ks::load<uint64_t>(df[1].valp);
    *xid = ks::load<uint64_t>(df[2].valp);
    return 0;
  }
  return insert_first_row(a, id, thr);
}

int ks_prepare_checkpoint_stmt(ks_ap_db_t *a) {
  Ident id;
  char sql[1024];
  std::snprintf(sql, sizeof sql,
                "update KS_APPLY_CKP set FILE_NO=:1, SCN=:2, XID=:3\n"
                "where KS_HOME='%s' and UNIT_NAME='%s' and APP_NAME='%s' and THREAD_NO=:4",
                id.home, id.unit, id.com);
  if (prepare(a, sql) < 0) return -1;
  // The binds point at the statics: each execution writes their values of that moment.
  static ks_oci_bnd_t bc[4];
  std::memset(bc, 0, sizeof bc);
  bc[0].ctype = kUint;
  bc[0].vsz = 4;
  bc[0].valp = reinterpret_cast<uint8_t *>(&s_fno);
  bc[1].ctype = kUint;
  bc[1].vsz = 8;
  bc[1].valp = reinterpret_cast<uint8_t *>(&s_scn);
  bc[2].ctype = kUint;
  bc[2].vsz = 8;
  bc[2].valp = reinterpret_cast<uint8_t *>(&s_xid);
  bc[3].ctype = kUint;
  bc[3].vsz = 4;
  bc[3].valp = reinterpret_cast<uint8_t *>(&s_thr);
  if (ks_oci_auto_bind(a->se, &a->st_cp, bc, 4, 1) != 0) {
    KS_ERROR("bind checkpoint error.\n%s", ks_oci_get_message());
    return -1;
  }
  return 0;
}

int ks_update_checkpoint(ks_ap_db_t *a, const ks_ap_reader_t *r) {
  s_fno = r->ckp_fno;
  s_scn = r->ckp_scn;
  s_xid = r->ckp_xid;
  s_thr = static_cast<uint32_t>(r->thr);
  return ks_oci_execute(a->se, &a->st_cp, 1, 0) < 0 ? -1 : 0;
}
