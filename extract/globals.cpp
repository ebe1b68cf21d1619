// The extract process's single instances of its working records, and the cut of the
// 8 MiB work area into its fixed areas (sizes are constants, so every area starts where
// the previous one ends and the last ends exactly at the end of the allocation).
#include "extract/extract.h"

ks_extr_t x_extr;
ks_reader_t x_rdr;
ks_adb_t x_ado;
ks_buffer_t x_buf;
ks_logf_t x_log;
volatile sig_atomic_t x_loop = 1;
volatile sig_atomic_t x_cmd_set = 0;
int x_need_dict = 0;
int x_thrd = 0;
int x_rac = 0;
int x_sync_seq = 0;
int x_read_wait = 5;
int x_net_tmout = 10;
uint64_t x_start_scn = 0;
uint64_t x_end_scn = 0;
uint64_t x_last_scn = 0;
uint64_t x_last_xid = 0;
ks_ps_task_t *x_pst = nullptr;
ks_ckp_t x_ckp;
uint8_t x_lob_data[4096];

void ks_cut_buffer(ks_buffer_t *b, uint8_t *base) {
  b->base = base;
  b->rd_buf = base;
  b->rd_sz = KS_BUF_RD_SZ;
  b->ch_buf = b->rd_buf + b->rd_sz;
  b->ch_sz = KS_BUF_CH_SZ;
  b->lcr_buf = b->ch_buf + b->ch_sz;
  b->record = b->lcr_buf + KS_BUF_LCR_SZ;
  b->rec_sz = KS_BUF_REC_SZ;
  b->xt_buf = b->record + b->rec_sz;
  b->xt_sz = KS_BUF_XT_SZ;
  b->llb_buf = b->xt_buf + b->xt_sz;
  b->llb_sz = KS_BUF_LLB_SZ;
  b->tmp_buf = b->llb_buf + b->llb_sz;
  b->tmp_sz = KS_BUF_TMP_SZ;
}
