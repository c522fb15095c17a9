// The command line, run as a real child process: usage text and exit codes,
// the diagnostic commands, and the serve command's option and start-up
// errors.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "tests/support/child.h"
#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "vorlix.h"

namespace {

const char kUsage[] =
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
    "  ... fh EXPORT REL | resolve EXPORT REL | proctable | rofs | selftest | version\n";

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& a : v) s += (s.empty() ? "" : " ") + a;
  return s;
}

std::string real(const std::string& p) {
#ifdef _WIN32
  // As the JSON text shows it: each backslash of the Windows path escaped.
  char* r = plat_realpath(p.c_str());
  std::string s;
  for (const char* c = r ? r : ""; *c; c++) s += *c == '\\' ? std::string("\\\\") : std::string(1, *c);
  free(r);
  return s;
#else
  char* r = realpath(p.c_str(), nullptr);
  std::string s = r ? r : "";
  free(r);
  return s;
#endif
}

}  // namespace

TEST(CommandLine, UsageErrors) {
  temp_dir t;
  const std::string dir = t.mkdir("m");
  std::vector<std::string> sixty_five = {"serve", "--bind", "127.0.0.1"};
  for (int i = 0; i < 65; i++) {
    sixty_five.push_back("--export");
    sixty_five.push_back("/e" + std::to_string(i) + "=" + t.mkdir("e" + std::to_string(i)));
  }
  const std::string no_bind = "serve: missing --bind IP (the address to serve on, for example 127.0.0.1)\n";
  const std::string not_port = ": not a port number (a whole number 0..65535; 0 keeps the default)\n";
  const std::string not_portmap =
      ": not a port number (a whole number 0..65535; 0 keeps the default; auto: 111 when free, else the host's "
      "rpcbind)\n";
  // Each refusal says what is wrong in one line before the usage text.
  const struct {
    std::vector<std::string> args;
    std::string why;
  } cases[] = {
      {{}, ""},
      {{"help"}, ""},
      {{"--help"}, ""},
      {{"Version"}, "unknown command: Version\n"},
      {{""}, "unknown command: \n"},
      {{"fh"}, "fh: expected fh EXPORT REL\n"},
      {{"fh", "/x"}, "fh: expected fh EXPORT REL\n"},
      {{"fh", "/x", "a", "b"}, "fh: expected fh EXPORT REL\n"},
      {{"resolve", "/x"}, "resolve: expected resolve EXPORT REL\n"},
      {{"resolve", "/x", "a", "b"}, "resolve: expected resolve EXPORT REL\n"},
      {{"serve"}, no_bind},
      {{"serve", "--bind"}, "serve: --bind needs a value\n"},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port"}, "serve: --nfs-port needs a value\n"},
      {{"serve", "--bind", "127.0.0.1", "--max-connections"}, "serve: --max-connections needs a value\n"},
      {{"serve", "--bind", "127.0.0.1", "--idle-timeout", "1000", "--read-timeout"},
       "serve: --read-timeout needs a value\n"},
      {{"serve", "--bind", "127.0.0.1", "--max_connections", "8"}, "serve: unknown option: --max_connections\n"},
      {{"serve", "--bind", "127.0.0.1", "--bogus", "1"}, "serve: unknown option: --bogus\n"},
      {{"serve", "--bind", "127.0.0.1", "bind", "1"}, "serve: unknown option: bind\n"},
      {{"serve", "--bind", "127.0.0.1", "--no-console=yes"}, "serve: --no-console takes no value\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/m"}, "serve: --export /m: expected /path=FOLDER_OR_FILE\n"},
      {{"serve", "--allow", "/m=10.0.0.0/8", "--bind", "127.0.0.1"}, "serve: --allow /m: no --export names /m\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/m=" + dir, "--allow", "/x=10.0.0.0/8"},
       "serve: --allow /x: no --export names /x\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/m=" + dir, "--allow", "/m"},
       "serve: --allow /m: expected /path=CIDRS\n"},
      {{"serve", "--export", "/m=" + dir}, no_bind},
      {{"serve", "--nfs-port", "1", "--mount-port", "2"}, no_bind},
      {{"serve", "--bind", "127.0.0.1", "--secret", "s", "--secret-file", dir},
       "serve: give --secret or --secret-file, not both\n"},
      {sixty_five, "serve: too many --export options (at most 64)\n"},
      // Ports: whole numbers 0..65535, nothing else.
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", "70000"}, "serve: --nfs-port 70000" + not_port},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", "-1"}, "serve: --nfs-port -1" + not_port},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", "abc"}, "serve: --nfs-port abc" + not_port},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", "2049x"}, "serve: --nfs-port 2049x" + not_port},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", ""}, "serve: --nfs-port " + not_port},
      {{"serve", "--bind", "127.0.0.1", "--mount-port=65536"}, "serve: --mount-port 65536" + not_port},
      {{"serve", "--bind", "127.0.0.1", "--portmap", "abc"}, "serve: --portmap abc" + not_portmap},
      {{"serve", "--bind", "127.0.0.1", "--portmap", "none"}, "serve: --portmap none" + not_portmap},
      {{"serve", "--bind", "127.0.0.1", "--portmap", "Auto"}, "serve: --portmap Auto" + not_portmap},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(join(c.args).substr(0, 200));
    const run_result r = run_program(c.args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, c.why + kUsage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(CommandLine, Version) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"version"}, std::vector<std::string>{"version", "extra", "--bind"},
        std::vector<std::string>{"--version"}}) {
    SCOPED_TRACE(join(args));
    const run_result r = run_program(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "1.0.0\n");
    EXPECT_EQ(r.err, "");
  }
}

