// Error and information logs. Files are per day: error<date>.log is shared by every
// process of a unit (each message is one write() of the whole text so lines from
// several processes never interleave); <prefix>_<date>.log belongs to one process.
// Nothing here fails its caller: a file that cannot be opened is simply not written.
#include "lib/log/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/util.h"

#ifndef KS_BUILD_TIME
#define KS_BUILD_TIME "1970-01-01 00:00:00"
#endif

ks_log_t ks_log_inf = {1, KS_LOG_DETAIL, -1, -1, 0, 0, 0, 0, "noname"};
char unit_name[32];
char com_name[32];

namespace {

constexpr size_t kMsgBufSize = 65536;
char msgbuf[kMsgBufSize];
ks_clock_fn clock_fn = nullptr;
int to_fd = -1;  // ks_log_to_fd

struct tm local_now() {
  time_t t = ks_now();
  struct tm tmv;
  localtime_r(&t, &tmv);
  return tmv;
}

int day_key(const struct tm &t) { return ((t.tm_year + 1900) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday; }

// <home>log/[<unit>/]<name><date>.log
void log_path(char *path, size_t n, const char *name, const struct tm &t) {
  char date[16];
  snprintf(date, sizeof date, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  if (unit_name[0] != '\0')
    snprintf(path, n, "%slog/%s/%s%s.log", ks_get_home_dir(), unit_name, name, date);
  else
    snprintf(path, n, "%slog/%s%s.log", ks_get_home_dir(), name, date);
}

// Close the file when the day moved on, open today's when none is open.
void roll(int &fd, int &key, const char *name, const struct tm &t) {
  int today = day_key(t);
  if (fd >= 0 && today > key) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    char path[512];
    log_path(path, sizeof path, name, t);
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    key = today;
  }
}

// A descriptor that fails is closed and not written again; one the log does not own
// (ks_log_to_fd) is only left alone.
void write_all(int &fd, const char *text, size_t len, bool owned = true) {
  while (len > 0 && fd >= 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (owned) close(fd);
      fd = -1;
      return;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

// Header + message + newline in msgbuf; returns the length.
size_t format_message(size_t used, const char *fmt, va_list ap) {
  int n = vsnprintf(msgbuf + used, kMsgBufSize - used - 1, fmt, ap);
  if (n < 0) n = 0;
  size_t len = used + static_cast<size_t>(n);
  if (len > kMsgBufSize - 2) len = kMsgBufSize - 2;
  msgbuf[len++] = '\n';
  msgbuf[len] = '\0';
  return len;
}

uint64_t parse_size(const char *v) {
  uint64_t n = 0;
  const char *p = v;
  while (isdigit(static_cast<unsigned char>(*p))) n = n * 10 + static_cast<uint64_t>(*p++ - '0');
  while (*p == ' ' || *p == '\t') p++;
  switch (*p) {
    case 'K':
    case 'k':
      n *= 1024;
      p++;
      break;
    case 'M':
    case 'm':
      n *= 1024 * 1024;
      p++;
      break;
    case 'G':
    case 'g':
      n *= 1024ULL * 1024 * 1024;
      p++;
      break;
    default:
      break;
  }
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
  if (*p != '\0' || p == v) return 262144;
  return n;
}

}  // namespace

void ks_set_clock(ks_clock_fn fn) { clock_fn = fn; }
time_t ks_now() { return clock_fn != nullptr ? clock_fn() : time(nullptr); }

const char *ks_src_name(const char *path) {
  static thread_local char name[128];
  const char *p = path;
  const char *slash = strchr(p, '/');
  if (slash != nullptr) p = slash + 1;
  size_t n = strlen(p);
  const char *dot = strrchr(p, '.');
  if (dot != nullptr && strchr(dot, '/') == nullptr) n = static_cast<size_t>(dot - p);
  if (n >= sizeof name) n = sizeof name - 1;
  memcpy(name, p, n);
  name[n] = '\0';
  return name;
}

int ks_log_init(const char *cname, int thrd) {
  ks_log_close();
  ks_log_inf.log_type = 1;
  ks_log_inf.log_level = KS_LOG_DETAIL;
  ks_log_inf.file_sz = 0;
  ks_log_inf.fsn = 0;
  ks_log_inf.e_next_day = 0;
  ks_log_inf.i_next_day = 0;
  if (cname == nullptr)
    snprintf(ks_log_inf.prefix, sizeof ks_log_inf.prefix, "noname");
  else if (thrd >= 1)
    snprintf(ks_log_inf.prefix, sizeof ks_log_inf.prefix, "%s_%d", cname, thrd);
  else
    snprintf(ks_log_inf.prefix, sizeof ks_log_inf.prefix, "%s", cname);

  const char *env = getenv("KESTRO_HOME");
  if (env == nullptr) return -1;
  ks_reset_home_dir();
  if (env[0] != '\0' && ks_get_home_dir()[0] == '\0') return -1;  // refused as too long
  char path[512];
  snprintf(path, sizeof path, "%sconfig/log.conf", ks_get_home_dir());
  FILE *fp = fopen(path, "re");
  if (fp == nullptr) return errno == ENOENT ? 0 : -1;
  char line[1025];
  bool size_given = false;
  int rc = 0;
  while (fgets(line, sizeof line, fp) != nullptr) {
    char *eq = strchr(line, '=');
    if (eq == nullptr) continue;
    *eq = '\0';
    char *key = ks_str_rtrim(ks_str_ltrim(line));
    char *val = ks_str_rtrim(ks_str_ltrim(eq + 1));
    if (ks_str_nicmp(key, "logger.type", 11) == 0) {
      if (ks_str_icmp(val, "every_day") == 0)
        ks_log_inf.log_type = 1;
      else if (ks_str_icmp(val, "file_size") == 0)
        ks_log_inf.log_type = 2;
    } else if (ks_str_nicmp(key, "logger.level", 12) == 0) {
      static const struct {
        const char *w;
        int l;
      } levels[] = {{"detail", 5}, {"debug", 6}, {"info", 7}, {"warn", 8}, {"error", 9}};
      for (const auto &lv : levels)
        if (ks_str_icmp(val, lv.w) == 0) ks_log_inf.log_level = lv.l;
    } else if (ks_str_nicmp(key, "logger.file_size", 16) == 0) {
      ks_log_inf.file_sz = parse_size(val);
      size_given = true;
    }
  }
  if (ferror(fp)) rc = -1;
  fclose(fp);
  if (ks_log_inf.log_type == 2 && !size_given) ks_log_inf.file_sz = 262144;
  return rc;
}

void ks_log_to_fd(int fd) { to_fd = fd; }

int ks_log_close() {
  if (ks_log_inf.efd >= 0) close(ks_log_inf.efd);
  if (ks_log_inf.ifd >= 0) close(ks_log_inf.ifd);
  ks_log_inf.efd = -1;
  ks_log_inf.ifd = -1;
  return 0;
}

void ks_log_output_error(const char *file, int line, int level, const char *fmt, ...) {
  if (level < ks_log_inf.log_level) return;
  int saved_errno = errno;
  struct tm t = local_now();
  char ts[32];
  snprintf(ts, sizeof ts, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
           t.tm_min, t.tm_sec);
  int used;
  if (level == KS_LOG_ERROR)
    used = snprintf(msgbuf, kMsgBufSize, "%s [%6d] ERROR at (%s:%d)\n", ts, getpid(), file, line);
  else if (level == KS_LOG_WARN)
    used = snprintf(msgbuf, kMsgBufSize, "%s [%6d] WARNING:\n", ts, getpid());
  else
    used = snprintf(msgbuf, kMsgBufSize, "%s [%6d] UNKNOWN at (%s:%d)\n", ts, getpid(), file, line);
  va_list ap;
  va_start(ap, fmt);
  size_t len = format_message(static_cast<size_t>(used), fmt, ap);
  va_end(ap);
  if (int fd = to_fd; fd >= 0) {
    write_all(fd, msgbuf, len, false);
  } else {
    roll(ks_log_inf.efd, ks_log_inf.e_next_day, "error", t);
    write_all(ks_log_inf.efd, msgbuf, len);
    if (ks_log_inf.ifd >= 0) write_all(ks_log_inf.ifd, msgbuf, len);
  }
  errno = saved_errno;
}

void ks_log_output_info(int level, const char *fmt, ...) {
  if (level < ks_log_inf.log_level) return;
  int saved_errno = errno;
  struct tm t = local_now();
  const char *word = level == KS_LOG_DETAIL  ? "DETAIL"
                     : level == KS_LOG_DEBUG ? "DEBUG "
                     : level == KS_LOG_INFO  ? "INFO  "
                                             : "UNKNOWN";
  int used = snprintf(msgbuf, kMsgBufSize, "%02d:%02d:%02d %s [%6d] ", t.tm_hour, t.tm_min, t.tm_sec, word, getpid());
  va_list ap;
  va_start(ap, fmt);
  size_t len = format_message(static_cast<size_t>(used), fmt, ap);
  va_end(ap);
  if (int fd = to_fd; fd >= 0) {
    write_all(fd, msgbuf, len, false);
  } else {
    char name[48];
    snprintf(name, sizeof name, "%s_", ks_log_inf.prefix);
    roll(ks_log_inf.ifd, ks_log_inf.i_next_day, name, t);
    write_all(ks_log_inf.ifd, msgbuf, len);
  }
  errno = saved_errno;
}

const char *ks_log_get_message() { return msgbuf; }

// The callers' buffers are sized for the exact texts; format into a wide scratch buffer
// first, since the compiler cannot bound struct tm's int fields.
void ks_get_timestamp(char *buf) {
  struct tm t = local_now();
  char tmp[96];
  snprintf(tmp, sizeof tmp, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
           t.tm_min, t.tm_sec);
  memcpy(buf, tmp, 19);
  buf[19] = '\0';
}

void ks_get_date(char *buf) {
  struct tm t = local_now();
  char tmp[48];
  snprintf(tmp, sizeof tmp, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  memcpy(buf, tmp, 8);
  buf[8] = '\0';
}

void ks_get_time(char *buf) {
  struct tm t = local_now();
  char tmp[48];
  snprintf(tmp, sizeof tmp, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
  memcpy(buf, tmp, 8);
  buf[8] = '\0';
}

const char *ks_get_build_time() { return KS_BUILD_TIME; }

void ks_print_copyright() {
  fprintf(stderr,
          "\nKestro Replication for Oracle Database, Release 6.0.0.0\n"
          "Production build on %s\n"
          "Copyright (c) Kestro developers. All rights reserved.\n\n",
          ks_get_build_time());
}
