/* Public C interface of the read-only NFS version 3 file server.
 *
 * A host application configures the server, adds and removes exports,
 * starts and stops it, reads statistics and computes file handles through
 * these functions. Control functions are meant to be called from one
 * controlling thread at a time, and so is every function that returns a text
 * (vorlix_last_error, vorlix_export_json, vorlix_stats_json,
 * vorlix_status_json, vorlix_proc_table_json): the text lives in a buffer of the library that
 * the next call overwrites. The other queries may be called from any thread.
 * Texts are UTF-8. Results: 0 or a non-negative value on success; -1 invalid
 * argument, -2 wrong server state, -3 listener failed, -4 not found or stale,
 * -6 table full, -7 already exported, -8 thread start failed. */
#ifndef VORLIX_H
#define VORLIX_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(VORLIX_BUILDING)
#define VORLIX_API __declspec(dllexport)
#else
#define VORLIX_API __declspec(dllimport)
#endif
#else
#define VORLIX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Configuration, errors, version. vorlix_config takes, while the server is
 * stopped, one of these keys with a whole decimal number (null or "" sets
 * the default):
 *   nfs_port         NFS listener port, default 2049; 0: the system chooses
 *   mount_port       MOUNT listener port, default 20048; 0: the system chooses
 *   portmap_port     portmapper port, default 0: no portmapper (111 is usual)
 *   max_connections  connections served at once, 1..1024, default 64
 *   idle_timeout_ms  wait for a client's next call, 1000..3600000, default 120000
 *   read_timeout_ms  wait for the rest of a call, 1000..3600000, default 30000
 *   secret           the handle secret, at most 64 bytes; "" makes a random
 *                    one at each start (handles then do not survive restarts)
 * The chosen ports are read back with vorlix_nfs_port and the others. */
VORLIX_API int vorlix_config(const char* key, const char* value);
VORLIX_API int vorlix_last_code(void);
VORLIX_API const char* vorlix_last_error(void);
VORLIX_API const char* vorlix_version(void);

/* Exports and allow lists. */
VORLIX_API int vorlix_add_export(const char* export_path, const char* local_path,
                                 const char* allow_cidrs);
VORLIX_API int vorlix_remove_export(const char* export_path);
/* Allow lists (allow_cidrs): comma-separated addresses or networks of
 * either family (a.b.c.d, a.b.c.d/n, fd00::/8, ::1/128), or "*" for every
 * client; an IPv4 network also admits its clients arriving as IPv4-mapped
 * IPv6 addresses. Null or "" admits this machine only: every address of
 * this host (loopback and each interface's), read at each start and each
 * export added.
 * vorlix_set_allow replaces the allow list of an export in place: the
 * export keeps its slot and generation, so handles already given stay
 * valid, and the new list applies from each client's next call (refused
 * clients get NFS3ERR_ACCES, and MNT 13). Returns the export's slot, -1 when
 * the list has an error (nothing changes), -4 when no export has that path. */
VORLIX_API int vorlix_set_allow(const char* export_path, const char* allow_cidrs);
VORLIX_API int vorlix_export_count(void);
VORLIX_API const char* vorlix_export_json(int index);
/* Whether an allow list admits an IPv4 address (first octet most
 * significant), or an address of either family given as text ("10.0.0.1",
 * "fd00::5"): *allowed 1 or 0, and 0; -1 for a list or address with an error. */
VORLIX_API int vorlix_cidr_allows(const char* cidrs, uint32_t addr, int* allowed);
VORLIX_API int vorlix_cidr_allows_text(const char* cidrs, const char* addr, int* allowed);

/* Lifecycle and statistics. vorlix_start listens on bind_ip: one address or
 * several comma-separated (at most 8), each an IPv4 or IPv6 address of this
 * machine, 0.0.0.0 (every IPv4 address) or :: (every address of both
 * families). Each port is 0..65535: 0 takes the configured port (the keys
 * nfs_port, mount_port, portmap_port); portmap_port VORLIX_PORTMAP_AUTO runs
 * the portmapper on 111 when that port is free and otherwise registers
 * the programs served with this host's rpcbind (removed again at stop;
 * vorlix_portmap_note says which was done); any other negative
 * portmap_port opens no portmapper whatever is configured. A port out of
 * range is refused (-1, "nfs_port out of range 0..65535"). */
#define VORLIX_PORTMAP_AUTO (-111)
VORLIX_API int vorlix_start(const char* bind_ip, int nfs_port, int mount_port,
                            int portmap_port);
VORLIX_API void vorlix_stop(void);
VORLIX_API int vorlix_is_running(void);
VORLIX_API int vorlix_nfs_port(void);
VORLIX_API int vorlix_mount_port(void);
VORLIX_API int vorlix_portmap_port(void);
/* One line on how clients find the ports, after a start: the portmapper
 * run, the registration with the host's rpcbind, or why there is neither;
 * "" when there is nothing to say. */
VORLIX_API const char* vorlix_portmap_note(void);
VORLIX_API const char* vorlix_stats_json(void);
VORLIX_API int vorlix_client_count(void);

/* Status: today's counters (as vorlix_stats_json, member "stats"), the
 * uptime in seconds, each connected client (address, connections, the paths
 * it has mounted, calls, bytes read, the time of its last call, the file it
 * is reading now or "") and the mount list (client, path, since), as one
 * JSON object. The text lives until the next call on the same thread:
 * unlike the other texts, it may be asked for from any thread. */
VORLIX_API const char* vorlix_status_json(void);

/* The event log: one line per event, "TIME LEVEL event=NAME key=value ...",
 * TIME in ISO 8601 with the local offset. Nothing is logged until a sink is
 * set. vorlix_log_level takes "error", "warn", "info" (the default) or
 * "debug". vorlix_log_output sends lines to standard error ("-"), to a file
 * (appended; giving it again reopens it, so that an outside rotation works;
 * with rotate_bytes > 0 it is rotated here past that size, keeping keep
 * older generations FILE.1, FILE.2, ...), or nowhere (null or ""). The
 * callback receives each line (without its end) with its level (0 error,
 * 1 warn, 2 info, 3 debug) on the thread of the event, one at a time; it
 * must not call back into the library. Null removes it. 0, or -1 for an
 * unknown level or a file that cannot be opened (vorlix_last_error says
 * why). */
typedef void (*vorlix_log_fn)(int level, const char* line, void* user);
VORLIX_API int vorlix_log_level(const char* level);
VORLIX_API int vorlix_log_output(const char* path, int64_t rotate_bytes, int keep);
VORLIX_API void vorlix_set_log_callback(vorlix_log_fn fn, void* user);
/* Writes an event of the host's own into the same log: level 0..3, its
 * name, and nfields key/value pairs at fields (key, value, key, value...). */
VORLIX_API void vorlix_log_event(int level, const char* event, const char* const* fields, int nfields);

/* Handles. */
VORLIX_API int vorlix_fh_for(const char* export_path, const char* rel,
                             unsigned char* out, int out_size);
VORLIX_API int vorlix_fh_resolve(const unsigned char* fh, int fh_len, char* out,
                                 int out_size);

/* Procedure table and status names. */
VORLIX_API int vorlix_proc_is_write(int32_t proc);
VORLIX_API const char* vorlix_nfsstat_name(int32_t code);
VORLIX_API const char* vorlix_proc_table_json(void);

/* Serves one connected TCP socket until the connection is over; never closes
 * it. Sockets cross this interface as 64-bit unsigned values. */
VORLIX_API int vorlix_serve_conn(uint64_t sock);

#ifdef __cplusplus
}
#endif

#endif /* VORLIX_H */
