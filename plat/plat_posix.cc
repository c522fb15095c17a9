// POSIX implementation of the platform layer (Linux): poll, pthreads with a
// 1 MiB stack, recursive mutexes, the monotonic clock, statx, opendir and
// pread. Keeps no shared state of its own.
#include "plat/plat.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kThreadStack = 1048576;

int fd_of(plat_sock s) { return static_cast<int>(s); }

// Files and folders opened by name so far; every open of a path below
// counts itself here first.
std::atomic<uint64_t> g_opens{0};
void count_open() { g_opens.fetch_add(1, std::memory_order_relaxed); }

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

// Fills the status record from statx results. `own` is the status of the
// path itself (the link when the path names one), `target` that of the object
// described.
void fill_stat(plat_statbuf* st, const struct statx& own, const struct statx& target) {
  memset(st, 0, sizeof *st);
  const bool own_link = S_ISLNK(own.stx_mode);
  st->is_link = own_link ? 1 : 0;
  st->is_dir = S_ISDIR(target.stx_mode) ? 1 : 0;
  st->is_reg = S_ISREG(target.stx_mode) ? 1 : 0;
  st->size = static_cast<int64_t>(target.stx_size);
  st->mtime = target.stx_mtime.tv_sec;
  st->mtime_ns = target.stx_mtime.tv_sec * 1000000000LL + target.stx_mtime.tv_nsec;
  st->atime = target.stx_atime.tv_sec;
  st->ctime = (target.stx_mask & STATX_BTIME) ? target.stx_btime.tv_sec : target.stx_ctime.tv_sec;
  st->fileid = target.stx_ino;
  st->nlink = target.stx_nlink;
  // A path without any write permission bit stands for a read-only file.
  const bool read_only = (own.stx_mode & 0222) == 0;
  st->mode = (read_only ? 0444u : 0666u) | (st->is_dir ? 0111u : 0u);
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

int statx_at(int dirfd, const char* name, int flags, struct statx* out) {
  return statx(dirfd, name, flags | AT_NO_AUTOMOUNT, kStatxMask, out);
}

// "." and ".." would lead a walk beneath a root sideways or above it.
bool dot_component(const char* s, size_t n) { return s[0] == '.' && (n == 1 || (n == 2 && s[1] == '.')); }

}  // namespace

// ---- Sockets -------------------------------------------------------------

// Nothing to set up. A send to a peer that has gone must fail rather than end
// the process, and plat_send asks for that per call (MSG_NOSIGNAL), so the
// host's signal dispositions are left as they are.
int plat_net_init() { return 0; }

void plat_raise_fd_limit() {
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= r.rlim_max) return;
  r.rlim_cur = r.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &r);
}

void plat_sock_close(plat_sock s) {
  if (s == PLAT_INVALID_SOCK) return;
  close(fd_of(s));
}

void plat_sock_shutdown(plat_sock s) {
  if (s == PLAT_INVALID_SOCK) return;
  // Linux wakes a recv blocked on the socket with end of file.
  (void)shutdown(fd_of(s), SHUT_RDWR);
}

