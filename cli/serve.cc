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

// The port options and the start argument each fills.
enum port_arg { kNfsPort, kMountPort, kPortmap, kPortCount };
constexpr const char* kPortOpts[kPortCount] = {"--nfs-port", "--mount-port", "--portmap"};

struct serve_opts {
  std::string bind;  // the --bind values joined by commas; empty when none was given
  bool portmap_auto = false;
  int ports[kPortCount] = {};
  const char* config[kConfigCount] = {};  // values of kConfigOpts; null when not given
  const char* secret_file = nullptr;
  bool console = true;
  std::vector<export_opt> exports;
};

// The row of kConfigOpts for the option name, or -1.
int config_opt_of(const std::string& name) {
  for (size_t i = 0; i < kConfigCount; i++) {
    if (name == kConfigOpts[i].option) return static_cast<int>(i);
  }
  return -1;
}

// The port option's index in kPortOpts, or -1.
int port_opt_of(const std::string& name) {
  for (int i = 0; i < kPortCount; i++) {
    if (name == kPortOpts[i]) return i;
  }
  return -1;
}

// Reads a port: a whole decimal number 0..65535 and nothing else.
bool read_port(const char* s, int* out) {
  if (s[0] == 0 || strlen(s) > 5) return false;
  int v = 0;
  for (const char* c = s; *c; c++) {
    if (*c < '0' || *c > '9') return false;
    v = v * 10 + (*c - '0');
  }
  if (v > 65535) return false;
  *out = v;
  return true;
}

// Splits "left=right" at the first "="; false when there is none.
bool split_eq(const std::string& s, std::string* left, std::string* right) {
  const size_t eq = s.find('=');
  if (eq == std::string::npos) return false;
  *left = s.substr(0, eq);
  *right = s.substr(eq + 1);
  return true;
}

// Says what is wrong with the options on one line, then prints the usage
// text; returns 2.
int refuse(const std::string& why) {
  fprintf(stderr, "serve: %s\n", why.c_str());
  return usage();
}

// 0 when the options were read; otherwise the exit code (usage: 2), after a
// line that says what is wrong. Options take their value as the next
// argument or after "=" (--nfs-port=2049). Allow lists may come before or
// after their export; each must name an export of the command line.
int parse_opts(int argc, char** argv, serve_opts* o) {
  if (argc == 0) return refuse("missing --bind IP (the address to serve on, for example 127.0.0.1)");
  std::vector<std::pair<std::string, std::string>> allows;
  for (int i = 0; i < argc; i++) {
    std::string name = argv[i];
    std::string val;
    bool has_val = false;
    const size_t eq = name.find('=');
    if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      val = name.substr(eq + 1);
      name.resize(eq);
      has_val = true;
    }
    if (name == "--no-console") {
      if (has_val) return refuse("--no-console takes no value");
      o->console = false;
      continue;
    }
    const int config = config_opt_of(name);
    const int port = port_opt_of(name);
    const bool known = config >= 0 || port >= 0 || name == "--bind" || name == "--export" || name == "--allow" ||
                       name == "--secret-file";
    if (!known) return refuse("unknown option: " + name);
    if (!has_val) {
      if (i + 1 >= argc) return refuse(name + " needs a value");
      val = argv[++i];
    }
    // The value lives in argv (or in the option's own argument after "=").
    const char* text = has_val ? argv[i] + eq + 1 : argv[i];
    if (config >= 0) {
      o->config[config] = text;
    } else if (port == kPortmap && strcmp(text, "auto") == 0) {
      o->portmap_auto = true;
    } else if (port >= 0) {
      if (port == kPortmap) o->portmap_auto = false;
      if (!read_port(text, &o->ports[port])) {
        return refuse(name + " " + val + ": not a port number (a whole number 0..65535; 0 keeps the default" +
                      (port == kPortmap ? "; auto: 111 when free, else the host's rpcbind)" : ")"));
      }
    } else if (name == "--bind") {
      if (!o->bind.empty()) o->bind += ",";
      o->bind += text;
    } else if (name == "--secret-file") {
      o->secret_file = text;
    } else if (name == "--export") {
      export_opt e;
      if (!split_eq(val, &e.path, &e.local)) return refuse("--export " + val + ": expected /path=FOLDER_OR_FILE");
      if (static_cast<int>(o->exports.size()) == kMaxExports) {
        return refuse("too many --export options (at most " + std::to_string(kMaxExports) + ")");
      }
      o->exports.push_back(e);
    } else {
      std::string path, list;
      if (!split_eq(val, &path, &list)) return refuse("--allow " + val + ": expected /path=CIDRS");
      allows.emplace_back(path, list);
    }
  }
  // The last --allow of a path wins, wherever it stands.
  for (const auto& [path, list] : allows) {
    bool named = false;
    for (export_opt& e : o->exports) {
      if (e.path != path) continue;
      named = true;
      e.has_allow = true;
      e.allow = list;
    }
    if (!named) return refuse("--allow " + path + ": no --export names " + path);
  }
  if (o->config[config_opt_of("--secret")] != nullptr && o->secret_file != nullptr) {
    return refuse("give --secret or --secret-file, not both");
  }
  if (o->bind.empty()) return refuse("missing --bind IP (the address to serve on, for example 127.0.0.1)");
  return 0;
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
    *out += "allow: expected allow /path=CIDRS (empty after = for this machine only)\n";
    return;
  }
  // The list is checked whole before anything changes: on any error the
  // export stays as it was, with its handles.
  const int r = vorlix_set_allow(path.c_str(), list.c_str());
  if (r == -4) {
    *out += "allow: no such export\n";
    return;
  }
  *out += "allow " + std::to_string(r) + " " + vorlix_last_error() + "\n";
}

