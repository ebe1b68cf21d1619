// Runs the built kesh as a child process with pipes on its standard input, output and
// error, so tests can script whole sessions or converse with it line by line. The
// child inherits the test's KESTRO_HOME; it is killed when the session is destroyed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kstest {

class KeshSession {
 public:
  // Starts program (default: kesh from the build) with no arguments.
  explicit KeshSession(const std::string &program = std::string(KS_BIN_DIR) + "/kesh");
  ~KeshSession();
  KeshSession(const KeshSession &) = delete;
  KeshSession &operator=(const KeshSession &) = delete;

  pid_t pid() const { return pid_; }
  void write(const std::string &text);
  void close_input();
  // Bytes written but not yet read by the child.
  int unread_input() const;
  // Reads until stdout holds text at or after offset `from` → true, or the timeout.
  bool wait_for(const std::string &text, double timeout_s, size_t from = 0);
  // Reads whatever arrives within secs.
  void pump(double secs);
  // Closes input, reads to the end and reaps the child → its exit status (-1 on timeout).
  int finish(double timeout_s = 60);
  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }

 private:
  // One poll round of at most ms milliseconds; false once both outputs are closed.
  bool read_some(int ms);
  pid_t pid_ = -1;
  int in_ = -1, outfd_ = -1, errfd_ = -1;
  std::string out_, err_;
};

// A whole scripted session: input written at once, then end of input.
struct KeshRun {
  int status;
  std::string out, err;
};
KeshRun run_kesh(const std::string &input);

// The prompts printed in a session's standard output, in order.
std::vector<std::string> prompts_of(const std::string &out);

}  // namespace kstest
