// Byte layout of Oracle redo log files as this system reads and (in the simulated
// source) writes them: file header blocks, redo block headers, record headers, change
// vector headers and length arrays, and the fields of the change vectors we decode.
// One header for the writer and the parser, so the two can never drift apart.
// Offsets are from the start of the structure named; integers are in the redo's byte
// order (the file magic tells which), read and written only through the accessors
// below or lib/bytes.h. Header-only on purpose: extract/ builds its .cpp files into a
// library and this file belongs to both sides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/bytes.h"

namespace ks::redo {

// ---- file header: blocks 0 and 1 ------------------------------------------------------
constexpr int kFh0BlockSize = 20;  // block 0: block size in bytes
constexpr int kFh0Magic = 28;      // block 0: 0x7A7B7C7D stored in the file's byte order
constexpr uint32_t kMagic = 0x7A7B7C7D;
constexpr uint32_t kMagicAlt = 0x6A6B6C6D;
// Read in host order (little-endian), these two values mean the file is big-endian.
constexpr uint32_t kMagicBigHost = 0x7D7C7B7A;
constexpr uint32_t kMagicBigHostAlt = 0x6D6C6B6A;
constexpr int kFh1Version = 20;    // block 1: compatibility version (vsn)
constexpr int kFh1FileBlocks = 40; // block 1: file size in blocks (header block excluded)
constexpr int kFh1BlockSize = 44;  // block 1: block size again
constexpr int kFh1NextBlock = 156; // block 1: next available block
constexpr uint32_t kNextBlockCurrent = 0xFFFFFFFF;  // log still being written
static_assert(kFh0Magic + 4 <= 512 && kFh1NextBlock + 4 <= 512, "file header fits the smallest block");

// vsn = major << 24 | minor << 16 ...
constexpr uint32_t vsn_major(uint32_t vsn) { return vsn >> 24; }
constexpr uint32_t vsn_minor(uint32_t vsn) { return (vsn >> 16) & 0xFF; }
constexpr uint32_t kVsn10 = 0x0A200000;  // 10.2
constexpr uint32_t kVsn11 = 0x0B200000;  // 11.2
constexpr uint32_t kVsn12 = 0x0C100000;  // 12.1
constexpr uint32_t kVsn19 = 0x13000000;  // 19
constexpr uint32_t kVsn23 = 0x17000000;  // 23
// Undo-segment header block class base: block class = base + 2 * usn (+1 for undo blocks).
constexpr int cls_usn_of(uint32_t vsn) { return vsn_major(vsn) == 10 ? 11 : 15; }
// Change-vector header size.
constexpr int vhsz_of(uint32_t vsn) { return vsn_major(vsn) > 11 ? 32 : 24; }

// ---- redo block header (first 16 bytes of every block from block 1 on) ---------------
constexpr int kBhBlockNo = 4;
constexpr int kBhSequence = 8;
constexpr int kBhFirstRecord = 12;  // u16; low 15 bits are the offset, 0x8000 always set
constexpr int kBhSize = 16;
constexpr uint16_t kBhFirstRecordFlag = 0x8000;
constexpr uint16_t kBhFirstRecordMask = 0x7FFF;
// A record never starts where 23 bytes or fewer remain in a block: readers skip them.
constexpr int kMinRecordRoom = 24;
constexpr int kMaxRecord = 128 * 1024;  // the largest record a reader accepts

// ---- redo record header ----------------------------------------------------------------
constexpr int kRhLength = 0;   // u32, header included
constexpr int kRhVld = 4;      // u8
constexpr int kRhScnWrap = 6;  // u16
constexpr int kRhScnBase = 8;  // u32
constexpr int kRhConUid = 16;  // u32, container uid of a pluggable database
constexpr int kRhTime = 64;    // u32, 68-byte header only
constexpr int kRhSize = 24;
constexpr int kRhSizeLong = 68;
static_assert(kRhConUid + 4 <= kRhSize && kRhTime + 4 == kRhSizeLong, "record header layout");
constexpr uint8_t kVldNormal = 0x01;
constexpr uint8_t kVldSecond = 0x02;
constexpr uint8_t kVldLong = 0x04;    // 68-byte header with a time stamp
constexpr uint8_t kVldIgnore = 0x08;  // record is to be ignored entirely
constexpr int record_header_size(uint8_t vld) { return (vld & kVldLong) ? kRhSizeLong : kRhSize; }

// ---- change vector header ---------------------------------------------------------------
constexpr int kCvLayer = 0;  // u8
constexpr int kCvCode = 1;   // u8
constexpr int kCvClass = 2;  // u16 block class
constexpr int kCvDba = 8;    // u32 data block address of the changed block
constexpr int kCvHeader24 = 24;
constexpr int kCvHeader32 = 32;
static_assert(kCvDba + 4 <= kCvHeader24, "vector header layout");

constexpr uint32_t align4(uint32_t n) { return (n + 3) & ~3u; }
constexpr uint16_t op(uint8_t layer, uint8_t code) { return uint16_t(layer << 8 | code); }

// Size in bytes of the change vector at v: header, length array and every field, each
// rounded up to 4. Reads the length array in the redo's byte order.
inline uint32_t vector_size(const uint8_t *v, int vhsz, bool big) {
  const uint8_t *la = v + vhsz;
  uint32_t e0 = load16(la, big);
  uint32_t n = e0 / 2;
  uint32_t size = vhsz + align4(e0);
  for (uint32_t i = 1; i < n; i++) size += align4(load16(la + 2 * i, big));
  return size;
}
// Number of fields of the vector (entries of the length array after entry 0).
inline int field_count(const uint8_t *v, int vhsz, bool big) { return load16(v + vhsz, big) / 2 - 1; }
inline uint16_t field_length(const uint8_t *v, int vhsz, bool big, int k) {
  return load16(v + vhsz + 2 * k, big);
}
// Offset of field k (1-based) from the start of the vector.
inline uint32_t field_offset(const uint8_t *v, int vhsz, bool big, int k) {
  const uint8_t *la = v + vhsz;
  uint32_t off = vhsz + align4(load16(la, big));
  for (int i = 1; i < k; i++) off += align4(load16(la + 2 * i, big));
  return off;
}

// XID: usn << 48 | slot << 32 | sqn.
constexpr uint64_t make_xid(uint16_t usn, uint16_t slot, uint32_t sqn) {
  return uint64_t(usn) << 48 | uint64_t(slot) << 32 | sqn;
}
constexpr uint16_t xid_usn(uint64_t x) { return uint16_t(x >> 48); }
constexpr uint16_t xid_slot(uint64_t x) { return uint16_t(x >> 32); }
constexpr uint32_t xid_sqn(uint64_t x) { return uint32_t(x); }

// ---- undo 5.1 ----------------------------------------------------------------------------
// field 1: undo block header
constexpr int kUbhUsn = 8, kUbhSlot = 10, kUbhSqn = 12, kUbhSize = 20;
// field 2: undo record info
constexpr int kUriObjn = 0, kUriLayer = 16, kUriSize = 24;
// field 3: transaction-block redo (not decoded)
constexpr int kUndoField3Size = 8;
static_assert(kUbhSqn + 4 <= kUbhSize && kUriLayer < kUriSize, "undo header layout");

// ---- heap row operation headers (layer 11; also field 4 of undo) -------------------------
constexpr int kKdoDba = 0;   // u32 block of the row piece
constexpr int kKdoOp = 10;   // u8, operation code in the low 5 bits
constexpr int kKdoOpMask = 0x1F;
constexpr int kKdoFlag = 16;  // u8 row flag byte (IRP, URP)
// IRP / ORP
constexpr int kIrpColumns = 18;   // u8 column count
constexpr int kIrpNextDba = 28;   // u32 next piece block
constexpr int kIrpNextSlot = 32;  // u16 next piece slot
constexpr int kIrpSlot = 42;      // u16 slot
constexpr int kIrpSize = 48;
// DRP
constexpr int kDrpSlot = 16;  // u16
constexpr int kDrpSize = 20;
// URP
constexpr int kUrpSlot = 20;     // u16
constexpr int kUrpColumns = 23;  // u8 number of changed columns
constexpr int kUrpSize = 28;
// QMI / QMD
constexpr int kQmRows = 18;  // u16 row count
constexpr int kQmSize = 24;
// LKR
constexpr int kLkrSlot = 16;  // u16
constexpr int kLkrSize = 20;
// CFA
constexpr int kCfaNextDba = 16, kCfaNextSlot = 20, kCfaSlot = 24, kCfaSize = 32;
// Other layer-11 headers (the ones no reader decodes)
constexpr int kKdoOtherSize = 24;
static_assert(kIrpSlot + 2 <= kIrpSize && kUrpColumns < kUrpSize && kDrpSlot + 2 <= kDrpSize &&
                  kQmRows + 2 <= kQmSize && kCfaSlot + 2 <= kCfaSize,
              "row operation header layout");
// Layer-11 redo field 1 (transaction-block redo, not decoded)
constexpr int kKdoField1Size = 8;

// Row operation codes
constexpr uint8_t kOpIrp = 2, kOpDrp = 3, kOpLkr = 4, kOpUrp = 5, kOpOrp = 6, kOpCfa = 8,
                  kOpQmi = 11, kOpQmd = 12, kOpLmn = 16;
// Row flag byte
constexpr uint8_t kRowClusterKey = 0x80, kRowClusterMember = 0x40, kRowHead = 0x20,
                  kRowDeleted = 0x10, kRowFirst = 0x08, kRowLast = 0x04, kRowPrevCont = 0x02,
                  kRowNextCont = 0x01;
constexpr uint8_t kRowWhole = kRowHead | kRowFirst | kRowLast;  // 0x2c

// Quick multi-row insert row: flag byte, lock byte, column count, then per column a
// length byte (0xFF NULL, 0xFE followed by a u16 length) and the bytes.
constexpr int kQmiRowHeader = 3;
constexpr uint8_t kQmiNull = 0xFF, kQmiLong = 0xFE;
constexpr int kQmiShortMax = 250;  // longer values use kQmiLong and a u16 length

// ---- supplemental-log header (the field after the undo column values) -------------------
constexpr int kSupFlags = 1;     // u8: 0x08 first piece, 0x04 last piece, 0x10 update
constexpr int kSupColumns = 2;   // u16 number of supplemental columns
constexpr int kSupUndoScid = 6;  // u16 first segment column id of the undo piece
constexpr int kSupRedoScid = 8;  // u16 first segment column id of the redo piece
constexpr int kSupHeadDba = 20;  // u32, 28-byte header only
constexpr int kSupHeadSlot = 24; // u16, 28-byte header only
constexpr int kSupSize = 20;
constexpr int kSupSizeLong = 28;
static_assert(kSupRedoScid + 2 <= kSupSize && kSupHeadSlot + 2 <= kSupSizeLong, "supplemental header");
constexpr uint8_t kSupFirst = 0x08, kSupLast = 0x04, kSupUpdate = 0x10;
constexpr uint16_t kSupNullLength = 0xFFFF;

// ---- transaction control ---------------------------------------------------------------
// 5.4 commit / rollback, field 1
constexpr int kCmtSlot = 0, kCmtSqn = 4, kCmtFlag = 16, kCmtSize = 20;
constexpr uint8_t kCmtFlagCommit = 0x12, kCmtFlagRollback = 0x16, kCmtRollbackBit = 0x04;
// 5.2 undo header (transaction start), field 1
constexpr int kUhSize = 32;
// 5.6 / 5.11 rollback of an undo record, field 1
constexpr int kRbObjn = 0, kRbSlot = 18, kRbSize = 24;
// 5.20 audit: five 4-byte fields, then field 6 with the tag
constexpr int kAudFields = 5, kAudFieldSize = 4;
constexpr int kAudTagLength = 8;  // u8 length, or 0xFE and a u16 length
constexpr int kAudTag = 9, kAudTagLong = 11;
// 24.1 DDL
constexpr int kDdlUsn = 4, kDdlSlot = 6, kDdlSqn = 8, kDdlSkip = 16, kDdlField1Size = 20;
constexpr int kDdlObjn = 4, kDdlField4Size = 8;
constexpr int kDdlKind = 0, kDdlType = 18, kDdlField11Size = 20;
static_assert(kCmtFlag < kCmtSize && kRbSlot < kRbSize && kDdlSqn + 4 <= kDdlField1Size &&
                  kDdlType < kDdlField11Size,
              "transaction control layouts");

// Oracle's redo time stamp: seconds of a calendar with 31-day months from 1988.
constexpr uint32_t redo_time(int year, int mon, int day, int hour, int min, int sec) {
  return uint32_t(((((uint32_t(year - 1988) * 12 + (mon - 1)) * 31 + (day - 1)) * 24 + hour) * 60 + min) * 60 + sec);
}

}  // namespace ks::redo
