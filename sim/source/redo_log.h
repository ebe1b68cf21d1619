// The online redo logs of the simulated source and their archived copies: log groups of
// a fixed size written in sequence, records laid into redo blocks (spanning as many
// blocks as they need, never starting where 23 bytes or fewer remain), block headers
// with the sequence and the first-record offset, the file header blocks 0 and 1 (next
// available block 0xFFFFFFFF while current), log switches, archiving and, without archive
// mode, reuse of a group that overwrites the older sequence.
// Every block carries its type bytes and a checksum computed each time it is written. Every
// write to a log (an LWN) opens with a 68-byte record header that holds the write's length
// in blocks and its SCNs; a record that would open a write with a 24-byte header (the first
// record of a log begun by a switch because the previous one was full, for one) gets the
// long header here.
// Invariants: a block that has been written to disk is written again for the same sequence
// only to complete the header of the write it opens (when that write went out in parts)
// and the file header; its record bytes never change, and each write ends by padding to
// the end of its last block, so a reader never sees records change under it except by a
// later sequence overwriting the whole log.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/source/log_store.h"
#include "sim/source/redo_encode.h"

namespace ks::sim {

enum ks_log_status { kLogUnused = 0, kLogCurrent = 1, kLogActive = 2, kLogInactive = 3 };

struct ks_log_group_t {
  int group = 0;
  uint32_t thread = 0;  // as the catalogue shows it (the writer writes its configured thread)
  std::string path;
  uint32_t seq = 0;  // 0: never used
  int status = kLogUnused;
  uint64_t first_scn = 0;
  uint64_t next_scn = 0;
  uint32_t first_time = 0;  // redo time stamps of the first and next SCN
  uint32_t next_time = 0;
  bool archived = false;
};

struct ks_redo_cfg_t {
  uint32_t blk_sz = 512;
  bool big = false;
  uint32_t vsn = redo::KS_REDO_VSN19;
  uint32_t thread = 1;
  uint32_t log_blocks = 2048;  // file size in blocks, header block excluded
  bool archive = true;
  bool sync = true;          // fdatasync every write
  uint32_t flush_bytes = 0;  // commits are written when this much redo is pending (0: every commit)
  std::string arch_dir;      // archived copies go here (plain files)
  // Where the logs and archives live; null: plain files (paths, and arch_dir). Not owned.
  ks_log_store *store = nullptr;
  // Only the fields this system's reader decodes, zeros elsewhere (no checksums, no write
  // headers): the form of the small logs typed by hand for the reader's tests.
  bool bare = false;
  // Identity of the database in the file header.
  uint32_t dbid = 0;
  std::string db_name;
  uint32_t activation = 0;
  uint32_t resetlogs_id = 0;
  uint64_t resetlogs_scn = 0;
};

// What the catalogue learns from the writer. A switch reports the finished log (kDone)
// and then the new one (kStart); a listener returning non-zero fails the switch.
struct ks_log_event_t {
  enum Kind { kStart, kDone } kind;
  const ks_log_group_t *grp;
  uint32_t blocks;        // kDone: blocks holding redo, header block excluded
  std::string arch_path;  // kDone in archive mode
};

class ks_redo_writer {
 public:
  ks_redo_writer() = default;
  ~ks_redo_writer();
  ks_redo_writer(const ks_redo_writer &) = delete;
  ks_redo_writer &operator=(const ks_redo_writer &) = delete;

  // Create the group files (zero-filled, full size) in cfg.store. Fails if one exists.
  static int create_groups(const ks_redo_cfg_t &cfg, const std::vector<std::string> &paths);

