// The redo reader's life: reset, open for the component's source database, close.
// This build reads local log files and logs on ASM disks; a source configured for the
// remote reader agent is refused when the reader is opened, never silently read locally.
#include <unistd.h>

#include <cstring>

#include "extract/asm.h"
#include "extract/extract.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"

void ks_init_reader(ks_extr_t *ex) {
  ks_reader_t *r = ex->r;
  std::memset(r, 0, sizeof *r);
  r->asd = -1;
  r->lfd = -1;
  for (auto &d : r->dsk) d.dskfd = -1;
}

int ks_open_reader(ks_extr_t *ex) {
  ks_init_reader(ex);
  ks_oci_set_error_code(0);
  ks_cfg_db_t *db;
  ks_cfg_inst_t *inst;
  if (ks_get_source_db(&db, &inst) < 0) return -1;
  if (db->flag & 0x10) ex->r->flag |= KS_RDR_ASM;
  if (db->flag & 0x20) ex->r->flag |= KS_RDR_REMOTE;
  if (ex->r->flag & KS_RDR_REMOTE) {
    KS_ERROR("source database logs on %s are not supported by this build.", "a remote reader agent");
    return -2;
  }
  if ((ex->r->flag & KS_RDR_ASM) && ks_open_asm_disk(ex) < 0) {
    KS_ERROR("open ASM disks error.");
    return -1;
  }
  return 0;
}

int ks_close_reader(ks_extr_t *ex) {
  ks_reader_t *r = ex->r;
  int rc = ks_asm_close_disks(ex);
  if (r->lfd >= 0) close(r->lfd);
  r->lfd = -1;
  if (r->asd >= 0) close(r->asd);
  r->asd = -1;
  return rc;
}
