// Redo decoding: the hand-made logs decode (through redocat) to exactly their expected
// change lines; the SCN window and container filter; NUMBER decoding; and a bounded
// random-mutation loop over every fixture record that must never crash or read past the
// record (run under the sanitizer build in CI).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "extract/dict/dict.h"
#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "lib/bytes.h"
#include "tests/testutil.h"

namespace {

const char *kCases[] = {"insert_le_v19_b512", "insert_be_v19_b512", "upd_del_le_v11_b1024", "upd_del_be_v10_b512",
                        "qmi_le_v19_b1024", "qmi_be_v11_b512", "walk_le_v19_b512", "walk_be_v10_b1024",
                        "rollback_le_v10_b512", "misc_be_v11_b1024", "pdb_le_v19_b1024", "stamp_be_v19_b512"};

std::string data_path(const std::string &name, const char *ext) {
  return std::string(KS_TEST_DATA_DIR) + "/redo/" + name + ext;
}

std::string run(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string expected_changes(const std::string &name) {
  std::string all = kstest::read_file(data_path(name, ".expected.jsonl")), out;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t e = all.find('\n', pos);
    if (e == std::string::npos) e = all.size();
    std::string line = all.substr(pos, e - pos);
    if (line.find("\"type\": \"change\"") != std::string::npos) out += line + "\n";
    pos = e + 1;
  }
  return out;
}

TEST(RedoFixtures, DecodeToExpectedChanges) {
  for (const char *c : kCases) {
    std::string got = run(std::string(KS_BIN_DIR) + "/redocat -j -f " + data_path(c, ".redo") + " -d " +
                          data_path(c, ".dict") + " 2>/dev/null");
    EXPECT_EQ(got, expected_changes(c)) << c;
  }
}

// Raw text of a JSON field of one line (strings keep their quotes), "" when absent.
std::string jfield(const std::string &l, const std::string &key) {
  std::string k = "\"" + key + "\": ";
  size_t p = l.find(k);
  if (p == std::string::npos) return "";
  p += k.size();
  size_t e = l[p] == '"' ? l.find('"', p + 1) + 1 : l[p] == '[' ? l.find(']', p) + 1 : l.find_first_of(",}", p);
  return l.substr(p, e - p);
}

std::vector<std::string> split(const std::string &s) {
  std::vector<std::string> v;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t e = s.find('\n', pos);
    if (e == std::string::npos) e = s.size();
    v.push_back(s.substr(pos, e - pos));
    pos = e + 1;
  }
  return v;
}

