// POSIX addresses: this host's addresses from getifaddrs.
#include "plat/plat.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include "plat/sockaddr.h"

int plat_host_addrs(plat_addr* out, int max) {
  int n = plat_sa::host_loopbacks(out, max);
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return n;
  for (struct ifaddrs* i = list; i != nullptr && n < max; i = i->ifa_next) {
    if (i->ifa_addr != nullptr && (i->ifa_flags & IFF_UP) != 0) plat_sa::add_host_addr(i->ifa_addr, out, &n, max);
  }
  freeifaddrs(list);
  return n;
}
