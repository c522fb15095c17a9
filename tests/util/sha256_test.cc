#include "util/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const unsigned char* d) {
  static const char* k = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 32; i++) {
    s += k[d[i] >> 4];
    s += k[d[i] & 15];
  }
  return s;
}

TEST(Sha256, SelfTestPasses) { EXPECT_EQ(nfss_sha_selftest(), 0); }

TEST(Sha256, KnownVectors) {
  struct {
    std::string msg;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
  };
  for (const auto& c : cases) {
    unsigned char d[32];
    nfss_sha_buf(c.msg.data(), c.msg.size(), d);
    EXPECT_EQ(hex(d), c.digest) << c.msg.size() << " bytes";
  }
}

TEST(Sha256, PiecewiseUpdatesMatchOneShot) {
  std::string msg;
  for (int i = 0; i < 300; i++) msg += static_cast<char>(i * 7 + 3);
  for (size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
    unsigned char want[32];
    nfss_sha_buf(msg.data(), len, want);
    for (size_t piece : {1u, 3u, 63u, 64u, 65u}) {
      sha256_ctx c;
      nfss_sha_init(&c);
      for (size_t at = 0; at < len; at += piece) {
        nfss_sha_update(&c, msg.data() + at, std::min(piece, len - at));
        nfss_sha_update(&c, msg.data(), 0);
      }
      unsigned char got[32];
      nfss_sha_final(&c, got);
      EXPECT_EQ(hex(got), hex(want)) << "len " << len << " piece " << piece;
    }
  }
}

}  // namespace