// The text an operator reads: the file header, every record with its vectors, and each
// committed transaction's changes as the trail shows them, against the hand-made
// expectations of every fixture log.
TEST(RedoFixtures, TextShowsEveryRecordAndEachCommittedTransaction) {
  size_t records = 0, txns = 0;
  for (const char *c : kCases) {
    SCOPED_TRACE(c);
    std::string text = run(std::string(KS_BIN_DIR) + "/redocat -f " + data_path(c, ".redo") + " -d " +
                           data_path(c, ".dict") + " 2>/dev/null");
    std::vector<std::string> want_records, got_records, want_txns, got_txns;
    std::map<std::string, std::string> open;  // xid -> operations so far
    for (const std::string &l : split(kstest::read_file(data_path(c, ".expected.jsonl")))) {
      std::string type = jfield(l, "type");
      if (type == "\"file\"") {
        char h[256];
        std::string order = jfield(l, "byte_order");
        snprintf(h, sizeof h, "FILE block_size %s byte_order %s vsn %s blocks %s next_block %s sequence %s",
                 jfield(l, "block_size").c_str(), order.substr(1, order.size() - 2).c_str(),
                 jfield(l, "vsn").substr(1, 10).c_str(), jfield(l, "file_blocks").c_str(),
                 jfield(l, "next_available_block").c_str(), jfield(l, "sequence").c_str());
        EXPECT_EQ(split(text).at(0), h);
      } else if (type == "\"record\"") {
        std::string rba = jfield(l, "rba"), ops = jfield(l, "ops");
        char vld[8];
        snprintf(vld, sizeof vld, "0x%02x", atoi(jfield(l, "vld").c_str()));
        std::string r = "rba " + rba.substr(1, rba.size() - 2) + " len " + jfield(l, "len") + " vld " + vld + " scn " +
                        jfield(l, "scn") + " con_uid " + jfield(l, "con_uid");
        if (atoi(jfield(l, "vld").c_str()) & 4) r += " time " + jfield(l, "ts");
        if (!jfield(l, "ignored").empty()) r += " (ignored)";
        for (size_t p = 0; (p = ops.find('"', p)) != std::string::npos;) {
          size_t e = ops.find('"', p + 1);
          r += " " + ops.substr(p + 1, e - p - 1);
          p = e + 1;
        }
        want_records.push_back(r);
      } else if (type == "\"change\"") {
        std::string op = jfield(l, "op"), xid = jfield(l, "xid");
        op = op.substr(1, op.size() - 2);
        if (op == "COMMIT") {
          want_txns.push_back(xid.substr(1, xid.size() - 2) + open[xid] + " COMMIT");
          open.erase(xid);
        } else if (op == "ROLLBACK") {
          open.erase(xid);
        } else if (op != "TAG") {
          std::string owner = jfield(l, "owner"), table = jfield(l, "table");
          open[xid] += std::string(jfield(l, "rollback_redo").empty() ? "" : " [rollback]") + " " + op + " " +
                       owner.substr(1, owner.size() - 2) + "." + table.substr(1, table.size() - 2);
        }
      }
    }
    std::string *cur = nullptr;
    bool rollback = false;
    for (const std::string &l : split(text)) {
      if (l.rfind("RECORD ", 0) == 0) {
        got_records.push_back(l.substr(7));
        cur = &got_records.back();
      } else if (l.rfind("  change #", 0) == 0 && cur) {
        size_t op = l.find(" OP ") + 4;
        *cur += " " + l.substr(op, l.find(' ', op) - op);
      } else if (l.rfind("XID: ", 0) == 0) {
        got_txns.push_back(l.substr(l.find('(') + 1, l.find(')') - l.find('(') - 1));
        cur = nullptr;
      } else if (l.rfind("LCR [Discard] [Rollbacked]", 0) == 0) {
        rollback = true;
      } else if (l.rfind("LCR Op: ", 0) == 0 && !got_txns.empty()) {
        size_t o = l.find("  Owner: ");
        std::string what = l.substr(8, o == std::string::npos ? std::string::npos : o - 8);
        if (o != std::string::npos) {
          size_t t = l.find(", ", o);
          what += " " + l.substr(o + 9, t - o - 9) + "." + l.substr(l.find(": ", t) + 2);
        }
        got_txns.back() += (rollback ? " [rollback] " : " ") + what;
        rollback = false;
      }
    }
    EXPECT_EQ(got_records, want_records);
    EXPECT_EQ(got_txns, want_txns);
    records += want_records.size();
    txns += want_txns.size();
  }
  EXPECT_GT(records, 60u);
  EXPECT_GT(txns, 20u);
}

TEST(RedoFixtures, ScnWindowBoundsAreInclusive) {
  // upd_del_le_v11_b1024: changes at SCNs 11796483, 11796486, 11796489, 11796492, 11796495.
  std::string base = std::string(KS_BIN_DIR) + "/redocat -j -f " + data_path("upd_del_le_v11_b1024", ".redo") + " -d " +
                     data_path("upd_del_le_v11_b1024", ".dict");
  std::string got = run(base + " -s 11796486 -e 11796492 2>/dev/null");
  EXPECT_EQ(got.find("11796483"), std::string::npos);
  EXPECT_NE(got.find("\"scn\": 11796486"), std::string::npos);
  EXPECT_NE(got.find("\"scn\": 11796492"), std::string::npos);
  EXPECT_EQ(got.find("11796495"), std::string::npos);
}

