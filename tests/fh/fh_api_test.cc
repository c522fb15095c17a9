#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "fh/fh.h"
#include "fh/fh_map.h"
#include "tests/support/child.h"
#include "tests/support/fixture.h"
#include "vorlix.h"

namespace {

using handle = std::array<unsigned char, 32>;

// Handles computed outside this code base for the first export of a process
// (index 0, generation 1) and the empty secret.
constexpr const char* kRootHex = "515448310000000000000000000000013bf790df8c744c669b4aea6099a04652";
constexpr const char* kABHex = "51544831000000000000000000000001657ee5a800514f506c769ec998229450";

struct outcome {
  int rc;
  int code;
  std::string msg;
};

outcome fh_for(const char* exp, const char* rel, unsigned char* out, int size) {
  const int rc = vorlix_fh_for(exp, rel, out, size);
  return {rc, vorlix_last_code(), vorlix_last_error()};
}

outcome fh_resolve(const unsigned char* h, int len, char* out, int size) {
  const int rc = vorlix_fh_resolve(h, len, out, size);
  return {rc, vorlix_last_code(), vorlix_last_error()};
}

// The handle for a path, built through the control interface.
handle built(const char* exp, const char* rel) {
  handle h{};
  EXPECT_EQ(vorlix_fh_for(exp, rel, h.data(), 32), 32) << exp << " " << rel;
  return h;
}

TEST(FhFor, ArgumentAndExportRefusals) {
  temp_dir dir;
  ASSERT_EQ(vorlix_add_export("/m", dir.path.c_str(), nullptr), 0);
  temp_dir gone;
  ASSERT_EQ(vorlix_add_export("/gone", gone.path.c_str(), nullptr), 1);
  ASSERT_EQ(vorlix_remove_export("/gone"), 0);
  const std::string long_name(256, 'x');
  const std::string long_inside = "a/" + long_name + "/b";
  std::string too_long;
  for (int i = 0; i < 200; i++) too_long += "abcde/";

  struct {
    const char* exp;
    const char* rel;
    bool has_out;
    int size;
    outcome want;
  } cases[] = {
      {nullptr, "a", true, 32, {-1, -1, "bad argument"}},
      {"/m", nullptr, true, 32, {-1, -1, "bad argument"}},
      {"/m", "a", false, 32, {-1, -1, "bad argument"}},
      {"/m", "a", true, 31, {-1, -1, "bad argument"}},
      {"/nope", "a", true, 32, {-4, -4, "no such export"}},
      {"/gone", "a", true, 32, {-4, -4, "no such export"}},
      {"/m/", "a", true, 32, {-4, -4, "no such export"}},
      // The export is looked up before the path is normalised.
      {"/nope", long_name.c_str(), true, 32, {-4, -4, "no such export"}},
      {"/m", long_name.c_str(), true, 32, {-1, -1, "path escapes the export"}},
      {"/m", long_inside.c_str(), true, 32, {-1, -1, "path escapes the export"}},
      {"/m", too_long.c_str(), true, 32, {-1, -1, "path escapes the export"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.exp ? c.exp : "(null)") << " size " << c.size);
    unsigned char out[40];
    memset(out, 0xAA, sizeof out);
    const outcome o = fh_for(c.exp, c.rel, c.has_out ? out : nullptr, c.size);
    EXPECT_EQ(o.rc, c.want.rc);
    EXPECT_EQ(o.code, c.want.code);
    EXPECT_EQ(o.msg, c.want.msg);
    for (unsigned char b : out) ASSERT_EQ(b, 0xAA);
  }
}

TEST(FhFor, FolderExportHandles) {
  temp_dir dir;
  ASSERT_EQ(vorlix_add_export("/movies", dir.path.c_str(), nullptr), 0);
  unsigned char out[40];
  memset(out, 0xAA, sizeof out);
  const outcome o = fh_for("/movies", "", out, 32);
  EXPECT_EQ(o.rc, 32);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.msg, "fh built");
  EXPECT_EQ(hex(out, 32), kRootHex);
  for (int i = 32; i < 40; i++) EXPECT_EQ(out[i], 0xAA) << i;
  EXPECT_EQ(hex(built("/movies", "a/b").data(), 32), kABHex);

