// Windows addresses: this host's addresses from GetAdaptersAddresses.
#include "plat/win32/win32_internal.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstdlib>

#include "plat/sockaddr.h"

using namespace plat_win32;  // the helpers of win32_internal.h

void plat_win32::each_up_address(void (*fn)(const sockaddr*, int, bool, void*), void* user) {
  ULONG size = 16384;
  for (int attempt = 0; attempt < 3; attempt++) {
    auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(malloc(size));
    if (list == nullptr) return;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    const ULONG r = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, list, &size);
    if (r == ERROR_BUFFER_OVERFLOW) {
      free(list);
      continue;
    }
    for (IP_ADAPTER_ADDRESSES* ad = r == NO_ERROR ? list : nullptr; ad != nullptr; ad = ad->Next) {
      if (ad->OperStatus != IfOperStatusUp) continue;
      const bool loopback = ad->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
      for (IP_ADAPTER_UNICAST_ADDRESS* u = ad->FirstUnicastAddress; u != nullptr; u = u->Next) {
        fn(u->Address.lpSockaddr, u->OnLinkPrefixLength, loopback, user);
      }
    }
    free(list);
    return;
  }
}

namespace {

struct host_addrs {
  plat_addr* out;
  int n, max;
};

void add_addr(const sockaddr* sa, int, bool, void* user) {
  auto* to = static_cast<host_addrs*>(user);
  plat_sa::add_host_addr(sa, to->out, &to->n, to->max);
}

}  // namespace

int plat_host_addrs(plat_addr* out, int max) {
  host_addrs to{out, plat_sa::host_loopbacks(out, max), max};
  each_up_address(add_addr, &to);
  return to.n;
}
