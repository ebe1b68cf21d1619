// The installation home: KESTRO_HOME with exactly one trailing "/", cached per process.
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
    if (n > 253) n = 253;
    memcpy(home_dir, env, n);
    home_dir[n] = '/';
    home_dir[n + 1] = '\0';
  }
  home_read = true;
  return home_dir;
}

void ks_reset_home_dir() { home_read = false; }
