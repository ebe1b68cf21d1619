// Logs on ASM disks: locating a "+GROUP/..." name (its group and ASM file number), loading
// the log's extent map through the group's file directory, reading log blocks through that
// map with coarse or fine striping, and closing the disks. Every disk read, of metadata or
// of log data, must bring the full size asked: the extents are allocated whole, so a short
// read means a disk cut short and is never taken for the end of the log.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extract/asm.h"
#include "extract/db_query.h"
#include "lib/bytes.h"
#include "lib/fmt/asm_format.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

const ks_asm_xdb_t *map_head(ks_extr_t *ex) { return reinterpret_cast<const ks_asm_xdb_t *>(ex->b->xt_buf); }
const ks_asm_xptr_t *map_ptrs(ks_extr_t *ex) {
  return reinterpret_cast<const ks_asm_xptr_t *>(ex->b->xt_buf + sizeof(ks_asm_xdb_t));
}

// What a failed disk read reports, read remotely or locally: an error or a short read.
struct ReadTexts {
  const char *remote, *remote_short, *local, *local_short;
};
const ReadTexts kMetaTexts = {"read remote ASM data error.\n", "read remote ASM data not completed.",
                              "read local ASM data error.\n", "read local ASM data not completed."};
const ReadTexts kLogTexts = {"read remote log data error.", "read remote log data not completed.",
                             "read local log data error.", "read local log data not completed."};

// size bytes at off of a disk, in full. with_errno adds the system error to a local
// failure's message.
int read_full(ks_extr_t *ex, int fd, uint8_t *buf, int size, uint64_t off, const ReadTexts &t, bool with_errno) {
  if (ex->r->flag & KS_RDR_REMOTE) {
    int n = ks_read_data_remote(ex, fd, buf, size, off);
    if (n != size) KS_ERROR("%s", n < 0 ? t.remote : t.remote_short);
    return n == size ? 0 : -1;
  }
  ssize_t n = ks_read_data(fd, buf, static_cast<size_t>(size), static_cast<off_t>(off));
  if (n < 0) {
    const int err = errno;
    if (with_errno)
      KS_ERROR("%smessage: %d-%s", t.local, err, strerror(err));
    else
      KS_ERROR("%s", t.local);
    return -1;
  }
  if (n != size) {
    KS_ERROR("%s", t.local_short);
    return -1;
  }
  return 0;
}

}  // namespace

int ks_asm_read_meta(ks_extr_t *ex, int fd, uint8_t *buf, int size, uint64_t off, bool with_errno) {
  return read_full(ex, fd, buf, size, off, kMetaTexts, with_errno);
}

int ks_asm_find_disk(ks_extr_t *ex, int dgi, uint32_t dskno) {
  const ks_reader_t *r = ex->r;
  const ks_asm_grp_t *g = &r->dg[dgi];
  for (int k = g->dsk_ofs; k < g->dsk_ofs + g->ndsk; k++)
    if (static_cast<uint32_t>(r->dsk[k].dskno) == dskno) return k;
  KS_ERROR("ASM disk %d not found.", static_cast<int>(dskno));
  return -1;
}

int ks_asm_check_block(const uint8_t *blk, int blk_sz, int type, uint32_t aun, uint32_t blkn) {
  if (blk[KS_ASM_BH_TYPE] != type || blk[KS_ASM_BH_HARD] != KS_ASM_HARD) {
    KS_ERROR("ASM metadata block %u of AU %u is of type %d, not %d.", blkn, aun, blk[KS_ASM_BH_TYPE], type);
    return -1;
  }
  // The check word makes the XOR of all the block's words zero, in either byte order.
  uint32_t x = 0;
  for (int i = 0; i + 4 <= blk_sz; i += 4) x ^= ks::load_le32(blk + i);
  if (x != 0) {
    KS_ERROR("ASM metadata block %u of AU %u fails its check word.", blkn, aun);
    return -1;
  }
  return 0;
}

int ks_asm_locate_log(ks_extr_t *ex) {
  ks_logf_t *l = ex->l;
  ks_reader_t *r = ex->r;
  const char *name = l->name;
  const char *slash = strchr(name, '/');
  const size_t glen = slash ? static_cast<size_t>(slash - name - 1) : 0;
  char grp[sizeof r->dg[0].name];
  if (slash == nullptr || glen == 0 || glen >= sizeof grp) {
    KS_ERROR("ASM filename format error.\n%s", name);
    return -1;
  }
  std::memcpy(grp, name + 1, glen);
  grp[glen] = 0;
  int gi = -1;
  for (int i = 0; i < r->ndg && gi < 0; i++)
    if (strcasecmp(r->dg[i].name, grp) == 0) gi = i;
  if (gi < 0) {
    KS_ERROR("ASM diskgroup \"%s\" not found.", grp);
    return -1;
  }

  // A system name carries the file number between the first two dots of its last
  // component ("thread_1_seq_5.261.1187"); an alias is looked up in the group.
  const char *last = strrchr(name, '/') + 1;
  const char *d1 = strchr(last, '.');
  const char *d2 = d1 ? strchr(d1 + 1, '.') : nullptr;
  long fno = 0;
  if (d2 != nullptr) {
    char *end = nullptr;
    fno = strtol(d1 + 1, &end, 10);
    if (end != d2 || d2 == d1 + 1 || fno <= 0 || fno > INT_MAX) {
      KS_ERROR("ASM filename format error.\n%s", name);
      return -1;
    }
  } else {
    if (strchr(last, '\'') != nullptr || *last == 0) {
      KS_ERROR("ASM filename format error.\n%s", name);
      return -1;
    }
    char sql[1200];
    snprintf(sql, sizeof sql, "select file_number from v$asm_alias\nwhere group_number=%d and name='%s'",
             r->dg[gi].dg_num, last);
    int64_t v = 0;
    ks_oci_stmt_t st{};
    const ks_qcol_t col = {KS_QT_INT, sizeof v, &v};
    const int rows = ks_db_query(ex->a->se, &st, false, sql, nullptr, 0, &col, 1, 1);
    if (rows < 0) return -1;
    if (rows == 0 || v <= 0 || v > INT_MAX) {
      KS_ERROR("ASM file number not found.\nfilename: \"%s\" not found.", last);
      return -1;
    }
    fno = static_cast<long>(v);
  }
  l->asm_gi = gi;
  l->asm_fno = static_cast<int>(fno);
  return 0;
}

