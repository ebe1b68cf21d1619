// Reading one command from standard input, character by character.
//
// A terminal is put into non-canonical mode without echo, so the console echoes and
// edits the line itself (erase, kill-line; escape sequences are ignored) while the
// terminal still turns Ctrl+C into SIGINT. Piped input is read in blocks and takes
// the same path without echo. A line is collected whole and then folded into the
// command: ";" or "/" outside quotes ends the command and the rest of that line is
// dropped; otherwise the line stays in the buffer followed by a newline, and only add
// and modify commands go on to the next line. SIGINT (x_intr) abandons everything
// collected. The buffer never holds more than KS_INPUT_SZ - 1 characters.
#include <errno.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "console/kesh.h"

namespace {

bool g_tty = false;
bool g_raw = false;
bool g_eof = false;
struct termios g_saved;
struct termios g_rawmode;
char g_rbuf[4096];
ssize_t g_rlen = 0, g_rpos = 0;

void echo(const char *s, size_t n) {
  if (!g_tty) return;
  fwrite(s, 1, n, stdout);
  fflush(stdout);
}

// → 1 with a character, 0 at end of input (or a read error), -1 when SIGINT arrived.
int get_char(char *c) {
  for (;;) {
    if (x_intr) return -1;
    if (g_rpos < g_rlen) {
      *c = g_rbuf[g_rpos++];
      return 1;
    }
    ssize_t n = read(STDIN_FILENO, g_rbuf, g_tty ? 1 : sizeof g_rbuf);
    if (n > 0) {
      g_rlen = n;
      g_rpos = 0;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

void erase_chars(size_t n) {
  for (size_t i = 0; i < n; ++i) echo("\b \b", 3);
}

// Swallows the rest of an escape sequence (arrow and function keys).
void skip_escape() {
  char c;
  if (get_char(&c) != 1) return;
  if (c != '[' && c != 'O') return;
  while (get_char(&c) == 1)
    if (c >= 0x40 && c <= 0x7E) return;
}

}  // namespace

void ks_input_setup() {
  g_tty = isatty(STDIN_FILENO) == 1;
  if (!g_tty || tcgetattr(STDIN_FILENO, &g_saved) != 0) {
    g_tty = false;
    return;
  }
  g_rawmode = g_saved;
  g_rawmode.c_lflag &= ~tcflag_t(ICANON | ECHO);
  g_rawmode.c_lflag |= ISIG;
  g_rawmode.c_cc[VMIN] = 1;
  g_rawmode.c_cc[VTIME] = 0;
  g_raw = true;
}

// Both are called from signal handlers too (tcsetattr is async-signal-safe).
void ks_input_restore() {
  if (g_raw) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

void ks_input_reapply() {
  if (g_raw) tcsetattr(STDIN_FILENO, TCSANOW, &g_rawmode);
}

bool ks_is_multiline(const char *text) {
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') text++;
  size_t n = 0;
  while (text[n] != '\0' && text[n] != ' ' && text[n] != '\t' && text[n] != '\n' && text[n] != '\r') n++;
  return (n == 3 && std::strncmp(text, "add", 3) == 0) || (n == 6 && std::strncmp(text, "modify", 6) == 0);
}

int ks_input_command(ks_input_t *in) {
  in->flag = 0;
  in->tail = 0;
  in->cmdbuf[0] = '\0';
  if (g_eof) return KS_IN_EOF;
  // Re-applied at every prompt: a shell may have restored its own modes after a
  // suspend.
  if (g_raw) tcsetattr(STDIN_FILENO, TCSANOW, &g_rawmode);
  const cc_t verase = g_raw ? g_rawmode.c_cc[VERASE] : 0x7f;
  const cc_t vkill = g_raw ? g_rawmode.c_cc[VKILL] : 0x15;
  const cc_t veof = g_raw ? g_rawmode.c_cc[VEOF] : 0x04;
  const size_t limit = KS_INPUT_SZ - 1;
  char quote = 0;
  std::string line;
  bool too_long = false;
  for (;;) {
    char c;
    int r = get_char(&c);
    if (r < 0) {
      echo("\n", 1);
      fputs("CTRL+C Interrupt input.\n", stdout);
      fflush(stdout);
      in->tail = 0;
      in->cmdbuf[0] = '\0';
      return KS_IN_ABANDON;
    }
    bool end_of_line = false;
    if (r == 0) {
      g_eof = true;
      if (line.empty() && !too_long) {
        echo("\n", 1);
        return KS_IN_EOF;
      }
      end_of_line = true;
    } else if (c == '\n' || (g_tty && c == '\r')) {
      echo("\n", 1);
      end_of_line = true;
    } else if (g_tty) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u == veof) {
        if (line.empty() && in->tail == 0) {
          g_eof = true;
          echo("\n", 1);
          return KS_IN_EOF;
        }
        continue;
      }
      if (u == verase || u == 0x7f || u == 0x08) {
        if (!line.empty()) {
          line.pop_back();
          erase_chars(1);
        }
        continue;
      }
      if (u == vkill) {
        erase_chars(line.size());
        line.clear();
        continue;
      }
      if (u == 0x1b) {
        skip_escape();
        continue;
      }
      if (u < 0x20 && c != '\t') continue;
      echo(&c, 1);
    }
    if (!end_of_line) {
      if (line.size() + in->tail >= limit)
        too_long = true;
      else if (c != '\r')
        line.push_back(c);
      continue;
    }
    if (too_long) {
      fputs("Command text too long.\n", stdout);
      fflush(stdout);
      in->tail = 0;
      in->cmdbuf[0] = '\0';
      return KS_IN_ABANDON;
    }
    // Fold the finished line into the command.
    for (char ch : line) {
      if (quote != 0) {
        if (ch == quote) quote = 0;
      } else if (ch == '"' || ch == '\'') {
        quote = ch;
      } else if (ch == ';' || ch == '/') {
        in->flag |= KS_INPUT_END;
        break;
      }
      in->cmdbuf[in->tail++] = ch;
    }
    in->cmdbuf[in->tail] = '\0';
    line.clear();
    if (in->flag & KS_INPUT_END) return KS_IN_COMMAND;
    if (!ks_is_multiline(in->cmdbuf)) return KS_IN_COMMAND;
    if (g_eof) return KS_IN_EOF;  // an add or modify that never ended
    if (in->tail + 1 >= limit) {
      fputs("Command text too long.\n", stdout);
      fflush(stdout);
      in->tail = 0;
      in->cmdbuf[0] = '\0';
      return KS_IN_ABANDON;
    }
    in->cmdbuf[in->tail++] = '\n';
    in->cmdbuf[in->tail] = '\0';
  }
}
