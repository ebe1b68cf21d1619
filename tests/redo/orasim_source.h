// A simulated source for the decoder tests: orasim creates the database and runs a
// workload, and the capture dictionary is exported from it through the stand-in OCI
// library, as extract does at its first start. Everything lives in the test's home.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "extract/dict/exp_dict.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "oci/oci.h"
#include "tests/testutil.h"

// Writes <home>/sim/SRC and the dictionary <home>/dict/U/C.dict of schema OLTP. false
// with the reason in *why on failure.
inline bool make_orasim_source(const kstest::TempHome &home, const std::string &create_opts,
                               const std::string &run_opts, std::string *why) {
  std::string sim = home.file("sim"), bin = KS_BIN_DIR;
  if (system((bin + "/orasim create -d " + sim + " -n SRC " + create_opts + " >/dev/null 2>&1").c_str()) != 0) {
    *why = "orasim create " + create_opts;
    return false;
  }
  if (system((bin + "/orasim run -d " + sim + " -n SRC " + run_opts + " >/dev/null 2>&1").c_str()) != 0) {
    *why = "orasim run " + run_opts;
    return false;
  }
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  ks_cfg_funit_t u{};
  strcpy(u.un_name, "U");
  ks_cfg_fcom_t c{};
  strcpy(c.name, "C");
  c.com_typ = KS_CFG_COM_EXTRACT;
  ks_cfg_finc_t i{};
  strcpy(i.schema, "OLTP");
  strcpy(i.table, "*");
  i.flag = KS_CFG_SET_ALL;
  if (ks_cfg_open_file(&cfg, omsg) != 0 || ks_cfg_add_unit(&cfg, &u, omsg) != 0 ||
      ks_cfg_add_com(&cfg, "U", &c, omsg) != 0 || ks_cfg_add_include(&cfg, "U", "C", &i, omsg) != 0) {
    *why = omsg;
    return false;
  }
  cfg.flag |= KS_CFG_MODIFIED;
  if (ks_cfg_close_file(&cfg, omsg) != 0) {
    *why = omsg;
    return false;
  }
  mkdir(home.file("dict").c_str(), 0755);
  mkdir(home.file("dict/U").c_str(), 0755);
  setenv("KESTRO_OCI_LIB", KS_LIB_DIR "/liborasim.so", 1);
  ks_oci_ses_t se{};
  if (ks_oci_connect(&se, "KS", "KS", ("sim:" + sim + "/SRC.db").c_str(), 1) != 0) {
    *why = ks_oci_get_message();
    return false;
  }
  char unit[] = "U", com[] = "C";
  bool ok = ks_export_dict(&se, unit, com) == 0;
  if (!ok) *why = ks_log_get_message();
  ks_oci_disconnect(&se);
  return ok;
}
