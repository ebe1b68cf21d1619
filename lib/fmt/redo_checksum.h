// Block checksum of redo logs. The 16-bit word at offset 14 of every block (block 0
// included) is chosen so that the XOR of all 16-bit words of the block is 0; a database
// running without block checksums leaves it 0. XOR of 16-bit words does not depend on the
// byte order they are read in (the bytes at even offsets are XORed together, and those at
// odd offsets), so one routine serves logs of both byte orders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ks::redo {

constexpr int KS_REDO_BH_CHECKSUM = 14;  // u16 in every block

// XOR of the block's 16-bit words, as the two bytes of a little-endian load (0 for a
// block whose checksum holds). bsz is a multiple of 8 (block sizes are 512 and up).
// Hosts are little-endian, which the byte stores of set_block_checksum rely on.
// Two independent accumulators let the compiler use 16-byte vector XORs: the reader
// checks every block it reads, and one chain runs at a third of that speed.
inline uint16_t block_xor(const uint8_t *blk, size_t bsz) {
  uint64_t x0 = 0, x1 = 0;
  size_t i = 0;
  for (; i + 16 <= bsz; i += 16) {
    uint64_t a, b;
    std::memcpy(&a, blk + i, sizeof a);
    std::memcpy(&b, blk + i + 8, sizeof b);
    x0 ^= a;
    x1 ^= b;
  }
  if (i < bsz) {
    uint64_t a;
    std::memcpy(&a, blk + i, sizeof a);
    x0 ^= a;
  }
  uint64_t x = x0 ^ x1;
  x ^= x >> 32;
  x ^= x >> 16;
  return static_cast<uint16_t>(x & 0xFFFF);
}

// Sets the checksum word so that the block's XOR is 0.
inline void set_block_checksum(uint8_t *blk, size_t bsz) {
  blk[KS_REDO_BH_CHECKSUM] = 0;
  blk[KS_REDO_BH_CHECKSUM + 1] = 0;
  const uint16_t x = block_xor(blk, bsz);
  blk[KS_REDO_BH_CHECKSUM] = static_cast<uint8_t>(x & 0xFF);
  blk[KS_REDO_BH_CHECKSUM + 1] = static_cast<uint8_t>(x >> 8);
}

// Whether a block passes its checksum: a checksum word of 0 means the database does not
// write checksums, and the block is taken as it is.
inline bool block_checksum_ok(const uint8_t *blk, size_t bsz) {
  if (blk[KS_REDO_BH_CHECKSUM] == 0 && blk[KS_REDO_BH_CHECKSUM + 1] == 0) return true;
  return block_xor(blk, bsz) == 0;
}

}  // namespace ks::redo