// The rule an export path breaks, in words, or "" when it breaks none that
// is known here.
std::string export_path_rule(const std::string& p) {
  if (p.empty() || p[0] != '/') return "an export path starts with '/' (for example /movies)";
  if (p.size() > 1023) return "an export path is at most 1023 characters long";
  for (unsigned char c : p) {
    if (c >= 0x80) return "an export path is plain ASCII (letters, digits, punctuation): no accented or other letters";
    if (c < 0x20 || c == 0x7F) return "an export path holds no control characters";
    if (c == '\\') return "an export path uses '/' between its parts, never '\\'";
  }
  if (p.size() > 1 && p.back() == '/') return "an export path does not end with '/' (write /m, not /m/)";
  if ((p + "/").find("/../") != std::string::npos) return "an export path holds no '..' part";
  return "";
}

// A warning line when the export's local folder or file cannot be read by
// this process: clients could mount it and see nothing.
void warn_if_unreadable(const std::string& path, std::string* out) {
  std::string local;
  if (!local_of(path, &local)) return;
  bool readable;
  if (plat_dir* d = plat_opendir(local.c_str())) {
    plat_closedir(d);
    readable = true;
  } else if (plat_file* f = plat_fopen_read(local.c_str())) {
    plat_fclose(f);
    readable = true;
  } else {
    readable = false;
  }
  if (!readable) {
    *out += "warning: " + path + ": " + local +
            " cannot be read by this server's account; clients will be refused (NFS3ERR_ACCES) until it can\n";
  }
}

bool starts_with(const std::string& s, const char* p) { return s.compare(0, strlen(p), p) == 0; }

constexpr char kConsoleHelp[] =
    "commands:\n"
    "  status                 counters and whether the server runs\n"
    "  exports                the exports, one line each\n"
    "  add /p=FOLDER_OR_FILE  export a folder or file as /p (this machine only)\n"
    "  allow /p=CIDRS         who may mount /p: a.b.c.d, a.b.c.d/n, fd00::/8, * (everyone),\n"
    "                         comma-separated;\n"
    "                         empty for this machine only; open handles stay valid\n"
    "  remove /p              stop exporting /p\n"
    "  help                   this list\n"
    "  quit                   stop the server and end\n";


