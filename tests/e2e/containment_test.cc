// Containment on the wire: symbolic links inside an export that point
// outside it, and folders swapped for such links after their handles were
// given out, never let a reply carry a byte or a name of the outside.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "nfs_client.h"

using namespace wire;

namespace {

namespace fs = std::filesystem;

const std::string kSecret = "OUTSIDE-SECRET-CONTENT";
const std::string kHiddenName = "hidden-name-q9";

// Every reply of a test goes through here, so that the end of the test can
// check that none of them carries anything of the outside folder.
struct watched {
  rpc_conn c;
  std::vector<bytes> replies;

  bytes nfs(uint32_t proc, const bytes& args) {
    replies.push_back(nfs_call(c, proc, args));
    return replies.back();
  }
  uint32_t status(uint32_t proc, const bytes& fh, const bytes& more = {}) {
    bytes args = opaque_arg(fh);
    args.insert(args.end(), more.begin(), more.end());
    const bytes r = nfs(proc, args);
    EXPECT_GE(r.size(), 28u);
    // A failure must decode: the status, then a post_op_attr for every
    // procedure but GETATTR, and nothing more.
    if (r.size() >= 28 && status_of(r) != 0) {
      EXPECT_TRUE(parse_failure(r, proc).well_formed) << "procedure " << proc;
    }
    return status_of(r);
  }
  lookup_result look(const bytes& dir, const std::string& name) {
    lookup_result l = lookup(c, dir, name);
    replies.push_back(l.raw);
    return l;
  }
  readdir_result plus(const bytes& dir) {
    bytes a = readdir_args(dir, 0, bytes(8, 0));
    put32(&a, 65536);
    put32(&a, 65536);
    return parse_readdir(nfs(NFS_READDIRPLUS, a), true);
  }
  void expect_nothing_leaked() const {
    EXPECT_FALSE(replies.empty());
    for (const bytes& r : replies) {
      EXPECT_FALSE(contains(r, kSecret));
      EXPECT_FALSE(contains(r, kHiddenName));
    }
  }
};

bytes read_args(uint32_t count) {
  bytes a;
  put64(&a, 0);
  put32(&a, count);
  return a;
}
bytes name_arg(const std::string& n) { return string_arg(n); }
bytes readdir_tail() {
  bytes a;
  put64(&a, 0);
  a.insert(a.end(), 8, 0);
  put32(&a, 4096);
  return a;
}
bytes access_mask() {
  bytes a;
  put32(&a, 0x3F);
  return a;
}

// An outside folder with a file whose name and content are markers.
std::string make_outside(const temp_dir& d, const std::string& name) {
  const std::string dir = d.mkdir(name);
  d.write(name + "/" + kHiddenName + ".txt", kSecret + " of " + name);
  d.write(name + "/file.txt", kSecret + " in file.txt");
  d.write(name + "/b/f.txt", kSecret + " in b/f.txt");
  return dir;
}

TEST(Containment, LinksPointingOutsideAreNeverFollowed) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir d;
  const std::string outside = make_outside(d, "outside");
  d.write("e/file.txt", "inside");
  d.symlink(outside, "e/link_out");
  d.symlink("../outside", "e/link_rel");
  d.symlink(outside + "/" + kHiddenName + ".txt", "e/link_file");
  d.symlink("..", "e/up");
  d.symlink("/", "e/slash");
  ASSERT_TRUE(export_and_start("/e", d.at("e")));
  watched w;
  ASSERT_TRUE(w.c.open(vorlix_nfs_port()));
  const bytes root = mount_root("/e");
  ASSERT_EQ(root.size(), 32u);