TEST(RedoNumber, OraNumberToInt) {
  const uint8_t a[] = {0xC1, 0x16}, b[] = {0xC2, 0x02}, z[] = {0x80}, neg[] = {0x3E, 0x50, 0x66};
  const uint8_t big[] = {0xC3, 0x02, 0x03, 0x04};  // 10203
  EXPECT_EQ(ks_ora_number_to_int(a, 2), 21);
  EXPECT_EQ(ks_ora_number_to_int(b, 2), 100);
  EXPECT_EQ(ks_ora_number_to_int(z, 1), 0);
  EXPECT_EQ(ks_ora_number_to_int(neg, 3), -1);
  EXPECT_EQ(ks_ora_number_to_int(big, 4), 10203);
}

TEST(RedoLob, InRowLocators) {
  uint8_t loc[40] = {};
  uint8_t *p;
  int n;
  EXPECT_EQ(ks_parse_lob_inrow(loc, 20, &p, &n), 0);
  EXPECT_EQ(n, 0);
  loc[29] = 4;  // 4 in-row bytes at +36
  memcpy(loc + 36, "abcd", 4);
  EXPECT_EQ(ks_parse_lob_inrow(loc, 40, &p, &n), 0);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(memcmp(p, "abcd", 4), 0);
  loc[29] = 5;  // claims more than the value holds
  EXPECT_EQ(ks_parse_lob_inrow(loc, 40, &p, &n), -1);
}

// ---- mutation loop ------------------------------------------------------------------

std::vector<std::vector<uint8_t>> *collected;
void collect(ks_extr_t *ex, int rlen) { collected->emplace_back(ex->b->record, ex->b->record + rlen); }
int count_lcr(ks_extr_t *, ks_lcr_rh_t *rh, uint64_t, uint64_t, uint32_t) {
  EXPECT_LE(rh->rlen, KS_BUF_LCR_SZ);
  return 0;
}

TEST(RedoFuzz, MutatedRecordsNeverCrash) {
  std::vector<uint8_t> mem(KS_BUF_TOTAL);
  ks_buffer_t buf;
  ks_cut_buffer(&buf, mem.data());
  std::mt19937 rng(12345);
  int iterations = 0;
  for (const char *c : kCases) {
    std::string file = kstest::read_file(data_path(c, ".redo"));
    uint8_t *block = nullptr;
    ASSERT_EQ(ks_dict_load_block(data_path(c, ".dict").c_str(), malloc, free, &block), 0);
    ks_dict_t dict;
    ks_dict_attach(block, &dict);
    ks_logf_t log{};
    bool big = std::string(c).find("_be_") != std::string::npos;
    if (big) log.flag |= KS_LOGF_BIG_ENDIAN;
    log.blk_sz = std::string(c).find("b1024") != std::string::npos ? 1024 : 512;
    ks_extr_t ex{};
    ex.b = &buf;
    ex.l = &log;
    ex.m = &x_miner;
    ex.d = &dict;
    std::vector<std::vector<uint8_t>> recs;
    collected = &recs;
    x_record_tap = collect;
    x_lcr_tap = count_lcr;
    std::vector<uint8_t> rd(file.begin(), file.end());
    buf.rd_buf = rd.data();
    ks_rba_t rba{0, 0, 0};
    rba.sqn = ks::load32(rd.data() + log.blk_sz + 8, big);
    ks_do_read_buffer(&ex, &rba, static_cast<int>(rd.size() / log.blk_sz));
    x_record_tap = nullptr;
    ASSERT_FALSE(recs.empty()) << c;
    uint8_t *saved = buf.record;
    for (const auto &r : recs) {
      for (int i = 0; i < 400; i++) {
        std::vector<uint8_t> m = r;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; e++) {
          size_t at = rng() % m.size();
          switch (rng() % 3) {
            case 0: m[at] = static_cast<uint8_t>(rng()); break;
            case 1: m[at] = 0xFF; break;
            default: m.resize(std::max<size_t>(1, at)); break;
          }
          if (m.empty()) break;
        }
        // Exact-size heap copy: any read past the record is a sanitizer report.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[m.size()]);
        memcpy(exact.get(), m.data(), m.size());
        buf.record = exact.get();
        ks_parse_record(&ex, static_cast<int>(m.size()));
        iterations++;
      }
    }
    buf.record = saved;
    x_lcr_tap = nullptr;
    free(block);
  }
  EXPECT_GT(iterations, 10000);
}

}  // namespace
