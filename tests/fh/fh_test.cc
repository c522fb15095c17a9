#include "fh/fh.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fh/fh_map.h"
#include "proto/nfs.h"
#include "state/config.h"
#include "tests/support/fixture.h"
#include "util/sha256.h"
#include "util/xdr.h"
#include "vorlix.h"

namespace fs = std::filesystem;

namespace {

using handle = std::array<unsigned char, 32>;

std::string canon(const std::string& p) { return fs::canonical(p).string(); }

void put_le(std::string* s, uint64_t v, int n) {
  for (int i = 0; i < n; i++) *s += static_cast<char>(v >> (8 * i));
}

// A folder export "/m" on a fresh temporary folder.
struct folder_export {
  temp_dir dir;
  int idx = -1;
  folder_export() { idx = vorlix_add_export("/m", dir.path.c_str(), nullptr); }
  handle build(const char* rel) const {
    handle h{};
    EXPECT_EQ(fh_build("/m", rel, h.data(), 32), 32) << rel;
    return h;
  }
};

struct resolve_outcome {
  int rc;
  uint32_t status;
  fh_resolved r;
};

resolve_outcome resolve(const unsigned char* h, size_t len) {
  resolve_outcome o{};
  o.status = 0;
  o.rc = nfs_resolve(h, len, &o.r, &o.status);
  return o;
}

TEST(FhFormat, BytesMatchAnIndependentDigest) {
  // Expected handles computed outside this code base: header big-endian,
  // then the first 16 bytes of SHA-256(secret || LE magic || LE index ||
  // LE generation || path).
  struct {
    const char* secret;
    int32_t idx;
    uint64_t gen;
    const char* rel;
    const char* want;
  } cases[] = {
      {"", 0, 1, "", "515448310000000000000000000000013bf790df8c744c669b4aea6099a04652"},
      {"", 0, 1, "a/b", "51544831000000000000000000000001657ee5a800514f506c769ec998229450"},
      {"k3y-for-tests", 2, 0x0102030405060708ull, "movies/a b/\xC3\xBC.mkv",
       "51544831000000020102030405060708ecf2062516a0496ab73da90c273747fa"},
      {"s", -1, 0xFFFFFFFFFFFFFFFFull, "x", "51544831ffffffffffffffffffffffffeed6da8fa365cca7ee1026bb0311f23e"},
      {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 63, 1, "a",
       "515448310000003f00000000000000010b65d39939233fa717a265421bbbf497"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    ASSERT_EQ(vorlix_config("secret", c.secret), 0);
    export_rec e{};
    e.gen = c.gen;
    unsigned char out[40];
    memset(out, 0xAA, sizeof out);
    ASSERT_EQ(fh_build_idx(c.idx, &e, c.rel, out, sizeof out), 32);
    EXPECT_EQ(hex(out, 32), c.want);
    EXPECT_EQ(out[32], 0xAA);  // exactly 32 bytes written

    // A prefix made once gives the same handle, also when used again.
    fh_digest_prefix pre;
    fh_prefix_init(&pre, c.idx, c.gen);
    for (int i = 0; i < 2; i++) {
      unsigned char again[32];
      ASSERT_EQ(fh_build_prefixed(&pre, c.rel, again, sizeof again), 32);
      EXPECT_EQ(hex(again, 32), c.want);
    }

    // The same digest assembled here from its parts.
    std::string in = c.secret;
    put_le(&in, FH_MAGIC, 4);
    put_le(&in, static_cast<uint32_t>(c.idx), 4);
    put_le(&in, c.gen, 8);
    in += c.rel;
    unsigned char d[32];
    nfss_sha_buf(in.data(), in.size(), d);
    EXPECT_EQ(hex(out + 16, 16), hex(d, 16));

    // Building remembers the path behind the handle.
    char rel[REL_MAX];
    ASSERT_EQ(fh_recall_probe(out, rel, sizeof rel), 0);
    EXPECT_STREQ(rel, c.rel);
  }
}

TEST(FhFormat, SameInputsSameBytesOtherExportsOtherBytes) {
  folder_export m;
  temp_dir other;
  ASSERT_EQ(vorlix_add_export("/n", other.path.c_str(), nullptr), 1);
  const handle root1 = m.build("");
  const handle root2 = m.build("");
  EXPECT_EQ(root1, root2);
  EXPECT_EQ(hex(root1.data(), 4), "51544831");

  handle in_n{};
  ASSERT_EQ(fh_build("/n", "a/b", in_n.data(), 32), 32);
  EXPECT_NE(hex(m.build("a/b").data(), 32), hex(in_n.data(), 32));

  // Remove and add again: a new generation, so a different handle.
  const handle before = m.build("a/b");
  ASSERT_EQ(vorlix_remove_export("/m"), 0);
  ASSERT_EQ(vorlix_add_export("/m", m.dir.path.c_str(), nullptr), 0);
  const handle after = m.build("a/b");
  EXPECT_NE(hex(before.data(), 32), hex(after.data(), 32));
  EXPECT_EQ(be64_get(after.data() + 8), be64_get(before.data() + 8) + 2);  // "/n" took generation 2

  // The handles of an export in a later slot resolve as well.
  handle n_root{};
  ASSERT_EQ(fh_build("/n", "", n_root.data(), 32), 32);
  const resolve_outcome o = resolve(n_root.data(), 32);
  ASSERT_EQ(o.rc, 0);
  EXPECT_STREQ(o.r.exp.path, "/n");
  EXPECT_EQ(o.r.host, canon(other.path));
}

TEST(FhFormat, BuildRefusals) {
  folder_export m;
  export_rec e{};
  e.gen = 1;
  const uint64_t used = fh_map_get_stats().used;
  unsigned char out[32];
  memset(out, 0xAA, sizeof out);
  EXPECT_EQ(fh_build_idx(0, &e, "a", out, 31), -1);
  EXPECT_EQ(fh_build_idx(0, nullptr, "a", out, 32), -1);
  EXPECT_EQ(fh_build_idx(0, &e, nullptr, out, 32), -1);
  EXPECT_EQ(fh_build_idx(0, &e, "a", nullptr, 32), -1);
  EXPECT_EQ(fh_build("/nope", "a", out, 32), -1);
  EXPECT_EQ(fh_build(nullptr, "a", out, 32), -1);
  ASSERT_EQ(vorlix_remove_export("/m"), 0);
  EXPECT_EQ(fh_build("/m", "a", out, 32), -1);
  for (unsigned char b : out) ASSERT_EQ(b, 0xAA);
  EXPECT_EQ(fh_map_get_stats().used, used);
}

TEST(FhOpen, BitFlipsAreRefusedByOpenOrByTheCheck) {
  folder_export m;
  ASSERT_EQ(m.idx, 0);
  const handle good = m.build("a/b");
  for (int byte = 0; byte < 32; byte++) {
    for (int bit = 0; bit < 8; bit++) {
      SCOPED_TRACE(testing::Message() << "byte " << byte << " bit " << bit);
      handle h = good;
      h[byte] ^= static_cast<unsigned char>(1 << bit);
      export_rec exp{};
      char rel[REL_MAX];
      const int rc = fh_open(h.data(), 32, &exp, rel, sizeof rel);
      if (byte < 24) {
        // Header bytes name no live export of that generation; bytes 16..23
        // are the map key and find no path.
        EXPECT_EQ(rc, -4);
        continue;
      }
      // The map key does not cover bytes 24..31: the path is found, and only
      // the digest check refuses the handle.
      ASSERT_EQ(rc, 0);
      EXPECT_STREQ(rel, "a/b");
      EXPECT_EQ(fh_check_rel(h.data(), &exp, rel), -1);
      EXPECT_EQ(resolve(h.data(), 32).status, 70u);
    }
  }

  // A changed key under which some path happens to be remembered opens, and
  // the check refuses it.
  handle h = good;
  h[16] ^= 0x01;
  fh_remember(0, 1, h.data() + 16, "a/b");
  export_rec exp{};
  char rel[REL_MAX];
  ASSERT_EQ(fh_open(h.data(), 32, &exp, rel, sizeof rel), 0);
  EXPECT_EQ(fh_check_rel(h.data(), &exp, rel), -1);

  export_rec exp2{};
  ASSERT_EQ(fh_open(good.data(), 32, &exp2, rel, sizeof rel), 0);
  EXPECT_EQ(fh_check_rel(good.data(), &exp2, rel), 0);
}

TEST(FhOpen, IndexGenerationAndLengthRefusals) {
  folder_export m;
  temp_dir other;
  ASSERT_EQ(vorlix_add_export("/n", other.path.c_str(), nullptr), 1);
  const handle good = m.build("a");
  export_rec exp{};
  char rel[REL_MAX];

  struct {
    const char* what;
    uint32_t idx;
    uint64_t gen;
  } cases[] = {
      {"index 0xFFFFFFFF", 0xFFFFFFFFu, 1},
      {"index at the record count", 2, 0},  // the unused record there is all zero
      {"another export's index", 1, 1},
      {"generation mismatch", 0, 3},
  };
  for (const auto& c : cases) {
    handle h = good;
    be32_put(h.data() + 4, c.idx);
    be64_put(h.data() + 8, c.gen);
    EXPECT_EQ(fh_open(h.data(), 32, &exp, rel, sizeof rel), -4) << c.what;
    EXPECT_EQ(fh_open(h.data(), 32, &exp, nullptr, 0), -4) << c.what;
  }

  // Length and pointers are checked before anything else.
  handle bad_magic = good;
  bad_magic[0] = 0;
  for (int len : {0, 31, 33}) {
    EXPECT_EQ(fh_open(good.data(), len, &exp, rel, sizeof rel), -1) << len;
    EXPECT_EQ(fh_open(bad_magic.data(), len, &exp, rel, sizeof rel), -1) << len;
  }
  EXPECT_EQ(fh_open(nullptr, 32, &exp, rel, sizeof rel), -1);
  EXPECT_EQ(fh_open(good.data(), 32, nullptr, rel, sizeof rel), -1);
  EXPECT_EQ(fh_open(bad_magic.data(), 32, &exp, rel, sizeof rel), -4);

  // A removed export refuses its handles.
  ASSERT_EQ(vorlix_remove_export("/m"), 0);
  EXPECT_EQ(fh_open(good.data(), 32, &exp, nullptr, 0), -4);
}

TEST(FhOpen, PathBufferRules) {
  folder_export m;
  const handle h = m.build("abc/def");
  export_rec exp{};
  char rel[REL_MAX];
  EXPECT_EQ(fh_open(h.data(), 32, &exp, rel, 7), -4);  // no room for the terminator
  ASSERT_EQ(fh_open(h.data(), 32, &exp, rel, 8), 0);
  EXPECT_STREQ(rel, "abc/def");
  EXPECT_STREQ(exp.path, "/m");
  EXPECT_EQ(exp.gen, 1u);
  EXPECT_EQ(export_local(exp), canon(m.dir.path));

  // Once the map has forgotten the path only the open without a buffer
  // succeeds; the one with a buffer clears it and still fills the export.
  fh_forget_all();
  export_rec exp2{};
  strcpy(rel, "stale text");
  EXPECT_EQ(fh_open(h.data(), 32, &exp2, rel, sizeof rel), -4);
  EXPECT_STREQ(rel, "");
  EXPECT_STREQ(exp2.path, "/m");
  export_rec exp3{};
  EXPECT_EQ(fh_open(h.data(), 32, &exp3, nullptr, 0), 0);
  EXPECT_EQ(fh_open(h.data(), 32, &exp3, rel, 0), 0);
  EXPECT_STREQ(exp3.path, "/m");
  EXPECT_EQ(resolve(h.data(), 32).status, 70u);

  // Building it again brings it back.
  EXPECT_EQ(m.build("abc/def"), h);
  EXPECT_EQ(fh_open(h.data(), 32, &exp, rel, sizeof rel), 0);
}

TEST(FhOpen, HandlesStayStaleAfterRemoveAndAddAgain) {
  folder_export m;
  m.dir.write("a.txt", "hello");
  const handle old = m.build("a.txt");
  ASSERT_EQ(resolve(old.data(), 32).rc, 0);
  ASSERT_EQ(vorlix_remove_export("/m"), 0);
  EXPECT_EQ(resolve(old.data(), 32).status, 70u);
  ASSERT_EQ(vorlix_add_export("/m", m.dir.path.c_str(), nullptr), 0);  // same slot, new generation
  EXPECT_EQ(resolve(old.data(), 32).status, 70u);
  const handle fresh = m.build("a.txt");
  EXPECT_NE(fresh, old);
  EXPECT_EQ(resolve(fresh.data(), 32).rc, 0);
  EXPECT_EQ(resolve(old.data(), 32).status, 70u);
}

TEST(FhOpen, AnotherSecretFailsTheCheck) {
  folder_export m;
  ASSERT_EQ(vorlix_config("secret", "first"), 0);
  const handle h = m.build("a");
  ASSERT_EQ(vorlix_config("secret", "second"), 0);
  export_rec exp{};
  char rel[REL_MAX];
  ASSERT_EQ(fh_open(h.data(), 32, &exp, rel, sizeof rel), 0);
  EXPECT_EQ(fh_check_rel(h.data(), &exp, rel), -1);
  EXPECT_EQ(resolve(h.data(), 32).status, 70u);
  ASSERT_EQ(vorlix_config("secret", "first"), 0);
  EXPECT_EQ(fh_check_rel(h.data(), &exp, rel), 0);
}

TEST(FhResolve, RefusesMalformedAndUnknownHandles) {
  folder_export m;
  const handle good = m.build("");
  handle wrong_magic = good;
  wrong_magic[3] ^= 0x01;
  handle noise;
  for (int i = 0; i < 32; i++) noise[i] = static_cast<unsigned char>(i * 37 + 11);
  unsigned char longer[33] = {};
  memcpy(longer, good.data(), 32);

  struct {
    const char* what;
    const unsigned char* h;
    size_t len;
    uint32_t status;
  } cases[] = {
      {"empty", good.data(), 0, 10001},
      {"31 bytes", good.data(), 31, 10001},
      {"33 bytes", longer, 33, 10001},
      {"wrong magic", wrong_magic.data(), 32, 70},
      {"arbitrary bytes", noise.data(), 32, 70},
  };
  for (const auto& c : cases) {
    const resolve_outcome o = resolve(c.h, c.len);
    EXPECT_EQ(o.rc, -1) << c.what;
    EXPECT_EQ(o.status, c.status) << c.what;
    EXPECT_TRUE(o.r.host.empty()) << c.what;
    EXPECT_EQ(o.r.st_ok, 0) << c.what;
  }
}

TEST(FhResolve, FolderExportPaths) {
  folder_export m;
  m.dir.write("a.txt", "hello");
  m.dir.write("sub/b.txt", "bee");
  const std::string local = canon(m.dir.path);
  struct {
    const char* rel;
    std::string host;
    bool is_dir;
  } cases[] = {
      {"", local, true},  // the root: the local path itself, no "/" appended
      {"a.txt", local + "/a.txt", false},
      {"sub", local + "/sub", true},
      {"sub/b.txt", local + "/sub/b.txt", false},
  };
  for (const auto& c : cases) {
    const handle h = m.build(c.rel);
    const resolve_outcome o = resolve(h.data(), 32);
    ASSERT_EQ(o.rc, 0) << c.rel;
    EXPECT_EQ(o.r.host, c.host);
    EXPECT_STREQ(o.r.rel, c.rel);
    EXPECT_STREQ(o.r.exp.path, "/m");
    EXPECT_EQ(o.r.st_ok, 1);
    EXPECT_EQ(o.r.st.is_dir, c.is_dir ? 1 : 0) << c.rel;
    EXPECT_EQ(o.r.st.is_reg, c.is_dir ? 0 : 1) << c.rel;
  }
  const resolve_outcome o = resolve(m.build("a.txt").data(), 32);
  EXPECT_EQ(o.r.st.size, 5);
}

TEST(FhResolve, FileExportResolvesEveryHandleToTheFile) {
  temp_dir dir;
  const std::string file = dir.write("film.mkv", "frames");
  ASSERT_EQ(vorlix_add_export("/f", file.c_str(), nullptr), 0);
  for (const char* rel : {"", "film.mkv", "other/thing"}) {
    handle h{};
    ASSERT_EQ(fh_build("/f", rel, h.data(), 32), 32);
    const resolve_outcome o = resolve(h.data(), 32);
    ASSERT_EQ(o.rc, 0) << rel;
    EXPECT_EQ(o.r.host, canon(file)) << rel;
    EXPECT_EQ(o.r.st.is_reg, 1);
    EXPECT_EQ(o.r.st.size, 6);
  }
}

TEST(FhResolve, NeverFollowsALinkBeforeTheLastComponent) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  folder_export m;
  temp_dir outside;
  outside.write("secret.txt", "s");
  outside.write("f.txt", "outside");
  m.dir.write("real/x.txt", "x");
  m.dir.symlink("real", "link");
  m.dir.symlink(outside.path, "out");
  m.dir.write("sub/f.txt", "inside");

  struct {
    const char* rel;
    int rc;
    uint32_t status;
    int is_link;
  } cases[] = {
      {"real/x.txt", 0, 0, 0},
      {"link", 0, 0, 1},  // the last component is described itself
      {"out", 0, 0, 1},
      {"link/x.txt", -1, 2, 0},
      {"out/secret.txt", -1, 2, 0},
  };
  for (const auto& c : cases) {
    const resolve_outcome o = resolve(m.build(c.rel).data(), 32);
    EXPECT_EQ(o.rc, c.rc) << c.rel;
    EXPECT_EQ(o.status, c.status) << c.rel;
    if (o.rc == 0) {
      EXPECT_EQ(o.r.st.is_link, c.is_link) << c.rel;
    }
  }

  // A folder replaced by a link after its handles were given out.
  const handle h = m.build("sub/f.txt");
  ASSERT_EQ(resolve(h.data(), 32).rc, 0);
  fs::remove_all(m.dir.at("sub"));
  m.dir.symlink(outside.path, "sub");
  const resolve_outcome o = resolve(h.data(), 32);
  EXPECT_EQ(o.rc, -1);
  EXPECT_EQ(o.status, 2u);
  EXPECT_TRUE(o.r.host.empty());
}

TEST(FhResolve, DeletedFileAndDebugLines) {
#ifdef _WIN32
  GTEST_SKIP() << "stat() gives no file number on Windows, and its environment cannot hold an empty value";
#else
  folder_export m;
  m.dir.write("gone.txt", "bye");
  const std::string kept = m.dir.write("kept.txt", "stay");
  const handle gone = m.build("gone.txt");
  const handle kh = m.build("kept.txt");
  fs::remove(m.dir.at("gone.txt"));
  const std::string mac_gone = hex(gone.data() + 16, 4);
  const std::string mac_kept = hex(kh.data() + 16, 4);
  struct stat sb;
  ASSERT_EQ(stat(kept.c_str(), &sb), 0);

  unsetenv("VORLIX_FHDBG");
  debug_read_env();
  testing::internal::CaptureStderr();
  const resolve_outcome quiet = resolve(gone.data(), 32);
  EXPECT_EQ(resolve(kh.data(), 32).rc, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(quiet.rc, -1);
  EXPECT_EQ(quiet.status, 2u);
  EXPECT_TRUE(quiet.r.host.empty());

  // Set to any value, the empty one included, the variable turns the lines on.
  for (const char* value : {"1", ""}) {
    setenv("VORLIX_FHDBG", value, 1);
    debug_read_env();
    testing::internal::CaptureStderr();
    const resolve_outcome o = resolve(gone.data(), 32);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "FHDBG resolve-NOENT mac=" + mac_gone + " rel=gone.txt fileid=0\n");
    EXPECT_EQ(o.status, 2u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(resolve(kh.data(), 32).rc, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "FHDBG resolve mac=" + mac_kept + " rel=kept.txt fileid=" + std::to_string(sb.st_ino) + "\n");
  }

  handle h{};
  h[16] = 0x00;
  h[17] = 0x0a;
  h[18] = 0xff;
  h[19] = 0x10;
  testing::internal::CaptureStderr();
  fh_dbg("lookup", h.data(), "a b", 18446744073709551615ull);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "FHDBG lookup mac=000aff10 rel=a b fileid=18446744073709551615\n");
  unsetenv("VORLIX_FHDBG");
  debug_read_env();
#endif
}

TEST(FhHostPath, JoinsLocalAndRelative) {
  struct {
    const char* local;
    int is_file;
    const char* rel;
    const char* want;
  } cases[] = {
      {"/srv/m", 0, "", "/srv/m"},
      {"/srv/m", 0, "a/b", "/srv/m/a/b"},
      {"C:\\media", 0, "a/b", "C:\\media/a/b"},  // separators are left as they are
      {"/srv/film.mkv", 1, "", "/srv/film.mkv"},
      {"/srv/film.mkv", 1, "anything/else", "/srv/film.mkv"},
  };
  for (const auto& c : cases) {
    export_rec e{};
    e.local = std::make_shared<const std::string>(c.local);
    e.is_file = c.is_file;
    EXPECT_EQ(fh_host_path(e, c.rel), c.want) << c.local << " + " << c.rel;
  }
}

TEST(FhClamp, Normalisation) {
  const std::string c255(255, 'n');
  const std::string c256(256, 'n');
  struct {
    std::string in;
    int32_t cap;
    int rc;
    std::string out;
  } cases[] = {
      {"\\movies//a/./b/", 1024, 0, "movies/a/b"},
      {"a/../b", 1024, 0, "b"},
      {"../../x", 1024, 0, "x"},
      {"a/..", 1024, 0, ""},
      {"", 1024, 0, ""},
      {"///", 1024, 0, ""},
      {"a\\b\\\\c", 1024, 0, "a/b/c"},
      {"ab/cd/..", 1024, 0, "ab"},
      {"a/b/c/../../d", 1024, 0, "a/d"},
      {"a/../../b", 1024, 0, "b"},
      {"./.../.name/-x-", 1024, 0, ".../.name/-x-"},
      {c255, 1024, 0, c255},
      {"a/" + c255 + "/b", 1024, 0, "a/" + c255 + "/b"},
      {c256, 1024, -6, ""},
      {"a/" + c256, 1024, -6, "a"},
      {"abc", 5, 0, "abc"},  // room for the component, a separator and the terminator
      {"abc", 4, -6, ""},
      {"ab/cd", 6, 0, "ab/cd"},
      {"ab/cd", 5, -6, "ab"},
  };
  for (const auto& c : cases) {
    char out[1100];
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(fh_clamp(c.in.c_str(), out, c.cap), c.rc) << c.in << " cap " << c.cap;
    EXPECT_EQ(std::string(out), c.out) << c.in << " cap " << c.cap;
  }

  // A result longer than the buffer allows.
  std::string many;
  for (int i = 0; i < 200; i++) many += "abcde/";
  char out[REL_MAX];
  EXPECT_EQ(fh_clamp(many.c_str(), out, REL_MAX), -6);
  EXPECT_LE(strlen(out), static_cast<size_t>(REL_MAX - 1));

  EXPECT_EQ(fh_clamp(nullptr, out, 16), -1);
  EXPECT_EQ(fh_clamp("a", nullptr, 16), -1);
  EXPECT_EQ(fh_clamp("a", out, 0), -1);
  EXPECT_EQ(fh_clamp("a", out, -1), -1);
}

}  // namespace
