// Collecting the records of open transactions: a record built by a redo handler joins the
// slot of its transaction (opened on its first change, found through the XID index),
// grows the slot's in-memory image (its pool buffer growing with it) and, once the image
// outgrows trans_sz or the pool's budget, continues in the transaction's spill file.
// ROLLBACK forgets the transaction; COMMIT hands it to the trail writer. With max_trans
// transactions open, a record that would open one more stops the capture before it.
// Invariants: a slot's image is always 32 header bytes followed by whole records, dlen
// bytes in all, in the buffer or (flag 0x1) in the spill file followed by the bytes of it
// still in the write-behind buffer, and nowhere else (a slot without either holds the
// header only); an occupied slot has xid != 0 and nslot counts
// them. Committed transactions reach the trail in commit order: a commit whose write
// failed stays in its slot, marked, and is written before any later commit (the record
// that committed counts as taken; the table is flagged pending). A record refused (-1,
// KS_RC_HOLD, KS_RC_STOP) leaves the table as it was, and a redo record refused part-way
// is taken back whole through ks_trans_record_undo.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "extract/trans/trans.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// A transaction leaving the table without its file reaching the trail. A file that only
// this record made goes at once; any other may be named by the last saved checkpoint, which
// a crash would resume with the transaction open, so it stays until the next save.
void delete_spill_file(ks_trans_t *t, ks_trans_slot_t *s, bool made_by_this_record = false) {
  ks_trans_close_fd(t, s);
  if (s->flag & KS_SLOT_SPILLED) {
    char name[PATH_MAX];
    ks_spill_file_name(name, sizeof name, s->xid, s->sscn);
    if (made_by_this_record)
      unlink(name);
    else
      ks_trans_done_with_spill(t, name);
  }
}

// Opens the spill file of a spilled slot for appending when its descriptor is not open
// (spilled before this run, or closed to bound the open ones): the data are in the file
// only, so it is reopened, never recreated. 0, -1 (worth trying again), KS_RC_STOP (the
// file is missing).
int open_spill(ks_trans_t *t, ks_trans_slot_t *s, const char *name) {
  if (s->fd >= 0) return 0;
  s->fd = ks_open_file(name, O_RDWR | O_APPEND);
  if (s->fd < 0 && errno == ENOENT) {
    // The transaction's changes so far are gone: waiting brings nothing back.
    KS_ERROR("open %s: %s", name, strerror(errno));
    return KS_RC_STOP;
  }
  if (s->fd < 0) {
    KS_ERROR_EVERY_MINUTE("open %s: %s", name, strerror(errno));
    return -1;
  }
  ks_trans_note_fd(t, s);
  return 0;
}

// Appends len bytes to the slot's spill file, which holds keep bytes before them. A failed
// append is cut back so the file keeps whole records. 0, -1 (a write failed: worth trying
// again), KS_RC_STOP (the spill file of a transaction is missing).
int append_spill(ks_trans_t *t, ks_trans_slot_t *s, const void *data, uint32_t len, uint64_t keep) {
  char name[PATH_MAX];
  ks_spill_file_name(name, sizeof name, s->xid, s->sscn);
  if (int rc = open_spill(t, s, name); rc != 0) return rc;
  if (ks_append_data(s->fd, data, len) != static_cast<ssize_t>(len)) {
    KS_ERROR_EVERY_MINUTE("write %s error.", name);
    if (ftruncate(s->fd, static_cast<off_t>(keep)) != 0)
      KS_ERROR_EVERY_MINUTE("truncate %s: %s", name, strerror(errno));
    return -1;
  }
  return 0;
}

// Adds one record to the image of slot sn in its spill file, creating the file with the
// image collected so far on the first overflow (the slot's buffer then goes back to the
// pool). The record waits in the write-behind buffer, which is written when it is full or
// another slot spills; one too large for it is written at once. 0, -1, KS_RC_STOP as
// append_spill; on failure nothing of the record is kept.
int spill_record(ks_trans_t *t, int sn, const void *rec, uint32_t rlen) {
  ks_trans_slot_t *s = &t->slot[sn];
  if (!(s->flag & KS_SLOT_SPILLED)) {
    if (ks_spill_image(t, s, ks_trans_image(s), true) < 0) return -1;
    ks_trans_slot_release(t, s);
  } else if (s->fd < 0) {
    // A file gone missing is found at its first record, not at the commit.
    char name[PATH_MAX];
    ks_spill_file_name(name, sizeof name, s->xid, s->sscn);
    if (int rc = open_spill(t, s, name); rc != 0) return rc;
  }
  if (t->wlen > 0 && (t->wslot != sn || t->wlen + rlen > KS_TRANS_WBUF_SZ)) {
    if (int rc = ks_trans_flush_spill(t); rc != 0) return rc;
  }
  if (t->wbuf == nullptr && rlen < KS_TRANS_WBUF_SZ)
    t->wbuf = static_cast<uint8_t *>(std::malloc(KS_TRANS_WBUF_SZ));  // none: written at once
  if (t->wbuf == nullptr || rlen >= KS_TRANS_WBUF_SZ) return append_spill(t, s, rec, rlen, s->dlen);
  std::memcpy(t->wbuf + t->wlen, rec, rlen);
  t->wlen += rlen;
  t->wslot = sn;
  return 0;
}

