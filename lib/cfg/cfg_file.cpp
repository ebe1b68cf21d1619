// The editing buffer of "config.db": open (creating a new nine-block file), save, close,
// reset, and the block and item addressing every other configuration function uses.
//
// Invariants of a sound file, checked when it is read: its length is a whole number of
// 4096-byte blocks, at least nine; block n < 9 is in use with type n; every block in use
// names itself, has a known type, the max_entry of that type and counters within it, and
// links only to blocks inside the file. A save never leaves a torn file: the image is
// written to a temporary file of its own that then replaces the old one.
//
// Several consoles may edit at once. Each buffer remembers a checksum of the file as it
// read (or last wrote) it; a save takes the installation's lock, compares that with the
// file now on disk and refuses when another session saved meanwhile, so no session
// silently overwrites another's changes. The file holds database passwords: a new one
// is made 0600, and a save keeps whatever mode the existing file has.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

constexpr uint32_t kItemSize[KS_CFG_NTYPES] = {40, 176, 152, 40, 224, 24, 72, 72, 136};

std::string cfg_dir() { return std::string(ks_get_home_dir()) + "config"; }
std::string cfg_path() { return cfg_dir() + "/config.db"; }

// FNV-1a over the whole image: tells whether the file is still the one a buffer read.
uint64_t image_sum(const uint8_t *p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h ^ n;
}

// The installation's configuration lock, held for one read-compare-write of config.db.
class CfgLock {
 public:
  int take(char *omsg) {
    const std::string path = cfg_dir() + "/config.db.lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      snprintf(omsg, KS_CFG_MSGSZ, "Open %s: %s", path.c_str(), strerror(errno));
      return -1;
    }
    int rc;
    do rc = flock(fd_, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      snprintf(omsg, KS_CFG_MSGSZ, "Lock %s: %s", path.c_str(), strerror(errno));
      return -1;
    }
    return 0;
  }
  ~CfgLock() {
    if (fd_ >= 0) close(fd_);  // closing the only descriptor releases the lock
  }

 private:
  int fd_ = -1;
};

// Checksum of config.db as it is now → 0; 1 when it does not exist; -1 (omsg) on error.
int current_sum(const std::string &path, uint64_t *sum, char *omsg) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 1;
    snprintf(omsg, KS_CFG_MSGSZ, "Open %s: %s", path.c_str(), strerror(errno));
    return -1;
  }
  struct stat st {};
  std::string img;
  ssize_t n = -1;
  if (fstat(fd, &st) == 0) {
    img.resize(size_t(st.st_size));
    n = ks_read_data(fd, img.data(), img.size(), 0);
  }
  int e = errno;
  close(fd);
  if (n != ssize_t(img.size())) {
    snprintf(omsg, KS_CFG_MSGSZ, "Read %s: %s", path.c_str(), n < 0 ? strerror(e) : "short read");
    return -1;
  }
  *sum = image_sum(reinterpret_cast<const uint8_t *>(img.data()), img.size());
  return 0;
}

// Writes len bytes of buf to a temporary file of its own in the configuration directory
// and renames it over config.db, with the mode of the file it replaces (0600 for a new
// one) → the descriptor of the new file; -1 (omsg) with nothing replaced.
int replace_file(const std::string &path, const uint8_t *buf, size_t len, char *omsg) {
  std::string tmp = path + ".XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);  // 0600
  if (fd < 0) {
    snprintf(omsg, KS_CFG_MSGSZ, "Open %s: %s", tmp.c_str(), strerror(errno));
    return -1;
  }
  struct stat old {};
  bool ok = true;
  const char *what = "Write";
  if (stat(path.c_str(), &old) == 0 && (old.st_mode & 07777) != 0600 && fchmod(fd, old.st_mode & 07777) != 0) {
    ok = false;
    what = "Chmod";
  }
  if (ok && (ks_write_data(fd, buf, len, 0) != ssize_t(len) || fsync(fd) != 0)) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    what = "Rename";
  }
  if (!ok) {
    snprintf(omsg, KS_CFG_MSGSZ, "%s %s: %s", what, path.c_str(), strerror(errno));
    close(fd);
    unlink(tmp.c_str());
    return -1;
  }
  // The rename itself must survive a crash too.
  int dfd = open(cfg_dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return fd;
}

void init_block(uint8_t *blk, uint32_t type, uint32_t num) {
  std::memset(blk, 0, KS_CFG_BLKSZ);
  ks_cfg_fbh_t h{};
  h.blk_flg = KS_CFG_BLK_USED;
  h.blk_typ = type;
  h.blk_num = num;
  h.next_blk = KS_CFG_NONE;
  h.max_entry = (KS_CFG_BLKSZ - KS_CFG_BH_SZ) / kItemSize[type];
  h.hwm_item = 0;
  h.frcnt = h.max_entry;
  std::memcpy(blk, &h, sizeof h);
}