  for (const char* link : {"link_out", "link_rel", "link_file", "up", "slash"}) {
    SCOPED_TRACE(link);
    const lookup_result l = w.look(root, link);
    ASSERT_EQ(l.status, 0u);
    EXPECT_EQ(l.obj.type, 5u);
    EXPECT_EQ(l.obj.fileid, host_lstat(d.at(std::string("e/") + link)).st_ino);
    const bytes& fh = l.fh;
    for (const std::string& name : {kHiddenName + ".txt", std::string("file.txt"), std::string("."),
                                    std::string(".."), std::string("outside")}) {
      EXPECT_EQ(w.look(fh, name).status, 20u) << name;
    }
    EXPECT_EQ(w.status(NFS_READ, fh, read_args(4096)), 5u);
    EXPECT_EQ(w.status(NFS_READDIR, fh, readdir_tail()), 20u);
    EXPECT_EQ(w.plus(fh).status, 20u);
    EXPECT_EQ(w.status(NFS_READLINK, fh), 0u);
    EXPECT_EQ(w.status(NFS_GETATTR, fh), 0u);
  }

  // The listing shows the links as links, with their own file ids, and their
  // handles lead nowhere either.
  const readdir_result top = w.plus(root);
  ASSERT_EQ(top.status, 0u);
  for (const char* link : {"link_out", "link_rel", "link_file", "up", "slash"}) {
    const dir_entry* e = top.find(link);
    ASSERT_NE(e, nullptr) << link;
    EXPECT_EQ(e->attr.type, 5u);
    EXPECT_EQ(e->fileid, host_lstat(d.at(std::string("e/") + link)).st_ino);
    EXPECT_EQ(w.status(NFS_READ, e->fh, read_args(4096)), 5u);
    EXPECT_EQ(w.plus(e->fh).status, 20u);
  }

  // Handles built by the control interface for paths through a link name the
  // outside files, and resolve to nothing.
  const std::vector<std::string> through_links = {"link_out/" + kHiddenName + ".txt", "link_rel/file.txt",
                                                  "link_out/b/f.txt", "link_out/b", "up/outside/file.txt",
                                                  "slash/etc", "../outside/file.txt"};
  for (const std::string& rel : through_links) {
    SCOPED_TRACE(rel);
    const bytes fh = handle_for("/e", rel);
    ASSERT_EQ(fh.size(), 32u);
    EXPECT_EQ(w.status(NFS_GETATTR, fh), 2u);
    EXPECT_EQ(w.status(NFS_READ, fh, read_args(4096)), 2u);
    EXPECT_EQ(w.status(NFS_READDIR, fh, readdir_tail()), 2u);
    EXPECT_EQ(w.status(NFS_LOOKUP, fh, name_arg("f.txt")), 2u);
    EXPECT_EQ(w.status(NFS_ACCESS, fh, access_mask()), 2u);
    EXPECT_EQ(w.status(NFS_FSSTAT, fh), 2u);
  }
  // The inside file still reads.
  const read_result inside = read(w.c, w.look(root, "file.txt").fh, 0, 100);
  EXPECT_EQ(inside.data, bytes({'i', 'n', 's', 'i', 'd', 'e'}));
  w.replies.push_back(inside.raw);
  w.expect_nothing_leaked();
}

