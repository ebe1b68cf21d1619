// kesh in a real terminal, driven through tmux: the prompt, the console's own echo and
// erase, a multi-line add waiting for more, Ctrl+C abandoning it, and the "*" of
// unsaved changes coming and going. Skipped when tmux is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/testutil.h"

namespace {

std::string run(const std::string &cmd) { return kstest::sh(cmd); }

class Tmux {
 public:
  explicit Tmux(const std::string &sock) : sock_(sock) {}
  ~Tmux() { cmd("kill-server"); }
  int cmd(const std::string &args) const {
    return system(("tmux -S '" + sock_ + "' " + args + " >/dev/null 2>&1").c_str());
  }
  std::string screen() const { return run("tmux -S '" + sock_ + "' capture-pane -p -t ks 2>/dev/null"); }
  // Waits until the screen holds text n times (n-th occurrence) → the screen, or "".
  std::string wait_for(const std::string &text, int n = 1, double secs = 10) const {
    for (int i = 0; i < int(secs * 20); ++i) {
      std::string s = screen();
      int found = 0;
      for (size_t p = s.find(text); p != std::string::npos; p = s.find(text, p + 1)) found++;
      if (found >= n) return s;
      usleep(50000);
    }
    return "";
  }
  void keys(const std::string &k) const { cmd("send-keys -t ks " + k); }

 private:
  std::string sock_;
};

std::vector<std::string> lines_of(const std::string &s) {
  std::vector<std::string> v;
  size_t b = 0;
  for (size_t e; (e = s.find('\n', b)) != std::string::npos; b = e + 1) {
    std::string l = s.substr(b, e - b);
    while (!l.empty() && l.back() == ' ') l.pop_back();
    v.push_back(l);
  }
  while (!v.empty() && v.back().empty()) v.pop_back();
  return v;
}

TEST(Terminal, PromptEchoAndCtrlCInARealTerminal) {
  if (system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  kstest::TempHome home;
  Tmux t(home.file("tmp/tmux.sock"));
  const std::string kesh = std::string(KS_BIN_DIR) + "/kesh";
  ASSERT_EQ(t.cmd("new-session -d -s ks -x 100 -y 50 \"env KESTRO_HOME='" + home.path() + "' '" + kesh + "'\""), 0);
  ASSERT_NE(t.wait_for("KESH>"), "") << t.screen();

  // A multi-line add waits; Ctrl+C throws it away and prompts again.
  t.keys("'add unit u1' Enter");
  t.keys("'(more'");
  ASSERT_NE(t.wait_for("(more"), "");
  t.keys("C-c");
  std::string s = t.wait_for("CTRL+C Interrupt input.");
  ASSERT_NE(s, "") << t.screen();
  EXPECT_EQ(s.find("Command \"add\""), std::string::npos) << s;
  ASSERT_NE(t.wait_for("KESH>", 2), "");

  // Typed text is echoed and erase works: "lisx<BS>t unit" runs "list unit".
  t.keys("'lisx' BSpace \"t unit\" Enter");
  s = t.wait_for("rows listed");
  ASSERT_NE(s, "") << t.screen();
  EXPECT_NE(s.find("KESH> list unit\n0 rows listed"), std::string::npos) << s;

  // The "*" comes with an unsaved change and goes with save.
  t.keys("'add unit u2 /' Enter");  // (a ";" would end the tmux command)
  s = t.wait_for("*KESH>");
  ASSERT_NE(s, "") << t.screen();
  t.keys("'save config' Enter");
  s = t.wait_for("Command \"save\" complete.");
  ASSERT_NE(s, "") << t.screen();
  std::vector<std::string> l = lines_of(t.wait_for("KESH>", 5));
  ASSERT_FALSE(l.empty());
  EXPECT_EQ(l.back(), "KESH>") << s;

  t.keys("'exit' Enter");
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = t.cmd("has-session -t ks") != 0;
    if (!gone) usleep(50000);
  }
  EXPECT_TRUE(gone) << t.screen();
  EXPECT_NE(kstest::read_file(home.file("config/config.db")).find("u2"), std::string::npos);
}

}  // namespace
