// READDIR and READDIRPLUS on the wire: entries and cookies, paging across
// calls, the cookie verifier, byte budgets and their caps, entries left out,
// single-file exports and the failures.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "nfs_client.h"
#include "proto/dircache.h"
#include "state/config.h"

using namespace wire;

namespace {

namespace fs = std::filesystem;

// Each begins with one export served and mounted.
using Readdir = served_export;

const bytes kZeroVerf(8, 0);

// The names of a folder in the order the system enumerates them.
std::vector<std::string> host_order(const std::string& dir) {
  std::vector<std::string> v;
  for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
  return v;
}

// Attributes compared without the access time, which listing a folder may
// change.
fattr3 but_atime(fattr3 a) {
  a.atime_s = 0;
  return a;
}

// Moves the modification time of a path to a fixed point in the past.
void set_mtime(const std::string& path, time_t when) {
#ifdef _WIN32
  const std::wstring w = fs::u8path(path).wstring();
  HANDLE h = CreateFileW(w.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // 100 ns units since 1601.
  const uint64_t t = (static_cast<uint64_t>(when) + 11644473600ULL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  const BOOL ok = SetFileTime(h, nullptr, &ft, &ft);
  CloseHandle(h);
  ASSERT_TRUE(ok);
#else
  struct timespec t[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
#endif
}

// Lists a folder to the end with READDIR calls of the given count, each
// resuming at the cookie of the last entry received; at most 32 calls.
std::vector<dir_entry> list_all(rpc_conn& c, const bytes& fh, uint32_t count, int* calls) {
  std::vector<dir_entry> all;
  uint64_t cookie = 0;
  bytes verf = kZeroVerf;
  for (*calls = 1; *calls <= 32; ++*calls) {
    const readdir_result r = readdir(c, fh, cookie, verf, count);
    EXPECT_EQ(r.status, 0u);
    if (r.status != 0) break;
    all.insert(all.end(), r.entries.begin(), r.entries.end());
    if (r.eof) break;
    if (!r.entries.empty()) cookie = r.entries.back().cookie;
    verf = r.verf;
  }
  return all;
}

TEST_F(Readdir, EmptyFolderListsDotAndDotDot) {
  temp_dir d;
  d.mkdir("e/empty");
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes dir = walk(c, root, "empty");
  ASSERT_EQ(dir.size(), 32u);
  const fattr3 dir_attr = getattr(c, dir).attr;
  const fattr3 root_attr = getattr(c, root).attr;

  const readdir_result r = readdir(c, dir, 0, kZeroVerf, 65536);
  EXPECT_EQ(r.status, 0u);
  EXPECT_TRUE(r.well_formed);
  EXPECT_EQ(r.size, 132u + 2 * 28);
  EXPECT_EQ(but_atime(r.dir), but_atime(dir_attr));
  EXPECT_EQ(r.verf.size(), 8u);
  ASSERT_EQ(r.names(), (std::vector<std::string>{".", ".."}));
  EXPECT_EQ(r.entries[0].cookie, kCookieDot);
  EXPECT_EQ(r.entries[0].fileid, dir_attr.fileid);
  EXPECT_EQ(r.entries[1].cookie, kCookieDotDot);
  EXPECT_EQ(r.entries[1].fileid, root_attr.fileid);
  EXPECT_TRUE(r.eof);

  const readdir_result p = readdirplus(c, dir, 0, kZeroVerf, 65536, 65536);
  EXPECT_EQ(p.status, 0u);
  EXPECT_TRUE(p.well_formed);
  EXPECT_EQ(p.size, 132u + 2 * 156);
  ASSERT_EQ(p.names(), (std::vector<std::string>{".", ".."}));
  EXPECT_EQ(p.entries[0].fh, dir);
  EXPECT_EQ(but_atime(p.entries[0].attr), but_atime(dir_attr));
  EXPECT_EQ(p.entries[1].fh, root);
  EXPECT_EQ(but_atime(p.entries[1].attr), but_atime(root_attr));
  EXPECT_EQ(p.verf, r.verf);  // unchanged folder, unchanged verifier
  EXPECT_TRUE(p.eof);
}

TEST_F(Readdir, PagingWithCookies) {
  temp_dir d;
  for (const char* n : {"a", "b", "c"}) d.write(std::string("e/dir/") + n, n);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes dir = walk(c, root, "dir");
  ASSERT_EQ(dir.size(), 32u);
  const std::vector<std::string> order = host_order(d.at("e/dir"));
  ASSERT_EQ(order.size(), 3u);

  // READDIR: a budget for ".", ".." and one entry (28 bytes each).
  const readdir_result first = readdir(c, dir, 0, kZeroVerf, 132 + 3 * 28);
  EXPECT_EQ(first.status, 0u);
  ASSERT_EQ(first.names(), (std::vector<std::string>{".", "..", order[0]}));
  EXPECT_EQ(first.entries[2].cookie, kCookieFirst);
  EXPECT_EQ(first.entries[2].fileid, host_lstat(d.at("e/dir/" + order[0])).st_ino);
  EXPECT_FALSE(first.eof);
  EXPECT_EQ(first.size, 132u + 3 * 28);

  struct resume_case {
    uint64_t cookie;
    std::vector<std::string> names;
    uint64_t first_cookie;
  };
  const resume_case cases[] = {
      {kCookieFirst, {order[1], order[2]}, kCookieFirst + 1},
      {kCookieFirst + 1, {order[2]}, kCookieFirst + 2},
      {kCookieFirst + 2, {}, 0},
      {kCookieFirst + 50, {}, 0},
      // The cookie of "." resumes with "..", that of ".." with the entries.
      {kCookieDot, {"..", order[0], order[1], order[2]}, kCookieDotDot},
      {kCookieDotDot, {order[0], order[1], order[2]}, kCookieFirst},
      {5, {order[0], order[1], order[2]}, kCookieFirst},
      {0xFFFFFFFF, {order[0], order[1], order[2]}, kCookieFirst},
  };
  for (const resume_case& k : cases) {
    SCOPED_TRACE("cookie " + std::to_string(k.cookie));
    const readdir_result r = readdir(c, dir, k.cookie, first.verf, 65536);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.names(), k.names);
    if (!r.entries.empty()) {
      EXPECT_EQ(r.entries[0].cookie, k.first_cookie);
    }
    for (size_t i = 1; i < r.entries.size(); i++) EXPECT_EQ(r.entries[i].cookie, r.entries[i - 1].cookie + 1);
    EXPECT_TRUE(r.eof);
  }

  // READDIRPLUS: either budget can be the one that ends the reply.
  struct plus_case {
    uint32_t dircount;
    uint32_t maxcount;
  };
  const plus_case budgets[] = {{65536, 132 + 3 * 156}, {3 * 24, 65536}, {3 * 24 + 23, 132 + 4 * 156 - 1}};
  for (const plus_case& b : budgets) {
    SCOPED_TRACE("dircount " + std::to_string(b.dircount) + " maxcount " + std::to_string(b.maxcount));
    const readdir_result p = readdirplus(c, dir, 0, kZeroVerf, b.dircount, b.maxcount);
    EXPECT_EQ(p.names(), (std::vector<std::string>{".", "..", order[0]}));
    EXPECT_FALSE(p.eof);
    const readdir_result rest = readdirplus(c, dir, kCookieFirst, p.verf, b.dircount, 65536);
    EXPECT_EQ(rest.names(), (std::vector<std::string>{order[1], order[2]}));
    EXPECT_TRUE(rest.eof);
  }
}

TEST_F(Readdir, SmallBudgetsStillMakeProgress) {
  temp_dir d;
  for (const char* n : {"a", "b", "c"}) d.write(std::string("e/") + n, n);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));

  // Below the fixed part of a reply nothing is listed, and the listing is
  // not over.
  for (uint32_t count : {0u, 100u, 131u, 132u, 159u}) {
    SCOPED_TRACE(count);
    const readdir_result r = readdir(c, root, 0, kZeroVerf, count);
    EXPECT_EQ(r.status, 0u);
    EXPECT_TRUE(r.well_formed);
    EXPECT_TRUE(r.entries.empty());
    EXPECT_FALSE(r.eof);
    EXPECT_EQ(r.size, 132u);
    const readdir_result p = readdirplus(c, root, 0, kZeroVerf, 65536, count + 24);
    EXPECT_TRUE(p.entries.empty());
    EXPECT_FALSE(p.eof);
  }

  // One entry per call: every name comes exactly once, in order.
  int calls = 0;
  const std::vector<dir_entry> all = list_all(c, root, 132 + 28, &calls);
  std::vector<std::string> names;
  for (const dir_entry& e : all) names.push_back(e.name);
  std::vector<std::string> expected{".", ".."};
  for (const std::string& n : host_order(d.at("e"))) expected.push_back(n);
  EXPECT_EQ(names, expected);
  EXPECT_EQ(calls, 5);
}

TEST_F(Readdir, VerifierFollowsTheFolder) {
  temp_dir d;
  for (const char* n : {"a", "b", "c"}) d.write(std::string("e/dir/") + n, n);
  set_mtime(d.at("e/dir"), 1000000000);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes dir = walk(c, root, "dir");
  const readdir_result first = readdir(c, dir, 0, kZeroVerf, 132 + 3 * 28);
  ASSERT_FALSE(first.eof);
  EXPECT_EQ(readdir(c, dir, 0, kZeroVerf, 4096).verf, first.verf);

  // A listing in progress goes on on the snapshot its verifier names, even
  // after the folder changed; a fresh listing gets the folder's new verifier.
  set_mtime(d.at("e/dir"), 1000000001);
  const bytes wrong_verf = {1, 2, 3, 4, 5, 6, 7, 8};
  struct verf_case {
    const char* what;
    uint64_t cookie;
    const bytes* verf;
    uint32_t status;
    size_t entries;
  };
  const verf_case cases[] = {
      {"old verifier, entry cookie", kCookieFirst, &first.verf, 0, 2},
      {"old verifier, cookie of '.'", kCookieDot, &first.verf, 0, 4},
      {"old verifier, small cookie", 7, &first.verf, 0, 3},
      {"wrong verifier", kCookieFirst, &wrong_verf, 10003, 0},
      {"cookie 0, old verifier", 0, &first.verf, 0, 5},
      {"cookie 0, wrong verifier", 0, &wrong_verf, 0, 5},
  };
  for (const verf_case& k : cases) {
    SCOPED_TRACE(k.what);
    const readdir_result r = readdir(c, dir, k.cookie, *k.verf, 4096);
    EXPECT_EQ(r.status, k.status);
    const readdir_result p = readdirplus(c, dir, k.cookie, *k.verf, 4096, 4096);
    EXPECT_EQ(p.status, k.status);
    if (k.status != 0) {
      // The status and an empty post_op_attr.
      EXPECT_EQ(r.size, 32u);
      EXPECT_EQ(p.size, 32u);
      for (const readdir_result* x : {&r, &p}) {
        EXPECT_TRUE(x->well_formed);
        EXPECT_FALSE(x->dir_follows);
      }
    } else {
      EXPECT_EQ(r.entries.size(), k.entries);
      EXPECT_EQ(p.entries.size(), k.entries);
      EXPECT_TRUE(r.eof);
      EXPECT_EQ(r.verf == first.verf, k.cookie != 0);
    }
  }

  // The new verifier resumes; a new entry makes a new one for fresh
  // listings, while the listing in progress goes on without it.
  const bytes now = readdir(c, dir, 0, kZeroVerf, 4096).verf;
  EXPECT_NE(now, first.verf);
  EXPECT_EQ(readdir(c, dir, kCookieFirst, now, 4096).names().size(), 2u);
  d.write("e/dir/d", "d");
  const readdir_result after = readdir(c, dir, kCookieFirst, now, 4096);
  EXPECT_EQ(after.status, 0u);
  EXPECT_EQ(after.verf, now);
  EXPECT_EQ(after.names().size(), 2u);
  const readdir_result fresh = readdir(c, dir, 0, kZeroVerf, 4096);
  EXPECT_NE(fresh.verf, now);
  EXPECT_EQ(fresh.names().size(), 6u);
}

// A listing of a folder that keeps changing between its pages completes on
// the snapshot it started with: every name it had once, nothing twice, no
// BADCOOKIE. Once that snapshot has been pushed out by listings of other
// folders, its verifier gets BADCOOKIE.
TEST_F(Readdir, ListingInProgressGoesOnOnItsSnapshot) {
  temp_dir d;
  std::set<std::string> original = {".", ".."};
  for (int i = 0; i < 400; i++) {
    const std::string n = "file-" + std::to_string(i);
    d.write("e/big/" + n, "x");
    original.insert(n);
  }
  for (size_t k = 0; k < DIRCACHE_MAX_FOLDERS; k++) d.write("e/other/" + std::to_string(k) + "/f", "f");
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes big = walk(c, root, "big");
  ASSERT_EQ(big.size(), 32u);

  std::vector<std::string> seen;
  uint64_t cookie = 0;
  bytes verf = kZeroVerf;
  bytes started;
  int pages = 0;
  for (bool eof = false; !eof && pages < 200; pages++) {
    const readdir_result r = readdirplus(c, big, cookie, verf, 1024, 2048);
    ASSERT_EQ(r.status, 0u) << "page " << pages;
    ASSERT_TRUE(r.well_formed);
    if (pages == 0) started = r.verf;
    EXPECT_EQ(r.verf, started);
    for (const dir_entry& e : r.entries) {
      seen.push_back(e.name);
      cookie = e.cookie;
    }
    eof = r.eof;
    verf = r.verf;
    // The folder changes between pages, its time with it.
    d.write("e/big/new-" + std::to_string(pages), "n");
    set_mtime(d.at("e/big"), 1000000000 + pages);
  }
  EXPECT_GT(pages, 10);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), original);
  EXPECT_EQ(seen.size(), original.size());
  EXPECT_NE(readdir(c, big, 0, kZeroVerf, 4096).verf, started);

  // Listings of as many other folders as snapshots are kept push it out.
  EXPECT_EQ(readdir(c, big, kCookieFirst, started, 4096).status, 0u);
  for (size_t k = 0; k < DIRCACHE_MAX_FOLDERS; k++) {
    const readdir_result o = readdir(c, walk(c, root, "other/" + std::to_string(k)), 0, kZeroVerf, 4096);
    ASSERT_EQ(o.status, 0u);
  }
  const readdir_result gone = readdirplus(c, big, kCookieFirst, started, 1024, 2048);
  EXPECT_EQ(gone.status, 10003u);
  EXPECT_TRUE(gone.well_formed);
  EXPECT_EQ(gone.size, 32u);
}

