// Table blocks of a direct-path load: a load logs whole formatted blocks instead of row
// operations, and every block image is turned back into rows. The whole rows of a block
// make one QUICK INSERT; a row chained into later blocks waits, piece by piece, in the
// chain buffer (keyed on its first piece's row id, so that it is saved with every
// checkpoint like any chained row in progress) until the block with its last piece comes,
// and is then one INSERT. Invariants: every byte read lies inside the block image; a
// record read again (the transaction table could not take it) finds the chain buffer as
// it was before the record, so no row is built twice and none is lost.
#include <algorithm>
#include <cstring>
#include <vector>

#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "extract/redo/row_value.h"
#include "lib/bytes.h"
#include "lib/fmt/block_format.h"
#include "lib/fmt/chain_format.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

namespace {

// One value of a row: its bytes, n 0 and null set for NULL. 0, or -1 past end.
int row_value(const uint8_t **q, const uint8_t *end, bool big, const uint8_t **d, uint32_t *n, bool *null) {
  ks_row_val_t v;
  if (ks_row_value(q, end, big, &v) < 0) return -1;
  *d = v.p;
  *n = v.len;
  *null = v.null;
  return 0;
}

// One value of a row: bytes, or a NULL (len 0, null set).
struct Value {
  const uint8_t *p = nullptr;
  uint32_t len = 0;
  bool null = true;
};

bool is_rc_hold(int rc) { return rc == KS_RC_HOLD || rc == KS_RC_STOP; }

// The block's layout: where its data header and row directory are.
struct Layout {
  const uint8_t *dh = nullptr;  // data header
  uint32_t dh_room = 0;         // bytes from dh to the end of the image
  int ntab = 0;
  int nslot = 0;
  int free_head = -1;
  const uint8_t *dir = nullptr;  // row directory of table 0
};

int layout(const uint8_t *blk, uint32_t blen, bool big, Layout *l) {
  if (blen < R::KS_DP_BLK_ITL) return -1;
  const uint32_t itc = ks::load16(blk + R::KS_DP_BLK_ITC, big);
  uint32_t at = R::KS_DP_BLK_ITL + itc * R::KS_DP_ITL_SIZE;
  if (blk[R::KS_DP_BLK_FLAGS] & R::KS_DP_BLK_EXT) {
    if (at + R::KS_DP_EXT_FIXED > blen) return -1;
    at += R::KS_DP_EXT_FIXED + ks::load16(blk + at + R::KS_DP_EXT_LENGTH, big);
  }
  if (at + R::KS_DP_DH_DIR > blen) return -1;
  l->dh = blk + at;
  l->dh_room = blen - at;
  l->ntab = l->dh[R::KS_DP_DH_NTAB];
  const uint16_t fh = ks::load16(l->dh + R::KS_DP_DH_FREE, big);
  l->free_head = fh == 0xFFFF ? -1 : static_cast<int16_t>(fh);
  const uint32_t first = ks::load16(l->dh + R::KS_DP_DH_T0_FIRST, big);
  l->nslot = ks::load16(l->dh + R::KS_DP_DH_T0_SLOTS, big);
  const uint32_t dir = R::KS_DP_DH_T0_FIRST + 4 * static_cast<uint32_t>(std::max(l->ntab, 1)) + 2 * first;
  if (dir + 2 * static_cast<uint32_t>(l->nslot) > l->dh_room) return -1;
  l->dir = l->dh + dir;
  return 0;
}

// A row piece as the block holds it.
struct Piece {
  uint8_t fb = 0;
  int ncol = 0;
  uint32_t next_dba = 0;
  uint16_t next_slot = 0;
  const uint8_t *cols = nullptr;  // first column
  const uint8_t *p = nullptr;     // the piece's first byte
  uint32_t len = 0;               // header, row ids and columns
};

// The piece at p (room bytes left in the image): 0, or -1 when it does not fit. With
// header_only a whole row's columns are not walked (its len is then room): the caller
// reads them with their own bounds.
int read_piece(const uint8_t *p, uint32_t room, bool big, Piece *pc, bool header_only = false) {
  if (room < R::KS_DP_ROW_HEADER) return -1;
  pc->p = p;
  pc->fb = p[0];
  pc->ncol = p[2];
  uint32_t at = R::KS_DP_ROW_HEADER;
  if (!(pc->fb & R::KS_REDO_ROW_HEAD) && (pc->fb & R::KS_REDO_ROW_FIRST)) at += R::KS_DP_ROWID;
  if (!(pc->fb & R::KS_REDO_ROW_LAST)) {
    if (at + R::KS_DP_ROWID > room) return -1;
    pc->next_dba = ks::load_be32(p + at);
    pc->next_slot = ks::load_be16(p + at + 4);
    at += R::KS_DP_ROWID;
  }
  if (at > room) return -1;
  pc->cols = p + at;
  if (header_only && (pc->fb & R::KS_REDO_ROW_FIRST) && (pc->fb & R::KS_REDO_ROW_LAST)) {
    pc->len = room;
    return 0;
  }
  const uint8_t *q = pc->cols, *end = p + room;
  for (int c = 0; c < pc->ncol; c++) {
    const uint8_t *d;
    uint32_t n;
    bool null;
    if (row_value(&q, end, big, &d, &n, &null) < 0) return -1;
  }
  pc->len = static_cast<uint32_t>(q - p);
  return 0;
}

// Values of one row by dictionary column index, read from pieces.
struct RowValues {
  std::vector<Value> v;
  int scid = 1;  // segment column id of the next value
  // Takes the columns of a piece; a piece whose first column goes on from the previous
  // piece adds its bytes to that value (joined in own). 0, or -1 (logged).
  int take(ks_extr_t *ex, const Piece &pc, bool big, std::vector<std::vector<uint8_t>> *own) {
    const ks_dict_tab_t *t = ks_tab(ex);
    ks_dict_col_t *cols = ks_tab_cols(ex);
    const uint8_t *q = pc.cols, *end = pc.p + pc.len;
    for (int c = 0; c < pc.ncol; c++) {
      const uint8_t *d;
      uint32_t n;
      bool null;
      if (row_value(&q, end, big, &d, &n, &null) < 0) return -1;
      if (c == 0 && (pc.fb & R::KS_REDO_ROW_PREV_CONT) && scid > 1) {
        const int ci = ks_get_column(cols, static_cast<int>(t->ncol), scid - 1);
        if (ci >= 0 && !null) {
          Value &x = v[static_cast<size_t>(ci)];
          own->emplace_back(x.p, x.p + x.len);
          own->back().insert(own->back().end(), d, d + n);
          x.p = own->back().data();
          x.len = static_cast<uint32_t>(own->back().size());
          x.null = false;
        }
        continue;
      }
      const int ci = ks_get_column(cols, static_cast<int>(t->ncol), scid);
      if (ci < 0) return ks_no_column(ex, scid);
      scid++;
      v[static_cast<size_t>(ci)] = Value{d, n, null || n == 0};
    }
    return 0;
  }
};

// Writes a row's values as a QUICK INSERT row: per captured column a host-order u16
// length and the bytes (0 for NULL).
void qmi_row(ks_extr_t *ex, ks_lcr_b *lb, const RowValues &rv) {
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  for (uint32_t i = 0; i < t->ncol; i++) {
    if (cols[i].flag & KS_COL_NOCAPTURE) continue;
    const Value &x = rv.v[i];
    const uint32_t n = x.null ? 0 : std::min<uint32_t>(x.len, 0xFFFF);
    if (lb->overflow || 2u + n > lb->cap - lb->pos) {
      lb->overflow = true;
      return;
    }
    ks::store16(lb->base + lb->pos, static_cast<uint16_t>(n), false);
    if (n) std::memcpy(lb->base + lb->pos + 2, x.p, n);
    lb->pos += 2 + n;
  }
}

// A whole row straight into the QUICK INSERT, for the usual table whose segment column
// i + 1 is dictionary column i: per captured column its value (NULLs length 0), then
// length 0 for the captured columns the row does not store. 0, or -1 (logged) when a
// value goes past the block or the row stores more columns than the table has.
int qmi_direct(ks_lcr_b *lb, const ks_dict_col_t *cols, int ntc, const Piece &pc, bool big) {
  if (pc.ncol > ntc) {
    KS_ERROR("DP row stores %d columns, table has %d.", pc.ncol, ntc);
    return -1;
  }
  const uint8_t *q = pc.cols, *end = pc.p + pc.len;
  for (int c = 0; c < ntc; c++) {
    const uint8_t *d = nullptr;
    uint32_t n = 0;
    bool null = true;
    if (c < pc.ncol && row_value(&q, end, big, &d, &n, &null) < 0) {
      KS_ERROR("DP row goes past its block.");
      return -1;
    }
    if (cols[c].flag & KS_COL_NOCAPTURE) continue;
    if (lb->overflow || 2u + n > lb->cap - lb->pos) {
      lb->overflow = true;
      return 0;
    }
    ks::store16(lb->base + lb->pos, static_cast<uint16_t>(n), false);
    if (n) std::memcpy(lb->base + lb->pos + 2, d, n);
    lb->pos += 2 + n;
  }
  return 0;
}

// Whether a LOB locator names data stored out of the row: 20 bytes naming the LOB only,
// or an index node without the in-row flag.
bool lob_out_of_row(const Value &x) {
  if (x.null || x.len < 8) return false;
  if (x.p[7] < 0x80 && x.len <= 20) return true;
  if (x.len <= 22) return x.p[7] >= 0x80;
  return !(x.p[22] & R::KS_LOB_NODE_INROW);
}

// A row's result when a LOB block its locator names has not come yet.
constexpr int kWait = 1;

// The data of LOB value x, stored out of line by the load, from its blocks saved in the
// chain buffer: 0 (data in out, the blocks' entries added to used); kWait when one has
// not come; -1 (logged) when a block does not hold what the locator says; -2 for a
// locator without an index node, whose blocks cannot be found.
int load_lob_data(ks_extr_t *ex, const Value &x, std::vector<uint8_t> *out, std::vector<int> *used) {
  if (x.len < R::KS_LOB_NODE_DBA) return -2;
  const uint32_t bytes = ks::load_be32(x.p + R::KS_LOB_NODE_BYTES), nblk = ks::load_be16(x.p + R::KS_LOB_NODE_NBLK);
  if (nblk == 0 || R::KS_LOB_NODE_DBA + 4 * nblk > x.len) return -2;
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  ks_chain_ctx_t *c = ks_chain_of(ex);
  std::vector<int> mine;
  std::vector<uint8_t> buf;
  out->clear();
  for (uint32_t k = 0; k < nblk; k++) {
    const uint32_t dba = ks::load_be32(x.p + R::KS_LOB_NODE_DBA + 4 * k);
    const int ci = ks_chain_find(c, dba, KS_DP_LOB_SLOT);
    if (ci < 0) return kWait;
    const ks_chain_row_t r = ks_chain_get_row(c, ci);
    ks_chain_piece_t pc;
    if (ks_chain_pieces(c, ci, &pc, 1) != 1) return kWait;
    buf.resize(static_cast<size_t>(std::max<uint16_t>(pc.blks, 1)) * KS_CHAIN_BLK_SZ);
    if (ks_chain_piece_data(c, ci, &pc, buf.data(), buf.size()) < 0 || r.dlen < R::KS_LOB_BLK_DATA ||
        r.dlen > buf.size()) {
      KS_ERROR("saved LOB block 0x%08x of a load unreadable.", dba);
      return -1;
    }
    const uint32_t n = ks::load32(buf.data() + R::KS_LOB_BLK_BYTES, big);
    if (n > r.dlen - R::KS_LOB_BLK_DATA || std::memcmp(buf.data() + R::KS_LOB_BLK_ID, x.p + R::KS_LOB_LOC_ID,
                                                       R::KS_LOB_LOC_HEAD - R::KS_LOB_LOC_ID) != 0) {
      KS_ERROR("LOB block 0x%08x of a load does not hold the LOB its row names.", dba);
      return -1;
    }
    out->insert(out->end(), buf.data() + R::KS_LOB_BLK_DATA, buf.data() + R::KS_LOB_BLK_DATA + n);
    mine.push_back(ci);
  }
  if (out->size() != bytes) {
    KS_ERROR("LOB of a load holds %zu bytes in its blocks, its locator says %u.", out->size(), bytes);
    return -1;
  }
  used->insert(used->end(), mine.begin(), mine.end());
  return 0;
}

// Whether a LOB of row rv, stored out of line by the load, has block dba.
bool names_block(ks_extr_t *ex, const RowValues &rv, uint32_t dba) {
  ks_dict_col_t *cols = ks_tab_cols(ex);
  for (size_t i = 0; i < rv.v.size(); i++) {
    const Value &x = rv.v[i];
    if (!ks_is_lob(cols[i].ctyp) || x.len < R::KS_LOB_NODE_DBA || !lob_out_of_row(x)) continue;
    const uint32_t nblk =
        std::min<uint32_t>(ks::load_be16(x.p + R::KS_LOB_NODE_NBLK), (x.len - R::KS_LOB_NODE_DBA) / 4);
    for (uint32_t k = 0; k < nblk; k++)
      if (ks::load_be32(x.p + R::KS_LOB_NODE_DBA + 4 * k) == dba) return true;
  }
  return false;
}

// The LOB SELECT naming row rv's LOB column c for the writes after it: the row by its
// primary key, or by every captured column that can be compared when it has none.
int lob_select(ks_extr_t *ex, const RowValues &rv, const ks_dict_col_t *c) {
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  bool pk = false;
  for (uint32_t i = 0; i < t->ncol; i++) pk |= (cols[i].flag & KS_COL_PK) && !(cols[i].flag & KS_COL_NOCAPTURE);
  ks_lcr_b lb;
  ks_lcr_rh_t *rh = ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_LOB_SELECT);
  rh->flag |= KS_RH_LOB102;  // a write follows: the target opens the LOB for it
  ks_lcr_col(&lb, c, ks_col_flag(c, false), nullptr, 0);
  rh->nnew = 1;
  rh->opos = lb.pos;
  uint32_t nold = 0;
  for (uint32_t i = 0; i < t->ncol; i++) {
    const ks_dict_col_t *k = &cols[i];
    if ((k->flag & KS_COL_NOCAPTURE) || ks_is_long_or_lob(k->ctyp) || (pk && !(k->flag & KS_COL_PK))) continue;
    const Value &x = rv.v[i];
    const uint32_t len = x.null ? 0 : x.len;
    ks_lcr_col(&lb, k, ks_col_flag(k, true) | (len == 0 ? KS_CH_NULL : 0), const_cast<uint8_t *>(x.p), len);
    nold++;
  }
  rh->nold = nold;
  return ks_lcr_finish(ex, &lb, "LOB SELECT");
}

