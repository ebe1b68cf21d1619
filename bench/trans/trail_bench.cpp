// Appending and committing small transactions (one 200-byte row record each) to the trail:
// transactions per second and trail megabytes per second, on a private home directory.
// Usage: bench_trail [transactions]   (default 1000000)
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench/trans/bench_env.h"

int main(int argc, char **argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
  char tmpl[] = "/tmp/ksbench.XXXXXX";
  if (!ksbench::make_installation(tmpl)) return 1;

  ks_trans_t t = {};
  t.fd = -1;
  ks_extr_t ex = {};
  ex.t = &t;
  if (ks_trans_open(&t) < 0) {
    ks_shm_remove();
    return 1;
  }

  alignas(8) uint8_t row[200];
  alignas(8) uint8_t commit[16];
  ksbench::make_records(row, commit);

  auto t0 = std::chrono::steady_clock::now();
  uint64_t bytes = 0;
  for (long i = 0; i < count; i++) {
    const uint64_t xid =
        (static_cast<uint64_t>(i % 64) << 48) | (static_cast<uint64_t>(i % 1000) << 32) | static_cast<uint64_t>(i);
    const uint64_t scn = 1000 + static_cast<uint64_t>(i);
    if (ks_append_lcr(&ex, reinterpret_cast<ks_lcr_rh_t *>(row), xid, scn, 1) < 0 ||
        ks_append_lcr(&ex, reinterpret_cast<ks_lcr_rh_t *>(commit), xid, scn, 2) < 0) {
      fprintf(stderr, "append failed at %ld\n", i);
      ks_shm_remove();
      return 1;
    }
    bytes += 32 + sizeof row + 16;
  }
  ks_trans_close(&t);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("| transactions | seconds | transactions/s | trail MB/s | trail files |\n");
  printf("|---|---|---|---|---|\n");
  printf("| %ld | %.3f | %.0f | %.1f | %d |\n", count, secs, count / secs, bytes / secs / 1e6, t.fseq + 1);
  ksbench::remove_installation(tmpl);
  return 0;
}
