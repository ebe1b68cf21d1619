// Explicit little/big-endian loads and stores for bytes on disk, on the wire and in redo.
// Every multi-byte field read from a buffer goes through these: never through a cast of
// a possibly unaligned pointer. memcpy compiles to a single move on x86-64.
#pragma once

#include <cstdint>
#include <cstring>

namespace ks {

inline uint16_t bswap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t bswap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t bswap64(uint64_t v) { return __builtin_bswap64(v); }

inline uint16_t load_le16(const void *p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline uint32_t load_le32(const void *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t load_le64(const void *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint16_t load_be16(const void *p) { return bswap16(load_le16(p)); }
inline uint32_t load_be32(const void *p) { return bswap32(load_le32(p)); }
inline uint64_t load_be64(const void *p) { return bswap64(load_le64(p)); }

inline void store_le16(void *p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void store_le32(void *p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void store_le64(void *p, uint64_t v) { std::memcpy(p, &v, 8); }
inline void store_be16(void *p, uint16_t v) { store_le16(p, bswap16(v)); }
inline void store_be32(void *p, uint32_t v) { store_le32(p, bswap32(v)); }
inline void store_be64(void *p, uint64_t v) { store_le64(p, bswap64(v)); }

// Host-order access to packed structures in our own files (host = little-endian x86-64).
template <typename T>
inline T load(const void *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
inline void store(void *p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Loads in a byte order chosen at run time (redo is read in the source's order).
inline uint16_t load16(const void *p, bool big) { return big ? load_be16(p) : load_le16(p); }
inline uint32_t load32(const void *p, bool big) { return big ? load_be32(p) : load_le32(p); }
inline uint64_t load64(const void *p, bool big) { return big ? load_be64(p) : load_le64(p); }
inline void store16(void *p, uint16_t v, bool big) { big ? store_be16(p, v) : store_le16(p, v); }
inline void store32(void *p, uint32_t v, bool big) { big ? store_be32(p, v) : store_le32(p, v); }
inline void store64(void *p, uint64_t v, bool big) { big ? store_be64(p, v) : store_le64(p, v); }

}  // namespace ks
