// The trail writer: one positioned write per committed transaction at the current tail of
// the current trail file (or, when the table gathers commits, one per group of them, see
// ks_flush_trail), roll-over to the next file number before a transaction that would pass
// the size limit, and the end-of-file marker that tells readers to move on.
// Invariants: [64, tail) of the open file holds whole transaction records, the last qlen
// bytes of it still in the queued slots' buffers until the gathered write; the in-memory
// header (t->fhdr) is the truth about the open file, its on-disk copy is rewritten only
// when the file is closed; a transaction is never split across files; readers never
// see an in-line transaction of 1 MiB or more (those go by reference to their own file);
// while a checkpoint may still name a spilled transaction as open, its spill file stays.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "extract/trans/trans.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// Spill files copied into the trail since the last saved checkpoint (KS_TRANS_KEEP_SPILLS).
std::vector<std::string> x_copied_spills;

// After DDL tracing has rewritten a transaction (and updated the dictionary) but the trail
// write failed, the slot takes the rewritten image, so the retry writes it without
// tracing the same statement twice.
void keep_traced_image(ks_trans_slot_t *s, const uint8_t *img, const ks_lcr_th_t &th) {
  char name[PATH_MAX];
  ks_spill_file_name(name, sizeof name, s->xid, s->sscn);
  if (th.tlen <= s->tlen) {
    if (img != s->buf) std::memmove(s->buf, img, th.tlen);
    if (s->flag & KS_SLOT_SPILLED) {
      if (s->fd >= 0) close(s->fd);
      s->fd = -1;
      unlink(name);
      s->flag &= ~KS_SLOT_SPILLED;
    }
  } else {
    int fd = ks_open_file(name, O_RDWR | O_CREAT | O_TRUNC | O_APPEND);
    if (fd < 0 || ks_append_data(fd, img, th.tlen) != static_cast<ssize_t>(th.tlen)) {
      if (fd >= 0) close(fd);
      return;  // the retry traces the collected image again
    }
    if (s->fd >= 0) close(s->fd);
    s->fd = fd;
    s->flag |= KS_SLOT_SPILLED;
  }
  s->dlen = th.tlen;
  s->nlcr = th.nlcr;
  s->flag &= ~KS_SLOT_SYSOBJ;
}

// Writes th at the start of a transaction's own file. (The slot's descriptor appends,
// and a positioned write on an appending descriptor would append too.) 0 / -1.
int write_file_header(const char *name, const ks_lcr_th_t &th) {
  uint8_t h[KS_LCR_TH_SZ];
  ks_lcr_store(h, th);
  int fd = ks_open_file(name, O_WRONLY);
  const bool ok = fd >= 0 && ks_write_data(fd, h, sizeof h, 0) == static_cast<ssize_t>(sizeof h);
  if (!ok) KS_ERROR_EVERY_MINUTE("write %s: %s", name, strerror(errno));
  if (fd >= 0) close(fd);
  return ok ? 0 : -1;
}

}  // namespace

namespace {

// Starts trail file fseq whose first record is the commit (or heartbeat) (scn, xid).
int start_trail_file(ks_trans_t *t, uint64_t scn, uint64_t xid) {
  char name[PATH_MAX];
  ks_trail_file_name(name, sizeof name, t->fseq);
  int fd = ks_open_file(name, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) {
    KS_ERROR_EVERY_MINUTE("open %s: %s", name, strerror(errno));
    return -1;
  }
  t->fhdr.fno = static_cast<uint32_t>(t->fseq);
  t->fhdr.tail = KS_TRAIL_FH_SZ;
  t->fhdr.first_scn = scn;
  t->fhdr.first_xid = xid;
  t->fhdr.last_scn = KS_SCN_OPEN;
  t->fhdr.last_xid = 0;
  t->tail = KS_TRAIL_FH_SZ;
  if (ks_write_data(fd, &t->fhdr, sizeof t->fhdr, 0) != static_cast<ssize_t>(sizeof t->fhdr)) {
    KS_ERROR_EVERY_MINUTE("write trail file header error.");
    close(fd);
    t->fd = -1;
    return -1;
  }
  t->fd = fd;
  return 0;
}

// A file to take a record of size bytes whose first values would be (scn, xid): the open
// one, a new one when none is open, the next one when the record would carry the open
// one past the size limit. A file that holds nothing yet takes even an oversized record.
int room_for_record(ks_trans_t *t, uint64_t size, uint64_t scn, uint64_t xid) {
  if (t->fd < 0) return start_trail_file(t, scn, xid);
  if (static_cast<uint64_t>(t->max_tsz) >= t->tail + size || t->tail <= static_cast<int>(KS_TRAIL_FH_SZ)) return 0;
  if (ks_close_trail_file(t) < 0) return -1;
  t->fseq++;
  return start_trail_file(t, scn, xid);
}

}  // namespace

