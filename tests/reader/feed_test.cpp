// kesfeed as a running daemon, spoken to with the capture process's client functions:
// what it serves and refuses, its limits, and how it starts and stops.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "extract/extract.h"
#include "lib/fmt/agent_format.h"
#include "lib/log/log.h"
#include "tests/agent_env.h"
#include "tests/testutil.h"

namespace {

using kstest::read_file;
using kstest::write_file;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
  return n;
}

std::string today() {
  time_t t = time(nullptr);
  struct tm tm;
  localtime_r(&t, &tm);
  char d[16];
  strftime(d, sizeof d, "%Y%m%d", &tm);
  return d;
}

// A home for the agent (given with a trailing slash, as operators write it), a folder it
// may serve and one beside it that it may not.
struct Feed {
  kstest::TempHome home;
  std::string dir = home.file("feed/");  // KESFEED_HOME
  std::string data = home.file("feed/data");
  int port = kstest::free_port();

  Feed() {
    mkdir(dir.c_str(), 0755);
    mkdir(data.c_str(), 0755);
    mkdir(home.file("secret").c_str(), 0755);
    write_file(home.file("secret/pw"), "hidden");
    write_file(dir + "kesfeed.conf", "# served to extracts\nallow " + data + "\n");
  }
  ~Feed() {
    // A daemon a failed test left running; never another process that took its pid since.
    std::string pid = read_file(dir + "kesfeed.pid");
    if (!pid.empty() && read_file("/proc/" + pid + "/cmdline").find("kesfeed") != std::string::npos)
      kill(std::stoi(pid), SIGKILL);
  }
  // kesfeed <args>, its standard error in *err; the exit status.
  int run(const std::string &args, std::string *err = nullptr, const std::string &home_env = "") const {
    int st = 0;
    std::string env = "KESFEED_HOME='" + (home_env.empty() ? dir : home_env) + "' ";
    std::string out = kstest::sh(env + KS_BIN_DIR "/kesfeed " + args + " 2>&1", &st);
    if (err != nullptr) *err = out;
    return st;
  }
  std::string log() const { return read_file(dir + "log/log_" + today() + ".txt"); }
};

// One client connection with the context the client functions use.
struct Client {
  ks_reader_t r{};
  ks_extr_t ex{};
  explicit Client(int port) {
    ex.r = &r;
    r.asd = -1;
    kstest::connect_agent(port, &r);
  }
  ~Client() {
    if (r.asd >= 0) close(r.asd);
  }
  bool lost() const { return (r.flag & KS_RDR_LOST) != 0; }
};

// Client messages go to a file of the test's home.
struct ClientLog {
  std::string path;
  int fd;
  explicit ClientLog(const kstest::TempHome &h)
      : path(h.file("client.log")), fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {
    ks_log_to_fd(fd);
  }
  ~ClientLog() {
    ks_log_to_fd(-1);
    close(fd);
  }
  std::string text() const { return read_file(path); }
};

TEST(Kesfeed, CommandLineAndConfigurationErrors) {
  Feed f;
  const std::string usage = "usage: " KS_BIN_DIR
                            "/kesfeed [options] start|stop\n    -a, --ipaddr   IP address\n"
                            "    -p, --port     port, default value 9001\n    -c, --config   config file\n"
                            "    start          start reader\n    stop           stop reader\n\n";
  std::string err;
  for (const char *args : {"", "begin", "-x start", "start stop", "-p nine start"}) {
    EXPECT_EQ(f.run(args, &err), 255) << args;
    EXPECT_EQ(err, usage) << args;
  }
  int st = 0;
  err = kstest::sh("env -u KESFEED_HOME " KS_BIN_DIR "/kesfeed start 2>&1", &st);
  EXPECT_EQ(st, 255);
  EXPECT_EQ(err, "env \"KESFEED_HOME\" not set.\n");
  // A configuration that allows nothing, or none at all, serves nothing: no daemon.
  write_file(f.dir + "empty.conf", "# nothing\n");
  EXPECT_EQ(f.run("-c " + f.dir + "empty.conf start", &err), 255);
  EXPECT_NE(err.find("allows no path"), std::string::npos) << err;
  EXPECT_EQ(f.run("-c " + f.dir + "none.conf start", &err), 255);
  EXPECT_NE(err.find("none.conf"), std::string::npos) << err;
  write_file(f.dir + "rel.conf", "allow data\n");
  EXPECT_EQ(f.run("-c " + f.dir + "rel.conf start", &err), 255);
  EXPECT_NE(err.find("not an absolute path"), std::string::npos) << err;
  EXPECT_FALSE(kstest::file_exists(f.dir + "kesfeed.pid"));
  EXPECT_EQ(f.run("stop", &err), 0);
  EXPECT_EQ(err, "open pid file \"" + f.dir + "kesfeed.pid\" error:\nNo such file or directory\n");
}

