// Replay of the transactions in a read buffer, of large transactions from their own
// files, and the dispatch of each LCR to its engine. Invariants: r->ofs always names the
// first byte not yet consumed, so a transaction cut by the end of a buffer is read again
// whole; every commit point (end of a buffer, end of a file, before and after a large
// transaction, before a DDL) executes the collected rows, writes the error records of
// the unit and then commits the rows together with the checkpoint of the last
// transaction started; rows collected from a transaction file are executed before its
// buffer is refilled, so an error record is always built from bytes still in memory;
// a replay stopped before a transaction another trail may precede executes its rows
// too (the next records may come from another reader's buffer) but commits nothing.
// Every change lands, is in the error file, or nothing of its unit is committed: a
// change its engine cannot apply is recorded and the replay goes on with the next one;
// a failure of the unit itself (the target out of space, a lost session, input that
// cannot be read) rolls back everything since the last commit and either replays it
// again from that checkpoint after a wait or a new connection, or stops the process
// before it. A large transaction is a unit of its own: a stop request or a damaged file
// inside it rolls back its partial work. Records that cannot be stepped over (lengths that do not fit)
// end the replay with an error instead of a loop. A record of a transaction file larger
// than the transaction-file buffer grows the buffer (up to KS_LCR_MAX_SZ).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "apply/apply.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// The collected rows executed: they point into the read buffer, which is about to be
// refilled or left for another trail's. -1 with the unit marked failed.
int execute_rows(ks_apply_t *ap) {
  if (x_unit_fault == 0 && ks_array_execute(ap) < 0 && x_unit_fault == 0)
    ks_unit_fail(KS_UF_STOP, "execute array data error.");
  return x_unit_fault != 0 ? -1 : 0;
}

// A commit point: the rows and the positions of every trail together; -1 with the unit
// marked failed when it cannot commit.
int commit_point(ks_apply_t *ap) {
  if (execute_rows(ap) < 0) return -1;
  ks_ap_park(ap);
  if (ks_commit_work(ap) < 0 && x_unit_fault == 0) ks_unit_fail(KS_UF_STOP, "commit work error.");
  if (x_unit_fault != 0) return -1;
  for (int k = 0; k < x_nrdr; k++) {
    ks_ap_reader_t *r = &x_rdr[k];
    r->cmt_fno = r->ckp_fno;
    r->cmt_scn = r->ckp_scn;
    r->cmt_xid = r->ckp_xid;
    r->cmt_sct = r->ckp_sct;
  }
  x_cmt_fno = x_ckp_fno;
  x_cmt_scn = x_ckp_scn;
  x_cmt_xid = x_ckp_xid;
  x_cmt_sct = x_ckp_sct;
  return 0;
}

// The open unit failed: nothing of it is committed and its held error records go with it.
int unit_failed(ks_apply_t *ap) {
  ks_rollback_work(ap);
  ks_error_discard();
  if (x_unit_fault == KS_UF_RETRY) return KS_REPLAY_RETRY;
  if (x_unit_fault == KS_UF_LOST) return KS_REPLAY_RECONNECT;
  KS_ERROR("changes since the last checkpoint rolled back; the replay stops before them.\n%s", x_unit_why);
  return -1;
}

enum { LCR_NEXT = 0, LCR_END = 1, LCR_FAIL = -1 };

