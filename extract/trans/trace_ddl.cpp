// DDL tracing at commit. A DDL transaction carries the statement (one DDL record) and
// the rows it wrote to the data dictionary tables; the statement's first words say which
// handler brings the loaded dictionary in step with those rows, and the transaction is
// then rewritten to the statement alone (its owner mapped) and a COMMIT.
// Invariants: the dictionary is changed with the block taken and a copy kept, so other
// processes never see a change half done and a statement whose rows cannot be placed
// leaves it as it was (logged with its text; the statement is still delivered). The file
// is not written here: it goes with the next checkpoint (ks_dict_checkpoint), so after
// a crash the dictionary on disk is the one the redo is read again from.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "extract/trans/trace.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

struct Words {
  char w1[32], w2[32], w3[64], w4[32];
};

void split_words(const char *text, Words *w) {
  ks_str_get_token(text, 1, w->w1, 31);
  ks_str_get_token(text, 2, w->w2, 31);
  ks_str_get_token(text, 3, w->w3, 63);
  ks_str_get_token(text, 4, w->w4, 31);
  ks_str_toupper(w->w1);
  ks_str_toupper(w->w2);
  ks_str_toupper(w->w3);
  ks_str_toupper(w->w4);
}

bool starts(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

// The object part of an owner-dot-name word.
const char *object_part(const char *w) {
  const char *dot = strchr(w, '.');
  return dot != nullptr ? dot + 1 : w;
}

// The schema record of a statement's owner, which must be one of the dictionary's.
int owner_schema(const ks_dict_t *d, const char *owner) {
  int ui = ks_dict_schema_index(d, owner);
  if (ui < 0) KS_ERROR("schema \"%s\" not found.", owner);
  return ui;
}

}  // namespace

int ks_trace_create_table(ks_extr_t *ex, ks_lcr_th_t *thdr, const char *owner) {
  ks_dict_t *d = ex->d;
  ks_dict_hdr_t *h = d->hdr;
  uint64_t objn = 0, cols = 0, prop = 0;
  bool found = false;
  ks_sysrows(thdr, "TAB$", [&](const ks_sysrow_t &r) {
    if (r.opc != KS_OPC_INSERT || (ks_sysrow_num(r, KS_IMG_NEW, "PROPERTY") & 0x200)) return true;
    objn = ks_sysrow_num(r, KS_IMG_NEW, "OBJ#");
    cols = ks_sysrow_num(r, KS_IMG_NEW, "COLS");
    prop = ks_sysrow_num(r, KS_IMG_NEW, "PROPERTY");
    found = true;
    return false;
  });
  if (!found) {
    KS_ERROR("\"TAB$\" not found.");
    return -1;
  }
  if ((prop & 0xC00000) || ks_dict_find_objn(d, static_cast<uint32_t>(objn)) >= 0) return 0;
  if (h->ncol + cols > h->max_col) {
    KS_ERROR("no space for columns information.");
    return -1;
  }
  int ui = owner_schema(d, owner);
  if (ui < 0) return -1;
  // A schema captured table by table takes new tables only through its configuration.
  if (!(d->sch[ui].flag & KS_SCH_ALL)) return 0;
  ks_dict_tab_t t = {};
  t.flag = (prop & 0x40) ? KS_TAB_IOT : 0;
  t.objn = static_cast<uint32_t>(objn);
  t.ui = static_cast<uint32_t>(ui);
  t.cidx = h->ncol;
  found = false;
  ks_sysrows(thdr, "OBJ$", [&](const ks_sysrow_t &r) {
    if (r.opc != KS_OPC_INSERT || ks_sysrow_num(r, KS_IMG_NEW, "OBJ#") != objn) return true;
    ks_sysrow_name(r, KS_IMG_NEW, "NAME", t.name);
    found = true;
    return false;
  });
  if (!found) {
    KS_ERROR("\"OBJ$\" not found.");
    return -1;
  }
  uint32_t n = 0;
  ks_sysrows(thdr, "COL$", [&](const ks_sysrow_t &r) {
    if (r.opc != KS_OPC_INSERT || ks_sysrow_num(r, KS_IMG_NEW, "OBJ#") != objn) return true;
    if (n >= cols) {
      n++;
      return true;
    }
    ks_dict_col_t c = {};
    c.cid = static_cast<uint32_t>(ks_sysrow_num(r, KS_IMG_NEW, "COL#"));
    c.scid = static_cast<uint32_t>(ks_sysrow_num(r, KS_IMG_NEW, "SEGCOL#"));
    c.ctyp = static_cast<uint32_t>(ks_sysrow_num(r, KS_IMG_NEW, "TYPE#"));
    c.clen = static_cast<uint32_t>(ks_sysrow_num(r, KS_IMG_NEW, "LENGTH"));
    if (ks_sysrow_num(r, KS_IMG_NEW, "NULL$") != 0) c.flag |= KS_COL_NOTNULL;
    if (ks_sysrow_num(r, KS_IMG_NEW, "CHARSETFORM") == 2) c.flag |= KS_COL_NCHAR;
    ks_sysrow_name(r, KS_IMG_NEW, "NAME", c.name);
    if (c.ctyp == KS_TYPE_CLOB || c.ctyp == KS_TYPE_BLOB) t.flag |= KS_TAB_LOB;
    d->col[h->ncol + n++] = c;
    return true;
  });
  if (n != cols) {
    KS_ERROR("column number (cols=%d, calc=%d) in table not correct.", static_cast<int>(cols), static_cast<int>(n));
    return -1;
  }
  qsort(&d->col[h->ncol], n, sizeof(ks_dict_col_t), ks_column_compare);
  t.ncol = n;
  if (ks_dict_insert_table(d, &t) < 0) {
    KS_ERROR("insert one table to dictionary error.");
    return -1;
  }
  h->ncol += n;
  int ti = ks_dict_find_objn(d, t.objn);
  ks_trace_key_flags(d, thdr, static_cast<uint32_t>(ti));
  if (ks_trace_aliases(d, thdr, t.objn) < 0) return -1;
  if (prop & 0x40) {
    h->flag |= KS_DICT_IOT;
    d->flag |= KS_DICT_IOT;
  }
  return 0;
}

