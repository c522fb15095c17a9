// NFS READ on the wire: offsets, counts, end of file, padding, the size
// limit and the objects that cannot be read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "nfs_client.h"
#include "plat/plat.h"

using namespace wire;

namespace {

namespace fs = std::filesystem;

// Each begins with one export served and mounted.
using NfsRead = served_export;

// Bytes that differ from position to position, so that a read from the wrong
// offset cannot match.
std::string pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

bytes slice(const std::string& s, size_t off, size_t n) {
  if (off >= s.size()) return {};
  n = std::min(n, s.size() - off);
  return bytes(s.begin() + static_cast<long>(off), s.begin() + static_cast<long>(off + n));
}

TEST_F(NfsRead, OffsetsCountsAndEndOfFile) {
  temp_dir d;
  const std::string content = pattern(10000);
  d.write("e/ten.bin", content);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes fh = walk(c, root, "ten.bin");
  ASSERT_EQ(fh.size(), 32u);
  const fattr3 attr = getattr(c, fh).attr;

  struct read_case {
    uint64_t off;
    uint32_t count;
    uint32_t got;
    bool eof;
  };
  const read_case cases[] = {
      {0, 4096, 4096, false},
      {4096, 4096, 4096, false},
      {8192, 4096, 1808, true},
      {0, 10000, 10000, true},
      {0, 9999, 9999, false},
      {9999, 1, 1, true},
      {9999, 100, 1, true},
      {10000, 4096, 0, true},
      {20000, 10, 0, true},
      {0xFFFFFFFFFFFFFFFFull, 4096, 0, true},
      {0x8000000000000000ull, 1, 0, true},
      {0, 0, 0, false},
      {9999, 0, 0, false},
      {10000, 0, 0, true},
      {12345, 0, 0, true},
      {3, 5, 5, false},
  };
  for (const read_case& k : cases) {
    SCOPED_TRACE("offset " + std::to_string(k.off) + " count " + std::to_string(k.count));
    const read_result r = read(c, fh, k.off, k.count);
    EXPECT_EQ(r.status, 0u);
    EXPECT_TRUE(r.well_formed);
    EXPECT_EQ(r.count, k.got);
    EXPECT_EQ(r.eof, k.eof);
    EXPECT_EQ(r.data, slice(content, static_cast<size_t>(std::min<uint64_t>(k.off, 20000)), k.got));
    EXPECT_EQ(r.attr.size, 10000u);
    EXPECT_EQ(r.attr.fileid, attr.fileid);
    EXPECT_EQ(r.raw.size(), 24u + 4 + 88 + 12 + ((k.got + 3) & ~3u));
  }
}

TEST_F(NfsRead, ShortDataIsPaddedWithZeros) {
  temp_dir d;
  d.write("e/five", "hello");
  d.write("e/ones", std::string(4096, '\xFF'));
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  // A read of non-zero bytes first leaves them in the connection's buffers.
  ASSERT_EQ(read(c, walk(c, root, "ones"), 0, 4096).count, 4096u);
  const read_result r = read(c, walk(c, root, "five"), 0, 100);
  ASSERT_EQ(r.raw.size(), 24u + 4 + 88 + 4 + 4 + 4 + 8);
  const size_t at = r.raw.size() - 12;
  EXPECT_EQ(get32(r.raw, at), 5u);  // the opaque's length
  EXPECT_EQ(bytes(r.raw.begin() + static_cast<long>(at) + 4, r.raw.end()), bytes({'h', 'e', 'l', 'l', 'o', 0, 0, 0}));
  EXPECT_EQ(r.count, 5u);
  EXPECT_TRUE(r.eof);
}

TEST_F(NfsRead, LargestCountIsServedAndOneMoreRefused) {
  temp_dir d;
  const std::string content = pattern(1048576 + 4096);
  d.write("e/big.bin", content);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes fh = walk(c, root, "big.bin");

  const read_result full = read(c, fh, 100, 1048576);
  EXPECT_EQ(full.status, 0u);
  EXPECT_TRUE(full.well_formed);
  EXPECT_EQ(full.count, 1048576u);
  EXPECT_FALSE(full.eof);
  EXPECT_TRUE(full.data == slice(content, 100, 1048576));

  for (uint32_t count : {1048577u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    const read_result r = read(c, fh, 0, count);
    EXPECT_EQ(r.status, 22u) << count;
    EXPECT_EQ(r.raw.size(), 32u);  // the status and an empty post_op_attr
    EXPECT_TRUE(r.well_formed);
    EXPECT_FALSE(r.attr_follows);
  }
  // The connection goes on after a refusal.
  EXPECT_EQ(read(c, fh, 1048576 + 4000, 1048576).count, 96u);
}

TEST_F(NfsRead, ObjectsThatCannotBeRead) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no FIFOs, and the tests cannot make symbolic links there";
#else
  temp_dir d;
  d.write("e/file.txt", "content");
  d.mkdir("e/dir");
  d.symlink("file.txt", "e/link");
  d.symlink(d.mkdir("outside"), "e/link_out");
  ASSERT_EQ(mkfifo(d.at("e/fifo").c_str(), 0644), 0);
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));

  struct object_case {
    const char* rel;
    uint32_t status;
  };
  const object_case cases[] = {
      {"", 21},       {"dir", 21}, {"link", 5}, {"link_out", 5},
      {"fifo", 5},  // never opened for reading, and never blocks
  };
  for (const object_case& k : cases) {
    SCOPED_TRACE(k.rel);
    const bytes fh = walk(c, root, k.rel);
    ASSERT_EQ(fh.size(), 32u);
    const read_result r = read(c, fh, 0, 100);
    EXPECT_EQ(r.status, k.status);
    EXPECT_EQ(r.raw.size(), 32u);  // the status and an empty post_op_attr
    EXPECT_TRUE(r.well_formed);
    EXPECT_FALSE(r.attr_follows);
  }
