// LOB locator vectors 11.17 and the descriptors of the LOB operations in flight. The first
// LLB opens an operation (parking the current one when another operation is in flight),
// the second tells where and how much it writes, the third its new length. Invariants: a
// descriptor in use always has its first-LLB vector (llb_buf for the current one,
// chain-buffer blocks for a parked one); a parked descriptor never owns the llb_buf.
#include <cstring>

#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

ks_llb_t x_llb;
ks_llb_t x_llba[KS_LLB_PARKED];

namespace {

inline bool in_use(const ks_llb_t &l) { return (l.flag & KS_LLB_USED) != 0; }

uint8_t *llb_buf(ks_extr_t *ex) { return ex->b->llb_buf; }

// Moves the current descriptor and its vector to a free parked slot. 0 / -1 (logged).
int park_current(ks_extr_t *ex) {
  ks_llb_t *slot = nullptr;
  for (ks_llb_t &p : x_llba)
    if (!in_use(p)) {
      slot = &p;
      break;
    }
  if (slot == nullptr) {
    KS_ERROR("no space for LLB.");
    return -1;
  }
  int start = 0, blks = 0;
  uint8_t *mem = ks_chain_alloc_mem(ks_chain_of(ex)->buf, static_cast<int>(x_llb.vlen), &start, &blks);
  if (mem == nullptr) {
    KS_ERROR("no space for LLB vector data.");
    return -1;
  }
  std::memcpy(mem, llb_buf(ex), x_llb.vlen);
  *slot = x_llb;
  slot->sblk = static_cast<uint32_t>(start);
  slot->blks = static_cast<uint32_t>(blks);
  x_llb = ks_llb_t{};
  return 0;
}

}  // namespace

int ks_llb_table(ks_extr_t *ex, uint32_t objn) {
  if (ex->d == nullptr || objn == 0) return KS_RC_NOT_CAPTURED;
  int ti = ks_lookup_table(ex->d, static_cast<int>(objn));
  if (ti < 0 || (ex->d->tab[ti].flag & KS_TAB_ALIAS)) return KS_RC_NOT_CAPTURED;
  ex->m->ti = ti;
  ex->m->objn = objn;
  return 0;
}

bool ks_llb_two_byte(const ks_extr_t *ex, const ks_llb_t *llb) { return (llb->flag & KS_LLB_CLOB) && ex->m->cbl == 2; }

bool ks_llb_byte_units(const ks_extr_t *ex, const ks_llb_t *llb) {
  return ks_llb_two_byte(ex, llb) && (llb->flag & KS_LLB_SECUREFILE);
}

ks_llb_t *ks_llb_find(uint32_t objn, uint64_t xid) {
  if (in_use(x_llb) && x_llb.objn == objn && x_llb.xid == xid) return &x_llb;
  for (ks_llb_t &p : x_llba)
    if (in_use(p) && p.objn == objn && p.xid == xid) return &p;
  return nullptr;
}

ks_llb_t *ks_llb_find_id(const uint8_t *lob_id) {
  if (in_use(x_llb) && std::memcmp(x_llb.lob_id, lob_id, 10) == 0) return &x_llb;
  for (ks_llb_t &p : x_llba)
    if (in_use(p) && std::memcmp(p.lob_id, lob_id, 10) == 0) return &p;
  return nullptr;
}

uint8_t *ks_llb_vector(ks_extr_t *ex, ks_llb_t *llb) {
  if (llb == &x_llb) return llb_buf(ex);
  return ks_chain_block(ks_chain_of(ex)->buf, static_cast<int>(llb->sblk));
}

void ks_llb_release(ks_extr_t *ex, ks_llb_t *llb) {
  if (llb != &x_llb && llb->blks != 0)
    ks_chain_free_mem(ks_chain_of(ex)->buf, static_cast<int>(llb->sblk), static_cast<int>(llb->blks));
  *llb = ks_llb_t{};
}

void ks_llb_transaction_end(ks_extr_t *ex, uint64_t xid) {
  if (in_use(x_llb) && x_llb.xid == xid) ks_llb_release(ex, &x_llb);
  for (ks_llb_t &p : x_llba)
    if (in_use(p) && p.xid == xid) ks_llb_release(ex, &p);
}

void ks_llb_reset() {
  x_llb = ks_llb_t{};
  for (ks_llb_t &p : x_llba) p = ks_llb_t{};
  std::memset(x_lob_data, 0, sizeof x_lob_data);
}

