// kesfeed: command line, start (daemon, listener, accept loop with one forked worker per
// client) and stop.
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/fmt/agent_format.h"
#include "reader/kesfeed.h"

char x_home_dir[256];
volatile sig_atomic_t x_stop_server = 0;
pid_t x_child[KS_FEED_MAX_LINKS];
volatile sig_atomic_t x_nlinks = 0;

namespace {

const struct option x_opts[] = {{"ipaddr", required_argument, nullptr, 'a'},
                                {"port", required_argument, nullptr, 'p'},
                                {"config", required_argument, nullptr, 'c'},
                                {nullptr, 0, nullptr, 0}};

int usage(const char *prog) {
  fprintf(stderr,
          "usage: %s [options] start|stop\n"
          "    -a, --ipaddr   IP address\n"
          "    -p, --port     port, default value 9001\n"
          "    -c, --config   config file\n"
          "    start          start reader\n"
          "    stop           stop reader\n\n",
          prog);
  return -1;
}

bool alive(pid_t pid) { return kill(pid, 0) == 0; }

int ks_stop_server() {
  char path[300];
  snprintf(path, sizeof path, "%s/kesfeed.pid", x_home_dir);
  FILE *f = fopen(path, "re");
  if (f == nullptr) {
    fprintf(stderr, "open pid file \"%s\" error:\n%s\n", path, strerror(errno));
    return 0;
  }
  long pid = 0;
  const bool read_ok = fscanf(f, "%ld", &pid) == 1 && pid > 0;
  fclose(f);
  if (!read_ok) {
    fprintf(stderr, "open pid file \"%s\" error:\n%s\n", path, strerror(EINVAL));
    return 0;
  }
  bool gone = false;
  for (int i = 0; i < 3 && !gone; i++) {
    kill(static_cast<pid_t>(pid), SIGTERM);
    sleep(1);
    gone = !alive(static_cast<pid_t>(pid));
  }
  if (!gone) {
    kill(static_cast<pid_t>(pid), SIGKILL);
    fprintf(stderr, "kesfeed server killed !!!\n\n");
  } else {
    fprintf(stderr, "kesfeed server terminated !\n\n");
  }
  return 0;
}

int ks_daemonize() {
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "go to DAEMON mode error.\n%s\n", strerror(errno));
    exit(-1);
  }
  if (pid > 0) exit(0);
  setsid();
  pid = fork();
  if (pid < 0) {
    fprintf(stderr, "go to DAEMON mode error.\n%s\n", strerror(errno));
    exit(-1);
  }
  if (pid > 0) exit(0);
  for (int fd = 0; fd < 3; fd++) close(fd);
  int fd = open("/dev/null", O_RDWR);
  // Descriptors 0, 1 and 2 all refer to /dev/null; nothing is left to report a failure to.
  if (fd == 0 && (dup(fd) != 1 || dup(fd) != 2)) fd = -1;
  // Files this daemon creates (its log, its pid file) are readable by all, writable by
  // it alone.
  umask(022);
  return 0;
}

int write_pid_file() {
  char path[300];
  snprintf(path, sizeof path, "%s/kesfeed.pid", x_home_dir);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    ks_feed_log("open pid file error: %s", strerror(errno));
    return -1;
  }
  char text[32];
  int n = snprintf(text, sizeof text, "%d", static_cast<int>(getpid()));
  const bool ok = write(fd, text, static_cast<size_t>(n)) == n;
  close(fd);
  if (!ok) ks_feed_log("open pid file error: %s", strerror(errno));
  return ok ? 0 : -1;
}

void record_worker(pid_t pid) {
  for (pid_t &c : x_child) {
    if (c == -1) {
      c = pid;
      x_nlinks = x_nlinks + 1;
      return;
    }
  }
  kill(pid, SIGTERM);  // no free slot: the count would no longer hold
}

