// The chain buffer: redo records of the pieces of chained and migrated rows wait in the
// 4 MiB region (layout in lib/fmt/chain_format.h), grouped by the head piece's row id,
// until the assembler takes the whole row. A row whose records exceed 1 MiB, or that
// finds no room left in the region, moves to a spill data file and index file of its own.
// Nothing is refused while the disk takes writes: rows in progress beyond the header's
// 32 entries are kept in a table that grows, and are saved after the image in the
// information file. The region survives a stop through that file and the spill files.
// Only the parsing thread touches it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/fmt/chain_format.h"

typedef struct __ks_chain_ctx_s {
  uint8_t *buf;  // the region
  int sz;
  int nextra;  // rows in progress beyond the header's entries (index KS_CHAIN_ROWS + k)
  int extra_cap;
  ks_chain_row_t *extra;
  char info[1024];    // the information file
  char prefix[1024];  // spill files: <prefix>_<rdba>_<slot>.crd (data) and .cri (index)
} ks_chain_ctx_t;

// <home>data/<unit>/<com>[_<thread>].chr, for this process.
int ks_chain_info_path(char *path, size_t n);

// The context starts zeroed (it owns the extra rows' table, freed by the next open).
// Empties the region and restores it from the information file when there is one,
// reopening the spill files of spilled rows. 0, or -1 (logged; nothing left open).
int ks_chain_open(ks_chain_ctx_t *c, uint8_t *buf, int sz, const char *info);
// Closes the spill files and writes the information file, or removes it when nothing is
// pending. 0 / -1 (logged). The context may be opened again afterwards.
int ks_chain_close(ks_chain_ctx_t *c);

// sz bytes of contiguous 8 KiB blocks, first fit: their address, first block and count;
// null (logged) when no run is free.
uint8_t *ks_chain_alloc_mem(uint8_t *cbuf, int sz, int *start, int *blks);
void ks_chain_free_mem(uint8_t *cbuf, int start, int blks);

// Saves rec (rlen bytes) as a piece of the row named by crp's head row id; a piece
// without one (cr_rdba and cr_slot 0: the first piece of some migrated rows) is keyed on
// its own row id (pc_rdba, pc_slot), so the later pieces naming it as head find it.
// op is byte 0 of the record's supplemental header. 0, or -1 (logged) when a spill file
// cannot be written: the row is then left as it was before the call.
int ks_chain_save_piece(ks_chain_ctx_t *c, const ks_chain_piece_t *crp, const uint8_t *rec, int rlen, uint8_t op);

// Entry of the row in progress with this head row id, or -1. Entries from KS_CHAIN_ROWS
// on are the extra rows: clearing one of them moves the last into its place.
int ks_chain_find(const ks_chain_ctx_t *c, uint32_t rdba, uint16_t slot);
int ks_chain_rows(const ks_chain_ctx_t *c);  // entries to look at: KS_CHAIN_ROWS + nextra
ks_chain_row_t ks_chain_get_row(const ks_chain_ctx_t *c, int ci);

// The saved pieces of row ci in save order, at most max of them: the count, or -1.
int ks_chain_pieces(const ks_chain_ctx_t *c, int ci, ks_chain_piece_t *out, int max);
// The record of a piece returned by ks_chain_pieces into out (cap bytes, at least
// blks * 8192): 0 / -1.
int ks_chain_piece_data(const ks_chain_ctx_t *c, int ci, const ks_chain_piece_t *p, uint8_t *out, size_t cap);
// Releases row ci: its entry, pieces, blocks and spill files.
void ks_chain_clear_row(ks_chain_ctx_t *c, int ci);
