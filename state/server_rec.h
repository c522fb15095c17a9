// The server record shared by the lifecycle, the configuration (which may
// change only while the server is stopped), the export table (generations)
// and the portmapper (bound ports). Kept in a low module so that none of
// those needs the file that starts the listeners.
#pragma once

#include <atomic>
#include <cstdint>

#include "plat/plat.h"

// At the connection limit a newcomer is admitted in place of the connection
// that has waited longest for its next call, once that wait is longer than
// this many milliseconds.
constexpr uint64_t SRV_EVICT_IDLE_MS = 3000;
// A connection whose current call began this many milliseconds ago and is
// still not whole may make room like an idle one: a client that trickles its
// calls in never looks idle.
constexpr uint64_t SRV_EVICT_CALL_MS = 10000;
// All the connections of clients that no export admits hold at most this
// many slots together (and never more than the per-client cap).
constexpr int SRV_STRANGER_SLOTS = 4;

// The addresses the server may listen on at once.
constexpr int SRV_MAX_BINDS = 8;

// One address listened on: an address of this machine, or an any-address;
// dual for the IPv6 any-address served by one socket for both families.
struct srv_bind {
  plat_addr addr;
  bool dual;
};

// The TCP listeners of one address: NFS, MOUNT, the portmapper.
enum srv_service { SRV_NFS, SRV_MOUNT, SRV_PORTMAP, SRV_SERVICES };
struct srv_tcp_listener {
  plat_sock sock = PLAT_INVALID_SOCK;
  plat_thread thread = 0;
};

struct server_rec {
  // What the server listens on, written by the controlling thread while no
  // listener runs; the services only read them.
  srv_bind binds[SRV_MAX_BINDS] = {};
  int nbinds = 0;
  bool serves_v4 = false;  // some listener takes IPv4 clients
  bool serves_v6 = false;  // some listener takes IPv6 clients
  srv_tcp_listener tcp[SRV_MAX_BINDS][SRV_SERVICES];
  std::atomic<int32_t> running{0};
  std::atomic<int32_t> starting{0};
  std::atomic<int32_t> bound_nfs_port{0};
  std::atomic<int32_t> bound_mount_port{0};
  std::atomic<int32_t> bound_portmap_port{0};
  // The UDP ports served (0: none), written like the bound ports while no
  // listener runs.
  std::atomic<int32_t> bound_mount_udp_port{0};
  std::atomic<int32_t> bound_portmap_udp_port{0};
  uint64_t gen_counter = 0;  // changed only under the export table's lock
};

extern server_rec G_SRV;

// The server lock: guards running, starting and the admission test.
plat_mutex* srv_lock();

// The portmapper's own bound port, 0 when no portmapper listener runs.
int portmap_port_now();

// The address of the given family (IPv4 when v4) listened on first: what a
// portmapper answer names for that family when the call came by the other
// one. The any-address of the family when it is served through a wildcard.
plat_addr srv_bound_addr(bool v4);
