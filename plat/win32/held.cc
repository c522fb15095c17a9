// Windows held folders and files: handles opened with full sharing inside
// the folder held before them, proven where they lie by their identity:
// each name of the path, asked of the folder it lies in, must still lead
// to the very file number held, and be no link. The path the system gives
// for an open handle is no proof: Wine gives the path it was opened at,
// whatever has moved since.
//
// A folder's handle keeps the first name it is asked for, for every later
// question (Wine even when the question starts over), so each name is
// asked through a handle of its own: a looker. A held folder keeps the
// lookers of the names asked of it, and every object held under one of
// those names shares that name's looker, which is opened when a proof
// first needs it (at once for a name looked up: the calls that follow a
// lookup prove what it found); a file looked up and then read is proven
// by one looker.
#include "plat/win32/win32_internal.h"

#include <winternl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

using namespace plat_win32;  // the helpers of win32_internal.h

namespace {

struct name_list;

// A handle on a folder, for asking it for one name only. Shared by every
// step that passes through that name of that folder; the last one to let
// it go closes it.
struct looker {
  int refs;
  HANDLE h;       // null until first needed (then opened from in->dir)
  bool refused;   // the folder may not be listed: the name is never proven
  wchar_t* name;
  name_list* in;  // the held folder's list it is kept in; null for a walk's own
  looker* next;
};

// The lookers of the names asked of one held folder, and the folder's
// handle, which the held folder uses and from which lookers are opened;
// kept while the folder or any of its lookers is.
struct name_list {
  int refs;
  HANDLE dir;
  looker* first;
};

// One lock for every looker's and list's count and links: held only for
// those few words, never across a system call.
SRWLOCK g_lookers = SRWLOCK_INIT;

struct lookers_guard {
  lookers_guard() { AcquireSRWLockExclusive(&g_lookers); }
  ~lookers_guard() { ReleaseSRWLockExclusive(&g_lookers); }
  lookers_guard(const lookers_guard&) = delete;
  lookers_guard& operator=(const lookers_guard&) = delete;
};

// One name of a held object's path below the root: the looker that asks
// the folder it lies in for it, and the file number the name led to when
// the object was held.
struct proof_step {
  looker* l;
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
  name_list* names;  // a folder's: the names asked of it (it owns h)
};

namespace {

using nt_query_dir_fn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                         FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
// FileIdBothDirectoryInformation, which winternl.h does not name.
constexpr int kFileIdBothDirectoryInformation = 37;
// What a folder answers for a name it does not hold.
constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006);

// Lets go of one count of the list; the last closes the folder's handle.
void list_release(name_list* nl) {
  bool last;
  {
    lookers_guard g;
    last = --nl->refs == 0;
  }
  if (!last) return;
  CloseHandle(nl->dir);
  free(nl);
}

void looker_release(looker* l) {
  if (l == nullptr) return;
  {
    lookers_guard g;
    if (--l->refs > 0) return;
    if (l->in != nullptr) {
      looker** p = &l->in->first;
      while (*p != l) p = &(*p)->next;
      *p = l->next;
    }
  }
  if (l->h != nullptr) CloseHandle(l->h);
  if (l->in != nullptr) list_release(l->in);
  free(l->name);
  free(l);
}

void looker_ref(looker* l) {
  lookers_guard g;
  l->refs++;
}

// A looker of a walk: the folder's handle, opened by the walk with list
// rights and asked for nothing yet (null when it could not be listed).
// Takes the handle over; null when memory runs out (the handle closed).
looker* walk_looker(HANDLE h, const char* name, size_t n) {
  auto* l = static_cast<looker*>(calloc(1, sizeof(looker)));
  const int wl = MultiByteToWideChar(CP_UTF8, 0, name, static_cast<int>(n), nullptr, 0);
  wchar_t* w = l == nullptr ? nullptr : static_cast<wchar_t*>(calloc(static_cast<size_t>(wl) + 1, sizeof(wchar_t)));
  if (w == nullptr) {
    free(l);
    if (h != nullptr) CloseHandle(h);
    return nullptr;
  }
  MultiByteToWideChar(CP_UTF8, 0, name, static_cast<int>(n), w, wl);
  l->refs = 1;
  l->h = h;
  l->refused = h == nullptr;
  l->name = w;
  return l;
}

// The looker of `name` in the folder's list: the one kept there (one more
// count of it), else a new one, not opened yet. Null when memory runs out
// or, with `only_kept`, when none is kept.
looker* looker_in(name_list* nl, const char* name, bool only_kept) {
  wchar_t* w = wide(name);
  if (w == nullptr) return nullptr;
  auto* fresh = only_kept ? nullptr : static_cast<looker*>(calloc(1, sizeof(looker)));
  looker* l = nullptr;
  {
    lookers_guard g;
    for (l = nl->first; l != nullptr && wcscmp(l->name, w) != 0; l = l->next) {
    }
    if (l != nullptr) {
      l->refs++;
    } else if (fresh != nullptr) {
      l = fresh;
      fresh = nullptr;
      l->refs = 1;
      l->name = w;
      w = nullptr;
      l->in = nl;
      l->next = nl->first;
      nl->first = l;
      nl->refs++;
    }
  }
  free(fresh);
  free(w);
  return l;
}

// The looker's handle, opened now when this is its first use and `open`
// is set (an open, counted as one); null when the folder may not be
// listed, or it is not open and may not be opened.
HANDLE looker_handle(looker* l, bool open) {
  {
    lookers_guard g;
    if (l->h != nullptr || l->refused || !open) return l->h;
  }
  HANDLE h = reopen_to_list(l->in->dir);
  lookers_guard g;
  if (l->h == nullptr && !l->refused) {
    // Another thread may have opened it meanwhile: the first one stays.
    l->h = h;
    l->refused = h == nullptr;
    return l->h;
  }
  if (h != nullptr) CloseHandle(h);
  return l->h;
}

// The looker's folder asked for its name, without opening the name (nor
// the looker itself unless `open` is set): 0 with the name's record in *r
// (the name itself, not a short name of another entry that matches it),
// -1 when the folder has no such name, 1 when it could not be asked. buf
// holds the record.
constexpr size_t kRecordBuf = sizeof(FILE_ID_BOTH_DIR_INFO) + 2 * 1024;
int ask(looker* l, bool open, unsigned char* buf, const FILE_ID_BOTH_DIR_INFO** r) {
  static const auto query = reinterpret_cast<nt_query_dir_fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryDirectoryFile")));
  HANDLE h = query == nullptr ? nullptr : looker_handle(l, open);
  if (h == nullptr) return 1;
  UNICODE_STRING mask;
  mask.Buffer = l->name;
  mask.Length = static_cast<USHORT>(wcslen(l->name) * sizeof(wchar_t));
  mask.MaximumLength = mask.Length;
  IO_STATUS_BLOCK io;
  memset(&io, 0, sizeof io);
  const NTSTATUS s = query(h, nullptr, nullptr, nullptr, &io, buf, kRecordBuf,
                           static_cast<FILE_INFORMATION_CLASS>(kFileIdBothDirectoryInformation), TRUE, &mask, TRUE);
  if (s == kNoSuchFile || s == kNoMoreFiles) return -1;
  if (s < 0) return 1;
  *r = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buf);
  return CompareStringOrdinal((*r)->FileName, static_cast<int>((*r)->FileNameLength / sizeof(wchar_t)), l->name, -1,
                              TRUE) == CSTR_EQUAL
             ? 0
             : -1;
}

