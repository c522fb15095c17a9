// The admin command over plain HTTP (no browser): the one-time token gives
// the session cookie, the page carries its form token, a change is written
// to the configuration file, a mistake is refused with the file unchanged,
// and requests without the token, at another name or from another site are
// refused. A page that says it goes ends the command.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/child.h"
#include "tests/support/fixture.h"

namespace {

#ifdef _WIN32
constexpr const char* kRelativeFolderRefusal = "starts with its drive";
#else
constexpr const char* kRelativeFolderRefusal = "full path";
#endif

// A path as it appears in the page's JSON (backslashes escaped).
std::string json_text(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// The admin command on a configuration file, entered through its token.
struct admin_session {
  temp_dir t;
  std::string conf = t.at("exports.conf");
  child_process p;
  int port = 0;
  std::string token, cookie, form;
  std::unique_ptr<httplib::Client> c;
  httplib::Headers page_headers;

  bool start(const std::string& conf_text) {
    t.write("exports.conf", conf_text);
    if (!p.start({"admin", "--config", conf, "--no-browser", "--status-channel", t.at("none/status.sock")})) {
      return false;
    }
    std::string line;
    if (!p.read_line(&line, 60000)) return false;
    const size_t at = line.find("http://127.0.0.1:");
    if (at == std::string::npos) return false;
    port = atoi(line.c_str() + at + strlen("http://127.0.0.1:"));
    token = line.substr(line.find("token=") + 6);
    c = std::make_unique<httplib::Client>("127.0.0.1", port);
    c->set_connection_timeout(30, 0);
    c->set_read_timeout(30, 0);
    auto entered = c->Get(("/?token=" + token).c_str());
    if (!entered || entered->status != 303) return false;
    const std::string set = entered->get_header_value("Set-Cookie");
    cookie = set.substr(0, set.find(';'));
    page_headers = {{"Cookie", cookie}, {"Origin", "http://127.0.0.1:" + std::to_string(port)}};
    auto page = c->Get("/", page_headers);
    if (!page || page->status != 200) return false;
    const size_t f = page->body.find("FORM_TOKEN = \"");
    if (f == std::string::npos) return false;
    form = page->body.substr(f + 14, 32);
    return true;
  }
  httplib::Result post(const std::string& path, const std::string& body) {
    return c->Post(path.c_str(), page_headers, body + "&form_token=" + form, "application/x-www-form-urlencoded");
  }
};

TEST(AdminCommand, ChangesAreCheckedWholeAndWritten) {
  admin_session s;
  const std::string head = "# the service's file\nbind 127.0.0.1\n";
  ASSERT_TRUE(s.start(head)) << s.p.output() << s.p.errors();
  const std::string films = s.t.mkdir("films");

  struct change_case {
    const char* what;
    std::string body;
    int status;
    const char* reply_part;
  };
  const change_case mistakes[] = {
      {"a folder that is not there", "path=%2Ffilms&folder=" + films + "-not-there&who=machine", 400,
       "does not exist"},
      {"a relative folder", "path=%2Ffilms&folder=films&who=machine", 400, kRelativeFolderRefusal},
      {"a folder with ..", "path=%2Ffilms&folder=" + films + "%2F..&who=machine", 400, "\\\"..\\\""},
      {"an export path without /", "path=films&folder=" + films + "&who=machine", 400, "starts with '/'"},
      {"networks that are none", "path=%2Ffilms&folder=" + films + "&who=list&networks=10.0.0.0%2F33", 400,
       "not understood"},
      {"no networks typed", "path=%2Ffilms&folder=" + films + "&who=list&networks=", 400, "at least one network"},
  };
  for (const change_case& m : mistakes) {
    auto r = s.post("/api/add", m.body);
    ASSERT_TRUE(r) << m.what;
    EXPECT_EQ(r->status, m.status) << m.what << ": " << r->body;
    EXPECT_NE(r->body.find("Nothing was changed"), std::string::npos) << m.what << ": " << r->body;
    EXPECT_NE(r->body.find(m.reply_part), std::string::npos) << m.what << ": " << r->body;
    EXPECT_EQ(read_file(s.conf), head) << m.what;
  }

  auto added = s.post("/api/add", "path=%2Ffilms&folder=" + films + "&who=list&networks=192.168.1.0%2F24%2C+fd00%3A%3A%2F8");
  ASSERT_TRUE(added);
  EXPECT_EQ(added->status, 200) << added->body;
  EXPECT_EQ(read_file(s.conf), head + "export /films=" + films + "\nallow /films=192.168.1.0/24,fd00::/8\n");
  auto twice = s.post("/api/add", "path=%2Ffilms&folder=" + films + "&who=machine");
  ASSERT_TRUE(twice);
  EXPECT_NE(twice->body.find("already"), std::string::npos) << twice->body;

  auto state = s.c->Get("/api/state", s.page_headers);
  ASSERT_TRUE(state);
  EXPECT_NE(state->body.find("\"path\":\"/films\""), std::string::npos) << state->body;
  auto browse = s.c->Get(("/api/browse?path=" + s.t.path).c_str(), s.page_headers);
  ASSERT_TRUE(browse);
  const std::string listed = "{\"name\":\"films\",\"path\":\"" + json_text(films) + "\"}";
  EXPECT_NE(browse->body.find(listed), std::string::npos) << browse->body;
  auto dots = s.c->Get(("/api/browse?path=" + s.t.path + "/..").c_str(), s.page_headers);
  ASSERT_TRUE(dots);
  EXPECT_EQ(dots->status, 400) << dots->body;
  // No server answers the status channel: said in words.
  auto status = s.c->Get("/api/status", s.page_headers);
  ASSERT_TRUE(status);
  EXPECT_NE(status->body.find("\"ok\":false"), std::string::npos) << status->body;
  EXPECT_NE(status->body.find("is it running"), std::string::npos) << status->body;

  auto machine = s.post("/api/allow", "path=%2Ffilms&who=machine");
  ASSERT_TRUE(machine);
  EXPECT_EQ(machine->status, 200) << machine->body;
  EXPECT_EQ(read_file(s.conf), head + "export /films=" + films + "\n");
  auto removed = s.post("/api/remove", "path=%2Ffilms");
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->status, 200) << removed->body;
  EXPECT_EQ(read_file(s.conf), head);
  auto gone = s.post("/api/remove", "path=%2Ffilms");
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->status, 400) << gone->body;

