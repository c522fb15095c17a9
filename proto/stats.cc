// Statistics counters.
#include "proto/stats.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* S_KEY[5] = {"connections", "connections_total", "rpc_calls", "mounts", "auth_sys_max_uid"};
constexpr int kMaxUid = 4;

// Each counter is one atomic word, so that counting a call takes no lock.
std::atomic<int64_t> s_stats[5];

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
  if (i == kMaxUid) {
    // Written only when the value grows, so the usual call only reads.
    int64_t now = s_stats[i].load(std::memory_order_relaxed);
    while (amount > now && !s_stats[i].compare_exchange_weak(now, amount, std::memory_order_relaxed)) {
    }
  } else {
    s_stats[i].fetch_add(amount, std::memory_order_relaxed);
  }
}

int64_t stats_get(const char* key) {
  const int i = key_index(key);
  if (i < 0) return 0;
  return s_stats[i].load(std::memory_order_relaxed);
}

void stats_format_json(char* buf, size_t cap) {
  int64_t v[5];
  for (int i = 0; i < 5; i++) v[i] = s_stats[i].load(std::memory_order_relaxed);
  snprintf(buf, cap,
           "{\"connections\":%lld,\"connections_total\":%lld,\"rpc_calls\":%lld,\"mounts\":%lld,"
           "\"auth_sys_max_uid\":%lld}",
           static_cast<long long>(v[0]), static_cast<long long>(v[1]), static_cast<long long>(v[2]),
           static_cast<long long>(v[3]), static_cast<long long>(v[4]));
}
