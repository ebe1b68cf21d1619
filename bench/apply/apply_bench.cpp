// Replays N single-row insert LCRs in transactions of 100 from a trail file into the
// stand-in target and compares the rate with inserting the same rows directly through
// SQLite prepared statements in transactions of 100. Prints rows per second and the
// ratio. Replay commits once per 2 MiB read buffer, not once per source transaction,
// so a second baseline commits direct inserts as often as the replay did. A commit of
// the direct baseline in transactions of 100 waits for the disk, so that baseline is
// timed on at most direct_rows rows. Usage: bench_apply [rows [direct_rows]]
// (defaults 1000000 and 20000).
// bench_apply --lob [MiB [KiB]] measures LOB delivery instead: rows of one BLOB of KiB
// each (default 64), MiB of LOB bytes in all (default 32), every row an insert with an
// empty BLOB, a LOB select and 4 KiB LOB writes, the last one closing it, against
// inserting the same bytes as SQLite blobs directly with as many commits. Prints MB/s.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "apply/apply_db.h"
#include "lib/log/log.h"
#include "lib/ora/ora_number.h"
#include "lib/util.h"
#include "tests/apply/trail_build.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::string num(long v) {
  uint8_t b[KS_ORA_NUMBER_MAX];
  int n = ks_ora_number_from_int64(v, b);
  return std::string(reinterpret_cast<char *>(b), static_cast<size_t>(n));
}

int run_sql(const char *sql) {
  ks_oci_stmt_t st{};
  if (ks_oci_get_statement(x_ado.se, &st) != 0 || ks_oci_prepare_statement(x_ado.se, &st, sql) != 0 ||
      ks_oci_execute(x_ado.se, &st, 1, 0) < 0)
    return -1;
  return ks_oci_close_statement(x_ado.se, &st);
}

// Seconds to insert rows rows through SQLite committing every per_commit rows; bind
// sets row i's values on the prepared insert.
template <typename Bind>
double direct_sqlite(const std::string &path, const char *create, const char *insert, long rows, long per_commit,
                     Bind bind) {
  sqlite3 *db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, create, nullptr, nullptr, nullptr);
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db, insert, -1, &st, nullptr);
  double t0 = now();
  for (long i = 0; i < rows; i++) {
    if (i % per_commit == 0) sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
    bind(st, i);
    sqlite3_step(st);
    sqlite3_reset(st);
    if (i % per_commit == per_commit - 1 || i == rows - 1) sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
  }
  double t = now() - t0;
  sqlite3_finalize(st);
  sqlite3_close(db);
  return t;
}

double direct_rows_sqlite(const std::string &path, long rows, long per_commit) {
  return direct_sqlite(path, "create table T (ID INTEGER PRIMARY KEY, NAME TEXT, AMOUNT NUMERIC)",
                       "insert into T values (?1, ?2, ?3)", rows, per_commit, [](sqlite3_stmt *st, long i) {
                         std::string name = "name-" + std::to_string(i);
                         sqlite3_bind_int64(st, 1, i);
                         sqlite3_bind_text(st, 2, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
                         sqlite3_bind_int64(st, 3, i % 1000);
                       });
}

double direct_blobs(const std::string &path, long rows, long len, long per_commit) {
  std::string data(static_cast<size_t>(len), 'x');
  return direct_sqlite(path, "create table D (ID INTEGER PRIMARY KEY, B BLOB)", "insert into D values (?1, ?2)", rows,
                       per_commit, [&](sqlite3_stmt *st, long i) {
                         sqlite3_bind_int64(st, 1, i);
                         sqlite3_bind_blob(st, 2, data.data(), static_cast<int>(len), SQLITE_STATIC);
                       });
}

// The trail of a LOB-heavy load: one transaction per row.
std::string lob_trail(long rows, long len, uint64_t first_scn, uint64_t *last_scn) {
  std::string body;
  uint64_t scn = first_scn;
  const std::string piece(4096, 'x');
  for (long i = 0; i < rows; i++, scn++) {
    tb::Col id{"ID", 2, 22, num(i)};
    std::vector<std::string> recs = {tb::lcr(1, "KS", "D", {id, {"B", 113, 4000, std::string(), 0x100}}),
                                     tb::lcr(15, "KS", "D", {{"B", 113, 4000, std::nullopt}}, {id}, 0x4)};
    for (long off = 0; off < len; off += 4096) {
      long n = std::min<long>(4096, len - off);
      recs.push_back(tb::raw_lcr(12, "KS", "D",
                                 tb::amount_offset(static_cast<uint32_t>(n), static_cast<uint64_t>(off) + 1,
                                                   piece.substr(0, static_cast<size_t>(n))),
                                 off + n >= len ? 0x8 : 0));
    }
    body += tb::trans(recs, scn, scn);
  }
  *last_scn = scn - 1;
  return body;
}

}  // namespace

