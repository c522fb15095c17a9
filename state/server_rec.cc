// The server record and its lock.
#include "state/server_rec.h"

server_rec G_SRV;

plat_mutex* srv_lock() {
  static plat_static_mutex m;
  return m.get();
}

int portmap_port_now() { return G_SRV.bound_portmap_port.load(std::memory_order_relaxed); }
