// Translation between positions (segment, offset) stored in shared memory and this
// process's addresses.
#include "lib/log/log.h"
#include "lib/shm/shm.h"

ks_sysinfo_t *ks_shm_get_sys_ptr() {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return nullptr;
  }
  return reinterpret_cast<ks_sysinfo_t *>(shm_inf.segs[0].head);
}

void *ks_shm_get_ptr(uint32_t sno, uint32_t ofs) {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return nullptr;
  }
  if (sno == 0 && ofs == 0) return nullptr;
  if (sno >= uint32_t(shm_inf.nsegs) || ofs >= shm_inf.segs[sno].shm_sz) {
    KS_ERROR("shared memory position %u:%u out of range.", sno, ofs);
    return nullptr;
  }
  return shm_inf.segs[sno].head + ofs;
}

int ks_shm_get_pos(const void *ptr, uint32_t *sno, uint32_t *ofs) {
  const char *p = static_cast<const char *>(ptr);
  for (int s = 0; s < shm_inf.nsegs; ++s) {
    const ks_shm_segment_t &g = shm_inf.segs[s];
    if (g.head != nullptr && p >= g.head && p < g.head + g.shm_sz) {
      *sno = uint32_t(s);
      *ofs = uint32_t(p - g.head);
      return 0;
    }
  }
  KS_ERROR("shared memory pointer %p not found.", ptr);
  return -1;
}
