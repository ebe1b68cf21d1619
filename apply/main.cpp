// The delivery process: command line, start-up (shared memory, process table, lists,
// work block, target connection, checkpoint, trail position, statements), the replay
// loop over the trail files of every redo thread of the source, merged in commit order
// (which waits out a target short of space, and connects again
// after a lost session, and replays from the last checkpoint), command handling and the
// two shutdowns. Single-threaded;
// the signal handlers only set or clear x_loop and x_cmd_set, and every loop polls them.
// Resources are released in reverse order on both exits.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "apply/apply_db.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "lib/util.h"
#include "lib/wait/wait.h"

namespace {

bool s_connected = false;

// Woken by a file created or written in the trail folder (each look at the trails is
// preceded by a look at the folder): one watch serves the trails of every thread.
ks_wait_t folder_wait;

// Before trying to open a trail file: watch the upstream component's trail files in the
// folder it writes (its checkpoint and other files change there too).
void look_at_trail_folder() {
  char dir[512], prefix[40];
  std::snprintf(dir, sizeof dir, "%sdata/%s", ks_get_home_dir(), unit_name);
  std::snprintf(prefix, sizeof prefix, "%s_", prev_name);
  ks_wait_look_dir(&folder_wait, dir, prefix, ".dat");
}

void wait_for_trail(ks_wait_t *w, int seconds) {
  if (x_loop) ks_wait_idle(w, seconds * 1000);
}

void copy_arg(char *dst, const char *src) { std::snprintf(dst, 32, "%.31s", src); }

int parse_unit_name(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "-h") == 0) {
      ks_print_copyright();
    } else if (std::strcmp(argv[i], "-u") == 0 || std::strcmp(argv[i], "-c") == 0) {
      if (i + 1 >= argc) break;
      copy_arg(argv[i][1] == 'u' ? unit_name : com_name, argv[i + 1]);
      i++;
    }
  }
  return unit_name[0] == '\0' || com_name[0] == '\0' ? -1 : 0;
}

// The value of -scn, -xid or -fno: a decimal number from lo to hi. A value read any other
// way would silently start the replay somewhere else.
int take_number(int argc, char **argv, int *i, const char *missing, uint64_t lo, uint64_t hi, uint64_t *out) {
  if (*i + 1 >= argc) {
    KS_ERROR("%s", missing);
    return -1;
  }
  const char *opt = argv[*i], *v = argv[++*i];
  if (ks_str_to_num(v, hi, out) != 0 || *out < lo) {
    KS_ERROR("invalid value \"%s\" of option \"%s\": a decimal number from %lu to %lu is expected.", v, opt,
             static_cast<unsigned long>(lo), static_cast<unsigned long>(hi));
    return -1;
  }
  return 0;
}

int parse_arguments(int argc, char **argv) {
  bool fno = false;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    uint64_t v = 0;
    if (std::strcmp(a, "-u") == 0 || std::strcmp(a, "-c") == 0) {
      i++;
    } else if (std::strcmp(a, "-scn") == 0) {
      if (take_number(argc, argv, &i, "not specify start SCN.", 1, UINT64_MAX, &x_start_scn) < 0) return -1;
    } else if (std::strcmp(a, "-xid") == 0) {
      if (take_number(argc, argv, &i, "not specify start XID.", 1, UINT64_MAX, &x_start_xid) < 0) return -1;
    } else if (std::strcmp(a, "-fno") == 0) {
      if (take_number(argc, argv, &i, "not specify trail file number.", 0, UINT32_MAX, &v) < 0) return -1;
      x_tfno = static_cast<uint32_t>(v);
      fno = true;
    } else if (std::strcmp(a, "-reset") == 0) {
      x_reset = 1;
    } else {
      KS_ERROR("Invalid option \"%s\".", a);
      return -1;
    }
  }
  // A start position is a committed transaction: its SCN and XID together, in the file
  // -fno names. One without the other would be ignored without a word.
  if ((x_start_scn != 0) != (x_start_xid != 0) || (fno && x_start_scn == 0)) {
    KS_ERROR("options -scn and -xid give a start position only together; -fno only with them.");
    return -1;
  }
  return 0;
}

