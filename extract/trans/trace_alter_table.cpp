// ALTER TABLE and RENAME tracing, and what the handlers share: reading values out of the
// system-table rows, and applying the column, key and segment rows of one table. The
// facts come from the rows the statement wrote, not from its text, so a statement with
// several parts (ADD (a, b), DROP (a, b), MODIFY with a constraint) is followed whole.
// A row that names a column the dictionary does not hold, or another captured table,
// cannot be placed: the handler fails and the caller puts the dictionary back.
#include <cstdlib>
#include <cstring>

#include "extract/trans/trace.h"
#include "lib/log/log.h"
#include "lib/ora/ora_number.h"
#include "lib/util.h"

bool ks_sysrow_value(const ks_sysrow_t &r, ks_img_t img, const char *name, const uint8_t **v, uint32_t *len) {
  if (img == KS_IMG_ANY)
    return ks_sysrow_value(r, KS_IMG_NEW, name, v, len) || ks_sysrow_value(r, KS_IMG_OLD, name, v, len);
  const bool old = img == KS_IMG_OLD;
  // Deletes carry their old image only, inserts their new one only.
  if ((old && r.opc == KS_OPC_INSERT) || (!old && r.opc == KS_OPC_DELETE)) return false;
  uint32_t n = ks_lcr_u32(r.rec, old ? offsetof(ks_lcr_rh_t, nold) : offsetof(ks_lcr_rh_t, nnew));
  uint32_t pos = old ? ks_lcr_u32(r.rec, offsetof(ks_lcr_rh_t, opos)) : KS_LCR_RH_SZ;
  if (old && pos == 0) pos = KS_LCR_RH_SZ;
  const size_t want = strlen(name) + 1;
  for (uint32_t i = 0; i < n && pos + KS_LCR_CH_SZ <= r.rlen; i++) {
    const uint32_t alen = ks_lcr_u32(r.rec, pos), nlen = ks_lcr_u32(r.rec, pos + 16),
                   dlen = ks_lcr_u32(r.rec, pos + 20);
    if (alen < KS_LCR_CH_SZ || alen > r.rlen - pos || uint64_t{KS_LCR_CH_SZ} + nlen + dlen > alen) return false;
    if (nlen == want && memcmp(r.rec + pos + KS_LCR_CH_SZ, name, want) == 0) {
      const bool null = (ks_lcr_u32(r.rec, pos + 4) & KS_CH_NULL) != 0;
      *v = r.rec + pos + KS_LCR_CH_SZ + nlen;
      *len = null ? 0 : dlen;
      return true;
    }
    pos += alen;
  }
  return false;
}

bool ks_sysrow_has(const ks_sysrow_t &r, ks_img_t img, const char *name) {
  const uint8_t *v;
  uint32_t len;
  return ks_sysrow_value(r, img, name, &v, &len);
}

uint64_t ks_sysrow_num(const ks_sysrow_t &r, ks_img_t img, const char *name) {
  const uint8_t *v = nullptr;
  uint32_t len = 0;
  return ks_sysrow_value(r, img, name, &v, &len) ? ks_ora_num_to_u8(v, len) : 0;
}

void ks_sysrow_name(const ks_sysrow_t &r, ks_img_t img, const char *name, char out[32]) {
  const uint8_t *v = nullptr;
  uint32_t len = 0;
  memset(out, 0, 32);
  if (ks_sysrow_value(r, img, name, &v, &len)) memcpy(out, v, len < 31 ? len : 31);
}

uint64_t ks_ora_num_to_u8(const uint8_t *num, uint32_t len) {
  if (len == 0 || (len == 1 && num[0] == 0x80)) return 0;
  uint64_t v = 0;
  if (len > KS_ORA_NUMBER_MAX || ks_ora_number_to_uint64(num, static_cast<int>(len), &v) != 0) return ~uint64_t{0};
  return v;
}

uint32_t ks_ora_num_to_u4(const uint8_t *num, uint32_t len) {
  return static_cast<uint32_t>(ks_ora_num_to_u8(num, len));
}

