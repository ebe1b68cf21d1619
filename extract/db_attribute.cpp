// What capture needs to know of the connected source: the instance's redo thread, the
// logging attributes that make its redo fit for capture, and a pluggable database's
// container uid.
#include <cstdio>
#include <cstring>

#include "extract/db_query.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"

int ks_get_thread(ks_extr_t *ex) {
  ks_oci_stmt_t st{};
  int32_t thrd = 0;
  ks_qcol_t col{KS_QT_INT, sizeof thrd, &thrd};
  int rows = ks_db_query(ex->a->se, &st, false, "select thread# from v$instance", nullptr, 0, &col, 1, 1);
  if (rows < 0) return -1;
  if (rows == 0) {
    KS_ERROR("thread# not found.");
    return -1;
  }
  return thrd;
}

int ks_get_db_attribute(ks_extr_t *ex) {
  char v[4][32] = {};
  ks_qcol_t cols[4];
  for (int i = 0; i < 4; i++) cols[i] = {KS_QT_STR, sizeof v[i], v[i]};
  ks_oci_stmt_t st{};
  int rows = ks_db_query(ex->a->se, &st, false,
                         "select log_mode, supplemental_log_data_min, supplemental_log_data_pk, force_logging "
                         "from v$database",
                         nullptr, 0, cols, 4, 1);
  if (rows < 0) return -1;
  if (rows == 0) {
    KS_ERROR("database attribute not found.");
    return -1;
  }
  int bits = 0;
  if (strcmp(v[0], "ARCHIVELOG") == 0) bits |= KS_DBA_ARCHIVELOG;
  if (strcmp(v[1], "YES") == 0) bits |= KS_DBA_SUPLOG_MIN;
  if (strcmp(v[2], "YES") == 0) bits |= KS_DBA_SUPLOG_PK;
  if (strcmp(v[3], "YES") == 0) bits |= KS_DBA_FORCE_LOGGING;
  if (ex->flag & KS_EXTR_PDB) {
    char pk[32];
    ks_qcol_t col{KS_QT_STR, sizeof pk, pk};
    rows =
        ks_db_query(ex->a->se, &st, false, "select PRIMARY_KEY from dba_supplemental_logging", nullptr, 0, &col, 1, 1);
    if (rows < 0) return -1;
    if (rows == 0) {
      KS_ERROR("database supplemental log KEY status not found.");
      return -1;
    }
    if (strcmp(pk, "YES") == 0) bits |= KS_DBA_SUPLOG_PK;
  }
  return bits;
}

int ks_get_con_uid(ks_extr_t *ex) {
  if (!(ex->flag & KS_EXTR_PDB)) return 0;
  ks_cfg_db_t *db;
  ks_cfg_inst_t *inst;
  if (ks_get_source_db(&db, &inst) < 0) return -1;
  // The name goes into the text: a quote in it would end the literal early.
  if (strchr(db->pdb, '\'') != nullptr) {
    KS_ERROR("invalid PDB name \"%s\".", db->pdb);
    return -1;
  }
  char sql[128];
  snprintf(sql, sizeof sql, "select con_uid from dba_pdbs where pdb_name='%s'", db->pdb);
  uint64_t uid = 0;
  ks_qcol_t col{KS_QT_UIN, sizeof uid, &uid};
  ks_oci_stmt_t st{};
  int rows = ks_db_query(ex->a->se, &st, false, sql, nullptr, 0, &col, 1, 1);
  if (rows < 0) return -1;
  if (rows == 0) {
    KS_ERROR("PDB container UID not found.");
    return -1;
  }
  ex->con_uid = static_cast<uint32_t>(uid);
  return 0;
}
