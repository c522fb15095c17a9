// The server's start events and its status text.
#include "server/status.h"

#include <string>

#include "proto/stats.h"
#include "state/clients.h"
#include "state/exports.h"
#include "state/log.h"
#include "state/server_rec.h"

// The start's events: the start itself, then one line per address, port
// and transport listened on.
void server_log_start(const char* bind_ip) {
  if (!log_on(LOG_INFO)) return;
  log_event(LOG_INFO, "start", {{"version", VORLIX_VERSION_TEXT}, {"exports", std::to_string(exports_count())}});
  const struct {
    const char* service;
    const char* transport;
    int port;
  } lines[] = {{"nfs", "tcp", G_SRV.bound_nfs_port.load()},
               {"mount", "tcp", G_SRV.bound_mount_port.load()},
               {"mount", "udp", G_SRV.bound_mount_udp_port.load()},
               {"portmap", "tcp", G_SRV.bound_portmap_port.load()},
               {"portmap", "udp", G_SRV.bound_portmap_udp_port.load()}};
  for (const auto& l : lines) {
    if (l.port <= 0) continue;
    log_event(LOG_INFO, "listening",
              {{"service", l.service}, {"transport", l.transport}, {"address", bind_ip}, {"port", std::to_string(l.port)}});
  }
}

const char* server_status_json() {
  // One text per thread: the console and the status channel ask at once.
  thread_local std::string s_text;
  char stats[512];
  stats_format_json(stats, sizeof stats);
  const uint64_t started = G_SRV.started_ms.load();
  const uint64_t uptime = G_SRV.running.load() && started != 0 ? (plat_now_ms() - started) / 1000 : 0;
  s_text = std::string("{\"running\":") + std::to_string(G_SRV.running.load()) + ",\"uptime_s\":" +
           std::to_string(uptime) + ",\"stats\":" + stats + "," + clients_status_json() + "}";
  return s_text.c_str();
}

