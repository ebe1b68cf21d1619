// The chain buffer (see chain_buffer.h). The pieces of a row kept in the region carry
// their save order in the piece's reserved byte; a row is moved to its spill files
// before that order could wrap, so the assembler always reads them in the order saved.
// A spill file is never truncated or removed while a checkpoint may still lead a restart
// to it: names carry a number no other row takes, and files of cleared rows wait until
// the next checkpoint after the image that last named them is on disk.
#include "extract/redo/chain_buffer.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "lib/log/log.h"
#include "lib/util.h"

struct ks_chain_aux {
  std::vector<std::string> doomed;      // cleared since the last image
  std::vector<std::string> releasable;  // cleared before the last image
};

namespace {

constexpr int kMaxMemPieces = 255;  // per row, so that the save order fits the reserved byte

int write_at(int fd, const void *p, size_t n, off_t off) {
  return ks_write_data(fd, p, n, off) == static_cast<ssize_t>(n) ? 0 : -1;
}

// A piece goes to and from the index file through the byte helpers, like the region.
int write_piece(int fd, const ks_chain_piece_t &p, off_t off) {
  uint8_t b[KS_CHAIN_PIECE_SZ];
  ks::store(b, p);
  return write_at(fd, b, sizeof b, off);
}

int blocks_for(int sz) { return (sz + KS_CHAIN_BLK_SZ - 1) / KS_CHAIN_BLK_SZ; }

bool bit(const uint8_t *cbuf, int i) { return cbuf[offsetof(ks_chain_t, bmp) + i / 8] & (0x80 >> (i % 8)); }
void set_bit(uint8_t *cbuf, int i, bool on) {
  uint8_t &b = cbuf[offsetof(ks_chain_t, bmp) + i / 8];
  b = on ? (b | (0x80 >> (i % 8))) : (b & ~(0x80 >> (i % 8)));
}

void put_row(ks_chain_ctx_t *c, int ci, const ks_chain_row_t &r) {
  if (ci < KS_CHAIN_ROWS)
    ks_chain_store_row(c->buf, ci, r);
  else
    c->extra[ci - KS_CHAIN_ROWS] = r;
}

ks_chain_meta_t *meta_of(ks_chain_ctx_t *c, int ci) {
  return ci < KS_CHAIN_ROWS ? &c->meta[ci] : &c->extra_meta[ci - KS_CHAIN_ROWS];
}

void spill_name(const ks_chain_ctx_t *c, const ks_chain_row_t &r, uint32_t sid, const char *ext, char *out, size_t n) {
  snprintf(out, n, "%s_%d_%d_%u.%s", c->prefix, static_cast<int32_t>(r.cr_rdba), static_cast<int>(r.cr_slot), sid, ext);
}

ks_chain_aux *aux_of(ks_chain_ctx_t *c) {
  if (!c->aux) c->aux = new (std::nothrow) ks_chain_aux;
  return c->aux;
}

void close_files(ks_chain_row_t *r) {
  if (r->ifd >= 0) close(r->ifd);
  if (r->fd >= 0) close(r->fd);
  r->ifd = r->fd = -1;
}

// The spill files of a cleared row: removed once no checkpoint can lead back to them.
void retire_files(ks_chain_ctx_t *c, const ks_chain_row_t &r, uint32_t sid) {
  char p[1100];
  ks_chain_aux *a = c->info[0] ? aux_of(c) : nullptr;  // no checkpoint can need them
  for (const char *ext : {"crd", "cri"}) {
    spill_name(c, r, sid, ext, p, sizeof p);
    if (a)
      a->doomed.emplace_back(p);
    else
      unlink(p);  // out of memory: the file goes now rather than never
  }
}

// Piece-table entries of row r in save order.
int memory_pieces(const uint8_t *cbuf, const ks_chain_row_t &r, int *idx, int max) {
  int n = 0;
  uint32_t maxcrp = std::min<uint32_t>(ks_chain_get(cbuf, KS_CHAIN_MAXCRP), KS_CHAIN_MAX_CRP);
  // Entries are taken first free first, so the used ones sit mostly at the front: the
  // walk ends once it has met them all.
  const uint32_t ncrp = ks_chain_get(cbuf, KS_CHAIN_NCRP);
  for (uint32_t i = 0, used = 0; i < maxcrp && n < max && used < ncrp; ++i) {
    const uint8_t *e = cbuf + KS_CHAIN_HEAD_SZ + i * KS_CHAIN_PIECE_SZ;
    const uint32_t rdba = ks::load<uint32_t>(e + offsetof(ks_chain_piece_t, cr_rdba));
    const uint16_t slot = ks::load<uint16_t>(e + offsetof(ks_chain_piece_t, cr_slot));
    if (!rdba && !slot) continue;
    used++;
    if (rdba == r.cr_rdba && slot == r.cr_slot) idx[n++] = static_cast<int>(i);
  }
  std::sort(idx, idx + n,
            [cbuf](int a, int b) { return ks_chain_load_piece(cbuf, a).rsv < ks_chain_load_piece(cbuf, b).rsv; });
  return n;
}

void release_memory_piece(uint8_t *cbuf, int i) {
  ks_chain_piece_t p = ks_chain_load_piece(cbuf, i);
  ks_chain_free_mem(cbuf, static_cast<int>(p.ofs), p.blks);
  ks_chain_store_piece(cbuf, i, ks_chain_piece_t{});
  ks_chain_set(cbuf, KS_CHAIN_NCRP, ks_chain_get(cbuf, KS_CHAIN_NCRP) - 1);
}

// Moves row r to its spill files (creating them and moving its pieces from the region
// the first time), then appends the piece and its record. On failure the files are
// removed and the row's pieces stay where they were.
int spill(ks_chain_ctx_t *c, ks_chain_row_t *r, ks_chain_meta_t *m, const ks_chain_piece_t *crp, const uint8_t *rec,
          int rlen) {
  char dpath[1100], ipath[1100];
  if (!c->prefix[0]) {
    KS_ERROR("no folder for the spill files of chained rows.");
    return -1;
  }
  ks_chain_row_t w = *r;
  ks_chain_meta_t mw = *m;
  if (!w.iofs) mw.sid = c->next_sid;  // a fresh pair of names
  spill_name(c, w, mw.sid, "crd", dpath, sizeof dpath);
  spill_name(c, w, mw.sid, "cri", ipath, sizeof ipath);
  bool created = false;
  int idx[kMaxMemPieces];
  int nmem = 0;
  if (w.iofs && w.fd < 0) return -1;  // spilled before, and its files are not open
  if (!w.iofs) {
    w.fd = ks_open_file(dpath, O_RDWR | O_CREAT | O_TRUNC);
    if (w.fd < 0) {
      KS_ERROR("open %s: %s", dpath, strerror(errno));
      return -1;
    }
    w.ifd = ks_open_file(ipath, O_RDWR | O_CREAT | O_TRUNC);
    if (w.ifd < 0) {
      KS_ERROR("open %s: %s", ipath, strerror(errno));
      close(w.fd);
      unlink(dpath);
      return -1;
    }
    created = true;
    w.ofs = w.iofs = 0;
    nmem = memory_pieces(c->buf, w, idx, kMaxMemPieces);
    for (int k = 0; k < nmem; ++k) {
      ks_chain_piece_t p = ks_chain_load_piece(c->buf, idx[k]);
      size_t n = static_cast<size_t>(p.blks) * KS_CHAIN_BLK_SZ;
      if (write_at(w.fd, ks_chain_block(c->buf, static_cast<int>(p.ofs)), n, w.ofs) < 0) {
        KS_ERROR("write chained record data error.");
        goto fail;
      }
      p.ofs = w.ofs;
      w.ofs += static_cast<uint32_t>(n);
      if (write_piece(w.ifd, p, w.iofs) < 0) {
        KS_ERROR("write chained record index error.");
        goto fail;
      }
      w.iofs += sizeof p;
    }
  }
  {
    ks_chain_piece_t p = *crp;
    p.ofs = w.ofs;
    p.blks = 0;
    if (!(p.flag & KS_CP_CFA)) {
      p.blks = static_cast<uint16_t>(blocks_for(rlen));
      // The record is written padded to whole blocks, as it would sit in the region.
      size_t n = static_cast<size_t>(p.blks) * KS_CHAIN_BLK_SZ;
      if (write_at(w.fd, rec, static_cast<size_t>(rlen), w.ofs) < 0 || ftruncate(w.fd, w.ofs + n) < 0) {
        KS_ERROR("write chained record data error.");
        goto fail;
      }
      w.ofs += static_cast<uint32_t>(n);
    }
    if (write_piece(w.ifd, p, w.iofs) < 0) {
      KS_ERROR("write chained record index error.");
      goto fail;
    }
    w.iofs += sizeof p;
  }
  for (int k = 0; k < nmem; ++k) release_memory_piece(c->buf, idx[k]);
  if (created) c->next_sid++;
  *r = w;
  *m = mw;
  return 0;
fail:
  if (created) {
    close_files(&w);
    unlink(dpath);
    unlink(ipath);
  }
  return -1;
}

}  // namespace

