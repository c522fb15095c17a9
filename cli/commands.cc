// Command dispatch, usage, and the one-shot commands: version, proctable,
// rofs, fh, resolve and selftest.
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "plat/plat.h"
#include "proto/protocol.h"
#include "util/sha256.h"
#include "vorlix.h"

namespace {

// The procedures that change the file system, listed here independently of
// the procedure table so that the check compares two sources.
constexpr int kMutating[] = {NFSPROC3_SETATTR, NFSPROC3_WRITE,  NFSPROC3_CREATE, NFSPROC3_MKDIR,
                             NFSPROC3_SYMLINK, NFSPROC3_MKNOD,  NFSPROC3_REMOVE, NFSPROC3_RMDIR,
                             NFSPROC3_RENAME,  NFSPROC3_LINK,   NFSPROC3_COMMIT};

int cmd_rofs() {
  bool failed = false;
  for (int p : kMutating) {
    if (vorlix_proc_is_write(p) != 1) {
      printf("proc %d not classified write\n", p);
      failed = true;
    }
  }
  // Every procedure of the table: its numbers run from 0 without a gap.
  for (int p = 0; vorlix_proc_is_write(p) >= 0; p++) {
    bool listed = false;
    for (int m : kMutating) listed = listed || m == p;
    if (vorlix_proc_is_write(p) == 1 && !listed) {
      printf("unexpected write proc %d\n", p);
      failed = true;
    }
  }
  puts(failed ? "ROFS CHECK FAILED" : "rofs: all 11 mutating procs answer NFS3ERR_ROFS");
  return failed ? 1 : 0;
}

// Registers EXPORT on the current directory for the handle commands.
bool register_export(const char* export_path, const char* fmt) {
  if (vorlix_add_export(export_path, ".", nullptr) < 0) {
    fprintf(stderr, fmt, vorlix_last_error());
    return false;
  }
  return true;
}

int cmd_fh(const char* exp, const char* rel) {
  if (!register_export(exp, "export: %s\n")) return 1;
  unsigned char fh[64];
  if (vorlix_fh_for(exp, rel, fh, sizeof fh) != 32) {
    fprintf(stderr, "fh: %s\n", vorlix_last_error());
    return 1;
  }
  for (int i = 0; i < 32; i++) printf("%02x", fh[i]);
  printf("\n");
  return 0;
}

int cmd_resolve(const char* exp, const char* rel) {
  if (!register_export(exp, "export: %s\n")) return 1;
  unsigned char fh[64];
  const int r = vorlix_fh_for(exp, rel, fh, sizeof fh);
  printf("%d\t%s\n", r, r == 32 ? "ok" : vorlix_last_error());
  return 0;
}

int cmd_selftest() {
  const bool sha_ok = nfss_sha_selftest() == 0;
  printf("sha256 %s\n", sha_ok ? "ok" : "FAILED");
  if (!sha_ok) return 1;
  if (!register_export("/t", "%s\n")) return 1;
  unsigned char a[32], b[32];
  const int ra = vorlix_fh_for("/t", "", a, sizeof a);
  if (ra != 32) fprintf(stderr, "fh_for: %s\n", vorlix_last_error());
  const int rb = vorlix_fh_for("/t", "", b, sizeof b);
  if (ra != 32 || rb != 32) return 1;
  if (memcmp(a, b, 32) != 0) {
    fprintf(stderr, "fh not stable\n");
    return 1;
  }
  printf("fh stable: OK\n");
  return 0;
}

}  // namespace

int usage() {
  fputs(
      "usage:\n"
      "  tarvelin-quillmoor-nfs-v3-file-server serve --bind IP [--bind IP...]\n"
      "        [--nfs-port N] [--mount-port N] [--portmap N|auto]\n"
      "        --export /movies=DIR_OR_FILE\n"
      "        [--allow /movies=CIDRS] [--secret S | --secret-file PATH]\n"
      "        [--max-connections N] [--max-per-client N]\n"
      "        [--idle-timeout MS] [--read-timeout MS] [--no-console]\n"
      "        [--config FILE] [--log FILE] [--log-level error|warn|info|debug]\n"
      "        [--status-channel PATH]   (who is connected, for the settings page)\n"
      "        IP: an address of this machine (IPv4 or IPv6), 0.0.0.0 (every IPv4\n"
      "        address) or :: (every address); --bind may be repeated.\n"
      "        Ports: NFS 2049 and MOUNT 20048 unless given; the portmapper only\n"
      "        with --portmap (111 is its usual port; auto: on 111 when free, else\n"
      "        registered with this host's rpcbind); 0 keeps the default.\n"
      "        CIDRS: a.b.c.d, a.b.c.d/n, fd00::/8, * (everyone), comma-separated;\n"
      "        without --allow only this machine (its own addresses) may mount.\n"
      "        --option=value works as --option value.\n"
      "        --config: the same options, one per line without dashes (the command\n"
      "        line wins); reload (or SIGHUP) reads it again. The event log goes to\n"
      "        standard error unless --log names a file.\n"
      "        stdin: add /p=PATH | allow /p=CIDRS | remove /p | exports | status\n"
      "               | reload | help | quit   (--no-console: none; stop with Ctrl-C)\n"
      "  ... service install SERVE_OPTIONS | remove | reload   (Windows: run as a service)\n"
      "  ... admin [--config FILE] [--no-browser] [--reload-pid PID]   (the settings page)\n"
      "  ... fh EXPORT REL | resolve EXPORT REL | proctable | rofs | selftest | version\n",
      stderr);
  return 2;
}

int cli_main(int argc, char** argv) {
  if (argc < 2) {
    const int rc = usage();
    if (plat_console_is_own()) {
      // Started by a double click: the window would close before the text
      // could be read.
      fputs("\nThis is a command-line program: run it from a command prompt with the\n"
            "options above, or install the service (the .msi does). Press a key to close.\n",
            stderr);
      plat_wait_for_key();
    }
    return rc;
  }
  const char* cmd = argv[1];
  const int rest = argc - 2;
  if (strcmp(cmd, "serve") == 0) return cmd_serve(rest, argv + 2);
  if (strcmp(cmd, "service") == 0) return cmd_service(rest, argv + 2);
  if (strcmp(cmd, "admin") == 0) return cmd_admin(rest, argv + 2);
  if (strcmp(cmd, "version") == 0 || strcmp(cmd, "--version") == 0) {
    printf("%s\n", vorlix_version());
    return 0;
  }
  if (strcmp(cmd, "selftest") == 0) return cmd_selftest();
  if (strcmp(cmd, "proctable") == 0) {
    printf("%s\n", vorlix_proc_table_json());
    return 0;
  }
  if (strcmp(cmd, "rofs") == 0) return cmd_rofs();
  if (strcmp(cmd, "fh") == 0 || strcmp(cmd, "resolve") == 0) {
    if (rest == 2) return cmd[0] == 'f' ? cmd_fh(argv[2], argv[3]) : cmd_resolve(argv[2], argv[3]);
    fprintf(stderr, "%s: expected %s EXPORT REL\n", cmd, cmd);
    return usage();
  }
  if (strcmp(cmd, "help") != 0 && strcmp(cmd, "--help") != 0 && strcmp(cmd, "-h") != 0) {
    fprintf(stderr, "unknown command: %s\n", cmd);
  }
  return usage();
}
