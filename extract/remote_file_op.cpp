// Opening, reading and closing files on the database host through the reader agent.
#include <algorithm>
#include <cstring>

#include "extract/extract.h"
#include "lib/fmt/agent_format.h"
#include "lib/log/log.h"

namespace {

// Logs an error reply held in buf: "<what>\nmessage: <errno>-<text>".
void log_error_reply(const char *what, const uint8_t *buf, int len) {
  int err = len >= 4 ? static_cast<int>(ks::load_be32(buf)) : 0;
  char text[256] = "";
  if (len > 4) {
    size_t n = std::min<size_t>(static_cast<size_t>(len - 4), sizeof text - 1);
    std::memcpy(text, buf + 4, n);
    text[n] = 0;
  }
  KS_ERROR("%s\nmessage: %d-%s", what, err, text);
}

// The reply length for error replies is needed to print them; ks_perform_agent_command
// gives -1 there, so the length is taken from the NUL-terminated text.
int error_reply_len(const uint8_t *buf, int cap) {
  if (cap <= 4) return cap;
  const void *nul = std::memchr(buf + 4, 0, static_cast<size_t>(cap - 4));
  return nul ? static_cast<int>(static_cast<const uint8_t *>(nul) - buf) + 1 : cap;
}

}  // namespace

int ks_open_file_remote(ks_extr_t *ex, uint8_t *cmd_buf, int cmd_sz, const char *filename) {
  const size_t n = ks::agent::put_open(cmd_buf, static_cast<size_t>(cmd_sz), filename);
  int rcode = 0;
  if (n == 0 || ks_perform_agent_command(ex, static_cast<int>(n) - 4, cmd_buf, cmd_sz, &rcode) < 0) {
    KS_ERROR("open remote file error.\npath: \"%s\"", filename);
    return -1;
  }
  if (rcode < 0) {
    log_error_reply("open remote file error.", cmd_buf, error_reply_len(cmd_buf, cmd_sz));
    return -1;
  }
  if (rcode < 4) {
    KS_ERROR("open remote file error.\npath: \"%s\"", filename);
    return -1;
  }
  return static_cast<int>(ks::load_be32(cmd_buf));
}

int ks_close_file_remote(ks_extr_t *ex, int fd, uint8_t *cmd_buf, int cmd_sz) {
  const size_t n = ks::agent::put_close(cmd_buf, static_cast<size_t>(cmd_sz), fd);
  int rcode = 0;
  if (n == 0 || ks_perform_agent_command(ex, static_cast<int>(n) - 4, cmd_buf, cmd_sz, &rcode) < 0) {
    KS_ERROR("close remote file error.");
    return -1;
  }
  if (rcode < 0) {
    log_error_reply("close remote file error.", cmd_buf, error_reply_len(cmd_buf, cmd_sz));
    return -1;
  }
  return 0;
}

int ks_read_data_remote(ks_extr_t *ex, int fd, uint8_t *buf, int rsz, uint64_t offset) {
  if (rsz == 0) return 0;
  if (fd < 0) {
    KS_ERROR("file descriptor invalid, maybe file not opened.");
    return -1;
  }
  if (rsz < 0 || rsz > KS_AGENT_MAX_READ) {
    KS_ERROR("read remote data error.\n");
    return -1;
  }
  // The request is built in the data buffer itself, which may be smaller than a request.
  uint8_t req[KS_AGENT_READ_REQ];
  ks::agent::put_read(req, sizeof req, fd, static_cast<uint32_t>(rsz), offset);
  uint8_t *cbuf = buf;
  uint8_t small[256];
  if (rsz < static_cast<int>(sizeof small)) cbuf = small;  // room for an error reply too
  std::memcpy(cbuf, req, sizeof req);
  const int cap = cbuf == buf ? rsz : static_cast<int>(sizeof small);
  int rcode = 0;
  if (ks_perform_agent_command(ex, KS_AGENT_READ_REQ - 4, cbuf, cap, &rcode) < 0) {
    KS_ERROR("read remote data error.\n");
    return -1;
  }
  if (rcode < 0) {
    log_error_reply("read remote data error.", cbuf, error_reply_len(cbuf, cap));
    return -1;
  }
  if (rcode > rsz) {
    KS_ERROR("read remote data error.\n");
    return -1;
  }
  if (cbuf != buf) std::memcpy(buf, cbuf, static_cast<size_t>(rcode));
  return rcode;
}
