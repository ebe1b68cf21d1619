// Rollback resolution at commit: every rollback-redo record of a committed transaction is
// matched with the change it cancels, and that change is marked discarded, so readers skip
// both. Works on an image in memory or on the records of a transaction by reference (its
// own file, patched with positioned writes of the flag words).
// Invariants: records keep their order, length and op code; only flag words change, and
// only once the whole resolution succeeded (a failed resolution leaves an in-memory image
// as it was); the index of records lives only for one call.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "extract/trans/trans.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// One record of the transaction. opc may be rewritten here; the record's own never is.
typedef struct __ks_part_rbk_s {
  uint64_t offs;  // from the transaction header (in memory) or from the file start
  uint32_t flag;
  uint32_t opc;
  uint32_t flag0;  // the record's own flags
  uint32_t rsv;
} ks_part_rbk_t;

static_assert(sizeof(ks_part_rbk_t) == 24);
static_assert(offsetof(ks_part_rbk_t, offs) == 0);
static_assert(offsetof(ks_part_rbk_t, flag) == 8);
static_assert(offsetof(ks_part_rbk_t, opc) == 12);
static_assert(offsetof(ks_part_rbk_t, flag0) == 16);

// The index: the scratch area of the work buffer when it is large enough, else the heap.
class RbkIndex {
 public:
  ~RbkIndex() { std::free(heap_); }
  int reserve(ks_extr_t *ex, uint32_t nlcr) {
    const size_t sz = static_cast<size_t>(nlcr) * sizeof(ks_part_rbk_t);
    cap_ = nlcr;
    if (ex->b != nullptr && ex->b->tmp_buf != nullptr && sz <= static_cast<size_t>(ex->b->tmp_sz) &&
        reinterpret_cast<uintptr_t>(ex->b->tmp_buf) % alignof(ks_part_rbk_t) == 0) {
      e_ = reinterpret_cast<ks_part_rbk_t *>(ex->b->tmp_buf);
      return 0;
    }
    heap_ = std::malloc(sz == 0 ? 1 : sz);
    if (heap_ == nullptr) {
      KS_ERROR("allocate memory size (%d): %s", static_cast<int>(sz), strerror(errno));
      return -1;
    }
    e_ = static_cast<ks_part_rbk_t *>(heap_);
    return 0;
  }
  bool full() const { return n_ >= cap_; }
  void add(uint64_t offs, uint32_t flag, uint32_t opc) { e_[n_++] = {offs, flag, opc, flag, 0}; }
  uint32_t size() const { return n_; }
  ks_part_rbk_t &operator[](int64_t i) { return e_[i]; }

 private:
  ks_part_rbk_t *e_ = nullptr;
  void *heap_ = nullptr;
  uint32_t cap_ = 0, n_ = 0;
};

class FileGuard {
 public:
  ~FileGuard() {
    if (fd >= 0) close(fd);
  }
  int fd = -1;
};

// Records of an in-memory image, walked by rlen inside tlen.
int index_image(const uint8_t *img, uint32_t tlen, RbkIndex *ix) {
  uint64_t off = KS_LCR_TH_SZ;
  while (!ix->full() && off + 12 <= tlen) {
    const uint32_t rlen = ks_lcr_u32(img, off);
    if (rlen < KS_LCR_RHS_SZ || rlen > tlen - off) {
      KS_ERROR("transaction record at offset %lu has a bad length %u.", static_cast<unsigned long>(off), rlen);
      return -1;
    }
    ix->add(off, ks_lcr_u32(img, off + 4), ks_lcr_u32(img, off + 8));
    off += rlen;
  }
  return 0;
}

int index_file(int fd, const char *name, uint8_t *buf, RbkIndex *ix) {
  return ks_trans_walk_file(fd, name, buf, [ix](uint64_t offs, uint32_t flag, uint32_t opc) {
    ix->add(offs, flag, opc);
    return !ix->full();
  });
}

inline bool discarded(const ks_part_rbk_t &e) { return (e.flag & KS_RH_DISCARD) != 0; }
inline void discard(ks_part_rbk_t &e) { e.flag |= KS_RH_DISCARD; }

void log_not_found(uint64_t xid, uint32_t opc) {
  KS_ERROR("transaction \"%lu\" opc=%d, not found record to rollback.", static_cast<unsigned long>(xid),
           static_cast<int>(opc));
}

// An out-of-row LOB index rollback acts as the LOB ROLLBACK of its row, ordered before a
// rollback of the row's insert; one directly followed by a LOB ROLLBACK leaves the
// cancelling to that record.
int out_lob_pass(RbkIndex &ix, uint64_t xid) {
  const int64_t n = ix.size();
  for (int64_t i = 0; i < n; i++) {
    if (ix[i].opc != KS_OPC_OUT_LOB_ROLLBACK) continue;
    if (i == 0) {
      log_not_found(xid, KS_OPC_OUT_LOB_ROLLBACK);
      return -1;
    }
    if (i + 1 < n && ix[i + 1].opc == KS_OPC_LOB_ROLLBACK) ix[i].flag &= ~KS_RH_ROLLBACK;
    if (ix[i - 1].opc == KS_OPC_DELETE) {
      if (ix[i - 1].flag & KS_RH_ROLLBACK) {
        ix[i].opc = KS_OPC_LOB_ROLLBACK;
        std::swap(ix[i - 1], ix[i]);
      }
    } else {
      ix[i].opc = KS_OPC_LOB_ROLLBACK;
    }
  }
  return 0;
}

