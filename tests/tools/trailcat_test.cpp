// trailcat on hand-built trail files (and errcat on hand-built error files): header and record lines, value rendering,
// discard marks, the end of a file with and without its marker, a file that is still growing, and damaged files that
// must give a message naming the file and offset, not a crash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lib/fmt/trail_format.h"
#include "tests/fuzz.h"
#include "tests/testutil.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using Bytes = std::string;

void put32(Bytes &b, uint32_t v) { b.append(reinterpret_cast<const char *>(&v), 4); }
void put64(Bytes &b, uint64_t v) { b.append(reinterpret_cast<const char *>(&v), 8); }
Bytes hexb(std::initializer_list<int> v) {
  Bytes b;
  for (int c : v) b.push_back(static_cast<char>(c));
  return b;
}

Bytes column(const std::string &name, uint32_t typ, Bytes val, uint32_t flag = 0, uint32_t clen = 22) {
  Bytes b;
  uint32_t nlen = static_cast<uint32_t>(name.size() + 1);
  put32(b, 24 + nlen + static_cast<uint32_t>(val.size()));
  put32(b, flag);
  put32(b, typ);
  put32(b, clen);
  put32(b, nlen);
  put32(b, static_cast<uint32_t>(val.size()));
  b += name;
  b.push_back('\0');
  b += val;
  return b;
}

Bytes name32(const std::string &s) {
  Bytes b = s;
  b.resize(32, '\0');
  return b;
}

// A full record: header then body; opos is relative to the record start.
Bytes record(uint32_t opc, uint32_t nnew, uint32_t nold, const Bytes &body, uint32_t flag = 0, uint32_t opos = 0) {
  Bytes b;
  put32(b, 96 + static_cast<uint32_t>(body.size()));
  put32(b, flag);
  put32(b, opc);
  put32(b, nnew);
  put32(b, nold);
  put32(b, opos ? opos : 96);
  put64(b, 0);
  b += name32("SCOTT") + name32("EMP");
  return b + body;
}

Bytes commit_rec() {
  Bytes b;
  put32(b, 16);
  put32(b, KS_RH_SHORT);
  put32(b, KS_OPC_COMMIT);
  put32(b, 0);
  return b;
}

constexpr uint32_t kJan2024 = 1157068800;  // 2024-01-01 00:00:00 as a redo time stamp

Bytes transaction(const std::vector<Bytes> &recs, uint64_t scn, uint64_t xid, uint32_t flag = KS_TH_TRANS,
                  uint32_t csct = kJan2024) {
  Bytes body;
  for (const Bytes &r : recs) body += r;
  Bytes b;
  put32(b, 32 + static_cast<uint32_t>(body.size()));
  put32(b, flag);
  put32(b, static_cast<uint32_t>(recs.size()));
  put32(b, csct);
  put64(b, scn);
  put64(b, xid);
  return b + body;
}

Bytes marker() {
  Bytes b;
  put32(b, 32);
  put32(b, KS_TH_EOF);
  b.append(24, '\0');
  return b;
}

Bytes file_header(uint32_t fno, uint64_t first_scn, uint64_t first_xid, uint64_t last_scn, uint64_t last_xid) {
  Bytes b;
  put32(b, fno);
  put32(b, 64);
  put64(b, first_scn);
  put64(b, first_xid);
  put64(b, last_scn);
  put64(b, last_xid);
  b.append(24, '\0');
  return b;
}

const uint64_t kXid = (5ULL << 48) | (3ULL << 32) | 100;

struct CatRun {
  int status;
  std::string out, err;
};

CatRun run_tool(const char *tool, const std::vector<std::string> &args, const std::string &dir) {
  std::string cmd = std::string(KS_BIN_DIR) + "/" + tool;
  for (const auto &a : args) cmd += " '" + a + "'";
  cmd += " >" + dir + "out.txt 2>" + dir + "err.txt";
  int rc = system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, kstest::read_file(dir + "out.txt"), kstest::read_file(dir + "err.txt")};
}

