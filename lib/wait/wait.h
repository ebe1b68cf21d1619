// Idle waits at the end of an input that another process is still writing (the online
// redo log for extract, the trail file for apply): the wait ends as soon as the input
// changes, and the idle wait stays its upper bound.
//
// Protocol, which never loses a wake-up: call ks_wait_look (or ks_wait_look_dir) just
// before looking at the input, then, when the look found nothing new, ks_wait_idle. The
// look sets the watch, or keeps the one already set on the same file, and forgets the
// changes reported so far (the look about to be made sees them); a change made after it
// is reported to the wait that follows, however soon it comes.
//
// Where no watch can be set (inotify limits, /proc not mounted, a file that cannot be
// watched) the wait is the plain sleep of old, and that is logged once per ks_wait_t.
// A file system whose changes are made elsewhere (a network file system) may not report
// them: the wait then simply lasts its bound.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct ks_wait_t {
  int ifd = -1;   // inotify instance, -1 when none
  int wd = -1;    // the watch, -1 when none
  dev_t dev = 0;  // the file or folder watched (or that could not be watched)
  ino_t ino = 0;
  bool warned = false;   // the fall-back to sleeping has been logged
  int64_t noted_ms = 0;  // when ks_wait_note_due last answered true (monotonic ms), 0 never
  char prefix[64] = {};  // a folder watch: the names that count (start and end)
  char suffix[16] = {};
};

// Why ks_wait_idle returned.
enum {
  KS_WAIT_TIMEOUT = 0,  // the bound passed with no change
  KS_WAIT_DATA = 1,     // the watched input changed
  KS_WAIT_SIGNAL = 2,   // a signal cut the wait short
  KS_WAIT_SLEPT = 3,    // no watch: slept to the bound (or until a signal)
};

// Releases the watch and the inotify instance.
void ks_wait_close(ks_wait_t *w);

// Before a look at the file open on fd (name: for the message only): 0 when it is
// watched, -1 when the next wait will sleep instead (logged once). The watch follows the
// file itself, whatever name it has now.
int ks_wait_look(ks_wait_t *w, int fd, const char *name);
// The same for a folder: wakes when a file in it whose name starts with prefix and ends
// with suffix is created, renamed into it or written; other files' changes are passed over.
int ks_wait_look_dir(ks_wait_t *w, const char *dir, const char *prefix, const char *suffix);

// After a look that found nothing new: waits for a change of what the last look watched,
// at most timeout_ms. Returns one of the KS_WAIT_ codes.
int ks_wait_idle(ks_wait_t *w, int timeout_ms);

// True when the caller's "end of input" message is due: the first time, then at most once
// every `seconds`, so a busy input woken many times a second logs no more than an idle one.
bool ks_wait_note_due(ks_wait_t *w, int seconds);