int ks_column_compare(const void *a, const void *b) {
  const auto *x = static_cast<const ks_dict_col_t *>(a);
  const auto *y = static_cast<const ks_dict_col_t *>(b);
  return x->scid < y->scid ? -1 : x->scid > y->scid ? 1 : 0;
}

int ks_dict_schema_index(const ks_dict_t *d, const char *owner) {
  for (uint32_t i = 0; i < d->hdr->nsch; i++)
    if (strncmp(d->sch[i].name, owner, KS_DICT_NAME_SZ) == 0) return static_cast<int>(i);
  return -1;
}

namespace {

// The live column of the table with that col#, or failing that any with it; null if none.
ks_dict_col_t *column_by_cid(ks_dict_t *d, const ks_dict_tab_t &t, uint32_t cid) {
  ks_dict_col_t *any = nullptr;
  for (uint32_t i = 0; i < t.ncol; i++) {
    ks_dict_col_t *c = &d->col[t.cidx + i];
    if (c->cid != cid) continue;
    if (!(c->flag & KS_COL_NOCAPTURE)) return c;
    if (any == nullptr) any = c;
  }
  return any;
}

ks_dict_col_t *column_by_name(ks_dict_t *d, const ks_dict_tab_t &t, const char *name) {
  for (uint32_t i = 0; i < t.ncol; i++)
    if (strncmp(d->col[t.cidx + i].name, name, KS_DICT_NAME_SZ) == 0) return &d->col[t.cidx + i];
  return nullptr;
}

// The column an update or delete of COL$ is about: by its old name, else its old col#.
ks_dict_col_t *column_of_row(ks_dict_t *d, const ks_dict_tab_t &t, const ks_sysrow_t &r) {
  char name[32];
  ks_sysrow_name(r, KS_IMG_OLD, "NAME", name);
  if (name[0] != '\0') return column_by_name(d, t, name);
  if (!ks_sysrow_has(r, KS_IMG_OLD, "COL#")) return nullptr;
  return column_by_cid(d, t, static_cast<uint32_t>(ks_sysrow_num(r, KS_IMG_OLD, "COL#")));
}

// Sets a column's definition from the values a COL$ image carries.
void column_from_row(ks_dict_col_t *c, const ks_sysrow_t &r, ks_img_t img) {
  if (ks_sysrow_has(r, img, "COL#")) c->cid = static_cast<uint32_t>(ks_sysrow_num(r, img, "COL#"));
  if (ks_sysrow_has(r, img, "SEGCOL#")) c->scid = static_cast<uint32_t>(ks_sysrow_num(r, img, "SEGCOL#"));
  if (ks_sysrow_has(r, img, "TYPE#")) c->ctyp = static_cast<uint32_t>(ks_sysrow_num(r, img, "TYPE#"));
  if (ks_sysrow_has(r, img, "LENGTH")) c->clen = static_cast<uint32_t>(ks_sysrow_num(r, img, "LENGTH"));
  if (ks_sysrow_has(r, img, "NULL$"))
    c->flag = ks_sysrow_num(r, img, "NULL$") != 0 ? c->flag | KS_COL_NOTNULL : c->flag & ~KS_COL_NOTNULL;
  if (ks_sysrow_has(r, img, "CHARSETFORM"))
    c->flag = ks_sysrow_num(r, img, "CHARSETFORM") == 2 ? c->flag | KS_COL_NCHAR : c->flag & ~KS_COL_NCHAR;
  char name[32];
  ks_sysrow_name(r, img, "NAME", name);
  if (name[0] != '\0') memcpy(c->name, name, sizeof name);
}

// A segment of table objn: added (or brought back) as an alias entry, or marked dropped.
int alias(ks_dict_t *d, uint32_t seg, uint32_t objn, bool drop, const char *what) {
  int i = ks_dict_find_objn(d, seg);
  if (i >= 0) {
    ks_dict_tab_t &a = d->tab[i];
    if (!(a.flag & KS_TAB_ALIAS)) return 0;  // never turn a table into a segment
    a.flag = drop ? a.flag | KS_TAB_NOCAPTURE : (a.flag & ~KS_TAB_NOCAPTURE);
    a.ncol = objn;
  } else if (!drop) {
    ks_dict_tab_t a = {};
    a.flag = KS_TAB_ALIAS;
    a.objn = seg;
    a.ncol = objn;
    if (ks_dict_insert_table(d, &a) < 0) {
      KS_ERROR("%s", what);
      return -1;
    }
  }
  d->hdr->flag |= KS_DICT_DIRTY;
  return 0;
}

bool is_delete(const ks_sysrow_t &r) { return r.opc == KS_OPC_DELETE; }
ks_img_t image_of(const ks_sysrow_t &r) { return is_delete(r) ? KS_IMG_OLD : KS_IMG_ANY; }

}  // namespace

