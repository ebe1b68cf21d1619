// Printing of trail transactions, shared by trailcat and redocat (see trail_print.h).
// Invariants: every length is checked against the image before it is used; a damaged
// record ends the printing of its transaction.
#include "lib/fmt/trail_print.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/ora/ora_date.h"
#include "lib/ora/ora_number.h"

namespace {

// The call in progress: where the bytes come from, how much of a value to print, and
// whether something could not be printed.
struct Ctx {
  const char *file_name = "";
  bool short_data = false;
  bool damaged = false;
};
thread_local Ctx g;

struct Xid {
  int usn, slot, sqn;
};
Xid xid_parts(uint64_t xid) {
  return {static_cast<int>(xid >> 48), static_cast<int>((xid >> 32) & 0xFFFF), static_cast<int>(xid & 0xFFFFFFFF)};
}

// A redo time stamp counts seconds with months of 31 days from 1988-01-01.
std::string commit_time_text(uint32_t t) {
  char s[32];
  snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(t / 32140800 + 1988),
           static_cast<int>((t / 2678400) % 12 + 1), static_cast<int>((t / 86400) % 31 + 1),
           static_cast<int>((t / 3600) % 24), static_cast<int>((t / 60) % 60), static_cast<int>(t % 60));
  return s;
}

const char *type_name(uint32_t typ, uint32_t cflag) {
  const bool nat = cflag & KS_CH_NATIONAL;
  switch (typ) {
    case KS_TYP_VARCHAR2:
      return nat ? "NVARCHAR2" : "VARCHAR2";
    case KS_TYP_NUMBER:
      return "NUMBER";
    case KS_TYP_LONG:
      return "LONG";
    case KS_TYP_DATE:
      return "DATE";
    case KS_TYP_RAW:
      return "RAW";
    case KS_TYP_LONG_RAW:
      return "LONG RAW";
    case KS_TYP_CHAR:
      return nat ? "NCHAR" : "CHAR";
    case KS_TYP_BFLOAT:
      return "BINARY_FLOAT";
    case KS_TYP_BDOUBLE:
      return "BINARY_DOUBLE";
    case KS_TYP_CLOB:
      return nat ? "NCLOB" : "CLOB";
    case KS_TYP_BLOB:
      return "BLOB";
    case KS_TYP_TIMESTAMP:
      return "TIMESTAMP";
    case KS_TYP_TIMESTAMP_TZ:
      return "TIMESTAMP WITH TIME ZONE";
    case KS_TYP_INTERVAL_YM:
      return "INTERVAL YERR TO MONTH";
    case KS_TYP_INTERVAL_DS:
      return "INTERVAL DAY TO SECOND";
    case KS_TYP_TIMESTAMP_LTZ:
      return "TIMESTAMP WITH LOCAL TIME ZONE";
    default:
      return "UNKNOWN";
  }
}

void print_hex(const uint8_t *v, uint32_t len) {
  uint32_t n = g.short_data && len > 128 ? 128 : len;
  for (uint32_t i = 0; i < n; i++) printf("%02X", v[i]);
  if (n < len) printf("...");
}

// DATE and TIMESTAMP in the tool's own form: the fraction as the integer of nanoseconds.
// Bytes that are not a valid date print as hex.
void print_date(const uint8_t *v, uint32_t len, bool with_fraction) {
  if (len < 7) return;
  ks_ora_dt_t dt;
  int dlen = with_fraction ? (len >= 11 ? 11 : 7) : 7;
  if (ks_ora_date_decode(v, dlen, &dt) < 0) {
    print_hex(v, len);
    return;
  }
  printf("%04d-%02d-%02d %02d:%02d:%02d", dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second);
  if (with_fraction) printf(".%u", dt.nsec);
}