void ks_sig_null(int) {}
void ks_sig_terminate(int signo) {
  if (signo == SIGTERM) x_loop = 0;
}
void ks_sig_command(int) { x_cmd_set = 1; }

int install(int signo, void (*fn)(int)) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  if (sigaction(signo, &sa, nullptr) != 0) {
    KS_ERROR("set signal handler error.\nsigaction(): %s", strerror(errno));
    return -1;
  }
  return 0;
}

int ks_init_apply() {
  if (ks_shm_get_ps_ptr() == nullptr) {
    KS_ERROR("process table not initialized.");
    return -1;
  }
  x_pst = ks_ps_find(getpid());
  if (x_pst == nullptr) {
    KS_ERROR("not found my slot in process table.");
    return -1;
  }
  ks_cfg_bh_t *bh = ks_cfg_area();
  if (bh == nullptr || x_pst->comid < 0 || static_cast<uint32_t>(x_pst->comid) >= bh->n_comps) {
    KS_ERROR("not found my slot in process table.");
    return -1;
  }
  copy_arg(prev_name, ks_cfg_coms(bh)[x_pst->comid].prev);
  ks_cfg_param_t *pa = nullptr;
  if (ks_cfg_get_parameter(unit_name, com_name, &pa) != 0 || pa == nullptr) {
    KS_ERROR("get parameter error.");
    return -1;
  }
  x_apply_self = (pa->flag & KS_CFG_PARM_TXFLAG8) ? 1 : 0;
  x_sync_seq = (pa->flag & KS_CFG_PARM_SEQ) ? 1 : 0;
  x_read_wait = pa->idle_wait == 0 ? 5 : static_cast<int>(pa->idle_wait);
  x_net_tmout = pa->net_timeout == 0 ? 10 : static_cast<int>(pa->net_timeout);
  for (int s = 1; s <= 31; s++) {
    if (s == SIGKILL || s == SIGSTOP) continue;
    // Faults raised by the process itself keep their default action: ignoring them
    // would make the faulting instruction run again for ever.
    if (s == SIGSEGV || s == SIGBUS || s == SIGFPE || s == SIGILL || s == SIGABRT || s == SIGTRAP || s == SIGSYS)
      continue;
    void (*fn)(int) = s == SIGTERM ? ks_sig_terminate : (s == SIGCONT ? ks_sig_null : SIG_IGN);
    if (install(s, fn) < 0) return -1;
  }
  if (install(KS_CMD_SIGNAL, ks_sig_command) < 0) return -1;
  x_pst->status = 2;
  return 0;
}

int ks_get_charset_id(ks_apply_t *ap) {
  if (x_csid != 0 || x_ncsid != 0) return 0;
  uint8_t fh[KS_TRAIL_FH_SZ];
  ssize_t n = ks_read_data(ap->r->rfd, fh, sizeof fh, 0);
  if (n < 0) {
    KS_ERROR("read trail file #%u error.", ap->r->tfno);
    return -1;
  }
  if (n < static_cast<ssize_t>(KS_TRAIL_FH_SZ)) {
    KS_ERROR("read trail file #%u header not complete.", ap->r->tfno);
    return -1;
  }
  x_csid = static_cast<int>(ks_fh_chs_id(fh));
  x_ncsid = static_cast<int>(ks_fh_nchs_id(fh));
  x_lob_csid = static_cast<int>(ks_fh_lchs_id(fh));
  return 0;
}

void run_command() {
  ks_execute_command();
  x_cmd_set = 0;
}

void release(bool rollback) {
  if (s_connected) {
    if (rollback) ks_oci_rollback(x_ado.se);
    ks_disconnect_db(&x_ado);
    s_connected = false;
  }
  for (int k = 0; k < x_nrdr; k++) {
    ks_ap_reader_t *r = &x_rdr[k];
    if (r->rfd >= 0) close(r->rfd);
    r->rfd = -1;
    if (k > 0) std::free(r->buf);
    r->buf = nullptr;
  }
  if (x_buf.base != nullptr) {
    ks_shm_free(x_buf.base);
    x_buf.base = nullptr;
  }
  ks_ap_cfg_free(&x_cfg);
}

