// The platform layer: the only code that calls the operating system.
// Sockets, polling, threads, locks, clocks, file status, canonical paths,
// directory enumeration and positional reads. Every operation reports failure
// by its result (0/-1 or null) and prints nothing. All operations may be
// called from any thread; a plat_dir or plat_file belongs to its opener.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Sockets -------------------------------------------------------------

using plat_sock = uint64_t;
constexpr plat_sock PLAT_INVALID_SOCK = ~uint64_t{0};

// Makes the socket library usable; 0 on success. Later calls return 0 at once.
int plat_net_init();
// Raises the process's soft limit on open descriptors to its hard limit,
// where the system has such limits (POSIX); elsewhere does nothing.
// Failures are ignored: the limit then stays as it was.
void plat_raise_fd_limit();
// Closes the socket; the invalid socket is ignored.
void plat_sock_close(plat_sock s);
// Ends both directions of a connected socket without closing it: a receive
// waiting on it in another thread returns at once with 0 or -1, and so does
// every later receive or send. The socket stays open until its owner closes
// it, so another thread may call this while the owner still uses it.
void plat_sock_shutdown(plat_sock s);
// Waits for readiness: want bit 0 readable, bit 1 writable; a negative timeout
// waits without limit. -1 if the wait failed, 0 on time-out, else a mask with
// bit 0 for readable/hung up/error and bit 1 for writable.
int plat_poll1(plat_sock s, int want, int timeout_ms);
// Stores the connected peer's IPv4 address (first octet most significant).
// -1 with the output untouched when it cannot be read or is not IPv4.
int plat_peer_v4(plat_sock s, uint32_t* addr);
// Opens an IPv4 TCP listener on a dotted address and port (low 16 bits),
// with address reuse and the given backlog. 0 with *out set, or -1.
int plat_listen_tcp4(const char* ip, int port, int backlog, plat_sock* out);
// The backlog that asks for the longest queue of pending connections the
// system allows (Linux caps it at net.core.somaxconn; Windows takes it as
// SOMAXCONN).
constexpr int PLAT_BACKLOG_MAX = 0x7FFFFFFF;
// The local port a socket is bound to, or -1.
int plat_sock_port(plat_sock s);
// Accepts one connection without asking for the peer; the invalid socket on failure.
plat_sock plat_accept(plat_sock s);
// Makes every later plat_recv on the socket give up (-1) after waiting
// timeout_ms for data; 0 takes the limit off. 0 or -1.
int plat_set_recv_timeout(plat_sock s, int timeout_ms);
// The same for blocking sends (plat_send_all may set one). 0 or -1.
int plat_set_send_timeout(plat_sock s, int timeout_ms);
// Turns off send coalescing; failures are ignored.
void plat_set_nodelay(plat_sock s);
// One recv (flags 0). Returns the byte count, 0 when the peer closed, -1 on error.
int64_t plat_recv(plat_sock s, void* buf, size_t len);
// One send that never raises a signal. Returns the byte count or -1.
int64_t plat_send(plat_sock s, const void* buf, size_t len);
// plat_recv and plat_send that never wait: -2 when nothing can be received
// or sent at once.
int64_t plat_recv_nowait(plat_sock s, void* buf, size_t len);
int64_t plat_send_nowait(plat_sock s, const void* buf, size_t len);
// plat_recv_nowait tried again and again, without giving up the processor,
// for up to spin_us microseconds: for a peer expected to send within
// microseconds, whose bytes it then takes without the two trips through
// the scheduler of a blocking wait. -2 when nothing came in time, and at
// once on Windows, where each look costs more than the wait it could save
// (under Wine a round trip to its server).
int64_t plat_recv_spin(plat_sock s, void* buf, size_t len, int spin_us);
// Sends all len bytes, the waits for the peer to make room ending within
// about wait_ms in all however it paces its reading. 0, or -1 when they did
// not or the connection failed (part of buf may have gone; the socket is
// then fit only for closing). *limit_ms is the send time limit the call
// leaves set on the socket, kept by the caller for as long as the socket
// lives and -1 before its first send: where the waits use one (Windows,
// whose blocking send is the cheap one), it is set only when it changes.
int plat_send_all(plat_sock s, const void* buf, size_t len, int wait_ms, int* limit_ms);
// Connects to an IPv4 address and port, optionally binding a local address
// first (null for none). Used by tests and tools; 0 with *out set, or -1.
int plat_connect_tcp4(const char* ip, int port, const char* local_ip, plat_sock* out);