// Sends one LCR to its engine. The mapped owner and table replace the LCR's own. A
// change its engine could not apply gets an error record (unless the engine wrote one)
// and the replay goes on, as for a row the target refused; LCR_FAIL only when the unit
// failed.
int dispatch_lcr(ks_apply_t *ap, uint8_t *rh, uint32_t tp) {
  uint32_t opc = ks_rh_opc(rh);
  if (opc != KS_OPC_LONG_WRITE) ks_long_check(ap);
  if (opc == KS_OPC_COMMIT) return LCR_END;
  if (ks_rh_flag(rh) & KS_RH_DISCARD) return LCR_NEXT;
  if (opc == KS_OPC_TAG) return LCR_NEXT;
  const uint8_t *th = ap->b->rbuf + tp;
  if (ks_rh_rlen(rh) < KS_LCR_RH_SZ) {
    KS_ERROR("LCR with opcode %u is shorter (%u bytes) than its header.", opc, ks_rh_rlen(rh));
    ks_error_for_row(th, 0, "LCR shorter than its header; not applied.", rh, nullptr);
    return x_unit_fault != 0 ? LCR_FAIL : LCR_NEXT;
  }
  if (opc == KS_OPC_SYNC_SEQ && !x_sync_seq) return LCR_NEXT;
  char ownr[32], onam[32], m_owner[32], m_name[32];
  ks_rh_name(rh, KS_RH_OWNR_OFS, ownr);
  ks_rh_name(rh, KS_RH_ONAM_OFS, onam);
  if (opc != KS_OPC_SYNC_SEQ) {
    if (ks_lookup_table(&x_cfg, ownr, onam, m_owner, m_name) == 0) return LCR_NEXT;
    if (m_owner[0] != '\0') ks_rh_set_name(rh, KS_RH_OWNR_OFS, m_owner);
    if (m_name[0] != '\0') ks_rh_set_name(rh, KS_RH_ONAM_OFS, m_name);
  }
  uint32_t recorded = x_err_count;
  int rc;
  switch (opc) {
    case KS_OPC_SYNC_SEQ:
      rc = ks_sync_sequence(ap, rh, tp);
      break;
    case KS_OPC_QMI:
      rc = ks_perform_qmi(ap, rh, tp);
      break;
    case KS_OPC_LONG_WRITE:
      rc = ks_perform_long_data(ap, rh, tp);
      break;
    case KS_OPC_LOB_WRITE:
      rc = ks_perform_lob_write(ap, rh, tp);
      break;
    case KS_OPC_LOB_TRIM:
      rc = ks_perform_lob_trim(ap, rh, tp);
      break;
    case KS_OPC_LOB_ERASE:
      rc = ks_perform_lob_erase(ap, rh, tp);
      break;
    case KS_OPC_LOB_SELECT:
      rc = ks_perform_lob_select(ap, rh, tp);
      break;
    default:
      rc = ks_array_push(ap, rh, tp);
      break;
  }
  if (rc < 0 && x_unit_fault == 0 && x_err_count == recorded)
    ks_error_for_row(th, 0, "change not applied: its statement could not be built or run (see the log).", rh, nullptr);
  return x_unit_fault != 0 ? LCR_FAIL : LCR_NEXT;
}

void log_xid(const char *what, uint64_t scn, uint64_t xid, const char *why, long at) {
  KS_ERROR("transaction %u.%u.%u (SCN %lu) %s: %s at offset %ld.", static_cast<unsigned>(xid >> 48),
           static_cast<unsigned>((xid >> 32) & 0xFFFF), static_cast<unsigned>(xid), static_cast<unsigned long>(scn),
           what, why, at);
}

}  // namespace

int ks_do_transaction(ks_apply_t *ap, uint8_t *thdr) {
  ks_ap_buffer_t *b = ap->b;
  x_ckp_scn = ks_th_cscn(thdr);
  x_ckp_sct = ks_th_csct(thdr);
  x_ckp_xid = ks_th_xid(thdr);
  b->dbuf = b->rbuf;
  auto tp = static_cast<uint32_t>(thdr - b->rbuf);
  uint32_t tlen = ks_th_tlen(thdr), nlcr = ks_th_nlcr(thdr);
  uint32_t bad = 0;
  const char *why = nullptr;
  if (ks_trail_check_records(thdr, tlen, nlcr, &bad, &why) != 0) {
    // Nothing of a transaction whose records do not add up is applied.
    log_xid("skipped", x_ckp_scn, x_ckp_xid, why, bad);
    ks_error_for_row(thdr, 0, "transaction records do not fit the transaction; not applied.", nullptr, nullptr);
    return -1;
  }
  uint32_t pos = KS_LCR_TH_SZ;
  ks_lob_txn_reset(ap);
  int rc = 0;
  for (uint32_t i = 0; i < nlcr && rc == 0; i++) {
    uint8_t *rh = thdr + pos;
    int d = dispatch_lcr(ap, rh, tp);
    if (d == LCR_END) break;
    if (d < 0) rc = -1;
    pos += ks_rh_rlen(rh);
  }
  ks_lob_txn_reset(ap);
  return rc;
}

