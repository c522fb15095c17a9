// The shared fuzz tree and exports.
#include "fuzz/fuzz_tree.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "state/exports.h"
#include "vorlix.h"

namespace {

std::string s_root;

bool write_file(const std::string& path, const std::string& content) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
  return fclose(f) == 0 && ok;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  (void)remove(path);
  return 0;
}

void remove_tree() {
  if (!s_root.empty()) (void)nftw(s_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Makes the tree below root; false when any part fails.
bool make_tree(const std::string& root) {
  std::string big;
  for (int i = 0; i < 9000; i++) big.push_back(static_cast<char>('a' + i % 26));
  const std::string d = root + "/data";
  return mkdir(d.c_str(), 0755) == 0 && write_file(d + "/hello.txt", "hello, world\n") &&
         write_file(d + "/big.bin", big) && write_file(d + "/empty.txt", "") && mkdir((d + "/sub").c_str(), 0755) == 0 &&
         write_file(d + "/sub/inner.txt", "inner\n") && mkdir((d + "/sub/deep").c_str(), 0755) == 0 &&
         write_file(d + "/sub/deep/leaf.txt", "leaf\n") && mkdir((d + "/nothing").c_str(), 0755) == 0 &&
         symlink("hello.txt", (d + "/link").c_str()) == 0 && symlink("sub", (d + "/dirlink").c_str()) == 0 &&
         symlink("../one.txt", (d + "/outside").c_str()) == 0 && symlink("missing", (d + "/dangling").c_str()) == 0 &&
         mkfifo((d + "/fifo").c_str(), 0644) == 0 && write_file(root + "/one.txt", "the only file\n") &&
         mkdir((root + "/lan").c_str(), 0755) == 0 && write_file(root + "/lan/lan.txt", "lan\n");
}

}  // namespace

const std::string& fuzz_tree_root() {
  static const bool made = [] {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp") + "/vorlix-fuzz-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return false;
    s_root = tmpl;
    atexit(remove_tree);
    if (!make_tree(s_root)) {
      fprintf(stderr, "fuzz: cannot make the tree in %s\n", s_root.c_str());
      return false;
    }
    return true;
  }();
  static const std::string none;
  return made ? s_root : none;
}

bool fuzz_exports_ready() {
  static const bool ready = [] {
    const std::string& root = fuzz_tree_root();
    if (root.empty()) return false;
    if (vorlix_config("secret", FUZZ_SECRET) != 0) return false;
    if (vorlix_add_export("/data", (root + "/data").c_str(), nullptr) < 0 ||
        vorlix_add_export("/one", (root + "/one.txt").c_str(), nullptr) < 0 ||
        vorlix_add_export("/lan", (root + "/lan").c_str(), "10.0.0.0/8") < 0) {
      fprintf(stderr, "fuzz: exports: %s\n", vorlix_last_error());
      return false;
    }
    // Building a handle remembers its path, so that no handle of the tree
    // needs a recovery walk.
    unsigned char fh[32];
    for (const char* rel : FUZZ_DATA_PATHS) {
      if (vorlix_fh_for("/data", rel, fh, sizeof fh) != 32) return false;
    }
    return vorlix_fh_for("/one", "", fh, sizeof fh) == 32 && vorlix_fh_for("/lan", "", fh, sizeof fh) == 32 &&
           vorlix_fh_for("/lan", "lan.txt", fh, sizeof fh) == 32;
  }();
  return ready;
}

std::string fuzz_handle(const char* export_path, const char* rel) {
  unsigned char fh[32];
  if (vorlix_fh_for(export_path, rel, fh, sizeof fh) != 32) return "";
  return std::string(reinterpret_cast<const char*>(fh), sizeof fh);
}

void fuzz_remove_all_exports() {
  std::vector<std::string> paths;
  {
    const exports_locked table;
    for (int i = 0; i < table.count; i++) {
      if (!table.recs[i].removed) paths.emplace_back(table.recs[i].path);
    }
  }
  for (const std::string& p : paths) (void)vorlix_remove_export(p.c_str());
}
