// SHA-256 compression, padding and known-answer vectors. The compression
// runs on the CPU's SHA instructions where the CPU has them (x86-64 SHA-NI,
// found at run time, so one binary runs everywhere) and on portable code
// otherwise; both forms give the same digests.
#include "util/sha256.h"

#include <cstdio>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define VORLIX_SHA_X86 1
#endif

namespace {

constexpr uint32_t H[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

struct vector {
  const char* msg;
  const char* hex;
};

constexpr vector V[4] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"a", "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb"},
};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress_one(uint32_t st[8], const unsigned char b[64]) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++) {
    w[i] = (uint32_t{b[4 * i]} << 24) | (uint32_t{b[4 * i + 1]} << 16) |
           (uint32_t{b[4 * i + 2]} << 8) | uint32_t{b[4 * i + 3]};
  }
  for (int i = 16; i < 64; i++) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = st[0], bb = st[1], c = st[2], d = st[3], e = st[4], f = st[5], g = st[6], h = st[7];
  for (int i = 0; i < 64; i++) {
    uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
    uint32_t ch = (e & f) ^ (~e & g);
    uint32_t t1 = h + S1 + ch + K[i] + w[i];
    uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
    uint32_t maj = (a & bb) ^ (a & c) ^ (bb & c);
    uint32_t t2 = S0 + maj;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = bb;
    bb = a;
    a = t1 + t2;
  }
  st[0] += a;
  st[1] += bb;
  st[2] += c;
  st[3] += d;
  st[4] += e;
  st[5] += f;
  st[6] += g;
  st[7] += h;
}

void compress_portable(uint32_t state[8], const unsigned char* blocks, uint64_t count) {
  for (uint64_t i = 0; i < count; i++) compress_one(state, blocks + 64 * i);
}

#ifdef VORLIX_SHA_X86
// The compression with SHA-NI. The instructions keep the working variables
// as the pairs ABEF and CDGH; each sha256rnds2 does two rounds, and
// sha256msg1/sha256msg2 extend the message schedule four words at a time.
__attribute__((target("sha,sse4.1"))) void compress_x86(uint32_t state[8], const unsigned char* blocks,
                                                         uint64_t count) {
  const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (uint64_t b = 0; b < count; b++) {
    const unsigned char* p = blocks + 64 * b;
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;
    // w[g % 4] holds message words 4g..4g+3 once group g has been reached.
    __m128i w[4];
    for (int i = 0; i < 4; i++) {
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), bswap);
    }
    // Unrolled, so that w[] lives in registers.
#pragma GCC unroll 16
    for (int g = 0; g < 16; g++) {
      if (g >= 4) {
        __m128i t = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
        t = _mm_add_epi32(t, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
        w[g & 3] = _mm_sha256msg2_epu32(t, w[(g + 3) & 3]);
      }
      __m128i m = _mm_add_epi32(w[g & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(K + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, m);
      m = _mm_shuffle_epi32(m, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, m);
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

// True when the CPU has the SHA extensions and the SSSE3 and SSE4.1
// instructions the compression above also uses.
bool cpu_has_sha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}
#endif

}  // namespace

nfss_sha_compress_fn nfss_sha_portable() { return compress_portable; }

nfss_sha_compress_fn nfss_sha_cpu() {
#ifdef VORLIX_SHA_X86
  static const bool have = cpu_has_sha();
  return have ? compress_x86 : nullptr;
#else
  return nullptr;
#endif
}

nfss_sha_compress_fn nfss_sha_in_use() {
  static const nfss_sha_compress_fn f = nfss_sha_cpu() != nullptr ? nfss_sha_cpu() : compress_portable;
  return f;
}

void nfss_sha_init(sha256_ctx* c) {
  memcpy(c->state, H, sizeof H);
  c->total = 0;
  c->block_len = 0;
}

void nfss_sha_update_with(nfss_sha_compress_fn compress, sha256_ctx* c, const void* data, uint64_t len) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  c->total += len;
  if (len == 0) return;
  // First complete the partial block, then compress whole blocks where they
  // lie, then keep the rest in block.
  if (c->block_len > 0) {
    uint64_t n = 64 - c->block_len;
    if (n > len) n = len;
    memcpy(c->block + c->block_len, p, n);
    c->block_len += n;
    p += n;
    len -= n;
    if (c->block_len < 64) return;
    compress(c->state, c->block, 1);
    c->block_len = 0;
  }
  if (len >= 64) {
    compress(c->state, p, len / 64);
    p += len / 64 * 64;
    len %= 64;
  }
  memcpy(c->block, p, len);
  c->block_len = len;
}

void nfss_sha_update(sha256_ctx* c, const void* data, uint64_t len) {
  nfss_sha_update_with(nfss_sha_in_use(), c, data, len);
}

void nfss_sha_final_with(nfss_sha_compress_fn compress, sha256_ctx* c, unsigned char out[32]) {
  // The padding: 0x80, zeros up to 56 bytes into a block, and the message
  // length in bits, most significant byte first; absorbed in one update.
  const uint64_t bits = c->total * 8;
  unsigned char pad[72] = {0x80};
  const uint64_t zeros = (c->block_len < 56 ? 55 : 119) - c->block_len;
  for (int i = 0; i < 8; i++) pad[1 + zeros + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  nfss_sha_update_with(compress, c, pad, 1 + zeros + 8);
  for (int i = 0; i < 8; i++) {
    out[4 * i] = static_cast<unsigned char>(c->state[i] >> 24);
    out[4 * i + 1] = static_cast<unsigned char>(c->state[i] >> 16);
    out[4 * i + 2] = static_cast<unsigned char>(c->state[i] >> 8);
    out[4 * i + 3] = static_cast<unsigned char>(c->state[i]);
  }
}

void nfss_sha_final(sha256_ctx* c, unsigned char out[32]) { nfss_sha_final_with(nfss_sha_in_use(), c, out); }

void nfss_sha_buf(const void* data, uint64_t len, unsigned char out[32]) {
  sha256_ctx c;
  nfss_sha_init(&c);
  nfss_sha_update(&c, data, len);
  nfss_sha_final(&c, out);
}

int nfss_sha_selftest() {
  for (const vector& v : V) {
    unsigned char d[32];
    nfss_sha_buf(v.msg, strlen(v.msg), d);
    char hex[65];
    for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", d[i]);
    if (strcmp(hex, v.hex) != 0) return -1;
  }
  return 0;
}
