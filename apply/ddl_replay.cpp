// DDL replay and sequence catch-up on the target. A DDL runs in the schema where it ran
// on the source (or the schema that one is mapped to, with the owner in its text mapped
// too), then the connection goes back to the login user. The target commits a DDL by
// itself, so a DDL it refuses cannot be retried: it goes to the error file with its text
// and the replay goes on. A sequence is only ever moved forward, by NEXTVAL, until the
// target would not hand out a value the source has already used.
#include <cstdlib>
#include <cstring>
#include <string>

#include "apply/apply_db.h"
#include "lib/log/log.h"
#include "lib/ora/ora_number.h"
#include "lib/util.h"

namespace {

constexpr uint32_t kDefInt = 17;  // define type indexes: signed integer, NUL-terminated text
constexpr uint32_t kDefStr = 16;
constexpr uint32_t kDdlTrigger = 0x10;  // record flag: the DDL created or replaced a trigger

int set_schema(ks_ap_db_t *a, const char *schema) {
  if (ks_oci_set_current_schema(a->se, schema) == 0) return 0;
  KS_ERROR("set current schema error.\n%s", ks_oci_get_message());
  return -1;
}

// A lost session or a target out of space fails the unit rather than the statement:
// the statement is run again once the target is back.
bool unit_fault(const char *what) {
  if (ks_db_error_kind(ks_oci_get_error_code()) == 0) return false;
  ks_unit_db_fail(what, ks_oci_get_error_code(), ks_oci_get_message());
  return true;
}

// The target refused the DDL: its error and its text go to the error file.
void ddl_refused(const uint8_t *thdr, const uint8_t *rhdr, const char *what, const char *text) {
  if (unit_fault(what)) return;
  KS_ERROR("%s\n%s", what, ks_oci_get_message());
  std::string msg = std::string(ks_oci_get_message()) + "\nDDL: " + text;
  ks_error_for_row(thdr, ks_oci_get_error_code(), msg.c_str(), rhdr, nullptr);
}

// A sequence failure: logged and recorded with the LCR (unless the unit failed), the
// statement closed; -1.
int seq_failed(ks_ap_db_t *a, ks_oci_stmt_t *st, const uint8_t *thdr, const uint8_t *rhdr, const char *what) {
  if (!unit_fault(what)) {
    KS_ERROR("%s\n%s", what, ks_oci_get_message());
    ks_error_for_row(thdr, ks_oci_get_error_code(), ks_oci_get_message(), rhdr, nullptr);
  }
  ks_oci_close_statement(a->se, st);
  return -1;
}

// The statement's record of a DDL transaction: its first record with the DDL opcode and
// a whole header, or null.
uint8_t *ddl_record(uint8_t *thdr) {
  uint32_t tlen = ks_th_tlen(thdr);
  for (uint32_t pos = KS_LCR_TH_SZ; pos + 16 <= tlen;) {
    uint8_t *rh = thdr + pos;
    uint32_t rlen = ks_rh_rlen(rh);
    if (rlen < 16 || rlen > tlen - pos) return nullptr;
    if (ks_rh_opc(rh) == KS_OPC_DDL && rlen >= KS_LCR_RH_SZ) return rh;
    pos += rlen;
  }
  return nullptr;
}

// Values are compared as numbers; a long double holds every 64-bit integer exactly.
long double num(const char *s) { return std::strtold(s, nullptr); }

}  // namespace

char *ks_ora_number_to_char(const uint8_t *dval, int dlen, char *sval) {
  if (dlen < 1 || ks_ora_number_to_text(dval, dlen, sval, KS_ORA_NUMBER_TEXT_MAX) < 0) sval[0] = '\0';
  return sval;
}

