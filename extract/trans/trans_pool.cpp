// The transaction table's slot array, its index by XID and the pool of image buffers.
// Invariants: every occupied slot is on the chain of its bucket (the XID's undo segment
// and slot) and every free slot on the free list, each exactly once; a slot's buffer is
// one of the pool's sizes (tlen says which) or none; mem_used counts every buffer the
// pool has allocated, held by a slot or free, and only a commit's short-lived buffer
// (must) takes it past mem_max; an image taken out of memory to make room is whole in
// its spill file before its buffer is given back; the write-behind buffer holds records of
// one occupied, spilled slot only.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "extract/trans/trans.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

int32_t *chain_head(ks_trans_t *t, uint64_t xid) { return &t->hhead[ks_trans_bucket(t, xid)]; }

int class_of(const ks_trans_t *t, uint32_t size) {
  for (int k = 0; k < t->nclass; k++)
    if (t->csize[k] >= size) return k;
  return -1;
}

uint8_t *pop_free(ks_trans_t *t, int k) {
  uint8_t *p = t->pool[k];
  if (p != nullptr) std::memcpy(&t->pool[k], p, sizeof t->pool[k]);
  return p;
}

void push_free(ks_trans_t *t, int k, uint8_t *p) {
  std::memcpy(p, &t->pool[k], sizeof t->pool[k]);
  t->pool[k] = p;
}

// Gives the free buffers back to the system, the largest first, until need more bytes
// fit in limit.
void trim_free(ks_trans_t *t, size_t need, size_t limit) {
  for (int k = t->nclass - 1; k >= 0 && t->mem_used + need > limit; k--) {
    while (t->mem_used + need > limit) {
      uint8_t *p = pop_free(t, k);
      if (p == nullptr) break;
      std::free(p);
      t->mem_used -= t->csize[k];
    }
  }
}

// Moves the largest in-memory images but keep's to their spill files until need more
// bytes fit in seven eighths of the budget (so that the next growths do not each pay
// for a scan). Queued images are the data of a pending write and committed ones wait for
// a retried write: both stay. 0 when need fits in the budget afterwards.
int spill_largest(ks_trans_t *t, int keep, size_t need) {
  const size_t target = t->mem_max - t->mem_max / 8;
  std::vector<std::pair<uint32_t, int>> cand;
  for (int i = 0; i < t->nalloc; i++) {
    const ks_trans_slot_t &s = t->slot[i];
    if (i == keep || s.xid == 0 || s.buf == nullptr ||
        (s.flag & (KS_SLOT_SPILLED | KS_SLOT_QUEUED | KS_SLOT_COMMITTED)))
      continue;
    cand.emplace_back(s.tlen, i);
  }
  std::sort(cand.begin(), cand.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
  for (const auto &c : cand) {
    if (t->mem_used + need <= target) break;
    ks_trans_slot_t *s = &t->slot[c.second];
    if (ks_spill_image(t, s, s->buf, false) < 0) break;
    ks_trans_slot_release(t, s);
    trim_free(t, need, target);
  }
  return t->mem_used + need <= t->mem_max ? 0 : -1;
}

void link_slot(ks_trans_t *t, int sn) {
  int32_t *head = chain_head(t, t->slot[sn].xid);
  t->hnext[sn] = *head;
  *head = sn;
}

// Makes the array cap slots long: new slots go on the free list, lowest index first, and
// the index is rebuilt for the new bucket count.
int grow(ks_trans_t *t, int cap) {
  uint32_t nb = 64;
  while (nb < static_cast<uint32_t>(cap)) nb <<= 1;
  auto *slot = static_cast<ks_trans_slot_t *>(std::realloc(t->slot, sizeof(ks_trans_slot_t) * cap));
  if (slot == nullptr) return -1;
  t->slot = slot;
  auto *next = static_cast<int32_t *>(std::realloc(t->hnext, sizeof(int32_t) * cap));
  if (next == nullptr) return -1;
  t->hnext = next;
  auto *head = static_cast<int32_t *>(std::malloc(sizeof(int32_t) * nb));
  if (head == nullptr) return -1;
  std::free(t->hhead);
  t->hhead = head;
  t->hmask = nb - 1;
  std::fill(head, head + nb, -1);
  std::memset(slot + t->nalloc, 0, sizeof(ks_trans_slot_t) * (cap - t->nalloc));
  for (int i = cap - 1; i >= t->nalloc; i--) {
    slot[i].fd = -1;
    next[i] = t->free_head;
    t->free_head = i;
  }
  for (int i = 0; i < t->nalloc; i++)
    if (slot[i].xid != 0) link_slot(t, i);
  t->nalloc = cap;
  return 0;
}

}  // namespace

