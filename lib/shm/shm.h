// The system segment: the System V shared memory every long-running process of an
// installation shares, its semaphore set, the block allocator over it, and the system
// queue that carries commands between processes.
//
// Layout owned here (native little-endian, fixed widths; every process maps the segments
// at its own addresses, so nothing stored in them is a pointer, only a position):
//   segment 0 starts with ks_sysinfo_t; the system area (configuration, process table)
//   follows up to tail_ofs; the rest of every segment is handed out in 1 MiB blocks whose
//   use is recorded in the segment's bitmap and in the allocation table au[].
// The allocation table and bitmaps change only under semaphore KS_SEM_ALLOC; the queue
// only under KS_SEM_QUEUE. Both are taken with SEM_UNDO, so a holder that dies releases.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#define KS_SHM_MAGIC "KESTRO"
#define KS_SHM_VERSION 0x06000000u
#define KS_SHM_FLAG_SEG 0x1u    // segment created
#define KS_SHM_FLAG_SEM 0x2u    // semaphores created
#define KS_SHM_STATUS_READY 2u  // manager running and serving commands
#define KS_SHM_MAX_SEGS 64
#define KS_SHM_MAX_AU 65536
#define KS_SHM_MAX_KV 128
#define KS_SHM_BLKSZ 0x100000u         // allocation block: 1 MiB
#define KS_SHM_SEG_MAX 0x40000000ull   // one System V segment: at most 1 GiB
#define KS_SHM_MIN_SIZE 0x2000000ull   // 32 MiB: smallest total accepted
#define KS_SHM_DEF_SIZE 0x10000000ull  // 256 MiB when the configuration names none
#define KS_SHM_NSEMS 32
#define KS_SEM_ALLOC 1  // guards au[] and the segment bitmaps
#define KS_SEM_QUEUE 2  // guards the system queue

typedef struct __ks_shm_seg_s {
  int32_t key;  // IPC key of the segment
  int32_t shmid;
  uint64_t shm_sz;  // bytes
  uint32_t blen;    // allocation blocks in the segment (shm_sz / blksz rounded up)
  uint32_t rsv;
  uint8_t bitmap[256];  // bit i (byte i/8, mask 0x80 >> i%8) set = block i in use
} ks_shm_seg_t;
static_assert(sizeof(ks_shm_seg_t) == 280);
static_assert(offsetof(ks_shm_seg_t, key) == 0);
static_assert(offsetof(ks_shm_seg_t, shmid) == 4);
static_assert(offsetof(ks_shm_seg_t, shm_sz) == 8);
static_assert(offsetof(ks_shm_seg_t, blen) == 16);
static_assert(offsetof(ks_shm_seg_t, rsv) == 20);
static_assert(offsetof(ks_shm_seg_t, bitmap) == 24);

typedef struct __ks_shm_at_s {
  int32_t pid;  // owner; -1 = free entry
  int32_t seg_num;
  int32_t blk_num;  // first block
  int32_t nblks;
} ks_shm_at_t;
static_assert(sizeof(ks_shm_at_t) == 16);
static_assert(offsetof(ks_shm_at_t, pid) == 0);
static_assert(offsetof(ks_shm_at_t, seg_num) == 4);
static_assert(offsetof(ks_shm_at_t, blk_num) == 8);
static_assert(offsetof(ks_shm_at_t, nblks) == 12);

typedef struct __ks_shm_kvp_s {
  char key[8];
  uint32_t seg_num;
  uint32_t offset;
} ks_shm_kvp_t;
static_assert(sizeof(ks_shm_kvp_t) == 16);
static_assert(offsetof(ks_shm_kvp_t, seg_num) == 8);
static_assert(offsetof(ks_shm_kvp_t, offset) == 12);

