// DDL tracing's own pieces: reading the data dictionary rows a DDL transaction carries,
// and the handlers that bring the loaded dictionary in step with them. Handlers run with
// the block taken (ks_dict_begin_change) and return 0 or -1; on -1 the caller puts the
// block back as it was, so a handler may stop half-way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "extract/dict/dict.h"
#include "extract/trans/trans.h"

// One system-table row change of the transaction image: a full record of SYS.<table>.
typedef struct __ks_sysrow_s {
  const uint8_t *rec;
  uint32_t rlen;
  uint32_t opc;
} ks_sysrow_t;

// Which image a value is taken from: the new one (inserts, updates), the old one
// (deletes, the before-values of updates), or the new one and failing that the old one.
enum ks_img_t { KS_IMG_NEW, KS_IMG_OLD, KS_IMG_ANY };

// Calls f(row) for each row change of SYS.<table> in the image, in order, until f returns
// false.
template <typename F>
void ks_sysrows(const ks_lcr_th_t *thdr, const char *table, F f) {
  const auto *img = reinterpret_cast<const uint8_t *>(thdr);
  const uint32_t tlen = ks_lcr_u32(img, 0), nlcr = ks_lcr_u32(img, 8);
  uint64_t pos = KS_LCR_TH_SZ;
  for (uint32_t i = 0; i < nlcr && pos + KS_LCR_RHS_SZ <= tlen; i++) {
    const uint32_t rlen = ks_lcr_u32(img, pos);
    if (rlen < KS_LCR_RHS_SZ || pos + rlen > tlen) return;
    const uint8_t *rec = img + pos;
    pos += rlen;
    if (rlen < KS_LCR_RH_SZ || !(ks_lcr_u32(rec, 4) & KS_RH_SYSOBJ) || (ks_lcr_u32(rec, 4) & KS_RH_SHORT)) continue;
    const char *ownr = reinterpret_cast<const char *>(rec) + offsetof(ks_lcr_rh_t, ownr);
    const char *onam = reinterpret_cast<const char *>(rec) + offsetof(ks_lcr_rh_t, onam);
    if (strncmp(ownr, "SYS", 32) != 0 || strncmp(onam, table, 32) != 0) continue;
    if (!f(ks_sysrow_t{rec, rlen, ks_lcr_u32(rec, 8)})) return;
  }
}

// The value of column name in the row's image: true with *v / *len (0 for a null), false
// when the image has no such column.
bool ks_sysrow_value(const ks_sysrow_t &r, ks_img_t img, const char *name, const uint8_t **v, uint32_t *len);
// A NUMBER column as an unsigned integer (0 when absent or null, all ones when negative
// or fractional), and a name column copied into a 32-byte field ("" when absent).
uint64_t ks_sysrow_num(const ks_sysrow_t &r, ks_img_t img, const char *name);
bool ks_sysrow_has(const ks_sysrow_t &r, ks_img_t img, const char *name);
void ks_sysrow_name(const ks_sysrow_t &r, ks_img_t img, const char *name, char out[32]);

// Database NUMBER bytes as integers: empty or zero 0, negative or below 1 all ones.
uint64_t ks_ora_num_to_u8(const uint8_t *num, uint32_t len);
uint32_t ks_ora_num_to_u4(const uint8_t *num, uint32_t len);

// Column records by segment column id.
int ks_column_compare(const void *a, const void *b);

// Index of the schema record named owner, or -1.
int ks_dict_schema_index(const ks_dict_t *d, const char *owner);

// Handlers.
int ks_trace_create_table(ks_extr_t *ex, ks_lcr_th_t *thdr, const char *owner);
int ks_trace_create_index(ks_extr_t *ex, ks_lcr_th_t *thdr);
int ks_trace_drop_index(ks_extr_t *ex, ks_lcr_th_t *thdr);
int ks_trace_create_sequence(ks_extr_t *ex, ks_lcr_th_t *thdr, const char *owner);
int ks_trace_drop_sequence(ks_extr_t *ex, ks_lcr_th_t *thdr);
int ks_trace_drop_table(ks_extr_t *ex, const uint8_t *ddl);
int ks_trace_alter_table_add(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl);
int ks_trace_alter_table_drop(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl);
int ks_trace_alter_table_modify(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl);
int ks_trace_alter_table_rename(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl);
int ks_trace_alter_table_set_unused(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl);
int ks_trace_alter_table_split_merge(ks_extr_t *ex, ks_lcr_th_t *thdr, const uint8_t *ddl);
// The key flags (primary key, unique) the constraint and unique-index rows of the
// transaction give columns of the table at index ti: set for inserts, cleared for deletes.
void ks_trace_key_flags(ks_dict_t *d, ks_lcr_th_t *thdr, uint32_t ti);
// Alias entries of table objn from the partition, sub-partition, IOT and LOB rows:
// inserted for inserts, marked not captured for deletes. 0 / -1.
int ks_trace_aliases(ks_dict_t *d, ks_lcr_th_t *thdr, uint32_t objn);
