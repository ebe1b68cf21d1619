// LOB and LONG records are not replayed by this delivery process: each is stepped over
// with a notice in the log so an operator can see what the target missed.
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
