// The export table: export path rules, local paths, duplicates, the 64
// slots with their generations, the allow-list parser and the JSON text of
// one export.
#include "state/exports.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstring>
#include <string>

#include "plat/plat.h"
#include "tests/support/fixture.h"
#include "util/sha256.h"
#include "vorlix.h"

namespace {

const char kD9[] = "export path must be absolute, no '\\\\', no '..' (D9)";
const char kBadList[] = "allow_cidrs: not an address or a network";


// The text of a stored network.
std::string net_text(const export_net& n) {
  char text[PLAT_ADDR_TEXT + 8];
  export_net_text(n, text);
  return text;
}

uint32_t ip(int a, int b, int c, int d) {
  return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(c) << 8) |
         static_cast<uint32_t>(d);
}

// The JSON text that describes one live export.
std::string export_json(const std::string& path, const std::string& local, const std::string& allow, int is_file,
                        int cidrs, uint64_t gen) {
#ifdef _WIN32
  // The backslashes of a Windows path are escaped in the JSON text.
  std::string esc;
  for (char c : local) {
    if (c == '\\') esc += '\\';
    esc += c;
  }
  return "{\"path\":\"" + path + "\",\"local\":\"" + esc + "\",\"allow_cidrs\":\"" + allow +
         "\",\"is_file\":" + std::to_string(is_file) + ",\"cidrs\":" + std::to_string(cidrs) +
         ",\"generation\":" + std::to_string(gen) + "}";
#endif
  return "{\"path\":\"" + path + "\",\"local\":\"" + local + "\",\"allow_cidrs\":\"" + allow +
         "\",\"is_file\":" + std::to_string(is_file) + ",\"cidrs\":" + std::to_string(cidrs) +
         ",\"generation\":" + std::to_string(gen) + "}";
}

}  // namespace

TEST(ExportAdd, FolderAndFileAreRecorded) {
  temp_dir t;
  const std::string dir = t.mkdir("movies");
  const std::string file = t.write("one.mkv", "data");

  EXPECT_EQ(vorlix_export_count(), 0);
  EXPECT_EQ(vorlix_add_export("/movies", dir.c_str(), nullptr), 0);
  EXPECT_EQ(vorlix_last_code(), 0);
  EXPECT_STREQ(vorlix_last_error(), "export /movies added (folder)");
  EXPECT_EQ(vorlix_add_export("/one", file.c_str(), ""), 1);
  EXPECT_STREQ(vorlix_last_error(), "export /one added (file)");
  EXPECT_EQ(vorlix_export_count(), 2);

  EXPECT_EQ(std::string(vorlix_export_json(0)), export_json("/movies", canonical_path(dir), "", 0, 0, 1));
  EXPECT_EQ(vorlix_last_code(), 0);
  EXPECT_STREQ(vorlix_last_error(), "export 0");
  EXPECT_EQ(std::string(vorlix_export_json(1)), export_json("/one", canonical_path(file), "", 1, 0, 2));

  // The record itself: the file-system id is the first 8 bytes of the
  // digest of the local path, little-endian.
  int32_t count = 0;
  export_rec* recs = exports_lock_get(&count);
  EXPECT_EQ(count, 2);
  const std::string local = canonical_path(dir);
  unsigned char d[32];
  nfss_sha_buf(local.data(), local.size(), d);
  uint64_t fsid = 0;
  for (int i = 7; i >= 0; i--) fsid = (fsid << 8) | d[i];
  EXPECT_EQ(recs[0].fsid, fsid);
  EXPECT_EQ(recs[0].is_file, 0);
  EXPECT_EQ(recs[1].is_file, 1);
  EXPECT_EQ(recs[0].removed, 0);
  exports_unlock();
  EXPECT_EQ(exports_find("/one"), 1);
  EXPECT_EQ(exports_find("/on"), -1);
  EXPECT_EQ(exports_find("/ONE"), -1);
}

