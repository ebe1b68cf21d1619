#include "lib/util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "lib/bytes.h"
#include "tests/testutil.h"

TEST(OwnerObject, QuotesCaseAndMissingParts) {
  char o[32], t[32];
  ks_get_owner_object("scott.emp", o, t, 1);
  EXPECT_STREQ(o, "SCOTT");
  EXPECT_STREQ(t, "EMP");
  ks_get_owner_object("\"Scott\".emp", o, t, 1);
  EXPECT_STREQ(o, "Scott");
  EXPECT_STREQ(t, "EMP");
  ks_get_owner_object("scott.\"Emp\"", o, t, 1);
  EXPECT_STREQ(o, "SCOTT");
  EXPECT_STREQ(t, "Emp");
  ks_get_owner_object("'scott'.'emp'", o, t, 1);
  EXPECT_STREQ(o, "SCOTT");
  EXPECT_STREQ(t, "EMP");
  ks_get_owner_object("scott.emp", o, t, 0);
  EXPECT_STREQ(o, "scott");
  EXPECT_STREQ(t, "emp");
  ks_get_owner_object("emp", o, t, 1);
  EXPECT_STREQ(o, "");
  EXPECT_STREQ(t, "EMP");
  ks_get_owner_object("\"Emp\"", o, t, 1);
  EXPECT_STREQ(o, "");
  EXPECT_STREQ(t, "Emp");
  ks_get_owner_object("scott.*", o, t, 1);
  EXPECT_STREQ(o, "SCOTT");
  EXPECT_STREQ(t, "*");
  // Names longer than 31 characters are cut, never overflow.
  ks_get_owner_object("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", o, t,
                      1);
  EXPECT_EQ(strlen(o), 31u);
  EXPECT_EQ(strlen(t), 31u);
}

TEST(ReplaceOwner, ReplacesOnlyAMatchingOwner) {
  char buf[256];
  strcpy(buf, "create table scott.emp (a number)");
  EXPECT_EQ(ks_str_replace_owner(buf, sizeof buf, "SCOTT", "HR"), 1);
  EXPECT_STREQ(buf, "create table HR.emp (a number)");
  strcpy(buf, "create table \"Scott\".emp (a number)");
  EXPECT_EQ(ks_str_replace_owner(buf, sizeof buf, "SCOTT", "HR"), 0);
  EXPECT_STREQ(buf, "create table \"Scott\".emp (a number)");
  EXPECT_EQ(ks_str_replace_owner(buf, sizeof buf, "Scott", "REPLICA_OWNER"), 1);
  EXPECT_STREQ(buf, "create table \"REPLICA_OWNER\".emp (a number)");
  strcpy(buf, "drop table other.emp");
  EXPECT_EQ(ks_str_replace_owner(buf, sizeof buf, "SCOTT", "HR"), 0);
  EXPECT_STREQ(buf, "drop table other.emp");
  strcpy(buf, "truncate table emp");
  EXPECT_EQ(ks_str_replace_owner(buf, sizeof buf, "SCOTT", "HR"), 0);
  // Every name the owner qualifies, and nothing in a literal or after a dot.
  strcpy(buf, "create index scott.i on Scott.\"T\" (scott) -- 'scott.x' x.scott.y");
  EXPECT_EQ(ks_str_replace_owner(buf, sizeof buf, "SCOTT", "HR"), 2);
  EXPECT_STREQ(buf, "create index HR.i on HR.\"T\" (scott) -- 'scott.x' x.scott.y");
  EXPECT_EQ(ks_str_replace_owner(buf, strlen(buf) + 1, "HR", "REPLICA"), -1);
  EXPECT_STREQ(buf, "create index HR.i on HR.\"T\" (scott) -- 'scott.x' x.scott.y");
}

TEST(Strings, TrimCaseTokensAndConversions) {
  char s[64];
  strcpy(s, " \t\nabc \t\n");
  char *p = ks_str_ltrim(s);
  EXPECT_STREQ(ks_str_rtrim(p), "abc");
  EXPECT_EQ(ks_str_to_u4("4294967295"), 4294967295u);
  EXPECT_EQ(ks_str_to_u8("18446744073709551615"), 18446744073709551615ull);
  EXPECT_EQ(ks_str_icmp("AbC", "aBc"), 0);
  EXPECT_LT(ks_str_icmp("abc", "abd"), 0);
  EXPECT_GT(ks_str_icmp("abcd", "ABC"), 0);
  EXPECT_EQ(ks_str_nicmp("logger.type.x", "LOGGER.TYPE", 11), 0);
  strcpy(s, "Mixed 123 äb");
  EXPECT_STREQ(ks_str_toupper(s), "MIXED 123 äB");
  EXPECT_STREQ(ks_str_tolower(s), "mixed 123 äb");
  char tok[8];
  EXPECT_EQ(ks_str_get_token("  start   extract  u1.c1 ", 2, tok, 7), 7);
  EXPECT_STREQ(tok, "extract");
  ks_str_get_token("start extract u1.c1", 3, tok, 3);
  EXPECT_STREQ(tok, "u1.");
  ks_str_get_token("start extract", 3, tok, 7);
  EXPECT_STREQ(tok, "");
}

TEST(DataOp, PositionedReadWriteAppendAndClosedDescriptor) {
  kstest::TempHome home;
  std::string path = home.file("tmp/f");
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ks_write_data(fd, "hello world", 11, 0), 11);
  EXPECT_EQ(ks_write_data(fd, "W", 1, 6), 1);
  char buf[32] = {};
  EXPECT_EQ(ks_read_data(fd, buf, 32, 0), 11);  // short at end of file
  EXPECT_STREQ(buf, "hello World");
  close(fd);
  fd = open(path.c_str(), O_WRONLY | O_APPEND);
  EXPECT_EQ(ks_append_data(fd, "!", 1), 1);
  close(fd);
  EXPECT_EQ(kstest::read_file(path), "hello World!");
  EXPECT_EQ(ks_read_data(-1, buf, 1, 0), -1);
  EXPECT_EQ(ks_write_data(-1, buf, 1, 0), -1);
  EXPECT_EQ(ks_append_data(-1, buf, 1), -1);
}

TEST(DataOp, LargeTransfersThroughAPipeSurvivePartialWritesAndSignals) {
  // A pipe accepts at most its buffer per write: the helper must loop. A signal with a
  // handler (no SA_RESTART) interrupts the blocked write with EINTR.
  struct sigaction sa = {}, old = {};
  sa.sa_handler = [](int) {};
  sigaction(SIGUSR1, &sa, &old);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string data(1 << 20, 'z');
  std::string got;
  pthread_t writer_thread = pthread_self();
  std::thread reader([&] {
    char buf[4096];
    usleep(20000);
    pthread_kill(writer_thread, SIGUSR1);
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  });
  EXPECT_EQ(ks_append_data(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fds[1]);
  reader.join();
  close(fds[0]);
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(got.size(), data.size());
}

TEST(Bytes, LoadsAndStoresInBothOrdersAtOddAddresses) {
  unsigned char b[16] = {};
  ks::store_be32(b + 1, 0x01020304);
  EXPECT_EQ(b[1], 1);
  EXPECT_EQ(b[4], 4);
  EXPECT_EQ(ks::load_le32(b + 1), 0x04030201u);
  ks::store64(b + 3, 0x1122334455667788ull, true);
  EXPECT_EQ(ks::load64(b + 3, true), 0x1122334455667788ull);
  EXPECT_EQ(ks::load_be16(b + 3), 0x1122);
  ks::store16(b + 5, 0xABCD, false);
  EXPECT_EQ(b[5], 0xCD);
}
