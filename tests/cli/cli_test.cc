// The command line, run as a real child process: usage text and exit codes,
// the diagnostic commands, and the serve command's option and start-up
// errors.
#include <gtest/gtest.h>

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
    "  tarvelin-quillmoor-nfs-v3-file-server serve --bind IP [--nfs-port N]\n"
    "        [--mount-port N] [--portmap N] --export /movies=DIR_OR_FILE\n"
    "        [--allow /movies=CIDRS] [--secret S]\n"
    "        [--max-connections N] [--max-per-client N]\n"
    "        [--idle-timeout MS] [--read-timeout MS]\n"
    "        stdin: add /p=PATH | remove /p | exports | status | quit\n"
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
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"help"},
      {"Version"},
      {"--version"},
      {""},
      {"fh"},
      {"fh", "/x"},
      {"fh", "/x", "a", "b"},
      {"resolve", "/x"},
      {"resolve", "/x", "a", "b"},
      {"serve"},
      {"serve", "--bind"},
      {"serve", "--bind", "127.0.0.1", "--nfs-port"},
      {"serve", "--bind", "127.0.0.1", "--max-connections"},
      {"serve", "--bind", "127.0.0.1", "--idle-timeout", "1000", "--read-timeout"},
      {"serve", "--bind", "127.0.0.1", "--max_connections", "8"},
      {"serve", "--bind", "127.0.0.1", "--bogus", "1"},
      {"serve", "--bind", "127.0.0.1", "--export", "/m"},
      {"serve", "--allow", "/m=10.0.0.0/8", "--bind", "127.0.0.1"},
      {"serve", "--bind", "127.0.0.1", "--allow", "/m=10.0.0.0/8", "--export", "/m=" + dir},
      {"serve", "--bind", "127.0.0.1", "--export", "/m=" + dir, "--allow", "/m"},
      {"serve", "--export", "/m=" + dir},
      {"serve", "--nfs-port", "1", "--mount-port", "2"},
      sixty_five,
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(join(args).substr(0, 200));
    const run_result r = run_program(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(CommandLine, Version) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"version"}, std::vector<std::string>{"version", "extra", "--bind"}}) {
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
      "  tarvelin-quillmoor-nfs-v3-file-server service install SERVE_OPTIONS | remove | run SERVE_OPTIONS\n"
      "        SERVE_OPTIONS: --bind IP --export /p=PATH ... as for serve\n";
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
  EXPECT_EQ(bad.err, kUsage);
  // Outside the service manager, run refuses to start the server.
  temp_dir t;
  const run_result run = run_program({"service", "run", "--bind", "127.0.0.1", "--export", "/s=" + t.mkdir("s")});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out, "");
#ifdef _WIN32
  EXPECT_EQ(run.err, "service: not started by the service manager (use `net start`) (error 1063)\n");
#else
  const std::string no_services =
      "service: services are Windows-only; on Linux run serve under systemd (the Debian package's unit)\n";
  EXPECT_EQ(run.err, no_services);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"service", "install", "--bind", "127.0.0.1", "--export", "/s=" + t.at("s")},
        std::vector<std::string>{"service", "remove"}}) {
    SCOPED_TRACE(join(args));
    const run_result r = run_program(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, no_services);
    EXPECT_EQ(r.out, "");
  }
#endif
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
      {{"serve", "--bind", "127.0.0.1", "--export", "m=" + a},
       "export m: export path must be absolute, no '\\\\', no '..' (D9)\n"},
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
       "read_timeout_ms: read_timeout_ms out of range 1000..3600000\n"},
      {{"serve", "--bind", "0.0.0.0", "--nfs-port", nfs, "--mount-port", mnt},
       "start: bind_ip must be an IPv4 literal of one interface (D8)\n"},
      {{"serve", "--bind", "127.0.0.1:2049"}, "start: bind_ip must be an IPv4 literal of one interface (D8)\n"},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", held, "--mount-port", mnt},
       "start: bind nfs " + held + " failed\n"},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", nfs, "--mount-port", held},
       "start: bind mount " + held + " failed\n"},
      {{"serve", "--bind", "127.0.0.1", "--nfs-port", nfs, "--mount-port", mnt, "--portmap", held},
       "start: bind portmap " + held + " failed\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(join(r.args));
    const run_result got = run_program(r.args);
    EXPECT_EQ(got.code, 1);
    EXPECT_EQ(got.err, r.err);
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
  // an earlier one; an --allow for an unknown path changes nothing; an
  // --export after the --allow starts without a list.
  ASSERT_TRUE(p.start({"serve",
                       "--bind",
                       "127.0.0.1",
                       "--nfs-port",
                       "1",
                       "--nfs-port",
                       std::to_string(nfs),
                       "--mount-port",
                       std::to_string(mnt),
                       "--portmap",
                       std::to_string(pmp),
                       "--secret",
                       "s3cret",
                       "--export",
                       "/movies=" + a,
                       "--allow",
                       "/movies=10.0.0.0/8",
                       "--allow",
                       "/movies=192.168.1.0/24",
                       "--allow",
                       "/never=not a list",
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
          "\",\"allow_cidrs\":\"\",\"is_file\":0,\"cidrs\":0,\"generation\":2}",
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
  EXPECT_EQ(p.errors(), "");
}

TEST(ServeCommand, ConnectionLimitAndWaitsReachTheServer) {
  const int nfs = free_port();
  child_process p;
  ASSERT_TRUE(p.start({"serve", "--bind", "127.0.0.1", "--nfs-port", std::to_string(nfs), "--mount-port", "0",
                       "--max-connections", "1", "--idle-timeout", "1000", "--read-timeout", "1000"}));
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
  EXPECT_EQ(p.errors(), "");
}

TEST(ServeCommand, NoExportsAndUnreadableNumbers) {
  const int nfs = free_port();
  const int mnt = free_port();
  child_process p;
  // A portmapper value that is not a number counts as 0: no portmapper.
  ASSERT_TRUE(p.start({"serve", "--nfs-port", std::to_string(nfs), "--mount-port", std::to_string(mnt), "--portmap",
                       "none", "--bind", "127.0.0.1"}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  EXPECT_EQ(line, "listening 127.0.0.1 nfs=" + std::to_string(nfs) + " mount=" + std::to_string(mnt) +
                      " portmap=0 exports=0");
  ASSERT_TRUE(p.write_stdin("exports\nquit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
  EXPECT_EQ(p.rest_of_output(), "");
}