#endif
}

TEST_F(NfsRead, ArgumentAndHandleFailures) {
  temp_dir d;
  d.write("e/file.txt", "content");
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  const bytes fh = walk(c, root, "file.txt");
  ASSERT_EQ(fh.size(), 32u);
  bytes stale = fh;
  stale[31] ^= 1;

  bytes offset_only = opaque_arg(fh);
  put64(&offset_only, 0);
  bytes half_offset = opaque_arg(fh);
  put32(&half_offset, 0);
  bytes bad_len = opaque_arg(bytes(33, 0));
  put64(&bad_len, 0);
  put32(&bad_len, 10);
  bytes stale_args = opaque_arg(stale);
  put64(&stale_args, 0);
  put32(&stale_args, 10);
  struct arg_case {
    const char* what;
    bytes args;
    uint32_t status;
  };
  const arg_case cases[] = {
      {"count missing", offset_only, 22},
      {"offset cut", half_offset, 22},
      {"nothing after the handle", opaque_arg(fh), 22},
      {"no arguments", {}, 10001},
      {"33-byte handle", bad_len, 10001},
      {"handle that does not verify", stale_args, 70},
  };
  for (const arg_case& k : cases) {
    SCOPED_TRACE(k.what);
    const read_result r = read_raw(c, k.args);
    EXPECT_EQ(r.status, k.status);
    EXPECT_EQ(r.raw.size(), 32u);  // the status and an empty post_op_attr
    EXPECT_TRUE(r.well_formed);
    EXPECT_FALSE(r.attr_follows);
  }

  // A file removed after its handle was given out is gone once the host
  // no longer shows it (Wine keeps a file deleted while open until its last
  // handle is closed, which the server does soon after its last use).
  ASSERT_TRUE(fs::remove(d.at("e/file.txt")));
  for (int i = 0; i < 100 && fs::exists(d.at("e/file.txt")); i++) plat_sleep_ms(50);
  const read_result gone = read(c, fh, 0, 10);
  EXPECT_EQ(gone.status, 2u);
  EXPECT_EQ(gone.raw.size(), 32u);
  EXPECT_TRUE(gone.well_formed);
}

TEST_F(NfsRead, SingleFileExportReadsThroughItsRootHandle) {
  temp_dir d;
  const std::string content = pattern(5000);
  const std::string film = d.write("film.bin", content);
  ASSERT_NO_FATAL_FAILURE(serve("/film", film));
  const read_result r = read(c, root, 1000, 8192);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.count, 4000u);
  EXPECT_TRUE(r.eof);
  EXPECT_EQ(r.data, slice(content, 1000, 4000));
  // The handle LOOKUP gives for the file's name is the same one.
  EXPECT_EQ(read(c, lookup(c, root, "film.bin").fh, 0, 5000).data, slice(content, 0, 5000));
}

// A file a call has read stays open for the next calls only briefly, even
// when no call follows: then it can be deleted and its folder removed (on
// Windows, a file deleted while open keeps its name until it is closed).
TEST_F(NfsRead, WhatACallKeepsOpenIsLetGoSoonAfter) {
  temp_dir d;
  d.write("e/d/f.txt", "content");
  ASSERT_NO_FATAL_FAILURE(serve("/e", d.at("e")));
  ASSERT_EQ(read(c, walk(c, root, "d/f.txt"), 0, 100).count, 7u);
  std::error_code ec;
  fs::remove(d.at("e/d/f.txt"), ec);
  ASSERT_FALSE(ec) << ec.message();
  bool removed = false;
  for (int i = 0; i < 100 && !removed; i++) {
    removed = fs::remove(d.at("e/d"), ec) && !ec;
    if (!removed) plat_sleep_ms(50);
  }
  EXPECT_TRUE(removed) << ec.message();
}

}  // namespace
