// The POSIX platform layer: file status, enumeration, positional reads,
// sockets and polling, threads and the re-entrant lock, path predicates.
#include "plat/plat.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstddef>
#endif

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture.h"

namespace {

// A record filled with a pattern, so that a failed call that does not clear
// it shows.
plat_statbuf dirty_statbuf() {
  plat_statbuf st;
  memset(&st, 0xAB, sizeof st);
  return st;
}

bool all_zero(const plat_statbuf& st) {
  const auto* p = reinterpret_cast<const unsigned char*>(&st);
  for (size_t i = 0; i < sizeof st; i++) {
    if (p[i] != 0) return false;
  }
  return true;
}

// A listening socket on 127.0.0.1 with a port chosen by the system, and one
// accepted connection to it.
struct tcp_pair {
  plat_sock listener = PLAT_INVALID_SOCK;
  plat_sock client = PLAT_INVALID_SOCK;
  plat_sock server = PLAT_INVALID_SOCK;
  int port = 0;

  bool open(const char* client_ip = nullptr) {
    if (plat_net_init() != 0) return false;
    if (plat_listen_tcp4("127.0.0.1", 0, 4, &listener) != 0) return false;
    port = plat_sock_port(listener);
    if (port <= 0 || plat_connect_tcp4("127.0.0.1", port, client_ip, &client) != 0) return false;
    if (plat_poll1(listener, 1, 5000) <= 0) return false;
    server = plat_accept(listener);
    return server != PLAT_INVALID_SOCK;
  }
  ~tcp_pair() {
    plat_sock_close(server);
    plat_sock_close(client);
    plat_sock_close(listener);
  }
};

}  // namespace

// ---- File status -------------------------------------------------------------

TEST(PlatStat, ModeFollowsWriteBitsAndType) {
  temp_dir t;
  struct row {
    const char* name;
    bool dir;
    mode_t perms;
    uint32_t mode;
  };
  const row rows[] = {
      {"ro_file", false, 0444, 0444}, {"rw_file", false, 0644, 0666}, {"owner_only_write", false, 0200, 0666},
      {"dir", true, 0755, 0777},      {"ro_dir", true, 0555, 0555},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
#ifdef _WIN32
    // Wine keeps no read-only attribute on folders; Windows does.
    if (r.dir && r.perms == 0555 && running_under_wine()) continue;
#endif
    const std::string p = r.dir ? t.mkdir(r.name) : t.write(r.name, "abc");
    ASSERT_EQ(chmod(p.c_str(), r.perms), 0);
    for (int follow = 0; follow <= 1; follow++) {
      plat_statbuf st = dirty_statbuf();
      ASSERT_EQ(plat_stat(p.c_str(), &st, follow), 0);
      EXPECT_EQ(st.mode, r.mode);
      EXPECT_EQ(st.is_dir, r.dir ? 1 : 0);
      EXPECT_EQ(st.is_reg, r.dir ? 0 : 1);
      EXPECT_EQ(st.is_link, 0);
      EXPECT_EQ(st.uid, 0u);
      EXPECT_EQ(st.gid, 0u);
    }
  }
}

TEST(PlatStat, SizeFileNumberAndLinkCount) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX link() and stat(): the Windows form is covered by PlatWin tests";
#else
  temp_dir t;
  const std::string f = t.write("f", std::string(12345, 'x'));
  ASSERT_EQ(link(f.c_str(), t.at("hard").c_str()), 0);
  struct stat sys;
  ASSERT_EQ(stat(f.c_str(), &sys), 0);
  plat_statbuf st;
  ASSERT_EQ(plat_stat(f.c_str(), &st, 1), 0);
  EXPECT_EQ(st.size, 12345);
  EXPECT_EQ(st.fileid, static_cast<uint64_t>(sys.st_ino));
  EXPECT_EQ(st.nlink, 2u);
  EXPECT_EQ(st.mtime, static_cast<int64_t>(sys.st_mtim.tv_sec));
  EXPECT_EQ(st.atime, static_cast<int64_t>(sys.st_atim.tv_sec));
#endif
}

TEST(PlatStat, ModificationTimeKeepsNanoseconds) {
#ifdef _WIN32
  GTEST_SKIP() << "utimensat is POSIX; on Windows mtime_ns holds whole seconds";
#else
  temp_dir t;
  const std::string f = t.write("f", "x");
  // 2024-01-01 00:00:00.7 UTC
  const struct timespec times[2] = {{1704067200, 700000000}, {1704067200, 700000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  plat_statbuf st;
  ASSERT_EQ(plat_stat(f.c_str(), &st, 1), 0);
  EXPECT_EQ(st.mtime, 1704067200);
  EXPECT_EQ(st.mtime_ns, 1704067200700000000LL);
  EXPECT_EQ(st.atime, 1704067200);
#endif
}

TEST(PlatStat, LinkIsDescribedOrFollowedAndAlwaysFlagged) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir t;
  t.mkdir("target");
  const std::string link = t.symlink(t.at("target"), "link");

  plat_statbuf own;
  ASSERT_EQ(plat_stat(link.c_str(), &own, 0), 0);
  EXPECT_EQ(own.is_link, 1);
  EXPECT_EQ(own.is_dir, 0);
  EXPECT_EQ(own.is_reg, 0);  // a link is not a regular file

  plat_statbuf followed;
  ASSERT_EQ(plat_stat(link.c_str(), &followed, 1), 0);
  EXPECT_EQ(followed.is_link, 1);
  EXPECT_EQ(followed.is_dir, 1);
  EXPECT_EQ(followed.is_reg, 0);
  struct stat sys;
  ASSERT_EQ(stat(t.at("target").c_str(), &sys), 0);
  EXPECT_EQ(followed.fileid, static_cast<uint64_t>(sys.st_ino));
}

TEST(PlatStat, DanglingLinkCanOnlyBeDescribedItself) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir t;
  const std::string link = t.symlink(t.at("gone"), "dangling");
  plat_statbuf st;
  EXPECT_EQ(plat_stat(link.c_str(), &st, 0), 0);
  EXPECT_EQ(st.is_link, 1);
  EXPECT_EQ(plat_stat(link.c_str(), &st, 1), -1);
}

TEST(PlatStat, MissingPathGivesZeroRecord) {
  temp_dir t;
  for (int follow = 0; follow <= 1; follow++) {
    plat_statbuf st = dirty_statbuf();
    EXPECT_EQ(plat_stat(t.at("missing").c_str(), &st, follow), -1);
    EXPECT_TRUE(all_zero(st));
  }
  plat_statbuf st = dirty_statbuf();
  EXPECT_EQ(plat_stat(nullptr, &st, 1), -1);
  EXPECT_TRUE(all_zero(st));
}

TEST(PlatStat, FifoIsNeitherFileNorFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no FIFOs";
#else
  temp_dir t;
  const std::string fifo = t.at("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  plat_statbuf st;
  ASSERT_EQ(plat_stat(fifo.c_str(), &st, 1), 0);
  EXPECT_EQ(st.is_dir, 0);
  EXPECT_EQ(st.is_reg, 0);
#endif
}

TEST(PlatStatBeneath, RefusesIntermediateLinksAndDescribesFinalOnes) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir t;
  t.write("sub/f", "hello");
  t.symlink(t.at("sub"), "dirlink");
  t.symlink("f", "sub/filelink");
  t.symlink(t.at("sub"), "sub/uplink");

  plat_statbuf st;
  ASSERT_EQ(plat_stat_beneath(t.path.c_str(), "", &st), 0);
  EXPECT_EQ(st.is_dir, 1);

  ASSERT_EQ(plat_stat_beneath(t.path.c_str(), "sub/f", &st), 0);
  EXPECT_EQ(st.is_reg, 1);
  EXPECT_EQ(st.size, 5);

  // A final link is described itself, never followed.
  ASSERT_EQ(plat_stat_beneath(t.path.c_str(), "sub/filelink", &st), 0);
  EXPECT_EQ(st.is_link, 1);
  EXPECT_EQ(st.is_reg, 0);
  ASSERT_EQ(plat_stat_beneath(t.path.c_str(), "dirlink", &st), 0);
  EXPECT_EQ(st.is_link, 1);
  EXPECT_EQ(st.is_dir, 0);

  // A link on the way is refused, whatever it points to.
  // So is a step sideways or upwards, which could leave the root.
  const char* refused[] = {"dirlink/f", "sub/uplink/f", "sub/filelink/x", "missing/f", "sub/missing", "sub//f", "..",
                           "sub/..",    "../x",         "sub/../sub/f",   ".",         "./sub/f",     "sub/."};
  for (const char* rel : refused) {
    SCOPED_TRACE(rel);
    plat_statbuf r = dirty_statbuf();
    EXPECT_EQ(plat_stat_beneath(t.path.c_str(), rel, &r), -1);
  }
  EXPECT_EQ(plat_stat_beneath(t.at("missing").c_str(), "", &st), -1);
}

