// Locating the log of a sequence of this thread: its archived copy when there is one (a
// finished file that can no longer be reused), else the online log. Both statements are
// kept for the session. Locating replaces the kind bits of the log descriptor and keeps
// the others (byte order, stop reasons).
#include <cstdio>
#include <cstring>

#include "extract/asm.h"
#include "extract/db_query.h"
#include "lib/log/log.h"

namespace {

int locate(ks_extr_t *ex, uint32_t seq, bool again) {
  ks_logf_t *l = ex->l;
  ks_adb_t *a = ex->a;
  int32_t binds[2] = {x_thrd, static_cast<int32_t>(seq)};
  int64_t blocks = 0, blk_sz = 0, third = 0;
  char name[520];
  ks_qcol_t acols[4] = {{KS_QT_INT, sizeof blocks, &blocks},
                        {KS_QT_INT, sizeof blk_sz, &blk_sz},
                        {KS_QT_INT, sizeof third, &third},
                        {KS_QT_STR, sizeof name, name}};
  int rows = ks_db_query(a->se, &a->st_alog, true,
                         "select blocks, block_size, archival_thread#, name\nfrom v$archived_log\n"
                         "where thread#=:1 and sequence#=:2 and standby_dest='NO' and status<>'D'",
                         binds, 2, acols, 4, 1);
  if (rows < 0) return -1;
  int kind;
  int arch_thrd = 0;
  if (rows > 0) {
    kind = KS_LOGF_ARCHIVED;
    blocks += 1;  // the view does not count the header block
    arch_thrd = static_cast<int>(third);
  } else {
    char status[32];
    ks_qcol_t ocols[4] = {{KS_QT_INT, sizeof blocks, &blocks},
                          {KS_QT_INT, sizeof blk_sz, &blk_sz},
                          {KS_QT_STR, sizeof status, status},
                          {KS_QT_STR, sizeof name, name}};
    rows = ks_db_query(a->se, &a->st_olog, true,
                       "select l.bytes/l.blocksize, l.blocksize, l.status, f.member from v$log l, v$logfile f\n"
                       "where f.group# = l.group# and l.thread#=:1\nand l.sequence#=:2 and f.type='ONLINE' "
                       "and rownum<2",
                       binds, 2, ocols, 4, 1);
    if (rows < 0) return -1;
    if (rows == 0) {
      // Past the thread's newest log, the database simply has not switched to it yet:
      // the caller waits, and that routine wait is no fault. A log at or below it that
      // is neither online nor archived is gone, and capture cannot go on without it.
      int64_t newest = 0;
      ks_oci_stmt_t st{};
      ks_qcol_t ncol = {KS_QT_INT, sizeof newest, &newest};
      if (ks_db_query(a->se, &st, false, "select nvl(max(sequence#), 0) from v$log where thread#=:1", binds, 1, &ncol,
                      1, 1) < 0)
        return -1;
      if (static_cast<int64_t>(seq) > newest) {
        KS_INFO("log file %d not written yet (newest is %ld), waiting.", static_cast<int>(seq),
                static_cast<long>(newest));
        return -1;
      }
      // The log may have come while the views were read one after the other (a switch
      // between the online and the newest look, an archive between the first and the
      // online one): it is missing only if a second look finds it nowhere either.
      if (!again) return locate(ex, seq, true);
      KS_ERROR("log file %d not found.", static_cast<int>(seq));
      return -1;
    }
    kind = KS_LOGF_ONLINE;
    if (strcmp(status, "CURRENT") == 0) kind |= KS_LOGF_CURRENT;
    blocks += 1;
  }
  if (blk_sz <= 0 || blk_sz > KS_BUF_REC_SZ || blocks < 2 || blocks > 0x7FFFFFFF) {
    KS_ERROR("log file %d: invalid size (%ld blocks of %ld bytes).", static_cast<int>(seq), static_cast<long>(blocks),
             static_cast<long>(blk_sz));
    return -1;
  }
  l->flag = (l->flag & ~KS_LOGF_KIND_MASK) | kind;
  l->blks = static_cast<int>(blocks);
  l->blk_sz = static_cast<int>(blk_sz);
  l->arch_thrd = arch_thrd;
  l->sqn = seq;
  snprintf(l->name, sizeof l->name, "%s", name);
  if (name[0] == '+') {
    l->flag |= KS_LOGF_ASM;
    return ks_asm_locate_log(ex);
  }
  return 0;
}

}  // namespace

int ks_get_redo_file(ks_extr_t *ex, uint32_t seq) { return locate(ex, seq, false); }
