// Capture speed: an OLTP redo set, read from the page cache, walked, decoded, grouped by
// transaction and written to trail files on one core, against `cat` of the same files in
// the same run. Prints redo MB/s, row changes per second and the ratio to cat, per wall
// second and per CPU second (user + system): on a shared machine the CPU figures are the
// ones that stand for a dedicated core.
//
// Usage: bench_redo_decode [-s MiB (1024)] [-c PCT (0)] [-L PCT (0)] [-D N (0)] [-d set dir] [-p passes (1)] [-R] [-A]
//
// The redo set is made once by orasim (beside this program) under
// /tmp/ks_redo_bench.<MiB>[.c<PCT>] (or -d) with its dictionary, and reused by later runs
// made with the same size and share: making it takes far longer than decoding it. -c sends
// that share of the workload's changes to the wide (300-column) and long-row tables, whose
// rows are stored in pieces over several blocks; the records of captured tables that the
// decoder could not take are counted by reason on the last line. -D adds a schema change
// (ALTER TABLE ADD/RENAME/DROP COLUMN, TRUNCATE, in turn) after every N transactions: the
// capture path then traces each one into its dictionary, which every pass starts afresh.
// -L sends that share of the row operations to tables of CLOB, NCLOB, BLOB (in the row and
// out of it, up to 10 MiB), LONG and LONG RAW columns. Each pass writes its
// trails into a private home that is removed at the end. Rows of the table:
//   cat              cat of the logs to /dev/null (the page-cache read cost)
//   decode           read + walk + decode, LCRs counted and dropped (no transaction table)
//   decode + trail   the whole capture path: read, walk, decode, transaction grouping,
//                    trail files
//   via kesfeed      (-R) the same with the logs read through the reader agent kesfeed
//                    on 127.0.0.1, as a capture on another host reads them; the agent's
//                    CPU is not in the cpu column, so the wall figures compare the two
//   from ASM         (-A) the same with the logs read from an ASM disk group: the set's
//                    logs are copied once into three disk images (1 MiB units, fine
//                    striped as online logs are) under the set directory, and read back
//                    through their extent maps
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "extract/asm.h"
#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "extract/trans/trans.h"
#include "lib/bytes.h"
#include "lib/cfg/cfg.h"
#include "lib/fmt/asm_format.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"
#include "lib/shm/shm.h"
#include "oci/oci.h"
#include "sim/source/asm_store.h"
#include "tests/agent_env.h"

namespace fs = std::filesystem;
namespace R = ks::redo;

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double tv(const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// CPU seconds (user + system) of this process, or of its waited-for children.
double cpu(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return tv(ru.ru_utime) + tv(ru.ru_stime);
}

// One stage's figures: wall and CPU seconds per pass.
struct Stage {
  double wall = 0;
  double cpu = 0;
};

void print_stage(const char *name, const Stage &s, double mb, double rows, const Stage &cat) {
  char r[32] = "-";
  if (rows >= 0) snprintf(r, sizeof r, "%.0f", rows / s.cpu);
  printf("| %-16s | %8.3f | %8.3f | %10.0f | %10.0f | %14s | %9.2f |\n", name, s.wall, s.cpu, mb / s.wall, mb / s.cpu,
         r, cat.cpu / s.cpu);
}

std::string self_dir() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return ".";
  exe[n] = 0;
  std::string d(exe);
  return d.substr(0, d.rfind('/'));
}

int run(const std::string &cmd) {
  int rc = system(cmd.c_str());
  if (rc != 0) fprintf(stderr, "failed (%d): %s\n", rc, cmd.c_str());
  return rc;
}

// A private home with unit U, extract component C capturing schema OLTP, default
// parameters; with_shm also creates the system segment the transaction table takes its
// memory from.
// The slot buffer of the transaction table (0: the default), -t.
uint32_t g_trans_sz = 0;