// A listing's next page is described while the reply before it is on its
// way; those descriptions serve only a call that follows within a few
// milliseconds, so a file that changes while the client waits longer is
// described as it is when the call comes.
TEST_F(Readdir, PagesDescribedAheadAreTheFilesAsTheyAreWhenAskedFor) {
  temp_dir d;
  for (int i = 0; i < 300; i++) d.write("e/f-" + std::to_string(i), "x");
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));

  // Pages asked for back to back: each entry is the file itself.
  uint64_t cookie = 0;
  bytes verf = kZeroVerf;
  size_t seen = 0;
  int pages = 0;
  for (bool eof = false; !eof && pages < 200; pages++) {
    const readdir_result r = readdirplus(c, root, cookie, verf, 1024, 2048);
    ASSERT_EQ(r.status, 0u) << "page " << pages;
    for (const dir_entry& e : r.entries) {
      cookie = e.cookie;
      if (e.name == "." || e.name == "..") continue;
      seen++;
      EXPECT_EQ(e.attr.size, 1u) << e.name;
      EXPECT_EQ(e.attr.fileid, host_lstat(d.at("e/" + e.name)).st_ino) << e.name;
      EXPECT_EQ(e.fh, handle_for("/e", e.name)) << e.name;
    }
    eof = r.eof;
    verf = r.verf;
  }
  EXPECT_EQ(seen, 300u);
  EXPECT_GT(pages, 5);

  // Every file grows after the first page; the next page, asked for well
  // after, shows every entry at its new size.
  const readdir_result first = readdirplus(c, root, 0, kZeroVerf, 1024, 2048);
  ASSERT_EQ(first.status, 0u);
  ASSERT_FALSE(first.eof);
  for (int i = 0; i < 300; i++) d.write("e/f-" + std::to_string(i), "xxxxx");
  std::this_thread::sleep_for(std::chrono::milliseconds(50 + 10 * PLAT_DESC_FRESH_MS));
  const readdir_result next = readdirplus(c, root, first.entries.back().cookie, first.verf, 1024, 2048);
  ASSERT_EQ(next.status, 0u);
  ASSERT_FALSE(next.entries.empty());
  for (const dir_entry& e : next.entries) EXPECT_EQ(e.attr.size, 5u) << e.name;
}

