// The UDP listeners. Each thread waits for its socket in 200 ms turns, takes
// one datagram, processes it as one call (the client is the datagram's
// source) and sends the reply, if any, to the source from the address the
// datagram reached (on a socket bound to an any-address, too).
// Datagrams that do not decode as calls are dropped without a reply. Where
// broadcasts reach only a socket bound to the network's broadcast address, a
// third thread answers the portmapper's CALLIT/INDIRECT there (LAN
// discovery), replying from the portmapper's own socket.
#include "server/udp.h"

#include <cstdio>
#include <cstdlib>

#include "plat/plat.h"
#include "proto/rpc.h"
#include "state/config.h"
#include "state/exports.h"
#include "state/last_error.h"
#include "state/server_rec.h"

namespace {

constexpr int kPollMs = 200;
constexpr size_t kMaxDatagram = 65536;  // more than any IPv4 UDP payload
constexpr size_t kMaxReply = 65507;     // the largest IPv4 UDP payload

struct udp_listener {
  plat_sock sock = PLAT_INVALID_SOCK;
  plat_thread thread = 0;
  // Replies go out from this socket (the one bound to the server's address).
  plat_sock reply_sock = PLAT_INVALID_SOCK;
  // Only CALLIT/INDIRECT calls of the portmapper are answered (broadcasts).
  bool callit_only = false;
  // The address the socket that replies is bound to.
  plat_addr addr{};
};
// Per bound address: MOUNT, the portmapper, and the portmapper on the
// network's broadcast address where the system delivers broadcasts only
// there. Set up by the controlling thread while no listener runs; the
// threads only read them.
constexpr int kPerBind = 3;
udp_listener s_udp[SRV_MAX_BINDS * kPerBind];

// True for a datagram that calls the portmapper's CALLIT (versions 2 to 4)
// or INDIRECT (version 4): what LAN discovery broadcasts.
bool is_callit(const unsigned char* d, size_t n) {
  if (n < 24 || be32_get(d + 12) != PROG_PORTMAP) return false;
  const uint32_t proc = be32_get(d + 20);
  return proc == PMAPPROC_CALLIT || proc == PMAPPROC_INDIRECT;
}

// Whether a reply of len bytes to a datagram of in bytes may go to its
// source. A datagram's source address is only claimed, so a reply larger
// than the datagram would let anyone aim the difference at a third party:
// such a reply goes only to a source that some export admits, and anyone
// else gets nothing. (Over TCP the peer has proven its address.)
bool reply_allowed(size_t len, size_t in, const plat_addr& from) {
  return len <= in || exports_admit_any(from) == 1;
}

void serve_datagrams(void* arg) {
  const udp_listener* l = static_cast<const udp_listener*>(arg);
  const plat_sock s = l->sock;
  auto* buf = static_cast<unsigned char*>(malloc(kMaxDatagram));
  sbuf reply;
  sb_init(&reply);
  for (;;) {
    {
      plat_guard g(srv_lock());
      if (!G_SRV.running.load()) break;
    }
    if (buf == nullptr) {
      plat_sleep_ms(kPollMs);
      buf = static_cast<unsigned char*>(malloc(kMaxDatagram));
      continue;
    }
    if (plat_poll1(s, 1, kPollMs) <= 0) continue;
    plat_udp_from from;
    const int64_t n = plat_udp_recv_from(s, buf, kMaxDatagram, &from);
    if (n < 0 || from.port == 0) continue;
    if (l->callit_only && !is_callit(buf, static_cast<size_t>(n))) continue;
    sb_reset(&reply);
    static const unsigned char kNoMark[RPC_MARK] = {0, 0, 0, 0};
    if (sb_putn(&reply, kNoMark, RPC_MARK) != 0) continue;
    // Where the system does not say which address a datagram reached, it is
    // the one the socket is bound to.
    if (plat_addr_is_any(from.local)) from.local = l->addr;
    const rpc_peer peer{from.addr, from.local};
    const int r = rpc_process_record(buf, static_cast<size_t>(n), peer, &reply, nullptr, RPC_PROTO_UDP);
    const size_t len = reply.len - RPC_MARK;
    if (r > 0 && len <= kMaxReply && reply_allowed(len, static_cast<size_t>(n), from.addr)) {
      (void)plat_udp_reply(l->reply_sock, reply.data + RPC_MARK, len, &from);
    }
    if (reply.cap > kMaxDatagram) sb_free(&reply);
  }
  sb_free(&reply);
  free(buf);
}

}  // namespace

int udp_listeners_open() {
  const int ports[2] = {G_SRV.bound_mount_port.load(), G_SRV.bound_portmap_port.load()};
  const char* names[2] = {"mount", "portmap"};
  for (int b = 0; b < G_SRV.nbinds; b++) {
    const srv_bind& bind = G_SRV.binds[b];
    udp_listener* l = &s_udp[b * kPerBind];
    for (int i = 0; i < 2; i++) {
      if (ports[i] <= 0) continue;
      if (plat_udp_open(bind.addr, ports[i], bind.dual, &l[i].sock) != 0) {
        l[i].sock = PLAT_INVALID_SOCK;
        udp_listeners_stop();
        char text[PLAT_ADDR_TEXT];
        plat_addr_text(bind.addr, text);
        set_error(-3, "bind %s %d failed (%s)", names[i], ports[i], text);
        return -3;
      }
      l[i].reply_sock = l[i].sock;
      l[i].addr = bind.addr;
    }
    // Broadcast discovery: where the portmapper's socket on one IPv4 address
    // does not hear its network's broadcasts, a socket on the broadcast
    // address does, and its answers leave from the portmapper's own. (A
    // socket on an any-address hears them itself.) Without it only
    // discovery is missing, so a failure to open it is not one of the start.
    if (!plat_addr_is_v4(bind.addr) || plat_addr_is_any(bind.addr) || l[1].sock == PLAT_INVALID_SOCK) continue;
    const uint32_t bcast = plat_broadcast_for(plat_addr_v4_num(bind.addr));
    if (bcast == 0) continue;
    if (plat_udp_open(plat_addr_v4(bcast), ports[1], false, &l[2].sock) != 0) l[2].sock = PLAT_INVALID_SOCK;
    l[2].reply_sock = l[1].sock;
    l[2].callit_only = true;
    l[2].addr = bind.addr;
  }
  const bool open = G_SRV.nbinds > 0;
  G_SRV.bound_mount_udp_port.store(open && s_udp[0].sock != PLAT_INVALID_SOCK ? ports[0] : 0);
  G_SRV.bound_portmap_udp_port.store(open && s_udp[1].sock != PLAT_INVALID_SOCK ? ports[1] : 0);
  return 0;
}

int udp_listeners_start() {
  for (udp_listener& l : s_udp) {
    if (l.sock == PLAT_INVALID_SOCK) continue;
    if (plat_thread_start(&l.thread, serve_datagrams, &l) != 0) {
      l.thread = 0;
      return -1;
    }
  }
  return 0;
}

void udp_listeners_stop() {
  for (udp_listener& l : s_udp) {
    if (l.thread != 0) plat_thread_join(l.thread);
    plat_sock_close(l.sock);
    l = udp_listener{};
  }
}
