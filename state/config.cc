// Configuration keys and the debug switches.
#include "state/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <atomic>

#include "state/last_error.h"
#include "state/secret.h"
#include "state/server_rec.h"

config_rec G_CFG = {RPC_IDLE_WAIT_MS, RPC_READ_WAIT_MS, 64, 0, 2049, 20048, 0};

namespace {

// Guards the fields of G_CFG against the connection threads of an earlier
// run, which may still be starting while a stopped server is configured; a
// leaf lock, taken only to copy or store a field.
plat_mutex* config_lock() {
  static plat_static_mutex m;
  return m.get();
}

// The debug switches as bits (1 FHDBG, 2 RDPDBG); -1 until first read.
constexpr int kDebugFh = 1;
constexpr int kDebugRdp = 2;
constexpr int kDebugOpens = 4;
std::atomic<int> s_debug{-1};

int debug_bits() {
  const int v = s_debug.load(std::memory_order_relaxed);
  if (v >= 0) return v;
  debug_read_env();
  return s_debug.load(std::memory_order_relaxed);
}

struct key_row {
  const char* name;
  int32_t config_rec::*field;
  int32_t def;
  long lo;
  long hi;
};

constexpr key_row kKeys[] = {
    {"idle_timeout_ms", &config_rec::idle_timeout_ms, RPC_IDLE_WAIT_MS, 1000, 3600000},
    {"read_timeout_ms", &config_rec::read_timeout_ms, RPC_READ_WAIT_MS, 1000, 3600000},
    {"max_connections", &config_rec::max_connections, 64, 1, 1024},
    {"max_per_client", &config_rec::max_per_client, 0, 0, 1024},
    {"nfs_port", &config_rec::nfs_port, 2049, 0, CFG_PORT_MAX},
    {"mount_port", &config_rec::mount_port, 20048, 0, CFG_PORT_MAX},
    {"portmap_port", &config_rec::portmap_port, 0, 0, CFG_PORT_MAX},
};

// Reads a whole decimal number: digits only, nothing before or after them.
// False for anything else; a number too large for 32 bits is kept at
// INT32_MAX, so it is refused as out of range rather than wrapping into a
// valid value.
bool read_number(const char* s, int32_t* out) {
  if (*s == 0) return false;
  int64_t v = 0;
  for (; *s != 0; s++) {
    if (*s < '0' || *s > '9') return false;
    v = v * 10 + (*s - '0');
    if (v > INT32_MAX) v = INT32_MAX;
  }
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

void config_waits(int32_t* idle_ms, int32_t* read_ms) {
  plat_guard g(config_lock());
  *idle_ms = G_CFG.idle_timeout_ms;
  *read_ms = G_CFG.read_timeout_ms;
}

int32_t config_per_client_cap() {
  if (G_CFG.max_per_client > 0) return G_CFG.max_per_client;
  const int32_t quarter = G_CFG.max_connections / 4;
  return quarter < 4 ? 4 : quarter;
}

void debug_read_env() {
  const int v = (getenv("VORLIX_FHDBG") != nullptr ? kDebugFh : 0) | (getenv("VORLIX_RDPDBG") != nullptr ? kDebugRdp : 0) |
                (getenv("VORLIX_OPENDBG") != nullptr ? kDebugOpens : 0);
  s_debug.store(v, std::memory_order_relaxed);
}

bool debug_fh() { return (debug_bits() & kDebugFh) != 0; }

bool debug_rdp() { return (debug_bits() & kDebugRdp) != 0; }

bool debug_opens() { return (debug_bits() & kDebugOpens) != 0; }

int config_set(const char* key, const char* value) {
  if (key == nullptr) {
    set_error(-1, "key required");
    return -1;
  }
  const bool reset = value == nullptr || value[0] == 0;
  const key_row* row = nullptr;
  for (const key_row& r : kKeys) {
    if (strcmp(key, r.name) == 0) row = &r;
  }
  const bool is_secret = strcmp(key, "secret") == 0;
  if (row == nullptr && !is_secret) {
    set_error(-1, "unknown key");
    return -1;
  }
  if (G_SRV.running.load() || G_SRV.starting.load()) {
    set_error(-2, "%s needs a stopped server", is_secret ? "secret" : row->name);
    return -2;
  }
  if (is_secret) {
    if (reset) {
      secret_set(nullptr, 0);
      set_error(0, "secret reset");
      return 0;
    }
    const size_t n = strlen(value);
    if (n > SECRET_MAX) {
      set_error(-1, "secret too long (max %d)", SECRET_MAX);
      return -1;
    }
    secret_set(reinterpret_cast<const unsigned char*>(value), n);
    set_error(0, "secret set (%d bytes)", static_cast<int>(n));
    return 0;
  }
  if (reset) {
    plat_guard g(config_lock());
    G_CFG.*(row->field) = row->def;
    set_error(0, "%s reset", row->name);
    return 0;
  }
  int32_t v = 0;
  if (!read_number(value, &v)) {
    set_error(-1, "%s must be a whole number %ld..%ld", row->name, row->lo, row->hi);
    return -1;
  }
  if (v < row->lo || v > row->hi) {
    set_error(-1, "%s out of range %ld..%ld", row->name, row->lo, row->hi);
    return -1;
  }
  {
    plat_guard g(config_lock());
    G_CFG.*(row->field) = v;
  }
  set_error(0, "%s = %ld", row->name, static_cast<long>(v));
  return 0;
}
