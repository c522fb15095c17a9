// The Windows process and console: signals, standard input read by a
// thread of its own so that a read can have a time limit, and the command
// line as UTF-8.
#include "plat/win32/win32_internal.h"

#include <shellapi.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

using namespace plat_win32;  // the helpers of win32_internal.h

namespace {

// ---- Console ----------------------------------------------------------------

void (*g_user_handler)(int) = nullptr;
HANDLE g_interrupt_event = nullptr;  // manual reset: an interrupt has come

extern "C" void on_signal(int sig) {
  // The runtime resets the disposition before calling the handler.
  signal(sig, on_signal);
  if (g_interrupt_event != nullptr) SetEvent(g_interrupt_event);
  if (g_user_handler != nullptr) g_user_handler(sig);
}

// Standard input is read by a thread of its own, because a read on a
// console or pipe cannot be given a time limit or be interrupted. The
// reader fills one chunk at a time and waits until the chunk is taken.
struct stdin_reader {
  CRITICAL_SECTION lock;
  HANDLE ready;  // manual reset: data, the end, or an error is waiting
  HANDLE taken;  // auto reset: the chunk was used up, read the next
  char buf[4096];
  size_t off = 0;
  size_t len = 0;
  int state = 0;  // 0 reading, 1 end of input, -1 error
};

stdin_reader* g_stdin = nullptr;
INIT_ONCE g_stdin_once = INIT_ONCE_STATIC_INIT;

// One read from the console as UTF-8: 0 at the end (Ctrl+Z at the start of a
// line), -1 on error, else the byte count in *out.
int64_t read_console(HANDLE in, char* out, size_t cap) {
  wchar_t w[1024];
  for (int tries = 0; tries < 1000; tries++) {
    DWORD got = 0;
    if (!ReadConsoleW(in, w, 1023, &got, nullptr)) {
      // Ctrl+C aborts the read; the interrupt handler decides what follows.
      if (GetLastError() == ERROR_OPERATION_ABORTED) {
        Sleep(10);
        continue;
      }
      return -1;
    }
    if (got == 0) {
      Sleep(10);
      continue;
    }
    if (w[0] == 0x1A) return 0;
    w[got] = 0;
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(got), out, static_cast<int>(cap), nullptr,
                                      nullptr);
    return n > 0 ? n : -1;
  }
  return -1;
}

DWORD WINAPI stdin_thread(LPVOID) {
  stdin_reader* r = g_stdin;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
  for (;;) {
    char chunk[sizeof r->buf];
    int64_t n;
    if (in == nullptr || in == INVALID_HANDLE_VALUE) {
      n = 0;
    } else if (console) {
      n = read_console(in, chunk, sizeof chunk);
    } else {
      DWORD got = 0;
      if (ReadFile(in, chunk, sizeof chunk, &got, nullptr)) {
        n = got;
      } else {
        // A pipe whose writer has gone is the end of input.
        const DWORD e = GetLastError();
        n = (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) ? 0 : -1;
      }
    }
    EnterCriticalSection(&r->lock);
    if (n > 0) {
      memcpy(r->buf, chunk, static_cast<size_t>(n));
      r->off = 0;
      r->len = static_cast<size_t>(n);
    } else {
      r->state = n == 0 ? 1 : -1;
    }
    SetEvent(r->ready);
    LeaveCriticalSection(&r->lock);
    if (n <= 0) return 0;
    WaitForSingleObject(r->taken, INFINITE);
  }
}

BOOL CALLBACK stdin_init(PINIT_ONCE, PVOID, PVOID*) {
  static stdin_reader reader;
  stdin_reader* r = &reader;
  InitializeCriticalSection(&r->lock);
  r->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  r->taken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (r->ready == nullptr || r->taken == nullptr) return FALSE;
  g_stdin = r;
  HANDLE t = CreateThread(nullptr, 65536, stdin_thread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (t == nullptr) {
    g_stdin = nullptr;
    return FALSE;
  }
  CloseHandle(t);
  return TRUE;
}

// ---- Command line -------------------------------------------------------------

UINT g_saved_output_cp = 0;

void restore_output_cp() {
  if (g_saved_output_cp != 0) SetConsoleOutputCP(g_saved_output_cp);
}

}  // namespace

