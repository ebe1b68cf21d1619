// Semaphore locks of the system segment. Every operation carries SEM_UNDO, so a process
// that dies while holding a lock gives it back.
#include <errno.h>
#include <sys/sem.h>

#include <cstring>

#include "lib/log/log.h"
#include "lib/shm/shm.h"

namespace {
int do_semop(struct sembuf *ops, size_t n) {
  for (;;) {
    if (semop(shm_inf.semid, ops, n) == 0) return 0;
    if (errno == EINTR) continue;
    KS_ERROR("semop(): %s", strerror(errno));
    return -1;
  }
}
}  // namespace

int ks_sem_lock(int which) {
  struct sembuf ops[2] = {{static_cast<unsigned short>(which), 0, SEM_UNDO},
                          {static_cast<unsigned short>(which), 1, SEM_UNDO}};
  return do_semop(ops, 2);
}

int ks_sem_unlock(int which) {
  struct sembuf op = {static_cast<unsigned short>(which), -1, SEM_UNDO};
  return do_semop(&op, 1);
}