void ks_trace_key_flags(ks_dict_t *d, ks_lcr_th_t *thdr, uint32_t ti) {
  const uint32_t objn = d->tab[ti].objn;
  auto mark = [&](uint32_t cid, uint32_t flag, bool clear) {
    ks_dict_tab_t &t = d->tab[ti];
    ks_dict_col_t *c = column_by_cid(d, t, cid);
    if (c == nullptr) return;
    c->flag = clear ? c->flag & ~flag : c->flag | flag;
    d->hdr->flag |= KS_DICT_DIRTY;
  };
  // Primary and unique constraints: CDEF$ names the constraint, CCOL$ its columns.
  ks_sysrows(thdr, "CDEF$", [&](const ks_sysrow_t &cd) {
    const ks_img_t img = image_of(cd);
    const uint64_t type = ks_sysrow_num(cd, img, "TYPE#");
    if (ks_sysrow_num(cd, img, "OBJ#") != objn || (type != 2 && type != 3)) return true;
    const uint64_t con = ks_sysrow_num(cd, img, "CON#");
    ks_sysrows(thdr, "CCOL$", [&](const ks_sysrow_t &cc) {
      if (is_delete(cc) == is_delete(cd) && ks_sysrow_num(cc, image_of(cc), "CON#") == con)
        mark(static_cast<uint32_t>(ks_sysrow_num(cc, image_of(cc), "COL#")), type == 2 ? KS_COL_PK : KS_COL_UK,
             is_delete(cd));
      return true;
    });
    return true;
  });
  // Unique indexes: IND$ with property bit 1, ICOL$ their columns.
  ks_sysrows(thdr, "IND$", [&](const ks_sysrow_t &ind) {
    const ks_img_t img = image_of(ind);
    if (ind.opc == KS_OPC_UPDATE || ks_sysrow_num(ind, img, "BO#") != objn ||
        !(ks_sysrow_num(ind, img, "PROPERTY") & 1))
      return true;
    const uint64_t iobj = ks_sysrow_num(ind, img, "OBJ#");
    ks_sysrows(thdr, "ICOL$", [&](const ks_sysrow_t &ic) {
      if (is_delete(ic) == is_delete(ind) && ks_sysrow_num(ic, image_of(ic), "OBJ#") == iobj)
        mark(static_cast<uint32_t>(ks_sysrow_num(ic, image_of(ic), "COL#")), KS_COL_UK, is_delete(ind));
      return true;
    });
    return true;
  });
}

