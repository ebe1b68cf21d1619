// The single entry from the block walk into record decoding: record acceptance (ignored
// records, container, SCN window, time stamp), the bounded walk over the change vectors
// with the one dispatch table, and the chain actions after the walk. Invariants: a vector
// reaches a handler only after its whole extent was checked against the record; sizes
// are taken from the length arrays in the redo's byte order; the miner state is reset at
// the start of each accepted record except ti, cbl, sct, slen and pxid. A record that the
// transaction table cannot take now (KS_RC_HOLD) or ever (KS_RC_STOP) takes back what it
// had added, so that it leaves no trace. Results: 0 taken; -9 some change in it was passed
// over on purpose (quietly), the others taken; -1 a change of a captured table in it could
// not be turned into changes: it was logged with its position and counted by reason, and
// the record's other changes, its commit above all, were taken; KS_RC_HOLD / KS_RC_STOP;
// -10 past the end SCN.
#include <cstring>
#include <string>

#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "extract/trans/trans.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
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

namespace {

// KS_RC_HOLD or KS_RC_STOP when the transaction table could not take a change of the
// record being decoded, else 0. Kept here so that a handler that maps every failure to
// -1 still cannot turn a shortage into a lost change.
int x_append_rc = 0;

// Records of captured tables that the decoder could not turn into changes, by reason.
uint64_t x_nc_count[KS_NC_REASONS];
uint64_t x_nc_logged_total = 0;  // the sum when the counts were last logged

const char *const kNcReason[KS_NC_REASONS] = {"index-organised table change not supported", "LOB change not supported",
                                              "direct-path load not supported", "chained row incomplete",
                                              "change not decoded"};

}  // namespace

int ks_redo_append(ks_extr_t *ex, ks_lcr_rh_t *rh) {
  ks_miner_t *m = ex->m;
  int rc = x_lcr_tap ? x_lcr_tap(ex, rh, m->xid, m->scn, m->sct) : ks_append_lcr(ex, rh, m->xid, m->scn, m->sct);
  if (rc == KS_RC_HOLD || rc == KS_RC_STOP) {
    x_append_rc = rc;  // the table has said why
    return rc;
  }
  if (rc < 0) {
    KS_ERROR("append LCR to transaction error.");
    return -1;
  }
  return 0;
}

const char *ks_not_captured_reason(int reason) {
  return reason >= 0 && reason < KS_NC_REASONS ? kNcReason[reason] : "";
}

uint64_t ks_not_captured_count(int reason) { return reason >= 0 && reason < KS_NC_REASONS ? x_nc_count[reason] : 0; }

void ks_not_captured(ks_extr_t *ex, int reason, int ti, uint8_t layer, uint8_t code) {
  if (reason < 0 || reason >= KS_NC_REASONS) reason = KS_NC_DECODE;
  x_nc_count[reason]++;
  const ks_miner_t *m = ex->m;
  const char *owner = "?", *table = "?";
  const ks_dict_t *d = ex->d;
  if (d != nullptr && d->hdr != nullptr && ti >= 0 && ti < static_cast<int>(d->hdr->ntab)) {
    table = d->tab[ti].name;
    if (d->tab[ti].ui < d->hdr->nsch) owner = d->sch[d->tab[ti].ui].name;
  }
  KS_ERROR("%s (rba=%06x.%08x.%04x, SCN: %llu, XID: %d.%d.%d, table: %s.%s, op: %d.%d).", kNcReason[reason], m->rba.sqn,
           m->rba.blk, m->rba.byt, static_cast<unsigned long long>(m->scn), KS_XID_ARGS(m->xid), owner, table, layer,
           code);
}

void ks_log_not_captured(bool always) {
  uint64_t total = 0;
  for (uint64_t n : x_nc_count) total += n;
  if (!always && total == x_nc_logged_total) return;
  x_nc_logged_total = total;
  std::string line = "records of captured tables not captured: " + std::to_string(total);
  const char *sep = " (";
  for (int i = 0; i < KS_NC_REASONS; i++) {
    if (x_nc_count[i] == 0) continue;
    line += sep;
    line += kNcReason[i];
    line += ": " + std::to_string(x_nc_count[i]);
    sep = ", ";
  }
  if (total != 0) line += ")";
  KS_INFO("%s.", line.c_str());
}

void ks_reset_not_captured() {
  for (uint64_t &n : x_nc_count) n = 0;
  x_nc_logged_total = 0;
}

