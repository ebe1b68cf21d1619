// Creation and removal of the system segment and its semaphore set (manager only).
// Whoever creates removes: ks_shm_remove undoes exactly what shm_inf records. A segment
// whose creator is gone is stale and may be replaced (ks_shm_remove_stale); one whose
// creator lives belongs to a running manager and is never touched.
#include <errno.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"

namespace {

void reset_inf() {
  std::memset(&shm_inf, 0, sizeof shm_inf);
  shm_inf.semid = -1;
  for (auto &s : shm_inf.segs) s.shmid = -1;
}

void drop_segments() {
  for (auto &s : shm_inf.segs) {
    if (s.head != nullptr) shmdt(s.head);
    if (s.shmid >= 0) shmctl(s.shmid, IPC_RMID, nullptr);
  }
  if (shm_inf.semid >= 0) semctl(shm_inf.semid, 0, IPC_RMID);
  reset_inf();
}

// The live processes in the process table of a segment whose manager is gone: up to
// max into out → how many. Every position is checked against the segment's size: the
// header may be half-written.
int live_components(const ks_sysinfo_t *si, size_t seg_sz, pid_t *out, int max) {
  if (std::memcmp(si->ksname, KS_SHM_MAGIC, sizeof KS_SHM_MAGIC) != 0) return 0;
  if (si->cfg_ofs == 0 || si->ps_ofs == 0 || si->cfg_ofs + sizeof(ks_cfg_bh_t) > seg_sz) return 0;
  const auto *base = reinterpret_cast<const uint8_t *>(si);
  const auto *bh = reinterpret_cast<const ks_cfg_bh_t *>(base + si->cfg_ofs);
  uint64_t n = bh->max_procs;
  if (si->ps_ofs + n * sizeof(ks_ps_task_t) > seg_sz) return 0;
  const auto *ps = reinterpret_cast<const ks_ps_task_t *>(base + si->ps_ofs);
  int found = 0;
  for (uint64_t i = 0; i < n; ++i)
    if (ps[i].pid > 0 && ks_pid_running(ps[i].pid)) {
      if (found < max) out[found] = ps[i].pid;
      found++;
    }
  return found;
}

// The home's key, its first segment's creator and size → the segment's id; -1 when
// there is none (errno ENOENT, *key set) or on error (logged).
int stale_segment(key_t *keyp, pid_t *creator, size_t *segsz) {
  key_t &key = *keyp;
  uint64_t total;
  if (ks_cfg_get_key(&key, &total) != 0) {
    KS_ERROR("get shared memory key error.\n");
    errno = EINVAL;
    return -1;
  }
  int id0 = shmget(key, 0, 0);
  if (id0 < 0) {
    if (errno != ENOENT) KS_ERROR("shmget(): %s", strerror(errno));
    return -1;
  }
  struct shmid_ds ds {};
  if (shmctl(id0, IPC_STAT, &ds) != 0) {
    KS_ERROR("shmctl(): %s", strerror(errno));
    errno = EINVAL;
    return -1;
  }
  *creator = ds.shm_cpid;
  *segsz = ds.shm_segsz;
  return id0;
}

}  // namespace

bool ks_pid_running(pid_t pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
  char path[64], stat[256] = {};
  snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
  FILE *f = fopen(path, "r");
  if (f == nullptr) return true;
  size_t n = fread(stat, 1, sizeof stat - 1, f);
  fclose(f);
  const char *close_paren = strrchr(stat, ')');  // the name may hold blanks and parentheses
  return !(n > 0 && close_paren != nullptr && close_paren[1] == ' ' && close_paren[2] == 'Z');
}

