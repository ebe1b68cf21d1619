// Catalogue tables of the simulated source; see the header.
#include "sim/source/catalog.h"

#include <sqlite3.h>

#include <cstring>

#include "lib/log/log.h"

namespace ks::sim {

const std::vector<ks_sys_table_t> &ks_sys_tables() {
  static const std::vector<ks_sys_table_t> t = {
      {"TAB$",
       4,
       "\"OBJ#\" INTEGER PRIMARY KEY, \"DATAOBJ#\" INTEGER, \"TS#\" INTEGER, \"FILE#\" INTEGER, \"BLOCK#\" INTEGER, "
       "\"BOBJ#\" INTEGER, \"COLS\" INTEGER, \"PROPERTY\" INTEGER, \"FLAGS\" INTEGER",
       {{"OBJ#", 2, 22},
        {"DATAOBJ#", 2, 22},
        {"TS#", 2, 22},
        {"FILE#", 2, 22},
        {"BLOCK#", 2, 22},
        {"BOBJ#", 2, 22},
        {"COLS", 2, 22},
        {"PROPERTY", 2, 22},
        {"FLAGS", 2, 22}}},
      {"SEG$",
       14,
       "\"FILE#\" INTEGER, \"BLOCK#\" INTEGER, \"TYPE#\" INTEGER, \"TS#\" INTEGER, \"BLOCKS\" INTEGER",
       {{"FILE#", 2, 22}, {"BLOCK#", 2, 22}, {"TYPE#", 2, 22}, {"TS#", 2, 22}, {"BLOCKS", 2, 22}}},
      {"OBJ$",
       18,
       "\"OBJ#\" INTEGER PRIMARY KEY, \"DATAOBJ#\" INTEGER, \"OWNER#\" INTEGER, \"NAME\" TEXT, \"NAMESPACE\" INTEGER, "
       "\"SUBNAME\" TEXT, \"TYPE#\" INTEGER, \"CTIME\" TEXT, \"MTIME\" TEXT, \"STIME\" TEXT, \"STATUS\" INTEGER, "
       "\"FLAGS\" INTEGER",
       {{"OBJ#", 2, 22},
        {"DATAOBJ#", 2, 22},
        {"OWNER#", 2, 22},
        {"NAME", 1, 128},
        {"NAMESPACE", 2, 22},
        {"SUBNAME", 1, 128},
        {"TYPE#", 2, 22},
        {"CTIME", 12, 7},
        {"MTIME", 12, 7},
        {"STIME", 12, 7},
        {"STATUS", 2, 22},
        {"FLAGS", 2, 22}}},
      {"IND$",
       19,
       "\"OBJ#\" INTEGER PRIMARY KEY, \"DATAOBJ#\" INTEGER, \"BO#\" INTEGER, \"COLS\" INTEGER, \"TYPE#\" INTEGER, "
       "\"FLAGS\" INTEGER, \"PROPERTY\" INTEGER",
       {{"OBJ#", 2, 22},
        {"DATAOBJ#", 2, 22},
        {"BO#", 2, 22},
        {"COLS", 2, 22},
        {"TYPE#", 2, 22},
        {"FLAGS", 2, 22},
        {"PROPERTY", 2, 22}}},
      {"ICOL$",
       20,
       "\"OBJ#\" INTEGER, \"BO#\" INTEGER, \"COL#\" INTEGER, \"POS#\" INTEGER, \"SEGCOL#\" INTEGER, \"INTCOL#\" "
       "INTEGER",
       {{"OBJ#", 2, 22}, {"BO#", 2, 22}, {"COL#", 2, 22}, {"POS#", 2, 22}, {"SEGCOL#", 2, 22}, {"INTCOL#", 2, 22}}},
      {"COL$",
       21,
       "\"OBJ#\" INTEGER, \"COL#\" INTEGER, \"SEGCOL#\" INTEGER, \"SEGCOLLENGTH\" INTEGER, \"OFFSET\" INTEGER, "
       "\"NAME\" TEXT, \"TYPE#\" INTEGER, \"LENGTH\" INTEGER, \"FIXEDSTORAGE\" INTEGER, \"PRECISION#\" INTEGER, "
       "\"SCALE\" INTEGER, \"NULL$\" INTEGER, \"DEFLENGTH\" INTEGER, \"DEFAULT$\" TEXT, \"INTCOL#\" INTEGER, "
       "\"PROPERTY\" INTEGER, \"CHARSETID\" INTEGER, \"CHARSETFORM\" INTEGER",
       {{"OBJ#", 2, 22},
        {"COL#", 2, 22},
        {"SEGCOL#", 2, 22},
        {"SEGCOLLENGTH", 2, 22},
        {"OFFSET", 2, 22},
        {"NAME", 1, 128},
        {"TYPE#", 2, 22},
        {"LENGTH", 2, 22},
        {"FIXEDSTORAGE", 2, 22},
        {"PRECISION#", 2, 22},
        {"SCALE", 2, 22},
        {"NULL$", 2, 22},
        {"DEFLENGTH", 2, 22},
        {"DEFAULT$", 1, 4000},
        {"INTCOL#", 2, 22},
        {"PROPERTY", 2, 22},
        {"CHARSETID", 2, 22},
        {"CHARSETFORM", 2, 22}}},
      {"USER$",
       22,
       "\"USER#\" INTEGER PRIMARY KEY, \"NAME\" TEXT, \"TYPE#\" INTEGER, \"CTIME\" TEXT",
       {{"USER#", 2, 22}, {"NAME", 1, 128}, {"TYPE#", 2, 22}, {"CTIME", 12, 7}}},
      {"CDEF$",
       31,
       "\"CON#\" INTEGER PRIMARY KEY, \"OBJ#\" INTEGER, \"COLS\" INTEGER, \"TYPE#\" INTEGER, \"ENABLED\" INTEGER, "
       "\"DEFER\" INTEGER",
       {{"CON#", 2, 22}, {"OBJ#", 2, 22}, {"COLS", 2, 22}, {"TYPE#", 2, 22}, {"ENABLED", 2, 22}, {"DEFER", 2, 22}}},
      {"CCOL$",
       32,
       "\"CON#\" INTEGER, \"OBJ#\" INTEGER, \"COL#\" INTEGER, \"POS#\" INTEGER, \"INTCOL#\" INTEGER",
       {{"CON#", 2, 22}, {"OBJ#", 2, 22}, {"COL#", 2, 22}, {"POS#", 2, 22}, {"INTCOL#", 2, 22}}},
      {"SEQ$",
       74,
       "\"OBJ#\" INTEGER PRIMARY KEY, \"INCREMENT$\" INTEGER, \"MINVALUE\" INTEGER, \"MAXVALUE\" TEXT, "
       "\"CYCLE#\" INTEGER, \"ORDER$\" INTEGER, \"CACHE\" INTEGER, \"HIGHWATER\" INTEGER, \"AUDIT$\" TEXT, "
       "\"FLAGS\" INTEGER",
       {{"OBJ#", 2, 22},
        {"INCREMENT$", 2, 22},
        {"MINVALUE", 2, 22},
        {"MAXVALUE", 2, 22},
        {"CYCLE#", 2, 22},
        {"ORDER$", 2, 22},
        {"CACHE", 2, 22},
        {"HIGHWATER", 2, 22},
        {"AUDIT$", 1, 38},
        {"FLAGS", 2, 22}}},
      {"LOB$",
       151,
       "\"OBJ#\" INTEGER, \"COL#\" INTEGER, \"INTCOL#\" INTEGER, \"LOBJ#\" INTEGER, \"IND#\" INTEGER, "
       "\"TS#\" INTEGER, \"PROPERTY\" INTEGER",
       {{"OBJ#", 2, 22},
        {"COL#", 2, 22},
        {"INTCOL#", 2, 22},
        {"LOBJ#", 2, 22},
        {"IND#", 2, 22},
        {"TS#", 2, 22},
        {"PROPERTY", 2, 22}}},
      {"TABPART$",
       568,
       "\"OBJ#\" INTEGER PRIMARY KEY, \"DATAOBJ#\" INTEGER, \"BO#\" INTEGER, \"PART#\" INTEGER",
       {{"OBJ#", 2, 22}, {"DATAOBJ#", 2, 22}, {"BO#", 2, 22}, {"PART#", 2, 22}}},
      {"TABCOMPART$",
       574,
       "\"OBJ#\" INTEGER PRIMARY KEY, \"DATAOBJ#\" INTEGER, \"BO#\" INTEGER, \"PART#\" INTEGER",
       {{"OBJ#", 2, 22}, {"DATAOBJ#", 2, 22}, {"BO#", 2, 22}, {"PART#", 2, 22}}},
      {"TABSUBPART$",
       578,
       "\"OBJ#\" INTEGER PRIMARY KEY, \"DATAOBJ#\" INTEGER, \"POBJ#\" INTEGER, \"SUBPART#\" INTEGER",
       {{"OBJ#", 2, 22}, {"DATAOBJ#", 2, 22}, {"POBJ#", 2, 22}, {"SUBPART#", 2, 22}}},
  };
  return t;
}

const ks_sys_table_t *ks_sys_table(const char *name) {
  for (const auto &t : ks_sys_tables())
    if (strcmp(t.name, name) == 0) return &t;
  return nullptr;
}

int ks_sql_exec(sqlite3 *db, const char *sql) {
  char *err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    KS_ERROR("sqlite error: %s\nstatement: %.200s", err ? err : "?", sql);
    sqlite3_free(err);
    return -1;
  }
  return 0;
}