TEST(Containment, FoldersSwappedForLinksAfterHandlesWereGiven) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir d;
  make_outside(d, "outside");
  d.write("e/inner/file.txt", "inner content");
  d.write("e/a/b/f.txt", "deep content");
  ASSERT_TRUE(export_and_start("/e", d.at("e")));
  watched w;
  ASSERT_TRUE(w.c.open(vorlix_nfs_port()));
  const bytes root = mount_root("/e");

  const bytes inner = w.look(root, "inner").fh;
  const bytes file = w.look(inner, "file.txt").fh;
  const bytes a = w.look(root, "a").fh;
  const bytes b = w.look(a, "b").fh;
  const bytes deep = w.look(b, "f.txt").fh;
  const readdir_result listed = w.plus(inner);
  ASSERT_EQ(listed.status, 0u);
  ASSERT_NE(listed.find("file.txt"), nullptr);
  const bytes listed_file = listed.find("file.txt")->fh;
  ASSERT_EQ(read(w.c, file, 0, 100).count, 13u);
  ASSERT_EQ(read(w.c, deep, 0, 100).count, 12u);

  // Both folders are replaced by links to an outside folder holding files of
  // the same names.
  fs::rename(d.at("e/inner"), d.at("e/inner.old"));
  fs::rename(d.at("e/a"), d.at("e/a.old"));
  d.symlink(d.at("outside"), "e/inner");
  d.symlink("../outside", "e/a");

  for (const bytes* fh : {&file, &listed_file, &deep}) {
    EXPECT_EQ(w.status(NFS_READ, *fh, read_args(4096)), 2u);
    EXPECT_EQ(w.status(NFS_GETATTR, *fh), 2u);
  }
  EXPECT_EQ(w.status(NFS_GETATTR, b), 2u);
  EXPECT_EQ(w.status(NFS_READDIR, b, readdir_tail()), 2u);
  EXPECT_EQ(w.status(NFS_LOOKUP, b, name_arg("f.txt")), 2u);
  for (const bytes* fh : {&inner, &a}) {
    EXPECT_EQ(w.status(NFS_READ, *fh, read_args(4096)), 5u);
    EXPECT_EQ(w.status(NFS_READDIR, *fh, readdir_tail()), 20u);
    EXPECT_EQ(w.plus(*fh).status, 20u);
    EXPECT_EQ(w.look(*fh, "file.txt").status, 20u);
    EXPECT_EQ(w.look(*fh, "b").status, 20u);
  }
  EXPECT_EQ(w.look(root, "inner").obj.type, 5u);
  w.expect_nothing_leaked();
}

// What a call keeps open for the next ones (the file it read, the folder
// that holds it) is served from only while it still lies at its handle's
// path: a folder moved out of the export, or moved away with a look-alike
// put in its place, serves nothing of what was moved.
TEST(Containment, WhatIsKeptOpenIsNotServedOnceMovedAway) {
  const std::string kMoved = "MOVED-OUT-CONTENT";
  // What the folder or file held open becomes; whatever then lies at the
  // path is what is read, however much it looks like what was held.
  enum change { kMovedOut, kLookalike, kReplacedByRename };
  struct row {
    const char* name;
    change what;
  };
  const row rows[] = {{"folder moved out", kMovedOut},
                      {"folder moved out, look-alike put in its place (same name, size and time)", kLookalike},
                      {"file replaced by rename with one of the same size and time (rsync -a)", kReplacedByRename}};
  for (const row& k : rows) {
    SCOPED_TRACE(k.name);
    temp_dir d;
    const std::string original = d.write("e/inner/file.txt", kMoved);
    d.write("e/inner/other.txt", "other");
    const auto when = fs::last_write_time(original);
    ASSERT_GE(vorlix_add_export("/e", d.at("e").c_str(), nullptr), 0);
    if (!vorlix_is_running()) {
      ASSERT_TRUE(start_test_server());
    }
    watched w;
    ASSERT_TRUE(w.c.open(vorlix_nfs_port()));
    const bytes root = mount_root("/e");
    const bytes inner = w.look(root, "inner").fh;
    const bytes file = w.look(inner, "file.txt").fh;
    ASSERT_EQ(read(w.c, file, 0, 100).data, bytes(kMoved.begin(), kMoved.end()));
    ASSERT_EQ(w.status(NFS_GETATTR, file), 0u);

    const std::string same(kMoved.size(), 'L');
    if (k.what == kReplacedByRename) {
      d.write("e/inner/.file.txt.tmp", same);
      fs::last_write_time(d.at("e/inner/.file.txt.tmp"), when);
#ifdef _WIN32
      // Windows (before its POSIX rename) and Wine refuse to rename over a
      // file that is open, even open to be deleted: the held one is moved
      // aside first, as a program that replaces files there does.
      fs::rename(d.at("e/inner/file.txt"), d.at("e/inner/.file.txt.old"));
#endif
      fs::rename(d.at("e/inner/.file.txt.tmp"), d.at("e/inner/file.txt"));
    } else {
      fs::rename(d.at("e/inner"), d.at("moved"));
    }
    if (k.what == kLookalike) {
      d.write("e/inner/file.txt", same);
      fs::last_write_time(d.at("e/inner/file.txt"), when);
    }
    const read_result r = read(w.c, file, 0, 100);
    w.replies.push_back(r.raw);
    EXPECT_FALSE(contains(r.raw, kMoved));
    if (k.what != kMovedOut) {
      EXPECT_EQ(r.data, bytes(same.begin(), same.end()));
      EXPECT_EQ(w.status(NFS_GETATTR, file), 0u);
    } else {
      EXPECT_EQ(r.status, 2u);
      EXPECT_EQ(w.status(NFS_GETATTR, file), 2u);
      EXPECT_EQ(w.status(NFS_ACCESS, file, access_mask()), 2u);
      EXPECT_EQ(w.status(NFS_GETATTR, inner), 2u);
      EXPECT_EQ(w.status(NFS_LOOKUP, inner, name_arg("other.txt")), 2u);
    }
    ASSERT_EQ(vorlix_remove_export("/e"), 0);
  }
}

