// Runs a program, the server's own unless another is named, as a child
// process with its standard streams on pipes, for the command-line, console,
// handle-command and client-tool tests. Every wait is bounded; a child still
// running when the object goes away is killed by its pid and reaped.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <csignal>
// The hang-up signal's number, so that tests that send it compile here too
// (signal_child sends nothing on Windows, and they skip).
#ifndef SIGHUP
#define SIGHUP 1
#endif
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "tests/support/fixture.h"

// Takes the next whole line of `out` from *taken on, calling pump(ms) for
// more output while there is none; false when none arrives within the time
// limit or the output ends first.
template <class Pump>
bool child_take_line(const std::string& out, size_t* taken, std::string* line, int timeout_ms, Pump pump) {
  const uint64_t end = plat_now_ms() + static_cast<uint64_t>(timeout_ms);
  for (;;) {
    const size_t nl = out.find('\n', *taken);
    if (nl != std::string::npos) {
      *line = out.substr(*taken, nl - *taken);
      *taken = nl + 1;
      return true;
    }
    const uint64_t now = plat_now_ms();
    if (now >= end || !pump(static_cast<int>(end - now))) return false;
  }
}

// Whether a line is one of the event log's: it starts with its ISO 8601
// time ("2026-12-11T04:10:25.123+00:00 ").
inline bool is_log_line(const std::string& line) {
  if (line.size() < 30) return false;
  const char* shape = "dddd-dd-ddTdd:dd:dd.ddd";
  for (size_t i = 0; shape[i] != 0; i++) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  return line[23] == '+' || line[23] == '-';
}

// The text without the event log's lines: what the program said besides.
inline std::string without_log(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    nl = nl == std::string::npos ? text.size() : nl + 1;
    const std::string line = text.substr(at, nl - at);
    if (!is_log_line(line)) out += line;
    at = nl;
  }
  return out;
}

// Which program a child runs and where.
struct child_options {
  // The program: a path, or a bare name looked up in PATH.
  std::string program = VORLIX_EXE;
  // The child's working folder; empty for the test's own.
  std::string dir;
  // Removes dir before the child starts in it, so that its working folder no
  // longer exists (POSIX only: start fails on Windows).
  bool remove_dir = false;
};

#ifdef _WIN32
// The Windows form: CreateProcessW with the standard streams on anonymous
// pipes, polled with PeekNamedPipe. The program writes its output in text
// mode, so each "\r\n" it writes is read back as "\n".
class child_process {
 public:
  child_process() = default;
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;
  ~child_process() {
    close_stdin();
    if (proc_ != nullptr) {
      if (!exited_) {
        TerminateProcess(proc_, 1);
        WaitForSingleObject(proc_, 10000);
      }
      CloseHandle(proc_);
    }
    close_h(&out_);
    close_h(&err_);
  }

