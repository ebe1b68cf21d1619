// Redo decoding: the hand-made logs decode (through redocat) to exactly their expected
// change lines and text; the SCN window; NUMBER and LOB locator decoding; and a
// time-bounded random-mutation loop over the records of those logs and of orasim logs
// that must never crash, read past the record (the sanitizer build runs it) or build a
// malformed change.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
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
#include "lib/fmt/redo_format.h"
#include "lib/fmt/trail_format.h"
#include "lib/log/log.h"
#include "tests/fuzz.h"
#include "tests/redo/orasim_source.h"
#include "tests/testutil.h"

namespace {

const char *kCases[] = {"insert_le_v19_b512",    "insert_be_v19_b512",    "upd_del_le_v11_b1024", "upd_del_be_v10_b512",
                        "qmi_le_v19_b1024",      "qmi_be_v11_b512",       "walk_le_v19_b512",     "walk_be_v10_b1024",
                        "rollback_le_v10_b512",  "misc_be_v11_b1024",     "pdb_le_v19_b1024",     "stamp_be_v19_b512",
                        "upd_trail_le_v19_b512", "upd_trail_be_v11_b512", "chain_le_v19_b512",    "chain_be_v11_b1024",
                        "lob_le_v19_b512",       "lob_be_v11_b1024",      "lobsf_le_v19_b512",    "lobsf_be_v11_b1024",
                        "iot_le_v19_b512",       "iot_be_v11_b1024",      "dp_le_v19_b512",       "dp_be_v11_b1024",
                        "comp_le_v19_b512",      "comp_be_v11_b1024",     "dpl_le_v19_b512",      "dpl_be_v11_b1024"};

std::string data_path(const std::string &name, const char *ext) {
  return std::string(KS_TEST_DATA_DIR) + "/redo/" + name + ext;
}

std::string run(const std::string &cmd) { return kstest::sh(cmd); }

// redocat's options for a fixture: -m when its source character set is multi-byte.
std::string options(const std::string &name) {
  std::string all = kstest::read_file(data_path(name, ".expected.jsonl"));
  return all.substr(0, all.find('\n')).find("\"multi_byte\": true") != std::string::npos ? " -m" : "";
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
    std::string got = run(std::string(KS_BIN_DIR) + "/redocat" + options(c) + " -j -f " + data_path(c, ".redo") +
                          " -d " + data_path(c, ".dict") + " 2>/dev/null");
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
    // xid -> operations so far; rollback redo discards the latest change still standing.
    std::map<std::string, std::vector<std::string>> open;
    for (const std::string &l : kstest::split_lines(kstest::read_file(data_path(c, ".expected.jsonl")))) {
      std::string type = jfield(l, "type");
      if (type == "\"file\"") {
        char h[256];
        std::string order = jfield(l, "byte_order");
        snprintf(h, sizeof h, "FILE block_size %s byte_order %s vsn %s blocks %s next_block %s sequence %s",
                 jfield(l, "block_size").c_str(), order.substr(1, order.size() - 2).c_str(),
                 jfield(l, "vsn").substr(1, 10).c_str(), jfield(l, "file_blocks").c_str(),
                 jfield(l, "next_available_block").c_str(), jfield(l, "sequence").c_str());
        EXPECT_EQ(kstest::split_lines(text).at(0), h);
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
          std::string t = xid.substr(1, xid.size() - 2);
          for (const std::string &o : open[xid]) t += o;
          if (!open[xid].empty()) want_txns.push_back(t + " COMMIT");
          open.erase(xid);
        } else if (op == "ROLLBACK") {
          open.erase(xid);
        } else if (op != "TAG") {
          std::string owner = jfield(l, "owner"), table = jfield(l, "table");
          bool rollback = !jfield(l, "rollback_redo").empty();
          auto &v = open[xid];
          // As the trail: once a DDL statement is in, the rest (but its end) is not kept.
          if (std::any_of(v.begin(), v.end(), [](const std::string &o) { return o.rfind(" DDL ", 0) == 0; })) continue;
          if (rollback)
            for (auto o = v.rbegin(); o != v.rend(); ++o)
              if (o->rfind(" [", 0) != 0) {
                *o = " [discard]" + *o;
                break;
              }
          // The trail names no table for index rollbacks.
          std::string name = op.rfind("INDEX ", 0) == 0
                                 ? ""
                                 : " " + owner.substr(1, owner.size() - 2) + "." + table.substr(1, table.size() - 2);
          v.push_back(std::string(rollback ? " [rollback]" : "") + " " + op + name);
        }
      }
    }
    std::string *cur = nullptr;
    std::string mark;  // of the record being read
    for (const std::string &l : kstest::split_lines(text)) {
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
        mark = " [rollback]";
      } else if (l.rfind("LCR [Discard]", 0) == 0) {
        mark = " [discard]";
      } else if (l.rfind("LCR Op: ", 0) == 0 && !got_txns.empty()) {
        size_t o = l.find("  Owner: ");
        std::string what = l.substr(8, o == std::string::npos ? std::string::npos : o - 8);
        if (o != std::string::npos) {
          size_t t = l.find(", ", o);
          what += " " + l.substr(o + 9, t - o - 9) + "." + l.substr(l.find(": ", t) + 2);
        }
        got_txns.back() += mark + " " + what;
        mark.clear();
      }
    }
    EXPECT_EQ(got_records, want_records);
    EXPECT_EQ(got_txns, want_txns);
    // Without the dictionary: the same records, no transaction, nothing on the error output.
    std::string bare = run(std::string(KS_BIN_DIR) + "/redocat -f " + data_path(c, ".redo") + " 2>&1; echo rc=$?");
    std::vector<std::string> bare_records;
    for (const std::string &l : kstest::split_lines(bare))
      if (l.rfind("RECORD ", 0) == 0) bare_records.push_back(l);
    EXPECT_EQ(bare_records.size(), want_records.size());
    EXPECT_EQ(bare.find("XID: "), std::string::npos);
    EXPECT_NE(bare.find("\nrc=0\n"), std::string::npos) << bare;
    EXPECT_EQ(bare.find("ERROR"), std::string::npos) << bare;
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

