// Canonical text of the user tables of a database file that follows the stand-in's
// SQLite layout ("OWNER.TABLE" tables typed by "KS$COLUMNS"), and the comparison of a
// source's tables with a target database's, read through the database layer. Values are rendered by their Oracle type,
// so a NUMBER stored as 5, 5.0 or '5' prints the same; rows are sorted, so order does not matter.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "oci/oci.h"
#include "sim/source/sim_instantiate.h"

struct sqlite3;

namespace ks::sim {

// Print the tables (all user tables when the list is empty). 0 / -1.
int ks_sim_print(sqlite3 *db, const std::vector<std::string> &tables, FILE *out);
// Compare tables of src with the same tables of the target reached through the database
// layer (connected session dst), each under its mapped name there: their definitions
// (column names and types, in order), then their rows; and, with sequences, every
// sequence of the source, which must have reached the source's value there (a target
// whose sequence dictionary cannot be read differs). 0 identical, 1 different (the
// differences are printed), -1 error.
int ks_sim_diff(sqlite3 *src, ks_oci_ses_t *dst, const std::vector<std::string> &tables, FILE *out,
                const std::vector<ks_sim_map_t> &maps = {}, bool sequences = false);
// Open a database file read-only; nullptr (logged) when it cannot be opened.
sqlite3 *ks_sim_open_ro(const std::string &path);

}  // namespace ks::sim
