// The database layer through liborasim: connections, array fetch and insert, batch
// errors, returned ROWIDs, result mapping, define-buffer layout, internal value forms,
// error texts, character sets and the refused LOB / piecewise calls.
#include <cmath>

#include "lib/ora/ora_date.h"
#include "lib/ora/ora_number.h"
#include "tests/oci/oci_fixture.h"

using namespace ocitest;

TEST(OciLoad, MissingClientLibraryIsAClearConnectError) {
  unsetenv("KESTRO_OCI_LIB");
  unsetenv("ORACLE_HOME");
  ks_oci_ses_t c{};
  EXPECT_EQ(ks_oci_connect(&c, "u", "p", "", 1), -1);
  EXPECT_EQ(ks_oci_get_error_code(), -1);
  std::string msg = ks_oci_get_message();
  EXPECT_NE(msg.find("libclntsh.so"), std::string::npos) << msg;
  EXPECT_NE(msg.find("libclntsh.so.19.1"), std::string::npos) << msg;
  EXPECT_NE(msg.find("KESTRO_OCI_LIB"), std::string::npos) << msg;
  EXPECT_EQ(ks_oci_disconnect(&c), 0);  // nothing was allocated

  setenv("KESTRO_OCI_LIB", "/nonexistent/libnothing.so", 1);
  EXPECT_EQ(ks_oci_connect(&c, "u", "p", "", 1), -1);
  EXPECT_NE(std::string(ks_oci_get_message()).find("/nonexistent/libnothing.so"), std::string::npos);
  // A library without the OCI functions is refused by name of the first missing one.
  setenv("KESTRO_OCI_LIB", "libsqlite3.so.0", 1);
  EXPECT_EQ(ks_oci_connect(&c, "u", "p", "", 1), -1);
  EXPECT_NE(std::string(ks_oci_get_message()).find("has no function OCIEnvCreate"), std::string::npos)
      << ks_oci_get_message();
  // And the layer recovers once a real one is named.
  setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
  kstest::TempHome home;
  mkdir(home.file("sim").c_str(), 0755);
  exec_sql(home.file("sim/X.db"), "create table A (B INTEGER)");
  EXPECT_EQ(ks_oci_connect(&c, "u", "p", ("sim:" + home.file("sim/X.db")).c_str(), 1), 0) << ks_oci_get_message();
  EXPECT_EQ(ks_oci_disconnect(&c), 0);
}

TEST_F(OciTest, ConnectStringsServicesAndMissingDatabases) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  EXPECT_EQ(ks_oci_disconnect(&c), 0);
  EXPECT_EQ(c.envhp, nullptr);
  EXPECT_EQ(c.errhp, nullptr);
  EXPECT_EQ(ks_oci_disconnect(&c), 0);  // a second disconnect is harmless

  // SERVICE_NAME=<name> opens <KESTRO_HOME>sim/<name>.db
  const char *desc =
      "(DESCRIPTION=(ADDRESS=(PROTOCOL=tcp)(HOST=10.0.0.1)(PORT=1521))(CONNECT_DATA=(SERVICE_NAME=TGT)))";
  ASSERT_EQ(connect(desc), 0) << ks_oci_get_message();
  ks_oci_disconnect(&c);

  EXPECT_EQ(connect("(DESCRIPTION=(CONNECT_DATA=(SERVICE_NAME=NOPE)))"), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 12514);
  EXPECT_EQ(std::string(ks_oci_get_message()).rfind("ORA-12514: ", 0), 0u) << ks_oci_get_message();
  EXPECT_FALSE(kstest::file_exists(home.file("sim/NOPE.db")));
  // A failed connect releases what it allocated: retries every few seconds leak nothing.
  EXPECT_EQ(c.envhp, nullptr);
  EXPECT_EQ(c.srvhp, nullptr);
  ks_oci_disconnect(&c);

  EXPECT_EQ(connect("sim:" + home.file("sim/missing.db")), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1034);
  EXPECT_FALSE(kstest::file_exists(home.file("sim/missing.db")));
  ks_oci_disconnect(&c);

  // ORASIM_HOME overrides the default folder.
  setenv("ORASIM_HOME", home.file("data").c_str(), 1);
  EXPECT_EQ(connect("TGT"), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 12514);
  ks_oci_disconnect(&c);
  unsetenv("ORASIM_HOME");

  EXPECT_EQ(ks_oci_connect(&c, "", "", ("sim:" + dbpath).c_str(), 1), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1017);
}

