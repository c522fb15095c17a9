// The admin command where the HTTP library it is built with was not found.
#include <cstdio>

#include "cli/cli.h"

int cmd_admin(int, char**) {
  fputs("admin: the settings page is not part of this build (it was built without cpp-httplib); edit the "
        "configuration file and reload the service instead\n",
        stderr);
  return 1;
}
