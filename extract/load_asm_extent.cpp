// Loading a file's extent map from its ASM file directory entry into xt_buf: the data
// extents held in the entry itself, then those of the indirect units the entry points at.
// Only the primary copy of a mirrored extent is kept (the first of every xrs pointers).
#include <cstring>

#include "extract/asm.h"
#include "lib/bytes.h"
#include "lib/fmt/asm_format.h"
#include "lib/log/log.h"

namespace {

constexpr int kMaxPtrs = (4096 - KS_ASM_FD_PTRS) / KS_ASM_PTR_SIZE;

struct AuPtr {
  uint32_t aun;
  uint16_t dsk;
};

}  // namespace

int ks_load_asm_extent(ks_extr_t *ex, int dgi, int fd, uint32_t aun, uint32_t blkn) {
  const ks_asm_grp_t *g = &ex->r->dg[dgi];
  uint8_t *blk = ex->b->rd_buf;
  const uint64_t off =
      static_cast<uint64_t>(aun) * static_cast<uint64_t>(g->au_sz) + static_cast<uint64_t>(g->blk_sz) * blkn;
  if (ks_asm_read_meta(ex, fd, blk, g->blk_sz, off, false) < 0) return -1;
  if (ks_asm_check_block(blk, g->blk_sz, KS_ASM_TYPE_FILEDIR, aun, blkn) < 0) return -1;
  const bool big = blk[KS_ASM_BH_ENDIAN] == 0;
  const uint32_t xtntcnt = ks::load32(blk + KS_ASM_FD_XTNTCNT, big);
  const uint32_t xrs = blk[KS_ASM_FD_XRS] & 0xF;
  const uint32_t xtntbrk = ks::load16(blk + KS_ASM_FD_XTNTBRK, big);
  const uint32_t strpwdth = blk[KS_ASM_FD_STRPWD];
  const uint32_t strpsz = 1u << (blk[KS_ASM_FD_STRPSZ] & 31);
  const int nptr = (g->blk_sz - KS_ASM_FD_PTRS) / KS_ASM_PTR_SIZE;
  const uint32_t direct = xtntcnt < xtntbrk ? xtntcnt : xtntbrk;
  if (xrs < 1 || xrs > 3 || xtntcnt == 0 || xtntcnt % xrs != 0 || xtntbrk % xrs != 0 ||
      direct > static_cast<uint32_t>(nptr) || strpwdth < 1 || strpsz < 512 ||
      strpsz > static_cast<uint32_t>(g->au_sz)) {
    KS_ERROR("ASM file directory entry (AU %u, block %u) not valid: %u extents, %u copies, %u direct, stripe %u x %u.",
             aun, blkn, xtntcnt, xrs, xtntbrk, strpwdth, strpsz);
    return -1;
  }
  const uint32_t xcnt = xtntcnt / xrs;
  if (xcnt > KS_ASM_MAX_XTNT) {
    KS_ERROR("ASM file of %u extents exceeds the extent map's %u.", xcnt, static_cast<uint32_t>(KS_ASM_MAX_XTNT));
    return -1;
  }

  auto *xdb = reinterpret_cast<ks_asm_xdb_t *>(ex->b->xt_buf);
  auto *map = reinterpret_cast<ks_asm_xptr_t *>(ex->b->xt_buf + sizeof(ks_asm_xdb_t));
  // Every slot starts unfilled, so a map with a hole is caught below instead of read.
  for (uint32_t i = 0; i < xcnt; i++) map[i] = {KS_ASM_PTR_END, 0, 0, 0};
  *xdb = {xcnt, xrs, strpwdth, strpsz};

  for (uint32_t i = 0; i < direct / xrs; i++) {
    const uint8_t *p = blk + KS_ASM_FD_PTRS + static_cast<size_t>(i) * xrs * KS_ASM_PTR_SIZE;
    const uint32_t a = ks::load32(p, big);
    if (a == KS_ASM_PTR_END) break;
    map[i] = {a, ks::load16(p + 4, big), 0, 0};
  }

  if (xtntcnt > xtntbrk) {
    // The indirect units follow the data pointers, each as xrs copies; the indirect loads
    // reuse the read area, so the list is taken out of the block first.
    AuPtr ind[kMaxPtrs];
    int nind = 0;
    for (uint32_t k = xtntbrk; k < static_cast<uint32_t>(nptr) && nind < kMaxPtrs; k += xrs) {
      const uint8_t *p = blk + KS_ASM_FD_PTRS + static_cast<size_t>(k) * KS_ASM_PTR_SIZE;
      const uint32_t a = ks::load32(p, big);
      if (a == KS_ASM_PTR_END) break;
      ind[nind++] = {a, ks::load16(p + 4, big)};
    }
    int rc = 1;
    for (int k = 0; k < nind && rc == 1; k++) {
      const int di = ks_asm_find_disk(ex, dgi, ind[k].dsk);
      if (di < 0) return -1;
      rc = ks_load_asm_indirect_extent(ex, dgi, ex->r->dsk[di].dskfd, ind[k].aun);
      if (rc < 0) {
        KS_ERROR("load indirect extent map error.");
        return -1;
      }
    }
    if (rc != 0) {
      KS_ERROR("ASM extent map not complete after %d indirect units.", nind);
      return -1;
    }
  }

  for (uint32_t i = 0; i < xcnt; i++) {
    if (map[i].aun == KS_ASM_PTR_END) {
      KS_ERROR("ASM extent map has no extent %u of %u.", i, xcnt);
      return -1;
    }
  }
  return 0;
}
