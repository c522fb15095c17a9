// The address record, its text forms and socket addresses of either
// family: what the socket libraries of both systems offer alike (inet_pton,
// inet_ntop, sockaddr_in and sockaddr_in6), compiled for each.
#ifdef _WIN32
#include "plat/win32/win32_internal.h"

#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "plat/plat.h"
#include "plat/sockaddr.h"

int plat_addr_parse(const char* text, plat_addr* out) {
  if (text == nullptr) return -1;
  struct in_addr v4;
  if (inet_pton(AF_INET, text, &v4) == 1) {
    *out = plat_addr_v4(ntohl(v4.s_addr));
    return 0;
  }
  struct in6_addr v6;
  if (inet_pton(AF_INET6, text, &v6) != 1) return -1;
  memcpy(out->b, &v6, 16);
  return 0;
}

void plat_addr_text(const plat_addr& a, char* out) {
  if (plat_addr_is_v4(a)) {
    (void)inet_ntop(AF_INET, a.b + 12, out, PLAT_ADDR_TEXT);
  } else {
    (void)inet_ntop(AF_INET6, a.b, out, PLAT_ADDR_TEXT);
  }
}

namespace plat_sa {

int sockaddr_of(const plat_addr& a, int port, struct sockaddr_storage* out, bool as6) {
  memset(out, 0, sizeof *out);
  const auto p = htons(static_cast<uint16_t>(port & 0xFFFF));
  if (plat_addr_is_v4(a) && !as6) {
    auto* sa = reinterpret_cast<struct sockaddr_in*>(out);
    sa->sin_family = AF_INET;
    sa->sin_port = p;
    memcpy(&sa->sin_addr, a.b + 12, 4);
    return static_cast<int>(sizeof *sa);
  }
  auto* sa = reinterpret_cast<struct sockaddr_in6*>(out);
  sa->sin6_family = AF_INET6;
  sa->sin6_port = p;
  memcpy(&sa->sin6_addr, a.b, 16);
  return static_cast<int>(sizeof *sa);
}

bool addr_of_sockaddr(const struct sockaddr* sa, plat_addr* a, int* port) {
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(sa);
    *a = plat_addr_v4(ntohl(in->sin_addr.s_addr));
    if (port != nullptr) *port = ntohs(in->sin_port);
    return true;
  }
  if (sa->sa_family != AF_INET6) return false;
  const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(sa);
  memcpy(a->b, &in6->sin6_addr, 16);
  if (port != nullptr) *port = ntohs(in6->sin6_port);
  return true;
}

void add_host_addr(const struct sockaddr* sa, plat_addr* out, int* n, int max) {
  plat_addr a;
  if (*n >= max || !addr_of_sockaddr(sa, &a, nullptr)) return;
  for (int k = 0; k < *n; k++) {
    if (plat_addr_eq(out[k], a)) return;
  }
  out[(*n)++] = a;
}

void add_host_network(plat_addr a, int prefix, plat_addr* nets, int* prefixes, int* n, int max) {
  if (*n >= max || prefix < 0 || prefix > 128) return;
  if (!plat_addr_is_v4(a) && a.b[0] == 0xFE && (a.b[1] & 0xC0) == 0x80) return;  // link-local
  for (int bit = prefix; bit < 128; bit++) a.b[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
  for (int k = 0; k < *n; k++) {
    if (plat_addr_eq(nets[k], a) && prefixes[k] == prefix) return;
  }
  nets[*n] = a;
  prefixes[*n] = prefix;
  (*n)++;
}

int host_loopbacks(plat_addr* out, int max) {
  int n = 0;
  if (n < max) out[n++] = plat_addr_v4(0x7F000001u);
  plat_addr lo6{};
  lo6.b[15] = 1;
  if (n < max) out[n++] = lo6;
  return n;
}

}  // namespace plat_sa

