// What several files of the POSIX platform layer share: the descriptor of a
// socket, file status from statx, and the opening of names beneath a root
// that refuses every link. Defined in fs.cc but for fd_of.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "plat/plat.h"

namespace plat_posix {

inline int fd_of(plat_sock s) { return static_cast<int>(s); }

// Fills the status record from statx results. `own` is the status of the
// path itself (the link when the path names one), `target` that of the object
// described.
void fill_stat(plat_statbuf* st, const struct statx& own, const struct statx& target);

// statx of name in dirfd with the given flags, never triggering an
// automount, asking for the basic status and the birth time. 0 or -1.
int statx_at(int dirfd, const char* name, int flags, struct statx* out);

// Checks every component of rel: "." and ".." are refused, and so are
// empty or overlong names. Points *last at the last component. -1 with
// errno EINVAL when refused.
int check_rel(const char* root, const char* rel, const char** last);

// Opens the folder root/rel (its first len bytes) as an O_PATH descriptor
// without following any link, the root's own path included: with one
// openat2 call, or one component at a time where the system lacks it. -1
// on failure.
int open_folder_beneath(const char* root, const char* rel, size_t len);

// A single component of a path: not empty, no "/", not "." or "..".
bool one_component(const char* name);

// Closes fd and leaves errno as it was.
void close_keep_errno(int fd);

// Opens `name` in dirfd for reading, without following a final link, only
// when it is a regular file. The type is read first (statx opens nothing:
// no FIFO writer is released and no device driver is called); the name is
// then opened without blocking and kept only when it is still that regular
// file, so that a file swapped for a FIFO in between is closed unread. -1
// on failure (EINVAL when it is not a regular file).
int open_regular_at(int dirfd, const char* name);

// Reads up to len bytes at off from fd (a regular file), as plat_fread_at
// does: the count, 0 at or past the end, -1 on failure.
int64_t pread_all(int fd, uint64_t off, void* dst, uint64_t len);

}  // namespace plat_posix

