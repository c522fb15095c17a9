// The command-line front end: command dispatch, usage text and exit codes,
// the diagnostic and handle commands, and the serve command with its
// console. Uses only the exported control functions. Runs on the main thread.
#pragma once

#include <cstddef>
#include <string>

// Runs the program's command line; returns the exit code.
int cli_main(int argc, char** argv);
// Prints the usage text on standard error; returns 2.
int usage();
// Runs `serve` with the arguments after it; returns the exit code.
int cmd_serve(int argc, char** argv);
// Carries out one console line (its trailing newline, carriage return and
// space characters removed here) and appends the reply to *out. Returns 1
// for "quit", else 0.
int console_line(const std::string& line, std::string* out);
// Appends the export listing to *out.
void print_exports(std::string* out);
