// Apply's error file, <home>error/<unit>/<component>_error.dat: one record per row (or
// LOB, LONG, DDL, sequence operation) the target refused or that matched nothing. A
// record is the header below, the database's message with its NUL, the failing LCR (for
// a quick insert only its header and column descriptors) and, for a quick insert, the
// failing row's values (2-byte length + bytes each). Host byte order; records are packed
// back to back, so a header may sit at any byte and is read and written only through
// ks_err_rec_load / ks_err_rec_store.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/bytes.h"

typedef struct __ks_err_rec_s {
  uint32_t elen;   // whole record, header included
  uint32_t flag;   // 0
  uint32_t ecode;  // database error number, 0 for errors found by apply itself
  uint32_t sct;    // commit time of the transaction
  uint64_t scn;    // commit SCN of the transaction
  uint64_t xid;    // transaction id
} ks_err_rec_t;

constexpr uint32_t KS_ERR_REC_SZ = 32;

static_assert(sizeof(ks_err_rec_t) == KS_ERR_REC_SZ);
static_assert(offsetof(ks_err_rec_t, elen) == 0);
static_assert(offsetof(ks_err_rec_t, flag) == 4);
static_assert(offsetof(ks_err_rec_t, ecode) == 8);
static_assert(offsetof(ks_err_rec_t, sct) == 12);
static_assert(offsetof(ks_err_rec_t, scn) == 16);
static_assert(offsetof(ks_err_rec_t, xid) == 24);

inline ks_err_rec_t ks_err_rec_load(const void *p) { return ks::load<ks_err_rec_t>(p); }
inline void ks_err_rec_store(void *p, const ks_err_rec_t &e) { ks::store(p, e); }