int ks_chain_info_path(char *path, size_t n) { return ks_component_file_path(path, n, "chr"); }

int ks_chain_rows(const ks_chain_ctx_t *c) { return KS_CHAIN_ROWS + c->nextra; }

ks_chain_row_t ks_chain_get_row(const ks_chain_ctx_t *c, int ci) {
  return ci < KS_CHAIN_ROWS ? ks_chain_load_row(c->buf, ci) : c->extra[ci - KS_CHAIN_ROWS];
}

ks_chain_meta_t ks_chain_get_meta(const ks_chain_ctx_t *c, int ci) {
  if (ci < 0 || ci >= ks_chain_rows(c)) return ks_chain_meta_t{};
  return ci < KS_CHAIN_ROWS ? c->meta[ci] : c->extra_meta[ci - KS_CHAIN_ROWS];
}

int ks_chain_find(const ks_chain_ctx_t *c, uint32_t rdba, uint16_t slot) {
  for (int i = 0; i < ks_chain_rows(c); ++i) {
    ks_chain_row_t r = ks_chain_get_row(c, i);
    if (r.dlen && r.cr_rdba == rdba && r.cr_slot == slot) return i;
  }
  return -1;
}

int ks_chain_find_piece(const ks_chain_ctx_t *c, const ks_chain_piece_t *crp) {
  if (crp->cr_rdba || crp->cr_slot) return ks_chain_find(c, crp->cr_rdba, crp->cr_slot);
  return ks_chain_find(c, crp->pc_rdba, crp->pc_slot);
}

