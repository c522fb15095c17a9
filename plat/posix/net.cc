// POSIX sockets (Linux): TCP listeners and connections of either family,
// local stream connections, poll, and
// sends and receives that never raise a signal.
#include "plat/plat.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "plat/posix/posix_internal.h"
#include "plat/sockaddr.h"

using namespace plat_posix;  // the helpers of posix_internal.h
using plat_sa::addr_of_sockaddr;
using plat_sa::sockaddr_of;

// Nothing to set up. A send to a peer that has gone must fail rather than end
// the process, and plat_send asks for that per call (MSG_NOSIGNAL), so the
// host's signal dispositions are left as they are.
int plat_net_init() { return 0; }

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

int plat_peer_addr(plat_sock s, plat_addr* addr) {
  struct sockaddr_storage sa;
  socklen_t len = sizeof sa;
  if (getpeername(fd_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  return addr_of_sockaddr(reinterpret_cast<struct sockaddr*>(&sa), addr, nullptr) ? 0 : -1;
}

int plat_local_addr(plat_sock s, plat_addr* addr) {
  struct sockaddr_storage sa;
  socklen_t len = sizeof sa;
  if (getsockname(fd_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  return addr_of_sockaddr(reinterpret_cast<struct sockaddr*>(&sa), addr, nullptr) ? 0 : -1;
}

int plat_peer_v4(plat_sock s, uint32_t* addr) {
  plat_addr a;
  if (plat_peer_addr(s, &a) != 0 || !plat_addr_is_v4(a)) return -1;
  *addr = plat_addr_v4_num(a);
  return 0;
}

int plat_listen_tcp(const plat_addr& ip, int port, int backlog, bool dual, plat_sock* out) {
  struct sockaddr_storage sa;
  const socklen_t salen = sockaddr_of(ip, port, &sa);
  const int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int v6only = dual ? 0 : 1;
  if ((sa.ss_family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) ||
      bind(fd, reinterpret_cast<struct sockaddr*>(&sa), salen) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  *out = static_cast<plat_sock>(fd);
  return 0;
}

int plat_listen_tcp4(const char* ip, int port, int backlog, plat_sock* out) {
  plat_addr a;
  if (plat_addr_parse(ip, &a) != 0 || !plat_addr_is_v4(a)) return -1;
  return plat_listen_tcp(a, port, backlog, false, out);
}

int plat_sock_port(plat_sock s) {
  struct sockaddr_storage sa;
  socklen_t len = sizeof sa;
  if (getsockname(fd_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  plat_addr a;
  int port = -1;
  return addr_of_sockaddr(reinterpret_cast<struct sockaddr*>(&sa), &a, &port) ? port : -1;
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

int plat_connect_tcp(const plat_addr& ip, int port, plat_sock* out) {
  struct sockaddr_storage sa;
  const socklen_t salen = sockaddr_of(ip, port, &sa);
  const int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), salen) != 0) {
    close(fd);
    return -1;
  }
  *out = static_cast<plat_sock>(fd);
  return 0;
}

int plat_connect_local(const char* path, plat_sock* out) {
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  if (path == nullptr || strlen(path) >= sizeof sa.sun_path) return -1;
  memcpy(sa.sun_path, path, strlen(path));
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  *out = static_cast<plat_sock>(fd);
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
  plat_addr a;
  if (plat_addr_parse(ip, &a) != 0) {
    if (reasonlen > 0) snprintf(reason, reasonlen, "not an IPv4 or IPv6 address");
    return PLAT_BIND_BAD_ADDRESS;
  }
  struct sockaddr_storage sa;
  const socklen_t salen = sockaddr_of(a, port, &sa);
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const int fd = socket(sa.ss_family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      if (reasonlen > 0) snprintf(reason, reasonlen, "%s", strerror(errno));
      return PLAT_BIND_OTHER;
    }
    int one = 1;
    // As the listeners are opened: TCP with address reuse, UDP without.
    if (type == SOCK_STREAM) (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int failed = bind(fd, reinterpret_cast<struct sockaddr*>(&sa), salen);
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