class Trailcat : public ::testing::Test {
 protected:
  std::string path() const { return home.file("data/t_0.dat"); }
  CatRun cat(const Bytes &file, std::vector<std::string> extra = {}) {
    kstest::write_file(path(), file);
    extra.push_back("-f");
    extra.push_back(path());
    return run_tool("trailcat", extra, home.path());
  }
  kstest::TempHome home;
};

}  // namespace

TEST_F(Trailcat, PrintsHeaderTransactionAndRowValuesInItsLineFormat) {
  Bytes cols = column("N1", KS_TYP_NUMBER, hexb({0xC1, 0x02})) + column("N2", KS_TYP_NUMBER, hexb({0xC2, 0x02})) +
               column("N3", KS_TYP_NUMBER, hexb({0xC0, 0x33})) + column("N4", KS_TYP_NUMBER, hexb({0x3E, 0x64, 0x66})) +
               column("D", KS_TYP_DATE, hexb({0x78, 0x7C, 0x01, 0x01, 0x01, 0x01, 0x01}), 0, 7) +
               column("TS", KS_TYP_TIMESTAMP, hexb({0x78, 0x7C, 0x01, 0x01, 0x01, 0x01, 0x01, 0, 0, 0, 5}), 0, 11) +
               column("NAME", KS_TYP_VARCHAR2, "abc", 0, 30) + column("NN", KS_TYP_VARCHAR2, "x", KS_CH_NATIONAL, 10) +
               column("R", KS_TYP_RAW, hexb({0x01, 0xAB}), 0, 2) + column("Z", KS_TYP_CHAR, "", KS_CH_NULL, 1) +
               column("L", KS_TYP_LONG, "", KS_CH_DYNAMIC, 0) + column("B", KS_TYP_BLOB, "", KS_CH_EMPTY_LOB, 4000) +
               column("Q", 999, hexb({0x7F}), 0, 1);
  Bytes f =
      file_header(0, 10, kXid, 20, kXid) + transaction({record(KS_OPC_INSERT, 13, 0, cols), commit_rec()}, 10, kXid);
  CatRun r = cat(f);
  EXPECT_EQ(r.status, 0);
  const std::string size = std::to_string(32 + 96 + cols.size() + 16);
  EXPECT_EQ(r.out,
            "File Number: 0\n"
            "First SCN:       10  First XID: 5.3.100\n"
            "Last  SCN:       20  Last  XID: 5.3.100\n"
            "=================================================================\n"
            "Data Length: " +
                size +
                ",  # of rows: 2\n"
                "SCN: 10,  SCN time: 2024-01-01 00:00:00\n"
                "XID: " +
                std::to_string(kXid) +
                " (5.3.100)\n\n"
                "LCR Op: INSERT  Owner: SCOTT, Table: EMP\n"
                "New Image:\n"
                "Column Name: N1, Type: NUMBER, Length: 22\n  [2] 1\n"
                "Column Name: N2, Type: NUMBER, Length: 22\n  [2] 100\n"
                "Column Name: N3, Type: NUMBER, Length: 22\n  [2] 0.5\n"
                "Column Name: N4, Type: NUMBER, Length: 22\n  [3] -1\n"
                "Column Name: D, Type: DATE, Length: 7\n  [7] 2024-01-01 00:00:00\n"
                "Column Name: TS, Type: TIMESTAMP, Length: 11\n  [11] 2024-01-01 00:00:00.5\n"
                "Column Name: NAME, Type: VARCHAR2, Length: 30\n  [3] abc\n"
                "Column Name: NN, Type: NVARCHAR2, Length: 10\n  [1] x\n"
                "Column Name: R, Type: RAW, Length: 2\n  [2] 01AB\n"
                "Column Name: Z, Type: CHAR, Length: 1\n  [0] NULL\n"
                "Column Name: L, Type: LONG, Length: 0\n  [0] DYNAMIC\n"
                "Column Name: B, Type: BLOB, Length: 4000\n  [0] EMPTY_LOB()\n"
                "Column Name: Q, Type: UNKNOWN, Length: 1\n  [1] 7F\n"
                "---------------------------------\n"
                "LCR Op: COMMIT\n"
                "---------------------------------\n");
  EXPECT_EQ(r.err, "reach the end of file.\n");
}

