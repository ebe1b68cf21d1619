// Stand-ins for entry points of areas that are not in the tree yet, so the capture frame
// runs whole. Each group is replaced by the real code when its area lands (see
// frame_placeholders.cpp), and this header goes with the last of them.
#pragma once

#include "extract/extract.h"

// Chained rows (replaced by the chain buffer).
int ks_init_chain_buffer(ks_extr_t *ex);
int ks_save_chain_buffer(ks_extr_t *ex);
