// Online redo log groups, block layout, log switches and archiving of the simulated
// source; see the header for the invariants.
#include "sim/source/redo_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/log/log.h"
#include "lib/util.h"

namespace ks::sim {

using namespace ks::redo;

namespace {
constexpr size_t kPendLimit = 4u << 20;  // write completed blocks beyond this much pending redo
}

ks_redo_writer::~ks_redo_writer() {
  if (fd_ >= 0) ::close(fd_);
}

int ks_redo_writer::create_groups(const ks_redo_cfg_t &cfg, const std::vector<std::string> &paths) {
  for (const auto &p : paths) {
    int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
      KS_ERROR("open \"%s\": %s", p.c_str(), strerror(errno));
      return -1;
    }
    // Online logs are allocated in full when created, as a database does.
    off_t size = off_t(cfg.log_blocks + 1) * cfg.blk_sz;
    int rc = posix_fallocate(fd, 0, size) == 0 ? 0 : ftruncate(fd, size);
    ::close(fd);
    if (rc != 0) {
      KS_ERROR("ftruncate \"%s\": %s", p.c_str(), strerror(errno));
      return -1;
    }
  }
  return 0;
}

int ks_redo_writer::open(const ks_redo_cfg_t &cfg, std::vector<ks_log_group_t> groups, int current,
                         uint32_t next_blk, uint32_t first_seq, uint64_t first_scn) {
  if (cfg.blk_sz < 512 || cfg.blk_sz > 65536 || (cfg.blk_sz & (cfg.blk_sz - 1)) || cfg.log_blocks < 4 ||
      groups.empty()) {
    KS_ERROR("invalid redo log configuration (block size %u, log blocks %u, groups %zu).", cfg.blk_sz,
             cfg.log_blocks, groups.size());
    return -1;
  }
  cfg_ = cfg;
  groups_ = std::move(groups);
  pend_.clear();
  if (current < 0) return start_log(0, first_seq, first_scn);
  if (current >= int(groups_.size())) return -1;
  cur_ = current;
  fd_ = ::open(groups_[size_t(cur_)].path.c_str(), O_RDWR);
  if (fd_ < 0) {
    KS_ERROR("open \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
    return -1;
  }
  pend_first_ = next_blk < 2 ? 2 : next_blk;
  return 0;
}

int ks_redo_writer::write_header(uint32_t nab) {
  const uint32_t bs = cfg_.blk_sz;
  std::vector<uint8_t> h(size_t(2) * bs, 0);
  uint8_t *b0 = h.data(), *b1 = h.data() + bs;
  const bool big = cfg_.big;
  store32(b0 + KS_REDO_FH0_BLOCK_SIZE, bs, big);
  store32(b0 + KS_REDO_FH0_MAGIC, KS_REDO_MAGIC, big);
  store32(b1 + KS_REDO_BH_BLOCK_NO, 1, big);
  store32(b1 + KS_REDO_BH_SEQUENCE, groups_[size_t(cur_)].seq, big);
  store16(b1 + KS_REDO_BH_FIRST_RECORD, KS_REDO_BH_FIRST_RECORD_FLAG, big);
  store32(b1 + KS_REDO_FH1_VERSION, cfg_.vsn, big);
  store32(b1 + KS_REDO_FH1_FILE_BLOCKS, cfg_.log_blocks, big);
  store32(b1 + KS_REDO_FH1_BLOCK_SIZE, bs, big);
  store32(b1 + KS_REDO_FH1_NEXT_BLOCK, nab, big);
  if (ks_write_data(fd_, h.data(), h.size(), 0) != ssize_t(h.size())) {
    KS_ERROR("write redo header \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
    return -1;
  }
  if (cfg_.sync && fdatasync(fd_) != 0) {
    KS_ERROR("fdatasync \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int ks_redo_writer::start_log(int g, uint32_t seq, uint64_t scn) {
  ks_log_group_t &grp = groups_[size_t(g)];
  if (cfg_.archive && grp.seq != 0 && !grp.archived) {
    KS_ERROR("log group %d (sequence %u) is not archived yet.", grp.group, grp.seq);
    return -1;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(grp.path.c_str(), O_RDWR);
  if (fd_ < 0) {
    KS_ERROR("open \"%s\": %s", grp.path.c_str(), strerror(errno));
    return -1;
  }
  cur_ = g;
  grp.seq = seq;
  grp.status = kLogCurrent;
  grp.first_scn = scn;
  grp.next_scn = 0;
  grp.archived = false;
  pend_.clear();
  pend_first_ = 2;
  cur_off_ = KS_REDO_BH_SIZE;
  if (write_header(KS_REDO_NEXT_BLOCK_CURRENT) != 0) return -1;
  if (listener_ && listener_(ks_log_event_t{ks_log_event_t::kStart, &grp, 0, {}}) != 0) return -1;
  return 0;
}

int ks_redo_writer::archive(const ks_log_group_t &g, uint32_t nab, std::string *path) {
  char name[1024];
  snprintf(name, sizeof name, "%s/arch_%u_%u.arc", cfg_.arch_dir.c_str(), cfg_.thread, g.seq);
  std::string tmp = std::string(name) + ".tmp";
  int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    KS_ERROR("open \"%s\": %s", tmp.c_str(), strerror(errno));
    return -1;
  }
  std::vector<uint8_t> buf(size_t(256) * cfg_.blk_sz);
  uint64_t total = uint64_t(nab) * cfg_.blk_sz, done = 0;
  int rc = 0;
  while (done < total && rc == 0) {
    size_t n = size_t(std::min<uint64_t>(buf.size(), total - done));
    if (ks_read_data(fd_, buf.data(), n, off_t(done)) != ssize_t(n) || ks_write_data(out, buf.data(), n, off_t(done)) != ssize_t(n))
      rc = -1;
    done += n;
  }
  if (rc == 0 && cfg_.sync && fdatasync(out) != 0) rc = -1;
  ::close(out);
  if (rc != 0 || rename(tmp.c_str(), name) != 0) {
    KS_ERROR("archive log sequence %u to \"%s\" error: %s", g.seq, name, strerror(errno));
    unlink(tmp.c_str());
    return -1;
  }
  *path = name;
  return 0;
}

int ks_redo_writer::finish_log(uint64_t next_scn) {
  if (flush() != 0) return -1;
  ks_log_group_t &grp = groups_[size_t(cur_)];
  uint32_t nab = pend_first_;
  if (write_header(nab) != 0) return -1;
  grp.next_scn = next_scn;
  for (auto &o : groups_)
    if (o.status == kLogActive) o.status = kLogInactive;
  grp.status = kLogActive;
  std::string apath;
  if (cfg_.archive) {
    if (archive(grp, nab, &apath) != 0) return -1;
    grp.archived = true;
  }
  if (listener_ && listener_(ks_log_event_t{ks_log_event_t::kDone, &grp, nab - 1, apath}) != 0) return -1;
  return 0;
}

int ks_redo_writer::switch_log(uint64_t scn) {
  if (cur_ < 0) return -1;
  uint32_t seq = groups_[size_t(cur_)].seq;
  if (finish_log(scn) != 0) return -1;
  int next = (cur_ + 1) % int(groups_.size());
  if (start_log(next, seq + 1, scn) != 0) return -1;
  switches_++;
  return 0;
}

uint8_t *ks_redo_writer::block(uint32_t blk) {
  const uint32_t bs = cfg_.blk_sz;
  uint32_t idx = blk - pend_first_;
  while (pend_.size() / bs <= idx) {
    size_t at = pend_.size();
    pend_.resize(at + bs, 0);
    uint8_t *b = pend_.data() + at;
    store32(b + KS_REDO_BH_BLOCK_NO, pend_first_ + uint32_t(at / bs), cfg_.big);
    store32(b + KS_REDO_BH_SEQUENCE, groups_[size_t(cur_)].seq, cfg_.big);
    store16(b + KS_REDO_BH_FIRST_RECORD, KS_REDO_BH_FIRST_RECORD_FLAG, cfg_.big);
  }
  return pend_.data() + size_t(idx) * bs;
}

void ks_redo_writer::pad_block() {
  if (!pend_.empty() && cur_off_ > KS_REDO_BH_SIZE) cur_off_ = cfg_.blk_sz;
}

int ks_redo_writer::append(const ks_redo_record &rec, uint64_t scn) {
  if (cur_ < 0 || fd_ < 0) return -1;
  const uint32_t bs = cfg_.blk_sz, len = rec.size();
  if (len < uint32_t(KS_REDO_RH_SIZE) || len > uint32_t(KS_REDO_MAX_RECORD)) {
    KS_ERROR("redo record length %u out of range.", len);
    return -1;
  }
  for (int attempt = 0;; attempt++) {
    uint32_t blk, off;
    if (pend_.empty()) {
      blk = pend_first_;
      off = KS_REDO_BH_SIZE;
    } else {
      blk = pend_first_ + uint32_t(pend_.size() / bs) - 1;
      off = cur_off_;
      if (bs - off < uint32_t(KS_REDO_MIN_RECORD_ROOM)) blk++, off = KS_REDO_BH_SIZE;
    }
    uint32_t first = std::min(len, bs - off);
    uint32_t rest = len - first;
    uint32_t end_blk = blk + (rest + (bs - KS_REDO_BH_SIZE) - 1) / (bs - KS_REDO_BH_SIZE);
    if (end_blk > cfg_.log_blocks) {
      if (attempt > 0) {
        KS_ERROR("redo record of %u bytes does not fit a log of %u blocks.", len, cfg_.log_blocks);
        return -1;
      }
      if (switch_log(scn) != 0) return -1;
      continue;
    }
    const uint8_t *src = rec.data();
    uint8_t *b = block(blk);
    if ((load16(b + KS_REDO_BH_FIRST_RECORD, cfg_.big) & KS_REDO_BH_FIRST_RECORD_MASK) == 0)
      store16(b + KS_REDO_BH_FIRST_RECORD, uint16_t(off | KS_REDO_BH_FIRST_RECORD_FLAG), cfg_.big);
    std::memcpy(b + off, src, first);
    uint32_t done = first;
    off += first;
    while (done < len) {
      blk++;
      b = block(blk);
      uint32_t n = std::min(len - done, bs - KS_REDO_BH_SIZE);
      std::memcpy(b + KS_REDO_BH_SIZE, src + done, n);
      done += n;
      off = KS_REDO_BH_SIZE + n;
    }
    cur_off_ = off;
    bytes_ += len;
    break;
  }
  if (pend_.size() >= kPendLimit) {
    // Complete blocks can go out early: a reader stops at the first block not written.
    size_t full = pend_.size() / bs - 1;
    if (ks_write_data(fd_, pend_.data(), full * bs, off_t(pend_first_) * bs) != ssize_t(full * bs)) {
      KS_ERROR("write redo \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
      return -1;
    }
    pend_.erase(pend_.begin(), pend_.begin() + long(full * bs));
    pend_first_ += uint32_t(full);
  }
  return 0;
}

int ks_redo_writer::commit_point() {
  if (pend_.size() >= cfg_.flush_bytes) return flush();
  return 0;
}

int ks_redo_writer::flush() {
  if (cur_ < 0 || fd_ < 0) return -1;
  if (pend_.empty()) return 0;
  const uint32_t bs = cfg_.blk_sz;
  uint32_t n = uint32_t(pend_.size() / bs);
  if (cur_off_ <= KS_REDO_BH_SIZE) n--;  // the last block holds nothing yet
  if (n > 0) {
    if (ks_write_data(fd_, pend_.data(), size_t(n) * bs, off_t(pend_first_) * bs) != ssize_t(size_t(n) * bs)) {
      KS_ERROR("write redo \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
      return -1;
    }
    if (cfg_.sync && fdatasync(fd_) != 0) {
      KS_ERROR("fdatasync \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
      return -1;
    }
  }
  pend_first_ += n;
  pend_.clear();
  cur_off_ = KS_REDO_BH_SIZE;
  return 0;
}

uint32_t ks_redo_writer::next_block() const {
  if (pend_.empty()) return pend_first_;
  uint32_t n = uint32_t(pend_.size() / cfg_.blk_sz);
  return pend_first_ + (cur_off_ <= KS_REDO_BH_SIZE ? n - 1 : n);
}

int ks_redo_writer::close() {
  int rc = 0;
  if (fd_ >= 0) {
    rc = flush();
    ::close(fd_);
    fd_ = -1;
  }
  return rc;
}

}  // namespace ks::sim
