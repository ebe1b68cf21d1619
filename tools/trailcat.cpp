// trailcat: prints one trail file — its header, then every transaction with its records,
// column names, types and decoded values. It reads the file while extract may still be
// writing it: a transaction not yet complete is read again until it is, or until the file
// stops growing (then the file is cut, and reported so). Any damage makes it exit with
// failure.
// Invariants: every byte of the file is treated as untrusted; no length read from the
// file is used before it has been checked against the bytes that hold it, and a damaged
// transaction or record is reported with the file name and its offset, never followed.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "lib/fmt/trail_format.h"
#include "lib/fmt/trail_print.h"

namespace {

constexpr size_t KS_READ_SZ = 2097152;
// How long a file that ends inside a transaction is watched for the rest to arrive.
constexpr int KS_IDLE_ROUNDS = 20;
constexpr long KS_IDLE_NSEC = 50000000;  // 50 ms per round

bool short_data = false;
const char *file_name = "";
bool damaged = false;  // a transaction or record could not be printed

void idle_wait() {
  struct timespec ts = {0, KS_IDLE_NSEC};
  nanosleep(&ts, nullptr);
}

ssize_t read_at(int fd, uint8_t *buf, size_t size, off_t ofs) {
  ssize_t n;
  do {
    n = pread(fd, buf, size, ofs);
  } while (n < 0 && errno == EINTR);
  return n;
}

int perform_file(std::unique_ptr<uint8_t[]> &buf, size_t &cap) {
  int fd = open(file_name, O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "open %s: %s\n", file_name, strerror(errno));
    return -1;
  }
  off_t ofs = 0;    // file offset of buf[0]
  size_t need = 0;  // bytes the walk waits for at ofs (0: anything new)
  ssize_t last_n = -1;
  int idle = 0;
  int rc = 0;
  for (;;) {
    ssize_t n = read_at(fd, buf.get(), cap, ofs);
    if (n < 0) {
      fprintf(stderr, "read %s: %s\n", file_name, strerror(errno));
      rc = -1;
      break;
    }
    if (n == 0) {
      fprintf(stderr, "reach the end of file.\n");
      break;
    }
    size_t pos = 0;
    if (ofs == 0) {
      if (n < static_cast<ssize_t>(KS_TRAIL_FH_SZ)) {
        need = KS_TRAIL_FH_SZ;
      } else {
        ks_trail_fh_t fh = ks_lcr_load<ks_trail_fh_t>(buf.get());
        ks_trail_print_header(&fh);
        pos = KS_TRAIL_FH_SZ;
        need = 0;
      }
    }
    bool done = false;
    while (pos > 0 || ofs > 0) {
      if (static_cast<size_t>(n) - pos < KS_LCR_TH_SZ) {
        need = KS_LCR_TH_SZ;
        break;
      }
      ks_lcr_th_t th = ks_lcr_load<ks_lcr_th_t>(buf.get() + pos);
      const long at = static_cast<long>(ofs) + static_cast<long>(pos);
      if (th.flag & KS_TH_EOF) {
        fprintf(stderr, "input file work completed.\n");
        done = true;
        break;
      }
      if (!ks_trail_tlen_ok(th.tlen)) {
        if (th.tlen < KS_LCR_TH_SZ)
          fprintf(stderr, "corrupt transaction header in %s at offset %ld: length %u below 32.\n", file_name, at,
                  th.tlen);
        else
          fprintf(stderr, "corrupt transaction header in %s at offset %ld: length %u beyond %u.\n", file_name, at,
                  th.tlen, KS_TRANS_REF_SZ - 1);
        rc = -1;
        done = true;
        break;
      }
      if (th.tlen > static_cast<size_t>(n) - pos) {
        need = th.tlen;
        break;
      }
      if ((th.flag & KS_TH_TRANS) && ks_trail_print_transaction(buf.get() + pos, &th, at, file_name, short_data) < 0)
        damaged = true;
      pos += th.tlen;
      need = 0;
      idle = 0;
    }
    if (done) break;
    if (pos > 0) {
      ofs += static_cast<off_t>(pos);
      last_n = -1;
      continue;
    }
    // Nothing could be walked: the next transaction (or the header) is not complete.
    if (need > cap) {
      std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[need]);
      if (!bigger) {
        fprintf(stderr, "Allocate memory (size %zu) error: %s\n", need, strerror(ENOMEM));
        rc = -1;
        break;
      }
      buf = std::move(bigger);
      cap = need;
      continue;
    }
    if (n == last_n && ++idle >= KS_IDLE_ROUNDS) {
      // The file stopped growing inside a transaction (or its header): it is cut.
      fprintf(stderr, "incomplete transaction in %s at offset %ld: %zd of %zu bytes present.\n", file_name,
              static_cast<long>(ofs), n, need);
      fprintf(stderr, "reach the end of file.\n");
      rc = -1;
      break;
    }
    if (n != last_n) idle = 0;
    last_n = n;
    idle_wait();
  }
  close(fd);
  fflush(stdout);
  if (rc == 0 && damaged) rc = -1;
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  static std::string name;  // file_name points into it for the whole run
  if (ks_trail_tool_options(argc, argv, &short_data, &name) < 0) return -1;
  file_name = name.c_str();
  size_t cap = KS_READ_SZ;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[cap]);
  if (!buf) {
    fprintf(stderr, "Allocate memory (size %d) error: %s\n", static_cast<int>(cap), strerror(ENOMEM));
    return -1;
  }
  if (perform_file(buf, cap) < 0) {
    fprintf(stderr, "perform one file error.\n");
    return -1;
  }
  return 0;
}
