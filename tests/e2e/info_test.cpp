// "info" against a running pipeline: both components caught up (idle, apply at the end
// of the trail extract wrote), apply killed with -9 (abended, its last position kept) and
// brought back by the manager (running again, one restart), one component asked for by
// name, and the manager stopped (extract from its checkpoint file, apply out of reach).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/e2e/e2e_env.h"

namespace {

using kstest::E2eEnv;

// The info line of a component ("" when there is none).
std::string line_of(const std::string &out, const std::string &id) {
  for (size_t b = 0, e; b < out.size(); b = e + 1) {
    e = out.find('\n', b);
    if (e == std::string::npos) e = out.size();
    size_t at = b;
    while (out.compare(at, 6, "KESH> ") == 0) at += 6;  // prompts without a newline (input is not a terminal)
    if (out.compare(at, id.size() + 1, id + " ") == 0) return out.substr(at, e - at);
  }
  return "";
}

// The word after a label in an info line ("" when the label is missing).
std::string after(const std::string &line, const std::string &label) {
  size_t p = line.find(label + " ");
  if (p == std::string::npos) return "";
  p += label.size() + 1;
  while (p < line.size() && line[p] == ' ') p++;
  return line.substr(p, line.find(' ', p) - p);
}

// Whether trail position "file/offset" a is at or past b. An idle extract writes a
// heartbeat whenever the source's current SCN has moved on, and apply reads it: idle
// positions only grow.
bool not_behind(const std::string &a, const std::string &b) {
  unsigned long af = 0, ao = 0, bf = 0, bo = 0;
  return sscanf(a.c_str(), "%lu/%lu", &af, &ao) == 2 && sscanf(b.c_str(), "%lu/%lu", &bf, &bo) == 2 &&
         (af > bf || (af == bf && ao >= bo));
}

std::string state_of(const std::string &line) {
  // id, program, state
  size_t p = line.find(' ');
  p = line.find_first_not_of(' ', p);
  p = line.find(' ', p);
  p = line.find_first_not_of(' ', p);
  return p == std::string::npos ? "" : line.substr(p, line.find(' ', p) - p);
}

// Runs info until pred holds for its output (or 20 s pass) → the last output.
template <class Pred>
std::string info_until(E2eEnv &env, const std::string &args, Pred pred) {
  std::string out;
  for (int i = 0; i < 200; i++) {
    env.kesh("info " + args, &out);
    if (pred(out)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return out;
}

TEST(Info, RunningKilledRestartedAndStoppedComponents) {
  // Long enough to see the killed apply before the manager brings it back.
  setenv("KESMON_RESTART_MS", "4000", 1);
  E2eEnv env;
  ASSERT_TRUE(env.ok()) << env.why();
  ASSERT_TRUE(env.instantiate()) << env.why();
  env.set_restart("yes");
  ASSERT_TRUE(env.configure()) << env.why();
  ASSERT_TRUE(env.start_pipeline()) << env.why();
  ASSERT_TRUE(env.start_workload("--txns 120 --rate 300 --realtime --concurrency 2 --seed 17"));
  ASSERT_TRUE(env.wait_workload()) << env.why();
  ASSERT_TRUE(env.wait_identical(60)) << env.last_diff();

  // Caught up: both idle, apply where extract's trail ends, the last commit known.
  std::string out = info_until(env, "", [](const std::string &o) {
    return after(line_of(o, "u1.ext1"), "lag") == "idle" && after(line_of(o, "u1.app1"), "lag") == "idle" &&
           after(line_of(o, "u1.ext1"), "trail") == after(line_of(o, "u1.app1"), "trail");
  });
  std::string ext = line_of(out, "u1.ext1"), app = line_of(out, "u1.app1");
  ASSERT_NE(ext, "") << out;
  ASSERT_NE(app, "") << out;
  EXPECT_EQ(out.find("Manager not running"), std::string::npos) << out;
  EXPECT_NE(out.find("2 components"), std::string::npos) << out;
  EXPECT_EQ(state_of(ext), "running") << out;
  EXPECT_EQ(state_of(app), "running") << out;
  EXPECT_EQ(after(ext, "pid"), std::to_string(env.pid_of("ext1"))) << out;
  EXPECT_EQ(after(app, "pid"), std::to_string(env.pid_of("app1"))) << out;
  EXPECT_EQ(after(ext, "restarts"), "0") << out;
  EXPECT_EQ(after(ext, "lag"), "idle") << out;
  EXPECT_EQ(after(app, "lag"), "idle") << out;
  EXPECT_EQ(after(ext, "trail"), after(app, "trail")) << out;
  EXPECT_NE(after(ext, "seq"), "") << out;
  EXPECT_NE(after(ext, "commit"), "-") << out;
  EXPECT_NE(after(app, "commit"), "-") << out;
  EXPECT_NE(after(ext, "started"), "-") << out;
  EXPECT_NE(ext.find("not captured 0"), std::string::npos) << out;
  EXPECT_NE(app.find("not captured -"), std::string::npos) << out;
  const std::string app_trail = after(app, "trail"), app_scn = after(app, "scn");

  // One component by name.
  ASSERT_TRUE(env.kesh("info u1.ext1", &out)) << out;
  EXPECT_NE(line_of(out, "u1.ext1"), "") << out;
  EXPECT_EQ(line_of(out, "u1.app1"), "") << out;
  EXPECT_FALSE(env.kesh("info u1.nosuch", &out));
  EXPECT_NE(out.find("Component \"u1\".\"nosuch\" not found"), std::string::npos) << out;

  // Killed: abended, with the position it last reached, until the manager restarts it.
  const pid_t old = env.pid_of("app1");
  ASSERT_GT(old, 0);
  ASSERT_EQ(kill(old, SIGKILL), 0);
  out = info_until(env, "u1.app1", [](const std::string &o) { return state_of(line_of(o, "u1.app1")) == "abended"; });
  app = line_of(out, "u1.app1");
  EXPECT_EQ(state_of(app), "abended") << out;
  EXPECT_EQ(after(app, "pid"), std::to_string(old)) << out;
  EXPECT_TRUE(not_behind(after(app, "trail"), app_trail)) << out;
  EXPECT_EQ(after(app, "scn"), app_scn) << out;
  EXPECT_NE(after(app, "lag"), "idle") << out;

  const pid_t now = env.wait_restarted("app1", old);
  ASSERT_GT(now, 0) << env.why();
  out = info_until(env, "u1.app1", [&](const std::string &o) {
    return after(line_of(o, "u1.app1"), "lag") == "idle" && after(line_of(o, "u1.app1"), "pid") == std::to_string(now);
  });
  app = line_of(out, "u1.app1");
  EXPECT_EQ(state_of(app), "running") << out;
  EXPECT_EQ(after(app, "restarts"), "1") << out;
  EXPECT_TRUE(not_behind(after(app, "trail"), app_trail)) << out;
  EXPECT_EQ(after(app, "lag"), "idle") << out;

  // No manager: extract from its checkpoint file, stopped cleanly; apply out of reach.
  ASSERT_TRUE(env.kesh("stop manager", &out)) << out;
  ASSERT_TRUE(env.kesh("info", &out)) << out;
  EXPECT_NE(out.find("Manager not running: extract positions from the check point files."), std::string::npos) << out;
  ext = line_of(out, "u1.ext1");
  app = line_of(out, "u1.app1");
  EXPECT_EQ(state_of(ext), "stopped") << out;
  EXPECT_NE(ext.find("(check point)"), std::string::npos) << out;
  EXPECT_TRUE(not_behind(after(ext, "trail"), app_trail)) << out;
  EXPECT_NE(app.find("position kept in the target (KS_APPLY_CKP)"), std::string::npos) << out;
  unsetenv("KESMON_RESTART_MS");
}

}  // namespace
