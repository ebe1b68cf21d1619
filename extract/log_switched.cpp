// Whether the current online log has been switched, told by its header: the next
// available block is all ones while the database still writes the log, and the header
// block carries the sequence the file now holds. A header block that fails its checksum
// (caught while the database rewrites it, or damaged) tells nothing: -1 with
// KS_LOGF_BAD_CHECKSUM, as the walk reports a bad block.
#include "extract/extract.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

int ks_log_switched(ks_extr_t *ex) {
  ks_logf_t *l = ex->l;
  int n = ks_read_redo_file(ex, 0, 2);
  if (n < 0) return -1;
  if (n < 2 * l->blk_sz) {
    KS_ERROR("redo file head blocks not complete.");
    return -1;
  }
  const uint8_t *b1 = ex->b->rd_buf + l->blk_sz;
  if (!ks_redo_block_ok(l, b1, 1)) return -1;
  bool big = (l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  // A file already reused for a later sequence was switched long ago, whatever its
  // header says now; the walk finds its blocks overwritten.
  uint32_t seq = ks::load32(b1 + ks::redo::KS_REDO_BH_SEQUENCE, big);
  if (l->sqn != 0 && seq > l->sqn) {
    l->flag &= ~KS_LOGF_CURRENT;
    return 1;
  }
  uint32_t nab = ks::load32(b1 + ks::redo::KS_REDO_FH1_NEXT_BLOCK, big);  // all ones reads the same either way
  if (nab == ks::redo::KS_REDO_NEXT_BLOCK_CURRENT) return 0;
  // The log is complete now: its final size bounds what is left to read, so redo written
  // between the last read and this check is still walked before moving on.
  if (nab >= 2 && nab <= static_cast<uint32_t>(l->blks)) l->blks = static_cast<int>(nab);
  l->flag &= ~KS_LOGF_CURRENT;
  return 1;
}
