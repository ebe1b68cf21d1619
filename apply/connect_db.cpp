// The connection to the target database named by this component's tgt_db, and the
// release of everything the replay holds on it. A failed attempt releases the handles
// it allocated, so the retry loop does not pile them up.
#include <cstdio>

#include "apply/apply_db.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/util.h"

ks_ap_db_t x_ado;
OCILobLocator *x_empty_locp = nullptr;
ks_oci_lob_t x_lob;
ks_oci_pw_t x_piece;
ks_ps_task_t *x_pst = nullptr;

int ks_connect_db(ks_ap_db_t *a) {
  ks_cfg_bh_t *bh = ks_cfg_area();
  if (bh == nullptr || x_pst == nullptr || x_pst->comid < 0 || static_cast<uint32_t>(x_pst->comid) >= bh->n_comps) {
    KS_ERROR("configuration of this component not loaded.");
    return -1;
  }
  const ks_cfg_com_t &com = ks_cfg_coms(bh)[x_pst->comid];
  int di = ks_cfg_find_db(bh, com.tgt_db);
  if (di < 0) {
    KS_ERROR("database \"%s\" not found.", com.tgt_db);
    return -1;
  }
  const ks_cfg_db_t &db = ks_cfg_dbs(bh)[di];
  char cs[512] = "";
  if (db.ref_num >= 0 && static_cast<uint32_t>(db.ref_num) < bh->n_insts) {
    const ks_cfg_inst_t &in = ks_cfg_insts(bh)[db.ref_num];
    if (in.tns[0] != '\0')
      std::snprintf(cs, sizeof cs, "%.32s", in.tns);
    else
      std::snprintf(cs, sizeof cs,
                    "(DESCRIPTION=(ADDRESS=(PROTOCOL=tcp)(HOST=%.32s)(PORT=%u))(CONNECT_DATA=(SERVICE_NAME=%.32s)))",
                    in.vip, in.vport, in.svc_name);
  }
  a->se = &a->sess;
  if (ks_oci_connect(a->se, db.dbuser, db.passwd, cs, 1) != 0) {
    KS_ERROR("connect %s: %s", db.name, ks_oci_get_message());
    ks_oci_disconnect(a->se);
    return -1;
  }
  std::snprintf(x_curr_schema, sizeof x_curr_schema, "%.31s", db.dbuser);
  ks_str_toupper(x_curr_schema);
  return 0;
}

int ks_disconnect_db(ks_ap_db_t *a, bool lost) {
  ks_oci_ses_t *se = a->se;
  if (se == nullptr) return 0;
  // On a session already lost the calls may fail; that is expected, not an error.
  auto failed = [lost](const char *what) {
    if (lost)
      KS_DEBUG("%s (session lost)\n%s", what, ks_oci_get_message());
    else
      KS_ERROR("%s\n%s", what, ks_oci_get_message());
  };
  if (ks_oci_close_statement(se, &a->st_ap) != 0) failed("close statement error.");
  a->st_ap.stmtp = nullptr;
  if (ks_oci_close_statement(se, &a->st_cp) != 0) failed("close statement error.");
  a->st_cp.stmtp = nullptr;
  if (ks_oci_lob_free(se, x_empty_locp) != 0) failed("free empty LOB locator error.");
  x_empty_locp = nullptr;
  if (x_lob.locp != nullptr) {
    if (ks_oci_lob_isopen(se, x_lob.locp) == 1 && ks_oci_lob_close(se, x_lob.locp) != 0)
      failed("close LOB locator error.");
    if (ks_oci_lob_free(se, x_lob.locp) != 0) failed("free LOB locator error.");
    x_lob.locp = nullptr;
  }
  if (ks_oci_disconnect(se) != 0) failed("disconnect DB error.");
  return 0;
}
