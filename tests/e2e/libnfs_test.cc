// A real NFS client against the in-process server: libnfs mounts exports over
// TCP on the system-chosen ports, walks and reads a tree made at run time and
// tries every kind of change, which must all be refused with the host tree
// left as it was. The nfs-ls tool from libnfs-utils is run as a child too.
#include <gtest/gtest.h>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw-nfs.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/fixture.h"
#include "util/sha256.h"
#include "vorlix.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1024 * 1024;
// Large enough to need many full-size READs and to end with a short one.
constexpr uint64_t kLargeSize = 65 * kMiB + 12345;
// Every libnfs call gives up after this long instead of waiting for ever.
constexpr int kClientTimeoutMs = 20000;

constexpr int kManyFiles = 300;
const char* const kUtf8Name = "Ünïcødé ファイル.txt";
const char* const kUtf8Folder = "日本語 フォルダ";

std::string sha_of_host_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> buf(kMiB);
  sha256_ctx c;
  nfss_sha_init(&c);
  while (f) {
    f.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    if (f.gcount() > 0) nfss_sha_update(&c, buf.data(), static_cast<uint64_t>(f.gcount()));
  }
  unsigned char out[32];
  nfss_sha_final(&c, out);
  return hex(out, 32);
}

// Block b of the large file: a byte pattern that differs from block to block,
// so that a block served at the wrong offset changes the digest.
void large_block(uint64_t b, std::vector<unsigned char>& blk) {
  for (size_t i = 0; i < blk.size(); i++) {
    blk[i] = static_cast<unsigned char>((i * 31u + b * 7u + (i >> 9)) & 0xff);
  }
  std::memcpy(blk.data(), &b, sizeof b);
}

void write_large(const std::string& path) {
  std::ofstream f(path, std::ios::binary);
  std::vector<unsigned char> blk(kMiB);
  for (uint64_t off = 0, b = 0; off < kLargeSize; off += kMiB, b++) {
    large_block(b, blk);
    const uint64_t n = std::min<uint64_t>(kMiB, kLargeSize - off);
    f.write(reinterpret_cast<const char*>(blk.data()), static_cast<std::streamsize>(n));
  }
}

std::string bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 13u + seed) & 0xff);
  return s;
}

// The tree every test serves: nested folders, an empty folder, small files of
// sizes 0, 1, 7, 1001, 4097 and 65537, names with spaces and UTF-8, a folder
// of many entries, two links and one file above 64 MiB.
void make_tree(const temp_dir& t) {
  t.write("empty.bin", "");
  t.write("one.txt", "x");
  t.write("seven bytes.txt", "1234567");
  t.write(kUtf8Name, "grüße, 世界\n");
  t.write("docs/readme.md", bytes(1001, 3));
  t.write("docs/deep/er/leaf.dat", bytes(4097, 5));
  t.mkdir("docs/empty folder");
  t.write(std::string(kUtf8Folder) + "/data 3.bin", bytes(65537, 11));
  // More entries than one READDIRPLUS reply of libnfs holds.
  for (int i = 0; i < kManyFiles; i++) {
    t.write("many/entry " + std::to_string(i) + " with a name long enough to fill replies.txt",
            bytes(static_cast<size_t>(i % 9), static_cast<unsigned>(i)));
  }
  t.mkdir("big");
  write_large(t.at("big/large.bin"));
  // Links are shown as links; one that points at its own folder must not
  // lead a client that walks the tree in circles.
  t.symlink("readme.md", "docs/link to readme");
  t.symlink(".", "docs/loop");
}

enum class kind { file, dir, link };

struct host_entry {
  kind type = kind::file;
  uint64_t size = 0;
  unsigned perms = 0;
  int64_t mtime_ns = 0;
  std::string sha;  // regular files only, when asked for
  bool operator==(const host_entry&) const = default;
};

// Relative path -> what the host says about it (links described themselves,
// never followed).
using tree_map = std::map<std::string, host_entry>;