int ks_shm_create() {
  reset_inf();
  key_t key;
  uint64_t total;
  if (ks_cfg_get_key(&key, &total) != 0) {
    KS_ERROR("get shared memory key & size error.\n");
    return -1;
  }
  if (total < KS_SHM_MIN_SIZE) {
    KS_ERROR("shared memory size too small.\n");
    return -1;
  }
  if ((total + KS_SHM_SEG_MAX - 1) / KS_SHM_SEG_MAX > KS_SHM_MAX_SEGS) {
    KS_ERROR("shared memory size too large.\n");
    return -1;
  }

  uint64_t left = total;
  key_t next_key = key;
  int n = 0;
  while (left > 0) {
    uint64_t sz = left < KS_SHM_SEG_MAX ? left : KS_SHM_SEG_MAX;
    int id;
    for (;;) {
      id = shmget(next_key, sz, IPC_CREAT | IPC_EXCL | 0640);
      if (id >= 0) break;
      if (errno == EEXIST && n > 0) {  // a foreign segment holds this key: try the next
        next_key = key_t(uint32_t(next_key) + 1);
        continue;
      }
      if (errno == EEXIST) return -2;
      KS_ERROR("shmget(): %s", strerror(errno));
      drop_segments();
      return -1;
    }
    ks_shm_segment_t &s = shm_inf.segs[n];
    s.key = next_key;
    s.shmid = id;
    s.shm_sz = sz;
    shm_inf.nsegs = ++n;
    void *p = shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1)) {
      KS_ERROR("shmat(): %s", strerror(errno));
      drop_segments();
      return -1;
    }
    s.head = static_cast<char *>(p);
    left -= sz;
    next_key = key_t(uint32_t(next_key) + 1);
  }

  shm_inf.semid = semget(key, KS_SHM_NSEMS, IPC_CREAT | IPC_EXCL | 0640);
  if (shm_inf.semid < 0) {
    KS_ERROR("semget(): %s", strerror(errno));
    drop_segments();
    return -1;
  }

  auto *si = reinterpret_cast<ks_sysinfo_t *>(shm_inf.segs[0].head);
  std::memset(si, 0, sizeof *si);
  std::memcpy(si->ksname, KS_SHM_MAGIC, sizeof KS_SHM_MAGIC);
  si->version = KS_SHM_VERSION;
  si->semid = shm_inf.semid;
  si->pid = getpid();
  si->nsegs = uint32_t(shm_inf.nsegs);
  si->blksz = KS_SHM_BLKSZ;
  for (int i = 0; i < shm_inf.nsegs; ++i) {
    si->seg[i].key = shm_inf.segs[i].key;
    si->seg[i].shmid = shm_inf.segs[i].shmid;
    si->seg[i].shm_sz = shm_inf.segs[i].shm_sz;
    si->seg[i].blen = uint32_t((shm_inf.segs[i].shm_sz + KS_SHM_BLKSZ - 1) / KS_SHM_BLKSZ);
  }
  for (auto &a : si->au) a.pid = -1;
  si->tail_ofs = sizeof(ks_sysinfo_t);
  si->flags = KS_SHM_FLAG_SEG | KS_SHM_FLAG_SEM;
  shm_inf.status = 1;
  return 0;
}

int ks_shm_remove() {
  drop_segments();
  return 0;
}

int ks_shm_stale_components(pid_t *pids, int max) {
  key_t key;
  pid_t creator;
  size_t segsz;
  int id0 = stale_segment(&key, &creator, &segsz);
  if (id0 < 0) return errno == ENOENT ? 0 : -1;
  if (ks_pid_running(creator)) return 0;
  void *p = shmat(id0, nullptr, SHM_RDONLY);
  if (p == reinterpret_cast<void *>(-1)) {
    KS_ERROR("shmat(): %s", strerror(errno));
    return -1;
  }
  int n = live_components(static_cast<const ks_sysinfo_t *>(p), segsz, pids, max);
  shmdt(p);
  return n;
}

int ks_shm_remove_stale() {
  key_t key = -1;
  pid_t creator;
  size_t segsz;
  int id0 = stale_segment(&key, &creator, &segsz);
  if (id0 < 0) {
    if (errno == ENOENT) {
      // No segment, but a semaphore set left by a manager that died between the two.
      // Segments are made before the semaphores, so a set without its segment is stale.
      int sem = semget(key, 0, 0);
      if (sem >= 0) semctl(sem, 0, IPC_RMID);
      return 0;
    }
    return -1;
  }
  if (ks_pid_running(creator)) return 1;

  // The creator is gone. Its header names the sibling segments and the semaphore set;
  // only segments made by the same creator are removed, never a foreign one.
  void *p = shmat(id0, nullptr, SHM_RDONLY);
  if (p != reinterpret_cast<void *>(-1)) {
    auto *si = static_cast<const ks_sysinfo_t *>(p);
    pid_t orphan = 0;
    if (live_components(si, segsz, &orphan, 1) > 0) {
      // Replacing the segment under a running component would let a second copy of it
      // start beside the first: the operator must stop it first.
      KS_ERROR("process %d started by a stopped manager is still running, stop it first.", int(orphan));
      shmdt(p);
      return 2;
    }
    if (std::memcmp(si->ksname, KS_SHM_MAGIC, sizeof KS_SHM_MAGIC) == 0 && si->nsegs <= KS_SHM_MAX_SEGS) {
      KS_WARN("shared memory of a stopped manager (pid %d) found, removing it.", int(creator));
      for (uint32_t i = 1; i < si->nsegs; ++i) {
        struct shmid_ds sd {};
        if (shmctl(si->seg[i].shmid, IPC_STAT, &sd) == 0 && sd.shm_cpid == creator)
          shmctl(si->seg[i].shmid, IPC_RMID, nullptr);
      }
    }
    shmdt(p);
  }
  shmctl(id0, IPC_RMID, nullptr);
  int sem = semget(key, 0, 0);
  if (sem >= 0) semctl(sem, 0, IPC_RMID);
  return 0;
}