TEST_F(Trailcat, ShortDataCutsLongCharacterAndRawValuesAt128Bytes) {
  Bytes txt(200, 'v');
  Bytes raw(130, '\x11');
  Bytes cols = column("C", KS_TYP_VARCHAR2, txt, 0, 200) + column("R", KS_TYP_RAW, raw, 0, 200) +
               column("N", KS_TYP_NUMBER, hexb({0xC4, 0x02, 0x18}));
  Bytes f = file_header(0, 1, 1, 1, 1) + transaction({record(KS_OPC_INSERT, 3, 0, cols), commit_rec()}, 1, 1);
  CatRun s = cat(f, {"-s"});
  EXPECT_THAT(s.out, HasSubstr("  [200] " + std::string(128, 'v') + "...\n"));
  EXPECT_THAT(s.out, HasSubstr("  [130] " + std::string(256, '1') + "...\n"));
  EXPECT_THAT(s.out, HasSubstr("  [3] 1230000\n"));
  CatRun full = cat(f);
  EXPECT_THAT(full.out, HasSubstr("  [200] " + txt + "\n"));
}

TEST_F(Trailcat, OtherOperationsDiscardMarksAndTransactionsByReference) {
  Bytes upd_new = column("SAL", KS_TYP_NUMBER, hexb({0xC2, 0x02}));
  Bytes upd_old = column("ID", KS_TYP_NUMBER, hexb({0xC1, 0x02}), KS_CH_PK);
  Bytes upd = record(KS_OPC_UPDATE, 1, 1, upd_new + upd_old, 0, static_cast<uint32_t>(96 + upd_new.size()));
  Bytes del = record(KS_OPC_DELETE, 0, 1, upd_old, KS_RH_DISCARD | KS_RH_ROLLBACK);
  Bytes ins = record(KS_OPC_INSERT, 1, 0, upd_new, KS_RH_DISCARD);
  Bytes ddl_text = "create table t (a number)";
  Bytes ddl = record(KS_OPC_DDL, static_cast<uint32_t>(ddl_text.size() + 1), 77, ddl_text + '\0');
  Bytes qmi_body = column("A", KS_TYP_NUMBER, "") + column("B", KS_TYP_VARCHAR2, "", 0, 5);
  qmi_body += hexb({2, 0, 0xC1, 0x03, 2, 0, 'h', 'i'}) + hexb({2, 0, 0xC1, 0x04, 0, 0});
  Bytes qmi = record(KS_OPC_QMI, 2, 2, qmi_body);
  Bytes lw_body;
  put32(lw_body, 4);
  put64(lw_body, 9);
  lw_body += hexb({0xDE, 0xAD, 0xBE, 0xEF});
  Bytes lobw = record(KS_OPC_LOB_WRITE, 0, 0, lw_body);
  Bytes trim_body;
  put64(trim_body, 4096);
  Bytes lobt = record(KS_OPC_LOB_TRIM, 0, 0, trim_body);
  Bytes sel_col = column("DOC", KS_TYP_CLOB, "", 0, 4000);
  Bytes lobs = record(KS_OPC_LOB_SELECT, 1, 1, sel_col + upd_old, 0, static_cast<uint32_t>(96 + sel_col.size()));
  Bytes piece;  // a LONG piece: an entry without name, the bytes right after its header
  for (uint32_t v : {24u + 5u, 0u, static_cast<uint32_t>(KS_TYP_LONG), 0u, 0u, 5u}) put32(piece, v);
  Bytes lng = record(KS_OPC_LONG_WRITE, 0, 0, piece + "piece");
  Bytes irb = record(KS_OPC_INDEX_INSERT, 0, 0, "", KS_RH_DISCARD | KS_RH_ROLLBACK);

  const std::string ref = "/some/where/C_1.2";
  Bytes byref;
  put32(byref, 32 + static_cast<uint32_t>(ref.size()) + 1);
  put32(byref, KS_TH_TRANS | KS_TH_BYREF);
  put32(byref, 1000);
  put32(byref, kJan2024);
  put64(byref, 31);
  put64(byref, 2);
  byref += ref + '\0';

  Bytes f = file_header(0, 30, 1, 31, 2) +
            transaction({upd, del, ins, ddl, qmi, lobw, lobt, lobs, lng, irb, commit_rec()}, 30, 1) + byref + marker();
  CatRun r = cat(f);
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("LCR Op: UPDATE  Owner: SCOTT, Table: EMP\nNew Image:\n"
                               "Column Name: SAL, Type: NUMBER, Length: 22\n  [2] 100\n\nOld Image:\n"
                               "Column Name: ID, Type: NUMBER, Length: 22\n  [2] 1\n---"));
  EXPECT_THAT(r.out, HasSubstr("LCR [Discard] [Rollbacked]\nLCR Op: DELETE  Owner: SCOTT, Table: EMP\n\nOld Image:\n"));
  EXPECT_THAT(r.out, HasSubstr("LCR [Discard]\nLCR Op: INSERT"));
  EXPECT_THAT(r.out, HasSubstr("LCR Op: DDL  Owner: SCOTT, Object: EMP\ncreate table t (a number)\n---"));
  EXPECT_THAT(r.out, HasSubstr("LCR Op: QUICK INSERT  Owner: SCOTT, Table: EMP\n"
                               "Column Name: A, Type: NUMBER, Length: 22\n"
                               "Column Name: B, Type: VARCHAR2, Length: 5\n"
                               "row [0]\n  [2] 2\n  [2] hi\n"
                               "row [1]\n  [2] 3\n  [0] NULL\n---"));
  EXPECT_THAT(r.out, HasSubstr("LCR Op: LOB WRITE  Owner: SCOTT, Object: EMP\nAmount: 4, Offset: 9\nDEADBEEF\n---"));
  EXPECT_THAT(r.out, HasSubstr("LCR Op: LOB TRIM  Owner: SCOTT, Object: EMP\nLength: 4096\n---"));
  EXPECT_THAT(r.out, HasSubstr("LCR Op: LOB SELECT  Owner: SCOTT, Object: EMP\nLOB Column:\n"
                               "Column Name: DOC, Type: CLOB, Length: 4000\n\nWhere Clause:\n"
                               "Column Name: ID, Type: NUMBER, Length: 22\n  [2] 1\n---"));
  EXPECT_THAT(r.out, HasSubstr("LCR Op: LONG WRITE  Owner: SCOTT, Object: EMP\n  [5] 7069656365\n---"));
  EXPECT_THAT(r.out, HasSubstr("LCR [Discard] [Rollbacked]\nLCR Op: INDEX INSERT\n---"));
  EXPECT_THAT(r.out, HasSubstr("Data Length: " + std::to_string(33 + ref.size()) +
                               ",  # of rows: 1000\nSCN: 31,  SCN time: 2024-01-01 00:00:00\n"
                               "XID: 2 (0.0.2)\n\nTransaction File: " +
                               ref + "\n"));
  EXPECT_EQ(r.err, "input file work completed.\n");
}