// Opens a non-blocking IPv4 UDP socket bound to a dotted address and port
// (low 16 bits; 0 lets the system choose), without address reuse. 0 with
// *out set, or -1.
int plat_udp_open4(const char* ip, int port, plat_sock* out);
// Takes one datagram from a socket of plat_udp_open4 without waiting (poll
// with plat_poll1 first). Returns its length, -2 when none is there, -1 on
// error; a datagram longer than len is cut to len. The sender's IPv4 address
// (first octet most significant) and port go to *from_ip and *from_port.
int64_t plat_udp_recv(plat_sock s, void* buf, size_t len, uint32_t* from_ip, int* from_port);
// Sends one datagram to an IPv4 address and port without waiting. Returns
// the byte count, or -1 when it was not sent.
int64_t plat_udp_send(plat_sock s, const void* buf, size_t len, uint32_t to_ip, int to_port);

// The broadcast address (first octet most significant) of the network of
// the local interface whose IPv4 address is ip, when a UDP socket bound to ip
// does not itself receive that network's broadcasts (Linux); 0 when the
// interface has none, or where such a socket receives them (Windows).
uint32_t plat_broadcast_for(uint32_t ip);

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

// ---- Console ----------------------------------------------------------------

// Installs handler for the interrupt and termination signals, without
// restarting interrupted reads, so that a waiting console read ends.
void plat_on_interrupt(void (*handler)(int));
// Makes a write to a pipe whose reader has gone fail instead of ending the
// process, for the whole process. For programs only: the library never
// changes its host's signal dispositions.
void plat_ignore_broken_pipe();
// Makes the program's arguments UTF-8: where the system hands them to main
// in another encoding, *argc and *argv are replaced by UTF-8 copies that
// live for the rest of the process; elsewhere nothing changes.
void plat_utf8_args(int* argc, char*** argv);
// Waits up to timeout_ms for standard input, then reads what is there.
// Returns the byte count, 0 at the end of input, -1 on error or interruption,
// -2 when nothing arrived in time.
int64_t plat_stdin_read(void* buf, size_t n, int timeout_ms);

// ---- System service ----------------------------------------------------------

// The program as a service of the system's service manager (the Windows
// Service Control Manager). Where the system has no such manager for
// programs (POSIX: systemd starts `serve` itself), every call returns -1
// with a message that says so in err. err receives a NUL-terminated
// message of at most errlen bytes on failure.

// Registers this program as the automatically started service NAME, run as
// the program followed by args (nargs UTF-8 strings, quoted here as the
// system's command-line parser reads them back), with a description. 0, or
// -1 (also when a service of that name exists).
int plat_service_install(const char* name, const char* description, const char* const* args, int nargs,
                         char* err, size_t errlen);
// Stops the service NAME if it runs (waiting up to 30 s) and removes it,
// with its log file (plat_service_log_open) and that file's folder when it
// is then empty. 0 or -1.
int plat_service_remove(const char* name, char* err, size_t errlen);
// Runs body(argc, argv) as the service NAME under the service manager and
// returns its result once the manager was told that the service stopped.
// The manager's stop and shutdown requests call stop() on another thread;
// stop must make body return. -1 without calling body when the process was
// not started by the service manager.
int plat_service_run(const char* name, int (*body)(int, char**), int argc, char** argv, void (*stop)(),
                     char* err, size_t errlen);
// Points standard output and standard error at the service's log file,
// appending: NAME\service.log in the folder for all users' program data
// (%ProgramData%), made if missing. 0 with the file's UTF-8 path in path,
// or -1 with both pointed at the null device where there is one.
int plat_service_log_open(const char* name, char* path, size_t pathlen);

// ---- Diagnosis -------------------------------------------------------------

