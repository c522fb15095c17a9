// The server record and its lock.
#include "server/state.h"

server_rec G_SRV;

plat_mutex* srv_lock() {
  static plat_mutex* m = [] {
    static plat_mutex mu;
    plat_mutex_init(&mu);
    return &mu;
  }();
  return m;
}

int portmap_port_now() { return G_SRV.bound_portmap_port.load(std::memory_order_relaxed); }
