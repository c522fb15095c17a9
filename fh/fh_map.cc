// Open addressing with linear probing, deletion by backward shifting (no
// tombstones, no probe chain ever broken), and a doubly linked recency list
// threaded through the slots so that the least recently used entry is found
// and evicted in constant time.
#include "fh/fh_map.h"

#include <cstdlib>
#include <cstring>

#include "plat/plat.h"
#include "util/xdr.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

struct fh_map_entry {
  uint64_t key;
  uint64_t gen;
  char* rel;  // owned; null marks an empty slot
  uint64_t stamp;
  int32_t export_idx;
  uint32_t prev;  // recency list: toward older entries
  uint32_t next;  // toward newer entries
};

struct fh_map {
  fh_map_entry* slots = nullptr;
  uint64_t cap = 0;
  uint64_t used = 0;
  uint64_t clock = 0;
  uint32_t oldest = kNone;
  uint32_t newest = kNone;
};

fh_map G_MAP;

uint64_t slot_hash(uint64_t key, uint64_t cap) { return ((key * FH_MAP_HASH_MUL) >> 24) & (cap - 1); }

uint64_t key_of(const unsigned char* digest) { return be64_get(digest); }

fh_map_entry* alloc_slots(uint64_t n) {
  return static_cast<fh_map_entry*>(calloc(n, sizeof(fh_map_entry)));
}

// The map's lock, made on first use.
plat_mutex* map_lock() {
  static plat_static_mutex m;
  return m.get();
}

// Allocates the table on first use; false when that fails (the next call
// tries again). Called with the lock held.
bool map_ready() {
  if (G_MAP.slots != nullptr) return true;
  fh_map_entry* s = alloc_slots(FH_MAP_INITIAL_SLOTS);
  if (s == nullptr) return false;
  G_MAP.slots = s;
  G_MAP.cap = FH_MAP_INITIAL_SLOTS;
  return true;
}

void list_unlink(uint32_t i) {
  fh_map_entry& e = G_MAP.slots[i];
  if (e.prev != kNone) G_MAP.slots[e.prev].next = e.next; else G_MAP.oldest = e.next;
  if (e.next != kNone) G_MAP.slots[e.next].prev = e.prev; else G_MAP.newest = e.prev;
  e.prev = e.next = kNone;
}

void list_append(uint32_t i) {
  fh_map_entry& e = G_MAP.slots[i];
  e.prev = G_MAP.newest;
  e.next = kNone;
  if (G_MAP.newest != kNone) G_MAP.slots[G_MAP.newest].next = i; else G_MAP.oldest = i;
  G_MAP.newest = i;
}

// Marks the entry as just used.
void touch(uint32_t i) {
  G_MAP.slots[i].stamp = ++G_MAP.clock;
  if (G_MAP.newest != i) {
    list_unlink(i);
    list_append(i);
  }
}

// Moves the entry at `from` into the empty slot `to`, keeping its list links.
void move_entry(uint32_t from, uint32_t to) {
  fh_map_entry& e = G_MAP.slots[from];
  G_MAP.slots[to] = e;
  if (e.prev != kNone) G_MAP.slots[e.prev].next = to; else G_MAP.oldest = to;
  if (e.next != kNone) G_MAP.slots[e.next].prev = to; else G_MAP.newest = to;
  memset(&e, 0, sizeof e);
}

// Removes the entry at slot i and shifts later members of its probe run back
// so that every remaining entry is still reachable from its hash.
void remove_at(uint32_t i) {
  const uint64_t mask = G_MAP.cap - 1;
  list_unlink(i);
  free(G_MAP.slots[i].rel);
  memset(&G_MAP.slots[i], 0, sizeof(fh_map_entry));
  G_MAP.used--;
  uint64_t hole = i;
  uint64_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    fh_map_entry& e = G_MAP.slots[j];
    if (e.rel == nullptr) return;
    const uint64_t home = slot_hash(e.key, G_MAP.cap);
    // The entry may move into the hole unless its home lies cyclically in
    // (hole, j]: then the hole is before its home and it must stay.
    const bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (stays) continue;
    move_entry(static_cast<uint32_t>(j), static_cast<uint32_t>(hole));
    hole = j;
  }
}

// Places an entry into a table (no duplicate check); returns its slot.
uint32_t place(fh_map_entry* slots, uint64_t cap, const fh_map_entry& e) {
  uint64_t i = slot_hash(e.key, cap);
  while (slots[i].rel != nullptr) i = (i + 1) & (cap - 1);
  slots[i] = e;
  return static_cast<uint32_t>(i);
}