TEST(ExportAdd, ExportPathRule) {
  temp_dir t;
  struct row {
    const char* name;
    std::string path;
    bool ok;
  };
  const row rows[] = {
      {"root", "/", true},
      {"dot component", "/a/./b", true},
      {"dots inside a name", "/a..b", true},
      {"repeated slash", "//x", true},
      {"three dots", "/...", true},
      {"name ending in dots", "/a/b..", true},
      {"name starting with dots", "/..a", true},
      {"blank and tilde", "/a b~", true},
      {"DEL", "/a\x7f", true},
      {"1023 characters", "/" + std::string(1022, 'x'), true},
      {"relative", "movies", false},
      {"empty", "", false},
      {"trailing slash", "/movies/", false},
      {"parent in the middle", "/a/../b", false},
      {"parent at the end", "/a/..", false},
      {"parent alone", "/..", false},
      {"backslash", "/a\\b", false},
      {"byte 0x80", "/caf\x80", false},
      {"UTF-8 name", "/caf\xc3\xa9", false},
      {"control character", "/a\x01", false},
      {"tab", "/a\tb", false},
      {"1024 characters", "/" + std::string(1023, 'x'), false},
  };
  int n = 0;
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string dir = t.mkdir("d" + std::to_string(n++));
    const int before = vorlix_export_count();
    const int got = vorlix_add_export(r.path.c_str(), dir.c_str(), nullptr);
    if (r.ok) {
      EXPECT_GE(got, 0);
      EXPECT_EQ(vorlix_export_count(), before + 1);
      EXPECT_EQ(vorlix_remove_export(r.path.c_str()), 0);
    } else {
      EXPECT_EQ(got, -1);
      EXPECT_EQ(vorlix_last_code(), -1);
      EXPECT_STREQ(vorlix_last_error(), kD9);
      EXPECT_EQ(vorlix_export_count(), before);
    }
  }
  EXPECT_EQ(vorlix_add_export(nullptr, t.path.c_str(), nullptr), -1);
  EXPECT_STREQ(vorlix_last_error(), kD9);
  // The message holds two backslash characters between its single quotes:
  // the same text written as a raw literal, where a backslash is itself.
  EXPECT_STREQ(vorlix_last_error(), R"(export path must be absolute, no '\\', no '..' (D9))");
}

TEST(ExportAdd, LocalPathMustNameAFileOrFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "the tests cannot make symbolic links on Windows, and getcwd/chdir are POSIX";
#else
  temp_dir t;
  const std::string missing = t.at("missing");
  const std::string too_long = "/" + std::string(1024, 'a');
  const std::string longest = "/" + std::string(1023, 'a');
  const std::string dangling = t.symlink(t.at("gone"), "dangling");
  struct row {
    const char* name;
    const char* local;
    int code;
    std::string message;
  };
  const row rows[] = {
      {"null", nullptr, -1, "local path required"},
      {"empty", "", -1, "local path required"},
      {"1025 bytes", too_long.c_str(), -1, "local path required"},
      {"missing", missing.c_str(), -4, "cannot resolve " + missing},
      {"dangling link", dangling.c_str(), -4, "cannot resolve " + dangling},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(vorlix_add_export("/x", r.local, nullptr), r.code);
    EXPECT_EQ(vorlix_last_code(), r.code);
    EXPECT_EQ(std::string(vorlix_last_error()), r.message);
  }
  // 1024 bytes pass the length test and fail only on resolution.
  EXPECT_EQ(vorlix_add_export("/x", longest.c_str(), nullptr), -4);
  EXPECT_EQ(vorlix_export_count(), 0);

  // A relative local path is resolved against the current folder.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(t.mkdir("base").c_str()), 0);
  t.mkdir("base/rel");
  const int slot = vorlix_add_export("/rel", "rel/../rel", nullptr);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(slot, 0);
  EXPECT_EQ(std::string(vorlix_export_json(0)), export_json("/rel", canonical_path(t.at("base/rel")), "", 0, 0, 1));
#endif
}