// Rollback records are a bare header: no old image, and the decoder (like an update
// without old values) leaves opos 0. They print as such and the transaction goes on.
TEST_F(Trailcat, HeaderOnlyRollbackRecordsDoNotStopTheTransaction) {
  Bytes urb = record(KS_OPC_UPDATE, 0, 0, "", KS_RH_DISCARD | KS_RH_ROLLBACK);
  Bytes drb = record(KS_OPC_DELETE, 0, 0, "", KS_RH_DISCARD | KS_RH_ROLLBACK);
  urb.replace(20, 4, 4, '\0');
  drb.replace(20, 4, 4, '\0');
  CatRun r = cat(file_header(0, 1, 1, 2, 2) + transaction({urb, drb, commit_rec()}, 1, 1) + marker());
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("LCR [Discard] [Rollbacked]\nLCR Op: UPDATE  Owner: SCOTT, Table: EMP\nNew Image:\n\n"
                               "Old Image:\n---------------------------------\n"
                               "LCR [Discard] [Rollbacked]\nLCR Op: DELETE  Owner: SCOTT, Table: EMP\n\n"
                               "Old Image:\n---------------------------------\nLCR Op: COMMIT\n"));
  EXPECT_EQ(r.err, "input file work completed.\n");
}

TEST_F(Trailcat, UnknownOperationAbandonsOnlyItsTransaction) {
  Bytes seq = record(KS_OPC_SYNC_SEQ, 2, 0, hexb({0xC1, 0x02}));
  Bytes f = file_header(0, 1, 1, 2, 2) + transaction({seq, commit_rec()}, 1, 1) + transaction({commit_rec()}, 2, 2);
  CatRun r = cat(f);
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("unknown operation [21]\n"));
  EXPECT_THAT(r.out, HasSubstr("SCN: 2,"));
  // The first transaction's COMMIT is never reached.
  EXPECT_EQ(r.out.find("LCR Op: COMMIT"), r.out.rfind("LCR Op: COMMIT"));
}

