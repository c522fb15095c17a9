// Mounts of folders inside an export, the server's root, and handles that
// are found again after the handle map lost them (a restart with the same
// secret and exports, or an eviction).
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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

// Counts the entries recovery walks examine, each made slow so that a walk
// takes long enough to watch.
std::atomic<int> s_entries{0};
void slow_entry() {
  s_entries++;
  plat_sleep_ms(2);
}

// A handle of the export's live slot and generation with a random digest.
bytes made_up_handle(const bytes& root) {
  bytes fh = root;
  for (size_t k = 16; k < 32; k++) fh[k] = static_cast<unsigned char>(rand());
  return fh;
}

TEST(HandleRecovery, TheBudgetStopsAWalkInsideAFolder) {
  temp_dir d;
  for (int i = 0; i < 300; i++) d.write("many/f" + std::to_string(i), "x");
  ASSERT_TRUE(export_and_start("/m", d.at("many")));
  fh_recover_set_test_hooks(50, slow_entry);
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  EXPECT_EQ(getattr(c, made_up_handle(handle_for("/m", ""))).status, 70u);
  fh_recover_set_test_hooks(0, nullptr);
  // 300 entries of at least 2 ms each would take 600 ms; 50 ms allow about 25.
  EXPECT_GT(s_entries.load(), 0);
  EXPECT_LT(s_entries.load(), 150);
}

TEST(HandleRecovery, OtherCallsOnTheExportAreAnsweredDuringAWalk) {
  temp_dir d;
  for (int i = 0; i < 600; i++) d.write("e/big/f" + std::to_string(i), "x");
  ASSERT_TRUE(export_and_start("/e", d.at("e")));
  // The walk examines "big", then its entries in the order the system
  // enumerates them: this one about half way through.
  std::vector<std::string> order;
  for (const auto& e : std::filesystem::directory_iterator(d.at("e/big"))) {
    order.push_back(e.path().filename().string());
  }
  ASSERT_EQ(order.size(), 600u);
  const bytes root = handle_for("/e", "");
  const bytes middle = handle_for("/e", "big/" + order[300]);
  ASSERT_EQ(middle.size(), 32u);
  fh_forget_all();
  fh_recover_set_test_hooks(0, slow_entry);
  const uint64_t walks = fh_recover_walks();

  // A made-up handle starts a walk of the whole tree (over a second).
  std::atomic<uint32_t> made_up_status{0};
  std::thread walker([&] {
    rpc_conn c;
    if (c.open(vorlix_nfs_port())) made_up_status = getattr(c, made_up_handle(root)).status;
  });
  for (int i = 0; i < 1000 && s_entries.load() == 0; i++) plat_sleep_ms(2);
  ASSERT_GT(s_entries.load(), 0);
  // A real handle lost from the map, asked for while the walk runs, is
  // answered once the walk has passed its path, not when the walk ends.
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  const int asked_at = s_entries.load();
  const getattr_result g = getattr(c, middle);
  const int answered_at = s_entries.load();
  walker.join();
  fh_recover_set_test_hooks(0, nullptr);
  EXPECT_EQ(g.status, 0u);
  EXPECT_EQ(made_up_status.load(), 70u);
  EXPECT_LT(asked_at, 300);
  EXPECT_GE(answered_at, 300);
  EXPECT_LT(answered_at, s_entries.load() - 100);
  EXPECT_EQ(fh_recover_walks(), walks + 1);
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
