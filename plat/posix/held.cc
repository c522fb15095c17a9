// POSIX held folders and files (Linux): O_PATH descriptors of folders and
// open regular files, proven where they lie by the path the kernel keeps
// for each descriptor together with their device and inode at that path,
// or by their device and inode under a name in a proven folder.
#include "plat/plat.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plat/posix/posix_internal.h"

using namespace plat_posix;  // the helpers of posix_internal.h

struct plat_held {
  int fd;  // an O_PATH descriptor of a folder, or a regular file open for reading
  int is_file;
  // Which object it is (read once, when it is held): a name that leads to
  // the same device and inode leads to it.
  uint32_t dev_major, dev_minor;
  uint64_t ino;
  char link[32];  // "/proc/self/fd/N", where the kernel tells its present path
};

namespace {

plat_held* held_from_fd(int fd, int is_file) {
  auto* h = static_cast<plat_held*>(malloc(sizeof(plat_held)));
  if (h == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  h->fd = fd;
  h->is_file = is_file;
  h->dev_major = h->dev_minor = 0;
  h->ino = 0;
  snprintf(h->link, sizeof h->link, "/proc/self/fd/%d", fd);
  return h;
}

// Holds fd with the device and inode of what it is open on. Null (fd
// closed) on failure.
plat_held* held_with_identity(int fd, int is_file) {
  struct statx sx;
  if (statx_at(fd, "", AT_EMPTY_PATH, &sx) != 0) {
    close_keep_errno(fd);
    return nullptr;
  }
  plat_held* h = held_from_fd(fd, is_file);
  if (h != nullptr) {
    h->dev_major = sx.stx_dev_major;
    h->dev_minor = sx.stx_dev_minor;
    h->ino = sx.stx_ino;
  }
  return h;
}

bool same_object(const plat_held* h, const struct statx& sx) {
  return sx.stx_ino == h->ino && sx.stx_dev_major == h->dev_major && sx.stx_dev_minor == h->dev_minor;
}

}  // namespace

plat_held* plat_hold_dir_beneath(const char* root, const char* rel) {
  // One walk to the folder itself, which must not be a link either.
  const char* last = nullptr;
  if (check_rel(root, rel, &last) != 0) return nullptr;
  const int fd = open_folder_beneath(root, rel, strlen(rel));
  if (fd < 0) return nullptr;
  return held_with_identity(fd, 0);
}

plat_held* plat_hold_file_at(plat_held* dir, const char* name) {
  errno = EINVAL;
  if (dir == nullptr || dir->is_file || !one_component(name)) return nullptr;
  const int fd = open_regular_at(dir->fd, name);
  if (fd < 0) return nullptr;
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return held_with_identity(fd, 1);
}

// The kernel keeps the current path of every open descriptor, links
// resolved: when that path is root/rel itself (the root being canonical,
// without links), the object was reached there without any link. The path
// alone is no proof of identity: the kernel writes " (deleted)" after the
// path of an object no longer linked, which a live file of that name,
// hard-linked elsewhere, can imitate, and inside a chroot a folder moved
// out of it can show the same path. So the object now at root/rel, its
// final component not followed, must also be the very one held: the same
// device and inode. That one status also describes it.
int plat_held_check(plat_held* h, const char* root, const char* rel, plat_statbuf* st) {
  if (st != nullptr) memset(st, 0, sizeof *st);
  errno = ENOENT;
  if (h == nullptr || root == nullptr || rel == nullptr) return -1;
  // Wanted: root, then (unless rel is empty) a "/" where the root has none
  // at its end, then rel.
  const size_t rlen = strlen(root);
  const size_t relen = strlen(rel);
  const size_t seplen = relen != 0 && (rlen == 0 || root[rlen - 1] != '/') ? 1 : 0;
  const size_t wn = rlen + seplen + relen;
  char now[4096];
  if (wn >= sizeof now) return -1;
  const ssize_t n = readlink(h->link, now, sizeof now);
  if (n < 0 || static_cast<size_t>(n) != wn || memcmp(now, root, rlen) != 0 || (seplen != 0 && now[rlen] != '/') ||
      memcmp(now + rlen + seplen, rel, relen) != 0) {
    errno = ENOENT;
    return -1;
  }
  now[wn] = 0;
  struct statx sx;
  if (statx_at(AT_FDCWD, now, AT_SYMLINK_NOFOLLOW, &sx) != 0 || !same_object(h, sx) ||
      (h->is_file ? !S_ISREG(sx.stx_mode) : !S_ISDIR(sx.stx_mode))) {
    errno = ENOENT;
    return -1;
  }
  if (st != nullptr) fill_stat(st, sx, sx);
  return 0;
}

// Folders have one name each: when the name in a folder proven where it
// lies leads, unfollowed, to the very folder h holds, h lies there too.
// One status of the name proves it and describes it.
int plat_held_check_in(plat_held* h, plat_held* dir, const char* name, plat_statbuf* st) {
  if (st != nullptr) memset(st, 0, sizeof *st);
  if (h == nullptr || dir == nullptr || h->is_file || dir->is_file || name == nullptr || !one_component(name)) {
    return 1;
  }
  struct statx sx;
  if (statx_at(dir->fd, name, AT_SYMLINK_NOFOLLOW, &sx) != 0) return errno == ENOENT || errno == ENOTDIR ? -1 : 1;
  if (!same_object(h, sx) || !S_ISDIR(sx.stx_mode)) {
    errno = ENOENT;
    return -1;
  }
  if (st != nullptr) fill_stat(st, sx, sx);
  return 0;
}

int plat_held_stat_at(plat_held* dir, const char* name, plat_statbuf* st) {
  memset(st, 0, sizeof *st);
  errno = EINVAL;
  if (dir == nullptr || name == nullptr) return -1;
  const bool self = name[0] == 0;
  if (!self && (dir->is_file || !one_component(name))) return -1;
  struct statx sx;
  if (statx_at(dir->fd, name, AT_SYMLINK_NOFOLLOW | (self ? AT_EMPTY_PATH : 0), &sx) != 0) return -1;
  fill_stat(st, sx, sx);
  return 0;
}

int plat_held_stat_keep(plat_held* dir, const char* name, plat_statbuf* st, plat_held** kept) {
  *kept = nullptr;
  if (name != nullptr && name[0] == 0) {
    memset(st, 0, sizeof *st);
    errno = EINVAL;
    return -1;
  }
  return plat_held_stat_at(dir, name, st);
}

int64_t plat_held_read_at(plat_held* h, uint64_t off, void* dst, uint64_t len) {
  if (h == nullptr || !h->is_file) return -1;
  return pread_all(h->fd, off, dst, len);
}

void plat_held_close(plat_held* h) {
  if (h == nullptr) return;
  close_keep_errno(h->fd);
  free(h);
}
