// The simulated source database: creation, loading and saving of the model and its
// catalogue. Redo generation of row changes lives in sim_dml.cpp.
#include "sim/source/sim_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

#include "lib/fmt/asm_format.h"
#include "lib/log/log.h"
#include "sim/source/catalog.h"
#include "sim/source/ora_value.h"
#include "sim/source/sim_txn.h"

namespace ks::sim {

namespace {
constexpr uint64_t kMaxNextChange = 281474976710655ull;  // NEXT_CHANGE# of the current log
constexpr uint32_t kFirstUserObjn = 74500;
constexpr uint32_t kFirstUser = 100;

// A prepared statement that finalizes itself.
struct Stmt {
  sqlite3_stmt *s = nullptr;
  Stmt(sqlite3 *db, const std::string &sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
      KS_ERROR("sqlite prepare error: %s\nstatement: %.200s", sqlite3_errmsg(db), sql.c_str());
      s = nullptr;
    }
  }
  ~Stmt() { sqlite3_finalize(s); }
  explicit operator bool() const { return s != nullptr; }
  bool row() { return sqlite3_step(s) == SQLITE_ROW; }
  int64_t i(int c) { return sqlite3_column_int64(s, c); }
  std::string t(int c) {
    const unsigned char *p = sqlite3_column_text(s, c);
    return p ? std::string(reinterpret_cast<const char *>(p), size_t(sqlite3_column_bytes(s, c))) : std::string();
  }
};

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
  char b[4096];
  va_list ap;
  va_start(ap, f);
  vsnprintf(b, sizeof b, f, ap);
  va_end(ap);
  return b;
}

int mkdirs(const std::string &p) {
  std::string cur;
  for (size_t i = 0; i <= p.size(); i++) {
    if (i == p.size() || p[i] == '/') {
      if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
        KS_ERROR("mkdir \"%s\": %s", cur.c_str(), strerror(errno));
        return -1;
      }
    }
    if (i < p.size()) cur += p[i];
  }
  return 0;
}

// Seconds since 1988-01-01 in the redo calendar (31-day months) from "YYYY-MM-DD HH:MM:SS".
double redo_clock(const std::string &t) {
  int y = 2026, mo = 1, d = 1, h = 0, mi = 0, s = 0;
  sscanf(t.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
  return double(redo::redo_time(y, mo, d, h, mi, s));
}
}  // namespace

std::string ks_col_t::type_name() const {
  switch (type) {
    case kTypeVarchar2:
      return csform == 2 ? "NVARCHAR2" : "VARCHAR2";
    case kTypeChar:
      return csform == 2 ? "NCHAR" : "CHAR";
    case kTypeNumber:
      return "NUMBER";
    case kTypeDate:
      return "DATE";
    case kTypeTimestamp:
      return "TIMESTAMP";
    case kTypeRaw:
      return "RAW";
    case kTypeLong:
      return "LONG";
    case kTypeLongRaw:
      return "LONG RAW";
    case kTypeClob:
      return csform == 2 ? "NCLOB" : "CLOB";
    case kTypeBlob:
      return "BLOB";
  }
  return "UNKNOWN";
}

bool ks_col_t::is_lob() const { return type == kTypeClob || type == kTypeBlob; }
bool ks_col_t::is_long() const { return type == kTypeLong || type == kTypeLongRaw; }

ks_sim_db::ks_sim_db() : rec_(), rng_(1) {}

ks_sim_db::~ks_sim_db() { close(); }

std::string ks_sim_db::db_path() const { return cfg_.dir + "/" + cfg_.name + ".db"; }

const std::string &ks_sim_db::clock_text() const {
  // Inverse of the redo calendar for display and DATE values.
  uint64_t s = uint64_t(clock_);
  if (s == clock_sec_) return clock_txt_;
  clock_sec_ = s;
  int sec = int(s % 60);
  s /= 60;
  int min = int(s % 60);
  s /= 60;
  int hour = int(s % 24);
  s /= 24;
  int day = int(s % 31) + 1;
  s /= 31;
  int mon = int(s % 12) + 1;
  s /= 12;
  int year = int(s) + 1988;
  if (day > 28) day = 28;  // the redo calendar has 31-day months; keep dates valid
  clock_txt_ = fmt("%04d-%02d-%02d %02d:%02d:%02d", year, mon, day, hour, min, sec);
  return clock_txt_;
}

int ks_sim_db::exec(const char *sql) { return ks_sql_exec(db_, sql); }

