// Reading and walking redo logs, records checked but not decoded, against the speed of
// merely copying the same files to /dev/null with cat; both from the page cache. The same
// logs are then read and walked through the reader agent kesfeed on 127.0.0.1, as a
// capture on another host reads them (when kesfeed is built beside this program).
// Usage: bench_redo_walk [total MiB (1024)] [log MiB (128)] [block size (512)]
// Writes its logs under $TMPDIR, prints one table, removes the logs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "extract/extract.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_checksum.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"
#include "tests/agent_env.h"

namespace {

uint64_t g_records = 0;
uint64_t g_bytes = 0;

}  // namespace

// The record check that stands for decoding here: the header must be whole and agree with
// the length the walk found.
int ks_parse_record(ks_extr_t *ex, int rlen) {
  const uint8_t *r = ex->b->record;
  bool big = (ex->l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  if (rlen < 24 || ks::load32(r, big) != static_cast<uint32_t>(rlen)) return -1;
  g_records++;
  g_bytes += static_cast<uint64_t>(rlen);
  return 0;
}

namespace {

// A completed log of `blocks` blocks with records of 24..2048 bytes (some spanning
// blocks) in the layout the walk reads, every block with its checksum.
void write_log(const std::string &path, uint32_t seq, int blocks, int bs, std::mt19937 &rng) {
  std::vector<uint8_t> f(static_cast<size_t>(blocks) * bs, 0);
  ks::store_le32(&f[20], bs);
  uint8_t *b1 = &f[bs];
  ks::store_le32(b1 + ks::redo::KS_REDO_FH1_VERSION, 0x13000000);
  ks::store_le32(b1 + ks::redo::KS_REDO_FH1_FILE_BLOCKS, blocks - 1);
  ks::store_le32(b1 + ks::redo::KS_REDO_FH1_BLOCK_SIZE, bs);
  ks::store_le32(b1 + ks::redo::KS_REDO_FH1_NEXT_BLOCK, blocks);
  std::uniform_int_distribution<int> len(24, 2048);
  int blk = 2;
  int off = 16;
  std::vector<int> first(blocks, 0);
  while (blk < blocks) {
    if (bs - off < ks::redo::KS_REDO_MIN_RECORD_ROOM) {
      blk++;
      off = 16;
      continue;
    }
    int rlen = len(rng);
    // Does the record fit in the log?
    int room = (bs - off) + (blocks - blk - 1) * (bs - 16);
    if (rlen > room) break;
    if (first[blk] == 0) first[blk] = off;
    uint8_t hdr[24] = {};
    ks::store_le32(hdr, rlen);
    hdr[4] = 1;
    int left = rlen;
    int src = 0;
    while (left > 0) {
      int take = std::min(left, bs - off);
      for (int i = 0; i < take; i++) f[static_cast<size_t>(blk) * bs + off + i] = src + i < 24 ? hdr[src + i] : 0x5A;
      left -= take;
      src += take;
      off += take;
      if (off == bs) {
        blk++;
        off = 16;
      }
    }
  }
  for (int b = 1; b < blocks; b++) {
    uint8_t *h = &f[static_cast<size_t>(b) * bs];
    ks::store_le32(h + ks::redo::KS_REDO_BH_BLOCK_NO, b);
    ks::store_le32(h + ks::redo::KS_REDO_BH_SEQUENCE, seq);
    ks::store_le16(h + ks::redo::KS_REDO_BH_FIRST_RECORD, static_cast<uint16_t>(0x8000 | first[b]));
  }
  // Checksums set, as a database writes them, so that the walk verifies every block.
  for (int b = 0; b < blocks; b++)
    ks::redo::set_block_checksum(&f[static_cast<size_t>(b) * bs], static_cast<size_t>(bs));
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, f.data(), f.size()) != static_cast<ssize_t>(f.size())) {
    perror(path.c_str());
    exit(1);
  }
  close(fd);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Reads and walks every log with the capture's own open and read (local files, or through
// the agent when the reader is remote); false on a failure.
bool walk_logs(ks_extr_t *ex, const std::vector<std::string> &logs, int blocks, int bs) {
  for (size_t i = 0; i < logs.size(); i++) {
    snprintf(ex->l->name, sizeof ex->l->name, "%s", logs[i].c_str());
    if (ks_open_redo_file(ex) < 0) return false;
    ex->l->flag = KS_LOGF_ARCHIVED;
    ex->l->blk_sz = bs;
    ex->l->blks = blocks;
    ks_rba_t rba = {static_cast<uint32_t>(100 + i), 0, 0};
    while (static_cast<int>(rba.blk) < ex->l->blks) {
      int n = ks_read_redo_file(ex, static_cast<int>(rba.blk), -1);
      if (n <= 0 || ks_do_read_buffer(ex, &rba, n / bs) < 0) {
        fprintf(stderr, "walk failed in %s at block %u\n", logs[i].c_str(), rba.blk);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int total_mib = argc > 1 ? atoi(argv[1]) : 1024;
  int log_mib = argc > 2 ? atoi(argv[2]) : 128;
  int bs = argc > 3 ? atoi(argv[3]) : 512;
  if (total_mib <= 0 || log_mib <= 0 || (bs != 512 && bs != 1024 && bs != 4096)) {
    fprintf(stderr, "usage: %s [total MiB] [log MiB] [block size 512|1024|4096]\n", argv[0]);
    return 1;
  }
  ks_log_inf.log_level = KS_LOG_ERROR;
  std::string dir = (std::filesystem::temp_directory_path() / ("ks_walk_bench." + std::to_string(getpid()))).string();
  std::filesystem::create_directories(dir);
  int nlogs = (total_mib + log_mib - 1) / log_mib;
  int blocks = static_cast<int>((static_cast<int64_t>(log_mib) << 20) / bs);
  std::mt19937 rng(7);
  std::vector<std::string> logs;
  for (int i = 0; i < nlogs; i++) {
    logs.push_back(dir + "/log_" + std::to_string(100 + i) + ".redo");
    write_log(logs.back(), static_cast<uint32_t>(100 + i), blocks, bs, rng);
  }
  double mb = static_cast<double>(nlogs) * blocks * bs / 1e6;

  // Warm the page cache, then time cat.
  std::string cat = "cat";
  for (auto &l : logs) cat += " " + l;
  cat += " > /dev/null";
  if (system(cat.c_str()) != 0) return 1;
  auto t0 = std::chrono::steady_clock::now();
  if (system(cat.c_str()) != 0) return 1;
  double t_cat = seconds_since(t0);

  auto mem = std::make_unique<uint8_t[]>(KS_BUF_TOTAL);
  ks_buffer_t buf;
  ks_cut_buffer(&buf, mem.get());
  ks_reader_t rdr{};
  ks_logf_t lf{};
  ks_extr_t ex{};
  ex.r = &rdr;
  ex.b = &buf;
  ex.l = &lf;
  rdr.lfd = -1;
  rdr.asd = -1;
  t0 = std::chrono::steady_clock::now();
  if (!walk_logs(&ex, logs, blocks, bs)) return 1;
  double t_walk = seconds_since(t0);
  ks_close_reader(&ex);
  const uint64_t records = g_records, record_bytes = g_bytes;

  // The same through the agent: one connection, requests of up to 2 MiB answered in turn.
  double t_remote = 0;
  {
    const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "kesfeed";
    kstest::FeedAgent agent(bin.string(), dir + "/feed", dir);
    x_net_tmout = 10;
    if (agent.connect_reader(&rdr)) {
      t0 = std::chrono::steady_clock::now();
      if (!walk_logs(&ex, logs, blocks, bs)) return 1;
      t_remote = seconds_since(t0);
      ks_close_reader(&ex);
    }
  }
  std::filesystem::remove_all(dir);

  printf("redo read+walk, %d logs of %d MiB, %d-byte blocks, %llu records (%.1f MB of records)\n", nlogs, log_mib, bs,
         static_cast<unsigned long long>(records), record_bytes / 1e6);
  printf("%-22s %10s %10s\n", "", "seconds", "MB/s");
  printf("%-22s %10.3f %10.0f\n", "cat > /dev/null", t_cat, mb / t_cat);
  printf("%-22s %10.3f %10.0f\n", "read + walk", t_walk, mb / t_walk);
  printf("ratio walk/cat: %.2f\n", t_cat / t_walk);
  if (t_remote > 0) {
    printf("%-22s %10.3f %10.0f\n", "read + walk, kesfeed", t_remote, mb / t_remote);
    printf("ratio kesfeed/local: %.2f\n", t_walk / t_remote);
  }
  return 0;
}
