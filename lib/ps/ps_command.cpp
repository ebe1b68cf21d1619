// The command protocol over the system queue: building and decoding command messages
// (big-endian integers, NUL-padded names), queueing a message with its wake-up signal,
// replies, and the executor that extract and apply run when the command signal arrives.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "lib/bytes.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"

namespace {
void put_name(uint8_t *dst, const char *s) {
  std::memset(dst, 0, 32);
  if (s != nullptr) std::memcpy(dst, s, strnlen(s, 31));
}
}  // namespace

int ks_ps_make_command(uint8_t *buf, int code, pid_t sender, const char *unit, const char *com, const char *param) {
  ks::store_be32(buf, uint32_t(code));
  ks::store_be32(buf + 4, uint32_t(sender));
  if (code == KS_CMD_STOP_MANAGER) return 8;
  put_name(buf + 8, unit);
  put_name(buf + 40, com);
  if (code != KS_CMD_START_EXTRACT && code != KS_CMD_START_APPLY) return KS_CMD_HDR;
  size_t len = param != nullptr ? std::strlen(param) : 0;
  if (KS_CMD_HDR + len + 1 > KS_CMD_BUFSZ) {
    KS_ERROR("command parameter text too long (%zu bytes).", len);
    return -1;
  }
  if (len > 0) std::memcpy(buf + KS_CMD_HDR, param, len);
  buf[KS_CMD_HDR + len] = '\0';
  return int(KS_CMD_HDR + len + 1);
}

int ks_ps_parse_command(const uint8_t *msg, int len, ks_ps_cmd_t *cmd) {
  std::memset(cmd, 0, sizeof *cmd);
  if (len < 8) return -1;
  cmd->code = int(ks::load_be32(msg));
  cmd->pid = pid_t(ks::load_be32(msg + 4));
  if (cmd->code == KS_CMD_STOP_MANAGER) return 0;
  if (len < KS_CMD_HDR) return -1;
  std::memcpy(cmd->unit, msg + 8, 31);
  std::memcpy(cmd->com, msg + 40, 31);
  int plen = len - KS_CMD_HDR;
  if (plen > int(sizeof cmd->param) - 1) plen = int(sizeof cmd->param) - 1;
  if (plen > 0) std::memcpy(cmd->param, msg + KS_CMD_HDR, size_t(plen));
  cmd->param[plen] = '\0';  // text without its terminator is cut, never overrun
  return 0;
}

int ks_ps_send(pid_t pid, const void *msg, int len) {
  if (pid <= 0) {  // kill() would reach a whole process group, or every process
    KS_ERROR("invalid process id %d.", int(pid));
    return -1;
  }
  if (ks_shm_enq(int(pid), len, msg) != 0) return -1;
  if (kill(pid, KS_CMD_SIGNAL) != 0) {
    KS_ERROR("send command signal error.");
    return -1;
  }
  return 0;
}

int ks_ps_reply(pid_t pid, int code) {
  if (pid <= 0) {
    KS_ERROR("invalid process id %d.", int(pid));
    return -1;
  }
  uint8_t r[4];
  ks::store_be32(r, uint32_t(code));
  if (ks_shm_enq(int(pid), 4, r) != 0) return -1;
  if (kill(pid, KS_CMD_SIGNAL) != 0) {
    KS_ERROR("send command signal error.");
    return -2;
  }
  return 0;
}

int ks_ps_execute_command(volatile sig_atomic_t *loop, const char *empty_msg) {
  uint8_t buf[KS_CMD_BUFSZ];
  int rcode = 0;
  int len = ks_shm_deq(int(getpid()), sizeof buf, buf, &rcode);
  if (len < 0) {
    if (rcode == -1)
      KS_ERROR("%s", empty_msg);
    else
      KS_ERROR("read command queue error.");
    return -1;
  }
  if (len < 8) {
    KS_ERROR("invalid command message of %d bytes.", len);
    return -1;
  }
  int code = int(ks::load_be32(buf));
  pid_t sender = pid_t(ks::load_be32(buf + 4));
  if (code == KS_CMD_STOP_PROCESS)
    *loop = 0;
  else
    KS_ERROR("invalid command %d.", code);
  int rc = ks_ps_reply(sender, KS_REPLY_OK);
  if (rc == -1) {
    KS_ERROR("send command queue reply message error.");
    return -1;
  }
  return 0;
}
