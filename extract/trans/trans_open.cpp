// Start-up of the transaction table: its work buffer (1 MiB), the first slots and the
// image pool, the reopening of the current trail file where the last run left it, and
// the restore of the transactions that were open at the last stop from the save file and
// their spill files (save files of the fixed-size table of earlier versions included:
// their free slot records are skipped).
// Invariants: on success every restored transaction is whole (its image in its buffer or
// in its spill file, dlen bytes, nlcr whole records) and the trail file's data up to its
// tail has been checked; on failure nothing is left open or allocated. Bytes read from
// disk are checked before they are trusted: a damaged file refuses the start with a
// message naming the file and the offset, it is never partly restored.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "extract/trans/trans.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// Below this a slot buffer could not even hold the path of a transaction file.
constexpr int KS_TRANS_MIN_SZ = 4096;

const char *xid_text(uint64_t xid, char *buf, size_t size) {
  snprintf(buf, size, "%d.%d.%d", static_cast<int>(xid >> 48), static_cast<int>((xid >> 32) & 0xFFFF),
           static_cast<int>(xid & 0xFFFFFFFF));
  return buf;
}

// Where a walk of a trail file's records stopped, and why.
enum WalkEnd { WALK_END, WALK_EOF, WALK_SHORT_HEADER, WALK_SHORT_TLEN, WALK_PAST_END, WALK_BAD_RECORDS, WALK_FAULT };
struct TrailWalk {
  WalkEnd how = WALK_END;
  uint64_t at = 0;    // offset of the record the walk stopped at (end when WALK_END)
  uint32_t tlen = 0;  // its length
  uint32_t bad = 0;   // WALK_BAD_RECORDS: offset in it of the damaged record
  const char *why = "";
};
using TrailVisit = std::function<void(const ks_lcr_th_t &th)>;

// Walks the records in [64, end) of the trail file open on t->fd, handing each checked
// one to visit: each header must be of a record of at least 32 bytes ending at or before
// end, and an in-line transaction's records must fill it exactly. Stops at end, at an
// end-of-file marker or at the first record that fails.
TrailWalk walk_trail(ks_trans_t *t, const char *name, uint64_t end, const TrailVisit &visit) {
  TrailWalk w;
  uint64_t off = KS_TRAIL_FH_SZ;
  auto stop = [&](WalkEnd how, uint64_t at, uint32_t tlen) {
    w.how = how;
    w.at = at;
    w.tlen = tlen;
    return w;
  };
  while (off < end) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(KS_TRANS_TBUF_SZ, end - off));
    ssize_t n = ks_read_data(t->fd, t->tbuf, want, static_cast<off_t>(off));
    if (n != static_cast<ssize_t>(want)) {
      KS_ERROR("read %s: %s", name, n < 0 ? strerror(errno) : "file shorter than its header's tail");
      return stop(WALK_FAULT, off, 0);
    }
    size_t pos = 0;
    while (pos < want) {
      const uint64_t at = off + pos;
      if (want - pos < KS_LCR_TH_SZ) {
        if (want == KS_TRANS_TBUF_SZ) break;  // header continues in the next chunk
        return stop(WALK_SHORT_HEADER, at, 0);
      }
      ks_lcr_th_t th = ks_lcr_load<ks_lcr_th_t>(t->tbuf + pos);
      if (th.flag & KS_TH_EOF) return stop(WALK_EOF, at, th.tlen);
      if (th.tlen < KS_LCR_TH_SZ) return stop(WALK_SHORT_TLEN, at, th.tlen);
      if (at + th.tlen > end) return stop(WALK_PAST_END, at, th.tlen);
      if (pos + th.tlen > want) {
        if (th.tlen > KS_TRANS_TBUF_SZ) {
          pos += th.tlen;  // too large to check here, and not a form the writer produces
          continue;
        }
        break;  // read again from this transaction
      }
      if ((th.flag & KS_TH_TRANS) && !(th.flag & KS_TH_BYREF) &&
          ks_trail_check_records(t->tbuf + pos, th.tlen, th.nlcr, &w.bad, &w.why) < 0)
        return stop(WALK_BAD_RECORDS, at, th.tlen);
      visit(th);
      pos += th.tlen;
    }
    if (pos == 0) {
      KS_ERROR("corrupt trail file %s at offset %lu: unreadable transaction.", name, static_cast<unsigned long>(off));
      return stop(WALK_FAULT, off, 0);
    }
    off += pos;
  }
  return stop(WALK_END, end, 0);
}

