// The catalogue of the simulated source in its SQLite file: the dynamic views and the
// dictionary tables that extract queries (named and typed as liborasim serves them:
// "SYS.OBJ$", "V$LOG", ...), the per-column type list "KS$COLUMNS" of user tables, and
// the model's own state tables. Dictionary tables describe themselves too (they are
// tables of SYS in OBJ$/TAB$/COL$ like in a real database).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace ks::sim {

struct ks_sys_col_t {
  const char *name;
  int type;  // type#
  int length;
};
struct ks_sys_table_t {
  const char *name;  // without owner
  uint32_t objn;
  const char *columns;  // SQLite column list used to create it
  std::vector<ks_sys_col_t> cols;
};

// The dictionary tables, in a fixed order.
const std::vector<ks_sys_table_t> &ks_sys_tables();
// The dictionary table of that name (without owner), or null.
const ks_sys_table_t *ks_sys_table(const char *name);
// Segment header of a dictionary table: file 1, at the block SYS.TAB$ gives it.
inline uint32_t ks_sys_segment(uint32_t objn) { return 1u << 22 | objn * 8; }

// Create every catalogue table (fails when one exists).
int ks_catalog_create(sqlite3 *db);
// Create the table of the piece layouts of rows stored as pieces ("KS$PIECES") unless it
// exists: a database made before it had one gets it when opened.
int ks_catalog_pieces(sqlite3 *db);
// v$thread: one row per redo thread, open or closed (made when missing).
int ks_catalog_threads(sqlite3 *db);
// Create the disk group views (V$ASM_DISKGROUP, V$ASM_DISK, V$ASM_ALIAS) unless they exist:
// every database has them, empty when its logs are in plain files.
int ks_catalog_asm(sqlite3 *db);
// Run one statement; logs and returns -1 on failure.
int ks_sql_exec(sqlite3 *db, const char *sql);
// Quote a value as an SQL string literal.
std::string ks_sql_quote(const std::string &s);

}  // namespace ks::sim
