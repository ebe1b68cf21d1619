// Temporary stand-ins for areas that land separately, so the capture frame runs whole.
// Nothing here is kept: each group is deleted when its area lands.
//  - The chain buffer (chained and migrated rows): nothing to restore or save yet.
#include "extract/frame_placeholders.h"

int ks_init_chain_buffer(ks_extr_t *) { return 0; }
int ks_save_chain_buffer(ks_extr_t *) { return 0; }