int ks_execute_ddl(ks_apply_t *ap, uint8_t *thdr) {
  ks_ap_db_t *a = ap->a;
  ap->x->slen = 0;  // the statement handle is taken over
  ap->x->nrow = 0;
  ap->x->flag = 0;
  x_ckp_scn = ks_th_cscn(thdr);
  x_ckp_sct = ks_th_csct(thdr);
  x_ckp_xid = ks_th_xid(thdr);
  uint8_t *rhdr = ddl_record(thdr);
  if (rhdr == nullptr) {
    KS_ERROR("DDL transaction without its statement; not applied.");
    ks_error_for_row(thdr, 0, "DDL transaction without its statement; not applied.", nullptr, nullptr);
    return 0;
  }
  char ownr[32], onam[32], m_owner[32];
  ks_rh_name(rhdr, KS_RH_OWNR_OFS, ownr);
  ks_rh_name(rhdr, KS_RH_ONAM_OFS, onam);
  if (ks_lookup_owner(&x_cfg, ownr, m_owner) == 0) return 0;
  // The text is the record's payload, NUL-terminated within it or cut at its end.
  const char *src = reinterpret_cast<const char *>(rhdr + KS_LCR_RH_SZ);
  size_t room = ks_rh_rlen(rhdr) - KS_LCR_RH_SZ, len = strnlen(src, room);
  const size_t cap = static_cast<size_t>(ap->b->tsz);
  char *text = reinterpret_cast<char *>(ap->b->tbuf);
  if (len + 1 <= cap) {
    std::memcpy(text, src, len);
    text[len] = '\0';
  }
  if (len + 1 > cap || (m_owner[0] != '\0' && ks_str_replace_owner(text, cap, ownr, m_owner) < 0)) {
    KS_ERROR("DDL text too long (%d).", static_cast<int>(len));
    return -1;
  }
  const char *schema = m_owner[0] != '\0' ? m_owner : ownr;
  if (set_schema(a, schema) < 0) return -1;
  if (ks_oci_prepare_statement(a->se, &a->st_ap, text) != 0) {
    ddl_refused(thdr, rhdr, "prepare ddl statement error.", text);
  } else if (ks_oci_execute(a->se, &a->st_ap, 1, 0) < 0) {
    ddl_refused(thdr, rhdr, "execute ddl statement error.", text);
  } else if ((ks_rh_flag(rhdr) & kDdlTrigger) && ks_str_nicmp(text, "drop", 4) != 0) {
    // A trigger replicated with its DDL must not fire on the target: what it does on the
    // source arrives through the trail already.
    char sql[128];
    std::snprintf(sql, sizeof sql, "alter trigger \"%s\".\"%s\" disable", schema, onam);
    if (ks_oci_prepare_statement(a->se, &a->st_ap, sql) != 0)
      KS_ERROR("prepare disable trigger statement error.\n%s", ks_oci_get_message());
    else if (ks_oci_execute(a->se, &a->st_ap, 1, 0) < 0)
      KS_ERROR("execute disable trigger statement error.\n%s", ks_oci_get_message());
  }
  if (set_schema(a, x_curr_schema) < 0) return -1;
  KS_DEBUG("DDL: %s\n", text);
  return 0;
}

