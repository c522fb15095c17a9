// The program as a service of the system's service manager, in the
// platform layer.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- System service ----------------------------------------------------------

// The program as a service of the system's service manager (the Windows
// Service Control Manager). Where the system has no such manager for
// programs (POSIX: systemd starts `serve` itself), every call returns -1
// with a message that says so in err. err receives a NUL-terminated
// message of at most errlen bytes on failure.

// Registers this program as the automatically started service NAME, run as
// the program followed by args (nargs UTF-8 strings, quoted here as the
// system's command-line parser reads them back), with a description, under
// an account of its own (NT SERVICE\NAME) that has no privileges beyond
// those of every process. A service NAME that is installed already is
// updated to this program, these args and that account; a running one
// takes them at its next start. 0 or -1.
int plat_service_install(const char* name, const char* description, const char* const* args, int nargs,
                         char* err, size_t errlen);
// Stops the service NAME if it runs (waiting up to 30 s) and removes it,
// with the files of its folder (plat_service_data_dir: the log file of
// plat_service_log_open, the secret) and that folder when it is then
// empty. 0 or -1.
int plat_service_remove(const char* name, char* err, size_t errlen);
// Runs body(argc, argv) as the service NAME under the service manager and
// returns its result once the manager was told that the service stopped.
// The manager's stop and shutdown requests call stop() on another thread;
// stop must make body return. Its request to read the parameters again
// (Windows: PARAMCHANGE, `sc control NAME paramchange`) calls reload() on
// another thread. -1 without calling body when the process was not started
// by the service manager.
int plat_service_run(const char* name, int (*body)(int, char**), int argc, char** argv, void (*stop)(),
                     void (*reload)(), char* err, size_t errlen);
// Asks the running service NAME to read its parameters again (Windows:
// the PARAMCHANGE control, as `sc control NAME paramchange` sends). 0 or -1.
int plat_service_reload(const char* name, char* err, size_t errlen);
// Tells the service manager that the service now runs, once what it does
// is ready (the server's listeners bound): until then it is reported as
// starting, so that whoever started it learns of a start that fails. Does
// nothing in a process that is not a service.
void plat_service_ready();
// Waits up to wait_ms for the service NAME, started a moment ago, to run.
// 0 once it runs; 1 with err giving its exit code when it stopped instead;
// -1 with err saying why when it is not installed, cannot be asked, or is
// still starting at the end.
int plat_service_wait_running(const char* name, int wait_ms, char* err, size_t errlen);
// Points standard output and standard error at the service's log file,
// appending: NAME\service.log in the folder for all users' program data
// (%ProgramData%), made if missing. 0 with the file's UTF-8 path in path,
// or -1 with both pointed at the null device where there is one.
int plat_service_log_open(const char* name, char* path, size_t pathlen);
// Rotates the log file of plat_service_log_open once it has grown past
// max_bytes: service.log becomes service.log.1, .1 becomes .2 and so on,
// keeping keep generations, and standard output and error go on into a new
// service.log. 1 when it rotated, 0 when the file is still small, -1 on
// failure (the file is then kept as it is).
int plat_service_log_rotate(const char* name, int64_t max_bytes, int keep);
// Kinds of entries in the system's own event log.
enum plat_event_kind { PLAT_EVENT_INFO, PLAT_EVENT_WARNING, PLAT_EVENT_ERROR };
// Writes one entry with the UTF-8 text into the system's event log (Windows
// Event Log, Application, with the service's name as its source). 0, or -1
// where there is no such log.
int plat_service_event(const char* name, plat_event_kind kind, const char* text);

// ---- The service's account and files ------------------------------------------

// The service runs as an account of its own (Windows: the virtual account
// NT SERVICE\NAME), which reads only what it is granted. These calls set up
// what that account may reach. POSIX answers -1 with the message that
// services are Windows-only.

// The service's own folder in all users' program data (%ProgramData%\NAME),
// made with an access list of its own, not inherited: SYSTEM and
// Administrators full control, the service's account read and write (its
// log), nobody else anything. A folder found there is used only when it is
// a plain folder (not a link or junction) owned by Administrators or
// SYSTEM, and is then given that access list. Its full path (UTF-8) goes
// to dir. 0, or -1 with err saying why.
int plat_service_data_dir(const char* name, char* dir, size_t dirlen, char* err, size_t errlen);
// Writes len bytes to the file `path` (made, or emptied first), readable by
// the service's account and by nobody but SYSTEM and Administrators
// besides: for the handle secret. 0 or -1 with err.
int plat_service_private_file(const char* name, const char* path, const void* data, size_t len, char* err,
                              size_t errlen);
// Lets the service's account read the file `path`, or read and traverse
// the folder `path` and everything in it, now and later (inherited). 0 or
// -1 with err.
int plat_service_grant_read(const char* name, const char* path, char* err, size_t errlen);
