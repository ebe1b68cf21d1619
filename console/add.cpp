// add db, add unit, add extract and add apply, with the item lists they share with
// modify.
//
// A command is parsed whole before anything is stored, so a syntax error, unknown key
// or bad value changes nothing. A store failure part-way (a duplicate instance, say)
// leaves what the command already added and fails the command; the buffer is marked
// modified as soon as anything changed.
#include <errno.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <string>

#include "console/kesh.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace kesh {

namespace {

const char *const kDbKeys[] = {"storage_asm", "remote", "cdb", "pdb", "user", "password"};
const char *const kInstKeys[] = {"instance_name", "thread", "service", "host", "tns", "port", "agent_port"};
const char *const kComKeys[] = {"unit",       "db",       "next",           "prev",          "max_trans",
                                "trans_size", "interval", "net_timeout",    "tables",        "exclude",
                                "mapping",    "restart",  "block_checksum", "sync_sequence", "trail_size"};
const char *const kModComKeys[] = {"db",          "next", "prev",   "max_trans", "trans_size",     "interval",
                                   "net_timeout", "add",  "delete", "restart",   "block_checksum", "sync_sequence",
                                   "trail_size"};
const char *const kSetKeys[] = {"tables", "exclude", "mapping"};

bool put_name(char *dst, const std::string &v) {
  if (v.size() > KS_CFG_NAME - 1) return false;
  std::memset(dst, 0, KS_CFG_NAME);
  std::memcpy(dst, v.data(), v.size());
  return true;
}

bool put_name_value(char *dst, const std::string &raw) { return put_name(dst, ks_parse_value(raw)); }

bool put_number(uint32_t *dst, const std::string &raw) { return parse_u32(ks_parse_value(raw), dst); }

// Splits one item and matches its key; "key=value" is required.
int item_key(const std::string &text, const char *const *keys, int n, Item *it, std::string *bad_key,
             std::string *bad_item) {
  if (!split_item(text, it) || !it->has_eq) {
    *bad_item = text;
    return -1;
  }
  int k = match_key(it->key, keys, n);
  if (k < 0) *bad_key = it->key;
  return k;
}

// restart=no (or 0) turns automatic restarts off, restart=yes gives the default limit,
// restart=N sets the limit of consecutive failed runs.
bool parse_restart(const std::string &v, uint32_t *out) {
  bool yes;
  if (parse_yes_no(v, &yes)) {
    *out = yes ? 0 : KS_CFG_RESTART_OFF;
    return true;
  }
  uint32_t n;
  if (!parse_u32(v, &n) || n == KS_CFG_RESTART_OFF) return false;
  *out = n == 0 ? KS_CFG_RESTART_OFF : n;
  return true;
}

int parse_set_item(const std::string &text, bool add, ComItems *out, std::string *bad) {
  Item it;
  if (!split_item(text, &it) || !it.has_eq) {
    *bad = text;
    return -1;
  }
  int k = match_key(it.key, kSetKeys, 3);
  if (k < 0) {
    *bad = it.key;
    return -1;
  }
  ComItems::Set set{add, SetKind(k), {}};
  if (parse_set(set.kind, it.value, &set.items, bad) != 0) return -1;
  out->sets.push_back(std::move(set));
  return 0;
}

int add_db(Scanner &sc) {
  std::string name = ks_parse_value(sc.word());
  if (name.empty()) {
    err("No database name input\n");
    return -1;
  }
  ks_cfg_fdb_t db{};
  std::memcpy(db.name, name.data(), std::min(name.size(), size_t(KS_CFG_NAME - 1)));
  std::vector<std::vector<std::string>> lists;
  while (!sc.at_end()) {
    std::vector<std::string> items;
    if (!sc.list(&items)) {
      err(lists.empty() ? "Invalid database parameter \"%s\"\n" : "Invalid instance parameter \"%s\"\n",
          std::string(sc.rest()).c_str());
      return -1;
    }
    lists.push_back(std::move(items));
  }
  std::string bad_key, bad_item;
  if (!lists.empty() && parse_db_items(lists[0], &db, &bad_key, &bad_item) != 0) {
    err("Invalid database parameter \"%s\"\n", (bad_key.empty() ? bad_item : bad_key).c_str());
    return -1;
  }
  std::vector<ks_cfg_finst_t> insts(lists.empty() ? 0 : lists.size() - 1);
  for (size_t i = 0; i < insts.size(); ++i)
    if (parse_inst_items(lists[i + 1], &insts[i], &bad_key, &bad_item) != 0) {
      err("Invalid instance parameter \"%s\"\n", (bad_key.empty() ? bad_item : bad_key).c_str());
      return -1;
    }
  char omsg[KS_CFG_MSGSZ];
  if (ks_cfg_add_db(&x_cfg, &db, omsg) != 0) {
    err("%s\n", omsg);
    return -1;
  }
  mark_modified();
  for (const ks_cfg_finst_t &in : insts) {
    if (ks_cfg_add_inst(&x_cfg, db.name, &in, omsg) != 0) {
      err("%s\n", omsg);
      return -1;
    }
  }
  return 0;
}

int add_unit(Scanner &sc) {
  std::string name = ks_parse_value(sc.word());
  if (name.empty()) {
    err("No unit name input\n");
    return -1;
  }
  if (!sc.at_end()) {
    err("Invalid unit parameter\n%s\n", std::string(sc.rest()).c_str());
    return -1;
  }
  ks_cfg_funit_t unit{};
  std::memcpy(unit.un_name, name.data(), std::min(name.size(), size_t(KS_CFG_NAME - 1)));
  if (!safe_name(unit.un_name)) {
    err("Invalid unit name \"%s\"\n", unit.un_name);
    return -1;
  }
  if (ks_cfg_lookup_unit(&x_cfg, unit.un_name) >= 0) {
    err("Unit \"%s\" exist\n", unit.un_name);
    return -1;
  }
  // The directories come first: a unit is never stored without the place for its files.
  for (const char *d : {"log/", "dict/", "data/", "error/"}) {
    std::string path = std::string(ks_get_home_dir()) + d + unit.un_name;
    struct stat st;
    if (mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
      err("Create sub-directory \"%s\" error\nmkdir(): %s\n", path.c_str(), strerror(errno == 0 ? EEXIST : errno));
      return -1;
    }
  }
  char omsg[KS_CFG_MSGSZ];
  if (ks_cfg_add_unit(&x_cfg, &unit, omsg) != 0) {
    err("%s\n", omsg);
    return -1;
  }
  mark_modified();
  return 0;
}

int add_com(Scanner &sc, bool extract) {
  std::string name = ks_parse_value(sc.word());
  if (name.empty()) {
    err("No component name input\n");
    return -1;
  }
  ks_cfg_fcom_t com{};
  std::memcpy(com.name, name.data(), std::min(name.size(), size_t(KS_CFG_NAME - 1)));
  if (!safe_name(com.name)) {
    err("Invalid component name \"%s\"\n", com.name);
    return -1;
  }
  std::vector<std::string> items;
  if (!sc.at_end() && !sc.list(&items)) {
    err("Invalid parameter \"%s\"\n", std::string(sc.rest()).c_str());
    return -1;
  }
  if (!sc.at_end()) {
    err("Invalid parameter \"%s\"\n", std::string(sc.rest()).c_str());
    return -1;
  }
  ComItems ci;
  std::string bad;
  if (parse_com_items(items, extract, false, &ci, &bad) != 0) {
    err("Invalid parameter \"%s\"\n", bad.c_str());
    return -1;
  }
  if (!ci.has_unit || ci.unit.empty()) {
    err("No unit name input\n");
    return -1;
  }
  com.com_typ = extract ? KS_CFG_COM_EXTRACT : KS_CFG_COM_APPLY;
  put_name(com.pname, extract ? "extract" : "apply");
  put_name(extract ? com.src_db : com.tgt_db, ci.db);
  put_name(com.next, ci.next);
  put_name(com.prev, ci.prev);
  char omsg[KS_CFG_MSGSZ];
  if (ks_cfg_add_com(&x_cfg, ci.unit.c_str(), &com, omsg) != 0) {
    err("%s\n", omsg);
    return -1;
  }
  mark_modified();
  // Every component has its parameter item: numbers not given are 0.
  ci.has_max_trans = ci.has_trans_sz = ci.has_idle_wait = ci.has_net_timeout = true;
  return apply_com_items(ci.unit.c_str(), com.name, ci);
}

}  // namespace