// A tool's decoder messages are on its standard error, never in the home's log folder.
TEST(RedoFixtures, DecoderMessagesGoToStandardError) {
  kstest::TempHome home;
  mkdir(home.file("log").c_str(), 0755);
  ASSERT_EQ(run("ls -A " + home.file("log")), "");
  std::string log = kstest::read_file(data_path("insert_le_v19_b512", ".redo"));
  log[2 * 512 + 16 + 24 + 32] = 3;  // the first record's first change: a bad length array
  kstest::write_file(home.file("bad.redo"), log);
  std::string bin = std::string(KS_BIN_DIR) + "/redocat -f " + home.file("bad.redo");
  std::string err = run(bin + " 2>&1 >/dev/null");
  EXPECT_NE(err.find("WARNING:\nchange #2 of a redo record goes past the record (left 308).\n"), std::string::npos)
      << err;
  EXPECT_EQ(run("ls -A " + home.file("log")), "");
  EXPECT_EQ(run(bin + " -j -S 2>/dev/null; echo rc=$?"), "rc=1\n");  // one or the other
}

// An index-organised update logged as leaf operation 10.30, whose layout is not read, is
// one error line naming its position, table and operation, and one count; the changes
// around it in its transaction are still taken (the fixtures' expected changes).
TEST(RedoFixtures, IotUpdateOfTheOlderFormIsReportedAndCounted) {
  for (const char *c : {"iot_le_v19_b512", "iot_be_v11_b1024"}) {
    std::string err = run(std::string(KS_BIN_DIR) + "/redocat -j -f " + data_path(c, ".redo") + " -d " +
                          data_path(c, ".dict") + " 2>&1 >/dev/null");
    EXPECT_NE(err.find("index-organised table change not supported (rba="), std::string::npos) << c << err;
    EXPECT_NE(err.find("XID: 6.14.2201, table: APP.PARTS, op: 10.30)."), std::string::npos) << c << err;
    EXPECT_NE(err.find("records of captured tables not captured: 1 (index-organised table change not supported: 1)."),
              std::string::npos)
        << c << err;
  }
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
// Records of the hand-made logs and of orasim logs, mutated at random (bytes, length
// array entries, counts in vector headers, truncation) and decoded from exact-size heap
// copies for a bounded time: the decoder must never crash or read past the record (the
// sanitizer build reports any such read), and whatever it still builds must be a
// well-formed change record, column entries included. KS_FUZZ_SECONDS and KS_FUZZ_SEED
// change the run (tests/fuzz.h).

struct Corpus {
  std::string name;
  std::vector<uint8_t> *file = nullptr;
  ks_logf_t log{};
  ks_dict_t dict{};
  uint8_t *block = nullptr;
  std::vector<std::vector<uint8_t>> recs;
  std::vector<std::vector<uint32_t>> arrays;  // per record: offsets of length-array entries
  std::string dict_file;                      // the dictionary file's bytes
};

std::vector<std::vector<uint8_t>> *collected;
void collect(ks_extr_t *ex, int rlen) { collected->emplace_back(ex->b->record, ex->b->record + rlen); }

uint64_t lcrs_built = 0;
int check_lcr(ks_extr_t *, ks_lcr_rh_t *rh, uint64_t, uint64_t, uint32_t) {
  const auto *p = reinterpret_cast<const uint8_t *>(rh);
  uint32_t rlen = ks::load<uint32_t>(p);
  EXPECT_LE(rlen, KS_BUF_LCR_SZ);
  if (rlen > KS_BUF_LCR_SZ) return -1;
  std::vector<uint8_t> img(KS_LCR_TH_SZ);
  img.insert(img.end(), p, p + rlen);
  uint32_t at = 0;
  const char *why = "";
  EXPECT_EQ(ks_trail_check_records(img.data(), static_cast<uint32_t>(img.size()), 1, &at, &why), 0)
      << why << " at " << at;
  if (!(ks_lcr_u32(p, 4) & KS_RH_SHORT) && rlen >= KS_LCR_RH_SZ) {
    EXPECT_EQ(ks_trail_check_row(p, rlen, &at, &why), 0) << why << " at " << at << ", opcode " << ks_lcr_u32(p, 8);
  }
  lcrs_built++;
  return 0;
}

bool load_corpus(Corpus *c, const std::string &redo, const std::string &dict, std::vector<uint8_t> *file) {
  std::string data = kstest::read_file(redo);
  if (data.size() < 1024) return false;
  file->assign(data.begin(), data.end());
  c->file = file;
  c->dict_file = kstest::read_file(dict);
  if (ks_dict_load_block(dict.c_str(), malloc, free, &c->block) != 0) return false;
  ks_dict_attach(c->block, &c->dict);
  uint32_t magic = ks::load_le32(file->data() + ks::redo::KS_REDO_FH0_MAGIC);
  bool big = magic == ks::redo::KS_REDO_MAGIC_BIG_HOST || magic == ks::redo::KS_REDO_MAGIC_BIG_HOST_ALT;
  c->log.flag = big ? KS_LOGF_BIG_ENDIAN : 0;
  c->log.blk_sz = static_cast<int>(ks::load32(file->data() + ks::redo::KS_REDO_FH0_BLOCK_SIZE, big));
  return c->log.blk_sz >= 512 && file->size() >= static_cast<size_t>(c->log.blk_sz) * 2;
}

// Collects the records of the corpus's log (decoding it once) and, per record, the
// offsets of its length-array entries.
void gather(Corpus *c, ks_extr_t *ex, ks_buffer_t *buf) {
  ex->l = &c->log;
  ex->d = &c->dict;
  collected = &c->recs;
  x_record_tap = collect;
  buf->rd_buf = c->file->data();
  ks_rba_t rba{ks::load32(c->file->data() + c->log.blk_sz + ks::redo::KS_REDO_BH_SEQUENCE,
                          (c->log.flag & KS_LOGF_BIG_ENDIAN) != 0),
               0, 0};
  int blocks = static_cast<int>(std::min<size_t>(c->file->size() / c->log.blk_sz, KS_BUF_RD_SZ / c->log.blk_sz));
  ks_do_read_buffer(ex, &rba, blocks);
  x_record_tap = nullptr;
  ASSERT_FALSE(c->recs.empty()) << c->name;
  const bool big = (c->log.flag & KS_LOGF_BIG_ENDIAN) != 0;
  for (auto &r : c->recs) {
    c->arrays.emplace_back();
    int hsz = ks::redo::record_header_size(r[ks::redo::KS_REDO_RH_VLD]);
    for (uint32_t off = static_cast<uint32_t>(hsz); off < r.size();) {
      ks_cv_t cv;
      if (ks_cv_open(&cv, r.data() + off, static_cast<uint32_t>(r.size() - off), c->log.vhsz, big) < 0) break;
      for (int k = 0; k <= cv.nf; k++) c->arrays.back().push_back(off + static_cast<uint32_t>(c->log.vhsz + 2 * k));
      off += cv.size;
    }
  }
}

TEST(RedoFuzz, MutatedRecordsNeverCrashOrBuildMalformedChanges) {
  std::vector<uint8_t> mem(KS_BUF_TOTAL);
  ks_buffer_t buf;
  ks_cut_buffer(&buf, mem.data());
  std::vector<Corpus> corpora(std::size(kCases) + 2);
  std::vector<std::vector<uint8_t>> files(corpora.size());
  size_t n = 0;
  for (const char *c : kCases) {
    corpora[n].name = c;
    ASSERT_TRUE(load_corpus(&corpora[n], data_path(c, ".redo"), data_path(c, ".dict"), &files[n])) << c;
    n++;
  }
  for (const char *opts : {"--version 19", "--version 11 --big-endian --block-size 1024"}) {
    kstest::TempHome src;
    std::string why;
    ASSERT_TRUE(make_orasim_source(
        src, opts, "--txns 30 --seed 5 --concurrency 4 --rollback 20 --savepoint 30 --multi 30 --no-expect", &why))
        << why;
    corpora[n].name = std::string("orasim ") + opts;
    ASSERT_TRUE(
        load_corpus(&corpora[n], src.file("sim/SRC/onlinelog/redo01.log"), src.file("dict/U/C.dict"), &files[n]));
    n++;
  }

  ks_extr_t ex{};
  ex.b = &buf;
  ex.m = &x_miner;
  x_lcr_tap = check_lcr;
  for (Corpus &c : corpora) gather(&c, &ex, &buf);

  kstest::FuzzLoop loop("redo records", 0.4);
  SCOPED_TRACE("seed " + std::to_string(loop.seed()));
  std::mt19937 &rng = loop.rng;
  uint8_t *saved = buf.record;
  // Every rejection logs its reason; a million of them would only slow the loop down.
  const int level = ks_log_inf.log_level;
  ks_log_inf.log_level = KS_LOG_ERROR + 1;
  uint64_t iterations = 0;
  while (loop.more()) {
    for (int batch = 0; batch < 256; batch++) {
      Corpus &c = corpora[rng() % corpora.size()];
      size_t ri = rng() % c.recs.size();
      std::vector<uint8_t> m = c.recs[ri];
      const std::vector<uint32_t> &arr = c.arrays[ri];
      const bool big = (c.log.flag & KS_LOGF_BIG_ENDIAN) != 0;
      int edits = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < edits && !m.empty(); e++) {
        size_t at = rng() % m.size();
        switch (rng() % 6) {
          case 0:
            m[at] = static_cast<uint8_t>(rng());
            break;
          case 1:
            m[at] = 0xFF;
            break;
          case 2:
            m.resize(std::max<size_t>(1, at));
            break;
          case 3:
          case 4:
            if (!arr.empty()) {
              uint32_t p = arr[rng() % arr.size()];
              if (p + 2 > m.size()) break;
              static const uint16_t kinds[] = {0, 1, 2, 0xFFFF, 0x8000, 0x7FFE};
              uint16_t v = rng() % 2 ? kinds[rng() % std::size(kinds)]
                                     : static_cast<uint16_t>(ks::load16(m.data() + p, big) + (rng() % 64) - 32);
              ks::store16(m.data() + p, v, big);
            }
            break;
          default:  // a count or flag byte early in a field
            m[at] = static_cast<uint8_t>(rng() % 2 ? 0xFF : rng() % 64);
            break;
        }
      }
      // Exact-size heap copy: any read past the record is a sanitizer report.
      std::unique_ptr<uint8_t[]> exact(new uint8_t[m.size()]);
      memcpy(exact.get(), m.data(), m.size());
      buf.record = exact.get();
      ex.l = &c.log;
      ex.d = rng() % 8 == 0 ? nullptr : &c.dict;  // now and then as redocat without a dictionary
      int rc = ks_parse_record(&ex, static_cast<int>(m.size()));
      // Taken, passed over, reported as not decoded, or past the end SCN.
      EXPECT_TRUE(rc == 0 || rc == KS_RC_NOT_CAPTURED || rc == -1 || rc == KS_RC_END_SCN)
          << c.name << " record " << ri << " rc " << rc;
      iterations++;
    }
    if (HasFailure()) break;
  }
  ks_log_inf.log_level = level;
  buf.record = saved;
  x_lcr_tap = nullptr;
  for (Corpus &c : corpora) free(c.block);
  EXPECT_GT(iterations, 1000u);
  EXPECT_GT(lcrs_built, 100u) << "the mutations left nothing decodable";
  printf("%llu mutated records decoded, %llu changes built\n", static_cast<unsigned long long>(iterations),
         static_cast<unsigned long long>(lcrs_built));
}

