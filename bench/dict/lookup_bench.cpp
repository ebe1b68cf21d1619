// Table lookups per second over a loaded dictionary of 100,000 tables (plus one partition
// alias for every tenth table), as the redo handlers run them for every row change:
// hits on tables, hits through alias entries, and misses (objects not captured).
// Usage: bench_dict_lookup [tables] [lookups]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "extract/dict/dict.h"

namespace {

double rate(ks_dict_t *d, const std::vector<int> &keys, long n, long *found) {
  auto t0 = std::chrono::steady_clock::now();
  long hit = 0;
  size_t k = 0, nk = keys.size();
  for (long i = 0; i < n; i++) {
    hit += ks_lookup_table(d, keys[k]) >= 0;
    if (++k == nk) k = 0;
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  *found = hit;
  return static_cast<double>(n) / s;
}

}  // namespace

int main(int argc, char **argv) {
  long ntab = argc > 1 ? atol(argv[1]) : 100000;
  long n = argc > 2 ? atol(argv[2]) : 20000000;
  long nalias = ntab / 10;

  ks_dict_fhd_t fh = {};
  fh.nsch = 1;
  fh.ntab = static_cast<uint32_t>(ntab + nalias);
  fh.ncol = static_cast<uint32_t>(ntab);
  ks_dict_cap_t cap;
  ks_dict_capacity(&fh, &cap);
  uint64_t bsz = ks_dict_block_size(&cap, 0);
  auto *base = static_cast<uint8_t *>(calloc(1, bsz));
  auto *hdr = reinterpret_cast<ks_dict_hdr_t *>(base + KS_DICT_LEAD_SZ);
  hdr->max_sch = cap.max_sch;
  hdr->max_tab = cap.max_tab;
  hdr->max_col = cap.max_col;
  hdr->max_seq = cap.max_seq;
  hdr->nsch = 1;
  hdr->ntab = fh.ntab;
  hdr->ncol = fh.ncol;
  ks_dict_t d;
  ks_dict_attach(base, &d);

  // Object numbers as a source hands them out: ascending with gaps; every tenth table is
  // followed by one partition alias.
  std::vector<int> tables, aliases, misses;
  uint32_t objn = 70000, i = 0;
  for (long t = 0; t < ntab; t++) {
    ks_dict_tab_t &r = d.tab[i++];
    r.objn = objn;
    r.ncol = 1;
    r.cidx = static_cast<uint32_t>(t);
    snprintf(r.name, sizeof r.name, "T%ld", t);
    tables.push_back(static_cast<int>(objn));
    misses.push_back(static_cast<int>(objn + 1));
    uint32_t owner = objn;
    objn += 3;
    if (t % 10 == 0) {
      ks_dict_tab_t &a = d.tab[i++];
      a.flag = KS_TAB_ALIAS;
      a.objn = objn;
      a.ncol = owner;
      aliases.push_back(static_cast<int>(objn));
      objn += 3;
    }
  }

  std::mt19937 rng(42);
  auto shuffled = [&](std::vector<int> v) {
    std::shuffle(v.begin(), v.end(), rng);
    return v;
  };
  std::vector<int> mix;
  for (size_t k = 0; k < tables.size(); k++) {
    mix.push_back(tables[k]);
    if (k % 4 == 0) mix.push_back(misses[k]);
    if (k < aliases.size()) mix.push_back(aliases[k]);
  }
  // A hot set: a few tables take most changes, as in an OLTP workload.
  std::vector<int> hot(tables.begin(), tables.begin() + std::min<size_t>(tables.size(), 32));

  printf("dictionary: %ld tables, %ld alias entries, %ld lookups per case\n", ntab, nalias, n);
  printf("%-34s %16s %10s\n", "case", "lookups/s", "found");
  struct Case {
    const char *name;
    std::vector<int> keys;
  } cases[] = {
      {"tables, random order", shuffled(tables)},
      {"alias entries, random order", shuffled(aliases)},
      {"not captured, random order", shuffled(misses)},
      {"mixed, random order", shuffled(mix)},
      {"32 hot tables", shuffled(hot)},
  };
  for (Case &c : cases) {
    long found = 0;
    double r = rate(&d, c.keys, n, &found);
    printf("%-34s %16.0f %9.1f%%\n", c.name, r, 100.0 * static_cast<double>(found) / static_cast<double>(n));
  }
  free(base);
  return 0;
}
