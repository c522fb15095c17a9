// Statistics counters.
#include "proto/stats.h"

#include <cstdio>
#include <cstring>

#include "plat/plat.h"

namespace {

constexpr const char* S_KEY[5] = {"connections", "connections_total", "rpc_calls", "mounts", "auth_sys_max_uid"};
constexpr int kMaxUid = 4;

int64_t s_stats[5];

plat_mutex* stats_lock() {
  static plat_mutex* m = [] {
    static plat_mutex mu;
    plat_mutex_init(&mu);
    return &mu;
  }();
  return m;
}

int key_index(const char* key) {
  if (key == nullptr) return -1;
  for (int i = 0; i < 5; i++) {
    if (strcmp(key, S_KEY[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

void stats_add(const char* key, int64_t amount) {
  const int i = key_index(key);
  if (i < 0) return;
  plat_guard g(stats_lock());
  if (i == kMaxUid) {
    if (amount > s_stats[i]) s_stats[i] = amount;
  } else {
    s_stats[i] += amount;
  }
}

int64_t stats_get(const char* key) {
  const int i = key_index(key);
  if (i < 0) return 0;
  plat_guard g(stats_lock());
  return s_stats[i];
}

void stats_format_json(char* buf, size_t cap) {
  plat_guard g(stats_lock());
  snprintf(buf, cap,
           "{\"connections\":%lld,\"connections_total\":%lld,\"rpc_calls\":%lld,\"mounts\":%lld,"
           "\"auth_sys_max_uid\":%lld}",
           static_cast<long long>(s_stats[0]), static_cast<long long>(s_stats[1]),
           static_cast<long long>(s_stats[2]), static_cast<long long>(s_stats[3]),
           static_cast<long long>(s_stats[4]));
}
