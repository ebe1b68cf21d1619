// The save file of a capture process's open transactions: written when the process stops
// or saves its progress, read back when it starts, so the transactions still open at the
// checkpoint's position resume whole. A slot record is the in-memory slot of the
// transaction table byte for byte, which is why the table's code and this layout share
// ks_trans_slot_t.
#pragma once

#include <cstddef>
#include <cstdint>

// Header of the save file, 16 bytes, followed by max_trans slot records and then the
// images of the occupied in-memory slots in slot order. Records with xid 0 are free slots
// (files of earlier versions hold one per slot of their fixed table); the writer stores
// the occupied slots only, and at least one record.
typedef struct __ks_trans_fhd_s {
  uint32_t flag;
  uint32_t ntrans;
  uint32_t max_trans;
  uint32_t rsv;
} ks_trans_fhd_t;

static_assert(sizeof(ks_trans_fhd_t) == 16);
static_assert(offsetof(ks_trans_fhd_t, flag) == 0);
static_assert(offsetof(ks_trans_fhd_t, ntrans) == 4);
static_assert(offsetof(ks_trans_fhd_t, max_trans) == 8);
static_assert(offsetof(ks_trans_fhd_t, rsv) == 12);

// One slot, 64 bytes; the same bytes are a slot record of the save file (buf is
// meaningless there and written as 0).
typedef struct __ks_trans_slot_s {
  uint32_t tlen;  // capacity of the slot's buffer, 0 when it has none
  uint32_t flag;  // KS_SLOT_*
  uint64_t dlen;  // bytes of the transaction image so far, 32 header bytes included
  uint32_t nlcr;  // records collected
  int32_t fd;     // spill file, -1 when none
  uint32_t ssct;  // redo time stamp of the first change
  uint32_t csct;  // commit time stamp
  uint64_t xid;   // 0 marks a free slot
  uint64_t sscn;  // SCN of the first change (part of the spill file's name)
  uint64_t cscn;  // commit SCN
  uint8_t *buf;   // the slot's pool buffer, or nullptr
} ks_trans_slot_t;

static_assert(sizeof(void *) == 8, "the slot layout holds a 64-bit buffer address");
static_assert(sizeof(ks_trans_slot_t) == 64);
static_assert(offsetof(ks_trans_slot_t, tlen) == 0);
static_assert(offsetof(ks_trans_slot_t, flag) == 4);
static_assert(offsetof(ks_trans_slot_t, dlen) == 8);
static_assert(offsetof(ks_trans_slot_t, nlcr) == 16);
static_assert(offsetof(ks_trans_slot_t, fd) == 20);
static_assert(offsetof(ks_trans_slot_t, ssct) == 24);
static_assert(offsetof(ks_trans_slot_t, csct) == 28);
static_assert(offsetof(ks_trans_slot_t, xid) == 32);
static_assert(offsetof(ks_trans_slot_t, sscn) == 40);
static_assert(offsetof(ks_trans_slot_t, cscn) == 48);
static_assert(offsetof(ks_trans_slot_t, buf) == 56);

// Slot flags.
constexpr uint32_t KS_SLOT_SPILLED = 0x1;     // the image lives in the spill file
constexpr uint32_t KS_SLOT_ROLLBACK = 0x2;    // holds rollback redo
constexpr uint32_t KS_SLOT_TAG = 0x4;         // a TAG record was seen
constexpr uint32_t KS_SLOT_DDL = 0x8;         // holds a DDL record
constexpr uint32_t KS_SLOT_SYSOBJ = 0x10;     // holds system-object changes
constexpr uint32_t KS_SLOT_PARTIAL = 0x1000;  // opened by a partial XID
// The COMMIT is in the image but its trail write failed; the write is retried before the
// next commit (and survives a stop in the save file), so no committed transaction is lost
// and commits reach the trail in order.
constexpr uint32_t KS_SLOT_COMMITTED = 0x2000;
// Committed and written into the trail's gather queue, not yet on disk: the slot's buffer
// is the data of the gathered write, so the slot stays taken until that write is done.
constexpr uint32_t KS_SLOT_QUEUED = 0x4000;
