// Chained and migrated rows: once the record with the last piece of a row change has
// been saved, the change is built from all the records kept for the row, as one INSERT,
// UPDATE or DELETE with every value whole, followed by LONG WRITE records for in-line
// values too long to travel in the change itself. The pieces are read the same way
// whether they wait in the region or were spilled to files. Invariants: every field is
// read through a vector checked against its own record; a value split over pieces is
// joined before it is judged; an old value is never cut (a value longer than an in-line
// value stays whole rather than carry a length its bytes do not have); nothing of a row
// is released until its change has been taken or refused for good.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

namespace {

constexpr uint32_t kInline = 4000;  // longest value carried in the change itself

// One saved record of the row, with its undo and row redo vectors.
struct Piece {
  ks_chain_piece_t p{};
  uint8_t *rec = nullptr;  // the record: in the region, or in own (spilled rows)
  size_t cap = 0;
  std::vector<uint8_t> own;
  uint64_t scn = 0;
  ks_cv_t *ucv = nullptr, *rcv = nullptr;  // views from the pool below
  ks_cv_t *lcv = nullptr;                  // the leaf redo of an index-organised row
  int rop = 0;                             // code of the layer-11 redo vector
  int uop = 0;                             // the undo's own row operation
  bool used = false;
};

struct Part {
  const uint8_t *p;
  uint32_t n;
};

// A column value as found in the pieces: its first part, and the parts that continue it
// in later pieces.
struct Val {
  int scid;
  Part first;
  uint32_t len = 0;
  bool whole = false;  // from a whole row part, not from a list of changed columns
  std::vector<Part> more;
  template <class F>
  void each(F f) const {
    f(first);
    for (const Part &p : more) f(p);
  }
};

bool same_value(const Val &a, const Val &b) {
  if (a.len != b.len) return false;
  if (a.more.empty() && b.more.empty()) return a.len == 0 || std::memcmp(a.first.p, b.first.p, a.len) == 0;
  std::vector<uint8_t> x, y;
  a.each([&](const Part &p) { x.insert(x.end(), p.p, p.p + p.n); });
  b.each([&](const Part &p) { y.insert(y.end(), p.p, p.p + p.n); });
  return x == y;
}

bool same_rid(uint32_t a, uint16_t as, uint32_t b, uint16_t bs) { return a == b && as == bs; }

// Views of the vectors of the records being assembled, kept from one row to the next: a
// view is large, and the parsing thread builds one row at a time.
std::vector<std::unique_ptr<ks_cv_t>> x_cv_pool;
size_t x_cv_used = 0;

ks_cv_t *take_cv() {
  if (x_cv_used == x_cv_pool.size()) x_cv_pool.emplace_back(new ks_cv_t);  // filled before it is read
  return x_cv_pool[x_cv_used++].get();
}

// Finds the undo and the row redo vector of a saved record.
int open_record(ks_extr_t *ex, Piece *pc) {
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  uint8_t *r = pc->rec;
  const size_t cap = pc->cap;
  if (cap < static_cast<size_t>(R::KS_REDO_RH_SIZE)) return -1;
  uint32_t rlen = ks::load32(r + R::KS_REDO_RH_LENGTH, big);
  const int hsz = R::record_header_size(r[R::KS_REDO_RH_VLD]);
  if (rlen > cap || rlen < static_cast<uint32_t>(hsz)) return -1;
  pc->scn = (static_cast<uint64_t>(ks::load16(r + R::KS_REDO_RH_SCN_WRAP, big)) << 32) |
            ks::load32(r + R::KS_REDO_RH_SCN_BASE, big);
  uint8_t *v = r + hsz, *end = r + rlen;
  ks_cv_t *cv = take_cv();
  while (v < end) {
    if (ks_cv_open(cv, v, static_cast<uint32_t>(end - v), ex->l->vhsz, big) < 0) return -1;
    const uint32_t size = cv->size;
    const uint8_t layer = v[R::KS_REDO_CV_LAYER], code = v[R::KS_REDO_CV_CODE];
    if (layer == 5 && code == 1 && !pc->ucv) {
      pc->ucv = cv;
      cv = take_cv();
    } else if (layer == 11 && pc->ucv && !pc->rcv) {
      pc->rop = code;
      pc->rcv = cv;
      cv = take_cv();
    } else if (layer == 10 && pc->ucv && !pc->lcv) {
      pc->lcv = cv;
      cv = take_cv();
    }
    v += size;
  }
  if (pc->ucv) {
    const uint8_t *f4 = ks_cv_field(pc->ucv, 4, R::KS_REDO_KDO_OP + 1);
    if (f4) pc->uop = f4[R::KS_REDO_KDO_OP] & R::KS_REDO_KDO_OP_MASK;
  }
  return 0;
}

// The pieces of row ci in save order, records opened; forwarding-address pieces are
// applied to the pieces saved before them and left out. 0 / -1 (logged).
int load_pieces(ks_extr_t *ex, int ci, std::vector<Piece> *out) {
  const ks_chain_row_t row = ks_chain_get_row(&x_chain, ci);
  std::vector<ks_chain_piece_t> ps(row.nrec + 1);
  int n = ks_chain_pieces(&x_chain, ci, ps.data(), static_cast<int>(ps.size()));
  if (n < 0) {
    KS_ERROR("read the pieces of chained row (%x.%x) error.", row.cr_rdba, row.cr_slot);
    return -1;
  }
  out->clear();
  out->reserve(static_cast<size_t>(n));
  x_cv_used = 0;
  for (int k = 0; k < n; ++k) {
    const ks_chain_piece_t &p = ps[static_cast<size_t>(k)];
    if (p.flag & KS_CP_CFA) {
      for (Piece &q : *out)
        if (same_rid(q.p.pc_rdba, q.p.pc_slot, p.pc_rdba, p.pc_slot)) {
          q.p.rn_rdba = p.rn_rdba;
          q.p.rn_slot = p.rn_slot;
          if (p.un_rdba || p.un_slot) {
            q.p.un_rdba = p.un_rdba;
            q.p.un_slot = p.un_slot;
          }
        }
      continue;
    }
    Piece pc;
    pc.p = p;
    pc.cap = static_cast<size_t>(p.blks) * KS_CHAIN_BLK_SZ;
    pc.rec = ks_chain_piece_mem(&x_chain, ci, &p);
    if (!pc.rec) {
      pc.own.resize(pc.cap);
      pc.rec = pc.own.data();
      if (ks_chain_piece_data(&x_chain, ci, &p, pc.rec, pc.cap) < 0) pc.cap = 0;
    }
    if (open_record(ex, &pc) < 0) {
      KS_ERROR("saved record of chained row (%x.%x) unreadable.", row.cr_rdba, row.cr_slot);
      return -1;
    }
    out->push_back(std::move(pc));
  }
  return 0;
}

// Transaction, object, table and SCN of the change from its first saved record; -9 when
// the table is not captured.
int header(ks_extr_t *ex, const std::vector<Piece> &pcs) {
  const Piece *first = nullptr;
  for (const Piece &pc : pcs)
    if (pc.ucv) {
      first = &pc;
      break;
    }
  if (!first) {
    KS_ERROR("record not include undo vector.");
    return -1;
  }
  const ks_cv_t *cv = first->ucv;
  const uint8_t *f1 = ks_cv_field(cv, 1, R::KS_REDO_UBH_SIZE);
  const uint8_t *f2 = ks_cv_field(cv, 2, R::KS_REDO_URI_OBJN + 4);
  if (!f1 || !f2) {
    KS_ERROR("record not include undo vector.");
    return -1;
  }
  ks_miner_t *m = ex->m;
  m->xid = R::make_xid(ks::load16(f1 + R::KS_REDO_UBH_USN, cv->big), ks::load16(f1 + R::KS_REDO_UBH_SLOT, cv->big),
                       ks::load32(f1 + R::KS_REDO_UBH_SQN, cv->big));
  m->pxid = m->xid;
  m->objn = ks::load32(f2 + R::KS_REDO_URI_OBJN, cv->big);
  m->scn = first->scn;
  int ti = ks_lookup_table(ex->d, static_cast<int>(m->objn));
  if (ti < 0 || (ex->d->tab[ti].flag & KS_TAB_ALIAS)) return -9;
  m->ti = ti;
  return 0;
}

int find_piece(const std::vector<Piece> &pcs, uint32_t rdba, uint16_t slot) {
  for (size_t i = 0; i < pcs.size(); ++i)
    if (!pcs[i].used && same_rid(pcs[i].p.pc_rdba, pcs[i].p.pc_slot, rdba, slot)) return static_cast<int>(i);
  return -1;
}

// The columns of one row part (header field hk: row flag, column count; values from
// field hk + 1 on), joined to the value the previous piece left open. 0 / -1.
int row_part(const ks_cv_t *cv, int hk, int *scid, bool *open, uint8_t *fbo, std::vector<Val> *vals) {
  const uint8_t *h = ks_cv_field(cv, hk, R::KS_REDO_IRP_COLUMNS + 1);
  if (!h) return -1;
  const uint8_t fb = h[R::KS_REDO_KDO_FLAG];
  const int cc = h[R::KS_REDO_IRP_COLUMNS];
  for (int i = 0; i < cc; ++i) {
    const int k = hk + 1 + i;
    if (k > cv->nf) {
      KS_ERROR("chained row piece column %d of %d missing.", i + 1, cc);
      return -1;
    }
    Part part{cv->v + cv->off[k], cv->len[k]};
    if (i == 0 && (fb & R::KS_REDO_ROW_PREV_CONT) && *open && !vals->empty()) {
      // The piece starts with the rest of the previous piece's last value, whose column
      // its first segment column id names.
      vals->back().more.push_back(part);
      vals->back().len += part.n;
      *scid = vals->back().scid + 1;
    } else {
      vals->push_back(Val{(*scid)++, part, part.n, true, {}});
    }
  }
  *open = cc > 0 && (fb & R::KS_REDO_ROW_NEXT_CONT);
  *fbo = fb;
  return 0;
}

// Walks a whole row from its head piece along the next-piece row ids of one side (redo
// for the new image, undo for the old one). 0 / -1 (logged).
int walk_row(std::vector<Piece> *pcs, int head, bool redo, std::vector<Val> *vals) {
  const Piece &h = (*pcs)[static_cast<size_t>(head)];
  const uint32_t hdba = h.p.pc_rdba;
  const uint16_t hslot = h.p.pc_slot;
  int scid = redo ? (h.p.redo_scid ? h.p.redo_scid : 1) : (h.p.undo_scid ? h.p.undo_scid : 1);
  bool open = false;
  for (int cur = head; cur >= 0;) {
    Piece &pc = (*pcs)[static_cast<size_t>(cur)];
    pc.used = true;
    const int op = redo ? pc.rop : pc.uop;
    const ks_cv_t *cv = redo ? pc.rcv : pc.ucv;
    if (!cv || (op != R::KS_REDO_OP_IRP && op != R::KS_REDO_OP_ORP)) {
      KS_ERROR(redo ? "record not include IRP vector." : "record not include undo vector.");
      return -1;
    }
    uint8_t fb = 0;
    if (row_part(cv, redo ? 2 : 4, &scid, &open, &fb, vals) < 0) return -1;
    KS_DETAIL("fb=%02x, cc=%d", fb, static_cast<int>(vals->size()));
    if (fb & R::KS_REDO_ROW_LAST) return 0;
    const uint32_t nd = redo ? pc.p.rn_rdba : pc.p.un_rdba;
    const uint16_t ns = redo ? pc.p.rn_slot : pc.p.un_slot;
    if (nd == 0 && ns == 0) return 0;
    cur = find_piece(*pcs, nd, ns);
    if (cur < 0 && !same_rid(nd, ns, hdba, hslot)) {
      KS_ERROR("next chained piece not found.");
      return -1;
    }
  }
  return 0;
}

// Head piece of the row: the piece whose row flag (redo side for an insert, undo side for
// a delete) says so; crp itself first.
int head_piece(const std::vector<Piece> &pcs, const ks_chain_piece_t *crp, bool redo) {
  int found = -1;
  for (size_t i = 0; i < pcs.size(); ++i) {
    const uint8_t fb = redo ? pcs[i].p.rfb : pcs[i].p.ufb;
    if (!(fb & R::KS_REDO_ROW_HEAD)) continue;
    if (same_rid(pcs[i].p.pc_rdba, pcs[i].p.pc_slot, crp->pc_rdba, crp->pc_slot)) return static_cast<int>(i);
    if (found < 0) found = static_cast<int>(i);
  }
  if (found < 0) KS_ERROR("head piece not found.");
  return found;
}

// The supplemental columns of the first piece that logs them, as values of their own
// segment column ids; absent lengths of 0xFFFF are NULL. 0 / -1.
int sup_columns(const std::vector<Piece> &pcs, std::vector<Val> *vals) {
  for (const Piece &pc : pcs) {
    if (!pc.p.nsc || !pc.ucv) continue;
    const ks_cv_t *cv = pc.ucv;
    const int k = ks_undo_sup_index(cv);
    const uint8_t *s = ks_cv_field(cv, k, R::KS_REDO_SUP_SIZE);
    if (!s) continue;
    const int nsc = ks::load16(s + R::KS_REDO_SUP_COLUMNS, cv->big);
    const uint8_t *nums = ks_cv_field(cv, k + 1, static_cast<uint32_t>(2 * nsc));
    const uint8_t *lens = ks_cv_field(cv, k + 2, static_cast<uint32_t>(2 * nsc));
    if (!nums || !lens || k + 2 + nsc > cv->nf) {
      KS_ERROR("supplemental log columns incomplete (%d columns).", nsc);
      return -1;
    }
    for (int i = 0; i < nsc; ++i) {
      const int fk = k + 3 + i;
      const bool null = ks::load16(lens + 2 * i, cv->big) == R::KS_REDO_SUP_NULL_LENGTH;
      Part part{cv->v + cv->off[fk], null ? 0u : cv->len[fk]};
      vals->push_back(Val{ks::load16(nums + 2 * i, cv->big), part, part.n, false, {}});
    }
    return 0;
  }
  return 0;
}

// Builds the record in the LCR area, or in a buffer of its own when the row's values may
// not fit there.
struct Builder {
  std::vector<uint8_t> big;
  ks_lcr_b lb{};
  std::vector<const Val *> longs;  // values sent as LONG WRITE records after the change
  std::vector<uint8_t> join;

