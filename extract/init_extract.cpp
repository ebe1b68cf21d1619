// Process set-up after the segment is attached: this process's entry in the process
// table, its component parameters, and its signal handlers.
#include <unistd.h>

#include "extract/extract.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"

int ks_init_extract() {
  auto *ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
  if (ps == nullptr) {
    KS_ERROR("process table not initialized.");
    return -1;
  }
  int n = ks_cfg_get_max_process();
  pid_t me = getpid();
  x_pst = nullptr;
  for (int i = 0; i < n; i++) {
    if (ps[i].pid == me) {
      x_pst = &ps[i];
      break;
    }
  }
  if (x_pst == nullptr) {
    KS_ERROR("not found my slot in process table.");
    return -1;
  }
  ks_cfg_param_t *pa = nullptr;
  if (ks_cfg_get_parameter(unit_name, com_name, &pa) < 0 || pa == nullptr) {
    KS_ERROR("get parameter error.");
    return -1;
  }
  x_sync_seq = (pa->flag & 0x2) ? 1 : 0;
  x_read_wait = pa->idle_wait != 0 ? static_cast<int>(pa->idle_wait) : 5;
  x_net_tmout = pa->net_timeout != 0 ? static_cast<int>(pa->net_timeout) : 10;
  if (pa->flag & KS_CFG_PARM_NO_CHECKSUM) {
    x_log.flag |= KS_LOGF_NO_CHECKSUM;
    KS_INFO("redo block checksums are not verified (block_checksum=no).");
  }
  return ks_set_signal_handlers();
}