// Writes a committed transaction and releases its slot. A failed write leaves the slot
// marked as committed so nothing is lost and the order of commits is kept.
int commit_slot(ks_extr_t *ex, int sn) {
  ks_trans_t *t = ex->t;
  ks_trans_slot_t *s = &t->slot[sn];
  // The writer reads the spill file, or names it in the trail: all of it must be there.
  int rc = t->wlen > 0 && t->wslot == sn ? ks_trans_flush_spill(t) : 0;
  if (rc == 0) rc = ks_write_trail_file(ex, sn);
  if (rc < 0) {
    s->flag |= KS_SLOT_COMMITTED;
    t->flag |= KS_TRANS_PENDING;
    return -1;
  }
  if (rc == 0) ks_trans_drop_slot(t, sn);  // 1: queued, freed by the gathered write
  return 0;
}

// A slot holding an open transaction (occupied, its commit not already taken or queued)
// of xid's undo segment and slot that match accepts, or -1: at most one such transaction
// is open at a time.
template <typename Match>
int find_open_slot(const ks_trans_t *t, uint64_t xid, Match match) {
  for (int32_t i = ks_trans_chain(t, xid); i >= 0; i = t->hnext[i]) {
    const ks_trans_slot_t &s = t->slot[i];
    if (s.flag & (KS_SLOT_COMMITTED | KS_SLOT_QUEUED)) continue;
    if ((s.xid >> 32) == (xid >> 32) && match(s)) return i;
  }
  return -1;
}

// The slots the redo record being decoded has changed, as they were before it (see
// ks_trans_record_begin). A record belongs to one transaction, so a few entries are plenty;
// past them the record can no longer be taken back, which its undo reports.
struct RecordMark {
  int sn;
  bool opened;  // the record opened the slot
  uint32_t flag;
  uint64_t dlen;
  uint32_t nlcr;
  uint64_t xid;
};
constexpr int kMaxMarks = 4;
RecordMark x_marks[kMaxMarks];
int x_nmark = -1;  // -1: no record is being followed
bool x_marks_lost = false;

void mark_slot(const ks_trans_t *t, int sn, bool opened) {
  if (x_nmark < 0) return;
  for (int i = 0; i < x_nmark; i++)
    if (x_marks[i].sn == sn) return;
  if (x_nmark == kMaxMarks) {
    x_marks_lost = true;
    return;
  }
  const ks_trans_slot_t &s = t->slot[sn];
  x_marks[x_nmark++] = {sn, opened, s.flag, s.dlen, s.nlcr, s.xid};
}

}  // namespace

uint64_t ks_trans_find_open(const ks_trans_t *t, uint32_t usn, uint32_t slot) {
  if (t == nullptr || t->slot == nullptr) return 0;
  const uint64_t key = static_cast<uint64_t>(usn & 0xFFFF) << 16 | (slot & 0xFFFF);
  int sn = find_open_slot(t, key << 32, [](const ks_trans_slot_t &) { return true; });
  return sn < 0 ? 0 : t->slot[sn].xid;
}