// The walk's reason to stop, as the message of a damaged file; -1.
int walk_error(const TrailWalk &w, const char *name, uint64_t end) {
  const unsigned long at = static_cast<unsigned long>(w.at), tail = static_cast<unsigned long>(end);
  switch (w.how) {
    case WALK_SHORT_HEADER:
      KS_ERROR("corrupt trail file %s at offset %lu: transaction header runs past the tail %lu.", name, at, tail);
      break;
    case WALK_SHORT_TLEN:
      KS_ERROR("corrupt trail file %s at offset %lu: transaction length %u below 32.", name, at, w.tlen);
      break;
    case WALK_PAST_END:
      KS_ERROR("corrupt trail file %s at offset %lu: transaction length %u runs past the tail %lu.", name, at, w.tlen,
               tail);
      break;
    case WALK_EOF:
      KS_ERROR("corrupt trail file %s at offset %lu: end-of-file marker before the tail %lu.", name, at, tail);
      break;
    case WALK_BAD_RECORDS:
      KS_ERROR("corrupt trail file %s at offset %lu: %s.", name, at + w.bad, w.why);
      break;
    default:
      break;
  }
  return -1;
}

// Whether every byte of the open file in [from, end) is zero: what a write cut short by a
// crash of the machine leaves.
bool zeros_to_end(ks_trans_t *t, uint64_t from, uint64_t end) {
  while (from < end) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(KS_TRANS_TBUF_SZ, end - from));
    if (ks_read_data(t->fd, t->tbuf, want, static_cast<off_t>(from)) != static_cast<ssize_t>(want)) return false;
    for (size_t i = 0; i < want; i++)
      if (t->tbuf[i] != 0) return false;
    from += want;
  }
  return true;
}

