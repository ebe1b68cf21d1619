// Opening, positioned and appending file I/O. Each transfer loops until the whole transfer is done
// (or end of file for reads), retries EINTR, and logs any other error once (a write error
// at most once a minute: a full file system fails every retry the same way).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/log/log.h"
#include "lib/util.h"

int ks_open_file(const char *name, int flags) {
  int fd;
  do {
    fd = open(name, flags, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t ks_read_data(int fd, void *buf, size_t size, off_t offset) {
  if (fd < 0) return -1;
  size_t done = 0;
  auto *p = static_cast<char *>(buf);
  while (done < size) {
    ssize_t n = pread(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      ks_log_output_error("data_op", __LINE__, KS_LOG_ERROR, "read file: %s", strerror(errno));
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ks_write_data(int fd, const void *buf, size_t size, off_t offset) {
  if (fd < 0) return -1;
  size_t done = 0;
  const auto *p = static_cast<const char *>(buf);
  while (done < size) {
    ssize_t n = pwrite(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      KS_ERROR_EVERY_MINUTE("write file: %s", strerror(errno));
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ks_append_data(int fd, const void *buf, size_t size) {
  if (fd < 0) return -1;
  size_t done = 0;
  const auto *p = static_cast<const char *>(buf);
  while (done < size) {
    ssize_t n = write(fd, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      KS_ERROR_EVERY_MINUTE("write file: %s", strerror(errno));
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}