void print_value(uint32_t typ, uint32_t cflag, const uint8_t *v, uint32_t len) {
  printf("  [%u] ", len);
  if (cflag & KS_CH_NULL) {
    printf("NULL");
  } else if (cflag & KS_CH_DYNAMIC) {
    printf("DYNAMIC");
  } else if (cflag & KS_CH_EMPTY_LOB) {
    printf("EMPTY_LOB()");
  } else if (typ == KS_TYP_CHAR || typ == KS_TYP_VARCHAR2) {
    uint32_t n = g.short_data && len > 128 ? 128 : len;
    fwrite(v, 1, n, stdout);
    if (n < len) printf("...");
  } else if (typ == KS_TYP_NUMBER) {
    if (len == 0) return;
    char s[KS_ORA_NUMBER_TEXT_MAX];
    if (ks_ora_number_to_text(v, static_cast<int>(len), s, sizeof s) < 0)
      print_hex(v, len);
    else
      printf("%s", s);
  } else if (typ == KS_TYP_DATE) {
    print_date(v, len, false);
  } else if (typ == KS_TYP_TIMESTAMP) {
    print_date(v, len, true);
  } else {
    print_hex(v, len);
  }
}

// One record being printed: its bytes and where it sits in the file, for messages.
struct Rec {
  const uint8_t *p;
  uint32_t rlen;
  long fofs;
};

bool bad(const Rec &r, uint32_t at, const char *why) {
  fprintf(stderr, "corrupt record in %s at offset %ld: %s.\n", g.file_name, r.fofs + static_cast<long>(at), why);
  g.damaged = true;
  return false;
}

std::string name32(const uint8_t *p) {
  return std::string(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), 32));
}

// A column entry at pos, checked against the record. with_value prints the value line.
bool print_column(const Rec &r, uint32_t *pos, bool with_value) {
  const char *why = "";
  if (ks_trail_check_column(r.p, r.rlen, *pos, &why) == 0) return bad(r, *pos, why);
  ks_lcr_ch_t ch = ks_lcr_load<ks_lcr_ch_t>(r.p + *pos);
  const char *nm = reinterpret_cast<const char *>(r.p + *pos + KS_LCR_CH_SZ);
  printf("Column Name: %s, Type: %s, Length: %u\n", nm, type_name(ch.ctyp, ch.flag), ch.clen);
  if (with_value) {
    print_value(ch.ctyp, ch.flag, r.p + *pos + KS_LCR_CH_SZ + ch.nlen, ch.dlen);
    printf("\n");
  }
  *pos += ch.alen;
  return true;
}

bool print_columns(const Rec &r, uint32_t pos, uint32_t n) {
  for (uint32_t i = 0; i < n; i++)
    if (!print_column(r, &pos, true)) return false;
  return true;
}

// With no old-image entries the offset is never followed: header-only records (the
// rollback marks) and updates without an old image carry 0 there.
bool check_opos(const Rec &r, uint32_t opos, uint32_t nold) {
  if (nold == 0) return true;
  if (opos < KS_LCR_RH_SZ || opos > r.rlen) return bad(r, 20, "old-image offset outside the record");
  return true;
}

bool print_qmi(const Rec &r, const ks_lcr_rh_t &rh) {
  struct Desc {
    uint32_t typ, flag;
  };
  std::vector<Desc> desc;
  uint32_t pos = KS_LCR_RH_SZ;
  for (uint32_t i = 0; i < rh.nold; i++) {
    const uint32_t at = pos;
    if (!print_column(r, &pos, false)) return false;
    ks_lcr_ch_t ch = ks_lcr_load<ks_lcr_ch_t>(r.p + at);
    desc.push_back({ch.ctyp, ch.flag});
  }
  for (uint32_t row = 0; row < rh.nnew; row++) {
    printf("row [%u]\n", row);
    for (const Desc &d : desc) {
      if (r.rlen - pos < 2) return bad(r, pos, "row value runs past the record");
      uint32_t len = ks::load<uint16_t>(r.p + pos);
      if (len > r.rlen - pos - 2) return bad(r, pos, "row value runs past the record");
      print_value(d.typ, len == 0 ? (d.flag | KS_CH_NULL) : (d.flag & ~KS_CH_NULL), r.p + pos + 2, len);
      printf("\n");
      pos += 2 + len;
    }
  }
  return true;
}

