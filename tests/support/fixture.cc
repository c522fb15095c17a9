#include "fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <stdlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "fh/hold.h"
#include "plat/plat.h"
#include "proto/dircache.h"

namespace fs = std::filesystem;

temp_dir::temp_dir() {
#ifdef _WIN32
  // No mkdtemp: try random names until one can be created afresh.
  for (int i = 0; i < 100 && path.empty(); i++) {
    unsigned char r[6];
    if (plat_random_bytes(r, sizeof r) != 0) break;
    char name[32];
    snprintf(name, sizeof name, "vorlix-test-%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2], r[3], r[4], r[5]);
    std::error_code ec;
    const fs::path p = fs::temp_directory_path(ec) / name;
    if (!ec && fs::create_directory(p, ec) && !ec) path = p.string();
  }
#else
  std::string tmpl = (fs::temp_directory_path() / "vorlix-test-XXXXXX").string();
  char* p = mkdtemp(tmpl.data());
  path = p ? p : "";
#endif
}

temp_dir::~temp_dir() {
  // What the in-process server holds open for its next calls is let go
  // first (it would be within a second): on Windows a file deleted while
  // open keeps its name until its last handle closes, and its folder cannot
  // be removed until then.
  hold_sweep(1);
  dircache_sweep(1);
  std::error_code ec;
  if (!path.empty()) {
    // Read-only folders made by a test must not stop the clean-up.
    for (auto& e : fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec)) {
      if (!e.is_symlink()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path, ec);
  }
}

std::string temp_dir::write(const std::string& rel, const std::string& content) const {
  const fs::path p = fs::path(path) / rel;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  return p.string();
}

std::string temp_dir::mkdir(const std::string& rel) const {
  const fs::path p = fs::path(path) / rel;
  fs::create_directories(p);
  return p.string();
}

std::string temp_dir::symlink(const std::string& target, const std::string& rel) const {
  const fs::path p = fs::path(path) / rel;
  fs::create_directories(p.parent_path());
  fs::create_symlink(target, p);
  return p.string();
}

std::string canonical_path(const std::string& path) {
  char* r = plat_realpath(path.c_str());
  std::string s = r ? r : "";
  free(r);
  return s;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string hex(const unsigned char* d, size_t n) {
  static const char* k = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += k[d[i] >> 4];
    s += k[d[i] & 15];
  }
  return s;
}

std::string host_list(int n) {
  std::string s;
  for (int i = 1; i <= n; i++) {
    if (i > 1) s += ',';
    s += "10.0.";
    s += std::to_string(i / 256);
    s += '.';
    s += std::to_string(i % 256);
  }
  return s;
}

#include "vorlix.h"

bool client_count_becomes(int n, int limit_ms) {
  return eventually([n] { return vorlix_client_count() == n; }, limit_ms);
}

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

bool running_under_wine() {
  HMODULE nt = GetModuleHandleW(L"ntdll.dll");
  return nt != nullptr && GetProcAddress(nt, "wine_get_version") != nullptr;
}

int64_t open_handle_count() {
  DWORD n = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &n) && n > 0 ? static_cast<int64_t>(n) : -1;
}
#else
int64_t open_handle_count() {
  std::error_code ec;
  int64_t n = 0;
  for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) n++;
  return ec ? -1 : n;
}
#endif

bool has_ipv6_loopback() {
  plat_net_init();
  plat_addr a;
  plat_sock s;
  if (plat_addr_parse("::1", &a) != 0 || plat_listen_tcp(a, 0, 1, false, &s) != 0) return false;
  plat_sock_close(s);
  return true;
}

bool two_addresses_per_port() {
#ifdef _WIN32
  return !running_under_wine();
#else
  return true;
#endif
}

bool start_test_server(int portmap_port) {
  vorlix_config("nfs_port", "0");
  vorlix_config("mount_port", "0");
  return vorlix_start("127.0.0.1", 0, 0, portmap_port) == 0;
}

int free_port() {
  plat_net_init();
  plat_sock s = PLAT_INVALID_SOCK;
  if (plat_listen_tcp4("127.0.0.1", 0, 1, &s) != 0) return -1;
  const int port = plat_sock_port(s);
  plat_sock_close(s);
  return port;
}
