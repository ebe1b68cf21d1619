// Replay of the transactions in a read buffer, of large transactions from their own
// files, and the dispatch of each LCR to its engine. Invariants: r->ofs always names the
// first byte not yet consumed, so a transaction cut by the end of a buffer is read again
// whole; every commit point (end of a buffer, end of a file, before and after a large
// transaction, before a DDL) executes the collected rows and then commits them together
// with the checkpoint of the last transaction started; rows collected from a
// transaction file are executed before its buffer is refilled, so an error record is
// always built from bytes still in memory; a stop request inside a transaction file
// rolls its partial work back and leaves the position before it. Records that cannot be
// stepped over (lengths that do not fit) end the replay with an error instead of a loop.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "apply/apply.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

int flush_and_commit(ks_apply_t *ap) {
  if (ks_array_execute(ap) < 0) {
    KS_ERROR("execute array data error.");
    return -1;
  }
  if (ks_commit_work(ap) < 0) {
    KS_ERROR("commit work error.");
    return -1;
  }
  return 0;
}

enum { LCR_NEXT = 0, LCR_END = 1, LCR_FAIL = -1, LCR_SEQ_FAIL = -2 };

// Sends one LCR to its engine. The mapped owner and table replace the LCR's own.
int dispatch_lcr(ks_apply_t *ap, uint8_t *rh, uint32_t tp) {
  uint32_t opc = ks_rh_opc(rh);
  if (opc == KS_OPC_COMMIT) return LCR_END;
  if (ks_rh_flag(rh) & KS_RH_DISCARD) return LCR_NEXT;
  if (opc == KS_OPC_TAG) return LCR_NEXT;
  if (ks_rh_rlen(rh) < KS_LCR_RH_SZ) {
    KS_ERROR("LCR with opcode %u is shorter (%u bytes) than its header.", opc, ks_rh_rlen(rh));
    return LCR_FAIL;
  }
  if (opc == KS_OPC_SYNC_SEQ) {
    if (!x_sync_seq) return LCR_NEXT;
    return ks_sync_sequence(ap, rh, tp) < 0 ? LCR_SEQ_FAIL : LCR_NEXT;
  }
  char ownr[32], onam[32], m_owner[32], m_name[32];
  ks_rh_name(rh, KS_RH_OWNR_OFS, ownr);
  ks_rh_name(rh, KS_RH_ONAM_OFS, onam);
  if (ks_lookup_table(&x_cfg, ownr, onam, m_owner, m_name) == 0) return LCR_NEXT;
  if (m_owner[0] != '\0') ks_rh_set_name(rh, KS_RH_OWNR_OFS, m_owner);
  if (m_name[0] != '\0') ks_rh_set_name(rh, KS_RH_ONAM_OFS, m_name);
  int rc;
  switch (opc) {
    case KS_OPC_QMI: rc = ks_perform_qmi(ap, rh, tp); break;
    case KS_OPC_LONG_WRITE: rc = ks_perform_long_data(ap, rh, tp); break;
    case KS_OPC_LOB_WRITE: rc = ks_perform_lob_write(ap, rh, tp); break;
    case KS_OPC_LOB_TRIM: rc = ks_perform_lob_trim(ap, rh, tp); break;
    case KS_OPC_LOB_ERASE: rc = ks_perform_lob_erase(ap, rh, tp); break;
    case KS_OPC_LOB_SELECT: rc = ks_perform_lob_select(ap, rh, tp); break;
    default: rc = ks_array_push(ap, rh, tp); break;
  }
  return rc < 0 ? LCR_FAIL : LCR_NEXT;
}

}  // namespace

int ks_do_transaction(ks_apply_t *ap, uint8_t *thdr) {
  ks_buffer_t *b = ap->b;
  x_ckp_scn = ks_th_cscn(thdr);
  x_ckp_xid = ks_th_xid(thdr);
  b->dbuf = b->rbuf;
  auto tp = static_cast<uint32_t>(thdr - b->rbuf);
  uint32_t tlen = ks_th_tlen(thdr), nlcr = ks_th_nlcr(thdr);
  uint32_t bad = 0;
  const char *why = nullptr;
  if (ks_trail_check_records(thdr, tlen, nlcr, &bad, &why) != 0) {
    // Nothing of a transaction whose records do not add up is applied.
    KS_ERROR("transaction %u.%u.%u (SCN %lu) skipped: %s at offset %u.", static_cast<unsigned>(x_ckp_xid >> 48),
             static_cast<unsigned>((x_ckp_xid >> 32) & 0xFFFF), static_cast<unsigned>(x_ckp_xid),
             static_cast<unsigned long>(x_ckp_scn), why, bad);
    ks_error_for_row(thdr, 0, "transaction records do not fit the transaction; not applied.", nullptr, nullptr);
    return -1;
  }
  uint32_t pos = KS_LCR_TH_SZ;
  for (uint32_t i = 0; i < nlcr; i++) {
    uint8_t *rh = thdr + pos;
    int rc = dispatch_lcr(ap, rh, tp);
    if (rc == LCR_END) break;
    if (rc < 0) return -1;
    pos += ks_rh_rlen(rh);
  }
  return 0;
}

