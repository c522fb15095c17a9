// POSIX file system (Linux): file status by statx, canonical paths, volume
// space, folder enumeration by opendir and reads by pread, the walks
// beneath a root that follow no link (openat2, or one component at a time
// where it is missing), the failure causes, and the count of opens.
#include "plat/plat.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "plat/posix/posix_internal.h"

using namespace plat_posix;  // the helpers of posix_internal.h

namespace {

// Files and folders opened by name so far; every open of a path below
// counts itself here first.
std::atomic<uint64_t> g_opens{0};
void count_open() { g_opens.fetch_add(1, std::memory_order_relaxed); }

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

// "." and ".." would lead a walk beneath a root sideways or above it.
bool dot_component(const char* s, size_t n) { return s[0] == '.' && (n == 1 || (n == 2 && s[1] == '.')); }

}  // namespace

namespace plat_posix {

void fill_stat(plat_statbuf* st, const struct statx& own, const struct statx& target) {
  memset(st, 0, sizeof *st);
  const bool own_link = S_ISLNK(own.stx_mode);
  st->is_link = own_link ? 1 : 0;
  st->is_dir = S_ISDIR(target.stx_mode) ? 1 : 0;
  st->is_reg = S_ISREG(target.stx_mode) ? 1 : 0;
  st->size = static_cast<int64_t>(target.stx_size);
  st->mtime = target.stx_mtime.tv_sec;
  st->mtime_ns = target.stx_mtime.tv_sec * 1000000000LL + target.stx_mtime.tv_nsec;
  st->atime = target.stx_atime.tv_sec;
  st->ctime = (target.stx_mask & STATX_BTIME) ? target.stx_btime.tv_sec : target.stx_ctime.tv_sec;
  st->fileid = target.stx_ino;
  st->dev = makedev(target.stx_dev_major, target.stx_dev_minor);
  st->nlink = target.stx_nlink;
  // A path without any write permission bit stands for a read-only file.
  const bool read_only = (own.stx_mode & 0222) == 0;
  st->mode = (read_only ? 0444u : 0666u) | (st->is_dir ? 0111u : 0u);
}

int statx_at(int dirfd, const char* name, int flags, struct statx* out) {
  return statx(dirfd, name, flags | AT_NO_AUTOMOUNT, kStatxMask, out);
}

}  // namespace plat_posix

// ---- Failures --------------------------------------------------------------

// Every failing operation leaves its cause in errno: that of the system
// call that failed, or EINVAL for a refusal decided here.
int plat_last_failure_transient() {
  switch (errno) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS:
      return 1;
    default:
      return 0;
  }
}

void plat_last_failure_text(char* out, size_t outlen) {
  if (outlen == 0) return;
  snprintf(out, outlen, "%s", strerror(errno));
}

// ---- File system -----------------------------------------------------------

int plat_stat(const char* path, plat_statbuf* st, int follow) {
  memset(st, 0, sizeof *st);
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct statx own;
  if (statx_at(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, &own) != 0) return -1;
  if (!follow || !S_ISLNK(own.stx_mode)) {
    fill_stat(st, own, own);
    return 0;
  }
  struct statx target;
  if (statx_at(AT_FDCWD, path, 0, &target) != 0) {
    st->is_link = 1;
    return -1;
  }
  fill_stat(st, own, target);
  return 0;
}