int ks_do_transaction_file(ks_apply_t *ap, uint8_t *thdr) {
  ks_ap_buffer_t *b = ap->b;
  x_ckp_scn = ks_th_cscn(thdr);
  x_ckp_sct = ks_th_csct(thdr);
  x_ckp_xid = ks_th_xid(thdr);
  b->dbuf = b->tbuf;
  auto tp = static_cast<uint32_t>(thdr - b->rbuf);
  uint32_t tlen = ks_th_tlen(thdr);
  const char *path = reinterpret_cast<const char *>(thdr + KS_LCR_TH_SZ);
  if (tlen <= KS_LCR_TH_SZ || thdr[tlen - 1] != '\0') {
    KS_ERROR("large transaction record without its file name; transaction skipped.");
    ks_error_for_row(thdr, 0, "large transaction record without its file name; not applied.", nullptr, nullptr);
    return -1;
  }
  int fd = ks_open_file(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // The file may come back (a volume mounted again, a copy restored): stop with the
    // checkpoint before the transaction rather than step over it.
    char why[700];
    std::snprintf(why, sizeof why, "open %s: %s", path, strerror(errno));
    KS_ERROR("%s", why);
    ks_unit_fail(KS_UF_STOP, why);
    return -1;
  }
  // The unit holds this transaction only (a commit point comes before it): when its file
  // turns out damaged part-way, what was applied of it is rolled back and one record
  // names the whole transaction, as for a small transaction whose records do not fit.
  auto damaged = [&](const char *what, int64_t at) {
    log_xid("not applied", x_ckp_scn, x_ckp_xid, what, static_cast<long>(at));
    ks_rollback_work(ap);
    ks_error_discard();
    char msg[800];
    std::snprintf(msg, sizeof msg, "transaction file %.600s: %s at offset %ld; not applied.", path, what,
                  static_cast<long>(at));
    ks_error_for_row(thdr, 0, msg, nullptr, nullptr);
    close(fd);
    return -1;
  };
  int64_t off = KS_LCR_TH_SZ;
  ks_lob_txn_reset(ap);
  while (x_loop) {
    if (x_cmd_set) {
      ks_execute_command();
      x_cmd_set = 0;
      continue;
    }
    ssize_t n = ks_read_data(fd, b->tbuf, static_cast<size_t>(b->tsz), off);
    if (n < 0) {
      char why[700];
      std::snprintf(why, sizeof why, "read %s error.", path);
      KS_ERROR("%s", why);
      ks_unit_fail(KS_UF_STOP, why);
      close(fd);
      return -1;
    }
    ssize_t p = 0;
    bool end = false;
    while (n - p >= KS_LCR_RHS_SZ) {
      uint8_t *rh = b->tbuf + p;
      uint32_t rlen = ks_rh_rlen(rh);
      if (rlen < KS_LCR_RHS_SZ || rlen > KS_LCR_MAX_SZ) return damaged("invalid LCR length", off + p);
      if (rlen > n - p) break;
      int rc = dispatch_lcr(ap, rh, tp);
      if (rc == LCR_END) {
        end = true;
        break;
      }
      if (rc < 0) {
        close(fd);
        return -1;
      }
      p += rlen;
    }
    if (end) {
      ks_lob_txn_reset(ap);
      int rc = commit_point(ap);
      close(fd);
      if (rc == 0) KS_DEBUG("commit transaction file.");
      return rc;
    }
    if (p == 0 && n == b->tsz) {
      // A record larger than the whole buffer: the buffer grows to hold it (nothing in
      // it is in use, the rows of the last chunk have been executed) and is read again.
      if (ks_ap_grow_tbuf(b, ks_rh_rlen(b->tbuf)) < 0) {
        ks_unit_fail(KS_UF_STOP, "no memory for a record of a transaction file.");
        close(fd);
        return -1;
      }
      continue;
    }
    if (p == 0) return damaged("ends without its commit record", off);
    // Rows collected so far point into the buffer about to be refilled.
    if (ks_array_execute(ap) < 0) {
      if (x_unit_fault == 0) ks_unit_fail(KS_UF_STOP, "execute array data error.");
      close(fd);
      return -1;
    }
    off += p;
  }
  // Stopped part-way: the partial transaction must not be committed under a checkpoint
  // that names it as done. Roll it back; the next start reads it again.
  ks_rollback_work(ap);
  ks_error_discard();
  close(fd);
  KS_INFO("stop requested inside transaction file %s; its partial work rolled back.", path);
  return KS_TRANS_STOPPED;
}

