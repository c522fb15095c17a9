// Windows held folders and files: handles opened with full sharing inside
// the folder held before them, proven where they lie by their identity:
// each name of the path, asked of the folder it lies in (a handle on that
// folder kept for that one name), must still lead to the very file number
// held, and be no link. The path the system gives for an open handle is no
// proof: Wine gives the path it was opened at, whatever has moved since.
#include "plat/win32/win32_internal.h"

#include <winternl.h>

#include <cstdlib>
#include <cstring>

using namespace plat_win32;  // the helpers of win32_internal.h

namespace {

// One name of a held object's path below the root: the folder it lies in,
// open for listing and asked only for this name (the system keeps the
// first name asked of a folder's handle for every later question, Wine
// even when the question starts over), and the file number the name led
// to when the object was held. look is null where the folder may not be
// listed; the object is then never proven, only opened again.
struct proof_step {
  HANDLE look;
  wchar_t* name;
  uint64_t id;
};

}  // namespace

struct plat_held {
  HANDLE h;
  int is_file;
  int readable;  // a file opened for its data, not only for its attributes
  char* path;    // the full path it was opened at
  int depth;     // components below the root
  proof_step* steps;
};

namespace {

using nt_query_dir_fn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                         FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
// FileIdBothDirectoryInformation, which winternl.h does not name.
constexpr int kFileIdBothDirectoryInformation = 37;

void free_steps(proof_step* steps, int n) {
  for (int i = 0; i < n; i++) {
    if (steps[i].look != nullptr) CloseHandle(steps[i].look);
    free(steps[i].name);
  }
  free(steps);
}

plat_held* held_from_handle(HANDLE h, int is_file, char* path, proof_step* steps, int depth) {
  auto* held = static_cast<plat_held*>(malloc(sizeof(plat_held)));
  if (held == nullptr) {
    CloseHandle(h);
    free(path);
    free_steps(steps, depth);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  held->h = h;
  held->is_file = is_file;
  held->readable = is_file;
  held->path = path;
  held->depth = depth;
  held->steps = steps;
  return held;
}

// The steps of an object held in the held folder dir under `name`: dir's
// own steps (their folders' handles duplicated: the same open folders,
// asked for the same names) and a new handle on dir, for `name` alone.
// Null when memory runs out; a step whose folder cannot be had is left
// without one (never proven).
proof_step* steps_below(const plat_held* dir, const char* name, uint64_t id) {
  auto* steps = static_cast<proof_step*>(calloc(static_cast<size_t>(dir->depth) + 1, sizeof(proof_step)));
  if (steps == nullptr) return nullptr;
  for (int i = 0; i <= dir->depth; i++) {
    const bool last = i == dir->depth;
    steps[i].id = last ? id : dir->steps[i].id;
    steps[i].name = wide(last ? name : nullptr);
    if (!last) {
      const size_t n = wcslen(dir->steps[i].name) + 1;
      steps[i].name = static_cast<wchar_t*>(malloc(n * sizeof(wchar_t)));
      if (steps[i].name != nullptr) memcpy(steps[i].name, dir->steps[i].name, n * sizeof(wchar_t));
    }
    if (steps[i].name == nullptr) {
      free_steps(steps, i + 1);
      return nullptr;
    }
    if (last) {
      steps[i].look = reopen_to_list(dir->h);
    } else if (dir->steps[i].look != nullptr &&
               !DuplicateHandle(GetCurrentProcess(), dir->steps[i].look, GetCurrentProcess(), &steps[i].look, 0,
                                FALSE, DUPLICATE_SAME_ACCESS)) {
      steps[i].look = nullptr;
    }
  }
  return steps;
}

// Whether the step's name, asked of its folder without opening anything,
// still leads to the file number held there, is no link, and (for the last
// step) is a folder exactly when `dir` says so, an earlier one always.
bool step_holds(const proof_step& s, bool last, bool dir) {
  static const auto query = reinterpret_cast<nt_query_dir_fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryDirectoryFile")));
  if (s.look == nullptr || query == nullptr) return false;
  alignas(8) unsigned char buf[sizeof(FILE_ID_BOTH_DIR_INFO) + 2 * 1024];
  UNICODE_STRING mask;
  mask.Buffer = s.name;
  mask.Length = static_cast<USHORT>(wcslen(s.name) * sizeof(wchar_t));
  mask.MaximumLength = mask.Length;
  IO_STATUS_BLOCK io;
  memset(&io, 0, sizeof io);
  if (query(s.look, nullptr, nullptr, nullptr, &io, buf, sizeof buf,
            static_cast<FILE_INFORMATION_CLASS>(kFileIdBothDirectoryInformation), TRUE, &mask, TRUE) < 0) {
    return false;
  }
  const auto* r = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buf);
  // The name itself, not a short name of another entry that matches it.
  if (CompareStringOrdinal(r->FileName, static_cast<int>(r->FileNameLength / sizeof(wchar_t)), s.name, -1, TRUE) !=
          CSTR_EQUAL ||
      static_cast<uint64_t>(r->FileId.QuadPart) != s.id) {
    return false;
  }
  const DWORD attrs = link_bit_only(r->FileAttributes, r->EaSize);
  const bool is_dir = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return !(attrs & FILE_ATTRIBUTE_REPARSE_POINT) && (last ? is_dir == dir : is_dir);
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
  // Every folder on the way is kept to prove the name after it.
  char* path = walk_beneath(root, rel, &hw, kTraverse, &last, kLook);
  if (path == nullptr) return nullptr;
  if (last[0] != 0 && !hold_plain_dir(last, strlen(last), path, kTraverse, &hw)) {
    const DWORD why = GetLastError();
    free(path);
    SetLastError(why);
    return nullptr;
  }
  const int depth = hw.n - 1;
  auto* steps = static_cast<proof_step*>(calloc(static_cast<size_t>(depth) + 1, sizeof(proof_step)));
  const char* name = rel;
  for (int i = 0; steps != nullptr && i < depth; i++) {
    const char* slash = strchr(name, '/');
    const size_t n = slash != nullptr ? static_cast<size_t>(slash - name) : strlen(name);
    const int wl = MultiByteToWideChar(CP_UTF8, 0, name, static_cast<int>(n), nullptr, 0);
    steps[i].name = static_cast<wchar_t*>(calloc(static_cast<size_t>(wl) + 1, sizeof(wchar_t)));
    if (steps[i].name == nullptr) {
      free_steps(steps, i + 1);
      steps = nullptr;
      break;
    }
    MultiByteToWideChar(CP_UTF8, 0, name, static_cast<int>(n), steps[i].name, wl);
    steps[i].id = hw.id[i + 1];
    if (hw.listed[i]) {
      // The walk's handle on the folder goes to the step: asked for nothing
      // yet, it is asked only for this name from now on.
      steps[i].look = hw.h[i];
      hw.h[i] = INVALID_HANDLE_VALUE;
    }
    name = slash != nullptr ? slash + 1 : name + n;
  }
  if (steps == nullptr) {
    free(path);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE h = hw.h[--hw.n];
  return held_from_handle(h, 0, path, steps, depth);
}

plat_held* plat_hold_file_at(plat_held* dir, const char* name) {
  SetLastError(kRefused);
  if (dir == nullptr || dir->is_file || name == nullptr || unsafe_component(name, strlen(name))) return nullptr;
  char* path = join_path(dir->path, name, strlen(name));
  if (path == nullptr) return nullptr;
  wstr w(path);
  HANDLE h = w.p == nullptr ? INVALID_HANDLE_VALUE : open_held(dir->h, name, strlen(name), w.p, kRead);
  file_desc fd;
  if (h == INVALID_HANDLE_VALUE || !plain_file(h, true, w.p) || !describe(h, &fd)) {
    const DWORD why = GetLastError();
    free(path);
    SetLastError(why);
    return nullptr;
  }
  proof_step* steps = steps_below(dir, name, fd.fileid);
  if (steps == nullptr) {
    CloseHandle(h);
    free(path);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return held_from_handle(h, 1, path, steps, dir->depth + 1);
}

// Each name of the path, asked of the folder held for it, still leads to
// the file number held, and is no link; the object itself is not being
// deleted. Nothing is opened. The root itself (no name below it) is proven
// by the system's path for it, where the system follows renames (Windows).
int plat_held_check(plat_held* h, const char* root, const char* rel, plat_statbuf* st) {
  if (st != nullptr) memset(st, 0, sizeof *st);
  SetLastError(kRefused);
  if (h == nullptr || root == nullptr || rel == nullptr) return -1;
  // The steps prove the path it was held at, so that must be root/rel.
  char* want = full_path(root, rel);
  bool asked = want != nullptr;
  for (size_t i = 0; asked; i++) {
    const char a = want[i] == '/' ? '\\' : want[i];
    const char b = h->path[i] == '/' ? '\\' : h->path[i];
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a) != lower(b)) asked = false;
    if (a == 0) break;
  }
  free(want);
  if (!asked) return -1;
  for (int i = 0; i < h->depth; i++) {
    if (!step_holds(h->steps[i], i == h->depth - 1, !h->is_file)) {
      SetLastError(kRefused);
      return -1;
    }
  }
  if (h->depth == 0) {
    wstr w(h->path);
    wchar_t* now = final_path(h->h);
    const bool same = w.p != nullptr && now != nullptr && CompareStringOrdinal(now, -1, w.p, -1, TRUE) == CSTR_EQUAL;
    free(now);
    if (!same) return -1;
  }
  file_desc fd;
  if (!describe(h->h, &fd) || fd.delete_pending || (fd.attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    SetLastError(kRefused);
    return -1;
  }
  if (st != nullptr) fill_stat(st, fd);
  return 0;
}

// Every held object carries the proof of its whole path; a look at the
// name in a folder proven in the same call would not make it cheaper.
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
  // are then let go).
  proof_step* steps = steps_below(dir, name, fd.fileid);
  if (steps == nullptr) {
    CloseHandle(h);
    free(path);
    return 0;
  }
  *kept = held_from_handle(h, (fd.attrs & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1, path, steps, dir->depth + 1);
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
  free_steps(h->steps, h->depth);
  free(h);
  SetLastError(why);
}
