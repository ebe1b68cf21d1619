// Disk groups of the simulated source; see the header.
#include "sim/source/asm_store.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/bytes.h"
#include "lib/fmt/asm_format.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace ks::sim {

namespace {
constexpr uint32_t kBlk = KS_ASM_BLOCK_SIZE;
constexpr uint64_t kDiskBytes = 8ull << 30;  // every disk image's size (sparse)
constexpr uint32_t kPtrRoom = (kBlk - KS_ASM_FD_PTRS) / KS_ASM_PTR_SIZE;
constexpr uint32_t kFineWidth = 8;

// Pointers an indirect block holds: a whole number of extents.
uint32_t ix_room(uint32_t xrs) { return (kBlk - KS_ASM_IX_PTRS) / KS_ASM_PTR_SIZE / xrs * xrs; }

uint32_t log2u(uint32_t v) {
  uint32_t l = 0;
  while ((1u << (l + 1)) <= v) l++;
  return l;
}
}  // namespace

ks_asm_group::~ks_asm_group() {
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
}

std::string ks_asm_group::disk_path(int d) const {
  std::string n = cfg_.name;
  for (char &c : n) c = char(tolower(uint8_t(c)));
  char buf[32];
  snprintf(buf, sizeof buf, "_%d.img", d);
  return cfg_.dir + "/" + n + buf;
}

uint64_t ks_asm_group::free_aus() const {
  uint64_t n = 0;
  for (int d = 0; d < cfg_.disks; d++) n += free_aus(d);
  return n;
}

uint64_t ks_asm_group::free_aus(int d) const {
  return uint64_t(std::count(used_[size_t(d)].begin(), used_[size_t(d)].end(), uint8_t(0)));
}

const ks_asm_file_t *ks_asm_group::file(uint32_t number) const {
  auto it = files_.find(number);
  return it == files_.end() ? nullptr : &it->second;
}

int ks_asm_group::open_disks(bool create) {
  if (cfg_.disks < 1 || cfg_.copies < 1 || cfg_.copies > 3 || cfg_.disks < cfg_.copies || cfg_.au < 65536 ||
      (cfg_.au & (cfg_.au - 1)) || cfg_.au > (64u << 20)) {
    KS_ERROR("invalid disk group %s (%d disks, %d copies, allocation unit %u).", cfg_.name.c_str(), cfg_.disks,
             cfg_.copies, cfg_.au);
    return -1;
  }
  disk_aus_ = kDiskBytes / cfg_.au;
  fds_.assign(size_t(cfg_.disks), -1);
  used_.assign(size_t(cfg_.disks), std::vector<uint8_t>(disk_aus_, 0));
  for (int d = 0; d < cfg_.disks; d++) {
    used_[size_t(d)][0] = 1;  // the disk header's
    const std::string p = disk_path(d);
    int fd = ::open(p.c_str(), create ? O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC : O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) {
      KS_ERROR("open \"%s\": %s", p.c_str(), strerror(errno));
      return -1;
    }
    fds_[size_t(d)] = fd;
    if (create && ftruncate(fd, off_t(disk_aus_ * cfg_.au)) != 0) {
      KS_ERROR("ftruncate \"%s\": %s", p.c_str(), strerror(errno));
      return -1;
    }
  }
  return 0;
}

int ks_asm_group::disk_io(bool wr, uint16_t dsk, void *buf, size_t n, uint64_t off) {
  if (dsk >= fds_.size()) {
    KS_ERROR("disk %u is not in disk group %s.", dsk, cfg_.name.c_str());
    return -1;
  }
  ssize_t r = wr ? ks_write_data(fds_[dsk], buf, n, off_t(off)) : ks_read_data(fds_[dsk], buf, n, off_t(off));
  if (r != ssize_t(n)) {
    KS_ERROR("%s \"%s\" at %llu: %s", wr ? "write" : "read", disk_path(dsk).c_str(), (unsigned long long)off,
             r < 0 ? strerror(errno) : "short transfer");
    return -1;
  }
  if (wr) dirty_.insert(dsk);
  return 0;
}

