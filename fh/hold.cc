// The table of held objects: a short list, most recently used first.
#include "fh/hold.h"

#include <cstring>
#include <list>
#include <string>
#include <vector>

namespace {

// What an entry holds: a folder, a file opened only to be described (for
// its attributes alone, so that looking at a file never opens its data),
// or a file open for reading. One bit each, so that a search can take more
// than one.
enum held_kind : unsigned { kFolder = 1, kFileSeen = 2, kFileRead = 4 };
constexpr unsigned kAnyFile = kFileSeen | kFileRead;

struct hold_entry {
  std::string key;  // root, a zero byte, rel
  held_ref h;
  held_kind kind;
  uint64_t proven_ms;
};

struct hold_table {
  plat_static_mutex lock;
  std::list<hold_entry> entries;
};

hold_table& table() {
  static hold_table t;
  return t;
}

std::string key_of(const char* root, const char* rel, size_t rel_len) {
  std::string k(root);
  k.push_back('\0');
  k.append(rel, rel_len);
  return k;
}

held_ref share(plat_held* h) { return held_ref(h, plat_held_close); }

// Where rel's last component starts; 0 when rel has one component.
size_t last_at(const char* rel) {
  const char* slash = strrchr(rel, '/');
  return slash == nullptr ? 0 : static_cast<size_t>(slash - rel) + 1;
}

// Moves the entries past their age, and those beyond the bound, to *gone,
// so that they are closed once the lock is released. The caller holds it.
void trim_locked(hold_table& t, uint64_t now, std::vector<held_ref>* gone) {
  for (auto it = t.entries.begin(); it != t.entries.end();) {
    if (now - it->proven_ms > HOLD_AGE_MS) {
      gone->push_back(std::move(it->h));
      it = t.entries.erase(it);
    } else {
      ++it;
    }
  }
  while (t.entries.size() > HOLD_MAX) {
    gone->push_back(std::move(t.entries.back().h));
    t.entries.pop_back();
  }
}

// The objects proven during the call this thread is serving, under their
// keys, with the status each proof gave. Few: a call proves at most a
// folder and one object in it.
struct call_proofs {
  static constexpr int kMax = 4;
  bool active = false;
  int n = 0;
  held_ref h[kMax];
  std::string key[kMax];
  plat_statbuf st[kMax];
  bool has_st[kMax];  // whether the proof gave the status too
  void clear() {
    for (int i = 0; i < n; i++) h[i].reset();
    n = 0;
  }
  int find(const held_ref& r) const {
    for (int i = 0; i < n; i++) {
      if (h[i] == r) return i;
    }
    return -1;
  }
  // What was proven in this call under the first len bytes of k (the key
  // of a folder above k's object); null when nothing was.
  plat_held* under(const std::string& k, size_t len) const {
    for (int i = 0; i < n; i++) {
      if (key[i].size() == len && k.compare(0, len, key[i]) == 0) return h[i].get();
    }
    return nullptr;
  }
  void add(const held_ref& r, const std::string& k, const plat_statbuf* s) {
    if (!active) return;
    if (n == kMax) {
      for (int i = 1; i < kMax; i++) {
        h[i - 1] = std::move(h[i]);
        key[i - 1].swap(key[i]);
        st[i - 1] = st[i];
        has_st[i - 1] = has_st[i];
      }
      n--;
    }
    h[n] = r;
    key[n] = k;
    has_st[n] = s != nullptr;
    if (s != nullptr) st[n] = *s;
    n++;
  }
};

thread_local call_proofs t_proofs;

// The held object under key when it is of a kind asked for, proven to
// lie at root/rel still (its status then in *st, unless st is null); null
// otherwise, and an entry that fails the proof is dropped. A proof made
// earlier in the same call stands. When rel's folder was proven in this
// call, that proof and a look at the name in it can stand for the path.
held_ref find_proven(const std::string& key, unsigned kinds, const char* root, const char* rel, plat_statbuf* st) {
  hold_table& t = table();
  std::vector<held_ref> gone;  // closed after the lock is released
  held_ref h;
  {
    plat_guard g(t.lock.get());
    trim_locked(t, plat_now_ms(), &gone);
    for (auto it = t.entries.begin(); it != t.entries.end(); ++it) {
      if (it->key == key && (it->kind & kinds) != 0) {
        t.entries.splice(t.entries.begin(), t.entries, it);
        h = it->h;
        break;
      }
    }
  }
  if (h == nullptr) return nullptr;
  const int known = t_proofs.find(h);
  if (known >= 0) {
    if (st == nullptr) return h;
    if (t_proofs.has_st[known]) {
      *st = t_proofs.st[known];
      return h;
    }
    if (plat_held_stat_at(h.get(), "", st) != 0) return nullptr;
    t_proofs.st[known] = *st;
    t_proofs.has_st[known] = true;
    return h;
  }
  int in = 1;
  if (rel[0] != 0) {
    const size_t at = last_at(rel);
    // The parent's key is the start of this one: root, the zero byte, and
    // rel up to its last "/".
    plat_held* parent = t_proofs.under(key, strlen(root) + 1 + (at == 0 ? 0 : at - 1));
    if (parent != nullptr) in = plat_held_check_in(h.get(), parent, rel + at, st);
  }
  const bool proven = in == 0 || (in > 0 && plat_held_check(h.get(), root, rel, st) == 0);
  if (proven) t_proofs.add(h, key, st);
  plat_guard g(t.lock.get());
  for (auto it = t.entries.begin(); it != t.entries.end(); ++it) {
    if (it->h != h) continue;
    if (proven) {
      it->proven_ms = plat_now_ms();
    } else {
      gone.push_back(std::move(it->h));
      t.entries.erase(it);
    }
    break;
  }
  return proven ? h : nullptr;
}

// Holds h under key, in place of what was held there of the same sort
// (a folder, or a file either way).
void put(std::string key, const held_ref& h, held_kind kind) {
  hold_table& t = table();
  std::vector<held_ref> gone;
  const unsigned same = kind == kFolder ? kFolder : kAnyFile;
  plat_guard g(t.lock.get());
  for (auto it = t.entries.begin(); it != t.entries.end(); ++it) {
    if (it->key == key && (it->kind & same) != 0) {
      gone.push_back(std::move(it->h));
      t.entries.erase(it);
      break;
    }
  }
  t.entries.push_front(hold_entry{std::move(key), h, kind, plat_now_ms()});
  trim_locked(t, plat_now_ms(), &gone);
}

// The folder root/rel (rel_len bytes of rel): held already and proven, or
// walked to now and held. Null on failure.
held_ref folder(const char* root, const char* rel, size_t rel_len) {
  const std::string dir_rel(rel, rel_len);
  std::string key = key_of(root, rel, rel_len);
  held_ref h = find_proven(key, kFolder, root, dir_rel.c_str(), nullptr);
  if (h != nullptr) return h;
  plat_held* fresh = plat_hold_dir_beneath(root, dir_rel.c_str());
  if (fresh == nullptr) return nullptr;
  h = share(fresh);
  put(std::move(key), h, kFolder);
  return h;
}

}  // namespace

