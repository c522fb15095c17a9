// POSIX UDP (Linux): non-blocking IPv4 datagram sockets, and the broadcast
// address of a local interface from getifaddrs.
#include "plat/plat.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "plat/posix/posix_internal.h"

using namespace plat_posix;  // the helpers of posix_internal.h

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