// ---- Descriptors -------------------------------------------------------------

// Handles have no per-process limit to raise.
void plat_raise_fd_limit() {}

// ---- Console ----------------------------------------------------------------

void plat_on_interrupt(void (*handler)(int)) {
  if (g_interrupt_event == nullptr) g_interrupt_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_user_handler = handler;
  signal(SIGINT, on_signal);
  signal(SIGBREAK, on_signal);
  signal(SIGTERM, on_signal);
}

// Windows raises no signal for a write to a pipe whose reader has gone.
void plat_ignore_broken_pipe() {}

int64_t plat_stdin_read(void* buf, size_t n, int timeout_ms) {
  if (!InitOnceExecuteOnce(&g_stdin_once, stdin_init, nullptr, nullptr) || g_stdin == nullptr) return -1;
  stdin_reader* r = g_stdin;
  HANDLE waits[2] = {r->ready, g_interrupt_event};
  const DWORD count = g_interrupt_event != nullptr ? 2 : 1;
  const DWORD w = WaitForMultipleObjects(count, waits, FALSE, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  if (w == WAIT_TIMEOUT) return -2;
  if (w == WAIT_OBJECT_0 + 1) {
    ResetEvent(g_interrupt_event);
    return -1;
  }
  if (w != WAIT_OBJECT_0) return -1;
  EnterCriticalSection(&r->lock);
  int64_t got;
  if (r->len > r->off) {
    const size_t avail = r->len - r->off;
    const size_t take = n < avail ? n : avail;
    memcpy(buf, r->buf + r->off, take);
    r->off += take;
    got = static_cast<int64_t>(take);
    if (r->off == r->len) {
      r->off = r->len = 0;
      ResetEvent(r->ready);
      SetEvent(r->taken);
    }
  } else {
    got = r->state > 0 ? 0 : -1;
  }
  LeaveCriticalSection(&r->lock);
  return got;
}

// ---- Command line -------------------------------------------------------------

void plat_utf8_args(int* argc, char*** argv) {
  // The program writes UTF-8; the console shows it as such while it runs.
  if (g_saved_output_cp == 0 && GetConsoleWindow() != nullptr) {
    g_saved_output_cp = GetConsoleOutputCP();
    if (g_saved_output_cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      atexit(restore_output_cp);
    } else {
      g_saved_output_cp = 0;
    }
  }
  int n = 0;
  LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wargv == nullptr || n < 0) return;
  // The strings live for the rest of the process, like the system's own.
  auto** out = static_cast<char**>(calloc(static_cast<size_t>(n) + 1, sizeof(char*)));
  if (out == nullptr) {
    LocalFree(wargv);
    return;
  }
  for (int i = 0; i < n; i++) {
    out[i] = narrow(wargv[i]);
    if (out[i] == nullptr) {
      for (int j = 0; j < i; j++) free(out[j]);
      free(out);
      LocalFree(wargv);
      return;
    }
  }
  LocalFree(wargv);
  *argc = n;
  *argv = out;
}

void plat_ignore_hangup() {}

void plat_on_hangup(void (*)(int)) {}

int plat_console_is_own() {
  // A console shared with a shell lists the shell too; one made for this
  // program lists only the program.
  DWORD ids[2];
  return GetConsoleProcessList(ids, 2) == 1 ? 1 : 0;
}

void plat_wait_for_key() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == INVALID_HANDLE_VALUE || in == nullptr) return;
  FlushConsoleInputBuffer(in);
  INPUT_RECORD rec;
  DWORD n = 0;
  while (ReadConsoleInputW(in, &rec, 1, &n) && n == 1) {
    if (rec.EventType == KEY_EVENT && rec.Event.KeyEvent.bKeyDown) return;
  }
}
