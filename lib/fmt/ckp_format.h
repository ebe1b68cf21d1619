// The checkpoint file of a capture process, <home>data/<unit>/<com>.ckp: one record at
// offset 0 in host byte order, written whole by extract and partly rewritten by the
// repair tool (markedit), which is why the layout lives apart from the capture code.
#pragma once

#include <cstddef>
#include <cstdint>

// Record flags.
#define KS_CKP_OPEN 0x1
#define KS_CKP_CLOSED 0x2
#define KS_CKP_SAVED 0x4  // with KS_CKP_OPEN: the run saved its progress into the record
#define KS_CKP_BIG_ENDIAN 0x10
#define KS_CKP_SIZE 128
#define KS_CKP_HEAD_SIZE 40  // flag .. cls_usn: the part the repair tool rewrites
// The reserved words tie the redo position to the trail and save file written with it,
// so that a restart after a crash resumes all three from the same moment:
// [0] the trail write offset in file last_fno, [1] the generation of the transaction
// save file, [2] the trail file number the offset belongs to (a repair that changes
// last_fno makes the offset meaningless). All zero: written by a run that saved nothing
// while running; the trail file's header then gives the offset.
#define KS_CKP_RSV_TAIL 0
#define KS_CKP_RSV_GEN 1
#define KS_CKP_RSV_FNO 2

typedef struct __ks_ckp_s {
  uint32_t flag;
  uint32_t thrd;
  uint32_t rba_sqn;
  uint32_t rba_blk;
  uint32_t rba_byt;
  uint32_t last_fno;
  uint32_t blks;
  uint32_t blk_sz;
  uint32_t vsn;
  uint32_t cls_usn;
  uint32_t chs_id;
  uint32_t nchs_id;
  uint32_t lchs_id;
  uint32_t rsv[3];
  char chs_name[32];
  char nchs_name[32];
} ks_ckp_t;

static_assert(sizeof(ks_ckp_t) == KS_CKP_SIZE, "checkpoint record size");
static_assert(offsetof(ks_ckp_t, flag) == 0);
static_assert(offsetof(ks_ckp_t, thrd) == 4);
static_assert(offsetof(ks_ckp_t, rba_sqn) == 8);
static_assert(offsetof(ks_ckp_t, rba_blk) == 12);
static_assert(offsetof(ks_ckp_t, rba_byt) == 16);
static_assert(offsetof(ks_ckp_t, last_fno) == 20);
static_assert(offsetof(ks_ckp_t, blks) == 24);
static_assert(offsetof(ks_ckp_t, blk_sz) == 28);
static_assert(offsetof(ks_ckp_t, vsn) == 32);
static_assert(offsetof(ks_ckp_t, cls_usn) == 36);
static_assert(offsetof(ks_ckp_t, chs_id) == KS_CKP_HEAD_SIZE);
static_assert(offsetof(ks_ckp_t, nchs_id) == 44);
static_assert(offsetof(ks_ckp_t, lchs_id) == 48);
static_assert(offsetof(ks_ckp_t, rsv) == 52);
static_assert(offsetof(ks_ckp_t, chs_name) == 64);
static_assert(offsetof(ks_ckp_t, nchs_name) == 96);