tree_map host_tree(const std::string& root, bool with_sha) {
  tree_map m;
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(root, ec)) {
    const std::string p = e.path().string();
    struct stat ls{};
    if (::lstat(p.c_str(), &ls) != 0) continue;
    host_entry h;
    h.type = S_ISLNK(ls.st_mode) ? kind::link : S_ISDIR(ls.st_mode) ? kind::dir : kind::file;
    h.size = static_cast<uint64_t>(ls.st_size);
    h.perms = ls.st_mode & 07777;
    h.mtime_ns = ls.st_mtim.tv_sec * 1000000000LL + ls.st_mtim.tv_nsec;
    if (h.type == kind::file && with_sha) h.sha = sha_of_host_file(p);
    m[e.path().lexically_relative(root).generic_string()] = h;
  }
  return m;
}

struct ctx_deleter {
  void operator()(nfs_context* n) const { nfs_destroy_context(n); }
};
using nfs_ptr = std::unique_ptr<nfs_context, ctx_deleter>;

std::string url_for(const std::string& export_path) {
  return "nfs://127.0.0.1" + export_path + "?version=3&nfsport=" + std::to_string(vorlix_nfs_port()) +
         "&mountport=" + std::to_string(vorlix_mount_port());
}

// A context mounted on the export over TCP, with the ports given in the URL
// (no portmapper involved). Null, with the reason in *why, on failure.
nfs_ptr mount_export(const std::string& export_path, std::string* why) {
  nfs_ptr n(nfs_init_context());
  if (!n) {
    *why = "nfs_init_context failed";
    return nullptr;
  }
  nfs_set_timeout(n.get(), kClientTimeoutMs);
  nfs_set_autoreconnect(n.get(), 0);
  if (getenv("LIBNFS_TEST_DEBUG") != nullptr) nfs_set_debug(n.get(), 9);
  nfs_url* u = nfs_parse_url_dir(n.get(), url_for(export_path).c_str());
  if (u == nullptr) {
    *why = std::string("url: ") + nfs_get_error(n.get());
    return nullptr;
  }
  const int rc = nfs_mount(n.get(), u->server, u->path);
  nfs_destroy_url(u);
  if (rc != 0) {
    *why = "nfs_mount " + std::to_string(rc) + ": " + nfs_get_error(n.get());
    return nullptr;
  }
  return n;
}

class LibnfsClient : public ::testing::Test {
 protected:
  void SetUp() override {
    make_tree(tree_);
    add_export("/share", tree_.path);
    ASSERT_TRUE(start_test_server()) << vorlix_last_error();
  }
  // The server's state is process-wide: leave none of it to the next test
  // when several run in one process.
  void TearDown() override {
    mounts_.clear();
    vorlix_stop();
    for (const std::string& e : exports_) vorlix_remove_export(e.c_str());
  }

  void add_export(const std::string& export_path, const std::string& local) {
    // The result is the export's slot.
    ASSERT_GE(vorlix_add_export(export_path.c_str(), local.c_str(), ""), 0) << vorlix_last_error();
    exports_.push_back(export_path);
  }

  nfs_context* mount(const std::string& export_path = "/share") {
    std::string why;
    nfs_ptr n = mount_export(export_path, &why);
    EXPECT_TRUE(n) << why;
    mounts_.push_back(std::move(n));
    return mounts_.back().get();
  }

  temp_dir tree_;
  std::vector<std::string> exports_;
  std::vector<nfs_ptr> mounts_;
};

struct client_entry {
  uint32_t type = 0;
  uint64_t size = 0;
  uint64_t mode = 0;
};

// Walks the mounted tree with opendir/readdir (READDIRPLUS underneath),
// folders first-in first-out, at most max_dirs folders.
std::map<std::string, client_entry> client_tree(nfs_context* n, std::vector<std::string>* failures) {
  std::map<std::string, client_entry> out;
  std::vector<std::string> todo{""};
  const size_t max_dirs = 64;
  for (size_t i = 0; i < todo.size() && i < max_dirs; i++) {
    const std::string dir = todo[i];
    nfsdir* d = nullptr;
    const int rc = nfs_opendir(n, ("/" + dir).c_str(), &d);
    if (rc != 0) {
      failures->push_back("opendir /" + dir + ": " + std::to_string(rc) + " " + nfs_get_error(n));
      continue;
    }
    bool dot = false, dotdot = false;
    for (int k = 0; k < 10000; k++) {
      nfsdirent* e = nfs_readdir(n, d);
      if (e == nullptr) break;
      const std::string name = e->name;
      if (name == ".") {
        dot = true;
        continue;
      }
      if (name == "..") {
        dotdot = true;
        continue;
      }
      const std::string rel = dir.empty() ? name : dir + "/" + name;
      out[rel] = client_entry{e->type, e->size, e->mode};
      if (e->type == NF3DIR) todo.push_back(rel);
    }
    nfs_closedir(n, d);
    if (!dot || !dotdot) failures->push_back("/" + dir + " listed without . or ..");
  }
  return out;
}

