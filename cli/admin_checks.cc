// The request checks of the settings page and the parsing they rest on.
#include "cli/admin_checks.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

admin_check_result refused(int status, const std::string& why) { return {ADMIN_REFUSED, status, why}; }

std::string page_address(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

// Splits a path at the separators given, dropping empty parts; false when
// a part is "." or "..".
bool path_parts(const std::string& rest, const char* seps, std::vector<std::string>* parts) {
  std::string part;
  for (size_t i = 0; i <= rest.size(); i++) {
    const bool sep = i == rest.size() || std::string(seps).find(rest[i]) != std::string::npos;
    if (!sep) {
      part += rest[i];
      continue;
    }
    if (part == "." || part == "..") return false;
    if (!part.empty()) parts->push_back(part);
    part.clear();
  }
  return true;
}

}  // namespace

bool admin_same_secret(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); i++) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool admin_host_ok(const std::string& host, int port) {
  const std::string want_port = ":" + std::to_string(port);
  if (host.size() <= want_port.size() || host.compare(host.size() - want_port.size(), want_port.size(), want_port) != 0) {
    return false;
  }
  std::string name = host.substr(0, host.size() - want_port.size());
  for (char& c : name) c = lower(c);
  return name == "127.0.0.1" || name == "[::1]" || name == "localhost";
}

bool admin_origin_ok(const std::string& origin, int port) {
  return origin.compare(0, 7, "http://") == 0 && admin_host_ok(origin.substr(7), port);
}