// Each rollback record cancels the latest change of the transaction still standing, with
// the pieces that belong to that change (LONG pieces, LOB operations).
int resolve_pass(RbkIndex &ix, uint64_t xid) {
  const int64_t n = ix.size();
  for (int64_t i = 0; i < n; i++) {
    if (!(ix[i].flag & KS_RH_ROLLBACK)) continue;
    const uint32_t ropc = ix[i].opc;
    int64_t j = i - 1;
    while (j >= 0 && discarded(ix[j])) j--;
    if (j < 0) {
      log_not_found(xid, ropc);
      continue;
    }
    while (ix[j].opc == KS_OPC_LONG_WRITE) {
      discard(ix[j]);
      if (--j < 0) {
        log_not_found(xid, ropc);
        return -1;
      }
    }
    if (ropc == KS_OPC_LOB_ROLLBACK) {
      while (ix[j].opc == KS_OPC_LOB_WRITE || ix[j].opc == KS_OPC_LOB_TRIM || ix[j].opc == KS_OPC_LOB_ERASE) {
        discard(ix[j]);
        if (--j < 0) {
          log_not_found(xid, ropc);
          return -1;
        }
      }
      if (ix[j].opc != KS_OPC_LOB_SELECT && ix[j].opc != KS_OPC_UPDATE) {
        KS_ERROR("LOB operation rollback error, record not matched (opc=%d)", static_cast<int>(ix[j].opc));
        return -1;
      }
      discard(ix[j]);
      // The row UPDATE the operation's first locator vector made (its LOB columns set
      // empty or NULL) belongs to the operation: left standing, it would empty the LOB.
      if (ix[j].opc == KS_OPC_LOB_SELECT) {
        int64_t k = j - 1;
        while (k >= 0 && discarded(ix[k])) k--;
        if (k >= 0 && ix[k].opc == KS_OPC_UPDATE && (ix[k].flag & KS_RH_FROM_LLB)) discard(ix[k]);
      }
      continue;
    }
    if ((ropc == KS_OPC_DELETE || ropc == KS_OPC_UPDATE) && ix[j].opc == KS_OPC_LOB_WRITE) {
      // The row change came with its LOB data: a LOB SELECT and its writes follow the row.
      while (ix[j].opc == KS_OPC_LOB_WRITE || ix[j].opc == KS_OPC_LOB_SELECT) {
        discard(ix[j]);
        if (--j < 0) {
          log_not_found(xid, ropc);
          return -1;
        }
      }
    }
    discard(ix[j]);
    // An index delete and insert pair reverses one update.
    if (ix[j].opc == KS_OPC_UPDATE && ropc == KS_OPC_INDEX_DELETE && i + 1 < n && ix[i + 1].opc == KS_OPC_INDEX_INSERT)
      i++;
  }
  return 0;
}

}  // namespace

int ks_check_rollback(ks_extr_t *ex, ks_lcr_th_t *thdr) {
  auto *img = reinterpret_cast<uint8_t *>(thdr);
  const ks_lcr_th_t th = ks_lcr_load<ks_lcr_th_t>(img);
  const bool byref = (th.flag & KS_TH_BYREF) != 0;

  RbkIndex ix;
  if (ix.reserve(ex, th.nlcr) < 0) return -1;

  FileGuard file;
  char name[4096];
  name[0] = '\0';
  if (byref) {
    if (th.tlen <= KS_LCR_TH_SZ) {
      KS_ERROR("transaction \"%lu\" by reference without a file name.", static_cast<unsigned long>(th.xid));
      return -1;
    }
    size_t len = strnlen(reinterpret_cast<const char *>(img + KS_LCR_TH_SZ), th.tlen - KS_LCR_TH_SZ);
    if (len >= sizeof name) len = sizeof name - 1;
    std::memcpy(name, img + KS_LCR_TH_SZ, len);
    name[len] = '\0';
    file.fd = ks_open_file(name, O_RDWR);
    if (file.fd < 0) {
      KS_ERROR("open %s: %s", name, strerror(errno));
      return -1;
    }
    if (ex->t == nullptr || ex->t->tbuf == nullptr) {
      KS_ERROR("read %s: no work buffer.", name);
      return -1;
    }
    if (index_file(file.fd, name, ex->t->tbuf, &ix) < 0) return -1;
  } else if (index_image(img, th.tlen, &ix) < 0) {
    return -1;
  }

  if (out_lob_pass(ix, th.xid) < 0) return -1;
  if (resolve_pass(ix, th.xid) < 0) return -1;

  if (!byref) {
    for (uint32_t k = 0; k < ix.size(); k++) ks_lcr_set_u32(img, ix[k].offs + 4, ix[k].flag);
    return 0;
  }
  // Only the discard marks of cancelled changes go to the file: rewritten op codes and
  // cleared rollback bits matter to the resolution alone, and rollback redo is built
  // discarded already. So the file's discarded records without the rollback flag are
  // exactly the marks of this resolution, which a restart takes back (see below).
  for (uint32_t k = 0; k < ix.size(); k++) {
    const ks_part_rbk_t &e = ix[k];
    if (!(e.flag & KS_RH_DISCARD) || (e.flag0 & KS_RH_DISCARD)) continue;
    if (ks_trans_write_flag(file.fd, name, e.offs, e.flag0 | KS_RH_DISCARD) < 0) return -1;
  }
  return 0;
}
