// The redo block walk against the hand-made logs in tests/data/redo: it must hand on
// exactly the records each log's expected list names (position, length, bytes), whatever
// the size of the reads, and stop with the right reason at reused or unwritten blocks.
// This program supplies its own decoder entry so it sees every record handed on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "extract/trans/trans.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"
#include "tests/testutil.h"

namespace {

struct Rec {
  uint32_t sqn, blk, byt, len;
  std::string bytes;
  bool operator==(const Rec &o) const {
    return sqn == o.sqn && blk == o.blk && byt == o.byt && len == o.len && bytes == o.bytes;
  }
};

void PrintTo(const Rec &r, std::ostream *os) { *os << r.sqn << "." << r.blk << "." << r.byt << " len " << r.len; }

std::vector<Rec> g_seen;
const ks_rba_t *g_rba = nullptr;  // the position the walk is advancing
int g_stop_at = -1;               // index of the record the decoder does not take ...
int g_stop_rc = KS_RC_END_SCN;    // ... and what it says for it
int g_reject_at = -1;             // index of a record the decoder rejects
int g_pending_at = -1;            // index of a record whose commit the trail cannot take
ks_trans_t g_trans;               // the table the walk looks at for such commits

}  // namespace

int ks_parse_record(ks_extr_t *ex, int rlen) {
  int idx = static_cast<int>(g_seen.size());
  if (idx == g_stop_at) return g_stop_rc;
  g_seen.push_back({g_rba->sqn, g_rba->blk, g_rba->byt, static_cast<uint32_t>(rlen),
                    std::string(reinterpret_cast<char *>(ex->b->record), static_cast<size_t>(rlen))});
  if (idx == g_pending_at) g_trans.flag |= KS_TRANS_PENDING;
  return idx == g_reject_at ? -1 : 0;
}

