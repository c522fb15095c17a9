// Server lifecycle: start and stop of the listeners, admission of
// connections, one detached thread per connection.
#include "server/server.h"

#include <cstdio>
#include <cstring>

#include "fh/hold.h"
#include "plat/plat.h"
#include "proto/dircache.h"
#include "proto/rpc.h"
#include "proto/stats.h"
#include "server/udp.h"
#include "state/config.h"
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

// The connections being served, for the listeners: their sockets and what
// they are doing. A slot is taken when a connection is admitted and given
// back by its thread, under the server lock, before the thread closes the
// socket; so a listener that holds the lock may shut down the socket of any
// taken slot. The slots outlive every run of the server, like the
// connections; the admission test keeps their number within the largest
// connection limit.
struct conn_slot {
  bool taken = false;
  plat_sock sock = PLAT_INVALID_SOCK;
  rpc_conn_activity act;
};
constexpr int kMaxSlots = 1024;
conn_slot s_slots[kMaxSlots];

// Takes a free slot for the socket; null when none is free. Under the server lock.
conn_slot* slot_take(plat_sock s) {
  for (conn_slot& c : s_slots) {
    if (c.taken) continue;
    c.taken = true;
    c.sock = s;
    c.act.idle_since.store(0);
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

// Ends the connection that has waited longest for its next call, if that is
// longer than SRV_EVICT_IDLE_MS: claims it, so that a call that begins meanwhile
// is not served, and shuts its socket down, which wakes its thread to end.
// True when one was ended. Under the server lock.
bool evict_idlest() {
  const uint64_t now = plat_now_ms();
  conn_slot* best = nullptr;
  uint64_t best_since = 0;
  for (conn_slot& c : s_slots) {
    if (!c.taken) continue;
    const uint64_t since = c.act.idle_since.load();
    if (since == 0 || since == RPC_CONN_CLAIMED || now < since || now - since <= SRV_EVICT_IDLE_MS) continue;
    if (best == nullptr || since < best_since) {
      best = &c;
      best_since = since;
    }
  }
  if (best == nullptr || !best->act.idle_since.compare_exchange_strong(best_since, RPC_CONN_CLAIMED)) return false;
  plat_sock_shutdown(best->sock);
  return true;
}

// Counts the connection in and gives it a slot when there is room under the
// limit; null otherwise. Under the server lock.
conn_slot* admit(plat_sock c) {
  if (stats_get("connections") >= G_CFG.max_connections) return nullptr;
  conn_slot* slot = slot_take(c);
  if (slot == nullptr) return nullptr;
  stats_add("connections", 1);
  stats_add("connections_total", 1);
  return slot;
}

// Admits the newcomer, at the limit by ending the idlest connection first
// and waiting (bounded) for its thread to end, so that the number of
// connections being served never exceeds the limit.
conn_slot* admit_or_evict(plat_sock c) {
  {
    plat_guard g(srv_lock());
    conn_slot* slot = admit(c);
    if (slot != nullptr || !evict_idlest()) return slot;
  }
  for (int waited = 0; waited < kEvictWaitMs; waited += 5) {
    plat_sleep_ms(5);
    plat_guard g(srv_lock());
    conn_slot* slot = admit(c);
    if (slot != nullptr) return slot;
  }
  return nullptr;
}

// The D8 rule: a dotted IPv4 literal of one interface.
bool bind_ip_ok(const char* ip) {
  if (ip == nullptr || ip[0] == 0 || strcmp(ip, "0.0.0.0") == 0) return false;
  // Digits and dots only: the scan below would also take blanks and signs.
  if (strspn(ip, "0123456789.") != strlen(ip)) return false;
  unsigned a, b, c, d;
  char extra;
  if (sscanf(ip, "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4) return false;
  if (a > 255 || b > 255 || c > 255 || d > 255) return false;
  if (a == 255 && b == 255 && c == 255 && d == 255) return false;
  if (a >= 224 && a <= 239) return false;
  return true;
}

// The number of an address that passed bind_ip_ok, first octet most significant.
uint32_t ip_number(const char* ip) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  (void)sscanf(ip, "%u.%u.%u.%u", &a, &b, &c, &d);
  return (a << 24) | (b << 16) | (c << 8) | d;
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
  plat_sock_close(G_SRV.nfs_sock);
  plat_sock_close(G_SRV.mount_sock);
  plat_sock_close(G_SRV.portmap_sock);
  G_SRV.nfs_sock = G_SRV.mount_sock = G_SRV.portmap_sock = PLAT_INVALID_SOCK;
}

void clear_starting() {
  plat_guard g(srv_lock());
  G_SRV.starting.store(0);
}

int bound_or(plat_sock s, int fallback) {
  const int p = plat_sock_port(s);
  return p < 0 ? fallback : p;
}

// Ends a start whose listener threads could not all be started. The first
// n TCP listeners (and any UDP ones) already started see running cleared
// within one poll period; they are waited for, so that their sockets are
// closed after them. Returns -8.
int abandon_start(plat_thread* const* threads, int n) {
  {
    plat_guard g(srv_lock());
    G_SRV.running.store(0);
  }
  for (int j = 0; j < n; j++) {
    if (*threads[j] != 0) plat_thread_join(*threads[j]);
    *threads[j] = 0;
  }
  close_listeners();
  set_error(-8, "thread start failed");
  return -8;
}

}  // namespace

int server_start(const char* bind_ip, int nfs_port, int mount_port, int portmap_port) {
  if (!bind_ip_ok(bind_ip)) {
    set_error(-1, "bind_ip must be an IPv4 literal of one interface (D8)");
    return -1;
  }
  // Ports as the configuration keys take them; 0 means the configured one,
  // and a negative portmapper port none at all.
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
  if (fh_secret_len() == 0) make_default_secret();
  debug_read_env();
  (void)plat_net_init();
  plat_raise_fd_limit();
  const int nfs = nfs_port ? nfs_port : G_CFG.nfs_port;
  const int mnt = mount_port ? mount_port : G_CFG.mount_port;
  const int pmp = portmap_port ? portmap_port : G_CFG.portmap_port;
  if (plat_listen_tcp4(bind_ip, nfs, PLAT_BACKLOG_MAX, &G_SRV.nfs_sock) != 0) {
    G_SRV.nfs_sock = PLAT_INVALID_SOCK;
    clear_starting();
    set_error(-3, "bind nfs %d failed", nfs);
    return -3;
  }
  if (plat_listen_tcp4(bind_ip, mnt, PLAT_BACKLOG_MAX, &G_SRV.mount_sock) != 0) {
    G_SRV.mount_sock = PLAT_INVALID_SOCK;
    close_listeners();
    clear_starting();
    set_error(-3, "bind mount %d failed", mnt);
    return -3;
  }
  G_SRV.portmap_sock = PLAT_INVALID_SOCK;
  if (pmp > 0 && plat_listen_tcp4(bind_ip, pmp, PLAT_BACKLOG_MAX, &G_SRV.portmap_sock) != 0) {
    G_SRV.portmap_sock = PLAT_INVALID_SOCK;
    close_listeners();
    clear_starting();
    set_error(-3, "bind portmap %d failed", pmp);
    return -3;
  }
  G_SRV.bound_nfs_port.store(bound_or(G_SRV.nfs_sock, nfs));
  G_SRV.bound_mount_port.store(bound_or(G_SRV.mount_sock, mnt));
  G_SRV.bound_portmap_port.store(G_SRV.portmap_sock == PLAT_INVALID_SOCK ? 0 : bound_or(G_SRV.portmap_sock, pmp));
  G_SRV.bound_ip.store(ip_number(bind_ip));
  if (udp_listeners_open(bind_ip) != 0) {
    close_listeners();
    clear_starting();
    return -3;
  }
  {
    plat_guard g(srv_lock());
    G_SRV.running.store(1);
    G_SRV.starting.store(0);
  }
  const plat_sock socks[3] = {G_SRV.nfs_sock, G_SRV.mount_sock, G_SRV.portmap_sock};
  plat_thread* threads[3] = {&G_SRV.nfs_thread, &G_SRV.mount_thread, &G_SRV.portmap_thread};
  for (int i = 0; i < 3; i++) {
    *threads[i] = 0;
    if (socks[i] == PLAT_INVALID_SOCK) continue;
    if (plat_thread_start(threads[i], listener_thread, reinterpret_cast<void*>(static_cast<uintptr_t>(socks[i]))) !=
        0) {
      return abandon_start(threads, i);
    }
  }
  if (udp_listeners_start() != 0) return abandon_start(threads, 3);
  set_error(0, "listening %s nfs=%d mount=%d portmap=%d", bind_ip, G_SRV.bound_nfs_port.load(),
            G_SRV.bound_mount_port.load(), G_SRV.bound_portmap_port.load());
  return 0;
}

void server_stop() {
  plat_thread threads[3];
  {
    plat_guard g(srv_lock());
    if (!G_SRV.running.load()) return;
    threads[0] = G_SRV.nfs_thread;
    threads[1] = G_SRV.mount_thread;
    threads[2] = G_SRV.portmap_thread;
    G_SRV.running.store(0);
  }
  // Listeners leave their loop within one poll period once running is
  // clear; they are joined before their sockets are closed, so that no
  // listener ever polls a descriptor number that has been reused.
  for (plat_thread t : threads) {
    if (t != 0) plat_thread_join(t);
  }
  G_SRV.nfs_thread = G_SRV.mount_thread = G_SRV.portmap_thread = 0;
  close_listeners();
  hold_sweep(1);
  dircache_sweep(1);
}