uint8_t *ks_chain_alloc_mem(uint8_t *cbuf, int sz, int *start, int *blks) {
  int need = std::max(1, blocks_for(sz));
  int max = static_cast<int>(ks_chain_get(cbuf, KS_CHAIN_MAXBLKS));  // checked when the region is set up
  for (int s = 0, run = 0; s < max; ++s) {
    run = bit(cbuf, s) ? 0 : run + 1;
    if (run == need) {
      int first = s - need + 1;
      for (int i = first; i <= s; ++i) set_bit(cbuf, i, true);
      *start = first;
      *blks = need;
      return ks_chain_block(cbuf, first);
    }
  }
  KS_DEBUG("no space for chained memory.");
  return nullptr;
}

void ks_chain_free_mem(uint8_t *cbuf, int start, int blks) {
  for (int i = start; i < start + blks && i < KS_CHAIN_BMP_SZ * 8; ++i) set_bit(cbuf, i, false);
}

namespace {
// Room for one more row beyond the header's entries: 0, or -1 (out of memory).
int grow_extra(ks_chain_ctx_t *c) {
  if (c->nextra < c->extra_cap) return 0;
  int cap = c->extra_cap ? c->extra_cap * 2 : 32;
  void *n = realloc(c->extra, sizeof(ks_chain_row_t) * static_cast<size_t>(cap));
  if (!n) return -1;
  c->extra = static_cast<ks_chain_row_t *>(n);
  void *m = realloc(c->extra_meta, sizeof(ks_chain_meta_t) * static_cast<size_t>(cap));
  if (!m) return -1;
  c->extra_meta = static_cast<ks_chain_meta_t *>(m);
  c->extra_cap = cap;
  return 0;
}
}  // namespace

