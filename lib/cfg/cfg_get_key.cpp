// IPC key and total shared-memory size of the installation, from the header of
// "config.db". An installation without a readable file derives its key from the home
// directory, so the manager and every attaching process agree on it.
#include <errno.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "lib/bytes.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"
#include "lib/util.h"

int ks_cfg_get_key(key_t *key, uint64_t *shmsz) {
  const std::string home = ks_get_home_dir();
  const std::string path = home + "config/config.db";
  *key = -1;
  *shmsz = KS_SHM_DEF_SIZE;
  uint32_t ipckey = 0;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != EACCES) {
      KS_ERROR("Open %s: %s", path.c_str(), strerror(errno));
      return -1;
    }
  } else {
    uint8_t head[512];
    ssize_t n = ks_read_data(fd, head, sizeof head, 0);
    close(fd);
    if (n < 0) return -1;
    constexpr size_t fh = KS_CFG_BH_SZ;
    if (size_t(n) >= fh + sizeof(ks_cfg_fh_t)) {
      ipckey = ks::load_le32(head + fh + offsetof(ks_cfg_fh_t, ipckey));
      uint64_t sz = ks::load_le64(head + fh + offsetof(ks_cfg_fh_t, shm_sz));
      if (sz != 0) *shmsz = sz;
    }
  }
  if (ipckey != 0) {
    *key = key_t(ipckey);
    return 0;
  }
  if (home.empty()) {
    KS_ERROR("KESTRO_HOME not set.");
    return -1;
  }
  *key = ftok(home.c_str(), 1000);
  if (*key == -1) {
    KS_ERROR("ftok(%s): %s", home.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}
