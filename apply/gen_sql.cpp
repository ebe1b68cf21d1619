// Statement texts built from the LCR being replayed: INSERT, UPDATE, DELETE, LOB select
// and quick multi-insert. Invariants: equal LCR shapes (table, columns in order, NULL
// pattern of the key columns) give byte-identical texts, because the array engine reuses
// a prepared statement only while the text stays the same; placeholders are numbered in
// bind order (scalar new columns, CLOB/BLOB, LONG, non-NULL keys, returned ROWID);
// identifiers are written double-quoted exactly as the LCR holds them and values never
// appear in a text. A name holding a double quote or a text longer than the 64 KiB
// scratch is refused, never cut.
#include <cstdio>

#include "apply/apply.h"
#include "lib/log/log.h"

ks_lcr_cols_t x_cols;

int ks_lcr_parse(const uint8_t *rhdr, ks_lcr_cols_t *lc) {
  lc->rlen = ks_rh_rlen(rhdr);
  lc->opc = ks_rh_opc(rhdr);
  lc->nnew = ks_rh_nnew(rhdr);
  lc->nold = ks_rh_nold(rhdr);
  lc->opos = ks_rh_opos(rhdr);
  if (lc->rlen < KS_LCR_RH_SZ) return -1;
  // Entries that do not fill the record as the counts say are damage, not a shorter row.
  uint32_t at = 0;
  const char *why = "";
  if (ks_trail_check_row(rhdr, lc->rlen, &at, &why) != 0) return -1;
  bool has_new = lc->opc == KS_OPC_INSERT || lc->opc == KS_OPC_UPDATE || lc->opc == KS_OPC_LOB_SELECT;
  bool has_old = lc->opc == KS_OPC_UPDATE || lc->opc == KS_OPC_DELETE || lc->opc == KS_OPC_LOB_SELECT;
  if (!has_new) lc->nnew = lc->opc == KS_OPC_QMI ? lc->nnew : 0;
  if (!has_old && lc->opc != KS_OPC_QMI) lc->nold = 0;
  if ((has_new && lc->nnew > KS_MAX_COLS) || lc->nold > KS_MAX_COLS) return -1;
  if (lc->opc == KS_OPC_QMI) {
    if (ks_lcr_read_cols(rhdr, lc->rlen, KS_LCR_RH_SZ, lc->nold, lc->oldc) < 0) return -1;
    for (uint32_t i = 0; i < lc->nold; i++)
      if (lc->oldc[i].dlen != 0) return -1;
    return 0;
  }
  if (has_new && ks_lcr_read_cols(rhdr, lc->rlen, KS_LCR_RH_SZ, lc->nnew, lc->newc) < 0) return -1;
  if (has_old) {
    uint32_t opos = lc->opc == KS_OPC_DELETE && lc->opos == 0 ? KS_LCR_RH_SZ : lc->opos;
    if (lc->nold > 0 && opos < KS_LCR_RH_SZ) return -1;
    if (ks_lcr_read_cols(rhdr, lc->rlen, opos, lc->nold, lc->oldc) < 0) return -1;
  }
  return 0;
}

