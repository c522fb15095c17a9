// Reading the configuration file into command-line arguments.
#include "cli/config_file.h"

#include "plat/plat.h"

namespace {

// The largest configuration file read: far more than any real one.
constexpr int64_t kMaxFile = 1 << 20;

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

}  // namespace

std::string config_file_name(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

int config_file_text(const char* path, std::string* out, std::string* why) {
  plat_file* f = plat_fopen_read(path);
  if (f == nullptr) {
    char reason[256];
    plat_last_failure_text(reason, sizeof reason);
    *why = std::string(path) + ": cannot be read (" + reason + ")";
    return -1;
  }
  std::string text(static_cast<size_t>(kMaxFile) + 1, '\0');
  const int64_t n = plat_fread_at(f, 0, text.data(), static_cast<uint64_t>(kMaxFile) + 1);
  plat_fclose(f);
  if (n < 0 || n > kMaxFile) {
    *why = std::string(path) + (n < 0 ? ": cannot be read" : ": larger than 1 MiB; is it the right file?");
    return -1;
  }
  text.resize(static_cast<size_t>(n));
  *out = text;
  return 0;
}

int config_file_parse(const std::string& file_text, const std::string& path, config_args* out, std::string* why) {
  std::string text = file_text;
  // A byte order mark, as Windows editors may write, is not part of the
  // first line.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  config_args got;
  int line_no = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = trim(text.substr(at, end - at));
    at = end + 1;
    line_no++;
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = line.find_first_of(" \t");
    const std::string name = line.substr(0, blank);
    if (name.compare(0, 2, "--") == 0) {
      *why = config_file_name(path) + ":" + std::to_string(line_no) + ": write the option without its dashes: " +
             name.substr(2);
      return -1;
    }
    // One argument per line ("--NAME=VALUE"), so that a value is never
    // taken from the next line.
    got.args.push_back("--" + name + (blank == std::string::npos ? "" : "=" + trim(line.substr(blank))));
    got.lines.push_back(line_no);
  }
  *out = got;
  return 0;
}

int config_file_read(const char* path, config_args* out, std::string* why) {
  std::string text;
  if (config_file_text(path, &text, why) != 0) return -1;
  return config_file_parse(text, path, out, why);
}
