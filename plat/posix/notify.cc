// Reports to systemd (sd_notify's protocol, without its library): one
// datagram of "KEY=VALUE" lines to the AF_UNIX socket in $NOTIFY_SOCKET.
#include "plat/plat.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

int plat_notify(const char* state) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == 0) return 0;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const size_t len = strlen(path);
  // A name starting with '@' is in the abstract namespace: its first byte
  // is a NUL in the address, and the address ends at its last character.
  if ((path[0] != '/' && path[0] != '@') || len >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = 0;
  const socklen_t addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const size_t n = strlen(state);
  // MSG_DONTWAIT: a manager that does not read its socket never stalls the
  // server; MSG_NOSIGNAL: nor does one that went away.
  const ssize_t sent = sendto(fd, state, n, MSG_DONTWAIT | MSG_NOSIGNAL,
                              reinterpret_cast<const struct sockaddr*>(&addr), addr_len);
  close(fd);
  return sent == static_cast<ssize_t>(n) ? 1 : -1;
}
