// The dictionary of the captured schemas as the capture process uses it: export from the
// source at the first start, load into one shared-memory block, attach, look up tables by
// object number and columns by segment column id, and write back after DDL.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/fmt/dict_format.h"

typedef struct __ks_oci_ses_s ks_oci_ses_t;

// Process handle of a loaded dictionary; the pointers address the shared block.
typedef struct __ks_dict_s {
  uint32_t flag;  // KS_DICT_IOT when the header has it
  uint32_t rsv;
  uint8_t *base;  // start of the block (8 lead bytes, then the header)
  ks_dict_hdr_t *hdr;
  ks_dict_sch_t *sch;
  ks_dict_tab_t *tab;
  ks_dict_col_t *col;
  ks_dict_seq_t *seq;
  ks_dict_map_t *map;
} ks_dict_t;

// The process's dictionary (reached as ex->d by the capture steps).
extern ks_dict_t x_dict;

// Export the component's dictionary file from the source unless it exists; 0 or -1.
int ks_export_dict(ks_oci_ses_t *se, char *unit, char *name);

// Load <home>dict/<unit>/<name>.dict into a new shared block and publish its position in
// the component's configuration record; 0 or -1.
int ks_load_dict(char *unit, char *name);
int ks_set_dictionary_position(int sno, int offset);
// Release the block this process loaded (at its exit), withdrawing the published position
// when it still names the block; 0 or -1.
int ks_unload_dict(ks_dict_t *dictp);
// Attach to the component's published block; 0 or -1.
int ks_open_dict(ks_dict_t *dictp);

// Index of the captured table with that object number (alias entries resolve to their
// table), or -1. Waits while another process edits the dictionary.
int ks_lookup_table(ks_dict_t *dict, int objn);
// The same search over max_tab records, without waiting.
int ks_lookup_table_simple(ks_dict_tab_t *pt, int max_tab, int objn);
// Index within the table's max_col columns from col of the column with segment column id
// scid, or -1.
int ks_get_column(ks_dict_col_t *col, int max_col, int scid);
// Write the dictionary back to its file when dirty; 0 or -1.
int ks_sync_dict(ks_dict_t *dict);

// --- Block building blocks, shared by the shared-memory load, DDL tracing and tests ---

// Capacities of a block for a file with these counts (room for DDL).
typedef struct __ks_dict_cap_s {
  uint32_t max_sch, max_tab, max_col, max_seq;
} ks_dict_cap_t;
void ks_dict_capacity(const ks_dict_fhd_t *fh, ks_dict_cap_t *cap);
// Bytes of a block with these capacities and nmap map records.
uint64_t ks_dict_block_size(const ks_dict_cap_t *cap, uint32_t nmap);

// Read the dictionary file at path into a block obtained from alloc (which returns null
// on failure); on failure the block is released with release and -1 returned.
typedef void *(*ks_dict_alloc_fn)(size_t size);
typedef void (*ks_dict_free_fn)(void *p);
int ks_dict_load_block(const char *path, ks_dict_alloc_fn alloc, ks_dict_free_fn release, uint8_t **blockp);
// Fill the handle from a block's start.
void ks_dict_attach(uint8_t *base, ks_dict_t *dictp);
// Write the loaded dictionary to path when dirty (ks_sync_dict names the component's file).
int ks_dict_write_file(ks_dict_t *dict, const char *path);

// --- Changing a loaded dictionary (DDL tracing) ---
//
// The header's status word is a sequence count shared by every process of the component:
// odd while one process changes the block, even otherwise, and counting up with every
// change. A lookup that read an odd count, or a different count after its search, searches
// again; a writer takes the block by moving an even count to odd.

// Takes the block for a change (waits while another process holds it) and keeps a copy of
// the block so that a change that cannot be completed is taken back whole.
typedef struct __ks_dict_change_s {
  uint8_t *copy;  // the header and every area as they were
  uint64_t size;
} ks_dict_change_t;
int ks_dict_begin_change(ks_dict_t *dict, ks_dict_change_t *chg);
// Ends the change: keep (the records as changed) or put back the copy; releases the block.
void ks_dict_end_change(ks_dict_t *dict, ks_dict_change_t *chg, bool keep);
// Index of the record with that object number (alias and dropped ones included), or -1.
int ks_dict_find_objn(const ks_dict_t *dict, uint32_t objn);
// Inserts a table record in object-number order; 0, or -1 when the table area is full.
int ks_dict_insert_table(ks_dict_t *dict, const ks_dict_tab_t *tab);
// Writes the dictionary, when changed, with the checkpoint generation gen in the file
// header: the file it replaces stays as "<name>.prev" until the next write, since the
// checkpoint that names gen is written after it. 0 / -1 (the block stays changed).
int ks_dict_checkpoint(ks_dict_t *dict, uint32_t gen);
// The dictionary file that belongs to checkpoint generation gen (0: any): the current
// file unless it was written by a later save, then the previous one. path[n] receives the
// name; 0, or -1 when neither belongs to the checkpoint.
int ks_dict_choose_file(const char *unit, const char *name, uint32_t gen, char *path, size_t n);
// In the process that loaded the dictionary, once the checkpoint is read: replaces the
// loaded block by the file of checkpoint generation gen when the one loaded is later (a
// crash came between its write and the checkpoint). 0 / -1.
int ks_dict_match_checkpoint(ks_dict_t *dictp, uint32_t gen);
