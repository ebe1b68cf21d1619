// markedit: print and repair an extract checkpoint file. It reads and rewrites only the
// first 40 bytes of the record (flag .. cls_usn), never the rest, and writes nothing
// unless the read succeeded and a valid action was given. All output goes to stderr.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/bytes.h"
#include "lib/fmt/ckp_format.h"
#include "lib/util.h"

namespace {

enum { CMD_NONE = 0, CMD_CLOSE = 11, CMD_RBA = 12, CMD_TRAIL = 13, CMD_PRINT = 14 };

int cmd_flg = CMD_NONE;
int rba_sqn, rba_blk, rba_byt, trail_fno;
char file_name[256];

// The record as read; only its head (the first KS_CKP_HEAD_SIZE bytes) is used and written.
ks_ckp_t ckp;

void usage(const char *prog) {
  fprintf(stderr,
          "usage: %s [options]\n  -h    print this message\n  -f    input file name\n"
          "  -c    set close normal\n  -rba  set RBA (sqn.blk.byte)\n  -t    set trail file number\n"
          "  -p    print check point information\n\n",
          prog);
}

[[noreturn]] void fail_usage(const char *prog, const char *msg) {
  fputs(msg, stderr);
  usage(prog);
  exit(-1);
}

// "sqn.blk.byte": three numbers split at the first and second dot.
bool parse_rba(const char *s) {
  const char *d1 = strchr(s, '.');
  if (d1 == nullptr) return false;
  const char *d2 = strchr(d1 + 1, '.');
  if (d2 == nullptr) return false;
  rba_sqn = atoi(s);
  rba_blk = atoi(d1 + 1);
  rba_byt = atoi(d2 + 1);
  return true;
}

void parse_args(int argc, char **argv) {
  const char *prog = argv[0];
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (strcmp(a, "-h") == 0) {
      usage(prog);
      exit(-1);
    } else if (strcmp(a, "-f") == 0) {
      if (i + 1 >= argc) fail_usage(prog, "not specify input file name.\n");
      snprintf(file_name, sizeof file_name, "%s", argv[++i]);
    } else if (strcmp(a, "-c") == 0) {
      cmd_flg = CMD_CLOSE;
    } else if (strcmp(a, "-rba") == 0) {
      if (i + 1 >= argc) fail_usage(prog, "not specify RBA.\n");
      if (!parse_rba(argv[++i])) fail_usage(prog, "RBA format error.\n");
      cmd_flg = CMD_RBA;
    } else if (strcmp(a, "-t") == 0) {
      if (i + 1 >= argc) fail_usage(prog, "not specify trail file number.\n");
      trail_fno = atoi(argv[++i]);
      cmd_flg = CMD_TRAIL;
    } else if (strcmp(a, "-p") == 0) {
      cmd_flg = CMD_PRINT;
    } else {
      char msg[300];
      snprintf(msg, sizeof msg, "invalid option [%s]\n", a);
      fail_usage(prog, msg);
    }
  }
}

void print_ckp() {
  fprintf(stderr, "           File name: %s\n", file_name);
  if (ckp.flag & KS_CKP_CLOSED)
    fprintf(stderr, "              Status: closed\n");
  else if (ckp.flag & KS_CKP_OPEN)
    fprintf(stderr, "              Status: opened\n");
  else
    fprintf(stderr, "              Status: unknown\n");
  if (ckp.flag & KS_CKP_BIG_ENDIAN) fprintf(stderr, "     Log file endian: BIG\n");
  fprintf(stderr, "        Log file RBA: %d.%d.%d\n", static_cast<int>(ckp.rba_sqn), static_cast<int>(ckp.rba_blk),
          static_cast<int>(ckp.rba_byt));
  fprintf(stderr, "     Log file blocks: %d\n", static_cast<int>(ckp.blks));
  fprintf(stderr, " Log file block size: %d\n", static_cast<int>(ckp.blk_sz));
  fprintf(stderr, "    Log file version: %d.%x\n", static_cast<int>(ckp.vsn >> 24),
          static_cast<unsigned>((ckp.vsn >> 16) & 0xFF));
  fprintf(stderr, "Trail file last seq#: %d\n", static_cast<int>(ckp.last_fno));
}

}  // namespace

int main(int argc, char **argv) {
  parse_args(argc, argv);

  int fd = ks_open_file(file_name, O_RDWR);
  if (fd < 0) {
    fprintf(stderr, "open %s: %s\n", file_name, strerror(errno));
    return -1;
  }
  uint8_t raw[KS_CKP_SIZE] = {};
  ssize_t n = ks_read_data(fd, raw, sizeof raw, 0);
  if (n < 0) {
    fprintf(stderr, "read %s: %s\n", file_name, strerror(errno));
    close(fd);
    return -1;
  }
  if (n < static_cast<ssize_t>(KS_CKP_HEAD_SIZE)) {
    fprintf(stderr, "read check point file not complete.\n");
    close(fd);
    return -1;
  }
  ckp = ks::load<ks_ckp_t>(raw);

  switch (cmd_flg) {
    case CMD_CLOSE:
      ckp.flag = (ckp.flag & ~static_cast<uint32_t>(KS_CKP_OPEN)) | KS_CKP_CLOSED;
      break;
    case CMD_RBA:
      ckp.rba_sqn = static_cast<uint32_t>(rba_sqn);
      ckp.rba_blk = static_cast<uint32_t>(rba_blk);
      ckp.rba_byt = static_cast<uint32_t>(rba_byt);
      break;
    case CMD_TRAIL:
      ckp.last_fno = static_cast<uint32_t>(trail_fno);
      break;
    case CMD_PRINT:
      print_ckp();
      close(fd);
      return 0;
    default:
      fprintf(stderr, "invalid command.\n");
      close(fd);
      return -1;
  }

  ks::store(raw, ckp);
  if (ks_write_data(fd, raw, KS_CKP_HEAD_SIZE, 0) != static_cast<ssize_t>(KS_CKP_HEAD_SIZE) || fsync(fd) != 0) {
    fprintf(stderr, "write %s: %s\n", file_name, strerror(errno));
    close(fd);
    return -1;
  }
  close(fd);
  fprintf(stderr, "command execute OK.\n");
  return 0;
}
