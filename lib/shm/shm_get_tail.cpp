// The system area of segment 0: header, configuration, process table. The manager lays
// it out by advancing tail_ofs, then marks its blocks used so the allocator never hands
// them out.
#include "lib/log/log.h"
#include "lib/shm/shm.h"

namespace {
ks_sysinfo_t *sys() {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return nullptr;
  }
  return reinterpret_cast<ks_sysinfo_t *>(shm_inf.segs[0].head);
}
}  // namespace

uint32_t *ks_shm_get_systail() {
  ks_sysinfo_t *si = sys();
  return si != nullptr ? &si->tail_ofs : nullptr;
}

void ks_shm_add_systail(uint32_t n) {
  if (ks_sysinfo_t *si = sys()) si->tail_ofs += n;
}

void ks_shm_mark_sys_used() {
  ks_sysinfo_t *si = sys();
  if (si == nullptr) return;
  if (ks_sem_lock(KS_SEM_ALLOC) != 0) return;
  uint32_t n = (si->tail_ofs + si->blksz - 1) / si->blksz;
  for (uint32_t b = 0; b < n && b < si->seg[0].blen; ++b) ks_bit_set(si->seg[0].bitmap, b);
  ks_sem_unlock(KS_SEM_ALLOC);
}
