// The handle path map: cost of remembering a new path while the map is below
// its entry cap and once it is full (each insert evicts the least recently
// used entry), and of a recall hit in a full map.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "fh/fh_map.h"
#include "util/xdr.h"

namespace {

// Distinct, well spread keys; a benchmark never reuses one.
uint64_t s_next = 1;
uint64_t next_key() { return s_next++ * 0xD6E8FEB86659FD93ull; }

void remember_key(uint64_t key) {
  unsigned char digest[16] = {};
  be64_put(digest, key);
  fh_remember(0, 1, digest, "movies/some folder/some file.mkv");
}

// Fills the map up to its entry cap; returns the first key of the fill.
uint64_t fill_to_cap() {
  const uint64_t first = s_next;
  while (fh_map_get_stats().used < FH_MAP_MAX_ENTRIES) remember_key(next_key());
  return first;
}

// New entries into a map kept between 100 000 and 400 000 entries: below
// the cap and at the largest table size, so no insert evicts and none pays
// for growth. Refilling is left out of the timing.
void BM_RememberBelowCap(benchmark::State& state) {
  constexpr int kBase = 100000;
  constexpr int kSpan = 300000;
  fh_forget_all();
  for (int i = 0; i < 800000; i++) remember_key(next_key());  // grow the table once
  int left = 0;
  for (auto _ : state) {
    if (left == 0) {
      state.PauseTiming();
      fh_forget_all();
      for (int i = 0; i < kBase; i++) remember_key(next_key());
      left = kSpan;
      state.ResumeTiming();
    }
    remember_key(next_key());
    left--;
  }
  state.counters["cap"] = static_cast<double>(fh_map_get_stats().cap);
}
BENCHMARK(BM_RememberBelowCap)->Iterations(2000000);

// New entries into a full map: each one evicts the oldest entry first.
void BM_RememberAtCap(benchmark::State& state) {
  fh_forget_all();
  fill_to_cap();
  for (auto _ : state) remember_key(next_key());
  state.counters["used"] = static_cast<double>(fh_map_get_stats().used);
}
BENCHMARK(BM_RememberAtCap)->Iterations(2000000);

// Recall hits spread over a full map.
void BM_RecallHitAtCap(benchmark::State& state) {
  fh_forget_all();
  const uint64_t first = fill_to_cap();
  unsigned char fh[32] = {};
  char rel[1024];
  uint64_t n = 0;
  for (auto _ : state) {
    be64_put(fh + 16, (first + n) * 0xD6E8FEB86659FD93ull);
    n = (n + 7919) % FH_MAP_MAX_ENTRIES;
    benchmark::DoNotOptimize(fh_recall(fh, 0, 1, rel, sizeof rel));
  }
}
BENCHMARK(BM_RecallHitAtCap)->Iterations(2000000);

}  // namespace
