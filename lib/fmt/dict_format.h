// The dictionary file and the loaded dictionary block: the one declaration of their
// records, shared by the exporter, the loader, DDL tracing and schemacat.
//
// File layout (integers in host byte order, names 32 bytes NUL-padded):
//   0                      file header ks_dict_fhd_t (40 bytes)
//   40                     nsch schema records (40 bytes each)
//   ... zero up to 8192
//   8192                   ntab table records (56 bytes each), ascending objn
//   8192 + 56 * ntab       ncol column records (56 bytes each)
//   then                   nmap map records (128 bytes each)
//   then                   nseq sequence records (48 bytes each), ascending objn
// Every record size is a multiple of 8 and every area starts on a multiple of 8, so the
// records are read and written as whole aligned arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// File areas.
constexpr uint32_t KS_DICT_FHD_SZ = 40;
constexpr uint32_t KS_DICT_SCH_OFS = 40;
constexpr uint32_t KS_DICT_TAB_OFS = 8192;  // also the size of the header area
constexpr uint32_t KS_DICT_MAX_SCH = 128;   // schema records the exporter accepts
constexpr uint32_t KS_DICT_NAME_SZ = 32;

// File header flag.
constexpr uint32_t KS_DICT_IOT = 0x100;  // an index-organised table is captured

// Schema flags.
constexpr uint32_t KS_SCH_ALL = 0x1;   // the whole schema is captured
constexpr uint32_t KS_SCH_MAP = 0x10;  // mpi names a schema-level map record

// Table flags.
constexpr uint32_t KS_TAB_LOB = 0x000001;  // has a CLOB or BLOB column
constexpr uint32_t KS_TAB_IOT = 0x000008;  // index-organised
// Primary-key columns of an index-organised table that capture decodes; the export
// refuses a captured table with more.
constexpr int KS_DICT_IOT_MAX_KEYS = 31;
constexpr uint32_t KS_TAB_MAP = 0x000010;        // mpi names a table-level map record
constexpr uint32_t KS_TAB_ALIAS = 0x001000;      // segment of the table whose objn is in ncol
constexpr uint32_t KS_TAB_SYSOBJ = 0x010000;     // data dictionary table, feeds DDL tracing
constexpr uint32_t KS_TAB_NOCAPTURE = 0x100000;  // excluded or dropped: lookups skip it

// Column flags.
constexpr uint32_t KS_COL_NOTNULL = 0x000001;
constexpr uint32_t KS_COL_DEFAULT = 0x000002;
constexpr uint32_t KS_COL_PK = 0x000004;
constexpr uint32_t KS_COL_UK = 0x000008;
constexpr uint32_t KS_COL_NCHAR = 0x000010;
constexpr uint32_t KS_COL_SECUREFILE = 0x000020;
constexpr uint32_t KS_COL_NOCAPTURE = 0x100000;  // unused or dropped column

// Oracle col$ type# values the exporter tests.
constexpr uint32_t KS_TYPE_CLOB = 112;
constexpr uint32_t KS_TYPE_BLOB = 113;

typedef struct __ks_dict_fhd_s {
  uint32_t flag;
  uint32_t rsv1;  // checkpoint generation it was written with (0: as exported)
  uint64_t scn;
  uint32_t nsch;
  uint32_t ntab;
  uint32_t ncol;
  uint32_t nmap;
  uint32_t nseq;
  uint32_t seqn;  // object number of SEQ$, 0 when not exported
} ks_dict_fhd_t;

typedef struct __ks_dict_sch_s {
  uint32_t flag;
  uint32_t mpi;
  char name[KS_DICT_NAME_SZ];
} ks_dict_sch_t;

typedef struct __ks_dict_tab_s {
  uint32_t flag;
  uint32_t objn;
  uint32_t ui;    // index of the owning schema record
  uint32_t ncol;  // columns; for an alias entry the owning table's objn
  uint32_t cidx;  // index of the first column record
  uint32_t mpi;
  char name[KS_DICT_NAME_SZ];
} ks_dict_tab_t;

typedef struct __ks_dict_col_s {
  uint32_t flag;
  uint32_t cid;   // col#
  uint32_t scid;  // segcol#: position in the stored row
  uint32_t ctyp;  // type#
  uint32_t clen;
  uint32_t rsv;
  char name[KS_DICT_NAME_SZ];
} ks_dict_col_t;

typedef struct __ks_dict_map_s {
  char schema[KS_DICT_NAME_SZ];
  char map_schema[KS_DICT_NAME_SZ];
  char table[KS_DICT_NAME_SZ];
  char map_table[KS_DICT_NAME_SZ];
} ks_dict_map_t;

