// The describing helper: one run at a time, each name of it described by
// whichever thread claims it first.
#include "proto/dir_describe.h"

#include <atomic>
#include <vector>

struct dir_run {
  plat_dir* d;
  std::shared_ptr<const dir_names> names;
  uint64_t from;
  uint64_t to;
  std::atomic<uint64_t> next;  // the first name no thread has claimed
  std::vector<plat_statbuf> st;
  // Per name: 0 until described, then 1, or 2 when the name had gone;
  // written after st, so that a reader who sees it set sees st.
  std::unique_ptr<std::atomic<unsigned char>[]> state;
};

namespace {

// How long a caller waits for the name the helper is describing, once no
// name is left to claim, in pauses of the processor: some microseconds,
// far longer than one status read takes.
constexpr int kSpinLimit = 2000;

struct helper {
  plat_static_mutex lock;
  plat_event wake;  // set when a run is posted or the helper is to stop
  plat_event left;  // set when the helper leaves a run
  bool events_ok = false;
  bool started = false;
  bool stopping = false;
  plat_thread thread = 0;
  dir_run* posted = nullptr;   // given to the helper, not begun
  dir_run* running = nullptr;  // being described by the helper
  uint64_t runs = 0;
};

helper& the_helper() {
  static helper h;
  return h;
}

void describe_one(dir_run* r, uint64_t p) {
  const int ok = plat_dir_stat(r->d, r->names->name(p), &r->st[p - r->from]) == 0;
  r->state[p - r->from].store(ok ? 1 : 2, std::memory_order_release);
}

void helper_main(void*) {
  helper& h = the_helper();
  for (;;) {
    // Looked at before waiting: a run posted and a stop asked for may have
    // set the signal once for both.
    plat_lock(h.lock.get());
    dir_run* r = h.posted;
    h.posted = nullptr;
    h.running = r;
    const bool stop = h.stopping;
    plat_unlock(h.lock.get());
    if (r == nullptr) {
      if (stop) return;
      plat_event_wait(&h.wake);
      continue;
    }
    for (uint64_t p; (p = r->next.fetch_add(1, std::memory_order_relaxed)) < r->to;) describe_one(r, p);
    plat_lock(h.lock.get());
    h.running = nullptr;
    plat_unlock(h.lock.get());
    plat_event_set(&h.left);
  }
}

// Starts the helper unless it runs already; false when it cannot be. The
// caller holds the lock.
bool start_locked(helper& h) {
  if (h.started) return true;
  if (!h.events_ok) {
    if (plat_event_init(&h.wake) != 0) return false;
    if (plat_event_init(&h.left) != 0) {
      plat_event_destroy(&h.wake);
      return false;
    }
    h.events_ok = true;
  }
  if (plat_thread_start(&h.thread, helper_main, nullptr) != 0) return false;
  h.started = true;
  return true;
}

}  // namespace

dir_run* dir_run_start(plat_dir* d, std::shared_ptr<const dir_names> names, uint64_t from, uint64_t to) {
  if (d == nullptr || names == nullptr || to <= from || to > names->count() || !plat_dir_stat_parallel()) {
    return nullptr;
  }
  helper& h = the_helper();
  {
    plat_guard g(h.lock.get());
    if (h.posted != nullptr || h.running != nullptr || h.stopping || !start_locked(h)) return nullptr;
  }
  auto* r = new dir_run{d, std::move(names), from, to, {from}, std::vector<plat_statbuf>(to - from),
                        std::make_unique<std::atomic<unsigned char>[]>(to - from)};
  {
    plat_guard g(h.lock.get());
    // Another caller may have been quicker.
    if (h.posted != nullptr || h.running != nullptr || h.stopping) {
      delete r;
      return nullptr;
    }
    h.posted = r;
    h.runs++;
  }
  plat_event_set(&h.wake);
  return r;
}

int dir_run_get(dir_run* r, uint64_t p, plat_statbuf* st) {
  if (r == nullptr || p < r->from || p >= r->to) return -1;
  std::atomic<unsigned char>& s = r->state[p - r->from];
  for (int spins = 0; spins < kSpinLimit;) {
    const unsigned char v = s.load(std::memory_order_acquire);
    if (v != 0) {
      if (v == 2) return 0;
      *st = r->st[p - r->from];
      return 1;
    }
    // Not described yet. The first name no thread has claimed is claimed
    // and described here: p itself when the helper has not reached it (or
    // one before it that the caller passed over), else one after it, so
    // that both threads describe while the helper finishes p.
    uint64_t at = r->next.load(std::memory_order_relaxed);
    if (at < r->to) {
      if (r->next.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) describe_one(r, at);
      continue;
    }
    spins++;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  // The helper has not finished p in all that time (the system may have
  // stopped it in the middle): described here too. Its own description
  // goes to the run, which is not read at p again.
  return plat_dir_stat(r->d, r->names->name(p), st) == 0 ? 1 : 0;
}

void dir_run_end(dir_run* r) {
  if (r == nullptr) return;
  r->next.store(r->to, std::memory_order_relaxed);
  helper& h = the_helper();
  plat_lock(h.lock.get());
  if (h.posted == r) h.posted = nullptr;
  // A signal left over from an earlier run is told apart by the state.
  while (h.running == r) {
    plat_unlock(h.lock.get());
    plat_event_wait(&h.left);
    plat_lock(h.lock.get());
  }
  plat_unlock(h.lock.get());
  delete r;
}

void dir_describe_stop() {
  helper& h = the_helper();
  plat_thread t = 0;
  {
    plat_guard g(h.lock.get());
    if (!h.started || h.stopping) return;
    h.stopping = true;
    t = h.thread;
  }
  plat_event_set(&h.wake);
  plat_thread_join(t);
  plat_guard g(h.lock.get());
  h.started = false;
  h.stopping = false;
}

uint64_t dir_describe_run_count() {
  helper& h = the_helper();
  plat_guard g(h.lock.get());
  return h.runs;
}

int dir_describe_running() {
  helper& h = the_helper();
  plat_guard g(h.lock.get());
  return h.started ? 1 : 0;
}