// Prints one record; false abandons the rest of the transaction.
bool print_record(const Rec &r) {
  const uint32_t rflag = ks_lcr_u32(r.p, 4);
  const uint32_t opc = ks_lcr_u32(r.p, 8);
  if (rflag & KS_RH_DISCARD) printf((rflag & KS_RH_ROLLBACK) ? "LCR [Discard] [Rollbacked]\n" : "LCR [Discard]\n");
  if (opc == KS_OPC_COMMIT) {
    printf("LCR Op: COMMIT\n");
  } else if (opc == KS_OPC_ROLLBACK) {
    printf("LCR Op: ROLLBACK\n");
  } else if (opc == KS_OPC_LOB_ROLLBACK) {
    printf("LCR Op: LOB ROLLBACK\n");
  } else if (opc == KS_OPC_OUT_LOB_ROLLBACK) {
    printf("LCR Op: OUT LOB ROLLBACK\n");
  } else if (opc == KS_OPC_INDEX_INSERT) {
    printf("LCR Op: INDEX INSERT\n");
  } else if (opc == KS_OPC_INDEX_UPDATE) {
    printf("LCR Op: INDEX UPDATE\n");
  } else if (opc == KS_OPC_INDEX_DELETE) {
    printf("LCR Op: INDEX DELETE\n");
  } else {
    static const struct {
      uint32_t opc;
      const char *op, *what;  // the operation, and what its name is of
    } full[] = {
        {KS_OPC_INSERT, "INSERT", "Table"},          {KS_OPC_UPDATE, "UPDATE", "Table"},
        {KS_OPC_DELETE, "DELETE", "Table"},          {KS_OPC_QMI, "QUICK INSERT", "Table"},
        {KS_OPC_QMD, "QUICK DELETE", "Object"},      {KS_OPC_DDL, "DDL", "Object"},
        {KS_OPC_LONG_WRITE, "LONG WRITE", "Object"}, {KS_OPC_LOB_WRITE, "LOB WRITE", "Object"},
        {KS_OPC_LOB_TRIM, "LOB TRIM", "Object"},     {KS_OPC_LOB_ERASE, "LOB ERASE", "Object"},
        {KS_OPC_LOB_SELECT, "LOB SELECT", "Object"},
    };
    const char *op = nullptr, *what = nullptr;
    for (const auto &f : full)
      if (f.opc == opc) op = f.op, what = f.what;
    if (op == nullptr) {
      fprintf(stderr, "unknown operation [%u]\n", opc);
      return false;
    }
    if (r.rlen < KS_LCR_RH_SZ) return bad(r, 0, "record length below 96");
    ks_lcr_rh_t rh = ks_lcr_load<ks_lcr_rh_t>(r.p);
    printf("LCR Op: %s  Owner: %s, %s: %s\n", op, name32(r.p + 32).c_str(), what, name32(r.p + 64).c_str());
    switch (opc) {
      case KS_OPC_INSERT:
        printf("New Image:\n");
        return print_columns(r, KS_LCR_RH_SZ, rh.nnew);
      case KS_OPC_UPDATE:
        printf("New Image:\n");
        if (!print_columns(r, KS_LCR_RH_SZ, rh.nnew) || !check_opos(r, rh.opos, rh.nold)) return false;
        printf("\nOld Image:\n");
        return print_columns(r, rh.opos, rh.nold);
      case KS_OPC_DELETE:
        if (!check_opos(r, rh.opos, rh.nold)) return false;
        printf("\nOld Image:\n");
        return print_columns(r, rh.opos, rh.nold);
      case KS_OPC_QMI:
        return print_qmi(r, rh);
      case KS_OPC_DDL: {
        const char *txt = reinterpret_cast<const char *>(r.p + KS_LCR_RH_SZ);
        printf("%.*s\n", static_cast<int>(strnlen(txt, r.rlen - KS_LCR_RH_SZ)), txt);
        return true;
      }
      case KS_OPC_LONG_WRITE: {
        if (r.rlen < KS_LCR_RH_SZ + KS_LCR_CH_SZ) return bad(r, KS_LCR_RH_SZ, "column entry runs past the record");
        ks_lcr_ch_t ch = ks_lcr_load<ks_lcr_ch_t>(r.p + KS_LCR_RH_SZ);
        if (ch.dlen > r.rlen - KS_LCR_RH_SZ - KS_LCR_CH_SZ) return bad(r, KS_LCR_RH_SZ, "piece runs past the record");
        print_value(ch.ctyp, ch.flag, r.p + KS_LCR_RH_SZ + KS_LCR_CH_SZ, ch.dlen);
        printf("\n");
        return true;
      }
      case KS_OPC_LOB_WRITE:
        if (r.rlen < 108) return bad(r, 0, "record length below 108");
        printf("Amount: %u, Offset: %lu\n", ks_lcr_u32(r.p, 96), static_cast<unsigned long>(ks_lcr_u64(r.p, 100)));
        print_hex(r.p + 108, r.rlen - 108);
        printf("\n");
        return true;
      case KS_OPC_LOB_TRIM:
        if (r.rlen < 104) return bad(r, 0, "record length below 104");
        printf("Length: %lu\n", static_cast<unsigned long>(ks_lcr_u64(r.p, 96)));
        return true;
      case KS_OPC_LOB_ERASE:
        if (r.rlen < 108) return bad(r, 0, "record length below 108");
        printf("Amount: %u, Offset: %lu\n", ks_lcr_u32(r.p, 96), static_cast<unsigned long>(ks_lcr_u64(r.p, 100)));
        return true;
      case KS_OPC_LOB_SELECT: {
        printf("LOB Column:\n");
        uint32_t pos = KS_LCR_RH_SZ;
        if (!print_column(r, &pos, false) || !check_opos(r, rh.opos, rh.nold)) return false;
        printf("\nWhere Clause:\n");
        return print_columns(r, rh.opos, rh.nold);
      }
      default:
        return true;  // QUICK DELETE: the header says it all
    }
  }
  return true;
}

