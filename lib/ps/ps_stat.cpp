// The status table of the component processes: laid out by the manager after the process
// table, written by each component into its own slot, read by the console. Slots are
// found by (com_uk, thread) and survive their process, so the last position of a
// component that died stays readable until its next run takes the slot over.
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"

namespace {

static_assert(sizeof(KS_PS_STAT_KEY) <= sizeof(ks_shm_kvp_t::key));

ks_shm_kvp_t *named(ks_sysinfo_t *si) {
  for (ks_shm_kvp_t &kv : si->kv)
    if (std::strncmp(kv.key, KS_PS_STAT_KEY, sizeof kv.key) == 0) return &kv;
  return nullptr;
}

// True when com_uk names a component of the loaded configuration.
bool configured(uint32_t com_uk) {
  ks_cfg_bh_t *bh = ks_cfg_area();
  if (bh == nullptr) return true;  // cannot tell: treat as in use
  for (uint32_t i = 0; i < bh->n_comps; ++i)
    if (ks_cfg_coms(bh)[i].com_uk == com_uk) return true;
  return false;
}

}  // namespace

int ks_ps_stat_init(int n) {
  uint32_t *tail = ks_shm_get_systail();
  ks_sysinfo_t *si = ks_shm_get_sys_ptr();
  if (tail == nullptr || si == nullptr || n <= 0) return -1;
  ks_shm_kvp_t *kv = named(si);
  for (int i = 0; kv == nullptr && i < KS_SHM_MAX_KV; ++i)
    if (si->kv[i].key[0] == '\0') kv = &si->kv[i];
  if (kv == nullptr) {
    KS_ERROR("no free named position for the status table.");
    return -1;
  }
  uint32_t ofs = (*tail + 7u) & ~7u;
  uint64_t size = sizeof(ks_ps_stat_hdr_t) + uint64_t(n) * sizeof(ks_ps_stat_t);
  if (ofs + size > shm_inf.segs[0].shm_sz) {
    KS_ERROR("no shared memory for the status table of %d entries.", n);
    return -1;
  }
  char *p = shm_inf.segs[0].head + ofs;
  std::memset(p, 0, size_t(size));
  reinterpret_cast<ks_ps_stat_hdr_t *>(p)->n = uint32_t(n);
  std::memset(kv->key, 0, sizeof kv->key);
  std::memcpy(kv->key, KS_PS_STAT_KEY, sizeof KS_PS_STAT_KEY - 1);
  kv->seg_num = 0;
  kv->offset = ofs;
  ks_shm_add_systail(uint32_t(ofs + size - *tail));
  return 0;
}

ks_ps_stat_t *ks_ps_stat_table(int *n) {
  *n = 0;
  if (shm_inf.status != 1) return nullptr;
  ks_shm_kvp_t *kv = named(ks_shm_get_sys_ptr());
  if (kv == nullptr) return nullptr;
  auto *h = static_cast<ks_ps_stat_hdr_t *>(ks_shm_get_ptr(kv->seg_num, kv->offset));
  if (h == nullptr || kv->offset + sizeof *h + uint64_t(h->n) * sizeof(ks_ps_stat_t) > shm_inf.segs[kv->seg_num].shm_sz)
    return nullptr;
  *n = int(h->n);
  return reinterpret_cast<ks_ps_stat_t *>(h + 1);
}

namespace {

// The entry of component uk (thread thrd) in the status table of n entries: its own
// from an earlier run, else a free one, else one of a component no longer configured;
// taken by compare and swap, since other components may be starting at the same moment.
// nullptr when the table is full.
ks_ps_stat_t *find_or_take(ks_ps_stat_t *st, int n, uint32_t uk, int32_t thrd) {
  for (int i = 0; i < n; ++i)
    if (__atomic_load_n(&st[i].com_uk, __ATOMIC_ACQUIRE) == uk && st[i].thrd == thrd) return &st[i];
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < n; ++i) {
      uint32_t cur = __atomic_load_n(&st[i].com_uk, __ATOMIC_ACQUIRE);
      if (pass == 0 ? cur != 0 : (cur == 0 || configured(cur))) continue;
      if (!__atomic_compare_exchange_n(&st[i].com_uk, &cur, uk, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) continue;
      ks_ps_stat_t &s = st[i];
      ks_ps_stat_begin(&s);  // what the other component left there goes (seq and com_uk stay)
      std::memset(reinterpret_cast<char *>(&s) + offsetof(ks_ps_stat_t, thrd), 0,
                  sizeof s - offsetof(ks_ps_stat_t, thrd));
      s.thrd = thrd;
      ks_ps_stat_end(&s);
      return &s;
    }
  }
  return nullptr;
}

}  // namespace

ks_ps_stat_t *ks_ps_stat_claim(const ks_ps_task_t *me, uint32_t com_typ) {
  int n;
  ks_ps_stat_t *st = ks_ps_stat_table(&n);
  if (st == nullptr || me == nullptr) {
    KS_ERROR("status table not initialized.");
    return nullptr;
  }
  const uint32_t uk = me->com_uk;
  const int32_t thrd = me->rsv;
  ks_ps_stat_t *mine = find_or_take(st, n, uk, thrd);
  if (mine == nullptr) {
    KS_ERROR("status table full (%d entries).", n);
    return nullptr;
  }
  ks_ps_stat_begin(mine);
  mine->pid = int32_t(getpid());
  mine->com_typ = com_typ;
  mine->state = KS_PS_STAT_RUNNING;
  mine->restarts = me->restarts;
  mine->flags = 0;
  mine->started = int64_t(time(nullptr));
  ks_ps_stat_end(mine);
  return mine;
}

ks_ps_stat_t *ks_ps_stat_mine(const ks_ps_task_t *me, uint32_t com_typ) {
  static ks_ps_stat_t *slot = nullptr;
  static bool claimed = false;
  if (!claimed && me != nullptr) {
    claimed = true;
    slot = ks_ps_stat_claim(me, com_typ);
  }
  return slot;
}

void ks_ps_stat_publish_end(ks_ps_stat_t *s, int how) {
  if (how == KS_PUB_IDLE)
    s->flags |= KS_PS_STAT_IDLE;
  else
    s->flags &= ~KS_PS_STAT_IDLE;
  if (how == KS_PUB_STOPPED) s->state = KS_PS_STAT_STOPPED;
  ks_ps_stat_end(s);
}

void ks_ps_stat_begin(ks_ps_stat_t *s) {
  __atomic_fetch_add(&s->seq, 1u, __ATOMIC_ACQ_REL);
  __atomic_thread_fence(__ATOMIC_RELEASE);
}

void ks_ps_stat_end(ks_ps_stat_t *s) {
  s->updated = int64_t(time(nullptr));
  __atomic_thread_fence(__ATOMIC_RELEASE);
  __atomic_fetch_add(&s->seq, 1u, __ATOMIC_ACQ_REL);
}

bool ks_ps_stat_read(const ks_ps_stat_t *s, ks_ps_stat_t *out) {
  for (int i = 0; i < 1000; ++i) {
    const uint32_t a = __atomic_load_n(&s->seq, __ATOMIC_ACQUIRE);
    if ((a & 1u) == 0) {
      std::memcpy(out, s, sizeof *out);
      __atomic_thread_fence(__ATOMIC_ACQUIRE);
      if (__atomic_load_n(&s->seq, __ATOMIC_ACQUIRE) == a) return true;
    }
    struct timespec ts = {0, 100000};
    nanosleep(&ts, nullptr);
  }
  return false;
}
