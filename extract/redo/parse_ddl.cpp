// DDL statement 24.1 by a captured schema: one DDL LCR with the statement text, the
// object number and the drop-table mark. Statements by SYS or by schemas outside the
// dictionary are not carried. Invariants: names are copied with a bound; the text is
// taken only from inside its field.
#include <algorithm>
#include <cstring>

#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_ddl(ks_extr_t *ex, uint8_t *vbuf) {
  ks_miner_t *m = ex->m;
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const bool big = cv.big;
  const uint8_t *f1 = ks_cv_field(&cv, 1, R::KS_REDO_DDL_FIELD1_SIZE);
  if (!f1 || f1[R::KS_REDO_DDL_SKIP] != 0 || !ex->d || !ex->d->hdr) return 0;
  uint64_t xid = R::make_xid(ks::load16(f1 + R::KS_REDO_DDL_USN, big), ks::load16(f1 + R::KS_REDO_DDL_SLOT, big),
                             ks::load32(f1 + R::KS_REDO_DDL_SQN, big));
  m->xid = xid;
  m->pxid = xid;
  const uint8_t *f4 = ks_cv_field(&cv, 4, R::KS_REDO_DDL_FIELD4_SIZE);
  const uint8_t *text = ks_cv_field(&cv, 8);
  const uint8_t *own = ks_cv_field(&cv, 9);
  const uint8_t *nam = ks_cv_field(&cv, 10);
  const uint8_t *f11 = ks_cv_field(&cv, 11, R::KS_REDO_DDL_FIELD11_SIZE);
  if (!f4 || !text || !own || !nam || !f11) return 0;
  if (f11[R::KS_REDO_DDL_KIND] == 2) return 0;
  uint32_t type = f11[R::KS_REDO_DDL_TYPE];
  char owner[32] = {}, name[32] = {};
  std::memcpy(owner, own, std::min<int>(cv.len[9], 31));
  std::memcpy(name, nam, std::min<int>(cv.len[10], 31));
  owner[strnlen(owner, 31)] = 0;
  if (std::strcmp(owner, "SYS") == 0) return 0;
  ks_dict_t *d = ex->d;
  bool known = false;
  for (uint32_t i = 0; i < d->hdr->nsch; i++)
    if (std::strncmp(d->sch[i].name, owner, KS_DICT_NAME_SZ) == 0) known = true;
  if (!known) return 0;
  uint32_t tlen = cv.len[8];
  uint8_t *buf = ex->b->lcr_buf;
  if (KS_LCR_RH_SZ + tlen > KS_BUF_LCR_SZ) return -1;
  auto *rh = reinterpret_cast<ks_lcr_rh_t *>(buf);
  std::memset(rh, 0, sizeof(*rh));
  rh->opc = KS_OPC_DDL;
  std::memcpy(rh->ownr, owner, 32);
  std::memcpy(rh->onam, name, 32);
  rh->nnew = tlen;
  rh->nold = ks::load32(f4 + R::KS_REDO_DDL_OBJN, big);
  if (type == 12) rh->flag = KS_RH_DDL_CT12;
  std::memcpy(buf + KS_LCR_RH_SZ, text, tlen);
  rh->rlen = KS_LCR_RH_SZ + tlen;
  m->ddl_type = type;
  if (ks_redo_append(ex, rh) < 0) return -1;
  KS_DETAIL("append DDL LCR (XID: %d.%d.%d)", KS_XID_ARGS(xid));
  return 0;
}
