// Shared by the transaction-table benchmarks: a private installation in a fresh
// temporary home (unit U, extract component C with default parameters, a system segment
// of its own), and its removal.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "extract/trans/trans.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"

namespace ksbench {

// Creates the home from tmpl (a mkdtemp template, rewritten) and the installation in it.
inline bool make_installation(char *tmpl) {
  if (mkdtemp(tmpl) == nullptr) return false;
  const std::string home = std::string(tmpl) + "/";
  setenv("KESTRO_HOME", home.c_str(), 1);
  ks_reset_home_dir();
  mkdir((home + "data").c_str(), 0755);
  mkdir((home + "data/U").c_str(), 0755);
  mkdir((home + "config").c_str(), 0755);
  std::strcpy(unit_name, "U");
  std::strcpy(com_name, "C");
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  bool ok = ks_cfg_open_file(&cfg, omsg) == 0;
  if (ok) {
    ks_cfg_file_header(&cfg)->shm_sz = 32 * 1024 * 1024;
    ks_cfg_funit_t u{};
    std::strcpy(u.un_name, "U");
    ks_cfg_fcom_t c{};
    std::strcpy(c.name, "C");
    c.com_typ = 1;
    ks_cfg_fparm_t p{};
    ok = ks_cfg_add_unit(&cfg, &u, omsg) == 0 && ks_cfg_add_com(&cfg, "U", &c, omsg) == 0 &&
         ks_cfg_add_param(&cfg, "U", "C", &p, omsg) == 0;
    cfg.flag |= KS_CFG_MODIFIED;
    ok = ks_cfg_close_file(&cfg, omsg) == 0 && ok;
  }
  ok = ok && ks_shm_create() == 0 && ks_cfg_load() == 0;
  if (!ok) {
    fprintf(stderr, "cannot set up the installation: %s\n", ks_log_get_message());
    ks_shm_remove();
    return false;
  }
  ks_shm_mark_sys_used();
  return true;
}

// A 200-byte insert record of SCOTT.EMP and a COMMIT record.
inline void make_records(uint8_t (&row)[200], uint8_t (&commit)[16]) {
  std::memset(row, 0, sizeof row);
  ks_lcr_rh_t h = {};
  h.rlen = sizeof row;
  h.opc = KS_OPC_INSERT;
  h.opos = KS_LCR_RH_SZ;
  std::strcpy(h.ownr, "SCOTT");
  std::strcpy(h.onam, "EMP");
  std::memcpy(row, &h, sizeof h);
  ks_lcr_rhs_t c = {16, KS_RH_SHORT, KS_OPC_COMMIT, 0};
  std::memcpy(commit, &c, sizeof c);
}

inline void remove_installation(const char *home) {
  ks_shm_remove();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}

}  // namespace ksbench
