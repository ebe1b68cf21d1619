// The idle wait: woken by a change of the watched file or folder, never missing a change
// made between the look and the wait, and sleeping to its bound when no watch can be set.
// Assertions are on the reason a wait returned, never on how long it took.
#include "lib/wait/wait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/testutil.h"

namespace {

constexpr int kLong = 60000;  // a bound no event-driven wake comes near
constexpr int kShort = 20;

void append(const std::string &path, const char *data = "x") {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, data, 1), 1);
  close(fd);
}

int open_read(const std::string &path) {
  kstest::write_file(path, "");
  return open(path.c_str(), O_RDONLY);
}

}  // namespace

TEST(IdleWait, WakesOnChangesOfTheWatchedFileOnly) {
  kstest::TempHome home;
  const std::string a = home.file("a.log"), b = home.file("b.log");
  int fa = open_read(a), fb = open_read(b);
  ks_wait_t w;

  // A change between the look and the wait is not lost.
  ASSERT_EQ(ks_wait_look(&w, fa, "a.log"), 0);
  append(a);
  EXPECT_EQ(ks_wait_idle(&w, kLong), KS_WAIT_DATA);

  // Nothing new: the bound. A change before the look is the look's, not the wait's.
  ASSERT_EQ(ks_wait_look(&w, fa, "a.log"), 0);
  EXPECT_EQ(ks_wait_idle(&w, kShort), KS_WAIT_TIMEOUT);
  append(a);
  ASSERT_EQ(ks_wait_look(&w, fa, "a.log"), 0);
  EXPECT_EQ(ks_wait_idle(&w, kShort), KS_WAIT_TIMEOUT);

  // A change while waiting ends the wait.
  ASSERT_EQ(ks_wait_look(&w, fa, "a.log"), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    append(a);
  });
  EXPECT_EQ(ks_wait_idle(&w, kLong), KS_WAIT_DATA);
  writer.join();

  // The watch moves with the look: the previous file no longer wakes it.
  ASSERT_EQ(ks_wait_look(&w, fb, "b.log"), 0);
  append(a);
  EXPECT_EQ(ks_wait_idle(&w, kShort), KS_WAIT_TIMEOUT);
  append(b);
  EXPECT_EQ(ks_wait_idle(&w, kLong), KS_WAIT_DATA);

  // A file removed and created again under the same name is a new file to watch.
  close(fa);
  unlink(a.c_str());
  fa = open_read(a);
  ASSERT_EQ(ks_wait_look(&w, fa, "a.log"), 0);
  append(a);
  EXPECT_EQ(ks_wait_idle(&w, kLong), KS_WAIT_DATA);

  // The end-of-input message: the first time, then not again within its period.
  EXPECT_TRUE(ks_wait_note_due(&w, 3600));
  EXPECT_FALSE(ks_wait_note_due(&w, 3600));
  EXPECT_TRUE(ks_wait_note_due(&w, 0));
  ks_wait_close(&w);
  close(fa);
  close(fb);
}

TEST(IdleWait, FolderWakesOnFilesOfTheWantedNamesOnly) {
  kstest::TempHome home;
  const std::string dir = home.file("data");
  ASSERT_EQ(kstest::sh("mkdir -p '" + dir + "' && echo ok"), "ok\n");
  ks_wait_t w;
  ASSERT_EQ(ks_wait_look_dir(&w, dir.c_str(), "EX_", ".dat"), 0);
  EXPECT_EQ(ks_wait_idle(&w, kShort), KS_WAIT_TIMEOUT);
  // Other files of the folder written while waiting: the wait goes on to its bound.
  append(dir + "/EX.ckp");
  append(dir + "/EX_1.2");
  append(dir + "/AP_0.dat");
  EXPECT_EQ(ks_wait_idle(&w, kShort), KS_WAIT_TIMEOUT);
  ASSERT_EQ(ks_wait_look_dir(&w, dir.c_str(), "EX_", ".dat"), 0);
  append(dir + "/EX_0.dat");
  EXPECT_EQ(ks_wait_idle(&w, kLong), KS_WAIT_DATA);
  ks_wait_close(&w);
}

TEST(IdleWait, SleepsToTheBoundWhenNoWatchCanBeSet) {
  kstest::TempHome home;
  ks_wait_t w;
  // A folder that does not exist.
  EXPECT_EQ(ks_wait_look_dir(&w, home.file("missing").c_str(), "", ""), -1);
  EXPECT_EQ(ks_wait_idle(&w, kShort), KS_WAIT_SLEPT);

  // The descriptor limit reached: no inotify instance can be had.
  const std::string f = home.file("c.log");
  int fd = open_read(f);
  ASSERT_GE(fd, 0);
  ks_wait_t v;
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  int rc = ks_wait_look(&v, fd, "c.log");
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(rc, -1);
  append(f);
  EXPECT_EQ(ks_wait_idle(&v, kShort), KS_WAIT_SLEPT);
  // Once the limit is lifted the next look watches the file.
  ASSERT_EQ(ks_wait_look(&v, fd, "c.log"), 0);
  append(f);
  EXPECT_EQ(ks_wait_idle(&v, kLong), KS_WAIT_DATA);
  ks_wait_close(&v);
  ks_wait_close(&w);
  close(fd);
}
