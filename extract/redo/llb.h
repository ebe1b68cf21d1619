// Out-of-line LOB changes: a LOB operation arrives as a stream of LOB locator vectors
// (first: which row and its key columns; second: where in the LOB and how much; third:
// the new length), its data in between (LOB block images or local LOB vectors), and
// last the heap row change that stores the new locator, which the LOB records already
// stand for. One descriptor follows each operation: the current one, whose first-LLB
// vector is kept in the LLB area of the work buffers, and up to 32 parked ones, whose
// vectors wait in chain-buffer blocks. Descriptors, the kept vector and the first data
// block awaiting its length are saved with every chain-buffer image, so that a restart
// from a checkpoint taken in the middle of an operation goes on with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extract/extract.h"

// Descriptor flag bits.
constexpr uint32_t KS_LLB_USED = 0x1;            // first LLB seen
constexpr uint32_t KS_LLB_SECOND = 0x2;          // second LLB seen
constexpr uint32_t KS_LLB_THIRD = 0x4;           // third LLB seen
constexpr uint32_t KS_LLB_INSERT = 0x8;          // the row INSERT was written
constexpr uint32_t KS_LLB_UPDATE = 0x10;         // the row UPDATE was written
constexpr uint32_t KS_LLB_KEPT = 0x20;           // first data block kept in x_lob_data for its length
constexpr uint32_t KS_LLB_FIRST_DONE = 0x100;    // first data block handled
constexpr uint32_t KS_LLB_LOCAL_SEL = 0x200;     // LOB SELECT written for local LOB data
constexpr uint32_t KS_LLB_CLOB = 0x10000;        // the LOB column is a CLOB
constexpr uint32_t KS_LLB_SECUREFILE = 0x20000;  // the LOB column is a SecureFile LOB

// Operation codes of the first LLB.
constexpr uint32_t KS_LLB_OP_UPDATE = 1, KS_LLB_OP_INSERT = 2, KS_LLB_OP_102 = 102, KS_LLB_OP_TRIM = 103,
                   KS_LLB_OP_ERASE = 104;

constexpr int KS_LLB_PARKED = 32;

typedef struct __ks_llb_s {
  uint32_t flag;
  uint32_t op;
  uint8_t lob_id[12];  // 10 bytes used
  uint32_t lob_scid;
  uint32_t objn;
  uint32_t vlen;  // saved first-LLB vector
  uint32_t blks;  // chain-buffer blocks of the vector while parked
  uint32_t sblk;
  uint32_t chunk_ofs;
  uint32_t once_amt;  // bytes per LOB data block
  uint32_t amnt;      // still to write
  uint32_t data_ofs;  // where the write starts in the first block
  uint64_t offset;    // LOB offset of the next write
  uint64_t lob_len;
  uint64_t xid;
} ks_llb_t;
static_assert(sizeof(ks_llb_t) == 80, "an LLB descriptor is 80 bytes in the saved state");
static_assert(offsetof(ks_llb_t, op) == 4);
static_assert(offsetof(ks_llb_t, lob_id) == 8);
static_assert(offsetof(ks_llb_t, lob_scid) == 20);
static_assert(offsetof(ks_llb_t, objn) == 24);
static_assert(offsetof(ks_llb_t, vlen) == 28);
static_assert(offsetof(ks_llb_t, blks) == 32);
static_assert(offsetof(ks_llb_t, sblk) == 36);
static_assert(offsetof(ks_llb_t, chunk_ofs) == 40);
static_assert(offsetof(ks_llb_t, once_amt) == 44);
static_assert(offsetof(ks_llb_t, amnt) == 48);
static_assert(offsetof(ks_llb_t, data_ofs) == 52);
static_assert(offsetof(ks_llb_t, offset) == 56);
static_assert(offsetof(ks_llb_t, lob_len) == 64);
static_assert(offsetof(ks_llb_t, xid) == 72);

extern ks_llb_t x_llb;
extern ks_llb_t x_llba[KS_LLB_PARKED];

// Saved state: a 16-byte header (magic, descriptors in use, length of the current
// vector), the 33 descriptors, x_lob_data and the current vector.
constexpr uint32_t KS_LLB_STATE_MAGIC = 0x31424C4Cu;  // "LLB1"
constexpr uint32_t KS_LLB_STATE_MAX = 16 + 80 * (1 + KS_LLB_PARKED) + 4096 + KS_BUF_LLB_SZ;

// Handlers of the LOB redo (results as the other record handlers: 0, -1, -9).
int ks_parse_llb(ks_extr_t *ex, uint8_t *vbuf);
// A LOB data block image: field 1 of a 19.1 of block type 0x28 (blen bytes).
int ks_parse_basic_lob(ks_extr_t *ex, uint8_t *blk, uint32_t blen);
int ks_parse_local_lob_fill(ks_extr_t *ex, uint8_t *vbuf);
int ks_parse_local_lob_load(ks_extr_t *ex, uint8_t *vbuf);
// Row and LOB SELECT LCRs from a descriptor and its saved first-LLB vector: 0, -1, or -9
// when the table is no longer captured.
int ks_make_lob_select(ks_extr_t *ex, ks_llb_t *llb, uint8_t *vec);
int ks_make_lob_insert(ks_extr_t *ex, ks_llb_t *llb, uint8_t *vec);
int ks_make_lob_update(ks_extr_t *ex, ks_llb_t *llb, uint8_t *vec);

// The descriptor of an operation: the current one when it matches, else the first parked
// one in use that does; null when none.
ks_llb_t *ks_llb_find(uint32_t objn, uint64_t xid);
ks_llb_t *ks_llb_find_id(const uint8_t *lob_id);
// The saved first-LLB vector of a descriptor.
uint8_t *ks_llb_vector(ks_extr_t *ex, ks_llb_t *llb);
// Frees a descriptor (and the blocks of a parked one).
void ks_llb_release(ks_extr_t *ex, ks_llb_t *llb);
// At the end of transaction xid: its operations can never complete.
void ks_llb_transaction_end(ks_extr_t *ex, uint64_t xid);
// Every descriptor free, x_lob_data cleared.
void ks_llb_reset();
// The state into out (cap bytes): its length, 0 when no operation is in flight, -1 when
// it does not fit.
int ks_llb_save_state(ks_extr_t *ex, uint8_t *out, uint32_t cap);
// The state saved by ks_llb_save_state (len 0: none). 0, or -1 when damaged (then reset).
int ks_llb_load_state(ks_extr_t *ex, const uint8_t *in, uint32_t len);

// Shared by the LOB handlers. The captured table of objn made the miner's table: 0, or
// -9 when it is not captured.
int ks_llb_table(ks_extr_t *ex, uint32_t objn);
// Whether the descriptor's data is a CLOB held as two bytes per character.
bool ks_llb_two_byte(const ks_extr_t *ex, const ks_llb_t *llb);
// Whether its amounts and offsets are bytes from 0 (a two-byte SecureFile CLOB), which the
// LCRs give as characters from 1.
bool ks_llb_byte_units(const ks_extr_t *ex, const ks_llb_t *llb);
// Appends a LOB WRITE (data of dlen bytes), TRIM or ERASE LCR for the miner's table, with
// header flags extra. 0 / -1.
// The row INSERT or UPDATE (each once per operation) and the LOB SELECT that come before
// the first data of a write: 0, -1, -9.
int ks_lob_first_data(ks_extr_t *ex, ks_llb_t *llb);
int ks_lob_lcr(ks_extr_t *ex, uint32_t opc, uint32_t extra, uint32_t amount, uint64_t offset, const uint8_t *data,
               uint32_t dlen);
