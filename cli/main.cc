// The console program: the library plus this main.
#include "cli/cli.h"
#include "plat/plat.h"

int main(int argc, char** argv) {
  // Paths and names on the command line reach the program as UTF-8.
  plat_utf8_args(&argc, &argv);
  return cli_main(argc, argv);
}