TEST_F(OciTest, ArrayInsertOfHundredRowsInOneExecutionThenArrayFetchAcrossCalls) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  prepare("insert into \"APP\".\"T\" (\"ID\",\"NAME\",\"AMOUNT\") values (:1,:2,:3)");
  const int n = 100;
  Col id(n, 22), name(n, 40), amount(n, 22);
  for (int r = 0; r < n; r++) {
    uint8_t num[KS_ORA_NUMBER_MAX] = {};
    id.set(r, num, static_cast<size_t>(ks_ora_number_from_int64(r + 1, num)));
    name.set_str(r, "name " + std::to_string(r + 1));
    amount.set(r, num, static_cast<size_t>(ks_ora_number_from_text((std::to_string(r) + ".25").c_str(), num)));
  }
  ks_oci_bnd_t bc[3] = {id.bnd(SQLT_NUM), name.bnd(SQLT_CHR), amount.bnd(SQLT_NUM)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 3, n), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_execute(&c, &st, n, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0) << ks_oci_get_message();
  EXPECT_EQ(db("select count(*) from \"APP.T\""), "100");
  EXPECT_EQ(db("select NAME from \"APP.T\" where ID=42"), "name 42");
  EXPECT_EQ(db("select typeof(AMOUNT) || ':' || AMOUNT from \"APP.T\" where ID=42"), "real:41.25");

  // 100 rows through a buffer that holds 30: fetches of 30, 30, 30 and a last one of 10.
  prepare("select id, name from app.t order by id");
  ks_oci_def_t df[2] = {};
  df[0].ctype = 17;  // signed integer
  df[0].vsz = 8;
  df[1].ctype = 0;  // VARCHAR2
  df[1].vsz = 16;
  std::vector<uint8_t> buf(2 * 32 + 30 * (8 + 6 + 16 + 6));
  ks_oci_ds_t ds{2, 0, static_cast<int>(buf.size()), buf.data(), df};
  ASSERT_EQ(ks_oci_auto_define(&c, &st, &ds), 0) << ks_oci_get_message();
  ASSERT_EQ(ds.nrows, 30);
  ASSERT_EQ(ks_oci_execute(&c, &st, 0, 0), 0) << ks_oci_get_message();
  std::vector<int> got;
  int rrows = 0, calls = 0, r;
  while ((r = ks_oci_fetch(&c, &st, ds.nrows, &rrows)) >= 0) {
    calls++;
    for (int k = 0; k < rrows; k++) {
      int64_t v;
      memcpy(&v, df[0].valp + k * 8, 8);
      got.push_back(static_cast<int>(v));
      EXPECT_EQ(std::string(reinterpret_cast<char *>(df[1].valp + k * 16), df[1].alenp[k]),
                "name " + std::to_string(v));
    }
    if (r == 1) break;
  }
  EXPECT_EQ(r, 1);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(rrows, 10);
  ASSERT_EQ(got.size(), 100u);
  for (int k = 0; k < 100; k++) EXPECT_EQ(got[k], k + 1);
}

TEST_F(OciTest, BatchWithDuplicateAtRowThreeStoresNineRowsAndReportsOffsetTwo) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  exec_sql(dbpath, "insert into \"APP.T\" (ID, NAME) values (3, 'already there')");
  prepare("insert into \"APP\".\"T\" (\"ID\",\"NAME\") values (:1,:2)");
  const int n = 10;
  Col id(n, 8), name(n, 10);
  for (int r = 0; r < n; r++) {
    int64_t v = r + 1;  // row index 2 holds ID 3, which exists
    id.set(r, &v, 8);
    name.set_str(r, "n" + std::to_string(r));
  }
  ks_oci_bnd_t bc[2] = {id.bnd(SQLT_INT), name.bnd(SQLT_CHR)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 2, n), 0);
  EXPECT_EQ(ks_oci_execute_batch(&c, &st, n, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 24381);
  int num = -1;
  ASSERT_EQ(ks_oci_get_batch_errors(&c, &st, &num), 0);
  ASSERT_EQ(num, 1);
  int off = -1;
  ASSERT_EQ(ks_oci_get_array_error(&c, 0, &off), 0) << ks_oci_get_message();
  EXPECT_EQ(off, 2);
  EXPECT_EQ(ks_oci_get_error_code(), 1);
  EXPECT_EQ(std::string(ks_oci_get_message()).rfind("ORA-00001: unique constraint (", 0), 0u) << ks_oci_get_message();
  EXPECT_EQ(ks_oci_get_array_error(&c, 1, &off), -1);  // no second error
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select count(*) from \"APP.T\""), "10");
  EXPECT_EQ(db("select NAME from \"APP.T\" where ID=3"), "already there");

  // Without batch mode the array stops at the failing row; the rows before it stay.
  exec_sql(dbpath, "delete from \"APP.T\"; insert into \"APP.T\" (ID) values (5)");
  prepare("insert into \"APP\".\"T\" (\"ID\",\"NAME\") values (:1,:2)");
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 2, n), 0);
  EXPECT_EQ(ks_oci_execute(&c, &st, n, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1);
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select count(*) from \"APP.T\""), "5");  // 1..4 and the old 5
}

TEST_F(OciTest, UpdateAndDeleteReturnRowidOnlyWhenARowMatched) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  exec_sql(dbpath,
           "insert into \"APP.U\" values (1,'a'); insert into \"APP.U\" values (1,'b'); "
           "insert into \"APP.U\" values (2,'c')");
  prepare("update \"APP\".\"U\" set \"V\"=:1 where 1=1 and \"K\"=:2 and rownum<2 returning rowid into :3");
  const int n = 3;
  Col v(n, 8), k(n, 8), rid(n, 24);
  int64_t keys[n] = {1, 9, 2};
  for (int r = 0; r < n; r++) {
    v.set_str(r, "new");
    k.set(r, &keys[r], 8);
    rid.ind[r] = 5;  // must be overwritten
  }
  ks_oci_bnd_t bc[3] = {v.bnd(SQLT_CHR), k.bnd(SQLT_INT), rid.bnd(16, 0)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 3, n), 0);
  ASSERT_EQ(ks_oci_execute_batch(&c, &st, n, 0), 0) << ks_oci_get_message();
  EXPECT_EQ(rid.ind[0], 0);
  EXPECT_EQ(rid.ind[1], -1);  // key 9 matched nothing
  EXPECT_EQ(rid.ind[2], 0);
  EXPECT_EQ(strlen(reinterpret_cast<char *>(&rid.val[0])), 18u);
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  // rownum<2 touched one of the two rows with key 1.
  EXPECT_EQ(db("select count(*) from \"APP.U\" where V='new'"), "2");
  EXPECT_EQ(db("select count(*) from \"APP.U\" where K=1 and V='new'"), "1");

  prepare("delete from \"APP\".\"U\" where 1=1 and \"K\"=:1 and \"V\" is null and rownum<2 returning rowid into :2");
  Col dk(1, 8), drid(1, 24);
  int64_t one = 1;
  dk.set(0, &one, 8);
  ks_oci_bnd_t dc[2] = {dk.bnd(SQLT_INT), drid.bnd(16, 0)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, dc, 2, 1), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  EXPECT_EQ(drid.ind[0], -1);
}

