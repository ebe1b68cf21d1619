// The single entry from the block walk into record decoding: record acceptance (ignored
// records, container, SCN window, time stamp), the bounded walk over the change vectors
// with the one dispatch table, and the chain actions after the walk. Invariants: a vector
// reaches a handler only after its whole extent was checked against the record; sizes
// are taken from the length arrays in the redo's byte order; the miner state is reset at
// the start of each accepted record except ti, cbl, sct, slen and pxid.
#include <cstring>

#include "extract/frame_placeholders.h"
#include "extract/redo/redo.h"
#include "extract/redo/redo_format.h"
#include "extract/trans/trans.h"
#include "lib/bytes.h"
#include "lib/log/log.h"

ks_miner_t x_miner;
ks_lcr_tap_t x_lcr_tap = nullptr;
ks_record_tap_t x_record_tap = nullptr;

int ks_cv_open(ks_cv_t *cv, uint8_t *v, uint32_t room, int vhsz, bool big) {
  if (room < static_cast<uint32_t>(vhsz) + 2) return -1;
  uint32_t e0 = ks::load16(v + vhsz, big);
  if (e0 < 2 || (e0 & 1)) return -1;
  uint32_t n = e0 / 2;
  if (n - 1 > static_cast<uint32_t>(KS_CV_MAX_FIELDS)) return -1;
  uint32_t off = static_cast<uint32_t>(vhsz) + ks::redo::align4(e0);
  if (off > room) return -1;
  cv->v = v;
  cv->big = big;
  cv->nf = static_cast<int>(n - 1);
  for (uint32_t k = 1; k < n; k++) {
    uint16_t l = ks::load16(v + vhsz + 2 * k, big);
    cv->off[k] = off;
    cv->len[k] = l;
    off += ks::redo::align4(l);
    if (off > room) return -1;
  }
  cv->size = off;
  return 0;
}

