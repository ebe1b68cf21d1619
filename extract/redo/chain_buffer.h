// The chain buffer: redo records of the pieces of chained and migrated rows wait in the
// 4 MiB region (layout in lib/fmt/chain_format.h), grouped by the head piece's row id,
// until the assembler takes the whole row. A row whose records exceed 1 MiB, or that
// finds no room left in the region, moves to a spill data file and index file of its own.
// Nothing is refused while the disk takes writes: rows in progress beyond the header's
// 32 entries are kept in a table that grows, and are saved after the image in the
// information file. The image is written with every checkpoint and stamped with its
// generation, so that a restart from that checkpoint, after a stop or a kill, finds the
// rows that were in progress there; spill files a restart may still need are removed only
// once a later checkpoint is safely on disk. Only the parsing thread touches it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/fmt/chain_format.h"

struct ks_chain_aux;  // files waiting for removal

typedef struct __ks_chain_ctx_s {
  uint8_t *buf;  // the region
  int sz;
  int nextra;  // rows in progress beyond the header's entries (index KS_CHAIN_ROWS + k)
  int extra_cap;
  ks_chain_row_t *extra;
  ks_chain_meta_t meta[KS_CHAIN_ROWS];
  ks_chain_meta_t *extra_meta;
  uint32_t next_sid;
  ks_chain_aux *aux;
  bool tmpdir;        // the spill files go to a temporary folder of the context's own
  char info[1024];    // the information file
  char prefix[1024];  // spill files: <prefix>_<rdba>_<slot>_<sid>.crd (data) and .cri (index)
  // What the owner keeps with the image (the LOB operations in flight, whose parked
  // vectors sit in blocks of the region): tail_len bytes of tail (tail_cap at most) are
  // written after the rows, and an open loads them back there (tail_len 0 when the file
  // holds none). tail and tail_cap survive an open.
  uint8_t *tail;
  uint32_t tail_cap;
  uint32_t tail_len;
} ks_chain_ctx_t;

// <home>data/<unit>/<com>[_<thread>].chr, for this process.
int ks_chain_info_path(char *path, size_t n);

// The context starts zeroed; ks_chain_free releases what it holds (also done by the next
// open). Empties the region and restores it from the information file written for the
// checkpoint generation gen (the current file or the one before it; with gen 0 the
// current file, whatever its generation), reopening the spill files of spilled rows and
// removing spill files no row refers to. No file for gen: an empty buffer. 0, or -1
// (logged; nothing left open).
int ks_chain_open(ks_chain_ctx_t *c, uint8_t *buf, int sz, const char *info, uint32_t gen);
// Writes the image for checkpoint generation gen beside the previous one (or only moves
// the previous one aside when nothing is pending). 0 / -1 (logged; the previous files
// stay as they were).
int ks_chain_save_image(ks_chain_ctx_t *c, uint32_t gen);
// Once the checkpoint of the last image is on disk: removes the previous image and the
// spill files of rows cleared before the last image.
void ks_chain_release(ks_chain_ctx_t *c);
// Closes the spill files and saves the image (ks_chain_save_image). The context may be
// opened again afterwards.
int ks_chain_close(ks_chain_ctx_t *c, uint32_t gen);
void ks_chain_free(ks_chain_ctx_t *c);

// sz bytes of contiguous 8 KiB blocks, first fit: their address, first block and count;
// null (logged) when no run is free.
uint8_t *ks_chain_alloc_mem(uint8_t *cbuf, int sz, int *start, int *blks);
void ks_chain_free_mem(uint8_t *cbuf, int start, int blks);

// Saves rec (rlen bytes) as a piece of the row named by crp's head row id; a piece
// without one (cr_rdba and cr_slot 0: the first piece of some migrated rows) is keyed on
// its own row id (pc_rdba, pc_slot), so the later pieces naming it as head find it.
// op is byte 0 of the record's supplemental header; first describes the row when this is
// its first piece (sid is assigned here). A forwarding-address piece keeps only its
// 40 bytes. The row's entry goes to *ci when ci is not null. 0, or -1 (logged) when a
// spill file cannot be written: the row is then left as it was before the call.
int ks_chain_save_piece(ks_chain_ctx_t *c, const ks_chain_piece_t *crp, const uint8_t *rec, int rlen, uint8_t op,
                        const ks_chain_meta_t *first, int *ci = nullptr);
// Takes back the last piece saved for row ci (rlen bytes): the record it came from will
// be read again. A row left without pieces is cleared.
void ks_chain_unsave(ks_chain_ctx_t *c, int ci, int rlen);

// Entry of the row in progress with this head row id, or -1. Entries from KS_CHAIN_ROWS
// on are the extra rows: clearing one of them moves the last into its place.
int ks_chain_find(const ks_chain_ctx_t *c, uint32_t rdba, uint16_t slot);
// Entry of the row a piece belongs to: its head's, or its own row id's when it names no
// head (the key ks_chain_save_piece gives it). -1 when none.
int ks_chain_find_piece(const ks_chain_ctx_t *c, const ks_chain_piece_t *crp);
int ks_chain_rows(const ks_chain_ctx_t *c);  // entries to look at: KS_CHAIN_ROWS + nextra
ks_chain_row_t ks_chain_get_row(const ks_chain_ctx_t *c, int ci);
ks_chain_meta_t ks_chain_get_meta(const ks_chain_ctx_t *c, int ci);

// The saved pieces of row ci in save order, at most max of them: the count, or -1.
int ks_chain_pieces(const ks_chain_ctx_t *c, int ci, ks_chain_piece_t *out, int max);
// The record of a piece returned by ks_chain_pieces into out (cap bytes, at least
// blks * 8192): 0 / -1.
int ks_chain_piece_data(const ks_chain_ctx_t *c, int ci, const ks_chain_piece_t *p, uint8_t *out, size_t cap);
// Where the record of such a piece lies in the region (blks * 8192 bytes), or null when
// the row is in its spill files.
uint8_t *ks_chain_piece_mem(const ks_chain_ctx_t *c, int ci, const ks_chain_piece_t *p);
// Releases row ci: its entry, pieces, blocks and spill files.
void ks_chain_clear_row(ks_chain_ctx_t *c, int ci);