// Reads the file at path through the client in calls of at most chunk bytes
// and returns the SHA-256 of what came back and, in *total, its length.
std::string client_sha(nfs_context* n, const std::string& path, uint64_t chunk, uint64_t expect_size,
                       uint64_t* total, std::string* why) {
  nfsfh* fh = nullptr;
  const int rc = nfs_open(n, path.c_str(), O_RDONLY, &fh);
  if (rc != 0) {
    *why = "open " + path + ": " + std::to_string(rc) + " " + nfs_get_error(n);
    return "";
  }
  std::vector<unsigned char> buf(chunk);
  sha256_ctx c;
  nfss_sha_init(&c);
  uint64_t off = 0;
  // One extra call past the end must answer 0 bytes.
  const uint64_t max_calls = expect_size / chunk + 3;
  for (uint64_t k = 0; k < max_calls; k++) {
    const int got = nfs_pread(n, fh, off, chunk, buf.data());
    if (got < 0) {
      *why = "pread " + path + " at " + std::to_string(off) + ": " + std::to_string(got) + " " + nfs_get_error(n);
      break;
    }
    if (got == 0) break;
    nfss_sha_update(&c, buf.data(), static_cast<uint64_t>(got));
    off += static_cast<uint64_t>(got);
  }
  nfs_close(n, fh);
  *total = off;
  unsigned char out[32];
  nfss_sha_final(&c, out);
  return hex(out, 32);
}

uint32_t nf3_type(kind k) {
  switch (k) {
    case kind::dir: return NF3DIR;
    case kind::link: return NF3LNK;
    default: return NF3REG;
  }
}

TEST_F(LibnfsClient, MountListsTreeRecursivelyWithTypesAndSizes) {
  nfs_context* n = mount();
  ASSERT_NE(n, nullptr);
  // The server announces 1 MiB reads; libnfs takes them as its read size.
  EXPECT_EQ(nfs_get_readmax(n), kMiB);

  std::vector<std::string> failures;
  const auto seen = client_tree(n, &failures);
  EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);

  const tree_map host = host_tree(tree_.path, false);
  std::set<std::string> host_names, client_names;
  for (auto& [rel, h] : host) host_names.insert(rel);
  for (auto& [rel, c] : seen) client_names.insert(rel);
  EXPECT_EQ(client_names, host_names);
  for (auto& [rel, h] : host) {
    auto it = seen.find(rel);
    if (it == seen.end()) continue;
    const client_entry& c = it->second;
    EXPECT_EQ(c.type, nf3_type(h.type)) << rel;
    // A link's size is the length of its target text, as on the host.
    EXPECT_EQ(c.size, h.size) << rel;
    EXPECT_EQ(c.mode & 0777, h.type == kind::dir ? 0777u : 0666u) << rel;
  }
  EXPECT_EQ(seen.count(std::string(kUtf8Folder) + "/data 3.bin"), 1u);
  EXPECT_EQ(seen.count("docs/empty folder"), 1u);

  // Listed again by a second client whose directory cache is off, the tree
  // is the same: the cookies resume where they should, with no entry lost or
  // repeated.
  nfs_context* fresh = mount();
  ASSERT_NE(fresh, nullptr);
  nfs_set_dircache(fresh, 0);
  std::vector<std::string> again;
  const auto seen2 = client_tree(fresh, &again);
  EXPECT_TRUE(again.empty()) << ::testing::PrintToString(again);
  EXPECT_EQ(seen2.size(), seen.size());
  for (auto& [rel, c] : seen) {
    auto it = seen2.find(rel);
    ASSERT_NE(it, seen2.end()) << rel;
    EXPECT_EQ(it->second.size, c.size) << rel;
    EXPECT_EQ(it->second.type, c.type) << rel;
  }

  // A folder that does not exist cannot be opened.
  nfsdir* d = nullptr;
  EXPECT_EQ(nfs_opendir(n, "/no such folder", &d), -ENOENT);
}