  // Starts the program with these arguments (the program name is added).
  bool start(const std::vector<std::string>& args, const child_options& o = {}) {
    if (o.remove_dir) return false;
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;
    HANDLE in_r = nullptr, out_w = nullptr, err_w = nullptr;
    if (!CreatePipe(&in_r, &in_, &sa, 0)) return false;
    if (!CreatePipe(&out_, &out_w, &sa, 0) || !CreatePipe(&err_, &err_w, &sa, 0)) return false;
    // The child inherits only its own ends.
    SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_, HANDLE_FLAG_INHERIT, 0);
    std::wstring cmd = quote(o.program);
    for (const std::string& a : args) cmd += L" " + quote(a);
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_r;
    si.hStdOutput = out_w;
    si.hStdError = err_w;
    PROCESS_INFORMATION pi;
    const std::wstring dir = wide_of(o.dir);
    const BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                                   dir.empty() ? nullptr : dir.c_str(), &si, &pi);
    CloseHandle(in_r);
    CloseHandle(out_w);
    CloseHandle(err_w);
    if (!ok) return false;
    CloseHandle(pi.hThread);
    proc_ = pi.hProcess;
    pid_ = pi.dwProcessId;
    return true;
  }

  bool write_stdin(const std::string& s) {
    size_t done = 0;
    while (done < s.size() && in_ != nullptr) {
      DWORD n = 0;
      if (!WriteFile(in_, s.data() + done, static_cast<DWORD>(s.size() - done), &n, nullptr)) return false;
      done += n;
    }
    return done == s.size();
  }

  void close_stdin() { close_h(&in_); }
  // Stops reading standard output: the child's next write finds no reader.
  void close_stdout() { close_h(&out_); }

  // Reads standard output until it holds a whole line; false when none
  // arrives within the time limit or the output ends first.
  bool read_line(std::string* line, int timeout_ms = 10000) {
    return child_take_line(out_text_, &taken_, line, timeout_ms, [this](int ms) { return pump(ms); });
  }

  std::string rest_of_output() const { return out_text_.substr(taken_); }
  const std::string& output() const { return out_text_; }
  const std::string& errors() const { return err_text_; }

  // Windows has no signals to send to another process; the tests that
  // need them are skipped there.
  bool signal_child(int) { return false; }

  // Waits for the child to end, collecting what it writes; the exit code,
  // or -1 when it is still running when the time is up.
  int wait_exit(int timeout_ms = 10000) {
    const uint64_t end = plat_now_ms() + static_cast<uint64_t>(timeout_ms);
    while (out_ != nullptr || err_ != nullptr) {
      const uint64_t now = plat_now_ms();
      if (now >= end || !pump(static_cast<int>(end - now))) break;
    }
    if (!exited_) {
      const uint64_t now = plat_now_ms();
      const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
      if (WaitForSingleObject(proc_, left) != WAIT_OBJECT_0) return -1;
      reap();
    }
    return code_;
  }

  // True when the child is still running after waiting ms milliseconds.
  bool still_running_after(int ms) {
    const uint64_t end = plat_now_ms() + static_cast<uint64_t>(ms);
    while (!exited_) {
      if (WaitForSingleObject(proc_, 0) == WAIT_OBJECT_0) {
        reap();
        return false;
      }
      const uint64_t now = plat_now_ms();
      if (now >= end) return true;
      if (!pump(static_cast<int>(end - now < 20 ? end - now : 20))) plat_sleep_ms(10);
    }
    return false;
  }

 private:
  static void close_h(HANDLE* h) {
    if (*h != nullptr) CloseHandle(*h);
    *h = nullptr;
  }

  static std::wstring wide_of(const std::string& s) {
    std::wstring w(s.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return w;
  }

  // One argument quoted so that the child's command-line parser gives it
  // back unchanged.
  static std::wstring quote(const std::string& arg) {
    const std::wstring a = wide_of(arg);
    std::wstring q = L"\"";
    size_t slashes = 0;
    for (wchar_t c : a) {
      if (c == L'\\') {
        slashes++;
        continue;
      }
      q.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
      slashes = 0;
      q += c;
    }
    q.append(slashes * 2, L'\\');
    q += L'"';
    return q;
  }

  void reap() {
    DWORD code = 0;
    GetExitCodeProcess(proc_, &code);
    code_ = static_cast<int>(code);
    exited_ = true;
  }

  // Appends output with each "\r\n" made "\n"; a "\r" at the end of one
  // read waits for the next.
  static void append_text(std::string* dst, bool* cr, const char* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
      if (*cr && p[i] != '\n') *dst += '\r';
      *cr = p[i] == '\r';
      if (!*cr) *dst += p[i];
    }
  }

  // Waits up to timeout_ms for output on either pipe and reads it; false
  // when both pipes have ended or nothing arrived in time.
  bool pump(int timeout_ms) {
    const uint64_t end = plat_now_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
      if (out_ == nullptr && err_ == nullptr) return false;
      bool got_any = false;
      for (int i = 0; i < 2; i++) {
        HANDLE* h = i == 0 ? &out_ : &err_;
        if (*h == nullptr) continue;
        DWORD avail = 0;
        if (!PeekNamedPipe(*h, nullptr, 0, nullptr, &avail, nullptr)) {
          // The writer has gone: the end of that stream.
          if (i == 0 && out_cr_) out_text_ += '\r';
          if (i == 1 && err_cr_) err_text_ += '\r';
          close_h(h);
          got_any = true;
          continue;
        }
        if (avail == 0) continue;
        char buf[65536];
        DWORD n = 0;
        if (!ReadFile(*h, buf, avail < sizeof buf ? avail : sizeof buf, &n, nullptr)) {
          close_h(h);
        } else if (i == 0) {
          append_text(&out_text_, &out_cr_, buf, n);
        } else {
          append_text(&err_text_, &err_cr_, buf, n);
        }
        got_any = true;
      }
      if (got_any) return true;
      if (plat_now_ms() >= end) return false;
      Sleep(5);
    }
  }

  HANDLE proc_ = nullptr;
  DWORD pid_ = 0;
  bool exited_ = false;
  int code_ = -1;
  HANDLE in_ = nullptr;
  HANDLE out_ = nullptr;
  HANDLE err_ = nullptr;
  bool out_cr_ = false;
  bool err_cr_ = false;
  std::string out_text_;
  std::string err_text_;
  size_t taken_ = 0;
};
#else
extern char** environ;

