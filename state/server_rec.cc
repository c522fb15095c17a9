// The server record and its lock.
#include "state/server_rec.h"

server_rec G_SRV;

plat_mutex* srv_lock() {
  static plat_static_mutex m;
  return m.get();
}

int portmap_port_now() { return G_SRV.bound_portmap_port.load(std::memory_order_relaxed); }

plat_addr srv_bound_addr(bool v4) {
  for (int i = 0; i < G_SRV.nbinds; i++) {
    const srv_bind& b = G_SRV.binds[i];
    if (plat_addr_is_v4(b.addr) == v4) return b.addr;
    if (v4 && b.dual) return plat_addr_v4(0);
  }
  return v4 ? plat_addr_v4(0) : plat_addr{};
}
