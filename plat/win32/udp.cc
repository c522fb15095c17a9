// Windows UDP: non-blocking IPv4 datagram sockets for exclusive use, which
// also receive their network's broadcasts.
#include "plat/win32/win32_internal.h"

#include <ws2tcpip.h>

#include <cstring>

using namespace plat_win32;  // the helpers of win32_internal.h

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
