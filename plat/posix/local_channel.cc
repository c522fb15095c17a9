// The local channel on POSIX: a Unix stream socket, 0600 in a 0700 folder.
#include "plat/local_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plat/thread.h"

struct plat_channel {
  int fd;
  std::string path;
};

namespace {

int fail_errno(const std::string& what, int e, char* err, size_t errlen) {
  snprintf(err, errlen, "%s: %s", what.c_str(), strerror(e));
  return -1;
}

bool address_of(const char* path, sockaddr_un* a) {
  memset(a, 0, sizeof *a);
  a->sun_family = AF_UNIX;
  if (strlen(path) >= sizeof a->sun_path) return false;
  memcpy(a->sun_path, path, strlen(path) + 1);
  return true;
}

// Waits until fd is ready for events before the deadline; false when the
// time is up or the wait fails.
bool ready(int fd, short events, uint64_t deadline) {
  for (;;) {
    const uint64_t now = plat_now_ms();
    if (now >= deadline) return false;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(deadline - now));
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

bool send_all(int fd, const char* p, size_t n, uint64_t deadline) {
  while (n > 0) {
    if (!ready(fd, POLLOUT, deadline)) return false;
    const ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads until the other side closes, or a newline when stop_at_line, at
// most max bytes, before the deadline; false when none of those ended it.
bool read_until(int fd, size_t max, bool stop_at_line, uint64_t deadline, std::string* out) {
  char buf[4096];
  for (;;) {
    if (stop_at_line && out->find('\n') != std::string::npos) return true;
    if (out->size() > max || !ready(fd, POLLIN, deadline)) return false;
    const ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r < 0) return false;
    if (r == 0) return !stop_at_line || out->find('\n') != std::string::npos;
    out->append(buf, static_cast<size_t>(r));
  }
}

}  // namespace

plat_channel* plat_channel_listen(const char* name, char* err, size_t errlen) {
  sockaddr_un a;
  if (!address_of(name, &a)) {
    fail_errno(name, ENAMETOOLONG, err, errlen);
    return nullptr;
  }
  const std::string path = name;
  const size_t cut = path.find_last_of('/');
  if (cut != std::string::npos && cut > 0) {
    const std::string dir = path.substr(0, cut);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      fail_errno(dir, errno, err, errlen);
      return nullptr;
    }
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fail_errno("socket", errno, err, errlen);
    return nullptr;
  }
  // A socket file of a process that ended is in the way: a connection to
  // it is refused. One that answers belongs to a running server.
  struct stat st;
  if (lstat(name, &st) == 0 && S_ISSOCK(st.st_mode)) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      close(fd);
      snprintf(err, errlen, "%s: another server answers there", name);
      return nullptr;
    }
    unlink(name);
  }
  // Made with no rights for others from the start, then 0600.
  const mode_t old = umask(0177);
  const int b = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int e = errno;
  umask(old);
  if (b != 0 || chmod(name, 0600) != 0 || listen(fd, 8) != 0) {
    close(fd);
    fail_errno(name, b != 0 ? e : errno, err, errlen);
    return nullptr;
  }
  return new plat_channel{fd, path};
}

int plat_channel_answer_one(plat_channel* c, int wait_ms, size_t max, plat_channel_answer answer, void* user) {
  pollfd p{c->fd, POLLIN, 0};
  const int r = poll(&p, 1, wait_ms);
  if (r == 0 || (r < 0 && errno == EINTR)) return 0;
  if (r < 0) return -1;
  const int conn = accept4(c->fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn < 0) return errno == EAGAIN || errno == ECONNABORTED || errno == EINTR ? 0 : -1;
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(wait_ms);
  std::string request;
  if (read_until(conn, max, true, deadline, &request)) {
    request.resize(request.find('\n'));
    if (!request.empty() && request.back() == '\r') request.pop_back();
    size_t len = 0;
    char* reply = answer(request.data(), request.size(), user, &len);
    if (reply != nullptr) (void)send_all(conn, reply, len, deadline);
    free(reply);
  }
  close(conn);
  return 1;
}

void plat_channel_close(plat_channel* c) {
  if (c == nullptr) return;
  close(c->fd);
  unlink(c->path.c_str());
  delete c;
}

int plat_channel_ask(const char* name, const char* request, size_t max, int wait_ms, char** reply, size_t* len,
                     char* err, size_t errlen) {
  sockaddr_un a;
  if (!address_of(name, &a)) return fail_errno(name, ENAMETOOLONG, err, errlen);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail_errno("socket", errno, err, errlen);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int e = errno;
    close(fd);
    return fail_errno(name, e, err, errlen);
  }
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(wait_ms);
  const std::string line = std::string(request) + "\n";
  std::string got;
  const bool ok = send_all(fd, line.data(), line.size(), deadline) && read_until(fd, max, false, deadline, &got);
  close(fd);
  if (!ok) {
    snprintf(err, errlen, "%s: no whole answer within %d ms", name, wait_ms);
    return -1;
  }
  *reply = static_cast<char*>(malloc(got.size() + 1));
  if (*reply == nullptr) return fail_errno(name, ENOMEM, err, errlen);
  memcpy(*reply, got.data(), got.size());
  (*reply)[got.size()] = 0;
  *len = got.size();
  return 0;
}