// Whether the record is of the file number `id`, no link, and a folder
// exactly when `dir` says so. A number of 0 or all ones proves nothing:
// it is no one file's own (all ones stands for a number that does not fit
// in 64 bits, as ReFS's numbers of 128 bits may not).
bool record_is(const FILE_ID_BOTH_DIR_INFO* r, uint64_t id, bool dir) {
  const DWORD attrs = link_bit_only(r->FileAttributes, r->EaSize);
  return id != 0 && id != ~uint64_t{0} && static_cast<uint64_t>(r->FileId.QuadPart) == id &&
         !(attrs & FILE_ATTRIBUTE_REPARSE_POINT) &&
         ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) == dir;
}

// Whether the step's name, asked of its folder without opening anything,
// still leads to the file number held there, is no link, and (for the last
// step) is a folder exactly when `dir` says so, an earlier one always.
bool step_holds(const proof_step& s, bool last, bool dir) {
  alignas(8) unsigned char buf[kRecordBuf];
  const FILE_ID_BOTH_DIR_INFO* r = nullptr;
  return ask(s.l, true, buf, &r) == 0 && record_is(r, s.id, last ? dir : true);
}

void free_steps(proof_step* steps, int n) {
  if (steps == nullptr) return;
  for (int i = 0; i < n; i++) looker_release(steps[i].l);
  free(steps);
}

