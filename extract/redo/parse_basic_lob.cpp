// LOB data blocks logged as block images (BasicFile LOBs), and the LCRs that let
// delivery find the row of a LOB operation: the row INSERT or UPDATE built from the first
// LLB (LOB columns empty), and the LOB SELECT naming the row by its key. Invariants: the
// saved first-LLB vector is read only through a bounded view of its own length; data is
// copied only from inside the block image.
#include <algorithm>
#include <cstring>

#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/block_format.h"
#include "lib/log/log.h"

namespace {

constexpr uint32_t kLobIdAt = ks::redo::KS_LOB_BLK_ID, kLobDataAt = ks::redo::KS_LOB_BLK_DATA;

// The first-LLB vector as the builders read it: the body (field 3), the LOB columns
// (field 4), the key column numbers and lengths (fields 6 and 7) and the field of the
// first key value.
struct LlbVec {
  ks_cv_t cv;
  const uint8_t *body;
  const uint8_t *lobs;
  int nlob;
  const uint8_t *nums;
  const uint8_t *lens;
  int nkey;
  int vk;
};

int open_vec(ks_extr_t *ex, const ks_llb_t *llb, uint8_t *vec, LlbVec *v) {
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (ks_cv_open(&v->cv, vec, llb->vlen, ex->l->vhsz, big) < 0 || (v->body = ks_cv_field(&v->cv, 3, 24)) == nullptr) {
    KS_ERROR("saved LLB vector damaged (XID: %d.%d.%d).", KS_XID_ARGS(llb->xid));
    return -1;
  }
  v->nlob = std::max(ks_cv_len(&v->cv, 4), 0) / 2;
  v->lobs = ks_cv_field(&v->cv, 4);
  v->nkey = std::max(ks_cv_len(&v->cv, 6), 0) / 2;
  v->nums = ks_cv_field(&v->cv, 6);
  v->lens = ks_cv_field(&v->cv, 7, static_cast<uint32_t>(2 * v->nkey));
  if (v->nkey != 0 && v->lens == nullptr) {
    KS_ERROR("saved LLB vector without the lengths of its %d key columns.", v->nkey);
    return -1;
  }
  // The values start at field 10; a writer that leaves it empty starts them at 12. An
  // empty field 10 is a value only when the first key column is NULL.
  v->vk = 10;
  if (v->nkey != 0 && ks_cv_len(&v->cv, 10) == 0 && ks::load16(v->lens, big) != 0xFFFF && ks::load16(v->lens, big) != 0)
    v->vk = 12;
  if (v->nkey != 0 && v->vk + v->nkey - 1 > v->cv.nf) {
    KS_ERROR("saved LLB vector holds fewer values than its %d key columns.", v->nkey);
    return -1;
  }
  return 0;
}

// The key columns as entries: new values for the row INSERT; for the old image, only the
// primary key when it is wholly among them (what delivery finds the row by), else every
// key column that can be compared. Not-captured columns get no entry.
int key_entries(ks_extr_t *ex, ks_lcr_b *lb, const LlbVec &v, bool old, uint32_t *count) {
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  const int ntc = static_cast<int>(t->ncol);
  const bool big = v.cv.big;
  bool only_pk = false;
  if (old) {
    int npk = 0, found = 0;
    for (int i = 0; i < ntc; i++) npk += (cols[i].flag & KS_COL_PK) && !(cols[i].flag & KS_COL_NOCAPTURE) ? 1 : 0;
    for (int i = 0; i < v.nkey; i++) {
      int ci = ks_get_column(cols, ntc, ks::load16(v.nums + 2 * i, big));
      if (ci >= 0 && (cols[ci].flag & KS_COL_PK) && !(cols[ci].flag & KS_COL_NOCAPTURE)) found++;
    }
    only_pk = npk != 0 && found == npk;
  }
  for (int i = 0; i < v.nkey; i++) {
    const int scid = ks::load16(v.nums + 2 * i, big);
    const int ci = ks_get_column(cols, ntc, scid);
    if (ci < 0) return ks_no_column(ex, scid);
    const ks_dict_col_t *c = &cols[ci];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    const int k = v.vk + i;
    const bool null = ks::load16(v.lens + 2 * i, big) == 0xFFFF;
    uint8_t *data = v.cv.v + v.cv.off[k];
    const uint32_t len = null ? 0 : v.cv.len[k];
    if (old) {
      if ((only_pk && !(c->flag & KS_COL_PK)) || ks_is_long_or_lob(c->ctyp)) continue;
      ks_lcr_col(lb, c, ks_col_flag(c, true) | (len == 0 ? KS_CH_NULL : 0), data, len);
    } else if (ks_lcr_value(lb, c, ks_col_flag(c, false), data, len) < 0) {
      return -1;
    }
    (*count)++;
  }
  return 0;
}

// The dictionary column of LOB column i of the vector, or null (logged).
const ks_dict_col_t *lob_column(ks_extr_t *ex, const LlbVec &v, int i) {
  const int scid = ks::load16(v.lobs + 2 * i, v.cv.big);
  const int ci = ks_get_column(ks_tab_cols(ex), static_cast<int>(ks_tab(ex)->ncol), scid);
  if (ci < 0) {
    ks_no_column(ex, scid);
    return nullptr;
  }
  return &ks_tab_cols(ex)[ci];
}

}  // namespace