// → empty string when the image is sound, else what is wrong.
std::string check_image(const uint8_t *buf, uint32_t nblks) {
  char why[200];
  if (nblks < KS_CFG_NTYPES) return "fewer than nine blocks";
  for (uint32_t b = 0; b < nblks; ++b) {
    ks_cfg_fbh_t h;
    std::memcpy(&h, buf + size_t(b) * KS_CFG_BLKSZ, sizeof h);
    if (h.blk_flg == 0 && b >= KS_CFG_NTYPES) continue;
    if (h.blk_flg != KS_CFG_BLK_USED || h.blk_num != b || h.blk_typ >= KS_CFG_NTYPES ||
        (b < KS_CFG_NTYPES && h.blk_typ != b) || h.max_entry != (KS_CFG_BLKSZ - KS_CFG_BH_SZ) / kItemSize[h.blk_typ] ||
        h.hwm_item > h.max_entry || h.frcnt > h.max_entry || (h.next_blk != KS_CFG_NONE && h.next_blk >= nblks)) {
      snprintf(why, sizeof why, "bad header in block %u", b);
      return why;
    }
  }
  return {};
}

int read_image(ks_cfg_t *cfg, const std::string &path, char *omsg) {
  struct stat st {};
  if (fstat(cfg->fd, &st) != 0) {
    snprintf(omsg, KS_CFG_MSGSZ, "lseek(): %s", strerror(errno));
    return -1;
  }
  if (st.st_size % KS_CFG_BLKSZ != 0 || st.st_size > off_t(KS_CFG_MAX_BLKS) * KS_CFG_BLKSZ) {
    snprintf(omsg, KS_CFG_MSGSZ, "Read %s: file length %lld is not a whole number of blocks", path.c_str(),
             (long long)st.st_size);
    return -1;
  }
  size_t need = size_t(st.st_size) + KS_CFG_GROW;
  if (cfg->buf == nullptr || cfg->buf_sz < need) {
    void *nb = realloc(cfg->buf, need);
    if (nb == nullptr) {
      snprintf(omsg, KS_CFG_MSGSZ, "malloc(): %s", strerror(errno));
      return -1;
    }
    cfg->buf = static_cast<uint8_t *>(nb);
    cfg->buf_sz = need;
  }
  std::memset(cfg->buf, 0, cfg->buf_sz);
  ssize_t n = ks_read_data(cfg->fd, cfg->buf, size_t(st.st_size), 0);
  if (n != st.st_size) {
    snprintf(omsg, KS_CFG_MSGSZ, "Read %s: %s", path.c_str(), n < 0 ? strerror(errno) : "short read");
    return -1;
  }
  uint32_t nblks = uint32_t(st.st_size / KS_CFG_BLKSZ);
  std::string why = check_image(cfg->buf, nblks);
  if (!why.empty()) {
    snprintf(omsg, KS_CFG_MSGSZ, "Read %s: file corrupt, %s", path.c_str(), why.c_str());
    return -1;
  }
  cfg->hwm_blk = nblks;
  cfg->max_blks = uint32_t(cfg->buf_sz / KS_CFG_BLKSZ);
  cfg->base_sum = image_sum(cfg->buf, size_t(st.st_size));
  return 0;
}

void drop(ks_cfg_t *cfg) {
  if (cfg->fd >= 0) close(cfg->fd);
  free(cfg->buf);
  std::memset(cfg, 0, sizeof *cfg);
  cfg->fd = -1;
}

}  // namespace

uint32_t ks_cfg_item_size(uint32_t type) { return type < KS_CFG_NTYPES ? kItemSize[type] : 0; }

ks_cfg_fbh_t *ks_cfg_block(ks_cfg_t *cfg, uint32_t blk) {
  if (cfg->buf == nullptr || blk >= cfg->hwm_blk) return nullptr;
  return reinterpret_cast<ks_cfg_fbh_t *>(cfg->buf + size_t(blk) * KS_CFG_BLKSZ);
}