typedef struct __ks_sysinfo_s {
  char ksname[8];    // "KESTRO"
  uint32_t version;  // KS_SHM_VERSION
  uint32_t flags;    // KS_SHM_FLAG_SEG | KS_SHM_FLAG_SEM once created
  uint32_t status;   // KS_SHM_STATUS_READY when the manager serves commands
  int32_t semid;
  int32_t pid;  // the manager: destination of console commands
  uint32_t nsegs;
  uint32_t blksz;     // KS_SHM_BLKSZ
  uint32_t tail_ofs;  // first free byte of the system area in segment 0
  uint32_t q_sno, q_ofs;
  uint32_t cfg_sno, cfg_ofs;
  uint32_t ps_sno, ps_ofs;
  ks_shm_seg_t seg[KS_SHM_MAX_SEGS];
  ks_shm_at_t au[KS_SHM_MAX_AU];
  ks_shm_kvp_t kv[KS_SHM_MAX_KV];
} ks_sysinfo_t;
static_assert(offsetof(ks_sysinfo_t, ksname) == 0);
static_assert(offsetof(ks_sysinfo_t, version) == 8);
static_assert(offsetof(ks_sysinfo_t, flags) == 12);
static_assert(offsetof(ks_sysinfo_t, status) == 16);
static_assert(offsetof(ks_sysinfo_t, semid) == 20);
static_assert(offsetof(ks_sysinfo_t, pid) == 24);
static_assert(offsetof(ks_sysinfo_t, nsegs) == 28);
static_assert(offsetof(ks_sysinfo_t, blksz) == 32);
static_assert(offsetof(ks_sysinfo_t, tail_ofs) == 36);
static_assert(offsetof(ks_sysinfo_t, q_sno) == 40);
static_assert(offsetof(ks_sysinfo_t, q_ofs) == 44);
static_assert(offsetof(ks_sysinfo_t, cfg_sno) == 48);
static_assert(offsetof(ks_sysinfo_t, cfg_ofs) == 52);
static_assert(offsetof(ks_sysinfo_t, ps_sno) == 56);
static_assert(offsetof(ks_sysinfo_t, ps_ofs) == 60);
static_assert(offsetof(ks_sysinfo_t, seg) == 64);
static_assert(offsetof(ks_sysinfo_t, au) == 64 + 280 * 64);
static_assert(offsetof(ks_sysinfo_t, kv) == 64 + 280 * 64 + 16 * 65536);
static_assert(sizeof(ks_sysinfo_t) == 64 + 280 * 64 + 16 * 65536 + 16 * 128);

// Process-local view of the attached segments (not shared).
typedef struct __ks_shm_segment_s {
  int32_t key;
  int32_t shmid;
  uint64_t shm_sz;
  char *head;  // local mapping address, null when not mapped
} ks_shm_segment_t;

typedef struct __ks_shm_seginfo_s {
  int status;  // 1 = attached (or created)
  int semid;
  int nsegs;
  int rsv;
  ks_shm_segment_t segs[KS_SHM_MAX_SEGS];
} ks_shm_seginfo_t;

extern ks_shm_seginfo_t shm_inf;

// Segment life. ks_shm_create → 0, -2 (segment 0's key exists), -1; manager only.
int ks_shm_create();
int ks_shm_remove();
int ks_shm_attach();
int ks_shm_detach();
// How many times (one second apart) attach looks for a segment still being initialised;
// 5 unless a test shortens it.
void ks_shm_set_attach_wait(int tries);
// A segment left by a manager that is gone (its creator no longer alive) is removed
// with its semaphores and sibling segments: 0 removed (or nothing there), 1 a live
// manager owns it, 2 kept because a component it started still runs, -1 error.
int ks_shm_remove_stale();
// True for a process that exists and has not ended; a zombie whose parent has not reaped
// it yet (a killed orphan waiting for its new parent) runs no more.
bool ks_pid_running(pid_t pid);
// The components still running from the process table of a segment whose manager is
// gone: up to max pids into pids → how many there are (0 also when there is no such
// segment), -1 error.
int ks_shm_stale_components(pid_t *pids, int max);

// Allocator. Blocks of KS_SHM_BLKSZ, first fit across segments, owned by the caller's pid.
void *ks_shm_alloc(size_t size);
int ks_shm_free(void *ptr);
int ks_shm_free_process_mem(pid_t pid);

// Positions.
ks_sysinfo_t *ks_shm_get_sys_ptr();
void *ks_shm_get_ptr(uint32_t sno, uint32_t ofs);
int ks_shm_get_pos(const void *ptr, uint32_t *sno, uint32_t *ofs);

