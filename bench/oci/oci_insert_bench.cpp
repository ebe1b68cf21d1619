// Array insert through the database layer and liborasim against the same rows inserted
// with SQLite's own prepared statement in one transaction. Five columns: an integer
// NUMBER, a VARCHAR2, a decimal NUMBER, a DATE and a second VARCHAR2; the layer binds
// them in Oracle's internal forms, the direct path binds the SQLite values they become.
// Usage: bench_oci_insert [rows] [array]   (defaults 1000000 and 1000)
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/ora/ora_date.h"
#include "lib/ora/ora_number.h"
#include "oci/oci.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

const char *kCreate = "create table \"BENCH.T\" (ID, NAME TEXT, AMOUNT, D TEXT, NOTE TEXT)";

bool make_db(const std::string &path) {
  unlink(path.c_str());
  sqlite3 *db = nullptr;
  bool ok =
      sqlite3_open(path.c_str(), &db) == SQLITE_OK && sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

struct Row {
  int64_t id;
  std::string name, note, date;
  double amount;
  uint8_t id_num[22], amount_num[22], date_raw[7];
  int id_len, amount_len;
};

}  // namespace

int main(int argc, char **argv) {
  long rows = argc > 1 ? atol(argv[1]) : 1000000;
  int arr = argc > 2 ? atoi(argv[2]) : 1000;
  if (rows <= 0 || arr <= 0) {
    fprintf(stderr, "usage: %s [rows] [array]\n", argv[0]);
    return 2;
  }
  if (getenv("KESTRO_OCI_LIB") == nullptr) setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
  char dir[] = "/tmp/ksbench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string direct = std::string(dir) + "/direct.db", layer = std::string(dir) + "/layer.db";
  if (!make_db(direct) || !make_db(layer)) return 1;

  // A distinct set of values per row, generated before any timing (1000 patterns).
  const int npat = 1000;
  std::vector<Row> pat(npat);
  for (int i = 0; i < npat; i++) {
    Row &r = pat[i];
    r.name = "customer " + std::to_string(i * 7919 % 100000);
    r.note = std::string(20 + i % 20, static_cast<char>('a' + i % 26));
    r.amount = (i * 37 % 100000) / 100.0 + 0.25;
    char t[32];
    snprintf(t, sizeof t, "%.2f", r.amount);
    r.amount_len = ks_ora_number_from_text(t, r.amount_num);
    snprintf(t, sizeof t, "2026-%02d-%02d %02d:%02d:%02d", 1 + i % 12, 1 + i % 28, i % 24, i % 60, (i * 7) % 60);
    r.date = t;
    ks_ora_date_from_text(t, r.date_raw, 7);
  }

  // Direct: one prepared statement, one transaction.
  double t0 = now();
  {
    sqlite3 *db = nullptr;
    sqlite3_open(direct.c_str(), &db);
    sqlite3_stmt *st = nullptr;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "insert into \"BENCH.T\" (ID, NAME, AMOUNT, D, NOTE) values (?1,?2,?3,?4,?5)", -1, &st,
                       nullptr);
    for (long i = 0; i < rows; i++) {
      const Row &r = pat[i % npat];
      sqlite3_bind_int64(st, 1, i + 1);
      sqlite3_bind_text(st, 2, r.name.data(), static_cast<int>(r.name.size()), SQLITE_STATIC);
      sqlite3_bind_double(st, 3, r.amount);
      sqlite3_bind_text(st, 4, r.date.data(), static_cast<int>(r.date.size()), SQLITE_STATIC);
      sqlite3_bind_text(st, 5, r.note.data(), static_cast<int>(r.note.size()), SQLITE_STATIC);
      if (sqlite3_step(st) != SQLITE_DONE) {
        fprintf(stderr, "direct insert failed: %s\n", sqlite3_errmsg(db));
        return 1;
      }
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  double t_direct = now() - t0;

  // Through the layer: column-wise arrays of `arr` rows, one execution per array.
  t0 = now();
  ks_oci_ses_t c{};
  if (ks_oci_connect(&c, "bench", "bench", ("sim:" + layer).c_str(), 1) != 0) {
    fprintf(stderr, "connect: %s\n", ks_oci_get_message());
    return 1;
  }
  ks_oci_stmt_t st{};
  ks_oci_get_statement(&c, &st);
  if (ks_oci_prepare_statement(&c, &st,
                               "insert into \"BENCH\".\"T\" (\"ID\",\"NAME\",\"AMOUNT\",\"D\",\"NOTE\") "
                               "values (:1,:2,:3,:4,:5)") != 0) {
    fprintf(stderr, "prepare: %s\n", ks_oci_get_message());
    return 1;
  }
  const uint32_t vsz[5] = {22, 40, 22, 7, 40};
  const uint32_t type[5] = {SQLT_NUM, SQLT_CHR, SQLT_NUM, SQLT_DAT, SQLT_CHR};
  std::vector<std::vector<uint8_t>> val(5);
  std::vector<std::vector<int16_t>> ind(5, std::vector<int16_t>(arr, 0));
  std::vector<std::vector<uint16_t>> alen(5, std::vector<uint16_t>(arr, 0)), rc(5, std::vector<uint16_t>(arr, 0));
  ks_oci_bnd_t bc[5] = {};
  for (int k = 0; k < 5; k++) {
    val[k].resize(static_cast<size_t>(arr) * vsz[k]);
    bc[k].flag = KS_OCI_BND_EXTTYPE;
    bc[k].ctype = type[k];
    bc[k].vsz = vsz[k];
    bc[k].indp = ind[k].data();
    bc[k].alenp = alen[k].data();
    bc[k].rcodep = rc[k].data();
    bc[k].valp = val[k].data();
  }
  if (ks_oci_auto_bind(&c, &st, bc, 5, arr) != 0) {
    fprintf(stderr, "bind: %s\n", ks_oci_get_message());
    return 1;
  }
  for (long done = 0; done < rows;) {
    int n = static_cast<int>(std::min<long>(arr, rows - done));
    for (int j = 0; j < n; j++) {
      const Row &r = pat[(done + j) % npat];
      uint8_t num[22];
      int len = ks_ora_number_from_int64(done + j + 1, num);
      memcpy(&val[0][j * 22], num, static_cast<size_t>(len));
      alen[0][j] = static_cast<uint16_t>(len);
      memcpy(&val[1][j * 40], r.name.data(), r.name.size());
      alen[1][j] = static_cast<uint16_t>(r.name.size());
      memcpy(&val[2][j * 22], r.amount_num, static_cast<size_t>(r.amount_len));
      alen[2][j] = static_cast<uint16_t>(r.amount_len);
      memcpy(&val[3][j * 7], r.date_raw, 7);
      alen[3][j] = 7;
      memcpy(&val[4][j * 40], r.note.data(), r.note.size());
      alen[4][j] = static_cast<uint16_t>(r.note.size());
    }
    if (ks_oci_execute(&c, &st, n, 0) != 0) {
      fprintf(stderr, "execute: %s\n", ks_oci_get_message());
      return 1;
    }
    done += n;
  }
  if (ks_oci_commit(&c, 0) != 0) {
    fprintf(stderr, "commit: %s\n", ks_oci_get_message());
    return 1;
  }
  ks_oci_close_statement(&c, &st);
  ks_oci_disconnect(&c);
  double t_layer = now() - t0;

  double r_direct = rows / t_direct, r_layer = rows / t_layer;
  printf("%-34s %10s %10s %14s\n", "path", "rows", "seconds", "rows/s");
  printf("%-34s %10ld %10.3f %14.0f\n", "SQLite prepared statement", rows, t_direct, r_direct);
  printf("%-34s %10ld %10.3f %14.0f\n", "layer + liborasim (arrays of N)", rows, t_layer, r_layer);
  printf("array size %d; layer / direct = %.2f\n", arr, r_layer / r_direct);
  unlink(direct.c_str());
  unlink(layer.c_str());
  rmdir(dir);
  return 0;
}
