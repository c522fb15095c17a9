// The serve command's console, line by line. While an input runs, the
// working folder is the temporary tree (see fuzz_tree.h), so that
// "add /p=data" and the like name real folders; the folder of the process is
// back in place between inputs. Each input starts from the one export /data
// and ends with every export removed. Input: up to 64 lines.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/cli.h"
#include "fuzz/fuzz_tree.h"
#include "vorlix.h"

namespace {

constexpr int kMaxLines = 64;

void expect(bool ok) {
  if (!ok) abort();
}

// The process's own working folder, opened once.
int home_folder() {
  static const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// The line as the console reads it: without trailing newlines, carriage
// returns and spaces.
std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& root = fuzz_tree_root();
  expect(!root.empty() && home_folder() >= 0 && chdir(root.c_str()) == 0);
  expect(vorlix_add_export("/data", "data", nullptr) >= 0);
  const std::string all(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  for (int n = 0; n < kMaxLines && at <= all.size(); n++) {
    size_t nl = all.find('\n', at);
    if (nl == std::string::npos) nl = all.size();
    const std::string line = all.substr(at, nl - at);
    at = nl + 1;
    std::string out;
    const int r = console_line(line, &out);
    expect(r == (trimmed(line) == "quit" ? 1 : 0));
    expect(out.empty() || out.back() == '\n');
    if (r == 1) break;
  }
  fuzz_remove_all_exports();
  expect(vorlix_export_count() == 0);
  expect(fchdir(home_folder()) == 0);
  return 0;
}
