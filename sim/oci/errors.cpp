// Oracle error numbers and texts ("ORA-nnnnn: text") for the errors this library
// reports, and the mapping of SQLite failures onto them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/oci/sim.h"

namespace orasim {

namespace {

struct Text {
  int code;
  const char *text;
};

const Text kTexts[] = {
    {1, "unique constraint (%s) violated"},
    {28, "your session has been killed"},
    {54, "resource busy and acquire with NOWAIT specified or timeout expired"},
    {257, "archiver error. Connect internal only, until freed."},
    {600, "internal error code, arguments: [%s]"},
    {900, "invalid SQL statement"},
    {902, "invalid datatype"},
    {903, "invalid table name"},
    {904, "%s: invalid identifier"},
    {906, "missing left parenthesis"},
    {907, "missing right parenthesis"},
    {911, "invalid character"},
    {925, "missing INTO keyword"},
    {933, "SQL command not properly ended"},
    {942, "table or view does not exist"},
    {955, "name is already used by an existing object"},
    {946, "missing TO keyword"},
    {969, "missing ON keyword"},
    {971, "missing SET keyword"},
    {1418, "specified index does not exist"},
    {1430, "column being added already exists in table"},
    {2286, "no options specified for ALTER SEQUENCE"},
    {2289, "sequence does not exist"},
    {4080, "trigger does not exist"},
    {4081, "trigger already exists"},
    {8004, "sequence %s cannot be instantiated"},
    {1002, "fetch out of sequence"},
    {1008, "not all variables bound"},
    {1012, "not logged on"},
    {1017, "invalid username/password; logon denied"},
    {1034, "ORACLE not available"},
    {1036, "illegal variable name/number"},
    {1400, "cannot insert NULL into (%s)"},
    {1536, "space quota exceeded for tablespace 'USERS'"},
    {1653, "unable to extend table by 128 in tablespace USERS"},
    {1654, "unable to extend index by 128 in tablespace USERS"},
    {1688, "unable to extend table partition by 128 in tablespace USERS"},
    {1403, "no data found"},
    {1405, "fetched column value is NULL"},
    {1406, "fetched column value was truncated"},
    {1455, "converting column overflows integer datatype"},
    {1722, "invalid number"},
    {1740, "missing double quote in identifier"},
    {1756, "quoted string not properly terminated"},
    {1858, "a non-numeric character was found where a numeric was expected"},
    {1861, "literal does not match format string"},
    {1867, "the interval is invalid"},
    {1007, "variable not in select list"},
    {3001, "unimplemented feature"},
    {6502, "PL/SQL: numeric or value error: character string buffer too small"},
    {3113, "end-of-file on communication channel"},
    {3114, "not connected to ORACLE"},
    {3115, "unsupported network datatype or representation"},
    {12154, "TNS:could not resolve the connect identifier specified"},
    {12514, "TNS:listener does not currently know of service requested in connect descriptor"},
    {12521, "TNS:listener does not currently know of instance requested in connect descriptor"},
    {12715, "invalid character set specified"},
    {3129, "the next piece to be inserted is required"},
    {22275, "invalid LOB locator specified"},
    {22289, "cannot perform operation on an unopened file or LOB"},
    {22293, "LOB already opened in the same transaction"},
    {22926, "specified trim length is greater than current LOB value's length"},
    {22990, "LOB locators cannot span transactions"},
    {24801, "illegal parameter value in OCI lob function"},
    {22297, "warning: Open LOBs exist at transaction commit time"},
    {24315, "illegal attribute type"},
    {24333, "zero iteration count"},
    {24334, "no descriptor for this position"},
    {24381, "error(s) in array DML"},
    {30036, "unable to extend segment by 8 in undo tablespace 'UNDOTBS1'"},
};

}  // namespace

std::string ora_message(int code, const std::string &detail) {
  const char *fmt = nullptr;
  for (const Text &t : kTexts)
    if (t.code == code) fmt = t.text;
  char body[1024];
  if (fmt == nullptr) {
    snprintf(body, sizeof body, "error %d injected for testing%s%s", code, detail.empty() ? "" : ": ", detail.c_str());
  } else if (const char *at = strstr(fmt, "%s")) {
    snprintf(body, sizeof body, "%.*s%s%s", int(at - fmt), fmt, detail.c_str(), at + 2);
  } else if (!detail.empty()) {
    snprintf(body, sizeof body, "%s (%s)", fmt, detail.c_str());
  } else {
    snprintf(body, sizeof body, "%s", fmt);
  }
  char msg[1100];
  snprintf(msg, sizeof msg, "ORA-%05d: %s", code, body);
  return msg;
}

void set_error(Error *e, int code, const std::string &detail) {
  if (e == nullptr) return;
  e->has = true;
  e->rec.code = code;
  e->rec.msg = ora_message(code, detail);
}

void set_sqlite_error(Error *e, sqlite3 *db, int rc) {
  const char *m = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  std::string msg = m != nullptr ? m : "";
  int ext = db != nullptr ? sqlite3_extended_errcode(db) : rc;
  auto after = [&](const char *prefix) {
    size_t p = msg.find(prefix);
    return p == std::string::npos ? msg : msg.substr(p + strlen(prefix));
  };
  if (msg.rfind("ORA-", 0) == 0 && msg.size() > 10 && msg[9] == ':') {
    // Raised by one of our SQL functions, already in Oracle's words.
    e->has = true;
    e->rec.code = atoi(msg.c_str() + 4);
    e->rec.msg = msg;
  } else if (ext == SQLITE_CONSTRAINT_UNIQUE || ext == SQLITE_CONSTRAINT_PRIMARYKEY) {
    set_error(e, 1, after("failed: "));
  } else if (ext == SQLITE_CONSTRAINT_NOTNULL) {
    set_error(e, 1400, after("failed: "));
  } else if (msg.rfind("no such table", 0) == 0) {
    set_error(e, 942, "");
  } else if (msg.rfind("no such index", 0) == 0) {
    set_error(e, 1418, "");
  } else if (msg.rfind("duplicate column name", 0) == 0) {
    set_error(e, 1430, "");
  } else if (msg.rfind("no such column", 0) == 0) {
    set_error(e, 904, after("no such column: "));
  } else if (msg.find("already exists") != std::string::npos) {
    set_error(e, 955, "");
  } else if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
    set_error(e, 54, "");
  } else if (msg.find("syntax error") != std::string::npos) {
    set_error(e, 900, msg);
  } else {
    set_error(e, 600, "sqlite: " + msg);
  }
}

}  // namespace orasim
