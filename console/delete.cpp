// delete db, delete unit and delete extract / apply. The store does the unlinking and
// freeing (a unit takes its components, their parameters and sets, and its log, dict
// and data directories with it); this only checks the command's shape and the type of
// the component named.
#include <string>

#include "console/kesh.h"

int ks_delete_handle(char *args) {
  kesh::Scanner sc(args);
  kesh::Obj obj = kesh::open_object(sc, false);
  if (obj == kesh::Obj::kNone) return -1;
  std::string word = sc.word();
  if (!sc.at_end()) {
    kesh::err("Invalid \"delete\" command\n%s\n", std::string(sc.rest()).c_str());
    return -1;
  }
  char omsg[KS_CFG_MSGSZ];
  int rc;
  if (obj == kesh::Obj::kDb || obj == kesh::Obj::kUnit) {
    std::string name = ks_parse_value(word);
    if (name.empty()) {
      kesh::err(obj == kesh::Obj::kDb ? "No database name input\n" : "No unit name input\n");
      return -1;
    }
    rc = obj == kesh::Obj::kDb ? ks_cfg_delete_db(&x_cfg, name.c_str(), omsg)
                               : ks_cfg_delete_unit(&x_cfg, name.c_str(), omsg);
  } else {
    char unit[KS_CFG_NAME], com[KS_CFG_NAME];
    if (!kesh::split_unit_com(word, unit, com)) {
      kesh::err("Invalid component name \"%s\"\n", word.c_str());
      return -1;
    }
    const bool extract = obj == kesh::Obj::kExtract;
    const ks_cfg_fcom_t *c = kesh::find_com(unit, com);
    if (c != nullptr && c->com_typ != (extract ? KS_CFG_COM_EXTRACT : KS_CFG_COM_APPLY)) {
      kesh::err("Component \"%s\".\"%s\" is not an %s\n", unit, com, extract ? "extract" : "apply");
      return -1;
    }
    rc = ks_cfg_delete_com(&x_cfg, unit, com, omsg);
  }
  if (rc != 0) {
    kesh::err("%s\n", omsg);
    return -1;
  }
  kesh::mark_modified();
  return 0;
}
