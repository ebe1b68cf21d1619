// The configuration area of the system segment: a snapshot of the databases, instances,
// units, components and parameters of "config.db", laid out as ks_cfg_bh_t followed by
// five arrays sized by the file's maxima. The manager builds it at the system tail
// (ks_cfg_load); the console rebuilds it in place (ks_cfg_reload), which never grows it.
// A database's instances and a unit's components occupy consecutive slots. A reload is
// built aside and copied in whole, so a failing reload leaves the area untouched, and a
// component keeps its loaded-dictionary position across reloads (matched by com_uk).
#include <cstring>
#include <vector>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"

namespace {

// A name field of the stored record into the same field of the shared-memory one.
template <size_t N>
void copy_name(char (&dst)[N], const char (&src)[N]) {
  std::memcpy(dst, src, N);
}

struct Layout {
  uint32_t db_pos, inst_pos, unit_pos, com_pos, par_pos;
  uint64_t total;
};

Layout layout_of(const uint32_t max[6]) {
  Layout l{};
  uint64_t p = sizeof(ks_cfg_bh_t);
  l.db_pos = uint32_t(p);
  p += uint64_t(sizeof(ks_cfg_db_t)) * max[0];
  l.inst_pos = uint32_t(p);
  p += uint64_t(sizeof(ks_cfg_inst_t)) * max[1];
  l.unit_pos = uint32_t(p);
  p += uint64_t(sizeof(ks_cfg_unit_t)) * max[2];
  l.com_pos = uint32_t(p);
  p += uint64_t(sizeof(ks_cfg_com_t)) * max[3];
  l.par_pos = uint32_t(p);
  p += uint64_t(sizeof(ks_cfg_param_t)) * max[4];
  l.total = p;
  return l;
}

void file_maxima(ks_cfg_t *cfg, uint32_t max[6]) {
  const ks_cfg_fh_t *fh = ks_cfg_file_header(cfg);
  const uint32_t v[6] = {fh->max_dbs, fh->max_insts, fh->max_units, fh->max_comps, fh->max_params, fh->max_procs};
  std::memcpy(max, v, sizeof v);
}

template <typename T>
T *arr(uint8_t *area, uint32_t pos) {
  return reinterpret_cast<T *>(area + pos);
}

// Header and empty arrays for the given maxima and layout.
void init_area(uint8_t *area, const uint32_t max[6], const Layout &l) {
  std::memset(area, 0, l.total);
  auto *bh = reinterpret_cast<ks_cfg_bh_t *>(area);
  bh->max_dbs = max[0];
  bh->max_insts = max[1];
  bh->max_units = max[2];
  bh->max_comps = max[3];
  bh->max_params = max[4];
  bh->max_procs = max[5];
  bh->db_pos = l.db_pos;
  bh->inst_pos = l.inst_pos;
  bh->unit_pos = l.unit_pos;
  bh->com_pos = l.com_pos;
  bh->par_pos = l.par_pos;
  for (uint32_t i = 0; i < max[0]; ++i) arr<ks_cfg_db_t>(area, l.db_pos)[i].ref_num = -1;
  for (uint32_t i = 0; i < max[1]; ++i) arr<ks_cfg_inst_t>(area, l.inst_pos)[i].db_num = -1;
  for (uint32_t i = 0; i < max[2]; ++i) arr<ks_cfg_unit_t>(area, l.unit_pos)[i].ref_num = -1;
  for (uint32_t i = 0; i < max[3]; ++i) {
    arr<ks_cfg_com_t>(area, l.com_pos)[i].un_id = -1;
    arr<ks_cfg_com_t>(area, l.com_pos)[i].para_id = -1;
  }
}

// Every used item of a type in file order.
std::vector<uint32_t> items_of(ks_cfg_t *cfg, uint32_t type) {
  std::vector<uint32_t> refs;
  uint32_t blk = type;
  for (uint32_t g = 0; g < cfg->hwm_blk && blk != KS_CFG_NONE; ++g) {
    ks_cfg_fbh_t *h = ks_cfg_block(cfg, blk);
    if (h == nullptr || h->blk_typ != type) break;
    for (uint32_t i = 0; i < h->hwm_item && i < h->max_entry; ++i) {
      const uint8_t *it = static_cast<const uint8_t *>(ks_cfg_item(cfg, KS_CFG_REF(blk, i)));
      const char *name = type == KS_CFG_T_DB ? reinterpret_cast<const ks_cfg_fdb_t *>(it)->name
                                             : reinterpret_cast<const ks_cfg_funit_t *>(it)->un_name;
      if (name[0] != '\0') refs.push_back(KS_CFG_REF(blk, i));
    }
    blk = h->next_blk;
  }
  return refs;
}

// Copies the file's databases, units, components and parameters into an initialised
// area → 0, -1 (logged).
int fill_area(ks_cfg_t *cfg, uint8_t *area) {
  auto *bh = reinterpret_cast<ks_cfg_bh_t *>(area);
  auto *dbs = arr<ks_cfg_db_t>(area, bh->db_pos);
  auto *insts = arr<ks_cfg_inst_t>(area, bh->inst_pos);
  auto *units = arr<ks_cfg_unit_t>(area, bh->unit_pos);
  auto *coms = arr<ks_cfg_com_t>(area, bh->com_pos);
  auto *pars = arr<ks_cfg_param_t>(area, bh->par_pos);
  const uint32_t guard = cfg->hwm_blk * 170;

  std::vector<uint32_t> db_refs = items_of(cfg, KS_CFG_T_DB);
  for (uint32_t ref : db_refs) {
    if (bh->n_dbs >= bh->max_dbs) {
      KS_ERROR("reach the maximum database config.");
      KS_ERROR("load database config data error.");
      return -1;
    }
    const auto *f = static_cast<const ks_cfg_fdb_t *>(ks_cfg_item(cfg, ref));
    ks_cfg_db_t &d = dbs[bh->n_dbs];
    d.flag = f->flag;
    d.type = f->type;
    copy_name(d.name, f->name);
    copy_name(d.cdb, f->cdb);
    copy_name(d.pdb, f->pdb);
    copy_name(d.dbuser, f->dbuser);
    copy_name(d.passwd, f->passwd);
    int db_index = int(bh->n_dbs++);
    uint32_t iref = f->ref_num;
    for (uint32_t g = 0; iref != KS_CFG_NONE && g < guard; ++g) {
      const auto *fi = static_cast<const ks_cfg_finst_t *>(ks_cfg_item(cfg, iref));
      if (fi == nullptr) break;
      if (bh->n_insts >= bh->max_insts) {
        KS_ERROR("reach the maximum instance config.");
        KS_ERROR("load database config data error.");
        return -1;
      }
      ks_cfg_inst_t &in = insts[bh->n_insts];
      in.flag = fi->flag;
      in.db_num = db_index;
      in.thrd = fi->thrd;
      in.vport = fi->vport;
      in.aport = fi->aport;
      copy_name(in.inst_name, fi->inst_name);
      copy_name(in.svc_name, fi->svc_name);
      copy_name(in.vip, fi->vip);
      copy_name(in.tns, fi->tns);
      if (d.ref_num < 0) d.ref_num = int32_t(bh->n_insts);
      d.inst_cnt++;
      bh->n_insts++;
      iref = fi->next_num;
    }
  }

  for (uint32_t ref : items_of(cfg, KS_CFG_T_UNIT)) {
    if (bh->n_units >= bh->max_units) {
      KS_ERROR("reach the maximum unit config.");
      KS_ERROR("load unit config data error.");
      return -1;
    }
    const auto *fu = static_cast<const ks_cfg_funit_t *>(ks_cfg_item(cfg, ref));
    ks_cfg_unit_t &u = units[bh->n_units];
    u.flag = fu->flag;
    std::memcpy(u.un_name, fu->un_name, sizeof u.un_name);
    int un_index = int(bh->n_units++);
    uint32_t cref = fu->ref_num;
    for (uint32_t g = 0; cref != KS_CFG_NONE && g < guard; ++g) {
      const auto *fc = static_cast<const ks_cfg_fcom_t *>(ks_cfg_item(cfg, cref));
      if (fc == nullptr) break;
      if (bh->n_comps >= bh->max_comps) {
        KS_ERROR("reach the maximum component config.");
        KS_ERROR("load unit config data error.");
        return -1;
      }
      ks_cfg_com_t &c = coms[bh->n_comps];
      c.flag = fc->flag;
      c.com_typ = fc->com_typ;
      c.un_id = un_index;
      c.com_uk = cref;
      c.restart = fc->restart;
      copy_name(c.name, fc->name);
      copy_name(c.pname, fc->pname);
      copy_name(c.src_db, fc->src_db);
      copy_name(c.tgt_db, fc->tgt_db);
      copy_name(c.prev, fc->prev);
      copy_name(c.next, fc->next);
      if (c.pname[0] == '\0') std::strcpy(c.pname, c.com_typ == KS_CFG_COM_APPLY ? "apply" : "extract");
      if (fc->para_num != KS_CFG_NONE) {
        const auto *fp = static_cast<const ks_cfg_fparm_t *>(ks_cfg_item(cfg, fc->para_num));
        if (fp != nullptr) {
          if (bh->n_params >= bh->max_params) {
            KS_ERROR("reach the maximum parameter config.");
            KS_ERROR("load unit config data error.");
            return -1;
          }
          pars[bh->n_params] = *fp;
          c.para_id = int32_t(bh->n_params++);
        }
      }
      if (u.ref_num < 0) u.ref_num = int32_t(bh->n_comps);
      u.com_cnt++;
      bh->n_comps++;
      cref = fc->next_num;
    }
  }
  return 0;
}

ks_cfg_bh_t *area_or_null() {
  if (shm_inf.status != 1) return nullptr;
  return static_cast<ks_cfg_bh_t *>(ks_shm_get_cfg_ptr());
}

}  // namespace

