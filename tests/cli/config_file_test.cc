// serve --config FILE: the file's options as on the command line, comments
// and blank lines, the command line winning over the file, and a line with
// a fault refused with the file's name and the line's number.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/fixture.h"

namespace {

// Writes exports.conf with the text and returns its path.
std::string conf(const temp_dir& t, const std::string& text) { return t.write("exports.conf", text); }

// A path as the export listing writes it inside a JSON string (Windows
// paths have backslashes, doubled there).
std::string json_path(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o;
}

}  // namespace

TEST(ConfigFile, ALineWithAFaultIsNamedByNumber) {
  temp_dir t;
  const std::string share = t.mkdir("share");
  const std::string head = "# the server's exports\n\nbind 127.0.0.1\nexport /s=" + share + "\n";
  struct row {
    std::string text;
    std::string err;
  };
  const row rows[] = {
      {head + "bogus 12\n", "serve: exports.conf:5: unknown option: bogus\n"},
      {head + "  \n# fine\nnfs-port 70000\n", "serve: exports.conf:7: nfs-port 70000: not a port number (a whole "
                                               "number 0..65535; 0 keeps the default)\n"},
      {head + "nfs-port\n", "serve: exports.conf:5: nfs-port needs a value\n"},
      {head + "allow /other=10.0.0.0/8\n", "serve: exports.conf:5: allow /other: no --export names /other\n"},
      {head + "export /m\n", "serve: exports.conf:5: export /m: expected /path=FOLDER_OR_FILE\n"},
      {head + "--max-connections 8\n", "serve: exports.conf:5: write the option without its dashes: max-connections\n"},
      {head + "config other.conf\n", "serve: exports.conf:5: config: a configuration file cannot name another\n"},
      {head + "no-console yes\n", "serve: exports.conf:5: no-console takes no value\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    const run_result got = run_program({"serve", "--config", conf(t, r.text)});
    EXPECT_EQ(got.code, 2);
    EXPECT_EQ(got.err, r.err);
    EXPECT_EQ(got.out, "");
  }
  const run_result missing = run_program({"serve", "--config", t.at("none.conf")});
  EXPECT_EQ(missing.code, 2);
  EXPECT_EQ(missing.err.rfind("serve: " + t.at("none.conf") + ": cannot be read (", 0), 0u) << missing.err;
}

TEST(ConfigFile, TheCommandLineWinsOverTheFile) {
  temp_dir t;
  const std::string a = t.mkdir("a");
  const std::string b = t.mkdir("b");
  const std::string c = t.mkdir("c");
  const int file_port = free_port();
  const int nfs = free_port();
  const int mnt = free_port();
  // The file's own port, export and allow list; the command line gives
  // another port and another folder for /a.
  const std::string path = conf(t, "# test\r\nbind 127.0.0.1\r\nnfs-port " + std::to_string(file_port) +
                                       "\r\nmount-port " + std::to_string(mnt) + "\r\n\r\nexport /a=" + a +
                                       "\r\n  export   /b=" + b + "  \r\nallow /b=10.0.0.0/8\r\nlog-level warn\r\n");
  child_process p;
  ASSERT_TRUE(p.start({"serve", "--config", path, "--nfs-port", std::to_string(nfs), "--export", "/a=" + c}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  EXPECT_EQ(line, "listening 127.0.0.1 nfs=" + std::to_string(nfs) + " mount=" + std::to_string(mnt) +
                      " portmap=0 exports=2");
  ASSERT_TRUE(p.read_line(&line));
  EXPECT_NE(line.find("\"path\":\"/b\",\"local\":\"" + json_path(canonical_path(b)) + "\",\"allow_cidrs\":\"10.0.0.0/8\""),
            std::string::npos)
      << line;
  ASSERT_TRUE(p.read_line(&line));
  EXPECT_NE(line.find("\"path\":\"/a\",\"local\":\"" + json_path(canonical_path(c)) + "\""), std::string::npos) << line;
  ASSERT_TRUE(p.write_stdin("quit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
  // At the level warn, the start and stop (info) are not logged.
  EXPECT_EQ(p.errors(), "");
}
