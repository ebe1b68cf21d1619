// trailcat: prints one trail file — its header, then every transaction with its records,
// column names, types and decoded values. It reads the file while extract may still be
// writing it: a transaction not yet complete is read again until it is, or until the file
// stops growing (then the file is cut, and reported so). Given the file of a transaction
// by reference instead (the path a trail names), it prints that transaction's records.
// Any damage makes it exit with failure.
// Invariants: every byte of the file is treated as untrusted; no length read from the
// file is used before it has been checked against the bytes that hold it, and a damaged
// transaction or record is reported with the file name and its offset, never followed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// A transaction's own file (a transaction by reference: the trail holds its header and
// this file's path): the header the writer stamped at its commit, then its records up to
// the end of the file, complete before the trail names it. Records larger than the
// buffer (up to KS_LCR_MAX_SZ) grow it.
int perform_transaction_file(int fd, std::unique_ptr<uint8_t[]> &buf, size_t &cap) {
  const ks_lcr_th_t th = ks_lcr_load<ks_lcr_th_t>(buf.get());
  struct stat st;
  if (fstat(fd, &st) != 0) {
    fprintf(stderr, "read %s: %s\n", file_name, strerror(errno));
    return -1;
  }
  const auto fsize = static_cast<uint64_t>(st.st_size);
  printf(
      "=================================================================\n"
      "Data Length: %lu,  # of rows: %u\n",
      static_cast<unsigned long>(fsize), th.nlcr);
  ks_trail_print_commit(th.cscn, th.csct, th.xid);
  printf("\n");
  uint64_t ofs = KS_LCR_TH_SZ;
  uint32_t nrec = 0;
  while (ofs < fsize) {
    ssize_t n = read_at(fd, buf.get(), cap, static_cast<off_t>(ofs));
    if (n < 0) {
      fprintf(stderr, "read %s: %s\n", file_name, strerror(errno));
      return -1;
    }
    size_t pos = 0;
    size_t need = 0;
    while (static_cast<size_t>(n) - pos >= KS_LCR_RHS_SZ) {
      const uint32_t rlen = ks_lcr_u32(buf.get(), pos);
      const long at = static_cast<long>(ofs + pos);
      if (rlen < KS_LCR_RHS_SZ || rlen > KS_LCR_MAX_SZ) {
        fprintf(stderr, "corrupt record in %s at offset %ld: length %u outside %u to %u.\n", file_name, at, rlen,
                KS_LCR_RHS_SZ, KS_LCR_MAX_SZ);
        return -1;
      }
      if (rlen > static_cast<size_t>(n) - pos) {
        need = rlen;
        break;
      }
      int rc = ks_trail_print_record(buf.get() + pos, rlen, at, file_name, short_data);
      if (rc < 0) return -1;
      nrec++;
      if (rc > 0) return 0;  // an unknown operation: the rest cannot be read
      pos += rlen;
    }
    if (pos == 0) {
      // Only a record larger than the whole buffer is worth reading again.
      if (need <= cap || ofs + need > fsize) {
        fprintf(stderr, "incomplete record in %s at offset %lu: %zd of %zu bytes present.\n", file_name,
                static_cast<unsigned long>(ofs), n, std::max<size_t>(need, KS_LCR_RHS_SZ));
        return -1;
      }
      std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[need]);
      if (!bigger) {
        fprintf(stderr, "Allocate memory (size %zu) error: %s\n", need, strerror(ENOMEM));
        return -1;
      }
      buf = std::move(bigger);
      cap = need;
      continue;
    }
    ofs += pos;
  }
  if (nrec != th.nlcr) {
    fprintf(stderr, "corrupt transaction file %s: %u records, its header counts %u.\n", file_name, nrec, th.nlcr);
    return -1;
  }
  fprintf(stderr, "input file work completed.\n");
  return 0;
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
    if (ofs == 0 && n >= static_cast<ssize_t>(KS_LCR_TH_SZ) &&
        (ks_lcr_u32(buf.get(), 4) & (KS_TH_TRANS | KS_TH_BYREF | KS_TH_EOF)) == (KS_TH_TRANS | KS_TH_BYREF)) {
      // Where a trail file has its tail, which never reaches 1 GiB, a transaction file
      // has its stamped flags.
      rc = perform_transaction_file(fd, buf, cap);
      break;
    }
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
      else if ((th.flag & KS_TH_HEARTBEAT) && !(th.flag & KS_TH_TRANS))
        ks_trail_print_heartbeat(th.cscn, th.csct);
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
