// The system segment: creation limits, the allocator's first fit and ownership rules,
// positions, attach from another process, stale segments and lock release on death.
#include "lib/shm/shm.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

class Segment : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kstest::set_config_header(32 * kMiB)); }
  ks_sysinfo_t *create() {
    EXPECT_EQ(ks_shm_create(), 0) << ks_log_get_message();
    return ks_shm_get_sys_ptr();
  }
  // Block index of an address in segment s.
  static int block_of(void *p, uint32_t *seg = nullptr) {
    uint32_t s, o;
    if (ks_shm_get_pos(p, &s, &o) != 0) return -1;
    if (seg != nullptr) *seg = s;
    return int(o / KS_SHM_BLKSZ);
  }
  static int used_blocks(const ks_shm_seg_t &g) {
    int n = 0;
    for (uint32_t b = 0; b < g.blen; ++b) n += ks_bit_test(g.bitmap, b);
    return n;
  }
  // Runs fn in a child process and returns its exit status.
  template <typename F>
  static int in_child(F fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  kstest::TempHome home;
  kstest::IpcGuard guard;
};

TEST_F(Segment, NewSegmentHeaderDescribesItselfAndAllTablesAreFree) {
  ks_sysinfo_t *si = create();
  ASSERT_NE(si, nullptr);
  EXPECT_STREQ(si->ksname, "KESTRO");
  EXPECT_EQ(si->version, 0x06000000u);
  EXPECT_EQ(si->flags, 3u);
  EXPECT_EQ(si->pid, getpid());
  EXPECT_EQ(si->nsegs, 1u);
  EXPECT_EQ(si->blksz, 0x100000u);
  EXPECT_EQ(si->tail_ofs, sizeof(ks_sysinfo_t));
  EXPECT_EQ(si->seg[0].key, guard.key());
  EXPECT_EQ(si->seg[0].shm_sz, 32 * kMiB);
  EXPECT_EQ(si->seg[0].blen, 32u);
  EXPECT_EQ(used_blocks(si->seg[0]), 0);
  for (const auto &a : si->au) ASSERT_EQ(a.pid, -1);
  struct semid_ds ds {};
  union {
    int v;
    struct semid_ds *p;
  } arg{};
  arg.p = &ds;
  ASSERT_EQ(semctl(si->semid, 0, IPC_STAT, arg), 0);
  EXPECT_EQ(ds.sem_nsems, 32u);
}

TEST_F(Segment, SecondCreateOnTheSameKeyReportsExisting) {
  create();
  int first = shm_inf.segs[0].shmid;
  guard.add_shmid(first);
  EXPECT_EQ(ks_shm_create(), -2);
  EXPECT_EQ(shmget(guard.key(), 0, 0), first);  // the existing segment is untouched
}

TEST_F(Segment, ThirtyTwoMebibytesIsTheSmallestSize) {
  ASSERT_TRUE(kstest::set_config_header(32 * kMiB - 1));
  EXPECT_EQ(ks_shm_create(), -1);
  EXPECT_TRUE(kstest::log_has("shared memory size too small.")) << ks_log_get_message();
  EXPECT_TRUE(guard.gone());
}

TEST_F(Segment, AllocationIsFirstFitAfterTheSystemArea) {
  ks_sysinfo_t *si = create();
  ks_shm_mark_sys_used();
  ASSERT_EQ(used_blocks(si->seg[0]), 2);  // the header needs just over 1 MiB
  void *a = ks_shm_alloc(kMiB);
  void *b = ks_shm_alloc(kMiB + 1);
  void *c = ks_shm_alloc(1);
  EXPECT_EQ(block_of(a), 2);
  EXPECT_EQ(block_of(b), 3);
  EXPECT_EQ(block_of(c), 5);
  ASSERT_EQ(ks_shm_free(b), 0);
  EXPECT_EQ(block_of(ks_shm_alloc(2 * kMiB + 1)), 6);  // the hole of two is too small
  EXPECT_EQ(block_of(ks_shm_alloc(2 * kMiB)), 3);      // and now fits exactly
  EXPECT_EQ(used_blocks(si->seg[0]), 9);
  // 23 blocks are left: 24 cannot be had, 23 can, then nothing.
  EXPECT_EQ(ks_shm_alloc(24 * kMiB), nullptr);
  EXPECT_EQ(block_of(ks_shm_alloc(23 * kMiB)), 9);
  EXPECT_EQ(ks_shm_alloc(1), nullptr);
  EXPECT_EQ(ks_shm_free(nullptr), 0);
}