TEST_F(LibnfsClient, MountFindsOnlyExportedPaths) {
  std::string why;
  EXPECT_FALSE(mount_export("/nothing-here", &why));
  // Export paths are case-sensitive.
  EXPECT_FALSE(mount_export("/Share", &why));
  // Doubled and trailing slashes name the same export.
  EXPECT_TRUE(mount_export("//share/", &why)) << why;
}

TEST_F(LibnfsClient, ReadsEveryFileAndDigestsMatchTheHost) {
  nfs_context* n = mount();
  ASSERT_NE(n, nullptr);
  const tree_map host = host_tree(tree_.path, true);
  int files = 0;
  for (auto& [rel, h] : host) {
    if (h.type != kind::file) continue;
    files++;
    // The large file in 1 MiB calls, the small ones in calls of 1000 bytes
    // so that reads start and end at offsets that are not multiples of 4.
    const uint64_t chunk = h.size > kMiB ? kMiB : 1000;
    uint64_t total = 0;
    std::string why;
    const std::string got = client_sha(n, "/" + rel, chunk, h.size, &total, &why);
    EXPECT_EQ(why, "") << rel;
    EXPECT_EQ(total, h.size) << rel;
    EXPECT_EQ(got, h.sha) << rel;
  }
  EXPECT_EQ(files, 8 + kManyFiles);
  ASSERT_EQ(host.at("big/large.bin").size, kLargeSize);

  // Sequential nfs_read over a file whose size is not a multiple of 4,
  // in pieces of 3 bytes, ends exactly at its size.
  nfsfh* fh = nullptr;
  ASSERT_EQ(nfs_open(n, "/seven bytes.txt", O_RDONLY, &fh), 0) << nfs_get_error(n);
  std::string text;
  char piece[3];
  for (int k = 0; k < 10; k++) {
    const int got = nfs_read(n, fh, sizeof piece, piece);
    ASSERT_GE(got, 0) << nfs_get_error(n);
    if (got == 0) break;
    text.append(piece, static_cast<size_t>(got));
  }
  EXPECT_EQ(text, "1234567");
  // Reads past the end give nothing.
  EXPECT_EQ(nfs_pread(n, fh, 100, 10, piece), 0);
  nfs_close(n, fh);

  // A read from the middle of the large file, across a block boundary.
  ASSERT_EQ(nfs_open(n, "/big/large.bin", O_RDONLY, &fh), 0) << nfs_get_error(n);
  std::vector<unsigned char> mid(4096), blk0(kMiB), blk1(kMiB);
  const uint64_t at = 7 * kMiB - 2047;
  ASSERT_EQ(nfs_pread(n, fh, at, mid.size(), mid.data()), 4096) << nfs_get_error(n);
  large_block(6, blk0);
  large_block(7, blk1);
  std::vector<unsigned char> want(blk0.end() - 2047, blk0.end());
  want.insert(want.end(), blk1.begin(), blk1.begin() + 2049);
  EXPECT_EQ(mid, want);
  nfs_close(n, fh);
}

TEST_F(LibnfsClient, TwoClientsReadTheLargeFileAtOnce) {
  const std::string want = sha_of_host_file(tree_.at("big/large.bin"));
  nfs_context* a = mount();
  nfs_context* b = mount();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  // Each connection has its own read buffer: interleaved 1 MiB replies on two
  // connections must not mix.
  std::string got[2], why[2];
  uint64_t total[2] = {0, 0};
  std::thread t([&] { got[1] = client_sha(b, "/big/large.bin", kMiB, kLargeSize, &total[1], &why[1]); });
  got[0] = client_sha(a, "/big/large.bin", kMiB, kLargeSize, &total[0], &why[0]);
  t.join();
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(why[i], "") << i;
    EXPECT_EQ(total[i], kLargeSize) << i;
    EXPECT_EQ(got[i], want) << i;
  }
}

