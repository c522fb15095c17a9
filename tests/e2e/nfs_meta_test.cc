// NFS metadata procedures on the wire: GETATTR, LOOKUP, ACCESS, READLINK,
// FSSTAT, FSINFO and PATHCONF, with the handle checks and the failure shape
// that every procedure shares.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "nfs_client.h"
#include "plat/plat.h"
#include "state/config.h"

using namespace wire;

namespace {

namespace fs = std::filesystem;

// Each begins with one export served and mounted.
using NfsGetattr = served_export;
using NfsHandles = served_export;
using NfsFailures = served_export;
using NfsLookup = served_export;
using NfsAccess = served_export;
using NfsReadlink = served_export;

// A folder export /e with files, folders and links, served on fresh ports.
struct folder_export {
  temp_dir d;
  std::string root;
  std::string outside;
  folder_export() {
    root = d.mkdir("e");
    outside = d.mkdir("outside");
    d.write("outside/secret.txt", "outside");
    d.write("e/rw.txt", std::string(123, 'r'));
    d.write("e/ro.txt", "read only");
    d.write("e/a/b/f.txt", "deep");
    d.mkdir("e/dir");
    d.mkdir("e/rodir");
    d.symlink("rw.txt", "e/link");
    d.symlink("a", "e/link_in");
    d.symlink(outside, "e/link_out");
    d.symlink("gone", "e/dangling");
  }
  std::string at(const std::string& rel) const { return rel.empty() ? root : root + "/" + rel; }
};

#ifndef _WIN32
void expect_attrs_match_host(const fattr3& a, const std::string& path, uint64_t fsid) {
  const struct stat s = host_lstat(path);
  EXPECT_EQ(a.nlink, s.st_nlink);
  EXPECT_EQ(a.uid, 0u);
  EXPECT_EQ(a.gid, 0u);
  EXPECT_EQ(a.size, static_cast<uint64_t>(s.st_size));
  EXPECT_EQ(a.used, a.size);
  EXPECT_EQ(a.rdev1, 0u);
  EXPECT_EQ(a.rdev2, 0u);
  EXPECT_EQ(a.fsid, fsid);
  EXPECT_EQ(a.fileid, static_cast<uint64_t>(s.st_ino));
  EXPECT_EQ(a.atime_s, static_cast<uint32_t>(s.st_atim.tv_sec));
  EXPECT_EQ(a.atime_ns, 0u);
  EXPECT_EQ(a.mtime_s, static_cast<uint32_t>(s.st_mtim.tv_sec));
  EXPECT_EQ(a.mtime_ns, static_cast<uint32_t>(s.st_mtim.tv_nsec));
  // ctime carries the birth time where the file system records one.
  struct statx sx;
  ASSERT_EQ(statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx), 0);
  const int64_t born = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : s.st_ctim.tv_sec;
  EXPECT_EQ(a.ctime_s, static_cast<uint32_t>(born));
  EXPECT_EQ(a.ctime_ns, 0u);
}
#endif

