// Socket addresses of either family for the address record, shared by the
// socket code of both systems (defined in plat/addr.cc). Only the platform
// layer includes this.
#pragma once

#include "plat/addr.h"

struct sockaddr;
struct sockaddr_storage;

namespace plat_sa {

// The socket address of an address record and port: AF_INET for an IPv4
// address, AF_INET6 otherwise or when as6 asks for it (an IPv4 address then
// IPv4-mapped, for an IPv6 socket). Returns its length.
int sockaddr_of(const plat_addr& a, int port, struct sockaddr_storage* out, bool as6 = false);
// The address record and port of a socket address of either family; false
// for another family.
bool addr_of_sockaddr(const struct sockaddr* sa, plat_addr* a, int* port);

// Adds the address of a socket address to a list of this host's addresses
// (out, *n used of max) unless it is there already or is of another family.
void add_host_addr(const struct sockaddr* sa, plat_addr* out, int* n, int max);
// Starts such a list with the loopback addresses of both families; the
// number stored.
int host_loopbacks(plat_addr* out, int max);

// Adds the network of address a with prefix length (bits of the 16-byte
// record) to nets and prefixes (*n used of max): its host bits cleared,
// unless it is there already; link-local IPv6 networks are left out.
void add_host_network(plat_addr a, int prefix, plat_addr* nets, int* prefixes, int* n, int max);

}  // namespace plat_sa
