// Printing of trail transactions as the operator reads them: the transaction header,
// then each record with its operation, owner and table, column names, types and decoded
// values. trailcat prints trail files with it and redocat prints the changes it decodes
// with it, so both show a change the same way.
// Invariants: the bytes are untrusted; no length read from them is used before it was
// checked against the bytes that hold it, and a damaged transaction or record is
// reported (with the file name and offset given) and never followed.
#pragma once

#include <cstdint>

#include "extract/trans/trail_format.h"

// Prints the trail file header.
void ks_trail_print_header(const ks_trail_fh_t *fh);
// Prints one transaction image (p at its 32-byte header, th its loaded header); fofs is
// where it sits in file_name, for messages. short_data cuts long values at 128 bytes.
// 0, or -1 when the transaction or one of its records was damaged (reported on stderr).
int ks_trail_print_transaction(const uint8_t *p, const ks_lcr_th_t *th, long fofs, const char *file_name,
                               bool short_data);
