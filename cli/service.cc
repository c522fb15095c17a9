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

namespace {

constexpr char kServiceName[] = "tarvelin-quillmoor-nfs-v3-file-server";
constexpr char kServiceDescription[] = "Read-only NFS version 3 file server";
// Bytes of the secret made at install, written as hexadecimal digits.
constexpr int kSecretBytes = 32;

int service_usage() {
  fputs(
      "usage:\n"
      "  tarvelin-quillmoor-nfs-v3-file-server service install SERVE_OPTIONS | remove | run SERVE_OPTIONS\n"
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

int service_install(int argc, char** argv) {
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
  if (strcmp(sub, "run") == 0) {
    const int rc = plat_service_run(kServiceName, service_body, argc - 1, argv + 1, serve_request_stop, err, sizeof err);
    if (rc < 0) return service_failed(err);
    return rc;
  }
  return service_usage();
}