int ks_new_trail_file(ks_trans_t *t, int sn) { return start_trail_file(t, t->slot[sn].cscn, t->slot[sn].xid); }

bool ks_trans_in_trail(const ks_trans_t *t, uint64_t scn, uint64_t xid) {
  if (scn < t->done_scn) return true;
  if (scn > t->done_scn) return false;
  return std::find(t->done_xid, t->done_xid + t->ndone, xid) != t->done_xid + t->ndone;
}

int ks_write_heartbeat(ks_trans_t *t, uint64_t scn, uint32_t sct) {
  // A heartbeat below what the trail already promises would tell a reader nothing, and
  // commits still waiting for the trail must be in it before anything speaks for them.
  if (scn <= t->top_scn || (t->flag & KS_TRANS_PENDING)) return 0;
  if (room_for_record(t, KS_LCR_TH_SZ, scn, 0) < 0 || ks_flush_trail(t) < 0) return -1;
  ks_lcr_th_t hb = {};
  hb.tlen = KS_LCR_TH_SZ;
  hb.flag = KS_TH_HEARTBEAT;
  hb.csct = sct;
  hb.cscn = scn;
  uint8_t rec[KS_LCR_TH_SZ];
  ks_lcr_store(rec, hb);
  if (ks_write_data(t->fd, rec, sizeof rec, t->tail) != static_cast<ssize_t>(sizeof rec)) {
    KS_ERROR_EVERY_MINUTE("write trail file error: %s", strerror(errno));
    return -1;
  }
  t->tail += static_cast<int>(KS_LCR_TH_SZ);
  t->fhdr.tail = static_cast<uint32_t>(t->tail);
  t->fhdr.last_scn = scn;
  t->fhdr.last_xid = 0;
  t->top_scn = scn;
  return 1;
}

int ks_close_trail_file(ks_trans_t *t) {
  if (t->fd < 0) return 0;
  if (ks_flush_trail(t) < 0) return -1;  // the file's data first, then its end marker
  ks_lcr_th_t eof = {};
  eof.tlen = KS_LCR_TH_SZ;
  eof.flag = KS_TH_EOF;
  if (ks_write_data(t->fd, &eof, sizeof eof, t->tail) != static_cast<ssize_t>(sizeof eof) ||
      ks_write_data(t->fd, &t->fhdr, sizeof t->fhdr, 0) != static_cast<ssize_t>(sizeof t->fhdr)) {
    // The file stays open: closing it here would let the next commit recreate (and so
    // truncate) the same file number. The roll-over is tried again at the next commit.
    KS_ERROR_EVERY_MINUTE("write trail file header error.");
    return -1;
  }
  close(t->fd);
  t->fd = -1;
  return 0;
}

