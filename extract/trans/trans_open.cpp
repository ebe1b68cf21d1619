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

// Walks the transactions in [64, tail) of the reopened trail file: each header must be
// a transaction record of at least 32 bytes ending at or before tail, and an in-line
// transaction's records must fill it exactly.
int check_trail_data(ks_trans_t *t, const char *name, uint32_t tail, uint64_t *last_scn = nullptr,
                     uint64_t *last_xid = nullptr) {
  uint64_t off = KS_TRAIL_FH_SZ;
  while (off < tail) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(KS_TRANS_TBUF_SZ, tail - off));
    ssize_t n = ks_read_data(t->fd, t->tbuf, want, static_cast<off_t>(off));
    if (n != static_cast<ssize_t>(want)) {
      KS_ERROR("read %s: %s", name, n < 0 ? strerror(errno) : "file shorter than its header's tail");
      return -1;
    }
    size_t pos = 0;
    while (pos < want) {
      if (want - pos < KS_LCR_TH_SZ) {
        if (want == KS_TRANS_TBUF_SZ) break;  // header continues in the next chunk
        KS_ERROR("corrupt trail file %s at offset %lu: transaction header runs past the tail %u.", name,
                 static_cast<unsigned long>(off + pos), tail);
        return -1;
      }
      ks_lcr_th_t th = ks_lcr_load<ks_lcr_th_t>(t->tbuf + pos);
      const unsigned long at = static_cast<unsigned long>(off + pos);
      if (th.tlen < KS_LCR_TH_SZ) {
        KS_ERROR("corrupt trail file %s at offset %lu: transaction length %u below 32.", name, at, th.tlen);
        return -1;
      }
      if (off + pos + th.tlen > tail) {
        KS_ERROR("corrupt trail file %s at offset %lu: transaction length %u runs past the tail %u.", name, at, th.tlen,
                 tail);
        return -1;
      }
      if (th.flag & KS_TH_EOF) {
        KS_ERROR("corrupt trail file %s at offset %lu: end-of-file marker before the tail %u.", name, at, tail);
        return -1;
      }
      if (pos + th.tlen > want) {
        if (th.tlen > KS_TRANS_TBUF_SZ) {
          pos += th.tlen;  // too large to check here, and not a form the writer produces
          continue;
        }
        break;  // read again from this transaction
      }
      if (last_scn != nullptr && (th.flag & KS_TH_TRANS)) {
        *last_scn = th.cscn;
        *last_xid = th.xid;
      }
      if ((th.flag & KS_TH_TRANS) && !(th.flag & KS_TH_BYREF)) {
        uint32_t bad = 0;
        const char *why = "";
        if (ks_trail_check_records(t->tbuf + pos, th.tlen, th.nlcr, &bad, &why) < 0) {
          KS_ERROR("corrupt trail file %s at offset %lu: %s.", name, at + bad, why);
          return -1;
        }
      }
      pos += th.tlen;
    }
    if (pos == 0) {
      KS_ERROR("corrupt trail file %s at offset %lu: unreadable transaction.", name, static_cast<unsigned long>(off));
      return -1;
    }
    off += pos;
  }
  return 0;
}

