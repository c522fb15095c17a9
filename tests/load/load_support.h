// Shared pieces of the load and fault tests: counts of the process's
// descriptors, threads and resident memory from /proc, a byte
// pattern for fixture files, a small random source, a record of the first
// failure seen by any of several client threads, and a whole folder listing
// as a client step.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <dirent.h>

#include <vector>

#include "plat/plat.h"
#include "tests/e2e/nfs_client.h"
#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "vorlix.h"

namespace load {

// True when the build carries a sanitizer, whose own threads, memory and
// speed change what the tests may expect of the process.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The shared bounded waits, under the names the load tests use.
using ::client_count_becomes;
using ::eventually;

// The entries of a /proc folder such as /proc/self/fd or /proc/self/task,
// "." and ".." left out; -1 when it cannot be read. The folder's own
// descriptor is among those of /proc/self/fd, the same on every count.
inline int count_entries(const char* path) {
  DIR* d = opendir(path);
  if (d == nullptr) return -1;
  int n = 0;
  for (int i = 0; i < 1000000; i++) {
    const dirent* e = readdir(d);
    if (e == nullptr) break;
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) n++;
  }
  closedir(d);
  return n;
}
inline int open_fds() { return count_entries("/proc/self/fd"); }
inline int threads() { return count_entries("/proc/self/task"); }

// VmRSS of the process in KiB; -1 when it cannot be read.
inline long rss_kib() {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  for (int i = 0; i < 200 && fgets(line, sizeof line, f) != nullptr; i++) {
    if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  }
  fclose(f);
  return kib;
}

// The process's descriptors and threads at one moment: once the connections
// made after it are over, both counts must come back (their threads end a
// moment after their clients leave).
struct resources {
  int fds0 = open_fds();
  int threads0 = threads();
  bool back(int limit_ms = 15000) const {
    return eventually([&] { return vorlix_client_count() == 0 && open_fds() == fds0 && threads() == threads0; },
                      limit_ms);
  }
  std::string report() const {
    return "descriptors " + std::to_string(open_fds()) + " (were " + std::to_string(fds0) + "), threads " +
           std::to_string(threads()) + " (were " + std::to_string(threads0) + "), connections " +
           std::to_string(vorlix_client_count());
  }
};

// The byte at offset i of fixture files: a mix of the offset's bytes, so that
// data from a wrong offset, a shifted buffer or another reply shows.
inline unsigned char pattern_byte(uint64_t i) {
  uint64_t x = i * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  return static_cast<unsigned char>(x ^ (i >> 8) ^ (i >> 16));
}
inline std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(pattern_byte(i));
  return s;
}

// True when data is the bytes of content from offset off on (all of them
// inside content); no data matches at any offset.
inline bool data_is(const std::vector<unsigned char>& data, const std::string& content, uint64_t off) {
  if (data.empty()) return true;
  if (off > content.size() || data.size() > content.size() - off) return false;
  return memcmp(data.data(), content.data() + off, data.size()) == 0;
}

// xorshift64*: a fast, seedable source for offsets, sizes and mutations.
struct rng {
  uint64_t s;
  explicit rng(uint64_t seed) : s(seed * 2 + 1) {}
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1Dull;
  }
  uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
};

// Collects failures from many threads: the count and the first message.
struct failures {
  std::atomic<int> count{0};
  std::mutex lock;
  std::string first;
  void add(const std::string& what) {
    if (count.fetch_add(1) == 0) {
      std::lock_guard<std::mutex> g(lock);
      first = what;
    }
  }
  std::string message() {
    std::lock_guard<std::mutex> g(lock);
    return first;
  }
};

// A whole listing through READDIRPLUS pages of at most maxcount bytes: the
// names in order, with the handle of each. Empty names and a message in
// *why when any page fails or the listing does not end within 1000 pages.
struct listing {
  std::vector<std::string> names;
  std::vector<bytes> handles;
  std::string why;
};

inline listing list_all(rpc_conn& c, const bytes& dir, uint32_t maxcount) {
  listing l;
  uint64_t cookie = 0;
  bytes verf(8, 0);
  for (int page = 0; page < 1000; page++) {
    const wire::readdir_result r = wire::readdirplus(c, dir, cookie, verf, maxcount, maxcount);
    if (r.status != NFS3_OK || !r.well_formed) {
      l.why = "READDIRPLUS page " + std::to_string(page) + " status " + std::to_string(r.status) +
              (r.well_formed ? "" : " (malformed)");
      return l;
    }
    if (r.entries.empty() && !r.eof) {
      l.why = "READDIRPLUS page without entries and without eof";
      return l;
    }
    for (const wire::dir_entry& e : r.entries) {
      l.names.push_back(e.name);
      l.handles.push_back(e.fh);
      cookie = e.cookie;
    }
    verf = r.verf;
    if (r.eof) return l;
  }
  l.why = "listing did not end";
  return l;
}

}  // namespace load