TEST_F(Segment, ZeroSizeAllocationTakesNoBlock) {
  ks_sysinfo_t *si = create();
  ks_shm_mark_sys_used();
  void *z = ks_shm_alloc(0);
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(block_of(z), 2);
  EXPECT_EQ(used_blocks(si->seg[0]), 2);
  EXPECT_EQ(si->au[0].pid, getpid());
  EXPECT_EQ(si->au[0].nblks, 0);
  EXPECT_EQ(ks_shm_alloc(1), z);  // the block is still the first free one
  EXPECT_EQ(ks_shm_free(z), 0);
  EXPECT_EQ(ks_shm_free(z), 0);
  EXPECT_EQ(used_blocks(si->seg[0]), 2);
}

TEST_F(Segment, ForeignAllocationCannotBeFreedButDeadOwnersMemoryCan) {
  ks_sysinfo_t *si = create();
  ks_shm_mark_sys_used();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    void *p = ks_shm_alloc(3 * kMiB);
    (void)!write(fds[1], &p, sizeof p);  // mappings are inherited: same address
    _exit(p != nullptr ? 0 : 1);
  }
  void *p = nullptr;
  ASSERT_EQ(read(fds[0], &p, sizeof p), ssize_t(sizeof p));
  close(fds[0]);
  close(fds[1]);
  int st;
  waitpid(child, &st, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(ks_shm_free(p), -1);
  char expect[128];
  snprintf(expect, sizeof expect, "ptr not in allocate table, pid=%d, seg_num=0, blk_num=2", getpid());
  EXPECT_TRUE(kstest::log_has(expect)) << ks_log_get_message();
  EXPECT_EQ(used_blocks(si->seg[0]), 5);
  EXPECT_EQ(ks_shm_free_process_mem(child), 0);
  EXPECT_EQ(used_blocks(si->seg[0]), 2);
  for (const auto &a : si->au) ASSERT_EQ(a.pid, -1);
  EXPECT_EQ(block_of(ks_shm_alloc(kMiB)), 2);
}

TEST_F(Segment, AddressesOutsideTheSegmentAreRefused) {
  create();
  int local = 0;
  EXPECT_EQ(ks_shm_free(&local), -1);
  EXPECT_TRUE(kstest::log_has("have a wrong memory range.")) << ks_log_get_message();
  uint32_t s, o;
  EXPECT_EQ(ks_shm_get_pos(&local, &s, &o), -1);
  EXPECT_TRUE(kstest::log_has("not found.")) << ks_log_get_message();
  EXPECT_EQ(ks_shm_get_ptr(0, 0), nullptr);
  EXPECT_EQ(ks_shm_get_ptr(0, 100), shm_inf.segs[0].head + 100);
  EXPECT_EQ(ks_shm_get_ptr(1, 100), nullptr);
}

TEST_F(Segment, AccessorsRefuseWhileDetached) {
  EXPECT_EQ(ks_shm_get_sys_ptr(), nullptr);
  EXPECT_TRUE(kstest::log_has("shared memory not attached.")) << ks_log_get_message();
  EXPECT_EQ(ks_shm_get_cfg_ptr(), nullptr);
  EXPECT_EQ(ks_shm_get_systail(), nullptr);
  EXPECT_EQ(ks_shm_alloc(1), nullptr);
}

TEST_F(Segment, AttachFromAnotherProcessSeesTheSameAllocations) {
  // No segment yet: attach fails quietly with ENOENT, which tells "manager not running".
  EXPECT_EQ(in_child([] { return ks_shm_attach() == -1 && errno == ENOENT ? 0 : 1; }), 0);
  create();
  ks_shm_mark_sys_used();
  void *p = ks_shm_alloc(kMiB);
  std::memcpy(p, "hello", 6);
  uint32_t s, o;
  ASSERT_EQ(ks_shm_get_pos(p, &s, &o), 0);
  EXPECT_EQ(in_child([&] {
              ks_shm_detach();  // forget the inherited view; map it again as a client
              if (ks_shm_attach() != 0) return 1;
              if (ks_shm_attach() != 0) return 2;  // idempotent
              auto *q = static_cast<char *>(ks_shm_get_ptr(s, o));
              if (q == nullptr || std::strcmp(q, "hello") != 0) return 3;
              return ks_shm_detach() == 0 ? 0 : 5;
            }),
            0);
}

