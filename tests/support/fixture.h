// Temporary folders for tests, made at run time and removed at the end,
// and the small helpers the test programs share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plat/plat.h"

// Skips the current test on Windows with the reason given; elsewhere does
// nothing. Used in test bodies, where GoogleTest is included.
#ifdef _WIN32
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << (reason)
#else
#define SKIP_ON_WINDOWS(reason) (void)0
#endif

#ifdef _WIN32
#include <cstdlib>

// The environment functions the tests use, from the Windows C runtime
// (an empty value removes the variable there).
inline int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif

struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  // Writes a file (creating parent folders) and returns its full path.
  std::string write(const std::string& rel, const std::string& content) const;
  std::string mkdir(const std::string& rel) const;
  std::string symlink(const std::string& target, const std::string& rel) const;
  std::string at(const std::string& rel) const { return path + "/" + rel; }
};

// The canonical path of an existing file or folder, as the export table
// keeps it; empty on failure.
std::string canonical_path(const std::string& path);

// Reads a whole file; empty on failure.
std::string read_file(const std::string& path);

// The n bytes at d as lower-case hexadecimal digits, two a byte.
std::string hex(const unsigned char* d, size_t n);

// The comma-separated list of n single addresses 10.0.0.1, 10.0.0.2, ...
std::string host_list(int n);

// Polls pred every 10 ms until it holds or limit_ms have passed; returns its
// last value. At most limit_ms / 10 + 1 tries.
template <class F>
bool eventually(F pred, int limit_ms) {
  const uint64_t end = plat_now_ms() + static_cast<uint64_t>(limit_ms);
  for (int i = 0; i < limit_ms / 10 + 1; i++) {
    if (pred()) return true;
    if (plat_now_ms() >= end) break;
    plat_sleep_ms(10);
  }
  return pred();
}

// True when the server counts n client connections within limit_ms.
bool client_count_becomes(int n, int limit_ms = 15000);

#ifdef _WIN32
// True when the test runs under Wine rather than Windows itself.
bool running_under_wine();
#endif

// How many handles (Windows) or descriptors (elsewhere) this process has
// open now; -1 when the system does not tell (Wine counts none).
int64_t open_handle_count();

// A port that was free a moment ago (the system chose it for a socket that
// is closed again); another process may take it in between, rarely.
int free_port();

// True when this machine has IPv6 on its loopback interface (::1 can be
// listened on).
bool has_ipv6_loopback();
// True where one port can be listened on at two addresses of one family at
// once: not under Wine, which refuses the second bind.
bool two_addresses_per_port();

// Starts the in-process server on 127.0.0.1 with ports chosen by the system
// (portmap_port as given to vorlix_start: 0 for none). True on success.
bool start_test_server(int portmap_port = 0);
