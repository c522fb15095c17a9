// Temporary folders for tests, made at run time and removed at the end.
#pragma once

#include <string>

struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  // Writes a file (creating parent folders) and returns its full path.
  std::string write(const std::string& rel, const std::string& content) const;
  std::string mkdir(const std::string& rel) const;
  std::string symlink(const std::string& target, const std::string& rel) const;
  std::string at(const std::string& rel) const { return path + "/" + rel; }
};

// Reads a whole file; empty on failure.
std::string read_file(const std::string& path);

// Starts the in-process server on 127.0.0.1 with ports chosen by the system
// (portmap_port as given to vorlix_start: 0 for none). True on success.
bool start_test_server(int portmap_port = 0);
