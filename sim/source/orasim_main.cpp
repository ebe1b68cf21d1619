// orasim: the simulated source database as a command a person can run.
//   orasim create -d DIR [options]      create a database (catalogue, online logs)
//   orasim run -d DIR [options]         run the OLTP mix or a script, writing redo
//   orasim switch -d DIR                switch the current log
//   orasim shutdown|startup -d DIR --instance K   close or open an instance's redo thread
//   orasim print -d DIR [OWNER.TABLE..] print the tables in canonical form
//   orasim diff SOURCE.db TARGET [-u U/P] [--map ..] [--sequences] [OWNER.TABLE..]  compare
//                                          table definitions and rows (and sequences) with
//                                          a target reached through the database layer
//                                          (exit 0 when equal)
//   orasim instantiate SOURCE.db TARGET [-u U/P] [--map ..] [OWNER.TABLE..]  create the
//                                          tables on the target and copy their rows
// Exit status: 0 success (diff: identical), 1 differences, 2 failure.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "sim/source/sim_db.h"
#include "sim/source/sim_instantiate.h"
#include "sim/source/sim_print.h"
#include "sim/source/workload.h"

using namespace ks::sim;

namespace {

void usage() {
  fputs(
      "usage: orasim create -d DIR [-n NAME] [--block-size 512|1024|4096] [--version 10|11|12|19|23]\n"
      "                     [--big-endian] [--groups N] [--log-size BYTES[K|M]] [--noarchive]\n"
      "                     [--suplog min|pk|pkui|all] [--no-force-logging] [--charset CS] [--ncharset CS]\n"
      "                     [--pdb NAME] [--con-uid N] [--other-con-uid N] [--thread N] [--db-block N]\n"
      "                     [--noise PCT] [--seed N] [--instances N]\n"
      "                     [--asm GROUP [--asm-disks N] [--asm-redundancy extern|normal|high] [--asm-au BYTES[K|M]]\n"
      "                      [--asm-stripe fine|coarse] [--asm-big-endian] [--asm-arch GROUP2]]\n"
      "       orasim run -d DIR [-n NAME] [--txns N] [--seed N] [--concurrency N] [--rate TPS] [--realtime]\n"
      "                  [--rollback PCT] [--savepoint PCT] [--multi PCT] [--switch-every N]\n"
      "                  [--chained PCT] [--ddl-every N] [--lobs PCT] [--iot PCT] [--compress PCT]\n"
      "                  [--script FILE] [--expect FILE | --no-expect] [--nosync] [--group-commit BYTES]\n"
      "                  [--commit-times FILE] [--instance K | --instances K,L,...]\n"
      "       orasim switch -d DIR [-n NAME] [--instance K]\n"
      "       orasim shutdown|startup -d DIR [-n NAME] --instance K\n"
      "       orasim print -d DIR [-n NAME] [OWNER.TABLE ...]\n"
      "       orasim diff SOURCE.db TARGET [-u USER/PASSWORD] [--map OWNER[.TABLE]=OWNER[.TABLE] ...]\n"
      "                  [--exclude OWNER.TABLE|OWNER.* ...] [--sequences] [OWNER.TABLE|OWNER.* ...]\n"
      "       orasim instantiate SOURCE.db TARGET [-u USER/PASSWORD] [--map ...] [--exclude ...]\n"
      "                  [OWNER.TABLE|OWNER.* ...]   (run while the source is quiet, before capture starts)\n"
      "                  (TARGET: a connect string, or the stand-in's TARGET.db file)\n",
      stderr);
}

int fail(const char *what) {
  const char *m = ks_log_get_message();
  fprintf(stderr, "orasim: %s\n%s", what, m && *m ? m : "");
  return 2;
}

uint64_t size_arg(const char *s) {
  char *end = nullptr;
  uint64_t v = strtoull(s, &end, 10);
  if (end && (*end == 'k' || *end == 'K')) v <<= 10;
  if (end && (*end == 'm' || *end == 'M')) v <<= 20;
  if (end && (*end == 'g' || *end == 'G')) v <<= 30;
  return v;
}

uint32_t version_vsn(int v) {
  switch (v) {
    case 10:
      return ks::redo::KS_REDO_VSN10;
    case 11:
      return ks::redo::KS_REDO_VSN11;
    case 12:
      return ks::redo::KS_REDO_VSN12;
    case 19:
      return ks::redo::KS_REDO_VSN19;
    case 23:
      return ks::redo::KS_REDO_VSN23;
  }
  return v >= 12 && v < 64 ? uint32_t(v) << 24 : 0;
}

// Without KESTRO_OCI_LIB the layer would look for Oracle's client library; orasim's own
// targets are served by the stand-in installed beside it (<prefix>/lib/liborasim.so).
void default_client_library() {
  if (getenv("KESTRO_OCI_LIB") != nullptr) return;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return;
  exe[n] = 0;
  std::string dir(exe);
  if (size_t slash = dir.rfind('/'); slash != std::string::npos) dir.resize(slash);
  std::string lib = dir.substr(0, dir.rfind('/')) + "/lib/liborasim.so";
  if (access(lib.c_str(), R_OK) == 0) setenv("KESTRO_OCI_LIB", lib.c_str(), 1);
}

// Connect to a diff or instantiate target: any connect string the database layer takes;
// a bare file name is the stand-in's database file.
int connect_target(std::string tns, const std::string &login, ks_oci_ses_t *ses) {
  if (tns.find(':') == std::string::npos && tns.find('(') == std::string::npos) tns = "sim:" + tns;
  default_client_library();
  std::string user = "kestro", pass;
  if (!login.empty()) {
    size_t sl = login.find('/');
    user = login.substr(0, sl);
    if (sl != std::string::npos) pass = login.substr(sl + 1);
  }
  if (ks_oci_connect(ses, user.c_str(), pass.c_str(), tns.c_str(), 1) != 0) {
    fprintf(stderr, "orasim: connect to %s: %s\n", tns.c_str(), ks_oci_get_message());
    return -1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    usage();
    return 2;
  }
  std::string cmd = argv[1];
  std::string dir = ".", name = "ORASIM", script, expect, times;
  bool no_expect = false;
  ks_db_cfg_t cfg;
  ks_oltp_cfg_t ocfg;
  uint64_t log_size = 8u << 20;
  bool nosync = false, sequences = false;
  bool asm_opts = false;  // a disk group option, which needs --asm
  uint32_t group_commit = 0;
  std::string login;
  std::vector<std::string> rest, exclude;
  std::vector<ks_sim_map_t> maps;
  int instance = 0;  // the session's instance (0: the first)
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    auto val = [&]() -> const char * {
      if (i + 1 >= argc) {
        fprintf(stderr, "orasim: option %s needs a value\n", a.c_str());
        exit(2);
      }
      return argv[++i];
    };
    if (a.compare(0, 6, "--asm-") == 0) asm_opts = true;
    if (a == "-d" || a == "--dir")
      dir = val();
    else if (a == "-n" || a == "--name")
      name = val();
    else if (a == "--block-size")
      cfg.redo.blk_sz = uint32_t(atoi(val()));
    else if (a == "--version")
      cfg.redo.vsn = version_vsn(atoi(val()));
    else if (a == "--big-endian")
      cfg.redo.big = true;
    else if (a == "--little-endian")
      cfg.redo.big = false;
    else if (a == "--groups")
      cfg.groups = atoi(val());
    else if (a == "--log-size")
      log_size = size_arg(val());
    else if (a == "--noarchive")
      cfg.redo.archive = false;
    else if (a == "--suplog") {
      std::string m = val();
      cfg.suplog = m == "min" ? kSupMin : m == "pk" ? kSupPk : m == "pkui" ? kSupPkUi : m == "all" ? kSupAll : -1;
    } else if (a == "--no-force-logging")
      cfg.force_logging = false;
    else if (a == "--charset")
      cfg.charset = val();
    else if (a == "--ncharset")
      cfg.ncharset = val();
    else if (a == "--pdb")
      cfg.pdb = val();
    else if (a == "--con-uid")
      cfg.con_uid = uint32_t(strtoul(val(), nullptr, 10));
    else if (a == "--other-con-uid")
      cfg.other_con_uid = uint32_t(strtoul(val(), nullptr, 10));
    else if (a == "--instance")
      instance = atoi(val());
    else if (a == "--instances") {
      // create: how many; run: which ones the sessions run on
      const std::string v = val();
      cfg.instances = atoi(v.c_str());
      for (size_t p = 0; p < v.size();) {
        size_t c = v.find(',', p);
        if (c == std::string::npos) c = v.size();
        ocfg.instances.push_back(atoi(v.substr(p, c - p).c_str()));
        p = c + 1;
      }
    } else if (a == "--thread")
      cfg.redo.thread = uint32_t(atoi(val()));
    else if (a == "--db-block")
      cfg.db_block = uint32_t(atoi(val()));
    else if (a == "--asm")
      cfg.asm_grp.name = val();
    else if (a == "--asm-disks")
      cfg.asm_grp.disks = atoi(val());
    else if (a == "--asm-redundancy") {
      std::string m = val();
      cfg.asm_grp.copies = m == "extern" ? 1 : m == "normal" ? 2 : m == "high" ? 3 : -1;
    } else if (a == "--asm-au")
      cfg.asm_grp.au = uint32_t(size_arg(val()));
    else if (a == "--asm-stripe") {
      std::string m = val();
      cfg.asm_fine = m == "fine";
      if (m != "fine" && m != "coarse") cfg.asm_grp.copies = -1;
    } else if (a == "--asm-big-endian")
      cfg.asm_grp.big = true;
    else if (a == "--asm-arch")
      cfg.asm_arch = val();
    else if (a == "--noise")
      cfg.noise = atoi(val());
    else if (a == "--seed")
      cfg.seed = ocfg.seed = strtoull(val(), nullptr, 10);
    else if (a == "--txns")
      ocfg.txns = strtoull(val(), nullptr, 10);
    else if (a == "--concurrency")
      ocfg.concurrency = atoi(val());
    else if (a == "--rate")
      ocfg.rate = atof(val());
    else if (a == "--realtime")
      ocfg.realtime = true;
    else if (a == "--rollback")
      ocfg.rollback_pct = atoi(val());
    else if (a == "--savepoint")
      ocfg.savepoint_pct = atoi(val());
    else if (a == "--multi")
      ocfg.multi_pct = atoi(val());
    else if (a == "--chained")
      ocfg.chained_pct = atoi(val());
    else if (a == "--iot")
      ocfg.iot_pct = atoi(val());
    else if (a == "--lobs")
      ocfg.lobs_pct = atoi(val());
    else if (a == "--compress")
      ocfg.compress_pct = atoi(val());
    else if (a == "--ddl-every")
      ocfg.ddl_every = atoi(val());
    else if (a == "--switch-every")
      ocfg.switch_every = atoi(val());
    else if (a == "--script")
      script = val();
    else if (a == "--expect")
      expect = val();
    else if (a == "--no-expect")
      no_expect = true;
    else if (a == "--commit-times")
      times = val();
    else if (a == "--nosync")
      nosync = true;
    else if (a == "--sequences")
      sequences = true;
    else if (a == "-u" || a == "--user")
      login = val();
    else if (a == "--group-commit")
      group_commit = uint32_t(size_arg(val()));
    else if (a == "--exclude")
      exclude.push_back(val());
    else if (a == "--map") {
      maps.emplace_back();
      if (ks_sim_map_parse(val(), &maps.back()) != 0) return fail("bad option.");
    } else if (!a.empty() && a[0] == '-') {
      fprintf(stderr, "orasim: unknown option %s\n", a.c_str());
      usage();
      return 2;
    } else
      rest.push_back(a);
  }