// Opens trail file fno for reading and writing with its header checked; 1 opened (t->fd,
// *fh, *size), 0 no such file or one too short to hold a header (started again at the
// next write), -1 on a fault.
int open_trail(ks_trans_t *t, int fno, char *name, ks_trail_fh_t *fh, uint64_t *size) {
  ks_trail_file_name(name, PATH_MAX, fno);
  int fd = ks_open_file(name, O_RDWR);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    KS_ERROR("open %s: %s", name, strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    KS_ERROR("read %s: %s", name, strerror(errno));
    close(fd);
    return -1;
  }
  if (st.st_size < static_cast<off_t>(KS_TRAIL_FH_SZ)) {
    // Created but never given a header: it holds nothing and is recreated at the first commit.
    KS_WARN("trail file %s holds no header (%ld bytes); it is started again.", name, static_cast<long>(st.st_size));
    close(fd);
    return 0;
  }
  t->fd = fd;
  if (ks_read_data(fd, fh, sizeof *fh, 0) != static_cast<ssize_t>(sizeof *fh)) {
    KS_ERROR("read %s: %s", name, strerror(errno));
    return -1;
  }
  if (fh->fno != static_cast<uint32_t>(fno)) {
    KS_ERROR("corrupt trail file %s at offset 0: file number %u, expected %d.", name, fh->fno, fno);
    return -1;
  }
  if (fh->tail < KS_TRAIL_FH_SZ || fh->tail > static_cast<uint64_t>(st.st_size) ||
      fh->tail > static_cast<uint32_t>(INT_MAX)) {
    KS_ERROR("corrupt trail file %s at offset 4: tail %u outside the file's %ld bytes.", name, fh->tail,
             static_cast<long>(st.st_size));
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return 1;
}

// Writing goes on in the open file at tail; the on-disk header gets the open-file values
// while memory keeps the real ones.
int resume_in(ks_trans_t *t, const char *name, ks_trail_fh_t fh, uint32_t tail, uint64_t last_scn, uint64_t last_xid) {
  fh.tail = tail;
  fh.last_scn = KS_SCN_OPEN;
  fh.last_xid = 0;
  if (ks_write_data(t->fd, &fh, sizeof fh, 0) != static_cast<ssize_t>(sizeof fh)) {
    KS_ERROR("write %s: %s", name, strerror(errno));
    return -1;
  }
  fh.last_scn = last_scn;
  fh.last_xid = last_xid;
  t->fhdr = fh;
  t->tail = static_cast<int>(tail);
  return 0;
}

// The start an operator chose (another trail file number, a start SCN) or the very first
// one: writing resumes at the recorded tail of file fseq.
int reopen_at_header_tail(ks_trans_t *t) {
  char name[PATH_MAX];
  ks_trail_fh_t fh;
  uint64_t size = 0;
  int rc = open_trail(t, t->fseq, name, &fh, &size);
  if (rc <= 0) return rc;
  uint64_t last_scn = 0, last_xid = 0;
  TrailWalk w = walk_trail(t, name, fh.tail, [&](const ks_lcr_th_t &th) {
    last_scn = th.cscn;
    last_xid = th.xid;
    t->top_scn = std::max(t->top_scn, th.cscn);
  });
  if (w.how == WALK_FAULT) return -1;
  if (w.how != WALK_END) return walk_error(w, name, fh.tail);
  return resume_in(t, name, fh, fh.tail, last_scn, last_xid);
}

// What the newest trail files hold, for a restart after a stop or a crash.
struct TrailEnd {
  uint64_t end = 0;  // where the records end (a torn one cut off)
  bool closed = false;
  uint64_t nrec = 0;  // transactions and heartbeats
  uint64_t first_scn = 0, last_scn = 0, last_xid = 0;
};

// Walks trail file fno (opened on t->fd) to its last whole record: a record cut short by
// a crash (running past the end, or zeros to the end of the file) ends the walk; any
// other damage refuses the start. Notes every record in *te and in t's restart state.
int scan_trail(ks_trans_t *t, const char *name, uint64_t size, TrailEnd *te) {
  uint64_t top = t->done_scn;
  bool overflow = false;
  TrailWalk w = walk_trail(t, name, size, [&](const ks_lcr_th_t &th) {
    if (te->nrec++ == 0) te->first_scn = th.cscn;
    te->last_scn = th.cscn;
    te->last_xid = th.xid;
    if (th.cscn > top) {
      top = th.cscn;
      t->ndone = 0;
    }
    if (th.cscn == top && th.xid != 0) {
      if (t->ndone == KS_TRANS_DONE_MAX)
        overflow = true;
      else
        t->done_xid[t->ndone++] = th.xid;
    }
  });
  if (overflow) {
    KS_ERROR(
        "trail file %s holds more than %d transactions of commit SCN %lu; which of them the redo brings again "
        "cannot be told.",
        name, KS_TRANS_DONE_MAX, static_cast<unsigned long>(top));
    return -1;
  }
  t->done_scn = top;
  te->end = w.at;
  switch (w.how) {
    case WALK_END:
      return 0;
    case WALK_EOF:
      te->closed = true;
      return 0;
    case WALK_FAULT:
      return -1;
    case WALK_SHORT_HEADER:
    case WALK_PAST_END:
      break;  // cut short
    case WALK_SHORT_TLEN:
    case WALK_BAD_RECORDS:
      if (!zeros_to_end(t, w.at + (w.how == WALK_BAD_RECORDS ? KS_LCR_TH_SZ : 0), size))
        return walk_error(w, name, size);
      break;
  }
  KS_WARN("trail file %s: the %lu bytes from offset %lu are a record cut short by a crash; they are cut off.", name,
          static_cast<unsigned long>(size - w.at), static_cast<unsigned long>(w.at));
  if (ftruncate(t->fd, static_cast<off_t>(w.at)) != 0) {
    KS_ERROR("truncate %s: %s", name, strerror(errno));
    return -1;
  }
  return 0;
}

// A restart from the checkpoint: writing goes on after the last whole record of the
// newest trail file, whatever the checkpoint's offset, since a reader may already have
// taken everything written before the crash, in that file and in any it rolled over to.
// The redo read again from the checkpoint brings those transactions back: t's restart
// state tells which are in the trail already. A newest file that was closed (its end
// marker written) is completed, and the next commit starts the next file.
int resume_newest(ks_trans_t *t) {
  char name[PATH_MAX];
  int fno = t->fseq;
  for (char next[PATH_MAX];; fno++) {
    ks_trail_file_name(next, sizeof next, fno + 1);
    if (access(next, F_OK) != 0) break;
  }
  ks_trail_fh_t fh;
  uint64_t size = 0;
  int rc = open_trail(t, fno, name, &fh, &size);
  if (rc < 0) return -1;
  if (fno == t->fseq && rc > 0 && t->resume_tail > size) {
    KS_ERROR("corrupt trail file %s: the checkpoint's offset %u lies outside the file's %lu bytes.", name,
             t->resume_tail, static_cast<unsigned long>(size));
    return -1;
  }
  TrailEnd te;
  if (rc > 0 && scan_trail(t, name, size, &te) < 0) return -1;
  // Commits of one SCN may straddle a roll-over: the file before tells the rest of them.
  if (fno > 0 && (te.nrec == 0 || te.first_scn == t->done_scn)) {
    const int fd = t->fd;
    const uint64_t top = t->done_scn;
    const int n = t->ndone;
    uint64_t newer[KS_TRANS_DONE_MAX];
    std::copy(t->done_xid, t->done_xid + n, newer);
    t->fd = -1;
    t->done_scn = 0;
    t->ndone = 0;
    char prev[PATH_MAX];
    ks_trail_fh_t pfh;
    uint64_t psize = 0;
    TrailEnd pte;
    rc = open_trail(t, fno - 1, prev, &pfh, &psize);
    if (rc > 0) rc = scan_trail(t, prev, psize, &pte);
    if (t->fd >= 0) close(t->fd);
    t->fd = fd;
    if (rc < 0) return -1;
    if (te.nrec > 0 && t->done_scn != top) {
      t->done_scn = top;
      t->ndone = 0;
    }
    if (te.nrec > 0) {
      if (t->ndone + n > KS_TRANS_DONE_MAX) {
        KS_ERROR(
            "trail file %s holds more than %d transactions of commit SCN %lu; which of them the redo brings "
            "again cannot be told.",
            name, KS_TRANS_DONE_MAX, static_cast<unsigned long>(top));
        return -1;
      }
      std::copy(newer, newer + n, t->done_xid + t->ndone);
      t->ndone += n;
    }
  }
  t->top_scn = t->done_scn;
  if (t->fd < 0) {
    t->fseq = fno;
    return 0;
  }
  if (te.closed) {
    // Closed before the crash: the header the close was about to write, if it was not.
    ks_trail_fh_t done = fh;
    done.tail = static_cast<uint32_t>(te.end);
    done.last_scn = te.last_scn;
    done.last_xid = te.last_xid;
    if (std::memcmp(&done, &fh, sizeof fh) != 0 &&
        ks_write_data(t->fd, &done, sizeof done, 0) != static_cast<ssize_t>(sizeof done)) {
      KS_ERROR("write %s: %s", name, strerror(errno));
      return -1;
    }
    close(t->fd);
    t->fd = -1;
    t->fseq = fno + 1;
    return 0;
  }
  t->fseq = fno;
  return resume_in(t, name, fh, static_cast<uint32_t>(te.end), te.nrec > 0 ? te.last_scn : 0,
                   te.nrec > 0 ? te.last_xid : 0);
}

// Checks a spill file against its slot record; data beyond it are cut off, and so are
// the marks of a rollback resolution run by a commit after the save (it went by
// reference, so its marks went into this file). The file is reopened when the
// transaction is next appended to. True when the run before the crash committed the
// transaction by reference and the trail holds it: the file is the trail's now (a reader
// may be replaying it) and is left whole, and the transaction is not open any more.
bool check_spill_file(ks_trans_t *t, ks_trans_slot_t *s, int *rc) {
  char name[PATH_MAX];
  ks_spill_file_name(name, sizeof name, s->xid, s->sscn);
  // Not appending: the marks below are positioned writes.
  int fd = ks_open_file(name, O_RDWR);
  if (fd < 0) {
    KS_ERROR("open %s: %s", name, strerror(errno));
    return false;
  }
  // A header is stamped only by a commit by reference (it is zeros while the
  // transaction is collected).
  uint8_t h[KS_LCR_TH_SZ];
  ks_lcr_th_t th = {};
  if (ks_read_data(fd, h, sizeof h, 0) == static_cast<ssize_t>(sizeof h)) th = ks_lcr_load<ks_lcr_th_t>(h);
  const bool stamped = (th.flag & KS_TH_TRANS) != 0;
  if (stamped && ks_trans_in_trail(t, th.cscn, th.xid)) {
    KS_INFO("transaction file %s was delivered before the restart: kept whole, as the trail names it.", name);
    close(fd);
    return true;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) != s->dlen) {
    if (static_cast<uint64_t>(st.st_size) < s->dlen) {
      KS_ERROR("corrupt transaction file %s at offset %ld: %lu bytes expected.", name, static_cast<long>(st.st_size),
               static_cast<unsigned long>(s->dlen));
      close(fd);
      *rc = -1;
      return false;
    }
    // A record appended after the last save (a crash between the two) is cut off: the
    // redo after the checkpoint brings it again.
    if (ftruncate(fd, static_cast<off_t>(s->dlen)) != 0) {
      KS_ERROR("truncate %s: %s", name, strerror(errno));
      close(fd);
      *rc = -1;
      return false;
    }
  }
  if (stamped && ks_unresolve_rollback(t, fd, name) < 0) *rc = -1;
  close(fd);
  return false;
}

