// Reading and changing the export lines of a configuration file's text.
#include "cli/admin_config.h"

namespace {

// One line of the text: its content without the line end, and the line end.
struct line {
  std::string body;
  std::string end;
};

std::vector<line> split_lines(const std::string& text) {
  std::vector<line> out;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    const bool last = nl == std::string::npos;
    if (last) nl = text.size();
    line l{text.substr(at, nl - at), last ? "" : "\n"};
    // "\r\n" ends a line as "\n" does; a lone '\r' at the very end does
    // not, so that a line added after it starts a line of its own.
    if (!last && !l.body.empty() && l.body.back() == '\r') {
      l.body.pop_back();
      l.end = "\r" + l.end;
    }
    out.push_back(l);
    at = nl + 1;
  }
  return out;
}

std::string join_lines(const std::vector<line>& lines) {
  std::string out;
  for (const line& l : lines) out += l.body + l.end;
  return out;
}

// The line end the file uses: "\r\n" when its first line ends so.
std::string line_end_of(const std::vector<line>& lines) {
  return !lines.empty() && lines[0].end == "\r\n" ? "\r\n" : "\n";
}

// Without surrounding blanks, as the configuration file reader reads a line.
std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// Reads "NAME /p=VALUE" (as the configuration file reader does: the name up
// to the first blank, the rest trimmed); false for other lines.
bool option_line(const std::string& body, const char* name, std::string* path, std::string* value) {
  const std::string t = trim(body);
  if (t.empty() || t[0] == '#') return false;
  const size_t blank = t.find_first_of(" \t");
  if (blank == std::string::npos || t.compare(0, blank, name) != 0 || blank != std::string(name).size()) {
    return false;
  }
  const std::string rest = trim(t.substr(blank));
  const size_t eq = rest.find('=');
  if (eq == std::string::npos) return false;
  *path = rest.substr(0, eq);
  *value = rest.substr(eq + 1);
  return true;
}

bool names_export(const std::vector<line>& lines, const std::string& path) {
  std::string p, v;
  for (const line& l : lines) {
    if (option_line(l.body, "export", &p, &v) && p == path) return true;
  }
  return false;
}

// The lines without the allow lines of path (and without its export lines
// too when drop_export).
std::vector<line> without(const std::vector<line>& lines, const std::string& path, bool drop_export) {
  std::vector<line> out;
  std::string p, v;
  for (const line& l : lines) {
    if (option_line(l.body, "allow", &p, &v) && p == path) continue;
    if (drop_export && option_line(l.body, "export", &p, &v) && p == path) continue;
    out.push_back(l);
  }
  return out;
}

// Makes sure the last line has its line end, so that a line can follow.
void end_last_line(std::vector<line>* lines) {
  if (!lines->empty() && lines->back().end.empty()) lines->back().end = line_end_of(*lines);
}

bool no_export(const std::string& path, std::string* why) {
  *why = "there is no export " + path + " in the configuration file";
  return false;
}

}  // namespace

std::vector<admin_export> admin_config_exports(const std::string& text) {
  const std::vector<line> lines = split_lines(text);
  std::vector<admin_export> out;
  std::string p, v;
  for (const line& l : lines) {
    if (!option_line(l.body, "export", &p, &v)) continue;
    bool replaced = false;
    for (admin_export& x : out) {
      if (x.path != p) continue;
      x.folder = v;
      replaced = true;
    }
    if (!replaced) out.push_back({p, v, ""});
  }
  // An allow line may stand before or after its export; the last one wins.
  for (const line& l : lines) {
    if (!option_line(l.body, "allow", &p, &v)) continue;
    for (admin_export& x : out) {
      if (x.path == p) x.allow = v;
    }
  }
  return out;
}

bool admin_config_add(const std::string& text, const admin_export& x, std::string* out, std::string* why) {
  std::vector<line> lines = split_lines(text);
  if (names_export(lines, x.path)) {
    *why = "there is an export " + x.path + " already; choose another name, or change that one";
    return false;
  }
  lines = without(lines, x.path, false);
  end_last_line(&lines);
  const std::string end = line_end_of(lines);
  lines.push_back({"export " + x.path + "=" + x.folder, end});
  if (!x.allow.empty()) lines.push_back({"allow " + x.path + "=" + x.allow, end});
  *out = join_lines(lines);
  return true;
}

bool admin_config_set_allow(const std::string& text, const std::string& path, const std::string& allow,
                            std::string* out, std::string* why) {
  std::vector<line> lines = split_lines(text);
  if (!names_export(lines, path)) return no_export(path, why);
  lines = without(lines, path, false);
  if (!allow.empty()) {
    // Right after the export's (last) line.
    size_t at = 0;
    std::string p, v;
    for (size_t i = 0; i < lines.size(); i++) {
      if (option_line(lines[i].body, "export", &p, &v) && p == path) at = i;
    }
    end_last_line(&lines);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at) + 1, {"allow " + path + "=" + allow, line_end_of(lines)});
  }
  *out = join_lines(lines);
  return true;
}

bool admin_config_remove(const std::string& text, const std::string& path, std::string* out, std::string* why) {
  const std::vector<line> lines = split_lines(text);
  if (!names_export(lines, path)) return no_export(path, why);
  *out = join_lines(without(lines, path, true));
  return true;
}