TEST_F(Readdir, EntriesCarryAttributesAndHandlesThatResolve) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir d;
  d.write("e/file.txt", "twelve bytes");
  d.write("e/sub/inner/deep.txt", "deep");
  d.symlink("file.txt", "e/link");
  d.symlink(d.mkdir("outside"), "e/link_out");
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const fattr3 root_attr = getattr(c, root).attr;

  for (const std::string dir_rel : {"", "sub", "sub/inner"}) {
    SCOPED_TRACE("folder '" + dir_rel + "'");
    const bytes dir = walk(c, root, dir_rel);
    ASSERT_EQ(dir.size(), 32u);
    const readdir_result plain = readdir(c, dir, 0, kZeroVerf, 65536);
    const readdir_result p = readdirplus(c, dir, 0, kZeroVerf, 65536, 65536);
    EXPECT_EQ(p.status, 0u);
    EXPECT_TRUE(p.well_formed);
    EXPECT_TRUE(p.eof);
    const std::vector<std::string> order = host_order(d.at("e/" + dir_rel));
    ASSERT_EQ(p.entries.size(), order.size() + 2);
    ASSERT_EQ(plain.entries.size(), p.entries.size());
    EXPECT_EQ(p.verf, plain.verf);

    // "." is the folder itself; ".." is always the export's root.
    EXPECT_EQ(p.entries[0].fh, dir);
    EXPECT_EQ(but_atime(p.entries[0].attr), but_atime(getattr(c, dir).attr));
    EXPECT_EQ(p.entries[1].name, "..");
    EXPECT_EQ(p.entries[1].fh, root);
    EXPECT_EQ(but_atime(p.entries[1].attr), but_atime(root_attr));
    EXPECT_EQ(plain.entries[1].fileid, root_attr.fileid);

    for (size_t i = 2; i < p.entries.size(); i++) {
      const dir_entry& e = p.entries[i];
      SCOPED_TRACE(e.name);
      const std::string rel = dir_rel.empty() ? e.name : dir_rel + "/" + e.name;
      EXPECT_EQ(e.name, order[i - 2]);
      EXPECT_EQ(e.cookie, kCookieFirst + (i - 2));
      EXPECT_EQ(plain.entries[i].name, e.name);
      EXPECT_EQ(plain.entries[i].cookie, e.cookie);
      EXPECT_EQ(plain.entries[i].fileid, e.fileid);
      EXPECT_EQ(e.fileid, host_lstat(d.at("e/" + rel)).st_ino);
      EXPECT_EQ(e.fh, handle_for("/e", rel));
      const getattr_result g = getattr(c, e.fh);
      EXPECT_EQ(g.status, 0u);
      EXPECT_EQ(but_atime(g.attr), but_atime(e.attr));
      EXPECT_EQ(e.attr.fsid, root_attr.fsid);
    }
  }
  // Links are described themselves.
  const readdir_result top = readdirplus(c, root, 0, kZeroVerf, 65536, 65536);
  ASSERT_NE(top.find("link_out"), nullptr);
  EXPECT_EQ(top.find("link_out")->attr.type, 5u);
  EXPECT_EQ(top.find("link")->attr.type, 5u);
  EXPECT_EQ(top.find("sub")->attr.type, 2u);
  EXPECT_EQ(top.find("file.txt")->attr.size, 12u);
}

