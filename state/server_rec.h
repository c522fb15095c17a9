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

struct server_rec {
  plat_sock nfs_sock = PLAT_INVALID_SOCK;
  plat_sock mount_sock = PLAT_INVALID_SOCK;
  plat_sock portmap_sock = PLAT_INVALID_SOCK;
  plat_thread nfs_thread = 0;
  plat_thread mount_thread = 0;
  plat_thread portmap_thread = 0;
  std::atomic<int32_t> running{0};
  std::atomic<int32_t> starting{0};
  std::atomic<int32_t> bound_nfs_port{0};
  std::atomic<int32_t> bound_mount_port{0};
  std::atomic<int32_t> bound_portmap_port{0};
  // The UDP ports served (0: none) and the bound address (first octet most
  // significant), written like the bound ports while no listener runs.
  std::atomic<int32_t> bound_mount_udp_port{0};
  std::atomic<int32_t> bound_portmap_udp_port{0};
  std::atomic<uint32_t> bound_ip{0};
  // plat_now_ms() when the server last started, for its uptime.
  std::atomic<uint64_t> started_ms{0};
  uint64_t gen_counter = 0;  // changed only under the export table's lock
};

extern server_rec G_SRV;

// The server lock: guards running, starting and the admission test.
plat_mutex* srv_lock();

// The portmapper's own bound port, 0 when no portmapper listener runs.
int portmap_port_now();
