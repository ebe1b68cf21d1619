// The error file: record layout as a reader sees it, quick-insert records carrying only
// their descriptors and the failing row, records held until their unit commits, and
// malformed LCRs kept out of their records.
#include <gtest/gtest.h>

#include "apply/apply.h"
#include "lib/log/log.h"
#include "tests/apply/trail_build.h"
#include "tests/testutil.h"

using tb::Col;

namespace {

struct Rec {
  uint32_t elen, flag, ecode, sct;
  uint64_t scn, xid;
  std::string msg, lcr, row;
};

// Splits an error file into records; the LCR part is as long as its own rlen says
// (quick inserts: header and descriptors), the rest of the record is the row.
std::vector<Rec> read_records(const std::string &f) {
  std::vector<Rec> out;
  size_t pos = 0;
  while (pos + 32 <= f.size()) {
    const char *p = f.data() + pos;
    Rec r;
    r.elen = ks::load<uint32_t>(p);
    r.flag = ks::load<uint32_t>(p + 4);
    r.ecode = ks::load<uint32_t>(p + 8);
    r.sct = ks::load<uint32_t>(p + 12);
    r.scn = ks::load<uint64_t>(p + 16);
    r.xid = ks::load<uint64_t>(p + 24);
    EXPECT_LE(pos + r.elen, f.size());
    std::string body(p + 32, r.elen - 32);
    r.msg = body.c_str();
    std::string rest = body.substr(r.msg.size() + 1);
    uint32_t rlen = ks::load<uint32_t>(rest.data());
    if (ks::load<uint32_t>(rest.data() + 8) == 4) {
      uint32_t nold = ks::load<uint32_t>(rest.data() + 16);
      size_t q = 96;
      for (uint32_t i = 0; i < nold; i++) q += ks::load<uint32_t>(rest.data() + q);
      r.lcr = rest.substr(0, q);
      r.row = rest.substr(q);
    } else {
      r.lcr = rest.substr(0, rlen);
      r.row = rest.substr(rlen);
    }
    out.push_back(r);
    pos += r.elen;
  }
  EXPECT_EQ(pos, f.size());
  return out;
}

class ErrorFile : public ::testing::Test {
 protected:
  kstest::TempHome home;
  void SetUp() override {
    ks_reset_home_dir();
    std::snprintf(unit_name, 32, "U1");
    std::snprintf(com_name, 32, "AP");
    ks_error_discard();
  }
  std::string path() { return home.file("error/U1/AP_error.dat"); }
};

}  // namespace

TEST_F(ErrorFile, RowRecordsHaveTheHeaderMessageAndWholeLcr) {
  std::string th = tb::trans({}, 777, tb::xid(5, 3, 100), 0x40000000, 4242);
  std::string rec = tb::lcr(1, "S", "T", {Col{"A", 2, 22, std::string("\xC1\x02")}});
  const auto *t = reinterpret_cast<const uint8_t *>(th.data());
  ASSERT_EQ(ks_error_for_row(t, 1, "ORA-00001: unique constraint (S.PK) violated",
                             reinterpret_cast<const uint8_t *>(rec.data()), nullptr),
            0);
  std::string upd =
      tb::lcr(2, "S", "T", {Col{"B", 1, 10, std::string("x")}}, {Col{"A", 2, 22, std::string("\xC1\x03")}});
  ASSERT_EQ(ks_error_for_row(t, 0, "table row not matched.", reinterpret_cast<const uint8_t *>(upd.data()), nullptr),
            0);
  EXPECT_FALSE(kstest::file_exists(path()));  // held until the unit commits
  ASSERT_EQ(ks_error_flush(), 0);
  // A unit rolled back drops what it held.
  ASSERT_EQ(ks_error_for_row(t, 1, "dropped", reinterpret_cast<const uint8_t *>(rec.data()), nullptr), 0);
  ks_error_discard();
  ASSERT_EQ(ks_error_flush(), 0);

  auto recs = read_records(kstest::read_file(path()));
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].elen, 32 + recs[0].msg.size() + 1 + rec.size());
  EXPECT_EQ(recs[0].flag, 0u);
  EXPECT_EQ(recs[0].ecode, 1u);
  EXPECT_EQ(recs[0].sct, 4242u);
  EXPECT_EQ(recs[0].scn, 777u);
  EXPECT_EQ(recs[0].xid, tb::xid(5, 3, 100));
  EXPECT_EQ(recs[0].lcr, rec);
  EXPECT_EQ(recs[0].row, "");
  EXPECT_EQ(recs[1].ecode, 0u);
  EXPECT_EQ(recs[1].msg, "table row not matched.");
  EXPECT_EQ(recs[1].lcr, upd);
}

TEST_F(ErrorFile, QuickInsertRecordCarriesDescriptorsAndOnlyTheFailingRow) {
  std::string th = tb::trans({}, 9, 1);
  std::vector<Col> desc = {Col{"A", 2, 22, std::nullopt}, Col{"B", 1, 10, std::nullopt}};
  std::string q = tb::qmi("S", "T", desc,
                          {{std::string("\xC1\x02"), std::string("one")},
                           {std::string("\xC1\x03"), std::nullopt},
                           {std::string("\xC1\x04"), std::string("three")}});
  size_t desc_len = 96 + tb::col_entry(desc[0], false).size() + tb::col_entry(desc[1], false).size();
  size_t row1 = desc_len + (2 + 2) + (2 + 3);  // the second row starts after the first
  ASSERT_EQ(
      ks_error_for_row(reinterpret_cast<const uint8_t *>(th.data()), 1, "dup",
                       reinterpret_cast<const uint8_t *>(q.data()), reinterpret_cast<const uint8_t *>(q.data()) + row1),
      0);
  ASSERT_EQ(ks_error_flush(), 0);
  auto recs = read_records(kstest::read_file(path()));
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].lcr, q.substr(0, desc_len));
  std::string row;
  tb::put16(row, 2);
  row += "\xC1\x03";
  tb::put16(row, 0);
  EXPECT_EQ(recs[0].row, row);
}

TEST_F(ErrorFile, MalformedLcrIsKeptOutOfItsRecord) {
  std::string th = tb::trans({}, 9, 1);
  std::string q = tb::qmi("S", "T", {Col{"A", 2, 22, std::nullopt}}, {{std::string("\xC1\x02")}});
  ks::store<uint32_t>(q.data() + 96, 9999);  // descriptor length past the record
  EXPECT_EQ(ks_error_for_row(reinterpret_cast<const uint8_t *>(th.data()), 1, "x",
                             reinterpret_cast<const uint8_t *>(q.data()), nullptr),
            0);
  ASSERT_EQ(ks_error_flush(), 0);
  std::string f = kstest::read_file(path());
  ASSERT_EQ(f.size(), 34u);  // header and message: the transaction is named, nothing is read past
  EXPECT_EQ(ks::load<uint32_t>(f.data()), 34u);
  EXPECT_EQ(ks::load<uint64_t>(f.data() + 16), 9u);
}
