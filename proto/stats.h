// The five process-wide counters, each an atomic word: any thread may add
// or read without a lock. The five are read one by one, so a reading sees
// each counter whole, not all five at one instant.
#pragma once

#include <cstddef>
#include <cstdint>

// Adds amount to the counter named key ("auth_sys_max_uid" keeps the
// maximum instead); an unknown key changes nothing.
void stats_add(const char* key, int64_t amount);
// The counter's value, or 0 for an unknown key.
int64_t stats_get(const char* key);
// Formats all five counters as one JSON object into buf.
void stats_format_json(char* buf, size_t cap);
