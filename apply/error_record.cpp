// The error file "<home>error/<unit>/<component>_error.dat" (its record is laid out in
// lib/fmt/error_format.h): one record per row (or LOB, LONG, DDL, sequence operation)
// that the target refused or that matched nothing. A record is appended with one write
// so a reader never meets half a header followed by the next record; the lengths are
// taken from the LCR's own bounds-checked entries, so a corrupt LCR cannot make the
// writer read past it (its record then carries the message and the transaction only).
// Records of rows are held in memory until their unit commits and are written just
// before the commit: a unit rolled back (lack of space on the target, a stop) leaves no
// record of rows that will be replayed again, and a record that cannot be written stops
// the unit before it commits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "apply/apply.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

int open_error_file(char *path, size_t psz) {
  std::snprintf(path, psz, "%serror/%s/%s_error.dat", ks_get_home_dir(), unit_name, com_name);
  for (int tried_dir = 0;;) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) return fd;
    if (errno == EINTR) {
      sleep(1);
      continue;
    }
    if (errno == ENOENT && !tried_dir) {
      // The unit's folder is made when the unit is added; make it if it went missing
      // rather than lose the record.
      tried_dir = 1;
      char dir[600];
      std::snprintf(dir, sizeof dir, "%serror/%s", ks_get_home_dir(), unit_name);
      mkdir(dir, 0755);
      continue;
    }
    KS_ERROR("open %s: %s", path, strerror(errno));
    return -1;
  }
}

// Length of the LCR part and of the row part of a record.
int record_lengths(const uint8_t *record, const uint8_t *rdata, uint32_t *llen, uint32_t *dlen) {
  *dlen = 0;
  uint32_t rlen = ks_rh_rlen(record);
  if (ks_rh_opc(record) != KS_OPC_QMI) {
    *llen = rlen;
    return rlen >= KS_LCR_RH_SZ || rlen == KS_LCR_RHS_SZ ? 0 : -1;
  }
  uint32_t nold = ks_rh_nold(record);
  if (nold > KS_MAX_COLS) return -1;
  static ks_col_view cols[KS_MAX_COLS];
  long end = ks_lcr_read_cols(record, rlen, KS_LCR_RH_SZ, nold, cols);
  if (end < 0) return -1;
  *llen = static_cast<uint32_t>(end);
  if (rdata != nullptr) {
    uint32_t pos = 0;
    for (uint32_t i = 0; i < nold; i++) pos += 2u + ks::load<uint16_t>(rdata + pos);
    *dlen = pos;
  }
  return 0;
}

}  // namespace

namespace {

// Records of the open unit, written when it commits.
uint8_t *s_held = nullptr;
size_t s_held_len = 0, s_held_cap = 0;
// Past this the held records are written at once: a unit rolled back after that may
// record some rows twice, which is better than holding memory without bound.
constexpr size_t kHeldMax = 8u << 20;

// The whole record in one block (malloc'd), or null.
uint8_t *build_record(ks_err_rec_t *erec, const char *emsg, const uint8_t *record, const uint8_t *rdata,
                      size_t *total) {
  uint32_t llen = 0, dlen = 0;
  if (record != nullptr && record_lengths(record, rdata, &llen, &dlen) < 0) {
    // The change is kept out of the record rather than read past its end; the record
    // still names the transaction, so the row is not lost without trace.
    KS_ERROR("the failing LCR is malformed; its error record carries the message only.");
    llen = dlen = 0;
  }
  size_t mlen = std::strlen(emsg) + 1;
  *total = sizeof(ks_err_rec_t) + mlen + llen + dlen;
  erec->elen = static_cast<uint32_t>(*total);
  erec->flag = 0;
  auto *buf = static_cast<uint8_t *>(std::malloc(*total));
  if (buf == nullptr) return nullptr;
  uint8_t *p = buf;
  ks_err_rec_store(p, *erec);
  p += sizeof(ks_err_rec_t);
  std::memcpy(p, emsg, mlen);
  p += mlen;
  if (llen > 0) std::memcpy(p, record, llen);
  p += llen;
  if (dlen > 0) std::memcpy(p, rdata, dlen);
  return buf;
}

int append_records(const uint8_t *data, size_t len) {
  char path[600];
  int fd = open_error_file(path, sizeof path);
  if (fd < 0) return -1;
  ssize_t n = ks_append_data(fd, data, len);
  int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(len)) {
    KS_ERROR("write error record data error: %s", strerror(n < 0 ? err : ENOSPC));
    return -1;
  }
  return 0;
}

}  // namespace

uint32_t x_err_count = 0;

int ks_write_error_record(ks_err_rec_t *erec, const char *emsg, const uint8_t *record, const uint8_t *rdata) {
  size_t total = 0;
  uint8_t *buf = build_record(erec, emsg, record, rdata, &total);
  if (buf == nullptr) {
    KS_ERROR("write error record head error.");
    return -1;
  }
  int rc = append_records(buf, total);
  std::free(buf);
  return rc;
}

int ks_error_for_row(const uint8_t *thdr, int ecode, const char *emsg, const uint8_t *record, const uint8_t *rdata) {
  ks_err_rec_t e;
  std::memset(&e, 0, sizeof e);
  e.ecode = static_cast<uint32_t>(ecode);
  if (thdr != nullptr) {
    e.sct = ks_th_csct(thdr);
    e.scn = ks_th_cscn(thdr);
    e.xid = ks_th_xid(thdr);
  }
  size_t total = 0;
  uint8_t *buf = build_record(&e, emsg, record, rdata, &total);
  if (buf != nullptr && s_held_len + total > s_held_cap) {
    size_t cap = s_held_cap == 0 ? 65536 : s_held_cap;
    while (cap < s_held_len + total) cap *= 2;
    auto *grown = static_cast<uint8_t *>(std::realloc(s_held, cap));
    if (grown == nullptr) {
      std::free(buf);
      buf = nullptr;
    } else {
      s_held = grown;
      s_held_cap = cap;
    }
  }
  if (buf == nullptr) {
    KS_ERROR("no memory for an error record.");
    ks_unit_fail(KS_UF_STOP, "an error record could not be kept.");
    return -1;
  }
  std::memcpy(s_held + s_held_len, buf, total);
  s_held_len += total;
  std::free(buf);
  x_err_count++;
  return s_held_len > kHeldMax ? ks_error_flush() : 0;
}

int ks_error_flush() {
  if (s_held_len == 0) return 0;
  int rc = append_records(s_held, s_held_len);
  s_held_len = 0;
  if (rc < 0) ks_unit_fail(KS_UF_STOP, "error records could not be written.");
  return rc;
}

void ks_error_discard() { s_held_len = 0; }
