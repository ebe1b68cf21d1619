// Test helpers for everything that lives in the system segment: a private installation
// (home, small config.db, its own IPC key) whose IPC objects are removed when the test
// ends, whether it passed or not.
#pragma once

#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"
#include "tests/testutil.h"

namespace kstest {

// Sets the shared size (and optionally the maxima) in the home's config.db, creating it.
inline bool set_config_header(uint64_t shm_sz, uint32_t max_comps = 0, uint32_t max_dbs = 0) {
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  if (ks_cfg_open_file(&cfg, omsg) != 0) return false;
  ks_cfg_fh_t *fh = ks_cfg_file_header(&cfg);
  fh->shm_sz = shm_sz;
  if (max_comps != 0) fh->max_comps = max_comps;
  if (max_dbs != 0) fh->max_dbs = max_dbs;
  cfg.flag |= KS_CFG_MODIFIED;
  return ks_cfg_close_file(&cfg, omsg) == 0;
}

// Owns every IPC object made under the installation's key: on destruction detaches
// this process and removes the segments it knows of, the segment and semaphore set at
// the key, and any extra id registered by the test.
class IpcGuard {
 public:
  IpcGuard() {
    uint64_t sz;
    if (ks_cfg_get_key(&key_, &sz) != 0) key_ = -1;
  }
  ~IpcGuard() { cleanup(); }
  IpcGuard(const IpcGuard &) = delete;
  IpcGuard &operator=(const IpcGuard &) = delete;
  key_t key() const { return key_; }
  void add_shmid(int id) { extra_.push_back(id); }
  void cleanup() {
    for (int i = 0; i < shm_inf.nsegs; ++i) ids_.push_back(shm_inf.segs[i].shmid);
    if (shm_inf.status == 1 && shm_inf.segs[0].head != nullptr) {
      // Segments named by the header (made by another process that this one attached).
      const auto *si = reinterpret_cast<const ks_sysinfo_t *>(shm_inf.segs[0].head);
      for (uint32_t i = 0; i < si->nsegs && i < KS_SHM_MAX_SEGS; ++i) ids_.push_back(si->seg[i].shmid);
    }
    ks_shm_detach();
    if (key_ != -1) {
      int id = shmget(key_, 0, 0);
      if (id >= 0) ids_.push_back(id);
      int sem = semget(key_, 0, 0);
      if (sem >= 0) semctl(sem, 0, IPC_RMID);
    }
    for (int id : ids_)
      if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    for (int id : extra_) shmctl(id, IPC_RMID, nullptr);
    ids_.clear();
    extra_.clear();
  }
  // True when nothing is left at the key.
  bool gone() const { return shmget(key_, 0, 0) < 0 && errno == ENOENT && semget(key_, 0, 0) < 0 && errno == ENOENT; }

 private:
  key_t key_ = -1;
  std::vector<int> ids_;
  std::vector<int> extra_;
};

inline bool log_has(const char *text) { return std::strstr(ks_log_get_message(), text) != nullptr; }

}  // namespace kstest
