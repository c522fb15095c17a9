// Byte buffer, JSON strings and XDR codec.
#include "util/sbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const unsigned char kZeros[4] = {0, 0, 0, 0};

size_t pad4(size_t n) { return (4 - (n & 3)) & 3; }

// Grows the buffer so that `need` bytes fit (content plus terminator),
// doubling from 256 until at least `want` bytes are there.
int sb_grow(sbuf* b, size_t need, size_t want) {
  if (need <= b->cap) return 0;
  size_t cap = b->cap ? b->cap : 256;
  while (cap < want) {
    if (cap > (SIZE_MAX >> 1)) return -1;
    cap <<= 1;
  }
  void* p = realloc(b->data, cap);
  if (p == nullptr) return -1;
  b->data = static_cast<unsigned char*>(p);
  b->cap = cap;
  return 0;
}

}  // namespace

void sb_init(sbuf* b) {
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}

void sb_free(sbuf* b) {
  free(b->data);
  sb_init(b);
}

void sb_reset(sbuf* b) {
  b->len = 0;
  if (b->data != nullptr) b->data[0] = 0;
}

int sb_putc(sbuf* b, int c) {
  if (sb_grow(b, b->len + 2, b->len + 3) != 0) return -1;
  b->data[b->len++] = static_cast<unsigned char>(c);
  b->data[b->len] = 0;
  return 0;
}

int sb_putn(sbuf* b, const void* src, size_t n) {
  if (n > SIZE_MAX - b->len - 2) return -1;
  if (sb_grow(b, b->len + n + 1, b->len + n + 2) != 0) return -1;
  if (n) memcpy(b->data + b->len, src, n);
  b->len += n;
  b->data[b->len] = 0;
  return 0;
}

unsigned char* sb_reserve(sbuf* b, size_t n) {
  if (n > SIZE_MAX - b->len - 2) return nullptr;
  if (sb_grow(b, b->len + n + 1, b->len + n + 2) != 0) return nullptr;
  return b->data + b->len;
}

void sb_commit(sbuf* b, size_t n) {
  b->len += n;
  b->data[b->len] = 0;
}

int sb_puts(sbuf* b, const char* s) {
  if (s == nullptr) return 0;
  return sb_putn(b, s, strlen(s));
}

int sb_printf(sbuf* b, const char* fmt, ...) {
  char tmp[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  if (n < 0) return -1;
  if (n < static_cast<int>(sizeof tmp)) return sb_putn(b, tmp, static_cast<size_t>(n));
  char* big = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
  if (big == nullptr) return -1;
  va_start(ap, fmt);
  vsnprintf(big, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  int r = sb_putn(b, big, static_cast<size_t>(n));
  free(big);
  return r;
}

int json_put_string(sbuf* b, const char* s) {
  if (sb_putc(b, '"') != 0) return -1;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); p && *p; ++p) {
    const unsigned char c = *p;
    int r;
    switch (c) {
      case '"': r = sb_putn(b, "\\\"", 2); break;
      case '\\': r = sb_putn(b, "\\\\", 2); break;
      case '\n': r = sb_putn(b, "\\n", 2); break;
      case '\r': r = sb_putn(b, "\\r", 2); break;
      case '\t': r = sb_putn(b, "\\t", 2); break;
      case '\b': r = sb_putn(b, "\\b", 2); break;
      case '\f': r = sb_putn(b, "\\f", 2); break;
      default:
        r = c < 0x20 ? sb_printf(b, "\\u%04x", c) : sb_putc(b, c);
    }
    if (r != 0) return -1;
  }
  return sb_putc(b, '"');
}

namespace {

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

char* x_strdup(const char* s) {
  if (s == nullptr) return nullptr;
  size_t n = strlen(s) + 1;
  char* p = static_cast<char*>(malloc(n));
  if (p != nullptr) memcpy(p, s, n);
  return p;
}

void cstr_free::operator()(char* p) const { free(p); }
