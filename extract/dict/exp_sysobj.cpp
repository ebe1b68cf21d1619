// The data dictionary tables whose changes feed DDL tracing, exported as tables of SYS and
// marked as system objects; SEQ$'s object number goes into the file header.
#include <cstring>

#include "extract/dict/exp_dict.h"

int ks_export_sys_objects(ks_dict_exp_t *exp) {
  for (int i = 0; x_sysobj_name[i][0] != '\0'; i++)
    if (ks_export_table(exp, "SYS", x_sysobj_name[i]) < 0) return -1;
  // Nothing has been flushed yet: a dozen tables fit the table area.
  for (uint32_t i = 0; i < exp->itab; i++) {
    ks_dict_tab_t *t = &exp->tab[i];
    t->flag |= KS_TAB_SYSOBJ;
    if (!(t->flag & KS_TAB_ALIAS) && strcmp(t->name, "SEQ$") == 0) exp->seqn = t->objn;
  }
  return 0;
}
