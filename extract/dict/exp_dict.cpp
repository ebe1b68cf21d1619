// The dictionary export: the work buffer and its areas, the temporary files that take the
// table and column records when the areas overflow, the walk over the configured sets,
// sorting, exclusions, mappings and sequences, and writing the file.
//
// Invariants: a table record's columns are contiguous from its cidx (global index over
// flushed and in-memory columns); after the read-back every record is in memory and the
// table records are sorted by objn before anything looks them up. The dictionary file is
// written under a temporary name and renamed only when complete, so an interrupted export
// never leaves a file that a later start would take for a finished dictionary.
#include "extract/dict/exp_dict.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/log/log.h"
#include "lib/util.h"

const char x_sysobj_name[13][16] = {"TAB$", "OBJ$",     "IND$",        "ICOL$",       "COL$", "CDEF$", "CCOL$",
                                    "LOB$", "TABPART$", "TABSUBPART$", "TABCOMPART$", "SEQ$", ""};

ks_dict_val_t ks_dict_num(int64_t v) {
  ks_dict_val_t x = {};
  x.kind = KS_DQ_NUM;
  x.num = v;
  return x;
}

ks_dict_val_t ks_dict_name(const char *s) {
  ks_dict_val_t x = {};
  x.kind = KS_DQ_NAME;
  snprintf(x.str, sizeof x.str, "%s", s);
  return x;
}

