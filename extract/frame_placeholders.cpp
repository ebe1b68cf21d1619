// Temporary stand-ins for areas that land separately, so the capture frame runs whole:
//  - ks_parse_record: replaced by the record decoder (extract/redo/parse_record.cpp).
//    Here it only checks the record header, applies the end SCN and counts records.
//  - ks_frame_source_db_flag: replaced by the configuration lookup of the source
//    database (shared runtime). Here every source is a local one.
// Nothing else may call these; delete each with the landing of its replacement.
#include "extract/frame_placeholders.h"

#include "lib/bytes.h"
#include "lib/log/log.h"

uint64_t ks_frame_records = 0;
uint64_t ks_frame_last_scn = 0;

int ks_frame_source_db_flag(ks_extr_t *) { return 0; }

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