// A LOB's data as the writes of an ordinary LOB operation: the LOB SELECT, then LOB
// WRITEs of a block's worth each, offsets and amounts in characters of a two-byte CLOB.
int lob_writes(ks_extr_t *ex, const RowValues &rv, const ks_dict_col_t *c, const std::vector<uint8_t> &data) {
  constexpr uint32_t kChunk = 8000;  // even: never splits a two-byte character
  if (int rc = lob_select(ex, rv, c); rc != 0) return rc;
  const uint32_t unit = c->ctyp == KS_TYP_CLOB && ex->m->cbl == 2 ? 2 : 1;
  for (uint32_t at = 0; at < data.size();) {
    const uint32_t n = std::min<uint32_t>(kChunk, static_cast<uint32_t>(data.size()) - at);
    const uint32_t last = at + n == data.size() ? KS_RH_LOB_LAST : 0;
    if (int rc = ks_lob_lcr(ex, KS_OPC_LOB_WRITE, last, n / unit, at / unit + 1, data.data() + at, n); rc != 0)
      return rc;
    at += n;
  }
  return 0;
}

// A row as one INSERT (LOB locators decoded into their data), in the LCR area or in big
// when it may not fit there. A LOB the load stored out of line goes empty in the INSERT
// and is then written from its saved blocks (their entries go to used, for the caller to
// release); a LOB kept out of the row whose blocks cannot be found is reported (the row
// goes with it empty). 0, -1, kWait (nothing appended: a LOB block is still to come), or
// KS_RC_HOLD / KS_RC_STOP.
int insert_row(ks_extr_t *ex, const RowValues &rv, const char *what, std::vector<int> *used) {
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  size_t need = 4096 + static_cast<size_t>(t->ncol) * (KS_LCR_CH_SZ + KS_DICT_NAME_SZ);
  for (const Value &x : rv.v) need += x.len;
  std::vector<std::vector<uint8_t>> lob(t->ncol);
  std::vector<bool> filled(t->ncol, false);
  std::vector<int> blocks;
  bool lob_lost = false;
  for (uint32_t i = 0; i < t->ncol; i++) {
    if ((cols[i].flag & KS_COL_NOCAPTURE) || !ks_is_lob(cols[i].ctyp) || !lob_out_of_row(rv.v[i])) continue;
    const int rc = load_lob_data(ex, rv.v[i], &lob[i], &blocks);
    if (rc == -2) {
      lob_lost = true;
      continue;
    }
    if (rc != 0) return rc;
    filled[i] = true;
  }
  std::vector<uint8_t> big;
  ks_lcr_b lb;
  if (need <= KS_BUF_LCR_SZ) {
    ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_INSERT);
  } else {
    big.resize(need);
    ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_INSERT, big.data(), static_cast<uint32_t>(need));
  }
  uint32_t n = 0;
  for (uint32_t i = 0; i < t->ncol; i++) {
    const ks_dict_col_t *c = &cols[i];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    const Value &x = rv.v[i];
    n++;
    if (filled[i])
      ks_lcr_col(&lb, c, ks_col_flag(c, false) | KS_CH_EMPTY_LOB, nullptr, 0);
    else if (ks_lcr_value(&lb, c, ks_col_flag(c, false), const_cast<uint8_t *>(x.p), x.null ? 0 : x.len) < 0)
      return -1;
  }
  reinterpret_cast<ks_lcr_rh_t *>(lb.base)->nnew = n;
  if (lb.overflow) {
    KS_ERROR("%s LCR larger than the LCR buffer (XID: %d.%d.%d).", what, KS_XID_ARGS(ex->m->xid));
    return -1;
  }
  reinterpret_cast<ks_lcr_rh_t *>(lb.base)->rlen = lb.pos;
  int rc = ks_redo_append(ex, reinterpret_cast<ks_lcr_rh_t *>(lb.base));
  for (uint32_t i = 0; i < t->ncol && rc == 0; i++)
    if (filled[i] && !lob[i].empty()) rc = lob_writes(ex, rv, &cols[i], lob[i]);
  if (rc == 0 && lob_lost) ks_not_captured(ex, KS_NC_LOB, ex->m->ti, 19, 1);
  if (rc == 0 && used != nullptr) used->insert(used->end(), blocks.begin(), blocks.end());
  return rc;
}