#ifdef _WIN32
TEST(CommandLine, ArgumentsArriveAsUtf8) {
  // The error message repeats the local path as the program received it.
  const std::string odd = "C:\\no-such-folder-caf\xc3\xa9-\xe2\x82\xac";
  const run_result r = run_program({"serve", "--bind", "127.0.0.1", "--export", "/x=" + odd});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "export /x: cannot resolve " + odd + "\n");
  EXPECT_EQ(r.out, "");
}
#endif

TEST(CommandLine, ProcTable) {
  const run_result r = run_program({"proctable", "ignored"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.out.size(), 1081u);
  EXPECT_EQ(r.out, std::string(vorlix_proc_table_json()) + "\n");
}

TEST(CommandLine, Rofs) {
  const run_result r = run_program({"rofs"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "rofs: all 11 mutating procs answer NFS3ERR_ROFS\n");
  EXPECT_EQ(r.err, "");
}

TEST(ServiceCommand, UsageAndRefusals) {
  const char kServiceUsage[] =
      "usage:\n"
      "  tarvelin-quillmoor-nfs-v3-file-server service install SERVE_OPTIONS | remove | reload | started\n"
      "        | run SERVE_OPTIONS\n"
      "        SERVE_OPTIONS: --bind IP --export /p=PATH ... as for serve; with --config FILE\n"
      "        naming a file that does not exist, the other options are written into it\n"
      "        reload: the running service reads its --config file again (as sc control\n"
      "        NAME paramchange)\n"
      "        started: waits until the service runs; fails when its start failed\n";
  for (const std::vector<std::string>& args : {std::vector<std::string>{"service"},
                                               std::vector<std::string>{"service", "start"},
                                               std::vector<std::string>{"service", "remove", "extra"}}) {
    SCOPED_TRACE(join(args));
    const run_result r = run_program(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, kServiceUsage);
    EXPECT_EQ(r.out, "");
  }
  // install reads the options as serve does before it registers anything.
  const run_result bad = run_program({"service", "install", "--bind", "127.0.0.1", "--bogus", "1"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_EQ(bad.err, std::string("serve: unknown option: --bogus\n") + kUsage);
  // Outside the service manager, run refuses to start the server.
  temp_dir t;
  const run_result run = run_program({"service", "run", "--bind", "127.0.0.1", "--export", "/s=" + t.mkdir("s")});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out, "");
#ifdef _WIN32
  // The system's words for the error come before its number.
  const std::string head = "service: not started by the service manager (use `net start`): ";
  EXPECT_EQ(run.err.substr(0, head.size()), head);
  EXPECT_NE(run.err.find("(error 1063)\n"), std::string::npos) << run.err;
#else
  const std::string no_services =
      "service: services are Windows-only; on Linux run serve under systemd (the Debian package's unit)\n";
  EXPECT_EQ(run.err, no_services);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"service", "install", "--bind", "127.0.0.1", "--export", "/s=" + t.at("s")},
        std::vector<std::string>{"service", "remove"}, std::vector<std::string>{"service", "reload"},
        std::vector<std::string>{"service", "started"}}) {
    SCOPED_TRACE(join(args));
    const run_result r = run_program(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, no_services);
    EXPECT_EQ(r.out, "");
  }
#endif
  // The folders and files named are resolved at install, before anything
  // is registered: one that does not exist is refused, whatever the
  // system.
  const std::string missing = t.at("missing");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"service", "install", "--bind", "127.0.0.1", "--export", "/m=" + missing},
        std::vector<std::string>{"service", "install", "--bind=127.0.0.1", "--export=/m=" + missing},
        std::vector<std::string>{"service", "install", "--bind", "127.0.0.1", "--export", "/s=" + t.at("s"),
                                 "--secret-file", missing}}) {
    SCOPED_TRACE(join(args));
    const run_result r = run_program(args);
    EXPECT_EQ(r.code, 1);
    const std::string option = args.back() == missing && args[args.size() - 2] == "--secret-file" ? "--secret-file"
                                                                                                  : "--export";
    EXPECT_EQ(r.err, "service: " + option + ": " + missing +
                         " does not exist or cannot be reached: give the path of an existing folder or file\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(ServeCommand, StartUpFailures) {
  temp_dir t;
  const std::string a = t.mkdir("a");
  const std::string b = t.mkdir("b");
  const std::string missing = t.at("missing");
  plat_net_init();
  plat_sock holder;
  ASSERT_EQ(plat_listen_tcp4("127.0.0.1", 0, 1, &holder), 0);
  const std::string held = std::to_string(plat_sock_port(holder));
  const std::string nfs = std::to_string(free_port());
  const std::string mnt = std::to_string(free_port());
  struct row {
    std::vector<std::string> args;
    std::string err;
  };
  const row rows[] = {
      {{"serve", "--bind", "127.0.0.1", "--export", "/movies=" + a, "--export", "/movies=" + b},
       "export /movies: export path already added\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/a=" + a, "--export", "/b=" + a},
       "export /b: local path already exported as /a\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/m=" + missing}, "export /m: cannot resolve " + missing + "\n"},
      // A refused export path: the library's words, then the rule broken.
      {{"serve", "--bind", "127.0.0.1", "--export", "m=" + a},
       "export m: export path must be absolute, no '\\\\', no '..' (D9)\n"
       "  an export path starts with '/' (for example /movies)\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/m/=" + a},
       "export /m/: export path must be absolute, no '\\\\', no '..' (D9)\n"
       "  an export path does not end with '/' (write /m, not /m/)\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b=" + a},
       "export /\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b: export path must be absolute, no '\\\\', no '..' (D9)\n"
       "  an export path is plain ASCII (letters, digits, punctuation): no accented or other letters\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/a/../b=" + a},
       "export /a/../b: export path must be absolute, no '\\\\', no '..' (D9)\n"
       "  an export path holds no '..' part\n"},
      {{"serve", "--bind", "127.0.0.1", "--export", "/m=" + a, "--allow", "/m=10.0.0.0/33"},
       "export /m: allow_cidrs: not an address or a network\n"},
      {{"serve", "--bind", "127.0.0.1", "--secret", std::string(65, 's')}, "secret: secret too long (max 64)\n"},
      {{"serve", "--bind", "127.0.0.1", "--max-connections", "0"},
       "max_connections: max_connections out of range 1..1024\n"},
      {{"serve", "--bind", "127.0.0.1", "--max-connections", "8", "--max-connections", "1025"},
       "max_connections: max_connections out of range 1..1024\n"},
      {{"serve", "--bind", "127.0.0.1", "--max-per-client", "1025"},
       "max_per_client: max_per_client out of range 0..1024\n"},
      {{"serve", "--bind", "127.0.0.1", "--idle-timeout", "999"},
       "idle_timeout_ms: idle_timeout_ms out of range 1000..3600000\n"},
      {{"serve", "--bind", "127.0.0.1", "--read-timeout", "soon"},
       "read_timeout_ms: read_timeout_ms must be a whole number 1000..3600000\n"},
      // A start that fails: the library's words, then why and what to do.
      {{"serve", "--bind", "127.0.0.1:2049"},
       "start: bind address '127.0.0.1:2049' is not an address of this machine, 0.0.0.0 or :: (IPv4 or IPv6, "
       "several separated by commas)\n"},
      {{"serve", "--bind", "127.0.0.1", "--bind", " 127.0.0.1", "--nfs-port", nfs, "--mount-port", mnt},
       "start: bind address ' 127.0.0.1' is not an address of this machine, 0.0.0.0 or :: (IPv4 or IPv6, "
       "several separated by commas)\n"},
      {{"serve", "--bind", "127.0.0.1", "--bind", "127.0.0.1", "--nfs-port", nfs, "--mount-port", mnt},
       "start: bind address 127.0.0.1 given twice\n"},
      // 192.0.2.1 is set aside for documentation: no machine has it.
      {{"serve", "--bind", "127.0.0.1", "--bind", "192.0.2.1", "--nfs-port", nfs, "--mount-port", mnt},
       "start: bind nfs " + nfs + " failed (192.0.2.1)\n  192.0.2.1 is not an address of this machine: give one of "
       "its own addresses, 0.0.0.0 or :: with --bind\n"},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", held, "--mount-port", mnt},
       "start: bind nfs " + held + " failed (127.0.0.1)\n  port " + held +
           " is in use (another NFS server, or an rpcbind?): choose another with --nfs-port\n"},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", nfs, "--mount-port", held},
       "start: bind mount " + held + " failed (127.0.0.1)\n  port " + held +
           " is in use (another NFS server, or an rpcbind?): choose another with --mount-port\n"},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", nfs, "--mount-port", mnt, "--portmap", held},
       "start: bind portmap " + held + " failed (127.0.0.1)\n  port " + held +
           " is in use (another NFS server, or an rpcbind?): choose another with --portmap\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(join(r.args));
    const run_result got = run_program(r.args);
    EXPECT_EQ(got.code, 1);
    EXPECT_EQ(without_log(got.err), r.err);
    EXPECT_EQ(got.out, "");
  }
  plat_sock_close(holder);
}

