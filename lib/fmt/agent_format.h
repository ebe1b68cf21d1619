// The reader agent's wire protocol (kesfeed on the database host, extract as its client):
// one TCP connection, strictly one request in flight. Every integer on the wire is
// big-endian, whatever the two hosts' orders.
//
// Request: [body length L (4)][command (4)][arguments (L - 4)]
//   open  101: path, NUL-terminated               L = 4 + path length + 1
//   close 102: descriptor (4)                     L = 8
//   read  103: descriptor (4), size (4), offset (8)  L = 20
// Reply: [header (4)][body]; the body length is the header's low 31 bits, the top bit
// marks an error reply whose body is the agent host's errno (4) and its text, NUL-ended.
//   open ok: descriptor (4); close ok: empty; read ok: the bytes read (fewer than asked
//   only at end of file, never more than KS_AGENT_MAX_READ).
// An unknown command gets no reply at all: the client's wait ends in its timeout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/bytes.h"

#define KS_AGENT_OPEN 101
#define KS_AGENT_CLOSE 102
#define KS_AGENT_READ 103
#define KS_AGENT_ERROR 0x80000000u
#define KS_AGENT_LEN_MASK 0x7FFFFFFFu
#define KS_AGENT_PORT 9001
#define KS_AGENT_MAX_READ 0x200000  // the agent's buffer: the cap of one read and of one request
#define KS_AGENT_READ_REQ 24        // bytes of a whole read request
#define KS_AGENT_CLOSE_REQ 12

namespace ks::agent {

// Request builders: each writes the whole frame into out and returns its size (header
// included), or 0 when it does not fit in cap bytes.
inline size_t put_open(uint8_t *out, size_t cap, const char *path) {
  const size_t n = std::strlen(path);
  if (cap < 8 + n + 1) return 0;
  store_be32(out, static_cast<uint32_t>(4 + n + 1));
  store_be32(out + 4, KS_AGENT_OPEN);
  std::memcpy(out + 8, path, n + 1);
  return 8 + n + 1;
}

inline size_t put_close(uint8_t *out, size_t cap, int32_t fd) {
  if (cap < KS_AGENT_CLOSE_REQ) return 0;
  store_be32(out, 8);
  store_be32(out + 4, KS_AGENT_CLOSE);
  store_be32(out + 8, static_cast<uint32_t>(fd));
  return KS_AGENT_CLOSE_REQ;
}

inline size_t put_read(uint8_t *out, size_t cap, int32_t fd, uint32_t size, uint64_t offset) {
  if (cap < KS_AGENT_READ_REQ) return 0;
  store_be32(out, 20);
  store_be32(out + 4, KS_AGENT_READ);
  store_be32(out + 8, static_cast<uint32_t>(fd));
  store_be32(out + 12, size);
  store_be64(out + 16, offset);
  return KS_AGENT_READ_REQ;
}

}  // namespace ks::agent
