// extract's command line, walked twice: the first pass (before the log is open) only
// finds the unit, component and thread that name the log files; the second checks and
// applies every option and logs what is wrong.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extract/extract.h"
#include "lib/log/log.h"
#include "lib/util.h"

namespace {

void copy_name(char *dst, const char *src) { snprintf(dst, 32, "%s", src); }

// A 64-bit decimal value of an option; anything else would silently become a wrong
// position or filter, so it is refused.
int take_u8(int argc, char **argv, int &i, const char *missing, uint64_t &out) {
  if (i + 1 >= argc) {
    KS_ERROR("%s", missing);
    return -1;
  }
  const char *v = argv[++i];
  if (ks_str_to_num(v, UINT64_MAX, &out) < 0) {
    KS_ERROR("invalid value \"%s\" of option \"%s\".", v, argv[i - 1]);
    return -1;
  }
  return 0;
}

}  // namespace

int parse_unit_name(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (strcmp(a, "-h") == 0) {
      ks_print_copyright();
    } else if (strcmp(a, "-u") == 0 || strcmp(a, "-c") == 0 || strcmp(a, "-t") == 0) {
      if (i + 1 >= argc) break;
      const char *v = argv[++i];
      if (a[1] == 'u')
        copy_name(unit_name, v);
      else if (a[1] == 'c')
        copy_name(com_name, v);
      else
        x_thrd = atoi(v);
    }
  }
  return (unit_name[0] == '\0' || com_name[0] == '\0') ? -1 : 0;
}

int parse_arguments(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (strcmp(a, "-u") == 0 || strcmp(a, "-c") == 0 || strcmp(a, "-t") == 0) {
      i++;
    } else if (strcmp(a, "-d") == 0) {
      x_need_dict = 1;
    } else if (strcmp(a, "-sscn") == 0) {
      if (take_u8(argc, argv, i, "not specify start SCN.", x_start_scn) < 0) return -1;
    } else if (strcmp(a, "-escn") == 0) {
      if (take_u8(argc, argv, i, "not specify end SCN.", x_end_scn) < 0) return -1;
    } else if (strcmp(a, "-fscn") == 0) {
      if (take_u8(argc, argv, i, "not specify filter SCN.", x_last_scn) < 0) return -1;
    } else if (strcmp(a, "-fxid") == 0) {
      if (take_u8(argc, argv, i, "not specify filter XID.", x_last_xid) < 0) return -1;
    } else {
      KS_ERROR("Invalid option \"%s\".", a);
      return -1;
    }
  }
  return 0;
}
