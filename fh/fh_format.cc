// Handle format: digests, building, and the joining of relative paths.
#include "fh/fh_format.h"

#include <cstring>

#include "fh/fh_map.h"
#include "state/config.h"
#include "state/secret.h"
#include "util/xdr.h"

namespace {

void put_le(unsigned char* d, uint64_t v, int n) {
  for (int i = 0; i < n; i++) d[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

void fh_prefix_init(fh_digest_prefix* p, int32_t idx, uint64_t gen) {
  unsigned char secret[SECRET_MAX];
  const uint64_t slen = fh_secret_copy(secret);
  unsigned char fixed[16];
  put_le(fixed, FH_MAGIC, 4);
  put_le(fixed + 4, static_cast<uint32_t>(idx), 4);
  put_le(fixed + 8, gen, 8);
  p->idx = idx;
  p->gen = gen;
  nfss_sha_init(&p->c);
  nfss_sha_update(&p->c, secret, slen);
  nfss_sha_update(&p->c, fixed, 16);
}

namespace {

void digest_prefixed(const fh_digest_prefix* p, const char* rel, size_t rel_len, unsigned char out[32]) {
  sha256_ctx c = p->c;
  nfss_sha_update(&c, rel, rel_len);
  nfss_sha_final(&c, out);
}

}  // namespace

void fh_digest(int32_t idx, uint64_t gen, const char* rel, size_t rel_len, unsigned char out[32]) {
  fh_digest_prefix p;
  fh_prefix_init(&p, idx, gen);
  digest_prefixed(&p, rel, rel_len, out);
}

int fh_build_prefixed(const fh_digest_prefix* p, const char* rel, unsigned char* out, int32_t cap) {
  if (p == nullptr || rel == nullptr || out == nullptr || cap < FH_SIZE) return -1;
  unsigned char d[32];
  digest_prefixed(p, rel, strlen(rel), d);
  be32_put(out, FH_MAGIC);
  be32_put(out + 4, static_cast<uint32_t>(p->idx));
  be64_put(out + 8, p->gen);
  memcpy(out + 16, d, 16);
  fh_remember(p->idx, p->gen, out + 16, rel);
  return FH_SIZE;
}

int fh_build_idx(int32_t idx, const export_rec* e, const char* rel, unsigned char* out, int32_t cap) {
  if (e == nullptr || rel == nullptr || out == nullptr || cap < FH_SIZE) return -1;
  fh_digest_prefix p;
  fh_prefix_init(&p, idx, e->gen);
  return fh_build_prefixed(&p, rel, out, cap);
}

int fh_join_rel(const char* dir_rel, const char* name, char out[REL_MAX]) {
  const size_t rlen = strlen(dir_rel);
  const size_t nlen = strlen(name);
  if (rlen + nlen + 2 > REL_MAX) return -1;
  if (rlen == 0) {
    memcpy(out, name, nlen + 1);
  } else {
    memcpy(out, dir_rel, rlen);
    out[rlen] = '/';
    memcpy(out + rlen + 1, name, nlen + 1);
  }
  return 0;
}
