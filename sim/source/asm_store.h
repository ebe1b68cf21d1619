// Disk groups of the simulated source: a group is N disk images (sparse files standing in
// for devices), each opening with a disk header in AU 0; the file directory is file 1 of
// the group, its own entry in block 1 of its first AU; a file is a list of extents of one
// AU each, every extent as many copies as the group's redundancy asks, on distinct disks,
// the first pointers held in the file's directory entry and the rest in indirect AUs; data
// are coarse (an extent after the other) or fine striped (128 KiB stripes over 8 extents).
// All metadata are in one byte order chosen when the group is made.
// A file's space and indirect blocks are written when it is created, its directory entry
// when it is published: a reader never finds a file whose data are not there yet.
// Nothing but the images holds the group's state: a group reopened rebuilds its files and
// free space from its metadata (a file created and never published takes no space then).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/source/log_store.h"

namespace ks::sim {

struct ks_asm_cfg_t {
  std::string name;  // group name, upper case
  int number = 1;    // group number
  int disks = 3;
  int copies = 1;  // 1 external, 2 normal, 3 high redundancy
  uint32_t au = 1u << 20;
  bool big = false;  // metadata big-endian
  std::string dir;   // directory of the images: <dir>/<name lower>_<n>.img
};

struct ks_asm_ptr_t {
  uint32_t aun = 0;
  uint16_t dsk = 0;
};

struct ks_asm_file_t {
  uint32_t number = 0;
  uint32_t incarn = 0;
  uint32_t blksz = 0;
  uint8_t type = 0;  // KS_ASM_FTYPE_*
  uint8_t xrs = 1;
  uint8_t width = 1;    // stripe width: 1 coarse, 8 fine
  uint32_t strpsz = 0;  // stripe size
  uint64_t bytes = 0;
  std::vector<ks_asm_ptr_t> ptrs;  // data extents, xrs pointers each, the primary first
  std::vector<ks_asm_ptr_t> ind;   // indirect AUs, xrs pointers each
  bool published = false;
};

class ks_asm_group {
 public:
  ks_asm_group() = default;
  ~ks_asm_group();
  ks_asm_group(const ks_asm_group &) = delete;
  ks_asm_group &operator=(const ks_asm_group &) = delete;

  // Make the images (fails when one exists), their headers and the file directory.
  int create(const ks_asm_cfg_t &cfg);
  // Open the images of a group made before.
  int open(const ks_asm_cfg_t &cfg);
  // A file of bytes bytes, its space taken in full (zeros) and its indirect blocks written;
  // not in the directory until published.
  int create_file(uint64_t bytes, bool fine, uint8_t type, uint32_t blksz, uint32_t incarn, uint32_t *number);
  // Write the file's directory entry (after its data).
  int publish(uint32_t number);
  // Clear the file's directory entry, then give its space back.
  int remove(uint32_t number);
  ssize_t read(uint32_t number, void *buf, size_t n, off_t off);
  // Writes every copy.
  ssize_t write(uint32_t number, const void *buf, size_t n, off_t off);
  // fdatasync of every image written since the last sync (none when syncs are off).
  int sync();
  // Durability can change between runs of a database, as the redo writer's.
  void set_sync(bool on) { sync_ = on; }

  const ks_asm_cfg_t &cfg() const { return cfg_; }
  std::string disk_path(int d) const;
  uint64_t disk_aus() const { return disk_aus_; }
  uint64_t free_aus() const;
  uint64_t free_aus(int d) const;
  const ks_asm_file_t *file(uint32_t number) const;
  const std::map<uint32_t, ks_asm_file_t> &files() const { return files_; }

 private:
  int open_disks(bool create);
  int alloc_extents(ks_asm_file_t *f, size_t extents, bool zero);
  int alloc_au(uint16_t dsk, uint32_t *aun);
  void free_ptrs(const std::vector<ks_asm_ptr_t> &p);
  int write_indirect(ks_asm_file_t *f);
  int write_entry(const ks_asm_file_t &f);
  int write_disk_headers();
  // Room in the directory for the entry of file number (grows it by extents).
  int dir_room(uint32_t number);
  void seal(uint8_t *b, uint8_t type, uint32_t blk, uint32_t obj);
  int check(const uint8_t *b, uint8_t type, int dsk, uint64_t off) const;
  int load_map(const uint8_t *entry, int dsk, uint64_t off, ks_asm_file_t *f);
  int disk_io(bool wr, uint16_t dsk, void *buf, size_t n, uint64_t off);
  ssize_t file_io(bool wr, uint32_t number, void *buf, size_t n, off_t off);

  ks_asm_cfg_t cfg_;
  std::vector<int> fds_;
  std::vector<std::vector<uint8_t>> used_;  // per disk, per AU
  std::set<int> dirty_;
  std::map<uint32_t, ks_asm_file_t> files_;
  uint64_t disk_aus_ = 0;
  uint64_t fcn_ = 0;
  uint32_t next_disk_ = 0;
  bool sync_ = true;
};

// Logs and archives in disk groups. Online log members are alias names
// "+<GROUP>/<DB>/ONLINELOG/group_<n>.log"; archived copies system names
// "+<GROUP>/<DB>/ARCHIVELOG/thread_<t>_seq_<s>.<file>.<incarnation>".
class ks_asm_log_store : public ks_log_store {
 public:
  // logs: the group of the online logs; arch: of the archives (may be the same).
  ks_asm_log_store(ks_asm_group *logs, ks_asm_group *arch, std::string db, bool fine, uint32_t blksz)
      : logs_(logs), arch_(arch), db_(std::move(db)), fine_(fine), blksz_(blksz) {}
  int create_logs(const std::vector<std::string> &names, uint64_t bytes) override;
  int open(const std::string &name) override;
  ssize_t read(int h, void *buf, size_t n, off_t off) override;
  ssize_t write(int h, const void *buf, size_t n, off_t off) override;
  int sync(int h) override;
  void close(int) override {}
  int archive_begin(uint32_t thread, uint32_t seq, uint64_t bytes, uint32_t incarnation) override;
  int archive_publish(int h, std::string *name) override;
  void archive_abort(int h) override;

  // The name of an online log member of group g.
  std::string online_name(int g) const;
  // An alias name's file (known from the catalogue when the database is reopened).
  void set_alias(const std::string &name, uint32_t file) { alias_[name] = file; }
  // Group and file of a name: -1 when it is none of ours.
  int resolve(const std::string &name, ks_asm_group **grp, uint32_t *file, uint32_t *incarn) const;

 private:
  ks_asm_group *group_of(int h) const { return h >> 24 ? arch_ : logs_; }
  static uint32_t file_of(int h) { return uint32_t(h) & 0xFFFFFF; }

  ks_asm_group *logs_, *arch_;
  std::string db_;
  bool fine_;
  uint32_t blksz_;
  std::map<std::string, uint32_t> alias_;  // full alias name -> file
  std::string arch_name_;
};

}  // namespace ks::sim