int ks_cfg_load() {
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  if (ks_cfg_open_file(&cfg, omsg) != 0) {
    KS_ERROR("open config file error.\n%s", omsg);
    return -1;
  }
  uint32_t max[6];
  file_maxima(&cfg, max);
  Layout l = layout_of(max);
  uint32_t *tail = ks_shm_get_systail();
  uint32_t ofs = tail != nullptr ? (*tail + 7u) & ~7u : 0;
  if (tail == nullptr || ofs + l.total > shm_inf.segs[0].shm_sz) {
    KS_ERROR("get shared memory for config error.");
    ks_cfg_close_file(&cfg, omsg);
    return -1;
  }
  uint8_t *area = reinterpret_cast<uint8_t *>(shm_inf.segs[0].head) + ofs;
  init_area(area, max, l);
  int rc = fill_area(&cfg, area);
  if (ks_cfg_close_file(&cfg, omsg) != 0) {
    KS_ERROR("close config file error.\n%s", omsg);
    rc = -1;
  }
  if (rc != 0) return -1;
  ks_shm_set_cfg_pos(area);
  ks_shm_add_systail(uint32_t(ofs + l.total - *tail));
  return 0;
}

int ks_cfg_reload() {
  ks_cfg_bh_t *bh = area_or_null();
  if (bh == nullptr) {
    KS_ERROR("configuration not loaded.");
    return -1;
  }
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  if (ks_cfg_open_file(&cfg, omsg) != 0) {
    KS_ERROR("open config file error.\n%s", omsg);
    return -1;
  }
  uint32_t fmax[6];
  file_maxima(&cfg, fmax);
  const uint32_t amax[6] = {bh->max_dbs, bh->max_insts, bh->max_units, bh->max_comps, bh->max_params, bh->max_procs};
  for (int i = 0; i < 6; ++i)
    if (fmax[i] > amax[i]) {
      KS_ERROR("components limit changed.");
      ks_cfg_close_file(&cfg, omsg);
      return -1;
    }
  Layout l = layout_of(amax);
  std::vector<uint8_t> img(l.total);
  init_area(img.data(), amax, l);
  int rc = fill_area(&cfg, img.data());
  if (ks_cfg_close_file(&cfg, omsg) != 0) {
    KS_ERROR("close config file error.\n%s", omsg);
    rc = -1;
  }
  if (rc != 0) return -1;
  // Loaded dictionaries belong to components, not to slots: carry them over.
  auto *nb = reinterpret_cast<ks_cfg_bh_t *>(img.data());
  ks_cfg_com_t *oc = ks_cfg_coms(bh);
  ks_cfg_com_t *nc = ks_cfg_coms(nb);
  for (uint32_t i = 0; i < nb->n_comps; ++i)
    for (uint32_t j = 0; j < bh->n_comps; ++j)
      if (oc[j].com_uk == nc[i].com_uk) {
        nc[i].hdr_sno = oc[j].hdr_sno;
        nc[i].hdr_off = oc[j].hdr_off;
        break;
      }
  std::memcpy(bh, img.data(), l.total);
  return 0;
}

