// schemacat: prints a dictionary file: its schemas, its tables with their columns and
// alias entries, and its map records. Reads the file only; every count taken from the
// header is checked against what the file really holds, so a damaged or truncated file
// prints what it has and never makes the tool read past its buffers; then the damage
// (header counts the file cannot hold, a stored index out of its area) is reported with
// its offset, by the checks the loader runs, and the tool exits with failure.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/fmt/dict_format.h"

namespace {

// Table and column records have the same size and are read as one run.
constexpr uint32_t kTabColSz = sizeof(ks_dict_tab_t);
static_assert(sizeof(ks_dict_col_t) == kTabColSz);

const char *x_prog = "schemacat";
char x_file[256];
int x_short = 0;                      // "-s": tables only
int x_one = 0;                        // "-t" given
char x_one_name[2][KS_DICT_NAME_SZ];  // "-t SCHEMA.TABLE": print that table only

void usage() {
  fprintf(
      stderr,
      "usage: %s [options]\n  -h    print this message\n  -s    print tables only\n  -t    print one table\n  -f    "
      "input file name\n\n",
      x_prog);
}

// A name field as a C string, whatever the file holds.
std::string name_of(const char *field) { return std::string(field, strnlen(field, KS_DICT_NAME_SZ)); }

// Reads up to size bytes at ofs, retrying interrupted reads; the byte count, or -1.
ssize_t read_some(int fd, void *buf, size_t size, off_t ofs) {
  size_t done = 0;
  auto *p = static_cast<char *>(buf);
  while (done < size) {
    ssize_t n = pread(fd, p + done, size - done, ofs + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Reads count records of rsz bytes; on a short file says so and returns what was read.
int64_t read_records(int fd, void *buf, size_t cap, uint64_t count, uint32_t rsz, uint64_t ofs) {
  uint64_t want = count * rsz;
  size_t take = want < cap ? static_cast<size_t>(want) : cap - cap % rsz;
  ssize_t n = read_some(fd, buf, take, static_cast<off_t>(ofs));
  if (n < 0) {
    fprintf(stderr, "read %s: %s\n", x_file, strerror(errno));
    return -1;
  }
  if (static_cast<uint64_t>(n) < want) fprintf(stderr, "reach the end of file.\n");
  return n / rsz;
}

int print_dictionary() {
  int fd = open(x_file, O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "open %s: %s\n", x_file, strerror(errno));
    return -1;
  }
  static uint8_t head[KS_DICT_TAB_OFS];
  ssize_t n = read_some(fd, head, sizeof head, 0);
  if (n < 0) {
    fprintf(stderr, "read %s: %s\n", x_file, strerror(errno));
    close(fd);
    return -1;
  }
  if (n < static_cast<ssize_t>(sizeof head)) {
    fprintf(stderr, "read %s: not completed.\n", x_file);
    close(fd);
    return -1;
  }
  ks_dict_fhd_t fh;
  memcpy(&fh, head, sizeof fh);
  // Damage is reported after what the file holds has been printed.
  off_t fsz = lseek(fd, 0, SEEK_END);
  char damage[256];
  bool damaged = ks_dict_check_header(fh, static_cast<uint64_t>(fsz), damage, sizeof damage) != 0;
  uint32_t nsch = fh.nsch;
  const uint32_t sch_room = (KS_DICT_TAB_OFS - KS_DICT_SCH_OFS) / sizeof(ks_dict_sch_t);
  if (nsch > sch_room) nsch = sch_room;
  ks_dict_sch_t sch[sch_room];
  memcpy(sch, head + KS_DICT_SCH_OFS, sizeof(ks_dict_sch_t) * nsch);

  printf("-------------------- Schema --------------------\n\n");
  for (uint32_t i = 0; i < nsch; i++)
    printf("flag: %04x, map index: %2d, name: %s\n", sch[i].flag, static_cast<int>(sch[i].mpi),
           name_of(sch[i].name).c_str());
  printf("\n");

  // Never allocate more than the file can fill: a damaged count must not exhaust memory.
  uint64_t avail = fsz > static_cast<off_t>(KS_DICT_TAB_OFS) ? static_cast<uint64_t>(fsz) - KS_DICT_TAB_OFS : 0;
  uint64_t nrec = uint64_t{fh.ntab} + fh.ncol;
  uint64_t bsz = nrec * kTabColSz;
  if (bsz > avail) bsz = avail - avail % kTabColSz;
  size_t cap = static_cast<size_t>(bsz) > 0 ? static_cast<size_t>(bsz) : kTabColSz;
  auto *buf = static_cast<uint8_t *>(malloc(cap));
  if (buf == nullptr) {
    fprintf(stderr, "allocate memory error: %s\n", strerror(errno));
    close(fd);
    return -1;
  }
  int64_t got = read_records(fd, buf, cap, nrec, kTabColSz, KS_DICT_TAB_OFS);
  if (got < 0) {
    free(buf);
    close(fd);
    return -1;
  }
  uint64_t have = static_cast<uint64_t>(got);
  uint64_t ntab = fh.ntab < have ? fh.ntab : have;
  auto *tab = reinterpret_cast<ks_dict_tab_t *>(buf);
  auto *col = reinterpret_cast<ks_dict_col_t *>(buf + kTabColSz * uint64_t{fh.ntab});
  uint64_t ncol = have > fh.ntab ? have - fh.ntab : 0;

  printf("-------------------- Tables --------------------\n\n");
  for (uint64_t i = 0; i < ntab; i++) {
    const ks_dict_tab_t &t = tab[i];
    std::string sname = t.ui < nsch ? name_of(sch[t.ui].name) : std::string();
    std::string tname = name_of(t.name);
    if (x_one_name[1][0] != '\0') {
      // One table: the named table and the alias entries that point at it.
      bool mine = (t.flag & (KS_TAB_ALIAS | 0x4)) ? false : (sname == x_one_name[0] && tname == x_one_name[1]);
      if (!mine && (t.flag & KS_TAB_ALIAS)) {
        for (uint64_t j = 0; j < ntab; j++)
          if (tab[j].objn == t.ncol && !(tab[j].flag & KS_TAB_ALIAS) && tab[j].ui < nsch &&
              name_of(sch[tab[j].ui].name) == x_one_name[0] && name_of(tab[j].name) == x_one_name[1])
            mine = true;
      }
      if (!mine) continue;
    }
    if (t.flag & (KS_TAB_ALIAS | 0x4)) {
      printf("##SUB##  flag: %04x, obj#: %d, bo#: %d\n\n", t.flag, static_cast<int>(t.objn), static_cast<int>(t.ncol));
      continue;
    }
    printf("##TAB##  flag: %04x, obj#: %d, cols: %d, name: %s.%s\n", t.flag, static_cast<int>(t.objn),
           static_cast<int>(t.ncol), sname.c_str(), tname.c_str());
    if (!x_short) {
      for (uint32_t k = 0; k < t.ncol; k++) {
        uint64_t ci = uint64_t{t.cidx} + k;
        if (ci >= ncol) break;
        const ks_dict_col_t &c = col[ci];
        printf("COL[%2d]  flag: %04x, col#: %2d, segcol#: %2d, type: %3d, length: %4d, name: %s\n", static_cast<int>(k),
               c.flag, static_cast<int>(c.cid), static_cast<int>(c.scid), static_cast<int>(c.ctyp),
               static_cast<int>(c.clen), name_of(c.name).c_str());
      }
    }
    printf("\n");
  }
  printf("\n");

  if (fh.nmap != 0) {
    printf("-------------------- Mapping --------------------\n\n");
    uint64_t mofs = ks_dict_map_ofs(fh.ntab, fh.ncol);
    uint64_t mavail = static_cast<uint64_t>(fsz) > mofs ? static_cast<uint64_t>(fsz) - mofs : 0;
    uint64_t mbsz = uint64_t{fh.nmap} * sizeof(ks_dict_map_t);
    if (mbsz > mavail) mbsz = mavail - mavail % sizeof(ks_dict_map_t);
    if (mbsz > cap) {
      auto *nb = static_cast<uint8_t *>(realloc(buf, static_cast<size_t>(mbsz)));
      if (nb == nullptr) {
        fprintf(stderr, "realloc(): %s\n", strerror(errno));
        free(buf);
        close(fd);
        return -1;
      }
      buf = nb;
      cap = static_cast<size_t>(mbsz);
    }
    int64_t nm = read_records(fd, buf, cap, fh.nmap, sizeof(ks_dict_map_t), mofs);
    if (nm < 0) {
      free(buf);
      close(fd);
      return -1;
    }
    auto *map = reinterpret_cast<ks_dict_map_t *>(buf);
    for (int64_t i = 0; i < nm; i++)
      printf("\"%s\".\"%s\" = \"%s\".\"%s\"\n", name_of(map[i].schema).c_str(), name_of(map[i].table).c_str(),
             name_of(map[i].map_schema).c_str(), name_of(map[i].map_table).c_str());
    printf("\n");
  }
  // With counts the file holds, every record was read: check the indexes they store.
  if (!damaged) {
    std::vector<ks_dict_seq_t> seq(fh.nseq);
    if (read_records(fd, seq.data(), seq.size() * sizeof(ks_dict_seq_t), fh.nseq, sizeof(ks_dict_seq_t),
                     ks_dict_seq_ofs(fh.ntab, fh.ncol, fh.nmap)) != static_cast<int64_t>(fh.nseq)) {
      free(buf);
      close(fd);
      return -1;
    }
    if (fh.nmap != 0) {  // the map records took the buffer over: read the tables again
      if (read_records(fd, buf, cap, fh.ntab, sizeof(ks_dict_tab_t), KS_DICT_TAB_OFS) !=
          static_cast<int64_t>(fh.ntab)) {
        free(buf);
        close(fd);
        return -1;
      }
    }
    damaged =
        ks_dict_check_records(fh, sch, reinterpret_cast<ks_dict_tab_t *>(buf), seq.data(), damage, sizeof damage) != 0;
  }
  free(buf);
  close(fd);
  if (damaged) {
    fprintf(stderr, "%s: %s.\n", x_file, damage);
    return -1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 0 && argv[0] != nullptr) {
    const char *slash = strrchr(argv[0], '/');
    x_prog = slash != nullptr ? slash + 1 : argv[0];
  }
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (strcmp(a, "-h") == 0) {
      usage();
      return -1;
    } else if (strcmp(a, "-s") == 0) {
      x_short = 1;
    } else if (strcmp(a, "-t") == 0) {
      x_one = 1;
      // An optional SCHEMA.TABLE after "-t" selects the table to print.
      if (i + 1 < argc && argv[i + 1][0] != '-') {
        const char *v = argv[++i];
        const char *dot = strchr(v, '.');
        if (dot == nullptr || dot == v || dot[1] == '\0') {
          fprintf(stderr, "invalid table name [%s]\n", v);
          usage();
          return -1;
        }
        snprintf(x_one_name[0], sizeof x_one_name[0], "%.*s", static_cast<int>(dot - v), v);
        snprintf(x_one_name[1], sizeof x_one_name[1], "%s", dot + 1);
      }
    } else if (strcmp(a, "-f") == 0) {
      if (i + 1 >= argc) {
        fprintf(stderr, "not specify input file name.\n");
        usage();
        return -1;
      }
      snprintf(x_file, sizeof x_file, "%s", argv[++i]);
    } else {
      fprintf(stderr, "invalid option [%s]\n", a);
      usage();
      return -1;
    }
  }
  (void)x_one;
  if (print_dictionary() < 0) {
    fprintf(stderr, "print dictionary error.\n");
    return -1;
  }
  return 0;
}
