// Export of a schema captured whole: its tables with their columns in one ordered pass,
// then the alias entries of its partitions, subpartitions, IOT overflow segments, IOT top
// indexes and LOB indexes.
#include <cstdio>

#include "extract/dict/exp_dict.h"
#include "lib/log/log.h"

namespace {

constexpr const char *kTabColSql =
    "select t.obj#, t.property, o.name, c.col#, c.segcol#, c.type#, c.length,\n"
    "c.charsetform, c.name, nvl(c.deflength, 0), c.null$, c.property\n"
    "from sys.tab$ t, sys.user$ u, sys.obj$ o, sys.col$ c\n"
    "where t.obj# = o.obj#\n"
    "and o.owner# = u.user#\n"
    "and bitand(t.property, 1) = 0\n"
    "and bitand(o.flags, 128) = 0\n"
    "and bitand(o.flags, 2) = 0\n"
    "and c.obj# = o.obj#\n"
    "and c.segcol# > 0\n"
    "and u.name = :1\n"
    "order by t.obj#, c.segcol#, c.intcol#\n";

struct AliasQuery {
  const char *sql;
  bool iot;  // rows mean an index-organised table is captured
};

constexpr AliasQuery kAliasSql[] = {
    {"select tp.obj#, tp.bo#\n"
     "from sys.tabpart$ tp, sys.user$ u, sys.obj$ o\n"
     "where tp.obj# = o.obj#\n"
     "and o.owner# = u.user#\n"
     "and u.name = :1\n"
     "order by tp.obj#\n",
     false},
    {"select sp.obj#, o.obj#\n"
     "from sys.tabsubpart$ sp, sys.tabcompart$ tp, sys.user$ u, sys.obj$ o\n"
     "where sp.pobj# = tp.obj#\n"
     "and tp.bo# = o.obj#\n"
     "and o.owner# = u.user#\n"
     "and u.name = :1\n"
     "order by sp.obj#\n",
     false},
    {"select t.obj#, t.bobj#\n"
     "from sys.tab$ t, sys.user$ u, sys.obj$ o\n"
     "where bitand(t.property, 512) = 512\n"
     "and t.obj# = o.obj#\n"
     "and o.owner# = u.user#\n"
     "and u.name = :1\n"
     "order by t.obj#\n",
     true},
    {"select i.obj#, i.bo#\n"
     "from sys.ind$ i, sys.user$ u, sys.obj$ o\n"
     "where i.type# = 4\n"
     "and i.obj# = o.obj#\n"
     "and o.owner# = u.user#\n"
     "and u.name = :1\n"
     "order by i.obj#\n",
     true},
    {"select l.ind#, l.obj#\n"
     "from sys.obj$ o, sys.user$ u, sys.lob$ l\n"
     "where bitand(l.property, 2050) = 0\n"
     "and l.obj# = o.obj#\n"
     "and o.owner# = u.user#\n"
     "and u.name = :1\n"
     "order by l.ind#\n",
     false},
};

}  // namespace

int ks_export_schema(ks_dict_exp_t *exp, const char *schema) {
  int ui = ks_dict_exp_add_schema(exp, schema, KS_SCH_ALL);
  if (ui < 0) return -1;
  constexpr int N = KS_DQ_NUM, S = KS_DQ_NAME;

  // The current table is addressed by its index in the area: adding a column never moves
  // it, and the next table record is only added once this one is complete.
  int64_t last = -1;
  ks_dict_tab_t *cur = nullptr;
  int rc = ks_dict_exp_run(exp, kTabColSql, {ks_dict_name(schema)}, {N, N, S, N, N, N, N, N, S, N, N, N},
                           "bind schema error.", [&](const ks_dict_val_t *row) -> int {
                             if (cur == nullptr || row[0].num != last) {
                               cur = ks_dict_exp_add_table(exp);
                               if (cur == nullptr) return -1;
                               last = row[0].num;
                               cur->objn = static_cast<uint32_t>(row[0].num);
                               cur->ui = static_cast<uint32_t>(ui);
                               cur->cidx = exp->ncol + exp->icol;
                               if (row[1].num & 64) cur->flag |= KS_TAB_IOT;
                               snprintf(cur->name, sizeof cur->name, "%s", row[2].str);
                             }
                             ks_dict_col_t *c = ks_dict_exp_add_column(exp);
                             if (c == nullptr) return -1;
                             ks_dict_exp_fill_column(c, row + 3);
                             cur->ncol++;
                             if (c->ctyp == KS_TYPE_CLOB || c->ctyp == KS_TYPE_BLOB) cur->flag |= KS_TAB_LOB;
                             return 0;
                           });
  if (rc < 0) return -1;

  for (const AliasQuery &aq : kAliasSql) {
    rc = ks_dict_exp_run(exp, aq.sql, {ks_dict_name(schema)}, {N, N}, "bind schema error.",
                         [&](const ks_dict_val_t *row) -> int {
                           ks_dict_tab_t *t = ks_dict_exp_add_table(exp);
                           if (t == nullptr) return -1;
                           t->flag = KS_TAB_ALIAS;
                           t->objn = static_cast<uint32_t>(row[0].num);
                           t->ui = static_cast<uint32_t>(ui);
                           t->ncol = static_cast<uint32_t>(row[1].num);
                           if (aq.iot) exp->flag |= KS_DICT_IOT;
                           return 0;
                         });
    if (rc < 0) return -1;
  }
  return 0;
}
