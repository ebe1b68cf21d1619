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

// Whether a LOB locator names data stored out of the row: a load logs that data in LOB
// blocks that no LOB operation describes, so the row's LOB cannot be filled from them.
bool lob_out_of_row(const Value &x) {
  if (x.null || x.len < 8) return false;
  if (x.p[7] < 0x80) return x.len <= 20;
  return x.len <= 22 || !(x.p[22] & 0x08);
}

// A row as one INSERT (LOB locators decoded into their data), in the LCR area or in big
// when it may not fit there; a LOB kept out of the row is reported (the row goes with it
// empty). 0, -1, or KS_RC_HOLD / KS_RC_STOP.
int insert_row(ks_extr_t *ex, const RowValues &rv, const char *what) {
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  size_t need = 4096 + static_cast<size_t>(t->ncol) * (KS_LCR_CH_SZ + KS_DICT_NAME_SZ);
  for (const Value &x : rv.v) need += x.len;
  std::vector<uint8_t> big;
  ks_lcr_b lb;
  if (need <= KS_BUF_LCR_SZ) {
    ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_INSERT);
  } else {
    big.resize(need);
    ks_lcr_start(ex, &lb, ex->m->ti, KS_OPC_INSERT, big.data(), static_cast<uint32_t>(need));
  }
  uint32_t n = 0;
  bool lob_lost = false;
  for (uint32_t i = 0; i < t->ncol; i++) {
    const ks_dict_col_t *c = &cols[i];
    if (c->flag & KS_COL_NOCAPTURE) continue;
    const Value &x = rv.v[i];
    lob_lost |= ks_is_lob(c->ctyp) && lob_out_of_row(x);
    if (ks_lcr_value(&lb, c, ks_col_flag(c, false), const_cast<uint8_t *>(x.p), x.null ? 0 : x.len) < 0) return -1;
    n++;
  }
  reinterpret_cast<ks_lcr_rh_t *>(lb.base)->nnew = n;
  if (lb.overflow) {
    KS_ERROR("%s LCR larger than the LCR buffer (XID: %d.%d.%d).", what, KS_XID_ARGS(ex->m->xid));
    return -1;
  }
  reinterpret_cast<ks_lcr_rh_t *>(lb.base)->rlen = lb.pos;
  const int rc = ks_redo_append(ex, reinterpret_cast<ks_lcr_rh_t *>(lb.base));
  if (rc == 0 && lob_lost) ks_not_captured(ex, KS_NC_LOB, ex->m->ti, 19, 1);
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
  if (int rc = insert_row(ex, rv, "DP chained"); rc < 0) return rc;
  KS_DETAIL("append DP chained LCR (XID: %d.%d.%d)", KS_XID_ARGS(m->xid));
  return 0;
}

int ks_parse_data_block(ks_extr_t *ex, uint8_t *blk, uint32_t blen, ks_chain_piece_t *crp) {
  ks_miner_t *m = ex->m;
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (int rc = ks_llb_table(ex, m->objn); rc != 0) return rc;
  if (m->xid == 0) {
    KS_ERROR("no XID parsed before.");
    return -1;
  }
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
        rc = insert_row(ex, rv, "DP INSERT");  // LOB values need their locators decoded
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
    const int arc = ks_assemble_dp_chain(ex, pc.p, pc.len, crp, &ci);
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
  if (is_rc_hold(rc)) {
    // Read again later: the chain buffer goes back to what it was before this block.
    for (auto it = u.saved.rbegin(); it != u.saved.rend(); ++it)
      ks_chain_unsave(ks_chain_of(ex), it->first, it->second);
    return rc;
  }
  // Rows completed (or found broken) by this block are released, last entry first, since
  // clearing an entry beyond the header's moves the last one into its place.
  std::sort(u.done.begin(), u.done.end());
  u.done.erase(std::unique(u.done.begin(), u.done.end()), u.done.end());
  for (auto it = u.done.rbegin(); it != u.done.rend(); ++it) {
    KS_DETAIL("free DP chained record memory (# of record: %u)", ks_chain_get_row(ks_chain_of(ex), *it).nrec);
    ks_chain_clear_row(ks_chain_of(ex), *it);
  }
  return rc;
}

int ks_parse_direct_insert(ks_extr_t *ex, uint8_t *blk, uint32_t blen, ks_chain_piece_t *crp) {
  if (blen == 0 || blk[0] != 1) return 0;  // not a transaction-managed data block
  return ks_parse_data_block(ex, blk, blen, crp);
}