void ks_asm_group::seal(uint8_t *b, uint8_t type, uint32_t blk, uint32_t obj) {
  const bool big = cfg_.big;
  b[KS_ASM_BH_ENDIAN] = big ? 0 : 1;
  b[KS_ASM_BH_HARD] = KS_ASM_HARD;
  b[KS_ASM_BH_TYPE] = type;
  b[KS_ASM_BH_DATFMT] = 1;
  store32(b + KS_ASM_BH_BLK, blk, big);
  store32(b + KS_ASM_BH_OBJ, obj, big);
  store64(b + KS_ASM_BH_FCN, ++fcn_, big);
  store32(b + KS_ASM_BH_CHECK, 0, big);
  uint32_t x = 0;
  for (uint32_t i = 0; i < kBlk; i += 4) x ^= load32(b + i, big);
  store32(b + KS_ASM_BH_CHECK, x, big);
}

int ks_asm_group::check(const uint8_t *b, uint8_t type, int dsk, uint64_t off) const {
  const bool big = b[KS_ASM_BH_ENDIAN] == 0;
  uint32_t x = 0;
  for (uint32_t i = 0; i < kBlk; i += 4) x ^= load32(b + i, big);
  if (b[KS_ASM_BH_HARD] != KS_ASM_HARD || b[KS_ASM_BH_TYPE] != type || x != 0 || big != cfg_.big) {
    if (dsk < 0)  // read through the directory: off is the offset in it
      KS_ERROR("file directory block %llu of disk group %s is damaged.", (unsigned long long)(off / kBlk),
               cfg_.name.c_str());
    else
      KS_ERROR("metadata block at %llu of \"%s\" is damaged.", (unsigned long long)off, disk_path(dsk).c_str());
    return -1;
  }
  return 0;
}

int ks_asm_group::write_disk_headers() {
  const ks_asm_file_t &dir = files_[KS_ASM_DIR_FILE];
  std::vector<uint8_t> b(kBlk);
  for (int d = 0; d < cfg_.disks; d++) {
    std::fill(b.begin(), b.end(), 0);
    char dname[KS_ASM_DH_NAME_SIZE + 1];
    snprintf(dname, sizeof dname, "%s_%04d", cfg_.name.c_str(), d);
    std::string prov = std::string("ORCLDISK") + dname;
    std::memcpy(b.data() + KS_ASM_DH_PROVSTR, prov.data(), std::min<size_t>(prov.size(), KS_ASM_DH_NAME_SIZE));
    store16(b.data() + KS_ASM_DH_DSKNUM, uint16_t(d), cfg_.big);
    b[KS_ASM_DH_GRPTYP] = uint8_t(cfg_.copies);
    std::memcpy(b.data() + KS_ASM_DH_DSKNAME, dname, std::min<size_t>(strlen(dname), KS_ASM_DH_NAME_SIZE));
    std::memcpy(b.data() + KS_ASM_DH_GRPNAME, cfg_.name.data(),
                std::min<size_t>(cfg_.name.size(), KS_ASM_DH_NAME_SIZE));
    store16(b.data() + KS_ASM_DH_SECSZ, 512, cfg_.big);
    store16(b.data() + KS_ASM_DH_BLKSZ, uint16_t(kBlk), cfg_.big);
    store32(b.data() + KS_ASM_DH_AUSZ, cfg_.au, cfg_.big);
    store32(b.data() + KS_ASM_DH_DSKSZ, uint32_t(disk_aus_), cfg_.big);
    // Every disk holding a copy of the directory's first extent says where it is.
    for (int c = 0; c < dir.xrs; c++)
      if (dir.ptrs[size_t(c)].dsk == d) store32(b.data() + KS_ASM_DH_F1AU, dir.ptrs[size_t(c)].aun, cfg_.big);
    seal(b.data(), KS_ASM_TYPE_DISKHEAD, 0, uint32_t(d));
    if (disk_io(true, uint16_t(d), b.data(), kBlk, 0) != 0) return -1;
  }
  return 0;
}

int ks_asm_group::alloc_au(uint16_t dsk, uint32_t *aun) {
  auto &u = used_[dsk];
  for (uint32_t a = 1; a < u.size(); a++)
    if (!u[a]) {
      u[a] = 1;
      *aun = a;
      return 0;
    }
  KS_ERROR("disk %s of disk group %s is full.", disk_path(dsk).c_str(), cfg_.name.c_str());
  return -1;
}

