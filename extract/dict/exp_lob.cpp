// SecureFile LOB columns of the captured tables (their redo differs from BasicFile LOBs).
#include "extract/dict/exp_dict.h"

int ks_export_secure_lob(ks_dict_exp_t *exp) {
  constexpr int N = KS_DQ_NUM;
  return ks_dict_exp_run(exp, "select obj#, col# from sys.lob$ where bitand(property, 2048)=2048", {}, {N, N},
                         "bind object id error.", [&](const ks_dict_val_t *row) -> int {
                           int ti = ks_lookup_table_simple(exp->tab, static_cast<int>(exp->ntab),
                                                           static_cast<int>(row[0].num));
                           if (ti < 0) return 0;
                           int ci = ks_dict_exp_find_cid(exp, &exp->tab[ti], static_cast<uint32_t>(row[1].num));
                           if (ci >= 0) exp->col[ci].flag |= KS_COL_SECUREFILE;
                           return 0;
                         });
}