int ks_chain_save_piece(ks_chain_ctx_t *c, const ks_chain_piece_t *crp, const uint8_t *rec, int rlen, uint8_t op,
                        const ks_chain_meta_t *first, int *cip) {
  ks_chain_piece_t p = *crp;
  if (p.cr_rdba == 0 && p.cr_slot == 0) p.cr_rdba = p.pc_rdba, p.cr_slot = p.pc_slot;
  if (p.cr_rdba == 0 && p.cr_slot == 0) {
    // A key of 0.0 would read as a free piece entry: the piece could never be found.
    KS_ERROR("chained row piece without a row id.");
    return -1;
  }
  int ci = ks_chain_find(c, p.cr_rdba, p.cr_slot);
  ks_chain_row_t r{};
  ks_chain_meta_t m{};
  bool fresh = ci < 0;
  if (fresh) {
    for (int i = 0; i < ks_chain_rows(c) && ci < 0; ++i)
      if (ks_chain_get_row(c, i).dlen == 0) ci = i;
    if (ci < 0) {
      // All entries busy (many concurrent transactions on wide rows): the table grows.
      if (grow_extra(c) < 0) {
        KS_ERROR("no empty slot for new chained row record.");
        return -1;
      }
      ci = KS_CHAIN_ROWS + c->nextra++;
      c->extra[ci - KS_CHAIN_ROWS] = ks_chain_row_t{};
    }
    r.ifd = r.fd = -1;
    r.cr_rdba = p.cr_rdba;
    r.cr_slot = p.cr_slot;
    r.op = op;
    if (first) m = *first;
    m.sid = 0;
  } else {
    r = ks_chain_get_row(c, ci);
    m = *meta_of(c, ci);
  }
  ks_chain_row_t w = r;
  w.nrec++;
  w.dlen += static_cast<uint32_t>(rlen);
  if (w.dlen == 0) w.dlen = 1;  // an entry with pieces is never free
  if (p.flag & KS_CP_LMN) w.flag |= KS_CP_LMN;
  if (p.flag & KS_CP_ROLLBACK) w.flag |= KS_CP_ROLLBACK;
  if (p.flag & KS_CP_DP) w.flag |= KS_CP_DP;
  if (p.flag & KS_CP_IOT_INSERT)
    w.flag |= KS_CP_IOT_INSERT;
  else if (p.flag & KS_CP_IOT_DELETE)
    w.flag |= KS_CP_IOT_DELETE;

  int rc = 0;
  if (w.iofs || w.dlen > KS_CHAIN_SPILL) {
    rc = spill(c, &w, &m, &p, rec, rlen);
  } else {
    int idx[kMaxMemPieces];
    int nmem = memory_pieces(c->buf, w, idx, kMaxMemPieces);
    int start = 0, blks = 0, slot = -1;
    uint8_t *mem = nullptr;
    uint32_t maxcrp = std::min<uint32_t>(ks_chain_get(c->buf, KS_CHAIN_MAXCRP), KS_CHAIN_MAX_CRP);
    for (uint32_t i = 0; i < maxcrp && slot < 0; ++i) {
      ks_chain_piece_t q = ks_chain_load_piece(c->buf, static_cast<int>(i));
      if (q.cr_rdba == 0 && q.cr_slot == 0) slot = static_cast<int>(i);
    }
    // A forwarding address keeps only its piece: the assembler applies it to the pieces
    // saved before it.
    const bool cfa = (p.flag & KS_CP_CFA) != 0;
    if (nmem < kMaxMemPieces && slot >= 0) mem = cfa ? c->buf : ks_chain_alloc_mem(c->buf, rlen, &start, &blks);
    if (!mem) {
      // The region is short of blocks or piece entries: this row goes to its files.
      rc = spill(c, &w, &m, &p, rec, rlen);
    } else {
      if (!cfa) memcpy(mem, rec, static_cast<size_t>(rlen));
      p.ofs = static_cast<uint32_t>(start);
      p.blks = static_cast<uint16_t>(blks);
      p.rsv = static_cast<uint8_t>(nmem);
      ks_chain_store_piece(c->buf, slot, p);
      ks_chain_set(c->buf, KS_CHAIN_NCRP, ks_chain_get(c->buf, KS_CHAIN_NCRP) + 1);
    }
  }
  if (rc < 0) {
    KS_ERROR("save chained record to file error.");
    if (fresh && ci >= KS_CHAIN_ROWS && ci == KS_CHAIN_ROWS + c->nextra - 1) c->nextra--;
    return -1;
  }
  put_row(c, ci, w);
  *meta_of(c, ci) = m;
  if (fresh) ks_chain_set(c->buf, KS_CHAIN_NROW, ks_chain_get(c->buf, KS_CHAIN_NROW) + 1);
  if (cip) *cip = ci;
  KS_DETAIL("chained rows: %d, # of record: %d", ks_chain_get(c->buf, KS_CHAIN_NROW),
            ks_chain_get(c->buf, KS_CHAIN_NCRP));
  return 0;
}

void ks_chain_unsave(ks_chain_ctx_t *c, int ci, int rlen) {
  if (ci < 0 || ci >= ks_chain_rows(c)) return;
  ks_chain_row_t r = ks_chain_get_row(c, ci);
  if (r.dlen == 0) return;
  if (r.nrec <= 1) {
    ks_chain_clear_row(c, ci);
    return;
  }
  if (r.iofs) {
    uint8_t b[KS_CHAIN_PIECE_SZ];
    if (r.iofs >= KS_CHAIN_PIECE_SZ && ks_read_data(r.ifd, b, sizeof b, r.iofs - KS_CHAIN_PIECE_SZ) == sizeof b) {
      ks_chain_piece_t p = ks::load<ks_chain_piece_t>(b);
      r.iofs -= KS_CHAIN_PIECE_SZ;
      r.ofs -= static_cast<uint32_t>(p.blks) * KS_CHAIN_BLK_SZ;
    }
  } else {
    int idx[kMaxMemPieces];
    int n = memory_pieces(c->buf, r, idx, kMaxMemPieces);
    if (n > 0) release_memory_piece(c->buf, idx[n - 1]);
  }
  r.nrec--;
  r.dlen = r.dlen > static_cast<uint32_t>(rlen) ? r.dlen - static_cast<uint32_t>(rlen) : 1;
  put_row(c, ci, r);
}

