// What the portmapper's table says, for those who tell another portmapper
// (the host's rpcbind) what this server serves.
#pragma once

#include <cstdint>

#include "plat/plat.h"

// One program, version and protocol served, with its port.
struct portmap_entry {
  uint32_t prog;
  uint32_t vers;
  uint32_t proto;  // RPC_PROTO_TCP or RPC_PROTO_UDP
  int port;
};
// The rows of the portmapper's table other than the portmapper itself whose
// ports are open now, at most max of them into out; returns their number.
int portmap_programs(portmap_entry* out, int max);
// The universal address of a port on an address ("a.b.c.d.p1.p2",
// "x::y.p1.p2"); out holds PLAT_ADDR_TEXT + 8 bytes.
void portmap_uaddr(const plat_addr& a, uint32_t port, char* out);
// The netid of a protocol over a family: tcp, udp, tcp6, udp6.
const char* portmap_netid(uint32_t proto, bool v6);
