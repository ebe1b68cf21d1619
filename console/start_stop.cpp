// start and stop: the manager is started by the console itself; components are
// started and stopped by the manager at the console's request, sent on the system
// queue with the command signal, answered by a four-byte reply for the console's pid.
//
// The manager runs in its own session with standard input and output on /dev/null, so
// Ctrl+C at the console never reaches it and it never holds the console's terminal or
// pipes. A segment whose manager is gone counts as "manager not running". Replies
// left over from an earlier request that timed out are drained before a new request,
// so an answer is never taken for the wrong command.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "console/kesh.h"
#include "lib/bytes.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "lib/util.h"

namespace {

int reply_wait = 30;
int manager_wait = 10;
int start_check_ms = 1500;

double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Sleeps up to sec seconds; a signal (the command signal of a reply) ends it early.
void nap(double sec) {
  if (sec <= 0) return;
  struct timespec ts;
  ts.tv_sec = time_t(sec);
  ts.tv_nsec = long((sec - double(ts.tv_sec)) * 1e9);
  nanosleep(&ts, nullptr);
}

bool alive(pid_t pid) { return ks_pid_running(pid); }

// → 0 attached to a running manager, 1 no manager runs, -1 attach error (logged).
int connect_manager() {
  if (shm_inf.status != 1 && ks_shm_attach() != 0) return errno == ENOENT ? 1 : -1;
  const ks_sysinfo_t *si = ks_shm_get_sys_ptr();
  if (si == nullptr) return -1;
  if (!alive(si->pid)) {
    ks_shm_detach();  // left by a manager that is gone
    return 1;
  }
  return 0;
}

// One request to the manager and its reply → 0 done, -1 failed (message printed), 1 when
// a stop found nothing to stop (nothing printed).
int request(int code, const char *unit, const char *com, const char *param, const char *fail_msg) {
  uint8_t msg[KS_CMD_BUFSZ];
  int len = ks_ps_make_command(msg, code, getpid(), unit, com, param);
  if (len < 0) {
    kesh::err("Send command error.\n");
    return -1;
  }
  uint8_t buf[KS_CMD_BUFSZ];
  int rcode = 0;
  while (ks_shm_deq(int(getpid()), sizeof buf, buf, &rcode) >= 0) {
  }
  const pid_t mgr = ks_shm_get_sys_ptr()->pid;
  if (ks_ps_send(mgr, msg, len) != 0) {
    kesh::err("Send command error.\n");
    return -1;
  }
  const double deadline = now_s() + reply_wait;
  for (;;) {
    nap(deadline - now_s() < 1.0 ? deadline - now_s() : 1.0);
    int n = ks_shm_deq(int(getpid()), sizeof buf, buf, &rcode);
    if (n >= 0) {
      int reply = n >= 4 ? int(ks::load_be32(buf)) : KS_REPLY_FAIL;
      if (reply == KS_REPLY_FAIL) {
        kesh::err("%s", fail_msg);
        return -1;
      }
      return reply == KS_REPLY_NOT_RUNNING && code != KS_CMD_STOP_MANAGER ? 1 : 0;
    }
    // A manager told to stop may take its queue away with it: its end is the answer.
    if (code == KS_CMD_STOP_MANAGER && !alive(mgr)) return 0;
    if (rcode != -1 && code != KS_CMD_STOP_MANAGER) {
      kesh::err("Receive command reply error.\n");
      return -1;
    }
    if (now_s() >= deadline) {
      kesh::err("Receive command reply time out.\n");
      return -1;
    }
  }
}

// Process-table entries of a component: how many there are (-1: no table or no such
// component to tell from), whether any ended in error (status 9) and whether every one
// reached its main loop (status 3).
struct Procs {
  int n = 0;
  bool failed = false, all_running = true;
};
Procs procs_of(const char *unit, const char *com) {
  Procs r;
  ks_cfg_bh_t *bh = ks_cfg_area();
  int c = bh != nullptr ? ks_cfg_find_com(bh, unit, com) : -1;
  auto *ps = static_cast<const ks_ps_task_t *>(ks_shm_get_ps_ptr());
  if (c < 0 || ps == nullptr) {
    r.n = -1;
    return r;
  }
  const uint32_t uk = ks_cfg_coms(bh)[c].com_uk;
  for (int i = 0, n = ks_cfg_get_max_process(); i < n; ++i) {
    if (__atomic_load_n(&ps[i].pid, __ATOMIC_ACQUIRE) == -1 || ps[i].com_uk != uk) continue;
    const int st = __atomic_load_n(&ps[i].status, __ATOMIC_ACQUIRE);
    r.n++;
    r.failed = r.failed || st == 9;
    r.all_running = r.all_running && st == 3;
  }
  r.all_running = r.all_running && r.n > 0;
  return r;
}

// After the manager reported a start: a component that ends at once (a bad option, a
// missing dictionary, a refused login) has not started. Watched for a moment, or until
// every process is in its main loop.
int check_started(const char *what, const char *unit, const char *com) {
  if (start_check_ms <= 0) return 0;
  const double until = now_s() + start_check_ms / 1000.0;
  for (;;) {
    Procs p = procs_of(unit, com);
    if (p.n < 0) return 0;
    if (p.n == 0 || p.failed) {
      kesh::err("Start %s error.\n%s \"%s.%s\" ended at once; the reason is in the error log of unit \"%s\".\n", what,
                what, unit, com, unit);
      return -1;
    }
    if (p.all_running || now_s() >= until) return 0;
    nap(0.1);
  }
}

int component_request(int code, const char *unit, const char *com, const char *param) {
  const char *fail = "";
  const char *absent = "";
  switch (code) {
    case KS_CMD_START_EXTRACT:
      fail = "Start extract error.\n";
      absent = "Start manager first.\n";
      break;
    case KS_CMD_START_APPLY:
      fail = "Start apply error.\n";
      absent = "Start manager first.\n";
      break;
    case KS_CMD_STOP_EXTRACT:
      fail = "Stop extract error.\n";
      absent = "Extract not started.\n";
      break;
    case KS_CMD_STOP_APPLY:
      fail = "Stop apply error.\n";
      absent = "Apply not started.\n";
      break;
  }
  int c = connect_manager();
  if (c == 1) {
    kesh::err("%s", absent);
    return -1;
  }
  if (c < 0) {
    kesh::err("%s%s\n", fail, ks_log_get_message());
    return -1;
  }
  const bool start = code == KS_CMD_START_EXTRACT || code == KS_CMD_START_APPLY;
  const char *what = code == KS_CMD_START_EXTRACT || code == KS_CMD_STOP_EXTRACT ? "extract" : "apply";
  // Stopping what does not run did nothing: that is reported, not taken for a success.
  // The manager decides, since a component that is down may be waiting for its
  // automatic restart, which the stop cancels.
  int rc = request(code, unit, com, param, fail);
  if (rc == 1) {
    kesh::err("%s", absent);
    return -1;
  }
  if (rc != 0) return -1;
  return start ? check_started(what, unit, com) : 0;
}

// The server type word and the unit.component of a start or stop → the command code,
// 0 for the manager, -1 (message printed) for anything else.
int server_code(const std::string &type, bool start) {
  if (type == "manager") return 0;
  if (type == "extract") return start ? KS_CMD_START_EXTRACT : KS_CMD_STOP_EXTRACT;
  if (type == "apply") return start ? KS_CMD_START_APPLY : KS_CMD_STOP_APPLY;
  kesh::err("Unknown server type \"%s\".\n", type.c_str());
  return -1;
}

int start_stop(char *args, bool start) {
  char type[32], name[256];
  ks_str_get_token(args, 1, type, 31);
  int code = server_code(type, start);
  if (code < 0) return -1;
  if (code == 0) return start ? ks_start_manager() : ks_stop_manager();
  // The parameter text is everything after the unit.component word.
  ks_str_get_token(args, 2, name, sizeof name - 1);
  char *p = args;
  for (int w = 0; w < 2; ++w) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') p++;
  }
  std::string param(ks_str_ltrim(p));
  while (!param.empty() && (param.back() == ' ' || param.back() == '\t' || param.back() == '\n')) param.pop_back();
  // Without a manager the name does not matter: the operator learns that first.
  if (connect_manager() == 1) return component_request(code, "", "", "");
  char unit[32], com[32];
  if (!kesh::split_unit_com(name, unit, com)) {
    if (name[0] == '\0')
      kesh::err("No component name input\n");
    else
      kesh::err("Invalid component name \"%s\"\n", name);
    return -1;
  }
  switch (code) {
    case KS_CMD_START_EXTRACT:
      return ks_start_extract(unit, com, param.c_str());
    case KS_CMD_START_APPLY:
      return ks_start_apply(unit, com, param.c_str());
    case KS_CMD_STOP_EXTRACT:
      return ks_stop_extract(unit, com);
    default:
      return ks_stop_apply(unit, com);
  }
}

}  // namespace