int plat_poll1(plat_sock s, int want, int timeout_ms) {
  struct pollfd p;
  p.fd = fd_of(s);
  p.events = static_cast<short>(((want & 1) ? POLLIN : 0) | ((want & 2) ? POLLOUT : 0));
  p.revents = 0;
  int r;
  do {
    r = poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (r == 0) return 0;
  int mask = 0;
  if (p.revents & (POLLIN | POLLHUP | POLLERR)) mask |= 1;
  if (p.revents & POLLOUT) mask |= 2;
  return mask;
}

int plat_peer_v4(plat_sock s, uint32_t* addr) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  if (getpeername(fd_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  if (sa.sin_family != AF_INET) return -1;
  *addr = ntohl(sa.sin_addr.s_addr);
  return 0;
}

int plat_listen_tcp4(const char* ip, int port, int backlog, plat_sock* out) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  if (ip == nullptr || inet_pton(AF_INET, ip, &sa.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  *out = static_cast<plat_sock>(fd);
  return 0;
}

int plat_sock_port(plat_sock s) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  if (getsockname(fd_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  if (sa.sin_family != AF_INET) return -1;
  return ntohs(sa.sin_port);
}

plat_sock plat_accept(plat_sock s) {
  int fd = accept4(fd_of(s), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return PLAT_INVALID_SOCK;
  return static_cast<plat_sock>(fd);
}

namespace {
int set_timeout(plat_sock s, int opt, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  struct timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  return setsockopt(fd_of(s), SOL_SOCKET, opt, &tv, sizeof tv) == 0 ? 0 : -1;
}
}  // namespace

int plat_set_recv_timeout(plat_sock s, int timeout_ms) { return set_timeout(s, SO_RCVTIMEO, timeout_ms); }

int plat_set_send_timeout(plat_sock s, int timeout_ms) { return set_timeout(s, SO_SNDTIMEO, timeout_ms); }

void plat_set_nodelay(plat_sock s) {
  int one = 1;
  (void)setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int64_t plat_recv(plat_sock s, void* buf, size_t len) {
  ssize_t r;
  do {
    r = recv(fd_of(s), buf, len, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

int64_t plat_send(plat_sock s, const void* buf, size_t len) {
  ssize_t r;
  do {
    r = send(fd_of(s), buf, len, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r;
}

int64_t plat_recv_nowait(plat_sock s, void* buf, size_t len) {
  ssize_t r;
  do {
    r = recv(fd_of(s), buf, len, MSG_DONTWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -2;
  return r;
}

int64_t plat_recv_spin(plat_sock s, void* buf, size_t len, int spin_us) {
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (;;) {
    const int64_t r = plat_recv_nowait(s, buf, len);
    if (r != -2) return r;
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    const int64_t us = (t.tv_sec - t0.tv_sec) * 1000000 + (t.tv_nsec - t0.tv_nsec) / 1000;
    if (us >= spin_us) return -2;
  }
}

int64_t plat_send_nowait(plat_sock s, const void* buf, size_t len) {
  ssize_t r;
  do {
    r = send(fd_of(s), buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -2;
  return r;
}

int plat_send_all(plat_sock s, const void* buf, size_t len, int wait_ms, int* limit_ms) {
  (void)limit_ms;  // every send here is one that never waits
  auto* p = static_cast<const unsigned char*>(buf);
  // The waits for room all end by one deadline: a peer that stops reading,
  // or reads a trickle at a time, cannot hold the sender longer than wait_ms.
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(wait_ms < 0 ? 0 : wait_ms);
  while (len > 0) {
    const int64_t r = plat_send_nowait(s, p, len);
    if (r == -2) {
      const uint64_t now = plat_now_ms();
      if (now >= deadline) return -1;
      const uint64_t left = deadline - now;
      if (plat_poll1(s, 2, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left)) <= 0) return -1;
      continue;
    }
    if (r <= 0) return -1;
    p += r;
    len -= static_cast<size_t>(r);
  }
  return 0;
}

int plat_connect_tcp4(const char* ip, int port, const char* local_ip, plat_sock* out) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  if (local_ip != nullptr) {
    if (inet_pton(AF_INET, local_ip, &sa.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
      close(fd);
      return -1;
    }
  }
  sa.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  if (inet_pton(AF_INET, ip, &sa.sin_addr) != 1 ||
      connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  *out = static_cast<plat_sock>(fd);
  return 0;
}

namespace {

struct sockaddr_in v4_addr(uint32_t ip, int port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  sa.sin_addr.s_addr = htonl(ip);
  return sa;
}

}  // namespace

int plat_udp_open4(const char* ip, int port, plat_sock* out) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  struct sockaddr_in sa = v4_addr(0, port);
  if (ip == nullptr || inet_pton(AF_INET, ip, &sa.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  *out = static_cast<plat_sock>(fd);
  return 0;
}

int64_t plat_udp_recv(plat_sock s, void* buf, size_t len, uint32_t* from_ip, int* from_port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t sl = sizeof sa;
  ssize_t r;
  do {
    r = recvfrom(fd_of(s), buf, len, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&sa), &sl);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
  if (sa.sin_family != AF_INET) return -1;
  *from_ip = ntohl(sa.sin_addr.s_addr);
  *from_port = ntohs(sa.sin_port);
  return r;
}

int64_t plat_udp_send(plat_sock s, const void* buf, size_t len, uint32_t to_ip, int to_port) {
  const struct sockaddr_in sa = v4_addr(to_ip, to_port);
  ssize_t r;
  do {
    r = sendto(fd_of(s), buf, len, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const struct sockaddr*>(&sa),
               sizeof sa);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? -1 : r;
}

uint32_t plat_broadcast_for(uint32_t ip) {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  uint32_t found = 0;
  for (struct ifaddrs* i = list; i != nullptr && found == 0; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_BROADCAST) == 0 ||
        i->ifa_broadaddr == nullptr || i->ifa_broadaddr->sa_family != AF_INET)
      continue;
    if (ntohl(reinterpret_cast<struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) != ip) continue;
    found = ntohl(reinterpret_cast<struct sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr);
    if (found == ip) found = 0;
  }
  freeifaddrs(list);
  return found;
}

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

// ---- Console ----------------------------------------------------------------

void plat_on_interrupt(void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a waiting read ends with EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void plat_ignore_broken_pipe() { signal(SIGPIPE, SIG_IGN); }

// The arguments already arrive as the bytes the caller gave, UTF-8 in practice.
void plat_utf8_args(int*, char***) {}

int64_t plat_stdin_read(void* buf, size_t n, int timeout_ms) {
  struct pollfd p;
  p.fd = 0;
  p.events = POLLIN;
  p.revents = 0;
  const int r = poll(&p, 1, timeout_ms);
  if (r < 0) return -1;
  if (r == 0) return -2;
  const ssize_t got = read(0, buf, n);
  return got < 0 ? -1 : got;
}

// ---- System service ----------------------------------------------------------

namespace {

// The one answer of every service call here.
int no_service_manager(char* err, size_t errlen) {
  if (errlen > 0) {
    snprintf(err, errlen, "%s",
             "services are Windows-only; on Linux run serve under systemd (the Debian package's unit)");
  }
  return -1;
}

}  // namespace

int plat_service_install(const char*, const char*, const char* const*, int, char* err, size_t errlen) {
  return no_service_manager(err, errlen);
}

int plat_service_remove(const char*, char* err, size_t errlen) { return no_service_manager(err, errlen); }

int plat_service_run(const char*, int (*)(int, char**), int, char**, void (*)(), char* err, size_t errlen) {
  return no_service_manager(err, errlen);
}

int plat_service_log_open(const char*, char* path, size_t pathlen) {
  if (pathlen > 0) path[0] = 0;
  return -1;
}

// ---- Failures --------------------------------------------------------------

// Every failing operation leaves its cause in errno: that of the system
// call that failed, or EINVAL for a refusal decided here.
int plat_last_failure_transient() {
  switch (errno) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS:
      return 1;
    default:
      return 0;
  }
}

// ---- File system -----------------------------------------------------------

int plat_stat(const char* path, plat_statbuf* st, int follow) {
  memset(st, 0, sizeof *st);
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct statx own;
  if (statx_at(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, &own) != 0) return -1;
  if (!follow || !S_ISLNK(own.stx_mode)) {
    fill_stat(st, own, own);
    return 0;
  }
  struct statx target;
  if (statx_at(AT_FDCWD, path, 0, &target) != 0) {
    st->is_link = 1;
    return -1;
  }
  fill_stat(st, own, target);
  return 0;
}

namespace {

// Opens the folder root/parent (parent_len bytes of rel) with one openat2
// call that refuses every link on the way, the root's own path included
// (it is canonical, so it holds none). -1 with errno ENOSYS where the system
// lacks openat2 or refuses it to this process (a seccomp profile answering
// EPERM): the caller then walks without it, in the same call.
int open_parent_fast(const char* root, const char* rel, size_t parent_len) {
  static std::atomic<bool> missing{false};
  if (missing.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  char path[4096];
  const size_t rlen = strlen(root);
  if (rlen + parent_len + 2 > sizeof path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(path, root, rlen);
  size_t n = rlen;
  if (parent_len > 0) {
    path[n++] = '/';
    memcpy(path + n, rel, parent_len);
    n += parent_len;
  }
  path[n] = 0;
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  count_open();
  const long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
    missing.store(true, std::memory_order_relaxed);
    errno = ENOSYS;
  }
  return static_cast<int>(fd);
}

// Opens the folder `name` (n bytes) inside dir as an O_PATH descriptor
// without following a link (O_NOFOLLOW with O_PATH opens a link itself, and
// O_DIRECTORY then refuses it), and closes dir. -1 on failure.
int step_into(int dir, const char* name, size_t n) {
  char one[1024];
  int next = -1;
  if (n >= sizeof one) {
    errno = ENAMETOOLONG;
  } else {
    memcpy(one, name, n);
    one[n] = 0;
    count_open();
    next = openat(dir, one, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  const int saved = errno;
  close(dir);
  errno = saved;
  return next;
}

// open_parent_fast without openat2: one component at a time from the file
// system's root (or the current folder for a relative root), the root's own
// components included, none of them followed if it is a link.
int open_parent_slow(const char* root, const char* rel, size_t parent_len) {
  if (root[0] == 0) {
    errno = ENOENT;
    return -1;
  }
  count_open();
  int dir = open(root[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (const char* p = root; dir >= 0;) {
    while (*p == '/') p++;
    if (*p == 0) break;
    const char* slash = strchr(p, '/');
    const size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if (dot_component(p, n)) {
      close(dir);
      errno = EINVAL;
      return -1;
    }
    dir = step_into(dir, p, n);
    p += n;
  }
  const char* end = rel + parent_len;
  for (const char* p = rel; dir >= 0 && p < end;) {
    const char* slash = static_cast<const char*>(memchr(p, '/', static_cast<size_t>(end - p)));
    const size_t n = slash ? static_cast<size_t>(slash - p) : static_cast<size_t>(end - p);
    dir = step_into(dir, p, n);
    p += n + 1;
  }
  return dir;
}

// Walks rel below root without following any link, the root's own path
// included. Returns an O_PATH descriptor of the folder that holds rel's
// last component and points *last at that component ("" when rel is empty:
// the descriptor is then the root itself), or -1. "." and ".." components
// are refused: they would lead the walk sideways or above root.
// Checks every component of rel: "." and ".." are refused, and so are
// empty or overlong names. Points *last at the last component. -1 with
// errno EINVAL when refused.
int check_rel(const char* root, const char* rel, const char** last) {
  errno = EINVAL;
  if (root == nullptr || rel == nullptr) return -1;
  for (const char* p = rel;;) {
    const char* slash = strchr(p, '/');
    const size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if ((slash && (n == 0 || n >= 1024)) || (n > 0 && dot_component(p, n))) return -1;
    if (!slash) {
      *last = p;
      return 0;
    }
    p = slash + 1;
  }
}

// Opens the folder root/rel (its first len bytes) with open_parent_fast,
// or open_parent_slow where that is missing.
int open_folder_beneath(const char* root, const char* rel, size_t len) {
  const int dir = open_parent_fast(root, rel, len);
  return dir < 0 && errno == ENOSYS ? open_parent_slow(root, rel, len) : dir;
}

int walk_beneath(const char* root, const char* rel, const char** last) {
  const char* lastp = nullptr;
  if (check_rel(root, rel, &lastp) != 0) return -1;
  const size_t parent_len = lastp == rel ? 0 : static_cast<size_t>(lastp - rel - 1);
  const int dir = open_folder_beneath(root, rel, parent_len);
  if (dir < 0) return -1;
  *last = lastp;
  return dir;
}

// A single component of a path: not empty, no "/", not "." or "..".
bool one_component(const char* name) {
  const size_t n = name == nullptr ? 0 : strlen(name);
  return n > 0 && n < 1024 && strchr(name, '/') == nullptr && !dot_component(name, n);
}

// Closes fd and leaves errno as it was.
void close_keep_errno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

// Opens `name` in dirfd for reading, without following a final link, only
// when it is a regular file. The type is read first (statx opens nothing:
// no FIFO writer is released and no device driver is called); the name is
// then opened without blocking and kept only when it is still that regular
// file, so that a file swapped for a FIFO in between is closed unread. -1
// on failure (EINVAL when it is not a regular file).
int open_regular_at(int dirfd, const char* name) {
  struct statx sx;
  if (statx_at(dirfd, name, AT_SYMLINK_NOFOLLOW, &sx) != 0) return -1;
  if (!S_ISREG(sx.stx_mode)) {
    errno = EINVAL;
    return -1;
  }
  count_open();
  const int fd = openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat o;
  if (fstat(fd, &o) != 0 || !S_ISREG(o.st_mode) || static_cast<uint64_t>(o.st_ino) != sx.stx_ino ||
      major(o.st_dev) != sx.stx_dev_major || minor(o.st_dev) != sx.stx_dev_minor) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

plat_file* file_from_fd(int fd);
plat_dir* dir_from_fd(int fd);

}  // namespace

int plat_stat_beneath(const char* root, const char* rel, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  const char* last = nullptr;
  const int dir = walk_beneath(root, rel, &last);
  if (dir < 0) return -1;
  // The last component (or the root itself) is described without following it.
  struct statx sx;
  const int r = *last ? statx_at(dir, last, AT_SYMLINK_NOFOLLOW, &sx)
                      : statx_at(dir, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, &sx);
  close_keep_errno(dir);
  if (r != 0) return -1;
  fill_stat(st, sx, sx);
  return 0;
}

plat_file* plat_fopen_beneath(const char* root, const char* rel) {
  const char* last = nullptr;
  const int dir = walk_beneath(root, rel, &last);
  if (dir < 0) return nullptr;
  errno = EINVAL;  // the root itself is never a file
  const int fd = *last ? open_regular_at(dir, last) : -1;
  close_keep_errno(dir);
  return fd < 0 ? nullptr : file_from_fd(fd);
}

plat_dir* plat_opendir_beneath(const char* root, const char* rel) {
  const char* last = nullptr;
  const int dir = walk_beneath(root, rel, &last);
  if (dir < 0) return nullptr;
  count_open();
  const int fd = openat(dir, *last ? last : ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  close_keep_errno(dir);
  return fd < 0 ? nullptr : dir_from_fd(fd);
}

struct plat_held {
  int fd;  // an O_PATH descriptor of a folder, or a regular file open for reading
  int is_file;
  // Which object it is, for folders (read once, when it is held): a name
  // that leads to the same device and inode leads to it.
  uint32_t dev_major, dev_minor;
  uint64_t ino;
  char link[32];  // "/proc/self/fd/N", where the kernel tells its present path
};

namespace {

plat_held* held_from_fd(int fd, int is_file) {
  auto* h = static_cast<plat_held*>(malloc(sizeof(plat_held)));
  if (h == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  h->fd = fd;
  h->is_file = is_file;
  h->dev_major = h->dev_minor = 0;
  h->ino = 0;
  snprintf(h->link, sizeof h->link, "/proc/self/fd/%d", fd);
  return h;
}

bool same_object(const plat_held* h, const struct statx& sx) {
  return sx.stx_ino == h->ino && sx.stx_dev_major == h->dev_major && sx.stx_dev_minor == h->dev_minor;
}

int64_t pread_all(int fd, uint64_t off, void* dst, uint64_t len) {
  if (off > static_cast<uint64_t>(INT64_MAX)) return 0;
  if (len > 0xFFFFFFFFu) len = 0xFFFFFFFFu;
  ssize_t r;
  do {
    r = pread(fd, dst, static_cast<size_t>(len), static_cast<off_t>(off));
  } while (r < 0 && errno == EINTR);
  if (r < 0) return (errno == EINVAL || errno == EOVERFLOW) ? 0 : -1;
  // A truncate that runs during the read sets the new size first and then
  // zeroes the cut-off part of its last cached page, which the read may be
  // copying: bytes past the size as it stands now are not the file's, so
  // they are not answered. Bytes below it are untouched by a truncate.
  struct stat after;
  if (r > 0 && fstat(fd, &after) == 0 && static_cast<uint64_t>(after.st_size) < off + static_cast<uint64_t>(r)) {
    const uint64_t size = static_cast<uint64_t>(after.st_size);
    r = size > off ? static_cast<ssize_t>(size - off) : 0;
  }
  return r;
}

}  // namespace

plat_held* plat_hold_dir_beneath(const char* root, const char* rel) {
  // One walk to the folder itself, which must not be a link either.
  const char* last = nullptr;
  if (check_rel(root, rel, &last) != 0) return nullptr;
  const int fd = open_folder_beneath(root, rel, strlen(rel));
  if (fd < 0) return nullptr;
  struct statx sx;
  if (statx_at(fd, "", AT_EMPTY_PATH, &sx) != 0) {
    close_keep_errno(fd);
    return nullptr;
  }
  plat_held* h = held_from_fd(fd, 0);
  if (h != nullptr) {
    h->dev_major = sx.stx_dev_major;
    h->dev_minor = sx.stx_dev_minor;
    h->ino = sx.stx_ino;
  }
  return h;
}

plat_held* plat_hold_file_at(plat_held* dir, const char* name) {
  errno = EINVAL;
  if (dir == nullptr || dir->is_file || !one_component(name)) return nullptr;
  const int fd = open_regular_at(dir->fd, name);
  if (fd < 0) return nullptr;
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return held_from_fd(fd, 1);
}

// The kernel keeps the current path of every open descriptor, links
// resolved, with " (deleted)" after it once the object is gone: when that
// path is root/rel itself (the root being canonical, without links), the
// object still lies there, reached without any link. The link count tells
// a deleted object whose name happens to end in " (deleted)".
int plat_held_check(plat_held* h, const char* root, const char* rel, plat_statbuf* st) {
  if (st != nullptr) memset(st, 0, sizeof *st);
  errno = ENOENT;
  if (h == nullptr || root == nullptr || rel == nullptr) return -1;
  // Wanted: root, then (unless rel is empty) a "/" where the root has none
  // at its end, then rel.
  const size_t rlen = strlen(root);
  const size_t relen = strlen(rel);
  const size_t seplen = relen != 0 && (rlen == 0 || root[rlen - 1] != '/') ? 1 : 0;
  const size_t wn = rlen + seplen + relen;
  char now[4096];
  if (wn >= sizeof now) return -1;
  const ssize_t n = readlink(h->link, now, sizeof now);
  if (n < 0 || static_cast<size_t>(n) != wn || memcmp(now, root, rlen) != 0 || (seplen != 0 && now[rlen] != '/') ||
      memcmp(now + rlen + seplen, rel, relen) != 0) {
    errno = ENOENT;
    return -1;
  }
  // The kernel marks the path of an object no longer linked where it was
  // with this suffix, so a path equal to the one wanted proves the object
  // linked there, unless the wanted path itself ends so: only then is the
  // link count needed for the proof alone.
  static constexpr char kDeleted[] = " (deleted)";
  constexpr size_t kDeletedLen = sizeof kDeleted - 1;
  const bool suffix = wn >= kDeletedLen && memcmp(now + wn - kDeletedLen, kDeleted, kDeletedLen) == 0;
  if (st == nullptr && !suffix) return 0;
  struct statx sx;
  if (statx_at(h->fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, &sx) != 0) return -1;
  if (sx.stx_nlink == 0 || (h->is_file ? !S_ISREG(sx.stx_mode) : !S_ISDIR(sx.stx_mode))) {
    errno = ENOENT;
    return -1;
  }
  if (st != nullptr) fill_stat(st, sx, sx);
  return 0;
}

// Folders have one name each: when the name in a folder proven where it
// lies leads, unfollowed, to the very folder h holds, h lies there too.
// One status of the name proves it and describes it.
int plat_held_check_in(plat_held* h, plat_held* dir, const char* name, plat_statbuf* st) {
  if (st != nullptr) memset(st, 0, sizeof *st);
  if (h == nullptr || dir == nullptr || h->is_file || dir->is_file || name == nullptr || !one_component(name)) {
    return 1;
  }
  struct statx sx;
  if (statx_at(dir->fd, name, AT_SYMLINK_NOFOLLOW, &sx) != 0) return errno == ENOENT || errno == ENOTDIR ? -1 : 1;
  if (!same_object(h, sx) || !S_ISDIR(sx.stx_mode)) {
    errno = ENOENT;
    return -1;
  }
  if (st != nullptr) fill_stat(st, sx, sx);
  return 0;
}

int plat_held_stat_at(plat_held* dir, const char* name, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  errno = EINVAL;
  if (dir == nullptr || name == nullptr) return -1;
  const bool self = name[0] == 0;
  if (!self && (dir->is_file || !one_component(name))) return -1;
  struct statx sx;
  if (statx_at(dir->fd, name, AT_SYMLINK_NOFOLLOW | (self ? AT_EMPTY_PATH : 0), &sx) != 0) return -1;
  fill_stat(st, sx, sx);
  return 0;
}

int plat_held_stat_keep(plat_held* dir, const char* name, plat_statbuf* st, plat_held** kept) {
  *kept = nullptr;
  if (name != nullptr && name[0] == 0) {
    memset(st, 0, sizeof *st);
    errno = EINVAL;
    return -1;
  }
  return plat_held_stat_at(dir, name, st);
}

int64_t plat_held_read_at(plat_held* h, uint64_t off, void* dst, uint64_t len) {
  if (h == nullptr || !h->is_file) return -1;
  return pread_all(h->fd, off, dst, len);
}

void plat_held_close(plat_held* h) {
  if (h == nullptr) return;
  close_keep_errno(h->fd);
  free(h);
}

uint64_t plat_open_count() { return g_opens.load(std::memory_order_relaxed); }

char* plat_realpath(const char* path) {
  if (path == nullptr) return nullptr;
  return realpath(path, nullptr);
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
  if (strncasecmp(path, base, n) != 0) return 0;
  const char next = path[n];
  if (next == 0 || next == '\\' || next == '/') return 1;
  if (n == 0) return 0;
  return (base[n - 1] == '\\' || base[n - 1] == '/') ? 1 : 0;
}

int plat_fs_space(const char* path, uint64_t* total, uint64_t* avail) {
  struct statvfs v;
  if (path == nullptr || statvfs(path, &v) != 0) return -1;
  *total = static_cast<uint64_t>(v.f_blocks) * v.f_frsize;
  *avail = static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
  return 0;
}

struct plat_dir {
  DIR* d;
};

namespace {

// Takes over an open folder descriptor; null (descriptor closed) on failure.
plat_dir* dir_from_fd(int fd) {
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close_keep_errno(fd);
    return nullptr;
  }
  auto* h = static_cast<plat_dir*>(malloc(sizeof(plat_dir)));
  if (h == nullptr) {
    closedir(d);
    errno = ENOMEM;
    return nullptr;
  }
  h->d = d;
  return h;
}

}  // namespace

plat_dir* plat_opendir(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  count_open();
  const int fd = open(path[0] ? path : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? nullptr : dir_from_fd(fd);
}

int plat_dir_stat(plat_dir* h, const char* name, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  if (h == nullptr || name == nullptr) return -1;
  struct statx sx;
  if (statx_at(dirfd(h->d), name, AT_SYMLINK_NOFOLLOW | (name[0] == 0 ? AT_EMPTY_PATH : 0), &sx) != 0) return -1;
  fill_stat(st, sx, sx);
  return 0;
}

const char* plat_readdir(plat_dir* h) {
  if (h == nullptr) return nullptr;
  for (;;) {
    struct dirent* e = readdir(h->d);
    if (e == nullptr) return nullptr;
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    return n;
  }
}

void plat_closedir(plat_dir* h) {
  if (h == nullptr) return;
  closedir(h->d);
  free(h);
}

struct plat_file {
  int fd;
};

namespace {

// Takes over a descriptor of a regular file opened for reading; null
// (descriptor closed) when memory runs out.
plat_file* file_from_fd(int fd) {
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  auto* f = static_cast<plat_file*>(malloc(sizeof(plat_file)));
  if (f == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  f->fd = fd;
  return f;
}

}  // namespace

plat_file* plat_fopen_read(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = open_regular_at(AT_FDCWD, path);
  return fd < 0 ? nullptr : file_from_fd(fd);
}

int64_t plat_fread_at(plat_file* f, uint64_t off, void* dst, uint64_t len) {
  if (f == nullptr) return -1;
  return pread_all(f->fd, off, dst, len);
}

void plat_fclose(plat_file* f) {
  if (f == nullptr) return;
  close(f->fd);
  free(f);
}

// ---- Diagnosis ---------------------------------------------------------------

namespace {

int bind_result_of(int e) {
  switch (e) {
    case EADDRINUSE: return PLAT_BIND_IN_USE;
    case EADDRNOTAVAIL: return PLAT_BIND_NOT_LOCAL;
    case EACCES:
    case EPERM: return PLAT_BIND_DENIED;
    default: return PLAT_BIND_OTHER;
  }
}

}  // namespace

int plat_bind_probe(const char* ip, int port, char* reason, size_t reasonlen) {
  if (reasonlen > 0) reason[0] = 0;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  if (ip == nullptr || inet_pton(AF_INET, ip, &sa.sin_addr) != 1) {
    if (reasonlen > 0) snprintf(reason, reasonlen, "not an IPv4 address");
    return PLAT_BIND_BAD_ADDRESS;
  }
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      if (reasonlen > 0) snprintf(reason, reasonlen, "%s", strerror(errno));
      return PLAT_BIND_OTHER;
    }
    int one = 1;
    // As the listeners are opened: TCP with address reuse, UDP without.
    if (type == SOCK_STREAM) (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int failed = bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa);
    if (failed == 0 && type == SOCK_STREAM) failed = listen(fd, 1);
    const int e = errno;
    close(fd);
    if (failed != 0) {
      if (reasonlen > 0) snprintf(reason, reasonlen, "%s", strerror(e));
      return bind_result_of(e);
    }
  }
  return PLAT_BIND_FREE;
}

int plat_last_failure_denied() { return errno == EACCES || errno == EPERM ? 1 : 0; }

int plat_access_check(const char* path, int* can_read, int* can_search) {
  if (path == nullptr) return -1;
  // The effective ids decide, as they do when the server opens the file.
  *can_read = faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) == 0 ? 1 : 0;
  *can_search = faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0 ? 1 : 0;
  return 0;
}

void plat_ignore_hangup() { signal(SIGHUP, SIG_IGN); }

int plat_console_is_own() { return 0; }

void plat_wait_for_key() {}