// ---- Paths -------------------------------------------------------------------

TEST(PlatRealpath, ResolvesDotsAndLinks) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX realpath() and symbolic links; see PlatWin.RealpathIsTheFinalPath";
#else
  temp_dir t;
  t.write("data/movie.mkv", "m");
  t.symlink(t.at("data"), "alias");
  char* want = realpath(t.at("data/movie.mkv").c_str(), nullptr);
  ASSERT_NE(want, nullptr);
  for (const std::string& p : {t.at("data/../data/movie.mkv"), t.at("alias/movie.mkv"), t.at("data/./movie.mkv")}) {
    SCOPED_TRACE(p);
    char* got = plat_realpath(p.c_str());
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, want);
    free(got);
  }
  free(want);
  EXPECT_EQ(plat_realpath(t.at("data/missing").c_str()), nullptr);
  EXPECT_EQ(plat_realpath(nullptr), nullptr);
#endif
}

TEST(PlatPath, IsAbsolute) {
  struct row {
    const char* path;
    int want;
  };
  const row rows[] = {
      {"/a", 1}, {"\\a", 1}, {"c:", 1},        {"a:", 1},  {"Z:\\x", 1}, {"C:name", 1}, {"/", 1},
      {"", 0},   {"1:", 0},  {"dir\\file", 0}, {"a/b", 0}, {":", 0},     {"ab:", 0},    {nullptr, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path ? r.path : "(null)");
    EXPECT_EQ(plat_is_absolute(r.path), r.want);
  }
}

TEST(PlatPath, PathUnder) {
  struct row {
    const char* path;
    const char* base;
    int want;
  };
  const row rows[] = {
      {"C:\\Data\\x", "c:\\data", 1},
      {"C:\\Data", "C:\\Data", 1},
      {"C:\\Data\\x", "C:\\Data\\", 1},
      {"\\x", "", 1},
      {"/x", "", 1},
      {"", "", 1},
      {"C:\\Database", "C:\\Data", 0},
      {"x", "", 0},
      {"/srv/data/x", "/srv/data", 1},
      {"/srv/data", "/srv/data", 1},
      {"/srv/database", "/srv/data", 0},
      {"/srv/dat", "/srv/data", 0},
      {"/srv/data", "/srv/data/", 0},
      {"/srv/datax", "/srv/data/", 0},
      {"/SRV/Data/x", "/srv/data", 1},
      {"/other/x", "/srv", 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.path) + " under " + r.base);
    EXPECT_EQ(plat_path_under(r.path, r.base), r.want);
  }
}

TEST(PlatFsSpace, ReportsVolumeAndLeavesOutputsOnFailure) {
  temp_dir t;
  uint64_t total = 0, avail = 0;
  ASSERT_EQ(plat_fs_space(t.path.c_str(), &total, &avail), 0);
  EXPECT_GT(total, 0u);
  EXPECT_LE(avail, total);

  total = 11;
  avail = 22;
#ifdef _WIN32
  // A drive path is asked about as its volume root, which exists even when
  // the rest of the path does not; a missing relative folder fails.
  EXPECT_EQ(plat_fs_space(t.at("missing").c_str(), &total, &avail), 0);
  total = 11;
  avail = 22;
  EXPECT_EQ(plat_fs_space("missing-folder-of-no-test\\x", &total, &avail), -1);
#else
  EXPECT_EQ(plat_fs_space(t.at("missing").c_str(), &total, &avail), -1);
#endif
  EXPECT_EQ(total, 11u);
  EXPECT_EQ(avail, 22u);
}

// ---- Directory enumeration ---------------------------------------------------

TEST(PlatDir, EnumeratesEveryEntryButDots) {
  temp_dir t;
  t.write("d/a", "1");
  t.write("d/.hidden", "2");
  t.write("d/..x", "3");
  t.mkdir("d/sub");
  const std::set<std::string> want = {"a", ".hidden", "..x", "sub"};
  for (const std::string& p : {t.at("d"), t.at("d/"), t.at("d/sub/..")}) {
    SCOPED_TRACE(p);
    plat_dir* d = plat_opendir(p.c_str());
    ASSERT_NE(d, nullptr);
    std::set<std::string> got;
    for (int i = 0; i < 100; i++) {
      const char* n = plat_readdir(d);
      if (n == nullptr) break;
      EXPECT_STRNE(n, ".");
      EXPECT_STRNE(n, "..");
      got.insert(n);
    }
    EXPECT_EQ(got, want);
    // The end stays the end.
    EXPECT_EQ(plat_readdir(d), nullptr);
    EXPECT_EQ(plat_readdir(d), nullptr);
    plat_closedir(d);
  }
}

TEST(PlatDir, EmptyMissingAndNotAFolder) {
  temp_dir t;
  t.mkdir("empty");
  plat_dir* d = plat_opendir(t.at("empty").c_str());
  if (d != nullptr) {
    EXPECT_EQ(plat_readdir(d), nullptr);
    plat_closedir(d);
  }
  EXPECT_EQ(plat_opendir(t.at("missing").c_str()), nullptr);
  EXPECT_EQ(plat_opendir(t.write("file", "x").c_str()), nullptr);
  EXPECT_EQ(plat_opendir(nullptr), nullptr);
  plat_closedir(nullptr);
}

TEST(PlatDir, EntriesAreDescribedWithoutOpeningThem) {
  temp_dir t;
  std::vector<std::string> names;
  for (int i = 0; i < 40; i++) {
    names.push_back("f" + std::to_string(i));
    t.write("d/" + names.back(), std::string(static_cast<size_t>(i) * 7, 'x'));
  }
  t.mkdir("d/sub");
  names.push_back("sub");
  const char* root = t.path.c_str();
  const auto describe_all = [&](plat_dir* d, bool by_enumeration, std::map<std::string, plat_statbuf>* out) {
    if (by_enumeration) {
      for (int i = 0; i < 1000; i++) {
        const char* n = plat_readdir(d);
        if (n == nullptr) break;
        const std::string name = n;
        ASSERT_EQ(plat_dir_stat(d, name.c_str(), &(*out)[name]), 0) << name;
      }
    } else {
      // The names asked for in an order of their own, as a listing that
      // resumes from a snapshot of names does.
      for (auto it = names.rbegin(); it != names.rend(); ++it) {
        ASSERT_EQ(plat_dir_stat(d, it->c_str(), &(*out)[*it]), 0) << *it;
      }
    }
  };
  for (const bool by_enumeration : {true, false}) {
    SCOPED_TRACE(by_enumeration ? "while enumerating" : "by name");
    plat_dir* d = plat_opendir_beneath(root, "d");
    ASSERT_NE(d, nullptr);
    const uint64_t before = plat_open_count();
    std::map<std::string, plat_statbuf> got;
    describe_all(d, by_enumeration, &got);
    EXPECT_EQ(plat_open_count() - before, 0u);
    plat_statbuf st = dirty_statbuf();
    EXPECT_EQ(plat_dir_stat(d, "missing", &st), -1);
    EXPECT_TRUE(all_zero(st));
    plat_closedir(d);
    // The same descriptions as the entries' own status.
    ASSERT_EQ(got.size(), names.size());
    for (const auto& [name, a] : got) {
      SCOPED_TRACE(name);
      plat_statbuf b;
      ASSERT_EQ(plat_stat_beneath(root, ("d/" + name).c_str(), &b), 0);
      EXPECT_EQ(a.is_dir, b.is_dir);
      EXPECT_EQ(a.is_reg, b.is_reg);
      EXPECT_EQ(a.is_link, b.is_link);
      EXPECT_EQ(a.size, b.size);
      EXPECT_EQ(a.fileid, b.fileid);
      EXPECT_NE(a.fileid, 0u);
      EXPECT_EQ(a.mode, b.mode);
      EXPECT_EQ(a.mtime, b.mtime);
      EXPECT_EQ(a.mtime_ns, b.mtime_ns);
      EXPECT_EQ(a.ctime, b.ctime);
    }
  }
  // Opens are counted.
  const uint64_t before = plat_open_count();
  plat_dir* d = plat_opendir(t.at("d").c_str());
  ASSERT_NE(d, nullptr);
  plat_closedir(d);
  EXPECT_GT(plat_open_count(), before);
}

