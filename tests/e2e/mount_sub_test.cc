// Mounts of folders inside an export, the server's root, and handles that
// are found again after the handle map lost them (a restart with the same
// secret and exports, or an eviction).
#include <gtest/gtest.h>

#include <unistd.h>

#include "fh/fh_map.h"
#include "fh/recover.h"
#include "tests/e2e/nfs_client.h"

namespace {

using namespace wire;

struct tree {
  temp_dir dir;
  tree() {
    dir.write("top.txt", "top");
    dir.write("sub/film.txt", "film");
    dir.write("sub/deeper/x/y.txt", "deep");
    dir.mkdir("outside/inner");
    dir.write("f.mkv", "single");
  }
};

TEST(MountSubfolder, AnswersAsForTheExportWithTheLookupHandle) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  tree t;
  temp_dir other;
  other.mkdir("inner");
  ASSERT_EQ(vorlix_add_export("/movies", t.dir.path.c_str(), nullptr), 0);
  ASSERT_EQ(vorlix_add_export("/far", t.dir.at("outside").c_str(), "10.0.0.0/8"), 1);
  ASSERT_EQ(vorlix_add_export("/one", t.dir.at("f.mkv").c_str(), nullptr), 2);
  ASSERT_GE(vorlix_add_export("/movies/other", other.path.c_str(), nullptr), 0);
  t.dir.symlink(t.dir.at("outside"), "link");
  ASSERT_TRUE(start_test_server());
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const bytes root = mnt(c, "/movies").fh;
  const bytes sub = walk(c, root, "sub");
  const bytes deeper = walk(c, root, "sub/deeper/x");
  ASSERT_FALSE(sub.empty());
  const long mounts_before = std::stol(std::string(vorlix_stats_json()).substr(
      std::string(vorlix_stats_json()).find("\"mounts\":") + 9));

  struct {
    const char* path;
    uint32_t status;
    const bytes* fh;
  } cases[] = {
      {"/movies/sub", 0, &sub},
      {"//movies/sub/", 0, &sub},
      {"/movies/sub/deeper/x", 0, &deeper},
      {"/movies/nope", 2, nullptr},
      {"/movies/link", 2, nullptr},          // a link to a folder, even one inside the tree
      {"/movies/link/inner", 2, nullptr},    // crossing a link
      {"/movies/top.txt", 20, nullptr},
      {"/movies/sub/../sub", 2, nullptr},    // names a lookup would not take
      {"/movies/./sub", 2, nullptr},
      {"/movies/a\\b", 2, nullptr},
      {"/far/inner", 13, nullptr},           // that export does not admit this client
      {"/one/x", 2, nullptr},                // a single-file export has no subfolders
      {"/moviesub", 2, nullptr},             // a prefix must end at a "/"
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.path);
    const mnt_result m = mnt(c, k.path);
    EXPECT_EQ(m.status, k.status);
    EXPECT_TRUE(m.well_formed);
    if (k.fh) {
      EXPECT_EQ(m.fh, *k.fh);
    }
  }
  // The longest export path wins: below /movies/other lies another export.
  const mnt_result own = mnt(c, "/movies/other");
  EXPECT_EQ(own.status, 0u);
  EXPECT_EQ(own.fh, mnt(c, "/movies/other/").fh);
  EXPECT_EQ(mnt(c, "/movies/other/inner").fh, walk(c, own.fh, "inner"));
  const std::string stats = vorlix_stats_json();
  EXPECT_EQ(std::stol(stats.substr(stats.find("\"mounts\":") + 9)), mounts_before + 3 + 3);
  // The handle of a subfolder mount works like any other.
  const getattr_result g = getattr(c, mnt(c, "/movies/sub").fh);
  EXPECT_EQ(g.status, 0u);
  EXPECT_EQ(g.attr.type, 2u);
}

TEST(MountSubfolder, TheRootExportPrefixesEveryPath) {
  tree t;
  ASSERT_EQ(vorlix_add_export("/", t.dir.path.c_str(), nullptr), 0);
  ASSERT_TRUE(start_test_server());
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const bytes root = mnt(c, "/").fh;
  EXPECT_EQ(mnt(c, "/sub/deeper").fh, walk(c, root, "sub/deeper"));
  EXPECT_EQ(mnt(c, "/nothing").status, 2u);
}

