// list (and ls): the databases, or the units with their components, of the editing
// buffer in file order. "list extract" and "list apply" show the units that hold
// components of that type, with only those components.
#include <cstdio>
#include <cstring>
#include <string>

#include "console/kesh.h"

namespace kesh {

std::vector<uint32_t> items_of(uint32_t type) {
  std::vector<uint32_t> refs;
  const size_t name_ofs = type == KS_CFG_T_DB ? offsetof(ks_cfg_fdb_t, name) : offsetof(ks_cfg_funit_t, un_name);
  uint32_t blk = type;
  for (uint32_t g = 0; g < x_cfg.hwm_blk && blk != KS_CFG_NONE; ++g) {
    const ks_cfg_fbh_t *h = ks_cfg_block(&x_cfg, blk);
    if (h == nullptr || h->blk_typ != type) break;
    for (uint32_t i = 0; i < h->hwm_item && i < h->max_entry; ++i) {
      const auto *it = static_cast<const char *>(ks_cfg_item(&x_cfg, KS_CFG_REF(blk, i)));
      if (it != nullptr && it[name_ofs] != '\0') refs.push_back(KS_CFG_REF(blk, i));
    }
    blk = h->next_blk;
  }
  return refs;
}

}  // namespace kesh

namespace {

int list_units(const std::string &only, uint32_t type_filter) {
  int rows = 0;
  bool found = false;
  for (uint32_t ref : kesh::items_of(KS_CFG_T_UNIT)) {
    const auto *u = static_cast<const ks_cfg_funit_t *>(ks_cfg_item(&x_cfg, ref));
    if (!only.empty() && std::strncmp(u->un_name, only.c_str(), KS_CFG_NAME - 1) != 0) continue;
    found = true;
    std::string lines;
    int coms = 0;
    uint32_t c = u->ref_num;
    for (uint32_t g = 0; c != KS_CFG_NONE && g < 65536; ++g, c = ks_cfg_next(&x_cfg, c)) {
      const auto *com = static_cast<const ks_cfg_fcom_t *>(ks_cfg_item(&x_cfg, c));
      if (com == nullptr) break;
      if (type_filter != 0 && com->com_typ != type_filter) continue;
      const char *kind = com->com_typ == KS_CFG_COM_EXTRACT ? "  Extract"
                         : com->com_typ == KS_CFG_COM_APPLY ? "    Apply"
                                                            : "  Unknown";
      char line[80];
      snprintf(line, sizeof line, "%s: %s\n", kind, com->name);
      lines += line;
      coms++;
    }
    if (type_filter != 0 && coms == 0) continue;
    printf("Unit: %.31s\n%s", u->un_name, lines.c_str());
    rows += type_filter != 0 ? coms : 1;
  }
  if (!only.empty() && !found) {
    kesh::err("Unit \"%s\" not found\n", only.c_str());
    return -1;
  }
  printf("%d rows listed\n\n", rows);
  return 0;
}

}  // namespace

int ks_list_handle(char *args) {
  kesh::Scanner sc(args);
  kesh::Obj obj = kesh::open_object(sc, true);
  if (obj == kesh::Obj::kNone) return -1;
  std::string name = ks_parse_value(sc.word());
  switch (obj) {
    case kesh::Obj::kDb: {
      int rows = 0;
      for (uint32_t ref : kesh::items_of(KS_CFG_T_DB)) {
        printf("Database: %.31s\n", static_cast<const ks_cfg_fdb_t *>(ks_cfg_item(&x_cfg, ref))->name);
        rows++;
      }
      printf("%d rows listed\n\n", rows);
      return 0;
    }
    case kesh::Obj::kUnit:
      return list_units(name, 0);
    case kesh::Obj::kExtract:
      return list_units(name, KS_CFG_COM_EXTRACT);
    default:
      return list_units(name, KS_CFG_COM_APPLY);
  }
}