namespace {

// Unique indexes created or dropped on their own: their columns gain or lose the flag.
int index_rows(ks_extr_t *ex, ks_lcr_th_t *thdr, uint32_t opc) {
  ks_dict_t *d = ex->d;
  ks_sysrows(thdr, "IND$", [&](const ks_sysrow_t &r) {
    if (r.opc != opc) return true;
    const ks_img_t img = opc == KS_OPC_DELETE ? KS_IMG_OLD : KS_IMG_NEW;
    int ti =
        ks_lookup_table_simple(d->tab, static_cast<int>(d->hdr->ntab), static_cast<int>(ks_sysrow_num(r, img, "BO#")));
    if (ti >= 0) ks_trace_key_flags(d, thdr, static_cast<uint32_t>(ti));
    return true;
  });
  return 0;
}

}  // namespace

int ks_trace_create_index(ks_extr_t *ex, ks_lcr_th_t *thdr) { return index_rows(ex, thdr, KS_OPC_INSERT); }
int ks_trace_drop_index(ks_extr_t *ex, ks_lcr_th_t *thdr) { return index_rows(ex, thdr, KS_OPC_DELETE); }

int ks_trace_create_sequence(ks_extr_t *ex, ks_lcr_th_t *thdr, const char *owner) {
  ks_dict_t *d = ex->d;
  ks_dict_hdr_t *h = d->hdr;
  uint64_t sobj = 0, oobj = 0;
  ks_dict_seq_t s = {};
  ks_sysrows(thdr, "SEQ$", [&](const ks_sysrow_t &r) {
    if (r.opc == KS_OPC_INSERT) sobj = ks_sysrow_num(r, KS_IMG_NEW, "OBJ#");
    return r.opc != KS_OPC_INSERT;
  });
  ks_sysrows(thdr, "OBJ$", [&](const ks_sysrow_t &r) {
    if (r.opc != KS_OPC_INSERT) return true;
    oobj = ks_sysrow_num(r, KS_IMG_NEW, "OBJ#");
    ks_sysrow_name(r, KS_IMG_NEW, "NAME", s.name);
    return false;
  });
  if (sobj == 0 || sobj != oobj) {
    KS_ERROR("obj# in SEQ$ not equal to obj# in OBJ$.");
    return -1;
  }
  int ui = owner_schema(d, owner);
  if (ui < 0) return -1;
  uint32_t at = h->nseq;
  while (at > 0 && d->seq[at - 1].objn > sobj) at--;
  if (at > 0 && d->seq[at - 1].objn == sobj) return 0;  // traced already
  if (h->nseq >= h->max_seq) {
    KS_ERROR("no space for new sequence in dictionary.");
    return -1;
  }
  s.ui = static_cast<uint32_t>(ui);
  s.objn = static_cast<uint32_t>(sobj);
  memmove(&d->seq[at + 1], &d->seq[at], sizeof(ks_dict_seq_t) * (h->nseq - at));
  d->seq[at] = s;
  h->nseq++;
  h->flag |= KS_DICT_DIRTY;
  return 0;
}