TEST_F(Segment, AttachWaitsForTheCreatorToFinish) {
  ks_sysinfo_t *si = create();
  si->flags = KS_SHM_FLAG_SEG;  // semaphores not yet made
  ks_shm_set_attach_wait(2);
  EXPECT_EQ(in_child([] {
              ks_shm_detach();
              return ks_shm_attach() == -1 && kstest::log_has("shared memory & semphore not initialized.") ? 0 : 1;
            }),
            0);
  pid_t child = fork();
  if (child == 0) {
    ks_shm_detach();
    _exit(ks_shm_attach() == 0 ? 0 : 1);
  }
  usleep(300 * 1000);
  si->flags = KS_SHM_FLAG_SEG | KS_SHM_FLAG_SEM;
  int st;
  waitpid(child, &st, 0);
  ks_shm_set_attach_wait(5);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST_F(Segment, LockHeldByADeadProcessIsReleased) {
  create();
  EXPECT_EQ(in_child([] { return ks_sem_lock(KS_SEM_ALLOC) == 0 ? 0 : 1; }), 0);  // dies holding it
  EXPECT_EQ(semctl(shm_inf.semid, KS_SEM_ALLOC, GETVAL), 0);
  EXPECT_NE(ks_shm_alloc(1), nullptr);
}

TEST_F(Segment, SegmentOfADeadManagerIsReplacedAndALiveOneKept) {
  EXPECT_EQ(ks_shm_remove_stale(), 0);  // nothing there
  EXPECT_EQ(in_child([] { return ks_shm_create() == 0 ? 0 : 1; }), 0);
  ASSERT_GE(shmget(guard.key(), 0, 0), 0);
  EXPECT_EQ(ks_shm_remove_stale(), 0);
  EXPECT_TRUE(guard.gone());
  create();
  EXPECT_EQ(ks_shm_remove_stale(), 1);
  EXPECT_GE(shmget(guard.key(), 0, 0), 0);
  EXPECT_EQ(ks_shm_remove(), 0);
  EXPECT_TRUE(guard.gone());
}

TEST_F(Segment, SegmentOfADeadManagerIsKeptWhileItsComponentsRun) {
  const pid_t me = getpid();  // plays a component the dead manager started
  EXPECT_EQ(in_child([&] {
              if (ks_shm_create() != 0 || ks_cfg_load() != 0 || ks_ps_init() != 0) return 1;
              static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr())[4].pid = me;
              return 0;
            }),
            0);
  EXPECT_EQ(ks_shm_remove_stale(), 2);
  EXPECT_TRUE(kstest::log_has("process")) << ks_log_get_message();
  ASSERT_EQ(ks_shm_attach(), 0);
  static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr())[4].pid = -1;  // the component ended
  ks_shm_detach();
  EXPECT_EQ(ks_shm_remove_stale(), 0);
  EXPECT_TRUE(guard.gone());
}

// 1.5 GiB: two segments, 1 GiB and 512 MiB, at consecutive free keys. The pages are
// never touched beyond the header, so this costs little where the kernel allows it.
TEST_F(Segment, LargeSizeSpansSegmentsSkippingAForeignKey) {
  ASSERT_TRUE(kstest::set_config_header(1536 * kMiB));
  int foreign = shmget(guard.key() + 1, 4096, IPC_CREAT | IPC_EXCL | 0600);
  if (foreign < 0) GTEST_SKIP() << "key after ours is taken: " << strerror(errno);
  guard.add_shmid(foreign);
  int rc = ks_shm_create();
  if (rc != 0) GTEST_SKIP() << "machine refuses 1.5 GiB of shared memory: " << ks_log_get_message();
  ks_sysinfo_t *si = ks_shm_get_sys_ptr();
  ASSERT_EQ(si->nsegs, 2u);
  EXPECT_EQ(si->seg[0].shm_sz, 1024 * kMiB);
  EXPECT_EQ(si->seg[0].blen, 1024u);
  EXPECT_EQ(si->seg[1].shm_sz, 512 * kMiB);
  EXPECT_EQ(si->seg[1].blen, 512u);
  EXPECT_EQ(si->seg[1].key, guard.key() + 2);
  ks_shm_mark_sys_used();
  // Fill segment 0; the next allocation is the first block of segment 1.
  ASSERT_NE(ks_shm_alloc(1022 * kMiB), nullptr);
  uint32_t seg = 9;
  void *p = ks_shm_alloc(kMiB);
  EXPECT_EQ(block_of(p, &seg), 0);
  EXPECT_EQ(seg, 1u);
  EXPECT_EQ(ks_shm_free(p), 0);
  EXPECT_EQ(ks_shm_remove(), 0);
  EXPECT_TRUE(guard.gone());
}

}  // namespace