std::string ks_sql_quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += '\'';
    q += c;
  }
  return q + "'";
}

int ks_catalog_create(sqlite3 *db) {
  std::string sql;
  for (const auto &t : ks_sys_tables())
    sql += std::string("CREATE TABLE \"SYS.") + t.name + "\" (" + t.columns + ");\n";
  sql +=
      "CREATE INDEX \"SYS.COL$_OBJ\" ON \"SYS.COL$\"(\"OBJ#\");\n"
      "CREATE INDEX \"SYS.OBJ$_OWNER\" ON \"SYS.OBJ$\"(\"OWNER#\", \"NAME\");\n"
      "CREATE TABLE \"V$DATABASE\" (\"DBID\" INTEGER, \"NAME\" TEXT, \"DB_UNIQUE_NAME\" TEXT, \"LOG_MODE\" TEXT, "
      "\"OPEN_MODE\" TEXT, \"SUPPLEMENTAL_LOG_DATA_MIN\" TEXT, \"SUPPLEMENTAL_LOG_DATA_PK\" TEXT, "
      "\"SUPPLEMENTAL_LOG_DATA_UI\" TEXT, \"SUPPLEMENTAL_LOG_DATA_FK\" TEXT, \"SUPPLEMENTAL_LOG_DATA_ALL\" TEXT, "
      "\"FORCE_LOGGING\" TEXT, \"CURRENT_SCN\" INTEGER, \"CDB\" TEXT, \"PLATFORM_NAME\" TEXT);\n"
      "CREATE TABLE \"V$INSTANCE\" (\"INSTANCE_NUMBER\" INTEGER, \"INSTANCE_NAME\" TEXT, \"HOST_NAME\" TEXT, "
      "\"VERSION\" TEXT, \"THREAD#\" INTEGER, \"STATUS\" TEXT, \"DATABASE_STATUS\" TEXT);\n"
      "CREATE TABLE \"V$NLS_PARAMETERS\" (\"PARAMETER\" TEXT, \"VALUE\" TEXT, \"CON_ID\" INTEGER);\n"
      "CREATE TABLE \"V$LOG\" (\"GROUP#\" INTEGER PRIMARY KEY, \"THREAD#\" INTEGER, \"SEQUENCE#\" INTEGER, "
      "\"BYTES\" INTEGER, \"BLOCKSIZE\" INTEGER, \"MEMBERS\" INTEGER, \"ARCHIVED\" TEXT, \"STATUS\" TEXT, "
      "\"FIRST_CHANGE#\" INTEGER, \"FIRST_TIME\" TEXT, \"NEXT_CHANGE#\" INTEGER, \"NEXT_TIME\" TEXT);\n"
      "CREATE TABLE \"V$LOGFILE\" (\"GROUP#\" INTEGER, \"STATUS\" TEXT, \"TYPE\" TEXT, \"MEMBER\" TEXT, "
      "\"IS_RECOVERY_DEST_FILE\" TEXT);\n"
      "CREATE TABLE \"V$ARCHIVED_LOG\" (\"RECID\" INTEGER PRIMARY KEY, \"NAME\" TEXT, \"DEST_ID\" INTEGER, "
      "\"THREAD#\" INTEGER, \"SEQUENCE#\" INTEGER, \"FIRST_CHANGE#\" INTEGER, \"FIRST_TIME\" TEXT, "
      "\"NEXT_CHANGE#\" INTEGER, \"NEXT_TIME\" TEXT, \"BLOCKS\" INTEGER, \"BLOCK_SIZE\" INTEGER, "
      "\"ARCHIVAL_THREAD#\" INTEGER, \"STANDBY_DEST\" TEXT, \"ARCHIVED\" TEXT, \"DELETED\" TEXT, \"STATUS\" TEXT, "
      "\"COMPLETION_TIME\" TEXT);\n"
      "CREATE TABLE \"DBA_PDBS\" (\"PDB_ID\" INTEGER, \"PDB_NAME\" TEXT, \"DBID\" INTEGER, \"CON_UID\" INTEGER, "
      "\"GUID\" TEXT, \"STATUS\" TEXT, \"CON_ID\" INTEGER);\n"
      "CREATE TABLE \"DBA_SUPPLEMENTAL_LOGGING\" (\"MINIMAL\" TEXT, \"PRIMARY_KEY\" TEXT, \"UNIQUE_INDEX\" TEXT, "
      "\"FOREIGN_KEY\" TEXT, \"ALL_COLUMN\" TEXT, \"PROCEDURAL\" TEXT);\n"
      "CREATE TABLE \"KS$COLUMNS\" (\"OWNER\" TEXT, \"TABLE_NAME\" TEXT, \"COLUMN_NAME\" TEXT, \"COLUMN_ID\" INTEGER, "
      "\"DATA_TYPE\" TEXT, \"DATA_LENGTH\" INTEGER, \"NULLABLE\" TEXT);\n"
      // The model's own state: configuration and counters, per-table storage, sequences.
      "CREATE TABLE \"KS$STATE\" (\"KEY\" TEXT PRIMARY KEY, \"VALUE\" TEXT);\n"
      "CREATE TABLE \"KS$SEGMENTS\" (\"OBJ#\" INTEGER PRIMARY KEY, \"FILE#\" INTEGER, \"SEG_BLOCK\" INTEGER, "
      "\"CUR_BLOCK\" INTEGER, \"NEXT_SLOT\" INTEGER, \"SLOTS\" INTEGER);\n"
      "CREATE TABLE \"KS$UNDO\" (\"USN\" INTEGER, \"SLOT\" INTEGER, \"WRAP\" INTEGER, PRIMARY KEY(\"USN\", "
      "\"SLOT\"));\n";
  if (ks_sql_exec(db, sql.c_str()) != 0) return -1;
  return ks_catalog_pieces(db) == 0 && ks_catalog_asm(db) == 0 && ks_catalog_threads(db) == 0 ? 0 : -1;
}

