#include "tests/testutil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lib/log/log.h"

namespace kstest {

TempHome::TempHome() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kshome.XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) abort();
  path_ = tmpl + "/";
  for (const char *d : {"bin", "config", "log", "dict", "data", "error", "tmp"}) mkdir((path_ + d).c_str(), 0755);
  if (const char *old = getenv("KESTRO_HOME")) {
    old_home_ = old;
    had_old_ = true;
  }
  setenv("KESTRO_HOME", path_.c_str(), 1);
  ks_reset_home_dir();
}

TempHome::~TempHome() {
  ks_log_close();
  std::error_code ec;
  if (getenv("KS_KEEP_HOME") == nullptr) std::filesystem::remove_all(path_, ec);
  if (had_old_)
    setenv("KESTRO_HOME", old_home_.c_str(), 1);
  else
    unsetenv("KESTRO_HOME");
  ks_reset_home_dir();
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string sh(const std::string &cmd, int *status) {
  std::string out;
  if (status != nullptr) *status = -1;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status != nullptr) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

std::vector<std::string> split_lines(const std::string &s) {
  std::vector<std::string> v;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t e = s.find('\n', pos);
    if (e == std::string::npos) e = s.size();
    v.push_back(s.substr(pos, e - pos));
    pos = e + 1;
  }
  return v;
}

std::string unhex(const std::string &h) {
  std::string b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return b;
}

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

}  // namespace kstest
