// Windows UDP: non-blocking datagram sockets of either family for exclusive
// use, which also receive their network's broadcasts, learn where each
// datagram was sent (WSARecvMsg) and answer from there (WSASendMsg).
#include "plat/win32/win32_internal.h"

#include <mswsock.h>
#include <ws2tcpip.h>

#include <cstring>

#include "plat/sockaddr.h"

using namespace plat_win32;  // the helpers of win32_internal.h
using plat_sa::addr_of_sockaddr;
using plat_sa::sockaddr_of;

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

int plat_udp_open(const plat_addr& ip, int port, bool dual, plat_sock* out) {
  struct sockaddr_storage sa;
  const int salen = sockaddr_of(ip, port, &sa);
  SOCKET s = new_socket(sa.ss_family, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return -1;
  BOOL one = TRUE;
  (void)setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  // A datagram answered by "port unreachable" would otherwise make the next
  // receive fail (SIO_UDP_CONNRESET, off).
  BOOL off = FALSE;
  DWORD ignored = 0;
  (void)WSAIoctl(s, _WSAIOW(IOC_VENDOR, 12), &off, sizeof off, nullptr, 0, &ignored, nullptr, nullptr);
  // Each datagram comes with the address it was sent to.
  DWORD on = 1;
  (void)setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on);
  DWORD v6only = dual ? 0 : 1;
  if (sa.ss_family == AF_INET6) {
    (void)setsockopt(s, IPPROTO_IPV6, IPV6_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on);
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only), sizeof v6only) != 0) {
      closesocket(s);
      return -1;
    }
  }
  u_long nonblocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonblocking) != 0 || bind(s, reinterpret_cast<struct sockaddr*>(&sa), salen) != 0) {
    closesocket(s);
    return -1;
  }
  *out = static_cast<plat_sock>(s);
  return 0;
}

int plat_udp_open4(const char* ip, int port, plat_sock* out) {
  plat_addr a;
  if (plat_addr_parse(ip, &a) != 0 || !plat_addr_is_v4(a)) return -1;
  return plat_udp_open(a, port, false, out);
}

namespace {

// WSARecvMsg, found through the socket once (the same for every socket of
// the provider); null when the system has none.
LPFN_WSARECVMSG recv_msg_fn(SOCKET s) {
  static LPFN_WSARECVMSG fn = nullptr;
  static volatile LONG looked = 0;
  if (InterlockedCompareExchange(&looked, 1, 0) == 0) {
    GUID guid = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG found = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &found, sizeof found, &bytes, nullptr,
                 nullptr) == 0) {
      fn = found;
    }
    InterlockedExchange(&looked, 2);
  }
  while (looked != 2) Sleep(0);
  return fn;
}

}  // namespace

int64_t plat_udp_recv_from(plat_sock s, void* buf, size_t len, plat_udp_from* from) {
  struct sockaddr_storage sa;
  memset(&sa, 0, sizeof sa);
  const ULONG n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<ULONG>(len);
  WSABUF data = {n, static_cast<char*>(buf)};
  char control[WSA_CMSG_SPACE(sizeof(IN6_PKTINFO)) + WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
  WSAMSG m;
  memset(&m, 0, sizeof m);
  m.name = reinterpret_cast<struct sockaddr*>(&sa);
  m.namelen = sizeof sa;
  m.lpBuffers = &data;
  m.dwBufferCount = 1;
  m.Control.buf = control;
  m.Control.len = sizeof control;
  DWORD got = 0;
  const LPFN_WSARECVMSG recv_msg = recv_msg_fn(sock_of(s));
  int r;
  if (recv_msg != nullptr) {
    r = recv_msg(sock_of(s), &m, &got, nullptr, nullptr);
  } else {
    int sl = sizeof sa;
    r = recvfrom(sock_of(s), static_cast<char*>(buf), static_cast<int>(n), 0, m.name, &sl);
    got = r == SOCKET_ERROR ? 0 : static_cast<DWORD>(r);
    m.Control.len = 0;
  }
  if (r == SOCKET_ERROR) {
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return -2;
    if (e != WSAEMSGSIZE) return -1;
    got = n;  // cut to len; the sender is known
  }
  if (!addr_of_sockaddr(reinterpret_cast<struct sockaddr*>(&sa), &from->addr, &from->port)) return -1;
  from->via6 = sa.ss_family == AF_INET6;
  from->local = plat_addr{};
  from->ifindex = 0;
  for (WSACMSGHDR* c = m.Control.len ? WSA_CMSG_FIRSTHDR(&m) : nullptr; c != nullptr; c = WSA_CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      IN_PKTINFO pi;
      memcpy(&pi, WSA_CMSG_DATA(c), sizeof pi);
      from->local = plat_addr_v4(ntohl(pi.ipi_addr.s_addr));
      from->ifindex = pi.ipi_ifindex;
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      IN6_PKTINFO pi;
      memcpy(&pi, WSA_CMSG_DATA(c), sizeof pi);
      memcpy(from->local.b, &pi.ipi6_addr, 16);
      from->ifindex = pi.ipi6_ifindex;
    }
  }
  return got;
}

int64_t plat_udp_reply(plat_sock s, const void* buf, size_t len, const plat_udp_from* to) {
  if (len > 0x7FFFFFFF) return -1;
  struct sockaddr_storage sa;
  const int salen = sockaddr_of(to->addr, to->port, &sa, to->via6);
  WSABUF data = {static_cast<ULONG>(len), const_cast<char*>(static_cast<const char*>(buf))};
  char control[WSA_CMSG_SPACE(sizeof(IN6_PKTINFO))];
  memset(control, 0, sizeof control);
  WSAMSG m;
  memset(&m, 0, sizeof m);
  m.name = reinterpret_cast<struct sockaddr*>(&sa);
  m.namelen = salen;
  m.lpBuffers = &data;
  m.dwBufferCount = 1;
  if (!plat_addr_is_any(to->local)) {
    // The reply leaves from the address the call reached.
    WSACMSGHDR* c = reinterpret_cast<WSACMSGHDR*>(control);
    if (to->via6) {
      IN6_PKTINFO pi;
      memset(&pi, 0, sizeof pi);
      memcpy(&pi.ipi6_addr, to->local.b, 16);
      pi.ipi6_ifindex = to->ifindex;
      c->cmsg_level = IPPROTO_IPV6;
      c->cmsg_type = IPV6_PKTINFO;
      c->cmsg_len = WSA_CMSG_LEN(sizeof pi);
      memcpy(WSA_CMSG_DATA(c), &pi, sizeof pi);
      m.Control.len = WSA_CMSG_SPACE(sizeof pi);
    } else {
      IN_PKTINFO pi;
      memset(&pi, 0, sizeof pi);
      memcpy(&pi.ipi_addr, to->local.b + 12, 4);
      pi.ipi_ifindex = to->ifindex;
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = WSA_CMSG_LEN(sizeof pi);
      memcpy(WSA_CMSG_DATA(c), &pi, sizeof pi);
      m.Control.len = WSA_CMSG_SPACE(sizeof pi);
    }
    m.Control.buf = control;
    DWORD sent = 0;
    if (WSASendMsg(sock_of(s), &m, 0, &sent, nullptr, nullptr) == 0) return sent;
    // An address that cannot be a source (a broadcast one): the system chooses.
  }
  const int r = sendto(sock_of(s), static_cast<const char*>(buf), static_cast<int>(len), 0,
                       reinterpret_cast<const struct sockaddr*>(&sa), salen);
  return r == SOCKET_ERROR ? -1 : r;
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
