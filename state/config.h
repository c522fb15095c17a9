// Process-wide configuration and the debug switches. The configuration
// changes only while the server is stopped; listener threads read it without
// a lock. Connection threads may outlive a stop, so they read theirs through
// config_waits.
#pragma once

#include <cstdint>


struct config_rec {
  int32_t idle_timeout_ms;
  int32_t read_timeout_ms;
  int32_t max_connections;
  int32_t max_per_client;  // 0: config_per_client_cap's default
  int32_t nfs_port;
  int32_t mount_port;
  int32_t portmap_port;
};

extern config_rec G_CFG;

// The largest port number, for the port keys and the start's ports.
constexpr int32_t CFG_PORT_MAX = 65535;

// The engine's waits unless configured otherwise (the keys idle_timeout_ms
// and read_timeout_ms): for the first byte of the next call, and for the
// rest of a call from its first byte.
constexpr int32_t RPC_IDLE_WAIT_MS = 120000;
constexpr int32_t RPC_READ_WAIT_MS = 30000;

// The most connections one client address may hold at once: max_per_client,
// or when it is 0 a quarter of max_connections and at least 4.
int32_t config_per_client_cap();

// Sets a configuration key (or "secret") from its text, or back to its
// default when value is null or empty; records the outcome. 0, -1 for an
// unknown key or a bad value, -2 while the server runs or starts.
int config_set(const char* key, const char* value);

// The engine's idle and read waits, copied under the lock that
// config_set stores them under.
void config_waits(int32_t* idle_ms, int32_t* read_ms);

// The debug switches: VORLIX_FHDBG turns on the "FHDBG" lines, VORLIX_RDPDBG
// the "RDPDBG" lines and VORLIX_OPENDBG the "OPENDBG" lines (the files and
// folders each NFS call opened, counted by the platform layer over the whole
// process: exact only while one call runs at a time), each when the
// variable is set to any value. The
// environment is read at the first use and again by debug_read_env (which
// vorlix_start calls), never per call; any thread may ask.
bool debug_fh();
bool debug_rdp();
bool debug_opens();
// Reads the variables again.
void debug_read_env();