TEST(MountSubfolder, EmptyPathIsRefusedLikeAnUnexportedOne) {
  tree t;
  ASSERT_TRUE(export_and_start("/movies", t.dir.path));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const mnt_result m = mnt(c, "");
  EXPECT_EQ(m.status, 13u);
  EXPECT_EQ(m.raw.size(), 28u);
  EXPECT_EQ(mnt(c, "movies").status, 22u);
  EXPECT_EQ(mnt(c, "/movies/").status, 0u);
}

TEST(HandleRecovery, HandlesSurviveTheMapForgettingThem) {
  tree t;
  ASSERT_EQ(vorlix_config("secret", "a secret that outlives the process"), 0);
  ASSERT_TRUE(export_and_start("/movies", t.dir.path));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const bytes root = mnt(c, "/movies").fh;
  const bytes deep = walk(c, root, "sub/deeper/x/y.txt");
  ASSERT_FALSE(deep.empty());

  // What a restarted process with the same secret and exports starts with.
  fh_forget_all();
  const uint64_t walks = fh_recover_walks();
  const read_result r = read(c, deep, 0, 100);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "deep");
  EXPECT_EQ(fh_recover_walks(), walks + 1);
  // The walk remembered every path on its way: no second walk.
  EXPECT_EQ(getattr(c, root).status, 0u);
  EXPECT_EQ(getattr(c, walk(c, root, "sub")).status, 0u);
  EXPECT_EQ(fh_recover_walks(), walks + 1);
}

TEST(HandleRecovery, ForeignHandlesCostOneWalkPerQuietPeriod) {
  tree t;
  ASSERT_TRUE(export_and_start("/movies", t.dir.path));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const bytes root = mnt(c, "/movies").fh;
  const uint64_t walks = fh_recover_walks();
  // Random digests under the live slot and generation.
  for (int i = 0; i < 500; i++) {
    bytes fh = root;
    for (int k = 16; k < 32; k++) fh[static_cast<size_t>(k)] = static_cast<unsigned char>(rand());
    EXPECT_EQ(getattr(c, fh).status, 70u);
  }
  EXPECT_EQ(fh_recover_walks(), walks + 1);
  // A real handle lost from the map is refused too while the quiet period
  // lasts; the period over, it is found again.
  const bytes sub = walk(c, root, "sub");
  fh_forget_all();
  EXPECT_EQ(getattr(c, sub).status, 70u);
  EXPECT_EQ(fh_recover_walks(), walks + 1);
  fh_recover_reset();
  EXPECT_EQ(getattr(c, sub).status, 0u);
  EXPECT_EQ(fh_recover_walks(), walks + 2);
}

TEST(HandleRecovery, WalksNeverFollowLinks) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  tree t;
  temp_dir outside;
  outside.write("secret.txt", "outside");
  t.dir.symlink(outside.path, "sub/escape");
  ASSERT_TRUE(export_and_start("/movies", t.dir.path));
  // A handle for a path below the link, as a forger with the secret could
  // make it: it is never found by a walk.
  bytes fh = handle_for("/movies", "sub/escape/secret.txt");
  ASSERT_FALSE(fh.empty());
  fh_forget_all();
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  const read_result r = read(c, fh, 0, 100);
  EXPECT_NE(r.status, 0u);
  EXPECT_FALSE(contains(r.raw, "outside"));
}

TEST(HandleRecovery, WithoutAConfiguredSecretOldHandlesStayStale) {
  tree t;
  ASSERT_TRUE(export_and_start("/movies", t.dir.path));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const bytes deep = walk(c, mnt(c, "/movies").fh, "sub/film.txt");
  // A new process makes a new secret of its own; here the secret is reset
  // and the server started again, which makes another.
  vorlix_stop();
  ASSERT_EQ(vorlix_config("secret", nullptr), 0);
  fh_forget_all();
  ASSERT_TRUE(start_test_server());
  rpc_conn c2;
  ASSERT_TRUE(c2.open(vorlix_nfs_port()));
  EXPECT_EQ(getattr(c2, deep).status, 70u);
}

}  // namespace