typedef struct __ks_dict_seq_s {
  uint32_t flag;
  uint32_t ui;
  uint32_t objn;
  uint32_t rsv;
  char name[KS_DICT_NAME_SZ];
} ks_dict_seq_t;

// Header of a dictionary loaded into shared memory; it follows 8 zero bytes at the start
// of the block. flag: 0x100 from the file, 0x1 dirty. status: 1 while DDL tracing edits.
constexpr uint32_t KS_DICT_DIRTY = 0x1;
constexpr uint32_t KS_DICT_LEAD_SZ = 8;
typedef struct __ks_dict_hdr_s {
  uint32_t flag;
  uint32_t status;
  uint32_t max_sch;
  uint32_t nsch;
  uint32_t max_tab;
  uint32_t ntab;
  uint32_t max_col;
  uint32_t ncol;
  uint32_t max_seq;
  uint32_t nseq;
  uint32_t nmap;
  uint32_t seqn;
} ks_dict_hdr_t;

static_assert(sizeof(ks_dict_fhd_t) == 40);
static_assert(offsetof(ks_dict_fhd_t, flag) == 0);
static_assert(offsetof(ks_dict_fhd_t, rsv1) == 4);
static_assert(offsetof(ks_dict_fhd_t, scn) == 8);
static_assert(offsetof(ks_dict_fhd_t, nsch) == 16);
static_assert(offsetof(ks_dict_fhd_t, ntab) == 20);
static_assert(offsetof(ks_dict_fhd_t, ncol) == 24);
static_assert(offsetof(ks_dict_fhd_t, nmap) == 28);
static_assert(offsetof(ks_dict_fhd_t, nseq) == 32);
static_assert(offsetof(ks_dict_fhd_t, seqn) == 36);

static_assert(sizeof(ks_dict_sch_t) == 40);
static_assert(offsetof(ks_dict_sch_t, mpi) == 4);
static_assert(offsetof(ks_dict_sch_t, name) == 8);

static_assert(sizeof(ks_dict_tab_t) == 56);
static_assert(offsetof(ks_dict_tab_t, objn) == 4);
static_assert(offsetof(ks_dict_tab_t, ui) == 8);
static_assert(offsetof(ks_dict_tab_t, ncol) == 12);
static_assert(offsetof(ks_dict_tab_t, cidx) == 16);
static_assert(offsetof(ks_dict_tab_t, mpi) == 20);
static_assert(offsetof(ks_dict_tab_t, name) == 24);

static_assert(sizeof(ks_dict_col_t) == 56);
static_assert(offsetof(ks_dict_col_t, cid) == 4);
static_assert(offsetof(ks_dict_col_t, scid) == 8);
static_assert(offsetof(ks_dict_col_t, ctyp) == 12);
static_assert(offsetof(ks_dict_col_t, clen) == 16);
static_assert(offsetof(ks_dict_col_t, rsv) == 20);
static_assert(offsetof(ks_dict_col_t, name) == 24);

static_assert(sizeof(ks_dict_map_t) == 128);
static_assert(offsetof(ks_dict_map_t, map_schema) == 32);
static_assert(offsetof(ks_dict_map_t, table) == 64);
static_assert(offsetof(ks_dict_map_t, map_table) == 96);

static_assert(sizeof(ks_dict_seq_t) == 48);
static_assert(offsetof(ks_dict_seq_t, ui) == 4);
static_assert(offsetof(ks_dict_seq_t, objn) == 8);
static_assert(offsetof(ks_dict_seq_t, rsv) == 12);
static_assert(offsetof(ks_dict_seq_t, name) == 16);

static_assert(sizeof(ks_dict_hdr_t) == 48);
static_assert(offsetof(ks_dict_hdr_t, status) == 4);
static_assert(offsetof(ks_dict_hdr_t, max_sch) == 8);
static_assert(offsetof(ks_dict_hdr_t, nsch) == 12);
static_assert(offsetof(ks_dict_hdr_t, max_tab) == 16);
static_assert(offsetof(ks_dict_hdr_t, ntab) == 20);
static_assert(offsetof(ks_dict_hdr_t, max_col) == 24);
static_assert(offsetof(ks_dict_hdr_t, ncol) == 28);
static_assert(offsetof(ks_dict_hdr_t, max_seq) == 32);
static_assert(offsetof(ks_dict_hdr_t, nseq) == 36);
static_assert(offsetof(ks_dict_hdr_t, nmap) == 40);
static_assert(offsetof(ks_dict_hdr_t, seqn) == 44);

// The schema records must fit below the table area.
static_assert(KS_DICT_SCH_OFS + sizeof(ks_dict_sch_t) * KS_DICT_MAX_SCH <= KS_DICT_TAB_OFS);

