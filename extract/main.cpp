// extract, the capture process: start-up in its fixed order, the main loop that locates,
// opens, reads and walks the redo logs of one thread, and the two exits. Invariants: the
// position only moves forward, record by record, and goes into the checkpoint at either
// exit and, while running, at most once a second between two reads of redo, together
// with the trail offset and the open transactions of that moment, so that a restart
// after a crash resumes all three from one consistent point; the checkpoint is written
// back only when start-up read it, and never with a position whose open transactions did
// not reach the save file; while committed transactions wait for the trail, or a record
// waits for room, the position holds and no further redo is read; every exit step
// applies only to what start-up had set up, in reverse order of acquisition.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "extract/trans/trans.h"
#include "lib/cfg/cfg.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "lib/wait/wait.h"

namespace {

// What start-up has acquired so far.
struct SetUp {
  bool ps = false;
  bool buffer = false;
  bool connected = false;
  bool ckp_read = false;
  bool pos_restored = false;
  bool trans = false;
  bool chain = false;
} su;

ks_rba_t pos;               // the next redo to read
time_t saved_at = 0;        // when progress was last saved while running
bool saved_once = false;    // progress saved at least once in this run
bool caught_up = false;     // the walk has met the end of the redo written so far
bool archive_mode = false;  // an overwritten online log can be read from its archived copy
// The last save's checkpoint record did not reach the file: it is written again before
// anything else is saved, since the save file it names replaced the previous one.
bool ckp_unwritten = false;

ks_extr_t *const ex = &x_extr;

void set_status(int status) {
  if (x_pst != nullptr) x_pst->status = status;
}

// A wait that any signal cuts short (handlers are installed without restart).
void pause_seconds(int seconds) {
  if (seconds > 0 && x_loop) sleep(static_cast<unsigned>(seconds));
}

void pause_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// Woken by a write to the open log: each read of it is preceded by a look (READ), and
// every wait for more redo comes after the read that found none.
ks_wait_t redo_wait;

void wait_for_redo(int ms) {
  if (x_loop) ks_wait_idle(&redo_wait, ms);
}

// The end of the redo written so far: the message at most once per idle wait, however
// often new redo wakes the wait, then the wait.
constexpr int kBeatTickMs = 200;  // how often a clustered extract looks at the end of its redo

// The wait at the end of the redo: the idle wait, cut short by a write to the log; on a
// clustered source a tick, so that the thread's heartbeat keeps up with the others.
int end_wait_ms() { return x_rac ? std::min(kBeatTickMs, x_read_wait * 1000) : x_read_wait * 1000; }

void idle_at_end() {
  if (ks_wait_note_due(&redo_wait, x_read_wait))
    KS_INFO("reach the end of log file, continue after %d seconds ...", x_read_wait);
  wait_for_redo(end_wait_ms());
}

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The heartbeat tells readers of the trail that every commit of this thread below an SCN
// is in it. The SCN is a current SCN of the database sampled at an earlier moment at the
// end of the thread's redo, at least kBeatGapMs before the read that found the end again:
// a commit whose SCN was given out before the sample may still be on its way to the log
// file at the sample, and the gap covers the log writer. (A commit that comes later all
// the same is delivered and reported by the trail writer.) Samples are kept a few at a
// time, so that the newest one old enough is published at each look: an idle thread's
// promise trails the database by the gap and one tick, which is what a reader merging
// threads waits for it.
constexpr long long kBeatGapMs = 500;
struct BeatSample {
  uint64_t scn;
  long long at;
};
BeatSample beat_samples[8];
int beat_n = 0;
long long read_ms = 0;  // when the last read of redo started

// At the end of the thread's redo as it was at confirmed_ms.
void heartbeat_at_end(long long confirmed_ms) {
  int k = beat_n - 1;
  while (k >= 0 && confirmed_ms - beat_samples[k].at < kBeatGapMs) k--;
  if (k >= 0) {
    struct tm tm;
    const time_t now = time(nullptr);
    localtime_r(&now, &tm);
    const uint32_t sct =
        ks::redo::redo_time(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (ks_write_heartbeat(ex->t, beat_samples[k].scn, sct) >= 0) {
      // Published, or no longer news: the ones after it are still to come.
      std::copy(beat_samples + k + 1, beat_samples + beat_n, beat_samples);
      beat_n -= k + 1;
    }
  }
  const long long now = now_ms();
  if (beat_n > 0 && now - beat_samples[beat_n - 1].at < kBeatTickMs) return;
  uint64_t scn = 0;
  if (ks_get_current_scn(ex, &scn) != 0 || scn == 0) return;
  if (beat_n == static_cast<int>(std::size(beat_samples))) {
    std::copy(beat_samples + 1, beat_samples + beat_n, beat_samples);  // the oldest goes
    beat_n--;
  }
  beat_samples[beat_n++] = {scn, now};
}

// Runs pending commands; false when the loop flag has been cleared.
bool loop_on() {
  while (x_loop && x_cmd_set) {
    x_cmd_set = 0;
    ks_execute_command();
  }
  return x_loop != 0;
}

// Until connected or stopped; false when stopped.
bool connect_loop() {
  for (;;) {
    if (!loop_on()) return false;
    if (ks_connect_db(ex) == 0) return true;
    KS_INFO("database not avaliable, retry after 10 seconds.");
    pause_seconds(10);
  }
}

void wire_context() {
  x_extr.r = &x_rdr;
  x_extr.a = &x_ado;
  x_extr.b = &x_buf;
  x_extr.d = &x_dict;
  x_extr.l = &x_log;
  x_extr.m = &x_miner;
  x_extr.t = &x_trans;
  x_ado.se = &x_ado.sess;
}

void fill_check_point() {
  x_ckp.rba_sqn = pos.sqn;
  x_ckp.rba_blk = pos.blk;
  x_ckp.rba_byt = pos.byt;
  x_ckp.last_fno = static_cast<uint32_t>(ex->t->fseq);
  x_ckp.blks = static_cast<uint32_t>(x_log.blks);
  x_ckp.blk_sz = static_cast<uint32_t>(x_log.blk_sz);
  x_ckp.vsn = static_cast<uint32_t>(x_log.vsn);
  x_ckp.cls_usn = static_cast<uint32_t>(x_log.cls_usn);
  if (x_log.flag & KS_LOGF_BIG_ENDIAN) x_ckp.flag |= KS_CKP_BIG_ENDIAN;
  x_ckp.rsv[KS_CKP_RSV_TAIL] = static_cast<uint32_t>(ex->t->tail);  // 0: no trail file yet
  x_ckp.rsv[KS_CKP_RSV_FNO] = static_cast<uint32_t>(ex->t->fseq);
  x_ckp.rsv[KS_CKP_RSV_GEN] = ex->t->gen;
}

// The next save-file generation; never 0, which means "none".
uint32_t next_generation() {
  uint32_t g = x_ckp.rsv[KS_CKP_RSV_GEN] + 1;
  return g == 0 ? 1 : g;
}

// Saves the open transactions, the trail offset and then the position that goes with
// them. Skipped until the redo has passed the start-up SCN: a restart from an earlier
// position would deliver again what the first start left out on purpose.
void save_progress() {
  const time_t now = time(nullptr);
  if (now == saved_at && saved_once) return;
  // At the first start, everything up to the start-up SCN has been read once the walk
  // has met the end of the redo, or a later change shows up.
  if (x_last_scn != 0 && ex->m->scn <= x_last_scn && !caught_up) return;
  saved_at = now;
  if (ckp_unwritten) {
    // x_ckp still holds that save's record. Spill files copied since it may be needed by
    // a restart from it: they go at the next complete save.
    if (ks_save_check_point(&x_ckp) < 0) {
      KS_ERROR_EVERY_MINUTE("save the check point file error; the position on disk stays where it was.");
      return;
    }
    ckp_unwritten = false;
    ks_release_chain_buffer();
    return;
  }
  saved_once = true;
  ex->t->gen = next_generation();
  if (ks_trans_save(ex->t) < 0) {
    KS_ERROR_EVERY_MINUTE("save transaction slots error; the checkpoint stays where it was.");
    return;
  }
  // The rows in progress go with the same generation as the open transactions.
  if (ks_checkpoint_chain_buffer(ex) < 0) {
    KS_ERROR_EVERY_MINUTE("save chained row buffer error; the checkpoint stays where it was.");
    return;
  }
  // So does the dictionary as DDL left it: a restart reads the redo after this point
  // again, with the definitions it had here.
  if (x_need_dict && ks_dict_checkpoint(ex->d, ex->t->gen) < 0) {
    KS_ERROR_EVERY_MINUTE("save dictionary error; the checkpoint stays where it was.");
    return;
  }
  fill_check_point();
  if (ks_save_check_point(&x_ckp) < 0) {
    KS_ERROR_EVERY_MINUTE("save the check point file error; the position on disk stays where it was.");
    ckp_unwritten = true;
    return;
  }
  ks_trans_release_spills(ex->t);
  ks_release_chain_buffer();
  ks_log_not_captured(false);
}

// Closes the transaction table at an exit; false when its open transactions could not
// be saved, and the checkpoint must then stay at the last position saved with them.
bool close_transactions() {
  ex->t->gen = next_generation();
  int rc = ks_trans_close(ex->t);
  if (rc == KS_TRANS_NOT_SAVED) {
    KS_ERROR("save transaction slots error; the check point file stays at the last position saved.");
    return false;
  }
  if (rc < 0) KS_ERROR("close transaction slots error.");
  if (x_need_dict && ks_dict_checkpoint(ex->d, ex->t->gen) < 0) {
    KS_ERROR("save dictionary error; the check point file stays at the last position saved.");
    return false;
  }
  return true;
}

void free_memory() {
  if (x_need_dict) {
    // Also clears the published position, so no later process maps a freed block.
    ks_unload_dict(&x_dict);
  }
  if (su.buffer) {
    ks_shm_free(x_buf.base);
    su.buffer = false;
  }
}

// status: -1, or KS_EXIT_OPERATOR for a stop that only the operator can lift.
[[noreturn]] void error_exit(int status = -1) {
  KS_INFO("process exit for error ...");
  set_status(9);
  bool saved = true;
  if (su.trans) {
    saved = close_transactions();
    ks_log_not_captured(true);
  }
  // With the open transactions' generation; when they could not be saved the checkpoint
  // stays where it was, and so do the rows in progress saved with it.
  if (su.chain && saved && ks_save_chain_buffer(ex) < 0) saved = false;
  if (su.connected) ks_disconnect_db(ex->a);
  if (su.ckp_read && saved) {
    // Before the position was restored the record goes back as it was read.
    if (su.pos_restored) fill_check_point();
    if (ks_write_check_point(&x_ckp) == 0 && su.chain) ks_release_chain_buffer();
  }
  ks_close_reader(ex);
  free_memory();
  ks_shm_detach();
  ks_log_close();
  exit(status);
}

[[noreturn]] void normal_exit() {
  KS_INFO("break from main loop, process exit normally ...");
  ks_close_reader(ex);
  bool ok = close_transactions();
  ks_log_not_captured(true);
  if (ok && ks_save_chain_buffer(ex) < 0) {
    KS_ERROR("save chained row buffer error; the check point file stays at the last position saved.");
    ok = false;
  }
  if (ok) {
    fill_check_point();
    if (ks_write_check_point(&x_ckp) < 0) {
      KS_ERROR("save the check point file error.");
      ok = false;
    } else {
      ks_trans_release_spills(ex->t);
      ks_release_chain_buffer();
    }
  }
  if (ok) ks_publish_status(&pos, KS_PUB_STOPPED);
  free_memory();
  KS_DEBUG("free allocated memory ok ...");
  ks_disconnect_db(ex->a);
  KS_DEBUG("disconnect database ok ...");
  if (ks_shm_detach() < 0) {
    KS_ERROR("detach shared memory error.");
    ks_log_close();
    exit(-1);
  }
  KS_DEBUG("detach shared memory ok ...");
  if (!ok) KS_INFO("process exit for error ...");
  ks_log_close();
  exit(ok ? 0 : -1);
}

// True when a process of the component has a dictionary block published (0/0 = none).
bool dict_published() {
  auto *bh = static_cast<ks_cfg_bh_t *>(ks_shm_get_cfg_ptr());
  int c = bh == nullptr ? -1 : ks_cfg_find_com(bh, unit_name, com_name);
  if (c < 0) return false;
  const ks_cfg_com_t &com = ks_cfg_coms(bh)[c];
  return __atomic_load_n(&com.hdr_sno, __ATOMIC_ACQUIRE) != 0 || __atomic_load_n(&com.hdr_off, __ATOMIC_ACQUIRE) != 0;
}

// Whether this process exports and loads the dictionary when started with -d: on a
// clustered source only the process of the first thread does, for the whole group.
bool first_thread() {
  if (!x_rac) return true;
  ks_cfg_db_t *db = nullptr;
  ks_cfg_inst_t *inst = nullptr;
  auto *bh = static_cast<ks_cfg_bh_t *>(ks_shm_get_cfg_ptr());
  int thr[KS_CFG_MAX_THREADS];
  if (bh == nullptr || ks_get_source_db(&db, &inst) < 0) return true;
  const int n = ks_cfg_db_threads(bh, db->name, thr, KS_CFG_MAX_THREADS);
  return n <= 0 || thr[0] == x_thrd;
}

// Until the first thread's process has published the group's dictionary; false when
// stopped first.
bool wait_for_dictionary() {
  bool told = false;
  while (!dict_published()) {
    if (!loop_on()) return false;
    if (!told)
      KS_INFO("wait for the dictionary of %s.%s, exported by the extract of the first thread ...", unit_name, com_name);
    told = true;
    pause_seconds(1);
  }
  return true;
}

void start_up() {
  set_status(2);
  ks_init_reader(ex);
  auto *mem = static_cast<uint8_t *>(ks_shm_alloc(KS_BUF_TOTAL));
  if (mem == nullptr) {
    KS_ERROR("allocate memory error.");
    error_exit();
  }
  ks_cut_buffer(&x_buf, mem);
  su.buffer = true;
  KS_DEBUG("allocate memory (%dM) ok ...", KS_BUF_TOTAL >> 20);

  if (!connect_loop()) error_exit();
  su.connected = true;
  KS_DEBUG("establish connection to database ...");

  const int thrd = ks_get_thread(ex);
  if (thrd < 0) {
    KS_ERROR("get instance thread# error.");
    error_exit();
  }
  // A clustered source's process reads the thread it was started for, also when its
  // instance is down and the session is on another instance.
  if (!x_rac) x_thrd = thrd;
  int attr = ks_get_db_attribute(ex);
  if (attr < 0) {
    KS_ERROR("get database attribute error.");
    error_exit();
  }
  archive_mode = (attr & KS_DBA_ARCHIVELOG) != 0;
  if (!(attr & KS_DBA_SUPLOG_MIN)) {
    KS_ERROR("database not add supplemental log.");
    error_exit();
  }
  if (!(attr & KS_DBA_SUPLOG_PK)) KS_WARN("database not add supplemental log PK column.");
  if (!(attr & KS_DBA_FORCE_LOGGING)) KS_WARN("database not force logging.");
  if (ks_get_con_uid(ex) < 0) {
    KS_ERROR("get PDB container uid error.");
    error_exit();
  }
  KS_DEBUG("check database attribute ok ...");

  // -d exports the dictionary file when the component has none yet. Without it the
  // file is loaded when no process of the component has the dictionary in shared memory
  // (every restart after a stop or a crash): the file, kept current by DDL, is the one
  // that matches the checkpoint; the source's catalogue of today may not.
  if (x_need_dict && !first_thread()) {
    if (!wait_for_dictionary()) error_exit();
    x_need_dict = 0;
  }
  if (x_need_dict || !dict_published()) {
    if (x_need_dict && ks_export_dict(ex->a->se, unit_name, com_name) < 0) {
      KS_ERROR("export dictionary error.");
      error_exit();
    }
    char path[512];
    snprintf(path, sizeof path, "%sdict/%s/%s.dict", ks_get_home_dir(), unit_name, com_name);
    if (!x_need_dict && access(path, F_OK) != 0) {
      KS_ERROR("dictionary file %s not found: start with -d to export it.", path);
      error_exit();
    }
    if (ks_load_dict(unit_name, com_name) < 0) {
      KS_ERROR("load dictionary error.");
      error_exit();
    }
    x_need_dict = 1;  // the block is this process's: released at its exit
    KS_DEBUG("load dictionary ok ...");
  }
  if (ks_open_dict(ex->d) < 0) {
    KS_ERROR("open dictionary error.");
    error_exit();
  }
  KS_DEBUG("open dictionary ok ...");

  // Started again by the manager after a run that did not stop cleanly: the checkpoint
  // that run left open holds the progress it saved. Once it saved any, a start SCN
  // given at the operator's start has been passed and would deliver again.
  const bool restarted = x_pst != nullptr && x_pst->restarts > 0;
  if (ks_read_check_point(&x_ckp, restarted) < 0) {
    KS_ERROR("read check point file error.");
    error_exit();
  }
  su.ckp_read = true;
  if (x_need_dict && ks_dict_match_checkpoint(ex->d, x_ckp.rsv[KS_CKP_RSV_GEN]) < 0) {
    KS_ERROR("load dictionary error.");
    error_exit();
  }
  if (restarted && (x_ckp.flag & KS_CKP_SAVED) && x_start_scn != 0) {
    KS_INFO("restart %u: start SCN %lu already passed, resuming from the check point.", x_pst->restarts,
            static_cast<unsigned long>(x_start_scn));
    x_start_scn = 0;
  }
  x_ckp.flag &= ~static_cast<uint32_t>(KS_CKP_SAVED);
  KS_DEBUG("read check point ok ...");

  if (x_ckp.chs_id == 0 || x_ckp.nchs_id == 0) {
    if (ks_get_charset(ex, &x_ckp) < 0) {
      KS_ERROR("get database charset error.");
      error_exit();
    }
  }
  if (x_ckp.chs_id > 800) {
    x_ckp.lchs_id = 2000;  // AL16UTF16: multi-byte database character set
    ex->m->cbl = 2;
  } else {
    x_ckp.lchs_id = x_ckp.chs_id;
    ex->m->cbl = 1;
  }

  pos = {x_ckp.rba_sqn, x_ckp.rba_blk, x_ckp.rba_byt};
  ex->t->fseq = static_cast<int>(x_ckp.last_fno);
  // The trail offset saved with the position, unless an operator has since changed the
  // trail file number or asked for another start SCN.
  const bool same_file = x_ckp.rsv[KS_CKP_RSV_FNO] == x_ckp.last_fno;
  ex->t->gen = x_ckp.rsv[KS_CKP_RSV_GEN];
  ex->t->resume_tail = same_file && x_start_scn == 0 ? x_ckp.rsv[KS_CKP_RSV_TAIL] : 0;
  // Saved before this trail file existed: whatever it holds came after the checkpoint.
  if (same_file && x_start_scn == 0 && ex->t->gen != 0 && ex->t->resume_tail == 0) ex->t->resume_tail = KS_TRAIL_FH_SZ;
  ex->t->flag |= KS_TRANS_KEEP_SPILLS;
  x_log.blks = static_cast<int>(x_ckp.blks);
  x_log.blk_sz = static_cast<int>(x_ckp.blk_sz);
  x_log.vsn = static_cast<int>(x_ckp.vsn);
  x_log.cls_usn = static_cast<int>(x_ckp.cls_usn);
  if (x_ckp.flag & KS_CKP_BIG_ENDIAN) x_log.flag |= KS_LOGF_BIG_ENDIAN;
  x_log.vhsz = (x_ckp.vsn >> 24) > 11 ? 32 : 24;
  su.pos_restored = true;

  if (pos.sqn == 0 && x_start_scn == 0) {
    if (ks_get_current_scn(ex, &x_start_scn) < 0) {
      KS_ERROR("get current SCN error.");
      error_exit();
    }
    KS_DEBUG("get current SCN ok ...");
    x_last_scn = x_start_scn;
  }
  if (x_start_scn != 0) {
    KS_INFO("Start SCN: %lu", static_cast<unsigned long>(x_start_scn));
    uint32_t seq = 0;
    if (ks_get_redo_sequence(ex, x_start_scn, &seq) < 0) {
      KS_ERROR("get redo sequence# error.");
      error_exit();
    }
    pos = {seq, 0, 0};
  }

  if (int rc = ks_trans_open(ex->t); rc < 0) {
    KS_ERROR("recovery continued transaction error.");
    error_exit(rc == KS_RC_STOP ? KS_EXIT_OPERATOR : -1);
  }
  su.trans = true;
  // Commits are written to the trail in groups, flushed after every walk (so a quiet
  // source's commits reach readers as soon as their redo has been read) and at the exits.
  ex->t->flag |= KS_TRANS_GATHER;
  KS_DEBUG("init & restore transaction slot ok ...");
  ex->t->fhdr.chs_id = x_ckp.chs_id;
  ex->t->fhdr.nchs_id = x_ckp.nchs_id;
  ex->t->fhdr.lchs_id = x_ckp.lchs_id;

  if (ks_init_chain_buffer(ex) < 0) {
    KS_ERROR("initialize chained row buffer error.");
    error_exit();
  }
  su.chain = true;
  KS_DEBUG("init chained row buffer ok ...");
}

// The log before pos.sqn was read to its end in this run.
bool log_done = false;

void next_log() {
  log_done = true;
  pos.sqn++;
  pos.blk = 0;
  pos.byt = 0;
}

bool session_lost(int code) { return code == 28 || code == 1012 || code == 1034 || code == 3114; }

[[noreturn]] void stop_at_bad_block() {
  KS_ERROR(
      "redo log \"%s\" block %u fails its checksum: capture stops before it at rba=%06x.%08x.%04x; "
      "replace the file with a good copy and start again.",
      x_log.name, x_log.bad_blk, pos.sqn, pos.blk, pos.byt);
  error_exit(KS_EXIT_OPERATOR);
}

// The last block that failed its checksum, and since when: failing again, until a walk
// clears it, it has stayed bad.
struct {
  bool seen = false;
  uint32_t sqn = 0, blk = 0;
  time_t since = 0;
} bad_block;

// A block that fails its checksum, found by the walk with the position before it. An
// archived log is final: capture stops there for the operator. The database may be
// writing the block of an online log as it is read: it is read again after the idle
// wait (which its write cuts short), and reported once it has stayed bad for a whole
// idle wait, so that a block caught twice while being rewritten is no alarm. Once the log is no
// longer current it is final too: in archive mode it is located again, which takes its
// archived copy once there is one (a copy of a bad block stops capture as above); without
// archiving capture stops. Returns whether to read again (true) or to locate again.
bool after_bad_block() {
  if (x_log.flag & KS_LOGF_ARCHIVED) stop_at_bad_block();
  const time_t now = time(nullptr);
  if (!bad_block.seen || bad_block.sqn != pos.sqn || bad_block.blk != x_log.bad_blk || now < bad_block.since) {
    bad_block = {true, pos.sqn, x_log.bad_blk, now};
    KS_DEBUG("redo log \"%s\" block %u fails its checksum, read again after %d seconds.", x_log.name, x_log.bad_blk,
             x_read_wait);
    wait_for_redo(x_read_wait * 1000);
    return true;
  }
  if (now - bad_block.since < x_read_wait) {
    wait_for_redo(x_read_wait * 1000);
    return true;
  }
  if (x_log.flag & KS_LOGF_CURRENT) ks_log_switched(ex);  // a failed look leaves it current
  x_log.flag &= ~KS_LOGF_BAD_CHECKSUM;
  if (!(x_log.flag & KS_LOGF_CURRENT) && !archive_mode) stop_at_bad_block();
  KS_ERROR_EVERY_MINUTE("redo log \"%s\" block %u fails its checksum, read again every %d seconds.", x_log.name,
                        x_log.bad_blk, x_read_wait);
  wait_for_redo(x_read_wait * 1000);
  return (x_log.flag & KS_LOGF_CURRENT) != 0;
}

// The main loop. Returns only through one of the exits.
[[noreturn]] void capture() {
  bool re_connect_db = false;
  bool re_open_reader = true;
  for (;;) {
    if (re_connect_db) {  // RECONNECT
      ks_disconnect_db(ex->a);
      if (!connect_loop()) error_exit();
      re_connect_db = false;
      KS_INFO("re-connect database ok ...");
    }
    if (re_open_reader) {  // REOPEN
      ks_close_reader(ex);
      for (;;) {
        if (!loop_on()) error_exit();
        if (ks_open_reader(ex) == 0) break;
        KS_INFO("agent not avaliable, retry after 10 seconds.");
        pause_seconds(10);
      }
      re_open_reader = false;
      x_rdr.flag &= ~KS_RDR_LOST;
      KS_DEBUG("open redo log reader ok ...");
    }

    set_status(3);  // RUN
    saved_at = time(nullptr);
    KS_INFO("process startup, analyze redo log from sequence# %d", static_cast<int>(pos.sqn));

    enum { LOCATE, OPEN, READ, WALK, HOLD } st = LOCATE;
    int blocks = 0;
    int unlisted_ms = 0;       // the last wait for a log not yet in the catalogue
    bool record_held = false;  // HOLD for a record, not only for the trail
    time_t held_at = 0;
    while (!re_connect_db && !re_open_reader) {
      if (!loop_on()) normal_exit();
      if (st == READ) {
        save_progress();
        if (ex->t->flag & KS_TRANS_PENDING) st = HOLD;  // the save's trail write failed
      }
      switch (st) {
        case LOCATE: {
          const long long look_ms = now_ms();
          if (ks_get_redo_file(ex, pos.sqn) == 0) {
            st = OPEN;
            unlisted_ms = 0;
            log_done = false;
          } else if (ks_oci_get_error_code() == 0) {
            // After a log read to its end, a successor not listed yet has nothing in it
            // yet: every redo of the thread has been read (a closed thread stays so).
            if (log_done) heartbeat_at_end(look_ms);
            // No database error: the log is not in the catalogue yet (the database has
            // finished the previous one but not yet published this one, which takes a
            // moment at a switch). The session is fine; look again soon, then less and
            // less often, up to the idle wait. A catalogue cannot be watched.
            unlisted_ms = unlisted_ms == 0 ? 50 : std::min(unlisted_ms * 2, end_wait_ms());
            if (x_loop) pause_ms(unlisted_ms);
          } else {
            if (!session_lost(ks_oci_get_error_code())) pause_seconds(30);
            re_connect_db = true;
          }
          break;
        }

        case OPEN:
          if (ks_open_redo_file(ex) == 0) {
            KS_INFO("open log file: \"%s\"", x_log.name);
            st = READ;
          } else if (x_rdr.flag & KS_RDR_LOST) {
            re_open_reader = true;
          } else {
            KS_INFO("open redo log error, retry after 10 seconds.");
            pause_seconds(10);
            st = LOCATE;
          }
          break;

        case READ: {
          // A log read through the agent is on another host, and its descriptor number
          // is the agent's; a log on ASM is spread over disks that every other file of
          // the group writes too. Neither can be watched: the idle wait is then timed.
          if ((x_rdr.flag & KS_RDR_REMOTE) || (x_log.flag & KS_LOGF_ASM))
            ks_wait_close(&redo_wait);
          else
            ks_wait_look(&redo_wait, x_rdr.lfd, x_log.name);
          read_ms = now_ms();
          int n = ks_read_redo_file(ex, static_cast<int>(pos.blk), -1);
          if (n < 0) {
            if (x_rdr.flag & KS_RDR_LOST) {
              re_open_reader = true;
            } else {
              KS_INFO("read log data error, retry after 10 seconds.");
              pause_seconds(10);
            }
            break;
          }
          blocks = n / x_log.blk_sz;
          if (blocks == 0 && pos.blk != 0 && static_cast<int>(pos.blk) < x_log.blks) {
            // The file ends before the block count it was located with: wait for it
            // rather than spin on empty reads.
            ks_publish_status(&pos, KS_PUB_IDLE);
            idle_at_end();
            break;
          }
          st = WALK;
          break;
        }

        case HOLD: {
          // Nothing more is read while committed transactions wait for the trail or a
          // record waits for room: the position stays, and both are tried again after
          // the idle wait. Once the trail takes them, reading goes on from the position.
          // The waiting commits may join the gather queue: the queue is written after them.
          const bool trail_ok = ks_flush_pending_commits(ex) == 0 && ks_flush_trail(ex->t) == 0;
          if (held_at == 0) held_at = time(nullptr);
          if (!trail_ok)
            KS_ERROR_EVERY_MINUTE(
                "capture holds at rba=%06x.%08x.%04x until the trail file can be written, retry every %d seconds.",
                pos.sqn, pos.blk, pos.byt, x_read_wait);
          else if (record_held)
            KS_ERROR_EVERY_MINUTE(
                "capture holds at rba=%06x.%08x.%04x until the redo record there can be taken, retry every %d seconds.",
                pos.sqn, pos.blk, pos.byt, x_read_wait);
          if (!trail_ok || record_held) pause_seconds(x_read_wait);
          if (trail_ok) {
            if (record_held || time(nullptr) > held_at)
              KS_INFO("capture goes on at rba=%06x.%08x.%04x after holding %ld seconds.", pos.sqn, pos.blk, pos.byt,
                      static_cast<long>(time(nullptr) - held_at));
            record_held = false;
            held_at = 0;
            st = READ;
          }
          break;
        }

        case WALK: {
          int rc = ks_do_read_buffer(ex, &pos, blocks);
          ks_flush_trail(ex->t);  // a failed write is kept, and reading holds until it is done
          // A walk that met no bad block clears the last one: the tail block of the log is
          // walked again at every read, and may be caught while being rewritten more than
          // once. A header block failing at the switch look stays: walks there do not read it.
          if (!(x_log.flag & KS_LOGF_BAD_CHECKSUM) && bad_block.blk >= 2) bad_block.seen = false;
          if (blocks > 0) ks_publish_status(&pos, KS_PUB_BUSY);
          bool at_end = false;
          if (rc == KS_RC_HOLD) {
            record_held = !(ex->t->flag & KS_TRANS_PENDING);
            st = HOLD;
            break;
          }
          if (rc == KS_RC_STOP) {
            KS_ERROR("capture stops before the redo record at rba=%06x.%08x.%04x.", pos.sqn, pos.blk, pos.byt);
            error_exit(KS_EXIT_OPERATOR);
          }
          if (rc >= 0) {
            if (static_cast<int>(pos.blk) < x_log.blks) {
              st = READ;
              break;
            }
            // Every block of the log has been read. A log still current is full but not
            // yet switched: its successor may not exist yet, so it is treated like the
            // end of the current log and waited for.
            if (!(x_log.flag & KS_LOGF_CURRENT)) {
              next_log();
              st = LOCATE;
              break;
            }
            at_end = true;
          } else if (rc == KS_RC_END_SCN) {
            x_loop = 0;
            normal_exit();
          } else if (x_log.flag & KS_LOGF_OVERWRITTEN) {
            x_log.flag &= ~KS_LOGF_OVERWRITTEN;
            if (!archive_mode) {
              KS_ERROR("redo log %d has overwritten, process exit.", static_cast<int>(pos.sqn));
              error_exit();
            }
            st = LOCATE;
          } else if (x_log.flag & KS_LOGF_END) {
            x_log.flag &= ~KS_LOGF_END;
            at_end = true;
          } else if (x_log.flag & KS_LOGF_BAD_CHECKSUM) {
            x_log.flag &= ~KS_LOGF_BAD_CHECKSUM;
            st = after_bad_block() ? READ : LOCATE;
          } else if (x_log.flag & KS_LOGF_CONT_UNWRITTEN) {
            x_log.flag &= ~KS_LOGF_CONT_UNWRITTEN;
            wait_for_redo(100);
            st = READ;
          } else {
            KS_ERROR("mine redo data error, process exit.");
            error_exit();
          }
          if (at_end) {
            if (!(x_log.flag & KS_LOGF_CURRENT)) {
              next_log();
              st = LOCATE;
              break;
            }
            int sw = ks_log_switched(ex);
            if (sw < 0 && (x_log.flag & KS_LOGF_BAD_CHECKSUM)) {
              x_log.flag &= ~KS_LOGF_BAD_CHECKSUM;
              st = after_bad_block() ? READ : LOCATE;
            } else if (sw < 0) {
              if (x_rdr.flag & KS_RDR_LOST) {
                re_open_reader = true;
              } else {
                KS_INFO("read log data error, retry after 10 seconds.");
                pause_seconds(10);
                st = READ;
              }
            } else if (sw == 0) {
              // Saved before the wait, so that the start point of a first run is on
              // disk as soon as it has been reached.
              caught_up = true;
              if (!saved_once) save_progress();
              heartbeat_at_end(read_ms);
              ks_publish_status(&pos, KS_PUB_IDLE);
              idle_at_end();
              st = READ;
            } else {
              // Switched: the log is no longer current and its final size is known. Read
              // once more up to that size, since redo may have been written between the
              // read that met the end and the check; the walk then ends the log.
              KS_INFO("log file \"%s\" switched.", x_log.name);
              st = READ;
            }
          }
          break;
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (parse_unit_name(argc, argv) < 0) return -1;
  ks_log_init(com_name, x_thrd);
  if (parse_arguments(argc, argv) < 0) {
    KS_ERROR("parse arguments error.");
    ks_log_close();
    return -1;
  }
  x_rac = x_thrd != 0 ? 1 : 0;
  KS_DEBUG("parse arguents ok ...");

  wire_context();
  x_rdr.asd = -1;
  x_rdr.lfd = -1;
  x_trans.fd = -1;

  if (ks_shm_attach() < 0) {
    KS_ERROR("attach shared memory error.");
    ks_log_close();
    return -1;
  }
  KS_DEBUG("attach shared memory ok ...");
  if (ks_ps_start() < 0) {
    KS_ERROR("process start error.");
    error_exit();
  }
  KS_DEBUG("process start ok ...");
  if (ks_init_extract() < 0) error_exit();
  KS_DEBUG("init extract ok ...");

  start_up();
  ks_publish_status(&pos, KS_PUB_BUSY);
  capture();
}