namespace {

struct Expected {
  int block_size = 0, major = 0, cls_usn = 0, vhsz = 0, blks = 0;
  uint32_t vsn = 0, sequence = 0;
  bool big = false;
  std::vector<Rec> recs;
};

std::string field(const std::string &line, const std::string &key) {
  std::string k = "\"" + key + "\": ";
  size_t p = line.find(k);
  if (p == std::string::npos) return "";
  p += k.size();
  if (line[p] == '"') return line.substr(p + 1, line.find('"', p + 1) - p - 1);
  size_t e = line.find_first_of(",}", p);
  return line.substr(p, e - p);
}

// Gathers a record the plain way, from its position in the file, to compare with what the
// walk assembled.
std::string gather(const std::string &file, int bs, uint32_t blk, uint32_t byt, uint32_t len) {
  std::string out;
  size_t off = static_cast<size_t>(blk) * bs + byt;
  while (out.size() < len) {
    size_t block_end = (off / bs + 1) * bs;
    size_t take = std::min<size_t>(len - out.size(), block_end - off);
    out += file.substr(off, take);
    off = block_end + 16;
  }
  return out;
}

Expected load_expected(const std::string &name, const std::string &file) {
  Expected e;
  std::ifstream in(std::string(KS_TEST_DATA_DIR) + "/redo/" + name + ".expected.jsonl");
  std::string line;
  while (std::getline(in, line)) {
    std::string type = field(line, "type");
    if (type == "file") {
      e.block_size = std::stoi(field(line, "block_size"));
      e.big = field(line, "byte_order") == "big";
      e.vsn = static_cast<uint32_t>(std::stoul(field(line, "vsn"), nullptr, 16));
      e.major = std::stoi(field(line, "major"));
      e.cls_usn = std::stoi(field(line, "cls_usn"));
      e.vhsz = std::stoi(field(line, "vhsz"));
      e.sequence = static_cast<uint32_t>(std::stoul(field(line, "sequence")));
      e.blks = std::stoi(field(line, "blks"));
    } else if (type == "record") {
      Rec r{};
      if (sscanf(field(line, "rba").c_str(), "%u.%u.%u", &r.sqn, &r.blk, &r.byt) != 3) ADD_FAILURE();
      r.len = static_cast<uint32_t>(std::stoul(field(line, "len")));
      r.bytes = gather(file, e.block_size, r.blk, r.byt, r.len);
      e.recs.push_back(r);
    }
  }
  return e;
}

// One extract context over a private copy of a log, read the way the main loop does.
class Walk {
 public:
  Walk(const kstest::TempHome &home, const std::string &name, const std::string &data, int kind) {
    path_ = home.file("tmp/" + name + ".redo");
    kstest::write_file(path_, data);
    mem_ = std::make_unique<uint8_t[]>(KS_BUF_TOTAL);
    ks_cut_buffer(&buf_, mem_.get());
    std::memset(&rdr_, 0, sizeof rdr_);
    std::memset(&log_, 0, sizeof log_);
    std::memset(&ex_, 0, sizeof ex_);
    ex_.r = &rdr_;
    ex_.b = &buf_;
    ex_.l = &log_;
    rdr_.asd = -1;
    rdr_.lfd = open(path_.c_str(), O_RDONLY);
    log_.flag = kind;
    snprintf(log_.name, sizeof log_.name, "%s", path_.c_str());
    g_seen.clear();
    g_rba = &rba_;
    g_stop_at = g_reject_at = g_pending_at = -1;
    g_stop_rc = KS_RC_END_SCN;
    std::memset(&g_trans, 0, sizeof g_trans);
    ex_.t = &g_trans;
  }
  ~Walk() {
    if (rdr_.lfd >= 0) close(rdr_.lfd);
    g_rba = nullptr;
  }
  // What a locate would have found: block size and count from the catalogue.
  void located(uint32_t sqn, int blk_sz, int blks) {
    log_.blk_sz = blk_sz;
    log_.blks = blks;
    rba_ = {sqn, 0, 0};
  }
  // Reads and walks until the log is done or the walk stops; `run` limits each read.
  int run(int run_blocks = -1) {
    for (int guard = 0; guard < 100000; guard++) {
      int want = run_blocks;
      if (want > 0 && rba_.blk == 0 && want < 2) want = 2;
      if (want > 0 && static_cast<int>(rba_.blk) + want > log_.blks) want = log_.blks - static_cast<int>(rba_.blk);
      if (want == 0) return 0;
      int n = ks_read_redo_file(&ex_, static_cast<int>(rba_.blk), want);
      if (n < 0) return -100;
      int rc = ks_do_read_buffer(&ex_, &rba_, n / log_.blk_sz);
      if (rc < 0) return rc;
      if (static_cast<int>(rba_.blk) >= log_.blks) return 0;
    }
    return -200;
  }
  ks_extr_t ex_;
  ks_reader_t rdr_;
  ks_logf_t log_;
  ks_buffer_t buf_;
  ks_rba_t rba_{};

 private:
  std::string path_;
  std::unique_ptr<uint8_t[]> mem_;
};

std::string fixture(const std::string &name) {
  return kstest::read_file(std::string(KS_TEST_DATA_DIR) + "/redo/" + name + ".redo");
}

const char *kLogs[] = {"insert_le_v19_b512",   "insert_be_v19_b512", "upd_del_le_v11_b1024", "upd_del_be_v10_b512",
                       "qmi_le_v19_b1024",     "qmi_be_v11_b512",    "walk_le_v19_b512",     "walk_be_v10_b1024",
                       "rollback_le_v10_b512", "misc_be_v11_b1024",  "pdb_le_v19_b1024",     "stamp_be_v19_b512"};

std::string error_log(const kstest::TempHome &home) {
  char date[16];
  ks_get_date(date);
  return kstest::read_file(home.file(std::string("log/error") + date + ".log"));
}

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unit_name[0] = '\0';
    ks_log_init("walktest", 0);
    ks_log_inf.log_level = KS_LOG_INFO;  // no line per record
  }
  kstest::TempHome home_;
};

void put32(std::string &d, size_t off, uint32_t v, bool big) { ks::store32(&d[off], v, big); }

}  // namespace

