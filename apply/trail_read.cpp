// Opening a trail file of the upstream component and positioning in it: at the first
// record of a file, or just after the committed transaction (commit SCN, XID) recorded
// in the target checkpoint. Invariants: the reader holds at most one descriptor; on
// success r->rfd, r->tfno and r->ofs name the next byte to replay; the walk between
// files moves in one direction only (a position that falls between two files starts
// at the next file instead of stepping back and forth); a search never loops on a
// record it cannot step over.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "apply/apply.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// A clustered source's extracts write one trail per redo thread.
void trail_name(char *path, size_t psz, int thr, uint32_t fno) {
  if (thr > 0)
    std::snprintf(path, psz, "%sdata/%s/%s_%d_%u.dat", ks_get_home_dir(), unit_name, prev_name, thr, fno);
  else
    std::snprintf(path, psz, "%sdata/%s/%s_%u.dat", ks_get_home_dir(), unit_name, prev_name, fno);
}

void take(ks_ap_reader_t *r, int fd, uint32_t fno, int64_t ofs) {
  if (r->rfd >= 0 && r->rfd != fd) close(r->rfd);
  r->rfd = fd;
  r->tfno = fno;
  r->ofs = ofs;
  r->flag = 0;
  r->bofs = ofs;
  r->blen = 0;
}

// Offset just after the transaction (scn, xid) in this file; -2 when the file, still being
// written, ends before it (after a crash extract writes again what it had written beyond
// its checkpoint, so the position comes back); -1 on a fault.
int64_t search_file(ks_ap_buffer_t *b, uint8_t *buf, int fd, const char *path, uint64_t scn, uint64_t xid) {
  int64_t ofs = KS_TRAIL_FH_SZ;
  for (;;) {
    ssize_t n = ks_read_data(fd, buf, static_cast<size_t>(b->rsz), ofs);
    if (n < 0) {
      KS_ERROR("read trail file \"%s\" data error.", path);
      return -1;
    }
    int64_t pos = 0;
    while (n - pos >= KS_LCR_TH_SZ) {
      const uint8_t *th = buf + pos;
      uint32_t tlen = ks_th_tlen(th);
      if (ks_th_flag(th) & KS_TH_EOF) {
        KS_ERROR("reach the end of trail file \"%s\".", path);
        return -1;
      }
      if (!ks_trail_tlen_ok(tlen)) {
        KS_ERROR("invalid transaction length %u at offset %ld of trail file \"%s\".", tlen,
                 static_cast<long>(ofs + pos), path);
        return -1;
      }
      if (tlen > n - pos) break;
      if (ks_th_cscn(th) == scn && ks_th_xid(th) == xid) return ofs + pos + tlen;
      pos += tlen;
    }
    if (n < b->rsz) {
      KS_INFO("reach the end of trail file \"%s\" before the position; it is still being written.", path);
      return -2;
    }
    if (pos == 0) {
      KS_ERROR("transaction at offset %ld of trail file \"%s\" is larger than the read buffer.", static_cast<long>(ofs),
               path);
      return -1;
    }
    ofs += pos;
  }
}

}  // namespace

bool ks_trail_file_exists(const ks_ap_reader_t *r, uint32_t fno) {
  char path[600];
  trail_name(path, sizeof path, r->thr, fno);
  return access(path, F_OK) == 0;
}

int ks_open_trail_file(ks_apply_t *ap, uint32_t fno, uint64_t scn, uint64_t xid) {
  ks_ap_reader_t *r = ap->r;
  int dir = 0;  // +1 walking forward, -1 backward
  char path[600];
  for (;;) {
    trail_name(path, sizeof path, r->thr, fno);
    int fd = ks_open_file(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      if (err == ENOENT)
        KS_INFO("trail file \"%s\" not found.", path);
      else
        KS_ERROR("open %s: %s", path, strerror(err));
      errno = err;
      return -1;
    }
    if (scn == 0 && xid == 0) {
      take(r, fd, fno, KS_TRAIL_FH_SZ);
      return 0;
    }
    uint8_t fh[KS_TRAIL_FH_SZ];
    if (ks_read_data(fd, fh, sizeof fh, 0) != KS_TRAIL_FH_SZ) {
      KS_ERROR("read trail file header error.");
      close(fd);
      errno = EIO;
      return -1;
    }
    uint64_t first = ks_fh_first_scn(fh), last = ks_fh_last_scn(fh);
    if (scn >= first && scn <= last) {
      // The reader's own buffer: it holds nothing yet for the new position.
      int64_t ofs = search_file(ap->b, r->buf != nullptr ? r->buf : ap->b->rbuf, fd, path, scn, xid);
      if (ofs < 0) {
        close(fd);
        errno = ofs == -2 ? EAGAIN : EIO;
        return -1;
      }
      take(r, fd, fno, ofs);
      return 0;
    }
    if (scn > last) {
      if (dir < 0) {
        // Every transaction of this file committed before the position and every one
        // of the next file after it: replay starts with the next file.
        KS_WARN("start scn %lu lies between trail files #%u and #%u; apply from the start of #%u.",
                static_cast<unsigned long>(scn), fno, fno + 1, fno + 1);
        close(fd);
        return ks_open_trail_file(ap, fno + 1, 0, 0);
      }
      dir = 1;
      close(fd);
      fno++;
      continue;
    }
    // scn < first
    if (dir > 0) {
      KS_WARN("start scn %lu lies between trail files #%u and #%u; apply from the start of #%u.",
              static_cast<unsigned long>(scn), fno - 1, fno, fno);
      take(r, fd, fno, KS_TRAIL_FH_SZ);
      return 0;
    }
    if (fno == 0) {
      KS_ERROR("reach the #0 trail file, start scn %luless than #0 first scn %lu", static_cast<unsigned long>(scn),
               static_cast<unsigned long>(first));
      close(fd);
      errno = EINVAL;
      return -1;
    }
    dir = -1;
    close(fd);
    fno--;
  }
}
