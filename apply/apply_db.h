// The target database side of the delivery process: the connection, its two statements
// (data and checkpoint), the LOB and LONG-piece state and the empty-LOB locator, and the
// operations that run statements on the target.
#pragma once

#include "apply/apply.h"
#include "lib/ps/ps.h"
#include "oci/oci.h"

struct __ks_ap_db_s {
  ks_oci_ses_t *se;  // = &sess
  ks_oci_ses_t sess;
  ks_oci_stmt_t st_ap;  // data, LOB, LONG, quick-insert and DDL statements
  ks_oci_stmt_t st_cp;  // the prepared checkpoint UPDATE
};

extern ks_ap_db_t x_ado;
extern OCILobLocator *x_empty_locp;
extern ks_oci_lob_t x_lob;
extern ks_oci_pw_t x_piece;
extern ks_ps_task_t *x_pst;

// Rows per execution for a statement of ncol binds and row_len slot bytes; 0 when one
// row does not fit the array buffer.
int ks_array_capacity(int asz, int ncol, int64_t row_len);
// The same for the process's array buffer, grown for a row (of at most KS_LCR_MAX_SZ
// slot bytes) that does not fit it; -1 (logged) when one row does not fit.
int ks_array_rows(ks_apply_t *ap, int ncol, int64_t row_len);
// Lays out ncol descriptors and their arrays for max_rows rows in the array buffer;
// vsz[i] is descriptor i's slot size (0: no value array). -1 (logged), laying out
// nothing, when they would not end inside the buffer.
int ks_array_layout(ks_apply_t *ap, const uint32_t *vsz);

int ks_set_buffer(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp);
// Descriptor d (laid out for one row) bound to key column c with its value in row 0, as
// the key columns of a row statement are.
void ks_bind_key_column(ks_oci_bnd_t *d, const ks_col_view *c);
// A row whose execution waits for its LONG value: its LCR is kept for the error records
// of the pieces, since the buffer that holds it may be refilled before they come.
void ks_long_row_keep(const uint8_t *rec, uint32_t tp);
// Forgets the LOB selection and a row waiting for LONG pieces without recording them:
// the unit they belong to is being rolled back and will be replayed.
void ks_lob_discard(ks_apply_t *ap);
// The checkpoint row of the trail of redo thread thr (0: a single-instance source); a
// missing table or row is created at the start, a table without THREAD_NO upgraded.
int ks_get_checkpoint(ks_ap_db_t *a, int thr, uint32_t *fno, uint64_t *scn, uint64_t *xid);
int ks_prepare_checkpoint_stmt(ks_ap_db_t *a);
// Executes the prepared update with the position of one trail's reader: 0, -1 (the
// database error left for the caller).
int ks_update_checkpoint(ks_ap_db_t *a, const ks_ap_reader_t *r);
int ks_connect_db(ks_ap_db_t *a);
// Releases the statements, locators and session; lost: the session is known to be gone,
// so failures of these calls are expected and only traced.
int ks_disconnect_db(ks_ap_db_t *a, bool lost = false);