ks_cfg_bh_t *ks_cfg_area() { return area_or_null(); }
ks_cfg_db_t *ks_cfg_dbs(ks_cfg_bh_t *bh) { return arr<ks_cfg_db_t>(reinterpret_cast<uint8_t *>(bh), bh->db_pos); }
ks_cfg_inst_t *ks_cfg_insts(ks_cfg_bh_t *bh) {
  return arr<ks_cfg_inst_t>(reinterpret_cast<uint8_t *>(bh), bh->inst_pos);
}
ks_cfg_unit_t *ks_cfg_units(ks_cfg_bh_t *bh) {
  return arr<ks_cfg_unit_t>(reinterpret_cast<uint8_t *>(bh), bh->unit_pos);
}
ks_cfg_com_t *ks_cfg_coms(ks_cfg_bh_t *bh) { return arr<ks_cfg_com_t>(reinterpret_cast<uint8_t *>(bh), bh->com_pos); }
ks_cfg_param_t *ks_cfg_params(ks_cfg_bh_t *bh) {
  return arr<ks_cfg_param_t>(reinterpret_cast<uint8_t *>(bh), bh->par_pos);
}

int ks_cfg_find_unit(ks_cfg_bh_t *bh, const char *un_name) {
  ks_cfg_unit_t *u = ks_cfg_units(bh);
  for (uint32_t i = 0; i < bh->n_units && i < bh->max_units; ++i)
    if (std::strncmp(u[i].un_name, un_name, KS_CFG_NAME - 1) == 0) return int(i);
  return -1;
}

