// LOB and LONG replay. A LOB SELECT finds the row by its key columns, takes its LOB
// locator (FOR UPDATE, so the row stays ours) and opens it when asked; the writes, trims
// and erases that follow work on that locator until the next select or the end of the
// transaction. A LONG row runs with its LONG bound for data at execution time, and each
// LONG piece that follows is handed to the database by one more execution.
// Invariants: a LOB operation never reaches a LOB other than the one its own
// transaction selected (the context is cleared at every transaction start and end);
// every operation not applied has an error record, or is covered by the record of the
// select or row it depends on, and is counted in the log; copies of the last select and
// of the waiting LONG row are kept, since the buffer that held them may be refilled
// before the records that need them.
#include <cstdio>
#include <cstring>
#include <vector>

#include "apply/apply_db.h"
#include "lib/log/log.h"

namespace {

// What the LOB operations of the current transaction work on.
enum LobState { LOB_NONE, LOB_SELECTED, LOB_FAILED };
LobState s_lob = LOB_NONE;
uint32_t s_lob_skipped = 0;  // operations stepped over after a failed select

std::vector<uint8_t> s_select;    // the last LOB select
std::vector<uint8_t> s_long_row;  // the row waiting for its LONG value
uint32_t s_long_tp = 0;
bool s_long_open = false;   // pieces are being handed to the database
uint32_t s_long_stray = 0;  // pieces of a row that was not applied

constexpr uint32_t kLobSz = 108;    // LOB WRITE / ERASE: amount u32 @96, offset u64 @100
constexpr uint32_t kTrimSz = 104;   // LOB TRIM: new length u64 @96
constexpr uint32_t kPieceSz = 120;  // LONG WRITE: one 24-byte column entry, then the piece

const uint8_t *thdr_at(ks_apply_t *ap, uint32_t tp) { return ap->b->rbuf + tp; }

// A database failure of a LOB or LONG operation: the unit's when the database says so
// (out of space, session lost), else an error record of the LCR given; -1.
int db_failed(ks_apply_t *ap, uint32_t tp, const uint8_t *rec, const char *what) {
  int code = ks_oci_get_error_code();
  const char *msg = ks_oci_get_message();
  if (ks_db_error_kind(code) != 0) return ks_unit_db_fail(what, code, msg);
  KS_ERROR("%s\n%s", what, msg);
  ks_error_for_row(thdr_at(ap, tp), code, msg, rec, nullptr);
  return -1;
}

// A failed write, trim or erase: its own record and one of the select that located
// the LOB, so the error file says which row's LOB it was. Replay goes on: 0.
int lob_op_failed(ks_apply_t *ap, uint32_t tp, const uint8_t *rec, const char *what) {
  if (db_failed(ap, tp, rec, what) < 0 && x_unit_fault != 0) return -1;
  ks_error_for_row(thdr_at(ap, tp), 0, "lob select for previous lob operation.", s_select.data(), nullptr);
  return 0;
}

// The checks every write, trim and erase passes first: a selected LOB, a record long
// enough. False when the operation is not to be applied (recorded or covered).
bool lob_op_ready(ks_apply_t *ap, const uint8_t *rhdr, uint32_t tp, uint32_t need, const char *what) {
  if (s_lob == LOB_FAILED) {
    // The select's own record covers the operations that depend on it.
    s_lob_skipped++;
    KS_DEBUG("%s of a LOB not selected skipped.", what);
    return false;
  }
  char msg[160];
  if (s_lob == LOB_NONE) {
    std::snprintf(msg, sizeof msg, "%s without a LOB selected before it in its transaction; not applied.", what);
  } else if (ks_rh_rlen(rhdr) < need) {
    std::snprintf(msg, sizeof msg, "%s record of %u bytes is shorter than its fields; not applied.", what,
                  ks_rh_rlen(rhdr));
  } else {
    return true;
  }
  KS_ERROR("%s", msg);
  ks_error_for_row(thdr_at(ap, tp), 0, msg, rhdr, nullptr);
  return false;
}

void report_skipped() {
  if (s_lob_skipped > 0)
    KS_WARN(
        "%u LOB operations of a LOB that could not be selected were not applied (see the error record of its "
        "select).",
        s_lob_skipped);
  s_lob_skipped = 0;
}

// The row waiting for its LONG value will get no more pieces: it is not applied.
void long_abandon(ks_apply_t *ap, const char *why) {
  ks_array_t *x = ap->x;
  if (!(x->flag & KS_AR_LONG_WAIT) && !s_long_open) return;
  x->flag &= ~KS_AR_LONG_WAIT;
  s_long_open = false;
  char msg[200];
  std::snprintf(msg, sizeof msg, "LONG value %s before its last piece; row not applied.", why);
  KS_ERROR("%s", msg);
  ks_error_for_row(thdr_at(ap, s_long_tp), 0, msg, s_long_row.data(), nullptr);
  // The statement is left waiting for data: the next row prepares its own.
  x->slen = 0;
  x->sqltxt[0] = '\0';
}

}  // namespace