// True when every address of the bind text is a loopback one: then "this
// machine only" is what can reach the server anyway.
bool loopback_only(const std::string& bind) {
  size_t at = 0;
  while (at <= bind.size()) {
    size_t comma = bind.find(',', at);
    if (comma == std::string::npos) comma = bind.size();
    const std::string a = bind.substr(at, comma - at);
    if (a != "::1" && a.rfind("127.", 0) != 0) return false;
    at = comma + 1;
  }
  return true;
}

// One line when the server listens beyond loopback and an export has no
// allow list: other machines reach it but may not mount it.
void warn_this_machine_only(const serve_opts& o, std::string* out) {
  if (loopback_only(o.bind)) return;
  std::string paths;
  for (const export_opt& e : o.exports) {
    if (!e.has_allow || e.allow.empty()) paths += (paths.empty() ? "" : ", ") + e.path;
  }
  if (paths.empty()) return;
  *out += "note: only this machine (its own addresses) can mount " + paths +
          ": give --allow PATH=NETWORKS (such as 192.168.1.0/24, fd00::/8, or * for everyone) to let other "
          "machines mount\n";
}

// Below this many bytes a secret is easy to guess, and so are handles.
constexpr size_t kShortSecret = 16;

// A warning line for a secret that is given but empty or short.
void warn_short_secret(const char* secret) {
  const size_t n = strlen(secret);
  if (n == 0) {
    fputs("warning: the secret is empty, so a new one is made at each start and clients' handles go stale "
          "when the server restarts; give a secret of 16 bytes or more to keep them\n",
          stderr);
  } else if (n < kShortSecret) {
    fprintf(stderr,
            "warning: the secret is %zu bytes long; handles stay valid across restarts, but a secret under %zu "
            "bytes can be guessed, and with it handles to any file of an export (make one with: "
            "head -c 32 /dev/urandom | base64)\n",
            n, kShortSecret);
  }
}

// Why the start failed and what to do, when the failure was a listener
// that could not be opened ("bind nfs 2049 failed"); "" otherwise.
std::string explain_start_failure(const std::string& error) {
  char which[16];
  char bind[64] = "";
  int port = 0;
  if (sscanf(error.c_str(), "bind %15s %d failed (%63[^)])", which, &port, bind) != 3) return "";
  std::string option = "--portmap";
  if (strcmp(which, "nfs") == 0) option = "--nfs-port";
  if (strcmp(which, "mount") == 0) option = "--mount-port";
  const std::string p = std::to_string(port);
  char reason[256] = "";
  switch (plat_bind_probe(bind, port, reason, sizeof reason)) {
    case PLAT_BIND_IN_USE:
      return "port " + p + " is in use (another NFS server, or an rpcbind?): choose another with " + option;
    case PLAT_BIND_NOT_LOCAL:
      return std::string(bind) + " is not an address of this machine: give one of its own addresses, 0.0.0.0 or :: " +
             "with --bind";
    case PLAT_BIND_DENIED:
      return "port " + p + " may not be used by this account (" + reason +
             "): choose a port of 1024 or more with " + option + ", or give the account the right to bind it";
    case PLAT_BIND_FREE:
      return "port " + p + " (" + which + ") could not be opened then, but can be now: try again";
    default:
      return std::string("the system says: ") + reason;
  }
}

}  // namespace

bool read_secret_file(const char* path, std::string* secret) {
  plat_file* f = plat_fopen_read(path);
  if (f == nullptr) return false;
  char buf[4096];
  const int64_t n = plat_fread_at(f, 0, buf, sizeof buf);
  plat_fclose(f);
  if (n < 0) return false;
  secret->assign(buf, static_cast<size_t>(n));
  const size_t end = secret->find_first_of("\r\n");
  if (end != std::string::npos) secret->resize(end);
  return true;
}