TEST_F(Readdir, EntriesBeyondThePathLimitAreLeftOutWithoutShiftingCookies) {
  SKIP_ON_WINDOWS("paths over 260 characters need the long-path prefix, which the Windows form does not add");
  temp_dir d;
  // Four components of 249 bytes: the folder's relative path has 999 bytes.
  const std::string part(249, 'p');
  const std::string deep = part + "/" + part + "/" + part + "/" + part;
  const std::vector<std::string> names = {"x", std::string(23, 'y'), std::string(24, 'z'), std::string(200, 'w'),
                                          "q", std::string(22, 'v')};
  for (const std::string& n : names) d.write("e/" + deep + "/" + n, n);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes dir = walk(c, root, deep);
  ASSERT_EQ(dir.size(), 32u);

  // 999 + 1 + name fits the 1023 bytes of a relative path up to 23 bytes.
  const std::vector<std::string> order = host_order(d.at("e/" + deep));
  using listing = std::vector<std::pair<std::string, uint64_t>>;
  listing expected;
  for (size_t i = 0; i < order.size(); i++) {
    if (order[i].size() <= 23) expected.emplace_back(order[i], kCookieFirst + i);
  }
  ASSERT_EQ(expected.size(), 4u);

  const bytes verf = readdir(c, dir, 0, kZeroVerf, 4096).verf;
  for (bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "READDIRPLUS" : "READDIR");
    const readdir_result r =
        plus ? readdirplus(c, dir, kCookieDotDot, verf, 65536, 65536) : readdir(c, dir, 0, kZeroVerf, 65536);
    EXPECT_EQ(r.status, 0u);
    EXPECT_TRUE(r.eof);
    listing got;
    for (const dir_entry& e : r.entries) {
      if (e.name != "." && e.name != "..") got.emplace_back(e.name, e.cookie);
      if (plus) {
        EXPECT_EQ(getattr(c, e.fh).status, 0u) << e.name;
      }
    }
    EXPECT_EQ(got, expected);
  }
  // Resuming after any listed entry gives the same cookies for the rest.
  for (size_t i = 0; i < expected.size(); i++) {
    const readdir_result r = readdir(c, dir, expected[i].second, verf, 65536);
    listing got;
    for (const dir_entry& e : r.entries) got.emplace_back(e.name, e.cookie);
    EXPECT_EQ(got, listing(expected.begin() + static_cast<long>(i) + 1, expected.end()));
  }
}

