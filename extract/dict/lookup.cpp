// Table lookup by object number: a binary search over the table records, which are kept in
// ascending objn order by the exporter and by DDL tracing. Alias entries (partitions, IOT
// segments, LOB indexes) resolve to the table they belong to; records marked not captured
// are reported absent. This runs for every captured row change, so it allocates nothing
// and touches only the objn fields on its way down.
#include <csignal>
#include <ctime>

#include "extract/dict/dict.h"

// The capture process's main-loop flag. The process defines it; this weak definition lets
// tools and tests that link the dictionary without the process entry use the lookup.
__attribute__((weak)) volatile sig_atomic_t x_loop = 1;

namespace {

inline int search(const ks_dict_tab_t *pt, int n, uint32_t objn) {
  int low = 0, high = n - 1;
  while (low <= high) {
    int mid = (low + high) / 2;
    uint32_t v = pt[mid].objn;
    if (v == objn) return mid;
    if (v < objn)
      low = mid + 1;
    else
      high = mid - 1;
  }
  return -1;
}

// An alias points at its table; the table itself must be a captured, non-alias record.
// One level only: a chain of aliases in a damaged dictionary cannot loop.
inline int resolve(const ks_dict_tab_t *pt, int n, uint32_t objn) {
  int i = search(pt, n, objn);
  if (i < 0) return -1;
  if (pt[i].flag & KS_TAB_ALIAS) {
    i = search(pt, n, pt[i].ncol);
    if (i < 0 || (pt[i].flag & KS_TAB_ALIAS)) return -1;
  }
  if (pt[i].flag & KS_TAB_NOCAPTURE) return -1;
  return i;
}

}  // namespace

int ks_lookup_table_simple(ks_dict_tab_t *pt, int max_tab, int objn) {
  if (pt == nullptr || max_tab <= 0) return -1;
  return resolve(pt, max_tab, static_cast<uint32_t>(objn));
}

int ks_dict_find_objn(const ks_dict_t *dict, uint32_t objn) {
  return search(dict->tab, static_cast<int>(dict->hdr->ntab), objn);
}

int ks_lookup_table(ks_dict_t *dict, int objn) {
  if (dict == nullptr || dict->hdr == nullptr) return -1;
  const uint32_t *status = &dict->hdr->status;
  for (;;) {
    // An odd count: another process is changing the records; wait for it to finish.
    // A stopping process does not wait: its answer no longer delivers anything.
    uint32_t before = __atomic_load_n(status, __ATOMIC_ACQUIRE);
    if ((before & 1) && x_loop) {
      struct timespec ts = {0, 20 * 1000 * 1000};
      nanosleep(&ts, nullptr);
      continue;
    }
    int ntab = static_cast<int>(__atomic_load_n(&dict->hdr->ntab, __ATOMIC_RELAXED));
    int i = ntab <= 0 ? -1 : resolve(dict->tab, ntab, static_cast<uint32_t>(objn));
    // A change that began while searching may have moved the records under the search:
    // the answer counts only when the count did not move.
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(status, __ATOMIC_RELAXED) == before || !x_loop) return i;
  }
}
