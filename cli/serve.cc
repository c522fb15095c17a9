// The serve command: options, start-up lines, and the control console on
// standard input, which runs until "quit" or an interrupt.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "plat/plat.h"
#include "vorlix.h"

namespace {

constexpr int kMaxExports = 64;
constexpr int kLastSlot = 63;

volatile std::sig_atomic_t g_quit = 0;

void on_sig(int) { g_quit = 1; }

struct export_opt {
  std::string path;
  std::string local;
  bool has_allow = false;
  std::string allow;
};

// Options that set a configuration key, in the order they are applied; a
// refused value ends the command with "KEY: MESSAGE".
struct config_opt {
  const char* option;
  const char* key;
};
constexpr config_opt kConfigOpts[] = {
    {"--secret", "secret"},
    {"--max-connections", "max_connections"},
    {"--max-per-client", "max_per_client"},
    {"--idle-timeout", "idle_timeout_ms"},
    {"--read-timeout", "read_timeout_ms"},
};
constexpr size_t kConfigCount = sizeof kConfigOpts / sizeof kConfigOpts[0];

struct serve_opts {
  const char* bind = nullptr;
  int nfs_port = 0;
  int mount_port = 0;
  int portmap_port = 0;
  const char* config[kConfigCount] = {};  // values of kConfigOpts; null when not given
  std::vector<export_opt> exports;
};

// The row of kConfigOpts for the option name, or -1.
int config_opt_of(const char* name) {
  for (size_t i = 0; i < kConfigCount; i++) {
    if (strcmp(name, kConfigOpts[i].option) == 0) return static_cast<int>(i);
  }
  return -1;
}

// Reads a number the way atoi does (text that is not a number gives 0).
int read_int(const char* s) { return static_cast<int>(strtol(s, nullptr, 10)); }

// Splits "left=right" at the first "="; false when there is none.
bool split_eq(const std::string& s, std::string* left, std::string* right) {
  const size_t eq = s.find('=');
  if (eq == std::string::npos) return false;
  *left = s.substr(0, eq);
  *right = s.substr(eq + 1);
  return true;
}

// 0 when the options were read; otherwise the exit code (usage: 2).
int parse_opts(int argc, char** argv, serve_opts* o) {
  if (argc == 0) return usage();
  for (int i = 0; i < argc; i += 2) {
    const char* name = argv[i];
    if (i + 1 >= argc) return usage();
    const char* val = argv[i + 1];
    const int config = config_opt_of(name);
    if (config >= 0) {
      o->config[config] = val;
    } else if (strcmp(name, "--bind") == 0) {
      o->bind = val;
    } else if (strcmp(name, "--nfs-port") == 0) {
      o->nfs_port = read_int(val);
    } else if (strcmp(name, "--mount-port") == 0) {
      o->mount_port = read_int(val);
    } else if (strcmp(name, "--portmap") == 0) {
      o->portmap_port = read_int(val);
    } else if (strcmp(name, "--export") == 0) {
      export_opt e;
      if (!split_eq(val, &e.path, &e.local) || static_cast<int>(o->exports.size()) == kMaxExports) return usage();
      o->exports.push_back(e);
    } else if (strcmp(name, "--allow") == 0) {
      std::string path, list;
      if (o->exports.empty() || !split_eq(val, &path, &list)) return usage();
      for (export_opt& e : o->exports) {
        if (e.path != path) continue;
        e.has_allow = true;
        e.allow = list;
      }
    } else {
      return usage();
    }
  }
  return o->bind == nullptr ? usage() : 0;
}

void emit(const std::string& s) {
  fwrite(s.data(), 1, s.size(), stdout);
  fflush(stdout);
}

// Reads a JSON string literal that starts at s[i] (the opening quote) as the
// export listing writes it; false when it is malformed.
bool json_string_at(const std::string& s, size_t i, std::string* out) {
  if (i >= s.size() || s[i] != '"') return false;
  out->clear();
  for (i++; i < s.size(); i++) {
    char c = s[i];
    if (c == '"') return true;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i >= s.size()) return false;
    switch (s[i]) {
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'b': out->push_back('\b'); break;
      case 'f': out->push_back('\f'); break;
      case 'u':
        if (i + 4 >= s.size()) return false;
        out->push_back(static_cast<char>(strtol(s.substr(i + 1, 4).c_str(), nullptr, 16)));
        i += 4;
        break;
      default: out->push_back(s[i]);
    }
  }
  return false;
}

// The value of a string member of an export's JSON text.
bool json_member(const std::string& json, const char* key, std::string* out) {
  const std::string k = std::string("\"") + key + "\":";
  const size_t at = json.find(k);
  return at != std::string::npos && json_string_at(json, at + k.size(), out);
}

// The local path of the live export with that export path, as the export
// table keeps it; false when there is none.
bool local_of(const std::string& path, std::string* local) {
  for (int i = 0; i <= kLastSlot; i++) {
    const std::string json = vorlix_export_json(i);
    std::string p;
    if (json.empty() || !json_member(json, "path", &p) || p != path) continue;
    return json_member(json, "local", local);
  }
  return false;
}

