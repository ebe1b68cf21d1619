// The export's query layer over the database access layer, and the export's entry point.
// One statement handle serves every query; each query binds its values, defines its
// columns over the fetch buffer (numbers as 8-byte integers, names as 32-byte strings),
// and fetches as many rows per round trip as the buffer holds.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "extract/dict/exp_dict.h"
#include "lib/log/log.h"
#include "oci/oci.h"

namespace {

constexpr uint32_t kTypeStr = 16;  // SQLT_STR in the type table
constexpr uint32_t kTypeInt = 17;  // SQLT_INT

class OciQuery : public ks_dict_query {
 public:
  explicit OciQuery(ks_oci_ses_t *se) : se_(se) {}
  ~OciQuery() override { ks_oci_close_statement(se_, &stmt_); }
  int open() { return ks_oci_get_statement(se_, &stmt_); }
  const char *message() override { return ks_oci_get_message(); }

  int run(const char *sql, const ks_dict_val_t *binds, int nbind, const int *kinds, int ncol, ks_dict_row_fn fn,
          void *ctx) override {
    if (ks_oci_prepare_statement(se_, &stmt_, sql) != 0) return KS_DQ_EPREPARE;

    std::vector<ks_oci_def_t> df(static_cast<size_t>(ncol));
    for (int c = 0; c < ncol; c++) {
      df[c] = {};
      df[c].ctype = kinds[c] == KS_DQ_NUM ? kTypeInt : kTypeStr;
      // Names up to Oracle's 128 characters are fetched whole and cut to the record's 31,
      // as the configuration cuts the names it compares them with.
      df[c].vsz = kinds[c] == KS_DQ_NUM ? 8 : 129;
    }
    ks_oci_ds_t ds = {};
    ds.nc = ncol;
    ds.buf = buf;
    ds.buf_sz = static_cast<int>(bsz);
    ds.df = df.data();
    if (ks_oci_auto_define(se_, &stmt_, &ds) != 0) return KS_DQ_EDEFINE;

    // Bind values live in this frame until the statement has run.
    struct Slot {
      int64_t num;
      char str[KS_DICT_NAME_SZ];
      int16_t ind;
      uint16_t alen, rcode;
    };
    std::vector<Slot> slot(static_cast<size_t>(nbind));
    std::vector<ks_oci_bnd_t> bc(static_cast<size_t>(nbind));
    for (int i = 0; i < nbind; i++) {
      Slot &s = slot[i];
      s = {};
      bc[i] = {};
      bc[i].indp = &s.ind;
      bc[i].alenp = &s.alen;
      bc[i].rcodep = &s.rcode;
      if (binds[i].kind == KS_DQ_NUM) {
        s.num = binds[i].num;
        bc[i].ctype = kTypeInt;
        bc[i].vsz = 8;
        bc[i].valp = reinterpret_cast<uint8_t *>(&s.num);
      } else {
        memcpy(s.str, binds[i].str, sizeof s.str);
        s.str[sizeof s.str - 1] = '\0';
        bc[i].ctype = kTypeStr;
        bc[i].vsz = static_cast<uint32_t>(strlen(s.str) + 1);
        bc[i].valp = reinterpret_cast<uint8_t *>(s.str);
      }
      s.alen = static_cast<uint16_t>(bc[i].vsz);
    }
    if (nbind > 0 && ks_oci_auto_bind(se_, &stmt_, bc.data(), nbind, 1) != 0) return KS_DQ_EBIND;

    int rc = ks_oci_execute(se_, &stmt_, 0, 0);
    if (rc != 0 && rc != 1 && rc != 3) return KS_DQ_EEXECUTE;

    std::vector<ks_dict_val_t> row(static_cast<size_t>(ncol));
    for (;;) {
      int rrows = 0;
      int frc = ks_oci_fetch(se_, &stmt_, ds.nrows, &rrows);
      if (frc < 0 || frc == 2) return KS_DQ_EFETCH;
      for (int r = 0; r < rrows; r++) {
        for (int c = 0; c < ncol; c++) {
          const ks_oci_def_t &d = df[c];
          ks_dict_val_t &v = row[c];
          v.kind = kinds[c];
          v.num = 0;
          v.str[0] = '\0';
          if (d.indp[r] == -1) continue;  // NULL: 0 or empty
          const uint8_t *p = d.valp + static_cast<size_t>(r) * d.vsz;
          if (kinds[c] == KS_DQ_NUM) {
            memcpy(&v.num, p, 8);
          } else {
            size_t n = strnlen(reinterpret_cast<const char *>(p), d.vsz);
            if (n > KS_DICT_NAME_SZ - 1) n = KS_DICT_NAME_SZ - 1;
            memcpy(v.str, p, n);
            v.str[n] = '\0';
          }
        }
        if (fn(ctx, row.data()) < 0) return KS_DQ_EROW;
      }
      if (frc == 1) break;
    }
    return 0;
  }

 private:
  ks_oci_ses_t *se_;
  ks_oci_stmt_t stmt_ = {};
};

}  // namespace

int ks_export_dict(ks_oci_ses_t *se, char *unit, char *name) {
  char path[512];
  snprintf(path, sizeof path, "%sdict/%s/%s.dict", ks_get_home_dir(), unit, name);
  if (access(path, F_OK) == 0) return 0;
  ks_dict_sets_t sets;
  if (ks_dict_read_sets(unit, name, &sets) != 0) return -1;
  OciQuery q(se);
  if (q.open() != 0) {
    KS_ERROR("create statement error.\n%s", ks_oci_get_message());
    return -1;
  }
  return ks_export_dict_run(&q, &sets, path);
}
