// Column lookup by segment column id within one table's column records. Columns are stored
// in ascending segcol# order, so without dropped columns the id is the position + 1 and the
// lookup is one comparison; otherwise a scan finds the first record with that id.
#include "extract/dict/dict.h"

int ks_get_column(ks_dict_col_t *col, int max_col, int scid) {
  if (col == nullptr || max_col <= 0) return -1;
  uint32_t id = static_cast<uint32_t>(scid);
  if (scid >= 1 && scid <= max_col && col[scid - 1].scid == id) return scid - 1;
  for (int i = 0; i < max_col; i++)
    if (col[i].scid == id) return i;
  return -1;
}
