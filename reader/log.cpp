// The daily error log. Each process (daemon or worker) opens its own descriptor to the
// day's file in append mode, so lines of several workers never overwrite each other.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "reader/kesfeed.h"

namespace {

int x_efd = -1;
uint32_t x_next_day = 0;  // date key (YYYYMMDD) of the open file

}  // namespace

void ks_feed_log_close() {
  if (x_efd >= 0) close(x_efd);
  x_efd = -1;
  x_next_day = 0;
}

void ks_feed_log(const char *fmt, ...) {
  const int saved = errno;
  const time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  const uint32_t day = static_cast<uint32_t>((tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday);
  if (x_efd >= 0 && day != x_next_day) ks_feed_log_close();
  if (x_efd < 0) {
    char path[512];
    snprintf(path, sizeof path, "%s/log/log_%04d%02d%02d.txt", x_home_dir, tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday);
    x_efd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (x_efd < 0) {
      errno = saved;
      return;
    }
    x_next_day = day;
  }
  char line[2048];
  int n = snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d [%6d] ERROR ", tm.tm_year + 1900, tm.tm_mon + 1,
                   tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(getpid()));
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
  va_end(ap);
  size_t len = 0;
  while (line[len] != '\0') len++;
  line[len++] = '\n';  // the message was cut one byte short of the buffer to leave room
  for (size_t done = 0; done < len;) {
    ssize_t w = write(x_efd, line + done, len - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ks_feed_log_close();  // the next line opens the file again
      break;
    }
    done += static_cast<size_t>(w);
  }
  errno = saved;
}