int ks_trace_drop_sequence(ks_extr_t *ex, ks_lcr_th_t *thdr) {
  ks_dict_t *d = ex->d;
  ks_dict_hdr_t *h = d->hdr;
  ks_sysrows(thdr, "SEQ$", [&](const ks_sysrow_t &r) {
    if (r.opc != KS_OPC_DELETE) return true;
    const uint64_t objn = ks_sysrow_num(r, KS_IMG_OLD, "OBJ#");
    for (uint32_t i = 0; i < h->nseq; i++) {
      if (d->seq[i].objn != objn) continue;
      memmove(&d->seq[i], &d->seq[i + 1], sizeof(ks_dict_seq_t) * (h->nseq - i - 1));
      h->nseq--;
      h->flag |= KS_DICT_DIRTY;
      break;
    }
    return true;
  });
  return 0;
}

int ks_trace_drop_table(ks_extr_t *ex, const uint8_t *ddl) {
  ks_dict_t *d = ex->d;
  const uint32_t objn = ks_lcr_u32(ddl, offsetof(ks_lcr_rh_t, nold));
  int ti = ks_dict_find_objn(d, objn);
  if (ti < 0 || (d->tab[ti].flag & KS_TAB_ALIAS)) return 0;
  for (uint32_t i = 0; i < d->hdr->ntab; i++)
    if (i == static_cast<uint32_t>(ti) || ((d->tab[i].flag & KS_TAB_ALIAS) && d->tab[i].ncol == objn))
      d->tab[i].flag |= KS_TAB_NOCAPTURE;
  d->hdr->flag |= KS_DICT_DIRTY;
  return 0;
}