TEST_F(LibnfsClient, StatOfFilesFoldersAndLinks) {
  ASSERT_EQ(chmod(tree_.at("one.txt").c_str(), 0444), 0);
  ASSERT_EQ(chmod(tree_.at("docs/deep").c_str(), 0555), 0);
  nfs_context* n = mount();
  ASSERT_NE(n, nullptr);

  struct want {
    std::string path;
    bool dir;
    unsigned perms;
  };
  // A host object without any write permission is shown read-only; all
  // others are readable and writable by everyone.
  const want cases[] = {
      {"/", true, 0777},
      {"/docs", true, 0777},
      {"/docs/deep", true, 0555},
      {"/docs/empty folder", true, 0777},
      {"/empty.bin", false, 0666},
      {"/one.txt", false, 0444},
      {"/seven bytes.txt", false, 0666},
      {std::string("/") + kUtf8Name, false, 0666},
      {"/docs/deep/er/leaf.dat", false, 0666},
      {"/big/large.bin", false, 0666},
  };
  std::set<uint64_t> inodes;
  uint64_t dev = 0;
  for (const want& w : cases) {
    const char* p = w.path.c_str();
    nfs_stat_64 st{};
    ASSERT_EQ(nfs_stat64(n, p, &st), 0) << p << ": " << nfs_get_error(n);
    struct stat hs{};
    ASSERT_EQ(::stat((tree_.path + w.path).c_str(), &hs), 0) << p;
    EXPECT_EQ(S_ISDIR(st.nfs_mode), w.dir) << p;
    EXPECT_EQ(S_ISREG(st.nfs_mode), !w.dir) << p;
    EXPECT_EQ(st.nfs_mode & 07777, w.perms) << p;
    EXPECT_EQ(st.nfs_size, static_cast<uint64_t>(hs.st_size)) << p;
    EXPECT_EQ(st.nfs_uid, 0u) << p;
    EXPECT_EQ(st.nfs_gid, 0u) << p;
    EXPECT_EQ(st.nfs_nlink, static_cast<uint64_t>(hs.st_nlink)) << p;
    EXPECT_EQ(st.nfs_ino, static_cast<uint64_t>(hs.st_ino)) << p;
    EXPECT_EQ(st.nfs_mtime, static_cast<uint64_t>(hs.st_mtim.tv_sec)) << p;
    EXPECT_EQ(st.nfs_mtime_nsec, static_cast<uint64_t>(hs.st_mtim.tv_nsec)) << p;
    inodes.insert(st.nfs_ino);
    // Every object of one export reports the same file system.
    if (dev == 0) dev = st.nfs_dev;
    EXPECT_EQ(st.nfs_dev, dev) << p;
  }
  EXPECT_NE(dev, 0u);
  EXPECT_EQ(inodes.size(), std::size(cases));

  // The same file reached through "." and ".." and through an open handle.
  nfs_stat_64 a{}, b{};
  ASSERT_EQ(nfs_stat64(n, "/docs/deep/../readme.md", &a), 0) << nfs_get_error(n);
  ASSERT_EQ(nfs_stat64(n, "/docs/./readme.md", &b), 0) << nfs_get_error(n);
  EXPECT_EQ(a.nfs_ino, b.nfs_ino);
  EXPECT_EQ(a.nfs_size, 1001u);
  nfsfh* fh = nullptr;
  ASSERT_EQ(nfs_open(n, "/docs/readme.md", O_RDONLY, &fh), 0) << nfs_get_error(n);
  nfs_stat_64 c{};
  ASSERT_EQ(nfs_fstat64(n, fh, &c), 0) << nfs_get_error(n);
  EXPECT_EQ(c.nfs_ino, a.nfs_ino);
  EXPECT_EQ(c.nfs_size, 1001u);
  nfs_close(n, fh);

  // A link is described itself; its target text is not handed out.
  nfs_stat_64 l{};
  ASSERT_EQ(nfs_lstat64(n, "/docs/link to readme", &l), 0) << nfs_get_error(n);
  EXPECT_TRUE(S_ISLNK(l.nfs_mode));
  EXPECT_EQ(l.nfs_size, std::string("readme.md").size());
  char target[64] = "unchanged";
  EXPECT_EQ(nfs_readlink(n, "/docs/link to readme", target, sizeof target), 0) << nfs_get_error(n);
  EXPECT_STREQ(target, "");

  nfs_stat_64 missing{};
  EXPECT_EQ(nfs_stat64(n, "/docs/missing.txt", &missing), -ENOENT);

  // The volume's figures come through.
  nfs_statvfs_64 vfs{};
  ASSERT_EQ(nfs_statvfs64(n, "/", &vfs), 0) << nfs_get_error(n);
  EXPECT_GT(vfs.f_blocks, 0u);

  // Reading and looking up are granted, changing is not.
  EXPECT_EQ(nfs_access(n, "/docs/readme.md", R_OK), 0);
  EXPECT_EQ(nfs_access(n, "/docs", R_OK | X_OK), 0);
  EXPECT_EQ(nfs_access(n, "/docs/readme.md", W_OK), -EACCES);
}