int restore_transactions(ks_trans_t *t, const char *name, int sfd) {
  struct stat st;
  if (fstat(sfd, &st) != 0) {
    KS_ERROR("read %s: %s", name, strerror(errno));
    return -1;
  }
  ks_trans_fhd_t fhd;
  ssize_t n = ks_read_data(sfd, &fhd, sizeof fhd, 0);
  if (n != static_cast<ssize_t>(sizeof fhd)) {
    KS_ERROR("read %s: %s", name, n < 0 ? strerror(errno) : "file shorter than its header");
    return -1;
  }
  if (fhd.max_trans == 0 || fhd.max_trans > static_cast<uint32_t>(INT_MAX / 64) ||
      sizeof fhd + static_cast<uint64_t>(fhd.max_trans) * 64 > static_cast<uint64_t>(st.st_size)) {
    KS_ERROR("corrupt transaction save file %s at offset 8: %u slot records in %ld bytes.", name, fhd.max_trans,
             static_cast<long>(st.st_size));
    return -1;
  }
  const int nsaved = static_cast<int>(fhd.max_trans);
  std::unique_ptr<ks_trans_slot_t[]> saved(new (std::nothrow) ks_trans_slot_t[nsaved]);
  if (!saved) {
    KS_ERROR("read %s: %s", name, strerror(ENOMEM));
    return -1;
  }
  const size_t rec_sz = sizeof(ks_trans_slot_t) * nsaved;
  if (ks_read_data(sfd, saved.get(), rec_sz, sizeof fhd) != static_cast<ssize_t>(rec_sz)) {
    KS_ERROR("read %s: %s", name, strerror(errno));
    return -1;
  }
  int nopen = 0;
  for (int i = 0; i < nsaved; i++) nopen += saved[i].xid != 0;
  if (nopen > t->max_slots) {
    KS_ERROR(
        "transaction save file %s holds %d open transactions, more than max_trans (%d) "
        "allows: raise the max_trans parameter of %s.%s.",
        name, nopen, t->max_slots, unit_name, com_name);
    return KS_RC_STOP;
  }

  uint64_t off = sizeof fhd + rec_sz;
  char xs[40];
  int rc = 0;
  for (int i = 0; i < nsaved; i++) {
    const ks_trans_slot_t &r = saved[i];
    if (r.xid == 0) continue;
    const int sn = ks_trans_take_slot(t, r.xid, true);
    if (sn < 0) {
      KS_ERROR("read %s: %s", name, strerror(ENOMEM));
      return -1;
    }
    ks_trans_slot_t *s = &t->slot[sn];
    s->flag = r.flag;
    s->dlen = r.dlen;
    s->nlcr = r.nlcr;
    s->ssct = r.ssct;
    s->csct = r.csct;
    s->sscn = r.sscn;
    s->cscn = r.cscn;
    const unsigned long rec_at = static_cast<unsigned long>(sizeof fhd + sizeof(ks_trans_slot_t) * i);
    if (s->dlen < KS_LCR_TH_SZ || s->dlen > static_cast<uint64_t>(INT_MAX)) {
      KS_ERROR("corrupt transaction save file %s at offset %lu: transaction %s length %lu.", name, rec_at + 8,
               xid_text(s->xid, xs, sizeof xs), static_cast<unsigned long>(s->dlen));
      return -1;
    }
    if (s->flag & KS_SLOT_SPILLED) {
      if (check_spill_file(t, s, &rc)) {
        ks_trans_drop_slot(t, sn);
        continue;
      }
      if (rc < 0) return -1;
      if (s->flag & KS_SLOT_COMMITTED) t->flag |= KS_TRANS_PENDING;
      continue;
    }
    if (s->flag & KS_SLOT_COMMITTED) t->flag |= KS_TRANS_PENDING;
    if (off + s->dlen > static_cast<uint64_t>(st.st_size)) {
      KS_ERROR(
          "corrupt transaction save file %s at offset %lu: transaction %s of %lu bytes runs "
          "past the end of the file.",
          name, static_cast<unsigned long>(off), xid_text(s->xid, xs, sizeof xs), static_cast<unsigned long>(s->dlen));
      return -1;
    }
    // The image goes back into a pool buffer when one can be had within this run's
    // trans_sz and budget, else to its spill file.
    const bool fits = s->dlen <= static_cast<uint64_t>(t->trans_sz) &&
                      ks_trans_slot_buffer(t, sn, static_cast<uint32_t>(s->dlen), false) == 0;
    s = &t->slot[sn];
    std::unique_ptr<uint8_t[]> big;
    uint8_t *img = s->buf;
    if (!fits) {
      big.reset(new (std::nothrow) uint8_t[s->dlen]);
      if (!big) {
        KS_ERROR("read %s: %s", name, strerror(ENOMEM));
        return -1;
      }
      img = big.get();
    }
    if (ks_read_data(sfd, img, s->dlen, static_cast<off_t>(off)) != static_cast<ssize_t>(s->dlen)) {
      KS_ERROR("read %s: %s", name, strerror(errno));
      return -1;
    }
    uint32_t bad = 0;
    const char *why = "";
    if (ks_trail_check_records(img, static_cast<uint32_t>(s->dlen), s->nlcr, &bad, &why) < 0) {
      KS_ERROR("corrupt transaction save file %s at offset %lu: transaction %s: %s.", name,
               static_cast<unsigned long>(off + bad), xid_text(s->xid, xs, sizeof xs), why);
      return -1;
    }
    if (!fits && ks_spill_image(t, s, img, false) < 0) return -1;
    off += s->dlen;
  }
  return 0;
}