TEST_F(Trailcat, NonTransactionRecordsAreSteppedOver) {
  Bytes other = transaction({commit_rec()}, 7, 7, 0x1);
  Bytes f = file_header(0, 1, 1, 2, 2) + other + transaction({commit_rec()}, 2, 2);
  CatRun r = cat(f);
  EXPECT_THAT(r.out, Not(HasSubstr("SCN: 7,")));
  EXPECT_THAT(r.out, HasSubstr("SCN: 2,"));
}

TEST_F(Trailcat, FollowsAFileThatIsStillGrowing) {
  Bytes tx =
      transaction({record(KS_OPC_INSERT, 1, 0, column("ID", KS_TYP_NUMBER, hexb({0xC1, 0x02}))), commit_rec()}, 5, 5);
  Bytes start = file_header(0, 5, 5, KS_SCN_OPEN, 0) + tx.substr(0, 40);
  kstest::write_file(path(), start);
  std::thread writer([&] {
    usleep(200000);
    FILE *f = fopen(path().c_str(), "ab");
    Bytes rest = tx.substr(40) + marker();
    fwrite(rest.data(), 1, rest.size(), f);
    fclose(f);
  });
  CatRun r = run_tool("trailcat", {"-f", path()}, home.path());
  writer.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("Column Name: ID, Type: NUMBER, Length: 22\n  [2] 1\n"));
  EXPECT_EQ(r.err, "input file work completed.\n");
}

TEST_F(Trailcat, FileEndingInsideATransactionIsReportedCutAfterItStopsGrowing) {
  Bytes tx = transaction({commit_rec()}, 5, 5);
  CatRun r = cat(file_header(0, 5, 5, KS_SCN_OPEN, 0) + tx + tx.substr(0, 40));
  EXPECT_EQ(r.status, 255);
  EXPECT_THAT(r.out, HasSubstr("SCN: 5,"));
  EXPECT_THAT(r.err, HasSubstr("incomplete transaction in " + path() + " at offset 112: 40 of 48 bytes present.\n"));
  EXPECT_THAT(r.err, HasSubstr("reach the end of file.\n"));
}