TEST_F(OciTest, StatusMappingOfCheckAndExecute) {
  EXPECT_EQ(ks_oci_check(nullptr, OCI_SUCCESS), 0);
  EXPECT_EQ(ks_oci_check(nullptr, OCI_NEED_DATA), 99);
  EXPECT_EQ(ks_oci_check(nullptr, OCI_NO_DATA), 100);
  struct {
    int status;
    const char *msg;
  } bad[] = {{OCI_STILL_EXECUTING, "Error - OCI_STILL_EXECUTING"},
             {OCI_INVALID_HANDLE, "Error - OCI_INVALID_HANDLE"},
             {OCI_CONTINUE, "Error - OCI_CONTINUE"},
             {42, "Error - Unknow OCI error"}};
  for (auto &b : bad) {
    EXPECT_EQ(ks_oci_check(nullptr, b.status), -1);
    EXPECT_EQ(ks_oci_get_error_code(), -1);
    EXPECT_STREQ(ks_oci_get_message(), b.msg);
  }

  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  exec_sql(dbpath, "insert into \"APP.T\" (ID, NAME) values (1, 'a rather long name')");
  // A value cut to its slot: success with a warning, reported as 3 with the text kept.
  prepare("select name from app.t");
  ks_oci_def_t df[1] = {};
  df[0].ctype = 0;
  df[0].vsz = 4;
  std::vector<uint8_t> buf(256);
  ks_oci_ds_t ds{1, 0, 256, buf.data(), df};
  ASSERT_EQ(ks_oci_auto_define(&c, &st, &ds), 0);
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), 3);
  EXPECT_EQ(ks_oci_get_error_code(), 1406);
  EXPECT_EQ(std::string(ks_oci_get_message()), "ORA-01406: fetched column value was truncated");
  EXPECT_EQ(df[0].indp[0], 18);  // the real length
  EXPECT_EQ(std::string(reinterpret_cast<char *>(df[0].valp), df[0].alenp[0]), "a ra");
  EXPECT_EQ(ks_oci_check(c.errhp, OCI_SUCCESS_WITH_INFO), 1);
  EXPECT_EQ(ks_oci_get_error_code(), 1406);

  // A query executed for one row that finds none: no data, 1.
  prepare("select name from app.t where id = 99");
  ASSERT_EQ(ks_oci_auto_define(&c, &st, &ds), 0);
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), 1);
  EXPECT_EQ(ks_oci_check(c.errhp, OCI_ERROR), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1403);

  // A failing execution: -1 with the Oracle error.
  prepare("select x from app.nothing");
  EXPECT_EQ(ks_oci_execute(&c, &st, 0, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 942);
  EXPECT_STREQ(ks_oci_get_message(), "ORA-00942: table or view does not exist");

  // Statement handles: a second get keeps the handle, a close of nothing succeeds.
  OCIStmt *h = st.stmtp;
  EXPECT_EQ(ks_oci_get_statement(&c, &st), 0);
  EXPECT_EQ(st.stmtp, h);
  EXPECT_EQ(ks_oci_close_statement(&c, &st), 0);
  EXPECT_EQ(st.stmtp, nullptr);
  EXPECT_EQ(ks_oci_close_statement(&c, &st), 0);
  // Fetching from a statement that was never executed is out of sequence.
  prepare("select id from app.t");
  int rr;
  EXPECT_EQ(ks_oci_fetch(&c, &st, 1, &rr), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1002);
}

