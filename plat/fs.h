// The file system in the platform layer: file status, canonical paths,
// volume space, folder enumeration, positional reads, the walks beneath a
// root that follow no link, and what a failure was for. A plat_dir or
// plat_file belongs to its opener.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- File system -----------------------------------------------------------

// File status. mode holds permission bits only: 0444 when no write bit is set,
// else 0666, plus 0111 for directories. Times are seconds since 1970 except
// mtime_ns. is_link always describes the path itself.
// Windows reparse points: whether one with this tag is a link to another
// place (a name surrogate: symbolic links, junctions, mount points), which
// is never followed, rather than the file or folder itself kept in another
// form (deduplicated, compressed by the system, a cloud placeholder, moved
// to slower storage), which is listed and read as what it is. A tag that
// could not be read (0, which no reparse point carries; Wine gives it for a
// link to a folder) counts as a link. Pure, so testable on every system.
inline bool plat_reparse_tag_is_link(uint32_t tag) { return tag == 0 || (tag & 0x20000000u) != 0; }

struct plat_statbuf {
  int32_t is_dir;
  int32_t is_reg;
  int32_t is_link;
  int64_t size;
  int64_t mtime;
  uint64_t fileid;
  uint32_t mode;
  uint32_t uid;
  uint32_t gid;
  uint32_t nlink;
  int64_t mtime_ns;
  int64_t atime;
  int64_t ctime;
  // The file system the object is on (POSIX: its device number); 0 where
  // an export cannot span file systems (Windows: mount points are reparse
  // points, never followed).
  uint64_t dev;
};

// Fills st for the path; follow 0 describes a final link itself. 0 or -1
// (the record is cleared on failure, except perhaps is_link).
int plat_stat(const char* path, plat_statbuf* st, int follow);
// Status of root/rel where no component of rel but the last may be a
// symbolic link (the last one is described itself, never followed). rel uses
// "/" separators and may be empty (the root itself); a "." or ".." component
// is refused. The root itself must be a folder and not a link; on POSIX no
// component of the root's own path may be a link either (the root is
// canonical, so a link there is a change made after it was given). 0 or -1.
int plat_stat_beneath(const char* root, const char* rel, plat_statbuf* st);
// Canonical absolute path with every link resolved; a new string or null.
char* plat_realpath(const char* path);
int plat_is_absolute(const char* path);
int plat_path_under(const char* path, const char* base);
// Total bytes of the volume holding path and bytes available to the caller.
// 0, or -1 with the outputs unchanged.
int plat_fs_space(const char* path, uint64_t* total, uint64_t* avail);

struct plat_dir;
// Starts an enumeration; null if it cannot be opened.
plat_dir* plat_opendir(const char* path);
// The next name, never "." or ".."; null at the end or on error. The name
// belongs to the plat_dir and lives until the next readdir or closedir.
const char* plat_readdir(plat_dir* d);
void plat_closedir(plat_dir* d);
// How long a description read from the file system counts as current: one
// read earlier is read again before it is given out.
constexpr uint64_t PLAT_DESC_FRESH_MS = 5;
// Status of a name in an enumeration's folder; a final link is described
// itself. The name "" describes the folder itself. Opens nothing but, for a
// name the enumeration does not hold, on Windows the name. The description
// was read within PLAT_DESC_FRESH_MS (Windows keeps the descriptions its
// enumeration read with the names, and reads them again when older). 0 or
// -1.
int plat_dir_stat(plat_dir* d, const char* name, plat_statbuf* st);

struct plat_file;
// Opens an existing regular file for reading. The type is decided before
// anything is opened: a FIFO, device, socket or folder is never opened (no
// FIFO writer is released, no driver is called); one swapped in between the
// check and the open is closed unread. A final link is not followed. Null on
// failure.
plat_file* plat_fopen_read(const char* path);
// Reads up to len bytes at offset. Returns the count, 0 at or past the end,
// -1 on failure. A file cut shorter during the read never yields bytes past
// its new end.
int64_t plat_fread_at(plat_file* f, uint64_t off, void* dst, uint64_t len);
void plat_fclose(plat_file* f);

// plat_fopen_read and plat_opendir for root/rel, walking rel the same way as
// plat_stat_beneath: no link is followed anywhere, the last component
// included, and the root itself must not have become a link.
plat_file* plat_fopen_beneath(const char* root, const char* rel);
plat_dir* plat_opendir_beneath(const char* root, const char* rel);

// ---- Failures --------------------------------------------------------------

// 1 when the platform operation that failed last on this thread failed for
// want of a resource that may come back (open descriptors or handles,
// memory): trying again later may succeed. 0 for every other failure (the
// file does not exist, is refused, or is not what was asked for). Read it
// right after the failed operation: any later call may change it.
int plat_last_failure_transient();
// 1 when the platform operation that failed last on this thread was refused
// access (this process's account may not read or enter what it names),
// else 0. Read it right after the failed operation, as above.
int plat_last_failure_denied();
// The system's words for the platform operation that failed last on this
// thread ("Permission denied"), NUL-terminated in out (at most outlen
// bytes). Read it right after the failed operation, as above.
void plat_last_failure_text(char* out, size_t outlen);
// Whether this process's account may read the file or folder at path
// (*can_read) and enter the folder (*can_search), without opening it. 0, or
// -1 with the outputs untouched where the system cannot tell without an open
// (Windows: its access lists are checked when a file is opened).
int plat_access_check(const char* path, int* can_read, int* can_search);

// ---- Counters ----------------------------------------------------------------

// How many files and folders the platform layer has opened by name since the
// process started, over all threads (each descriptor or handle it opened; a
// status read without an open is not counted). For tests and measurements.
uint64_t plat_open_count();