namespace {

enum class Act {
  none,
  skip,
  create_table,
  create_index,
  create_sequence,
  drop_table,
  drop_index,
  drop_sequence,
  add,
  drop,
  modify,
  rename,
  set_unused,
  split_merge
};

Act classify(const Words &w) {
  if (strcmp(w.w2, "USER") == 0 && (!strcmp(w.w1, "CREATE") || !strcmp(w.w1, "DROP") || !strcmp(w.w1, "ALTER")))
    return Act::skip;
  if (strcmp(w.w1, "CREATE") == 0) {
    if (strcmp(w.w2, "TABLE") == 0) return Act::create_table;
    if (strcmp(w.w2, "UNIQUE") == 0 && strcmp(w.w3, "INDEX") == 0) return Act::create_index;
    if (strcmp(w.w2, "SEQUENCE") == 0) return Act::create_sequence;
  } else if (strcmp(w.w1, "DROP") == 0) {
    if (strcmp(w.w2, "TABLE") == 0) return Act::drop_table;
    if (strcmp(w.w2, "INDEX") == 0) return Act::drop_index;
    if (strcmp(w.w2, "SEQUENCE") == 0) return Act::drop_sequence;
  } else if (strcmp(w.w1, "ALTER") == 0 && strcmp(w.w2, "TABLE") == 0) {
    if (starts(w.w4, "ADD")) return Act::add;
    if (starts(w.w4, "DROP")) return Act::drop;
    if (starts(w.w4, "MODIFY")) return Act::modify;
    if (starts(w.w4, "RENAME")) return Act::rename;
    if (starts(w.w4, "SET")) return Act::set_unused;
    if (starts(w.w4, "SPLIT") || starts(w.w4, "MERGE")) return Act::split_merge;
  } else if (strcmp(w.w1, "RENAME") == 0) {
    return Act::rename;
  }
  return Act::none;
}

int run(Act a, ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl, const char *owner) {
  switch (a) {
    case Act::create_table:
      return ks_trace_create_table(ex, thdr, owner);
    case Act::create_index:
      return ks_trace_create_index(ex, thdr);
    case Act::create_sequence:
      return ks_trace_create_sequence(ex, thdr, owner);
    case Act::drop_table:
      return ks_trace_drop_table(ex, ddl);
    case Act::drop_index:
      return ks_trace_drop_index(ex, thdr);
    case Act::drop_sequence:
      return ks_trace_drop_sequence(ex, thdr);
    case Act::add:
      return ks_trace_alter_table_add(ex, thdr, ddl);
    case Act::drop:
      return ks_trace_alter_table_drop(ex, thdr, ddl);
    case Act::modify:
      return ks_trace_alter_table_modify(ex, thdr, ddl);
    case Act::rename:
      return ks_trace_alter_table_rename(ex, thdr, ddl);
    case Act::set_unused:
      return ks_trace_alter_table_set_unused(ex, thdr, ddl);
    case Act::split_merge:
      return ks_trace_alter_table_split_merge(ex, thdr, ddl);
    default:
      return 0;
  }
}

}  // namespace

