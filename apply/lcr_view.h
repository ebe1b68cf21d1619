// Field access to the trail's records as the delivery process reads them: trail file
// header, transaction header, LCR header (full and short) and column entry. Records are
// packed and come from files, so every field is loaded through the host-order helpers
// at its fixed offset, never through a cast, and every column entry is bounds-checked
// against its record before anything reads its name or value.
#pragma once

#include <cstdint>
#include <cstring>

#include "lib/bytes.h"

// The trail's sizes, flags and codes used here (the same values the trail writer uses).
constexpr uint32_t KS_TRAIL_FH_SZ = 64;
constexpr uint32_t KS_LCR_TH_SZ = 32;
constexpr uint32_t KS_LCR_RH_SZ = 96;
constexpr uint32_t KS_LCR_RHS_SZ = 16;
constexpr uint32_t KS_LCR_CH_SZ = 24;

constexpr uint32_t KS_TH_BYREF = 0x00000001;
constexpr uint32_t KS_TH_TAG = 0x00000002;
constexpr uint32_t KS_TH_DDL = 0x00000004;
constexpr uint32_t KS_TH_SELF = 0x00000008;
constexpr uint32_t KS_TH_TRANS = 0x40000000;
constexpr uint32_t KS_TH_EOF = 0x80000000;

constexpr uint32_t KS_RH_LOB102 = 0x00000004;
constexpr uint32_t KS_RH_LOB_LAST = 0x00000008;
constexpr uint32_t KS_RH_LONG_END = 0x00000020;
constexpr uint32_t KS_RH_DISCARD = 0x00100000;
constexpr uint32_t KS_RH_SHORT = 0x40000000;

constexpr uint32_t KS_CH_NULL = 0x001;
constexpr uint32_t KS_CH_NATIONAL = 0x002;
constexpr uint32_t KS_CH_DYNAMIC = 0x010;
constexpr uint32_t KS_CH_EMPTY_LOB = 0x100;
constexpr uint32_t KS_CH_LOB_DATA = 0x200;

enum : uint32_t {
  KS_OPC_INSERT = 1,
  KS_OPC_UPDATE = 2,
  KS_OPC_DELETE = 3,
  KS_OPC_QMI = 4,
  KS_OPC_QMD = 6,
  KS_OPC_COMMIT = 7,
  KS_OPC_ROLLBACK = 8,
  KS_OPC_DDL = 9,
  KS_OPC_LONG_WRITE = 10,
  KS_OPC_LOB_WRITE = 12,
  KS_OPC_LOB_TRIM = 13,
  KS_OPC_LOB_ERASE = 14,
  KS_OPC_LOB_SELECT = 15,
  KS_OPC_SYNC_SEQ = 21,
  KS_OPC_TAG = 22,
};

enum : uint32_t {
  KS_TYP_VARCHAR2 = 1,
  KS_TYP_NUMBER = 2,
  KS_TYP_LONG = 8,
  KS_TYP_DATE = 12,
  KS_TYP_RAW = 23,
  KS_TYP_LONG_RAW = 24,
  KS_TYP_CHAR = 96,
  KS_TYP_BFLOAT = 100,
  KS_TYP_BDOUBLE = 101,
  KS_TYP_CLOB = 112,
  KS_TYP_BLOB = 113,
};

// Trail file header fields.
inline uint32_t ks_fh_fno(const uint8_t *p) { return ks::load<uint32_t>(p + 0); }
inline uint32_t ks_fh_tail(const uint8_t *p) { return ks::load<uint32_t>(p + 4); }
inline uint64_t ks_fh_first_scn(const uint8_t *p) { return ks::load<uint64_t>(p + 8); }
inline uint64_t ks_fh_first_xid(const uint8_t *p) { return ks::load<uint64_t>(p + 16); }
inline uint64_t ks_fh_last_scn(const uint8_t *p) { return ks::load<uint64_t>(p + 24); }
inline uint64_t ks_fh_last_xid(const uint8_t *p) { return ks::load<uint64_t>(p + 32); }
inline uint32_t ks_fh_chs_id(const uint8_t *p) { return ks::load<uint32_t>(p + 40); }
inline uint32_t ks_fh_nchs_id(const uint8_t *p) { return ks::load<uint32_t>(p + 44); }
inline uint32_t ks_fh_lchs_id(const uint8_t *p) { return ks::load<uint32_t>(p + 48); }

// Transaction header fields.
inline uint32_t ks_th_tlen(const uint8_t *p) { return ks::load<uint32_t>(p + 0); }
inline uint32_t ks_th_flag(const uint8_t *p) { return ks::load<uint32_t>(p + 4); }
inline uint32_t ks_th_nlcr(const uint8_t *p) { return ks::load<uint32_t>(p + 8); }
inline uint32_t ks_th_csct(const uint8_t *p) { return ks::load<uint32_t>(p + 12); }
inline uint64_t ks_th_cscn(const uint8_t *p) { return ks::load<uint64_t>(p + 16); }
inline uint64_t ks_th_xid(const uint8_t *p) { return ks::load<uint64_t>(p + 24); }

// LCR header fields; rlen, flag and opc sit at the same place in the short header.
inline uint32_t ks_rh_rlen(const uint8_t *p) { return ks::load<uint32_t>(p + 0); }
inline uint32_t ks_rh_flag(const uint8_t *p) { return ks::load<uint32_t>(p + 4); }
inline uint32_t ks_rh_opc(const uint8_t *p) { return ks::load<uint32_t>(p + 8); }
inline uint32_t ks_rh_nnew(const uint8_t *p) { return ks::load<uint32_t>(p + 12); }
inline uint32_t ks_rh_nold(const uint8_t *p) { return ks::load<uint32_t>(p + 16); }
inline uint32_t ks_rh_opos(const uint8_t *p) { return ks::load<uint32_t>(p + 20); }
#define KS_RH_OWNR_OFS 32
#define KS_RH_ONAM_OFS 64

// Owner or table name of an LCR, always NUL-terminated (a 32-byte field filled to the
// brim is cut at 31 characters).
void ks_rh_name(const uint8_t *rh, int ofs, char out[32]);
// Replace the owner or table name in the LCR itself (NUL-padded, at most 31 bytes).
void ks_rh_set_name(uint8_t *rh, int ofs, const char *name);

// One column entry, checked: name NUL-terminated inside the entry, value inside it.
struct ks_col_view {
  const uint8_t *ent;  // start of the 24-byte entry header
  const char *name;    // "" for entries without a name (LONG pieces)
  const uint8_t *val;  // dlen bytes
  uint32_t alen, flag, ctyp, clen, nlen, dlen;
};

// Reads n consecutive column entries from rec + off, each inside the first rlen bytes
// of the record. with_values 0 reads descriptors whose dlen must be 0 (quick inserts).
// Returns the offset after the last entry, or -1 when an entry is malformed.
long ks_lcr_read_cols(const uint8_t *rec, uint32_t rlen, uint32_t off, uint32_t n,
                      ks_col_view *out);

// Column classes in bind order.
inline bool ks_ct_is_lob(uint32_t t) { return t == KS_TYP_CLOB || t == KS_TYP_BLOB; }
inline bool ks_ct_is_long(uint32_t t) { return t == KS_TYP_LONG || t == KS_TYP_LONG_RAW; }
inline bool ks_ct_is_scalar(uint32_t t) { return !ks_ct_is_lob(t) && !ks_ct_is_long(t); }