// Generation stamped in a save file's header (-1 when unreadable).
int64_t save_generation(int fd) {
  ks_trans_fhd_t fhd;
  if (ks_read_data(fd, &fhd, sizeof fhd, 0) != static_cast<ssize_t>(sizeof fhd)) return -1;
  return fhd.rsv;
}

// Opens the save file that belongs to the checkpoint: the current one when its
// generation is the checkpoint's (or the checkpoint names none), else the previous one
// (a crash came between the new save file and the checkpoint naming it). Neither file:
// no transaction was open. *fd stays -1 when there is nothing to restore.
int choose_save_file(const ks_trans_t *t, char *name, int *fd) {
  *fd = ks_open_file(name, O_RDONLY);
  if (*fd < 0 && errno != ENOENT) {
    KS_ERROR("open %s: %s", name, strerror(errno));
    return -1;
  }
  if (t->gen == 0 || (*fd >= 0 && save_generation(*fd) == t->gen)) return 0;
  const bool had_current = *fd >= 0;
  if (had_current) close(*fd);
  *fd = -1;
  std::string cur = name;
  std::strcat(name, ".prev");
  int pfd = ks_open_file(name, O_RDONLY);
  if (pfd >= 0 && save_generation(pfd) == t->gen) {
    KS_INFO("restore open transactions from %s, saved with the checkpoint.", name);
    *fd = pfd;
    return 0;
  }
  if (pfd >= 0) close(pfd);
  if (!had_current) {
    // Removed at a stop with no transaction open, the checkpoint naming that stop.
    std::strcpy(name, cur.c_str());
    return 0;
  }
  KS_ERROR("transaction save file %s does not belong to the checkpoint (generation %u).", cur.c_str(), t->gen);
  return -1;
}

}  // namespace

