// The wall clock, appended files and standard error on POSIX (Linux):
// clock_gettime with the local offset from localtime_r, files opened with
// O_APPEND so that every write lands at the end, whoever else writes, and
// standard error written only when poll says it takes a line now.
#include "plat/plat.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// ---- Wall clock ------------------------------------------------------------

void plat_wall_clock(int64_t* unix_ms, int* utc_offset_min) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  *unix_ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  struct tm local;
  const time_t secs = ts.tv_sec;
  *utc_offset_min = localtime_r(&secs, &local) != nullptr ? static_cast<int>(local.tm_gmtoff / 60) : 0;
}

// ---- Appended files --------------------------------------------------------

struct plat_append {
  int fd;
};

plat_append* plat_append_open(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  auto* f = static_cast<plat_append*>(malloc(sizeof(plat_append)));
  if (f == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  f->fd = fd;
  return f;
}

int plat_append_write(plat_append* f, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = write(f->fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

int64_t plat_append_size(plat_append* f) {
  struct stat st;
  return fstat(f->fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void plat_append_close(plat_append* f) {
  if (f == nullptr) return;
  close(f->fd);
  free(f);
}

int plat_rename_over(const char* from, const char* to) { return rename(from, to) == 0 ? 0 : -1; }

// ---- Standard error --------------------------------------------------------

// A pipe that poll calls writable has a free buffer of a page at least, and
// a write of at most PIPE_BUF bytes into it is whole and does not wait.
static_assert(PLAT_STDERR_LINE_MAX <= PIPE_BUF, "a line is written to a pipe in one piece");

int plat_stderr_try_write(const void* data, size_t n) {
  pollfd p{STDERR_FILENO, POLLOUT, 0};
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  // An error other than a full pipe (a closed reader, say) is left to the
  // write, which reports nothing to anyone: the line is lost either way.
  if (r == 0) return 0;
  const char* at = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = write(STDERR_FILENO, at, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    at += w;
    n -= static_cast<size_t>(w);
  }
  return 1;
}
