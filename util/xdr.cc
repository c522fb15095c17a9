// XDR codec.
#include "util/xdr.h"

#include <cstring>

namespace {

const unsigned char kZeros[4] = {0, 0, 0, 0};

size_t pad4(size_t n) { return (4 - (n & 3)) & 3; }

int xe_put(xdr_enc* e, const void* src, size_t n) {
  if (sb_putn(e->sb, src, n) == 0) return 0;
  e->err = 1;
  return -1;
}

}  // namespace

int xe_u32(xdr_enc* e, uint32_t v) {
  unsigned char w[4];
  be32_put(w, v);
  return xe_put(e, w, 4);
}

int xe_u64(xdr_enc* e, uint64_t v) {
  unsigned char w[8];
  be64_put(w, v);
  return xe_put(e, w, 8);
}

int xe_bool(xdr_enc* e, int v) { return xe_u32(e, v ? 1u : 0u); }

int xe_opaque_fixed(xdr_enc* e, const void* src, size_t n) {
  if (xe_put(e, src, n) != 0) return -1;
  return xe_put(e, kZeros, pad4(n));
}

int xe_opaque(xdr_enc* e, const void* src, size_t n) {
  if (xe_u32(e, static_cast<uint32_t>(n)) != 0) return -1;
  return xe_opaque_fixed(e, src, n);
}

int xe_string(xdr_enc* e, const char* s) { return xe_opaque(e, s, strlen(s)); }

void xd_init(xdr_cursor* c, const void* data, size_t len) {
  c->data = static_cast<const unsigned char*>(data);
  c->len = len;
  c->pos = 0;
  c->err = 0;
}

int xd_ok(const xdr_cursor* c) { return c->err == 0 ? 1 : 0; }

namespace {

// Takes n bytes from the cursor, or fails it.
const unsigned char* xd_take(xdr_cursor* c, size_t n) {
  if (c->err != 0) return nullptr;
  if (n > c->len - c->pos) {
    c->err = 1;
    return nullptr;
  }
  const unsigned char* p = c->data + c->pos;
  c->pos += n;
  return p;
}

}  // namespace

uint32_t xd_u32(xdr_cursor* c) {
  const unsigned char* p = xd_take(c, 4);
  return p ? be32_get(p) : 0;
}

uint64_t xd_u64(xdr_cursor* c) {
  uint64_t hi = xd_u32(c);
  uint64_t lo = xd_u32(c);
  return (hi << 32) | lo;
}

int xd_bool(xdr_cursor* c) {
  uint32_t v = xd_u32(c);
  if (c->err == 0 && v > 1) c->err = 1;
  return c->err == 0 ? static_cast<int>(v) : 0;
}

const unsigned char* xd_opaque_fixed(xdr_cursor* c, size_t n) {
  if (c->err != 0) return nullptr;
  if (n > c->len - c->pos || pad4(n) > c->len - c->pos - n) {
    c->err = 1;
    return nullptr;
  }
  return xd_take(c, n + pad4(n));
}

const unsigned char* xd_opaque(xdr_cursor* c, size_t* len_out, size_t max) {
  uint32_t n = xd_u32(c);
  if (c->err != 0) return nullptr;
  if (n > max) {
    c->err = 1;
    return nullptr;
  }
  const unsigned char* p = xd_opaque_fixed(c, n);
  if (p == nullptr) return nullptr;
  *len_out = n;
  return p;
}
