#include "tests/dict/catalogue.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "lib/log/log.h"
#include "tests/testutil.h"

namespace dicttest {

namespace {

void fn_bitand(sqlite3_context *c, int, sqlite3_value **v) {
  sqlite3_result_int64(c, sqlite3_value_int64(v[0]) & sqlite3_value_int64(v[1]));
}

void fn_nvl(sqlite3_context *c, int, sqlite3_value **v) {
  sqlite3_result_value(c, sqlite3_value_type(v[0]) == SQLITE_NULL ? v[1] : v[0]);
}

bool ident_start(char c) { return isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool ident_char(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '#'; }

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::string translate(const std::string &sql) {
  std::string out;
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (c == '\'') {  // literal
      size_t j = sql.find('\'', i + 1);
      if (j == std::string::npos) j = sql.size() - 1;
      out += sql.substr(i, j - i + 1);
      i = j + 1;
    } else if (c == ':' && i + 1 < sql.size() && isdigit(static_cast<unsigned char>(sql[i + 1]))) {
      out += '?';
      i++;
    } else if (ident_start(c)) {
      size_t j = i;
      while (j < sql.size() && ident_char(sql[j])) j++;
      std::string id = sql.substr(i, j - i);
      if (upper(id) == "SYS" && j < sql.size() && sql[j] == '.') {
        size_t k = j + 1;
        while (k < sql.size() && ident_char(sql[k])) k++;
        out += "\"SYS." + upper(sql.substr(j + 1, k - j - 1)) + "\"";
        i = k;
        continue;
      }
      if (id.find_first_of("#$") != std::string::npos)
        out += "\"" + upper(id) + "\"";
      else
        out += id;
      i = j;
    } else {
      out += c;
      i++;
    }
  }
  return out;
}

Catalogue::Catalogue(const std::string &path) : path_(path) {
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("open catalogue");
  exec("pragma journal_mode=off; pragma synchronous=off;");
  exec(R"(create table "SYS.USER$"("USER#" integer, NAME text);
create table "SYS.OBJ$"("OBJ#" integer primary key, "OWNER#" integer, NAME text, "TYPE#" integer, FLAGS integer);
create table "SYS.TAB$"("OBJ#" integer primary key, PROPERTY integer, COLS integer, "BOBJ#" integer);
create table "SYS.COL$"("OBJ#" integer, "COL#" integer, "SEGCOL#" integer, "INTCOL#" integer, "TYPE#" integer,
  LENGTH integer, CHARSETFORM integer, NAME text, DEFLENGTH integer, "NULL$" integer, PROPERTY integer);
create index col_obj on "SYS.COL$"("OBJ#");
create table "SYS.IND$"("OBJ#" integer primary key, "BO#" integer, "TYPE#" integer, PROPERTY integer, FLAGS integer);
create table "SYS.ICOL$"("OBJ#" integer, "BO#" integer, "COL#" integer);
create table "SYS.CDEF$"("CON#" integer, "OBJ#" integer, "TYPE#" integer, ENABLED integer);
create table "SYS.CCOL$"("CON#" integer, "OBJ#" integer, "COL#" integer);
create table "SYS.LOB$"("OBJ#" integer, "COL#" integer, "IND#" integer, PROPERTY integer);
create table "SYS.TABPART$"("OBJ#" integer, "BO#" integer);
create table "SYS.TABCOMPART$"("OBJ#" integer, "BO#" integer);
create table "SYS.TABSUBPART$"("OBJ#" integer, "POBJ#" integer);
create table "SYS.SEQ$"("OBJ#" integer);)");
  sqlite3_create_function(db_, "bitand", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, fn_bitand, nullptr, nullptr);
  sqlite3_create_function(db_, "nvl", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, fn_nvl, nullptr, nullptr);
}

Catalogue::~Catalogue() { sqlite3_close(db_); }

void Catalogue::exec(const std::string &sql) {
  char *err = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string m = err ? err : "?";
    sqlite3_free(err);
    throw std::runtime_error("catalogue: " + m + " in " + sql);
  }
}

int Catalogue::user(const std::string &name) {
  auto it = users_.find(name);
  if (it != users_.end()) return it->second;
  int n = static_cast<int>(users_.size());
  users_[name] = n;
  exec("insert into \"SYS.USER$\" values(" + std::to_string(n) + ", '" + name + "')");
  return n;
}

int Catalogue::object(int owner, const std::string &name, int type, int flags) {
  int o = next_obj();
  exec("insert into \"SYS.OBJ$\" values(" + std::to_string(o) + "," + std::to_string(owner) + ",'" + name + "'," +
       std::to_string(type) + "," + std::to_string(flags) + ")");
  return o;
}

int Catalogue::table(const std::string &owner, const std::string &name, const std::vector<Col> &cols, int property,
                     int oflags) {
  int o = object(user(owner), name, 2, oflags);
  exec("insert into \"SYS.TAB$\" values(" + std::to_string(o) + "," + std::to_string(property) + "," +
       std::to_string(cols.size()) + ",null)");
  std::string sql = "insert into \"SYS.COL$\" values";
  for (size_t i = 0; i < cols.size(); i++) {
    const Col &c = cols[i];
    int seg = c.segcol >= 0 ? c.segcol : static_cast<int>(i) + 1;
    char row[512];
    snprintf(row, sizeof row, "%s(%d,%zu,%d,%zu,%d,%d,%d,'%s',%s,%d,%d)", i ? "," : "", o, i + 1, seg, i + 1, c.type,
             c.length, c.charsetform, c.name.c_str(), c.deflength ? std::to_string(c.deflength).c_str() : "null",
             c.notnull, c.property);
    sql += row;
  }
  if (!cols.empty()) exec(sql);
  return o;
}

int Catalogue::owner_of(int obj) {
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db_, "select \"OWNER#\" from \"SYS.OBJ$\" where \"OBJ#\" = ?", -1, &st, nullptr);
  sqlite3_bind_int(st, 1, obj);
  int owner = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : 0;
  sqlite3_finalize(st);
  return owner;
}