TEST_F(Trailcat, DamagedTransactionsAreReportedWithFileAndOffset) {
  Bytes good = transaction({commit_rec()}, 5, 5);
  // A transaction header below 32 bytes cannot be stepped over.
  Bytes shortlen = good;
  std::memset(&shortlen[0], 0, 4);
  shortlen[0] = 31;
  CatRun r = cat(file_header(0, 5, 5, 5, 5) + good + shortlen + good);
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("corrupt transaction header in " + path() + " at offset 112: length 31 below 32.\n"));
  EXPECT_THAT(r.err, HasSubstr("perform one file error.\n"));

  // A record whose length runs past its transaction: reported, the next one still printed.
  Bytes rec = record(KS_OPC_INSERT, 1, 0, column("ID", KS_TYP_NUMBER, hexb({0xC1, 0x02})));
  Bytes bad = transaction({rec, commit_rec()}, 6, 6);
  uint32_t huge = 5000;
  std::memcpy(&bad[32], &huge, 4);
  r = cat(file_header(0, 5, 5, 7, 7) + bad + transaction({commit_rec()}, 7, 7));
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("corrupt transaction in " + path() +
                               " at offset 64: record length runs past the transaction at offset 96.\n"));
  EXPECT_THAT(r.out, HasSubstr("SCN: 7,"));

  // A column entry whose length runs past its record.
  Bytes badcol = transaction({rec, commit_rec()}, 6, 6);
  uint32_t alen = 900;
  std::memcpy(&badcol[32 + 96], &alen, 4);
  r = cat(file_header(0, 5, 5, 6, 6) + badcol);
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("corrupt transaction in " + path() +
                               " at offset 64: column entry length runs past the record at offset 192.\n"));

  // A transaction length no trail transaction can have is refused at once, not waited for.
  Bytes endless = good;
  std::memset(&endless[0], 0xff, 4);
  r = cat(file_header(0, 5, 5, 5, 5) + good + endless);
  EXPECT_EQ(r.status, 255);
  EXPECT_THAT(r.err, HasSubstr("corrupt transaction header in " + path() +
                               " at offset 112: length 4294967295 beyond 1048575.\n"));

  // A column without a name; column entries that the counts leave out.
  Bytes unnamed;
  for (uint32_t v : {24u + 2u, 0u, static_cast<uint32_t>(KS_TYP_NUMBER), 22u, 0u, 2u}) put32(unnamed, v);
  unnamed += hexb({0xC1, 0x02});
  r = cat(file_header(0, 5, 5, 6, 6) + transaction({record(KS_OPC_INSERT, 1, 0, unnamed), commit_rec()}, 6, 6));
  EXPECT_EQ(r.status, 255);
  EXPECT_THAT(r.err, HasSubstr("corrupt transaction in " + path() +
                               " at offset 64: column name empty or not terminated at offset 192.\n"));
  Bytes nonew = record(KS_OPC_INSERT, 0, 0, column("ID", KS_TYP_NUMBER, hexb({0xC1, 0x02})));
  r = cat(file_header(0, 5, 5, 6, 6) + transaction({nonew, commit_rec()}, 6, 6));
  EXPECT_EQ(r.status, 255);
  EXPECT_THAT(r.err, HasSubstr("corrupt transaction in " + path() +
                               " at offset 64: bytes left after the new image at offset 192.\n"));

  // Counts that promise more columns than the record holds.
  Bytes many = transaction(
      {record(KS_OPC_INSERT, 1000000, 0, column("ID", KS_TYP_NUMBER, hexb({0xC1, 0x02}))), commit_rec()}, 6, 6);
  r = cat(file_header(0, 5, 5, 6, 6) + many);
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("column entry runs past the record"));

  // A quick insert whose rows run past the record.
  Bytes q = record(KS_OPC_QMI, 3, 1, column("A", KS_TYP_NUMBER, "") + hexb({2, 0, 0xC1, 0x03}));
  r = cat(file_header(0, 5, 5, 6, 6) + transaction({q, commit_rec()}, 6, 6));
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("row value runs past the record"));
}

