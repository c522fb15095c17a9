// Windows implementation of the platform layer: Windows Sockets 2 with
// WSAPoll, CreateThread with a 1 MiB stack, critical sections, the tick
// count, the wide-character file functions and the Service Control
// Manager. Every path the rest of the program hands over is UTF-8 and is
// converted to UTF-16 here.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
#include <winternl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "plat/plat.h"

namespace {

constexpr DWORD kThreadStack = 1048576;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The error left for a refusal decided here (not a plain folder or file, a
// name the system would read otherwise): not a transient failure.
constexpr DWORD kRefused = ERROR_ACCESS_DENIED;

SOCKET sock_of(plat_sock s) { return static_cast<SOCKET>(s); }

// Set once the socket library has been started; never cleared.
volatile LONG wsa_ok = 0;

// ---- UTF-8 and UTF-16 ------------------------------------------------------

// UTF-8 to a new UTF-16 string (free with free), or null. Malformed input
// turns into replacement characters rather than failing.
wchar_t* wide(const char* s) {
  if (s == nullptr) return nullptr;
  const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  auto* w = static_cast<wchar_t*>(malloc(static_cast<size_t>(n) * sizeof(wchar_t)));
  if (w == nullptr) return nullptr;
  MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n);
  return w;
}

// UTF-16 to a new UTF-8 string (free with free), or null.
char* narrow(const wchar_t* w) {
  if (w == nullptr) return nullptr;
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  auto* s = static_cast<char*>(malloc(static_cast<size_t>(n)));
  if (s == nullptr) return nullptr;
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, nullptr, nullptr);
  return s;
}

// Frees a converted string when the scope ends.
struct wstr {
  wchar_t* p;
  explicit wstr(const char* s) : p(wide(s)) {}
  ~wstr() { free(p); }
  wstr(const wstr&) = delete;
  wstr& operator=(const wstr&) = delete;
};

// ---- Threads ---------------------------------------------------------------

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

// ---- File status -----------------------------------------------------------

// Files and folders opened by path so far (every CreateFileW goes through
// open_counted).
volatile LONG64 g_opens = 0;

