// POSIX (Linux) parts of the settings page: interface networks from
// getifaddrs, xdg-open, rename over, SIGHUP and a waited child.
#include "plat/plat.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "plat/sockaddr.h"

extern char** environ;

namespace {

int fail_errno(const char* what, int e, char* err, size_t errlen) {
  snprintf(err, errlen, "%s: %s", what, strerror(e));
  return -1;
}

// The prefix length of a netmask, as bits of the 16-byte record.
int prefix_of(const plat_addr& mask, bool v4) {
  int bits = 0;
  for (int i = v4 ? 12 : 0; i < 16; i++) {
    for (int b = 7; b >= 0 && (mask.b[i] >> b & 1) != 0; b--) bits++;
  }
  return (v4 ? 96 : 0) + bits;
}

}  // namespace

int plat_host_networks(plat_addr* nets, int* prefixes, int max) {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  int n = 0;
  for (struct ifaddrs* i = list; i != nullptr && n < max; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr || (i->ifa_flags & IFF_UP) == 0 ||
        (i->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    const int family = i->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    plat_addr a, m;
    int port = 0;
    // The netmask's family field is not always set: read it as the address's.
    struct sockaddr_storage ms;
    memset(&ms, 0, sizeof ms);
    memcpy(&ms, i->ifa_netmask, family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    ms.ss_family = static_cast<sa_family_t>(family);
    if (!plat_sa::addr_of_sockaddr(i->ifa_addr, &a, &port) ||
        !plat_sa::addr_of_sockaddr(reinterpret_cast<const sockaddr*>(&ms), &m, &port)) {
      continue;
    }
    plat_sa::add_host_network(a, prefix_of(m, family == AF_INET), nets, prefixes, &n, max);
  }
  freeifaddrs(list);
  return n;
}

int plat_open_url(const char* url, char* err, size_t errlen) {
  const char* argv[] = {"xdg-open", url, nullptr};
  // A child that starts the opener and ends at once, so that the browser
  // is not this process's child and nothing waits for it.
  const pid_t child = fork();
  if (child < 0) return fail_errno("xdg-open", errno, err, errlen);
  if (child == 0) {
    pid_t opener = 0;
    const int r = posix_spawnp(&opener, "xdg-open", nullptr, nullptr, const_cast<char* const*>(argv), environ);
    _exit(r == 0 ? 0 : 127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    snprintf(err, errlen, "xdg-open could not be started (is the package xdg-utils installed?)");
    return -1;
  }
  return 0;
}

int plat_fs_roots(char* out, size_t outlen) {
  if (outlen < 3) return 0;
  memcpy(out, "/\n", 3);
  return 1;
}

int plat_file_replace(const char* path, const void* data, size_t n, char* err, size_t errlen) {
  const std::string tmp = std::string(path) + ".new";
  mode_t mode = 0644;
  struct stat st;
  if (stat(path, &st) == 0) mode = st.st_mode & 07777;
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return fail_errno(tmp.c_str(), errno, err, errlen);
  (void)fchmod(fd, mode);
  const char* p = static_cast<const char*>(data);
  size_t left = n;
  while (left > 0) {
    const ssize_t w = write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      const int e = errno;
      close(fd);
      unlink(tmp.c_str());
      return fail_errno(tmp.c_str(), e, err, errlen);
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    const int e = errno;
    unlink(tmp.c_str());
    return fail_errno(tmp.c_str(), e, err, errlen);
  }
  if (rename(tmp.c_str(), path) != 0) {
    const int e = errno;
    unlink(tmp.c_str());
    return fail_errno(path, e, err, errlen);
  }
  return 0;
}

int plat_run_again_as_admin(char*, size_t) { return 0; }

int plat_signal_reload(int pid, char* err, size_t errlen) {
  if (pid <= 0 || kill(pid, SIGHUP) != 0) return fail_errno("the server's process", pid <= 0 ? ESRCH : errno, err, errlen);
  return 0;
}

int plat_run_wait(const char* const* argv, char* err, size_t errlen) {
  pid_t child = 0;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, 2, 1);
  const int r = posix_spawnp(&child, argv[0], &fa, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) return fail_errno(argv[0], r, err, errlen);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return fail_errno(argv[0], errno, err, errlen);
  }
  if (!WIFEXITED(status)) {
    snprintf(err, errlen, "%s ended by signal %d", argv[0], WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
  }
  return WEXITSTATUS(status);
}