int ks_trace_ddl(ks_extr_t *ex, ks_lcr_th_t *thdr, int tbsz) {
  auto *img = reinterpret_cast<uint8_t *>(thdr);
  if (ks_lcr_u32(img, offsetof(ks_lcr_th_t, flag)) & KS_TH_BYREF) {
    KS_ERROR("too many LCR in DDL transaction.");
    return -1;
  }
  const uint32_t tlen = ks_lcr_u32(img, 0), nlcr = ks_lcr_u32(img, 8);
  const uint8_t *ddl = nullptr;
  uint64_t pos = KS_LCR_TH_SZ;
  for (uint32_t i = 0; i < nlcr && pos + KS_LCR_RHS_SZ <= tlen; i++) {
    const uint32_t rlen = ks_lcr_u32(img, pos);
    if (rlen < KS_LCR_RHS_SZ || pos + rlen > tlen) break;
    if (rlen >= KS_LCR_RH_SZ && ks_lcr_u32(img, pos + 8) == KS_OPC_DDL && !(ks_lcr_u32(img, pos + 4) & KS_RH_SHORT)) {
      ddl = img + pos;
      break;
    }
    pos += rlen;
  }
  if (ddl == nullptr || ddl[offsetof(ks_lcr_rh_t, onam)] == '\0') return -9;
  // The record as collected, its text NUL-terminated whatever the redo gave.
  ks_lcr_rh_t rh = ks_lcr_load<ks_lcr_rh_t>(ddl);
  std::string text(reinterpret_cast<const char *>(ddl) + KS_LCR_RH_SZ, rh.rlen - KS_LCR_RH_SZ);
  text.resize(strnlen(text.c_str(), text.size()));
  // Handlers read the record's text with the token helpers: give them the terminated copy.
  std::string rec(reinterpret_cast<const char *>(ddl), KS_LCR_RH_SZ);
  rec += text;
  rec.push_back('\0');
  const auto *drec = reinterpret_cast<const uint8_t *>(rec.data());
  char owner[32] = {};
  memcpy(owner, rh.ownr, 31);

  Words w;
  split_words(text.c_str(), &w);
  const Act act = classify(w);
  ks_dict_t *d = ex->d;
  // Statements of schemas outside the dictionary, and user administration, are not ours.
  if (act == Act::skip || d == nullptr || d->hdr == nullptr) return -9;
  const int ui = ks_dict_schema_index(d, owner);
  if (ui < 0) return -9;
  if (act != Act::none) {
    ks_dict_change_t chg;
    if (ks_dict_begin_change(d, &chg) < 0) return -1;
    const int rc = run(act, ex, thdr, drec, owner);
    ks_dict_end_change(d, &chg, rc == 0);
    if (rc != 0) KS_ERROR("DDL not traced, the dictionary keeps the previous definitions: %s", text.c_str());
  }

  // Recycle bin: a drop that moves the table there is delivered as the plain drop; the
  // bin's own objects are not the target's business, except a purge of one, delivered
  // under the name the table had.
  const char *obj = object_part(w.w3);
  if (strcmp(w.w1, "DROP") == 0 && strcmp(w.w4, "AS") == 0) {
    size_t at = text.find(" AS ");
    if (at == std::string::npos) at = text.find(" as ");
    if (at != std::string::npos) text.resize(at);
  } else if (strcmp(w.w1, "DROP") == 0 && starts(obj, "\"BIN$")) {
    return -9;
  } else if (strcmp(w.w1, "PURGE") == 0 && starts(obj, "\"BIN$")) {
    size_t at = text.find("\"BIN$");
    if (at == std::string::npos) at = text.find("\"bin$");
    char onam[33] = {};
    memcpy(onam, rh.onam, 32);
    if (at != std::string::npos) text.replace(at, std::string::npos, std::string("\"") + onam + "\"");
  }

  if (d->sch[ui].flag & KS_SCH_MAP) {
    const char *mapped = d->map[d->sch[ui].mpi].map_schema;
    // Room for the mapped owner in place of the owner at each name it qualifies (each
    // one before a dot).
    std::string buf = text;
    buf.resize(text.size() + static_cast<size_t>(std::count(text.begin(), text.end(), '.')) * KS_DICT_NAME_SZ + 1);
    ks_str_replace_owner(buf.data(), buf.size(), owner, mapped);
    buf.resize(strlen(buf.c_str()));
    text.swap(buf);
    memset(rh.ownr, 0, sizeof rh.ownr);
    memcpy(rh.ownr, mapped, strnlen(mapped, sizeof rh.ownr - 1));
  }

  // The statement and a COMMIT, in place when they fit, else in the work buffer.
  rh.nnew = static_cast<uint32_t>(text.size() + 1);
  rh.rlen = KS_LCR_RH_SZ + rh.nnew;
  const uint64_t need = uint64_t{KS_LCR_TH_SZ} + rh.rlen + KS_LCR_RHS_SZ;
  uint8_t *out = img;
  if (need > static_cast<uint64_t>(tbsz)) {
    if (tbsz >= static_cast<int>(KS_TRANS_TBUF_SZ) || ex->t == nullptr || need > KS_TRANS_TBUF_SZ) {
      KS_ERROR("DDL text too long (%d)", static_cast<int>(text.size()));
      return -1;
    }
    out = ex->t->tbuf;
  }
  ks_lcr_th_t th = ks_lcr_load<ks_lcr_th_t>(img);
  ks_lcr_store(out + KS_LCR_TH_SZ, rh);
  memcpy(out + KS_LCR_TH_SZ + KS_LCR_RH_SZ, text.c_str(), rh.nnew);
  const ks_lcr_rhs_t commit = {KS_LCR_RHS_SZ, KS_RH_SHORT, KS_OPC_COMMIT, 0};
  ks_lcr_store(out + KS_LCR_TH_SZ + rh.rlen, commit);
  th.nlcr = 2;
  th.tlen = static_cast<uint32_t>(need);
  ks_lcr_store(out, th);
  return 0;
}
