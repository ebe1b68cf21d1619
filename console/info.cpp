// info: one line per component process (all units, one unit, or unit.component) with
// its program, state, pid, start time, restarts, position, the time of the last source
// commit it handled, its lag behind the source and, for an extract, the records of
// captured tables it could not capture, by reason.
//
// The components are those of the configuration file. What they are doing comes from
// the status table the manager lays out, where every process publishes its position as it
// moves; a slot outlives its process, so a component that died shows where it was. A
// process in the process table that still runs is "running"; one that is gone stopped
// cleanly ("stopped") or not ("abended": killed, or an exit on error). Without a running
// manager (no segment) an extract's position comes from its checkpoint file, and an
// apply's, which lives in the target database, is not shown.
#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/kesh.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "lib/util.h"

namespace {

// Short names of the not-captured reasons, in the order of their counters.
const char *const kNcNames[] = {"iot", "lob", "load", "chain", "decode"};
static_assert(sizeof kNcNames / sizeof kNcNames[0] == KS_NC_REASONS, "a name for every not-captured reason");

struct Com {
  std::string unit, name, program;
  uint32_t type = 0;
  uint32_t uk = 0;
};

// What is known of one process of a component.
struct Row {
  int thrd = 0;
  const char *state = "stopped";
  pid_t pid = -1;
  uint32_t restarts = 0;
  int64_t started = 0;
  bool have = false;  // st holds a published status
  ks_ps_stat_t st{};
  std::string ckp;  // the position from a checkpoint file, when that is all there is
};

std::vector<Com> components(const std::string &unit, const std::string &com) {
  std::vector<Com> out;
  for (uint32_t ref : kesh::items_of(KS_CFG_T_UNIT)) {
    const auto *u = static_cast<const ks_cfg_funit_t *>(ks_cfg_item(&x_cfg, ref));
    if (!unit.empty() && std::strncmp(u->un_name, unit.c_str(), KS_CFG_NAME - 1) != 0) continue;
    uint32_t c = u->ref_num;
    for (uint32_t g = 0; c != KS_CFG_NONE && g < 65536; ++g, c = ks_cfg_next(&x_cfg, c)) {
      const auto *f = static_cast<const ks_cfg_fcom_t *>(ks_cfg_item(&x_cfg, c));
      if (f == nullptr) break;
      if (!com.empty() && std::strncmp(f->name, com.c_str(), KS_CFG_NAME - 1) != 0) continue;
      Com x;
      x.unit.assign(u->un_name, strnlen(u->un_name, KS_CFG_NAME - 1));
      x.name.assign(f->name, strnlen(f->name, KS_CFG_NAME - 1));
      x.program.assign(f->pname, strnlen(f->pname, KS_CFG_NAME - 1));
      if (x.program.empty()) x.program = f->com_typ == KS_CFG_COM_EXTRACT ? "extract" : "apply";
      x.type = f->com_typ;
      x.uk = c;
      out.push_back(x);
    }
  }
  return out;
}

std::string clock_text(int64_t t) {
  if (t <= 0) return "-";
  time_t tt = time_t(t);
  struct tm tm;
  char s[32];
  if (localtime_r(&tt, &tm) == nullptr || strftime(s, sizeof s, "%Y-%m-%d %H:%M:%S", &tm) == 0) return "-";
  return s;
}

// A redo time stamp (seconds of a calendar with 31-day months from 1988, the source's
// wall clock) as seconds since 1970, read as local time; 0 for none.
int64_t redo_clock(uint32_t sct) {
  if (sct == 0) return 0;
  struct tm tm = {};
  tm.tm_sec = int(sct % 60);
  tm.tm_min = int(sct / 60 % 60);
  tm.tm_hour = int(sct / 3600 % 24);
  tm.tm_mday = int(sct / 86400 % 31) + 1;
  tm.tm_mon = int(sct / 2678400 % 12);
  tm.tm_year = int(sct / 32140800) + 88;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  return t == time_t(-1) ? 0 : int64_t(t);
}

std::string lag_text(int64_t secs) {
  if (secs < 0) secs = 0;
  char s[32];
  if (secs < 60)
    snprintf(s, sizeof s, "%llds", static_cast<long long>(secs));
  else if (secs < 3600)
    snprintf(s, sizeof s, "%lldm%02llds", static_cast<long long>(secs / 60), static_cast<long long>(secs % 60));
  else if (secs < 172800)
    snprintf(s, sizeof s, "%lldh%02lldm", static_cast<long long>(secs / 3600), static_cast<long long>(secs / 60 % 60));
  else
    snprintf(s, sizeof s, "%lldd%02lldh", static_cast<long long>(secs / 86400),
             static_cast<long long>(secs / 3600 % 24));
  return s;
}

// The checkpoint file of an extract process: its position and whether the run that
// wrote it stopped cleanly. False when there is no file (the component never ran).
bool read_ckp(const Com &c, int thrd, Row *row) {
  char path[1024];
  if (thrd > 0)
    snprintf(path, sizeof path, "%sdata/%s/%s_%d.ckp", ks_get_home_dir(), c.unit.c_str(), c.name.c_str(), thrd);
  else
    snprintf(path, sizeof path, "%sdata/%s/%s.ckp", ks_get_home_dir(), c.unit.c_str(), c.name.c_str());
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t raw[KS_CKP_SIZE] = {};
  ssize_t n = ks_read_data(fd, raw, sizeof raw, 0);
  close(fd);
  if (n < 0) {
    row->ckp = "check point file unreadable";
    return true;
  }
  ks_ckp_t k;
  std::memcpy(&k, raw, sizeof k);
  row->state = (k.flag & KS_CKP_OPEN) ? "abended" : "stopped";
  // The trail offset saved with the position, when it belongs to the file named.
  char s[160];
  if (k.rsv[KS_CKP_RSV_FNO] == k.last_fno && k.rsv[KS_CKP_RSV_TAIL] != 0)
    snprintf(s, sizeof s, "seq %u rba %06x.%08x.%04x trail %u/%u (check point)", k.rba_sqn, k.rba_sqn, k.rba_blk,
             k.rba_byt, k.last_fno, k.rsv[KS_CKP_RSV_TAIL]);
  else
    snprintf(s, sizeof s, "seq %u rba %06x.%08x.%04x trail %u (check point)", k.rba_sqn, k.rba_sqn, k.rba_blk,
             k.rba_byt, k.last_fno);
  row->ckp = s;
  return true;
}

// Threads that have a checkpoint file of their own (<com>_<thread>.ckp).
std::vector<int> ckp_threads(const Com &c) {
  std::vector<int> out;
  char dir[1024];
  snprintf(dir, sizeof dir, "%sdata/%s", ks_get_home_dir(), c.unit.c_str());
  DIR *d = opendir(dir);
  if (d == nullptr) return out;
  std::string pre = c.name;
  pre += '_';
  while (struct dirent *e = readdir(d)) {
    std::string f = e->d_name;
    if (f.size() <= pre.size() + 4 || f.compare(0, pre.size(), pre) != 0 || f.compare(f.size() - 4, 4, ".ckp") != 0)
      continue;
    std::string num = f.substr(pre.size(), f.size() - 4 - pre.size());
    if (num.empty() || num.find_first_not_of("0123456789") != std::string::npos || num.size() > 4) continue;
    out.push_back(std::stoi(num));
  }
  closedir(d);
  return out;
}

// The rows of a component from the shared tables (ps and st may be null: no manager).
std::vector<Row> rows_of(const Com &c, const ks_ps_task_t *ps, int nps, const ks_ps_stat_t *st, int nst) {
  std::vector<Row> rows;
  auto row_for = [&](int thrd) -> Row & {
    for (Row &r : rows)
      if (r.thrd == thrd) return r;
    rows.push_back(Row());
    rows.back().thrd = thrd;
    return rows.back();
  };
  for (int i = 0; i < nst; ++i) {
    if (__atomic_load_n(&st[i].com_uk, __ATOMIC_ACQUIRE) != c.uk) continue;
    ks_ps_stat_t s;
    if (!ks_ps_stat_read(&st[i], &s) || s.com_uk != c.uk) continue;
    Row &r = row_for(s.thrd);
    r.have = true;
    r.st = s;
    r.state = s.state == KS_PS_STAT_STOPPED ? "stopped" : "abended";
    r.pid = s.pid;
    r.restarts = s.restarts;
    r.started = s.started;
  }
  for (int i = 0; i < nps; ++i) {
    const pid_t pid = __atomic_load_n(&ps[i].pid, __ATOMIC_ACQUIRE);
    if (pid <= 0 || ps[i].com_uk != c.uk || !ks_pid_running(pid)) continue;
    Row &r = row_for(ps[i].rsv);
    if (!r.have || r.st.pid != pid) r.started = 0;  // not yet taken its slot: a start of its own
    r.state = "running";
    r.pid = pid;
    r.restarts = ps[i].restarts;
  }
  if (c.type == KS_CFG_COM_EXTRACT) {
    // Processes with nothing published since the manager started: their checkpoint files.
    std::vector<int> threads = ckp_threads(c);
    threads.push_back(0);
    for (int t : threads) {
      bool known = false;
      for (const Row &r : rows) known = known || (r.thrd == t && r.have);
      Row probe;
      if (known || !read_ckp(c, t, &probe)) continue;
      Row &r = row_for(t);
      r.ckp = probe.ckp;
      if (std::strcmp(r.state, "running") != 0) r.state = probe.state;
    }
  }
  if (rows.empty()) rows.push_back(Row());
  return rows;
}

void print_row(const Com &c, const Row &r) {
  char id[80];
  if (r.thrd > 0)
    snprintf(id, sizeof id, "%s.%s#%d", c.unit.c_str(), c.name.c_str(), r.thrd);
  else
    snprintf(id, sizeof id, "%s.%s", c.unit.c_str(), c.name.c_str());
  const bool running = std::strcmp(r.state, "running") == 0;
  char pid[16] = "-";
  if (r.pid > 0) snprintf(pid, sizeof pid, "%d", int(r.pid));
  std::string pos, commit = "-", lag = "-", nc = "-";
  char s[200];
  if (r.have && r.st.updated != 0) {
    const ks_ps_stat_t &t = r.st;
    if (c.type == KS_CFG_COM_EXTRACT)
      snprintf(s, sizeof s, "seq %u rba %06x.%08x.%04x scn %llu trail %u/%llu", t.rba_sqn, t.rba_sqn, t.rba_blk,
               t.rba_byt, static_cast<unsigned long long>(t.scn), t.trail_fno,
               static_cast<unsigned long long>(t.trail_ofs));
    else
      snprintf(s, sizeof s, "trail %u/%llu scn %llu", t.trail_fno, static_cast<unsigned long long>(t.trail_ofs),
               static_cast<unsigned long long>(t.cmt_scn));
    pos = s;
    const int64_t when = redo_clock(t.cmt_sct);
    commit = clock_text(when);
    if (running && (t.flags & KS_PS_STAT_IDLE))
      lag = "idle";
    else if (when > 0)
      lag = lag_text(int64_t(time(nullptr)) - when);
    if (c.type == KS_CFG_COM_EXTRACT) {
      char counts[200] = "0";
      size_t at = 0;
      for (int i = 0; i < KS_NC_REASONS && at < sizeof counts; ++i) {
        if (t.nc[i] == 0) continue;
        int n = snprintf(counts + at, sizeof counts - at, "%s%s %llu", at == 0 ? "" : ", ", kNcNames[i],
                         static_cast<unsigned long long>(t.nc[i]));
        if (n > 0) at += size_t(n);
      }
      nc = counts;
    }
  } else if (!r.ckp.empty()) {
    pos = r.ckp;
  } else if (c.type == KS_CFG_COM_APPLY) {
    pos = "position kept in the target (KS_APPLY_CKP), out of reach of info";
  } else {
    pos = "no check point yet";
  }
  printf("%-16s %-8s %-8s pid %-7s started %-19s restarts %u  %s  last commit %s  lag %s  not captured %s\n", id,
         c.program.c_str(), r.state, pid, clock_text(r.started).c_str(), r.restarts, pos.c_str(), commit.c_str(),
         lag.c_str(), nc.c_str());
}

}  // namespace