int serve_check_opts(int argc, char** argv, int* has_secret) {
  serve_opts o;
  const int rc = parse_opts(argc, argv, &o);
  *has_secret = rc == 0 && (o.config[config_opt_of("--secret")] != nullptr || o.secret_file != nullptr);
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
  } else if (line == "help") {
    *out += kConsoleHelp;
  } else if (line == "add" || starts_with(line, "add ")) {
    std::string path, local;
    if (line.size() < 4 || !split_eq(line.substr(4), &path, &local)) {
      *out += "add: expected add /path=FOLDER_OR_FILE\n";
      return 0;
    }
    const int r = vorlix_add_export(path.c_str(), local.c_str(), nullptr);
    *out += "add " + std::to_string(r) + " " + vorlix_last_error() + "\n";
    if (r >= 0) warn_if_unreadable(path, out);
  } else if (line == "allow" || starts_with(line, "allow ")) {
    console_allow(line.size() < 6 ? "" : line.substr(6), out);
  } else if (starts_with(line, "remove ") && line.size() > 7) {
    const int r = vorlix_remove_export(line.c_str() + 7);
    *out += "remove " + std::to_string(r) + " " + vorlix_last_error() + "\n";
  } else if (line == "remove" || line == "remove ") {
    *out += "remove: expected remove /path\n";
  } else {
    *out += "unknown command: " + line + " (help lists the commands)\n";
  }
  return 0;
}
int cmd_serve(int argc, char** argv) {
  serve_opts o;
  const int rc = parse_opts(argc, argv, &o);
  if (rc != 0) return rc;
  std::string secret;
  if (o.secret_file != nullptr) {
    if (!read_secret_file(o.secret_file, &secret)) {
      fprintf(stderr, "--secret-file %s: cannot be read (missing, or not readable by this user)\n", o.secret_file);
      return 1;
    }
    o.config[config_opt_of("--secret")] = secret.c_str();
  }
  for (size_t i = 0; i < kConfigCount; i++) {
    if (o.config[i] != nullptr && vorlix_config(kConfigOpts[i].key, o.config[i]) != 0) {
      fprintf(stderr, "%s: %s\n", kConfigOpts[i].key, vorlix_last_error());
      return 1;
    }
  }
  if (const char* given = o.config[config_opt_of("--secret")]) warn_short_secret(given);
  std::string warnings;
  for (const export_opt& e : o.exports) {
    if (vorlix_add_export(e.path.c_str(), e.local.c_str(), e.has_allow ? e.allow.c_str() : nullptr) < 0) {
      fprintf(stderr, "export %s: %s\n", e.path.c_str(), vorlix_last_error());
      const std::string rule = vorlix_last_code() == -1 ? export_path_rule(e.path) : "";
      if (!rule.empty()) fprintf(stderr, "  %s\n", rule.c_str());
      return 1;
    }
    warn_if_unreadable(e.path, &warnings);
  }
  fputs(warnings.c_str(), stderr);
  warnings.clear();
  const int portmap = o.portmap_auto ? VORLIX_PORTMAP_AUTO : o.ports[kPortmap];
  if (vorlix_start(o.bind.c_str(), o.ports[kNfsPort], o.ports[kMountPort], portmap) != 0) {
    fprintf(stderr, "start: %s\n", vorlix_last_error());
    const std::string why = explain_start_failure(vorlix_last_error());
    if (!why.empty()) fprintf(stderr, "  %s\n", why.c_str());
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
  snprintf(head, sizeof head, "listening %s nfs=%d mount=%d portmap=%d exports=%d\n", o.bind.c_str(),
           vorlix_nfs_port(), vorlix_mount_port(), vorlix_portmap_port(), vorlix_export_count());
  out = head;
  if (vorlix_portmap_note()[0] != 0) fprintf(stderr, "%s\n", vorlix_portmap_note());
  warn_this_machine_only(o, &warnings);
  fputs(warnings.c_str(), stderr);
  print_exports(&out);
  emit(out);
  // Run as a service, it is reported running only now, its listeners bound.
  plat_service_ready();
  if (!o.console) {
    // Detached: standard input is never read, so a terminal cannot stop the
    // server for reading it, and a hang-up does not end it.
    plat_ignore_hangup();
    while (!g_quit) plat_sleep_ms(100);
    vorlix_stop();
    return 0;
  }
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