int ks_llb_save_state(ks_extr_t *ex, uint8_t *out, uint32_t cap) {
  uint32_t used = in_use(x_llb) ? 1 : 0;
  for (const ks_llb_t &p : x_llba) used += in_use(p) ? 1 : 0;
  if (used == 0) return 0;
  const uint32_t vlen = in_use(x_llb) ? x_llb.vlen : 0;
  const uint32_t len = 16 + 80 * (1 + KS_LLB_PARKED) + sizeof x_lob_data + vlen;
  if (len > cap) return -1;
  uint8_t *p = out;
  ks::store<uint32_t>(p, KS_LLB_STATE_MAGIC);
  ks::store<uint32_t>(p + 4, used);
  ks::store<uint32_t>(p + 8, vlen);
  ks::store<uint32_t>(p + 12, 0);
  p += 16;
  ks::store(p, x_llb);
  p += 80;
  for (const ks_llb_t &l : x_llba) {
    ks::store(p, l);
    p += 80;
  }
  std::memcpy(p, x_lob_data, sizeof x_lob_data);
  p += sizeof x_lob_data;
  if (vlen) std::memcpy(p, llb_buf(ex), vlen);
  return static_cast<int>(len);
}

int ks_llb_load_state(ks_extr_t *ex, const uint8_t *in, uint32_t len) {
  ks_llb_reset();
  if (len == 0) return 0;
  const uint32_t fixed = 16 + 80 * (1 + KS_LLB_PARKED) + sizeof x_lob_data;
  const uint32_t vlen = len >= 16 ? ks::load<uint32_t>(in + 8) : 0;
  if (len < fixed || ks::load<uint32_t>(in) != KS_LLB_STATE_MAGIC || vlen > static_cast<uint32_t>(ex->b->llb_sz) ||
      len != fixed + vlen) {
    KS_ERROR("saved LOB operations damaged (%u bytes); not restored.", len);
    return -1;
  }
  const uint8_t *p = in + 16;
  x_llb = ks::load<ks_llb_t>(p);
  p += 80;
  for (ks_llb_t &l : x_llba) {
    l = ks::load<ks_llb_t>(p);
    p += 80;
  }
  std::memcpy(x_lob_data, p, sizeof x_lob_data);
  p += sizeof x_lob_data;
  if (vlen) std::memcpy(llb_buf(ex), p, vlen);
  if (in_use(x_llb) && x_llb.vlen != vlen) {
    KS_ERROR("saved LOB operations damaged (vector of %u bytes, %u saved); not restored.", x_llb.vlen, vlen);
    ks_llb_reset();
    return -1;
  }
  ex->llb = reinterpret_cast<uint8_t *>(&x_llb);
  ex->llba = reinterpret_cast<uint8_t *>(x_llba);
  return 0;
}

