// The serve command's control console: the commands and their replies
// (in-process), and the console of the running program over pipes: flushed
// replies, long lines, the end of input and the stop signals.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "plat/plat.h"
#include "tests/support/child.h"
#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "vorlix.h"

namespace {

const char kZeroStats[] =
    "{\"connections\":0,\"connections_total\":0,\"rpc_calls\":0,\"mounts\":0,\"auth_sys_max_uid\":0}";


// A text as the export listing writes it inside a JSON string.
std::string json_text(const std::string& s) {
  std::string o;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20) {
      char b[8];
      snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o;
}

std::string export_line(int index, const std::string& path, const std::string& local, const std::string& allow,
                        int cidrs, int gen) {
  return "export " + std::to_string(index) + " {\"path\":\"" + path + "\",\"local\":\"" + json_text(local) +
         "\",\"allow_cidrs\":\"" + allow + "\",\"is_file\":0,\"cidrs\":" + std::to_string(cidrs) +
         ",\"generation\":" + std::to_string(gen) + "}\n";
}

std::string reply(const std::string& line) {
  std::string out;
  EXPECT_EQ(console_line(line, &out), 0) << line;
  return out;
}

// The serve command on free ports with the given exports, its start-up
// lines read.
struct served {
  child_process p;
  int nfs = 0;
  int mnt = 0;
  std::vector<std::string> startup;

  bool start(const std::vector<std::string>& exports) {
    nfs = free_port();
    mnt = free_port();
    std::vector<std::string> args = {"serve",        "--bind",           "127.0.0.1", "--nfs-port", std::to_string(nfs),
                                     "--mount-port", std::to_string(mnt)};
    for (const std::string& e : exports) {
      args.push_back("--export");
      args.push_back(e);
    }
    if (!p.start(args)) return false;
    for (size_t i = 0; i <= exports.size(); i++) {
      std::string line;
      if (!p.read_line(&line)) return false;
      startup.push_back(line);
    }
    return startup[0] == "listening 127.0.0.1 nfs=" + std::to_string(nfs) + " mount=" + std::to_string(mnt) +
                             " portmap=0 exports=" + std::to_string(exports.size());
  }

  // Sends one line and reads one reply line.
  std::string ask(const std::string& line) {
    std::string r;
    if (!p.write_stdin(line + "\n") || !p.read_line(&r)) return "(no reply)";
    return r;
  }
};

bool nfs_null_answered(int port) {
  rpc_conn c;
  bytes r;
  return c.open(port) && c.call(PROG_NFS, 3, 0, {}, &r) && r.size() == kReplyBody && get32(r, 20) == 0;
}

}  // namespace

// ---- Commands, in-process ------------------------------------------------------