TEST(PlatDir, WhatACallHoldsCanBeRenamedByOthers) {
  temp_dir t;
  for (const char* name : {"f", "g"}) t.write(std::string("d/sub/") + name, name);
  plat_dir* d = plat_opendir_beneath(t.path.c_str(), "d/sub");
  ASSERT_NE(d, nullptr);
  std::error_code ec;
  std::filesystem::rename(t.at("d/sub"), t.at("d/moved"), ec);
  EXPECT_FALSE(ec) << ec.message();
  std::set<std::string> got;
  for (int i = 0; i < 100; i++) {
    const char* n = plat_readdir(d);
    if (n == nullptr) break;
    got.insert(n);
  }
  plat_closedir(d);
  EXPECT_EQ(got, (std::set<std::string>{"f", "g"}));
  plat_file* f = plat_fopen_beneath(t.path.c_str(), "d/moved/f");
  ASSERT_NE(f, nullptr);
  std::filesystem::rename(t.at("d/moved/f"), t.at("d/moved/f2"), ec);
  EXPECT_FALSE(ec) << ec.message();
  std::filesystem::rename(t.at("d/moved"), t.at("d/again"), ec);
  EXPECT_FALSE(ec) << ec.message();
  char c = 0;
  EXPECT_EQ(plat_fread_at(f, 0, &c, 1), 1);
  EXPECT_EQ(c, 'f');
  plat_fclose(f);
}

// ---- Reading files -------------------------------------------------------------

TEST(PlatFile, ReadsAtOffsetsAndStopsAtTheEnd) {
  temp_dir t;
  const std::string f = t.write("f", "hello world");
  plat_file* h = plat_fopen_read(f.c_str());
  ASSERT_NE(h, nullptr);
  struct row {
    uint64_t off;
    uint64_t len;
    const char* want;
  };
  const row rows[] = {
      {0, 5, "hello"},
      {6, 100, "world"},  // reaches past the end: the bytes up to it
      {10, 1, "d"},
      {0, 0, ""},
      {11, 10, ""},  // at the end
      {12, 10, ""},
      {1ull << 40, 10, ""},
      {static_cast<uint64_t>(INT64_MAX), 10, ""},
      {static_cast<uint64_t>(INT64_MAX) + 1, 10, ""},
      {UINT64_MAX, 10, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::to_string(r.off) + "+" + std::to_string(r.len));
    char buf[64];
    memset(buf, 0, sizeof buf);
    const int64_t n = plat_fread_at(h, r.off, buf, r.len);
    ASSERT_EQ(n, static_cast<int64_t>(strlen(r.want)));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), r.want);
  }
  plat_fclose(h);
  plat_fclose(nullptr);
  char c;
  EXPECT_EQ(plat_fread_at(nullptr, 0, &c, 1), -1);
}

TEST(PlatFile, OpensRegularFilesOnly) {
  temp_dir t;
  t.mkdir("dir");
  EXPECT_EQ(plat_fopen_read(t.at("dir").c_str()), nullptr);
  EXPECT_EQ(plat_fopen_read(t.at("missing").c_str()), nullptr);
  EXPECT_EQ(plat_fopen_read(nullptr), nullptr);
  const std::string ro = t.write("ro", "x");
  ASSERT_EQ(chmod(ro.c_str(), 0444), 0);
  plat_file* h = plat_fopen_read(ro.c_str());
  EXPECT_NE(h, nullptr);
  plat_fclose(h);
}

TEST(PlatFile, FifoIsRefusedWithoutBlocking) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no FIFOs";
#else
  temp_dir t;
  const std::string fifo = t.at("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  auto opened = std::async(std::launch::async, [&] { return plat_fopen_read(fifo.c_str()); });
  if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // The open waits for a writer: give it one so that the test can end.
    const int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    opened.wait();
    if (w >= 0) close(w);
    FAIL() << "opening a FIFO blocked";
  }
  plat_file* h = opened.get();
  EXPECT_EQ(h, nullptr);
  plat_fclose(h);
#endif
}

#ifdef __linux__
// Opens of a file, as inotify reports them: an O_PATH descriptor or a status
// query is none, an open for reading is one.
struct open_watch {
  int fd = -1;
  explicit open_watch(const std::string& path) {
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && inotify_add_watch(fd, path.c_str(), IN_OPEN) < 0) {
      close(fd);
      fd = -1;
    }
  }
  ~open_watch() {
    if (fd >= 0) close(fd);
  }
  // The number of opens reported since the last call (the system merges
  // repeated ones that were not read yet).
  int opens() {
    int n = 0;
    alignas(struct inotify_event) char buf[4096];
    for (int i = 0; i < 100; i++) {
      const ssize_t got = read(fd, buf, sizeof buf);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + at);
        if (ev->mask & IN_OPEN) n++;
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
      }
    }
    return n;
  }
};

