// The editing buffer of "config.db": open (creating a new nine-block file), save, close,
// reset, and the block and item addressing every other configuration function uses.
//
// Invariants of a sound file, checked when it is read: its length is a whole number of
// 4096-byte blocks, at least nine; block n < 9 is in use with type n; every block in use
// names itself, has a known type, the max_entry of that type and counters within it, and
// links only to blocks inside the file. A save never leaves a torn file: the image is
// written to a temporary file that then replaces the old one.
#include <errno.h>
#include <fcntl.h>
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

std::string cfg_path() { return std::string(ks_get_home_dir()) + "config/config.db"; }

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
        (b < KS_CFG_NTYPES && h.blk_typ != b) ||
        h.max_entry != (KS_CFG_BLKSZ - KS_CFG_BH_SZ) / kItemSize[h.blk_typ] ||
        h.hwm_item > h.max_entry || h.frcnt > h.max_entry ||
        (h.next_blk != KS_CFG_NONE && h.next_blk >= nblks)) {
      snprintf(why, sizeof why, "bad header in block %u", b);
      return why;
    }
  }
  return {};
}

int read_image(ks_cfg_t *cfg, const std::string &path, char *omsg) {
  struct stat st{};
  if (fstat(cfg->fd, &st) != 0) {
    snprintf(omsg, KS_CFG_MSGSZ, "lseek(): %s", strerror(errno));
    return -1;
  }
  if (st.st_size % KS_CFG_BLKSZ != 0 || st.st_size > off_t(KS_CFG_MAX_BLKS) * KS_CFG_BLKSZ) {
    snprintf(omsg, KS_CFG_MSGSZ, "Read %s: file length %lld is not a whole number of blocks",
             path.c_str(), (long long)st.st_size);
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
    case KS_CFG_T_INST: std::memcpy(&v, it + offsetof(ks_cfg_finst_t, next_num), 4); return v;
    case KS_CFG_T_COM: std::memcpy(&v, it + offsetof(ks_cfg_fcom_t, next_num), 4); return v;
    case KS_CFG_T_INC:
    case KS_CFG_T_EXC:
    case KS_CFG_T_MAP: std::memcpy(&v, it + 4, 4); return v;
    default: return KS_CFG_NONE;
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
  cfg->fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (cfg->fd < 0 && errno == EACCES) cfg->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (cfg->fd >= 0) {
    if (read_image(cfg, path, omsg) != 0) {
      drop(cfg);
      return -1;
    }
    cfg->flag = KS_CFG_OPEN;
    return 0;
  }
  if (errno != ENOENT) {
    snprintf(omsg, KS_CFG_MSGSZ, "Open %s: %s", path.c_str(), strerror(errno));
    return -1;
  }
  // A fresh installation: one block of each type, block n heading the chain of type n.
  cfg->fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (cfg->fd < 0) {
    snprintf(omsg, KS_CFG_MSGSZ, "Open %s: %s", path.c_str(), strerror(errno));
    return -1;
  }
  cfg->buf = static_cast<uint8_t *>(calloc(1, KS_CFG_GROW));
  if (cfg->buf == nullptr) {
    snprintf(omsg, KS_CFG_MSGSZ, "malloc(): %s", strerror(errno));
    drop(cfg);
    unlink(path.c_str());
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
  if (ks_write_data(cfg->fd, cfg->buf, KS_CFG_GROW, 0) != KS_CFG_GROW) {
    snprintf(omsg, KS_CFG_MSGSZ, "Write%s: %s", path.c_str(), strerror(errno));
    drop(cfg);
    unlink(path.c_str());
    return -1;
  }
  fsync(cfg->fd);
  cfg->hwm_blk = KS_CFG_NTYPES;
  cfg->max_blks = KS_CFG_NTYPES;
  cfg->flag = KS_CFG_OPEN;
  return 0;
}

int ks_cfg_save(ks_cfg_t *cfg, char *omsg) {
  if (!(cfg->flag & KS_CFG_OPEN) || cfg->buf == nullptr) {
    snprintf(omsg, KS_CFG_MSGSZ, "config file not open");
    return -1;
  }
  const std::string path = cfg_path();
  const std::string tmp = path + ".tmp";
  size_t len = size_t(cfg->hwm_blk) * KS_CFG_BLKSZ;
  int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    snprintf(omsg, KS_CFG_MSGSZ, "Open %s: %s", tmp.c_str(), strerror(errno));
    return -1;
  }
  if (ks_write_data(fd, cfg->buf, len, 0) != ssize_t(len) || fsync(fd) != 0 ||
      rename(tmp.c_str(), path.c_str()) != 0) {
    snprintf(omsg, KS_CFG_MSGSZ, "Write%s: %s", path.c_str(), strerror(errno));
    close(fd);
    unlink(tmp.c_str());
    if (cfg->fd >= 0) close(cfg->fd);
    cfg->fd = -1;
    return -1;
  }
  // The descriptor now names the file just written.
  if (cfg->fd >= 0) close(cfg->fd);
  cfg->fd = fd;
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