TEST_F(LibnfsClient, EveryChangeIsRefusedAndTheHostTreeStaysAsItWas) {
  nfs_context* n = mount();
  ASSERT_NE(n, nullptr);
  const tree_map before = host_tree(tree_.path, true);

  // What each attempt answered, and what it should: libnfs refuses to open
  // for writing by itself once ACCESS grants no MODIFY (EACCES); everything
  // it sends on is the server's read-only answer (EROFS).
  struct attempt {
    std::string what;
    int rc;
    int want;
  };
  std::vector<attempt> tries;
  auto record = [&](const std::string& what, int rc, int want = -EROFS) { tries.push_back({what, rc, want}); };

  for (int flags : {O_WRONLY, O_RDWR, O_WRONLY | O_TRUNC, O_RDWR | O_APPEND}) {
    nfsfh* fh = nullptr;
    const int rc = nfs_open(n, "/seven bytes.txt", flags, &fh);
    const std::string what = "open flags=0" + std::to_string(flags);
    record(what, rc, -EACCES);
    if (rc == 0) {
      // Let through by the client: the changes themselves must fail.
      record(what + " then pwrite", nfs_pwrite(n, fh, 0, 3, "abc"));
      record(what + " then ftruncate", nfs_ftruncate(n, fh, 1));
      record(what + " then fchmod", nfs_fchmod(n, fh, 0600));
      nfs_close(n, fh);
    }
  }
  {
    nfsfh* fh = nullptr;
    int rc = nfs_creat(n, "/new file.txt", 0644, &fh);
    if (rc == 0) nfs_close(n, fh);
    record("creat", rc);
    rc = nfs_create(n, "/docs/new2.txt", O_RDWR | O_EXCL, 0644, &fh);
    if (rc == 0) nfs_close(n, fh);
    record("create O_EXCL", rc);
    rc = nfs_open2(n, "/docs/made by open.txt", O_WRONLY | O_CREAT, 0644, &fh);
    if (rc == 0) nfs_close(n, fh);
    record("open O_CREAT", rc);
  }
  record("mkdir", nfs_mkdir(n, "/new folder"));
  record("mkdir2", nfs_mkdir2(n, "/docs/new folder 2", 0755));
  record("mknod", nfs_mknod(n, "/fifo", S_IFIFO | 0644, 0));
  record("unlink", nfs_unlink(n, "/one.txt"));
  record("unlink utf8", nfs_unlink(n, (std::string("/") + kUtf8Name).c_str()));
  record("unlink link", nfs_unlink(n, "/docs/link to readme"));
  record("rmdir empty", nfs_rmdir(n, "/docs/empty folder"));
  record("rmdir full", nfs_rmdir(n, "/docs"));
  record("rename file", nfs_rename(n, "/one.txt", "/two.txt"));
  record("rename over", nfs_rename(n, "/one.txt", "/empty.bin"));
  record("rename folder", nfs_rename(n, "/docs/deep", "/deep"));
  record("truncate", nfs_truncate(n, "/docs/readme.md", 10));
  record("truncate big", nfs_truncate(n, "/big/large.bin", 0));
  record("chmod", nfs_chmod(n, "/docs/readme.md", 0600));
  record("chmod folder", nfs_chmod(n, "/docs", 0700));
  record("chown", nfs_chown(n, "/docs/readme.md", 1234, 1234));
  record("symlink", nfs_symlink(n, "one.txt", "/link to one"));
  record("link", nfs_link(n, "/one.txt", "/hard link"));
  struct timeval tv[2] = {{1000000, 0}, {1000000, 0}};
  record("utimes", nfs_utimes(n, "/docs/readme.md", tv));

  std::string report;
  for (const attempt& a : tries) {
    report += a.what + " -> " + std::to_string(a.rc) + " (" + (a.rc < 0 ? strerror(-a.rc) : "success") + ")\n";
    EXPECT_EQ(a.rc, a.want) << a.what;
  }
  RecordProperty("refusals", report);
  if (HasFailure()) std::printf("%s", report.c_str());

  // The refusals are ordinary answers, not a broken connection: the mount
  // goes on working.
  uint64_t total = 0;
  std::string why;
  EXPECT_EQ(client_sha(n, "/docs/readme.md", 4096, 1001, &total, &why), before.at("docs/readme.md").sha) << why;

  EXPECT_EQ(host_tree(tree_.path, true), before);
}

