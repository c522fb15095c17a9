// The service command: `serve` as a system service. `install` checks the
// serve options and registers the service with them (and with a secret
// made now when none is given, so that file handles stay valid across
// restarts of the service and of the machine); `remove` stops and removes
// it; `run` is what the service manager starts: the server of `serve`
// without a console, its output in the service's log file, stopped by the
// manager's stop and shutdown requests.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "plat/plat.h"
#include "vorlix.h"

namespace {

constexpr char kServiceDescription[] = "Read-only NFS version 3 file server";
// Bytes of the secret made at install, written as hexadecimal digits.
constexpr int kSecretBytes = 32;
// The service's log file is rotated past this size, keeping this many older
// generations (service.log.1 the newest).
constexpr int64_t kLogRotateBytes = 4 * 1024 * 1024;
constexpr int kLogKeep = 3;
// How long `service started` waits for a start to finish (binding, reading
// the exports): long enough for a loaded machine.
constexpr int kStartWaitMs = 60000;

int service_usage() {
  fputs(
      "usage:\n"
      "  tarvelin-quillmoor-nfs-v3-file-server service install SERVE_OPTIONS | remove | reload | started\n"
      "        | run SERVE_OPTIONS\n"
      "        SERVE_OPTIONS: --bind IP --export /p=PATH ... as for serve; with --config FILE\n"
      "        naming a file that does not exist, the other options are written into it\n"
      "        reload: the running service reads its --config file again (as sc control\n"
      "        NAME paramchange)\n"
      "        started: waits until the service runs; fails when its start failed\n",
      stderr);
  return 2;
}

int service_failed(const char* err) {
  fprintf(stderr, "service: %s\n", err);
  return 1;
}

// Every event line of the service: the log file is rotated when it has
// grown, and the start, the stop and every error also go to the system's
// event log, where administrators look first.
void service_log_line(int level, const char* line, void*) {
  (void)plat_service_log_rotate(kServiceName, kLogRotateBytes, kLogKeep);
  const bool lifecycle = strstr(line, " event=start ") != nullptr || strstr(line, " event=stop") != nullptr;
  if (level == 0 || lifecycle) {
    (void)plat_service_event(kServiceName, level == 0 ? PLAT_EVENT_ERROR : PLAT_EVENT_INFO, line);
  }
}

// The service's body: serve's output and its event log go to the log file,
// then serve runs until the manager asks it to stop.
int service_body(int argc, char** argv) {
  char log[1024];
  // Without a log file the server still serves; its output is lost.
  plat_service_log_open(kServiceName, log, sizeof log);
  (void)plat_service_log_rotate(kServiceName, kLogRotateBytes, kLogKeep);
  vorlix_set_log_callback(service_log_line, nullptr);
  status_channel_forward_log(service_log_line);
  // The settings page asks who is connected through the service's named
  // pipe, open to SYSTEM and the Administrators only.
  std::vector<char*> args(argv, argv + argc);
  bool has_channel = false;
  for (char* a : args) has_channel = has_channel || strncmp(a, "--status-channel", 16) == 0;
  std::string channel = std::string("--status-channel=") + kServiceName + "-status";
  if (!has_channel) args.push_back(channel.data());
  const int rc = cmd_serve(static_cast<int>(args.size()), args.data());
  if (rc != 0) {
    const std::string why = "the server did not start (exit code " + std::to_string(rc) + "); " +
                            (log[0] != 0 ? std::string("its reason is at the end of ") + log : "see its log file");
    (void)plat_service_event(kServiceName, PLAT_EVENT_ERROR, why.c_str());
  }
  vorlix_set_log_callback(nullptr, nullptr);
  return rc;
}

// The value of --config among the arguments ("" when none is given), and
// the other arguments into *rest.
std::string config_arg(int argc, char** argv, std::vector<char*>* rest) {
  std::string path;
  for (int i = 0; i < argc; i++) {
    if (strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      path = argv[++i];
    } else if (strncmp(argv[i], "--config=", 9) == 0) {
      path = argv[i] + 9;
    } else {
      rest->push_back(argv[i]);
    }
  }
  return path;
}

// Writes the serve options args (--config left out) into a new configuration
// file at path, one per line without their dashes, so that the service can
// be reconfigured and reloaded by editing it (the installer gives its
// settings this way). 0, or -1 with *why set.
int write_config(const std::string& path, const std::vector<char*>& args, std::string* why) {
  const int argc = static_cast<int>(args.size());
  char* const* argv = args.data();
  std::string text =
      "# Made by `service install` from the settings it was given. One serve option per line,\r\n"
      "# without its dashes. After a change: sc control tarvelin-quillmoor-nfs-v3-file-server paramchange\r\n"
      "# (exports and allow lists; the address, ports and limits need a restart).\r\n";
  for (int i = 0; i < argc; i++) {
    std::string name = argv[i];
    std::string value;
    const size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    } else if (name != "--no-console" && i + 1 < argc) {
      value = argv[++i];
    }
    text += name.substr(2) + (value.empty() ? "" : " " + value) + "\r\n";
  }
  plat_append* f = plat_append_open(path.c_str());
  if (f == nullptr || plat_append_write(f, text.data(), text.size()) != 0) {
    char reason[256];
    plat_last_failure_text(reason, sizeof reason);
    *why = "--config " + path + ": cannot be written (" + reason + ")";
    plat_append_close(f);
    return -1;
  }
  plat_append_close(f);
  return 0;
}