void print_transaction_body(const uint8_t *p, const ks_lcr_th_t &th, long fofs) {
  printf(
      "=================================================================\n"
      "Data Length: %u,  # of rows: %u\n",
      th.tlen, th.nlcr);
  ks_trail_print_commit(th.cscn, th.csct, th.xid);
  printf("\n");
  if (th.flag & KS_TH_BYREF) {
    const char *path = reinterpret_cast<const char *>(p + KS_LCR_TH_SZ);
    printf("Transaction File: %.*s\n", static_cast<int>(strnlen(path, th.tlen - KS_LCR_TH_SZ)), path);
    return;
  }
  // The whole transaction is checked before any record of it is printed: the framing of
  // its records, then the column entries of each row change.
  uint32_t at = 0;
  const char *why = "";
  bool ok = ks_trail_check_records(p, th.tlen, th.nlcr, &at, &why) == 0;
  for (uint32_t i = 0, off = KS_LCR_TH_SZ; ok && i < th.nlcr; i++) {
    const uint32_t rlen = ks_lcr_u32(p, off);
    if (!(ks_lcr_u32(p, off + 4) & KS_RH_SHORT) && ks_trail_check_row(p + off, rlen, &at, &why) < 0) {
      at += off;
      ok = false;
    }
    off += rlen;
  }
  if (!ok) {
    fprintf(stderr, "corrupt transaction in %s at offset %ld: %s at offset %ld.\n", g.file_name, fofs, why,
            fofs + static_cast<long>(at));
    g.damaged = true;
    return;
  }
  uint32_t off = KS_LCR_TH_SZ;
  for (uint32_t i = 0; i < th.nlcr; i++) {
    Rec r{p + off, ks_lcr_u32(p, off), fofs + static_cast<long>(off)};
    if (!print_record(r)) return;
    printf("---------------------------------\n");
    off += r.rlen;
  }
}

}  // namespace

