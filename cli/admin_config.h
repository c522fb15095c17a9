// The exports of a configuration file (see config_file.h) as the settings
// page reads and changes them: its "export /p=FOLDER" and "allow /p=CIDRS"
// lines. A change rewrites those lines only; every other line, comment and
// the file's line ends stay as they were. Plain functions of the file's
// text, so that a change can be checked whole before the file is written.
#pragma once

#include <string>
#include <vector>

// One export of the file: its path, its folder or file, and its allow list
// ("" when no allow line names it: this machine only).
struct admin_export {
  std::string path;
  std::string folder;
  std::string allow;
};

// The exports that the file's text names, in the order of their lines (a
// later line of the same path wins, as for serve).
std::vector<admin_export> admin_config_exports(const std::string& text);
// The text with the export x added (its allow line too when x.allow is not
// empty); false with *why when the text has an export of that path.
bool admin_config_add(const std::string& text, const admin_export& x, std::string* out, std::string* why);
// The text with the allow list of the export path set to allow ("" for
// this machine only: no allow line); false with *why when no export has
// that path.
bool admin_config_set_allow(const std::string& text, const std::string& path, const std::string& allow,
                            std::string* out, std::string* why);
// The text without the export path and its allow lines; false with *why
// when no export has that path.
bool admin_config_remove(const std::string& text, const std::string& path, std::string* out, std::string* why);