// System area, laid out by the manager in segment 0.
uint32_t *ks_shm_get_systail();
void ks_shm_add_systail(uint32_t n);
void ks_shm_mark_sys_used();
void ks_shm_set_q_pos(void *ptr);
void ks_shm_set_cfg_pos(void *ptr);
void ks_shm_set_ps_pos(void *ptr);
void *ks_shm_get_q_ptr();
void *ks_shm_get_cfg_ptr();
void *ks_shm_get_ps_ptr();

// Semaphores of the set, SEM_UNDO, retried on EINTR.
int ks_sem_lock(int which);
int ks_sem_unlock(int which);

// ---------------------------------------------------------------------------------
// System queue: one 1 MiB allocation; its first 128 KiB is 512 blocks of 256 bytes.
// Blocks 0..260 hold the header below; blocks 261..511 carry message data, 240 bytes
// of payload each behind a 16-byte block header. Messages are opaque bytes here; the
// command and reply formats (big-endian) are built in ps/.

#define KS_Q_BLKSZ 256
#define KS_Q_PAYLOAD 240
#define KS_Q_NBLKS 512
#define KS_Q_START 261
#define KS_Q_NENT 512
#define KS_Q_SIZE 0x100000u

typedef struct __ks_shm_q_ch_s {
  int32_t ai;    // own index
  int32_t id;    // destination pid
  int32_t next;  // next entry in queue order, -1 at the end
  int32_t blk;   // first data block
} ks_shm_q_ch_t;
static_assert(sizeof(ks_shm_q_ch_t) == 16);
static_assert(offsetof(ks_shm_q_ch_t, id) == 4);
static_assert(offsetof(ks_shm_q_ch_t, next) == 8);
static_assert(offsetof(ks_shm_q_ch_t, blk) == 12);

typedef struct __ks_shm_qblk_s {
  int32_t blk;   // own index
  int32_t mlen;  // whole message length (first block of a message)
  int32_t rsv;
  int32_t nblk;  // next block of the message, -1 in the last
} ks_shm_qblk_t;
static_assert(sizeof(ks_shm_qblk_t) == 16);
static_assert(offsetof(ks_shm_qblk_t, mlen) == 4);
static_assert(offsetof(ks_shm_qblk_t, nblk) == 12);

typedef struct __ks_shm_q_s {
  int32_t head;   // first entry, -1 when empty
  int32_t tail;   // last entry, -1 when empty
  int32_t start;  // first data block (KS_Q_START)
  int32_t rsv;
  uint8_t pool[512];  // entries in use (only 0..KS_Q_NENT-1 are used)
  uint8_t bmp[512];   // 256-byte blocks in use (only 0..KS_Q_NBLKS-1)
  ks_shm_q_ch_t ch[4096];
} ks_shm_q_t;
static_assert(offsetof(ks_shm_q_t, head) == 0);
static_assert(offsetof(ks_shm_q_t, tail) == 4);
static_assert(offsetof(ks_shm_q_t, start) == 8);
static_assert(offsetof(ks_shm_q_t, pool) == 16);
static_assert(offsetof(ks_shm_q_t, bmp) == 528);
static_assert(offsetof(ks_shm_q_t, ch) == 1040);
static_assert(sizeof(ks_shm_q_t) == 1040 + 16 * 4096);
static_assert(sizeof(ks_shm_q_t) <= KS_Q_START * KS_Q_BLKSZ);
static_assert(KS_Q_NBLKS * KS_Q_BLKSZ <= KS_Q_SIZE);

int ks_shm_q_create();
int ks_shm_enq(int id, int mlen, const void *msg);
// → message length, or -1 with *rcode -1 (nothing for id; id -1 takes any) or -2
// (the message is longer than msz and stays queued), or -3 (the queue cannot be read).
int ks_shm_deq(int id, int msz, void *msg, int *rcode);
// Messages queued for id (any when id is -1); -1 when the queue cannot be read.
int ks_shm_q_count(int id);

// MSB-first bitmaps shared by the allocator and the queue.
inline bool ks_bit_test(const uint8_t *map, uint32_t i) { return map[i >> 3] & (0x80u >> (i & 7)); }
inline void ks_bit_set(uint8_t *map, uint32_t i) { map[i >> 3] |= uint8_t(0x80u >> (i & 7)); }
inline void ks_bit_clear(uint8_t *map, uint32_t i) { map[i >> 3] &= uint8_t(~(0x80u >> (i & 7))); }
