// Addresses of the platform layer: one record for an IP address of either
// family, its text forms, and the addresses of this host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// An IP address of either family: 16 bytes in network order, an IPv4
// address as its IPv4-mapped IPv6 form (::ffff:a.b.c.d). So one comparison
// serves both families, and an IPv4 client that reaches an IPv6 socket (as
// an IPv4-mapped address) is the same address as when it reaches an IPv4
// one. A plain record: copied, compared and hashed as bytes.
struct plat_addr {
  unsigned char b[16];
};

// The record of an IPv4 address given as a number, first octet most significant.
inline plat_addr plat_addr_v4(uint32_t ip) {
  plat_addr a{};
  a.b[10] = a.b[11] = 0xFF;
  for (int i = 0; i < 4; i++) a.b[12 + i] = static_cast<unsigned char>(ip >> (24 - 8 * i));
  return a;
}
// True for an IPv4 address (IPv4-mapped).
inline bool plat_addr_is_v4(const plat_addr& a) {
  static const unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return memcmp(a.b, kPrefix, sizeof kPrefix) == 0;
}
// The IPv4 number of an IPv4 address (its last four bytes).
inline uint32_t plat_addr_v4_num(const plat_addr& a) {
  return (uint32_t{a.b[12]} << 24) | (uint32_t{a.b[13]} << 16) | (uint32_t{a.b[14]} << 8) | a.b[15];
}
inline bool plat_addr_eq(const plat_addr& x, const plat_addr& y) { return memcmp(x.b, y.b, 16) == 0; }
// True for the any-address of either family (0.0.0.0 or ::).
inline bool plat_addr_is_any(const plat_addr& a) {
  static const plat_addr kAny6{};
  return plat_addr_eq(a, kAny6) || plat_addr_eq(a, plat_addr_v4(0));
}

// The longest text of an address, terminator included.
constexpr size_t PLAT_ADDR_TEXT = 48;

// Reads a dotted IPv4 address or an IPv6 address in its text form (no
// brackets, no zone). 0 with *out set, or -1.
int plat_addr_parse(const char* text, plat_addr* out);
// Writes the address's text: dotted for IPv4, the shortest IPv6 form
// otherwise. out holds PLAT_ADDR_TEXT bytes.
void plat_addr_text(const plat_addr& a, char* out);

// Stores up to max addresses of this host: the loopback address of each
// family the system has, then every address of every interface that is up
// (IPv6 link-local ones included). Returns the number stored, 0 when they
// cannot be read.
int plat_host_addrs(plat_addr* out, int max);