// Reopens the current trail file and resumes writing at its recorded tail; the on-disk
// header gets the open-file values while memory keeps the real ones.
int reopen_trail_file(ks_trans_t *t) {
  char name[PATH_MAX];
  ks_trail_file_name(name, sizeof name, t->fseq);
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
  ks_trail_fh_t fh;
  if (ks_read_data(fd, &fh, sizeof fh, 0) != static_cast<ssize_t>(sizeof fh)) {
    KS_ERROR("read %s: %s", name, strerror(errno));
    return -1;
  }
  if (fh.fno != static_cast<uint32_t>(t->fseq)) {
    KS_ERROR("corrupt trail file %s at offset 0: file number %u, expected %d.", name, fh.fno, t->fseq);
    return -1;
  }
  if (fh.tail < KS_TRAIL_FH_SZ || fh.tail > static_cast<uint64_t>(st.st_size) ||
      fh.tail > static_cast<uint32_t>(INT_MAX)) {
    KS_ERROR("corrupt trail file %s at offset 4: tail %u outside the file's %ld bytes.", name, fh.tail,
             static_cast<long>(st.st_size));
    return -1;
  }
  uint64_t last_scn = fh.last_scn;
  uint64_t last_xid = fh.last_xid;
  if (t->resume_tail != 0) {
    // The checkpoint says where this file ended when its redo position was saved. What
    // lies beyond came from redo after that position (a run that crashed, perhaps even
    // closed this file at a roll-over): the redo brings it again, so it is cut off
    // rather than left for a reader to take as transactions.
    const uint32_t resume = t->resume_tail;
    if (resume < KS_TRAIL_FH_SZ || resume > static_cast<uint64_t>(st.st_size)) {
      KS_ERROR("corrupt trail file %s: the checkpoint's offset %u lies outside the file's %ld bytes.", name, resume,
               static_cast<long>(st.st_size));
      return -1;
    }
    if (check_trail_data(t, name, resume, &last_scn, &last_xid) < 0) return -1;
    if (static_cast<uint64_t>(st.st_size) > resume) {
      KS_INFO(
          "trail file %s: %ld bytes after offset %u were written after the checkpoint; "
          "they are written again from the redo.",
          name, static_cast<long>(st.st_size - resume), resume);
      if (ftruncate(fd, resume) != 0) {
        KS_ERROR("truncate %s: %s", name, strerror(errno));
        return -1;
      }
    }
    if (resume == KS_TRAIL_FH_SZ) last_scn = last_xid = 0;
    fh.tail = resume;
  } else if (check_trail_data(t, name, fh.tail) < 0) {
    return -1;
  }

  fh.last_scn = KS_SCN_OPEN;
  fh.last_xid = 0;
  if (ks_write_data(fd, &fh, sizeof fh, 0) != static_cast<ssize_t>(sizeof fh)) {
    KS_ERROR("write %s: %s", name, strerror(errno));
    return -1;
  }
  fh.last_scn = last_scn;
  fh.last_xid = last_xid;
  t->fhdr = fh;
  t->tail = static_cast<int>(fh.tail);
  return 0;
}

// Checks a spill file against its slot record; data beyond it are cut off, and so are
// the marks of a rollback resolution run by a commit after the save (it went by
// reference, so its marks went into this file). The file is reopened when the
// transaction is next appended to.
void check_spill_file(ks_trans_t *t, ks_trans_slot_t *s, int *rc) {
  char name[PATH_MAX];
  ks_spill_file_name(name, sizeof name, s->xid, s->sscn);
  // Not appending: the marks below are positioned writes.
  int fd = ks_open_file(name, O_RDWR);
  if (fd < 0) {
    KS_ERROR("open %s: %s", name, strerror(errno));
    return;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) != s->dlen) {
    if (static_cast<uint64_t>(st.st_size) < s->dlen) {
      KS_ERROR("corrupt transaction file %s at offset %ld: %lu bytes expected.", name, static_cast<long>(st.st_size),
               static_cast<unsigned long>(s->dlen));
      close(fd);
      *rc = -1;
      return;
    }
    // A record appended after the last save (a crash between the two) is cut off: the
    // redo after the checkpoint brings it again.
    if (ftruncate(fd, static_cast<off_t>(s->dlen)) != 0) {
      KS_ERROR("truncate %s: %s", name, strerror(errno));
      close(fd);
      *rc = -1;
      return;
    }
  }
  // A header is stamped only by a commit by reference (it is zeros while the
  // transaction is collected).
  uint8_t h[KS_LCR_TH_SZ];
  const bool stamped = ks_read_data(fd, h, sizeof h, 0) == static_cast<ssize_t>(sizeof h) &&
                       (ks_lcr_load<ks_lcr_th_t>(h).flag & KS_TH_TRANS) != 0;
  if (stamped && ks_unresolve_rollback(t, fd, name) < 0) *rc = -1;
  close(fd);
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
    if (s->flag & KS_SLOT_COMMITTED) t->flag |= KS_TRANS_PENDING;
    if (s->flag & KS_SLOT_SPILLED) {
      check_spill_file(t, s, &rc);
      if (rc < 0) return -1;
      continue;
    }
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
  if (ks_trans_get_param(&max_trans, &trans_sz) < 0) {
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
  t->max_tsz = static_cast<int>(KS_TRAIL_MAX_SZ);
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

  if (reopen_trail_file(t) < 0) {
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
