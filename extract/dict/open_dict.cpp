// Attaching a process handle to a loaded dictionary block: the areas follow one another at
// the capacities recorded in the block's header, so every process derives the same
// pointers from the block's start alone.
#include "extract/dict/dict.h"

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