  ks_lcr_rh_t *start(ks_extr_t *ex, uint32_t opc, const std::vector<Piece> &pcs) {
    size_t need = 4096;
    for (const Piece &pc : pcs) need += pc.cap;
    const ks_dict_tab_t *t = ks_tab(ex);
    need = 2 * need + 2 * static_cast<size_t>(t->ncol) * (KS_LCR_CH_SZ + KS_DICT_NAME_SZ);
    if (need <= KS_BUF_LCR_SZ) return ks_lcr_start(ex, &lb, ex->m->ti, opc);
    big.resize(need);
    return ks_lcr_start(ex, &lb, ex->m->ti, opc, big.data(), static_cast<uint32_t>(need));
  }

  const uint8_t *bytes(const Val &v) {
    if (v.more.empty()) return v.first.p;
    join.clear();
    v.each([&](const Part &p) { join.insert(join.end(), p.p, p.p + p.n); });
    return join.data();
  }

  // Entries for vals (old image: key flags; LONG and LOB values left out), then NULL
  // entries for the dictionary columns after the last one when trailing. The number of
  // entries goes to *n. 0 / -1.
  int values(ks_extr_t *ex, const std::vector<Val> &vals, bool old, bool trailing, uint32_t *n) {
    const ks_dict_tab_t *t = ks_tab(ex);
    ks_dict_col_t *cols = ks_tab_cols(ex);
    const int ntc = static_cast<int>(t->ncol);
    int pos = 0;
    for (const Val &v : vals) {
      const int ci = ks_get_column(cols, ntc, v.scid);
      if (ci < 0) return ks_no_column(ex, v.scid);
      pos = std::max(pos, ci + 1);
      const ks_dict_col_t *c = &cols[ci];
      if (c->flag & KS_COL_NOCAPTURE) continue;
      const uint32_t f = ks_col_flag(c, old);
      if (v.len == 0) {
        ks_lcr_col(&lb, c, f | KS_CH_NULL, nullptr, 0);
      } else if (old && ks_is_long_or_lob(c->ctyp)) {
        continue;
      } else if (!old && v.len > kInline) {
        ks_lcr_col(&lb, c, f | KS_CH_DYNAMIC, nullptr, 0);
        longs.push_back(&v);
      } else if (ks_lcr_value(&lb, c, f, const_cast<uint8_t *>(bytes(v)), v.len) < 0) {
        return -1;
      }
      (*n)++;
    }
    for (int i = pos; trailing && i < ntc; ++i) {
      const ks_dict_col_t *c = &cols[i];
      if (c->flag & KS_COL_NOCAPTURE) continue;
      ks_lcr_col(&lb, c, ks_col_flag(c, old) | KS_CH_NULL, nullptr, 0);
      (*n)++;
    }
    return 0;
  }

