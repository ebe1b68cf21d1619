// Changing a loaded dictionary while other processes of the component look tables up in
// it: the block is taken by moving the header's sequence count from even to odd, and
// released by moving it on to the next even value. A copy of the block taken first lets a
// change that cannot be completed be put back whole, so lookups never see a table half
// changed and the file never receives one.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "extract/dict/dict.h"
#include "lib/log/log.h"

int ks_dict_begin_change(ks_dict_t *dict, ks_dict_change_t *chg) {
  chg->copy = nullptr;
  chg->size = 0;
  ks_dict_hdr_t *h = dict->hdr;
  ks_dict_cap_t cap = {h->max_sch, h->max_tab, h->max_col, h->max_seq};
  const uint64_t size = ks_dict_block_size(&cap, h->nmap) - KS_DICT_LEAD_SZ;
  auto *copy = static_cast<uint8_t *>(malloc(size));
  if (copy == nullptr) {
    KS_ERROR("allocate memory error.");
    return -1;
  }
  uint32_t s = __atomic_load_n(&h->status, __ATOMIC_RELAXED);
  for (;;) {
    if (!(s & 1) && __atomic_compare_exchange_n(&h->status, &s, s + 1, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
      break;
    struct timespec ts = {0, 1000 * 1000};
    nanosleep(&ts, nullptr);
    s = __atomic_load_n(&h->status, __ATOMIC_RELAXED);
  }
  std::memcpy(copy, h, size);
  chg->copy = copy;
  chg->size = size;
  return 0;
}

void ks_dict_end_change(ks_dict_t *dict, ks_dict_change_t *chg, bool keep) {
  ks_dict_hdr_t *h = dict->hdr;
  const uint32_t s = __atomic_load_n(&h->status, __ATOMIC_RELAXED);
  if (!keep && chg->copy != nullptr) {
    std::memcpy(h, chg->copy, chg->size);  // the copy's status is the count before taking
    __atomic_store_n(&h->status, s, __ATOMIC_RELAXED);
  }
  __atomic_store_n(&h->status, s + 1, __ATOMIC_RELEASE);
  free(chg->copy);
  chg->copy = nullptr;
}

int ks_dict_insert_table(ks_dict_t *dict, const ks_dict_tab_t *tab) {
  ks_dict_hdr_t *h = dict->hdr;
  if (h->ntab >= h->max_tab) {
    KS_ERROR("no space for new table in dictionary.");
    return -1;
  }
  uint32_t at = h->ntab;
  while (at > 0 && dict->tab[at - 1].objn > tab->objn) at--;
  std::memmove(&dict->tab[at + 1], &dict->tab[at], sizeof(ks_dict_tab_t) * (h->ntab - at));
  dict->tab[at] = *tab;
  h->ntab++;
  h->flag |= KS_DICT_DIRTY;
  return 0;
}