TEST(ExportAdd, FifoAndSocketAreRefused) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no FIFOs or Unix-domain socket files";
#else
  temp_dir t;
  const std::string fifo = t.at("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string sock = t.at("sock");
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  ASSERT_LT(sock.size(), sizeof sa.sun_path);
  memcpy(sa.sun_path, sock.c_str(), sock.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa), 0);

  for (const std::string& p : {fifo, sock, t.symlink(fifo, "fifolink")}) {
    SCOPED_TRACE(p);
    EXPECT_EQ(vorlix_add_export("/special", p.c_str(), nullptr), -1);
    EXPECT_STREQ(vorlix_last_error(), "not a file or folder");
  }
  close(fd);
  EXPECT_EQ(vorlix_export_count(), 0);
#endif
}

TEST(ExportAdd, DuplicatesAreRefused) {
  SKIP_ON_WINDOWS("the tests cannot make symbolic links on Windows");
  temp_dir t;
  const std::string a = t.mkdir("a");
  const std::string b = t.mkdir("b");
  const std::string f = t.write("f", "x");
  t.symlink(a, "alias");
  ASSERT_EQ(vorlix_add_export("/movies", a.c_str(), nullptr), 0);
  ASSERT_EQ(vorlix_add_export("/file", f.c_str(), nullptr), 1);

  EXPECT_EQ(vorlix_add_export("/movies", b.c_str(), nullptr), -7);
  EXPECT_STREQ(vorlix_last_error(), "export path already added");

  // The same folder or file under another export path, however it is named.
  for (const std::string& same : {a, t.at("alias"), t.at("b/../a"), a + "/", f}) {
    SCOPED_TRACE(same);
    EXPECT_EQ(vorlix_add_export("/other", same.c_str(), nullptr), -7);
    EXPECT_EQ(vorlix_last_code(), -7);
  }
  EXPECT_EQ(vorlix_export_count(), 2);

  // A removed export blocks neither its path nor its folder.
  ASSERT_EQ(vorlix_remove_export("/movies"), 0);
  EXPECT_EQ(vorlix_add_export("/other", a.c_str(), nullptr), 0);
  EXPECT_EQ(vorlix_add_export("/movies", b.c_str(), nullptr), 2);
}

TEST(ExportRemove, RemovalAndItsErrors) {
  temp_dir t;
  ASSERT_EQ(vorlix_add_export("/movies", t.mkdir("m").c_str(), nullptr), 0);
  ASSERT_EQ(vorlix_add_export("/music", t.mkdir("u").c_str(), nullptr), 1);

  EXPECT_EQ(vorlix_remove_export(nullptr), -1);
  EXPECT_STREQ(vorlix_last_error(), "path required");
  EXPECT_EQ(vorlix_remove_export("/nope"), -4);
  EXPECT_STREQ(vorlix_last_error(), "no such export");
  EXPECT_EQ(vorlix_remove_export("/movies/"), -4);

  EXPECT_EQ(vorlix_remove_export("/movies"), 0);
  EXPECT_EQ(vorlix_last_code(), 0);
  EXPECT_STREQ(vorlix_last_error(), "export removed");
  EXPECT_EQ(vorlix_export_count(), 1);
  EXPECT_EQ(exports_find("/movies"), -1);
  EXPECT_STREQ(vorlix_export_json(0), "");
  EXPECT_EQ(vorlix_last_code(), -4);
  EXPECT_STREQ(vorlix_last_error(), "no export 0");
  EXPECT_EQ(vorlix_remove_export("/movies"), -4);
  EXPECT_STREQ(vorlix_last_error(), "no such export");

  // The live export keeps its slot number.
  EXPECT_NE(std::string(vorlix_export_json(1)), "");
  int32_t count = 0;
  export_rec* recs = exports_lock_get(&count);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(recs[0].removed, 1);
  EXPECT_EQ(recs[0].local, nullptr);
  EXPECT_EQ(recs[0].allow_cidrs, nullptr);
  EXPECT_EQ(recs[0].gen, 1u);
  exports_unlock();
}

TEST(ExportJson, SlotsOutsideTheTable) {
  temp_dir t;
  ASSERT_EQ(vorlix_add_export("/m", t.path.c_str(), nullptr), 0);
  for (int index : {-1, 1, 63, 64, 1000}) {
    SCOPED_TRACE(index);
    EXPECT_STREQ(vorlix_export_json(index), "");
    EXPECT_EQ(vorlix_last_code(), -4);
    EXPECT_EQ(std::string(vorlix_last_error()), "no export " + std::to_string(index));
  }
}