int ks_trans_init_table(ks_trans_t *t, int max_trans, int trans_sz, size_t mem_max) {
  t->max_slots = max_trans;
  t->trans_sz = trans_sz;
  t->mem_max = std::max(mem_max, static_cast<size_t>(trans_sz) * 8);
  t->mem_used = 0;
  t->nalloc = 0;
  t->nslot = 0;
  t->nfd = 0;
  t->free_head = -1;
  t->slot = nullptr;
  t->hhead = t->hnext = nullptr;
  t->wbuf = nullptr;
  t->wlen = 0;
  t->wslot = -1;
  t->nclass = 0;
  for (uint32_t sz = KS_TRANS_MIN_BUF;; sz *= 2) {
    const bool last = sz >= static_cast<uint32_t>(trans_sz) || t->nclass == KS_TRANS_NCLASS - 1;
    t->pool[t->nclass] = nullptr;
    t->csize[t->nclass++] = last ? static_cast<uint32_t>(trans_sz) : sz;
    if (last) break;
  }
  return grow(t, std::min(max_trans, 64));
}

int ks_trans_take_slot(ks_trans_t *t, uint64_t xid, bool limit) {
  if (t->free_head < 0) {
    if (limit && t->nalloc >= t->max_slots) return -1;
    int cap = t->nalloc < INT_MAX / 2 ? t->nalloc * 2 : INT_MAX;
    if (limit) cap = std::min(cap, t->max_slots);
    if (grow(t, std::max(cap, t->nalloc + 1)) < 0) return -2;
  }
  const int sn = t->free_head;
  t->free_head = t->hnext[sn];
  ks_trans_slot_t *s = &t->slot[sn];
  std::memset(s, 0, sizeof *s);
  s->fd = -1;
  s->xid = xid;
  link_slot(t, sn);
  t->nslot++;
  return sn;
}

void ks_trans_drop_slot(ks_trans_t *t, int sn) {
  ks_trans_slot_t *s = &t->slot[sn];
  int32_t *p = chain_head(t, s->xid);
  while (*p >= 0 && *p != sn) p = &t->hnext[*p];
  if (*p == sn) *p = t->hnext[sn];
  // Bytes not yet in the file go with the transaction: it was written from the file
  // after a flush, or forgotten.
  if (t->wlen > 0 && t->wslot == sn) t->wlen = 0;
  ks_trans_close_fd(t, s);
  ks_trans_slot_release(t, s);
  s->xid = 0;
  s->flag = 0;
  s->dlen = 0;
  s->nlcr = 0;
  t->hnext[sn] = t->free_head;
  t->free_head = sn;
  t->nslot--;
}

int ks_trans_slot_buffer(ks_trans_t *t, int sn, uint32_t size, bool must) {
  ks_trans_slot_t *s = &t->slot[sn];
  const int k = class_of(t, size);
  if (k < 0) return -1;
  uint8_t *p = pop_free(t, k);
  if (p == nullptr) {
    const size_t need = t->csize[k];
    if (!must && t->mem_used + need > t->mem_max) {
      trim_free(t, need, t->mem_max);
      if (t->mem_used + need > t->mem_max && spill_largest(t, sn, need) < 0) return -1;
    }
    p = static_cast<uint8_t *>(std::malloc(need));
    if (p == nullptr) return -1;
    t->mem_used += need;
  }
  if (s->buf != nullptr)
    std::memcpy(p, s->buf, static_cast<size_t>(std::min<uint64_t>(s->dlen, s->tlen)));
  else
    std::memset(p, 0, KS_LCR_TH_SZ);  // the header, filled in at the commit
  ks_trans_slot_release(t, s);
  s->buf = p;
  s->tlen = t->csize[k];
  return 0;
}