bool make_home(const std::string &home, bool with_shm) {
  fs::create_directories(home + "config");
  fs::create_directories(home + "data/U");
  fs::create_directories(home + "dict/U");
  fs::create_directories(home + "log");  // error lines go to a file, as in the process
  setenv("KESTRO_HOME", home.c_str(), 1);
  ks_reset_home_dir();
  std::strcpy(unit_name, "U");
  std::strcpy(com_name, "C");
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  if (ks_cfg_open_file(&cfg, omsg) != 0) return false;
  ks_cfg_file_header(&cfg)->shm_sz = 64 * 1024 * 1024;
  ks_cfg_funit_t u{};
  std::strcpy(u.un_name, "U");
  ks_cfg_fcom_t c{};
  std::strcpy(c.name, "C");
  c.com_typ = KS_CFG_COM_EXTRACT;
  ks_cfg_fparm_t p{};
  p.trans_sz = g_trans_sz;
  ks_cfg_finc_t i{};
  std::strcpy(i.schema, "OLTP");
  std::strcpy(i.table, "*");
  i.flag = KS_CFG_SET_ALL;
  if (ks_cfg_add_unit(&cfg, &u, omsg) != 0 || ks_cfg_add_com(&cfg, "U", &c, omsg) != 0 ||
      ks_cfg_add_param(&cfg, "U", "C", &p, omsg) != 0 || ks_cfg_add_include(&cfg, "U", "C", &i, omsg) != 0) {
    fprintf(stderr, "configuration: %s\n", omsg);
    return false;
  }
  cfg.flag |= KS_CFG_MODIFIED;
  if (ks_cfg_close_file(&cfg, omsg) != 0) return false;
  if (!with_shm) return true;
  if (ks_shm_create() != 0 || ks_cfg_load() != 0) return false;
  ks_shm_mark_sys_used();
  return true;
}

std::vector<std::string> archived_logs(const std::string &set) {
  std::vector<std::string> v;
  std::error_code ec;
  for (auto &e : fs::directory_iterator(set + "/sim/SRC/archivelog", ec))
    if (e.is_regular_file()) v.push_back(e.path().string());
  std::sort(v.begin(), v.end(), [](const std::string &a, const std::string &b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;  // sequence order
  });
  return v;
}

uint64_t total_size(const std::vector<std::string> &logs) {
  uint64_t n = 0;
  for (auto &l : logs) n += fs::file_size(l);
  return n;
}

// What a set was made with, kept in its ready file: a set of another size or share is
// made again rather than measured under the wrong name.
std::string set_params(int mib, int chained, int ddl, int lobs) {
  return std::to_string(mib) + " MiB, chained " + std::to_string(chained) + ", ddl every " + std::to_string(ddl) +
         ", lobs " + std::to_string(lobs);
}

bool set_ready(const std::string &set, const std::string &params) {
  FILE *f = fopen((set + "/ready").c_str(), "r");
  if (f == nullptr) return false;
  char line[64] = "";
  bool same = fgets(line, sizeof line, f) != nullptr && params + "\n" == line;
  fclose(f);
  return same;
}

// The simulated database's own files as they are between two batches (the archived logs
// aside: a batch only adds to them), so that a batch that fails can be undone.
bool save_sim(const std::string &sim, const std::string &to) {
  std::error_code ec;
  fs::remove_all(to, ec);
  fs::create_directories(to, ec);
  fs::copy(sim + "/SRC.db", to + "/SRC.db", ec);
  if (!ec) fs::copy(sim + "/SRC/onlinelog", to + "/onlinelog", fs::copy_options::recursive, ec);
  return !ec;
}

bool restore_sim(const std::string &from, const std::string &sim, const std::vector<std::string> &archived) {
  std::error_code ec;
  const auto over = fs::copy_options::overwrite_existing;
  fs::copy(from + "/SRC.db", sim + "/SRC.db", over, ec);
  if (!ec) fs::copy(from + "/onlinelog", sim + "/SRC/onlinelog", over | fs::copy_options::recursive, ec);
  for (auto &e : fs::directory_iterator(sim + "/SRC/archivelog", ec))
    if (std::find(archived.begin(), archived.end(), e.path().string()) == archived.end()) fs::remove(e.path(), ec);
  return !ec;
}