// Doubles the table, re-inserting the entries from oldest to newest so that
// the recency list keeps its order. A failed allocation keeps the old table.
void grow() {
  const uint64_t ncap = G_MAP.cap * 2;
  fh_map_entry* ns = alloc_slots(ncap);
  if (ns == nullptr) return;
  uint32_t prev = kNone, first = kNone;
  for (uint32_t i = G_MAP.oldest; i != kNone;) {
    fh_map_entry e = G_MAP.slots[i];
    const uint32_t old_next = e.next;
    e.prev = prev;
    e.next = kNone;
    const uint32_t at = place(ns, ncap, e);
    if (prev != kNone) ns[prev].next = at; else first = at;
    prev = at;
    i = old_next;
  }
  free(G_MAP.slots);
  G_MAP.slots = ns;
  G_MAP.cap = ncap;
  G_MAP.oldest = first;
  G_MAP.newest = prev;
}

// Finds the slot of (key, index, generation), or kNone.
uint32_t find(uint64_t key, int32_t idx, uint64_t gen) {
  const uint64_t mask = G_MAP.cap - 1;
  const uint64_t start = slot_hash(key, G_MAP.cap);
  uint64_t i = start;
  do {
    const fh_map_entry& e = G_MAP.slots[i];
    if (e.rel == nullptr) return kNone;
    if (e.key == key && e.export_idx == idx && e.gen == gen) return static_cast<uint32_t>(i);
    i = (i + 1) & mask;
  } while (i != start);
  return kNone;
}

}  // namespace

void fh_remember(int32_t export_idx, uint64_t gen, const unsigned char* digest, const char* rel) {
  if (digest == nullptr || rel == nullptr) return;
  const uint64_t key = key_of(digest);
  {
    // A handle given out again for the same path (a folder listed once
    // more) is only marked used: nothing to copy.
    plat_guard g(map_lock());
    if (!map_ready()) return;
    const uint32_t hit = find(key, export_idx, gen);
    if (hit != kNone && strcmp(G_MAP.slots[hit].rel, rel) == 0) {
      touch(hit);
      return;
    }
  }
  char* copy = x_strdup(rel);
  if (copy == nullptr) return;
  plat_guard g(map_lock());
  if (!map_ready()) {
    free(copy);
    return;
  }
  if (G_MAP.used >= FH_MAP_MAX_ENTRIES && G_MAP.oldest != kNone) remove_at(G_MAP.oldest);
  const uint32_t hit = find(key, export_idx, gen);
  if (hit != kNone) {
    free(G_MAP.slots[hit].rel);
    G_MAP.slots[hit].rel = copy;
    touch(hit);
    return;
  }
  if (G_MAP.used >= G_MAP.cap) {
    free(copy);
    return;
  }
  fh_map_entry e{};
  e.key = key;
  e.gen = gen;
  e.rel = copy;
  e.export_idx = export_idx;
  e.stamp = ++G_MAP.clock;
  const uint32_t at = place(G_MAP.slots, G_MAP.cap, e);
  list_append(at);
  G_MAP.used++;
  if (G_MAP.used * 10 >= G_MAP.cap * 7 && G_MAP.cap < FH_MAP_MAX_SLOTS) grow();
}

int fh_recall(const unsigned char* fh, int32_t export_idx, uint64_t gen, char* dst, int32_t cap) {
  if (fh == nullptr || dst == nullptr || cap <= 0) return -1;
  const uint64_t key = key_of(fh + 16);
  plat_guard g(map_lock());
  if (!map_ready()) return -1;
  const uint32_t i = find(key, export_idx, gen);
  if (i == kNone) return -1;
  touch(i);
  const char* rel = G_MAP.slots[i].rel;
  const size_t n = strlen(rel);
  if (n >= static_cast<size_t>(cap)) return -1;
  memcpy(dst, rel, n + 1);
  return 0;
}

int fh_recall_probe(const unsigned char* fh, char* dst, int32_t cap) {
  if (fh == nullptr) return -1;
  return fh_recall(fh, static_cast<int32_t>(be32_get(fh + 4)), be64_get(fh + 8), dst, cap);
}

void fh_forget_all() {
  plat_guard g(map_lock());
  if (!map_ready()) return;
  for (uint64_t i = 0; i < G_MAP.cap; i++) {
    free(G_MAP.slots[i].rel);
    memset(&G_MAP.slots[i], 0, sizeof(fh_map_entry));
  }
  G_MAP.used = 0;
  G_MAP.oldest = G_MAP.newest = kNone;
}

fh_map_stats fh_map_get_stats() {
  plat_guard g(map_lock());
  map_ready();
  return {G_MAP.cap, G_MAP.used, G_MAP.clock};
}

uint64_t fh_map_stamp(uint64_t key, int32_t export_idx, uint64_t gen) {
  plat_guard g(map_lock());
  if (!map_ready()) return 0;
  const uint32_t i = find(key, export_idx, gen);
  return i == kNone ? 0 : G_MAP.slots[i].stamp;
}
