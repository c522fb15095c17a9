/* Public C interface of the read-only NFS version 3 file server.
 *
 * A host application configures the server, adds and removes exports,
 * starts and stops it, reads statistics and computes file handles through
 * these functions. Control functions are meant to be called from one
 * controlling thread at a time, and so is every function that returns a text
 * (vorlix_last_error, vorlix_export_json, vorlix_stats_json,
 * vorlix_proc_table_json): the text lives in a buffer of the library that
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

/* Configuration, errors, version. */
VORLIX_API int vorlix_config(const char* key, const char* value);
VORLIX_API int vorlix_last_code(void);
VORLIX_API const char* vorlix_last_error(void);
VORLIX_API const char* vorlix_version(void);

/* Exports and allow lists. */
VORLIX_API int vorlix_add_export(const char* export_path, const char* local_path,
                                 const char* allow_cidrs);
VORLIX_API int vorlix_remove_export(const char* export_path);
VORLIX_API int vorlix_export_count(void);
VORLIX_API const char* vorlix_export_json(int index);
VORLIX_API int vorlix_cidr_allows(const char* cidrs, uint32_t addr, int* allowed);

/* Lifecycle and statistics. */
VORLIX_API int vorlix_start(const char* bind_ip, int nfs_port, int mount_port,
                            int portmap_port);
VORLIX_API void vorlix_stop(void);
VORLIX_API int vorlix_is_running(void);
VORLIX_API int vorlix_nfs_port(void);
VORLIX_API int vorlix_mount_port(void);
VORLIX_API int vorlix_portmap_port(void);
VORLIX_API const char* vorlix_stats_json(void);
VORLIX_API int vorlix_client_count(void);

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