// Exports the dictionary of the simulated database, as it stands, into the set through the
// stand-in client library.
bool export_dict(const std::string &set, const std::string &sim) {
  std::string home = set + "/home/";
  if (!make_home(home, false)) return false;
  fs::path lib = fs::path(self_dir()).parent_path() / "lib" / "liborasim.so";
  setenv("KESTRO_OCI_LIB", lib.c_str(), 1);
  ks_oci_ses_t se{};
  if (ks_oci_connect(&se, "KS", "KS", ("sim:" + sim + "/SRC.db").c_str(), 1) != 0) {
    fprintf(stderr, "connect: %s\n", ks_oci_get_message());
    return false;
  }
  char unit[] = "U", com[] = "C";
  int rc = ks_export_dict(&se, unit, com);
  ks_oci_disconnect(&se);
  if (rc != 0) {
    fprintf(stderr, "export dictionary: %s\n", ks_log_get_message());
    return false;
  }
  std::error_code ec;
  fs::copy_file(home + "dict/U/C.dict", set + "/C.dict", fs::copy_options::overwrite_existing, ec);
  fs::remove_all(home);
  return !ec;
}

// Makes the redo set: orasim runs OLTP batches, each ended by a log switch so that the
// archived logs hold all of it, until they reach the size. The dictionary is exported
// after the first batch, which made the tables, and that batch's logs are removed: the set
// starts where the dictionary stands, as a capture process started then would, so that
// schema changes later in the set are traced from the definitions they change. The first
// batch is small and the next ones are sized from the redo per transaction so far, at most
// kBatchBytes each: a wide-row transaction writes about ten times the redo of an ordinary
// one, some a hundred times, and sets of either kind come out near the size.
// With wide rows, a batch that fails is undone and run again with the next seed: the
// simulator refuses now and then to move a very large row (its record would exceed the
// limit), and one refusal must not cost the whole set. When three seeds in a row fail,
// the set ends where it is, smaller than asked: what it holds is whole, and its size is
// printed with the figures. Each retry is said on stderr.
constexpr uint64_t kBatchBytes = 16u << 20;

bool make_set(const std::string &set, int mib, int chained, int ddl, int lobs) {
  std::string bin = self_dir();
  std::string sim = set + "/sim";
  const std::string saved = set + "/before-batch";
  fs::remove_all(set);
  fs::create_directories(set);
  if (run(bin + "/orasim create -d " + sim + " -n SRC --version 19 --log-size 32M --groups 3 >/dev/null") != 0)
    return false;
  const uint64_t want = static_cast<uint64_t>(mib) << 20;
  uint64_t have = 0, txns = 0;
  bool exported = false;
  int retries = 0;  // of the current batch
  for (int seed = 1; have < want; seed++) {
    fprintf(stderr, "making the redo set: %llu of %d MiB\r", static_cast<unsigned long long>(have >> 20), mib);
    uint64_t batch = 100;
    if (txns != 0)
      batch = std::clamp<uint64_t>(
          std::min<uint64_t>(want - have, kBatchBytes) / std::max<uint64_t>(have / txns, 1) + 1, 20, 20000);
    const std::vector<std::string> archived = archived_logs(set);
    if (chained > 0 && !save_sim(sim, saved)) return false;
    if (run(bin + "/orasim run -d " + sim + " -n SRC --txns " + std::to_string(batch) +
            " --concurrency 8 --rollback 5 --savepoint 5 --multi 10 --chained " + std::to_string(chained) +
            (ddl > 0 ? " --ddl-every " + std::to_string(ddl) : std::string()) +
            (lobs > 0 ? " --lobs " + std::to_string(lobs) : std::string()) + " --nosync --no-expect --seed " +
            std::to_string(seed) + " >/dev/null") != 0) {
      if (chained == 0 || !restore_sim(saved, sim, archived)) return false;
      if (++retries == 3) {
        if (have == 0) return false;
        fprintf(stderr, "batch with seed %d undone; the set ends at %.1f MB, smaller than asked\n", seed, have / 1e6);
        break;
      }
      fprintf(stderr, "batch with seed %d undone; trying the next seed\n", seed);
      continue;
    }
    retries = 0;
    if (run(bin + "/orasim switch -d " + sim + " -n SRC >/dev/null") != 0) return false;
    if (!exported) {
      if (!export_dict(set, sim)) return false;
      exported = true;
      std::error_code ec;
      for (const std::string &l : archived_logs(set)) fs::remove(l, ec);
      continue;
    }
    txns += batch;
    have = total_size(archived_logs(set));
  }
  fs::remove_all(saved);
  fprintf(stderr, "\n");
  FILE *f = fopen((set + "/ready").c_str(), "w");
  if (f == nullptr) return false;
  fprintf(f, "%s\n", set_params(mib, chained, ddl, lobs).c_str());
  return fclose(f) == 0;
}

