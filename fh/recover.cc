// Handle recovery by walking an export's tree.
#include "fh/recover.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "fh/fh_format.h"
#include "fh/fh_map.h"
#include "plat/plat.h"

namespace {

// How often a call that waits for another call's walk looks for its path.
constexpr int kWaitPollMs = 5;

// Per export slot: whether a walk runs, how many have ended, and when the
// last fruitless walk of that generation ended. The lock is held only to read
// and change these, never during a walk.
struct recover_slot {
  plat_static_mutex lock;
  bool walking = false;
  uint64_t walks_ended = 0;
  uint64_t failed_gen = 0;
  uint64_t failed_at_ms = 0;
};

recover_slot* slots() {
  static recover_slot all[MAX_EXPORTS];
  return all;
}

std::atomic<uint64_t> s_walks{0};
std::atomic<uint64_t> s_budget_ms{FH_RECOVER_BUDGET_MS};
std::atomic<void (*)()> s_on_entry{nullptr};

// Builds (and so remembers) the handle of rel; true when its digest is the
// one looked for.
bool try_path(const unsigned char* fh, int32_t idx, const export_rec& e, const char* rel) {
  unsigned char h[FH_SIZE];
  return fh_build_idx(idx, &e, rel, h, FH_SIZE) == FH_SIZE && memcmp(h + 16, fh + 16, 16) == 0;
}

// Walks the tree breadth first from the root; true when the handle's path
// was found (stored in *found). The budget is checked before every entry, so
// that one huge folder cannot make the walk unbounded.
bool walk(const unsigned char* fh, int32_t idx, const export_rec& e, std::string* found) {
  const uint64_t deadline = plat_now_ms() + s_budget_ms.load();
  void (*const on_entry)() = s_on_entry.load();
  const char* root = export_local(e);
  if (try_path(fh, idx, e, "")) {
    *found = "";
    return true;
  }
  if (e.is_file) return false;
  std::vector<std::string> queue{""};
  char rel[REL_MAX];
  for (size_t next = 0; next < queue.size(); next++) {
    if (plat_now_ms() > deadline) return false;
    const std::string dir = queue[next];
    plat_dir* d = plat_opendir_beneath(root, dir.c_str());
    if (d == nullptr) continue;
    for (const char* name; (name = plat_readdir(d)) != nullptr;) {
      if (on_entry != nullptr) on_entry();
      if (plat_now_ms() > deadline) break;
      // Only names that a lookup would accept make handles.
      if (strlen(name) > 255 || strchr(name, '\\') != nullptr || fh_join_rel(dir.c_str(), name, rel) != 0) continue;
      plat_statbuf st;
      if (plat_dir_stat(d, name, &st) != 0) continue;
      if (try_path(fh, idx, e, rel)) {
        plat_closedir(d);
        *found = rel;
        return true;
      }
      if (st.is_dir && !st.is_link) queue.emplace_back(rel);
    }
    plat_closedir(d);
  }
  return false;
}

}  // namespace

int fh_recover(const unsigned char* fh, int32_t idx, const export_rec& e, char* rel, int32_t cap) {
  if (idx < 0 || idx >= MAX_EXPORTS || rel == nullptr || cap <= 0) return -1;
  recover_slot& s = slots()[idx];
  // A call waits for other calls' walks at most this long, then gives up.
  const uint64_t wait_until = plat_now_ms() + 2 * s_budget_ms.load();
  for (;;) {
    uint64_t ended = 0;
    {
      plat_guard g(s.lock.get());
      // A walk that ended meanwhile may have remembered the path.
      if (fh_recall(fh, idx, e.gen, rel, cap) == 0) return 0;
      if (s.failed_gen == e.gen && plat_now_ms() - s.failed_at_ms < FH_RECOVER_QUIET_MS) return -1;
      if (!s.walking) {
        s.walking = true;
        break;
      }
      ended = s.walks_ended;
    }
    // Another call walks this export: every path it passes is remembered,
    // so this call is answered as soon as its own turns up, or when that
    // walk ends (then it may walk itself).
    for (bool over = false; !over;) {
      if (plat_now_ms() > wait_until) return -1;
      plat_sleep_ms(kWaitPollMs);
      if (fh_recall(fh, idx, e.gen, rel, cap) == 0) return 0;
      plat_guard g(s.lock.get());
      over = s.walks_ended != ended;
    }
  }
  s_walks.fetch_add(1);
  std::string found;
  const bool ok = walk(fh, idx, e, &found);
  {
    plat_guard g(s.lock.get());
    s.walking = false;
    s.walks_ended++;
    if (!ok) {
      s.failed_gen = e.gen;
      s.failed_at_ms = plat_now_ms();
    }
  }
  if (!ok || found.size() >= static_cast<size_t>(cap)) return -1;
  memcpy(rel, found.c_str(), found.size() + 1);
  return 0;
}

uint64_t fh_recover_walks() { return s_walks.load(); }

void fh_recover_reset() {
  for (int i = 0; i < MAX_EXPORTS; i++) {
    plat_guard g(slots()[i].lock.get());
    slots()[i].failed_gen = 0;
  }
}

void fh_recover_set_test_hooks(uint64_t budget_ms, void (*on_entry)()) {
  s_budget_ms.store(budget_ms != 0 ? budget_ms : FH_RECOVER_BUDGET_MS);
  s_on_entry.store(on_entry);
}
