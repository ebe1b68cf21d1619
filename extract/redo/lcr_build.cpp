// Building one LCR in the LCR area of the work buffers: the 96-byte header with the
// owner/name map rule and the table's record flags, column entries back to back, and
// the hand-over to the transaction table. Invariants: nothing is written past the LCR
// area (an overflow is remembered and the record refused at finish); names are copied
// with a bound and stay NUL-terminated.
#include <cstring>

#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace {
void copy_name(char *dst, const char *src) {
  std::memset(dst, 0, KS_DICT_NAME_SZ);
  size_t n = strnlen(src, KS_DICT_NAME_SZ - 1);
  std::memcpy(dst, src, n);
}
}  // namespace

ks_lcr_rh_t *ks_lcr_start(ks_extr_t *ex, ks_lcr_b *lb, int ti, uint32_t opc, uint8_t *base, uint32_t cap) {
  lb->base = base ? base : ex->b->lcr_buf;
  lb->cap = base ? cap : KS_BUF_LCR_SZ;
  lb->pos = KS_LCR_RH_SZ;
  lb->n = 0;
  lb->overflow = false;
  auto *rh = reinterpret_cast<ks_lcr_rh_t *>(lb->base);
  std::memset(rh, 0, sizeof(*rh));
  rh->opc = opc;
  ks_dict_t *d = ex->d;
  const ks_dict_tab_t *t = &d->tab[ti];
  const ks_dict_sch_t *s = &d->sch[t->ui];
  if ((t->flag & KS_TAB_MAP) && t->mpi < d->hdr->nmap) {
    copy_name(rh->ownr, d->map[t->mpi].map_schema);
    copy_name(rh->onam, d->map[t->mpi].map_table);
  } else if ((s->flag & KS_SCH_MAP) && s->mpi < d->hdr->nmap) {
    copy_name(rh->ownr, d->map[s->mpi].map_schema);
    copy_name(rh->onam, t->name);
  } else {
    copy_name(rh->ownr, s->name);
    copy_name(rh->onam, t->name);
  }
  if (t->flag & KS_TAB_SYSOBJ) rh->flag |= KS_RH_SYSOBJ;
  if (t->flag & KS_TAB_LOB) rh->flag |= KS_RH_HAS_LOB;
  return rh;
}

uint32_t ks_col_flag(const ks_dict_col_t *c, bool old) {
  uint32_t f = 0;
  if (c->flag & KS_COL_NCHAR) f |= KS_CH_NATIONAL;
  if (old) {
    if (c->flag & KS_COL_PK)
      f |= KS_CH_PK;
    else if (c->flag & KS_COL_UK)
      f |= KS_CH_UK;
  }
  return f;
}

void ks_lcr_col(ks_lcr_b *lb, const ks_dict_col_t *c, uint32_t flag, const uint8_t *data, uint32_t dlen) {
  uint32_t nlen = static_cast<uint32_t>(strnlen(c->name, KS_DICT_NAME_SZ - 1)) + 1;
  uint32_t alen = KS_LCR_CH_SZ + nlen + dlen;
  if (lb->overflow || alen > lb->cap - lb->pos) {
    lb->overflow = true;
    return;
  }
  ks_lcr_ch_t ch;
  ch.alen = alen;
  ch.flag = flag;
  ch.ctyp = c->ctyp;
  ch.clen = c->clen;
  ch.nlen = nlen;
  ch.dlen = dlen;
  uint8_t *p = lb->base + lb->pos;
  std::memcpy(p, &ch, sizeof(ch));
  std::memcpy(p + KS_LCR_CH_SZ, c->name, nlen - 1);
  p[KS_LCR_CH_SZ + nlen - 1] = 0;
  if (dlen) std::memcpy(p + KS_LCR_CH_SZ + nlen, data, dlen);
  lb->pos += alen;
  lb->n++;
}