TEST(ExportJson, TextsAreEscaped) {
  SKIP_ON_WINDOWS("'\"' and '\\' cannot be part of a Windows file name");
  temp_dir t;
  const std::string dir = t.mkdir("q\"uo\\te");
  ASSERT_EQ(vorlix_add_export("/a\"b", dir.c_str(), "10.0.0.0/8,\t"), 0);
  const std::string local = canonical_path(dir);
  std::string escaped;
  for (char c : local) {
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  EXPECT_EQ(std::string(vorlix_export_json(0)), export_json("/a\\\"b", escaped, "10.0.0.0/8,\\t", 0, 1, 1));
}

TEST(ExportJson, LongTextComesBackWhole) {
  SKIP_ON_WINDOWS("local paths over 260 characters need the long-path prefix, which the Windows form does not add");
  temp_dir t;
  // A local path of about 1000 bytes, an export path of 1000 and an allow
  // list of several hundred: more than 2047 characters together.
  std::string rel;
  for (int i = 0; i < 4; i++) rel += (i ? "/" : "") + std::string(240, static_cast<char>('a' + i));
  const std::string dir = t.mkdir(rel);
  ASSERT_LE(dir.size(), 1024u);
  const std::string path = "/" + std::string(999, 'p');
  const std::string allow = host_list(40);
  ASSERT_EQ(vorlix_add_export(path.c_str(), dir.c_str(), allow.c_str()), 0);
  const std::string want = export_json(path, canonical_path(dir), allow, 0, 32, 1);
  ASSERT_GT(want.size(), 2047u);
  EXPECT_EQ(std::string(vorlix_export_json(0)), want);
  EXPECT_STREQ(vorlix_last_error(), "export 0");
}

TEST(ExportTable, SixtyFourSlotsReusedWithNewGenerations) {
  temp_dir t;
  for (int i = 0; i < MAX_EXPORTS; i++) {
    const std::string p = "/e" + std::to_string(i);
    ASSERT_EQ(vorlix_add_export(p.c_str(), t.mkdir(p.substr(1)).c_str(), nullptr), i);
  }
  EXPECT_EQ(vorlix_export_count(), 64);
  const std::string extra = t.mkdir("extra");
  EXPECT_EQ(vorlix_add_export("/extra", extra.c_str(), nullptr), -6);
  EXPECT_EQ(vorlix_last_code(), -6);
  EXPECT_STREQ(vorlix_last_error(), "too many exports");
  EXPECT_EQ(vorlix_export_count(), 64);

  // The lowest removed slot is reused first, each time with a generation
  // above every earlier one (the refused addition took none).
  ASSERT_EQ(vorlix_remove_export("/e20"), 0);
  ASSERT_EQ(vorlix_remove_export("/e5"), 0);
  EXPECT_EQ(vorlix_export_count(), 62);
  EXPECT_EQ(vorlix_add_export("/extra", extra.c_str(), nullptr), 5);
  EXPECT_EQ(std::string(vorlix_export_json(5)), export_json("/extra", canonical_path(extra), "", 0, 0, 65));
  const std::string again = t.at("e5");
  EXPECT_EQ(vorlix_add_export("/e5", again.c_str(), nullptr), 20);
  EXPECT_EQ(std::string(vorlix_export_json(20)), export_json("/e5", canonical_path(again), "", 0, 0, 66));
  EXPECT_EQ(vorlix_add_export("/more", t.mkdir("more").c_str(), nullptr), -6);

  int32_t count = 0;
  exports_lock_get(&count);
  exports_unlock();
  EXPECT_EQ(count, 64);
}

TEST(ExportTable, BadAllowListLeavesARemovedSlot) {
  temp_dir t;
  const std::string a = t.mkdir("a");
  const std::string b = t.mkdir("b");
  ASSERT_EQ(vorlix_add_export("/first", a.c_str(), nullptr), 0);

  EXPECT_EQ(vorlix_add_export("/bad", b.c_str(), "10.0.0.0/8,bogus"), -1);
  EXPECT_EQ(vorlix_last_code(), -1);
  EXPECT_STREQ(vorlix_last_error(), kBadList);
  EXPECT_EQ(vorlix_export_count(), 1);
  EXPECT_EQ(exports_find("/bad"), -1);
  EXPECT_STREQ(vorlix_export_json(1), "");
  int32_t count = 0;
  export_rec* recs = exports_lock_get(&count);
  EXPECT_EQ(count, 2);  // the appended slot stays counted
  EXPECT_EQ(recs[1].removed, 1);
  EXPECT_EQ(recs[1].local, nullptr);
  EXPECT_EQ(recs[1].allow_cidrs, nullptr);
  exports_unlock();

  // The slot is reused; the failed addition took no generation, and its
  // local folder is not taken.
  EXPECT_EQ(vorlix_add_export("/good", b.c_str(), "192.168.1.0/24"), 1);
  EXPECT_EQ(std::string(vorlix_export_json(1)), export_json("/good", canonical_path(b), "192.168.1.0/24", 0, 1, 2));
}

TEST(ExportTable, RecordAllowsItsList) {
  temp_dir t;
  ASSERT_EQ(vorlix_add_export("/none", t.mkdir("n").c_str(), nullptr), 0);
  ASSERT_EQ(vorlix_add_export("/comma", t.mkdir("c").c_str(), ","), 1);
  ASSERT_EQ(vorlix_add_export("/all", t.mkdir("a").c_str(), "0.0.0.0/0"), 2);
  ASSERT_EQ(vorlix_add_export("/lan", t.mkdir("l").c_str(), "10.1.2.3/8, 192.168.1.0/24"), 3);
  EXPECT_NE(std::string(vorlix_export_json(1)).find("\"cidrs\":0"), std::string::npos);
  struct row {
    int slot;
    uint32_t addr;
    int want;
  };
  const row rows[] = {
      {0, ip(127, 0, 0, 1), 1},   {0, ip(127, 0, 0, 2), 0}, {0, ip(10, 0, 0, 1), 0},     {1, ip(127, 0, 0, 1), 1},
      {1, ip(192, 168, 1, 1), 0}, {2, ip(127, 0, 0, 1), 1}, {2, ip(8, 8, 8, 8), 1},      {2, 0, 1},
      {2, 0xFFFFFFFFu, 1},        {3, ip(10, 9, 9, 9), 1},  {3, ip(192, 168, 1, 77), 1}, {3, ip(192, 168, 2, 1), 0},
      {3, ip(127, 0, 0, 1), 0},   {3, ip(11, 0, 0, 1), 0},
  };
  int32_t count = 0;
  export_rec* recs = exports_lock_get(&count);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(recs[3].ncidrs, 2);
  EXPECT_EQ(net_text(recs[3].nets[0]), "10.0.0.0/8");
  EXPECT_EQ(net_text(recs[3].nets[1]), "192.168.1.0/24");
  for (const row& r : rows) {
    SCOPED_TRACE(std::to_string(r.slot) + " " + std::to_string(r.addr));
    EXPECT_EQ(exports_allows(&recs[r.slot], r.addr), r.want);
  }
  exports_unlock();
}

TEST(AllowList, Parser) {
  // Items longer than 127 characters: the 128th is skipped and reading
  // goes on as if a new item began after it.
  const std::string split_item = "10.0.0.0/8" + std::string(117, ' ') + "X192.168.0.0/16";
  const std::string leading = std::string(50, ' ') + "10.0.0.1";
  struct row {
    const char* name;
    std::string text;
    uint32_t addr;
    int rc;
    int allowed;
  };
  const row rows[] = {
      {"empty: loopback", "", ip(127, 0, 0, 1), 0, 1},
      {"empty: other", "", ip(127, 0, 0, 2), 0, 0},
      {"comma only", ",", ip(127, 0, 0, 1), 0, 1},
      {"comma only, other", ",", ip(10, 0, 0, 1), 0, 0},
      {"blanks only", " , ,\t", ip(127, 0, 0, 1), 0, 1},
      {"network", "10.0.0.0/8", ip(10, 255, 0, 1), 0, 1},
      {"outside the network", "10.0.0.0/8", ip(11, 0, 0, 1), 0, 0},
      {"list excludes loopback", "10.0.0.0/8", ip(127, 0, 0, 1), 0, 0},
      {"host bits cleared", "10.1.2.3/8, 192.168.1.0/24", ip(10, 200, 0, 1), 0, 1},
      {"second network", "10.1.2.3/8, 192.168.1.0/24", ip(192, 168, 1, 200), 0, 1},
      {"every address", "0.0.0.0/0", ip(1, 2, 3, 4), 0, 1},
      {"prefix 0 with host bits", "1.2.3.4/0", ip(200, 0, 0, 1), 0, 1},
      {"prefix 1", "10.0.0.0/1", ip(127, 255, 255, 255), 0, 1},
      {"prefix 1, other half", "10.0.0.0/1", ip(128, 0, 0, 0), 0, 0},
      {"single address", "1.2.3.4", ip(1, 2, 3, 4), 0, 1},
      {"single address, neighbour", "1.2.3.4", ip(1, 2, 3, 5), 0, 0},
      {"prefix 32", "1.2.3.4/32", ip(1, 2, 3, 4), 0, 1},
      {"prefix 31", "1.2.3.4/31", ip(1, 2, 3, 5), 0, 1},
      {"empty items", ",,10.0.0.0/8,,", ip(10, 0, 0, 1), 0, 1},
      {"trailing blanks and tabs", "10.0.0.1 \t ", ip(10, 0, 0, 1), 0, 1},
      {"leading blanks", leading, ip(10, 0, 0, 1), 0, 1},
      {"127th character ends an item", split_item, ip(192, 168, 5, 5), 0, 1},
      {"beyond 32 networks", host_list(40), ip(10, 0, 0, 32), 0, 1},
      {"33rd network ignored", host_list(40), ip(10, 0, 0, 33), 0, 0},
      {"items beyond 32 not read", host_list(32) + ",bogus,1.2.3", ip(10, 0, 0, 1), 0, 1},
      {"prefix 33", "10.0.0.0/33", 0, -1, 0},
      {"empty prefix", "10.0.0.0/", 0, -1, 0},
      {"three-digit prefix", "10.0.0.0/008", 0, -1, 0},
      {"blank before slash", "10.0.0.0 /8", 0, -1, 0},
      {"blank after slash", "10.0.0.0/ 8", 0, -1, 0},
      {"letter in prefix", "10.0.0.0/8x", 0, -1, 0},
      {"three numbers", "10.0.0", 0, -1, 0},
      {"five numbers", "1.2.3.4.5", 0, -1, 0},
      {"number above 255", "256.0.0.1", 0, -1, 0},
      {"number beyond 32 bits", "4294967296.0.0.1", 0, -1, 0},
      {"letters", "a.b.c.d", 0, -1, 0},
      {"text after the address", "1.2.3.4x", 0, -1, 0},
      {"no address", "/8", 0, -1, 0},
      {"address part of 64 characters", std::string(56, ' ') + "10.0.0.1", 0, -1, 0},
      {"bad item after a good one", "10.0.0.0/8, bogus", 0, -1, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    int allowed = 77;
    EXPECT_EQ(vorlix_cidr_allows(r.text.c_str(), r.addr, &allowed), r.rc);
    EXPECT_EQ(vorlix_last_code(), r.rc);
    if (r.rc == 0) {
      EXPECT_EQ(allowed, r.allowed);
      EXPECT_EQ(std::string(vorlix_last_error()), "allowed=" + std::to_string(r.allowed));
    } else {
      EXPECT_EQ(allowed, 77);  // no answer is stored
      EXPECT_STREQ(vorlix_last_error(), kBadList);
    }
  }
}

// Networks of both families, "*", and IPv4 networks admitting the same
// clients when they arrive IPv4-mapped.
TEST(AllowList, BothFamilies) {
  struct row {
    const char* list;
    const char* addr;
    int rc;
    int allowed;
  };
  const row rows[] = {
      {"fd00::/8", "fd12:3456::1", 0, 1},
      {"fd00::/8", "fe80::1", 0, 0},
      {"fd00::/8", "10.0.0.1", 0, 0},
      {"::1/128", "::1", 0, 1},
      {"::1/128", "::2", 0, 0},
      {"::1", "::1", 0, 1},
      {"2001:db8::/32, 10.0.0.0/8", "2001:db8:ffff::9", 0, 1},
      {"2001:db8::/32, 10.0.0.0/8", "10.9.9.9", 0, 1},
      {"10.0.0.0/8", "::ffff:10.1.2.3", 0, 1},
      {"10.0.0.0/8", "::ffff:11.1.2.3", 0, 0},
      {"0.0.0.0/0", "::ffff:8.8.8.8", 0, 1},
      {"0.0.0.0/0", "2001:db8::1", 0, 0},
      {"*", "2001:db8::1", 0, 1},
      {"*", "8.8.8.8", 0, 1},
      {" * , 10.0.0.0/8", "fe80::1", 0, 1},
      {"", "::1", 0, 1},
      {"", "127.0.0.1", 0, 1},
      {"", "2001:db8::77", 0, 0},
      {"fd00::/129", "fd00::1", -1, 0},
      {"fd00::/0008", "fd00::1", -1, 0},
      {"fd00:::1", "fd00::1", -1, 0},
      {"**", "fd00::1", -1, 0},
      {"*/8", "fd00::1", -1, 0},
      {"[::1]", "::1", -1, 0},
      {"fd00::/8", "not an address", -1, 0},
      {"fd00::/8", "[::1]", -1, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.list) + " / " + r.addr);
    int allowed = 77;
    EXPECT_EQ(vorlix_cidr_allows_text(r.list, r.addr, &allowed), r.rc);
    EXPECT_EQ(allowed, r.rc == 0 ? r.allowed : 77);
  }
}

// What the EXPORT listing and the logs show of each network.
TEST(AllowList, NetworkTexts) {
  const struct {
    const char* item;
    const char* text;
  } rows[] = {{"10.1.2.3/8", "10.0.0.0/8"}, {"1.2.3.4", "1.2.3.4/32"}, {"0.0.0.0/0", "0.0.0.0/0"},
              {"*", "*"},                   {"fd00::1/8", "fd00::/8"},  {"::1", "::1/128"}};
  for (const auto& r : rows) {
    export_rec e{};
    ASSERT_EQ(parse_cidrs(r.item, &e), 0) << r.item;
    ASSERT_EQ(e.ncidrs, 1);
    EXPECT_EQ(net_text(e.nets[0]), r.text);
  }
}

TEST(AllowList, NullTextAndNullAnswer) {
  int allowed = -1;
  EXPECT_EQ(vorlix_cidr_allows(nullptr, ip(127, 0, 0, 1), &allowed), 0);
  EXPECT_EQ(allowed, 1);
  EXPECT_STREQ(vorlix_last_error(), "allowed=1");
  EXPECT_EQ(vorlix_cidr_allows(nullptr, ip(10, 0, 0, 1), &allowed), 0);
  EXPECT_EQ(allowed, 0);
  EXPECT_STREQ(vorlix_last_error(), "allowed=0");
  EXPECT_EQ(vorlix_cidr_allows("10.0.0.0/8", ip(10, 0, 0, 1), nullptr), -1);
  EXPECT_EQ(vorlix_last_code(), -1);
}

TEST(AllowList, FortyNetworksStoreThirtyTwo) {
  temp_dir t;
  const std::string list = host_list(40);
  ASSERT_EQ(vorlix_add_export("/many", t.path.c_str(), list.c_str()), 0);
  EXPECT_STREQ(vorlix_last_error(), "export /many added (folder)");
  int32_t count = 0;
  export_rec* recs = exports_lock_get(&count);
  EXPECT_EQ(recs[0].ncidrs, MAX_CIDRS);
  EXPECT_EQ(net_text(recs[0].nets[31]), "10.0.0.32/32");
  exports_unlock();
  const std::string json = vorlix_export_json(0);
  EXPECT_NE(json.find("\"allow_cidrs\":\"" + list + "\""), std::string::npos);
  EXPECT_NE(json.find("\"cidrs\":32,"), std::string::npos);
}