// Why a listener on a dotted IPv4 address and port cannot be opened now.
enum plat_bind_result {
  PLAT_BIND_FREE = 0,      // both a TCP and a UDP socket could be bound
  PLAT_BIND_IN_USE = 1,    // another socket holds the port
  PLAT_BIND_NOT_LOCAL = 2, // the address is not one of this machine's
  PLAT_BIND_DENIED = 3,    // this account may not bind the port
  PLAT_BIND_BAD_ADDRESS = 4,
  PLAT_BIND_OTHER = 5,
};
// Tries to bind a TCP socket, then a UDP socket, to ip and port, and closes
// them again: one of plat_bind_result, with the system's words for the
// failure in reason (NUL-terminated, at most reasonlen bytes; "" when free).
int plat_bind_probe(const char* ip, int port, char* reason, size_t reasonlen);
// 1 when the last failure of a file operation on this thread was a refusal
// of access (the account may not read or enter it), else 0.
int plat_last_failure_denied();
// Whether this process's account may read the file or folder at path
// (*can_read) and enter the folder (*can_search), without opening it. 0, or
// -1 with the outputs untouched where the system cannot tell without an open
// (Windows: its access lists are checked when a file is opened).
int plat_access_check(const char* path, int* can_read, int* can_search);
// Makes a hang-up of the controlling terminal leave the process running
// (POSIX SIGHUP ignored); nothing where there is no such signal.
void plat_ignore_hangup();
// 1 when the program was started in a console window of its own that
// closes when it ends (Windows: double-clicked), else 0.
int plat_console_is_own();
// Waits until a key is pressed in that console; returns at once elsewhere.
void plat_wait_for_key();

// ---- Failures --------------------------------------------------------------

// 1 when the platform operation that failed last on this thread failed for
// want of a resource that may come back (open descriptors or handles,
// memory): trying again later may succeed. 0 for every other failure (the
// file does not exist, is refused, or is not what was asked for). Read it
// right after the failed operation: any later call may change it.
int plat_last_failure_transient();

// ---- File system -----------------------------------------------------------

// File status. mode holds permission bits only: 0444 when no write bit is set,
// else 0666, plus 0111 for directories. Times are seconds since 1970 except
// mtime_ns. is_link always describes the path itself.
struct plat_statbuf {
  int32_t is_dir;
  int32_t is_reg;
  int32_t is_link;
  int64_t size;
  int64_t mtime;
  uint64_t fileid;
  uint32_t mode;
  uint32_t uid;
  uint32_t gid;
  uint32_t nlink;
  int64_t mtime_ns;
  int64_t atime;
  int64_t ctime;
};

// Fills st for the path; follow 0 describes a final link itself. 0 or -1
// (the record is cleared on failure, except perhaps is_link).
int plat_stat(const char* path, plat_statbuf* st, int follow);
// Status of root/rel where no component of rel but the last may be a
// symbolic link (the last one is described itself, never followed). rel uses
// "/" separators and may be empty (the root itself); a "." or ".." component
// is refused. The root itself must be a folder and not a link; on POSIX no
// component of the root's own path may be a link either (the root is
// canonical, so a link there is a change made after it was given). 0 or -1.
int plat_stat_beneath(const char* root, const char* rel, plat_statbuf* st);
// Canonical absolute path with every link resolved; a new string or null.
char* plat_realpath(const char* path);
int plat_is_absolute(const char* path);
int plat_path_under(const char* path, const char* base);
// Total bytes of the volume holding path and bytes available to the caller.
// 0, or -1 with the outputs unchanged.
int plat_fs_space(const char* path, uint64_t* total, uint64_t* avail);

struct plat_dir;
// Starts an enumeration; null if it cannot be opened.
plat_dir* plat_opendir(const char* path);
// The next name, never "." or ".."; null at the end or on error. The name
// belongs to the plat_dir and lives until the next readdir or closedir.
const char* plat_readdir(plat_dir* d);
void plat_closedir(plat_dir* d);
// Status of a name in an enumeration's folder; a final link is described
// itself. The name "" describes the folder itself. Opens nothing but, for a
// name the enumeration does not hold, on Windows the name. 0 or -1.
int plat_dir_stat(plat_dir* d, const char* name, plat_statbuf* st);