int main(int argc, char **argv) {
  bool lob = argc > 1 && std::string(argv[1]) == "--lob";
  if (lob) {
    argv++;
    argc--;
  }
  long rows = argc > 1 ? std::atol(argv[1]) : lob ? 32 : 1000000;       // lob: MiB
  long direct_rows = argc > 2 ? std::atol(argv[2]) : lob ? 64 : 20000;  // lob: KiB per BLOB
  long lob_len = direct_rows * 1024;
  if (lob) rows = std::max(1L, rows * 1024 / std::max(1L, direct_rows));
  // Each LOB is one transaction written in the trail whole; from 1 MiB on, the capture
  // process writes a transaction to a file of its own, which this benchmark does not build.
  if (lob && (direct_rows < 1 || direct_rows > 960)) {
    std::fprintf(stderr, "LOBs of 1 to 960 KiB only: larger ones travel in transactions by reference\n");
    return 1;
  }
  if (direct_rows > rows && !lob) direct_rows = rows;
  std::string lib = std::string(KS_LIB_DIR) + "/liborasim.so";
  if (access(lib.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "stand-in OCI library %s not built\n", lib.c_str());
    return 1;
  }
  char tmpl[] = "/tmp/ksbench.XXXXXX";
  std::string home = std::string(mkdtemp(tmpl)) + "/";
  for (const char *d : {"log", "data", "data/U1", "error", "error/U1", "config"}) mkdir((home + d).c_str(), 0755);
  setenv("KESTRO_HOME", home.c_str(), 1);
  setenv("KESTRO_OCI_LIB", lib.c_str(), 1);
  std::snprintf(unit_name, 32, "U1");
  std::snprintf(com_name, 32, "AP");
  std::snprintf(prev_name, 32, "EX");
  std::FILE *lc = std::fopen((home + "config/log.conf").c_str(), "w");
  std::fputs("logger.level=info\n", lc);
  std::fclose(lc);
  ks_log_init("AP", 0);

  // The trail: transactions of 100 single-row inserts.
  std::string body;
  body.reserve(static_cast<size_t>(rows) * 140);
  uint64_t first_scn = 1000, scn = first_scn;
  if (lob) {
    body = lob_trail(rows, lob_len, first_scn, &scn);
    scn++;
  }
  for (long i = 0; i < rows && !lob; i += 100, scn++) {
    std::vector<std::string> recs;
    for (long k = i; k < i + 100 && k < rows; k++)
      recs.push_back(tb::lcr(
          1, "KS", "T",
          {{"ID", 2, 22, num(k)}, {"NAME", 1, 30, "name-" + std::to_string(k)}, {"AMOUNT", 2, 22, num(k % 1000)}}));
    body += tb::trans(recs, scn, scn);
  }
  std::string file =
      tb::file_header(0, first_scn, first_scn, scn - 1, scn - 1, 64 + static_cast<uint32_t>(body.size())) + body +
      tb::eof_marker();
  std::FILE *tf = std::fopen((home + "data/U1/EX_0.dat").c_str(), "wb");
  std::fwrite(file.data(), 1, file.size(), tf);
  std::fclose(tf);
  std::string().swap(body);
  std::string().swap(file);

  std::string target = home + "target.db";
  std::fclose(std::fopen(target.c_str(), "w"));
  std::vector<uint8_t> block(KS_AP_WORK_SIZE);
  ks_ap_cut_buffer(&x_buf, block.data());
  x_app = {&x_buf, &x_rdr[0], &x_ado, &x_array};
  x_ado.se = &x_ado.sess;
  x_csid = 873;
  x_ncsid = 2000;
  x_lob_csid = 873;
  std::string cs = "sim:" + target;
  uint32_t fno;
  uint64_t cscn, cxid;
  if (ks_oci_connect(x_ado.se, "KS", "pw", cs.c_str(), 1) != 0 ||
      run_sql(lob ? "create table KS.D (ID number primary key, B blob)"
                  : "create table KS.T (ID number primary key, NAME varchar2(30), AMOUNT number)") != 0 ||
      ks_oci_lob_new_empty(x_ado.se, &x_empty_locp) != 0 || ks_get_checkpoint(&x_ado, 0, &fno, &cscn, &cxid) != 0 ||
      ks_oci_get_statement(x_ado.se, &x_ado.st_ap) != 0 || ks_prepare_checkpoint_stmt(&x_ado) != 0 ||
      ks_open_trail_file(&x_app, 0, 0, 0) != 0) {
    std::fprintf(stderr, "set-up failed: %s\n", ks_oci_get_message());
    return 1;
  }
  double t0 = now();
  long reads = 0;
  for (;;) {
    ssize_t n = ks_read_data(x_rdr[0].rfd, x_buf.rbuf, static_cast<size_t>(x_buf.rsz), x_rdr[0].ofs);
    if (n <= 0) break;
    reads++;
    if (ks_apply_buffer(&x_app, static_cast<int>(n)) < 0) {
      std::fprintf(stderr, "replay failed: %s\n", ks_log_get_message());
      return 1;
    }
    if (x_rdr[0].flag & 1) break;
  }
  double t_apply = now() - t0;
  ks_disconnect_db(&x_ado);
  if (lob) {
    if (x_err_count > 0) {
      std::fprintf(stderr, "replay refused %u LOB changes\n", x_err_count);
      return 1;
    }
    long per_commit = reads > 0 ? (rows + reads - 1) / reads : rows;
    double t_blobs = direct_blobs(home + "direct.db", rows, lob_len, per_commit);
    double mb = static_cast<double>(rows) * static_cast<double>(lob_len) / 1e6;
    std::printf("%-58s %12s %10s %8s\n", "LOB bytes delivered, rows of one BLOB", "MB/s", "seconds", "rows");
    std::printf("%-58s %12.1f %10.2f %8ld\n", "LOB writes replayed into the stand-in target", mb / t_apply, t_apply,
                rows);
    std::printf("%-58s %12.1f %10.2f %8ld\n", "direct SQLite blob inserts, same number of commits", mb / t_blobs,
                t_blobs, rows);
    std::printf("%-58s %12.2f\n", "ratio LOB replay / direct blobs", t_blobs / t_apply);
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
  }

  double t_direct = direct_rows_sqlite(home + "direct.db", direct_rows, 100);
  long per_commit = reads > 0 ? (rows + reads - 1) / reads : rows;
  double t_same = direct_rows_sqlite(home + "direct2.db", rows, per_commit);
  double r_apply = static_cast<double>(rows) / t_apply;
  double r_direct = static_cast<double>(direct_rows) / t_direct, r_same = static_cast<double>(rows) / t_same;
  std::printf("%-58s %12s %10s %8s\n", "single-row insert LCRs, source transactions of 100", "rows/s", "seconds",
              "rows");
  std::printf("%-58s %12.0f %10.2f %8ld\n", "trail replay into the stand-in target", r_apply, t_apply, rows);
  std::printf("%-58s %12.0f %10.2f %8ld\n", "direct SQLite inserts, commit every 100 rows", r_direct, t_direct,
              direct_rows);
  std::printf("%-58s %12.0f %10.2f %8ld\n", "direct SQLite inserts, commit as often as the replay", r_same, t_same,
              rows);
  std::printf("%-58s %12.2f\n", "ratio replay / direct (commit every 100 rows)", r_apply / r_direct);
  std::printf("%-58s %12.2f\n", "ratio replay / direct (same number of commits)", r_apply / r_same);
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return 0;
}
