// The records of a transaction's own file (its spill file, which a commit by reference
// hands to the trail as it is): walked in chunks of the table's work buffer, their flag
// words rewritten in place with positioned writes. A record larger than a chunk (up to
// KS_LCR_MAX_SZ) is stepped over in place: the walk needs only its header, and the
// file's size tells whether the rest of it is there.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "extract/trans/trans.h"
#include "lib/bytes.h"
#include "lib/log/log.h"
#include "lib/util.h"

int ks_trans_walk_file(int fd, const char *name, uint8_t *buf, const ks_trans_visit_t &visit) {
  constexpr size_t kChunk = KS_TRANS_TBUF_SZ;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    KS_ERROR("read %s: %s", name, strerror(errno));
    return -1;
  }
  const auto fsize = static_cast<uint64_t>(st.st_size);
  uint64_t fofs = KS_LCR_TH_SZ;
  for (;;) {
    ssize_t n = ks_read_data(fd, buf, kChunk, static_cast<off_t>(fofs));
    if (n < 0) {
      KS_ERROR("read %s: %s", name, strerror(errno));
      return -1;
    }
    if (n == 0) break;
    const auto got = static_cast<uint64_t>(n);
    uint64_t pos = 0;
    while (got - pos >= 12) {
      const uint32_t rlen = ks_lcr_u32(buf, pos);
      if (rlen < KS_LCR_RHS_SZ || rlen > KS_LCR_MAX_SZ) {
        KS_ERROR("read %s: bad record length %u at offset %lu.", name, rlen, static_cast<unsigned long>(fofs + pos));
        return -1;
      }
      if (rlen > got - pos) {
        // Read again from this record, unless it is larger than a whole chunk.
        if (pos > 0 || rlen <= kChunk) break;
        if (fofs + rlen > fsize) break;  // cut short: reported below
      }
      if (!visit(fofs + pos, ks_lcr_u32(buf, pos + 4), ks_lcr_u32(buf, pos + 8))) return 0;
      pos += rlen;
      if (pos > got) break;  // the record was larger than the chunk
    }
    if (pos == 0) {
      // Not even one whole record although the file goes on: the file was cut short.
      KS_ERROR("read %s: incomplete record at offset %lu.", name, static_cast<unsigned long>(fofs));
      return -1;
    }
    fofs += pos;
  }
  return 0;
}

int ks_trans_write_flag(int fd, const char *name, uint64_t offs, uint32_t flag) {
  uint8_t w[4];
  ks::store<uint32_t>(w, flag);
  if (ks_write_data(fd, w, sizeof w, static_cast<off_t>(offs + 4)) != static_cast<ssize_t>(sizeof w)) {
    KS_ERROR("write %s: %s", name, strerror(errno));
    return -1;
  }
  return 0;
}

int ks_unresolve_rollback(ks_trans_t *t, int fd, const char *name) {
  // The decoder builds rollback redo already discarded, and nothing else: a discarded
  // record without the rollback flag was cancelled by a resolution.
  int rc = 0;
  if (ks_trans_walk_file(fd, name, t->tbuf, [&](uint64_t offs, uint32_t flag, uint32_t) {
        if ((flag & KS_RH_DISCARD) && !(flag & KS_RH_ROLLBACK))
          rc = ks_trans_write_flag(fd, name, offs, flag & ~KS_RH_DISCARD);
        return rc == 0;
      }) < 0)
    return -1;
  return rc;
}