void ks_asm_group::free_ptrs(const std::vector<ks_asm_ptr_t> &p) {
  for (const auto &x : p)
    if (x.dsk < used_.size() && x.aun < used_[x.dsk].size()) used_[x.dsk][x.aun] = 0;
}

// Each extent goes on the next disk in turn, its copies on the disks after it.
int ks_asm_group::alloc_extents(ks_asm_file_t *f, size_t extents, bool zero) {
  std::vector<uint8_t> zeros;
  for (size_t e = 0; e < extents; e++) {
    const uint32_t d0 = next_disk_++ % uint32_t(cfg_.disks);
    for (int c = 0; c < f->xrs; c++) {
      ks_asm_ptr_t p;
      p.dsk = uint16_t((d0 + uint32_t(c)) % uint32_t(cfg_.disks));
      if (alloc_au(p.dsk, &p.aun) != 0) return -1;
      // A free AU may still hold the bytes of a file removed, or of one a run that ended
      // early never published: a hole punched in the image reads as zeros (written out
      // where the file system cannot punch).
      const off_t at = off_t(p.aun) * cfg_.au;
      if (zero && fallocate(fds_[p.dsk], FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, cfg_.au) != 0) {
        zeros.resize(cfg_.au, 0);
        if (disk_io(true, p.dsk, zeros.data(), cfg_.au, uint64_t(at)) != 0) return -1;
      }
      if (zero) dirty_.insert(p.dsk);
      f->ptrs.push_back(p);
    }
  }
  return 0;
}

// The pointers beyond those the entry holds, in as many indirect AUs as they need; every
// block of a unit is written (the ones past the map as zeros).
int ks_asm_group::write_indirect(ks_asm_file_t *f) {
  const uint32_t brk = KS_ASM_XTNTBRK, xrs = f->xrs, room = ix_room(xrs), nb = cfg_.au / kBlk;
  const size_t rest = f->ptrs.size() > brk ? f->ptrs.size() - brk : 0;
  const size_t per_unit = size_t(room) * nb;
  const size_t units = (rest + per_unit - 1) / per_unit;
  if (units > (kPtrRoom - brk) / xrs) {
    KS_ERROR("file %u of disk group %s has too many extents.", f->number, cfg_.name.c_str());
    return -1;
  }
  while (f->ind.size() / xrs < units) {
    ks_asm_file_t tmp;
    tmp.xrs = f->xrs;
    if (alloc_extents(&tmp, 1, false) != 0) return -1;
    f->ind.insert(f->ind.end(), tmp.ptrs.begin(), tmp.ptrs.end());
  }
  std::vector<uint8_t> au(cfg_.au);
  size_t at = 0;  // next pointer of rest
  for (size_t u = 0; u < f->ind.size() / xrs; u++) {
    std::fill(au.begin(), au.end(), 0);
    for (uint32_t j = 0; j < nb && at < rest; j++) {
      uint8_t *b = au.data() + size_t(j) * kBlk;
      const uint32_t n = uint32_t(std::min<size_t>(room, rest - at));
      store32(b + KS_ASM_IX_XSN, uint32_t((brk + at) / xrs), cfg_.big);
      store16(b + KS_ASM_IX_COUNT, uint16_t(n), cfg_.big);
      b[KS_ASM_IX_COPIES] = uint8_t(xrs);
      for (uint32_t i = 0; i < n; i++) {
        const ks_asm_ptr_t &p = f->ptrs[brk + at + i];
        store32(b + KS_ASM_IX_PTRS + i * KS_ASM_PTR_SIZE, p.aun, cfg_.big);
        store16(b + KS_ASM_IX_PTRS + i * KS_ASM_PTR_SIZE + 4, p.dsk, cfg_.big);
      }
      seal(b, KS_ASM_TYPE_INDIRECT, uint32_t(u * nb + j), f->number);
      at += n;
    }
    for (uint32_t c = 0; c < xrs; c++) {
      const ks_asm_ptr_t &p = f->ind[u * xrs + c];
      if (disk_io(true, p.dsk, au.data(), cfg_.au, uint64_t(p.aun) * cfg_.au) != 0) return -1;
    }
  }
  return 0;
}