int ks_flush_trail(ks_trans_t *t) {
  if (t->nq == 0) return 0;
  struct iovec iov[KS_TRANS_QMAX];
  for (int i = 0; i < t->nq; i++) {
    ks_trans_slot_t *s = &t->slot[t->q[i]];
    iov[i].iov_base = s->buf;
    iov[i].iov_len = ks_lcr_u32(s->buf, 0);
  }
  off_t off = static_cast<off_t>(t->tail) - static_cast<off_t>(t->qlen);
  size_t left = t->qlen;
  int first = 0;
  int err = 0;
  while (left > 0) {
    ssize_t n = pwritev(t->fd, iov + first, t->nq - first, off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    off += n;
    left -= static_cast<size_t>(n);
    // Past the images written whole; the next write resumes inside the first one left.
    while (first < t->nq && static_cast<size_t>(n) >= iov[first].iov_len) {
      n -= static_cast<ssize_t>(iov[first].iov_len);
      first++;
    }
    if (first < t->nq) {
      iov[first].iov_base = static_cast<uint8_t *>(iov[first].iov_base) + n;
      iov[first].iov_len -= static_cast<size_t>(n);
    }
  }
  if (err != 0) {
    // Nothing of the queue counts as written: the file's tail goes back, and each slot
    // waits as a committed transaction whose write failed.
    KS_ERROR_EVERY_MINUTE("write trail file error: %s", strerror(err));
    for (int i = 0; i < t->nq; i++) {
      ks_trans_slot_t *s = &t->slot[t->q[i]];
      s->flag = (s->flag & ~KS_SLOT_QUEUED) | KS_SLOT_COMMITTED;
    }
    t->flag |= KS_TRANS_PENDING;
    t->tail -= static_cast<int>(t->qlen);
    t->fhdr.tail = static_cast<uint32_t>(t->tail);
    t->fhdr.last_scn = t->q_last_scn;
    t->fhdr.last_xid = t->q_last_xid;
    t->nq = 0;
    t->qlen = 0;
    return -1;
  }
  for (int i = 0; i < t->nq; i++) ks_trans_drop_slot(t, t->q[i]);
  t->nq = 0;
  t->qlen = 0;
  return 0;
}

// Writes the commits whose trail write failed earlier, oldest commit first.
int ks_flush_pending_commits(ks_extr_t *ex) {
  ks_trans_t *t = ex->t;
  if (!(t->flag & KS_TRANS_PENDING)) return 0;
  for (;;) {
    int best = -1;
    for (int i = 0; i < t->nalloc; i++) {
      const ks_trans_slot_t &s = t->slot[i];
      if (s.xid != 0 && (s.flag & KS_SLOT_COMMITTED) && (best < 0 || s.cscn < t->slot[best].cscn)) best = i;
    }
    if (best < 0) break;
    if (commit_slot(ex, best) < 0) return -1;
  }
  t->flag &= ~KS_TRANS_PENDING;
  return 0;
}

int ks_append_lcr(ks_extr_t *ex, ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct) {
  ks_trans_t *t = ex->t;
  const uint32_t rlen = ks_lcr_u32(rh, 0);
  const uint32_t rflag = ks_lcr_u32(rh, 4);
  const uint32_t opc = ks_lcr_u32(rh, 8);
  if (rlen < KS_LCR_RHS_SZ) {
    KS_ERROR("invalid record length %u (opc=%u) for transaction %d.%d.%d.", rlen, opc, static_cast<int>(xid >> 48),
             static_cast<int>((xid >> 32) & 0xFFFF), static_cast<int>(xid & 0xFFFFFFFF));
    return -1;
  }
  if (rlen > KS_LCR_MAX_SZ) {
    // Refused, not cut: the caller reports the change with its redo position and counts
    // it among the changes not captured.
    KS_ERROR(
        "change record of %u bytes (opc=%u) for transaction %d.%d.%d is larger than the %u bytes one record "
        "may hold; not captured.",
        rlen, opc, static_cast<int>(xid >> 48), static_cast<int>((xid >> 32) & 0xFFFF),
        static_cast<int>(xid & 0xFFFFFFFF), KS_LCR_MAX_SZ);
    return -1;
  }

  // A wrap sequence of all ones: only the undo segment and slot are known.
  const bool partial = (xid & 0xFFFFFFFFULL) == 0xFFFFFFFFULL;
  int sn = find_open_slot(t, xid, [xid, partial](const ks_trans_slot_t &s) {
    return s.xid == xid || partial || (s.flag & KS_SLOT_PARTIAL);
  });

  if (sn < 0) {
    if (opc == KS_OPC_COMMIT || opc == KS_OPC_ROLLBACK) return 0;
    sn = ks_trans_take_slot(t, xid, true);
    // Queued commits hold their slots until the gathered write: write them to make room.
    if (sn == -1 && t->nq > 0 && ks_flush_trail(t) == 0) sn = ks_trans_take_slot(t, xid, true);
    if (sn == -1) {
      KS_ERROR(
          "%d transactions are open, the most max_trans allows: raise the max_trans parameter "
          "of %s.%s and start again.",
          t->nslot, unit_name, com_name);
      return KS_RC_STOP;
    }
    if (sn < 0) {
      KS_ERROR("allocate memory for %d transaction slots: %s", t->nalloc * 2, strerror(ENOMEM));
      return KS_RC_STOP;
    }
    ks_trans_slot_t *s = &t->slot[sn];
    s->flag = partial ? KS_SLOT_PARTIAL : 0;
    s->dlen = KS_LCR_TH_SZ;
    s->ssct = sct;
    s->sscn = scn;
    mark_slot(t, sn, true);
  } else {
    mark_slot(t, sn, false);
  }
  ks_trans_slot_t *s = &t->slot[sn];

  if (!ks_trans_keeps(s->flag, rflag, opc)) return 0;

  if (opc == KS_OPC_TAG) {
    s->flag |= KS_SLOT_TAG;
    return 0;
  }

  if (opc == KS_OPC_ROLLBACK) {
    // The transaction is forgotten; storing its ROLLBACK first would change nothing.
    delete_spill_file(t, s);
    ks_trans_drop_slot(t, sn);
    return 0;
  }

  s->flag |= ks_trans_record_flags(rflag, opc);

  const uint64_t need = s->dlen + rlen;
  // A buffer that is too small grows to the next size; when the pool cannot give one,
  // the image continues in its file.
  if (!(s->flag & KS_SLOT_SPILLED) && need > s->tlen && need <= static_cast<uint64_t>(t->trans_sz))
    ks_trans_slot_buffer(t, sn, static_cast<uint32_t>(need), false);
  if (!(s->flag & KS_SLOT_SPILLED) && need <= s->tlen) {
    std::memcpy(s->buf + s->dlen, rh, rlen);
  } else if (int rc = spill_record(t, sn, rh, rlen); rc < 0) {
    // The file keeps whole records; the redo record's undo takes back the rest.
    return rc == KS_RC_STOP ? rc : KS_RC_HOLD;
  }
  s->dlen += rlen;
  s->nlcr++;

  if (opc == KS_OPC_COMMIT) {
    s->csct = sct;
    s->cscn = scn;
    if (scn <= x_last_scn) {
      // Committed before the start-up filter SCN: delivered by an earlier run.
      delete_spill_file(t, s);
      ks_trans_drop_slot(t, sn);
      return 0;
    }
    // A commit whose write fails is kept in its slot, marked, and the record counts as
    // taken: the table is flagged pending and the capture loop reads no further redo
    // until the trail takes it.
    if (ks_flush_pending_commits(ex) < 0) {
      s->flag |= KS_SLOT_COMMITTED;
      return 0;
    }
    commit_slot(ex, sn);
  }
  return 0;
}

int ks_trans_flush_spill(ks_trans_t *t) {
  if (t->wlen == 0) return 0;
  ks_trans_slot_t *s = &t->slot[t->wslot];
  const int rc = append_spill(t, s, t->wbuf, t->wlen, s->dlen - t->wlen);
  if (rc == 0) t->wlen = 0;
  return rc;
}

void ks_trans_record_begin() {
  x_nmark = 0;
  x_marks_lost = false;
}

int ks_trans_record_undo(ks_trans_t *t) {
  if (x_nmark < 0) return 0;
  int rc = x_marks_lost ? -1 : 0;
  for (int i = x_nmark - 1; i >= 0; i--) {
    const RecordMark &mk = x_marks[i];
    ks_trans_slot_t *s = &t->slot[mk.sn];
    // Committed, queued or forgotten since: that part of the record has left the table.
    if (s->xid != mk.xid || (s->flag & (KS_SLOT_COMMITTED | KS_SLOT_QUEUED))) {
      rc = -1;
      continue;
    }
    if (mk.opened) {
      delete_spill_file(t, s, true);
      ks_trans_drop_slot(t, mk.sn);
      continue;
    }
    if ((s->flag & KS_SLOT_SPILLED) && s->dlen != mk.dlen) {
      // Spilled before the record or by it: the file followed by the bytes still in the
      // write-behind buffer begins with the image as it was before the record either way
      // (a buffer given back stays with the pool). What the record added only to the
      // buffer is dropped there; the file is cut only when some of it was written.
      const uint64_t pending = t->wlen > 0 && t->wslot == mk.sn ? t->wlen : 0;
      if (pending > 0 && mk.dlen >= s->dlen - pending) {
        t->wlen -= static_cast<uint32_t>(s->dlen - mk.dlen);
      } else {
        if (pending > 0) t->wlen = 0;
        char name[PATH_MAX];
        ks_spill_file_name(name, sizeof name, s->xid, s->sscn);
        if (truncate(name, static_cast<off_t>(mk.dlen)) != 0) {
          KS_ERROR("truncate %s: %s", name, strerror(errno));
          rc = -1;
        }
      }
    }
    s->flag = mk.flag | (s->flag & KS_SLOT_SPILLED);
    s->dlen = mk.dlen;
    s->nlcr = mk.nlcr;
  }
  x_nmark = 0;
  x_marks_lost = false;
  return rc;
}
