// Where the transaction table takes its parameters, its memory and its file names from:
// the component's parameters in the loaded configuration, one allocation from the system
// segment (owned by this process, released by it), files under <home>data/<unit>/.
#include <climits>
#include <cstdio>

#include "extract/trans/trans.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"

ks_trans_t x_trans = [] {
  ks_trans_t t = {};
  t.fd = -1;
  t.free_head = -1;
  return t;
}();

int ks_trans_get_param(int *max_trans, int *trans_sz, int *trail_sz) {
  ks_cfg_param_t *pa = nullptr;
  if (ks_cfg_get_parameter(unit_name, com_name, &pa) < 0 || pa == nullptr) return -1;
  // Stored values beyond int are as unusable as 0: they take the defaults.
  *max_trans = pa->max_trans > INT_MAX ? 0 : static_cast<int>(pa->max_trans);
  *trans_sz = pa->trans_sz > INT_MAX ? 0 : static_cast<int>(pa->trans_sz);
  const uint32_t mib = (pa->flag & KS_CFG_PARM_TRAIL_MASK) >> KS_CFG_PARM_TRAIL_SHIFT;
  *trail_sz = mib > KS_CFG_PARM_TRAIL_MAX ? 0 : static_cast<int>(mib << 20);
  return 0;
}

void *ks_trans_mem_alloc(size_t size) { return ks_shm_alloc(size); }

void ks_trans_mem_free(void *p) {
  if (p != nullptr) ks_shm_free(p);
}

int ks_trail_file_name(char *name, size_t size, int fno) {
  if (x_rac) return snprintf(name, size, "%sdata/%s/%s_%d_%d.dat", ks_get_home_dir(), unit_name, com_name, x_thrd, fno);
  return snprintf(name, size, "%sdata/%s/%s_%d.dat", ks_get_home_dir(), unit_name, com_name, fno);
}

int ks_spill_file_name(char *name, size_t size, uint64_t xid, uint64_t sscn) {
  return snprintf(name, size, "%sdata/%s/%s_%lu.%lu", ks_get_home_dir(), unit_name, com_name,
                  static_cast<unsigned long>(xid), static_cast<unsigned long>(sscn));
}

int ks_trans_save_file_name(char *name, size_t size) {
  if (x_rac) return snprintf(name, size, "%sdata/%s/t_%s_%d.trans", ks_get_home_dir(), unit_name, com_name, x_thrd);
  return snprintf(name, size, "%sdata/%s/t_%s.trans", ks_get_home_dir(), unit_name, com_name);
}