TEST_F(Readdir, BudgetsAreCappedAndTheDebugLineShowsThemAsSent) {
#ifdef _WIN32
  GTEST_SKIP() << "paths over 260 characters need the long-path prefix, which the Windows form does not add";
#else
  temp_dir d;
  const std::string dir = d.mkdir("e/many");
  // 15000 names of 255 bytes: each costs 280 bytes of a READDIR count and 276
  // of a READDIRPLUS dircount, so both caps end the reply before the end.
  for (int i = 0; i < 15000; i++) {
    char prefix[16];
    snprintf(prefix, sizeof prefix, "%05d", i);
    const std::string path = dir + "/" + prefix + std::string(250, 'n');
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  // The switch is read when the server starts.
  setenv("VORLIX_RDPDBG", "1", 1);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes fh = walk(c, root, "many");
  ASSERT_EQ(fh.size(), 32u);
  const bytes sent_verf = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

  testing::internal::CaptureStderr();
  const readdir_result plus = readdirplus(c, fh, 0, sent_verf, 0x200000, 0x800000);
  const readdir_result plain = readdir(c, fh, 0, sent_verf, 0x800000);
  const readdir_result resumed = readdir(c, fh, kCookieFirst + 14977, plain.verf, 0xFFFFFFFF);
  const std::string log = testing::internal::GetCapturedStderr();
  unsetenv("VORLIX_RDPDBG");
  debug_read_env();

  // dircount 0x100000: "." and ".." take 24 each, then 3799 entries of 276.
  EXPECT_EQ(plus.status, 0u);
  EXPECT_EQ(plus.entries.size(), 2u + 3799);
  EXPECT_FALSE(plus.eof);
  // maxcount 0x400000: 132 fixed, 28 each for "." and "..", then 14978 of 280.
  EXPECT_EQ(plain.status, 0u);
  EXPECT_EQ(plain.entries.size(), 2u + 14978);
  EXPECT_FALSE(plain.eof);
  EXPECT_EQ(plain.entries.back().cookie, kCookieFirst + 14977);
  EXPECT_EQ(resumed.entries.size(), 22u);
  EXPECT_TRUE(resumed.eof);

  EXPECT_NE(log.find("RDPDBG plus dircount=2097152 maxcount=8388608 cookie=0 verf=0123456789abcdef\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("RDPDBG dir maxcount=8388608 cookie=0 verf=0123456789abcdef\n"), std::string::npos) << log;
  char resumed_line[128];
  snprintf(resumed_line, sizeof resumed_line, "RDPDBG dir maxcount=4294967295 cookie=%llu verf=",
           static_cast<unsigned long long>(kCookieFirst + 14977));
  EXPECT_NE(log.find(resumed_line), std::string::npos) << log;
#endif
}

TEST_F(Readdir, SingleFileExportListsItsFile) {
  temp_dir d;
  const std::string film = d.write("film.mkv", "a film");
  ASSERT_NO_FATAL_FAILURE(serve("/film", film));
  const fattr3 attr = getattr(c, root).attr;
  const bytes any_verf = {9, 9, 9, 9, 9, 9, 9, 9};

  struct file_case {
    uint64_t cookie;
    std::vector<std::string> names;
  };
  const file_case cases[] = {
      {0, {".", "..", "film.mkv"}},
      {kCookieDot, {"..", "film.mkv"}},
      {kCookieDotDot, {"film.mkv"}},
      {kCookieFirst, {}},
      {kCookieFirst + 9, {}},
  };
  for (const file_case& k : cases) {
    SCOPED_TRACE("cookie " + std::to_string(k.cookie));
    // The verifier is never checked for a single-file export.
    const readdir_result r = readdir(c, root, k.cookie, any_verf, 4096);
    const readdir_result p = readdirplus(c, root, k.cookie, any_verf, 10, 4096);
    for (const readdir_result* x : {&r, &p}) {
      EXPECT_EQ(x->status, 0u);
      EXPECT_TRUE(x->well_formed);
      EXPECT_EQ(x->names(), k.names);
      EXPECT_TRUE(x->eof);
      EXPECT_EQ(x->dir, attr);
    }
    for (const dir_entry& e : r.entries) EXPECT_EQ(e.fileid, attr.fileid);
    for (const dir_entry& e : p.entries) {
      const uint64_t cookie = e.name == "." ? kCookieDot : e.name == ".." ? kCookieDotDot : kCookieFirst;
      EXPECT_EQ(e.cookie, cookie);
      EXPECT_EQ(e.attr, attr);
      EXPECT_EQ(e.fh, root);
      const getattr_result g = getattr(c, e.fh);
      EXPECT_EQ(g.status, 0u);
      EXPECT_EQ(g.attr, attr);
      EXPECT_EQ(read(c, e.fh, 0, 100).data, bytes({'a', ' ', 'f', 'i', 'l', 'm'}));
    }
  }
  // Small budgets: one entry at a time, and the listing still ends.
  int calls = 0;
  const std::vector<dir_entry> all = list_all(c, root, 132 + 32, &calls);
  std::vector<std::string> names;
  for (const dir_entry& e : all) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "film.mkv"}));
  EXPECT_EQ(calls, 2);
  const readdir_result tiny = readdir(c, root, 0, any_verf, 131);
  EXPECT_TRUE(tiny.entries.empty());
  EXPECT_FALSE(tiny.eof);
}

