// The console kesh: its globals, command handlers and the small parser shared by the
// configuration commands.
//
// One process, one thread. x_cfg is the editing buffer of "config.db", opened by the
// first command that needs it and kept for the life of the console; only "save config"
// writes it back. Command handlers take the text after the command word and return 0
// or -1; they print their own messages (errors to standard error, listings to standard
// output) and the loop prints the "complete" / "execute error" line.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/cfg/cfg.h"

#define KS_INPUT_SZ 65536
#define KS_INPUT_END 0x2  // ks_input_t.flag: the command ended with ";" or "/"

typedef struct __ks_input_s {
  uint32_t flag;
  uint32_t tail;  // characters collected
  char cmdbuf[KS_INPUT_SZ];
} ks_input_t;

typedef int (*ks_cmd_fn)(char *args);
typedef struct __ks_cmdmap_s {
  char cmd_name[32];
  ks_cmd_fn cmd_function;
} ks_cmdmap_t;

extern ks_input_t x_input;
extern const ks_cmdmap_t x_cmdmap[];
extern ks_cfg_t x_cfg;
extern volatile sig_atomic_t x_intr;

// ---- command loop (kesh.cpp, input.cpp) ----
// Results of ks_input_command.
#define KS_IN_COMMAND 0  // a command is in cmdbuf
#define KS_IN_ABANDON 1  // Ctrl+C or over-long text: nothing to run
#define KS_IN_EOF 2      // end of input (cmdbuf may hold a last line)
int ks_input_command(ks_input_t *in);
// Puts the terminal into character-wise mode when standard input is one; restored by
// ks_input_restore (also at exit).
void ks_input_setup();
void ks_input_restore();
// Character-wise mode again (after the console was stopped and continued).
void ks_input_reapply();
// Runs one trimmed command text: table lookup, handler, result line. → handler result,
// or -1 for an unknown command.
int ks_run_command(char *text);
// True when a command that begins this text spans lines until ";" or "/".
bool ks_is_multiline(const char *text);

// ---- built-in handlers (cmd_table.cpp) ----
int ks_help_handle(char *args);
int ks_save_config(char *args);
int ks_reload_config(char *args);
int ks_reset_config(char *args);
int ks_test_command(char *args);
// Opens the editing buffer when it is not open yet → 0, -1 (message printed).
int ks_open_config();

// ---- start and stop (start_stop.cpp) ----
int ks_start_handle(char *args);
int ks_stop_handle(char *args);
int ks_start_manager();
int ks_stop_manager();
int ks_start_extract(const char *unit, const char *com, const char *param);
int ks_start_apply(const char *unit, const char *com, const char *param);
int ks_stop_extract(const char *unit, const char *com);
int ks_stop_apply(const char *unit, const char *com);
// Reply polls (one second apart) before a request times out; 30 unless a test shortens it.
void ks_set_reply_wait(int tries);
// Seconds kesh waits for a started manager's segment; 10 unless a test shortens it.
void ks_set_manager_wait(int seconds);
// Milliseconds kesh watches a started component for an early end; 1500 unless a test
// changes it (0: only the manager's answer counts).
void ks_set_start_check(int ms);

// ---- configuration commands (add.cpp, modify.cpp, delete.cpp, list.cpp, desc.cpp) ----
int ks_add_handle(char *args);
int ks_modify_handle(char *args);
int ks_delete_handle(char *args);
int ks_list_handle(char *args);
int ks_desc_handle(char *args);
// ---- status (info.cpp) ----
int ks_info_handle(char *args);

// ---- parser (parse.cpp) ----
// Blanks and surrounding quotes stripped; the upper variant also upper-cases.
std::string ks_parse_value(std::string_view v);
std::string ks_parse_value_upper(std::string_view v);

namespace kesh {

// The object word of a configuration command.
enum class Obj { kNone, kDb, kUnit, kExtract, kApply };
// "db", "unit", "extract", "apply" ("database" too when allow_database) → the kind;
// kNone for any other word.
Obj object_kind(std::string_view word, bool allow_database);

class Scanner;
// The prologue every configuration command shares: takes the object word from sc,
// refuses an unknown one with its message, and opens the configuration. kNone when the
// command must stop there.
Obj open_object(Scanner &sc, bool allow_database);

// A reader over the text of a command. Blanks include newlines; quoted text (single
// or double quotes) is one piece wherever it appears.
class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}
  void skip_blanks();
  bool at_end();        // only blanks left
  bool peek(char c);    // next non-blank is c (not consumed)
  bool accept(char c);  // consumes c when it is the next non-blank
  // The next word: up to a blank, '(', ')', ',', '=' outside quotes (quotes kept).
  std::string word();
  // A parenthesised list: the text of each top-level item between the parentheses
  // (raw, quotes kept). False when the next non-blank is not '(' or the list does not
  // close.
  bool list(std::vector<std::string> *items);
  std::string_view rest();  // everything not consumed, trimmed
  size_t pos() const { return p_; }

 private:
  std::string_view s_;
  size_t p_ = 0;
};

