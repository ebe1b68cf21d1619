// Reads this component's exclude, include and mapping items from the configuration file
// (they are not in shared memory) and builds their compact form in one shared-memory
// block owned by this process.
#include <cstdlib>

#include "apply/apply.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"

namespace {

// Items of one list (exclude / include / mapping) in list order; n receives the count.
ks_ap_item_t *read_list(ks_cfg_t *cfg, uint32_t first, int kind, int *n) {
  *n = 0;
  int count = 0;
  for (uint32_t r = first; r != KS_CFG_NONE && count <= 65536; r = ks_cfg_next(cfg, r)) count++;
  if (count > 65536) return nullptr;  // a list that loops
  auto *items = static_cast<ks_ap_item_t *>(std::calloc(static_cast<size_t>(count) + 1, sizeof(ks_ap_item_t)));
  if (items == nullptr) return nullptr;
  int i = 0;
  for (uint32_t r = first; r != KS_CFG_NONE && i < count; r = ks_cfg_next(cfg, r), i++) {
    void *p = ks_cfg_item(cfg, r);
    if (p == nullptr) break;
    ks_ap_item_t &it = items[i];
    if (kind == 2) {
      const auto *m = static_cast<const ks_cfg_fmap_t *>(p);
      it.flag = m->flag;
      std::memcpy(it.schema, m->schema, 31);
      std::memcpy(it.map_schema, m->map_schema, 31);
      std::memcpy(it.table, m->table, 31);
      std::memcpy(it.map_table, m->map_table, 31);
      if (m->table[0] == '*') it.flag |= KS_CFG_SET_ALL;
    } else {
      const auto *e = static_cast<const ks_cfg_finc_t *>(p);
      it.flag = e->flag;
      std::memcpy(it.schema, e->schema, 31);
      std::memcpy(it.table, e->table, 31);
      if (e->table[0] == '*' && e->table[1] == '\0') it.flag |= KS_CFG_SET_ALL;
    }
  }
  *n = i;
  return items;
}

void *shm_alloc(size_t sz) { return ks_shm_alloc(sz); }

}  // namespace

void ks_ap_cfg_free(ks_ap_cfg_t *acfg) {
  ks_ap_cfg_release(acfg, [](void *p) { ks_shm_free(p); });
}

int ks_load_config(ks_ap_cfg_t *acfg) {
  std::memset(acfg, 0, sizeof *acfg);
  ks_cfg_t cfg;
  std::memset(&cfg, 0, sizeof cfg);
  cfg.fd = -1;
  char omsg[KS_CFG_MSGSZ] = "";
  if (ks_cfg_open_file(&cfg, omsg) != 0) {
    KS_ERROR("open config file error.\n%s", omsg);
    return -1;
  }
  int rc = -1;
  ks_ap_item_t *exc = nullptr, *inc = nullptr, *map = nullptr;
  int nexc = 0, ninc = 0, nmap = 0;
  int ref = ks_cfg_lookup_com(&cfg, unit_name, com_name);
  const auto *com =
      ref < 0 ? nullptr : static_cast<const ks_cfg_fcom_t *>(ks_cfg_item(&cfg, static_cast<uint32_t>(ref)));
  if (com == nullptr) {
    KS_ERROR("component \"%s\".\"%s\" not exist.", unit_name, com_name);
  } else {
    exc = read_list(&cfg, com->ex_num, 0, &nexc);
    inc = read_list(&cfg, com->in_num, 1, &ninc);
    map = read_list(&cfg, com->map_num, 2, &nmap);
    if (exc == nullptr || inc == nullptr || map == nullptr)
      KS_ERROR("allocate memory error.");
    else
      rc = ks_ap_cfg_build(acfg, exc, nexc, inc, ninc, map, nmap, shm_alloc);
  }
  std::free(exc);
  std::free(inc);
  std::free(map);
  ks_cfg_close_file(&cfg, omsg);
  return rc;
}