namespace {

void copy_name(char *dst, const char *src) {
  memset(dst, 0, KS_DICT_NAME_SZ);
  memcpy(dst, src, strnlen(src, KS_DICT_NAME_SZ - 1));
}

int open_temp(ks_dict_exp_t *exp, int *fd, const char *path) {
  if (*fd >= 0) return 0;
  *fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (*fd < 0) {
    KS_ERROR("open %s: %s", path, strerror(errno));
    return -1;
  }
  (void)exp;
  return 0;
}

bool write_all(int fd, const void *p, uint64_t n, uint64_t ofs) {
  if (n == 0) return true;
  ssize_t w = ks_write_data(fd, p, n, static_cast<off_t>(ofs));
  return w >= 0 && static_cast<uint64_t>(w) == n;
}

bool read_all(int fd, void *p, uint64_t n, uint64_t ofs) {
  if (n == 0) return true;
  ssize_t r = ks_read_data(fd, p, n, static_cast<off_t>(ofs));
  return r >= 0 && static_cast<uint64_t>(r) == n;
}

int flush_tables(ks_dict_exp_t *exp, const char *err) {
  if (exp->itab == 0) return 0;
  if (open_temp(exp, &exp->tfd, exp->tpath) < 0) return -1;
  uint64_t n = uint64_t{sizeof(ks_dict_tab_t)} * exp->itab;
  if (!write_all(exp->tfd, exp->tab, n, exp->tofs)) {
    KS_ERROR("%s", err);
    return -1;
  }
  exp->tofs += n;
  exp->ntab += exp->itab;
  exp->itab = 0;
  return 0;
}

int flush_columns(ks_dict_exp_t *exp, const char *err) {
  if (exp->icol == 0) return 0;
  if (open_temp(exp, &exp->cfd, exp->cpath) < 0) return -1;
  uint64_t n = uint64_t{sizeof(ks_dict_col_t)} * exp->icol;
  if (!write_all(exp->cfd, exp->col, n, exp->cofs)) {
    KS_ERROR("%s", err);
    return -1;
  }
  exp->cofs += n;
  exp->ncol += exp->icol;
  exp->icol = 0;
  return 0;
}

// Lay the areas over the buffer: the table area right after the first 8192 bytes, the
// column area after max_tab tables, the fetch buffer at the end.
void cut_buffer(ks_dict_exp_t *exp) {
  exp->tab = reinterpret_cast<ks_dict_tab_t *>(exp->base + KS_DICT_TAB_OFS);
  exp->col = reinterpret_cast<ks_dict_col_t *>(exp->base + ks_dict_col_ofs(exp->max_tab));
  exp->rbuf = exp->base + exp->bsz - KS_DICT_FETCH_SZ;
  exp->rsz = KS_DICT_FETCH_SZ;
  exp->q->buf = exp->rbuf;
  exp->q->bsz = exp->rsz;
}

// Bring every table and column record into memory, tables first, columns right after.
int read_back(ks_dict_exp_t *exp) {
  if (exp->tfd < 0 && exp->cfd < 0) {
    exp->ntab += exp->itab;
    exp->ncol += exp->icol;
    exp->itab = exp->icol = 0;
    // Columns sit after max_tab table slots; close the gap so they follow the tables.
    auto *dst = reinterpret_cast<ks_dict_col_t *>(exp->base + ks_dict_col_ofs(exp->ntab));
    if (dst != exp->col) memmove(dst, exp->col, size_t{sizeof(ks_dict_col_t)} * exp->ncol);
    exp->col = dst;
    return 0;
  }
  if (flush_tables(exp, "write table temporary data error.") < 0) return -1;
  if (flush_columns(exp, "write column temporary data error.") < 0) return -1;
  // The fetch buffer stays at the end: primary keys and LOBs are still queried.
  uint64_t need = ks_dict_map_ofs(exp->ntab, exp->ncol) + KS_DICT_FETCH_SZ;
  if (need > exp->bsz) {
    void *nb = need <= SIZE_MAX ? realloc(exp->base, static_cast<size_t>(need)) : nullptr;
    if (nb == nullptr) {
      KS_ERROR("reallocate memory error: %s", strerror(errno));
      return -1;
    }
    exp->base = static_cast<uint8_t *>(nb);
    exp->bsz = static_cast<size_t>(need);
  }
  exp->tab = reinterpret_cast<ks_dict_tab_t *>(exp->base + KS_DICT_TAB_OFS);
  exp->col = reinterpret_cast<ks_dict_col_t *>(exp->base + ks_dict_col_ofs(exp->ntab));
  exp->rbuf = exp->base + exp->bsz - KS_DICT_FETCH_SZ;
  exp->q->buf = exp->rbuf;
  if (!read_all(exp->tfd, exp->tab, uint64_t{sizeof(ks_dict_tab_t)} * exp->ntab, 0)) {
    KS_ERROR("read table temporary data error.");
    return -1;
  }
  if (!read_all(exp->cfd, exp->col, uint64_t{sizeof(ks_dict_col_t)} * exp->ncol, 0)) {
    KS_ERROR("read column temporary data error.");
    return -1;
  }
  return 0;
}

// Exclude items: every record of the named table (a table configured twice has two),
// or every table of the schema for an item whose table is "*".
void apply_exclusions(ks_dict_exp_t *exp, const ks_dict_sets_t *sets) {
  ks_dict_sch_t *sch = ks_dict_exp_sch(exp);
  for (const ks_dict_item_t &it : sets->exc) {
    for (uint32_t i = 0; i < exp->ntab; i++) {
      ks_dict_tab_t *t = &exp->tab[i];
      if (t->flag & KS_TAB_ALIAS) continue;
      if (t->ui >= exp->nsch || strcmp(sch[t->ui].name, it.schema) != 0) continue;
      if ((it.flag & KS_DICT_ITEM_ALL) || strcmp(t->name, it.table) == 0) t->flag |= KS_TAB_NOCAPTURE;
    }
  }
}

// A captured index-organised table with more key columns than capture decodes would lose
// its every change: the export refuses it, naming it, so that it is excluded or the
// capture set changed before any change is read. 0 / -1.
int check_iot_keys(ks_dict_exp_t *exp) {
  const ks_dict_sch_t *sch = ks_dict_exp_sch(exp);
  for (uint32_t i = 0; i < exp->ntab; i++) {
    const ks_dict_tab_t *t = &exp->tab[i];
    if ((t->flag & (KS_TAB_ALIAS | KS_TAB_NOCAPTURE)) || !(t->flag & KS_TAB_IOT)) continue;
    int nk = 0;
    for (uint32_t c = 0; c < t->ncol && t->cidx + c < exp->ncol; c++)
      if (exp->col[t->cidx + c].flag & KS_COL_PK) nk++;
    if (nk > KS_DICT_IOT_MAX_KEYS) {
      KS_ERROR("index-organised table \"%s\".\"%s\" has %d primary-key columns; at most %d can be captured.",
               t->ui < exp->nsch ? sch[t->ui].name : "?", t->name, nk, KS_DICT_IOT_MAX_KEYS);
      return -1;
    }
  }
  return 0;
}

int build_maps(ks_dict_exp_t *exp, const ks_dict_sets_t *sets, std::vector<ks_dict_map_t> *maps) {
  ks_dict_sch_t *sch = ks_dict_exp_sch(exp);
  for (const ks_dict_item_t &it : sets->map) {
    ks_dict_map_t m = {};
    uint32_t idx = static_cast<uint32_t>(maps->size());
    bool found = false;
    if (it.table[0] == '*') {
      for (uint32_t s = 0; s < exp->nsch && !found; s++) {
        if (strcmp(sch[s].name, it.schema) != 0) continue;
        sch[s].flag |= KS_SCH_MAP;
        sch[s].mpi = idx;
        found = true;
      }
      if (!found) continue;
      copy_name(m.schema, it.schema);
      copy_name(m.map_schema, it.map_schema);
    } else {
      for (uint32_t i = 0; i < exp->ntab; i++) {
        ks_dict_tab_t *t = &exp->tab[i];
        if ((t->flag & KS_TAB_ALIAS) || strcmp(t->name, it.table) != 0) continue;
        if (t->ui >= exp->nsch || strcmp(sch[t->ui].name, it.schema) != 0) continue;
        t->flag |= KS_TAB_MAP;
        t->mpi = idx;
        found = true;
      }
      if (!found) continue;
      copy_name(m.schema, it.schema);
      copy_name(m.map_schema, it.map_schema);
      copy_name(m.table, it.table);
      copy_name(m.map_table, it.map_table);
    }
    maps->push_back(m);
  }
  return 0;
}

void cleanup(ks_dict_exp_t *exp) {
  if (exp->tfd >= 0) {
    close(exp->tfd);
    exp->tfd = -1;
  }
  if (exp->cfd >= 0) {
    close(exp->cfd);
    exp->cfd = -1;
  }
  unlink(exp->tpath);
  unlink(exp->cpath);
  if (exp->fd >= 0) {
    close(exp->fd);
    exp->fd = -1;
  }
  free(exp->base);
  exp->base = nullptr;
}

int export_all(ks_dict_exp_t *exp, const ks_dict_sets_t *sets, const char *path, const char *tmp) {
  // System objects, then the include list in order.
  if (ks_export_sys_objects(exp) < 0) return -1;
  for (const ks_dict_item_t &it : sets->inc) {
    int rc =
        (it.flag & KS_DICT_ITEM_ALL) ? ks_export_schema(exp, it.schema) : ks_export_table(exp, it.schema, it.table);
    if (rc < 0) return -1;
  }
  if (read_back(exp) < 0) return -1;
  qsort(exp->tab, exp->ntab, sizeof(ks_dict_tab_t), ks_table_compare);

  ks_dict_sch_t *sch = ks_dict_exp_sch(exp);
  for (uint32_t s = 0; s < exp->nsch; s++) {
    if (!(sch[s].flag & KS_SCH_ALL)) continue;
    if (ks_export_pk_uk(exp, sch[s].name) < 0) {
      KS_ERROR("export PK&UK error.");
      return -1;
    }
  }
  if (ks_export_secure_lob(exp) < 0) {
    KS_ERROR("export SecureFile LOB error.");
    return -1;
  }
  apply_exclusions(exp, sets);
  if (check_iot_keys(exp) < 0) return -1;

  exp->fd = open(tmp, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (exp->fd < 0) {
    KS_ERROR("open %s: %s", tmp, strerror(errno));
    return -1;
  }
  uint64_t tabcol = ks_dict_map_ofs(exp->ntab, exp->ncol);
  std::vector<ks_dict_map_t> maps;
  build_maps(exp, sets, &maps);
  exp->nmap = static_cast<uint32_t>(maps.size());
  // Header area, tables and columns are contiguous in the buffer after the read-back.
  if (!write_all(exp->fd, exp->base, ks_dict_col_ofs(exp->ntab), 0)) {
    KS_ERROR("write table dictionary data error.");
    return -1;
  }
  if (!write_all(exp->fd, exp->col, uint64_t{sizeof(ks_dict_col_t)} * exp->ncol, ks_dict_col_ofs(exp->ntab))) {
    KS_ERROR("write column dictionary data error.");
    return -1;
  }
  if (!write_all(exp->fd, maps.data(), uint64_t{sizeof(ks_dict_map_t)} * exp->nmap, tabcol)) {
    KS_ERROR("write mapping dictionary data error.");
    return -1;
  }

  // Sequences reuse the buffer after the first 8192 bytes: tables and columns are written.
  exp->nseq = 0;
  for (uint32_t s = 0; s < exp->nsch; s++) {
    if (!(sch[s].flag & KS_SCH_ALL)) continue;
    if (ks_export_sequence(exp, s, sch[s].name) < 0) {
      KS_ERROR("export sequence error.");
      return -1;
    }
  }
  auto *seq = reinterpret_cast<ks_dict_seq_t *>(exp->base + KS_DICT_TAB_OFS);
  qsort(seq, exp->nseq, sizeof(ks_dict_seq_t), ks_sequence_compare);
  if (!write_all(exp->fd, seq, uint64_t{sizeof(ks_dict_seq_t)} * exp->nseq,
                 tabcol + uint64_t{sizeof(ks_dict_map_t)} * exp->nmap)) {
    KS_ERROR("write sequence dictionary data error.");
    return -1;
  }

  ks_dict_fhd_t fh = {};
  fh.flag = exp->flag & KS_DICT_IOT;
  fh.nsch = exp->nsch;
  fh.ntab = exp->ntab;
  fh.ncol = exp->ncol;
  fh.nmap = exp->nmap;
  fh.nseq = exp->nseq;
  fh.seqn = exp->seqn;
  if (!write_all(exp->fd, &fh, sizeof fh, 0) || fsync(exp->fd) != 0) {
    KS_ERROR("write dictionary header data error.");
    return -1;
  }
  int rc = close(exp->fd);
  exp->fd = -1;
  if (rc != 0 || rename(tmp, path) != 0) {
    KS_ERROR("write dictionary header data error.");
    KS_ERROR("rename %s: %s", tmp, strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

ks_dict_tab_t *ks_dict_exp_add_table(ks_dict_exp_t *exp) {
  if (exp->itab >= exp->max_tab && flush_tables(exp, "write temporary data error.") < 0) return nullptr;
  ks_dict_tab_t *t = &exp->tab[exp->itab++];
  memset(t, 0, sizeof *t);
  return t;
}

ks_dict_col_t *ks_dict_exp_add_column(ks_dict_exp_t *exp) {
  if (exp->icol >= exp->max_col && flush_columns(exp, "write temporary data error.") < 0) return nullptr;
  ks_dict_col_t *c = &exp->col[exp->icol++];
  memset(c, 0, sizeof *c);
  return c;
}

int ks_dict_exp_room_columns(ks_dict_exp_t *exp, uint32_t n) {
  if (uint64_t{exp->icol} + n <= exp->max_col) return 0;
  return flush_columns(exp, "write temporary data error.");
}

int ks_dict_exp_find_schema(ks_dict_exp_t *exp, const char *name) {
  ks_dict_sch_t *sch = ks_dict_exp_sch(exp);
  for (uint32_t i = 0; i < exp->nsch; i++)
    if (strncmp(sch[i].name, name, KS_DICT_NAME_SZ - 1) == 0) return static_cast<int>(i);
  return -1;
}

int ks_dict_exp_add_schema(ks_dict_exp_t *exp, const char *name, uint32_t flag) {
  if (exp->nsch + 1 >= exp->max_sch) {
    KS_ERROR("too many schema configured.");
    return -1;
  }
  ks_dict_sch_t *s = &ks_dict_exp_sch(exp)[exp->nsch];
  memset(s, 0, sizeof *s);
  s->flag = flag;
  copy_name(s->name, name);
  return static_cast<int>(exp->nsch++);
}

void ks_dict_exp_fill_column(ks_dict_col_t *c, const ks_dict_val_t *row) {
  c->cid = static_cast<uint32_t>(row[0].num);
  c->scid = static_cast<uint32_t>(row[1].num);
  c->ctyp = static_cast<uint32_t>(row[2].num);
  c->clen = static_cast<uint32_t>(row[3].num);
  if (row[4].num == 2) c->flag |= KS_COL_NCHAR;
  copy_name(c->name, row[5].str);
  if (row[6].num > 0) c->flag |= KS_COL_DEFAULT;
  if (row[7].num > 0) c->flag |= KS_COL_NOTNULL;
  if (row[8].num & 0x8000) c->flag |= KS_COL_NOCAPTURE;
}

int ks_dict_exp_find_cid(ks_dict_exp_t *exp, const ks_dict_tab_t *t, uint32_t cid) {
  if (uint64_t{t->cidx} + t->ncol > exp->ncol) return -1;
  for (uint32_t i = 0; i < t->ncol; i++)
    if (exp->col[t->cidx + i].cid == cid) return static_cast<int>(t->cidx + i);
  return -1;
}

int ks_dict_exp_run_raw(ks_dict_exp_t *exp, const char *sql, std::initializer_list<ks_dict_val_t> binds,
                        std::initializer_list<int> kinds, const char *bind_err, ks_dict_row_fn fn, void *ctx) {
  int rc = exp->q->run(sql, binds.begin(), static_cast<int>(binds.size()), kinds.begin(),
                       static_cast<int>(kinds.size()), fn, ctx);
  if (rc >= 0) return 0;
  switch (rc) {
    case KS_DQ_EPREPARE:
      KS_ERROR("prepare statement error.\n%s", exp->q->message());
      break;
    case KS_DQ_EDEFINE:
      KS_ERROR("define data output error.\n%s", exp->q->message());
      break;
    case KS_DQ_EBIND:
      KS_ERROR("%s\n%s", bind_err, exp->q->message());
      break;
    case KS_DQ_EEXECUTE:
      KS_ERROR("execute statement error.\n%s", exp->q->message());
      break;
    case KS_DQ_EFETCH:
      KS_ERROR("fetch data error.\n%s", exp->q->message());
      break;
    default:
      break;
  }
  return -1;
}

int ks_table_compare(const void *a, const void *b) {
  uint32_t x = static_cast<const ks_dict_tab_t *>(a)->objn, y = static_cast<const ks_dict_tab_t *>(b)->objn;
  return (x > y) - (x < y);
}

int ks_sequence_compare(const void *a, const void *b) {
  uint32_t x = static_cast<const ks_dict_seq_t *>(a)->objn, y = static_cast<const ks_dict_seq_t *>(b)->objn;
  return (x > y) - (x < y);
}

int ks_export_dict_run(ks_dict_query *q, const ks_dict_sets_t *sets, const char *path) {
  // Exported once per component: an existing file is the dictionary, kept current by DDL.
  if (access(path, F_OK) == 0) return 0;
  ks_dict_exp_t exp;
  memset(&exp, 0, sizeof exp);
  exp.fd = exp.tfd = exp.cfd = -1;
  exp.q = q;
  exp.max_sch = KS_DICT_MAX_SCH;
  exp.max_tab = KS_DICT_EXP_MAX_TAB;
  exp.max_col = KS_DICT_EXP_MAX_COL;
  snprintf(exp.tpath, sizeof exp.tpath, "%stmp/%d_tab.dict", ks_get_home_dir(), static_cast<int>(getpid()));
  snprintf(exp.cpath, sizeof exp.cpath, "%stmp/%d_col.dict", ks_get_home_dir(), static_cast<int>(getpid()));
  exp.base = static_cast<uint8_t *>(calloc(1, KS_DICT_WORK_SZ));
  if (exp.base == nullptr) {
    KS_ERROR("allocate memory error.\nmalloc(): %s", strerror(errno));
    return -1;
  }
  exp.bsz = KS_DICT_WORK_SZ;
  cut_buffer(&exp);
  char tmp[600];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  int rc = export_all(&exp, sets, path, tmp);
  cleanup(&exp);
  q->buf = nullptr;
  q->bsz = 0;
  if (rc < 0) unlink(tmp);
  return rc;
}
