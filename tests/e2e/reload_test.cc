// Reload without restart, through the serve command and a real client: a
// libnfs reader holds a file open on an export that the new configuration
// keeps while the reload adds an export, removes one and changes an allow
// list; its reads go on. A file with a fault changes nothing. A hang-up
// reloads too (POSIX).
#include <gtest/gtest.h>

#include <nfsc/libnfs.h>

#include <fcntl.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/fixture.h"

namespace {

constexpr int kClientTimeoutMs = 20000;
constexpr size_t kFileSize = 4 * 1024 * 1024;
constexpr size_t kChunk = 64 * 1024;

struct ctx_deleter {
  void operator()(nfs_context* n) const { nfs_destroy_context(n); }
};
using nfs_ptr = std::unique_ptr<nfs_context, ctx_deleter>;

// A context mounted on the export of the server at those ports; null when
// the mount fails.
nfs_ptr mount_at(int nfs, int mnt, const std::string& export_path) {
  nfs_ptr n(nfs_init_context());
  if (!n) return nullptr;
  nfs_set_timeout(n.get(), kClientTimeoutMs);
  nfs_set_autoreconnect(n.get(), 0);
  const std::string url = "nfs://127.0.0.1" + export_path + "?version=3&nfsport=" + std::to_string(nfs) +
                          "&mountport=" + std::to_string(mnt);
  nfs_url* u = nfs_parse_url_dir(n.get(), url.c_str());
  if (u == nullptr) return nullptr;
  const int rc = nfs_mount(n.get(), u->server, u->path);
  nfs_destroy_url(u);
  return rc == 0 ? std::move(n) : nullptr;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
  return s;
}

// The serve command with a configuration file and its console.
struct served {
  temp_dir t;
  std::string conf = t.at("exports.conf");
  int nfs = free_port();
  int mnt = free_port();
  child_process p;

  std::string head() const {
    return "bind 127.0.0.1\nnfs-port " + std::to_string(nfs) + "\nmount-port " + std::to_string(mnt) + "\n";
  }
  void write_conf(const std::string& body) const { t.write("exports.conf", head() + body); }
  bool start(const std::string& body, int exports) {
    write_conf(body);
    if (!p.start({"serve", "--config", conf})) return false;
    std::string line;
    for (int i = 0; i <= exports; i++) {
      if (!p.read_line(&line)) return false;
    }
    return true;
  }
  // Sends a console line and reads reply lines until one starts with last.
  std::vector<std::string> ask(const std::string& line, const std::string& last) {
    std::vector<std::string> lines;
    if (!p.write_stdin(line + "\n")) return lines;
    std::string got;
    for (int i = 0; i < 20 && p.read_line(&got); i++) {
      lines.push_back(got);
      if (got.rfind(last, 0) == 0) break;
    }
    return lines;
  }
  // The export listing, one line per export.
  std::vector<std::string> exports() {
    std::vector<std::string> lines;
    const std::vector<std::string> rest = ask("exports\nstatus", "running=");
    for (const std::string& l : rest) {
      if (l.rfind("export ", 0) == 0) lines.push_back(l);
    }
    std::string skip;
    p.read_line(&skip);  // the counters
    p.read_line(&skip);  // uptime clients=C mounts=M
    unsigned c = 0, m = 0;
    const size_t at = skip.find(" clients=");
    if (at != std::string::npos && sscanf(skip.c_str() + at, " clients=%u mounts=%u", &c, &m) == 2) {
      for (unsigned i = 0; i < c + m && i < 64; i++) p.read_line(&skip);
    }
    return lines;
  }
};

bool listed(const std::vector<std::string>& exports, const std::string& path, int generation = -1) {
  for (const std::string& e : exports) {
    if (e.find("{\"path\":\"" + path + "\"") == std::string::npos) continue;
    return generation < 0 || e.find("\"generation\":" + std::to_string(generation) + "}") != std::string::npos;
  }
  return false;
}

}  // namespace

