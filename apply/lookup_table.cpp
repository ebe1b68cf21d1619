// Include, exclude and mapping lists of this component in their compact form, and the
// two questions asked of them for every LCR and DDL: is this object replicated, and
// under which owner and table. Invariants: one block holds every array (excluded
// schemas, included schemas, excluded keys, included keys, mappings, in that order);
// each list names at most 32 distinct schemas; table keys are sorted so a lookup is a
// bisection; names compare byte-wise, case-sensitively, as the LCR carries them.
#include <cstdlib>

#include "apply/apply.h"
#include "lib/log/log.h"

namespace {

void copy_name(char *dst, const char *src) {
  size_t n = strnlen(src, 31);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// Index of a schema in arr[0..n), or -1.
int find_schema(const ks_ap_schema_t *arr, uint32_t n, const char *name) {
  for (uint32_t i = 0; i < n; i++)
    if (std::strncmp(arr[i].name, name, 31) == 0) return static_cast<int>(i);
  return -1;
}

// Distinct schema names of one list; -1 past the limit.
int count_schemas(const ks_ap_item_t *items, int n) {
  int count = 0;
  for (int i = 0; i < n; i++) {
    bool seen = false;
    for (int j = 0; j < i && !seen; j++) seen = std::strncmp(items[j].schema, items[i].schema, 31) == 0;
    if (seen) continue;
    if (count == KS_AP_MAX_SCHEMAS) return -1;
    count++;
  }
  return count;
}

// Fills one list: schemas in first-seen order, whole-schema flags, table keys.
void fill_list(const ks_ap_item_t *items, int n, ks_ap_schema_t *sch, uint32_t *nsch, ks_ap_table_t *tab,
               uint32_t *ntab) {
  for (int i = 0; i < n; i++) {
    int k = find_schema(sch, *nsch, items[i].schema);
    if (k < 0) {
      k = static_cast<int>((*nsch)++);
      std::memset(&sch[k], 0, sizeof sch[k]);
      copy_name(sch[k].name, items[i].schema);
    }
    if (items[i].flag & 1) {
      sch[k].flag |= 1;
    } else {
      ks_ap_table_t &t = tab[(*ntab)++];
      std::memset(&t, 0, sizeof t);
      copy_name(t.name, items[i].table);
      t.sch = static_cast<uint32_t>(k);
    }
  }
}

bool has_key(const ks_ap_table_t *arr, uint32_t n, const char *oname, uint32_t sch) {
  if (n == 0) return false;
  ks_ap_table_t key;
  std::memset(&key, 0, sizeof key);
  copy_name(key.name, oname);
  key.sch = sch;
  return std::bsearch(&key, arr, n, sizeof key, ks_ap_table_comp) != nullptr;
}

}  // namespace

int ks_ap_table_comp(const void *a, const void *b) {
  const auto *x = static_cast<const ks_ap_table_t *>(a);
  const auto *y = static_cast<const ks_ap_table_t *>(b);
  int c = std::strncmp(x->name, y->name, 32);
  if (c != 0) return c;
  return x->sch < y->sch ? -1 : (x->sch > y->sch ? 1 : 0);
}

int ks_ap_cfg_build(ks_ap_cfg_t *acfg, const ks_ap_item_t *exc, int nexc, const ks_ap_item_t *inc, int ninc,
                    const ks_ap_item_t *map, int nmap, void *(*alloc)(size_t)) {
  std::memset(acfg, 0, sizeof *acfg);
  int nes = count_schemas(exc, nexc);
  int nis = count_schemas(inc, ninc);
  if (nes < 0 || nis < 0) {
    KS_ERROR("too many schema configured.");
    return -1;
  }
  uint32_t net = 0, nit = 0;
  for (int i = 0; i < nexc; i++) net += (exc[i].flag & 1) ? 0 : 1;
  for (int i = 0; i < ninc; i++) nit += (inc[i].flag & 1) ? 0 : 1;
  size_t sz = (static_cast<size_t>(nes) + static_cast<size_t>(nis)) * sizeof(ks_ap_schema_t) +
              (static_cast<size_t>(net) + nit) * sizeof(ks_ap_table_t) +
              static_cast<size_t>(nmap) * sizeof(ks_ap_mapping_t);
  auto *base = static_cast<uint8_t *>(alloc(sz == 0 ? 8 : sz));
  if (base == nullptr) {
    KS_ERROR("allocate memory error.");
    return -1;
  }
  acfg->base = base;
  acfg->esch = reinterpret_cast<ks_ap_schema_t *>(base);
  acfg->isch = acfg->esch + nes;
  acfg->etab = reinterpret_cast<ks_ap_table_t *>(acfg->isch + nis);
  acfg->itab = acfg->etab + net;
  acfg->map = reinterpret_cast<ks_ap_mapping_t *>(acfg->itab + nit);
  fill_list(exc, nexc, acfg->esch, &acfg->nesch, acfg->etab, &acfg->netab);
  fill_list(inc, ninc, acfg->isch, &acfg->nisch, acfg->itab, &acfg->nitab);
  for (int i = 0; i < nmap; i++) {
    ks_ap_mapping_t &m = acfg->map[i];
    std::memset(&m, 0, sizeof m);
    copy_name(m.schema, map[i].schema);
    copy_name(m.map_schema, map[i].map_schema);
    // A whole-schema item is marked by its flag; keep its table text starting with "*".
    copy_name(m.table, (map[i].flag & 1) ? "*" : map[i].table);
    copy_name(m.map_table, map[i].map_table);
  }
  acfg->nmap = static_cast<uint32_t>(nmap);
  std::qsort(acfg->etab, acfg->netab, sizeof(ks_ap_table_t), ks_ap_table_comp);
  std::qsort(acfg->itab, acfg->nitab, sizeof(ks_ap_table_t), ks_ap_table_comp);
  acfg->flag |= 1;
  return 0;
}

void ks_ap_cfg_release(ks_ap_cfg_t *acfg, void (*release)(void *)) {
  if (acfg->base != nullptr) release(acfg->base);
  std::memset(acfg, 0, sizeof *acfg);
}

int ks_lookup_table(const ks_ap_cfg_t *acfg, const char *owner, const char *oname, char *m_owner, char *m_name) {
  m_owner[0] = '\0';
  m_name[0] = '\0';
  if (!(acfg->flag & 1)) return 1;
  int i = find_schema(acfg->esch, acfg->nesch, owner);
  if (i >= 0) {
    if (acfg->esch[i].flag & 1) return 0;
    if (has_key(acfg->etab, acfg->netab, oname, static_cast<uint32_t>(i))) return 0;
  }
  if (acfg->nisch != 0) {
    int j = find_schema(acfg->isch, acfg->nisch, owner);
    if (j < 0) return 0;
    if (!(acfg->isch[j].flag & 1) && !has_key(acfg->itab, acfg->nitab, oname, static_cast<uint32_t>(j))) return 0;
  }
  // Mappings hold with or without an include list: without one everything is replicated,
  // and a mapped object must still land under its mapped name, never under its own.
  uint32_t k = 0;
  while (k < acfg->nmap && std::strncmp(acfg->map[k].schema, owner, 31) != 0) k++;
  if (k == acfg->nmap) return 1;
  if (acfg->map[k].table[0] == '*') {
    copy_name(m_owner, acfg->map[k].map_schema);
    return 1;
  }
  for (; k < acfg->nmap; k++) {
    const ks_ap_mapping_t &m = acfg->map[k];
    if (std::strncmp(m.schema, owner, 31) == 0 && std::strncmp(m.table, oname, 31) == 0) {
      copy_name(m_owner, m.map_schema);
      copy_name(m_name, m.map_table);
      break;
    }
  }
  return 1;
}

int ks_lookup_owner(const ks_ap_cfg_t *acfg, const char *owner, char *m_owner) {
  m_owner[0] = '\0';
  if (!(acfg->flag & 1)) return 1;
  if (find_schema(acfg->esch, acfg->nesch, owner) >= 0) return 0;
  if (acfg->nisch != 0 && find_schema(acfg->isch, acfg->nisch, owner) < 0) return 0;
  for (uint32_t k = 0; k < acfg->nmap; k++) {
    const ks_ap_mapping_t &m = acfg->map[k];
    if (std::strncmp(m.schema, owner, 31) == 0 && m.table[0] == '*') {
      copy_name(m_owner, m.map_schema);
      break;
    }
  }
  return 1;
}