void *ks_cfg_item(ks_cfg_t *cfg, uint32_t ref) {
  if (ref == KS_CFG_NONE) return nullptr;
  ks_cfg_fbh_t *h = ks_cfg_block(cfg, KS_CFG_REF_BLK(ref));
  if (h == nullptr || h->blk_flg != KS_CFG_BLK_USED || h->blk_typ >= KS_CFG_NTYPES) return nullptr;
  uint32_t item = KS_CFG_REF_ITEM(ref);
  if (item >= h->max_entry) return nullptr;
  return reinterpret_cast<uint8_t *>(h) + KS_CFG_BH_SZ + size_t(item) * kItemSize[h->blk_typ];
}

uint32_t ks_cfg_next(ks_cfg_t *cfg, uint32_t ref) {
  ks_cfg_fbh_t *h = ks_cfg_block(cfg, KS_CFG_REF_BLK(ref));
  const uint8_t *it = static_cast<const uint8_t *>(ks_cfg_item(cfg, ref));
  if (it == nullptr) return KS_CFG_NONE;
  uint32_t v;
  switch (h->blk_typ) {
    case KS_CFG_T_INST:
      std::memcpy(&v, it + offsetof(ks_cfg_finst_t, next_num), 4);
      return v;
    case KS_CFG_T_COM:
      std::memcpy(&v, it + offsetof(ks_cfg_fcom_t, next_num), 4);
      return v;
    case KS_CFG_T_INC:
    case KS_CFG_T_EXC:
    case KS_CFG_T_MAP:
      std::memcpy(&v, it + 4, 4);
      return v;
    default:
      return KS_CFG_NONE;
  }
}

ks_cfg_fh_t *ks_cfg_file_header(ks_cfg_t *cfg) {
  if (cfg->buf == nullptr) return nullptr;
  return reinterpret_cast<ks_cfg_fh_t *>(cfg->buf + KS_CFG_BH_SZ);
}

int ks_cfg_open_file(ks_cfg_t *cfg, char *omsg) {
  std::memset(cfg, 0, sizeof *cfg);
  cfg->fd = -1;
  const std::string path = cfg_path();
  auto open_existing = [&]() {
    cfg->fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (cfg->fd < 0 && errno == EACCES) cfg->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return cfg->fd >= 0;
  };
  auto read_existing = [&]() {
    if (read_image(cfg, path, omsg) != 0) {
      drop(cfg);
      return -1;
    }
    cfg->flag = KS_CFG_OPEN;
    return 0;
  };
  if (open_existing()) return read_existing();
  if (errno != ENOENT) {
    snprintf(omsg, KS_CFG_MSGSZ, "Open %s: %s", path.c_str(), strerror(errno));
    return -1;
  }
  // A fresh installation: one block of each type, block n heading the chain of type n.
  // Made under the lock, so two sessions starting at once end with the same file.
  CfgLock lock;
  if (lock.take(omsg) != 0) return -1;
  if (open_existing()) return read_existing();
  cfg->buf = static_cast<uint8_t *>(calloc(1, KS_CFG_GROW));
  if (cfg->buf == nullptr) {
    snprintf(omsg, KS_CFG_MSGSZ, "malloc(): %s", strerror(errno));
    drop(cfg);
    return -1;
  }
  cfg->buf_sz = KS_CFG_GROW;
  for (uint32_t n = 0; n < KS_CFG_NTYPES; ++n) init_block(cfg->buf + size_t(n) * KS_CFG_BLKSZ, n, n);
  ks_cfg_fh_t fh{};
  fh.ipckey = 0;
  fh.shm_sz = 0x10000000ull;
  fh.max_dbs = 64;
  fh.max_insts = 128;
  fh.max_units = 32;
  fh.max_comps = 256;
  fh.max_params = 64;
  fh.max_procs = 512;
  std::memcpy(cfg->buf + KS_CFG_BH_SZ, &fh, sizeof fh);
  cfg->fd = replace_file(path, cfg->buf, KS_CFG_GROW, omsg);
  if (cfg->fd < 0) {
    drop(cfg);
    return -1;
  }
  cfg->hwm_blk = KS_CFG_NTYPES;
  cfg->max_blks = KS_CFG_NTYPES;
  cfg->base_sum = image_sum(cfg->buf, KS_CFG_GROW);
  cfg->flag = KS_CFG_OPEN;
  return 0;
}