int ks_write_trail_file(ks_extr_t *ex, int sn) {
  ks_trans_t *t = ex->t;
  ks_trans_slot_t *s = &t->slot[sn];
  const uint64_t collected = s->dlen;  // the roll-over test uses what was collected
  char spill[PATH_MAX];
  spill[0] = '\0';

  // An in-memory image of 1 MiB or more (a slot buffer configured larger than that) goes
  // to the transaction's own file, so that it can go by reference like a spilled one.
  if (!(s->flag & KS_SLOT_SPILLED) && s->dlen >= KS_TRANS_REF_SZ && ks_spill_image(t, s, s->buf, true) < 0) return -1;

  uint8_t *img;
  int tbsz;
  bool byref = false;
  bool delete_after = false;  // the spill file was copied into the trail
  bool traced = false;
  if (s->flag & KS_SLOT_SPILLED) ks_spill_file_name(spill, sizeof spill, s->xid, s->sscn);
  if (!(s->flag & KS_SLOT_SPILLED)) {
    img = s->buf;
    tbsz = static_cast<int>(s->tlen);
  } else if (s->dlen < KS_TRANS_REF_SZ) {
    int fd = s->fd >= 0 ? s->fd : ks_open_file(spill, O_RDONLY);
    ssize_t n = fd >= 0 ? ks_read_data(fd, t->tbuf, s->dlen, 0) : -1;
    if (fd >= 0 && fd != s->fd) close(fd);
    if (n != static_cast<ssize_t>(s->dlen)) {
      KS_ERROR("read transaction data error.");
      return -1;
    }
    img = t->tbuf;
    tbsz = static_cast<int>(KS_TRANS_TBUF_SZ);
    delete_after = true;
  } else {
    // The reference (header and file name) is written from the slot's buffer.
    size_t plen = strlen(spill);
    if (KS_LCR_TH_SZ + plen + 1 > s->tlen &&
        ks_trans_slot_buffer(t, sn, static_cast<uint32_t>(KS_LCR_TH_SZ + plen + 1), true) < 0) {
      KS_ERROR("transaction file name %s too long for the slot buffer.", spill);
      return -1;
    }
    std::memcpy(s->buf + KS_LCR_TH_SZ, spill, plen + 1);
    img = s->buf;
    tbsz = static_cast<int>(s->tlen);
    byref = true;
  }

  ks_lcr_th_t th = {};
  th.tlen = byref ? static_cast<uint32_t>(KS_LCR_TH_SZ + strlen(spill) + 1) : static_cast<uint32_t>(s->dlen);
  th.flag = KS_TH_TRANS | (byref ? KS_TH_BYREF : 0);
  th.nlcr = s->nlcr;
  th.csct = s->csct;
  th.cscn = s->cscn;
  th.xid = s->xid;
  ks_lcr_store(img, th);
  auto *thdr = reinterpret_cast<ks_lcr_th_t *>(img);  // slot buffers are 8-byte aligned

  // The file of a transaction by reference is stamped with its header before resolution
  // marks anything in it: a restart that finds the transaction open again takes the marks
  // back. The header is written again below with its final flags.
  if (byref && (s->flag & KS_SLOT_ROLLBACK) && write_file_header(spill, th) < 0) return -1;

  // Resolution marks records in place and is not idempotent (a second run would cancel
  // further changes), so once its marks are kept where a retried write takes the image
  // from (the slot buffer, or the transaction's own file), it does not run again.
  if ((s->flag & KS_SLOT_ROLLBACK) && ks_check_rollback(ex, thdr) == 0 && (img == s->buf || byref))
    s->flag &= ~KS_SLOT_ROLLBACK;

  if (s->flag & KS_SLOT_SYSOBJ) {
    int rc = -9;
    traced = !ks_trans_nothing_to_deliver(s->flag);
    if (traced) {
      if (img != t->tbuf) std::memset(t->tbuf, 0, KS_LCR_TH_SZ);
      rc = ks_trace_ddl(ex, thdr, tbsz);
      if (rc < 0 && rc != -9) {
        KS_ERROR_EVERY_MINUTE("trace DDL error.");
        return -1;
      }
      // Tracing that needs more room than the slot buffer rebuilds the image in tbuf.
      if (rc == 0 && img != t->tbuf && ks_lcr_u32(t->tbuf, 0) != 0) img = t->tbuf;
    }
    if (rc == -9) {
      if (s->flag & KS_SLOT_SPILLED) ks_trans_done_with_spill(t, spill);
      return 0;
    }
  }

  th = ks_lcr_load<ks_lcr_th_t>(img);
  if (s->flag & KS_SLOT_TAG) th.flag |= KS_TH_TAG;
  if (s->flag & KS_SLOT_DDL) th.flag |= KS_TH_DDL;
  ks_lcr_store(img, th);

  if (byref) {
    // The spill file's reserved first 32 bytes get the final header, so the file alone
    // tells what it holds. (Its own descriptor appends, and pwrite on an appending
    // descriptor would append too.)
    write_file_header(spill, th);
  }

  if (ks_trans_in_trail(t, th.cscn, th.xid)) {
    // The run before a crash wrote it after the checkpoint this run resumed from. (A
    // transaction by reference keeps its file: the trail names it.)
    if (delete_after) ks_trans_done_with_spill(t, spill);
    return 0;
  }

  if (th.cscn < t->top_scn) {
    // One thread's commits come in SCN order, so only a heartbeat can have promised more:
    // the log writer held this commit longer than the heartbeat allowed for. A reader that
    // merges threads may already have replayed later commits of other threads; the
    // transaction is still delivered, and the operator told which one it was.
    KS_ERROR(
        "transaction %016lx committed at SCN %lu reaches the trail after a heartbeat promised every commit "
        "below SCN %lu: replay of other threads may have passed it.",
        static_cast<unsigned long>(th.xid), static_cast<unsigned long>(th.cscn),
        static_cast<unsigned long>(t->top_scn));
  }
  int rc = room_for_record(t, collected, th.cscn, th.xid);
  // An image that lives in its slot buffer can wait there for a gathered write; anything
  // else is written now, after the queue, so the file keeps commit order.
  const bool queue = rc == 0 && (t->flag & KS_TRANS_GATHER) && img == s->buf && !byref && !traced;
  if (rc == 0 && !queue && ks_flush_trail(t) < 0) rc = -1;
  if (rc == 0 && !queue && ks_write_data(t->fd, img, th.tlen, t->tail) != static_cast<ssize_t>(th.tlen)) {
    KS_ERROR_EVERY_MINUTE("write trail file error: %s", strerror(errno));
    rc = -1;
  }
  if (rc < 0) {
    if (traced) keep_traced_image(s, img, th);
    return -1;
  }
  if (queue) {
    if (t->nq == 0) {
      t->q_last_scn = t->fhdr.last_scn;
      t->q_last_xid = t->fhdr.last_xid;
    }
    t->q[t->nq++] = sn;
    t->qlen += th.tlen;
    s->flag = (s->flag & ~KS_SLOT_COMMITTED) | KS_SLOT_QUEUED;
  }
  t->tail += static_cast<int>(th.tlen);
  t->fhdr.tail = static_cast<uint32_t>(t->tail);
  t->fhdr.last_scn = th.cscn;
  t->fhdr.last_xid = th.xid;
  t->top_scn = std::max(t->top_scn, th.cscn);
  t->last_csct = th.csct;

  if (delete_after) ks_trans_done_with_spill(t, spill);
  if (queue) {
    // Queued slots stay taken: a quarter of the table at most, so new transactions
    // always find room.
    const int qmax = std::clamp(t->max_slots / 4, 1, KS_TRANS_QMAX);
    if ((t->nq >= qmax || t->qlen >= KS_TRANS_QBYTES) && ks_flush_trail(t) < 0) return -1;
    return 1;
  }
  return 0;
}

// Removed now, or at the next saved checkpoint when a restart from the current one may
// still need the file.
void ks_trans_done_with_spill(const ks_trans_t *t, const char *spill) {
  if (t->flag & KS_TRANS_KEEP_SPILLS)
    x_copied_spills.emplace_back(spill);
  else
    unlink(spill);
}

void ks_trans_release_spills(ks_trans_t *) {
  for (const auto &name : x_copied_spills) unlink(name.c_str());
  x_copied_spills.clear();
}