namespace {

enum class Act : uint8_t {
  skip,
  end,
  undo,
  commit,
  audit,
  irp,
  drp,
  lkr,
  urp,
  orp,
  cfa,
  qmi,
  qmd,
  lmn,
  ddl,
  llb,
  block,
  lob_fill,
  lob_load,
  iot_lin,
  iot_lde,
  iot_lcnu,
  iot_other,
  dp_extra,
};

// Layer 11 codes 0..17; everything else in layer 11 ends the record.
constexpr Act kLayer11[18] = {Act::end, Act::end, Act::irp, Act::drp, Act::lkr, Act::urp, Act::orp, Act::end, Act::cfa,
                              Act::end, Act::end, Act::qmi, Act::qmd, Act::end, Act::end, Act::end, Act::lmn, Act::llb};

Act dispatch(uint8_t layer, uint8_t code) {
  switch (layer) {
    case 5:
      // 5.2 and the session information of a transaction's first record (5.19, and 5.20
      // without an audit tag) carry no change: passed over.
      if (code == 1) return Act::undo;
      if (code == 4) return Act::commit;
      if (code == 20) return Act::audit;
      return Act::skip;
    case 11:
      return code < 18 ? kLayer11[code] : Act::end;
    case 24:
      if (code == 1) return Act::ddl;
      if (code == 6) return Act::dp_extra;
      return Act::skip;
    case 10:
      // Leaf rows: row changes of index-organised tables; those of ordinary indexes (after
      // their 10.22 undo, which the undo handler passes over) are passed over by the
      // handlers.
      if (code == 2) return Act::iot_lin;
      if (code == 4) return Act::iot_lde;
      if (code == 35) return Act::iot_lcnu;
      if (code == 3 || code == 5 || code == 18 || code == 30) return Act::iot_other;
      return Act::skip;
    case 19:
      return code == 1 ? Act::block : Act::skip;
    case 26:
      return code == 2 ? Act::lob_fill : code == 6 ? Act::lob_load : Act::skip;
    default:
      return Act::skip;
  }
}

// Saves the record as a piece of its row and, when the row is complete with it, builds
// the row's change; the first record undoing a change of a chained row gives its
// rollback. Rollback pieces are not kept: the change they undo was built (or never will
// be) without them. 0; -1 a change lost (logged); -9 the table is not captured;
// KS_RC_HOLD a piece that could not be saved now (the record is read again later, the
// buffer as before it); with x_append_rc set the transaction table refused the change
// and the piece has been taken back.
int chain_actions(ks_extr_t *ex, ks_chain_piece_t *piece, int rlen) {
  ks_miner_t *m = ex->m;
  ks_chain_of(ex);
  if (piece->flag & KS_CP_ROLLBACK) {
    if (!(m->flag & KS_MN_ROLLBACK)) return 0;
    int rc = ks_assemble_chained_rollback(ex, piece);
    if (rc < 0 && rc != KS_RC_NOT_CAPTURED && x_append_rc == 0) KS_ERROR("assemble rollback chained row error.");
    return rc;
  }
  if (!(m->flag & KS_MN_PIECE)) return 0;
  if (piece->cr_rdba == 0 && piece->cr_slot == 0 && piece->pc_rdba == 0 && piece->pc_slot == 0) {
    // A piece no later piece can name: its row cannot be built (reported and counted).
    KS_ERROR("chained row piece without a row id (rba=%06x.%08x.%04x).", m->rba.sqn, m->rba.blk, m->rba.byt);
    return -1;
  }
  KS_DETAIL("save record, cr_rid: 0x%0x.%02x, rid: 0x%0x.%02x, redo nrid: 0x%0x.%02x, undo nrid: 0x%0x.%02x",
            piece->cr_rdba, piece->cr_slot, piece->pc_rdba, piece->pc_slot, piece->rn_rdba, piece->rn_slot,
            piece->un_rdba, piece->un_slot);
  ks_chain_meta_t first{};
  first.xid = m->xid;
  first.rba_sqn = m->rba.sqn;
  first.rba_blk = m->rba.blk;
  first.rba_byt = static_cast<uint16_t>(m->rba.byt);
  int ci = -1;
  if (ks_chain_save_piece(&x_chain, piece, ex->b->record, rlen, m->sup ? m->sup[0] : 0, &first, &ci) < 0) {
    KS_ERROR("save chained record error (rba=%06x.%08x.%04x); the record is read again later.", m->rba.sqn, m->rba.blk,
             m->rba.byt);
    return KS_RC_HOLD;
  }
  if (!(m->flag & KS_MN_COMPLETE)) return 0;
  int rc = ks_assemble_chained_row(ex, piece);
  if (x_append_rc != 0) {
    ks_chain_unsave(&x_chain, ci, rlen);  // the record comes again, and its piece with it
    return rc;
  }
  if (rc < 0 && rc != KS_RC_NOT_CAPTURED) KS_ERROR("assemble chained row error.");
  ks_chain_clear_row(&x_chain, ci);
  return rc;
}

}  // namespace

