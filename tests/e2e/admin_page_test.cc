// The settings page end to end: the serve command with a configuration
// file, the admin command beside it, and the page driven in Debian's
// headless Chromium (tests/admin/drive.js through puppeteer-core). An export
// added through the page is read with libnfs; changing who may mount it
// makes the mount refused; a mistake is refused with the file unchanged.
// Then plain HTTP requests: the used token, no token, a wrong Host header
// and a cross-origin change are refused and change nothing. Everything
// runs on 127.0.0.1 at ports the system chose. Screenshots of each view go
// into the build folder (admin-shots/), their paths printed. Once the
// browser is closed, the admin command ends by itself.
// Exits 77 (skipped) when Chromium, node or puppeteer-core are missing.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nfsc/libnfs.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "tests/support/child.h"
#include "tests/support/fixture.h"

namespace {

constexpr int kClientTimeoutMs = 20000;
// Each step of the browser within this (a loaded machine included).
constexpr int kStepMs = 180000;
// Polls of the server's reload: 120 times 500 ms.
constexpr int kPolls = 120;

std::string chromium() {
  const char* env = getenv("VORLIX_CHROMIUM");
  return env != nullptr ? env : "/usr/bin/chromium";
}

const std::string kDriver = std::string(VORLIX_SOURCE_DIR) + "/tests/admin/drive.js";
const std::string kModules = std::string(VORLIX_SOURCE_DIR) + "/tests/admin/node_modules/puppeteer-core";

std::string shots_dir() {
  std::string exe = VORLIX_EXE;
  return exe.substr(0, exe.find_last_of('/')) + "/admin-shots";
}

bool exists(const std::string& p) {
  plat_statbuf st;
  return plat_stat(p.c_str(), &st, 1) == 0;
}

// The file's bytes read through a libnfs mount of the export; false when
// the mount or the read fails.
bool nfs_read_file(int nfs, int mnt, const std::string& export_path, const std::string& name, std::string* out) {
  nfs_context* n = nfs_init_context();
  if (n == nullptr) return false;
  nfs_set_timeout(n, kClientTimeoutMs);
  nfs_set_autoreconnect(n, 0);
  bool ok = false;
  const std::string url = "nfs://127.0.0.1" + export_path + "?version=3&nfsport=" + std::to_string(nfs) +
                          "&mountport=" + std::to_string(mnt);
  nfs_url* u = nfs_parse_url_dir(n, url.c_str());
  if (u != nullptr && nfs_mount(n, u->server, u->path) == 0) {
    nfsfh* fh = nullptr;
    if (nfs_open(n, ("/" + name).c_str(), O_RDONLY, &fh) == 0) {
      char buf[4096];
      const int got = nfs_read(n, fh, sizeof buf, buf);
      if (got >= 0) {
        out->assign(buf, static_cast<size_t>(got));
        ok = true;
      }
      nfs_close(n, fh);
    }
  }
  if (u != nullptr) nfs_destroy_url(u);
  nfs_destroy_context(n);
  return ok;
}


// Reads the driver's next line; it must be the step named.
std::string step(child_process* driver, const std::string& name) {
  std::string line;
  if (!driver->read_line(&line, kStepMs)) {
    ADD_FAILURE() << "no step " << name << " from the browser; its output: " << driver->output()
                  << driver->errors();
    return "";
  }
  EXPECT_EQ(line.compare(0, 6 + name.size(), "STEP " + name + ":"), 0) << line << driver->errors();
  printf("%s\n", line.c_str());
  return line;
}

TEST(AdminPage, ThroughTheBrowser) {
  temp_dir t;
  ASSERT_EQ(mkdir(t.at("films").c_str(), 0755), 0);
  t.write("films/clip.txt", "frames of a film\n");
  const std::string conf = t.at("exports.conf");
  const int nfs = free_port();
  const int mnt = free_port();
  const std::string channel = t.at("state/status.sock");
  t.write("exports.conf", "# written by the test\nbind 127.0.0.1\nnfs-port " + std::to_string(nfs) +
                              "\nmount-port " + std::to_string(mnt) + "\nstatus-channel " + channel + "\n");
  child_process serve;
  ASSERT_TRUE(serve.start({"serve", "--config", conf}));
  std::string line;
  ASSERT_TRUE(serve.read_line(&line, 60000)) << serve.errors();

  child_process admin;
  ASSERT_TRUE(admin.start({"admin", "--config", conf, "--no-browser", "--reload-pid", std::to_string(serve.pid()),
                           "--status-channel", channel}));
  ASSERT_TRUE(admin.read_line(&line, 60000)) << admin.errors();
  const size_t at = line.find("http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << line;
  const std::string url = line.substr(at);
  const int port = atoi(url.c_str() + strlen("http://127.0.0.1:"));
  const std::string token = url.substr(url.find("token=") + 6);
  ASSERT_GT(port, 0);

  (void)mkdir(shots_dir().c_str(), 0755);
  child_process driver;
  child_options o;
  o.program = "node";
  ASSERT_TRUE(driver.start({kDriver, url, t.at("films"), shots_dir(), t.at("chromium-profile")}, o));
  // However the test ends, the driver closes its browser before it goes.
  struct closes_browser {
    child_process* d;
    ~closes_browser() {
      d->close_stdin();
      (void)d->wait_exit(60000);
    }
  } closing{&driver};

  step(&driver, "opened");
  ASSERT_TRUE(driver.write_stdin("go\n"));
  const std::string added = step(&driver, "added");
  EXPECT_NE(added.find("ok: shared"), std::string::npos) << added;
  // The server reads the file again on the page's request: the export is
  // there once a real client can read the file through it.
  std::string got;
  for (int i = 0; i < kPolls && !nfs_read_file(nfs, mnt, "/films", "clip.txt", &got); i++) plat_sleep_ms(500);
  EXPECT_EQ(got, "frames of a film\n");
  // The socket is the server's own: nobody else may open it.
  struct stat st;
  ASSERT_EQ(stat(channel.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(t.at("state").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  {
    // A mount held open while the page shows who is connected.
    nfs_context* held = nfs_init_context();
    ASSERT_NE(held, nullptr);
    nfs_set_timeout(held, kClientTimeoutMs);
    const std::string url_films = "nfs://127.0.0.1/films?version=3&nfsport=" + std::to_string(nfs) +
                                  "&mountport=" + std::to_string(mnt);
    nfs_url* u = nfs_parse_url_dir(held, url_films.c_str());
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(nfs_mount(held, u->server, u->path), 0) << nfs_get_error(held);
    nfs_destroy_url(u);
    nfsfh* fh = nullptr;
    char buf[64];
    EXPECT_EQ(nfs_open(held, "/clip.txt", O_RDONLY, &fh), 0);
    if (fh != nullptr) {
      EXPECT_GT(nfs_read(held, fh, sizeof buf, buf), 0);
    }
    ASSERT_TRUE(driver.write_stdin("go\n"));
    const std::string who = step(&driver, "connected");
    EXPECT_NE(who.find("127.0.0.1"), std::string::npos) << who;
    EXPECT_NE(who.find("/films"), std::string::npos) << who;
    // The recent events: the page's reload and the client's mount.
    EXPECT_NE(who.find(" event=reload "), std::string::npos) << who;
    EXPECT_NE(who.find(" event=mount "), std::string::npos) << who;
    if (fh != nullptr) nfs_close(held, fh);
    nfs_umount(held);
    nfs_destroy_context(held);
  }
  ASSERT_TRUE(driver.write_stdin("go\n"));

  const std::string changed = step(&driver, "changed");
  EXPECT_NE(changed.find("ok: /films may now be mounted by 10.9.9.0/24"), std::string::npos) << changed;
  EXPECT_NE(read_file(conf).find("allow /films=10.9.9.0/24"), std::string::npos) << read_file(conf);
  bool refused = false;
  for (int i = 0; i < kPolls && !refused; i++) {
    refused = !nfs_read_file(nfs, mnt, "/films", "clip.txt", &got);
    if (!refused) plat_sleep_ms(500);
  }
  EXPECT_TRUE(refused) << "127.0.0.1 still mounts /films after its allow list became 10.9.9.0/24";
  ASSERT_TRUE(driver.write_stdin("go\n"));

  const std::string before = read_file(conf);
  const std::string mistake = step(&driver, "mistake");
  EXPECT_NE(mistake.find("err: Nothing was changed: the networks \"10.0.0.0/33\" are not understood"),
            std::string::npos)
      << mistake;
  EXPECT_EQ(read_file(conf), before);
  ASSERT_TRUE(driver.write_stdin("go\n"));

  const std::string connect = step(&driver, "connect");
  EXPECT_NE(connect.find("/films?nfsport=" + std::to_string(nfs) + "&mountport=" + std::to_string(mnt)),
            std::string::npos)
      << connect;
  EXPECT_NE(connect.find("sudo mount -t nfs -o ro,vers=3,nolock,port=" + std::to_string(nfs)), std::string::npos)
      << connect;
  // Plain requests: each refused, nothing changed.
  const std::string conf_now = read_file(conf);
  httplib::Client c("127.0.0.1", port);
  c.set_connection_timeout(30, 0);
  c.set_read_timeout(30, 0);
  const std::string host = "127.0.0.1:" + std::to_string(port);
  struct refusal {
    const char* name;
    bool post;
    const char* path;
    httplib::Headers headers;
    const char* why;
  };
  const std::string origin = "http://" + host;
  const refusal cases[] = {
      {"the used token", false, nullptr, {}, "used already"},
      {"no token", false, "/api/state", {}, "no valid token"},
      {"a wrong Host header", false, "/", {{"Host", "nfs.example:" + std::to_string(port)}}, "not at the name"},
      {"a cross-origin change", true, "/api/remove", {{"Origin", "http://nfs.example"}}, "another site"},
      {"a cross-site change", true, "/api/remove", {{"Origin", origin}, {"Sec-Fetch-Site", "cross-site"}},
       "another site"},
      {"a change without token", true, "/api/remove", {{"Origin", origin}}, "no valid token"},
  };
  for (const refusal& r : cases) {
    const std::string path = r.path != nullptr ? r.path : "/?token=" + token;
    auto res = r.post ? c.Post(path.c_str(), r.headers, "path=%2Ffilms&form_token=0", "application/x-www-form-urlencoded")
                      : c.Get(path.c_str(), r.headers);
    ASSERT_TRUE(res) << r.name;
    EXPECT_EQ(res->status, 403) << r.name << ": " << res->body;
    EXPECT_NE(res->body.find(r.why), std::string::npos) << r.name << ": " << res->body;
  }
  EXPECT_EQ(read_file(conf), conf_now);
  ASSERT_TRUE(driver.write_stdin("go\n"));
  EXPECT_EQ(driver.wait_exit(60000), 0) << driver.output() << driver.errors();

  // The page was closed (it said so as it went): the command ends by
  // itself, its server with it.
  EXPECT_EQ(admin.wait_exit(180000), 0) << admin.output() << admin.errors();
  EXPECT_NE(admin.output().find("the page was closed"), std::string::npos) << admin.output();
  EXPECT_FALSE(c.Get("/"));
  printf("screenshots:\n");
  for (const char* s : {"exports-empty", "picker", "exports-added", "clients", "exports-changed", "mistake", "connect"}) {
    const std::string p = shots_dir() + "/admin-" + s + ".png";
    EXPECT_TRUE(exists(p)) << p;
    printf("  %s\n", p.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string missing;
  if (!exists(chromium())) missing = chromium() + " (Debian's package chromium)";
  if (!exists(kModules)) missing = kModules + " (run: npm ci --prefix tests/admin)";
  if (missing.empty()) {
    child_process node;
    child_options o;
    o.program = "node";
    if (!node.start({"--version"}, o) || node.wait_exit(30000) != 0) missing = "node (Debian's package nodejs)";
  }
  if (!missing.empty()) {
    printf("skipped: %s is missing\n", missing.c_str());
    return 77;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