int exit_for_error() {
  KS_INFO("process exit for error ...");
  if (x_pst != nullptr) x_pst->status = 9;
  release(true);
  ks_shm_detach();
  return -1;
}

// A condition of the target waited out (lack of space, a lost session): attempts, when
// it began and when it was last logged. Waits grow from 1 to 30 seconds; the condition
// is logged when it starts and then at most once a minute.
struct Refusal {
  int attempts = 0;
  time_t since = 0, logged = 0;
};

// Logs the start of the condition (first) or, at most once a minute, that it lasts
// (still, with the attempts and seconds so far); then waits before the next attempt,
// serving commands. → false when a stop was requested.
bool wait_attempt(Refusal *rf, const char *first, const char *still) {
  time_t now = time(nullptr);
  if (rf->attempts == 0) {
    rf->since = rf->logged = now;
    KS_ERROR("%s\n%s", first, x_unit_why);
  } else if (now - rf->logged >= 60) {
    rf->logged = now;
    KS_ERROR("%s after %d attempts in %ld seconds.\n%s", still, rf->attempts, static_cast<long>(now - rf->since),
             x_unit_why);
  }
  rf->attempts++;
  int wait = rf->attempts >= 6 ? 30 : 1 << (rf->attempts - 1);
  for (int s = 0; s < wait && x_loop; s++) {
    if (x_cmd_set) run_command();
    sleep(1);
  }
  return x_loop != 0;
}

// A target that refuses changes for lack of space: the unit was rolled back; wait, then
// replay it again from the last checkpoint.
int wait_for_space(ks_apply_t *ap, Refusal *rf) {
  if (!wait_attempt(rf,
                    "the target refuses changes for lack of space; changes since the last checkpoint rolled back, "
                    "retrying until it accepts them.",
                    "the target still refuses changes for lack of space"))
    return 0;
  return ks_replay_restart(ap);
}