TEST(OciDefineBuffer, ThreeColumnsIn256BytesGiveFourAlignedRows) {
  ks_oci_def_t df[3] = {};
  df[0].vsz = 4;
  df[1].vsz = 8;
  df[2].vsz = 8;
  alignas(8) uint8_t buf[256];
  ks_oci_ds_t ds{3, 0, 256, buf, df};
  ASSERT_EQ(ks_oci_prepare_buffer(&ds), 0);
  EXPECT_EQ(ds.nrows, 4);  // (256 - 96) / 38
  const uint8_t *prev_end = buf;
  for (auto &d : df) {
    const uint8_t *starts[] = {d.valp, reinterpret_cast<uint8_t *>(d.indp), reinterpret_cast<uint8_t *>(d.alenp),
                               reinterpret_cast<uint8_t *>(d.rcodep)};
    size_t sizes[] = {4u * d.vsz, 8, 8, 8};
    for (int k = 0; k < 4; k++) {
      EXPECT_EQ((starts[k] - buf) % 8, 0);
      EXPECT_GE(starts[k], prev_end);  // no overlap
      prev_end = starts[k] + sizes[k];
    }
  }
  EXPECT_LE(prev_end, buf + 256);

  // A piecewise column gets no value slot.
  df[2].flag = KS_OCI_DEF_PIECEWISE;
  ASSERT_EQ(ks_oci_prepare_buffer(&ds), 0);
  EXPECT_EQ(df[2].valp, nullptr);
  EXPECT_EQ(ds.nrows, (256 - 96) / 30);

  ks_oci_ds_t small{3, 0, 120, buf, df};  // 120 - 96 = 24 < one row
  df[2].flag = 0;
  EXPECT_EQ(ks_oci_prepare_buffer(&small), -1);
  EXPECT_EQ(small.nrows, 0);
}

TEST_F(OciTest, NumberDateAndTimestampInternalFormsRoundTrip) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  exec_sql(dbpath, "create table \"APP.V\" (N, D TEXT, TS TEXT)");
  const char *nums[] = {"0",
                        "-1",
                        "123456789012345",
                        "3.14159",
                        "12345678901234567890.123456789",
                        "-0.0001",
                        "9223372036854775807",
                        "1234567890.123456",
                        "-99999999999999.9",
                        "0.000000000000000000000001"};
  const char *dates[] = {"2026-12-08 02:22:48", "1999-01-01 00:00:00", "-0044-03-15 12:00:00", "2024-02-29 23:59:59",
                         "2000-06-30 08:00:00", "1970-01-01 00:00:01", "9999-12-31 23:59:59",  "2001-01-01 00:00:00",
                         "2002-01-01 00:00:00", "2003-01-01 00:00:00"};
  const char *stamps[] = {"2026-12-08 02:22:48.123456789", "2026-12-08 02:22:48",
                          "2000-01-01 00:00:00.000000001", "2024-02-29 23:59:59.5",
                          "1900-01-01 00:00:00",           "2026-12-08 02:22:48.1",
                          "2026-12-08 02:22:48.999999999", "2001-01-01 00:00:00",
                          "2002-01-01 00:00:00",           "2003-01-01 00:00:00"};
  const int n = 10;
  Col nc(n, 22), dc(n, 7), tc(n, 11);
  for (int r = 0; r < n; r++) {
    uint8_t b[22] = {};
    nc.set(r, b, static_cast<size_t>(ks_ora_number_from_text(nums[r], b)));
    ASSERT_EQ(ks_ora_date_from_text(dates[r], b, 7), 7);
    dc.set(r, b, 7);
    ASSERT_EQ(ks_ora_date_from_text(stamps[r], b, 11), 11);
    tc.set(r, b, 11);
  }
  nc.set_null(4);
  prepare("insert into \"APP\".\"V\" (\"N\",\"D\",\"TS\") values (:1,:2,:3)");
  ks_oci_bnd_t bc[3] = {nc.bnd(SQLT_NUM), dc.bnd(SQLT_DAT), tc.bnd(KS_SQLT_TIMESTAMP)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 3, n), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, n, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  // Stored as a person reads them.
  EXPECT_EQ(db("select typeof(N) || ':' || N from \"APP.V\" where rowid=1"), "integer:0");
  EXPECT_EQ(db("select typeof(N) || ':' || N from \"APP.V\" where rowid=3"), "integer:123456789012345");
  EXPECT_EQ(db("select typeof(N) || ':' || N from \"APP.V\" where rowid=4"), "real:3.14159");
  EXPECT_EQ(db("select typeof(N) from \"APP.V\" where rowid=5"), "null");
  EXPECT_EQ(db("select typeof(N) || ':' || N from \"APP.V\" where rowid=7"), "integer:9223372036854775807");
  // 16 significant digits do not fit a double exactly: kept as the exact decimal.
  EXPECT_EQ(db("select typeof(N) || ':' || N from \"APP.V\" where rowid=8"), "text:1234567890.123456");
  EXPECT_EQ(db("select typeof(N) || ':' || N from \"APP.V\" where rowid=9"), "real:-99999999999999.9");
  EXPECT_EQ(db("select D from \"APP.V\" where rowid=1"), "2026-12-08 02:22:48");
  EXPECT_EQ(db("select TS from \"APP.V\" where rowid=1"), "2026-12-08 02:22:48.123456789");
  EXPECT_EQ(db("select TS from \"APP.V\" where rowid=2"), "2026-12-08 02:22:48");

  prepare("select n, d, ts from app.v order by rowid");
  ks_oci_def_t df[3] = {};
  df[0].ctype = 1;
  df[0].vsz = 22;
  df[1].ctype = 3;
  df[1].vsz = 7;
  df[2].ctype = 4;
  df[2].vsz = 11;
  std::vector<uint8_t> buf(4096);
  ks_oci_ds_t ds{3, 0, 4096, buf.data(), df};
  ASSERT_EQ(ks_oci_auto_define(&c, &st, &ds), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 0, 0), 0);
  int rrows = 0;
  ASSERT_EQ(ks_oci_fetch(&c, &st, ds.nrows, &rrows), 1) << ks_oci_get_message();
  ASSERT_EQ(rrows, n);
  for (int r = 0; r < n; r++) {
    if (r == 4) {
      EXPECT_EQ(df[0].indp[r], -1);
    } else {
      ASSERT_EQ(df[0].indp[r], 0);
      EXPECT_EQ(df[0].alenp[r], nc.alen[r]) << nums[r];
      EXPECT_EQ(memcmp(df[0].valp + r * 22, &nc.val[r * 22], nc.alen[r]), 0) << nums[r];
    }
    EXPECT_EQ(memcmp(df[1].valp + r * 7, &dc.val[r * 7], 7), 0) << dates[r];
    EXPECT_EQ(memcmp(df[2].valp + r * 11, &tc.val[r * 11], 11), 0) << stamps[r];
  }
  // Corrupt NUMBER bytes are an invalid number, not a stored guess.
  prepare("insert into \"APP\".\"V\" (\"N\") values (:1)");
  Col bad(1, 22);
  const uint8_t junk[] = {0xC1, 0x00};
  bad.set(0, junk, 2);
  ks_oci_bnd_t bb[1] = {bad.bnd(SQLT_NUM)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bb, 1, 1), 0);
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1722);
}

