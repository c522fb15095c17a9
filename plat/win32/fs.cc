// The Windows file system: file status from open handles, canonical paths,
// volume space, folder enumeration from batches of directory records,
// positional reads, and the walks beneath a root that open each name inside
// the folder held before it, with full sharing and no reparse point
// followed; the failure causes, and the count of opens. Every path is UTF-8
// here and UTF-16 for the system.
#include "plat/win32/win32_internal.h"

#include <winternl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

using namespace plat_win32;  // the helpers of win32_internal.h

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Files and folders opened by path so far (every CreateFileW goes through
// open_counted).
volatile LONG64 g_opens = 0;

HANDLE open_counted(const wchar_t* w, DWORD access, DWORD share, DWORD flags) {
  InterlockedIncrement64(&g_opens);
  return CreateFileW(w, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Seconds since 1970 from a file time (100 ns units since 1601).
int64_t unix_seconds(uint64_t t) { return static_cast<int64_t>(t / 10000000u) - 11644473600LL; }

using nt_query_file_fn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

// "." and ".." would lead a walk beneath a root sideways or above it.
bool dot_component(const char* s, size_t n) { return s[0] == '.' && (n == 1 || (n == 2 && s[1] == '.')); }

// A name that the system reads as a device in any folder: CON, PRN, AUX,
// NUL, COM0 to COM9 and LPT0 to LPT9 (also with the digits written as
// superscripts), CONIN$ and CONOUT$, in any case, with or without an
// extension and trailing spaces.
bool device_name(const char* s, size_t n) {
  size_t base = 0;
  while (base < n && s[base] != '.') base++;
  while (base > 0 && s[base - 1] == ' ') base--;
  auto is = [&](const char* word) { return base == strlen(word) && _strnicmp(s, word, base) == 0; };
  if (is("CON") || is("PRN") || is("AUX") || is("NUL") || is("CONIN$") || is("CONOUT$")) return true;
  if (base < 4 || (_strnicmp(s, "COM", 3) != 0 && _strnicmp(s, "LPT", 3) != 0)) return false;
  const unsigned char* d = reinterpret_cast<const unsigned char*>(s) + 3;
  if (base == 4) return d[0] >= '0' && d[0] <= '9';
  // U+00B9, U+00B2 and U+00B3 in UTF-8.
  return base == 5 && d[0] == 0xC2 && (d[1] == 0xB9 || d[1] == 0xB2 || d[1] == 0xB3);
}

DWORD access_for(open_for p) {
  switch (p) {
    case kTraverse:
      return FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    case kList:
      return FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    case kLook:
      return FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    case kDescribe:
      return FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    case kRead:
      break;
  }
  return GENERIC_READ;
}

using nt_create_file_fn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                           ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using nt_status_to_error_fn = ULONG(NTAPI*)(NTSTATUS);

}  // namespace

namespace plat_win32 {

DWORD link_bit_only(DWORD attrs, DWORD tag) {
  if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) && !plat_reparse_tag_is_link(tag)) attrs &= ~FILE_ATTRIBUTE_REPARSE_POINT;
  return attrs;
}

DWORD path_attributes(const wchar_t* w) {
  const DWORD attrs = GetFileAttributesW(w);
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return attrs;
  // The find data carries the tag (0 when it cannot be read: a link).
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileExW(w, FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
  if (f == INVALID_HANDLE_VALUE) return attrs;
  FindClose(f);
  return link_bit_only(attrs, (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? fd.dwReserved0 : 0);
}

void fill_stat(plat_statbuf* st, const file_desc& f) {
  st->is_link = (f.own_attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
  st->is_dir = (f.attrs & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  st->is_reg = 1 - st->is_dir;
  st->size = static_cast<int64_t>(f.size);
  st->fileid = f.fileid;
  st->nlink = f.nlink;
  st->mtime = unix_seconds(f.written);
  st->mtime_ns = st->mtime * 1000000000LL;
  st->atime = unix_seconds(f.accessed);
  st->ctime = unix_seconds(f.created);
  const bool read_only = (f.own_attrs & FILE_ATTRIBUTE_READONLY) != 0;
  st->mode = (read_only ? 0444u : 0666u) | (st->is_dir ? 0111u : 0u);
  st->uid = 0;
  st->gid = 0;
  st->dev = 0;
}

bool describe(HANDLE h, file_desc* d) {
  static const auto query = reinterpret_cast<nt_query_file_fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
  FILE_BASIC_INFO bi;
  FILE_STANDARD_INFO si;
  FILE_INTERNAL_INFORMATION ii;
  IO_STATUS_BLOCK io;
  if (query == nullptr || !GetFileInformationByHandleEx(h, FileBasicInfo, &bi, sizeof bi) ||
      !GetFileInformationByHandleEx(h, FileStandardInfo, &si, sizeof si) ||
      query(h, &io, &ii, sizeof ii, FileInternalInformation) < 0) {
    return false;
  }
  if (bi.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    FILE_ATTRIBUTE_TAG_INFO ti = {};
    bi.FileAttributes = link_bit_only(
        bi.FileAttributes, GetFileInformationByHandleEx(h, FileAttributeTagInfo, &ti, sizeof ti) ? ti.ReparseTag : 0);
  }
  *d = file_desc{bi.FileAttributes, bi.FileAttributes, static_cast<uint64_t>(si.EndOfFile.QuadPart),
                 static_cast<uint64_t>(ii.IndexNumber.QuadPart), si.NumberOfLinks,
                 static_cast<uint64_t>(bi.LastWriteTime.QuadPart), static_cast<uint64_t>(bi.LastAccessTime.QuadPart),
                 static_cast<uint64_t>(bi.CreationTime.QuadPart), si.DeletePending != 0};
  return true;
}

bool unsafe_component(const char* s, size_t n) {
  if (n == 0) return true;
  if (dot_component(s, n) || device_name(s, n)) return true;
  for (size_t i = 0; i < n; i++) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
      return true;
  }
  return s[n - 1] == '.' || s[n - 1] == ' ';
}

char* join_path(const char* dir, const char* name, size_t name_len) {
  const size_t dl = strlen(dir);
  // An empty name joins to the folder itself, with no separator after it:
  // that is the path the system gives back for it.
  const bool sep = dl > 0 && name_len > 0 && dir[dl - 1] != '\\' && dir[dl - 1] != '/';
  auto* out = static_cast<char*>(malloc(dl + (sep ? 1 : 0) + name_len + 1));
  if (out == nullptr) return nullptr;
  memcpy(out, dir, dl);
  size_t n = dl;
  if (sep) out[n++] = '\\';
  memcpy(out + n, name, name_len);
  out[n + name_len] = 0;
  return out;
}

wchar_t* final_path(HANDLE h) {
  constexpr DWORD kCap = 32767;
  auto* buf = static_cast<wchar_t*>(malloc(kCap * sizeof(wchar_t)));
  if (buf == nullptr) return nullptr;
  const DWORD n = GetFinalPathNameByHandleW(h, buf, kCap, 0);
  if (n == 0 || n > kCap - 1) {
    free(buf);
    return nullptr;
  }
  size_t skip = 0;
  if (wcsncmp(buf, L"\\\\?\\UNC\\", 8) == 0) {
    buf[6] = L'\\';
    skip = 6;
  } else if (wcsncmp(buf, L"\\\\?\\", 4) == 0) {
    skip = 4;
  }
  memmove(buf, buf + skip, (n + 1 - skip) * sizeof(wchar_t));
  return buf;
}

HANDLE open_held(HANDLE parent, const char* name, size_t n, const wchar_t* w, open_for p) {
  const DWORD access = access_for(p);
  if (parent == nullptr) {
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (p == kRead ? FILE_FLAG_SEQUENTIAL_SCAN : FILE_FLAG_BACKUP_SEMANTICS);
    return open_counted(w, access, kShareAll, flags);
  }
  static const auto create = reinterpret_cast<nt_create_file_fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
  static const auto to_error = reinterpret_cast<nt_status_to_error_fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
  wchar_t wname[1024];
  const int wl = n == 0 || n >= 1024 ? 0
                                     : MultiByteToWideChar(CP_UTF8, 0, name, static_cast<int>(n), wname, 1023);
  if (create == nullptr || to_error == nullptr || wl <= 0) {
    SetLastError(kRefused);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING us;
  us.Buffer = wname;
  us.Length = static_cast<USHORT>(wl * sizeof(wchar_t));
  us.MaximumLength = us.Length;
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK io;
  memset(&io, 0, sizeof io);
  const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                        (p == kRead ? (FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY) : FILE_OPEN_FOR_BACKUP_INTENT);
  HANDLE h = nullptr;
  InterlockedIncrement64(&g_opens);
  const NTSTATUS st = create(&h, access, &oa, &io, nullptr, 0, kShareAll, FILE_OPEN, options, nullptr, 0);
  if (st < 0) {
    SetLastError(to_error(st));
    return INVALID_HANDLE_VALUE;
  }
  FILE_ATTRIBUTE_TAG_INFO ti = {};
  if (p != kRead || !GetFileInformationByHandleEx(h, FileAttributeTagInfo, &ti, sizeof ti) ||
      !(ti.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || plat_reparse_tag_is_link(ti.ReparseTag)) {
    return h;
  }
  // A file whose reparse point is no link (deduplicated, compressed by the
  // system, a cloud placeholder) gives its content only through the
  // system's handling of that reparse point: opened again without
  // FILE_OPEN_REPARSE_POINT, and kept only when that is the same file
  // (nothing put in its place in between).
  HANDLE data = nullptr;
  InterlockedIncrement64(&g_opens);
  const NTSTATUS again = create(&data, access, &oa, &io, nullptr, 0, kShareAll, FILE_OPEN,
                                options & ~static_cast<ULONG>(FILE_OPEN_REPARSE_POINT), nullptr, 0);
  file_desc was, now;
  const bool same = again >= 0 && describe(h, &was) && describe(data, &now) && was.fileid == now.fileid;
  CloseHandle(h);
  if (!same) {
    if (again >= 0) CloseHandle(data);
    SetLastError(kRefused);
    return INVALID_HANDLE_VALUE;
  }
  return data;
}

HANDLE open_and_describe(HANDLE parent, const char* name, size_t n, const wchar_t* w, open_for p, file_desc* fd) {
  HANDLE h = open_held(parent, name, n, w, p);
  if (h == INVALID_HANDLE_VALUE) return h;
  const DWORD own = path_attributes(w);
  if (own == INVALID_FILE_ATTRIBUTES || GetFileType(h) != FILE_TYPE_DISK || !describe(h, fd)) {
    CloseHandle(h);
    SetLastError(kRefused);
    return INVALID_HANDLE_VALUE;
  }
  fd->attrs |= own & FILE_ATTRIBUTE_REPARSE_POINT;
  fd->own_attrs = fd->attrs;
  return h;
}

bool hold_plain_dir(const char* name, size_t n, const char* path, open_for p, held_walk* hw) {
  if (hw->n >= held_walk::kMax) return false;
  wstr w(path);
  if (w.p == nullptr) return false;
  file_desc fd;
  HANDLE h = open_and_describe(hw->top(), name, n, w.p, p, &fd);
  const bool listed = p != kLook || h != INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE && p == kLook && GetLastError() == ERROR_ACCESS_DENIED) {
    h = open_and_describe(hw->top(), name, n, w.p, kTraverse, &fd);
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  if (!(fd.attrs & FILE_ATTRIBUTE_DIRECTORY) || (fd.attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    SetLastError(kRefused);
    return false;
  }
  hw->listed[hw->n] = listed && p != kTraverse && p != kDescribe;
  hw->id[hw->n] = fd.fileid;
  hw->h[hw->n++] = h;
  return true;
}

HANDLE reopen_to_list(HANDLE dir) {
  InterlockedIncrement64(&g_opens);
  HANDLE h = ReOpenFile(dir, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                        FILE_FLAG_BACKUP_SEMANTICS);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

char* walk_beneath(const char* root, const char* rel, held_walk* hw, open_for end_dir, const char** last,
                   open_for way) {
  SetLastError(kRefused);
  if (root == nullptr || rel == nullptr || root[0] == 0) return nullptr;
  if (!hold_plain_dir(nullptr, 0, root, rel[0] == 0 ? end_dir : way, hw)) return nullptr;
  char* cur = static_cast<char*>(malloc(strlen(root) + 1));
  if (cur == nullptr) return nullptr;
  strcpy(cur, root);
  const char* p = rel;
  for (;;) {
    const char* slash = strchr(p, '/');
    const size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if (slash == nullptr && n == 0) {  // empty rel, or a trailing "/"
      *last = p;
      return cur;
    }
    if (unsafe_component(p, n)) break;
    char* next = join_path(cur, p, n);
    free(cur);
    cur = next;
    if (cur == nullptr) return nullptr;
    if (slash == nullptr) {
      *last = p;
      return cur;
    }
    if (!hold_plain_dir(p, n, cur, slash[1] == 0 ? end_dir : way, hw)) break;
    p = slash + 1;
  }
  const DWORD why = GetLastError();
  free(cur);
  SetLastError(why == ERROR_SUCCESS ? kRefused : why);
  return nullptr;
}

bool plain_file(HANDLE h, bool refuse_link, const wchar_t* w) {
  file_desc fd;
  if (GetFileType(h) != FILE_TYPE_DISK || !describe(h, &fd) || (fd.attrs & FILE_ATTRIBUTE_DIRECTORY) ||
      (refuse_link && ((fd.attrs & FILE_ATTRIBUTE_REPARSE_POINT) ||
                       (path_attributes(w) & FILE_ATTRIBUTE_REPARSE_POINT)))) {
    CloseHandle(h);
    SetLastError(kRefused);
    return false;
  }
  return true;
}

int64_t read_at(HANDLE h, uint64_t off, void* dst, uint64_t len) {
  const DWORD n = len > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(len);
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.Offset = static_cast<DWORD>(off & 0xFFFFFFFFu);
  ov.OffsetHigh = static_cast<DWORD>(off >> 32);
  DWORD got = 0;
  if (!ReadFile(h, dst, n, &got, &ov)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    // An offset beyond what the system accepts is refused as a bad
    // parameter; it lies past the end all the same.
    LARGE_INTEGER size;
    if (GetFileSizeEx(h, &size) && off >= static_cast<uint64_t>(size.QuadPart)) return 0;
    return -1;
  }
  // A file cut shorter during the read may have had the cut-off bytes
  // zeroed under the read: only bytes below the size it has now are its own.
  LARGE_INTEGER after;
  if (got > 0 && GetFileSizeEx(h, &after) && static_cast<uint64_t>(after.QuadPart) < off + got) {
    const uint64_t size = static_cast<uint64_t>(after.QuadPart);
    got = size > off ? static_cast<DWORD>(size - off) : 0;
  }
  return got;
}

}  // namespace plat_win32

// ---- Counters ----------------------------------------------------------------

uint64_t plat_open_count() { return static_cast<uint64_t>(InterlockedCompareExchange64(&g_opens, 0, 0)); }

// ---- Failures --------------------------------------------------------------

// Every failing operation leaves its cause as the thread's last error: that
// of the system call that failed, or kRefused for a refusal decided here.
int plat_last_failure_transient() {
  switch (GetLastError()) {
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
    case WSAEMFILE:
    case WSAENOBUFS:
      return 1;
    default:
      return 0;
  }
}

// ---- File system -----------------------------------------------------------

int plat_stat(const char* path, plat_statbuf* st, int follow) {
  memset(st, 0, sizeof *st);
  wstr w(path);
  if (w.p == nullptr) return -1;
  const DWORD attrs = path_attributes(w.p);
  if (attrs == INVALID_FILE_ATTRIBUTES) return -1;
  st->is_link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h = open_counted(w.p, FILE_READ_ATTRIBUTES, kShareAll, flags);
  if (h == INVALID_HANDLE_VALUE) return -1;
  file_desc fd;
  const bool ok = describe(h, &fd);
  CloseHandle(h);
  if (!ok) return -1;
  fd.own_attrs = attrs;
  fill_stat(st, fd);
  return 0;
}

int plat_stat_beneath(const char* root, const char* rel, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  held_walk hw;
  const char* last = nullptr;
  char* path = walk_beneath(root, rel, &hw, kDescribe, &last);
  if (path == nullptr) return -1;
  wstr w(path);
  free(path);
  if (w.p == nullptr) return -1;
  file_desc fd;
  if (last[0] == 0) {
    // The folder the walk ended on, already held and checked.
    if (!describe(hw.top(), &fd)) return -1;
  } else {
    // The last component is described without following it.
    HANDLE h = open_and_describe(hw.top(), last, strlen(last), w.p, kDescribe, &fd);
    if (h == INVALID_HANDLE_VALUE) return -1;
    CloseHandle(h);
  }
  fill_stat(st, fd);
  return 0;
}

char* plat_realpath(const char* path) {
  wstr w(path);
  if (w.p == nullptr) return nullptr;
  HANDLE h = open_counted(w.p, 0, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  wchar_t* p = final_path(h);
  CloseHandle(h);
  char* out = narrow(p);
  free(p);
  return out;
}

int plat_is_absolute(const char* path) {
  if (path == nullptr || path[0] == 0) return 0;
  if (path[0] == '/' || path[0] == '\\') return 1;
  const char c = path[0];
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return (letter && path[1] == ':') ? 1 : 0;
}

int plat_path_under(const char* path, const char* base) {
  const size_t n = strlen(base);
  if (_strnicmp(path, base, n) != 0) return 0;
  const char next = path[n];
  if (next == 0 || next == '\\' || next == '/') return 1;
  if (n == 0) return 0;
  return (base[n - 1] == '\\' || base[n - 1] == '/') ? 1 : 0;
}

int plat_fs_space(const char* path, uint64_t* total, uint64_t* avail) {
  wstr w(path);
  if (w.p == nullptr) return -1;
  char text[1024];
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.p, -1, text, sizeof text, nullptr, nullptr);
  if (n <= 0) return -1;
  const char c = text[0];
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  bool ascii = true;
  if (letter && text[1] == ':') {
    // A drive path is asked about as its volume root: C:\movies\a as C:\.
    text[2] = '\\';
    text[3] = 0;
  } else {
    for (int i = 0; text[i] != 0; i++) {
      if (static_cast<unsigned char>(text[i]) >= 0x80) ascii = false;
    }
  }
  ULARGE_INTEGER caller_free, bytes_total;
  BOOL ok;
  if (ascii) {
    ok = GetDiskFreeSpaceExA(text, &caller_free, &bytes_total, nullptr);
  } else {
    // The narrow-character call would read UTF-8 in the ANSI code page.
    ok = GetDiskFreeSpaceExW(w.p, &caller_free, &bytes_total, nullptr);
  }
  if (!ok) return -1;
  *total = bytes_total.QuadPart;
  *avail = caller_free.QuadPart;
  return 0;
}

// One entry of an enumeration: its UTF-8 name, its description and when
// that was read.
struct dir_entry {
  char* name;
  plat_statbuf st;
  uint64_t read_ms;
};

// An enumeration read from the folder's handle in batches of records that
// describe each entry (attributes, size, times and file number), so that
// no entry is opened. Every entry read is kept with its description:
// plat_readdir hands them out in order, and plat_dir_stat finds a name
// among them, reading further batches when it is not there yet.
// A description older than PLAT_DESC_FRESH_MS is read again before
// plat_dir_stat gives it: a second handle on the folder reads it once more
// from the start in small batches, as far as the entry asked for, so that a
// listing walked in order reads each record about twice in all.
struct plat_dir {
  HANDLE h;
  unsigned char* batch;  // the last batch of records
  DWORD at;              // offset of the next record in the batch
  int batch_left;        // 1 while the batch holds records not yet read
  int ended;             // 1 once the folder has no more records
  uint64_t batch_ms;     // when the last batch was read
  dir_entry* seen;
  size_t n_seen, cap_seen;
  size_t handed;  // entries handed out by plat_readdir
  size_t look;    // where plat_dir_stat looks first (names come in order)
  char* folder;   // the folder's path as given, for names not enumerated
  HANDLE again;                // the second handle; null until needed
  unsigned char* again_batch;  // its batch
  size_t again_at;             // the entry its next record is expected to be
};

namespace {

constexpr DWORD kDirBatch = 65536;
// The batches in which descriptions are read again: about a listing reply's
// worth of entries, so that each is read shortly before it is given.
constexpr DWORD kAgainBatch = 8192;

// The description a record carries.
void stat_from_record(const FILE_ID_BOTH_DIR_INFO* r, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  // A reparse point's record carries its tag where extended attributes'
  // size would be.
  const DWORD attrs = link_bit_only(r->FileAttributes, r->EaSize);
  // The records carry no link count: every entry counts as one link.
  fill_stat(st, file_desc{attrs, attrs, static_cast<uint64_t>(r->EndOfFile.QuadPart),
                          static_cast<uint64_t>(r->FileId.QuadPart), 1, static_cast<uint64_t>(r->LastWriteTime.QuadPart),
                          static_cast<uint64_t>(r->LastAccessTime.QuadPart),
                          static_cast<uint64_t>(r->CreationTime.QuadPart)});
}

// The record's name in UTF-8 into out (of size cap): its length, or 0 for
// "." and "..", a name that does not fit, or one that cannot be converted.
int record_name(const FILE_ID_BOTH_DIR_INFO* r, char* out, int cap) {
  const wchar_t* wn = r->FileName;
  const int wl = static_cast<int>(r->FileNameLength / sizeof(wchar_t));
  if (wl == 0 || (wn[0] == L'.' && (wl == 1 || (wl == 2 && wn[1] == L'.')))) return 0;
  const int n = WideCharToMultiByte(CP_UTF8, 0, wn, wl, out, cap - 1, nullptr, nullptr);
  if (n <= 0) return 0;
  out[n] = 0;
  return n;
}

// Reads the next batch of records; false at the end of the folder or on
// failure (`ended` set either way).
bool dir_next_batch(plat_dir* d) {
  if (d->ended) return false;
  if (!GetFileInformationByHandleEx(d->h, FileIdBothDirectoryInfo, d->batch, kDirBatch)) {
    d->ended = 1;
    return false;
  }
  d->at = 0;
  d->batch_left = 1;
  d->batch_ms = plat_now_ms();
  return true;
}

// Reads one more entry ("." and ".." skipped) into d->seen. False at the end.
bool dir_read_one(plat_dir* d) {
  for (;;) {
    if (!d->batch_left && !dir_next_batch(d)) return false;
    const auto* r = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(d->batch + d->at);
    if (r->NextEntryOffset == 0) {
      d->batch_left = 0;
    } else {
      d->at += r->NextEntryOffset;
    }
    const wchar_t* wn = r->FileName;
    const int wl = static_cast<int>(r->FileNameLength / sizeof(wchar_t));
    if (wl == 0 || (wn[0] == L'.' && (wl == 1 || (wl == 2 && wn[1] == L'.')))) continue;
    const int n = WideCharToMultiByte(CP_UTF8, 0, wn, wl, nullptr, 0, nullptr, nullptr);
    if (n <= 0) continue;
    if (d->n_seen == d->cap_seen) {
      const size_t cap = d->cap_seen ? d->cap_seen * 2 : 64;
      auto* grown = static_cast<dir_entry*>(realloc(d->seen, cap * sizeof(dir_entry)));
      if (grown == nullptr) return false;
      d->seen = grown;
      d->cap_seen = cap;
    }
    auto* name = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (name == nullptr) return false;
    WideCharToMultiByte(CP_UTF8, 0, wn, wl, name, n, nullptr, nullptr);
    name[n] = 0;
    dir_entry* e = &d->seen[d->n_seen++];
    e->name = name;
    stat_from_record(r, &e->st);
    e->read_ms = d->batch_ms;
    return true;
  }
}

// Reads the folder again through the second handle, from where it stopped
// (from the start when entry i lies behind it), renewing the description of
// each entry whose name comes up, until entry i has been renewed or the
// folder ends. True when entry i was renewed.
bool dir_read_again(plat_dir* d, size_t i) {
  if (d->again != nullptr && d->again_at > i) {
    CloseHandle(d->again);
    d->again = nullptr;
  }
  if (d->again == nullptr) {
    if (d->again_batch == nullptr) d->again_batch = static_cast<unsigned char*>(malloc(kAgainBatch));
    if (d->again_batch == nullptr) return false;
    d->again = reopen_to_list(d->h);
    if (d->again == nullptr) return false;
    d->again_at = 0;
  }
  char name[1024];
  // Bounded by the folder: each batch moves on by at least one record.
  for (;;) {
    if (!GetFileInformationByHandleEx(d->again, FileIdBothDirectoryInfo, d->again_batch, kAgainBatch)) return false;
    const uint64_t now = plat_now_ms();
    for (DWORD at = 0;;) {
      const auto* r = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(d->again_batch + at);
      if (record_name(r, name, sizeof name) > 0) {
        // Records come in the order of the first reading; a name not where
        // it is expected is looked for a little further on (entries gone
        // since), and a name not found is new since and left alone.
        for (size_t j = d->again_at; j < d->n_seen && j < d->again_at + 64; j++) {
          if (strcmp(d->seen[j].name, name) != 0) continue;
          stat_from_record(r, &d->seen[j].st);
          d->seen[j].read_ms = now;
          d->again_at = j + 1;
          break;
        }
      }
      if (r->NextEntryOffset == 0) break;
      at += r->NextEntryOffset;
    }
    if (d->again_at > i) return now - d->seen[i].read_ms <= PLAT_DESC_FRESH_MS;
  }
}

// Takes over `h`, a folder opened for listing, and reads the first batch.
// Null (handle closed) when the handle is no folder or memory runs out.
plat_dir* dir_from_handle(HANDLE h, const char* path) {
  auto* d = static_cast<plat_dir*>(calloc(1, sizeof(plat_dir)));
  auto* batch = static_cast<unsigned char*>(malloc(kDirBatch));
  const size_t len = strlen(path);
  auto* folder = static_cast<char*>(malloc(len + 1));
  if (d == nullptr || batch == nullptr || folder == nullptr) {
    free(d);
    free(batch);
    free(folder);
    CloseHandle(h);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  memcpy(folder, path, len + 1);
  d->h = h;
  d->batch = batch;
  d->folder = folder;
  // A folder with no records at all (a volume's root may have no "." or
  // "..") is empty; any other failure means that h is no folder.
  if (!dir_next_batch(d) && GetLastError() != ERROR_NO_MORE_FILES) {
    const DWORD why = GetLastError();
    plat_closedir(d);
    SetLastError(why);
    return nullptr;
  }
  return d;
}

}  // namespace

plat_dir* plat_opendir(const char* path) {
  if (path == nullptr) return nullptr;
  wstr w(path[0] ? path : ".");
  if (w.p == nullptr) return nullptr;
  HANDLE h = open_counted(w.p, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return dir_from_handle(h, path);
}

const char* plat_readdir(plat_dir* d) {
  if (d == nullptr) return nullptr;
  if (d->handed == d->n_seen && !dir_read_one(d)) return nullptr;
  return d->seen[d->handed++].name;
}

void plat_closedir(plat_dir* d) {
  if (d == nullptr) return;
  CloseHandle(d->h);
  if (d->again != nullptr) CloseHandle(d->again);
  free(d->again_batch);
  for (size_t i = 0; i < d->n_seen; i++) free(d->seen[i].name);
  free(d->seen);
  free(d->batch);
  free(d->folder);
  free(d);
}

int plat_dir_stat(plat_dir* d, const char* name, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  if (d == nullptr || name == nullptr) return -1;
  if (name[0] == 0) {
    file_desc fd;
    if (!describe(d->h, &fd)) return -1;
    fill_stat(st, fd);
    return 0;
  }
  // Names are usually asked for in the folder's order: the entry after
  // the last match is tried first, then that match once more (a listing
  // whose reply ran out of room resumes at the entry that did not fit),
  // then the entries not read yet, and only then all those read before, so
  // a long listing in many calls never scans what it has passed. Names are
  // compared exactly: one that differs only in case is another entry.
  const auto found = [&](size_t i) {
    if (strcmp(d->seen[i].name, name) != 0) return false;
    d->look = i + 1;
    return true;
  };
  bool hit = (d->look < d->n_seen && found(d->look)) || (d->look > 0 && d->look <= d->n_seen && found(d->look - 1));
  while (!hit && dir_read_one(d)) hit = found(d->n_seen - 1);
  for (size_t i = 0; !hit && i < d->n_seen; i++) hit = found(i);
  // A description read too long ago is read again; one that cannot be
  // (the name gone since) is read by the name's path below.
  if (hit) {
    const size_t i = d->look - 1;
    if (plat_now_ms() - d->seen[i].read_ms <= PLAT_DESC_FRESH_MS || dir_read_again(d, i)) {
      *st = d->seen[i].st;
      return 0;
    }
  }
  // Not among the folder's entries (gone since, or a name the folder
  // lists in another form): described by its path, as a link itself.
  char* path = join_path(d->folder, name, strlen(name));
  if (path == nullptr) return -1;
  const int r = plat_stat(path, st, 0);
  free(path);
  return r;
}

struct plat_file {
  HANDLE h;
};

namespace {

// plain_file, and the handle taken over by a new plat_file.
plat_file* file_from_handle(HANDLE h, bool refuse_link, const wchar_t* w) {
  if (!plain_file(h, refuse_link, w)) return nullptr;
  auto* f = static_cast<plat_file*>(malloc(sizeof(plat_file)));
  if (f == nullptr) {
    CloseHandle(h);
    return nullptr;
  }
  f->h = h;
  return f;
}

// True when a path names a device rather than a file on disk, by its form
// alone: the device name spaces "\\.\" and "\\?\" other than a drive or
// UNC path, or a last component that is a device name.
bool device_path(const char* path) {
  const auto sep = [](char c) { return c == '\\' || c == '/'; };
  if (sep(path[0]) && sep(path[1]) && (path[2] == '.' || path[2] == '?') && sep(path[3])) {
    if (path[2] == '.') return true;
    const char* r = path + 4;
    const bool drive = ((r[0] | 0x20) >= 'a' && (r[0] | 0x20) <= 'z') && r[1] == ':';
    if (!drive && _strnicmp(r, "UNC", 3) != 0) return true;
  }
  const char* last = path;
  for (const char* p = path; *p; p++) {
    if (sep(*p) || *p == ':') last = p + 1;
  }
  return device_name(last, strlen(last));
}

}  // namespace

plat_file* plat_fopen_read(const char* path) {
  SetLastError(kRefused);
  if (path == nullptr || device_path(path)) return nullptr;
  wstr w(path);
  if (w.p == nullptr) return nullptr;
  // The attributes are read without opening the object for reading; only
  // what they show as a plain file is opened.
  const DWORD attrs = GetFileAttributesW(w.p);
  if (attrs == INVALID_FILE_ATTRIBUTES) return nullptr;
  if (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    SetLastError(kRefused);
    return nullptr;
  }
  HANDLE h = open_counted(w.p, GENERIC_READ, kShareAll, FILE_FLAG_SEQUENTIAL_SCAN);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return file_from_handle(h, false, w.p);
}

int64_t plat_fread_at(plat_file* f, uint64_t off, void* dst, uint64_t len) {
  if (f == nullptr) return -1;
  return read_at(f->h, off, dst, len);
}

void plat_fclose(plat_file* f) {
  if (f == nullptr) return;
  CloseHandle(f->h);
  free(f);
}

plat_file* plat_fopen_beneath(const char* root, const char* rel) {
  held_walk hw;
  const char* last = nullptr;
  char* path = walk_beneath(root, rel, &hw, kTraverse, &last);
  if (path == nullptr) return nullptr;
  // A folder (the root itself, or a name followed by "/") is never a file.
  wstr w(last[0] == 0 ? nullptr : path);
  free(path);
  if (w.p == nullptr) {
    SetLastError(kRefused);
    return nullptr;
  }
  HANDLE h = open_held(hw.top(), last, strlen(last), w.p, kRead);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return file_from_handle(h, true, w.p);
}

plat_dir* plat_opendir_beneath(const char* root, const char* rel) {
  held_walk hw;
  const char* last = nullptr;
  char* path = walk_beneath(root, rel, &hw, kList, &last);
  if (path == nullptr) return nullptr;
  // The folder itself must be a plain folder too; the handle that held it
  // for the check is the one the enumeration reads.
  plat_dir* d = nullptr;
  if (last[0] == 0 || hold_plain_dir(last, strlen(last), path, kList, &hw)) d = dir_from_handle(hw.h[--hw.n], path);
  free(path);
  return d;
}

int plat_last_failure_denied() { return GetLastError() == ERROR_ACCESS_DENIED ? 1 : 0; }

void plat_last_failure_text(char* out, size_t outlen) { error_text(GetLastError(), out, outlen); }

int plat_access_check(const char*, int*, int*) { return -1; }
