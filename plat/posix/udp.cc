// POSIX UDP (Linux): non-blocking datagram sockets of either family that
// learn where each datagram was sent and answer from there, and the
// broadcast address of a local interface from getifaddrs.
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
#include "plat/sockaddr.h"

using namespace plat_posix;  // the helpers of posix_internal.h
using plat_sa::addr_of_sockaddr;
using plat_sa::sockaddr_of;

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

int plat_udp_open(const plat_addr& ip, int port, bool dual, plat_sock* out) {
  struct sockaddr_storage sa;
  const socklen_t salen = sockaddr_of(ip, port, &sa);
  const int fd = socket(sa.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  int v6only = dual ? 0 : 1;
  // Each datagram comes with the address it was sent to: IPv4 ones (on an
  // IPv6 socket too, where they arrive IPv4-mapped) with IP_PKTINFO, whose
  // local address is the interface's own even for a broadcast; IPv6 ones
  // with IPV6_PKTINFO.
  (void)setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  if (sa.ss_family == AF_INET6) {
    (void)setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) {
      close(fd);
      return -1;
    }
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), salen) != 0) {
    close(fd);
    return -1;
  }
  *out = static_cast<plat_sock>(fd);
  return 0;
}

int plat_udp_open4(const char* ip, int port, plat_sock* out) {
  plat_addr a;
  if (plat_addr_parse(ip, &a) != 0 || !plat_addr_is_v4(a)) return -1;
  return plat_udp_open(a, port, false, out);
}

int64_t plat_udp_recv_from(plat_sock s, void* buf, size_t len, plat_udp_from* from) {
  struct sockaddr_storage sa;
  struct iovec iov = {buf, len};
  alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(struct in6_pktinfo)) +
                                                CMSG_SPACE(sizeof(struct in_pktinfo))];
  struct msghdr m;
  memset(&m, 0, sizeof m);
  m.msg_name = &sa;
  m.msg_namelen = sizeof sa;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  ssize_t r;
  do {
    r = recvmsg(fd_of(s), &m, MSG_DONTWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
  if (!addr_of_sockaddr(reinterpret_cast<struct sockaddr*>(&sa), &from->addr, &from->port)) return -1;
  from->via6 = sa.ss_family == AF_INET6;
  from->local = plat_addr{};
  from->ifindex = 0;
  bool have_v4 = false;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      struct in_pktinfo pi;
      memcpy(&pi, CMSG_DATA(c), sizeof pi);
      from->local = plat_addr_v4(ntohl(pi.ipi_spec_dst.s_addr));
      from->ifindex = static_cast<uint32_t>(pi.ipi_ifindex);
      have_v4 = true;
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO && !have_v4) {
      struct in6_pktinfo pi;
      memcpy(&pi, CMSG_DATA(c), sizeof pi);
      memcpy(from->local.b, &pi.ipi6_addr, 16);
      from->ifindex = pi.ipi6_ifindex;
    }
  }
  return r;
}

namespace {

int64_t send_msg(int fd, struct msghdr* m) {
  ssize_t r;
  do {
    r = sendmsg(fd, m, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? -1 : r;
}

}  // namespace

int64_t plat_udp_reply(plat_sock s, const void* buf, size_t len, const plat_udp_from* to) {
  struct sockaddr_storage sa;
  struct iovec iov = {const_cast<void*>(buf), len};
  struct msghdr m;
  memset(&m, 0, sizeof m);
  m.msg_name = &sa;
  m.msg_namelen = sockaddr_of(to->addr, to->port, &sa, to->via6);
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(struct in6_pktinfo))];
  memset(control, 0, sizeof control);
  if (!plat_addr_is_any(to->local)) {
    struct cmsghdr* c = reinterpret_cast<struct cmsghdr*>(control);
    // The reply leaves from the address the call reached; the system picks
    // the interface by its routes.
    if (to->via6) {
      struct in6_pktinfo pi;
      memset(&pi, 0, sizeof pi);
      memcpy(&pi.ipi6_addr, to->local.b, 16);
      c->cmsg_level = IPPROTO_IPV6;
      c->cmsg_type = IPV6_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof pi);
      memcpy(CMSG_DATA(c), &pi, sizeof pi);
      m.msg_controllen = CMSG_SPACE(sizeof pi);
    } else {
      struct in_pktinfo pi;
      memset(&pi, 0, sizeof pi);
      memcpy(&pi.ipi_spec_dst, to->local.b + 12, 4);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof pi);
      memcpy(CMSG_DATA(c), &pi, sizeof pi);
      m.msg_controllen = CMSG_SPACE(sizeof pi);
    }
    m.msg_control = control;
    const int64_t r = send_msg(fd_of(s), &m);
    if (r >= 0) return r;
    // An address that cannot be a source (a broadcast one): the system chooses.
    m.msg_control = nullptr;
    m.msg_controllen = 0;
  }
  return send_msg(fd_of(s), &m);
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