int ks_asm_group::write_entry(const ks_asm_file_t &f) {
  std::vector<uint8_t> b(kBlk, 0);
  const bool big = cfg_.big;
  store32(b.data() + KS_ASM_FD_INCARN, f.incarn, big);
  store64(b.data() + KS_ASM_FD_BYTES, f.bytes, big);
  store32(b.data() + KS_ASM_FD_BLKSZ, f.blksz, big);
  b[KS_ASM_FD_FTYPE] = f.type;
  store32(b.data() + KS_ASM_FD_XTNTCNT, uint32_t(f.ptrs.size()), big);
  b[KS_ASM_FD_XRS] = f.xrs;
  store16(b.data() + KS_ASM_FD_XTNTBRK, KS_ASM_XTNTBRK, big);
  b[KS_ASM_FD_STRPWD] = f.width;
  b[KS_ASM_FD_STRPSZ] = uint8_t(log2u(f.strpsz));
  uint32_t i = 0;
  auto put = [&](const ks_asm_ptr_t &p) {
    store32(b.data() + KS_ASM_FD_PTRS + i * KS_ASM_PTR_SIZE, p.aun, big);
    store16(b.data() + KS_ASM_FD_PTRS + i * KS_ASM_PTR_SIZE + 4, p.dsk, big);
    i++;
  };
  for (size_t k = 0; k < f.ptrs.size() && k < KS_ASM_XTNTBRK; k++) put(f.ptrs[k]);
  if (f.ptrs.size() > KS_ASM_XTNTBRK) {
    for (const auto &p : f.ind) put(p);
    if (i < kPtrRoom) put(ks_asm_ptr_t{KS_ASM_PTR_END, 0});
  }
  seal(b.data(), KS_ASM_TYPE_FILEDIR, f.number, KS_ASM_DIR_FILE);
  return file_io(true, KS_ASM_DIR_FILE, b.data(), kBlk, off_t(f.number) * kBlk) == ssize_t(kBlk) ? 0 : -1;
}

int ks_asm_group::dir_room(uint32_t number) {
  ks_asm_file_t &dir = files_[KS_ASM_DIR_FILE];
  const size_t need = size_t(number) / (cfg_.au / kBlk) + 1;
  if (dir.ptrs.size() / dir.xrs >= need) return 0;
  if (alloc_extents(&dir, need - dir.ptrs.size() / dir.xrs, true) != 0) return -1;
  dir.bytes = uint64_t(dir.ptrs.size() / dir.xrs) * cfg_.au;
  if (write_indirect(&dir) != 0) return -1;
  return write_entry(dir);
}

int ks_asm_group::create(const ks_asm_cfg_t &cfg) {
  cfg_ = cfg;
  if (mkdir(cfg_.dir.c_str(), 0755) != 0 && errno != EEXIST) {
    KS_ERROR("mkdir \"%s\": %s", cfg_.dir.c_str(), strerror(errno));
    return -1;
  }
  if (open_disks(true) != 0) return -1;
  ks_asm_file_t &dir = files_[KS_ASM_DIR_FILE];
  dir.number = KS_ASM_DIR_FILE;
  dir.type = KS_ASM_FTYPE_DIR;
  dir.blksz = kBlk;
  dir.xrs = uint8_t(cfg_.copies);
  dir.strpsz = cfg_.au;
  dir.published = true;
  if (alloc_extents(&dir, 1, true) != 0) return -1;
  dir.bytes = cfg_.au;
  if (write_entry(dir) != 0 || dir_room(KS_ASM_FIRST_USER_FILE) != 0 || write_disk_headers() != 0) return -1;
  return sync();
}