// The QUICK INSERT of a block's whole rows, being built.
struct Quick {
  ks_lcr_b lb{};
  uint32_t rows = 0;
  void start(ks_extr_t *ex) {
    ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_QMI);
    uint32_t nd = 0;
    const ks_dict_tab_t *t = ks_tab(ex);
    ks_dict_col_t *cols = ks_tab_cols(ex);
    for (uint32_t i = 0; i < t->ncol; i++) {
      if (cols[i].flag & KS_COL_NOCAPTURE) continue;
      ks_lcr_col(&lb, &cols[i], ks_col_flag(&cols[i], false), nullptr, 0);
      nd++;
    }
    reinterpret_cast<ks_lcr_rh_t *>(lb.base)->nold = nd;
    rows = 0;
  }
  // Appends it when it holds rows: 0, -1, or KS_RC_HOLD / KS_RC_STOP.
  int flush(ks_extr_t *ex) {
    if (rows == 0) return 0;
    auto *rh = reinterpret_cast<ks_lcr_rh_t *>(lb.base);
    rh->nnew = rows;
    if (lb.overflow) {
      KS_ERROR("DP INSERT LCR larger than the LCR buffer (XID: %d.%d.%d).", KS_XID_ARGS(ex->m->xid));
      return -1;
    }
    rh->rlen = lb.pos;
    if (int rc = ks_redo_append(ex, rh); rc < 0) return rc;
    KS_DETAIL("append DP INSERT LCR (%d rows, XID: %d.%d.%d)", static_cast<int>(rows), KS_XID_ARGS(ex->m->xid));
    rows = 0;
    return 0;
  }
};

