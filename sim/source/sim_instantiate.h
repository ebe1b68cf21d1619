// Instantiation of a target from the simulated source: the tables a replication will
// capture are created on the target through the database layer (so the target's own
// catalogue describes them as its DDL does) and their current rows are copied, before
// capture first starts. Rows present when capture starts are not in the redo it reads,
// so without this step later updates and deletes of those rows find nothing to change.
// Also owns the naming rules shared with `orasim diff`: table selection by OWNER.TABLE /
// OWNER.* patterns and the mapping of source names to target names.
// Invariants: a table that already exists on the target is never touched (no row is
// doubled); a table is created and filled in one go, and dropped again when filling
// fails, so a failed run leaves nothing half copied.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "oci/oci.h"

struct sqlite3;

namespace ks::sim {

// One mapping: OWNER.TABLE=OWNER2.TABLE2, or a whole schema OWNER=OWNER2 / OWNER.*=OWNER2.*
// (table and map_table then empty). Names are upper-cased, as unquoted Oracle names are.
struct ks_sim_map_t {
  std::string owner, table, map_owner, map_table;
};

// Parse "OWNER[.TABLE]=OWNER[.TABLE]"; a table on one side needs one on the other. 0 / -1.
int ks_sim_map_parse(const std::string &text, ks_sim_map_t *out);
// Target owner and table of a source table: a table's own mapping wins over its schema's.
std::pair<std::string, std::string> ks_sim_map_name(const std::vector<ks_sim_map_t> &maps, const std::string &owner,
                                                    const std::string &table);

// The source's user tables matching the patterns (OWNER.TABLE or OWNER.*; every user
// table when there are none) and none of the exclusions, sorted and without repeats.
// A pattern that matches nothing is an error (a misspelt name must not pass silently).
int ks_sim_select_tables(sqlite3 *src, const std::vector<std::string> &patterns,
                         const std::vector<std::string> &exclude, std::vector<std::string> *out);

// Create each table (OWNER.TABLE of the source) on the target under its mapped name and
// copy its rows; one line per table goes to out. 0, or -1 (logged) at the first failure.
int ks_sim_instantiate(sqlite3 *src, ks_oci_ses_t *dst, const std::vector<std::string> &tables,
                       const std::vector<ks_sim_map_t> &maps, FILE *out);

}  // namespace ks::sim
