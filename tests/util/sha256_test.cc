#include "util/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/fixture.h"

namespace {

TEST(Sha256, SelfTestPasses) { EXPECT_EQ(nfss_sha_selftest(), 0); }

// The compressions to check: the portable one always, the CPU's where this
// CPU has it.
struct form {
  const char* name;
  nfss_sha_compress_fn fn;
};
std::vector<form> forms() {
  std::vector<form> f{{"portable", nfss_sha_portable()}};
  if (nfss_sha_cpu() != nullptr) f.push_back({"cpu", nfss_sha_cpu()});
  return f;
}

// The digest of msg with one compression, fed in pieces of the given size
// (0: in one piece), with an empty update after each piece.
std::string digest_with(nfss_sha_compress_fn fn, const std::string& msg, size_t piece = 0) {
  sha256_ctx c;
  nfss_sha_init(&c);
  if (piece == 0) piece = std::max<size_t>(msg.size(), 1);
  for (size_t at = 0; at < msg.size(); at += piece) {
    nfss_sha_update_with(fn, &c, msg.data() + at, std::min(piece, msg.size() - at));
    nfss_sha_update_with(fn, &c, nullptr, 0);
  }
  unsigned char d[32];
  nfss_sha_final_with(fn, &c, d);
  return hex(d, 32);
}

TEST(Sha256, TheCompressionInUseIsTheCpusWhereThereIsOne) {
  const nfss_sha_compress_fn want = nfss_sha_cpu() != nullptr ? nfss_sha_cpu() : nfss_sha_portable();
  EXPECT_EQ(nfss_sha_in_use(), want);
#if defined(__x86_64__) && defined(__linux__)
  // Where the kernel reports the SHA extensions, the CPU form must be found.
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  bool sha_ni = false;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) == 0) {
      sha_ni = line.find(" sha_ni") != std::string::npos;
      break;
    }
  }
  if (sha_ni) {
    EXPECT_NE(nfss_sha_cpu(), nullptr);
  }
#endif
}

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
    EXPECT_EQ(hex(d, 32), c.digest) << c.msg.size() << " bytes";
    for (const form& f : forms()) {
      EXPECT_EQ(digest_with(f.fn, c.msg), c.digest) << f.name << ", " << c.msg.size() << " bytes";
      EXPECT_EQ(digest_with(f.fn, c.msg, 7), c.digest) << f.name << " in 7-byte pieces, " << c.msg.size() << " bytes";
    }
  }
}

TEST(Sha256, FormsAgreeOnRandomInputs) {
  std::mt19937 rng(20240617);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; n++) lengths.push_back(n);
  for (size_t n : {1000u, 4095u, 4096u, 65536u + 13u, 1000003u}) lengths.push_back(n);
  for (size_t len : lengths) {
    std::string msg(len, '\0');
    for (char& ch : msg) ch = static_cast<char>(rng());
    const size_t piece = 1 + rng() % 130;
    const std::string want = digest_with(nfss_sha_portable(), msg);
    for (const form& f : forms()) {
      EXPECT_EQ(digest_with(f.fn, msg), want) << f.name << ", " << len << " bytes";
      EXPECT_EQ(digest_with(f.fn, msg, piece), want) << f.name << ", " << len << " bytes in pieces of " << piece;
    }
    unsigned char d[32];
    nfss_sha_buf(msg.data(), msg.size(), d);
    EXPECT_EQ(hex(d, 32), want) << "in use, " << len << " bytes";
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
      EXPECT_EQ(hex(got, 32), hex(want, 32)) << "len " << len << " piece " << piece;
    }
  }
}

}  // namespace
