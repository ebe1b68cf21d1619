// Decoding speed: walks and decodes a redo log held in memory (page-cache conditions)
// with a dictionary, counting the LCRs built, against a plain read of the same file.
// Usage: bench_redo_decode <log file> <dictionary file> [passes]. Prints redo MB/s, row
// changes per second and the ratio to the read. LCRs go to a counting tap, so the figure
// is the decoder's own cost without the transaction table and trail writes.
// bench_redo_decode --export <connect string> <unit> <component> writes the dictionary
// file that component would export (<home>dict/<unit>/<component>.dict, its include set
// read from the home's configuration), so a benchmark run can decode a fresh simulated
// source without starting the capture process.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/log/log.h"

namespace {
uint64_t lcrs = 0;
int tap(ks_extr_t *, ks_lcr_rh_t *, uint64_t, uint64_t, uint32_t) {
  lcrs++;
  return 0;
}
double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

int export_dictionary(const char *connect, char *unit, char *com) {
  static ks_oci_ses_t se;
  if (ks_oci_connect(&se, "KS", "KS", connect, 1) != 0) {
    fprintf(stderr, "connect %s: %s\n", connect, ks_oci_get_message());
    return 1;
  }
  int rc = ks_export_dict(&se, unit, com);
  if (rc != 0) fprintf(stderr, "export failed: %s\n", ks_log_get_message());
  ks_oci_disconnect(&se);
  return rc == 0 ? 0 : 1;
}
}  // namespace

int main(int argc, char **argv) {
  if (argc == 5 && strcmp(argv[1], "--export") == 0) return export_dictionary(argv[2], argv[3], argv[4]);
  if (argc < 3) {
    fprintf(stderr,
            "usage: %s <log file> <dictionary file> [passes]\n"
            "       %s --export <connect string> <unit> <component>\n",
            argv[0], argv[0]);
    return 1;
  }
  int passes = argc > 3 ? atoi(argv[3]) : 5;
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  std::vector<uint8_t> data;
  uint8_t tmp[1 << 16];
  double t0 = now();
  for (int p = 0; p < passes; p++) {
    lseek(fd, 0, SEEK_SET);
    data.clear();
    ssize_t n;
    while ((n = read(fd, tmp, sizeof tmp)) > 0) data.insert(data.end(), tmp, tmp + n);
  }
  double tread = (now() - t0) / passes;
  close(fd);
  uint8_t *block = nullptr;
  if (ks_dict_load_block(argv[2], malloc, free, &block) != 0) return 1;
  static ks_dict_t dict;
  ks_dict_attach(block, &dict);
  static ks_logf_t log;
  uint32_t magic = ks::load_le32(data.data() + 28);
  bool big = magic == 0x7D7C7B7Au || magic == 0x6D6C6B6Au;
  if (big) log.flag |= KS_LOGF_BIG_ENDIAN;
  log.blk_sz = static_cast<int>(ks::load32(data.data() + 20, big));
  std::vector<uint8_t> mem(KS_BUF_TOTAL);
  static ks_buffer_t buf;
  ks_cut_buffer(&buf, mem.data());
  buf.rd_buf = data.data();
  static ks_extr_t ex;
  ex.b = &buf;
  ex.l = &log;
  ex.m = &x_miner;
  ex.d = &dict;
  ks_log_inf.log_level = KS_LOG_INFO;  // detail lines off, as in production
  x_lcr_tap = tap;
  uint64_t used = 0;
  t0 = now();
  for (int p = 0; p < passes; p++) {
    ks_rba_t rba{ks::load32(data.data() + log.blk_sz + 8, big), 0, 0};
    log.blks = 0;
    ks_do_read_buffer(&ex, &rba, static_cast<int>(data.size() / log.blk_sz));
    used = static_cast<uint64_t>(rba.blk) * log.blk_sz;
  }
  double tdec = (now() - t0) / passes;
  double mb = used / 1048576.0;
  printf("redo bytes walked %.1f MB, LCRs per pass %llu\n", mb, static_cast<unsigned long long>(lcrs / passes));
  printf("decode: %.0f MB/s, %.0f row changes/s; read: %.0f MB/s; decode/read ratio %.2f\n", mb / tdec,
         (lcrs / passes) / tdec, data.size() / 1048576.0 / tread, (mb / tdec) / (data.size() / 1048576.0 / tread));
  return 0;
}
