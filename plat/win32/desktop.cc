// Windows parts of the settings page: interface networks from
// GetAdaptersAddresses, the shell's browser, the drives, a file replaced by
// MoveFileEx.
#include "plat/win32/win32_internal.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plat/sockaddr.h"

using namespace plat_win32;  // the helpers of win32_internal.h

namespace {

struct networks {
  plat_addr* nets;
  int* prefixes;
  int n, max;
};

void add_network(const sockaddr* sa, int prefix_len, bool loopback, void* user) {
  auto* to = static_cast<networks*>(user);
  plat_addr a;
  if (loopback || !plat_sa::addr_of_sockaddr(sa, &a, nullptr)) return;
  plat_sa::add_host_network(a, (plat_addr_is_v4(a) ? 96 : 0) + prefix_len, to->nets, to->prefixes, &to->n, to->max);
}

}  // namespace

int plat_host_networks(plat_addr* nets, int* prefixes, int max) {
  networks to{nets, prefixes, 0, max};
  each_up_address(add_network, &to);
  return to.n;
}

int plat_open_url(const char* url, char* err, size_t errlen) {
  wstr w(url);
  if (w.p == nullptr) return fail_with("the address", ERROR_INVALID_PARAMETER, err, errlen);
  const auto r = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", w.p, nullptr, nullptr, SW_SHOWNORMAL));
  if (r <= 32) return fail_with("opening the browser", static_cast<unsigned long>(r), err, errlen);
  return 0;
}

int plat_fs_roots(char* out, size_t outlen) {
  wchar_t drives[512];
  const DWORD len = GetLogicalDriveStringsW(sizeof drives / sizeof drives[0], drives);
  if (len == 0 || len >= sizeof drives / sizeof drives[0] || outlen == 0) return 0;
  std::string text;
  int count = 0;
  for (const wchar_t* d = drives; *d != 0; d += wcslen(d) + 1) {
    char* s = narrow(d);
    if (s == nullptr) continue;
    text += std::string(s) + "\n";
    free(s);
    count++;
  }
  if (text.size() + 1 > outlen) return 0;
  memcpy(out, text.c_str(), text.size() + 1);
  return count;
}

int plat_file_replace(const char* path, const void* data, size_t n, char* err, size_t errlen) {
  const std::string tmp = std::string(path) + ".new";
  wstr wt(tmp.c_str());
  wstr wp(path);
  if (wt.p == nullptr || wp.p == nullptr) return fail_with(path, ERROR_INVALID_PARAMETER, err, errlen);
  HANDLE h = CreateFileW(wt.p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(tmp.c_str(), GetLastError(), err, errlen);
  const char* p = static_cast<const char*>(data);
  size_t left = n;
  while (left > 0) {
    DWORD wrote = 0;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    if (!WriteFile(h, p, chunk, &wrote, nullptr) || wrote == 0) {
      const DWORD e = GetLastError();
      CloseHandle(h);
      DeleteFileW(wt.p);
      return fail_with(tmp.c_str(), e, err, errlen);
    }
    p += wrote;
    left -= wrote;
  }
  FlushFileBuffers(h);
  CloseHandle(h);
  if (!MoveFileExW(wt.p, wp.p, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD e = GetLastError();
    DeleteFileW(wt.p);
    return fail_with(path, e, err, errlen);
  }
  return 0;
}

namespace {

// The arguments of this process as its command line gave them: what follows
// the program's name (quoted or not) and the blanks after it.
const wchar_t* arguments_given() {
  const wchar_t* p = GetCommandLineW();
  if (*p == L'"') {
    p++;
    while (*p != 0 && *p != L'"') p++;
    if (*p == L'"') p++;
  } else {
    while (*p != 0 && *p != L' ' && *p != L'\t') p++;
  }
  while (*p == L' ' || *p == L'\t') p++;
  return p;
}

}  // namespace

int plat_run_again_as_admin(char* err, size_t errlen) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
  TOKEN_ELEVATION elevation{};
  DWORD len = 0;
  const BOOL known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &len);
  CloseHandle(token);
  if (!known || elevation.TokenIsElevated != 0) return 0;
  wchar_t exe[32768];
  const DWORD n = GetModuleFileNameW(nullptr, exe, sizeof exe / sizeof exe[0]);
  if (n == 0 || n >= sizeof exe / sizeof exe[0]) return fail_with("finding this program", GetLastError(), err, errlen);
  SHELLEXECUTEINFOW run{};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOASYNC;
  run.lpVerb = L"runas";
  run.lpFile = exe;
  run.lpParameters = arguments_given();
  run.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&run)) return fail_with("starting it again as an administrator", GetLastError(), err, errlen);
  return 1;
}

int plat_signal_reload(int, char* err, size_t errlen) {
  snprintf(err, errlen, "Windows has no reload signal: the service is asked through the service manager");
  return -1;
}

int plat_run_wait(const char* const* argv, char* err, size_t errlen) {
  snprintf(err, errlen, "%s: not run on Windows", argv[0]);
  return -1;
}
