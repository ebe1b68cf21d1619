// Local address of the configuration area recorded in the header; null until the manager has set it.
#include "lib/log/log.h"
#include "lib/shm/shm.h"

void *ks_shm_get_cfg_ptr() {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return nullptr;
  }
  const auto *si = reinterpret_cast<const ks_sysinfo_t *>(shm_inf.segs[0].head);
  if (si->cfg_sno == 0 && si->cfg_ofs == 0) return nullptr;
  return ks_shm_get_ptr(si->cfg_sno, si->cfg_ofs);
}
