// The process globals of the delivery process and the cut of its work block. Start
// values are those a fresh process runs with; main fills them from the command line,
// the component's parameters and the trail file header.
#include "apply/apply.h"

char prev_name[32];
char x_curr_schema[32];
volatile int x_loop = 1;
volatile int x_cmd_set = 0;
int x_reset = 0;
uint32_t x_tfno = 0;
uint64_t x_start_scn = 0;
uint64_t x_start_xid = 0;
int x_apply_self = 0;
int x_sync_seq = 0;
int x_read_wait = 0;
int x_net_tmout = 0;
int x_csid = 0, x_ncsid = 0, x_lob_csid = 0;
uint32_t x_ckp_fno = 0;
uint64_t x_ckp_scn = 0;
uint64_t x_ckp_xid = 0;
ks_ap_cfg_t x_cfg;
char x_sqltxt[KS_SQLTXT_SIZE];
ks_apply_t x_app;
ks_buffer_t x_buf;
ks_reader_t x_rdr = {0, 0, -1, 0, 0};
ks_array_t x_array;

void ks_ap_cut_buffer(ks_buffer_t *b, uint8_t *base) {
  b->rsz = KS_AP_RBUF_SIZE;
  b->asz = KS_AP_ABUF_SIZE;
  b->tsz = KS_AP_TBUF_SIZE;
  b->base = base;
  b->rbuf = base;
  b->abuf = b->rbuf + b->rsz;
  b->tbuf = b->abuf + b->asz;
  b->dbuf = b->rbuf;
}