// The chain buffer's row whose last saved piece names (dba, slot) as its next piece, or -1.
int dp_row_before(ks_chain_ctx_t *c, uint32_t dba, uint16_t slot) {
  std::vector<ks_chain_piece_t> pcs;
  for (int ci = 0; ci < ks_chain_rows(c); ci++) {
    const ks_chain_row_t r = ks_chain_get_row(c, ci);
    if (r.dlen == 0 || !(r.flag & KS_CP_DP)) continue;
    pcs.resize(std::max<uint32_t>(r.nrec, 1));
    const int n = ks_chain_pieces(c, ci, pcs.data(), static_cast<int>(pcs.size()));
    if (n > 0 && pcs[static_cast<size_t>(n - 1)].rn_rdba == dba && pcs[static_cast<size_t>(n - 1)].rn_slot == slot)
      return ci;
  }
  return -1;
}

// Pieces saved by the block being decoded, and rows completed by it: the ones are taken
// back when the block's changes cannot be taken now, the others released once they are.
struct Undo {
  std::vector<std::pair<int, int>> saved;  // row, length
  std::vector<int> done;
};

// A row waiting for its LOB blocks, as saved: the table's object number, the column
// count, then per column a u32 length (kNull for NULL) and the bytes, in host order.
constexpr uint32_t kNull = 0xFFFFFFFFu;

