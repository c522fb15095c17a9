// The public C interface: every vorlix_* function, each a thin call of the
// internal operation below it (configuration, exports, lifecycle, handles,
// the procedure table and the connection engine). Nothing else in the
// library includes vorlix.h.
#include "vorlix.h"

#include "proto/nfs.h"
#include "proto/rpc.h"
#include "proto/stats.h"
#include "server/fh_api.h"
#include "server/server.h"
#include "state/config.h"
#include "state/exports.h"
#include "state/last_error.h"
#include "state/server_rec.h"

extern "C" {

int vorlix_config(const char* key, const char* value) { return config_set(key, value); }
int vorlix_last_code(void) { return last_error_code(); }
const char* vorlix_last_error(void) { return last_error_text(); }
const char* vorlix_version(void) { return VORLIX_VERSION_TEXT; }

int vorlix_add_export(const char* export_path, const char* local_path, const char* allow_cidrs) {
  return exports_add(export_path, local_path, allow_cidrs);
}
int vorlix_remove_export(const char* export_path) { return exports_remove(export_path); }
int vorlix_set_allow(const char* export_path, const char* allow_cidrs) {
  return exports_set_allow(export_path, allow_cidrs);
}
int vorlix_export_count(void) { return exports_count(); }
const char* vorlix_export_json(int index) { return exports_json(index); }
int vorlix_cidr_allows(const char* cidrs, uint32_t addr, int* allowed) {
  return exports_cidr_allows(cidrs, plat_addr_v4(addr), allowed);
}
int vorlix_cidr_allows_text(const char* cidrs, const char* addr, int* allowed) {
  return exports_cidr_allows_text(cidrs, addr, allowed);
}

int vorlix_start(const char* bind_ip, int nfs_port, int mount_port, int portmap_port) {
  return server_start(bind_ip, nfs_port, mount_port, portmap_port);
}
void vorlix_stop(void) { server_stop(); }
int vorlix_is_running(void) { return G_SRV.running.load(); }
int vorlix_nfs_port(void) { return G_SRV.bound_nfs_port.load(); }
int vorlix_mount_port(void) { return G_SRV.bound_mount_port.load(); }

int vorlix_portmap_port(void) {
  plat_guard g(srv_lock());
  return G_SRV.bound_portmap_port.load();
}

const char* vorlix_portmap_note(void) { return server_portmap_note(); }

const char* vorlix_stats_json(void) {
  static char buf[512];
  stats_format_json(buf, sizeof buf);
  return buf;
}

int vorlix_client_count(void) { return static_cast<int>(stats_get("connections")); }

int vorlix_fh_for(const char* export_path, const char* rel, unsigned char* out, int out_size) {
  return fh_for_path(export_path, rel, out, out_size);
}
int vorlix_fh_resolve(const unsigned char* fh, int fh_len, char* out, int out_size) {
  return fh_resolve_root(fh, fh_len, out, out_size);
}

int vorlix_proc_is_write(int32_t proc) { return nfs_proc_is_write(proc); }
const char* vorlix_nfsstat_name(int32_t code) { return nfsstat_name(code); }
const char* vorlix_proc_table_json(void) { return nfs_proc_table_json(); }

int vorlix_serve_conn(uint64_t sock) { return rpc_serve_conn(sock, nullptr); }

}  // extern "C"
