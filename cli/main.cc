// The console program: the library plus this main.
#include "cli/cli.h"

int main(int argc, char** argv) { return cli_main(argc, argv); }