TEST_F(OciTest, CharacterSetsNamesIdsAndConversion) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  struct {
    const char *name;
    int id;
  } known[] = {{"US7ASCII", 1},   {"WE8ISO8859P1", 31}, {"WE8MSWIN1252", 178}, {"UTF8", 871},
               {"AL32UTF8", 873}, {"AL16UTF16", 2000},  {"ZHS16GBK", 852}};
  for (auto &k : known) {
    EXPECT_EQ(ks_oci_charset_name2id(&c, k.name), k.id);
    char name[32];
    ASSERT_EQ(ks_oci_charset_id2name(&c, k.id, name, sizeof name), 0);
    EXPECT_STREQ(name, k.name);
  }
  EXPECT_EQ(ks_oci_charset_name2id(&c, "KLINGON"), -1);
  EXPECT_STREQ(ks_oci_get_message(), "OCINlsCharSetNameToId() - \"KLINGON\" is invalid.");
  char name[32];
  EXPECT_EQ(ks_oci_charset_id2name(&c, 4242, name, sizeof name), -1);

  char out[64];
  const char latin1[] = "caf\xE9";
  int n = ks_oci_charset_convert(&c, 31, 873, latin1, 4, out, sizeof out);
  ASSERT_EQ(n, 5);
  EXPECT_EQ(std::string(out, 5), "caf\xC3\xA9");
  const char euro1252[] = "\x80";
  n = ks_oci_charset_convert(&c, 178, 2000, euro1252, 1, out, sizeof out);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(std::string(out, 2), std::string("\x20\xAC", 2));
  const char gbk[] = "\xD6\xD0\xCE\xC4";  // two Chinese characters
  n = ks_oci_charset_convert(&c, 852, 873, gbk, 4, out, sizeof out);
  ASSERT_EQ(n, 6);
  char back[16];
  EXPECT_EQ(ks_oci_charset_convert(&c, 873, 852, out, n, back, sizeof back), 4);
  EXPECT_EQ(std::string(back, 4), std::string(gbk, 4));
  EXPECT_EQ(ks_oci_charset_convert(&c, 852, 873, gbk, 4, out, 3), -1);  // target too small
  EXPECT_EQ(ks_oci_charset_convert(&c, 873, 1, "\xC3\xA9", 2, out, sizeof out), 1);
  EXPECT_EQ(out[0], '?');  // not representable

  // Character data bound in the source's character set is stored as UTF-8 and comes
  // back in the client's.
  EXPECT_EQ(ks_oci_set_charset_id(&c, 178), 0);
  prepare("insert into \"APP\".\"U\" (\"K\",\"V\") values (:1,:2)");
  Col k(1, 8), v(1, 8);
  int64_t one = 1;
  k.set(0, &one, 8);
  v.set(0, "\x80 5", 3);
  ks_oci_bnd_t bc[2] = {k.bnd(SQLT_INT), v.bnd(SQLT_CHR, KS_OCI_BND_EXTTYPE | KS_OCI_BND_CHARSET)};
  bc[1].csid = 31;  // the bind's own set wins over the client's: 0x80 is a control in Latin-1
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 2, 1), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  bc[1].csid = 178;
  prepare("insert into \"APP\".\"U\" (\"K\",\"V\") values (:1,:2)");
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 2, 1), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select hex(V) from \"APP.U\" order by rowid"), "C2802035|E282AC2035");
  EXPECT_EQ(ks_oci_set_charset_id(&c, 9999), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 12715);
}