int ks_cfg_save(ks_cfg_t *cfg, char *omsg) {
  if (!(cfg->flag & KS_CFG_OPEN) || cfg->buf == nullptr) {
    snprintf(omsg, KS_CFG_MSGSZ, "config file not open");
    return -1;
  }
  const std::string path = cfg_path();
  const size_t len = size_t(cfg->hwm_blk) * KS_CFG_BLKSZ;
  CfgLock lock;
  if (lock.take(omsg) != 0) return -1;
  uint64_t now = 0;
  int rc = current_sum(path, &now, omsg);
  if (rc < 0) return -1;
  if (rc == 1 || now != cfg->base_sum) {
    snprintf(omsg, KS_CFG_MSGSZ,
             "configuration changed by another session: reload (\"reset config\" reads it again and drops "
             "the changes not saved)");
    return KS_CFG_STALE;
  }
  int fd = replace_file(path, cfg->buf, len, omsg);
  if (fd < 0) return -1;
  // The descriptor now names the file just written.
  if (cfg->fd >= 0) close(cfg->fd);
  cfg->fd = fd;
  cfg->base_sum = image_sum(cfg->buf, len);
  cfg->flag &= ~KS_CFG_MODIFIED;
  return 0;
}

int ks_cfg_close_file(ks_cfg_t *cfg, char *omsg) {
  if (!(cfg->flag & KS_CFG_OPEN)) return 0;
  int rc = 0;
  if (cfg->flag & KS_CFG_MODIFIED) rc = ks_cfg_save(cfg, omsg);
  drop(cfg);
  return rc;
}

int ks_cfg_reset(ks_cfg_t *cfg) {
  char omsg[KS_CFG_MSGSZ];
  const std::string path = cfg_path();
  if (cfg->fd >= 0) close(cfg->fd);
  cfg->fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (cfg->fd < 0) {
    KS_ERROR("Open %s: %s", path.c_str(), strerror(errno));
    return -1;
  }
  if (read_image(cfg, path, omsg) != 0) {
    KS_ERROR("%s", omsg);
    return -1;
  }
  cfg->flag = KS_CFG_OPEN;
  return 0;
}

int ks_cfg_new_block(ks_cfg_t *cfg, char *omsg) {
  for (uint32_t b = 1; b < cfg->hwm_blk; ++b)
    if (ks_cfg_block(cfg, b)->blk_flg == 0) return int(b);
  if (cfg->hwm_blk >= KS_CFG_MAX_BLKS) {
    snprintf(omsg, KS_CFG_MSGSZ, "config file reach the maximum size.");
    return -1;
  }
  if (cfg->hwm_blk >= cfg->max_blks) {
    size_t nsz = cfg->buf_sz + KS_CFG_GROW;
    void *nb = realloc(cfg->buf, nsz);
    if (nb == nullptr) {
      snprintf(omsg, KS_CFG_MSGSZ, "Allocate memory size: %d\nrealloc(): %s", int(nsz), strerror(errno));
      return -1;
    }
    cfg->buf = static_cast<uint8_t *>(nb);
    std::memset(cfg->buf + cfg->buf_sz, 0, KS_CFG_GROW);
    cfg->buf_sz = nsz;
    cfg->max_blks = uint32_t(nsz / KS_CFG_BLKSZ);
  }
  std::memset(cfg->buf + size_t(cfg->hwm_blk) * KS_CFG_BLKSZ, 0, KS_CFG_BLKSZ);
  return int(cfg->hwm_blk++);
}

int ks_cfg_free_block(ks_cfg_t *cfg, uint32_t blk) {
  ks_cfg_fbh_t *h = ks_cfg_block(cfg, blk);
  if (h == nullptr || blk < KS_CFG_NTYPES || h->blk_flg != KS_CFG_BLK_USED) return -1;
  // Find the predecessor in the type's chain; the walk is bounded against cycles.
  uint32_t prev = h->blk_typ;
  for (uint32_t guard = 0; guard < cfg->hwm_blk; ++guard) {
    ks_cfg_fbh_t *p = ks_cfg_block(cfg, prev);
    if (p == nullptr) return -1;
    if (p->next_blk == blk) {
      p->next_blk = h->next_blk;
      std::memset(h, 0, KS_CFG_BLKSZ);
      return 0;
    }
    prev = p->next_blk;
  }
  return -1;
}

// Used by the item functions to append a block of a type at the end of its chain.
int ks_cfg_append_block(ks_cfg_t *cfg, uint32_t type, char *omsg) {
  int b = ks_cfg_new_block(cfg, omsg);
  if (b < 0) return -1;
  init_block(cfg->buf + size_t(b) * KS_CFG_BLKSZ, type, uint32_t(b));
  uint32_t last = type;
  for (uint32_t guard = 0; guard < cfg->hwm_blk; ++guard) {
    ks_cfg_fbh_t *p = ks_cfg_block(cfg, last);
    if (p->next_blk == KS_CFG_NONE || p->next_blk == uint32_t(b)) break;
    last = p->next_blk;
  }
  ks_cfg_block(cfg, last)->next_blk = uint32_t(b);
  return b;
}