TEST_F(LibnfsClient, GoneFilesAndRemovedExportsReachTheClientAsErrors) {
  nfs_context* n = mount();
  ASSERT_NE(n, nullptr);
  nfsfh* gone = nullptr;
  nfsfh* kept = nullptr;
  ASSERT_EQ(nfs_open(n, "/docs/readme.md", O_RDONLY, &gone), 0) << nfs_get_error(n);
  ASSERT_EQ(nfs_open(n, "/one.txt", O_RDONLY, &kept), 0) << nfs_get_error(n);

  ASSERT_EQ(unlink(tree_.at("docs/readme.md").c_str()), 0);
  nfs_stat_64 st{};
  EXPECT_EQ(nfs_fstat64(n, gone, &st), -ENOENT);
  EXPECT_EQ(nfs_fstat64(n, kept, &st), 0) << nfs_get_error(n);

  // Once the export is gone its handles are stale, and they stay stale when
  // the same folder is exported again under the same path.
  ASSERT_EQ(vorlix_remove_export("/share"), 0);
  EXPECT_EQ(nfs_fstat64(n, kept, &st), -ESTALE);
  std::string why;
  EXPECT_FALSE(mount_export("/share", &why));
  add_export("/share", tree_.path);
  EXPECT_EQ(nfs_fstat64(n, kept, &st), -ESTALE);
  nfs_close(n, gone);
  nfs_close(n, kept);

  nfs_context* again = mount();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(nfs_stat64(again, "/one.txt", &st), 0) << nfs_get_error(again);
}

TEST_F(LibnfsClient, FailedLookupsReadsAndListingsGiveTheirErrno) {
  nfs_context* n = mount();
  ASSERT_NE(n, nullptr);
  nfs_stat_64 st{};
  // A name below a file.
  const int below = nfs_stat64(n, "/one.txt/x", &st);
  EXPECT_TRUE(below == -ENOTDIR || below == -ENOENT) << below;
  // Names the server does not take.
  EXPECT_EQ(nfs_stat64(n, ("/" + std::string(256, 'n')).c_str(), &st), -ENAMETOOLONG);
  EXPECT_EQ(nfs_stat64(n, "/back\\slash", &st), -EINVAL);
  // Listing a file.
  nfsdir* d = nullptr;
  EXPECT_EQ(nfs_opendir(n, "/one.txt", &d), -ENOTDIR);
  // Reading a folder, and a file removed since it was opened. libnfs turns
  // every failed READ into EFAULT whatever the status, and says "rejected"
  // only when it could not decode the reply at all.
  nfsfh* fh = nullptr;
  char b[8];
  ASSERT_EQ(nfs_open(n, "/docs", O_RDONLY, &fh), 0) << nfs_get_error(n);
  EXPECT_LT(nfs_pread(n, fh, 0, sizeof b, b), 0);
  EXPECT_EQ(std::string(nfs_get_error(n)).find("rejected"), std::string::npos) << nfs_get_error(n);
  nfs_close(n, fh);
  ASSERT_EQ(nfs_open(n, "/docs/readme.md", O_RDONLY, &fh), 0) << nfs_get_error(n);
  ASSERT_EQ(unlink(tree_.at("docs/readme.md").c_str()), 0);
  EXPECT_LT(nfs_pread(n, fh, 0, sizeof b, b), 0);
  EXPECT_EQ(std::string(nfs_get_error(n)).find("rejected"), std::string::npos) << nfs_get_error(n);
  nfs_close(n, fh);
  // Looking up, listing, asking for access and for the volume's figures
  // through a removed export.
  ASSERT_EQ(vorlix_remove_export("/share"), 0);
  EXPECT_EQ(nfs_stat64(n, "/docs/deep", &st), -ESTALE);
  EXPECT_EQ(nfs_opendir(n, "/", &d), -ESTALE);
  EXPECT_EQ(nfs_access(n, "/", R_OK), -ESTALE);
  nfs_statvfs_64 vfs{};
  EXPECT_EQ(nfs_statvfs64(n, "/", &vfs), -ESTALE);
}