  // Paths that normalise alike give the same handle; ".." never climbs above
  // the root and is no error.
  for (const char* rel : {"/", ".", "..", "a/..", "../../", "\\"}) {
    EXPECT_EQ(hex(built("/movies", rel).data(), 32), kRootHex) << rel;
  }
  for (const char* rel : {"a/./b", "a/x/../b", "\\a\\b\\", "../a//b", "./a/b/."}) {
    EXPECT_EQ(hex(built("/movies", rel).data(), 32), kABHex) << rel;
  }

  // The path is remembered: the handle resolves to it.
  const handle h = built("/movies", "a/./b");
  char rel[REL_MAX];
  ASSERT_EQ(fh_recall_probe(h.data(), rel, sizeof rel), 0);
  EXPECT_STREQ(rel, "a/b");

  // Another secret gives other handles, and the same one again the old ones.
  ASSERT_EQ(vorlix_config("secret", "s1"), 0);
  const handle s1 = built("/movies", "a/b");
  EXPECT_NE(hex(s1.data(), 32), kABHex);
  EXPECT_EQ(built("/movies", "a/b"), s1);
  ASSERT_EQ(vorlix_config("secret", ""), 0);
  EXPECT_EQ(hex(built("/movies", "a/b").data(), 32), kABHex);
}

TEST(FhFor, FileExportHasOneEntry) {
  temp_dir dir;
  const std::string file = dir.write("film.mkv", "frames");
  ASSERT_EQ(vorlix_add_export("/film", file.c_str(), nullptr), 0);
  for (const char* rel : {"", "film.mkv", "/film.mkv", "./film.mkv", "x/../film.mkv"}) {
    EXPECT_EQ(hex(built("/film", rel).data(), 32), kRootHex) << rel;
  }
  for (const char* rel : {"other.mkv", "Film.mkv", "film.mkv/x", "film"}) {
    unsigned char out[32];
    memset(out, 0xAA, sizeof out);
    const outcome o = fh_for("/film", rel, out, 32);
    EXPECT_EQ(o.rc, -4) << rel;
    EXPECT_EQ(o.code, -4) << rel;
    EXPECT_EQ(o.msg, "a file export has one entry: film.mkv") << rel;
    for (unsigned char b : out) ASSERT_EQ(b, 0xAA);
  }
}

TEST(FhResolveApi, Outcomes) {
  temp_dir dir;
  ASSERT_EQ(vorlix_add_export("/m", dir.path.c_str(), nullptr), 0);
  const handle root = built("/m", "");
  const handle ab = built("/m", "a/b");

  char out[8];
  memset(out, 'x', sizeof out);
  outcome o = fh_resolve(root.data(), 32, out, sizeof out);
  EXPECT_EQ(o.rc, 0);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.msg, "root handle live");
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 'x');  // only the empty text is written

  handle noise;
  for (int i = 0; i < 32; i++) noise[i] = static_cast<unsigned char>(i * 53 + 7);
  handle wrong_magic = root;
  wrong_magic[0] ^= 0x80;
  // Opens (the map key is intact and holds the root's empty path) but is not
  // the root's digest.
  handle forged_root = root;
  forged_root[31] ^= 0x01;
  unsigned char longer[33] = {};
  memcpy(longer, root.data(), 32);
  struct {
    const char* what;
    const unsigned char* h;
    int len;
    bool has_out;
    int size;
    outcome want;
  } cases[] = {
      {"non-root", ab.data(), 32, true, 8, {-4, -4, "non-root handle: the path is not carried"}},
      {"forged root", forged_root.data(), 32, true, 8, {-4, -4, "non-root handle: the path is not carried"}},
      {"arbitrary bytes", noise.data(), 32, true, 8, {-4, -4, "stale or unknown handle"}},
      {"wrong magic", wrong_magic.data(), 32, true, 8, {-4, -4, "stale or unknown handle"}},
      {"31 bytes", root.data(), 31, true, 8, {-4, -4, "stale or unknown handle"}},
      {"33 bytes", longer, 33, true, 8, {-4, -4, "stale or unknown handle"}},
      {"null handle", nullptr, 32, true, 8, {-1, -1, "bad argument"}},
      {"null output", root.data(), 32, false, 8, {-1, -1, "bad argument"}},
      {"size 0", root.data(), 32, true, 0, {-1, -1, "bad argument"}},
      {"negative size", root.data(), 32, true, -1, {-1, -1, "bad argument"}},
  };
  for (const auto& c : cases) {
    memset(out, 'x', sizeof out);
    o = fh_resolve(c.h, c.len, c.has_out ? out : nullptr, c.size);
    EXPECT_EQ(o.rc, c.want.rc) << c.what;
    EXPECT_EQ(o.code, c.want.code) << c.what;
    EXPECT_EQ(o.msg, c.want.msg) << c.what;
    EXPECT_EQ(out[0], 'x') << c.what;
  }
  EXPECT_EQ(vorlix_fh_resolve(root.data(), 32, out, 1), 0);  // one byte is room enough
}