int ks_apply_buffer(ks_apply_t *ap, int dsz) {
  ks_ap_reader_t *r = ap->r;
  ks_ap_buffer_t *b = ap->b;
  r->flag &= ~1u;
  int64_t pos = 0;
  for (;;) {
    if (dsz - pos < KS_LCR_TH_SZ) {
      r->ofs += pos;
      if (commit_point(ap) < 0) return unit_failed(ap);
      KS_DEBUG("commit work after one read buffer point #1 ...");
      return 0;
    }
    uint8_t *th = b->rbuf + pos;
    uint32_t tlen = ks_th_tlen(th), flag = ks_th_flag(th);
    if (flag & KS_TH_EOF) {
      r->ofs += pos;
      r->flag |= 1;
      if (commit_point(ap) < 0) return unit_failed(ap);
      KS_DEBUG("commit work after one file ...");
      return 0;
    }
    if (tlen < KS_LCR_TH_SZ) {
      KS_ERROR("invalid transaction length %u at offset %ld of trail file #%u.", tlen, static_cast<long>(r->ofs + pos),
               r->tfno);
      r->ofs += pos;
      if (commit_point(ap) < 0) unit_failed(ap);
      return -1;
    }
    if (tlen > dsz - pos) {
      r->ofs += pos;
      if (commit_point(ap) < 0) return unit_failed(ap);
      if (pos == 0 && tlen > static_cast<uint32_t>(b->rsz)) {
        KS_ERROR("transaction at offset %ld of trail file #%u (%u bytes) is larger than the read buffer.",
                 static_cast<long>(r->ofs), r->tfno, tlen);
        return -1;
      }
      KS_DEBUG("commit work after one read buffer point #2 ...");
      return 0;
    }
    if (r->lim_on && !ks_ap_key_before(ks_th_cscn(th), static_cast<uint32_t>(r->thr), r->lim_scn, r->lim_thr) &&
        !(flag & KS_TH_HEARTBEAT)) {
      // Another trail may still bring a transaction that comes first: stop before this one.
      r->ofs += pos;
      if (execute_rows(ap) < 0) return unit_failed(ap);
      return 0;
    }
    if (ks_th_cscn(th) > r->wmark) r->wmark = ks_th_cscn(th);
    if (flag & KS_TH_HEARTBEAT) {
      // It only says how far its thread has been read: never replayed, never a position.
    } else if ((flag & KS_TH_SELF) && !x_apply_self) {
      // skipped: marked as applied by ourselves
    } else if (flag & KS_TH_DDL) {
      if (commit_point(ap) < 0) return unit_failed(ap);
      KS_DEBUG("commit work before DDL ...");
      if (ks_execute_ddl(ap, th) < 0 && x_unit_fault == 0) ks_unit_fail(KS_UF_STOP, "execute DDL error.");
      // The target committed the DDL by itself: its checkpoint follows at once, so a
      // restart does not run it a second time.
      if (x_unit_fault == 0 && commit_point(ap) < 0) return unit_failed(ap);
    } else if (flag & KS_TH_BYREF) {
      // A large transaction is a unit of its own.
      if (commit_point(ap) < 0) return unit_failed(ap);
      KS_DEBUG("commit work before big transaction ...");
      if (ks_do_transaction_file(ap, th) == KS_TRANS_STOPPED) {
        r->ofs += pos;
        return 0;
      }
    } else {
      ks_do_transaction(ap, th);
    }
    if (x_unit_fault != 0) return unit_failed(ap);
    pos += tlen;
  }
}

