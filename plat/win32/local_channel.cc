// The local channel on Windows: a named pipe that only SYSTEM and the
// Administrators may open, served one client at a time with overlapped
// I/O, so that every wait has a time limit.
#include "plat/win32/win32_internal.h"

#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plat/local_channel.h"

using namespace plat_win32;  // the helpers of win32_internal.h

struct plat_channel {
  HANDLE pipe;
  HANDLE event;
  bool connecting;  // a ConnectNamedPipe is pending
  OVERLAPPED connect;
};

namespace {

std::string pipe_path(const char* name) { return std::string("\\\\.\\pipe\\") + name; }

// Waits for an overlapped operation begun with result started; false (the
// operation cancelled) when it failed or the deadline came first.
bool finish(HANDLE h, OVERLAPPED* o, BOOL started, DWORD* n, uint64_t deadline) {
  if (started) return GetOverlappedResult(h, o, n, FALSE) != 0;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  const uint64_t now = plat_now_ms();
  const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  if (WaitForSingleObject(o->hEvent, left) != WAIT_OBJECT_0) {
    CancelIo(h);
    GetOverlappedResult(h, o, n, TRUE);
    return false;
  }
  return GetOverlappedResult(h, o, n, FALSE) != 0;
}

bool write_all(HANDLE h, const char* p, size_t n, uint64_t deadline) {
  while (n > 0) {
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD w = 0;
    const DWORD chunk = n > 65536 ? 65536 : static_cast<DWORD>(n);
    const bool ok = finish(h, &o, WriteFile(h, p, chunk, &w, &o), &w, deadline) && w > 0;
    CloseHandle(o.hEvent);
    if (!ok) return false;
    p += w;
    n -= w;
  }
  return true;
}

// Reads until a newline (when stop_at_line) or until the other side
// closes, at most max bytes, before the deadline.
bool read_until(HANDLE h, size_t max, bool stop_at_line, uint64_t deadline, std::string* out) {
  char buf[4096];
  for (;;) {
    if (stop_at_line && out->find('\n') != std::string::npos) return true;
    if (out->size() > max) return false;
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD r = 0;
    const bool ok = finish(h, &o, ReadFile(h, buf, sizeof buf, &r, &o), &r, deadline);
    const DWORD e = GetLastError();
    CloseHandle(o.hEvent);
    // The other side closing its end, or disconnecting it, is the end.
    if (!ok) return !stop_at_line && (e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED);
    out->append(buf, r);
  }
}

HANDLE new_instance(const char* name, bool first, char* err, size_t errlen) {
  // SYSTEM and the Administrators: full access; nobody else anything.
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &sd,
                                                            nullptr)) {
    fail_with("the pipe's access list", GetLastError(), err, errlen);
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  wstr w(pipe_path(name).c_str());
  const DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  HANDLE h = CreateNamedPipeW(w.p, open_mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                              1, 65536, 65536, 0, &sa);
  const DWORD e = GetLastError();
  LocalFree(sd);
  if (h == INVALID_HANDLE_VALUE) fail_with(pipe_path(name).c_str(), e, err, errlen);
  return h;
}

}  // namespace

plat_channel* plat_channel_listen(const char* name, char* err, size_t errlen) {
  HANDLE h = new_instance(name, true, err, errlen);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* c = new plat_channel{h, CreateEventW(nullptr, TRUE, FALSE, nullptr), false, {}};
  return c;
}

int plat_channel_answer_one(plat_channel* c, int wait_ms, size_t max, plat_channel_answer answer, void* user) {
  if (!c->connecting) {
    c->connect = OVERLAPPED{};
    c->connect.hEvent = c->event;
    ResetEvent(c->event);
    if (ConnectNamedPipe(c->pipe, &c->connect)) {
      c->connecting = false;
    } else if (GetLastError() == ERROR_IO_PENDING) {
      c->connecting = true;
    } else if (GetLastError() != ERROR_PIPE_CONNECTED) {
      DisconnectNamedPipe(c->pipe);
      return -1;
    }
  }
  if (c->connecting) {
    // The pending connect stays pending from one call to the next.
    if (WaitForSingleObject(c->event, static_cast<DWORD>(wait_ms)) != WAIT_OBJECT_0) return 0;
    DWORD n = 0;
    c->connecting = false;
    if (!GetOverlappedResult(c->pipe, &c->connect, &n, FALSE)) {
      DisconnectNamedPipe(c->pipe);
      return 1;
    }
  }
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(wait_ms);
  std::string request;
  if (read_until(c->pipe, max, true, deadline, &request)) {
    request.resize(request.find('\n'));
    if (!request.empty() && request.back() == '\r') request.pop_back();
    size_t len = 0;
    char* reply = answer(request.data(), request.size(), user, &len);
    if (reply != nullptr && write_all(c->pipe, reply, len, deadline)) FlushFileBuffers(c->pipe);
    free(reply);
  }
  DisconnectNamedPipe(c->pipe);
  return 1;
}

void plat_channel_close(plat_channel* c) {
  if (c == nullptr) return;
  if (c->connecting) {
    CancelIo(c->pipe);
    DWORD n = 0;
    GetOverlappedResult(c->pipe, &c->connect, &n, TRUE);
  }
  CloseHandle(c->pipe);
  CloseHandle(c->event);
  delete c;
}

int plat_channel_ask(const char* name, const char* request, size_t max, int wait_ms, char** reply, size_t* len,
                     char* err, size_t errlen) {
  const std::string path = pipe_path(name);
  wstr w(path.c_str());
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 2 && h == INVALID_HANDLE_VALUE; attempt++) {
    h = CreateFileW(w.p, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(w.p, static_cast<DWORD>(wait_ms));
  }
  if (h == INVALID_HANDLE_VALUE) return fail_with(path.c_str(), GetLastError(), err, errlen);
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(wait_ms);
  const std::string line = std::string(request) + "\n";
  std::string got;
  const bool ok = write_all(h, line.data(), line.size(), deadline) && read_until(h, max, false, deadline, &got);
  CloseHandle(h);
  if (!ok) {
    snprintf(err, errlen, "%s: no whole answer within %d ms", path.c_str(), wait_ms);
    return -1;
  }
  *reply = static_cast<char*>(malloc(got.size() + 1));
  if (*reply == nullptr) return fail_with(path.c_str(), ERROR_OUTOFMEMORY, err, errlen);
  memcpy(*reply, got.data(), got.size());
  (*reply)[got.size()] = 0;
  *len = got.size();
  return 0;
}