TEST_F(NfsGetattr, TypesModesAndHostAttributes) {
#ifdef _WIN32
  GTEST_SKIP() << "the fixture makes symbolic links, which the tests cannot make on Windows";
#else
  folder_export x;
  fs::permissions(x.at("ro.txt"), fs::perms::owner_read | fs::perms::group_read);
  fs::permissions(x.at("rodir"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read);
  ASSERT_NO_FATAL_FAILURE(serve("/e", x.root));
  const uint64_t fsid = getattr(c, root).attr.fsid;
  EXPECT_NE(fsid, 0u);

  struct attr_case {
    const char* rel;
    uint32_t type;
    uint32_t mode;
  };
  const attr_case cases[] = {
      {"", 2, 0777},        {"rw.txt", 1, 0666},  {"ro.txt", 1, 0444},   {"dir", 2, 0777},
      {"rodir", 2, 0555},   {"link", 5, 0666},    {"link_out", 5, 0666}, {"dangling", 5, 0666},
      {"a/b/f.txt", 1, 0666},
  };
  for (const attr_case& k : cases) {
    SCOPED_TRACE(k.rel);
    const bytes fh = walk(c, root, k.rel);
    ASSERT_EQ(fh.size(), 32u);
    const getattr_result g = getattr(c, fh);
    EXPECT_EQ(g.status, 0u);
    EXPECT_TRUE(g.well_formed);
    EXPECT_EQ(g.size, 24u + 4 + 84);
    EXPECT_EQ(g.attr.type, k.type);
    EXPECT_EQ(g.attr.mode, k.mode);
    expect_attrs_match_host(g.attr, x.at(k.rel), fsid);
  }
  // The link is described itself, not its target.
  EXPECT_EQ(getattr(c, walk(c, root, "link")).attr.size, 6u);  // "rw.txt"
#endif
}

TEST_F(NfsGetattr, FsidIsPerExport) {
  temp_dir d;
  d.write("one/f.txt", "1");
  d.write("two/f.txt", "2");
  const std::string film = d.write("film.bin", "film");
  ASSERT_GE(vorlix_add_export("/one", d.at("one").c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/two", d.at("two").c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/film", film.c_str(), nullptr), 0);
  ASSERT_TRUE(start_test_server());
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  const bytes one = mount_root("/one");
  const bytes two = mount_root("/two");
  const uint64_t fsid_one = getattr(c, one).attr.fsid;
  const uint64_t fsid_two = getattr(c, two).attr.fsid;
  const uint64_t fsid_film = getattr(c, mount_root("/film")).attr.fsid;
  EXPECT_EQ(getattr(c, walk(c, one, "f.txt")).attr.fsid, fsid_one);
  EXPECT_EQ(getattr(c, walk(c, two, "f.txt")).attr.fsid, fsid_two);
  EXPECT_NE(fsid_one, fsid_two);
  EXPECT_NE(fsid_film, fsid_one);
  EXPECT_NE(fsid_film, fsid_two);
}

// A file last written before 1970 with a fraction of a second: its seconds
// round down and its nanoseconds stay below one second.
TEST_F(NfsGetattr, TimesBefore1970KeepTheirFraction) {
#ifdef _WIN32
  GTEST_SKIP() << "utimensat is POSIX; on Windows times carry whole seconds";
#else
  temp_dir d;
  const std::string f = d.write("e/old.txt", "old");
  // 1969-12-31 23:59:59.5 UTC
  const struct timespec times[2] = {{-1, 500000000}, {-1, 500000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const fattr3 a = getattr(c, walk(c, root, "old.txt")).attr;
  EXPECT_EQ(a.mtime_s, 0xFFFFFFFFu);
  EXPECT_EQ(a.mtime_ns, 500000000u);
#endif
}

// Every handle-taking procedure refuses the same bad handles with the same
// status: the status word alone for GETATTR, the status word and an empty
// post_op_attr (the word 0) for every other procedure.
TEST_F(NfsHandles, BadHandlesAreRefusedByEveryProcedure) {
#ifdef _WIN32
  GTEST_SKIP() << "the fixture makes symbolic links, which the tests cannot make on Windows";
#else
  folder_export x;
  ASSERT_NO_FATAL_FAILURE(serve("/e", x.root));
  const bytes good = walk(c, root, "rw.txt");
  ASSERT_EQ(good.size(), 32u);

  auto flipped = [&](size_t at, unsigned char bit) {
    bytes h = good;
    h[at] ^= bit;
    return opaque_arg(h);
  };
  bytes cut;
  put32(&cut, 32);
  cut.insert(cut.end(), good.begin(), good.begin() + 10);
  struct handle_case {
    const char* what;
    bytes handle_arg;
    uint32_t status;
    bool ends_inside = false;  // the call ends inside the handle: nothing follows it
  };
  const handle_case handles[] = {
      {"33 bytes", opaque_arg(bytes(33, 1)), 10001},
      {"31 bytes", opaque_arg(bytes(good.begin(), good.begin() + 31)), 10001},
      {"empty", opaque_arg({}), 10001},
      {"64 bytes", opaque_arg(bytes(64, 0x51)), 10001},
      {"65 bytes", opaque_arg(bytes(65, 0x51)), 10001},
      {"cut short", cut, 10001, true},
      {"digest bit in 24..31", flipped(24, 0x01), 70},
      {"digest bit in 16..23", flipped(16, 0x80), 70},
      {"magic", flipped(0, 0x01), 70},
      {"export index", flipped(4, 0x80), 70},
      {"generation", flipped(15, 0x01), 70},
  };
  bytes mask;
  put32(&mask, 0x3F);
  bytes read_more;
  put64(&read_more, 0);
  put32(&read_more, 100);
  bytes readdir_more;
  put64(&readdir_more, 0);
  readdir_more.insert(readdir_more.end(), 8, 0);
  put32(&readdir_more, 4096);
  bytes readdirplus_more = readdir_more;
  put32(&readdirplus_more, 4096);
  struct proc_case {
    uint32_t proc;
    bytes more;
  };
  const proc_case procs[] = {
      {NFS_GETATTR, {}},  {NFS_LOOKUP, string_arg("x")}, {NFS_ACCESS, mask},
      {NFS_READLINK, {}}, {NFS_FSSTAT, {}},              {NFS_FSINFO, {}},
      {NFS_PATHCONF, {}}, {NFS_READ, read_more},         {NFS_READDIR, readdir_more},
      {NFS_READDIRPLUS, readdirplus_more},
  };
  for (const proc_case& p : procs) {
    for (const handle_case& h : handles) {
      SCOPED_TRACE("procedure " + std::to_string(p.proc) + ", handle: " + h.what);
      bytes args = h.handle_arg;
      if (!h.ends_inside) args.insert(args.end(), p.more.begin(), p.more.end());
      const bytes raw = nfs_call(c, p.proc, args);
      ASSERT_EQ(raw.size(), failure_size(p.proc));
      EXPECT_EQ(accept_stat(raw), 0u);
      EXPECT_EQ(status_of(raw), h.status);
      const failure_result f = parse_failure(raw, p.proc);
      EXPECT_TRUE(f.well_formed);
      EXPECT_FALSE(f.attrs_follow);
    }
  }

  // A handle whose file is gone answers NOENT, with the same shape.
  ASSERT_TRUE(fs::remove(x.at("rw.txt")));
  const getattr_result gone = getattr(c, good);
  EXPECT_EQ(gone.status, 2u);
  EXPECT_TRUE(gone.well_formed);
  EXPECT_EQ(gone.size, 28u);
  for (const proc_case& p : procs) {
    SCOPED_TRACE("procedure " + std::to_string(p.proc) + ", file gone");
    bytes args = opaque_arg(good);
    args.insert(args.end(), p.more.begin(), p.more.end());
    const failure_result f = parse_failure(nfs_call(c, p.proc, args), p.proc);
    EXPECT_EQ(f.status, 2u);
    EXPECT_TRUE(f.well_formed);
    EXPECT_FALSE(f.attrs_follow);
    EXPECT_EQ(f.size, failure_size(p.proc));
  }
#endif
}

// The shape of every failure, whatever its cause: GETATTR answers the status
// word alone (28 bytes); every other procedure answers the status word and
// an empty post_op_attr, the word 0 (32 bytes), which is how each of their
// failure results begins and what a client needs to decode the reply. The
// debug line gives the same lengths. The one failure that carries more is
// LOOKUP's NOENT in a folder, whose attributes follow.
TEST_F(NfsFailures, EveryFailureIsTheStatusAndAnEmptyPostOpAttrButGetattrs) {
#ifdef _WIN32
  GTEST_SKIP() << "the fixture makes symbolic links, which the tests cannot make on Windows";
#else
  folder_export x;
  x.d.write("e/doomed.txt", "doomed");
  x.d.mkdir("e/doomed_dir");
  ASSERT_NO_FATAL_FAILURE(serve("/e", x.root));
  const bytes file = walk(c, root, "rw.txt");
  const bytes dir = walk(c, root, "dir");
  const bytes link = walk(c, root, "link");
  const bytes link_out = walk(c, root, "link_out");
  const bytes gone_file = walk(c, root, "doomed.txt");
  const bytes gone_dir = walk(c, root, "doomed_dir");
  for (const bytes* fh : {&file, &dir, &link, &link_out, &gone_file, &gone_dir}) ASSERT_EQ(fh->size(), 32u);
  ASSERT_TRUE(fs::remove(x.at("doomed.txt")));
  ASSERT_TRUE(fs::remove(x.at("doomed_dir")));
  bytes stale = file;
  stale[27] ^= 0x10;

  auto with = [](const bytes& fh, std::initializer_list<uint32_t> words) {
    bytes a = opaque_arg(fh);
    for (uint32_t w : words) put32(&a, w);
    return a;
  };
  auto named = [](const bytes& fh, const std::string& name) {
    bytes a = opaque_arg(fh);
    put_string(&a, name);
    return a;
  };
  auto readdir_call = [](const bytes& fh, uint64_t cookie, const bytes& verf, std::initializer_list<uint32_t> n) {
    bytes a = readdir_args(fh, cookie, verf);
    for (uint32_t w : n) put32(&a, w);
    return a;
  };
  const bytes zero_verf(8, 0);
  const bytes wrong_verf = {1, 2, 3, 4, 5, 6, 7, 8};
  struct fail_case {
    const char* what;
    uint32_t proc;
    bytes args;
    uint32_t status;
  };
  const fail_case cases[] = {
      {"GETATTR, file gone", NFS_GETATTR, opaque_arg(gone_file), NFS3ERR_NOENT},
      {"GETATTR, stale", NFS_GETATTR, opaque_arg(stale), NFS3ERR_STALE},
      {"GETATTR, 33-byte handle", NFS_GETATTR, opaque_arg(bytes(33, 1)), NFS3ERR_BADHANDLE},
      {"LOOKUP below a file", NFS_LOOKUP, named(file, "x"), NFS3ERR_NOTDIR},
      {"LOOKUP below a link", NFS_LOOKUP, named(link_out, "x"), NFS3ERR_NOTDIR},
      {"LOOKUP of a path", NFS_LOOKUP, named(root, "a/b"), NFS3ERR_INVAL},
      {"LOOKUP of a long name", NFS_LOOKUP, named(root, std::string(256, 'n')), NFS3ERR_NAMETOOLONG},
      {"LOOKUP in a folder gone", NFS_LOOKUP, named(gone_dir, "x"), NFS3ERR_NOENT},
      {"ACCESS without a mask", NFS_ACCESS, opaque_arg(root), NFS3ERR_INVAL},
      {"ACCESS, file gone", NFS_ACCESS, with(gone_file, {0x3F}), NFS3ERR_NOENT},
      {"READLINK of a file", NFS_READLINK, opaque_arg(file), NFS3ERR_INVAL},
      {"READLINK of a folder", NFS_READLINK, opaque_arg(dir), NFS3ERR_INVAL},
      {"READLINK, stale", NFS_READLINK, opaque_arg(stale), NFS3ERR_STALE},
      {"FSSTAT, file gone", NFS_FSSTAT, opaque_arg(gone_file), NFS3ERR_NOENT},
      {"FSSTAT, stale", NFS_FSSTAT, opaque_arg(stale), NFS3ERR_STALE},
      {"FSINFO, file gone", NFS_FSINFO, opaque_arg(gone_file), NFS3ERR_NOENT},
      {"FSINFO, no handle", NFS_FSINFO, {}, NFS3ERR_BADHANDLE},
      {"PATHCONF, file gone", NFS_PATHCONF, opaque_arg(gone_file), NFS3ERR_NOENT},
      {"PATHCONF, stale", NFS_PATHCONF, opaque_arg(stale), NFS3ERR_STALE},
      {"READ of a folder", NFS_READ, with(dir, {0, 0, 100}), NFS3ERR_ISDIR},
      {"READ of a link", NFS_READ, with(link, {0, 0, 100}), NFS3ERR_IO},
      {"READ of too many bytes", NFS_READ, with(file, {0, 0, 1048577}), NFS3ERR_INVAL},
      {"READ without a count", NFS_READ, with(file, {0, 0}), NFS3ERR_INVAL},
      {"READ, file gone", NFS_READ, with(gone_file, {0, 0, 100}), NFS3ERR_NOENT},
      {"READDIR of a file", NFS_READDIR, readdir_call(file, 0, zero_verf, {4096}), NFS3ERR_NOTDIR},
      {"READDIR, wrong verifier", NFS_READDIR, readdir_call(dir, kCookieFirst, wrong_verf, {4096}),
       NFS3ERR_BADCOOKIE},
      {"READDIR without a count", NFS_READDIR, readdir_call(dir, 0, zero_verf, {}), NFS3ERR_INVAL},
      {"READDIR, folder gone", NFS_READDIR, readdir_call(gone_dir, 0, zero_verf, {4096}), NFS3ERR_NOENT},
      {"READDIRPLUS of a link", NFS_READDIRPLUS, readdir_call(link_out, 0, zero_verf, {4096, 4096}),
       NFS3ERR_NOTDIR},
      {"READDIRPLUS, wrong verifier", NFS_READDIRPLUS, readdir_call(dir, kCookieFirst, wrong_verf, {4096, 4096}),
       NFS3ERR_BADCOOKIE},
      {"READDIRPLUS without maxcount", NFS_READDIRPLUS, readdir_call(dir, 0, zero_verf, {4096}), NFS3ERR_INVAL},
      {"READDIRPLUS, stale", NFS_READDIRPLUS, readdir_call(stale, 0, zero_verf, {4096, 4096}), NFS3ERR_STALE},
  };
  for (const fail_case& k : cases) {
    SCOPED_TRACE(k.what);
    setenv("VORLIX_RDPDBG", "1", 1);
    debug_read_env();
    testing::internal::CaptureStderr();
    const bytes raw = nfs_call(c, k.proc, k.args);
    const std::string log = testing::internal::GetCapturedStderr();
    unsetenv("VORLIX_RDPDBG");
    debug_read_env();

    // The exact body: the status, then the word 0 unless the procedure is
    // GETATTR, and nothing more.
    bytes body;
    put32(&body, k.status);
    if (k.proc != NFS_GETATTR) put32(&body, 0);
    ASSERT_EQ(raw.size(), k.proc == NFS_GETATTR ? 28u : 32u);
    EXPECT_EQ(accept_stat(raw), 0u);
    EXPECT_EQ(bytes(raw.begin() + kReplyBody, raw.end()), body);
    const failure_result f = parse_failure(raw, k.proc);
    EXPECT_EQ(f.status, k.status);
    EXPECT_TRUE(f.well_formed);
    EXPECT_FALSE(f.attrs_follow);

    char line[64];
    snprintf(line, sizeof line, "RDPDBG reply proc=%u len=%zu\n", k.proc, raw.size());
    EXPECT_NE(log.find(line), std::string::npos) << log;
  }

  // LOOKUP's NOENT in a folder is the one failure whose attributes follow:
  // the status, the word 1 and the folder's attributes.
  const lookup_result missing = lookup(c, root, "missing");
  EXPECT_EQ(missing.status, NFS3ERR_NOENT);
  EXPECT_TRUE(missing.well_formed);
  EXPECT_TRUE(missing.dir_follows);
  EXPECT_EQ(missing.size, 24u + 4 + 4 + 84);
  EXPECT_EQ(get32(missing.raw, 28), 1u);
  EXPECT_EQ(missing.dir, getattr(c, root).attr);
  const failure_result f = parse_failure(missing.raw, NFS_LOOKUP);
  EXPECT_TRUE(f.well_formed);
  EXPECT_TRUE(f.attrs_follow);
  EXPECT_EQ(f.attr, missing.dir);
#endif
}

TEST_F(NfsLookup, FolderExportNames) {
#ifdef _WIN32
  GTEST_SKIP() << "the fixture makes symbolic links, which the tests cannot make on Windows";
#else
  folder_export x;
  ASSERT_NO_FATAL_FAILURE(serve("/e", x.root));

  struct lookup_case {
    const char* dir;
    std::string name;
    uint32_t status;
    const char* result;  // the relative path whose handle comes back
  };
  const lookup_case cases[] = {
      {"", ".", 0, ""},
      {"", "..", 0, ""},
      {"", "", 0, ""},
      {"", "a", 0, "a"},
      {"", "link_out", 0, "link_out"},
      {"a", ".", 0, "a"},
      {"a", "..", 0, ""},
      {"a", "", 0, "a"},
      {"a/b", "..", 0, "a"},
      {"a/b", "f.txt", 0, "a/b/f.txt"},
      {"", "missing", 2, nullptr},
      {"", std::string(255, 'n'), 2, nullptr},
      {"a/b", "F.TXT", 2, nullptr},
      {"", "a/b", 22, nullptr},
      {"", "/", 22, nullptr},
      {"", "a\\b", 22, nullptr},
      {"", std::string("a\0b", 3), 22, nullptr},
      {"", std::string(256, 'n'), 63, nullptr},
      // Below anything that is not a folder there are no names, whatever the
      // name, and a link is never passed through.
      {"rw.txt", "x", 20, nullptr},
      {"rw.txt", ".", 20, nullptr},
      {"rw.txt", "..", 20, nullptr},
      {"rw.txt", "", 20, nullptr},
      {"link_out", "secret.txt", 20, nullptr},
      {"link_out", ".", 20, nullptr},
      {"link_out", "..", 20, nullptr},
      {"link_in", "b", 20, nullptr},
      {"dangling", "x", 20, nullptr},
  };
  for (const lookup_case& k : cases) {
    SCOPED_TRACE(std::string(k.dir) + " : " + k.name.substr(0, 16));
    const bytes dir = walk(c, root, k.dir);
    ASSERT_EQ(dir, handle_for("/e", k.dir));
    const fattr3 dir_attr = getattr(c, dir).attr;
    const lookup_result l = lookup(c, dir, k.name);
    EXPECT_EQ(l.status, k.status);
    EXPECT_TRUE(l.well_formed);
    if (k.status == 0) {
      EXPECT_EQ(l.size, 24u + 4 + 36 + 88 + 88);
      EXPECT_EQ(l.fh, handle_for("/e", k.result));
      const getattr_result g = getattr(c, l.fh);
      EXPECT_EQ(g.status, 0u);
      EXPECT_EQ(l.obj, g.attr);
      EXPECT_EQ(l.dir, dir_attr);
    } else if (k.status == 2) {
      EXPECT_EQ(l.size, 24u + 4 + 88);  // the directory's attributes follow
      EXPECT_TRUE(l.dir_follows);
      EXPECT_EQ(l.dir, dir_attr);
    } else {
      EXPECT_EQ(l.size, 32u);  // the status and an empty post_op_attr
      EXPECT_FALSE(l.dir_follows);
    }
  }
#endif
}

TEST_F(NfsLookup, RelativePathLimit) {
  SKIP_ON_WINDOWS("paths over 260 characters need the long-path prefix, which the Windows form does not add");
  temp_dir d;
  // Four components of 249 bytes: a relative path of 999 bytes.
  const std::string part(249, 'p');
  const std::string deep = part + "/" + part + "/" + part + "/" + part;
  d.write("e/" + deep + "/" + std::string(23, 'f'), "fits");
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes dir = walk(c, root, deep);
  ASSERT_EQ(dir.size(), 32u);
  struct limit_case {
    std::string name;
    uint32_t status;
  };
  const limit_case cases[] = {
      {std::string(23, 'f'), 0},   // 999 + 1 + 23 = 1023 bytes
      {std::string(23, 'g'), 2},   // fits, but does not exist
      {std::string(24, 'f'), 63},  // one byte too many
      {std::string(255, 'f'), 63},
  };
  for (const limit_case& k : cases) {
    SCOPED_TRACE(k.name.size());
    const lookup_result l = lookup(c, dir, k.name);
    EXPECT_EQ(l.status, k.status);
    if (k.status == 0) {
      EXPECT_EQ(read(c, l.fh, 0, 10).data, bytes({'f', 'i', 't', 's'}));
    } else if (k.status == 63) {
      EXPECT_EQ(l.size, 32u);  // the status and an empty post_op_attr
      EXPECT_TRUE(l.well_formed);
      EXPECT_FALSE(l.dir_follows);
    }
  }
}

TEST_F(NfsLookup, SingleFileExport) {
  temp_dir d;
  const std::string film = d.write("film.mkv", "a film of some length");
  // A base name that follows a backslash, as the last part of a local path.
  const std::string odd = d.write("odd\\clip.bin", "a clip");
  ASSERT_GE(vorlix_add_export("/film", film.c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/clip", odd.c_str(), nullptr), 0);
  ASSERT_TRUE(start_test_server());
  ASSERT_TRUE(c.open(vorlix_nfs_port()));

  struct file_case {
    const char* export_path;
    std::string name;
    uint32_t status;
  };
  const file_case cases[] = {
      {"/film", "film.mkv", 0},
      {"/film", ".", 0},
      {"/film", "..", 0},
      {"/film", "FILM.MKV", 20},
      {"/film", "film.mk", 20},
      {"/film", "film.mkvx", 20},
      {"/film", "other", 20},
      {"/film", "", 20},
      {"/film", "a/film.mkv", 22},
      {"/film", std::string(256, 'f'), 63},
      {"/clip", "clip.bin", 0},
      {"/clip", "odd\\clip.bin", 22},
      {"/clip", "odd", 20},
  };
  for (const file_case& k : cases) {
    SCOPED_TRACE(std::string(k.export_path) + " : " + k.name.substr(0, 16));
    root = mount_root(k.export_path);
    ASSERT_EQ(root.size(), 32u);
    const getattr_result file = getattr(c, root);
    ASSERT_EQ(file.attr.type, 1u);
    const lookup_result l = lookup(c, root, k.name);
    EXPECT_EQ(l.status, k.status);
    EXPECT_TRUE(l.well_formed);
    if (k.status == 0) {
      EXPECT_EQ(l.size, 24u + 4 + 36 + 88 + 88);
      EXPECT_EQ(l.fh, root);  // the one handle of the export
      EXPECT_EQ(l.obj, file.attr);
      EXPECT_EQ(l.dir, file.attr);
    } else {
      EXPECT_EQ(l.size, 32u);  // the status and an empty post_op_attr
      EXPECT_FALSE(l.dir_follows);
    }
  }
  EXPECT_EQ(read(c, mount_root("/clip"), 0, 100).data, bytes({'a', ' ', 'c', 'l', 'i', 'p'}));
}

TEST_F(NfsAccess, GrantsReadLookupAndExecuteOnly) {
#ifdef _WIN32
  GTEST_SKIP() << "the fixture makes symbolic links, which the tests cannot make on Windows";
#else
  folder_export x;
  ASSERT_NO_FATAL_FAILURE(serve("/e", x.root));
  struct mask_case {
    uint32_t asked;
    uint32_t granted;
  };
  const mask_case masks[] = {
      {0x3F, 0x23}, {0x04, 0}, {0x01, 0x01}, {0x02, 0x02}, {0x20, 0x20},
      {0x08, 0},    {0x10, 0}, {0x1C, 0},    {0, 0},       {0xFFFFFFFF, 0x23},
  };
  for (const char* rel : {"", "rw.txt", "link_out"}) {
    const bytes fh = walk(c, root, rel);
    const fattr3 attr = getattr(c, fh).attr;
    for (const mask_case& m : masks) {
      SCOPED_TRACE(std::string(rel) + " mask " + std::to_string(m.asked));
      bytes args = opaque_arg(fh);
      put32(&args, m.asked);
      const bytes raw = nfs_call(c, NFS_ACCESS, args);
      ASSERT_EQ(raw.size(), 24u + 4 + 88 + 4);
      reply_reader r(raw, kReplyBody);
      EXPECT_EQ(r.u32(), 0u);
      EXPECT_EQ(read_post_op_attr(&r), attr);
      EXPECT_EQ(r.u32(), m.granted);
    }
  }
  // A call without the mask is invalid: the status and an empty post_op_attr.
  const bytes raw = nfs_call(c, NFS_ACCESS, opaque_arg(root));
  ASSERT_EQ(raw.size(), 32u);
  EXPECT_EQ(status_of(raw), 22u);
  EXPECT_EQ(get32(raw, 28), 0u);
#endif
}

TEST_F(NfsReadlink, LinksAnswerAnEmptyTarget) {
#ifdef _WIN32
  GTEST_SKIP() << "the fixture makes symbolic links, which the tests cannot make on Windows";
#else
  folder_export x;
  ASSERT_NO_FATAL_FAILURE(serve("/e", x.root));
  struct link_case {
    const char* rel;
    uint32_t status;
  };
  const link_case cases[] = {
      {"rw.txt", 22}, {"", 22}, {"dir", 22}, {"link", 0}, {"link_out", 0}, {"dangling", 0},
  };
  for (const link_case& k : cases) {
    SCOPED_TRACE(k.rel);
    const bytes fh = walk(c, root, k.rel);
    const bytes raw = nfs_call(c, NFS_READLINK, opaque_arg(fh));
    EXPECT_EQ(status_of(raw), k.status);
    if (k.status != 0) {
      EXPECT_EQ(raw.size(), 32u);  // the status and an empty post_op_attr
      EXPECT_TRUE(parse_failure(raw, NFS_READLINK).well_formed);
      EXPECT_EQ(get32(raw, 28), 0u);
      continue;
    }
    ASSERT_EQ(raw.size(), 24u + 4 + 88 + 4);
    reply_reader r(raw, 28);
    const fattr3 a = read_post_op_attr(&r);
    EXPECT_EQ(a.type, 5u);
    EXPECT_EQ(a, getattr(c, fh).attr);
    EXPECT_EQ(r.opaque(), bytes{});  // the target is not read
    EXPECT_TRUE(r.done());
    EXPECT_FALSE(contains(raw, x.outside));
  }
#endif
}

TEST(NfsFsinfo, ConstantsPathconfAndSpace) {
#ifdef _WIN32
  GTEST_SKIP() << "the fixture makes symbolic links, which the tests cannot make on Windows";
#else
  folder_export x;
  const std::string film = x.d.write("film.bin", "film");
  ASSERT_GE(vorlix_add_export("/e", x.root.c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/film", film.c_str(), nullptr), 0);
  ASSERT_TRUE(start_test_server());
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  const bytes root = mount_root("/e");
  struct statvfs v;
  ASSERT_EQ(statvfs(x.root.c_str(), &v), 0);

  for (const bytes& fh : {root, walk(c, root, "rw.txt"), walk(c, root, "link_out"), mount_root("/film")}) {
    ASSERT_EQ(fh.size(), 32u);
    const fattr3 attr = getattr(c, fh).attr;

    const bytes info = nfs_call(c, NFS_FSINFO, opaque_arg(fh));
    ASSERT_EQ(info.size(), 24u + 4 + 88 + 48);
    reply_reader r(info, kReplyBody);
    EXPECT_EQ(r.u32(), 0u);
    EXPECT_EQ(read_post_op_attr(&r), attr);
    const uint32_t words[] = {1048576, 65536, 4096, 1048576, 65536, 4096, 8192};
    for (uint32_t w : words) EXPECT_EQ(r.u32(), w);
    EXPECT_EQ(r.u64(), 0x7FFFFFFFFFFFFFFFull);  // maxfilesize
    EXPECT_EQ(r.u32(), 0u);                     // time_delta
    EXPECT_EQ(r.u32(), 1000000u);
    EXPECT_EQ(r.u32(), 11u);  // LINK, SYMLINK, HOMOGENEOUS
    EXPECT_TRUE(r.done());

    const bytes conf = nfs_call(c, NFS_PATHCONF, opaque_arg(fh));
    ASSERT_EQ(conf.size(), 24u + 4 + 88 + 24);
    reply_reader p(conf, kReplyBody);
    EXPECT_EQ(p.u32(), 0u);
    EXPECT_EQ(read_post_op_attr(&p), attr);
    const uint32_t conf_words[] = {1, 255, 1, 1, 0, 1};  // linkmax, name_max, four booleans
    for (uint32_t w : conf_words) EXPECT_EQ(p.u32(), w);
    EXPECT_TRUE(p.done());

    const bytes stat = nfs_call(c, NFS_FSSTAT, opaque_arg(fh));
    ASSERT_EQ(stat.size(), 24u + 4 + 88 + 52);
    reply_reader s(stat, kReplyBody);
    EXPECT_EQ(s.u32(), 0u);
    EXPECT_EQ(read_post_op_attr(&s), attr);
    const uint64_t tbytes = s.u64(), fbytes = s.u64(), abytes = s.u64();
    EXPECT_EQ(tbytes, static_cast<uint64_t>(v.f_blocks) * v.f_frsize);
    EXPECT_EQ(fbytes, abytes);
    EXPECT_LE(fbytes, tbytes);
    for (int i = 0; i < 3; i++) EXPECT_EQ(s.u64(), 0u);  // tfiles, ffiles, afiles
    EXPECT_EQ(s.u32(), 1u);                               // invarsec
    EXPECT_TRUE(s.done());
  }
#endif
}


// Opens of files and folders per call, counted by the platform layer (the
// server runs in this process): a READ of a file read a moment ago, or a
// GETATTR of the root, opens nothing, nor does a call on a file just
// looked up; GETATTR, ACCESS and LOOKUP open at most the one object they
// describe, and a listing opens nothing per entry.
TEST(Opens, CallsOnRecentlyUsedHandlesDoNotWalkAgain) {
  temp_dir d;
  d.write("e/a/b/f.txt", std::string(65536, 'f'));
  d.write("e/a/b/g.txt", "g");
  for (int i = 0; i < 30; i++) d.write("e/a/few/n" + std::to_string(i), "x");
  for (int i = 0; i < 300; i++) d.write("e/a/many/n" + std::to_string(i), "x");
  ASSERT_TRUE(export_and_start("/e", d.at("e")));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  const bytes root = mount_root("/e");
  const bytes a = lookup(c, root, "a").fh;
  const bytes b = lookup(c, a, "b").fh;
  const bytes f = lookup(c, b, "f.txt").fh;
  const bytes g = lookup(c, b, "g.txt").fh;
  ASSERT_EQ(read(c, f, 0, 4096).count, 4096u);
  const auto opens_of = [](const auto& call) {
    const uint64_t before = plat_open_count();
    call();
    return plat_open_count() - before;
  };
  for (uint32_t i = 1; i <= 4; i++) {
    EXPECT_EQ(opens_of([&] { EXPECT_EQ(read(c, f, i * 4096, 4096).count, 4096u); }), 0u) << "READ " << i;
  }
  // The export's root, held since the first lookup in it, is proven where
  // it lies like any other folder.
  EXPECT_EQ(opens_of([&] { EXPECT_EQ(getattr(c, root).status, 0u); }), 0u) << "GETATTR of the root";
  bytes mask;
  put32(&mask, 0x3F);
  for (const bytes* fh : {&f, &g, &b}) {
    EXPECT_LE(opens_of([&] { EXPECT_EQ(getattr(c, *fh).status, 0u); }), 1u);
    bytes args = opaque_arg(*fh);
    args.insert(args.end(), mask.begin(), mask.end());
    EXPECT_LE(opens_of([&] { EXPECT_EQ(status_of(nfs_call(c, NFS_ACCESS, args)), 0u); }), 1u);
  }
  for (const char* name : {"f.txt", "g.txt", "missing"}) {
    EXPECT_LE(opens_of([&] { (void)lookup(c, b, name); }), 1u) << name;
  }
  // What a lookup opened to describe a file is kept for the calls that
  // follow on it.
  EXPECT_EQ(opens_of([&] { EXPECT_EQ(getattr(c, g).status, 0u); }), 0u) << "GETATTR after a LOOKUP";
  bytes g_access = opaque_arg(g);
  g_access.insert(g_access.end(), mask.begin(), mask.end());
  EXPECT_EQ(opens_of([&] { EXPECT_EQ(status_of(nfs_call(c, NFS_ACCESS, g_access)), 0u); }), 0u) << "ACCESS";
  // A listing of 300 entries opens as much as one of 30: nothing per entry.
  uint64_t listing[2] = {0, 0};
  for (int pass = 0; pass < 2; pass++) {
    int i = 0;
    for (const char* name : {"few", "many"}) {
      const bytes dir = lookup(c, a, name).fh;
      listing[i++] = opens_of([&] {
        const readdir_result r = readdirplus(c, dir, 0, bytes(8, 0), 65536, 262144);
        EXPECT_EQ(r.status, 0u);
        EXPECT_TRUE(r.eof);
      });
    }
  }
  EXPECT_EQ(listing[0], listing[1]);
  EXPECT_LT(listing[1], 30u);
}

}  // namespace
