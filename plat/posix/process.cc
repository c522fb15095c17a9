// The POSIX process and console (Linux): the descriptor limit, signals
// and standard input.
#include "plat/plat.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

// ---- Descriptors -------------------------------------------------------------

void plat_raise_fd_limit() {
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= r.rlim_max) return;
  r.rlim_cur = r.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &r);
}

// ---- Console ----------------------------------------------------------------

void plat_on_interrupt(void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a waiting read ends with EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void plat_ignore_broken_pipe() { signal(SIGPIPE, SIG_IGN); }

// The arguments already arrive as the bytes the caller gave, UTF-8 in practice.
void plat_utf8_args(int*, char***) {}

int64_t plat_stdin_read(void* buf, size_t n, int timeout_ms) {
  struct pollfd p;
  p.fd = 0;
  p.events = POLLIN;
  p.revents = 0;
  const int r = poll(&p, 1, timeout_ms);
  if (r < 0) return -1;
  if (r == 0) return -2;
  const ssize_t got = read(0, buf, n);
  return got < 0 ? -1 : got;
}

void plat_ignore_hangup() { signal(SIGHUP, SIG_IGN); }

void plat_on_hangup(void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a waiting console read ends
  sigaction(SIGHUP, &sa, nullptr);
}

int plat_console_is_own() { return 0; }

void plat_wait_for_key() {}
