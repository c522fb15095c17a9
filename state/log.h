// The event log: one line per event, "TIME LEVEL event=NAME key=value ...",
// the time in ISO 8601 with milliseconds and the local offset
// (2026-12-11T04:10:25.123+00:00). Lines go to any of three sinks: standard
// error, a file (reopened on demand, so that an outside rotation works, or
// rotated here by size) and a callback of the host. With no sink, or below
// the level, an event costs one atomic load.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "plat/plat.h"

enum log_level { LOG_ERROR = 0, LOG_WARN = 1, LOG_INFO = 2, LOG_DEBUG = 3 };

// The most detailed level written now, or -1 when no sink is set.
extern std::atomic<int> g_log_threshold;

// Whether an event of that level would be written: one relaxed load.
inline bool log_on(log_level lv) { return static_cast<int>(lv) <= g_log_threshold.load(std::memory_order_relaxed); }

// One key=value field of an event. Values with blanks, quotes or '=' are
// written quoted, with '"' and '\' escaped.
struct log_field {
  const char* key;
  std::string value;
};

// Writes the event line to every sink when its level is on.
void log_event(log_level lv, const char* event, std::initializer_list<log_field> fields);
// The same with n fields at fields.
void log_event_n(log_level lv, const char* event, const log_field* fields, size_t n);
// Like log_event, but at most once a minute for the same key (a path and a
// reason, say); the lines held back meanwhile are counted in the next one
// (field suppressed=N).
void log_event_limited(log_level lv, const char* key, const char* event, std::initializer_list<log_field> fields);

// The shortage of descriptors (or handles, or memory) that made an open or
// an accept fail, with the system's reason: once a minute at most.
void log_descriptors_exhausted(const char* why);

// An event given as texts (the C interface's form): level 0..3 (others are
// clamped), nfields key/value pairs at kv; null texts are written empty.
void log_event_text(int level, const char* event, const char* const* kv, int nfields);

// The level by name: "error", "warn", "info" or "debug". 0, or -1 for
// another name (nothing changes).
int log_set_level(const char* name);
// The name of a level.
const char* log_level_name(int level);
// Where lines go: null or "" for no file and no standard error, "-" for
// standard error, else the file at that path, appended to (opened again when
// it is given again, even unchanged). With rotate_bytes > 0 the file is
// rotated here once past that size, keeping keep older generations
// (FILE.1 the newest). 0, or -1 when the file cannot be opened (the sink is
// then unchanged; set_error says why).
int log_set_output(const char* path, int64_t rotate_bytes, int keep);
// The host's callback: fn(level, line, user) for every line written (the
// line without its end), called on the thread of the event, one at a
// time; null removes it. The callback may not call back into the library.
using log_callback = void (*)(int level, const char* line, void* user);
void log_set_callback(log_callback fn, void* user);

// The text of an IPv4 address (a.b.c.d).
std::string log_ip(const plat_addr& addr);
// The ISO 8601 text of a wall-clock time in milliseconds since 1970 UTC,
// with the local offset of now.
std::string log_time_text(int64_t unix_ms);