  if (cmd == "diff" || cmd == "instantiate") {
    if (rest.size() < 2) {
      usage();
      return 2;
    }
    sqlite3 *a = ks_sim_open_ro(rest[0]);
    if (!a) return fail("cannot open the source database.");
    std::vector<std::string> tables;
    ks_oci_ses_t ses{};
    if (ks_sim_select_tables(a, std::vector<std::string>(rest.begin() + 2, rest.end()), exclude, &tables) != 0 ||
        connect_target(rest[1], login, &ses) != 0) {
      sqlite3_close(a);
      return fail(cmd == "diff" ? "diff failed." : "instantiate failed.");
    }
    int rc = cmd == "diff" ? ks_sim_diff(a, &ses, tables, stdout, maps, sequences)
                           : ks_sim_instantiate(a, &ses, tables, maps, stdout);
    ks_oci_disconnect(&ses);
    sqlite3_close(a);
    if (rc < 0) return fail(cmd == "diff" ? "diff failed." : "instantiate failed.");
    if (rc == 0 && cmd == "diff") printf("identical\n");
    return rc;
  }
  if (cmd == "print") {
    for (char &c : name) c = char(toupper(uint8_t(c)));
    sqlite3 *db = ks_sim_open_ro(dir + "/" + name + ".db");
    if (!db) return fail("cannot open the database.");
    int rc = ks_sim_print(db, rest, stdout);
    sqlite3_close(db);
    return rc == 0 ? 0 : fail("print failed.");
  }
  if (cmd == "create") {
    if (cfg.redo.vsn == 0 || cfg.suplog < 0 || cfg.asm_grp.copies < 0 || (cfg.asm_grp.name.empty() && asm_opts)) {
      usage();
      return 2;
    }
    cfg.dir = dir;
    cfg.name = name;
    cfg.redo.log_blocks = uint32_t(log_size / (cfg.redo.blk_sz ? cfg.redo.blk_sz : 512));
    cfg.redo.sync = !nosync;
    ks_sim_db db;
    if (db.create(cfg) != 0) return fail("create failed.");
    if (db.close() != 0) return fail("close failed.");
    printf("database %s created in %s\n", db.cfg().name.c_str(), dir.c_str());
    return 0;
  }
  if (cmd == "shutdown" || cmd == "startup") {
    if (instance < 1) {
      usage();
      return 2;
    }
    ks_sim_db db;
    if (db.open(dir, name) != 0) return fail("open failed.");
    int rc = cmd == "shutdown" ? db.shutdown_instance(instance) : db.startup_instance(instance);
    if (db.close() != 0) rc = -1;
    if (rc != 0) return fail(cmd == "shutdown" ? "shutdown failed." : "startup failed.");
    printf("instance %s %s\n", db.inst(instance).name.c_str(), cmd == "shutdown" ? "shut down" : "started");
    return 0;
  }
  if (cmd == "run" || cmd == "switch") {
    ks_sim_db db;
    if (db.open(dir, name) != 0) return fail("open failed.");
    if (cmd == "switch") ocfg.instances.clear();
    if (ocfg.instances.size() > 1 && !script.empty()) {
      fprintf(stderr, "orasim: a script chooses its instances itself (INSTANCE k)\n");
      return 2;
    }
    if (db.set_instance(instance > 0 ? instance : ocfg.instances.empty() ? 1 : ocfg.instances[0]) != 0)
      return fail(cmd == "run" ? "workload failed." : "switch failed.");
    db.set_sync(!nosync, group_commit);
    FILE *ef = nullptr;
    if (cmd == "run" && !no_expect) {
      if (expect.empty()) expect = dir + "/" + db.cfg().name + "/expected.jsonl";
      ef = fopen(expect.c_str(), "a");
      if (!ef) {
        fprintf(stderr, "orasim: open %s: %s\n", expect.c_str(), strerror(errno));
        return 2;
      }
      db.set_expect_file(ef);
    }
    FILE *tf = nullptr;
    if (cmd == "run" && !times.empty()) {
      tf = fopen(times.c_str(), "w");
      if (!tf) {
        fprintf(stderr, "orasim: open %s: %s\n", times.c_str(), strerror(errno));
        return 2;
      }
      db.set_commit_times_file(tf);
    }
    int rc = 0;
    if (cmd == "switch") {
      rc = db.switch_log();
    } else if (!script.empty()) {
      FILE *f = fopen(script.c_str(), "r");
      if (!f) {
        fprintf(stderr, "orasim: open %s: %s\n", script.c_str(), strerror(errno));
        return 2;
      }
      std::string text;
      char buf[65536];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      fclose(f);
      rc = ks_script_run(db, text);
    } else {
      rc = ks_oltp_run(db, ocfg);
    }
    if (rc != 0) {
      fail("workload failed.");
    }
    if (db.close() != 0) rc = -1;
    if (ef) fclose(ef);
    if (tf && fclose(tf) != 0) rc = -1;
    if (rc != 0) return 2;
    if (cmd == "run")
      printf("%llu commits, %llu rollbacks, %llu redo bytes, %llu log switches, sequence %u, SCN %llu\n",
             (unsigned long long)db.commits(), (unsigned long long)db.rollbacks(),
             (unsigned long long)db.writer().bytes_written(), (unsigned long long)db.writer().switches(),
             db.writer().sequence(), (unsigned long long)db.scn());
    return 0;
  }
  usage();
  return 2;
}
