// Continuing an extent map from the blocks of one indirect allocation unit. The blocks
// are filled in order, so the first unused (zero) block ends the unit.
#include "extract/asm.h"
#include "lib/bytes.h"
#include "lib/fmt/asm_format.h"
#include "lib/log/log.h"

int ks_load_asm_indirect_extent(ks_extr_t *ex, int dgi, int fd, uint32_t aun) {
  const ks_asm_grp_t *g = &ex->r->dg[dgi];
  const auto *xdb = reinterpret_cast<const ks_asm_xdb_t *>(ex->b->xt_buf);
  auto *map = reinterpret_cast<ks_asm_xptr_t *>(ex->b->xt_buf + sizeof(ks_asm_xdb_t));
  uint8_t *blk = ex->b->rd_buf;
  const uint32_t nb = static_cast<uint32_t>(g->au_sz / g->blk_sz);
  for (uint32_t b = 0; b < nb; b++) {
    const uint64_t off =
        static_cast<uint64_t>(aun) * static_cast<uint64_t>(g->au_sz) + static_cast<uint64_t>(g->blk_sz) * b;
    if (ks_asm_read_meta(ex, fd, blk, g->blk_sz, off, false) < 0) return -1;
    if (blk[KS_ASM_BH_TYPE] == 0) return 1;
    if (ks_asm_check_block(blk, g->blk_sz, KS_ASM_TYPE_INDIRECT, aun, b) < 0) return -1;
    const bool big = blk[KS_ASM_BH_ENDIAN] == 0;
    const uint32_t xsn = ks::load32(blk + KS_ASM_IX_XSN, big);
    const uint32_t n = ks::load16(blk + KS_ASM_IX_COUNT, big);
    const uint32_t c = blk[KS_ASM_IX_COPIES] & 0xF;
    if (c != xdb->xrs || n % c != 0 || KS_ASM_IX_PTRS + n * KS_ASM_PTR_SIZE > static_cast<uint32_t>(g->blk_sz) ||
        xsn > xdb->xcnt || n / c > xdb->xcnt - xsn) {
      KS_ERROR("ASM indirect extent block (AU %u, block %u) not valid: first extent %u, %u pointers, %u copies.", aun,
               b, xsn, n, c);
      return -1;
    }
    uint32_t i = 0;
    for (; i < n / c; i++) {
      const uint8_t *p = blk + KS_ASM_IX_PTRS + static_cast<size_t>(i) * c * KS_ASM_PTR_SIZE;
      const uint32_t a = ks::load32(p, big);
      if (a == KS_ASM_PTR_END) break;
      map[xsn + i] = {a, ks::load16(p + 4, big), 0, 0};
    }
    if (xsn + i == xdb->xcnt) return 0;
  }
  return 1;
}