// One item of a list: "key=value" or "key words..." (for the instance and set
// clauses of modify). key is trimmed; value is the raw text after '=' (or after the
// key when there is no '='); has_eq tells which.
struct Item {
  std::string key;
  std::string value;
  bool has_eq = false;
};
bool split_item(const std::string &text, Item *it);

// Matches a typed key against a table of names: an exact match, else the one name the
// key abbreviates (case-insensitive). → index, or -1 (unknown, empty or ambiguous).
int match_key(std::string_view key, const char *const *names, int n);

// A decimal number that fits in 32 bits.
bool parse_u32(std::string_view v, uint32_t *out);
// "yes" / "no" (any case).
bool parse_yes_no(std::string_view v, bool *out);

// "unit.component" without upper-casing; false when either part is empty.
bool split_unit_com(std::string_view text, char *unit, char *com);

// A table set of an extract or apply: which set, and its items.
enum class SetKind { kTables, kExclude, kMapping };
struct SetItem {
  uint32_t flag = 0;  // KS_CFG_SET_ALL for table "*"
  char schema[32] = {}, table[32] = {}, map_schema[32] = {}, map_table[32] = {};
};
// Parses "tables=(a.b, ...)", "exclude=(...)" or "mapping=(a.b=c.d, ...)" from an
// item already split into key and value. → 0; -1 with *bad set to the offending text.
int parse_set(SetKind kind, const std::string &value, std::vector<SetItem> *items, std::string *bad);
// Adds or deletes the items of a set for a component → 0, -1 (store message printed).
int apply_set(bool add, SetKind kind, const char *unit, const char *com, const std::vector<SetItem> &items);

// Item lists of databases and instances. A value longer than a stored name (31
// characters) is refused rather than cut: a cut password or host would only fail later.
// → 0; -1 with *bad_key set for an unknown key, or *bad_item for a malformed item.
int parse_db_items(const std::vector<std::string> &items, ks_cfg_fdb_t *db, std::string *bad_key,
                   std::string *bad_item);
int parse_inst_items(const std::vector<std::string> &items, ks_cfg_finst_t *inst, std::string *bad_key,
                     std::string *bad_item);
// One database item by its key name (storage_asm, remote, cdb, pdb, user, password).
bool set_db_value(const char *key, const std::string &raw, ks_cfg_fdb_t *db);

// The items of an add or modify of an extract or apply; only what was given is set.
struct ComItems {
  bool has_unit = false, has_db = false, has_next = false, has_prev = false;
  std::string unit, db, next, prev;
  bool has_max_trans = false, has_trans_sz = false, has_idle_wait = false, has_net_timeout = false;
  uint32_t max_trans = 0, trans_sz = 0, idle_wait = 0, net_timeout = 0;
  bool has_restart = false;
  uint32_t restart = 0;  // as stored: 0 default, KS_CFG_RESTART_OFF, else the limit
  bool has_checksum = false;
  bool checksum = true;  // block_checksum: extract verifies redo block checksums
  bool has_sync_seq = false;
  bool sync_seq = false;  // sync_sequence: sequence changes are captured and caught up on the target
  bool has_trail_sz = false;
  uint32_t trail_sz = 0;  // trail_size: extract's trail file roll-over size in MiB, 0 the default
  struct Set {
    bool add;
    SetKind kind;
    std::vector<SetItem> items;
  };
  std::vector<Set> sets;
};
// add: unit, db, next, prev, max_trans, trans_size (extract only), interval,
// net_timeout, tables, exclude, mapping, restart, block_checksum (extract only),
// sync_sequence, trail_size (extract only, MiB). modify:
// the same without unit and the sets,
// plus "add" and "delete" followed by a set. → 0; -1 with *bad the offending key or item.
int parse_com_items(const std::vector<std::string> &items, bool extract, bool modify, ComItems *out, std::string *bad);
// Writes the parameters and sets of ci to an existing component → 0, -1 (message printed).
int apply_com_items(const char *unit, const char *com, const ComItems &ci);
// A unit or component name usable in a path and as a program argument: printable, no
// blanks, no "/", not "." or "..", not starting with "-".
bool safe_name(const char *name);

// References of the used items of a type (databases, units) in file order.
std::vector<uint32_t> items_of(uint32_t type);

// Prints a formatted message to standard error.
void err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Marks the editing buffer as changed (the prompt gains its "*").
inline void mark_modified() { x_cfg.flag |= KS_CFG_MODIFIED; }
// Component item of unit.com in the editing buffer, or null.
ks_cfg_fcom_t *find_com(const char *unit, const char *com);

}  // namespace kesh
