// Internals of the dictionary export, shared by its steps (exp_*.cpp) and the tests.
//
// The export is a row-processing core over a thin query layer: each step runs catalogue
// queries through ks_dict_query and turns the rows into schema, table, column and sequence
// records in the 8 MiB work buffer. The production query layer runs the statements through
// the database access layer; tests supply rows from a catalogue of their own.
//
// Work buffer: [0, 8192) file header and schema records; then the table area (max_tab
// records), the column area (max_col records); the last 2 MiB is the fetch buffer. When the
// table or column area is full its records go to a temporary file and the area restarts;
// after the walk everything is read back into one (possibly grown) buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "extract/dict/dict.h"

// One bound value or one fetched column: a number or a name (NUL-terminated, cut to 31).
constexpr int KS_DQ_NUM = 0;
constexpr int KS_DQ_NAME = 1;
typedef struct __ks_dict_val_s {
  int kind;
  int64_t num;
  char str[KS_DICT_NAME_SZ];
} ks_dict_val_t;
ks_dict_val_t ks_dict_num(int64_t v);
ks_dict_val_t ks_dict_name(const char *s);

// Failure stages of a query; the export logs the matching message with message().
constexpr int KS_DQ_EROW = -1;  // the row handler failed (it logged why)
constexpr int KS_DQ_EPREPARE = -2;
constexpr int KS_DQ_EDEFINE = -3;
constexpr int KS_DQ_EBIND = -4;
constexpr int KS_DQ_EEXECUTE = -5;
constexpr int KS_DQ_EFETCH = -6;

typedef int (*ks_dict_row_fn)(void *ctx, const ks_dict_val_t *row);

// The query layer. run() executes sql with the binds, fetches every row with the result
// columns typed by kinds, and calls fn per row (fn returning -1 stops the query).
// buf/bsz is the fetch buffer inside the work buffer, set by the export before each run.
class ks_dict_query {
 public:
  virtual ~ks_dict_query() = default;
  virtual int run(const char *sql, const ks_dict_val_t *binds, int nbind, const int *kinds, int ncol, ks_dict_row_fn fn,
                  void *ctx) = 0;
  virtual const char *message() = 0;
  uint8_t *buf = nullptr;
  size_t bsz = 0;
};

// The component's include, exclude and mapping items, in configuration order.
constexpr uint32_t KS_DICT_ITEM_ALL = 0x1;  // the item's table is "*"
typedef struct __ks_dict_item_s {
  uint32_t flag;
  char schema[KS_DICT_NAME_SZ];
  char table[KS_DICT_NAME_SZ];
  char map_schema[KS_DICT_NAME_SZ];
  char map_table[KS_DICT_NAME_SZ];
} ks_dict_item_t;
typedef struct __ks_dict_sets_s {
  std::vector<ks_dict_item_t> inc, exc, map;
} ks_dict_sets_t;

// Reads the component's sets from the configuration file; 0 or -1.
int ks_dict_read_sets(const char *unit, const char *name, ks_dict_sets_t *sets);

constexpr size_t KS_DICT_WORK_SZ = 8388608;
constexpr size_t KS_DICT_FETCH_SZ = 2097152;
constexpr uint32_t KS_DICT_EXP_MAX_TAB = 2000;
constexpr uint32_t KS_DICT_EXP_MAX_COL = (6291456 - 8192 - 112000) / 56;
static_assert(KS_DICT_EXP_MAX_COL == 110201);

typedef struct __ks_dict_exp_s {
  uint32_t flag;  // KS_DICT_IOT when an index-organised table is captured
  int fd;         // the dictionary file being written
  int tfd, cfd;   // temporary table and column files, -1 when not open
  uint64_t tofs, cofs;
  uint32_t max_sch, max_tab, max_col;
  uint32_t itab, icol;                    // records in the areas, not yet flushed
  uint32_t nsch, ntab, ncol, nseq, nmap;  // totals (ntab/ncol: flushed, until the read-back)
  uint32_t rsz;
  uint32_t seqn;
  ks_dict_query *q;
  uint8_t *base;
  size_t bsz;
  ks_dict_tab_t *tab;
  ks_dict_col_t *col;
  uint8_t *rbuf;
  char tpath[512], cpath[512];
} ks_dict_exp_t;

// Table areas of the work state. Global index of the next record = ntab + itab (tables),
// ncol + icol (columns); the returned record is zeroed.
inline ks_dict_sch_t *ks_dict_exp_sch(ks_dict_exp_t *exp) {
  return reinterpret_cast<ks_dict_sch_t *>(exp->base + KS_DICT_SCH_OFS);
}
ks_dict_tab_t *ks_dict_exp_add_table(ks_dict_exp_t *exp);
ks_dict_col_t *ks_dict_exp_add_column(ks_dict_exp_t *exp);
// Flush the column area unless n more columns fit; 0 or -1.
int ks_dict_exp_room_columns(ks_dict_exp_t *exp, uint32_t n);
// Index of the schema record named name, or -1; add one with flag (-1 when full).
int ks_dict_exp_find_schema(ks_dict_exp_t *exp, const char *name);
int ks_dict_exp_add_schema(ks_dict_exp_t *exp, const char *name, uint32_t flag);

// Runs one catalogue query and logs a failure with the step's messages (bind_err names
// the bind). f is called per row with the fetched columns.
int ks_dict_exp_run_raw(ks_dict_exp_t *exp, const char *sql, std::initializer_list<ks_dict_val_t> binds,
                        std::initializer_list<int> kinds, const char *bind_err, ks_dict_row_fn fn, void *ctx);
template <class F>
int ks_dict_exp_run(ks_dict_exp_t *exp, const char *sql, std::initializer_list<ks_dict_val_t> binds,
                    std::initializer_list<int> kinds, const char *bind_err, F &&f) {
  auto thunk = [](void *ctx, const ks_dict_val_t *row) -> int { return (*static_cast<F *>(ctx))(row); };
  return ks_dict_exp_run_raw(exp, sql, binds, kinds, bind_err, thunk, &f);
}

// Column record from a col$ row laid out as (col#, segcol#, type#, length, charsetform,
// name, deflength, null$, property), starting at row[first].
void ks_dict_exp_fill_column(ks_dict_col_t *c, const ks_dict_val_t *row);

// Export steps.
int ks_export_sys_objects(ks_dict_exp_t *exp);
int ks_export_schema(ks_dict_exp_t *exp, const char *schema);
int ks_export_table(ks_dict_exp_t *exp, const char *schema, const char *table);
int ks_export_pk_uk(ks_dict_exp_t *exp, const char *schema);
int ks_export_secure_lob(ks_dict_exp_t *exp);
int ks_export_sequence(ks_dict_exp_t *exp, uint32_t ui, const char *schema);
int ks_table_compare(const void *a, const void *b);
int ks_sequence_compare(const void *a, const void *b);

// The whole export through a given query layer and sets into path (the dictionary file);
// 0 or -1. ks_export_dict is this over the database session and the configuration file.
int ks_export_dict_run(ks_dict_query *q, const ks_dict_sets_t *sets, const char *path);
// Index of the column with col# cid among the table's columns in memory, or -1.
int ks_dict_exp_find_cid(ks_dict_exp_t *exp, const ks_dict_tab_t *t, uint32_t cid);

// The system objects exported as tables of SYS.
extern const char x_sysobj_name[13][16];
