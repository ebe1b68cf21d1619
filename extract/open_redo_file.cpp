// Opening the located log for reading. Opening the next log closes the previous one, so
// the reader never holds more than one log descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "extract/asm.h"
#include "extract/extract.h"
#include "lib/log/log.h"
#include "lib/util.h"

int ks_open_redo_file(ks_extr_t *ex) {
  ks_reader_t *r = ex->r;
  ks_logf_t *l = ex->l;
  if (l->flag & KS_LOGF_ASM) return ks_asm_open_log(ex);
  if (r->flag & KS_RDR_REMOTE) {
    KS_ERROR("open \"%s\": remote or ASM logs are not supported.", l->name);
    return -1;
  }
  if (r->lfd >= 0) {
    close(r->lfd);
    r->lfd = -1;
  }
  int fd = ks_open_file(l->name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    KS_ERROR("open \"%s\": %s", l->name, strerror(errno));
    return -1;
  }
  r->lfd = fd;
  return 0;
}
