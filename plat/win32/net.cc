// Windows sockets: Windows Sockets 2 with WSAPoll, TCP listeners of either
// family for exclusive use and connections that child processes do not
// inherit, and
// sends and receives with and without waiting.
#include "plat/win32/win32_internal.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "plat/sockaddr.h"

using namespace plat_win32;  // the helpers of win32_internal.h
using plat_sa::addr_of_sockaddr;
using plat_sa::sockaddr_of;

namespace {

// Set once the socket library has been started; never cleared.
volatile LONG wsa_ok = 0;

}  // namespace

// ---- Sockets -------------------------------------------------------------

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

int plat_peer_addr(plat_sock s, plat_addr* addr) {
  struct sockaddr_storage sa;
  int len = sizeof sa;
  if (getpeername(sock_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  return addr_of_sockaddr(reinterpret_cast<struct sockaddr*>(&sa), addr, nullptr) ? 0 : -1;
}

int plat_local_addr(plat_sock s, plat_addr* addr) {
  struct sockaddr_storage sa;
  int len = sizeof sa;
  if (getsockname(sock_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  return addr_of_sockaddr(reinterpret_cast<struct sockaddr*>(&sa), addr, nullptr) ? 0 : -1;
}

int plat_peer_v4(plat_sock s, uint32_t* addr) {
  plat_addr a;
  if (plat_peer_addr(s, &a) != 0 || !plat_addr_is_v4(a)) return -1;
  *addr = plat_addr_v4_num(a);
  return 0;
}

namespace plat_win32 {

SOCKET new_socket(int family, int type, int protocol) {
  if (plat_net_init() != 0) return INVALID_SOCKET;
  SOCKET s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    s = socket(family, type, protocol);
    if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s;
}

}  // namespace plat_win32

namespace {

// A new IPv4 stream socket that child processes do not inherit.
SOCKET new_tcp4() { return new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

}  // namespace

int plat_listen_tcp(const plat_addr& ip, int port, int backlog, bool dual, plat_sock* out) {
  struct sockaddr_storage sa;
  const int salen = sockaddr_of(ip, port, &sa);
  SOCKET s = new_socket(sa.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  // Exclusive use: on Windows, address reuse would let another program bind
  // the same address and port and take over the server's connections.
  BOOL one = TRUE;
  (void)setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  DWORD v6only = dual ? 0 : 1;
  if ((sa.ss_family == AF_INET6 &&
       setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only), sizeof v6only) != 0) ||
      bind(s, reinterpret_cast<struct sockaddr*>(&sa), salen) != 0 ||
      listen(s, backlog == PLAT_BACKLOG_MAX ? SOMAXCONN : backlog) != 0) {
    closesocket(s);
    return -1;
  }
  *out = static_cast<plat_sock>(s);
  return 0;
}

int plat_listen_tcp4(const char* ip, int port, int backlog, plat_sock* out) {
  plat_addr a;
  if (plat_addr_parse(ip, &a) != 0 || !plat_addr_is_v4(a)) return -1;
  return plat_listen_tcp(a, port, backlog, false, out);
}

int plat_sock_port(plat_sock s) {
  struct sockaddr_storage sa;
  int len = sizeof sa;
  if (getsockname(sock_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return -1;
  plat_addr a;
  int port = -1;
  return addr_of_sockaddr(reinterpret_cast<struct sockaddr*>(&sa), &a, &port) ? port : -1;
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

int plat_connect_tcp(const plat_addr& ip, int port, plat_sock* out) {
  struct sockaddr_storage sa;
  const int salen = sockaddr_of(ip, port, &sa);
  SOCKET s = new_socket(sa.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  if (connect(s, reinterpret_cast<struct sockaddr*>(&sa), salen) != 0) {
    closesocket(s);
    return -1;
  }
  *out = static_cast<plat_sock>(s);
  return 0;
}

// No rpcbind listens on a local socket on Windows.
int plat_connect_local(const char*, plat_sock*) { return -1; }

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
  plat_addr a;
  if (plat_addr_parse(ip, &a) != 0) {
    if (reasonlen > 0) snprintf(reason, reasonlen, "not an IPv4 or IPv6 address");
    return PLAT_BIND_BAD_ADDRESS;
  }
  struct sockaddr_storage sa;
  const int salen = sockaddr_of(a, port, &sa);
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const SOCKET s = socket(sa.ss_family, type, 0);
    if (s == INVALID_SOCKET) {
      error_text(static_cast<unsigned long>(WSAGetLastError()), reason, reasonlen);
      return PLAT_BIND_OTHER;
    }
    int failed = bind(s, reinterpret_cast<struct sockaddr*>(&sa), salen);
    if (failed == 0 && type == SOCK_STREAM) failed = listen(s, 1);
    const int e = failed != 0 ? WSAGetLastError() : 0;
    closesocket(s);
    if (failed != 0) {
      error_text(static_cast<unsigned long>(e), reason, reasonlen);
      return bind_result_of(e);
    }
  }
  return PLAT_BIND_FREE;
}
