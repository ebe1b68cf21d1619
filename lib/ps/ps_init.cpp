// The process table in the system area: laid out by the manager after the
// configuration, max_procs entries, pid -1 marking a free entry. Entries name their
// component by com_uk, which survives configuration reloads; comid is the component's
// current index in the configuration area and is recomputed after every reload.
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"

namespace {
// Table and its size, or null when either is missing.
ks_ps_task_t *table(int *n) {
  auto *ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
  *n = ps != nullptr ? ks_cfg_get_max_process() : -1;
  return *n > 0 ? ps : nullptr;
}
// Test hook: tries of ks_ps_start, one second apart.
int start_tries = 5;
}  // namespace

void ks_ps_set_start_tries(int tries) { start_tries = tries; }

int ks_ps_init() {
  int n = ks_cfg_get_max_process();
  uint32_t *tail = ks_shm_get_systail();
  if (n <= 0 || tail == nullptr) {
    KS_ERROR("process table needs a loaded configuration.");
    return -1;
  }
  uint32_t ofs = (*tail + 7u) & ~7u;
  uint64_t size = uint64_t(n) * sizeof(ks_ps_task_t);
  if (ofs + size > shm_inf.segs[0].shm_sz) {
    KS_ERROR("no shared memory for the process table of %d entries.", n);
    return -1;
  }
  auto *ps = reinterpret_cast<ks_ps_task_t *>(shm_inf.segs[0].head + ofs);
  for (int i = 0; i < n; ++i) ps[i] = {0, 0, -1, -1, 0, 0};
  ks_shm_set_ps_pos(ps);
  ks_shm_add_systail(uint32_t(ofs + size - *tail));
  return ks_ps_stat_init(n);
}

ks_ps_task_t *ks_ps_find(pid_t pid) {
  int n;
  ks_ps_task_t *ps = table(&n);
  for (int i = 0; ps != nullptr && i < n; ++i)
    if (ps[i].pid == pid) return &ps[i];
  return nullptr;
}

int ks_ps_start() {
  int n;
  if (table(&n) == nullptr) {
    KS_ERROR("process table not initialized.");
    return -1;
  }
  pid_t me = getpid();
  for (int i = 0; i < start_tries; ++i) {
    if (i > 0) sleep(1);
    if (ks_ps_task_t *t = ks_ps_find(me)) {
      __atomic_store_n(&t->status, 1, __ATOMIC_RELEASE);
      return 0;
    }
  }
  if (kill(getppid(), 0) != 0)
    KS_ERROR("parent process is dead.");
  else
    KS_ERROR("parent process goto wrong steps.");
  return -1;
}

int ks_ps_set_com_index() {
  int n;
  ks_ps_task_t *ps = table(&n);
  ks_cfg_bh_t *bh = ks_cfg_area();
  if (ps == nullptr || bh == nullptr) {
    KS_ERROR("process table not initialized.");
    return -1;
  }
  int rc = 0;
  ks_cfg_com_t *coms = ks_cfg_coms(bh);
  for (int i = 0; i < n; ++i) {
    if (ps[i].pid == -1) continue;
    uint32_t c = 0;
    while (c < bh->n_comps && coms[c].com_uk != ps[i].com_uk) ++c;
    if (c == bh->n_comps) {
      KS_ERROR("process %d owner missed.", ps[i].pid);
      ps[i].comid = -1;
      rc = -1;
      continue;
    }
    ps[i].comid = int32_t(c);
  }
  return rc;
}