TEST_F(WalkTest, EveryLogYieldsExactlyItsRecordsWithHeaderFieldsWhateverTheReadSize) {
  for (const char *name : kLogs) {
    SCOPED_TRACE(name);
    std::string data = fixture(name);
    Expected e = load_expected(name, data);
    ASSERT_FALSE(e.recs.empty());
    for (int run : {-1, 3, 4, 7}) {  // a read holds at least the longest record here
      SCOPED_TRACE(run);
      // As an archived copy: the block count from the catalogue, then the header's.
      Walk w(home_, name, data, KS_LOGF_ARCHIVED);
      w.located(e.sequence, e.block_size, static_cast<int>(data.size()) / e.block_size);
      ASSERT_EQ(w.run(run), 0);
      EXPECT_EQ(g_seen, e.recs);
      EXPECT_EQ(w.log_.blks, e.blks);
      EXPECT_EQ(w.log_.blk_sz, e.block_size);
      EXPECT_EQ(static_cast<uint32_t>(w.log_.vsn), e.vsn);
      EXPECT_EQ(w.log_.cls_usn, e.cls_usn);
      EXPECT_EQ(w.log_.vhsz, e.vhsz);
      EXPECT_EQ((w.log_.flag & KS_LOGF_BIG_ENDIAN) != 0, e.big);
      EXPECT_EQ(w.rba_.blk, static_cast<uint32_t>(e.blks));
      EXPECT_EQ(w.rba_.byt, 0u);
    }
  }
}

TEST_F(WalkTest, CurrentOnlineLogStopsAtTheFirstUnwrittenBlockAndResumesWhenWritten) {
  std::string data = fixture("walk_be_v10_b1024");
  Expected e = load_expected("walk_be_v10_b1024", data);
  Walk w(home_, "cur", data, KS_LOGF_ONLINE | KS_LOGF_CURRENT);
  w.located(e.sequence, 1024, 11);
  EXPECT_EQ(w.run(), -1);
  EXPECT_TRUE(w.log_.flag & KS_LOGF_END);
  EXPECT_EQ(w.log_.blks, 11);  // file size + 1 for a log still written
  EXPECT_EQ(g_seen, e.recs);
  EXPECT_EQ(w.rba_.blk, 8u);
  EXPECT_EQ(w.rba_.byt, 0u);

  // The database writes block 8: one 100-byte record at 16. Reading goes on from block 8.
  std::string more = data;
  size_t b8 = 8 * 1024;
  put32(more, b8 + ks::redo::KS_REDO_BH_BLOCK_NO, 8, true);
  put32(more, b8 + ks::redo::KS_REDO_BH_SEQUENCE, e.sequence, true);
  ks::store16(&more[b8 + ks::redo::KS_REDO_BH_FIRST_RECORD], 0x8000 | 16, true);
  put32(more, b8 + 16, 100, true);
  more[b8 + 16 + 4] = 1;
  kstest::write_file(home_.file("tmp/cur.redo"), more);  // same file, still open by the reader
  w.log_.flag &= ~KS_LOGF_END;
  g_seen.clear();
  EXPECT_EQ(w.run(), -1);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].blk, 8u);
  EXPECT_EQ(g_seen[0].byt, 16u);
  EXPECT_EQ(g_seen[0].len, 100u);
  EXPECT_EQ(w.rba_.blk, 9u);
}

TEST_F(WalkTest, ContinuationNotYetWrittenStopsAtTheRecordStartAndTheRecordIsReadWholeLater) {
  // qmi_be_v11_b512: the record at 2.16 spans blocks 2, 3 and 4.
  std::string data = fixture("qmi_be_v11_b512");
  Expected e = load_expected("qmi_be_v11_b512", data);
  std::string partial = data;
  put32(partial, 4 * 512 + ks::redo::KS_REDO_BH_SEQUENCE, 0, true);
  Walk w(home_, "cont", partial, KS_LOGF_ARCHIVED);
  w.located(e.sequence, 512, 5);
  EXPECT_EQ(w.run(), -1);
  EXPECT_TRUE(w.log_.flag & KS_LOGF_CONT_UNWRITTEN);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(w.rba_.blk, 2u);
  EXPECT_EQ(w.rba_.byt, 16u);

  kstest::write_file(home_.file("tmp/cont.redo"), data);  // same inode: the writer caught up
  w.log_.flag &= ~KS_LOGF_CONT_UNWRITTEN;
  EXPECT_EQ(w.run(), 0);
  EXPECT_EQ(g_seen, e.recs);
}

