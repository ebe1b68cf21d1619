// The installation home: KESTRO_HOME with exactly one trailing "/", cached per process.
// A value longer than the buffer is refused, never cut: a cut home would name another
// directory, and every file of the installation would be looked for there.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/log/log.h"

namespace {
char home_dir[256];
bool home_read = false;
}  // namespace

const char *ks_get_home_dir() {
  if (home_read) return home_dir;
  home_dir[0] = '\0';
  const char *env = getenv("KESTRO_HOME");
  if (env != nullptr && env[0] != '\0') {
    size_t n = strlen(env);
    if (env[n - 1] == '/') n--;
    if (n + 2 > sizeof home_dir) {
      // The log lives under the home, so this goes to the standard error.
      fprintf(stderr, "KESTRO_HOME is longer than %zu characters: refused.\n", sizeof home_dir - 2);
    } else {
      memcpy(home_dir, env, n);
      home_dir[n] = '/';
      home_dir[n + 1] = '\0';
    }
  }
  home_read = true;
  return home_dir;
}

void ks_reset_home_dir() { home_read = false; }