int ks_lob_lcr(ks_extr_t *ex, uint32_t opc, uint32_t extra, uint32_t amount, uint64_t offset, const uint8_t *data,
               uint32_t dlen) {
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, ex->m->ti, opc);
  rh->flag |= extra;
  uint8_t *p = lb.base + KS_LCR_RH_SZ;
  const char *what = "LOB WRITE";
  if (opc == KS_OPC_LOB_TRIM) {
    ks_lcr_set_u64(p, 0, offset);  // the new length
    lb.pos += 8;
    what = "LOB TRIM";
  } else {
    if (dlen > lb.cap - lb.pos - 12) lb.overflow = true;
    ks_lcr_set_u32(p, 0, amount);
    ks_lcr_set_u64(p, 4, offset);
    if (dlen != 0 && !lb.overflow) std::memcpy(p + 12, data, dlen);
    lb.pos += 12 + (lb.overflow ? 0 : dlen);
    if (opc == KS_OPC_LOB_ERASE) what = "LOB ERASE";
  }
  return ks_lcr_finish(ex, &lb, what);
}

int ks_make_lob_select(ks_extr_t *ex, ks_llb_t *llb, uint8_t *vec) {
  if (int rc = ks_llb_table(ex, llb->objn); rc != 0) return rc;
  LlbVec v;
  if (open_vec(ex, llb, vec, &v) < 0) return -1;
  ks_dict_col_t *cols = ks_tab_cols(ex);
  const int ci = ks_get_column(cols, static_cast<int>(ks_tab(ex)->ncol), static_cast<int>(llb->lob_scid));
  if (ci < 0) return ks_no_column(ex, static_cast<int>(llb->lob_scid));
  const ks_dict_col_t *c = &cols[ci];
  if (c->ctyp == KS_TYP_CLOB) llb->flag |= KS_LLB_CLOB;
  if (c->flag & KS_COL_SECUREFILE) llb->flag |= KS_LLB_SECUREFILE;
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_LOB_SELECT);
  // Every LOB SELECT is followed by a write, trim or erase: delivery opens the LOB for
  // writing.
  rh->flag |= KS_RH_LOB102;
  ks_lcr_col(&lb, c, ks_col_flag(c, false), nullptr, 0);
  rh->nnew = 1;
  rh->opos = lb.pos;
  uint32_t nold = 0;
  if (key_entries(ex, &lb, v, true, &nold) < 0) return -1;
  rh->nold = nold;
  ex->m->xid = llb->xid;
  return ks_lcr_finish(ex, &lb, "LOB SELECT");
}

int ks_make_lob_insert(ks_extr_t *ex, ks_llb_t *llb, uint8_t *vec) {
  if (int rc = ks_llb_table(ex, llb->objn); rc != 0) return rc;
  LlbVec v;
  if (open_vec(ex, llb, vec, &v) < 0) return -1;
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_INSERT);
  rh->flag |= KS_RH_FROM_LLB;
  uint32_t n = 0;
  if (key_entries(ex, &lb, v, false, &n) < 0) return -1;
  for (int i = 0; i < v.nlob; i++) {
    const ks_dict_col_t *c = lob_column(ex, v, i);
    if (c == nullptr) return -1;
    if (c->flag & KS_COL_NOCAPTURE) continue;
    ks_lcr_col(&lb, c, ks_col_flag(c, false) | KS_CH_EMPTY_LOB, nullptr, 0);
    n++;
  }
  rh->nnew = n;
  ex->m->xid = llb->xid;
  if (ks_lcr_finish(ex, &lb, "LOB INSERT") < 0) return -1;
  llb->flag |= KS_LLB_INSERT;
  return 0;
}

