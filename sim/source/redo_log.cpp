// Online redo log groups, block layout, log switches and archiving of the simulated
// source; see the header for the invariants.
#include "sim/source/redo_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/fmt/redo_checksum.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace ks::sim {

using namespace ks::redo;

namespace {
constexpr size_t kPendLimit = 4u << 20;  // write completed blocks beyond this much pending redo
}

ks_redo_writer::~ks_redo_writer() {
  if (fd_ >= 0) st_->close(fd_);
}

int ks_redo_writer::create_groups(const ks_redo_cfg_t &cfg, const std::vector<std::string> &paths) {
  const uint64_t bytes = uint64_t(cfg.log_blocks + 1) * cfg.blk_sz;
  if (cfg.store) return cfg.store->create_logs(paths, bytes);
  return ks_file_log_store(cfg.arch_dir).create_logs(paths, bytes);
}

int ks_redo_writer::attach(const ks_redo_cfg_t &cfg, std::vector<ks_log_group_t> groups) {
  if (groups.empty()) {
    KS_ERROR("thread %u has no log groups.", cfg.thread);
    return -1;
  }
  if (fd_ >= 0) st_->close(fd_);
  fd_ = -1;
  cur_ = -1;
  cfg_ = cfg;
  st_ = cfg_.store;
  if (!st_) {
    own_store_ = std::make_unique<ks_file_log_store>(cfg_.arch_dir);
    st_ = own_store_.get();
  }
  groups_ = std::move(groups);
  pend_.clear();
  return 0;
}

int ks_redo_writer::start_next(uint64_t scn, uint32_t ts) {
  if (cur_ >= 0 || groups_.empty()) return -1;
  size_t last = 0;
  for (size_t i = 1; i < groups_.size(); i++)
    if (groups_[i].seq > groups_[last].seq) last = i;
  const uint32_t seq = groups_[last].seq;
  return start_log(seq == 0 ? 0 : int((last + 1) % groups_.size()), seq + 1, scn, ts);
}

int ks_redo_writer::shut(uint64_t next_scn, uint32_t next_ts) {
  if (cur_ < 0) return -1;
  if (finish_log(next_scn, next_ts) != 0) return -1;
  st_->close(fd_);
  fd_ = -1;
  cur_ = -1;
  return 0;
}

int ks_redo_writer::open(const ks_redo_cfg_t &cfg, std::vector<ks_log_group_t> groups, int current, uint32_t next_blk,
                         uint32_t first_seq, uint64_t first_scn, uint32_t first_time) {
  if (cfg.blk_sz < 512 || cfg.blk_sz > 65536 || (cfg.blk_sz & (cfg.blk_sz - 1)) || cfg.log_blocks < 4 ||
      groups.empty()) {
    KS_ERROR("invalid redo log configuration (block size %u, log blocks %u, groups %zu).", cfg.blk_sz, cfg.log_blocks,
             groups.size());
    return -1;
  }
  if (attach(cfg, std::move(groups)) != 0) return -1;
  if (current < 0) return start_log(0, first_seq, first_scn, first_time);
  if (current >= int(groups_.size())) return -1;
  cur_ = current;
  fd_ = st_->open(groups_[size_t(cur_)].path);
  if (fd_ < 0) return -1;
  pend_first_ = next_blk < 2 ? 2 : next_blk;
  lwn_blk_ = 0;
  // The first SCN's time is only in the log's header.
  uint8_t b1[512];
  ks_log_group_t &grp = groups_[size_t(cur_)];
  if (st_->read(fd_, b1, sizeof b1, off_t(cfg_.blk_sz)) == ssize_t(sizeof b1))
    grp.first_time = load32(b1 + KS_REDO_FH1_FIRST_TIME, cfg_.big);
  return 0;
}