int ks_trace_aliases(ks_dict_t *d, ks_lcr_th_t *thdr, uint32_t objn) {
  int rc = 0;
  auto each = [&](const char *table, const char *owner_col, const char *seg_col, uint64_t prop_mask, uint64_t prop,
                  const char *what) {
    ks_sysrows(thdr, table, [&](const ks_sysrow_t &r) {
      const ks_img_t img = image_of(r);
      if (r.opc == KS_OPC_UPDATE || ks_sysrow_num(r, img, owner_col) != objn) return true;
      if ((ks_sysrow_num(r, img, "PROPERTY") & prop_mask) != prop) return true;
      if (strcmp(table, "IND$") == 0 && ks_sysrow_num(r, img, "TYPE#") != 4) return true;
      if (alias(d, static_cast<uint32_t>(ks_sysrow_num(r, img, seg_col)), objn, is_delete(r), what) < 0) rc = -1;
      return rc == 0;
    });
  };
  each("TABPART$", "BO#", "OBJ#", 0, 0, "insert one partition to dictionary error.");
  each("TABCOMPART$", "BO#", "OBJ#", 0, 0, "insert one partition to dictionary error.");
  each("IND$", "BO#", "OBJ#", 0, 0, "insert one IOT top index to dictionary error.");
  each("TAB$", "BOBJ#", "OBJ#", 0x200, 0x200, "insert one IOT overflow table to dictionary error.");
  each("LOB$", "OBJ#", "IND#", 0, 0, "insert one LOB index to dictionary error.");
  // Sub-partitions name their composite partition, which must be one of this table's.
  ks_sysrows(thdr, "TABSUBPART$", [&](const ks_sysrow_t &r) {
    const ks_img_t img = image_of(r);
    int p = ks_dict_find_objn(d, static_cast<uint32_t>(ks_sysrow_num(r, img, "POBJ#")));
    if (r.opc == KS_OPC_UPDATE || p < 0 || !(d->tab[p].flag & KS_TAB_ALIAS) || d->tab[p].ncol != objn) return true;
    if (alias(d, static_cast<uint32_t>(ks_sysrow_num(r, img, "OBJ#")), objn, is_delete(r),
              "insert one sub-partition to dictionary error.") < 0)
      rc = -1;
    return rc == 0;
  });
  return rc;
}

namespace {

// Index of the captured table the DDL record names (nold), or -1.
int ddl_table(ks_dict_t *d, const uint8_t *ddl) {
  int i = ks_lookup_table_simple(d->tab, static_cast<int>(d->hdr->ntab),
                                 static_cast<int>(ks_lcr_u32(ddl, offsetof(ks_lcr_rh_t, nold))));
  return i;
}

// Applies the COL$ rows of the table at ti: inserts become columns (kept together and in
// segment order, moved to the end of the column area when they cannot grow in place),
// updates change the columns they name, deletes mark them dropped.
int apply_columns(ks_dict_t *d, ks_lcr_th_t *thdr, uint32_t ti) {
  ks_dict_hdr_t *h = d->hdr;
  const uint32_t objn = d->tab[ti].objn;
  int rc = 0;

  ks_sysrows(thdr, "COL$", [&](const ks_sysrow_t &r) {
    const uint64_t obj = ks_sysrow_num(r, image_of(r), "OBJ#");
    if (obj != objn) {
      int other = ks_lookup_table_simple(d->tab, static_cast<int>(h->ntab), static_cast<int>(obj));
      if (other >= 0) {
        KS_ERROR("column rows of table \"%s\" in a statement on \"%s\".", d->tab[other].name, d->tab[ti].name);
        rc = -1;
      }
      return rc == 0;
    }
    ks_dict_tab_t &t = d->tab[ti];
    if (r.opc == KS_OPC_INSERT) {
      const uint32_t cid = static_cast<uint32_t>(ks_sysrow_num(r, KS_IMG_NEW, "COL#"));
      if (ks_sysrow_num(r, KS_IMG_NEW, "SEGCOL#") == 0) return true;  // virtual: not in the stored row
      ks_dict_col_t *c = column_by_cid(d, t, cid);
      if (c != nullptr && !(c->flag & KS_COL_NOCAPTURE) && cid != 0) return true;  // traced already
      // The table's columns grow in place only when they are the last ones of the area.
      const bool at_end = t.cidx + t.ncol == h->ncol;
      const uint32_t need = at_end ? 1 : t.ncol + 1;
      if (h->ncol + need > h->max_col) {
        KS_ERROR("no space for columns information.");
        rc = -1;
        return false;
      }
      if (!at_end) {
        memcpy(&d->col[h->ncol], &d->col[t.cidx], sizeof(ks_dict_col_t) * t.ncol);
        t.cidx = h->ncol;
        h->ncol += t.ncol;
      }
      ks_dict_col_t nc = {};
      column_from_row(&nc, r, KS_IMG_NEW);
      d->col[h->ncol++] = nc;
      t.ncol++;
      if (nc.ctyp == KS_TYPE_CLOB || nc.ctyp == KS_TYPE_BLOB) t.flag |= KS_TAB_LOB;

    } else {
      ks_dict_col_t *c = column_of_row(d, t, r);
      if (c == nullptr) {
        char name[32];
        ks_sysrow_name(r, KS_IMG_OLD, "NAME", name);
        KS_ERROR("column \"%s\" (col# %llu) of table \"%s\" not found.", name,
                 static_cast<unsigned long long>(ks_sysrow_num(r, KS_IMG_OLD, "COL#")), t.name);
        rc = -1;
        return false;
      }
      if (r.opc == KS_OPC_DELETE) {
        c->flag |= KS_COL_NOCAPTURE;
      } else {
        column_from_row(c, r, KS_IMG_NEW);
        // A column taken out of use loses its col#.
        if (ks_sysrow_has(r, KS_IMG_NEW, "COL#") && c->cid == 0) c->flag |= KS_COL_NOCAPTURE;
      }
    }
    h->flag |= KS_DICT_DIRTY;
    return true;
  });
  if (rc == 0 && (h->flag & KS_DICT_DIRTY)) {
    ks_dict_tab_t &t = d->tab[ti];
    qsort(&d->col[t.cidx], t.ncol, sizeof(ks_dict_col_t), ks_column_compare);
  }
  return rc;
}

// Everything a statement on one table may have written: columns, keys, segments.
int alter_table(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl) {
  ks_dict_t *d = ex->d;
  int ti = ddl_table(d, ddl);
  if (ti < 0) return 0;
  if (apply_columns(d, thdr, static_cast<uint32_t>(ti)) < 0) return -1;
  ks_trace_key_flags(d, thdr, static_cast<uint32_t>(ti));
  return ks_trace_aliases(d, thdr, d->tab[ti].objn);
}

// The name part of the wpos-th word of the statement text.
void word_name(const uint8_t *ddl, int wpos, char name[32]) {
  char tok[64], ownr[32];
  ks_str_get_token(reinterpret_cast<const char *>(ddl) + KS_LCR_RH_SZ, wpos, tok, 63);
  ks_get_owner_object(tok, ownr, name, 1);
}

}  // namespace