HANDLE open_counted(const wchar_t* w, DWORD access, DWORD share, DWORD flags) {
  InterlockedIncrement64(&g_opens);
  return CreateFileW(w, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

uint64_t u64_of(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

// Seconds since 1970 from a file time (100 ns units since 1601).
int64_t unix_seconds(uint64_t t) { return static_cast<int64_t>(t / 10000000u) - 11644473600LL; }

// What a description is made of, from an open handle or from an enumeration.
struct file_desc {
  DWORD attrs;      // the described object's attributes (folder bit)
  DWORD own_attrs;  // the path's own attributes (link and read-only bits)
  uint64_t size, fileid;
  uint32_t nlink;
  uint64_t written, accessed, created;  // file times
  bool delete_pending = false;          // deleted, gone once its last handle closes
};

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
}

using nt_query_file_fn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

// Describes an open object from its basic, standard and internal (file
// number) information: what GetFileInformationByHandle reads, without the
// volume's serial number, which Wine takes a millisecond to find. False on
// failure.
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
  *d = file_desc{bi.FileAttributes, bi.FileAttributes, static_cast<uint64_t>(si.EndOfFile.QuadPart),
                 static_cast<uint64_t>(ii.IndexNumber.QuadPart), si.NumberOfLinks,
                 static_cast<uint64_t>(bi.LastWriteTime.QuadPart), static_cast<uint64_t>(bi.LastAccessTime.QuadPart),
                 static_cast<uint64_t>(bi.CreationTime.QuadPart), si.DeletePending != 0};
  return true;
}

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

// A name that the system would read as something other than one plain
// entry of the folder: a separator or drive/stream colon inside it, a
// wildcard, a control character, a trailing dot or space (which the system
// strips, so "a." would name "a"), or a device name.
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

// Joins a folder and a name with one backslash ("" stays the name alone).
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

// What a walk beneath a root opens a name for: a folder on the way (which
// needs only traverse rights, so that a folder that may be traversed but
// not listed hides nothing below it), a folder to list, anything to
// describe (also when what is described is kept held after: attribute
// rights only, so that looking at a file never opens its data, which can
// set off a virus scan or the download of a file kept online only), or a
// file to read.
enum open_for { kTraverse, kList, kDescribe, kRead };

DWORD access_for(open_for p) {
  switch (p) {
    case kTraverse:
      return FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    case kList:
      return FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
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

// Opens `name` (n bytes of UTF-8) inside the folder `parent`, or the path
// `w` itself when parent is null (the root of a walk), without following a
// final reparse point. Everything is opened with full sharing, so nobody
// is kept from renaming or deleting what a call holds; a name is opened
// relative to its parent's handle, so it is looked up in that very folder
// even when the folder has been renamed since or its old path now leads
// elsewhere. Invalid handle on failure, with the thread's last error set.
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
  return h;
}

// The folders held open along a walk beneath a root; all closed at the end.
struct held_walk {
  static constexpr int kMax = 512;
  HANDLE h[kMax];
  int n = 0;
  HANDLE top() const { return n > 0 ? h[n - 1] : nullptr; }
  ~held_walk() {
    for (int i = 0; i < n; i++) CloseHandle(h[i]);
  }
};

// Opens with open_held and reads the object's information. The
// reparse-point bit is taken from the opened object and from the path's
// own attributes (`w` is the full path): some systems open the target of a
// link even when asked for the link itself, and then only the path's
// attributes tell. Invalid handle on failure.
HANDLE open_and_describe(HANDLE parent, const char* name, size_t n, const wchar_t* w, open_for p, file_desc* fd) {
  HANDLE h = open_held(parent, name, n, w, p);
  if (h == INVALID_HANDLE_VALUE) return h;
  const DWORD own = GetFileAttributesW(w);
  if (own == INVALID_FILE_ATTRIBUTES || GetFileType(h) != FILE_TYPE_DISK || !describe(h, fd)) {
    CloseHandle(h);
    SetLastError(kRefused);
    return INVALID_HANDLE_VALUE;
  }
  fd->attrs |= own & FILE_ATTRIBUTE_REPARSE_POINT;
  fd->own_attrs = fd->attrs;
  return h;
}

// Holds the folder `name` of the walk's last held folder (or the path
// itself when nothing is held yet) open after checking that it is a folder
// on disk and not a reparse point. `path` is its full path. False when it
// is not.
bool hold_plain_dir(const char* name, size_t n, const char* path, open_for p, held_walk* hw) {
  if (hw->n >= held_walk::kMax) return false;
  wstr w(path);
  if (w.p == nullptr) return false;
  file_desc fd;
  HANDLE h = open_and_describe(hw->top(), name, n, w.p, p, &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (!(fd.attrs & FILE_ATTRIBUTE_DIRECTORY) || (fd.attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    SetLastError(kRefused);
    return false;
  }
  hw->h[hw->n++] = h;
  return true;
}

// Walks rel ("/" separators) beneath root one component at a time: the
// root and every component but the last must be plain folders (no reparse
// point) and stay held open in *hw, each opened inside the one before it.
// Returns the full path of the last component (the root itself when rel is
// empty, and the folder when rel ends in "/"), a new string, and points
// *last at that component in rel ("" when the held folder on top is the
// object itself: that one is opened for `end_dir`, every other for
// traverse only). Null when the walk is refused.
char* walk_beneath(const char* root, const char* rel, held_walk* hw, open_for end_dir, const char** last) {
  SetLastError(kRefused);
  if (root == nullptr || rel == nullptr || root[0] == 0) return nullptr;
  if (!hold_plain_dir(nullptr, 0, root, rel[0] == 0 ? end_dir : kTraverse, hw)) return nullptr;
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
    if (!hold_plain_dir(p, n, cur, slash[1] == 0 ? end_dir : kTraverse, hw)) break;
    p = slash + 1;
  }
  const DWORD why = GetLastError();
  free(cur);
  SetLastError(why == ERROR_SUCCESS ? kRefused : why);
  return nullptr;
}

// ---- Console ----------------------------------------------------------------

void (*g_user_handler)(int) = nullptr;
HANDLE g_interrupt_event = nullptr;  // manual reset: an interrupt has come

extern "C" void on_signal(int sig) {
  // The runtime resets the disposition before calling the handler.
  signal(sig, on_signal);
  if (g_interrupt_event != nullptr) SetEvent(g_interrupt_event);
  if (g_user_handler != nullptr) g_user_handler(sig);
}

// Standard input is read by a thread of its own, because a read on a
// console or pipe cannot be given a time limit or be interrupted. The
// reader fills one chunk at a time and waits until the chunk is taken.
struct stdin_reader {
  CRITICAL_SECTION lock;
  HANDLE ready;  // manual reset: data, the end, or an error is waiting
  HANDLE taken;  // auto reset: the chunk was used up, read the next
  char buf[4096];
  size_t off = 0;
  size_t len = 0;
  int state = 0;  // 0 reading, 1 end of input, -1 error
};

stdin_reader* g_stdin = nullptr;
INIT_ONCE g_stdin_once = INIT_ONCE_STATIC_INIT;

// One read from the console as UTF-8: 0 at the end (Ctrl+Z at the start of a
// line), -1 on error, else the byte count in *out.
int64_t read_console(HANDLE in, char* out, size_t cap) {
  wchar_t w[1024];
  for (int tries = 0; tries < 1000; tries++) {
    DWORD got = 0;
    if (!ReadConsoleW(in, w, 1023, &got, nullptr)) {
      // Ctrl+C aborts the read; the interrupt handler decides what follows.
      if (GetLastError() == ERROR_OPERATION_ABORTED) {
        Sleep(10);
        continue;
      }
      return -1;
    }
    if (got == 0) {
      Sleep(10);
      continue;
    }
    if (w[0] == 0x1A) return 0;
    w[got] = 0;
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(got), out, static_cast<int>(cap), nullptr,
                                      nullptr);
    return n > 0 ? n : -1;
  }
  return -1;
}

DWORD WINAPI stdin_thread(LPVOID) {
  stdin_reader* r = g_stdin;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
  for (;;) {
    char chunk[sizeof r->buf];
    int64_t n;
    if (in == nullptr || in == INVALID_HANDLE_VALUE) {
      n = 0;
    } else if (console) {
      n = read_console(in, chunk, sizeof chunk);
    } else {
      DWORD got = 0;
      if (ReadFile(in, chunk, sizeof chunk, &got, nullptr)) {
        n = got;
      } else {
        // A pipe whose writer has gone is the end of input.
        const DWORD e = GetLastError();
        n = (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) ? 0 : -1;
      }
    }
    EnterCriticalSection(&r->lock);
    if (n > 0) {
      memcpy(r->buf, chunk, static_cast<size_t>(n));
      r->off = 0;
      r->len = static_cast<size_t>(n);
    } else {
      r->state = n == 0 ? 1 : -1;
    }
    SetEvent(r->ready);
    LeaveCriticalSection(&r->lock);
    if (n <= 0) return 0;
    WaitForSingleObject(r->taken, INFINITE);
  }
}

BOOL CALLBACK stdin_init(PINIT_ONCE, PVOID, PVOID*) {
  static stdin_reader reader;
  stdin_reader* r = &reader;
  InitializeCriticalSection(&r->lock);
  r->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  r->taken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (r->ready == nullptr || r->taken == nullptr) return FALSE;
  g_stdin = r;
  HANDLE t = CreateThread(nullptr, 65536, stdin_thread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (t == nullptr) {
    g_stdin = nullptr;
    return FALSE;
  }
  CloseHandle(t);
  return TRUE;
}

// ---- Command line -------------------------------------------------------------

UINT g_saved_output_cp = 0;

void restore_output_cp() {
  if (g_saved_output_cp != 0) SetConsoleOutputCP(g_saved_output_cp);
}

}  // namespace

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

// ---- Sockets -------------------------------------------------------------

// Handles have no per-process limit to raise.
void plat_raise_fd_limit() {}

int plat_net_init() {
  if (wsa_ok) return 0;
  WSADATA d;
  if (WSAStartup(MAKEWORD(2, 2), &d) != 0) return -1;
  InterlockedExchange(&wsa_ok, 1);
  return 0;
}

void plat_sock_close(plat_sock s) {
  if (s == PLAT_INVALID_SOCK) return;
  closesocket(sock_of(s));
}

void plat_sock_shutdown(plat_sock s) {
  if (s == PLAT_INVALID_SOCK) return;
  (void)shutdown(sock_of(s), SD_BOTH);
  // A blocking recv already waiting is not always ended by shutdown on
  // Windows; cancelling the socket's pending I/O ends it with an error.
  (void)CancelIoEx(reinterpret_cast<HANDLE>(sock_of(s)), nullptr);
}

int plat_poll1(plat_sock s, int want, int timeout_ms) {
  WSAPOLLFD p;
  p.fd = sock_of(s);
  p.events = static_cast<SHORT>(((want & 1) ? POLLRDNORM : 0) | ((want & 2) ? POLLWRNORM : 0));
  p.revents = 0;
  const int r = WSAPoll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
  if (r < 0) return -1;
  if (r == 0) return 0;
  int mask = 0;
  if (p.revents & (POLLRDNORM | POLLHUP | POLLERR)) mask |= 1;
  if (p.revents & POLLWRNORM) mask |= 2;
  return mask;
}

int plat_peer_v4(plat_sock s, uint32_t* addr) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  int len = sizeof sa;
  if (getpeername(sock_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  if (sa.sin_family != AF_INET) return -1;
  *addr = ntohl(sa.sin_addr.s_addr);
  return 0;
}

namespace {

// A new IPv4 stream socket that child processes do not inherit.
SOCKET new_tcp4() {
  if (plat_net_init() != 0) return INVALID_SOCKET;
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s;
}

}  // namespace

int plat_listen_tcp4(const char* ip, int port, int backlog, plat_sock* out) {
  SOCKET s = new_tcp4();
  if (s == INVALID_SOCKET) return -1;
  // Exclusive use: on Windows, address reuse would let another program bind
  // the same address and port and take over the server's connections.
  BOOL one = TRUE;
  (void)setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  if (ip == nullptr || inet_pton(AF_INET, ip, &sa.sin_addr) != 1 ||
      bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(s, backlog == PLAT_BACKLOG_MAX ? SOMAXCONN : backlog) != 0) {
    closesocket(s);
    return -1;
  }
  *out = static_cast<plat_sock>(s);
  return 0;
}

namespace {

struct sockaddr_in v4_addr(uint32_t ip, int port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  sa.sin_addr.s_addr = htonl(ip);
  return sa;
}

}  // namespace

int plat_udp_open4(const char* ip, int port, plat_sock* out) {
  if (plat_net_init() != 0) return -1;
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return -1;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  BOOL one = TRUE;
  (void)setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  // A datagram answered by "port unreachable" would otherwise make the next
  // receive fail (SIO_UDP_CONNRESET, off).
  BOOL off = FALSE;
  DWORD ignored = 0;
  (void)WSAIoctl(s, _WSAIOW(IOC_VENDOR, 12), &off, sizeof off, nullptr, 0, &ignored, nullptr, nullptr);
  u_long nonblocking = 1;
  struct sockaddr_in sa = v4_addr(0, port);
  if (ip == nullptr || inet_pton(AF_INET, ip, &sa.sin_addr) != 1 || ioctlsocket(s, FIONBIO, &nonblocking) != 0 ||
      bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
    closesocket(s);
    return -1;
  }
  *out = static_cast<plat_sock>(s);
  return 0;
}

int64_t plat_udp_recv(plat_sock s, void* buf, size_t len, uint32_t* from_ip, int* from_port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  int sl = sizeof sa;
  const int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  int r = recvfrom(sock_of(s), static_cast<char*>(buf), n, 0, reinterpret_cast<struct sockaddr*>(&sa), &sl);
  if (r == SOCKET_ERROR) {
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return -2;
    if (e != WSAEMSGSIZE) return -1;
    r = n;  // cut to len; the sender is known
  }
  if (sa.sin_family != AF_INET) return -1;
  *from_ip = ntohl(sa.sin_addr.s_addr);
  *from_port = ntohs(sa.sin_port);
  return r;
}

int64_t plat_udp_send(plat_sock s, const void* buf, size_t len, uint32_t to_ip, int to_port) {
  const struct sockaddr_in sa = v4_addr(to_ip, to_port);
  if (len > 0x7FFFFFFF) return -1;
  const int r = sendto(sock_of(s), static_cast<const char*>(buf), static_cast<int>(len), 0,
                       reinterpret_cast<const struct sockaddr*>(&sa), sizeof sa);
  return r == SOCKET_ERROR ? -1 : r;
}

// A UDP socket bound to a unicast address receives its network's
// broadcasts on Windows: no second socket is needed.
uint32_t plat_broadcast_for(uint32_t) { return 0; }

int plat_sock_port(plat_sock s) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  int len = sizeof sa;
  if (getsockname(sock_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  if (sa.sin_family != AF_INET) return -1;
  return ntohs(sa.sin_port);
}

plat_sock plat_accept(plat_sock s) {
  SOCKET c = accept(sock_of(s), nullptr, nullptr);
  if (c == INVALID_SOCKET) return PLAT_INVALID_SOCK;
  SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
  return static_cast<plat_sock>(c);
}

namespace {
// Windows takes a limit as a count of milliseconds (0: no limit). A recv or
// send that runs out fails, and the caller then ends the connection.
int set_timeout(plat_sock s, int opt, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  const DWORD ms = static_cast<DWORD>(timeout_ms);
  return setsockopt(sock_of(s), SOL_SOCKET, opt, reinterpret_cast<const char*>(&ms), sizeof ms) == 0 ? 0 : -1;
}
}  // namespace

int plat_set_recv_timeout(plat_sock s, int timeout_ms) { return set_timeout(s, SO_RCVTIMEO, timeout_ms); }

int plat_set_send_timeout(plat_sock s, int timeout_ms) { return set_timeout(s, SO_SNDTIMEO, timeout_ms); }

void plat_set_nodelay(plat_sock s) {
  BOOL one = TRUE;
  (void)setsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

int64_t plat_recv(plat_sock s, void* buf, size_t len) {
  const int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  const int r = recv(sock_of(s), static_cast<char*>(buf), n, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

int64_t plat_send(plat_sock s, const void* buf, size_t len) {
  // Windows raises no signal for a peer that has gone; the send just fails.
  const int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  const int r = send(sock_of(s), static_cast<const char*>(buf), n, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

// Windows has no per-call "do not wait" flag; a look at the socket's
// readiness first serves instead (the socket belongs to one thread, so
// nothing else takes what the look saw).
int64_t plat_recv_nowait(plat_sock s, void* buf, size_t len) {
  const int ready = plat_poll1(s, 1, 0);
  if (ready < 0) return -1;
  if (ready == 0) return -2;
  return plat_recv(s, buf, len);
}

int64_t plat_recv_spin(plat_sock s, void* buf, size_t len, int spin_us) {
  (void)s;
  (void)buf;
  (void)len;
  (void)spin_us;
  return -2;
}

// A send is different: writability says only that some room is free, and a
// blocking send of more than that waits for the peer to read. The socket is
// switched to non-blocking mode for the one call instead, so that the send
// takes what fits at once (the socket belongs to one thread, which is in
// this call, so no other call sees the mode).
int64_t plat_send_nowait(plat_sock s, const void* buf, size_t len) {
  u_long on = 1;
  if (ioctlsocket(sock_of(s), FIONBIO, &on) != 0) return -1;
  const int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  const int r = send(sock_of(s), static_cast<const char*>(buf), n, 0);
  const int err = r == SOCKET_ERROR ? WSAGetLastError() : 0;
  u_long off = 0;
  // Should blocking mode not come back, the next blocking call fails with
  // "would block" and the connection ends; nothing waits.
  (void)ioctlsocket(sock_of(s), FIONBIO, &off);
  if (r != SOCKET_ERROR) return r;
  WSASetLastError(err);
  return err == WSAEWOULDBLOCK ? -2 : -1;
}

// A blocking send with the socket's send time limit: Windows ends the whole
// send, however the peer paces its reading, when the limit runs out. Each
// change of blocking mode is a trip through the system (under Wine a
// round trip to its server, about as dear as the send itself), so this path
// changes nothing per call and sets the limit only when it changes.
int plat_send_all(plat_sock s, const void* buf, size_t len, int wait_ms, int* limit_ms) {
  if (wait_ms < 1) wait_ms = 1;
  if (*limit_ms != wait_ms) {
    if (plat_set_send_timeout(s, wait_ms) != 0) return -1;
    *limit_ms = wait_ms;
  }
  auto* p = static_cast<const char*>(buf);
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(wait_ms);
  while (len > 0) {
    // A send that took only part (not expected of a blocking one) goes on
    // only while the deadline has not passed, so the bound holds in all.
    const int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
    const int r = send(sock_of(s), p, n, 0);
    if (r == SOCKET_ERROR || r <= 0) return -1;
    p += r;
    len -= static_cast<size_t>(r);
    if (len > 0 && plat_now_ms() >= deadline) return -1;
  }
  return 0;
}

int plat_connect_tcp4(const char* ip, int port, const char* local_ip, plat_sock* out) {
  if (ip == nullptr) return -1;
  SOCKET s = new_tcp4();
  if (s == INVALID_SOCKET) return -1;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  if (local_ip != nullptr) {
    if (inet_pton(AF_INET, local_ip, &sa.sin_addr) != 1 ||
        bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
      closesocket(s);
      return -1;
    }
  }
  sa.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  if (inet_pton(AF_INET, ip, &sa.sin_addr) != 1 ||
      connect(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
    closesocket(s);
    return -1;
  }
  *out = static_cast<plat_sock>(s);
  return 0;
}

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

// ---- Console ----------------------------------------------------------------

void plat_on_interrupt(void (*handler)(int)) {
  if (g_interrupt_event == nullptr) g_interrupt_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_user_handler = handler;
  signal(SIGINT, on_signal);
  signal(SIGBREAK, on_signal);
  signal(SIGTERM, on_signal);
}

// Windows raises no signal for a write to a pipe whose reader has gone.
void plat_ignore_broken_pipe() {}

int64_t plat_stdin_read(void* buf, size_t n, int timeout_ms) {
  if (!InitOnceExecuteOnce(&g_stdin_once, stdin_init, nullptr, nullptr) || g_stdin == nullptr) return -1;
  stdin_reader* r = g_stdin;
  HANDLE waits[2] = {r->ready, g_interrupt_event};
  const DWORD count = g_interrupt_event != nullptr ? 2 : 1;
  const DWORD w = WaitForMultipleObjects(count, waits, FALSE, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  if (w == WAIT_TIMEOUT) return -2;
  if (w == WAIT_OBJECT_0 + 1) {
    ResetEvent(g_interrupt_event);
    return -1;
  }
  if (w != WAIT_OBJECT_0) return -1;
  EnterCriticalSection(&r->lock);
  int64_t got;
  if (r->len > r->off) {
    const size_t avail = r->len - r->off;
    const size_t take = n < avail ? n : avail;
    memcpy(buf, r->buf + r->off, take);
    r->off += take;
    got = static_cast<int64_t>(take);
    if (r->off == r->len) {
      r->off = r->len = 0;
      ResetEvent(r->ready);
      SetEvent(r->taken);
    }
  } else {
    got = r->state > 0 ? 0 : -1;
  }
  LeaveCriticalSection(&r->lock);
  return got;
}

// ---- Command line -------------------------------------------------------------

void plat_utf8_args(int* argc, char*** argv) {
  // The program writes UTF-8; the console shows it as such while it runs.
  if (g_saved_output_cp == 0 && GetConsoleWindow() != nullptr) {
    g_saved_output_cp = GetConsoleOutputCP();
    if (g_saved_output_cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      atexit(restore_output_cp);
    } else {
      g_saved_output_cp = 0;
    }
  }
  int n = 0;
  LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wargv == nullptr || n < 0) return;
  // The strings live for the rest of the process, like the system's own.
  auto** out = static_cast<char**>(calloc(static_cast<size_t>(n) + 1, sizeof(char*)));
  if (out == nullptr) {
    LocalFree(wargv);
    return;
  }
  for (int i = 0; i < n; i++) {
    out[i] = narrow(wargv[i]);
    if (out[i] == nullptr) {
      for (int j = 0; j < i; j++) free(out[j]);
      free(out);
      LocalFree(wargv);
      return;
    }
  }
  LocalFree(wargv);
  *argc = n;
  *argv = out;
}

// ---- File system -----------------------------------------------------------

int plat_stat(const char* path, plat_statbuf* st, int follow) {
  memset(st, 0, sizeof *st);
  wstr w(path);
  if (w.p == nullptr) return -1;
  const DWORD attrs = GetFileAttributesW(w.p);
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

namespace {

// The present full path of an open object, links resolved, as a new
// UTF-16 string (free with free) in the form paths are given in: without
// the "\\?\" prefix, and \\?\UNC\server\share as \\server\share.
// Null on failure.
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

}  // namespace

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

// One entry of an enumeration: its UTF-8 name and its description.
struct dir_entry {
  char* name;
  plat_statbuf st;
};

// An enumeration read from the folder's handle in batches of records that
// describe each entry (attributes, size, times and file number), so that
// no entry is opened. Every entry read is kept with its description:
// plat_readdir hands them out in order, and plat_dir_stat finds a name
// among them, reading further batches when it is not there yet.
struct plat_dir {
  HANDLE h;
  unsigned char* batch;  // the last batch of records
  DWORD at;              // offset of the next record in the batch
  int batch_left;        // 1 while the batch holds records not yet read
  int ended;             // 1 once the folder has no more records
  dir_entry* seen;
  size_t n_seen, cap_seen;
  size_t handed;  // entries handed out by plat_readdir
  size_t look;    // where plat_dir_stat looks first (names come in order)
  char* folder;   // the folder's path as given, for names not enumerated
};

namespace {

constexpr DWORD kDirBatch = 65536;

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
    memset(&e->st, 0, sizeof e->st);
    // The records carry no link count: every entry counts as one link.
    fill_stat(&e->st, file_desc{r->FileAttributes, r->FileAttributes, static_cast<uint64_t>(r->EndOfFile.QuadPart),
                                static_cast<uint64_t>(r->FileId.QuadPart), 1,
                                static_cast<uint64_t>(r->LastWriteTime.QuadPart),
                                static_cast<uint64_t>(r->LastAccessTime.QuadPart),
                                static_cast<uint64_t>(r->CreationTime.QuadPart)});
    return true;
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
    *st = d->seen[i].st;
    return true;
  };
  if (d->look < d->n_seen && found(d->look)) return 0;
  if (d->look > 0 && d->look <= d->n_seen && found(d->look - 1)) return 0;
  while (dir_read_one(d)) {
    if (found(d->n_seen - 1)) return 0;
  }
  for (size_t i = 0; i < d->n_seen; i++) {
    if (found(i)) return 0;
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

// Keeps an open handle only when it is a file on disk (not a device, pipe or
// folder) and, when `refuse_link` is set, neither the opened object nor the
// path `w` is a reparse point; false (handle closed) otherwise.
bool plain_file(HANDLE h, bool refuse_link, const wchar_t* w) {
  file_desc fd;
  if (GetFileType(h) != FILE_TYPE_DISK || !describe(h, &fd) || (fd.attrs & FILE_ATTRIBUTE_DIRECTORY) ||
      (refuse_link && ((fd.attrs & FILE_ATTRIBUTE_REPARSE_POINT) ||
                       (GetFileAttributesW(w) & FILE_ATTRIBUTE_REPARSE_POINT)))) {
    CloseHandle(h);
    SetLastError(kRefused);
    return false;
  }
  return true;
}

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

namespace {

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

}  // namespace

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

// ---- System service ----------------------------------------------------------

namespace {

// Puts the system's words for a Windows or Windows Sockets error number,
// then the number, into out: "Access is denied. (error 5)". Just
// "(error N)" when the system has no words for it.
void plat_error_text(unsigned long code, char* out, size_t outlen) {
  if (outlen == 0) return;
  wchar_t w[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, w,
                           sizeof w / sizeof w[0], nullptr);
  // The system's text ends with a line break (and often a full stop and a
  // blank before it); only the words are kept.
  while (n > 0 && (w[n - 1] == L'\r' || w[n - 1] == L'\n' || w[n - 1] == L' ')) n--;
  w[n] = 0;
  char words[1024] = "";
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, -1, words, sizeof words, nullptr, nullptr);
  if (words[0] != 0) {
    snprintf(out, outlen, "%s (error %lu)", words, code);
  } else {
    snprintf(out, outlen, "(error %lu)", code);
  }
}

// Puts "WHAT: WORDS (error N)" with the system's last error into err.
int service_fail(const char* what, char* err, size_t errlen) {
  const DWORD code = GetLastError();
  char why[1100];
  plat_error_text(code, why, sizeof why);
  if (errlen > 0) snprintf(err, errlen, "%s: %s", what, why);
  return -1;
}

// Appends one argument, with a space before it unless it is the first, so
// that CommandLineToArgvW gives it back unchanged: quoted when it is empty
// or holds a space, tab or quote; backslashes doubled where they come
// before a quote or the closing quote.
void append_arg(std::wstring* cmd, const wchar_t* a) {
  if (!cmd->empty()) *cmd += L' ';
  if (a[0] != 0 && wcspbrk(a, L" \t\n\v\"") == nullptr) {
    *cmd += a;
    return;
  }
  *cmd += L'"';
  for (const wchar_t* c = a;; c++) {
    size_t slashes = 0;
    while (*c == L'\\') {
      c++;
      slashes++;
    }
    if (*c == 0) {
      cmd->append(slashes * 2, L'\\');
      break;
    }
    if (*c == L'"') {
      cmd->append(slashes * 2 + 1, L'\\');
    } else {
      cmd->append(slashes, L'\\');
    }
    *cmd += *c;
  }
  *cmd += L'"';
}

// Closes a service manager handle when the scope ends.
struct sc_handle {
  SC_HANDLE h;
  explicit sc_handle(SC_HANDLE v) : h(v) {}
  ~sc_handle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
  sc_handle(const sc_handle&) = delete;
  sc_handle& operator=(const sc_handle&) = delete;
};

// The one service this process runs.
struct service_run_rec {
  const wchar_t* name;
  int (*body)(int, char**);
  int argc;
  char** argv;
  void (*stop)();
  SERVICE_STATUS_HANDLE status_handle;
  SERVICE_STATUS status;
  int rc;
};
service_run_rec g_service;

void service_report(DWORD state, DWORD wait_hint) {
  g_service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_service.status.dwCurrentState = state;
  g_service.status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_service.status.dwWaitHint = wait_hint;
  g_service.status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : 1;
  SetServiceStatus(g_service.status_handle, &g_service.status);
}

DWORD WINAPI service_control(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      service_report(SERVICE_STOP_PENDING, 10000);
      g_service.stop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, LPWSTR*) {
  g_service.status_handle = RegisterServiceCtrlHandlerExW(g_service.name, service_control, nullptr);
  if (g_service.status_handle == nullptr) return;
  service_report(SERVICE_RUNNING, 0);
  g_service.rc = g_service.body(g_service.argc, g_service.argv);
  if (g_service.rc != 0) {
    g_service.status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    g_service.status.dwServiceSpecificExitCode = static_cast<DWORD>(g_service.rc);
  }
  service_report(SERVICE_STOPPED, 0);
}

// Points standard output and standard error at the file; false if it
// cannot be opened. A service starts without standard handles: the C
// runtime's descriptors 1 and 2 are made to refer to the file (writing to
// them as they are would end the process), and streams that the runtime
// marked as having no descriptor at start (it gives them -2, and freopen
// then refuses them) are given theirs back.
bool std_streams_to(const wchar_t* file) {
  const int fd = _wopen(file, _O_WRONLY | _O_CREAT | _O_APPEND, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  const bool moved = _dup2(fd, 1) == 0 && _dup2(fd, 2) == 0;
  _close(fd);
  if (!moved) return false;
  if (_fileno(stdout) < 0) stdout->_file = 1;
  if (_fileno(stderr) < 0) stderr->_file = 2;
  return true;
}

// The log file's path; false when the folder cannot be found or made.
bool service_log_path(const char* name, std::wstring* file) {
  // Asked of the shell: a service's environment need not name the folder.
  wchar_t base[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK) {
    return false;
  }
  wstr wname(name);
  if (wname.p == nullptr) return false;
  const std::wstring dir = std::wstring(base) + L"\\" + wname.p;
  if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  *file = dir + L"\\service.log";
  return true;
}

}  // namespace

int plat_service_install(const char* name, const char* description, const char* const* args, int nargs,
                         char* err, size_t errlen) {
  wchar_t exe[32768];
  const DWORD n = GetModuleFileNameW(nullptr, exe, 32768);
  if (n == 0 || n >= 32768) return service_fail("cannot find the program's own path", err, errlen);
  std::wstring cmd;
  append_arg(&cmd, exe);
  for (int i = 0; i < nargs; i++) {
    wstr a(args[i]);
    if (a.p == nullptr) return service_fail("an argument is not text", err, errlen);
    append_arg(&cmd, a.p);
  }
  sc_handle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (scm.h == nullptr) return service_fail("cannot open the service manager (run as administrator)", err, errlen);
  wstr wname(name);
  // Asked first: not every service manager refuses a second CreateService.
  sc_handle existing(OpenServiceW(scm.h, wname.p, SERVICE_QUERY_STATUS));
  if (existing.h != nullptr) {
    SetLastError(ERROR_SERVICE_EXISTS);
    return service_fail("the service is installed already; remove it first", err, errlen);
  }
  sc_handle svc(CreateServiceW(scm.h, wname.p, wname.p, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, cmd.c_str(), nullptr, nullptr, nullptr,
                               nullptr, nullptr));
  if (svc.h == nullptr) {
    return service_fail(GetLastError() == ERROR_SERVICE_EXISTS ? "the service is installed already; remove it first"
                                                              : "cannot create the service",
                        err, errlen);
  }
  wstr wdesc(description);
  SERVICE_DESCRIPTIONW d = {wdesc.p};
  ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, &d);
  // Started again 5 s after a failure, twice; the count is reset after a day.
  SC_ACTION actions[2] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}};
  SERVICE_FAILURE_ACTIONSW fa = {86400, nullptr, nullptr, 2, actions};
  ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &fa);
  return 0;
}

int plat_service_remove(const char* name, char* err, size_t errlen) {
  sc_handle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (scm.h == nullptr) return service_fail("cannot open the service manager (run as administrator)", err, errlen);
  wstr wname(name);
  sc_handle svc(OpenServiceW(scm.h, wname.p, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (svc.h == nullptr) {
    return service_fail(GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? "the service is not installed"
                                                                      : "cannot open the service",
                        err, errlen);
  }
  SERVICE_STATUS st = {};
  if (ControlService(svc.h, SERVICE_CONTROL_STOP, &st)) {
    for (int i = 0; i < 300 && st.dwCurrentState != SERVICE_STOPPED; i++) {
      Sleep(100);
      if (!QueryServiceStatus(svc.h, &st)) break;
    }
  }
  if (!DeleteService(svc.h)) return service_fail("cannot remove the service", err, errlen);
  // The log goes with the service, and its folder once empty.
  std::wstring file;
  if (service_log_path(name, &file)) {
    DeleteFileW(file.c_str());
    RemoveDirectoryW(file.substr(0, file.rfind(L'\\')).c_str());
  }
  return 0;
}

int plat_service_run(const char* name, int (*body)(int, char**), int argc, char** argv, void (*stop)(), char* err,
                     size_t errlen) {
  g_service.body = body;
  g_service.argc = argc;
  g_service.argv = argv;
  g_service.stop = stop;
  g_service.rc = 0;
  wstr wname(name);
  g_service.name = wname.p;
  SERVICE_TABLE_ENTRYW table[2] = {{wname.p, service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    return service_fail(GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                            ? "not started by the service manager (use `net start`)"
                            : "cannot reach the service manager",
                        err, errlen);
  }
  return g_service.rc;
}

int plat_service_log_open(const char* name, char* path, size_t pathlen) {
  if (pathlen > 0) path[0] = 0;
  std::wstring file;
  if (!service_log_path(name, &file) || !std_streams_to(file.c_str())) {
    // Output then goes nowhere rather than ending the process.
    std_streams_to(L"NUL");
    return -1;
  }
  char* u = narrow(file.c_str());
  if (u != nullptr && pathlen > 0) snprintf(path, pathlen, "%s", u);
  free(u);
  return 0;
}

struct plat_held {
  HANDLE h;
  int is_file;
  int readable;  // a file opened for its data, not only for its attributes
  char* path;    // the full path it was opened at
};

namespace {

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

// ---- Diagnosis ---------------------------------------------------------------

namespace {

int bind_result_of(int e) {
  switch (e) {
    case WSAEADDRINUSE: return PLAT_BIND_IN_USE;
    case WSAEADDRNOTAVAIL: return PLAT_BIND_NOT_LOCAL;
    // Windows answers a port held for exclusive use, or reserved by the
    // system, with access denied.
    case WSAEACCES: return PLAT_BIND_DENIED;
    default: return PLAT_BIND_OTHER;
  }
}

}  // namespace

int plat_bind_probe(const char* ip, int port, char* reason, size_t reasonlen) {
  if (reasonlen > 0) reason[0] = 0;
  if (plat_net_init() != 0) return PLAT_BIND_OTHER;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  if (ip == nullptr || inet_pton(AF_INET, ip, &sa.sin_addr) != 1) {
    if (reasonlen > 0) snprintf(reason, reasonlen, "not an IPv4 address");
    return PLAT_BIND_BAD_ADDRESS;
  }
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const SOCKET s = socket(AF_INET, type, 0);
    if (s == INVALID_SOCKET) {
      plat_error_text(static_cast<unsigned long>(WSAGetLastError()), reason, reasonlen);
      return PLAT_BIND_OTHER;
    }
    int failed = bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa);
    if (failed == 0 && type == SOCK_STREAM) failed = listen(s, 1);
    const int e = failed != 0 ? WSAGetLastError() : 0;
    closesocket(s);
    if (failed != 0) {
      plat_error_text(static_cast<unsigned long>(e), reason, reasonlen);
      return bind_result_of(e);
    }
  }
  return PLAT_BIND_FREE;
}

int plat_last_failure_denied() { return GetLastError() == ERROR_ACCESS_DENIED ? 1 : 0; }

int plat_access_check(const char*, int*, int*) { return -1; }

void plat_ignore_hangup() {}

int plat_console_is_own() {
  // A console shared with a shell lists the shell too; one made for this
  // program lists only the program.
  DWORD ids[2];
  return GetConsoleProcessList(ids, 2) == 1 ? 1 : 0;
}

void plat_wait_for_key() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == INVALID_HANDLE_VALUE || in == nullptr) return;
  FlushConsoleInputBuffer(in);
  INPUT_RECORD rec;
  DWORD n = 0;
  while (ReadConsoleInputW(in, &rec, 1, &n) && n == 1) {
    if (rec.EventType == KEY_EVENT && rec.Event.KeyEvent.bKeyDown) return;
  }
}
