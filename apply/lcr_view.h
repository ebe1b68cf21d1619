// Field access to the trail's records as the delivery process reads them (the layouts
// are those of the trail format header): trail file header, transaction header, LCR
// header and column entry. Records are packed and come from files, so every field is
// loaded through the host-order helpers at its offset, never through a cast, and every
// column entry is bounds-checked against its record before its name or value is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/bytes.h"
#include "lib/fmt/trail_format.h"

// Trail file header fields.
inline uint32_t ks_fh_fno(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_trail_fh_t, fno)); }
inline uint32_t ks_fh_tail(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_trail_fh_t, tail)); }
inline uint64_t ks_fh_first_scn(const uint8_t *p) { return ks::load<uint64_t>(p + offsetof(ks_trail_fh_t, first_scn)); }
inline uint64_t ks_fh_first_xid(const uint8_t *p) { return ks::load<uint64_t>(p + offsetof(ks_trail_fh_t, first_xid)); }
inline uint64_t ks_fh_last_scn(const uint8_t *p) { return ks::load<uint64_t>(p + offsetof(ks_trail_fh_t, last_scn)); }
inline uint64_t ks_fh_last_xid(const uint8_t *p) { return ks::load<uint64_t>(p + offsetof(ks_trail_fh_t, last_xid)); }
inline uint32_t ks_fh_chs_id(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_trail_fh_t, chs_id)); }
inline uint32_t ks_fh_nchs_id(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_trail_fh_t, nchs_id)); }
inline uint32_t ks_fh_lchs_id(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_trail_fh_t, lchs_id)); }

// Transaction header fields.
inline uint32_t ks_th_tlen(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_th_t, tlen)); }
inline uint32_t ks_th_flag(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_th_t, flag)); }
inline uint32_t ks_th_nlcr(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_th_t, nlcr)); }
inline uint32_t ks_th_csct(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_th_t, csct)); }
inline uint64_t ks_th_cscn(const uint8_t *p) { return ks::load<uint64_t>(p + offsetof(ks_lcr_th_t, cscn)); }
inline uint64_t ks_th_xid(const uint8_t *p) { return ks::load<uint64_t>(p + offsetof(ks_lcr_th_t, xid)); }

// LCR header fields; rlen, flag and opc sit at the same place in the short header.
inline uint32_t ks_rh_rlen(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_rh_t, rlen)); }
inline uint32_t ks_rh_flag(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_rh_t, flag)); }
inline uint32_t ks_rh_opc(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_rh_t, opc)); }
inline uint32_t ks_rh_nnew(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_rh_t, nnew)); }
inline uint32_t ks_rh_nold(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_rh_t, nold)); }
inline uint32_t ks_rh_opos(const uint8_t *p) { return ks::load<uint32_t>(p + offsetof(ks_lcr_rh_t, opos)); }
#define KS_RH_OWNR_OFS offsetof(ks_lcr_rh_t, ownr)
#define KS_RH_ONAM_OFS offsetof(ks_lcr_rh_t, onam)

// Owner or table name of an LCR, always NUL-terminated (a 32-byte field filled to the
// brim is cut at 31 characters).
void ks_rh_name(const uint8_t *rh, int ofs, char out[32]);
// Replace the owner or table name in the LCR itself (NUL-padded, at most 31 bytes).
void ks_rh_set_name(uint8_t *rh, int ofs, const char *name);

// One column entry, checked: name NUL-terminated inside the entry, value inside it.
struct ks_col_view {
  const uint8_t *ent;  // start of the 24-byte entry header
  const char *name;    // non-empty, NUL-terminated inside the entry
  const uint8_t *val;  // dlen bytes
  uint32_t alen, flag, ctyp, clen, nlen, dlen;
};

// Reads n consecutive column entries from rec + off, each inside the first rlen bytes
// of the record. with_values 0 reads descriptors whose dlen must be 0 (quick inserts).
// Returns the offset after the last entry, or -1 when an entry is malformed.
long ks_lcr_read_cols(const uint8_t *rec, uint32_t rlen, uint32_t off, uint32_t n, ks_col_view *out);

// Column classes in bind order.
inline bool ks_ct_is_lob(uint32_t t) { return t == KS_TYP_CLOB || t == KS_TYP_BLOB; }
inline bool ks_ct_is_long(uint32_t t) { return t == KS_TYP_LONG || t == KS_TYP_LONG_RAW; }
inline bool ks_ct_is_scalar(uint32_t t) { return !ks_ct_is_lob(t) && !ks_ct_is_long(t); }
