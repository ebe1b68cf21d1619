// The trail: trail file header, transaction header, LCR record headers and column entries.
// This header is the one declaration of those layouts for the writer in extract, for apply
// and for the tools. Records are packed back to back in the files, so a record inside an
// image may start at any byte: fields are read with ks::load / written with ks::store (or
// the whole header memcpy'd into a local), never through a cast pointer. Integers are in
// the byte order of the machine running extract. Header-only: the tools link nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/bytes.h"

// Trail file header, 64 bytes at offset 0 of every trail file.
typedef struct __ks_trail_fh_s {
  uint32_t fno;        // trail file number
  uint32_t tail;       // end of the transaction data (marker position once closed)
  uint64_t first_scn;  // commit SCN of the first transaction in the file
  uint64_t first_xid;
  uint64_t last_scn;  // ~0 while the file is open for writing
  uint64_t last_xid;  // 0 while the file is open for writing
  uint32_t chs_id;
  uint32_t nchs_id;
  uint32_t lchs_id;
  uint32_t rsv[3];
} ks_trail_fh_t;

static_assert(sizeof(ks_trail_fh_t) == 64);
static_assert(offsetof(ks_trail_fh_t, fno) == 0);
static_assert(offsetof(ks_trail_fh_t, tail) == 4);
static_assert(offsetof(ks_trail_fh_t, first_scn) == 8);
static_assert(offsetof(ks_trail_fh_t, first_xid) == 16);
static_assert(offsetof(ks_trail_fh_t, last_scn) == 24);
static_assert(offsetof(ks_trail_fh_t, last_xid) == 32);
static_assert(offsetof(ks_trail_fh_t, chs_id) == 40);
static_assert(offsetof(ks_trail_fh_t, nchs_id) == 44);
static_assert(offsetof(ks_trail_fh_t, lchs_id) == 48);
static_assert(offsetof(ks_trail_fh_t, rsv) == 52);

// Transaction header, 32 bytes, at the start of every transaction record (and of every
// in-memory or spilled transaction image).
typedef struct __ks_lcr_th_s {
  uint32_t tlen;  // whole transaction record, header included
  uint32_t flag;  // KS_TH_*
  uint32_t nlcr;  // records that follow, the final COMMIT included
  uint32_t csct;  // commit time (redo time stamp)
  uint64_t cscn;
  uint64_t xid;
} ks_lcr_th_t;

static_assert(sizeof(ks_lcr_th_t) == 32);
static_assert(offsetof(ks_lcr_th_t, tlen) == 0);
static_assert(offsetof(ks_lcr_th_t, flag) == 4);
static_assert(offsetof(ks_lcr_th_t, nlcr) == 8);
static_assert(offsetof(ks_lcr_th_t, csct) == 12);
static_assert(offsetof(ks_lcr_th_t, cscn) == 16);
static_assert(offsetof(ks_lcr_th_t, xid) == 24);

// Full LCR record header, 96 bytes: row, LOB, LONG, DDL and sequence records.
typedef struct __ks_lcr_rh_s {
  uint32_t rlen;  // whole record, header included
  uint32_t flag;  // KS_RH_*
  uint32_t opc;   // KS_OPC_*
  uint32_t nnew;
  uint32_t nold;
  uint32_t opos;  // offset from the record start of the first old-image entry
  uint64_t rid;   // written as 0
  char ownr[32];
  char onam[32];
} ks_lcr_rh_t;

static_assert(sizeof(ks_lcr_rh_t) == 96);
static_assert(offsetof(ks_lcr_rh_t, rlen) == 0);
static_assert(offsetof(ks_lcr_rh_t, flag) == 4);
static_assert(offsetof(ks_lcr_rh_t, opc) == 8);
static_assert(offsetof(ks_lcr_rh_t, nnew) == 12);
static_assert(offsetof(ks_lcr_rh_t, nold) == 16);
static_assert(offsetof(ks_lcr_rh_t, opos) == 20);
static_assert(offsetof(ks_lcr_rh_t, rid) == 24);
static_assert(offsetof(ks_lcr_rh_t, ownr) == 32);
static_assert(offsetof(ks_lcr_rh_t, onam) == 64);

// Short record header, 16 bytes: COMMIT, ROLLBACK and TAG. rlen, flag and opc sit where
// the full header has them.
typedef struct __ks_lcr_rhs_s {
  uint32_t rlen;  // 16 + dlen
  uint32_t flag;  // KS_RH_SHORT
  uint32_t opc;
  uint32_t dlen;  // bytes that follow
} ks_lcr_rhs_t;