int ks_catalog_threads(sqlite3 *db) {
  return ks_sql_exec(db,
                     "CREATE TABLE IF NOT EXISTS \"V$THREAD\" (\"THREAD#\" INTEGER PRIMARY KEY, \"STATUS\" TEXT, "
                     "\"ENABLED\" TEXT, \"GROUPS\" INTEGER, \"INSTANCE\" TEXT, \"CURRENT_GROUP#\" INTEGER, "
                     "\"SEQUENCE#\" INTEGER, \"CHECKPOINT_CHANGE#\" INTEGER);");
}

int ks_catalog_asm(sqlite3 *db) {
  return ks_sql_exec(
      db,
      "CREATE TABLE IF NOT EXISTS \"V$ASM_DISKGROUP\" (\"GROUP_NUMBER\" INTEGER PRIMARY KEY, \"NAME\" TEXT, "
      "\"SECTOR_SIZE\" INTEGER, \"BLOCK_SIZE\" INTEGER, \"ALLOCATION_UNIT_SIZE\" INTEGER, \"STATE\" TEXT, "
      "\"TYPE\" TEXT, \"TOTAL_MB\" INTEGER, \"FREE_MB\" INTEGER);\n"
      "CREATE TABLE IF NOT EXISTS \"V$ASM_DISK\" (\"GROUP_NUMBER\" INTEGER, \"DISK_NUMBER\" INTEGER, \"NAME\" "
      "TEXT, \"PATH\" TEXT, \"STATE\" TEXT, \"MOUNT_STATUS\" TEXT, \"HEADER_STATUS\" TEXT, \"TOTAL_MB\" INTEGER, "
      "\"FREE_MB\" INTEGER, PRIMARY KEY(\"GROUP_NUMBER\", \"DISK_NUMBER\"));\n"
      "CREATE TABLE IF NOT EXISTS \"V$ASM_ALIAS\" (\"NAME\" TEXT, \"GROUP_NUMBER\" INTEGER, \"FILE_NUMBER\" "
      "INTEGER, \"FILE_INCARNATION\" INTEGER, \"ALIAS_DIRECTORY\" TEXT, \"SYSTEM_CREATED\" TEXT);");
}

int ks_catalog_pieces(sqlite3 *db) {
  // One row per piece of a row stored as several, keyed by the table and the row id of the
  // row's head (as the rowid of the user table's copy has it), pieces numbered from the head.
  return ks_sql_exec(db,
                     "CREATE TABLE IF NOT EXISTS \"KS$PIECES\" (\"OBJ#\" INTEGER, \"HEAD\" INTEGER, \"PIECE#\" "
                     "INTEGER, \"DBA\" INTEGER, \"SLOT\" INTEGER, \"FIRST\" INTEGER, \"NCOL\" INTEGER, "
                     "\"SKIP\" INTEGER, \"CUT\" INTEGER, \"ROOM\" INTEGER, PRIMARY KEY(\"OBJ#\", \"HEAD\", "
                     "\"PIECE#\"));");
}

}  // namespace ks::sim
