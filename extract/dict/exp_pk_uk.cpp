// Key roles of the columns of a schema captured whole: members of unique indexes and of
// enabled primary and unique key constraints. Runs after the read-back and the sort, so
// each row's table is found by binary search and every column record is in memory.
#include "extract/dict/exp_dict.h"

namespace {

constexpr const char *kUniqueIndexSql =
    "select o.obj#, ic.col#\n"
    "from sys.user$ u, sys.obj$ o, sys.ind$ i, sys.icol$ ic\n"
    "where ic.obj# = i.obj#\n"
    "and bitand(i.property, 1) = 1\n"
    "and i.bo# = o.obj#\n"
    "and u.user# = o.owner#\n"
    "and u.name = :1\n";

constexpr const char *kConstraintSql =
    "select o.obj#, cc.col#, cd.type#\n"
    "from sys.obj$ o, sys.user$ u, sys.cdef$ cd, sys.ccol$ cc\n"
    "where cd.obj# = cc.obj#\n"
    "and cd.con# = cc.con#\n"
    "and (cd.type# = 2 or cd.type# = 3)\n"
    "and cd.enabled is not null\n"
    "and cc.obj# = o.obj#\n"
    "and o.owner# = u.user#\n"
    "and u.name = :1\n";

constexpr int N = KS_DQ_NUM;

void mark(ks_dict_exp_t *exp, int64_t objn, int64_t cid, uint32_t flag) {
  int ti = ks_lookup_table_simple(exp->tab, static_cast<int>(exp->ntab), static_cast<int>(objn));
  if (ti < 0) return;
  int ci = ks_dict_exp_find_cid(exp, &exp->tab[ti], static_cast<uint32_t>(cid));
  if (ci >= 0) exp->col[ci].flag |= flag;
}

}  // namespace

int ks_export_pk_uk(ks_dict_exp_t *exp, const char *schema) {
  int rc = ks_dict_exp_run(exp, kUniqueIndexSql, {ks_dict_name(schema)}, {N, N}, "bind schema error.",
                           [&](const ks_dict_val_t *row) -> int {
                             mark(exp, row[0].num, row[1].num, KS_COL_UK);
                             return 0;
                           });
  if (rc < 0) return -1;
  return ks_dict_exp_run(exp, kConstraintSql, {ks_dict_name(schema)}, {N, N, N}, "bind schema error.",
                         [&](const ks_dict_val_t *row) -> int {
                           mark(exp, row[0].num, row[1].num, row[2].num == 2 ? KS_COL_PK : KS_COL_UK);
                           return 0;
                         });
}
