// LOB, LONG, DDL and sequence records are not replayed by this delivery process: each
// is stepped over with a notice in the log so an operator can see what the target
// missed. A DDL transaction still moves the checkpoint position, so a restart does not
// meet it again.
#include "apply/apply.h"
#include "lib/log/log.h"

namespace {

int skipped(const char *what, const uint8_t *rhdr) {
  char ownr[32], onam[32];
  ks_rh_name(rhdr, KS_RH_OWNR_OFS, ownr);
  ks_rh_name(rhdr, KS_RH_ONAM_OFS, onam);
  KS_WARN("%s of \"%s\".\"%s\" is not replayed by this apply; record skipped.", what, ownr, onam);
  return 0;
}

}  // namespace

int ks_perform_lob_select(ks_apply_t *, uint8_t *rhdr, uint32_t) { return skipped("LOB select", rhdr); }
int ks_perform_lob_write(ks_apply_t *, uint8_t *rhdr, uint32_t) { return skipped("LOB write", rhdr); }
int ks_perform_lob_trim(ks_apply_t *, uint8_t *rhdr, uint32_t) { return skipped("LOB trim", rhdr); }
int ks_perform_lob_erase(ks_apply_t *, uint8_t *rhdr, uint32_t) { return skipped("LOB erase", rhdr); }
int ks_perform_long_data(ks_apply_t *, uint8_t *rhdr, uint32_t) { return skipped("LONG piece", rhdr); }
int ks_sync_sequence(ks_apply_t *, uint8_t *rhdr, uint32_t) { return skipped("sequence change", rhdr); }

int ks_execute_ddl(ks_apply_t *, uint8_t *thdr) {
  x_ckp_scn = ks_th_cscn(thdr);
  x_ckp_sct = ks_th_csct(thdr);
  x_ckp_xid = ks_th_xid(thdr);
  uint32_t tlen = ks_th_tlen(thdr);
  if (tlen >= KS_LCR_TH_SZ + KS_LCR_RH_SZ) return skipped("DDL", thdr + KS_LCR_TH_SZ);
  KS_WARN("DDL transaction is not replayed by this apply; skipped.");
  return 0;
}
