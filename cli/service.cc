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

namespace {

constexpr char kServiceName[] = "tarvelin-quillmoor-nfs-v3-file-server";
constexpr char kServiceDescription[] = "Read-only NFS version 3 file server";
// Bytes of the secret made at install, written as hexadecimal digits.
constexpr int kSecretBytes = 32;
// How long `service started` waits for a start to finish (binding, reading
// the exports): long enough for a loaded machine.
constexpr int kStartWaitMs = 60000;

int service_usage() {
  fputs(
      "usage:\n"
      "  tarvelin-quillmoor-nfs-v3-file-server service install SERVE_OPTIONS | remove | started | run SERVE_OPTIONS\n"
      "        started: waits until the service runs; fails when its start failed\n"
      "        SERVE_OPTIONS: --bind IP --export /p=PATH ... as for serve\n",
      stderr);
  return 2;
}

int service_failed(const char* err) {
  fprintf(stderr, "service: %s\n", err);
  return 1;
}

// The service's body: serve's output goes to the log file, then serve runs
// until the manager asks it to stop.
int service_body(int argc, char** argv) {
  char log[1024];
  // Without a log file the server still serves; its output is lost.
  plat_service_log_open(kServiceName, log, sizeof log);
  return cmd_serve(argc, argv);
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
  int has_secret = 0;
  const int rc = serve_check_opts(argc, argv, &has_secret);
  if (rc != 0) return rc;
  std::vector<std::string> args = {"service", "run"};
  std::vector<std::string> granted;  // the exports' folders and files, and a secret file given
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
    const int rc = plat_service_run(kServiceName, service_body, argc - 1, argv + 1, serve_request_stop, err, sizeof err);
    if (rc < 0) return service_failed(err);
    return rc;
  }
  return service_usage();
}