static_assert(sizeof(ks_lcr_rhs_t) == 16);
static_assert(offsetof(ks_lcr_rhs_t, rlen) == offsetof(ks_lcr_rh_t, rlen));
static_assert(offsetof(ks_lcr_rhs_t, flag) == offsetof(ks_lcr_rh_t, flag));
static_assert(offsetof(ks_lcr_rhs_t, opc) == offsetof(ks_lcr_rh_t, opc));
static_assert(offsetof(ks_lcr_rhs_t, dlen) == 12);

// Column entry header, 24 bytes, followed by the NUL-terminated name and the value.
typedef struct __ks_lcr_ch_s {
  uint32_t alen;  // 24 + nlen + dlen
  uint32_t flag;  // KS_CH_*
  uint32_t ctyp;  // source data type code
  uint32_t clen;  // declared length
  uint32_t nlen;  // name length with its NUL
  uint32_t dlen;  // value length
} ks_lcr_ch_t;

static_assert(sizeof(ks_lcr_ch_t) == 24);
static_assert(offsetof(ks_lcr_ch_t, alen) == 0);
static_assert(offsetof(ks_lcr_ch_t, flag) == 4);
static_assert(offsetof(ks_lcr_ch_t, ctyp) == 8);
static_assert(offsetof(ks_lcr_ch_t, clen) == 12);
static_assert(offsetof(ks_lcr_ch_t, nlen) == 16);
static_assert(offsetof(ks_lcr_ch_t, dlen) == 20);

// Sizes and limits of the format.
constexpr uint32_t KS_TRAIL_FH_SZ = 64;
constexpr uint32_t KS_LCR_TH_SZ = 32;
constexpr uint32_t KS_LCR_RH_SZ = 96;
constexpr uint32_t KS_LCR_RHS_SZ = 16;
constexpr uint32_t KS_LCR_CH_SZ = 24;
constexpr uint32_t KS_TRAIL_MAX_SZ = 268435456;          // roll-over limit of one trail file
constexpr uint32_t KS_TRANS_REF_SZ = 1048576;            // from here a transaction goes by reference
constexpr uint64_t KS_SCN_OPEN = 0xFFFFFFFFFFFFFFFFULL;  // last_scn of a file being written
// Largest single record: a row of the widest table (1000 columns) with every value at
// its longest, both images of an update included, fits. A record this large lives only in
// the file of a transaction by reference (its transaction is past KS_TRANS_REF_SZ), so
// the readers of those files take records larger than the chunks they read in; a
// longer one is refused where it is collected, with its position logged and counted.
constexpr uint32_t KS_LCR_MAX_SZ = 67108864;  // 64 MiB

// Transaction flags.
constexpr uint32_t KS_TH_BYREF = 0x00000001;  // a path to the transaction file follows
constexpr uint32_t KS_TH_TAG = 0x00000002;
constexpr uint32_t KS_TH_DDL = 0x00000004;
constexpr uint32_t KS_TH_SELF = 0x00000008;  // never set by extract
constexpr uint32_t KS_TH_HEARTBEAT = 0x00000010;
constexpr uint32_t KS_TH_TRANS = 0x40000000;
constexpr uint32_t KS_TH_EOF = 0x80000000;

// Record flags.
constexpr uint32_t KS_RH_SYSOBJ = 0x00000001;
constexpr uint32_t KS_RH_HAS_LOB = 0x00000002;
constexpr uint32_t KS_RH_LOB102 = 0x00000004;
constexpr uint32_t KS_RH_LOB_LAST = 0x00000008;
constexpr uint32_t KS_RH_DDL_CT12 = 0x00000010;
constexpr uint32_t KS_RH_LONG_END = 0x00000020;
// The row INSERT or UPDATE built from a LOB operation's first locator vector: the
// rollback of that LOB operation cancels it with the operation's LOB records.
constexpr uint32_t KS_RH_FROM_LLB = 0x00000040;
constexpr uint32_t KS_RH_ROLLBACK = 0x00001000;
constexpr uint32_t KS_RH_DISCARD = 0x00100000;
constexpr uint32_t KS_RH_SHORT = 0x40000000;