namespace {

// Appends into the caller's 64 KiB buffer; remembers an overflow instead of cutting.
struct SqlOut {
  char *buf;
  size_t len = 0;
  bool bad = false;
  explicit SqlOut(char *b) : buf(b) { buf[0] = '\0'; }
  void add(const char *s, size_t n) {
    if (bad || len + n >= KS_SQLTXT_SIZE) {
      bad = true;
      return;
    }
    std::memcpy(buf + len, s, n);
    len += n;
  }
  void add(const char *s) { add(s, std::strlen(s)); }
  void ident(const char *name) {
    if (name[0] == '\0' || std::strchr(name, '"') != nullptr) {
      bad = true;
      return;
    }
    add("\"", 1);
    add(name);
    add("\"", 1);
  }
  void num(int n) {
    char t[16];
    int k = std::snprintf(t, sizeof t, "%d", n);
    add(t, static_cast<size_t>(k));
  }
  // Turns the last character (a comma) into s.
  void replace_last(const char *s) {
    if (len > 0) len--;
    add(s);
  }
  int finish(const char *what) {
    if (bad) {
      buf[0] = '\0';
      KS_ERROR("cannot build %s statement: a name holds a double quote or is empty, or the text exceeds %d bytes.",
               what, KS_SQLTXT_SIZE - 1);
      return -1;
    }
    buf[len] = '\0';
    return static_cast<int>(len);
  }
};

int64_t lob_slot(uint32_t ctyp) { return ctyp == KS_TYP_CLOB ? 8000 : 4000; }
// A scalar's slot is its declared length; an empty declared length still takes a byte.
int64_t scalar_slot(uint32_t clen) { return clen == 0 ? 1 : clen; }

void owner_table(SqlOut &o, const uint8_t *rhdr) {
  char ownr[32], onam[32];
  ks_rh_name(rhdr, KS_RH_OWNR_OFS, ownr);
  ks_rh_name(rhdr, KS_RH_ONAM_OFS, onam);
  o.ident(ownr);
  o.add(".", 1);
  o.ident(onam);
}

// " and "K"=:n" / " and "K" is null" for every key column; row_len counts every key.
void key_predicates(SqlOut &o, const ks_lcr_cols_t &lc, int *pno, int64_t *row_len) {
  for (uint32_t i = 0; i < lc.nold; i++) {
    const ks_col_view &c = lc.oldc[i];
    o.add(" and ");
    o.ident(c.name);
    if (c.flag & KS_CH_NULL) {
      o.add(" is null");
    } else {
      o.add("=:");
      o.num(++*pno);
    }
    *row_len += scalar_slot(c.clen);
  }
}

// The new-image columns in bind order with their slot sizes: scalars, then CLOB/BLOB,
// then the LONG (a table has at most one; a second one could not be bound).
template <typename Fn>
void for_each_new_bind(const ks_lcr_cols_t &lc, Fn &&fn) {
  for (uint32_t i = 0; i < lc.nnew; i++)
    if (ks_ct_is_scalar(lc.newc[i].ctyp)) fn(lc.newc[i], scalar_slot(lc.newc[i].clen));
  for (uint32_t i = 0; i < lc.nnew; i++)
    if (ks_ct_is_lob(lc.newc[i].ctyp)) fn(lc.newc[i], lob_slot(lc.newc[i].ctyp));
  for (uint32_t i = 0; i < lc.nnew; i++)
    if (ks_ct_is_long(lc.newc[i].ctyp)) {
      fn(lc.newc[i], int64_t{4000});
      break;
    }
}

// ":1,:2,...,:n)" after an opening "values (".
void placeholders(SqlOut &o, int n) {
  for (int i = 1; i <= n; i++) {
    o.add(":");
    o.num(i);
    o.add(",");
  }
  o.replace_last(")");
}

int parse_or_fail(const uint8_t *rhdr, char *sqltxt) {
  if (ks_lcr_parse(rhdr, &x_cols) == 0) return 0;
  sqltxt[0] = '\0';
  KS_ERROR("malformed LCR (opcode %u, length %u): column entries do not fit the record.", ks_rh_opc(rhdr),
           ks_rh_rlen(rhdr));
  return -1;
}

}  // namespace

int ks_make_insert_sql(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len) {
  *ncol = 0;
  *row_len = 0;
  if (ks_rh_nnew(rhdr) == 0) {
    sqltxt[0] = '\0';
    return 0;
  }
  if (parse_or_fail(rhdr, sqltxt) < 0) return -1;
  SqlOut o(sqltxt);
  o.add("insert into ");
  owner_table(o, rhdr);
  o.add(" (");
  int n = 0;
  for_each_new_bind(x_cols, [&](const ks_col_view &c, int64_t slot) {
    o.ident(c.name);
    o.add(",");
    *row_len += slot;
    n++;
  });
  o.replace_last(") values (");
  placeholders(o, n);
  *ncol = n;
  return o.finish("insert");
}

int ks_make_update_sql(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len) {
  *ncol = 0;
  *row_len = 0;
  if (ks_rh_nnew(rhdr) == 0) {
    sqltxt[0] = '\0';
    return 0;
  }
  if (parse_or_fail(rhdr, sqltxt) < 0) return -1;
  const ks_lcr_cols_t &lc = x_cols;
  SqlOut o(sqltxt);
  o.add("update ");
  owner_table(o, rhdr);
  o.add(" set ");
  int pno = 0;
  auto set_col = [&](const ks_col_view &c, int64_t slot) {
    o.ident(c.name);
    o.add("=:");
    o.num(++pno);
    o.add(",");
    *row_len += slot;
  };
  for_each_new_bind(lc, set_col);
  o.replace_last(" where 1=1");
  key_predicates(o, lc, &pno, row_len);
  o.add(" and rownum<2 returning rowid into :");
  o.num(++pno);
  *row_len += 24;
  *ncol = pno;
  return o.finish("update");
}

