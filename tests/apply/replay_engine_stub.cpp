// Recording stand-ins for the engines the replay calls (see replay_stub.h).
#include "apply/apply.h"
#include "tests/apply/replay_stub.h"

StubDb g_db;

namespace {

std::string describe(const uint8_t *rh) {
  char o[32], t[32];
  ks_rh_name(rh, KS_RH_OWNR_OFS, o);
  ks_rh_name(rh, KS_RH_ONAM_OFS, t);
  std::string s = std::string(o) + "." + t + ":" + std::to_string(ks_rh_opc(rh)) + ":";
  static ks_lcr_cols_t lc;
  if (ks_lcr_parse(rh, &lc) == 0) {
    const ks_col_view *c = lc.nnew > 0 && lc.opc != KS_OPC_QMI ? &lc.newc[0] : (lc.nold > 0 ? &lc.oldc[0] : nullptr);
    if (c != nullptr) s.append(reinterpret_cast<const char *>(c->val), c->dlen);
  }
  return s;
}

}  // namespace

int ks_array_push(ks_apply_t *ap, uint8_t *rhdr, uint32_t) {
  uint32_t opc = ks_rh_opc(rhdr);
  if (opc < 1 || opc > 3) return 0;  // no statement for other opcodes
  g_db.pushes++;
  if (g_db.pushes == g_db.fail_push_at) return -1;
  if (g_db.pushes == g_db.unit_fault_at) {
    ks_unit_fail(g_db.unit_fault, "ORA-01653: unable to extend table");
    return -1;
  }
  // The row must still be readable where the engine was told it is.
  g_db.pending.push_back(describe(rhdr));
  ap->x->nrow++;
  if (g_db.pushes == g_db.stop_after_pushes) x_loop = 0;
  return 0;
}

int ks_array_execute(ks_apply_t *ap) {
  if (ap->x->nrow > 0) g_db.executions.push_back(ap->x->nrow);
  ap->x->nrow = 0;
  return 0;
}

int ks_commit_work(ks_apply_t *) {
  if (ks_error_flush() < 0) return -1;
  for (auto &r : g_db.pending) g_db.committed.push_back(r);
  g_db.pending.clear();
  g_db.ckp = {x_ckp_fno, x_ckp_scn, x_ckp_xid};
  g_db.commits.push_back(g_db.ckp);
  return 0;
}

int ks_rollback_work(ks_apply_t *ap) {
  ap->x->nrow = 0;
  g_db.pending.clear();
  g_db.rollbacks++;
  return 0;
}

int ks_perform_qmi(ks_apply_t *, uint8_t *rhdr, uint32_t) {
  g_db.pending.push_back(describe(rhdr));
  return 0;
}

int ks_execute_command() { return 0; }

int ks_execute_ddl(ks_apply_t *, uint8_t *thdr) {
  x_ckp_scn = ks_th_cscn(thdr);
  x_ckp_xid = ks_th_xid(thdr);
  return 0;
}
int ks_sync_sequence(ks_apply_t *, uint8_t *, uint32_t) { return 0; }
// LOB and LONG records reach their engines; the walk around them is what is tested here.
int ks_perform_lob_select(ks_apply_t *, uint8_t *, uint32_t) { return 0; }
int ks_perform_lob_write(ks_apply_t *, uint8_t *, uint32_t) { return 0; }
int ks_perform_lob_trim(ks_apply_t *, uint8_t *, uint32_t) { return 0; }
int ks_perform_lob_erase(ks_apply_t *, uint8_t *, uint32_t) { return 0; }
int ks_perform_long_data(ks_apply_t *, uint8_t *, uint32_t) { return 0; }
void ks_lob_txn_reset(ks_apply_t *) {}
void ks_long_check(ks_apply_t *) {}
