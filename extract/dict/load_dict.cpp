// Loading a dictionary file into one contiguous block: the block layout and capacities
// (room for tables, columns, schemas and sequences added later by DDL tracing), and the
// checks that keep a damaged or truncated file from producing a block that lies about
// its contents: header counts against the file size, every stored index against the
// area it points into. The block is: 8 zero bytes, the header, then the schema, table, column,
// map and sequence areas at their capacities.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "extract/dict/dict.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"
#include "lib/util.h"

namespace {

uint32_t room(uint32_t n, uint32_t least) {
  uint64_t r = static_cast<uint64_t>(n) * 12 / 10;
  return static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(r, least), UINT32_MAX));
}

bool read_area(int fd, void *dst, uint64_t size, uint64_t ofs) {
  if (size == 0) return true;
  ssize_t n = ks_read_data(fd, dst, size, static_cast<off_t>(ofs));
  return n >= 0 && static_cast<uint64_t>(n) == size;
}

}  // namespace

void ks_dict_capacity(const ks_dict_fhd_t *fh, ks_dict_cap_t *cap) {
  cap->max_sch = room(fh->nsch, 128);
  cap->max_tab = room(fh->ntab, 2000);
  cap->max_col = room(fh->ncol, 20000);
  cap->max_seq = room(fh->nseq, 256);
}

uint64_t ks_dict_block_size(const ks_dict_cap_t *cap, uint32_t nmap) {
  return KS_DICT_LEAD_SZ + sizeof(ks_dict_hdr_t) + uint64_t{sizeof(ks_dict_sch_t)} * cap->max_sch +
         uint64_t{sizeof(ks_dict_tab_t)} * cap->max_tab + uint64_t{sizeof(ks_dict_col_t)} * cap->max_col +
         uint64_t{sizeof(ks_dict_map_t)} * nmap + uint64_t{sizeof(ks_dict_seq_t)} * cap->max_seq;
}

int ks_dict_load_block(const char *path, ks_dict_alloc_fn alloc, ks_dict_free_fn release, uint8_t **blockp) {
  *blockp = nullptr;
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    KS_ERROR("open %s: %s", path, strerror(errno));
    return -1;
  }
  ks_dict_fhd_t fh;
  struct stat st;
  if (ks_read_data(fd, &fh, sizeof fh, 0) != static_cast<ssize_t>(sizeof fh) || fstat(fd, &st) != 0) {
    KS_ERROR("read dictionary head error.");
    close(fd);
    return -1;
  }
  // Counts that the file cannot hold mean a damaged header: refuse it before allocating.
  char msg[256];
  if (ks_dict_check_header(fh, static_cast<uint64_t>(st.st_size), msg, sizeof msg) != 0) {
    KS_ERROR("read dictionary head error.");
    KS_ERROR("%s: %s.", path, msg);
    close(fd);
    return -1;
  }
  ks_dict_cap_t cap;
  ks_dict_capacity(&fh, &cap);
  uint64_t bsz = ks_dict_block_size(&cap, fh.nmap);
  auto *base = static_cast<uint8_t *>(bsz <= SIZE_MAX ? alloc(static_cast<size_t>(bsz)) : nullptr);
  if (base == nullptr) {
    KS_ERROR("allocate shared memory error.");
    close(fd);
    return -1;
  }
  memset(base, 0, KS_DICT_LEAD_SZ + sizeof(ks_dict_hdr_t));
  auto *hdr = reinterpret_cast<ks_dict_hdr_t *>(base + KS_DICT_LEAD_SZ);
  hdr->flag = fh.flag & KS_DICT_IOT;
  hdr->status = 0;
  hdr->max_sch = cap.max_sch;
  hdr->nsch = fh.nsch;
  hdr->max_tab = cap.max_tab;
  hdr->ntab = fh.ntab;
  hdr->max_col = cap.max_col;
  hdr->ncol = fh.ncol;
  hdr->max_seq = cap.max_seq;
  hdr->nseq = fh.nseq;
  hdr->nmap = fh.nmap;
  hdr->seqn = fh.seqn;

  ks_dict_t d;
  ks_dict_attach(base, &d);
  const char *fail = nullptr;
  if (!read_area(fd, d.sch, uint64_t{sizeof(ks_dict_sch_t)} * fh.nsch, KS_DICT_SCH_OFS))
    fail = "read schema data error.";
  else if (!read_area(fd, d.tab, uint64_t{sizeof(ks_dict_tab_t)} * fh.ntab, KS_DICT_TAB_OFS))
    fail = "read table data error.";
  else if (!read_area(fd, d.col, uint64_t{sizeof(ks_dict_col_t)} * fh.ncol, ks_dict_col_ofs(fh.ntab)))
    fail = "read column data error.";
  else if (!read_area(fd, d.map, uint64_t{sizeof(ks_dict_map_t)} * fh.nmap, ks_dict_map_ofs(fh.ntab, fh.ncol)))
    fail = "read mapping data error.";
  else if (!read_area(fd, d.seq, uint64_t{sizeof(ks_dict_seq_t)} * fh.nseq, ks_dict_seq_ofs(fh.ntab, fh.ncol, fh.nmap)))
    fail = "read sequence data error.";
  close(fd);
  if (fail != nullptr) {
    KS_ERROR("%s", fail);
    release(base);
    return -1;
  }
  // The capture follows the indexes stored in the records without checking them again.
  if (ks_dict_check_records(fh, d.sch, d.tab, d.seq, msg, sizeof msg) != 0) {
    KS_ERROR("%s: %s.", path, msg);
    release(base);
    return -1;
  }
  *blockp = base;
  return 0;
}

