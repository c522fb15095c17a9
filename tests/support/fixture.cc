#include "fixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <stdlib.h>
#include <unistd.h>

namespace fs = std::filesystem;

temp_dir::temp_dir() {
  std::string tmpl = (fs::temp_directory_path() / "vorlix-test-XXXXXX").string();
  char* p = mkdtemp(tmpl.data());
  path = p ? p : "";
}

temp_dir::~temp_dir() {
  std::error_code ec;
  if (!path.empty()) {
    // Read-only folders made by a test must not stop the clean-up.
    for (auto& e : fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec)) {
      if (!e.is_symlink()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path, ec);
  }
}

std::string temp_dir::write(const std::string& rel, const std::string& content) const {
  const fs::path p = fs::path(path) / rel;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  return p.string();
}

std::string temp_dir::mkdir(const std::string& rel) const {
  const fs::path p = fs::path(path) / rel;
  fs::create_directories(p);
  return p.string();
}

std::string temp_dir::symlink(const std::string& target, const std::string& rel) const {
  const fs::path p = fs::path(path) / rel;
  fs::create_directories(p.parent_path());
  fs::create_symlink(target, p);
  return p.string();
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

#include "vorlix.h"

bool start_test_server(int portmap_port) {
  vorlix_config("nfs_port", "0");
  vorlix_config("mount_port", "0");
  return vorlix_start("127.0.0.1", 0, 0, portmap_port) == 0;
}
