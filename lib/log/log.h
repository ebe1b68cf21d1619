// Process log: per-day error and information files under <home>log/[<unit>/],
// the start-up banner, and time-stamp helpers. Logging never fails its caller.
#pragma once

#include <cstdint>
#include <ctime>

#define KS_LOG_DETAIL 5
#define KS_LOG_DEBUG 6
#define KS_LOG_INFO 7
#define KS_LOG_WARN 8
#define KS_LOG_ERROR 9

typedef struct __ks_log_s {
  int log_type;      // 1 every_day, 2 file_size
  int log_level;     // 5..9; messages below it are skipped
  int efd;           // error log descriptor, -1 closed
  int ifd;           // information log descriptor, -1 closed
  uint64_t file_sz;  // parsed, not used by any output path
  int fsn;
  int e_next_day;   // day key of the open error file
  int i_next_day;   // day key of the open information file
  char prefix[32];  // this process's log name
} ks_log_t;

extern ks_log_t ks_log_inf;
// Identity used in log paths: empty unit for the console.
extern char unit_name[32];
extern char com_name[32];

// KESTRO_HOME with one trailing "/"; "" when it is not set, or when it is longer than 254
// characters (refused with a message on the standard error).
const char *ks_get_home_dir();
// Forget the cached home so the next call reads KESTRO_HOME again (tests, tools).
void ks_reset_home_dir();

int ks_log_init(const char *cname, int thrd);
int ks_log_close();
// A tool's messages: every message of the level in force goes to the descriptor fd (the
// tool's standard error) instead of the files, which are then never opened; -1 goes back
// to the files.
void ks_log_to_fd(int fd);
void ks_log_output_error(const char *file, int line, int level, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void ks_log_output_info(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The last formatted message (the console prints it after a failed library call).
const char *ks_log_get_message();

void ks_get_timestamp(char *buf);  // "YYYY-MM-DD hh:mm:ss", at least 20 bytes
void ks_get_date(char *buf);       // "YYYYMMDD", at least 9 bytes
void ks_get_time(char *buf);       // "hh:mm:ss", at least 9 bytes
const char *ks_get_build_time();
void ks_print_copyright();

// The clock behind every time stamp; tests replace it to cross midnight without waiting.
typedef time_t (*ks_clock_fn)();
void ks_set_clock(ks_clock_fn fn);  // null restores time()
time_t ks_now();

// "shm/shm_alloc" from "lib/shm/shm_alloc.cpp": the top folder and extension dropped.
const char *ks_src_name(const char *path);

#define KS_ERROR(...) ks_log_output_error(ks_src_name(__FILE__), __LINE__, KS_LOG_ERROR, __VA_ARGS__)
#define KS_WARN(...) ks_log_output_error(ks_src_name(__FILE__), __LINE__, KS_LOG_WARN, __VA_ARGS__)
#define KS_INFO(...) ks_log_output_info(KS_LOG_INFO, __VA_ARGS__)
#define KS_DEBUG(...) ks_log_output_info(KS_LOG_DEBUG, __VA_ARGS__)
#define KS_DETAIL(...) ks_log_output_info(KS_LOG_DETAIL, __VA_ARGS__)

// An error that repeats for as long as a resource stays short (a full file system, a
// write retried at every idle wait): logged as an error at most once a minute from each
// place that reports it, and at debug level in between.
#define KS_ERROR_EVERY_MINUTE(...)                                                              \
  do {                                                                                          \
    static time_t ks_last_logged_ = 0;                                                          \
    const time_t ks_now_ = ks_now();                                                            \
    if (ks_last_logged_ == 0 || ks_now_ - ks_last_logged_ >= 60 || ks_now_ < ks_last_logged_) { \
      ks_last_logged_ = ks_now_;                                                                \
      KS_ERROR(__VA_ARGS__);                                                                    \
    } else {                                                                                    \
      KS_DEBUG(__VA_ARGS__);                                                                    \
    }                                                                                           \
  } while (0)