// Damaged dictionaries, as extract and redocat load them: a mutated dictionary file is
// refused, or every record of the log decodes against it without a crash or a read
// outside the block; schemacat reads the same files and fails or prints, never crashes.
TEST(RedoFuzz, MutatedDictionariesAreRefusedOrDecodeSafely) {
  std::vector<uint8_t> mem(KS_BUF_TOTAL);
  ks_buffer_t buf;
  ks_cut_buffer(&buf, mem.data());
  std::vector<Corpus> corpora(std::size(kCases));
  std::vector<std::vector<uint8_t>> files(corpora.size());
  ks_extr_t ex{};
  ex.b = &buf;
  ex.m = &x_miner;
  // Whatever a damaged dictionary lets the decoder build is dropped here: the loop is
  // after crashes and reads outside the block.
  x_lcr_tap = [](ks_extr_t *, ks_lcr_rh_t *, uint64_t, uint64_t, uint32_t) { return 0; };
  for (size_t n = 0; n < corpora.size(); n++) {
    corpora[n].name = kCases[n];
    ASSERT_TRUE(load_corpus(&corpora[n], data_path(kCases[n], ".redo"), data_path(kCases[n], ".dict"), &files[n]));
    gather(&corpora[n], &ex, &buf);
  }
  kstest::TempHome home;
  const std::string path = home.file("fuzz.dict");
  const int level = ks_log_inf.log_level;
  ks_log_inf.log_level = KS_LOG_ERROR + 1;
  uint8_t *saved = buf.record;
  uint64_t loaded = 0, decoded = 0;
  kstest::FuzzLoop loop("dictionary", 0.1);
  SCOPED_TRACE("seed " + std::to_string(loop.seed()));
  while (loop.more() && !HasFailure()) {
    Corpus &c = corpora[loop.below(static_cast<uint32_t>(corpora.size()))];
    std::string d = c.dict_file;
    ks_dict_fhd_t fh;
    std::memcpy(&fh, d.data(), sizeof fh);
    switch (loop.below(4)) {  // the header, the schemas, or the tables and columns
      case 0:
        loop.mutate(d, 0, KS_DICT_FHD_SZ);
        break;
      case 1:
        loop.mutate(d, KS_DICT_SCH_OFS, KS_DICT_SCH_OFS + 40 * fh.nsch);
        break;
      default:
        loop.mutate(d, KS_DICT_TAB_OFS);
        break;
    }
    kstest::write_file(path, d);
    uint8_t *block = nullptr;
    if (ks_dict_load_block(path.c_str(), malloc, free, &block) == 0) {
      loaded++;
      ks_dict_t md;
      ks_dict_attach(block, &md);
      ex.l = &c.log;
      ex.d = &md;
      for (const auto &r : c.recs) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[r.size()]);
        std::memcpy(exact.get(), r.data(), r.size());
        buf.record = exact.get();
        ks_parse_record(&ex, static_cast<int>(r.size()));
        decoded++;
      }
      free(block);
    }
    if (loop.iterations % 16 == 1) {
      std::string rc = kstest::sh(std::string(KS_BIN_DIR) + "/schemacat -f " + path + " >/dev/null 2>&1; echo $?");
      EXPECT_TRUE(rc == "0\n" || rc == "255\n") << "schemacat exit " << rc;
    }
  }
  buf.record = saved;
  x_lcr_tap = nullptr;
  ks_log_inf.log_level = level;
  for (Corpus &c : corpora) free(c.block);
  EXPECT_GT(loaded, 0u);
  printf("%llu dictionaries loaded, %llu records decoded against them\n", static_cast<unsigned long long>(loaded),
         static_cast<unsigned long long>(decoded));
}

}  // namespace
