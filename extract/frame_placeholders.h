// Stand-ins for entry points of areas that are not in the tree yet. Each is replaced by
// the real one when its area lands (see frame_placeholders.cpp), and this header with it.
#pragma once

#include "extract/extract.h"

// The source database entry's flag (0x10 ASM, 0x20 remote agent), or -1. Replaced by the
// lookup of the component's database in the shared configuration.
int ks_frame_source_db_flag(ks_extr_t *ex);
// Records handed to the decoder stand-in, and the last SCN it saw.
extern uint64_t ks_frame_records;
extern uint64_t ks_frame_last_scn;