int ks_make_delete_sql(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len) {
  *ncol = 0;
  *row_len = 0;
  if (ks_rh_nold(rhdr) == 0) {
    sqltxt[0] = '\0';
    return 0;
  }
  if (parse_or_fail(rhdr, sqltxt) < 0) return -1;
  SqlOut o(sqltxt);
  o.add("delete from ");
  owner_table(o, rhdr);
  o.add(" where 1=1");
  int pno = 0;
  key_predicates(o, x_cols, &pno, row_len);
  o.add(" and rownum<2 returning rowid into :");
  o.num(++pno);
  *row_len += 24;
  *ncol = pno;
  return o.finish("delete");
}

int ks_make_lob_select_sql(const uint8_t *rhdr, char *sqltxt, int *ncol) {
  *ncol = 0;
  if (ks_rh_nnew(rhdr) == 0) {
    sqltxt[0] = '\0';
    return -1;
  }
  if (parse_or_fail(rhdr, sqltxt) < 0) return -1;
  SqlOut o(sqltxt);
  o.add("select ");
  o.ident(x_cols.newc[0].name);
  o.add(" from ");
  owner_table(o, rhdr);
  o.add(" where 1=1");
  int pno = 0;
  int64_t unused = 0;
  key_predicates(o, x_cols, &pno, &unused);
  o.add(" for update");
  *ncol = pno;
  return o.finish("LOB select");
}

int ks_make_qmi_sql(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len) {
  *ncol = 0;
  *row_len = 0;
  if (ks_rh_nnew(rhdr) == 0 || ks_rh_nold(rhdr) == 0) {
    sqltxt[0] = '\0';
    return 0;
  }
  if (parse_or_fail(rhdr, sqltxt) < 0) return -1;
  const ks_lcr_cols_t &lc = x_cols;
  SqlOut o(sqltxt);
  o.add("insert into ");
  owner_table(o, rhdr);
  o.add(" (");
  for (uint32_t i = 0; i < lc.nold; i++) {
    const ks_col_view &c = lc.oldc[i];
    o.ident(c.name);
    o.add(",");
    // The row length must cover the slots the quick-insert engine lays out, and a
    // LONG gets a 4000-byte slot there whatever its declared length.
    *row_len += ks_ct_is_long(c.ctyp) ? 4000 : scalar_slot(c.clen);
  }
  o.replace_last(") values (");
  placeholders(o, static_cast<int>(lc.nold));
  *ncol = static_cast<int>(lc.nold);
  return o.finish("quick insert");
}

int ks_make_sqltext(const uint8_t *rhdr, char *sqltxt, int *ncol, int64_t *row_len) {
  *ncol = 0;
  *row_len = 0;
  // Checked before a row without columns is passed over: entries its counts leave out
  // make it damaged, not empty.
  uint32_t at = 0;
  const char *why = "record length below 96";
  const uint32_t rlen = ks_rh_rlen(rhdr);
  if (!(ks_rh_flag(rhdr) & KS_RH_SHORT) && (rlen < KS_LCR_RH_SZ || ks_trail_check_row(rhdr, rlen, &at, &why) != 0)) {
    sqltxt[0] = '\0';
    KS_ERROR("malformed LCR (opcode %u, length %u): %s at offset %u.", ks_rh_opc(rhdr), rlen, why, at);
    return -1;
  }
  switch (ks_rh_opc(rhdr)) {
    case KS_OPC_INSERT:
      return ks_make_insert_sql(rhdr, sqltxt, ncol, row_len);
    case KS_OPC_UPDATE:
      return ks_make_update_sql(rhdr, sqltxt, ncol, row_len);
    case KS_OPC_DELETE:
      return ks_make_delete_sql(rhdr, sqltxt, ncol, row_len);
    case KS_OPC_QMI:
      return ks_make_qmi_sql(rhdr, sqltxt, ncol, row_len);
    default:
      sqltxt[0] = '\0';
      return 0;
  }
}
