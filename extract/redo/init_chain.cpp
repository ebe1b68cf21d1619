// The capture process's chain buffer over the region of its work buffers: restored at
// start-up for the checkpoint the process resumes from, written with every checkpoint
// and at a stop, with the LOB operations in flight.
#include <cstdio>
#include <cstdlib>

#include "extract/redo/llb.h"
#include "extract/redo/redo.h"
#include "extract/trans/trans.h"
#include "lib/log/log.h"

ks_chain_ctx_t x_chain;

namespace {

uint8_t x_llb_state[KS_LLB_STATE_MAX];

// The LOB operations in flight go with the image, their parked vectors being in its
// blocks. 0 / -1.
int keep_llb_state(ks_extr_t *ex) {
  int n = ks_llb_save_state(ex, x_llb_state, sizeof x_llb_state);
  if (n < 0) {
    KS_ERROR("LOB operations in flight do not fit their saved state.");
    return -1;
  }
  x_chain.tail_len = static_cast<uint32_t>(n);
  return 0;
}

}  // namespace

int ks_init_chain_buffer(ks_extr_t *ex) {
  char info[1024];
  if (ks_chain_info_path(info, sizeof info) < 0) {
    KS_ERROR("chained row information file path too long.");
    return -1;
  }
  x_chain.tail = x_llb_state;
  x_chain.tail_cap = sizeof x_llb_state;
  if (ks_chain_open(&x_chain, ex->b->ch_buf, ex->b->ch_sz, info, ex->t ? ex->t->gen : 0) < 0) return -1;
  const uint32_t nrow = ks_chain_get(x_chain.buf, KS_CHAIN_NROW);
  if (nrow) KS_INFO("chained rows in progress restored: %u.", nrow);
  if (ks_llb_load_state(ex, x_llb_state, x_chain.tail_len) < 0) return -1;
  if (x_chain.tail_len) KS_INFO("LOB operations in flight restored.");
  return 0;
}

int ks_checkpoint_chain_buffer(ks_extr_t *ex) {
  if (keep_llb_state(ex) < 0) return -1;
  return ks_chain_save_image(&x_chain, ex->t ? ex->t->gen : 0);
}

int ks_save_chain_buffer(ks_extr_t *ex) {
  if (keep_llb_state(ex) < 0) return -1;
  return ks_chain_close(&x_chain, ex->t ? ex->t->gen : 0);
}

void ks_release_chain_buffer() { ks_chain_release(&x_chain); }

ks_chain_ctx_t *ks_chain_of(ks_extr_t *ex) {
  // A decoder over other work buffers (the inspection tool, tests) keeps its rows in
  // progress in memory only; its temporary spill folder goes when the process ends.
  if (x_chain.buf != ex->b->ch_buf) {
    static const bool registered = atexit([] { ks_chain_free(&x_chain); }) == 0;
    (void)registered;
    ks_chain_open(&x_chain, ex->b->ch_buf, ex->b->ch_sz, "", 0);
  }
  return &x_chain;
}