class child_process {
 public:
  child_process() = default;
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;
  ~child_process() {
    close_stdin();
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
    }
    close_fd(&out_fd_);
    close_fd(&err_fd_);
  }

  // Starts the program with these arguments (the program name is added).
  bool start(const std::vector<std::string>& args, const child_options& o = {}) {
    // Writing to a child that has gone must fail, not end the test.
    signal(SIGPIPE, SIG_IGN);
    // The working folder is held open, so that the child can start in it
    // after its name is gone.
    int dir_fd = -1;
    if (!o.dir.empty()) {
      dir_fd = open(o.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir_fd < 0) return false;
      if (o.remove_dir && rmdir(o.dir.c_str()) != 0) {
        close(dir_fd);
        return false;
      }
    }
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      if (dir_fd >= 0) close(dir_fd);
      return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (dir_fd >= 0) posix_spawn_file_actions_addfchdir_np(&fa, dir_fd);
    // The child starts with the signals' default actions, SIGPIPE included.
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    sigset_t def;
    sigemptyset(&def);
    sigaddset(&def, SIGPIPE);
    sigaddset(&def, SIGINT);
    sigaddset(&def, SIGTERM);
    posix_spawnattr_setsigdefault(&at, &def);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    std::string exe = o.program;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int r = posix_spawnp(&pid_, exe.c_str(), &fa, &at, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    if (dir_fd >= 0) close(dir_fd);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (r != 0) pid_ = -1;
    return r == 0;
  }

  bool write_stdin(const std::string& s) {
    size_t done = 0;
    const uint64_t end = plat_now_ms() + 10000;
    while (done < s.size() && in_fd_ >= 0 && plat_now_ms() < end) {
      const ssize_t n = write(in_fd_, s.data() + done, s.size() - done);
      if (n < 0 && errno != EINTR) return false;
      if (n > 0) done += static_cast<size_t>(n);
    }
    return done == s.size();
  }

  void close_stdin() { close_fd(&in_fd_); }
  // Stops reading standard output: the child's next write finds no reader.
  void close_stdout() { close_fd(&out_fd_); }

  // Reads standard output until it holds a whole line; false when none
  // arrives within the time limit or the output ends first.
  bool read_line(std::string* line, int timeout_ms = 10000) {
    return child_take_line(out_, &taken_, line, timeout_ms, [this](int ms) { return pump(ms); });
  }

  // Standard output not yet taken by read_line.
  std::string rest_of_output() const { return out_.substr(taken_); }
  const std::string& output() const { return out_; }
  const std::string& errors() const { return err_; }

  bool signal_child(int sig) { return pid_ > 0 && !exited_ && kill(pid_, sig) == 0; }

  // The child's process id; -1 before it started.
  pid_t pid() const { return pid_; }

  // Waits for the child to end, collecting what it writes; the exit code,
  // 128 + the signal number for a child ended by a signal, or -1 when it is
  // still running when the time is up.
  int wait_exit(int timeout_ms = 10000) {
    const uint64_t end = plat_now_ms() + static_cast<uint64_t>(timeout_ms);
    while (out_fd_ >= 0 || err_fd_ >= 0) {
      const uint64_t now = plat_now_ms();
      if (now >= end || !pump(static_cast<int>(end - now))) break;
    }
    while (!exited_) {
      int st;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        code_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        break;
      }
      if (plat_now_ms() >= end) return -1;
      plat_sleep_ms(10);
    }
    return code_;
  }

  // True when the child is still running after waiting ms milliseconds.
  bool still_running_after(int ms) {
    const uint64_t end = plat_now_ms() + static_cast<uint64_t>(ms);
    while (!exited_) {
      int st;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        exited_ = true;
        code_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
      }
      const uint64_t now = plat_now_ms();
      if (now >= end) return true;
      if (!pump(static_cast<int>(end - now < 20 ? end - now : 20))) plat_sleep_ms(10);
    }
    return false;
  }

 private:
  static void close_fd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }

  // Waits up to timeout_ms for output on either pipe and reads it; false
  // when both pipes have ended or nothing arrived in time.
  bool pump(int timeout_ms) {
    struct pollfd p[2];
    int n = 0;
    if (out_fd_ >= 0) p[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) p[n++] = {err_fd_, POLLIN, 0};
    if (n == 0) return false;
    const int r = poll(p, static_cast<nfds_t>(n), timeout_ms);
    if (r <= 0) return r < 0 && errno == EINTR;
    for (int i = 0; i < n; i++) {
      if (p[i].revents == 0) continue;
      const bool is_out = p[i].fd == out_fd_;
      char buf[65536];
      const ssize_t got = read(p[i].fd, buf, sizeof buf);
      if (got > 0) {
        (is_out ? out_ : err_).append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close_fd(is_out ? &out_fd_ : &err_fd_);
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  size_t taken_ = 0;
};

#endif

// Runs the program to its end with an empty standard input.
struct run_result {
  int code = -1;
  std::string out;
  std::string err;
};

// The code is -1 when the program could not be started or was still running
// after timeout_ms (it is then killed).
inline run_result run_program(const std::vector<std::string>& args, const child_options& o, int timeout_ms = 20000) {
  run_result r;
  child_process c;
  if (!c.start(args, o)) return r;
  c.close_stdin();
  r.code = c.wait_exit(timeout_ms);
  r.out = c.output();
  r.err = c.errors();
  return r;
}
inline run_result run_program(const std::vector<std::string>& args, int timeout_ms = 20000) {
  return run_program(args, child_options{}, timeout_ms);
}