bool safe_name(const char *name) {
  // Names become directory and file names and program arguments ("-u UNIT"): a blank
  // would split the argument, a leading "-" would read as an option.
  if (name[0] == '\0' || name[0] == '-' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  for (const char *p = name; *p != '\0'; ++p)
    if (*p == '/' || !std::isgraph(static_cast<unsigned char>(*p))) return false;
  return true;
}

bool set_db_value(const char *key, const std::string &raw, ks_cfg_fdb_t *db) {
  bool yes;
  if (std::strcmp(key, "storage_asm") == 0 || std::strcmp(key, "remote") == 0) {
    if (!parse_yes_no(ks_parse_value(raw), &yes)) return false;
    uint32_t bit = key[0] == 's' ? KS_CFG_DB_ASM : KS_CFG_DB_REMOTE;
    db->flag = yes ? (db->flag | bit) : (db->flag & ~bit);
    return true;
  }
  if (std::strcmp(key, "cdb") == 0) return put_name(db->cdb, ks_parse_value_upper(raw));
  if (std::strcmp(key, "pdb") == 0) return put_name(db->pdb, ks_parse_value_upper(raw));
  if (std::strcmp(key, "user") == 0) return put_name_value(db->dbuser, raw);
  if (std::strcmp(key, "password") == 0) return put_name_value(db->passwd, raw);
  return false;
}

int parse_db_items(const std::vector<std::string> &items, ks_cfg_fdb_t *db, std::string *bad_key,
                   std::string *bad_item) {
  for (const std::string &text : items) {
    Item it;
    int k = item_key(text, kDbKeys, 6, &it, bad_key, bad_item);
    if (k < 0) return -1;
    if (!set_db_value(kDbKeys[k], it.value, db)) {
      *bad_item = text;
      return -1;
    }
  }
  return 0;
}

int parse_inst_items(const std::vector<std::string> &items, ks_cfg_finst_t *inst, std::string *bad_key,
                     std::string *bad_item) {
  *inst = ks_cfg_finst_t{};
  for (const std::string &text : items) {
    Item it;
    int k = item_key(text, kInstKeys, 7, &it, bad_key, bad_item);
    if (k < 0) return -1;
    bool ok = false;
    switch (k) {
      case 0:
        ok = put_name_value(inst->inst_name, it.value);
        break;
      case 1:
        ok = put_number(&inst->thrd, it.value);
        break;
      case 2:
        ok = put_name_value(inst->svc_name, it.value);
        break;
      case 3:
        ok = put_name_value(inst->vip, it.value);
        break;
      case 4:
        ok = put_name_value(inst->tns, it.value);
        break;
      case 5:
        ok = put_number(&inst->vport, it.value);
        break;
      case 6:
        ok = put_number(&inst->aport, it.value);
        break;
    }
    if (!ok) {
      *bad_item = text;
      return -1;
    }
  }
  if (inst->inst_name[0] == '\0') {
    *bad_item = "instance_name";  // an instance is known by its name
    return -1;
  }
  return 0;
}

int parse_com_items(const std::vector<std::string> &items, bool extract, bool modify, ComItems *out, std::string *bad) {
  const char *const *keys = modify ? kModComKeys : kComKeys;
  const int nkeys = modify ? 13 : 15;
  for (const std::string &text : items) {
    Item it;
    if (!split_item(text, &it)) {
      *bad = text;
      return -1;
    }
    int k = match_key(it.key, keys, nkeys);
    if (k < 0 || (!extract && (std::strcmp(keys[k], "trans_size") == 0 || std::strcmp(keys[k], "block_checksum") == 0 ||
                               std::strcmp(keys[k], "trail_size") == 0))) {
      *bad = it.key;
      return -1;
    }
    const std::string key = keys[k];
    if (key == "add" || key == "delete") {
      // "add tables=(...)": the set follows the word, without an equals sign.
      if (it.has_eq || parse_set_item(it.value, key == "add", out, bad) != 0) {
        if (bad->empty() || it.has_eq) *bad = text;
        return -1;
      }
      continue;
    }
    if (!it.has_eq) {
      *bad = text;
      return -1;
    }
    if (key == "tables" || key == "exclude" || key == "mapping") {
      ComItems::Set set{true,
                        key == "tables"    ? SetKind::kTables
                        : key == "exclude" ? SetKind::kExclude
                                           : SetKind::kMapping,
                        {}};
      if (parse_set(set.kind, it.value, &set.items, bad) != 0) return -1;
      out->sets.push_back(std::move(set));
      continue;
    }
    bool ok = true;
    std::string v = ks_parse_value(it.value);
    if (key == "unit")
      out->has_unit = true, out->unit = v;
    else if (key == "db")
      out->has_db = true, out->db = v;
    else if (key == "next")
      out->has_next = true, out->next = v;
    else if (key == "prev")
      out->has_prev = true, out->prev = v;
    else if (key == "max_trans")
      ok = out->has_max_trans = parse_u32(v, &out->max_trans);
    else if (key == "trans_size")
      ok = out->has_trans_sz = parse_u32(v, &out->trans_sz);
    else if (key == "interval")
      ok = out->has_idle_wait = parse_u32(v, &out->idle_wait);
    else if (key == "net_timeout")
      ok = out->has_net_timeout = parse_u32(v, &out->net_timeout);
    else if (key == "restart")
      ok = out->has_restart = parse_restart(v, &out->restart);
    else if (key == "block_checksum")
      ok = out->has_checksum = parse_yes_no(v, &out->checksum);
    else if (key == "sync_sequence")
      ok = out->has_sync_seq = parse_yes_no(v, &out->sync_seq);
    else if (key == "trail_size")
      ok = out->has_trail_sz = parse_u32(v, &out->trail_sz) && out->trail_sz <= KS_CFG_PARM_TRAIL_MAX;
    if (!ok || v.size() > KS_CFG_NAME - 1) {
      *bad = text;
      return -1;
    }
  }
  return 0;
}

int apply_com_items(const char *unit, const char *com, const ComItems &ci) {
  char omsg[KS_CFG_MSGSZ];
  if (ci.has_restart) {
    ks_cfg_fcom_t *c = find_com(unit, com);
    if (c == nullptr) {
      err("Component \"%s\".\"%s\" not found\n", unit, com);
      return -1;
    }
    c->restart = ci.restart;
    mark_modified();
  }
  if (ci.has_max_trans || ci.has_trans_sz || ci.has_idle_wait || ci.has_net_timeout || ci.has_checksum ||
      ci.has_sync_seq || ci.has_trail_sz) {
    ks_cfg_fparm_t par{};
    ks_cfg_fcom_t *c = find_com(unit, com);
    if (c != nullptr && c->para_num != KS_CFG_NONE)
      if (const void *old = ks_cfg_item(&x_cfg, c->para_num)) std::memcpy(&par, old, sizeof par);
    if (ci.has_max_trans) par.max_trans = ci.max_trans;
    if (ci.has_trans_sz) par.trans_sz = ci.trans_sz;
    if (ci.has_idle_wait) par.idle_wait = ci.idle_wait;
    if (ci.has_net_timeout) par.net_timeout = ci.net_timeout;
    if (ci.has_checksum)
      par.flag = ci.checksum ? (par.flag & ~KS_CFG_PARM_NO_CHECKSUM) : (par.flag | KS_CFG_PARM_NO_CHECKSUM);
    if (ci.has_sync_seq) par.flag = ci.sync_seq ? (par.flag | KS_CFG_PARM_SEQ) : (par.flag & ~KS_CFG_PARM_SEQ);
    if (ci.has_trail_sz) par.flag = (par.flag & ~KS_CFG_PARM_TRAIL_MASK) | (ci.trail_sz << KS_CFG_PARM_TRAIL_SHIFT);
    if (ks_cfg_add_param(&x_cfg, unit, com, &par, omsg) != 0) {
      err("%s\n", omsg);
      return -1;
    }
    mark_modified();
  }
  for (const ComItems::Set &s : ci.sets)
    if (apply_set(s.add, s.kind, unit, com, s.items) != 0) return -1;
  return 0;
}

}  // namespace kesh

int ks_add_handle(char *args) {
  kesh::Scanner sc(args);
  kesh::Obj obj = kesh::open_object(sc, false);
  if (obj == kesh::Obj::kNone) return -1;
  switch (obj) {
    case kesh::Obj::kDb:
      return kesh::add_db(sc);
    case kesh::Obj::kUnit:
      return kesh::add_unit(sc);
    case kesh::Obj::kExtract:
      return kesh::add_com(sc, true);
    default:
      return kesh::add_com(sc, false);
  }
}
