// The process globals of the delivery process and the cut of its work block. Start
// values are those a fresh process runs with; main fills them from the command line,
// the component's parameters and the trail file header.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "apply/apply.h"
#include "lib/log/log.h"

char prev_name[32];
char x_curr_schema[32];
volatile int x_loop = 1;
volatile int x_cmd_set = 0;
int x_reset = 0;
uint32_t x_tfno = 0;
uint64_t x_start_scn = 0;
uint64_t x_start_xid = 0;
int x_apply_self = 0;
int x_sync_seq = 0;
int x_read_wait = 0;
int x_net_tmout = 0;
int x_csid = 0, x_ncsid = 0, x_lob_csid = 0;
uint32_t x_ckp_fno = 0;
uint64_t x_ckp_scn = 0;
uint64_t x_ckp_xid = 0;
uint32_t x_ckp_sct = 0;
uint32_t x_cmt_fno = 0;
uint64_t x_cmt_scn = 0;
uint64_t x_cmt_xid = 0;
uint32_t x_cmt_sct = 0;
int x_unit_fault = 0;
char x_unit_why[512];
ks_ap_cfg_t x_cfg;
char x_sqltxt[KS_SQLTXT_SIZE];
ks_apply_t x_app;
ks_ap_buffer_t x_buf;
ks_ap_reader_t x_rdr[KS_AP_MAX_THREADS] = {{0, 0, -1, 0, 0}};
int x_nrdr = 1;
ks_array_t x_array;

namespace {

// Heap blocks that took the place of the transaction-file buffer and of the array buffer
// when a record or a row outgrew them; kept for the records after it, so memory stays
// bounded by the largest record met.
uint8_t *s_grown_tbuf = nullptr;
uint8_t *s_grown_abuf = nullptr;

int grow(uint8_t **buf, int *size, uint8_t **grown, size_t need, const char *what) {
  if (need <= static_cast<size_t>(*size)) return 0;
  constexpr size_t kStep = 1048576;
  const size_t sz = (need + kStep - 1) / kStep * kStep;
  if (sz > static_cast<size_t>(INT_MAX)) {
    KS_ERROR("%s of %zu bytes refused.", what, need);
    return -1;
  }
  auto *p = static_cast<uint8_t *>(std::malloc(sz));
  if (p == nullptr) {
    KS_ERROR("allocate %s of %zu bytes: %s", what, sz, strerror(ENOMEM));
    return -1;
  }
  std::free(*grown);
  *grown = p;
  *buf = p;
  *size = static_cast<int>(sz);
  KS_INFO("%s grown to %zu bytes.", what, sz);
  return 0;
}

}  // namespace

int ks_ap_grow_tbuf(ks_ap_buffer_t *b, size_t need) {
  const bool replaying = b->dbuf == b->tbuf;
  if (grow(&b->tbuf, &b->tsz, &s_grown_tbuf, need, "transaction-file buffer") < 0) return -1;
  if (replaying) b->dbuf = b->tbuf;
  return 0;
}

int ks_ap_grow_abuf(ks_ap_buffer_t *b, size_t need) {
  return grow(&b->abuf, &b->asz, &s_grown_abuf, need, "array buffer");
}

void ks_ap_cut_buffer(ks_ap_buffer_t *b, uint8_t *base) {
  std::free(s_grown_tbuf);
  std::free(s_grown_abuf);
  s_grown_tbuf = s_grown_abuf = nullptr;
  b->rsz = KS_AP_RBUF_SIZE;
  b->asz = KS_AP_ABUF_SIZE;
  b->tsz = KS_AP_TBUF_SIZE;
  b->base = base;
  b->rbuf = base;
  b->abuf = b->rbuf + b->rsz;
  b->tbuf = b->abuf + b->asz;
  b->dbuf = b->rbuf;
}

int ks_db_error_kind(int code) {
  switch (code) {
    // Space: the target cannot grow a segment, a quota, its undo or its archived logs.
    // The rows are not at fault; the same rows succeed once space is added.
    case 257:    // archiver error, connect internal only until freed
    case 1536:   // space quota exceeded for tablespace
    case 1650:   // unable to extend rollback segment
    case 1652:   // unable to extend temp segment
    case 1653:   // unable to extend table
    case 1654:   // unable to extend index
    case 1658:   // unable to create INITIAL extent
    case 1683:   // unable to extend index partition
    case 1688:   // unable to extend table partition
    case 1691:   // unable to extend lob segment
    case 1692:   // unable to extend lob segment partition
    case 30036:  // unable to extend segment in undo tablespace
      return KS_UF_RETRY;
    // The session is gone (killed, lost, instance down): no row was judged, the target
    // rolled the open transaction back.
    case 28:
    case 1012:
    case 1034:
    case 1089:
    case 3113:
    case 3114:
    case 3135:
      return KS_UF_LOST;
    default:
      return 0;
  }
}

void ks_unit_fail(int kind, const char *why) {
  if (kind <= x_unit_fault) return;
  if (x_unit_fault == 0 || kind > KS_UF_RETRY) std::snprintf(x_unit_why, sizeof x_unit_why, "%s", why);
  x_unit_fault = kind;
}

int ks_unit_db_fail(const char *what, int code, const char *msg) {
  int kind = ks_db_error_kind(code);
  char why[512];
  std::snprintf(why, sizeof why, "%s\n%s", what, msg);
  // Lack of space and a lost session are reported by the loops that wait them out.
  if (kind != KS_UF_RETRY && kind != KS_UF_LOST) KS_ERROR("%s", why);
  ks_unit_fail(kind != 0 ? kind : KS_UF_STOP, why);
  return -1;
}
