// The admin command: the settings page. A small web server of its own on
// 127.0.0.1 and ::1 at a port the system chooses, reached through a URL with
// a one-time token; the page lists the exports of the configuration file
// the service reads, adds, changes and removes them, and asks the service
// to read the file again. Every request passes admin_check first. The
// command ends when the page has been closed (its heartbeat stops) or has
// been idle for some minutes. The long-running service opens no HTTP port.
#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/admin_checks.h"
#include "cli/admin_config.h"
#include "cli/admin_page.h"
#include "cli/cli.h"
#include "cli/config_file.h"
#include "plat/plat.h"
#include "vorlix.h"

namespace {

// Bytes of the one-time token, the session cookie and each form token.
constexpr int kSecretBytes = 16;
// The page sends a heartbeat every 5 s; none for this long means it was
// closed. Long, because a browser runs the timers of a page in the
// background only about once a minute.
constexpr uint64_t kPageGoneMs = 150000;
// A page that is closed says so (pagehide); a heartbeat within this time
// after it means the page was only loaded again.
constexpr uint64_t kByeGraceMs = 5000;
// With no request at all for this long (the page never opened, or a
// browser that sends nothing), the command ends.
constexpr uint64_t kIdleMs = 10 * 60 * 1000;
// Form tokens of the pages served that are still taken.
constexpr size_t kFormsKept = 8;
// Folders listed by the picker at most.
constexpr size_t kMaxListed = 2000;
// Networks of this host's interfaces read at most.
constexpr int kMaxNetworks = 32;

// The settings page's state, shared by the server's threads.
struct admin_run {
  std::mutex lock;
  admin_keys keys;
  std::string config;        // the configuration file's path
  int reload_pid = 0;        // a server to send SIGHUP, or 0: the service
  std::string channel;       // the server's status channel
  uint64_t last_request = 0;
  uint64_t last_beat = 0;    // 0 until the page's first heartbeat
  uint64_t bye = 0;          // when the page said it goes, or 0
};

int admin_usage() {
  fputs(
      "usage:\n"
      "  tarvelin-quillmoor-nfs-v3-file-server admin [--config FILE] [--no-browser] [--reload-pid PID]\n"
      "        [--status-channel PATH]\n"
      "        Opens the settings page in the browser: the exports of the configuration\n"
      "        file the service reads (--config; default the installed service's), who\n"
      "        may mount them, and how to connect. A change is written to the file and\n"
      "        the service is asked to read it again (--reload-pid: the serve process\n"
      "        to send SIGHUP instead). Who is connected is asked of the server's\n"
      "        --status-channel (default the installed service's). Run it as an\n"
      "        administrator (Linux: as root).\n"
      "        --no-browser: only print the page's address.\n",
      stderr);
  return 2;
}

std::string random_hex() {
  unsigned char raw[kSecretBytes];
  if (plat_random_bytes(raw, sizeof raw) != 0) return "";
  std::string hex;
  for (unsigned char b : raw) {
    char two[3];
    snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

// The configuration file of the installed service: in its folder of
// program data on Windows, in /etc on Linux (the Debian package's).
std::string default_config() {
  char dir[1024], err[256];
  if (plat_service_data_dir(kServiceName, dir, sizeof dir, err, sizeof err) == 0) {
    return std::string(dir) + "\\exports.conf";
  }
  return std::string("/etc/") + kServiceName + "/exports.conf";
}

// The status channel of the installed service: its named pipe on
// Windows, the socket in its state folder on Linux (the Debian package's).
std::string default_channel() {
  char roots[64];
  if (plat_fs_roots(roots, sizeof roots) > 0 && roots[0] != '/') return std::string(kServiceName) + "-status";
  return std::string("/var/lib/") + kServiceName + "/status.sock";
}

// The value of an option line of the configuration file ("" when absent).
std::string config_value(const std::string& text, const std::string& name) {
  config_args args;
  std::string why, value;
  if (config_file_parse(text, "", &args, &why) != 0) return "";
  for (const std::string& a : args.args) {
    if (a.compare(0, name.size() + 3, "--" + name + "=") == 0) value = a.substr(name.size() + 3);
  }
  return value;
}

// The networks of this host's interfaces as an allow list.
std::string home_networks() {
  plat_addr nets[kMaxNetworks];
  int prefixes[kMaxNetworks];
  const int n = plat_host_networks(nets, prefixes, kMaxNetworks);
  std::string list;
  for (int i = 0; i < n; i++) {
    char text[PLAT_ADDR_TEXT];
    plat_addr_text(nets[i], text);
    const int bits = plat_addr_is_v4(nets[i]) ? prefixes[i] - 96 : prefixes[i];
    list += (list.empty() ? "" : ",") + std::string(text) + "/" + std::to_string(bits);
  }
  return list;
}

// The address clients reach this host at: the configuration's bind address
// when it names one, else the first address of an interface's network.
std::string reach_address(const std::string& conf_text) {
  const std::string bind = config_value(conf_text, "bind");
  if (!bind.empty() && bind != "0.0.0.0" && bind != "::" && bind.find(',') == std::string::npos) return bind;
  plat_addr addrs[kMaxNetworks];
  const int n = plat_host_addrs(addrs, kMaxNetworks);
  std::string v6;
  for (int i = 0; i < n; i++) {
    char text[PLAT_ADDR_TEXT];
    plat_addr_text(addrs[i], text);
    const std::string t = text;
    if (t == "127.0.0.1" || t == "::1" || t.compare(0, 4, "fe80") == 0) continue;
    if (plat_addr_is_v4(addrs[i])) return t;
    if (v6.empty()) v6 = t;
  }
  return v6.empty() ? "127.0.0.1" : v6;
}

// The allow list that the page's choice of who may mount stands for; false
// with *why when it cannot be made or is not understood.
bool allow_of(const std::string& form, std::string* allow, std::string* why) {
  std::string who, networks;
  if (!admin_form_field(form, "who", &who)) who = "machine";
  if (who == "machine") {
    allow->clear();
    return true;
  }
  if (who == "home") {
    *allow = home_networks();
    if (allow->empty()) {
      *why = "no network was found on this computer's interfaces; type the networks instead";
      return false;
    }
    return true;
  }
  if (who != "list" || !admin_form_field(form, "networks", &networks)) {
    *why = "choose who may mount: this machine, my home network, or the networks typed";
    return false;
  }
  std::string list;
  for (char c : networks) {
    if (c != ' ' && c != '\t') list += c;
  }
  int allowed = 0;
  if (list.empty()) {
    *why = "type at least one network (for example 192.168.1.0/24), or choose \"this machine\"";
    return false;
  }
  if (vorlix_cidr_allows_text(list.c_str(), "127.0.0.1", &allowed) != 0) {
    *why = "the networks \"" + networks + "\" are not understood: " + vorlix_last_error() +
           " (write them as 192.168.1.0/24, fd00::/8 or a single address, separated by commas)";
    return false;
  }
  *allow = list;
  return true;
}

// The folder of a new export, checked: an absolute path to an existing
// folder or file, resolved to its full path.
bool folder_of(const std::string& given, bool windows, std::string* full, std::string* why) {
  std::string clean;
  if (given.empty()) {
    *why = "choose the folder to share";
    return false;
  }
  if (!admin_picker_path(given, windows, &clean, why)) return false;
  plat_statbuf st;
  char* real = plat_realpath(clean.c_str());
  if (real == nullptr || plat_stat(real, &st, 1) != 0) {
    free(real);
    *why = clean + " does not exist or cannot be reached";
    return false;
  }
  *full = real;
  free(real);
  return true;
}

// Asks the server to read its configuration file again: the process given
// by --reload-pid, else the installed service (Windows: PARAMCHANGE;
// Linux: systemctl reload). "" when it was asked, else why not.
std::string ask_reload(int pid) {
  char err[512];
  if (pid > 0) return plat_signal_reload(pid, err, sizeof err) == 0 ? "" : err;
  if (plat_service_reload(kServiceName, err, sizeof err) == 0) return "";
  const std::string unit = std::string(kServiceName) + ".service";
  const char* argv[] = {"systemctl", "reload", unit.c_str(), nullptr};
  char run_err[512];
  const int rc = plat_run_wait(argv, run_err, sizeof run_err);
  if (rc == 0) return "";
  return rc < 0 ? std::string(err) : "systemctl reload " + unit + " failed (exit code " + std::to_string(rc) + ")";
}

std::string json_reply(bool ok, const std::string& text) {
  return std::string("{\"ok\":") + (ok ? "true,\"message\":" : "false,\"error\":") + json_quote(text) + "}";
}

void set_json(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_content(body, "application/json; charset=utf-8");
}

// Carries out one change of the exports: reads the file, makes the new
// text, checks it whole, writes it, and asks for a reload. Nothing is
// written when any step before fails.
void change(admin_run* run, const std::string& form, const std::string& what, httplib::Response& res) {
  char roots[4096];
  const bool win = plat_fs_roots(roots, sizeof roots) > 0 && roots[0] != '/';
  std::string path, text, next, why, folder, allow;
  if (!admin_form_field(form, "path", &path)) path.clear();
  if (config_file_text(run->config.c_str(), &text, &why) != 0) {
    set_json(res, 400, json_reply(false, why));
    return;
  }
  bool ok = false;
  std::string done;
  if (what == "add") {
    std::string given;
    if (!admin_form_field(form, "folder", &given)) given.clear();
    const std::string rule = serve_export_path_rule(path);
    if (!rule.empty()) {
      why = "the export path \"" + path + "\" is refused: " + rule;
    } else if (folder_of(given, win, &folder, &why) && allow_of(form, &allow, &why)) {
      ok = admin_config_add(text, {path, folder, allow}, &next, &why);
      done = "shared " + folder + " as " + path;
    }
  } else if (what == "allow") {
    ok = allow_of(form, &allow, &why) && admin_config_set_allow(text, path, allow, &next, &why);
    done = path + " may now be mounted by " + (allow.empty() ? std::string("this machine only") : allow);
  } else {
    ok = admin_config_remove(text, path, &next, &why);
    done = path + " is no longer shared";
  }
  if (ok && serve_check_config(next, run->config, &why) != 0) ok = false;
  char err[512];
  if (ok && plat_file_replace(run->config.c_str(), next.data(), next.size(), err, sizeof err) != 0) {
    why = std::string("the configuration file could not be written: ") + err;
    ok = false;
  }
  if (!ok) {
    set_json(res, 400, json_reply(false, "Nothing was changed: " + why));
    return;
  }
  if (what == "add" && plat_service_grant_read(kServiceName, folder.c_str(), err, sizeof err) != 0 && win) {
    done += " (warning: the service's account was not given read access: " + std::string(err) + ")";
  }
  const std::string reload = ask_reload(run->reload_pid);
  if (!reload.empty()) {
    done += "; saved, but the server could not be asked to read it again (" + reload +
            "): it takes the change when it starts again";
  }
  const char* fields[] = {"change", what.c_str(), "export", path.c_str()};
  vorlix_log_event(2, "admin_change", fields, 4);
  set_json(res, 200, json_reply(true, done + "."));
}

// The state the page draws: the exports of the file, the address and ports
// clients use.
std::string state_json(admin_run* run) {
  std::string text, why;
  const bool read = config_file_text(run->config.c_str(), &text, &why) == 0;
  std::string out = "{\"config\":" + json_quote(run->config) + ",\"read_error\":" + json_quote(read ? "" : why);
  out += ",\"exports\":[";
  bool first = true;
  for (const admin_export& x : admin_config_exports(text)) {
    out += std::string(first ? "" : ",") + "{\"path\":" + json_quote(x.path) + ",\"folder\":" + json_quote(x.folder) +
           ",\"allow\":" + json_quote(x.allow) + "}";
    first = false;
  }
  const std::string nfs = config_value(text, "nfs-port");
  const std::string mount = config_value(text, "mount-port");
  out += "],\"host\":" + json_quote(reach_address(text));
  out += ",\"nfs_port\":" + (nfs.empty() || nfs == "0" ? std::string("2049") : std::to_string(atoi(nfs.c_str())));
  out += ",\"mount_port\":" + (mount.empty() || mount == "0" ? std::string("20048") : std::to_string(atoi(mount.c_str())));
  out += ",\"home_networks\":" + json_quote(home_networks()) + "}";
  return out;
}

// The folders in a folder, for the picker; the roots (drives) for "".
void browse(const std::string& given, httplib::Response& res) {
  char roots[4096];
  const int nroots = plat_fs_roots(roots, sizeof roots);
  const bool win = nroots > 0 && roots[0] != '/';
  std::string clean, why;
  if (!admin_picker_path(given, win, &clean, &why)) {
    set_json(res, 400, json_reply(false, "The folder \"" + given + "\" cannot be shown: " + why));
    return;
  }
  std::vector<std::string> names;
  if (clean.empty() && win) {
    for (const char* r = roots; *r != 0;) {
      const char* nl = strchr(r, '\n');
      names.emplace_back(r, nl != nullptr ? static_cast<size_t>(nl - r) : strlen(r));
      r = nl != nullptr ? nl + 1 : r + strlen(r);
    }
  } else {
    if (clean.empty()) clean = "/";
    plat_dir* d = plat_opendir(clean.c_str());
    if (d == nullptr) {
      char reason[256];
      plat_last_failure_text(reason, sizeof reason);
      set_json(res, 400, json_reply(false, "The folder " + clean + " cannot be read: " + reason));
      return;
    }
    for (const char* name = plat_readdir(d); name != nullptr && names.size() < kMaxListed; name = plat_readdir(d)) {
      plat_statbuf st;
      if (plat_dir_stat(d, name, &st) == 0 && st.is_dir != 0) names.emplace_back(name);
    }
    plat_closedir(d);
    std::sort(names.begin(), names.end());
  }
  std::string out = "{\"ok\":true,\"path\":" + json_quote(clean) + ",\"parent\":" +
                    json_quote(admin_picker_parent(clean, win)) + ",\"folders\":[";
  for (size_t i = 0; i < names.size(); i++) {
    out += std::string(i == 0 ? "" : ",") + "{\"name\":" + json_quote(names[i]) +
           ",\"path\":" + json_quote(admin_picker_join(clean, names[i], win)) + "}";
  }
  set_json(res, 200, out + "]}");
}

// The page, with a new form token that the changes it sends must carry.
std::string page(admin_run* run) {
  const std::string form = random_hex();
  run->keys.forms.push_back(form);
  if (run->keys.forms.size() > kFormsKept) run->keys.forms.erase(run->keys.forms.begin());
  std::string html = kAdminPage;
  const std::string mark = "@FORM_TOKEN@";
  const size_t at = html.find(mark);
  if (at != std::string::npos) html.replace(at, mark.size(), form);
  return html;
}

// Checks the request; false (with the refusal written) when it is refused.
// On the one-time token, the session cookie is set.
bool admitted(admin_run* run, const httplib::Request& req, httplib::Response& res) {
  admin_request r;
  r.method = req.method;
  r.host = req.get_header_value("Host");
  r.origin = req.get_header_value("Origin");
  r.fetch_site = req.get_header_value("Sec-Fetch-Site");
  r.query_token = req.get_param_value("token");
  r.cookie = req.get_header_value("Cookie");
  if (req.method == "POST") r.body = req.body;
  std::lock_guard<std::mutex> hold(run->lock);
  run->last_request = plat_now_ms();
  const admin_check_result got = admin_check(r, run->keys);
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("X-Content-Type-Options", "nosniff");
  if (got.verdict == ADMIN_REFUSED) {
    res.status = got.status;
    res.set_content(got.why + "\n", "text/plain; charset=utf-8");
    const char* fields[] = {"path", req.path.c_str(), "reason", got.why.c_str()};
    vorlix_log_event(1, "admin_refused", fields, 4);
    return false;
  }
  if (got.verdict == ADMIN_ENTER) {
    run->keys.entry_used = true;
    run->keys.session = random_hex();
    res.set_header("Set-Cookie",
                   std::string(kAdminCookie) + "=" + run->keys.session + "; Path=/; HttpOnly; SameSite=Strict");
  }
  return true;
}

void routes(httplib::Server& srv, admin_run* run) {
  srv.set_payload_max_length(kAdminMaxForm);
  srv.set_read_timeout(10, 0);
  srv.set_write_timeout(10, 0);
  srv.set_keep_alive_timeout(5);
  srv.Get("/", [run](const httplib::Request& req, httplib::Response& res) {
    if (!admitted(run, req, res)) return;
    if (!req.get_param_value("token").empty()) {
      // The token leaves the address bar and the history.
      res.status = 303;
      res.set_header("Location", "/");
      return;
    }
    std::lock_guard<std::mutex> hold(run->lock);
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
                   "img-src 'self' data:; base-uri 'none'; form-action 'self'; frame-ancestors 'none'");
    res.set_content(page(run), "text/html; charset=utf-8");
  });
  srv.Get("/api/state", [run](const httplib::Request& req, httplib::Response& res) {
    if (admitted(run, req, res)) set_json(res, 200, state_json(run));
  });
  srv.Get("/api/browse", [run](const httplib::Request& req, httplib::Response& res) {
    if (admitted(run, req, res)) browse(req.get_param_value("path"), res);
  });
  for (const char* what : {"add", "allow", "remove"}) {
    srv.Post((std::string("/api/") + what).c_str(), [run, what](const httplib::Request& req, httplib::Response& res) {
      if (!admitted(run, req, res)) return;
      // One change at a time: each reads and writes the whole file.
      static std::mutex one_change;
      std::lock_guard<std::mutex> hold(one_change);
      change(run, req.body, what, res);
    });
  }
  srv.Get("/api/status", [run](const httplib::Request& req, httplib::Response& res) {
    if (!admitted(run, req, res)) return;
    std::string status, why;
    if (status_channel_ask(run->channel, &status, &why) != 0) {
      set_json(res, 200, json_reply(false, "The server's status cannot be read (" + why +
                                               "): is it running, with --status-channel " + run->channel + "?"));
      return;
    }
    while (!status.empty() && (status.back() == '\n' || status.back() == '\r')) status.pop_back();
    set_json(res, 200, "{\"ok\":true,\"status\":" + status + "}");
  });
  for (const char* beat : {"/api/alive", "/api/bye"}) {
    srv.Post(beat, [run, beat](const httplib::Request& req, httplib::Response& res) {
      if (!admitted(run, req, res)) return;
      std::lock_guard<std::mutex> hold(run->lock);
      (strcmp(beat, "/api/bye") == 0 ? run->bye : run->last_beat) = plat_now_ms();
      set_json(res, 200, json_reply(true, "noted"));
    });
  }
  // Anything else: a refusal that changes nothing, checked first like all.
  srv.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.status == 404) res.set_content("no such page here\n", "text/plain; charset=utf-8");
  });
}

}  // namespace