void ks_long_row_keep(const uint8_t *rec, uint32_t tp) {
  s_long_row.assign(rec, rec + ks_rh_rlen(rec));
  s_long_tp = tp;
}

void ks_lob_discard(ks_apply_t *ap) {
  ap->x->flag &= ~KS_AR_LONG_WAIT;
  s_long_open = false;
  s_long_stray = 0;
  s_lob = LOB_NONE;
  s_lob_skipped = 0;
}

void ks_long_check(ks_apply_t *ap) { long_abandon(ap, "interrupted by another change"); }

void ks_lob_txn_reset(ks_apply_t *ap) {
  ks_ap_db_t *a = ap->a;
  if (a != nullptr && a->se != nullptr && x_lob.locp != nullptr && ks_oci_lob_isopen(a->se, x_lob.locp) == 1 &&
      ks_oci_lob_close(a->se, x_lob.locp) != 0)
    KS_ERROR("close lob locator error.\n%s", ks_oci_get_message());
  s_lob = LOB_NONE;
  report_skipped();
  long_abandon(ap, "ended with its transaction");
  if (s_long_stray > 0) KS_WARN("%u LONG pieces of rows that were not applied skipped.", s_long_stray);
  s_long_stray = 0;
}

int ks_perform_lob_select(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  ks_array_t *x = ap->x;
  ks_ap_db_t *a = ap->a;
  report_skipped();
  s_lob = LOB_FAILED;
  if (x->nrow > 0 && ks_array_execute(ap) < 0) {
    KS_ERROR("OCI execute array data error.");
    return -1;
  }
  // A LOB the previous select left open is closed before the locator is reused.
  if (ks_oci_lob_close(a->se, x_lob.locp) != 0) KS_ERROR("close lob locator error.\n%s", ks_oci_get_message());
  int ncol = 0;
  if (ks_make_lob_select_sql(rhdr, x_sqltxt, &ncol) < 0) {
    KS_ERROR("generate the SQL text error.");
    return -1;
  }
  // The statement handle is taken over: no array statement is current any more.
  x->flag = 0;
  x->slen = 0;
  x->sqltxt[0] = '\0';
  x->nrow = 0;
  const ks_lcr_cols_t &lc = x_cols;
  const ks_col_view &lob = lc.newc[0];
  if (!ks_ct_is_lob(lob.ctyp)) {
    char msg[160];
    std::snprintf(msg, sizeof msg, "LOB select of column \"%.40s\", which is not a CLOB or BLOB; not applied.",
                  lob.name);
    KS_ERROR("%s", msg);
    ks_error_for_row(thdr_at(ap, tp), 0, msg, rhdr, nullptr);
    return -1;
  }
  static const ks_col_view *keys[KS_MAX_COLS];
  static uint32_t vsz[KS_MAX_COLS];
  int n = 0;
  for (uint32_t i = 0; i < lc.nold; i++) {
    const ks_col_view &c = lc.oldc[i];
    if (c.flag & KS_CH_NULL) continue;  // "is null" in the text, no placeholder
    keys[n] = &c;
    vsz[n] = c.clen == 0 ? 1 : c.clen;
    if (c.dlen > vsz[n] || vsz[n] > 65535) {
      char msg[160];
      std::snprintf(msg, sizeof msg, "value of key column \"%.40s\" (%u bytes) is longer than its slot (%u bytes).",
                    c.name, c.dlen, vsz[n]);
      KS_ERROR("%s", msg);
      ks_error_for_row(thdr_at(ap, tp), 0, msg, rhdr, nullptr);
      return -1;
    }
    n++;
  }
  if (n != ncol) {
    KS_ERROR("LOB select has %d key values, its statement %d.", n, ncol);
    return -1;
  }
  x->ncol = n;
  x->max_rows = 1;
  if (ks_array_layout(ap, vsz) < 0) return -1;
  for (int k = 0; k < n; k++) ks_bind_key_column(&x->bc[k], keys[k]);
  if (ks_oci_prepare_statement(a->se, &a->st_ap, x_sqltxt) != 0)
    return db_failed(ap, tp, rhdr, "prepare statement error.");
  if (n > 0 && ks_oci_auto_bind(a->se, &a->st_ap, x->bc, n, 1) != 0) return db_failed(ap, tp, rhdr, "bind data error.");
  int ltyp = lob.ctyp == KS_TYP_CLOB ? SQLT_CLOB : SQLT_BLOB;
  if (ks_oci_define_lob(a->se, &a->st_ap, ltyp, &x_lob.locp) != 0)
    return db_failed(ap, tp, rhdr, "define lob locator error.");
  if (ks_oci_execute(a->se, &a->st_ap, 0, 0) < 0) return db_failed(ap, tp, rhdr, "execute lob select error.");
  int rrows = 0;
  int rc = ks_oci_fetch(a->se, &a->st_ap, 1, &rrows);
  if (rc < 0) return db_failed(ap, tp, rhdr, "fetch lob locator error.");
  if (rc == 1 && rrows == 0) {
    KS_ERROR("no lob locator fetched.");
    ks_error_for_row(thdr_at(ap, tp), 0, "no lob locator selected.", rhdr, nullptr);
    return -1;
  }
  if ((ks_rh_flag(rhdr) & KS_RH_LOB102) && ks_oci_lob_open(a->se, x_lob.locp, 2) != 0)
    return db_failed(ap, tp, rhdr, "open lob locator error.");
  x_lob.flag = (lob.ctyp == KS_TYP_CLOB ? 0x1u : 0u) | ((lob.flag & KS_CH_NATIONAL) ? 0x10u : 0u);
  s_select.assign(rhdr, rhdr + ks_rh_rlen(rhdr));
  s_lob = LOB_SELECTED;
  KS_DEBUG("LOB select: %s\n", x_sqltxt);
  return 0;
}

