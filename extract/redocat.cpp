// redocat: prints a redo log file as the capture decoder sees it — the file header, each
// record's address, length, SCN and change vectors — and, with a dictionary, the changes of
// each transaction as the trail holds them at its commit (-j: one JSON object per change,
// in log order; -S: only a summary of the log). It walks any log, with a dictionary or
// without one; the decoder's messages go to its standard error. No shared memory, no
// database. Invariants: the file is untrusted; records reach the same bounded decoder the
// capture process uses, the walk is the capture process's own block walk, and rollbacks
// are resolved by the capture process's own resolution at commit. A block that fails its
// checksum is reported where the walk meets it, then read as it is: the walk goes on.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "extract/trans/trans.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_checksum.h"
#include "lib/fmt/redo_format.h"
#include "lib/fmt/trail_print.h"
#include "lib/log/log.h"
#include "lib/util.h"

// GCC 12 reports a false -Wrestrict inside std::string concatenation (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

namespace R = ks::redo;

namespace {

bool json = false;
bool summary = false;  // -S: counts only, printed at the end
bool have_dict = false;
ks_rba_t cur;

// What -S prints.
struct Summary {
  uint64_t records = 0, ignored = 0, malformed = 0;
  std::vector<uint32_t> bad_blocks;                 // blocks that fail their checksum, in log order
  std::map<std::pair<int, int>, uint64_t> vectors;  // by layer.code
  uint64_t commits = 0, rollbacks = 0;              // ends of every transaction in the log
  uint64_t committed = 0, rolled_back = 0;          // transactions with captured changes (delivered)
  uint64_t ddl = 0;                                 // DDL statements of committed ones
  // Changes of committed transactions still standing after their rollbacks, by
  // OWNER.TABLE and operation; rows counts the rows of quick inserts.
  std::map<std::string, std::map<std::string, std::pair<uint64_t, uint64_t>>> changes;
} sum;

std::string hex(const uint8_t *p, uint32_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (uint32_t i = 0; i < n; i++) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string jstr(const char *s, size_t n) {
  std::string o = "\"";
  for (size_t i = 0; i < n && s[i]; i++) {
    char c = s[i];
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o + "\"";
}

std::string rba_text() {
  return std::to_string(cur.sqn) + "." + std::to_string(cur.blk) + "." + std::to_string(cur.byt);
}

void record_tap(ks_extr_t *ex, int rlen) {
  const uint8_t *r = ex->b->record;
  bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (rlen < R::KS_REDO_RH_SIZE) return;
  const bool show = !json && !summary;
  uint8_t vld = r[R::KS_REDO_RH_VLD];
  uint64_t scn =
      (uint64_t(ks::load16(r + R::KS_REDO_RH_SCN_WRAP, big)) << 32) | ks::load32(r + R::KS_REDO_RH_SCN_BASE, big);
  int hsz = R::record_header_size(vld);
  sum.records++;
  if (vld & R::KS_REDO_VLD_IGNORE) sum.ignored++;
  if (show) {
    printf("RECORD rba %s len %d vld 0x%02x scn %llu con_uid %u", rba_text().c_str(), rlen, vld,
           static_cast<unsigned long long>(scn), ks::load32(r + R::KS_REDO_RH_CON_UID, big));
    if (hsz == R::KS_REDO_RH_SIZE_LONG && rlen >= hsz) printf(" time %u", ks::load32(r + R::KS_REDO_RH_TIME, big));
    if (vld & R::KS_REDO_VLD_IGNORE) printf(" (ignored)");
    printf("\n");
  }
  if (rlen < hsz || (json && !summary)) return;
  const uint8_t *v = r + hsz;
  uint32_t left = uint32_t(rlen - hsz);
  int n = 0;
  while (left > 0) {
    ks_cv_t cv;
    if (ks_cv_open(&cv, const_cast<uint8_t *>(v), left, ex->l->vhsz, big) < 0) {
      sum.malformed++;
      if (show) printf("  change #%d: malformed (%u bytes left)\n", n + 1, left);
      return;
    }
    sum.vectors[{v[0], v[1]}]++;
    n++;
    if (show) {
      printf("  change #%d OP %d.%d class %u dba 0x%08x fields", n, v[0], v[1],
             ks::load16(v + R::KS_REDO_CV_CLASS, big), ks::load32(v + R::KS_REDO_CV_DBA, big));
      for (int k = 1; k <= cv.nf; k++) printf(" %u", cv.len[k]);
      printf("\n");
    }
    v += cv.size;
    left -= cv.size;
  }
}

const char *op_name(uint32_t opc) {
  switch (opc) {
    case KS_OPC_INSERT:
      return "INSERT";
    case KS_OPC_UPDATE:
      return "UPDATE";
    case KS_OPC_DELETE:
      return "DELETE";
    case KS_OPC_QMI:
      return "QUICK INSERT";
    case KS_OPC_QMD:
      return "QUICK DELETE";
    case KS_OPC_COMMIT:
      return "COMMIT";
    case KS_OPC_ROLLBACK:
      return "ROLLBACK";
    case KS_OPC_DDL:
      return "DDL";
    case KS_OPC_TAG:
      return "TAG";
    case KS_OPC_SYNC_SEQ:
      return "SYNC SEQUENCE";
    case KS_OPC_LOB_ROLLBACK:
      return "LOB ROLLBACK";
    case KS_OPC_LOB_WRITE:
      return "LOB WRITE";
    case KS_OPC_LOB_TRIM:
      return "LOB TRIM";
    case KS_OPC_LOB_ERASE:
      return "LOB ERASE";
    case KS_OPC_LOB_SELECT:
      return "LOB SELECT";
    case KS_OPC_INDEX_INSERT:
      return "INDEX INSERT";
    case KS_OPC_INDEX_UPDATE:
      return "INDEX UPDATE";
    case KS_OPC_INDEX_DELETE:
      return "INDEX DELETE";
    default:
      return "OTHER";
  }
}

// Text mode (and -S) with a dictionary: the changes of each transaction, as built, held
// until its end; at its commit they become a trail transaction image, its rollbacks are
// resolved as capture resolves them, and it is printed as the trail shows a transaction
// (or counted).
struct Pending {
  std::vector<uint8_t> img;  // the records, back to back
  uint32_t n = 0;
  uint32_t flag = 0;  // KS_SLOT_* as the transaction table would set them
  int sn = -1;        // its slot in open_trans
};
std::map<uint64_t, Pending> pending;
// The open transactions, in capture's own transaction table (slots only, no images): the
// decoder finds there the transaction of a rollback record that follows another
// session's change, exactly as capture does.
ks_trans_t open_trans;

// Counts the changes of a resolved committed transaction image that are still standing.
void count_changes(const std::vector<uint8_t> &img) {
  for (size_t off = KS_LCR_TH_SZ; off + KS_LCR_RHS_SZ <= img.size();) {
    const uint8_t *p = img.data() + off;
    uint32_t rlen = ks_lcr_u32(p, 0), flag = ks_lcr_u32(p, 4);
    if (rlen < KS_LCR_RHS_SZ || rlen > img.size() - off) return;  // as built here: not reached
    off += rlen;
    if ((flag & (KS_RH_SHORT | KS_RH_DISCARD)) || rlen < KS_LCR_RH_SZ) continue;
    ks_lcr_rh_t rh = ks_lcr_load<ks_lcr_rh_t>(p);
    if (rh.opc == KS_OPC_DDL) {
      sum.ddl++;
      continue;
    }
    std::string table = std::string(rh.ownr, strnlen(rh.ownr, sizeof rh.ownr)) + "." +
                        std::string(rh.onam, strnlen(rh.onam, sizeof rh.onam));
    auto &c = sum.changes[table][op_name(rh.opc)];
    c.first++;
    if (rh.opc == KS_OPC_QMI) c.second += rh.nnew;
  }
}

// Takes one change as the transaction table takes it (ks_append_lcr), with its rules of
// what a transaction keeps; at the commit, what the trail would receive.
void group_lcr(ks_extr_t *ex, ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct) {
  uint32_t rlen = ks_lcr_u32(rh, 0), rflag = ks_lcr_u32(rh, 4), opc = ks_lcr_u32(rh, 8);
  auto it = pending.find(xid);
  if (it == pending.end()) {
    // Like the trail, a transaction starts with its first change: the end of one that
    // changed nothing captured is not shown.
    if (opc == KS_OPC_COMMIT || opc == KS_OPC_ROLLBACK) return;
    it = pending.emplace(xid, Pending{}).first;
    it->second.sn = ks_trans_take_slot(&open_trans, xid, false);
    if (it->second.sn < 0) KS_ERROR("no slot for transaction %d.%d.%d: out of memory.", KS_XID_ARGS(xid));
  }
  Pending &t = it->second;
  if (!ks_trans_keeps(t.flag, rflag, opc)) return;
  auto done = [&] {
    if (t.sn >= 0) ks_trans_drop_slot(&open_trans, t.sn);
    pending.erase(it);
  };
  if (opc == KS_OPC_TAG) {
    // A tag marks the transaction (the trail keeps it in the transaction's flags), it is
    // not one of its records.
    t.flag |= KS_SLOT_TAG;
    if (!summary)
      printf("TRANSACTION XID %d.%d.%d tagged: %s\n", KS_XID_ARGS(xid),
             hex(reinterpret_cast<const uint8_t *>(rh) + KS_LCR_RHS_SZ, ks_lcr_u32(rh, 12)).c_str());
    return;
  }
  if (opc == KS_OPC_ROLLBACK) {
    sum.rolled_back++;
    if (!summary)
      printf("TRANSACTION XID %d.%d.%d rolled back at SCN %llu: %u change(s) not delivered\n", KS_XID_ARGS(xid),
             static_cast<unsigned long long>(scn), t.n);
    done();
    return;
  }
  t.flag |= ks_trans_record_flags(rflag, opc);
  const uint8_t *b = reinterpret_cast<const uint8_t *>(rh);
  t.img.insert(t.img.end(), b, b + rlen);
  t.n++;
  if (opc != KS_OPC_COMMIT) return;
  if (ks_trans_nothing_to_deliver(t.flag)) {
    if (!summary)
      printf("TRANSACTION XID %d.%d.%d committed at SCN %llu: dictionary changes only, not delivered\n",
             KS_XID_ARGS(xid), static_cast<unsigned long long>(scn));
    done();
    return;
  }
  std::vector<uint8_t> img(KS_LCR_TH_SZ);
  ks_lcr_th_t th{};
  th.tlen = static_cast<uint32_t>(KS_LCR_TH_SZ + t.img.size());
  th.flag = KS_TH_TRANS;
  th.nlcr = t.n;
  th.csct = sct;
  th.cscn = scn;
  th.xid = xid;
  ks_lcr_store(img.data(), th);
  img.insert(img.end(), t.img.begin(), t.img.end());
  // A resolution that fails has said why and left the image as it was: it is shown
  // unresolved, as the trail would hold it.
  if (t.flag & KS_SLOT_ROLLBACK) ks_check_rollback(ex, reinterpret_cast<ks_lcr_th_t *>(img.data()));
  sum.committed++;
  if (summary)
    count_changes(img);
  else
    ks_trail_print_transaction(img.data(), &th, 0, "redocat", false);
  done();
}

// Column entries from p for n entries: [name, hex|null] pairs; advances p.
std::string entries(const uint8_t *&p, uint32_t n) {
  std::string s = "[";
  for (uint32_t i = 0; i < n; i++) {
    ks_lcr_ch_t ch;
    memcpy(&ch, p, sizeof ch);
    const char *name = reinterpret_cast<const char *>(p + KS_LCR_CH_SZ);
    if (i) s += ", ";
    s += "[" + jstr(name, ch.nlen) + ", ";
    if (ch.flag & KS_CH_NULL)
      s += "null";
    else if ((ch.flag & KS_CH_EMPTY_LOB) && ch.dlen == 0)
      s += "\"empty_lob\"";
    else
      s += "\"" + hex(p + KS_LCR_CH_SZ + ch.nlen, ch.dlen) + "\"";
    s += "]";
    p += ch.alen;
  }
  return s + "]";
}

int lcr_tap(ks_extr_t *ex, ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct) {
  const uint32_t end = ks_lcr_u32(rh, 8);
  if (end == KS_OPC_COMMIT) sum.commits++;
  if (end == KS_OPC_ROLLBACK) sum.rollbacks++;
  if (!json || summary) {
    if (have_dict) group_lcr(ex, rh, xid, scn, sct);
    return 0;
  }
  const uint8_t *b = reinterpret_cast<const uint8_t *>(rh);
  uint32_t opc = rh->opc, flag = rh->flag;
  bool shrt = flag & KS_RH_SHORT;
  std::string s = "{\"type\": \"change\", \"op\": \"" + std::string(op_name(opc)) + "\"";
  if (!shrt && (flag & KS_RH_ROLLBACK)) s += ", \"rollback_redo\": true";
  if (!shrt) s += ", \"owner\": " + jstr(rh->ownr, 32) + ", \"table\": " + jstr(rh->onam, 32);
  char x[64];
  snprintf(x, sizeof x, "%d.%d.%d", KS_XID_ARGS(xid));
  s += ", \"xid\": \"" + std::string(x) + "\", \"scn\": " + std::to_string(scn) +
       ", \"con_uid\": " + std::to_string(ex->m->con_uid) + ", \"rba\": \"" + rba_text() + "\"";
  if (ex->m->has_sct) s += ", \"ts\": " + std::to_string(sct);
  if (shrt) {
    if (opc == KS_OPC_TAG) {
      uint32_t dlen;
      memcpy(&dlen, b + 12, 4);
      s += ", \"tag\": \"" + hex(b + KS_LCR_RHS_SZ, dlen) + "\"";
    }
  } else if (opc == KS_OPC_DDL) {
    s += ", \"objn\": " + std::to_string(rh->nold) + ", \"ddl_type\": " + std::to_string(ex->m->ddl_type) +
         ", \"text\": " + jstr(reinterpret_cast<const char *>(b + KS_LCR_RH_SZ), rh->nnew);
  } else if (!(flag & KS_RH_ROLLBACK)) {
    const uint8_t *p = b + KS_LCR_RH_SZ;
    if (opc == KS_OPC_QMI) {
      std::string cols = "[";
      for (uint32_t i = 0; i < rh->nold; i++) {
        ks_lcr_ch_t ch;
        memcpy(&ch, p, sizeof ch);
        cols += (i ? ", " : "") + jstr(reinterpret_cast<const char *>(p + KS_LCR_CH_SZ), ch.nlen);
        p += ch.alen;
      }
      s += ", \"columns\": " + cols + "], \"rows\": [";
      for (uint32_t r = 0; r < rh->nnew; r++) {
        s += r ? ", [" : "[";
        for (uint32_t i = 0; i < rh->nold; i++) {
          uint16_t l = ks::load16(p, false);
          s += i ? ", " : "";
          s += l ? "\"" + hex(p + 2, l) + "\"" : "null";
          p += 2 + l;
        }
        s += "]";
      }
      s += "]";
    } else if (opc == KS_OPC_LOB_TRIM) {
      s += ", \"length\": " + std::to_string(ks_lcr_u64(b, KS_LCR_RH_SZ));
    } else if (opc == KS_OPC_LOB_WRITE || opc == KS_OPC_LOB_ERASE) {
      s += ", \"amount\": " + std::to_string(ks_lcr_u32(b, KS_LCR_RH_SZ)) +
           ", \"offset\": " + std::to_string(ks_lcr_u64(b, KS_LCR_RH_SZ + 4));
      if (opc == KS_OPC_LOB_WRITE) {
        s += ", \"data\": \"" + hex(b + KS_LCR_RH_SZ + 12, rh->rlen - KS_LCR_RH_SZ - 12) + "\"";
        if (flag & KS_RH_LOB_LAST) s += ", \"last\": true";
      }
    } else {
      if (flag & KS_RH_FROM_LLB) s += ", \"from_llb\": true";
      if (rh->nnew) s += ", \"new\": " + entries(p, rh->nnew);
      if (rh->nold) s += ", \"old\": " + entries(p, rh->nold);
    }
  }
  s += "}";
  printf("%s\n", s.c_str());
  return 0;
}

void print_summary(const char *file) {
  printf("SUMMARY %s\n", file);
  printf("records: %llu (ignored: %llu, with a malformed change: %llu)\n", static_cast<unsigned long long>(sum.records),
         static_cast<unsigned long long>(sum.ignored), static_cast<unsigned long long>(sum.malformed));
  printf("blocks failing their checksum: %zu", sum.bad_blocks.size());
  for (size_t i = 0; i < sum.bad_blocks.size(); i++) printf("%s%u", i == 0 ? " (" : ", ", sum.bad_blocks[i]);
  printf(sum.bad_blocks.empty() ? "\n" : ")\n");
  printf("changes by operation code:\n");
  for (const auto &[op, n] : sum.vectors)
    printf("  %d.%d: %llu\n", op.first, op.second, static_cast<unsigned long long>(n));
  printf("transaction ends: %llu commit(s), %llu rollback(s)\n", static_cast<unsigned long long>(sum.commits),
         static_cast<unsigned long long>(sum.rollbacks));
  if (!have_dict) {
    printf("row changes: none decoded without a dictionary (-d)\n");
  } else {
    printf("transactions with captured changes: %llu committed, %llu rolled back, %zu not ended in this log\n",
           static_cast<unsigned long long>(sum.committed), static_cast<unsigned long long>(sum.rolled_back),
           pending.size());
    printf("row changes of committed transactions, rollbacks resolved:\n");
    for (const auto &[table, ops] : sum.changes)
      for (const auto &[op, n] : ops) {
        printf("  %s %s: %llu", table.c_str(), op.c_str(), static_cast<unsigned long long>(n.first));
        if (op == op_name(KS_OPC_QMI)) printf(" (%llu rows)", static_cast<unsigned long long>(n.second));
        printf("\n");
      }
    printf("DDL statements of committed transactions: %llu\n", static_cast<unsigned long long>(sum.ddl));
  }
  uint64_t total = 0;
  for (int i = 0; i < KS_NC_REASONS; i++) total += ks_not_captured_count(i);
  printf("records of captured tables not captured: %llu\n", static_cast<unsigned long long>(total));
  for (int i = 0; i < KS_NC_REASONS; i++)
    if (ks_not_captured_count(i) != 0)
      printf("  %s: %llu\n", ks_not_captured_reason(i), static_cast<unsigned long long>(ks_not_captured_count(i)));
}

void usage() {
  fprintf(stderr,
          "usage: redocat -f <log file> [-d <dictionary file>] [-s <start scn>] [-e <end scn>] [-m] [-j | -S]\n"
          "  -m  the source character set is multi-byte: CLOB data is two bytes per character\n");
}

}  // namespace

int main(int argc, char **argv) {
  const char *file = nullptr, *dictf = nullptr;
  int c;
  while ((c = getopt(argc, argv, "f:d:s:e:mjSh")) != -1) {
    switch (c) {
      case 'f':
        file = optarg;
        break;
      case 'd':
        dictf = optarg;
        break;
      case 's':
        x_start_scn = strtoull(optarg, nullptr, 0);
        break;
      case 'e':
        x_end_scn = strtoull(optarg, nullptr, 0);
        break;
      case 'm':
        x_miner.cbl = 2;
        break;
      case 'j':
        json = true;
        break;
      case 'S':
        summary = true;
        break;
      default:
        usage();
        return 1;
    }
  }
  if (!file || (json && summary)) {
    usage();
    return 1;
  }
  // The decoder's messages are the tool's own: on its standard error, never in log files.
  ks_log_to_fd(STDERR_FILENO);
  ks_log_inf.log_level = KS_LOG_INFO;
  FILE *fp = fopen(file, "rb");
  if (!fp) {
    fprintf(stderr, "redocat: cannot open %s\n", file);
    return 1;
  }
  std::vector<uint8_t> data;
  uint8_t tmp[65536];
  size_t n;
  while ((n = fread(tmp, 1, sizeof tmp, fp)) > 0) data.insert(data.end(), tmp, tmp + n);
  fclose(fp);
  if (data.size() < 1024) {
    fprintf(stderr, "redocat: %s is too short for a redo log\n", file);
    return 1;
  }
  static ks_logf_t log;
  uint32_t magic = ks::load_le32(data.data() + R::KS_REDO_FH0_MAGIC);
  bool big = magic == R::KS_REDO_MAGIC_BIG_HOST || magic == R::KS_REDO_MAGIC_BIG_HOST_ALT;
  if (big) log.flag |= KS_LOGF_BIG_ENDIAN;
  log.blk_sz = int(ks::load32(data.data() + R::KS_REDO_FH0_BLOCK_SIZE, big));
  if (log.blk_sz < 512 || log.blk_sz > 65536 || size_t(log.blk_sz) * 2 > data.size()) {
    fprintf(stderr, "redocat: bad block size %d\n", log.blk_sz);
    return 1;
  }
  static ks_dict_t dict;
  uint8_t *block = nullptr;
  if (dictf) {
    if (ks_dict_load_block(dictf, malloc, free, &block) != 0) {
      fprintf(stderr, "redocat: cannot load dictionary %s\n", dictf);
      return 1;
    }
    ks_dict_attach(block, &dict);
    have_dict = true;
    open_trans.fd = -1;
    if (ks_trans_init_table(&open_trans, 1024, 65536, 0) != 0) {
      fprintf(stderr, "redocat: out of memory\n");
      return 1;
    }
  }
  std::vector<uint8_t> mem(KS_BUF_TOTAL);
  static ks_buffer_t buf;
  ks_cut_buffer(&buf, mem.data());
  buf.rd_buf = data.data();
  static ks_extr_t ex;
  ex.b = &buf;
  ex.l = &log;
  ex.m = &x_miner;
  ex.d = have_dict ? &dict : nullptr;
  ex.t = have_dict ? &open_trans : nullptr;
  int rblks = int(data.size() / size_t(log.blk_sz));
  const uint8_t *b1 = data.data() + log.blk_sz;
  cur = {ks::load32(b1 + R::KS_REDO_BH_SEQUENCE, big), 0, 0};
  x_record_tap = record_tap;
  x_lcr_tap = lcr_tap;
  ks_rba_t rba = cur;
  rba.blk = 0;
  // The walk reads the header itself; print it from the same bytes.
  uint32_t vsn = ks::load32(b1 + R::KS_REDO_FH1_VERSION, big);
  if (!json && !summary) {
    printf("FILE block_size %d byte_order %s vsn 0x%08X blocks %u next_block %u sequence %u\n", log.blk_sz,
           big ? "big" : "little", vsn, ks::load32(b1 + R::KS_REDO_FH1_FILE_BLOCKS, big),
           ks::load32(b1 + R::KS_REDO_FH1_NEXT_BLOCK, big), cur.sqn);
    auto scn = [&](int off) {
      uint64_t v = R::load_header_scn(b1 + off, big);
      return v == R::KS_REDO_SCN_NONE ? std::string("none") : std::to_string(v);
    };
    printf("SCN first %s next %s resetlogs %s\n", scn(R::KS_REDO_FH1_FIRST_SCN).c_str(),
           scn(R::KS_REDO_FH1_NEXT_SCN).c_str(), scn(R::KS_REDO_FH1_RESETLOGS_SCN).c_str());
  }
  // The walk keeps `cur` at the first byte of the record it hands to the decoder, which
  // is what the taps print. A block failing its checksum stops it before the block: the
  // block is reported, its checksum set right in this copy of the file so that it passes
  // as it is, and the walk goes on from where it stopped.
  cur = rba;
  int rc;
  for (;;) {
    const size_t at = size_t(cur.blk) * size_t(log.blk_sz);
    buf.rd_buf = data.data() + at;
    rc = ks_do_read_buffer(&ex, &cur, rblks - int(cur.blk));
    if (rc != -1 || !(log.flag & KS_LOGF_BAD_CHECKSUM)) break;
    log.flag &= ~KS_LOGF_BAD_CHECKSUM;
    const uint32_t bad = log.bad_blk;
    sum.bad_blocks.push_back(bad);
    if (json)
      fprintf(stderr, "redocat: block %u of %s fails its checksum\n", bad, file);
    else if (!summary)
      printf("BLOCK %u fails its checksum\n", bad);
    R::set_block_checksum(data.data() + size_t(bad) * size_t(log.blk_sz), size_t(log.blk_sz));
  }
  if (summary)
    print_summary(file);
  else if (!json)
    for (const auto &[xid, t] : pending)
      printf("TRANSACTION XID %d.%d.%d not ended in this log: %u change(s)\n", KS_XID_ARGS(xid), t.n);
  fflush(stdout);
  ks_log_not_captured(false);
  if (have_dict) ks_trans_free_table(&open_trans);
  ks_chain_free(&x_chain);  // rows left in progress, spilled ones included
  free(block);
  if (rc == -1) {
    fprintf(stderr, "redocat: walk of %s stopped at %s\n", file, rba_text().c_str());
    return 1;
  }
  return sum.bad_blocks.empty() ? 0 : 2;
}
