// The export table: 64 slots of exports, each a local folder or single file
// published under an export path, with an allow list of networks of either
// family (an empty list admits this machine: every address of this host).
// One re-entrant lock guards the table; readers that need a record after
// releasing it take a snapshot (a copy of export_rec, whose texts are shared
// and so stay alive after a concurrent removal).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "plat/plat.h"

constexpr int MAX_EXPORTS = 64;
constexpr int MAX_CIDRS = 32;
constexpr size_t EXPORT_PATH_MAX = 1024;  // buffer size, terminator included

// One network of an allow list over the 16 bytes of plat_addr, as two
// words each: an address is in it when (address & mask) == net. An IPv4
// network a.b.c.d/n is ::ffff:a.b.c.d/(96+n), so it admits the same clients
// arriving as IPv4-mapped addresses; "*" is the network of every address.
struct export_net {
  uint64_t net[2];
  uint64_t mask[2];
};

// The network's text: "a.b.c.d/n", an IPv6 "x::/n", or "*". out holds
// PLAT_ADDR_TEXT + 5 bytes.
void export_net_text(const export_net& n, char* out);

struct export_rec {
  char path[EXPORT_PATH_MAX];
  std::shared_ptr<const std::string> local;        // canonical host path; null when removed
  std::shared_ptr<const std::string> allow_cidrs;  // as given; null when removed
  export_net nets[MAX_CIDRS];
  int32_t ncidrs;
  int32_t is_file;
  uint64_t fsid;
  uint64_t gen;
  int32_t removed;
};

// The local path text of a record ("" when it has none).
inline const char* export_local(const export_rec& e) { return e.local ? e.local->c_str() : ""; }

// Takes the lock and returns the first slot; *count receives the number of
// slots in use (removed ones included). Pair each call with exports_unlock;
// exports_locked does both for a scope.
export_rec* exports_lock_get(int32_t* count);
void exports_unlock();

// Holds the table's lock for the life of a scope (the lock is re-entrant):
// recs is the first slot, count the number of slots in use, removed ones
// included.
struct exports_locked {
  int32_t count = 0;
  export_rec* recs = exports_lock_get(&count);
  exports_locked() = default;
  ~exports_locked() { exports_unlock(); }
  exports_locked(const exports_locked&) = delete;
  exports_locked& operator=(const exports_locked&) = delete;
};
// The lowest live slot whose path equals the text, or -1 (takes the lock).
int exports_find(const char* path);
// 1 when the record admits the address (an IPv4 one as a number, first
// octet most significant); the caller holds the lock.
int exports_allows(const export_rec* e, const plat_addr& addr);
int exports_allows(const export_rec* e, uint32_t addr);
// 1 when the live export at slot idx with generation gen admits the address,
// 0 when it refuses it, -1 when no live export has that slot and generation
// (takes the lock).
int exports_admits(uint32_t idx, uint64_t gen, const plat_addr& addr);
// 1 when some live export admits the address, 0 when none does (a
// stranger); takes the lock.
int exports_admit_any(const plat_addr& addr);
// Reads this host's addresses again: what an empty allow list admits ("this
// machine"). Done at each start and each export added; takes the lock.
void exports_read_host_addrs();
// Parses a non-empty allow-list text into nets/masks/ncidrs; 0 or -1.
int parse_cidrs(const char* text, export_rec* e);
// The export control operations; each records its outcome (set_error).
// Adds an export: its slot, or -1 for a bad argument, -4 when the local path
// cannot be resolved, -6 when the table is full, -7 when the export path or
// the local path is already exported.
int exports_add(const char* export_path, const char* local_path, const char* allow_cidrs);
// Replaces the allow list of the live export with that path in place: its
// slot (the export keeps its slot and generation, so its handles stay
// valid), or -1 for a missing path or a list with an error (nothing then
// changes), -4 when no live export has that path.
int exports_set_allow(const char* export_path, const char* allow_cidrs);
// Grows by one each time an allow list changes in place; a decision taken
// about a slot and generation under another value may be out of date.
uint64_t exports_allow_epoch();
// Removes the live export with that path: 0, -1 or -4.
int exports_remove(const char* export_path);
// The number of live exports.
int exports_count();
// The JSON description of the live export at slot index, or "" when there is
// none. The text lives until the next call (one caller at a time).
const char* exports_json(int index);
// Whether the allow list admits the address (into *allowed): 0 or -1.
int exports_cidr_allows(const char* cidrs, const plat_addr& addr, int* allowed);
// The same for an address given as text; -1 also when it is not an address.
int exports_cidr_allows_text(const char* cidrs, const char* addr, int* allowed);
// Copies the live slot whose path equals the record's path into *snap and
// returns its index, or returns -1 (takes the lock).
int exports_snapshot_by_path(const char* path, export_rec* snap);