// Saves row rv, completed at crp's row id, until its LOB blocks have come (a record read
// again finds it saved already). 0, or KS_RC_HOLD when the chain buffer cannot take it.
int wait_for_lobs(ks_extr_t *ex, const RowValues &rv, const ks_chain_piece_t *crp, Undo *u) {
  ks_chain_piece_t w{};
  w.cr_rdba = w.pc_rdba = crp->pc_rdba;
  w.cr_slot = w.pc_slot = static_cast<uint16_t>(crp->pc_slot | KS_DP_WAIT_SLOT);
  if (ks_chain_find(ks_chain_of(ex), w.cr_rdba, w.cr_slot) >= 0) return 0;
  std::vector<uint8_t> b(8);
  ks::store32(b.data(), ex->m->objn, false);
  ks::store32(b.data() + 4, static_cast<uint32_t>(rv.v.size()), false);
  for (const Value &x : rv.v) {
    const size_t at = b.size();
    b.resize(at + 4 + (x.null ? 0 : x.len));
    ks::store32(b.data() + at, x.null ? kNull : x.len, false);
    if (!x.null && x.len) std::memcpy(b.data() + at + 4, x.p, x.len);
  }
  int ci = -1;
  if (ks_save_row_piece(ex, b.data(), static_cast<int>(b.size()), &w, &ci) < 0) return KS_RC_HOLD;
  u->saved.emplace_back(ci, static_cast<int>(b.size()));
  KS_DETAIL("row 0x%04x.%x of a load waits for its LOB blocks", crp->pc_rdba, crp->pc_slot);
  return 0;
}

// The waiting row of entry ci: its table's object number and values (pointing into buf).
// 0, or -1 (logged) when damaged.
int waiting_row(ks_extr_t *ex, int ci, std::vector<uint8_t> *buf, uint32_t *objn, RowValues *rv) {
  ks_chain_ctx_t *c = ks_chain_of(ex);
  const ks_chain_row_t r = ks_chain_get_row(c, ci);
  ks_chain_piece_t pc;
  if (ks_chain_pieces(c, ci, &pc, 1) == 1) {
    buf->resize(static_cast<size_t>(std::max<uint16_t>(pc.blks, 1)) * KS_CHAIN_BLK_SZ);
    if (ks_chain_piece_data(c, ci, &pc, buf->data(), buf->size()) == 0 && r.dlen >= 8 && r.dlen <= buf->size()) {
      const uint8_t *q = buf->data(), *end = q + r.dlen;
      *objn = ks::load32(q, false);
      const uint32_t n = ks::load32(q + 4, false);
      q += 8;
      rv->v.assign(n <= r.dlen ? n : 0, Value{});
      bool ok = n <= r.dlen;
      for (uint32_t i = 0; ok && i < n; i++) {
        ok = end - q >= 4;
        const uint32_t len = ok ? ks::load32(q, false) : 0;
        q += ok ? 4 : 0;
        if (!ok || len == kNull) continue;
        ok = len <= static_cast<uint32_t>(end - q);
        if (ok) rv->v[i] = Value{q, len, false};
        q += ok ? len : 0;
      }
      if (ok) return 0;
    }
  }
  KS_ERROR("saved row 0x%04x.%x of a load unreadable.", r.cr_rdba, r.cr_slot & ~KS_DP_WAIT_SLOT);
  return -1;
}

// Row rv of the load, complete at crp's row id, as one INSERT when its LOB blocks have
// come (their entries then go to u's released ones), else saved to wait for them.
int emit_row(ks_extr_t *ex, const RowValues &rv, const char *what, const ks_chain_piece_t *crp, Undo *u) {
  const int rc = insert_row(ex, rv, what, &u->done);
  return rc == kWait ? wait_for_lobs(ex, rv, crp, u) : rc;
}