void ks_trail_print_header(const ks_trail_fh_t *fh) {
  Xid f = xid_parts(fh->first_xid), l = xid_parts(fh->last_xid);
  printf("File Number: %u\nFirst SCN: %8lu  First XID: %d.%d.%d\nLast  SCN: %8lu  Last  XID: %d.%d.%d\n", fh->fno,
         static_cast<unsigned long>(fh->first_scn), f.usn, f.slot, f.sqn, static_cast<unsigned long>(fh->last_scn),
         l.usn, l.slot, l.sqn);
}

int ks_trail_print_transaction(const uint8_t *p, const ks_lcr_th_t *th, long fofs, const char *file_name,
                               bool short_data) {
  g.file_name = file_name ? file_name : "";
  g.short_data = short_data;
  g.damaged = false;
  print_transaction_body(p, *th, fofs);
  return g.damaged ? -1 : 0;
}

int ks_trail_print_record(const uint8_t *p, uint32_t rlen, long fofs, const char *file_name, bool short_data) {
  g.file_name = file_name ? file_name : "";
  g.short_data = short_data;
  g.damaged = false;
  const Rec r{p, rlen, fofs};
  uint32_t at = 0;
  const char *why = "";
  if (rlen < KS_LCR_RHS_SZ) {
    bad(r, 0, "record length below 16");
  } else if (ks_lcr_u32(p, 4) & KS_RH_SHORT) {
    if (KS_LCR_RHS_SZ + uint64_t{ks_lcr_u32(p, 12)} > rlen) bad(r, 12, "short record data runs past the record");
  } else if (rlen < KS_LCR_RH_SZ) {
    bad(r, 0, "record length below 96");
  } else if (ks_trail_check_row(p, rlen, &at, &why) < 0) {
    bad(r, at, why);
  }
  if (g.damaged) return -1;
  if (!print_record(r)) return g.damaged ? -1 : 1;
  printf("---------------------------------\n");
  return 0;
}

void ks_trail_print_heartbeat(uint64_t scn, uint32_t sct) {
  printf("=================================================================\nHeartbeat SCN: %lu,  SCN time: %s\n",
         static_cast<unsigned long>(scn), commit_time_text(sct).c_str());
}

void ks_trail_print_commit(uint64_t scn, uint32_t sct, uint64_t xid) {
  Xid x = xid_parts(xid);
  printf("SCN: %lu,  SCN time: %s\nXID: %lu (%d.%d.%d)\n", static_cast<unsigned long>(scn),
         commit_time_text(sct).c_str(), static_cast<unsigned long>(xid), x.usn, x.slot, x.sqn);
}

int ks_trail_tool_options(int argc, char **argv, bool *short_data, std::string *file) {
  auto usage = [&] {
    fprintf(stderr, "usage: %s [options]\n  -h    print this message\n%s  -f    input file name\n\n", argv[0],
            short_data ? "  -s    short data\n" : "");
  };
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-h") == 0) {
      usage();
      return -1;
    } else if (short_data && strcmp(argv[i], "-s") == 0) {
      *short_data = true;
    } else if (strcmp(argv[i], "-f") == 0) {
      if (i + 1 >= argc) {
        fprintf(stderr, "not specify input file name.\n");
        usage();
        return -1;
      }
      i++;
      file->assign(argv[i], strnlen(argv[i], 255));
    } else {
      fprintf(stderr, "invalid option [%s]\n", argv[i]);
      usage();
      return -1;
    }
  }
  return 0;
}