int ks_chain_pieces(const ks_chain_ctx_t *c, int ci, ks_chain_piece_t *out, int max) {
  if (ci < 0 || ci >= ks_chain_rows(c)) return -1;
  ks_chain_row_t r = ks_chain_get_row(c, ci);
  if (r.iofs && r.fd < 0) return -1;  // spilled, and its files are not open
  if (!r.iofs) {
    int idx[kMaxMemPieces];
    int n = memory_pieces(c->buf, r, idx, kMaxMemPieces);
    n = std::min(n, max);
    for (int k = 0; k < n; ++k) out[k] = ks_chain_load_piece(c->buf, idx[k]);
    return n;
  }
  int n = static_cast<int>(std::min<uint32_t>(r.iofs / sizeof(ks_chain_piece_t), static_cast<uint32_t>(max)));
  for (int k = 0; k < n; ++k) {
    uint8_t b[KS_CHAIN_PIECE_SZ];
    if (ks_read_data(r.ifd, b, sizeof b, static_cast<off_t>(k) * KS_CHAIN_PIECE_SZ) != KS_CHAIN_PIECE_SZ) return -1;
    out[k] = ks::load<ks_chain_piece_t>(b);
  }
  return n;
}

uint8_t *ks_chain_piece_mem(const ks_chain_ctx_t *c, int ci, const ks_chain_piece_t *p) {
  if (ci < 0 || ci >= ks_chain_rows(c) || ks_chain_get_row(c, ci).iofs) return nullptr;
  if (p->ofs + p->blks > ks_chain_get(c->buf, KS_CHAIN_MAXBLKS)) return nullptr;
  return ks_chain_block(c->buf, static_cast<int>(p->ofs));
}

int ks_chain_piece_data(const ks_chain_ctx_t *c, int ci, const ks_chain_piece_t *p, uint8_t *out, size_t cap) {
  size_t n = static_cast<size_t>(p->blks) * KS_CHAIN_BLK_SZ;
  if (n > cap || ci < 0 || ci >= ks_chain_rows(c)) return -1;
  ks_chain_row_t r = ks_chain_get_row(c, ci);
  if (r.iofs) return ks_read_data(r.fd, out, n, p->ofs) == static_cast<ssize_t>(n) ? 0 : -1;
  if (p->ofs + p->blks > ks_chain_get(c->buf, KS_CHAIN_MAXBLKS)) return -1;
  memcpy(out, ks_chain_block(c->buf, static_cast<int>(p->ofs)), n);
  return 0;
}

void ks_chain_clear_row(ks_chain_ctx_t *c, int ci) {
  if (ci < 0 || ci >= ks_chain_rows(c)) return;
  ks_chain_row_t r = ks_chain_get_row(c, ci);
  if (r.dlen == 0) return;
  int idx[kMaxMemPieces];
  int n = memory_pieces(c->buf, r, idx, kMaxMemPieces);
  for (int k = 0; k < n; ++k) release_memory_piece(c->buf, idx[k]);
  if (r.fd >= 0 || r.iofs) {
    close_files(&r);
    retire_files(c, r, meta_of(c, ci)->sid);
  }
  if (ci < KS_CHAIN_ROWS) {
    ks_chain_row_t e{};
    e.ifd = e.fd = -1;
    ks_chain_store_row(c->buf, ci, e);
    c->meta[ci] = ks_chain_meta_t{};
  } else {
    // Keep the extra table dense.
    c->extra[ci - KS_CHAIN_ROWS] = c->extra[c->nextra - 1];
    c->extra_meta[ci - KS_CHAIN_ROWS] = c->extra_meta[c->nextra - 1];
    c->nextra--;
  }
  ks_chain_set(c->buf, KS_CHAIN_NROW, ks_chain_get(c->buf, KS_CHAIN_NROW) - 1);
}

void ks_chain_free(ks_chain_ctx_t *c) {
  if (c->tmpdir) {
    // The folder and whatever rows left in it; the region itself may be gone already.
    std::string dir = c->prefix;
    dir.resize(dir.rfind('/'));
    if (DIR *d = opendir(dir.c_str())) {
      while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
      closedir(d);
    }
    rmdir(dir.c_str());
    c->tmpdir = false;
  }
  free(c->extra);
  free(c->extra_meta);
  delete c->aux;
  c->extra = nullptr;
  c->extra_meta = nullptr;
  c->aux = nullptr;
  c->nextra = c->extra_cap = 0;
}