TEST(ConsoleLine, QuitAndLinesThatAreNotCommands) {
  for (const char* q : {"quit", "quit   ", "quit\n", "quit\r\n", "quit \r \n"}) {
    std::string out;
    EXPECT_EQ(console_line(q, &out), 1) << q;
    EXPECT_EQ(out, "");
  }
  struct row {
    const char* line;
    const char* reply;
  };
  const row rows[] = {
      {"", ""},
      {"   ", ""},
      {"\r\n", ""},
      {"hello", "unknown command: hello (help lists the commands)\n"},
      {"Quit", "unknown command: Quit (help lists the commands)\n"},
      {" quit", "unknown command:  quit (help lists the commands)\n"},
      {"quit\t", "unknown command: quit\t (help lists the commands)\n"},
      {"status\t", "unknown command: status\t (help lists the commands)\n"},
      {"STATUS", "unknown command: STATUS (help lists the commands)\n"},
      {"add /x", "add: expected add /path=FOLDER_OR_FILE\n"},
      {"add", "add: expected add /path=FOLDER_OR_FILE\n"},
      {"remove", "remove: expected remove /path\n"},
      {"remove ", "remove: expected remove /path\n"},
      {"allow /x", "allow: expected allow /path=CIDRS (empty after = for this machine only)\n"},
      {"allow", "allow: expected allow /path=CIDRS (empty after = for this machine only)\n"},
      {"exports x", "unknown command: exports x (help lists the commands)\n"},
      {"\tstatus", "unknown command: \tstatus (help lists the commands)\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    EXPECT_EQ(reply(r.line), r.reply);
  }
}

TEST(ConsoleLine, HelpListsEveryCommand) {
  const std::string help = reply("help");
  EXPECT_EQ(help.substr(0, 10), "commands:\n");
  for (const char* c : {"status", "exports", "add /p=", "allow /p=", "remove /p", "help", "quit"}) {
    EXPECT_NE(help.find("\n  " + std::string(c)), std::string::npos) << c;
  }
}

TEST(ConsoleLine, StatusOfAStoppedServer) {
  const std::string want = std::string("running=0 nfs=0 mount=0 clients=0\n") + kZeroStats + "\n";
  EXPECT_EQ(reply("status"), want);
  EXPECT_EQ(reply("status \r\n"), want);
  EXPECT_EQ(reply("exports"), "");
}

TEST(ConsoleLine, AddRemoveAndExports) {
  temp_dir t;
  const std::string a = t.mkdir("a");
  const std::string eq = t.mkdir("x=y");
  EXPECT_EQ(reply("add /movies=" + a), "add 0 export /movies added (folder)\n");
  // Only the first "=" splits the line.
  EXPECT_EQ(reply("add /m2=" + eq), "add 1 export /m2 added (folder)\n");
  // A second blank becomes part of the export path.
  EXPECT_EQ(reply("add  /m3=" + a), "add -1 export path must be absolute, no '\\\\', no '..' (D9)\n");
  EXPECT_EQ(reply("add /movies=" + eq), "add -7 export path already added\n");
  EXPECT_EQ(reply("add /z="), "add -1 local path required\n");
  EXPECT_EQ(reply("add /z=" + t.at("missing")), "add -4 cannot resolve " + t.at("missing") + "\n");
  EXPECT_EQ(reply("exports"), export_line(0, "/movies", canonical_path(a), "", 0, 1) + export_line(1, "/m2", canonical_path(eq), "", 0, 2));

  EXPECT_EQ(reply("remove /nope"), "remove -4 no such export\n");
  EXPECT_EQ(reply("remove  /movies"), "remove -4 no such export\n");
  EXPECT_EQ(reply("remove /movies"), "remove 0 export removed\n");
  EXPECT_EQ(reply("remove /movies"), "remove -4 no such export\n");
  // The live export is listed under its own index.
  EXPECT_EQ(reply("exports"), export_line(1, "/m2", canonical_path(eq), "", 0, 2));
}

TEST(ConsoleLine, AllowChangesTheListInPlace) {
  temp_dir t;
  const std::string a = t.mkdir("a");
  const std::string b = t.mkdir("b");
  const std::string f = t.write("f.bin", "x");
  ASSERT_EQ(reply("add /movies=" + a), "add 0 export /movies added (folder)\n");
  ASSERT_EQ(reply("add /music=" + b), "add 1 export /music added (folder)\n");

  // The export keeps its slot and generation: its handles stay valid.
  EXPECT_EQ(reply("allow /movies=10.0.0.0/8"), "allow 0 export /movies allows 1 network\n");
  EXPECT_EQ(reply("exports"),
            export_line(0, "/movies", canonical_path(a), "10.0.0.0/8", 1, 1) + export_line(1, "/music", canonical_path(b), "", 0, 2));

  // Nothing after the "=": back to the local machine only.
  EXPECT_EQ(reply("allow /movies="), "allow 0 export /movies allows this machine only\n");
  EXPECT_EQ(reply("exports"),
            export_line(0, "/movies", canonical_path(a), "", 0, 1) + export_line(1, "/music", canonical_path(b), "", 0, 2));

  EXPECT_EQ(reply("allow /nope=10.0.0.0/8"), "allow: no such export\n");
  EXPECT_EQ(reply("allow /movie=10.0.0.0/8"), "allow: no such export\n");

  // A list with an error changes nothing: the export stays with its list,
  // slot and generation, a file export as well as a folder.
  ASSERT_EQ(reply("allow /music=192.168.1.0/24"), "allow 1 export /music allows 1 network\n");
  ASSERT_EQ(reply("add /single=" + f), "add 2 export /single added (file)\n");
  const std::string before = reply("exports");
  for (const char* bad : {"/music=999.1.1.1/8", "/music=bogus", "/music=10.0.0.0/33", "/music=10.0.0.0/8,x",
                          "/single=**", "/single=10.0.0.0/"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(reply(std::string("allow ") + bad), "allow -1 allow_cidrs: not an address or a network\n");
    EXPECT_EQ(reply("exports"), before);
  }
  EXPECT_EQ(vorlix_export_count(), 3);
}

TEST(ConsoleLine, AllowKeepsAnAwkwardLocalPath) {
  SKIP_ON_WINDOWS("'\"', '\\' and control characters cannot be part of a Windows file name");
  temp_dir t;
  // Quotes, backslashes, a control character and UTF-8 survive the round
  // trip through the export listing.
  const std::string odd = t.mkdir("q\"u\\o\x01te caf\xc3\xa9");
  ASSERT_EQ(reply("add /odd=" + odd), "add 0 export /odd added (folder)\n");
  EXPECT_EQ(reply("allow /odd=192.168.1.0/24"), "allow 0 export /odd allows 1 network\n");
  EXPECT_EQ(reply("exports"), export_line(0, "/odd", canonical_path(odd), "192.168.1.0/24", 1, 1));
}

// ---- The running program -------------------------------------------------------

TEST(Console, RepliesArriveAtOnceOverPipes) {
  temp_dir t;
  const std::string a = t.mkdir("a");
  const std::string b = t.mkdir("b");
  served s;
  ASSERT_TRUE(s.start({"/movies=" + a})) << s.p.errors();
  EXPECT_EQ(s.startup[1] + "\n", export_line(0, "/movies", canonical_path(a), "", 0, 1));

  EXPECT_EQ(s.ask("status"),
            "running=1 nfs=" + std::to_string(s.nfs) + " mount=" + std::to_string(s.mnt) + " clients=0");
  std::string line;
  ASSERT_TRUE(s.p.read_line(&line));
  EXPECT_EQ(line, kZeroStats);

  EXPECT_EQ(s.ask("hello"), "unknown command: hello (help lists the commands)");
  EXPECT_EQ(s.ask(" quit"), "unknown command:  quit (help lists the commands)");
  EXPECT_EQ(s.ask("add /x"), "add: expected add /path=FOLDER_OR_FILE");
  // An empty line has no reply: the next reply belongs to the next line.
  EXPECT_EQ(s.ask("\n\r\nremove /nope"), "remove -4 no such export");
  EXPECT_EQ(s.ask("add /music=" + b), "add 1 export /music added (folder)");
  EXPECT_EQ(s.ask("allow /movies=10.0.0.0/8"), "allow 0 export /movies allows 1 network");
  EXPECT_EQ(s.ask("allow /nope=10.0.0.0/8"), "allow: no such export");
  EXPECT_EQ(s.ask("exports") + "\n", export_line(0, "/movies", canonical_path(a), "10.0.0.0/8", 1, 1));
  ASSERT_TRUE(s.p.read_line(&line));
  EXPECT_EQ(line + "\n", export_line(1, "/music", canonical_path(b), "", 0, 2));

  ASSERT_TRUE(s.p.write_stdin("quit   \nstatus\n"));
  EXPECT_EQ(s.p.wait_exit(), 0);
  EXPECT_EQ(s.p.rest_of_output(), "");
  EXPECT_EQ(s.p.errors(), "");
}

TEST(Console, StatusCountsConnectedClients) {
  served s;
  ASSERT_TRUE(s.start({}));
  rpc_conn c;
  ASSERT_TRUE(c.open(s.nfs));
  bytes r;
  ASSERT_TRUE(c.call(PROG_NFS, 3, 0, {}, &r));
  EXPECT_EQ(s.ask("status"),
            "running=1 nfs=" + std::to_string(s.nfs) + " mount=" + std::to_string(s.mnt) + " clients=1");
  std::string line;
  ASSERT_TRUE(s.p.read_line(&line));
  EXPECT_EQ(line, "{\"connections\":1,\"connections_total\":1,\"rpc_calls\":1,\"mounts\":0,\"auth_sys_max_uid\":0}");
  ASSERT_TRUE(s.p.write_stdin("quit\n"));
  EXPECT_EQ(s.p.wait_exit(), 0);
}

TEST(Console, LongLinesAreOneCommandEach) {
  temp_dir t;
  const std::string a = t.mkdir("a");
  served s;
  ASSERT_TRUE(s.start({"/movies=" + a}));

  // Each long line gets exactly one reply; no piece of it runs as a line
  // of its own (the next reply is that of the next line).
  EXPECT_EQ(s.ask("add /x=" + std::string(3000, 'a')), "add -1 local path required");
  EXPECT_EQ(s.ask("remove /" + std::string(5000, 'r')), "remove -4 no such export");
  EXPECT_EQ(s.ask(std::string(2046, ' ') + "status" + std::string(3000, ' ')),
            "unknown command: " + std::string(2046, ' ') + "status (help lists the commands)");
  EXPECT_EQ(s.ask(std::string(4000, 'x') + "quit"),
            "unknown command: " + std::string(4000, 'x') + "quit (help lists the commands)");

  // A long allow list arrives whole and is listed whole.
  const std::string list = host_list(300);
  ASSERT_GT(list.size(), 3000u);
  EXPECT_EQ(s.ask("allow /movies=" + list), "allow 0 export /movies allows 32 networks");
  EXPECT_EQ(s.ask("exports") + "\n", export_line(0, "/movies", canonical_path(a), list, 32, 1));
  EXPECT_EQ(s.ask("status").substr(0, 10), "running=1 ");

  ASSERT_TRUE(s.p.write_stdin("\nquit\n"));
  std::string line;
  ASSERT_TRUE(s.p.read_line(&line));  // the second line of the status reply
  EXPECT_EQ(s.p.wait_exit(), 0);
  EXPECT_EQ(s.p.rest_of_output(), "");
}

TEST(Console, AControllerThatStopsReadingDoesNotEndTheServer) {
  served s;
  ASSERT_TRUE(s.start({}));
  s.p.close_stdout();
  // The answer to this line has no reader: it is lost, and the server goes on.
  ASSERT_TRUE(s.p.write_stdin("status\n"));
  EXPECT_TRUE(s.p.still_running_after(300));
  EXPECT_TRUE(nfs_null_answered(s.nfs));
  ASSERT_TRUE(s.p.write_stdin("quit\n"));
  EXPECT_EQ(s.p.wait_exit(), 0);
}

TEST(Console, EndOfInputKeepsServingUntilASignal) {
  SKIP_ON_WINDOWS("Windows has no signals that one process can send another");
  struct row {
    const char* name;
    int sig;
  };
  const row rows[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    served s;
    ASSERT_TRUE(s.start({}));
    // The last line is carried out even without its newline.
    ASSERT_TRUE(s.p.write_stdin("status"));
    s.p.close_stdin();
    std::string line;
    ASSERT_TRUE(s.p.read_line(&line));
    EXPECT_EQ(line.substr(0, 10), "running=1 ");
    ASSERT_TRUE(s.p.read_line(&line));

    EXPECT_TRUE(s.p.still_running_after(500));
    EXPECT_TRUE(nfs_null_answered(s.nfs));
    EXPECT_TRUE(s.p.still_running_after(100));

    ASSERT_TRUE(s.p.signal_child(r.sig));
    EXPECT_EQ(s.p.wait_exit(), 0);
    EXPECT_EQ(s.p.rest_of_output(), "");
    EXPECT_EQ(s.p.errors(), "");
  }
}

TEST(Console, SignalEndsAWaitingRead) {
  SKIP_ON_WINDOWS("Windows has no signals that one process can send another");
  struct row {
    const char* name;
    int sig;
  };
  const row rows[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    served s;
    ASSERT_TRUE(s.start({}));
    // Standard input stays open and empty: the console is waiting for a line.
    EXPECT_TRUE(s.p.still_running_after(300));
    ASSERT_TRUE(s.p.signal_child(r.sig));
    EXPECT_EQ(s.p.wait_exit(), 0);
    EXPECT_EQ(s.p.rest_of_output(), "");
  }
}

TEST(Console, SignalRightAfterTheListeningLineStopsCleanly) {
  SKIP_ON_WINDOWS("Windows has no signals that one process can send another");
  served s;
  ASSERT_TRUE(s.start({}));
  ASSERT_TRUE(s.p.signal_child(SIGTERM));
  EXPECT_EQ(s.p.wait_exit(), 0);
}
