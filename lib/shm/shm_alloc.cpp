// The block allocator. Memory past the system area is handed out in whole blocks of
// blksz bytes: first fit, segment by segment. Every live allocation has one au[] entry
// naming its owner pid; the segment bitmaps and au[] change only under KS_SEM_ALLOC.
// A process frees only what it owns; the manager frees what a dead process held.
#include <unistd.h>

#include <cstring>

#include "lib/log/log.h"
#include "lib/shm/shm.h"

namespace {

ks_sysinfo_t *sys() { return reinterpret_cast<ks_sysinfo_t *>(shm_inf.segs[0].head); }

// First run of n free blocks in seg, from block 0; n 0 looks for one free block and
// takes none of it. → first block, -1.
int find_run(const ks_shm_seg_t &seg, uint32_t n) {
  uint32_t need = n == 0 ? 1 : n;
  uint32_t run = 0;
  for (uint32_t b = 0; b < seg.blen; ++b) {
    if (ks_bit_test(seg.bitmap, b)) {
      run = 0;
      continue;
    }
    if (++run == need) return int(b + 1 - need);
  }
  return -1;
}

void release(ks_sysinfo_t *si, ks_shm_at_t &a) {
  if (a.seg_num >= 0 && uint32_t(a.seg_num) < si->nsegs && a.blk_num >= 0) {
    ks_shm_seg_t &seg = si->seg[a.seg_num];
    for (int32_t i = 0; i < a.nblks && uint32_t(a.blk_num + i) < seg.blen; ++i)
      ks_bit_clear(seg.bitmap, uint32_t(a.blk_num + i));
  }
  a.pid = -1;
  a.nblks = 0;
}

}  // namespace

void *ks_shm_alloc(size_t size) {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return nullptr;
  }
  ks_sysinfo_t *si = sys();
  uint64_t nb = (uint64_t(size) + si->blksz - 1) / si->blksz;
  if (nb > 0xFFFFFFFFull) return nullptr;
  uint32_t n = uint32_t(nb);
  if (ks_sem_lock(KS_SEM_ALLOC) != 0) {
    KS_ERROR("lock memory resource error.");
    return nullptr;
  }
  void *res = nullptr;
  for (int s = 0; s < shm_inf.nsegs && res == nullptr; ++s) {
    ks_shm_seg_t &seg = si->seg[s];
    int first = find_run(seg, n);
    if (first < 0) continue;
    int e = 0;
    while (e < KS_SHM_MAX_AU && si->au[e].pid != -1) ++e;
    if (e == KS_SHM_MAX_AU) break;  // allocation table full
    si->au[e] = {int32_t(getpid()), s, first, int32_t(n)};
    for (uint32_t i = 0; i < n; ++i) ks_bit_set(seg.bitmap, uint32_t(first) + i);
    res = shm_inf.segs[s].head + uint64_t(first) * si->blksz;
  }
  ks_sem_unlock(KS_SEM_ALLOC);
  return res;
}

int ks_shm_free(void *ptr) {
  if (ptr == nullptr) return 0;
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return -1;
  }
  ks_sysinfo_t *si = sys();
  const char *p = static_cast<const char *>(ptr);
  int s = 0;
  for (; s < shm_inf.nsegs; ++s) {
    const ks_shm_segment_t &g = shm_inf.segs[s];
    if (g.head != nullptr && p >= g.head && p < g.head + g.shm_sz) break;
  }
  if (s == shm_inf.nsegs) {
    KS_ERROR("ptr %p have a wrong memory range.", ptr);
    return -1;
  }
  int32_t blk = int32_t(uint64_t(p - shm_inf.segs[s].head) / si->blksz);
  int32_t pid = int32_t(getpid());
  if (ks_sem_lock(KS_SEM_ALLOC) != 0) {
    KS_ERROR("lock memory resource error.");
    return -1;
  }
  int e = 0;
  while (e < KS_SHM_MAX_AU && !(si->au[e].pid == pid && si->au[e].seg_num == s && si->au[e].blk_num == blk)) ++e;
  if (e == KS_SHM_MAX_AU) {
    ks_sem_unlock(KS_SEM_ALLOC);
    KS_ERROR("ptr not in allocate table, pid=%d, seg_num=%d, blk_num=%d", pid, s, blk);
    return -1;
  }
  release(si, si->au[e]);
  ks_sem_unlock(KS_SEM_ALLOC);
  return 0;
}

int ks_shm_free_process_mem(pid_t pid) {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return -1;
  }
  if (pid == -1) return 0;  // -1 marks free entries, never an owner
  ks_sysinfo_t *si = sys();
  if (ks_sem_lock(KS_SEM_ALLOC) != 0) {
    KS_ERROR("lock memory resource error.");
    return -1;
  }
  for (auto &a : si->au)
    if (a.pid == pid) release(si, a);
  ks_sem_unlock(KS_SEM_ALLOC);
  return 0;
}
