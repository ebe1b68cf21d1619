// Printing of trail transactions as the operator reads them: the transaction header,
// then each record with its operation, owner and table, column names, types and decoded
// values. trailcat prints trail files with it and redocat prints the changes it decodes
// with it, so both show a change the same way.
// Invariants: the bytes are untrusted; no length read from them is used before it was
// checked against the bytes that hold it, and a damaged transaction or record is
// reported (with the file name and offset given) and never followed.
#pragma once

#include <cstdint>
#include <string>

#include "lib/fmt/trail_format.h"

// Prints the trail file header.
void ks_trail_print_header(const ks_trail_fh_t *fh);
// Prints one transaction image (p at its 32-byte header, th its loaded header); fofs is
// where it sits in file_name, for messages. short_data cuts long values at 128 bytes.
// 0, or -1 when the transaction or one of its records was damaged (reported on stderr).
int ks_trail_print_transaction(const uint8_t *p, const ks_lcr_th_t *th, long fofs, const char *file_name,
                               bool short_data);
// Prints one record of rlen bytes at p (all of them present) and its separator line, as
// a transaction's records are printed; fofs is where it sits in file_name. The record is
// checked whole before anything of it is printed. 0; 1 for an operation it does not know
// (reported, nothing after it can be read as the same transaction); -1 when damaged.
int ks_trail_print_record(const uint8_t *p, uint32_t rlen, long fofs, const char *file_name, bool short_data);
// Prints "Heartbeat SCN: ..,  SCN time: ..\n": every commit of the thread below that SCN
// is in the trail before it.
void ks_trail_print_heartbeat(uint64_t scn, uint32_t sct);
// Prints "SCN: ..,  SCN time: ..\nXID: .. (usn.slot.sqn)\n" for a commit.
void ks_trail_print_commit(uint64_t scn, uint32_t sct, uint64_t xid);
// The options the file printers share: "-h" (usage, -1), "-s" short data, "-f" file (at
// most 255 characters used). Unknown options and a missing file name print the message
// and the usage and give -1; otherwise 0. A printer without short data passes null: its
// usage has no "-s" and "-s" is an invalid option.
int ks_trail_tool_options(int argc, char **argv, bool *short_data, std::string *file);