void ks_set_reply_wait(int tries) { reply_wait = tries; }
void ks_set_manager_wait(int seconds) { manager_wait = seconds; }
void ks_set_start_check(int ms) { start_check_ms = ms; }

int ks_start_handle(char *args) { return start_stop(args, true); }
int ks_stop_handle(char *args) { return start_stop(args, false); }

int ks_start_extract(const char *unit, const char *com, const char *param) {
  return component_request(KS_CMD_START_EXTRACT, unit, com, param);
}
int ks_start_apply(const char *unit, const char *com, const char *param) {
  return component_request(KS_CMD_START_APPLY, unit, com, param);
}
int ks_stop_extract(const char *unit, const char *com) {
  return component_request(KS_CMD_STOP_EXTRACT, unit, com, nullptr);
}
int ks_stop_apply(const char *unit, const char *com) {
  return component_request(KS_CMD_STOP_APPLY, unit, com, nullptr);
}

int ks_start_manager() {
  int c = connect_manager();
  if (c == 0) {
    kesh::err("Manager startup already.\n");
    return -1;
  }
  if (c < 0) {
    kesh::err("Start manager error.\n%s\n", ks_log_get_message());
    return -1;
  }
  const std::string path = std::string(ks_get_home_dir()) + "bin/kesmon";
  const std::string me = std::to_string(getpid());
  // exec failures come back through a pipe that a successful exec closes.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    kesh::err("Start new process error.\npipe(): %s\n", strerror(errno));
    return -1;
  }
  pid_t child = fork();
  if (child < 0) {
    int e = errno;
    close(fds[0]);
    close(fds[1]);
    kesh::err("Start new process error.\nfork(): %s\n", strerror(e));
    return -1;
  }
  if (child == 0) {
    setsid();
    int nul = open("/dev/null", O_RDWR);
    if (nul >= 0) {
      dup2(nul, STDIN_FILENO);
      dup2(nul, STDOUT_FILENO);
      dup2(nul, STDERR_FILENO);
      if (nul > STDERR_FILENO) close(nul);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char *argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>("-id"), const_cast<char *>(me.c_str()),
                    nullptr};
    execv(path.c_str(), argv);
    int e = errno;
    ssize_t w = write(fds[1], &e, sizeof e);
    (void)w;
    _exit(1);
  }
  close(fds[1]);
  int exec_errno = 0;
  ssize_t got;
  do got = read(fds[0], &exec_errno, sizeof exec_errno);
  while (got < 0 && errno == EINTR);
  close(fds[0]);
  if (got == ssize_t(sizeof exec_errno)) {
    kesh::err("New process execute error.\nexecv(): %s\n", strerror(exec_errno));
    return -1;
  }
  // The manager creates the segment; poll for it a few times a second up to the wait.
  const double deadline = now_s() + manager_wait;
  for (;;) {
    nap(0.2);
    if (ks_shm_attach() == 0) break;
    if (errno != ENOENT) {
      kesh::err("Start manager error.\n%s\n", ks_log_get_message());
      return -1;
    }
    if (now_s() >= deadline) {
      kesh::err("Start manager error.\nshared memory not created by %s\n", path.c_str());
      return -1;
    }
  }
  const ks_sysinfo_t *si = ks_shm_get_sys_ptr();
  if (kill(si->pid, 0) != 0) {
    kesh::err("Manager start error.\nkill(): %s\n", strerror(errno));
    ks_shm_detach();
    return -1;
  }
  const double ready_by = now_s() + 5;
  while (__atomic_load_n(&si->status, __ATOMIC_ACQUIRE) != KS_SHM_STATUS_READY) {
    if (now_s() >= ready_by) {
      kesh::err("Manager run error status.\n");
      ks_shm_detach();
      return -1;
    }
    nap(0.2);
  }
  return 0;
}

int ks_stop_manager() {
  int c = connect_manager();
  if (c == 1) {
    kesh::err("Manager not started.\n");
    return -1;
  }
  if (c < 0) {
    kesh::err("Stop manager error.\n%s\n", ks_log_get_message());
    return -1;
  }
  const pid_t mgr = ks_shm_get_sys_ptr()->pid;
  if (request(KS_CMD_STOP_MANAGER, nullptr, nullptr, nullptr, "Stop manager error.\n") != 0) return -1;
  kesh::err("Stop manager success.\n");
  ks_shm_detach();
  // The reply comes before the manager has cleaned up; a moment's wait lets the next
  // command see it gone rather than talk to a manager on its way out.
  const double gone_by = now_s() + 5;
  while (alive(mgr) && now_s() < gone_by) nap(0.05);
  return 0;
}