void ks_trans_slot_release(ks_trans_t *t, ks_trans_slot_t *s) {
  if (s->buf == nullptr) return;
  const int k = class_of(t, s->tlen);
  if (k >= 0 && t->csize[k] == s->tlen) {
    push_free(t, k, s->buf);
  } else {
    std::free(s->buf);  // not one of the pool's sizes: cannot happen, but never leaks
    t->mem_used -= s->tlen;
  }
  s->buf = nullptr;
  s->tlen = 0;
  if (t->mem_used > t->mem_max) trim_free(t, 0, t->mem_max);
}

const uint8_t *ks_trans_image(const ks_trans_slot_t *s) {
  static const uint8_t kHeaderOnly[KS_LCR_TH_SZ] = {};
  return s->buf != nullptr ? s->buf : kHeaderOnly;
}

int ks_spill_image(ks_trans_t *t, ks_trans_slot_t *s, const uint8_t *img, bool keep_open) {
  char name[PATH_MAX];
  ks_spill_file_name(name, sizeof name, s->xid, s->sscn);
  int fd = ks_open_file(name, O_RDWR | O_CREAT | O_TRUNC | O_APPEND);
  if (fd < 0) {
    KS_ERROR_EVERY_MINUTE("open %s: %s", name, strerror(errno));
    return -1;
  }
  // The header is written as zeros whatever the buffer held (a pool buffer's first bytes
  // are stale): a commit by reference stamps it before it marks anything in the file,
  // which is how a restart knows there are marks to take back.
  static const uint8_t kZeroHeader[KS_LCR_TH_SZ] = {};
  if (ks_append_data(fd, kZeroHeader, KS_LCR_TH_SZ) != static_cast<ssize_t>(KS_LCR_TH_SZ) ||
      ks_append_data(fd, img + KS_LCR_TH_SZ, s->dlen - KS_LCR_TH_SZ) != static_cast<ssize_t>(s->dlen - KS_LCR_TH_SZ)) {
    KS_ERROR_EVERY_MINUTE("write %s error.", name);
    close(fd);
    unlink(name);
    return -1;
  }
  ks_trans_close_fd(t, s);
  s->flag |= KS_SLOT_SPILLED;
  if (!keep_open) {
    close(fd);
    return 0;
  }
  s->fd = fd;
  ks_trans_note_fd(t, s);
  return 0;
}

void ks_trans_note_fd(ks_trans_t *t, const ks_trans_slot_t *keep) {
  if (++t->nfd <= KS_TRANS_MAX_FDS) return;
  for (int i = 0; i < t->nalloc; i++) {
    ks_trans_slot_t *s = &t->slot[i];
    if (s != keep && s->fd >= 0) {
      close(s->fd);
      s->fd = -1;
    }
  }
  t->nfd = keep->fd >= 0 ? 1 : 0;
}

void ks_trans_close_fd(ks_trans_t *t, ks_trans_slot_t *s) {
  if (s->fd < 0) return;
  close(s->fd);
  s->fd = -1;
  if (t->nfd > 0) t->nfd--;
}

void ks_trans_free_table(ks_trans_t *t) {
  if (t->fd >= 0) close(t->fd);
  t->fd = -1;
  for (int i = 0; i < t->nalloc; i++) {
    if (t->slot[i].fd >= 0) close(t->slot[i].fd);
    std::free(t->slot[i].buf);
  }
  for (int k = 0; k < t->nclass; k++)
    while (uint8_t *p = pop_free(t, k)) std::free(p);
  std::free(t->slot);
  std::free(t->hhead);
  std::free(t->hnext);
  std::free(t->wbuf);
  t->wbuf = nullptr;
  t->wlen = 0;
  t->slot = nullptr;
  t->hhead = t->hnext = nullptr;
  t->nalloc = t->nslot = t->nfd = 0;
  t->free_head = -1;
  t->mem_used = 0;
  ks_trans_mem_free(t->buf);
  t->buf = t->tbuf = nullptr;
}