// The status table after the process table: a component's slot outlives its process and
// is taken back by its next run (position kept), other components and threads get slots
// of their own, and once the table is full a slot of a component no longer configured
// (none is, here) is taken over with its position cleared. A copy is only taken of a slot
// nobody is writing.
TEST(StatusTable, SlotsOutliveTheirProcessAndGoBackToTheSameComponent) {
  kstest::TempHome home;
  ASSERT_TRUE(kstest::set_config_header(32 * kMiB));
  kstest::IpcGuard guard;
  ASSERT_EQ(ks_shm_create(), 0) << ks_log_get_message();
  ASSERT_EQ(ks_cfg_load(), 0) << ks_log_get_message();
  ASSERT_EQ(ks_ps_init(), 0) << ks_log_get_message();
  int n = 0;
  ks_ps_stat_t *st = ks_ps_stat_table(&n);
  ASSERT_NE(st, nullptr);
  ASSERT_EQ(n, ks_cfg_get_max_process());
  ASSERT_GE(n, 4);
  uint32_t sno, ofs;
  ASSERT_EQ(ks_shm_get_pos(st, &sno, &ofs), 0);
  EXPECT_LE(ofs + uint64_t(n) * sizeof *st, *ks_shm_get_systail()) << "inside the system area";

  ks_ps_task_t run1 = {0, 0x50001, 0, getpid(), 1, 0};
  ks_ps_stat_t *a = ks_ps_stat_claim(&run1, KS_CFG_COM_EXTRACT);
  ASSERT_NE(a, nullptr);
  ks_ps_stat_begin(a);
  a->trail_fno = 7;
  a->state = KS_PS_STAT_STOPPED;
  ks_ps_stat_end(a);
  ks_ps_task_t run2 = {1, 0x50001, 0, getpid(), 1, 0};  // the next run, restarted once
  EXPECT_EQ(ks_ps_stat_claim(&run2, KS_CFG_COM_EXTRACT), a);
  ks_ps_stat_t copy;
  ASSERT_TRUE(ks_ps_stat_read(a, &copy));
  EXPECT_EQ(copy.trail_fno, 7u);
  EXPECT_EQ(copy.restarts, 1u);
  EXPECT_EQ(copy.state, KS_PS_STAT_RUNNING);
  EXPECT_EQ(copy.seq % 2, 0u);

  ks_ps_task_t thread2 = {0, 0x50001, 0, getpid(), 1, 2}, other = {0, 0x50002, 1, getpid(), 1, 0};
  ks_ps_stat_t *b = ks_ps_stat_claim(&thread2, KS_CFG_COM_EXTRACT);
  ks_ps_stat_t *c = ks_ps_stat_claim(&other, KS_CFG_COM_APPLY);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(b, a);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  for (int i = 3; i < n; ++i) {
    ks_ps_task_t t = {0, 0x60000u + uint32_t(i), 0, getpid(), 1, 0};
    ASSERT_NE(ks_ps_stat_claim(&t, KS_CFG_COM_APPLY), nullptr);
  }
  ks_ps_task_t late = {0, 0x70000, 0, getpid(), 1, 0};
  ks_ps_stat_t *d = ks_ps_stat_claim(&late, KS_CFG_COM_APPLY);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(ks_ps_stat_read(d, &copy));
  EXPECT_EQ(copy.com_uk, 0x70000u);
  EXPECT_EQ(copy.trail_fno, 0u);

  ks_ps_stat_begin(d);  // a writer that never finishes: no copy is taken
  EXPECT_FALSE(ks_ps_stat_read(d, &copy));
  ks_ps_stat_end(d);
}
