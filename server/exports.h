// The export table: 64 slots of exports, each a local folder or single file
// published under an export path, with an allow list of IPv4 networks.
// One re-entrant lock guards the table; readers that need a record after
// releasing it take a snapshot (a copy of export_rec, whose texts are shared
// and so stay alive after a concurrent removal).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

constexpr int MAX_EXPORTS = 64;
constexpr int MAX_CIDRS = 32;
constexpr size_t EXPORT_PATH_MAX = 1024;  // buffer size, terminator included

struct export_rec {
  char path[EXPORT_PATH_MAX];
  std::shared_ptr<const std::string> local;        // canonical host path; null when removed
  std::shared_ptr<const std::string> allow_cidrs;  // as given; null when removed
  uint32_t nets[MAX_CIDRS];
  uint32_t masks[MAX_CIDRS];
  int32_t ncidrs;
  int32_t is_file;
  uint64_t fsid;
  uint64_t gen;
  int32_t removed;
};

// The local path text of a record ("" when it has none).
inline const char* export_local(const export_rec& e) { return e.local ? e.local->c_str() : ""; }

// Takes the lock and returns the first slot; *count receives the number of
// slots in use (removed ones included). Pair each call with exports_unlock.
export_rec* exports_lock_get(int32_t* count);
void exports_unlock();
// The lowest live slot whose path equals the text, or -1 (takes the lock).
int exports_find(const char* path);
// 1 when the record admits the address; the caller holds the lock.
int exports_allows(const export_rec* e, uint32_t addr);
// 1 when the live export at slot idx with generation gen admits the address,
// 0 when it refuses it, -1 when no live export has that slot and generation
// (takes the lock).
int exports_admits(uint32_t idx, uint64_t gen, uint32_t addr);
// Parses a non-empty allow-list text into nets/masks/ncidrs; 0 or -1.
int parse_cidrs(const char* text, export_rec* e);
// Copies the live slot whose path equals the record's path into *snap and
// returns its index, or returns -1 (takes the lock).
int exports_snapshot_by_path(const char* path, export_rec* snap);