TEST(Reload, AppliesTheDifferenceWhileAReaderGoesOn) {
  served s;
  const std::string content = pattern(kFileSize);
  s.t.write("keep/big.bin", content);
  s.t.mkdir("gone");
  s.t.mkdir("new");
  s.t.mkdir("guarded");
  ASSERT_TRUE(s.start("export /keep=" + s.t.at("keep") + "\nexport /gone=" + s.t.at("gone") +
                          "\nexport /guarded=" + s.t.at("guarded") + "\nallow /guarded=127.0.0.1\n",
                      3))
      << s.p.errors();
  ASSERT_TRUE(mount_at(s.nfs, s.mnt, "/guarded") != nullptr);
  nfs_ptr n = mount_at(s.nfs, s.mnt, "/keep");
  ASSERT_TRUE(n != nullptr) << s.p.errors();
  nfsfh* fh = nullptr;
  ASSERT_EQ(nfs_open(n.get(), "/big.bin", O_RDONLY, &fh), 0) << nfs_get_error(n.get());
  std::string got;
  std::vector<char> buf(kChunk);
  const auto read_some = [&](size_t count) {
    for (size_t i = 0; i < count && got.size() < kFileSize; i++) {
      const int r = nfs_pread(n.get(), fh, got.size(), kChunk, buf.data());
      if (r <= 0) return false;
      got.append(buf.data(), static_cast<size_t>(r));
    }
    return true;
  };
  ASSERT_TRUE(read_some(16));

  // /gone goes, /new comes, /guarded admits another network only.
  s.write_conf("export /keep=" + s.t.at("keep") + "\nexport /new=" + s.t.at("new") + "\nexport /guarded=" +
               s.t.at("guarded") + "\nallow /guarded=10.0.0.0/8\n");
  const std::vector<std::string> reply = s.ask("reload", "reload: ");
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply.back(), "reload: added=1 removed=1 changed=1 failed=0 exports=3");
  std::vector<std::string> now = s.exports();
  EXPECT_TRUE(listed(now, "/keep", 1)) << now.size();
  EXPECT_TRUE(listed(now, "/guarded", 3));
  EXPECT_TRUE(listed(now, "/new"));
  EXPECT_FALSE(listed(now, "/gone"));
  // The reader goes on where it was, to the end, with the right bytes.
  ASSERT_TRUE(read_some(kFileSize / kChunk)) << nfs_get_error(n.get());
  EXPECT_TRUE(got == content);
  // The changed list applies to the next mount.
  EXPECT_TRUE(mount_at(s.nfs, s.mnt, "/guarded") == nullptr);
  EXPECT_TRUE(mount_at(s.nfs, s.mnt, "/new") != nullptr);

  // A file with a fault changes nothing, and says where the fault is.
  s.write_conf("export /keep=" + s.t.at("keep") + "\nbogus 1\n");
  const std::vector<std::string> refused = s.ask("reload", "reload: ");
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ(refused.back(), "reload: refused, nothing changed: exports.conf:5: unknown option: bogus");
  s.write_conf("export /keep=" + s.t.at("keep") + "\nexport /x=" + s.t.at("no such folder") + "\n");
  const std::vector<std::string> missing = s.ask("reload", "reload: ");
  ASSERT_FALSE(missing.empty());
  EXPECT_EQ(missing.back().rfind("reload: refused, nothing changed: exports.conf:5: export /x: " +
                                     s.t.at("no such folder") +
                                     " cannot be found (",
                                 0),
            0u)
      << missing.back();
  s.write_conf("export /keep=" + s.t.at("keep") + "\nallow /keep=10.0.0.0/33\n");
  const std::vector<std::string> bad_list = s.ask("reload", "reload: ");
  ASSERT_FALSE(bad_list.empty());
  EXPECT_EQ(bad_list.back(), "reload: refused, nothing changed: exports.conf:5: allow /keep: not an address or a "
                             "network (a.b.c.d or a.b.c.d/n, comma-separated)");
  EXPECT_EQ(s.exports(), now);
  // Options that need a restart are named and left as they are.
  s.t.write("exports.conf", "bind 127.0.0.1\nnfs-port 1\nmount-port " + std::to_string(s.mnt) + "\nexport /keep=" +
                                s.t.at("keep") + "\nexport /new=" + s.t.at("new") + "\nexport /guarded=" +
                                s.t.at("guarded") + "\nallow /guarded=10.0.0.0/8\n");
  const std::vector<std::string> restart = s.ask("reload", "reload: added=");
  ASSERT_GE(restart.size(), 2u);
  EXPECT_EQ(restart[restart.size() - 2], "reload: nfs-port changed but need a restart; they are left as they are");
  EXPECT_EQ(restart.back(), "reload: added=0 removed=0 changed=0 failed=0 exports=3");
  nfs_close(n.get(), fh);

  ASSERT_TRUE(s.p.write_stdin("quit\n"));
  EXPECT_EQ(s.p.wait_exit(), 0);
  // Each reload is logged with what it changed.
  const std::string log = s.p.errors();
  EXPECT_NE(log.find(" info event=reload file=" + s.conf + " added=1 removed=1 changed=1 failed=0"), std::string::npos)
      << log;
  EXPECT_NE(log.find(" warn event=reload_refused reason=\"exports.conf:5: unknown option: bogus\""), std::string::npos)
      << log;
  EXPECT_NE(log.find(" info event=export_removed export=/gone"), std::string::npos) << log;
  EXPECT_NE(log.find(" info event=export_changed export=/guarded allow=10.0.0.0/8"), std::string::npos) << log;
}

TEST(Reload, AHangUpReadsTheFileAgain) {
  SKIP_ON_WINDOWS("Windows has no hang-up signal; the service's PARAMCHANGE does this there");
  served s;
  s.t.mkdir("a");
  s.t.mkdir("b");
  ASSERT_TRUE(s.start("export /a=" + s.t.at("a") + "\n", 1)) << s.p.errors();
  s.write_conf("export /a=" + s.t.at("a") + "\nexport /b=" + s.t.at("b") + "\n");
  ASSERT_TRUE(s.p.signal_child(SIGHUP));
  bool seen = false;
  for (int i = 0; i < 100 && !seen; i++) {
    seen = listed(s.exports(), "/b");
    if (!seen) plat_sleep_ms(100);
  }
  EXPECT_TRUE(seen);
  EXPECT_TRUE(s.p.still_running_after(100));
  ASSERT_TRUE(s.p.write_stdin("quit\n"));
  EXPECT_EQ(s.p.wait_exit(), 0);
}
