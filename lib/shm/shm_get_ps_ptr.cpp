// Local address of the process table recorded in the header; null until the manager has set it.
#include "lib/log/log.h"
#include "lib/shm/shm.h"

void *ks_shm_get_ps_ptr() {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return nullptr;
  }
  const auto *si = reinterpret_cast<const ks_sysinfo_t *>(shm_inf.segs[0].head);
  if (si->ps_sno == 0 && si->ps_ofs == 0) return nullptr;
  return ks_shm_get_ptr(si->ps_sno, si->ps_ofs);
}