int ks_asm_group::load_map(const uint8_t *e, int dsk, uint64_t off, ks_asm_file_t *f) {
  if (check(e, KS_ASM_TYPE_FILEDIR, dsk, off) != 0) return -1;
  const bool big = cfg_.big;
  f->number = load32(e + KS_ASM_BH_BLK, big);
  f->incarn = load32(e + KS_ASM_FD_INCARN, big);
  f->bytes = load64(e + KS_ASM_FD_BYTES, big);
  f->blksz = load32(e + KS_ASM_FD_BLKSZ, big);
  f->type = e[KS_ASM_FD_FTYPE];
  f->xrs = e[KS_ASM_FD_XRS] & 15;
  f->width = e[KS_ASM_FD_STRPWD];
  f->strpsz = 1u << (e[KS_ASM_FD_STRPSZ] & 31);
  f->published = true;
  fcn_ = std::max(fcn_, load64(e + KS_ASM_BH_FCN, big));
  const uint32_t cnt = load32(e + KS_ASM_FD_XTNTCNT, big);
  const uint32_t brk = load16(e + KS_ASM_FD_XTNTBRK, big);
  auto ptr = [big](const uint8_t *p) { return ks_asm_ptr_t{load32(p, big), load16(p + 4, big)}; };
  for (uint32_t i = 0; i < cnt && i < brk && i < kPtrRoom; i++) f->ptrs.push_back(ptr(e + KS_ASM_FD_PTRS + i * 8));
  for (uint32_t i = brk; cnt > brk && i + f->xrs <= kPtrRoom; i += f->xrs) {
    ks_asm_ptr_t p = ptr(e + KS_ASM_FD_PTRS + i * 8);
    if (p.aun == KS_ASM_PTR_END) break;
    for (uint32_t c = 0; c < f->xrs; c++) f->ind.push_back(ptr(e + KS_ASM_FD_PTRS + (i + c) * 8));
    std::vector<uint8_t> au(cfg_.au);
    if (disk_io(false, p.dsk, au.data(), cfg_.au, uint64_t(p.aun) * cfg_.au) != 0) return -1;
    for (uint32_t j = 0; j < cfg_.au / kBlk && f->ptrs.size() < cnt; j++) {
      const uint8_t *b = au.data() + size_t(j) * kBlk;
      if (check(b, KS_ASM_TYPE_INDIRECT, p.dsk, uint64_t(p.aun) * cfg_.au + j * kBlk) != 0) return -1;
      const uint32_t n = load16(b + KS_ASM_IX_COUNT, big);
      for (uint32_t k = 0; k < n && k < ix_room(1); k++) f->ptrs.push_back(ptr(b + KS_ASM_IX_PTRS + k * 8));
    }
  }
  if (f->ptrs.size() != cnt || f->xrs == 0 || cnt % f->xrs != 0) {
    KS_ERROR("extent map of file %u in disk group %s is damaged.", f->number, cfg_.name.c_str());
    return -1;
  }
  for (const auto *v : {&f->ptrs, &f->ind})
    for (const auto &x : *v) {
      if (x.dsk >= used_.size() || x.aun >= used_[x.dsk].size()) {
        KS_ERROR("extent map of file %u in disk group %s is damaged.", f->number, cfg_.name.c_str());
        return -1;
      }
      used_[x.dsk][x.aun] = 1;
    }
  return 0;
}

int ks_asm_group::open(const ks_asm_cfg_t &cfg) {
  cfg_ = cfg;
  if (open_disks(false) != 0) return -1;
  std::vector<uint8_t> b(kBlk);
  int dsk = -1;
  uint32_t f1 = 0;
  for (int d = 0; d < cfg_.disks && dsk < 0; d++) {
    if (disk_io(false, uint16_t(d), b.data(), kBlk, 0) != 0 || check(b.data(), KS_ASM_TYPE_DISKHEAD, d, 0) != 0)
      return -1;
    f1 = load32(b.data() + KS_ASM_DH_F1AU, cfg_.big);
    if (f1 != 0) dsk = d;
  }
  if (dsk < 0) {
    KS_ERROR("no disk of disk group %s holds its file directory.", cfg_.name.c_str());
    return -1;
  }
  const uint64_t off = uint64_t(f1) * cfg_.au + kBlk;
  if (disk_io(false, uint16_t(dsk), b.data(), kBlk, off) != 0 ||
      load_map(b.data(), dsk, off, &files_[KS_ASM_DIR_FILE]) != 0)
    return -1;
  const uint64_t entries = files_[KS_ASM_DIR_FILE].bytes / kBlk;
  for (uint32_t n = KS_ASM_DIR_FILE + 1; n < entries; n++) {
    if (file_io(false, KS_ASM_DIR_FILE, b.data(), kBlk, off_t(n) * kBlk) != ssize_t(kBlk)) return -1;
    if (std::all_of(b.begin(), b.end(), [](uint8_t c) { return c == 0; })) continue;
    if (load_map(b.data(), -1, uint64_t(n) * kBlk, &files_[n]) != 0) return -1;
  }
  dirty_.clear();
  return 0;
}

