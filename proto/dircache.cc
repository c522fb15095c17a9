// The bounded snapshot cache, least recently used first out.
#include "proto/dircache.h"

#include <cstring>
#include <list>

#include "util/sbuf.h"
#include "util/sha256.h"

namespace {

struct cache_entry {
  uint64_t fsid;
  uint64_t fileid;
  unsigned char verf[8];
  std::shared_ptr<const dir_names> names;
  size_t bytes;
};

struct dir_cache {
  plat_static_mutex lock;
  std::list<cache_entry> entries;  // most recently used first
  size_t bytes = 0;
  uint64_t serial = 0;  // for verifiers of snapshots that share a folder's verifier
};

dir_cache& cache() {
  static dir_cache c;
  return c;
}

size_t cost(const dir_names& n) { return n.blob.size() + n.start.size() * sizeof(uint32_t) + 64; }

std::shared_ptr<const dir_names> enumerate(const export_rec& e, const char* rel) {
  plat_dir* d = plat_opendir_beneath(export_local(e), rel);
  if (d == nullptr) return nullptr;
  auto names = std::make_shared<dir_names>();
  for (const char* n; (n = plat_readdir(d)) != nullptr;) {
    names->start.push_back(static_cast<uint32_t>(names->blob.size()));
    names->blob.append(n, strlen(n) + 1);
  }
  plat_closedir(d);
  return names;
}

// The kept snapshot of the folder with that verifier, or the end. The
// caller holds the lock.
std::list<cache_entry>::iterator find_locked(dir_cache& c, const export_rec& e, const plat_statbuf& st,
                                             const unsigned char verf[8]) {
  for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
    if (it->fsid == e.fsid && it->fileid == st.fileid && memcmp(it->verf, verf, 8) == 0) return it;
  }
  return c.entries.end();
}

}  // namespace

void dircache_start(const export_rec& e, const char* rel, const plat_statbuf& st, const unsigned char now[8],
                    dir_snapshot* out) {
  dir_cache& c = cache();
  memcpy(out->verf, now, 8);
  // Enumerated outside the lock, so that one large folder does not hold up
  // listings of others.
  out->names = enumerate(e, rel);
  if (out->names == nullptr) return;
  const size_t bytes = cost(*out->names);
  plat_guard g(c.lock.get());
  auto same = find_locked(c, e, st, now);
  if (bytes > DIRCACHE_MAX_BYTES) {
    // Not kept: the listing goes on by the folder's verifier, which must
    // then name no other snapshot.
    if (same != c.entries.end()) {
      c.bytes -= same->bytes;
      c.entries.erase(same);
    }
    return;
  }
  if (same != c.entries.end()) {
    if (same->names->blob == out->names->blob) {
      c.entries.splice(c.entries.begin(), c.entries, same);
      out->names = same->names;
      return;
    }
    // The folder changed without changing its verifier: listings in
    // progress keep theirs, and this snapshot gets another.
    do {
      unsigned char in[16];
      memcpy(in, now, 8);
      be64_put(in + 8, ++c.serial);
      unsigned char d[32];
      nfss_sha_buf(in, sizeof in, d);
      memcpy(out->verf, d, 8);
    } while (memcmp(out->verf, now, 8) == 0 || find_locked(c, e, st, out->verf) != c.entries.end());
  }
  cache_entry ce{e.fsid, st.fileid, {}, out->names, bytes};
  memcpy(ce.verf, out->verf, 8);
  c.entries.push_front(std::move(ce));
  c.bytes += bytes;
  while (c.entries.size() > DIRCACHE_MAX_FOLDERS || c.bytes > DIRCACHE_MAX_BYTES) {
    c.bytes -= c.entries.back().bytes;
    c.entries.pop_back();
  }
}

int dircache_resume(const export_rec& e, const char* rel, const plat_statbuf& st, const unsigned char now[8],
                    const unsigned char verf[8], dir_snapshot* out) {
  dir_cache& c = cache();
  {
    plat_guard g(c.lock.get());
    const auto it = find_locked(c, e, st, verf);
    if (it != c.entries.end()) {
      c.entries.splice(c.entries.begin(), c.entries, it);
      out->names = it->names;
      memcpy(out->verf, verf, 8);
      return 0;
    }
  }
  if (memcmp(verf, now, 8) != 0) return -1;
  dircache_start(e, rel, st, now, out);
  return 0;
}

void dircache_clear() {
  dir_cache& c = cache();
  plat_guard g(c.lock.get());
  c.entries.clear();
  c.bytes = 0;
}
