// Logs of the simulated source in plain files; see the header.
#include "sim/source/log_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/log/log.h"
#include "lib/util.h"

namespace ks::sim {

int ks_file_log_store::create_logs(const std::vector<std::string> &names, uint64_t bytes) {
  for (const auto &p : names) {
    int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
      KS_ERROR("open \"%s\": %s", p.c_str(), strerror(errno));
      return -1;
    }
    // Online logs are allocated in full when created, as a database does.
    int rc = posix_fallocate(fd, 0, off_t(bytes)) == 0 ? 0 : ftruncate(fd, off_t(bytes));
    ::close(fd);
    if (rc != 0) {
      KS_ERROR("ftruncate \"%s\": %s", p.c_str(), strerror(errno));
      return -1;
    }
  }
  return 0;
}

int ks_file_log_store::open(const std::string &name) {
  int fd = ::open(name.c_str(), O_RDWR);
  if (fd < 0) KS_ERROR("open \"%s\": %s", name.c_str(), strerror(errno));
  return fd;
}

ssize_t ks_file_log_store::read(int h, void *buf, size_t n, off_t off) { return ks_read_data(h, buf, n, off); }

ssize_t ks_file_log_store::write(int h, const void *buf, size_t n, off_t off) { return ks_write_data(h, buf, n, off); }

int ks_file_log_store::sync(int h) { return fdatasync(h); }

void ks_file_log_store::close(int h) {
  if (h >= 0) ::close(h);
}

int ks_file_log_store::archive_begin(uint32_t thread, uint32_t seq, uint64_t, uint32_t) {
  char name[1024];
  snprintf(name, sizeof name, "%s/arch_%u_%u.arc", arch_dir_.c_str(), thread, seq);
  arch_name_ = name;
  std::string tmp = arch_name_ + ".tmp";
  arch_fd_ = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (arch_fd_ < 0) KS_ERROR("open \"%s\": %s", tmp.c_str(), strerror(errno));
  return arch_fd_;
}

int ks_file_log_store::archive_publish(int h, std::string *name) {
  ::close(h);
  arch_fd_ = -1;
  if (rename((arch_name_ + ".tmp").c_str(), arch_name_.c_str()) != 0) {
    KS_ERROR("rename \"%s.tmp\": %s", arch_name_.c_str(), strerror(errno));
    unlink((arch_name_ + ".tmp").c_str());
    return -1;
  }
  *name = arch_name_;
  return 0;
}

void ks_file_log_store::archive_abort(int h) {
  if (h >= 0) ::close(h);
  arch_fd_ = -1;
  unlink((arch_name_ + ".tmp").c_str());
}

}  // namespace ks::sim