TEST_F(Trailcat, CommandLineMessages) {
  CatRun r = run_tool("trailcat", {"-h"}, home.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_THAT(r.err, HasSubstr("  -h    print this message\n  -s    short data\n  -f    input file name\n\n"));
  r = run_tool("trailcat", {"-x"}, home.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_THAT(r.err, HasSubstr("invalid option [-x]\nusage: "));
  r = run_tool("trailcat", {"-f"}, home.path());
  EXPECT_THAT(r.err, HasSubstr("not specify input file name.\nusage: "));
  r = run_tool("trailcat", {"-f", home.file("none.dat")}, home.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "open " + home.file("none.dat") + ": No such file or directory\nperform one file error.\n");
  r = run_tool("trailcat", {}, home.path());
  EXPECT_THAT(r.err, HasSubstr("open : No such file or directory\n"));
}

// apply's error file: a header per failing row, the message, and the change as the trail
// shows it; a quick multi-insert carries its descriptors and the one failing row.
namespace {

Bytes error_record(uint32_t ecode, const std::string &msg, const Bytes &change) {
  Bytes b;
  put32(b, static_cast<uint32_t>(32 + msg.size() + 1 + change.size()));
  put32(b, 0);
  put32(b, ecode);
  put32(b, kJan2024);
  put64(b, 4242);
  put64(b, kXid);
  b += msg;
  b.push_back('\0');
  return b + change;
}

}  // namespace

TEST_F(Trailcat, ErrcatPrintsEachFailedRowAndStopsAtADamagedRecord) {
  const Bytes ins = record(KS_OPC_INSERT, 1, 0, column("EMPNO", KS_TYP_NUMBER, hexb({0xC2, 0x02, 0x08})));
  const Bytes del = record(KS_OPC_DELETE, 0, 1, column("EMPNO", KS_TYP_NUMBER, hexb({0xC1, 0x04})));
  // Quick insert: two descriptors, then the failing row (u16 length + bytes per value).
  Bytes qmi = record(KS_OPC_QMI, 2, 2, column("A", KS_TYP_NUMBER, "") + column("B", KS_TYP_VARCHAR2, ""));
  qmi += hexb({2, 0, 0xC1, 0x03, 3, 0}) + "xyz";
  qmi.replace(0, 4, Bytes(4, '\0'));
  uint32_t qlen =
      96 + static_cast<uint32_t>(column("A", KS_TYP_NUMBER, "").size() + column("B", KS_TYP_VARCHAR2, "").size());
  std::memcpy(qmi.data(), &qlen, 4);  // a quick insert's own length covers its descriptors
  const Bytes file = error_record(1, "ORA-00001: unique constraint (SCOTT.PK_EMP) violated", ins) +
                     error_record(0, "table row not matched.", del) +
                     error_record(1400, "ORA-01400: cannot insert NULL", qmi);
  kstest::write_file(path(), file);
  CatRun r = run_tool("errcat", {"-f", path()}, home.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Error Code: 1\nMessage: ORA-00001: unique constraint (SCOTT.PK_EMP) violated\n"
                               "SCN: 4242,  SCN time: 2024-01-01 00:00:00\nXID: "));
  EXPECT_THAT(r.out, HasSubstr("(5.3.100)"));
  EXPECT_THAT(r.out,
              HasSubstr("LCR Op: INSERT  Owner: SCOTT, Table: EMP\nNew Image:\nColumn Name: EMPNO, Type: NUMBER"));
  EXPECT_THAT(r.out, HasSubstr("  [3] 107"));
  EXPECT_THAT(r.out, HasSubstr("Message: table row not matched.\n"));
  EXPECT_THAT(r.out, HasSubstr("LCR Op: DELETE  Owner: SCOTT, Table: EMP"));
  EXPECT_THAT(r.out, HasSubstr("LCR Op: QUICK INSERT  Owner: SCOTT, Table: EMP"));
  EXPECT_THAT(r.out, HasSubstr("row [0]\n  [2] 2\n  [3] xyz\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("row [1]")));
  EXPECT_THAT(r.out, HasSubstr("3 error record(s).\n"));

  // A record cut short (a crash while apply appended it): what precedes it is printed,
  // the cut is named with its offset, the exit says failure.
  const Bytes cut = file.substr(0, file.size() - 5);
  kstest::write_file(path(), cut);
  r = run_tool("errcat", {"-f", path()}, home.path());
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("2 error record(s)."));
  const size_t third = error_record(1, "ORA-00001: unique constraint (SCOTT.PK_EMP) violated", ins).size() +
                       error_record(0, "table row not matched.", del).size();
  EXPECT_THAT(r.err,
              HasSubstr("incomplete or corrupt error record in " + path() + " at offset " + std::to_string(third)));

  // A change whose lengths run past its record.
  Bytes bad = error_record(0, "x", ins);
  uint32_t huge = 100000;
  std::memcpy(bad.data() + 32 + 2, &huge, 4);
  kstest::write_file(path(), bad);
  r = run_tool("errcat", {"-f", path()}, home.path());
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("corrupt change in the error record at offset 0"));

  r = run_tool("errcat", {"-x"}, home.path());
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("invalid option [-x]"));
}

