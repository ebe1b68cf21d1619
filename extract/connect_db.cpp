// The session to the source database: which database and instance this component reads
// (shared configuration), the connect string, connect and disconnect. The session's
// kept statements live exactly as long as the session.
#include <cstdio>
#include <cstring>

#include "extract/extract.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"

int ks_get_source_db(ks_cfg_db_t **dbp, ks_cfg_inst_t **instp) {
  ks_cfg_bh_t *bh = ks_cfg_area();
  ks_cfg_com_t *coms = bh != nullptr ? ks_cfg_coms(bh) : nullptr;
  if (coms == nullptr || x_pst == nullptr || x_pst->comid < 0) {
    KS_ERROR("component \"%s\" not found in configuration.", com_name);
    return -1;
  }
  const char *src = coms[x_pst->comid].src_db;
  int di = ks_cfg_find_db(bh, src);
  if (di < 0) {
    KS_ERROR("database \"%s\" not found.", src);
    return -1;
  }
  ks_cfg_db_t *db = &ks_cfg_dbs(bh)[di];
  ks_cfg_inst_t *insts = ks_cfg_insts(bh);
  ks_cfg_inst_t *inst = nullptr;
  if (db->ref_num >= 0 && db->inst_cnt > 0) {
    if (!x_rac) {
      inst = &insts[db->ref_num];
    } else {
      for (uint32_t k = 0; k < db->inst_cnt; k++) {
        ks_cfg_inst_t *in = &insts[db->ref_num + static_cast<int32_t>(k)];
        if (static_cast<int>(in->thrd) == x_thrd) {
          inst = in;
          break;
        }
      }
    }
  }
  if (inst == nullptr) {
    KS_ERROR("thread %d not found.", x_thrd);
    return -1;
  }
  *dbp = db;
  *instp = inst;
  return 0;
}

namespace {

// The connect string of one instance: its own descriptor, or one made of its address.
void instance_tns(const ks_cfg_db_t *db, ks_cfg_inst_t *inst, char *tns, size_t n) {
  if (inst->tns[0] != '\0') {
    snprintf(tns, n, "%s", inst->tns);
    return;
  }
  // A pluggable source is reached through its own service; remember it in the entry.
  if (db->pdb[0] != '\0' && inst->svc_name[0] == '\0') snprintf(inst->svc_name, sizeof inst->svc_name, "%s", db->pdb);
  // On a clustered source the service runs on every instance: the descriptor names the
  // instance so that the session is on this one and not wherever the listener sends it.
  char named[64] = "";
  if (x_rac) snprintf(named, sizeof named, "(INSTANCE_NAME=%s)", inst->inst_name);
  snprintf(tns, n, "(DESCRIPTION=(ADDRESS=(PROTOCOL=tcp)(HOST=%s)(PORT=%d))(CONNECT_DATA=(SERVICE_NAME=%s)%s))",
           inst->vip, static_cast<int>(inst->vport), inst->svc_name, named);
}

}  // namespace

int ks_connect_db(ks_extr_t *ex) {
  ks_cfg_db_t *db;
  ks_cfg_inst_t *inst;
  if (ks_get_source_db(&db, &inst) < 0) return -1;
  if (db->pdb[0] != '\0')
    ex->flag |= KS_EXTR_PDB;
  else
    ex->flag &= ~static_cast<uint32_t>(KS_EXTR_PDB);

  char tns[512];
  instance_tns(db, inst, tns, sizeof tns);
  if (ks_oci_connect(ex->a->se, db->dbuser, db->passwd, tns, 1) == 0) return 0;
  if (!x_rac) {
    KS_ERROR("connect %s: %s", db->name, ks_oci_get_message());
    return -1;
  }
  char why[256];
  snprintf(why, sizeof why, "%s", ks_oci_get_message());
  // The instance of this thread is down (or unreachable): its thread's logs are still
  // there to read, and every query this process makes names its thread or is about the
  // whole database, so any other instance of the database serves it as well.
  ks_cfg_inst_t *insts = ks_cfg_insts(ks_cfg_area());
  for (uint32_t k = 0; k < db->inst_cnt; k++) {
    ks_cfg_inst_t *other = &insts[db->ref_num + static_cast<int32_t>(k)];
    if (other == inst) continue;
    instance_tns(db, other, tns, sizeof tns);
    if (ks_oci_connect(ex->a->se, db->dbuser, db->passwd, tns, 1) == 0) {
      KS_WARN("instance %s of thread %d not available (%s): connected to %s through instance %s.", inst->inst_name,
              x_thrd, why, db->name, other->inst_name);
      return 0;
    }
    KS_ERROR("connect %s through instance %s: %s", db->name, other->inst_name, ks_oci_get_message());
  }
  KS_ERROR("connect %s: %s", db->name, why);
  return -1;
}