// Column flags.
constexpr uint32_t KS_CH_NULL = 0x001;
constexpr uint32_t KS_CH_NATIONAL = 0x002;
constexpr uint32_t KS_CH_PK = 0x004;
constexpr uint32_t KS_CH_UK = 0x008;
constexpr uint32_t KS_CH_DYNAMIC = 0x010;
constexpr uint32_t KS_CH_EMPTY_LOB = 0x100;
constexpr uint32_t KS_CH_LOB_DATA = 0x200;

// Operation codes.
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
  KS_OPC_LOB_ROLLBACK = 50,
  KS_OPC_OUT_LOB_ROLLBACK = 51,
  KS_OPC_INDEX_INSERT = 61,
  KS_OPC_INDEX_UPDATE = 62,
  KS_OPC_INDEX_DELETE = 63,
};

// Source data type codes.
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
  KS_TYP_TIMESTAMP = 180,
  KS_TYP_TIMESTAMP_TZ = 181,
  KS_TYP_INTERVAL_YM = 182,
  KS_TYP_INTERVAL_DS = 183,
  KS_TYP_TIMESTAMP_LTZ = 231,
};

// Field access at any byte position of an image.
inline uint32_t ks_lcr_u32(const void *rec, size_t off) {
  return ks::load<uint32_t>(static_cast<const uint8_t *>(rec) + off);
}
inline uint64_t ks_lcr_u64(const void *rec, size_t off) {
  return ks::load<uint64_t>(static_cast<const uint8_t *>(rec) + off);
}
inline void ks_lcr_set_u32(void *rec, size_t off, uint32_t v) {
  ks::store<uint32_t>(static_cast<uint8_t *>(rec) + off, v);
}
inline void ks_lcr_set_u64(void *rec, size_t off, uint64_t v) {
  ks::store<uint64_t>(static_cast<uint8_t *>(rec) + off, v);
}
template <typename T>
inline T ks_lcr_load(const void *p) {
  return ks::load<T>(p);
}
template <typename T>
inline void ks_lcr_store(void *p, const T &v) {
  std::memcpy(p, &v, sizeof v);
}

// Whether a transaction header's length can be that of a transaction in a trail file: at
// least the header, and below the size from which a transaction goes by reference (its
// image stays in its own file then, and the trail holds the header and the path).
inline bool ks_trail_tlen_ok(uint32_t tlen) { return tlen >= KS_LCR_TH_SZ && tlen < KS_TRANS_REF_SZ; }

// One column entry of a row image or of quick-insert descriptors at pos of a record of
// rlen bytes: the entry lies inside the record, alen is exactly header, name and value,
// and the name is non-empty with its only NUL at its end. Returns the entry length, or 0
// with *why set.
inline uint32_t ks_trail_check_column(const uint8_t *rec, uint32_t rlen, uint32_t pos, const char **why) {
  if (pos > rlen || rlen - pos < KS_LCR_CH_SZ) {
    *why = "column entry runs past the record";
    return 0;
  }
  const uint32_t alen = ks_lcr_u32(rec, pos), nlen = ks_lcr_u32(rec, pos + 16), dlen = ks_lcr_u32(rec, pos + 20);
  if (alen > rlen - pos) {
    *why = "column entry length runs past the record";
    return 0;
  }
  if (uint64_t{KS_LCR_CH_SZ} + nlen + dlen != alen) {
    *why = "column name and value lengths do not match the column entry length";
    return 0;
  }
  const uint8_t *name = rec + pos + KS_LCR_CH_SZ;
  if (nlen < 2 || std::memchr(name, 0, nlen) != name + nlen - 1) {
    *why = "column name empty or not terminated";
    return 0;
  }
  return alen;
}