// After a block: when its changes cannot be taken now, the chain buffer goes back to
// what it was before it (the record is read again); else the rows it completed (or found
// broken) are released, last entry first, since clearing an entry beyond the header's
// moves the last one into its place.
int finish_block(ks_extr_t *ex, Undo *u, int rc) {
  if (is_rc_hold(rc)) {
    for (auto it = u->saved.rbegin(); it != u->saved.rend(); ++it)
      ks_chain_unsave(ks_chain_of(ex), it->first, it->second);
    return rc;
  }
  std::sort(u->done.begin(), u->done.end());
  u->done.erase(std::unique(u->done.begin(), u->done.end()), u->done.end());
  for (auto it = u->done.rbegin(); it != u->done.rend(); ++it) {
    KS_DETAIL("free DP chained record memory (# of record: %u)", ks_chain_get_row(ks_chain_of(ex), *it).nrec);
    ks_chain_clear_row(ks_chain_of(ex), *it);
  }
  return rc;
}

int assemble(ks_extr_t *ex, const uint8_t *data, uint32_t dlen, ks_chain_piece_t *crp, int *cip, Undo *u);

// The table the load's 24.6 named made the miner's, with its transaction: 0, -9 when it
// is not captured, -1 (logged) without a transaction.
int load_table(ks_extr_t *ex) {
  if (int rc = ks_llb_table(ex, ex->m->objn); rc != 0) return rc;
  if (ex->m->xid == 0) {
    KS_ERROR("no XID parsed before.");
    return -1;
  }
  return 0;
}

}  // namespace

int ks_save_row_piece(ks_extr_t *ex, const uint8_t *data, int dlen, ks_chain_piece_t *crp, int *ci) {
  ks_miner_t *m = ex->m;
  ks_chain_ctx_t *c = ks_chain_of(ex);
  ks_chain_meta_t first{};
  first.xid = m->xid;
  first.rba_sqn = m->rba.sqn;
  first.rba_blk = m->rba.blk;
  first.rba_byt = static_cast<uint16_t>(m->rba.byt);
  crp->flag |= KS_CP_DP;
  if (ks_chain_save_piece(c, crp, data, dlen, 0, &first, ci) < 0) return -1;
  KS_DETAIL("save row piece, rowid: 0x%04x.%x, next rowid: 0x%04x.%x", crp->pc_rdba, crp->pc_slot, crp->rn_rdba,
            crp->rn_slot);
  return 0;
}

void ks_clear_dp_cr(ks_extr_t *ex, ks_chain_piece_t *crp) {
  ks_chain_ctx_t *c = ks_chain_of(ex);
  int ci = ks_chain_find_piece(c, crp);
  if (ci < 0) ci = dp_row_before(c, crp->pc_rdba, crp->pc_slot);
  if (ci < 0) return;
  const uint32_t n = ks_chain_get_row(c, ci).nrec;
  ks_chain_clear_row(c, ci);
  KS_DETAIL("free DP chained record memory (# of record: %u)", n);
}

int ks_assemble_dp_chain(ks_extr_t *ex, const uint8_t *data, uint32_t dlen, ks_chain_piece_t *crp, int *cip) {
  Undo u;
  const int rc = assemble(ex, data, dlen, crp, cip, &u);
  return finish_block(ex, &u, rc);
}

namespace {
int assemble(ks_extr_t *ex, const uint8_t *data, uint32_t dlen, ks_chain_piece_t *crp, int *cip, Undo *u) {
  ks_miner_t *m = ex->m;
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  KS_DETAIL("last piece rowid: 0x%04x.%x", crp->pc_rdba, crp->pc_slot);
  ks_chain_ctx_t *c = ks_chain_of(ex);
  const int ci = dp_row_before(c, crp->pc_rdba, crp->pc_slot);
  *cip = ci;
  if (ci < 0) {
    KS_ERROR("the first piece lost.");
    return -1;
  }
  const ks_chain_row_t row = ks_chain_get_row(c, ci);
  std::vector<ks_chain_piece_t> pcs(row.nrec);
  const int n = ks_chain_pieces(c, ci, pcs.data(), static_cast<int>(pcs.size()));
  if (n <= 0 || !(pcs[0].rfb & R::KS_REDO_ROW_FIRST)) {
    KS_ERROR("the first piece lost.");
    return -1;
  }
  RowValues rv;
  rv.v.assign(ks_tab(ex)->ncol, Value{});
  std::vector<std::vector<uint8_t>> own;
  std::vector<uint8_t> buf;
  for (int k = 0; k < n; k++) {
    const ks_chain_piece_t &p = pcs[static_cast<size_t>(k)];
    buf.resize(static_cast<size_t>(std::max<uint16_t>(p.blks, 1)) * KS_CHAIN_BLK_SZ);
    Piece pc;
    if (ks_chain_piece_data(c, ci, &p, buf.data(), buf.size()) < 0 ||
        read_piece(buf.data(), static_cast<uint32_t>(buf.size()), big, &pc) < 0) {
      KS_ERROR("saved DP row piece 0x%04x.%x unreadable.", p.pc_rdba, p.pc_slot);
      return -1;
    }
    // The saved bytes are read again below: keep them apart from the next piece's.
    own.emplace_back(pc.p, pc.p + pc.len);
    read_piece(own.back().data(), pc.len, big, &pc);
    const ks_chain_piece_t *next = k + 1 < n ? &pcs[static_cast<size_t>(k + 1)] : crp;
    if (pc.next_dba != next->pc_rdba || pc.next_slot != next->pc_slot) {
      KS_ERROR("next piece lost.");
      return -1;
    }
    if (rv.take(ex, pc, big, &own) < 0) return -1;
    KS_DETAIL("next rowid: 0x%04x.%x", pc.next_dba, pc.next_slot);
  }
  Piece last;
  if (read_piece(data, dlen, big, &last) < 0 || rv.take(ex, last, big, &own) < 0) return -1;
  if (int rc = emit_row(ex, rv, "DP chained", crp, u); rc < 0) return rc;
  KS_DETAIL("append DP chained LCR (XID: %d.%d.%d)", KS_XID_ARGS(m->xid));
  return 0;
}
}  // namespace

