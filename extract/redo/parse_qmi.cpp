// Quick multi-row insert 11.11: one QUICK INSERT LCR for all rows of the vector: one
// descriptor entry per captured column, then each row as host-order u16 length + bytes
// per captured position (0 for NULL and for positions the row does not store).
// Invariants: every row byte read lies inside field 4; a row that is not whole, or that
// stores more columns than the table has, refuses the whole vector.
#include "extract/redo/redo.h"
#include "extract/redo/row_value.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace R = ks::redo;

int ks_parse_qmi(ks_extr_t *ex, uint8_t *vbuf) {
  ks_miner_t *m = ex->m;
  if (m->flag & KS_MN_PIECE) return 0;
  if (m->undo == nullptr || m->xid == 0) return 0;  // no table known for these rows
  ks_cv_t cv;
  if (ks_cv_in_record(ex, &cv, vbuf) < 0) return -1;
  const bool big = cv.big;
  const uint8_t *h = ks_cv_field(&cv, 2, R::KS_REDO_QM_SIZE);
  const uint8_t *rows = ks_cv_field(&cv, 4);
  if (!h || !rows) {
    KS_ERROR("QMI vector incomplete.");
    return -1;
  }
  int nrows = ks::load16(h + R::KS_REDO_QM_ROWS, big);
  const uint8_t *end = rows + cv.len[4];
  const ks_dict_tab_t *t = ks_tab(ex);
  ks_dict_col_t *cols = ks_tab_cols(ex);
  int ntc = static_cast<int>(t->ncol);
  ks_lcr_b lb;
  ks_lcr_start(ex, &lb, m->ti, KS_OPC_QMI);
  uint32_t nd = 0;
  for (int i = 0; i < ntc; i++) {
    if (cols[i].flag & KS_COL_NOCAPTURE) continue;
    ks_lcr_col(&lb, &cols[i], ks_col_flag(&cols[i], false), nullptr, 0);
    nd++;
  }
  const uint8_t *p = rows;
  for (int r = 0; r < nrows; r++) {
    if (end - p < R::KS_REDO_QMI_ROW_HEADER) goto truncated;
    {
      uint8_t fb = p[0];
      int nc = p[2];
      if (!(fb & R::KS_REDO_ROW_FIRST) || !(fb & R::KS_REDO_ROW_LAST)) {
        KS_ERROR("row data not completed.");
        return -1;
      }
      if (nc > ntc) {
        KS_ERROR("QMI row stores %d columns, table has %d.", nc, ntc);
        return -1;
      }
      p += R::KS_REDO_QMI_ROW_HEADER;
      for (int c = 0; c < nc; c++) {
        ks_row_val_t v;
        if (int rc = ks_row_value(&p, end, big, &v); rc == -2) {
          // A row of a compressed block may point at a value kept once in the block.
          KS_ERROR("QMI row %d column %d refers to a value not in the redo (length byte 0x%02x).", r + 1, c + 1, *p);
          return -1;
        } else if (rc < 0) {
          goto truncated;
        }
        if (!(cols[c].flag & KS_COL_NOCAPTURE)) ks_lcr_raw(&lb, v.p, static_cast<uint16_t>(v.len));
      }
      for (int c = nc; c < ntc; c++)
        if (!(cols[c].flag & KS_COL_NOCAPTURE)) ks_lcr_raw(&lb, nullptr, 0);
    }
  }
  {
    auto *rh = reinterpret_cast<ks_lcr_rh_t *>(lb.base);
    rh->nold = nd;
    rh->nnew = static_cast<uint32_t>(nrows);
    return ks_lcr_finish(ex, &lb, "QMI");
  }
truncated:
  KS_ERROR("QMI rows go past their field (XID: %d.%d.%d).", KS_XID_ARGS(m->xid));
  return -1;
}
