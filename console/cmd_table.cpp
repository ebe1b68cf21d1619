// The console's command table and its built-in commands: help, save, reload, reset
// and test, running one command through the table, and the lazy opening of the editing buffer that the configuration
// commands share.
//
// Only "save config" writes config.db, and only "reset config" throws edits away;
// "reload config" makes running processes see the file as last saved.
#include <errno.h>

#include <cstdio>
#include <cstring>

#include "console/kesh.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "lib/util.h"

ks_input_t x_input;
ks_cfg_t x_cfg = {0, -1, 0, 0, 0, nullptr};
volatile sig_atomic_t x_intr = 0;

const ks_cmdmap_t x_cmdmap[] = {
    {"help", ks_help_handle}, {"start", ks_start_handle},   {"stop", ks_stop_handle},
    {"add", ks_add_handle},   {"modify", ks_modify_handle}, {"delete", ks_delete_handle},
    {"save", ks_save_config}, {"reload", ks_reload_config}, {"reset", ks_reset_config},
    {"list", ks_list_handle}, {"ls", ks_list_handle},       {"test", ks_test_command},
    {"desc", ks_desc_handle}, {"info", ks_info_handle},     {"", nullptr},
};

int ks_run_command(char *text) {
  char word[32];
  size_t n = 0;
  char *p = text;
  while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') {
    if (n < sizeof word - 1) word[n++] = *p;
    p++;
  }
  word[n] = '\0';
  char *args = ks_str_ltrim(p);
  for (const ks_cmdmap_t *m = x_cmdmap; m->cmd_name[0] != '\0'; ++m) {
    if (std::strcmp(m->cmd_name, word) != 0) continue;
    int rc = m->cmd_function(args);
    fflush(stderr);
    if (rc != 0)
      printf("\nCommand \"%s\" execute error\n\n", word);
    else
      printf("\nCommand \"%s\" complete.\n\n", word);
    fflush(stdout);
    return rc;
  }
  printf("\nInvalid command \"%s\"\n\n", word);
  fflush(stdout);
  return -1;
}

int ks_open_config() {
  if (x_cfg.flag & KS_CFG_OPEN) return 0;
  char omsg[KS_CFG_MSGSZ];
  if (ks_cfg_open_file(&x_cfg, omsg) != 0) {
    kesh::err("Open config file error\n%s\n", omsg);
    return -1;
  }
  return 0;
}

int ks_help_handle(char *) {
  fputs(
      "help   - print help message\n"
      "start  - start manager, extract, apply server, etc.\n"
      "stop   - stop manager, extract, apply server, etc.\n"
      "add    - add database, unit, component, etc.\n"
      "modify - modify database, unit, component, etc.\n"
      "delete - delete database, unit, component, etc.\n"
      "save   - save config data\n"
      "reload - reload config to memory\n"
      "reset  - discard the config change\n"
      "list   - list config information\n"
      "desc   - describe component detail\n"
      "info   - status, position and lag of the components\n"
      "\n",
      stdout);
  return 0;
}

int ks_save_config(char *args) {
  if (std::strcmp(args, "config") != 0) {
    kesh::err("Invalid \"save\" command\n");
    return -1;
  }
  if (ks_open_config() != 0) return -1;
  char omsg[KS_CFG_MSGSZ];
  if (ks_cfg_save(&x_cfg, omsg) != 0) {
    kesh::err("Save config data error\n%s\n", omsg);
    return -1;
  }
  x_cfg.flag &= ~KS_CFG_MODIFIED;
  return 0;
}

int ks_reload_config(char *args) {
  if (std::strcmp(args, "config") != 0) {
    kesh::err("Invalid \"reload\" command.\n");
    return -1;
  }
  if (shm_inf.status != 1 && ks_shm_attach() != 0) {
    if (errno == ENOENT) kesh::err("Manager not started.\n");
    kesh::err("Reload config data error.\n");
    return -1;
  }
  if (ks_cfg_reload() != 0 || ks_ps_set_com_index() != 0) {
    kesh::err("Reload config data error.\n%s\n", ks_log_get_message());
    return -1;
  }
  return 0;
}

int ks_reset_config(char *args) {
  if (std::strcmp(args, "config") != 0) {
    kesh::err("Invalid \"reset\" command.\n");
    return -1;
  }
  if (!(x_cfg.flag & KS_CFG_OPEN)) return ks_open_config();
  if (ks_cfg_reset(&x_cfg) != 0) {
    kesh::err("Reset config data error.\n%s\n", ks_log_get_message());
    // What the buffer holds after a failed re-read cannot be trusted: drop it, so the
    // next command opens the file afresh.
    char omsg[KS_CFG_MSGSZ];
    x_cfg.flag &= ~KS_CFG_MODIFIED;
    ks_cfg_close_file(&x_cfg, omsg);
    return -1;
  }
  x_cfg.flag &= ~KS_CFG_MODIFIED;
  return 0;
}

int ks_test_command(char *) {
  KS_ERROR("test for twice.");
  return 0;
}