int ks_redo_writer::write_header(uint32_t nab) {
  const uint32_t bs = cfg_.blk_sz;
  std::vector<uint8_t> h(size_t(2) * bs, 0);
  uint8_t *b0 = h.data(), *b1 = h.data() + bs;
  const bool big = cfg_.big;
  const ks_log_group_t &grp = groups_[size_t(cur_)];
  const bool current = nab == KS_REDO_NEXT_BLOCK_CURRENT;
  store32(b0 + KS_REDO_FH0_BLOCK_SIZE, bs, big);
  store32(b0 + KS_REDO_FH0_MAGIC, KS_REDO_MAGIC, big);
  store32(b1 + KS_REDO_BH_BLOCK_NO, 1, big);
  store32(b1 + KS_REDO_BH_SEQUENCE, grp.seq, big);
  store16(b1 + KS_REDO_BH_FIRST_RECORD, KS_REDO_BH_FIRST_RECORD_FLAG, big);
  store32(b1 + KS_REDO_FH1_VERSION, cfg_.vsn, big);
  store32(b1 + KS_REDO_FH1_FILE_BLOCKS, cfg_.log_blocks, big);
  store32(b1 + KS_REDO_FH1_BLOCK_SIZE, bs, big);
  store32(b1 + KS_REDO_FH1_NEXT_BLOCK, nab, big);
  if (!cfg_.bare) {
    b0[KS_REDO_BH_FORMAT] = b1[KS_REDO_BH_FORMAT] = block_format_of(bs);
    b1[KS_REDO_BH_TYPE] = KS_REDO_BLOCK_TYPE;
    store32(b0 + KS_REDO_FH0_FILE_TYPE, KS_REDO_FILE_TYPE, big);
    store32(b0 + KS_REDO_FH0_BLOCKS, cfg_.log_blocks, big);
    store32(b1 + KS_REDO_FH1_DBID, cfg_.dbid, big);
    std::memcpy(b1 + KS_REDO_FH1_DB_NAME, cfg_.db_name.data(),
                std::min<size_t>(cfg_.db_name.size(), KS_REDO_FH1_DB_NAME_SIZE));
    // The control file's sequence grows with every log switch; 4 a log is what databases show.
    store32(b1 + KS_REDO_FH1_CONTROL_SEQ, 0x400 + 4 * grp.seq, big);
    store16(b1 + KS_REDO_FH1_PAIR, 2, big);
    store16(b1 + KS_REDO_FH1_PAIR + 2, 2, big);
    store32(b1 + KS_REDO_FH1_ACTIVATION, cfg_.activation, big);
    // A current log has no next SCN yet: all ones, as databases show it.
    const uint64_t next = current ? 0xFFFFFFFFFFFFull : grp.next_scn;
    char desc[128];
    snprintf(desc, sizeof desc, "T %04u, S %010u, SCN 0x%016llx-0x%016llx", cfg_.thread, grp.seq,
             static_cast<unsigned long long>(grp.first_scn),
             current ? 0xFFFFFFFFFFFFFFFFull : static_cast<unsigned long long>(next));
    std::memcpy(b1 + KS_REDO_FH1_DESCRIPTION, desc,
                std::min<size_t>(std::strlen(desc), KS_REDO_FH1_DESCRIPTION_SIZE - 1));
    // From 12c the wraps of these SCNs carry a flag bit.
    const uint16_t wf = vsn_major(cfg_.vsn) >= 12 ? KS_REDO_SCN_WRAP_FLAG : 0;
    store32(b1 + KS_REDO_FH1_RESETLOGS_ID, cfg_.resetlogs_id, big);
    store_scn6(b1 + KS_REDO_FH1_RESETLOGS_SCN, cfg_.resetlogs_scn, big, wf);
    store16(b1 + KS_REDO_FH1_THREAD, uint16_t(cfg_.thread), big);
    store_scn6(b1 + KS_REDO_FH1_FIRST_SCN, grp.first_scn, big, wf);
    store32(b1 + KS_REDO_FH1_FIRST_TIME, grp.first_time, big);
    store_scn6(b1 + KS_REDO_FH1_NEXT_SCN, next, big, current ? 0 : wf);
    store32(b1 + KS_REDO_FH1_NEXT_TIME, current ? 0 : grp.next_time, big);
    set_block_checksum(b0, bs);
    set_block_checksum(b1, bs);
  }
  if (st_->write(fd_, h.data(), h.size(), 0) != ssize_t(h.size())) {
    KS_ERROR("write redo header \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
    return -1;
  }
  if (cfg_.sync && st_->sync(fd_) != 0) {
    KS_ERROR("fdatasync \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int ks_redo_writer::write_blocks(uint8_t *p, uint32_t n, uint32_t blk) {
  const uint32_t bs = cfg_.blk_sz;
  if (!cfg_.bare)
    for (uint32_t i = 0; i < n; i++) set_block_checksum(p + size_t(i) * bs, bs);
  if (st_->write(fd_, p, size_t(n) * bs, off_t(blk) * bs) != ssize_t(size_t(n) * bs)) {
    KS_ERROR("write redo \"%s\": %s", groups_[size_t(cur_)].path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int ks_redo_writer::close_lwn(uint32_t end) {
  if (lwn_blk_ == 0) return 0;
  const uint32_t bs = cfg_.blk_sz;
  uint8_t *b = lwn_on_disk_ ? lwn_copy_.data() : pend_.data() + size_t(lwn_blk_ - pend_first_) * bs;
  uint8_t *h = b + KS_REDO_BH_SIZE;
  store32(h + KS_REDO_LWN_BLOCKS, end - lwn_blk_, cfg_.big);
  store32(h + KS_REDO_LWN_BLOCKS2, end - lwn_blk_, cfg_.big);
  // The next write's first record is known only later; SCNs only grow, so it carries at
  // least the SCN after this write's last.
  store_scn6(h + KS_REDO_LWN_NEXT_SCN, lwn_last_scn_ + 1, cfg_.big);
  const uint32_t blk = lwn_blk_;
  lwn_blk_ = 0;
  if (!lwn_on_disk_) return 0;  // goes out with the pending blocks
  lwn_on_disk_ = false;
  return write_blocks(lwn_copy_.data(), 1, blk);
}

int ks_redo_writer::start_log(int g, uint32_t seq, uint64_t scn, uint32_t ts) {
  ks_log_group_t &grp = groups_[size_t(g)];
  if (cfg_.archive && grp.seq != 0 && !grp.archived) {
    KS_ERROR("log group %d (sequence %u) is not archived yet.", grp.group, grp.seq);
    return -1;
  }
  if (fd_ >= 0) st_->close(fd_);
  fd_ = st_->open(grp.path);
  if (fd_ < 0) return -1;
  cur_ = g;
  grp.seq = seq;
  grp.status = kLogCurrent;
  grp.first_scn = scn;
  grp.next_scn = 0;
  grp.first_time = ts;
  grp.next_time = 0;
  grp.archived = false;
  pend_.clear();
  pend_first_ = 2;
  lwn_blk_ = 0;
  cur_off_ = KS_REDO_BH_SIZE;
  if (write_header(KS_REDO_NEXT_BLOCK_CURRENT) != 0) return -1;
  if (listener_ && listener_(ks_log_event_t{ks_log_event_t::kStart, &grp, 0, {}}) != 0) return -1;
  return 0;
}

int ks_redo_writer::archive(const ks_log_group_t &g, uint32_t nab, std::string *path) {
  const uint64_t total = uint64_t(nab) * cfg_.blk_sz;
  // The copy's incarnation: the time the log was finished, in the redo calendar.
  int out = st_->archive_begin(cfg_.thread, g.seq, total, g.next_time);
  if (out < 0) return -1;
  std::vector<uint8_t> buf(size_t(256) * cfg_.blk_sz);
  uint64_t done = 0;
  int rc = 0;
  while (done < total && rc == 0) {
    size_t n = size_t(std::min<uint64_t>(buf.size(), total - done));
    if (st_->read(fd_, buf.data(), n, off_t(done)) != ssize_t(n) ||
        st_->write(out, buf.data(), n, off_t(done)) != ssize_t(n))
      rc = -1;
    done += n;
  }
  if (rc == 0 && cfg_.sync && st_->sync(out) != 0) rc = -1;
  if (rc != 0) {
    KS_ERROR("archive log sequence %u error: %s", g.seq, strerror(errno));
    st_->archive_abort(out);
    return -1;
  }
  return st_->archive_publish(out, path);
}

int ks_redo_writer::finish_log(uint64_t next_scn, uint32_t next_ts) {
  if (flush() != 0) return -1;
  ks_log_group_t &grp = groups_[size_t(cur_)];
  uint32_t nab = pend_first_;
  grp.next_scn = next_scn;
  grp.next_time = next_ts;
  if (write_header(nab) != 0) return -1;
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

int ks_redo_writer::switch_log(uint64_t scn, uint32_t ts) {
  if (cur_ < 0) return -1;
  uint32_t seq = groups_[size_t(cur_)].seq;
  if (finish_log(scn, ts) != 0) return -1;
  int next = (cur_ + 1) % int(groups_.size());
  if (start_log(next, seq + 1, scn, ts) != 0) return -1;
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
    if (!cfg_.bare) {
      b[KS_REDO_BH_TYPE] = KS_REDO_BLOCK_TYPE;
      b[KS_REDO_BH_FORMAT] = block_format_of(bs);
    }
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
  const uint32_t bs = cfg_.blk_sz;
  const uint8_t *src = rec.data();
  uint32_t len = rec.size();
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
    // A record that opens a write needs the long header, which the write's fields live in.
    const bool opens = pend_.empty() && !cfg_.bare;
    if (opens && !(src[KS_REDO_RH_VLD] & KS_REDO_VLD_LONG)) {
      const uint32_t grow = KS_REDO_RH_SIZE_LONG - KS_REDO_RH_SIZE;
      if (len + grow > uint32_t(KS_REDO_MAX_RECORD)) {
        KS_ERROR("redo record length %u out of range.", len + grow);
        return -1;
      }
      long_rec_.assign(len + grow, 0);
      std::memcpy(long_rec_.data(), src, KS_REDO_RH_SIZE);
      std::memcpy(long_rec_.data() + KS_REDO_RH_SIZE_LONG, src + KS_REDO_RH_SIZE, len - KS_REDO_RH_SIZE);
      long_rec_[KS_REDO_RH_VLD] |= KS_REDO_VLD_LONG;
      store32(long_rec_.data() + KS_REDO_RH_TIME, rec.time(), cfg_.big);
      len += grow;
      store32(long_rec_.data() + KS_REDO_RH_LENGTH, len, cfg_.big);
      src = long_rec_.data();
    }
    uint32_t first = std::min(len, bs - off);
    uint32_t rest = len - first;
    uint32_t end_blk = blk + (rest + (bs - KS_REDO_BH_SIZE) - 1) / (bs - KS_REDO_BH_SIZE);
    if (end_blk > cfg_.log_blocks) {
      if (attempt > 0) {
        KS_ERROR("redo record of %u bytes does not fit a log of %u blocks.", len, cfg_.log_blocks);
        return -1;
      }
      if (switch_log(scn, rec.time()) != 0) return -1;
      src = rec.data();
      len = rec.size();
      continue;
    }
    uint8_t *b = block(blk);
    if ((load16(b + KS_REDO_BH_FIRST_RECORD, cfg_.big) & KS_REDO_BH_FIRST_RECORD_MASK) == 0)
      store16(b + KS_REDO_BH_FIRST_RECORD, uint16_t(off | KS_REDO_BH_FIRST_RECORD_FLAG), cfg_.big);
    std::memcpy(b + off, src, first);
    if (opens) {
      uint8_t *h = b + off;
      store16(h + KS_REDO_LWN_MARK, 1, cfg_.big);
      store_scn6(h + KS_REDO_LWN_SCN, scn, cfg_.big);
      lwn_blk_ = blk;
      lwn_on_disk_ = false;
      lwn_last_scn_ = scn;
    }
    if (scn > lwn_last_scn_) lwn_last_scn_ = scn;
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
    // The write's header block then goes out again with its length when the write ends.
    uint32_t full = uint32_t(pend_.size() / bs - 1);
    const bool lwn_out = lwn_blk_ >= pend_first_ && lwn_blk_ < pend_first_ + full;
    if (write_blocks(pend_.data(), full, pend_first_) != 0) return -1;
    if (lwn_out) {
      const uint8_t *lb = pend_.data() + size_t(lwn_blk_ - pend_first_) * bs;
      lwn_copy_.assign(lb, lb + bs);
      lwn_on_disk_ = true;
    }
    pend_.erase(pend_.begin(), pend_.begin() + long(size_t(full) * bs));
    pend_first_ += full;
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
  if (close_lwn(pend_first_ + n) != 0) return -1;
  if (n > 0) {
    if (write_blocks(pend_.data(), n, pend_first_) != 0) return -1;
    if (cfg_.sync && st_->sync(fd_) != 0) {
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
    st_->close(fd_);
    fd_ = -1;
  }
  return rc;
}

}  // namespace ks::sim
