// kesfeed, the reader agent: a small daemon on the database host that serves the open,
// read and close requests of remote extracts on the host's log files and disk devices.
// It shares nothing with the rest of the system but the wire layout (lib/fmt/agent_format.h);
// its only settings are its command line, its configuration file and KESFEED_HOME.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

#define KS_FEED_MAX_LINKS 8    // workers alive at once
#define KS_FEED_MAX_FDS 32     // descriptors one worker keeps for its client
#define KS_FEED_MAX_ALLOW 64   // allow lines of the configuration
#define KS_FEED_PATH_MAX 4096  // a resolved path

extern char x_home_dir[256];  // KESFEED_HOME without a trailing "/"
extern volatile sig_atomic_t x_stop_server;
extern pid_t x_child[KS_FEED_MAX_LINKS];  // workers alive, -1 = free
extern volatile sig_atomic_t x_nlinks;

// log.cpp: the daily error log <home>/log/log_YYYYMMDD.txt. There is no information log.
void ks_feed_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void ks_feed_log_close();

// signals.cpp
int ks_setsignals();
void ks_block_sigchld(bool block);

// socket.cpp: -1 on failure (logged).
int ks_create_listener(const char *ip, int port);
int ks_accept_client(int lsd);
// One request frame into buf: its size, 0 when the client closed, -1 on error or when
// the frame does not fit in cap bytes.
int ks_recv_data(int sock, uint8_t *buf, size_t cap);
// more: the data that follows at once goes in the same segment (a reply's header).
int ks_send_data(int sock, const void *data, size_t n, bool more = false);
void ks_send_error(int sock, uint8_t *buf, int bsz, int err);

// worker.cpp
// Reads the configuration file: 0, or -1 with the reason in msg.
int ks_load_config(const char *path, char *msg, size_t msz);
// The path to open when `path` may be served (resolved into out), else -1 with errno set
// (EACCES for a path outside the allowed places).
int ks_allowed_path(const char *path, char *out);
void ks_worker(int sock);
