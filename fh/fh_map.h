// The handle path map: a process-wide, bounded, open-addressing hash table
// from (first eight digest bytes, export index, generation) to an owned copy
// of the relative path. Thread-safe: one lock guards everything, and it is
// the innermost lock of the server (no other lock is taken while it is held).
// Least recently used entries (by insert, refresh or hit) are evicted at the
// entry cap in constant time.
#pragma once

#include <cstdint>

constexpr uint64_t FH_MAP_INITIAL_SLOTS = 65536;
// The table doubles on the insert that makes it 70 % full, and never beyond
// this many slots (48 MiB of them).
constexpr uint64_t FH_MAP_MAX_SLOTS = 0x100000;
// The entry cap keeps the largest table at the load at which the smaller
// ones grow, so that probes stay short there too.
constexpr uint64_t FH_MAP_MAX_ENTRIES = FH_MAP_MAX_SLOTS * 7 / 10;
constexpr uint64_t FH_MAP_HASH_MUL = 0x9E3779B97F4A7C15ull;

// Inserts or refreshes. digest points at handle bytes 16 onward. Missing
// arguments, or memory that runs out, make the call do nothing.
void fh_remember(int32_t export_idx, uint64_t gen, const unsigned char* digest, const char* rel);
// Copies the path remembered for the handle (key from bytes 16..23) into dst
// with its terminator and returns 0; -1 on a miss, for missing arguments, or
// when cap is too small (a hit still counts as a use then).
int fh_recall(const unsigned char* fh, int32_t export_idx, uint64_t gen, char* dst, int32_t cap);
// fh_recall with the index and generation read from the handle itself.
int fh_recall_probe(const unsigned char* fh, char* dst, int32_t cap);
// Empties every slot; the capacity stays.
void fh_forget_all();

// Figures for tests and benchmarks.
struct fh_map_stats {
  uint64_t cap;
  uint64_t used;
  uint64_t clock;
};
fh_map_stats fh_map_get_stats();
// The stamp of the entry for (key, index, generation), or 0 when absent.
uint64_t fh_map_stamp(uint64_t key, int32_t export_idx, uint64_t gen);