bool admin_url_decode(const std::string& in, std::string* out) {
  std::string got;
  got.reserve(in.size());
  for (size_t i = 0; i < in.size(); i++) {
    char c = in[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%') {
      if (i + 2 >= in.size()) return false;
      const int hi = hex_digit(in[i + 1]);
      const int lo = hex_digit(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == 0) return false;
    got += c;
  }
  *out = got;
  return true;
}

bool admin_form_field(const std::string& form, const std::string& name, std::string* out) {
  if (form.size() > kAdminMaxForm) return false;
  bool found = false;
  std::string value;
  for (size_t at = 0; at <= form.size();) {
    size_t end = form.find('&', at);
    if (end == std::string::npos) end = form.size();
    const std::string pair = form.substr(at, end - at);
    at = end + 1;
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    std::string key, v;
    if (!admin_url_decode(pair.substr(0, eq), &key)) return false;
    if (eq != std::string::npos && !admin_url_decode(pair.substr(eq + 1), &v)) return false;
    if (key != name) continue;
    if (found) return false;
    found = true;
    value = v;
  }
  if (found) *out = value;
  return found;
}

bool admin_cookie_value(const std::string& header, const std::string& name, std::string* out) {
  if (header.size() > kAdminMaxCookie) return false;
  for (size_t at = 0; at < header.size();) {
    size_t end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    std::string pair = header.substr(at, end - at);
    at = end + 1;
    const size_t a = pair.find_first_not_of(' ');
    if (a == std::string::npos) continue;
    pair.erase(0, a);
    while (!pair.empty() && pair.back() == ' ') pair.pop_back();
    const size_t eq = pair.find('=');
    if (eq == std::string::npos || pair.compare(0, eq, name) != 0 || eq != name.size()) continue;
    std::string v = pair.substr(eq + 1);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    *out = v;
    return true;
  }
  return false;
}

admin_check_result admin_check(const admin_request& r, const admin_keys& k) {
  if (!admin_host_ok(r.host, k.port)) {
    return refused(403, "refused: this page answers only at " + page_address(k.port) +
                            " (or [::1] or localhost with that port), not at the name \"" + r.host +
                            "\"; open the address the admin command printed");
  }
  if (!r.origin.empty() && !admin_origin_ok(r.origin, k.port)) {
    return refused(403, "refused: a request from another site (" + r.origin +
                            ") cannot use this page; open " + page_address(k.port) + " itself");
  }
  if (!r.fetch_site.empty() && r.fetch_site != "same-origin" && r.fetch_site != "none") {
    return refused(403, "refused: a request from another site (" + r.fetch_site +
                            ") cannot use this page; open " + page_address(k.port) + " itself");
  }
  const bool post = r.method == "POST";
  if (!post && r.method != "GET") return refused(405, "refused: only GET and POST are served here");
  if (post && r.origin.empty() && r.fetch_site != "same-origin") {
    return refused(403, "refused: a change must come from the page itself (the request named no origin)");
  }
  std::string cookie;
  const bool session = !k.session.empty() && admin_cookie_value(r.cookie, kAdminCookie, &cookie) &&
                       admin_same_secret(cookie, k.session);
  admin_verdict verdict = ADMIN_PASS;
  if (!session) {
    if (post || r.query_token.empty() || k.entry_used || !admin_same_secret(r.query_token, k.entry_token)) {
      return refused(403, r.query_token.empty() || post
                              ? "refused: no valid token; open the page through the address (with its token) "
                                "that the admin command printed"
                              : "refused: the token is wrong or was used already; start the admin command "
                                "again for a new address");
    }
    verdict = ADMIN_ENTER;
  }
  if (post) {
    std::string form;
    bool known = false;
    if (admin_form_field(r.body, kAdminFormField, &form)) {
      for (const std::string& f : k.forms) known = known || admin_same_secret(form, f);
    }
    if (!known) {
      return refused(403, "refused: the change did not carry this page's form token; reload the page and try "
                          "again");
    }
  }
  return {verdict, 200, ""};
}

bool admin_picker_path(const std::string& path, bool windows, std::string* clean, std::string* why) {
  if (path.size() > kAdminMaxPath) {
    *why = "the path is longer than " + std::to_string(kAdminMaxPath) + " characters";
    return false;
  }
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F) {
      *why = "the path holds a control character";
      return false;
    }
  }
  if (path.empty()) {
    *clean = "";
    return true;
  }
  std::vector<std::string> parts;
  std::string root;
  if (windows) {
    const char d = lower(path[0]);
    if (path.size() < 2 || d < 'a' || d > 'z' || path[1] != ':' ||
        (path.size() > 2 && path[2] != '\\' && path[2] != '/')) {
      *why = "a folder on Windows starts with its drive, as D:\\Films";
      return false;
    }
    if (path.find_first_of("<>:\"|?*", 2) != std::string::npos) {
      *why = "a Windows folder name holds none of < > : \" | ? *";
      return false;
    }
    root = path.substr(0, 2) + "\\";
    root[0] = static_cast<char>(root[0] - (root[0] >= 'a' ? 'a' - 'A' : 0));
    if (!path_parts(path.substr(2), "\\/", &parts)) {
      *why = "the path holds a \".\" or \"..\" part; give the folder itself";
      return false;
    }
  } else {
    if (path[0] != '/') {
      *why = "a folder is given by its full path, starting with /";
      return false;
    }
    root = "/";
    if (!path_parts(path, "/", &parts)) {
      *why = "the path holds a \".\" or \"..\" part; give the folder itself";
      return false;
    }
  }
  std::string out = root;
  for (size_t i = 0; i < parts.size(); i++) out += (i == 0 ? "" : windows ? "\\" : "/") + parts[i];
  *clean = out;
  return true;
}

std::string admin_picker_parent(const std::string& clean, bool windows) {
  const size_t root_len = windows ? 3 : 1;
  if (clean.size() <= root_len) return "";
  const size_t cut = clean.find_last_of(windows ? '\\' : '/');
  if (cut == std::string::npos) return "";
  return clean.substr(0, cut < root_len ? root_len : cut);
}

std::string admin_picker_join(const std::string& clean, const std::string& name, bool windows) {
  if (clean.empty()) return name;
  const char sep = windows ? '\\' : '/';
  return clean.back() == sep ? clean + name : clean + sep + name;
}
