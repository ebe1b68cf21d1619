// ASM disk metadata as the redo reader reads it and the simulated source writes it.
// Every metadata block opens with a block header whose byte 0 is the endian mark: 0 for
// a big-endian block (its integers most significant byte first), 1 for little-endian.
// Offsets below are from the start of the block.
#pragma once

#include <cstdint>

// Block header shared by every metadata block.
#define KS_ASM_BH_ENDIAN 0  // 1 byte: 0 big-endian, 1 little-endian
#define KS_ASM_BH_HARD 1    // 1 byte: 0x82
#define KS_ASM_BH_TYPE 2    // 1 byte: block type below
#define KS_ASM_BH_DATFMT 3  // 1 byte: 1
#define KS_ASM_BH_BLK 4     // 4 bytes: block number within its file (the disk header: 0)
#define KS_ASM_BH_OBJ 8     // 4 bytes: owning object (file number; a disk header: the disk)
#define KS_ASM_BH_CHECK 12  // 4 bytes: XOR of the block's 32-bit words with this one zero
#define KS_ASM_BH_FCN 16    // 8 bytes: change number of the last write
#define KS_ASM_BH_SIZE 32
#define KS_ASM_TYPE_DISKHEAD 1
#define KS_ASM_TYPE_FILEDIR 4
#define KS_ASM_TYPE_INDIRECT 12
#define KS_ASM_HARD 0x82

// Disk header (block 0 of every disk).
#define KS_ASM_DH_F1AU 244  // 4 bytes: AU holding the first block of file 1 on this disk, else 0
// Written by the simulated source for a person inspecting an image; the reader does not use them.
#define KS_ASM_DH_PROVSTR 32   // 32 bytes: "ORCLDISK" and the disk's name
#define KS_ASM_DH_DSKNUM 64    // 2 bytes: disk number in its group
#define KS_ASM_DH_GRPTYP 66    // 1 byte: copies per extent (1 external, 2 normal, 3 high)
#define KS_ASM_DH_DSKNAME 72   // 32 bytes: disk name
#define KS_ASM_DH_GRPNAME 104  // 32 bytes: disk group name
#define KS_ASM_DH_SECSZ 184    // 2 bytes: sector size
#define KS_ASM_DH_BLKSZ 186    // 2 bytes: metadata block size
#define KS_ASM_DH_AUSZ 188     // 4 bytes: allocation unit size
#define KS_ASM_DH_DSKSZ 216    // 4 bytes: disk size in allocation units
#define KS_ASM_DH_NAME_SIZE 32

// File directory entry (one metadata block per file number in file 1).
// +32..51 are written by the simulated source (and read back by it when it reopens a
// group), not by the reader.
#define KS_ASM_FD_INCARN 32  // 4 bytes: file incarnation (the last part of a system name)
#define KS_ASM_FD_BYTES 36   // 8 bytes: file size
#define KS_ASM_FD_BLKSZ 44   // 4 bytes: the file's block size
#define KS_ASM_FD_FTYPE 48   // 1 byte: file type below
#define KS_ASM_FTYPE_DIR 1
#define KS_ASM_FTYPE_ONLINELOG 2
#define KS_ASM_FTYPE_ARCHIVELOG 3
#define KS_ASM_FD_XTNTCNT 52  // 4 bytes: extent pointers of the file, mirror copies counted
#define KS_ASM_FD_XRS 66      // 1 byte: copies per extent in the low 4 bits
#define KS_ASM_FD_XTNTBRK 94  // 2 bytes: data extent pointers held directly in the entry
#define KS_ASM_FD_STRPWD 108  // 1 byte: stripe width
#define KS_ASM_FD_STRPSZ 109  // 1 byte: log2 of the stripe size, low 5 bits
#define KS_ASM_FD_PTRS 1216   // 8 bytes each: direct extent pointers, then indirect AU pointers

// Indirect extent block (every metadata block of an indirect allocation unit).
#define KS_ASM_IX_XSN 32     // 4 bytes: data extent index of the block's first extent
#define KS_ASM_IX_COUNT 36   // 2 bytes: extent pointers in the block, mirror copies counted
#define KS_ASM_IX_COPIES 38  // 1 byte: copies per extent in the low 4 bits
#define KS_ASM_IX_PTRS 44    // 8 bytes each

// Extent pointer: allocation unit (4), disk number (2), 2 bytes not used.
#define KS_ASM_PTR_SIZE 8
#define KS_ASM_PTR_END 0xFFFFFFFFu  // an AU number of all ones ends a pointer list
#define KS_ASM_FIRST_USER_FILE 256  // file numbers below are the group's own metadata files
#define KS_ASM_DIR_FILE 1           // the file directory
#define KS_ASM_BLOCK_SIZE 4096      // metadata block size
#define KS_ASM_XTNTBRK 60           // pointers held directly in a directory entry (a multiple of 1, 2 and 3)
