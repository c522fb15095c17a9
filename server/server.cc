// Server lifecycle: start and stop of the listeners, admission of
// connections, one detached thread per connection.
#include "server/server.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "fh/hold.h"
#include "plat/plat.h"
#include "proto/dircache.h"
#include "proto/rpc.h"
#include "proto/stats.h"
#include "server/rpcbind_register.h"
#include "server/udp.h"
#include "state/config.h"
#include "state/exports.h"
#include "state/last_error.h"
#include "state/secret.h"
#include "state/server_rec.h"
#include "util/sha256.h"

namespace {

constexpr int kPollMs = 200;
// The pause after a failed accept: the connection is still waiting, so the
// socket stays readable, and retrying at once (with no descriptor free, say)
// would spin.
constexpr int kAcceptBackoffMs = 50;

// How long a newcomer admitted in place of an idle connection waits for that
// connection to end (SRV_EVICT_IDLE_MS says when one is idle enough).
constexpr int kEvictWaitMs = 2000;

// The connections being served, for the listeners: their sockets, their
// clients and what they are doing. A slot is taken when a connection is
// admitted and given back by its thread, under the server lock, before the
// thread closes the socket; so a listener that holds the lock may shut down
// the socket of any taken slot. The slots outlive every run of the server,
// like the connections; the admission test keeps their number within the
// largest connection limit.
struct conn_slot {
  bool taken = false;
  plat_sock sock = PLAT_INVALID_SOCK;
  plat_addr client{};     // the peer's address
  bool stranger = false;  // no export admitted the client when it came
  rpc_conn_activity act;
};
constexpr int kMaxSlots = 1024;
conn_slot s_slots[kMaxSlots];

// Who a newcomer is: its address, and whether no export admits it. The
// slots a client may hold are counted over its group: its own address, or
// for a stranger all strangers together.
struct conn_who {
  plat_addr client;
  bool stranger;
};

bool same_group(const conn_slot& c, const conn_who& w) {
  return w.stranger ? c.stranger : (!c.stranger && plat_addr_eq(c.client, w.client));
}

// The slots the group of the newcomer may hold at once.
int group_cap(const conn_who& w) {
  const int cap = config_per_client_cap();
  return w.stranger && SRV_STRANGER_SLOTS < cap ? SRV_STRANGER_SLOTS : cap;
}

// The slots taken by the newcomer's group. Under the server lock.
int group_count(const conn_who& w) {
  int n = 0;
  for (const conn_slot& c : s_slots) n += c.taken && same_group(c, w) ? 1 : 0;
  return n;
}

// Takes a free slot for the socket; null when none is free. Under the server lock.
conn_slot* slot_take(plat_sock s, const conn_who& w) {
  for (conn_slot& c : s_slots) {
    if (c.taken) continue;
    c.taken = true;
    c.sock = s;
    c.client = w.client;
    c.stranger = w.stranger;
    c.act.idle_since.store(0);
    c.act.call_since.store(0);
    return &c;
  }
  return nullptr;
}

// Gives the slot back and counts the connection out, before its socket is
// closed.
void slot_release(conn_slot* slot) {
  plat_guard g(srv_lock());
  slot->taken = false;
  stats_add("connections", -1);
}

// When the connection in the slot began the state that lets it make room
// (*since), and which of its activity words says so (*word): waiting for its
// next call for longer than SRV_EVICT_IDLE_MS, or in a call that began more
// than SRV_EVICT_CALL_MS ago and is not yet whole. False when it may not make
// room: it is answering a call, or has just begun to wait or to send.
bool evictable(conn_slot& c, uint64_t now, uint64_t* since, std::atomic<uint64_t>** word) {
  const uint64_t idle = c.act.idle_since.load();
  if (idle != 0 && idle != RPC_CONN_CLAIMED && now >= idle && now - idle > SRV_EVICT_IDLE_MS) {
    *since = idle;
    *word = &c.act.idle_since;
    return true;
  }
  const uint64_t call = c.act.call_since.load();
  if (call != 0 && call != RPC_CONN_CLAIMED && now >= call && now - call > SRV_EVICT_CALL_MS) {
    *since = call;
    *word = &c.act.call_since;
    return true;
  }
  return false;
}

// Ends one connection that may make room (see evictable), only of the
// newcomer's group when within_group: a stranger's before an admitted
// client's, and among those the one that has waited or stalled longest.
// Claims it, so that a call that begins or comes whole meanwhile is not
// served, and shuts its socket down, which wakes its thread to end. True
// when one was ended. Under the server lock.
bool evict_one(const conn_who& w, bool within_group) {
  const uint64_t now = plat_now_ms();
  conn_slot* best = nullptr;
  uint64_t best_since = 0;
  std::atomic<uint64_t>* best_word = nullptr;
  for (conn_slot& c : s_slots) {
    if (!c.taken || (within_group && !same_group(c, w))) continue;
    uint64_t since = 0;
    std::atomic<uint64_t>* word = nullptr;
    if (!evictable(c, now, &since, &word)) continue;
    const bool better = best == nullptr || (c.stranger && !best->stranger) ||
                        (c.stranger == best->stranger && since < best_since);
    if (better) {
      best = &c;
      best_since = since;
      best_word = word;
    }
  }
  if (best == nullptr || !best_word->compare_exchange_strong(best_since, RPC_CONN_CLAIMED)) return false;
  plat_sock_shutdown(best->sock);
  return true;
}

// What keeps the newcomer out now: nothing, its group's cap, or the
// connection limit. Under the server lock.
enum admit_bar { ADMIT_ROOM, ADMIT_GROUP_FULL, ADMIT_ALL_FULL };

admit_bar bar_for(const conn_who& w) {
  if (group_count(w) >= group_cap(w)) return ADMIT_GROUP_FULL;
  if (stats_get("connections") >= G_CFG.max_connections) return ADMIT_ALL_FULL;
  return ADMIT_ROOM;
}

// Counts the connection in and gives it a slot when there is room under the
// limit and its group's cap; null otherwise (*bar says why). Under the
// server lock.
conn_slot* admit(plat_sock c, const conn_who& w, admit_bar* bar) {
  *bar = bar_for(w);
  if (*bar != ADMIT_ROOM) return nullptr;
  conn_slot* slot = slot_take(c, w);
  if (slot == nullptr) return nullptr;
  stats_add("connections", 1);
  stats_add("connections_total", 1);
  return slot;
}

// Admits the newcomer. When its group holds all the slots it may, one of the
// group's own connections that may make room is ended; at the connection
// limit, any one (strangers' first). Then it waits (bounded) for that
// connection's thread to end, so that neither the limit nor the cap is ever
// exceeded.
conn_slot* admit_or_evict(plat_sock c) {
  conn_who w{plat_addr{}, true};
  (void)plat_peer_addr(c, &w.client);
  w.stranger = exports_admit_any(w.client) == 0;
  {
    plat_guard g(srv_lock());
    admit_bar bar = ADMIT_ROOM;
    conn_slot* slot = admit(c, w, &bar);
    if (slot != nullptr || bar == ADMIT_ROOM || !evict_one(w, bar == ADMIT_GROUP_FULL)) return slot;
  }
  for (int waited = 0; waited < kEvictWaitMs; waited += 5) {
    plat_sleep_ms(5);
    plat_guard g(srv_lock());
    admit_bar bar = ADMIT_ROOM;
    conn_slot* slot = admit(c, w, &bar);
    if (slot != nullptr) return slot;
  }
  return nullptr;
}

// Whether an address may be listened on: not a broadcast or multicast
// address of either family.
bool bind_addr_ok(const plat_addr& a) {
  if (plat_addr_is_v4(a)) {
    const uint32_t n = plat_addr_v4_num(a);
    return n != 0xFFFFFFFFu && (n >> 28) != 0xE;
  }
  return a.b[0] != 0xFF;
}

// Reads the bind text: addresses separated by commas, each an IPv4 or IPv6
// address, 0.0.0.0 or ::, none twice. The IPv6 any-address is one socket
// for both families where the system allows it (dual), else two: 0.0.0.0
// and :: for IPv6 only. Fills G_SRV.binds, serves_v4/serves_v6 and the text
// the listening line shows; false (with the error recorded) when it cannot.
bool read_binds(const char* text, char* shown, size_t shownlen) {
  G_SRV.nbinds = 0;
  if (text == nullptr || text[0] == 0) {
    set_error(-1, "bind address missing: give an address of this machine, 0.0.0.0 or ::");
    return false;
  }
  shown[0] = 0;
  for (const char* p = text;;) {
    const char* comma = strchr(p, ',');
    const size_t n = comma ? static_cast<size_t>(comma - p) : strlen(p);
    char item[PLAT_ADDR_TEXT];
    plat_addr a{};
    const bool parsed = n < sizeof item && (memcpy(item, p, n), item[n] = 0, plat_addr_parse(item, &a) == 0);
    if (!parsed || !bind_addr_ok(a)) {
      set_error(-1, "bind address '%.*s' is not an address of this machine, 0.0.0.0 or :: (IPv4 or IPv6, "
                "several separated by commas)", static_cast<int>(n > 64 ? 64 : n), p);
      return false;
    }
    for (int i = 0; i < G_SRV.nbinds; i++) {
      if (plat_addr_eq(G_SRV.binds[i].addr, a)) {
        set_error(-1, "bind address %s given twice", item);
        return false;
      }
    }
    const bool dual = !plat_addr_is_v4(a) && plat_addr_is_any(a);
    if (G_SRV.nbinds + (dual ? 2 : 1) > SRV_MAX_BINDS) {
      set_error(-1, "bind addresses: at most %d may be given", SRV_MAX_BINDS);
      return false;
    }
    G_SRV.binds[G_SRV.nbinds++] = srv_bind{a, dual};
    const size_t used = strlen(shown);
    snprintf(shown + used, shownlen - used, "%s%s", used ? "," : "", item);
    if (comma == nullptr) break;
    p = comma + 1;
  }
  // An any-address covers every address of its family: the others of that
  // family are left out (a system refuses them beside it on one port), and
  // :: beside 0.0.0.0 takes IPv6 clients only.
  bool any4 = false, any6 = false;
  for (int i = 0; i < G_SRV.nbinds; i++) {
    const srv_bind& b = G_SRV.binds[i];
    any4 = any4 || (plat_addr_is_any(b.addr) && plat_addr_is_v4(b.addr));
    any6 = any6 || (plat_addr_is_any(b.addr) && !plat_addr_is_v4(b.addr));
  }
  int kept = 0;
  for (int i = 0; i < G_SRV.nbinds; i++) {
    srv_bind b = G_SRV.binds[i];
    const bool v4 = plat_addr_is_v4(b.addr);
    if (!plat_addr_is_any(b.addr) && (v4 ? any4 || any6 : any6)) continue;
    if (b.dual && any4) b.dual = false;
    G_SRV.binds[kept++] = b;
  }
  G_SRV.nbinds = kept;
  // Where one socket cannot take both families, :: becomes two listeners.
  for (int i = 0; i < G_SRV.nbinds; i++) {
    srv_bind& b = G_SRV.binds[i];
    if (!b.dual) continue;
    plat_sock probe = PLAT_INVALID_SOCK;
    if (plat_listen_tcp(b.addr, 0, 1, true, &probe) == 0) {
      plat_sock_close(probe);
      continue;
    }
    b.dual = false;
    G_SRV.binds[G_SRV.nbinds++] = srv_bind{plat_addr_v4(0), false};
  }
  G_SRV.serves_v4 = G_SRV.serves_v6 = false;
  for (int i = 0; i < G_SRV.nbinds; i++) {
    const srv_bind& b = G_SRV.binds[i];
    const bool v4 = plat_addr_is_v4(b.addr);
    G_SRV.serves_v4 = G_SRV.serves_v4 || v4 || b.dual;
    G_SRV.serves_v6 = G_SRV.serves_v6 || !v4;
  }
  return true;
}

void make_default_secret() {
  unsigned char s[32];
  if (plat_random_bytes(s, sizeof s) != 0) {
    // Without the system's random source, fall back to the clock.
    const uint64_t t = plat_now_ms();
    unsigned char le[8];
    for (int i = 0; i < 8; i++) le[i] = static_cast<unsigned char>(t >> (8 * i));
    nfss_sha_buf(le, sizeof le, s);
  }
  secret_set(s, sizeof s);
}

void conn_thread(void* arg) {
  conn_slot* slot = static_cast<conn_slot*>(arg);
  const plat_sock s = slot->sock;
  plat_set_nodelay(s);
  rpc_serve_conn(s, &slot->act);
  slot_release(slot);
  plat_sock_close(s);
}

void listener_thread(void* arg) {
  const plat_sock ls = static_cast<plat_sock>(reinterpret_cast<uintptr_t>(arg));
  for (;;) {
    {
      plat_guard g(srv_lock());
      if (!G_SRV.running.load()) return;
    }
    // What calls hold open is closed soon after its age, even when no call
    // comes to do it.
    hold_sweep(0);
    dircache_sweep(0);
    if (plat_poll1(ls, 1, kPollMs) <= 0) continue;
    const plat_sock c = plat_accept(ls);
    if (c == PLAT_INVALID_SOCK) {
      plat_sleep_ms(kAcceptBackoffMs);
      continue;
    }
    // The connection is counted when it is admitted, so the limit is exact.
    conn_slot* slot = admit_or_evict(c);
    if (slot == nullptr) {
      plat_sock_close(c);
      continue;
    }
    plat_thread t;
    if (plat_thread_start(&t, conn_thread, slot) != 0) {
      slot_release(slot);
      plat_sock_close(c);
      continue;
    }
    plat_thread_detach(t);
  }
}

// Closes every listening socket, the UDP ones after their threads.
void close_listeners() {
  udp_listeners_stop();
  for (auto& per_addr : G_SRV.tcp) {
    for (srv_tcp_listener& l : per_addr) {
      plat_sock_close(l.sock);
      l = srv_tcp_listener{};
    }
  }
}

void clear_starting() {
  plat_guard g(srv_lock());
  G_SRV.starting.store(0);
}

int bound_or(plat_sock s, int fallback) {
  const int p = plat_sock_port(s);
  return p < 0 ? fallback : p;
}

// Joins every TCP listener thread started (running must be clear).
void join_listeners() {
  for (auto& per_addr : G_SRV.tcp) {
    for (srv_tcp_listener& l : per_addr) {
      if (l.thread != 0) plat_thread_join(l.thread);
      l.thread = 0;
    }
  }
}

// Ends a start whose listener threads could not all be started. Those
// already started see running cleared within one poll period; they are
// waited for, so that their sockets are closed after them. Returns -8.
int abandon_start() {
  {
    plat_guard g(srv_lock());
    G_SRV.running.store(0);
  }
  join_listeners();
  close_listeners();
  set_error(-8, "thread start failed");
  return -8;
}

// Opens the TCP listeners of one service on every bound address, all on one
// port: the first address's (chosen by the system when port is 0), and the
// others on the same. Publishes the port; 0, or -3 with the error recorded.
int open_service(srv_service svc, int port, std::atomic<int32_t>* bound) {
  static const char* const kNames[SRV_SERVICES] = {"nfs", "mount", "portmap"};
  for (int i = 0; i < G_SRV.nbinds; i++) {
    const srv_bind& b = G_SRV.binds[i];
    srv_tcp_listener& l = G_SRV.tcp[i][svc];
    if (plat_listen_tcp(b.addr, port, PLAT_BACKLOG_MAX, b.dual, &l.sock) != 0) {
      l.sock = PLAT_INVALID_SOCK;
      char text[PLAT_ADDR_TEXT];
      plat_addr_text(b.addr, text);
      set_error(-3, "bind %s %d failed (%s)", kNames[svc], port, text);
      return -3;
    }
    if (port == 0) port = bound_or(l.sock, 0);
  }
  bound->store(port);
  return 0;
}

}  // namespace