namespace {

int first_llb(ks_extr_t *ex, const ks_cv_t &cv, const uint8_t *body, uint8_t type) {
  ks_miner_t *m = ex->m;
  const uint32_t objn = ks::load32(body, cv.big);
  const uint64_t xid =
      ks::redo::make_xid(ks::load16(body + 8, cv.big), ks::load16(body + 10, cv.big), ks::load32(body + 12, cv.big));
  if (int rc = ks_llb_table(ex, objn); rc != 0) return rc;
  KS_DETAIL("First LLB type=0x%02x", type);
  if (in_use(x_llb) && (x_llb.objn != objn || x_llb.xid != xid)) {
    if (park_current(ex) < 0) return -1;
  } else if (in_use(x_llb)) {
    x_llb = ks_llb_t{};  // the same row opens a new operation: the old one had ended
  }
  if (cv.size > static_cast<uint32_t>(ex->b->llb_sz)) {
    KS_ERROR("lob select vector too large: %d", static_cast<int>(cv.size));
    return -1;
  }
  x_llb.op = body[16];
  x_llb.objn = objn;
  x_llb.xid = xid;
  m->xid = xid;
  m->pxid = xid;
  std::memcpy(llb_buf(ex), cv.v, cv.size);
  x_llb.vlen = cv.size;
  x_llb.flag = KS_LLB_USED;
  return 0;
}

int second_llb(ks_extr_t *ex, const ks_cv_t &cv, const uint8_t *body, uint8_t type) {
  ks_miner_t *m = ex->m;
  const bool big = cv.big;
  const uint32_t objn = ks::load32(body + 36, big);
  const uint64_t xid =
      ks::redo::make_xid(ks::load16(body + 4, big), ks::load16(body + 6, big), ks::load32(body + 8, big));
  if (int rc = ks_llb_table(ex, objn); rc != 0) return rc;
  m->xid = xid;
  ks_llb_t *l = ks_llb_find(objn, xid);
  if (l == nullptr) {
    KS_ERROR("lob operation 0x01, not match with previous op=0x04.");
    return -1;
  }
  if (body[0] != l->op) {
    KS_ERROR("sub operation code not matched.");
    return -1;
  }
  std::memcpy(l->lob_id, body + 12, 10);
  l->lob_scid = ks::load16(body + 22, big);
  l->chunk_ofs = ks::load32(body + 24, big);
  l->once_amt = ks::load32(body + 28, big);
  l->amnt = ks::load32(body + 32, big);
  l->offset = ks::load64(body + 52, big);
  l->data_ofs = ks::load32(body + 60, big);
  KS_DETAIL("Second LLB type=0x%02x, opc=0x%02x\nchunk_ofs=%d, once_amnt=%d, data_ofs=%d, amnt=%d, offset=%lu", type,
            static_cast<int>(l->op), static_cast<int>(l->chunk_ofs), static_cast<int>(l->once_amt),
            static_cast<int>(l->data_ofs), static_cast<int>(l->amnt), static_cast<unsigned long>(l->offset));
  if (l->op == KS_LLB_OP_ERASE) {
    if (int rc = ks_make_lob_select(ex, l, ks_llb_vector(ex, l)); rc < 0) return rc == KS_RC_NOT_CAPTURED ? rc : -1;
    uint32_t amount = l->amnt;
    uint64_t offset = l->offset;
    if (ks_llb_byte_units(ex, l)) {
      amount /= 2;
      offset = offset / 2 + 1;
    }
    m->xid = l->xid;
    if (ks_lob_lcr(ex, KS_OPC_LOB_ERASE, 0, amount, offset, nullptr, 0) < 0) return -1;
    KS_DETAIL("append LOB ERASE LCR (XID: %d.%d.%d)", KS_XID_ARGS(l->xid));
  }
  l->flag |= KS_LLB_SECOND;
  l->flag &= ~(KS_LLB_FIRST_DONE | KS_LLB_LOCAL_SEL);
  return 0;
}

int third_llb(ks_extr_t *ex, const ks_cv_t &cv, const uint8_t *body, uint8_t type) {
  ks_miner_t *m = ex->m;
  const bool big = cv.big;
  const uint32_t objn = ks::load32(body + 8, big);
  const uint64_t xid = ks::redo::make_xid(ks::load16(body, big), ks::load16(body + 2, big), ks::load32(body + 4, big));
  if (int rc = ks_llb_table(ex, objn); rc != 0) return rc;
  m->xid = xid;
  ks_llb_t *l = ks_llb_find(objn, xid);
  if (l == nullptr) {
    KS_ERROR("lob operation 0x02, 0x03, not matched with  previous op=0x04.");
    return -1;
  }
  l->lob_len = ks::load64(body + 12, big);
  KS_DETAIL("Third LLB type=0x%02x, lob_length=%lu", type, static_cast<unsigned long>(l->lob_len));
  if ((l->op == KS_LLB_OP_UPDATE || l->op == KS_LLB_OP_INSERT) && (l->flag & KS_LLB_KEPT)) {
    // The one data block of a write whose length only this LLB gives.
    const uint64_t amount = l->lob_len;
    const uint64_t bytes = ks_llb_two_byte(ex, l) ? amount * 2 : amount;
    if (bytes > sizeof x_lob_data) {
      KS_ERROR("insert or update LOB data too long (%d)", static_cast<int>(bytes));
      return -1;
    }
    if (amount != 0) {
      if (ks_lob_lcr(ex, KS_OPC_LOB_WRITE, KS_RH_LOB_LAST, static_cast<uint32_t>(amount), l->offset ? l->offset : 1,
                     x_lob_data, static_cast<uint32_t>(bytes)) < 0)
        return -1;
      KS_DETAIL("append LOB WRITE LCR (%d.%d.%d)", KS_XID_ARGS(l->xid));
    }
    l->flag &= ~KS_LLB_KEPT;
    l->flag |= KS_LLB_FIRST_DONE;
  }
  if (l->op == KS_LLB_OP_TRIM) {
    if (int rc = ks_make_lob_select(ex, l, ks_llb_vector(ex, l)); rc < 0) return rc == KS_RC_NOT_CAPTURED ? rc : -1;
    uint64_t len = l->lob_len;
    if (ks_llb_byte_units(ex, l)) len /= 2;
    if (ks_lob_lcr(ex, KS_OPC_LOB_TRIM, 0, 0, len, nullptr, 0) < 0) return -1;
    KS_DETAIL("append LOB TRIM LCR (%d.%d.%d)", KS_XID_ARGS(l->xid));
  }
  l->flag |= KS_LLB_THIRD;
  if (type == 2) {
    ks_llb_release(ex, l);
    KS_DETAIL("reset LLB structure in Third LLB");
  }
  return 0;
}

}  // namespace

int ks_parse_llb(ks_extr_t *ex, uint8_t *vbuf) {
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const uint8_t *tf = ks_cv_field(&cv, 2, 1);
  if (tf == nullptr) return 0;
  const uint8_t type = tf[0];
  const uint32_t need = type == 4 ? 24 : type == 1 ? 64 : (type == 2 || type == 3) ? 20 : 0;
  if (need == 0) return 0;
  const uint8_t *body = ks_cv_field(&cv, 3, need);
  if (body == nullptr) {
    KS_ERROR("LLB type 0x%02x body too short (%d bytes).", type, ks_cv_len(&cv, 3));
    return -1;
  }
  if (type == 4) return first_llb(ex, cv, body, type);
  if (type == 1) return second_llb(ex, cv, body, type);
  return third_llb(ex, cv, body, type);
}
