// The process and its console in the platform layer: the limit on open
// descriptors, interrupt signals, broken pipes, the arguments and standard
// input.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Descriptors -------------------------------------------------------------

// Raises the process's soft limit on open descriptors to its hard limit,
// where the system has such limits (POSIX); elsewhere does nothing.
// Failures are ignored: the limit then stays as it was.
void plat_raise_fd_limit();

// ---- Console ----------------------------------------------------------------

// Installs handler for the interrupt and termination signals, without
// restarting interrupted reads, so that a waiting console read ends.
void plat_on_interrupt(void (*handler)(int));
// Makes a write to a pipe whose reader has gone fail instead of ending the
// process, for the whole process. For programs only: the library never
// changes its host's signal dispositions.
void plat_ignore_broken_pipe();
// Makes the program's arguments UTF-8: where the system hands them to main
// in another encoding, *argc and *argv are replaced by UTF-8 copies that
// live for the rest of the process; elsewhere nothing changes.
void plat_utf8_args(int* argc, char*** argv);
// Waits up to timeout_ms for standard input, then reads what is there.
// Returns the byte count, 0 at the end of input, -1 on error or interruption,
// -2 when nothing arrived in time.
int64_t plat_stdin_read(void* buf, size_t n, int timeout_ms);
// Makes a hang-up of the controlling terminal leave the process running
// (POSIX SIGHUP ignored); nothing where there is no such signal. For
// programs only, like plat_ignore_broken_pipe.
void plat_ignore_hangup();
// Installs handler for the hang-up signal (POSIX SIGHUP, which daemons take
// as "read your configuration again"), without restarting interrupted
// reads; nothing where there is no such signal. For programs only.
void plat_on_hangup(void (*handler)(int));
// 1 when the program was started in a console window of its own that
// closes when it ends (Windows: double-clicked), else 0.
int plat_console_is_own();
// Waits until a key is pressed in that console; returns at once elsewhere.
void plat_wait_for_key();