TEST(PlatFile, FifosAndDevicesAreNeverOpened) {
  temp_dir t;
  const std::string root = canonical_path(t.path);
  t.write("regular", "x");
  ASSERT_EQ(mkfifo(t.at("fifo").c_str(), 0644), 0);
  // A device node needs the privilege to make one; /dev/null's numbers.
  const bool device = mknod(t.at("device").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  struct row {
    const char* name;
    bool opens;
  };
  const row rows[] = {{"regular", true}, {"fifo", false}, {"device", false}};
  for (const row& r : rows) {
    if (!device && std::string(r.name) == "device") continue;
    SCOPED_TRACE(r.name);
    open_watch w(t.at(r.name));
    ASSERT_GE(w.fd, 0);
    plat_file* beneath = plat_fopen_beneath(root.c_str(), r.name);
    EXPECT_EQ(beneath != nullptr, r.opens);
    plat_fclose(beneath);
    EXPECT_EQ(w.opens() > 0, r.opens);
    plat_file* by_path = plat_fopen_read(t.at(r.name).c_str());
    EXPECT_EQ(by_path != nullptr, r.opens);
    plat_fclose(by_path);
    EXPECT_EQ(w.opens() > 0, r.opens);
  }
}

// A writer blocked in opening a FIFO stays blocked: a read of the FIFO
// through the platform layer is no reader for it.
TEST(PlatFile, FifoWriterWaitingToOpenIsNotReleased) {
  temp_dir t;
  const std::string root = canonical_path(t.path);
  const std::string fifo = t.at("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::atomic<bool> opened{false};
  std::thread writer([&] {
    const int w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    opened = true;
    if (w >= 0) close(w);
  });
  plat_sleep_ms(100);  // the writer is in its open by then, most often
  EXPECT_EQ(plat_fopen_beneath(root.c_str(), "fifo"), nullptr);
  EXPECT_EQ(plat_fopen_read(fifo.c_str()), nullptr);
  plat_sleep_ms(200);
  EXPECT_FALSE(opened.load());
  // A reader of our own lets the writer go.
  const int r = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  if (r >= 0) close(r);
}

namespace {

// Makes every later openat2 of this process fail with EPERM, as the seccomp
// profiles of some container runtimes do. False when the system refuses.
bool refuse_openat2() {
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog prog = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

}  // namespace

// The first walk after openat2 is refused already succeeds: it falls back
// to walking one component at a time within the same call, and refuses
// links there too, those in the root's own path included.
TEST(PlatStatBeneath, OpenAt2RefusedWithEpermFallsBackInTheSameCall) {
  temp_dir t;
  const std::string root = canonical_path(t.path);
  t.write("sub/f", "hello");
  t.symlink(t.at("sub"), "dirlink");
  t.symlink(root, "rootlink");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child reports by its exit code: 0 passed, 2 no seccomp, else the
    // number of the failed check.
    if (!refuse_openat2()) _exit(2);
    if (syscall(SYS_openat2, AT_FDCWD, "/", nullptr, 0) != -1 || errno != EPERM) _exit(3);
    plat_statbuf st;
    if (plat_stat_beneath(root.c_str(), "sub/f", &st) != 0 || st.size != 5) _exit(10);
    if (plat_stat_beneath(root.c_str(), "dirlink/f", &st) != -1) _exit(11);
    if (plat_stat_beneath((root + "/rootlink/sub").c_str(), "f", &st) != -1) _exit(12);
    if (plat_stat_beneath((root + "/dirlink").c_str(), "f", &st) != -1) _exit(13);
    if (plat_stat_beneath((root + "/sub").c_str(), "f", &st) != 0) _exit(14);
    plat_file* f = plat_fopen_beneath(root.c_str(), "sub/f");
    char buf[8];
    if (f == nullptr || plat_fread_at(f, 0, buf, sizeof buf) != 5) _exit(15);
    plat_fclose(f);
    if (plat_fopen_beneath((root + "/rootlink/sub").c_str(), "f") != nullptr) _exit(16);
    plat_dir* d = plat_opendir_beneath(root.c_str(), "sub");
    if (d == nullptr) _exit(17);
    plat_closedir(d);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "seccomp filters are not available";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "check " << WEXITSTATUS(status) << " failed";
}

// Out of descriptors, the walks fail as transient; a missing name does not.
TEST(PlatFailure, OutOfDescriptorsIsTransientAndMissingIsNot) {
  temp_dir t;
  const std::string root = canonical_path(t.path);
  t.write("sub/f", "hello");
  plat_statbuf st;
  EXPECT_EQ(plat_stat_beneath(root.c_str(), "sub/missing", &st), -1);
  EXPECT_EQ(plat_last_failure_transient(), 0);
  EXPECT_EQ(plat_fopen_beneath(root.c_str(), "sub"), nullptr);
  EXPECT_EQ(plat_last_failure_transient(), 0);

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // The lowest free descriptor becomes the limit: no new one can be had.
  const int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const int stat_rc = plat_stat_beneath(root.c_str(), "sub/f", &st);
  const int stat_transient = plat_last_failure_transient();
  plat_file* f = plat_fopen_beneath(root.c_str(), "sub/f");
  const int open_transient = plat_last_failure_transient();
  plat_dir* d = plat_opendir_beneath(root.c_str(), "sub");
  const int dir_transient = plat_last_failure_transient();
  plat_file* by_path = plat_fopen_read(t.at("sub/f").c_str());
  const int path_transient = plat_last_failure_transient();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(stat_rc, -1);
  EXPECT_EQ(stat_transient, 1);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(open_transient, 1);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(dir_transient, 1);
  EXPECT_EQ(by_path, nullptr);
  EXPECT_EQ(path_transient, 1);
  plat_fclose(f);
  plat_closedir(d);
  plat_fclose(by_path);
  // With descriptors again, a refusal right after is not transient.
  EXPECT_EQ(plat_stat_beneath(root.c_str(), "sub/../sub/f", &st), -1);
  EXPECT_EQ(plat_last_failure_transient(), 0);
}
#endif

// ---- Sockets ---------------------------------------------------------------------

TEST(PlatSock, InitTwiceAndCloseOfTheInvalidSocket) {
  EXPECT_EQ(plat_net_init(), 0);
  EXPECT_EQ(plat_net_init(), 0);
  tcp_pair p;
  ASSERT_TRUE(p.open());
  plat_sock_close(PLAT_INVALID_SOCK);
  // Nothing else was closed: the connection still carries data.
  ASSERT_EQ(plat_send(p.client, "z", 1), 1);
  ASSERT_GT(plat_poll1(p.server, 1, 5000), 0);
  char c = 0;
  EXPECT_EQ(plat_recv(p.server, &c, 1), 1);
  EXPECT_EQ(c, 'z');
}

TEST(PlatSock, PollReportsReadinessAndHangUp) {
  tcp_pair p;
  ASSERT_TRUE(p.open());
  EXPECT_EQ(plat_poll1(p.server, 1, 0), 0);  // idle: nothing to read
  EXPECT_EQ(plat_poll1(p.server, 3, 0), 2);  // idle: writable only
  EXPECT_EQ(plat_poll1(p.server, 2, 0), 2);

  ASSERT_EQ(plat_send(p.client, "ab", 2), 2);
  EXPECT_EQ(plat_poll1(p.server, 1, 5000), 1);
  EXPECT_EQ(plat_poll1(p.server, 3, 5000), 3);
  char buf[2];
  ASSERT_EQ(plat_recv(p.server, buf, 2), 2);

  plat_sock_close(p.client);
  p.client = PLAT_INVALID_SOCK;
  const int r = plat_poll1(p.server, 1, 5000);
  EXPECT_GT(r, 0);
  EXPECT_EQ(r & 1, 1);
  EXPECT_EQ(plat_recv(p.server, buf, 1), 0);
}

// A spinning receive takes what a peer sends while it spins, gives up
// with -2 when nothing comes, and reports the peer's close; where it never
// spins (Windows) it gives up at once and the bytes wait for a receive.
TEST(PlatSock, SpinningReceiveTakesWhatArrivesOrGivesUp) {
  tcp_pair p;
  ASSERT_TRUE(p.open());
  char buf[8] = {};
  EXPECT_EQ(plat_recv_spin(p.server, buf, sizeof buf, 2000), -2);
  std::thread late([&] {
    plat_sleep_ms(1);
    plat_send(p.client, "hi", 2);
  });
  int64_t r = plat_recv_spin(p.server, buf, sizeof buf, 2000000);
  late.join();
  if (r == -2) {
    ASSERT_GT(plat_poll1(p.server, 1, 5000), 0);
    r = plat_recv(p.server, buf, sizeof buf);
  }
  ASSERT_EQ(r, 2);
  EXPECT_EQ(std::string(buf, 2), "hi");
  plat_sock_close(p.client);
  p.client = PLAT_INVALID_SOCK;
  ASSERT_GT(plat_poll1(p.server, 1, 5000), 0);
  r = plat_recv_spin(p.server, buf, sizeof buf, 2000);
  EXPECT_TRUE(r == 0 || r == -2) << r;
}

TEST(PlatSock, PollOnListenerSeesPendingConnection) {
  plat_net_init();
  plat_sock l;
  ASSERT_EQ(plat_listen_tcp4("127.0.0.1", 0, 4, &l), 0);
  EXPECT_EQ(plat_poll1(l, 1, 0), 0);
  plat_sock c;
  ASSERT_EQ(plat_connect_tcp4("127.0.0.1", plat_sock_port(l), nullptr, &c), 0);
  EXPECT_EQ(plat_poll1(l, 1, 5000), 1);
  plat_sock_close(c);
  plat_sock_close(l);
}

TEST(PlatSock, PeerAddressFromAnotherLoopbackAddress) {
  tcp_pair p;
  ASSERT_TRUE(p.open("127.0.0.2"));
  uint32_t a = 0;
  ASSERT_EQ(plat_peer_v4(p.server, &a), 0);
  EXPECT_EQ(a, 0x7F000002u);
  ASSERT_EQ(plat_peer_v4(p.client, &a), 0);
  EXPECT_EQ(a, 0x7F000001u);

  // A listening socket has no peer: the output stays as it was.
  a = 0x12345678u;
  EXPECT_EQ(plat_peer_v4(p.listener, &a), -1);
  EXPECT_EQ(a, 0x12345678u);
}

TEST(PlatSock, ListenerRefusesBadAddressAndPortInUse) {
  plat_net_init();
  plat_sock l;
  ASSERT_EQ(plat_listen_tcp4("127.0.0.1", 0, 4, &l), 0);
  const int port = plat_sock_port(l);
  ASSERT_GT(port, 0);
  plat_sock other = PLAT_INVALID_SOCK;
  EXPECT_EQ(plat_listen_tcp4("127.0.0.1", port, 4, &other), -1);
  EXPECT_EQ(other, PLAT_INVALID_SOCK);
  EXPECT_EQ(plat_listen_tcp4("not an address", 0, 4, &other), -1);
  EXPECT_EQ(plat_listen_tcp4(nullptr, 0, 4, &other), -1);
  EXPECT_EQ(other, PLAT_INVALID_SOCK);
  // Only the low 16 bits of the port count.
  plat_sock_close(l);
  ASSERT_EQ(plat_listen_tcp4("127.0.0.1", port + 65536, 4, &l), 0);
  EXPECT_EQ(plat_sock_port(l), port);
  plat_sock_close(l);
}

TEST(PlatSock, ShutdownEndsAReceiveWaitingInAnotherThreadAndTheConnection) {
  plat_sock_shutdown(PLAT_INVALID_SOCK);
  tcp_pair p;
  ASSERT_TRUE(p.open());
  // A safety bound only: the receive must end long before it.
  ASSERT_EQ(plat_set_recv_timeout(p.server, 20000), 0);
  std::atomic<bool> done{false};
  std::atomic<int64_t> got{1};
  std::thread reader([&] {
    unsigned char c;
    got = plat_recv(p.server, &c, 1);
    done = true;
  });
  plat_sleep_ms(200);
  EXPECT_FALSE(done.load());
  plat_sock_shutdown(p.server);
  for (int i = 0; i < 500 && !done; i++) plat_sleep_ms(10);
  EXPECT_TRUE(done.load());
  reader.join();
  EXPECT_LE(got.load(), 0);
  // The peer sees the end of the connection; the socket itself stays open
  // until its owner closes it.
  ASSERT_GT(plat_poll1(p.client, 1, 5000), 0);
  unsigned char c;
  EXPECT_LE(plat_recv(p.client, &c, 1), 0);
  EXPECT_GT(plat_sock_port(p.server), 0);
}

TEST(PlatSock, SendNowaitNeverWaitsForAPeerThatStopsReading) {
  tcp_pair p;
  ASSERT_TRUE(p.open());
  // A send that waits for the peer is ended by this watchdog (and then
  // fails) instead of holding the test.
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 2000 && !finished; i++) plat_sleep_ms(10);
    if (!finished) plat_sock_shutdown(p.server);
  });
  // More than the socket buffers of both ends hold: a send that waits for
  // room for all of it waits for ever.
  std::string chunk(16 << 20, 'x');
  int64_t sent = 0;
  int64_t r = 0;
  // The client reads nothing: the buffers fill up, and then a send must
  // report at once that it cannot take more. A bounded number of tries.
  for (int i = 0; i < 64; i++) {
    r = plat_send_nowait(p.server, chunk.data(), chunk.size());
    if (r <= 0) break;
    sent += r;
  }
  finished = true;
  watchdog.join();
  ASSERT_EQ(r, -2) << "after " << sent << " bytes";
  EXPECT_GT(sent, 0);
  // Nothing sent was lost: the client gets every byte, and then the server
  // can send again.
  std::string buf(65536, 0);
  int64_t got = 0;
  for (int i = 0; i < 100000 && got < sent; i++) {
    if (plat_poll1(p.client, 1, 5000) <= 0) break;
    const int64_t n = plat_recv(p.client, buf.data(), buf.size());
    if (n <= 0) break;
    got += n;
  }
  EXPECT_EQ(got, sent);
  EXPECT_GT(plat_send_nowait(p.server, "y", 1), 0);
  // The server's socket still waits in a receive (blocking mode came back).
  std::thread late([&] {
    plat_sleep_ms(200);
    plat_send(p.client, "z", 1);
  });
  ASSERT_EQ(plat_set_recv_timeout(p.server, 20000), 0);
  char c = 0;
  EXPECT_EQ(plat_recv(p.server, &c, 1), 1);
  EXPECT_EQ(c, 'z');
  late.join();
}