// Mutated trail and error files through the two printers: each prints or reports the
// damage and exits with 0 or failure, never a crash (the sanitizer build runs them). A
// transaction length is only set to values refused at once: any other one that does not
// fit would make trailcat wait for the rest of a file still being written.
TEST_F(Trailcat, MutatedTrailAndErrorFilesNeverCrashThePrinters) {
  Bytes cols = column("ID", KS_TYP_NUMBER, hexb({0xC1, 0x02})) +
               column("D", KS_TYP_DATE, hexb({0x78, 0x7C, 1, 1, 1, 1, 1})) +
               column("T", KS_TYP_TIMESTAMP, hexb({0x78, 0x7C, 1, 1, 1, 1, 1, 0, 0, 0, 9})) +
               column("S", KS_TYP_VARCHAR2, "hello");
  Bytes key = column("ID", KS_TYP_NUMBER, hexb({0xC1, 0x02}), KS_CH_PK);
  Bytes ins = record(KS_OPC_INSERT, 4, 0, cols);
  Bytes upd = record(KS_OPC_UPDATE, 4, 4, cols + cols, 0, static_cast<uint32_t>(96 + cols.size()));
  Bytes del = record(KS_OPC_DELETE, 0, 1, key);
  Bytes qmi = record(KS_OPC_QMI, 1, 2,
                     column("A", KS_TYP_NUMBER, "") + column("B", KS_TYP_DATE, "") +
                         hexb({2, 0, 0xC1, 0x03, 7, 0, 0x78, 0x7C, 1, 1, 1, 1, 1}));
  Bytes sel_col = column("DOC", KS_TYP_CLOB, "", 0, 4000);
  Bytes lobs = record(KS_OPC_LOB_SELECT, 1, 1, sel_col + key, 0, static_cast<uint32_t>(96 + sel_col.size()));
  Bytes tx = transaction({ins, upd, del, qmi, lobs, commit_rec()}, 9, 9);
  Bytes trail = file_header(0, 9, 9, 9, 9) + tx + tx + marker();
  Bytes errors = error_record(1, "ORA-00001: unique constraint violated", ins) +
                 error_record(0, "table row not matched.", upd) + error_record(1400, "ORA-01400", qmi);
  const std::string epath = home.file("fuzz_error.dat");
  kstest::FuzzLoop loop("trailcat and errcat", 0.15);
  SCOPED_TRACE("seed " + std::to_string(loop.seed()));
  static const uint32_t kRefused[] = {0, 31, 0xFFFFFFFF, 0x80000000, KS_TRANS_REF_SZ};
  while (loop.more() && !HasFailure()) {
    std::vector<std::string> args;
    if (loop.below(2)) args.push_back("-s");
    if (loop.below(2)) {
      Bytes f = trail;
      loop.mutate(f, 64 + 32, 64 + tx.size(), false);
      if (loop.below(4) == 0) std::memcpy(&f[64 + tx.size()], &kRefused[loop.below(5)], 4);
      CatRun r = cat(f, args);
      ASSERT_TRUE(r.status == 0 || r.status == 255) << "trailcat status " << r.status << "\n" << r.err;
    } else {
      Bytes f = errors;
      loop.mutate(f, 0);
      kstest::write_file(epath, f);
      args.push_back("-f");
      args.push_back(epath);
      CatRun r = run_tool("errcat", args, home.path());
      ASSERT_TRUE(r.status == 0 || r.status == 255) << "errcat status " << r.status << "\n" << r.err;
    }
  }
}
