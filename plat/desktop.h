// What the settings page (`admin`) needs of the system, in the platform
// layer: the networks of this host, the default browser, the roots of the
// file system, replacing a file whole, and asking a running server to read
// its configuration again.
#pragma once

#include <cstddef>

#include "plat/addr.h"

// Stores up to max networks of this host's interfaces that are up, the
// loopback and link-local ones left out: each the network's address (its
// host bits cleared) and its prefix length (of the 128 bits of the
// record: an IPv4 /24 is 120). Returns the number stored, 0 when they
// cannot be read.
int plat_host_networks(plat_addr* nets, int* prefixes, int max);
// Opens the URL in the user's default browser (xdg-open; Windows: the
// shell's handler for http) without waiting for it. 0, or -1 with err
// saying why.
int plat_open_url(const char* url, char* err, size_t errlen);
// The roots of the file system, one per line ("/\n"; Windows: every drive,
// "C:\\\nD:\\\n"), into out (NUL-terminated). The number of roots, 0 when
// they cannot be read or do not fit.
int plat_fs_roots(char* out, size_t outlen);
// Replaces the file at path with the n bytes of data: written whole into a
// new file beside it, flushed, then renamed over it in one step, so that a
// reader sees the old file or the new one, never a part. A file that was
// there keeps its permission bits (POSIX). 0, or -1 with err saying why.
int plat_file_replace(const char* path, const void* data, size_t n, char* err, size_t errlen);
// Starts this program again as an administrator, with the same arguments,
// when this process is not one (Windows: the shell's "runas" verb, which
// asks for the user's consent and opens a console of its own), so that a
// command only an administrator can carry out may be started from a
// shortcut. 1: started again (this process has nothing left to do); 0:
// nothing to do (an administrator already; POSIX: always, where the
// command's own refusals say to run it as root); -1 with err saying why
// (the consent refused, say).
int plat_run_again_as_admin(char* err, size_t errlen);
// Asks the process pid to read its configuration again (POSIX: SIGHUP).
// 0, or -1 with err saying why (Windows: there is no such signal; a
// service is asked through plat_service_reload).
int plat_signal_reload(int pid, char* err, size_t errlen);
// Runs the program argv[0] (found on the search path) with the arguments
// argv (null-terminated), its output to this process's standard error, and
// waits for it to end: its exit code, or -1 with err saying why it could
// not run (Windows: -1, not needed there).
int plat_run_wait(const char* const* argv, char* err, size_t errlen);
