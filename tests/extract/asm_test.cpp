// Logs on ASM disks, read through hand-typed disk images (tests/extract/type_asm.py) and a
// small catalogue of the ASM and log views served by liborasim: discovery opens the
// connected groups only and finds each file directory; locating resolves system names and
// aliases; the reader returns every log's bytes in order from coarse, big-endian,
// mirrored-with-indirect-extents and fine-striped files, locally and through the reader
// agent; bad names and file numbers fail with their messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "extract/extract.h"
#include "lib/log/log.h"
#include "tests/agent_env.h"
#include "tests/testutil.h"

namespace {

class AsmReader : public ::testing::Test {
 protected:
  kstest::TempHome home;
  std::string dir;
  std::unique_ptr<uint8_t[]> mem;
  ks_buffer_t buf{};
  ks_reader_t rdr{};
  ks_logf_t log{};
  ks_adb_t adb{};
  ks_extr_t ex{};
  int log_fd = -1;

  void SetUp() override {
    dir = home.file("asm");
    int st = -1;
    kstest::sh("python3 " KS_TEST_DATA_DIR "/../extract/type_asm.py " + dir + " 2>&1", &st);
    ASSERT_EQ(st, 0);
    log_fd = open(home.file("messages").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ks_log_to_fd(log_fd);
    setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
    ASSERT_EQ(ks_oci_connect(&adb.sess, "kestro", "secret", ("sim:" + dir + "/asm.db").c_str(), 1), 0)
        << ks_oci_get_message();
    adb.se = &adb.sess;
    mem = std::make_unique<uint8_t[]>(KS_BUF_TOTAL);
    ks_cut_buffer(&buf, mem.get());
    ex.r = &rdr;
    ex.b = &buf;
    ex.l = &log;
    ex.a = &adb;
    x_thrd = 1;
    ks_init_reader(&ex);
    rdr.flag = KS_RDR_ASM;
  }
  void TearDown() override {
    ks_close_reader(&ex);
    ks_oci_disconnect(&adb.sess);
    ks_log_to_fd(-1);
    if (log_fd >= 0) close(log_fd);
  }
  std::string messages() const { return kstest::read_file(home.file("messages")); }

  // Sequence: 5 online by alias (coarse, direct extents over five disks), 6 archived by
  // system name (big-endian), 7 archived (mirrored, indirect units chained), 8 online by
  // alias (fine striping, 128 KiB stripes, width 8, 1 MiB units).
  void expect_every_layout() {
    const std::pair<uint32_t, const char *> logs[] = {
        {5, "DATA_256"}, {6, "BIGE_256"}, {7, "MIR_256"}, {8, "FINE_256"}};
    for (const auto &[seq, file] : logs) {
      const std::string want = kstest::read_file(dir + "/" + file + ".bin");
      const std::string got = read_log(seq);
      EXPECT_EQ(log.asm_fno, 256) << file;
      EXPECT_TRUE(got == want) << file << ": " << got.substr(0, 40) << "\n" << messages();
    }
  }

  // The whole log of sequence seq, read in runs as the capture loop does.
  std::string read_log(uint32_t seq) {
    if (ks_get_redo_file(&ex, seq) != 0 || ks_open_redo_file(&ex) != 0) return "<open failed>";
    std::string out;
    for (int blk = 0; blk < log.blks;) {
      int n = ks_read_redo_file(&ex, blk, -1);
      if (n <= 0) return "<read failed at block " + std::to_string(blk) + ">";
      out.append(reinterpret_cast<const char *>(buf.rd_buf), static_cast<size_t>(n));
      blk += n / log.blk_sz;
    }
    return out;
  }
};

TEST_F(AsmReader, DiscoversGroupsAndReadsEveryLayoutInFileOrder) {
  ASSERT_EQ(ks_open_asm_disk(&ex), 0) << messages();
  ASSERT_EQ(rdr.ndg, 4);  // the dismounted group is neither listed nor opened
  const char *names[] = {"DATA", "BIGE", "MIR", "FINE"};
  const int ndsk[] = {24, 1, 3, 2};
  for (int g = 0; g < 4; g++) {
    EXPECT_STREQ(rdr.dg[g].name, names[g]);
    EXPECT_EQ(rdr.dg[g].ndsk, ndsk[g]);
    for (int k = 0; k < ndsk[g]; k++) EXPECT_GE(rdr.dsk[rdr.dg[g].dsk_ofs + k].dskfd, 0);
  }
  EXPECT_EQ(rdr.dg[0].f1dsk, rdr.dg[0].dsk_ofs + 1);  // the directory lives on DATA's second disk
  EXPECT_EQ(rdr.dg[0].flag, KS_ASM_EXTERN);
  EXPECT_EQ(rdr.dg[1].flag, KS_ASM_EXTERN | KS_ASM_BIG);
  EXPECT_EQ(rdr.dg[2].flag, KS_ASM_NORMAL);
  EXPECT_EQ(rdr.dg[3].au_sz, 1 << 20);

  expect_every_layout();
  EXPECT_EQ(log.flag & KS_LOGF_KIND_MASK, KS_LOGF_ASM | KS_LOGF_ONLINE);

  // A run that starts and ends inside stripes of the fine file.
  const std::string fine = kstest::read_file(dir + "/FINE_256.bin");
  ASSERT_EQ(ks_read_redo_file(&ex, 255, 700), 700 * 512);
  EXPECT_EQ(std::memcmp(buf.rd_buf, fine.data() + 255 * 512, 700 * 512), 0);

  ASSERT_EQ(ks_close_reader(&ex), 0);
  for (const auto &d : rdr.dsk) EXPECT_EQ(d.dskfd, -1);
}

// The same disks on the database host, opened and read through the reader agent, and
// closed through it at the end.
TEST_F(AsmReader, ReadsEveryLayoutThroughTheAgent) {
  kstest::FeedAgent agent(KS_BIN_DIR "/kesfeed", home.file("feed"), dir);
  x_net_tmout = 5;
  ASSERT_TRUE(agent.connect_reader(&rdr));
  ASSERT_EQ(ks_open_asm_disk(&ex), 0) << messages();
  expect_every_layout();
  EXPECT_EQ(ks_close_reader(&ex), 0) << messages();
  EXPECT_EQ(rdr.asd, -1);
}

TEST_F(AsmReader, BadNamesAndFileNumbersFailWithTheirMessages) {
  ASSERT_EQ(ks_open_asm_disk(&ex), 0) << messages();
  // 9: file 999 lies beyond DATA's 17 directory extents of 16 entries.
  EXPECT_EQ(ks_get_redo_file(&ex, 9), 0);
  EXPECT_NE(ks_open_redo_file(&ex), 0);
  EXPECT_NE(messages().find("log file number 999, not in the range [256-272]"), std::string::npos) << messages();
  // 13: file 260 is in range but has no directory entry.
  EXPECT_EQ(ks_get_redo_file(&ex, 13), 0);
  EXPECT_NE(ks_open_redo_file(&ex), 0);
  EXPECT_NE(messages().find("load log file extent map error."), std::string::npos) << messages();

  EXPECT_NE(ks_get_redo_file(&ex, 10), 0);
  EXPECT_NE(messages().find("ASM diskgroup \"NOPE\" not found."), std::string::npos) << messages();
  EXPECT_NE(ks_get_redo_file(&ex, 11), 0);
  EXPECT_NE(messages().find("ASM filename format error.\n+DATA"), std::string::npos) << messages();
  // 12: an alias the catalogue does not list.
  EXPECT_NE(ks_get_redo_file(&ex, 12), 0);
  EXPECT_NE(messages().find("ASM file number not found.\nfilename: \"group_3.log\" not found."), std::string::npos)
      << messages();
}

}  // namespace