TEST_F(OciTest, SessionSettingsTransactionsAndLocatorsWithoutARow) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  char schema[32];
  ASSERT_EQ(ks_oci_get_current_schema(&c, schema), 0);
  EXPECT_STREQ(schema, "APP");
  exec_sql(dbpath, "create table \"OTHER.T\" (X INTEGER); insert into \"OTHER.T\" values (7)");
  ASSERT_EQ(ks_oci_set_current_schema(&c, "OTHER"), 0);
  ASSERT_EQ(ks_oci_get_current_schema(&c, schema), 0);
  EXPECT_STREQ(schema, "OTHER");
  EXPECT_EQ(ks_oci_set_timeout(&c, 10), 0);
  ub4 ms = 0;
  ASSERT_EQ(x_oci.OCIAttrGet(c.srvhp, OCI_HTYPE_SERVER, &ms, nullptr, OCI_ATTR_RECEIVE_TIMEOUT, c.errhp), 0);
  EXPECT_EQ(ms, 10000u);

  // A bare table name resolves in the current schema.
  prepare("select x from t");
  ks_oci_def_t df[1] = {};
  df[0].ctype = 17;
  df[0].vsz = 4;
  std::vector<uint8_t> buf(128);
  ks_oci_ds_t ds{1, 0, 128, buf.data(), df};
  ASSERT_EQ(ks_oci_auto_define(&c, &st, &ds), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 0, 0), 0) << ks_oci_get_message();
  int rr = 0;
  EXPECT_EQ(ks_oci_fetch(&c, &st, ds.nrows, &rr), 1);
  ASSERT_EQ(rr, 1);
  int32_t x;
  memcpy(&x, df[0].valp, 4);
  EXPECT_EQ(x, 7);

  // Rollback discards; so does a disconnect without commit.
  prepare("insert into T (X) values (8)");
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_rollback(&c), 0);
  EXPECT_EQ(ks_oci_rollback(nullptr), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0);
  ks_oci_close_statement(&c, &st);
  ASSERT_EQ(ks_oci_disconnect(&c), 0);
  EXPECT_EQ(db("select count(*) from \"OTHER.T\""), "1");

  ASSERT_EQ(connect(), 0);
  OCILobLocator *loc = nullptr;
  ASSERT_EQ(ks_oci_lob_new_empty(&c, &loc), 0) << ks_oci_get_message();
  EXPECT_EQ(ks_oci_lob_isopen(&c, loc), 0);
  EXPECT_EQ(ks_oci_lob_close(&c, loc), 0);  // not open: nothing to do
  EXPECT_EQ(ks_oci_lob_close(&c, nullptr), 0);
  // An empty-LOB locator names no row: nothing can be opened or written through it.
  EXPECT_EQ(ks_oci_lob_open(&c, loc, 2), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 22275);
  ks_oci_lob_t lob{};
  lob.locp = loc;
  EXPECT_EQ(ks_oci_lob_write(&c, &lob), -1);
  EXPECT_EQ(ks_oci_lob_free(&c, loc), 0);
  EXPECT_EQ(ks_oci_lob_free(&c, nullptr), 0);
  ks_oci_pw_t pw{};
  pw.htyp = 3;
  EXPECT_EQ(ks_oci_set_piece_info(&c, &pw), -1);
  EXPECT_STREQ(ks_oci_get_message(), "OCIStmtSetPieceInfo() - error handle type");
}

TEST_F(OciTest, RawFloatIntervalZoneAndCharValuesRoundTrip) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  exec_sql(dbpath, "create table \"APP.W\" (R BLOB, F, YM TEXT, DS TEXT, TZ TEXT, C TEXT)");
  Col raw(2, 8), dbl(2, 8), ym(2, 5), ds(2, 11), tz(2, 13), ch(2, 8);
  const uint8_t bytes[] = {0x00, 0xFF, 0x10};
  raw.set(0, bytes, 3);
  raw.set_null(1);
  double d0 = -1.5e300, d1 = 0.1;
  dbl.set(0, &d0, 8);
  dbl.set(1, &d1, 8);
  const uint8_t ym0[] = {0x80, 0, 0, 2, 63};           // +2 years 3 months
  const uint8_t ym1[] = {0x7F, 0xFF, 0xFF, 0xFF, 59};  // -1 year -1 month
  ym.set(0, ym0, 5);
  ym.set(1, ym1, 5);
  const uint8_t ds0[] = {0x80, 0, 0, 4, 65, 66, 67, 0x80, 0, 0, 9};  // 4 days 05:06:07.000000009
  ds.set(0, ds0, 11);
  ds.set_null(1);
  uint8_t z[13] = {};
  ASSERT_EQ(ks_ora_date_from_text("2026-06-01 10:00:00.25 -05:30", z, 13), 13);
  tz.set(0, z, 13);
  tz.set_null(1);
  ch.set_str(0, "ab");
  ch.set_str(1, "abcdefgh");
  prepare("insert into \"APP\".\"W\" (\"R\",\"F\",\"YM\",\"DS\",\"TZ\",\"C\") values (:1,:2,:3,:4,:5,:6)");
  ks_oci_bnd_t bc[6] = {raw.bnd(SQLT_BIN),           dbl.bnd(SQLT_IBDOUBLE),       ym.bnd(KS_SQLT_INTERVAL_YM),
                        ds.bnd(KS_SQLT_INTERVAL_DS), tz.bnd(KS_SQLT_TIMESTAMP_TZ), ch.bnd(SQLT_AFC)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, bc, 6, 2), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 2, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select hex(R) from \"APP.W\" where rowid=1"), "00FF10");
  EXPECT_EQ(db("select YM || ' ' || DS || ' ' || TZ from \"APP.W\" where rowid=1"),
            "+2-03 +4 05:06:07.000000009 2026-06-01 10:00:00.250000000 -05:30");
  EXPECT_EQ(db("select YM from \"APP.W\" where rowid=2"), "-1-01");

  prepare("select r, f, ym, ds, tz, c from app.w order by rowid");
  ks_oci_def_t df[6] = {};
  const uint32_t types[6] = {9, 15, 7, 8, 5, 2};
  const uint32_t sizes[6] = {8, 8, 5, 11, 13, 10};
  for (int k = 0; k < 6; k++) {
    df[k].ctype = types[k];
    df[k].vsz = sizes[k];
  }
  std::vector<uint8_t> buf(1024);
  ks_oci_ds_t set{6, 0, 1024, buf.data(), df};
  ASSERT_EQ(ks_oci_auto_define(&c, &st, &set), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 0, 0), 0);
  int rr = 0;
  ASSERT_EQ(ks_oci_fetch(&c, &st, 2, &rr), 0) << ks_oci_get_message();
  ASSERT_EQ(rr, 2);
  EXPECT_EQ(df[0].alenp[0], 3);
  EXPECT_EQ(memcmp(df[0].valp, bytes, 3), 0);
  EXPECT_EQ(df[0].indp[1], -1);
  double back;
  memcpy(&back, df[1].valp, 8);
  EXPECT_EQ(back, d0);
  memcpy(&back, df[1].valp + 8, 8);
  EXPECT_EQ(back, d1);
  EXPECT_EQ(memcmp(df[2].valp, ym0, 5), 0);
  EXPECT_EQ(memcmp(df[2].valp + 5, ym1, 5), 0);
  EXPECT_EQ(memcmp(df[3].valp, ds0, 11), 0);
  EXPECT_EQ(memcmp(df[4].valp, z, 13), 0);
  // CHAR comes back blank-padded to its slot; a value longer than the slot is cut.
  EXPECT_EQ(std::string(reinterpret_cast<char *>(df[5].valp), 10), "ab        ");
  EXPECT_EQ(df[5].alenp[0], 10);
  // A NULL fetched without an indicator array is an error, not a silent empty value.
  prepare("select r from app.w where rowid = 2");
  ks_oci_def_t one[1] = {};
  one[0].ctype = 9;
  one[0].vsz = 8;
  std::vector<uint8_t> v(8);
  one[0].valp = v.data();
  ks_oci_ds_t noind{1, 1, 0, nullptr, one};
  ASSERT_EQ(ks_oci_auto_define(&c, &st, &noind), 0);
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 1405);
}

