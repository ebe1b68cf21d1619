// redocat: prints a redo log file as the capture decoder sees it — the file header, each
// record's address, length, SCN and change vectors — and, with a dictionary, the row
// changes the decoder builds from it (-j: one JSON object per line). No shared memory, no
// database. Invariants: the file is untrusted; records reach the same bounded decoder the
// capture process uses, and the walk is the capture process's own block walk.
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
#include "extract/redo/redo_format.h"
#include "extract/trans/trail_print.h"
#include "lib/bytes.h"
#include "lib/log/log.h"
#include "lib/util.h"

// GCC 12 reports a false -Wrestrict inside std::string concatenation (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

namespace R = ks::redo;

namespace {

bool json = false;
bool have_dict = false;
ks_rba_t cur;

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

std::string rba_text() { return std::to_string(cur.sqn) + "." + std::to_string(cur.blk) + "." + std::to_string(cur.byt); }

void record_tap(ks_extr_t *ex, int rlen) {
  const uint8_t *r = ex->b->record;
  bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (rlen < R::kRhSize) return;
  uint8_t vld = r[R::kRhVld];
  uint64_t scn = (uint64_t(ks::load16(r + R::kRhScnWrap, big)) << 32) | ks::load32(r + R::kRhScnBase, big);
  int hsz = R::record_header_size(vld);
  if (json) return;
  printf("RECORD rba %s len %d vld 0x%02x scn %llu con_uid %u", rba_text().c_str(), rlen, vld,
         static_cast<unsigned long long>(scn), ks::load32(r + R::kRhConUid, big));
  if (hsz == R::kRhSizeLong && rlen >= hsz) printf(" time %u", ks::load32(r + R::kRhTime, big));
  if (vld & R::kVldIgnore) printf(" (ignored)");
  printf("\n");
  if (rlen < hsz) return;
  const uint8_t *v = r + hsz;
  uint32_t left = uint32_t(rlen - hsz);
  int n = 0;
  while (left > 0) {
    ks_cv_t cv;
    if (ks_cv_open(&cv, const_cast<uint8_t *>(v), left, ex->l->vhsz, big) < 0) {
      printf("  change #%d: malformed (%u bytes left)\n", n + 1, left);
      return;
    }
    printf("  change #%d OP %d.%d class %u dba 0x%08x fields", ++n, v[0], v[1], ks::load16(v + R::kCvClass, big),
           ks::load32(v + R::kCvDba, big));
    for (int k = 1; k <= cv.nf; k++) printf(" %u", cv.len[k]);
    printf("\n");
    v += cv.size;
    left -= cv.size;
  }
}

// Text mode with a dictionary: the changes of each transaction, as built, held until its
// commit and then printed as the trail shows a transaction.
struct Pending {
  std::vector<uint8_t> img;  // the records, back to back
  uint32_t n = 0;
};
std::map<uint64_t, Pending> pending;

void group_lcr(ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct) {
  uint32_t rlen = ks_lcr_u32(rh, 0), opc = ks_lcr_u32(rh, 8);
  if (opc == KS_OPC_TAG) {
    // A tag marks the transaction (the trail keeps it in the transaction's flags), it is
    // not one of its records.
    uint32_t dlen = ks_lcr_u32(rh, 12);
    printf("TRANSACTION XID %d.%d.%d tagged: %s\n", KS_XID_ARGS(xid),
           hex(reinterpret_cast<const uint8_t *>(rh) + KS_LCR_RHS_SZ, dlen).c_str());
    return;
  }
  auto it = pending.find(xid);
  if (it == pending.end()) {
    // Like the trail, a transaction starts with its first change: the end of one that
    // changed nothing captured is not shown.
    if (opc == KS_OPC_COMMIT || opc == KS_OPC_ROLLBACK) return;
    it = pending.emplace(xid, Pending{}).first;
  }
  Pending &t = it->second;
  const uint8_t *b = reinterpret_cast<const uint8_t *>(rh);
  t.img.insert(t.img.end(), b, b + rlen);
  t.n++;
  if (opc != KS_OPC_COMMIT && opc != KS_OPC_ROLLBACK) return;
  if (opc == KS_OPC_ROLLBACK) {
    printf("TRANSACTION XID %d.%d.%d rolled back at SCN %llu: %u change(s) not delivered\n", KS_XID_ARGS(xid),
           static_cast<unsigned long long>(scn), t.n - 1);
  } else {
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
    ks_trail_print_transaction(img.data(), &th, 0, "redocat", false);
  }
  pending.erase(xid);
}

const char *op_name(uint32_t opc) {
  switch (opc) {
    case KS_OPC_INSERT: return "INSERT";
    case KS_OPC_UPDATE: return "UPDATE";
    case KS_OPC_DELETE: return "DELETE";
    case KS_OPC_QMI: return "QUICK INSERT";
    case KS_OPC_QMD: return "QUICK DELETE";
    case KS_OPC_COMMIT: return "COMMIT";
    case KS_OPC_ROLLBACK: return "ROLLBACK";
    case KS_OPC_DDL: return "DDL";
    case KS_OPC_TAG: return "TAG";
    case KS_OPC_SYNC_SEQ: return "SYNC SEQUENCE";
    case KS_OPC_LOB_ROLLBACK: return "LOB ROLLBACK";
    default: return "OTHER";
  }
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
    if (ch.flag & KS_CH_NULL) s += "null";
    else s += "\"" + hex(p + KS_LCR_CH_SZ + ch.nlen, ch.dlen) + "\"";
    s += "]";
    p += ch.alen;
  }
  return s + "]";
}