int ks_sim_db::open_sql(bool create) {
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(db_path().c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    KS_ERROR("open database \"%s\": %s", db_path().c_str(), db_ ? sqlite3_errmsg(db_) : "out of memory");
    sqlite3_close(db_);
    db_ = nullptr;
    return -1;
  }
  sqlite3_busy_timeout(db_, 10000);
  // Readers (liborasim serving extract) keep reading while the workload writes.
  if (exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") != 0) return -1;
  return 0;
}

int ks_sim_db::create(const ks_db_cfg_t &cfg) {
  cfg_ = cfg;
  if (cfg_.dir.empty() || cfg_.name.empty()) {
    KS_ERROR("database directory and name are required.");
    return -1;
  }
  for (char &c : cfg_.name) c = char(toupper(uint8_t(c)));
  struct stat st;
  if (stat(db_path().c_str(), &st) == 0) {
    KS_ERROR("database \"%s\" already exists.", db_path().c_str());
    return -1;
  }
  uint32_t major = redo::vsn_major(cfg_.redo.vsn);
  if (major < 10) {
    KS_ERROR("unsupported database version %u.", major);
    return -1;
  }
  if (!cfg_.pdb.empty() && cfg_.con_uid == 0) cfg_.con_uid = 3141592653u;
  if (!cfg_.pdb.empty() && (cfg_.con_uid == kRootConUid || cfg_.other_con_uid == cfg_.con_uid)) {
    KS_ERROR("container uid %u is the root's or the other container's.", cfg_.con_uid);
    return -1;
  }
  if (cfg_.pdb.empty() && (cfg_.con_uid != 0 || cfg_.other_con_uid != 0)) {
    // A database without containers stamps 0 in every record.
    KS_WARN("container uids are ignored without a pluggable database.");
    cfg_.con_uid = cfg_.other_con_uid = 0;
  }
  if (cfg_.instances < 0 || cfg_.instances > kMaxInstances || cfg_.groups < 1) {
    KS_ERROR("a database has 1 to %d instances of one log group at least.", kMaxInstances);
    return -1;
  }
  std::string online = cfg_.dir + "/" + cfg_.name + "/onlinelog", arch = cfg_.dir + "/" + cfg_.name + "/archivelog";
  if (mkdirs(online) != 0 || mkdirs(arch) != 0 || lock_db() != 0) return -1;
  cfg_.redo.arch_dir = arch;
  // The disk groups first: a layout refused leaves no database behind.
  if (!cfg_.asm_grp.name.empty() && asm_setup(true) != 0) return -1;
  if (open_sql(true) != 0 || ks_catalog_create(db_) != 0) return -1;
  set_identity();
  rng_.seed(cfg_.seed);
  scn_ = 1000000 + cfg_.seed % 1000;
  clock_ = redo_clock(cfg_.start_time);
  next_objn_ = kFirstUserObjn;
  next_user_ = kFirstUser;
  next_con_ = 10000;
  wrap_.assign(size_t(kUndoSegs) * kUndoSlots, 0);
  busy_.assign(size_t(kUndoSegs) * kUndoSlots, 0);

  exec("BEGIN");
  const char *yes[2] = {"NO", "YES"};
  std::string ver = fmt("%u.%u.0.0.0", major, redo::vsn_minor(cfg_.redo.vsn) >> 4);
  std::string sql;
  sql +=
      fmt("INSERT INTO \"V$DATABASE\" VALUES (%u, '%s', '%s', '%s', 'READ WRITE', 'YES', '%s', '%s', 'NO', '%s', '%s', "
          "%" PRIu64 ", '%s', 'Linux x86 64-bit');\n",
          cfg_.redo.dbid, cfg_.name.c_str(), cfg_.name.c_str(), cfg_.redo.archive ? "ARCHIVELOG" : "NOARCHIVELOG",
          yes[cfg_.suplog >= kSupPk], yes[cfg_.suplog >= kSupPkUi], yes[cfg_.suplog == kSupAll],
          yes[cfg_.force_logging], scn_, cfg_.pdb.empty() ? "NO" : "YES");
  const size_t ninst = size_t(std::max(1, cfg_.instances));
  for (size_t i = 0; i < ninst; i++) {
    insts_.push_back(std::make_unique<ks_inst_t>());
    insts_[i]->thread = cfg_.instances > 0 ? uint32_t(i + 1) : cfg_.redo.thread;
    insts_[i]->name = cfg_.instances > 0 ? cfg_.name + std::to_string(i + 1) : cfg_.name;
    sql += fmt("INSERT INTO \"V$INSTANCE\" VALUES (%zu, %s, 'localhost', '%s', %u, 'OPEN', 'ACTIVE');\n", i + 1,
               ks_sql_quote(insts_[i]->name).c_str(), ver.c_str(), insts_[i]->thread);
  }
  sql +=
      "INSERT INTO \"V$NLS_PARAMETERS\" VALUES ('NLS_LANGUAGE', 'AMERICAN', 0), ('NLS_TERRITORY', 'AMERICA', 0), "
      "('NLS_CHARACTERSET', " +
      ks_sql_quote(cfg_.charset) + ", 0), ('NLS_NCHAR_CHARACTERSET', " + ks_sql_quote(cfg_.ncharset) +
      ", 0), ('NLS_DATE_FORMAT', 'DD-MON-RR', 0);\n";
  if (!cfg_.pdb.empty())
    sql += fmt("INSERT INTO \"DBA_PDBS\" VALUES (3, %s, %u, %u, '%016" PRIX64 "', 'NORMAL', 3);\n",
               ks_sql_quote(cfg_.pdb).c_str(), cfg_.con_uid, cfg_.con_uid, cfg_.seed);
  sql += fmt("INSERT INTO \"DBA_SUPPLEMENTAL_LOGGING\" VALUES ('YES', '%s', '%s', 'NO', '%s', 'NO');\n",
             yes[cfg_.suplog >= kSupPk], yes[cfg_.suplog >= kSupPkUi], yes[cfg_.suplog == kSupAll]);
  // Users SYS, PUBLIC and SYSTEM, and the dictionary tables describing themselves.
  std::string now = clock_text();
  sql += "INSERT INTO \"SYS.USER$\" VALUES (0, 'SYS', 1, '" + now + "'), (1, 'PUBLIC', 0, '" + now +
         "'), (5, 'SYSTEM', 1, '" + now + "');\n";
  for (const auto &t : ks_sys_tables()) {
    sql += fmt("INSERT INTO \"SYS.OBJ$\" VALUES (%u, %u, 0, '%s', 1, NULL, 2, '%s', '%s', '%s', 1, 0);\n", t.objn,
               t.objn, t.name, now.c_str(), now.c_str(), now.c_str());
    sql += fmt("INSERT INTO \"SYS.TAB$\" VALUES (%u, %u, 0, 1, %u, NULL, %zu, 0, 0);\n", t.objn, t.objn, t.objn * 8,
               t.cols.size());
    int i = 1;
    for (const auto &c : t.cols) {
      sql +=
          fmt("INSERT INTO \"SYS.COL$\" VALUES (%u, %d, %d, %d, %d, '%s', %d, %d, 0, NULL, NULL, %d, NULL, NULL, "
              "%d, 0, %d, %d);\n",
              t.objn, i, i, c.length, i, c.name, c.type, c.length, i == 1 ? 1 : 0, i, c.type == 1 ? 873 : 0,
              c.type == 1 ? 1 : 0);
      i++;
    }
  }
  // Online log groups, numbered across the instances: each has groups of its own.
  std::vector<std::vector<ks_log_group_t>> groups(ninst);
  std::vector<std::string> paths;
  for (int g = 1; g <= cfg_.groups * int(ninst); g++) {
    const size_t i = size_t(g - 1) / size_t(cfg_.groups);
    ks_log_group_t grp;
    grp.group = g;
    grp.path = asm_store_ ? asm_store_->online_name(g) : online + fmt("/redo%02d.log", g);
    paths.push_back(grp.path);
    groups[i].push_back(grp);
    sql += fmt("INSERT INTO \"V$LOG\" VALUES (%d, %u, 0, %" PRIu64 ", %u, 1, 'YES', 'UNUSED', 0, NULL, 0, NULL);\n", g,
               insts_[i]->thread, uint64_t(cfg_.redo.log_blocks) * cfg_.redo.blk_sz, cfg_.redo.blk_sz);
    sql += fmt("INSERT INTO \"V$LOGFILE\" VALUES (%d, NULL, 'ONLINE', %s, 'NO');\n", g, ks_sql_quote(grp.path).c_str());
  }
  auto put = [&](const char *k, const std::string &v) {
    sql += fmt("INSERT INTO \"KS$STATE\" VALUES ('%s', %s);\n", k, ks_sql_quote(v).c_str());
  };
  put("db_block", std::to_string(cfg_.db_block));
  put("blk_sz", std::to_string(cfg_.redo.blk_sz));
  put("big", std::to_string(cfg_.redo.big));
  put("vsn", std::to_string(cfg_.redo.vsn));
  put("thread", std::to_string(cfg_.redo.thread));
  put("log_blocks", std::to_string(cfg_.redo.log_blocks));
  put("archive", std::to_string(cfg_.redo.archive));
  put("groups", std::to_string(cfg_.groups));
  put("instances", std::to_string(cfg_.instances));
  put("suplog", std::to_string(cfg_.suplog));
  put("force_logging", std::to_string(cfg_.force_logging));
  put("charset", cfg_.charset);
  put("ncharset", cfg_.ncharset);
  put("pdb", cfg_.pdb);
  put("con_uid", std::to_string(cfg_.con_uid));
  put("other_con_uid", std::to_string(cfg_.other_con_uid));
  put("noise", std::to_string(cfg_.noise));
  put("seed", std::to_string(cfg_.seed));
  if (asm_logs_) {
    put("asm_group", cfg_.asm_grp.name);
    put("asm_arch", asm_arch_ ? cfg_.asm_arch : "");
    put("asm_disks", std::to_string(cfg_.asm_grp.disks));
    put("asm_copies", std::to_string(cfg_.asm_grp.copies));
    put("asm_au", std::to_string(cfg_.asm_grp.au));
    put("asm_fine", std::to_string(cfg_.asm_fine));
    put("asm_big", std::to_string(cfg_.asm_grp.big));
  }
  for (const char *k : {"scn", "clock", "next_objn", "next_user", "next_con", "cur_group", "next_blk"}) put(k, "0");
  if (exec(sql.c_str()) != 0) return -1;
  for (uint32_t u = 1; u <= kUndoSegs; u++) {
    for (uint32_t s = 0; s < kUndoSlots; s++) {
      uint32_t w = uint32_t(rng_() % 2000) + 1;
      wrap_[(u - 1) * kUndoSlots + s] = w;
    }
  }
  if (ks_redo_writer::create_groups(cfg_.redo, paths) != 0) return -1;
  if (asm_store_) {
    // The directories of the names, then the online logs' aliases.
    const uint32_t no_file = 0xFFFFFFFFu;
    sql.clear();
    for (const ks_asm_group *gr : {asm_logs_.get(), asm_arch_.get()}) {
      if (!gr) continue;
      for (const char *d : {cfg_.name.c_str(), gr == asm_arch_.get() ? nullptr : "ONLINELOG", "ARCHIVELOG"})
        if (d)
          sql += fmt("INSERT INTO \"V$ASM_ALIAS\" VALUES (%s, %d, %u, 0, 'Y', 'Y');\n", ks_sql_quote(d).c_str(),
                     gr->cfg().number, no_file);
    }
    for (const auto &p : paths) sql += asm_alias_sql(p);
    if (exec((sql + asm_space_sql()).c_str()) != 0) return -1;
  }
  rec_.setup(cfg_.redo.big, cfg_.redo.vsn);
  for (size_t i = 0; i < ninst; i++) {
    ks_redo_cfg_t rc = cfg_.redo;
    rc.thread = insts_[i]->thread;
    insts_[i]->writer.set_listener([this, i](const ks_log_event_t &e) { return catalog_log_event(i, e); });
    if (insts_[i]->writer.open(rc, groups[i], -1, 0, 1, scn_, uint32_t(clock_)) != 0) return -1;
  }
  writer_ = &insts_[0]->writer;
  open_ = true;
  if (save() != 0) return -1;
  return exec("COMMIT");
}

// The database's identity in its logs' headers, a function of its seed and name so that it
// needs no state of its own: the DBID v$database shows, an activation id and a resetlogs id
// of the same form, and the resetlogs SCN of a database created with its first open (1).
void ks_sim_db::set_identity() {
  cfg_.redo.dbid = uint32_t(cfg_.seed * 2654435761u % 4000000000u + 1000);
  cfg_.redo.db_name = cfg_.name.substr(0, redo::KS_REDO_FH1_DB_NAME_SIZE);
  cfg_.redo.activation = cfg_.redo.dbid ^ 0x0000E300u;
  cfg_.redo.resetlogs_id = uint32_t(0x49000000u + cfg_.seed * 40503u % 0x01000000u);
  cfg_.redo.resetlogs_scn = 1;
}

int ks_sim_db::open(const std::string &dir, const std::string &name) {
  cfg_ = ks_db_cfg_t{};
  cfg_.dir = dir;
  cfg_.name = name;
  for (char &c : cfg_.name) c = char(toupper(uint8_t(c)));
  struct stat st;
  if (stat(db_path().c_str(), &st) != 0) {
    KS_ERROR("database \"%s\" not found.", db_path().c_str());
    return -1;
  }
  if (lock_db() != 0 || open_sql(false) != 0 || ks_catalog_pieces(db_) != 0 || ks_catalog_asm(db_) != 0 ||
      ks_catalog_threads(db_) != 0)
    return -1;
  if (load() != 0) return -1;
  open_ = true;
  return 0;
}

int ks_sim_db::load() {
  std::map<std::string, std::string> kv;
  {
    Stmt s(db_, "SELECT \"KEY\", \"VALUE\" FROM \"KS$STATE\"");
    if (!s) return -1;
    while (s.row()) kv[s.t(0)] = s.t(1);
  }
  auto u64 = [&](const char *k) { return strtoull(kv[k].c_str(), nullptr, 10); };
  cfg_.db_block = uint32_t(u64("db_block"));
  cfg_.redo.blk_sz = uint32_t(u64("blk_sz"));
  cfg_.redo.big = u64("big") != 0;
  cfg_.redo.vsn = uint32_t(u64("vsn"));
  cfg_.redo.thread = uint32_t(u64("thread"));
  cfg_.redo.log_blocks = uint32_t(u64("log_blocks"));
  cfg_.redo.archive = u64("archive") != 0;
  cfg_.groups = int(u64("groups"));
  cfg_.instances = int(u64("instances"));
  cfg_.suplog = int(u64("suplog"));
  cfg_.force_logging = u64("force_logging") != 0;
  cfg_.charset = kv["charset"];
  cfg_.ncharset = kv["ncharset"];
  cfg_.pdb = kv["pdb"];
  cfg_.con_uid = uint32_t(u64("con_uid"));
  cfg_.other_con_uid = uint32_t(u64("other_con_uid"));
  cfg_.noise = int(u64("noise"));
  cfg_.seed = u64("seed");
  cfg_.asm_grp.name = kv["asm_group"];
  cfg_.asm_arch = kv["asm_arch"];
  cfg_.asm_grp.disks = int(u64("asm_disks"));
  cfg_.asm_grp.copies = int(u64("asm_copies"));
  cfg_.asm_grp.au = uint32_t(u64("asm_au"));
  cfg_.asm_fine = u64("asm_fine") != 0;
  cfg_.asm_grp.big = u64("asm_big") != 0;
  cfg_.redo.arch_dir = cfg_.dir + "/" + cfg_.name + "/archivelog";
  set_identity();
  scn_ = u64("scn");
  {
    // Readers move the current SCN on while no run holds the database: the next SCN is
    // above whatever they saw.
    Stmt s(db_, "SELECT \"CURRENT_SCN\" FROM \"V$DATABASE\"");
    if (s && s.row()) scn_ = std::max(scn_, uint64_t(s.i(0)));
  }
  clock_ = strtod(kv["clock"].c_str(), nullptr);
  next_objn_ = uint32_t(u64("next_objn"));
  next_user_ = uint32_t(u64("next_user"));
  next_con_ = uint32_t(u64("next_con"));
  rng_.seed(cfg_.seed);
  if (cfg_.redo.blk_sz < 512 || cfg_.groups < 1 || cfg_.instances < 0 || cfg_.instances > kMaxInstances) {
    KS_ERROR("database state of \"%s\" is damaged.", db_path().c_str());
    return -1;
  }
  wrap_.assign(size_t(kUndoSegs) * kUndoSlots, 0);
  busy_.assign(size_t(kUndoSegs) * kUndoSlots, 0);
  {
    Stmt s(db_, "SELECT \"USN\", \"SLOT\", \"WRAP\" FROM \"KS$UNDO\"");
    if (!s) return -1;
    while (s.row()) {
      int64_t u = s.i(0), sl = s.i(1);
      if (u < 1 || u > kMaxUndoSegs || sl < 0 || sl >= kUndoSlots) continue;
      const size_t i = size_t(u - 1) * kUndoSlots + size_t(sl);
      if (i >= wrap_.size()) {  // a segment brought online by an earlier run
        wrap_.resize(size_t(u) * kUndoSlots, 0);
        busy_.resize(wrap_.size(), 0);
      }
      wrap_[i] = uint32_t(s.i(2));
    }
  }
  {
    Stmt s(db_, "SELECT \"USER#\", \"NAME\" FROM \"SYS.USER$\" WHERE \"USER#\" >= 100");
    if (!s) return -1;
    while (s.row()) users_[s.t(1)] = uint32_t(s.i(0));
  }
  // Tables of the users, their columns and keys.
  {
    Stmt s(db_,
           "SELECT o.\"OBJ#\", o.\"OWNER#\", u.\"NAME\", o.\"NAME\", g.\"FILE#\", g.\"SEG_BLOCK\", g.\"CUR_BLOCK\", "
           "g.\"NEXT_SLOT\", g.\"SLOTS\" FROM \"SYS.OBJ$\" o JOIN \"SYS.USER$\" u ON u.\"USER#\" = o.\"OWNER#\" "
           "JOIN \"KS$SEGMENTS\" g ON g.\"OBJ#\" = o.\"OBJ#\" WHERE o.\"TYPE#\" = 2 ORDER BY o.\"OBJ#\"");
    if (!s) return -1;
    while (s.row()) {
      auto t = std::make_unique<ks_table_t>();
      t->objn = uint32_t(s.i(0));
      t->user_no = uint32_t(s.i(1));
      t->owner = s.t(2);
      t->name = s.t(3);
      t->file = uint32_t(s.i(4));
      t->seg_block = uint32_t(s.i(5));
      t->cur_block = uint32_t(s.i(6));
      t->next_slot = uint16_t(s.i(7));
      t->slots_per_block = uint16_t(s.i(8));
      tables_.push_back(std::move(t));
    }
  }
  for (auto &t : tables_) {
    Stmt c(db_,
           fmt("SELECT \"NAME\", \"COL#\", \"SEGCOL#\", \"TYPE#\", \"LENGTH\", \"PRECISION#\", \"SCALE\", "
               "\"CHARSETFORM\", \"NULL$\", \"DEFAULT$\" FROM \"SYS.COL$\" WHERE \"OBJ#\" = %u ORDER BY \"SEGCOL#\"",
               t->objn));
    if (!c) return -1;
    while (c.row()) {
      ks_col_t col;
      col.name = c.t(0);
      col.col_no = int(c.i(1));
      col.segcol = int(c.i(2));
      col.type = int(c.i(3));
      col.length = int(c.i(4));
      col.precision = int(c.i(5));
      col.scale = int(c.i(6));
      col.csform = int(c.i(7));
      col.not_null = c.i(8) != 0;
      col.deflt = c.t(9);
      t->cols.push_back(col);
    }
    Stmt lob(db_, fmt("SELECT \"INTCOL#\", \"LOBJ#\", \"PROPERTY\" FROM \"SYS.LOB$\" WHERE \"OBJ#\" = %u", t->objn));
    if (!lob) return -1;
    while (lob.row())
      for (ks_col_t &col : t->cols)
        if (col.segcol == int(lob.i(0))) col.lob_objn = uint32_t(lob.i(1)), col.securefile = (lob.i(2) & 2048) != 0;
    Stmt k(db_, fmt("SELECT d.\"TYPE#\", d.\"CON#\", c.\"COL#\" FROM \"SYS.CDEF$\" d JOIN \"SYS.CCOL$\" c ON "
                    "c.\"CON#\" = d.\"CON#\" WHERE d.\"OBJ#\" = %u ORDER BY d.\"CON#\", c.\"POS#\"",
                    t->objn));
    if (!k) return -1;
    while (k.row()) {
      int type = int(k.i(0));
      int colno = int(k.i(2));
      for (size_t i = 0; i < t->cols.size(); i++) {
        if (t->cols[i].col_no != colno) continue;
        if (type == 2) t->pk.push_back(int(i)), t->pk_con = uint32_t(k.i(1));
        if (type == 3) t->uk.push_back(int(i)), t->uk_con = uint32_t(k.i(1));
      }
    }
    // The key's index is found again by its columns, not its name: a table renamed since
    // kept its index under the old name. Without it, its changes would go on without the
    // index redo the database writes for them.
    Stmt ix(db_, fmt("SELECT c.\"OBJ#\", c.\"COL#\" FROM \"SYS.ICOL$\" c JOIN \"SYS.IND$\" i ON i.\"OBJ#\" = "
                     "c.\"OBJ#\" WHERE i.\"BO#\" = %u ORDER BY c.\"OBJ#\", c.\"POS#\"",
                     t->objn));
    if (!ix) return -1;
    std::map<uint32_t, std::vector<int>> index_cols;
    while (ix.row()) index_cols[uint32_t(ix.i(0))].push_back(int(ix.i(1)));
    const auto col_nos = [&cols = t->cols](const std::vector<int> &key) {
      std::vector<int> v;
      for (int at : key) v.push_back(cols[size_t(at)].col_no);
      return v;
    };
    for (const auto &[objn, cols] : index_cols) {
      if (!t->pk.empty() && t->pk_objn == 0 && cols == col_nos(t->pk))
        t->pk_objn = objn;
      else if (!t->uk.empty() && t->uk_objn == 0 && cols == col_nos(t->uk))
        t->uk_objn = objn;
    }
    Stmt io(db_, fmt("SELECT \"OBJ#\", \"PROPERTY\" FROM \"SYS.TAB$\" WHERE \"OBJ#\" = %u OR \"BOBJ#\" = %u", t->objn,
                     t->objn));
    if (!io) return -1;
    while (io.row()) {
      if (uint32_t(io.i(0)) == t->objn) t->iot = (io.i(1) & 64) != 0;
      if (uint32_t(io.i(0)) != t->objn && (io.i(1) & 512)) t->ovf_objn = uint32_t(io.i(0));
    }
    Stmt r(db_, "SELECT rowid, * FROM " + t->sql_name());
    if (!r) return -1;
    while (r.row()) {
      ks_row_t row;
      int64_t rid = r.i(0);
      row.dba = uint32_t(uint64_t(rid) >> 16);
      row.slot = uint16_t(rid & 0xFFFF);
      row.v.resize(t->cols.size());
      for (size_t i = 0; i < t->cols.size(); i++) {
        int ct = sqlite3_column_type(r.s, int(i) + 1);
        if (ct == SQLITE_NULL) continue;
        std::string text;
        if (ct == SQLITE_BLOB) {
          const void *p = sqlite3_column_blob(r.s, int(i) + 1);
          text.assign(static_cast<const char *>(p), size_t(sqlite3_column_bytes(r.s, int(i) + 1)));
        } else {
          text = r.t(int(i) + 1);
        }
        // A stored LOB of no bytes is an empty LOB, not NULL as an empty text would be.
        const int rc = t->cols[i].is_lob() ? lob_value(t->cols[i], text, &row.v[i])
                                           : value_from_text(t->cols[i], text, false, &row.v[i]);
        if (rc != 0) {
          KS_ERROR("bad value in %s column %s: %s", t->sql_name().c_str(), t->cols[i].name.c_str(), text.c_str());
          return -1;
        }
      }
      row.live_pos = uint32_t(t->live.size());
      t->live.push_back(uint32_t(t->rows.size()));
      t->rows.push_back(std::move(row));
    }
    if (load_pieces(t.get()) != 0) return -1;
    // Blocks this run takes for rows come after those of every table before it in their file.
    uint32_t &nb = next_file_block_[t->file & 15];
    nb = std::max({nb, t->seg_block + 7, t->cur_block});
  }
  if (load_compression() != 0) return -1;
  {
    Stmt s(db_,
           "SELECT s.\"OBJ#\", u.\"NAME\", o.\"NAME\", s.\"INCREMENT$\", s.\"CACHE\", s.\"HIGHWATER\" FROM "
           "\"SYS.SEQ$\" s JOIN \"SYS.OBJ$\" o ON o.\"OBJ#\" = s.\"OBJ#\" JOIN \"SYS.USER$\" u ON "
           "u.\"USER#\" = o.\"OWNER#\" ORDER BY s.\"OBJ#\"");
    if (!s) return -1;
    while (s.row()) {
      auto q = std::make_unique<ks_sequence_t>();
      q->objn = uint32_t(s.i(0));
      q->owner = s.t(1);
      q->name = s.t(2);
      q->increment = s.i(3);
      q->cache = s.i(4);
      q->highwater = s.i(5);
      q->next = q->highwater;  // a restarted instance loses its cached values
      seqs_.push_back(std::move(q));
    }
  }
  // Log groups as the catalogue knows them.
  std::vector<ks_log_group_t> groups;
  {
    Stmt s(db_,
           "SELECT l.\"GROUP#\", f.\"MEMBER\", l.\"SEQUENCE#\", l.\"STATUS\", l.\"FIRST_CHANGE#\", "
           "l.\"NEXT_CHANGE#\", l.\"ARCHIVED\", l.\"THREAD#\" FROM \"V$LOG\" l JOIN \"V$LOGFILE\" f ON f.\"GROUP#\" = "
           "l.\"GROUP#\" "
           "ORDER BY l.\"GROUP#\"");
    if (!s) return -1;
    while (s.row()) {
      ks_log_group_t g;
      g.group = int(s.i(0));
      g.path = s.t(1);
      g.seq = uint32_t(s.i(2));
      std::string st = s.t(3);
      g.status = st == "CURRENT"    ? kLogCurrent
                 : st == "ACTIVE"   ? kLogActive
                 : st == "INACTIVE" ? kLogInactive
                                    : kLogUnused;
      g.first_scn = uint64_t(s.i(4));
      g.next_scn = uint64_t(s.i(5));
      g.archived = s.t(6) == "YES";
      g.thread = uint32_t(s.i(7));
      groups.push_back(g);
    }
  }
  if (!cfg_.asm_grp.name.empty() && asm_setup(false) != 0) return -1;
  rec_.setup(cfg_.redo.big, cfg_.redo.vsn);
  return open_instances(groups, kv);
}

std::string ks_sim_db::state_key(const char *base, size_t i) const {
  return i == 0 ? std::string(base) : fmt("%s.%u", base, insts_[i]->thread);
}

// The instances as the last run left them: each thread's groups, its current log and where
// its redo goes on, or closed.
int ks_sim_db::open_instances(const std::vector<ks_log_group_t> &all, const std::map<std::string, std::string> &kv) {
  const size_t ninst = size_t(std::max(1, cfg_.instances));
  std::string sql;
  for (size_t i = 0; i < ninst; i++) {
    insts_.push_back(std::make_unique<ks_inst_t>());
    ks_inst_t &in = *insts_[i];
    in.thread = cfg_.instances > 0 ? uint32_t(i + 1) : cfg_.redo.thread;
    in.name = cfg_.instances > 0 ? cfg_.name + std::to_string(i + 1) : cfg_.name;
    std::vector<ks_log_group_t> groups;
    for (const auto &g : all)
      if (g.thread == in.thread) groups.push_back(g);
    auto it = kv.find(state_key("cur_group", i));
    const int cur_group = it == kv.end() ? -1 : atoi(it->second.c_str());
    it = kv.find(state_key("next_blk", i));
    const uint32_t next_blk = it == kv.end() ? 0 : uint32_t(strtoul(it->second.c_str(), nullptr, 10));
    ks_redo_cfg_t rc = cfg_.redo;
    rc.thread = in.thread;
    in.writer.set_listener([this, i](const ks_log_event_t &e) { return catalog_log_event(i, e); });
    in.open = cur_group >= 0;
    if (in.open ? in.writer.open(rc, groups, cur_group, next_blk, 1, scn_) : in.writer.attach(rc, groups)) return -1;
    sql += thread_sql(i);
  }
  writer_ = &insts_[0]->writer;
  // Databases made before threads were shown get the view filled here.
  return exec(sql.c_str());
}

// The row of v$thread of instance i.
std::string ks_sim_db::thread_sql(size_t i) {
  const ks_inst_t &in = *insts_[i];
  const auto &gs = in.writer.groups();
  const ks_log_group_t *g = nullptr;
  for (const auto &o : gs)
    if (g == nullptr || o.seq > g->seq) g = &o;
  const bool cur = in.writer.current() >= 0;
  return fmt("INSERT OR REPLACE INTO \"V$THREAD\" VALUES (%u, '%s', 'PUBLIC', %zu, %s, %d, %u, %" PRIu64 ");\n",
             in.thread, in.open ? "OPEN" : "CLOSED", gs.size(), ks_sql_quote(in.name).c_str(), cur && g ? g->group : 0,
             g ? g->seq : 0,
             g == nullptr ? 0
             : cur        ? g->first_scn
                          : g->next_scn);
}

// The pieces of t's rows stored as several, as the last run left them: their later changes
// log the same records as they would have in that run.
int ks_sim_db::load_pieces(ks_table_t *t) {
  Stmt s(db_, fmt("SELECT \"HEAD\", \"PIECE#\", \"DBA\", \"SLOT\", \"FIRST\", \"NCOL\", \"SKIP\", \"CUT\", "
                  "\"ROOM\" FROM \"KS$PIECES\" WHERE \"OBJ#\" = %u ORDER BY \"HEAD\", \"PIECE#\"",
                  t->objn));
  if (!s) return -1;
  auto damaged = [&](uint64_t head) {
    // The row named by its file, block and slot.
    KS_ERROR("piece layout of row %u.%u.%u of %s in \"%s\" is damaged.", uint32_t(head >> 38),
             uint32_t(head >> 16) & 0x3FFFFF, uint32_t(head & 0xFFFF), t->sql_name().c_str(), db_path().c_str());
    return -1;
  };
  std::unordered_map<uint64_t, uint32_t> at;  // row id of the head -> row index
  while (s.row()) {
    if (at.empty())
      for (uint32_t ri = 0; ri < t->rows.size(); ri++) at[uint64_t(t->rows[ri].dba) << 16 | t->rows[ri].slot] = ri;
    const uint64_t head = uint64_t(s.i(0));
    auto r = at.find(head);
    ks_row_t *row = r == at.end() ? nullptr : &t->rows[r->second];
    // Pieces numbered from 0, the first at the row's own place.
    if (row == nullptr || s.i(1) != int64_t(row->pieces.size()) ||
        (row->pieces.empty() && (uint32_t(s.i(2)) != row->dba || uint16_t(s.i(3)) != row->slot)))
      return damaged(head);
    row->pieces.push_back({uint32_t(s.i(2)), uint16_t(s.i(3)), uint16_t(s.i(4)), uint16_t(s.i(5)), uint16_t(s.i(6)),
                           uint16_t(s.i(7)), uint16_t(s.i(8))});
  }
  // A row stored as pieces has two at least.
  for (const ks_row_t &row : t->rows)
    if (row.pieces.size() == 1) return damaged(uint64_t(row.dba) << 16 | row.slot);
  return 0;
}

// A log switch is one change of the catalogue: the finished log, its archived copy, the
// new current log and the current SCN become visible together, in one transaction, when
// the new log starts. Readers (extract through liborasim) therefore never see a database
// without a current log, or a current SCN that no log covers.
int ks_sim_db::catalog_log_event(size_t i, const ks_log_event_t &e) {
  if (!db_) return 0;
  const ks_log_group_t &g = *e.grp;
  const uint32_t thread = insts_[i]->thread;
  std::string now = clock_text();
  if (e.kind == ks_log_event_t::kDone) {
    switch_sql_ += fmt("UPDATE \"V$LOG\" SET \"STATUS\" = 'ACTIVE', \"ARCHIVED\" = '%s', \"NEXT_CHANGE#\" = %" PRIu64
                       ", \"NEXT_TIME\" = '%s' WHERE \"GROUP#\" = %d;\n",
                       g.archived ? "YES" : "NO", g.next_scn, now.c_str(), g.group);
    if (!e.arch_path.empty())
      switch_sql_ +=
          fmt("INSERT INTO \"V$ARCHIVED_LOG\" (\"NAME\", \"DEST_ID\", \"THREAD#\", \"SEQUENCE#\", \"FIRST_CHANGE#\", "
              "\"FIRST_TIME\", \"NEXT_CHANGE#\", \"NEXT_TIME\", \"BLOCKS\", \"BLOCK_SIZE\", \"ARCHIVAL_THREAD#\", "
              "\"STANDBY_DEST\", \"ARCHIVED\", \"DELETED\", \"STATUS\", \"COMPLETION_TIME\") VALUES (%s, 1, %u, %u, "
              "%" PRIu64 ", NULL, %" PRIu64 ", '%s', %u, %u, %u, 'NO', 'YES', 'NO', 'A', '%s');\n",
              ks_sql_quote(e.arch_path).c_str(), thread, g.seq, g.first_scn, g.next_scn, now.c_str(), e.blocks,
              cfg_.redo.blk_sz, thread, now.c_str());
    if (asm_store_ && !e.arch_path.empty()) switch_sql_ += asm_alias_sql(e.arch_path) + asm_space_sql();
    return 0;
  }
  std::string sql = std::move(switch_sql_);
  switch_sql_.clear();
  sql +=
      fmt("UPDATE \"V$LOG\" SET \"SEQUENCE#\" = %u, \"STATUS\" = 'CURRENT', \"ARCHIVED\" = 'NO', "
          "\"FIRST_CHANGE#\" = %" PRIu64 ", \"FIRST_TIME\" = '%s', \"NEXT_CHANGE#\" = %" PRIu64
          ", \"NEXT_TIME\" = NULL WHERE \"GROUP#\" = %d;\n",
          g.seq, g.first_scn, now.c_str(), kMaxNextChange, g.group);
  const ks_redo_writer &w = insts_[i]->writer;
  for (const auto &o : w.groups()) {
    if (o.group == g.group || o.status == kLogUnused) continue;
    sql += fmt("UPDATE \"V$LOG\" SET \"STATUS\" = '%s' WHERE \"GROUP#\" = %d;\n",
               o.status == kLogActive ? "ACTIVE" : "INACTIVE", o.group);
  }
  // Every commit below the current SCN the switch shows must be in its thread's log: what
  // the other instances' log writers hold is written first.
  for (size_t j = 0; j < insts_.size(); j++) {
    ks_inst_t &o = *insts_[j];
    if (j == i || o.writer.idle()) continue;
    if (o.writer.flush() != 0) return -1;
    o.held_commit = 0;
    if (j == cur_inst_)
      write_start_ = true;
    else
      o.write_start = true;
  }
  sql += thread_sql(i);
  sql +=
      fmt("UPDATE \"V$DATABASE\" SET \"CURRENT_SCN\" = %" PRIu64
          ";\n"
          "INSERT OR REPLACE INTO \"KS$STATE\" VALUES ('%s', '%d');\n"
          "INSERT OR REPLACE INTO \"KS$STATE\" VALUES ('%s', '2');\n",
          safe_scn(), state_key("cur_group", i).c_str(), int(&g - w.groups().data()), state_key("next_blk", i).c_str());
  // A savepoint nests in the transaction that creates the database and is a transaction
  // of its own otherwise.
  if (exec(("SAVEPOINT ks_log_switch;\n" + sql + "RELEASE ks_log_switch;").c_str()) != 0) {
    exec("ROLLBACK TO ks_log_switch; RELEASE ks_log_switch;");
    return -1;
  }
  return 0;
}

int ks_sim_db::asm_setup(bool create) {
  char *abs = realpath(cfg_.dir.c_str(), nullptr);
  if (!abs) {
    KS_ERROR("realpath \"%s\": %s", cfg_.dir.c_str(), strerror(errno));
    return -1;
  }
  ks_asm_cfg_t g = cfg_.asm_grp;
  g.dir = std::string(abs) + "/asm";
  free(abs);
  for (std::string *n : {&g.name, &cfg_.asm_arch})
    for (char &c : *n) c = char(toupper(uint8_t(c)));
  cfg_.asm_grp.name = g.name;
  g.number = 1;
  asm_logs_ = std::make_unique<ks_asm_group>();
  asm_logs_->set_sync(cfg_.redo.sync);
  if (create ? asm_logs_->create(g) : asm_logs_->open(g)) return -1;
  if (!cfg_.asm_arch.empty() && cfg_.asm_arch != g.name) {
    g.name = cfg_.asm_arch;
    g.number = 2;
    asm_arch_ = std::make_unique<ks_asm_group>();
    asm_arch_->set_sync(cfg_.redo.sync);
    if (create ? asm_arch_->create(g) : asm_arch_->open(g)) return -1;
  }
  ks_asm_group *arch = asm_arch_ ? asm_arch_.get() : asm_logs_.get();
  asm_store_ = std::make_unique<ks_asm_log_store>(asm_logs_.get(), arch, cfg_.name, cfg_.asm_fine, cfg_.redo.blk_sz);
  cfg_.redo.store = asm_store_.get();
  if (create) return 0;
  // Online log members are aliases the catalogue resolves.
  std::set<std::pair<int, uint32_t>> named;
  std::map<std::string, uint32_t> online;
  {
    Stmt s(db_,
           "SELECT \"NAME\", \"GROUP_NUMBER\", \"FILE_NUMBER\" FROM \"V$ASM_ALIAS\" WHERE \"ALIAS_DIRECTORY\" = 'N'");
    if (!s) return -1;
    while (s.row()) {
      named.insert({int(s.i(1)), uint32_t(s.i(2))});
      if (s.i(1) == 1) online[s.t(0)] = uint32_t(s.i(2));
    }
  }
  {
    Stmt s(db_, "SELECT \"MEMBER\" FROM \"V$LOGFILE\"");
    if (!s) return -1;
    while (s.row()) {
      const std::string m = s.t(0);
      if (auto it = online.find(m.substr(m.rfind('/') + 1)); it != online.end()) asm_store_->set_alias(m, it->second);
    }
  }
  // An archive whose run ended between its directory entry and the catalogue row that names
  // it is no log of the database: its space is given back.
  std::vector<uint32_t> orphans;
  for (const auto &[n, f] : arch->files())
    if (f.type == KS_ASM_FTYPE_ARCHIVELOG && !named.count({arch->cfg().number, n})) orphans.push_back(n);
  for (uint32_t n : orphans) {
    KS_WARN("archived log file %u of disk group %s is not in the catalogue: removed.", n, arch->cfg().name.c_str());
    if (arch->remove(n) != 0) return -1;
  }
  return 0;
}

// A row of V$ASM_ALIAS for a log or archive name.
std::string ks_sim_db::asm_alias_sql(const std::string &name) {
  ks_asm_group *g;
  uint32_t file, inc;
  if (asm_store_->resolve(name, &g, &file, &inc) != 0) return "";
  const bool sys =
      name.find(".", name.rfind('/')) != std::string::npos && name.find("/ONLINELOG/") == std::string::npos;
  return fmt("INSERT INTO \"V$ASM_ALIAS\" VALUES (%s, %d, %u, %u, 'N', '%s');\n",
             ks_sql_quote(name.substr(name.rfind('/') + 1)).c_str(), g->cfg().number, file, inc, sys ? "Y" : "N");
}

// The disk groups and disks with their free space now.
std::string ks_sim_db::asm_space_sql() {
  static const char *types[] = {"", "EXTERN", "NORMAL", "HIGH"};
  std::string sql;
  for (const ks_asm_group *g : {asm_logs_.get(), asm_arch_.get()}) {
    if (!g) continue;
    const ks_asm_cfg_t &c = g->cfg();
    const uint64_t mb = c.au >> 10;  // KiB of an AU
    sql += fmt("INSERT OR REPLACE INTO \"V$ASM_DISKGROUP\" VALUES (%d, %s, 512, 4096, %u, 'CONNECTED', '%s', %" PRIu64
               ", %" PRIu64 ");\n",
               c.number, ks_sql_quote(c.name).c_str(), c.au, types[c.copies], g->disk_aus() * c.disks * mb >> 10,
               g->free_aus() * mb >> 10);
    for (int d = 0; d < c.disks; d++)
      sql +=
          fmt("INSERT OR REPLACE INTO \"V$ASM_DISK\" VALUES (%d, %d, '%s_%04d', %s, 'NORMAL', 'CACHED', "
              "'MEMBER', %" PRIu64 ", %" PRIu64 ");\n",
              c.number, d, c.name.c_str(), d, ks_sql_quote(g->disk_path(d)).c_str(), g->disk_aus() * mb >> 10,
              g->free_aus(d) * mb >> 10);
  }
  return sql;
}

int ks_sim_db::save() {
  // A log finished by a switch that then failed to start the next one is still recorded.
  std::string sql = std::move(switch_sql_);
  switch_sql_.clear();
  auto put = [&](const std::string &k, const std::string &v) {
    sql +=
        fmt("INSERT OR REPLACE INTO \"KS$STATE\" VALUES (%s, %s);\n", ks_sql_quote(k).c_str(), ks_sql_quote(v).c_str());
  };
  put("scn", std::to_string(scn_));
  put("clock", fmt("%.6f", clock_));
  put("next_objn", std::to_string(next_objn_));
  put("next_user", std::to_string(next_user_));
  put("next_con", std::to_string(next_con_));
  for (size_t i = 0; i < insts_.size(); i++) {
    put(state_key("cur_group", i), std::to_string(insts_[i]->writer.current()));
    put(state_key("next_blk", i), std::to_string(insts_[i]->writer.next_block()));
  }
  sql += fmt("UPDATE \"V$DATABASE\" SET \"CURRENT_SCN\" = %" PRIu64 ";\n", safe_scn());
  sql += "DELETE FROM \"KS$UNDO\";\n";
  if (exec(sql.c_str()) != 0) return -1;
  {
    Stmt s(db_, "INSERT INTO \"KS$UNDO\" VALUES (?, ?, ?)");
    if (!s) return -1;
    for (uint32_t u = 0; u < wrap_.size() / kUndoSlots; u++)
      for (uint32_t sl = 0; sl < kUndoSlots; sl++) {
        sqlite3_bind_int(s.s, 1, int(u + 1));
        sqlite3_bind_int(s.s, 2, int(sl));
        sqlite3_bind_int64(s.s, 3, wrap_[u * kUndoSlots + sl]);
        sqlite3_step(s.s);
        sqlite3_reset(s.s);
      }
  }
  for (auto &q : seqs_)
    if (exec(fmt("UPDATE \"SYS.SEQ$\" SET \"HIGHWATER\" = %lld WHERE \"OBJ#\" = %u", (long long)q->highwater, q->objn)
                 .c_str()) != 0)
      return -1;
  for (auto &t : tables_) {
    if (exec(fmt("UPDATE \"KS$SEGMENTS\" SET \"CUR_BLOCK\" = %u, \"NEXT_SLOT\" = %u WHERE \"OBJ#\" = %u", t->cur_block,
                 t->next_slot, t->objn)
                 .c_str()) != 0)
      return -1;
    if (!t->dirty) continue;
    if (exec(("DELETE FROM " + t->sql_name()).c_str()) != 0 ||
        exec(fmt("DELETE FROM \"KS$PIECES\" WHERE \"OBJ#\" = %u", t->objn).c_str()) != 0)
      return -1;
    std::string ins = "INSERT INTO " + t->sql_name() + " (rowid";
    for (auto &c : t->cols) ins += ", \"" + c.name + "\"";
    ins += ") VALUES (?";
    for (size_t i = 0; i < t->cols.size(); i++) ins += ", ?";
    ins += ")";
    Stmt s(db_, ins);
    if (!s) return -1;
    for (uint32_t ri : t->live) {
      const ks_row_t &r = t->rows[ri];
      sqlite3_bind_int64(s.s, 1, int64_t(uint64_t(r.dba) << 16 | r.slot));
      for (size_t i = 0; i < t->cols.size(); i++) {
        int at = int(i) + 2;
        const ks_col_t &c = t->cols[i];
        const ks_val_t &v = i < r.v.size() ? r.v[i] : ks_val_t{};
        if (v.is_null) {
          sqlite3_bind_null(s.s, at);
          continue;
        }
        int64_t iv;
        std::string text;
        if (c.type == kTypeNumber && ks_num_to_int(v.b, &iv) == 0) {
          sqlite3_bind_int64(s.s, at, iv);
        } else if (c.type == kTypeRaw || c.type == kTypeLongRaw || c.type == kTypeBlob) {
          const std::string &raw = c.is_lob() ? v.lob : v.b;
          sqlite3_bind_blob(s.s, at, raw.data(), int(raw.size()), SQLITE_TRANSIENT);
        } else {
          if (value_to_text(c, v, &text) != 0) return -1;
          sqlite3_bind_text(s.s, at, text.data(), int(text.size()), SQLITE_TRANSIENT);
        }
      }
      if (sqlite3_step(s.s) != SQLITE_DONE) {
        KS_ERROR("save rows of %s: %s", t->sql_name().c_str(), sqlite3_errmsg(db_));
        return -1;
      }
      sqlite3_reset(s.s);
    }
    if (save_pieces(*t) != 0) return -1;
    t->dirty = false;
  }
  return 0;
}

int ks_sim_db::save_pieces(const ks_table_t &t) {
  Stmt s(db_, "INSERT INTO \"KS$PIECES\" VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!s) return -1;
  for (uint32_t ri : t.live) {
    const ks_row_t &r = t.rows[ri];
    for (size_t k = 0; k < r.pieces.size(); k++) {
      const ks_piece_t &p = r.pieces[k];
      const int64_t v[10] = {
          t.objn, int64_t(uint64_t(r.dba) << 16 | r.slot), int64_t(k), p.dba, p.slot, p.first, p.ncol, p.skip, p.cut,
          p.room};
      for (int i = 0; i < 10; i++) sqlite3_bind_int64(s.s, i + 1, v[i]);
      if (sqlite3_step(s.s) != SQLITE_DONE) {
        KS_ERROR("save piece layouts of %s: %s", t.sql_name().c_str(), sqlite3_errmsg(db_));
        return -1;
      }
      sqlite3_reset(s.s);
    }
  }
  return 0;
}

int ks_sim_db::close() {
  if (!open_) {
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = -1;
    return 0;
  }
  open_ = false;
  int rc = 0;
  // Open transactions end as a shutdown abort would leave them: rolled back.
  for (auto &t : txns_)
    if (t && !t->done && (set_instance(t->inst + 1) != 0 || rollback(t.get()) != 0)) rc = -1;
  for (auto &in : insts_)
    if (in->writer.close() != 0) rc = -1;
  if (exec("BEGIN") != 0 || save() != 0 || exec("COMMIT") != 0) {
    exec("ROLLBACK");
    rc = -1;
  }
  sqlite3_close(db_);
  db_ = nullptr;
  if (lock_fd_ >= 0) ::close(lock_fd_);  // the next run on the database may begin
  lock_fd_ = -1;
  return rc;
}

// One process at a time writes a database (its model lives in that process's memory while
// it runs): a second run, on any instance, waits for the first to close it.
int ks_sim_db::lock_db() {
  if (lock_fd_ >= 0) return 0;
  const std::string path = cfg_.dir + "/" + cfg_.name + ".lock";
  lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd_ < 0) {
    KS_ERROR("open \"%s\": %s", path.c_str(), strerror(errno));
    return -1;
  }
  int rc;
  while ((rc = flock(lock_fd_, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    KS_ERROR("lock \"%s\": %s", path.c_str(), strerror(errno));
    ::close(lock_fd_);
    lock_fd_ = -1;
    return -1;
  }
  return 0;
}

uint64_t ks_sim_db::safe_scn() {
  uint64_t s = scn_;
  for (auto &in : insts_) {
    if (in->writer.idle()) in->held_commit = 0;
    if (in->held_commit != 0) s = std::min(s, in->held_commit - 1);
  }
  return s;
}

// The current SCN readers see moves on as commits reach the logs (at most every 50 ms of
// wall-clock time), not only at switches: a reader idle at the end of a quiet
// thread learns from it how far that thread is known to be complete.
int ks_sim_db::publish_scn() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const double t = double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
  if (t - published_at_ < 0.05) return 0;
  published_at_ = t;
  return exec(fmt("UPDATE \"V$DATABASE\" SET \"CURRENT_SCN\" = %" PRIu64, safe_scn()).c_str());
}

bool ks_sim_db::no_instance(int k) const {
  if (k >= 1 && k <= instances()) return false;
  KS_ERROR("instance %d does not exist (the database has %d).", k, instances());
  return true;
}

int ks_sim_db::set_instance(int k) {
  if (no_instance(k)) return -1;
  ks_inst_t &in = *insts_[size_t(k - 1)];
  if (!in.open) {
    KS_ERROR("instance %s is shut down.", in.name.c_str());
    return -1;
  }
  insts_[cur_inst_]->write_start = write_start_;
  cur_inst_ = size_t(k - 1);
  writer_ = &in.writer;
  write_start_ = in.write_start;
  return 0;
}

int ks_sim_db::shutdown_instance(int k) {
  if (no_instance(k)) return -1;
  const size_t i = size_t(k - 1);
  ks_inst_t &in = *insts_[i];
  if (!in.open) {
    KS_ERROR("instance %s is shut down already.", in.name.c_str());
    return -1;
  }
  for (auto &t : txns_)
    if (t && !t->done && t->xid != 0 && t->inst == int(i)) {
      KS_ERROR("instance %s has transactions in progress.", in.name.c_str());
      return -1;
    }
  // The last log ends at an SCN of its own, as a switch's does, and the thread is closed
  // in the same catalogue change that shows that log finished.
  if (in.writer.shut(++scn_, now()) != 0) return -1;
  in.open = false;
  in.held_commit = 0;
  if (i == cur_inst_)
    write_start_ = true;
  else
    in.write_start = true;
  std::string sql = std::move(switch_sql_);
  switch_sql_.clear();
  sql += thread_sql(i);
  sql += fmt("INSERT OR REPLACE INTO \"KS$STATE\" VALUES ('%s', '-1');\n", state_key("cur_group", i).c_str());
  sql += fmt("UPDATE \"V$DATABASE\" SET \"CURRENT_SCN\" = %" PRIu64 ";\n", safe_scn());
  if (exec(("SAVEPOINT ks_shutdown;\n" + sql + "RELEASE ks_shutdown;").c_str()) != 0) {
    exec("ROLLBACK TO ks_shutdown; RELEASE ks_shutdown;");
    return -1;
  }
  return 0;
}

int ks_sim_db::startup_instance(int k) {
  if (no_instance(k)) return -1;
  ks_inst_t &in = *insts_[size_t(k - 1)];
  if (in.open) {
    KS_ERROR("instance %s is open already.", in.name.c_str());
    return -1;
  }
  in.open = true;  // the new log's catalogue change shows the thread open
  if (in.writer.start_next(++scn_, now()) != 0) {
    in.open = false;
    return -1;
  }
  return 0;
}

int ks_sim_db::value_from_text(const ks_col_t &c, const std::string &text, bool null, ks_val_t *out) const {
  *out = ks_val_t{};
  if (null) return 0;
  std::string b;
  switch (c.type) {
    case kTypeNumber:
      if (ks_num_from_text(text, &b) != 0) return -1;
      break;
    case kTypeDate:
    case kTypeTimestamp:
      if (ks_date_from_text(text, &b, c.type == kTypeTimestamp) != 0) return -1;
      break;
    case kTypeRaw:
    case kTypeLong:
    case kTypeLongRaw:
      b = text;
      break;
    case kTypeClob:
    case kTypeBlob:
      // An empty text is NULL here as for any character value; EMPTY_CLOB() is lob_value.
      if (text.empty()) return 0;
      return lob_value(c, text, out);
    case kTypeVarchar2:
    case kTypeChar:
      if (c.csform == 2) {
        if (ks_utf8_to_utf16be(text, &b) != 0) return -1;
      } else {
        b = text;
      }
      if (c.type == kTypeChar) {
        // CHAR is blank-padded to its length (in characters for national columns).
        size_t want = size_t(c.length);
        if (c.csform == 2) {
          while (b.size() < want) b += std::string("\0 ", 2);
        } else {
          while (b.size() < want) b += ' ';
        }
      }
      break;
    default:
      return -1;
  }
  if (b.empty() && c.type != kTypeNumber) return 0;  // Oracle: an empty string is NULL
  *out = ks_val_t::of(std::move(b));
  return 0;
}

int ks_sim_db::value_to_text(const ks_col_t &c, const ks_val_t &v, std::string *out) const {
  out->clear();
  if (v.is_null) return 0;
  switch (c.type) {
    case kTypeNumber:
      return ks_num_to_text(v.b, out);
    case kTypeDate:
    case kTypeTimestamp:
      return ks_date_to_text(v.b, out);
    case kTypeRaw:
    case kTypeLong:
    case kTypeLongRaw:
      *out = v.b;
      return 0;
    case kTypeClob:
    case kTypeBlob:
      *out = v.lob;
      return 0;
    case kTypeVarchar2:
    case kTypeChar:
      if (c.csform == 2) return ks_utf16be_to_utf8(v.b, out);
      *out = v.b;
      return 0;
  }
  return -1;
}

}  // namespace ks::sim
