// Reading the values of a heap row piece from either layout (see row_image.h).
// Invariants: every byte read lies inside the checked vector; an image must be consumed
// exactly by the header's column count, so that a misread layout is refused rather than
// decoded into wrong values.
#include "extract/redo/row_image.h"

#include "lib/log/log.h"

namespace R = ks::redo;

int ks_row_image_read(ks_extr_t *ex, const ks_cv_t *cv, const uint8_t *h, int k, const char *what, ks_row_image_t *ri) {
  ri->n = h[R::KS_REDO_IRP_COLUMNS];
  ri->image = (h[R::KS_REDO_KDO_OP_FLAGS] & R::KS_REDO_KDO_ROW_IMAGE) != 0;
  if (!ri->image) {
    for (int i = 0; i < ri->n; i++) {
      if (k + i > cv->nf) {
        KS_ERROR("%s column %d of %d missing in the redo.", what, i + 1, ri->n);
        return -1;
      }
      ri->p[i] = cv->v + cv->off[k + i];
      ri->len[i] = cv->len[k + i];
    }
    return 0;
  }
  uint8_t *p = ks_cv_field(cv, k);
  if (p == nullptr) {
    KS_ERROR("%s row image missing in the redo.", what);
    return -1;
  }
  const uint8_t *q = p, *end = p + cv->len[k];
  for (int i = 0; i < ri->n; i++) {
    ks_row_val_t v;
    int rc = ks_row_value(&q, end, cv->big, &v);
    if (rc == -2) {
      // A compressed block's rows may point at values kept once in the block: the
      // record does not hold them, so the row cannot be built from it.
      KS_ERROR("%s row image column %d of %d refers to a value not in the redo (length byte 0x%02x, XID: %d.%d.%d).",
               what, i + 1, ri->n, *q, KS_XID_ARGS(ex->m->xid));
      return -2;
    }
    if (rc < 0) {
      KS_ERROR("%s row image ends in column %d of %d.", what, i + 1, ri->n);
      return -1;
    }
    ri->p[i] = p + (v.p - p);
    ri->len[i] = v.len;
  }
  if (q != end) {
    KS_ERROR("%s row image has %d bytes after its %d columns.", what, static_cast<int>(end - q), ri->n);
    return -1;
  }
  return 0;
}
