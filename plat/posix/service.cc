// The system service on POSIX: there is no service manager for programs
// here (systemd starts `serve` itself), so every call says so.
#include "plat/plat.h"

#include <cstdio>

// ---- System service ----------------------------------------------------------

namespace {

// The one answer of every service call here.
int no_service_manager(char* err, size_t errlen) {
  if (errlen > 0) {
    snprintf(err, errlen, "%s",
             "services are Windows-only; on Linux run serve under systemd (the Debian package's unit)");
  }
  return -1;
}

}  // namespace

int plat_service_install(const char*, const char*, const char* const*, int, char* err, size_t errlen) {
  return no_service_manager(err, errlen);
}

int plat_service_remove(const char*, char* err, size_t errlen) { return no_service_manager(err, errlen); }

int plat_service_run(const char*, int (*)(int, char**), int, char**, void (*)(), void (*)(), char* err,
                     size_t errlen) {
  return no_service_manager(err, errlen);
}

int plat_service_reload(const char*, char* err, size_t errlen) { return no_service_manager(err, errlen); }
void plat_service_ready() {}

int plat_service_wait_running(const char*, int, char* err, size_t errlen) { return no_service_manager(err, errlen); }

int plat_service_log_open(const char*, char* path, size_t pathlen) {
  if (pathlen > 0) path[0] = 0;
  return -1;
}

int plat_service_log_rotate(const char*, int64_t, int) { return -1; }

int plat_service_event(const char*, plat_event_kind, const char*) { return -1; }
int plat_service_data_dir(const char*, char* dir, size_t dirlen, char* err, size_t errlen) {
  if (dirlen > 0) dir[0] = 0;
  return no_service_manager(err, errlen);
}

int plat_service_private_file(const char*, const char*, const void*, size_t, char* err, size_t errlen) {
  return no_service_manager(err, errlen);
}

int plat_service_grant_read(const char*, const char*, char* err, size_t errlen) {
  return no_service_manager(err, errlen);
}