uint64_t g_lcrs = 0;
uint64_t g_rows = 0;
uint64_t g_ddl = 0;
uint64_t g_lob = 0;  // LOB writes

void count(ks_lcr_rh_t *rh) {
  g_lcrs++;
  switch (rh->opc) {
    case KS_OPC_INSERT:
    case KS_OPC_UPDATE:
    case KS_OPC_DELETE:
    case KS_OPC_QMD:
      if (!(rh->flag & KS_RH_SHORT)) g_rows++;
      break;
    case KS_OPC_QMI:
      g_rows += rh->nnew;
      break;
    case KS_OPC_DDL:
      g_ddl++;
      break;
    case KS_OPC_LOB_WRITE:
      g_lob++;
      break;
    default:
      break;
  }
}

int count_only(ks_extr_t *, ks_lcr_rh_t *rh, uint64_t, uint64_t, uint32_t) {
  count(rh);
  return 0;
}

int count_and_append(ks_extr_t *ex, ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct) {
  count(rh);
  return ks_append_lcr(ex, rh, xid, scn, sct);
}

// A log of the set as the capture reads it: its name (a path, or "+GROUP/..." on ASM) and
// size.
struct LogRef {
  std::string name;
  uint64_t bytes;
};

// The capture loop over the logs as the process runs it: read up to 2 MiB of blocks,
// walk them, repeat to the end of each log, then the next sequence. Every read, the file
// header's too, goes through the reader, wherever the log is kept.
bool capture(const std::vector<LogRef> &logs, ks_extr_t *ex) {
  for (const LogRef &log : logs) {
    snprintf(ex->l->name, sizeof ex->l->name, "%s", log.name.c_str());
    ex->l->flag = KS_LOGF_ARCHIVED | (log.name[0] == '+' ? KS_LOGF_ASM : 0);
    if ((ex->l->flag & KS_LOGF_ASM) && ks_asm_locate_log(ex) < 0) return false;
    if (ks_open_redo_file(ex) < 0) return false;
    // The block size is in block 0, read with the smallest one first.
    ex->l->blk_sz = 512;
    ex->l->blks = 2;
    if (ks_read_redo_file(ex, 0, 1) != 512) return false;
    const uint8_t *h = ex->b->rd_buf;
    uint32_t magic = ks::load<uint32_t>(h + R::KS_REDO_FH0_MAGIC);
    bool big = magic == R::KS_REDO_MAGIC_BIG_HOST || magic == R::KS_REDO_MAGIC_BIG_HOST_ALT;
    ex->l->flag |= big ? KS_LOGF_BIG_ENDIAN : 0;
    ex->l->blk_sz = static_cast<int>(ks::load32(h + R::KS_REDO_FH0_BLOCK_SIZE, big));
    ex->l->blks = static_cast<int>(log.bytes / static_cast<uint64_t>(ex->l->blk_sz));
    if (ks_read_redo_file(ex, 1, 1) != ex->l->blk_sz) return false;
    ks_rba_t rba = {ks::load32(ex->b->rd_buf + R::KS_REDO_BH_SEQUENCE, big), 0, 0};
    while (static_cast<int>(rba.blk) < ex->l->blks) {
      int n = ks_read_redo_file(ex, static_cast<int>(rba.blk), -1);
      if (n <= 0 || ks_do_read_buffer(ex, &rba, n / ex->l->blk_sz) < 0) {
        fprintf(stderr, "walk failed in %s at block %u\n", log.name.c_str(), rba.blk);
        return false;
      }
      if (ex->t->buf != nullptr && ks_flush_trail(ex->t) < 0) return false;
    }
  }
  return true;
}

