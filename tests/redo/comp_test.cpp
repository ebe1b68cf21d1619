// A row of a compressed block whose image points at a value the block keeps once for its
// rows (a length byte the block row format does not have): the record does not hold the
// row, so its change is reported with its position and counted, never built from a
// misread image; the changes around it, in the same transaction, are still delivered.
#include <gtest/gtest.h>

#include <string>

#include "tests/testutil.h"

namespace {

TEST(RedoCompressed, ValueNotInTheRecordIsReportedAndCountedTheOthersDelivered) {
  kstest::TempHome home;
  const std::string data = std::string(KS_TEST_DATA_DIR) + "/redo/comp_le_v19_b512";
  std::string log = kstest::read_file(data + ".redo");
  // The overwrite of the JOURNAL row: its new image is the first to hold TXT.
  const size_t at = log.find("\x06posted");
  ASSERT_NE(at, std::string::npos);
  log[at] = '\xFB';
  kstest::write_file(home.file("comp.redo"), log);
  const std::string cat = std::string(KS_BIN_DIR) + "/redocat -f " + home.file("comp.redo") + " -d " + data + ".dict";

  const std::string json = kstest::sh(cat + " -j 2>" + home.file("err.txt"));
  const std::string err = kstest::read_file(home.file("err.txt"));
  EXPECT_NE(err.find("ORP row image column 3 of 3 refers to a value not in the redo (length byte 0xfb"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("change not decoded (rba=0001a5.00000005.0144"), std::string::npos) << err;
  EXPECT_NE(err.find("table: APP.JOURNAL, op: 11.6)"), std::string::npos) << err;
  std::string want;
  for (const std::string &l : kstest::split_lines(kstest::read_file(data + ".expected.jsonl")))
    if (l.find("\"type\": \"change\"") != std::string::npos &&
        l.find("\"new\": [[\"N\", \"c104\"], [\"TXT\", \"706f73746564\"]]") == std::string::npos)
      want += l + "\n";
  EXPECT_EQ(json, want);

  const std::string sum = kstest::sh(cat + " -S 2>&1");
  EXPECT_NE(sum.find("records of captured tables not captured: 1 (change not decoded: 1)"), std::string::npos) << sum;
}

}  // namespace
