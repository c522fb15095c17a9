// The five process-wide counters, guarded by the counter lock, which is
// always taken last (no other lock is taken while it is held).
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
