// The component's include, exclude and mapping sets, read from the configuration file
// (they are not part of the shared configuration area). Lists are walked with a bound so
// that a damaged file with a looping list fails instead of hanging the start.
#include <cstdio>
#include <cstring>

#include "extract/dict/exp_dict.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"

namespace {

void copy(char *dst, const char *src) { snprintf(dst, KS_DICT_NAME_SZ, "%.*s", KS_DICT_NAME_SZ - 1, src); }

template <class Item, class F>
int walk(ks_cfg_t *cfg, uint32_t ref, std::vector<ks_dict_item_t> *out, F fill) {
  // No list can hold more items than the file has blocks times the largest item count.
  uint64_t limit = uint64_t{cfg->hwm_blk} * (KS_CFG_BLKSZ / sizeof(Item) + 1);
  for (uint64_t n = 0; ref != KS_CFG_NONE; n++) {
    auto *it = static_cast<Item *>(ks_cfg_item(cfg, ref));
    if (it == nullptr || n > limit) {
      KS_ERROR("configuration item list damaged at reference %08x.", ref);
      return -1;
    }
    ks_dict_item_t d = {};
    d.flag = it->flag & KS_CFG_SET_ALL ? KS_DICT_ITEM_ALL : 0;
    copy(d.schema, it->schema);
    copy(d.table, it->table);
    fill(&d, it);
    out->push_back(d);
    ref = it->next_num;
  }
  return 0;
}

}  // namespace

int ks_dict_read_sets(const char *unit, const char *name, ks_dict_sets_t *sets) {
  char omsg[KS_CFG_MSGSZ] = "";
  ks_cfg_t cfg;
  memset(&cfg, 0, sizeof cfg);
  if (ks_cfg_open_file(&cfg, omsg) != 0) {
    KS_ERROR("open config file error.\n%s", omsg);
    return -1;
  }
  int rc = -1;
  int ref = ks_cfg_lookup_com(&cfg, unit, name);
  auto *com = ref < 0 ? nullptr : static_cast<ks_cfg_fcom_t *>(ks_cfg_item(&cfg, static_cast<uint32_t>(ref)));
  if (com == nullptr) {
    KS_ERROR("component \"%s\".\"%s\" not exist.", unit, name);
  } else {
    auto none = [](ks_dict_item_t *, const void *) {};
    rc = walk<ks_cfg_finc_t>(&cfg, com->in_num, &sets->inc, none);
    if (rc == 0) rc = walk<ks_cfg_fexc_t>(&cfg, com->ex_num, &sets->exc, none);
    if (rc == 0)
      rc = walk<ks_cfg_fmap_t>(&cfg, com->map_num, &sets->map, [](ks_dict_item_t *d, const ks_cfg_fmap_t *m) {
        copy(d->map_schema, m->map_schema);
        copy(d->map_table, m->map_table);
      });
  }
  // Read only: nothing to write back, but the descriptor and buffer are released.
  cfg.flag &= ~KS_CFG_MODIFIED;
  if (ks_cfg_close_file(&cfg, omsg) != 0) KS_ERROR("close config file error.\n%s", omsg);
  return rc;
}