int ks_asm_open_log(ks_extr_t *ex) {
  ks_logf_t *l = ex->l;
  ks_reader_t *r = ex->r;
  const int gi = l->asm_gi;
  if (gi < 0 || gi >= r->ndg || r->dg[gi].f1dsk < 0) {
    KS_ERROR("ASM diskgroup of \"%s\" not open.", l->name);
    return -1;
  }
  const ks_asm_grp_t *g = &r->dg[gi];
  if (ks_load_asm_extent(ex, gi, r->dsk[g->f1dsk].dskfd, static_cast<uint32_t>(g->f1au), 1) < 0) {
    KS_ERROR("load file#1 extent map error.");
    return -1;
  }
  // The directory holds one entry block per file number, au_sz / blk_sz of them per unit.
  const uint32_t nb = static_cast<uint32_t>(g->au_sz / g->blk_sz);
  const uint32_t fno = static_cast<uint32_t>(l->asm_fno);
  const uint32_t ext = fno / nb;
  if (l->asm_fno < KS_ASM_FIRST_USER_FILE || ext >= map_head(ex)->xcnt) {
    KS_ERROR("log file number %d, not in the range [256-%d]", l->asm_fno, static_cast<int>(map_head(ex)->xcnt * nb));
    return -1;
  }
  const ks_asm_xptr_t x = map_ptrs(ex)[ext];
  const int di = ks_asm_find_disk(ex, gi, x.dsk);
  if (di < 0) return -1;
  if (ks_load_asm_extent(ex, gi, r->dsk[di].dskfd, x.aun, fno % nb) < 0) {
    KS_ERROR("load log file extent map error.");
    return -1;
  }
  return 0;
}

int ks_asm_read_log(ks_extr_t *ex, int blkn, int nblks) {
  const ks_logf_t *l = ex->l;
  const ks_reader_t *r = ex->r;
  const ks_asm_grp_t *g = &r->dg[l->asm_gi];
  const ks_asm_xdb_t *xdb = map_head(ex);
  const ks_asm_xptr_t *map = map_ptrs(ex);
  const uint64_t au = static_cast<uint64_t>(g->au_sz);
  const uint64_t ssz = xdb->strpsz;
  const uint64_t width = xdb->strpwdth;
  const uint64_t set = (au / ssz) * width;  // stripes in one stripe set
  uint64_t o = static_cast<uint64_t>(blkn) * static_cast<uint64_t>(l->blk_sz);
  uint64_t want = static_cast<uint64_t>(nblks) * static_cast<uint64_t>(l->blk_sz);
  uint8_t *dst = ex->b->rd_buf;
  // Pieces that lie end to end on one disk are read together.
  int run_disk = -1;
  uint64_t run_off = 0;
  uint64_t run_len = 0;
  uint8_t *run_dst = dst;
  while (want > 0) {
    const uint64_t s = o / ssz;
    const uint64_t so = o % ssz;
    const uint64_t x = (s / set) * width + s % width;
    const uint64_t row = (s % set) / width;
    if (x >= xdb->xcnt) {
      KS_ERROR("ASM log \"%s\": byte %llu lies beyond its %u extents.", l->name, static_cast<unsigned long long>(o),
               xdb->xcnt);
      return -1;
    }
    const int di = ks_asm_find_disk(ex, l->asm_gi, map[x].dsk);
    if (di < 0) return -1;
    const uint64_t doff = static_cast<uint64_t>(map[x].aun) * au + row * ssz + so;
    const uint64_t len = ssz - so < want ? ssz - so : want;
    if (run_len > 0 && (di != run_disk || doff != run_off + run_len)) {
      if (read_full(ex, r->dsk[run_disk].dskfd, run_dst, static_cast<int>(run_len), run_off, kLogTexts, false) < 0)
        return -1;
      run_dst += run_len;
      run_len = 0;
    }
    if (run_len == 0) {
      run_disk = di;
      run_off = doff;
    }
    run_len += len;
    o += len;
    want -= len;
  }
  if (run_len > 0 &&
      read_full(ex, r->dsk[run_disk].dskfd, run_dst, static_cast<int>(run_len), run_off, kLogTexts, false) < 0)
    return -1;
  return nblks * l->blk_sz;
}

int ks_asm_close_disks(ks_extr_t *ex) {
  ks_reader_t *r = ex->r;
  int rc = 0;
  for (auto &d : r->dsk) {
    if (d.dskfd < 0) continue;
    if (!(r->flag & KS_RDR_REMOTE)) {
      close(d.dskfd);
    } else if (!(r->flag & KS_RDR_LOST) && r->asd >= 0 &&
               ks_close_file_remote(ex, d.dskfd, ex->b->record, ex->b->rec_sz) < 0) {
      // A lost connection has closed the agent's descriptors with it.
      KS_ERROR("close remote ASM disk error.");
      rc = -1;
    }
    d.dskfd = -1;
  }
  return rc;
}