TEST(Kesfeed, ServesAllowedFilesOnlyAndStops) {
  Feed f;
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 7);
  write_file(f.data + "/log1", big);
  symlink(f.home.file("secret/pw").c_str(), (f.data + "/link").c_str());
  std::string err;
  // The trailing slash of KESFEED_HOME is dropped: the pid file and log are the folder's.
  ASSERT_EQ(f.run("-a 127.0.0.1 -p " + std::to_string(f.port) + " start", &err), 0) << err;
  ClientLog clog(f.home);
  x_net_tmout = 1;
  {
    Client c(f.port);
    ASSERT_GE(c.r.asd, 0);
    std::vector<uint8_t> buf(4 << 20);
    const int fd = ks_open_file_remote(&c.ex, buf.data(), 4096, (f.data + "/log1").c_str());
    ASSERT_GE(fd, 0) << clog.text();
    ASSERT_EQ(ks_read_data_remote(&c.ex, fd, buf.data(), 8192, 4096), 8192);
    EXPECT_EQ(memcmp(buf.data(), big.data() + 4096, 8192), 0);
    EXPECT_EQ(ks_read_data_remote(&c.ex, fd, buf.data(), 100, big.size() - 10), 10);  // end of file
    EXPECT_EQ(ks_read_data_remote(&c.ex, fd, buf.data(), 100, big.size() + 512), 0);  // past it
    // 3 MiB asked for: 2 MiB come back.
    size_t n = ks::agent::put_read(buf.data(), buf.size(), fd, 3 << 20, 0);
    int rcode = 0;
    ASSERT_EQ(ks_perform_agent_command(&c.ex, static_cast<int>(n) - 4, buf.data(), 3 << 20, &rcode), 0);
    EXPECT_EQ(rcode, KS_AGENT_MAX_READ);
    EXPECT_EQ(memcmp(buf.data(), big.data(), KS_AGENT_MAX_READ), 0);
    // Closed: header 0, and the connection goes on.
    EXPECT_EQ(ks_close_file_remote(&c.ex, fd, buf.data(), 4096), 0);
    EXPECT_EQ(ks_read_data_remote(&c.ex, fd, buf.data(), 100, 0), -1);
    EXPECT_NE(clog.text().find("read remote data error.\nmessage: 9-Bad file descriptor"), std::string::npos);

    EXPECT_EQ(ks_open_file_remote(&c.ex, buf.data(), 4096, (f.data + "/missing").c_str()), -1);
    EXPECT_NE(clog.text().find("open remote file error.\nmessage: 2-No such file or directory"), std::string::npos)
        << clog.text();
    // Outside the allowed folder, through "..", through a link out of it, or relative:
    // refused alike, whether the file exists or not.
    for (std::string p : {f.home.file("secret/pw"), f.data + "/../../secret/pw", f.data + "/link",
                          f.home.file("secret/none"), std::string("feed/data/log1")}) {
      EXPECT_EQ(ks_open_file_remote(&c.ex, buf.data(), 4096, p.c_str()), -1) << p;
      EXPECT_NE(f.log().find("open \"" + p + "\" refused: not in an allowed place."), std::string::npos) << p;
    }
    EXPECT_EQ(count(clog.text(), "message: 13-Permission denied"), 5);
    EXPECT_FALSE(c.lost());
    EXPECT_GE(ks_open_file_remote(&c.ex, buf.data(), 4096, (f.data + "/log1").c_str()), 0);

    // An unknown command is not answered: the client's wait ends and the connection is lost.
    ks::store_be32(buf.data(), 4);
    ks::store_be32(buf.data() + 4, 99);
    EXPECT_EQ(ks_perform_agent_command(&c.ex, 4, buf.data(), 4096, &rcode), -1);
    EXPECT_TRUE(c.lost());
    EXPECT_NE(clog.text().find("Wait data from agent timeout."), std::string::npos);
    EXPECT_NE(f.log().find("invalid command: 99"), std::string::npos);
  }
  {
    // A frame longer than the agent's buffer ends the worker; nothing of it is read.
    Client c(f.port);
    uint8_t head[8];
    ks::store_be32(head, KS_AGENT_MAX_READ);
    ks::store_be32(head + 4, KS_AGENT_OPEN);
    int rcode = 0;
    EXPECT_EQ(ks_perform_agent_command(&c.ex, 4, head, sizeof head, &rcode), -1);
    EXPECT_TRUE(c.lost());
    EXPECT_NE(f.log().find("request frame of 2097152 bytes refused"), std::string::npos) << f.log();
  }
  struct stat st;
  ASSERT_EQ(stat((f.dir + "log/log_" + today() + ".txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(f.run("stop", &err), 0);
  EXPECT_EQ(err, "kesfeed server terminated !\n\n");
}

TEST(Kesfeed, ServesEightClientsAtOnceAndIsKilledWhenItIgnoresTheStop) {
  Feed f;
  write_file(f.data + "/log1", std::string(4096, 'r'));
  std::string err;
  ASSERT_EQ(f.run("-p " + std::to_string(f.port) + " start", &err), 0) << err;
  ClientLog clog(f.home);
  x_net_tmout = 2;
  uint8_t buf[4096];
  auto serves = [&](Client &c) { return ks_open_file_remote(&c.ex, buf, sizeof buf, (f.data + "/log1").c_str()) >= 0; };
  std::vector<std::unique_ptr<Client>> eight;
  for (int i = 0; i < 8; i++) {
    eight.push_back(std::make_unique<Client>(f.port));
    ASSERT_TRUE(serves(*eight.back())) << i << clog.text();
  }
  {
    Client ninth(f.port);
    EXPECT_FALSE(serves(ninth));
    EXPECT_TRUE(ninth.lost());
  }
  EXPECT_NE(f.log().find("client links reach the limit: 8"), std::string::npos) << f.log();
  eight.pop_back();  // its worker ends with the connection
  bool again = false;
  for (int i = 0; i < 50 && !again; i++, sleep_ms(100)) {
    Client c(f.port);
    again = serves(c);
  }
  EXPECT_TRUE(again);
  eight.clear();
  // A daemon that does not react to SIGTERM is killed after three tries.
  const pid_t pid = std::stoi(read_file(f.dir + "kesfeed.pid"));
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  EXPECT_EQ(f.run("stop", &err), 0);
  EXPECT_EQ(err, "kesfeed server killed !!!\n\n");
  for (int i = 0; i < 50 && kill(pid, 0) == 0; i++) sleep_ms(100);
  EXPECT_NE(kill(pid, 0), 0);
}

}  // namespace