// Byte offsets of the areas after the tables, for a file with these counts.
constexpr uint64_t ks_dict_col_ofs(uint64_t ntab) { return KS_DICT_TAB_OFS + sizeof(ks_dict_tab_t) * ntab; }
constexpr uint64_t ks_dict_map_ofs(uint64_t ntab, uint64_t ncol) {
  return ks_dict_col_ofs(ntab) + sizeof(ks_dict_col_t) * ncol;
}
constexpr uint64_t ks_dict_seq_ofs(uint64_t ntab, uint64_t ncol, uint64_t nmap) {
  return ks_dict_map_ofs(ntab, ncol) + sizeof(ks_dict_map_t) * nmap;
}
constexpr uint64_t ks_dict_file_size(uint64_t ntab, uint64_t ncol, uint64_t nmap, uint64_t nseq) {
  return ks_dict_seq_ofs(ntab, ncol, nmap) + sizeof(ks_dict_seq_t) * nseq;
}

// Checks the header counts against the file size: a count the file cannot hold means a
// damaged header (or a cut file). Returns 0, or -1 with msg set to "dictionary damaged at
// header (offset 16): <why>".
inline int ks_dict_check_header(const ks_dict_fhd_t &fh, uint64_t file_size, char *msg, size_t n) {
  const uint64_t need = ks_dict_file_size(fh.ntab, fh.ncol, fh.nmap, fh.nseq);
  if (fh.nsch >= KS_DICT_MAX_SCH)
    snprintf(msg, n, "dictionary damaged at header (offset %zu): %u schemas, at most %u", offsetof(ks_dict_fhd_t, nsch),
             fh.nsch, KS_DICT_MAX_SCH - 1);
  else if (file_size < need)
    snprintf(msg, n,
             "dictionary damaged at header (offset %zu): schemas %u, tables %u, columns %u, maps %u, sequences %u "
             "need %llu bytes, file has %llu",
             offsetof(ks_dict_fhd_t, nsch), fh.nsch, fh.ntab, fh.ncol, fh.nmap, fh.nseq,
             static_cast<unsigned long long>(need), static_cast<unsigned long long>(file_size));
  else
    return 0;
  return -1;
}

// Checks every index and count stored in the records of a whole file against the header
// counts of the areas they point into: the decoder follows them without further checks.
// Alias entries keep the owning table's objn in ncol and use neither ui nor cidx.
// Returns 0, or -1 with msg set to "dictionary damaged at <kind> <index> (offset <file
// offset of the record>): <why>". The loader and schemacat both run it.
inline int ks_dict_check_records(const ks_dict_fhd_t &fh, const ks_dict_sch_t *sch, const ks_dict_tab_t *tab,
                                 const ks_dict_seq_t *seq, char *msg, size_t n) {
  char why[96];
  auto fail = [&](const char *kind, uint32_t i, uint64_t ofs) {
    snprintf(msg, n, "dictionary damaged at %s %u (offset %llu): %s", kind, i, static_cast<unsigned long long>(ofs),
             why);
    return -1;
  };
  for (uint32_t i = 0; i < fh.nsch; i++) {
    const ks_dict_sch_t &s = sch[i];
    if ((s.flag & KS_SCH_MAP) && s.mpi >= fh.nmap) {
      snprintf(why, sizeof why, "map index %u, the file has %u map records", s.mpi, fh.nmap);
      return fail("schema", i, KS_DICT_SCH_OFS + uint64_t{sizeof(ks_dict_sch_t)} * i);
    }
  }
  for (uint32_t i = 0; i < fh.ntab; i++) {
    const ks_dict_tab_t &t = tab[i];
    if (t.flag & KS_TAB_ALIAS) continue;
    if (t.ui >= fh.nsch) {
      snprintf(why, sizeof why, "schema index %u, the file has %u schemas", t.ui, fh.nsch);
    } else if (t.cidx > fh.ncol || t.ncol > fh.ncol - t.cidx) {
      snprintf(why, sizeof why, "first column %u and %u columns, the file has %u columns", t.cidx, t.ncol, fh.ncol);
    } else if ((t.flag & KS_TAB_MAP) && t.mpi >= fh.nmap) {
      snprintf(why, sizeof why, "map index %u, the file has %u map records", t.mpi, fh.nmap);
    } else {
      continue;
    }
    return fail("table", i, KS_DICT_TAB_OFS + uint64_t{sizeof(ks_dict_tab_t)} * i);
  }
  for (uint32_t i = 0; i < fh.nseq; i++) {
    if (seq[i].ui >= fh.nsch) {
      snprintf(why, sizeof why, "schema index %u, the file has %u schemas", seq[i].ui, fh.nsch);
      return fail("sequence", i, ks_dict_seq_ofs(fh.ntab, fh.ncol, fh.nmap) + uint64_t{sizeof(ks_dict_seq_t)} * i);
    }
  }
  return 0;
}
