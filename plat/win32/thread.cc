// Windows threads, locks, time and randomness: CreateThread with a 1 MiB
// stack, critical sections, the tick count and the system's preferred
// random source.
#include "plat/win32/win32_internal.h"

#include <bcrypt.h>

#include <cstdlib>

namespace {

constexpr DWORD kThreadStack = 1048576;

struct thread_start_rec {
  plat_thread_fn fn;
  void* arg;
};

DWORD WINAPI tramp(LPVOID p) {
  auto* rec = static_cast<thread_start_rec*>(p);
  plat_thread_fn fn = rec->fn;
  void* arg = rec->arg;
  free(rec);
  fn(arg);
  return 0;
}

CRITICAL_SECTION* sys_mutex(plat_mutex* m) {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof(plat_mutex::opaque));
  static_assert(alignof(CRITICAL_SECTION) <= alignof(plat_mutex));
  return reinterpret_cast<CRITICAL_SECTION*>(m->opaque);
}

}  // namespace

// ---- Threads ---------------------------------------------------------------

int plat_thread_start(plat_thread* out, plat_thread_fn fn, void* arg) {
  auto* rec = static_cast<thread_start_rec*>(malloc(sizeof(thread_start_rec)));
  if (rec == nullptr) return -1;
  rec->fn = fn;
  rec->arg = arg;
  HANDLE h = CreateThread(nullptr, kThreadStack, tramp, rec, 0, nullptr);
  if (h == nullptr) {
    free(rec);
    return -1;
  }
  *out = reinterpret_cast<plat_thread>(h);
  return 0;
}

void plat_thread_join(plat_thread t) {
  HANDLE h = reinterpret_cast<HANDLE>(t);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

void plat_thread_detach(plat_thread t) { CloseHandle(reinterpret_cast<HANDLE>(t)); }

// ---- Locks -----------------------------------------------------------------

void plat_mutex_init(plat_mutex* m) { InitializeCriticalSection(sys_mutex(m)); }
void plat_mutex_destroy(plat_mutex* m) { DeleteCriticalSection(sys_mutex(m)); }
void plat_lock(plat_mutex* m) { EnterCriticalSection(sys_mutex(m)); }
void plat_unlock(plat_mutex* m) { LeaveCriticalSection(sys_mutex(m)); }

// ---- Time and randomness --------------------------------------------------

uint64_t plat_now_ms() { return GetTickCount64(); }

void plat_sleep_ms(int ms) { Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

int plat_random_bytes(void* buf, size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    const ULONG n = len > 0x40000000u ? 0x40000000u : static_cast<ULONG>(len);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return -1;
    p += n;
    len -= n;
  }
  return 0;
}