  ks_lcr_rh_t *rh() { return reinterpret_cast<ks_lcr_rh_t *>(lb.base); }

  // Appends the change, then each long value as LONG WRITE records, one per part, and
  // the record that closes them.
  int finish(ks_extr_t *ex, const char *what) {
    rh()->rlen = lb.pos;
    if (lb.overflow) {
      KS_ERROR("%s LCR larger than the LCR buffer (XID: %d.%d.%d).", what, KS_XID_ARGS(ex->m->xid));
      return -1;
    }
    if (ks_redo_append(ex, rh()) < 0) return -1;
    KS_DETAIL("append chained %s LCR (XID: %d.%d.%d)", what, KS_XID_ARGS(ex->m->xid));
    if (longs.empty()) return 0;
    ks_lcr_b l{};
    std::vector<Part> parts;
    for (const Val *v : longs) v->each([&](const Part &p) { parts.push_back(p); });
    for (const Part &p : parts) {
      ks_lcr_start(ex, &l, ex->m->ti, KS_OPC_LONG_WRITE);
      raw(&l, p.p, p.n);
      if (l.overflow) return -1;
      reinterpret_cast<ks_lcr_rh_t *>(l.base)->rlen = l.pos;
      if (ks_redo_append(ex, reinterpret_cast<ks_lcr_rh_t *>(l.base)) < 0) return -1;
      KS_DETAIL("append LONG piece LCR (size: %d)", static_cast<int>(p.n));
    }
    ks_lcr_start(ex, &l, ex->m->ti, KS_OPC_LONG_WRITE);
    reinterpret_cast<ks_lcr_rh_t *>(l.base)->flag |= KS_RH_LONG_END;
    raw(&l, nullptr, 0);
    reinterpret_cast<ks_lcr_rh_t *>(l.base)->rlen = l.pos;
    if (ks_redo_append(ex, reinterpret_cast<ks_lcr_rh_t *>(l.base)) < 0) return -1;
    KS_DETAIL("append LONG END LCR (XID: %d.%d.%d)", KS_XID_ARGS(ex->m->xid));
    return 0;
  }

