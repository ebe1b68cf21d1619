// Stop and periodic save of the transaction table: the open trail file gets its header
// from memory (no end-of-file marker: the next start resumes it) and the open
// transactions go to the save file (the occupied slots' records, then their in-memory
// images; spilled ones stay in their spill files), stamped with the generation the
// checkpoint will name.
// Invariants: the save file is replaced whole (written aside, then renamed over the old
// one), so a failure while saving never leaves a half-written file under its name; the
// file it replaces stays as "<name>.prev" until the next replacement, because the
// checkpoint naming the new one is written after it; a stop with no open transaction
// leaves no save file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "extract/trans/trans.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// Moves the current save file aside as "<name>.prev" (replacing an older one). A link,
// not a rename, so that the name never stops naming a complete file.
void keep_previous(const char *name) {
  char prev[PATH_MAX + 8];
  snprintf(prev, sizeof prev, "%s.prev", name);
  unlink(prev);
  if (link(name, prev) != 0 && errno != ENOENT) KS_WARN("link %s: %s", prev, strerror(errno));
}

int write_save_file(ks_trans_t *t, const char *name) {
  char tmp[PATH_MAX + 8];
  snprintf(tmp, sizeof tmp, "%s.new", name);
  int fd = ks_open_file(tmp, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) {
    KS_ERROR("open %s: %s", tmp, strerror(errno));
    return -1;
  }
  auto fail = [&]() {
    close(fd);
    unlink(tmp);
    return -1;
  };
  // The occupied slots only, and at least one record: readers of earlier versions take
  // a file without any for a damaged one.
  const int nrec = std::max(t->nslot, 1);
  ks_trans_fhd_t fhd = {0, static_cast<uint32_t>(t->nslot), static_cast<uint32_t>(nrec), t->gen};
  if (ks_append_data(fd, &fhd, sizeof fhd) != static_cast<ssize_t>(sizeof fhd)) {
    KS_ERROR("write %s: %s", tmp, strerror(errno));
    return fail();
  }
  std::unique_ptr<ks_trans_slot_t[]> recs(new (std::nothrow) ks_trans_slot_t[nrec]());
  if (!recs) {
    KS_ERROR("write transaction slot error.");
    return fail();
  }
  int n = 0;
  for (int i = 0; i < t->nalloc && n < t->nslot; i++) {
    if (t->slot[i].xid == 0) continue;
    recs[n] = t->slot[i];
    recs[n].buf = nullptr;  // an address of this run means nothing to the next
    recs[n].fd = -1;
    n++;
  }
  const size_t rec_sz = sizeof(ks_trans_slot_t) * nrec;
  if (ks_append_data(fd, recs.get(), rec_sz) != static_cast<ssize_t>(rec_sz)) {
    KS_ERROR("write transaction slot error.");
    return fail();
  }
  for (int i = 0; i < t->nalloc; i++) {
    const ks_trans_slot_t &s = t->slot[i];
    if (s.xid == 0 || (s.flag & KS_SLOT_SPILLED)) continue;
    if (ks_append_data(fd, ks_trans_image(&s), s.dlen) != static_cast<ssize_t>(s.dlen)) {
      KS_ERROR("write transaction data error.");
      return fail();
    }
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    KS_ERROR("write %s: %s", tmp, strerror(errno));
    unlink(tmp);
    return -1;
  }
  keep_previous(name);
  if (rename(tmp, name) != 0) {
    KS_ERROR("write %s: %s", name, strerror(errno));
    unlink(tmp);
    return -1;
  }
  return 0;
}

}  // namespace

int ks_trans_close(ks_trans_t *t) {
  int rc = 0;
  // Queued commits are written first; if that fails they are saved below as commits
  // whose write failed, and written at the next start.
  if (t->nq > 0 && ks_flush_trail(t) < 0) rc = -1;
  if (t->fd >= 0) {
    if (ks_write_data(t->fd, &t->fhdr, sizeof t->fhdr, 0) != static_cast<ssize_t>(sizeof t->fhdr)) {
      // The open transactions are still saved below: losing them would lose changes.
      KS_ERROR("write trace file header error.");
      rc = -1;
    }
    close(t->fd);
    t->fd = -1;
  }
  if (t->buf == nullptr) return rc;

  char name[PATH_MAX];
  ks_trans_save_file_name(name, sizeof name);
  if (t->nslot == 0) {
    keep_previous(name);
    if (unlink(name) != 0 && errno != ENOENT) KS_WARN("remove %s: %s", name, strerror(errno));
    ks_trans_free_table(t);
    return rc;
  }
  // The save file records each spill file's length, so their last records go first.
  if (ks_trans_flush_spill(t) != 0 || write_save_file(t, name) < 0) {
    // The table is kept: nothing of the open transactions is thrown away.
    return KS_TRANS_NOT_SAVED;
  }
  ks_trans_free_table(t);
  return rc;
}

int ks_trans_save(ks_trans_t *t) {
  if (t->buf == nullptr) return -1;
  // The tail saved must be data on disk: gathered commits are written first.
  if (t->nq > 0 && ks_flush_trail(t) < 0) return -1;
  if (t->fd >= 0) {
    // The tail on disk moves with the checkpoint; the file stays marked open.
    ks_trail_fh_t fh = t->fhdr;
    fh.last_scn = KS_SCN_OPEN;
    fh.last_xid = 0;
    if (ks_write_data(t->fd, &fh, sizeof fh, 0) != static_cast<ssize_t>(sizeof fh) || fdatasync(t->fd) != 0) {
      KS_ERROR("write trail file header error.");
      return -1;
    }
  }
  char name[PATH_MAX];
  ks_trans_save_file_name(name, sizeof name);
  // The save file records each spill file's length, which a restart cuts the file back
  // to: records still in the write-behind buffer are written first.
  if (ks_trans_flush_spill(t) != 0) return -1;
  // Written even without open transactions: the checkpoint names a generation, and a
  // missing file would not tell "none open" from "lost".
  return write_save_file(t, name);
}
