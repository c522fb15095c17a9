// The UDP listeners. Each thread waits for its socket in 200 ms turns, takes
// one datagram, processes it as one call (the client is the datagram's
// source) and sends the reply, if any, to the source from the bound address.
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
#include "state/log.h"
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
};
// MOUNT, the portmapper, and the portmapper on the network's broadcast
// address where the system delivers broadcasts only there. Set up by the
// controlling thread while no listener runs; the threads only read them.
udp_listener s_udp[3];

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
bool reply_allowed(size_t len, size_t in, uint32_t from) {
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
    uint32_t from = 0;
    int from_port = 0;
    const int64_t n = plat_udp_recv(s, buf, kMaxDatagram, &from, &from_port);
    if (n < 0 || from_port == 0) continue;
    if (l->callit_only && !is_callit(buf, static_cast<size_t>(n))) continue;
    sb_reset(&reply);
    static const unsigned char kNoMark[RPC_MARK] = {0, 0, 0, 0};
    if (sb_putn(&reply, kNoMark, RPC_MARK) != 0) continue;
    const int r = rpc_process_record(buf, static_cast<size_t>(n), from, &reply, nullptr, RPC_PROTO_UDP);
    const size_t len = reply.len - RPC_MARK;
    if (r > 0 && len <= kMaxReply && reply_allowed(len, static_cast<size_t>(n), from)) {
      (void)plat_udp_send(l->reply_sock, reply.data + RPC_MARK, len, from, from_port);
    } else if (r > 0 && log_on(LOG_WARN)) {
      const std::string ip = log_ip(from);
      log_event_limited(LOG_WARN, ("udp " + ip).c_str(), "datagram_dropped",
                        {{"client", ip},
                         {"reason", len > kMaxReply ? "reply too large for a datagram"
                                                    : "reply larger than the call, to a sender no export admits"},
                         {"hint", "use TCP, or allow the client on an export"}});
    }
    if (reply.cap > kMaxDatagram) sb_free(&reply);
  }
  sb_free(&reply);
  free(buf);
}

}  // namespace

int udp_listeners_open(const char* ip) {
  const int ports[2] = {G_SRV.bound_mount_port.load(), G_SRV.bound_portmap_port.load()};
  const char* names[2] = {"mount", "portmap"};
  for (int i = 0; i < 2; i++) {
    if (ports[i] <= 0) continue;
    if (plat_udp_open4(ip, ports[i], &s_udp[i].sock) != 0) {
      s_udp[i].sock = PLAT_INVALID_SOCK;
      udp_listeners_stop();
      set_error(-3, "bind %s %d failed", names[i], ports[i]);
      return -3;
    }
  }
  for (int i = 0; i < 2; i++) s_udp[i].reply_sock = s_udp[i].sock;
  // Broadcast discovery: where the portmapper's socket does not hear its
  // network's broadcasts, a socket on the broadcast address does, and its
  // answers leave from the portmapper's own. Without it only discovery is
  // missing, so a failure to open it is not one of the start.
  const uint32_t bcast = plat_broadcast_for(G_SRV.bound_ip.load());
  if (s_udp[1].sock != PLAT_INVALID_SOCK && bcast != 0) {
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", bcast >> 24, (bcast >> 16) & 255, (bcast >> 8) & 255, bcast & 255);
    if (plat_udp_open4(text, ports[1], &s_udp[2].sock) != 0) s_udp[2].sock = PLAT_INVALID_SOCK;
    s_udp[2].reply_sock = s_udp[1].sock;
    s_udp[2].callit_only = true;
  }
  G_SRV.bound_mount_udp_port.store(s_udp[0].sock == PLAT_INVALID_SOCK ? 0 : ports[0]);
  G_SRV.bound_portmap_udp_port.store(s_udp[1].sock == PLAT_INVALID_SOCK ? 0 : ports[1]);
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
