// A running component's parameters, looked up by unit and component name in the
// configuration area.
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"

int ks_cfg_get_parameter(const char *un_name, const char *cm_name, ks_cfg_param_t **param) {
  ks_cfg_bh_t *bh = ks_cfg_area();
  if (bh == nullptr) {
    KS_ERROR("configuration not loaded.");
    return -1;
  }
  if (ks_cfg_find_unit(bh, un_name) < 0) {
    KS_ERROR("unit \"%s\" not found.", un_name);
    return -1;
  }
  int c = ks_cfg_find_com(bh, un_name, cm_name);
  if (c < 0) {
    KS_ERROR("component \"%s\" not found.", cm_name);
    return -1;
  }
  int p = ks_cfg_coms(bh)[c].para_id;
  if (p < 0 || uint32_t(p) >= bh->n_params) {
    KS_ERROR("component \"%s\" has no parameters.", cm_name);
    return -1;
  }
  *param = &ks_cfg_params(bh)[p];
  return 0;
}