int ks_parse_record(ks_extr_t *ex, int rlen) {
  uint8_t *r = ex->b->record;
  ks_miner_t *m = ex->m;
  const bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (x_record_tap) x_record_tap(ex, rlen);
  if (rlen < ks::redo::KS_REDO_RH_SIZE) return 0;
  uint8_t vld = r[ks::redo::KS_REDO_RH_VLD];
  if (vld & ks::redo::KS_REDO_VLD_IGNORE) return 0;
  uint64_t scn = (static_cast<uint64_t>(ks::load16(r + ks::redo::KS_REDO_RH_SCN_WRAP, big)) << 32) |
                 ks::load32(r + ks::redo::KS_REDO_RH_SCN_BASE, big);
  uint32_t con_uid = ks::load32(r + ks::redo::KS_REDO_RH_CON_UID, big);
  if ((ex->flag & KS_EXTR_PDB) && con_uid != ex->con_uid) return 0;
  int hsz = ks::redo::record_header_size(vld);
  if (rlen < hsz) {
    KS_WARN("redo record shorter than its header (len %d).", rlen);
    return 0;
  }
  if (vld & ks::redo::KS_REDO_VLD_LONG) {
    m->sct = ks::load32(r + ks::redo::KS_REDO_RH_TIME, big);
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
  bool load = false;  // a 24.6 began the record
  KS_DETAIL("SCN: 0x%04x.%08x", static_cast<unsigned>(scn >> 32), static_cast<unsigned>(scn));

  // The record's changes reach the transaction table as a unit: a record refused part-way
  // takes back what it had added.
  x_append_rc = 0;
  const bool to_table = x_lcr_tap == nullptr && ex->t != nullptr;
  if (to_table) ks_trans_record_begin();
  auto refuse = [&](int rc) {
    if (to_table && ks_trans_record_undo(ex->t) < 0)
      KS_ERROR("redo record (rba=%06x.%08x.%04x) only partly taken back; part of it may be delivered.", m->rba.sqn,
               m->rba.blk, m->rba.byt);
    return rc;
  };

  const int vhsz = ex->l->vhsz;
  uint8_t *v = r + hsz;
  uint32_t left = static_cast<uint32_t>(rlen - hsz);
  int nv = 0;
  uint32_t reported = 0;                // reasons already reported for this record
  uint8_t row_layer = 0, row_code = 0;  // the last row operation, for the report
  bool skipping = false;                // passing over the rest of a change that could not be read
  bool not_captured = false;            // some change belonged to an object outside the capture set
  bool chain_bad = false;               // the piece of a chained row this record holds was refused
  auto report = [&](int reason, int ti, uint8_t layer, uint8_t code) {
    if (reported & (1u << reason)) return;
    reported |= 1u << reason;
    ks_not_captured(ex, reason, ti, layer, code);
  };
  // Chain actions: the record is a piece of a row change spread over several records.
  // They come before a commit in the same record, which ends what the row belongs to.
  bool chain_done = false;
  auto chain = [&]() -> int {
    chain_done = true;
    if (!(m->flag & (KS_MN_PIECE | KS_MN_ROLLBACK | KS_MN_COMPLETE)) || chain_bad) return 0;
    int rc = chain_actions(ex, &piece, rlen);
    if (x_append_rc != 0) return refuse(x_append_rc);
    if (rc == KS_RC_HOLD) return refuse(rc);
    if (rc == KS_RC_NOT_CAPTURED)
      not_captured = true;
    else if (rc < 0)
      report(KS_NC_DECODE, m->objn != 0 ? m->ti : -1, row_layer, row_code);
    return 0;
  };
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
    uint8_t layer = v[ks::redo::KS_REDO_CV_LAYER], code = v[ks::redo::KS_REDO_CV_CODE];
    KS_DEBUG("OP: %d.%d", layer, code);
    int rc = 0;
    Act act = dispatch(layer, code);
    // After a change that could not be read, what is left of it (its row vector, state
    // its undo left half set) is passed over up to the next change or the commit.
    if (skipping && act != Act::undo && act != Act::commit) act = Act::skip;
    if (act == Act::undo) skipping = false;
    switch (act) {
      case Act::skip:
        break;
      case Act::end:
        return 0;
      case Act::undo:
        rc = ks_parse_undo(ex, v, &piece);
        break;
      case Act::commit:
        if (!chain_done)
          if (int c = chain(); c != 0) return c;
        rc = ks_parse_commit(ex, v);
        break;
      case Act::audit:
        rc = ks_parse_audit(ex, v);
        break;
      case Act::irp:
        rc = ks_parse_irp(ex, v, &piece);
        break;
      case Act::drp:
        rc = ks_parse_drp(ex, v, &piece);
        break;
      case Act::urp:
        rc = ks_parse_urp(ex, v, &piece);
        break;
      case Act::orp:
        rc = ks_parse_orp(ex, v, &piece);
        break;
      case Act::cfa:
        rc = ks_parse_cfa(ex, v, &piece);
        break;
      case Act::qmi:
        rc = ks_parse_qmi(ex, v);
        break;
      case Act::lmn:
        rc = ks_parse_lmn(ex, v, &piece);
        break;
      case Act::lkr:
      case Act::qmd:
        if (m->undo == nullptr) rc = ks_parse_kdo_rollback(ex, v, &piece);
        break;
      case Act::ddl:
        rc = ks_parse_ddl(ex, v);
        break;
      case Act::llb:
        rc = ks_parse_llb(ex, v);
        break;
      case Act::lob_fill:
        rc = ks_parse_local_lob_fill(ex, v);
        break;
      case Act::lob_load:
        rc = ks_parse_local_lob_load(ex, v);
        break;
      case Act::dp_extra:
        rc = ks_parse_dp_extra(ex, v);
        load = rc == 0;
        break;
      case Act::block:
        // A block image: LOB data blocks and the table blocks of a direct-path load. Without
        // a dictionary nothing is captured. A load's block the chain buffer cannot take now
        // comes again, as a chained row's record does.
        rc = ex->d == nullptr ? KS_RC_NOT_CAPTURED : ks_parse_dp(ex, v, &piece, load);
        if (rc == KS_RC_HOLD && x_append_rc == 0) return refuse(rc);
        break;
      case Act::iot_lin:
        rc = ks_parse_iot_lin(ex, v, &piece);
        break;
      case Act::iot_lde:
        rc = ks_parse_iot_lde(ex, v, &piece);
        break;
      case Act::iot_lcnu:
        rc = ks_parse_iot_lcnu(ex, v, &piece);
        break;
      case Act::iot_other:
        rc = ks_parse_iot_leaf_other(ex, v);
        break;
    }
    if (rc == KS_RC_IOT_NOT_DECODED) {
      report(KS_NC_IOT, m->ti, layer, code);
      skipping = true;
      rc = 0;
    }
    if (x_append_rc != 0) return refuse(x_append_rc);
    if (rc < 0 && (m->flag & (KS_MN_PIECE | KS_MN_ROLLBACK | KS_MN_COMPLETE))) chain_bad = true;
    if (rc == KS_RC_NOT_CAPTURED) {
      // A change of an object outside the capture set: its own vectors are passed over,
      // but the record goes on, since a later change or a commit in it may belong to a
      // captured transaction.
      not_captured = true;
      skipping = true;
    } else if (rc < 0) {
      // A handler that could not read a change it was given (it has said why): the
      // record is reported once, and the other changes of the record, its commit above
      // all, are still taken.
      // A block image not turned into rows (a cluster block, say) is reported as a load.
      report(act == Act::block ? KS_NC_LOAD : KS_NC_DECODE, m->objn != 0 ? m->ti : -1, layer, code);
      skipping = true;
    }
    if (layer == 11 || layer == 10) {
      row_layer = layer;
      row_code = code;
    }
    v += size;
    left -= size;
  }

  if (!chain_done)
    if (int c = chain(); c != 0) return c;
  if (reported != 0) return -1;
  return not_captured ? KS_RC_NOT_CAPTURED : 0;
}
