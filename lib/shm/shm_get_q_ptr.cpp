// Local address of the system queue recorded in the header; null until the manager has set it.
#include "lib/log/log.h"
#include "lib/shm/shm.h"

void *ks_shm_get_q_ptr() {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return nullptr;
  }
  const auto *si = reinterpret_cast<const ks_sysinfo_t *>(shm_inf.segs[0].head);
  if (si->q_sno == 0 && si->q_ofs == 0) return nullptr;
  return ks_shm_get_ptr(si->q_sno, si->q_ofs);
}
