// Reading a run of whole redo blocks of the open log into the read area: as many as fit
// (at most 2 MiB) and never past the log's last block, at block-aligned offsets.
#include "extract/asm.h"
#include "extract/extract.h"
#include "lib/log/log.h"
#include "lib/util.h"

int ks_read_redo_file(ks_extr_t *ex, int blkn, int nblks) {
  ks_logf_t *l = ex->l;
  ks_buffer_t *b = ex->b;
  if (l->blk_sz <= 0 || blkn < 0) {
    KS_ERROR("read redo log \"%s\" at block %d with block size %d.", l->name, blkn, l->blk_sz);
    return -1;
  }
  int fit = b->rd_sz / l->blk_sz;
  if (nblks < 1) {
    nblks = l->blks - blkn;
    if (nblks > fit) nblks = fit;
    if (nblks < 0) nblks = 0;
  } else if (nblks > fit) {
    nblks = fit;
  }
  if (l->flag & KS_LOGF_ASM) return ks_asm_read_log(ex, blkn, nblks);
  size_t size = static_cast<size_t>(nblks) * static_cast<size_t>(l->blk_sz);
  off_t offset = static_cast<off_t>(blkn) * l->blk_sz;
  if (ex->r->flag & KS_RDR_REMOTE) {
    int n = ks_read_data_remote(ex, ex->r->lfd, b->rd_buf, static_cast<int>(size), static_cast<uint64_t>(offset));
    if (n < 0) KS_ERROR("read remote log data error.");
    return n;
  }
  ssize_t n = ks_read_data(ex->r->lfd, b->rd_buf, size, offset);
  if (n < 0) {
    KS_ERROR("read local log data error.");
    return -1;
  }
  return static_cast<int>(n);
}