int ks_info_handle(char *args) {
  std::string what = ks_parse_value(args);
  std::string unit = what, com;
  if (size_t dot = what.find('.'); dot != std::string::npos) {
    char u[KS_CFG_NAME], c[KS_CFG_NAME];
    if (!kesh::split_unit_com(what, u, c)) {
      kesh::err("Invalid component name \"%s\"\n", what.c_str());
      return -1;
    }
    unit = u;
    com = c;
  }
  if (ks_open_config() != 0) return -1;
  if (!unit.empty() && ks_cfg_lookup_unit(&x_cfg, unit.c_str()) < 0) {
    kesh::err("Unit \"%s\" not found\n", unit.c_str());
    return -1;
  }
  std::vector<Com> coms = components(unit, com);
  if (!com.empty() && coms.empty()) {
    kesh::err("Component \"%s\".\"%s\" not found\n", unit.c_str(), com.c_str());
    return -1;
  }
  // Attached: the status table, even one left by a manager that died (its components may
  // still run). Otherwise only the checkpoint files.
  const ks_ps_task_t *ps = nullptr;
  const ks_ps_stat_t *st = nullptr;
  int nps = 0, nst = 0;
  bool manager = false;
  const bool attached_before = shm_inf.status == 1;
  if (attached_before || ks_shm_attach() == 0) {
    ps = static_cast<const ks_ps_task_t *>(ks_shm_get_ps_ptr());
    nps = ps != nullptr ? ks_cfg_get_max_process() : 0;
    st = ks_ps_stat_table(&nst);
    const ks_sysinfo_t *si = ks_shm_get_sys_ptr();
    manager = si != nullptr && __atomic_load_n(&si->status, __ATOMIC_ACQUIRE) == KS_SHM_STATUS_READY &&
              ks_pid_running(si->pid);
  }
  if (!manager)
    printf(st != nullptr ? "Manager not running: positions as last published.\n"
                         : "Manager not running: extract positions from the check point files.\n");
  for (const Com &c : coms)
    for (const Row &r : rows_of(c, ps, nps, st, nst)) print_row(c, r);
  printf("%zu components\n", coms.size());
  // Not kept attached: a segment removed by a manager's stop would go on showing its
  // last contents to the next "info".
  if (!attached_before && shm_inf.status == 1) ks_shm_detach();
  return 0;
}