int ks_sync_sequence(ks_apply_t *ap, uint8_t *rhdr, uint32_t tp) {
  ks_ap_db_t *a = ap->a;
  const uint8_t *thdr = ap->b->rbuf + tp;
  char ownr[32], onam[32], m_owner[32];
  ks_rh_name(rhdr, KS_RH_OWNR_OFS, ownr);
  ks_rh_name(rhdr, KS_RH_ONAM_OFS, onam);
  if (ks_lookup_owner(&x_cfg, ownr, m_owner) == 0) return 0;
  if (m_owner[0] != '\0') {
    ks_rh_set_name(rhdr, KS_RH_OWNR_OFS, m_owner);
    std::memcpy(ownr, m_owner, sizeof ownr);
  }
  char sval[KS_ORA_NUMBER_TEXT_MAX];
  uint32_t dlen = ks_rh_nnew(rhdr);
  if (dlen > ks_rh_rlen(rhdr) - KS_LCR_RH_SZ) dlen = 0;
  ks_ora_number_to_char(rhdr + KS_LCR_RH_SZ, static_cast<int>(dlen), sval);
  if (sval[0] == '\0') {
    KS_ERROR("sequence \"%s\".\"%s\": the value is not a number.", ownr, onam);
    ks_error_for_row(thdr, 0, "sequence value is not a number; not applied.", rhdr, nullptr);
    return -1;
  }
  ks_oci_stmt_t st;
  std::memset(&st, 0, sizeof st);
  if (ks_oci_get_statement(a->se, &st) != 0) {
    KS_ERROR("get statement error.\n%s", ks_oci_get_message());
    ks_error_for_row(thdr, ks_oci_get_error_code(), ks_oci_get_message(), rhdr, nullptr);
    return -1;
  }
  char sql[512];
  std::snprintf(sql, sizeof sql,
                "select s.increment$, s.minvalue, s.maxvalue, s.cycle#, s.highwater\nfrom sys.obj$ o, sys.user$ u, "
                "sys.seq$ s\nwhere s.obj#=o.obj#\nand o.owner#=u.user#\nand u.name='%s'\nand o.name='%s'\n",
                ownr, onam);
  if (ks_oci_prepare_statement(a->se, &st, sql) != 0) return seq_failed(a, &st, thdr, rhdr, "prepare statement error.");
  uint8_t buf[512];
  ks_oci_def_t df[5];
  std::memset(df, 0, sizeof df);
  const uint32_t types[5] = {kDefInt, kDefStr, kDefStr, kDefInt, kDefStr}, sizes[5] = {4, 32, 32, 4, 32};
  for (int k = 0; k < 5; k++) {
    df[k].ctype = types[k];
    df[k].vsz = sizes[k];
  }
  ks_oci_ds_t ds{5, 0, static_cast<int>(sizeof buf), buf, df};
  if (ks_oci_auto_define(a->se, &st, &ds) != 0) return seq_failed(a, &st, thdr, rhdr, "define data output error.");
  int rc = ks_oci_execute(a->se, &st, 0, 0), rows = 0;
  if (rc < 0) return seq_failed(a, &st, thdr, rhdr, "execute statement error.");
  if (rc != 1) {
    rc = ks_oci_fetch(a->se, &st, 1, &rows);
    if (rc < 0 || rc == 2) return seq_failed(a, &st, thdr, rhdr, "fetch data error.");
  }
  if (rows < 1) {
    KS_ERROR("sequence \"%s\".\"%s\" not found.", ownr, onam);
    ks_oci_close_statement(a->se, &st);
    return 0;
  }
  int32_t inc = ks::load<int32_t>(df[0].valp), cycle = ks::load<int32_t>(df[3].valp);
  long double s = num(sval), h = num(reinterpret_cast<const char *>(df[4].valp));
  long double minv = num(reinterpret_cast<const char *>(df[1].valp));
  long double maxv = num(reinterpret_cast<const char *>(df[2].valp));
  bool desc = inc < 1, once = false;
  if (desc ? h <= s : h >= s) {  // the target is not behind
    ks_oci_close_statement(a->se, &st);
    return 0;
  }
  if (cycle != 0) {
    // The source wrapped round: the target starts its next cycle.
    if (desc ? s <= minv : s >= maxv) s = desc ? maxv : minv;
    if (desc ? h <= minv : h >= maxv) once = true;
  }
  std::snprintf(sql, sizeof sql, "select \"%s\".\"%s\".nextval from dual", ownr, onam);
  if (ks_oci_prepare_statement(a->se, &st, sql) != 0) return seq_failed(a, &st, thdr, rhdr, "prepare statement error.");
  uint8_t vbuf[128];
  ks_oci_def_t dv;
  std::memset(&dv, 0, sizeof dv);
  dv.ctype = kDefStr;
  dv.vsz = 32;
  ks_oci_ds_t dsv{1, 0, static_cast<int>(sizeof vbuf), vbuf, &dv};
  if (ks_oci_auto_define(a->se, &st, &dsv) != 0) return seq_failed(a, &st, thdr, rhdr, "define data output error.");
  for (;;) {
    if (ks_oci_execute(a->se, &st, 0, 0) < 0) return seq_failed(a, &st, thdr, rhdr, "execute statement error.");
    rows = 0;
    rc = ks_oci_fetch(a->se, &st, 1, &rows);
    if (rc < 0 || rc == 2) return seq_failed(a, &st, thdr, rhdr, "fetch data error.");
    if (rows < 1) return seq_failed(a, &st, thdr, rhdr, "nextval not fetched.");
    long double v = num(reinterpret_cast<const char *>(dv.valp));
    if (once || (desc ? v <= s : v >= s)) break;
  }
  ks_oci_close_statement(a->se, &st);
  return 0;
}
