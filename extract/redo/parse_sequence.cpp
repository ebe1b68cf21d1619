// Updates of the sequence table become SYNC SEQUENCE LCRs carrying the new high-water
// value as raw NUMBER bytes; and the decoder of small non-negative integral NUMBERs.
// Invariants: values only from fields of the checked vectors.
#include <cstring>

#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_ora_number_to_int(const uint8_t *data, int dlen) {
  if (dlen <= 0) return -1;
  if (dlen == 1 && data[0] == 0x80) return 0;
  int e = static_cast<int>(data[0]) - 0xC1;
  if (e < 0 || e > 4) return -1;
  int64_t v = 0;
  for (int i = 1; i < dlen; i++) v = v * 100 + (data[i] - 1);
  for (int i = e - (dlen - 1) + 1; i > 0; i--) v *= 100;
  if (v > 0x7FFFFFFF) return -1;
  return static_cast<int>(v);
}

int ks_parse_sequence(ks_extr_t *ex, uint8_t *vbuf) {
  ks_miner_t *m = ex->m;
  if (m->sup == nullptr) return 0;
  ks_cv_t ucv, cv;
  if (ks_cv_in_record(ex, &ucv, m->undo) < 0 || ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const bool big = cv.big;
  int nsc = ks::load16(m->sup + R::KS_REDO_SUP_COLUMNS, big);
  int redo_scid = ks::load16(m->sup + R::KS_REDO_SUP_REDO_SCID, big);
  int k = m->supk + 3;
  if (nsc < 1 || k > ucv.nf) return -9;
  int objn = ks_ora_number_to_int(ucv.v + ucv.off[k], ucv.len[k]);
  ks_dict_t *d = ex->d;
  int si = -1;
  for (uint32_t i = 0; i < d->hdr->nseq; i++)
    if (static_cast<int>(d->seq[i].objn) == objn) si = static_cast<int>(i);
  if (si < 0) return -9;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_URP_SIZE);
  if (!h) return -1;
  uint8_t fb = h[R::KS_REDO_KDO_FLAG];
  if (fb & R::KS_REDO_ROW_CLUSTER_KEY) return 0;
  if (!(fb & R::KS_REDO_ROW_FIRST) || !(fb & R::KS_REDO_ROW_LAST)) {
    KS_ERROR("URP chained row not match with undo.");
    return -1;
  }
  int nc = h[R::KS_REDO_URP_COLUMNS];
  int na = ks_cv_len(&cv, 3) < 0 ? 0 : cv.len[3] / 2;
  if (nc > na) nc = na;
  if (nc == 0) return 0;
  const uint8_t *nums = cv.v + cv.off[3];
  int first = ks::load16(nums, big);
  for (int i = 0; i < nc; i++) {
    int scid = ks::load16(nums + 2 * i, big) - first + redo_scid;
    if (scid != 8) continue;
    int vk = 4 + i;
    if (vk > cv.nf) return -1;
    uint32_t len = cv.len[vk];
    uint8_t *buf = ex->b->lcr_buf;
    auto *rh = reinterpret_cast<ks_lcr_rh_t *>(buf);
    std::memset(rh, 0, sizeof(*rh));
    rh->opc = KS_OPC_SYNC_SEQ;
    const ks_dict_seq_t *q = &d->seq[si];
    const ks_dict_sch_t *s = &d->sch[q->ui];
    const char *own = (s->flag & KS_SCH_MAP) && s->mpi < d->hdr->nmap ? d->map[s->mpi].map_schema : s->name;
    std::memcpy(rh->ownr, own, strnlen(own, 31));
    std::memcpy(rh->onam, q->name, strnlen(q->name, 31));
    rh->nnew = len;
    std::memcpy(buf + KS_LCR_RH_SZ, cv.v + cv.off[vk], len);
    rh->rlen = KS_LCR_RH_SZ + len;
    if (ks_redo_append(ex, rh) < 0) return -1;
    KS_DEBUG("append SYNC SEQUENCE LCR (XID: %d.%d.%d)", KS_XID_ARGS(m->xid));
    return 0;
  }
  return 0;
}