// ---- Threads and locks ------------------------------------------------------------

// Datagrams both ways between two UDP sockets on loopback addresses, with the
// sender's address and port; nothing waiting gives -2; a port in use and a
// bad address are refused.
TEST(PlatSock, UdpDatagramsCarryTheirSender) {
  ASSERT_EQ(plat_net_init(), 0);
  plat_sock a = PLAT_INVALID_SOCK, b = PLAT_INVALID_SOCK, taken = PLAT_INVALID_SOCK;
  ASSERT_EQ(plat_udp_open4("127.0.0.1", 0, &a), 0);
  ASSERT_EQ(plat_udp_open4("127.0.0.2", 0, &b), 0);
  const int pa = plat_sock_port(a);
  const int pb = plat_sock_port(b);
  ASSERT_GT(pa, 0);
  ASSERT_GT(pb, 0);
  unsigned char buf[16];
  uint32_t from = 0;
  int from_port = 0;
  EXPECT_EQ(plat_udp_recv(a, buf, sizeof buf, &from, &from_port), -2);
  EXPECT_EQ(plat_poll1(a, 1, 0), 0);
  EXPECT_EQ(plat_udp_send(b, "hello", 5, 0x7F000001u, pa), 5);
  ASSERT_EQ(plat_poll1(a, 1, 5000), 1);
  ASSERT_EQ(plat_udp_recv(a, buf, sizeof buf, &from, &from_port), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
#ifdef _WIN32
  // Wine gives 127.0.0.1 as the source of every loopback datagram; Windows
  // itself gives the sender's address.
  if (!running_under_wine()) {
    EXPECT_EQ(from, 0x7F000002u);
  }
#else
  EXPECT_EQ(from, 0x7F000002u);
#endif
  EXPECT_EQ(from_port, pb);
  EXPECT_EQ(plat_udp_send(a, "", 0, from, from_port), 0);  // an empty datagram
  ASSERT_EQ(plat_poll1(b, 1, 5000), 1);
  EXPECT_EQ(plat_udp_recv(b, buf, sizeof buf, &from, &from_port), 0);
  EXPECT_EQ(from_port, pa);
  EXPECT_EQ(plat_udp_open4("127.0.0.1", pa, &taken), -1);
  EXPECT_EQ(plat_udp_open4("127.0.0", 0, &taken), -1);
  EXPECT_EQ(taken, PLAT_INVALID_SOCK);
  plat_sock_close(a);
  plat_sock_close(b);
}

// Addresses of both families read and written back; IPv4 ones, also
// written IPv4-mapped, become the same record.
TEST(PlatAddr, TextFormsBothWays) {
  const struct {
    const char* in;
    const char* out;  // null: refused
  } rows[] = {
      {"127.0.0.1", "127.0.0.1"}, {"0.0.0.0", "0.0.0.0"},       {"::", "::"},
      {"::1", "::1"},             {"FD00:0::5", "fd00::5"},       {"::ffff:10.1.2.3", "10.1.2.3"},
      {"fe80::1:2", "fe80::1:2"}, {"1.2.3", nullptr},             {"[::1]", nullptr},
      {"::1%lo", nullptr},        {" 127.0.0.1", nullptr},        {"", nullptr},
      {"1:2:3:4:5:6:7:8:9", nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.in);
    plat_addr a;
    ASSERT_EQ(plat_addr_parse(r.in, &a), r.out ? 0 : -1);
    if (r.out == nullptr) continue;
    char text[PLAT_ADDR_TEXT];
    plat_addr_text(a, text);
    EXPECT_STREQ(text, r.out);
  }
  plat_addr mapped;
  ASSERT_EQ(plat_addr_parse("::ffff:127.0.0.1", &mapped), 0);
  EXPECT_TRUE(plat_addr_eq(mapped, plat_addr_v4(0x7F000001u)));
  EXPECT_TRUE(plat_addr_is_v4(mapped));
  EXPECT_EQ(plat_addr_v4_num(mapped), 0x7F000001u);
  EXPECT_EQ(plat_addr_parse(nullptr, &mapped), -1);
}

// This host's addresses begin with the loopback ones.
TEST(PlatAddr, HostAddressesIncludeLoopback) {
  plat_addr found[64];
  const int n = plat_host_addrs(found, 64);
  ASSERT_GE(n, 1);
  EXPECT_TRUE(plat_addr_eq(found[0], plat_addr_v4(0x7F000001u)));
  EXPECT_EQ(plat_host_addrs(found, 1), 1);
}

// One listener on :: takes IPv4 clients too, which it sees IPv4-mapped, that
// is as the same records as over IPv4; the connection's own address is the
// one the client reached.
TEST(PlatSock, DualStackListenerTakesBothFamilies) {
  ASSERT_EQ(plat_net_init(), 0);
  plat_sock l = PLAT_INVALID_SOCK;
  if (plat_listen_tcp(plat_addr{}, 0, 4, true, &l) != 0) GTEST_SKIP() << "no dual-stack IPv6 socket here";
  const int port = plat_sock_port(l);
  ASSERT_GT(port, 0);
  for (const char* to : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(to);
    plat_addr dest;
    ASSERT_EQ(plat_addr_parse(to, &dest), 0);
    plat_sock c = PLAT_INVALID_SOCK;
    if (plat_connect_tcp(dest, port, &c) != 0) {
      EXPECT_FALSE(plat_addr_is_v4(dest)) << "IPv4 client refused";
      continue;
    }
    ASSERT_GT(plat_poll1(l, 1, 5000), 0);
    const plat_sock s = plat_accept(l);
    ASSERT_NE(s, PLAT_INVALID_SOCK);
    plat_addr peer, local;
    ASSERT_EQ(plat_peer_addr(s, &peer), 0);
    ASSERT_EQ(plat_local_addr(s, &local), 0);
    EXPECT_TRUE(plat_addr_eq(local, dest));
    EXPECT_EQ(plat_addr_is_v4(peer), plat_addr_is_v4(dest));
    uint32_t v4 = 0;
    EXPECT_EQ(plat_peer_v4(s, &v4), plat_addr_is_v4(dest) ? 0 : -1);
    plat_sock_close(s);
    plat_sock_close(c);
  }
  plat_sock_close(l);
}

// Loopback has no broadcast address, and an address of no interface has
// none either. (A real network's is checked by the tool tests in a network
// namespace of their own.)
TEST(PlatSock, NoBroadcastAddressForLoopbackOrForeignAddresses) {
  EXPECT_EQ(plat_broadcast_for(0x7F000001u), 0u);
  EXPECT_EQ(plat_broadcast_for(0xC0000201u), 0u);  // 192.0.2.1, a documentation address
}

TEST(PlatThread, StartsWithItsArgumentAndJoins) {
  std::atomic<int> seen{0};
  plat_thread t = 0;
  ASSERT_EQ(plat_thread_start(
                &t, [](void* a) { static_cast<std::atomic<int>*>(a)->store(42); }, &seen),
            0);
  plat_thread_join(t);
  EXPECT_EQ(seen.load(), 42);
}

TEST(PlatMutex, ReentrantAndFreeAfterAsManyReleases) {
  plat_mutex m;
  plat_mutex_init(&m);
  struct ctx {
    plat_mutex* m;
    std::atomic<int> depth{0};
  } c{&m};
  plat_thread t = 0;
  ASSERT_EQ(plat_thread_start(
                &t,
                [](void* a) {
                  auto* x = static_cast<ctx*>(a);
                  plat_lock(x->m);
                  plat_lock(x->m);  // the holder takes it again at once
                  {
                    plat_guard g(x->m);
                    x->depth.store(3);
                  }
                  plat_unlock(x->m);
                  plat_unlock(x->m);
                },
                &c),
            0);
  plat_thread_join(t);
  EXPECT_EQ(c.depth.load(), 3);

  // Another thread now gets the lock; a leaked acquisition would block it.
  std::atomic<bool> got{false};
  std::thread other([&] {
    plat_lock(&m);
    got.store(true);
    plat_unlock(&m);
  });
  for (int i = 0; i < 500 && !got.load(); i++) plat_sleep_ms(10);
  if (!got.load()) {
    other.detach();
    FAIL() << "the lock was still held";
  }
  other.join();
  plat_mutex_destroy(&m);
}

TEST(PlatTime, ClockNeverGoesBackAndRandomFills) {
  uint64_t last = plat_now_ms();
  for (int i = 0; i < 1000; i++) {
    const uint64_t now = plat_now_ms();
    ASSERT_GE(now, last);
    last = now;
  }
  unsigned char a[32] = {0}, b[32] = {0};
  ASSERT_EQ(plat_random_bytes(a, sizeof a), 0);
  ASSERT_EQ(plat_random_bytes(b, sizeof b), 0);
  EXPECT_NE(memcmp(a, b, sizeof a), 0);
}

#ifdef _WIN32
// ---- The Windows forms -------------------------------------------------------------

TEST(PlatWin, RealpathIsTheFinalPathWithoutThePrefix) {
  temp_dir t;
  t.write("data/movie.mkv", "m");
  char* want = plat_realpath(t.at("data/movie.mkv").c_str());
  ASSERT_NE(want, nullptr);
  const std::string w = want;
  EXPECT_NE(w.rfind("\\\\?\\", 0), 0u) << w;
  EXPECT_TRUE(plat_is_absolute(want)) << w;
  EXPECT_EQ(w.find('/'), std::string::npos) << w;
  EXPECT_GE(w.size(), 15u);
  EXPECT_EQ(w.substr(w.size() - 15), "\\data\\movie.mkv");
  for (const std::string& p : {t.at("data/../data/movie.mkv"), t.at("data/./movie.mkv"), t.at("data\\movie.mkv")}) {
    SCOPED_TRACE(p);
    char* got = plat_realpath(p.c_str());
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, want);
    free(got);
  }
  free(want);
}