void ks_lcr_raw(ks_lcr_b *lb, const uint8_t *data, uint16_t len) {
  if (lb->overflow || 2u + len > lb->cap - lb->pos) {
    lb->overflow = true;
    return;
  }
  ks::store16(lb->base + lb->pos, len, false);
  if (len) std::memcpy(lb->base + lb->pos + 2, data, len);
  lb->pos += 2u + len;
}

int ks_lcr_finish(ks_extr_t *ex, ks_lcr_b *lb, const char *what) {
  auto *rh = reinterpret_cast<ks_lcr_rh_t *>(lb->base);
  if (lb->overflow) {
    KS_ERROR("%s LCR larger than the LCR buffer (XID: %d.%d.%d).", what, KS_XID_ARGS(ex->m->xid));
    return -1;
  }
  rh->rlen = lb->pos;
  if (ks_redo_append(ex, rh) < 0) return -1;
  KS_DETAIL("append %s LCR (XID: %d.%d.%d)", what, KS_XID_ARGS(ex->m->xid));
  return 0;
}

int ks_no_column(ks_extr_t *ex, int scid) {
  ks_dict_t *d = ex->d;
  const ks_dict_tab_t *t = ks_tab(ex);
  KS_ERROR("segcol id %d not found in table \"%s\".\"%s\".", scid, d->sch[t->ui].name, t->name);
  return -1;
}

int ks_lcr_value(ks_lcr_b *lb, const ks_dict_col_t *c, uint32_t base_flag, uint8_t *data, uint32_t len) {
  if (len == 0) {
    ks_lcr_col(lb, c, base_flag | KS_CH_NULL, nullptr, 0);
    return 0;
  }
  if (ks_is_lob(c->ctyp)) {
    uint8_t *lob = nullptr;
    int dlen = 0;
    if (ks_parse_lob_inrow(data, static_cast<int>(len), &lob, &dlen) < 0) {
      KS_ERROR("IRP insert LOB chunk address.");
      return -1;
    }
    if (dlen > 0)
      ks_lcr_col(lb, c, base_flag | KS_CH_LOB_DATA, lob, static_cast<uint32_t>(dlen));
    else
      ks_lcr_col(lb, c, base_flag | KS_CH_EMPTY_LOB, nullptr, 0);
    return 0;
  }
  ks_lcr_col(lb, c, base_flag, data, len);
  return 0;
}

int ks_lcr_sup(ks_extr_t *ex, ks_lcr_b *lb, bool old, bool skip_nocap, uint32_t *count) {
  ks_miner_t *m = ex->m;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, m->undo) < 0) return -1;
  const uint8_t *s = m->sup;
  int nsc = ks::load16(s + 2, cv.big);
  if (nsc == 0) return 0;
  int k = m->supk;
  const uint8_t *nums = ks_cv_field(&cv, k + 1, static_cast<uint32_t>(2 * nsc));
  const uint8_t *lens = ks_cv_field(&cv, k + 2, static_cast<uint32_t>(2 * nsc));
  if (!nums || !lens || k + 2 + nsc > cv.nf) {
    KS_ERROR("supplemental log columns incomplete (%d columns, XID: %d.%d.%d).", nsc, KS_XID_ARGS(m->xid));
    return -1;
  }
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  for (int i = 0; i < nsc; i++) {
    int scid = ks::load16(nums + 2 * i, cv.big);
    uint16_t l = ks::load16(lens + 2 * i, cv.big);
    int ci = ks_get_column(cols, static_cast<int>(t->ncol), scid);
    if (ci < 0) return ks_no_column(ex, scid);
    const ks_dict_col_t *c = &cols[ci];
    if (skip_nocap && (c->flag & KS_COL_NOCAPTURE)) continue;
    int fk = k + 3 + i;
    uint32_t flen = cv.len[fk];
    if (l == ks::redo::KS_REDO_SUP_NULL_LENGTH || flen == 0)
      ks_lcr_col(lb, c, ks_col_flag(c, old) | KS_CH_NULL, nullptr, 0);
    else
      ks_lcr_col(lb, c, ks_col_flag(c, old), cv.v + cv.off[fk], flen);
    (*count)++;
  }
  return 0;
}