namespace {

// Opens the folder root/parent (parent_len bytes of rel) with one openat2
// call that refuses every link on the way, the root's own path included
// (it is canonical, so it holds none). -1 with errno ENOSYS where the system
// lacks openat2 or refuses it to this process (a seccomp profile answering
// EPERM): the caller then walks without it, in the same call.
int open_parent_fast(const char* root, const char* rel, size_t parent_len) {
  static std::atomic<bool> missing{false};
  if (missing.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  char path[4096];
  const size_t rlen = strlen(root);
  if (rlen + parent_len + 2 > sizeof path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(path, root, rlen);
  size_t n = rlen;
  if (parent_len > 0) {
    path[n++] = '/';
    memcpy(path + n, rel, parent_len);
    n += parent_len;
  }
  path[n] = 0;
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  count_open();
  const long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
    missing.store(true, std::memory_order_relaxed);
    errno = ENOSYS;
  }
  return static_cast<int>(fd);
}

// Opens the folder `name` (n bytes) inside dir as an O_PATH descriptor
// without following a link (O_NOFOLLOW with O_PATH opens a link itself, and
// O_DIRECTORY then refuses it), and closes dir. -1 on failure.
int step_into(int dir, const char* name, size_t n) {
  char one[1024];
  int next = -1;
  if (n >= sizeof one) {
    errno = ENAMETOOLONG;
  } else {
    memcpy(one, name, n);
    one[n] = 0;
    count_open();
    next = openat(dir, one, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  const int saved = errno;
  close(dir);
  errno = saved;
  return next;
}

// open_parent_fast without openat2: one component at a time from the file
// system's root (or the current folder for a relative root), the root's own
// components included, none of them followed if it is a link.
int open_parent_slow(const char* root, const char* rel, size_t parent_len) {
  if (root[0] == 0) {
    errno = ENOENT;
    return -1;
  }
  count_open();
  int dir = open(root[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (const char* p = root; dir >= 0;) {
    while (*p == '/') p++;
    if (*p == 0) break;
    const char* slash = strchr(p, '/');
    const size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if (dot_component(p, n)) {
      close(dir);
      errno = EINVAL;
      return -1;
    }
    dir = step_into(dir, p, n);
    p += n;
  }
  const char* end = rel + parent_len;
  for (const char* p = rel; dir >= 0 && p < end;) {
    const char* slash = static_cast<const char*>(memchr(p, '/', static_cast<size_t>(end - p)));
    const size_t n = slash ? static_cast<size_t>(slash - p) : static_cast<size_t>(end - p);
    dir = step_into(dir, p, n);
    p += n + 1;
  }
  return dir;
}

}  // namespace

namespace plat_posix {

int check_rel(const char* root, const char* rel, const char** last) {
  errno = EINVAL;
  if (root == nullptr || rel == nullptr) return -1;
  for (const char* p = rel;;) {
    const char* slash = strchr(p, '/');
    const size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if ((slash && (n == 0 || n >= 1024)) || (n > 0 && dot_component(p, n))) return -1;
    if (!slash) {
      *last = p;
      return 0;
    }
    p = slash + 1;
  }
}

// Opens the folder root/rel (its first len bytes) with open_parent_fast,
// or open_parent_slow where that is missing.
int open_folder_beneath(const char* root, const char* rel, size_t len) {
  const int dir = open_parent_fast(root, rel, len);
  return dir < 0 && errno == ENOSYS ? open_parent_slow(root, rel, len) : dir;
}

bool one_component(const char* name) {
  const size_t n = name == nullptr ? 0 : strlen(name);
  return n > 0 && n < 1024 && strchr(name, '/') == nullptr && !dot_component(name, n);
}

void close_keep_errno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

int open_regular_at(int dirfd, const char* name) {
  struct statx sx;
  if (statx_at(dirfd, name, AT_SYMLINK_NOFOLLOW, &sx) != 0) return -1;
  if (!S_ISREG(sx.stx_mode)) {
    errno = EINVAL;
    return -1;
  }
  count_open();
  const int fd = openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat o;
  if (fstat(fd, &o) != 0 || !S_ISREG(o.st_mode) || static_cast<uint64_t>(o.st_ino) != sx.stx_ino ||
      major(o.st_dev) != sx.stx_dev_major || minor(o.st_dev) != sx.stx_dev_minor) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

}  // namespace plat_posix

namespace {

// Walks rel below root without following any link, the root's own path
// included. Returns an O_PATH descriptor of the folder that holds rel's
// last component and points *last at that component ("" when rel is empty:
// the descriptor is then the root itself), or -1. "." and ".." components
// are refused: they would lead the walk sideways or above root.
int walk_beneath(const char* root, const char* rel, const char** last) {
  const char* lastp = nullptr;
  if (check_rel(root, rel, &lastp) != 0) return -1;
  const size_t parent_len = lastp == rel ? 0 : static_cast<size_t>(lastp - rel - 1);
  const int dir = open_folder_beneath(root, rel, parent_len);
  if (dir < 0) return -1;
  *last = lastp;
  return dir;
}

plat_file* file_from_fd(int fd);
plat_dir* dir_from_fd(int fd);

}  // namespace

int plat_stat_beneath(const char* root, const char* rel, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  const char* last = nullptr;
  const int dir = walk_beneath(root, rel, &last);
  if (dir < 0) return -1;
  // The last component (or the root itself) is described without following it.
  struct statx sx;
  const int r = *last ? statx_at(dir, last, AT_SYMLINK_NOFOLLOW, &sx)
                      : statx_at(dir, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, &sx);
  close_keep_errno(dir);
  if (r != 0) return -1;
  fill_stat(st, sx, sx);
  return 0;
}

plat_file* plat_fopen_beneath(const char* root, const char* rel) {
  const char* last = nullptr;
  const int dir = walk_beneath(root, rel, &last);
  if (dir < 0) return nullptr;
  errno = EINVAL;  // the root itself is never a file
  const int fd = *last ? open_regular_at(dir, last) : -1;
  close_keep_errno(dir);
  return fd < 0 ? nullptr : file_from_fd(fd);
}

plat_dir* plat_opendir_beneath(const char* root, const char* rel) {
  const char* last = nullptr;
  const int dir = walk_beneath(root, rel, &last);
  if (dir < 0) return nullptr;
  count_open();
  const int fd = openat(dir, *last ? last : ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  close_keep_errno(dir);
  return fd < 0 ? nullptr : dir_from_fd(fd);
}

uint64_t plat_open_count() { return g_opens.load(std::memory_order_relaxed); }

char* plat_realpath(const char* path) {
  if (path == nullptr) return nullptr;
  return realpath(path, nullptr);
}

int plat_is_absolute(const char* path) {
  if (path == nullptr || path[0] == 0) return 0;
  if (path[0] == '/' || path[0] == '\\') return 1;
  const char c = path[0];
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return (letter && path[1] == ':') ? 1 : 0;
}

int plat_path_under(const char* path, const char* base) {
  const size_t n = strlen(base);
  if (strncasecmp(path, base, n) != 0) return 0;
  const char next = path[n];
  if (next == 0 || next == '\\' || next == '/') return 1;
  if (n == 0) return 0;
  return (base[n - 1] == '\\' || base[n - 1] == '/') ? 1 : 0;
}

int plat_fs_space(const char* path, uint64_t* total, uint64_t* avail) {
  struct statvfs v;
  if (path == nullptr || statvfs(path, &v) != 0) return -1;
  *total = static_cast<uint64_t>(v.f_blocks) * v.f_frsize;
  *avail = static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
  return 0;
}

struct plat_dir {
  DIR* d;
};

namespace {

// Takes over an open folder descriptor; null (descriptor closed) on failure.
plat_dir* dir_from_fd(int fd) {
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close_keep_errno(fd);
    return nullptr;
  }
  auto* h = static_cast<plat_dir*>(malloc(sizeof(plat_dir)));
  if (h == nullptr) {
    closedir(d);
    errno = ENOMEM;
    return nullptr;
  }
  h->d = d;
  return h;
}

}  // namespace

plat_dir* plat_opendir(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  count_open();
  const int fd = open(path[0] ? path : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? nullptr : dir_from_fd(fd);
}

int plat_dir_stat(plat_dir* h, const char* name, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  if (h == nullptr || name == nullptr) return -1;
  struct statx sx;
  if (statx_at(dirfd(h->d), name, AT_SYMLINK_NOFOLLOW | (name[0] == 0 ? AT_EMPTY_PATH : 0), &sx) != 0) return -1;
  fill_stat(st, sx, sx);
  return 0;
}

const char* plat_readdir(plat_dir* h) {
  if (h == nullptr) return nullptr;
  for (;;) {
    struct dirent* e = readdir(h->d);
    if (e == nullptr) return nullptr;
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    return n;
  }
}

void plat_closedir(plat_dir* h) {
  if (h == nullptr) return;
  closedir(h->d);
  free(h);
}

struct plat_file {
  int fd;
};

namespace {

// Takes over a descriptor of a regular file opened for reading; null
// (descriptor closed) when memory runs out.
plat_file* file_from_fd(int fd) {
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  auto* f = static_cast<plat_file*>(malloc(sizeof(plat_file)));
  if (f == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  f->fd = fd;
  return f;
}

}  // namespace

namespace plat_posix {

int64_t pread_all(int fd, uint64_t off, void* dst, uint64_t len) {
  if (off > static_cast<uint64_t>(INT64_MAX)) return 0;
  if (len > 0xFFFFFFFFu) len = 0xFFFFFFFFu;
  ssize_t r;
  do {
    r = pread(fd, dst, static_cast<size_t>(len), static_cast<off_t>(off));
  } while (r < 0 && errno == EINTR);
  if (r < 0) return (errno == EINVAL || errno == EOVERFLOW) ? 0 : -1;
  // A truncate that runs during the read sets the new size first and then
  // zeroes the cut-off part of its last cached page, which the read may be
  // copying: bytes past the size as it stands now are not the file's, so
  // they are not answered. Bytes below it are untouched by a truncate.
  struct stat after;
  if (r > 0 && fstat(fd, &after) == 0 && static_cast<uint64_t>(after.st_size) < off + static_cast<uint64_t>(r)) {
    const uint64_t size = static_cast<uint64_t>(after.st_size);
    r = size > off ? static_cast<ssize_t>(size - off) : 0;
  }
  return r;
}

}  // namespace plat_posix

plat_file* plat_fopen_read(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = open_regular_at(AT_FDCWD, path);
  return fd < 0 ? nullptr : file_from_fd(fd);
}

int64_t plat_fread_at(plat_file* f, uint64_t off, void* dst, uint64_t len) {
  if (f == nullptr) return -1;
  return pread_all(f->fd, off, dst, len);
}

void plat_fclose(plat_file* f) {
  if (f == nullptr) return;
  close(f->fd);
  free(f);
}

int plat_last_failure_denied() { return errno == EACCES || errno == EPERM ? 1 : 0; }

int plat_access_check(const char* path, int* can_read, int* can_search) {
  if (path == nullptr) return -1;
  // The effective ids decide, as they do when the server opens the file.
  *can_read = faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) == 0 ? 1 : 0;
  *can_search = faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0 ? 1 : 0;
  return 0;
}