struct plat_file;
// Opens an existing regular file for reading. The type is decided before
// anything is opened: a FIFO, device, socket or folder is never opened (no
// FIFO writer is released, no driver is called); one swapped in between the
// check and the open is closed unread. A final link is not followed. Null on
// failure.
plat_file* plat_fopen_read(const char* path);
// Reads up to len bytes at offset. Returns the count, 0 at or past the end,
// -1 on failure. A file cut shorter during the read never yields bytes past
// its new end.
int64_t plat_fread_at(plat_file* f, uint64_t off, void* dst, uint64_t len);
void plat_fclose(plat_file* f);

// plat_fopen_read and plat_opendir for root/rel, walking rel the same way as
// plat_stat_beneath: no link is followed anywhere, the last component
// included, and the root itself must not have become a link.
plat_file* plat_fopen_beneath(const char* root, const char* rel);
plat_dir* plat_opendir_beneath(const char* root, const char* rel);

// ---- Held folders and files -------------------------------------------------

// A folder or a regular file kept open after a link-refusing walk, so that
// later calls on it, or on names inside it, need not walk from the root
// again. Held with full sharing: nobody is kept from renaming or deleting
// it. May be used by several threads at once; closed by one of them.
struct plat_held;

// Walks rel beneath root like plat_stat_beneath and holds the folder it
// names (the root itself when rel is empty), which must be a plain folder,
// not a link. Null on failure.
plat_held* plat_hold_dir_beneath(const char* root, const char* rel);
// Holds the regular file `name` (one component) of a held folder open for
// reading, on the same terms as plat_fopen_read: the type is decided before
// anything is opened and a final link is not followed. Null on failure.
plat_held* plat_hold_file_at(plat_held* dir, const char* name);
// Proves, without opening anything, that what h holds still lies at
// root/rel, reached without any link: it has not been moved, deleted, or
// put behind a link or junction since it was opened. 0 with *st filled
// with its status now, or -1 (st cleared). st may be null when only the
// proof is wanted, which can spare a system call.
int plat_held_check(plat_held* h, const char* root, const char* rel, plat_statbuf* st);
// Proves that the folder h holds lies at `name` (one component) in the held
// folder dir, which the caller has itself proven to lie where it should
// during the same call: the name, not followed if it is a link, leads to
// the very folder h holds. 0 with *st filled with its status now (st may
// be null); -1 when it does not lie there (st cleared); 1 when this cannot
// be told so, or not more cheaply than by plat_held_check (Windows, where
// looking at a name opens it; a file; a name that is not one component).
int plat_held_check_in(plat_held* h, plat_held* dir, const char* name, plat_statbuf* st);
// plat_stat_beneath of one name (never "." or "..") inside a held folder:
// a final link is described itself. The name "" describes the held folder
// or file itself. Opens nothing on POSIX; on Windows opens the name (one
// open), the held object itself not at all. 0 or -1.
int plat_held_stat_at(plat_held* dir, const char* name, plat_statbuf* st);
// plat_held_stat_at of a name ("" excepted), keeping what the description
// opened: where describing a name opens it (Windows), the file or folder it
// opened (for its attributes only) is left held in *kept, so that later
// calls on it prove it instead of opening it again. A kept file is not for
// reading (plat_held_read_at gives -1). *kept is null when nothing is kept:
// a link, something being deleted, and always on POSIX, where describing
// opens nothing and holding would cost an open. 0 or -1.
int plat_held_stat_keep(plat_held* dir, const char* name, plat_statbuf* st, plat_held** kept);
// plat_fread_at on a held file; -1 for a held folder or a file kept only to
// be described.
int64_t plat_held_read_at(plat_held* h, uint64_t off, void* dst, uint64_t len);
// Closes it, leaving the failure that plat_last_failure_transient reads as
// it was. Null is ignored.
void plat_held_close(plat_held* h);

// ---- Counters ----------------------------------------------------------------

// How many files and folders the platform layer has opened by name since the
// process started, over all threads (each descriptor or handle it opened; a
// status read without an open is not counted). For tests and measurements.
uint64_t plat_open_count();
