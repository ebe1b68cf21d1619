// Direct-path loads: the load information (24.6) names the table and the transaction the
// block images (19.1) of its record fill; each image goes to the decoder of its block
// type. Invariants: fields are read only through the bounded vector view.
#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "lib/fmt/block_format.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_dp_extra(ks_extr_t *ex, uint8_t *vbuf) {
  ks_miner_t *m = ex->m;
  ks_cv_t cv;
  const uint8_t *f = ks_cv_in_record(ex, &cv, vbuf) < 0 ? nullptr : ks_cv_field(&cv, 1, R::KS_DP_LOAD_SIZE);
  if (f == nullptr) {
    KS_ERROR("direct-path load information too short (rba=%06x.%08x.%04x).", m->rba.sqn, m->rba.blk, m->rba.byt);
    return -1;
  }
  m->objn = ks::load32(f + R::KS_DP_LOAD_OBJN, cv.big);
  m->xid = R::make_xid(ks::load16(f + R::KS_DP_LOAD_USN, cv.big), ks::load16(f + R::KS_DP_LOAD_SLOT, cv.big),
                       ks::load32(f + R::KS_DP_LOAD_SQN, cv.big));
  m->pxid = m->xid;
  return 0;
}

int ks_parse_dp(ks_extr_t *ex, uint8_t *vbuf, ks_chain_piece_t *crp, bool load) {
  ks_miner_t *m = ex->m;
  ks_cv_t cv;
  const uint8_t *type = ks_cv_in_record(ex, &cv, vbuf) < 0 ? nullptr : ks_cv_field(&cv, 2, 1);
  if (type == nullptr) {
    KS_ERROR("block image without its block type (rba=%06x.%08x.%04x).", m->rba.sqn, m->rba.blk, m->rba.byt);
    return -1;
  }
  crp->pc_rdba = ks::load32(vbuf + R::KS_REDO_CV_DBA, cv.big);
  uint8_t *blk = cv.v + cv.off[1];
  switch (*type) {
    case R::KS_DP_TYPE_TABLE:
      return ks_parse_direct_insert(ex, blk, cv.len[1], crp);
    case R::KS_DP_TYPE_LOB:
      // A load writes its LOBs' blocks with no LOB operation describing them.
      if (load && cv.len[1] >= R::KS_LOB_BLK_DATA && ks_llb_find_id(blk + R::KS_LOB_BLK_ID) == nullptr)
        return ks_parse_load_lob(ex, blk, cv.len[1], crp->pc_rdba);
      return ks_parse_basic_lob(ex, blk, cv.len[1]);
    default:
      KS_ERROR("unknown block type: %02x", *type);
      return -1;
  }
}