  // Open for writing. groups: the groups and their state; current: index of the current
  // group, or -1 to start the first log with sequence first_seq at SCN first_scn.
  // next_blk: next free block of the current log (resume after a clean close); first_time:
  // the time of first_scn.
  int open(const ks_redo_cfg_t &cfg, std::vector<ks_log_group_t> groups, int current, uint32_t next_blk,
           uint32_t first_seq, uint64_t first_scn, uint32_t first_time = 0);
  // Open a thread that is closed: its groups are known, it has no current log until
  // start_next().
  int attach(const ks_redo_cfg_t &cfg, std::vector<ks_log_group_t> groups);
  // Open the thread again: the sequence after its last one, in the group after that log's.
  int start_next(uint64_t scn, uint32_t ts);
  // Close the thread: the current log is written, completed (next SCN scn) and archived,
  // and the thread is left without a current log.
  int shut(uint64_t next_scn, uint32_t next_ts);
  void set_listener(std::function<int(const ks_log_event_t &)> fn) { listener_ = std::move(fn); }

  // Lay a finished record into the log; switches to the next log when it does not fit.
  // scn: the record's SCN (the first SCN of a new log; the record's time is its time).
  int append(const ks_redo_record &rec, uint64_t scn);
  // A commit was appended: write if enough is pending (or always with flush_bytes 0).
  int commit_point();
  // Write every pending block, padding the last one.
  int flush();
  // End the current block here: the next record starts in the next block.
  void pad_block();
  // Switch to the next group now (after writing what is pending). scn, ts: first SCN of the
  // new log and its time.
  int switch_log(uint64_t scn, uint32_t ts);
  // Write pending redo and close the file; the log stays current.
  int close();

  const std::vector<ks_log_group_t> &groups() const { return groups_; }
  int current() const { return cur_; }
  uint32_t sequence() const { return cur_ < 0 ? 0 : groups_[size_t(cur_)].seq; }
  uint32_t next_block() const;  // next free block of the current log once flushed
  bool idle() const { return pend_.empty(); }
  uint64_t bytes_written() const { return bytes_; }
  uint64_t switches() const { return switches_; }
  const ks_redo_cfg_t &cfg() const { return cfg_; }
  // Durability and group commit can change between runs of a database.
  void set_sync(bool sync, uint32_t flush_bytes) {
    cfg_.sync = sync;
    cfg_.flush_bytes = flush_bytes;
  }

 private:
  int start_log(int g, uint32_t seq, uint64_t scn, uint32_t ts);
  int finish_log(uint64_t next_scn, uint32_t next_ts);
  int write_header(uint32_t nab);
  // Checksums and writes n pending blocks from p, the first being block blk.
  int write_blocks(uint8_t *p, uint32_t n, uint32_t blk);
  // Completes the header of the write that opened at lwn_blk_ now that it ends at block
  // end (exclusive); rewrites its block when it is already on disk.
  int close_lwn(uint32_t end);
  int archive(const ks_log_group_t &g, uint32_t nab, std::string *path);
  uint8_t *block(uint32_t blk);  // pending block blk, header written when first touched
  void new_block();

  ks_redo_cfg_t cfg_;
  std::unique_ptr<ks_file_log_store> own_store_;  // when the configuration names none
  ks_log_store *st_ = nullptr;
  std::vector<ks_log_group_t> groups_;
  std::function<int(const ks_log_event_t &)> listener_;
  int cur_ = -1;
  int fd_ = -1;  // handle of the current log in st_
  // Pending blocks [pend_first_, cur_blk_] in pend_; cur_off_ is the write offset in cur_blk_.
  std::vector<uint8_t> pend_;
  uint32_t pend_first_ = 2;
  uint32_t cur_blk_ = 2;
  uint32_t cur_off_ = redo::KS_REDO_BH_SIZE;
  bool cur_has_start_ = false;
  // The open write: block of its 68-byte header (0: none), a copy of that block once it has
  // gone to disk, and the highest SCN appended to it.
  uint32_t lwn_blk_ = 0;
  bool lwn_on_disk_ = false;
  std::vector<uint8_t> lwn_copy_;
  uint64_t lwn_last_scn_ = 0;
  std::vector<uint8_t> long_rec_;  // a record given the long header it must have
  uint64_t bytes_ = 0;
  uint64_t switches_ = 0;
};

}  // namespace ks::sim
