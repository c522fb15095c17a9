// POSIX threads, locks, time and randomness (Linux): pthreads with a 1 MiB
// stack, recursive mutexes, the monotonic clock and getrandom.
#include "plat/plat.h"

#include <errno.h>
#include <pthread.h>
#include <sys/random.h>
#include <time.h>

#include <cstdlib>

namespace {

constexpr size_t kThreadStack = 1048576;

struct thread_start_rec {
  plat_thread_fn fn;
  void* arg;
};

void* tramp(void* p) {
  auto* rec = static_cast<thread_start_rec*>(p);
  plat_thread_fn fn = rec->fn;
  void* arg = rec->arg;
  free(rec);
  fn(arg);
  return nullptr;
}

pthread_mutex_t* sys_mutex(plat_mutex* m) {
  static_assert(sizeof(pthread_mutex_t) <= sizeof(plat_mutex::opaque));
  static_assert(alignof(pthread_mutex_t) <= alignof(plat_mutex));
  return reinterpret_cast<pthread_mutex_t*>(m->opaque);
}

}  // namespace

// ---- Threads ---------------------------------------------------------------

int plat_thread_start(plat_thread* out, plat_thread_fn fn, void* arg) {
  auto* rec = static_cast<thread_start_rec*>(malloc(sizeof(thread_start_rec)));
  if (rec == nullptr) return -1;
  rec->fn = fn;
  rec->arg = arg;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kThreadStack);
  pthread_t t;
  int r = pthread_create(&t, &attr, tramp, rec);
  pthread_attr_destroy(&attr);
  if (r != 0) {
    free(rec);
    return -1;
  }
  *out = static_cast<plat_thread>(t);
  return 0;
}

void plat_thread_join(plat_thread t) { pthread_join(static_cast<pthread_t>(t), nullptr); }

void plat_thread_detach(plat_thread t) { pthread_detach(static_cast<pthread_t>(t)); }

// ---- Locks -----------------------------------------------------------------

void plat_mutex_init(plat_mutex* m) {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(sys_mutex(m), &a);
  pthread_mutexattr_destroy(&a);
}

void plat_mutex_destroy(plat_mutex* m) { pthread_mutex_destroy(sys_mutex(m)); }
void plat_lock(plat_mutex* m) { pthread_mutex_lock(sys_mutex(m)); }
void plat_unlock(plat_mutex* m) { pthread_mutex_unlock(sys_mutex(m)); }

// ---- Time and randomness --------------------------------------------------

uint64_t plat_now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void plat_sleep_ms(int ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);  // an interrupting signal shortens the pause
}

int plat_random_bytes(void* buf, size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ssize_t r = getrandom(p, len, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += r;
    len -= static_cast<size_t>(r);
  }
  return 0;
}