TEST(Containment, SingleFileExportSwappedForALink) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir d;
  make_outside(d, "outside");
  const std::string film = d.write("share/film.bin", "the film");
  ASSERT_TRUE(export_and_start("/film", film));
  watched w;
  ASSERT_TRUE(w.c.open(vorlix_nfs_port()));
  const bytes root = mount_root("/film");
  ASSERT_EQ(read(w.c, root, 0, 100).count, 8u);

  ASSERT_TRUE(fs::remove(film));
  d.symlink(d.at("outside/file.txt"), "share/film.bin");
  EXPECT_EQ(w.status(NFS_READ, root, read_args(4096)), 5u);
  const readdir_result r = w.plus(root);
  EXPECT_EQ(r.status, 0u);
  for (const dir_entry& e : r.entries) {
    EXPECT_EQ(e.attr.type, 5u);
    EXPECT_EQ(w.status(NFS_READ, e.fh, read_args(4096)), 5u);
  }
  EXPECT_EQ(w.look(root, "film.bin").obj.type, 5u);
  w.expect_nothing_leaked();
}

// The folders above a single-file export are walked without following a
// link, like those of a folder export: a parent or grandparent swapped for a
// link to a folder holding a file of the same name serves nothing of it.
TEST(Containment, SingleFileExportsFoldersSwappedForLinks) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  struct row {
    const char* swapped;  // the folder replaced by a link to outside/<same path>
  };
  const row rows[] = {{"top/mid"}, {"top"}};
  for (const row& k : rows) {
    SCOPED_TRACE(k.swapped);
    temp_dir d;
    make_outside(d, "outside");
    d.write("outside/top/mid/film.bin", kSecret + " as film.bin");
    const std::string film = d.write("top/mid/film.bin", "the film");
    ASSERT_GE(vorlix_add_export("/film", film.c_str(), nullptr), 0);
    if (!vorlix_is_running()) {
      ASSERT_TRUE(start_test_server());
    }
    watched w;
    ASSERT_TRUE(w.c.open(vorlix_nfs_port()));
    const bytes root = mount_root("/film");
    ASSERT_EQ(read(w.c, root, 0, 100).count, 8u);

    const std::string swapped = k.swapped;
    fs::rename(d.at(swapped), d.at(swapped + ".old"));
    d.symlink(d.at("outside/" + swapped), swapped);
    ASSERT_EQ(read_file(film), kSecret + " as film.bin");  // the host path now leads outside
    EXPECT_EQ(w.status(NFS_GETATTR, root), 2u);
    EXPECT_EQ(w.status(NFS_READ, root, read_args(4096)), 2u);
    EXPECT_EQ(w.status(NFS_ACCESS, root, access_mask()), 2u);
    EXPECT_EQ(w.status(NFS_READDIR, root, readdir_tail()), 2u);
    EXPECT_EQ(w.status(NFS_LOOKUP, root, name_arg("film.bin")), 2u);
    w.expect_nothing_leaked();

    // Put back, the file is served again.
    fs::remove(d.at(swapped));
    fs::rename(d.at(swapped + ".old"), d.at(swapped));
    EXPECT_EQ(read(w.c, root, 0, 100).count, 8u);
    ASSERT_EQ(vorlix_remove_export("/film"), 0);
  }
}

}  // namespace
