// Adding, deleting and looking up items of "config.db" in the editing buffer.
//
// Every item type has an owner list: instances hang off their database (ref_num →
// next_num), components off their unit, the parameter item and the include, exclude
// and mapping sets off their component. An item with an empty name is free (parameter
// items: rsv without KS_CFG_PARM_USED). Free items are reused before the last block of
// the type grows, and a block other than the head of its chain is released as soon as
// its last item is deleted. Names are kept to 31 characters and compared exactly.
// Failures leave the buffer unchanged and put their text in omsg.
#include <errno.h>
#include <stdio.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"

namespace {

// Offset of the name that marks an item in use, per type (-1: none).
constexpr int kNameOfs[KS_CFG_NTYPES] = {-1,
                                         offsetof(ks_cfg_fdb_t, name),
                                         offsetof(ks_cfg_finst_t, inst_name),
                                         offsetof(ks_cfg_funit_t, un_name),
                                         offsetof(ks_cfg_fcom_t, name),
                                         -1,
                                         offsetof(ks_cfg_finc_t, schema),
                                         offsetof(ks_cfg_fexc_t, schema),
                                         offsetof(ks_cfg_fmap_t, schema)};

void msg(char *omsg, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void msg(char *omsg, const char *fmt, ...) {
  if (omsg == nullptr) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(omsg, KS_CFG_MSGSZ, fmt, ap);
  va_end(ap);
}

// Names as stored: at most 31 characters.
std::string nm(const char *s) { return std::string(s, strnlen(s, KS_CFG_NAME - 1)); }
bool same(const char *stored, const char *name) { return std::strncmp(stored, name, KS_CFG_NAME - 1) == 0; }

bool item_used(uint32_t type, const uint8_t *it) {
  if (type == KS_CFG_T_PARM) return reinterpret_cast<const ks_cfg_fparm_t *>(it)->rsv == KS_CFG_PARM_USED;
  if (type == KS_CFG_T_FH) return true;
  return it[kNameOfs[type]] != '\0';
}

// Upper bound of any list walk: no list can hold more items than the file.
uint32_t guard_of(ks_cfg_t *cfg) { return cfg->hwm_blk * 170; }

// Calls fn(ref, item) for every used item of a type in file order; stops when fn
// returns true and returns that reference, else KS_CFG_NONE.
template <typename F>
uint32_t scan(ks_cfg_t *cfg, uint32_t type, F fn) {
  uint32_t blk = type;
  for (uint32_t g = 0; g < cfg->hwm_blk && blk != KS_CFG_NONE; ++g) {
    ks_cfg_fbh_t *h = ks_cfg_block(cfg, blk);
    if (h == nullptr || h->blk_typ != type) break;
    for (uint32_t i = 0; i < h->hwm_item && i < h->max_entry; ++i) {
      uint32_t ref = KS_CFG_REF(blk, i);
      auto *it = static_cast<uint8_t *>(ks_cfg_item(cfg, ref));
      if (it != nullptr && item_used(type, it) && fn(ref, it)) return ref;
    }
    blk = h->next_blk;
  }
  return KS_CFG_NONE;
}

// Takes a free item of a type (reusing one, filling the last block, or appending a
// block) and copies rec into it → its reference, KS_CFG_NONE.
uint32_t take_item(ks_cfg_t *cfg, uint32_t type, const void *rec, char *omsg) {
  const uint32_t sz = ks_cfg_item_size(type);
  uint32_t blk = type, last = type, ref = KS_CFG_NONE;
  for (uint32_t g = 0; g < cfg->hwm_blk && blk != KS_CFG_NONE && ref == KS_CFG_NONE; ++g) {
    ks_cfg_fbh_t *h = ks_cfg_block(cfg, blk);
    if (h == nullptr) break;
    last = blk;
    if (h->frcnt > 0)
      for (uint32_t i = 0; i < h->hwm_item && i < h->max_entry; ++i)
        if (!item_used(type, static_cast<uint8_t *>(ks_cfg_item(cfg, KS_CFG_REF(blk, i))))) {
          ref = KS_CFG_REF(blk, i);
          break;
        }
    blk = h->next_blk;
  }
  if (ref == KS_CFG_NONE) {
    ks_cfg_fbh_t *h = ks_cfg_block(cfg, last);
    if (h->hwm_item >= h->max_entry) {
      int nb = ks_cfg_append_block(cfg, type, omsg);
      if (nb < 0) return KS_CFG_NONE;
      last = uint32_t(nb);
      h = ks_cfg_block(cfg, last);
    }
    ref = KS_CFG_REF(last, h->hwm_item);
    h->hwm_item++;
  }
  ks_cfg_fbh_t *h = ks_cfg_block(cfg, KS_CFG_REF_BLK(ref));
  std::memcpy(ks_cfg_item(cfg, ref), rec, sz);
  h->frcnt--;
  return ref;
}

// Clears an item; its block is released once empty (heads of chains stay).
void free_item(ks_cfg_t *cfg, uint32_t ref) {
  ks_cfg_fbh_t *h = ks_cfg_block(cfg, KS_CFG_REF_BLK(ref));
  void *it = ks_cfg_item(cfg, ref);
  if (h == nullptr || it == nullptr) return;
  std::memset(it, 0, ks_cfg_item_size(h->blk_typ));
  if (h->frcnt < h->max_entry) h->frcnt++;
  if (h->frcnt == h->max_entry && h->blk_num >= KS_CFG_NTYPES) ks_cfg_free_block(cfg, h->blk_num);
}

uint32_t get_u32(const void *it, size_t ofs) {
  uint32_t v;
  std::memcpy(&v, static_cast<const uint8_t *>(it) + ofs, 4);
  return v;
}
void put_u32(void *it, size_t ofs, uint32_t v) { std::memcpy(static_cast<uint8_t *>(it) + ofs, &v, 4); }

// A list: the head field in the owner and the link field (next_num) in each member.
struct List {
  void *owner;
  size_t head_ofs;
  size_t next_ofs;
};

template <typename F>
uint32_t list_find(ks_cfg_t *cfg, const List &l, F fn) {
  uint32_t ref = get_u32(l.owner, l.head_ofs);
  for (uint32_t g = 0; ref != KS_CFG_NONE && g < guard_of(cfg); ++g) {
    void *it = ks_cfg_item(cfg, ref);
    if (it == nullptr) break;
    if (fn(ref, it)) return ref;
    ref = get_u32(it, l.next_ofs);
  }
  return KS_CFG_NONE;
}

void list_append(ks_cfg_t *cfg, const List &l, uint32_t ref) {
  put_u32(ks_cfg_item(cfg, ref), l.next_ofs, KS_CFG_NONE);
  uint32_t cur = get_u32(l.owner, l.head_ofs);
  if (cur == KS_CFG_NONE) {
    put_u32(l.owner, l.head_ofs, ref);
    return;
  }
  for (uint32_t g = 0; g < guard_of(cfg); ++g) {
    void *it = ks_cfg_item(cfg, cur);
    uint32_t nx = get_u32(it, l.next_ofs);
    if (nx == KS_CFG_NONE) {
      put_u32(it, l.next_ofs, ref);
      return;
    }
    cur = nx;
  }
}

void list_unlink(ks_cfg_t *cfg, const List &l, uint32_t ref) {
  uint32_t nx = get_u32(ks_cfg_item(cfg, ref), l.next_ofs);
  uint32_t cur = get_u32(l.owner, l.head_ofs);
  if (cur == ref) {
    put_u32(l.owner, l.head_ofs, nx);
    return;
  }
  for (uint32_t g = 0; cur != KS_CFG_NONE && g < guard_of(cfg); ++g) {
    void *it = ks_cfg_item(cfg, cur);
    if (it == nullptr) return;
    uint32_t c = get_u32(it, l.next_ofs);
    if (c == ref) {
      put_u32(it, l.next_ofs, nx);
      return;
    }
    cur = c;
  }
}

// Frees every member of a list and empties it.
void list_free_all(ks_cfg_t *cfg, const List &l) {
  uint32_t ref = get_u32(l.owner, l.head_ofs);
  for (uint32_t g = 0; ref != KS_CFG_NONE && g < guard_of(cfg); ++g) {
    void *it = ks_cfg_item(cfg, ref);
    if (it == nullptr) break;
    uint32_t nx = get_u32(it, l.next_ofs);
    free_item(cfg, ref);
    ref = nx;
  }
  put_u32(l.owner, l.head_ofs, KS_CFG_NONE);
}

void cut(char *s) { s[KS_CFG_NAME - 1] = '\0'; }

ks_cfg_fcom_t *find_com(ks_cfg_t *cfg, const char *un_name, const char *com_name, char *omsg) {
  int u = ks_cfg_lookup_unit(cfg, un_name);
  if (u < 0) {
    msg(omsg, "Unit \"%s\" not found", nm(un_name).c_str());
    return nullptr;
  }
  int c = ks_cfg_lookup_com(cfg, un_name, com_name);
  if (c < 0) {
    msg(omsg, "Component \"%s\".\"%s\" not found", nm(un_name).c_str(), nm(com_name).c_str());
    return nullptr;
  }
  return static_cast<ks_cfg_fcom_t *>(ks_cfg_item(cfg, uint32_t(c)));
}

void free_com_items(ks_cfg_t *cfg, ks_cfg_fcom_t *com) {
  if (com->para_num != KS_CFG_NONE) free_item(cfg, com->para_num);
  com->para_num = KS_CFG_NONE;
  list_free_all(cfg, {com, offsetof(ks_cfg_fcom_t, in_num), offsetof(ks_cfg_finc_t, next_num)});
  list_free_all(cfg, {com, offsetof(ks_cfg_fcom_t, ex_num), offsetof(ks_cfg_fexc_t, next_num)});
  list_free_all(cfg, {com, offsetof(ks_cfg_fcom_t, map_num), offsetof(ks_cfg_fmap_t, next_num)});
}

// True when one more item of the type stays within the file header's maximum, the size
// of the manager's table for it; else the message. Refused here, at the add, rather
// than when the manager loads the saved file.
bool room_for(ks_cfg_t *cfg, uint32_t type, char *omsg) {
  const ks_cfg_fh_t *fh = ks_cfg_file_header(cfg);
  uint32_t max = 0;
  const char *what = "";
  switch (type) {
    case KS_CFG_T_DB:
      max = fh->max_dbs, what = "database";
      break;
    case KS_CFG_T_INST:
      max = fh->max_insts, what = "instance";
      break;
    case KS_CFG_T_UNIT:
      max = fh->max_units, what = "unit";
      break;
    case KS_CFG_T_COM:
      max = fh->max_comps, what = "component";
      break;
    case KS_CFG_T_PARM:
      max = fh->max_params, what = "parameter";
      break;
    default:
      return true;
  }
  uint32_t n = 0;
  scan(cfg, type, [&](uint32_t, uint8_t *) { return ++n >= max; });
  if (n < max) return true;
  msg(omsg, "reach the maximum %s config (%u).", what, max);
  return false;
}

bool ready(ks_cfg_t *cfg, char *omsg) {
  if ((cfg->flag & KS_CFG_OPEN) && cfg->buf != nullptr) return true;
  msg(omsg, "config file not open");
  return false;
}

// The three table sets share one shape: {flag, next_num, schema, table, ...}.
struct SetKind {
  uint32_t type;
  size_t head_ofs;
  const char *what;
  size_t size;
};
constexpr SetKind kInclude = {KS_CFG_T_INC, offsetof(ks_cfg_fcom_t, in_num), "Include", sizeof(ks_cfg_finc_t)};
constexpr SetKind kExclude = {KS_CFG_T_EXC, offsetof(ks_cfg_fcom_t, ex_num), "Exclude", sizeof(ks_cfg_fexc_t)};
constexpr SetKind kMap = {KS_CFG_T_MAP, offsetof(ks_cfg_fcom_t, map_num), "Mapping", sizeof(ks_cfg_fmap_t)};
constexpr size_t kSetSchema = 8;
size_t set_table_ofs(uint32_t type) { return type == KS_CFG_T_MAP ? offsetof(ks_cfg_fmap_t, table) : 40; }

uint32_t set_find(ks_cfg_t *cfg, ks_cfg_fcom_t *com, const SetKind &k, const char *schema, const char *table) {
  size_t tofs = set_table_ofs(k.type);
  return list_find(cfg, {com, k.head_ofs, 4}, [&](uint32_t, void *it) {
    auto *p = static_cast<const char *>(it);
    return same(p + kSetSchema, schema) && same(p + tofs, table);
  });
}

int set_add(ks_cfg_t *cfg, const char *un, const char *cn, const void *rec, const SetKind &k, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  ks_cfg_fcom_t *com = find_com(cfg, un, cn, omsg);
  if (com == nullptr) return -1;
  uint8_t copy[sizeof(ks_cfg_fmap_t)] = {};
  std::memcpy(copy, rec, k.size);
  for (size_t o = kSetSchema; o + KS_CFG_NAME <= k.size; o += KS_CFG_NAME) cut(reinterpret_cast<char *>(copy) + o);
  const char *schema = reinterpret_cast<char *>(copy) + kSetSchema;
  const char *table = reinterpret_cast<char *>(copy) + set_table_ofs(k.type);
  if (schema[0] == '\0') {
    msg(omsg, "%s set item has no schema name", k.what);
    return -1;
  }
  if (set_find(cfg, com, k, schema, table) != KS_CFG_NONE) {
    msg(omsg, "%s set item \"%s\".\"%s\" exist", k.what, schema, table);
    return -1;
  }
  size_t com_ofs = reinterpret_cast<uint8_t *>(com) - cfg->buf;  // the buffer may move
  uint32_t ref = take_item(cfg, k.type, copy, omsg);
  if (ref == KS_CFG_NONE) return -1;
  com = reinterpret_cast<ks_cfg_fcom_t *>(cfg->buf + com_ofs);
  list_append(cfg, {com, k.head_ofs, 4}, ref);
  return 0;
}

int set_delete(ks_cfg_t *cfg, const char *un, const char *cn, const void *rec, const SetKind &k, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  ks_cfg_fcom_t *com = find_com(cfg, un, cn, omsg);
  if (com == nullptr) return -1;
  const char *schema = static_cast<const char *>(rec) + kSetSchema;
  const char *table = static_cast<const char *>(rec) + set_table_ofs(k.type);
  uint32_t ref = set_find(cfg, com, k, schema, table);
  if (ref == KS_CFG_NONE) {
    msg(omsg, "%s set item \"%s\".\"%s\" not found", k.what, nm(schema).c_str(), nm(table).c_str());
    return -1;
  }
  list_unlink(cfg, {com, k.head_ofs, 4}, ref);
  free_item(cfg, ref);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- lookups
int ks_cfg_lookup_db(ks_cfg_t *cfg, const char *dbname) {
  if (cfg->buf == nullptr) return -1;
  uint32_t r = scan(cfg, KS_CFG_T_DB,
                    [&](uint32_t, uint8_t *it) { return same(reinterpret_cast<ks_cfg_fdb_t *>(it)->name, dbname); });
  return r == KS_CFG_NONE ? -1 : int(r);
}

int ks_cfg_lookup_unit(ks_cfg_t *cfg, const char *un_name) {
  if (cfg->buf == nullptr) return -1;
  uint32_t r = scan(cfg, KS_CFG_T_UNIT, [&](uint32_t, uint8_t *it) {
    return same(reinterpret_cast<ks_cfg_funit_t *>(it)->un_name, un_name);
  });
  return r == KS_CFG_NONE ? -1 : int(r);
}

int ks_cfg_lookup_com(ks_cfg_t *cfg, const char *un_name, const char *cm_name) {
  int u = ks_cfg_lookup_unit(cfg, un_name);
  if (u < 0) return -1;
  void *unit = ks_cfg_item(cfg, uint32_t(u));
  uint32_t r = list_find(cfg, {unit, offsetof(ks_cfg_funit_t, ref_num), offsetof(ks_cfg_fcom_t, next_num)},
                         [&](uint32_t, void *it) { return same(static_cast<ks_cfg_fcom_t *>(it)->name, cm_name); });
  return r == KS_CFG_NONE ? -1 : int(r);
}

// ---------------------------------------------------------------- databases
int ks_cfg_add_db(ks_cfg_t *cfg, const ks_cfg_fdb_t *db, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  ks_cfg_fdb_t rec = *db;
  for (char *s : {rec.name, rec.cdb, rec.pdb, rec.dbuser, rec.passwd}) cut(s);
  if (rec.name[0] == '\0') {
    msg(omsg, "No database name input");
    return -1;
  }
  if (ks_cfg_lookup_db(cfg, rec.name) >= 0) {
    msg(omsg, "Database \"%s\" exist", rec.name);
    return -1;
  }
  if (!room_for(cfg, KS_CFG_T_DB, omsg)) return -1;
  rec.ref_num = KS_CFG_NONE;
  return take_item(cfg, KS_CFG_T_DB, &rec, omsg) == KS_CFG_NONE ? -1 : 0;
}

int ks_cfg_delete_db(ks_cfg_t *cfg, const char *dbname, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  int d = ks_cfg_lookup_db(cfg, dbname);
  if (d < 0) {
    msg(omsg, "Database \"%s\" not found", nm(dbname).c_str());
    return -1;
  }
  void *db = ks_cfg_item(cfg, uint32_t(d));
  list_free_all(cfg, {db, offsetof(ks_cfg_fdb_t, ref_num), offsetof(ks_cfg_finst_t, next_num)});
  free_item(cfg, uint32_t(d));
  return 0;
}

int ks_cfg_add_inst(ks_cfg_t *cfg, const char *dbname, const ks_cfg_finst_t *inst, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  int d = ks_cfg_lookup_db(cfg, dbname);
  if (d < 0) {
    msg(omsg, "Database \"%s\" not found", nm(dbname).c_str());
    return -1;
  }
  ks_cfg_finst_t rec = *inst;
  for (char *s : {rec.inst_name, rec.svc_name, rec.vip, rec.tns}) cut(s);
  if (rec.inst_name[0] == '\0') {
    msg(omsg, "No instance name input");
    return -1;
  }
  List l{ks_cfg_item(cfg, uint32_t(d)), offsetof(ks_cfg_fdb_t, ref_num), offsetof(ks_cfg_finst_t, next_num)};
  if (list_find(cfg, l, [&](uint32_t, void *it) {
        return same(static_cast<ks_cfg_finst_t *>(it)->inst_name, rec.inst_name);
      }) != KS_CFG_NONE) {
    msg(omsg, "Instance \"%s\".\"%s\" exist", nm(dbname).c_str(), rec.inst_name);
    return -1;
  }
  if (!room_for(cfg, KS_CFG_T_INST, omsg)) return -1;
  rec.db_num = uint32_t(d);
  uint32_t ref = take_item(cfg, KS_CFG_T_INST, &rec, omsg);
  if (ref == KS_CFG_NONE) return -1;
  l.owner = ks_cfg_item(cfg, uint32_t(d));  // the buffer may have moved
  list_append(cfg, l, ref);
  return 0;
}

int ks_cfg_delete_inst(ks_cfg_t *cfg, const char *dbname, const char *in_name, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  int d = ks_cfg_lookup_db(cfg, dbname);
  if (d < 0) {
    msg(omsg, "Database \"%s\" not found", nm(dbname).c_str());
    return -1;
  }
  List l{ks_cfg_item(cfg, uint32_t(d)), offsetof(ks_cfg_fdb_t, ref_num), offsetof(ks_cfg_finst_t, next_num)};
  uint32_t ref = list_find(
      cfg, l, [&](uint32_t, void *it) { return same(static_cast<ks_cfg_finst_t *>(it)->inst_name, in_name); });
  if (ref == KS_CFG_NONE) {
    msg(omsg, "Instance \"%s\".\"%s\" not found", nm(dbname).c_str(), nm(in_name).c_str());
    return -1;
  }
  list_unlink(cfg, l, ref);
  free_item(cfg, ref);
  return 0;
}

// ---------------------------------------------------------------- units
int ks_cfg_add_unit(ks_cfg_t *cfg, const ks_cfg_funit_t *unit, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  ks_cfg_funit_t rec = *unit;
  cut(rec.un_name);
  if (rec.un_name[0] == '\0') {
    msg(omsg, "No unit name input");
    return -1;
  }
  if (ks_cfg_lookup_unit(cfg, rec.un_name) >= 0) {
    msg(omsg, "Unit \"%s\" exist", rec.un_name);
    return -1;
  }
  if (!room_for(cfg, KS_CFG_T_UNIT, omsg)) return -1;
  rec.ref_num = KS_CFG_NONE;
  return take_item(cfg, KS_CFG_T_UNIT, &rec, omsg) == KS_CFG_NONE ? -1 : 0;
}

int ks_cfg_delete_unit(ks_cfg_t *cfg, const char *un_name, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  int u = ks_cfg_lookup_unit(cfg, un_name);
  if (u < 0) {
    msg(omsg, "Unit \"%s\" not found", nm(un_name).c_str());
    return -1;
  }
  // The directories go first: if one cannot be removed the unit stays whole.
  const std::string name = nm(un_name);
  for (const char *d : {"log/", "dict/", "data/"}) {
    std::string path = std::string(ks_get_home_dir()) + d + name;
    if (remove(path.c_str()) != 0 && errno != ENOENT) {
      msg(omsg, "Remove sub-directory \"%s\" error\nremove(): %s", path.c_str(), strerror(errno));
      return -1;
    }
  }
  void *unit = ks_cfg_item(cfg, uint32_t(u));
  List l{unit, offsetof(ks_cfg_funit_t, ref_num), offsetof(ks_cfg_fcom_t, next_num)};
  list_find(cfg, l, [&](uint32_t, void *it) {
    free_com_items(cfg, static_cast<ks_cfg_fcom_t *>(it));
    return false;
  });
  list_free_all(cfg, l);
  free_item(cfg, uint32_t(u));
  return 0;
}

// ---------------------------------------------------------------- components
int ks_cfg_add_com(ks_cfg_t *cfg, const char *un_name, const ks_cfg_fcom_t *com, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  int u = ks_cfg_lookup_unit(cfg, un_name);
  if (u < 0) {
    msg(omsg, "Unit \"%s\" not found", nm(un_name).c_str());
    return -1;
  }
  ks_cfg_fcom_t rec = *com;
  for (char *s : {rec.name, rec.pname, rec.src_db, rec.tgt_db, rec.prev, rec.next}) cut(s);
  if (rec.name[0] == '\0') {
    msg(omsg, "No component name input");
    return -1;
  }
  if (ks_cfg_lookup_com(cfg, un_name, rec.name) >= 0) {
    msg(omsg, "Component \"%s\".\"%s\" exist", nm(un_name).c_str(), rec.name);
    return -1;
  }
  // Every component the console adds takes a parameter item as well.
  if (!room_for(cfg, KS_CFG_T_COM, omsg) || !room_for(cfg, KS_CFG_T_PARM, omsg)) return -1;
  rec.para_num = rec.in_num = rec.ex_num = rec.map_num = KS_CFG_NONE;
  uint32_t ref = take_item(cfg, KS_CFG_T_COM, &rec, omsg);
  if (ref == KS_CFG_NONE) return -1;
  list_append(
      cfg, {ks_cfg_item(cfg, uint32_t(u)), offsetof(ks_cfg_funit_t, ref_num), offsetof(ks_cfg_fcom_t, next_num)}, ref);
  return 0;
}

int ks_cfg_delete_com(ks_cfg_t *cfg, const char *un_name, const char *cm_name, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  ks_cfg_fcom_t *com = find_com(cfg, un_name, cm_name, omsg);
  if (com == nullptr) return -1;
  uint32_t ref = uint32_t(ks_cfg_lookup_com(cfg, un_name, cm_name));
  free_com_items(cfg, com);
  int u = ks_cfg_lookup_unit(cfg, un_name);
  list_unlink(
      cfg, {ks_cfg_item(cfg, uint32_t(u)), offsetof(ks_cfg_funit_t, ref_num), offsetof(ks_cfg_fcom_t, next_num)}, ref);
  free_item(cfg, ref);
  return 0;
}

int ks_cfg_add_param(ks_cfg_t *cfg, const char *un_name, const char *cm_name, const ks_cfg_fparm_t *par, char *omsg) {
  if (!ready(cfg, omsg)) return -1;
  ks_cfg_fcom_t *com = find_com(cfg, un_name, cm_name, omsg);
  if (com == nullptr) return -1;
  ks_cfg_fparm_t rec = *par;
  rec.rsv = KS_CFG_PARM_USED;
  if (com->para_num != KS_CFG_NONE) {
    if (void *it = ks_cfg_item(cfg, com->para_num)) {
      std::memcpy(it, &rec, sizeof rec);
      return 0;
    }
  }
  if (!room_for(cfg, KS_CFG_T_PARM, omsg)) return -1;
  size_t com_ofs = reinterpret_cast<uint8_t *>(com) - cfg->buf;
  uint32_t ref = take_item(cfg, KS_CFG_T_PARM, &rec, omsg);
  if (ref == KS_CFG_NONE) return -1;
  reinterpret_cast<ks_cfg_fcom_t *>(cfg->buf + com_ofs)->para_num = ref;
  return 0;
}

int ks_cfg_add_include(ks_cfg_t *cfg, const char *u, const char *c, const ks_cfg_finc_t *item, char *omsg) {
  return set_add(cfg, u, c, item, kInclude, omsg);
}
int ks_cfg_delete_include(ks_cfg_t *cfg, const char *u, const char *c, const ks_cfg_finc_t *item, char *omsg) {
  return set_delete(cfg, u, c, item, kInclude, omsg);
}
int ks_cfg_add_exclude(ks_cfg_t *cfg, const char *u, const char *c, const ks_cfg_fexc_t *item, char *omsg) {
  return set_add(cfg, u, c, item, kExclude, omsg);
}
int ks_cfg_delete_exclude(ks_cfg_t *cfg, const char *u, const char *c, const ks_cfg_fexc_t *item, char *omsg) {
  return set_delete(cfg, u, c, item, kExclude, omsg);
}
int ks_cfg_add_map(ks_cfg_t *cfg, const char *u, const char *c, const ks_cfg_fmap_t *item, char *omsg) {
  return set_add(cfg, u, c, item, kMap, omsg);
}
int ks_cfg_delete_map(ks_cfg_t *cfg, const char *u, const char *c, const ks_cfg_fmap_t *item, char *omsg) {
  return set_delete(cfg, u, c, item, kMap, omsg);
}