void ks_ap_park(ks_apply_t *ap) {
  ks_ap_reader_t *r = ap->r;
  r->ckp_fno = x_ckp_fno;
  r->ckp_scn = x_ckp_scn;
  r->ckp_xid = x_ckp_xid;
  r->ckp_sct = x_ckp_sct;
  r->cmt_fno = x_cmt_fno;
  r->cmt_scn = x_cmt_scn;
  r->cmt_xid = x_cmt_xid;
  r->cmt_sct = x_cmt_sct;
}

void ks_ap_select(ks_apply_t *ap, ks_ap_reader_t *r) {
  if (ap->r == r) return;
  if (ap->r != nullptr) ks_ap_park(ap);
  ap->r = r;
  x_ckp_fno = r->ckp_fno;
  x_ckp_scn = r->ckp_scn;
  x_ckp_xid = r->ckp_xid;
  x_ckp_sct = r->ckp_sct;
  x_cmt_fno = r->cmt_fno;
  x_cmt_scn = r->cmt_scn;
  x_cmt_xid = r->cmt_xid;
  x_cmt_sct = r->cmt_sct;
}

int ks_commit_if_moved(ks_apply_t *ap) {
  ks_ap_park(ap);
  bool moved = ap->x->nrow > 0;
  for (int k = 0; k < x_nrdr && !moved; k++) {
    const ks_ap_reader_t *r = &x_rdr[k];
    moved = r->ckp_fno != r->cmt_fno || r->ckp_scn != r->cmt_scn || r->ckp_xid != r->cmt_xid;
  }
  if (!moved) return 0;
  if (commit_point(ap) < 0) return unit_failed(ap);
  return 0;
}

int ks_replay_restart(ks_apply_t *ap) {
  x_unit_fault = 0;
  x_unit_why[0] = '\0';
  ap->x->nrow = 0;
  ks_error_discard();
  ks_ap_park(ap);
  ks_ap_reader_t *cur = ap->r;
  int rc = 0;
  for (int k = 0; k < x_nrdr && rc == 0; k++) {
    ks_ap_reader_t *r = &x_rdr[k];
    ap->r = r;
    r->ckp_fno = r->cmt_fno;
    r->ckp_scn = r->cmt_scn;
    r->ckp_xid = r->cmt_xid;
    r->ckp_sct = r->cmt_sct;
    r->wmark = r->cmt_scn;
    if (r->rfd >= 0) close(r->rfd);
    r->rfd = -1;
    r->flag = 0;
    r->blen = 0;
    if (ks_open_trail_file(ap, r->cmt_fno, r->cmt_scn, r->cmt_xid) < 0) {
      // A trail not written yet, or not yet up to the position: the replay loop opens it
      // once it is there.
      if (errno == ENOENT || errno == EAGAIN) {
        r->tfno = r->cmt_fno;
        continue;
      }
      KS_ERROR("position again at the last checkpoint (trail file #%u, SCN %lu) error.", r->cmt_fno,
               static_cast<unsigned long>(r->cmt_scn));
      rc = -1;
    } else {
      r->ckp_fno = r->tfno;
    }
  }
  ap->r = cur;
  x_ckp_fno = cur->ckp_fno;
  x_ckp_scn = cur->ckp_scn;
  x_ckp_xid = cur->ckp_xid;
  x_ckp_sct = cur->ckp_sct;
  return rc;
}
