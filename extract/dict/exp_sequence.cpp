// Sequences of the schemas captured whole. Their records are collected after the tables
// and columns are written, in the buffer from the end of the first 8192 bytes up to the
// fetch buffer.
#include <cstdio>

#include "extract/dict/exp_dict.h"
#include "lib/log/log.h"

int ks_export_sequence(ks_dict_exp_t *exp, uint32_t ui, const char *schema) {
  constexpr int N = KS_DQ_NUM, S = KS_DQ_NAME;
  auto *seq = reinterpret_cast<ks_dict_seq_t *>(exp->base + KS_DICT_TAB_OFS);
  const size_t cap = (exp->bsz - KS_DICT_FETCH_SZ - KS_DICT_TAB_OFS) / sizeof(ks_dict_seq_t);
  return ks_dict_exp_run(exp,
                         "select s.obj#, o.name\n"
                         "from sys.obj$ o, sys.seq$ s, sys.user$ u\n"
                         "where s.obj# = o.obj#\n"
                         "and o.owner# = u.user#\n"
                         "and u.name = :1\n"
                         "order by s.obj#\n",
                         {ks_dict_name(schema)}, {N, S}, "bind schema error.", [&](const ks_dict_val_t *row) -> int {
                           if (exp->nseq >= cap) {
                             KS_ERROR("too many sequence.");
                             return -1;
                           }
                           ks_dict_seq_t *s = &seq[exp->nseq++];
                           *s = {};
                           s->ui = ui;
                           s->objn = static_cast<uint32_t>(row[0].num);
                           snprintf(s->name, sizeof s->name, "%s", row[1].str);
                           return 0;
                         });
}