int Catalogue::partition(int bo) {
  int o = object(owner_of(bo), "P" + std::to_string(obj_ + 1), 19);
  exec("insert into \"SYS.TABPART$\" values(" + std::to_string(o) + "," + std::to_string(bo) + ")");
  return o;
}

int Catalogue::composite_partition(int bo) {
  int o = object(owner_of(bo), "CP" + std::to_string(obj_ + 1), 19);
  exec("insert into \"SYS.TABCOMPART$\" values(" + std::to_string(o) + "," + std::to_string(bo) + ")");
  return o;
}

int Catalogue::subpartition(int pobj) {
  int o = object(owner_of(pobj), "SP" + std::to_string(obj_ + 1), 34);
  exec("insert into \"SYS.TABSUBPART$\" values(" + std::to_string(o) + "," + std::to_string(pobj) + ")");
  return o;
}

int Catalogue::overflow(int bo) {
  int owner = owner_of(bo);
  int o = object(owner, "SYS_IOT_OVER_" + std::to_string(bo), 2);
  exec("insert into \"SYS.TAB$\" values(" + std::to_string(o) + ",512,0," + std::to_string(bo) + ")");
  return o;
}

int Catalogue::index(int bo, int type, int property, int flags, const std::vector<int> &cols) {
  int owner = owner_of(bo);
  int o = object(owner, "IDX_" + std::to_string(bo) + "_" + std::to_string(obj_), 1);
  exec("insert into \"SYS.IND$\" values(" + std::to_string(o) + "," + std::to_string(bo) + "," + std::to_string(type) +
       "," + std::to_string(property) + "," + std::to_string(flags) + ")");
  for (int c : cols)
    exec("insert into \"SYS.ICOL$\" values(" + std::to_string(o) + "," + std::to_string(bo) + "," + std::to_string(c) +
         ")");
  return o;
}

void Catalogue::constraint(int obj, int type, const std::vector<int> &cols, bool enabled) {
  int con = ++con_;
  exec("insert into \"SYS.CDEF$\" values(" + std::to_string(con) + "," + std::to_string(obj) + "," +
       std::to_string(type) + "," + (enabled ? "1" : "null") + ")");
  for (int c : cols)
    exec("insert into \"SYS.CCOL$\" values(" + std::to_string(con) + "," + std::to_string(obj) + "," +
         std::to_string(c) + ")");
}

