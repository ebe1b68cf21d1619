// A source catalogue for dictionary tests: the sys.* tables the export queries, held in a
// SQLite file with the names and columns the simulated source uses, and a query layer that
// runs the export's own statement texts against it (Oracle spellings translated the way
// the stand-in OCI library does: quoted # and $ names, "SYS.X" tables, nvl, bitand, :n).
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>
#include <vector>

#include "extract/dict/exp_dict.h"

namespace dicttest {

struct Col {
  std::string name;
  int type = 2;  // type#: 1 VARCHAR2, 2 NUMBER, 12 DATE, 112 CLOB, 113 BLOB
  int length = 22;
  int notnull = 0;
  int deflength = 0;
  int charsetform = 1;
  int property = 0;  // 0x8000: unused column
  int segcol = -1;   // default: position + 1
};

class Catalogue {
 public:
  explicit Catalogue(const std::string &path);
  ~Catalogue();
  sqlite3 *db() { return db_; }
  const std::string &path() const { return path_; }

  void exec(const std::string &sql);
  int user(const std::string &name);  // the user's number, created on first use
  int next_obj() { return ++obj_; }
  void set_next_obj(int n) { obj_ = n - 1; }
  // A table and its columns; property 32 partitioned, 64 index-organised. Returns obj#.
  int table(const std::string &owner, const std::string &name, const std::vector<Col> &cols, int property = 0,
            int oflags = 0);
  int partition(int bo);            // tabpart$ row; returns its obj#
  int composite_partition(int bo);  // tabcompart$ row
  int subpartition(int pobj);       // tabsubpart$ row
  int overflow(int bo);             // IOT overflow segment (tab$ property 512, bobj#)
  int index(int bo, int type, int property, int flags, const std::vector<int> &cols);  // ind$ + icol$
  void constraint(int obj, int type, const std::vector<int> &cols, bool enabled = true);
  int lob(int obj, int col, int property);  // lob$ row; returns its index's obj#
  int sequence(const std::string &owner, const std::string &name);
  void sys_objects();  // SYS's dictionary tables themselves

 private:
  int owner_of(int obj);
  int object(int owner, const std::string &name, int type, int flags = 0);
  sqlite3 *db_ = nullptr;
  std::string path_;
  int obj_ = 1000;
  int con_ = 0;
  std::map<std::string, int> users_;
};

// Runs the export's statements against a catalogue; counts and can fail queries.
class SqliteQuery : public ks_dict_query {
 public:
  explicit SqliteQuery(sqlite3 *db) : db_(db) {}
  int run(const char *sql, const ks_dict_val_t *binds, int nbind, const int *kinds, int ncol, ks_dict_row_fn fn,
          void *ctx) override;
  const char *message() override { return msg_.c_str(); }

  int runs = 0;
  int fail_at = 0;  // fail the n-th run (1-based) with fail_stage
  int fail_stage = KS_DQ_EEXECUTE;
  std::vector<std::string> texts;  // statement texts run, in order
  // Called before each run with its text (tests look at files mid-export).
  void (*probe)(const char *sql, void *arg) = nullptr;
  void *probe_arg = nullptr;

 private:
  sqlite3 *db_;
  std::string msg_;
};

// The Oracle statement text as SQLite reads it.
std::string translate(const std::string &sql);

// Set items.
ks_dict_item_t include(const std::string &schema, const std::string &table);
ks_dict_item_t exclude(const std::string &schema, const std::string &table);
ks_dict_item_t mapping(const std::string &schema, const std::string &table, const std::string &map_schema,
                       const std::string &map_table);

// The last logged message holds text.
bool logged(const std::string &text);

// Runs a built program with arguments; returns its exit status and fills out / err.
int run_program(const std::string &prog, const std::vector<std::string> &args, std::string *out, std::string *err);

}  // namespace dicttest
