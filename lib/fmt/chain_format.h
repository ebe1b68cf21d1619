// The chain buffer of a capture process and its chained-row information file
// <home>data/<unit>/<com>[_<thread>].chr, which is the buffer's image: the redo records
// of the pieces of chained and migrated rows wait here, grouped by the row id of the
// head piece, until the last piece arrives. Host byte order. The layout lives apart from
// the capture code because rowcat prints the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/bytes.h"

#define KS_CHAIN_BUF_SZ 0x400000  // the region, and the image in the information file
#define KS_CHAIN_ROWS 32          // chained-row entries in the header
#define KS_CHAIN_HEAD_SZ 1168     // header: counters, block bitmap, chained-row entries
#define KS_CHAIN_TABLE_END 32768  // the piece table fills the header's first 32 KiB
#define KS_CHAIN_PIECE_SZ 40
#define KS_CHAIN_MAX_CRP ((KS_CHAIN_TABLE_END - KS_CHAIN_HEAD_SZ) / KS_CHAIN_PIECE_SZ)
#define KS_CHAIN_BLK_SZ 8192  // memory blocks from KS_CHAIN_TABLE_END on
#define KS_CHAIN_BMP_SZ 128
#define KS_CHAIN_SPILL 0x100000  // a row whose records exceed this goes to its spill files
// After the image the information file holds a ks_chain_ext_t (the checkpoint generation
// the image belongs to), the nrow rows in progress beyond the header's 32 entries, and a
// ks_chain_meta_t for each of the 32 + nrow entries.
#define KS_CHAIN_EXT_MAGIC 0x32524843u  // "CHR2"
// Then, when the capture process has state to keep with the image, a u32 KS_CHAIN_TAIL_MAGIC,
// a u32 length and that many bytes.
#define KS_CHAIN_TAIL_MAGIC 0x4C494154u  // "TAIL"
static_assert(KS_CHAIN_MAX_CRP == 790);

// Chain piece flag bits.
constexpr uint8_t KS_CP_LMN = 0x01, KS_CP_CFA = 0x02, KS_CP_ROLLBACK = 0x04, KS_CP_IOT = 0x10, KS_CP_IOT_HEAP = 0x20,
                  KS_CP_IOT_INSERT = 0x40, KS_CP_IOT_DELETE = 0x80;
// A piece of a row a direct-path load chained across blocks: the saved bytes are the row
// piece as its block holds it, not a redo record.
constexpr uint8_t KS_CP_DP = 0x08;

// One saved record of a chained row: where the piece, its undo and its redo are, and
// where the record is kept (first memory block, or byte offset in the spill data file).
// Also the entry of the piece table and of the spill index file. Free when cr_rdba and
// cr_slot are both 0.
typedef struct __ks_chain_piece_s {
  uint32_t cr_rdba;
  uint32_t pc_rdba;
  uint32_t un_rdba;
  uint32_t rn_rdba;
  uint16_t cr_slot;
  uint16_t pc_slot;
  uint16_t un_slot;
  uint16_t rn_slot;
  uint16_t undo_scid;
  uint16_t redo_scid;
  uint32_t ofs;
  uint16_t blks;
  uint16_t nsc;
  uint8_t rfb;
  uint8_t ufb;
  uint8_t flag;
  uint8_t rsv;
} ks_chain_piece_t;
static_assert(sizeof(ks_chain_piece_t) == KS_CHAIN_PIECE_SZ, "a chain piece is 40 bytes in the index file");
static_assert(offsetof(ks_chain_piece_t, pc_rdba) == 4);
static_assert(offsetof(ks_chain_piece_t, un_rdba) == 8);
static_assert(offsetof(ks_chain_piece_t, rn_rdba) == 12);
static_assert(offsetof(ks_chain_piece_t, cr_slot) == 16);
static_assert(offsetof(ks_chain_piece_t, pc_slot) == 18);
static_assert(offsetof(ks_chain_piece_t, un_slot) == 20);
static_assert(offsetof(ks_chain_piece_t, rn_slot) == 22);
static_assert(offsetof(ks_chain_piece_t, undo_scid) == 24);
static_assert(offsetof(ks_chain_piece_t, redo_scid) == 26);
static_assert(offsetof(ks_chain_piece_t, ofs) == 28);
static_assert(offsetof(ks_chain_piece_t, blks) == 32);
static_assert(offsetof(ks_chain_piece_t, nsc) == 34);
static_assert(offsetof(ks_chain_piece_t, rfb) == 36);
static_assert(offsetof(ks_chain_piece_t, ufb) == 37);
static_assert(offsetof(ks_chain_piece_t, flag) == 38);
static_assert(offsetof(ks_chain_piece_t, rsv) == 39);