int ks_make_lob_update(ks_extr_t *ex, ks_llb_t *llb, uint8_t *vec) {
  if (int rc = ks_llb_table(ex, llb->objn); rc != 0) return rc;
  LlbVec v;
  if (open_vec(ex, llb, vec, &v) < 0) return -1;
  // The statement sets the first nset LOB columns to an empty LOB before writing, and
  // the nnull after them to NULL; without either the write goes into the LOB as it is.
  const int nset = ks::load16(v.body + 20, v.cv.big), nnull = ks::load16(v.body + 22, v.cv.big);
  if (nset == 0 && nnull == 0) return 0;
  if (nset + nnull > v.nlob) {
    KS_ERROR("LLB sets %d LOB columns of %d (XID: %d.%d.%d).", nset + nnull, v.nlob, KS_XID_ARGS(llb->xid));
    return -1;
  }
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_UPDATE);
  rh->flag |= KS_RH_FROM_LLB;
  uint32_t nnew = 0;
  for (int i = 0; i < nset + nnull; i++) {
    const ks_dict_col_t *c = lob_column(ex, v, i);
    if (c == nullptr) return -1;
    ks_lcr_col(&lb, c, ks_col_flag(c, false) | (i < nset ? KS_CH_EMPTY_LOB : KS_CH_NULL), nullptr, 0);
    nnew++;
  }
  rh->nnew = nnew;
  rh->opos = lb.pos;
  uint32_t nold = 0;
  if (key_entries(ex, &lb, v, true, &nold) < 0) return -1;
  rh->nold = nold;
  if (nold == 0) rh->opos = 0;
  ex->m->xid = llb->xid;
  if (ks_lcr_finish(ex, &lb, "LOB UPDATE") < 0) return -1;
  llb->flag |= KS_LLB_UPDATE;
  return 0;
}

// The row INSERT or UPDATE (once) and the LOB SELECT before the first data of a write.
int ks_lob_first_data(ks_extr_t *ex, ks_llb_t *l) {
  uint8_t *vec = ks_llb_vector(ex, l);
  int rc = 0;
  if (l->op == KS_LLB_OP_INSERT && !(l->flag & KS_LLB_INSERT))
    rc = ks_make_lob_insert(ex, l, vec);
  else if (l->op == KS_LLB_OP_UPDATE && !(l->flag & KS_LLB_UPDATE))
    rc = ks_make_lob_update(ex, l, vec);
  if (rc == 0) rc = ks_make_lob_select(ex, l, vec);
  return rc < 0 && rc != KS_RC_NOT_CAPTURED ? -1 : rc;
}

int ks_parse_basic_lob(ks_extr_t *ex, uint8_t *blk, uint32_t blen) {
  if (blen < kLobDataAt) {
    KS_ERROR("LOB block image too short (%u bytes).", blen);
    return -1;
  }
  ks_llb_t *l = ks_llb_find_id(blk + kLobIdAt);
  if (l == nullptr) return KS_RC_NOT_CAPTURED;
  if (l->op == KS_LLB_OP_TRIM || l->op == KS_LLB_OP_ERASE) return 0;
  if (int rc = ks_llb_table(ex, l->objn); rc != 0) return rc;
  if (l->once_amt == 0) return 0;
  if (l->data_ofs >= l->once_amt) {  // a block before the one the write starts in
    l->data_ofs -= l->once_amt;
    return 0;
  }
  ex->m->xid = l->xid;
  if (!(l->flag & KS_LLB_FIRST_DONE)) {
    if (l->flag & KS_LLB_KEPT) return 0;  // the length is still unknown: only one block is kept
    if (int rc = ks_lob_first_data(ex, l); rc != 0) return rc;
    if ((l->op == KS_LLB_OP_INSERT || l->op == KS_LLB_OP_UPDATE) && l->amnt == 0) {
      std::memset(x_lob_data, 0, sizeof x_lob_data);
      const uint32_t avail = blen - kLobDataAt > l->data_ofs ? blen - kLobDataAt - l->data_ofs : 0;
      std::memcpy(x_lob_data, blk + kLobDataAt + l->data_ofs, std::min<size_t>(avail, sizeof x_lob_data));
      l->flag |= KS_LLB_KEPT;
      return 0;
    }
  }
  l->flag |= KS_LLB_FIRST_DONE;
  if (l->amnt == 0) return 0;
  const bool two = ks_llb_two_byte(ex, l);  // known once the LOB SELECT has named the column
  const uint32_t skip = l->data_ofs;
  uint32_t len = l->once_amt - skip;  // bytes of this block
  if (two) len /= 2;
  len = std::min(len, l->amnt);
  const uint32_t bytes = two ? 2 * len : len;
  if (bytes > blen - kLobDataAt || skip > blen - kLobDataAt - bytes) {
    KS_ERROR("LOB block image holds %u bytes, its piece needs %u from %u.", blen - kLobDataAt, bytes, skip);
    return -1;
  }
  l->data_ofs = 0;
  l->amnt -= len;
  const uint64_t at = l->offset;
  l->offset += len;
  if (ks_lob_lcr(ex, KS_OPC_LOB_WRITE, l->amnt == 0 ? KS_RH_LOB_LAST : 0, len, at, blk + kLobDataAt + skip, bytes) < 0)
    return -1;
  KS_DETAIL("append LOB WRITE LCR (offset: %luamount: %d)", static_cast<unsigned long>(at), static_cast<int>(len));
  return 0;
}
