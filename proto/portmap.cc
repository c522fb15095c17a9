// The built-in portmapper: version 2 (NULL, GETPORT, DUMP, CALLIT) and rpcbind
// versions 3 and 4 (RFC 1833) over one fixed table of what this server
// listens on, read from the ports bound now, over each family listened on
// (netids tcp, udp, tcp6, udp6); the addresses given are those the client
// reached. Nothing can be registered, and
// CALLIT/INDIRECT is answered over UDP only, only for the NULL procedure of
// a program of this server, never forwarded. Stateless; any thread.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "proto/portmap.h"
#include "proto/rpc.h"
#include "state/server_rec.h"

namespace {

constexpr size_t kMaxText = 255;     // longest netid, address or owner read
constexpr const char* kOwner = "unknown";
constexpr uint32_t kStatWords = 3 * 17;  // rpcb_stat_byvers: 3 x (13 counters, 2 counts, 2 empty lists)

int nfs_port() { return G_SRV.bound_nfs_port.load(); }
int mount_port() { return G_SRV.bound_mount_port.load(); }
int mount_udp_port() { return G_SRV.bound_mount_udp_port.load(); }
int udp_portmap_port() { return G_SRV.bound_portmap_udp_port.load(); }

// What this server listens on; a row whose port is 0 does not listen now.
struct mapping {
  uint32_t prog;
  uint32_t vers;
  uint32_t proto;
  int (*port)();
};
constexpr mapping kMappings[] = {
    {PROG_PORTMAP, RPCBIND_V4, RPC_PROTO_TCP, portmap_port_now}, {PROG_PORTMAP, RPCBIND_V3, RPC_PROTO_TCP, portmap_port_now},
    {PROG_PORTMAP, PORTMAP_V2, RPC_PROTO_TCP, portmap_port_now}, {PROG_PORTMAP, RPCBIND_V4, RPC_PROTO_UDP, udp_portmap_port},
    {PROG_PORTMAP, RPCBIND_V3, RPC_PROTO_UDP, udp_portmap_port}, {PROG_PORTMAP, PORTMAP_V2, RPC_PROTO_UDP, udp_portmap_port},
    {PROG_MOUNT, MOUNT_V1, RPC_PROTO_UDP, mount_udp_port},       {PROG_MOUNT, MOUNT_V2, RPC_PROTO_UDP, mount_udp_port},
    {PROG_MOUNT, MOUNT_V3, RPC_PROTO_UDP, mount_udp_port},       {PROG_MOUNT, MOUNT_V1, RPC_PROTO_TCP, mount_port},
    {PROG_MOUNT, MOUNT_V2, RPC_PROTO_TCP, mount_port},           {PROG_MOUNT, MOUNT_V3, RPC_PROTO_TCP, mount_port},
    {PROG_NFS, NFS_V3, RPC_PROTO_TCP, nfs_port},
};

uint32_t port_of(uint32_t prog, uint32_t vers, uint32_t proto) {
  for (const mapping& m : kMappings) {
    if (m.prog == prog && m.vers == vers && m.proto == proto) return static_cast<uint32_t>(m.port());
  }
  return 0;
}

// The netid of a protocol over one family: "tcp", "udp", "tcp6", "udp6".
const char* netid_of(uint32_t proto, bool v6) {
  if (proto == RPC_PROTO_UDP) return v6 ? "udp6" : "udp";
  return v6 ? "tcp6" : "tcp";
}

// Whether the server listens for the family (IPv6 when v6).
bool family_served(bool v6) { return v6 ? G_SRV.serves_v6 : G_SRV.serves_v4; }

// The address a client of the call reaches the server by over a family: the
// address the call itself reached when it came by that family, else the
// first address listened on for it.
plat_addr addr_for(const rpc_call* call, bool v6) {
  if (plat_addr_is_v4(call->local) != v6 && !plat_addr_is_any(call->local)) return call->local;
  return srv_bound_addr(!v6);
}

// The protocol and family a netid names: "tcp", "udp", "tcp6", "udp6", or
// the empty netid for the transport and family the call came by. proto 0
// for any other.
struct netid_kind {
  uint32_t proto;
  bool v6;
};
netid_kind kind_of(const unsigned char* netid, size_t len, const rpc_call* call) {
  if (len == 0) return {call->transport, !plat_addr_is_v4(call->local)};
  const bool v6 = len == 4 && netid[3] == '6';
  if ((len == 3 || v6) && memcmp(netid, "tcp", 3) == 0) return {RPC_PROTO_TCP, v6};
  if ((len == 3 || v6) && memcmp(netid, "udp", 3) == 0) return {RPC_PROTO_UDP, v6};
  return {0, false};
}

// The universal address of a port on an address: "a.b.c.d.p1.p2" or
// "x:y::z.p1.p2".
struct uaddr {
  char text[PLAT_ADDR_TEXT + 8];
};
uaddr uaddr_of(const plat_addr& a, uint32_t port) {
  uaddr u;
  portmap_uaddr(a, port, u.text);
  return u;
}

// One rpcb argument; the texts are views into the call.
struct rpcb_arg {
  uint32_t prog;
  uint32_t vers;
  uint32_t proto;  // from the netid; 0 when it names no protocol served
  bool v6;         // the netid's family
};

bool read_rpcb(rpc_call* call, rpcb_arg* a) {
  a->prog = xd_u32(&call->args);
  a->vers = xd_u32(&call->args);
  size_t n = 0;
  const unsigned char* netid = xd_opaque(&call->args, &n, kMaxText);
  size_t ignored = 0;
  xd_opaque(&call->args, &ignored, kMaxText);  // r_addr
  xd_opaque(&call->args, &ignored, kMaxText);  // r_owner
  if (!xd_ok(&call->args)) return false;
  const netid_kind k = kind_of(netid, n, call);
  a->proto = family_served(k.v6) ? k.proto : 0;
  a->v6 = k.v6;
  return true;
}

// The address of the program and version over the protocol, or "" when it
// is not served that way. GETADDR (any_version) falls back to another version
// of the program, as RFC 1833 has it, so that a client asking for version 0
// reaches the program and learns its versions from its PROG_MISMATCH;
// GETVERSADDR asks for the exact version.
void put_addr(xdr_enc* reply, const rpc_call* call, const rpcb_arg& a, bool any_version) {
  uint32_t port = a.proto == 0 ? 0 : port_of(a.prog, a.vers, a.proto);
  for (const mapping& m : kMappings) {
    if (port != 0 || !any_version) break;
    if (m.prog == a.prog && m.proto == a.proto) port = static_cast<uint32_t>(m.port());
  }
  xe_string(reply, port == 0 ? "" : uaddr_of(addr_for(call, a.v6), port).text);
}

void put_dump_v2(xdr_enc* reply) {
  for (const mapping& m : kMappings) {
    if (m.port() == 0) continue;
    xe_bool(reply, 1);
    xe_u32(reply, m.prog);
    xe_u32(reply, m.vers);
    xe_u32(reply, m.proto);
    xe_u32(reply, static_cast<uint32_t>(m.port()));
  }
  xe_bool(reply, 0);
}

// The rpcbind listing: each row once per family served, with the address a
// client of the call reaches over that family.
void put_dump_rpcb(xdr_enc* reply, const rpc_call* call) {
  for (bool v6 : {false, true}) {
    if (!family_served(v6)) continue;
    const plat_addr at = addr_for(call, v6);
    for (const mapping& m : kMappings) {
      if (m.port() == 0) continue;
      xe_bool(reply, 1);
      xe_u32(reply, m.prog);
      xe_u32(reply, m.vers);
      xe_string(reply, netid_of(m.proto, v6));
      xe_string(reply, uaddr_of(at, static_cast<uint32_t>(m.port())).text);
      xe_string(reply, kOwner);
    }
  }
  xe_bool(reply, 0);
}

// GETADDRLIST: every address of the program and version (RFC 1833 reads
// only those two fields), over each family served.
void put_addr_list(xdr_enc* reply, const rpc_call* call, uint32_t prog, uint32_t vers) {
  for (bool v6 : {false, true}) {
    if (!family_served(v6)) continue;
    const plat_addr at = addr_for(call, v6);
    for (const mapping& m : kMappings) {
      if (m.prog != prog || m.vers != vers || m.port() == 0) continue;
      xe_bool(reply, 1);
      xe_string(reply, uaddr_of(at, static_cast<uint32_t>(m.port())).text);
      xe_string(reply, netid_of(m.proto, v6));
      xe_u32(reply, m.proto == RPC_PROTO_UDP ? 1 : 3);  // NC_TPI_CLTS, NC_TPI_COTS_ORD
      xe_string(reply, v6 ? "inet6" : "inet");
      xe_string(reply, netid_of(m.proto, false));
    }
  }
  xe_bool(reply, 0);
}

// UADDR2TADDR: the IPv4 socket address of a universal address, laid out as
// the clients' own sockaddr_in (family 2 as a little-endian 16-bit number,
// then port and address in network order, then 8 zero bytes); an empty
// netbuf for a text that is not one.
void put_taddr(xdr_enc* reply, const unsigned char* text, size_t len) {
  char s[kMaxText + 1];
  memcpy(s, text, len);
  s[len] = 0;
  unsigned v[6];
  char extra;
  const bool ok = sscanf(s, "%u.%u.%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &extra) == 6 &&
                  v[0] < 256 && v[1] < 256 && v[2] < 256 && v[3] < 256 && v[4] < 256 && v[5] < 256;
  unsigned char sa[16] = {2, 0};
  if (ok) {
    sa[2] = static_cast<unsigned char>(v[4]);
    sa[3] = static_cast<unsigned char>(v[5]);
    for (int i = 0; i < 4; i++) sa[4 + i] = static_cast<unsigned char>(v[i]);
  }
  xe_u32(reply, ok ? sizeof sa : 0);  // maxlen
  xe_opaque(reply, sa, ok ? sizeof sa : 0);
}

// TADDR2UADDR: the universal address of an IPv4 socket address (family 2 in
// either byte order); "" for anything else.
void put_uaddr_of_taddr(xdr_enc* reply, const unsigned char* sa, size_t len) {
  const bool inet = len >= 8 && ((sa[0] == 2 && sa[1] == 0) || (sa[0] == 0 && sa[1] == 2));
  char s[32] = "";
  if (inet) snprintf(s, sizeof s, "%u.%u.%u.%u.%u.%u", sa[4], sa[5], sa[6], sa[7], sa[2], sa[3]);
  xe_string(reply, s);
}

// CALLIT (version 2) and CALLIT/BCAST/INDIRECT (versions 3 and 4): over UDP,
// the NULL procedure of a program and version this server serves is answered
// here as if it had been forwarded, with the program's port (UDP if it has
// one); the reply is never larger than the call. Everything else, and every
// such call over TCP, gets no reply over UDP (a broadcast is answered only by
// those who can) and PROC_UNAVAIL over TCP.
svc_result callit(rpc_call* call, xdr_enc* reply) {
  if (call->transport != RPC_PROTO_UDP) {
    put_reply_header(reply, call->xid, RPC_PROC_UNAVAIL);
    return SVC_REPLY;
  }
  const uint32_t prog = xd_u32(&call->args);
  const uint32_t vers = xd_u32(&call->args);
  const uint32_t proc = xd_u32(&call->args);
  size_t n = 0;
  xd_opaque(&call->args, &n, call->args.len);
  if (!xd_ok(&call->args) || proc != 0) return SVC_DROP;
  uint32_t port = port_of(prog, vers, RPC_PROTO_UDP);
  if (port == 0) port = port_of(prog, vers, RPC_PROTO_TCP);
  if (port == 0) return SVC_DROP;
  const uaddr u = uaddr_of(addr_for(call, !plat_addr_is_v4(call->local)), port);
  const size_t text = strlen(u.text);
  const size_t size = 24 + (call->vers == PORTMAP_V2 ? 4 : 4 + (text + 3) / 4 * 4) + 4;
  if (size > call->args.len) return SVC_DROP;
  put_reply_header(reply, call->xid, RPC_SUCCESS);
  if (call->vers == PORTMAP_V2) {
    xe_u32(reply, port);
  } else {
    xe_string(reply, u.text);
  }
  xe_opaque(reply, nullptr, 0);  // NULL has no results
  return SVC_REPLY;
}

svc_result serve_v2(rpc_call* call, xdr_enc* reply) {
  switch (call->proc) {
    case PMAPPROC_NULL:
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      return SVC_REPLY;
    case PMAPPROC_GETADDR: {
      const uint32_t prog = xd_u32(&call->args);
      const uint32_t vers = xd_u32(&call->args);
      const uint32_t prot = xd_u32(&call->args);
      if (!xd_ok(&call->args)) return SVC_DROP;
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      xe_u32(reply, port_of(prog, vers, prot == 0 ? RPC_PROTO_TCP : prot));
      return SVC_REPLY;
    }
    case PMAPPROC_DUMP:
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      put_dump_v2(reply);
      return SVC_REPLY;
    case PMAPPROC_CALLIT:
      return callit(call, reply);
    default:
      put_reply_header(reply, call->xid, RPC_PROC_UNAVAIL);
      return SVC_REPLY;
  }
}

svc_result serve_rpcb(rpc_call* call, xdr_enc* reply) {
  const bool v4 = call->vers == RPCBIND_V4;
  rpcb_arg a;
  switch (call->proc) {
    case PMAPPROC_NULL:
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      return SVC_REPLY;
    case PMAPPROC_GETADDR:
      if (!read_rpcb(call, &a)) return SVC_DROP;
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      put_addr(reply, call, a, true);
      return SVC_REPLY;
    case PMAPPROC_DUMP:
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      put_dump_rpcb(reply, call);
      return SVC_REPLY;
    case PMAPPROC_CALLIT:
      return callit(call, reply);
    case PMAPPROC_GETTIME:
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      xe_u32(reply, static_cast<uint32_t>(time(nullptr)));
      return SVC_REPLY;
    case PMAPPROC_UADDR2TADDR:
    case PMAPPROC_TADDR2UADDR: {
      // A netbuf (TADDR2UADDR) is its maxlen, then the address as an opaque.
      if (call->proc == PMAPPROC_TADDR2UADDR) xd_u32(&call->args);
      size_t n = 0;
      const unsigned char* p = xd_opaque(&call->args, &n, kMaxText);
      if (p == nullptr) return SVC_DROP;
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      if (call->proc == PMAPPROC_UADDR2TADDR) {
        put_taddr(reply, p, n);
      } else {
        put_uaddr_of_taddr(reply, p, n);
      }
      return SVC_REPLY;
    }
    default:
      break;
  }
  if (v4) {
    switch (call->proc) {
      case PMAPPROC_GETVERSADDR:
        if (!read_rpcb(call, &a)) return SVC_DROP;
        put_reply_header(reply, call->xid, RPC_SUCCESS);
        put_addr(reply, call, a, false);
        return SVC_REPLY;
      case PMAPPROC_INDIRECT:
        return callit(call, reply);
      case PMAPPROC_GETADDRLIST:
        if (!read_rpcb(call, &a)) return SVC_DROP;
        put_reply_header(reply, call->xid, RPC_SUCCESS);
        put_addr_list(reply, call, a.prog, a.vers);
        return SVC_REPLY;
      case PMAPPROC_GETSTAT:
        // Nothing is counted: the table is all zeros and empty lists.
        put_reply_header(reply, call->xid, RPC_SUCCESS);
        for (uint32_t i = 0; i < kStatWords; i++) xe_u32(reply, 0);
        return SVC_REPLY;
      default:
        break;
    }
  }
  // SET and UNSET are refused as in version 2: nothing can be registered.
  put_reply_header(reply, call->xid, RPC_PROC_UNAVAIL);
  return SVC_REPLY;
}

}  // namespace

svc_result portmap_serve(rpc_call* call, xdr_enc* reply) {
  return call->vers == PORTMAP_V2 ? serve_v2(call, reply) : serve_rpcb(call, reply);
}

void portmap_uaddr(const plat_addr& a, uint32_t port, char* out) {
  char text[PLAT_ADDR_TEXT];
  plat_addr_text(a, text);
  snprintf(out, PLAT_ADDR_TEXT + 8, "%s.%u.%u", text, (port >> 8) & 255, port & 255);
}

const char* portmap_netid(uint32_t proto, bool v6) { return netid_of(proto, v6); }

int portmap_programs(portmap_entry* out, int max) {
  int n = 0;
  for (const mapping& m : kMappings) {
    if (m.prog == PROG_PORTMAP || m.port() == 0 || n == max) continue;
    out[n++] = portmap_entry{m.prog, m.vers, m.proto, m.port()};
  }
  return n;
}
