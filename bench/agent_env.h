// The reader agent for the capture benchmarks: kesfeed (built beside the benchmark)
// serving one folder on a free loopback port, and a capture reader connected to it.
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

namespace ksbench {

class Agent {
 public:
  // Starts kesfeed with its home in `home` (a folder of its own), serving `dir`.
  Agent(const std::string &home, const std::string &dir) : home_(home) {
    bin_ = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "kesfeed").string();
    if (access(bin_.c_str(), X_OK) != 0) return;
    std::filesystem::create_directories(home);
    FILE *f = fopen((home + "/kesfeed.conf").c_str(), "w");
    if (f == nullptr) return;
    fprintf(f, "allow %s\n", dir.c_str());
    fclose(f);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    const int port = ntohs(a.sin_port);
    const std::string cmd = "KESFEED_HOME=" + home + " " + bin_ + " -a 127.0.0.1 -p " + std::to_string(port) + " start";
    if (system(cmd.c_str()) == 0) port_ = port;
  }
  ~Agent() {
    if (port_ > 0 && system(("KESFEED_HOME=" + home_ + " " + bin_ + " stop 2>/dev/null").c_str()) != 0) return;
  }

  // Points the reader at the agent, as the capture process's reader does it; false when
  // the agent is not there.
  bool connect_reader(ks_reader_t *r) const {
    if (port_ <= 0) return false;
    for (int i = 0; i < 100; i++) {
      int s = socket(AF_INET, SOCK_STREAM, 0);
      int room = 2 * KS_AGENT_MAX_READ;
      setsockopt(s, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
      sockaddr_in a = loopback(port_);
      if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        x_net_tmout = 10;
        r->flag = KS_RDR_REMOTE;
        r->asd = s;
        r->lfd = -1;
        return true;
      }
      close(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  std::string home_, bin_;
  int port_ = -1;
};

}  // namespace ksbench
