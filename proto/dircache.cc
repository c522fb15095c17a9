// The bounded enumeration cache, least recently used first out.
#include "proto/dircache.h"

#include <cstring>
#include <list>

namespace {

struct cache_entry {
  uint64_t fsid;
  uint64_t fileid;
  unsigned char verf[8];
  std::shared_ptr<const dir_names> names;
  size_t bytes;
};

struct dir_cache {
  plat_mutex lock;
  std::list<cache_entry> entries;  // most recently used first
  size_t bytes = 0;
};

dir_cache& cache() {
  static dir_cache* c = [] {
    static dir_cache dc;
    plat_mutex_init(&dc.lock);
    return &dc;
  }();
  return *c;
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

}  // namespace

std::shared_ptr<const dir_names> dircache_get(const export_rec& e, const char* rel, const plat_statbuf& st,
                                              const unsigned char verf[8], int fresh) {
  dir_cache& c = cache();
  if (!fresh) {
    plat_guard g(&c.lock);
    for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
      if (it->fsid == e.fsid && it->fileid == st.fileid && memcmp(it->verf, verf, 8) == 0) {
        c.entries.splice(c.entries.begin(), c.entries, it);
        return it->names;
      }
    }
  }
  // Enumerated outside the lock, so that one large folder does not hold up
  // listings of others.
  std::shared_ptr<const dir_names> names = enumerate(e, rel);
  if (names == nullptr) return nullptr;
  const size_t bytes = cost(*names);
  if (bytes > DIRCACHE_MAX_BYTES) return names;
  plat_guard g(&c.lock);
  // A folder that changed leaves entries under its old verifier: they go.
  for (auto it = c.entries.begin(); it != c.entries.end();) {
    if (it->fsid == e.fsid && it->fileid == st.fileid) {
      c.bytes -= it->bytes;
      it = c.entries.erase(it);
    } else {
      ++it;
    }
  }
  cache_entry ce{e.fsid, st.fileid, {}, names, bytes};
  memcpy(ce.verf, verf, 8);
  c.entries.push_front(std::move(ce));
  c.bytes += bytes;
  while (c.entries.size() > DIRCACHE_MAX_FOLDERS || c.bytes > DIRCACHE_MAX_BYTES) {
    c.bytes -= c.entries.back().bytes;
    c.entries.pop_back();
  }
  return names;
}

void dircache_clear() {
  dir_cache& c = cache();
  plat_guard g(&c.lock);
  c.entries.clear();
  c.bytes = 0;
}