TEST(PlatWin, HardLinksShareTheFileNumber) {
  temp_dir t;
  const std::string f = t.write("f", std::string(12345, 'x'));
  std::error_code ec;
  std::filesystem::create_hard_link(f, t.at("hard"), ec);
  ASSERT_FALSE(ec) << ec.message();
  plat_statbuf a, b;
  ASSERT_EQ(plat_stat(f.c_str(), &a, 1), 0);
  ASSERT_EQ(plat_stat(t.at("hard").c_str(), &b, 0), 0);
  EXPECT_EQ(a.size, 12345);
  EXPECT_EQ(a.nlink, 2u);
  EXPECT_EQ(a.fileid, b.fileid);
  EXPECT_NE(a.fileid, 0u);
  EXPECT_EQ(a.mtime_ns, a.mtime * 1000000000LL);
  EXPECT_GT(a.mtime, 1600000000);
}

TEST(PlatWin, StatBeneathWalksPlainFoldersAndRefusesDots) {
  temp_dir t;
  t.write("sub/f", "hello");
  plat_statbuf st;
  ASSERT_EQ(plat_stat_beneath(t.path.c_str(), "", &st), 0);
  EXPECT_EQ(st.is_dir, 1);
  ASSERT_EQ(plat_stat_beneath(t.path.c_str(), "sub", &st), 0);
  EXPECT_EQ(st.is_dir, 1);
  ASSERT_EQ(plat_stat_beneath(t.path.c_str(), "sub/f", &st), 0);
  EXPECT_EQ(st.is_reg, 1);
  EXPECT_EQ(st.size, 5);
  // Steps sideways or upwards, names the system would read otherwise, and
  // components that are not folders.
  const char* refused[] = {"..",        "sub/..",    "../x",   "sub/../sub/f", ".",     "./sub/f", "sub/.",
                           "sub//f",    "sub\\f",    "sub/f.", "sub/f ",       "sub/*", "c:f",     "sub/f/x",
                           "missing/f", "sub/missing"};
  for (const char* rel : refused) {
    SCOPED_TRACE(rel);
    plat_statbuf r;
    EXPECT_EQ(plat_stat_beneath(t.path.c_str(), rel, &r), -1);
  }
  EXPECT_EQ(plat_stat_beneath(t.at("missing").c_str(), "", &st), -1);
}

