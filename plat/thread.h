// Threads, locks, clocks and randomness of the platform layer.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Threads ---------------------------------------------------------------

using plat_thread = uintptr_t;
using plat_thread_fn = void (*)(void*);

// Starts a thread with a 1 MiB stack running fn(arg). 0 with *out set, or -1
// with *out untouched.
int plat_thread_start(plat_thread* out, plat_thread_fn fn, void* arg);
// Waits for the thread to end and releases its handle.
void plat_thread_join(plat_thread t);
// Releases the handle without waiting.
void plat_thread_detach(plat_thread t);

// ---- Locks -----------------------------------------------------------------

// A re-entrant lock. Opaque storage large enough for the system's mutex.
struct plat_mutex {
  alignas(16) unsigned char opaque[64];
};
void plat_mutex_init(plat_mutex* m);
void plat_mutex_destroy(plat_mutex* m);
void plat_lock(plat_mutex* m);
void plat_unlock(plat_mutex* m);

// A plat_mutex made by its constructor and never destroyed, for a lock that
// lives as long as the process. As a function-local static it is made once,
// on first use, even when threads arrive together; threads still running at
// exit may take it.
class plat_static_mutex {
 public:
  plat_static_mutex() { plat_mutex_init(&m_); }
  plat_static_mutex(const plat_static_mutex&) = delete;
  plat_static_mutex& operator=(const plat_static_mutex&) = delete;
  plat_mutex* get() { return &m_; }

 private:
  plat_mutex m_;
};

// Holds a plat_mutex for the life of a scope.
class plat_guard {
 public:
  explicit plat_guard(plat_mutex* m) : m_(m) { plat_lock(m_); }
  ~plat_guard() { plat_unlock(m_); }
  plat_guard(const plat_guard&) = delete;
  plat_guard& operator=(const plat_guard&) = delete;

 private:
  plat_mutex* m_;
};

// ---- Time and randomness --------------------------------------------------

// Monotonic milliseconds from an arbitrary origin.
uint64_t plat_now_ms();
void plat_sleep_ms(int ms);
// Fills buf with bytes from the system's cryptographic random source. 0 or -1.
int plat_random_bytes(void* buf, size_t len);
