// Export of one configured table: its record and columns, the key roles of its columns,
// and alias entries for its partitions, IOT segments and LOB indexes. All of the table's
// columns are kept in the column area at once (room is made first), so the key queries
// can mark them in place.
#include <cstdio>
#include <cstring>

#include "extract/dict/exp_dict.h"
#include "lib/log/log.h"

namespace {

constexpr const char *kTableSql =
    "select o.obj#, o.flags, t.cols, t.property\n"
    "from sys.obj$ o, sys.tab$ t, sys.user$ u\n"
    "where t.obj# = o.obj#\n"
    "and u.user# = o.owner#\n"
    "and u.name = :1\n"
    "and o.name = :2\n";

constexpr const char *kColumnSql =
    "select col#, segcol#, type#, length, charsetform,\n"
    "name, nvl(deflength, 0), null$, property\n"
    "from sys.col$\n"
    "where obj# = :1\n"
    "and segcol# > 0\n"
    "order by segcol#\n";

constexpr const char *kUniqueIndexSql =
    "select ic.col#\n"
    "from sys.icol$ ic, sys.ind$ i\n"
    "where ic.obj# = i.obj#\n"
    "and i.bo# = :1\n"
    "and bitand(i.property, 1) = 1\n"
    "and bitand(i.flags, 1) = 0\n";

constexpr const char *kConstraintSql =
    "select cc.col#, cd.type#\n"
    "from sys.cdef$ cd, sys.ccol$ cc\n"
    "where cd.obj# = cc.obj#\n"
    "and cd.con# = cc.con#\n"
    "and (cd.type# = 2 or cd.type# = 3)\n"
    "and cd.enabled is not null\n"
    "and cd.obj# = :1\n";

constexpr const char *kPartSql = "select obj# from sys.tabpart$ where bo# = :1";
constexpr const char *kSubpartSql =
    "select sp.obj#\n"
    "from sys.tabcompart$ tp, sys.tabsubpart$ sp\n"
    "where sp.pobj# = tp.obj#\n"
    "and tp.bo# = :1\n";
constexpr const char *kOverflowSql = "select obj# from sys.tab$ where bitand(property, 512) = 512 and bobj# = :1";
constexpr const char *kTopIndexSql = "select obj# from sys.ind$ where type# = 4 and bo# = :1";
constexpr const char *kLobIndexSql = "select ind# from sys.lob$ where bitand(property, 2050) = 0 and obj# = :1";

constexpr int N = KS_DQ_NUM, S = KS_DQ_NAME;

int add_aliases(ks_dict_exp_t *exp, const char *sql, uint32_t objn, uint32_t ui, bool iot) {
  return ks_dict_exp_run(exp, sql, {ks_dict_num(objn)}, {N}, "bind object id error.",
                         [&](const ks_dict_val_t *row) -> int {
                           ks_dict_tab_t *t = ks_dict_exp_add_table(exp);
                           if (t == nullptr) return -1;
                           t->flag = KS_TAB_ALIAS;
                           t->objn = static_cast<uint32_t>(row[0].num);
                           t->ui = ui;
                           t->ncol = objn;
                           if (iot) exp->flag |= KS_DICT_IOT;
                           return 0;
                         });
}

}  // namespace

int ks_export_table(ks_dict_exp_t *exp, const char *schema, const char *table) {
  int ui = ks_dict_exp_find_schema(exp, schema);
  if (ui < 0) ui = ks_dict_exp_add_schema(exp, schema, 0);
  if (ui < 0) return -1;

  bool found = false;
  int64_t objn = 0, oflags = 0, cols = 0, prop = 0;
  int rc = ks_dict_exp_run(exp, kTableSql, {ks_dict_name(schema), ks_dict_name(table)}, {N, N, N, N},
                           "bind schema & table error.", [&](const ks_dict_val_t *row) -> int {
                             if (found) return 0;
                             found = true;
                             objn = row[0].num;
                             oflags = row[1].num;
                             cols = row[2].num;
                             prop = row[3].num;
                             return 0;
                           });
  if (rc < 0) return -1;
  if (!found) {
    KS_ERROR("table \"%s\".\"%s\" not found.", schema, table);
    return -1;
  }
  if (oflags & 2) return 0;  // temporary object
  if (cols < 0 || cols > 100000) cols = 0;
  if (ks_dict_exp_room_columns(exp, static_cast<uint32_t>(cols)) < 0) return -1;

  ks_dict_tab_t *t = ks_dict_exp_add_table(exp);
  if (t == nullptr) return -1;
  t->objn = static_cast<uint32_t>(objn);
  t->ui = static_cast<uint32_t>(ui);
  t->cidx = exp->ncol + exp->icol;
  if (prop & 64) t->flag |= KS_TAB_IOT;
  snprintf(t->name, sizeof t->name, "%s", table);
  uint32_t first = exp->icol;  // the table's first column in the area

  rc = ks_dict_exp_run(exp, kColumnSql, {ks_dict_num(objn)}, {N, N, N, N, N, S, N, N, N}, "bind object id error.",
                       [&](const ks_dict_val_t *row) -> int {
                         ks_dict_col_t *c = ks_dict_exp_add_column(exp);
                         if (c == nullptr) return -1;
                         ks_dict_exp_fill_column(c, row);
                         t->ncol++;
                         if (c->ctyp == KS_TYPE_CLOB || c->ctyp == KS_TYPE_BLOB) t->flag |= KS_TAB_LOB;
                         return 0;
                       });
  if (rc < 0) return -1;
  // More columns than tab$ announced may have flushed the area under us; then the key
  // flags can no longer be set in memory. tab$.cols counts every column, so this means
  // a catalogue that changed between the two queries.
  if (exp->icol < first + t->ncol) {
    KS_ERROR("table \"%s\".\"%s\" changed during the export.", schema, table);
    return -1;
  }
  auto mark = [&](int64_t cid, uint32_t flag) {
    for (uint32_t i = 0; i < t->ncol; i++) {
      ks_dict_col_t *c = &exp->col[first + i];
      if (c->cid == static_cast<uint32_t>(cid)) {
        c->flag |= flag;
        break;
      }
    }
  };
  rc = ks_dict_exp_run(exp, kUniqueIndexSql, {ks_dict_num(objn)}, {N}, "bind object id error.",
                       [&](const ks_dict_val_t *row) -> int {
                         mark(row[0].num, KS_COL_UK);
                         return 0;
                       });
  if (rc < 0) return -1;
  rc = ks_dict_exp_run(exp, kConstraintSql, {ks_dict_num(objn)}, {N, N}, "bind object id error.",
                       [&](const ks_dict_val_t *row) -> int {
                         mark(row[0].num, row[1].num == 2 ? KS_COL_PK : KS_COL_UK);
                         return 0;
                       });
  if (rc < 0) return -1;

  uint32_t obj = static_cast<uint32_t>(objn), u = static_cast<uint32_t>(ui);
  if (prop & 32) {
    if (add_aliases(exp, kPartSql, obj, u, false) < 0) return -1;
    if (add_aliases(exp, kSubpartSql, obj, u, false) < 0) return -1;
  }
  if (prop & 64) {
    if (add_aliases(exp, kOverflowSql, obj, u, false) < 0) return -1;
    if (add_aliases(exp, kTopIndexSql, obj, u, true) < 0) return -1;
  }
  return add_aliases(exp, kLobIndexSql, obj, u, false);
}