// The statements of a session: data, checkpoint update, and the empty-LOB locator. → 0,
// -1 (logged).
int prepare_statements() {
  if (ks_oci_get_statement(x_ado.se, &x_ado.st_ap) != 0) {
    KS_ERROR("get statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  if (ks_prepare_checkpoint_stmt(&x_ado) != 0) {
    KS_ERROR("prepare update checkpoint statement error.");
    return -1;
  }
  if (ks_oci_lob_new_empty(x_ado.se, &x_empty_locp) != 0) {
    KS_ERROR("allocate new empty LOB locator error.");
    return -1;
  }
  return 0;
}

// The readers, one per redo thread of the upstream extract's source database (ascending),
// or the one of a single-instance source (thread 0), each with its read buffer: the first
// uses the work block's. → 0, -1 (logged).
int setup_readers() {
  ks_cfg_bh_t *bh = ks_cfg_area();
  int thr[KS_AP_MAX_THREADS];
  int n = 0;
  int c = ks_cfg_find_com(bh, unit_name, prev_name);
  if (c >= 0) {
    const char *db = ks_cfg_coms(bh)[c].src_db;
    n = ks_cfg_db_threads(bh, db, thr, KS_AP_MAX_THREADS);
    if (n < 0) {
      KS_ERROR("the redo threads of source database \"%s\" cannot be told (not configured, or more than %d).", db,
               KS_AP_MAX_THREADS);
      return -1;
    }
  }
  if (n > 0 && (x_start_scn != 0 || x_tfno != 0)) {
    KS_ERROR("options -scn, -xid and -fno name a position in one trail; the source has %d redo threads.", n);
    return -1;
  }
  x_nrdr = n > 0 ? n : 1;
  for (int k = 0; k < x_nrdr; k++) {
    ks_ap_reader_t *r = &x_rdr[k];
    std::memset(r, 0, sizeof *r);
    r->rfd = -1;
    r->thr = n > 0 ? thr[k] : 0;
    r->buf = k == 0 ? x_buf.rbuf : static_cast<uint8_t *>(std::malloc(static_cast<size_t>(x_buf.rsz)));
    if (r->buf == nullptr) {
      KS_ERROR("allocate memory error.");
      return -1;
    }
  }
  return 0;
}

// The checkpoint row of every trail into its reader's last commit. → 0, -1 (logged).
int read_checkpoints(ks_apply_t *ap) {
  for (int k = 0; k < x_nrdr; k++) {
    ks_ap_reader_t *r = &x_rdr[k];
    if (ks_get_checkpoint(&x_ado, r->thr, &r->cmt_fno, &r->cmt_scn, &r->cmt_xid) != 0) return -1;
  }
  if (ap->r != nullptr) {
    // The live copy of the reader being replayed follows.
    ks_ap_reader_t *r = ap->r;
    ap->r = nullptr;
    ks_ap_select(ap, r);
  }
  return 0;
}

// The target session was lost (the target stopped, the session killed): the target
// rolled the open unit back with it. Connects again (waits growing from 1 to 30 seconds,
// as long as it takes), reads the checkpoint the target holds (a commit cut off by the
// loss may or may not have been made: the target alone knows, and its checkpoint row
// moved with it) and positions the replay there. → 0 (also when a stop came meanwhile),
// -1 when the replay cannot be positioned again.
int reconnect(ks_apply_t *ap) {
  Refusal rf;
  ks_disconnect_db(&x_ado, true);
  s_connected = false;
  for (;;) {
    if (!wait_attempt(&rf,
                      "the target session is lost; changes since the last checkpoint rolled back, connecting again "
                      "until the target accepts.",
                      "the target is still not available"))
      return 0;
    if (ks_connect_db(&x_ado) != 0) continue;
    s_connected = true;
    ks_oci_set_timeout(x_ado.se, x_net_tmout);
    ks_ap_park(ap);
    uint64_t before[KS_AP_MAX_THREADS][2];
    for (int k = 0; k < x_nrdr; k++) {
      before[k][0] = x_rdr[k].cmt_scn;
      before[k][1] = x_rdr[k].cmt_xid;
    }
    if (read_checkpoints(ap) == 0 && prepare_statements() == 0) {
      bool moved = false;
      for (int k = 0; k < x_nrdr; k++)
        moved = moved || before[k][0] != x_rdr[k].cmt_scn || before[k][1] != x_rdr[k].cmt_xid;
      if (moved) KS_INFO("the commit cut off by the lost session was made; the replay goes on after it.");
      break;
    }
    ks_disconnect_db(&x_ado, true);
    s_connected = false;
  }
  ap->x->slen = 0;  // statements prepared on the lost session are gone with it
  if (ks_replay_restart(ap) < 0) return -1;
  KS_INFO(
      "connected to the target again after %d attempts in %ld seconds; replay goes on from trail file #%u "
      "after SCN %lu.",
      rf.attempts, static_cast<long>(time(nullptr) - rf.since), x_cmt_fno, static_cast<unsigned long>(x_cmt_scn));
  return 0;
}

// Opens the reader's next trail file when it met the end of its file, else the file of
// its position, positioned there, once its header is written (a file is woken by its
// creation before it has one). 0, or -1 with errno ENOENT (not there yet), EAGAIN (the
// position is not written yet, or no header yet) or another (logged).
int open_reader(ks_apply_t *ap, ks_ap_reader_t *r) {
  ks_ap_select(ap, r);
  const bool next = (r->flag & 1) != 0;
  const uint32_t fno = next ? r->tfno + 1 : x_ckp_fno;
  // Asked again at every wake-up while an idle thread's next file is not there: quietly.
  if (!ks_trail_file_exists(r, fno)) {
    errno = ENOENT;
    return -1;
  }
  const uint32_t was = r->tfno;
  if ((next ? ks_open_trail_file(ap, fno, 0, 0) : ks_open_trail_file(ap, fno, x_ckp_scn, x_ckp_xid)) < 0) return -1;
  uint8_t fh[KS_TRAIL_FH_SZ];
  if (ks_read_data(r->rfd, fh, sizeof fh, 0) != static_cast<ssize_t>(sizeof fh)) {
    close(r->rfd);
    r->rfd = -1;
    r->tfno = was;
    r->flag = next ? 1 : 0;
    errno = EAGAIN;
    return -1;
  }
  x_ckp_fno = r->tfno;
  return 0;
}

// What the reader replays next, once the heartbeats and file ends in front of it are
// taken in: true with a whole transaction record at r->ofs in its buffer (its commit SCN
// in *scn), false when nothing is there yet. A record longer than the buffer or with a
// length that cannot be is handed on too: the replay reports it.
bool head(ks_apply_t *ap, ks_ap_reader_t *r, uint64_t *scn) {
  const int64_t rsz = ap->b->rsz;
  for (;;) {
    if ((r->rfd < 0 || (r->flag & 1)) && open_reader(ap, r) < 0) return false;
    int64_t at = r->ofs - r->bofs, avail = r->blen - at;
    auto whole = [&](const uint8_t *th) {
      return avail >= KS_LCR_TH_SZ && (ks_th_tlen(th) <= avail || ks_th_tlen(th) < KS_LCR_TH_SZ);
    };
    if (at < 0 || !whole(r->buf + at)) {
      ssize_t n = ks_read_data(r->rfd, r->buf, static_cast<size_t>(rsz), r->ofs);
      if (n < 0) {
        KS_ERROR("read trail file error, retry after %d seconds.", x_read_wait);
        n = 0;
      }
      r->bofs = r->ofs;
      r->blen = n;
      at = 0;
      avail = n;
      if (!whole(r->buf)) return avail >= KS_LCR_TH_SZ && ks_th_tlen(r->buf) > rsz;
    }
    const uint8_t *th = r->buf + at;
    const uint32_t flag = ks_th_flag(th);
    if (flag & KS_TH_EOF) {
      r->flag |= 1;
      continue;
    }
    if (ks_th_cscn(th) > r->wmark) r->wmark = ks_th_cscn(th);
    if ((flag & KS_TH_HEARTBEAT) && ks_th_tlen(th) >= KS_LCR_TH_SZ) {
      r->ofs += ks_th_tlen(th);
      continue;
    }
    *scn = ks_th_cscn(th);
    return true;
  }
}

// The main read loop over the trails of every redo thread (one for a single-instance
// source): the transaction with the smallest (commit SCN, thread) is replayed once every
// other trail either holds a later one or has been read past its SCN; otherwise the work
// done is committed and the loop waits for the trails to grow. Returns 0 when stopped,
// -1 on a replay failure.
int replay_loop(ks_apply_t *ap) {
  Refusal refusal;
  uint64_t key[KS_AP_MAX_THREADS];
  bool pending[KS_AP_MAX_THREADS];
  while (x_loop) {
    if (x_cmd_set) {
      run_command();
      continue;
    }
    look_at_trail_folder();
    int best = -1;
    for (int k = 0; k < x_nrdr; k++) {
      pending[k] = head(ap, &x_rdr[k], &key[k]);
      if (pending[k] && (best < 0 || key[k] < key[best])) best = k;  // readers go by thread: ties to the lower
    }
    ks_ap_reader_t *r = best >= 0 ? &x_rdr[best] : nullptr;
    ks_ap_reader_t *slow = nullptr;  // the thread the next transaction may wait for
    if (r != nullptr) {
      // The bound the others set: their next transaction, or how far they have been read.
      r->lim_on = 0;
      for (int k = 0; k < x_nrdr; k++) {
        if (k == best) continue;
        uint64_t s = pending[k] ? key[k] : x_rdr[k].wmark;
        uint32_t t = pending[k] ? static_cast<uint32_t>(x_rdr[k].thr) : 0;
        if (!r->lim_on || ks_ap_key_before(s, t, r->lim_scn, r->lim_thr)) {
          r->lim_on = 1;
          r->lim_scn = s;
          r->lim_thr = t;
          slow = pending[k] ? nullptr : &x_rdr[k];
        }
      }
      // A thread not yet read past this transaction's SCN may still bring one before it.
      if (r->lim_on && !ks_ap_key_before(key[best], static_cast<uint32_t>(r->thr), r->lim_scn, r->lim_thr)) r = nullptr;
    }
    // Waiting, the work done is committed first: a wait never holds work uncommitted.
    const bool waiting = r == nullptr;
    int rc;
    if (waiting) {
      rc = ks_commit_if_moved(ap);
    } else {
      ks_ap_select(ap, r);
      const int64_t at = r->ofs - r->bofs;
      ap->b->rbuf = r->buf + at;  // the bytes from the reader's position on
      rc = ks_apply_buffer(ap, static_cast<int>(r->blen - at));
      ap->b->rbuf = x_rdr[0].buf;
    }
    if (rc == KS_REPLAY_RETRY) {
      if (wait_for_space(ap, &refusal) < 0) return -1;
      continue;
    }
    if (rc == KS_REPLAY_RECONNECT) {
      if (reconnect(ap) < 0) return -1;
      continue;
    }
    if (rc < 0) {
      KS_ERROR("apply transaction buffer error.");
      return -1;
    }
    if (refusal.attempts > 0) {
      KS_INFO("the target accepts changes again after %d attempts in %ld seconds; replay goes on.", refusal.attempts,
              static_cast<long>(time(nullptr) - refusal.since));
      refusal = Refusal();
    }
    if (waiting) {
      ks_apply_publish_status(ap, KS_PUB_IDLE);
      if (ks_wait_note_due(&folder_wait, x_read_wait)) {
        if (slow == nullptr)
          KS_INFO("reach the end of trail file, retry after %d seconds.", x_read_wait);
        else
          KS_INFO("the trail of thread %d is not yet past SCN %lu of thread %d, retry after %d seconds.", slow->thr,
                  static_cast<unsigned long>(key[best]), x_rdr[best].thr, x_read_wait);
      }
      wait_for_trail(&folder_wait, x_read_wait);
      continue;
    }
    ks_apply_publish_status(ap, KS_PUB_BUSY);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (parse_unit_name(argc, argv) < 0) return -1;
  ks_log_init(com_name, 0);
  if (parse_arguments(argc, argv) < 0) {
    KS_ERROR("parse arguments error.");
    return -1;
  }
  KS_DEBUG("parse arguents ok ...");
  if (ks_shm_attach() != 0) {
    KS_ERROR("attach shared memory error.");
    return -1;
  }
  KS_DEBUG("attach shared memory ok ...");
  if (ks_ps_start() != 0) {
    KS_ERROR("process start error.");
    return exit_for_error();
  }
  KS_DEBUG("process start ok ...");
  if (ks_init_apply() != 0) return exit_for_error();
  KS_DEBUG("init apply ok ...");
  if (ks_load_config(&x_cfg) != 0) return exit_for_error();

  x_rdr[0].rfd = -1;
  x_app = {&x_buf, &x_rdr[0], &x_ado, &x_array};
  x_ado.se = &x_ado.sess;
  auto *block = static_cast<uint8_t *>(ks_shm_alloc(KS_AP_WORK_SIZE));
  if (block == nullptr) {
    KS_ERROR("allocate memory error.");
    return exit_for_error();
  }
  ks_ap_cut_buffer(&x_buf, block);
  KS_DEBUG("allocate memory (%dM) ok ...", 5);
  if (setup_readers() != 0) return exit_for_error();

  while (x_loop) {
    if (x_cmd_set) {
      run_command();
      continue;
    }
    if (ks_connect_db(&x_ado) == 0) {
      s_connected = true;
      break;
    }
    KS_INFO("database not avaliable, retry after 10 seconds.");
    sleep(10);
  }
  if (!x_loop) return exit_for_error();
  ks_oci_set_timeout(x_ado.se, x_net_tmout);
  KS_DEBUG("connect to database ok ...");

  if (read_checkpoints(&x_app) != 0) {
    KS_ERROR("get checkpoint error.");
    return exit_for_error();
  }
  // Started again by the manager after a run that did not stop cleanly: a start position
  // given at the operator's start was stored by the first run, and the target's
  // checkpoint has been moving on from it since.
  const bool position_given = x_reset || x_start_scn != 0;
  if (position_given && x_pst->restarts > 0) {
    KS_INFO("restart %u: the start position options were taken by the first run; continuing after the checkpoint.",
            x_pst->restarts);
    x_reset = 0;
    x_start_scn = x_start_xid = 0;
  }
  for (int k = 0; k < x_nrdr; k++) {
    ks_ap_reader_t *r = &x_rdr[k];
    if (x_start_scn != 0 && x_start_xid != 0) {
      r->cmt_fno = x_tfno;
      r->cmt_scn = x_start_scn;
      r->cmt_xid = x_start_xid;
    }
    if (x_reset) {
      r->cmt_fno = 0;
      r->cmt_scn = 0;
      r->cmt_xid = 0;
    }
    if (r->thr == 0)
      KS_INFO("apply from #%u trail file, after (SCN: %lu, XID: %u.%u.%u)", r->cmt_fno,
              static_cast<unsigned long>(r->cmt_scn), static_cast<unsigned>(r->cmt_xid >> 48),
              static_cast<unsigned>((r->cmt_xid >> 32) & 0xFFFF), static_cast<unsigned>(r->cmt_xid & 0xFFFFFFFF));
    else
      KS_INFO("apply thread %d from #%u trail file, after (SCN: %lu, XID: %u.%u.%u)", r->thr, r->cmt_fno,
              static_cast<unsigned long>(r->cmt_scn), static_cast<unsigned>(r->cmt_xid >> 48),
              static_cast<unsigned>((r->cmt_xid >> 32) & 0xFFFF), static_cast<unsigned>(r->cmt_xid & 0xFFFFFFFF));
    r->ckp_fno = r->cmt_fno;
    r->ckp_scn = r->cmt_scn;
    r->ckp_xid = r->cmt_xid;
    r->wmark = r->cmt_scn;
  }
  // The live position is the first reader's from here on.
  x_app.r = nullptr;
  ks_ap_select(&x_app, &x_rdr[0]);
  // Every trail is opened at its position before the replay starts: a thread whose trail
  // is not there yet has told nothing of how far it is, and the replay must wait for it.
  for (int k = 0; k < x_nrdr && x_loop;) {
    if (x_cmd_set) {
      run_command();
      continue;
    }
    look_at_trail_folder();
    errno = 0;
    if (open_reader(&x_app, &x_rdr[k]) == 0) {
      k++;
      continue;
    }
    // Each write to a trail file wakes the wait: the message comes at most every 5 seconds.
    const int err = errno;
    const uint32_t fno = x_rdr[k].ckp_fno;
    if (ks_wait_note_due(&folder_wait, 5)) {
      if (err == ENOENT)
        KS_INFO("trail file %u does not exist, check after 5 seconds.", fno);
      else if (err == EAGAIN)
        KS_INFO("position not yet in trail file %u, check after 5 seconds.", fno);
      else
        KS_ERROR("open trail file error, retry after 5 seconds.");
    }
    wait_for_trail(&folder_wait, 5);
  }
  if (!x_loop) return exit_for_error();
  ks_ap_select(&x_app, &x_rdr[0]);
  if (ks_get_charset_id(&x_app) != 0) {
    KS_ERROR("get source database charset id error.");
    return exit_for_error();
  }
  if (prepare_statements() != 0) return exit_for_error();
  // A position given on the command line is stored at once: from now on the target's
  // checkpoint names where this run stands, for a restart and for a reconnection alike.
  ks_ap_park(&x_app);
  if ((x_reset || x_start_scn != 0) && ks_commit_work(&x_app) != 0) {
    KS_ERROR("store the start position error.");
    return exit_for_error();
  }
  KS_INFO("process startup, apply data in trail file ...");
  ks_apply_publish_status(&x_app, KS_PUB_BUSY);

  if (replay_loop(&x_app) < 0) return exit_for_error();

  KS_INFO("break from main loop, process exit normally ...");
  if (s_connected) ks_oci_rollback(x_ado.se);  // not connected: stopped while reconnecting
  KS_INFO("rollback uncommitted transaction ...");
  release(false);
  KS_INFO("disconnect from database ...");
  ks_apply_publish_status(&x_app, KS_PUB_STOPPED);
  if (ks_shm_detach() != 0) {
    KS_ERROR("detach shared memory error.");
    return -1;
  }
  KS_DEBUG("detach shared memory ok ...");
  return 0;
}
