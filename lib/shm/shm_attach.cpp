// Attaching to and detaching from the system segment (every process but the manager).
// shm_inf is this process's view: status 1 while the segments are mapped.
#include <errno.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"

ks_shm_seginfo_t shm_inf = [] {
  ks_shm_seginfo_t s{};
  s.semid = -1;
  for (auto &g : s.segs) g.shmid = -1;
  return s;
}();

namespace {
// Tests shorten the wait for a manager still initialising.
int attach_wait_tries = 5;
}  // namespace

void ks_shm_set_attach_wait(int tries) { attach_wait_tries = tries; }

int ks_shm_attach() {
  if (shm_inf.nsegs > 0) return 0;
  key_t key;
  uint64_t total;
  if (ks_cfg_get_key(&key, &total) != 0) {
    KS_ERROR("get shared memory key error.\n");
    return -1;
  }
  int id = shmget(key, 0, 0600);
  if (id < 0) {
    int e = errno;
    if (e != ENOENT) KS_ERROR("shmget(): %s", strerror(e));
    errno = e;
    return -1;
  }
  void *p = shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void *>(-1)) {
    int e = errno;
    KS_ERROR("shmat(): %s", strerror(e));
    errno = e;
    return -1;
  }
  auto *si = static_cast<ks_sysinfo_t *>(p);
  const uint32_t both = KS_SHM_FLAG_SEG | KS_SHM_FLAG_SEM;
  for (int i = 0; (__atomic_load_n(&si->flags, __ATOMIC_ACQUIRE) & both) != both; ++i) {
    if (i + 1 >= attach_wait_tries) {
      KS_ERROR("shared memory & semphore not initialized.");
      shmdt(p);
      errno = EAGAIN;
      return -1;
    }
    sleep(1);
  }
  if (si->nsegs == 0 || si->nsegs > KS_SHM_MAX_SEGS) {
    KS_ERROR("shared memory header corrupt: %u segments.", si->nsegs);
    shmdt(p);
    errno = EINVAL;
    return -1;
  }
  shm_inf.semid = si->semid;
  shm_inf.segs[0] = {si->seg[0].key, id, si->seg[0].shm_sz, static_cast<char *>(p)};
  shm_inf.nsegs = 1;
  for (uint32_t i = 1; i < si->nsegs; ++i) {
    void *q = shmat(si->seg[i].shmid, nullptr, 0);
    if (q == reinterpret_cast<void *>(-1)) {
      int e = errno;
      KS_ERROR("shmat(): %s", strerror(e));
      ks_shm_detach();
      errno = e;
      return -1;
    }
    shm_inf.segs[i] = {si->seg[i].key, si->seg[i].shmid, si->seg[i].shm_sz, static_cast<char *>(q)};
    shm_inf.nsegs = int(i) + 1;
  }
  shm_inf.status = 1;
  return 0;
}

int ks_shm_detach() {
  for (auto &s : shm_inf.segs) {
    if (s.head != nullptr) shmdt(s.head);
    s = {0, -1, 0, nullptr};
  }
  shm_inf.status = 0;
  shm_inf.semid = -1;
  shm_inf.nsegs = 0;
  return 0;
}
