// Stand-ins for entry points of areas that are not in the tree yet, so the capture frame
// runs whole. Each group is replaced by the real code when its area lands (see
// frame_placeholders.cpp), and this header goes with the last of them.
#pragma once

#include "extract/extract.h"

// Record decoding and chained rows (replaced by extract/redo/: x_miner, ks_parse_record,
// ks_init_chain_buffer, ks_save_chain_buffer, and x_miner.cbl set by the frame).
extern ks_miner_t *ks_frame_miner;
int ks_init_chain_buffer(ks_extr_t *ex);
int ks_save_chain_buffer(ks_extr_t *ex);
void ks_frame_miner_set_cbl(ks_miner_t *m, int cbl);
// Records the decoding stand-in accepted, and the SCN of the last one.
extern uint64_t ks_frame_records;
extern uint64_t ks_frame_last_scn;