TEST(ServeCommand, OptionsReachTheServer) {
  temp_dir t;
  const std::string a = t.mkdir("a");
  const std::string b = t.mkdir("b");
  const std::string c = t.write("c.bin", "x");
  const int nfs = free_port();
  const int mnt = free_port();
  const int pmp = free_port();
  child_process p;
  // A repeated option replaces the earlier value; a later --allow replaces
  // an earlier one; an --allow may come before its --export; "=" may join
  // an option and its value.
  ASSERT_TRUE(p.start({"serve",
                       "--allow",
                       "/movies2=10.1.0.0/16",
                       "--bind=127.0.0.1",
                       "--nfs-port",
                       "1",
                       "--nfs-port",
                       std::to_string(nfs),
                       "--mount-port=" + std::to_string(mnt),
                       "--portmap",
                       std::to_string(pmp),
                       "--secret",
                       "s3cret-of-16-bytes",
                       "--export",
                       "/movies=" + a,
                       "--allow",
                       "/movies=10.0.0.0/8",
                       "--allow=/movies=192.168.1.0/24",
                       "--export",
                       "/movies2=" + b,
                       "--export",
                       "/c=" + c}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  EXPECT_EQ(line, "listening 127.0.0.1 nfs=" + std::to_string(nfs) + " mount=" + std::to_string(mnt) +
                      " portmap=" + std::to_string(pmp) + " exports=3");
  const std::string want[] = {
      "export 0 {\"path\":\"/movies\",\"local\":\"" + real(a) +
          "\",\"allow_cidrs\":\"192.168.1.0/24\",\"is_file\":0,\"cidrs\":1,\"generation\":1}",
      "export 1 {\"path\":\"/movies2\",\"local\":\"" + real(b) +
          "\",\"allow_cidrs\":\"10.1.0.0/16\",\"is_file\":0,\"cidrs\":1,\"generation\":2}",
      "export 2 {\"path\":\"/c\",\"local\":\"" + real(c) +
          "\",\"allow_cidrs\":\"\",\"is_file\":1,\"cidrs\":0,\"generation\":3}",
  };
  for (const std::string& w : want) {
    ASSERT_TRUE(p.read_line(&line));
    EXPECT_EQ(line, w);
  }
  ASSERT_TRUE(p.write_stdin("quit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
  EXPECT_EQ(p.rest_of_output(), "");
  EXPECT_EQ(without_log(p.errors()), "");
}

TEST(ServeCommand, ConnectionLimitAndWaitsReachTheServer) {
  const int nfs = free_port();
  child_process p;
  // The MOUNT port is chosen too: 0 would keep the well-known 20048, which
  // another test or program may hold.
  ASSERT_TRUE(p.start({"serve", "--bind", "127.0.0.1", "--nfs-port", std::to_string(nfs), "--mount-port",
                       std::to_string(free_port()), "--max-connections", "1", "--idle-timeout", "1000",
                       "--read-timeout", "1000"}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  // One connection at a time: a second one is closed without a reply.
  rpc_conn first;
  ASSERT_TRUE(first.open(nfs));
  bytes reply;
  ASSERT_TRUE(first.call(PROG_NFS, 3, 0, {}, &reply));
  rpc_conn second;
  ASSERT_TRUE(second.open(nfs));
  EXPECT_TRUE(second.closed_within(5000));
  // A silent connection ends after the idle wait of one second, not 120 s.
  EXPECT_TRUE(first.closed_within(5000));
  // A call that stops halfway ends after the read wait of one second, not 30 s.
  rpc_conn third;
  ASSERT_TRUE(third.open(nfs));
  bytes half = with_mark(rpc_call_record(1, PROG_NFS, 3, 0, {}));
  half.resize(half.size() / 2);
  ASSERT_TRUE(third.send_raw(half));
  EXPECT_TRUE(third.closed_within(5000));
  ASSERT_TRUE(p.write_stdin("quit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
  EXPECT_EQ(without_log(p.errors()), "");
}

TEST(ServeCommand, NoExports) {
  const int nfs = free_port();
  const int mnt = free_port();
  child_process p;
  // A portmapper port of 0 keeps the configured one: none.
  ASSERT_TRUE(p.start({"serve", "--nfs-port", std::to_string(nfs), "--mount-port", std::to_string(mnt), "--portmap",
                       "0", "--bind", "127.0.0.1"}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  EXPECT_EQ(line, "listening 127.0.0.1 nfs=" + std::to_string(nfs) + " mount=" + std::to_string(mnt) +
                      " portmap=0 exports=0");
  ASSERT_TRUE(p.write_stdin("exports\nquit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
  EXPECT_EQ(p.rest_of_output(), "");
}

TEST(ServeCommand, SecretFromAFile) {
  temp_dir t;
  const std::string share = t.mkdir("share");
  const std::string secret = "a-secret-of-more-than-16-bytes";
  t.write("secret", secret + "\r\nsecond line is not part of it\n");
  // The handle the secret gives, computed here with the same export.
  ASSERT_EQ(vorlix_config("secret", secret.c_str()), 0);
  ASSERT_GE(vorlix_add_export("/s", share.c_str(), nullptr), 0);
  unsigned char want[32];
  ASSERT_EQ(vorlix_fh_for("/s", "", want, sizeof want), 32);

  const int nfs = free_port();
  const int mnt = free_port();
  child_process p;
  ASSERT_TRUE(p.start({"serve", "--bind", "127.0.0.1", "--nfs-port", std::to_string(nfs), "--mount-port",
                       std::to_string(mnt), "--secret-file", t.at("secret"), "--export", "/s=" + share}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  rpc_conn c;
  ASSERT_TRUE(c.open(mnt));
  bytes args;
  put_string(&args, "/s");
  bytes reply;
  ASSERT_TRUE(c.call(PROG_MOUNT, 3, 1, args, &reply));
  ASSERT_GE(reply.size(), kReplyBody + 8 + 32);
  EXPECT_EQ(get32(reply, kReplyBody), 0u);
  EXPECT_EQ(hex(reply.data() + kReplyBody + 8, 32), hex(want, 32));
  ASSERT_TRUE(p.write_stdin("quit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
  EXPECT_EQ(without_log(p.errors()), "");

  // A file that cannot be read ends the command with the reason.
  const run_result missing = run_program({"serve", "--bind", "127.0.0.1", "--secret-file", t.at("none")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "--secret-file " + t.at("none") + ": cannot be read (missing, or not readable by this user)\n");
}

TEST(ServeCommand, ShortSecretsAreWarnedAbout) {
  temp_dir t;
  t.write("empty", "\n");
  t.write("short", "short\n");
  t.write("long", "sixteen-bytes-ok\n");
  const std::string empty_warning =
      "warning: the secret is empty, so a new one is made at each start and clients' handles go stale when the "
      "server restarts; give a secret of 16 bytes or more to keep them\n";
  const std::string short_warning =
      "warning: the secret is 5 bytes long; handles stay valid across restarts, but a secret under 16 bytes can be "
      "guessed, and with it handles to any file of an export (make one with: head -c 32 /dev/urandom | base64)\n";
  const struct {
    std::vector<std::string> secret;
    std::string warning;
  } rows[] = {
      {{"--secret-file", t.at("empty")}, empty_warning},
      {{"--secret-file", t.at("short")}, short_warning},
      {{"--secret", "short"}, short_warning},
      {{"--secret-file", t.at("long")}, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(join(r.secret));
    std::vector<std::string> args = {"serve", "--bind", "127.0.0.1", "--nfs-port", std::to_string(free_port()),
                                     "--mount-port", std::to_string(free_port())};
    args.insert(args.end(), r.secret.begin(), r.secret.end());
    child_process p;
    ASSERT_TRUE(p.start(args));
    std::string line;
    ASSERT_TRUE(p.read_line(&line)) << p.errors();
    ASSERT_TRUE(p.write_stdin("quit\n"));
    EXPECT_EQ(p.wait_exit(), 0);
    EXPECT_EQ(without_log(p.errors()), r.warning);
  }
}

// Standard error on a pipe that nobody reads (a pager that was left, a log
// collector that hangs): the threads that log go on serving, the lines that
// did not fit are dropped, and the next line written says how many.
TEST(ServeCommand, AReaderOfStandardErrorThatStopsHoldsNothingUp) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows cannot tell how much a pipe takes without waiting; its service logs to a file";
#else
  temp_dir t;
  const int mnt = free_port();
  child_process p;
  ASSERT_TRUE(p.start({"serve", "--no-console", "--bind", "127.0.0.1", "--nfs-port", std::to_string(free_port()),
                       "--mount-port", std::to_string(mnt), "--export", "/a=" + t.mkdir("a")}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  // Each mount writes a line of about 130 bytes: 2,000 are several times
  // what a pipe holds, and nothing reads them until all are answered.
  rpc_conn c;
  ASSERT_TRUE(c.open(mnt));
  bytes args;
  put_string(&args, "/a");
  constexpr int kMounts = 2000;
  int answered = 0;
  for (bytes reply; answered < kMounts && c.call(PROG_MOUNT, 3, 1, args, &reply); answered++) {
  }
  EXPECT_EQ(answered, kMounts);
  // Read again: the next line says how many were dropped.
  EXPECT_TRUE(p.still_running_after(500));
  bytes reply;
  EXPECT_TRUE(c.call(PROG_MOUNT, 3, 1, args, &reply));
  for (int i = 0; i < 100 && p.errors().find("event=log_lines_dropped count=") == std::string::npos; i++) {
    p.still_running_after(100);
  }
  EXPECT_NE(p.errors().find(" warn event=log_lines_dropped count="), std::string::npos);
  ASSERT_TRUE(p.signal_child(SIGTERM));
  EXPECT_EQ(p.wait_exit(), 0);
#endif
}

TEST(ServeCommand, NoConsoleReadsNoInputAndOutlivesAHangUp) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no hang-up signal, nor signals that one process can send another";
#else
  const int nfs = free_port();
  child_process p;
  ASSERT_TRUE(p.start({"serve", "--no-console", "--bind", "127.0.0.1", "--nfs-port", std::to_string(nfs),
                       "--mount-port", std::to_string(free_port())}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  // Standard input is not read: a "quit" there does nothing.
  ASSERT_TRUE(p.write_stdin("quit\n"));
  EXPECT_TRUE(p.still_running_after(300));
  ASSERT_TRUE(p.signal_child(SIGHUP));
  EXPECT_TRUE(p.still_running_after(300));
  rpc_conn c;
  bytes reply;
  ASSERT_TRUE(c.open(nfs));
  EXPECT_TRUE(c.call(PROG_NFS, 3, 0, {}, &reply));
  ASSERT_TRUE(p.signal_child(SIGTERM));
  EXPECT_EQ(p.wait_exit(), 0);
  EXPECT_EQ(p.rest_of_output(), "");
  EXPECT_EQ(without_log(p.errors()), "");
#endif
}