int ks_parse_data_block(ks_extr_t *ex, uint8_t *blk, uint32_t blen, ks_chain_piece_t *crp) {
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (int rc = load_table(ex); rc != 0) return rc;
  Layout l;
  if (layout(blk, blen, big, &l) < 0) {
    KS_ERROR("block image 0x%08x too short for its header (%u bytes).", crp->pc_rdba, blen);
    return -1;
  }
  if (l.ntab >= 2) {
    KS_ERROR("cluster table block.");
    return -1;
  }
  // The free row-slot chain: each free entry holds the next free one.
  std::vector<uint16_t> dir(static_cast<size_t>(l.nslot));
  for (int s = 0; s < l.nslot; s++) dir[static_cast<size_t>(s)] = ks::load16(l.dir + 2 * s, big);
  for (int s = l.free_head, k = 0; s >= 0 && s < l.nslot && k < l.nslot; k++) {
    const uint16_t next = dir[static_cast<size_t>(s)];
    dir[static_cast<size_t>(s)] = 0xFFFF;
    s = next == 0xFFFF ? -1 : static_cast<int16_t>(next);
  }
  const bool lobs = (ks_tab(ex)->flag & KS_TAB_LOB) != 0;
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  const int ntc = static_cast<int>(t->ncol);
  bool direct = !lobs;  // whole rows written as they are read
  for (int i = 0; i < ntc && direct; i++) direct = cols[i].scid == static_cast<uint32_t>(i + 1);
  Quick q;
  q.start(ex);
  Undo u;
  std::vector<std::vector<uint8_t>> own;
  RowValues rv;
  int rc = 0;
  for (int s = 0; s < l.nslot && rc == 0; s++) {
    const uint16_t off = dir[static_cast<size_t>(s)];
    if (off == 0xFFFF) continue;
    Piece pc;
    if (off >= l.dh_room || read_piece(l.dh + off, l.dh_room - off, big, &pc, direct) < 0) {
      KS_ERROR("row %d of block image 0x%08x goes past the block.", s, crp->pc_rdba);
      rc = -1;
      break;
    }
    if (pc.fb & R::KS_REDO_ROW_DELETED) continue;
    crp->pc_slot = static_cast<uint16_t>(s);
    const bool first = (pc.fb & R::KS_REDO_ROW_FIRST) != 0, last = (pc.fb & R::KS_REDO_ROW_LAST) != 0;
    if (first && last && direct) {
      if (qmi_direct(&q.lb, cols, ntc, pc, big) < 0) {
        rc = -1;
        break;
      }
      q.rows++;
      continue;
    }
    if (first && last) {
      rv.v.assign(ks_tab(ex)->ncol, Value{});
      rv.scid = 1;
      own.clear();
      if (rv.take(ex, pc, big, &own) < 0) {
        rc = -1;
      } else if (lobs) {
        rc = emit_row(ex, rv, "DP INSERT", crp, &u);  // LOB values need their locators decoded
      } else {
        qmi_row(ex, &q.lb, rv);
        q.rows++;
      }
      continue;
    }
    if (!last) {
      // A piece of a row going on in a later block: the first one opens the row in the
      // chain buffer, the others join the row whose last piece names them.
      crp->rfb = pc.fb;
      crp->rn_rdba = pc.next_dba;
      crp->rn_slot = pc.next_slot;
      crp->cr_rdba = crp->pc_rdba;
      crp->cr_slot = crp->pc_slot;
      if (!first) {
        const int ci = dp_row_before(ks_chain_of(ex), crp->pc_rdba, crp->pc_slot);
        if (ci < 0) {
          KS_ERROR("the first piece lost.");
          rc = -1;
          break;
        }
        const ks_chain_row_t r = ks_chain_get_row(ks_chain_of(ex), ci);
        crp->cr_rdba = r.cr_rdba;
        crp->cr_slot = r.cr_slot;
      }
      int ci = -1;
      if (ks_save_row_piece(ex, pc.p, static_cast<int>(pc.len), crp, &ci) < 0) {
        KS_ERROR("save row piece error.");
        rc = KS_RC_HOLD;  // the record comes again once the chain buffer can take it
        break;
      }
      u.saved.emplace_back(ci, static_cast<int>(pc.len));
      continue;
    }
    // The last piece of a chained row: the rows so far go first.
    if ((rc = q.flush(ex)) < 0) break;
    int ci = -1;
    const int arc = assemble(ex, pc.p, pc.len, crp, &ci, &u);
    q.start(ex);  // the chained row's INSERT was built where the QUICK INSERT is
    if (is_rc_hold(arc)) {
      rc = arc;
      break;
    }
    if (arc < 0) {
      KS_ERROR("assemble DP chained row error.");
      rc = -1;
    }
    if (ci >= 0) u.done.push_back(ci);
  }
  if (rc == 0) rc = q.flush(ex);
  return finish_block(ex, &u, rc);
}

