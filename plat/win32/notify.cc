// Windows has no notification socket: the Service Control Manager learns a
// service's state through plat_service_run (plat/win32/service.cc).
#include "plat/plat.h"

int plat_notify(const char*) { return 0; }