TEST_F(WalkTest, ReusedOnlineLogIsReportedOverwrittenBeforeAnyLaterRecord) {
  std::string data = fixture("walk_le_v19_b512");
  Expected e = load_expected("walk_le_v19_b512", data);
  std::string reused = data;
  put32(reused, 6 * 512 + ks::redo::KS_REDO_BH_SEQUENCE, e.sequence + 4, false);
  Walk w(home_, "reuse", reused, KS_LOGF_ONLINE);
  w.located(e.sequence, 512, 8);
  EXPECT_EQ(w.run(), -1);
  EXPECT_TRUE(w.log_.flag & KS_LOGF_OVERWRITTEN);
  EXPECT_EQ(w.rba_.blk, 6u);
  EXPECT_EQ(w.rba_.byt, 0u);
  ASSERT_EQ(g_seen.size(), 4u);

  // A continuation block from a later use is a reuse too, whatever the kind of log.
  std::string reused2 = data;
  put32(reused2, 4 * 512 + ks::redo::KS_REDO_BH_SEQUENCE, e.sequence + 1, false);  // inside the 3.488 record
  Walk w2(home_, "reuse2", reused2, KS_LOGF_ARCHIVED);
  w2.located(e.sequence, 512, 8);
  EXPECT_EQ(w2.run(), -1);
  EXPECT_TRUE(w2.log_.flag & KS_LOGF_OVERWRITTEN);
  EXPECT_EQ(w2.rba_.blk, 3u);
  EXPECT_EQ(w2.rba_.byt, 488u);
}

TEST_F(WalkTest, RecordEndingExactlyAtTheEndOfTheLastBlockReadLeavesTheNextBlock) {
  std::string data = fixture("walk_le_v19_b512");
  Walk w(home_, "exact", data, KS_LOGF_ARCHIVED);
  w.located(107, 512, 8);
  int n = ks_read_redo_file(&w.ex_, 0, 7);  // blocks 0..6; 6.16 (496 bytes) ends at 512
  ASSERT_EQ(n, 7 * 512);
  EXPECT_EQ(ks_do_read_buffer(&w.ex_, &w.rba_, 7), 0);
  EXPECT_EQ(w.rba_.blk, 7u);
  EXPECT_EQ(w.rba_.byt, 0u);
  ASSERT_EQ(g_seen.size(), 5u);
  EXPECT_EQ(g_seen.back().blk, 6u);
}

// The end SCN, a record held for want of room and one the capture must stop at all leave
// the position at that record's first byte; a record the decoder has reported is passed;
// a commit the trail could not take stops the walk right after its record.
TEST_F(WalkTest, EndScnHoldAndStopKeepTheRecordRefusedOnesArePassedAStuckTrailStopsAfterTheCommit) {
  std::string data = fixture("walk_le_v19_b512");
  Expected e = load_expected("walk_le_v19_b512", data);
  for (int code : {KS_RC_END_SCN, KS_RC_HOLD, KS_RC_STOP}) {
    Walk w(home_, "stop", data, KS_LOGF_ARCHIVED);
    w.located(107, 512, 8);
    g_stop_at = 2;
    g_stop_rc = code;
    EXPECT_EQ(w.run(), code);
    EXPECT_EQ(w.rba_.blk, e.recs[2].blk);
    EXPECT_EQ(w.rba_.byt, e.recs[2].byt);
    if (code != KS_RC_HOLD) continue;
    g_stop_at = -1;  // room again: the held record and the rest, each once
    EXPECT_EQ(w.run(), 0);
    EXPECT_EQ(g_seen, e.recs);
  }
  {
    Walk w(home_, "reject", data, KS_LOGF_ARCHIVED);
    w.located(107, 512, 8);
    g_reject_at = 1;
    EXPECT_EQ(w.run(), 0);
    EXPECT_EQ(g_seen, e.recs);
    EXPECT_EQ(error_log(home_), "");  // the decoder's own report is the one line
  }
  {
    Walk w(home_, "pending", data, KS_LOGF_ARCHIVED);
    w.located(107, 512, 8);
    g_pending_at = 1;
    EXPECT_EQ(w.run(), KS_RC_HOLD);
    EXPECT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(w.rba_.blk, e.recs[2].blk);
    EXPECT_EQ(w.rba_.byt, e.recs[2].byt);
    g_trans.flag = 0;
    EXPECT_EQ(w.run(), 0);
    EXPECT_EQ(g_seen, e.recs);
  }
}