int ks_asm_group::create_file(uint64_t bytes, bool fine, uint8_t type, uint32_t blksz, uint32_t incarn,
                              uint32_t *number) {
  uint32_t n = KS_ASM_FIRST_USER_FILE;
  while (files_.count(n)) n++;
  ks_asm_file_t f;
  f.number = n;
  f.type = type;
  f.blksz = blksz;
  f.incarn = incarn;
  f.xrs = uint8_t(cfg_.copies);
  f.bytes = bytes;
  f.width = fine ? kFineWidth : 1;
  f.strpsz = !fine ? cfg_.au : cfg_.au < (256u << 10) ? cfg_.au / 2 : 128u << 10;
  // A fine file takes whole stripe sets.
  const uint64_t set = uint64_t(cfg_.au) * f.width;
  size_t extents = size_t((std::max<uint64_t>(bytes, 1) + set - 1) / set) * f.width;
  if (alloc_extents(&f, extents, type != KS_ASM_FTYPE_ARCHIVELOG) != 0 || write_indirect(&f) != 0) {
    free_ptrs(f.ptrs);
    free_ptrs(f.ind);
    return -1;
  }
  files_[n] = std::move(f);
  *number = n;
  return 0;
}

int ks_asm_group::publish(uint32_t number) {
  auto it = files_.find(number);
  if (it == files_.end()) return -1;
  if (dir_room(number) != 0 || write_entry(it->second) != 0) return -1;
  it->second.published = true;
  return sync();
}

int ks_asm_group::remove(uint32_t number) {
  auto it = files_.find(number);
  if (it == files_.end() || number < KS_ASM_FIRST_USER_FILE) return -1;
  if (it->second.published) {
    std::vector<uint8_t> z(kBlk, 0);
    if (file_io(true, KS_ASM_DIR_FILE, z.data(), kBlk, off_t(number) * kBlk) != ssize_t(kBlk) || sync() != 0) return -1;
  }
  free_ptrs(it->second.ptrs);
  free_ptrs(it->second.ind);
  files_.erase(it);
  return 0;
}

ssize_t ks_asm_group::file_io(bool wr, uint32_t number, void *buf, size_t n, off_t off) {
  auto it = files_.find(number);
  if (it == files_.end()) {
    KS_ERROR("file %u is not in disk group %s.", number, cfg_.name.c_str());
    return -1;
  }
  const ks_asm_file_t &f = it->second;
  if (off < 0 || uint64_t(off) + n > f.bytes) {
    KS_ERROR("%s of %zu bytes at %lld is past the end of file %u in disk group %s.", wr ? "write" : "read", n,
             (long long)off, number, cfg_.name.c_str());
    errno = EINVAL;
    return -1;
  }
  const uint64_t ss = f.strpsz, set = uint64_t(cfg_.au / f.strpsz) * f.width;
  uint8_t *p = static_cast<uint8_t *>(buf);
  uint64_t o = uint64_t(off);
  size_t left = n;
  while (left > 0) {
    const uint64_t s = o / ss, x = (s / set) * f.width + s % f.width, r = (s % set) / f.width;
    const size_t len = size_t(std::min<uint64_t>(left, ss - o % ss));
    for (uint32_t c = 0; c < (wr ? f.xrs : 1u); c++) {
      const ks_asm_ptr_t &ptr = f.ptrs[size_t(x) * f.xrs + c];
      if (disk_io(wr, ptr.dsk, p, len, uint64_t(ptr.aun) * cfg_.au + r * ss + o % ss) != 0) return -1;
    }
    p += len;
    o += len;
    left -= len;
  }
  return ssize_t(n);
}

ssize_t ks_asm_group::read(uint32_t number, void *buf, size_t n, off_t off) {
  return file_io(false, number, buf, n, off);
}

