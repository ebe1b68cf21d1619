// Temporary stand-ins for areas that land separately, so the capture frame runs whole.
// Nothing here is kept: each group is deleted when its area lands, and the frame then
// uses the real records directly.
//  - Record decoding and the chain buffer (extract/redo/): ks_parse_record only checks
//    the record header, applies the start and end SCNs and counts records; there is no
//    chain buffer to restore or save.
#include "extract/frame_placeholders.h"

#include "lib/bytes.h"
#include "lib/log/log.h"

namespace {
int miner_store;
}  // namespace

ks_miner_t *ks_frame_miner = reinterpret_cast<ks_miner_t *>(&miner_store);

int ks_init_chain_buffer(ks_extr_t *) { return 0; }
int ks_save_chain_buffer(ks_extr_t *) { return 0; }
void ks_frame_miner_set_cbl(ks_miner_t *, int) {}

uint64_t ks_frame_records = 0;
uint64_t ks_frame_last_scn = 0;

int ks_parse_record(ks_extr_t *ex, int rlen) {
  const uint8_t *r = ex->b->record;
  bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (rlen < 24) return -1;
  uint8_t vld = r[4];
  if (vld & 0x08) return 0;
  int hsz = (vld & 0x04) ? 68 : 24;
  if (rlen < hsz || ks::load32(r, big) != static_cast<uint32_t>(rlen)) return -1;
  uint64_t scn = (static_cast<uint64_t>(ks::load16(r + 6, big)) << 32) | ks::load32(r + 8, big);
  if (x_end_scn != 0 && scn > x_end_scn) return -10;
  if (scn < x_start_scn) return 0;
  ks_frame_records++;
  ks_frame_last_scn = scn;
  return 0;
}
