// The wall clock, files written by appending and standard error, in the
// platform layer: what the event log needs to stamp its lines, to keep them
// in a file that can be reopened, measured and rotated while the server
// runs, and to write them to standard error without waiting on its reader.
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

// ---- Standard error --------------------------------------------------------

// The longest line plat_stderr_try_write writes whole or not at all.
constexpr size_t PLAT_STDERR_LINE_MAX = 4096;
// Writes the n bytes (at most PLAT_STDERR_LINE_MAX) to standard error if
// that can be done now without waiting: 1 when written, 0 when its reader
// has fallen behind (a pipe or socket that is full: nothing is written), so
// that no thread waits on a reader that stopped reading. A file or a
// terminal takes them as a write would. (Windows: written as by fwrite,
// always 1.)
int plat_stderr_try_write(const void* data, size_t n);
