// The Windows service: installing, removing and running the program under
// the Service Control Manager, and its log file.
#include "plat/win32/win32_internal.h"

#include <shlobj.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

using namespace plat_win32;  // the helpers of win32_internal.h

// ---- System service ----------------------------------------------------------

namespace {

// Puts "WHAT: WORDS (error N)" with the system's last error into err.
int service_fail(const char* what, char* err, size_t errlen) { return fail_with(what, GetLastError(), err, errlen); }

// Appends one argument, with a space before it unless it is the first, so
// that CommandLineToArgvW gives it back unchanged: quoted when it is empty
// or holds a space, tab or quote; backslashes doubled where they come
// before a quote or the closing quote.
void append_arg(std::wstring* cmd, const wchar_t* a) {
  if (!cmd->empty()) *cmd += L' ';
  if (a[0] != 0 && wcspbrk(a, L" \t\n\v\"") == nullptr) {
    *cmd += a;
    return;
  }
  *cmd += L'"';
  for (const wchar_t* c = a;; c++) {
    size_t slashes = 0;
    while (*c == L'\\') {
      c++;
      slashes++;
    }
    if (*c == 0) {
      cmd->append(slashes * 2, L'\\');
      break;
    }
    if (*c == L'"') {
      cmd->append(slashes * 2 + 1, L'\\');
    } else {
      cmd->append(slashes, L'\\');
    }
    *cmd += *c;
  }
  *cmd += L'"';
}

// Closes a service manager handle when the scope ends.
struct sc_handle {
  SC_HANDLE h;
  explicit sc_handle(SC_HANDLE v) : h(v) {}
  ~sc_handle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
  sc_handle(const sc_handle&) = delete;
  sc_handle& operator=(const sc_handle&) = delete;
};

// The one service this process runs.
struct service_run_rec {
  const wchar_t* name;
  int (*body)(int, char**);
  int argc;
  char** argv;
  void (*stop)();
  void (*reload)();
  SERVICE_STATUS_HANDLE status_handle;
  SERVICE_STATUS status;
  int rc;
};
service_run_rec g_service;

void service_report(DWORD state, DWORD wait_hint) {
  g_service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_service.status.dwCurrentState = state;
  g_service.status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE : 0;
  g_service.status.dwWaitHint = wait_hint;
  g_service.status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : 1;
  SetServiceStatus(g_service.status_handle, &g_service.status);
}

DWORD WINAPI service_control(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      service_report(SERVICE_STOP_PENDING, 10000);
      g_service.stop();
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
      g_service.reload();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, LPWSTR*) {
  g_service.status_handle = RegisterServiceCtrlHandlerExW(g_service.name, service_control, nullptr);
  if (g_service.status_handle == nullptr) return;
  // Starting until the body calls plat_service_ready: a start that fails
  // (an address the machine lacks, a port in use) goes from starting to
  // stopped with the body's exit code, and never shows as running.
  service_report(SERVICE_START_PENDING, 30000);
  g_service.rc = g_service.body(g_service.argc, g_service.argv);
  if (g_service.rc != 0) {
    g_service.status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    g_service.status.dwServiceSpecificExitCode = static_cast<DWORD>(g_service.rc);
  }
  service_report(SERVICE_STOPPED, 0);
}

// Points standard output and standard error at the file; false if it
// cannot be opened. A service starts without standard handles: the C
// runtime's descriptors 1 and 2 are made to refer to the file (writing to
// them as they are would end the process), and streams that the runtime
// marked as having no descriptor at start (it gives them -2, and freopen
// then refuses them) are given theirs back.
bool std_streams_to(const wchar_t* file) {
  const int fd = _wopen(file, _O_WRONLY | _O_CREAT | _O_APPEND, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  const bool moved = _dup2(fd, 1) == 0 && _dup2(fd, 2) == 0;
  _close(fd);
  if (!moved) return false;
  if (_fileno(stdout) < 0) stdout->_file = 1;
  if (_fileno(stderr) < 0) stderr->_file = 2;
  return true;
}

// The most generations of the log file that rotation keeps (and that
// removal deletes).
constexpr int kLogGenerationsMax = 9;

// The log file's path; false when the folder cannot be found or made.
bool service_log_path(const char* name, std::wstring* file) {
  // Asked of the shell: a service's environment need not name the folder.
  wchar_t base[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK) {
    return false;
  }
  wstr wname(name);
  if (wname.p == nullptr) return false;
  const std::wstring dir = std::wstring(base) + L"\\" + wname.p;
  if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  *file = dir + L"\\service.log";
  return true;
}

}  // namespace

int plat_service_install(const char* name, const char* description, const char* const* args, int nargs,
                         char* err, size_t errlen) {
  wchar_t exe[32768];
  const DWORD n = GetModuleFileNameW(nullptr, exe, 32768);
  if (n == 0 || n >= 32768) return service_fail("cannot find the program's own path", err, errlen);
  std::wstring cmd;
  append_arg(&cmd, exe);
  for (int i = 0; i < nargs; i++) {
    wstr a(args[i]);
    if (a.p == nullptr) return service_fail("an argument is not text", err, errlen);
    append_arg(&cmd, a.p);
  }
  sc_handle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (scm.h == nullptr) return service_fail("cannot open the service manager (run as administrator)", err, errlen);
  wstr wname(name);
  // Its own virtual account: it reads what that account is granted, not
  // everything as SYSTEM would.
  const std::wstring account = std::wstring(L"NT SERVICE\\") + wname.p;
  // An installed service is brought up to date in place (an upgrade):
  // program, command line and account.
  sc_handle svc(OpenServiceW(scm.h, wname.p, SERVICE_ALL_ACCESS));
  if (svc.h != nullptr) {
    if (!ChangeServiceConfigW(svc.h, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, cmd.c_str(),
                              nullptr, nullptr, nullptr, account.c_str(), nullptr, wname.p)) {
      return service_fail("cannot update the installed service", err, errlen);
    }
  } else {
    svc.h = CreateServiceW(scm.h, wname.p, wname.p, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                           SERVICE_ERROR_NORMAL, cmd.c_str(), nullptr, nullptr, nullptr, account.c_str(), nullptr);
    if (svc.h == nullptr) return service_fail("cannot create the service", err, errlen);
  }
  // Its own identifier in its token, so that access lists can name it, and
  // of the privileges only the one every process has (bypassing traverse
  // checks on the way to what it was granted).
  SERVICE_SID_INFO sid_info = {SERVICE_SID_TYPE_UNRESTRICTED};
  ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_SERVICE_SID_INFO, &sid_info);
  wchar_t privileges[] = L"SeChangeNotifyPrivilege\0";
  SERVICE_REQUIRED_PRIVILEGES_INFOW priv_info = {privileges};
  ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &priv_info);
  wstr wdesc(description);
  SERVICE_DESCRIPTIONW d = {wdesc.p};
  ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, &d);
  // Started again 5 s after a failure, twice; the count is reset after a day.
  SC_ACTION actions[2] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}};
  SERVICE_FAILURE_ACTIONSW fa = {86400, nullptr, nullptr, 2, actions};
  ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &fa);
  return 0;
}