TEST_F(LibnfsClient, SingleFileExportMountsListsAndReads) {
  const std::string file = tree_.at("docs/deep/er/leaf.dat");
  add_export("/one-file", file);
  nfs_context* n = mount("/one-file");
  ASSERT_NE(n, nullptr);

  // The export looks like a folder holding the one file.
  nfsdir* d = nullptr;
  ASSERT_EQ(nfs_opendir(n, "/", &d), 0) << nfs_get_error(n);
  std::set<std::string> names;
  for (int k = 0; k < 100; k++) {
    nfsdirent* e = nfs_readdir(n, d);
    if (e == nullptr) break;
    names.insert(e->name);
    if (std::string(e->name) == "leaf.dat") {
      EXPECT_EQ(e->type, static_cast<uint32_t>(NF3REG));
      EXPECT_EQ(e->size, 4097u);
    }
  }
  nfs_closedir(n, d);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "leaf.dat"}));

  nfs_stat_64 st{};
  ASSERT_EQ(nfs_stat64(n, "/leaf.dat", &st), 0) << nfs_get_error(n);
  EXPECT_TRUE(S_ISREG(st.nfs_mode));
  EXPECT_EQ(st.nfs_size, 4097u);

  uint64_t total = 0;
  std::string why;
  EXPECT_EQ(client_sha(n, "/leaf.dat", 1000, 4097, &total, &why), sha_of_host_file(file)) << why;
  EXPECT_EQ(total, 4097u);

  // It cannot be changed either.
  EXPECT_EQ(nfs_truncate(n, "/leaf.dat", 0), -EROFS);
  EXPECT_EQ(nfs_unlink(n, "/leaf.dat"), -EROFS);
  EXPECT_EQ(fs::file_size(file), 4097u);

  // The folder export keeps working next to it on its own connection.
  nfs_context* m = mount("/share");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(nfs_stat64(m, "/docs/deep/er/leaf.dat", &st), 0) << nfs_get_error(m);
}

TEST_F(LibnfsClient, NfsLsToolListsTheTree) {
  const child_options nfs_ls{.program = "nfs-ls"};
  const run_result top = run_program({url_for("/share")}, nfs_ls, 30000);
  if (top.code == -1 && top.out.empty() && top.err.empty()) GTEST_SKIP() << "nfs-ls cannot be run";
  ASSERT_EQ(top.code, 0) << top.out << top.err;
  for (const char* name : {"empty.bin", "one.txt", "seven bytes.txt", kUtf8Name, "docs", kUtf8Folder, "big", "many"}) {
    EXPECT_NE(top.out.find(name), std::string::npos) << name << " missing from:\n" << top.out << top.err;
  }
  // Recursively, the tool reaches the nested files and shows their sizes.
  const run_result rec = run_program({"-R", url_for("/share")}, nfs_ls, 30000);
  ASSERT_EQ(rec.code, 0) << rec.out << rec.err;
  EXPECT_NE(rec.out.find(std::to_string(kLargeSize)), std::string::npos) << rec.out << rec.err;
  EXPECT_NE(rec.out.find("leaf.dat"), std::string::npos) << rec.out << rec.err;
  EXPECT_NE(rec.out.find("entry 299 with"), std::string::npos) << rec.out << rec.err;
}

}  // namespace
