// Helpers shared by the test suites: a private home directory per test and an
// injectable clock.
#pragma once

#include <string>
#include <vector>

namespace kstest {

// A fresh home directory (with the usual folders) under the system temp dir, exported as
// KESTRO_HOME for the test's lifetime and removed afterwards.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome &) = delete;
  TempHome &operator=(const TempHome &) = delete;
  const std::string &path() const { return path_; }  // ends with '/'
  std::string file(const std::string &rel) const { return path_ + rel; }

 private:
  std::string path_;
  std::string old_home_;
  bool had_old_ = false;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool file_exists(const std::string &path);
// Standard output of a shell command; its exit status (-1 when it did not exit) in status.
std::string sh(const std::string &cmd, int *status = nullptr);
// The lines of a text, without their newlines; empty lines kept.
std::vector<std::string> split_lines(const std::string &s);
// Bytes from hex digits ("0a1B" -> "\x0a\x1b").
std::string unhex(const std::string &h);
// A TCP port on the loopback that nobody listens on now (for a test's own server).
int free_port();

}  // namespace kstest
