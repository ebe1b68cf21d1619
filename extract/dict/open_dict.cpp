// Attaching a process handle to a loaded dictionary block: the areas follow one another at
// the capacities recorded in the block's header, so every process derives the same
// pointers from the block's start alone. Other processes of the component find the block
// through the position published in the component's shared configuration record.
#include <cstring>

#include "extract/dict/dict.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"

void ks_dict_attach(uint8_t *base, ks_dict_t *dictp) {
  auto *hdr = reinterpret_cast<ks_dict_hdr_t *>(base + KS_DICT_LEAD_SZ);
  uint8_t *p = base + KS_DICT_LEAD_SZ + sizeof(ks_dict_hdr_t);
  dictp->base = base;
  dictp->hdr = hdr;
  dictp->rsv = 0;
  dictp->flag = hdr->flag & KS_DICT_IOT;
  dictp->sch = reinterpret_cast<ks_dict_sch_t *>(p);
  p += sizeof(ks_dict_sch_t) * hdr->max_sch;
  dictp->tab = reinterpret_cast<ks_dict_tab_t *>(p);
  p += sizeof(ks_dict_tab_t) * hdr->max_tab;
  dictp->col = reinterpret_cast<ks_dict_col_t *>(p);
  p += sizeof(ks_dict_col_t) * hdr->max_col;
  dictp->map = reinterpret_cast<ks_dict_map_t *>(p);
  p += sizeof(ks_dict_map_t) * hdr->nmap;
  dictp->seq = reinterpret_cast<ks_dict_seq_t *>(p);
}

// The process's dictionary handle.
ks_dict_t x_dict;

int ks_open_dict(ks_dict_t *dictp) {
  auto *bh = static_cast<ks_cfg_bh_t *>(ks_shm_get_cfg_ptr());
  int c = bh == nullptr ? -1 : ks_cfg_find_com(bh, unit_name, com_name);
  uint8_t *base = nullptr;
  if (c >= 0) {
    ks_cfg_com_t *com = &ks_cfg_coms(bh)[c];
    uint32_t sno = __atomic_load_n(&com->hdr_sno, __ATOMIC_ACQUIRE);
    uint32_t ofs = __atomic_load_n(&com->hdr_off, __ATOMIC_ACQUIRE);
    base = static_cast<uint8_t *>(ks_shm_get_ptr(sno, ofs));
  }
  if (base == nullptr) {
    KS_ERROR("get dictionary pointer error.");
    return -1;
  }
  // A position that no longer names a dictionary (the block was released and reused)
  // must not be taken for one.
  const auto *h = reinterpret_cast<const ks_dict_hdr_t *>(base + KS_DICT_LEAD_SZ);
  uint64_t lead;
  memcpy(&lead, base, sizeof lead);
  if (lead != 0 || h->nsch > h->max_sch || h->ntab > h->max_tab || h->ncol > h->max_col || h->nseq > h->max_seq) {
    KS_ERROR("get dictionary pointer error.");
    return -1;
  }
  ks_dict_attach(base, dictp);
  return 0;
}