int plat_service_remove(const char* name, char* err, size_t errlen) {
  sc_handle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (scm.h == nullptr) return service_fail("cannot open the service manager (run as administrator)", err, errlen);
  wstr wname(name);
  sc_handle svc(OpenServiceW(scm.h, wname.p, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (svc.h == nullptr) {
    return service_fail(GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? "the service is not installed"
                                                                      : "cannot open the service",
                        err, errlen);
  }
  SERVICE_STATUS st = {};
  if (ControlService(svc.h, SERVICE_CONTROL_STOP, &st)) {
    for (int i = 0; i < 300 && st.dwCurrentState != SERVICE_STOPPED; i++) {
      Sleep(100);
      if (!QueryServiceStatus(svc.h, &st)) break;
    }
  }
  if (!DeleteService(svc.h)) return service_fail("cannot remove the service", err, errlen);
  // The files of its folder (the log, the secret) go with the service, and
  // the folder once empty; folders inside it (an export) stay.
  std::wstring file;
  if (service_log_path(name, &file)) {
    const std::wstring dir = file.substr(0, file.rfind(L'\\'));
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (f != INVALID_HANDLE_VALUE) {
      do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((dir + L"\\" + fd.cFileName).c_str());
      } while (FindNextFileW(f, &fd));
      FindClose(f);
    }
    RemoveDirectoryW(dir.c_str());
  }
  return 0;
}

int plat_service_reload(const char* name, char* err, size_t errlen) {
  sc_handle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (scm.h == nullptr) return service_fail("cannot open the service manager (run as administrator)", err, errlen);
  wstr wname(name);
  sc_handle svc(OpenServiceW(scm.h, wname.p, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS));
  if (svc.h == nullptr) {
    return service_fail(GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? "the service is not installed"
                                                                      : "cannot open the service",
                        err, errlen);
  }
  SERVICE_STATUS st = {};
  if (!ControlService(svc.h, SERVICE_CONTROL_PARAMCHANGE, &st)) {
    return service_fail(GetLastError() == ERROR_SERVICE_NOT_ACTIVE ? "the service is not running (net start it)"
                                                                  : "the service refused the request",
                        err, errlen);
  }
  return 0;
}

int plat_service_run(const char* name, int (*body)(int, char**), int argc, char** argv, void (*stop)(),
                     void (*reload)(), char* err, size_t errlen) {
  g_service.body = body;
  g_service.reload = reload;
  g_service.argc = argc;
  g_service.argv = argv;
  g_service.stop = stop;
  g_service.rc = 0;
  wstr wname(name);
  g_service.name = wname.p;
  SERVICE_TABLE_ENTRYW table[2] = {{wname.p, service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    return service_fail(GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                            ? "not started by the service manager (use `net start`)"
                            : "cannot reach the service manager",
                        err, errlen);
  }
  return g_service.rc;
}

void plat_service_ready() {
  if (g_service.status_handle != nullptr) service_report(SERVICE_RUNNING, 0);
}

int plat_service_wait_running(const char* name, int wait_ms, char* err, size_t errlen) {
  sc_handle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (scm.h == nullptr) return service_fail("cannot open the service manager", err, errlen);
  wstr wname(name);
  sc_handle svc(OpenServiceW(scm.h, wname.p, SERVICE_QUERY_STATUS));
  if (svc.h == nullptr) {
    return service_fail(GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? "the service is not installed"
                                                                      : "cannot open the service",
                        err, errlen);
  }
  for (int waited = 0;; waited += 100) {
    SERVICE_STATUS st = {};
    if (!QueryServiceStatus(svc.h, &st)) return service_fail("cannot ask the service's state", err, errlen);
    if (st.dwCurrentState == SERVICE_RUNNING) return 0;
    if (st.dwCurrentState == SERVICE_STOPPED) {
      const DWORD code =
          st.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? st.dwServiceSpecificExitCode : st.dwWin32ExitCode;
      if (errlen > 0) snprintf(err, errlen, "the service stopped instead of running (exit code %lu)", code);
      return 1;
    }
    if (waited >= wait_ms) {
      if (errlen > 0) snprintf(err, errlen, "the service was still starting after %d s", wait_ms / 1000);
      return -1;
    }
    Sleep(100);
  }
}

int plat_service_log_open(const char* name, char* path, size_t pathlen) {
  if (pathlen > 0) path[0] = 0;
  std::wstring file;
  if (!service_log_path(name, &file) || !std_streams_to(file.c_str())) {
    // Output then goes nowhere rather than ending the process.
    std_streams_to(L"NUL");
    return -1;
  }
  char* u = narrow(file.c_str());
  if (u != nullptr && pathlen > 0) snprintf(path, pathlen, "%s", u);
  free(u);
  return 0;
}

int plat_service_log_rotate(const char* name, int64_t max_bytes, int keep) {
  std::wstring file;
  if (!service_log_path(name, &file)) return -1;
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &a)) return -1;
  const int64_t size = (static_cast<int64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  if (size <= max_bytes) return 0;
  if (keep < 1) keep = 1;
  if (keep > kLogGenerationsMax) keep = kLogGenerationsMax;
  fflush(stdout);
  fflush(stderr);
  // The streams let go of the file while it is renamed (they hold it
  // without leave to rename), then take the new one.
  std_streams_to(L"NUL");
  for (int i = keep - 1; i >= 1; i--) {
    const std::wstring older = file + L"." + std::to_wstring(i);
    MoveFileExW(older.c_str(), (file + L"." + std::to_wstring(i + 1)).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  const bool moved = MoveFileExW(file.c_str(), (file + L".1").c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!std_streams_to(file.c_str())) return -1;
  return moved ? 1 : -1;
}

int plat_service_event(const char* name, plat_event_kind kind, const char* text) {
  wstr wname(name);
  wstr wtext(text);
  if (wname.p == nullptr || wtext.p == nullptr) return -1;
  HANDLE src = RegisterEventSourceW(nullptr, wname.p);
  if (src == nullptr) return -1;
  const WORD type = kind == PLAT_EVENT_ERROR     ? EVENTLOG_ERROR_TYPE
                    : kind == PLAT_EVENT_WARNING ? EVENTLOG_WARNING_TYPE
                                                 : EVENTLOG_INFORMATION_TYPE;
  const wchar_t* strings[1] = {wtext.p};
  const BOOL ok = ReportEventW(src, type, 0, 1, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(src);
  return ok ? 0 : -1;
}