// A new secret: kSecretBytes random bytes as hexadecimal digits; false
// when the system gives no random bytes.
bool make_secret(std::string* hex) {
  unsigned char raw[kSecretBytes];
  if (plat_random_bytes(raw, sizeof raw) != 0) return false;
  hex->clear();
  for (unsigned char b : raw) {
    char two[3];
    snprintf(two, sizeof two, "%02x", b);
    *hex += two;
  }
  return true;
}

// The full path of an existing folder or file, resolved now: the service
// starts in the system's own folder, where a relative path would name
// something else. Empty (after a line saying so) when there is none.
std::string resolved(const char* option, const std::string& given) {
  char* full = plat_realpath(given.c_str());
  if (full == nullptr) {
    fprintf(stderr, "service: %s: %s does not exist or cannot be reached: give the path of an existing folder or file\n",
            option, given.c_str());
    return "";
  }
  std::string out(full);
  free(full);
  return out;
}

// Registers (or updates) the service with the serve options given: every
// export's folder resolved to its full path and granted to the service's
// account for reading; the secret kept in a file of the service's own
// folder that only the account and the administrators may read, never on
// the command line, which every local user can read. A secret given with
// --secret goes into that file; without one, the file's secret is kept
// when there is one (an upgrade, a reinstall), else a new one is made.
int service_install(int argc, char** argv) {
  // With --config naming a file that does not exist yet, the other options
  // go into it, and the service is registered with the file alone.
  std::vector<char*> given(argv, argv + argc);
  std::vector<char*> rest;
  const std::string conf = config_arg(argc, argv, &rest);
  std::string conf_option;
  std::vector<std::string> granted;  // the exports' folders and files, and a secret file given
  std::vector<std::string> texts;  // the texts of rest, with the exports' folders resolved
  texts.reserve(rest.size());      // rest points into it: it must not move
  plat_statbuf st;
  if (!conf.empty() && plat_stat(conf.c_str(), &st, 1) != 0) {
    int has_secret = 0;
    const int rc = serve_check_opts(static_cast<int>(rest.size()), rest.data(), &has_secret);
    if (rc != 0) return rc;
    // The exports written into the file are resolved and granted as those
    // of the command line are below.
    for (size_t i = 0; i < rest.size(); i++) {
      std::string opt = rest[i];
      const size_t eq = opt.find('=');
      const bool joined = opt.compare(0, 9, "--export=") == 0;
      if (opt != "--export" && !joined) continue;
      const size_t vi = joined ? i : i + 1;
      std::string val = joined ? opt.substr(eq + 1) : rest[vi];
      const size_t at = val.find('=') + 1;
      const std::string full = resolved("--export", val.substr(at));
      if (full.empty()) return 1;
      granted.push_back(full);
      texts.push_back((joined ? "--export=" : "") + val.substr(0, at) + full);
      rest[vi] = texts.back().data();
      i = vi;
    }
    std::string why;
    if (write_config(conf, rest, &why) != 0) return service_failed(why.c_str());
    conf_option = "--config=" + conf;
    given.assign(1, conf_option.data());
  }
  argc = static_cast<int>(given.size());
  argv = given.data();
  int has_secret = 0;
  const int rc = serve_check_opts(argc, argv, &has_secret);
  if (rc != 0) return rc;
  std::vector<std::string> args = {"service", "run"};
  std::string secret;
  bool secret_given = false;
  bool own_secret_file = true;
  for (int i = 0; i < argc; i++) {
    std::string opt = argv[i];
    std::string val;
    const size_t eq = opt.find('=');
    const bool joined = opt.compare(0, 2, "--") == 0 && eq != std::string::npos;
    if (joined) {
      val = opt.substr(eq + 1);
      opt.resize(eq);
    }
    if (opt != "--export" && opt != "--secret" && opt != "--secret-file") {
      args.push_back(argv[i]);
      continue;
    }
    // serve_check_opts has made sure that every option has its value.
    if (!joined) val = argv[++i];
    if (opt == "--secret") {
      secret = val;
      secret_given = true;
      continue;
    }
    const size_t at = opt == "--export" ? val.find('=') + 1 : 0;
    const std::string full = resolved(opt.c_str(), val.substr(at));
    if (full.empty()) return 1;
    args.push_back(opt);
    args.push_back(val.substr(0, at) + full);
    granted.push_back(full);
    if (opt == "--secret-file") own_secret_file = false;
  }
  char err[512];
  char dir[1024];
  std::string secret_path;
  if (own_secret_file) {
    // Made (or checked) before the service exists, to name the file on its
    // command line; its access list is set again below, once the service's
    // account exists to be named in it.
    if (plat_service_data_dir(kServiceName, dir, sizeof dir, err, sizeof err) != 0) return service_failed(err);
    secret_path = std::string(dir) + "\\secret";
    args.push_back("--secret-file");
    args.push_back(secret_path);
  }
  std::vector<const char*> ptrs;
  for (const std::string& a : args) ptrs.push_back(a.c_str());
  if (plat_service_install(kServiceName, kServiceDescription, ptrs.data(), static_cast<int>(ptrs.size()), err,
                           sizeof err) != 0) {
    return service_failed(err);
  }
  if (own_secret_file) {
    if (plat_service_data_dir(kServiceName, dir, sizeof dir, err, sizeof err) != 0) return service_failed(err);
    std::string kept;
    if (!secret_given && read_secret_file(secret_path.c_str(), &kept) && !kept.empty()) {
      secret = kept;
    } else if (!secret_given && !make_secret(&secret)) {
      return service_failed("no random bytes for the secret");
    }
    const std::string line = secret + "\n";
    if (plat_service_private_file(kServiceName, secret_path.c_str(), line.data(), line.size(), err, sizeof err) != 0) {
      fprintf(stderr, "service: the secret file %s: %s\n", secret_path.c_str(), err);
      return 1;
    }
  }
  // Read for the service's account; where the system cannot grant it (Wine
  // knows no service accounts) the service reads what it could before.
  for (const std::string& g : granted) {
    if (plat_service_grant_read(kServiceName, g.c_str(), err, sizeof err) != 0) {
      fprintf(stderr, "warning: %s: not granted to the service's account NT SERVICE\\%s: %s\n", g.c_str(),
              kServiceName, err);
    }
  }
  printf("service %s installed; start it with: net start %s (a running service takes the change when it starts "
         "again)\n",
         kServiceName, kServiceName);
  return 0;
}

}  // namespace