// One row's CLOB and BLOB through the locator calls, and LONG values given in pieces:
// empty LOBs bound, padding, two-byte CLOB data, erase and trim, a streamed write, the
// open-LOB report at commit, locators that do not outlive their transaction, rollback.
TEST_F(OciTest, LobLocatorsAndPiecewiseLongsOverSqlite) {
  ASSERT_EQ(connect(), 0) << ks_oci_get_message();
  exec_sql(dbpath,
           "create table \"APP.L\" (ID INTEGER PRIMARY KEY, C TEXT, B BLOB);"
           "create table \"APP.G\" (K INTEGER, V TEXT, R BLOB)");
  OCILobLocator *empty = nullptr, *loc = nullptr;
  ASSERT_EQ(ks_oci_lob_new_empty(&c, &empty), 0);
  prepare("insert into \"APP\".\"L\" (\"ID\",\"C\",\"B\") values (:1,:2,:3)");
  Col id(1, 8), cl(1, 8), bl(1, 8);
  int64_t one = 1;
  id.set(0, &one, 8);
  cl.set(0, &empty, sizeof empty);
  bl.set(0, &empty, sizeof empty);
  ks_oci_bnd_t ins[3] = {id.bnd(SQLT_INT), cl.bnd(SQLT_CLOB), bl.bnd(SQLT_BLOB)};
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, ins, 3, 1), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select quote(C) || quote(B) from \"APP.L\""), "''X''");  // empty, not NULL

  auto select = [&](const char *col, int ctyp) {
    prepare(std::string("select \"") + col + "\" from \"APP\".\"L\" where 1=1 and \"ID\"=:1 for update");
    ks_oci_bnd_t k = id.bnd(SQLT_INT);
    ASSERT_EQ(ks_oci_auto_bind(&c, &st, &k, 1, 1), 0);
    ASSERT_EQ(ks_oci_define_lob(&c, &st, ctyp, &loc), 0) << ks_oci_get_message();
    ASSERT_EQ(ks_oci_execute(&c, &st, 0, 0), 0) << ks_oci_get_message();
    int rr = 0;
    ASSERT_EQ(ks_oci_fetch(&c, &st, 1, &rr), 0) << ks_oci_get_message();
  };
  auto write = [&](const std::string &data, uint64_t chars, uint64_t off, int csid = 873, uint8_t piece = 0) {
    ks_oci_lob_t w{};
    w.locp = loc;
    w.char_amt = chars;
    w.offset = off;
    w.csid = static_cast<uint16_t>(csid);
    w.piece = piece;
    w.buf = reinterpret_cast<uint8_t *>(const_cast<char *>(data.data()));
    w.buf_sz = data.size();
    int rc = ks_oci_lob_write(&c, &w);
    return rc < 0 ? -1 : rc == 2 ? -2 : static_cast<int>(w.char_amt);
  };
  select("C", SQLT_CLOB);
  ASSERT_EQ(ks_oci_lob_open(&c, loc, 2), 0);
  EXPECT_EQ(ks_oci_lob_isopen(&c, loc), 1);
  EXPECT_EQ(ks_oci_lob_open(&c, loc, 2), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 22293);
  EXPECT_EQ(write("abc", 3, 1), 3);
  EXPECT_EQ(write("xy", 2, 6), 2);                               // past the end: spaces between
  EXPECT_EQ(write(std::string("\0\xE9\0z", 4), 2, 2, 2000), 2);  // UTF-16BE, counted in characters
  EXPECT_EQ(write("abcdef", 7, 1), -1);                          // more than the buffer holds
  EXPECT_EQ(db("select quote(C) from \"APP.L\""), "''");         // not committed yet
  ks_oci_lob_t e{};
  e.locp = loc;
  e.byte_amt = 10;
  e.offset = 3;
  ASSERT_EQ(ks_oci_lob_erase(&c, &e), 0);
  EXPECT_EQ(e.byte_amt, 5u);  // only what the LOB holds from the offset
  EXPECT_EQ(ks_oci_lob_trim(&c, &e, 9), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 22926);
  ASSERT_EQ(ks_oci_lob_trim(&c, &e, 2), 0);
  EXPECT_EQ(write("12", 0, 3, 873, 1), -2);  // pieces: first and next ask for more
  EXPECT_EQ(write("34", 0, 0, 873, 2), -2);
  EXPECT_EQ(write("5", 0, 0, 873, 3), 5);
  // Committed with the LOB open: the commit is done and the open LOB reported.
  EXPECT_EQ(ks_oci_commit(&c, 0), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 22297);
  EXPECT_EQ(ks_oci_lob_isopen(&c, loc), 0);
  EXPECT_EQ(db("select C from \"APP.L\""),
            "a\xC3\xA9"
            "12345");
  EXPECT_EQ(write("z", 1, 1), -1);
  EXPECT_EQ(ks_oci_get_error_code(), 22990);

  select("B", SQLT_BLOB);
  ks_oci_lob_t b{};
  b.locp = loc;
  b.byte_amt = 2;
  b.offset = 4;
  b.buf = reinterpret_cast<uint8_t *>(const_cast<char *>("\x01\x02"));
  b.buf_sz = 2;
  ASSERT_EQ(ks_oci_lob_write(&c, &b), 0) << ks_oci_get_message();
  b.byte_amt = 4;
  b.offset = 5;
  ASSERT_EQ(ks_oci_lob_erase(&c, &b), 0);
  EXPECT_EQ(b.byte_amt, 1u);
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select hex(B) from \"APP.L\""), "0000000100");  // zero bytes pad and erase
  select("B", SQLT_BLOB);
  ASSERT_EQ(ks_oci_lob_trim(&c, &b, 0), 0);
  ASSERT_EQ(ks_oci_rollback(&c), 0);
  EXPECT_EQ(db("select hex(B) from \"APP.L\""), "0000000100");
  ASSERT_EQ(ks_oci_lob_free(&c, loc), 0);
  ASSERT_EQ(ks_oci_lob_free(&c, empty), 0);

  // A LONG and a LONG RAW given at execution time, piece by piece.
  prepare("insert into \"APP\".\"G\" (\"K\",\"V\",\"R\") values (:1,:2,:3)");
  ks_oci_bnd_t g[3] = {id.bnd(SQLT_INT), {}, {}};
  for (int i : {1, 2}) {
    g[i].flag = KS_OCI_BND_EXTTYPE | KS_OCI_BND_PIECEWISE;
    g[i].ctype = i == 1 ? SQLT_LNG : SQLT_LBI;
    g[i].vsz = 0x7FFFFFFF;
  }
  ASSERT_EQ(ks_oci_auto_bind(&c, &st, g, 3, 1), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 2);
  EXPECT_EQ(ks_oci_execute(&c, &st, 1, 0), -1);  // no piece given
  EXPECT_EQ(ks_oci_get_error_code(), 3129);
  void *h = nullptr;
  ub4 type = 0, iter = 9, idx = 9;
  ub1 inout = 0, piece = 0;
  ASSERT_EQ(x_oci.OCIStmtGetPieceInfo(st.stmtp, c.errhp, &h, &type, &inout, &iter, &idx, &piece), 0);
  EXPECT_EQ(h, static_cast<void *>(g[1].bndp));
  EXPECT_EQ(piece, OCI_FIRST_PIECE);
  std::string pieces[] = {std::string(3000, 'a'), std::string(3000, 'b'), "end", ""};
  ks_oci_pw_t pw{};
  pw.htyp = 1;
  pw.hndp = g[1].bndp;
  for (int k = 0; k < 4; k++) {
    pw.piece = k == 0 ? 1 : k == 3 ? 3 : 2;
    pw.buf = reinterpret_cast<uint8_t *>(pieces[k].data());
    pw.alen = static_cast<uint32_t>(pieces[k].size());
    ASSERT_EQ(ks_oci_set_piece_info(&c, &pw), 0);
    ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 2) << k;  // the LONG RAW is still to come
  }
  pw.hndp = g[2].bndp;
  pw.piece = 4;
  pw.ind = -1;
  ASSERT_EQ(ks_oci_set_piece_info(&c, &pw), 0);
  ASSERT_EQ(ks_oci_execute(&c, &st, 1, 0), 0) << ks_oci_get_message();
  ASSERT_EQ(ks_oci_commit(&c, 0), 0);
  EXPECT_EQ(db("select length(V) || substr(V, 3000, 2) || substr(V, 6001) || quote(R) from \"APP.G\""),
            "6003abendNULL");
}
