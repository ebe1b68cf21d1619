// Byte layout of Oracle redo log files as this system reads and (in the simulated
// source) writes them: file header blocks, redo block headers, record headers, change
// vector headers and length arrays, and the fields of the change vectors we decode.
// One header for the writer and the parser, so the two can never drift apart.
// Offsets are from the start of the structure named; integers are in the redo's byte
// order (the file magic tells which), read and written only through the accessors
// below or lib/bytes.h. Header-only on purpose: the capture decoder, the simulated
// source and the tools all include it without linking each other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/bytes.h"

namespace ks::redo {

// ---- file header: blocks 0 and 1 ------------------------------------------------------
constexpr int KS_REDO_FH0_BLOCK_SIZE = 20;  // block 0: block size in bytes
constexpr int KS_REDO_FH0_MAGIC = 28;       // block 0: 0x7A7B7C7D stored in the file's byte order
constexpr uint32_t KS_REDO_MAGIC = 0x7A7B7C7D;
constexpr uint32_t KS_REDO_MAGIC_ALT = 0x6A6B6C6D;
// Read in host order (little-endian), these two values mean the file is big-endian.
constexpr uint32_t KS_REDO_MAGIC_BIG_HOST = 0x7D7C7B7A;
constexpr uint32_t KS_REDO_MAGIC_BIG_HOST_ALT = 0x6D6C6B6A;
constexpr int KS_REDO_FH1_VERSION = 20;                      // block 1: compatibility version (vsn)
constexpr int KS_REDO_FH1_FILE_BLOCKS = 40;                  // block 1: file size in blocks (header block excluded)
constexpr int KS_REDO_FH1_BLOCK_SIZE = 44;                   // block 1: block size again
constexpr int KS_REDO_FH1_NEXT_BLOCK = 156;                  // block 1: next available block
constexpr uint32_t KS_REDO_NEXT_BLOCK_CURRENT = 0xFFFFFFFF;  // log still being written
static_assert(KS_REDO_FH0_MAGIC + 4 <= 512 && KS_REDO_FH1_NEXT_BLOCK + 4 <= 512, "file header fits the smallest block");

// vsn = major << 24 | minor << 16 ...
constexpr uint32_t vsn_major(uint32_t vsn) { return vsn >> 24; }
constexpr uint32_t vsn_minor(uint32_t vsn) { return (vsn >> 16) & 0xFF; }
constexpr uint32_t KS_REDO_VSN10 = 0x0A200000;  // 10.2
constexpr uint32_t KS_REDO_VSN11 = 0x0B200000;  // 11.2
constexpr uint32_t KS_REDO_VSN12 = 0x0C100000;  // 12.1
constexpr uint32_t KS_REDO_VSN19 = 0x13000000;  // 19
constexpr uint32_t KS_REDO_VSN23 = 0x17000000;  // 23
// Undo-segment header block class base: block class = base + 2 * usn (+1 for undo blocks).
constexpr int cls_usn_of(uint32_t vsn) { return vsn_major(vsn) == 10 ? 11 : 15; }
// Change-vector header size.
constexpr int vhsz_of(uint32_t vsn) { return vsn_major(vsn) > 11 ? 32 : 24; }

// ---- redo block header (first 16 bytes of every block from block 1 on) ---------------
constexpr int KS_REDO_BH_BLOCK_NO = 4;
constexpr int KS_REDO_BH_SEQUENCE = 8;
constexpr int KS_REDO_BH_FIRST_RECORD = 12;  // u16; low 15 bits are the offset, 0x8000 always set
constexpr int KS_REDO_BH_SIZE = 16;
constexpr uint16_t KS_REDO_BH_FIRST_RECORD_FLAG = 0x8000;
constexpr uint16_t KS_REDO_BH_FIRST_RECORD_MASK = 0x7FFF;
// A record never starts where 23 bytes or fewer remain in a block: readers skip them.
constexpr int KS_REDO_MIN_RECORD_ROOM = 24;
constexpr int KS_REDO_MAX_RECORD = 128 * 1024;  // the largest record a reader accepts

// ---- redo record header ----------------------------------------------------------------
constexpr int KS_REDO_RH_LENGTH = 0;    // u32, header included
constexpr int KS_REDO_RH_VLD = 4;       // u8
constexpr int KS_REDO_RH_SCN_WRAP = 6;  // u16
constexpr int KS_REDO_RH_SCN_BASE = 8;  // u32
constexpr int KS_REDO_RH_CON_UID = 16;  // u32, container uid of a pluggable database
constexpr int KS_REDO_RH_TIME = 64;     // u32, 68-byte header only
constexpr int KS_REDO_RH_SIZE = 24;
constexpr int KS_REDO_RH_SIZE_LONG = 68;
static_assert(KS_REDO_RH_CON_UID + 4 <= KS_REDO_RH_SIZE && KS_REDO_RH_TIME + 4 == KS_REDO_RH_SIZE_LONG,
              "record header layout");
constexpr uint8_t KS_REDO_VLD_NORMAL = 0x01;
constexpr uint8_t KS_REDO_VLD_SECOND = 0x02;
constexpr uint8_t KS_REDO_VLD_LONG = 0x04;    // 68-byte header with a time stamp
constexpr uint8_t KS_REDO_VLD_IGNORE = 0x08;  // record is to be ignored entirely
constexpr int record_header_size(uint8_t vld) {
  return (vld & KS_REDO_VLD_LONG) ? KS_REDO_RH_SIZE_LONG : KS_REDO_RH_SIZE;
}

// ---- change vector header ---------------------------------------------------------------
constexpr int KS_REDO_CV_LAYER = 0;  // u8
constexpr int KS_REDO_CV_CODE = 1;   // u8
constexpr int KS_REDO_CV_CLASS = 2;  // u16 block class
constexpr int KS_REDO_CV_DBA = 8;    // u32 data block address of the changed block
constexpr int KS_REDO_CV_HEADER24 = 24;
constexpr int KS_REDO_CV_HEADER32 = 32;
static_assert(KS_REDO_CV_DBA + 4 <= KS_REDO_CV_HEADER24, "vector header layout");

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
inline uint16_t field_length(const uint8_t *v, int vhsz, bool big, int k) { return load16(v + vhsz + 2 * k, big); }
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
constexpr int KS_REDO_UBH_USN = 8, KS_REDO_UBH_SLOT = 10, KS_REDO_UBH_SQN = 12, KS_REDO_UBH_SIZE = 20;
// field 2: undo record info
constexpr int KS_REDO_URI_OBJN = 0, KS_REDO_URI_LAYER = 16, KS_REDO_URI_SIZE = 24;
// field 3: transaction-block redo (not decoded)
constexpr int KS_REDO_UNDO_FIELD3_SIZE = 8;
static_assert(KS_REDO_UBH_SQN + 4 <= KS_REDO_UBH_SIZE && KS_REDO_URI_LAYER < KS_REDO_URI_SIZE, "undo header layout");

// ---- heap row operation headers (layer 11; also field 4 of undo) -------------------------
constexpr int KS_REDO_KDO_DBA = 0;  // u32 block of the row piece
constexpr int KS_REDO_KDO_OP = 10;  // u8, operation code in the low 5 bits
constexpr int KS_REDO_KDO_OP_MASK = 0x1F;
constexpr int KS_REDO_KDO_FLAG = 16;  // u8 row flag byte (IRP, URP)
// IRP / ORP
constexpr int KS_REDO_IRP_COLUMNS = 18;    // u8 column count
constexpr int KS_REDO_IRP_NEXT_DBA = 28;   // u32 next piece block
constexpr int KS_REDO_IRP_NEXT_SLOT = 32;  // u16 next piece slot
constexpr int KS_REDO_IRP_SLOT = 42;       // u16 slot
constexpr int KS_REDO_IRP_SIZE = 48;
// DRP
constexpr int KS_REDO_DRP_SLOT = 16;  // u16
constexpr int KS_REDO_DRP_SIZE = 20;
// URP
constexpr int KS_REDO_URP_SLOT = 20;     // u16
constexpr int KS_REDO_URP_COLUMNS = 23;  // u8 number of changed columns
constexpr int KS_REDO_URP_SIZE = 28;
// QMI / QMD
constexpr int KS_REDO_QM_ROWS = 18;  // u16 row count
constexpr int KS_REDO_QM_SIZE = 24;
// LKR
constexpr int KS_REDO_LKR_SLOT = 16;  // u16
constexpr int KS_REDO_LKR_SIZE = 20;
// CFA
constexpr int KS_REDO_CFA_NEXT_DBA = 16, KS_REDO_CFA_NEXT_SLOT = 20, KS_REDO_CFA_SLOT = 24, KS_REDO_CFA_SIZE = 32;
// Other layer-11 headers (the ones no reader decodes)
constexpr int KS_REDO_KDO_OTHER_SIZE = 24;
static_assert(KS_REDO_IRP_SLOT + 2 <= KS_REDO_IRP_SIZE && KS_REDO_URP_COLUMNS < KS_REDO_URP_SIZE &&
                  KS_REDO_DRP_SLOT + 2 <= KS_REDO_DRP_SIZE && KS_REDO_QM_ROWS + 2 <= KS_REDO_QM_SIZE &&
                  KS_REDO_CFA_SLOT + 2 <= KS_REDO_CFA_SIZE,
              "row operation header layout");
// Layer-11 redo field 1 (transaction-block redo, not decoded)
constexpr int KS_REDO_KDO_FIELD1_SIZE = 8;

// Row operation codes
constexpr uint8_t KS_REDO_OP_IRP = 2, KS_REDO_OP_DRP = 3, KS_REDO_OP_LKR = 4, KS_REDO_OP_URP = 5, KS_REDO_OP_ORP = 6,
                  KS_REDO_OP_CFA = 8, KS_REDO_OP_QMI = 11, KS_REDO_OP_QMD = 12, KS_REDO_OP_LMN = 16;
// Row flag byte
constexpr uint8_t KS_REDO_ROW_CLUSTER_KEY = 0x80, KS_REDO_ROW_CLUSTER_MEMBER = 0x40, KS_REDO_ROW_HEAD = 0x20,
                  KS_REDO_ROW_DELETED = 0x10, KS_REDO_ROW_FIRST = 0x08, KS_REDO_ROW_LAST = 0x04,
                  KS_REDO_ROW_PREV_CONT = 0x02, KS_REDO_ROW_NEXT_CONT = 0x01;
constexpr uint8_t KS_REDO_ROW_WHOLE = KS_REDO_ROW_HEAD | KS_REDO_ROW_FIRST | KS_REDO_ROW_LAST;  // 0x2c

// Quick multi-row insert row: flag byte, lock byte, column count, then per column a
// length byte (0xFF NULL, 0xFE followed by a u16 length) and the bytes.
constexpr int KS_REDO_QMI_ROW_HEADER = 3;
constexpr uint8_t KS_REDO_QMI_NULL = 0xFF, KS_REDO_QMI_LONG = 0xFE;
constexpr int KS_REDO_QMI_SHORT_MAX = 250;  // longer values use KS_REDO_QMI_LONG and a u16 length

// ---- supplemental-log header (the field after the undo column values) -------------------
constexpr int KS_REDO_SUP_FLAGS = 1;       // u8: 0x08 first piece, 0x04 last piece, 0x10 update
constexpr int KS_REDO_SUP_COLUMNS = 2;     // u16 number of supplemental columns
constexpr int KS_REDO_SUP_UNDO_SCID = 6;   // u16 first segment column id of the undo piece
constexpr int KS_REDO_SUP_REDO_SCID = 8;   // u16 first segment column id of the redo piece
constexpr int KS_REDO_SUP_HEAD_DBA = 20;   // u32, 28-byte header only
constexpr int KS_REDO_SUP_HEAD_SLOT = 24;  // u16, 28-byte header only
constexpr int KS_REDO_SUP_SIZE = 20;
constexpr int KS_REDO_SUP_SIZE_LONG = 28;
static_assert(KS_REDO_SUP_REDO_SCID + 2 <= KS_REDO_SUP_SIZE && KS_REDO_SUP_HEAD_SLOT + 2 <= KS_REDO_SUP_SIZE_LONG,
              "supplemental header");
constexpr uint8_t KS_REDO_SUP_FIRST = 0x08, KS_REDO_SUP_LAST = 0x04, KS_REDO_SUP_UPDATE = 0x10;
constexpr uint16_t KS_REDO_SUP_NULL_LENGTH = 0xFFFF;

// ---- transaction control ---------------------------------------------------------------
// 5.4 commit / rollback, field 1
constexpr int KS_REDO_CMT_SLOT = 0, KS_REDO_CMT_SQN = 4, KS_REDO_CMT_FLAG = 16, KS_REDO_CMT_SIZE = 20;
constexpr uint8_t KS_REDO_CMT_FLAG_COMMIT = 0x12, KS_REDO_CMT_FLAG_ROLLBACK = 0x16, KS_REDO_CMT_ROLLBACK_BIT = 0x04;
// 5.2 undo header (transaction start), field 1
constexpr int KS_REDO_UH_SIZE = 32;
// 5.6 / 5.11 rollback of an undo record, field 1
constexpr int KS_REDO_RB_OBJN = 0, KS_REDO_RB_SLOT = 18, KS_REDO_RB_SIZE = 24;
// 5.20 audit: five 4-byte fields, then field 6 with the tag
constexpr int KS_REDO_AUD_FIELDS = 5, KS_REDO_AUD_FIELD_SIZE = 4;
constexpr int KS_REDO_AUD_TAG_LENGTH = 8;  // u8 length, or 0xFE and a u16 length
constexpr int KS_REDO_AUD_TAG = 9, KS_REDO_AUD_TAG_LONG = 11;
// 24.1 DDL
constexpr int KS_REDO_DDL_USN = 4, KS_REDO_DDL_SLOT = 6, KS_REDO_DDL_SQN = 8, KS_REDO_DDL_SKIP = 16,
              KS_REDO_DDL_FIELD1_SIZE = 20;
constexpr int KS_REDO_DDL_OBJN = 4, KS_REDO_DDL_FIELD4_SIZE = 8;
constexpr int KS_REDO_DDL_KIND = 0, KS_REDO_DDL_TYPE = 18, KS_REDO_DDL_FIELD11_SIZE = 20;
static_assert(KS_REDO_CMT_FLAG < KS_REDO_CMT_SIZE && KS_REDO_RB_SLOT < KS_REDO_RB_SIZE &&
                  KS_REDO_DDL_SQN + 4 <= KS_REDO_DDL_FIELD1_SIZE && KS_REDO_DDL_TYPE < KS_REDO_DDL_FIELD11_SIZE,
              "transaction control layouts");

// ---- fields a database writes that the decoder does not need ----------------------------
// The simulated source writes them so that its logs look like a database's to any reader;
// the consistency test and the inspection tools read them. 6-byte SCNs are a 4-byte base
// followed by a 2-byte wrap.
constexpr int KS_REDO_BH_TYPE = 0;    // u8: 0x01 redo block, 0x00 in block 0
constexpr int KS_REDO_BH_FORMAT = 1;  // u8: 0x22 for 512- and 1024-byte blocks, 0x82 for 4096
constexpr uint8_t KS_REDO_BLOCK_TYPE = 0x01;
constexpr uint8_t block_format_of(uint32_t bsz) { return bsz >= 4096 ? 0x82 : 0x22; }
constexpr int KS_REDO_FH0_FILE_TYPE = 4;  // u32 0xFFC00000
constexpr int KS_REDO_FH0_BLOCKS = 24;    // u32 blocks after block 0
constexpr uint32_t KS_REDO_FILE_TYPE = 0xFFC00000;
constexpr int KS_REDO_FH1_DBID = 24, KS_REDO_FH1_DB_NAME = 28, KS_REDO_FH1_DB_NAME_SIZE = 8;
constexpr int KS_REDO_FH1_CONTROL_SEQ = 36;  // u32
constexpr int KS_REDO_FH1_PAIR = 48;         // two u16, both 2
constexpr int KS_REDO_FH1_ACTIVATION = 52;   // u32
constexpr int KS_REDO_FH1_DESCRIPTION = 92, KS_REDO_FH1_DESCRIPTION_SIZE = 64;
constexpr int KS_REDO_FH1_RESETLOGS_ID = 160;   // u32
constexpr int KS_REDO_FH1_RESETLOGS_SCN = 164;  // 6-byte SCN
constexpr int KS_REDO_FH1_THREAD = 176;         // u16
constexpr int KS_REDO_FH1_FIRST_SCN = 180, KS_REDO_FH1_FIRST_TIME = 188;
constexpr int KS_REDO_FH1_NEXT_SCN = 192, KS_REDO_FH1_NEXT_TIME = 200;
static_assert(KS_REDO_FH1_DESCRIPTION + KS_REDO_FH1_DESCRIPTION_SIZE <= KS_REDO_FH1_NEXT_BLOCK &&
                  KS_REDO_FH1_NEXT_TIME + 4 <= 512,
              "file header fields");
// From 12c the wraps of the file header's SCNs carry this flag; readers mask it.
constexpr uint16_t KS_REDO_SCN_WRAP_FLAG = 0x8000;
inline void store_scn6(uint8_t *p, uint64_t scn, bool big, uint16_t wrap_flag = 0) {
  store32(p, uint32_t(scn), big);
  store16(p + 4, uint16_t(uint16_t(scn >> 32) | wrap_flag), big);
}
inline uint64_t load_scn6(const uint8_t *p, bool big) {
  return uint64_t(load16(p + 4, big) & ~KS_REDO_SCN_WRAP_FLAG) << 32 | load32(p, big);
}
// The next SCN of a log still being written: all ones (flag bit included).
constexpr uint64_t KS_REDO_SCN_NONE = 0xFFFFFFFFFFFFull;
// A file-header SCN as load_scn6 reads it, except that all ones stays KS_REDO_SCN_NONE.
inline uint64_t load_header_scn(const uint8_t *p, bool big) {
  if (load32(p, big) == 0xFFFFFFFFu && load16(p + 4, big) == 0xFFFF) return KS_REDO_SCN_NONE;
  return load_scn6(p, big);
}
// Record header: sub-SCN (1 in every record a database writes).
constexpr int KS_REDO_RH_SUBSCN = 12;
// 68-byte header that opens a log write (LWN): marker 1, the write's length in blocks
// (twice; the distance to the next write's first block), the SCN of its first record and
// the lowest SCN the next write can carry.
constexpr int KS_REDO_LWN_MARK = 26, KS_REDO_LWN_BLOCKS = 28, KS_REDO_LWN_BLOCKS2 = 32, KS_REDO_LWN_SCN = 40,
              KS_REDO_LWN_NEXT_SCN = 56;
static_assert(KS_REDO_LWN_NEXT_SCN + 6 <= KS_REDO_RH_TIME, "write header layout");
// Change-vector header: absolute file number, 0xFFFF (undo) or 1 (data), the block's
// previous change SCN, change sequence within the block and type, low 16 bits of the
// object number (0xFFFF for undo), and from 12.1 the container id.
constexpr int KS_REDO_CV_AFN = 4, KS_REDO_CV_KIND = 6, KS_REDO_CV_PREV_SCN = 12, KS_REDO_CV_SEQ = 20,
              KS_REDO_CV_TYPE = 21, KS_REDO_CV_OBJ = 22, KS_REDO_CV_CON_ID = 24;
static_assert(KS_REDO_CV_OBJ + 2 <= KS_REDO_CV_HEADER24 && KS_REDO_CV_CON_ID + 2 <= KS_REDO_CV_HEADER32,
              "vector header");
// 5.2 field 1: the XID's slot and sequence, undo address (block, sequence, record), flags
// and size; field 2 (12.1+, container databases): the container uid.
constexpr int KS_REDO_UH_SLOT = 0, KS_REDO_UH_SQN = 4, KS_REDO_UH_UBA_DBA = 8, KS_REDO_UH_UBA_SEQ = 12,
              KS_REDO_UH_UBA_REC = 14, KS_REDO_UH_FLAGS = 16, KS_REDO_UH_USIZE = 18;
constexpr uint16_t KS_REDO_UH_FLAGS_PDB = 0x0052, KS_REDO_UH_FLAGS_ROOT = 0x0452;
static_assert(KS_REDO_UH_USIZE + 2 <= KS_REDO_UH_SIZE, "5.2 layout");
// 5.1 field 1: record size, space left, flags, undo block sequence and record.
constexpr int KS_REDO_UBH_RSIZE = 0, KS_REDO_UBH_SPACE = 2, KS_REDO_UBH_FLAGS = 4, KS_REDO_UBH_UBA_SEQ = 16,
              KS_REDO_UBH_UBA_REC = 18;
// 5.1 field 2: data object number, tablespace, undone operation code, slot, rci, flags
// (0x0008 on the first undo of a transaction, whose field is 76 bytes from 19c).
constexpr int KS_REDO_URI_DATAOBJ = 4, KS_REDO_URI_TS = 8, KS_REDO_URI_CODE = 17, KS_REDO_URI_SLOT = 18,
              KS_REDO_URI_RCI = 19, KS_REDO_URI_FLAGS = 20, KS_REDO_URI_SIZE_FIRST = 76;
constexpr uint16_t KS_REDO_URI_FIRST = 0x0008;
static_assert(KS_REDO_UBH_UBA_REC < KS_REDO_UBH_SIZE && KS_REDO_URI_FLAGS + 2 <= KS_REDO_URI_SIZE, "undo fields");
// ITL redo: 5.1 field 3 (op 3, 8 bytes; op 4, 32 bytes) and layer-11 field 1 (op 1, 24
// bytes), flags 0x0d; the long ones carry the XID and the undo address.
constexpr int KS_REDO_ITL_OP = 0, KS_REDO_ITL_FLAGS = 1, KS_REDO_ITL_USN = 4, KS_REDO_ITL_SLOT = 6, KS_REDO_ITL_SQN = 8,
              KS_REDO_ITL_UBA_DBA = 12, KS_REDO_ITL_UBA_SEQ = 16, KS_REDO_ITL_UBA_REC = 18;
constexpr int KS_REDO_ITL_BEGIN_SIZE = 32, KS_REDO_ITL_REDO_SIZE = 24;
constexpr uint8_t KS_REDO_ITL_FLAGS_VALUE = 0x0d;
static_assert(KS_REDO_ITL_UBA_REC < KS_REDO_ITL_REDO_SIZE, "ITL redo layout");
// Row operation headers: segment header block, maxFr, flags, ITL index, IRP lock byte,
// URP NULL bitmap ((columns + 7) / 8 bytes: a bit per column whose value is NULL). The
// undo of an insert has bit 0x20 in its operation byte.
constexpr int KS_REDO_KDO_SEG_DBA = 4, KS_REDO_KDO_MAXFR = 8, KS_REDO_KDO_OP_FLAGS = 11, KS_REDO_KDO_ITL = 12,
              KS_REDO_IRP_LOCK = 17, KS_REDO_URP_NULLS = 26;
constexpr uint8_t KS_REDO_KDO_UNDO_BIT = 0x20;
// Bit of the operation flags (+11) of an insert or overwrite row piece whose row comes as
// one field, the whole row image in the block row format (rows of compressed blocks).
constexpr uint8_t KS_REDO_KDO_ROW_IMAGE = 0x08;
constexpr int urp_header_size(int columns) {
  return columns > 16 ? int(align4(uint32_t(KS_REDO_URP_NULLS + (columns + 7) / 8))) : KS_REDO_URP_SIZE;
}
// Index maintenance: 5.1 undoing 10.22, leaf insert 10.2 and delete 10.4; space 13.22/13.28.
constexpr uint8_t KS_REDO_IDX_UNDO_CODE = 22, KS_REDO_IDX_INSERT = 2, KS_REDO_IDX_DELETE = 4;
// Index-organised tables keep their rows in the leaf rows of the primary key. Leaf
// operations (the vector's code, and byte 0 of a layer-10 undo's field 4): insert, purge,
// mark deleted, restore, update keydata, update non-key columns (and the older 30 form,
// whose layout is not read). Leaf redo header (field 2, 16 bytes): +1 flags, bit 0x20 an
// array insert whose row count is at +8. Leaf undo header: 16 bytes, the operation at +0.
// Key and non-key columns are length-prefixed as block rows are (0xFF NULL, 0xFE and a
// u16 length, else the length byte); the non-key part starts with a 3-byte row header
// (row flag byte, lock byte, column count).
constexpr uint8_t KS_REDO_LEAF_INSERT = 2, KS_REDO_LEAF_PURGE = 3, KS_REDO_LEAF_DELETE = 4, KS_REDO_LEAF_RESTORE = 5,
                  KS_REDO_LEAF_KEYDATA = 18, KS_REDO_LEAF_NONKEY_OLD = 30, KS_REDO_LEAF_NONKEY = 35;
constexpr int KS_REDO_LEAF_HDR_SIZE = 16, KS_REDO_LEAF_FLAGS = 1, KS_REDO_LEAF_ROWS = 8;
constexpr uint8_t KS_REDO_LEAF_ARRAY = 0x20;
constexpr int KS_REDO_LEAF_ROW_HEADER = 3, KS_REDO_LEAF_ROW_COLUMNS = 2;
// A leaf row continued in the overflow segment (row flag without last-piece) has the next
// piece's block address and slot, big-endian, after its header; its values follow them.
constexpr int KS_REDO_LEAF_ROW_NEXT_HEADER = 9;
// 5.4: four fields (20, 16, 24, 4 bytes); field 1 +12 holds 9; field 2 the undo address
// and space; field 3 +8 and field 4 the commit time.
constexpr int KS_REDO_CMT_F1_NINE = 12, KS_REDO_CMT_F2_SIZE = 16, KS_REDO_CMT_F3_SIZE = 24, KS_REDO_CMT_F4_SIZE = 4;
constexpr int KS_REDO_CMT_UBA_DBA = 0, KS_REDO_CMT_UBA_SEQ = 4, KS_REDO_CMT_UBA_REC = 6, KS_REDO_CMT_SPACE = 8,
              KS_REDO_CMT_TIME = 8;

// Oracle's redo time stamp: seconds of a calendar with 31-day months from 1988.
constexpr uint32_t redo_time(int year, int mon, int day, int hour, int min, int sec) {
  return uint32_t(((((uint32_t(year - 1988) * 12 + (mon - 1)) * 31 + (day - 1)) * 24 + hour) * 60 + min) * 60 + sec);
}

}  // namespace ks::redo
