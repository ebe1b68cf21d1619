// Capture speed and memory of the transaction table with many transactions open at once:
// for each count N, N transactions are opened, then records of 200 bytes go to them in
// turn, each transaction committing after 4 records and opening again under its next XID,
// so that N stay open throughout. Figures: records per second, and the table's memory
// (slot headers and index, pool buffers at their peak) beside the process's peak RSS.
// Usage: bench_open_trans [records] [N...]   (default 2000000 records; 10 1000 10000)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/trans/bench_env.h"

namespace {

struct Result {
  double secs = 0;
  size_t table_bytes = 0;
  size_t pool_peak = 0;
  int spilled = 0;
};

bool run(long records, int open_n, Result *r) {
  ks_trans_t t = {};
  t.fd = -1;
  ks_extr_t ex = {};
  ex.t = &t;
  if (ks_trans_open(&t) < 0) return false;
  alignas(8) uint8_t row[200];
  alignas(8) uint8_t commit[16];
  ksbench::make_records(row, commit);
  std::vector<uint32_t> sqn(open_n, 1);
  std::vector<uint8_t> nrec(open_n, 0);
  uint64_t scn = 1000;
  auto xid = [&](int j) {
    return (static_cast<uint64_t>(1 + j % 500) << 48) | (static_cast<uint64_t>(j / 500) << 32) | sqn[j];
  };
  const auto t0 = std::chrono::steady_clock::now();
  for (long k = 0; k < records; k++) {
    const int j = static_cast<int>(k % open_n);
    if (ks_append_lcr(&ex, reinterpret_cast<ks_lcr_rh_t *>(row), xid(j), scn++, 1) < 0) return false;
    if (++nrec[j] == 4) {
      if (ks_append_lcr(&ex, reinterpret_cast<ks_lcr_rh_t *>(commit), xid(j), scn++, 2) < 0) return false;
      nrec[j] = 0;
      sqn[j]++;
    }
    r->pool_peak = std::max(r->pool_peak, t.mem_used);
  }
  r->secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  for (int i = 0; i < t.nalloc; i++) r->spilled += (t.slot[i].flag & KS_SLOT_SPILLED) != 0;
  r->table_bytes = static_cast<size_t>(t.nalloc) * (sizeof(ks_trans_slot_t) + sizeof(int32_t)) +
                   (static_cast<size_t>(t.hmask) + 1) * sizeof(int32_t);
  // The open transactions are dropped rather than saved: only the figures matter.
  for (int i = 0; i < t.nalloc; i++) t.slot[i].xid = 0;
  t.nslot = 0;
  ks_trans_close(&t);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  const long records = argc > 1 ? std::atol(argv[1]) : 2000000;
  std::vector<int> counts;
  for (int i = 2; i < argc; i++) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {10, 1000, 10000};
  char tmpl[] = "/tmp/ksbench.XXXXXX";
  if (!ksbench::make_installation(tmpl)) return 1;
  Result warm;  // the first table of the process pays for page faults: not measured
  if (!run(records / 10 + 1, counts.front(), &warm)) {
    fprintf(stderr, "capture failed: %s\n", ks_log_get_message());
    ksbench::remove_installation(tmpl);
    return 1;
  }
  printf(
      "| open transactions | records | seconds | records/s | slot headers and index KiB | "
      "pool peak KiB | spilled at the end | peak RSS MiB |\n");
  printf("|---|---|---|---|---|---|---|---|\n");
  for (int n : counts) {
    Result r;
    if (!run(records, n, &r)) {
      fprintf(stderr, "capture failed with %d open: %s\n", n, ks_log_get_message());
      ksbench::remove_installation(tmpl);
      return 1;
    }
    struct rusage ru = {};
    getrusage(RUSAGE_SELF, &ru);
    printf("| %d | %ld | %.3f | %.0f | %zu | %zu | %d | %.1f |\n", n, records, r.secs, records / r.secs,
           r.table_bytes / 1024, r.pool_peak / 1024, r.spilled, ru.ru_maxrss / 1024.0);
    fflush(stdout);
  }
  ksbench::remove_installation(tmpl);
  return 0;
}