namespace {

void reset_region(uint8_t *buf, uint32_t max_blks) {
  memset(buf, 0, KS_CHAIN_TABLE_END);
  ks_chain_set(buf, KS_CHAIN_MAXCRP, KS_CHAIN_MAX_CRP);
  ks_chain_set(buf, KS_CHAIN_MAXBLKS, max_blks);
  ks_chain_row_t e{};
  e.ifd = e.fd = -1;
  for (int i = 0; i < KS_CHAIN_ROWS; ++i) ks_chain_store_row(buf, i, e);
}

// The generation an information file was written for, or -1 when it cannot be read.
int64_t image_generation(const char *path, int sz) {
  int fd = ks_open_file(path, O_RDONLY);
  if (fd < 0) return -1;
  uint8_t eb[sizeof(ks_chain_ext_t)];
  ssize_t got = ks_read_data(fd, eb, sizeof eb, sz);
  close(fd);
  if (got != static_cast<ssize_t>(sizeof eb)) return -1;
  ks_chain_ext_t ext = ks::load<ks_chain_ext_t>(eb);
  return ext.magic == KS_CHAIN_EXT_MAGIC ? ext.gen : -1;
}

// Loads the image at path into the context. 0 / -1 (logged; the region is then empty).
int load_image(ks_chain_ctx_t *c, const char *path, uint32_t max_blks) {
  int fd = ks_open_file(path, O_RDONLY);
  if (fd < 0) {
    KS_ERROR("open %s: %s", path, strerror(errno));
    return -1;
  }
  ssize_t got = ks_read_data(fd, c->buf, static_cast<size_t>(c->sz), 0);
  ks_chain_ext_t ext{};
  // An image of another size of region, or with other table sizes, would send the walks
  // of the tables past the region.
  bool bad = got != c->sz || ks_chain_get(c->buf, KS_CHAIN_MAXCRP) != KS_CHAIN_MAX_CRP ||
             ks_chain_get(c->buf, KS_CHAIN_MAXBLKS) != max_blks;
  off_t at = c->sz;
  if (!bad) {
    uint8_t eb[sizeof ext];
    bad = ks_read_data(fd, eb, sizeof eb, at) != static_cast<ssize_t>(sizeof eb);
    ext = ks::load<ks_chain_ext_t>(eb);
    bad = bad || ext.magic != KS_CHAIN_EXT_MAGIC || ext.nrow > 1000000;
    at += sizeof eb;
  }
  if (!bad && ext.nrow) {
    c->nextra = 0;
    c->extra_cap = 0;
    while (!bad && c->extra_cap < static_cast<int>(ext.nrow)) bad = grow_extra(c) < 0;
    size_t n = sizeof(ks_chain_row_t) * ext.nrow;
    bad = bad || ks_read_data(fd, c->extra, n, at) != static_cast<ssize_t>(n);
    at += static_cast<off_t>(n);
    if (!bad) c->nextra = static_cast<int>(ext.nrow);
  }
  if (!bad) {
    size_t n = sizeof(ks_chain_meta_t) * KS_CHAIN_ROWS;
    bad = ks_read_data(fd, c->meta, n, at) != static_cast<ssize_t>(n);
    at += static_cast<off_t>(n);
    n = sizeof(ks_chain_meta_t) * static_cast<size_t>(c->nextra);
    if (!bad && n) bad = ks_read_data(fd, c->extra_meta, n, at) != static_cast<ssize_t>(n);
    at += static_cast<off_t>(n);
  }
  if (!bad && c->tail != nullptr) {
    // An image written without a tail ends here.
    uint8_t tb[8];
    if (ks_read_data(fd, tb, sizeof tb, at) == static_cast<ssize_t>(sizeof tb) &&
        ks::load<uint32_t>(tb) == KS_CHAIN_TAIL_MAGIC) {
      const uint32_t n = ks::load<uint32_t>(tb + 4);
      bad = n > c->tail_cap || ks_read_data(fd, c->tail, n, at + 8) != static_cast<ssize_t>(n);
      if (!bad) c->tail_len = n;
    }
  }
  int err = errno;
  close(fd);
  if (bad) {
    KS_ERROR("read %s: %s", path, got < 0 ? strerror(err) : "file is cut short or damaged");
    reset_region(c->buf, max_blks);
    memset(c->meta, 0, sizeof c->meta);
    c->nextra = 0;
    return -1;
  }
  c->next_sid = ext.next_sid;
  return 0;
}

// Spill files of this process that no row in progress refers to: left by a kill between
// a row's clearing and the checkpoint after it, or by a restart from an older image.
void remove_stray_spills(ks_chain_ctx_t *c) {
  std::string prefix = c->prefix;
  size_t slash = prefix.rfind('/');
  std::string dir = slash == std::string::npos ? "." : prefix.substr(0, slash);
  std::string base = (slash == std::string::npos ? prefix : prefix.substr(slash + 1)) + "_";
  std::vector<std::string> keep;
  for (int i = 0; i < ks_chain_rows(c); ++i) {
    ks_chain_row_t r = ks_chain_get_row(c, i);
    if (!r.dlen || !r.iofs) continue;
    char p[1100];
    for (const char *ext : {"crd", "cri"}) {
      spill_name(c, r, meta_of(c, i)->sid, ext, p, sizeof p);
      keep.emplace_back(p);
    }
  }
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  while (dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n.compare(0, base.size(), base) != 0 || n.size() < 4) continue;
    std::string ext = n.substr(n.size() - 4);
    if (ext != ".crd" && ext != ".cri") continue;
    std::string full = dir + "/" + n;
    if (std::find(keep.begin(), keep.end(), full) == keep.end()) unlink(full.c_str());
  }
  closedir(d);
}