int ks_perform_lob_write(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  if (!lob_op_ready(ap, rhdr, tp, kLobSz, "LOB write")) return 0;
  ks_oci_ses_t *se = ap->a->se;
  uint32_t amount = ks::load<uint32_t>(rhdr + 96);
  x_lob.offset = ks::load<uint64_t>(rhdr + 100);
  x_lob.buf = rhdr + kLobSz;
  x_lob.buf_sz = ks_rh_rlen(rhdr) - kLobSz;
  x_lob.piece = 0;
  if (x_lob.flag & 0x1) {
    // CLOB data comes in the trail's LOB character set, its amount in characters.
    x_lob.char_amt = amount;
    x_lob.byte_amt = 0;
    x_lob.csid = static_cast<uint16_t>(x_lob_csid);
    x_lob.csfrm = (x_lob.flag & 0x10) ? 2 : 1;
  } else {
    x_lob.byte_amt = amount;
    x_lob.char_amt = 0;
    x_lob.csid = 0;
    x_lob.csfrm = 0;
  }
  if (ks_oci_lob_write(se, &x_lob) != 0) return lob_op_failed(ap, tp, rhdr, "write lob data error.");
  if ((ks_rh_flag(rhdr) & KS_RH_LOB_LAST) && ks_oci_lob_close(se, x_lob.locp) != 0)
    KS_ERROR("close lob locator error.\n%s", ks_oci_get_message());
  KS_DEBUG("LOB write: amount=%d, offset=%lu", static_cast<int>(amount), static_cast<unsigned long>(x_lob.offset));
  return 0;
}

