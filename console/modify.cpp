// modify db, modify unit, modify extract and modify apply.
//
// As for add, the whole command is parsed and checked (names that would collide
// included) before anything changes. A unit's rename moves its log, dict, data and
// error directories with it; when one cannot be moved the ones already moved are put
// back and the unit keeps its name.
#include <errno.h>
#include <stdio.h>

#include <cstring>
#include <string>

#include "console/kesh.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace kesh {

namespace {

const char *const kModDbKeys[] = {"database_name", "storage_asm", "remote",   "cdb",
                                  "pdb",           "user",        "password", "instance"};

int one_list(Scanner &sc, std::vector<std::string> *items) {
  if (!sc.list(items) || !sc.at_end()) return -1;
  return 0;
}

int modify_db(Scanner &sc) {
  std::string name = ks_parse_value(sc.word());
  if (name.empty()) {
    err("No database name input\n");
    return -1;
  }
  int ref = ks_cfg_lookup_db(&x_cfg, name.c_str());
  if (ref < 0) {
    err("Database \"%s\" not found\n", name.c_str());
    return -1;
  }
  std::vector<std::string> items;
  if (one_list(sc, &items) != 0) {
    err("Invalid modify db command\n%s\n", std::string(sc.rest()).c_str());
    return -1;
  }
  ks_cfg_fdb_t db;
  std::memcpy(&db, ks_cfg_item(&x_cfg, uint32_t(ref)), sizeof db);
  std::vector<ks_cfg_finst_t> adds;
  std::vector<std::string> dels;
  for (const std::string &text : items) {
    Item it;
    int k = split_item(text, &it) ? match_key(it.key, kModDbKeys, 8) : -1;
    bool ok = k >= 0;
    if (ok && k == 7) {
      // instance add (items) | instance delete name (an "=" after instance is allowed)
      Scanner is(it.value);
      std::string verb = is.word();
      if (verb != "add" && verb != "delete") {
        ok = false;
      } else if (verb == "add") {
        std::vector<std::string> inst_items;
        ks_cfg_finst_t in;
        std::string bk, bi;
        ok = one_list(is, &inst_items) == 0 && parse_inst_items(inst_items, &in, &bk, &bi) == 0;
        if (ok) adds.push_back(in);
      } else {
        std::string in_name = ks_parse_value(is.rest());
        ok = !in_name.empty();
        if (ok) dels.push_back(in_name);
      }
    } else if (ok && k == 0) {
      std::string nn = ks_parse_value(it.value);
      ok = it.has_eq && !nn.empty() && nn.size() <= KS_CFG_NAME - 1;
      if (ok) {
        std::memset(db.name, 0, sizeof db.name);
        std::memcpy(db.name, nn.data(), nn.size());
      }
    } else if (ok) {
      ok = it.has_eq && set_db_value(kModDbKeys[k], it.value, &db);
    }
    if (!ok) {
      err("Invalid modify db command\n%s\n", text.c_str());
      return -1;
    }
  }
  if (std::strcmp(db.name, name.c_str()) != 0 && ks_cfg_lookup_db(&x_cfg, db.name) >= 0) {
    err("Database \"%s\" exist\n", db.name);
    return -1;
  }
  char omsg[KS_CFG_MSGSZ];
  for (const std::string &d : dels) {
    if (ks_cfg_delete_inst(&x_cfg, name.c_str(), d.c_str(), omsg) != 0) {
      err("Delete database instance error\n%s\n", omsg);
      return -1;
    }
    mark_modified();
  }
  for (const ks_cfg_finst_t &in : adds) {
    if (ks_cfg_add_inst(&x_cfg, name.c_str(), &in, omsg) != 0) {
      err("Add database instance error\n%s\n", omsg);
      return -1;
    }
    mark_modified();
  }
  // Fields last, on the item as it is now (adding instances may have moved the buffer
  // and changed the instance list head).
  auto *cur = static_cast<ks_cfg_fdb_t *>(ks_cfg_item(&x_cfg, uint32_t(ref)));
  db.ref_num = cur->ref_num;
  if (std::memcmp(cur, &db, sizeof db) != 0) {
    std::memcpy(cur, &db, sizeof db);
    mark_modified();
  }
  return 0;
}

int modify_unit(Scanner &sc) {
  std::string name = ks_parse_value(sc.word());
  if (name.empty()) {
    err("No unit name input\n");
    return -1;
  }
  int ref = ks_cfg_lookup_unit(&x_cfg, name.c_str());
  if (ref < 0) {
    err("Unit \"%s\" not found\n", name.c_str());
    return -1;
  }
  const std::string text(sc.rest());
  std::vector<std::string> items;
  Item it;
  if (one_list(sc, &items) != 0 || items.size() != 1 || !split_item(items[0], &it) || !it.has_eq ||
      ks_str_icmp(it.key.c_str(), "name") != 0) {
    err("Invalid unit parameter\n%s\n", text.c_str());
    return -1;
  }
  std::string nn = ks_parse_value(it.value);
  char newname[KS_CFG_NAME] = {};
  std::memcpy(newname, nn.data(), std::min(nn.size(), size_t(KS_CFG_NAME - 1)));
  if (!safe_name(newname)) {
    err("Invalid unit parameter\n%s\n", text.c_str());
    return -1;
  }
  char oldname[KS_CFG_NAME] = {};
  std::memcpy(oldname, static_cast<ks_cfg_funit_t *>(ks_cfg_item(&x_cfg, uint32_t(ref)))->un_name, KS_CFG_NAME - 1);
  if (std::strcmp(oldname, newname) == 0) return 0;
  if (ks_cfg_lookup_unit(&x_cfg, newname) >= 0) {
    err("Unit \"%s\" exist\n", newname);
    return -1;
  }
  struct Dir {
    const char *sub;
    const char *what;
  };
  const Dir dirs[] = {{"log/", "log"}, {"dict/", "dict"}, {"data/", "data"}, {"error/", "error"}};
  const std::string home = ks_get_home_dir();
  bool moved[4] = {};
  for (int i = 0; i < 4; ++i) {
    std::string from = home + dirs[i].sub + oldname, to = home + dirs[i].sub + newname;
    if (rename(from.c_str(), to.c_str()) == 0) {
      moved[i] = true;
      continue;
    }
    if (errno == ENOENT) continue;  // a directory removed by hand: nothing to move
    err("Change %s sub-directory error\nrename(): %s\n", dirs[i].what, strerror(errno));
    while (i-- > 0)
      if (moved[i]) rename((home + dirs[i].sub + newname).c_str(), (home + dirs[i].sub + oldname).c_str());
    return -1;
  }
  auto *u = static_cast<ks_cfg_funit_t *>(ks_cfg_item(&x_cfg, uint32_t(ref)));
  std::memcpy(u->un_name, newname, KS_CFG_NAME);
  mark_modified();
  return 0;
}

int modify_com(Scanner &sc, bool extract) {
  std::string uc = sc.word();
  char unit[KS_CFG_NAME], com[KS_CFG_NAME];
  if (!split_unit_com(uc, unit, com)) {
    err("Invalid component name \"%s\"\n", uc.c_str());
    return -1;
  }
  if (ks_cfg_lookup_unit(&x_cfg, unit) < 0) {
    err("Unit \"%s\" not found\n", unit);
    return -1;
  }
  ks_cfg_fcom_t *c = find_com(unit, com);
  if (c == nullptr) {
    err("Component \"%s\".\"%s\" not found\n", unit, com);
    return -1;
  }
  if (c->com_typ != (extract ? KS_CFG_COM_EXTRACT : KS_CFG_COM_APPLY)) {
    err("Component \"%s\".\"%s\" is not an %s\n", unit, com, extract ? "extract" : "apply");
    return -1;
  }
  std::vector<std::string> items;
  if (one_list(sc, &items) != 0) {
    err("Invalid parameter \"%s\"\n", std::string(sc.rest()).c_str());
    return -1;
  }
  ComItems ci;
  std::string bad;
  if (parse_com_items(items, extract, true, &ci, &bad) != 0) {
    err("Invalid parameter \"%s\"\n", bad.c_str());
    return -1;
  }
  auto name32 = [](char *dst, const std::string &v) {
    std::memset(dst, 0, KS_CFG_NAME);
    std::memcpy(dst, v.data(), std::min(v.size(), size_t(KS_CFG_NAME - 1)));
  };
  if (ci.has_db) name32(extract ? c->src_db : c->tgt_db, ci.db);
  if (ci.has_next) name32(c->next, ci.next);
  if (ci.has_prev) name32(c->prev, ci.prev);
  if (ci.has_db || ci.has_next || ci.has_prev) mark_modified();
  return apply_com_items(unit, com, ci);
}

}  // namespace

}  // namespace kesh

int ks_modify_handle(char *args) {
  kesh::Scanner sc(args);
  kesh::Obj obj = kesh::open_object(sc, false);
  if (obj == kesh::Obj::kNone) return -1;
  switch (obj) {
    case kesh::Obj::kDb:
      return kesh::modify_db(sc);
    case kesh::Obj::kUnit:
      return kesh::modify_unit(sc);
    case kesh::Obj::kExtract:
      return kesh::modify_com(sc, true);
    default:
      return kesh::modify_com(sc, false);
  }
}
