// Where the simulated source keeps its online logs and archived copies: plain files (the
// default) or files of a disk group. The redo writer reaches its logs only through this
// interface; a handle is what open() or archive_begin() returned (a file descriptor for
// plain files).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ks::sim {

class ks_log_store {
 public:
  virtual ~ks_log_store() = default;
  // Create the online logs, zero-filled and of their full size. Fails if one exists.
  virtual int create_logs(const std::vector<std::string> &names, uint64_t bytes) = 0;
  // Open an existing log for reading and writing: a handle >= 0, or -1.
  virtual int open(const std::string &name) = 0;
  virtual ssize_t read(int h, void *buf, size_t n, off_t off) = 0;
  virtual ssize_t write(int h, const void *buf, size_t n, off_t off) = 0;
  // Make what was written through h durable (fdatasync of everything it wrote to).
  virtual int sync(int h) = 0;
  virtual void close(int h) = 0;
  // An archived copy of bytes bytes of log sequence seq of thread: its space is taken
  // here, it is written through the handle, and only archive_publish() gives it the name
  // a reader finds it by (a reader never sees a name whose data are not complete).
  // incarnation: a number that tells copies of the same log apart where names carry one.
  virtual int archive_begin(uint32_t thread, uint32_t seq, uint64_t bytes, uint32_t incarnation) = 0;
  virtual int archive_publish(int h, std::string *name) = 0;
  // Drops an archived copy not published (its space is given back).
  virtual void archive_abort(int h) = 0;
};

// Logs in plain files; archives in arch_dir as arch_<thread>_<seq>.arc.
class ks_file_log_store : public ks_log_store {
 public:
  explicit ks_file_log_store(std::string arch_dir) : arch_dir_(std::move(arch_dir)) {}
  int create_logs(const std::vector<std::string> &names, uint64_t bytes) override;
  int open(const std::string &name) override;
  ssize_t read(int h, void *buf, size_t n, off_t off) override;
  ssize_t write(int h, const void *buf, size_t n, off_t off) override;
  int sync(int h) override;
  void close(int h) override;
  int archive_begin(uint32_t thread, uint32_t seq, uint64_t bytes, uint32_t incarnation) override;
  int archive_publish(int h, std::string *name) override;
  void archive_abort(int h) override;

 private:
  std::string arch_dir_;
  int arch_fd_ = -1;
  std::string arch_name_;
};

}  // namespace ks::sim
