// A private home with a stand-in target database file and the database layer pointed at
// liborasim; helpers to build column-wise bind arrays and to read the file directly.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "oci/oci.h"
#include "tests/testutil.h"

namespace ocitest {

inline void exec_sql(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char *err = nullptr;
  int rc = sqlite3_exec(db, ("BEGIN;" + sql + ";COMMIT;").c_str(), nullptr, nullptr, &err);
  EXPECT_EQ(rc, SQLITE_OK) << (err != nullptr ? err : "") << "\n" << sql;
  sqlite3_free(err);
  sqlite3_close(db);
}

// The first column of every row, as text ("NULL" for NULL), joined by '|'.
inline std::string query(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return "OPEN FAILED";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    out = std::string("PREPARE FAILED: ") + sqlite3_errmsg(db);
  } else {
    bool first = true;
    while (sqlite3_step(st) == SQLITE_ROW) {
      if (!first) out += "|";
      first = false;
      const unsigned char *t = sqlite3_column_text(st, 0);
      out += t != nullptr ? reinterpret_cast<const char *>(t) : "NULL";
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// One bind column of n rows with slots of vsz bytes.
struct Col {
  std::vector<uint8_t> val;
  std::vector<int16_t> ind;
  std::vector<uint16_t> alen, rcode;
  uint32_t vsz;
  Col(int n, uint32_t slot) : val(static_cast<size_t>(n) * slot), ind(n), alen(n), rcode(n), vsz(slot) {}
  void set(int r, const void *p, size_t len) {
    memcpy(&val[static_cast<size_t>(r) * vsz], p, len);
    alen[r] = static_cast<uint16_t>(len);
    ind[r] = 0;
  }
  void set_str(int r, const std::string &s) { set(r, s.data(), s.size()); }
  void set_null(int r) {
    ind[r] = -1;
    alen[r] = 0;
  }
  ks_oci_bnd_t bnd(uint32_t type, uint32_t flag = KS_OCI_BND_EXTTYPE) {
    ks_oci_bnd_t b{};
    b.flag = flag;
    b.ctype = type;
    b.vsz = vsz;
    b.indp = ind.data();
    b.alenp = alen.data();
    b.rcodep = rcode.data();
    b.valp = val.data();
    return b;
  }
};

class OciTest : public ::testing::Test {
 protected:
  kstest::TempHome home;
  std::string dbpath;
  ks_oci_ses_t c{};
  ks_oci_stmt_t st{};

  void SetUp() override {
    setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
    unsetenv("ORASIM_FAULTS");
    unsetenv("ORASIM_HOME");
    mkdir(home.file("sim").c_str(), 0755);
    dbpath = home.file("sim/TGT.db");
    exec_sql(dbpath,
             "create table \"APP.T\" (ID INTEGER PRIMARY KEY, NAME TEXT, AMOUNT NUMERIC, D TEXT);"
             "create table \"APP.U\" (K INTEGER, V TEXT);");
  }

  void TearDown() override {
    if (st.stmtp != nullptr) ks_oci_close_statement(&c, &st);
    ks_oci_disconnect(&c);
  }

  int connect(const std::string &tns = "") {
    return ks_oci_connect(&c, "app", "secret", (tns.empty() ? "sim:" + dbpath : tns).c_str(), 1);
  }

  // Prepare sql on st (allocating it); gtest failure on error.
  void prepare(const std::string &sql) {
    ASSERT_EQ(ks_oci_get_statement(&c, &st), 0) << ks_oci_get_message();
    ASSERT_EQ(ks_oci_prepare_statement(&c, &st, sql.c_str()), 0) << ks_oci_get_message();
  }

  std::string db(const std::string &sql) { return query(dbpath, sql); }
};

}  // namespace ocitest