int cmd_service(int argc, char** argv) {
  if (argc < 1) return service_usage();
  const char* sub = argv[0];
  char err[512];
  if (strcmp(sub, "install") == 0) return service_install(argc - 1, argv + 1);
  if (strcmp(sub, "remove") == 0 && argc == 1) {
    if (plat_service_remove(kServiceName, err, sizeof err) != 0) return service_failed(err);
    printf("service %s removed\n", kServiceName);
    return 0;
  }
  if (strcmp(sub, "reload") == 0 && argc == 1) {
    if (plat_service_reload(kServiceName, err, sizeof err) != 0) return service_failed(err);
    printf("service %s asked to read its configuration file again; its log says what changed\n", kServiceName);
    return 0;
  }
  if (strcmp(sub, "started") == 0 && argc == 1) {
    // What an installer runs after starting the service: it fails, and
    // the installation with it, when the service stopped instead.
    const int state = plat_service_wait_running(kServiceName, kStartWaitMs, err, sizeof err);
    if (state < 0) return service_failed(err);
    if (state > 0) {
      fprintf(stderr,
              "service: %s; the reason is in the service's log (%%ProgramData%%\\%s\\service.log) and in the "
              "Event Log; correct the setting it names and install again\n",
              err, kServiceName);
      return 1;
    }
    printf("service %s is running\n", kServiceName);
    return 0;
  }
  if (strcmp(sub, "run") == 0) {
    const int rc = plat_service_run(kServiceName, service_body, argc - 1, argv + 1, serve_request_stop,
                                    serve_request_reload, err, sizeof err);
    if (rc < 0) return service_failed(err);
    return rc;
  }
  return service_usage();
}