int Catalogue::lob(int obj, int col, int property) {
  int ind = object(owner_of(obj), "SYS_IL" + std::to_string(obj_ + 1), 1);
  exec("insert into \"SYS.LOB$\" values(" + std::to_string(obj) + "," + std::to_string(col) + "," +
       std::to_string(ind) + "," + std::to_string(property) + ")");
  return ind;
}

int Catalogue::sequence(const std::string &owner, const std::string &name) {
  int o = object(user(owner), name, 6);
  exec("insert into \"SYS.SEQ$\" values(" + std::to_string(o) + ")");
  return o;
}

void Catalogue::sys_objects() {
  int save = obj_;
  obj_ = 0;
  for (int i = 0; x_sysobj_name[i][0] != '\0'; i++) table("SYS", x_sysobj_name[i], {{"OBJ#"}, {"NAME", 1, 128}});
  obj_ = save;
}

int SqliteQuery::run(const char *sql, const ks_dict_val_t *binds, int nbind, const int *kinds, int ncol,
                     ks_dict_row_fn fn, void *ctx) {
  runs++;
  texts.emplace_back(sql);
  if (probe != nullptr) probe(sql, probe_arg);
  if (fail_at == runs) {
    msg_ = "ORA-03114: not connected to ORACLE";
    return fail_stage;
  }
  std::string t = translate(sql);
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db_, t.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    msg_ = std::string(sqlite3_errmsg(db_)) + " in " + t;
    return KS_DQ_EPREPARE;
  }
  if (sqlite3_column_count(st) != ncol) {
    msg_ = "column count";
    sqlite3_finalize(st);
    return KS_DQ_EDEFINE;
  }
  for (int i = 0; i < nbind; i++) {
    int rc = binds[i].kind == KS_DQ_NUM ? sqlite3_bind_int64(st, i + 1, binds[i].num)
                                        : sqlite3_bind_text(st, i + 1, binds[i].str, -1, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
      msg_ = sqlite3_errmsg(db_);
      sqlite3_finalize(st);
      return KS_DQ_EBIND;
    }
  }
  std::vector<ks_dict_val_t> row(static_cast<size_t>(ncol));
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    for (int c = 0; c < ncol; c++) {
      ks_dict_val_t &v = row[static_cast<size_t>(c)];
      v = {};
      v.kind = kinds[c];
      if (kinds[c] == KS_DQ_NUM) {
        v.num = sqlite3_column_int64(st, c);
      } else {
        const unsigned char *s = sqlite3_column_text(st, c);
        snprintf(v.str, sizeof v.str, "%s", s ? reinterpret_cast<const char *>(s) : "");
      }
    }
    if (fn(ctx, row.data()) < 0) {
      sqlite3_finalize(st);
      return KS_DQ_EROW;
    }
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) {
    msg_ = sqlite3_errmsg(db_);
    return KS_DQ_EFETCH;
  }
  return 0;
}

ks_dict_item_t include(const std::string &schema, const std::string &table) {
  ks_dict_item_t it = {};
  if (table == "*") it.flag = KS_DICT_ITEM_ALL;
  snprintf(it.schema, sizeof it.schema, "%s", schema.c_str());
  snprintf(it.table, sizeof it.table, "%s", table.c_str());
  return it;
}

ks_dict_item_t exclude(const std::string &schema, const std::string &table) { return include(schema, table); }

ks_dict_item_t mapping(const std::string &schema, const std::string &table, const std::string &map_schema,
                       const std::string &map_table) {
  ks_dict_item_t it = include(schema, table);
  snprintf(it.map_schema, sizeof it.map_schema, "%s", map_schema.c_str());
  snprintf(it.map_table, sizeof it.map_table, "%s", map_table.c_str());
  return it;
}

bool logged(const std::string &text) { return std::string(ks_log_get_message()).find(text) != std::string::npos; }

int run_program(const std::string &prog, const std::vector<std::string> &args, std::string *out, std::string *err) {
  char ofile[] = "/tmp/ks_out.XXXXXX", efile[] = "/tmp/ks_err.XXXXXX";
  int ofd = mkstemp(ofile), efd = mkstemp(efile);
  if (ofd < 0 || efd < 0) return -1000;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(ofd, 1);
    dup2(efd, 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(prog.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(ofd);
  close(efd);
  *out = kstest::read_file(ofile);
  *err = kstest::read_file(efile);
  unlink(ofile);
  unlink(efile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
}

}  // namespace dicttest