TEST(FhResolveApi, StaleAfterRemovalAndAfterTheMapForgets) {
  temp_dir dir;
  ASSERT_EQ(vorlix_add_export("/m", dir.path.c_str(), nullptr), 0);
  const handle root = built("/m", "");
  char out[4];

  // An empty map is what a new process starts with: the handle is found
  // again by walking the export, and then it is remembered.
  fh_forget_all();
  EXPECT_EQ(fh_resolve(root.data(), 32, out, sizeof out).msg, "root handle live");
  EXPECT_EQ(built("/m", ""), root);

  ASSERT_EQ(vorlix_remove_export("/m"), 0);
  const outcome o = fh_resolve(root.data(), 32, out, sizeof out);
  EXPECT_EQ(o.rc, -4);
  EXPECT_EQ(o.msg, "stale or unknown handle");
  ASSERT_EQ(vorlix_add_export("/m", dir.path.c_str(), nullptr), 0);
  EXPECT_EQ(fh_resolve(root.data(), 32, out, sizeof out).msg, "stale or unknown handle");
  const handle again = built("/m", "");
  EXPECT_NE(again, root);
  EXPECT_EQ(fh_resolve(again.data(), 32, out, sizeof out).msg, "root handle live");
}

// --- The handle commands, run as child processes of the program. ---

// Runs the program with the arguments in the folder dir, which is removed
// first when remove_dir is set (so that "." no longer resolves).
run_result run_in(const std::vector<std::string>& args, const std::string& dir, bool remove_dir = false) {
  return run_program(args, {.dir = dir, .remove_dir = remove_dir});
}

TEST(HandleCommands, Outputs) {
  temp_dir cwd;
  const std::string name300(300, 'n');
  const std::string d9 = "export: export path must be absolute, no '\\\\', no '..' (D9)\n";
  struct {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::string err;
  } cases[] = {
      {{"fh", "/movies", ""}, 0, std::string(kRootHex) + "\n", ""},
      {{"fh", "/movies", "a/b"}, 0, std::string(kABHex) + "\n", ""},
      {{"fh", "/movies", "a/x/../b"}, 0, std::string(kABHex) + "\n", ""},
      {{"fh", "movies", "a"}, 1, "", d9},
      {{"fh", "/movies", name300}, 1, "", "fh: path escapes the export\n"},
      {{"resolve", "/movies", "a/b"}, 0, "32\tok\n", ""},
      {{"resolve", "/movies", name300}, 0, "-1\tpath escapes the export\n", ""},
      {{"resolve", "movies", "a"}, 1, "", d9},
      {{"selftest"}, 0, "sha256 ok\nfh stable: OK\n", ""},
      {{"selftest", "ignored", "words"}, 0, "sha256 ok\nfh stable: OK\n", ""},
  };
  for (const auto& c : cases) {
    std::string what;
    for (const auto& a : c.args) what += (a.size() > 20 ? a.substr(0, 20) + "..." : a) + " ";
    SCOPED_TRACE(what);
    const run_result r = run_in(c.args, cwd.path);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(HandleCommands, SameHandleOnEveryRun) {
  temp_dir cwd;
  const run_result a = run_in({"fh", "/movies", "a/b"}, cwd.path);
  const run_result b = run_in({"fh", "/movies", "a/b"}, cwd.path);
  ASSERT_EQ(a.code, 0);
  EXPECT_EQ(a.out.size(), 65u);
  EXPECT_EQ(a.out, b.out);
}

TEST(HandleCommands, UnresolvableCurrentFolder) {
  SKIP_ON_WINDOWS("a process's current folder cannot be removed on Windows");
  // With the current folder gone the export cannot be registered.
  struct {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {{"fh", "/movies", "a"}, "", "export: cannot resolve .\n"},
      {{"resolve", "/movies", "a"}, "", "export: cannot resolve .\n"},
      {{"selftest"}, "sha256 ok\n", "cannot resolve .\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    temp_dir parent;
    const std::string cwd = parent.mkdir("doomed");
    const run_result r = run_in(c.args, cwd, true);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
