// The serve command: options, start-up lines, and the control console on
// standard input, which runs until "quit" or an interrupt.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/config_file.h"
#include "plat/plat.h"
#include "vorlix.h"

namespace {

constexpr int kMaxExports = 64;
constexpr int kLastSlot = 63;

volatile std::sig_atomic_t g_quit = 0;
volatile std::sig_atomic_t g_reload = 0;

void on_sig(int) { g_quit = 1; }
void on_hup(int) { g_reload = 1; }

struct export_opt {
  std::string path;
  std::string local;
  bool has_allow = false;
  std::string allow;
  int at = -1;        // the argument that named it
  int allow_at = -1;  // the argument of its allow list
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

// The options that take a text of their own, each kept in serve_opts.
enum text_arg { kBind, kSecretFile, kConfigFile, kLogFile, kLogLevel, kStatusChannel, kTextCount };
constexpr const char* kTextOpts[kTextCount] = {"--bind", "--secret-file", "--config", "--log", "--log-level",
                                               "--status-channel"};

// An option's text, and whether it was given.
struct opt_text {
  bool given = false;
  std::string v;
};

struct serve_opts {
  opt_text text[kTextCount];
  bool portmap_auto = false;
  int ports[kPortCount] = {};
  opt_text config[kConfigCount];  // values of kConfigOpts
  bool console = true;
  std::vector<export_opt> exports;
};

// What is wrong with the options, and the argument at fault (-1: the set
// as a whole).
struct opt_error {
  std::string why;
  int at = -1;
};

// The row of kConfigOpts for the option name, or -1.
int config_opt_of(const std::string& name) {
  for (size_t i = 0; i < kConfigCount; i++) {
    if (name == kConfigOpts[i].option) return static_cast<int>(i);
  }
  return -1;
}

// The index of the name in a table of option names, or -1.
template <size_t N>
int opt_index(const char* const (&table)[N], const std::string& name) {
  for (size_t i = 0; i < N; i++) {
    if (name == table[i]) return static_cast<int>(i);
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

int fail_at(opt_error* e, int at, const std::string& why) {
  e->at = at;
  e->why = why;
  return 2;
}

// Reads the options of args into *o: 0, or 2 with *e saying what is wrong
// and where. The first file_count arguments come from the configuration
// file, one line each: an option there takes its value from its own line
// only, may not name another file, and an export of the command line
// replaces the file's export of the same path. Options take their value as
// the next argument or after "=" (--nfs-port=2049). Allow lists may come
// before or after their export; each must name an export.
int parse_opts(const std::vector<std::string>& args, size_t file_count, serve_opts* o, opt_error* e) {
  const int argc = static_cast<int>(args.size());
  if (argc == 0) return fail_at(e, -1, "missing --bind IP (the address to serve on, for example 127.0.0.1)");
  struct allow_opt {
    std::string path, list;
    int at;
  };
  std::vector<allow_opt> allows;
  bool bind_from_file = false;  // whether the --bind values so far are the file's
  for (int i = 0; i < argc; i++) {
    const bool in_file = static_cast<size_t>(i) < file_count;
    const int at = i;
    std::string name = args[i];
    std::string val;
    bool has_val = false;
    const size_t eq = name.find('=');
    if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      val = name.substr(eq + 1);
      name.resize(eq);
      has_val = true;
    }
    if (name == "--no-console") {
      if (has_val) return fail_at(e, at, "--no-console takes no value");
      o->console = false;
      continue;
    }
    const int config = config_opt_of(name);
    const int port = opt_index(kPortOpts, name);
    const int text = opt_index(kTextOpts, name);
    const bool known = config >= 0 || port >= 0 || text >= 0 || name == "--export" || name == "--allow";
    if (!known) return fail_at(e, at, "unknown option: " + name);
    if (in_file && text == kConfigFile) return fail_at(e, at, "--config: a configuration file cannot name another");
    if (!has_val) {
      if (in_file || i + 1 >= argc) return fail_at(e, at, name + " needs a value");
      val = args[++i];
    }
    if (config >= 0) {
      o->config[config] = {true, val};
    } else if (port == kPortmap && val == "auto") {
      o->portmap_auto = true;
    } else if (port >= 0) {
      if (port == kPortmap) o->portmap_auto = false;
      if (!read_port(val.c_str(), &o->ports[port])) {
        return fail_at(e, at,
                       name + " " + val + ": not a port number (a whole number 0..65535; 0 keeps the default" +
                           (port == kPortmap ? "; auto: 111 when free, else the host's rpcbind)" : ")"));
      }
    } else if (text == kBind && o->text[kBind].given && !(bind_from_file && !in_file)) {
      // --bind may be repeated; the command line's replace the file's.
      o->text[kBind].v += "," + val;
    } else if (text >= 0) {
      if (text == kBind) bind_from_file = in_file;
      o->text[text] = {true, val};
    } else if (name == "--export") {
      export_opt x;
      if (!split_eq(val, &x.path, &x.local)) return fail_at(e, at, "--export " + val + ": expected /path=FOLDER_OR_FILE");
      x.at = at;
      // The command line's export replaces the file's of the same path.
      for (size_t k = 0; k < o->exports.size(); k++) {
        if (!in_file && o->exports[k].path == x.path && static_cast<size_t>(o->exports[k].at) < file_count) {
          o->exports.erase(o->exports.begin() + static_cast<std::ptrdiff_t>(k));
          break;
        }
      }
      if (static_cast<int>(o->exports.size()) == kMaxExports) {
        return fail_at(e, at, "too many --export options (at most " + std::to_string(kMaxExports) + ")");
      }
      o->exports.push_back(x);
    } else {
      std::string path, list;
      if (!split_eq(val, &path, &list)) return fail_at(e, at, "--allow " + val + ": expected /path=CIDRS");
      allows.push_back({path, list, at});
    }
  }
  // The last --allow of a path wins, wherever it stands.
  for (const allow_opt& a : allows) {
    bool named = false;
    for (export_opt& x : o->exports) {
      if (x.path != a.path) continue;
      named = true;
      x.has_allow = true;
      x.allow = a.list;
      x.allow_at = a.at;
    }
    if (!named) return fail_at(e, a.at, "--allow " + a.path + ": no --export names " + a.path);
  }
  if (o->config[config_opt_of("--secret")].given && o->text[kSecretFile].given) {
    return fail_at(e, -1, "give --secret or --secret-file, not both");
  }
  if (!o->text[kBind].given) {
    return fail_at(e, -1, "missing --bind IP (the address to serve on, for example 127.0.0.1)");
  }
  return 0;
}

// The path of --config on the command line, or "" when none is given.
std::string config_path_of(const std::vector<std::string>& cmd) {
  std::string path;
  for (size_t i = 0; i < cmd.size(); i++) {
    if (cmd[i] == "--config" && i + 1 < cmd.size()) path = cmd[i + 1];
    if (cmd[i].compare(0, 9, "--config=") == 0) path = cmd[i].substr(9);
  }
  return path;
}

// Where the arguments of a serve_opts came from: the configuration file's
// name and the line of each of its arguments (the first ones).
struct opt_source {
  std::string file;
  std::vector<int> lines;
  // "FILE:LINE: " for an argument of the file, else "".
  std::string where(int at) const {
    if (at < 0 || static_cast<size_t>(at) >= lines.size()) return "";
    return config_file_name(file) + ":" + std::to_string(lines[static_cast<size_t>(at)]) + ": ";
  }
};

// Reads the options: the configuration file's when --config names one,
// then the command line's, which win. 0, or the exit code (2) with *why
// the line to show: "FILE:LINE: WHAT" for a line of the file; *usage set
// when the usage text should follow (a fault of the command line). *src
// (may be null) says where each argument came from.
int load_opts(const std::vector<std::string>& cmd, serve_opts* o, std::string* why, bool* usage_after,
              opt_source* src = nullptr) {
  *usage_after = false;
  const std::string file = config_path_of(cmd);
  config_args from_file;
  if (!file.empty() && config_file_read(file.c_str(), &from_file, why) != 0) return 2;
  std::vector<std::string> all = from_file.args;
  all.insert(all.end(), cmd.begin(), cmd.end());
  opt_source here{file, from_file.lines};
  if (src != nullptr) *src = here;
  opt_error e;
  if (parse_opts(all, from_file.args.size(), o, &e) == 0) return 0;
  if (!here.where(e.at).empty()) {
    // The file names options without their dashes.
    std::string text = e.why;
    const size_t dashes = text.find("--");
    if (dashes != std::string::npos) text.erase(dashes, 2);
    *why = here.where(e.at) + text;
  } else {
    *why = e.why;
    *usage_after = true;
  }
  return 2;
}

void emit(const std::string& s) {
  fwrite(s.data(), 1, s.size(), stdout);
  fflush(stdout);
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
    "  status                 counters, uptime, connected clients and the mount list\n"
    "  exports                the exports, one line each\n"
    "  add /p=FOLDER_OR_FILE  export a folder or file as /p (this machine only)\n"
    "  allow /p=CIDRS         who may mount /p: a.b.c.d, a.b.c.d/n, fd00::/8, * (everyone),\n"
    "                         comma-separated;\n"
    "                         empty for this machine only; open handles stay valid\n"
    "  remove /p              stop exporting /p\n"
    "  reload                 read the --config file again and apply what changed\n"
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
  if (loopback_only(o.text[kBind].v)) return;
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

// The server as it was started: the command line (whose options keep
// winning over the file's on each reload) and the options then in force.
struct serve_run {
  std::vector<std::string> cmdline;
  serve_opts started;
};
serve_run g_run;

// Sets the event log's level and output from the options: --log FILE, or
// standard error. 0, or -1 (vorlix_last_error says why).
int apply_log_opts(const serve_opts& o) {
  if (vorlix_log_level(o.text[kLogLevel].given ? o.text[kLogLevel].v.c_str() : "info") != 0) return -1;
  return vorlix_log_output(o.text[kLogFile].given ? o.text[kLogFile].v.c_str() : "-", 0, 0);
}

// Logs one event of the command line through the library's event log.
void log_line(int level, const char* event, const std::vector<std::string>& kv) {
  std::vector<const char*> p;
  for (const std::string& s : kv) p.push_back(s.c_str());
  vorlix_log_event(level, event, p.data(), static_cast<int>(p.size() / 2));
}

// The names of the options that differ between a and b and that only a
// restart applies: the address, the ports, the configuration keys.
std::vector<std::string> restart_options(const serve_opts& a, const serve_opts& b) {
  std::vector<std::string> names;
  for (int i : {kBind, kSecretFile, kStatusChannel}) {
    if (a.text[i].given != b.text[i].given || a.text[i].v != b.text[i].v) names.push_back(kTextOpts[i] + 2);
  }
  for (int i = 0; i < kPortCount; i++) {
    if (a.ports[i] != b.ports[i]) names.push_back(kPortOpts[i] + 2);
  }
  for (size_t i = 0; i < kConfigCount; i++) {
    if (a.config[i].given != b.config[i].given || a.config[i].v != b.config[i].v) {
      names.push_back(kConfigOpts[i].option + 2);
    }
  }
  return names;
}

// An export of the new set, its local path made canonical as the export
// table keeps it.
struct wanted_export {
  const export_opt* opt;
  std::string canonical;
};

// Checks every export of the new set before anything changes: its path,
// its folder or file, its allow list. "" when all are good, else the first
// fault in words, after "FILE:LINE: " when the export is the file's.
std::string check_exports(const serve_opts& o, const opt_source& src, std::vector<wanted_export>* wanted) {
  for (const export_opt& e : o.exports) {
    const std::string where = src.where(e.at);
    const std::string rule = export_path_rule(e.path);
    if (!rule.empty()) return where + "export " + e.path + ": " + rule;
    char* real = plat_realpath(e.local.c_str());
    if (real == nullptr) {
      char reason[256];
      plat_last_failure_text(reason, sizeof reason);
      return where + "export " + e.path + ": " + e.local + " cannot be found (" + reason + ")";
    }
    wanted->push_back({&e, real});
    free(real);
    int allowed = 0;
    if (e.has_allow && vorlix_cidr_allows(e.allow.c_str(), 0, &allowed) != 0) {
      return src.where(e.allow_at) + "allow " + e.path + ": not an address or a network (a.b.c.d or a.b.c.d/n, comma-separated)";
    }
  }
  return "";
}

// Reads the configuration file again and applies the difference: an export
// whose path and folder are unchanged keeps its slot and generation (a
// changed allow list is set in place); removed exports go; new ones are
// added; options that need a restart are named and left as they are. A file
// with any fault is refused whole and nothing changes. Returns the lines for
// the console; everything is logged too.
std::string reload_config() {
  if (!g_run.started.text[kConfigFile].given) {
    return "reload: there is no configuration file to read (start with --config FILE)\n";
  }
  serve_opts n;
  std::string why;
  bool with_usage = false;
  std::vector<wanted_export> wanted;
  opt_source src;
  if (load_opts(g_run.cmdline, &n, &why, &with_usage, &src) == 0) why = check_exports(n, src, &wanted);
  if (!why.empty()) {
    log_line(1, "reload_refused", {"reason", why, "hint", "fix the file and reload again; nothing was changed"});
    return "reload: refused, nothing changed: " + why + "\n";
  }
  // The exports running now, by path.
  struct running {
    std::string path, local, allow;
  };
  std::vector<running> now;
  for (int i = 0; i <= kLastSlot; i++) {
    const std::string json = vorlix_export_json(i);
    running r;
    if (json.empty() || !json_member(json, "path", &r.path)) continue;
    json_member(json, "local", &r.local);
    json_member(json, "allow_cidrs", &r.allow);
    now.push_back(r);
  }
  int added = 0, removed = 0, changed = 0, failed = 0;
  std::string out;
  auto note_failure = [&](const std::string& what) {
    failed++;
    out += "reload: " + what + ": " + vorlix_last_error() + "\n";
    log_line(0, "reload_failed", {"what", what, "reason", vorlix_last_error()});
  };
  // Removed first, so that a folder moved to another path can be added.
  for (const running& r : now) {
    bool kept = false;
    for (const wanted_export& w : wanted) kept = kept || (w.opt->path == r.path && w.canonical == r.local);
    if (kept) continue;
    if (vorlix_remove_export(r.path.c_str()) == 0) {
      removed++;
    } else {
      note_failure("remove " + r.path);
    }
  }
  for (const wanted_export& w : wanted) {
    const running* same = nullptr;
    for (const running& r : now) {
      if (r.path == w.opt->path && r.local == w.canonical) same = &r;
    }
    const std::string allow = w.opt->has_allow ? w.opt->allow : "";
    if (same == nullptr) {
      if (vorlix_add_export(w.opt->path.c_str(), w.opt->local.c_str(), allow.c_str()) >= 0) {
        added++;
        warn_if_unreadable(w.opt->path, &out);
      } else {
        note_failure("add " + w.opt->path);
      }
    } else if (same->allow != allow) {
      if (vorlix_set_allow(w.opt->path.c_str(), allow.c_str()) >= 0) {
        changed++;
      } else {
        note_failure("allow " + w.opt->path);
      }
    }
  }
  if (apply_log_opts(n) != 0) note_failure("log");
  const std::vector<std::string> restart = restart_options(g_run.started, n);
  std::string names;
  for (const std::string& r : restart) names += (names.empty() ? "" : ", ") + r;
  if (!names.empty()) {
    out += "reload: " + names + " changed but need a restart; they are left as they are\n";
    log_line(1, "reload_needs_restart", {"options", names, "hint", "restart the server to apply them"});
  }
  log_line(2, "reload", {"file", g_run.started.text[kConfigFile].v, "added", std::to_string(added), "removed",
                         std::to_string(removed), "changed", std::to_string(changed), "failed",
                         std::to_string(failed)});
  char line[160];
  snprintf(line, sizeof line, "reload: added=%d removed=%d changed=%d failed=%d exports=%d\n", added, removed, changed,
           failed, vorlix_export_count());
  return out + line;
}

// A reload as the service manager sees it: RELOADING=1 before, READY=1
// after, so that `systemctl reload` returns once the file was applied.
std::string reload_and_report() {
  plat_notify("RELOADING=1");
  const std::string out = reload_config();
  plat_notify("READY=1");
  return out;
}

// Stops the server, telling the service manager first that the stop is
// one asked for, not a failure.
void stop_server() {
  plat_notify("STOPPING=1");
  status_channel_stop();
  vorlix_stop();
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
  std::string why;
  bool with_usage = false;
  const int rc = load_opts(std::vector<std::string>(argv, argv + argc), &o, &why, &with_usage);
  if (rc != 0) {
    fprintf(stderr, "serve: %s\n", why.c_str());
    if (with_usage) usage();
  }
  *has_secret = rc == 0 && (o.config[config_opt_of("--secret")].given || o.text[kSecretFile].given);
  return rc;
}

std::string serve_export_path_rule(const std::string& path) { return export_path_rule(path); }

int serve_check_config(const std::string& text, const std::string& path, std::string* why) {
  config_args from_file;
  if (config_file_parse(text, path, &from_file, why) != 0) return -1;
  // The service may be given its address on its command line (the Debian
  // package does): one is added here as the command line would.
  std::vector<std::string> all = from_file.args;
  all.push_back("--bind=127.0.0.1");
  serve_opts o;
  opt_error e;
  if (parse_opts(all, from_file.args.size(), &o, &e) == 0) return 0;
  const opt_source here{path, from_file.lines};
  *why = here.where(e.at) + e.why;
  return -1;
}

void serve_request_stop() { g_quit = 1; }
void serve_request_reload() { g_reload = 1; }

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
    status_view(vorlix_status_json(), out);
  } else if (line == "reload") {
    *out += reload_and_report();
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
  std::string why;
  bool with_usage = false;
  const std::vector<std::string> cmdline(argv, argv + argc);
  if (load_opts(cmdline, &o, &why, &with_usage) != 0) {
    fprintf(stderr, "serve: %s\n", why.c_str());
    return with_usage ? usage() : 2;
  }
  if (apply_log_opts(o) != 0) {
    fprintf(stderr, "serve: %s\n", vorlix_last_error());
    return 1;
  }
  opt_text& secret = o.config[config_opt_of("--secret")];
  if (o.text[kSecretFile].given) {
    if (!read_secret_file(o.text[kSecretFile].v.c_str(), &secret.v)) {
      fprintf(stderr, "--secret-file %s: cannot be read (missing, or not readable by this user)\n",
              o.text[kSecretFile].v.c_str());
      return 1;
    }
    secret.given = true;
  }
  for (size_t i = 0; i < kConfigCount; i++) {
    if (o.config[i].given && vorlix_config(kConfigOpts[i].key, o.config[i].v.c_str()) != 0) {
      fprintf(stderr, "%s: %s\n", kConfigOpts[i].key, vorlix_last_error());
      return 1;
    }
  }
  if (secret.given) warn_short_secret(secret.v.c_str());
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
  const char* bind = o.text[kBind].v.c_str();
  const int portmap = o.portmap_auto ? VORLIX_PORTMAP_AUTO : o.ports[kPortmap];
  if (vorlix_start(bind, o.ports[kNfsPort], o.ports[kMountPort], portmap) != 0) {
    fprintf(stderr, "start: %s\n", vorlix_last_error());
    const std::string failure = explain_start_failure(vorlix_last_error());
    if (!failure.empty()) fprintf(stderr, "  %s\n", failure.c_str());
    // The service manager shows the reason beside the failed state.
    plat_notify(("STATUS=start: " + std::string(vorlix_last_error()) + (failure.empty() ? "" : "; " + failure)).c_str());
    return 1;
  }
  g_run.cmdline = cmdline;
  g_run.started = o;
  if (o.text[kStatusChannel].given) {
    // Without it the server serves all the same; the settings page then
    // cannot show who is connected.
    std::string failed;
    if (status_channel_start(o.text[kStatusChannel].v, &failed) != 0) {
      fprintf(stderr, "warning: --status-channel %s: not opened: %s\n", o.text[kStatusChannel].v.c_str(),
              failed.c_str());
      log_line(1, "status_channel_failed", {"name", o.text[kStatusChannel].v, "reason", failed});
    }
  }
  const bool reloadable = o.text[kConfigFile].given;
  // The handler is in place before the listening line goes out, so that a
  // controller that waits for that line and then signals gets a clean stop.
  plat_on_interrupt(on_sig);
  // With a configuration file a hang-up means "read it again", as for
  // other daemons (systemctl reload sends one).
  if (reloadable) plat_on_hangup(on_hup);
  // A controller that stops reading the console's answers must not end the
  // server: the answer is lost, the server goes on serving.
  plat_ignore_broken_pipe();
  std::string out;
  char head[256];
  snprintf(head, sizeof head, "listening %s nfs=%d mount=%d portmap=%d exports=%d\n", bind, vorlix_nfs_port(),
           vorlix_mount_port(), vorlix_portmap_port(), vorlix_export_count());
  out = head;
  if (vorlix_portmap_note()[0] != 0) fprintf(stderr, "%s\n", vorlix_portmap_note());
  warn_this_machine_only(o, &warnings);
  fputs(warnings.c_str(), stderr);
  print_exports(&out);
  emit(out);
  // Every listener is bound: a service manager that waits for readiness
  // (systemd's Type=notify) learns it now, with the listening line as the
  // service's status.
  out = head;
  out.pop_back();
  plat_notify(("READY=1\nSTATUS=" + out).c_str());
  // Run as a service, it is reported running only now, its listeners bound.
  plat_service_ready();
  if (!o.console) {
    // Detached: standard input is never read, so a terminal cannot stop the
    // server for reading it, and a hang-up does not end it.
    if (!reloadable) plat_ignore_hangup();
    while (!g_quit) {
      if (g_reload) {
        g_reload = 0;
        (void)reload_and_report();
      }
      plat_sleep_ms(100);
    }
    stop_server();
    return 0;
  }
  // Lines are gathered whole, whatever their length, and only a complete
  // line (or the last one at the end of input) is carried out.
  std::string pending;
  bool at_end = false;
  while (!g_quit) {
    if (g_reload) {
      g_reload = 0;
      emit(reload_and_report());
    }
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
  stop_server();
  return 0;
}
