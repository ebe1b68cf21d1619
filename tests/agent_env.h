// The reader agent for tests and benchmarks: kesfeed serving one folder on a free loopback
// port, and a capture reader connected to it as the capture process connects its own.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "extract/extract.h"
#include "lib/fmt/agent_format.h"

namespace kstest {

// Connects r to the agent on the loopback port (retried for a while: the agent may be
// starting): non-blocking, with room for a whole read, marked remote. False when no agent
// answers.
inline bool connect_agent(int port, ks_reader_t *r) {
  for (int i = 0; i < 100; i++) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int room = 2 * KS_AGENT_MAX_READ;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
      fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
      r->flag |= KS_RDR_REMOTE;
      r->asd = s;
      r->lfd = -1;
      return true;
    }
    close(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class FeedAgent {
 public:
  // Starts the kesfeed program `bin` with its home in `home` (a folder of its own),
  // serving `dir`; ok() tells whether it runs.
  FeedAgent(const std::string &bin, const std::string &home, const std::string &dir) : bin_(bin), home_(home) {
    if (access(bin.c_str(), X_OK) != 0) return;
    std::filesystem::create_directories(home);
    FILE *f = fopen((home + "/kesfeed.conf").c_str(), "w");
    if (f == nullptr) return;
    fprintf(f, "allow %s\n", dir.c_str());
    fclose(f);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    const int port = ntohs(a.sin_port);
    const std::string cmd = "KESFEED_HOME=" + home + " " + bin + " -a 127.0.0.1 -p " + std::to_string(port) + " start";
    if (system(cmd.c_str()) == 0) port_ = port;
  }
  ~FeedAgent() {
    if (port_ > 0 && system(("KESFEED_HOME=" + home_ + " " + bin_ + " stop 2>/dev/null").c_str()) != 0) return;
  }
  FeedAgent(const FeedAgent &) = delete;
  FeedAgent &operator=(const FeedAgent &) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  bool connect_reader(ks_reader_t *r) const { return ok() && connect_agent(port_, r); }

 private:
  std::string bin_, home_;
  int port_ = -1;
};

}  // namespace kstest