TEST_F(Readdir, Failures) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir d;
  d.write("e/file.txt", "file");
  d.mkdir("e/dir");
  d.symlink("dir", "e/link_in");
  d.symlink(d.mkdir("outside"), "e/link_out");
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes dir = walk(c, root, "dir");
  bytes stale = dir;
  stale[20] ^= 4;
  const bytes wrong_verf = {1, 1, 1, 1, 1, 1, 1, 1};

  auto args_for = [](const bytes& fh, uint64_t cookie, const bytes& verf, std::initializer_list<uint32_t> counts) {
    bytes a = readdir_args(fh, cookie, verf);
    for (uint32_t n : counts) put32(&a, n);
    return a;
  };
  bytes cut_verf = opaque_arg(dir);
  put64(&cut_verf, 0);
  put32(&cut_verf, 0);
  struct fail_case {
    const char* what;
    uint32_t proc;
    bytes args;
    uint32_t status;
  };
  const fail_case cases[] = {
      {"65-byte handle", NFS_READDIR, args_for(bytes(65, 0x51), 0, kZeroVerf, {4096}), 10001},
      {"65-byte handle, plus", NFS_READDIRPLUS, args_for(bytes(65, 0x51), 0, kZeroVerf, {4096, 4096}), 10001},
      {"33-byte handle", NFS_READDIR, args_for(bytes(33, 0x51), 0, kZeroVerf, {4096}), 10001},
      {"no arguments", NFS_READDIR, {}, 10001},
      {"stale handle", NFS_READDIRPLUS, args_for(stale, 0, kZeroVerf, {4096, 4096}), 70},
      {"cut before the count", NFS_READDIR, args_for(dir, 0, kZeroVerf, {}), 22},
      {"cut before maxcount", NFS_READDIRPLUS, args_for(dir, 0, kZeroVerf, {4096}), 22},
      {"cut inside the verifier", NFS_READDIR, cut_verf, 22},
      {"a file", NFS_READDIR, args_for(walk(c, root, "file.txt"), 0, kZeroVerf, {4096}), 20},
      {"a file, plus", NFS_READDIRPLUS, args_for(walk(c, root, "file.txt"), 0, kZeroVerf, {4096, 4096}), 20},
      {"a file, stale cookie", NFS_READDIR, args_for(walk(c, root, "file.txt"), kCookieFirst, wrong_verf, {4096}),
       20},
      {"a link to a folder", NFS_READDIR, args_for(walk(c, root, "link_in"), 0, kZeroVerf, {4096}), 20},
      {"a link out, plus", NFS_READDIRPLUS, args_for(walk(c, root, "link_out"), 0, kZeroVerf, {4096, 4096}), 20},
  };
  // Each failure is the status and an empty post_op_attr, the word 0.
  for (const fail_case& k : cases) {
    SCOPED_TRACE(k.what);
    const bytes raw = nfs_call(c, k.proc, k.args);
    ASSERT_EQ(raw.size(), 32u);
    EXPECT_EQ(accept_stat(raw), 0u);
    EXPECT_EQ(status_of(raw), k.status);
    EXPECT_EQ(get32(raw, 28), 0u);
    const readdir_result r = parse_readdir(raw, k.proc == NFS_READDIRPLUS);
    EXPECT_TRUE(r.well_formed);
    EXPECT_FALSE(r.dir_follows);
  }
}

}  // namespace