namespace {

void *shm_alloc(size_t n) { return ks_shm_alloc(n); }
void shm_release(void *p) { ks_shm_free(p); }

}  // namespace

int ks_set_dictionary_position(int sno, int offset) {
  auto *bh = static_cast<ks_cfg_bh_t *>(ks_shm_get_cfg_ptr());
  int c = bh == nullptr ? -1 : ks_cfg_find_com(bh, unit_name, com_name);
  if (c < 0) {
    KS_ERROR("get config pointer error.");
    return -1;
  }
  ks_cfg_com_t *com = &ks_cfg_coms(bh)[c];
  // Published once per load, before the other processes of the component start.
  __atomic_store_n(&com->hdr_sno, static_cast<uint32_t>(sno), __ATOMIC_RELEASE);
  __atomic_store_n(&com->hdr_off, static_cast<uint32_t>(offset), __ATOMIC_RELEASE);
  return 0;
}

namespace {

int load_published(const char *path) {
  uint8_t *base = nullptr;
  if (ks_dict_load_block(path, shm_alloc, shm_release, &base) != 0) return -1;
  uint32_t sno = 0, ofs = 0;
  if (ks_shm_get_pos(base, &sno, &ofs) != 0) {
    KS_ERROR("get dictionary position error.");
    ks_shm_free(base);
    return -1;
  }
  if (ks_set_dictionary_position(static_cast<int>(sno), static_cast<int>(ofs)) != 0) {
    ks_shm_free(base);
    return -1;
  }
  return 0;
}

}  // namespace

int ks_load_dict(char *unit, char *name) {
  char path[512];
  snprintf(path, sizeof path, "%sdict/%s/%s.dict", ks_get_home_dir(), unit, name);
  return load_published(path);
}

int ks_dict_match_checkpoint(ks_dict_t *dictp, uint32_t gen) {
  char path[512], cur[512];
  snprintf(cur, sizeof cur, "%sdict/%s/%s.dict", ks_get_home_dir(), unit_name, com_name);
  if (ks_dict_choose_file(unit_name, com_name, gen, path, sizeof path) < 0) return -1;
  if (strcmp(path, cur) == 0) return 0;
  // The loaded file is ahead of the checkpoint: load the one that goes with it instead.
  if (ks_unload_dict(dictp) < 0 || load_published(path) < 0) return -1;
  return ks_open_dict(dictp);
}

int ks_unload_dict(ks_dict_t *dictp) {
  if (dictp == nullptr || dictp->base == nullptr) return 0;
  // Withdraw the published position first, when it still names this block, so that a
  // process of the component starting later fails cleanly instead of mapping freed memory.
  uint32_t sno = 0, ofs = 0;
  auto *bh = static_cast<ks_cfg_bh_t *>(ks_shm_get_cfg_ptr());
  int c = bh == nullptr ? -1 : ks_cfg_find_com(bh, unit_name, com_name);
  if (c >= 0 && ks_shm_get_pos(dictp->base, &sno, &ofs) == 0) {
    ks_cfg_com_t *com = &ks_cfg_coms(bh)[c];
    if (com->hdr_sno == sno && com->hdr_off == ofs) {
      com->hdr_sno = 0;
      com->hdr_off = 0;
    }
  }
  int rc = ks_shm_free(dictp->base);
  *dictp = {};
  return rc;
}
