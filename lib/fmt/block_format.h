// Formatted data blocks as a direct-path load logs them (field 1 of a 19.1 block image:
// the block after its 20-byte cache header) and the length-prefixed column encoding of
// the rows stored in them. One header for the simulated source that writes the images and
// the capture decoder that reads them. Integers are in the redo's byte order, except the
// row ids inside row pieces, which are always most significant byte first.
#pragma once

#include <cstdint>

#include "lib/bytes.h"

namespace ks::redo {

// ---- 24.6: direct-path load information, field 1 -------------------------------------
constexpr int KS_DP_LOAD_OBJN = 0, KS_DP_LOAD_USN = 8, KS_DP_LOAD_SLOT = 10, KS_DP_LOAD_SQN = 12, KS_DP_LOAD_SIZE = 16;

// ---- 19.1 block image: field 2 byte 0 is the block type ------------------------------
constexpr uint8_t KS_DP_TYPE_TABLE = 0x06, KS_DP_TYPE_LOB = 0x28;
// Block body: transaction-header type (1), ITL count, flags, the ITL list.
constexpr int KS_DP_BLK_TYPE = 0, KS_DP_BLK_ITC = 16, KS_DP_BLK_FLAGS = 18, KS_DP_BLK_ITL = 24;
constexpr int KS_DP_ITL_SIZE = 24;
constexpr uint8_t KS_DP_BLK_EXT = 0x20;  // a header extension follows the ITL list
// Header extension: its variable part's length at +4; the data header follows at
// extension + 8 + that length.
constexpr int KS_DP_EXT_LENGTH = 4, KS_DP_EXT_FIXED = 8;
// Data header: number of tables, head of the free row-slot chain (-1 none), table 0's
// first row-directory index and row slots; the table directory (4 bytes a table) starts at
// +14 and the row directory (u16 offsets from the data header, 0xFFFF free) follows it.
constexpr int KS_DP_DH_NTAB = 1, KS_DP_DH_FREE = 4, KS_DP_DH_T0_FIRST = 14, KS_DP_DH_T0_SLOTS = 16;
constexpr int KS_DP_DH_DIR = KS_DP_DH_T0_FIRST + 4;  // row directory of a one-table block
// Row piece: flag byte, lock byte, column count; a first piece that is not the head
// carries the head's row id, a piece that is not the last its next piece's (block
// address and slot, 6 bytes, most significant byte first); then the columns.
constexpr int KS_DP_ROW_HEADER = 3, KS_DP_ROWID = 6;

// ---- 19.1 LOB data block image (block type 0x28) -------------------------------------
// The LOB id (10 bytes) at +4, the block's page in the LOB at +16, the bytes of LOB data
// it holds at +20 and its LOB segment at +24, in the redo's byte order; the data from +36.
constexpr int KS_LOB_BLK_ID = 4, KS_LOB_BLK_PAGE = 16, KS_LOB_BLK_BYTES = 20, KS_LOB_BLK_SEG = 24, KS_LOB_BLK_DATA = 36;

// ---- Locator of a LOB a load stored out of line ---------------------------------------
// The 20-byte locator naming the LOB (its LOB id at +10), then its index node (most significant byte first):
// the node's length at +20, flags at +22 (KS_LOB_NODE_INROW clear: the data is not in the
// row), the LOB's stored bytes at +24, the count of its data blocks at +28 and their block
// addresses from +32, in LOB order. A locator of 20 bytes only, or with the flag set, is
// not one of these.
constexpr int KS_LOB_LOC_ID = 10, KS_LOB_LOC_HEAD = 20, KS_LOB_NODE_LENGTH = 20, KS_LOB_NODE_FLAGS = 22,
              KS_LOB_NODE_BYTES = 24, KS_LOB_NODE_NBLK = 28, KS_LOB_NODE_DBA = 32;
constexpr uint8_t KS_LOB_NODE_INROW = 0x08;

// Column values in a stored row: a length byte, 0xFE followed by a u16 length for longer
// values, 0xFF for NULL.
constexpr uint8_t KS_ROW_VAL_NULL = 0xFF, KS_ROW_VAL_LONG = 0xFE;
constexpr int KS_ROW_VAL_SHORT_MAX = 250;

// Bytes a value of n bytes takes (n < 0: NULL).
constexpr int row_value_size(int n) { return n < 0 ? 1 : n + (n > KS_ROW_VAL_SHORT_MAX ? 3 : 1); }

}  // namespace ks::redo
