// Recording where the manager placed the queue, the configuration and the process table.
// The configuration and process table lie in segment 0 (their offsets count from its
// start); the queue is an allocation and may lie in any segment.
#include "lib/log/log.h"
#include "lib/shm/shm.h"

namespace {
void set_pos(void *ptr, uint32_t *sno, uint32_t *ofs) {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return;
  }
  uint32_t s = 0, o = 0;
  if (ks_shm_get_pos(ptr, &s, &o) != 0) return;
  *sno = s;
  *ofs = o;
}
ks_sysinfo_t *sys() { return reinterpret_cast<ks_sysinfo_t *>(shm_inf.segs[0].head); }
}  // namespace

void ks_shm_set_q_pos(void *ptr) {
  if (shm_inf.status == 1)
    set_pos(ptr, &sys()->q_sno, &sys()->q_ofs);
  else
    KS_ERROR("shared memory not attached.");
}
void ks_shm_set_cfg_pos(void *ptr) {
  if (shm_inf.status == 1)
    set_pos(ptr, &sys()->cfg_sno, &sys()->cfg_ofs);
  else
    KS_ERROR("shared memory not attached.");
}
void ks_shm_set_ps_pos(void *ptr) {
  if (shm_inf.status == 1)
    set_pos(ptr, &sys()->ps_sno, &sys()->ps_ofs);
  else
    KS_ERROR("shared memory not attached.");
}
