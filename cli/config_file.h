// The configuration file of `serve --config FILE`: the options of the
// command line, one per line without the leading dashes ("bind 127.0.0.1",
// "export /movies=D:\Films", "no-console"), blank lines and lines that
// start with '#' ignored. Each line becomes one argument, "--NAME" or, when
// the line has more than its name, "--NAME=VALUE" (VALUE the rest of the
// line, its surrounding blanks removed), read by the same parser as the
// command line.
#pragma once

#include <string>
#include <vector>

// The arguments that one file holds, and the line of each.
struct config_args {
  std::vector<std::string> args;
  std::vector<int> lines;
};

// Reads the file at path into *out: 0, or -1 with *why saying in words what
// went wrong (the file cannot be read, or a line is not an option).
int config_file_read(const char* path, config_args* out, std::string* why);
// Reads the whole file at path (at most 1 MiB) into *text: 0, or -1 with
// *why saying what went wrong.
int config_file_text(const char* path, std::string* text, std::string* why);
// Reads the text of the file at path (named in messages) into *out as
// config_file_read does.
int config_file_parse(const std::string& text, const std::string& path, config_args* out, std::string* why);
// The file's name as error lines show it (the last part of its path).
std::string config_file_name(const std::string& path);