// A chained row in progress. Free when dlen is 0. ifd and fd are the open spill files
// (-1 when none; always -1 in the file); iofs is not 0 once the row has been spilled.
typedef struct __ks_chain_row_s {
  uint32_t cr_rdba;
  int32_t ifd;
  int32_t fd;
  uint32_t dlen;
  uint32_t nrec;
  uint32_t iofs;
  uint32_t ofs;
  uint16_t cr_slot;
  uint8_t op;    // byte 0 of the supplemental header of the first saved record
  uint8_t flag;  // KS_CP_LMN | KS_CP_ROLLBACK | KS_CP_IOT_INSERT, or KS_CP_IOT_DELETE
} ks_chain_row_t;
static_assert(sizeof(ks_chain_row_t) == 32);
static_assert(offsetof(ks_chain_row_t, ifd) == 4);
static_assert(offsetof(ks_chain_row_t, fd) == 8);
static_assert(offsetof(ks_chain_row_t, dlen) == 12);
static_assert(offsetof(ks_chain_row_t, nrec) == 16);
static_assert(offsetof(ks_chain_row_t, iofs) == 20);
static_assert(offsetof(ks_chain_row_t, ofs) == 24);
static_assert(offsetof(ks_chain_row_t, cr_slot) == 28);
static_assert(offsetof(ks_chain_row_t, op) == 30);
static_assert(offsetof(ks_chain_row_t, flag) == 31);

// The header at offset 0. nrow counts every row in progress, the extra ones too. The
// block bitmap is most significant bit first: block i is bit 7 - i % 8 of byte i / 8.
typedef struct __ks_chain_s {
  uint32_t ncrp;
  uint32_t max_crp;
  uint32_t nrow;
  uint32_t max_blks;
  uint8_t bmp[KS_CHAIN_BMP_SZ];
  ks_chain_row_t ch[KS_CHAIN_ROWS];
} ks_chain_t;
static_assert(sizeof(ks_chain_t) == KS_CHAIN_HEAD_SZ);
static_assert(offsetof(ks_chain_t, max_crp) == 4);
static_assert(offsetof(ks_chain_t, nrow) == 8);
static_assert(offsetof(ks_chain_t, max_blks) == 12);
static_assert(offsetof(ks_chain_t, bmp) == 16);
static_assert(offsetof(ks_chain_t, ch) == 144);

typedef struct __ks_chain_ext_s {
  uint32_t magic;
  uint32_t nrow;      // extra rows
  uint32_t gen;       // checkpoint generation of the image; 0 when written outside one
  uint32_t next_sid;  // the number the next spilled row's files take
} ks_chain_ext_t;
static_assert(sizeof(ks_chain_ext_t) == 16);
static_assert(offsetof(ks_chain_ext_t, nrow) == 4);
static_assert(offsetof(ks_chain_ext_t, gen) == 8);
static_assert(offsetof(ks_chain_ext_t, next_sid) == 12);

// What is known of a row in progress besides its entry: the transaction and the position
// of its first piece (a row whose other pieces never come is reported with them), and the
// number in its spill files' names, so that files a restart may still need are never
// reused by a later row with the same head.
typedef struct __ks_chain_meta_s {
  uint64_t xid;
  uint32_t rba_sqn;
  uint32_t rba_blk;
  uint16_t rba_byt;
  uint16_t rsv;
  uint32_t sid;
} ks_chain_meta_t;
static_assert(sizeof(ks_chain_meta_t) == 24);
static_assert(offsetof(ks_chain_meta_t, rba_sqn) == 8);
static_assert(offsetof(ks_chain_meta_t, rba_blk) == 12);
static_assert(offsetof(ks_chain_meta_t, rba_byt) == 16);
static_assert(offsetof(ks_chain_meta_t, sid) == 20);

// Field access on a buffer holding the image (the region need not be aligned).
#define KS_CHAIN_NCRP offsetof(ks_chain_t, ncrp)
#define KS_CHAIN_MAXCRP offsetof(ks_chain_t, max_crp)
#define KS_CHAIN_NROW offsetof(ks_chain_t, nrow)
#define KS_CHAIN_MAXBLKS offsetof(ks_chain_t, max_blks)
inline uint32_t ks_chain_get(const uint8_t *buf, size_t field) { return ks::load<uint32_t>(buf + field); }
inline void ks_chain_set(uint8_t *buf, size_t field, uint32_t v) { ks::store<uint32_t>(buf + field, v); }
inline ks_chain_row_t ks_chain_load_row(const uint8_t *buf, int i) {
  return ks::load<ks_chain_row_t>(buf + offsetof(ks_chain_t, ch) + i * sizeof(ks_chain_row_t));
}
inline void ks_chain_store_row(uint8_t *buf, int i, const ks_chain_row_t &r) {
  ks::store(buf + offsetof(ks_chain_t, ch) + i * sizeof(ks_chain_row_t), r);
}
inline ks_chain_piece_t ks_chain_load_piece(const uint8_t *buf, int i) {
  return ks::load<ks_chain_piece_t>(buf + KS_CHAIN_HEAD_SZ + i * KS_CHAIN_PIECE_SZ);
}
inline void ks_chain_store_piece(uint8_t *buf, int i, const ks_chain_piece_t &p) {
  ks::store(buf + KS_CHAIN_HEAD_SZ + i * KS_CHAIN_PIECE_SZ, p);
}
inline uint8_t *ks_chain_block(uint8_t *buf, int blk) { return buf + KS_CHAIN_TABLE_END + blk * KS_CHAIN_BLK_SZ; }