TEST(PlatWin, OpenBeneathReadsFilesAndListsFolders) {
  temp_dir t;
  t.write("sub/f", "hello");
  t.write("sub/g", "x");
  plat_file* f = plat_fopen_beneath(t.path.c_str(), "sub/f");
  ASSERT_NE(f, nullptr);
  char buf[16];
  EXPECT_EQ(plat_fread_at(f, 1, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "ello");
  plat_fclose(f);
  EXPECT_EQ(plat_fopen_beneath(t.path.c_str(), "sub"), nullptr);
  EXPECT_EQ(plat_fopen_beneath(t.path.c_str(), ""), nullptr);
  EXPECT_EQ(plat_fopen_beneath(t.path.c_str(), "sub/../sub/f"), nullptr);

  plat_dir* d = plat_opendir_beneath(t.path.c_str(), "sub");
  ASSERT_NE(d, nullptr);
  std::set<std::string> got;
  for (int i = 0; i < 10; i++) {
    const char* n = plat_readdir(d);
    if (n == nullptr) break;
    got.insert(n);
    plat_statbuf st;
    ASSERT_EQ(plat_dir_stat(d, n, &st), 0);
    EXPECT_EQ(st.is_reg, 1);
  }
  EXPECT_EQ(got, (std::set<std::string>{"f", "g"}));
  plat_closedir(d);
  EXPECT_EQ(plat_opendir_beneath(t.path.c_str(), "sub/f"), nullptr);
  d = plat_opendir_beneath(t.path.c_str(), "");
  ASSERT_NE(d, nullptr);
  plat_closedir(d);
}

TEST(PlatWin, Utf8NamesRoundTrip) {
  temp_dir t;
  const std::string name = "caf\xc3\xa9 \xe2\x82\xac.txt";  // "café €.txt"
  // The file is made through the wide-character path, as a user would.
  {
    std::ofstream(std::filesystem::u8path(t.path) / std::filesystem::u8path(name), std::ios::binary) << "abc";
  }
  plat_dir* d = plat_opendir(t.path.c_str());
  ASSERT_NE(d, nullptr);
  const char* n = plat_readdir(d);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(std::string(n), name);
  plat_closedir(d);
  plat_statbuf st;
  ASSERT_EQ(plat_stat_beneath(t.path.c_str(), name.c_str(), &st), 0);
  EXPECT_EQ(st.size, 3);
  plat_file* f = plat_fopen_read((t.path + "\\" + name).c_str());
  ASSERT_NE(f, nullptr);
  plat_fclose(f);
}

TEST(PlatWin, DevicesAreNotFiles) {
  temp_dir t;
  t.mkdir("sub");
  // Device names are refused by their form, before anything is opened.
  const char* names[] = {"NUL", "CON", "con.txt", "nul ", "Aux.log", "COM1", "lpt9.x", "CONOUT$", "COM\xc2\xb9"};
  for (const char* n : names) {
    SCOPED_TRACE(n);
    EXPECT_EQ(plat_fopen_beneath(t.path.c_str(), n), nullptr);
    EXPECT_EQ(plat_fopen_beneath(t.path.c_str(), (std::string("sub/") + n).c_str()), nullptr);
    EXPECT_EQ(plat_fopen_read(n), nullptr);
    EXPECT_EQ(plat_fopen_read(t.at(n).c_str()), nullptr);
    plat_statbuf st;
    EXPECT_EQ(plat_stat_beneath(t.path.c_str(), n, &st), -1);
  }
  EXPECT_EQ(plat_fopen_read("\\\\.\\NUL"), nullptr);
  EXPECT_EQ(plat_fopen_read("//./CON"), nullptr);
  // Names that only begin like a device are plain files.
  for (const char* n : {"console.txt", "nullable", "COM10", "LPT", "auxiliary"}) {
    SCOPED_TRACE(n);
    t.write(n, "x");
    plat_file* f = plat_fopen_beneath(t.path.c_str(), n);
    EXPECT_NE(f, nullptr);
    plat_fclose(f);
    f = plat_fopen_read(t.at(n).c_str());
    EXPECT_NE(f, nullptr);
    plat_fclose(f);
  }
}

TEST(PlatWin, FsSpaceOfADrivePathIsThatOfItsRoot) {
  temp_dir t;
  uint64_t total = 0, avail = 0, rtotal = 0, ravail = 0;
  ASSERT_EQ(plat_fs_space(t.path.c_str(), &total, &avail), 0);
  ASSERT_EQ(t.path[1], ':');
  ASSERT_EQ(plat_fs_space(t.path.substr(0, 3).c_str(), &rtotal, &ravail), 0);
  EXPECT_EQ(total, rtotal);
}

namespace {
int g_interrupts = 0;
void count_interrupt(int) { g_interrupts++; }
}  // namespace

TEST(PlatWin, InterruptHandlerStaysInstalledAndEndsAWait) {
  plat_on_interrupt(count_interrupt);
  // The runtime resets a handler to the default, which ends the process,
  // before it runs; the layer puts it back each time.
  ASSERT_EQ(raise(SIGINT), 0);
  ASSERT_EQ(raise(SIGBREAK), 0);
  ASSERT_EQ(raise(SIGINT), 0);
  EXPECT_EQ(g_interrupts, 3);
  // A console read after an interrupt returns at once: -1 for the
  // interruption, or what standard input holds when that is ready first.
  char buf[8];
  const uint64_t t0 = plat_now_ms();
  const int64_t n = plat_stdin_read(buf, sizeof buf, 5000);
  EXPECT_TRUE(n == -1 || n >= 0) << n;
  EXPECT_LT(plat_now_ms() - t0, 2000u);
}

TEST(PlatWin, StdinReadTimesOut) {
  // The test runs without console input to wait for: either the end of
  // input, or nothing within the time given.
  char buf[8];
  const uint64_t t0 = plat_now_ms();
  const int64_t n = plat_stdin_read(buf, sizeof buf, 200);
  EXPECT_TRUE(n == -2 || n >= 0) << n;
  EXPECT_LT(plat_now_ms() - t0, 5000u);
}
#endif

namespace {

// What is held may be used while it lies at the path it was opened at, and
// is refused by the check (which opens nothing) once it has been moved.
TEST(PlatHeld, ProvenOnlyWhileItLiesAtItsPath) {
  temp_dir t;
  t.write("d/sub/f.txt", "hello");
  t.write("d/g.txt", "g");
  const char* root = t.path.c_str();
  EXPECT_EQ(plat_hold_dir_beneath(root, "d/missing"), nullptr);
  EXPECT_EQ(plat_hold_dir_beneath(root, "d/g.txt"), nullptr);
  EXPECT_EQ(plat_hold_dir_beneath(root, "d/../d"), nullptr);
  plat_held* dir = plat_hold_dir_beneath(root, "d/sub");
  ASSERT_NE(dir, nullptr);
  for (const char* bad : {"", "..", ".", "x/f.txt", "missing"}) {
    EXPECT_EQ(plat_hold_file_at(dir, bad), nullptr) << bad;
  }
  plat_held* f = plat_hold_file_at(dir, "f.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(plat_hold_file_at(f, "f.txt"), nullptr);  // a file holds no names

  // The first proof of a file held for reading may open what asks its
  // folder for its name (Windows), once; no proof after it opens anything.
  const uint64_t first = plat_open_count();
  ASSERT_EQ(plat_held_check(f, root, "d/sub/f.txt", nullptr), 0);
  EXPECT_LE(plat_open_count() - first, 1u);
  const uint64_t before = plat_open_count();
  plat_statbuf st;
  ASSERT_EQ(plat_held_check(dir, root, "d/sub", &st), 0);
  EXPECT_EQ(st.is_dir, 1);
  EXPECT_EQ(plat_held_check(dir, root, "d/sub", nullptr), 0);  // the proof alone
  ASSERT_EQ(plat_held_check(f, root, "d/sub/f.txt", &st), 0);
  EXPECT_EQ(st.is_reg, 1);
  EXPECT_EQ(st.size, 5);
  char buf[16];
  EXPECT_EQ(plat_held_read_at(f, 1, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "ello");
  EXPECT_EQ(plat_held_read_at(dir, 0, buf, sizeof buf), -1);
  ASSERT_EQ(plat_held_stat_at(f, "", &st), 0);
  EXPECT_EQ(st.size, 5);
  EXPECT_EQ(plat_open_count() - before, 0u);
  EXPECT_EQ(plat_held_check(f, root, "d/g.txt", &st), -1);
  EXPECT_EQ(plat_held_check(dir, root, "d", &st), -1);
  ASSERT_EQ(plat_held_stat_at(dir, "f.txt", &st), 0);
  EXPECT_EQ(st.size, 5);
  EXPECT_EQ(plat_held_stat_at(dir, "..", &st), -1);
  // Describing a name may keep what it opened (Windows does): held for
  // its attributes only, proven like anything held, never read from.
  plat_held* kept = nullptr;
  ASSERT_EQ(plat_held_stat_keep(dir, "f.txt", &st, &kept), 0);
  EXPECT_EQ(st.size, 5);
  if (kept != nullptr) {
    EXPECT_EQ(plat_held_read_at(kept, 0, buf, sizeof buf), -1);
    ASSERT_EQ(plat_held_check(kept, root, "d/sub/f.txt", &st), 0);
    EXPECT_EQ(st.size, 5);
    plat_held_close(kept);
  }
  for (const char* bad : {"", "..", "missing"}) {
    EXPECT_EQ(plat_held_stat_keep(dir, bad, &st, &kept), -1) << bad;
    EXPECT_EQ(kept, nullptr);
  }

  // Moved away: neither is proven at its old path any more, and both can
  // still be renamed by others while held.
  std::error_code ec;
  std::filesystem::rename(t.at("d/sub"), t.at("moved"), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(plat_held_check(dir, root, "d/sub", &st), -1);
  EXPECT_EQ(plat_held_check(dir, root, "d/sub", nullptr), -1);
  EXPECT_EQ(plat_held_check(f, root, "d/sub/f.txt", &st), -1);
  EXPECT_TRUE(all_zero(st));
  plat_held_close(f);
  plat_held_close(dir);
  plat_held_close(nullptr);
}

// A folder is proven in its proven folder by its name only while that name,
// never followed, leads to the folder itself: not once it has been moved
// away, even with a link to it or another folder put at its name. Where
// this cannot be told cheaply the answer is "prove it by path".
TEST(PlatHeld, ProvenInItsFolderOnlyWhileItsNameLeadsToIt) {
  temp_dir t;
  t.write("d/sub/f.txt", "hello");
  t.write("d/g.txt", "g");
  const char* root = t.path.c_str();
  plat_held* dir = plat_hold_dir_beneath(root, "d");
  plat_held* sub = plat_hold_dir_beneath(root, "d/sub");
  ASSERT_NE(dir, nullptr);
  ASSERT_NE(sub, nullptr);
  plat_held* f = plat_hold_file_at(sub, "f.txt");
  ASSERT_NE(f, nullptr);
  plat_statbuf st;
#ifdef _WIN32
  // Windows asks a folder for a name through a handle kept for that name
  // in the held folder: until something has been held under the name there,
  // the proof is left to the path. Looking up "sub" and holding "g.txt" in
  // dir keep those handles.
  const int unasked = 1;
  EXPECT_EQ(plat_held_check_in(sub, dir, "sub", &st), 1);
  plat_held* kept = nullptr;
  ASSERT_EQ(plat_held_stat_keep(dir, "sub", &st, &kept), 0);
  ASSERT_NE(kept, nullptr);
  plat_held* g = plat_hold_file_at(dir, "g.txt");
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(plat_held_check(g, root, "d/g.txt", nullptr), 0);  // its name's handle opened
#else
  const int unasked = -1;
#endif
  const uint64_t before = plat_open_count();
  ASSERT_EQ(plat_held_check_in(sub, dir, "sub", &st), 0);
  EXPECT_EQ(st.is_dir, 1);
  EXPECT_EQ(plat_held_check_in(sub, dir, "sub", nullptr), 0);
  EXPECT_EQ(plat_held_check_in(sub, dir, "g.txt", &st), -1);
  EXPECT_TRUE(all_zero(st));
  EXPECT_EQ(plat_open_count() - before, 0u);
  EXPECT_EQ(plat_held_check_in(sub, dir, "missing", &st), unasked);
  EXPECT_EQ(plat_held_check_in(dir, sub, "sub", &st), unasked);
  // What cannot be proven this way is left to the proof by path.
  EXPECT_EQ(plat_held_check_in(f, sub, "f.txt", &st), 1);
  EXPECT_EQ(plat_held_check_in(sub, f, "sub", &st), 1);
  for (const char* bad : {"", ".", "..", "d/sub"}) EXPECT_EQ(plat_held_check_in(sub, dir, bad, &st), 1) << bad;

  std::error_code ec;
  std::filesystem::rename(t.at("d/sub"), t.at("moved"), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(plat_held_check_in(sub, dir, "sub", &st), -1);
#ifndef _WIN32  // the tests cannot make symbolic links on Windows
  t.symlink(t.at("moved"), "d/sub");
  EXPECT_EQ(plat_held_check_in(sub, dir, "sub", &st), -1);
  std::filesystem::remove(t.at("d/sub"), ec);
#endif
  t.mkdir("d/sub");  // a look-alike
  EXPECT_EQ(plat_held_check_in(sub, dir, "sub", &st), -1);
  EXPECT_EQ(plat_held_check(sub, root, "d/sub", &st), -1);
#ifdef _WIN32
  EXPECT_EQ(plat_held_check_in(kept, dir, "sub", &st), -1);
  plat_held_close(kept);
  plat_held_close(g);
#endif
  plat_held_close(f);
  plat_held_close(sub);
  plat_held_close(dir);
}

// A file looked up and then read is opened once more to be read, and
// proven after that without opening anything, also once what it was
// looked up through is closed; then it is refused once its name leads
// elsewhere, as when it is replaced by rename.
TEST(PlatHeld, AFileLookedUpThenReadIsOpenedOnceToBeRead) {
  temp_dir t;
  t.write("d/f.txt", "hello");
  const char* root = t.path.c_str();
  plat_held* dir = plat_hold_dir_beneath(root, "d");
  ASSERT_NE(dir, nullptr);
  plat_statbuf st;
  plat_held* kept = nullptr;
  uint64_t before = plat_open_count();
  ASSERT_EQ(plat_held_stat_keep(dir, "f.txt", &st, &kept), 0);
  // Windows opens the name, and what asks the folder for it; POSIX nothing.
  EXPECT_LE(plat_open_count() - before, 2u);
  before = plat_open_count();
  plat_held* f = plat_hold_file_at(dir, "f.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(plat_open_count() - before, 1u);
  before = plat_open_count();
  ASSERT_EQ(plat_held_check(f, root, "d/f.txt", &st), 0);
  EXPECT_EQ(st.size, 5);
  if (kept != nullptr) {
    ASSERT_EQ(plat_held_check(kept, root, "d/f.txt", nullptr), 0);
  }
  plat_held_close(kept);
  plat_held_close(dir);
  ASSERT_EQ(plat_held_check(f, root, "d/f.txt", nullptr), 0);
  EXPECT_EQ(plat_open_count() - before, 0u);

  // Replaced by one of the same size (moved aside first: Windows refuses
  // to rename over a file that is open).
  std::error_code ec;
  std::filesystem::rename(t.at("d/f.txt"), t.at("d/f.old"), ec);
  ASSERT_FALSE(ec) << ec.message();
  t.write("d/f.new", "HELLO");
  std::filesystem::rename(t.at("d/f.new"), t.at("d/f.txt"), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(plat_held_check(f, root, "d/f.txt", &st), -1);
  EXPECT_TRUE(all_zero(st));
  plat_held_close(f);
}

// Once everything held is closed, nothing it opened stays open, whichever
// goes first: what a folder and the objects held in it share goes with the
// last of them.
TEST(PlatHeld, NothingStaysOpenOnceAllIsClosed) {
  temp_dir t;
  t.write("d/sub/f.txt", "hello");
  t.write("d/g.txt", "g");
  const char* root = t.path.c_str();
  const int64_t at_start = open_handle_count();
  if (at_start < 0) GTEST_SKIP() << "this system does not count a process's open handles (Wine)";
  for (const bool folders_first : {true, false}) {
    SCOPED_TRACE(folders_first ? "folders closed first" : "folders closed last");
    plat_statbuf st;
    plat_held* dir = plat_hold_dir_beneath(root, "d");
    ASSERT_NE(dir, nullptr);
    plat_held* sub = nullptr;
    ASSERT_EQ(plat_held_stat_keep(dir, "sub", &st, &sub), 0);
    if (sub == nullptr) sub = plat_hold_dir_beneath(root, "d/sub");  // POSIX keeps nothing
    ASSERT_NE(sub, nullptr);
    plat_held* seen = nullptr;
    ASSERT_EQ(plat_held_stat_keep(sub, "f.txt", &st, &seen), 0);
    plat_held* f = plat_hold_file_at(sub, "f.txt");
    plat_held* g = plat_hold_file_at(dir, "g.txt");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(plat_held_check(f, root, "d/sub/f.txt", nullptr), 0);
    EXPECT_EQ(plat_held_check(g, root, "d/g.txt", nullptr), 0);
    EXPECT_EQ(plat_held_check_in(sub, dir, "sub", nullptr), 0);
    plat_held* order[] = {dir, sub, seen, f, g};
    if (!folders_first) std::reverse(std::begin(order), std::end(order));
    for (plat_held* h : order) plat_held_close(h);
    EXPECT_EQ(open_handle_count(), at_start);
  }
}

#ifndef _WIN32
// Linux marks the path of a deleted object by appending " (deleted)": a
// folder held under a name that ends so, renamed and then deleted, shows
// exactly the path it was held at, and must still not be proven there.
TEST(PlatHeld, DeletedIsNotProvenWhereItsMarkedPathMatches) {
  temp_dir t;
  t.write("e (deleted)/f", "x");
  const char* root = t.path.c_str();
  std::filesystem::remove(t.at("e (deleted)/f"));
  plat_held* dir = plat_hold_dir_beneath(root, "e (deleted)");
  ASSERT_NE(dir, nullptr);
  plat_statbuf st;
  EXPECT_EQ(plat_held_check(dir, root, "e (deleted)", nullptr), 0);
  std::error_code ec;
  std::filesystem::rename(t.at("e (deleted)"), t.at("e"), ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_TRUE(std::filesystem::remove(t.at("e"), ec)) << ec.message();
  EXPECT_EQ(plat_held_check(dir, root, "e (deleted)", nullptr), -1);
  EXPECT_EQ(plat_held_check(dir, root, "e (deleted)", &st), -1);
  plat_held_close(dir);
}

// A file the kernel marks deleted, but still linked outside the export
// (a hard link made there first), shows the path of a name that ends in
// " (deleted)"; once a new file lies at that name, the held one is not it.
TEST(PlatHeld, AFileLinkedElsewhereIsNotProvenByItsMarkedPath) {
  temp_dir t;
  t.write("exp/x (deleted)", "inside");
  t.mkdir("outside");
  const std::string root = canonical_path(t.at("exp"));
  plat_held* dir = plat_hold_dir_beneath(root.c_str(), "");
  ASSERT_NE(dir, nullptr);
  plat_held* h = plat_hold_file_at(dir, "x (deleted)");
  ASSERT_NE(h, nullptr);
  plat_statbuf st;
  ASSERT_EQ(plat_held_check(h, root.c_str(), "x (deleted)", &st), 0);
  ASSERT_EQ(link(t.at("exp/x (deleted)").c_str(), t.at("outside/hl").c_str()), 0);
  ASSERT_EQ(rename(t.at("exp/x (deleted)").c_str(), t.at("exp/x").c_str()), 0);
  ASSERT_EQ(unlink(t.at("exp/x").c_str()), 0);
  EXPECT_EQ(plat_held_check(h, root.c_str(), "x (deleted)", &st), -1);
  t.write("exp/x (deleted)", "new");
  EXPECT_EQ(plat_held_check(h, root.c_str(), "x (deleted)", &st), -1);
  EXPECT_EQ(plat_held_check(h, root.c_str(), "x (deleted)", nullptr), -1);
  plat_held_close(h);
  plat_held_close(dir);
}
#endif

}  // namespace

// Only name surrogates are links; every other reparse point is the file or
// folder it is. The tags as the system defines them (winnt.h).
TEST(ReparseTags, OnlyNameSurrogatesAreLinks) {
  struct row {
    const char* what;
    uint32_t tag;
    bool link;
  };
  const row rows[] = {
      {"symbolic link", 0xA000000Cu, true},
      {"junction or mount point", 0xA0000003u, true},
      {"WSL symbolic link", 0xA000001Du, true},
      {"global reparse (symbolic link of a silo)", 0xA0000019u, true},
      {"unreadable tag (Wine's link to a folder)", 0, true},
      {"deduplicated file", 0x80000013u, false},
      {"compressed by compact /exe (WOF)", 0x80000017u, false},
      {"cloud placeholder (OneDrive)", 0x9000001Au, false},
      {"cloud placeholder, a subtype", 0x9000301Au, false},
      {"OneDrive (older)", 0x80000021u, false},
      {"HSM", 0xC0000004u, false},
      {"HSM2", 0x80000006u, false},
      {"single-instance store", 0x80000007u, false},
      {"projected file system", 0x9000001Cu, false},
      {"app execution alias", 0x8000001Bu, false},
      {"Unix socket", 0x80000023u, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(plat_reparse_tag_is_link(r.tag), r.link);
  }
}
