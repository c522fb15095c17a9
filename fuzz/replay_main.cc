// Replays saved inputs through a fuzz target's entry function, without the
// fuzzing engine: fuzz_replay PATH... where each path is an input file or a
// folder of them (names starting with "." are skipped, a missing folder is
// no input). An input that breaks a check ends the program abnormally.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr size_t kMaxInput = 1048576;

bool read_all(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && out->size() <= kMaxInput) out->insert(out->end(), buf, buf + n);
  fclose(f);
  return out->size() <= kMaxInput;
}

// The input files a path names, in name order.
std::vector<std::string> inputs_of(const std::string& path) {
  std::vector<std::string> files;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return files;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return files;
  }
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return files;
  for (struct dirent* e; (e = readdir(d)) != nullptr;) {
    if (e->d_name[0] == '.') continue;
    const std::string f = path + "/" + e->d_name;
    if (stat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(f);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  int failed = 0;
  for (int i = 1; i < argc; i++) {
    for (const std::string& f : inputs_of(argv[i])) {
      std::vector<uint8_t> data;
      if (!read_all(f, &data)) {
        fprintf(stderr, "cannot read %s\n", f.c_str());
        failed++;
        continue;
      }
      fprintf(stderr, "replay %s (%zu bytes)\n", f.c_str(), data.size());
      // Like the fuzzing engine, an empty input still comes with a pointer.
      static const uint8_t kNone = 0;
      LLVMFuzzerTestOneInput(data.empty() ? &kNone : data.data(), data.size());
      replayed++;
    }
  }
  printf("replayed %d inputs, %d unreadable\n", replayed, failed);
  return failed == 0 ? 0 : 1;
}