int ks_cv_in_record(ks_extr_t *ex, ks_cv_t *cv, uint8_t *v) {
  ks_miner_t *m = ex->m;
  if (v < m->rec || v >= m->rec + m->rlen) return -1;
  uint32_t room = static_cast<uint32_t>(m->rec + m->rlen - v);
  return ks_cv_open(cv, v, room, ex->l->vhsz, (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0);
}

int ks_skip_vector(ks_extr_t *ex, uint8_t *vbuf) {
  return static_cast<int>(ks::redo::vector_size(vbuf, ex->l->vhsz, (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0));
}

void ks_length_to_big_endian(uint8_t *ar, int n) {
  if (n < 0) n = ks::load_be16(ar) / 2;
  for (int i = 0; i < n; i++) ks::store16(ar + 2 * i, ks::load_be16(ar + 2 * i), false);
}

int ks_redo_append(ks_extr_t *ex, ks_lcr_rh_t *rh) {
  ks_miner_t *m = ex->m;
  int rc = x_lcr_tap ? x_lcr_tap(ex, rh, m->xid, m->scn, m->sct) : ks_append_lcr(ex, rh, m->xid, m->scn, m->sct);
  if (rc < 0) {
    KS_ERROR("append LCR to transaction error.");
    return -1;
  }
  return 0;
}

namespace {

enum class Act : uint8_t { skip, end, undo, commit, audit, irp, drp, lkr, urp, orp, cfa, qmi, qmd, lmn, ddl, notyet };

// Layer 11 codes 0..17; everything else in layer 11 ends the record.
constexpr Act kLayer11[18] = {Act::end, Act::end, Act::irp, Act::drp, Act::lkr, Act::urp,
                              Act::orp, Act::end, Act::cfa, Act::end, Act::end, Act::qmi,
                              Act::qmd, Act::end, Act::end, Act::end, Act::lmn, Act::notyet};

Act dispatch(uint8_t layer, uint8_t code) {
  switch (layer) {
    case 5:
      if (code == 1) return Act::undo;
      if (code == 4) return Act::commit;
      if (code == 20) return Act::audit;
      return Act::skip;
    case 11:
      return code < 18 ? kLayer11[code] : Act::end;
    case 24:
      if (code == 1) return Act::ddl;
      if (code == 6) return Act::notyet;
      return Act::skip;
    case 10:
      if (code == 2 || code == 3 || code == 4 || code == 5 || code == 18 || code == 35) return Act::notyet;
      return Act::skip;
    case 19:
      return code == 1 ? Act::notyet : Act::skip;
    case 26:
      return (code == 2 || code == 6) ? Act::notyet : Act::skip;
    default:
      return Act::skip;
  }
}

}  // namespace

int ks_parse_record(ks_extr_t *ex, int rlen) {
  uint8_t *r = ex->b->record;
  ks_miner_t *m = ex->m;
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (x_record_tap) x_record_tap(ex, rlen);
  if (rlen < ks::redo::kRhSize) return 0;
  uint8_t vld = r[ks::redo::kRhVld];
  if (vld & ks::redo::kVldIgnore) return 0;
  uint64_t scn = (static_cast<uint64_t>(ks::load16(r + ks::redo::kRhScnWrap, big)) << 32) |
                 ks::load32(r + ks::redo::kRhScnBase, big);
  uint32_t con_uid = ks::load32(r + ks::redo::kRhConUid, big);
  if ((ex->flag & KS_EXTR_PDB) && con_uid != ex->con_uid) return 0;
  int hsz = ks::redo::record_header_size(vld);
  if (rlen < hsz) {
    KS_WARN("redo record shorter than its header (len %d).", rlen);
    return 0;
  }
  if (vld & ks::redo::kVldLong) {
    m->sct = ks::load32(r + ks::redo::kRhTime, big);
    m->has_sct = 1;
  }
  if (scn < x_start_scn) return 0;
  if (x_end_scn != 0 && scn > x_end_scn) return -10;

  m->flag = 0;
  m->objn = 0;
  m->scn = scn;
  m->xid = 0;
  m->undo = nullptr;
  m->sup = nullptr;
  m->rec = r;
  m->rlen = static_cast<uint32_t>(rlen);
  m->con_uid = con_uid;
  ks_chain_piece_t piece;
  std::memset(&piece, 0, sizeof(piece));
  KS_DETAIL("SCN: 0x%04x.%08x", static_cast<unsigned>(scn >> 32), static_cast<unsigned>(scn));

  const int vhsz = ex->l->vhsz;
  uint8_t *v = r + hsz;
  uint32_t left = static_cast<uint32_t>(rlen - hsz);
  int nv = 0;
  while (left > 0) {
    nv++;
    // Every vector is checked whole against the record before any handler reads it.
    uint32_t size = 0;
    {
      if (left < static_cast<uint32_t>(vhsz) + 2) {
        KS_WARN("redo record truncated in change #%d (left %u).", nv, left);
        return 0;
      }
      uint32_t e0 = ks::load16(v + vhsz, big);
      uint32_t n = e0 / 2;
      if (e0 < 2 || n - 1 > static_cast<uint32_t>(KS_CV_MAX_FIELDS)) {
        KS_WARN("change #%d of a redo record has a bad length array (%u).", nv, e0);
        return 0;
      }
      size = static_cast<uint32_t>(vhsz) + ks::redo::align4(e0);
      if (size <= left)
        for (uint32_t k = 1; k < n && size <= left; k++) size += ks::redo::align4(ks::load16(v + vhsz + 2 * k, big));
      if (size > left) {
        KS_WARN("change #%d of a redo record goes past the record (left %u).", nv, left);
        return 0;
      }
    }
    uint8_t layer = v[ks::redo::kCvLayer], code = v[ks::redo::kCvCode];
    KS_DEBUG("OP: %d.%d", layer, code);
    int rc = 0;
    switch (dispatch(layer, code)) {
      case Act::skip: break;
      case Act::end: return 0;
      case Act::undo: rc = ks_parse_undo(ex, v, &piece); break;
      case Act::commit: rc = ks_parse_commit(ex, v); break;
      case Act::audit: rc = ks_parse_audit(ex, v); break;
      case Act::irp: rc = ks_parse_irp(ex, v, &piece); break;
      case Act::drp: rc = ks_parse_drp(ex, v, &piece); break;
      case Act::urp: rc = ks_parse_urp(ex, v, &piece); break;
      case Act::orp: rc = ks_parse_orp(ex, v, &piece); break;
      case Act::cfa: rc = ks_parse_cfa(ex, v, &piece); break;
      case Act::qmi: rc = ks_parse_qmi(ex, v); break;
      case Act::lmn: rc = ks_parse_lmn(ex, v, &piece); break;
      case Act::lkr:
      case Act::qmd:
        if (m->undo == nullptr) rc = ks_parse_kdo_rollback(ex, v, &piece);
        break;
      case Act::ddl: rc = ks_parse_ddl(ex, v); break;
      case Act::notyet:
        // Index-organised leaves, LOB locators and data, direct-path loads: decoded by
        // their own handlers, which this build does not have yet.
        KS_DEBUG("redo operation %d.%d is not decoded yet.", layer, code);
        break;
    }
    if (rc < 0) return 0;
    v += size;
    left -= size;
  }

  // Chain actions. Chained and migrated rows are assembled by the chain buffer, which
  // this build does not have yet: such a record is reported and skipped.
  if (m->flag & (KS_MN_PIECE | KS_MN_ROLLBACK | KS_MN_COMPLETE)) {
    if ((m->flag & KS_MN_PIECE) && piece.cr_rdba == 0 && piece.cr_slot == 0) return 0;
    KS_WARN("chained row change not supported yet, record skipped (rba=%06x.%08x.%04x, SCN: %llu, XID: %d.%d.%d).",
            m->rba.sqn, m->rba.blk, m->rba.byt, static_cast<unsigned long long>(m->scn), KS_XID_ARGS(m->xid));
  }
  return 0;
}