std::string prev_name(const ks_chain_ctx_t *c) { return std::string(c->info) + ".prev"; }

}  // namespace

int ks_chain_open(ks_chain_ctx_t *c, uint8_t *buf, int sz, const char *info, uint32_t gen) {
  uint8_t *tail = c->tail;
  const uint32_t tail_cap = c->tail_cap;
  ks_chain_free(c);
  *c = ks_chain_ctx_t{};
  c->tail = tail;
  c->tail_cap = tail_cap;
  c->buf = buf;
  c->sz = sz;
  snprintf(c->info, sizeof c->info, "%s", info);
  // Spill files are named after the information file, without its extension, so that
  // the components of a unit and the threads of a cluster never share one.
  const char *dot = strrchr(info, '.');
  const char *slash = strrchr(info, '/');
  int plen = static_cast<int>(dot && (!slash || dot > slash) ? dot - info : static_cast<long>(strlen(info)));
  snprintf(c->prefix, sizeof c->prefix, "%.*s", plen, info);
  const uint32_t max_blks = static_cast<uint32_t>(std::min(sz / KS_CHAIN_BLK_SZ - 4, KS_CHAIN_BMP_SZ * 8));
  reset_region(buf, max_blks);
  if (!*info) {
    // In memory only (the inspection tool, tests): a row that spills goes to a folder of
    // its own under the temporary directory, never to the current one, and is removed
    // with the row.
    const char *tmp = getenv("TMPDIR");
    char dir[900];
    snprintf(dir, sizeof dir, "%s/kschain.XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (mkdtemp(dir)) {
      snprintf(c->prefix, sizeof c->prefix, "%s/row", dir);
      c->tmpdir = true;
    } else {
      c->prefix[0] = 0;  // no spill: a row that would need one is refused and reported
    }
    return 0;
  }

  // The image written for the checkpoint the process restarts from: the current one, or
  // the one before it when the process stopped between writing an image and the
  // checkpoint that goes with it.
  std::string path;
  const std::string prev = prev_name(c);
  const bool have_info = access(info, F_OK) == 0;
  if (!have_info && errno != ENOENT) {
    KS_ERROR("open %s: %s", info, strerror(errno));
    return -1;
  }
  if (have_info && (gen == 0 || image_generation(info, sz) == gen))
    path = info;
  else if (gen != 0 && access(prev.c_str(), F_OK) == 0 && image_generation(prev.c_str(), sz) == gen)
    path = prev;
  else if (have_info)  // nothing was pending at that checkpoint: the file is older than it
    KS_INFO("chained row information file %s is not of the checkpoint's generation %u; not used.", info, gen);
  if (!path.empty() && load_image(c, path.c_str(), max_blks) < 0) return -1;
  for (int i = 0; i < ks_chain_rows(c); ++i) {
    ks_chain_row_t r = ks_chain_get_row(c, i);
    r.ifd = r.fd = -1;
    if (r.dlen && r.iofs) {
      char dpath[1100], ipath[1100];
      spill_name(c, r, meta_of(c, i)->sid, "cri", ipath, sizeof ipath);
      spill_name(c, r, meta_of(c, i)->sid, "crd", dpath, sizeof dpath);
      r.ifd = ks_open_file(ipath, O_RDWR);
      r.fd = r.ifd < 0 ? -1 : ks_open_file(dpath, O_RDWR);
      if (r.fd < 0) {
        KS_ERROR("open %s: %s", r.ifd < 0 ? ipath : dpath, strerror(errno));
        close_files(&r);
        put_row(c, i, r);
        for (int k = 0; k < i; ++k) {
          ks_chain_row_t o = ks_chain_get_row(c, k);
          close_files(&o);
          put_row(c, k, o);
        }
        return -1;
      }
    }
    put_row(c, i, r);
  }
  remove_stray_spills(c);
  return 0;
}