// The column entries of a row change fill its full record exactly, as extract writes them:
// INSERT the new image, UPDATE the new image up to opos and the old image from there
// (opos unused without an old image), DELETE the old image (opos 96, or 0 from older
// writers), quick insert its descriptors (no values) and then nnew rows of nold 2-byte
// prefixed values. Other operations are not looked into. rec at the record, rlen its
// length (at least 96, as ks_trail_check_records makes sure). Every reader that takes
// the columns of a row change (apply, the trail printer) runs it first. Returns 0, or -1
// with *bad_off (from rec) and *why set.
inline int ks_trail_check_row(const uint8_t *rec, uint32_t rlen, uint32_t *bad_off, const char **why) {
  const uint32_t opc = ks_lcr_u32(rec, 8), nnew = ks_lcr_u32(rec, 12), nold = ks_lcr_u32(rec, 16);
  uint32_t opos = ks_lcr_u32(rec, 20);
  uint32_t pos = KS_LCR_RH_SZ;
  // Walks n entries from pos; false with *bad_off set when one is damaged.
  auto walk = [&](uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
      uint32_t alen = ks_trail_check_column(rec, rlen, pos, why);
      if (alen == 0) {
        *bad_off = pos;
        return false;
      }
      pos += alen;
    }
    return true;
  };
  auto ends_at = [&](uint32_t end, const char *what) {
    if (pos == end) return true;
    *bad_off = pos;
    *why = what;
    return false;
  };
  switch (opc) {
    case KS_OPC_INSERT:
      return walk(nnew) && ends_at(rlen, "bytes left after the new image") ? 0 : -1;
    case KS_OPC_UPDATE:
      if (!walk(nnew)) return -1;
      if (nold == 0) return ends_at(rlen, "bytes left after the new image") ? 0 : -1;
      return ends_at(opos, "new image does not end at the old-image offset") && walk(nold) &&
                     ends_at(rlen, "bytes left after the old image")
                 ? 0
                 : -1;
    case KS_OPC_DELETE:
      if (opos == 0) opos = KS_LCR_RH_SZ;
      if (nnew != 0 || opos != KS_LCR_RH_SZ) {
        *bad_off = 12;
        *why = "delete carries a new image";
        return -1;
      }
      return walk(nold) && ends_at(rlen, "bytes left after the old image") ? 0 : -1;
    case KS_OPC_QMI: {
      if (!walk(nold)) return -1;
      for (uint32_t i = 0, at = KS_LCR_RH_SZ; i < nold; i++) {
        if (ks_lcr_u32(rec, at + 20) != 0) {
          *bad_off = at;
          *why = "quick-insert descriptor carries a value";
          return -1;
        }
        at += ks_lcr_u32(rec, at);
      }
      if (nold == 0) return ends_at(rlen, "quick-insert rows without descriptors") ? 0 : -1;
      for (uint32_t row = 0; row < nnew; row++)
        for (uint32_t i = 0; i < nold; i++) {
          if (rlen - pos < 2 || ks::load<uint16_t>(rec + pos) > rlen - pos - 2) {
            *bad_off = pos;
            *why = "quick-insert row value runs past the record";
            return -1;
          }
          pos += 2u + ks::load<uint16_t>(rec + pos);
        }
      return ends_at(rlen, "bytes left after the quick-insert rows") ? 0 : -1;
    }
    default:
      return 0;
  }
}

// Checks that the nlcr records of an in-line transaction image fill it exactly: each record
// is at least a short header long, no record runs past the end, and a record's own
// counts stay inside it. The column entries are left to the readers that interpret them
// (ks_trail_check_row). img points at the 32-byte header, tlen is the image length.
// Returns 0, or -1 with *bad_off (offset from img) and *why set. The check is what every
// reader of untrusted trail bytes runs before it interprets a transaction.
inline int ks_trail_check_records(const uint8_t *img, uint32_t tlen, uint32_t nlcr, uint32_t *bad_off,
                                  const char **why) {
  uint32_t off = KS_LCR_TH_SZ;
  for (uint32_t i = 0; i < nlcr; i++) {
    if (tlen - off < 12) {
      *bad_off = off;
      *why = "record header runs past the transaction";
      return -1;
    }
    uint32_t rlen = ks_lcr_u32(img, off);
    if (rlen < KS_LCR_RHS_SZ) {
      *bad_off = off;
      *why = "record length below 16";
      return -1;
    }
    if (rlen > tlen - off) {
      *bad_off = off;
      *why = "record length runs past the transaction";
      return -1;
    }
    uint32_t flag = ks_lcr_u32(img, off + 4);
    if (flag & KS_RH_SHORT) {
      if (KS_LCR_RHS_SZ + static_cast<uint64_t>(ks_lcr_u32(img, off + 12)) > rlen) {
        *bad_off = off;
        *why = "short record data runs past the record";
        return -1;
      }
    } else if (rlen < KS_LCR_RH_SZ) {
      *bad_off = off;
      *why = "record length below 96";
      return -1;
    }
    off += rlen;
  }
  if (off != tlen) {
    *bad_off = off;
    *why = "bytes left after the last record";
    return -1;
  }
  return 0;
}
