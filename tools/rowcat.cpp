// rowcat: prints the chained-row information file a capture process leaves at a stop
// when rows are in progress: the header counters, the rows (the header's entries, then
// the extra rows saved after the image) and the pieces kept in the region.
// Invariants: the file is untrusted. A file shorter than the image is printed from what
// it holds (the rest reads as zero); counters that could send a walk past the image, or
// extra rows cut short, are reported and the program fails, after printing what it could.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/fmt/chain_format.h"
#include "lib/fmt/trail_print.h"
#include "lib/util.h"

namespace {

uint8_t image[KS_CHAIN_BUF_SZ];

void print_row(int index, const ks_chain_row_t &r) {
  printf("index: %d, rid: %x.%x, dlen: %d, #rec: %d, op: %d, flag: %x\n", index, r.cr_rdba, r.cr_slot,
         static_cast<int>(r.dlen), static_cast<int>(r.nrec), r.op, r.flag);
}

// 0, or -1 when the file is damaged (what could be trusted has been printed).
int print_image(int fd, const char *name, off_t size) {
  int rc = 0;
  uint32_t ncrp = ks_chain_get(image, KS_CHAIN_NCRP);
  uint32_t max_crp = ks_chain_get(image, KS_CHAIN_MAXCRP);
  printf("\nChained Head Information:\n\n");
  printf("# of chained row piece: %d\n", static_cast<int>(ncrp));
  printf("# of chained rows: %d\n", static_cast<int>(ks_chain_get(image, KS_CHAIN_NROW)));
  printf("\nChined Row Information:\n\n");
  for (int i = 0; i < KS_CHAIN_ROWS; ++i) {
    ks_chain_row_t r = ks_chain_load_row(image, i);
    if (r.dlen) print_row(i, r);
  }
  if (size > KS_CHAIN_BUF_SZ) {
    uint8_t eb[sizeof(ks_chain_ext_t)];
    ks_chain_ext_t ext{};
    if (ks_read_data(fd, eb, sizeof eb, KS_CHAIN_BUF_SZ) == static_cast<ssize_t>(sizeof eb))
      ext = ks::load<ks_chain_ext_t>(eb);
    // The extra rows, then what the capture keeps of every row besides its entry.
    off_t need = KS_CHAIN_BUF_SZ + static_cast<off_t>(sizeof eb) +
                 static_cast<off_t>(ext.nrow) * static_cast<off_t>(sizeof(ks_chain_row_t) + sizeof(ks_chain_meta_t)) +
                 static_cast<off_t>(KS_CHAIN_ROWS * sizeof(ks_chain_meta_t));
    if (ext.magic != KS_CHAIN_EXT_MAGIC || need > size) {
      fprintf(stderr, "%s: extra chained rows after offset %d are damaged.\n", name, KS_CHAIN_BUF_SZ);
      rc = -1;
    } else {
      for (uint32_t k = 0; k < ext.nrow; ++k) {
        uint8_t rb[sizeof(ks_chain_row_t)];
        off_t at = KS_CHAIN_BUF_SZ + static_cast<off_t>(sizeof eb) + static_cast<off_t>(k) * sizeof rb;
        if (ks_read_data(fd, rb, sizeof rb, at) != static_cast<ssize_t>(sizeof rb)) {
          fprintf(stderr, "read %s: %s\n", name, strerror(errno));
          rc = -1;
          break;
        }
        ks_chain_row_t r = ks::load<ks_chain_row_t>(rb);
        if (r.dlen) print_row(KS_CHAIN_ROWS + static_cast<int>(k), r);
      }
    }
  }
  printf("\nChained Row Piece Information:\n\n");
  if (max_crp > KS_CHAIN_MAX_CRP) {
    fprintf(stderr, "%s: piece table of %u entries, at most %d fit.\n", name, max_crp, KS_CHAIN_MAX_CRP);
    max_crp = KS_CHAIN_MAX_CRP;
    rc = -1;
  }
  if (ncrp == 0) return rc;
  for (uint32_t i = 0; i < max_crp; ++i) {
    ks_chain_piece_t p = ks_chain_load_piece(image, static_cast<int>(i));
    if (p.cr_rdba || p.cr_slot)
      printf("rid: %x.%x, start block#: %d, blks: %d\n", p.cr_rdba, p.cr_slot, static_cast<int>(p.ofs), p.blks);
  }
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  std::string name;
  if (ks_trail_tool_options(argc, argv, nullptr, &name) < 0) return -1;
  if (name.empty()) {
    fprintf(stderr, "not specify input file name.\n");
    return -1;
  }
  int fd = ks_open_file(name.c_str(), O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "open %s: %s\n", name.c_str(), strerror(errno));
    return -1;
  }
  ssize_t got = ks_read_data(fd, image, sizeof image, 0);
  off_t size = lseek(fd, 0, SEEK_END);
  if (got < 0 || size < 0) {
    fprintf(stderr, "read %s: %s\n", name.c_str(), strerror(errno));
    close(fd);
    return -1;
  }
  int rc = print_image(fd, name.c_str(), size);
  close(fd);
  if (rc < 0) {
    fprintf(stderr, "print chained row information file error.\n");
    return -1;
  }
  return 0;
}
