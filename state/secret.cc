// The handle secret.
#include "state/secret.h"

#include <cstring>

#include "plat/plat.h"

namespace {

unsigned char g_secret[SECRET_MAX];
uint64_t g_secret_len;

// Guards g_secret and g_secret_len; a leaf lock, taken only to copy them.
plat_mutex* secret_lock() {
  static plat_static_mutex m;
  return m.get();
}

}  // namespace

const unsigned char* fh_secret() { return g_secret; }

uint64_t fh_secret_len() {
  plat_guard g(secret_lock());
  return g_secret_len;
}

uint64_t fh_secret_copy(unsigned char out[SECRET_MAX]) {
  plat_guard g(secret_lock());
  memcpy(out, g_secret, g_secret_len);
  return g_secret_len;
}

void secret_set(const unsigned char* bytes, uint64_t len) {
  // Connections of an earlier run may still be hashing: they copy the
  // secret under the same lock, so they see the old one or the new one whole.
  plat_guard g(secret_lock());
  if (len > SECRET_MAX) len = SECRET_MAX;
  if (len > 0) memcpy(g_secret, bytes, len);
  g_secret_len = len;
}
