// SHA-256 (FIPS 180-4) with an incremental interface, a one-shot function and
// a known-answer self test. Allocation-free; contexts belong to their caller,
// so any number of threads may hash at once.
#pragma once

#include <cstdint>

struct sha256_ctx {
  uint32_t state[8];
  uint64_t total;
  unsigned char block[64];
  uint64_t block_len;
};

void nfss_sha_init(sha256_ctx* c);
void nfss_sha_update(sha256_ctx* c, const void* data, uint64_t len);
// Writes the 32-byte digest; the context must be initialised again before reuse.
void nfss_sha_final(sha256_ctx* c, unsigned char out[32]);
void nfss_sha_buf(const void* data, uint64_t len, unsigned char out[32]);
// 0 when the four known-answer vectors match, -1 at the first mismatch.
// Checks the compression in use.
int nfss_sha_selftest();

// The compression step: absorbs count consecutive 64-byte blocks into state.
using nfss_sha_compress_fn = void (*)(uint32_t state[8], const unsigned char* blocks, uint64_t count);
// The portable compression; always there.
nfss_sha_compress_fn nfss_sha_portable();
// The compression on the CPU's SHA instructions, or null when this CPU or
// this build has none.
nfss_sha_compress_fn nfss_sha_cpu();
// The compression nfss_sha_update and nfss_sha_final use: the CPU's when
// there is one, the portable one otherwise. Chosen once.
nfss_sha_compress_fn nfss_sha_in_use();
// nfss_sha_update and nfss_sha_final with a given compression, so that tests
// can run each form on the same inputs.
void nfss_sha_update_with(nfss_sha_compress_fn compress, sha256_ctx* c, const void* data, uint64_t len);
void nfss_sha_final_with(nfss_sha_compress_fn compress, sha256_ctx* c, unsigned char out[32]);
