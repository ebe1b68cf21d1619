// Discovering the source's ASM disk groups and disks from the database and opening every
// disk once per reader: locally, or through the agent when the logs are read remotely.
// Each group's disks are consecutive in dsk[], in disk-number order, and the disk whose
// header names the AU holding the file directory's first extent is remembered.
#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "extract/asm.h"
#include "extract/db_query.h"
#include "lib/bytes.h"
#include "lib/fmt/asm_format.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

// The largest metadata block read: the directory's indirect pointers are copied out of
// one before the indirect units are read into the same buffer.
constexpr int kMaxMetaBlock = 4096;

struct DiskRow {
  ks_extr_t *ex;
  int64_t grp = 0, blk_sz = 0, au_sz = 0, dskno = 0;
  char type[16] = "";
  char name[32] = "";
  char path[264] = "";
};

int group_flag(const char *type) {
  if (strcmp(type, "EXTERN") == 0) return KS_ASM_EXTERN;
  if (strcmp(type, "NORMAL") == 0) return KS_ASM_NORMAL;
  if (strcmp(type, "HIGH") == 0) return KS_ASM_HIGH;
  return 0;
}

bool power_of_two(int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

int add_disk(void *ctx) {
  auto *d = static_cast<DiskRow *>(ctx);
  ks_extr_t *ex = d->ex;
  ks_reader_t *r = ex->r;
  int gi = -1;
  for (int i = 0; i < r->ndg; i++)
    if (strcasecmp(r->dg[i].name, d->name) == 0) gi = i;
  if (gi >= 0 && gi != r->ndg - 1) {
    // Rows come in group-number order; a name met again later would break the run of the
    // group's disks in dsk[].
    KS_ERROR("ASM diskgroup \"%s\" listed under two group numbers.", d->name);
    return -1;
  }
  if (gi < 0) {
    if (r->ndg >= static_cast<int>(sizeof r->dg / sizeof r->dg[0])) {
      KS_ERROR("too many ASM diskgroups: %d", r->ndg + 1);
      return -1;
    }
    // Extent arithmetic relies on whole metadata blocks per unit and on powers of two.
    if (!power_of_two(d->blk_sz) || d->blk_sz > kMaxMetaBlock || d->blk_sz < KS_ASM_BH_SIZE ||
        !power_of_two(d->au_sz) || d->au_sz < d->blk_sz || d->au_sz > 0x40000000) {
      KS_ERROR("ASM diskgroup \"%s\": block size %ld and allocation unit %ld not supported.", d->name,
               static_cast<long>(d->blk_sz), static_cast<long>(d->au_sz));
      return -1;
    }
    gi = r->ndg++;
    ks_asm_grp_t *g = &r->dg[gi];
    std::memset(g, 0, sizeof *g);
    g->flag = group_flag(d->type);
    g->dg_num = static_cast<int>(d->grp);
    g->blk_sz = static_cast<int>(d->blk_sz);
    g->au_sz = static_cast<int>(d->au_sz);
    g->f1dsk = -1;
    g->dsk_ofs = 0;
    for (int i = 0; i < gi; i++) g->dsk_ofs += r->dg[i].ndsk;
    snprintf(g->name, sizeof g->name, "%s", d->name);
    KS_DEBUG("new diskgroup \"%s\"", g->name);
  }
  ks_asm_grp_t *g = &r->dg[gi];
  const int k = g->dsk_ofs + g->ndsk;
  if (k >= static_cast<int>(sizeof r->dsk / sizeof r->dsk[0])) {
    KS_ERROR("too many ASM disks: %d", k + 1);
    return -1;
  }
  int fd;
  if (r->flag & KS_RDR_REMOTE) {
    fd = ks_open_file_remote(ex, ex->b->record, ex->b->rec_sz, d->path);
    if (fd < 0) {
      KS_ERROR("open remote ASM disk error.\npath: \"%s\"", d->path);
      return -1;
    }
  } else {
    fd = ks_open_file(d->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      KS_ERROR("open ASM disk \"%s\" error: %s", d->path, strerror(errno));
      return -1;
    }
  }
  r->dsk[k].dskno = static_cast<int>(d->dskno);
  r->dsk[k].dskfd = fd;
  g->ndsk++;
  KS_DEBUG("disk \"%s\", dskno=%d, fd=%d", d->path, r->dsk[k].dskno, fd);
  return 0;
}

// The disk headers of group gi: byte order, and the disk holding the file directory.
int read_headers(ks_extr_t *ex, int gi) {
  ks_reader_t *r = ex->r;
  ks_asm_grp_t *g = &r->dg[gi];
  uint8_t *buf = ex->b->record;
  for (int k = g->dsk_ofs; k < g->dsk_ofs + g->ndsk; k++) {
    if (ks_asm_read_meta(ex, r->dsk[k].dskfd, buf, g->blk_sz, 0, true) < 0) return -1;
    const bool big = buf[KS_ASM_BH_ENDIAN] == 0;
    if (big) g->flag |= KS_ASM_BIG;
    const uint32_t f1au = ks::load32(buf + KS_ASM_DH_F1AU, big);
    if (f1au != 0) {
      g->f1dsk = k;
      g->f1au = static_cast<int>(f1au);
      KS_DEBUG("diskgroup \"%s\", f1dsk=%d, f1au=%d", g->name, r->dsk[k].dskno, g->f1au);
      return 0;
    }
  }
  KS_ERROR("ASM diskgroup \"%s\": no disk holds the file directory.", g->name);
  return -1;
}

}  // namespace

int ks_open_asm_disk(ks_extr_t *ex) {
  DiskRow row;
  row.ex = ex;
  const ks_qcol_t cols[7] = {{KS_QT_INT, sizeof row.grp, &row.grp},       {KS_QT_STR, sizeof row.type, row.type},
                             {KS_QT_INT, sizeof row.blk_sz, &row.blk_sz}, {KS_QT_INT, sizeof row.au_sz, &row.au_sz},
                             {KS_QT_STR, sizeof row.name, row.name},      {KS_QT_INT, sizeof row.dskno, &row.dskno},
                             {KS_QT_STR, sizeof row.path, row.path}};
  int rows = ks_db_query_each(ex->a->se,
                              "select dg.group_number, dg.type, dg.block_size, dg.allocation_unit_size,\n"
                              "dg.name, dsk.disk_number, dsk.path\n"
                              "from v$asm_diskgroup dg, v$asm_disk dsk\n"
                              "where dg.group_number = dsk.group_number\n"
                              "and dg.state='CONNECTED'\n"
                              "order by dg.group_number, dsk.disk_number\n",
                              cols, 7, add_disk, &row);
  if (rows < 0) return -1;
  if (ex->r->ndg == 0) {
    KS_ERROR("no ASM diskgroup connected.");
    return -1;
  }
  for (int gi = 0; gi < ex->r->ndg; gi++)
    if (read_headers(ex, gi) < 0) return -1;
  return 0;
}