int cmd_admin(int argc, char** argv) {
  admin_run run;
  bool browser = true;
  for (int i = 0; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "--no-browser") {
      browser = false;
    } else if ((a == "--config" || a == "--reload-pid" || a == "--status-channel") && i + 1 < argc) {
      if (a == "--config") run.config = argv[++i];
      if (a == "--reload-pid") run.reload_pid = atoi(argv[++i]);
      if (a == "--status-channel") run.channel = argv[++i];
    } else if (a.compare(0, 9, "--config=") == 0) {
      run.config = a.substr(9);
    } else {
      fprintf(stderr, "admin: unknown option: %s\n", a.c_str());
      return admin_usage();
    }
  }
  // Changing the service's files and asking it to read them again is an
  // administrator's task: started by someone else (from the Start menu, on
  // Windows), the command starts itself again as an administrator, in a
  // window of its own.
  char err[512];
  const int again = plat_run_again_as_admin(err, sizeof err);
  if (again == 1) {
    printf("admin: the settings page goes on in a window of its own, as an administrator\n");
    return 0;
  }
  if (again < 0) {
    fprintf(stderr, "admin: %s; run it as an administrator\n", err);
    return 1;
  }
  if (run.config.empty()) run.config = default_config();
  if (run.channel.empty()) run.channel = default_channel();
  std::string text, why;
  if (config_file_text(run.config.c_str(), &text, &why) != 0) {
    fprintf(stderr, "admin: %s; give the service's configuration file with --config FILE\n", why.c_str());
    return 1;
  }
  run.keys.entry_token = random_hex();
  if (run.keys.entry_token.empty()) {
    fputs("admin: the system gave no random bytes for the page's token\n", stderr);
    return 1;
  }
  httplib::Server v4, v6;
  routes(v4, &run);
  routes(v6, &run);
  const int port = v4.bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    fputs("admin: no port could be opened on 127.0.0.1\n", stderr);
    return 1;
  }
  run.keys.port = port;
  // The same port on ::1, where the system has IPv6; "localhost" may lead
  // a browser to either.
  const bool with_v6 = v6.bind_to_port("::1", port);
  run.last_request = plat_now_ms();
  std::thread t4([&v4] { v4.listen_after_bind(); });
  std::thread t6;
  if (with_v6) t6 = std::thread([&v6] { v6.listen_after_bind(); });
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + run.keys.entry_token;
  printf("settings page: %s\n(open it in a browser on this computer; it works once, and this command ends when the "
         "page is closed)\n",
         url.c_str());
  fflush(stdout);
  if (browser && plat_open_url(url.c_str(), err, sizeof err) != 0) {
    fprintf(stderr, "admin: the browser could not be opened (%s); open the address above yourself\n", err);
  }
  for (;;) {
    plat_sleep_ms(500);
    std::lock_guard<std::mutex> hold(run.lock);
    const uint64_t now = plat_now_ms();
    const bool said_bye = run.bye != 0 && now - run.bye > kByeGraceMs && run.last_beat < run.bye;
    if (said_bye || (run.last_beat != 0 && now - run.last_beat > kPageGoneMs)) {
      printf("admin: the page was closed; done\n");
      break;
    }
    if (now - run.last_request > kIdleMs) {
      printf("admin: nothing asked for %llu minutes; done\n", static_cast<unsigned long long>(kIdleMs / 60000));
      break;
    }
  }
  fflush(stdout);
  v4.stop();
  v6.stop();
  t4.join();
  if (t6.joinable()) t6.join();
  return 0;
}
