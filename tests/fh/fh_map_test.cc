#include "fh/fh_map.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "util/xdr.h"

namespace {

using handle = std::array<unsigned char, 32>;

// A handle whose digest part starts with the key, folded big-endian as the
// map reads it (bytes 16..23); index and generation are set as well so that
// fh_recall_probe finds the same entry.
handle with_key(uint64_t key, int32_t idx = 0, uint64_t gen = 1) {
  handle h{};
  be32_put(h.data(), 0x51544831);
  be32_put(h.data() + 4, static_cast<uint32_t>(idx));
  be64_put(h.data() + 8, gen);
  be64_put(h.data() + 16, key);
  for (int i = 24; i < 32; i++) h[i] = static_cast<unsigned char>(0xA0 + i);
  return h;
}

void remember(uint64_t key, const std::string& rel, int32_t idx = 0, uint64_t gen = 1) {
  const handle h = with_key(key, idx, gen);
  fh_remember(idx, gen, h.data() + 16, rel.c_str());
}

// The remembered path, or "<miss>". A hit counts as a use of the entry.
std::string recall(uint64_t key, int32_t idx = 0, uint64_t gen = 1) {
  const handle h = with_key(key, idx, gen);
  char buf[1024];
  return fh_recall(h.data(), idx, gen, buf, sizeof buf) == 0 ? std::string(buf) : "<miss>";
}

// Presence without counting as a use: the stamp lookup probes like recall.
bool present(uint64_t key, int32_t idx = 0, uint64_t gen = 1) { return fh_map_stamp(key, idx, gen) != 0; }

// The slot a key starts probing from in a table of cap slots.
uint64_t home(uint64_t key, uint64_t cap) { return ((key * FH_MAP_HASH_MUL) >> 24) & (cap - 1); }

// Distinct, well spread keys for bulk fills.
uint64_t nth_key(uint64_t n) { return n * 0xD6E8FEB86659FD93ull; }
std::string nth_path(uint64_t n) { return "dir/" + std::to_string(n); }

TEST(FhMap, RoundTripOnFirstUse) {
  const fh_map_stats s0 = fh_map_get_stats();
  EXPECT_EQ(s0.cap, FH_MAP_INITIAL_SLOTS);
  EXPECT_EQ(s0.used, 0u);
  EXPECT_EQ(s0.clock, 0u);

  remember(1, "");  // an export root
  remember(2, "movies/a b/\xC3\xBC.mkv");
  remember(0, "key zero is a valid key");
  EXPECT_EQ(recall(1), "");
  EXPECT_EQ(recall(2), "movies/a b/\xC3\xBC.mkv");
  EXPECT_EQ(recall(0), "key zero is a valid key");
  EXPECT_EQ(recall(3), "<miss>");
  EXPECT_EQ(fh_map_get_stats().used, 3u);

  // The probe variant takes index and generation from the handle itself and
  // ignores the magic.
  remember(7, "probed", 5, 0x0102030405060708ull);
  handle h = with_key(7, 5, 0x0102030405060708ull);
  h[0] = 0;
  char buf[64];
  ASSERT_EQ(fh_recall_probe(h.data(), buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "probed");
  be32_put(h.data() + 4, 6);
  EXPECT_EQ(fh_recall_probe(h.data(), buf, sizeof buf), -1);
}

TEST(FhMap, MissingArgumentsChangeNothing) {
  remember(1, "a");
  const fh_map_stats before = fh_map_get_stats();
  const handle h = with_key(1);
  fh_remember(0, 1, nullptr, "x");
  fh_remember(0, 1, h.data() + 16, nullptr);
  char buf[16];
  EXPECT_EQ(fh_recall(nullptr, 0, 1, buf, sizeof buf), -1);
  EXPECT_EQ(fh_recall(h.data(), 0, 1, nullptr, 16), -1);
  EXPECT_EQ(fh_recall(h.data(), 0, 1, buf, 0), -1);
  EXPECT_EQ(fh_recall(h.data(), 0, 1, buf, -5), -1);
  EXPECT_EQ(fh_recall_probe(nullptr, buf, sizeof buf), -1);
  const fh_map_stats after = fh_map_get_stats();
  EXPECT_EQ(after.used, before.used);
  EXPECT_EQ(after.clock, before.clock);  // none of them counted as a use
  EXPECT_EQ(recall(1), "a");
}

TEST(FhMap, RecallIntoTooSmallBufferMissesButCountsAsUse) {
  remember(10, "abc");
  remember(11, "other");
  const uint64_t s10 = fh_map_stamp(10, 0, 1);
  const uint64_t s11 = fh_map_stamp(11, 0, 1);
  ASSERT_LT(s10, s11);

  const handle h = with_key(10);
  char buf[8] = "zzzzzzz";
  EXPECT_EQ(fh_recall(h.data(), 0, 1, buf, 3), -1);  // no room for the terminator
  EXPECT_EQ(buf[0], 'z');                              // nothing copied
  const uint64_t refreshed = fh_map_stamp(10, 0, 1);
  EXPECT_GT(refreshed, s11);
  EXPECT_EQ(refreshed, fh_map_get_stats().clock);

  ASSERT_EQ(fh_recall(h.data(), 0, 1, buf, 4), 0);
  EXPECT_STREQ(buf, "abc");
  EXPECT_GT(fh_map_stamp(10, 0, 1), refreshed);
}

TEST(FhMap, RefreshKeepsOneEntryPerKeyIndexAndGeneration) {
  remember(42, "old");
  const uint64_t first = fh_map_stamp(42, 0, 1);
  remember(42, "new/path");
  EXPECT_EQ(fh_map_get_stats().used, 1u);
  EXPECT_EQ(recall(42), "new/path");
  EXPECT_GT(fh_map_stamp(42, 0, 1), first);

  // The same digest prefix under another export index or generation is a
  // different entry, and none of them replaces another.
  struct {
    int32_t idx;
    uint64_t gen;
    const char* rel;
  } others[] = {{1, 1, "index one"}, {0, 2, "generation two"}, {-1, 0xFFFFFFFFFFFFFFFFull, "extremes"}};
  for (const auto& o : others) remember(42, o.rel, o.idx, o.gen);
  EXPECT_EQ(fh_map_get_stats().used, 4u);
  EXPECT_EQ(recall(42), "new/path");
  for (const auto& o : others) EXPECT_EQ(recall(42, o.idx, o.gen), o.rel);
}

TEST(FhMap, GrowsUpToItsSlotLimitKeepingEveryEntry) {
  // The table doubles on the first insert that brings it to 70 % load, and
  // never grows beyond 1,048,576 slots, however many entries come after the
  // entry cap.
  const uint64_t doubles_at[] = {45876, 91751, 183501, 367002};
  std::vector<uint64_t> seen;
  uint64_t cap = fh_map_get_stats().cap;
  ASSERT_EQ(cap, FH_MAP_INITIAL_SLOTS);
  for (uint64_t n = 1; n <= FH_MAP_MAX_ENTRIES + 400000; n++) {
    remember(nth_key(n), nth_path(n));
    const fh_map_stats s = fh_map_get_stats();
    if (s.cap == cap) continue;
    ASSERT_EQ(s.cap, cap * 2) << "after insert " << n;
    cap = s.cap;
    seen.push_back(n);
    for (uint64_t k = 1; k <= n; k++) ASSERT_EQ(recall(nth_key(k)), nth_path(k)) << "cap " << cap;
  }
  EXPECT_EQ(seen, std::vector<uint64_t>(std::begin(doubles_at), std::end(doubles_at)));
  const fh_map_stats s = fh_map_get_stats();
  EXPECT_EQ(s.cap, 1048576u);
  EXPECT_EQ(s.cap, FH_MAP_MAX_SLOTS);
  EXPECT_EQ(s.used, FH_MAP_MAX_ENTRIES);
  EXPECT_LT(s.used * 10, s.cap * 7);
}

TEST(FhMap, EvictsExactlyTheLeastRecentlyUsedAtTheCap) {
  const uint64_t N = FH_MAP_MAX_ENTRIES;
  for (uint64_t n = 1; n <= N; n++) remember(nth_key(n), nth_path(n));
  ASSERT_EQ(fh_map_get_stats().used, N);
  EXPECT_LT(fh_map_stamp(nth_key(1), 0, 1), fh_map_stamp(nth_key(N), 0, 1));

  // Entry 1 is used by a hit and entry 3 by a refused recall; entry 2 is
  // now the oldest and goes first.
  EXPECT_EQ(recall(nth_key(1)), nth_path(1));
  const handle h3 = with_key(nth_key(3));
  char tiny[2];
  EXPECT_EQ(fh_recall(h3.data(), 0, 1, tiny, sizeof tiny), -1);
  remember(nth_key(N + 1), nth_path(N + 1));
  EXPECT_EQ(fh_map_get_stats().used, N);
  EXPECT_FALSE(present(nth_key(2)));
  for (uint64_t k : {1, 3, 4}) EXPECT_TRUE(present(nth_key(k))) << k;

  // At the cap even a refresh makes room first: entry 4 goes, entry 5 is
  // refreshed, and the count drops by one.
  remember(nth_key(5), "refreshed");
  EXPECT_EQ(fh_map_get_stats().used, N - 1);
  EXPECT_FALSE(present(nth_key(4)));
  EXPECT_TRUE(present(nth_key(5)));

  // Below the cap a new entry evicts nothing; at the cap each one evicts the
  // next oldest, skipping the entries that were used meanwhile.
  remember(nth_key(N + 2), nth_path(N + 2));
  EXPECT_EQ(fh_map_get_stats().used, N);
  EXPECT_TRUE(present(nth_key(6)));
  for (uint64_t victim = 6; victim < 16; victim++) {
    remember(nth_key(N + victim), nth_path(N + victim));
    EXPECT_FALSE(present(nth_key(victim))) << victim;
    EXPECT_TRUE(present(nth_key(victim + 1))) << victim;
    EXPECT_EQ(fh_map_get_stats().used, N);
  }
  EXPECT_EQ(recall(nth_key(1)), nth_path(1));
  EXPECT_EQ(recall(nth_key(3)), nth_path(3));
  EXPECT_EQ(recall(nth_key(5)), "refreshed");
  EXPECT_EQ(fh_map_get_stats().cap, FH_MAP_MAX_SLOTS);
}

// Keys whose probes start at the wanted slots of the largest table, found by
// a bounded search: one key per entry of `homes`, in order, all different.
std::vector<uint64_t> keys_with_homes(const std::vector<uint64_t>& homes) {
  std::vector<uint64_t> keys(homes.size(), 0);
  size_t found = 0;
  for (uint64_t k = 1; k < (1ull << 30) && found < homes.size(); k++) {
    const uint64_t h = home(k, FH_MAP_MAX_SLOTS);
    for (size_t i = 0; i < homes.size(); i++) {
      if (keys[i] == 0 && homes[i] == h) {
        keys[i] = k;
        found++;
        break;
      }
    }
  }
  return found == homes.size() ? keys : std::vector<uint64_t>{};
}

TEST(FhMap, EvictionShiftsCollidingEntriesBackAndKeepsThemReachable) {
  const uint64_t cap = FH_MAP_MAX_SLOTS;
  // A run starting at h: three entries from h, one from h+1 (placed behind
  // them), one more from h, and one from h+5 that sits in its own slot right
  // after the run and must not be moved before it. The second case wraps
  // around the end of the table.
  for (const uint64_t h : {uint64_t{1000}, cap - 2}) {
    SCOPED_TRACE(h);
    fh_forget_all();
    const auto at = [&](uint64_t d) { return (h + d) & (cap - 1); };
    const std::vector<uint64_t> crafted = keys_with_homes({at(0), at(0), at(0), at(1), at(0), at(5)});
    ASSERT_EQ(crafted.size(), 6u);
    // The crafted entries are the oldest; the fillers keep clear of their
    // neighbourhood so the run is exactly as described.
    for (size_t i = 0; i < crafted.size(); i++) remember(crafted[i], "crafted/" + std::to_string(i));
    uint64_t n = 0;
    const auto next_filler = [&] {
      for (;;) {
        const uint64_t k = nth_key(++n);
        if (((home(k, cap) - h + 64) & (cap - 1)) > 128) return k;
      }
    };
    while (fh_map_get_stats().used < FH_MAP_MAX_ENTRIES) remember(next_filler(), "filler");
    ASSERT_EQ(fh_map_get_stats().cap, cap);
    for (uint64_t k : crafted) ASSERT_TRUE(present(k));

    // Each new entry evicts the oldest crafted one; the rest stay reachable
    // from their home slots. Evicting the third leaves the h+1 entry in place
    // and moves the last h entry past it.
    for (size_t v = 0; v < 3; v++) {
      remember(next_filler(), "filler");
      EXPECT_FALSE(present(crafted[v])) << v;
      for (size_t i = v + 1; i < crafted.size(); i++) EXPECT_TRUE(present(crafted[i])) << v << " " << i;
    }
    for (size_t i = 3; i < crafted.size(); i++) EXPECT_EQ(recall(crafted[i]), "crafted/" + std::to_string(i));
    EXPECT_EQ(fh_map_get_stats().used, FH_MAP_MAX_ENTRIES);
  }
}

TEST(FhMap, ForgetAllEmptiesEverySlotAndKeepsTheCapacity) {
  for (uint64_t n = 1; n <= 50000; n++) remember(nth_key(n), nth_path(n));
  const fh_map_stats before = fh_map_get_stats();
  ASSERT_EQ(before.cap, 2 * FH_MAP_INITIAL_SLOTS);
  fh_forget_all();
  const fh_map_stats after = fh_map_get_stats();
  EXPECT_EQ(after.used, 0u);
  EXPECT_EQ(after.cap, before.cap);
  EXPECT_EQ(after.clock, before.clock);
  for (uint64_t n = 1; n <= 50000; n++) ASSERT_EQ(recall(nth_key(n)), "<miss>") << n;

  // The emptied map works as before, including the recency order.
  remember(nth_key(1), "again");
  remember(nth_key(2), "two");
  EXPECT_EQ(recall(nth_key(1)), "again");
  EXPECT_GT(fh_map_stamp(nth_key(1), 0, 1), after.clock);
  EXPECT_EQ(fh_map_get_stats().used, 2u);
}

TEST(FhMap, ConcurrentFirstUseAndInserts) {
  // Threads that arrive together initialise the map once and lose nothing.
  constexpr int kThreads = 4;
  constexpr uint64_t kPerThread = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t] {
      for (uint64_t i = 0; i < kPerThread; i++) {
        const uint64_t n = t * kPerThread + i + 1;
        remember(nth_key(n), nth_path(n));
        if (recall(nth_key(n)) != nth_path(n)) return;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(fh_map_get_stats().used, kThreads * kPerThread);
  for (uint64_t n = 1; n <= kThreads * kPerThread; n++) ASSERT_EQ(recall(nth_key(n)), nth_path(n)) << n;
}

}  // namespace