[[noreturn]] void serve(int lsd) {
  while (!x_stop_server) {
    int sock = ks_accept_client(lsd);
    if (sock < 0) {
      if (errno != EINTR) {
        ks_feed_log("accept client connection error.");
        sleep(1);
      }
      continue;
    }
    if (x_nlinks >= KS_FEED_MAX_LINKS) {
      ks_feed_log("client links reach the limit: %d", KS_FEED_MAX_LINKS);
      close(sock);
      continue;
    }
    ks_block_sigchld(true);
    pid_t pid = fork();
    if (pid == 0) {
      ks_block_sigchld(false);
      close(lsd);
      // Room for a whole 2 MiB reply: it leaves in one go rather than in pieces, each
      // waiting for the client to make room.
      int room = 2 * KS_AGENT_MAX_READ;
      setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
      // The tail of a reply goes at once, not after the client's acknowledgement.
      int on = 1;
      setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      int fl = fcntl(sock, F_GETFL);
      if (fl < 0 || fcntl(sock, F_SETFL, fl | O_NONBLOCK) < 0) ks_feed_log("fcntl(): %s", strerror(errno));
      ks_worker(sock);
      close(sock);
      ks_feed_log_close();
      _exit(0);
    }
    const int err = errno;
    close(sock);
    if (pid > 0) record_worker(pid);
    ks_block_sigchld(false);
    if (pid < 0) {
      ks_feed_log("for(): %s", strerror(err));
      break;
    }
  }
  shutdown(lsd, SHUT_RDWR);
  ks_block_sigchld(true);
  for (pid_t &c : x_child) {
    if (c > 0) {
      kill(c, SIGTERM);
      waitpid(c, nullptr, WNOHANG);
    }
    c = -1;
  }
  x_nlinks = 0;
  close(lsd);
  ks_feed_log_close();
  exit(0);
}

}  // namespace

int main(int argc, char **argv) {
  char ip[16] = "";
  int port = 0;
  char config[256] = "";
  int c;
  opterr = 0;
  while ((c = getopt_long(argc, argv, "a:p:c:", x_opts, nullptr)) != -1) {
    char *end = nullptr;
    switch (c) {
      case 'a':
        if (strlen(optarg) >= sizeof ip) return usage(argv[0]);
        snprintf(ip, sizeof ip, "%s", optarg);
        break;
      case 'p': {
        long v = strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || v < 0 || v > 65535) return usage(argv[0]);
        port = static_cast<int>(v);
        break;
      }
      case 'c':
        if (strlen(optarg) >= sizeof config) return usage(argv[0]);
        snprintf(config, sizeof config, "%s", optarg);
        break;
      default:
        return usage(argv[0]);
    }
  }
  if (optind != argc - 1) return usage(argv[0]);
  const char *word = argv[optind];
  const bool start = strcmp(word, "start") == 0;
  if (!start && strcmp(word, "stop") != 0) return usage(argv[0]);
  const char *home = getenv("KESFEED_HOME");
  if (home == nullptr) {
    fprintf(stderr, "env \"KESFEED_HOME\" not set.\n");
    return -1;
  }
  snprintf(x_home_dir, sizeof x_home_dir, "%s", home);
  size_t n = strlen(x_home_dir);
  if (n > 1 && x_home_dir[n - 1] == '/') x_home_dir[n - 1] = '\0';
  if (!start) return ks_stop_server();

  if (port == 0) port = KS_AGENT_PORT;
  if (config[0] == '\0') snprintf(config, sizeof config, "%s/kesfeed.conf", x_home_dir);
  // Checked before the daemon goes: a configuration that serves nothing is the operator's
  // to see on the terminal, not in a log.
  char msg[512];
  if (ks_load_config(config, msg, sizeof msg) < 0) {
    fprintf(stderr, "%s\n", msg);
    return -1;
  }
  for (pid_t &p : x_child) p = -1;
  ks_daemonize();
  char logdir[300];
  snprintf(logdir, sizeof logdir, "%s/log", x_home_dir);
  mkdir(logdir, 0755);
  if (ks_setsignals() < 0) {
    ks_feed_log("set signals error.");
    exit(-1);
  }
  if (write_pid_file() < 0) exit(-1);
  int lsd = ks_create_listener(ip, port);
  if (lsd < 0) {
    ks_feed_log("create listener error.");
    exit(-1);
  }
  serve(lsd);
}