// The set's logs copied into disk group DATA under <set>/asm (once: kept for later runs),
// and the reader r set up on its disks as discovery would. The logs' names on ASM in *out.
bool asm_set(const std::string &set, const std::vector<LogRef> &logs, ks_reader_t *r, std::vector<LogRef> *out) {
  ks::sim::ks_asm_cfg_t cfg;
  cfg.name = "DATA";
  cfg.dir = set + "/asm";
  ks::sim::ks_asm_group g;
  const bool made = fs::exists(set + "/asm/ready");
  if (!made) {
    fs::remove_all(cfg.dir);
    fs::create_directories(cfg.dir);
    g.set_sync(false);
    if (g.create(cfg) != 0) return false;
    std::vector<uint8_t> buf(8u << 20);
    for (const LogRef &l : logs) {
      uint32_t fno = 0;
      int fd = open(l.name.c_str(), O_RDONLY);
      bool ok = fd >= 0 && g.create_file(l.bytes, true, KS_ASM_FTYPE_ONLINELOG, 512, 1, &fno) == 0;
      for (uint64_t off = 0; ok && off < l.bytes; off += buf.size()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), l.bytes - off));
        ok = pread(fd, buf.data(), n, static_cast<off_t>(off)) == static_cast<ssize_t>(n) &&
             g.write(fno, buf.data(), n, static_cast<off_t>(off)) == static_cast<ssize_t>(n);
      }
      if (fd >= 0) close(fd);
      if (!ok || g.publish(fno) != 0) return false;
    }
    FILE *f = fopen((set + "/asm/ready").c_str(), "w");
    if (f == nullptr || fclose(f) != 0) return false;
  } else if (g.open(cfg) != 0) {
    return false;
  }
  // The files in publication order are the logs in order.
  size_t i = 0;
  for (const auto &[fno, file] : g.files()) {
    if (fno < KS_ASM_FIRST_USER_FILE) continue;
    if (i == logs.size()) return false;
    out->push_back({"+DATA/SRC/ONLINELOG/log." + std::to_string(fno) + ".1", logs[i++].bytes});
  }
  if (i != logs.size()) return false;
  r->flag |= KS_RDR_ASM;
  r->ndg = 1;
  ks_asm_grp_t &dg = r->dg[0];
  dg = {};
  dg.flag = KS_ASM_EXTERN;
  dg.dg_num = cfg.number;
  dg.blk_sz = 4096;
  dg.au_sz = static_cast<int>(cfg.au);
  dg.f1dsk = -1;
  snprintf(dg.name, sizeof dg.name, "%s", cfg.name.c_str());
  for (int d = 0; d < cfg.disks; d++) {
    r->dsk[d] = {d, open(g.disk_path(d).c_str(), O_RDONLY)};
    uint8_t head[4096];
    if (r->dsk[d].dskfd < 0 || pread(r->dsk[d].dskfd, head, sizeof head, 0) != sizeof head) return false;
    const uint32_t f1au = ks::load32(head + KS_ASM_DH_F1AU, head[KS_ASM_BH_ENDIAN] == 0);
    if (f1au != 0 && dg.f1dsk < 0) {
      dg.f1dsk = d;
      dg.f1au = static_cast<int>(f1au);
    }
    dg.ndsk++;
  }
  return dg.f1dsk >= 0;
}

void usage(const char *me) {
  fprintf(stderr,
          "usage: %s [-s MiB of redo (1024)] [-c PCT of changes to wide rows (0)] [-D DDL every N transactions (0)]\n"
          "       [-L PCT of row operations on LOB and LONG tables (0)] [-d set directory] [-p passes (1)]\n"
          "       [-t slot buffer bytes of the transaction table (default of the capture process)]\n"
          "       [-R: the whole path also with the logs read through kesfeed on 127.0.0.1]\n"
          "       [-A: the whole path also with the logs read from an ASM disk group]\n",
          me);
}

}  // namespace

