// Ending the source session: the kept statements first, then the session. Failures are
// only logged; the caller is on its way to reconnect or to exit either way.
#include <initializer_list>

#include "extract/extract.h"
#include "lib/log/log.h"

int ks_disconnect_db(ks_adb_t *a) {
  if (a->st_scn.stmtp != nullptr && ks_oci_close_statement(a->se, &a->st_scn) != 0)
    KS_ERROR("close SCN statement error.\n%s", ks_oci_get_message());
  a->st_scn.stmtp = nullptr;
  for (ks_oci_stmt_t *st : {&a->st_alog, &a->st_olog}) {
    if (st->stmtp != nullptr && ks_oci_close_statement(a->se, st) != 0)
      KS_ERROR("close LOG statement error.\n%s", ks_oci_get_message());
    st->stmtp = nullptr;
  }
  if (a->se != nullptr && a->se->envhp != nullptr && ks_oci_disconnect(a->se) != 0) {
    // Ending a session the database already dropped fails by nature; the handles are
    // released all the same and the loss itself was reported where it was met.
    int code = ks_oci_get_error_code();
    if (code == 28 || code == 1012 || code == 3113 || code == 3114 || code == 3135)
      KS_DEBUG("disconnect DB error (session lost).\n%s", ks_oci_get_message());
    else
      KS_ERROR("disconnect DB error.\n%s", ks_oci_get_message());
  }
  return 0;
}
