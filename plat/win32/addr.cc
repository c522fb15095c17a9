// Windows addresses: this host's addresses from GetAdaptersAddresses.
#include "plat/win32/win32_internal.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstdlib>

#include "plat/sockaddr.h"

int plat_host_addrs(plat_addr* out, int max) {
  int n = plat_sa::host_loopbacks(out, max);
  ULONG size = 16384;
  for (int attempt = 0; attempt < 3; attempt++) {
    auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(malloc(size));
    if (list == nullptr) return n;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    const ULONG r = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, list, &size);
    if (r == ERROR_BUFFER_OVERFLOW) {
      free(list);
      continue;
    }
    for (IP_ADAPTER_ADDRESSES* ad = r == NO_ERROR ? list : nullptr; ad != nullptr; ad = ad->Next) {
      if (ad->OperStatus != IfOperStatusUp) continue;
      for (IP_ADAPTER_UNICAST_ADDRESS* u = ad->FirstUnicastAddress; u != nullptr; u = u->Next) {
        plat_sa::add_host_addr(u->Address.lpSockaddr, out, &n, max);
      }
    }
    free(list);
    break;
  }
  return n;
}
