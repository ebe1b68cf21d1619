// The system queue: messages addressed to process ids, kept in queue order. Entries and
// 256-byte data blocks are tracked by the pool and bmp bitmaps; an entry's chain of
// blocks holds its bytes, 240 per block, the first block carrying the whole length.
// Every change happens under KS_SEM_QUEUE; an enqueue that cannot complete marks nothing.
#include <cstring>

#include "lib/log/log.h"
#include "lib/shm/shm.h"

namespace {

ks_shm_q_t *queue() {
  if (shm_inf.status != 1) {
    KS_ERROR("shared memory not attached.");
    return nullptr;
  }
  auto *q = static_cast<ks_shm_q_t *>(ks_shm_get_q_ptr());
  if (q == nullptr) KS_ERROR("system queue not inited.");
  return q;
}

uint8_t *block(ks_shm_q_t *q, int b) { return reinterpret_cast<uint8_t *>(q) + size_t(b) * KS_Q_BLKSZ; }
ks_shm_qblk_t *bhdr(ks_shm_q_t *q, int b) { return reinterpret_cast<ks_shm_qblk_t *>(block(q, b)); }

bool valid_block(int b) { return b >= KS_Q_START && b < KS_Q_NBLKS; }
bool valid_entry(int e) { return e >= 0 && e < KS_Q_NENT; }

}  // namespace

int ks_shm_q_create() {
  void *p = ks_shm_alloc(KS_Q_SIZE);
  if (p == nullptr) {
    KS_ERROR("allocate memory error.");
    return -1;
  }
  auto *q = static_cast<ks_shm_q_t *>(p);
  std::memset(q, 0, sizeof *q);
  q->head = q->tail = -1;
  q->start = KS_Q_START;
  for (int b = 0; b < KS_Q_START; ++b) ks_bit_set(q->bmp, uint32_t(b));
  ks_shm_set_q_pos(q);
  return 0;
}

int ks_shm_enq(int id, int mlen, const void *msg) {
  if (mlen < 0 || (mlen > 0 && msg == nullptr)) {
    KS_ERROR("invalid message length %d.", mlen);
    return -1;
  }
  ks_shm_q_t *q = queue();
  if (q == nullptr) return -1;
  if (ks_sem_lock(KS_SEM_QUEUE) != 0) {
    KS_ERROR("lock system queue error.");
    return -1;
  }
  // Choose the blocks first; nothing is marked until the whole message has a place.
  int chain[KS_Q_NBLKS];
  int n = 0;
  int need = mlen == 0 ? 1 : (mlen + KS_Q_PAYLOAD - 1) / KS_Q_PAYLOAD;
  for (int b = q->start; b < KS_Q_NBLKS && n < need; ++b)
    if (!ks_bit_test(q->bmp, uint32_t(b))) chain[n++] = b;
  if (n < need) {
    ks_sem_unlock(KS_SEM_QUEUE);
    KS_ERROR("system queue have no enough memory.");
    return -1;
  }
  int e = 0;
  while (e < KS_Q_NENT && ks_bit_test(q->pool, uint32_t(e))) ++e;
  if (e == KS_Q_NENT) {
    ks_sem_unlock(KS_SEM_QUEUE);
    KS_ERROR("system queue reach the maximum deepth.");
    return -1;
  }
  const uint8_t *src = static_cast<const uint8_t *>(msg);
  int left = mlen;
  for (int i = 0; i < n; ++i) {
    ks_shm_qblk_t *h = bhdr(q, chain[i]);
    h->blk = chain[i];
    h->mlen = i == 0 ? mlen : 0;
    h->rsv = 0;
    h->nblk = i + 1 < n ? chain[i + 1] : -1;
    int k = left < KS_Q_PAYLOAD ? left : KS_Q_PAYLOAD;
    if (k > 0) std::memcpy(block(q, chain[i]) + sizeof(ks_shm_qblk_t), src, size_t(k));
    src += k;
    left -= k;
    ks_bit_set(q->bmp, uint32_t(chain[i]));
  }
  q->ch[e] = {e, id, -1, chain[0]};
  if (q->tail >= 0)
    q->ch[q->tail].next = e;
  else
    q->head = e;
  q->tail = e;
  ks_bit_set(q->pool, uint32_t(e));
  ks_sem_unlock(KS_SEM_QUEUE);
  return 0;
}

int ks_shm_deq(int id, int msz, void *msg, int *rcode) {
  *rcode = -1;
  ks_shm_q_t *q = queue();
  if (q == nullptr) {
    *rcode = -3;
    return -1;
  }
  if (ks_sem_lock(KS_SEM_QUEUE) != 0) {
    KS_ERROR("lock system queue error.");
    *rcode = -3;
    return -1;
  }
  int prev = -1, e = q->head;
  for (int g = 0; valid_entry(e) && g < KS_Q_NENT; ++g) {
    if (id == -1 || q->ch[e].id == id) break;
    prev = e;
    e = q->ch[e].next;
  }
  if (!valid_entry(e)) {
    ks_sem_unlock(KS_SEM_QUEUE);
    return -1;
  }
  int first = q->ch[e].blk;
  int mlen = valid_block(first) ? bhdr(q, first)->mlen : -1;
  if (mlen < 0) {
    ks_sem_unlock(KS_SEM_QUEUE);
    KS_ERROR("system queue corrupt at entry %d.", e);
    *rcode = -3;
    return -1;
  }
  if (mlen > msz) {
    ks_sem_unlock(KS_SEM_QUEUE);
    *rcode = -2;
    return -1;
  }
  uint8_t *dst = static_cast<uint8_t *>(msg);
  int left = mlen;
  for (int b = first, g = 0; valid_block(b) && g < KS_Q_NBLKS; ++g) {
    int k = left < KS_Q_PAYLOAD ? left : KS_Q_PAYLOAD;
    if (k > 0) std::memcpy(dst, block(q, b) + sizeof(ks_shm_qblk_t), size_t(k));
    dst += k;
    left -= k;
    ks_bit_clear(q->bmp, uint32_t(b));
    b = bhdr(q, b)->nblk;
  }
  ks_bit_clear(q->pool, uint32_t(e));
  int next = q->ch[e].next;
  if (prev < 0) {
    q->head = next;
    if (next < 0) q->tail = -1;
  } else {
    q->ch[prev].next = next;
    if (q->tail == e) q->tail = prev;
  }
  ks_sem_unlock(KS_SEM_QUEUE);
  *rcode = 0;
  return mlen;
}

int ks_shm_q_count(int id) {
  ks_shm_q_t *q = queue();
  if (q == nullptr) return -1;
  if (ks_sem_lock(KS_SEM_QUEUE) != 0) {
    KS_ERROR("lock system queue error.");
    return -1;
  }
  int n = 0;
  for (int e = q->head, g = 0; valid_entry(e) && g < KS_Q_NENT; ++g, e = q->ch[e].next)
    if (id == -1 || q->ch[e].id == id) ++n;
  ks_sem_unlock(KS_SEM_QUEUE);
  return n;
}