int server_start(const char* bind_ip, int nfs_port, int mount_port, int portmap_port) {
  // Ports as the configuration keys take them; 0 means the configured one,
  // and a negative portmapper port none at all (VORLIX_PORTMAP_AUTO: see
  // rpcbind_register.h).
  const bool auto_portmap = portmap_port == SRV_PORTMAP_AUTO;
  const int ports[3] = {nfs_port, mount_port, portmap_port < 0 ? 0 : portmap_port};
  const char* const keys[3] = {"nfs_port", "mount_port", "portmap_port"};
  for (int i = 0; i < 3; i++) {
    if (ports[i] < 0 || ports[i] > CFG_PORT_MAX) {
      set_error(-1, "%s out of range 0..%d", keys[i], CFG_PORT_MAX);
      return -1;
    }
  }
  {
    plat_guard g(srv_lock());
    if (G_SRV.running.load() || G_SRV.starting.load()) {
      set_error(-2, "already running");
      return -2;
    }
    G_SRV.starting.store(1);
  }
  (void)plat_net_init();
  char shown[SRV_MAX_BINDS * PLAT_ADDR_TEXT];
  if (!read_binds(bind_ip, shown, sizeof shown)) {
    clear_starting();
    return -1;
  }
  if (fh_secret_len() == 0) make_default_secret();
  debug_read_env();
  plat_raise_fd_limit();
  exports_read_host_addrs();
  const int nfs = nfs_port ? nfs_port : G_CFG.nfs_port;
  const int mnt = mount_port ? mount_port : G_CFG.mount_port;
  int pmp = portmap_port ? portmap_port : G_CFG.portmap_port;
  // Automatic: the own portmapper when its port can be had, else none of
  // ours (the host's rpcbind is asked to register the programs below).
  if (auto_portmap) pmp = rpcbind_own_port_free() ? PORTMAP_PORT : 0;
  G_SRV.bound_portmap_port.store(0);
  if (open_service(SRV_NFS, nfs, &G_SRV.bound_nfs_port) != 0 ||
      open_service(SRV_MOUNT, mnt, &G_SRV.bound_mount_port) != 0 ||
      (pmp > 0 && open_service(SRV_PORTMAP, pmp, &G_SRV.bound_portmap_port) != 0) || udp_listeners_open() != 0) {
    // Bound ports are only those of a start that opened all its listeners.
    close_listeners();
    for (auto* port : {&G_SRV.bound_nfs_port, &G_SRV.bound_mount_port, &G_SRV.bound_portmap_port}) port->store(0);
    clear_starting();
    return -3;
  }
  {
    plat_guard g(srv_lock());
    G_SRV.running.store(1);
    G_SRV.starting.store(0);
  }
  for (auto& per_addr : G_SRV.tcp) {
    for (srv_tcp_listener& l : per_addr) {
      l.thread = 0;
      if (l.sock == PLAT_INVALID_SOCK) continue;
      if (plat_thread_start(&l.thread, listener_thread, reinterpret_cast<void*>(static_cast<uintptr_t>(l.sock))) !=
          0) {
        l.thread = 0;
        return abandon_start();
      }
    }
  }
  if (udp_listeners_start() != 0) return abandon_start();
  rpcbind_note_start(auto_portmap);
  set_error(0, "listening %s nfs=%d mount=%d portmap=%d", shown, G_SRV.bound_nfs_port.load(),
            G_SRV.bound_mount_port.load(), G_SRV.bound_portmap_port.load());
  return 0;
}

void server_stop() {
  {
    plat_guard g(srv_lock());
    if (!G_SRV.running.load()) return;
    G_SRV.running.store(0);
  }
  rpcbind_unregister();
  // Listeners leave their loop within one poll period once running is
  // clear; they are joined before their sockets are closed, so that no
  // listener ever polls a descriptor number that has been reused.
  join_listeners();
  close_listeners();
  hold_sweep(1);
  dircache_sweep(1);
}

const char* server_portmap_note() { return rpcbind_note(); }
