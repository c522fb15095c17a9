// The bounded snapshot cache, least recently used first out.
#include "proto/dircache.h"

#include <cstring>
#include <list>
#include <memory>

#include "util/sha256.h"
#include "util/xdr.h"

namespace {

// A folder is named by its export, its path there, its file system and its
// file number: file numbers repeat across the file systems one export may
// span, and a file system mounted at a path puts another folder there.
struct folder_key {
  uint64_t fsid;
  std::string rel;
  uint64_t dev;  // the file system and the file number of the folder itself
  uint64_t fileid;
  bool is(const export_rec& e, const char* r, const plat_statbuf& st) const {
    return fsid == e.fsid && fileid == st.fileid && dev == st.dev && rel == r;
  }
};

struct cache_entry {
  folder_key key;
  unsigned char verf[8];
  std::shared_ptr<const dir_names> names;
  size_t bytes;
};

// Closes a kept enumeration.
struct dir_closer {
  void operator()(plat_dir* d) const { plat_closedir(d); }
};

// A listing's enumeration kept between its calls; closed when dropped (out
// of the lock, from a list of those taken out), and at exit.
struct cursor {
  folder_key key;  // the file number read from the enumeration itself
  unsigned char verf[8];
  std::unique_ptr<plat_dir, dir_closer> d;
  uint64_t used_ms;
  dir_ahead ahead;
};
constexpr size_t kMaxCursors = 8;

struct dir_cache {
  plat_static_mutex lock;
  std::list<cache_entry> entries;  // most recently used first
  std::list<cursor> cursors;       // most recently used first
  size_t bytes = 0;
  uint64_t serial = 0;  // for verifiers of snapshots that share a folder's verifier
};

dir_cache& cache() {
  static dir_cache c;
  return c;
}

size_t cost(const dir_names& n) { return n.blob.size() + n.start.size() * sizeof(uint32_t) + 64; }

// The folder's names, in the order the enumeration gives them; the
// enumeration itself, at its end, goes to *d (null on failure).
std::shared_ptr<const dir_names> enumerate(const export_rec& e, const char* rel, plat_dir** d) {
  *d = plat_opendir_beneath(export_local(e), rel);
  if (*d == nullptr) return nullptr;
  auto names = std::make_shared<dir_names>();
  for (const char* n; (n = plat_readdir(*d)) != nullptr;) {
    names->start.push_back(static_cast<uint32_t>(names->blob.size()));
    names->blob.append(n, strlen(n) + 1);
  }
  return names;
}

// The kept snapshot of the folder with that verifier, or the end. The
// caller holds the lock.
std::list<cache_entry>::iterator find_locked(dir_cache& c, const export_rec& e, const char* rel,
                                             const plat_statbuf& st, const unsigned char verf[8]) {
  for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
    if (it->key.is(e, rel, st) && memcmp(it->verf, verf, 8) == 0) return it;
  }
  return c.entries.end();
}

// Keeps the snapshot in *out (its verifier made unique when the folder
// changed without changing its own). Takes the lock.
void keep_snapshot(dir_cache& c, const export_rec& e, const char* rel, const plat_statbuf& st,
                   const unsigned char now[8], dir_snapshot* out) {
  const size_t bytes = cost(*out->names);
  plat_guard g(c.lock.get());
  auto same = find_locked(c, e, rel, st, now);
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
    } while (memcmp(out->verf, now, 8) == 0 || find_locked(c, e, rel, st, out->verf) != c.entries.end());
  }
  cache_entry ce{folder_key{e.fsid, rel, st.dev, st.fileid}, {}, out->names, bytes};
  memcpy(ce.verf, out->verf, 8);
  c.entries.push_front(std::move(ce));
  c.bytes += bytes;
  while (c.entries.size() > DIRCACHE_MAX_FOLDERS || c.bytes > DIRCACHE_MAX_BYTES) {
    c.bytes -= c.entries.back().bytes;
    c.entries.pop_back();
  }
}

}  // namespace

void dircache_start(const export_rec& e, const char* rel, const plat_statbuf& st, const unsigned char now[8],
                    dir_snapshot* out) {
  dir_cache& c = cache();
  memcpy(out->verf, now, 8);
  // Enumerated outside the lock, so that one large folder does not hold up
  // listings of others. The enumeration that read the names goes on to
  // describe them for the listing's first call: where entries come with
  // their descriptions (Windows), the folder is then read once, not twice.
  plat_dir* d = nullptr;
  out->names = enumerate(e, rel, &d);
  if (out->names == nullptr) return;
  keep_snapshot(c, e, rel, st, now, out);
  dircache_cursor_put(e, rel, out->verf, d);
}

