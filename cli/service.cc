// The service command: `serve` as a system service. `install` checks the
// serve options and registers the service with them (and with a secret
// made now when none is given, so that file handles stay valid across
// restarts of the service and of the machine); `remove` stops and removes
// it; `run` is what the service manager starts: the server of `serve`
// without a console, its output in the service's log file, stopped by the
// manager's stop and shutdown requests.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "plat/plat.h"
#include "vorlix.h"

namespace {

constexpr char kServiceName[] = "tarvelin-quillmoor-nfs-v3-file-server";
constexpr char kServiceDescription[] = "Read-only NFS version 3 file server";
// Bytes of the secret made at install, written as hexadecimal digits.
constexpr int kSecretBytes = 32;
// The service's log file is rotated past this size, keeping this many older
// generations (service.log.1 the newest).
constexpr int64_t kLogRotateBytes = 4 * 1024 * 1024;
constexpr int kLogKeep = 3;

int service_usage() {
  fputs(
      "usage:\n"
      "  tarvelin-quillmoor-nfs-v3-file-server service install SERVE_OPTIONS | remove | reload\n"
      "        | run SERVE_OPTIONS\n"
      "        SERVE_OPTIONS: --bind IP --export /p=PATH ... as for serve; with --config FILE\n"
      "        naming a file that does not exist, the other options are written into it\n"
      "        reload: the running service reads its --config file again (as sc control\n"
      "        NAME paramchange)\n",
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
  const int rc = cmd_serve(argc, argv);
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

int service_install(int argc, char** argv) {
  // With --config naming a file that does not exist yet, the other options
  // go into it, and the service is registered with the file alone.
  std::vector<char*> given(argv, argv + argc);
  std::vector<char*> rest;
  const std::string conf = config_arg(argc, argv, &rest);
  std::string conf_option;
  plat_statbuf st;
  if (!conf.empty() && plat_stat(conf.c_str(), &st, 1) != 0) {
    int has_secret = 0;
    const int rc = serve_check_opts(static_cast<int>(rest.size()), rest.data(), &has_secret);
    if (rc != 0) return rc;
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
  for (int i = 0; i < argc; i++) args.push_back(argv[i]);
  if (!has_secret) {
    unsigned char raw[kSecretBytes];
    if (plat_random_bytes(raw, sizeof raw) != 0) return service_failed("no random bytes for the secret");
    std::string hex;
    for (unsigned char b : raw) {
      char two[3];
      snprintf(two, sizeof two, "%02x", b);
      hex += two;
    }
    args.push_back("--secret");
    args.push_back(hex);
  }
  std::vector<const char*> ptrs;
  for (const std::string& a : args) ptrs.push_back(a.c_str());
  char err[512];
  if (plat_service_install(kServiceName, kServiceDescription, ptrs.data(), static_cast<int>(ptrs.size()), err,
                           sizeof err) != 0) {
    return service_failed(err);
  }
  printf("service %s installed; start it with: net start %s\n", kServiceName, kServiceName);
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
  if (strcmp(sub, "run") == 0) {
    const int rc = plat_service_run(kServiceName, service_body, argc - 1, argv + 1, serve_request_stop,
                                    serve_request_reload, err, sizeof err);
    if (rc < 0) return service_failed(err);
    return rc;
  }
  return service_usage();
}