int ks_parse_load_lob(ks_extr_t *ex, uint8_t *blk, uint32_t blen, uint32_t dba) {
  ks_miner_t *m = ex->m;
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (int rc = load_table(ex); rc != 0) return rc;
  if (blen < R::KS_LOB_BLK_DATA || ks::load32(blk + R::KS_LOB_BLK_BYTES, big) > blen - R::KS_LOB_BLK_DATA) {
    KS_ERROR("LOB block image 0x%08x of a load shorter than its data (%u bytes).", dba, blen);
    return -1;
  }
  const int keep = static_cast<int>(R::KS_LOB_BLK_DATA + ks::load32(blk + R::KS_LOB_BLK_BYTES, big));
  ks_chain_ctx_t *c = ks_chain_of(ex);
  Undo u;
  if (ks_chain_find(c, dba, KS_DP_LOB_SLOT) < 0) {  // not saved already by a first reading
    ks_chain_piece_t p{};
    p.cr_rdba = p.pc_rdba = dba;
    p.cr_slot = p.pc_slot = KS_DP_LOB_SLOT;
    int ci = -1;
    if (ks_save_row_piece(ex, blk, keep, &p, &ci) < 0) return KS_RC_HOLD;
    u.saved.emplace_back(ci, keep);
  }
  // Rows of the load that came before their LOB blocks: the one naming this block may be
  // complete now.
  int rc = 0;
  std::vector<uint8_t> buf;
  for (int ci = 0; ci < ks_chain_rows(c) && rc == 0; ci++) {
    const ks_chain_row_t r = ks_chain_get_row(c, ci);
    if (!r.dlen || r.cr_slot == KS_DP_LOB_SLOT || !(r.cr_slot & KS_DP_WAIT_SLOT) || !(r.flag & KS_CP_DP) ||
        ks_chain_get_meta(c, ci).xid != m->xid)
      continue;
    RowValues rv;
    uint32_t objn = 0;
    const int wrc = waiting_row(ex, ci, &buf, &objn, &rv);
    if (wrc == 0 && objn != m->objn) continue;  // another load's row
    if (wrc < 0 || rv.v.size() != ks_tab(ex)->ncol) {
      u.done.push_back(ci);
      rc = -1;
      break;
    }
    if (!names_block(ex, rv, dba)) continue;
    const size_t before = u.done.size();
    rc = insert_row(ex, rv, "DP INSERT", &u.done);
    if (rc == kWait) {
      rc = 0;  // another of its blocks is still to come
    } else if (rc == 0 || rc == -1) {
      u.done.push_back(ci);
    } else {
      u.done.resize(before);
    }
  }
  return finish_block(ex, &u, rc);
}

bool ks_dp_lob_unjoined(ks_extr_t *ex, int ci, bool commit) {
  ks_chain_ctx_t *c = ks_chain_of(ex);
  const ks_chain_row_t r = ks_chain_get_row(c, ci);
  if (!(r.flag & KS_CP_DP) || !(r.cr_slot & KS_DP_WAIT_SLOT)) return false;
  if (!commit) return true;
  ks_miner_t *m = ex->m;
  const ks_miner_t keep = *m;
  const ks_chain_meta_t meta = ks_chain_get_meta(c, ci);
  int ti = -1;
  if (r.cr_slot == KS_DP_LOB_SLOT) {
    KS_ERROR(
        "LOB block 0x%08x of a direct-path load joined no row by the commit of transaction %d.%d.%d: its data "
        "from rba=%06x.%08x.%04x dropped.",
        r.cr_rdba, KS_XID_ARGS(meta.xid), meta.rba_sqn, meta.rba_blk, meta.rba_byt);
  } else {
    std::vector<uint8_t> buf;
    RowValues rv;
    uint32_t objn = 0;
    if (waiting_row(ex, ci, &buf, &objn, &rv) == 0 && ks_llb_table(ex, objn) == 0) ti = m->ti;
    KS_ERROR(
        "row 0x%04x.%x of a direct-path load still waits for its LOB blocks at the commit of transaction "
        "%d.%d.%d: the row from rba=%06x.%08x.%04x dropped.",
        r.cr_rdba, r.cr_slot & ~KS_DP_WAIT_SLOT, KS_XID_ARGS(meta.xid), meta.rba_sqn, meta.rba_blk, meta.rba_byt);
  }
  *m = keep;
  m->rba = ks_rba_t{meta.rba_sqn, meta.rba_blk, meta.rba_byt};
  ks_not_captured(ex, KS_NC_LOB, ti, 19, 1);
  m->rba = keep.rba;
  return true;
}

int ks_parse_direct_insert(ks_extr_t *ex, uint8_t *blk, uint32_t blen, ks_chain_piece_t *crp) {
  if (blen == 0 || blk[0] != 1) return 0;  // not a transaction-managed data block
  return ks_parse_data_block(ex, blk, blen, crp);
}