int ks_trace_alter_table_add(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl) {
  return alter_table(ex, thdr, ddl);
}
int ks_trace_alter_table_drop(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl) {
  return alter_table(ex, thdr, ddl);
}
int ks_trace_alter_table_modify(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl) {
  return alter_table(ex, thdr, ddl);
}
int ks_trace_alter_table_set_unused(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl) {
  return alter_table(ex, thdr, ddl);
}
int ks_trace_alter_table_split_merge(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl) {
  return alter_table(ex, thdr, ddl);
}

int ks_trace_alter_table_rename(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl) {
  ks_dict_t *d = ex->d;
  int ti = ddl_table(d, ddl);
  if (ti < 0) return 0;
  if (apply_columns(d, thdr, static_cast<uint32_t>(ti)) < 0) return -1;
  ks_dict_tab_t &t = d->tab[ti];
  const char *text = reinterpret_cast<const char *>(ddl) + KS_LCR_RH_SZ;
  char w1[32], w5[32], name[32], to[32];
  ks_str_get_token(text, 1, w1, 31);
  ks_str_get_token(text, 5, w5, 31);
  ks_str_toupper(w1);
  ks_str_toupper(w5);
  if (strcmp(w1, "RENAME") == 0 || strcmp(w5, "TO") == 0) {
    word_name(ddl, strcmp(w1, "RENAME") == 0 ? 4 : 6, name);
    if (name[0] != '\0') memcpy(t.name, name, sizeof name);
  } else if (strcmp(w5, "COLUMN") == 0) {
    word_name(ddl, 6, name);
    word_name(ddl, 8, to);
    ks_dict_col_t *c = column_by_name(d, t, name);
    if (c != nullptr && to[0] != '\0') memcpy(c->name, to, sizeof to);
  } else {
    return 0;
  }
  d->hdr->flag |= KS_DICT_DIRTY;
  return 0;
}