int ks_chain_save_image(ks_chain_ctx_t *c, uint32_t gen) {
  if (!c->info[0]) return 0;
  const std::string prev = prev_name(c);
  bool pending = ks_chain_get(c->buf, KS_CHAIN_NCRP) != 0 || ks_chain_get(c->buf, KS_CHAIN_NROW) != 0 ||
                 (c->tail != nullptr && c->tail_len != 0);
  // Blocks may be held by others than rows (parked LOB vectors).
  for (int i = 0; !pending && i < KS_CHAIN_BMP_SZ; ++i) pending = c->buf[offsetof(ks_chain_t, bmp) + i] != 0;
  // Written aside and renamed into place: a failure never leaves half an image under
  // the name, which the next start would take for rows in progress.
  char tmp[1100];
  snprintf(tmp, sizeof tmp, "%s.tmp", c->info);
  int rc = 0;
  if (pending) {
    int fd = ks_open_file(tmp, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) {
      KS_ERROR("open %s: %s", tmp, strerror(errno));
      return -1;
    }
    // The header and piece table, then only the blocks in use: the rest of the image
    // reads as zeros from the file's holes, and a checkpoint with a few rows in progress
    // writes kilobytes rather than the whole region.
    rc = write_at(fd, c->buf, KS_CHAIN_TABLE_END, 0);
    const int nblk = static_cast<int>(ks_chain_get(c->buf, KS_CHAIN_MAXBLKS));
    for (int b = 0; rc == 0 && b < nblk; ++b) {
      if (!bit(c->buf, b)) continue;
      int e = b;
      while (e + 1 < nblk && bit(c->buf, e + 1)) ++e;
      rc = write_at(fd, ks_chain_block(c->buf, b), static_cast<size_t>(e - b + 1) * KS_CHAIN_BLK_SZ,
                    KS_CHAIN_TABLE_END + static_cast<off_t>(b) * KS_CHAIN_BLK_SZ);
      b = e;
    }
    if (rc == 0 && ftruncate(fd, c->sz) < 0) rc = -1;
    off_t at = c->sz;
    uint8_t eb[sizeof(ks_chain_ext_t)];
    ks::store(eb, ks_chain_ext_t{KS_CHAIN_EXT_MAGIC, static_cast<uint32_t>(c->nextra), gen, c->next_sid});
    if (rc == 0) rc = write_at(fd, eb, sizeof eb, at);
    at += sizeof eb;
    size_t n = sizeof(ks_chain_row_t) * static_cast<size_t>(c->nextra);
    if (rc == 0 && n) rc = write_at(fd, c->extra, n, at);
    at += static_cast<off_t>(n);
    if (rc == 0) rc = write_at(fd, c->meta, sizeof c->meta, at);
    at += sizeof c->meta;
    n = sizeof(ks_chain_meta_t) * static_cast<size_t>(c->nextra);
    if (rc == 0 && n) rc = write_at(fd, c->extra_meta, n, at);
    at += static_cast<off_t>(n);
    if (rc == 0 && c->tail != nullptr && c->tail_len != 0) {
      uint8_t tb[8];
      ks::store<uint32_t>(tb, KS_CHAIN_TAIL_MAGIC);
      ks::store<uint32_t>(tb + 4, c->tail_len);
      rc = write_at(fd, tb, sizeof tb, at);
      if (rc == 0) rc = write_at(fd, c->tail, c->tail_len, at + 8);
    }
    if (rc == 0 && fsync(fd) < 0) rc = -1;
    if (close(fd) < 0) rc = -1;
  }
  // The image of the checkpoint before stays until the one this image goes with is on
  // disk.
  if (rc == 0 && rename(c->info, prev.c_str()) < 0 && errno != ENOENT) rc = -1;
  if (rc == 0 && pending && rename(tmp, c->info) < 0) rc = -1;
  if (rc < 0) {
    KS_ERROR("write %s: %s", c->info, strerror(errno));
    unlink(tmp);
    return -1;
  }
  if (ks_chain_aux *a = aux_of(c)) {
    a->releasable.insert(a->releasable.end(), a->doomed.begin(), a->doomed.end());
    a->doomed.clear();
  }
  return 0;
}

void ks_chain_release(ks_chain_ctx_t *c) {
  if (!c->info[0]) return;
  unlink(prev_name(c).c_str());
  if (ks_chain_aux *a = c->aux) {
    for (const std::string &f : a->releasable) unlink(f.c_str());
    a->releasable.clear();
  }
}

int ks_chain_close(ks_chain_ctx_t *c, uint32_t gen) {
  for (int i = 0; i < ks_chain_rows(c); ++i) {
    ks_chain_row_t r = ks_chain_get_row(c, i);
    close_files(&r);
    put_row(c, i, r);
  }
  return ks_chain_save_image(c, gen);
}
