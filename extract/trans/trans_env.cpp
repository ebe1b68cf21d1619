// Where the transaction table takes its parameters, its memory and its file names from.
// Parameters come from the component's configuration unless a test or tool installed its
// own source; the memory is the table's single allocation, released through the same
// owner that made it.
#include <cstdio>
#include <cstdlib>

#include "extract/trans/trans.h"
#include "lib/log/log.h"

ks_trans_t x_trans = {0, 0, 0, 0, 0, -1, 0, nullptr, nullptr, nullptr, {}};

namespace {
ks_trans_param_fn param_source = nullptr;
}

void ks_trans_set_param_source(ks_trans_param_fn fn) { param_source = fn; }

int ks_trans_get_param(int *max_trans, int *trans_sz) {
  if (param_source != nullptr) return param_source(max_trans, trans_sz);
  KS_ERROR("configuration of %s.%s not available.", unit_name, com_name);
  return -1;
}

void *ks_trans_mem_alloc(size_t size) { return std::aligned_alloc(64, (size + 63) / 64 * 64); }

void ks_trans_mem_free(void *p) { std::free(p); }

int ks_trail_file_name(char *name, size_t size, int fno) {
  if (x_rac)
    return snprintf(name, size, "%sdata/%s/%s_%d_%d.dat", ks_get_home_dir(), unit_name, com_name,
                    x_thrd, fno);
  return snprintf(name, size, "%sdata/%s/%s_%d.dat", ks_get_home_dir(), unit_name, com_name, fno);
}

int ks_spill_file_name(char *name, size_t size, uint64_t xid, uint64_t sscn) {
  return snprintf(name, size, "%sdata/%s/%s_%lu.%lu", ks_get_home_dir(), unit_name, com_name,
                  static_cast<unsigned long>(xid), static_cast<unsigned long>(sscn));
}

int ks_trans_save_file_name(char *name, size_t size) {
  if (x_rac)
    return snprintf(name, size, "%sdata/%s/t_%s_%d.trans", ks_get_home_dir(), unit_name, com_name,
                    x_thrd);
  return snprintf(name, size, "%sdata/%s/t_%s.trans", ks_get_home_dir(), unit_name, com_name);
}
