// Workloads of the simulated source: the built-in OLTP mix (several tables with NUMBER,
// VARCHAR2, CHAR, DATE, TIMESTAMP, RAW and NVARCHAR2 columns and NULLs; inserts, updates
// of some columns, deletes, multi-row inserts, commits, rollbacks and savepoint
// rollbacks, with several transactions open at once) and scripts of simple SQL.
// Deterministic: the same database, seed and options give the same redo bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/source/sim_db.h"

namespace ks::sim {

struct ks_oltp_cfg_t {
  uint64_t txns = 1000;  // transactions to run (committed or rolled back)
  uint64_t seed = 1;
  int concurrency = 4;    // transactions open at the same time
  double rate = 100;      // transactions per second of database time
  bool realtime = false;  // also pace in wall-clock time at that rate
  int rollback_pct = 5;   // transactions rolled back
  int savepoint_pct = 5;  // transactions with a rollback to a savepoint
  int multi_pct = 10;     // transactions with a multi-row insert
  int max_ops = 6;        // row operations per transaction at most
  int switch_every = 0;   // force a log switch every n transactions (0: only when full)
  // Row operations on a 300-column table (one row in a hundred over a megabyte) and a table
  // of long rows (four VARCHAR2(4000) columns), whose rows are stored as several pieces, and
  // grow out of their blocks; 0 leaves those tables out.
  int chained_pct = 0;
  // One DDL of the workload's own table (OLTP.DDL_T) every n transactions, each followed
  // by a row of it (0: none).
  int ddl_every = 0;
  // Changes of LOBs (tables OLTP.DOCS with every LOB kind, OLTP.LEGACY and LEGACY_RAW with
  // a LONG and a LONG RAW):
  // this share of the row operations (0: those tables are left out).
  int lobs_pct = 0;
  // Row operations on index-organised tables (OLTP.IOT_KV, and OLTP.IOT_OVF with an
  // overflow segment): this share of them (0: those tables are left out).
  int iot_pct = 0;
  // Changes of tables with table compression (OLTP.PACKED, OLTP.PACKED_LOG), logged now and
  // then as rows of compressed blocks are: this share of the row operations (0: none).
  int compress_pct = 0;
  // Instances whose sessions run the transactions, in turn (empty: the current one).
  std::vector<int> instances;
};

// Create the OLTP schema and its initial rows when the database lacks them.
int ks_oltp_setup(ks_sim_db &db, uint64_t seed);
int ks_oltp_run(ks_sim_db &db, const ks_oltp_cfg_t &cfg);

// Run a script: statements separated by ';' (CREATE USER/TABLE/[UNIQUE] INDEX/SEQUENCE,
// ALTER TABLE ADD/MODIFY/DROP/SET UNUSED/RENAME [COLUMN], ALTER SEQUENCE, DROP
// TABLE [PURGE]/INDEX/SEQUENCE, PURGE TABLE of a recycle-bin name, TRUNCATE TABLE,
// INSERT, UPDATE, DELETE with a WHERE of column = value terms, COMMIT, ROLLBACK,
// SAVEPOINT, ROLLBACK TO, ALTER SYSTEM SWITCH LOGFILE). Errors name the statement number.
// CREATE TABLE ... ORGANIZATION INDEX [OVERFLOW] makes an index-organised table (its
// primary-key columns first, in key order; no LOB or LONG columns).
// LOBs and LONGs: column types CLOB, NCLOB, BLOB (BasicFile, or SECUREFILE after the type),
// LONG and LONG RAW; literals EMPTY_CLOB() / EMPTY_BLOB() and RPAD(literal, n[, 'pad'])
// for long values; and the calls, each followed by a WHERE naming the rows:
//   DBMS_LOB.WRITE(owner.table.column, offset, literal)
//   DBMS_LOB.WRITEAPPEND(owner.table.column, literal)
//   DBMS_LOB.TRIM(owner.table.column, length)
//   DBMS_LOB.ERASE(owner.table.column, amount, offset)
// with offsets from 1 and amounts in characters (CLOB, NCLOB) or bytes (BLOB).
// Direct-path loads: INSERT /*+ APPEND */ INTO owner.table SELECT * FROM owner.other
// (every live row of a table of the same columns), and
//   LOAD owner.table ROWS n [CHAINED pct] [LOBS pct]
// n generated rows (keys ascending from the table's row count), pct of them with every
// text column at its full length (chained across blocks when they exceed a block) and pct
// with their LOBs set (kept in the row).
// CREATE TABLE takes COMPRESS [BASIC | FOR OLTP] or NOCOMPRESS after its columns.
// Instances of a clustered database: INSTANCE k makes instance k's session the one the
// statements after it run in (each session keeps its own transaction open meanwhile; at
// the end every session commits); SHUTDOWN INSTANCE k and STARTUP INSTANCE k close and
// open its thread.
int ks_script_run(ks_sim_db &db, const std::string &text);
// The generated rows of a LOAD statement, loaded by transaction tx.
int ks_load_rows(ks_sim_db &db, ks_txn_t *tx, ks_table_t *t, uint64_t n, int chained_pct, int lobs_pct);

}  // namespace ks::sim