int dircache_resume(const export_rec& e, const char* rel, const plat_statbuf& st, const unsigned char now[8],
                    const unsigned char verf[8], dir_snapshot* out) {
  dir_cache& c = cache();
  {
    plat_guard g(c.lock.get());
    const auto it = find_locked(c, e, rel, st, verf);
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
  {
    dir_cache& c = cache();
    plat_guard g(c.lock.get());
    c.entries.clear();
    c.bytes = 0;
  }
  dircache_sweep(1);
}

namespace {

// Moves the kept enumerations past their age (all of them when `all` is
// set) to *gone, and then, when `verf` is given, the kept enumeration of the
// folder (e, rel, st) with verf to *taken (which it leaves empty when there
// is none). The caller holds the lock.
void cursors_trim_locked(dir_cache& c, int all, const export_rec* e, const char* rel, const plat_statbuf* st,
                         const unsigned char* verf, std::list<cursor>* gone, std::list<cursor>* taken) {
  const uint64_t now = plat_now_ms();
  for (auto it = c.cursors.begin(); it != c.cursors.end();) {
    const auto next = std::next(it);
    if (all || now - it->used_ms > HOLD_AGE_MS) {
      gone->splice(gone->end(), c.cursors, it);
    } else if (taken != nullptr && taken->empty() && verf != nullptr && it->key.is(*e, rel, *st) &&
               memcmp(it->verf, verf, 8) == 0) {
      taken->splice(taken->end(), c.cursors, it);
    }
    it = next;
  }
}

// Keeps the cursor as the most recently used, dropping the least recently
// used beyond the bound to *gone. Takes the lock.
void cursors_keep(dir_cache& c, std::list<cursor>* one, std::list<cursor>* gone) {
  plat_guard g(c.lock.get());
  one->front().used_ms = plat_now_ms();
  c.cursors.splice(c.cursors.begin(), *one);
  while (c.cursors.size() > kMaxCursors) gone->splice(gone->end(), c.cursors, std::prev(c.cursors.end()));
}

}  // namespace

void dircache_sweep(int all) {
  dir_cache& c = cache();
  std::list<cursor> gone;
  {
    plat_guard g(c.lock.get());
    cursors_trim_locked(c, all, nullptr, nullptr, nullptr, nullptr, &gone, nullptr);
  }
}

plat_dir* dircache_cursor_take(const export_rec& e, const char* rel, const plat_statbuf& st,
                               const unsigned char verf[8], dir_ahead* ahead) {
  dir_cache& c = cache();
  std::list<cursor> gone;  // closed once the lock is released
  std::list<cursor> taken;
  {
    plat_guard g(c.lock.get());
    cursors_trim_locked(c, 0, &e, rel, &st, verf, &gone, &taken);
  }
  if (taken.empty()) return plat_opendir_beneath(export_local(e), rel);
  if (ahead != nullptr) {
    *ahead = std::move(taken.front().ahead);
    ahead->kept = 1;
    ahead->dev = taken.front().key.dev;
    ahead->fileid = taken.front().key.fileid;
  }
  return taken.front().d.release();
}

void dircache_read_ahead(const export_rec& e, const char* rel, const plat_statbuf& st, const unsigned char verf[8],
                         const dir_names& names, uint64_t pos, size_t count) {
  dir_cache& c = cache();
  std::list<cursor> gone;
  std::list<cursor> taken;
  {
    plat_guard g(c.lock.get());
    cursors_trim_locked(c, 0, &e, rel, &st, verf, &gone, &taken);
  }
  if (taken.empty()) return;
  dir_ahead& a = taken.front().ahead;
  const uint64_t end = pos + count < names.count() ? pos + count : names.count();
  // Stamped before the first is read: the oldest description counts.
  a.read_ms = plat_now_ms();
  a.pos = pos;
  a.st.resize(end > pos ? end - pos : 0);
  a.found.assign(a.st.size(), 0);
  for (uint64_t p = pos; p < end; p++) {
    a.found[p - pos] = plat_dir_stat(taken.front().d.get(), names.name(p), &a.st[p - pos]) == 0 ? 1 : 0;
  }
  cursors_keep(c, &taken, &gone);
}

void dircache_cursor_put(const export_rec& e, const char* rel, const unsigned char verf[8], plat_dir* d,
                         const dir_ahead* taken) {
  if (d == nullptr) return;
  // The folder's own identity, read from the enumeration itself (once, when
  // it is first kept): the one a later call must find at the folder's path
  // to take it.
  plat_statbuf self{};
  if (taken != nullptr && taken->kept) {
    self.dev = taken->dev;
    self.fileid = taken->fileid;
  } else if (plat_dir_stat(d, "", &self) != 0) {
    plat_closedir(d);
    return;
  }
  std::list<cursor> one;
  one.push_back(cursor{folder_key{e.fsid, rel, self.dev, self.fileid}, {}, std::unique_ptr<plat_dir, dir_closer>(d),
                       0, {}});
  memcpy(one.front().verf, verf, 8);
  std::list<cursor> gone;
  cursors_keep(cache(), &one, &gone);
}