void console_allow(const std::string& rest, std::string* out) {
  std::string path, list;
  if (!split_eq(rest, &path, &list)) {
    *out += "?\n";
    return;
  }
  if (path.size() > 1023) path.resize(1023);
  std::string local;
  if (!local_of(path, &local) || vorlix_remove_export(path.c_str()) != 0) {
    *out += "allow: no such export\n";
    return;
  }
  const int r = vorlix_add_export(path.c_str(), local.c_str(), list.c_str());
  *out += "allow " + std::to_string(r) + " " + vorlix_last_error() + "\n";
}

bool starts_with(const std::string& s, const char* p) { return s.compare(0, strlen(p), p) == 0; }

}  // namespace

int serve_check_opts(int argc, char** argv, int* has_secret) {
  serve_opts o;
  const int rc = parse_opts(argc, argv, &o);
  *has_secret = rc == 0 && o.config[config_opt_of("--secret")] != nullptr;
  return rc;
}

void serve_request_stop() { g_quit = 1; }

void print_exports(std::string* out) {
  const int total = vorlix_export_count();
  int printed = 0;
  for (int i = 0; i <= kLastSlot && printed < total; i++) {
    const char* json = vorlix_export_json(i);
    if (json[0] == 0) continue;
    *out += "export " + std::to_string(i) + " " + json + "\n";
    printed++;
  }
}

int console_line(const std::string& raw, std::string* out) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  if (line.empty()) return 0;
  if (line == "quit") return 1;
  if (line == "status") {
    char head[128];
    snprintf(head, sizeof head, "running=%d nfs=%d mount=%d clients=%d\n", vorlix_is_running(), vorlix_nfs_port(),
             vorlix_mount_port(), vorlix_client_count());
    *out += head;
    *out += vorlix_stats_json();
    *out += "\n";
  } else if (line == "exports") {
    print_exports(out);
  } else if (starts_with(line, "add ")) {
    std::string path, local;
    if (!split_eq(line.substr(4), &path, &local)) {
      *out += "?\n";
      return 0;
    }
    const int r = vorlix_add_export(path.c_str(), local.c_str(), nullptr);
    *out += "add " + std::to_string(r) + " " + vorlix_last_error() + "\n";
  } else if (starts_with(line, "allow ")) {
    console_allow(line.substr(6), out);
  } else if (starts_with(line, "remove ")) {
    const int r = vorlix_remove_export(line.c_str() + 7);
    *out += "remove " + std::to_string(r) + " " + vorlix_last_error() + "\n";
  } else {
    *out += "?\n";
  }
  return 0;
}

int cmd_serve(int argc, char** argv) {
  serve_opts o;
  const int rc = parse_opts(argc, argv, &o);
  if (rc != 0) return rc;
  for (size_t i = 0; i < kConfigCount; i++) {
    if (o.config[i] != nullptr && vorlix_config(kConfigOpts[i].key, o.config[i]) != 0) {
      fprintf(stderr, "%s: %s\n", kConfigOpts[i].key, vorlix_last_error());
      return 1;
    }
  }
  for (const export_opt& e : o.exports) {
    if (vorlix_add_export(e.path.c_str(), e.local.c_str(), e.has_allow ? e.allow.c_str() : nullptr) < 0) {
      fprintf(stderr, "export %s: %s\n", e.path.c_str(), vorlix_last_error());
      return 1;
    }
  }
  if (vorlix_start(o.bind, o.nfs_port, o.mount_port, o.portmap_port) != 0) {
    fprintf(stderr, "start: %s\n", vorlix_last_error());
    return 1;
  }
  // The handler is in place before the listening line goes out, so that a
  // controller that waits for that line and then signals gets a clean stop.
  plat_on_interrupt(on_sig);
  // A controller that stops reading the console's answers must not end the
  // server: the answer is lost, the server goes on serving.
  plat_ignore_broken_pipe();
  std::string out;
  char head[256];
  snprintf(head, sizeof head, "listening %s nfs=%d mount=%d portmap=%d exports=%d\n", o.bind, vorlix_nfs_port(),
           vorlix_mount_port(), vorlix_portmap_port(), vorlix_export_count());
  out = head;
  print_exports(&out);
  emit(out);
  // Lines are gathered whole, whatever their length, and only a complete
  // line (or the last one at the end of input) is carried out.
  std::string pending;
  bool at_end = false;
  while (!g_quit) {
    char buf[4096];
    const int64_t n = at_end ? 0 : plat_stdin_read(buf, sizeof buf, 200);
    if (n == -2) continue;
    if (n <= 0) {
      if (n == 0) at_end = true;
      if (!pending.empty() && at_end) {
        out.clear();
        const int quit = console_line(pending, &out);
        pending.clear();
        emit(out);
        if (quit) break;
      }
      plat_sleep_ms(100);
      continue;
    }
    pending.append(buf, static_cast<size_t>(n));
    bool quit = false;
    size_t nl;
    while (!quit && (nl = pending.find('\n')) != std::string::npos) {
      out.clear();
      quit = console_line(pending.substr(0, nl), &out) != 0;
      pending.erase(0, nl + 1);
      emit(out);
    }
    if (quit) break;
  }
  vorlix_stop();
  return 0;
}
