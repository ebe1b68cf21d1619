// The target checkpoint: one row per (home, unit, component) in KS_APPLY_CKP of the
// target login schema, holding the trail file number and the commit SCN and XID of the
// last transaction replayed. Created when missing, read once at start, and updated
// through a statement bound to x_ckp_fno, x_ckp_scn and x_ckp_xid right before every
// commit. Names go into the texts with their single quotes doubled, so a home path with
// a quote cannot break the statements.
#include <cstdio>

#include "apply/apply_db.h"
#include "lib/log/log.h"

namespace {

const char kCreate[] =
    "create table KS_APPLY_CKP\n(KS_HOME    char(256),\n UNIT_NAME  char(32),\n APP_NAME   char(32),\n"
    " FILE_NO    number,\n SCN        number,\n XID        number)\nstorage (buffer_pool keep) cache";

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

int insert_first_row(ks_ap_db_t *a, const Ident &id) {
  char sql[1024];
  std::snprintf(sql, sizeof sql,
                "insert into KS_APPLY_CKP (KS_HOME, UNIT_NAME, APP_NAME, FILE_NO, SCN, XID)\n"
                "values ('%s', '%s', '%s', 0, 0, 0)",
                id.home, id.unit, id.com);
  if (prepare(a, sql) < 0) return -1;
  if (ks_oci_execute(a->se, &a->st_cp, 1, 0) != 0) {
    KS_ERROR("execute statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  if (ks_oci_commit(a->se, 0) != 0) {
    KS_ERROR("commit transaction error.\n%s", ks_oci_get_message());
    return -1;
  }
  return 0;
}

}  // namespace

int ks_get_checkpoint(ks_ap_db_t *a, uint32_t *fno, uint64_t *scn, uint64_t *xid) {
  Ident id;
  char sql[1024];
  std::snprintf(sql, sizeof sql,
                "select FILE_NO, SCN, XID from KS_APPLY_CKP\nwhere KS_HOME='%s' and UNIT_NAME='%s' and APP_NAME='%s'",
                id.home, id.unit, id.com);
  *fno = 0;
  *scn = 0;
  *xid = 0;
  // The missing table may be reported when the text is prepared or when it runs.
  bool missing = false;
  if (ks_oci_get_statement(a->se, &a->st_cp) != 0) {
    KS_ERROR("get statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  if (ks_oci_prepare_statement(a->se, &a->st_cp, sql) != 0) {
    if (ks_oci_get_error_code() != 942) {
      KS_ERROR("prepare statement error.\n%s", ks_oci_get_message());
      return -1;
    }
    missing = true;
  }
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
  if (!missing) {
    if (ks_oci_auto_define(a->se, &a->st_cp, &ds) != 0) {
      KS_ERROR("define data output error.\n%s", ks_oci_get_message());
      return -1;
    }
    rc = ks_oci_execute(a->se, &a->st_cp, 0, 0);
    if (rc < 0) {
      if (ks_oci_get_error_code() != 942) {
        KS_ERROR("execute statement error.\n%s", ks_oci_get_message());
        return -1;
      }
      missing = true;
    }
  }
  if (missing) {
    if (prepare(a, kCreate) < 0) return -1;
    if (ks_oci_execute(a->se, &a->st_cp, 1, 0) < 0) {
      KS_ERROR("execute statement error.\n%s", ks_oci_get_message());
      return -1;
    }
    return insert_first_row(a, id);
  }
  if (rc == 1) return insert_first_row(a, id);  // no row for this component
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
  return insert_first_row(a, id);
}

int ks_prepare_checkpoint_stmt(ks_ap_db_t *a) {
  Ident id;
  char sql[1024];
  std::snprintf(
      sql, sizeof sql,
      "update KS_APPLY_CKP set FILE_NO=:1, SCN=:2, XID=:3\nwhere KS_HOME='%s' and UNIT_NAME='%s' and APP_NAME='%s'",
      id.home, id.unit, id.com);
  if (prepare(a, sql) < 0) return -1;
  // The binds point at the globals: each execution writes their values of that moment.
  static ks_oci_bnd_t bc[3];
  std::memset(bc, 0, sizeof bc);
  bc[0].ctype = kUint;
  bc[0].vsz = 4;
  bc[0].valp = reinterpret_cast<uint8_t *>(&x_ckp_fno);
  bc[1].ctype = kUint;
  bc[1].vsz = 8;
  bc[1].valp = reinterpret_cast<uint8_t *>(&x_ckp_scn);
  bc[2].ctype = kUint;
  bc[2].vsz = 8;
  bc[2].valp = reinterpret_cast<uint8_t *>(&x_ckp_xid);
  if (ks_oci_auto_bind(a->se, &a->st_cp, bc, 3, 1) != 0) {
    KS_ERROR("bind checkpoint error.\n%s", ks_oci_get_message());
    return -1;
  }
  return 0;
}