int ks_trans_open(ks_trans_t *t) {
  int max_trans = 0;
  int trans_sz = 0;
  int trail_sz = 0;
  if (ks_trans_get_param(&max_trans, &trans_sz, &trail_sz) < 0) {
    KS_ERROR("get parameter error.");
    return -1;
  }
  if (max_trans < 1) max_trans = KS_TRANS_DEF_MAX;
  if (trans_sz < 1) trans_sz = KS_TRANS_DEF_SZ;
  if (trans_sz < KS_TRANS_MIN_SZ) trans_sz = KS_TRANS_MIN_SZ;
  trans_sz = (trans_sz + 7) / 8 * 8;  // keeps every slot buffer 8-byte aligned

  auto *mem = static_cast<uint8_t *>(ks_trans_mem_alloc(KS_TRANS_TBUF_SZ));
  if (mem == nullptr) {
    KS_ERROR("allocate shared memory error.");
    return -1;
  }
  t->flag &= KS_TRANS_KEEP_SPILLS;
  t->fd = -1;
  t->tail = 0;
  t->nq = 0;
  t->qlen = 0;
  t->buf = t->tbuf = mem;
  if (ks_trans_init_table(t, max_trans, trans_sz, t->mem_max != 0 ? t->mem_max : KS_TRANS_DEF_MEM) < 0) {
    KS_ERROR("allocate memory for the transaction table: %s", strerror(ENOMEM));
    ks_trans_free_table(t);
    return -1;
  }

  t->max_tsz = trail_sz > 0 ? trail_sz : static_cast<int>(KS_TRAIL_MAX_SZ);
  t->done_scn = t->top_scn = 0;
  t->ndone = 0;
  if ((t->resume_tail != 0 ? resume_newest(t) : reopen_at_header_tail(t)) < 0) {
    ks_trans_free_table(t);
    return -1;
  }

  char name[PATH_MAX + 8];
  ks_trans_save_file_name(name, PATH_MAX);
  int sfd = -1;
  if (choose_save_file(t, name, &sfd) < 0) {
    ks_trans_free_table(t);
    return -1;
  }
  if (sfd < 0) return 0;
  int rc = restore_transactions(t, name, sfd);
  close(sfd);
  if (rc < 0) {
    ks_trans_free_table(t);
    return rc == KS_RC_STOP ? rc : -1;
  }
  return 0;
}