int ks_do_transaction_file(ks_apply_t *ap, uint8_t *thdr) {
  ks_buffer_t *b = ap->b;
  x_ckp_scn = ks_th_cscn(thdr);
  x_ckp_xid = ks_th_xid(thdr);
  b->dbuf = b->tbuf;
  auto tp = static_cast<uint32_t>(thdr - b->rbuf);
  uint32_t tlen = ks_th_tlen(thdr);
  const char *path = reinterpret_cast<const char *>(thdr + KS_LCR_TH_SZ);
  if (tlen <= KS_LCR_TH_SZ || thdr[tlen - 1] != '\0') {
    KS_ERROR("large transaction record without its file name; transaction skipped.");
    return -1;
  }
  int fd = ks_open_file(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    KS_ERROR("open %s: %s", path, strerror(errno));
    return -1;
  }
  auto fail_after_commit = [&](const char *) {
    flush_and_commit(ap);
    KS_DEBUG("commit transaction file when error.");
    close(fd);
    return -1;
  };
  int64_t off = KS_LCR_TH_SZ;
  while (x_loop) {
    if (x_cmd_set) {
      ks_execute_command();
      x_cmd_set = 0;
      continue;
    }
    ssize_t n = ks_read_data(fd, b->tbuf, static_cast<size_t>(b->tsz), off);
    if (n < 0) {
      KS_ERROR("read %s error.", path);
      return fail_after_commit(path);
    }
    ssize_t p = 0;
    bool end = false;
    while (n - p >= KS_LCR_RHS_SZ) {
      uint8_t *rh = b->tbuf + p;
      uint32_t rlen = ks_rh_rlen(rh);
      if (rlen < KS_LCR_RHS_SZ) {
        KS_ERROR("invalid LCR length %u at offset %ld of %s.", rlen, static_cast<long>(off + p), path);
        return fail_after_commit(path);
      }
      if (rlen > n - p) break;
      int rc = dispatch_lcr(ap, rh, tp);
      if (rc == LCR_END) { end = true; break; }
      if (rc == LCR_SEQ_FAIL) return fail_after_commit(path);
      if (rc == LCR_FAIL) {
        close(fd);
        return -1;
      }
      p += rlen;
    }
    if (end) {
      if (ks_array_execute(ap) < 0) {
        KS_ERROR("execute array data error.");
        close(fd);
        return -1;
      }
      int rc = ks_commit_work(ap);
      close(fd);
      if (rc < 0) return -1;
      KS_DEBUG("commit transaction file.");
      return 0;
    }
    if (p == 0) {
      if (n < b->tsz)
        KS_ERROR("transaction file %s ends without its commit record.", path);
      else
        KS_ERROR("LCR at offset %ld of %s is larger than the transaction buffer.", static_cast<long>(off), path);
      return fail_after_commit(path);
    }
    // Rows collected so far point into the buffer about to be refilled.
    if (ks_array_execute(ap) < 0) {
      KS_ERROR("execute array data error.");
      close(fd);
      return -1;
    }
    off += p;
  }
  // Stopped part-way: the partial transaction must not be committed under a checkpoint
  // that names it as done. Roll it back; the next start reads it again.
  ks_rollback_work(ap);
  close(fd);
  KS_INFO("stop requested inside transaction file %s; its partial work rolled back.", path);
  return KS_TRANS_STOPPED;
}

int ks_apply_buffer(ks_apply_t *ap, int dsz) {
  ks_reader_t *r = ap->r;
  ks_buffer_t *b = ap->b;
  r->flag &= ~1u;
  int64_t pos = 0;
  for (;;) {
    if (dsz - pos < KS_LCR_TH_SZ) {
      r->ofs += pos;
      if (flush_and_commit(ap) < 0) return -1;
      KS_DEBUG("commit work after one read buffer point #1 ...");
      return 0;
    }
    uint8_t *th = b->rbuf + pos;
    uint32_t tlen = ks_th_tlen(th), flag = ks_th_flag(th);
    if (flag & KS_TH_EOF) {
      r->ofs += pos;
      r->flag |= 1;
      if (flush_and_commit(ap) < 0) return -1;
      KS_DEBUG("commit work after one file ...");
      return 0;
    }
    if (tlen < KS_LCR_TH_SZ) {
      KS_ERROR("invalid transaction length %u at offset %ld of trail file #%u.", tlen,
               static_cast<long>(r->ofs + pos), r->tfno);
      r->ofs += pos;
      flush_and_commit(ap);
      return -1;
    }
    if (tlen > dsz - pos) {
      r->ofs += pos;
      if (flush_and_commit(ap) < 0) return -1;
      if (pos == 0 && tlen > static_cast<uint32_t>(b->rsz)) {
        KS_ERROR("transaction at offset %ld of trail file #%u (%u bytes) is larger than the read buffer.",
                 static_cast<long>(r->ofs), r->tfno, tlen);
        return -1;
      }
      KS_DEBUG("commit work after one read buffer point #2 ...");
      return 0;
    }
    if ((flag & KS_TH_SELF) && !x_apply_self) {
      // skipped: marked as applied by ourselves
    } else if (flag & KS_TH_DDL) {
      if (ap->x->nrow > 0) {
        if (flush_and_commit(ap) < 0) return -1;
        KS_DEBUG("commit work before DDL ...");
      }
      if (ks_execute_ddl(ap, th) < 0) {
        KS_ERROR("execute DDL error.");
        return -1;
      }
    } else if (flag & KS_TH_BYREF) {
      if (ap->x->nrow > 0) {
        if (flush_and_commit(ap) < 0) return -1;
        KS_DEBUG("commit work before big transaction ...");
      }
      if (ks_do_transaction_file(ap, th) == KS_TRANS_STOPPED) {
        r->ofs += pos;
        return 0;
      }
    } else {
      ks_do_transaction(ap, th);
    }
    pos += tlen;
  }
}
