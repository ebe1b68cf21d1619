// Run-time binding to an OCI library: dlopen of the library named by KESTRO_OCI_LIB, or
// of Oracle's client library found the usual way, and dlsym of every function of the
// table. The table is filled only when every symbol resolved, so a half-loaded library
// is never called; a failed load leaves the layer's error state naming what was tried.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "oci/oci.h"

ks_oci_api_t x_oci;

namespace {

void *x_handle = nullptr;
char x_loaded[1024];

const char *const kClientNames[] = {"libclntsh.so",      "libclntsh.so.19.1", "libclntsh.so.18.1", "libclntsh.so.12.1",
                                    "libclntsh.so.11.1", "libclntsh.so.20.1", "libclntsh.so.21.1"};

// Directory of the running program, with a trailing '/', or "".
std::string program_dir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  char *slash = strrchr(buf, '/');
  if (slash == nullptr) return "";
  slash[1] = '\0';
  return buf;
}

void *try_open(const std::string &name, std::string *tried, std::string *first_err) {
  void *h = dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (h != nullptr) return h;
  if (!tried->empty()) *tried += ", ";
  *tried += name;
  if (first_err->empty()) {
    const char *e = dlerror();
    *first_err = e != nullptr ? e : "unknown dlopen error";
  }
  return nullptr;
}

}  // namespace

const char *ks_oci_loaded_library() { return x_loaded; }

int ks_oci_load() {
  if (x_handle != nullptr) return 0;
  std::string tried, first_err, chosen;
  void *h = nullptr;
  const char *env = getenv("KESTRO_OCI_LIB");
  if (env != nullptr && env[0] != '\0') {
    chosen = env;
    h = try_open(chosen, &tried, &first_err);
  } else {
    std::string pdir = program_dir();
    const char *ohome = getenv("ORACLE_HOME");
    for (const char *name : kClientNames) {
      if (!pdir.empty() && (h = try_open(pdir + name, &tried, &first_err)) != nullptr) {
        chosen = pdir + name;
        break;
      }
      if ((h = try_open(name, &tried, &first_err)) != nullptr) {
        chosen = name;
        break;
      }
      if (ohome != nullptr && ohome[0] != '\0') {
        std::string p = std::string(ohome) + "/lib/" + name;
        if ((h = try_open(p, &tried, &first_err)) != nullptr) {
          chosen = p;
          break;
        }
      }
    }
  }
  if (h == nullptr) {
    char msg[KS_OCI_MSG_SZ];
    snprintf(msg, sizeof msg,
             "cannot load the OCI library: %s (tried: %s). Install an Oracle client and put its "
             "directory on LD_LIBRARY_PATH (or set ORACLE_HOME) before starting the program, or name "
             "another OCI library with the environment variable KESTRO_OCI_LIB.",
             first_err.c_str(), tried.c_str());
    ks_oci_set_error_code(-1);
    ks_oci_set_message(msg);
    return -1;
  }
  ks_oci_api_t api;
  const char *missing = nullptr;
  dlerror();
#define KS_OCI_RESOLVE(ret, name, params)                      \
  api.name = reinterpret_cast<ret(*) params>(dlsym(h, #name)); \
  if (api.name == nullptr && missing == nullptr) missing = #name;
  KS_OCI_FUNCTIONS(KS_OCI_RESOLVE)
#undef KS_OCI_RESOLVE
  if (missing != nullptr) {
    char msg[KS_OCI_MSG_SZ];
    snprintf(msg, sizeof msg,
             "OCI library %s has no function %s; name a complete OCI library with the environment "
             "variable KESTRO_OCI_LIB.",
             chosen.c_str(), missing);
    dlclose(h);
    ks_oci_set_error_code(-1);
    ks_oci_set_message(msg);
    return -1;
  }
  x_oci = api;
  x_handle = h;
  snprintf(x_loaded, sizeof x_loaded, "%s", chosen.c_str());
  KS_DEBUG("OCI library %s loaded ok ...", x_loaded);
  return 0;
}
