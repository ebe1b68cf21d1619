// Logs kept on ASM disks: the pieces of locating, opening, reading and closing that only
// ASM storage needs, called from the reader's general steps.
#pragma once

#include <cstdint>

#include "extract/extract.h"

// Reads size bytes at off of an open ASM disk, locally or through the agent when the
// reader is remote; anything short of the full size is an error. with_errno adds the
// system error to the local failure message (disk discovery). 0 / -1.
int ks_asm_read_meta(ks_extr_t *ex, int fd, uint8_t *buf, int size, uint64_t off, bool with_errno);
// The index in dsk[] of disk number dskno of group dgi, or -1 ("ASM disk %d not found.").
int ks_asm_find_disk(ks_extr_t *ex, int dgi, uint32_t dskno);
// A metadata block read from disk: byte order from byte 0, type and check word verified.
// 0, or -1 with the reason logged.
int ks_asm_check_block(const uint8_t *blk, int blk_sz, int type, uint32_t aun, uint32_t blkn);

// The log named "+GROUP/...": its group (asm_gi) and ASM file number (asm_fno). 0 / -1.
int ks_asm_locate_log(ks_extr_t *ex);
// Loads the located log's extent map into xt_buf. 0 / -1.
int ks_asm_open_log(ks_extr_t *ex);
// nblks blocks from block blkn of the open log into rd_buf, through its extent map.
// → bytes read / -1.
int ks_asm_read_log(ks_extr_t *ex, int blkn, int nblks);
// Closes every ASM disk descriptor (through the agent unless its connection is lost).
// 0 / -1.
int ks_asm_close_disks(ks_extr_t *ex);
