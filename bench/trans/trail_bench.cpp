// Appending and committing small transactions (one 200-byte row record each) to the trail:
// transactions per second and trail megabytes per second, on a private home directory.
// Usage: bench_trail [transactions]   (default 1000000)
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "extract/trans/trans.h"
#include "lib/cfg/cfg.h"
#include "lib/shm/shm.h"
#include "lib/log/log.h"

namespace {
// A private installation: unit U with extract component C (default parameters) and a
// system segment of its own, removed at the end.
bool make_installation() {
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  if (ks_cfg_open_file(&cfg, omsg) != 0) return false;
  ks_cfg_file_header(&cfg)->shm_sz = 32 * 1024 * 1024;
  ks_cfg_funit_t u{};
  std::strcpy(u.un_name, "U");
  ks_cfg_fcom_t c{};
  std::strcpy(c.name, "C");
  c.com_typ = 1;
  ks_cfg_fparm_t p{};
  if (ks_cfg_add_unit(&cfg, &u, omsg) != 0 || ks_cfg_add_com(&cfg, "U", &c, omsg) != 0 ||
      ks_cfg_add_param(&cfg, "U", "C", &p, omsg) != 0)
    return false;
  cfg.flag |= KS_CFG_MODIFIED;
  if (ks_cfg_close_file(&cfg, omsg) != 0) return false;
  if (ks_shm_create() != 0 || ks_cfg_load() != 0) return false;
  ks_shm_mark_sys_used();
  return true;
}
}  // namespace

int main(int argc, char **argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
  char tmpl[] = "/tmp/ksbench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string home = std::string(tmpl) + "/";
  setenv("KESTRO_HOME", home.c_str(), 1);
  ks_reset_home_dir();
  mkdir((home + "data").c_str(), 0755);
  mkdir((home + "data/U").c_str(), 0755);
  std::strcpy(unit_name, "U");
  std::strcpy(com_name, "C");
  mkdir((home + "config").c_str(), 0755);
  if (!make_installation()) {
    fprintf(stderr, "cannot set up the installation: %s\n", ks_log_get_message());
    ks_shm_remove();
    return 1;
  }

  ks_trans_t t = {};
  t.fd = -1;
  ks_extr_t ex = {};
  ex.t = &t;
  if (ks_trans_open(&t) < 0) {
    ks_shm_remove();
    return 1;
  }

  alignas(8) uint8_t row[200] = {};
  ks_lcr_rh_t h = {};
  h.rlen = sizeof row;
  h.opc = KS_OPC_INSERT;
  h.opos = KS_LCR_RH_SZ;
  std::strcpy(h.ownr, "SCOTT");
  std::strcpy(h.onam, "EMP");
  std::memcpy(row, &h, sizeof h);
  alignas(8) uint8_t commit[16] = {};
  ks_lcr_rhs_t c = {16, KS_RH_SHORT, KS_OPC_COMMIT, 0};
  std::memcpy(commit, &c, sizeof c);

  auto t0 = std::chrono::steady_clock::now();
  uint64_t bytes = 0;
  for (long i = 0; i < count; i++) {
    const uint64_t xid = (static_cast<uint64_t>(i % 64) << 48) | (static_cast<uint64_t>(i % 1000) << 32) |
                         static_cast<uint64_t>(i);
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
  ks_shm_remove();
  std::error_code ec;
  std::filesystem::remove_all(tmpl, ec);
  return 0;
}
