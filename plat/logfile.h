// The wall clock and files written by appending, in the platform layer: what
// the event log needs to stamp its lines and to keep them in a file that
// can be reopened, measured and rotated while the server runs.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Wall clock ------------------------------------------------------------

// The time of day: milliseconds since 1970-01-01 00:00 UTC into *unix_ms,
// and the local time's offset from UTC at that moment, in minutes east of
// Greenwich, into *utc_offset_min (0 where the system cannot tell).
void plat_wall_clock(int64_t* unix_ms, int* utc_offset_min);

// ---- Appended files --------------------------------------------------------

struct plat_append;
// Opens the file at path (UTF-8) for appending, creating it when missing;
// readers may open it meanwhile and it may be renamed while open (log
// rotation). Null on failure (plat_last_failure_text says why).
plat_append* plat_append_open(const char* path);
// Appends the n bytes at the end of the file, whatever other writers did
// meanwhile. 0 or -1.
int plat_append_write(plat_append* f, const void* data, size_t n);
// The file's size in bytes, or -1.
int64_t plat_append_size(plat_append* f);
void plat_append_close(plat_append* f);
// Renames the file from to to, replacing to when it exists. 0 or -1.
int plat_rename_over(const char* from, const char* to);