  // A column entry with no name and no description: one part of a long value.
  static void raw(ks_lcr_b *l, const uint8_t *p, uint32_t n) {
    if (l->overflow || KS_LCR_CH_SZ + n > l->cap - l->pos) {
      l->overflow = true;
      return;
    }
    ks_lcr_ch_t ch{};
    ch.alen = KS_LCR_CH_SZ + n;
    ch.dlen = n;
    std::memcpy(l->base + l->pos, &ch, sizeof ch);
    if (n) std::memcpy(l->base + l->pos + KS_LCR_CH_SZ, p, n);
    l->pos += ch.alen;
  }
};

bool cluster_member(uint8_t fb) { return (fb & R::KS_REDO_ROW_CLUSTER_MEMBER) != 0; }

int assemble_insert(ks_extr_t *ex, std::vector<Piece> *pcs, const ks_chain_piece_t *crp) {
  const int head = head_piece(*pcs, crp, true);
  if (head < 0) return -1;
  const Piece &h = (*pcs)[static_cast<size_t>(head)];
  KS_DETAIL("first piece record, rid: 0x%0x.%02x, nrid: 0x%0x.%02x", h.p.pc_rdba, h.p.pc_slot, h.p.rn_rdba,
            h.p.rn_slot);
  std::vector<Val> keys, vals;
  vals.reserve(ks_tab(ex)->ncol + 1u);
  if (cluster_member(h.p.rfb) && sup_columns(*pcs, &keys) < 0) return -1;
  if (walk_row(pcs, head, true, &vals) < 0) return -1;
  Builder b;
  b.start(ex, KS_OPC_INSERT, *pcs);
  uint32_t n = 0;
  if (b.values(ex, keys, false, false, &n) < 0 || b.values(ex, vals, false, true, &n) < 0) return -1;
  b.rh()->nnew = n;
  return b.finish(ex, "INSERT");
}

int assemble_delete(ks_extr_t *ex, std::vector<Piece> *pcs, const ks_chain_piece_t *crp) {
  const int head = head_piece(*pcs, crp, false);
  if (head < 0) return -1;
  std::vector<Val> keys, vals;
  vals.reserve(ks_tab(ex)->ncol + 1u);
  if (cluster_member((*pcs)[static_cast<size_t>(head)].p.ufb) && sup_columns(*pcs, &keys) < 0) return -1;
  if (walk_row(pcs, head, false, &vals) < 0) return -1;
  Builder b;
  b.start(ex, KS_OPC_DELETE, *pcs);
  uint32_t n = 0;
  if (b.values(ex, keys, true, false, &n) < 0 || b.values(ex, vals, true, true, &n) < 0) return -1;
  b.rh()->opos = KS_LCR_RH_SZ;
  b.rh()->nold = n;
  return b.finish(ex, "DELETE");
}

// The pieces of one side of an update in the order their columns come: by the first
// segment column id they carry, a piece before the one it names as its next when both
// start with the same column (a value continued over them).
std::vector<int> update_order(const std::vector<Piece> &pcs, bool redo) {
  std::vector<int> idx;
  for (size_t i = 0; i < pcs.size(); ++i) {
    const Piece &pc = pcs[i];
    const int op = redo ? pc.rop : pc.uop;
    const uint16_t scid = redo ? pc.p.redo_scid : pc.p.undo_scid;
    if (scid && (redo ? pc.rcv != nullptr : pc.ucv != nullptr) &&
        (op == R::KS_REDO_OP_IRP || op == R::KS_REDO_OP_ORP || op == R::KS_REDO_OP_URP))
      idx.push_back(static_cast<int>(i));
  }
  auto scid = [&](int i) { return redo ? pcs[size_t(i)].p.redo_scid : pcs[size_t(i)].p.undo_scid; };
  std::stable_sort(idx.begin(), idx.end(), [&](int a, int b) { return scid(a) < scid(b); });
  for (size_t i = 0; i + 1 < idx.size(); ++i) {
    const Piece &a = pcs[size_t(idx[i])], &b = pcs[size_t(idx[i + 1])];
    const uint32_t bd = redo ? b.p.rn_rdba : b.p.un_rdba;
    const uint16_t bs = redo ? b.p.rn_slot : b.p.un_slot;
    if (scid(idx[i]) == scid(idx[i + 1]) && same_rid(bd, bs, a.p.pc_rdba, a.p.pc_slot)) std::swap(idx[i], idx[i + 1]);
  }
  return idx;
}

// The columns of one side of an update, piece by piece: column lists of URP pieces and
// whole row parts of pieces inserted or overwritten. 0 / -1 (logged).
int update_side(const std::vector<Piece> &pcs, bool redo, std::vector<Val> *vals) {
  bool open = false;
  for (int i : update_order(pcs, redo)) {
    const Piece &pc = pcs[size_t(i)];
    const ks_cv_t *cv = redo ? pc.rcv : pc.ucv;
    const int op = redo ? pc.rop : pc.uop;
    const int base = redo ? pc.p.redo_scid : pc.p.undo_scid;
    if (op != R::KS_REDO_OP_URP) {
      int scid = base;
      uint8_t fb = 0;
      if (row_part(cv, redo ? 2 : 4, &scid, &open, &fb, vals) < 0) return -1;
      KS_DETAIL("operation opc=%d, fb=%02x, cc=%d", op, fb, scid - base);
      continue;
    }
    open = false;
    // Changed column numbers (relative to the piece) and their values.
    const int hk = redo ? 2 : 4, ak = hk + 1;
    const uint8_t *h = ks_cv_field(cv, hk, R::KS_REDO_URP_COLUMNS + 1);
    const int na = ks_cv_len(cv, ak) < 0 ? 0 : cv->len[ak] / 2;
    if (!h) return -1;
    KS_DETAIL("operation opc=URP, fb=%02x, cc=%d", h[R::KS_REDO_KDO_FLAG], na);
    int nv = na;
    if (!redo && h[R::KS_REDO_URP_COLUMNS] < nv) nv = h[R::KS_REDO_URP_COLUMNS];
    const uint8_t *nums = na ? cv->v + cv->off[ak] : nullptr;
    const uint16_t first = na ? ks::load16(nums, cv->big) : 0;
    int k = ak + 1;
    for (int j = 0; j < nv; ++j) {
      const int num = ks::load16(nums + 2 * j, cv->big);
      if (num < first) continue;
      if (k > cv->nf) {
        KS_ERROR("chained row piece column %d of %d missing.", j + 1, nv);
        return -1;
      }
      Part part{cv->v + cv->off[k], cv->len[k]};
      vals->push_back(Val{num - first + base, part, part.n, false, {}});
      k++;
    }
  }
  return 0;
}

int assemble_update(ks_extr_t *ex, std::vector<Piece> *pcs) {
  // A row only locked (its lock piece the last of the change) changed nothing.
  for (const Piece &pc : *pcs) {
    if (!(pc.p.flag & KS_CP_LMN) || !pc.ucv) continue;
    const uint8_t *s = ks_cv_field(pc.ucv, ks_undo_sup_index(pc.ucv), R::KS_REDO_SUP_FLAGS + 1);
    if (s && (s[R::KS_REDO_SUP_FLAGS] & R::KS_REDO_SUP_LAST)) return 0;
  }
  std::vector<Val> nv, keys, ov;
  nv.reserve(ks_tab(ex)->ncol + 1u);
  ov.reserve(ks_tab(ex)->ncol + 1u);
  if (update_side(*pcs, true, &nv) < 0) return -1;
  if (nv.empty()) {
    KS_ERROR("first piece not found.");
    return -1;
  }
  if (sup_columns(*pcs, &keys) < 0 || update_side(*pcs, false, &ov) < 0) return -1;
  // A row moved or rewritten logs whole row parts on both sides: the columns it left as
  // they were are not part of the change.
  for (size_t i = 0; i < nv.size();) {
    auto o = std::find_if(ov.begin(), ov.end(), [&](const Val &x) { return x.scid == nv[i].scid; });
    if (nv[i].whole && o != ov.end() && o->whole && same_value(nv[i], *o)) {
      ov.erase(o);
      nv.erase(nv.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
  Builder b;
  b.start(ex, KS_OPC_UPDATE, *pcs);
  uint32_t nnew = 0, nold = 0;
  // A cluster member's key columns are only in the supplemental log.
  bool member = false;
  for (const Piece &pc : *pcs) member = member || (pc.p.nsc && cluster_member(pc.p.rfb));
  if (member && b.values(ex, keys, false, false, &nnew) < 0) return -1;
  if (b.values(ex, nv, false, false, &nnew) < 0) return -1;
  b.rh()->nnew = nnew;
  b.rh()->opos = b.lb.pos;
  if (b.values(ex, keys, true, false, &nold) < 0 || b.values(ex, ov, true, false, &nold) < 0) return -1;
  // Columns set that the old row did not store (it ended before them): NULL before.
  std::vector<Val> gone;
  for (const Val &v : nv) {
    bool had = false;
    for (const Val &o : ov) had = had || o.scid == v.scid;
    if (!had) gone.push_back(Val{v.scid, Part{nullptr, 0}, 0, false, {}});
  }
  if (!gone.empty()) {
    KS_DEBUG("the last several column (%d:%d) update from NULL to NOT NULL.", gone.front().scid, gone.back().scid);
    if (b.values(ex, gone, true, false, &nold) < 0) return -1;
  }
  b.rh()->nold = nold;
  if (nold == 0) b.rh()->opos = 0;
  return b.finish(ex, "UPDATE");
}

// A row of an index-organised table continued in its overflow segment: the leaf record
// (the head) and the overflow pieces it leads to; an insert reads their redo, a delete
// their undo. An array insert's head leads to the quick multi-row inserts of the rows'
// overflow pieces.
int assemble_iot(ks_extr_t *ex, std::vector<Piece> *pcs, int op) {
  const Piece *head = nullptr;
  for (const Piece &pc : *pcs)
    if (pc.p.flag & KS_CP_IOT) head = &pc;
  if (!head) {
    KS_ERROR("head piece not found.");
    return -1;
  }
  if (op == 1) {
    // An update of such a row is a change of its leaf row or of its overflow piece, whole
    // in one record, or the delete and insert of the row: never pieces of one change.
    KS_ERROR("IOT chained update not assembled (XID: %d.%d.%d).", KS_XID_ARGS(ex->m->xid));
    return -1;
  }
  const bool ins = op == 2;
  const ks_cv_t *leaf = ins ? head->lcv : head->ucv;
  if (!leaf) {
    KS_ERROR(ins ? "record not include kdxlin vector." : "undo change vector not found.");
    return -1;
  }
  const uint8_t *lh = ins ? ks_cv_field(leaf, 2, R::KS_REDO_LEAF_HDR_SIZE) : nullptr;
  if (lh && (lh[R::KS_REDO_LEAF_FLAGS] & R::KS_REDO_LEAF_ARRAY)) {
    const ks_iot_rows_fn rows = [pcs](uint32_t dba) -> const ks_cv_t * {
      for (Piece &pc : *pcs)
        if (!pc.used && (pc.p.flag & KS_CP_IOT_HEAP) && pc.rop == R::KS_REDO_OP_QMI && pc.p.pc_rdba == dba) {
          pc.used = true;
          return pc.rcv;
        }
      return nullptr;
    };
    return ks_iot_array(ex, *leaf, &rows);
  }
  if (!ins) {
    const uint8_t *u4 = ks_cv_field(leaf, 4, 1);
    if (!u4 || u4[0] != R::KS_REDO_LEAF_RESTORE) {
      KS_ERROR("not kdxlre operation [%d]", u4 ? u4[0] : -1);
      return -1;
    }
  }
  auto piece = [&](ks_rowid_t rid, const ks_cv_t **cv, int *hk) {
    for (Piece &pc : *pcs) {
      if (pc.used || !(pc.p.flag & KS_CP_IOT_HEAP) || !same_rid(pc.p.pc_rdba, pc.p.pc_slot, rid.dba, rid.slot))
        continue;
      pc.used = true;
      *cv = ins ? (pc.rop == R::KS_REDO_OP_IRP ? pc.rcv : nullptr) : (pc.uop == R::KS_REDO_OP_IRP ? pc.ucv : nullptr);
      *hk = ins ? 2 : 4;
      return *cv != nullptr;
    }
    return false;
  };
  return ks_iot_chained_row(ex, ins ? KS_OPC_INSERT : KS_OPC_DELETE, leaf, ins ? 3 : 5, piece);
}

}  // namespace

int ks_assemble_chained_row(ks_extr_t *ex, ks_chain_piece_t *crp) {
  const int ci = ks_chain_find_piece(&x_chain, crp);
  if (ci < 0) {
    KS_ERROR("chained row (%x.%x) not found.", crp->cr_rdba, crp->cr_slot);
    return -1;
  }
  const ks_chain_row_t row = ks_chain_get_row(&x_chain, ci);
  std::vector<Piece> pcs;
  if (load_pieces(ex, ci, &pcs) < 0) return -1;
  int rc = header(ex, pcs);
  if (rc < 0) return rc;
  int op = row.op;
  if (op != 1 && op != 2 && op != 4 && !pcs.empty()) {
    // No operation in the supplemental log: the first piece's undo tells it.
    const int u = pcs.front().uop;
    op = u == R::KS_REDO_OP_DRP ? 2 : u == R::KS_REDO_OP_IRP ? 4 : 1;
    KS_DEBUG("chained operation [%d] taken from the undo (%d).", row.op, u);
  }
  // A row stored in pieces can end a LOB operation as a row in one piece does: the LOB
  // records already stand for its insert or update.
  if ((op == 1 && ks_update_lob_skip(ex)) || (op == 2 && ks_insert_lob_skip(ex))) return 0;
  if (crp->flag & (KS_CP_IOT | KS_CP_IOT_HEAP)) return assemble_iot(ex, &pcs, op);
  switch (op) {
    case 1:
      return assemble_update(ex, &pcs);
    case 2:
      return assemble_insert(ex, &pcs, crp);
    case 4:
      return assemble_delete(ex, &pcs, crp);
    default:
      KS_ERROR("unknown chained operation [%d]", row.op);
      return -1;
  }
}

int ks_clear_chained_row(uint8_t *, ks_chain_piece_t *crp) {
  const int ci = ks_chain_find_piece(&x_chain, crp);
  if (ci < 0) return 0;
  ks_chain_clear_row(&x_chain, ci);
  KS_DETAIL("free chained row memory, # of rows: %d, # of record: %d", ks_chain_get(x_chain.buf, KS_CHAIN_NROW),
            ks_chain_get(x_chain.buf, KS_CHAIN_NCRP));
  return 0;
}

void ks_chain_transaction_end(ks_extr_t *ex, uint64_t xid, bool commit) {
  ks_chain_of(ex);
  if (ks_chain_get(x_chain.buf, KS_CHAIN_NROW) == 0) return;  // every commit comes here
  ks_miner_t *m = ex->m;
  for (int ci = ks_chain_rows(&x_chain) - 1; ci >= 0; --ci) {
    const ks_chain_row_t row = ks_chain_get_row(&x_chain, ci);
    const ks_chain_meta_t meta = ks_chain_get_meta(&x_chain, ci);
    if (!row.dlen || meta.xid != xid) continue;
    if (ks_dp_lob_unjoined(ex, ci, commit)) {  // reported there
      ks_chain_clear_row(&x_chain, ci);
      continue;
    }
    if (commit) {
      // Reported against its first piece: its position, transaction and table.
      int ti = -1;
      std::vector<Piece> pcs;
      const ks_miner_t keep = *m;
      if (load_pieces(ex, ci, &pcs) == 0 && header(ex, pcs) == 0) ti = m->ti;
      *m = keep;
      KS_ERROR(
          "chained row %x.%x of transaction %d.%d.%d incomplete at its commit: %u piece(s) from rba=%06x.%08x.%04x "
          "dropped.",
          row.cr_rdba, row.cr_slot, KS_XID_ARGS(xid), row.nrec, meta.rba_sqn, meta.rba_blk, meta.rba_byt);
      m->rba = ks_rba_t{meta.rba_sqn, meta.rba_blk, meta.rba_byt};
      ks_not_captured(ex, KS_NC_CHAIN, ti, 11, 0);
      m->rba = keep.rba;
    }
    ks_chain_clear_row(&x_chain, ci);
  }
}
