// systemd's side of its notification protocol, for the tests of the
// readiness reports: a datagram socket bound at a path or, for a name
// starting with '@', at an abstract name, and named in NOTIFY_SOCKET while
// it exists (so children started meanwhile report to it). POSIX only.
#pragma once

#ifndef _WIN32
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

struct manager_socket {
  int fd = -1;
  explicit manager_socket(const std::string& name) {
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof a.sun_path) return;
    memcpy(a.sun_path, name.data(), name.size());
    if (name[0] == '@') a.sun_path[0] = 0;
    fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    const socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
    if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&a), len) != 0) {
      close(fd);
      fd = -1;
    }
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  manager_socket(const manager_socket&) = delete;
  manager_socket& operator=(const manager_socket&) = delete;
  ~manager_socket() {
    unsetenv("NOTIFY_SOCKET");
    if (fd >= 0) close(fd);
  }
  // The next report, or "" when none arrives within 10 s.
  std::string receive() const {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return "";
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
  }
};
#endif
