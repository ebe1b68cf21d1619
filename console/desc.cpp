// desc: one database with its instances, or one extract / apply with its parameters
// and its include, exclude and mapping sets, from the editing buffer. The password is
// never printed, whatever it holds; "desc unit" shows the unit as "list unit" does.
#include <cstdio>
#include <cstring>
#include <string>

#include "console/kesh.h"
#include "lib/fmt/trail_format.h"

namespace {

int desc_db(const std::string &name) {
  if (name.empty()) {
    kesh::err("No database name input\n");
    return -1;
  }
  int ref = ks_cfg_lookup_db(&x_cfg, name.c_str());
  if (ref < 0) {
    kesh::err("Database \"%s\" not found\n", name.c_str());
    return -1;
  }
  const auto *db = static_cast<const ks_cfg_fdb_t *>(ks_cfg_item(&x_cfg, uint32_t(ref)));
  printf("Database: %.31s\n", db->name);
  printf((db->flag & KS_CFG_DB_ASM) ? "   Storage: ASM\n" : "   Storage: FILE\n");
  printf((db->flag & KS_CFG_DB_REMOTE) ? "      Node: remote\n" : "      Node: local\n");
  printf("       CDB: %.31s\n", db->cdb);
  printf("       PDB: %.31s\n", db->pdb);
  printf("      User: %.31s\n", db->dbuser);
  printf("  Password: ******\n");
  uint32_t r = db->ref_num;
  for (uint32_t g = 0; r != KS_CFG_NONE && g < 65536; ++g, r = ks_cfg_next(&x_cfg, r)) {
    const auto *in = static_cast<const ks_cfg_finst_t *>(ks_cfg_item(&x_cfg, r));
    if (in == nullptr) break;
    printf("Instance: %.31s\n", in->inst_name);
    printf("    thread: %u\n", in->thrd);
    printf("      link: %.31s:%u/%.31s\n", in->vip, in->vport, in->svc_name);
    printf("       tns: %.31s\n", in->tns);
    printf("agent port: %u\n", in->aport);
  }
  return 0;
}

int desc_com(const std::string &text) {
  char unit[KS_CFG_NAME], com[KS_CFG_NAME];
  if (!kesh::split_unit_com(text, unit, com)) {
    kesh::err(text.empty() ? "No component name input\n%s" : "Invalid component name \"%s\"\n", text.c_str());
    return -1;
  }
  if (ks_cfg_lookup_unit(&x_cfg, unit) < 0) {
    kesh::err("Unit \"%s\" not found\n", unit);
    return -1;
  }
  const ks_cfg_fcom_t *c = kesh::find_com(unit, com);
  if (c == nullptr) {
    kesh::err("Component \"%s\".\"%s\" not found\n", unit, com);
    return -1;
  }
  ks_cfg_fparm_t par{};
  if (c->para_num != KS_CFG_NONE)
    if (const void *p = ks_cfg_item(&x_cfg, c->para_num)) std::memcpy(&par, p, sizeof par);
  printf("Unit: %s\n\n", unit);
  printf(c->com_typ == KS_CFG_COM_EXTRACT ? "Extract: %.31s\n"
         : c->com_typ == KS_CFG_COM_APPLY ? "  Apply: %.31s\n"
                                          : "Unknown: %.31s\n",
         c->name);
  printf("     Program: %.31s\n", c->pname);
  printf("   Source DB: %.31s\n", c->src_db);
  printf("   Target DB: %.31s\n", c->tgt_db);
  printf("Previous COM: %.31s\n", c->prev);
  printf("    Next COM: %.31s\n", c->next);
  printf("Parameter:\n");
  printf("Max Transactions: %u\n", par.max_trans);
  printf("Transaction Size: %u\n", par.trans_sz);
  printf("  Idle Wait Time: %u\n", par.idle_wait);
  printf("    Net Time Out: %u\n", par.net_timeout);
  if (uint32_t limit = ks_cfg_restart_limit(c->restart))
    printf("   Restart Limit: %u\n", limit);
  else
    printf("   Restart Limit: off\n");
  if (c->com_typ == KS_CFG_COM_EXTRACT) {
    printf("  Block Checksum: %s\n", (par.flag & KS_CFG_PARM_NO_CHECKSUM) ? "off" : "on");
    const uint32_t mib = (par.flag & KS_CFG_PARM_TRAIL_MASK) >> KS_CFG_PARM_TRAIL_SHIFT;
    printf("      Trail Size: %u MiB\n", mib != 0 ? mib : KS_TRAIL_MAX_SZ >> 20);
  }
  printf("   Sync Sequence: %s\n", (par.flag & KS_CFG_PARM_SEQ) ? "yes" : "no");
  // The three sets share {flag, next_num, schema, table} at the front.
  const struct {
    const char *title;
    uint32_t head;
  } sets[] = {{"Include Tables:\n", c->in_num}, {"Exclude Tables:\n", c->ex_num}, {"Mapping Tables:\n", c->map_num}};
  for (int s = 0; s < 3; ++s) {
    fputs(sets[s].title, stdout);
    uint32_t r = sets[s].head;
    for (uint32_t g = 0; r != KS_CFG_NONE && g < 65536; ++g, r = ks_cfg_next(&x_cfg, r)) {
      const void *it = ks_cfg_item(&x_cfg, r);
      if (it == nullptr) break;
      if (s < 2) {
        const auto *t = static_cast<const ks_cfg_finc_t *>(it);
        printf("\"%.31s\".\"%.31s\"\n", t->schema, t->table);
      } else {
        const auto *m = static_cast<const ks_cfg_fmap_t *>(it);
        printf("\"%.31s\".\"%.31s\"=\"%.31s\".\"%.31s\"\n", m->schema, m->table, m->map_schema, m->map_table);
      }
    }
  }
  return 0;
}

}  // namespace

int ks_desc_handle(char *args) {
  kesh::Scanner sc(args);
  kesh::Obj obj = kesh::open_object(sc, true);
  if (obj == kesh::Obj::kNone) return -1;
  std::string word = sc.word();
  switch (obj) {
    case kesh::Obj::kDb:
      return desc_db(ks_parse_value(word));
    case kesh::Obj::kUnit: {
      std::string name = ks_parse_value(word);
      if (name.empty()) {
        kesh::err("No unit name input\n");
        return -1;
      }
      std::string cmd = "unit " + word;
      return ks_list_handle(cmd.data());
    }
    default:
      return desc_com(word);
  }
}
