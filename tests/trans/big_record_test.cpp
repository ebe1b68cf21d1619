// A record several times larger than the work buffer (a row of a wide table) between
// small ones in one transaction: collected, resolved against a rollback, written by
// reference and read back record by record exactly as collected; a record beyond the
// largest one the system takes is refused without touching its transaction.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/trans/trans_fixture.h"

using namespace kstest;
using ::testing::HasSubstr;

TEST_F(TransTest, RecordOfSeveralMebibytesTravelsWholeThroughATransactionByReference) {
  ASSERT_EQ(open(), 0);
  const uint64_t x = xid_of(6, 7, 8);
  // The large record starts inside the first chunk of the file walk and ends three
  // chunks later; the rollback redo after the update cancels the update.
  std::vector<Rec> recs;
  recs.push_back(full_rec(KS_OPC_INSERT, 200, 0, 1));
  recs.push_back(full_rec(KS_OPC_INSERT, 3 * 1048576 + 13, 0, 2));
  recs.push_back(full_rec(KS_OPC_UPDATE, 300, 0, 3));
  recs.push_back(full_rec(KS_OPC_DELETE, 96, KS_RH_ROLLBACK | KS_RH_DISCARD));
  recs.push_back(full_rec(KS_OPC_INSERT, 150, 0, 4));
  for (auto &r : recs) ASSERT_EQ(add(r, x, 10), 0);

  Rec huge = full_rec(KS_OPC_INSERT, 96);
  ks_lcr_set_u32(huge.bytes(), 0, KS_LCR_MAX_SZ + 1);  // refused before its body is read
  EXPECT_EQ(add(huge, x, 11), -1);
  EXPECT_THAT(last_message(), HasSubstr("change record of 67108865 bytes (opc=1) for transaction 6.7.8 is larger "
                                        "than the 67108864 bytes one record may hold; not captured."));
  ASSERT_EQ(t.slot[0].nlcr, recs.size());

  ASSERT_EQ(commit(x, 20), 0);
  TrailFile tf = read_trail(trail(0));
  ASSERT_EQ(tf.trans.size(), 1u);
  EXPECT_EQ(tf.trans[0].th.flag, KS_TH_TRANS | KS_TH_BYREF);
  EXPECT_EQ(tf.trans[0].th.nlcr, recs.size() + 1);
  const std::string file = read_file(spill(x, 10));
  size_t off = 32;
  for (size_t i = 0; i < recs.size(); i++) {
    SCOPED_TRACE("record " + std::to_string(i));
    std::string want(reinterpret_cast<const char *>(recs[i].bytes()), recs[i].rlen());
    if (i == 2) ks_lcr_set_u32(want.data(), 4, KS_RH_DISCARD);  // the cancelled update
    ASSERT_LE(off + want.size(), file.size());
    EXPECT_TRUE(file.compare(off, want.size(), want) == 0);
    off += want.size();
  }
  ASSERT_EQ(file.size(), off + 16);
  EXPECT_EQ(ks_lcr_u32(file.data(), off + 8), KS_OPC_COMMIT);

  // A file that ends inside the large record is refused by the walk, not read past.
  ASSERT_EQ(truncate(spill(x, 10).c_str(), 32 + 200 + 2 * 1048576), 0);
  int fd = ::open(spill(x, 10).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> work(KS_TRANS_TBUF_SZ);
  int visited = 0;
  EXPECT_EQ(ks_trans_walk_file(fd, "f", work.data(), [&](uint64_t, uint32_t, uint32_t) { return ++visited > 0; }), -1);
  close(fd);
  EXPECT_EQ(visited, 1);
  EXPECT_THAT(last_message(), HasSubstr("read f: incomplete record at offset 232."));
}