TEST_F(WalkTest, CorruptHeadersAndRecordsFailWithTheirMessages) {
  std::string data = fixture("upd_del_be_v10_b512");
  Expected e = load_expected("upd_del_be_v10_b512", data);
  struct Case {
    const char *what;
    std::function<void(std::string &)> spoil;
    int rblks;
    const char *msg;
  } cases[] = {
      {"one block", [](std::string &) {}, 1, "redo file head blocks not complete."},
      {"version 9", [](std::string &d) { put32(d, 512 + ks::redo::KS_REDO_FH1_VERSION, 0x09200000, true); }, 0,
       "unsupported database version 9.32"},
      {"block sizes differ", [](std::string &d) { put32(d, 512 + ks::redo::KS_REDO_FH1_BLOCK_SIZE, 1024, true); }, 0,
       "redo log block 0 size (512) different from others."},
      {"offset past the block", [](std::string &d) { ks::store16(&d[2 * 512 + 12], 0x8000 | 600, true); }, 0,
       "record offset exceed block size (600: 512)."},
      {"record too long", [&](std::string &d) { put32(d, 2 * 512 + e.recs[0].byt, 0x20001, true); }, 0,
       "record size too large.(rlen: 131073, buffer len: 131072)"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = data;
    c.spoil(bad);
    Walk w(home_, "bad", bad, KS_LOGF_ARCHIVED);
    w.located(e.sequence, 512, static_cast<int>(data.size()) / 512);
    int n = ks_read_redo_file(&w.ex_, 0, -1);
    ASSERT_GT(n, 0);
    int blocks = c.rblks > 0 ? c.rblks : n / 512;
    EXPECT_EQ(ks_do_read_buffer(&w.ex_, &w.rba_, blocks), -1);
    EXPECT_EQ(w.log_.flag & (KS_LOGF_OVERWRITTEN | KS_LOGF_END | KS_LOGF_CONT_UNWRITTEN), 0);
    EXPECT_NE(error_log(home_).find(c.msg), std::string::npos) << error_log(home_);
  }
}

TEST_F(WalkTest, RecordRunningPastTheLastBlockOfTheLogIsAnErrorNotAnEndlessRetry) {
  std::string data = fixture("qmi_be_v11_b512");
  Walk w(home_, "trunc", data, KS_LOGF_ARCHIVED);
  w.located(306, 512, 5);
  // The header says the log ends at block 4: the record 2.16 ends in block 4, so claim 4.
  std::string cut = data;
  put32(cut, 512 + ks::redo::KS_REDO_FH1_NEXT_BLOCK, 4, true);
  kstest::write_file(home_.file("tmp/trunc.redo"), cut);
  EXPECT_EQ(w.run(), -1);
  EXPECT_NE(error_log(home_).find("goes past the last block 3 of the log"), std::string::npos);
}

TEST_F(WalkTest, SwitchIsSeenFromTheHeaderAndBoundsTheRestOfTheLog) {
  std::string data = fixture("walk_be_v10_b1024");
  Walk w(home_, "sw", data, KS_LOGF_ONLINE | KS_LOGF_CURRENT);
  w.located(208, 1024, 11);
  w.log_.flag |= KS_LOGF_BIG_ENDIAN;
  EXPECT_EQ(ks_log_switched(&w.ex_), 0);
  std::string done = data;
  put32(done, 1024 + ks::redo::KS_REDO_FH1_NEXT_BLOCK, 8, true);
  kstest::write_file(home_.file("tmp/sw.redo"), done);
  EXPECT_EQ(ks_log_switched(&w.ex_), 1);
  EXPECT_EQ(w.log_.blks, 8);
  EXPECT_FALSE(w.log_.flag & KS_LOGF_CURRENT);

  // The file reused for a later sequence, being written again: switched, whatever the
  // next-available-block says now.
  std::string reused = data;
  put32(reused, 1024 + ks::redo::KS_REDO_BH_SEQUENCE, 211, true);
  kstest::write_file(home_.file("tmp/sw.redo"), reused);
  w.log_.flag |= KS_LOGF_CURRENT;
  w.log_.blks = 11;
  w.log_.sqn = 208;
  EXPECT_EQ(ks_log_switched(&w.ex_), 1);
  EXPECT_EQ(w.log_.blks, 11);
  w.log_.sqn = 211;
  EXPECT_EQ(ks_log_switched(&w.ex_), 0);
}
