// The wall clock and appended files on Windows: GetSystemTimePreciseAsFileTime
// with the local offset of the time zone in force, and files opened with
// FILE_APPEND_DATA, shared for reading, writing and renaming so that a
// reader or a rotation never finds them locked; standard error through the
// C runtime.
#include "plat/win32/win32_internal.h"

#include <cstdio>
#include <cstdlib>

using namespace plat_win32;  // the helpers of win32_internal.h

// ---- Wall clock ------------------------------------------------------------

void plat_wall_clock(int64_t* unix_ms, int* utc_offset_min) {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  // 100 ns ticks since 1601-01-01; 11644473600 s lie between 1601 and 1970.
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  *unix_ms = static_cast<int64_t>(ticks / 10000) - 11644473600000LL;
  TIME_ZONE_INFORMATION tz;
  const DWORD which = GetTimeZoneInformation(&tz);
  LONG bias = tz.Bias;  // minutes west of Greenwich
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
  *utc_offset_min = which == TIME_ZONE_ID_INVALID ? 0 : static_cast<int>(-bias);
}

// ---- Appended files --------------------------------------------------------

struct plat_append {
  HANDLE h;
};

plat_append* plat_append_open(const char* path) {
  wstr w(path);
  if (w.p == nullptr) return nullptr;
  const HANDLE h = CreateFileW(w.p, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* f = static_cast<plat_append*>(malloc(sizeof(plat_append)));
  if (f == nullptr) {
    CloseHandle(h);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  f->h = h;
  return f;
}

int plat_append_write(plat_append* f, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    DWORD wrote = 0;
    const DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    if (!WriteFile(f->h, p, chunk, &wrote, nullptr) || wrote == 0) return -1;
    p += wrote;
    n -= wrote;
  }
  return 0;
}

int64_t plat_append_size(plat_append* f) {
  LARGE_INTEGER size;
  return GetFileSizeEx(f->h, &size) ? static_cast<int64_t>(size.QuadPart) : -1;
}

void plat_append_close(plat_append* f) {
  if (f == nullptr) return;
  CloseHandle(f->h);
  free(f);
}

int plat_rename_over(const char* from, const char* to) {
  wstr wf(from);
  wstr wt(to);
  if (wf.p == nullptr || wt.p == nullptr) return -1;
  return MoveFileExW(wf.p, wt.p, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

// ---- Standard error --------------------------------------------------------

// Through the C runtime, which writes each "\n" as "\r\n" there. Windows
// cannot tell how much an anonymous pipe takes without waiting; the service
// writes its log to a file instead.
int plat_stderr_try_write(const void* data, size_t n) {
  fwrite(data, 1, n, stderr);
  fflush(stderr);
  return 1;
}