int hold_stat(const char* root, const char* rel, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  if (root == nullptr || rel == nullptr) return plat_stat_beneath(root, rel, st);
  const std::string key = key_of(root, rel, strlen(rel));
  if (find_proven(key, kFolder | kAnyFile, root, rel, st) != nullptr) return 0;
  if (rel[0] == 0) {
    const held_ref h = folder(root, rel, 0);
    return h == nullptr ? -1 : plat_held_stat_at(h.get(), "", st);
  }
  const size_t at = last_at(rel);
  if (rel[at] == 0) return plat_stat_beneath(root, rel, st);  // a trailing "/"
  const held_ref dir = folder(root, rel, at == 0 ? 0 : at - 1);
  if (dir == nullptr) return -1;
  // What had to be opened to be described stays held, so that the calls
  // that usually follow on it (attributes, access, listings, lookups
  // inside it) only prove it; a READ opens the file for reading in its
  // place.
  plat_held* kept = nullptr;
  if (plat_held_stat_keep(dir.get(), rel + at, st, &kept) != 0) return -1;
  if (kept != nullptr) {
    const held_ref h = share(kept);
    put(key, h, st->is_dir ? kFolder : kFileSeen);
    t_proofs.add(h, key, st);
  }
  return 0;
}

held_ref hold_file(const char* root, const char* rel, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  if (root == nullptr || rel == nullptr || rel[0] == 0) return nullptr;
  std::string key = key_of(root, rel, strlen(rel));
  held_ref h = find_proven(key, kFileRead, root, rel, st);
  if (h != nullptr) return h;
  const size_t at = last_at(rel);
  if (rel[at] == 0) return nullptr;
  const held_ref dir = folder(root, rel, at == 0 ? 0 : at - 1);
  if (dir == nullptr) return nullptr;
  plat_held* f = plat_hold_file_at(dir.get(), rel + at);
  if (f == nullptr) return nullptr;
  h = share(f);
  if (plat_held_stat_at(f, "", st) != 0) return nullptr;
  put(std::move(key), h, kFileRead);
  return h;
}

hold_call_scope::hold_call_scope() { t_proofs.active = true; }

hold_call_scope::~hold_call_scope() {
  t_proofs.active = false;
  t_proofs.clear();
}

void hold_sweep(int all) {
  hold_table& t = table();
  std::vector<held_ref> gone;
  plat_guard g(t.lock.get());
  if (all) {
    for (hold_entry& e : t.entries) gone.push_back(std::move(e.h));
    t.entries.clear();
  } else {
    trim_locked(t, plat_now_ms(), &gone);
  }
}