int ks_perform_lob_trim(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  if (!lob_op_ready(ap, rhdr, tp, kTrimSz, "LOB trim")) return 0;
  uint64_t nlen = ks::load<uint64_t>(rhdr + 96);
  if (ks_oci_lob_trim(ap->a->se, &x_lob, nlen) != 0) return lob_op_failed(ap, tp, rhdr, "trim lob data error.");
  KS_DEBUG("LOB trim: amount=%lu", static_cast<unsigned long>(nlen));
  return 0;
}

int ks_perform_lob_erase(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  if (!lob_op_ready(ap, rhdr, tp, kLobSz, "LOB erase")) return 0;
  x_lob.byte_amt = ks::load<uint32_t>(rhdr + 96);
  x_lob.offset = ks::load<uint64_t>(rhdr + 100);
  if (ks_oci_lob_erase(ap->a->se, &x_lob) != 0) return lob_op_failed(ap, tp, rhdr, "erase lob data error.");
  KS_DEBUG("LOB erase: amount=%d, offset=%lu", static_cast<int>(x_lob.byte_amt),
           static_cast<unsigned long>(x_lob.offset));
  return 0;
}

int ks_perform_long_data(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  ks_array_t *x = ap->x;
  ks_ap_db_t *a = ap->a;
  uint32_t rlen = ks_rh_rlen(rhdr);
  uint32_t dlen = rlen >= kPieceSz ? ks::load<uint32_t>(rhdr + 96 + 20) : 0;
  if (rlen < kPieceSz || dlen > rlen - kPieceSz) {
    char msg[120];
    std::snprintf(msg, sizeof msg, "LONG piece record of %u bytes does not hold its piece; not applied.", rlen);
    KS_ERROR("%s", msg);
    ks_error_for_row(thdr_at(ap, tp), 0, msg, rhdr, nullptr);
    long_abandon(ap, "broken");
    return 0;
  }
  bool last = (ks_rh_flag(rhdr) & KS_RH_LONG_END) != 0;
  if (x->flag & KS_AR_LONG_WAIT) {
    x->flag &= ~KS_AR_LONG_WAIT;
    s_long_open = true;
    x_piece.htyp = 1;
    x_piece.piece = last ? 3 : 1;
  } else if (s_long_open) {
    x_piece.piece = last ? 3 : 2;
  } else {
    // The row these pieces belong to was not applied; its own record covers them.
    s_long_stray++;
    return 0;
  }
  x_piece.ind = 0;
  x_piece.rcode = 0;
  x_piece.buf = rhdr + kPieceSz;
  x_piece.alen = dlen;
  if (ks_oci_set_piece_info(a->se, &x_piece) != 0) {
    s_long_open = false;
    db_failed(ap, s_long_tp, s_long_row.data(), "set piece information error.");
    return 0;
  }
  int rc = ks_oci_execute(a->se, &a->st_ap, 1, 0);
  KS_DEBUG("LONG piece len=%d, piece=%d", static_cast<int>(dlen), static_cast<int>(x_piece.piece));
  if (rc < 0) {
    // The row runs with its last piece: a failure there is the row's.
    s_long_open = false;
    db_failed(ap, s_long_tp, s_long_row.data(), "execute long piece error.");
    return 0;
  }
  if (rc == 2) {
    if (last) long_abandon(ap, "still awaited by the database");
    return 0;
  }
  s_long_open = false;
  if (x->opc == KS_OPC_UPDATE || x->opc == KS_OPC_DELETE) {
    const ks_oci_bnd_t &rowid = x->bc[x->ncol - 1];
    if (dlen == 0) KS_DEBUG("rowid indicator=%d, alen=%d", rowid.indp[0], rowid.alenp[0]);
    if (rowid.indp[0] == -1)
      ks_error_for_row(thdr_at(ap, s_long_tp), 0, "table row not matched.", s_long_row.data(), nullptr);
  }
  return 0;
}
