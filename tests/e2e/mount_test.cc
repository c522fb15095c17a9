// The MOUNT service on the wire: MNT with path normalisation and the allow
// list, EXPORT, DUMP, UMNT, UMNTALL and unknown procedures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "nfs_client.h"
#include "state/config.h"

using namespace wire;

namespace {

// The "mounts" counter from the statistics text.
long long mounts_now() {
  const std::string j = vorlix_stats_json();
  const size_t at = j.find("\"mounts\":");
  return at == std::string::npos ? -1 : atoll(j.c_str() + at + 9);
}

TEST(Mount, PathsAreNormalisedBeforeTheExactMatch) {
  temp_dir d;
  ASSERT_GE(vorlix_add_export("/movies", d.mkdir("movies").c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/media/tv", d.mkdir("tv").c_str(), nullptr), 0);
  ASSERT_TRUE(start_test_server());
  const bytes movies = handle_for("/movies", "");
  const bytes tv = handle_for("/media/tv", "");
  ASSERT_EQ(movies.size(), 32u);
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));

  struct mnt_case {
    std::string path;
    uint32_t status;
    const bytes* root;
  };
  const mnt_case cases[] = {
      {"/movies", 0, &movies},
      {"//movies", 0, &movies},
      {"/movies/", 0, &movies},
      {"//movies//", 0, &movies},
      {std::string("/movies\0junk", 12), 0, &movies},  // the path ends at a zero byte
      {"//media///tv/", 0, &tv},
      {"movies", 22, nullptr},
      {"", 13, nullptr},  // the server's root: refused like any unexported path
      {"\\movies", 22, nullptr},  // a backslash is an ordinary character
      {"/", 2, nullptr},
      {"/Movies", 2, nullptr},
      {"/movies\\", 2, nullptr},
      {"/movies/.", 2, nullptr},
      {"/media", 2, nullptr},
      {"/" + std::string(1023, 'a'), 63, nullptr},
      {"/" + std::string(1024, 'a'), 22, nullptr},
      {"/" + std::string(1022, 'a') + "/", 2, nullptr},  // 1023 once the slash is gone
      {std::string(1024, '/'), 2, nullptr},             // all of it collapses to "/"
      {std::string(1025, '/'), 22, nullptr},
  };
  for (const mnt_case& k : cases) {
    SCOPED_TRACE("path of " + std::to_string(k.path.size()) + " bytes: " + k.path.substr(0, 24));
    const mnt_result m = mnt(c, k.path);
    EXPECT_EQ(m.status, k.status);
    EXPECT_TRUE(m.well_formed);
    if (k.root != nullptr) {
      EXPECT_EQ(m.fh, *k.root);
      EXPECT_EQ(m.raw.size(), 72u);
    } else {
      // Header and the status word alone: a MOUNT failure has no body,
      // unlike a failed NFS procedure.
      EXPECT_EQ(m.raw.size(), 28u);
    }
  }
}

TEST(Mount, SuccessfulMntReplyAndCounter) {
  temp_dir d;
  ASSERT_TRUE(export_and_start("/movies", d.path));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const long long before = mounts_now();

  const mnt_result m = mnt(c, "/movies");
  ASSERT_EQ(m.raw.size(), 72u);
  const uint32_t header[] = {get32(m.raw, 0), 1, 0, 0, 0, 0};
  for (size_t i = 0; i < 6; i++) EXPECT_EQ(get32(m.raw, 4 * i), header[i]) << "header word " << i;
  EXPECT_EQ(get32(m.raw, 24), 0u);
  EXPECT_EQ(get32(m.raw, 28), 32u);
  EXPECT_EQ(get32(m.raw, 32), 0x51544831u);  // "QTH1"
  EXPECT_EQ(get32(m.raw, 64), 1u);           // one flavour
  EXPECT_EQ(get32(m.raw, 68), 1u);           // AUTH_SYS
  EXPECT_EQ(m.fh, handle_for("/movies", ""));
  EXPECT_EQ(mounts_now(), before + 1);

  // Failures do not count; the same handle comes back on the NFS port too.
  EXPECT_EQ(mnt(c, "/nothing").status, 2u);
  EXPECT_EQ(mnt(c, "movies").status, 22u);
  EXPECT_EQ(mounts_now(), before + 1);
  rpc_conn n;
  ASSERT_TRUE(n.open(vorlix_nfs_port()));
  EXPECT_EQ(mnt(n, "/movies").fh, m.fh);
  EXPECT_EQ(mounts_now(), before + 2);
}

TEST(Mount, AllowListDecidesMntAndExportVisibility) {
  temp_dir d;
  ASSERT_GE(vorlix_add_export("/local", d.mkdir("local").c_str(), nullptr), 0);  // the local machine only
  ASSERT_GE(vorlix_add_export("/lan", d.mkdir("lan").c_str(), "127.0.0.0/24"), 0);
  ASSERT_GE(vorlix_add_export("/one", d.mkdir("one").c_str(), "127.0.0.1/32"), 0);
  ASSERT_GE(vorlix_add_export("/wide", d.mkdir("wide").c_str(), "10.0.0.0/8, 127.0.0.0/8"), 0);
  ASSERT_TRUE(start_test_server());

  rpc_conn here, other;
  ASSERT_TRUE(here.open(vorlix_mount_port()));
  ASSERT_TRUE(other.open(vorlix_mount_port(), "127.0.0.2"));

  struct access_case {
    const char* path;
    uint32_t from_here;
    uint32_t from_other;
  };
  const access_case cases[] = {
      {"/local", 0, 13},
      {"/lan", 0, 0},
      {"/one", 0, 13},
      {"/wide", 0, 0},
      {"/none", 2, 2},
  };
  for (const access_case& k : cases) {
    SCOPED_TRACE(k.path);
    EXPECT_EQ(mnt(here, k.path).status, k.from_here);
    const mnt_result m = mnt(other, k.path);
    EXPECT_EQ(m.status, k.from_other);
    EXPECT_EQ(m.raw.size(), k.from_other == 0 ? 72u : 28u);
  }

  const export_list mine = mount_export(here);
  EXPECT_TRUE(mine.well_formed);
  EXPECT_EQ(mine.paths, (std::vector<std::string>{"/local", "/lan", "/one", "/wide"}));
  // Each export's groups say who may mount it, as showmount -e shows.
  using groups = std::vector<std::vector<std::string>>;
  EXPECT_EQ(mine.groups, (groups{{"(this machine)"}, {"127.0.0.0/24"}, {"127.0.0.1/32"},
                                 {"10.0.0.0/8", "127.0.0.0/8"}}));
  const export_list theirs = mount_export(other);
  EXPECT_TRUE(theirs.well_formed);
  EXPECT_EQ(theirs.paths, (std::vector<std::string>{"/lan", "/wide"}));

  // The allow list guards NFS calls too: a handle that verifies is served
  // only to the addresses its export admits.
  rpc_conn other_nfs;
  ASSERT_TRUE(other_nfs.open(vorlix_nfs_port(), "127.0.0.2"));
  EXPECT_EQ(getattr(other_nfs, handle_for("/local", "")).status, 13u);
  const getattr_result g = getattr(other_nfs, handle_for("/lan", ""));
  EXPECT_EQ(g.status, 0u);
  EXPECT_EQ(g.attr.type, 2u);
}

// Every NFS call with a handle is answered NFS3ERR_ACCES outside the allow
// list of the handle's export, in the failure shape of its procedure, while
// an admitted client is served on the same export.
TEST(Access, AllowListGuardsEveryNfsCall) {
  temp_dir d;
  d.write("e/f.txt", "hello");
  d.mkdir("e/sub");
  ASSERT_GE(vorlix_add_export("/local", d.at("e").c_str(), nullptr), 0);  // the local machine only
  ASSERT_TRUE(start_test_server());
  const bytes root = handle_for("/local", "");
  const bytes file = handle_for("/local", "f.txt");
  ASSERT_EQ(file.size(), 32u);
  rpc_conn here, other;
  ASSERT_TRUE(here.open(vorlix_nfs_port()));
  ASSERT_TRUE(other.open(vorlix_nfs_port(), "127.0.0.2"));

  bytes read_args = opaque_arg(file);
  put64(&read_args, 0);
  put32(&read_args, 100);
  bytes lookup_args = opaque_arg(root);
  put_string(&lookup_args, "f.txt");
  bytes plus_args = readdir_args(root, 0, {});
  put32(&plus_args, 4096);
  put32(&plus_args, 8192);
  bytes access_args = opaque_arg(file);
  put32(&access_args, 0x3F);
  struct call_case {
    const char* name;
    uint32_t proc;
    bytes args;
  };
  const call_case cases[] = {
      {"GETATTR", NFS_GETATTR, opaque_arg(file)}, {"READ", NFS_READ, read_args},
      {"LOOKUP", NFS_LOOKUP, lookup_args},        {"READDIRPLUS", NFS_READDIRPLUS, plus_args},
      {"ACCESS", NFS_ACCESS, access_args},        {"FSINFO", NFS_FSINFO, opaque_arg(root)},
  };
  // Twice each: the second answer comes from the connection's kept decision.
  for (int round = 0; round < 2; round++) {
    for (const call_case& k : cases) {
      SCOPED_TRACE(std::string(k.name) + " round " + std::to_string(round));
      const bytes mine = nfs_call(here, k.proc, k.args);
      ASSERT_GE(mine.size(), kReplyBody + 4);
      EXPECT_EQ(status_of(mine), 0u);
      const failure_result f = parse_failure(nfs_call(other, k.proc, k.args), k.proc);
      EXPECT_EQ(f.status, 13u);
      EXPECT_TRUE(f.well_formed);
      EXPECT_FALSE(f.attrs_follow);
      EXPECT_EQ(f.size, failure_size(k.proc));
    }
  }
  // NULL needs no handle, and a write is refused as read-only, as before.
  EXPECT_EQ(nfs_call(other, 0, {}).size(), kReplyBody);
  bytes setattr_args = opaque_arg(file);
  for (int i = 0; i < 7; i++) put32(&setattr_args, 0);  // nothing to set, no guard
  EXPECT_EQ(status_of(nfs_call(other, 2, setattr_args)), 30u);
  // Handles that name no live export are answered by resolution.
  bytes forged = root;
  forged[11] ^= 0x40;  // another generation
  EXPECT_EQ(getattr(other, forged).status, 70u);

  // A new allow list comes with a new generation, decided afresh on the same
  // connection: admitted, then refused again.
  const std::string local = canonical_path(d.at("e"));
  ASSERT_EQ(vorlix_remove_export("/local"), 0);
  ASSERT_GE(vorlix_add_export("/local", local.c_str(), "127.0.0.0/24"), 0);
  const bytes root2 = handle_for("/local", "");
  EXPECT_EQ(getattr(other, root2).status, 0u);
  EXPECT_EQ(getattr(here, root).status, 70u);
  ASSERT_EQ(vorlix_remove_export("/local"), 0);
  ASSERT_GE(vorlix_add_export("/local", local.c_str(), "127.0.0.1"), 0);
  const bytes root3 = handle_for("/local", "");
  EXPECT_EQ(getattr(other, root3).status, 13u);
  EXPECT_EQ(getattr(here, root3).status, 0u);
}

// An allow list changed in place keeps the export's slot and generation:
// handles already given stay valid, and each client's next call, on a
// connection that already had its decision, is decided by the new list.
TEST(Access, AllowListChangedInPlaceKeepsHandles) {
  temp_dir d;
  d.write("e/f.txt", "hello");
  ASSERT_GE(vorlix_add_export("/tv", d.at("e").c_str(), "127.0.0.1"), 0);
  ASSERT_TRUE(start_test_server());
  const bytes root = handle_for("/tv", "");
  const bytes file = handle_for("/tv", "f.txt");
  rpc_conn here, other, here_mnt, other_mnt;
  ASSERT_TRUE(here.open(vorlix_nfs_port()));
  ASSERT_TRUE(other.open(vorlix_nfs_port(), "127.0.0.2"));
  ASSERT_TRUE(here_mnt.open(vorlix_mount_port()));
  ASSERT_TRUE(other_mnt.open(vorlix_mount_port(), "127.0.0.2"));
  const std::string before = vorlix_export_json(0);
  ASSERT_EQ(read(here, file, 0, 5).status, 0u);
  ASSERT_EQ(read(other, file, 0, 5).status, 13u);

  struct step {
    const char* list;
    uint32_t here_status;
    uint32_t other_status;
  };
  const step steps[] = {
      {"127.0.0.1,127.0.0.2", 0, 0},  // a second client added: the first reads on
      {"127.0.0.2", 13, 0},           // the first left out: refused from its next call
      {"", 0, 13},                    // empty: this machine only
  };
  for (const step& s : steps) {
    SCOPED_TRACE(s.list);
    ASSERT_EQ(vorlix_set_allow("/tv", s.list), 0) << vorlix_last_error();
    const read_result mine = read(here, file, 0, 5);
    EXPECT_EQ(mine.status, s.here_status);
    if (s.here_status == 0) {
      EXPECT_EQ(std::string(mine.data.begin(), mine.data.end()), "hello");
    }
    EXPECT_EQ(read(other, file, 0, 5).status, s.other_status);
    EXPECT_EQ(getattr(other, root).status, s.other_status);
    EXPECT_EQ(mnt(here_mnt, "/tv").status, s.here_status);
    EXPECT_EQ(mnt(other_mnt, "/tv").status, s.other_status);
    EXPECT_EQ(handle_for("/tv", "f.txt"), file);
  }
  // A list with an error and a missing export change nothing.
  const std::string now = vorlix_export_json(0);
  EXPECT_EQ(vorlix_set_allow("/tv", "127.0.0.2,999.1.1.1/8"), -1);
  EXPECT_STREQ(vorlix_last_error(), "allow_cidrs: not an address or a network");
  EXPECT_EQ(vorlix_set_allow("/none", "127.0.0.2"), -4);
  EXPECT_EQ(vorlix_set_allow(nullptr, "127.0.0.2"), -1);
  EXPECT_EQ(std::string(vorlix_export_json(0)), now);
  EXPECT_EQ(read(here, file, 0, 5).status, 0u);
  EXPECT_EQ(read(other, file, 0, 5).status, 13u);
  // The generation is the one the export was added with.
  EXPECT_EQ(before.substr(before.find("\"generation\"")), now.substr(now.find("\"generation\"")));
}

// The EXPORT result listing one export with one group: who may mount it.
bytes export_body(const std::string& path, const std::string& group = "(this machine)") {
  bytes b;
  put32(&b, 1);
  put_string(&b, path);
  put32(&b, 1);
  put_string(&b, group);
  put32(&b, 0);
  put32(&b, 0);
  return b;
}

TEST(Mount, ExportListEncoding) {
  temp_dir d;
  ASSERT_TRUE(export_and_start("/movies", d.path));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const bytes expected_body = export_body("/movies");
  const bytes raw = mount_call(c, MNT_EXPORT);
  ASSERT_EQ(raw.size(), kReplyBody + expected_body.size());
  EXPECT_EQ(accept_stat(raw), 0u);
  EXPECT_EQ(bytes(raw.begin() + kReplyBody, raw.end()), expected_body);

  // A client that no export admits gets the empty list: one word 0.
  rpc_conn other;
  ASSERT_TRUE(other.open(vorlix_mount_port(), "127.0.0.2"));
  const bytes none = mount_call(other, MNT_EXPORT);
  ASSERT_EQ(none.size(), 28u);
  EXPECT_EQ(accept_stat(none), 0u);
  EXPECT_EQ(get32(none, 24), 0u);
}

TEST(Mount, RemovedExportIsNeitherFoundNorListed) {
  temp_dir d;
  const std::string a = d.mkdir("a");
  ASSERT_GE(vorlix_add_export("/a", a.c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/b", d.mkdir("b").c_str(), nullptr), 0);
  ASSERT_TRUE(start_test_server());
  rpc_conn c, n;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  ASSERT_TRUE(n.open(vorlix_nfs_port()));
  const bytes old_root = mnt(c, "/a").fh;
  ASSERT_EQ(old_root.size(), 32u);

  ASSERT_EQ(vorlix_remove_export("/a"), 0);
  EXPECT_EQ(mnt(c, "/a").status, 2u);
  EXPECT_EQ(mount_export(c).paths, std::vector<std::string>{"/b"});
  EXPECT_EQ(getattr(n, old_root).status, 70u);

  // Added again, the export is found with a new root handle; the old one
  // stays stale.
  ASSERT_GE(vorlix_add_export("/a", a.c_str(), nullptr), 0);
  const mnt_result again = mnt(c, "/a");
  EXPECT_EQ(again.status, 0u);
  EXPECT_NE(again.fh, old_root);
  EXPECT_EQ(getattr(n, again.fh).status, 0u);
  EXPECT_EQ(getattr(n, old_root).status, 70u);
  EXPECT_EQ(mount_export(c).paths, (std::vector<std::string>{"/a", "/b"}));
}

TEST(Mount, ProceduresWithoutState) {
  temp_dir d;
  ASSERT_TRUE(export_and_start("/movies", d.path));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  const bytes root = mnt(c, "/movies").fh;
  ASSERT_EQ(root.size(), 32u);

  bytes huge_len;
  put32(&huge_len, 0xFFFFFFFF);
  bytes cut;
  put32(&cut, 12);
  put32(&cut, 0x2F6D6F76);  // "/mov" and nothing more
  struct proc_case {
    const char* what;
    uint32_t proc;
    bytes args;
    uint32_t accept;
    size_t size;
  };
  const proc_case cases[] = {
      {"NULL", MNT_NULL, {}, 0, 24},
      {"DUMP", MNT_DUMP, {}, 0, 28},
      {"UMNT", MNT_UMNT, string_arg("/movies"), 0, 24},
      {"UMNT without argument", MNT_UMNT, {}, 0, 24},
      {"UMNT with a huge length", MNT_UMNT, huge_len, 0, 24},
      {"UMNT with a cut path", MNT_UMNT, cut, 0, 24},
      {"UMNTALL", MNT_UMNTALL, {}, 0, 24},
      {"procedure 6", 6, {}, 3, 24},
      {"procedure 0xFFFFFFFF", 0xFFFFFFFF, string_arg("/movies"), 3, 24},
  };
  for (const proc_case& k : cases) {
    SCOPED_TRACE(k.what);
    const bytes raw = mount_call(c, k.proc, k.args);
    ASSERT_EQ(raw.size(), k.size);
    EXPECT_EQ(accept_stat(raw), k.accept);
    if (k.size == 28) {
      EXPECT_EQ(get32(raw, 24), 0u);  // DUMP: the empty mount list
    }
  }

  // MNT arguments that do not decode answer INVAL.
  EXPECT_EQ(mnt_raw(c, {}).status, 22u);
  EXPECT_EQ(mnt_raw(c, cut).status, 22u);
  EXPECT_EQ(mnt_raw(c, huge_len).status, 22u);

  // Nothing was unmounted: the handle still works and DUMP is still empty.
  rpc_conn n;
  ASSERT_TRUE(n.open(vorlix_nfs_port()));
  EXPECT_EQ(getattr(n, root).status, 0u);
  EXPECT_EQ(mnt(c, "/movies").fh, root);
  EXPECT_EQ(mount_call(c, MNT_DUMP).size(), 28u);
}

// MOUNT versions 1 (what showmount asks) and 2 answer every procedure but
// MNT exactly as version 3 does, export filtering included; MNT is refused
// with EACCES whatever the path, and counts no mount.
TEST(Mount, VersionsOneAndTwoBesideVersionThree) {
  temp_dir d;
  ASSERT_GE(vorlix_add_export("/local", d.mkdir("local").c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/lan", d.mkdir("lan").c_str(), "127.0.0.0/24"), 0);
  ASSERT_TRUE(start_test_server());
  for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
    SCOPED_TRACE(from);
    rpc_conn c;
    ASSERT_TRUE(c.open(vorlix_mount_port(), from));
    struct proc_case {
      uint32_t proc;
      bytes args;
    };
    const proc_case cases[] = {{MNT_NULL, {}},    {MNT_DUMP, {}},   {MNT_UMNT, string_arg("/lan")},
                               {MNT_UMNTALL, {}}, {MNT_EXPORT, {}}, {6, {}}};
    for (const proc_case& k : cases) {
      SCOPED_TRACE(k.proc);
      bytes v3 = call(c, kMountProg, 3, k.proc, k.args);
      ASSERT_GE(v3.size(), 24u);
      v3.erase(v3.begin(), v3.begin() + 4);  // the xids differ
      for (uint32_t vers : {1u, 2u}) {
        bytes r = call(c, kMountProg, vers, k.proc, k.args);
        ASSERT_GE(r.size(), 24u);
        r.erase(r.begin(), r.begin() + 4);
        EXPECT_EQ(r, v3) << "version " << vers;
      }
    }
    const long long mounts = mounts_now();
    for (const char* path : {"/lan", "/local", "/none", ""}) {
      SCOPED_TRACE(path);
      for (uint32_t vers : {1u, 2u}) {
        const bytes r = call(c, kMountProg, vers, MNT_MNT, string_arg(path));
        ASSERT_EQ(r.size(), 28u);
        EXPECT_EQ(accept_stat(r), 0u);
        EXPECT_EQ(status_of(r), 13u);
      }
    }
    EXPECT_EQ(mounts_now(), mounts);
  }
  rpc_conn other;
  ASSERT_TRUE(other.open(vorlix_mount_port(), "127.0.0.2"));
  const bytes list = call(other, kMountProg, 1, MNT_EXPORT, {});
  const bytes expected_body = export_body("/lan", "127.0.0.0/24");
  ASSERT_EQ(list.size(), kReplyBody + expected_body.size());
  EXPECT_EQ(bytes(list.begin() + kReplyBody, list.end()), expected_body);
}

TEST(Mount, RepliesWriteNoDebugLine) {
  temp_dir d;
  // The switch is read when the server starts.
  setenv("VORLIX_RDPDBG", "1", 1);
  ASSERT_TRUE(export_and_start("/movies", d.path));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  testing::internal::CaptureStderr();
  const mnt_result m = mnt(c, "/movies");
  (void)mount_call(c, MNT_EXPORT);
  (void)mount_call(c, 6);
  const std::string quiet = testing::internal::GetCapturedStderr();
  testing::internal::CaptureStderr();
  (void)getattr(c, m.fh);  // NFS on the same connection does write one
  const std::string loud = testing::internal::GetCapturedStderr();
  unsetenv("VORLIX_RDPDBG");
  debug_read_env();
  EXPECT_EQ(m.status, 0u);
  EXPECT_EQ(quiet.find("RDPDBG"), std::string::npos) << quiet;
  EXPECT_NE(loud.find("RDPDBG"), std::string::npos);
}

}  // namespace