int main(int argc, char **argv) {
  int mib = 1024, passes = 1, chained = 0, ddl = 0, lobs = 0;
  bool remote = false, on_asm = false;
  std::string set;
  int c;
  while ((c = getopt(argc, argv, "s:c:D:L:d:p:t:RAh")) != -1) {
    switch (c) {
      case 's':
        mib = atoi(optarg);
        break;
      case 'c':
        chained = atoi(optarg);
        break;
      case 'D':
        ddl = atoi(optarg);
        break;
      case 'L':
        lobs = atoi(optarg);
        break;
      case 'd':
        set = optarg;
        break;
      case 'p':
        passes = atoi(optarg);
        break;
      case 'R':
        remote = true;
        break;
      case 'A':
        on_asm = true;
        break;
      case 't':
        g_trans_sz = static_cast<uint32_t>(strtoul(optarg, nullptr, 0));
        break;
      default:
        usage(argv[0]);
        return 1;
    }
  }
  if (mib <= 0 || passes <= 0 || chained < 0 || chained > 100 || ddl < 0 || lobs < 0 || lobs > 100) {
    usage(argv[0]);
    return 1;
  }
  if (set.empty())
    set = "/tmp/ks_redo_bench." + std::to_string(mib) + (chained ? ".c" + std::to_string(chained) : "") +
          (ddl ? ".d" + std::to_string(ddl) : "") + (lobs ? ".l" + std::to_string(lobs) : "");
  set = fs::absolute(set).string();  // the agent serves absolute paths only
  ks_log_inf.log_level = KS_LOG_ERROR;
  if (!set_ready(set, set_params(mib, chained, ddl, lobs)) && !make_set(set, mib, chained, ddl, lobs)) {
    fprintf(stderr, "cannot make the redo set in %s\n", set.c_str());
    return 1;
  }
  std::vector<std::string> logs = archived_logs(set);
  std::vector<LogRef> refs;
  for (const std::string &l : logs) refs.push_back({l, fs::file_size(l)});
  const double mb = total_size(logs) / 1e6;

  // cat, after one untimed pass that brings the files into the page cache.
  std::string cat = "cat";
  for (auto &l : logs) cat += " " + l;
  cat += " > /dev/null";
  if (run(cat) != 0) return 1;
  Stage st_cat, st_dec, st_full;
  double t0 = now(), c0 = cpu(RUSAGE_CHILDREN);
  for (int p = 0; p < passes; p++)
    if (run(cat) != 0) return 1;
  st_cat.wall = (now() - t0) / passes;
  st_cat.cpu = (cpu(RUSAGE_CHILDREN) - c0) / passes;

  uint8_t *block = nullptr;
  if (ks_dict_load_block((set + "/C.dict").c_str(), malloc, free, &block) != 0) return 1;
  static ks_dict_t dict;
  ks_dict_attach(block, &dict);

  char tmpl[] = "/tmp/ks_decode_bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string home = std::string(tmpl) + "/";
  if (!make_home(home, true)) {
    fprintf(stderr, "cannot set up the installation: %s\n", ks_log_get_message());
    ks_shm_remove();
    return 1;
  }

  auto mem = std::make_unique<uint8_t[]>(KS_BUF_TOTAL);
  static ks_buffer_t buf;
  ks_cut_buffer(&buf, mem.get());
  static ks_reader_t rdr;
  rdr.asd = -1;
  rdr.lfd = -1;
  static ks_logf_t lf;
  static ks_extr_t ex;
  ex.r = &rdr;
  ex.b = &buf;
  ex.l = &lf;
  ex.m = &x_miner;
  ex.d = &dict;
  ex.t = &x_trans;
  x_miner.cbl = 2;  // the sets are made in orasim's default character set, AL32UTF8

  bool ok = true;
  uint64_t rows_dec = 0, rows_full = 0, lcrs_full = 0;
  for (int p = 0; p < passes && ok; p++) {
    x_lcr_tap = count_only;
    g_rows = g_lcrs = g_ddl = g_lob = 0;
    ks_reset_not_captured();
    t0 = now();
    c0 = cpu(RUSAGE_SELF);
    ok = capture(refs, &ex);
    st_dec.wall += (now() - t0) / passes;
    st_dec.cpu += (cpu(RUSAGE_SELF) - c0) / passes;
    rows_dec = g_rows;
  }
  // The whole capture path, `passes` times, into st.
  const std::vector<LogRef> *pass_logs = &refs;
  auto full_passes = [&](Stage &st) {
    for (int p = 0; p < passes && ok; p++) {
      // Each pass starts from the exported dictionary: the previous one traced the schema
      // changes of the set into the one it used. Loading it is not timed.
      if (ddl > 0) {
        free(block);
        block = nullptr;
        if (ks_dict_load_block((set + "/C.dict").c_str(), malloc, free, &block) != 0) {
          ok = false;
          break;
        }
        ks_dict_attach(block, &dict);
      }
      // A fresh trail sequence each pass: the previous pass's files are removed first.
      for (auto &e : fs::directory_iterator(home + "data/U")) fs::remove(e.path());
      x_trans.fd = -1;
      x_trans.fseq = 0;
      if (ks_trans_open(&x_trans) < 0) {
        ok = false;
        break;
      }
      x_trans.flag |= KS_TRANS_GATHER;  // as the capture process runs it
      x_lcr_tap = count_and_append;
      g_rows = g_lcrs = g_ddl = g_lob = 0;
      ks_reset_not_captured();
      t0 = now();
      c0 = cpu(RUSAGE_SELF);
      ok = capture(*pass_logs, &ex) && ks_trans_close(&x_trans) == 0;
      st.wall += (now() - t0) / passes;
      st.cpu += (cpu(RUSAGE_SELF) - c0) / passes;
      rows_full = g_rows;
      lcrs_full = g_lcrs;
    }
  };
  full_passes(st_full);
  Stage st_remote;
  if (remote && ok) {
    ks_close_reader(&ex);
    kstest::FeedAgent agent((fs::read_symlink("/proc/self/exe").parent_path() / "kesfeed").string(), home + "feed",
                            set);
    x_net_tmout = 10;
    if (!agent.connect_reader(&rdr)) {
      fprintf(stderr, "kesfeed not started: the figures through it are left out\n");
    } else {
      full_passes(st_remote);
      ks_close_reader(&ex);
    }
  }
  Stage st_asm;
  std::vector<LogRef> asm_refs;
  if (on_asm && ok) {
    ks_close_reader(&ex);
    ks_init_reader(&ex);
    if (!asm_set(set, refs, &rdr, &asm_refs)) {
      fprintf(stderr, "the ASM disk group could not be made or opened: the figures from it are left out\n");
    } else {
      pass_logs = &asm_refs;
      full_passes(st_asm);
    }
    ks_close_reader(&ex);
  }
  uint64_t trail = 0;
  int files = 0;
  std::error_code ec;
  for (auto &e : fs::directory_iterator(home + "data/U", ec))
    if (e.path().extension() == ".dat") {
      trail += e.file_size();
      files++;
    }
  ks_shm_remove();
  fs::remove_all(tmpl, ec);
  if (!ok) {
    fprintf(stderr, "capture failed: %s\n", ks_log_get_message());
    return 1;
  }
  printf(
      "redo set %s: %zu logs, %.1f MB; %llu LCRs, %llu row changes, %llu LOB writes, %llu DDL; trail %.1f MB in %d "
      "files\n",
      set.c_str(), logs.size(), mb, static_cast<unsigned long long>(lcrs_full),
      static_cast<unsigned long long>(rows_full), static_cast<unsigned long long>(g_lob),
      static_cast<unsigned long long>(g_ddl), trail / 1e6, files);
  printf("Rates per CPU second stand for one dedicated core; wall rates depend on the machine's load.\n");
  printf("| %-16s | %8s | %8s | %10s | %10s | %14s | %9s |\n", "stage", "wall s", "cpu s", "MB/s wall", "MB/s cpu",
         "row changes/s", "speed/cat");
  printf("|------------------|----------|----------|------------|------------|----------------|-----------|\n");
  print_stage("cat", st_cat, mb, -1, st_cat);
  print_stage("decode", st_dec, mb, static_cast<double>(rows_dec), st_cat);
  print_stage("decode + trail", st_full, mb, static_cast<double>(rows_full), st_cat);
  if (st_remote.wall > 0) print_stage("via kesfeed", st_remote, mb, static_cast<double>(rows_full), st_cat);
  if (st_asm.wall > 0) print_stage("from ASM", st_asm, mb, static_cast<double>(rows_full), st_cat);
  // Counted in the last pass: a record the decoder cannot take costs its walk and its
  // report, and the figures above stand for those records too.
  uint64_t nc = 0;
  std::string why;
  for (int r = 0; r < KS_NC_REASONS; r++) {
    if (ks_not_captured_count(r) == 0) continue;
    nc += ks_not_captured_count(r);
    why += std::string(why.empty() ? " (" : ", ") + ks_not_captured_reason(r) + ": " +
           std::to_string(ks_not_captured_count(r));
  }
  printf("records of captured tables not captured: %llu%s\n", static_cast<unsigned long long>(nc),
         why.empty() ? "" : (why + ")").c_str());
  return 0;
}