  // The refusals: each changes nothing.
  s.t.write("exports.conf", head + "export /films=" + films + "\n");
  const std::string before = read_file(s.conf);
  const std::string origin = "http://127.0.0.1:" + std::to_string(s.port);
  struct refusal {
    const char* name;
    bool post;
    std::string path;
    httplib::Headers headers;
    const char* why;
  };
  const refusal refusals[] = {
      {"the token again", false, "/?token=" + s.token, {}, "used already"},
      {"no token", false, "/api/state", {}, "no valid token"},
      {"a wrong Host", false, "/", {{"Cookie", s.cookie}, {"Host", "attacker.example:" + std::to_string(s.port)}},
       "not at the name"},
      {"another site's change", true, "/api/remove", {{"Cookie", s.cookie}, {"Origin", "http://attacker.example"}},
       "another site"},
      {"a change without the cookie", true, "/api/remove", {{"Origin", origin}}, "no valid token"},
  };
  for (const refusal& r : refusals) {
    auto res = r.post ? s.c->Post(r.path.c_str(), r.headers, "path=%2Ffilms&form_token=" + s.form,
                                  "application/x-www-form-urlencoded")
                      : s.c->Get(r.path.c_str(), r.headers);
    ASSERT_TRUE(res) << r.name;
    EXPECT_EQ(res->status, 403) << r.name << ": " << res->body;
    EXPECT_NE(res->body.find(r.why), std::string::npos) << r.name << ": " << res->body;
  }
  auto no_form = s.c->Post("/api/remove", s.page_headers, "path=%2Ffilms", "application/x-www-form-urlencoded");
  ASSERT_TRUE(no_form);
  EXPECT_EQ(no_form->status, 403) << no_form->body;
  EXPECT_EQ(read_file(s.conf), before);

  // A configuration file with a fault elsewhere: a change is refused with
  // the line at fault, the file as it was.
  const std::string faulty = head + "bogus-option 1\n";
  s.t.write("exports.conf", faulty);
  auto refused = s.post("/api/add", "path=%2Ffilms&folder=" + films + "&who=machine");
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->body.find("exports.conf:3: unknown option"), std::string::npos) << refused->body;
  EXPECT_EQ(read_file(s.conf), faulty);

  // The page says it goes: the command ends.
  auto bye = s.post("/api/bye", "");
  ASSERT_TRUE(bye);
  EXPECT_EQ(s.p.wait_exit(60000), 0) << s.p.output() << s.p.errors();
  EXPECT_NE(s.p.output().find("the page was closed"), std::string::npos) << s.p.output();
}

TEST(AdminCommand, ConfigurationFileMissing) {
  temp_dir t;
  child_process p;
  ASSERT_TRUE(p.start({"admin", "--config", t.at("missing.conf"), "--no-browser"}));
  EXPECT_EQ(p.wait_exit(60000), 1);
  EXPECT_NE(p.errors().find("missing.conf: cannot be read"), std::string::npos) << p.errors();
  EXPECT_NE(p.errors().find("--config FILE"), std::string::npos) << p.errors();
}

}  // namespace
