// Windows held folders and files: handles opened with full sharing inside
// the folder held before them, proven where they lie by the path the
// system gives for the open handle, or by the path's present attributes
// where it gives the old one (Wine).
#include "plat/win32/win32_internal.h"

#include <cstdlib>
#include <cstring>

using namespace plat_win32;  // the helpers of win32_internal.h

struct plat_held {
  HANDLE h;
  int is_file;
  int readable;  // a file opened for its data, not only for its attributes
  char* path;    // the full path it was opened at
};

namespace {

uint64_t u64_of(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

plat_held* held_from_handle(HANDLE h, int is_file, char* path) {
  auto* held = static_cast<plat_held*>(malloc(sizeof(plat_held)));
  if (held == nullptr) {
    CloseHandle(h);
    free(path);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  held->h = h;
  held->is_file = is_file;
  held->readable = is_file;
  held->path = path;
  return held;
}

// root/rel as the system writes a full path: rel's "/" turned into "\\".
char* full_path(const char* root, const char* rel) {
  char* p = join_path(root, rel, strlen(rel));
  if (p == nullptr) return nullptr;
  for (char* c = p; *c; c++) {
    if (*c == '/') *c = '\\';
  }
  return p;
}

}  // namespace

plat_held* plat_hold_dir_beneath(const char* root, const char* rel) {
  held_walk hw;
  const char* last = nullptr;
  char* path = walk_beneath(root, rel, &hw, kTraverse, &last);
  if (path == nullptr) return nullptr;
  if (last[0] != 0 && !hold_plain_dir(last, strlen(last), path, kTraverse, &hw)) {
    const DWORD why = GetLastError();
    free(path);
    SetLastError(why);
    return nullptr;
  }
  return held_from_handle(hw.h[--hw.n], 0, path);
}

plat_held* plat_hold_file_at(plat_held* dir, const char* name) {
  SetLastError(kRefused);
  if (dir == nullptr || dir->is_file || name == nullptr || unsafe_component(name, strlen(name))) return nullptr;
  char* path = join_path(dir->path, name, strlen(name));
  if (path == nullptr) return nullptr;
  wstr w(path);
  HANDLE h = w.p == nullptr ? INVALID_HANDLE_VALUE : open_held(dir->h, name, strlen(name), w.p, kRead);
  if (h == INVALID_HANDLE_VALUE || !plain_file(h, true, w.p)) {
    const DWORD why = GetLastError();
    free(path);
    SetLastError(why);
    return nullptr;
  }
  return held_from_handle(h, 1, path);
}

// The system gives the path of an open object as it is now, reparse
// points resolved: when that is root/rel itself, the object still lies
// there, reached without any link or junction. Wine gives the path the
// object was opened at instead, whatever has been renamed since; there the
// path's present attributes stand in: it must still exist, be no reparse
// point, and have the object's kind, size and write time. A deleted object
// (still open, so not gone yet) is never served.
int plat_held_check(plat_held* h, const char* root, const char* rel, plat_statbuf* st) {
  if (st != nullptr) memset(st, 0, sizeof *st);
  SetLastError(kRefused);
  if (h == nullptr || root == nullptr || rel == nullptr) return -1;
  char* want = full_path(root, rel);
  wstr w(want);
  free(want);
  if (w.p == nullptr) return -1;
  wchar_t* now = final_path(h->h);
  const bool same = now != nullptr && CompareStringOrdinal(now, -1, w.p, -1, TRUE) == CSTR_EQUAL;
  free(now);
  file_desc fd;
  WIN32_FILE_ATTRIBUTE_DATA ad;
  if (!same || !describe(h->h, &fd) || fd.delete_pending || (fd.attrs & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !GetFileAttributesExW(w.p, GetFileExInfoStandard, &ad) || (ad.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      ((ad.dwFileAttributes ^ fd.attrs) & FILE_ATTRIBUTE_DIRECTORY) ||
      (h->is_file && (u64_of(ad.nFileSizeHigh, ad.nFileSizeLow) != fd.size ||
                      u64_of(ad.ftLastWriteTime.dwHighDateTime, ad.ftLastWriteTime.dwLowDateTime) != fd.written))) {
    SetLastError(kRefused);
    return -1;
  }
  if (st != nullptr) fill_stat(st, fd);
  return 0;
}

// Looking at a name here means opening it, which costs more than proving
// the held object by its own path.
int plat_held_check_in(plat_held* h, plat_held* dir, const char* name, plat_statbuf* st) {
  (void)h;
  (void)dir;
  (void)name;
  if (st != nullptr) memset(st, 0, sizeof *st);
  return 1;
}

namespace {

// Opens the name (one component) inside a held folder, for its attributes
// only, and describes it; its full path goes to *path, the caller's to free
// (null when the name is refused). The invalid handle on failure.
HANDLE open_name_in(plat_held* dir, const char* name, file_desc* fd, char** path) {
  *path = nullptr;
  SetLastError(kRefused);
  const size_t n = strlen(name);
  if (dir->is_file || unsafe_component(name, n)) return INVALID_HANDLE_VALUE;
  *path = join_path(dir->path, name, n);
  wstr w(*path);
  if (w.p == nullptr) return INVALID_HANDLE_VALUE;
  return open_and_describe(dir->h, name, n, w.p, kDescribe, fd);
}

}  // namespace

int plat_held_stat_at(plat_held* dir, const char* name, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  SetLastError(kRefused);
  if (dir == nullptr || name == nullptr) return -1;
  file_desc fd;
  if (name[0] == 0) {
    if (!describe(dir->h, &fd)) return -1;
  } else {
    char* path = nullptr;
    HANDLE h = open_name_in(dir, name, &fd, &path);
    free(path);
    if (h == INVALID_HANDLE_VALUE) return -1;
    CloseHandle(h);
  }
  fill_stat(st, fd);
  return 0;
}

int plat_held_stat_keep(plat_held* dir, const char* name, plat_statbuf* st, plat_held** kept) {
  *kept = nullptr;
  memset(st, 0, sizeof *st);
  SetLastError(kRefused);
  if (dir == nullptr || name == nullptr || name[0] == 0) return -1;
  file_desc fd;
  char* path = nullptr;
  HANDLE h = open_name_in(dir, name, &fd, &path);
  if (h == INVALID_HANDLE_VALUE) {
    free(path);
    return -1;
  }
  fill_stat(st, fd);
  if ((fd.attrs & FILE_ATTRIBUTE_REPARSE_POINT) || fd.delete_pending) {
    // What a link is, or what is going, is described but never kept.
    CloseHandle(h);
    free(path);
    return 0;
  }
  // Described either way; kept unless memory runs out (the handle and path
  // are then let go by held_from_handle).
  *kept = held_from_handle(h, (fd.attrs & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1, path);
  if (*kept != nullptr) (*kept)->readable = 0;
  return 0;
}

int64_t plat_held_read_at(plat_held* h, uint64_t off, void* dst, uint64_t len) {
  if (h == nullptr || !h->readable) return -1;
  return read_at(h->h, off, dst, len);
}

void plat_held_close(plat_held* h) {
  if (h == nullptr) return;
  const DWORD why = GetLastError();
  CloseHandle(h->h);
  free(h->path);
  free(h);
  SetLastError(why);
}