ssize_t ks_asm_group::write(uint32_t number, const void *buf, size_t n, off_t off) {
  // The buffer is only read from.
  return file_io(true, number, const_cast<void *>(buf), n, off);
}

int ks_asm_group::sync() {
  if (!sync_) dirty_.clear();
  for (int d : dirty_)
    if (fdatasync(fds_[size_t(d)]) != 0) {
      KS_ERROR("fdatasync \"%s\": %s", disk_path(d).c_str(), strerror(errno));
      return -1;
    }
  dirty_.clear();
  return 0;
}

// ---- logs in disk groups ----

std::string ks_asm_log_store::online_name(int g) const {
  char buf[64];
  snprintf(buf, sizeof buf, "/ONLINELOG/group_%d.log", g);
  return "+" + logs_->cfg().name + "/" + db_ + buf;
}

int ks_asm_log_store::resolve(const std::string &name, ks_asm_group **grp, uint32_t *file, uint32_t *incarn) const {
  *grp = nullptr;
  for (ks_asm_group *g : {logs_, arch_})
    if (name.compare(0, g->cfg().name.size() + 2, "+" + g->cfg().name + "/") == 0) *grp = g;
  if (!*grp) return -1;
  if (auto a = alias_.find(name); a != alias_.end()) {
    *file = a->second;
    const ks_asm_file_t *f = (*grp)->file(*file);
    *incarn = f ? f->incarn : 0;
    return 0;
  }
  // A system name: <name>.<file>.<incarnation>.
  const std::string last = name.substr(name.rfind('/') + 1);
  unsigned long long fn = 0, inc = 0;
  size_t d1 = last.find('.');
  if (d1 == std::string::npos || sscanf(last.c_str() + d1, ".%llu.%llu", &fn, &inc) != 2) return -1;
  *file = uint32_t(fn);
  *incarn = uint32_t(inc);
  return 0;
}

int ks_asm_log_store::create_logs(const std::vector<std::string> &names, uint64_t bytes) {
  for (const auto &n : names) {
    uint32_t file = 0;
    if (alias_.count(n)) {
      KS_ERROR("log \"%s\" exists.", n.c_str());
      return -1;
    }
    if (logs_->create_file(bytes, fine_, KS_ASM_FTYPE_ONLINELOG, blksz_, 0, &file) != 0 || logs_->publish(file) != 0)
      return -1;
    alias_[n] = file;
  }
  return 0;
}

int ks_asm_log_store::open(const std::string &name) {
  ks_asm_group *g;
  uint32_t file, inc;
  if (resolve(name, &g, &file, &inc) != 0 || !g->file(file) || file > 0xFFFFFF) {
    KS_ERROR("open \"%s\": no such file in the disk groups.", name.c_str());
    return -1;
  }
  return int(file) | (g == logs_ ? 0 : 1 << 24);
}

ssize_t ks_asm_log_store::read(int h, void *buf, size_t n, off_t off) {
  return group_of(h)->read(file_of(h), buf, n, off);
}

ssize_t ks_asm_log_store::write(int h, const void *buf, size_t n, off_t off) {
  return group_of(h)->write(file_of(h), buf, n, off);
}

int ks_asm_log_store::sync(int h) { return group_of(h)->sync(); }

int ks_asm_log_store::archive_begin(uint32_t thread, uint32_t seq, uint64_t bytes, uint32_t incarnation) {
  uint32_t file = 0;
  if (arch_->create_file(bytes, false, KS_ASM_FTYPE_ARCHIVELOG, blksz_, incarnation, &file) != 0) return -1;
  char buf[128];
  snprintf(buf, sizeof buf, "/ARCHIVELOG/thread_%u_seq_%u.%u.%u", thread, seq, file, incarnation);
  arch_name_ = "+" + arch_->cfg().name + "/" + db_ + buf;
  return int(file) | 1 << 24;
}

int ks_asm_log_store::archive_publish(int h, std::string *name) {
  if (arch_->publish(file_of(h)) != 0) {
    arch_->remove(file_of(h));
    return -1;
  }
  *name = arch_name_;
  return 0;
}

void ks_asm_log_store::archive_abort(int h) { arch_->remove(file_of(h)); }

}  // namespace ks::sim