int lcr_tap(ks_extr_t *ex, ks_lcr_rh_t *rh, uint64_t xid, uint64_t scn, uint32_t sct) {
  if (!json) {
    if (have_dict) group_lcr(rh, xid, scn, sct);
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
    } else {
      if (rh->nnew) s += ", \"new\": " + entries(p, rh->nnew);
      if (rh->nold) s += ", \"old\": " + entries(p, rh->nold);
    }
  }
  s += "}";
  printf("%s\n", s.c_str());
  return 0;
}

void usage() {
  fprintf(stderr, "usage: redocat -f <log file> [-d <dictionary file>] [-s <start scn>] [-e <end scn>] [-j]\n");
}

}  // namespace

int main(int argc, char **argv) {
  const char *file = nullptr, *dictf = nullptr;
  int c;
  while ((c = getopt(argc, argv, "f:d:s:e:jh")) != -1) {
    switch (c) {
      case 'f': file = optarg; break;
      case 'd': dictf = optarg; break;
      case 's': x_start_scn = strtoull(optarg, nullptr, 0); break;
      case 'e': x_end_scn = strtoull(optarg, nullptr, 0); break;
      case 'j': json = true; break;
      default: usage(); return 1;
    }
  }
  if (!file) {
    usage();
    return 1;
  }
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
  uint32_t magic = ks::load_le32(data.data() + R::kFh0Magic);
  bool big = magic == R::kMagicBigHost || magic == R::kMagicBigHostAlt;
  if (big) log.flag |= KS_LOGF_BIG_ENDIAN;
  log.blk_sz = int(ks::load32(data.data() + R::kFh0BlockSize, big));
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
  int rblks = int(data.size() / size_t(log.blk_sz));
  const uint8_t *b1 = data.data() + log.blk_sz;
  cur = {ks::load32(b1 + R::kBhSequence, big), 0, 0};
  ks_log_inf.log_level = KS_LOG_INFO;
  x_record_tap = record_tap;
  x_lcr_tap = lcr_tap;
  ks_rba_t rba = cur;
  rba.blk = 0;
  // The walk reads the header itself; print it from the same bytes.
  uint32_t vsn = ks::load32(b1 + R::kFh1Version, big);
  if (!json)
    printf("FILE block_size %d byte_order %s vsn 0x%08X blocks %u next_block %u sequence %u\n", log.blk_sz,
           big ? "big" : "little", vsn, ks::load32(b1 + R::kFh1FileBlocks, big), ks::load32(b1 + R::kFh1NextBlock, big),
           cur.sqn);
  // The walk keeps `cur` at the first byte of the record it hands to the decoder, which
  // is what the taps print.
  cur = rba;
  int rc = ks_do_read_buffer(&ex, &cur, rblks);
  for (const auto &[xid, t] : pending)
    if (!json)
      printf("TRANSACTION XID %d.%d.%d not ended in this log: %u change(s)\n", KS_XID_ARGS(xid), t.n);
  if (rc == -1) {
    fprintf(stderr, "redocat: walk of %s stopped at %s\n", file, rba_text().c_str());
    return 1;
  }
  return 0;
}
