// errcat: prints apply's error file — for every row that failed on the target, the
// database error (number and text), the source transaction's commit SCN, time and XID,
// and the failing change as trailcat shows it (for a quick multi-insert, the one row that
// failed).
// Invariants: every byte of the file is untrusted; a record whose lengths do not fit is
// reported with its offset and the walk stops there, since nothing after it can be
// trusted to start a record.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/fmt/error_format.h"
#include "lib/fmt/trail_format.h"
#include "lib/fmt/trail_print.h"

namespace {

// Where the failing change ends inside the record body [lcr, end): the LCR's own length,
// except for a quick multi-insert, whose descriptors are followed by the one failing row.
bool lcr_span(const uint8_t *lcr, size_t avail, uint32_t *llen, uint32_t *dlen) {
  if (avail < KS_LCR_RH_SZ) return false;
  const ks_lcr_rh_t rh = ks_lcr_load<ks_lcr_rh_t>(lcr);
  if (rh.opc != KS_OPC_QMI) {
    *llen = rh.rlen;
    *dlen = 0;
    return *llen >= KS_LCR_RH_SZ && *llen <= avail;
  }
  // Descriptors: nold column entries after the header; the row is the rest.
  uint32_t pos = KS_LCR_RH_SZ;
  for (uint32_t i = 0; i < rh.nold; i++) {
    if (avail - pos < KS_LCR_CH_SZ) return false;
    const uint32_t alen = ks_lcr_u32(lcr + pos, offsetof(ks_lcr_ch_t, alen));
    if (alen < KS_LCR_CH_SZ || alen > avail - pos) return false;
    pos += alen;
  }
  *llen = pos;
  *dlen = static_cast<uint32_t>(avail - pos);
  return true;
}

int print_file(const char *name, bool short_data) {
  FILE *f = fopen(name, "rb");
  if (f == nullptr) {
    fprintf(stderr, "open %s: %s\n", name, strerror(errno));
    return -1;
  }
  std::vector<uint8_t> data;
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
  const bool read_error = ferror(f) != 0;
  fclose(f);
  if (read_error) {
    fprintf(stderr, "read %s: %s\n", name, strerror(errno));
    return -1;
  }

  size_t ofs = 0;
  int count = 0, rc = 0;
  while (ofs < data.size()) {
    const uint8_t *r = data.data() + ofs;
    const size_t left = data.size() - ofs;
    const ks_err_rec_t e = left < KS_ERR_REC_SZ ? ks_err_rec_t{} : ks_err_rec_load(r);
    if (e.elen < KS_ERR_REC_SZ || e.elen > left) {
      fprintf(stderr, "incomplete or corrupt error record in %s at offset %zu.\n", name, ofs);
      rc = -1;
      break;
    }
    const uint8_t *msg = r + KS_ERR_REC_SZ;
    const void *nul = memchr(msg, '\0', e.elen - KS_ERR_REC_SZ);
    if (nul == nullptr) {
      fprintf(stderr, "corrupt error record in %s at offset %zu: the message has no end.\n", name, ofs);
      rc = -1;
      break;
    }
    const uint8_t *lcr = static_cast<const uint8_t *>(nul) + 1;
    const size_t body = static_cast<size_t>(r + e.elen - lcr);
    printf("=================================================================\n");
    printf("Error Record: %d  (offset %zu)\n", ++count, ofs);
    printf("Error Code: %u\nMessage: %s\n", e.ecode, reinterpret_cast<const char *>(msg));
    ks_trail_print_commit(e.scn, e.sct, e.xid);
    uint32_t llen = 0, dlen = 0;
    if (body == 0) {
      printf("(no change recorded)\n");
    } else if (!lcr_span(lcr, body, &llen, &dlen)) {
      fprintf(stderr, "corrupt change in the error record at offset %zu of %s.\n", ofs, name);
      rc = -1;
    } else {
      // The change goes through the trail printer as a one-record transaction; a quick
      // multi-insert becomes one holding just the failing row.
      ks_lcr_th_t th{};
      th.tlen = static_cast<uint32_t>(sizeof th + llen + dlen);
      th.flag = KS_TH_TRANS;
      th.nlcr = 1;
      th.csct = e.sct;
      th.cscn = e.scn;
      th.xid = e.xid;
      std::vector<uint8_t> img(th.tlen);
      ks_lcr_store(img.data(), th);
      std::memcpy(img.data() + sizeof th, lcr, llen + dlen);
      if (dlen > 0) {
        ks_lcr_set_u32(img.data() + sizeof th, offsetof(ks_lcr_rh_t, rlen), llen + dlen);
        ks_lcr_set_u32(img.data() + sizeof th, offsetof(ks_lcr_rh_t, nnew), 1);  // one row
      }
      if (ks_trail_print_transaction(img.data(), &th, static_cast<long>(ofs), name, short_data) < 0) rc = -1;
    }
    ofs += e.elen;
  }
  printf("%d error record(s).\n", count);
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  bool short_data = false;
  std::string file;
  if (ks_trail_tool_options(argc, argv, &short_data, &file) < 0) return -1;
  if (file.empty()) {
    fprintf(stderr, "not specify input file name.\n");
    return -1;
  }
  return print_file(file.c_str(), short_data) == 0 ? 0 : -1;
}