// Holds h: a folder with a list for the names to be asked of it, which
// takes the handle over. Null (everything let go) when memory runs out.
plat_held* held_from_handle(HANDLE h, int is_file, char* path, proof_step* steps, int depth) {
  auto* held = static_cast<plat_held*>(malloc(sizeof(plat_held)));
  auto* names = is_file ? nullptr : static_cast<name_list*>(calloc(1, sizeof(name_list)));
  if (held == nullptr || (!is_file && names == nullptr)) {
    free(held);
    free(names);
    CloseHandle(h);
    free(path);
    free_steps(steps, depth);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (names != nullptr) {
    names->refs = 1;
    names->dir = h;
  }
  held->h = h;
  held->is_file = is_file;
  held->readable = is_file;
  held->path = path;
  held->depth = depth;
  held->steps = steps;
  held->names = names;
  return held;
}

// The steps of an object held in the held folder dir under `name`: dir's
// own steps (the same lookers) and the looker of `name` in dir, opened now
// when `ask_now` is set (the object is to be proven by calls soon), else
// when a proof first needs it. Null when memory runs out.
proof_step* steps_below(const plat_held* dir, const char* name, uint64_t id, bool ask_now) {
  auto* steps = static_cast<proof_step*>(calloc(static_cast<size_t>(dir->depth) + 1, sizeof(proof_step)));
  looker* l = steps == nullptr ? nullptr : looker_in(dir->names, name, false);
  if (l == nullptr) {
    free(steps);
    return nullptr;
  }
  for (int i = 0; i < dir->depth; i++) {
    steps[i] = dir->steps[i];
    looker_ref(steps[i].l);
  }
  steps[dir->depth] = proof_step{l, id};
  if (ask_now) (void)looker_handle(l, true);
  return steps;
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

// The held object's own description, when it is neither being deleted nor
// a link: its status then goes to *st (unless st is null).
bool describe_held(plat_held* h, plat_statbuf* st) {
  file_desc fd;
  if (!describe(h->h, &fd) || fd.delete_pending || (fd.attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    SetLastError(kRefused);
    return false;
  }
  if (st != nullptr) fill_stat(st, fd);
  return true;
}

}  // namespace

plat_held* plat_hold_dir_beneath(const char* root, const char* rel) {
  held_walk hw;
  const char* last = nullptr;
  // Every folder on the way is kept to ask for the name after it.
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
    // The walk's handle on the folder goes to the step: asked for nothing
    // yet, it is asked only for this name from now on.
    HANDLE look = nullptr;
    if (hw.listed[i]) {
      look = hw.h[i];
      hw.h[i] = INVALID_HANDLE_VALUE;
    }
    steps[i].l = walk_looker(look, name, n);
    steps[i].id = hw.id[i + 1];
    if (steps[i].l == nullptr) {
      free_steps(steps, i);
      steps = nullptr;
      break;
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
  // Opened inside dir, proven in this call: its name is asked only when a
  // later call proves it (at once when a look at it kept its looker).
  proof_step* steps = steps_below(dir, name, fd.fileid, false);
  if (steps == nullptr) {
    CloseHandle(h);
    free(path);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return held_from_handle(h, 1, path, steps, dir->depth + 1);
}

// Each name of the path, asked of the folder it lies in, still leads to
// the file number held, and is no link; the object itself is not being
// deleted. Opens nothing but the lookers not opened yet. The root itself
// (no name below it) is proven by the system's path for it, where the
// system follows renames (Windows).
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
  return describe_held(h, st) ? 0 : -1;
}

// The name, asked of dir through the looker dir keeps for it, must lead
// to the file number of the folder h holds: one question, no open, where
// a proof by path asks one per component. A name with no open looker in
// dir is left to that proof: opening one would cost more.
int plat_held_check_in(plat_held* h, plat_held* dir, const char* name, plat_statbuf* st) {
  if (st != nullptr) memset(st, 0, sizeof *st);
  if (h == nullptr || dir == nullptr || h->is_file || dir->is_file || h->depth == 0 || dir->names == nullptr ||
      name == nullptr || unsafe_component(name, strlen(name))) {
    return 1;
  }
  looker* l = looker_in(dir->names, name, true);
  if (l == nullptr) return 1;
  alignas(8) unsigned char buf[kRecordBuf];
  const FILE_ID_BOTH_DIR_INFO* r = nullptr;
  const int asked = ask(l, false, buf, &r);
  looker_release(l);
  if (asked > 0) return 1;
  if (asked < 0 || !record_is(r, h->steps[h->depth - 1].id, true) || !describe_held(h, st)) {
    if (st != nullptr) memset(st, 0, sizeof *st);
    SetLastError(kRefused);
    return -1;
  }
  return 0;
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
  // are then let go). What is looked up is usually asked about again in
  // the calls that follow, so its looker is opened now, in this call.
  proof_step* steps = steps_below(dir, name, fd.fileid, true);
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
  free_steps(h->steps, h->depth);
  // A folder's handle stays open while lookers of names in it are kept.
  if (h->names != nullptr) {
    list_release(h->names);
  } else {
    CloseHandle(h->h);
  }
  free(h->path);
  free(h);
  SetLastError(why);
}
