// The time-bounded, seeded mutation loops over the files and records the readers take.
// KS_FUZZ_SECONDS is the time of all loops together (30 s by default), each loop taking
// its share of it; KS_FUZZ_SEED changes the seed of every loop. Each loop prints its
// seed, so a failure seen in CI can be run again as it ran there.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "lib/bytes.h"

namespace kstest {

class FuzzLoop {
 public:
  FuzzLoop(const char *name, double share)
      : seed_(getenv("KS_FUZZ_SEED") ? static_cast<unsigned>(atoi(getenv("KS_FUZZ_SEED"))) : 20261208u),
        seconds_(share * (getenv("KS_FUZZ_SECONDS") ? atof(getenv("KS_FUZZ_SECONDS")) : 30.0)),
        name_(name),
        rng(seed_) {
    printf("fuzz %s: seed %u, %.1f s\n", name, seed_, seconds_);
    fflush(stdout);
  }
  ~FuzzLoop() { printf("fuzz %s: %llu iterations\n", name_, static_cast<unsigned long long>(iterations)); }
  FuzzLoop(const FuzzLoop &) = delete;
  FuzzLoop &operator=(const FuzzLoop &) = delete;

  // True while the loop's time lasts; counts the iterations.
  bool more() {
    if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count() >= seconds_) return false;
    iterations++;
    return true;
  }
  unsigned seed() const { return seed_; }
  uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng() % n); }

  // One to four edits inside [from, to) of b (to clipped to its size): a random byte, a
  // 32-bit field (at a multiple of 4 from `from`) set to a boundary or a nearby value,
  // or, with cut, the bytes cut from there.
  void mutate(std::string &b, size_t from, size_t to = SIZE_MAX, bool cut = true) {
    static const uint32_t kEdge[] = {0, 1, 2, 31, 32, 0x7F, 0xFF, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    int edits = 1 + static_cast<int>(below(4));
    for (int e = 0; e < edits; e++) {
      size_t end = to < b.size() ? to : b.size();
      if (end <= from) return;
      size_t at = from + below(static_cast<uint32_t>(end - from));
      switch (below(8)) {
        case 0:
        case 1:
          b[at] = static_cast<char>(rng());
          break;
        case 2:
          if (cut && below(4) == 0) b.resize(at);
          break;
        default: {
          at = from + (at - from) / 4 * 4;
          if (at + 4 > b.size()) break;
          uint32_t v = below(2) ? kEdge[below(sizeof kEdge / sizeof kEdge[0])]
                                : ks::load<uint32_t>(b.data() + at) + below(64) - 32;
          ks::store<uint32_t>(b.data() + at, v);
          break;
        }
      }
    }
  }

  uint64_t iterations = 0;

 private:
  unsigned seed_;
  double seconds_;
  const char *name_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

 public:
  std::mt19937 rng;
};

}  // namespace kstest
