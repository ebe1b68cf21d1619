// The checkpoint file <home>data/<unit>/<component>[_<thread>].ckp: one 128-byte record
// in host byte order. Start-up reads it and marks it open; both exits write it marked
// closed; while running, the process saves its progress into it at intervals, still
// marked open (and marked saved). A file found open at start-up belongs to a run that
// never reached an exit, and is left exactly as it is until an operator resets the mark
// — or the manager, which restarts a component that ended without a clean stop, starts
// it again: the position, trail offset and open transactions in the record were saved
// together, so resuming from them is what the operator's reset would do.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "extract/extract.h"
#include "lib/log/log.h"
#include "lib/util.h"

int ks_component_file_path(char *path, size_t n, const char *ext) {
  int len;
  if (x_rac)
    len = snprintf(path, n, "%sdata/%s/%s_%d.%s", ks_get_home_dir(), unit_name, com_name, x_thrd, ext);
  else
    len = snprintf(path, n, "%sdata/%s/%s.%s", ks_get_home_dir(), unit_name, com_name, ext);
  return (len < 0 || static_cast<size_t>(len) >= n) ? -1 : 0;
}

int ks_check_point_path(char *path, size_t n) { return ks_component_file_path(path, n, "ckp"); }

namespace {

// Opens (creating) this component's checkpoint file; its path goes to path.
int open_check_point(char *path, size_t n, int flags) {
  if (ks_check_point_path(path, n) < 0) {
    KS_ERROR("check point file path too long.");
    return -1;
  }
  int fd = ks_open_file(path, flags | O_CREAT);
  if (fd < 0) KS_ERROR("open %s: %s", path, strerror(errno));
  return fd;
}

}  // namespace

int ks_read_check_point(ks_ckp_t *ckp, bool accept_open) {
  char path[1024];
  int fd = open_check_point(path, sizeof path, O_RDWR);
  if (fd < 0) return -1;
  uint8_t raw[KS_CKP_SIZE] = {};
  ssize_t n = ks_read_data(fd, raw, sizeof raw, 0);
  if (n < 0) {
    KS_ERROR("read %s error.", path);
    close(fd);
    return -1;
  }
  // A new file reads nothing; a file cut short by a full disk reads as far as it goes and
  // the rest stays zero, which is what a new file would give.
  std::memcpy(ckp, raw, sizeof *ckp);
  const bool was_open = (ckp->flag & KS_CKP_OPEN) != 0;
  if (was_open && !accept_open) {
    KS_ERROR("process exit abnormal, initialize needed.");
    close(fd);
    return -1;
  }
  if (was_open)
    KS_WARN("check point left open by a run that did not stop cleanly; restarted, resuming from %s.",
            (ckp->flag & KS_CKP_SAVED) ? "the progress it saved" : "the position it started from");
  const uint32_t saved = was_open ? ckp->flag & KS_CKP_SAVED : 0;
  ckp->flag = (ckp->flag & ~static_cast<uint32_t>(KS_CKP_CLOSED | KS_CKP_SAVED)) | KS_CKP_OPEN;
  ckp->thrd = static_cast<uint32_t>(x_thrd);
  std::memcpy(raw, ckp, sizeof raw);
  ckp->flag |= saved;  // for the caller; this run's record is not marked saved yet
  if (ks_write_data(fd, raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw) || fsync(fd) != 0) {
    KS_ERROR("write %s error.", path);
    close(fd);
    return -1;
  }
  close(fd);
  return 0;
}

namespace {

// One positioned write of the whole record, synced: a crash leaves either the old or the
// new record, never a mix of two positions, and a restart resumes from what is on disk.
int put_check_point(const ks_ckp_t *ckp) {
  char path[1024];
  int fd = open_check_point(path, sizeof path, O_WRONLY);
  if (fd < 0) return -1;
  uint8_t raw[KS_CKP_SIZE];
  std::memcpy(raw, ckp, sizeof raw);
  if (ks_write_data(fd, raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw) || fsync(fd) != 0) {
    KS_ERROR("write %s error.", path);
    close(fd);
    return -1;
  }
  close(fd);
  return 0;
}

}  // namespace

int ks_write_check_point(ks_ckp_t *ckp) {
  ckp->flag = (ckp->flag & ~static_cast<uint32_t>(KS_CKP_OPEN | KS_CKP_SAVED)) | KS_CKP_CLOSED;
  return put_check_point(ckp);
}

// While running the record stays marked open: only a clean exit closes it.
int ks_save_check_point(ks_ckp_t *ckp) {
  ckp->flag |= KS_CKP_SAVED;
  return put_check_point(ckp);
}
