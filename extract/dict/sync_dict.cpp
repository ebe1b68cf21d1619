// Writing a loaded dictionary back to its file after DDL tracing changed it. The file is
// written under a temporary name and renamed over the old one only when complete, so a
// failed write (disk full, I/O error) leaves the previous file intact and the block dirty.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "extract/dict/dict.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

bool write_area(int fd, const void *src, uint64_t size, uint64_t ofs) {
  if (size == 0) return true;
  ssize_t n = ks_write_data(fd, src, size, static_cast<off_t>(ofs));
  return n >= 0 && static_cast<uint64_t>(n) == size;
}

}  // namespace

namespace {

int write_file(ks_dict_t *dict, const char *path, uint32_t gen) {
  ks_dict_hdr_t *h = dict->hdr;
  if (!(h->flag & KS_DICT_DIRTY)) return 0;
  char tmp[600];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  int fd = open(tmp, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    KS_ERROR("open %s: %s", tmp, strerror(errno));
    return -1;
  }
  ks_dict_fhd_t fh = {};
  fh.flag = (dict->flag & KS_DICT_IOT) ? KS_DICT_IOT : 0;
  fh.rsv1 = gen;
  fh.nsch = h->nsch;
  fh.ntab = h->ntab;
  fh.ncol = h->ncol;
  fh.nmap = h->nmap;
  fh.nseq = h->nseq;
  fh.seqn = h->seqn;
  static const char zero[KS_DICT_TAB_OFS] = {};
  const char *fail = nullptr;
  if (!write_area(fd, &fh, sizeof fh, 0) || !write_area(fd, zero, KS_DICT_TAB_OFS - sizeof fh, sizeof fh))
    fail = "write dictionary head error.";
  else if (!write_area(fd, dict->sch, uint64_t{sizeof(ks_dict_sch_t)} * fh.nsch, KS_DICT_SCH_OFS))
    fail = "write schema information error.";
  else if (!write_area(fd, dict->tab, uint64_t{sizeof(ks_dict_tab_t)} * fh.ntab, KS_DICT_TAB_OFS))
    fail = "write table information error.";
  else if (!write_area(fd, dict->col, uint64_t{sizeof(ks_dict_col_t)} * fh.ncol, ks_dict_col_ofs(fh.ntab)))
    fail = "write column information error.";
  else if (!write_area(fd, dict->map, uint64_t{sizeof(ks_dict_map_t)} * fh.nmap, ks_dict_map_ofs(fh.ntab, fh.ncol)))
    fail = "write mapping information error.";
  else if (!write_area(fd, dict->seq, uint64_t{sizeof(ks_dict_seq_t)} * fh.nseq,
                       ks_dict_seq_ofs(fh.ntab, fh.ncol, fh.nmap)))
    fail = "write sequence information error.";
  else if (fsync(fd) != 0)
    fail = "write sequence information error.";
  if (close(fd) != 0 && fail == nullptr) fail = "write sequence information error.";
  if (fail == nullptr && rename(tmp, path) != 0) {
    KS_ERROR("rename %s: %s", tmp, strerror(errno));
    unlink(tmp);
    return -1;
  }
  if (fail != nullptr) {
    KS_ERROR("%s", fail);
    unlink(tmp);
    return -1;
  }
  h->flag &= ~KS_DICT_DIRTY;
  return 0;
}

void dict_path(char *path, size_t n, const char *unit, const char *name) {
  snprintf(path, n, "%sdict/%s/%s.dict", ks_get_home_dir(), unit, name);
}

// Generation a dictionary file was written with (0: by the export, or unreadable).
bool file_generation(const char *path, uint32_t *gen) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  ks_dict_fhd_t fh = {};
  bool ok = ks_read_data(fd, &fh, sizeof fh, 0) == static_cast<ssize_t>(sizeof fh);
  close(fd);
  *gen = fh.rsv1;
  return ok;
}

// Whether generation a was saved after b (generations count up and wrap).
bool later(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

}  // namespace

int ks_dict_write_file(ks_dict_t *dict, const char *path) { return write_file(dict, path, 0); }

int ks_dict_checkpoint(ks_dict_t *dict, uint32_t gen) {
  if (dict == nullptr || dict->hdr == nullptr || !(dict->hdr->flag & KS_DICT_DIRTY)) return 0;
  char path[512], prev[520];
  dict_path(path, sizeof path, unit_name, com_name);
  snprintf(prev, sizeof prev, "%s.prev", path);
  // The file the last checkpoint names stays until a later checkpoint names this one.
  unlink(prev);
  if (link(path, prev) != 0 && errno != ENOENT) KS_WARN("link %s: %s", prev, strerror(errno));
  return write_file(dict, path, gen);
}

int ks_dict_choose_file(const char *unit, const char *name, uint32_t gen, char *path, size_t n) {
  dict_path(path, n, unit, name);
  uint32_t g = 0;
  if (gen == 0 || !file_generation(path, &g) || g == 0 || !later(g, gen)) return 0;
  // Written by a save whose checkpoint never came: the redo is read again from the
  // checkpoint before, which the previous file belongs to.
  char prev[520];
  snprintf(prev, sizeof prev, "%s.prev", path);
  uint32_t pg = 0;
  if (file_generation(prev, &pg) && (pg == 0 || !later(pg, gen))) {
    KS_INFO("load the dictionary %s, saved with the checkpoint.", prev);
    snprintf(path, n, "%s", prev);
    return 0;
  }
  KS_ERROR("dictionary file %s does not belong to the checkpoint (generation %u).", path, gen);
  return -1;
}

int ks_sync_dict(ks_dict_t *dict) {
  if (dict == nullptr || dict->hdr == nullptr) return -1;
  if (!(dict->hdr->flag & KS_DICT_DIRTY)) return 0;
  char path[512];
  dict_path(path, sizeof path, unit_name, com_name);
  return write_file(dict, path, 0);
}