int ks_cfg_find_com(ks_cfg_bh_t *bh, const char *un_name, const char *cm_name) {
  int u = ks_cfg_find_unit(bh, un_name);
  if (u < 0) return -1;
  const ks_cfg_unit_t &unit = ks_cfg_units(bh)[u];
  ks_cfg_com_t *c = ks_cfg_coms(bh);
  for (uint32_t k = 0; k < unit.com_cnt; ++k) {
    uint32_t i = uint32_t(unit.ref_num) + k;
    if (i < bh->n_comps && std::strncmp(c[i].name, cm_name, KS_CFG_NAME - 1) == 0) return int(i);
  }
  return -1;
}

int ks_cfg_find_db(ks_cfg_bh_t *bh, const char *dbname) {
  ks_cfg_db_t *d = ks_cfg_dbs(bh);
  for (uint32_t i = 0; i < bh->n_dbs && i < bh->max_dbs; ++i)
    if (std::strncmp(d[i].name, dbname, KS_CFG_NAME - 1) == 0) return int(i);
  return -1;
}

int ks_cfg_db_threads(ks_cfg_bh_t *bh, const char *dbname, int *thr, int max) {
  int d = ks_cfg_find_db(bh, dbname);
  if (d < 0) return -1;
  const ks_cfg_db_t &db = ks_cfg_dbs(bh)[d];
  if (db.inst_cnt <= 1) return 0;
  int n = 0;
  for (uint32_t i = 0; i < db.inst_cnt; ++i) {
    int t = int(ks_cfg_insts(bh)[db.ref_num + int(i)].thrd);
    bool seen = false;
    for (int k = 0; k < n; ++k) seen = seen || thr[k] == t;
    if (seen) continue;
    if (n == max) return -1;
    int k = n++;
    for (; k > 0 && thr[k - 1] > t; --k) thr[k] = thr[k - 1];  // kept in ascending order
    thr[k] = t;
  }
  return n;
}

int ks_cfg_get_max_process() {
  ks_cfg_bh_t *bh = area_or_null();
  if (bh == nullptr) {
    KS_ERROR("configuration not loaded.");
    return -1;
  }
  return int(bh->max_procs);
}
